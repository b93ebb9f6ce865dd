// parseIso8601Time against a reference built on getline and glibc's timegm
// (which carries out-of-range fields as mktime does, in UTC).

#include <time.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/TimeParsing.h"

namespace {

bool Digit(char c) { return c >= '0' && c <= '9'; }

int Two(const char* p) { return (p[0] - '0') * 10 + (p[1] - '0'); }

// "dddd-dd-ddTdd:dd:dd" at the start of s (s NUL-terminated).
bool StrictMatch(const char* s) {
  static constexpr char kPattern[] = "dddd-dd-ddTdd:dd:dd";
  for (size_t i = 0; kPattern[i] != '\0'; ++i) {
    if (kPattern[i] == 'd' ? !Digit(s[i]) : s[i] != kPattern[i]) {
      return false;
    }
  }
  return true;
}

long FromMatched(const char* s) {
  tm fields{};
  fields.tm_year = Two(s) * 100 + Two(s + 2) - 1900;
  fields.tm_mon = Two(s + 5) - 1;
  fields.tm_mday = Two(s + 8);
  fields.tm_hour = Two(s + 11);
  fields.tm_min = Two(s + 14);
  fields.tm_sec = Two(s + 17);
  long t = static_cast<long>(timegm(&fields));
  const char* p = s + 19;
  if (*p == '.') {
    for (++p; Digit(*p); ++p) {
    }
  }
  if ((p[0] == '+' || p[0] == '-') && Digit(p[1]) && Digit(p[2]) &&
      p[3] == ':' && Digit(p[4]) && Digit(p[5])) {
    const long offset = (Two(p + 1) * 60L + Two(p + 4)) * 60;
    t += p[0] == '-' ? offset : -offset;
  }
  return t;
}

std::string TrimSpaces(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) {
    return std::string();
  }
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> Fields(const std::string& s, char separator) {
  std::vector<std::string> out;
  std::istringstream in(s);
  std::string field;
  while (std::getline(in, field, separator)) {
    out.push_back(TrimSpaces(field));
  }
  return out;
}

long Reference(const char* text) {
  if (StrictMatch(text)) {
    return FromMatched(text);
  }
  const std::vector<std::string> halves = Fields(text, 'T');
  if (halves.size() != 2) {
    return -1;
  }
  const std::vector<std::string> date = Fields(halves[0], '-');
  if (date.size() != 3) {
    return -1;
  }
  auto pad = [](const std::string& f) { return f.size() == 1 ? "0" + f : f; };
  const std::string rebuilt =
      date[0] + "-" + pad(date[1]) + "-" + pad(date[2]) + "T" + halves[1];
  return StrictMatch(rebuilt.c_str()) ? FromMatched(rebuilt.c_str()) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) {
    return 0;
  }
  // The text up to the first NUL, in a buffer of exactly its size.
  const std::string text(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  std::vector<char> exact(text.begin(), text.end());
  exact.push_back('\0');
  const long got = parseIso8601Time(exact.data());
  const long want = Reference(exact.data());
  FUZZ_CHECK(got == want, "parseIso8601Time(\"" + text +
                              "\") = " + std::to_string(got) + ", reference " +
                              std::to_string(want));
  return 0;
}
