#pragma once

#include <string>

#include "platform/AppMessages.h"

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
using AuthType = App::AzureAuthType;

// Readers: the field's content, "" for an absent text. GetAuthType reads
// the low 32 bits of the stored integer (0 when absent).
AuthType GetAuthType(const App::AzureCredentialInfo& record);
std::string GetApplicationId(const App::AzureCredentialInfo& record);
std::string GetTenantId(const App::AzureCredentialInfo& record);
std::string GetCertificateName(const App::AzureCredentialInfo& record);
std::string GetCertificateFile(const App::AzureCredentialInfo& record);
std::string GetCertificateThumbprint(const App::AzureCredentialInfo& record);
// loginEndpoint of the endpoints sub-record, "" when there is none.
std::string GetLoginEndpoint(const App::AzureCredentialInfo& record);

// Writers: the field holds value afterwards.
void SetAuthType(App::AzureCredentialInfo& record, AuthType value);
void SetApplicationId(App::AzureCredentialInfo& record,
                      const std::string& value);
void SetTenantId(App::AzureCredentialInfo& record, const std::string& value);
void SetCertificateName(App::AzureCredentialInfo& record,
                        const std::string& value);
void SetCertificateFile(App::AzureCredentialInfo& record,
                        const std::string& value);
void SetCertificateThumbprint(App::AzureCredentialInfo& record,
                              const std::string& value);
void SetLoginEndpoint(App::AzureCredentialInfo& record,
                      const std::string& value);

// Embed: info holds a copy of record afterwards, in place of any before.
void Embed(App::AdditionalCredInfo& info,
           const App::AzureCredentialInfo& record);
// Extract: outRecord becomes a copy of the record embedded in info; an empty
// record when info holds none.
void Extract(App::AdditionalCredInfo& info,
             App::AzureCredentialInfo& outRecord);

// ToAdditionalInfo: the serialized App::AdditionalCredInfo holding record,
// as the credential store keeps it. Throws std::invalid_argument for a text
// field that is not UTF-8 (CNMessageBase::serialize).
std::string ToAdditionalInfo(const App::AzureCredentialInfo& record);
// FromAdditionalInfo: true with the record held in text (an empty record for
// an empty text or one that holds none); false, outRecord untouched, when
// text is not a serialized App::AdditionalCredInfo.
bool FromAdditionalInfo(const std::string& text,
                        App::AzureCredentialInfo& outRecord);

}  // namespace AzureCredentialRecord
