#include "internal/net/CaStore.h"

#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "internal/base/ForkGeneration.h"
#include "internal/crypto/OpenSslHandles.h"
#include "internal/io/FileReader.h"
#include "internal/net/CurlHandles.h"
#include "platform/auto_handle.h"

namespace {

constexpr size_t kMaxBundleBytes = 16 * 1024 * 1024;
// Bundles kept parsed at once; a process trusts one or two.
constexpr size_t kMaxCachedBundles = 16;

struct Cached {
  FileIdentity identity;
  std::shared_ptr<const CaStore> store;
  uint64_t lastUse = 0;
};

// The bundles parsed: the process's own (a forked child parses its own).
// Lives as long as the process: TLS connections still open at exit hold
// its stores.
struct Bundles {
  std::mutex mutex;
  std::map<std::string, Cached> cache;  // under mutex
  uint64_t uses = 0;                    // under mutex
};

Bundles& ThisProcessBundles() {
  static auto* bundles = new PerProcess<Bundles>();
  return bundles->Get();
}

}  // namespace

CaStore::~CaStore() { X509_STORE_free(m_store); }

bool CaStore::Get(const std::string& path, std::shared_ptr<const CaStore>& out,
                  std::string& outError) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    Bundles& b = ThisProcessBundles();
    std::lock_guard<std::mutex> lock(b.mutex);
    {
      auto it = b.cache.find(path);
      if (it != b.cache.end() && it->second.identity == FileIdentity::Of(st)) {
        it->second.lastUse = ++b.uses;
        out = it->second.store;
        return true;
      }
    }
  }

  // Read from one descriptor, so that the identity kept is that of the
  // bytes parsed even when the file changes meanwhile.
  FileBytes bytes;
  FileReadError error;
  FileIdentity identity;
  if (!ReadWholeFile(path, FileLinks::kFollow, kMaxBundleBytes, bytes, error,
                     &identity)) {
    outError = error.Describe(path);
    return false;
  }
  if (bytes.empty()) {
    outError = path + " is empty: no certificate in it";
    return false;
  }

  ErrorQueueScope errors;
  X509StorePtr store(X509_STORE_new());
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!store || !bio) {
    outError = "out of memory";
    return false;
  }
  int count = 0;
  // PEM_read_bio_X509_AUX reads "CERTIFICATE" and "TRUSTED CERTIFICATE"
  // blocks alike and skips text between them.
  while (X509Ptr cert{
      PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr)}) {
    if (X509_STORE_add_cert(store.get(), cert.get()) == 1) {
      ++count;
    }
  }
  if (count == 0) {
    outError = "no certificate in " + path;
    return false;
  }
  // An intermediate in the bundle is a trust anchor of its own, as libcurl
  // treats a CA file.
  X509_STORE_set_flags(store.get(),
                       X509_V_FLAG_PARTIAL_CHAIN | X509_V_FLAG_TRUSTED_FIRST);

  std::shared_ptr<CaStore> made(new CaStore());
  made->m_store = store.release();
  made->m_path = path;
  made->m_count = count;

  Bundles& b = ThisProcessBundles();
  std::lock_guard<std::mutex> lock(b.mutex);
  std::map<std::string, Cached>* const cache = &b.cache;
  auto same = cache->find(path);
  if (same != cache->end() && same->second.identity == identity) {
    // Another thread parsed the same version meanwhile: one store per
    // version, so that connections grouped by store stay together.
    same->second.lastUse = ++b.uses;
    out = same->second.store;
    return true;
  }
  if (cache->size() >= kMaxCachedBundles && cache->count(path) == 0) {
    auto oldest = cache->begin();
    for (auto it = cache->begin(); it != cache->end(); ++it) {
      if (it->second.lastUse < oldest->second.lastUse) {
        oldest = it;
      }
    }
    cache->erase(oldest);
  }
  Cached& slot = (*cache)[path];
  slot.identity = identity;
  slot.store = made;
  slot.lastUse = ++b.uses;
  out = std::move(made);
  return true;
}

const std::string& CaStore::SystemBundle() {
  static const std::string path = [] {
    // Debian's libcurl also names a CA folder; the bundle alone is the
    // system store, parsed once instead of looked up file by file.
    CurlPtr curl(curl_easy_init());
    char* builtIn = nullptr;
    if (curl &&
        curl_easy_getinfo(curl.get(), CURLINFO_CAINFO, &builtIn) == CURLE_OK &&
        builtIn != nullptr && builtIn[0] != '\0') {
      return std::string(builtIn);
    }
    return std::string(X509_get_default_cert_file());
  }();
  return path;
}
