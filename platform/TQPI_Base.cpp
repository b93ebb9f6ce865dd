#include "platform/TQPI_Base.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace {

std::string UserHome() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return home;
  }
  // No HOME (a daemon's environment): ask the password database.
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &found) ==
          0 &&
      found != nullptr && found->pw_dir != nullptr) {
    return found->pw_dir;
  }
  return "/tmp";
}

}  // namespace

TQPI_Base::TQPI_Base() {
  const char* configured = std::getenv("TQ_HOME");
  if (configured != nullptr && configured[0] != '\0') {
    m_home = configured;
  } else {
    m_home = UserHome() + "/.tqcloudauth";
  }
  while (m_home.size() > 1 && m_home.back() == '/') {
    m_home.pop_back();
  }
}
