// Many providers in one process, the way a product holds them: one per
// stored credential, each asking for its own token, against the local token
// endpoint over HTTPS on loopback, with a CA bundle the size of the system
// store (/etc/ssl/certs/ca-certificates.crt plus the endpoint's CA) as every
// real deployment has. Rows:
//  - Token_KeptAlive: one provider, every call a request on its kept-alive
//    connection (the reference the fleet rows are compared with);
//  - Peer_RawCurl_KeptAlive: the same request from one reused libcurl easy
//    handle trusting the same bundle (CURLOPT_CAINFO), its reply parsed;
//  - Peer_RawCurlEvp_KeptAlive: the same, the secret decrypted first from its
//    stored form with the key file and EVP's AES-256-GCM, as the provider
//    does: what a caller of libcurl and OpenSSL would write instead;
//  - Token_NewConnection: every call a request on a new TLS connection (the
//    client forbids reuse: the endpoint keeps connections open);
//  - Fleet_NewProvider: one iteration = a new provider, Init and its first
//    token; the providers stay alive in batches of 100, as a fleet does.
//    "conns" is the endpoint's new connections per batch;
//  - Fleet_NewProviderFromStore: the same through the factory, the
//    credential read from the credential store as a component reads it;
//  - Fleet_Memory: heap and resident memory that 100 providers holding a
//    token each add over one;
//  - CacheHit_64Scopes: a hit on a provider holding 64 scopes, on one thread
//    and on 8 threads at once (per-hit CPU = CPU time / threads).
// CPU columns are the calling thread's own: the endpoint runs in this
// process on other threads and signs every token with RSA.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <malloc.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "internal/net/CurlHandles.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tools/idp/IdpServer.h"
#include "tools/pki/Pki.h"
#include "util/UrlCodec.h"

namespace {

constexpr char kSecret[] = "bench-secret~with+/=&chars";
constexpr char kSystemBundle[] = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kFleetSize = 100;
constexpr int kScopes = 64;
// Every call misses (fewer than 240 s of life) / every call hits.
constexpr long kMissExpiresIn = 100;
constexpr long kHitExpiresIn = 3599;

struct World {
  std::string home;
  std::string bundleFile;
  tqpki::ServerPki pki;
  std::unique_ptr<tqidp::IdpServer> idp;
  std::string storedSecret;
  int bundleCertificates = 0;
};
std::unique_ptr<World> g_world;

void StoreCredential(int assocId);

void SetUpWorld() {
  g_world = std::make_unique<World>();
  World* w = g_world.get();
  char name[] = "/tmp/tqfleetbench.XXXXXX";
  if (::mkdtemp(name) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  w->home = name;
  ::setenv("TQ_HOME", name, 1);
  w->pki = tqpki::GenerateServerPki(w->home);
  std::string bundle = tqpki::ReadFile(kSystemBundle);
  if (bundle.empty()) {
    std::fprintf(stderr,
                 "fleet_bench: %s missing; the CA bundle is the "
                 "endpoint's CA alone\n",
                 kSystemBundle);
  }
  bundle += "\n" + tqpki::ReadFile(w->pki.caFile);
  for (size_t at = bundle.find("BEGIN CERTIFICATE"); at != std::string::npos;
       at = bundle.find("BEGIN CERTIFICATE", at + 1)) {
    ++w->bundleCertificates;
  }
  const std::string bundleFile = w->home + "/bundle.pem";
  w->bundleFile = bundleFile;
  tqpki::WriteFile(bundleFile, bundle);
  tqpki::WriteFile(w->home + "/tqcloudauth.ini",
                   "[Http]\nCAFile=" + bundleFile +
                       "\nConnectTimeoutSeconds=5\nTimeoutSeconds=5\n");

  tqidp::IdpOptions options;
  options.certFile = w->pki.certFile;
  options.keyFile = w->pki.keyFile;
  w->idp = std::make_unique<tqidp::IdpServer>(options);
  w->idp->AddApplication({"tenant-1", "client-1", kSecret, ""});
  std::string error;
  if (!w->idp->Start(error)) {
    throw std::runtime_error("cannot start the endpoint: " + error);
  }
  if (!TQPassword().encrypt(kSecret, w->storedSecret)) {
    throw std::runtime_error("cannot encrypt the stored secret");
  }
  // Stored long before it is read, as in a product that runs.
  StoreCredential(1);
}

// Stores the secret credential as assocId, for the factory.
void StoreCredential(int assocId) {
  tqtest::AzureCredential c;
  c.loginEndpoint = g_world->idp->LoginEndpoint();
  c.storedPassword = g_world->storedSecret;
  StoredCredential row;
  row.assocId = assocId;
  row.credentialType = 4;
  row.password = c.storedPassword;
  row.additionalInfo = tqtest::AdditionalInfoFor(tqtest::MakeAzureArgs(c));
  if (!CredentialMgrHelper().addCredential(row, true)) {
    throw std::runtime_error("cannot store the credential");
  }
}

void TearDownWorld() {
  if (!g_world) {
    return;
  }
  if (g_world->idp) {
    g_world->idp->Stop();
  }
  std::error_code ec;
  std::filesystem::remove_all(g_world->home, ec);
  g_world.reset();
}

TQCloudAuth::AzureArgs SecretArgs() {
  tqtest::AzureCredential c;
  c.loginEndpoint = g_world->idp->LoginEndpoint();
  c.storedPassword = g_world->storedSecret;
  return tqtest::MakeAzureArgs(c);
}

std::string ScopeFor(int i) {
  return "https://resource-" + std::to_string(i) + ".example/.default";
}

TQCloudAuth::GetAuthTokenArgs ArgsFor(const std::string& scope) {
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = scope;
  return args;
}

// A provider whose client never reuses a connection.
class NoReuseProvider : public TQCloudAuthAzureLib {
 public:
  bool ForbidReuse() {
    return curl &&
           curl->TQLibCurlInit("application/json", false, true, nullptr);
  }
};

// Runs one token request per iteration on lib; reports the endpoint's new
// connections per request.
void RunMisses(benchmark::State& state, TQCloudAuthLib& lib) {
  g_world->idp->SetExpiresIn(kMissExpiresIn);
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(ScopeFor(0));
  TQCloudAuth::GetAuthTokenRet ret;
  CKoError st = lib.getAuthToken(&args, &ret);  // warms the connection
  if (st.IsError()) {
    state.SkipWithError(st.ToString().c_str());
    return;
  }
  const size_t connections = g_world->idp->ConnectionCount();
  for (auto _ : state) {
    st = lib.getAuthToken(&args, &ret);
    if (st.IsError()) {
      state.SkipWithError(st.ToString().c_str());
      break;
    }
    benchmark::DoNotOptimize(ret.accessToken.data());
  }
  state.counters["conns_per_token"] = benchmark::Counter(
      static_cast<double>(g_world->idp->ConnectionCount() - connections),
      benchmark::Counter::kAvgIterations);
  state.counters["ca_certs"] = g_world->bundleCertificates;
}

void BM_Token_KeptAlive(benchmark::State& state) {
  TQCloudAuthAzureLib lib;
  const CKoError st = lib.Init(SecretArgs());
  if (st.IsError()) {
    state.SkipWithError(st.ToString().c_str());
    return;
  }
  RunMisses(state, lib);
}
BENCHMARK(BM_Token_KeptAlive)->UseRealTime();

size_t AppendReply(char* data, size_t size, size_t count, void* userdata) {
  static_cast<std::string*>(userdata)->append(data, size * count);
  return size * count;
}

// The stored secret decrypted as a caller of OpenSSL would: the key file
// read, AES-256-GCM over the Base64 blob after "ENC1:".
bool DecryptWithEvp(const std::string& stored, std::string& outSecret) {
  const std::string key = tqpki::ReadFile(g_world->home + "/secret.key");
  const std::string b64 = stored.substr(5);
  std::string blob(b64.size(), '\0');
  const int n =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(blob.data()),
                      reinterpret_cast<const unsigned char*>(b64.data()),
                      static_cast<int>(b64.size()));
  if (key.size() != 32 || n < 28) {
    return false;
  }
  blob.resize(static_cast<size_t>(n) -
              (b64.size() - b64.find_last_not_of('=') - 1));
  const size_t cipherSize = blob.size() - 12 - 16;
  auto* iv = reinterpret_cast<unsigned char*>(blob.data());
  outSecret.assign(cipherSize, '\0');
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int len = 0;
  const unsigned char aad[] = {'E', 'N', 'C', '1'};
  const bool ok =
      EVP_DecryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr,
                         reinterpret_cast<const unsigned char*>(key.data()),
                         iv) == 1 &&
      EVP_DecryptUpdate(ctx, nullptr, &len, aad, sizeof aad) == 1 &&
      EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char*>(outSecret.data()),
                        &len, iv + 12, static_cast<int>(cipherSize)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16,
                          iv + 12 + cipherSize) == 1 &&
      EVP_DecryptFinal_ex(ctx, nullptr, &len) == 1;
  EVP_CIPHER_CTX_free(ctx);
  return ok;
}

void PeerKeptAlive(benchmark::State& state, bool decrypt) {
  g_world->idp->SetExpiresIn(kMissExpiresIn);
  const std::string url =
      g_world->idp->LoginEndpoint() + "tenant-1/oauth2/v2.0/token";
  const std::string start =
      "client_id=client-1&scope=" + urlEncode(ScopeFor(0)) +
      "&grant_type=client_credentials&client_secret=";
  std::string body = start + urlEncode(std::string(kSecret));
  CurlPtr curl(curl_easy_init());
  SlistPtr headers(curl_slist_append(
      nullptr, "Content-Type: application/x-www-form-urlencoded"));
  std::string reply;
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_CAINFO, g_world->bundleFile.c_str());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendReply);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply);
  auto post = [&] {
    if (decrypt) {
      std::string secret;
      if (!DecryptWithEvp(g_world->storedSecret, secret)) {
        return false;
      }
      body = start + urlEncode(secret);
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    }
    reply.clear();
    long status = 0;
    if (curl_easy_perform(h) != CURLE_OK ||
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status != 200) {
      return false;
    }
    const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
    return parsed.is_object() && parsed.contains("access_token") &&
           parsed.contains("expires_in");
  };
  if (!post()) {
    state.SkipWithError("raw request failed");
    return;
  }
  for (auto _ : state) {
    if (!post()) {
      state.SkipWithError("raw request failed");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
  }
}
void BM_Peer_RawCurl_KeptAlive(benchmark::State& state) {
  PeerKeptAlive(state, false);
}
BENCHMARK(BM_Peer_RawCurl_KeptAlive)->UseRealTime();

void BM_Peer_RawCurlEvp_KeptAlive(benchmark::State& state) {
  PeerKeptAlive(state, true);
}
BENCHMARK(BM_Peer_RawCurlEvp_KeptAlive)->UseRealTime();

void BM_Token_NewConnection(benchmark::State& state) {
  NoReuseProvider lib;
  const CKoError st = lib.Init(SecretArgs());
  if (st.IsError() || !lib.ForbidReuse()) {
    state.SkipWithError(("Init failed: " + st.ToString()).c_str());
    return;
  }
  RunMisses(state, lib);
}
BENCHMARK(BM_Token_NewConnection)->UseRealTime();

// Init alone: the part of a new provider's cost that is not its request.
void BM_Provider_Init(benchmark::State& state) {
  const TQCloudAuth::AzureArgs azureArgs = SecretArgs();
  for (auto _ : state) {
    TQCloudAuthAzureLib lib;
    const CKoError st = lib.Init(azureArgs);
    if (st.IsError()) {
      state.SkipWithError(st.ToString().c_str());
      break;
    }
  }
}
BENCHMARK(BM_Provider_Init);

void BM_Fleet_NewProvider(benchmark::State& state) {
  g_world->idp->SetExpiresIn(kHitExpiresIn);
  const TQCloudAuth::AzureArgs azureArgs = SecretArgs();
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(ScopeFor(0));
  std::vector<std::unique_ptr<TQCloudAuthAzureLib>> fleet;
  fleet.reserve(kFleetSize);
  {
    // As in a process that has run a while: the bundle parsed, a
    // connection open.
    TQCloudAuthAzureLib warm;
    TQCloudAuth::GetAuthTokenRet ret;
    if (warm.Init(azureArgs).IsError() ||
        warm.getAuthToken(&args, &ret).IsError()) {
      state.SkipWithError("warm-up failed");
      return;
    }
  }
  const size_t connections = g_world->idp->ConnectionCount();
  long failures = 0;
  long batches = 0;
  for (auto _ : state) {
    if (fleet.size() == static_cast<size_t>(kFleetSize)) {
      fleet.clear();
    }
    if (fleet.empty()) {
      ++batches;
    }
    auto lib = std::make_unique<TQCloudAuthAzureLib>();
    TQCloudAuth::GetAuthTokenRet ret;
    CKoError st = lib->Init(azureArgs);
    if (!st.IsError()) {
      st = lib->getAuthToken(&args, &ret);
    }
    failures += st.IsError() ? 1 : 0;
    benchmark::DoNotOptimize(ret.accessToken.data());
    fleet.push_back(std::move(lib));
  }
  state.counters["conns_per_batch"] =
      static_cast<double>(g_world->idp->ConnectionCount() - connections) /
      static_cast<double>(batches > 0 ? batches : 1);
  state.counters["failed"] = static_cast<double>(failures);
  state.counters["ca_certs"] = g_world->bundleCertificates;
}
BENCHMARK(BM_Fleet_NewProvider)->UseRealTime()->Iterations(3 * kFleetSize);

void BM_Fleet_NewProviderFromStore(benchmark::State& state) {
  g_world->idp->SetExpiresIn(kHitExpiresIn);
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(ScopeFor(0));
  std::vector<std::unique_ptr<TQCloudAuthLib>> fleet;
  fleet.reserve(kFleetSize);
  auto make = [&]() -> std::unique_ptr<TQCloudAuthLib> {
    TQCloudAuthLib* raw = nullptr;
    CKoError st = TQCloudAuthLib::getTQCloudAuthLibInstance(1, 0, false, raw);
    std::unique_ptr<TQCloudAuthLib> lib(raw);
    TQCloudAuth::GetAuthTokenRet ret;
    if (!st.IsError()) {
      st = lib->getAuthToken(&args, &ret);
    }
    benchmark::DoNotOptimize(ret.accessToken.data());
    return st.IsError() ? nullptr : std::move(lib);
  };
  if (!make()) {  // the store opened, the bundle parsed, a connection open
    state.SkipWithError("warm-up failed");
    return;
  }
  long failures = 0;
  for (auto _ : state) {
    if (fleet.size() == static_cast<size_t>(kFleetSize)) {
      fleet.clear();
    }
    std::unique_ptr<TQCloudAuthLib> lib = make();
    failures += lib ? 0 : 1;
    fleet.push_back(std::move(lib));
  }
  state.counters["failed"] = static_cast<double>(failures);
}
BENCHMARK(BM_Fleet_NewProviderFromStore)
    ->UseRealTime()
    ->Iterations(3 * kFleetSize);

size_t HeapInUse() { return mallinfo2().uordblks; }

size_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  size_t pages = 0;
  size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

void BM_Fleet_Memory(benchmark::State& state) {
  g_world->idp->SetExpiresIn(kHitExpiresIn);
  const TQCloudAuth::AzureArgs azureArgs = SecretArgs();
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(ScopeFor(0));
  auto ready = [&](std::vector<std::unique_ptr<TQCloudAuthAzureLib>>& out) {
    auto lib = std::make_unique<TQCloudAuthAzureLib>();
    TQCloudAuth::GetAuthTokenRet ret;
    CKoError st = lib->Init(azureArgs);
    if (!st.IsError()) {
      st = lib->getAuthToken(&args, &ret);
    }
    out.push_back(std::move(lib));
    return !st.IsError();
  };
  for (auto _ : state) {
    std::vector<std::unique_ptr<TQCloudAuthAzureLib>> fleet;
    bool ok = ready(fleet);
    malloc_trim(0);
    const size_t heapOne = HeapInUse();
    const size_t rssOne = ResidentBytes();
    for (int i = 1; i < kFleetSize; ++i) {
      ok = ready(fleet) && ok;
    }
    const size_t heapAll = HeapInUse();
    const size_t rssAll = ResidentBytes();
    if (!ok) {
      state.SkipWithError("a provider failed");
    }
    constexpr double kMiB = 1024.0 * 1024.0;
    state.counters["heap_added_MiB"] =
        (static_cast<double>(heapAll) - static_cast<double>(heapOne)) / kMiB;
    state.counters["rss_added_MiB"] =
        (static_cast<double>(rssAll) - static_cast<double>(rssOne)) / kMiB;
  }
}
BENCHMARK(BM_Fleet_Memory)->Iterations(1)->UseRealTime();

// One provider for every thread of the hit rows, made by thread 0.
std::unique_ptr<TQCloudAuthAzureLib> g_hitProvider;

void BM_CacheHit_64Scopes(benchmark::State& state) {
  if (state.thread_index() == 0) {
    g_world->idp->SetExpiresIn(kHitExpiresIn);
    g_hitProvider = std::make_unique<TQCloudAuthAzureLib>();
    CKoError st = g_hitProvider->Init(SecretArgs());
    for (int i = 0; i < kScopes && !st.IsError(); ++i) {
      const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(ScopeFor(i));
      TQCloudAuth::GetAuthTokenRet ret;
      st = g_hitProvider->getAuthToken(&args, &ret);
    }
    if (st.IsError()) {
      state.SkipWithError(st.ToString().c_str());
    }
  }
  const size_t requests = g_world->idp->RequestCount();
  const TQCloudAuth::GetAuthTokenArgs args =
      ArgsFor(ScopeFor(state.thread_index() * 7 % kScopes));
  TQCloudAuth::GetAuthTokenRet ret;
  for (auto _ : state) {
    const CKoError st = g_hitProvider->getAuthToken(&args, &ret);
    benchmark::DoNotOptimize(st.IsError());
    benchmark::DoNotOptimize(ret.accessToken.data());
  }
  if (state.thread_index() == 0) {
    if (g_world->idp->RequestCount() != requests) {
      state.SkipWithError("a cache hit sent a request");
    }
    state.counters["token_bytes"] = static_cast<double>(ret.accessToken.size());
  }
}
BENCHMARK(BM_CacheHit_64Scopes)->Threads(1)->Threads(8);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int rc = 0;
  try {
    SetUpWorld();
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleet_bench: %s\n", e.what());
    rc = 1;
  }
  g_hitProvider.reset();
  TearDownWorld();
  benchmark::Shutdown();
  curl_global_cleanup();
  return rc;
}
