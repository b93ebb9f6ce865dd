// A process that forks while it uses providers: the child gets tokens on
// connections of its own, and the parent's requests, made on another thread
// the whole time, never meet the child's use of what they share.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "auth/azure/TQCloudAuthAzureLib.h"
#include "platform/TQPassword.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

const char kSecret[] = "fork-secret";

// A provider that tells how many connections its client opened.
class CountingLib : public TQCloudAuthAzureLib {
 public:
  long Connections() const { return curl->GetConnectionCount(); }
};

std::unique_ptr<CountingLib> Provider(const std::string& login) {
  tqtest::AzureCredential c;
  c.loginEndpoint = login;
  EXPECT_TRUE(TQPassword().encrypt(kSecret, c.storedPassword));
  auto lib = std::make_unique<CountingLib>();
  const CKoError st = lib->Init(tqtest::MakeAzureArgs(c));
  EXPECT_FALSE(st.IsError()) << st.ToString();
  return lib;
}

bool Token(TQCloudAuthLib& lib, const std::string& scope) {
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = scope;
  TQCloudAuth::GetAuthTokenRet ret;
  return !lib.getAuthToken(&args, &ret).IsError();
}

TEST(Fork, ParentAndChildEachUseTheirOwnConnections) {
  if (tqtest::kUnderAddressSanitizer) {
    GTEST_SKIP() << "a fork while other threads allocate can deadlock in "
                    "ASan's allocator; the plain build runs it";
  }
  tqtest::ScopedTqHome home;
  home.WriteConfig("[Http]\nCAFile=" + tqtest::SharedPki().caFile() +
                   "\nTimeoutSeconds=10\n");
  auto idp = tqtest::StartTestEndpoint(
      kSecret, tqtest::ReadFile(tqtest::SharedPki().server().certFile));
  ASSERT_TRUE(idp);
  idp->SetExpiresIn(100);  // every call a request: connections are used
  auto busy = Provider(idp->LoginEndpoint());
  auto idle = Provider(idp->LoginEndpoint());
  // Two requests at once: the pool keeps two handles with their
  // connections, one of them idle whenever the busy thread uses the other.
  {
    tqtest::StartLine start(2);
    std::thread other([&] {
      start.ArriveAndWait();
      EXPECT_TRUE(Token(*busy, "https://busy.example/.default"));
    });
    start.ArriveAndWait();
    EXPECT_TRUE(Token(*idle, "https://a.example/.default"));
    other.join();
  }

  // The parent's requests on another thread, all through the rounds.
  std::atomic<bool> stop{false};
  std::atomic<int> parentRequests{0};
  std::atomic<int> parentFailures{0};
  std::thread parent([&] {
    while (!stop) {
      (Token(*busy, "https://busy.example/.default") ? parentRequests
                                                     : parentFailures)++;
    }
  });

  constexpr int kRounds = 20;
  int childFailures = 0;
  for (int round = 0; round < kRounds; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The idle provider, inherited, and one made here: both get tokens,
      // on a connection of the child's own (the pooled one of the parent
      // left alone). The busy one was in use by a thread the child does not
      // have.
      const long before = idle->Connections();
      const bool inherited = Token(*idle, "https://child.example/.default");
      const bool ownConnection = idle->Connections() == before + 1;
      auto own = Provider(idp->LoginEndpoint());
      const bool made = Token(*own, "https://child.example/.default");
      ::_exit(inherited && ownConnection && made ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    childFailures += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    EXPECT_TRUE(Token(*idle, "https://a.example/.default")) << round;
  }
  stop = true;
  parent.join();
  EXPECT_EQ(childFailures, 0);
  EXPECT_EQ(parentFailures.load(), 0);
  EXPECT_GT(parentRequests.load(), 0);
}

}  // namespace
