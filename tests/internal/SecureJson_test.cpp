#include "internal/text/SecureJson.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Arrays(int depth) {
  return std::string(static_cast<size_t>(depth), '[') +
         std::string(static_cast<size_t>(depth), ']');
}

bool Parse(const std::string& text, unsigned int maxDepth, SecureJson& out) {
  return ParseJsonBounded(text.data(), text.size(), maxDepth, out);
}

TEST(ParseJsonBounded, DepthLimitIsExact) {
  SecureJson out;
  EXPECT_TRUE(Parse(Arrays(5), 5, out));
  EXPECT_FALSE(Parse(Arrays(6), 5, out));
  EXPECT_TRUE(Parse(R"({"a":{"b":[{}]}})", 4, out));
  EXPECT_FALSE(Parse(R"({"a":{"b":[{}]}})", 3, out));
  EXPECT_TRUE(Parse("3", 0, out));  // scalars have no depth
  EXPECT_FALSE(Parse(Arrays(1000000), 64, out));
}

TEST(ParseJsonBounded, FailuresLeaveOutAlone) {
  SecureJson out = SecureJson::parse(R"({"kept":1})");
  for (const std::string& bad :
       {std::string(""), std::string("{"), std::string("{} {}"),
        std::string("[1,]"), std::string("\"\xff\""), std::string("nul")}) {
    EXPECT_FALSE(Parse(bad, 64, out)) << bad;
    EXPECT_EQ(out.dump(), R"({"kept":1})");
  }
  EXPECT_FALSE(ParseJsonBounded(nullptr, 0, 64, out));
  // The length bounds the text: no terminator is needed or read.
  const char text[] = {'[', '1', ']', 'x'};
  ASSERT_TRUE(ParseJsonBounded(text, 3, 64, out));
  EXPECT_EQ(out.dump(), "[1]");
}

}  // namespace
