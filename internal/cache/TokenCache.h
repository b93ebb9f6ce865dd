#pragma once

#include <atomic>
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

// TokenCache: a provider's tokens, one per scope, for any number of threads.
//  - A token is served while its expiry minus 239 s is later than now (at
//    least 240 s of life left).
//  - Up to kMaxScopes scopes; a new scope beyond that replaces the least
//    recently used one (of those, the soonest to expire). Lookup is a hash.
//  - Concurrent misses for one scope make one request; every caller gets
//    its result (a failure too). A hit never waits for a request.
//  - Early refresh: after a token's refreshTime, while it is still served,
//    one call makes a request; the others are served the cached token
//    meanwhile. When that request fails the call is served the cached token
//    too, and no early request for the scope is made for 30 s.
//  - Nothing is stored on failure.
// Tests: tests/internal/TokenCache_test.cpp
class TokenCache {
 public:
  static constexpr size_t kMaxScopes = 64;
  static constexpr int64_t kRefreshMarginSeconds = 239;
  static constexpr int64_t kEarlyRetryPauseSeconds = 30;

  using Clock = int64_t (*)();
  using Fetch = std::function<CKoError(FetchedToken& out)>;

  TokenCache();
  ~TokenCache();
  TokenCache(const TokenCache&) = delete;
  TokenCache& operator=(const TokenCache&) = delete;

  // Get: the token for scope into ret, from the cache or from fetch (called
  // on this thread, at most once per call). On failure ret is untouched and
  // the status is fetch's (each waiting caller gets its own copy).
  CKoError Get(const std::string& scope, Clock clock, const Fetch& fetch,
               GetAuthTokenRet& ret);

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

  mutable std::shared_mutex m_mutex;
  std::unordered_map<std::string, std::unique_ptr<Entry>> m_entries;
};

}  // namespace TQCloudAuth
