// Where a provider's token comes from, side by side: its own cache (a hit),
// the tokens shared by the processes of a home (SQLite under the home), the
// tokens shared on a PostgreSQL database on loopback (real server, TLS),
// and a request to the local token endpoint over HTTPS on loopback. A
// shared hit is a miss of the provider's own cache: each iteration clears
// it, so what is timed is the second level: the lookup, the decryption
// with the home's key and the copy.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "auth/azure/internal/ProviderState.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tests/support/PostgresServer.h"
#include "tools/idp/IdpServer.h"
#include "tools/pki/Pki.h"

namespace {

constexpr char kSecret[] = "bench-secret~shared";
constexpr char kScope[] = "https://vault.azure.net/.default";

struct World {
  std::string home;
  tqpki::ServerPki pki;
  std::unique_ptr<tqidp::IdpServer> idp;
  std::unique_ptr<tqtest::PostgresServer> pg;  // made by the first row
  std::string storedSecret;
};
std::unique_ptr<World> g_world;

void SetUpWorld() {
  g_world = std::make_unique<World>();
  char name[] = "/tmp/tqsharedbench.XXXXXX";
  if (::mkdtemp(name) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  g_world->home = name;
  ::setenv("TQ_HOME", name, 1);
  g_world->pki = tqpki::GenerateServerPki(g_world->home);
  tqidp::IdpOptions options;
  options.certFile = g_world->pki.certFile;
  options.keyFile = g_world->pki.keyFile;
  g_world->idp = std::make_unique<tqidp::IdpServer>(options);
  g_world->idp->AddApplication({"tenant-1", "client-1", kSecret, ""});
  std::string error;
  if (!g_world->idp->Start(error)) {
    throw std::runtime_error("cannot start the endpoint: " + error);
  }
  if (!TQPassword().encrypt(kSecret, g_world->storedSecret)) {
    throw std::runtime_error("cannot encrypt the secret");
  }
}

void TearDownWorld() {
  if (!g_world) {
    return;
  }
  g_world->pg.reset();
  if (g_world->idp) {
    g_world->idp->Stop();
  }
  std::error_code ec;
  std::filesystem::remove_all(g_world->home, ec);
  g_world.reset();
}

// A provider under the configuration shared (off, home, database) that has
// already fetched kScope; null with the row marked failed.
std::unique_ptr<TQCloudAuthAzureLib> Provider(benchmark::State& state,
                                              const std::string& shared) {
  std::string ini = "[Http]\nCAFile=" + g_world->pki.caFile +
                    "\n[TokenCache]\nShared=" + shared + "\n";
  if (shared == "database") {
    if (!g_world->pg) {
      g_world->pg = std::make_unique<tqtest::PostgresServer>(
          g_world->pki.caFile, g_world->pki.certFile, g_world->pki.keyFile);
    }
    ini += "[Database]\nUrl=" + g_world->pg->Url() + "\n";
  }
  tqpki::WriteFile(g_world->home + "/tqcloudauth.ini", ini, 0600);
  namespace R = AzureCredentialRecord;
  TQCloudAuth::AzureArgs args;
  args.password = g_world->storedSecret;
  R::SetAuthType(args.credentialInfo, R::AuthType::kClientSecret);
  R::SetApplicationId(args.credentialInfo, "client-1");
  R::SetTenantId(args.credentialInfo, "tenant-1");
  R::SetLoginEndpoint(args.credentialInfo, g_world->idp->LoginEndpoint());
  auto lib = std::make_unique<TQCloudAuthAzureLib>();
  CKoError st = lib->Init(args);
  TQCloudAuth::GetAuthTokenArgs get;
  get.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  get.azureArgs->scope = kScope;
  TQCloudAuth::GetAuthTokenRet ret;
  if (!st.IsError()) {
    st = lib->getAuthToken(&get, &ret);
  }
  if (st.IsError()) {
    state.SkipWithError(st.ToString().c_str());
    return nullptr;
  }
  return lib;
}

// Each call: the provider's cache cleared first when clear (the shared
// rows), then one getAuthToken.
void Run(benchmark::State& state, const std::string& shared, bool clear) {
  auto lib = Provider(state, shared);
  if (!lib) {
    return;
  }
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = kScope;
  TQCloudAuth::GetAuthTokenRet ret;
  const size_t requests = g_world->idp->RequestCount();
  for (auto _ : state) {
    if (clear) {
      AzureProviderAccess::Cache(*lib).Clear();
    }
    const CKoError st = lib->getAuthToken(&args, &ret);
    if (st.IsError()) {
      state.SkipWithError(st.ToString().c_str());
      break;
    }
    benchmark::DoNotOptimize(ret.accessToken.data());
  }
  state.counters["requests"] =
      static_cast<double>(g_world->idp->RequestCount() - requests);
}

void BM_Hit_OwnCache(benchmark::State& state) { Run(state, "off", false); }
BENCHMARK(BM_Hit_OwnCache);

void BM_SharedHit_Home(benchmark::State& state) { Run(state, "home", true); }
BENCHMARK(BM_SharedHit_Home);

void BM_SharedHit_Database(benchmark::State& state) {
  Run(state, "database", true);
}
BENCHMARK(BM_SharedHit_Database)->UseRealTime();

// Without sharing, a cleared cache means a request every call.
void BM_Request_Endpoint(benchmark::State& state) { Run(state, "off", true); }
BENCHMARK(BM_Request_Endpoint)->UseRealTime();

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
    std::fprintf(stderr, "shared_bench: %s\n", e.what());
    rc = 1;
  }
  TearDownWorld();
  benchmark::Shutdown();
  curl_global_cleanup();
  return rc;
}
