#pragma once

#include <string>

#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "platform/AppMessages.h"

namespace tqtest {

// Fills an Azure credential record the way the management server does.
inline void SetText(App::AzureCredentialInfo& record, const FieldRef& field,
                    const std::string& value) {
  record.setstring(field.number, field.slot, value,
                   App::AzureCredentialInfo::kClassCode, field.code);
}

inline void SetLoginEndpoint(App::AzureCredentialInfo& record,
                             const std::string& endpoint) {
  const FieldRef& sub = App::AzureCredentialInfoField::endpoints;
  CNMessageBase*& endpoints = record.getObjectAccessor(
      true, false, sub.number, sub.slot, App::AzureCredentialInfo::kClassCode,
      sub.code, App::AzureEndpoints::kType, App::AzureEndpoints::kId);
  const FieldRef& login = App::AzureEndpointsField::loginEndpoint;
  endpoints->setstring(login.number, login.slot, endpoint,
                       App::AzureEndpoints::kClassCode, login.code);
}

struct AzureCredential {
  int authType = 2;
  std::string tenant = "tenant-1";
  std::string clientId = "client-1";
  std::string loginEndpoint;
  std::string certificateName;
  std::string certificateBase64;
  std::string thumbprintHex;
  std::string storedPassword;  // as the credential store holds it
};

inline TQCloudAuth::AzureArgs MakeAzureArgs(const AzureCredential& c) {
  namespace F = App::AzureCredentialInfoField;
  TQCloudAuth::AzureArgs args;
  args.password = c.storedPassword;
  args.credentialInfo.setint64(F::authType.number, c.authType,
                               App::AzureCredentialInfo::kClassCode,
                               F::authType.code);
  SetText(args.credentialInfo, F::applicationId, c.clientId);
  SetText(args.credentialInfo, F::tenantId, c.tenant);
  SetText(args.credentialInfo, F::certificateName, c.certificateName);
  SetText(args.credentialInfo, F::certificateFile, c.certificateBase64);
  SetText(args.credentialInfo, F::certificateThumbprint, c.thumbprintHex);
  if (!c.loginEndpoint.empty()) {
    SetLoginEndpoint(args.credentialInfo, c.loginEndpoint);
  }
  return args;
}

// The additional information a credential store row holds for args: the
// record embedded in an App::AdditionalCredInfo, serialized.
inline std::string AdditionalInfoFor(const TQCloudAuth::AzureArgs& args) {
  App::AdditionalCredInfo info;
  const FieldRef& f = App::AdditionalCredInfoField::azureCredentialInfo;
  CNMessageBase*& record = info.getObjectAccessor(
      true, false, f.number, f.slot, App::AdditionalCredInfo::kClassCode,
      f.code, App::AzureCredentialInfo::kType, App::AzureCredentialInfo::kId);
  *record = args.credentialInfo;
  return info.serialize();
}

}  // namespace tqtest
