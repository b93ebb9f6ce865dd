#include "util/UrlCodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

// Destination buffers are followed by guard bytes that must survive.
constexpr char kGuard = '\x5A';
constexpr size_t kGuardBytes = 16;

bool UntouchedFrom(const std::vector<char>& buffer, size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from),
                     buffer.end(), [](char c) { return c == kGuard; });
}

std::string AllBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) {
    s += static_cast<char>(b);
  }
  return s;
}

// Independent of the encoder's tables: RFC 3986 unreserved plus "/".
std::string ExpectedEncoding(unsigned char b) {
  static const char kKept[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.~/";
  if (b != 0 && std::strchr(kKept, b) != nullptr) {
    return std::string(1, static_cast<char>(b));
  }
  char escaped[4];
  std::snprintf(escaped, sizeof escaped, "%%%02X", b);
  return escaped;
}

TEST(UrlEncode, EveryByteAndRoundTrip) {
  const std::string all = AllBytes();
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    const auto byte = static_cast<unsigned char>(b);
    const std::string one = ExpectedEncoding(byte);
    expected += one;
    EXPECT_EQ(urlEncode(std::string(1, static_cast<char>(byte))), one) << b;
    if (b == 0) {
      continue;
    }
    // Buffer form, one character: 3 * limit + 1 = 4 bytes are enough.
    std::vector<char> dest(4 + kGuardBytes, kGuard);
    const char source[2] = {static_cast<char>(byte), '\0'};
    EXPECT_EQ(urlEncode(dest.data(), source, 1), 1) << b;
    EXPECT_EQ(std::string(dest.data()), one) << b;
    EXPECT_TRUE(UntouchedFrom(dest, one.size() + 1)) << b;
  }
  EXPECT_EQ(urlEncode(all), expected);
  EXPECT_EQ(urlDecode(urlEncode(all)), all);

  // The buffer forms round-trip the 255 non-NUL bytes too.
  const std::string text = all.substr(1);
  std::vector<char> encoded(3 * text.size() + 1);
  ASSERT_EQ(
      urlEncode(encoded.data(), text.c_str(), static_cast<int>(text.size())),
      1);
  EXPECT_EQ(std::string(encoded.data()), expected.substr(3));
  const int length = static_cast<int>(std::strlen(encoded.data()));
  std::vector<char> decoded(static_cast<size_t>(length) + 1);
  urlDecode(decoded.data(), encoded.data(), length);
  EXPECT_EQ(std::string(decoded.data()), text);
}

TEST(UrlEncode, StringForms) {
  const struct {
    std::string source;
    std::string safe;
    std::string expected;
  } cases[] = {
      {"a b&c/d~e", gDefaultUrlSafe, "a%20b%26c/d~e"},
      {"\xC3\xA9", gDefaultUrlSafe, "%C3%A9"},
      {"", gDefaultUrlSafe, ""},
      {"a\0b"s, gDefaultUrlSafe, "a%00b"},
      {"+%=?#", gDefaultUrlSafe, "%2B%25%3D%3F%23"},
      {"-_.~/", "", "%2D%5F%2E%7E%2F"},
      {"a+b c/", "+ ", "a+b c%2F"},
      // The safe set is searched over its whole size, NUL included.
      {"a\0b"s, "\0"s, "a\0b"s},
      {"\xFF", "\xFF", "\xFF"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(urlEncodeUseSafeChar(c.source, c.safe), c.expected) << c.source;
  }
  EXPECT_EQ(urlEncode("a b&c/d~e"s), "a%20b%26c/d~e");
}

TEST(UrlEncode, BufferFormLimitAndBounds) {
  const struct {
    const char* source;
    int limit;
    const char* safe;
    int result;
    const char* expected;
  } cases[] = {
      {"abcd", 3, gDefaultUrlSafe, 0, "abc"},
      {"abcd", 4, gDefaultUrlSafe, 1, "abcd"},
      {" ", 1, gDefaultUrlSafe, 1, "%20"},
      {"a b", 2, gDefaultUrlSafe, 0, "a%20"},
      {"a", 0, gDefaultUrlSafe, 0, ""},
      {"", 0, gDefaultUrlSafe, 1, ""},
      {"a", -1, gDefaultUrlSafe, 0, ""},
      {"", -1, gDefaultUrlSafe, 1, ""},
      {nullptr, 0, gDefaultUrlSafe, 1, ""},
      {"a-b", 3, "", 1, "a%2Db"},
      {"a-b", 3, nullptr, 1, "a%2Db"},
      {"a b", 3, " ", 1, "a b"},
  };
  for (const auto& c : cases) {
    const std::string label = c.source != nullptr ? c.source : "(null)";
    // The documented size, 3 * limit + 1, then guard bytes.
    const size_t size = c.limit > 0 ? 3 * static_cast<size_t>(c.limit) + 1 : 1;
    std::vector<char> dest(size + kGuardBytes, kGuard);
    EXPECT_EQ(urlEncodeUseSafeChar(dest.data(), c.source, c.limit, c.safe),
              c.result)
        << label << " limit " << c.limit;
    EXPECT_STREQ(dest.data(), c.expected) << label;
    // Nothing after the terminator is touched, not even inside the size.
    EXPECT_TRUE(UntouchedFrom(dest, std::strlen(c.expected) + 1)) << label;
  }
  EXPECT_EQ(urlEncode(nullptr, "a", 1), 0);
}

TEST(UrlDecode, StringForm) {
  const struct {
    std::string source;
    std::string expected;
  } cases[] = {
      {"a%20b+c", "a b c"},
      {"%41%4a%4A", "AJJ"},
      {"", ""},
      {"++", "  "},
      {"%2B", "+"},
      {"%ff%00", "\xFF\0"s},
      // Malformed escapes read as strtol("0x0" X Y, 16) does.
      {"%G1x", "\0x"s},
      {"%4G", "\x04"},
      {"%4", "\x04"},
      {"100%", "100\0"s},
      {"%", "\0"s},
      {"%%41", std::string{'\0', '1'}},
      {"%+2x", "\0x"s},
      {"%2+", "\x02"},
      {"%zz", "\0"s},
      {"%-1", "\0"s},
      {"% 1", "\0"s},
      {"\xC3\xA9%", "\xC3\xA9\0"s},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(urlDecode(c.source), c.expected) << c.source;
  }
}

TEST(UrlDecode, BufferFormReadsOnlyLengthAndStaysInBounds) {
  const struct {
    std::string source;
    int length;
    std::string expected;  // bytes written before the terminator
  } cases[] = {
      {"abcdef", 3, "abc"},
      {"abcdef", 6, "abcdef"},
      // Positions at or past length count as NUL, whatever follows.
      {"%41", 2, "\x04"},
      {"%41", 1, "\0"s},
      {"a%00b", 5, "a\0b"s},
      {"a+b%2", 5, "a b\x02"},
      {"abc", 0, ""},
      {"abc", -1, ""},
  };
  for (const auto& c : cases) {
    const size_t size = c.length > 0 ? static_cast<size_t>(c.length) + 1 : 1;
    std::vector<char> dest(size + kGuardBytes, kGuard);
    urlDecode(dest.data(), c.source.c_str(), c.length);
    EXPECT_EQ(std::string(dest.data(), c.expected.size()), c.expected)
        << c.source << " length " << c.length;
    EXPECT_EQ(dest[c.expected.size()], '\0') << c.source;
    EXPECT_TRUE(UntouchedFrom(dest, c.expected.size() + 1)) << c.source;
  }
  std::vector<char> dest(1 + kGuardBytes, kGuard);
  urlDecode(dest.data(), nullptr, 5);
  EXPECT_EQ(dest[0], '\0');
  EXPECT_TRUE(UntouchedFrom(dest, 1));
  urlDecode(nullptr, "abc", 3);  // nothing to write to; must not crash
}

TEST(UrlEncodeStorage, EncodedTextLivesInTheVector) {
  const struct {
    const char* value;
    std::string expected;
  } cases[] = {
      {"s3cr3t+/=&", "s3cr3t%2B/%3D%26"},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto& c : cases) {
    std::vector<char> storage(40, 'Q');  // earlier content is replaced
    const char* text = UrlEncode(c.value, storage);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text, storage.data());
    EXPECT_EQ(std::string(text), c.expected);
    // Sized once for the worst case, so it never had to grow.
    const size_t length = c.value != nullptr ? std::strlen(c.value) : 0;
    EXPECT_EQ(storage.size(), 3 * length + 1);
  }
}

}  // namespace
