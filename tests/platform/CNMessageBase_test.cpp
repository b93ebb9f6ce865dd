#include "platform/CNMessageBase.h"

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/AppMessages.h"

namespace {

// An unregistered kind: generic records only.
constexpr int kType = 91;
constexpr int kId = 7;

CNMessageBase*& Sub(CNMessageBase& m, short field, bool create = true) {
  return m.getObjectAccessor(create, false, field, 0, 0, 0, kType, kId + 1);
}

CNMessageBase Sample() {
  CNMessageBase m(kType, kId);
  m.setint64(1, -42, 0, 0);
  m.setstring(2, 0, std::string("a\0\"b\\\n\xc3\xa9", 8), 0, 0);
  m.setint64(3, LLONG_MIN, 0, 0);
  m.setint64(4, LLONG_MAX, 0, 0);
  CNMessageBase* sub = Sub(m, 12);
  sub->setstring(1, 1, "https://login.example/", 0, 0);
  Sub(*sub, 5)->setint64(-3, 9, 0, 0);
  return m;
}

TEST(CNMessageBase, FieldsByNumberWhateverSlotAndCodes) {
  CNMessageBase m(kType, kId);
  EXPECT_EQ(m.getType(), kType);
  EXPECT_EQ(m.getId(), kId);
  EXPECT_EQ(m.getint64(1, 0, 0), 0);
  EXPECT_EQ(m.getstring(1, 0, 0, 0), "");

  m.setstring(2, 2, "app", 506744308, 12057227);
  m.setint64(1, 0x1'0000'0002LL, 1, 2);
  EXPECT_EQ(m.getstring(2, 99, 1, 1), "app");
  EXPECT_EQ(m.getint64(1, 7, 7), 0x1'0000'0002LL);
  // A field read as the other kind is absent.
  EXPECT_EQ(m.getstring(1, 0, 0, 0), "");
  EXPECT_EQ(m.getint64(2, 0, 0), 0);

  // A setter replaces whatever the field held.
  m.setint64(2, 5, 0, 0);
  EXPECT_EQ(m.getstring(2, 0, 0, 0), "");
  EXPECT_EQ(m.getint64(2, 0, 0), 5);
  Sub(m, 3)->setstring(1, 0, "x", 0, 0);
  m.setstring(3, 0, "now text", 0, 0);
  EXPECT_EQ(m.getstring(3, 0, 0, 0), "now text");
}

TEST(CNMessageBase, SerializedFormIsPinned) {
  CNMessageBase m(30, 2011);
  m.setint64(1, 1, 0, 0);
  m.setstring(2, 0, "app", 0, 0);
  m.getObjectAccessor(true, false, 3, 9, 0, 0, 30, 5)
      ->setstring(1, 0, "e", 0, 0);
  EXPECT_EQ(m.serialize(),
            R"({"fields":{"1":1,"2":"app","3":{"fields":{"1":"e"},"id":5,)"
            R"("type":30}},"id":2011,"type":30})");
  // Null record pointers are left out.
  CNMessageBase empty(1, 2);
  Sub(empty, 4, false);
  EXPECT_EQ(empty.serialize(), R"({"fields":{},"id":2,"type":1})");
}

TEST(CNMessageBase, RoundTripKeepsEveryField) {
  const CNMessageBase m = Sample();
  const std::string text = m.serialize();
  CNMessageBase back(kType, kId);
  back.setstring(77, 0, "dropped: unserialize replaces every field", 0, 0);
  ASSERT_EQ(back.unserialize(text.c_str()), CNMessageBase::kUnserializeOk);
  EXPECT_EQ(back.serialize(), text);
  EXPECT_EQ(back.getint64(1, 0, 0), -42);
  EXPECT_EQ(back.getstring(2, 0, 0, 0), std::string("a\0\"b\\\n\xc3\xa9", 8));
  EXPECT_EQ(back.getint64(3, 0, 0), LLONG_MIN);
  EXPECT_EQ(back.getint64(4, 0, 0), LLONG_MAX);
  EXPECT_EQ(back.getstring(77, 0, 0, 0), "");
  CNMessageBase* sub = Sub(back, 12, false);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->getType(), kType);
  EXPECT_EQ(sub->getId(), kId + 1);
  EXPECT_EQ(sub->getstring(1, 0, 0, 0), "https://login.example/");
  EXPECT_EQ(Sub(*sub, 5, false)->getint64(-3, 0, 0), 9);
}

TEST(CNMessageBase, TextsThatAreNotUtf8CannotBeSerialized) {
  CNMessageBase m(kType, kId);
  Sub(m, 3)->setstring(1, 0, "\xff\xfe", 0, 0);
  EXPECT_THROW(m.serialize(), std::invalid_argument);
  EXPECT_EQ(Sub(m, 3)->getstring(1, 0, 0, 0), "\xff\xfe");  // kept as set
  // Nor can such a text be read.
  EXPECT_EQ(m.unserialize("{\"type\":91,\"id\":7,\"fields\":{\"1\":\"\xff\"}}"),
            CNMessageBase::kUnserializeMalformed);
}

TEST(CNMessageBase, CopiesAreDeep) {
  CNMessageBase original = Sample();
  const std::string text = original.serialize();
  CNMessageBase copy(original);
  CNMessageBase assigned(1, 1);
  assigned.setstring(50, 0, "old", 0, 0);
  assigned = original;
  for (CNMessageBase* m : {&copy, &assigned}) {
    EXPECT_EQ(m->getType(), kType);
    EXPECT_EQ(m->getId(), kId);
    EXPECT_EQ(m->serialize(), text);
    EXPECT_NE(Sub(*m, 12), Sub(original, 12));
    Sub(*m, 12)->setstring(1, 0, "changed", 0, 0);
  }
  EXPECT_EQ(original.serialize(), text);

  const CNMessageBase& self = assigned;  // through a reference: no warning
  assigned = self;                       // self-assignment keeps the message
  EXPECT_NE(assigned.serialize(), text);
  EXPECT_EQ(Sub(assigned, 12)->getstring(1, 0, 0, 0), "changed");

  // Assigning one of its own records: copied before the old fields go.
  CNMessageBase* sub = Sub(original, 12);
  const std::string subText = sub->serialize();
  original = *sub;
  EXPECT_EQ(original.serialize(), subText);
}

TEST(CNMessageBase, ObjectAccessor) {
  CNMessageBase m(kType, kId);
  CNMessageBase*& absent = Sub(m, 12, false);
  EXPECT_EQ(absent, nullptr);
  CNMessageBase*& created = Sub(m, 12);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(&absent, &created);  // the same slot of the message
  EXPECT_EQ(created->getType(), kType);
  EXPECT_EQ(created->getId(), kId + 1);
  EXPECT_EQ(created->getstring(1, 0, 0, 0), "");  // readable, empty
  // An existing record is returned as it is, whatever kind is asked for.
  EXPECT_EQ(m.getObjectAccessor(true, false, 12, 0, 0, 0, 1, 1), created);

  // A field of another kind becomes a record field.
  m.setstring(4, 0, "text", 0, 0);
  EXPECT_EQ(Sub(m, 4, false), nullptr);
  EXPECT_EQ(m.getstring(4, 0, 0, 0), "");

  // A record stored through the reference belongs to the message.
  CNMessageBase*& slot = Sub(m, 6, false);
  slot = new CNMessageBase(kType, 99);
  slot->setint64(1, 3, 0, 0);
  CNMessageBase copy(m);
  EXPECT_EQ(Sub(copy, 6, false)->getId(), 99);
  EXPECT_EQ(Sub(copy, 6, false)->getint64(1, 0, 0), 3);
}

// Records of a registered kind are of its class, also in copies, so that a
// caller may static_cast them.
TEST(CNMessageBase, RegisteredKindsGetTheirClasses) {
  App::AdditionalCredInfo additional;
  CNMessageBase*& info = additional.getObjectAccessor(
      true, false, 3, 0, 0, 0, App::AzureCredentialInfo::kType,
      App::AzureCredentialInfo::kId);
  info->getObjectAccessor(true, false, 12, 0, 0, 0, App::AzureEndpoints::kType,
                          App::AzureEndpoints::kId);
  App::AdditionalCredInfo copy(additional);
  for (CNMessageBase* m : {&additional, &copy}) {
    CNMessageBase* record =
        m->getObjectAccessor(false, false, 3, 0, 0, 0, 0, 0);
    ASSERT_NE(dynamic_cast<App::AzureCredentialInfo*>(record), nullptr);
    EXPECT_NE(dynamic_cast<App::AzureEndpoints*>(
                  record->getObjectAccessor(false, false, 12, 0, 0, 0, 0, 0)),
              nullptr);
  }
}

TEST(CNMessageBase, RejectedTextsLeaveTheMessageUnchanged) {
  const std::vector<std::pair<const char*, int>> cases = {
      {"", CNMessageBase::kUnserializeMalformed},
      {"{", CNMessageBase::kUnserializeMalformed},
      {R"({"type":91,"id":7,"fields":{}} x)",
       CNMessageBase::kUnserializeMalformed},
      {"[]", CNMessageBase::kUnserializeBadShape},
      {"7", CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7})", CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{},"x":1})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":"91","id":7,"fields":{}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91.0,"id":7,"fields":{}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":4294967303,"fields":{}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":[]})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"01":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"+1":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"-0":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{" 1":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"x":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"32768":1}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":1.5}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":true}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":null}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":[1]}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":9223372036854775808}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":{"type":1,"id":2}}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":7,"fields":{"1":{"type":1,"id":2,"fields":{"2":false}}}})",
       CNMessageBase::kUnserializeBadShape},
      {R"({"type":91,"id":8,"fields":{}})",
       CNMessageBase::kUnserializeWrongMessage},
      {R"({"type":30,"id":7,"fields":{}})",
       CNMessageBase::kUnserializeWrongMessage},
  };
  CNMessageBase m = Sample();
  const std::string before = m.serialize();
  EXPECT_EQ(m.unserialize(nullptr), CNMessageBase::kUnserializeMalformed);
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(m.unserialize(text), expected) << text;
    EXPECT_EQ(m.serialize(), before) << text;
  }
  // Field keys at the ends of the short range are fine.
  EXPECT_EQ(
      m.unserialize(R"({"type":91,"id":7,"fields":{"-32768":1,"32767":2}})"),
      CNMessageBase::kUnserializeOk);
  EXPECT_EQ(m.getint64(-32768, 0, 0), 1);
  EXPECT_EQ(m.getint64(32767, 0, 0), 2);
}

std::string Nested(int levels) {
  std::string text;
  for (int i = 0; i < levels; ++i) {
    text += R"({"type":91,"id":7,"fields":{"1":)";
  }
  text += "0";
  for (int i = 0; i < levels; ++i) {
    text += "}}";
  }
  return text;
}

TEST(CNMessageBase, NestingIsBounded) {
  CNMessageBase m(kType, kId);
  ASSERT_EQ(m.unserialize(Nested(CNMessageBase::kMaxRecordDepth).c_str()),
            CNMessageBase::kUnserializeOk);
  const std::string deepest = m.serialize();
  EXPECT_NE(m.unserialize(Nested(CNMessageBase::kMaxRecordDepth + 1).c_str()),
            CNMessageBase::kUnserializeOk);
  // Far beyond the limit: refused without building the document.
  EXPECT_NE(m.unserialize(Nested(100000).c_str()),
            CNMessageBase::kUnserializeOk);
  EXPECT_EQ(m.serialize(), deepest);
  CNMessageBase copy(m);
  CNMessageBase back(kType, kId);
  EXPECT_EQ(back.unserialize(copy.serialize().c_str()),
            CNMessageBase::kUnserializeOk);
}

}  // namespace
