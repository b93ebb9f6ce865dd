# Debian packages: `cpack -G DEB` in the build folder makes, one install
# component each,
#   libtqcloudauth1     the shared library, libtqcloudauth.so.1 (runtime)
#   libtqcloudauth-dev  the headers under include/tqcloudauth, the unversioned
#                       link, the CMake package and the pkg-config file (dev)
#   tqcloudauth         both programs and their manual pages (tools)
# What a package needs of other packages' shared libraries comes from
# dpkg-shlibdeps, the programs' need of libtqcloudauth1 included; written
# here are only the development package's links and what the installed
# headers include (curl/curl.h).
set(TQ_PACKAGE_CONTACT "tqcloudauth maintainers <maintainers@localhost>"
  CACHE STRING "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME tqcloudauth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${TQ_PACKAGE_CONTACT})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "OAuth 2.0 access tokens for Azure services")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
if(TQ_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file and ldconfig calls for the library package. A program built
# against version V needs V or later: the SONAME changes with the major
# version, when something is taken away.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(TQ_DEB_EXACT "(= ${CPACK_PACKAGE_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtqcloudauth${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
  "OAuth 2.0 access tokens for Azure services (shared library)
 Gets client-credentials access tokens from the Azure AD v2.0 token endpoint
 with a stored client secret or certificate, through the configured proxy,
 and caches them. Also exports URL, Base64 and hex codecs, string and XML
 helpers, ISO 8601 and RFC 822 time parsers, SHA-1, SHA-256 and their HMACs.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libtqcloudauth-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
  "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} ${TQ_DEB_EXACT}, libcurl4-openssl-dev | libcurl-dev")
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "OAuth 2.0 access tokens for Azure services (development files)
 The headers, the CMake package (find_package(TQCloudAuth)) and the
 pkg-config file (tqcloudauth) to build against libtqcloudauth.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tqcloudauth)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The programs link libtqcloudauth.so.1. dpkg-shlibdeps finds it in the
# build tree and learns which package holds it from debian/shlibs.local,
# written beside the programs' staging folder (cmake/ShlibsLocal.cmake):
# the library package's own shlibs line, not yet installed anywhere.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(TQ_SHLIBS_LINE
  "libtqcloudauth ${PROJECT_VERSION_MAJOR} ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (>= ${CPACK_PACKAGE_VERSION})")
configure_file(${CMAKE_CURRENT_LIST_DIR}/ShlibsLocal.cmake.in
  ${CMAKE_BINARY_DIR}/ShlibsLocal.cmake @ONLY)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_BINARY_DIR}/ShlibsLocal.cmake)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "OAuth 2.0 access tokens for Azure services (command-line tools)
 tqcloudauth stores application credentials for the library and gets access
 tokens with them; tqcloudauth-idp is a local token endpoint to run it all
 offline.")

include(CPack)
