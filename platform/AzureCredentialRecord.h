#pragma once

#include <string>

#include "platform/AppMessages.h"
#include "platform/TQExport.h"

// AzureCredentialRecord: the stored Azure credential record
// (App::AzureCredentialInfo) and its place in a stored credential's
// additional information (App::AdditionalCredInfo). The only code outside the
// message library that addresses the record's fields.
// Tests: tests/platform/AzureCredentialRecord_test.cpp
namespace AzureCredentialRecord {

// The credential type of an Azure application credential in the store.
inline constexpr int kCredentialType = 4;

// authType as stored. A record may hold any other value; it converts to an
// AuthType that equals neither of these.
enum class AuthType : int {
  kCertificate = 1,  // signed JWT client assertion
  kClientSecret = 2,
};

// Readers: the field's content, "" for an absent text. GetAuthType reads
// the low 32 bits of the stored integer (0 when absent).
TQ_EXPORT AuthType GetAuthType(const App::AzureCredentialInfo& record);
TQ_EXPORT std::string GetApplicationId(const App::AzureCredentialInfo& record);
TQ_EXPORT std::string GetTenantId(const App::AzureCredentialInfo& record);
TQ_EXPORT std::string GetCertificateName(
    const App::AzureCredentialInfo& record);
TQ_EXPORT std::string GetCertificateFile(
    const App::AzureCredentialInfo& record);
TQ_EXPORT std::string GetCertificateThumbprint(
    const App::AzureCredentialInfo& record);
// loginEndpoint of the endpoints sub-record, "" when there is none; a record
// without the sub-record gets an empty one.
TQ_EXPORT std::string GetLoginEndpoint(App::AzureCredentialInfo& record);

// Writers: the field holds value afterwards.
TQ_EXPORT void SetAuthType(App::AzureCredentialInfo& record, AuthType value);
TQ_EXPORT void SetApplicationId(App::AzureCredentialInfo& record,
                                const std::string& value);
TQ_EXPORT void SetTenantId(App::AzureCredentialInfo& record,
                           const std::string& value);
TQ_EXPORT void SetCertificateName(App::AzureCredentialInfo& record,
                                  const std::string& value);
TQ_EXPORT void SetCertificateFile(App::AzureCredentialInfo& record,
                                  const std::string& value);
TQ_EXPORT void SetCertificateThumbprint(App::AzureCredentialInfo& record,
                                        const std::string& value);
TQ_EXPORT void SetLoginEndpoint(App::AzureCredentialInfo& record,
                                const std::string& value);

// Embed: info holds a copy of record afterwards, in place of any before.
TQ_EXPORT void Embed(App::AdditionalCredInfo& info,
                     const App::AzureCredentialInfo& record);
// Extract: outRecord becomes a copy of the record embedded in info; an empty
// record when info holds none.
TQ_EXPORT void Extract(App::AdditionalCredInfo& info,
                       App::AzureCredentialInfo& outRecord);

// ToAdditionalInfo: the serialized App::AdditionalCredInfo holding record,
// as the credential store keeps it. Throws std::invalid_argument for a text
// field that is not UTF-8 (CNMessageBase::serialize).
TQ_EXPORT std::string ToAdditionalInfo(const App::AzureCredentialInfo& record);
// FromAdditionalInfo: true with the record held in text (an empty record for
// an empty text or one that holds none); false, outRecord untouched, when
// text is not a serialized App::AdditionalCredInfo.
TQ_EXPORT bool FromAdditionalInfo(const std::string& text,
                                  App::AzureCredentialInfo& outRecord);

}  // namespace AzureCredentialRecord
