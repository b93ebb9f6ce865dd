#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "auth/TQCloudAuthArgs.h"
#include "platform/AppMessages.h"
#include "platform/CKoError.h"
#include "platform/TQExport.h"
#include "platform/TqFailureReason.h"

class AzureProviderAccess;

namespace TQCloudAuth {

// The public Azure AD login endpoint, used when the credential names none.
inline constexpr char kDefaultAzureLoginEndpoint[] =
    "https://login.microsoftonline.com/";

// AzureArgs: what a caller hands the Azure provider: the stored, encrypted
// secret (client secret for authType 2, certificate password for authType 1)
// in password, and the credential record.
struct TQ_EXPORT AzureArgs : public BaseArgs {
  App::AzureCredentialInfo credentialInfo;
};

// AzureParams: the provider's prepared credential.
// Tests: tests/auth/azure/TQCloudAuthAzureArgs_test.cpp
class TQ_EXPORT AzureParams {
 public:
  AzureParams();
  ~AzureParams();
  AzureParams(const AzureParams&) = delete;
  AzureParams& operator=(const AzureParams&) = delete;

  // initializeParams: copies the credential record, refuses it (774,
  // kCredentialInvalid) when the checks of `credential add` do ("Invalid
  // tenant [t]", "Invalid client id [c]", a login endpoint that is plain
  // HTTP to another host or holds what a URL cannot), and, for a certificate
  // credential (authType 1), turns the hex thumbprint into standard Base64
  // (left as it was when it is not hex, a NUL byte included) and, when
  // certificateName is set, stages the Base64 certificate as
  // <home>/certificates/Azure_<name>.crt (owner read-only), after which
  // certificateFile holds that path. A file there is kept only when it holds
  // this certificate; another (a credential of the same certificate name
  // staged it) is replaced whole (StagedCertificate::Stage). Fails with 774
  // "Failed to decode certificate" (also for an empty certificate, and also
  // when a file is staged already), "Invalid certificate name [name]: ..."
  // (the name `credential add` would refuse; kCredentialInvalid), TqHome's
  // refusal of the folder or of the file there (kHomeRefused), or the file
  // service's status with this location pushed.
  CKoError initializeParams(const AzureArgs& args);

  // stageCertificate: stages the certificate initializeParams staged again
  // when the file no longer holds it (another credential of the same name
  // replaced it); success when there is nothing to stage. The token request
  // calls it before each signature, so a credential never signs with
  // another's key; threads may call it at once. Fails as the staging in
  // initializeParams does.
  CKoError stageCertificate();

  App::AzureAuthType getAuthType() const;
  std::string getApplicationId() const;
  std::string getTenantId() const;
  std::string getCertificateFile() const;
  std::string getCertificateThumbprint() const;
  // loginEndpoint of the endpoints sub-record exactly as stored, or
  // kDefaultAzureLoginEndpoint when that is empty.
  std::string getLoginEndpoint() const;

 private:
  friend class ::AzureProviderAccess;
  App::AzureCredentialInfo credentialInfo;
  // The decoded certificate file this credential stages (it may hold the
  // private key): wiped when replaced and when the parameters die.
  std::string stagedCertificate;
};

// Why a call asked the endpoint for a token.
enum class AzureRequestCause {
  kNone,          // no call has yet
  kNoneCached,    // no token was cached for the scope
  kExpiring,      // the cached one had less than 240 s left
  kEarlyRefresh,  // the cached one was due for an early refresh
};

// AzureCounters: what a provider did since it was made; each figure counts
// getAuthToken calls unless it says otherwise.
// Tests: tests/auth/azure/Throttling_test.cpp
struct TQ_EXPORT AzureCounters {
  static constexpr size_t kReasons =
      static_cast<size_t>(TqFailureReason::kInternal) + 1;

  uint64_t calls = 0;
  uint64_t cacheHits = 0;    // served from the cache without a request
  uint64_t cacheMisses = 0;  // needed a token from the endpoint (or waited
                             // for another call's request)
  uint64_t requests = 0;     // token requests sent (not calls)
  uint64_t failures = 0;
  // failures by their reason (TqFailureReason as the index)
  std::array<uint64_t, kReasons> failuresByReason{};
  uint64_t throttledCalls = 0;  // refused at once while the endpoint's wait
                                // lasted (no request sent)
  uint64_t earlyRefreshes = 0;  // early refreshes tried
  uint64_t earlyRefreshFailures = 0;  // of those, failed (the cached token
                                      // was served)
  int64_t longestCallMicros = 0;      // the longest call
  // With [TokenCache] Shared: tokens taken from another process's request,
  // and calls that asked the endpoint alone because the shared store could
  // not be used (each also counted above as a miss).
  uint64_t sharedHits = 0;
  uint64_t sharedFallbacks = 0;
  // The latest call: whether it was served from the cache, and when it was
  // not, why it asked and how long its request took.
  bool lastCallFromCache = false;
  bool lastCallFromShared = false;  // from another process's request
  AzureRequestCause lastRequestCause = AzureRequestCause::kNone;
  int64_t lastRequestMicros = 0;
};

}  // namespace TQCloudAuth
