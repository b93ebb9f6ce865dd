#include "platform/TqJson.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

TqJsonMap Parse(const std::string& text) {
  TqJsonMap members;
  EXPECT_TRUE(TqJson::Unserialize(text, members)) << text;
  return members;
}

TEST(TqJson, TokenReply) {
  const TqJsonMap reply = Parse(
      R"({"token_type":"Bearer","expires_in":3599,"ext_expires_in":"3599",)"
      R"("access_token":"eyJ0eXAiOiJKV1QifQ.e30.c2ln"})");
  EXPECT_EQ(TqJson::GetStringValue(reply, "access_token"),
            "eyJ0eXAiOiJKV1QifQ.e30.c2ln");
  EXPECT_EQ(TqJson::GetStringValue(reply, "token_type"), "Bearer");
  EXPECT_EQ(TqJson::GetStringValue(reply, "error"), "");
  EXPECT_EQ(TqJson::GetStringValue(reply, "expires_in"), "");  // not a text
  TqJsonValue value;
  ASSERT_TRUE(TqJson::FindValue(reply, "expires_in", value));
  EXPECT_EQ(value.type(), TqJsonValue::int_type);
  EXPECT_EQ(value.get_int(), 3599);
  ASSERT_TRUE(TqJson::FindValue(reply, "ext_expires_in", value));
  EXPECT_EQ(value.type(), TqJsonValue::str_type);
  EXPECT_EQ(value.get_str(), "3599");
  EXPECT_FALSE(TqJson::FindValue(reply, "missing", value));
  EXPECT_EQ(value.get_str(), "3599");  // untouched
}

TEST(TqJson, TypesAndAccessors) {
  const TqJsonMap m = Parse(
      R"({"o":{"k":[1]},"a":[1,"x"],"s":"t\u00e9","b":true,"i":-7,"r":2.5,)"
      R"("n":null,"big":4294967296,"huge":18446744073709551615,"e":1e2})");
  struct Case {
    const char* name;
    int type;
  };
  for (const Case& c : {Case{"o", 0}, Case{"a", 1}, Case{"s", 2}, Case{"b", 3},
                        Case{"i", 4}, Case{"r", 5}, Case{"n", 6},
                        Case{"big", 4}, Case{"huge", 4}, Case{"e", 5}}) {
    EXPECT_EQ(m.at(c.name).type(), c.type) << c.name;
  }
  EXPECT_EQ(m.at("i").get_int(), -7);
  EXPECT_EQ(m.at("big").get_int64(), 4294967296LL);
  EXPECT_EQ(m.at("s").get_str(), "t\xc3\xa9");
  EXPECT_TRUE(m.at("b").get_bool());
  EXPECT_DOUBLE_EQ(m.at("r").get_real(), 2.5);
  EXPECT_DOUBLE_EQ(m.at("i").get_real(), -7.0);
  EXPECT_TRUE(m.at("n").is_null());
  EXPECT_EQ(m.at("o").get_obj().at("k").get_array().at(0).get_int(), 1);
  EXPECT_EQ(m.at("a").get_array().at(1).get_str(), "x");

  // The accessors refuse values of another kind or range, as json_spirit.
  EXPECT_THROW(m.at("big").get_int(), std::runtime_error);
  EXPECT_THROW(m.at("huge").get_int64(), std::runtime_error);
  for (const char* name : {"r", "e", "s", "b", "n", "o", "a"}) {
    EXPECT_THROW(m.at(name).get_int(), std::runtime_error) << name;
  }
  for (const char* name : {"i", "r", "b", "n", "o", "a"}) {
    EXPECT_THROW(m.at(name).get_str(), std::runtime_error) << name;
  }
  EXPECT_THROW(m.at("s").get_bool(), std::runtime_error);
  EXPECT_THROW(m.at("s").get_real(), std::runtime_error);
  EXPECT_THROW(m.at("a").get_obj(), std::runtime_error);
  EXPECT_THROW(m.at("o").get_array(), std::runtime_error);
  EXPECT_EQ(TqJsonValue().type(), TqJsonValue::null_type);
}

TEST(TqJson, ValuesCopyAndMove) {
  TqJsonMap m = Parse(R"({"s":"abcdefghijklmnopqrstuvwxyz0123456789"})");
  TqJsonValue copy = m.at("s");
  TqJsonValue moved = std::move(m.at("s"));
  m.clear();
  EXPECT_EQ(copy.get_str(), "abcdefghijklmnopqrstuvwxyz0123456789");
  EXPECT_EQ(moved.get_str(), copy.get_str());
  copy = TqJsonValue();
  EXPECT_TRUE(copy.is_null());
}

TEST(TqJson, RejectsAllButOneObject) {
  TqJsonMap members = Parse(R"({"kept":"yes"})");
  for (const std::string& bad :
       {std::string(""), std::string("not json"), std::string("[1,2]"),
        std::string("\"text\""), std::string("3599"), std::string("null"),
        std::string("{\"a\":1} trailing"), std::string("{\"a\":1}{}"),
        std::string("{\"a\":}"), std::string("{'a':1}"),
        std::string("{\"a\":\"\xc3\x28\"}"), std::string("{\"a\":1,}"),
        std::string("{\"a\":1", 6),
        std::string("{\"a\":") + std::string(100, '[') + std::string(100, ']') +
            "}"}) {
    EXPECT_FALSE(TqJson::Unserialize(bad, members)) << bad;
    EXPECT_EQ(TqJson::GetStringValue(members, "kept"), "yes") << bad;
  }
}

TEST(TqJson, SuccessReplacesMembers) {
  TqJsonMap members = Parse(R"({"old":"x"})");
  ASSERT_TRUE(TqJson::Unserialize(" \n{\"a\":1,\"a\":\"last\"}\t", members));
  EXPECT_EQ(members.count("old"), 0u);
  EXPECT_EQ(TqJson::GetStringValue(members, "a"), "last");
  ASSERT_TRUE(TqJson::Unserialize("{}", members));
  EXPECT_TRUE(members.empty());
  // Nesting up to the limit is accepted.
  const std::string deep = "{\"a\":" + std::string(TqJson::kMaxDepth - 1, '[') +
                           std::string(TqJson::kMaxDepth - 1, ']') + "}";
  EXPECT_TRUE(TqJson::Unserialize(deep, members));
}

}  // namespace
