#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// IniFile: the settings of one INI file's text, looked up by section and
// name (both compared without regard to case). Who reads the file decides
// whether it may be read (platform/internal/ConfigFile.h reads the home's
// through TqHome's checks). The format: "[section]" lines, "name = value"
// (or "name: value") lines, blank lines and comments from ";" or "#" at the
// start of a line or ";" after a blank; surrounding blanks are trimmed; a
// UTF-8 byte order mark at the start is skipped. Lines may be of any length;
// the reader takes files of up to kMaxBytes. No text yields no settings and
// no error.
// Tests: tests/platform/TQConfig_test.cpp
class IniFile {
 public:
  static constexpr size_t kMaxBytes = 1024 * 1024;

  IniFile() = default;
  // The settings of size bytes of text; path names the file in the error
  // text only.
  IniFile(const char* text, size_t size, const std::string& path);
  // Values may be passwords: wiped when the settings are dropped.
  ~IniFile();
  IniFile(const IniFile&) = delete;
  IniFile& operator=(const IniFile&) = delete;

  // Ok: whether the whole text was read. A text that cannot be read to its
  // end (a line that is no setting, a NUL byte) gives no settings at all,
  // never those before the fault, and Error() says FailedAt's words.
  bool Ok() const noexcept { return m_error.empty(); }
  const std::string& Error() const noexcept { return m_error; }

  // True and the value when [section] name is present.
  bool Get(const std::string& section, const std::string& name,
           std::string& outValue) const;

  // Sections: every section with the names it sets, as first written and
  // in the order of the file; never the values.
  std::vector<std::pair<std::string, std::vector<std::string>>> Sections()
      const;

  // True and the value when present and a whole decimal number in range
  // (ParseDecimal of internal/base/Decimal.h).
  bool GetLong(const std::string& section, const std::string& name,
               long long& outValue) const;

  // FailedAt: "Failed to read configuration file [<path>] at line <n>:
  // <what>", for a file not read to its end.
  static std::string FailedAt(const std::string& path, size_t line,
                              const std::string& what);

 private:
  bool Parse(std::string_view text, size_t& outLine, std::string& outWhat);

  std::map<std::string, std::string> m_values;  // "section\nname" -> value
  std::vector<std::pair<std::string, std::string>> m_names;  // as written
  std::string m_error;
};
