#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

// IniFile: the settings of one INI file, looked up by section and name
// (both compared without regard to case), read from a descriptor the caller
// opened (TqHome::OpenFile, so that only a trusted file is read) and keeps.
// The format: "[section]" lines, "name = value" (or "name: value") lines,
// blank lines and comments from ";" or "#" at the start of a line or ";"
// after a blank; surrounding blanks are trimmed; a UTF-8 byte order mark
// at the start is skipped. Lines may be of any length; the whole file may
// hold up to kMaxBytes. An invalid descriptor yields no settings and no
// error (the caller decides whether a missing file is one).
// Tests: tests/platform/TQConfig_test.cpp
class IniFile {
 public:
  static constexpr size_t kMaxBytes = 1024 * 1024;

  // path names the file in the error text only.
  IniFile(int fd, const std::string& path);
  // Values may be passwords: wiped when the settings are dropped.
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // Ok: whether the whole file was read. A file that cannot be read to its
  // end (a read error, a line that is no setting, a NUL byte, more than
  // kMaxBytes) gives no settings at all, never those before the fault, and
  // Error() says "Failed to read configuration file [<path>] at line <n>:
  // <what>".
  bool Ok() const noexcept { return m_error.empty(); }
  const std::string& Error() const noexcept { return m_error; }

  // True and the value when [section] name is present.
  bool Get(const std::string& section, const std::string& name,
           std::string& outValue) const;

  // Sections: every section with the names it sets, as first written and
  // in the order of the file; never the values.
  std::vector<std::pair<std::string, std::vector<std::string>>> Sections()
      const;

  // ParseLong: true and the value when text is a whole decimal number in
  // range.
  static bool ParseLong(const std::string& text, long long& outValue);

  // True and the value when present and a whole decimal number in range.
  bool GetLong(const std::string& section, const std::string& name,
               long long& outValue) const;

 private:
  bool Parse(const std::string& text, size_t& outLine, std::string& outWhat);

  std::map<std::string, std::string> m_values;  // "section\nname" -> value
  std::vector<std::pair<std::string, std::string>> m_names;  // as written
  std::string m_error;
};
