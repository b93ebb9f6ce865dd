#include "util/StringUtils.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <sstream>

namespace {

TEST(StringUtils, IsBlank) {
  EXPECT_EQ(is_blank(' '), 1);
  EXPECT_EQ(is_blank('\t'), 1);
  for (char c : {'\n', '\r', '\v', '\f', '\0', 'a'}) {
    EXPECT_EQ(is_blank(c), 0) << static_cast<int>(c);
  }
}

TEST(StringUtils, ToLower) {
  EXPECT_EQ(To_Lower("AbC-1"), "abc-1");
  EXPECT_EQ(To_Lower(std::string("A\0B\xC4", 4)), std::string("a\0b\xC4", 4));
}

TEST(StringUtils, ToString) {
  EXPECT_EQ(To_String(-5), "-5");
  EXPECT_EQ(To_String(INT_MIN), "-2147483648");
  EXPECT_EQ(To_String(LONG_MAX), "9223372036854775807");
  EXPECT_EQ(To_String(LLONG_MIN), "-9223372036854775808");
  EXPECT_EQ(To_String(UINT_MAX), "4294967295");
  EXPECT_EQ(To_String(ULONG_MAX), "18446744073709551615");
  EXPECT_EQ(To_String(ULLONG_MAX), "18446744073709551615");
  EXPECT_EQ(To_String(2.5), "2.500000");
  EXPECT_EQ(To_String(1.5f), "1.500000");
  EXPECT_EQ(To_String(-0.25L), "-0.250000");
  EXPECT_EQ(To_String(1e300).size(), 301u + 7u) << "no truncation";
}

TEST(StringUtils, StringToLongLong) {
  const struct {
    const char* text;
    long long expected;
  } cases[] = {
      {"  -42abc", -42}, {"abc", 0},     {"+7", 7},
      {"", 0},           {"\t\n12", 12}, {"1 2", 1},
      {"- 1", 0},        {"0x10", 0},    {"99999999999999999999", LLONG_MAX},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StringToLongLong(c.text), c.expected) << c.text;
  }
  EXPECT_EQ(StringToLongLong(std::string("12\0"
                                         "34",
                                         5)),
            12);
}

TEST(StringUtils, TrimStringSpaces) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"  a b  ", "a b"}, {"   ", ""},     {"", ""},
      {"\ta ", "\ta"},    {" a\n", "a\n"}, {std::string(" a \0 b ", 7), "a"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TrimStringSpaces(c.text), c.expected);
  }
}

TEST(StringUtils, SplitStringByCharacter) {
  using V = std::vector<std::string>;
  const struct {
    const char* text;
    V expected;
  } cases[] = {
      {"a,,b", V{"a", "", "b"}}, {"a,b,", V{"a", "b"}},
      {",a", V{"", "a"}},        {"", V{}},
      {" a , b ", V{"a", "b"}},  {",", V{""}},
      {"abc", V{"abc"}},         {",,", V{"", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SplitString(c.text, ','), c.expected) << c.text;
  }
}

// The fields are exactly what getline extracts, trimmed.
TEST(StringUtils, SplitStringMatchesGetline) {
  std::mt19937 rng(7);
  const char alphabet[] = {',', ',', ' ', 'a', 'b', '\0', '\t'};
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    const size_t length = rng() % 12;
    for (size_t i = 0; i < length; ++i) {
      text += alphabet[rng() % sizeof alphabet];
    }
    std::vector<std::string> expected;
    std::istringstream in(text);
    std::string field;
    while (std::getline(in, field, ',')) {
      expected.push_back(TrimStringSpaces(field));
    }
    EXPECT_EQ(SplitString(text, ','), expected);
  }
}

TEST(StringUtils, SplitStringInTwo) {
  std::string first = "x";
  std::string second = "y";
  EXPECT_TRUE(SplitString("k=v=w", "=", first, second, false));
  EXPECT_EQ(first, "k");
  EXPECT_EQ(second, "v=w");
  EXPECT_TRUE(SplitString("k=v=w", "=", first, second, true));
  EXPECT_EQ(first, "k=v");
  EXPECT_EQ(second, "w");
  EXPECT_FALSE(SplitString("abc", "=", first, second, false));
  EXPECT_EQ(first, "abc");
  EXPECT_EQ(second, "");
  EXPECT_TRUE(SplitString("a::b", "::", first, second, false));
  EXPECT_EQ(first, "a");
  EXPECT_EQ(second, "b");
  EXPECT_TRUE(SplitString("ab", "", first, second, false));
  EXPECT_EQ(first, "");
  EXPECT_EQ(second, "ab");
  EXPECT_TRUE(SplitString("ab", "", first, second, true));
  EXPECT_EQ(first, "ab");
  EXPECT_EQ(second, "");

  std::string same = "left|right";
  EXPECT_TRUE(SplitString(same, "|", same, second, false));
  EXPECT_EQ(same, "left");
  EXPECT_EQ(second, "right");
}

TEST(StringUtils, AddConnector) {
  EXPECT_EQ(AddConnector("a", "b", "/"), "a/b");
  EXPECT_EQ(AddConnector("", "b", "/"), "b");
  EXPECT_EQ(AddConnector("a", "", "/"), "a");
  EXPECT_EQ(AddConnector("", "", "/"), "");
}

TEST(StringUtils, GetXMLElement) {
  const struct {
    const char* document;
    const char* expected;
  } cases[] = {
      {"<v>x</v>", "x"},
      {"<v id='1'>x</v>", "x"},
      {"<v/>", ""},
      {"<v></v>", ""},
      {"<v>1</v><v>2</v>", "1"},
      {"<v><v>x</v></v>", "<v>x"},
      {"<v>x</vw>", "x"},
      {"<vw>y</vw>", ""},
      {"</v><v>x</v>", "x</v>"},
      {"<v>x", ""},
      {"", ""},
      {"<r><v a=\"1\" b='2'>&lt;t&gt;</v></r>", "&lt;t&gt;"},
      {"<v >x</v>", "x"},
      {"</v>junk<v ", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetXMLElement(c.document, "v"), c.expected) << c.document;
  }
}

}  // namespace
