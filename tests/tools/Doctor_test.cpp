// tqcloudauth doctor against real homes, the local token endpoint and a real
// proxy; and the hints the token command adds to its common failures.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/CliRunner.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"
#include "tools/idp/IdpServer.h"

namespace {

using tqtest::CliResult;
using tqtest::RunCli;

const char kSecret[] = "SECRET-SENTINEL-7f3a";
const char kCertPassword[] = "CERT-PASSWORD-SENTINEL-7f3a";
const char kProxyPassword[] = "PROXY-PASSWORD-SENTINEL-7f3a";
const char kScope[] = "https://vault.azure.net/.default";

const tqtest::ClientCertificate& AppCertificate() {
  static const tqtest::ClientCertificate cert =
      tqtest::MakeClientCertificate("doctor application", kCertPassword);
  return cert;
}

class DoctorTest : public ::testing::Test {
 public:
  void SetUp() override {
    idp = tqtest::StartTestEndpoint(kSecret, AppCertificate().certificatePem);
    ASSERT_TRUE(idp);
    certFile = files.path() + "/app.pem";
    tqtest::WriteFile(
        certFile, AppCertificate().certificatePem + AppCertificate().keyPem);
    // A CA that issued nothing the endpoint shows.
    otherCaFile = files.path() + "/other-ca.pem";
    tqtest::WriteFile(otherCaFile, AppCertificate().certificatePem);
  }

  std::string TrustingConfig() const {
    return "[Http]\nCAFile=" + tqtest::SharedPki().caFile() + "\n";
  }

  std::string ProxyConfig(int port) const {
    return TrustingConfig() +
           "[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
           "SENDLOGS_HTTP_PROXY_SITE=127.0.0.1\nSENDLOGS_HTTP_PROXY_PORT=" +
           std::to_string(port) +
           "\nHUBMASTER_USE_PROXY_AUTHENTICATION=1\n"
           "SENDLOGS_HTTP_PROXY_USER=doctor\nSENDLOGS_HTTP_PROXY_PASSWORD=" +
           kProxyPassword + "\n";
  }

  void AddSecret(int assocId, const std::string& secret) {
    const CliResult r =
        RunCli({"credential", "add", "--assoc-id", std::to_string(assocId),
                "--tenant", "tenant-1", "--client-id", "client-1",
                "--secret-stdin", "--login-endpoint", idp->LoginEndpoint()},
               secret + "\n");
    ASSERT_EQ(r.status, 0) << r.err;
  }

  void AddCertificate(int assocId) {
    const CliResult r = RunCli(
        {"credential", "add", "--assoc-id", std::to_string(assocId), "--tenant",
         "tenant-1", "--client-id", "client-2", "--certificate", certFile,
         "--certificate-name", "app", "--certificate-password-stdin",
         "--login-endpoint", idp->LoginEndpoint()},
        kCertPassword);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  static void Chmod(const std::string& path, mode_t mode) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
  }

  static void ExpectNoSecret(const CliResult& r) {
    for (const char* sentinel : {kSecret, kCertPassword, kProxyPassword}) {
      EXPECT_EQ(r.out.find(sentinel), std::string::npos) << r.out;
      EXPECT_EQ(r.err.find(sentinel), std::string::npos) << r.err;
    }
    // A JWT (the token, an assertion) starts with a Base64 "{".
    EXPECT_EQ(r.out.find("eyJ"), std::string::npos) << r.out;
  }

  tqtest::TempDir files;
  std::string certFile;
  std::string otherCaFile;
  std::unique_ptr<tqidp::IdpServer> idp;
};

// Each case runs in a home of its own; the lines are what the output must
// hold, in any order, and doctor must leave the home exactly as it was.
TEST_F(DoctorTest, ReportsEachPartAndItsExitStatus) {
  struct Case {
    const char* name;
    std::function<void(DoctorTest&, const tqtest::ScopedTqHome&)> setUp;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
  };
  const std::string sub = "/fresh";  // a home not made yet
  const std::vector<Case> cases = {
      {"fresh home",
       [&sub](DoctorTest&, const tqtest::ScopedTqHome& h) {
         ::setenv("TQ_HOME", (h.path() + sub).c_str(), 1);
       },
       {},
       0,
       {"warn home: ", "does not exist yet",
        "ok   config: ", "ok   ca: the system store"}},
      {"fresh home, a credential asked for",
       [&sub](DoctorTest&, const tqtest::ScopedTqHome& h) {
         ::setenv("TQ_HOME", (h.path() + sub).c_str(), 1);
       },
       {"--assoc-id", "3"},
       1,
       {"FAIL credential: no credential 3 (entity 0) is stored"}},
      {"healthy secret credential",
       [](DoctorTest& t, const tqtest::ScopedTqHome&) {
         t.AddSecret(7, kSecret);
       },
       {"--assoc-id", "7", "--scope", kScope},
       0,
       {"ok   home: ", "(owner uid", "mode 0700)",
        "ok   config: ", "read: [Http] CAFile", "ok   proxy: off",
        "ok   ca: [Http] CAFile", ": 1 certificate\n",
        "ok   secret.key: ", "32 bytes", "ok   store: ", ": 1 credential\n",
        "ok   shared: off: each process keeps its own tokens\n",
        "ok   credential: 7 (entity 0): "
        "secret, tenant tenant-1, client client-1",
        "ok   secret: decrypts", "ok   endpoint: ", "resolves",
        "ok   tls: 127.0.0.1:",
        "ok   token: Bearer for " + std::string(kScope)}},
      {"healthy certificate credential, staged by a token request",
       [](DoctorTest& t, const tqtest::ScopedTqHome&) {
         t.AddCertificate(8);
         ASSERT_EQ(
             RunCli({"token", "--assoc-id", "8", "--scope", kScope}).status, 0);
       },
       {"--assoc-id", "8", "--scope", kScope},
       0,
       {"ok   certificate: CN=doctor application, thumbprint " +
            AppCertificate().thumbprintHex + " (SHA-1), ",
        " (SHA-256): matches the record, its key belongs to it",
        "ok   assertion: RS256 (RSASSA-PKCS1-v1_5) with the SHA-1 thumbprint "
        "(x5t), the default",
        "ok   staged: ", "ok   tls: ", "ok   token: Bearer"}},
      {"certificate credential signing PS256",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         h.WriteConfig(t.TrustingConfig() +
                       "[Azure]\nAssertionAlgorithm=PS256\n");
         t.AddCertificate(8);
         ASSERT_EQ(
             RunCli({"token", "--assoc-id", "8", "--scope", kScope}).status, 0);
       },
       {"--assoc-id", "8", "--scope", kScope},
       0,
       {"ok   assertion: PS256 (RSASSA-PSS) with the SHA-256 thumbprint "
        "(x5t#S256), [Azure] AssertionAlgorithm\n",
        "ok   token: Bearer"}},
      {"tokens shared by the home",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         h.WriteConfig(t.TrustingConfig() + "[TokenCache]\nShared=home\n");
       },
       {},
       0,
       {"ok   shared: by the processes of this home, in ",
        "/tokens.db (made on first use)"}},
      {"token sharing that is neither",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         h.WriteConfig(t.TrustingConfig() + "[TokenCache]\nShared=maybe\n");
       },
       {},
       1,
       {"FAIL shared: [TokenCache] Shared in tqcloudauth.ini is not off, home "
        "or database: every token request fails until it is"}},
      {"assertion algorithm that is neither",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         h.WriteConfig(t.TrustingConfig() +
                       "[Azure]\nAssertionAlgorithm=ES256\n");
         t.AddCertificate(8);
       },
       {"--assoc-id", "8"},
       1,
       {"FAIL assertion: [Azure] AssertionAlgorithm [ES256] in ",
        "is not RS256 or PS256: token requests fail until it is"}},
      {"certificate not staged yet: no token requested, nothing written",
       [](DoctorTest& t, const tqtest::ScopedTqHome&) { t.AddCertificate(8); },
       {"--assoc-id", "8", "--scope", kScope},
       0,
       {"ok   certificate: ", "warn staged: ", "warn token: not requested"}},
      {"home others may read: reported, not tightened",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         Chmod(h.path(), 0755);
       },
       {"--assoc-id", "7"},
       0,
       {"warn home: ", "mode 0755", "run chmod 700",
        "warn credential: 7 (entity 0) not checked"}},
      {"home others may write",
       [](DoctorTest&, const tqtest::ScopedTqHome& h) {
         Chmod(h.path(), 0777);
       },
       {"--assoc-id", "7"},
       1,
       {"FAIL home: unsafe folder", "group or others may write",
        "warn credential: not checked until the home is fixed"}},
      {"key others may read",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         Chmod(h.path() + "/secret.key", 0644);
       },
       {},
       1,
       {"FAIL secret.key: unsafe file", "run chmod 600"}},
      {"configuration others may write",
       [](DoctorTest&, const tqtest::ScopedTqHome& h) {
         Chmod(h.path() + "/tqcloudauth.ini", 0666);
       },
       {},
       1,
       {"FAIL config: unsafe file", "chmod go-w"}},
      {"configuration that does not parse",
       [](DoctorTest&, const tqtest::ScopedTqHome& h) {
         h.WriteConfig("[Http\nCAFile=x\n");
       },
       {},
       1,
       {"FAIL config: ", "at line 1: ", "none of its settings are used"}},
      {"key replaced: the secret does not decrypt",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         Chmod(h.path() + "/secret.key", 0600);
         tqtest::WriteFile(h.path() + "/secret.key", std::string(32, 'k'));
       },
       {"--assoc-id", "7"},
       1,
       {"ok   secret.key: ", "FAIL secret: does not decrypt"}},
      {"wrong client secret",
       [](DoctorTest& t, const tqtest::ScopedTqHome&) {
         t.AddSecret(7, "not-the-registered-secret");
       },
       {"--assoc-id", "7", "--scope", kScope},
       1,
       {"ok   secret: decrypts", "FAIL token: ", "invalid_client",
        "is not the one registered"}},
      {"unknown CA",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         h.WriteConfig("[Http]\nCAFile=" + t.otherCaFile + "\n");
       },
       {"--assoc-id", "7", "--scope", kScope},
       1,
       {"ok   ca: [Http] CAFile", "FAIL tls: ", "set [Http] CAFile in",
        "FAIL token: "}},
      {"log that is a FIFO",
       [](DoctorTest&, const tqtest::ScopedTqHome& h) {
         ::mkdir((h.path() + "/logs").c_str(), 0700);
         ::mkfifo((h.path() + "/logs/tqcloudauth.log").c_str(), 0600);
       },
       {},
       1,
       {"FAIL logs: unsafe file ", "a FIFO, not a regular file",
        "cannot write its log there"}},
      {"store of a newer schema",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         sqlite3* db = nullptr;
         sqlite3_open((h.path() + "/credentials.db").c_str(), &db);
         sqlite3_exec(db, "PRAGMA user_version = 5", nullptr, nullptr, nullptr);
         sqlite3_close(db);
       },
       {"--assoc-id", "7"},
       1,
       {"FAIL store: credential store ", "schema version 5 is newer",
        "FAIL credential: credential store ", "cannot be read as it is"}},
      {"empty CA file",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         tqtest::WriteFile(t.certFile + ".empty", "");
         h.WriteConfig("[Http]\nCAFile=" + t.certFile + ".empty\n");
       },
       {},
       1,
       {"FAIL ca: ", ".empty is empty: no certificate in it"}},
      {"CA file that holds no certificate",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         h.WriteConfig("[Http]\nCAFile=" + t.certFile + ".missing\n");
       },
       {},
       1,
       {"FAIL ca: ", "set [Http] CAFile in"}},
      {"proxy down",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         h.WriteConfig(t.ProxyConfig(tqtest::TinyproxyProcess::FreePort()));
       },
       {"--assoc-id", "7", "--use-proxy-settings"},
       1,
       {"ok   proxy: on: 127.0.0.1:", ", user doctor",
        "is resolved by the proxy",
        "FAIL tls: ", "through the proxy 127.0.0.1:", "check that it runs"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tqtest::ScopedTqHome home;
    home.WriteConfig(TrustingConfig());
    Chmod(home.path() + "/tqcloudauth.ini", 0600);
    c.setUp(*this, home);
    const auto before = tqtest::SnapshotTree(home.path());
    const std::string log = home.path() + "/logs/tqcloudauth.log";
    const bool logged = ::access(log.c_str(), F_OK) == 0;
    std::vector<std::string> args = {"doctor"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliResult r = RunCli(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    for (const std::string& line : c.lines) {
      EXPECT_NE(r.out.find(line), std::string::npos)
          << "missing \"" << line << "\" in:\n"
          << r.out;
    }
    ExpectNoSecret(r);
    EXPECT_EQ(tqtest::SnapshotTree(home.path()), before);
    EXPECT_EQ(::access(log.c_str(), F_OK) == 0, logged);
  }
}

TEST_F(DoctorTest, ProxyUpCarriesTheHandshake) {
  tqtest::ScopedTqHome home;
  tqtest::TinyproxyProcess proxy(files.path(), "doctor", kProxyPassword);
  home.WriteConfig(ProxyConfig(proxy.port()));
  AddSecret(7, kSecret);
  const CliResult r = RunCli(
      {"doctor", "--assoc-id", "7", "--use-proxy-settings", "--scope", kScope});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("ok   tls: 127.0.0.1:"), std::string::npos) << r.out;
  EXPECT_NE(
      r.out.find("through the proxy 127.0.0.1:" + std::to_string(proxy.port())),
      std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("ok   token: Bearer"), std::string::npos) << r.out;
  EXPECT_GE(proxy.RequestCount(), 2);
  ExpectNoSecret(r);
}

// The token command's failure message stays as it is; one hint line follows
// it, naming the cause and ending with the doctor command to run.
TEST_F(DoctorTest, TokenFailuresCarryAHint) {
  struct Case {
    const char* name;
    std::function<void(DoctorTest&, const tqtest::ScopedTqHome&)> setUp;
    std::vector<std::string> args;
    std::string message;
    std::string hint;
  };
  int downPort = 0;
  const std::vector<Case> cases = {
      {"no such credential",
       [](DoctorTest& t, const tqtest::ScopedTqHome&) {
         t.AddSecret(7, kSecret);
       },
       {"--assoc-id", "99", "--entity", "2"},
       "Failed to get credential info from Hubmaster",
       "no credential 99 (entity 2) is stored under the home folder "},
      {"wrong client secret",
       [](DoctorTest& t, const tqtest::ScopedTqHome&) {
         t.AddSecret(7, "not-the-registered-secret");
       },
       {"--assoc-id", "7"},
       "invalid_client",
       "is not the one registered for the application"},
      {"unknown CA",
       [](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         h.WriteConfig("[Http]\nCAFile=" + t.otherCaFile + "\n");
       },
       {"--assoc-id", "7"},
       "Request failed with ErrorCode [60]",
       "set [Http] CAFile in "},
      {"proxy down",
       [&downPort](DoctorTest& t, const tqtest::ScopedTqHome& h) {
         t.AddSecret(7, kSecret);
         downPort = tqtest::TinyproxyProcess::FreePort();
         h.WriteConfig(t.ProxyConfig(downPort));
       },
       {"--assoc-id", "7", "--use-proxy-settings"},
       "Request failed with ErrorCode [7]",
       "the request went through the proxy 127.0.0.1:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    tqtest::ScopedTqHome home;
    home.WriteConfig(TrustingConfig());
    c.setUp(*this, home);
    std::vector<std::string> args = {"token", "--scope", kScope};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const CliResult r = RunCli(args);
    EXPECT_EQ(r.status, 1) << r.err;
    const size_t message = r.err.find(c.message);
    const size_t hint = r.err.find("\ntqcloudauth: hint: ");
    ASSERT_NE(message, std::string::npos) << r.err;
    ASSERT_NE(hint, std::string::npos) << r.err;
    EXPECT_LT(message, hint);
    EXPECT_NE(r.err.find(c.hint, hint), std::string::npos) << r.err;
    const std::string doctor =
        std::string("run `tqcloudauth doctor --assoc-id ") + c.args[1] +
        (c.args.size() > 2 && c.args[2] == "--entity" ? " --entity 2" : "") +
        "`\n";
    EXPECT_EQ(
        r.err.compare(r.err.size() - doctor.size(), doctor.size(), doctor), 0)
        << r.err;
    ExpectNoSecret(r);
  }
  EXPECT_NE(downPort, 0);
}

}  // namespace
