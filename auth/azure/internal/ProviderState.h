#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "auth/azure/internal/ClientAssertion.h"
#include "auth/internal/SharedTokens.h"
#include "internal/cache/TokenCache.h"
#include "platform/internal/ConfigFile.h"

class PgDatabase;
class TQCloudAuthAzureLib;

namespace TQCloudAuth {

// The credential one request uses, fixed for the request: a provider that
// notices a rotated credential makes a new one, and requests under way keep
// theirs.
struct CredentialSnapshot {
  AzureParams* params = nullptr;  // the provider's, or owned
  std::unique_ptr<AzureParams> owned;
  // The stored row it was made from: a change of either is a rotation.
  std::string storedPassword;  // encrypted, as stored
  std::string rowInfo;
  // The certificate's SHA-256 thumbprint (bytes), made at its first PS256
  // signature (a PKCS#12 file opens only with the password).
  std::mutex thumbprintMutex;
  std::string sha256Thumbprint;
};

// What an Azure provider keeps beside its parameters: its tokens, how it
// signs, where its credential is stored, what it did. Shared by the threads
// that use the provider.
struct AzureProviderState {
  std::unique_ptr<TokenCache> cache = std::make_unique<TokenCache>();

  // [Azure] AssertionAlgorithm as read at Init; an unusable value fails each
  // request that needs an assertion (the text kept to name it).
  bool algorithmValid = true;
  AssertionAlgorithm algorithm = AssertionAlgorithm::kRs256;
  std::string algorithmText;

  // The stored credential the provider was made from (by the factory);
  // without one, the credential never changes.
  bool stored = false;
  int assocId = 0;
  int entity = 0;
  std::string rowInfo;  // as the factory read it
  // The configuration the factory chose the store by, for Init; null once
  // used, or without a factory.
  std::unique_ptr<ConfigSnapshot> factoryConfig;
  // Its store as [Database] Url said at Init (null: the home's); the
  // provider keeps to it. storeKnown is false when that Url was unusable.
  bool storeKnown = true;
  std::shared_ptr<PgDatabase> storeDatabase;

  std::mutex credentialMutex;
  std::shared_ptr<CredentialSnapshot> credential;  // under credentialMutex

  // The tokens shared with other processes ([TokenCache] Shared): null when
  // off; an unusable setting fails every request that would use it.
  std::shared_ptr<SharedTokens> shared;
  CKoError sharingProblem;

  // Counters (AzureCounters); the latest request's under lastMutex.
  // Every call is a hit or a miss. Hits are counted per thread stripe, each
  // on a cache line of its own, so that threads hitting together do not
  // fight over one counter.
  struct alignas(64) HitStripe {
    std::atomic<uint64_t> hits{0};
  };
  static constexpr size_t kHitStripes = 8;
  HitStripe hitStripes[kHitStripes];
  void CountHit();
  uint64_t Hits() const;
  std::atomic<uint64_t> misses{0};
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> failures{0};
  std::atomic<uint64_t> failuresByReason[AzureCounters::kReasons] = {};
  std::atomic<uint64_t> throttledCalls{0};
  std::atomic<uint64_t> earlyRefreshes{0};
  std::atomic<uint64_t> earlyRefreshFailures{0};
  std::atomic<uint64_t> sharedHits{0};
  std::atomic<uint64_t> sharedFallbacks{0};
  std::atomic<int64_t> longestCallMicros{0};
  std::atomic<bool> lastCallFromCache{false};
  std::atomic<bool> lastCallFromShared{false};
  std::mutex lastMutex;
  AzureRequestCause lastRequestCause = AzureRequestCause::kNone;
  int64_t lastRequestMicros = 0;
};

}  // namespace TQCloudAuth

// What tests and the library's own code reach of a provider.
class AzureProviderAccess {
 public:
  static TQCloudAuth::TokenCache& Cache(TQCloudAuthAzureLib& lib);

  // RememberStored: the provider is made from the stored credential
  // (assocId, entity) whose additional information is rowInfo, chosen by
  // config, which Init then uses rather than reading it again; before Init.
  static void RememberStored(TQCloudAuthAzureLib& lib, int assocId, int entity,
                             const std::string& rowInfo,
                             const ConfigSnapshot& config);

  // RequestToken: one token request for scope; out filled on success.
  static CKoError RequestToken(TQCloudAuthAzureLib& lib,
                               const std::string& scope,
                               TQCloudAuth::FetchedToken& out);

  // FetchToken: scope's token when the provider's own cache has none to
  // give: from the shared level when there is one (see SharedTokens), else
  // by RequestToken. source: where it came from.
  static CKoError FetchToken(TQCloudAuthAzureLib& lib, const std::string& scope,
                             TQCloudAuth::FetchedToken& out,
                             SharedTokens::Source& source);

 private:
  // The credential to use now: a stored one that changed since is read
  // again (rotation).
  static CKoError Current(
      TQCloudAuthAzureLib& lib,
      std::shared_ptr<TQCloudAuth::CredentialSnapshot>& out);
  // A request with snapshot, the credential just read by Current; when it is
  // rejected, the credential is read again and, when it changed, one more
  // request is made with the new one.
  static CKoError RequestFrom(
      TQCloudAuthAzureLib& lib,
      const std::shared_ptr<TQCloudAuth::CredentialSnapshot>& snapshot,
      const std::string& scope, TQCloudAuth::FetchedToken& out);
  // One request with snapshot.
  static CKoError RequestWith(TQCloudAuthAzureLib& lib,
                              TQCloudAuth::CredentialSnapshot& snapshot,
                              const std::string& scope,
                              TQCloudAuth::FetchedToken& out);
  // The certificate's SHA-256 thumbprint (bytes), made once per snapshot.
  static CKoError Sha256Thumbprint(TQCloudAuth::CredentialSnapshot& snapshot,
                                   const std::string& password,
                                   std::string& outThumbprint);
};
