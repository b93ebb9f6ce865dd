#include "platform/AppMessages.h"

#include <gtest/gtest.h>

#include "platform/internal/AzureCredentialRecord.h"

namespace {

namespace R = AzureCredentialRecord;

TEST(AppMessages, DeclaredFieldKindsAreChecked) {
  const char* rejected[] = {
      // authType must be an integer, texts must be texts.
      R"({"type":30,"id":2183,"fields":{"1":"1"}})",
      R"({"type":30,"id":2183,"fields":{"2":5}})",
      R"({"type":30,"id":2183,"fields":{"7":{"type":30,"id":2209,"fields":{}}}})",
      // endpoints must be an AzureEndpoints record.
      R"({"type":30,"id":2183,"fields":{"12":"https://x/"}})",
      R"({"type":30,"id":2183,"fields":{"12":{"type":30,"id":2183,"fields":{}}}})",
      R"({"type":30,"id":2183,"fields":{"12":{"type":30,"id":2209,"fields":{"1":3}}}})",
  };
  for (const char* text : rejected) {
    App::AzureCredentialInfo info;
    R::SetTenantId(info, "kept");
    EXPECT_EQ(info.unserialize(text), CNMessageBase::kUnserializeBadShape)
        << text;
    EXPECT_EQ(R::GetTenantId(info), "kept");
  }
  App::AdditionalCredInfo additional;
  EXPECT_EQ(
      additional.unserialize(
          R"({"type":30,"id":2011,"fields":{"3":{"type":30,"id":2209,"fields":{}}}})"),
      CNMessageBase::kUnserializeBadShape);
  EXPECT_EQ(additional.serialize(), App::AdditionalCredInfo().serialize());
  // Fields the class does not declare may hold any kind.
  EXPECT_EQ(
      additional.unserialize(
          R"({"type":30,"id":2011,"fields":{"1":"user","2":7,"4":{"type":5,"id":6,"fields":{}}}})"),
      0);
}

}  // namespace
