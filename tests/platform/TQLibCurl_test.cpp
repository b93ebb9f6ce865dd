#include "platform/TQLibCurl.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::HttpsTestServer;
using tqtest::ScopedTqHome;
using tqtest::TestPki;

// One PKI for the whole program: key generation is the slow part.
class TQLibCurlTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pkiDir = new tqtest::TempDir();
    pki = new TestPki(pkiDir->path());
  }
  static void TearDownTestSuite() {
    delete pki;
    delete pkiDir;
  }
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                     "\nConnectTimeoutSeconds=5\nTimeoutSeconds=5\n");
  }

  std::string Body(TQLibCurl& client) {
    unsigned long length = 0;
    const char* text = client.GetHttpResponse(length, false);
    return text != nullptr ? std::string(text, length) : std::string("<null>");
  }

  static tqtest::TempDir* pkiDir;
  static TestPki* pki;
  ScopedTqHome home;
};

tqtest::TempDir* TQLibCurlTest::pkiDir = nullptr;
TestPki* TQLibCurlTest::pki = nullptr;

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

TEST_F(TQLibCurlTest, VerificationCannotBeSwitchedOff) {
  TQLibCurl client;
  EXPECT_FALSE(
      client.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_PROXYTYPE, 0))
      << "no handle before TQLibCurlInit";
  ASSERT_TRUE(client.TQLibCurlInit("application/json", true, true, nullptr));
  EXPECT_FALSE(
      client.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_SSL_VERIFYPEER, 0));
  EXPECT_FALSE(
      client.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_SSL_VERIFYHOST, 0));
  EXPECT_FALSE(client.TQLibCurlSetAdditionalOptionsIntValue(
      CURLOPT_PROXY_SSL_VERIFYPEER, 0));
  EXPECT_TRUE(
      client.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_SSL_VERIFYPEER, 1));
  EXPECT_FALSE(client.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_PROXY, 1))
      << "a text option through the int setter";
  EXPECT_FALSE(
      client.TQLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXYTYPE, "0"))
      << "an int option through the text setter";

  HttpsTestServer server(pki->UnknownCaServer().certFile,
                         pki->UnknownCaServer().keyFile);
  EXPECT_FALSE(client.TQLibCurlSendHttpReq(HTTP_REQ_GET, server.Url().c_str(),
                                           nullptr, 0, false, nullptr));
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
