#pragma once

#include <string>

#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "platform/internal/AzureCredentialRecord.h"

namespace tqtest {

using AzureCredentialRecord::AuthType;

struct AzureCredential {
  AuthType authType = AuthType::kClientSecret;
  std::string tenant = "tenant-1";
  std::string clientId = "client-1";
  std::string loginEndpoint;
  std::string certificateName;
  std::string certificateBase64;
  std::string thumbprintHex;
  std::string storedPassword;  // as the credential store holds it
};

// The arguments for c, the record filled the way the management server
// fills it.
inline TQCloudAuth::AzureArgs MakeAzureArgs(const AzureCredential& c) {
  namespace R = AzureCredentialRecord;
  TQCloudAuth::AzureArgs args;
  args.password = c.storedPassword;
  R::SetAuthType(args.credentialInfo, c.authType);
  R::SetApplicationId(args.credentialInfo, c.clientId);
  R::SetTenantId(args.credentialInfo, c.tenant);
  R::SetCertificateName(args.credentialInfo, c.certificateName);
  R::SetCertificateFile(args.credentialInfo, c.certificateBase64);
  R::SetCertificateThumbprint(args.credentialInfo, c.thumbprintHex);
  if (!c.loginEndpoint.empty()) {
    R::SetLoginEndpoint(args.credentialInfo, c.loginEndpoint);
  }
  return args;
}

// The additional information a credential store row holds for args.
inline std::string AdditionalInfoFor(const TQCloudAuth::AzureArgs& args) {
  return AzureCredentialRecord::ToAdditionalInfo(args.credentialInfo);
}

}  // namespace tqtest
