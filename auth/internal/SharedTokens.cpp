#include "auth/internal/SharedTokens.h"

#include <openssl/rand.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "internal/base/ForkGeneration.h"
#include "internal/base/SteadyClock.h"
#include "internal/cache/ThrottleGate.h"
#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "platform/internal/HomeTokenStore.h"
#include "platform/internal/PgStore.h"
#include "util/Base64Codec.h"

using TQCloudAuth::FetchedToken;

namespace {

// The longest plain entry opened: a token of the identity platform is a
// few KiB.
constexpr size_t kMaxPlainBytes = 32 * 1024;
constexpr char kFormat[] = "tq1";

std::string Sha256Hex(const std::string& text) {
  unsigned char md[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), md);
  return HexEncode(md, SHA256_DIGEST_LENGTH);
}

// This process among the sharers: host, pid and a random part (a pid is
// reused, and a forked child is another sharer); each call adds its number.
struct Owner {
  std::string id;
  Owner() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    unsigned char random[8] = {};
    RAND_bytes(random, sizeof random);
    id = std::string(host) + ":" + std::to_string(::getpid()) + ":" +
         HexEncode(random, sizeof random);
  }
};

const std::string& OwnerId() {
  static auto* owner = new PerProcess<Owner>();
  return owner->Get().id;
}

int64_t WallMs() { return ThrottleGate::NowMs(); }

// Splits text at its first n - 1 line breaks into n parts; false when it
// has fewer.
bool SplitLines(const std::string& text, size_t n,
                std::vector<std::string>& out) {
  out.clear();
  size_t start = 0;
  for (size_t i = 0; i + 1 < n; ++i) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      return false;
    }
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  out.push_back(text.substr(start));
  return true;
}

}  // namespace

std::shared_ptr<SharedTokens> SharedTokens::For(
    TokenSharing sharing, const std::string& homePath,
    const std::string& databaseUrl) {
  if (sharing == TokenSharing::kOff) {
    return nullptr;
  }
  static auto* registry = new PerProcessRegistry<SharedTokens>();
  const bool home = sharing == TokenSharing::kHome;
  return registry->Find(
      home ? "home\n" + homePath : "database\n" + databaseUrl, [&] {
        std::shared_ptr<SharedTokenStore> store;
        if (home) {
          store = HomeTokenStore::ForHome(homePath);
        } else {
          store = PgTokenStore::ForUrl(databaseUrl);
        }
        return std::make_shared<SharedTokens>(std::move(store));
      });
}

SharedTokens::SharedTokens(std::shared_ptr<SharedTokenStore> store)
    : m_store(std::move(store)) {}

bool SharedTokens::Down() {
  return SteadyMs() < m_downUntilMs.load(std::memory_order_relaxed);
}

void SharedTokens::MarkDown(const CKoError& failure) {
  m_downUntilMs.store(SteadyMs() + kDownMs, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(m_warnMutex);
  if (!m_warned) {
    m_warned = true;
    m_event.DebugLvl("SharedTokens", EvDebug::kWarning,
                     "Warning: shared token store %s unusable (%s, reason "
                     "%s): each process asks the endpoint alone, and the "
                     "store is tried again in %lld s",
                     m_store->Name().c_str(), failure.GetMessage().c_str(),
                     TqFailureReasonName(failure.GetReason()),
                     static_cast<long long>(kDownMs / 1000));
  }
}

bool SharedTokens::Seal(const std::string& key, const FetchedToken& token,
                        SharedTokenStore::Entry& out) const {
  std::string plain = std::string(kFormat) + "\n" + key + "\n" +
                      std::to_string(token.token.expireTime) + "\n" +
                      std::to_string(token.token.refreshTime) + "\n" +
                      token.token.tokenType + "\n" + token.token.accessToken;
  StringWipeGuard wipe(plain);
  TQPassword passwords;
  if (!passwords.encrypt(plain, out.value)) {
    return false;
  }
  out.expiresAt = token.token.expireTime;
  out.refreshAt = token.token.refreshTime;
  return true;
}

bool SharedTokens::Open(const std::string& key,
                        const SharedTokenStore::Entry& entry,
                        FetchedToken& out) const {
  std::string plain(kMaxPlainBytes + 1, '\0');
  StringWipeGuard wipe(plain);
  unsigned long length = kMaxPlainBytes;
  TQPassword passwords;
  if (!passwords.decrypt(entry.value.c_str(), plain.data(), &length)) {
    return false;
  }
  plain.resize(length);
  std::vector<std::string> parts;
  struct WipeParts {
    std::vector<std::string>& p;
    ~WipeParts() {
      for (std::string& s : p) {
        WipeString(s);
      }
    }
  } wipeParts{parts};
  // The value must be this entry's, with the times its row says: a value
  // moved from another row is refused.
  if (!SplitLines(plain, 6, parts) || parts[0] != kFormat || parts[1] != key ||
      parts[2] != std::to_string(entry.expiresAt) ||
      parts[3] != std::to_string(entry.refreshAt) || parts[5].empty()) {
    return false;
  }
  out.token.tokenType = parts[4];
  out.token.accessToken = parts[5];
  out.token.expireTime = entry.expiresAt;
  out.token.refreshTime = entry.refreshAt;
  out.hasExpiry = true;
  return true;
}

CKoError SharedTokens::Fetch(const std::string& credentialKey,
                             const std::string& scope, int64_t have,
                             int64_t waitMs, int64_t nowSeconds,
                             const Request& request, FetchedToken& out,
                             Source& source) {
  source = Source::kAlone;
  if (Down()) {
    return request(out);
  }
  const std::string key = Sha256Hex("token\n" + credentialKey + "\n" + scope);
  const std::string waitKey = Sha256Hex("wait\n" + credentialKey);
  // Each call is its own holder: threads of one process wait for each
  // other as processes do.
  static std::atomic<uint64_t> calls{0};
  const std::string owner = OwnerId() + ":" + std::to_string(++calls);
  const int64_t deadline = SteadyMs() + waitMs;
  const int64_t skewFree = nowSeconds - WallMs() / 1000;  // caller's clock
  for (;;) {
    const int64_t now = WallMs() / 1000 + skewFree;
    // A stored token is taken when it is newer than the caller's own and
    // would still be served by its cache.
    const auto take = [&](const SharedTokenStore::Entry& entry) {
      return entry.expiresAt > have &&
             entry.expiresAt - now >
                 TQCloudAuth::TokenCache::kRefreshMarginSeconds &&
             Open(key, entry, out);
    };
    SharedTokenStore::Entry entry;
    bool found = false;
    CKoError st = m_store->Get(key, now, entry, found);
    if (st.IsError()) {
      MarkDown(st);
      return request(out);
    }
    if (found && take(entry)) {
      source = Source::kShared;
      return CKoError::Success();
    }
    int64_t waitUntil = 0;
    st = m_store->WaitUntil(waitKey, waitUntil);
    if (st.IsError()) {
      MarkDown(st);
      return request(out);
    }
    if (waitUntil > WallMs()) {
      // The endpoint asked a sharer to wait: the request is refused here
      // at once, as if this process had been told.
      ThrottleGate::Hold(credentialKey, waitUntil);
      source = Source::kEndpoint;
      return request(out);
    }
    bool leased = false;
    st = m_store->TryLease(key, owner, WallMs(), WallMs() + kLeaseMs, leased);
    if (st.IsError()) {
      MarkDown(st);
      return request(out);
    }
    if (leased) {
      // The previous holder may have stored its token and let go between
      // the look above and this lease: look once more before asking.
      found = false;
      st = m_store->Get(key, WallMs() / 1000 + skewFree, entry, found);
      if (!st.IsError() && found && take(entry)) {
        // A lease left behind runs out by itself.
        static_cast<void>(m_store->Release(key, owner));
        source = Source::kShared;
        return CKoError::Success();
      }
      break;
    }
    if (SteadyMs() >= deadline) {
      // The holder's answer did not come in time: this one asks itself.
      source = Source::kEndpoint;
      return request(out);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }

  source = Source::kEndpoint;
  CKoError result = request(out);
  CKoError st;
  if (!result.IsError() && out.hasExpiry && out.token.expireTime > 0) {
    SharedTokenStore::Entry entry;
    if (Seal(key, out, entry)) {
      st = m_store->Put(key, entry, WallMs() / 1000);
    }
  } else if (result.GetReason() == TqFailureReason::kThrottled) {
    const int64_t seconds = result.GetRetryAfterSeconds() > 0
                                ? result.GetRetryAfterSeconds()
                                : ThrottleGate::kDefaultWaitSeconds;
    st = m_store->Hold(waitKey, WallMs() + seconds * 1000);
  }
  if (!st.IsError()) {
    st = m_store->Release(key, owner);
  }
  if (st.IsError()) {
    MarkDown(st);
  } else {
    std::lock_guard<std::mutex> lock(m_warnMutex);
    m_warned = false;  // a later outage is worth a warning again
  }
  return result;
}
