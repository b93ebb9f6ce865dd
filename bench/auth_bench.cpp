// The Azure provider's getAuthToken next to what a caller would write
// instead. A cache hit beside a hand-kept cache (a time check, a scope
// compare and two string copies); a cache miss against the local token
// endpoint over HTTPS on loopback, one connection reused, beside raw libcurl
// (one easy handle, the same URL, body and header, CAINFO) and, for a
// certificate credential, beside an RS256 client assertion signed with
// EVP_DigestSign and a key already in memory. Every miss row parses the
// reply for access_token and expires_in, as a caller must.
//
// The network rows are timed in real time: the endpoint runs in this process
// on other threads (and signs every token it issues with RSA), so its work
// is part of the wall time; the CPU column is then the calling thread's
// share alone, which isolates the client's cost.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "auth/azure/internal/ClientAssertion.h"
#include "internal/crypto/CertificateFile.h"
#include "internal/crypto/OpenSslHandles.h"
#include "internal/net/CurlHandles.h"
#include "platform/AppMessages.h"
#include "platform/TQLibCurl.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tools/idp/IdpServer.h"
#include "tools/pki/Pki.h"
#include "util/UrlCodec.h"

namespace {

using AzureCredentialRecord::AuthType;

constexpr char kTenant[] = "tenant-1";
constexpr char kSecretClient[] = "client-1";
constexpr char kCertClient[] = "client-2";
constexpr char kSecret[] = "bench-secret~with+/=&chars";
constexpr char kCertPassword[] = "bench-certificate-password";
constexpr char kScope[] = "https://vault.azure.net/.default";
constexpr char kFormHeader[] =
    "Content-Type: application/x-www-form-urlencoded";
// Short enough that every call misses: the provider refreshes a token once
// fewer than 240 seconds of its life remain.
constexpr long kMissExpiresIn = 100;
constexpr long kHitExpiresIn = 3599;

// The scratch home, its PKI, the client certificate and the endpoint; made
// once for the whole run and removed at exit.
struct World {
  std::string home;
  tqpki::ServerPki pki;
  PkeyPtr clientKey;
  std::string clientCertPem;
  std::string clientPemFile;  // certificate + encrypted key, base64 source
  std::string thumbprintHex;
  std::unique_ptr<tqidp::IdpServer> idp;
  std::string tokenUrl;
  std::string storedSecret;
  std::string storedCertPassword;
};

// Set up in main before any benchmark runs, removed after the last.
std::unique_ptr<World> g_world;

// A credential record filled the way the management server fills it.
TQCloudAuth::AzureArgs MakeArgs(AuthType authType, const std::string& clientId,
                                const std::string& storedPassword,
                                const std::string& certificateName) {
  namespace R = AzureCredentialRecord;
  TQCloudAuth::AzureArgs args;
  args.password = storedPassword;
  R::SetAuthType(args.credentialInfo, authType);
  R::SetApplicationId(args.credentialInfo, clientId);
  R::SetTenantId(args.credentialInfo, kTenant);
  if (authType == AuthType::kCertificate) {
    const std::string& pem = g_world->clientPemFile;
    std::string base64((pem.size() + 2) / 3 * 4 + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                        reinterpret_cast<const unsigned char*>(pem.data()),
                        static_cast<int>(pem.size()));
    base64.resize(static_cast<size_t>(n));
    R::SetCertificateName(args.credentialInfo, certificateName);
    R::SetCertificateFile(args.credentialInfo, base64);
    R::SetCertificateThumbprint(args.credentialInfo, g_world->thumbprintHex);
  }
  R::SetLoginEndpoint(args.credentialInfo, g_world->idp->LoginEndpoint());
  return args;
}

void SetUpWorld() {
  g_world = std::make_unique<World>();
  World* w = g_world.get();
  char name[] = "/tmp/tqauthbench.XXXXXX";
  if (::mkdtemp(name) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  w->home = name;
  ::setenv("TQ_HOME", name, 1);
  ::mkdir((w->home + "/certificates").c_str(), 0700);
  w->pki = tqpki::GenerateServerPki(w->home);
  tqpki::WriteFile(w->home + "/tqcloudauth.ini",
                   "[Http]\nCAFile=" + w->pki.caFile + "\n");

  w->clientKey = tqpki::GenerateRsaKey(2048);
  tqpki::CertificateFields certFields;
  certFields.commonName = "bench application";
  X509Ptr cert =
      tqpki::IssueCertificate(certFields, w->clientKey.get(), nullptr, nullptr);
  w->clientCertPem = tqpki::CertToPem(cert.get());
  w->clientPemFile =
      w->clientCertPem + tqpki::KeyToPem(w->clientKey.get(), kCertPassword);
  w->thumbprintHex = ThumbprintHex(cert.get(), EVP_sha1());

  tqidp::IdpOptions options;
  options.certFile = w->pki.certFile;
  options.keyFile = w->pki.keyFile;
  w->idp = std::make_unique<tqidp::IdpServer>(options);
  w->idp->AddApplication({kTenant, kSecretClient, kSecret, ""});
  w->idp->AddApplication({kTenant, kCertClient, "", w->clientCertPem});
  std::string error;
  if (!w->idp->Start(error)) {
    throw std::runtime_error("cannot start the endpoint: " + error);
  }
  w->tokenUrl =
      w->idp->LoginEndpoint() + std::string(kTenant) + "/oauth2/v2.0/token";

  TQPassword passwords;
  if (!passwords.encrypt(kSecret, w->storedSecret) ||
      !passwords.encrypt(kCertPassword, w->storedCertPassword)) {
    throw std::runtime_error("cannot encrypt the stored secrets");
  }
}

// Also after a failed set-up: whatever was made is removed.
void TearDownWorld() {
  if (!g_world) {
    return;
  }
  if (g_world->idp) {
    g_world->idp->Stop();
  }
  if (!g_world->home.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(g_world->home, ec);
  }
  g_world.reset();
}

TQCloudAuth::GetAuthTokenArgs ArgsFor(const std::string& scope) {
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = scope;
  return args;
}

// A provider that has already fetched one token (and so holds a
// connection), or null with the benchmark marked failed.
std::unique_ptr<TQCloudAuthAzureLib> ReadyProvider(benchmark::State& state,
                                                   AuthType authType,
                                                   const char* certName) {
  const bool secret = authType == AuthType::kClientSecret;
  auto lib = std::make_unique<TQCloudAuthAzureLib>();
  CKoError st = lib->Init(MakeArgs(
      authType, secret ? kSecretClient : kCertClient,
      secret ? g_world->storedSecret : g_world->storedCertPassword, certName));
  if (st.IsError()) {
    state.SkipWithError(("Init failed: " + st.ToString()).c_str());
    return nullptr;
  }
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(kScope);
  TQCloudAuth::GetAuthTokenRet ret;
  st = lib->getAuthToken(&args, &ret);
  if (st.IsError()) {
    state.SkipWithError(("getAuthToken failed: " + st.ToString()).c_str());
    return nullptr;
  }
  return lib;
}

// --- cache hit -------------------------------------------------------------

void BM_CacheHit_Ours(benchmark::State& state) {
  g_world->idp->SetExpiresIn(kHitExpiresIn);
  auto lib = ReadyProvider(state, AuthType::kClientSecret, "");
  if (!lib) {
    return;
  }
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(kScope);
  TQCloudAuth::GetAuthTokenRet ret;
  const size_t requests = g_world->idp->RequestCount();
  for (auto _ : state) {
    const CKoError st = lib->getAuthToken(&args, &ret);
    benchmark::DoNotOptimize(st.IsError());
    benchmark::DoNotOptimize(ret.accessToken.data());
  }
  if (g_world->idp->RequestCount() != requests) {
    state.SkipWithError("a cache hit sent a request");
  }
  state.counters["token_bytes"] = static_cast<double>(ret.accessToken.size());
}
BENCHMARK(BM_CacheHit_Ours);

// What a caller keeping the token himself does on a hit: the same checks
// and the same copies into the same kind of result.
void BM_CacheHit_HandKeptCache(benchmark::State& state) {
  g_world->idp->SetExpiresIn(kHitExpiresIn);
  auto lib = ReadyProvider(state, AuthType::kClientSecret, "");
  if (!lib) {
    return;
  }
  struct {
    std::string token, type, scope;
    int64_t expireTime;
  } cache;
  {
    const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(kScope);
    TQCloudAuth::GetAuthTokenRet first;
    (void)lib->getAuthToken(&args, &first);
    cache = {first.accessToken, first.tokenType, kScope, first.expireTime};
  }
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(kScope);
  TQCloudAuth::GetAuthTokenRet ret;
  for (auto _ : state) {
    const std::string& scope = args.azureArgs->scope;
    const bool hit =
        cache.expireTime - 239 > std::time(nullptr) && cache.scope == scope;
    if (hit) {
      ret.accessToken = cache.token;
      ret.tokenType = cache.type;
      ret.expireTime = cache.expireTime;
    }
    benchmark::DoNotOptimize(hit);
    benchmark::DoNotOptimize(ret.accessToken.data());
  }
}
BENCHMARK(BM_CacheHit_HandKeptCache);

// --- cache miss ------------------------------------------------------------

// Sets the endpoint so that every call misses and reports the connections
// the endpoint saw during the loop (1 at most: the one kept open).
class MissScope {
 public:
  explicit MissScope(benchmark::State& state) : m_state(state) {
    g_world->idp->SetExpiresIn(kMissExpiresIn);
  }
  void Start() { m_connections = g_world->idp->ConnectionCount(); }
  ~MissScope() {
    m_state.counters["new_conns"] =
        static_cast<double>(g_world->idp->ConnectionCount() - m_connections);
  }

 private:
  benchmark::State& m_state;
  size_t m_connections = 0;
};

void RunOursMiss(benchmark::State& state, AuthType authType, const char* name) {
  MissScope miss(state);
  auto lib = ReadyProvider(state, authType, name);
  if (!lib) {
    return;
  }
  const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(kScope);
  TQCloudAuth::GetAuthTokenRet ret;
  miss.Start();
  for (auto _ : state) {
    const CKoError st = lib->getAuthToken(&args, &ret);
    if (st.IsError()) {
      state.SkipWithError(st.ToString().c_str());
      break;
    }
    benchmark::DoNotOptimize(ret.accessToken.data());
  }
}

void BM_Miss_Secret_Ours(benchmark::State& state) {
  RunOursMiss(state, AuthType::kClientSecret, "");
}
BENCHMARK(BM_Miss_Secret_Ours)->UseRealTime();

void BM_Miss_Certificate_Ours(benchmark::State& state) {
  RunOursMiss(state, AuthType::kCertificate, "bench");
}
BENCHMARK(BM_Miss_Certificate_Ours)->UseRealTime();

size_t AppendReply(char* data, size_t size, size_t count, void* userdata) {
  static_cast<std::string*>(userdata)->append(data, size * count);
  return size * count;
}

// One easy handle set up once for the token URL, as a caller of libcurl
// would keep it.
class RawClient {
 public:
  RawClient() : m_curl(curl_easy_init()) {
    m_headers.reset(curl_slist_append(nullptr, kFormHeader));
    // libcurl would otherwise wait for "100 Continue" before sending an
    // assertion body (over 1 KiB); the provider's client never does.
    curl_slist* lines = curl_slist_append(m_headers.get(), "Expect:");
    if (lines != nullptr) {
      m_headers.release();
      m_headers.reset(lines);
    }
    CURL* h = m_curl.get();
    curl_easy_setopt(h, CURLOPT_URL, g_world->tokenUrl.c_str());
    curl_easy_setopt(h, CURLOPT_CAINFO, g_world->pki.caFile.c_str());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, m_headers.get());
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &AppendReply);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &m_reply);
  }

  // Posts body; true with the token and its lifetime read from a 200 reply.
  bool Post(const std::string& body, std::string& token, long& expiresIn) {
    m_reply.clear();
    CURL* h = m_curl.get();
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    long status = 0;
    if (curl_easy_perform(h) != CURLE_OK ||
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
        status != 200) {
      return false;
    }
    const nlohmann::json reply = nlohmann::json::parse(m_reply, nullptr, false);
    if (!reply.is_object() || !reply.contains("access_token")) {
      return false;
    }
    token = reply["access_token"].get<std::string>();
    expiresIn = reply.value("expires_in", 0L);
    return !token.empty();
  }

 private:
  CurlPtr m_curl;
  SlistPtr m_headers;
  std::string m_reply;
};

std::string FormStart(const char* clientId) {
  return "client_id=" + std::string(clientId) +
         "&scope=" + urlEncode(std::string(kScope)) +
         "&grant_type=client_credentials&";
}

std::string SecretBody() {
  return FormStart(kSecretClient) +
         "client_secret=" + urlEncode(std::string(kSecret));
}

void BM_Miss_Secret_RawCurl(benchmark::State& state) {
  MissScope miss(state);
  RawClient client;
  const std::string body = SecretBody();
  std::string token;
  long expiresIn = 0;
  if (!client.Post(body, token, expiresIn)) {
    state.SkipWithError("raw request failed");
    return;
  }
  miss.Start();
  for (auto _ : state) {
    if (!client.Post(body, token, expiresIn)) {
      state.SkipWithError("raw request failed");
      break;
    }
    benchmark::DoNotOptimize(token.data());
  }
}
BENCHMARK(BM_Miss_Secret_RawCurl)->UseRealTime();

std::string Base64Url(const unsigned char* data, size_t size) {
  std::string text((size + 2) / 3 * 4 + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                data, static_cast<int>(size));
  text.resize(static_cast<size_t>(n));
  while (!text.empty() && text.back() == '=') {
    text.pop_back();
  }
  for (char& c : text) {
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  }
  return text;
}

std::string Base64Url(const std::string& text) {
  return Base64Url(reinterpret_cast<const unsigned char*>(text.data()),
                   text.size());
}

// The same assertion the provider makes, signed with a key in memory: RS256
// naming the certificate by x5t (SHA-1), or with pss PS256 by x5t#S256.
bool RawAssertion(EVP_PKEY* key, const std::string& x5t, int64_t now,
                  std::string& out, bool pss = false) {
  const std::string header =
      pss ? R"({"alg":"PS256","typ":"JWT","x5t#S256":")" + x5t + "\"}"
          : R"({"alg":"RS256","typ":"JWT","x5t":")" + x5t + "\"}";
  const std::string payload =
      R"({"aud":")" + g_world->tokenUrl + R"(", "sub":")" + kCertClient +
      R"(", "iss":")" + kCertClient + R"(", "exp":)" +
      std::to_string(now + 3600) + R"(, "nbf":)" + std::to_string(now) + "}";
  std::string input = Base64Url(header) + "." + Base64Url(payload);
  unsigned char signature[512];
  size_t length = sizeof signature;
  MdCtxPtr ctx(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  if (!ctx ||
      EVP_DigestSignInit(ctx.get(), &pctx, EVP_sha256(), nullptr, key) != 1 ||
      (pss && (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) != 1 ||
               EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) != 1 ||
               EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, 32) != 1)) ||
      EVP_DigestSign(ctx.get(), signature, &length,
                     reinterpret_cast<const unsigned char*>(input.data()),
                     input.size()) != 1) {
    return false;
  }
  out = input + "." + Base64Url(signature, length);
  return true;
}

// The certificate credential's body for the time now.
class RawCertificateBody {
 public:
  RawCertificateBody()
      : m_start(FormStart(kCertClient)),
        m_assertionType(urlEncode(std::string(
            "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"))) {
    // x5t: Base64URL of the SHA-1 thumbprint's bytes.
    std::string thumbprint;
    const std::string& hex = g_world->thumbprintHex;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      thumbprint.push_back(
          static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    m_x5t = Base64Url(thumbprint);
  }

  bool Make(int64_t now, std::string& body) const {
    std::string assertion;
    if (!RawAssertion(g_world->clientKey.get(), m_x5t, now, assertion)) {
      return false;
    }
    body = m_start + "client_assertion=" + assertion +
           "&client_assertion_type=" + m_assertionType;
    return true;
  }

 private:
  std::string m_start, m_assertionType, m_x5t;
};

void BM_Miss_Certificate_RawCurlEvp(benchmark::State& state) {
  MissScope miss(state);
  RawClient client;
  const RawCertificateBody maker;
  auto post = [&](std::string& token, long& expiresIn) {
    std::string body;
    return maker.Make(static_cast<int64_t>(std::time(nullptr)), body) &&
           client.Post(body, token, expiresIn);
  };
  std::string token;
  long expiresIn = 0;
  if (!post(token, expiresIn)) {
    state.SkipWithError("raw request failed");
    return;
  }
  miss.Start();
  for (auto _ : state) {
    if (!post(token, expiresIn)) {
      state.SkipWithError("raw request failed");
      break;
    }
    benchmark::DoNotOptimize(token.data());
  }
}
BENCHMARK(BM_Miss_Certificate_RawCurlEvp)->UseRealTime();

// The raw rows must send what the provider sends, byte for byte (RS256 is
// deterministic, so an assertion made in the same second is identical).
bool PeersSendSameBytes(std::string& why) {
  g_world->idp->SetExpiresIn(kMissExpiresIn);
  auto lastBody = [] { return g_world->idp->Requests().back().body; };
  for (AuthType authType : {AuthType::kClientSecret, AuthType::kCertificate}) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      auto lib = std::make_unique<TQCloudAuthAzureLib>();
      const bool secret = authType == AuthType::kClientSecret;
      CKoError st = lib->Init(
          MakeArgs(authType, secret ? kSecretClient : kCertClient,
                   secret ? g_world->storedSecret : g_world->storedCertPassword,
                   "check"));
      const TQCloudAuth::GetAuthTokenArgs args = ArgsFor(kScope);
      TQCloudAuth::GetAuthTokenRet ret;
      const int64_t now = static_cast<int64_t>(std::time(nullptr));
      if (!st.IsError()) {
        st = lib->getAuthToken(&args, &ret);
      }
      if (st.IsError()) {
        why = "provider failed: " + st.ToString();
        return false;
      }
      const std::string ours = lastBody();
      std::string raw = SecretBody();
      if (!secret && !RawCertificateBody().Make(now, raw)) {
        why = "raw signing failed";
        return false;
      }
      if (ours == raw) {
        break;
      }
      if (secret || attempt == 2) {
        why = std::string("raw body differs from the provider's (") +
              (secret ? "secret" : "certificate") + ")";
        return false;
      }
      // The second may have turned between the two clock readings.
    }
  }
  return true;
}

}  // namespace

// --- the assertion alone ----------------------------------------------------
// One client assertion made and signed, RS256 beside PS256: ours from the
// certificate file (its key kept parsed by the signer), the peer with
// EVP_DigestSign and the key in memory. PSS should cost what PKCS#1 v1.5
// does: the RSA private-key operation dominates both.

void BM_Assertion_Ours(benchmark::State& state, AssertionAlgorithm algorithm) {
  const std::string file = g_world->home + "/assertion-bench.pem";
  tqpki::WriteFile(file, g_world->clientPemFile, 0600);
  const std::string& pem = g_world->clientCertPem;
  const CertificateFile parsed =
      CertificateFile::Parse(pem.data(), pem.size(), "");
  X509* cert = parsed.certificate.get();
  const std::string sha1 = Thumbprint(cert, EVP_sha1());
  std::string sha1Base64((sha1.size() + 2) / 3 * 4 + 1, '\0');
  sha1Base64.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(sha1Base64.data()),
                      reinterpret_cast<const unsigned char*>(sha1.data()),
                      static_cast<int>(sha1.size()))));
  AssertionInputs in;
  in.algorithm = algorithm;
  in.tokenUrl = g_world->tokenUrl;
  in.applicationId = kCertClient;
  in.thumbprint = algorithm == AssertionAlgorithm::kPs256
                      ? Thumbprint(cert, EVP_sha256())
                      : sha1Base64;
  TQLibCurl curl;
  const bool pss = algorithm == AssertionAlgorithm::kPs256;
  const AssertionSigner sign = [&](const std::string& input,
                                   unsigned char* signature,
                                   unsigned int& length) {
    return pss ? curl.SignSHA256withRSAPSS(file, input, kCertPassword,
                                           signature, length)
               : curl.SignSHA256withRSA(file, input, kCertPassword, signature,
                                        length);
  };
  for (auto _ : state) {
    in.now = static_cast<int64_t>(std::time(nullptr));
    CKoString part;
    if (!BuildAssertionPart(in, sign, part)) {
      state.SkipWithError("the assertion was not signed");
      break;
    }
    benchmark::DoNotOptimize(part.c_str());
  }
}
BENCHMARK_CAPTURE(BM_Assertion_Ours, RS256, AssertionAlgorithm::kRs256);
BENCHMARK_CAPTURE(BM_Assertion_Ours, PS256, AssertionAlgorithm::kPs256);

void BM_Assertion_Evp(benchmark::State& state, bool pss) {
  const std::string x5t = "AAAAAAAAAAAAAAAAAAAAAAAAAAA";
  for (auto _ : state) {
    std::string assertion;
    if (!RawAssertion(g_world->clientKey.get(), x5t,
                      static_cast<int64_t>(std::time(nullptr)), assertion,
                      pss)) {
      state.SkipWithError("EVP_DigestSign failed");
      break;
    }
    benchmark::DoNotOptimize(assertion.data());
  }
}
BENCHMARK_CAPTURE(BM_Assertion_Evp, RS256, false);
BENCHMARK_CAPTURE(BM_Assertion_Evp, PS256, true);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int rc = 0;
  try {
    SetUpWorld();
    std::string why;
    if (!PeersSendSameBytes(why)) {
      throw std::runtime_error(why);
    }
    benchmark::RunSpecifiedBenchmarks();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "auth_bench: %s\n", e.what());
    rc = 1;
  }
  TearDownWorld();
  benchmark::Shutdown();
  curl_global_cleanup();
  return rc;
}
