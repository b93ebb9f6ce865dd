#include "internal/IniFile.h"

#include <ini.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/SecureMemory.h"

namespace {

std::string Key(const std::string& section, const std::string& name) {
  std::string key = section + "\n" + name;
  for (char& c : key) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

int Store(void* user, const char* section, const char* name,
          const char* value) {
  auto* values = static_cast<std::map<std::string, std::string>*>(user);
  (*values)[Key(section, name)] = value;
  return 1;
}

}  // namespace

IniFile::IniFile(int fd) {
  const int own = fd >= 0 ? ::dup(fd) : -1;
  FILE* file = own >= 0 ? ::fdopen(own, "r") : nullptr;
  if (file == nullptr) {
    if (own >= 0) {
      ::close(own);
    }
    return;
  }
  if (ini_parse_file(file, Store, &m_values) != 0) {
    // A file that does not parse to its end gives no settings rather than
    // the ones before the fault: half a proxy configuration is worse.
    m_values.clear();
  }
  std::fclose(file);
}

IniFile::~IniFile() {
  for (auto& entry : m_values) {
    WipeString(entry.second);
  }
}

bool IniFile::Get(const std::string& section, const std::string& name,
                  std::string& outValue) const {
  const auto it = m_values.find(Key(section, name));
  if (it == m_values.end()) {
    return false;
  }
  outValue = it->second;
  return true;
}

bool IniFile::GetLong(const std::string& section, const std::string& name,
                      long long& outValue) const {
  std::string text;
  if (!Get(section, name, text) || text.empty()) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return false;
  }
  outValue = value;
  return true;
}
