#include "internal/TerminalText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(TerminalText, ControlsAreFoundAndEscaped) {
  const struct {
    std::string text;
    std::string escaped;  // keepLineBreaks false
    std::string message;  // keepLineBreaks true
  } cases[] = {
      {"plain text", "plain text", "plain text"},
      {"t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91",
       "t\xc3\xa9 \xe2\x82\xac "
       "\xf0\x9f\x94\x91",
       "t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91"},
      {"\x1b[2J", "\\x1b[2J", "\\x1b[2J"},
      {"a\nb\tc\rd", "a\\nb\\tc\\rd", "a\nb\tc\\rd"},
      {std::string("\0\x7f", 2), "\\x00\\x7f", "\\x00\\x7f"},
      {"\xc2\x9b"
       "1m",
       "\\xc2\\x9b1m", "\\xc2\\x9b1m"},  // C1 CSI as UTF-8
      {"\x9b"
       "1m",
       "\\x9b1m", "\\x9b1m"},                                  // and as a byte
      {"\xc2\xa0", "\xc2\xa0", "\xc2\xa0"},                    // U+00A0 is text
      {"\xff\xc3", "\\xff\\xc3", "\\xff\\xc3"},                // not UTF-8
      {"\xed\xa0\x80", "\\xed\\xa0\\x80", "\\xed\\xa0\\x80"},  // surrogate
  };
  for (const auto& c : cases) {
    const bool plain = c.escaped == c.text;
    EXPECT_EQ(HasControlCharacters(c.text), !plain) << c.escaped;
    EXPECT_EQ(EscapeControls(c.text, false), c.escaped);
    EXPECT_EQ(EscapeControls(c.text, true), c.message);
    EXPECT_FALSE(HasControlCharacters(EscapeControls(c.text, false)));
  }
}

}  // namespace
