#include "internal/cache/TokenCache.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "internal/base/ForkGeneration.h"
#include "platform/SecureMemory.h"

namespace TQCloudAuth {

CachedToken& CachedToken::operator=(const CachedToken& other) {
  if (this != &other) {
    WipeString(accessToken);
    accessToken = other.accessToken;
    tokenType = other.tokenType;
    expireTime = other.expireTime;
    refreshTime = other.refreshTime;
  }
  return *this;
}

CachedToken::~CachedToken() { WipeString(accessToken); }

// One request in progress for a scope, and its outcome for those waiting.
struct TokenCache::Flight {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;  // under mutex, as are the two below
  CKoError status;
  CachedToken token;
};

struct TokenCache::Entry {
  CachedToken token;
  bool hasToken = false;
  int64_t nextEarlyAttempt = 0;
  std::shared_ptr<Flight> flight;
  // Written under the shared lock by hits: the second of the last use.
  std::atomic<int64_t> lastUse{0};
};

TokenCache::TokenCache(size_t maxScopes)
    : m_maxScopes(maxScopes < 1                ? 1
                  : maxScopes > kMostMaxScopes ? kMostMaxScopes
                                               : maxScopes),
      m_generation(ForkGeneration()) {}
TokenCache::~TokenCache() = default;

bool TokenCache::Fresh(const Entry& e, int64_t now) {
  return e.hasToken && e.token.expireTime - kRefreshMarginSeconds > now;
}

bool TokenCache::RefreshDue(const Entry& e, int64_t now) {
  return e.token.refreshTime != 0 && now >= e.token.refreshTime &&
         now >= e.nextEarlyAttempt && !e.flight;
}

void TokenCache::Touch(Entry& e, int64_t now) {
  // Only a changed second is written: hits on many threads do not fight
  // over the entry's cache line.
  if (e.lastUse.load(std::memory_order_relaxed) != now) {
    e.lastUse.store(now, std::memory_order_relaxed);
  }
}

void TokenCache::CopyTo(const CachedToken& token, GetAuthTokenRet& ret) {
  ret.accessToken.assign(token.accessToken);
  ret.tokenType.assign(token.tokenType);
  ret.expireTime = token.expireTime;
}

TokenCache::Entry& TokenCache::FindOrMake(const std::string& scope) {
  auto it = m_entries.find(scope);
  if (it != m_entries.end()) {
    return *it->second;
  }
  if (m_entries.size() >= m_maxScopes) {
    auto victim = m_entries.end();
    for (auto e = m_entries.begin(); e != m_entries.end(); ++e) {
      const Entry& c = *e->second;
      if (c.flight) {
        continue;  // its caller will store into it
      }
      if (victim == m_entries.end()) {
        victim = e;
        continue;
      }
      const Entry& v = *victim->second;
      const int64_t cu = c.lastUse.load(std::memory_order_relaxed);
      const int64_t vu = v.lastUse.load(std::memory_order_relaxed);
      if (cu < vu || (cu == vu && c.token.expireTime < v.token.expireTime)) {
        victim = e;
      }
    }
    if (victim != m_entries.end()) {
      m_entries.erase(victim);
    }
  }
  return *m_entries.emplace(scope, std::make_unique<Entry>()).first->second;
}

void TokenCache::ForgetFlightsOfParent() {
  const uint64_t generation = ForkGeneration();
  if (generation == m_generation.load(std::memory_order_relaxed)) {
    return;
  }
  m_generation.store(generation, std::memory_order_relaxed);
  for (auto it = m_entries.begin(); it != m_entries.end();) {
    // The flight's thread is the parent's: its waiters there are not ours,
    // and its outcome never comes here. Left alive (not destroyed): its
    // mutex may be held by that thread.
    if (it->second->flight) {
      new std::shared_ptr<Flight>(std::move(it->second->flight));
    }
    if (!it->second->hasToken) {
      it = m_entries.erase(it);
    } else {
      ++it;
    }
  }
}

CKoError TokenCache::Get(const std::string& scope, Clock clock,
                         const Fetch& fetch, GetAuthTokenRet& ret,
                         GetOutcome* outcome) {
  GetOutcome unused;
  GetOutcome& done = outcome != nullptr ? *outcome : unused;
  done = GetOutcome();
  const int64_t now = clock();
  if (m_generation.load(std::memory_order_relaxed) == ForkGeneration()) {
    std::shared_lock<std::shared_mutex> lock(m_mutex);
    auto it = m_entries.find(scope);
    if (it != m_entries.end()) {
      Entry& e = *it->second;
      if (Fresh(e, now) && !RefreshDue(e, now)) {
        CopyTo(e.token, ret);
        Touch(e, now);
        return CKoError::Success();
      }
    }
  }

  done.slowSince = std::chrono::steady_clock::now();
  std::shared_ptr<Flight> flight;
  bool early = false;
  {
    std::unique_lock<std::shared_mutex> lock(m_mutex);
    ForgetFlightsOfParent();
    Entry& e = FindOrMake(scope);
    Touch(e, now);
    if (Fresh(e, now)) {
      if (!RefreshDue(e, now)) {
        // Served meanwhile, or an early request is already under way.
        CopyTo(e.token, ret);
        return CKoError::Success();
      }
      early = true;
      done.cause = FetchCause::kEarlyRefresh;
    } else {
      done.cause = e.hasToken ? FetchCause::kExpiring : FetchCause::kNoneCached;
      if (e.flight) {
        flight = e.flight;
      }
    }
    if (!flight) {
      e.flight = std::make_shared<Flight>();
      flight = e.flight;
    } else {
      lock.unlock();
      std::unique_lock<std::mutex> wait(flight->mutex);
      flight->done.wait(wait, [&flight] { return flight->finished; });
      if (flight->status.IsError()) {
        return flight->status.Copy();
      }
      CopyTo(flight->token, ret);
      return CKoError::Success();
    }
  }

  FetchedToken fetched;
  CKoError st;
  done.fetched = true;
  // Whatever happens in fetch, the callers waiting on the flight are
  // released and the scope is free for the next request.
  struct Landing {
    TokenCache& cache;
    const std::string& scope;
    const std::shared_ptr<Flight>& flight;
    bool landed = false;
    ~Landing() {
      if (!landed) {
        std::unique_lock<std::shared_mutex> lock(cache.m_mutex);
        auto it = cache.m_entries.find(scope);
        if (it != cache.m_entries.end() && it->second->flight == flight) {
          it->second->flight.reset();
        }
        std::lock_guard<std::mutex> fl(flight->mutex);
        flight->status = FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_OUTOFMEMORY);
        flight->finished = true;
        flight->done.notify_all();
      }
    }
  } landing{*this, scope, flight};
  st = fetch(fetched);

  const int64_t after = clock();
  std::unique_lock<std::shared_mutex> lock(m_mutex);
  Entry& e = FindOrMake(scope);
  if (e.flight == flight) {
    e.flight.reset();
  }
  CKoError result = st;
  if (!st.IsError()) {
    if (!fetched.hasExpiry) {
      fetched.token.expireTime = e.hasToken ? e.token.expireTime : 0;
      fetched.token.refreshTime = 0;
    }
    e.token = fetched.token;
    e.hasToken = true;
    e.nextEarlyAttempt = 0;
    CopyTo(e.token, ret);
  } else if (early) {
    // A throttled endpoint said how long to wait: no early request before.
    e.nextEarlyAttempt =
        after + std::max(kEarlyRetryPauseSeconds, st.GetRetryAfterSeconds());
    if (e.hasToken && e.token.expireTime - kRefreshMarginSeconds > now) {
      // The token this call found is still good: the outage is ridden out.
      CopyTo(e.token, ret);
      result = CKoError::Success();
      done.servedCached = true;
    }
  }
  {
    std::lock_guard<std::mutex> fl(flight->mutex);
    // Waiters came only once the token was stale: an early request that
    // failed is a failure for them.
    flight->status = st.IsError() ? st.Copy() : CKoError::Success();
    if (!st.IsError()) {
      flight->token = e.token;
    }
    flight->finished = true;
    flight->done.notify_all();
  }
  landing.landed = true;
  if (!e.hasToken && !e.flight) {
    m_entries.erase(scope);  // a failure leaves no trace of the scope
  }
  return result;
}

bool TokenCache::Find(const std::string& scope, CachedToken& out) const {
  std::shared_lock<std::shared_mutex> lock(m_mutex);
  auto it = m_entries.find(scope);
  if (it == m_entries.end() || !it->second->hasToken) {
    return false;
  }
  out = it->second->token;
  return true;
}

void TokenCache::Store(const std::string& scope, const CachedToken& token) {
  std::unique_lock<std::shared_mutex> lock(m_mutex);
  Entry& e = FindOrMake(scope);
  e.token = token;
  e.hasToken = true;
  e.nextEarlyAttempt = 0;
}

void TokenCache::Clear() {
  std::unique_lock<std::shared_mutex> lock(m_mutex);
  m_entries.clear();
}

size_t TokenCache::Size() const {
  std::shared_lock<std::shared_mutex> lock(m_mutex);
  return m_entries.size();
}

}  // namespace TQCloudAuth
