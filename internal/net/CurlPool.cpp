#include "internal/net/CurlPool.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "internal/base/ForkGeneration.h"
#include "internal/net/CurlHandles.h"
#include "platform/SecureMemory.h"

namespace {

// Idle handles kept per group and in all: enough for the requests a
// process makes at once, few enough that idle connections stay bounded.
constexpr size_t kMaxIdlePerGroup = 8;
constexpr size_t kMaxIdle = 16;
// Connections one handle keeps (several endpoints may be asked in turn).
constexpr long kMaxConnectsPerHandle = 4;

// The group key: what sets connections apart. The proxy credentials enter
// as a digest, so the key holds no secret.
std::string KeyOf(const CurlConnectionSettings& s) {
  unsigned char digest[EVP_MAX_MD_SIZE] = {};
  unsigned int length = 0;
  std::string credentials = "-";
  if (!s.proxyUserPassword.empty() &&
      EVP_Digest(s.proxyUserPassword.data(), s.proxyUserPassword.size(), digest,
                 &length, EVP_sha256(), nullptr) == 1) {
    credentials.clear();
    for (unsigned int i = 0; i < length; ++i) {
      char hex[3];
      std::snprintf(hex, sizeof hex, "%02x", digest[i]);
      credentials += hex;
    }
  }
  char ca[2 * sizeof(void*) + 3];
  std::snprintf(ca, sizeof ca, "%p", static_cast<const void*>(s.ca.get()));
  return std::string(ca) + '\n' + s.proxy + '\n' + std::to_string(s.proxyType) +
         '\n' + credentials;
}

// Hands every new TLS connection of a group the group's parsed CA store;
// libcurl itself loads no CA file or folder.
CURLcode UseCaStore(CURL* /*curl*/, void* sslCtx, void* userdata) {
  const auto* ca = static_cast<const CaStore*>(userdata);
  if (ca == nullptr || X509_STORE_up_ref(ca->store()) != 1) {
    return CURLE_SSL_CACERT_BADFILE;
  }
  SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
  SSL_CTX_set_cert_store(ctx, ca->store());
  // Records once read are wiped: a reply's token does not stay in the
  // connection's buffer; idle connections give their buffers back.
  SSL_CTX_set_options(ctx, SSL_OP_CLEANSE_PLAINTEXT);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  return CURLE_OK;
}

}  // namespace

CurlConnectionSettings::~CurlConnectionSettings() {
  WipeString(proxyUserPassword);
}

// The handles of one set of connection settings and what they share.
class CurlPoolGroup {
 public:
  CurlPoolGroup(std::string key, const CurlConnectionSettings& settings)
      : m_key(std::move(key)), m_settings(settings) {}

  // Idle handles go before the share they use.
  ~CurlPoolGroup() {
    idle.clear();
    m_share.reset();
  }

  bool MakeShare() {
    CurlSharePtr share(curl_share_init());
    if (!share) {
      return false;
    }
    bool ok = true;
    auto set = [&ok](CURLSHcode rc) { ok = ok && rc == CURLSHE_OK; };
    set(curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, &Lock));
    set(curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, &Unlock));
    set(curl_share_setopt(share.get(), CURLSHOPT_USERDATA, this));
    set(curl_share_setopt(share.get(), CURLSHOPT_SHARE,
                          CURL_LOCK_DATA_SSL_SESSION));
    set(curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS));
    if (ok) {
      m_share = std::move(share);
    }
    return ok;
  }

  // A new handle with this group's connection settings.
  CurlPtr MakeHandle() {
    CurlPtr curl(curl_easy_init());
    if (!curl) {
      return nullptr;
    }
    CURL* h = curl.get();
    bool ok = true;
    auto set = [&ok](CURLcode rc) { ok = ok && rc == CURLE_OK; };
    set(curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "https"));
    set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L));
    set(curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYPEER, 1L));
    set(curl_easy_setopt(h, CURLOPT_PROXY_SSL_VERIFYHOST, 2L));
    set(curl_easy_setopt(h, CURLOPT_SSLVERSION,
                         static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    // HTTP/1.1: the request and reply pass only through buffers libcurl
    // allocates (and wipes, internal/net/CurlMemory.h), none of an HTTP/2
    // library's.
    set(curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                         static_cast<long>(CURL_HTTP_VERSION_1_1)));
    // No CA file or folder of libcurl's own: the group's store is the only
    // trust (UseCaStore).
    set(curl_easy_setopt(h, CURLOPT_CAINFO, nullptr));
    set(curl_easy_setopt(h, CURLOPT_CAPATH, nullptr));
    set(curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &UseCaStore));
    set(curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA,
                         const_cast<CaStore*>(m_settings.ca.get())));
    // An empty proxy text makes libcurl ignore http_proxy and friends, an
    // empty no-proxy list NO_PROXY/no_proxy: only the configuration decides.
    set(curl_easy_setopt(h, CURLOPT_PROXY, m_settings.proxy.c_str()));
    set(curl_easy_setopt(h, CURLOPT_NOPROXY, ""));
    if (!m_settings.proxy.empty()) {
      set(curl_easy_setopt(h, CURLOPT_PROXYTYPE, m_settings.proxyType));
      if (!m_settings.proxyUserPassword.empty()) {
        set(curl_easy_setopt(h, CURLOPT_PROXYUSERPWD,
                             m_settings.proxyUserPassword.c_str()));
      }
    }
    set(curl_easy_setopt(h, CURLOPT_SHARE, m_share.get()));
    set(curl_easy_setopt(h, CURLOPT_TCP_KEEPALIVE, 1L));
    set(curl_easy_setopt(h, CURLOPT_MAXCONNECTS, kMaxConnectsPerHandle));
    set(curl_easy_setopt(h, CURLOPT_USERAGENT, "tqcloudauth/1.0"));
    return ok ? std::move(curl) : nullptr;
  }

  const std::string& key() const { return m_key; }

  // Under the pool's mutex.
  std::vector<CurlPtr> idle;
  size_t leased = 0;
  uint64_t lastUse = 0;

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CurlPoolGroup*>(self)->m_locks[Index(data)].lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CurlPoolGroup*>(self)->m_locks[Index(data)].unlock();
  }
  static size_t Index(curl_lock_data data) {
    const auto i = static_cast<size_t>(data);
    return i < CURL_LOCK_DATA_LAST ? i : 0;
  }

  std::string m_key;
  CurlConnectionSettings m_settings;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> m_locks;
  CurlSharePtr m_share;
};

namespace {

class CurlPool {
 public:
  // The process's pool. A forked child gets a pool of its own: it never
  // uses, nor closes, the parent's connections and TLS sessions. Never
  // destroyed: handles may still be returned while the process exits, and
  // libcurl may already be cleaned up by then.
  static CurlPool& Instance() {
    static auto* pool = new PerProcess<CurlPool>();
    return pool->Get();
  }

  std::shared_ptr<CurlPoolGroup> Take(const CurlConnectionSettings& settings,
                                      CurlPtr& outHandle) {
    const std::string key = KeyOf(settings);
    std::shared_ptr<CurlPoolGroup> group;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      auto it = m_groups.find(key);
      if (it != m_groups.end()) {
        group = it->second;
        group->lastUse = ++m_uses;
        if (!group->idle.empty()) {
          // The most recently used handle: its connection is the warmest.
          outHandle = std::move(group->idle.back());
          group->idle.pop_back();
          --m_idle;
        }
        ++group->leased;
      }
    }
    if (!group) {
      auto made = std::make_shared<CurlPoolGroup>(key, settings);
      if (!made->MakeShare()) {
        return nullptr;
      }
      std::lock_guard<std::mutex> lock(m_mutex);
      auto inserted = m_groups.emplace(key, made);
      group = inserted.first->second;  // another thread may have won
      group->lastUse = ++m_uses;
      ++group->leased;
    }
    if (!outHandle) {
      outHandle = group->MakeHandle();
      if (!outHandle) {
        Give(group, nullptr);
        return nullptr;
      }
    }
    return group;
  }

  // Returns handle (may be null) to group; closes what the pool does not
  // keep, outside the lock.
  void Give(const std::shared_ptr<CurlPoolGroup>& group, CurlPtr handle) {
    std::vector<CurlPtr> closing;
    std::vector<std::shared_ptr<CurlPoolGroup>> dropped;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      --group->leased;
      if (handle) {
        if (group->idle.size() < kMaxIdlePerGroup) {
          group->idle.push_back(std::move(handle));
          ++m_idle;
        } else {
          closing.push_back(std::move(handle));
        }
      }
      // Beyond the overall bound, the least recently used group gives up
      // its oldest idle handle.
      while (m_idle > kMaxIdle) {
        CurlPoolGroup* oldest = nullptr;
        for (auto& entry : m_groups) {
          CurlPoolGroup* g = entry.second.get();
          if (!g->idle.empty() &&
              (oldest == nullptr || g->lastUse < oldest->lastUse)) {
            oldest = g;
          }
        }
        closing.push_back(std::move(oldest->idle.front()));
        oldest->idle.erase(oldest->idle.begin());
        --m_idle;
      }
      for (auto it = m_groups.begin(); it != m_groups.end();) {
        if (it->second->idle.empty() && it->second->leased == 0) {
          dropped.push_back(std::move(it->second));
          it = m_groups.erase(it);
        } else {
          ++it;
        }
      }
    }
    closing.clear();  // handles before the groups that hold their shares
    dropped.clear();
  }

  size_t IdleHandles() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_idle;
  }

 private:
  std::mutex m_mutex;
  std::unordered_map<std::string, std::shared_ptr<CurlPoolGroup>> m_groups;
  size_t m_idle = 0;
  uint64_t m_uses = 0;
};

}  // namespace

CurlLease::~CurlLease() { Release(); }

bool CurlLease::Acquire(const CurlConnectionSettings& settings) {
  Release();
  if (!settings.ca) {
    return false;
  }
  CurlPtr handle;
  m_group = CurlPool::Instance().Take(settings, handle);
  if (!m_group) {
    return false;
  }
  m_curl = handle.release();
  return true;
}

void CurlLease::Release() noexcept {
  if (!m_group) {
    return;
  }
  CurlPtr handle(m_curl);
  m_curl = nullptr;
  // Nothing of the last request may outlive it in the handle: its pointer
  // options name the holder's memory.
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, nullptr);
  curl_easy_setopt(h, CURLOPT_DEBUGDATA, nullptr);
  curl_easy_setopt(h, CURLOPT_DEBUGFUNCTION, nullptr);
  curl_easy_setopt(h, CURLOPT_VERBOSE, 0L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);
  std::shared_ptr<CurlPoolGroup> group = std::move(m_group);
  CurlPool::Instance().Give(group, std::move(handle));
}

size_t CurlPoolIdleHandles() { return CurlPool::Instance().IdleHandles(); }
