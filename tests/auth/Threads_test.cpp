// Separate providers used on separate threads at once, each with its own
// credential, against one token endpoint: some made by the factory from the
// store, some constructed; secrets and certificates (one certificate staged
// by several threads at the same moment). Each must get its own tokens, and
// the shared files (store, key, staged certificate, log) must come out
// whole. Run under ThreadSanitizer by scripts/test (label "threads").
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureLib.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"
#include "util/Base64Codec.h"

namespace {

using tqtest::AdditionalInfoFor;

using tqtest::AzureCredential;

constexpr int kThreads = 6;
constexpr int kRounds = 4;
const char* const kScopes[] = {"https://vault.azure.net/.default",
                               "https://storage.azure.com/.default"};
const char kCertPassword[] = "CERT-SENTINEL-9c1e";

// The application's certificate, made once: key generation is the slow part.
const tqtest::ClientCertificate& AppCertificate() {
  static const tqtest::ClientCertificate client =
      tqtest::MakeClientCertificate("threaded application", kCertPassword);
  return client;
}

// The claims of an access token (a JWS).
nlohmann::json ClaimsOf(const std::string& token) {
  const size_t a = token.find('.');
  const size_t b = token.find('.', a + 1);
  if (a == std::string::npos || b == std::string::npos) {
    return nullptr;
  }
  std::string part = token.substr(a + 1, b - a - 1);
  for (char& c : part) {
    c = c == '-' ? '+' : c == '_' ? '/' : c;
  }
  const std::string json =
      Base64Decode(reinterpret_cast<const unsigned char*>(part.data()),
                   static_cast<int>(part.size()));
  return nlohmann::json::parse(json, nullptr, false);
}

class ProviderThreadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                     "\nConnectTimeoutSeconds=20\nTimeoutSeconds=60\n"
                     "[CredentialStore]\nBusyTimeoutMs=20000\n");
    ASSERT_EQ(::mkdir((home.path() + "/certificates").c_str(), 0700), 0);
    const tqtest::ClientCertificate& client = AppCertificate();
    certificatePem = client.certificatePem;
    certificateFile = certificatePem + client.keyPem;
    thumbprintHex = client.thumbprintHex;

    tqidp::IdpOptions options;
    options.certFile = pki->server().certFile;
    options.keyFile = pki->server().keyFile;
    options.expiresIn = 100;  // never reusable: every call asks
    idp = std::make_unique<tqidp::IdpServer>(options);
    std::string error;
    ASSERT_TRUE(idp->Start(error)) << error;
  }

  static std::string ClientId(int i) { return "client-" + std::to_string(i); }
  static std::string SecretOf(int i) {
    return "SECRET-SENTINEL-" + std::to_string(i) + "&+/";
  }

  // Even threads hold a secret, odd ones the one certificate, registered
  // under their own client ids.
  AzureCredential CredentialFor(int i) {
    AzureCredential c;
    c.clientId = ClientId(i);
    c.loginEndpoint = idp->LoginEndpoint();
    TQPassword passwords;
    if (i % 2 == 0) {
      c.authType = tqtest::AuthType::kClientSecret;
      idp->AddApplication({"tenant-1", c.clientId, SecretOf(i), ""});
      EXPECT_TRUE(passwords.encrypt(SecretOf(i), c.storedPassword));
    } else {
      c.authType = tqtest::AuthType::kCertificate;
      idp->AddApplication({"tenant-1", c.clientId, "", certificatePem});
      c.certificateName = "shared";
      c.certificateBase64 = tqtest::Base64Of(certificateFile);
      c.thumbprintHex = thumbprintHex;
      EXPECT_TRUE(passwords.encrypt(kCertPassword, c.storedPassword));
    }
    return c;
  }

  tqtest::TestPki* const pki = &tqtest::SharedPki();
  tqtest::ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
  std::string certificatePem;
  std::string certificateFile;
  std::string thumbprintHex;
};

TEST_F(ProviderThreadsTest, EachProviderGetsItsOwnTokens) {
  std::vector<AzureCredential> credentials;
  for (int i = 0; i < kThreads; ++i) {
    credentials.push_back(CredentialFor(i));
    if (i % 3 == 0) {  // these come from the store, through the factory
      StoredCredential stored;
      stored.assocId = 100 + i;
      stored.credentialType = AzureCredentialRecord::kCredentialType;
      const TQCloudAuth::AzureArgs args = tqtest::MakeAzureArgs(credentials[i]);
      stored.password = args.password;
      stored.additionalInfo = AdditionalInfoFor(args);
      CredentialMgrHelper store;
      ASSERT_TRUE(store.addCredential(stored, false)) << store.lastError();
    }
  }
  // One more application that always fails: its failures are logged while
  // the others work.
  AzureCredential wrong = CredentialFor(kThreads);
  EXPECT_TRUE(
      TQPassword().encrypt("SECRET-SENTINEL-wrong", wrong.storedPassword));

  tqtest::StartLine start(kThreads + 1);
  std::vector<std::string> problems(kThreads + 1);
  std::vector<std::thread> threads;
  for (int i = 0; i <= kThreads; ++i) {
    threads.emplace_back([&, i] {
      std::ostringstream problem;
      start.ArriveAndWait();
      std::unique_ptr<TQCloudAuthLib> lib;
      if (i < kThreads && i % 3 == 0) {
        TQCloudAuthLib* raw = nullptr;
        const CKoError st =
            TQCloudAuthLib::getTQCloudAuthLibInstance(100 + i, 0, false, raw);
        lib.reset(raw);
        if (st.IsError()) {
          problems[i] = "factory: " + st.ToString();
          return;
        }
      } else {
        auto azure = std::make_unique<TQCloudAuthAzureLib>();
        const CKoError st = azure->Init(
            tqtest::MakeAzureArgs(i < kThreads ? credentials[i] : wrong));
        if (st.IsError()) {
          problems[i] = "Init: " + st.ToString();
          return;
        }
        lib = std::move(azure);
      }
      for (int round = 0; round < kRounds; ++round) {
        const std::string scope = kScopes[round % 2];
        TQCloudAuth::GetAuthTokenArgs args;
        args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
        args.azureArgs->scope = scope;
        TQCloudAuth::GetAuthTokenRet ret;
        const CKoError st = lib->getAuthToken(&args, &ret);
        if (i == kThreads) {
          if (!st.IsError()) {
            problem << "a wrong secret got a token; ";
          }
          continue;
        }
        if (st.IsError()) {
          problem << "round " << round << ": " << st.ToString() << "; ";
          continue;
        }
        const nlohmann::json claims = ClaimsOf(ret.accessToken);
        const std::string resource = scope.substr(0, scope.rfind('/'));
        if (!claims.is_object() || claims.value("appid", "") != ClientId(i) ||
            claims.value("aud", "") != resource) {
          problem << "round " << round
                  << ": a token of another caller: " << claims.dump() << "; ";
        }
      }
      problems[i] = problem.str();
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int i = 0; i <= kThreads; ++i) {
    EXPECT_EQ(problems[i], "") << "thread " << i;
  }
  EXPECT_EQ(idp->RequestCount(), static_cast<size_t>((kThreads + 1) * kRounds));

  // The certificate staged by three threads at once is whole, and private.
  const std::string staged = home.path() + "/certificates/Azure_shared.crt";
  EXPECT_EQ(tqtest::ReadFile(staged), certificateFile);
  struct stat st {};
  ASSERT_EQ(::stat(staged.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  size_t leftovers = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(home.path() + "/certificates")) {
    leftovers += entry.path().filename() != "Azure_shared.crt";
  }
  EXPECT_EQ(leftovers, 0u) << "temporary files left behind";

  // Log lines written at the same time do not run into each other.
  const std::string log = home.LogText();
  const std::regex line(
      R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d+\] L\d [A-Za-z]+: .*)");
  std::istringstream lines(log);
  std::string text;
  int failures = 0;
  while (std::getline(lines, text)) {
    EXPECT_TRUE(std::regex_match(text, line)) << text;
    failures += text.find("failed with ErrorCode [401]") != std::string::npos;
    EXPECT_EQ(text.find("SECRET-SENTINEL"), std::string::npos);
  }
  EXPECT_EQ(failures, kRounds);
}

// A fleet: 100 providers, each made, initialised and asked for one token,
// on 4 threads at once. Every provider gets its token, and the providers
// share the process's connections: no more than the threads that ran at
// once.
TEST_F(ProviderThreadsTest, ProvidersShareTheProcessConnections) {
  constexpr int kFleetThreads = 4;
  constexpr int kPerThread = 25;
  const AzureCredential credential = CredentialFor(0);
  const size_t connectionsBefore = idp->ConnectionCount();
  const size_t requestsBefore = idp->RequestCount();
  tqtest::StartLine start(kFleetThreads);
  std::vector<std::string> problems(kFleetThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kFleetThreads; ++t) {
    threads.emplace_back([&, t] {
      start.ArriveAndWait();
      for (int i = 0; i < kPerThread; ++i) {
        TQCloudAuthAzureLib lib;
        CKoError st = lib.Init(tqtest::MakeAzureArgs(credential));
        TQCloudAuth::GetAuthTokenArgs args;
        args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
        args.azureArgs->scope = kScopes[0];
        TQCloudAuth::GetAuthTokenRet ret;
        if (!st.IsError()) {
          st = lib.getAuthToken(&args, &ret);
        }
        if (st.IsError()) {
          problems[t] += st.ToString() + "; ";
        }
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  for (int t = 0; t < kFleetThreads; ++t) {
    EXPECT_EQ(problems[t], "") << "thread " << t;
  }
  EXPECT_EQ(idp->RequestCount() - requestsBefore,
            static_cast<size_t>(kFleetThreads * kPerThread));
  EXPECT_LE(idp->ConnectionCount() - connectionsBefore,
            static_cast<size_t>(kFleetThreads));

  // One after another they use one connection.
  const size_t sequentialBefore = idp->ConnectionCount();
  for (int i = 0; i < 10; ++i) {
    TQCloudAuthAzureLib lib;
    ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(credential)).IsError());
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = kScopes[1];
    TQCloudAuth::GetAuthTokenRet ret;
    ASSERT_FALSE(lib.getAuthToken(&args, &ret).IsError());
  }
  EXPECT_EQ(idp->ConnectionCount(), sequentialBefore)
      << "a kept-alive connection of the threads above serves them all";
}

// Providers of one process that share tokens through the home: threads
// making new providers at once send one request among them.
TEST_F(ProviderThreadsTest, ProvidersShareTokensThroughTheHome) {
  home.WriteConfig("[Http]\nCAFile=" + pki->caFile() +
                   "\nTimeoutSeconds=60\n[TokenCache]\nShared=home\n");
  idp->SetExpiresIn(3599);
  const AzureCredential credential = CredentialFor(0);
  constexpr int kSharers = 4;
  constexpr int kPerThread = 10;
  const size_t requestsBefore = idp->RequestCount();
  tqtest::StartLine start(kSharers);
  std::vector<std::string> problems(kSharers);
  std::vector<uint64_t> shared(kSharers);
  std::vector<std::thread> threads;
  for (int t = 0; t < kSharers; ++t) {
    threads.emplace_back([&, t] {
      start.ArriveAndWait();
      for (int i = 0; i < kPerThread; ++i) {
        TQCloudAuthAzureLib lib;
        CKoError st = lib.Init(tqtest::MakeAzureArgs(credential));
        TQCloudAuth::GetAuthTokenArgs args;
        args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
        args.azureArgs->scope = "https://graph.microsoft.com/.default";
        TQCloudAuth::GetAuthTokenRet ret;
        if (!st.IsError()) {
          st = lib.getAuthToken(&args, &ret);
        }
        if (st.IsError()) {
          problems[t] += st.ToString() + "; ";
        }
        shared[t] += lib.getCounters().sharedHits;
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  uint64_t hits = 0;
  for (int t = 0; t < kSharers; ++t) {
    EXPECT_EQ(problems[t], "") << "thread " << t;
    hits += shared[t];
  }
  EXPECT_EQ(idp->RequestCount() - requestsBefore, 1u);
  EXPECT_EQ(hits, static_cast<uint64_t>(kSharers * kPerThread - 1));
}

// The first secret.key is made by whichever of several threads gets there
// first; every thread ends up encrypting under that one key.
TEST(PasswordThreads, OneKeyWhenManyThreadsMakeItAtOnce) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    tqtest::ScopedTqHome home;
    constexpr int kWriters = 8;
    tqtest::StartLine start(kWriters);
    std::vector<std::string> stored(kWriters);
    std::vector<int> ok(kWriters, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kWriters; ++i) {
      threads.emplace_back([&, i] {
        start.ArriveAndWait();
        ok[i] = TQPassword().encrypt("plain-" + std::to_string(i), stored[i]);
      });
    }
    for (std::thread& t : threads) {
      t.join();
    }
    for (int i = 0; i < kWriters; ++i) {
      ASSERT_TRUE(ok[i]) << i;
      char plain[64] = {};
      unsigned long length = sizeof plain - 1;
      ASSERT_TRUE(TQPassword().decrypt(stored[i].c_str(), plain, &length))
          << "thread " << i << " used a key that lost the race";
      EXPECT_EQ(std::string(plain), "plain-" + std::to_string(i));
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home.path())) {
      files += entry.path().filename() != "tqcloudauth.ini";
    }
    EXPECT_EQ(files, 1u) << "only secret.key, no temporary file";
  }
}

}  // namespace
