#include "internal/text/Redact.h"

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
  EXPECT_EQ(RedactHeaderLine("authorization: Bearer abc"),
            "authorization: ***");
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
      // Names spelled with escapes are the same names to a JSON parser.
      {R"({"access\u005ftoken":"t1","\u0069d_token":"t2"})",
       R"({"access\u005ftoken":"***","\u0069d_token":"***"})"},
      {R"({"access_tok\u0065n\"":"x"})", R"({"access_tok\u0065n\"":"x"})"},
      // A token value anywhere else, as written or decoded.
      {R"({"access_token":"tok-1234","token_type":"tok-1234","x":"a tok-1234 b"})",
       R"({"access_token":"***","token_type":"***","x":"a *** b"})"},
      {"{\"access_token\":\"t\\u00e9k\\ud83d\\ude00\",\"x\":"
       "\"t\xc3\xa9k\xf0\x9f\x98\x80\"}",
       R"({"access_token":"***","x":"***"})"},
      {R"({"access_token":"abc\"defg","y":"abc\"defg"})",
       R"({"access_token":"***","y":"***"})"},
      // Too short to hunt: only the value itself is masked.
      {R"({"access_token":"abc","abc":"abc"})",
       R"({"access_token":"***","abc":"abc"})"},
      // Bad escapes: the name is not read, the value still masked as text.
      {R"({"access\u00Gftoken":"v"})", R"({"access\u00Gftoken":"v"})"},
      {R"({"access_token":"\ud800-tok","z":"\ud800-tok"})",
       R"({"access_token":"***","z":"***"})"},
      // Where one token begins another, the longer one is masked whole,
      // whichever member came first.
      {R"({"id_token":"abcdefgh","access_token":"abcdefgh-tail","x":"abcdefgh-tail"})",
       R"({"id_token":"***","access_token":"***","x":"***"})"},
      {R"({"access_token":"tok-1","token_type":"tok-1"})",
       R"({"access_token":"***","token_type":"tok-1"})"},
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

TEST(RedactValue, MasksEveryOccurrenceOfLongValues) {
  EXPECT_EQ(RedactValue("bad tok-1234 and tok-1234", "tok-1234"),
            "bad *** and ***");
  EXPECT_EQ(RedactValue("aaaaaaaaa", "aaaaaaaa"), "***a");
  EXPECT_EQ(RedactValue("no match", "tok-1234"), "no match");
  EXPECT_EQ(RedactValue("kept tok", "tok"), "kept tok");
  EXPECT_EQ(RedactValue("kept", ""), "kept");
}

TEST(EscapeControls, ControlsAreFoundAndEscaped) {
  const struct {
    std::string text;
    std::string escaped;  // LineBreaks::kEscape
    std::string message;  // LineBreaks::kKeep
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
    EXPECT_EQ(EscapeControls(c.text, LineBreaks::kEscape), c.escaped);
    EXPECT_EQ(EscapeControls(c.text, LineBreaks::kKeep), c.message);
    EXPECT_FALSE(
        HasControlCharacters(EscapeControls(c.text, LineBreaks::kEscape)));
  }
}

// Quotes of outside text are cut to kMaxQuotedBytes, never inside a UTF-8
// character, with the full size after the cut.
TEST(QuoteText, CutsLongTextsSayingTheirSize) {
  const std::string fits(kMaxQuotedBytes, 'a');
  const std::string euro = "\xE2\x82\xAC";  // three bytes
  const struct {
    std::string text;
    size_t size;
    std::string expected;
  } cases[] = {
      {"", std::string::npos, ""},
      {fits, std::string::npos, fits},
      {fits + "b", std::string::npos, fits + "\xE2\x80\xA6 (4,097 bytes)"},
      {fits + "b", 204117, fits + "\xE2\x80\xA6 (204,117 bytes)"},
      {std::string(kMaxQuotedBytes - 1, 'a') + euro, std::string::npos,
       std::string(kMaxQuotedBytes - 1, 'a') + "\xE2\x80\xA6 (4,098 bytes)"},
      {fits + "b", 1234567890, fits + "\xE2\x80\xA6 (1,234,567,890 bytes)"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(QuoteText(c.text, c.size), c.expected) << c.text.size();
  }
}

TEST(QuoteReply, MasksTheWholeReplyBeforeCutting) {
  const std::string token(2 * kMaxQuotedBytes, 't');
  const std::string reply = R"({"access_token":")" + token + R"(","x":1})";
  EXPECT_EQ(QuoteReply(reply), R"({"access_token":"***","x":1})");
  const std::string padded = std::string(kMaxQuotedBytes, ' ') + reply;
  const std::string quoted = QuoteReply(padded);
  EXPECT_EQ(quoted, std::string(kMaxQuotedBytes, ' ') + "\xE2\x80\xA6 (" +
                        "12,313 bytes)");
  EXPECT_EQ(padded.size(), 12313u);
}

}  // namespace
