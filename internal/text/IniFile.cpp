#include "internal/text/IniFile.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "internal/base/Decimal.h"
#include "internal/base/StringFormat.h"
#include "platform/SecureMemory.h"

namespace {

std::string Key(const std::string& section, const std::string& name) {
  std::string key = section + "\n" + name;
  for (char& c : key) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

// Not isspace(): locale-dependent.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// [begin, end) of text without its blanks at either end.
void Trim(std::string_view text, size_t& begin, size_t& end) {
  while (begin < end && IsBlank(text[begin])) {
    ++begin;
  }
  while (end > begin && IsBlank(text[end - 1])) {
    --end;
  }
}

// Where an inline comment (";" after a blank) starts in [begin, end), or end.
size_t CommentStart(std::string_view text, size_t begin, size_t end) {
  for (size_t i = begin + 1; i < end; ++i) {
    if (text[i] == ';' && IsBlank(text[i - 1])) {
      return i;
    }
  }
  return end;
}

}  // namespace

IniFile::IniFile(const char* text, size_t size, const std::string& path) {
  if (text == nullptr || size == 0) {
    return;
  }
  std::string what;
  size_t line = 0;
  if (Parse(std::string_view(text, size), line, what)) {
    return;
  }
  // A file that is not read to its end gives no settings rather than the
  // ones before the fault: half a proxy configuration is worse.
  for (auto& entry : m_values) {
    WipeString(entry.second);
  }
  m_values.clear();
  m_names.clear();
  m_error = FailedAt(path, line, what);
}

std::string IniFile::FailedAt(const std::string& path, size_t line,
                              const std::string& what) {
  return StringPrintf("Failed to read configuration file [%s] at line %zu: %s",
                      path.c_str(), line, what.c_str());
}

bool IniFile::Parse(std::string_view text, size_t& outLine,
                    std::string& outWhat) {
  std::string section;
  size_t start = 0;
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    start = 3;  // a byte order mark
  }
  for (size_t line = 1; start <= text.size(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    const size_t next = end + 1;
    outLine = line;
    if (std::memchr(text.data() + start, '\0', end - start) != nullptr) {
      outWhat = "a NUL byte";
      return false;
    }
    Trim(text, start, end);
    if (start == end || text[start] == ';' || text[start] == '#') {
      start = next;
      continue;
    }
    if (text[start] == '[') {
      const size_t close = text.find(']', start);
      if (close == std::string_view::npos || close >= end) {
        outWhat = "a section header without ']'";
        return false;
      }
      size_t rest = close + 1;
      size_t restEnd = end;
      Trim(text, rest, restEnd);
      if (rest != restEnd && text[rest] != ';' && text[rest] != '#') {
        outWhat = "text after the section header";
        return false;
      }
      size_t nameBegin = start + 1;
      size_t nameEnd = close;
      Trim(text, nameBegin, nameEnd);
      section.assign(text.substr(nameBegin, nameEnd - nameBegin));
      start = next;
      continue;
    }
    size_t delimiter = start;
    while (delimiter < end && text[delimiter] != '=' &&
           text[delimiter] != ':') {
      ++delimiter;
    }
    if (delimiter == end) {
      outWhat = "not a setting (name = value)";
      return false;
    }
    size_t nameBegin = start;
    size_t nameEnd = delimiter;
    Trim(text, nameBegin, nameEnd);
    if (nameBegin == nameEnd) {
      outWhat = "a setting without a name";
      return false;
    }
    size_t valueBegin = delimiter + 1;
    size_t valueEnd = CommentStart(text, valueBegin, end);
    Trim(text, valueBegin, valueEnd);
    const std::string name(text.substr(nameBegin, nameEnd - nameBegin));
    const std::string key = Key(section, name);
    if (m_values.count(key) == 0) {
      m_names.emplace_back(section, name);
    }
    std::string& value = m_values[key];
    WipeString(value);
    value.assign(text.substr(valueBegin, valueEnd - valueBegin));
    start = next;
  }
  return true;
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

std::vector<std::pair<std::string, std::vector<std::string>>>
IniFile::Sections() const {
  std::vector<std::pair<std::string, std::vector<std::string>>> sections;
  for (const auto& [section, name] : m_names) {
    auto it = sections.begin();
    while (it != sections.end() && Key(it->first, "") != Key(section, "")) {
      ++it;
    }
    if (it == sections.end()) {
      it = sections.emplace(it, section, std::vector<std::string>());
    }
    it->second.push_back(name);
  }
  return sections;
}

bool IniFile::GetLong(const std::string& section, const std::string& name,
                      long long& outValue) const {
  std::string text;
  int64_t value = 0;
  if (!Get(section, name, text) ||
      !ParseDecimal(text, INT64_MIN, INT64_MAX, value)) {
    return false;
  }
  outValue = value;
  return true;
}
