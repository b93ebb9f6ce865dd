#include "tools/idp/Jwt.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestPki.h"

namespace {

using tqidp::Base64UrlDecode;
using tqidp::Base64UrlEncode;
using tqidp::JwsAlg;

struct Vector {
  std::string decoded;
  std::string encoded;
};

// RFC 4648 section 10, without padding, plus the two characters that differ
// from standard Base64.
const Vector kVectors[] = {
    {"", ""},
    {"f", "Zg"},
    {"fo", "Zm8"},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg"},
    {"fooba", "Zm9vYmE"},
    {"foobar", "Zm9vYmFy"},
    {std::string("\xfb\xff", 2), "-_8"},
    {std::string("\x00\x00\x00", 3), "AAAA"},
};

TEST(Base64Url, EncodesAndDecodesVectors) {
  for (const Vector& v : kVectors) {
    EXPECT_EQ(Base64UrlEncode(v.decoded), v.encoded) << v.encoded;
    std::string out = "junk";
    EXPECT_TRUE(Base64UrlDecode(v.encoded, out)) << v.encoded;
    EXPECT_EQ(out, v.decoded) << v.encoded;
  }
}

TEST(Base64Url, RoundTripsEveryByteAtEveryOffset) {
  std::string all;
  for (int i = 0; i < 256; ++i) {
    all += static_cast<char>(i);
  }
  for (size_t len = 0; len <= all.size(); len += 37) {
    const std::string in = all.substr(all.size() - len);
    std::string out;
    ASSERT_TRUE(Base64UrlDecode(Base64UrlEncode(in), out));
    EXPECT_EQ(out, in);
  }
}

TEST(Base64Url, RejectsNonCanonicalText) {
  const char* const kInvalid[] = {
      "Zg=",   "Zg==",   // padding
      "Z",     "Zm9vY",  // a length of 1 modulo 4
      "+/8",   "Zm9v/",  // the standard alphabet
      "Zh",    "Zm9",    // bits set after the last byte
      "Zm 9v", "Zm9v\n", "Zm9v!", "Zm\x80v",
  };
  for (const char* text : kInvalid) {
    std::string out = "junk";
    EXPECT_FALSE(Base64UrlDecode(text, out)) << text;
    EXPECT_TRUE(out.empty()) << text;
  }
  std::string out;
  EXPECT_FALSE(Base64UrlDecode(std::string("Zm\0v", 4), out));
}

TEST(ParseJws, SplitsThreeSegments) {
  tqidp::Jws jws;
  ASSERT_TRUE(tqidp::ParseJws("e30.eyJhIjoxfQ.AAEC", jws));
  EXPECT_EQ(jws.header, "{}");
  EXPECT_EQ(jws.payload, "{\"a\":1}");
  EXPECT_EQ(jws.signature, std::string("\x00\x01\x02", 3));
  EXPECT_EQ(jws.signingInput, "e30.eyJhIjoxfQ");

  for (const char* bad :
       {"", "e30", "e30.eyJhIjoxfQ", "e30.eyJhIjoxfQ.", ".eyJhIjoxfQ.AAEC",
        "e30..AAEC", "e30.eyJhIjoxfQ.AAEC.AAEC", "e30.eyJhIjoxfQ=.AAEC",
        "e30.eyJhIjoxfQ.AA+C"}) {
    EXPECT_FALSE(tqidp::ParseJws(bad, jws)) << bad;
  }
}

TEST(Jws, SignsAndVerifiesRs256AndPs256) {
  const PkeyPtr key = tqtest::GenerateRsaKey(2048);
  const PkeyPtr other = tqtest::GenerateRsaKey(2048);
  for (const JwsAlg alg : {JwsAlg::kRs256, JwsAlg::kPs256}) {
    std::string sig;
    ASSERT_TRUE(tqidp::SignJws(key.get(), alg, "header.payload", sig));
    EXPECT_EQ(sig.size(), 256u);
    EXPECT_TRUE(tqidp::VerifyJws(key.get(), alg, "header.payload", sig));
    EXPECT_FALSE(tqidp::VerifyJws(key.get(), alg, "header.payloaD", sig));
    EXPECT_FALSE(tqidp::VerifyJws(other.get(), alg, "header.payload", sig));
    std::string flipped = sig;
    flipped[100] ^= 1;
    EXPECT_FALSE(tqidp::VerifyJws(key.get(), alg, "header.payload", flipped));
    EXPECT_FALSE(
        tqidp::VerifyJws(key.get(), alg, "header.payload", sig.substr(1)));
  }
  // The two paddings are not interchangeable.
  std::string rs;
  ASSERT_TRUE(tqidp::SignJws(key.get(), JwsAlg::kRs256, "x", rs));
  EXPECT_FALSE(tqidp::VerifyJws(key.get(), JwsAlg::kPs256, "x", rs));
}

TEST(Jws, RefusesKeysThatAreNotRsa) {
  const PkeyPtr ec = tqtest::GenerateEcKey();
  std::string sig = "junk";
  EXPECT_FALSE(tqidp::SignJws(ec.get(), JwsAlg::kRs256, "x", sig));
  EXPECT_TRUE(sig.empty());
  EXPECT_FALSE(tqidp::VerifyJws(ec.get(), JwsAlg::kRs256, "x", "sig"));
  EXPECT_EQ(tqidp::MakeJwt(ec.get(), "{}", "{}"), "");
}

}  // namespace
