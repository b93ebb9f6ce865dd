// The Azure provider end to end over HTTPS against the local token endpoint,
// with credentials made at test time: a client secret, a PEM certificate with
// an encrypted key, and PKCS#12.
#include "auth/azure/TQCloudAuthAzureLib.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "auth/azure/internal/ProviderState.h"
#include "internal/cache/TokenCache.h"
#include "internal/crypto/CertificateFile.h"
#include "platform/TQPassword.h"
#include "platform/TqcConvert.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"
#include "util/Base64Codec.h"
#include "util/UrlCodec.h"

namespace {

using TQCloudAuth::GetAuthTokenArgs;
using TQCloudAuth::GetAuthTokenRet;
using tqtest::AzureCredential;
using tqtest::ScopedTqHome;

const char kSecret[] = "SECRET-SENTINEL-7f3a+/=&";
const char kCertPassword[] = "CERT-PASSWORD-SENTINEL";
const char kScope[] = "https://vault.azure.net/.default";
const char kOtherScope[] = "https://storage.azure.com/.default";

// The provider with its clock and state opened for tests.
class TestAzureLib : public TQCloudAuthAzureLib {
 public:
  static int64_t fixedNow;
  static int64_t FixedClock() { return fixedNow; }
  void UseFixedClock() { clock = &FixedClock; }
  using TQCloudAuthAzureLib::azureParams;
  using TQCloudAuthAzureLib::curl;
  using TQCloudAuthAzureLib::initialized;
  using TQCloudAuthAzureLib::params;
};
int64_t TestAzureLib::fixedNow = 1700000000;

std::string Base64UrlDecode(std::string text) {
  for (char& c : text) {
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  return Base64Decode(reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
}

// The application's certificate, made once: key generation is the slow part.
const tqtest::ClientCertificate& AppCertificate() {
  static const tqtest::ClientCertificate client =
      tqtest::MakeClientCertificate("client-2 application", kCertPassword);
  return client;
}

class AzureLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + tqtest::SharedPki().caFile() +
                     "\nConnectTimeoutSeconds=5\nTimeoutSeconds=5\n");
    ASSERT_EQ(::mkdir((home.path() + "/certificates").c_str(), 0700), 0);
    idp = tqtest::StartTestEndpoint(kSecret, client->certificatePem);
    ASSERT_TRUE(idp);
  }

  std::string Encrypt(const std::string& plain) {
    TQPassword service;
    std::string stored;
    EXPECT_TRUE(service.encrypt(plain, stored));
    return stored;
  }

  AzureCredential SecretCredential() {
    AzureCredential c;
    c.authType = tqtest::AuthType::kClientSecret;
    c.clientId = "client-1";
    c.loginEndpoint = idp->LoginEndpoint();
    c.storedPassword = Encrypt(kSecret);
    return c;
  }

  AzureCredential CertificateCredential(const std::string& fileBytes,
                                        const std::string& name) {
    AzureCredential c;
    c.authType = tqtest::AuthType::kCertificate;
    c.clientId = "client-2";
    c.loginEndpoint = idp->LoginEndpoint();
    c.certificateName = name;
    c.certificateBase64 = tqtest::Base64Of(fileBytes);
    c.thumbprintHex = client->thumbprintHex;
    c.storedPassword = Encrypt(kCertPassword);
    return c;
  }

  std::unique_ptr<TestAzureLib> Ready(const AzureCredential& c) {
    auto lib = std::make_unique<TestAzureLib>();
    const CKoError st = lib->Init(tqtest::MakeAzureArgs(c));
    EXPECT_FALSE(st.IsError()) << st.ToString();
    return lib;
  }

  static GetAuthTokenArgs ArgsFor(const std::string& scope) {
    GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = scope;
    return args;
  }

  CKoError Token(TQCloudAuthLib& lib, GetAuthTokenRet& ret,
                 const std::string& scope = kScope) {
    const GetAuthTokenArgs args = ArgsFor(scope);
    return lib.getAuthToken(&args, &ret);
  }

  // Nothing secret in any status text or in the log.
  void ExpectNoSecretsIn(const std::string& text) {
    for (const std::string& secret :
         {std::string(kSecret), urlEncode(std::string(kSecret)),
          tqtest::Base64Of(kSecret), std::string(kCertPassword),
          std::string("SECRET-SENTINEL")}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << secret;
    }
  }

  const tqtest::ClientCertificate* const client = &AppCertificate();
  // certificate + encrypted PKCS#8 key
  const std::string pemWithEncryptedKey =
      client->certificatePem + client->keyPem;
  ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
};

TEST_F(AzureLibTest, SecretCredential) {
  auto lib = Ready(SecretCredential());
  GetAuthTokenRet ret;
  const int64_t before = std::time(nullptr);
  const CKoError st = Token(*lib, ret);
  const int64_t after = std::time(nullptr);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_FALSE(ret.accessToken.empty());
  EXPECT_EQ(ret.tokenType, "Bearer");
  EXPECT_GE(ret.expireTime, before + 3599);
  EXPECT_LE(ret.expireTime, after + 3599);

  const auto requests = idp->Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/tenant-1/oauth2/v2.0/token");
  EXPECT_EQ(requests[0].headers.count("Content-Type"), 1u);
  EXPECT_EQ(requests[0].headers.find("Content-Type")->second,
            "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].body,
            "client_id=client-1&scope=" + urlEncode(std::string(kScope)) +
                "&grant_type=client_credentials&client_secret=" +
                urlEncode(std::string(kSecret)));
}

TEST_F(AzureLibTest, PemCertificateWithEncryptedKey) {
  auto lib = Ready(CertificateCredential(pemWithEncryptedKey, "pem-app"));
  EXPECT_EQ(lib->azureParams->getCertificateFile(),
            home.path() + "/certificates/Azure_pem-app.crt");
  GetAuthTokenRet ret;
  TestAzureLib::fixedNow = std::time(nullptr);
  lib->UseFixedClock();
  const CKoError st = Token(*lib, ret);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_EQ(ret.expireTime, TestAzureLib::fixedNow + 3599);

  // The assertion as sent: exact header and payload texts.
  const auto requests = idp->Requests();
  ASSERT_EQ(requests.size(), 1u);
  const std::string& body = requests[0].body;
  const std::string prefix =
      "client_id=client-2&scope=" + urlEncode(std::string(kScope)) +
      "&grant_type=client_credentials&client_assertion=";
  ASSERT_EQ(body.rfind(prefix, 0), 0u) << body;
  const std::string suffix =
      "&client_assertion_type=urn%3Aietf%3Aparams%3Aoauth%3Aclient-assertion-"
      "type%3Ajwt-bearer";
  ASSERT_GT(body.size(), prefix.size() + suffix.size());
  EXPECT_EQ(body.substr(body.size() - suffix.size()), suffix);
  const std::string jwt =
      body.substr(prefix.size(), body.size() - prefix.size() - suffix.size());
  EXPECT_EQ(jwt.find_first_of("=+/"), std::string::npos);
  const size_t dot1 = jwt.find('.');
  const size_t dot2 = jwt.find('.', dot1 + 1);
  ASSERT_NE(dot2, std::string::npos);
  std::string x5t = tqtest::Base64Of(
      std::string(reinterpret_cast<const char*>(
                      Tqc::hex2bin(client->thumbprintHex.c_str()).getData()),
                  20));
  x5t = x5t.substr(0, x5t.find('='));
  for (char& c : x5t) {
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  }
  EXPECT_EQ(Base64UrlDecode(jwt.substr(0, dot1)),
            R"({"alg":"RS256","typ":"JWT","x5t":")" + x5t + "\"}");
  const std::string url = idp->LoginEndpoint() + "tenant-1/oauth2/v2.0/token";
  const long now = static_cast<long>(TestAzureLib::fixedNow);
  EXPECT_EQ(Base64UrlDecode(jwt.substr(dot1 + 1, dot2 - dot1 - 1)),
            R"({"aud":")" + url + R"(", "sub":"client-2", "iss":"client-2", )" +
                R"("exp":)" + std::to_string(now + 3600) + R"(, "nbf":)" +
                std::to_string(now) + "}");
}

// One certificate credential under each [Azure] AssertionAlgorithm: the
// header the endpoint received, and how it proved the client. A certificate
// the application did not register is refused under PS256 as under RS256;
// a value that is neither stops before any request.
TEST_F(AzureLibTest, AssertionAlgorithms) {
  const std::string registered = pemWithEncryptedKey;
  const tqtest::ClientCertificate stranger =
      tqtest::MakeClientCertificate("client-2 application", kCertPassword);
  const auto b64url = [](const std::string& hex) {
    const std::string bytes(
        reinterpret_cast<const char*>(Tqc::hex2bin(hex.c_str()).getData()),
        hex.size() / 2);
    std::string text = tqtest::Base64Of(bytes);
    text = text.substr(0, text.find('='));
    for (char& c : text) {
      c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text;
  };
  const CertificateFile parsed = CertificateFile::Parse(
      client->certificatePem.data(), client->certificatePem.size(), "");
  const std::string sha256 =
      ThumbprintHex(parsed.certificate.get(), EVP_sha256());
  const std::string rs256 = R"({"alg":"RS256","typ":"JWT","x5t":")" +
                            b64url(client->thumbprintHex) + "\"}";
  const std::string ps256 =
      R"({"alg":"PS256","typ":"JWT","x5t#S256":")" + b64url(sha256) + "\"}";
  struct Case {
    const char* setting;  // nullptr: not set
    bool registeredCertificate;
    std::string header;  // "" when no token is expected
    const char* grant;   // how the endpoint saw the client prove itself
    TqFailureReason reason;
  };
  const Case cases[] = {
      {nullptr, true, rs256, "RS256 assertion", TqFailureReason::kNone},
      {"RS256", true, rs256, "RS256 assertion", TqFailureReason::kNone},
      {"PS256", true, ps256, "PS256 assertion", TqFailureReason::kNone},
      {"ps256", true, ps256, "PS256 assertion", TqFailureReason::kNone},
      {"PS256", false, "", nullptr, TqFailureReason::kCredentialRejected},
      {"RS256", false, "", nullptr, TqFailureReason::kCredentialRejected},
      {"ES256", true, "", nullptr, TqFailureReason::kConfigInvalid},
      {"", true, "", nullptr, TqFailureReason::kConfigInvalid},
  };
  for (const Case& c : cases) {
    const std::string name = c.setting == nullptr ? "(unset)" : c.setting;
    std::string config = "[Http]\nCAFile=" + tqtest::SharedPki().caFile() +
                         "\nConnectTimeoutSeconds=5\nTimeoutSeconds=5\n";
    if (c.setting != nullptr) {
      config += "[Azure]\nAssertionAlgorithm=" + std::string(c.setting) + "\n";
    }
    home.WriteConfig(config);
    AzureCredential credential = CertificateCredential(
        c.registeredCertificate ? registered
                                : stranger.certificatePem + stranger.keyPem,
        "alg-app");
    if (!c.registeredCertificate) {
      credential.thumbprintHex = stranger.thumbprintHex;
    }
    auto lib = Ready(credential);
    const size_t before = idp->RequestCount();
    const size_t grantsBefore = c.grant ? idp->GrantCount(c.grant) : 0;
    GetAuthTokenRet ret;
    const CKoError st = Token(*lib, ret);
    EXPECT_EQ(st.GetReason(), c.reason) << name << ": " << st.ToString();
    if (c.reason == TqFailureReason::kConfigInvalid) {
      EXPECT_EQ(idp->RequestCount(), before) << name;
      EXPECT_NE(st.GetMessage().find("[Azure] AssertionAlgorithm"),
                std::string::npos)
          << st.GetMessage();
      EXPECT_NE(st.GetMessage().find("RS256 or PS256"), std::string::npos);
      continue;
    }
    ASSERT_EQ(idp->RequestCount(), before + 1) << name;
    if (c.grant == nullptr) {
      EXPECT_NE(st.GetMessage().find("AADSTS700027"), std::string::npos)
          << name << ": " << st.GetMessage();
      continue;
    }
    EXPECT_EQ(idp->GrantCount(c.grant), grantsBefore + 1) << name;
    const std::string body = idp->Requests().back().body;
    const size_t start = body.find("client_assertion=") + 17;
    EXPECT_EQ(
        Base64UrlDecode(body.substr(start, body.find('.', start) - start)),
        c.header)
        << name;
  }
}

TEST_F(AzureLibTest, Pkcs12Certificate) {
  auto lib = Ready(CertificateCredential(client->pkcs12, "p12-app"));
  GetAuthTokenRet ret;
  const CKoError st = Token(*lib, ret);
  ASSERT_FALSE(st.IsError()) << st.ToString();
  EXPECT_FALSE(ret.accessToken.empty());
}

TEST_F(AzureLibTest, CacheKeepsATokenWhileAtLeast240SecondsRemain) {
  auto lib = Ready(SecretCredential());
  lib->UseFixedClock();
  TestAzureLib::fixedNow = 1800000000;
  GetAuthTokenRet ret;
  for (long expiresIn : {240L, 239L}) {
    idp->SetExpiresIn(expiresIn);
    const size_t before = idp->RequestCount();
    AzureProviderAccess::Cache(*lib).Clear();  // force a request
    ASSERT_FALSE(Token(*lib, ret).IsError());
    EXPECT_EQ(ret.expireTime, TestAzureLib::fixedNow + expiresIn);
    GetAuthTokenRet again;
    ASSERT_FALSE(Token(*lib, again).IsError());
    EXPECT_EQ(idp->RequestCount() - before, expiresIn == 240 ? 1u : 2u)
        << "expires_in " << expiresIn;
    EXPECT_EQ(again.expireTime, TestAzureLib::fixedNow + expiresIn);
  }

  idp->SetExpiresIn(3599);
  AzureProviderAccess::Cache(*lib).Clear();
  ASSERT_FALSE(Token(*lib, ret).IsError());
  const size_t requests = idp->RequestCount();
  TestAzureLib::fixedNow += 3599 - 240;
  ASSERT_FALSE(Token(*lib, ret).IsError());
  EXPECT_EQ(idp->RequestCount(), requests) << "240 s left: cached";
  TestAzureLib::fixedNow += 1;
  ASSERT_FALSE(Token(*lib, ret).IsError());
  EXPECT_EQ(idp->RequestCount(), requests + 1) << "239 s left: refreshed";
}

TEST_F(AzureLibTest, EachScopeGetsItsOwnToken) {
  auto lib = Ready(SecretCredential());
  GetAuthTokenRet vault;
  GetAuthTokenRet storage;
  GetAuthTokenRet vaultAgain;
  ASSERT_FALSE(Token(*lib, vault, kScope).IsError());
  ASSERT_FALSE(Token(*lib, storage, kOtherScope).IsError());
  EXPECT_EQ(idp->RequestCount(), 2u);
  EXPECT_NE(vault.accessToken, storage.accessToken);
  ASSERT_FALSE(Token(*lib, vaultAgain, kScope).IsError());
  EXPECT_EQ(idp->RequestCount(), 2u) << "each scope is kept";
  EXPECT_EQ(vaultAgain.accessToken, vault.accessToken);
  const auto requests = idp->Requests();
  EXPECT_NE(requests[1].body.find(urlEncode(std::string(kOtherScope))),
            std::string::npos);
}

TEST_F(AzureLibTest, CacheMissesReuseOneConnection) {
  idp->SetExpiresIn(100);  // never reusable: every call asks
  auto lib = Ready(SecretCredential());
  for (int i = 0; i < 4; ++i) {
    GetAuthTokenRet ret;
    ASSERT_FALSE(Token(*lib, ret).IsError());
  }
  EXPECT_EQ(idp->RequestCount(), 4u);
  EXPECT_EQ(idp->ConnectionCount(), 1u);
}

TEST_F(AzureLibTest, NotInitialisedAndInvalidArguments) {
  TestAzureLib fresh;
  GetAuthTokenRet ret;
  CKoError st = Token(fresh, ret);
  EXPECT_EQ(st.GetMessage(), "TQCloudAuthLib is not initialized");
  EXPECT_FALSE(fresh.params);
  EXPECT_FALSE(fresh.curl);
  EXPECT_FALSE(fresh.azureParams);

  auto lib = Ready(SecretCredential());
  const GetAuthTokenArgs good = ArgsFor(kScope);
  const GetAuthTokenArgs empty;
  EXPECT_EQ(lib->getAuthToken(nullptr, &ret).GetMessage(), "Invalid Arguments");
  EXPECT_EQ(lib->getAuthToken(&empty, &ret).GetMessage(), "Invalid Arguments");
  EXPECT_EQ(lib->getAuthToken(&good, nullptr).GetMessage(),
            "Invalid Arguments");
  EXPECT_EQ(idp->RequestCount(), 0u);
}

TEST_F(AzureLibTest, FailuresReachTheCallerWithTheirMessages) {
  struct Case {
    const char* name;
    AzureCredential credential;
    std::string message;  // the start of the expected message
  };
  AzureCredential undecryptable = SecretCredential();
  undecryptable.storedPassword = "ENC1:garbage";
  AzureCredential unknownType = SecretCredential();
  unknownType.authType = static_cast<tqtest::AuthType>(3);
  AzureCredential unknownTypeBadPassword = unknownType;
  unknownTypeBadPassword.storedPassword = "not stored by us";
  AzureCredential wrongSecret = SecretCredential();
  wrongSecret.storedPassword = Encrypt("SECRET-SENTINEL-wrong");
  AzureCredential emptySecret = SecretCredential();
  emptySecret.storedPassword.clear();
  AzureCredential wrongCertPassword =
      CertificateCredential(pemWithEncryptedKey, "wrong-password");
  wrongCertPassword.storedPassword = Encrypt("CERT-PASSWORD-SENTINEL-no");
  AzureCredential noKey =
      CertificateCredential(client->certificatePem, "no-key");
  AzureCredential unknownTenant = SecretCredential();
  unknownTenant.tenant = "tenant-x";

  const Case cases[] = {
      {"undecryptable", undecryptable, "Failed to decrypt password"},
      {"type 3", unknownType, "Unknown authorization type [3]"},
      {"type 3, bad password", unknownTypeBadPassword,
       "Failed to decrypt password"},
      {"wrong secret", wrongSecret,
       "Request failed with ErrorCode [401] Message [{"},
      {"empty secret", emptySecret, "Request failed with ErrorCode [401]"},
      {"wrong certificate password", wrongCertPassword,
       "Failed to sign jwt assertion"},
      {"certificate without key", noKey, "Failed to sign jwt assertion"},
      {"unknown tenant", unknownTenant, "Request failed with ErrorCode [400]"},
  };
  for (const Case& c : cases) {
    auto lib = Ready(c.credential);
    const size_t before = idp->RequestCount();
    GetAuthTokenRet ret;
    ret.accessToken = "unchanged";
    const CKoError st = Token(*lib, ret);
    ASSERT_TRUE(st.IsError()) << c.name;
    EXPECT_EQ(st.GetWin32Code(), 774u) << c.name;
    EXPECT_EQ(st.GetMessage().rfind(c.message, 0), 0u)
        << c.name << ": " << st.GetMessage();
    EXPECT_EQ(ret.accessToken, "unchanged") << c.name;
    EXPECT_EQ(AzureProviderAccess::Cache(*lib).Size(), 0u) << c.name;
    const bool sent = c.message.rfind("Request failed", 0) == 0;
    EXPECT_EQ(idp->RequestCount() - before, sent ? 1u : 0u) << c.name;
    ExpectNoSecretsIn(st.ToString());
  }
  const std::string log = home.LogText();
  EXPECT_NE(log.find("client_secret=***"), std::string::npos) << log;
  EXPECT_NE(log.find("AADSTS7000215"), std::string::npos);
  ExpectNoSecretsIn(log);
}

TEST_F(AzureLibTest, RepliesThatAreNotTokens) {
  auto lib = Ready(SecretCredential());
  GetAuthTokenRet good;
  ASSERT_FALSE(Token(*lib, good).IsError());
  const std::string cachedToken = good.accessToken;
  TQCloudAuth::CachedToken stale;  // the next call asks
  stale.accessToken = cachedToken;
  AzureProviderAccess::Cache(*lib).Store(kScope, stale);

  struct Case {
    const char* body;
    const char* message;
  };
  const Case cases[] = {
      {"<html>busy</html>",
       "Failed to unserialize auth response [<html>busy</html>]"},
      {R"({"error":"temporarily_unavailable"})",
       "Auth request failed with error [temporarily_unavailable] []"},
      {R"({"error":"invalid_scope","error_description":"AADSTS1002012: x"})",
       "Auth request failed with error [invalid_scope] [AADSTS1002012: x]"},
      {R"({"token_type":"Bearer","expires_in":3599})",
       R"(Failed to unserialize auth response [{"token_type":"Bearer","expires_in":3599}])"},
      {R"({"access_token":"","expires_in":3599})",
       R"(Failed to unserialize auth response [{"access_token":"***","expires_in":3599}])"},
      {R"({"access_token":5,"expires_in":3599})",
       R"(Failed to unserialize auth response [{"access_token":5,"expires_in":3599}])"},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":1.5})",
       R"(Failed to unserialize auth response [{"access_token":"***","expires_in":1.5}])"},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":true})", nullptr},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":null})", nullptr},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":{}})", nullptr},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":"12a"})", nullptr},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":""})", nullptr},
      {R"({"access_token":"TOKEN-SENTINEL","expires_in":1e400})", nullptr},
      {R"([1,2])", "Failed to unserialize auth response [[1,2]]"},
      // The token under an escaped name, and repeated under another name.
      {R"({"access\u005ftoken":"TOKEN-SENTINEL","expires_in":true})",
       R"(Failed to unserialize auth response [{"access\u005ftoken":"***","expires_in":true}])"},
      {R"({"access_token":"TOKEN-SENTINEL","token_type":"TOKEN-SENTINEL","expires_in":true})",
       R"(Failed to unserialize auth response [{"access_token":"***","token_type":"***","expires_in":true}])"},
      {R"({"error":"x","error_description":"bad TOKEN-SENTINEL","access_token":"TOKEN-SENTINEL"})",
       "Auth request failed with error [x] [bad ***]"},
  };
  for (const Case& c : cases) {
    tqidp::IdpFault fault;
    fault.status = 200;
    fault.body = c.body;
    idp->SetFault(fault);
    GetAuthTokenRet ret;
    const CKoError st = Token(*lib, ret);
    ASSERT_TRUE(st.IsError()) << c.body;
    if (c.message != nullptr) {
      EXPECT_EQ(st.GetMessage(), c.message);
    } else {
      EXPECT_EQ(
          st.GetMessage().rfind("Failed to unserialize auth response [", 0), 0u)
          << st.GetMessage();
    }
    EXPECT_EQ(st.GetMessage().find("TOKEN-SENTINEL"), std::string::npos);
    TQCloudAuth::CachedToken held;
    ASSERT_TRUE(AzureProviderAccess::Cache(*lib).Find(kScope, held));
    EXPECT_EQ(held.accessToken, cachedToken) << c.body;
    EXPECT_EQ(held.expireTime, 0) << c.body;
  }
}

TEST_F(AzureLibTest, RefusedReplyShowsNoToken) {
  auto lib = Ready(SecretCredential());
  tqidp::IdpFault fault;
  fault.status = 400;
  fault.body = R"({"error":"invalid_request","access_token":"TOKEN-SENTINEL"})";
  idp->SetFault(fault);
  GetAuthTokenRet ret;
  const CKoError st = Token(*lib, ret);
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(
      st.GetMessage(),
      R"(Request failed with ErrorCode [400] Message [{"error":"invalid_request","access_token":"***"}])");
  const std::string log = home.LogText();
  EXPECT_NE(log.find("invalid_request"), std::string::npos) << log;
  EXPECT_EQ(log.find("TOKEN-SENTINEL"), std::string::npos) << log;
}

TEST_F(AzureLibTest, ExpiresInForms) {
  auto lib = Ready(SecretCredential());
  lib->UseFixedClock();
  TestAzureLib::fixedNow = 1800000000;
  const struct {
    const char* json;
    int64_t expected;
  } cases[] = {
      {"3599", 1800000000 + 3599},
      {"\"3599\"", 1800000000 + 3599},
      {"0", 1800000000},
      // Beyond two days: two days.
      {"172800", 1800000000 + 172800},
      {"172801", 1800000000 + 172800},
      {"99999999999", 1800000000 + 172800},
      {"9223372036854775807", 1800000000 + 172800},
  };
  for (const auto& c : cases) {
    tqidp::IdpFault fault;
    fault.expiresInJson = c.json;
    idp->SetFault(fault);
    AzureProviderAccess::Cache(*lib).Clear();
    GetAuthTokenRet ret;
    const CKoError st = Token(*lib, ret);
    ASSERT_FALSE(st.IsError()) << c.json << ": " << st.ToString();
    EXPECT_EQ(ret.expireTime, c.expected) << c.json;
  }

  // A negative lifetime is a token already expired: a failure that leaves
  // the result and the cached (stale) token as they were.
  TQCloudAuth::CachedToken held;
  held.accessToken = "held-token";
  held.expireTime = TestAzureLib::fixedNow + 100;
  for (const char* json : {"-5", "-100000", "\"-5\""}) {
    AzureProviderAccess::Cache(*lib).Store(kScope, held);
    tqidp::IdpFault fault;
    fault.expiresInJson = json;
    idp->SetFault(fault);
    GetAuthTokenRet ret;
    ret.accessToken = "unchanged";
    const CKoError st = Token(*lib, ret);
    ASSERT_TRUE(st.IsError()) << json;
    EXPECT_EQ(st.GetMessage().rfind("Failed to unserialize auth response [", 0),
              0u)
        << st.GetMessage();
    EXPECT_NE(st.GetMessage().find(std::string("\"expires_in\":") + json),
              std::string::npos)
        << st.GetMessage();
    EXPECT_EQ(ret.accessToken, "unchanged");
    TQCloudAuth::CachedToken after;
    ASSERT_TRUE(AzureProviderAccess::Cache(*lib).Find(kScope, after));
    EXPECT_EQ(after.accessToken, "held-token");
    EXPECT_EQ(after.expireTime, held.expireTime);
  }

  // Without expires_in the kept expiry stays (0 first): never reused.
  tqidp::IdpFault omit;
  omit.expiresInJson = "";
  idp->SetFault(omit);
  AzureProviderAccess::Cache(*lib).Clear();
  GetAuthTokenRet ret;
  ASSERT_FALSE(Token(*lib, ret).IsError());
  EXPECT_EQ(ret.expireTime, 0);
  const size_t before = idp->RequestCount();
  ASSERT_FALSE(Token(*lib, ret).IsError());
  EXPECT_EQ(idp->RequestCount(), before + 1);
}

TEST_F(AzureLibTest, InitStates) {
  // A credential whose certificate cannot be decoded fails Init ...
  AzureCredential broken = CertificateCredential("x", "broken");
  broken.certificateBase64 = "!!!";
  TestAzureLib lib;
  const CKoError st = lib.Init(tqtest::MakeAzureArgs(broken));
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetMessage(), "Failed to decode certificate");
  const auto chain = st.GetLocations();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_NE(std::string(chain[0].function).find("initializeParams"),
            std::string::npos);
  EXPECT_NE(std::string(chain[1].function).find("Init"), std::string::npos);
  EXPECT_STREQ(chain[1].file, "auth/azure/TQCloudAuthAzureLib.cpp");
  EXPECT_FALSE(lib.initialized);
  GetAuthTokenRet ret;
  EXPECT_EQ(Token(lib, ret).GetMessage(), "TQCloudAuthLib is not initialized");

  // ... a corrected one then succeeds, and a third Init keeps it.
  ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(SecretCredential())).IsError());
  EXPECT_TRUE(lib.initialized);
  EXPECT_TRUE(lib.curl);
  AzureCredential other = SecretCredential();
  other.storedPassword = Encrypt("SECRET-SENTINEL-other");
  ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(other)).IsError());
  ASSERT_FALSE(Token(lib, ret).IsError()) << "first credential kept";
}

}  // namespace
