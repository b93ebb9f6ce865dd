#include "platform/TqcConvert.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
