#include "tools/cli/CliText.h"

#include <gtest/gtest.h>

#include <string>

#include "internal/text/Redact.h"

namespace {

using tqcli::IsPrintable;

// Each boundary of well-formed UTF-8, from both sides.
TEST(CliText, Utf8AndPrintable) {
  using namespace std::string_literals;
  const struct {
    std::string text;
    bool utf8;
    bool printable;
  } cases[] = {
      {"", true, true},
      {"tenant-1 ~", true, true},
      {"caf\xc3\xa9", true, true},         // U+00E9
      {"\xe2\x82\xac", true, true},        // U+20AC
      {"\xef\xbf\xbf", true, true},        // U+FFFF
      {"\xf0\x90\x80\x80", true, true},    // U+10000
      {"\xf4\x8f\xbf\xbf", true, true},    // U+10FFFF
      {"\xf4\x90\x80\x80", false, false},  // beyond U+10FFFF
      {"\xc0\xaf", false, false},          // overlong '/'
      {"\xc1\xbf", false, false},          // overlong
      {"\xe0\x9f\xbf", false, false},      // overlong
      {"\xf0\x8f\xbf\xbf", false, false},  // overlong
      {"\xed\x9f\xbf", true, true},        // U+D7FF
      {"\xed\xa0\x80", false, false},      // surrogate U+D800
      {"\xf5\x80\x80\x80", false, false},  // no such lead
      {"\x80", false, false},              // lone continuation
      {"\xc3", false, false},              // cut short
      {"\xe2\x82", false, false},          // cut short
      {"\xe2\x28\xac", false, false},      // bad continuation
      {"a\x01", true, false},              // control
      {"a\x7f", true, false},              // DEL
      {"a\tb", true, false},               // tab
      {"a\0b"s, true, false},              // NUL
      {std::string(tqcli::kMaxOptionBytes, 'x'), true, true},
      {std::string(tqcli::kMaxOptionBytes + 1, 'x'), true, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUtf8(c.text), c.utf8) << c.text;
    EXPECT_EQ(IsPrintable(c.text), c.printable) << c.text;
  }
}

}  // namespace
