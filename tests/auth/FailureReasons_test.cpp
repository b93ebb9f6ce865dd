// Every kind of failure a component meets, reached as a component reaches
// it (the factory, then getAuthToken) against real peers, carries its
// reason, and the details that go with it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>

#include "auth/TQCloudAuthLib.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

const char kSecret[] = "reasons-secret-1";
const char kScope[] = "https://vault.azure.net/.default";

struct Outcome {
  CKoError status;
  size_t requests = 0;  // sent to the endpoint
};

class FailureReasonsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    idp = tqtest::StartTestEndpoint(
        kSecret, tqtest::ReadFile(tqtest::SharedPki().server().certFile));
    ASSERT_TRUE(idp);
  }

  std::string Config(const std::string& extra = "") const {
    return "[Http]\nCAFile=" + tqtest::SharedPki().caFile() +
           "\nConnectTimeoutSeconds=2\nTimeoutSeconds=1\n" + extra;
  }

  // Stores credential 7 with the given stored secret and login endpoint.
  void Store(const std::string& storedSecret, const std::string& login) {
    tqtest::AzureCredential c;
    c.loginEndpoint = login;
    c.storedPassword = storedSecret;
    StoredCredential row;
    row.assocId = 7;
    row.credentialType = 4;
    row.password = c.storedPassword;
    row.additionalInfo = tqtest::AdditionalInfoFor(tqtest::MakeAzureArgs(c));
    ASSERT_TRUE(CredentialMgrHelper().addCredential(row, true));
  }

  std::string Encrypted(const std::string& secret) {
    std::string stored;
    EXPECT_TRUE(TQPassword().encrypt(secret, stored));
    return stored;
  }

  Outcome TokenFor(const std::string& scope, bool proxy) {
    Outcome out;
    const size_t before = idp->RequestCount();
    TQCloudAuthLib* raw = nullptr;
    out.status = TQCloudAuthLib::getTQCloudAuthLibInstance(7, 0, proxy, raw);
    std::unique_ptr<TQCloudAuthLib> lib(raw);
    if (!out.status.IsError()) {
      TQCloudAuth::GetAuthTokenArgs args;
      args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
      args.azureArgs->scope = scope;
      TQCloudAuth::GetAuthTokenRet ret;
      out.status = lib->getAuthToken(&args, &ret);
    }
    out.requests = idp->RequestCount() - before;
    return out;
  }

  tqtest::ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
};

TEST_F(FailureReasonsTest, EachFailureCarriesItsReason) {
  const std::string login = idp->LoginEndpoint();
  auto fault = [this](int status, const std::string& body,
                      const std::string& retryAfter) {
    tqidp::IdpFault f;
    f.status = status;
    f.body = body;
    if (!retryAfter.empty()) {
      f.headers.emplace("Retry-After", retryAfter);
    }
    idp->SetFault(f);
  };
  const struct {
    const char* name;
    std::function<void()> arrange;
    TqFailureReason reason;
    uint32_t serviceCode = 0;
    int64_t retryAfter = 0;
    std::string scope = kScope;
    bool proxy = false;
  } cases[] = {
      {"nothing stored", [] {}, TqFailureReason::kNotStored},
      {"store unreadable",
       [&] {
         tqtest::WriteFile(home.path() + "/credentials.db",
                           tqtest::RandomBytes(4096, 3));
       },
       TqFailureReason::kStoreFailed},
      {"home others may write",
       [&] {
         Store(Encrypted(kSecret), login);
         ::chmod(home.path().c_str(), 0777);
       },
       TqFailureReason::kHomeRefused},
      {"configuration unreadable",
       [&] {
         Store(Encrypted(kSecret), login);
         home.WriteConfig(Config("not a setting\n"));
       },
       TqFailureReason::kConfigInvalid},
      {"nothing listens",
       [&] { Store(Encrypted(kSecret), "https://127.0.0.1:1/"); },
       TqFailureReason::kConnectFailed},
      {"certificate of another CA",
       [&] {
         Store(Encrypted(kSecret), login);
         home.WriteConfig(
             "[Http]\nCAFile=/etc/ssl/certs/ca-certificates.crt\n");
       },
       TqFailureReason::kTlsFailed},
      {"proxy not there",
       [&] {
         Store(Encrypted(kSecret), login);
         home.WriteConfig(
             Config("[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
                    "SENDLOGS_HTTP_PROXY_SITE=127.0.0.1\nSENDLOGS_HTTP_PROXY_"
                    "PORT=1\n"));
       },
       TqFailureReason::kProxyFailed, 0, 0, kScope, true},
      {"endpoint too slow",
       [&] {
         Store(Encrypted(kSecret), login);
         tqidp::IdpFault slow;
         slow.delayMs = 1500;
         idp->SetFault(slow);
       },
       TqFailureReason::kTimedOut},
      {"server error",
       [&] {
         Store(Encrypted(kSecret), login);
         fault(500, "oops", "");
       },
       TqFailureReason::kServerError},
      {"secret rejected", [&] { Store(Encrypted("another secret"), login); },
       TqFailureReason::kCredentialRejected, 7000215},
      {"scope refused", [&] { Store(Encrypted(kSecret), login); },
       TqFailureReason::kInvalidRequest, 1002012, 0, "https://vault.azure.net"},
      {"reply without a usable lifetime",
       [&] {
         Store(Encrypted(kSecret), login);
         tqidp::IdpFault f;
         f.expiresInJson = "\"-5\"";
         idp->SetFault(f);
       },
       TqFailureReason::kBadReply},
      {"secret that does not decrypt",
       [&] { Store("ENC1:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", login); },
       TqFailureReason::kCredentialInvalid},
      // Last: the wait it is told holds for every later request of the
      // credential in this process.
      {"throttled",
       [&] {
         Store(Encrypted(kSecret), login);
         fault(429, "slow down", "7");
       },
       TqFailureReason::kThrottled, 0, 7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    home.WriteConfig(Config());
    ::chmod(home.path().c_str(), 0700);
    std::remove((home.path() + "/credentials.db").c_str());
    idp->ClearFault();
    c.arrange();
    const Outcome out = TokenFor(c.scope, c.proxy);
    ::chmod(home.path().c_str(), 0700);
    ASSERT_TRUE(out.status.IsError());
    EXPECT_EQ(out.status.GetReason(), c.reason) << out.status.ToString();
    EXPECT_EQ(out.status.GetServiceCode(), c.serviceCode);
    EXPECT_EQ(out.status.GetRetryAfterSeconds(), c.retryAfter);
    EXPECT_EQ(TqFailureReasonIsTransient(c.reason),
              c.reason == TqFailureReason::kThrottled ||
                  c.reason == TqFailureReason::kTimedOut ||
                  c.reason == TqFailureReason::kConnectFailed ||
                  c.reason == TqFailureReason::kServerError);
  }
  idp->ClearFault();
}

TEST(FailureReasons, NamesAreStable) {
  EXPECT_STREQ(TqFailureReasonName(TqFailureReason::kNone), "none");
  EXPECT_STREQ(TqFailureReasonName(TqFailureReason::kThrottled), "throttled");
  EXPECT_STREQ(TqFailureReasonName(TqFailureReason::kCredentialRejected),
               "credential_rejected");
  EXPECT_STREQ(TqFailureReasonName(static_cast<TqFailureReason>(99)),
               "unknown");
  // A copy keeps the reason and its details, and is a status of its own.
  CKoError st =
      FXErrorUtil::ErrorWin32(TQ_LOC, 774, TqFailureReason::kThrottled, "x");
  st.SetRetryAfterSeconds(9).SetServiceCode(50196);
  CKoError copy = st.Copy();
  copy.Push(TQ_LOC);
  EXPECT_EQ(copy.GetReason(), TqFailureReason::kThrottled);
  EXPECT_EQ(copy.GetRetryAfterSeconds(), 9);
  EXPECT_EQ(copy.GetServiceCode(), 50196u);
  EXPECT_EQ(st.GetLocations().size(), 1u);
  EXPECT_EQ(copy.GetLocations().size(), 2u);
  EXPECT_EQ(FXErrorUtil::ErrorWin32(TQ_LOC, 14).GetReason(),
            TqFailureReason::kInternal);
  EXPECT_EQ(CKoError::Success().GetReason(), TqFailureReason::kNone);
}

}  // namespace
