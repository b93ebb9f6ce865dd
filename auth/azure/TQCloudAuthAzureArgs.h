#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "auth/TQCloudAuthArgs.h"
#include "platform/AppMessages.h"
#include "platform/CKoError.h"
#include "platform/TQExport.h"

namespace TQCloudAuth {

class TokenCache;

// The public Azure AD login endpoint, used when the credential names none.
inline constexpr char kDefaultAzureLoginEndpoint[] =
    "https://login.microsoftonline.com/";

// AzureArgs: what a caller hands the Azure provider: the stored, encrypted
// secret (client secret for authType 2, certificate password for authType 1)
// in password, and the credential record.
struct TQ_EXPORT AzureArgs : public BaseArgs {
  App::AzureCredentialInfo credentialInfo;
};

// AzureParams: the provider's prepared credential and its token cache.
// Tests: tests/auth/azure/TQCloudAuthAzureArgs_test.cpp
class TQ_EXPORT AzureParams {
 public:
  AzureParams();
  ~AzureParams();
  AzureParams(const AzureParams&) = delete;
  AzureParams& operator=(const AzureParams&) = delete;

  // initializeParams: copies the credential record, refuses it (774) when
  // CheckTenant or CheckLoginEndpoint (internal/text/CredentialChecks.h) do
  // ("Invalid tenant [t]", plain HTTP to another host), and, for a certificate
  // credential (authType 1), turns the hex thumbprint into standard Base64
  // (left as it was when it is not hex, a NUL byte included) and, when
  // certificateName is set, stages the Base64 certificate as
  // <home>/certificates/Azure_<name>.crt (owner read-only), after which
  // certificateFile holds that path. A file there is kept only when it holds
  // this certificate; another (a credential of the same certificate name
  // staged it) is replaced whole (StagedCertificate::Stage). Fails with 774
  // "Failed to decode certificate" (also for an empty certificate, and also
  // when a file is staged already), "Invalid certificate name [name]" (a
  // name with "/" or a NUL byte), TqHome's refusal of the folder or of the
  // file there, or the file service's status with this location pushed.
  CKoError initializeParams(const AzureArgs& args);

  // stageCertificate: stages the certificate initializeParams staged again
  // when the file no longer holds it (another credential of the same name
  // replaced it); success when there is nothing to stage. The token request
  // calls it before each signature, so a credential never signs with
  // another's key. Fails as the staging in initializeParams does.
  CKoError stageCertificate();

  int getAuthType() const;
  std::string getApplicationId() const;
  std::string getTenantId() const;
  std::string getCertificateFile() const;
  std::string getCertificateThumbprint() const;
  // loginEndpoint of the endpoints sub-record exactly as stored, or
  // kDefaultAzureLoginEndpoint when that is empty.
  std::string getLoginEndpoint();

  // The token cache, one token per scope (internal/cache/TokenCache.h).
  TokenCache& tokenCache() { return *m_tokenCache; }
  const TokenCache& tokenCache() const { return *m_tokenCache; }

 private:
  App::AzureCredentialInfo credentialInfo;
  std::unique_ptr<TokenCache> m_tokenCache;
  // The decoded certificate file this credential stages (it may hold the
  // private key): wiped when replaced and when the parameters die.
  std::string stagedCertificate;
};

}  // namespace TQCloudAuth
