#include "tests/support/TempHome.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "tests/support/TestPki.h"

namespace tqtest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
      "/tqtest.XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  m_path = name.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Staged files are made read-only; removal needs the folder writable only.
  std::filesystem::remove_all(m_path, ec);
}

ScopedTqHome::ScopedTqHome() {
  const char* previous = std::getenv("TQ_HOME");
  m_hadPrevious = previous != nullptr;
  if (m_hadPrevious) {
    m_previous = previous;
  }
  ::setenv("TQ_HOME", m_dir.path().c_str(), 1);
}

ScopedTqHome::~ScopedTqHome() {
  if (m_hadPrevious) {
    ::setenv("TQ_HOME", m_previous.c_str(), 1);
  } else {
    ::unsetenv("TQ_HOME");
  }
}

void ScopedTqHome::WriteConfig(const std::string& ini) const {
  WriteFile(m_dir.path() + "/tqcloudauth.ini", ini);
}

std::string ScopedTqHome::LogText() const {
  return ReadFile(m_dir.path() + "/logs/tqcloudauth.log");
}

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> out;
  auto describe = [](const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      return std::string("(absent)");
    }
    std::string text = std::to_string(st.st_mode) + " ";
    if (S_ISREG(st.st_mode)) {
      text += ReadFile(path);
    }
    return text;
  };
  out["."] = describe(root);
  std::error_code ec;
  std::filesystem::recursive_directory_iterator it(root, ec);
  for (; !ec && it != std::filesystem::recursive_directory_iterator();
       it.increment(ec)) {
    const std::string relative =
        std::filesystem::relative(it->path(), root, ec).string();
    if (relative == "logs") {
      it.disable_recursion_pending();
      continue;
    }
    out[relative] = describe(it->path().string());
  }
  return out;
}

}  // namespace tqtest
