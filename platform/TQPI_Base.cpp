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
      found != nullptr && found->pw_dir != nullptr &&
      found->pw_dir[0] != '\0') {
    return found->pw_dir;
  }
  // No fallback to a shared folder, where another user could be first to
  // make the home: no home at all, which every use of it reports.
  return std::string();
}

}  // namespace

TQPI_Base::TQPI_Base() {
  const char* configured = std::getenv("TQ_HOME");
  if (configured != nullptr && configured[0] != '\0') {
    m_home = configured;
  } else {
    const std::string user = UserHome();
    if (!user.empty()) {
      m_home = user + "/.tqcloudauth";
    }
  }
  while (m_home.size() > 1 && m_home.back() == '/') {
    m_home.pop_back();
  }
}
