// SplitString. The by-character form gives the fields getline gives, each
// trimmed as TrimStringSpaces trims; the two-part form splits at the first
// or last occurrence and puts the text back together, also when an output
// is the input object itself.

#include <sstream>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "util/StringUtils.h"

namespace {

// Up to the first NUL, without leading and trailing spaces.
std::string Trim(const std::string& s) {
  const std::string c(s.c_str());
  const size_t first = c.find_first_not_of(' ');
  if (first == std::string::npos) {
    return std::string();
  }
  return c.substr(first, c.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> GetlineFields(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string field;
  while (std::getline(in, field, sep)) {
    out.push_back(Trim(field));
  }
  return out;
}

void CheckTwoParts(const std::string& text, const std::string& sep,
                   bool fromEnd) {
  std::string first = "stale";
  std::string second = "stale";
  const bool found = SplitString(text, sep, first, second, fromEnd);
  const size_t pos = fromEnd ? text.rfind(sep) : text.find(sep);
  FUZZ_CHECK(found == (pos != std::string::npos), "found flag");
  if (found) {
    FUZZ_CHECK(
        first == text.substr(0, pos) && second == text.substr(pos + sep.size()),
        "parts around the separator");
    FUZZ_CHECK(first + sep + second == text, "parts do not rebuild the text");
  } else {
    FUZZ_CHECK(first == text && second.empty(), "no separator: whole text");
  }
  // The outputs may be the input.
  std::string aliasFirst = text;
  std::string other;
  SplitString(aliasFirst, sep, aliasFirst, other, fromEnd);
  FUZZ_CHECK(aliasFirst == first && other == second, "first aliases text");
  std::string aliasSecond = text;
  std::string head;
  SplitString(aliasSecond, sep, head, aliasSecond, fromEnd);
  FUZZ_CHECK(head == first && aliasSecond == second, "second aliases text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  tqfuzz::Reader in(data, size);
  const char separator = static_cast<char>(in.Byte());
  const std::string text = in.Rest();
  FUZZ_CHECK(SplitString(text, separator) == GetlineFields(text, separator),
             "SplitString differs from getline for " + tqfuzz::Hex(text));

  tqfuzz::Reader parts(data, size);
  const std::string sep = parts.Bytes(parts.Byte() % 4);
  const std::string rest = parts.Rest();
  CheckTwoParts(rest, sep, false);
  CheckTwoParts(rest, sep, true);
  return 0;
}
