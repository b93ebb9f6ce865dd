#include "platform/Redact.h"

#include <gtest/gtest.h>

namespace {

TEST(RedactFormBody, ShowsOnlyHarmlessFields) {
  const struct {
    const char* body;
    const char* expected;
  } cases[] = {
      {"client_id=app&scope=s&grant_type=client_credentials&client_secret=S",
       "client_id=app&scope=s&grant_type=client_credentials&client_secret=***"},
      {"client_id=a&client_assertion=h.p.s&client_assertion_type=urn%3Ax",
       "client_id=a&client_assertion=***&client_assertion_type=urn%3Ax"},
      {"password=p&refresh_token=t", "password=***&refresh_token=***"},
      {"client_secret=", "client_secret=***"},
      {"justasecret", "***"},
      {"client_id=a&", "client_id=a&"},
      {"&&", "&&"},
      {"", ""},
      {"client_idx=1&xclient_id=2&client_id=3",
       "client_idx=***&xclient_id=***&client_id=3"},
      {"=v", "=***"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RedactFormBody(c.body), c.expected) << c.body;
  }
}

TEST(RedactHeaderLine, MasksCredentialHeaders) {
  EXPECT_EQ(RedactHeaderLine("Proxy-Authorization: Basic YWxpY2U6czNjcmV0"),
            "Proxy-Authorization: ***");
  EXPECT_EQ(RedactHeaderLine("authorization: Bearer abc"), "authorization: ***");
  EXPECT_EQ(RedactHeaderLine("Cookie: a=b"), "Cookie: ***");
  EXPECT_EQ(RedactHeaderLine("Set-Cookie: a=b"), "Set-Cookie: ***");
  EXPECT_EQ(RedactHeaderLine("Content-Type: text/plain"),
            "Content-Type: text/plain");
  EXPECT_EQ(RedactHeaderLine("HTTP/1.1 200 OK"), "HTTP/1.1 200 OK");
}

}  // namespace

namespace {

TEST(RedactTokenReply, MasksTokenValuesOnly) {
  const struct {
    const char* reply;
    const char* expected;
  } cases[] = {
      {R"({"token_type":"Bearer","expires_in":1.5,"access_token":"eyJ.x.y"})",
       R"({"token_type":"Bearer","expires_in":1.5,"access_token":"***"})"},
      {R"({"access_token" : "a\"b", "id_token":"c","refresh_token":"d"})",
       R"({"access_token" : "***", "id_token":"***","refresh_token":"***"})"},
      {R"({"access_token":"truncated)", R"({"access_token":"***)"},
      {R"({"access_token":12})", R"({"access_token":12})"},
      {R"({"access_token":""})", R"({"access_token":"***"})"},
      {R"(<html>access_token</html>)", R"(<html>access_token</html>)"},
      {R"({"error":"invalid_client","error_description":"AADSTS7000215"})",
       R"({"error":"invalid_client","error_description":"AADSTS7000215"})"},
      {R"(["access_token","x"])", R"(["access_token","x"])"},
      // Values of other types that hold a token, and escaped names.
      {R"({"access_token":["t1","t2"],"x":"y"})",
       R"({"access_token":["***","***"],"x":"y"})"},
      {R"({"access_token":{"v":"t","n":[{"w":"u"}]},"x":"y"})",
       R"({"access_token":{"***":"***","***":[{"***":"***"}]},"x":"y"})"},
      {R"({"access_token":["trunc)", R"({"access_token":["***)"},
      {R"({"access\u005ftoken":"t","\u0069d_token":"u"})",
       R"({"access\u005ftoken":"***","\u0069d_token":"***"})"},
      {R"({"access\/token":"t","access_tokens":"u","access_toke":"v"})",
       R"({"access\/token":"t","access_tokens":"u","access_toke":"v"})"},
      {R"({"e":"said \"access_token\":\"x\"","access_token":null})",
       R"({"e":"said \"access_token\":\"x\"","access_token":null})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RedactTokenReply(c.reply), c.expected) << c.reply;
  }
}

}  // namespace
