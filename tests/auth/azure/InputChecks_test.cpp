// Inputs that used to slip through, tried against real peers: the local
// token endpoint (over HTTPS and in its plain HTTP mode), a plain HTTP
// server on loopback and tinyproxy. Each refusal says why, and nothing is
// sent, cached or returned that should not be.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "internal/text/Redact.h"
#include "platform/TQLibCurl.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"
#include "tools/idp/IdpServer.h"

namespace {

using TQCloudAuth::GetAuthTokenArgs;
using TQCloudAuth::GetAuthTokenRet;
using tqtest::AzureCredential;

const char kSecret[] = "SECRET-SENTINEL-7f3a";
const char kScope[] = "https://vault.azure.net/.default";

class InputChecksTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir = new tqtest::TempDir();
    pki = new tqtest::TestPki(dir->path());
  }
  static void TearDownTestSuite() {
    delete pki;
    delete dir;
  }

  void SetUp() override {
    Configure("");
    idp = StartIdp(true);
  }

  void Configure(const std::string& more) {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() + "\n" + more);
  }

  static std::unique_ptr<tqidp::IdpServer> StartIdp(bool tls) {
    tqidp::IdpOptions options;
    options.tls = tls;
    options.certFile = pki->server().certFile;
    options.keyFile = pki->server().keyFile;
    auto server = std::make_unique<tqidp::IdpServer>(options);
    server->AddApplication({"tenant-1", "client-1", kSecret, ""});
    std::string error;
    EXPECT_TRUE(server->Start(error)) << error;
    return server;
  }

  static AzureCredential Credential(const std::string& login) {
    AzureCredential c;
    c.loginEndpoint = login;
    EXPECT_TRUE(TQPassword().encrypt(kSecret, c.storedPassword));
    return c;
  }

  // A token request of lib; ret starts as "unchanged".
  static CKoError Ask(TQCloudAuthAzureLib& lib, GetAuthTokenRet& ret) {
    GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = kScope;
    ret.accessToken = "unchanged";
    return lib.getAuthToken(&args, &ret);
  }

  static tqtest::TempDir* dir;
  static tqtest::TestPki* pki;
  tqtest::ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
};

tqtest::TempDir* InputChecksTest::dir = nullptr;
tqtest::TestPki* InputChecksTest::pki = nullptr;

// Plain HTTP goes only to this machine: the local endpoint's --http mode
// works, and every spelling of another (or an unclear) host is refused at
// Init, before a byte goes to a plain HTTP server that would have got it.
TEST_F(InputChecksTest, PlainHttpOnlyToThisMachine) {
  const std::unique_ptr<tqidp::IdpServer> plainIdp = StartIdp(false);
  for (const std::string& login :
       {plainIdp->LoginEndpoint(),
        "http://localhost:" + std::to_string(plainIdp->port()) + "/"}) {
    TQCloudAuthAzureLib lib;
    ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(Credential(login))).IsError());
    GetAuthTokenRet ret;
    const CKoError st = Ask(lib, ret);
    EXPECT_FALSE(st.IsError()) << login << ": " << st.ToString();
  }
  EXPECT_EQ(plainIdp->RequestCount(), 2u);

  // With a proxy configured, plain HTTP still goes direct: the proxy would
  // read the secret in clear.
  tqtest::TempDir proxyDir;
  tqtest::TinyproxyProcess proxy(proxyDir.path());
  home.WriteConfig(
      "[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
      "SENDLOGS_HTTP_PROXY_SITE=127.0.0.1\nSENDLOGS_HTTP_PROXY_PORT=" +
      std::to_string(proxy.port()) + "\n");
  {
    TQCloudAuthAzureLib lib;
    lib.setUseDBProxySettingsFlag(true);
    ASSERT_FALSE(
        lib.Init(tqtest::MakeAzureArgs(Credential(plainIdp->LoginEndpoint())))
            .IsError());
    GetAuthTokenRet ret;
    const CKoError st = Ask(lib, ret);
    EXPECT_FALSE(st.IsError()) << st.ToString();
  }
  EXPECT_EQ(plainIdp->RequestCount(), 3u);
  EXPECT_EQ(proxy.RequestCount(), 0) << proxy.Log();
  EXPECT_EQ(proxy.Log().find(kSecret), std::string::npos);

  tqtest::HttpsTestServer listener;  // plain HTTP on 127.0.0.1
  const std::string port = std::to_string(listener.port());
  for (const std::string& login :
       {"http://127.1:" + port + "/", "http://[::ffff:127.0.0.1]:" + port + "/",
        "http://user@127.0.0.1:" + port + "/",
        "http://login.example:" + port + "/"}) {
    TQCloudAuthAzureLib lib;
    const CKoError st = lib.Init(tqtest::MakeAzureArgs(Credential(login)));
    EXPECT_EQ(st.GetMessage(),
              "Login endpoint [" + login +
                  "] is plain HTTP to another host: that would expose the "
                  "credential; use https://");
    GetAuthTokenRet ret;
    EXPECT_EQ(Ask(lib, ret).GetMessage(), "TQCloudAuthLib is not initialized");
    EXPECT_EQ(ret.accessToken, "unchanged");
  }
  EXPECT_TRUE(listener.Requests().empty());
  EXPECT_EQ(listener.ConnectionCount(), 0u);
}

// The tenant cannot rewrite the token URL; the client id cannot add a form
// field: it is sent URL-encoded (a GUID as it is) and the endpoint reads it
// back whole.
TEST_F(InputChecksTest, TenantAndClientIdCannotInject) {
  for (const std::string& tenant :
       {std::string("t1/oauth2/v2.0/token?"), std::string(".."),
        std::string("tenant-1#"), std::string()}) {
    AzureCredential c = Credential(idp->LoginEndpoint());
    c.tenant = tenant;
    TQCloudAuthAzureLib lib;
    EXPECT_EQ(lib.Init(tqtest::MakeAzureArgs(c)).GetMessage(),
              "Invalid tenant [" + tenant + "]");
  }
  EXPECT_EQ(idp->RequestCount(), 0u);

  const std::string guid = "5f0c7a3e-1b2d-4c6e-9a8b-0d1e2f3a4b5c";
  const struct {
    std::string clientId;
    std::string sent;
  } ids[] = {
      {"c&client_secret=INJECTED", "c%26client_secret%3DINJECTED"},
      {guid, guid},
  };
  for (const auto& id : ids) {
    idp->AddApplication({"tenant-1", id.clientId, kSecret, ""});
    AzureCredential c = Credential(idp->LoginEndpoint());
    c.clientId = id.clientId;
    TQCloudAuthAzureLib lib;
    ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(c)).IsError());
    GetAuthTokenRet ret;
    const CKoError st = Ask(lib, ret);
    EXPECT_FALSE(st.IsError()) << st.ToString();
    const std::string body = idp->Requests().back().body;
    EXPECT_EQ(body.rfind("client_id=" + id.sent + "&scope=", 0), 0u) << body;
    EXPECT_EQ(body.find("client_secret="), body.rfind("client_secret="));
  }
}

// A configuration line of 4 KiB and more is read like any other, so the
// proxy after it is used; a file that cannot be read whole stops the
// provider at Init with the file and line, and nothing goes out, neither
// through the proxy nor direct.
TEST_F(InputChecksTest, ConfigurationReadWholeOrNotAtAll) {
  tqtest::TempDir proxyDir;
  tqtest::TinyproxyProcess proxy(proxyDir.path());
  const std::string proxySettings =
      "[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
      "SENDLOGS_HTTP_PROXY_SITE=127.0.0.1\nSENDLOGS_HTTP_PROXY_PORT=" +
      std::to_string(proxy.port()) + "\n";
  Configure("; " + std::string(4096, 'c') + "\n" + proxySettings);
  {
    TQCloudAuthAzureLib lib;
    lib.setUseDBProxySettingsFlag(true);
    ASSERT_FALSE(
        lib.Init(tqtest::MakeAzureArgs(Credential(idp->LoginEndpoint())))
            .IsError());
    GetAuthTokenRet ret;
    const CKoError st = Ask(lib, ret);
    EXPECT_FALSE(st.IsError()) << st.ToString();
  }
  EXPECT_EQ(proxy.RequestCount(), 1);
  EXPECT_EQ(idp->RequestCount(), 1u);

  Configure(proxySettings + "SENDLOGS_HTTP_PROXY_USER\n");
  const std::string message = "Failed to read configuration file [" +
                              home.path() +
                              "/tqcloudauth.ini] at line 7: not a setting "
                              "(name = value)";
  for (bool useProxy : {true, false}) {
    TQCloudAuthAzureLib lib;
    lib.setUseDBProxySettingsFlag(useProxy);
    EXPECT_EQ(lib.Init(tqtest::MakeAzureArgs(Credential(idp->LoginEndpoint())))
                  .GetMessage(),
              message);
    GetAuthTokenRet ret;
    EXPECT_EQ(Ask(lib, ret).GetMessage(), "TQCloudAuthLib is not initialized");
    EXPECT_EQ(ret.accessToken, "unchanged");
  }
  // The HTTP client on its own refuses to send on such settings too.
  TQLibCurl client;
  EXPECT_FALSE(client.TQLibCurlInit("application/json", true, true, nullptr));
  EXPECT_FALSE(client.TQLibCurlSendHttpReq(
      HTTP_REQ_GET, idp->LoginEndpoint().c_str(), nullptr, 0, false, nullptr));
  unsigned long length = 0;
  EXPECT_EQ(std::string(client.GetHttpResponse(length, false)), message);
  EXPECT_EQ(proxy.RequestCount(), 1);
  EXPECT_EQ(idp->RequestCount(), 1u);
}

// Whatever the endpoint replies, a status message and a log line quote a
// few KiB of it, with its full size; nothing is cached.
TEST_F(InputChecksTest, RepliesAreQuotedUpToAFewKiB) {
  Configure("[Log]\nLevel=3\n");
  const std::string nested =
      std::string(100000, '[') + std::string(100000, ']');
  const std::string cut = "\xE2\x80\xA6 (200,000 bytes)";
  const struct {
    int status;
    std::string body;
    std::string message;
  } cases[] = {
      {400, nested,
       "Request failed with ErrorCode [400] Message [" +
           nested.substr(0, kMaxQuotedBytes) + cut + "]"},
      {200, nested,
       "Failed to unserialize auth response [" +
           nested.substr(0, kMaxQuotedBytes) + cut + "]"},
      {200,
       R"({"error":"invalid_client","error_description":")" +
           std::string(200000, 'd') + R"("})",
       "Auth request failed with error [invalid_client] [" +
           std::string(kMaxQuotedBytes, 'd') + cut + "]"},
  };
  TQCloudAuthAzureLib lib;
  ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(Credential(idp->LoginEndpoint())))
                   .IsError());
  for (const auto& c : cases) {
    tqidp::IdpFault fault;
    fault.status = c.status;
    fault.body = c.body;
    idp->SetFault(fault);
    GetAuthTokenRet ret;
    EXPECT_EQ(Ask(lib, ret).GetMessage(), c.message);
    EXPECT_EQ(ret.accessToken, "unchanged");
  }
  idp->ClearFault();
  // The failed request's log line is as short.
  const std::string log = home.LogText();
  ASSERT_NE(log.find("L3 sendHttpRequest"), std::string::npos);
  EXPECT_LT(log.size(), 2 * kMaxQuotedBytes) << log.size();
  EXPECT_NE(log.find("(200,000 bytes)"), std::string::npos);
}

}  // namespace
