#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "auth/TQCloudAuthArgs.h"
#include "platform/CKoError.h"

namespace TQCloudAuth {

// CachedToken: one scope's token as kept and handed out. The token is a
// secret: wiped when the record goes.
struct CachedToken {
  std::string accessToken;
  std::string tokenType;
  int64_t expireTime = 0;   // seconds since the epoch
  int64_t refreshTime = 0;  // when to ask again early; 0: never early

  CachedToken() = default;
  CachedToken(const CachedToken&) = default;
  CachedToken& operator=(const CachedToken& other);
  ~CachedToken();
};

// FetchedToken: what one token request yields. Without expires_in in the
// reply (hasExpiry false) the cache keeps the scope's previous expiry, or 0
// for a scope it did not hold.
struct FetchedToken {
  CachedToken token;
  bool hasExpiry = false;
};

// Why a call asked the endpoint.
enum class FetchCause {
  kNone,          // it did not: the token came from the cache
  kNoneCached,    // no token for the scope
  kExpiring,      // the cached one has less than 240 s left
  kEarlyRefresh,  // the cached one is due for an early refresh
};

// What Get did for a call.
struct GetOutcome {
  FetchCause cause = FetchCause::kNone;
  bool fetched = false;  // this call ran the request (others waited for it)
  bool servedCached = false;  // an early refresh failed; the cached token
                              // was served
  // When the call left the lock-free path (a hit never reads this clock):
  // what a caller times a miss from.
  std::chrono::steady_clock::time_point slowSince{};
};

// TokenCache: a provider's tokens, one per scope, for any number of threads.
//  - A token is served while its expiry minus 239 s is later than now (at
//    least 240 s of life left).
//  - Up to MaxScopes() scopes (kDefaultMaxScopes unless given); a new scope
//    beyond that replaces the least recently used one (of those, the
//    soonest to expire). Lookup is a hash. Each scope held costs its token
//    (1 to 2 KiB for the identity platform's) and about 300 bytes besides.
//  - Concurrent misses for one scope make one request; every caller gets
//    its result (a failure too). A hit never waits for a request.
//  - Early refresh: after a token's refreshTime, while it is still served,
//    one call makes a request; the others are served the cached token
//    meanwhile. When that request fails the call is served the cached token
//    too, and no early request for the scope is made for 30 s, or for as
//    long as a throttled request was told to wait when that is longer.
//  - Nothing is stored on failure.
//  - In a forked child, requests the parent had in flight are forgotten (no
//    caller waits for a thread that does not exist there); tokens stay.
// Tests: tests/internal/TokenCache_test.cpp
class TokenCache {
 public:
  static constexpr size_t kDefaultMaxScopes = 256;
  static constexpr size_t kMostMaxScopes = 4096;
  static constexpr int64_t kRefreshMarginSeconds = 239;
  static constexpr int64_t kEarlyRetryPauseSeconds = 30;

  using Clock = int64_t (*)();
  using Fetch = std::function<CKoError(FetchedToken& out)>;

  // maxScopes: 1 to kMostMaxScopes.
  explicit TokenCache(size_t maxScopes = kDefaultMaxScopes);
  ~TokenCache();
  TokenCache(const TokenCache&) = delete;
  TokenCache& operator=(const TokenCache&) = delete;

  // Get: the token for scope into ret, from the cache or from fetch (called
  // on this thread, at most once per call). On failure ret is untouched and
  // the status is fetch's (each waiting caller gets its own copy). What was
  // done goes to *outcome when not null.
  CKoError Get(const std::string& scope, Clock clock, const Fetch& fetch,
               GetAuthTokenRet& ret, GetOutcome* outcome = nullptr);

  size_t MaxScopes() const noexcept { return m_maxScopes; }

  // Find: a copy of scope's entry; false when there is none.
  bool Find(const std::string& scope, CachedToken& out) const;
  // Store: sets scope's entry as a successful request would.
  void Store(const std::string& scope, const CachedToken& token);
  // Clear: drops every entry (requests in flight still complete).
  void Clear();
  size_t Size() const;

 private:
  struct Flight;
  struct Entry;

  static bool Fresh(const Entry& e, int64_t now);
  static bool RefreshDue(const Entry& e, int64_t now);
  static void Touch(Entry& e, int64_t now);
  static void CopyTo(const CachedToken& token, GetAuthTokenRet& ret);
  Entry& FindOrMake(const std::string& scope);  // under the exclusive lock
  // Forgets the flights of another process (under the exclusive lock).
  void ForgetFlightsOfParent();

  const size_t m_maxScopes;
  // ForkGeneration() of the flights held; read by hits without the lock.
  std::atomic<uint64_t> m_generation;
  mutable std::shared_mutex m_mutex;
  std::unordered_map<std::string, std::unique_ptr<Entry>> m_entries;
};

}  // namespace TQCloudAuth
