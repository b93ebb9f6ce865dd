#include "platform/internal/AzureCredentialRecord.h"

#include <gtest/gtest.h>

#include <string>

namespace {

namespace R = AzureCredentialRecord;
using R::AuthType;

// The stored form is the management server's: field numbers and values
// pinned.
TEST(AzureCredentialRecord, StoredFormIsPinned) {
  App::AzureCredentialInfo record;
  R::SetAuthType(record, AuthType::kClientSecret);
  R::SetTenantId(record, "t");
  R::SetLoginEndpoint(record, "https://l/");
  EXPECT_EQ(R::ToAdditionalInfo(record),
            R"({"fields":{"3":{"fields":{"1":2,"12":{"fields":{"1":)"
            R"("https://l/"},"id":2209,"type":30},"4":"t"},"id":2183,)"
            R"("type":30}},"id":2011,"type":30})");
}

TEST(AzureCredentialRecord, EveryFieldReadsBackThroughTheStore) {
  using Getter = std::string (*)(const App::AzureCredentialInfo&);
  using Setter = void (*)(App::AzureCredentialInfo&, const std::string&);
  const struct {
    Getter get;
    Setter set;
    std::string value;
  } fields[] = {
      {R::GetApplicationId, R::SetApplicationId, "11111111-2222-3333"},
      {R::GetTenantId, R::SetTenantId, "contoso-tenant"},
      {R::GetCertificateName, R::SetCertificateName, "app-cert"},
      {R::GetCertificateFile, R::SetCertificateFile, "TUlJQ2Vq"},
      {R::GetCertificateThumbprint, R::SetCertificateThumbprint, "0123abcd"},
  };
  App::AzureCredentialInfo record;
  R::SetAuthType(record, AuthType::kCertificate);
  R::SetLoginEndpoint(record, "https://127.0.0.1:8443/");
  for (const auto& f : fields) {
    f.set(record, f.value);
  }
  App::AzureCredentialInfo read;
  ASSERT_TRUE(R::FromAdditionalInfo(R::ToAdditionalInfo(record), read));
  EXPECT_EQ(R::GetAuthType(read), AuthType::kCertificate);
  EXPECT_EQ(R::GetLoginEndpoint(read), "https://127.0.0.1:8443/");
  for (const auto& f : fields) {
    EXPECT_EQ(f.get(read), f.value);
  }
}

TEST(AzureCredentialRecord, WhatCannotBeReadAndWhatIsEmpty) {
  App::AzureCredentialInfo kept;
  R::SetTenantId(kept, "kept");
  EXPECT_FALSE(R::FromAdditionalInfo("{not a record", kept));
  EXPECT_FALSE(
      R::FromAdditionalInfo(R::ToAdditionalInfo(kept).substr(1), kept));
  EXPECT_EQ(R::GetTenantId(kept), "kept");

  // No text, or a message without the record: an empty record, whose
  // missing endpoints read as empty.
  for (const std::string& text :
       {std::string(), App::AdditionalCredInfo().serialize()}) {
    App::AzureCredentialInfo read = kept;
    ASSERT_TRUE(R::FromAdditionalInfo(text, read));
    EXPECT_EQ(R::GetTenantId(read), "");
    EXPECT_EQ(static_cast<int>(R::GetAuthType(read)), 0);
    EXPECT_EQ(R::GetLoginEndpoint(read), "");
  }

  // The type is read as int: the low 32 bits of what is stored.
  App::AzureCredentialInfo wide;
  wide.setint64(App::AzureCredentialInfoField::authType.number, 0x100000001LL,
                0, 0);
  EXPECT_EQ(R::GetAuthType(wide), AuthType::kCertificate);
}

}  // namespace
