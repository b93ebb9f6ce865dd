#include "tools/version/ToolVersion.h"

#include <openssl/crypto.h>

std::string ToolVersionText(const std::string& program,
                            const std::string& libraries) {
  std::string text = program + " " + TQ_VERSION + "\n";
  if (!libraries.empty()) {
    text += libraries + "\n";
  }
  // The library loaded, which may be newer than the headers built against.
  text += OpenSSL_version(OPENSSL_VERSION);
  return text;
}
