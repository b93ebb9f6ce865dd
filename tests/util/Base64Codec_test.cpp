#include "util/Base64Codec.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr char kGuard = '\x5A';
constexpr size_t kGuardBytes = 16;

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
int Len(const std::string& s) { return static_cast<int>(s.size()); }

bool UntouchedFrom(const std::vector<char>& buffer, size_t from) {
  return std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(from),
                     buffer.end(), [](char c) { return c == kGuard; });
}

std::string PseudoRandomBytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) {
    c = static_cast<char>(rng() & 0xFF);
  }
  return s;
}

// base64Decode into a destination of exactly the documented size,
// length - length / 4, followed by guard bytes that must survive.
std::string DecodeGuarded(const std::string& text) {
  const size_t size = text.size() - text.size() / 4;
  std::vector<char> dest(size + kGuardBytes, kGuard);
  const int count = base64Decode(U(text), Len(text), dest.data());
  EXPECT_GE(count, 0);
  EXPECT_LE(static_cast<size_t>(count), size) << text;
  EXPECT_TRUE(UntouchedFrom(dest, static_cast<size_t>(count))) << text;
  return std::string(dest.data(), static_cast<size_t>(count));
}

// Reference for the lenient rule, written differently: keep the 6-bit
// values of the standard alphabet's characters only, and emit a byte
// whenever 8 bits have gathered.
std::string ReferenceDecode(const std::string& text) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (const char c : text) {
    const char* hit = c != '\0' ? std::strchr(kAlphabet, c) : nullptr;
    if (hit == nullptr) {
      continue;
    }
    bits = (bits << 6) | static_cast<unsigned>(hit - kAlphabet);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

// RFC 4648 section 10.
TEST(Base64, Rfc4648Vectors) {
  const struct {
    std::string decoded;
    std::string encoded;
  } cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Encode(U(c.decoded), Len(c.decoded)), c.encoded);
    std::vector<char> dest(c.encoded.size() + kGuardBytes, kGuard);
    EXPECT_EQ(base64Encode(U(c.decoded), Len(c.decoded), dest.data()),
              Len(c.encoded));
    EXPECT_EQ(std::string(dest.data(), c.encoded.size()), c.encoded);
    EXPECT_TRUE(UntouchedFrom(dest, c.encoded.size())) << "no terminator";
    EXPECT_EQ(Base64Decode(U(c.encoded), Len(c.encoded)), c.decoded);
    EXPECT_EQ(DecodeGuarded(c.encoded), c.decoded);
  }
}

TEST(Base64, AlphabetsAgree) {
  const std::string fbff = "\xFB\xFF";
  EXPECT_EQ(Base64Encode(U(fbff), 2), "+/8=");
  EXPECT_EQ(Base64URLEncode(U(fbff), 2), "-_8=");

  const std::string standard =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t n = 0; n <= 40; ++n) {
    const std::string data = PseudoRandomBytes(n, 7);
    const std::string plain = Base64Encode(U(data), Len(data));
    std::string url = plain;
    std::replace(url.begin(), url.end(), '+', '-');
    std::replace(url.begin(), url.end(), '/', '_');
    EXPECT_EQ(Base64URLEncode(U(data), Len(data)), url) << n;
    EXPECT_EQ(Base64EncodeWithEncodeString(U(data), Len(data), standard), plain)
        << n;
    // Only the first 64 characters of the alphabet count.
    EXPECT_EQ(Base64EncodeWithEncodeString(U(data), Len(data), standard + "!?"),
              plain)
        << n;
  }
  const std::string reversed(standard.rbegin(), standard.rend());
  EXPECT_EQ(Base64EncodeWithEncodeString(U("\0\xFF"s), 2, reversed), "/wD=");
  // Too short an alphabet gives nothing rather than reading past it.
  EXPECT_EQ(Base64EncodeWithEncodeString(U("foo"s), 3, standard.substr(0, 63)),
            "");
}

// Every length and alignment of the grouping against OpenSSL, and back.
TEST(Base64, MatchesOpenSslAndRoundTrips) {
  for (size_t n = 0; n <= 300; ++n) {
    const std::string data = PseudoRandomBytes(n, static_cast<unsigned>(n));
    std::vector<unsigned char> peer(4 * ((n + 2) / 3) + 1);
    const int peerLength =
        EVP_EncodeBlock(peer.data(), U(data), static_cast<int>(n));
    const std::string expected(reinterpret_cast<char*>(peer.data()),
                               static_cast<size_t>(peerLength));
    const std::string encoded = Base64Encode(U(data), Len(data));
    ASSERT_EQ(encoded, expected) << n;
    EXPECT_EQ(Base64Decode(U(encoded), Len(encoded)), data) << n;
    EXPECT_EQ(DecodeGuarded(encoded), data) << n;
  }
}

TEST(Base64Decode, LenientRule) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"Zm9v YmFy", "foobar"},
      {"Zm=9v", "foo"},
      {"Zm9vYmE", "fooba"},
      {"Zm9vYm", "foob"},
      {"Zm9vY", "foo"},  // one dangling character gives nothing
      {"Z", ""},
      {"-_8=", ""},  // "-" and "_" are not the standard alphabet
      {"+/8=", "\xFB\xFF"},
      {"Zh", "f"},  // spare bits dropped unchecked
      {"Zm9v\nYmFy", "foobar"},
      {"Zm9vYmFy\r\n", "foobar"},
      {"=Zm9v", "foo"},
      {"Z=m=9=v=", "foo"},
      {"Zm9v====YmFy", "foobar"},
      {"====", ""},
      {"\x80\xFFZm9v\x7F", "foo"},
      {"Zm\0"
       "9v"s,
       "foo"},
      {"Zm\n9vYmFyZm9v", "foobarfoo"},
      {"Zm9v.YmFy.Zm9v.", "foobarfoo"},
      {"!@#$%^&*()", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Decode(U(c.text), Len(c.text)), c.expected) << c.text;
    EXPECT_EQ(DecodeGuarded(c.text), c.expected) << c.text;
    EXPECT_EQ(ReferenceDecode(c.text), c.expected) << "reference: " << c.text;
  }
}

TEST(Base64Decode, SkippedCharactersAnywhere) {
  // A line break at every position, then junk sprinkled at random over
  // random text: always what the reference gives.
  const std::string encoded = "Zm9vYmFyYmF6cXV4";
  for (size_t i = 0; i <= encoded.size(); ++i) {
    std::string text = encoded;
    text.insert(i, "\r\n");
    EXPECT_EQ(DecodeGuarded(text), "foobarbazqux") << i;
  }
  std::mt19937 rng(42);
  const std::string junk = "=\n -_.\x80\xFF\t*";
  for (size_t n = 0; n < 200; ++n) {
    const std::string data = PseudoRandomBytes(n, static_cast<unsigned>(n));
    std::string text;
    for (const char c : Base64Encode(U(data), Len(data))) {
      while (rng() % 5 == 0) {
        text += junk[rng() % junk.size()];
      }
      text += c;
    }
    EXPECT_EQ(DecodeGuarded(text), data) << text;
    EXPECT_EQ(Base64Decode(U(text), Len(text)), data) << text;
    // Cut anywhere: still what the reference makes of it.
    const std::string cut = text.substr(0, rng() % (text.size() + 1));
    EXPECT_EQ(DecodeGuarded(cut), ReferenceDecode(cut)) << cut;
  }
}

TEST(Base64, NoInputMeansNoOutput) {
  const std::string data = "foobar";
  std::vector<char> dest(kGuardBytes, kGuard);
  EXPECT_EQ(base64Encode(U(data), 0, dest.data()), 0);
  EXPECT_EQ(base64Encode(U(data), -1, dest.data()), 0);
  EXPECT_EQ(base64Encode(nullptr, 6, dest.data()), 0);
  EXPECT_EQ(base64Decode(U(data), 0, dest.data()), 0);
  EXPECT_EQ(base64Decode(U(data), -4, dest.data()), 0);
  EXPECT_EQ(base64Decode(nullptr, 6, dest.data()), 0);
  EXPECT_TRUE(UntouchedFrom(dest, 0));
  EXPECT_EQ(Base64Encode(U(data), -3), "");
  EXPECT_EQ(Base64URLEncode(nullptr, 3), "");
  EXPECT_EQ(Base64EncodeWithEncodeString(U(data), -1, std::string(64, 'x')),
            "");
  EXPECT_EQ(Base64Decode(U(data), -1), "");
  EXPECT_EQ(HexEncode(U(data), -1), "");
  // A count that would not fit the int result: refused before any byte of
  // the (small) input is read.
  EXPECT_EQ(base64Encode(U(data), 1610612734, dest.data()), 0);
  EXPECT_TRUE(UntouchedFrom(dest, 0));
}

TEST(Hex, EncodeAndFromBase64) {
  EXPECT_EQ(HexEncode(U("\x00\xAB\xFF"s), 3), "00abff");
  EXPECT_EQ(HexEncode(U(""s), 0), "");
  std::string all;
  std::string expected;
  for (int b = 0; b < 256; ++b) {
    all += static_cast<char>(b);
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    expected += two;
  }
  EXPECT_EQ(HexEncode(U(all), Len(all)), expected);

  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {"+/8=", "fbff"}, {"", ""},     {"Zm9v\n", "666f6f"},
      {"-_8=", ""},     {"AA", "00"}, {"Z", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64ToHex(c.text), c.expected) << c.text;
  }
}

// RFC 4648 section 10 vectors, blanks, and each rule of the strict decoder.
TEST(StrictBase64Decode, Table) {
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
TEST(StrictBase64Decode, AllBytesRoundTrip) {
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
