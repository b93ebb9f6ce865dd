#include "tools/idp/IdpServer.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "internal/net/CurlHandles.h"
#include "tests/support/IdpProcess.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

extern char** environ;

namespace {

using json = nlohmann::json;
using tqidp::IdpApplication;
using tqidp::IdpFault;
using tqidp::IdpOptions;
using tqidp::IdpServer;

constexpr char kTenant[] = "contoso-tenant";
constexpr char kSecretApp[] = "11111111-aaaa-bbbb-cccc-000000000001";
constexpr char kCertApp[] = "22222222-aaaa-bbbb-cccc-000000000002";
// Characters a form must encode, so that decoding is exercised too.
constexpr char kSecret[] = "SECRET-SENTINEL-7f3a p+w&d=%~/";
constexpr char kScope[] = "https://vault.azure.net/.default";
constexpr char kAssertionType[] =
    "urn%3Aietf%3Aparams%3Aoauth%3Aclient-assertion-type%3Ajwt-bearer";

// --- an independent client: libcurl and OpenSSL, none of the server's code

std::string FormEncode(const std::string& value) {
  std::string out;
  char hex[4];
  for (const unsigned char c : value) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string B64Url(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(n));
  while (!out.empty() && out.back() == '=') {
    out.pop_back();
  }
  for (char& c : out) {
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  }
  return out;
}

std::string B64UrlDecode(std::string text) {
  for (char& c : text) {
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  while (text.size() % 4 != 0) {
    text += '=';
  }
  std::string out(text.size(), '\0');
  const int n =
      EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (n < 0) {
    throw std::runtime_error("bad base64url");
  }
  const size_t pad = text.size() - text.find_last_not_of('=') - 1;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

std::string HexToBytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

std::string Sign(EVP_PKEY* key, const std::string& input, bool pss) {
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) != 1) {
    throw std::runtime_error("EVP_DigestSignInit");
  }
  if (pss) {
    EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING);
    EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST);
  }
  size_t len = 0;
  const auto* in = reinterpret_cast<const unsigned char*>(input.data());
  EVP_DigestSign(ctx.get(), nullptr, &len, in, input.size());
  std::string sig(len, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()),
                     &len, in, input.size()) != 1) {
    throw std::runtime_error("EVP_DigestSign");
  }
  sig.resize(len);
  return sig;
}

std::string MakeAssertion(EVP_PKEY* key, const std::string& header,
                          const std::string& payload, bool pss = false) {
  const std::string input = B64Url(header) + "." + B64Url(payload);
  return input + "." + B64Url(Sign(key, input, pss));
}

// The client's own payload text, member order and spacing included.
std::string Payload(const std::string& aud, const std::string& sub,
                    const std::string& iss, long long exp, long long nbf) {
  return "{\"aud\":\"" + aud + "\", \"sub\":\"" + sub + "\", \"iss\":\"" + iss +
         "\", \"exp\":" + std::to_string(exp) +
         ", \"nbf\":" + std::to_string(nbf) + "}";
}

std::string RsHeader(const std::string& x5t) {
  return "{\"alg\":\"RS256\",\"typ\":\"JWT\",\"x5t\":\"" + x5t + "\"}";
}

bool VerifyRs256(EVP_PKEY* key, const std::string& jwt) {
  const size_t dot = jwt.rfind('.');
  if (key == nullptr || dot == std::string::npos) {
    return false;
  }
  const std::string input = jwt.substr(0, dot);
  const std::string sig = B64UrlDecode(jwt.substr(dot + 1));
  MdCtxPtr ctx(EVP_MD_CTX_new());
  return EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) ==
             1 &&
         EVP_DigestVerify(
             ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()),
             sig.size(), reinterpret_cast<const unsigned char*>(input.data()),
             input.size()) == 1;
}

bool VerifyRs256(const std::string& publicPem, const std::string& jwt) {
  BioPtr bio(
      BIO_new_mem_buf(publicPem.data(), static_cast<int>(publicPem.size())));
  PkeyPtr key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  return VerifyRs256(key.get(), jwt);
}

// The RSA public key of a JWK ({"kty":"RSA","n","e"}).
PkeyPtr KeyOfJwk(const json& jwk) {
  const std::string n = B64UrlDecode(jwk.value("n", ""));
  const std::string e = B64UrlDecode(jwk.value("e", ""));
  const auto bn = [](const std::string& bytes) {
    return BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<int>(bytes.size()), nullptr);
  };
  BIGNUM* nb = bn(n);
  BIGNUM* eb = bn(e);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, nb);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, eb);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 ||
      EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(nb);
  BN_free(eb);
  return PkeyPtr(key);
}

// True when jwt verifies with the key of jwks its header names ("kid").
bool VerifiesWithJwks(const json& jwks, const std::string& jwt) {
  const json header =
      json::parse(B64UrlDecode(jwt.substr(0, jwt.find('.'))), nullptr, false);
  for (const json& jwk : jwks.value("keys", json::array())) {
    if (header.is_object() && jwk.value("kid", "") == header.value("kid", "")) {
      return VerifyRs256(KeyOfJwk(jwk).get(), jwt);
    }
  }
  return false;
}

json JwtClaims(const std::string& jwt) {
  const size_t a = jwt.find('.');
  const size_t b = jwt.rfind('.');
  return json::parse(B64UrlDecode(jwt.substr(a + 1, b - a - 1)));
}

struct Reply {
  CURLcode code = CURLE_OK;
  long status = 0;
  std::string body;
  std::string headers;
  double seconds = 0;
};

size_t Collect(char* data, size_t size, size_t n, void* user) {
  static_cast<std::string*>(user)->append(data, size * n);
  return size * n;
}

// One libcurl handle, so that its requests share a connection.
class Client {
 public:
  explicit Client(std::string caFile) : m_ca(std::move(caFile)) {
    m_curl.reset(curl_easy_init());
  }

  Reply Post(
      const std::string& url, const std::string& body,
      const std::string& contentType = "application/x-www-form-urlencoded") {
    SlistPtr headers(
        curl_slist_append(nullptr, ("Content-Type: " + contentType).c_str()));
    curl_easy_setopt(m_curl.get(), CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(m_curl.get(), CURLOPT_POSTFIELDSIZE,
                     static_cast<long>(body.size()));
    curl_easy_setopt(m_curl.get(), CURLOPT_HTTPHEADER, headers.get());
    return Perform(url);
  }

  Reply Get(const std::string& url) {
    curl_easy_setopt(m_curl.get(), CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(m_curl.get(), CURLOPT_HTTPHEADER, nullptr);
    return Perform(url);
  }

  CURL* handle() { return m_curl.get(); }

 private:
  Reply Perform(const std::string& url) {
    Reply r;
    CURL* c = m_curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    if (!m_ca.empty()) {
      curl_easy_setopt(c, CURLOPT_CAINFO, m_ca.c_str());
    }
    curl_easy_setopt(c, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &r.headers);
    const auto start = std::chrono::steady_clock::now();
    r.code = curl_easy_perform(c);
    r.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    return r;
  }

  std::string m_ca;
  CurlPtr m_curl;
};

// The status of each whole reply at the start of text.
std::vector<int> StatusCodes(const std::string& text) {
  std::vector<int> codes;
  size_t at = 0;
  while (text.compare(at, 9, "HTTP/1.1 ") == 0) {
    const size_t headEnd = text.find("\r\n\r\n", at);
    if (headEnd == std::string::npos) {
      break;
    }
    const int code = std::stoi(text.substr(at + 9, 3));
    const size_t field = text.find("Content-Length: ", at);
    const size_t length = field < headEnd && code != 100
                              ? std::stoul(text.substr(field + 16, 10))
                              : 0;
    if (headEnd + 4 + length > text.size()) {
      break;
    }
    codes.push_back(code);
    at = headEnd + 4 + length;
  }
  return codes;
}

// A bare TCP connection, for what libcurl would not send and for holding
// many connections open.
class RawConnection {
 public:
  explicit RawConnection(int port)
      : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 ||
        ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("connect");
    }
  }
  ~RawConnection() {
    if (m_fd >= 0) {
      ::close(m_fd);
    }
  }
  RawConnection(RawConnection&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
  RawConnection& operator=(RawConnection&&) = delete;

  void Send(const std::string& bytes) {
    if (::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("send");
    }
  }
  // The status codes of the whole replies that arrive until `replies` were
  // seen, the server closed, or 10 s passed; closed tells which of the first
  // two.
  std::vector<int> Read(size_t replies, bool* closed = nullptr) {
    std::vector<int> codes;
    std::string text;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool eof = false;
    while (codes.size() < replies && !eof) {
      pollfd p{m_fd, POLLIN, 0};
      if (std::chrono::steady_clock::now() > deadline ||
          ::poll(&p, 1, 100) < 0) {
        break;
      }
      char buf[4096];
      const ssize_t n = p.revents != 0 ? ::recv(m_fd, buf, sizeof buf, 0) : -2;
      eof = n == 0 || n == -1;
      text.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
      codes = StatusCodes(text);
    }
    if (closed != nullptr) {
      *closed = eof;
    }
    return codes;
  }

 private:
  int m_fd;
};

// Makes room for n more descriptors; false when the hard limit is lower.
bool RaiseFileLimit(rlim_t n) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) {
    return false;
  }
  const rlim_t wanted = n + 256;
  if (files.rlim_cur < wanted) {
    files.rlim_cur = std::min(files.rlim_max, wanted);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  return files.rlim_cur >= wanted;
}

// Polls until done() holds or 10 s passed; done()'s last answer.
template <class Done>
bool Eventually(Done done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// --- fixture: one PKI and client certificates for the whole program

struct ClientCert {
  PkeyPtr key;
  X509Ptr cert;
  std::string pem;
  std::string x5t;      // unpadded Base64URL of the SHA-1 thumbprint
  std::string x5tS256;  // of the SHA-256 thumbprint
};

ClientCert MakeClientCert(long notBeforeOffset = -3600,
                          long valid = 24 * 3600) {
  ClientCert c;
  c.key = tqtest::GenerateRsaKey(2048);
  tqtest::CertificateFields certFields;
  certFields.commonName = "tqcloudauth test client";
  certFields.notBeforeOffsetSeconds = notBeforeOffset;
  certFields.validSeconds = valid;
  c.cert = tqtest::IssueCertificate(certFields, c.key.get(), nullptr, nullptr);
  c.pem = tqtest::CertToPem(c.cert.get());
  c.x5t = B64Url(HexToBytes(ThumbprintHex(c.cert.get(), EVP_sha1())));
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  X509_digest(c.cert.get(), EVP_sha256(), md, &len);
  c.x5tS256 = B64Url(std::string(reinterpret_cast<char*>(md), len));
  return c;
}

class IdpServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    dir = std::make_unique<tqtest::TempDir>();
    pki = std::make_unique<tqtest::TestPki>(dir->path());
    registered = std::make_unique<ClientCert>(MakeClientCert());
    stranger = std::make_unique<ClientCert>(MakeClientCert());
    expired =
        std::make_unique<ClientCert>(MakeClientCert(-48 * 3600, 24 * 3600));
  }
  static void TearDownTestSuite() {
    expired.reset();
    stranger.reset();
    registered.reset();
    pki.reset();
    dir.reset();
  }

  IdpOptions Options() const {
    IdpOptions o;
    o.certFile = pki->server().certFile;
    o.keyFile = pki->server().keyFile;
    return o;
  }

  // A started server with a secret application and a certificate
  // application in kTenant.
  std::unique_ptr<IdpServer> StartServer(IdpOptions o) const {
    auto server = std::make_unique<IdpServer>(std::move(o));
    server->AddApplication({kTenant, kSecretApp, kSecret, ""});
    server->AddApplication({kTenant, kCertApp, "", registered->pem});
    server->AddApplication({kTenant, kCertApp, "", expired->pem});
    std::string error;
    if (!server->Start(error)) {
      throw std::runtime_error("idp did not start: " + error);
    }
    return server;
  }
  std::unique_ptr<IdpServer> StartServer() const {
    return StartServer(Options());
  }

  static std::string TokenUrl(const IdpServer& s,
                              const std::string& tenant = kTenant) {
    return s.LoginEndpoint() + tenant + "/oauth2/v2.0/token";
  }
  static std::string SecretBody(const std::string& secret = kSecret) {
    return std::string("client_id=") + kSecretApp +
           "&scope=" + FormEncode(kScope) +
           "&grant_type=client_credentials&client_secret=" + FormEncode(secret);
  }
  static std::string AssertionBody(const std::string& assertion,
                                   const std::string& clientId = kCertApp) {
    return "client_id=" + clientId + "&scope=" + FormEncode(kScope) +
           "&grant_type=client_credentials&client_assertion=" + assertion +
           "&client_assertion_type=" + kAssertionType;
  }
  // A valid assertion for kCertApp at server, as the library makes it.
  static std::string GoodAssertion(const IdpServer& server) {
    const long long now = std::time(nullptr);
    return MakeAssertion(
        registered->key.get(), RsHeader(registered->x5t),
        Payload(TokenUrl(server), kCertApp, kCertApp, now + 3600, now));
  }

  static inline std::unique_ptr<tqtest::TempDir> dir;
  static inline std::unique_ptr<tqtest::TestPki> pki;
  static inline std::unique_ptr<ClientCert> registered;
  static inline std::unique_ptr<ClientCert> stranger;
  static inline std::unique_ptr<ClientCert> expired;
};

void ExpectToken(const IdpServer& server, const Reply& r, long expiresIn,
                 const std::string& clientId) {
  ASSERT_EQ(r.code, CURLE_OK);
  ASSERT_EQ(r.status, 200) << r.body;
  const json body = json::parse(r.body);
  EXPECT_EQ(body["token_type"], "Bearer");
  EXPECT_EQ(body["expires_in"], expiresIn);
  EXPECT_EQ(body["ext_expires_in"], expiresIn);
  const std::string token = body["access_token"];
  EXPECT_TRUE(VerifyRs256(server.TokenSigningPublicKeyPem(), token));
  const json claims = JwtClaims(token);
  EXPECT_EQ(claims["aud"], "https://vault.azure.net");
  EXPECT_EQ(claims["appid"], clientId);
  EXPECT_EQ(claims["sub"], clientId);
  EXPECT_EQ(claims["tid"], kTenant);
  EXPECT_EQ(claims["exp"].get<long long>() - claims["iat"].get<long long>(),
            expiresIn);
}

TEST_F(IdpServerTest, IssuesATokenForTheSecretAndRecordsTheRequest) {
  auto server = StartServer();
  EXPECT_EQ(server->LoginEndpoint(),
            "https://127.0.0.1:" + std::to_string(server->port()) + "/");
  Client client(pki->caFile());
  const Reply r = client.Post(TokenUrl(*server), SecretBody());
  ExpectToken(*server, r, 3599, kSecretApp);
  EXPECT_NE(r.headers.find("Content-Type: application/json"),
            std::string::npos);

  const auto requests = server->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path,
            std::string("/") + kTenant + "/oauth2/v2.0/token");
  EXPECT_EQ(requests[0].body, SecretBody());
  EXPECT_EQ(requests[0].headers.count("Content-Type"), 1u);
  EXPECT_GT(requests[0].remotePort, 0);

  // "+" is a space in a form, as "%20" is.
  std::string plus = FormEncode(kSecret);
  plus.replace(plus.find("%20"), 3, "+");
  const std::string body =
      std::string("client_id=") + kSecretApp + "&scope=" + FormEncode(kScope) +
      "&grant_type=client_credentials&client_secret=" + plus;
  ExpectToken(*server, client.Post(TokenUrl(*server), body), 3599, kSecretApp);
}

TEST_F(IdpServerTest, IssuesATokenForEachAcceptedAssertionForm) {
  IdpOptions o = Options();
  o.expiresIn = 1200;
  auto server = StartServer(o);
  const long long now = std::time(nullptr);
  const std::string url = TokenUrl(*server);
  const std::string viaLocalhost =
      "https://localhost:" + std::to_string(server->port()) + "/" + kTenant +
      "/oauth2/v2.0/token";
  EVP_PKEY* key = registered->key.get();
  struct Case {
    const char* name;
    std::string assertion;
    std::string url;
  } cases[] = {
      {"as the library sends it", GoodAssertion(*server), url},
      {"x5t with its padding",
       MakeAssertion(key, RsHeader(registered->x5t + "="),
                     Payload(url, kCertApp, kCertApp, now + 3600, now)),
       url},
      {"older audience",
       MakeAssertion(key, RsHeader(registered->x5t),
                     Payload(std::string("https://login.microsoftonline.com/") +
                                 kTenant + "/v2.0",
                             kCertApp, kCertApp, now + 3600, now)),
       url},
      {"addressed by host name",
       MakeAssertion(
           key, RsHeader(registered->x5t),
           Payload(viaLocalhost, kCertApp, kCertApp, now + 3600, now)),
       viaLocalhost},
      {"expired less than the clock skew ago",
       MakeAssertion(key, RsHeader(registered->x5t),
                     Payload(url, kCertApp, kCertApp, now - 200, now - 3800)),
       url},
      {"PS256 with x5t#S256",
       MakeAssertion(key,
                     "{\"alg\":\"PS256\",\"typ\":\"JWT\",\"x5t#S256\":\"" +
                         registered->x5tS256 + "\"}",
                     Payload(url, kCertApp, kCertApp, now + 3600, now), true),
       url},
  };
  Client client(pki->caFile());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectToken(*server, client.Post(c.url, AssertionBody(c.assertion)), 1200,
                kCertApp);
  }
  server->SetExpiresIn(239);
  ExpectToken(*server, client.Post(url, SecretBody()), 239, kSecretApp);
  // Which proof each grant took is counted (and logged).
  EXPECT_EQ(server->GrantCount("RS256 assertion"), 5u);
  EXPECT_EQ(server->GrantCount("PS256 assertion"), 1u);
  EXPECT_EQ(server->GrantCount("client secret"), 1u);
}

TEST_F(IdpServerTest, AnswersEachRefusalLikeAzureAd) {
  auto server = StartServer();
  const long long now = std::time(nullptr);
  const std::string url = TokenUrl(*server);
  EVP_PKEY* key = registered->key.get();
  const std::string x5t = registered->x5t;
  auto assertion = [&](const std::string& header, const std::string& payload) {
    return AssertionBody(MakeAssertion(key, header, payload));
  };
  auto claims = [&](const std::string& aud, const std::string& sub,
                    const std::string& iss, long long exp,
                    long long nbf) { return Payload(aud, sub, iss, exp, nbf); };
  const std::string good = claims(url, kCertApp, kCertApp, now + 3600, now);
  const std::string scope = "&scope=" + FormEncode(kScope);
  const std::string secretApp = std::string("client_id=") + kSecretApp;
  const std::string secretPart =
      std::string("&client_secret=") + FormEncode(kSecret);
  const std::string grant = "&grant_type=client_credentials";

  struct Case {
    const char* name;
    std::string tenant;
    std::string body;
    long status;
    const char* error;
    long code;
    const char* contentType = "application/x-www-form-urlencoded";
  } cases[] = {
      {"unknown tenant", "nobody", SecretBody(), 400, "invalid_request", 90002},
      {"unknown client", kTenant,
       "client_id=33333333-0000-0000-0000-000000000000" + scope + grant +
           secretPart,
       400, "unauthorized_client", 700016},
      {"unsupported grant type", kTenant,
       secretApp + scope + "&grant_type=password" + secretPart, 400,
       "unsupported_grant_type", 70003},
      {"no grant type", kTenant, secretApp + scope + secretPart, 400,
       "invalid_request", 900144},
      {"no client id", kTenant, scope.substr(1) + grant + secretPart, 400,
       "invalid_request", 900144},
      {"no scope", kTenant, secretApp + grant + secretPart, 400,
       "invalid_request", 90014},
      {"scope without /.default", kTenant,
       secretApp + "&scope=https%3A%2F%2Fvault.azure.net%2Fuser_impersonation" +
           grant + secretPart,
       400, "invalid_scope", 1002012},
      {"no credential", kTenant, secretApp + scope + grant, 401,
       "invalid_client", 7000218},
      // A body of another type has no parameters Azure AD would read.
      {"form sent as JSON", kTenant, SecretBody(), 400, "invalid_request",
       900144, "application/json"},
      {"wrong secret", kTenant, SecretBody("not-the-secret"), 401,
       "invalid_client", 7000215},
      {"secret one character short", kTenant,
       SecretBody(std::string(kSecret).substr(1)), 401, "invalid_client",
       7000215},
      {"secret sent to a certificate application", kTenant,
       std::string("client_id=") + kCertApp + scope + grant + secretPart, 401,
       "invalid_client", 7000215},
      {"bad form escape", kTenant, SecretBody() + "%G0", 400, "invalid_request",
       90023},
      {"parameter sent twice", kTenant, SecretBody() + grant, 400,
       "invalid_request", 90023},
      {"assertion with a wrong type", kTenant,
       std::string("client_id=") + kCertApp + scope + grant +
           "&client_assertion=" + MakeAssertion(key, RsHeader(x5t), good) +
           "&client_assertion_type=jwt",
       400, "invalid_request", 90011},
      {"assertion of two parts", kTenant, AssertionBody("eyJhIjoxfQ.e30"), 400,
       "invalid_request", 50027},
      {"assertion with a character outside Base64URL", kTenant,
       AssertionBody(MakeAssertion(key, RsHeader(x5t), good) + "+"), 400,
       "invalid_request", 50027},
      {"assertion header not JSON", kTenant,
       AssertionBody(B64Url("not json") + "." + B64Url(good) + ".AAAA"), 400,
       "invalid_request", 50027},
      {"assertion without exp", kTenant,
       assertion(RsHeader(x5t), "{\"aud\":\"" + url + "\",\"sub\":\"" +
                                    kCertApp + "\",\"iss\":\"" + kCertApp +
                                    "\"}"),
       400, "invalid_request", 50027},
      {"HS256 assertion", kTenant,
       assertion("{\"alg\":\"HS256\",\"typ\":\"JWT\",\"x5t\":\"" + x5t + "\"}",
                 good),
       401, "invalid_client", 5002738},
      {"assertion without x5t", kTenant,
       assertion("{\"alg\":\"RS256\",\"typ\":\"JWT\"}", good), 401,
       "invalid_client", 5002723},
      {"unknown x5t", kTenant,
       AssertionBody(
           MakeAssertion(stranger->key.get(), RsHeader(stranger->x5t), good)),
       401, "invalid_client", 700027},
      {"x5t of the registered certificate, signed by another key", kTenant,
       AssertionBody(MakeAssertion(stranger->key.get(), RsHeader(x5t), good)),
       401, "invalid_client", 700027},
      {"PS256 signature labelled RS256", kTenant,
       AssertionBody(MakeAssertion(key, RsHeader(x5t), good, true)), 401,
       "invalid_client", 700027},
      {"registered certificate expired", kTenant,
       AssertionBody(
           MakeAssertion(expired->key.get(), RsHeader(expired->x5t), good)),
       401, "invalid_client", 700027},
      {"audience of another tenant", kTenant,
       assertion(RsHeader(x5t), claims(TokenUrl(*server, "other"), kCertApp,
                                       kCertApp, now + 3600, now)),
       401, "invalid_client", 700023},
      {"issuer not the client", kTenant,
       assertion(RsHeader(x5t),
                 claims(url, kCertApp, "someone-else", now + 3600, now)),
       401, "invalid_client", 700021},
      {"subject not the issuer", kTenant,
       assertion(RsHeader(x5t),
                 claims(url, "someone-else", kCertApp, now + 3600, now)),
       401, "invalid_client", 50048},
      {"expired assertion", kTenant,
       assertion(RsHeader(x5t),
                 claims(url, kCertApp, kCertApp, now - 400, now - 4000)),
       401, "invalid_client", 700024},
      {"assertion not yet valid", kTenant,
       assertion(RsHeader(x5t),
                 claims(url, kCertApp, kCertApp, now + 4000, now + 400)),
       401, "invalid_client", 700024},
  };
  const std::regex uuid(
      "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  const std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\dZ)");
  Client client(pki->caFile());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply r =
        client.Post(TokenUrl(*server, c.tenant), c.body, c.contentType);
    ASSERT_EQ(r.code, CURLE_OK);
    EXPECT_EQ(r.status, c.status) << r.body;
    const json body = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << r.body;
    EXPECT_EQ(body.value("error", ""), c.error);
    EXPECT_EQ(body["error_codes"], json::array({c.code}));
    const std::string description = body.value("error_description", "");
    const std::string prefix = "AADSTS" + std::to_string(c.code) + ": ";
    EXPECT_EQ(description.rfind(prefix, 0), 0u) << description;
    const std::string trace = body.value("trace_id", "");
    const std::string correlation = body.value("correlation_id", "");
    const std::string timestamp = body.value("timestamp", "");
    EXPECT_TRUE(std::regex_match(trace, uuid)) << trace;
    EXPECT_TRUE(std::regex_match(correlation, uuid)) << correlation;
    EXPECT_TRUE(std::regex_match(timestamp, stamp)) << timestamp;
    const std::string tail = "\r\nTrace ID: " + trace +
                             "\r\nCorrelation ID: " + correlation +
                             "\r\nTimestamp: " + timestamp;
    EXPECT_EQ(description.size() > tail.size()
                  ? description.substr(description.size() - tail.size())
                  : description,
              tail);
    EXPECT_EQ(r.body.find("SECRET-SENTINEL"), std::string::npos);
    EXPECT_EQ(
        r.body.find(MakeAssertion(key, RsHeader(x5t), good).substr(0, 40)),
        std::string::npos);
  }
  EXPECT_EQ(server->RequestCount(), std::size(cases));
}

TEST_F(IdpServerTest, NamesTheThumbprintAndTheReasonOfABadSignature) {
  auto server = StartServer();
  const long long now = std::time(nullptr);
  const std::string payload =
      Payload(TokenUrl(*server), kCertApp, kCertApp, now + 3600, now);
  Client client(pki->caFile());
  const Reply unknown =
      client.Post(TokenUrl(*server),
                  AssertionBody(MakeAssertion(
                      stranger->key.get(), RsHeader(stranger->x5t), payload)));
  std::string hex = ThumbprintHex(stranger->cert.get(), EVP_sha1());
  for (char& c : hex) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  EXPECT_NE(unknown.body.find("The key was not found."), std::string::npos);
  EXPECT_NE(unknown.body.find("Thumbprint of key used by client: '" + hex),
            std::string::npos)
      << unknown.body;
  const Reply forged = client.Post(
      TokenUrl(*server),
      AssertionBody(MakeAssertion(stranger->key.get(),
                                  RsHeader(registered->x5t), payload)));
  EXPECT_NE(forged.body.find("did not match the expected signature value"),
            std::string::npos)
      << forged.body;
}

TEST_F(IdpServerTest, AnswersOtherPathsAndMethodsWith404Json) {
  auto server = StartServer();
  Client client(pki->caFile());
  const std::string base = server->LoginEndpoint();
  for (const Reply& r :
       {client.Get(TokenUrl(*server)),
        client.Post(base + kTenant + "/oauth2/token", SecretBody()),
        client.Post(base + kTenant + "/oauth2/v2.0/token/x", SecretBody()),
        client.Get(base + "_idp/stats")}) {
    EXPECT_EQ(r.status, 404) << r.body;
    EXPECT_TRUE(json::parse(r.body, nullptr, false).is_object()) << r.body;
  }
}

// What OpenID Connect clients fetch first, with URLs for the host they
// addressed; the tokens issued verify against the published keys.
TEST_F(IdpServerTest, ServesDiscoveryDocuments) {
  auto server = StartServer();
  Client client(pki->caFile());
  const std::string port = std::to_string(server->port());
  const std::string base = server->LoginEndpoint();
  const std::string named = "https://localhost:" + port + "/";
  const std::string tenant = kTenant;
  const std::string instance =
      base +
      "common/discovery/instance?api-version=1.1&authorization_endpoint=";
  struct Case {
    const char* name;
    std::string url;
    long status;
    std::string member;  // checked in the reply: member == value
    std::string value;
  };
  const Case cases[] = {
      {"metadata", base + tenant + "/v2.0/.well-known/openid-configuration",
       200, "token_endpoint", TokenUrl(*server)},
      {"metadata issuer",
       base + tenant + "/v2.0/.well-known/openid-configuration", 200, "issuer",
       base + tenant + "/v2.0"},
      {"metadata keys",
       base + tenant + "/v2.0/.well-known/openid-configuration", 200,
       "jwks_uri", base + tenant + "/discovery/v2.0/keys"},
      {"metadata by host name",
       named + tenant + "/v2.0/.well-known/openid-configuration", 200,
       "authorization_endpoint", named + tenant + "/oauth2/v2.0/authorize"},
      {"multi-tenant metadata",
       base + "common/v2.0/.well-known/openid-configuration", 200, "issuer",
       base + "{tenantid}/v2.0"},
      {"unknown tenant", base + "nobody/v2.0/.well-known/openid-configuration",
       400, "error", "invalid_tenant"},
      {"instance discovery",
       instance + FormEncode(base + tenant + "/oauth2/v2.0/authorize"), 200,
       "tenant_discovery_endpoint",
       base + tenant + "/v2.0/.well-known/openid-configuration"},
      {"instance discovery of another host",
       instance +
           FormEncode("https://login.example.com/x/oauth2/v2.0/authorize"),
       400, "error", "invalid_instance"},
      {"instance discovery without the endpoint",
       base + "common/discovery/instance?api-version=1.1", 400, "error",
       "invalid_request"},
  };
  for (const Case& c : cases) {
    const Reply r = client.Get(c.url);
    EXPECT_EQ(r.status, c.status) << c.name << ": " << r.body;
    const json body = json::parse(r.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << c.name;
    EXPECT_EQ(body.value(c.member, ""), c.value) << c.name;
  }

  const json jwks =
      json::parse(client.Get(base + tenant + "/discovery/v2.0/keys").body);
  const Reply issued = client.Post(TokenUrl(*server), SecretBody());
  const std::string token = json::parse(issued.body)["access_token"];
  EXPECT_TRUE(VerifiesWithJwks(jwks, token));
  EXPECT_EQ(JwtClaims(token)["iss"], base + tenant + "/v2.0");
  EXPECT_FALSE(
      VerifiesWithJwks(jwks, token.substr(0, token.size() - 4) + "AAAA"));
}

// MSAL for Node, a client no one here wrote, finds the endpoint through its
// metadata alone and gets tokens with a secret and with a certificate
// (PS256 and RS256), the later calls from its own cache; the tokens verify
// against the published keys.
TEST_F(IdpServerTest, MsalForNodeGetsTokensThroughDiscovery) {
  const char* node = std::getenv("TQ_NODE");
  const char* msal = std::getenv("TQ_MSAL_DIR");
  if (node == nullptr || *node == '\0' || msal == nullptr) {
    GTEST_SKIP() << "no Node.js was found when the build was configured";
  }
  ASSERT_EQ(
      ::access((std::string(msal) + "/node_modules/@azure/msal-node").c_str(),
               R_OK),
      0)
      << "MSAL for Node is not installed: scripts/bootstrap runs npm ci in "
      << msal;
  auto server = StartServer();
  ::setenv("NODE_EXTRA_CA_CERTS", pki->caFile().c_str(), 1);
  const std::string authority = server->LoginEndpoint() + kTenant;
  const std::string keyPem = tqtest::KeyToPem(registered->key.get());
  struct Case {
    const char* grant;
    json credential;
  };
  const Case cases[] = {
      {"client secret", {{"clientId", kSecretApp}, {"secret", kSecret}}},
      {"PS256 assertion",
       {{"clientId", kCertApp},
        {"certificate",
         {{"privateKey", keyPem},
          {"thumbprintSha256",
           ThumbprintHex(registered->cert.get(), EVP_sha256())}}}}},
      {"RS256 assertion",
       {{"clientId", kCertApp},
        {"certificate",
         {{"privateKey", keyPem},
          {"thumbprint", ThumbprintHex(registered->cert.get(), EVP_sha1())}}}}},
  };
  Client client(pki->caFile());
  const json jwks = json::parse(
      client.Get(authority + "/discovery/v2.0/keys").body, nullptr, false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.grant);
    json request = c.credential;
    request["authority"] = authority;
    request["scope"] = kScope;
    request["calls"] = 3;
    const std::string file = dir->path() + "/msal-request.json";
    tqtest::WriteFile(file, request.dump(), 0600);
    tqtest::Child child =
        tqtest::Spawn({node, std::string(msal) + "/client.cjs", file});
    const std::string out = tqtest::ReadAll(child.out, 60000);
    ::close(child.out);
    EXPECT_EQ(tqtest::WaitExit(child.pid), 0) << out;
    ::unlink(file.c_str());
    std::vector<json> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(json::parse(line, nullptr, false));
    }
    ASSERT_EQ(lines.size(), 3u) << out;
    ASSERT_TRUE(lines[0].is_object() && lines[0].contains("token")) << out;
    EXPECT_EQ(lines[0]["source"], "endpoint");
    for (const json& line : lines) {
      const std::string token = line.value("token", "");
      EXPECT_TRUE(VerifiesWithJwks(jwks, token)) << line.dump();
      EXPECT_EQ(token, lines[0]["token"]);
    }
    EXPECT_EQ(lines[2]["source"], "cache");
    EXPECT_EQ(server->GrantCount(c.grant), 1u);
  }
  ::unsetenv("NODE_EXTRA_CA_CERTS");
}

TEST_F(IdpServerTest, KeepsOneConnectionForManyRequests) {
  auto server = StartServer();
  Client first(pki->caFile());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(first.Post(TokenUrl(*server), SecretBody()).status, 200);
  }
  EXPECT_EQ(server->ConnectionCount(), 1u);
  EXPECT_EQ(server->RequestCount(), 3u);
  Client second(pki->caFile());
  EXPECT_EQ(second.Post(TokenUrl(*server), SecretBody()).status, 200);
  EXPECT_EQ(server->ConnectionCount(), 2u);
  EXPECT_EQ(server->RequestCount(), 4u);
}

TEST_F(IdpServerTest, StopEndsIdleKeepAliveConnections) {
  auto server = StartServer();
  Client client(pki->caFile());
  ASSERT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  const auto start = std::chrono::steady_clock::now();
  server->Stop();
  // The keep-alive time is minutes: a stop that waited for it would show.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(IdpServerTest, AnswersANewClientAtOnceWhile1000ConnectionsAreIdle) {
  constexpr int kIdle = 1000;
  if (!RaiseFileLimit(2 * kIdle)) {
    GTEST_SKIP() << "the descriptor limit is below " << 2 * kIdle;
  }
  IdpOptions o;
  o.tls = false;
  auto server = StartServer(o);
  EXPECT_EQ(server->LoginEndpoint().rfind("http://127.0.0.1:", 0), 0u);
  // Half kept alive after a request, half never used.
  std::vector<RawConnection> idle;
  for (int i = 0; i < kIdle; ++i) {
    idle.emplace_back(server->port());
    if (i % 2 == 0) {
      idle.back().Send("GET /warm HTTP/1.1\r\nHost: x\r\n\r\n");
    }
  }
  for (int i = 0; i < kIdle; i += 2) {
    ASSERT_EQ(idle[static_cast<size_t>(i)].Read(1), std::vector<int>{404});
  }
  ASSERT_TRUE(Eventually([&] { return server->OpenConnections() == kIdle; }))
      << server->OpenConnections();

  // A wait for any idle connection to end would take minutes.
  Client client("");
  curl_easy_setopt(client.handle(), CURLOPT_TIMEOUT, 5L);
  EXPECT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  EXPECT_EQ(server->OpenConnections(), kIdle + 1u);
  idle.front().Send("GET /again HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(idle.front().Read(1), std::vector<int>{404});
  EXPECT_EQ(server->ConnectionCount(), kIdle / 2 + 1u);
}

// 130 clients that start a TLS handshake (or a request) and send nothing
// more hold no worker: a real client is answered at once.
TEST_F(IdpServerTest, SlowHandshakesAndRequestsKeepNoClientWaiting) {
  auto server = StartServer(Options());
  std::vector<RawConnection> slow;
  for (int i = 0; i < 130; ++i) {
    slow.emplace_back(server->port());
    // A TLS record header of a handshake, and nothing more.
    slow.back().Send(std::string("\x16\x03\x01", 3));
  }
  ASSERT_TRUE(Eventually([&] { return server->OpenConnections() == 130; }));
  for (int round = 0; round < 3; ++round) {
    for (RawConnection& c : slow) {
      c.Send(std::string("\x00", 1));  // one byte more now and then
    }
    Client client(pki->caFile());
    curl_easy_setopt(client.handle(), CURLOPT_TIMEOUT, 5L);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              std::chrono::seconds(1));
  }
}

TEST_F(IdpServerTest, ClosesConnectionsIdleLongerThanTheTimeout) {
  IdpOptions o = Options();
  o.idleTimeoutSeconds = 1;
  auto server = StartServer(o);
  Client client(pki->caFile());
  ASSERT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  RawConnection unused(server->port());
  bool closed = false;
  EXPECT_TRUE(unused.Read(1, &closed).empty());
  EXPECT_TRUE(closed);
  EXPECT_TRUE(Eventually([&] { return server->OpenConnections() == 0; }));
  // The client notices and connects again.
  EXPECT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  EXPECT_EQ(server->ConnectionCount(), 2u);
}

TEST_F(IdpServerTest, FramesRequestsAsHttp11) {
  IdpOptions o;
  o.tls = false;
  auto server = StartServer(o);
  const std::string token =
      std::string("POST /") + kTenant + "/oauth2/v2.0/token HTTP/1.1\r\n";
  const std::string get = "GET /x HTTP/1.1\r\nHost: x\r\n";
  const std::string close = "Connection: close\r\n\r\n";
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<int> replies;  // each one's status; then the server closes
  } cases[] = {
      {"pipelined, the last asks to close",
       get + "\r\n" + get + close,
       {404, 404}},
      {"HTTP/1.0 without keep-alive", "GET /x HTTP/1.0\r\n\r\n", {404}},
      {"path escapes decoded",
       std::string("POST /") + kTenant + "/oauth2/v2.0/tok%65n HTTP/1.1\r\n" +
           "Content-Length: 0\r\n" + close,
       {400}},
      {"a request line of one word", "HELLO\r\n\r\n", {400}},
      {"an unknown HTTP version", "GET / HTTP/2.0\r\n\r\n", {400}},
      {"two different lengths",
       token + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab",
       {400}},
      {"a chunked body",
       token + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
       {411}},
      {"a body over 1 MiB", token + "Content-Length: 1048577\r\n\r\n", {413}},
      {"a head over 16 KiB", get + "X: " + std::string(17000, 'a'), {431}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawConnection raw(server->port());
    raw.Send(c.bytes);
    bool closed = false;
    EXPECT_EQ(raw.Read(c.replies.size() + 1, &closed), c.replies);
    EXPECT_TRUE(closed);
  }
  // "Expect: 100-continue" is answered before the body is sent.
  RawConnection raw(server->port());
  raw.Send(token +
           "Content-Type: application/x-www-form-urlencoded\r\n"
           "Expect: 100-continue\r\nContent-Length: " +
           std::to_string(SecretBody().size()) + "\r\n" + close);
  EXPECT_EQ(raw.Read(1), std::vector<int>{100});
  raw.Send(SecretBody());
  EXPECT_EQ(raw.Read(1), std::vector<int>{200});
}

TEST_F(IdpServerTest, KeepsBoundedRecordsAndNoBodyWhenAsked) {
  IdpOptions o;
  o.tls = false;
  o.recordContent = false;
  auto server = StartServer(o);
  Client client("");
  ASSERT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  auto requests = server->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path,
            std::string("/") + kTenant + "/oauth2/v2.0/token");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_TRUE(requests[0].headers.empty());

  // The latest 4,096 are kept; the counts go on.
  RawConnection raw(server->port());
  for (int batch = 0; batch < 41; ++batch) {
    std::string bytes;
    for (int i = 0; i < 100; ++i) {
      bytes += "GET /" + std::to_string(batch * 100 + i) +
               " HTTP/1.1\r\nHost: x\r\n\r\n";
    }
    raw.Send(bytes);
    ASSERT_EQ(raw.Read(100).size(), 100u);
  }
  EXPECT_EQ(server->RequestCount(), 4101u);
  requests = server->Requests();
  ASSERT_EQ(requests.size(), 4096u);
  EXPECT_EQ(requests.front().path, "/4");
  EXPECT_EQ(requests.back().path, "/4099");
}

TEST_F(IdpServerTest, DelaysDropsAndCansRepliesWhileAFaultIsSet) {
  auto server = StartServer();
  Client client(pki->caFile());
  const std::string url = TokenUrl(*server);

  IdpFault delay;
  delay.delayMs = 400;
  server->SetFault(delay);
  const Reply slow = client.Post(url, SecretBody());
  EXPECT_EQ(slow.status, 200);
  EXPECT_GE(slow.seconds, 0.4);

  IdpFault drop;
  drop.closeConnection = true;
  server->SetFault(drop);
  const Reply dropped = client.Post(url, SecretBody());
  EXPECT_NE(dropped.code, CURLE_OK);
  EXPECT_EQ(dropped.body, "");

  IdpFault canned;
  canned.status = 429;
  canned.body = "{\"error\":\"temporarily_unavailable\"}";
  canned.headers.emplace("Retry-After", "7");
  server->SetFault(canned);
  // Canned replies do not look at the request at all.
  const Reply throttled = client.Post(url, "garbage");
  EXPECT_EQ(throttled.status, 429);
  EXPECT_EQ(throttled.body, canned.body);
  EXPECT_NE(throttled.headers.find("Retry-After: 7"), std::string::npos);
  EXPECT_NE(throttled.headers.find("Content-Type: application/json"),
            std::string::npos);

  server->ClearFault();
  EXPECT_EQ(client.Post(url, SecretBody()).status, 200);
  // The dropped connection was replaced by a new one (libcurl retries a
  // request that died on a reused connection once, on a fresh one).
  const auto requests = server->Requests();
  EXPECT_NE(requests.front().remotePort, requests.back().remotePort);
  EXPECT_EQ(requests.front().remotePort, requests[1].remotePort);
}

TEST_F(IdpServerTest, PutsTheGivenExpiresInTextIntoSuccessfulReplies) {
  auto server = StartServer();
  Client client(pki->caFile());
  const char* const kRaw[] = {"3599", "\"3599\"", "1.5", "null", "true", "{}"};
  for (const char* raw : kRaw) {
    IdpFault f;
    f.expiresInJson = raw;
    server->SetFault(f);
    const Reply r = client.Post(TokenUrl(*server), SecretBody());
    ASSERT_EQ(r.status, 200);
    const json body = json::parse(r.body);
    EXPECT_EQ(body["expires_in"], json::parse(raw)) << raw;
    EXPECT_EQ(body["ext_expires_in"], 3599);
    EXPECT_FALSE(body.value("access_token", "").empty());
  }
  IdpFault omit;
  omit.expiresInJson = "";
  server->SetFault(omit);
  const json body =
      json::parse(client.Post(TokenUrl(*server), SecretBody()).body);
  EXPECT_FALSE(body.contains("expires_in"));
  EXPECT_TRUE(body.contains("access_token"));
  // A refusal stays a refusal.
  EXPECT_EQ(client.Post(TokenUrl(*server), SecretBody("wrong")).status, 401);
}

TEST_F(IdpServerTest, StartFailsWithAReason) {
  std::string error;
  IdpOptions noFiles;
  EXPECT_FALSE(IdpServer(noFiles).Start(error));
  EXPECT_NE(error.find("certificate"), std::string::npos) << error;

  IdpOptions mismatched = Options();
  mismatched.keyFile = pki->caFile();
  error.clear();
  EXPECT_FALSE(IdpServer(mismatched).Start(error));
  EXPECT_FALSE(error.empty());

  auto running = StartServer();
  IdpOptions busy = Options();
  busy.port = running->port();
  error.clear();
  EXPECT_FALSE(IdpServer(busy).Start(error));
  EXPECT_NE(error.find(std::to_string(running->port())), std::string::npos);

  error.clear();
  EXPECT_FALSE(running->Start(error));
}

TEST_F(IdpServerTest, LoadsApplicationsFromAFile) {
  tqtest::TempDir files;
  tqtest::WriteFile(files.path() + "/client.pem", registered->pem);
  const std::string appsFile = files.path() + "/apps.json";
  tqtest::WriteFile(appsFile, json{{"applications",
                                    {{{"tenant", kTenant},
                                      {"client_id", kSecretApp},
                                      {"client_secret", kSecret}},
                                     {{"tenant", kTenant},
                                      {"client_id", kCertApp},
                                      {"certificate", "client.pem"}}}}}
                                  .dump());
  IdpServer server(Options());
  std::string error;
  ASSERT_TRUE(server.LoadApplications(appsFile, error)) << error;
  ASSERT_TRUE(server.Start(error)) << error;
  Client client(pki->caFile());
  EXPECT_EQ(client.Post(TokenUrl(server), SecretBody()).status, 200);
  EXPECT_EQ(client.Post(TokenUrl(server), AssertionBody(GoodAssertion(server)))
                .status,
            200);
}

TEST_F(IdpServerTest, RefusesABadApplicationsFileWithoutQuotingIt) {
  tqtest::TempDir files;
  const std::string secret = "SECRET-SENTINEL-7f3a";
  const std::string entry = "{\"tenant\":\"t\",\"client_id\":\"c\"";
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {
      {"not JSON", "{\"applications\":[{\"client_secret\":\"" + secret},
      {"no applications member", "{\"apps\":[]}"},
      {"unknown member", "{\"applications\":[" + entry +
                             ",\"clientsecret\":\"" + secret + "\"}]}"},
      {"no credential", "{\"applications\":[" + entry + "}]}"},
      {"no tenant",
       "{\"applications\":[{\"client_id\":\"c\",\"client_secret\":\"" + secret +
           "\"}]}"},
      {"secret not a text",
       "{\"applications\":[" + entry + ",\"client_secret\":7}]}"},
      {"missing certificate file",
       "{\"applications\":[" + entry + ",\"certificate\":\"nope.pem\"}]}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = files.path() + "/apps.json";
    tqtest::WriteFile(file, c.content);
    IdpServer server(Options());
    std::string error;
    EXPECT_FALSE(server.LoadApplications(file, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find(secret), std::string::npos) << error;
  }
  std::string error;
  EXPECT_FALSE(IdpServer(Options()).LoadApplications(
      files.path() + "/missing.json", error));
}

TEST_F(IdpServerTest, ControlPathReportsCountsAndSetsFaultsForLoopbackOnly) {
  IdpOptions o = Options();
  o.control = true;
  auto server = StartServer(o);
  const std::string base = server->LoginEndpoint();
  Client client(pki->caFile());
  ASSERT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  Client control(pki->caFile());
  EXPECT_EQ(json::parse(control.Get(base + "_idp/stats").body),
            json({{"connections", 1},
                  {"grants", {{"client secret", 1}}},
                  {"requests", 1}}));

  const Reply set =
      control.Post(base + "_idp/fault",
                   R"({"status":503,"body":"busy","contentType":"text/plain"})",
                   "application/json");
  EXPECT_EQ(set.status, 200) << set.body;
  const Reply busy = client.Post(TokenUrl(*server), SecretBody());
  EXPECT_EQ(busy.status, 503);
  EXPECT_EQ(busy.body, "busy");

  for (const char* bad :
       {R"({"stauts":503})", R"({"delayMs":"1"})", "[]", R"({"status":42})"}) {
    EXPECT_EQ(control.Post(base + "_idp/fault", bad, "application/json").status,
              400)
        << bad;
  }
  EXPECT_EQ(control.Post(base + "_idp/fault", "{}", "application/json").status,
            200);
  EXPECT_EQ(client.Post(TokenUrl(*server), SecretBody()).status, 200);
  // Control requests are not counted.
  EXPECT_EQ(server->RequestCount(), 3u);
  EXPECT_EQ(server->ConnectionCount(), 1u);

  // Another loopback address is not 127.0.0.1.
  Client other(pki->caFile());
  curl_easy_setopt(other.handle(), CURLOPT_INTERFACE, "host!127.0.0.2");
  const Reply refused = other.Get(base + "_idp/stats");
  ASSERT_EQ(refused.code, CURLE_OK);
  EXPECT_EQ(refused.status, 403);
}

// --- the program

using tqtest::Child;
using tqtest::IdpBinary;
using tqtest::ReadLine;
using tqtest::Spawn;
using tqtest::WaitExit;

TEST_F(IdpServerTest, ProgramServesWithItsOwnPkiUntilSigterm) {
  const std::string binary = IdpBinary();
  if (binary.empty()) {
    GTEST_SKIP() << "TQ_IDP_BINARY is not set";
  }
  tqtest::TempDir work;
  const std::string apps = work.path() + "/apps.json";
  tqtest::WriteFile(apps, json{{"applications",
                                {{{"tenant", kTenant},
                                  {"client_id", kSecretApp},
                                  {"client_secret", kSecret}}}}}
                              .dump());
  const std::string pkiDir = work.path() + "/pki";
  const std::string portFile = work.path() + "/port";
  Child child =
      Spawn({binary, "--apps", apps, "--generate-pki", pkiDir, "--control",
             "--port-file", portFile, "--expires-in", "600"});
  const std::string line = ReadLine(child.out, 30000);
  ::close(child.out);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      line, m, std::regex(R"(listening on (https://127\.0\.0\.1:(\d+)/))")))
      << line;
  const std::string endpoint = m[1];
  EXPECT_EQ(tqtest::ReadFile(portFile), std::string(m[2]) + "\n");
  struct stat st {};
  ASSERT_EQ(::stat((pkiDir + "/server.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  Client client(pkiDir + "/ca.pem");
  const std::string url = endpoint + kTenant + "/oauth2/v2.0/token";
  const Reply r = client.Post(url, SecretBody());
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(json::parse(r.body, nullptr, false).value("expires_in", 0), 600);
  Client control(pkiDir + "/ca.pem");
  EXPECT_EQ(json::parse(control.Get(endpoint + "_idp/stats").body),
            json({{"connections", 1},
                  {"grants", {{"client secret", 1}}},
                  {"requests", 1}}));
  EXPECT_EQ(control
                .Post(endpoint + "_idp/fault", R"({"status":500,"body":"x"})",
                      "application/json")
                .status,
            200);
  EXPECT_EQ(client.Post(url, SecretBody()).status, 500);

  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  EXPECT_EQ(WaitExit(child.pid), 0);
}

TEST_F(IdpServerTest, ProgramExitsWith2OnBadArguments) {
  const std::string binary = IdpBinary();
  if (binary.empty()) {
    GTEST_SKIP() << "TQ_IDP_BINARY is not set";
  }
  tqtest::TempDir work;
  const std::string apps = work.path() + "/apps.json";
  tqtest::WriteFile(apps, "{\"applications\":[]}");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--apps"},
      {"--apps", work.path() + "/missing.json", "--http"},
      {"--apps", apps, "--port", "http"},
      {"--apps", apps, "--port", "70000"},
      {"--apps", apps, "--cert", apps},
      {"--apps", apps, "--http", "--generate-pki", work.path()},
      {"--apps", apps},  // HTTPS without a certificate
      {"--apps", apps, "--http", "--bogus"},
  };
  for (const auto& extra : cases) {
    std::vector<std::string> args = {binary};
    args.insert(args.end(), extra.begin(), extra.end());
    Child child = Spawn(args);
    ::close(child.out);
    EXPECT_EQ(WaitExit(child.pid), 2) << ::testing::PrintToString(extra);
  }
}

}  // namespace
