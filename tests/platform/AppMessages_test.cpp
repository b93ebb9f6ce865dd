#include "platform/AppMessages.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace cred = App::AzureCredentialInfoField;
using App::AdditionalCredInfo;
using App::AzureCredentialInfo;
using App::AzureEndpoints;

CNMessageBase*& Endpoints(CNMessageBase& info) {
  return info.getObjectAccessor(
      true, false, cred::endpoints.number, cred::endpoints.slot,
      AzureCredentialInfo::kClassCode, cred::endpoints.code,
      AzureEndpoints::kType, AzureEndpoints::kId);
}

CNMessageBase*& Embedded(CNMessageBase& additional, bool create = true) {
  const FieldRef& f = App::AdditionalCredInfoField::azureCredentialInfo;
  return additional.getObjectAccessor(
      create, false, f.number, f.slot, AdditionalCredInfo::kClassCode, f.code,
      AzureCredentialInfo::kType, AzureCredentialInfo::kId);
}

void SetText(CNMessageBase& m, const FieldRef& f, const std::string& value) {
  m.setstring(f.number, f.slot, value, AzureCredentialInfo::kClassCode, f.code);
}

std::string Text(const CNMessageBase& m, const FieldRef& f) {
  return m.getstring(f.number, f.slot, AzureCredentialInfo::kClassCode, f.code);
}

TEST(AppMessages, KindsOfTheRecords) {
  EXPECT_EQ(AzureCredentialInfo().getType(), 30);
  EXPECT_EQ(AzureCredentialInfo().getId(), 2183);
  EXPECT_EQ(AzureEndpoints().getId(), 2209);
  EXPECT_EQ(AdditionalCredInfo().getId(), 2011);
}

TEST(AppMessages, AccessorCreatesTheRegisteredClasses) {
  AdditionalCredInfo additional;
  CNMessageBase* embedded = Embedded(additional);
  ASSERT_NE(dynamic_cast<AzureCredentialInfo*>(embedded), nullptr);
  auto* info = static_cast<AzureCredentialInfo*>(embedded);
  // A record without endpoints yields a readable, empty one.
  CNMessageBase* endpoints = Endpoints(*info);
  ASSERT_NE(dynamic_cast<AzureEndpoints*>(endpoints), nullptr);
  const FieldRef& login = App::AzureEndpointsField::loginEndpoint;
  EXPECT_EQ(endpoints->getstring(login.number, login.slot,
                                 AzureEndpoints::kClassCode, login.code),
            "");
}

TEST(AppMessages, ProvisionedCredentialReadsBack) {
  AdditionalCredInfo additional;
  auto* info = static_cast<AzureCredentialInfo*>(Embedded(additional));
  info->setint64(cred::authType.number, 1, AzureCredentialInfo::kClassCode,
                 cred::authType.code);
  SetText(*info, cred::applicationId, "11111111-2222-3333-4444-555555555555");
  SetText(*info, cred::tenantId, "contoso-tenant");
  SetText(*info, cred::certificateName, "app-cert");
  SetText(*info, cred::certificateFile, "TUlJQ2VqQ0NBZUdnQXdJQkFnSVV=");
  SetText(*info, cred::certificateThumbprint,
          "0123456789abcdef0123456789ABCDEF01234567");
  const FieldRef& login = App::AzureEndpointsField::loginEndpoint;
  Endpoints(*info)->setstring(login.number, login.slot,
                              "https://127.0.0.1:8443/",
                              AzureEndpoints::kClassCode, login.code);
  const std::string text = additional.serialize();

  // What the instance factory does with the stored text.
  AdditionalCredInfo decoded;
  ASSERT_EQ(decoded.unserialize(text.c_str()), 0);
  CNMessageBase* embedded = Embedded(decoded);
  ASSERT_NE(dynamic_cast<AzureCredentialInfo*>(embedded), nullptr);
  AzureCredentialInfo copy;
  copy = *static_cast<AzureCredentialInfo*>(embedded);
  EXPECT_EQ(copy.getint64(cred::authType.number,
                          AzureCredentialInfo::kClassCode, cred::authType.code),
            1);
  EXPECT_EQ(Text(copy, cred::applicationId),
            "11111111-2222-3333-4444-555555555555");
  EXPECT_EQ(Text(copy, cred::tenantId), "contoso-tenant");
  EXPECT_EQ(Text(copy, cred::certificateName), "app-cert");
  EXPECT_EQ(Text(copy, cred::certificateFile), "TUlJQ2VqQ0NBZUdnQXdJQkFnSVV=");
  EXPECT_EQ(Text(copy, cred::certificateThumbprint),
            "0123456789abcdef0123456789ABCDEF01234567");
  CNMessageBase* endpoints = Endpoints(copy);
  ASSERT_NE(dynamic_cast<AzureEndpoints*>(endpoints), nullptr);
  EXPECT_EQ(endpoints->getstring(login.number, login.slot,
                                 AzureEndpoints::kClassCode, login.code),
            "https://127.0.0.1:8443/");
}

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
    AzureCredentialInfo info;
    SetText(info, cred::tenantId, "kept");
    EXPECT_EQ(info.unserialize(text), CNMessageBase::kUnserializeBadShape)
        << text;
    EXPECT_EQ(Text(info, cred::tenantId), "kept");
  }
  AdditionalCredInfo additional;
  EXPECT_EQ(
      additional.unserialize(
          R"({"type":30,"id":2011,"fields":{"3":{"type":30,"id":2209,"fields":{}}}})"),
      CNMessageBase::kUnserializeBadShape);
  EXPECT_EQ(Embedded(additional, false), nullptr);
  // Fields the class does not declare may hold any kind.
  EXPECT_EQ(
      additional.unserialize(
          R"({"type":30,"id":2011,"fields":{"1":"user","2":7,"4":{"type":5,"id":6,"fields":{}}}})"),
      0);
}

TEST(AppMessages, CopiesKeepTheRecordClasses) {
  AdditionalCredInfo additional;
  Endpoints(*Embedded(additional));
  AdditionalCredInfo copy(additional);
  CNMessageBase* info = Embedded(copy, false);
  ASSERT_NE(dynamic_cast<AzureCredentialInfo*>(info), nullptr);
  EXPECT_NE(dynamic_cast<AzureEndpoints*>(Endpoints(*info)), nullptr);
}

}  // namespace
