// A provider in production: an endpoint that is slow, throttles or echoes
// the secret, a credential rotated under a live provider; what the counters
// and `tqcloudauth token --verbose` show of it. Against the local token
// endpoint, the credentials stored by the tqcloudauth command.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureLib.h"
#include "tests/support/CliRunner.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using tqtest::RunCli;

const char kSecret[] = "AVAIL-SECRET-7f3a/+=";
const char kNewSecret[] = "AVAIL-NEW-SECRET-91c2";
const char kPassword[] = "avail-password";

std::string ScopeFor(int i) {
  return "https://resource-" + std::to_string(i) + ".example/.default";
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Two application certificates, made once: key generation is slow.
const tqtest::ClientCertificate& Certificate(int which) {
  static const tqtest::ClientCertificate first =
      tqtest::MakeClientCertificate("availability one", kPassword);
  static const tqtest::ClientCertificate second =
      tqtest::MakeClientCertificate("availability two", kPassword);
  return which == 0 ? first : second;
}

class AvailabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + tqtest::SharedPki().caFile() +
                     "\nConnectTimeoutSeconds=2\nTimeoutSeconds=2\n");
    idp = tqtest::StartTestEndpoint(kSecret, Certificate(0).certificatePem);
    ASSERT_TRUE(idp);
    certFiles.push_back(dir.path() + "/one.pem");
    certFiles.push_back(dir.path() + "/two.pem");
    for (int i = 0; i < 2; ++i) {
      tqtest::WriteFile(certFiles[i],
                        Certificate(i).certificatePem + Certificate(i).keyPem);
    }
  }

  void AddSecret(int assocId, const std::string& secret, bool replace,
                 const std::string& login = "") {
    std::vector<std::string> args = {
        "credential",
        "add",
        "--assoc-id",
        std::to_string(assocId),
        "--tenant",
        "tenant-1",
        "--client-id",
        "client-1",
        "--secret-stdin",
        "--login-endpoint",
        login.empty() ? idp->LoginEndpoint() : login};
    if (replace) {
      args.push_back("--replace");
    }
    ASSERT_EQ(RunCli(args, secret).status, 0);
  }

  void AddCertificate(int assocId, int which, bool replace) {
    std::vector<std::string> args = {"credential",
                                     "add",
                                     "--assoc-id",
                                     std::to_string(assocId),
                                     "--tenant",
                                     "tenant-1",
                                     "--client-id",
                                     "client-2",
                                     "--certificate",
                                     certFiles[which],
                                     "--certificate-name",
                                     "avail",
                                     "--certificate-password-stdin",
                                     "--login-endpoint",
                                     idp->LoginEndpoint()};
    if (replace) {
      args.push_back("--replace");
    }
    ASSERT_EQ(RunCli(args, kPassword).status, 0);
  }

  static std::unique_ptr<TQCloudAuthAzureLib> Provider(int assocId) {
    TQCloudAuthLib* raw = nullptr;
    const CKoError st =
        TQCloudAuthLib::getTQCloudAuthLibInstance(assocId, 0, false, raw);
    EXPECT_FALSE(st.IsError()) << st.ToString();
    return std::unique_ptr<TQCloudAuthAzureLib>(
        static_cast<TQCloudAuthAzureLib*>(raw));
  }

  static CKoError Token(TQCloudAuthLib& lib, const std::string& scope,
                        std::string* token = nullptr) {
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = scope;
    TQCloudAuth::GetAuthTokenRet ret;
    CKoError st = lib.getAuthToken(&args, &ret);
    if (token != nullptr) {
      *token = ret.accessToken;
    }
    return st;
  }

  tqtest::ScopedTqHome home;
  tqtest::TempDir dir;
  std::vector<std::string> certFiles;
  std::unique_ptr<tqidp::IdpServer> idp;
};

// 8 threads on each of 8 scopes of one provider, the endpoint answering
// after 10 s: requests for different scopes run at once, those for one
// scope are one, so every call ends within the 2 s timeout (and a second of
// margin), none queued behind another scope's.
TEST_F(AvailabilityTest, NoCallWaitsPastTheTimeout) {
  AddSecret(7, kSecret, false);
  auto lib = Provider(7);
  tqidp::IdpFault slow;
  slow.delayMs = 10000;
  idp->SetFault(slow);
  std::atomic<double> longest{0};
  std::atomic<int> timedOut{0};
  tqtest::StartLine start(64);
  std::vector<std::thread> threads;
  for (int t = 0; t < 64; ++t) {
    threads.emplace_back([&, t] {
      start.ArriveAndWait();
      const Clock::time_point begin = Clock::now();
      const CKoError st = Token(*lib, ScopeFor(t % 8));
      const double took = SecondsSince(begin);
      double seen = longest.load();
      while (took > seen && !longest.compare_exchange_weak(seen, took)) {
      }
      timedOut += st.GetReason() == TqFailureReason::kTimedOut ? 1 : 0;
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  idp->ClearFault();
  EXPECT_LT(longest.load(), 3.0);
  EXPECT_EQ(timedOut.load(), 64);
  EXPECT_EQ(idp->RequestCount(), 8u) << "one request per scope";
  EXPECT_LT(lib->getCounters().longestCallMicros, 3000000);
}

// 429 with Retry-After: the credential waits, in this process: one request,
// then calls fail at once naming the wait, another provider of the
// credential sends nothing, a cached token is still served; after a short
// wait a request goes through again.
TEST_F(AvailabilityTest, ThrottlingIsHonoured) {
  AddSecret(7, kSecret, false);
  auto lib = Provider(7);
  auto other = Provider(7);
  ASSERT_FALSE(Token(*lib, ScopeFor(0)).IsError());  // cached from now on
  tqidp::IdpFault throttle;
  throttle.status = 429;
  throttle.body = R"({"error":"too_many_requests"})";
  throttle.headers.emplace("Retry-After", "30");
  idp->SetFault(throttle);
  const size_t before = idp->RequestCount();
  CKoError st = Token(*lib, ScopeFor(1));
  EXPECT_EQ(st.GetReason(), TqFailureReason::kThrottled);
  EXPECT_EQ(st.GetRetryAfterSeconds(), 30);
  for (int i = 0; i < 40; ++i) {
    const Clock::time_point begin = Clock::now();
    st = Token(i % 2 == 0 ? *lib : *other, ScopeFor(1 + i % 3));
    EXPECT_LT(SecondsSince(begin), 0.5);
    EXPECT_EQ(st.GetReason(), TqFailureReason::kThrottled);
    EXPECT_NE(st.GetMessage().find("throttled"), std::string::npos);
    EXPECT_GE(st.GetRetryAfterSeconds(), 29);
  }
  EXPECT_EQ(idp->RequestCount(), before + 1) << "one request in all";
  EXPECT_FALSE(Token(*lib, ScopeFor(0)).IsError()) << "the cached token";
  const TQCloudAuth::AzureCounters c = lib->getCounters();
  EXPECT_EQ(c.throttledCalls, 20u);
  EXPECT_EQ(
      c.failuresByReason[static_cast<size_t>(TqFailureReason::kThrottled)],
      21u);

  // Retry-After: 2 lets a request through after it. (Another login
  // endpoint, the same endpoint by its name, makes another credential.)
  AddSecret(9, kSecret, false,
            "https://localhost:" + std::to_string(idp->port()) + "/");
  auto short_ = Provider(9);
  throttle.headers = {{"Retry-After", "2"}};
  idp->SetFault(throttle);
  EXPECT_EQ(Token(*short_, ScopeFor(5)).GetReason(),
            TqFailureReason::kThrottled);
  idp->ClearFault();
  EXPECT_EQ(Token(*short_, ScopeFor(5)).GetReason(),
            TqFailureReason::kThrottled);
  std::this_thread::sleep_for(std::chrono::milliseconds(2100));
  EXPECT_FALSE(Token(*short_, ScopeFor(5)).IsError());
}

// Rotation under a live provider: `credential add --replace` of a new
// secret, then of a new certificate, with the old ones revoked at the
// endpoint; the provider uses the new credential at its next request, and
// its cached tokens stay served.
TEST_F(AvailabilityTest, RotatedCredentialsAreUsedWithoutARestart) {
  AddSecret(7, kSecret, false);
  auto secret = Provider(7);
  ASSERT_FALSE(Token(*secret, ScopeFor(0)).IsError());
  idp->ReplaceApplication({"tenant-1", "client-1", kNewSecret, ""});
  AddSecret(7, kNewSecret, true);
  const CKoError rotated = Token(*secret, ScopeFor(1));
  EXPECT_FALSE(rotated.IsError()) << rotated.ToString();
  EXPECT_FALSE(Token(*secret, ScopeFor(0)).IsError()) << "still cached";

  AddCertificate(8, 0, false);
  auto cert = Provider(8);
  ASSERT_FALSE(Token(*cert, ScopeFor(0)).IsError());
  idp->ReplaceApplication(
      {"tenant-1", "client-2", "", Certificate(1).certificatePem});
  AddCertificate(8, 1, true);
  const CKoError staged = Token(*cert, ScopeFor(1));
  EXPECT_FALSE(staged.IsError()) << staged.ToString();
  EXPECT_EQ(tqtest::ReadFile(home.path() + "/certificates/Azure_avail.crt"),
            tqtest::ReadFile(certFiles[1]));
}

// A secret the endpoint echoes back is masked wherever its words are shown:
// the status, the log, `tqcloudauth token` and `doctor --scope`.
TEST_F(AvailabilityTest, EchoedSecretsAreMasked) {
  AddSecret(7, kSecret, false);
  const std::string encoded = "AVAIL-SECRET-7f3a%2F%2B%3D";
  const struct {
    int status;
    std::string body;
  } echoes[] = {
      {400, std::string(R"({"error":"invalid_client","error_description":)") +
                R"("secret AVAIL-SECRET-7f3a\/+= is wrong"})"},
      {401, "client_secret=" + encoded + " refused"},
      {200, std::string(R"({"error":"invalid_request","error_description":)") +
                R"("you sent AVAIL-SECRET-7f3a/+= and )" + encoded + "\"}"},
  };
  for (const auto& e : echoes) {
    SCOPED_TRACE(e.body);
    tqidp::IdpFault echo;
    echo.status = e.status;
    echo.body = e.body;
    idp->SetFault(echo);
    auto lib = Provider(7);
    const CKoError st = Token(*lib, ScopeFor(0));
    ASSERT_TRUE(st.IsError());
    const tqtest::CliResult cli = RunCli(
        {"--verbose", "token", "--assoc-id", "7", "--scope", ScopeFor(0)});
    const tqtest::CliResult doctor =
        RunCli({"doctor", "--assoc-id", "7", "--scope", ScopeFor(0)});
    for (const std::string& shown :
         {st.GetMessage(), home.LogText(), cli.out + cli.err, doctor.out}) {
      EXPECT_EQ(shown.find("AVAIL-SECRET"), std::string::npos) << shown;
      EXPECT_NE(shown.find("***"), std::string::npos) << shown;
    }
  }
  idp->ClearFault();
}

// What the counters and --verbose tell of calls.
TEST_F(AvailabilityTest, CountersAndVerboseTellWhereTokensCameFrom) {
  AddSecret(7, kSecret, false);
  auto lib = Provider(7);
  ASSERT_FALSE(Token(*lib, ScopeFor(0)).IsError());
  ASSERT_FALSE(Token(*lib, ScopeFor(0)).IsError());
  tqidp::IdpFault failing;
  failing.status = 500;
  failing.body = "down";
  idp->SetFault(failing);
  EXPECT_EQ(Token(*lib, ScopeFor(1)).GetReason(),
            TqFailureReason::kServerError);
  idp->ClearFault();
  const TQCloudAuth::AzureCounters c = lib->getCounters();
  EXPECT_EQ(c.calls, 3u);
  EXPECT_EQ(c.cacheHits, 1u);
  EXPECT_EQ(c.cacheMisses, 2u);
  EXPECT_EQ(c.requests, 2u);
  EXPECT_EQ(c.failures, 1u);
  EXPECT_EQ(
      c.failuresByReason[static_cast<size_t>(TqFailureReason::kServerError)],
      1u);
  EXPECT_EQ(c.lastRequestCause, TQCloudAuth::AzureRequestCause::kNoneCached);
  EXPECT_FALSE(c.lastCallFromCache);
  EXPECT_GT(c.longestCallMicros, 0);

  const tqtest::CliResult verbose =
      RunCli({"--verbose", "token", "--assoc-id", "7", "--scope", ScopeFor(0)});
  EXPECT_EQ(verbose.status, 0);
  EXPECT_NE(verbose.err.find("tqcloudauth: token from the endpoint (none "
                             "cached), the request took "),
            std::string::npos)
      << verbose.err;
}

}  // namespace
