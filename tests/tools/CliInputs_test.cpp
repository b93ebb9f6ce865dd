// What the tqcloudauth command takes in and writes out: credentials that a
// provider would refuse are refused when stored, text from records and
// replies never reaches the terminal as control characters, and the
// program cannot be dumped.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/CredentialMgrHelper.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tests/support/CliRunner.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

using tqtest::RunCli;

const char kSecret[] = "SECRET-SENTINEL-in&+";

class CliInputsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + pki.caFile() + "\n");
    tqidp::IdpOptions options;
    options.certFile = pki.server().certFile;
    options.keyFile = pki.server().keyFile;
    idp = std::make_unique<tqidp::IdpServer>(options);
    idp->AddApplication({"tenant-1", "client-1", kSecret, ""});
    std::string error;
    ASSERT_TRUE(idp->Start(error)) << error;
  }

  static std::vector<std::string> Add(const std::string& tenant,
                                      const std::string& clientId,
                                      const std::string& login) {
    return {"credential",
            "add",
            "--assoc-id",
            "7",
            "--tenant",
            tenant,
            "--client-id",
            clientId,
            "--secret-stdin",
            "--login-endpoint",
            login};
  }

  tqtest::TempDir dir;
  tqtest::TestPki pki{dir.path()};
  tqtest::ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
};

// Refused at `credential add` with the words Init would use, exit 1, and
// nothing stored; plain HTTP to this machine is stored.
TEST_F(CliInputsTest, AddRefusesWhatInitWould) {
  const std::string login = idp->LoginEndpoint();
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {Add("tenant-1", "client-1", "http://login.example/"),
       "Login endpoint [http://login.example/] is plain HTTP to another host: "
       "that would expose the credential; use https://"},
      {Add("tenant-1", "client-1", "http://10.1.2.3:8080/"),
       "Login endpoint [http://10.1.2.3:8080/] is plain HTTP to another "
       "host: that would expose the credential; use https://"},
      {Add("t1/oauth2/v2.0/token?", "client-1", login),
       "Invalid tenant [t1/oauth2/v2.0/token?]"},
      {Add("t\xc3\xa9nant", "client-1", login),
       "Invalid tenant [t\xc3\xa9nant]"},
      {Add("tenant-1", "c\"lient", login), "Invalid client id [c\"lient]"},
  };
  for (const auto& c : cases) {
    const tqtest::CliResult r = RunCli(c.args, kSecret);
    EXPECT_EQ(r.status, 1) << c.message;
    EXPECT_EQ(r.err, "tqcloudauth: " + c.message + "\n");
    EXPECT_EQ(r.out, "");
  }
  EXPECT_NE(::access((home.path() + "/credentials.db").c_str(), F_OK), 0)
      << "nothing was stored";
  const tqtest::CliResult loopback =
      RunCli(Add("tenant-1", "client-1", "http://127.0.0.1:1/"), kSecret);
  EXPECT_EQ(loopback.status, 0) << loopback.err;
}

// A stored record with control characters is listed escaped, one line per
// credential, columns intact.
TEST_F(CliInputsTest, ListingEscapesStoredText) {
  namespace R = AzureCredentialRecord;
  App::AzureCredentialInfo record;
  R::SetAuthType(record, R::AuthType::kClientSecret);
  R::SetTenantId(record, "t\x1b[2J\tx");
  R::SetApplicationId(record, "c\r\xc2\x9b");
  R::SetLoginEndpoint(record, "https://e/\n");
  StoredCredential c;
  c.assocId = 3;
  c.credentialType = R::kCredentialType;
  c.additionalInfo = R::ToAdditionalInfo(record);
  ASSERT_TRUE(CredentialMgrHelper().addCredential(c, false));
  const tqtest::CliResult r = RunCli({"credential", "list"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string row = r.out.substr(r.out.find('\n') + 1);
  EXPECT_EQ(
      row,
      "3\t0\t4\tsecret\tt\\x1b[2J\\tx\tc\\r\\xc2\\x9b\thttps://e/\\n\t-\n");
}

// A token carrying control characters: refused by --raw (exit 1, nothing
// written), escaped in the JSON form.
TEST_F(CliInputsTest, TokenWithControlCharacters) {
  ASSERT_EQ(
      RunCli(Add("tenant-1", "client-1", idp->LoginEndpoint()), kSecret).status,
      0);
  tqidp::IdpFault fault;
  fault.status = 200;
  fault.body =
      R"({"access_token":"tok\u001b]0;owned\u0007en\u009b","token_type":)"
      R"("Bearer","expires_in":3599})";
  idp->SetFault(fault);
  const std::vector<std::string> token = {"token", "--assoc-id", "7", "--scope",
                                          "s/.default"};
  std::vector<std::string> raw = token;
  raw.push_back("--raw");
  const tqtest::CliResult refused = RunCli(raw);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_NE(refused.err.find("control characters"), std::string::npos);
  const tqtest::CliResult json = RunCli(token);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_NE(json.out.find(R"("tok\u001b]0;owned\u0007en\u009b")"),
            std::string::npos)
      << json.out;
  for (unsigned char ch : json.out) {
    EXPECT_TRUE((ch >= 0x20 && ch < 0x7F) || ch == '\n') << int(ch);
  }
}

// The program makes itself non-dumpable: run as another user than root, it
// waits for its secret on standard input while /proc shows its files owned
// by root, as the kernel does for a process that may not be dumped. /bin/cat
// run the same way shows the user's own.
TEST_F(CliInputsTest, TheProgramIsNotDumpable) {
#ifndef TQ_CLI_PROGRAM
  GTEST_SKIP() << "the program is not built";
#else
  const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
  auto procOwner = [user](const std::vector<std::string>& argv) {
    // Made before the fork: the child of a threaded process only execs.
    std::vector<char*> args;
    for (const std::string& a : argv) {
      args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    char homeVariable[] = "TQ_HOME=/nonexistent/tqcloudauth-home";
    char* env[] = {homeVariable, nullptr};
    int in[2];
    if (::pipe(in) != 0) {
      return static_cast<uid_t>(-1);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], 0);
      ::close(in[1]);
      const gid_t gid = static_cast<gid_t>(user);
      if (::geteuid() == 0 &&
          (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
           ::setresuid(user, user, user) != 0)) {
        _exit(99);
      }
      ::execve(args[0], args.data(), env);
      _exit(98);
    }
    ::close(in[0]);
    // Sleeping (waiting for standard input) means past its start.
    const std::string proc = "/proc/" + std::to_string(pid);
    uid_t owner = static_cast<uid_t>(-1);
    for (int i = 0; i < 500; ++i) {
      const std::string stat = tqtest::ReadFile(proc + "/stat");
      const size_t comm = stat.rfind(')');
      if (comm != std::string::npos && stat.compare(comm, 4, ") S ") == 0) {
        struct stat st {};
        if (::stat((proc + "/status").c_str(), &st) == 0) {
          owner = st.st_uid;
        }
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::close(in[1]);
    ::waitpid(pid, nullptr, 0);
    return owner;
  };
  EXPECT_EQ(procOwner({"/bin/cat"}), user) << "the check itself";
  EXPECT_EQ(procOwner({TQ_CLI_PROGRAM, "secret", "encrypt"}), 0u);
#endif
}

}  // namespace
