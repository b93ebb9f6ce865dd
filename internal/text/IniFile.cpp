#include "internal/text/IniFile.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
void Trim(const std::string& text, size_t& begin, size_t& end) {
  while (begin < end && IsBlank(text[begin])) {
    ++begin;
  }
  while (end > begin && IsBlank(text[end - 1])) {
    --end;
  }
}

// Where an inline comment (";" after a blank) starts in [begin, end), or end.
size_t CommentStart(const std::string& text, size_t begin, size_t end) {
  for (size_t i = begin + 1; i < end; ++i) {
    if (text[i] == ';' && IsBlank(text[i - 1])) {
      return i;
    }
  }
  return end;
}

// Reads all of fd into outText, up to IniFile::kMaxBytes. False with errno's
// text in outWhat for a read error or a larger file.
bool ReadAll(int fd, std::string& outText, std::string& outWhat) {
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      outWhat = std::strerror(errno);
      SecureWipe(chunk, sizeof chunk);
      return false;
    }
    if (n == 0) {
      break;
    }
    if (outText.size() + static_cast<size_t>(n) > IniFile::kMaxBytes) {
      outWhat =
          StringPrintf("the file is larger than %zu bytes", IniFile::kMaxBytes);
      SecureWipe(chunk, sizeof chunk);
      return false;
    }
    if (outText.capacity() < outText.size() + static_cast<size_t>(n)) {
      // Grown by hand so that the old buffer, which may hold a password, is
      // wiped before it is freed.
      std::string bigger;
      bigger.reserve(2 * (outText.size() + static_cast<size_t>(n)));
      bigger = outText;
      WipeString(outText);
      outText.swap(bigger);
    }
    outText.append(chunk, static_cast<size_t>(n));
  }
  SecureWipe(chunk, sizeof chunk);
  return true;
}

size_t LineCount(const std::string& text) {
  size_t lines = 1;
  for (char c : text) {
    lines += c == '\n' ? 1 : 0;
  }
  return lines;
}

}  // namespace

IniFile::IniFile(int fd, const std::string& path) {
  if (fd < 0) {
    return;
  }
  std::string text;
  StringWipeGuard wipeText(text);
  std::string what;
  size_t line = 0;
  if (!ReadAll(fd, text, what)) {
    line = LineCount(text);
  } else if (Parse(text, line, what)) {
    return;
  }
  // A file that is not read to its end gives no settings rather than the
  // ones before the fault: half a proxy configuration is worse.
  for (auto& entry : m_values) {
    WipeString(entry.second);
  }
  m_values.clear();
  m_names.clear();
  m_error =
      StringPrintf("Failed to read configuration file [%s] at line %zu: %s",
                   path.c_str(), line, what.c_str());
}

bool IniFile::Parse(const std::string& text, size_t& outLine,
                    std::string& outWhat) {
  std::string section;
  size_t start = 0;
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    start = 3;  // a byte order mark
  }
  for (size_t line = 1; start <= text.size(); ++line) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
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
      if (close == std::string::npos || close >= end) {
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
      section.assign(text, nameBegin, nameEnd - nameBegin);
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
    const std::string name = text.substr(nameBegin, nameEnd - nameBegin);
    const std::string key = Key(section, name);
    if (m_values.count(key) == 0) {
      m_names.emplace_back(section, name);
    }
    std::string& value = m_values[key];
    WipeString(value);
    value.assign(text, valueBegin, valueEnd - valueBegin);
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

bool IniFile::ParseLong(const std::string& text, long long& outValue) {
  if (text.empty()) {
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

bool IniFile::GetLong(const std::string& section, const std::string& name,
                      long long& outValue) const {
  std::string text;
  return Get(section, name, text) && ParseLong(text, outValue);
}
