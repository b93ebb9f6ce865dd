#pragma once

#include <map>
#include <string>

// IniFile: the settings of one INI file, looked up by section and name
// (both compared without regard to case), read from a descriptor the caller
// opened (TqHome::OpenFile, so that only a trusted file is read) and keeps.
// An invalid descriptor or an unreadable file yields no settings; that is
// not an error.
class IniFile {
 public:
  explicit IniFile(int fd);
  // Values may be passwords: wiped when the settings are dropped.
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // True and the value when [section] name is present.
  bool Get(const std::string& section, const std::string& name,
           std::string& outValue) const;

  // True and the value when present and a whole decimal number in range.
  bool GetLong(const std::string& section, const std::string& name,
               long long& outValue) const;

 private:
  std::map<std::string, std::string> m_values;  // "section\nname" -> value
};
