// Tokens shared by processes of one home (SQLite) and by homes on one
// PostgreSQL database, with credentials in the database: real processes
// (tq_token_client), a real PostgreSQL server and the local endpoint.
#include "auth/internal/SharedTokens.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureLib.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/IdpProcess.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

const char kSecret[] = "SECRET-SENTINEL-shared+/=";
// How every token the endpoint issues begins ({"typ":"JWT","alg":"RS256",
// in Base64URL); long enough never to turn up by chance in sealed, encoded
// values.
const char kTokenStart[] = "eyJ0eXAiOiJKV1QiLCJhbGciOiJSUzI1NiIs";
const std::vector<std::string> kScopes = {
    "https://vault.azure.net/.default", "https://storage.azure.com/.default",
    "https://graph.microsoft.com/.default"};

// Three scopes of their own for tag (each test asks tokens no other has).
std::vector<std::string> Scopes(const std::string& tag) {
  return {"https://" + tag + "-1.example.net/.default",
          "https://" + tag + "-2.example.net/.default",
          "https://" + tag + "-3.example.net/.default"};
}

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A home of the tests' own (not the process's TQ_HOME until Use()).
class Home {
 public:
  const std::string& path() const { return m_dir.path(); }
  void Use() const { ::setenv("TQ_HOME", path().c_str(), 1); }
  void WriteConfig(const std::string& ini) const {
    tqtest::WriteFile(path() + "/tqcloudauth.ini", ini, 0600);
  }
  std::string Bytes(const std::string& name) const {
    return tqtest::ReadFile(path() + "/" + name);
  }

 private:
  tqtest::TempDir m_dir;
};

struct Client {
  tqtest::Child child;
  std::string out;
  int status = -1;
};

class SharedTokensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("TQ_HOME");
    m_previousHome = previous != nullptr ? previous : "";
    idp = tqtest::StartTestEndpoint(kSecret, "");
    ASSERT_TRUE(idp);
  }
  void TearDown() override { ::setenv("TQ_HOME", m_previousHome.c_str(), 1); }

  std::string Config(const std::string& extra) const {
    return "[Http]\nCAFile=" + tqtest::SharedPki().caFile() + "\n" + extra;
  }

  // Stores credential assocId (client-1 with secret) where home's
  // configuration says; home's key encrypts it (made when missing).
  void AddSecret(const Home& home, int assocId, const std::string& secret,
                 bool replace = false) const {
    home.Use();
    tqtest::AzureCredential c;
    c.loginEndpoint = idp->LoginEndpoint();
    ASSERT_TRUE(TQPassword().encrypt(secret, c.storedPassword));
    StoredCredential row;
    row.assocId = assocId;
    row.credentialType = AzureCredentialRecord::kCredentialType;
    row.password = c.storedPassword;
    row.additionalInfo = tqtest::AdditionalInfoFor(tqtest::MakeAzureArgs(c));
    CredentialMgrHelper store;
    ASSERT_TRUE(store.addCredential(row, replace)) << store.lastError();
  }

  // Starts a tq_token_client in home asking scopes.
  static Client Start(const Home& home, int assocId,
                      const std::vector<std::string>& scopes) {
    home.Use();
    std::vector<std::string> args = {std::getenv("TQ_TOKEN_CLIENT"),
                                     std::to_string(assocId)};
    args.insert(args.end(), scopes.begin(), scopes.end());
    Client c;
    c.child = tqtest::Spawn(args);
    return c;
  }

  static void Finish(Client& c) {
    c.out = tqtest::ReadAll(c.child.out, 120000);
    ::close(c.child.out);
    c.status = tqtest::WaitExit(c.child.pid);
  }

  // Runs the clients started together; every one must get every token.
  static std::vector<Client> RunAll(std::vector<Client> clients) {
    for (Client& c : clients) {
      Finish(c);
      EXPECT_EQ(c.status, 0) << c.out;
    }
    return clients;
  }

  static size_t Count(const std::vector<Client>& clients,
                      const std::string& what) {
    size_t n = 0;
    for (const Client& c : clients) {
      for (size_t at = c.out.find(what); at != std::string::npos;
           at = c.out.find(what, at + 1)) {
        ++n;
      }
    }
    return n;
  }

  std::unique_ptr<tqidp::IdpServer> idp;

 private:
  std::string m_previousHome;
};

// 8 processes of one home, started together, each asking the same 3
// scopes: one request per scope when shared, one per process and scope
// when not; a 9th process then asks nothing.
TEST_F(SharedTokensTest, ProcessesOfOneHomeMakeOneRequestPerScope) {
  struct Case {
    const char* shared;
    size_t mostRequests;
  };
  for (const Case& c : {Case{"off", 24}, Case{"home", 3}}) {
    SCOPED_TRACE(c.shared);
    Home home;
    home.WriteConfig(
        Config(std::string("[TokenCache]\nShared=") + c.shared + "\n"));
    AddSecret(home, 1, kSecret);
    const size_t before = idp->RequestCount();
    std::vector<Client> clients;
    for (int i = 0; i < 8; ++i) {
      clients.push_back(Start(home, 1, kScopes));
    }
    clients = RunAll(std::move(clients));
    const size_t requests = idp->RequestCount() - before;
    EXPECT_LE(requests, c.mostRequests);
    if (c.mostRequests == 24) {
      EXPECT_EQ(requests, 24u);
      EXPECT_EQ(::access((home.path() + "/tokens.db").c_str(), F_OK), -1);
      continue;
    }
    EXPECT_EQ(Count(clients, " ok shared"), 24 - requests);
    Client ninth = Start(home, 1, kScopes);
    Finish(ninth);
    EXPECT_EQ(Count({ninth}, " ok shared"), 3u) << ninth.out;
    EXPECT_EQ(idp->RequestCount() - before, requests);
    // At rest: private, and neither the secret nor a token in clear.
    struct stat st {};
    ASSERT_EQ(::stat((home.path() + "/tokens.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const char* file : {"tokens.db", "tokens.db-wal"}) {
      const std::string bytes = home.Bytes(file);
      EXPECT_EQ(bytes.find(kTokenStart), std::string::npos) << file;
      EXPECT_EQ(bytes.find(kSecret), std::string::npos) << file;
    }
  }
}

// The process holding a token's lease dies mid-request: another gets the
// token once the lease runs out, a few seconds later.
TEST_F(SharedTokensTest, ADeadLeaseHolderDelaysOthersBriefly) {
  Home home;
  home.WriteConfig(Config("[TokenCache]\nShared=home\n"));
  AddSecret(home, 1, kSecret);
  tqidp::IdpFault slow;
  slow.delayMs = 20000;
  idp->SetFault(slow);
  const size_t before = idp->RequestCount();
  Client holder = Start(home, 1, {kScopes[0]});
  for (int i = 0; i < 500 && idp->RequestCount() == before; ++i) {
    ::usleep(10000);
  }
  ASSERT_EQ(idp->RequestCount(), before + 1);
  ::kill(holder.child.pid, SIGKILL);
  Finish(holder);
  idp->ClearFault();
  const Clock::time_point start = Clock::now();
  Client next = Start(home, 1, {kScopes[0]});
  Finish(next);
  EXPECT_EQ(next.status, 0) << next.out;
  EXPECT_LT(SecondsSince(start), 7.0);
}

// A store that cannot be used costs a token nothing: a warning, and the
// process asks alone.
TEST_F(SharedTokensTest, AnUnusableStoreFallsBackWithAWarning) {
  tqtest::ScopedTqHome home;
  home.WriteConfig(Config("[TokenCache]\nShared=home\n"));
  tqtest::AzureCredential c;
  c.loginEndpoint = idp->LoginEndpoint();
  ASSERT_TRUE(TQPassword().encrypt(kSecret, c.storedPassword));
  // A token store that others may read is refused, never used.
  tqtest::WriteFile(home.path() + "/tokens.db", "", 0644);
  TQCloudAuthAzureLib lib;
  ASSERT_FALSE(lib.Init(tqtest::MakeAzureArgs(c)).IsError());
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = kScopes[0];
  TQCloudAuth::GetAuthTokenRet ret;
  const Clock::time_point start = Clock::now();
  EXPECT_FALSE(lib.getAuthToken(&args, &ret).IsError());
  EXPECT_LT(SecondsSince(start), 2.0);
  // What the at-rest checks look for is how tokens really begin.
  EXPECT_EQ(ret.accessToken.rfind(kTokenStart, 0), 0u) << ret.accessToken;
  EXPECT_EQ(lib.getCounters().sharedFallbacks, 1u);
  const std::string log = home.LogText();
  EXPECT_NE(log.find("shared token store " + home.path() + "/tokens.db"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("reason home_refused"), std::string::npos) << log;
}

// --- one PostgreSQL database for several homes -------------------------------

class DatabaseTest : public SharedTokensTest {
 protected:
  static void SetUpTestSuite() {
    pg = std::make_unique<tqtest::PostgresServer>(
        tqtest::SharedPki().caFile(), tqtest::SharedPki().server().certFile,
        tqtest::SharedPki().server().keyFile);
  }
  static void TearDownTestSuite() { pg.reset(); }

  // Three homes on the database, one key file for all.
  void SetUp() override {
    SharedTokensTest::SetUp();
    for (const Home& h : homes) {
      h.WriteConfig(Config("[TokenCache]\nShared=database\n[Database]\nUrl=" +
                           pg->Url() + "\n"));
    }
    homes[0].Use();
    std::string ignored;
    ASSERT_TRUE(TQPassword().encrypt("make the key", ignored));
    for (int i = 1; i < 3; ++i) {
      tqtest::WriteFile(homes[i].path() + "/secret.key",
                        homes[0].Bytes("secret.key"), 0600);
    }
  }

  static inline std::unique_ptr<tqtest::PostgresServer> pg;
  Home homes[3];
};

TEST_F(DatabaseTest, HomesShareCredentialsAndTokens) {
  AddSecret(homes[0], 7, kSecret, true);
  // 3 homes x 3 processes x 3 scopes, started together.
  const std::vector<std::string> scopes = Scopes("homes");
  const size_t before = idp->RequestCount();
  std::vector<Client> clients;
  for (const Home& h : homes) {
    for (int i = 0; i < 3; ++i) {
      clients.push_back(Start(h, 7, scopes));
    }
  }
  clients = RunAll(std::move(clients));
  EXPECT_LE(idp->RequestCount() - before, 3u);
  EXPECT_GE(Count(clients, " ok shared"), 24u);

  // The database holds no secret and no token in clear.
  const std::string dump = pg->Dump();
  EXPECT_NE(dump.find("tq_tokens"), std::string::npos);
  EXPECT_EQ(dump.find(kSecret), std::string::npos);
  EXPECT_EQ(dump.find(kTokenStart), std::string::npos);
}

// A credential replaced in one home reaches a provider living in another
// at its next request.
TEST_F(DatabaseTest, ARotatedCredentialReachesAnotherHome) {
  AddSecret(homes[0], 8, kSecret, true);
  homes[1].Use();
  TQCloudAuthLib* raw = nullptr;
  ASSERT_FALSE(
      TQCloudAuthLib::getTQCloudAuthLibInstance(8, 0, false, raw).IsError());
  std::unique_ptr<TQCloudAuthLib> lib(raw);
  const auto token = [&lib](const std::string& scope) {
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = scope;
    TQCloudAuth::GetAuthTokenRet ret;
    return lib->getAuthToken(&args, &ret);
  };
  ASSERT_FALSE(token(Scopes("rotated")[0]).IsError());
  const std::string rotated = std::string(kSecret) + "-rotated";
  idp->ReplaceApplication({"tenant-1", "client-1", rotated, ""});
  AddSecret(homes[0], 8, rotated, true);
  homes[1].Use();
  const CKoError st = token(Scopes("rotated")[1]);
  EXPECT_FALSE(st.IsError()) << st.ToString();
  idp->ReplaceApplication({"tenant-1", "client-1", kSecret, ""});
}

// The database stops mid-run: cached tokens are served, a new scope is
// asked for alone within its timeout and about a second; when the
// database is back the tokens are shared again.
TEST_F(DatabaseTest, TokensKeepComingWhileTheDatabaseIsDown) {
  AddSecret(homes[0], 9, kSecret, true);
  homes[2].Use();
  TQCloudAuthLib* raw = nullptr;
  ASSERT_FALSE(
      TQCloudAuthLib::getTQCloudAuthLibInstance(9, 0, false, raw).IsError());
  std::unique_ptr<TQCloudAuthLib> lib(raw);
  auto* azure = dynamic_cast<TQCloudAuthAzureLib*>(lib.get());
  const auto token = [&lib](const std::string& scope) {
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = scope;
    TQCloudAuth::GetAuthTokenRet ret;
    return lib->getAuthToken(&args, &ret);
  };
  ASSERT_FALSE(token(Scopes("down")[0]).IsError());
  pg->Stop();
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(token(Scopes("down")[0]).IsError());  // its own cache
  EXPECT_LT(SecondsSince(start), 0.1);
  start = Clock::now();
  const CKoError st = token(Scopes("down")[1]);
  EXPECT_FALSE(st.IsError()) << st.ToString();
  EXPECT_LT(SecondsSince(start), 2.5);
  EXPECT_EQ(azure->getCounters().sharedFallbacks, 1u);
  pg->Start();
  // The level is tried again once its pause is over.
  std::this_thread::sleep_for(
      std::chrono::milliseconds(SharedTokens::kDownMs + 200));
  Client other = Start(homes[1], 9, {Scopes("down")[2]});
  Finish(other);
  EXPECT_EQ(other.status, 0) << other.out;
  ASSERT_FALSE(token(Scopes("down")[2]).IsError());
  EXPECT_EQ(azure->getCounters().sharedHits, 1u);
}

}  // namespace
