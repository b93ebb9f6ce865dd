// Faults injected into real token traffic: the local token endpoint (or a
// test server, a silent socket, a refusing proxy) misbehaves, and the
// provider must end in the documented status within its timeouts, keep its
// cached token and the caller's record as they were, and write no secret to
// the log or into a status. Every case runs for a client secret and for a
// certificate credential, with the trace and the most detailed log level on
// so that the most text possible is checked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "auth/azure/internal/ProviderState.h"
#include "internal/cache/TokenCache.h"
#include "platform/TQLibCurl.h"
#include "platform/TQPassword.h"
#include "platform/auto_handle.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/HttpsTestServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"
#include "tools/idp/IdpServer.h"
#include "util/Base64Codec.h"
#include "util/UrlCodec.h"

namespace {

using TQCloudAuth::GetAuthTokenArgs;
using TQCloudAuth::GetAuthTokenRet;
using tqtest::AzureCredential;

const char kSecret[] = "SECRET-SENTINEL-7f3a&+/";
const char kCertPassword[] = "CERT-SENTINEL-9c1e";
const char kProxyPassword[] = "PROXY-SENTINEL-3b5d";
const char kReplyToken[] = "TOKEN-SENTINEL-51aa";    // in faulty replies
const char kCachedToken[] = "CACHED-SENTINEL-0d2e";  // held before the call
const char kScope[] = "https://vault.azure.net/.default";

// The provider with its cache opened for the checks.
class FaultLib : public TQCloudAuthAzureLib {
 public:
  using TQCloudAuthAzureLib::azureParams;
};

struct CacheState {
  std::string token;
  std::string type;
  int64_t expiry = 0;
  size_t scopes = 0;
  bool operator==(const CacheState& o) const {
    return token == o.token && type == o.type && expiry == o.expiry &&
           scopes == o.scopes;
  }
};

CacheState CacheOf(FaultLib& lib) {
  const TQCloudAuth::TokenCache& cache = AzureProviderAccess::Cache(lib);
  TQCloudAuth::CachedToken held;
  cache.Find(kScope, held);
  return {held.accessToken, held.tokenType, held.expireTime, cache.Size()};
}

// Puts a token for kScope into lib's cache.
void HoldToken(FaultLib& lib, const std::string& token, int64_t expiry) {
  TQCloudAuth::CachedToken held;
  held.accessToken = token;
  held.tokenType = "Bearer";
  held.expireTime = expiry;
  AzureProviderAccess::Cache(lib).Store(kScope, held);
}

// A TCP socket on 127.0.0.1 that never says a word. With a full accept
// queue it does not even complete connections: the kernel drops the SYNs.
class SilentPeer {
 public:
  explicit SilentPeer(bool completeConnections) {
    m_listener.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&addr),
               sizeof addr) != 0 ||
        ::listen(m_listener.get(), completeConnections ? 16 : 0) != 0 ||
        ::getsockname(m_listener.get(), reinterpret_cast<sockaddr*>(&addr),
                      &len) != 0) {
      throw std::runtime_error("silent peer: cannot listen");
    }
    m_port = ntohs(addr.sin_port);
    if (!completeConnections) {
      // Fill the queue of one (backlog 0) and then some, never accepting.
      for (int i = 0; i < 3; ++i) {
        auto_handle filler(
            ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        (void)::connect(filler.get(), reinterpret_cast<sockaddr*>(&addr),
                        sizeof addr);
        m_fillers.push_back(std::move(filler));
      }
    }
  }
  std::string LoginEndpoint() const {
    return "https://127.0.0.1:" + std::to_string(m_port) + "/";
  }

 private:
  auto_handle m_listener;
  std::vector<auto_handle> m_fillers;
  int m_port = 0;
};

// Where the token request goes.
enum class Peer {
  kIdp,           // the local token endpoint, told to misbehave
  kIdpViaProxy,   // the same, through a proxy that refuses our login
  kSilentTls,     // accepts TCP, never answers the TLS handshake
  kNoConnection,  // never completes the TCP handshake
  kMidReply,      // sends half a reply and closes
  kUnknownCa,     // a certificate from a CA nobody trusts
  kWrongHost,     // our CA, but for another host name
  kExpired,       // our CA and host, but expired
};

struct FaultCase {
  const char* name;
  Peer peer = Peer::kIdp;
  bool hasFault = false;
  tqidp::IdpFault fault;
  std::string config;         // more tqcloudauth.ini lines
  std::string message;        // the status message, or its start
  bool wholeMessage = false;  // message is the whole text
  double minSeconds = 0;      // bounds on the call's duration (0: none)
  double maxSeconds = 0;
  size_t maxRequests = 1;  // token requests the endpoint may see
};

FaultCase Reply(const char* name, int status, const std::string& body,
                const std::string& message, bool wholeMessage,
                const char* contentType = "application/json") {
  FaultCase c;
  c.name = name;
  c.hasFault = true;
  c.fault.status = status;
  c.fault.body = body;
  c.fault.contentType = contentType;
  c.message = message;
  c.wholeMessage = wholeMessage;
  return c;
}

// A peer other than the misbehaving endpoint; message is whole unless its
// end varies (timings, byte counts).
FaultCase At(const char* name, Peer peer, const std::string& message,
             bool wholeMessage, size_t maxRequests = 0) {
  FaultCase c;
  c.name = name;
  c.peer = peer;
  c.message = message;
  c.wholeMessage = wholeMessage;
  c.maxRequests = maxRequests;
  return c;
}

std::vector<FaultCase> Cases() {
  std::vector<FaultCase> cases;
  const std::string unparsed = "Failed to unserialize auth response [";

  // Nothing comes back: each ends within its own timeout, not the other's.
  FaultCase slow;
  slow.name = "EndpointNeverAnswers";
  slow.hasFault = true;
  slow.fault.delayMs = 8000;
  slow.config = "ConnectTimeoutSeconds=10\nTimeoutSeconds=1\n";
  slow.message =
      "Request failed with ErrorCode [28] Message [Operation timed out after ";
  slow.minSeconds = 0.9;
  slow.maxSeconds = 5;
  cases.push_back(slow);
  FaultCase silent =
      At("TlsHandshakeNeverAnswered", Peer::kSilentTls,
         "Request failed with ErrorCode [28] Message [Connection "
         "timed out after ",
         false);
  silent.config = "ConnectTimeoutSeconds=10\nTimeoutSeconds=1\n";
  silent.minSeconds = 0.9;
  silent.maxSeconds = 5;
  cases.push_back(silent);
  FaultCase unconnected =
      At("ConnectionNeverCompletes", Peer::kNoConnection,
         "Request failed with ErrorCode [28] Message [Failed to "
         "connect to 127.0.0.1 port ",
         false);
  unconnected.config = "ConnectTimeoutSeconds=1\nTimeoutSeconds=30\n";
  unconnected.minSeconds = 0.9;
  unconnected.maxSeconds = 5;
  cases.push_back(unconnected);

  // The connection goes away. libcurl sends again, once, on a fresh
  // connection when a reused one closes before any reply byte.
  FaultCase dropped;
  dropped.name = "ConnectionClosedWithoutReply";
  dropped.hasFault = true;
  dropped.fault.closeConnection = true;
  dropped.message =
      "Request failed with ErrorCode [52] Message [Empty reply from server]";
  dropped.wholeMessage = true;
  dropped.maxRequests = 2;
  cases.push_back(dropped);
  cases.push_back(At("ConnectionClosedMidReply", Peer::kMidReply,
                     "Request failed with ErrorCode [18] Message [transfer "
                     "closed with ",
                     false, 1));

  // Replies that are not a token.
  const std::string html =
      "<html><body><h1>500 Internal Server Error</h1></body></html>";
  cases.push_back(
      Reply("ServerErrorWithHtml", 500, html,
            "Request failed with ErrorCode [500] Message [" + html + "]", true,
            "text/html"));
  cases.push_back(Reply("ThrottledWithRetryAfter", 429,
                        R"({"error":"temporarily_unavailable"})",
                        "Request failed with ErrorCode [429] Message "
                        R"([{"error":"temporarily_unavailable"}])",
                        true));
  // A failed reply that carries a token anyway: shown masked.
  cases.push_back(Reply(
      "ServerErrorCarryingAToken", 503,
      std::string(R"({"access_token":")") + kReplyToken + R"("})",
      R"(Request failed with ErrorCode [503] Message [{"access_token":"***"}])",
      true));
  cases.push_back(
      Reply("EmptyBody", 200, "", "Empty response received for request", true));
  const std::string huge = std::string(R"({"access_token":")") + kReplyToken +
                           std::string(TQLibCurl::kMaxResponseBytes, 'x') +
                           R"(","expires_in":3599})";
  cases.push_back(Reply("BodyOverTheCap", 200, huge,
                        "Request failed with ErrorCode [23] Message [Response "
                        "larger than 1048576 bytes]",
                        true));
  cases.push_back(Reply("NotJson", 200, "<html>maintenance</html>",
                        unparsed + "<html>maintenance</html>]", true,
                        "text/html"));
  cases.push_back(Reply("TruncatedJson", 200,
                        std::string(R"({"access_token":")") + kReplyToken,
                        unparsed + R"({"access_token":"***])", true));

  // JSON whose members have the wrong types: none of it becomes a token,
  // and no token text shows in the message.
  const struct {
    const char* name;
    std::string body;
  } mistyped[] = {
      {"TokenIsANumber", R"({"access_token":12345,"expires_in":3599})"},
      {"TokenIsAnArray", std::string(R"({"access_token":[")") + kReplyToken +
                             R"("],"expires_in":3599})"},
      {"TokenIsAnObject", std::string(R"({"access_token":{"v":")") +
                              kReplyToken + R"("},"expires_in":3599})"},
      {"TokenIsNull", R"({"access_token":null,"expires_in":3599})"},
      {"ExpiresInIsABoolean", std::string(R"({"access_token":")") +
                                  kReplyToken + R"(","expires_in":true})"},
      {"ExpiresInIsAnArray", std::string(R"({"access_token":")") + kReplyToken +
                                 R"(","expires_in":[3599]})"},
      {"ExpiresInIsAFraction", std::string(R"({"access_token":")") +
                                   kReplyToken + R"(","expires_in":1.5})"},
      {"ExpiresInIsNotDigits", std::string(R"({"access_token":")") +
                                   kReplyToken + R"(","expires_in":"1h"})"},
      {"EscapedMemberName", std::string(R"({"access\u005ftoken":")") +
                                kReplyToken + R"(","expires_in":false})"},
      {"TopLevelArray", std::string(R"([{"access_token":")") + kReplyToken +
                            R"(","expires_in":3599}])"},
  };
  for (const auto& m : mistyped) {
    cases.push_back(Reply(m.name, 200, m.body, unparsed, false));
  }
  cases.push_back(
      Reply("ErrorDescriptionIsANumber", 200,
            R"({"error":"invalid_client","error_description":7000215})",
            "Auth request failed with error [invalid_client] []", true));

  // A redirect is not followed: the credential goes to one place only.
  FaultCase moved = Reply("RedirectIsNotFollowed", 307, "",
                          "Empty response received for request", true);
  cases.push_back(moved);

  // Peers that must be refused before anything is sent.
  cases.push_back(At("UnknownCa", Peer::kUnknownCa,
                     "Request failed with ErrorCode [60] Message [SSL "
                     "certificate problem: unable to get local issuer "
                     "certificate]",
                     true));
  cases.push_back(At("CertificateForAnotherHost", Peer::kWrongHost,
                     "Request failed with ErrorCode [60] Message [SSL: no "
                     "alternative certificate subject name matches target "
                     "host name '127.0.0.1']",
                     true));
  cases.push_back(At("ExpiredCertificate", Peer::kExpired,
                     "Request failed with ErrorCode [60] Message [SSL "
                     "certificate problem: certificate has expired]",
                     true));
  cases.push_back(At("ProxyRefusesAuthentication", Peer::kIdpViaProxy,
                     "Request failed with ErrorCode [56] Message [CONNECT "
                     "tunnel failed, response 401]",
                     true));
  return cases;
}

const std::vector<FaultCase>& AllCases() {
  static const std::vector<FaultCase> cases = Cases();
  return cases;
}

enum class Credential { kClientSecret, kCertificate };

// The shared PKI with the bad server certificates a client must refuse, and
// the application's certificate.
struct Pki {
  tqtest::TestPki& pki = tqtest::SharedPki();
  std::string clientCertificatePem;
  std::string clientPemWithKey;
  std::string thumbprintHex;
  tqtest::KeyPair unknownCa;
  tqtest::KeyPair wrongHost;
  tqtest::KeyPair expired;

  Pki() {
    const tqtest::ClientCertificate client =
        tqtest::MakeClientCertificate("fault application", kCertPassword);
    clientCertificatePem = client.certificatePem;
    clientPemWithKey = clientCertificatePem + client.keyPem;
    thumbprintHex = client.thumbprintHex;
    unknownCa = pki.UnknownCaServer();
    wrongHost = pki.WrongHostServer();
    tqtest::CertificateFields old;
    old.commonName = "localhost";
    old.dnsNames = {"localhost"};
    old.ipAddresses = {"127.0.0.1"};
    old.notBeforeOffsetSeconds = -7200;
    old.validSeconds = 3600;
    expired = pki.Issue("expired-server", old);
  }
};

// Made once: key generation is the slow part.
const Pki& FaultPki() {
  static const Pki pki;
  return pki;
}

class TokenFaultTest
    : public ::testing::TestWithParam<std::tuple<size_t, Credential>> {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir((home.path() + "/certificates").c_str(), 0700), 0);
    idp = tqtest::StartTestEndpoint(kSecret, pki->clientCertificatePem);
    ASSERT_TRUE(idp);
  }

  void Configure(const std::string& http, const std::string& more) {
    home.WriteConfig(
        "[Http]\nCAFile=" + pki->pki.caFile() + "\n" +
        (http.empty() ? "ConnectTimeoutSeconds=10\nTimeoutSeconds=10\n"
                      : http) +
        "[Log]\nLevel=5\n[EventManager]\nbEnableCurlTrace=1\n" + more);
  }

  AzureCredential MakeCredential(Credential kind,
                                 const std::string& loginEndpoint) {
    AzureCredential c;
    c.loginEndpoint = loginEndpoint;
    TQPassword passwords;
    if (kind == Credential::kClientSecret) {
      c.authType = tqtest::AuthType::kClientSecret;
      c.clientId = "client-1";
      EXPECT_TRUE(passwords.encrypt(kSecret, c.storedPassword));
    } else {
      c.authType = tqtest::AuthType::kCertificate;
      c.clientId = "client-2";
      c.certificateName = "fault-app";
      c.certificateBase64 = tqtest::Base64Of(pki->clientPemWithKey);
      c.thumbprintHex = pki->thumbprintHex;
      EXPECT_TRUE(passwords.encrypt(kCertPassword, c.storedPassword));
    }
    return c;
  }

  // Every text that must never be written: the secrets in their plain,
  // URL-encoded and Base64 forms, and the assertions the endpoint saw.
  std::vector<std::string> Forbidden() const {
    std::vector<std::string> out;
    for (const std::string& s :
         {std::string(kSecret), std::string(kCertPassword),
          std::string(kProxyPassword), std::string(kReplyToken),
          std::string(kCachedToken)}) {
      out.push_back(s);
      out.push_back(urlEncode(s));
      out.push_back(tqtest::Base64Of(s));
    }
    out.push_back(tqtest::Base64Of(std::string("alice:") + kProxyPassword));
    for (const tqidp::IdpRequest& r : idp->Requests()) {
      const size_t at = r.body.find("client_assertion=");
      if (at == std::string::npos) {
        continue;
      }
      const size_t end = r.body.find('&', at);
      const std::string jwt = r.body.substr(at + 17, end - at - 17);
      out.push_back(jwt);
      out.push_back(jwt.substr(jwt.rfind('.') + 1));  // the signature
    }
    return out;
  }

  void ExpectNothingSecretIn(const std::string& what,
                             const std::string& text) const {
    for (const std::string& s : Forbidden()) {
      EXPECT_EQ(text.find(s), std::string::npos)
          << what << " shows \"" << s << "\":\n"
          << text.substr(0, 4000);
    }
  }

  const Pki* const pki = &FaultPki();
  tqtest::ScopedTqHome home;
  tqtest::TempDir proxyDir;
  std::unique_ptr<tqidp::IdpServer> idp;
};

TEST_P(TokenFaultTest, EndsInItsStatusKeepingCacheAndSecrets) {
  const FaultCase& c = AllCases()[std::get<0>(GetParam())];
  const Credential kind = std::get<1>(GetParam());

  std::string proxyConfig;
  std::unique_ptr<tqtest::TinyproxyProcess> proxy;
  std::unique_ptr<tqtest::HttpsTestServer> server;
  std::unique_ptr<SilentPeer> silent;
  std::string login = idp->LoginEndpoint();
  auto serverWith = [&server](const tqtest::KeyPair& pair) {
    server =
        std::make_unique<tqtest::HttpsTestServer>(pair.certFile, pair.keyFile);
    return server->Url("/");
  };
  switch (c.peer) {
    case Peer::kIdp:
      break;
    case Peer::kIdpViaProxy:
      proxy = std::make_unique<tqtest::TinyproxyProcess>(proxyDir.path(),
                                                         "alice", "right");
      proxyConfig =
          "[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
          "SENDLOGS_HTTP_PROXY_SITE=127.0.0.1\n"
          "SENDLOGS_HTTP_PROXY_PORT=" +
          std::to_string(proxy->port()) +
          "\nHUBMASTER_USE_PROXY_AUTHENTICATION=1\n"
          "SENDLOGS_HTTP_PROXY_USER=alice\n"
          "SENDLOGS_HTTP_PROXY_PASSWORD=" +
          kProxyPassword + "\n";
      break;
    case Peer::kSilentTls:
    case Peer::kNoConnection:
      silent = std::make_unique<SilentPeer>(c.peer == Peer::kSilentTls);
      login = silent->LoginEndpoint();
      break;
    case Peer::kMidReply:
      login = serverWith(pki->pki.server());
      server->SetHandler([](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(
            4096, "application/json",
            [](size_t, size_t, httplib::DataSink& sink) {
              const std::string part =
                  std::string(R"({"token_type":"Bearer","access_token":")") +
                  kReplyToken;
              sink.write(part.data(), part.size());
              return false;  // the connection is closed here
            });
      });
      break;
    case Peer::kUnknownCa:
      login = serverWith(pki->unknownCa);
      break;
    case Peer::kWrongHost:
      login = serverWith(pki->wrongHost);
      break;
    case Peer::kExpired:
      login = serverWith(pki->expired);
      break;
  }
  Configure(c.config, proxyConfig);

  FaultLib lib;
  lib.setUseDBProxySettingsFlag(c.peer == Peer::kIdpViaProxy);
  const CKoError init =
      lib.Init(tqtest::MakeAzureArgs(MakeCredential(kind, login)));
  ASSERT_FALSE(init.IsError()) << init.ToString();

  GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = kScope;
  if (c.peer == Peer::kIdp) {
    // A first request succeeds, so the faulty one runs on a reused
    // connection, as it would in a long-lived process.
    GetAuthTokenRet first;
    const CKoError st = lib.getAuthToken(&args, &first);
    ASSERT_FALSE(st.IsError()) << st.ToString();
  }
  // A cached token too close to its end to be handed out: the call asks.
  HoldToken(lib, kCachedToken, std::time(nullptr) + 100);
  const CacheState before = CacheOf(lib);
  const size_t requestsBefore =
      server ? server->Requests().size() : idp->RequestCount();

  if (c.hasFault) {
    tqidp::IdpFault fault = c.fault;
    if (std::string(c.name) == "RedirectIsNotFollowed") {
      server = std::make_unique<tqtest::HttpsTestServer>(
          pki->pki.server().certFile, pki->pki.server().keyFile);
      fault.headers.emplace("Location", server->Url("/stolen"));
    }
    idp->SetFault(fault);
  }
  GetAuthTokenRet ret;
  ret.accessToken = "unchanged";
  ret.tokenType = "unchanged";
  ret.expireTime = 42;
  const auto start = std::chrono::steady_clock::now();
  const CKoError st = lib.getAuthToken(&args, &ret);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  idp->ClearFault();

  ASSERT_TRUE(st.IsError()) << c.name;
  EXPECT_EQ(st.GetWin32Code(), 774u);
  if (c.wholeMessage) {
    EXPECT_EQ(st.GetMessage(), c.message);
  } else {
    EXPECT_EQ(st.GetMessage().rfind(c.message, 0), 0u) << st.GetMessage();
  }
  if (c.maxSeconds > 0) {
    EXPECT_GE(seconds, c.minSeconds);
    EXPECT_LE(seconds, c.maxSeconds);
  }
  EXPECT_EQ(ret.accessToken, "unchanged");
  EXPECT_EQ(ret.tokenType, "unchanged");
  EXPECT_EQ(ret.expireTime, 42);
  EXPECT_TRUE(CacheOf(lib) == before) << "the cache changed";

  if (c.peer == Peer::kIdp || c.peer == Peer::kIdpViaProxy) {
    EXPECT_LE(idp->RequestCount() - requestsBefore, c.maxRequests);
  } else if (server) {
    EXPECT_LE(server->Requests().size() - requestsBefore, c.maxRequests);
  }
  if (std::string(c.name) == "RedirectIsNotFollowed") {
    EXPECT_TRUE(server->Requests().empty()) << "the redirect was followed";
  }

  const std::string log = home.LogText();
  if (c.message.rfind("Request failed", 0) == 0 ||
      c.message.rfind("Empty response", 0) == 0) {
    EXPECT_NE(log.find("L3 sendHttpRequest: Error: "), std::string::npos)
        << "a failed request is logged:\n"
        << log.substr(0, 2000);
  }
  ExpectNothingSecretIn("the log", log);
  ExpectNothingSecretIn("the status", st.ToString());
}

// A reply with a token but no lifetime succeeds; the expiry the cache held
// stays (0 when there was none), so such a token is never handed out again.
class TokenReplyTest : public TokenFaultTest {};

TEST_F(TokenReplyTest, TokenWithoutLifetimeIsNeverReused) {
  for (Credential kind :
       {Credential::kClientSecret, Credential::kCertificate}) {
    Configure("", "");
    FaultLib lib;
    ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(
                              MakeCredential(kind, idp->LoginEndpoint())))
                     .IsError());
    GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = kScope;
    const long heldExpiry = static_cast<long>(std::time(nullptr) + 100);
    for (bool warm : {false, true}) {
      if (warm) {
        HoldToken(lib, kCachedToken, heldExpiry);
      }
      tqidp::IdpFault omit;
      omit.expiresInJson = "";
      idp->SetFault(omit);
      const size_t before = idp->RequestCount();
      GetAuthTokenRet ret;
      const CKoError st = lib.getAuthToken(&args, &ret);
      ASSERT_FALSE(st.IsError()) << st.ToString();
      EXPECT_FALSE(ret.accessToken.empty());
      EXPECT_NE(ret.accessToken, kCachedToken);
      EXPECT_EQ(ret.expireTime, warm ? heldExpiry : 0);
      GetAuthTokenRet again;
      ASSERT_FALSE(lib.getAuthToken(&args, &again).IsError());
      EXPECT_EQ(idp->RequestCount(), before + 2) << "asked again";
    }
    idp->ClearFault();
  }
  ExpectNothingSecretIn("the log", home.LogText());
}

std::string CaseName(
    const ::testing::TestParamInfo<TokenFaultTest::ParamType>& info) {
  return std::string(AllCases()[std::get<0>(info.param)].name) +
         (std::get<1>(info.param) == Credential::kClientSecret
              ? "_Secret"
              : "_Certificate");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TokenFaultTest,
    ::testing::Combine(::testing::Range<size_t>(0, AllCases().size()),
                       ::testing::Values(Credential::kClientSecret,
                                         Credential::kCertificate)),
    CaseName);

}  // namespace
