#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "platform/CKoString.h"
#include "platform/TQExport.h"

class AzureProviderAccess;

namespace TQCloudAuth {
struct AzureProviderState;
struct FetchedToken;
}  // namespace TQCloudAuth

// TQCloudAuthAzureLib: the Azure AD token provider. Construct it, Init it
// with a credential, then ask for tokens from any number of threads. Each
// scope's token is cached (up to 64 scopes) and reused while at least 240
// seconds of its life remain; concurrent callers missing one scope share
// one request, and requests for different scopes run at once, each on a
// connection of its own; a token whose reply names refresh_in (or that
// lives two hours or more, then at half its life) is refreshed early,
// riding out a failing endpoint on the cached token. Init is not
// thread-safe: it runs before the provider is shared.
// Tests: tests/auth/azure/TQCloudAuthAzureLib_test.cpp
class TQ_EXPORT TQCloudAuthAzureLib : public TQCloudAuthLib {
 public:
  TQCloudAuthAzureLib();
  ~TQCloudAuthAzureLib() override;

  // Init: the base initialisation, the prepared credential (certificate
  // staging) and the HTTP client, with tqcloudauth.ini read once. A second
  // call after success is a no-op that keeps the first credential; after a
  // failure every step runs again. Fails, among others, for a credential
  // the checks refuse (AzureParams::initializeParams; kCredentialInvalid)
  // and for a configuration file that cannot be read whole (kConfigInvalid)
  // or is refused (kHomeRefused).
  CKoError Init(const TQCloudAuth::AzureArgs& args);

  // getAuthToken: an access token for args->azureArgs->scope, from the cache
  // or from one client-credentials request to
  // <loginEndpoint><tenant>/oauth2/v2.0/token. On success ret holds token,
  // type and expiry (seconds since the epoch); on failure ret and the cache
  // are untouched. Lifetimes above two days count as two days. Failures
  // (code 774), each with its reason (platform/TqFailureReason.h):
  // "TQCloudAuthLib is not initialized", "Invalid Arguments"
  // (kInvalidArgument); "Failed to decrypt password", "Unknown authorization
  // type [n]", "Failed to sign jwt assertion", "[Azure] AssertionAlgorithm
  // [v] ..." (kCredentialInvalid, or kConfigInvalid for the setting); the
  // transport's status, its reason refined by the endpoint's error
  // (kCredentialRejected with the AADSTS number, kInvalidRequest,
  // kThrottled with the wait, kServerError ...); "Failed to unserialize auth
  // response [reply]" (kBadReply; also for a reply without a token or with
  // an expires_in that is not a whole number of seconds or is negative);
  // "Auth request failed with error [error] [description]" (a reply of
  // status 200 carrying an error). Reply texts are quoted up to a few KiB,
  // with token values and the credential's secret masked.
  CKoError getAuthToken(const TQCloudAuth::GetAuthTokenArgs* args,
                        TQCloudAuth::GetAuthTokenRet* ret) override;

  // getCounters: what the provider did so far (hits, misses, requests,
  // failures by reason, throttled calls, early refreshes, the longest call,
  // the latest call's source); any thread may ask at any time.
  TQCloudAuth::AzureCounters getCounters() const;

 protected:
  // The clock the cache and the assertion use; tests replace it.
  using Clock = int64_t (*)();
  static int64_t WallClock();
  Clock clock = &WallClock;

  std::unique_ptr<TQCloudAuth::AzureParams> azureParams;

 private:
  friend class ::AzureProviderAccess;

  std::unique_ptr<TQCloudAuth::AzureProviderState> m_state;
};
