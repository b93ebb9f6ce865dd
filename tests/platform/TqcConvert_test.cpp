#include "platform/TqcConvert.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

namespace {

std::string Bytes(const TqcBucket& b) {
  return b.getData() != nullptr
             ? std::string(reinterpret_cast<const char*>(b.getData()),
                           static_cast<size_t>(b.getSize()))
             : std::string();
}

TEST(Hex2Bin, Decodes) {
  struct Case {
    const char* hex;
    std::string bytes;
  };
  for (const Case& c :
       {Case{"", ""}, Case{"00", std::string(1, '\0')},
        Case{"0aF9", "\x0a\xf9"}, Case{"ABCDEF", "\xab\xcd\xef"},
        Case{"abcdef", "\xab\xcd\xef"},
        Case{"0123456789abcdef0123456789ABCDEF01234567",
             "\x01\x23\x45\x67\x89\xab\xcd\xef\x01\x23\x45\x67\x89\xab\xcd\xef"
             "\x01\x23\x45\x67"}}) {
    const TqcBucket b = Tqc::hex2bin(c.hex);
    EXPECT_EQ(Bytes(b), c.bytes) << c.hex;
    EXPECT_EQ(b.getSize(), static_cast<int>(c.bytes.size()));
  }
}

TEST(Hex2Bin, ThrowsForBadText) {
  for (const char* bad :
       {"0", "abc", "0g", "g0", "0x12", " 12", "12 ", "1:2", "zz", "12\n"}) {
    EXPECT_THROW(Tqc::hex2bin(bad), TqException) << bad;
  }
  EXPECT_THROW(Tqc::hex2bin(nullptr), TqException);
  try {
    Tqc::hex2bin("0");
    FAIL();
  } catch (const std::exception& e) {  // also a std::exception
    EXPECT_NE(std::string(e.what()), "");
  }
}

// RFC 4648 section 10 vectors, blanks, and each rule of the strict decoder.
TEST(Base64Decode, Table) {
  struct Case {
    const char* text;
    bool ok;
    std::string bytes;
  };
  const Case cases[] = {
      {"", true, ""},
      {"Zg==", true, "f"},
      {"Zm8=", true, "fo"},
      {"Zm9v", true, "foo"},
      {"Zm9vYg==", true, "foob"},
      {"Zm9vYmE=", true, "fooba"},
      {"Zm9vYmFy", true, "foobar"},
      {"+/+/", true, "\xfb\xff\xbf"},
      {"Zm9v\r\nYmFy\n", true, "foobar"},
      {" Zm 9v\tYg = = ", true, "foob"},
      {"\n\n", true, ""},
      {"Zh==", true, "f"},  // unused bits are ignored
      {"Zm9", false, ""},
      {"Zg=", false, ""},
      {"Zg", false, ""},
      {"Z===", false, ""},
      {"====", false, ""},
      {"=Zg=", false, ""},
      {"Zg==Zg==", false, ""},
      {"Zg==Z", false, ""},
      {"Zm8==", false, ""},
      {"Zm9v=", false, ""},
      {"Zm-v", false, ""},  // Base64URL alphabet is not standard
      {"Zm_v", false, ""},
      {"Zm9v\v", false, ""},
      {"Zm9v\f", false, ""},
      {"Zm9v.", false, ""},
      {"Zm9v\xc3\xa9", false, ""},
  };
  for (const Case& c : cases) {
    std::string bytes = "untouched";
    EXPECT_EQ(base64Decode(c.text, bytes), c.ok) << c.text;
    EXPECT_EQ(bytes, c.ok ? c.bytes : "untouched") << c.text;
  }
  std::string bytes = "untouched";
  EXPECT_FALSE(base64Decode(std::string("Zm9v\0Zm9v", 9), bytes));
  EXPECT_EQ(bytes, "untouched");
}

// Every byte value, against OpenSSL's encoder, with PEM-style line breaks.
TEST(Base64Decode, AllBytesRoundTrip) {
  std::string all;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 256; ++i) {
      all.push_back(static_cast<char>(i));
    }
  }
  for (size_t len = 0; len <= all.size(); len += (len < 8 ? 1 : 97)) {
    std::vector<unsigned char> enc(4 * ((len + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(
        enc.data(), reinterpret_cast<const unsigned char*>(all.data()),
        static_cast<int>(len));
    std::string text(reinterpret_cast<const char*>(enc.data()),
                     static_cast<size_t>(n));
    for (size_t pos = 64; pos < text.size(); pos += 65) {
      text.insert(pos, "\n");
    }
    std::string bytes;
    ASSERT_TRUE(base64Decode(text, bytes)) << len;
    EXPECT_EQ(bytes, all.substr(0, len));
  }
}

}  // namespace
