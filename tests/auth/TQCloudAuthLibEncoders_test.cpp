#include <gtest/gtest.h>

#include <string>

#include "auth/TQCloudAuthLib.h"
#include "tests/auth/TestAuthLib.h"
#include "util/Base64Codec.h"
#include "util/UrlCodec.h"

namespace {

using namespace std::string_literals;
using tqtest::TestAuthLib;

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
int Len(const std::string& s) { return static_cast<int>(s.size()); }

std::string Bytes(const TqcBucket& b) {
  return b.getData() != nullptr
             ? std::string(reinterpret_cast<const char*>(b.getData()),
                           static_cast<size_t>(b.getSize()))
             : std::string();
}

std::string Sample(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += static_cast<char>((i * 151 + 7) & 0xFF);
  }
  return s;
}

TEST(TQCloudAuthLibEncoders, UrlEncode) {
  TestAuthLib lib;
  const struct {
    std::string value;
    std::string expected;
  } cases[] = {
      {"a b&c/d~e", "a%20b%26c/d~e"},
      {"SECRET-SENTINEL-7f3a+/=", "SECRET-SENTINEL-7f3a%2B/%3D"},
      {"", ""},
      {"ab\0cd"s, "ab"},  // the value's NUL-terminated text
      {"\xC3\xA9", "%C3%A9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(lib.UrlEncode(c.value), c.expected) << c.value;
  }
  std::string all;
  for (int b = 1; b < 256; ++b) {
    all += static_cast<char>(b);
  }
  EXPECT_EQ(lib.UrlEncode(all), urlEncode(all));
}

TEST(TQCloudAuthLibEncoders, Base64Encode) {
  EXPECT_EQ(TQCloudAuthLib::base64encode(U(""s), 0), "");
  EXPECT_EQ(TQCloudAuthLib::base64encode(U("f"s), 1), "Zg==");
  EXPECT_EQ(TQCloudAuthLib::base64encode(U("fo"s), 2), "Zm8=");
  EXPECT_EQ(TQCloudAuthLib::base64encode(U("foobar"s), 6), "Zm9vYmFy");
  EXPECT_EQ(TQCloudAuthLib::base64encode(U("foobar"s), -1), "");
  EXPECT_EQ(TQCloudAuthLib::base64encode(nullptr, 3), "");
}

TEST(TQCloudAuthLibEncoders, Base64UrlEncode) {
  const struct {
    std::string data;
    bool inputIsBase64;
    std::string expected;
  } cases[] = {
      {"\xFB\xFF", false, "-_8"},
      {"", false, ""},
      {"", true, ""},
      {"ab+c/d==", true, "ab-c_d"},
      // Cut at the first "=", wherever it stands.
      {"ab=cd", true, "ab"},
      {"=abc", true, ""},
      {"Zm9v", true, "Zm9v"},
      {"f", false, "Zg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TQCloudAuthLib::base64urlencode(U(c.data), Len(c.data),
                                              c.inputIsBase64),
              c.expected)
        << c.data << " " << c.inputIsBase64;
  }
  EXPECT_EQ(TQCloudAuthLib::base64urlencode(U("ab"s), -1, true), "");
  EXPECT_EQ(TQCloudAuthLib::base64urlencode(nullptr, 2, true), "");
  EXPECT_EQ(TQCloudAuthLib::base64urlencode(nullptr, 2, false), "");

  // The unpadded form of the exported Base64URL, and it decodes back.
  for (size_t n = 0; n <= 48; ++n) {
    const std::string data = Sample(n);
    std::string padded = Base64URLEncode(U(data), Len(data));
    padded.erase(padded.find_last_not_of('=') + 1);
    const std::string url =
        TQCloudAuthLib::base64urlencode(U(data), Len(data), false);
    EXPECT_EQ(url, padded) << n;
    EXPECT_EQ(Bytes(TQCloudAuthLib::base64urldecode(url)), data) << n;
  }
}

TEST(TQCloudAuthLibEncoders, Decoders) {
  const struct {
    std::string text;
    bool url;
    std::string expected;
  } cases[] = {
      {"", false, ""},
      {"Zm9v\nYmFy", false, "foobar"},
      {"Zm9vY", false, "foo"},  // dangling character dropped
      {"Zm9vYg", false, "foob"},
      {"-_8=", false, ""},  // not the standard alphabet: skipped
      {"+/8=", false, "\xFB\xFF"},
      {"AAAA", false, "\0\0\0"s},
      {"-_8", true, "\xFB\xFF"},
      {"Zg", true, "f"},
      {"Zm9", true, "fo"},
      {"Zm9vY", true, "foo"},  // remainder 1: nothing appended
      {"+/8", true, "\xFB\xFF"},
      {"", true, ""},
  };
  for (const auto& c : cases) {
    const TqcBucket bucket = c.url ? TQCloudAuthLib::base64urldecode(c.text)
                                   : TQCloudAuthLib::base64decode(c.text);
    EXPECT_EQ(Bytes(bucket), c.expected) << c.text;
    EXPECT_EQ(bucket.getSize(), Len(c.expected)) << c.text;
  }
}

}  // namespace
