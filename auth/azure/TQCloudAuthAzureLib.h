#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "platform/CKoString.h"
#include "platform/TQExport.h"

namespace TQCloudAuth {
struct FetchedToken;
}

// TQCloudAuthAzureLib: the Azure AD token provider. Construct it, Init it
// with a credential, then ask for tokens from any number of threads. Each
// scope's token is cached (up to 64 scopes) and reused while at least 240
// seconds of its life remain; concurrent callers missing one scope share
// one request; a token whose reply names refresh_in (or that lives two
// hours or more, then at half its life) is refreshed early, riding out a
// failing endpoint on the cached token (internal/cache/TokenCache.h). Init is
// not thread-safe: it runs before the provider is shared.
// Tests: tests/auth/azure/TQCloudAuthAzureLib_test.cpp
class TQ_EXPORT TQCloudAuthAzureLib : public TQCloudAuthLib {
 public:
  TQCloudAuthAzureLib() = default;
  ~TQCloudAuthAzureLib() override;

  // Init: the base initialisation, the prepared credential (certificate
  // staging) and the HTTP client. A second call after success is a no-op
  // that keeps the first credential; after a failure every step runs again.
  // Fails, among others, for a tenant or login endpoint the checks refuse
  // (AzureParams::initializeParams) and for a configuration file that
  // cannot be read whole (initCurlObject).
  CKoError Init(const TQCloudAuth::AzureArgs& args);

  // getAuthToken: an access token for args->azureArgs->scope, from the cache
  // or from one client-credentials request to
  // <loginEndpoint><tenant>/oauth2/v2.0/token. On success ret holds token,
  // type and expiry (seconds since the epoch); on failure ret and the cache
  // are untouched. Lifetimes above two days count as two days. Failures
  // (code 774): "TQCloudAuthLib is not initialized",
  // "Invalid Arguments", "Failed to decrypt password", "Unknown authorization
  // type [n]", "Failed to sign jwt assertion", the transport's status,
  // "Failed to unserialize auth response [reply]" (also for a reply without
  // a token or with an expires_in that is not a whole number of seconds or
  // is negative; token values in the reply text are masked), "Auth request
  // failed with error [error] [description]" (the reply's access_token value
  // masked in both). Reply texts are quoted up to a few KiB, with their full
  // size said (QuoteText).
  CKoError getAuthToken(const TQCloudAuth::GetAuthTokenArgs* args,
                        TQCloudAuth::GetAuthTokenRet* ret) override;

 protected:
  // The clock the cache and the assertion use; tests replace it.
  using Clock = int64_t (*)();
  static int64_t WallClock();
  Clock clock = &WallClock;

  std::unique_ptr<TQCloudAuth::AzureParams> azureParams;

 private:
  // requestToken: one token request for scope; out filled on success.
  CKoError requestToken(const std::string& scope,
                        TQCloudAuth::FetchedToken& out);
  // The assertion part of the body for a certificate credential; false when
  // signing fails.
  bool buildClientAssertion(const std::string& tokenUrl,
                            const std::string& password, int64_t now,
                            CKoString& outPart);

  std::mutex m_requestMutex;
};
