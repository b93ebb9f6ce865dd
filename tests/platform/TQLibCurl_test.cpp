#include "platform/TQLibCurl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "internal/net/CaStore.h"
#include "internal/net/CurlPool.h"
#include "internal/net/HttpFailureReason.h"
#include "internal/net/RetryAfter.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::HttpsTestServer;
using tqtest::ScopedTqHome;
using tqtest::TestPki;

class TQLibCurlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                     "\nConnectTimeoutSeconds=5\nTimeoutSeconds=5\n");
  }

  std::string Body(TQLibCurl& client) {
    unsigned long length = 0;
    const char* text = client.GetHttpResponse(length, false);
    return text != nullptr ? std::string(text, length) : std::string("<null>");
  }

  TestPki* const pki = &tqtest::SharedPki();
  ScopedTqHome home;
};

TEST_F(TQLibCurlTest, PostsBodyAndHeadersOverHttps) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.set_content("{\"ok\":true}", "application/json");
  });
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  ASSERT_TRUE(client.TQLibCurlAppendHeader(HTTP_HDR_REQUEST,
                                           "Content-Type: text/x-test"));
  const std::string body(2000, 'b');  // large enough for libcurl's Expect
  ASSERT_TRUE(
      client.TQLibCurlSendHttpReq(HTTP_REQ_POST, server.Url("/p?q=1").c_str(),
                                  body.data(), body.size(), false, nullptr));
  EXPECT_EQ(client.GetHttpErrorCode(), 200);
  EXPECT_EQ(Body(client), "{\"ok\":true}");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/p");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].headers.count("Content-Type"), 1u);
  EXPECT_EQ(requests[0].headers.find("Content-Type")->second, "text/x-test");
  EXPECT_EQ(requests[0].headers.find("Accept")->second, "application/json");
  EXPECT_EQ(requests[0].headers.count("Expect"), 0u);
}

TEST_F(TQLibCurlTest, HttpErrorStatusFailsWithStatusAndBody) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.status = 401;
    res.set_content("{\"error\":\"invalid_client\"}", "application/json");
  });
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  EXPECT_FALSE(client.TQLibCurlSendHttpReq(HTTP_REQ_POST, server.Url().c_str(),
                                           "x", 1, false, nullptr));
  EXPECT_EQ(client.GetHttpErrorCode(), 401);
  EXPECT_EQ(Body(client), "{\"error\":\"invalid_client\"}");

  TQLibCurl lenient;
  ASSERT_TRUE(lenient.TQLibCurlInit(nullptr, true, false, nullptr));
  EXPECT_TRUE(lenient.TQLibCurlSendHttpReq(HTTP_REQ_GET, server.Url().c_str(),
                                           nullptr, 0, false, nullptr));
  EXPECT_EQ(lenient.GetHttpErrorCode(), 401);
}

TEST_F(TQLibCurlTest, TransportFailuresGiveLibcurlCodeAndText) {
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  EXPECT_FALSE(client.TQLibCurlSendHttpReq(
      HTTP_REQ_POST, "https://127.0.0.1:9/", "x", 1, false, nullptr));
  EXPECT_EQ(client.GetHttpErrorCode(), CURLE_COULDNT_CONNECT);
  EXPECT_NE(Body(client).find("127.0.0.1 port 9"), std::string::npos)
      << Body(client);
}

TEST_F(TQLibCurlTest, RefusesServersItCannotVerify) {
  struct Case {
    const char* name;
    tqtest::KeyPair pair;
    CURLcode expected;
  };
  const Case cases[] = {
      {"unknown CA", pki->UnknownCaServer(), CURLE_PEER_FAILED_VERIFICATION},
      {"other host name", pki->WrongHostServer(),
       CURLE_PEER_FAILED_VERIFICATION},
  };
  for (const Case& c : cases) {
    HttpsTestServer server(c.pair.certFile, c.pair.keyFile);
    TQLibCurl client;
    ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
    EXPECT_FALSE(client.TQLibCurlSendHttpReq(
        HTTP_REQ_POST, server.Url().c_str(), "x", 1, false, nullptr))
        << c.name;
    EXPECT_EQ(client.GetHttpErrorCode(), c.expected) << c.name;
    EXPECT_TRUE(server.Requests().empty()) << c.name;
  }
}

// The setters accept what the library needs (the proxy) and nothing else:
// no TLS version, verification, cipher, CA, protocol or redirect change.
TEST_F(TQLibCurlTest, OptionSettersAreAnAllowList) {
  TQLibCurl client;
  EXPECT_FALSE(client.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_PROXYTYPE,
                                                            CURLPROXY_HTTP))
      << "nothing before TQLibCurlInit";
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  const struct {
    CURLoption option;
    int value;
    bool accepted;
  } ints[] = {
      {CURLOPT_PROXYTYPE, CURLPROXY_HTTP, true},
      {CURLOPT_PROXYTYPE, CURLPROXY_SOCKS5, false},
      {CURLOPT_SSL_VERIFYPEER, 0, false},
      {CURLOPT_SSL_VERIFYPEER, 1, false},
      {CURLOPT_SSL_VERIFYHOST, 0, false},
      {CURLOPT_PROXY_SSL_VERIFYPEER, 0, false},
      {CURLOPT_DOH_SSL_VERIFYPEER, 0, false},
      {CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_0, false},
      {CURLOPT_SSL_OPTIONS, CURLSSLOPT_ALLOW_BEAST, false},
      {CURLOPT_FOLLOWLOCATION, 1, false},
      {CURLOPT_PROXY, 1, false},  // a text option through the int setter
  };
  for (const auto& c : ints) {
    EXPECT_EQ(client.TQLibCurlSetAdditionalOptionsIntValue(c.option, c.value),
              c.accepted)
        << "option " << c.option << " = " << c.value;
  }
  const struct {
    CURLoption option;
    const char* value;
    bool accepted;
  } texts[] = {
      {CURLOPT_PROXY, "127.0.0.1:9", true},
      {CURLOPT_PROXYUSERPWD, "alice:secret", true},
      {CURLOPT_PROXY, "", true},  // none, for the requests below
      {CURLOPT_PROXYUSERPWD, "", true},
      {CURLOPT_SSL_CIPHER_LIST, "ALL:@SECLEVEL=0", false},
      {CURLOPT_PROTOCOLS_STR, "all", false},
      {CURLOPT_CAINFO, "/etc/ssl/certs/ca-certificates.crt", false},
      {CURLOPT_CAPATH, "/etc/ssl/certs", false},
      {CURLOPT_NOPROXY, "*", false},
      {CURLOPT_URL, "https://elsewhere.example/", false},
      {CURLOPT_PROXYTYPE, "0", false},  // an int option through the text one
  };
  for (const auto& c : texts) {
    EXPECT_EQ(
        client.TQLibCurlSetAdditionalOptionsStringValue(c.option, c.value),
        c.accepted)
        << "option " << c.option << " = " << c.value;
  }

  // Verification is as it was: a server of an unknown CA is refused, ours
  // is accepted.
  HttpsTestServer impostor(pki->UnknownCaServer().certFile,
                           pki->UnknownCaServer().keyFile);
  EXPECT_FALSE(client.TQLibCurlSendHttpReq(HTTP_REQ_GET, impostor.Url().c_str(),
                                           nullptr, 0, false, nullptr));
  EXPECT_EQ(client.GetHttpErrorCode(), CURLE_PEER_FAILED_VERIFICATION);
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  EXPECT_TRUE(client.TQLibCurlSendHttpReq(HTTP_REQ_GET, server.Url().c_str(),
                                          nullptr, 0, false, nullptr))
      << Body(client);
}

// Timeouts outside 1..3600 seconds fall back to the defaults (10 and 30),
// with a warning naming the setting: no request waits unbounded.
TEST_F(TQLibCurlTest, TimeoutsOutOfRangeFallBackWithAWarning) {
  const struct {
    const char* value;
    long connect;  // the value in force
    long total;
  } cases[] = {
      {"1", 1, 1},     {"3600", 3600, 3600}, {"0", 10, 30},
      {"-5", 10, 30},  {"3601", 10, 30},     {"99999999999999", 10, 30},
      {"ten", 10, 30}, {"", 10, 30},
  };
  for (const auto& c : cases) {
    ScopedTqHome own;
    own.WriteConfig(std::string("[Http]\nConnectTimeoutSeconds=") + c.value +
                    "\nTimeoutSeconds=" + c.value + "\n");
    TQLibCurl client;
    ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
    EXPECT_EQ(client.ConnectTimeoutSeconds(), c.connect) << c.value;
    EXPECT_EQ(client.TimeoutSeconds(), c.total) << c.value;
    const std::string log = own.LogText();
    const bool warned = c.connect != std::atol(c.value) || c.value[0] == '\0';
    EXPECT_EQ(log.find("L2 TQLibCurlInit: Warning: [Http] TimeoutSeconds [" +
                       std::string(c.value) + "]") != std::string::npos,
              warned)
        << log;
    EXPECT_EQ(log.find("[Http] ConnectTimeoutSeconds [") != std::string::npos,
              warned)
        << log;
  }
  ScopedTqHome unset;
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  EXPECT_EQ(client.ConnectTimeoutSeconds(), 10);
  EXPECT_EQ(client.TimeoutSeconds(), 30);
  EXPECT_EQ(unset.LogText(), "") << "an absent setting is no warning";
}

// With CAFile only that bundle is trusted: libcurl loads no CA file or
// folder of its own. Without it, the system bundle: our test CA is then
// unknown.
TEST_F(TQLibCurlTest, TrustsExactlyTheConfiguredBundle) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", false, true, nullptr));
  client.toggleTrace(true);
  ASSERT_TRUE(client.TQLibCurlSendHttpReq(HTTP_REQ_GET, server.Url().c_str(),
                                          nullptr, 0, false, nullptr));
  const std::string log = home.LogText();
  EXPECT_NE(log.find("SSL certificate verify ok."), std::string::npos) << log;
  EXPECT_EQ(log.find("CAfile: /"), std::string::npos) << log;
  EXPECT_EQ(log.find("CApath: /"), std::string::npos) << log;

  ScopedTqHome systemStore;
  TQLibCurl system;
  ASSERT_TRUE(system.TQLibCurlInit("application/json", false, true, nullptr));
  EXPECT_FALSE(system.TQLibCurlSendHttpReq(HTTP_REQ_GET, server.Url().c_str(),
                                           nullptr, 0, false, nullptr));
  EXPECT_EQ(system.GetHttpErrorCode(), CURLE_PEER_FAILED_VERIFICATION)
      << Body(system);
  EXPECT_EQ(CaStore::SystemBundle(), "/etc/ssl/certs/ca-certificates.crt");

  ScopedTqHome missing;
  missing.WriteConfig("[Http]\nCAFile=" + missing.path() + "/none.pem\n");
  TQLibCurl broken;
  ASSERT_TRUE(broken.TQLibCurlInit("application/json", false, true, nullptr));
  EXPECT_FALSE(broken.TQLibCurlSendHttpReq(HTTP_REQ_GET, server.Url().c_str(),
                                           nullptr, 0, false, nullptr));
  EXPECT_EQ(broken.GetHttpErrorCode(), CURLE_SSL_CACERT_BADFILE);
  EXPECT_EQ(Body(broken).rfind("Cannot use the CA bundle: cannot open ", 0), 0u)
      << Body(broken);
}

// A changed CA file is parsed anew: the new CA's server is trusted, the old
// one's no longer (on a new connection), and an unchanged file is parsed
// once.
TEST_F(TQLibCurlTest, ChangedCaFileIsReloaded) {
  tqtest::TempDir otherDir;
  TestPki other(otherDir.path());
  const std::string caFile = home.path() + "/ca.pem";
  tqtest::WriteFile(caFile, tqtest::ReadFile(pki->caFile()));
  home.WriteConfig("[Http]\nCAFile=" + caFile + "\n");
  HttpsTestServer oldServer(pki->server().certFile, pki->server().keyFile);
  HttpsTestServer newServer(other.server().certFile, other.server().keyFile);

  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  auto get = [&client](const HttpsTestServer& s) {
    return client.TQLibCurlSendHttpReq(HTTP_REQ_GET, s.Url().c_str(), nullptr,
                                       0, false, nullptr);
  };
  std::shared_ptr<const CaStore> first;
  std::shared_ptr<const CaStore> again;
  std::string why;
  ASSERT_TRUE(get(oldServer));
  EXPECT_FALSE(get(newServer));
  ASSERT_TRUE(CaStore::Get(caFile, first, why)) << why;
  ASSERT_TRUE(CaStore::Get(caFile, again, why)) << why;
  EXPECT_EQ(first, again) << "an unchanged file is not parsed again";

  // File times tick at the kernel's clock granularity; a real change comes
  // later than this.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  tqtest::WriteFile(caFile, tqtest::ReadFile(other.caFile()));
  EXPECT_TRUE(get(newServer)) << Body(client);
  ASSERT_TRUE(CaStore::Get(caFile, again, why)) << why;
  EXPECT_NE(first, again);
  EXPECT_FALSE(get(oldServer)) << "trusted after its CA left the file";
  EXPECT_EQ(client.GetHttpErrorCode(), CURLE_PEER_FAILED_VERIFICATION);
}

// Clients with the same settings, one after another, share one kept-alive
// connection; pooled handles stay bounded.
TEST_F(TQLibCurlTest, ClientsShareConnections) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  for (int i = 0; i < 5; ++i) {
    TQLibCurl client;
    ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
    ASSERT_TRUE(client.TQLibCurlSendHttpReq(HTTP_REQ_POST, server.Url().c_str(),
                                            "x", 1, false, nullptr));
    EXPECT_EQ(client.GetConnectionCount(), i == 0 ? 1 : 0) << i;
  }
  EXPECT_EQ(server.Requests().size(), 5u);
  EXPECT_EQ(server.ConnectionCount(), 1u);
  EXPECT_LE(CurlPoolIdleHandles(), 16u);
}

TEST_F(TQLibCurlTest, ReusesOneConnection) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.TQLibCurlSendHttpReq(HTTP_REQ_POST, server.Url().c_str(),
                                            "x", 1, false, nullptr));
  }
  EXPECT_EQ(server.Requests().size(), 3u);
  EXPECT_EQ(server.ConnectionCount(), 1u);
  EXPECT_EQ(client.GetConnectionCount(), 1);

  TQLibCurl noReuse;
  ASSERT_TRUE(noReuse.TQLibCurlInit("application/json", false, true, nullptr));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(noReuse.TQLibCurlSendHttpReq(
        HTTP_REQ_POST, server.Url().c_str(), "x", 1, false, nullptr));
  }
  EXPECT_EQ(server.ConnectionCount(), 3u);
}

TEST_F(TQLibCurlTest, ResponsesAreCapped) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([](const httplib::Request& req, httplib::Response& res) {
    const size_t size = req.path == "/big" ? TQLibCurl::kMaxResponseBytes + 1
                                           : TQLibCurl::kMaxResponseBytes;
    res.set_content(std::string(size, 'z'), "text/plain");
  });
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  ASSERT_TRUE(client.TQLibCurlSendHttpReq(
      HTTP_REQ_GET, server.Url("/limit").c_str(), nullptr, 0, false, nullptr));
  EXPECT_EQ(Body(client).size(), TQLibCurl::kMaxResponseBytes);
  EXPECT_FALSE(client.TQLibCurlSendHttpReq(
      HTTP_REQ_GET, server.Url("/big").c_str(), nullptr, 0, false, nullptr));
  EXPECT_EQ(client.GetHttpErrorCode(), CURLE_WRITE_ERROR);
  EXPECT_EQ(Body(client), "Response larger than 1048576 bytes");
}

TEST_F(TQLibCurlTest, EmptyBodyGivesNull) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.status = 200;
  });
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  ASSERT_TRUE(client.TQLibCurlSendHttpReq(HTTP_REQ_POST, server.Url().c_str(),
                                          "x", 1, false, nullptr));
  unsigned long length = 99;
  EXPECT_EQ(client.GetHttpResponse(length, false), nullptr);
  EXPECT_EQ(length, 0u);
}

TEST_F(TQLibCurlTest, TraceGoesToTheLogWithoutBodiesOrCredentials) {
  HttpsTestServer server(pki->server().certFile, pki->server().keyFile);
  server.SetHandler([](const httplib::Request&, httplib::Response& res) {
    res.set_content("RESPONSE-BODY-SENTINEL", "text/plain");
  });
  TQLibCurl client;
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  client.toggleTrace(true);
  ASSERT_TRUE(client.TQLibCurlAppendHeader(
      HTTP_HDR_REQUEST, "Authorization: Bearer HEADER-SENTINEL"));
  ASSERT_TRUE(client.TQLibCurlSendHttpReq(HTTP_REQ_POST, server.Url().c_str(),
                                          "REQUEST-BODY-SENTINEL", 21, false,
                                          nullptr));
  const std::string log = home.LogText();
  EXPECT_NE(log.find("TQLibCurl: > POST / HTTP/1.1"), std::string::npos) << log;
  EXPECT_NE(log.find("TQLibCurl: > Authorization: ***"), std::string::npos);
  EXPECT_NE(log.find("TQLibCurl: < HTTP/1.1 200 OK"), std::string::npos);
  EXPECT_EQ(log.find("SENTINEL"), std::string::npos) << log;
}

}  // namespace

namespace {

TEST(RetryAfter, SecondsOrAnHttpDateCappedAtAnHour) {
  const int64_t now = 1800000000;  // 2027-01-15T08:00:00Z
  const struct {
    const char* value;
    int64_t seconds;
  } cases[] = {
      {"120", 120},
      {"0", 0},
      {" 7 \r\n", 7},
      {"3600", 3600},
      {"3601", 3600},
      {"999999999999999999999999", 3600},
      {"Fri, 15 Jan 2027 08:00:30 GMT", 30},
      {"Fri, 15 Jan 2027 07:59:00 GMT", 0},
      {"Sat, 16 Jan 2027 08:00:00 GMT", 3600},
      {"", -1},
      {"soon", -1},
      {"-5", -1},
      {"1.5", -1},
      {"12 s", -1},
      {"15 Jan 2027 08:00:30", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RetryAfterSeconds(c.value, now), c.seconds) << c.value;
  }
}

TEST(HttpFailureReason, FromLibcurlAndTheReply) {
  using R = TqFailureReason;
  EXPECT_EQ(TransferReason(CURLE_COULDNT_CONNECT, false, 0), R::kConnectFailed);
  EXPECT_EQ(TransferReason(CURLE_COULDNT_CONNECT, true, 0), R::kProxyFailed);
  EXPECT_EQ(TransferReason(CURLE_RECV_ERROR, true, 407), R::kProxyFailed);
  EXPECT_EQ(TransferReason(CURLE_OPERATION_TIMEDOUT, false, 0), R::kTimedOut);
  EXPECT_EQ(TransferReason(CURLE_PEER_FAILED_VERIFICATION, false, 0),
            R::kTlsFailed);
  EXPECT_EQ(StatusReason(429, -1), R::kThrottled);
  EXPECT_EQ(StatusReason(503, 10), R::kThrottled);
  EXPECT_EQ(StatusReason(503, -1), R::kServerError);
  EXPECT_EQ(StatusReason(407, -1), R::kProxyFailed);
  EXPECT_EQ(StatusReason(401, -1), R::kInvalidRequest);
}

}  // namespace
