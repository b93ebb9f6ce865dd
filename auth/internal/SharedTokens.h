#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "internal/cache/SharedTokenStore.h"
#include "internal/cache/TokenCache.h"
#include "platform/EvEvent.h"
#include "platform/internal/StoreSettings.h"

// SharedTokens: the second level of a provider's tokens, shared by every
// process (and host) that uses the same store: the home's file or a
// PostgreSQL database. A provider's own cache stays the first level: this
// one is asked only when that one would ask the endpoint.
//  - A sharer's token is taken when it is newer than the caller's and has
//    at least 240 s left.
//  - Otherwise one sharer holds the token's lease (kLeaseMs; a crashed
//    holder's runs out) and asks the endpoint; the others look for its
//    result every kPollMs until their own wait runs out, then ask the
//    endpoint themselves. A token is stored only when it has an expiry.
//  - A wait the endpoint asked for (429, 503 with Retry-After) is stored:
//    every sharer honours it.
//  - Values are encrypted with the home's key (TQPassword: AES-256-GCM),
//    bound to their entry's name; entries are named by a SHA-256 of the
//    login endpoint, tenant, client id and scope. The store holds no token
//    or secret in clear.
//  - A store that fails (unreachable, locked, corrupt, refused by the
//    home's checks) never stops a token: the call asks the endpoint alone,
//    the level is skipped for kDownMs, and a warning says why, once per
//    outage. After that the store is tried again.
// Tests: tests/auth/azure/SharedTokens_test.cpp
class SharedTokens {
 public:
  static constexpr int64_t kLeaseMs = 5000;
  static constexpr int64_t kPollMs = 20;
  static constexpr int64_t kDownMs = 5000;

  // Where a token came from.
  enum class Source {
    kEndpoint,  // this process asked (holding the lease)
    kShared,    // another sharer had asked
    kAlone,     // the level was not usable: this process asked alone
  };

  // For: the process's level for sharing (one per home and per database);
  // null when sharing is off.
  static std::shared_ptr<SharedTokens> For(TokenSharing sharing,
                                           const std::string& homePath,
                                           const std::string& databaseUrl);

  explicit SharedTokens(std::shared_ptr<SharedTokenStore> store);

  using Request = std::function<CKoError(TQCloudAuth::FetchedToken& out)>;

  // Fetch: scope's token for the credential named by credentialKey (its
  // ThrottleGate key) into out, as described above. have: the expiry of the
  // token the caller holds (0: none). waitMs: how long to wait for a
  // sharer's request. nowSeconds: the caller's clock. A failure is the
  // request's.
  CKoError Fetch(const std::string& credentialKey, const std::string& scope,
                 int64_t have, int64_t waitMs, int64_t nowSeconds,
                 const Request& request, TQCloudAuth::FetchedToken& out,
                 Source& source);

  std::string Name() const { return m_store->Name(); }

 private:
  bool Down();
  // Marks the level down after failure; the caller then asks alone.
  void MarkDown(const CKoError& failure);
  bool Seal(const std::string& key, const TQCloudAuth::FetchedToken& token,
            SharedTokenStore::Entry& out) const;
  bool Open(const std::string& key, const SharedTokenStore::Entry& entry,
            TQCloudAuth::FetchedToken& out) const;

  std::shared_ptr<SharedTokenStore> m_store;
  std::atomic<int64_t> m_downUntilMs{0};  // steady clock
  std::mutex m_warnMutex;
  bool m_warned = false;
  EvEvent m_event;
};
