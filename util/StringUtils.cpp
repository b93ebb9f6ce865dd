#include "util/StringUtils.h"

#include <cctype>
#include <cstdlib>

#include "internal/base/StringFormat.h"

int is_blank(char c) { return c == ' ' || c == '\t' ? 1 : 0; }

std::string To_Lower(const std::string& text) {
  std::string out = text;
  for (char& c : out) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

std::string To_String(int value) { return StringPrintf("%d", value); }
std::string To_String(long value) { return StringPrintf("%ld", value); }
std::string To_String(long long value) { return StringPrintf("%lld", value); }
std::string To_String(unsigned int value) { return StringPrintf("%u", value); }
std::string To_String(unsigned long value) {
  return StringPrintf("%lu", value);
}
std::string To_String(unsigned long long value) {
  return StringPrintf("%llu", value);
}
std::string To_String(float value) {
  return StringPrintf("%f", static_cast<double>(value));
}
std::string To_String(double value) { return StringPrintf("%f", value); }
std::string To_String(long double value) { return StringPrintf("%Lf", value); }

long long StringToLongLong(const std::string& text) {
  // strtoll reads exactly what atoll reads, but is defined on overflow.
  return std::strtoll(text.c_str(), nullptr, 10);
}

std::string TrimStringSpaces(const std::string& text) {
  const std::string copy = text.c_str();  // ends at the first NUL
  const size_t first = copy.find_first_not_of(' ');
  if (first == std::string::npos) {
    return std::string();
  }
  const size_t last = copy.find_last_not_of(' ');
  return copy.substr(first, last - first + 1);
}

std::vector<std::string> SplitString(const std::string& text, char separator) {
  // The fields getline would extract, without a stream: a separator at the
  // very end gives no final empty field, an empty text gives none at all.
  std::vector<std::string> fields;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      fields.push_back(TrimStringSpaces(text.substr(start)));
      break;
    }
    fields.push_back(TrimStringSpaces(text.substr(start, end - start)));
    start = end + 1;
  }
  return fields;
}

bool SplitString(const std::string& text, const std::string& separator,
                 std::string& first, std::string& second, bool fromEnd) {
  const size_t pos = fromEnd ? text.rfind(separator) : text.find(separator);
  if (pos == std::string::npos) {
    first = text;
    second.clear();
    return false;
  }
  // Copies first: text may be the same object as first or second.
  std::string before = text.substr(0, pos);
  std::string after = text.substr(pos + separator.size());
  first = std::move(before);
  second = std::move(after);
  return true;
}

std::string AddConnector(const std::string& first, const std::string& second,
                         const std::string& connector) {
  if (!first.empty() && !second.empty()) {
    return first + connector + second;
  }
  return !first.empty() ? first : second;
}

std::string GetXMLElement(const std::string& document,
                          const std::string& name) {
  size_t open = document.find("<" + name + ">");
  if (open == std::string::npos) {
    open = document.find("<" + name + " ");
  }
  const size_t contentEnd =
      open == std::string::npos ? std::string::npos : document.find('>', open);
  const size_t close = document.find("</" + name);
  if (contentEnd == std::string::npos || close == std::string::npos) {
    return std::string();
  }
  // Unsigned on purpose: a closing text before the opening tag wraps around
  // and the content runs to the end of the document, which callers rely on.
  const size_t length = close - contentEnd - 1;
  return document.substr(contentEnd + 1, length);
}
