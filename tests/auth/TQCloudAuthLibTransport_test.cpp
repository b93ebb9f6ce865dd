// The library object's transport against real peers: an HTTPS server with a
// generated CA, and tinyproxy with and without Basic authentication.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "auth/TQCloudAuthLib.h"
#include "tests/auth/TestAuthLib.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"

namespace {

using tqtest::HttpsTestServer;
using tqtest::ScopedTqHome;
using tqtest::TestAuthLib;
using tqtest::TestPki;
using tqtest::TinyproxyProcess;

const char kSecret[] = "SECRET-SENTINEL-7f3a";
const char kAssertion[] = "ASSERTION-SENTINEL.eyJ.c2ln";

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<HttpsTestServer>(pki->server().certFile,
                                               pki->server().keyFile);
    Configure("");
  }

  // tqcloudauth.ini trusting the test CA, plus extra settings.
  void Configure(const std::string& extra) {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                     "\nConnectTimeoutSeconds=5\nTimeoutSeconds=5\n" + extra);
  }

  static std::string ProxyConfig(int port, const std::string& site,
                                 const std::string& auth) {
    return "[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
           "SENDLOGS_HTTP_PROXY_SITE=" +
           site + "\nSENDLOGS_HTTP_PROXY_PORT=" + std::to_string(port) + "\n" +
           auth;
  }

  // A library object initialised with a client, ready to send.
  std::unique_ptr<TestAuthLib> ReadyLib(bool useProxySettings = false) {
    auto lib = std::make_unique<TestAuthLib>();
    lib->setUseDBProxySettingsFlag(useProxySettings);
    EXPECT_FALSE(lib->TQCloudAuthLibInit({"", "stored"}).IsError());
    const CKoError st = lib->initCurlObject();
    EXPECT_FALSE(st.IsError()) << st.ToString();
    return lib;
  }

  CKoError Send(TQCloudAuthLib& lib, std::string& response,
                const std::string& path = "/token") {
    const std::string body =
        std::string(
            "client_id=app&scope=s&grant_type=client_credentials&"
            "client_secret=") +
        kSecret + "&client_assertion=" + kAssertion;
    return lib.sendHttpRequest(
        HTTP_REQ_POST, server->Url(path),
        {"Content-Type: application/x-www-form-urlencoded"}, body, response);
  }

  TestPki* const pki = &tqtest::SharedPki();
  ScopedTqHome home;
  std::unique_ptr<HttpsTestServer> server;
};

TEST_F(TransportTest, PostArrivesWithBodyAndTheOneHeader) {
  server->SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"access_token\":\"t\"}", "application/json");
  });
  auto lib = ReadyLib();
  std::string response;
  const CKoError st = lib->sendHttpRequest(
      HTTP_REQ_POST, server->Url("/tenant/oauth2/v2.0/token"),
      {"Content-Type: application/x-www-form-urlencoded"}, "a=1&b=2", response);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_EQ(response, "{\"access_token\":\"t\"}");
  const auto requests = server->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/tenant/oauth2/v2.0/token");
  EXPECT_EQ(requests[0].body, "a=1&b=2");
  EXPECT_EQ(requests[0].headers.count("Content-Type"), 1u);
  EXPECT_EQ(requests[0].headers.find("Content-Type")->second,
            "application/x-www-form-urlencoded");
}

TEST_F(TransportTest, EmptyReplyIsAFailureAndLeavesResponse) {
  server->SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.status = 200;
  });
  auto lib = ReadyLib();
  std::string response = "unchanged";
  const CKoError st = Send(*lib, response);
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetWin32Code(), 774u);
  EXPECT_EQ(st.GetMessage(), "Empty response received for request");
  EXPECT_EQ(response, "unchanged");
  const std::string log = home.LogText();
  EXPECT_NE(log.find("L3 sendHttpRequest: Error: Empty response received for "
                     "request [" +
                     server->Url("/token") +
                     "] [client_id=app&scope=s&grant_type=client_credentials&"
                     "client_secret=***&client_assertion=***]"),
            std::string::npos)
      << log;
}

TEST_F(TransportTest, ErrorStatusReportsCodeAndBody) {
  for (int status : {400, 401, 500}) {
    server->SetHandler(
        [status](const httplib::Request&, httplib::Response& res) {
          res.status = status;
          res.set_content("{\"error\":\"invalid_client\"}", "application/json");
        });
    auto lib = ReadyLib();
    std::string response = "unchanged";
    const CKoError st = Send(*lib, response);
    ASSERT_TRUE(st.IsError());
    EXPECT_EQ(st.GetMessage(),
              "Request failed with ErrorCode [" + std::to_string(status) +
                  "] Message [{\"error\":\"invalid_client\"}]");
    EXPECT_EQ(response, "unchanged");
  }
  const std::string log = home.LogText();
  EXPECT_NE(log.find("] failed with ErrorCode [500] Message "
                     "[{\"error\":\"invalid_client\"}]"),
            std::string::npos)
      << log;
}

TEST_F(TransportTest, FailedReplyCarryingATokenShowsItMasked) {
  server->SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.status = 502;
    res.set_content(R"({"access_token":"TOKEN-SENTINEL","id_token":["T"]})",
                    "application/json");
  });
  auto lib = ReadyLib();
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetMessage(),
            "Request failed with ErrorCode [502] Message "
            R"([{"access_token":"***","id_token":["***"]}])");
  const std::string log = home.LogText();
  EXPECT_NE(log.find(R"(Message [{"access_token":"***","id_token":["***"]}])"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("TOKEN-SENTINEL"), std::string::npos);
}

TEST_F(TransportTest, FailedSendLogNeverShowsSecretOrAssertion) {
  server->SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.status = 400;
    res.set_content("bad", "text/plain");
  });
  auto lib = ReadyLib();
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_TRUE(st.IsError());
  const std::string log = home.LogText();
  ASSERT_NE(log.find("client_secret=***&client_assertion=***"),
            std::string::npos)
      << log;
  for (const std::string& text : {log, st.ToString()}) {
    EXPECT_EQ(text.find("SECRET-SENTINEL"), std::string::npos);
    EXPECT_EQ(text.find("ASSERTION-SENTINEL"), std::string::npos);
    EXPECT_EQ(text.find("c2ln"), std::string::npos);
  }
}

TEST_F(TransportTest, RefusedConnectionSaysWhy) {
  auto lib = ReadyLib();
  std::string response = "unchanged";
  const CKoError st = lib->sendHttpRequest(
      HTTP_REQ_POST, "https://127.0.0.1:9/token", {}, "a=1", response);
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetMessage().rfind("Request failed with ErrorCode [7] Message "
                                  "[Failed to connect to 127.0.0.1 port 9",
                                  0),
            0u)
      << st.GetMessage();
  EXPECT_EQ(response, "unchanged");
}

TEST_F(TransportTest, UnknownCaIsRefused) {
  const tqtest::KeyPair untrusted = pki->UnknownCaServer();
  HttpsTestServer impostor(untrusted.certFile, untrusted.keyFile);
  auto lib = ReadyLib();
  std::string response;
  const CKoError st =
      lib->sendHttpRequest(HTTP_REQ_POST, impostor.Url(), {}, "a=1", response);
  ASSERT_TRUE(st.IsError());
  EXPECT_NE(st.GetMessage().find("ErrorCode [60]"), std::string::npos)
      << st.GetMessage();
  EXPECT_TRUE(impostor.Requests().empty());
}

TEST_F(TransportTest, TwoRequestsShareOneConnection) {
  auto lib = ReadyLib();
  for (int i = 0; i < 2; ++i) {
    std::string response;
    const CKoError st = Send(*lib, response);
    ASSERT_FALSE(st.IsError()) << st.ToString();
    EXPECT_EQ(response, "ok");
  }
  EXPECT_EQ(server->Requests().size(), 2u);
  EXPECT_EQ(server->ConnectionCount(), 1u);
}

class ProxyTest : public TransportTest {
 protected:
  tqtest::TempDir proxyDir;
};

TEST_F(ProxyTest, RequestGoesThroughTheConfiguredProxy) {
  TinyproxyProcess proxy(proxyDir.path());
  Configure(ProxyConfig(proxy.port(), "127.0.0.1", ""));
  auto lib = ReadyLib(true);
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_EQ(response, "ok");
  EXPECT_EQ(proxy.RequestCount(), 1) << proxy.Log();
  EXPECT_NE(
      proxy.Log().find("CONNECT 127.0.0.1:" + std::to_string(server->port())),
      std::string::npos);
}

TEST_F(ProxyTest, ProxyFlagOffReadsNothing) {
  TinyproxyProcess proxy(proxyDir.path());
  Configure(ProxyConfig(proxy.port(), "127.0.0.1", ""));
  auto lib = ReadyLib(false);
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_EQ(proxy.RequestCount(), 0);
  EXPECT_EQ(server->Requests().size(), 1u);
}

TEST_F(ProxyTest, SiteZeroTurnsTheProxyOff) {
  // A dead port: a request through it could not succeed.
  Configure(ProxyConfig(TinyproxyProcess::FreePort(), "0.0.0.0", ""));
  auto lib = ReadyLib(true);
  std::string response;
  const CKoError st = Send(*lib, response);
  EXPECT_FALSE(st.IsError()) << st.ToString();
}

TEST_F(ProxyTest, BasicAuthentication) {
  TinyproxyProcess proxy(proxyDir.path(), "alice", "PROXY-PASSWORD-SENTINEL");
  const std::string auth =
      "HUBMASTER_USE_PROXY_AUTHENTICATION=1\nSENDLOGS_HTTP_PROXY_USER=alice\n"
      "SENDLOGS_HTTP_PROXY_PASSWORD=PROXY-PASSWORD-SENTINEL\n"
      "[EventManager]\nbEnableCurlTrace=1\n";
  Configure(ProxyConfig(proxy.port(), "127.0.0.1", auth));
  auto lib = ReadyLib(true);
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_EQ(proxy.RequestCount(), 1);
  const std::string log = home.LogText();
  EXPECT_NE(log.find("> Proxy-Authorization: ***"), std::string::npos) << log;
  EXPECT_EQ(log.find("PROXY-PASSWORD-SENTINEL"), std::string::npos);
  EXPECT_EQ(log.find("UFJPWFktUEFTU1dPUkQtU0VOVElORUw"), std::string::npos)
      << "nor its Base64 form";
}

TEST_F(ProxyTest, WrongProxyPasswordIsRefusedByTheProxy) {
  TinyproxyProcess proxy(proxyDir.path(), "alice", "right");
  Configure(ProxyConfig(proxy.port(), "127.0.0.1",
                        "HUBMASTER_USE_PROXY_AUTHENTICATION=1\n"
                        "SENDLOGS_HTTP_PROXY_USER=alice\n"
                        "SENDLOGS_HTTP_PROXY_PASSWORD=wrong\n"));
  auto lib = ReadyLib(true);
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_TRUE(st.IsError());
  // tinyproxy answers bad credentials with 401, missing ones with 407.
  EXPECT_NE(st.GetMessage().find("CONNECT tunnel failed, response 401"),
            std::string::npos)
      << st.GetMessage();
  EXPECT_TRUE(server->Requests().empty());
}

TEST_F(ProxyTest, EmptyPasswordSetsNoUserButKeepsTheProxy) {
  // Without credentials the authenticating proxy answers 407: that shows the
  // request went to the proxy and carried no user.
  TinyproxyProcess proxy(proxyDir.path(), "alice", "right");
  Configure(ProxyConfig(proxy.port(), "127.0.0.1",
                        "HUBMASTER_USE_PROXY_AUTHENTICATION=1\n"
                        "SENDLOGS_HTTP_PROXY_USER=alice\n"
                        "SENDLOGS_HTTP_PROXY_PASSWORD=\n"
                        "[EventManager]\nbEnableCurlTrace=1\n"));
  auto lib = ReadyLib(true);
  std::string response;
  const CKoError st = Send(*lib, response);
  ASSERT_TRUE(st.IsError());
  EXPECT_NE(st.GetMessage().find("CONNECT tunnel failed, response 407"),
            std::string::npos)
      << st.GetMessage();
  EXPECT_EQ(home.LogText().find("Proxy-Authorization"), std::string::npos);

  tqtest::TempDir openDir;
  TinyproxyProcess open(openDir.path());
  Configure(ProxyConfig(open.port(), "127.0.0.1",
                        "HUBMASTER_USE_PROXY_AUTHENTICATION=1\n"
                        "SENDLOGS_HTTP_PROXY_USER=alice\n"
                        "SENDLOGS_HTTP_PROXY_PASSWORD=\n"));
  auto viaOpen = ReadyLib(true);
  const CKoError ok = Send(*viaOpen, response);
  EXPECT_FALSE(ok.IsError()) << ok.ToString();
  EXPECT_EQ(open.RequestCount(), 1);
}

// Only the configuration decides about the proxy: NO_PROXY and no_proxy in
// the environment, whatever they name, do not send the request around it,
// and https_proxy does not add one.
TEST_F(ProxyTest, ProxyEnvironmentIsIgnored) {
  const struct {
    const char* name;
    const char* value;  // "PROXY": the proxy's URL
    bool configured;    // the proxy is in the configuration
  } cases[] = {
      {"NO_PROXY", "*", true},
      {"no_proxy", "127.0.0.1", true},
      {"NO_PROXY", "127.0.0.1,localhost", true},
      {"https_proxy", "PROXY", false},
      {"HTTPS_PROXY", "PROXY", false},
  };
  for (const auto& c : cases) {
    // A proxy of its own: a tunnel kept open by an earlier case would carry
    // the request without a new CONNECT.
    tqtest::TempDir dir;
    TinyproxyProcess proxy(dir.path());
    const std::string url = "http://127.0.0.1:" + std::to_string(proxy.port());
    ::setenv(c.name, std::string(c.value) == "PROXY" ? url.c_str() : c.value,
             1);
    Configure(c.configured ? ProxyConfig(proxy.port(), "127.0.0.1", "") : "");
    auto lib = ReadyLib(true);
    std::string response;
    const CKoError st = Send(*lib, response);
    ::unsetenv(c.name);
    ASSERT_FALSE(st.IsError()) << c.name << ": " << st.ToString();
    EXPECT_EQ(proxy.RequestCount(), c.configured ? 1 : 0)
        << c.name << "=" << c.value;
  }
}

// Requests through a proxy and direct ones never share a connection; the
// direct ones share theirs.
TEST_F(ProxyTest, ConnectionsAreKeptApartByProxy) {
  TinyproxyProcess proxy(proxyDir.path());
  auto direct = ReadyLib(false);
  auto proxied = ReadyLib(false);
  ASSERT_FALSE(
      proxied->setProxyServer("127.0.0.1:" + std::to_string(proxy.port()))
          .IsError());
  auto directAgain = ReadyLib(false);
  for (TestAuthLib* lib : {direct.get(), proxied.get(), directAgain.get()}) {
    std::string response;
    ASSERT_FALSE(Send(*lib, response).IsError());
  }
  EXPECT_EQ(proxy.RequestCount(), 1);
  EXPECT_EQ(server->Requests().size(), 3u);
  EXPECT_EQ(server->ConnectionCount(), 2u) << "one direct, one tunnelled";
}

TEST_F(ProxyTest, ExplicitProxySetter) {
  TinyproxyProcess proxy(proxyDir.path());
  auto lib = ReadyLib(false);
  ASSERT_FALSE(lib->setProxyServer("127.0.0.1:" + std::to_string(proxy.port()))
                   .IsError());
  std::string response;
  ASSERT_FALSE(Send(*lib, response).IsError());
  EXPECT_EQ(proxy.RequestCount(), 1);
}

}  // namespace
