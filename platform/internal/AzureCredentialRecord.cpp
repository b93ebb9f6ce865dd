#include "platform/internal/AzureCredentialRecord.h"

namespace AzureCredentialRecord {

namespace {

namespace Field = App::AzureCredentialInfoField;
constexpr unsigned long kRecordClass = App::AzureCredentialInfo::kClassCode;

std::string ReadText(const App::AzureCredentialInfo& record,
                     const FieldRef& field) {
  return record.getstring(field.number, field.slot, kRecordClass, field.code);
}

void WriteText(App::AzureCredentialInfo& record, const FieldRef& field,
               const std::string& value) {
  record.setstring(field.number, field.slot, value, kRecordClass, field.code);
}

// The endpoints sub-record, created empty when the record has none.
CNMessageBase& Endpoints(App::AzureCredentialInfo& record) {
  return *record.getObjectAccessor(
      true, false, Field::endpoints.number, Field::endpoints.slot, kRecordClass,
      Field::endpoints.code, App::AzureEndpoints::kType,
      App::AzureEndpoints::kId);
}

// The embedded record, created empty when info has none.
CNMessageBase& Embedded(App::AdditionalCredInfo& info) {
  const FieldRef& field = App::AdditionalCredInfoField::azureCredentialInfo;
  return *info.getObjectAccessor(true, false, field.number, field.slot,
                                 App::AdditionalCredInfo::kClassCode,
                                 field.code, App::AzureCredentialInfo::kType,
                                 App::AzureCredentialInfo::kId);
}

}  // namespace

AuthType GetAuthType(const App::AzureCredentialInfo& record) {
  return static_cast<AuthType>(static_cast<int>(record.getint64(
      Field::authType.number, kRecordClass, Field::authType.code)));
}

std::string GetApplicationId(const App::AzureCredentialInfo& record) {
  return ReadText(record, Field::applicationId);
}

std::string GetTenantId(const App::AzureCredentialInfo& record) {
  return ReadText(record, Field::tenantId);
}

std::string GetCertificateName(const App::AzureCredentialInfo& record) {
  return ReadText(record, Field::certificateName);
}

std::string GetCertificateFile(const App::AzureCredentialInfo& record) {
  return ReadText(record, Field::certificateFile);
}

std::string GetCertificateThumbprint(const App::AzureCredentialInfo& record) {
  return ReadText(record, Field::certificateThumbprint);
}

std::string GetLoginEndpoint(const App::AzureCredentialInfo& record) {
  const CNMessageBase* endpoints = record.getObject(
      Field::endpoints.number, kRecordClass, Field::endpoints.code);
  if (endpoints == nullptr) {
    return std::string();
  }
  const FieldRef& login = App::AzureEndpointsField::loginEndpoint;
  return endpoints->getstring(login.number, login.slot,
                              App::AzureEndpoints::kClassCode, login.code);
}

void SetAuthType(App::AzureCredentialInfo& record, AuthType value) {
  record.setint64(Field::authType.number, static_cast<int>(value), kRecordClass,
                  Field::authType.code);
}

void SetApplicationId(App::AzureCredentialInfo& record,
                      const std::string& value) {
  WriteText(record, Field::applicationId, value);
}

void SetTenantId(App::AzureCredentialInfo& record, const std::string& value) {
  WriteText(record, Field::tenantId, value);
}

void SetCertificateName(App::AzureCredentialInfo& record,
                        const std::string& value) {
  WriteText(record, Field::certificateName, value);
}

void SetCertificateFile(App::AzureCredentialInfo& record,
                        const std::string& value) {
  WriteText(record, Field::certificateFile, value);
}

void SetCertificateThumbprint(App::AzureCredentialInfo& record,
                              const std::string& value) {
  WriteText(record, Field::certificateThumbprint, value);
}

void SetLoginEndpoint(App::AzureCredentialInfo& record,
                      const std::string& value) {
  const FieldRef& login = App::AzureEndpointsField::loginEndpoint;
  Endpoints(record).setstring(login.number, login.slot, value,
                              App::AzureEndpoints::kClassCode, login.code);
}

void Embed(App::AdditionalCredInfo& info,
           const App::AzureCredentialInfo& record) {
  Embedded(info) = record;
}

void Extract(App::AdditionalCredInfo& info,
             App::AzureCredentialInfo& outRecord) {
  static_cast<CNMessageBase&>(outRecord) = Embedded(info);
}

std::string ToAdditionalInfo(const App::AzureCredentialInfo& record) {
  App::AdditionalCredInfo info;
  Embed(info, record);
  return info.serialize();
}

bool FromAdditionalInfo(const std::string& text,
                        App::AzureCredentialInfo& outRecord) {
  App::AdditionalCredInfo info;
  if (!text.empty() &&
      info.unserialize(text.c_str()) != CNMessageBase::kUnserializeOk) {
    return false;
  }
  Extract(info, outRecord);
  return true;
}

}  // namespace AzureCredentialRecord
