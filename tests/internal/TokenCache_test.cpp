// The provider's token cache against real peers: the local token endpoint
// and a scripted HTTPS server. Many scopes at once, one request per scope
// for any number of threads (results shared, a hit never waiting for a
// request), and early refresh riding out a failing endpoint. Run under
// ThreadSanitizer by scripts/test (label "threads").
#include "internal/cache/TokenCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "auth/azure/internal/ProviderState.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

using TQCloudAuth::GetAuthTokenArgs;
using TQCloudAuth::GetAuthTokenRet;
using TQCloudAuth::TokenCache;

const char kSecret[] = "SECRET-SENTINEL-7f3a+/=&";

std::string ScopeFor(int i) {
  return "https://resource-" + std::to_string(i) + ".example/.default";
}

// The provider with a clock the test sets (read from many threads).
class ClockedLib : public TQCloudAuthAzureLib {
 public:
  static std::atomic<int64_t> now;
  static int64_t Now() { return now.load(); }
  void UseTestClock() { clock = &Now; }
  TokenCache& cache() { return AzureProviderAccess::Cache(*this); }
};
std::atomic<int64_t> ClockedLib::now{1800000000};

class TokenCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                     "\nConnectTimeoutSeconds=20\nTimeoutSeconds=60\n");
    tqidp::IdpOptions options;
    options.certFile = pki->server().certFile;
    options.keyFile = pki->server().keyFile;
    idp = std::make_unique<tqidp::IdpServer>(options);
    idp->AddApplication({"tenant-1", "client-1", kSecret, ""});
    std::string error;
    ASSERT_TRUE(idp->Start(error)) << error;
  }

  std::unique_ptr<ClockedLib> Ready(const std::string& loginEndpoint) {
    tqtest::AzureCredential c;
    c.loginEndpoint = loginEndpoint;
    EXPECT_TRUE(TQPassword().encrypt(kSecret, c.storedPassword));
    auto lib = std::make_unique<ClockedLib>();
    const CKoError st = lib->Init(tqtest::MakeAzureArgs(c));
    EXPECT_FALSE(st.IsError()) << st.ToString();
    return lib;
  }

  static CKoError Token(TQCloudAuthLib& lib, const std::string& scope,
                        GetAuthTokenRet& ret) {
    GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = scope;
    return lib.getAuthToken(&args, &ret);
  }

  tqtest::TestPki* const pki = &tqtest::SharedPki();
  tqtest::ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
};

TEST_F(TokenCacheTest, AlternatingScopesAreEachAskedOnce) {
  auto lib = Ready(idp->LoginEndpoint());
  GetAuthTokenRet first[2];
  for (int call = 0; call < 100; ++call) {
    GetAuthTokenRet ret;
    ASSERT_FALSE(Token(*lib, ScopeFor(call % 2), ret).IsError());
    if (call < 2) {
      first[call] = ret;
    }
    EXPECT_EQ(ret.accessToken, first[call % 2].accessToken) << call;
  }
  EXPECT_NE(first[0].accessToken, first[1].accessToken);
  EXPECT_EQ(idp->RequestCount(), 2u);
}

// [TokenCache] MaxScopes=64: 64 scopes are kept; a 65th replaces the least
// recently used one.
TEST_F(TokenCacheTest, HoldsUpToMaxScopesDroppingTheLeastRecentlyUsed) {
  home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                   "\n[TokenCache]\nMaxScopes=64\n");
  auto lib = Ready(idp->LoginEndpoint());
  lib->UseTestClock();
  GetAuthTokenRet ret;
  for (int i = 0; i < 64; ++i) {
    ClockedLib::now += 1;
    ASSERT_FALSE(Token(*lib, ScopeFor(i), ret).IsError());
  }
  ClockedLib::now += 1;
  ASSERT_FALSE(Token(*lib, ScopeFor(0), ret).IsError());  // 1 is now oldest
  EXPECT_EQ(idp->RequestCount(), 64u);
  ClockedLib::now += 1;
  ASSERT_FALSE(Token(*lib, ScopeFor(64), ret).IsError());
  EXPECT_EQ(lib->cache().MaxScopes(), 64u);
  EXPECT_EQ(lib->cache().Size(), 64u);
  TQCloudAuth::CachedToken held;
  EXPECT_FALSE(lib->cache().Find(ScopeFor(1), held));
  for (int i : {0, 2, 63, 64}) {
    ASSERT_FALSE(Token(*lib, ScopeFor(i), ret).IsError());
  }
  EXPECT_EQ(idp->RequestCount(), 65u);
  ASSERT_FALSE(Token(*lib, ScopeFor(1), ret).IsError());
  EXPECT_EQ(idp->RequestCount(), 66u);
}

// 8 threads x 4 scopes on one provider: one request per scope, and every
// thread of a scope gets that request's token.
TEST_F(TokenCacheTest, ConcurrentMissesShareOneRequestPerScope) {
  auto lib = Ready(idp->LoginEndpoint());
  tqidp::IdpFault slow;  // the requests overlap the other threads' calls
  slow.delayMs = 300;
  slow.status = 0;
  idp->SetFault(slow);
  constexpr int kThreads = 8;
  constexpr int kScopes = 4;
  tqtest::StartLine start(kThreads);
  std::vector<std::string> tokens(kThreads);
  std::vector<std::string> problems(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.ArriveAndWait();
      for (int round = 0; round < 3; ++round) {
        GetAuthTokenRet ret;
        const CKoError st = Token(*lib, ScopeFor(t % kScopes), ret);
        if (st.IsError()) {
          problems[t] = st.ToString();
          return;
        }
        if (round > 0 && ret.accessToken != tokens[t]) {
          problems[t] = "another token on a later round";
        }
        tokens[t] = ret.accessToken;
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  idp->ClearFault();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(problems[t], "") << t;
    EXPECT_EQ(tokens[t], tokens[t % kScopes]) << t;
  }
  EXPECT_EQ(idp->RequestCount(), static_cast<size_t>(kScopes));
  EXPECT_EQ(lib->cache().Size(), static_cast<size_t>(kScopes));
}

// A failure is shared too: one request, each caller its own status.
TEST_F(TokenCacheTest, ConcurrentMissesShareOneFailure) {
  auto lib = Ready(idp->LoginEndpoint());
  tqidp::IdpFault refuse;
  refuse.delayMs = 300;
  refuse.status = 503;
  refuse.body = R"({"error":"temporarily_unavailable"})";
  idp->SetFault(refuse);
  constexpr int kThreads = 6;
  tqtest::StartLine start(kThreads);
  std::vector<CKoError> results(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.ArriveAndWait();
      GetAuthTokenRet ret;
      results[t] = Token(*lib, ScopeFor(0), ret);
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  idp->ClearFault();
  EXPECT_EQ(idp->RequestCount(), 1u);
  for (const CKoError& st : results) {
    ASSERT_TRUE(st.IsError());
    EXPECT_EQ(st.GetMessage(),
              "Request failed with ErrorCode [503] Message "
              "[{\"error\":\"temporarily_unavailable\"}]");
    EXPECT_GE(st.GetLocations().size(), 2u);
  }
  EXPECT_EQ(lib->cache().Size(), 0u) << "nothing cached on failure";
}

// While one scope's request hangs at the endpoint, another scope's cached
// token is served at once.
TEST_F(TokenCacheTest, HitNeverWaitsForAnotherScopesRequest) {
  // Declared before the server: its threads use them until it is gone.
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> arrived;
  std::atomic<int> requests{0};
  tqtest::HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([&](const httplib::Request& req, httplib::Response& res) {
    if (requests++ == 1) {
      arrived.set_value();
      released.wait();
    }
    res.set_content(R"({"access_token":"token-)" +
                        std::to_string(req.body.size()) +
                        R"(","token_type":"Bearer","expires_in":3599})",
                    "application/json");
  });
  auto lib = Ready(server.Url("/"));
  GetAuthTokenRet cached;
  ASSERT_FALSE(Token(*lib, ScopeFor(0), cached).IsError());
  std::thread hanging([&] {
    GetAuthTokenRet ret;
    EXPECT_FALSE(Token(*lib, "https://other.example/.default", ret).IsError());
  });
  arrived.get_future().wait();  // the other scope's request is at the server
  GetAuthTokenRet hit;
  EXPECT_FALSE(Token(*lib, ScopeFor(0), hit).IsError());
  EXPECT_EQ(hit.accessToken, cached.accessToken);
  EXPECT_EQ(requests.load(), 2) << "the hit was served while it hangs";
  release.set_value();
  hanging.join();
}

// Early refresh: after refresh_in (or half a lifetime of two hours or
// more), moved by up to 10% either way at random, one call asks again while
// the token is still served; when the endpoint fails, the cached token is
// served and no early request is made for 30 s. With fewer than 240 s left
// a failure is the caller's.
TEST_F(TokenCacheTest, EarlyRefreshRidesOutAFailingEndpoint) {
  std::mutex mutex;
  std::string reply;  // empty: 503
  int requests = 0;
  tqtest::HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([&](const httplib::Request&, httplib::Response& res) {
    std::lock_guard<std::mutex> lock(mutex);
    ++requests;
    if (reply.empty()) {
      res.status = 503;
      res.set_content(R"({"error":"temporarily_unavailable"})",
                      "application/json");
    } else if (reply == "429") {
      res.status = 429;
      res.set_header("Retry-After", "120");
      res.set_content("slow down", "text/plain");
    } else {
      res.set_content(reply, "application/json");
    }
  });
  auto script = [&](const std::string& next) {
    std::lock_guard<std::mutex> lock(mutex);
    reply = next;
  };
  auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return requests;
  };
  auto lib = Ready(server.Url("/"));
  lib->UseTestClock();
  const int64_t t0 = 1800000000;
  ClockedLib::now = t0;
  GetAuthTokenRet ret;
  script(R"({"access_token":"first","expires_in":3600,"refresh_in":600})");
  ASSERT_FALSE(Token(*lib, ScopeFor(0), ret).IsError());

  script("");  // the endpoint fails from now on
  const struct {
    int64_t at;    // seconds after t0
    int requests;  // in all, after the call
    bool ok;
  } steps[] = {
      {539, 1, true},   // before 90% of refresh_in: cached
      {661, 2, true},   // past 110%: one early request fails: cached
      {662, 2, true},   // paused for 30 s
      {690, 2, true},   //
      {691, 3, true},   // the next early attempt, failing again
      {3360, 4, true},  // 240 s left: still early, still cached
      {3361, 5, false}  // 239 s left: a failure is returned
  };
  for (const auto& s : steps) {
    ClockedLib::now = t0 + s.at;
    GetAuthTokenRet out;
    out.accessToken = "unchanged";
    const CKoError st = Token(*lib, ScopeFor(0), out);
    EXPECT_EQ(!st.IsError(), s.ok) << "at +" << s.at << ": " << st.ToString();
    EXPECT_EQ(count(), s.requests) << "at +" << s.at;
    EXPECT_EQ(out.accessToken, s.ok ? "first" : "unchanged") << s.at;
    if (s.ok) {
      EXPECT_EQ(out.expireTime, t0 + 3600);
    }
  }

  // A successful early request replaces the token at once.
  script(R"({"access_token":"second","expires_in":3600,"refresh_in":600})");
  ClockedLib::now = t0 + 4000;
  ASSERT_FALSE(Token(*lib, ScopeFor(0), ret).IsError());
  EXPECT_EQ(ret.accessToken, "second");
  script(R"({"access_token":"third","expires_in":3600,"refresh_in":600})");
  ClockedLib::now = t0 + 4661;
  ASSERT_FALSE(Token(*lib, ScopeFor(0), ret).IsError());
  EXPECT_EQ(ret.accessToken, "third") << "refreshed early";
  EXPECT_EQ(ret.expireTime, t0 + 4661 + 3600);

  // Without refresh_in: half the lifetime from two hours on, else never
  // early (refresh_in not below the lifetime is ignored).
  const struct {
    const char* reply;
    int64_t firstEarly;  // 0: none before the 240 s margin
  } lifetimes[] = {
      {R"({"access_token":"a","expires_in":7200})", 3600},
      {R"({"access_token":"a","expires_in":7199})", 0},
      {R"({"access_token":"a","expires_in":3600,"refresh_in":3600})", 0},
      {R"({"access_token":"a","expires_in":3600,"refresh_in":"900"})", 900},
  };
  for (const auto& l : lifetimes) {
    lib->cache().Clear();
    script(l.reply);
    ClockedLib::now = t0;
    ASSERT_FALSE(Token(*lib, ScopeFor(1), ret).IsError()) << l.reply;
    const int before = count();
    TQCloudAuth::CachedToken held;
    ASSERT_TRUE(lib->cache().Find(ScopeFor(1), held));
    const int64_t spread = l.firstEarly / 10;
    if (l.firstEarly == 0) {
      EXPECT_EQ(held.refreshTime, 0) << l.reply;
    } else {
      EXPECT_GE(held.refreshTime, t0 + l.firstEarly - spread) << l.reply;
      EXPECT_LE(held.refreshTime, t0 + l.firstEarly + spread) << l.reply;
      ClockedLib::now = held.refreshTime - 1;
      ASSERT_FALSE(Token(*lib, ScopeFor(1), ret).IsError());
      EXPECT_EQ(count(), before) << l.reply;
      ClockedLib::now = held.refreshTime;
      ASSERT_FALSE(Token(*lib, ScopeFor(1), ret).IsError());
      EXPECT_EQ(count(), before + 1) << l.reply;
    }
  }

  // Last (the wait holds for the endpoint's credential from now on): an
  // early request answered 429 serves the cached token, and no request of
  // any kind goes for as long as the endpoint said.
  lib->cache().Clear();
  script(R"({"access_token":"kept","expires_in":3600,"refresh_in":600})");
  ClockedLib::now = t0;
  ASSERT_FALSE(Token(*lib, ScopeFor(2), ret).IsError());
  script("429");
  const int before = count();
  for (const int64_t at : {661, 700, 900, 1500}) {
    ClockedLib::now = t0 + at;
    GetAuthTokenRet out;
    ASSERT_FALSE(Token(*lib, ScopeFor(2), out).IsError()) << at;
    EXPECT_EQ(out.accessToken, "kept") << at;
  }
  EXPECT_EQ(count(), before + 1) << "one early request, answered 429";
  EXPECT_EQ(Token(*lib, ScopeFor(3), ret).GetReason(),
            TqFailureReason::kThrottled);
  EXPECT_EQ(count(), before + 1);
}

}  // namespace
