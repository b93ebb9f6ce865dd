#include "platform/CKoString.h"

#include <gtest/gtest.h>

namespace {

TEST(CKoString, Construction) {
  EXPECT_STREQ(CKoString().c_str(), "");
  EXPECT_EQ(CKoString().Length(), 0u);
  EXPECT_STREQ(CKoString(static_cast<const char*>(nullptr)).c_str(), "");
  EXPECT_STREQ(CKoString(1578219630L).c_str(), "1578219630");
  EXPECT_STREQ(CKoString(-42L).c_str(), "-42");
  EXPECT_EQ(CKoString(std::string("a\0b", 3)).Length(), 3u);

  CKoString s("ab");
  s += CKoString("cd");
  EXPECT_STREQ(s.c_str(), "abcd");
  EXPECT_EQ(s.Length(), 4u);
}

struct FormatCase {
  const char* format;
  std::vector<CKoString> args;
  const char* expected;
};

TEST(CKoString, Format) {
  const FormatCase cases[] = {
      {"client_id={1}&scope={2}&grant_type=client_credentials&",
       {"app", "s%2F.default"},
       "client_id=app&scope=s%2F.default&grant_type=client_credentials&"},
      {"{1}{2}/oauth2/v2.0/token",
       {"https://login.example/", "tenant"},
       "https://login.example/tenant/oauth2/v2.0/token"},
      {R"({"alg":"RS256","typ":"JWT","x5t":"{1}"})",
       {"AbC"},
       R"({"alg":"RS256","typ":"JWT","x5t":"AbC"})"},
      {R"({"aud":"{1}", "sub":"{2}", "iss":"{3}", "exp":{4}, "nbf":{5}})",
       {"u", "s", "i", CKoString(1700003600L), CKoString(1700000000L)},
       R"({"aud":"u", "sub":"s", "iss":"i", "exp":1700003600, "nbf":1700000000})"},
      {"{5}}", {"a", "b", "c", "d", "e"}, "e}"},
      {"{{1}}", {"x"}, "{x}"},
      {"{0}{2}{1", {"x"}, "{0}{2}{1"},
      {"{}{ 1}{1 }", {"x"}, "{}{ 1}{1 }"},
      {"{01}", {"x"}, "x"},
      {"{99999999999999999999999}", {"x"}, "{99999999999999999999999}"},
      {"no placeholders", {"x"}, "no placeholders"},
      {"", {"x"}, ""},
      {"{1}", {""}, ""},
      {"{1}{1}", {"ab"}, "abab"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_STREQ(CKoString::Format(c.format, c.args).c_str(), c.expected)
        << c.format;
  }
}

TEST(CKoString, FormatOverloadsPassArgumentsInOrder) {
  EXPECT_STREQ(CKoString::Format("{1}", "a").c_str(), "a");
  EXPECT_STREQ(CKoString::Format("{2}{1}", "a", "b").c_str(), "ba");
  EXPECT_STREQ(CKoString::Format("{3}{2}{1}", "a", "b", "c").c_str(), "cba");
  EXPECT_STREQ(CKoString::Format("{4}{1}", "a", "b", "c", "d").c_str(), "da");
  EXPECT_STREQ(CKoString::Format("{5}{4}", "a", "b", "c", "d", "e").c_str(),
               "ed");
}

TEST(CKoString, ArgumentsWithBracesAreNotReexpanded) {
  EXPECT_STREQ(CKoString::Format("{1}-{2}", "{2}", "z").c_str(), "{2}-z");
}

}  // namespace
