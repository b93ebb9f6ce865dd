// The tqcloudauth command end to end: credentials stored through it, tokens
// obtained with them from the local token endpoint over HTTPS.
#include "tools/cli/TQCloudAuthCli.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "platform/TQPassword.h"
#include "tests/support/CliRunner.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestHelpers.h"
#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"

namespace {

using tqtest::RunCli;
using Result = tqtest::CliResult;

using tqtest::ScopedTqHome;

const char kSecret[] = "SECRET-SENTINEL-cli&+";
const char kCertPassword[] = "CERT-PASSWORD-SENTINEL";

// The application's certificate in the files the tests add, made once: key
// generation is the slow part.
struct CertificateFiles {
  tqtest::TempDir dir;
  std::string certificatePem;
  std::string certFile = dir.path() + "/app.pem";  // key under kCertPassword
  std::string plainKeyFile = dir.path() + "/plain-key.pem";
  std::string certOnlyFile = dir.path() + "/cert-only.pem";

  CertificateFiles() {
    PkeyPtr key = tqtest::GenerateRsaKey(2048);
    tqtest::CertificateFields certFields;
    certFields.commonName = "cli application";
    X509Ptr cert =
        tqtest::IssueCertificate(certFields, key.get(), nullptr, nullptr);
    certificatePem = tqtest::CertToPem(cert.get());
    tqtest::WriteFile(
        certFile, certificatePem + tqtest::KeyToPem(key.get(), kCertPassword));
    tqtest::WriteFile(plainKeyFile,
                      certificatePem + tqtest::KeyToPem(key.get()));
    tqtest::WriteFile(certOnlyFile, certificatePem);
  }
};

const CertificateFiles& Files() {
  static const CertificateFiles files;
  return files;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    home.WriteConfig("[Http]\nCAFile=" + pki->caFile() + "\n");
    idp = tqtest::StartTestEndpoint(kSecret, *certificatePem);
    ASSERT_TRUE(idp);
  }

  Result AddSecret(int assocId, const std::string& secret) {
    return RunCli({"credential", "add", "--assoc-id", std::to_string(assocId),
                   "--tenant", "tenant-1", "--client-id", "client-1",
                   "--secret-stdin", "--login-endpoint", idp->LoginEndpoint()},
                  secret + "\n");
  }

  Result AddCertificate(int assocId, const std::string& file,
                        const std::string& password) {
    return RunCli(
        {"credential", "add", "--assoc-id", std::to_string(assocId), "--tenant",
         "tenant-1", "--client-id", "client-2", "--certificate", file,
         "--certificate-name", "app" + std::to_string(assocId),
         "--certificate-password-stdin", "--login-endpoint",
         idp->LoginEndpoint()},
        password);
  }

  static Result Token(int assocId, bool raw = false) {
    std::vector<std::string> args = {"token", "--assoc-id",
                                     std::to_string(assocId), "--scope",
                                     "https://vault.azure.net/.default"};
    if (raw) {
      args.push_back("--raw");
    }
    return RunCli(args);
  }

  const tqtest::TempDir* const dir = &Files().dir;
  tqtest::TestPki* const pki = &tqtest::SharedPki();
  const std::string* const certificatePem = &Files().certificatePem;
  const std::string* const certFile = &Files().certFile;
  const std::string* const certOnlyFile = &Files().certOnlyFile;
  const std::string* const plainKeyFile = &Files().plainKeyFile;
  ScopedTqHome home;
  std::unique_ptr<tqidp::IdpServer> idp;
};

TEST_F(CliTest, SecretCredentialToToken) {
  const Result add = AddSecret(7, kSecret);
  ASSERT_EQ(add.status, 0) << add.err;
  struct stat st {};
  ASSERT_EQ(::stat((home.path() + "/certificates").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const Result token = Token(7);
  ASSERT_EQ(token.status, 0) << token.err;
  const nlohmann::json reply = nlohmann::json::parse(token.out);
  EXPECT_FALSE(reply.at("access_token").get<std::string>().empty());
  EXPECT_EQ(reply.at("token_type"), "Bearer");
  EXPECT_GT(reply.at("expires_on").get<long long>(), 1700000000);
  EXPECT_EQ(token.out.rfind("{\"access_token\":", 0), 0u) << token.out;

  const Result raw = Token(7, true);
  ASSERT_EQ(raw.status, 0) << raw.err;
  EXPECT_EQ(std::count(raw.out.begin(), raw.out.end(), '.'), 2) << raw.out;
  EXPECT_EQ(raw.out.back(), '\n');
}

TEST_F(CliTest, CertificateCredentialToToken) {
  const Result add = AddCertificate(8, *certFile, kCertPassword);
  ASSERT_EQ(add.status, 0) << add.err;
  const Result token = Token(8);
  ASSERT_EQ(token.status, 0) << token.err;
  EXPECT_TRUE(::access((home.path() + "/certificates/Azure_app8.crt").c_str(),
                       F_OK) == 0);

  // Listed as JSON with both thumbprints; a secret has neither.
  ASSERT_EQ(AddSecret(7, kSecret).status, 0);
  const Result list = RunCli({"credential", "list", "--json"});
  ASSERT_EQ(list.status, 0) << list.err;
  const nlohmann::json listed = nlohmann::json::parse(list.out);
  ASSERT_EQ(listed.size(), 2u) << list.out;
  const std::string& pem = Files().certificatePem;
  const CertificateFile parsed =
      CertificateFile::Parse(pem.data(), pem.size(), "");
  const nlohmann::json& secret = listed[0];
  const nlohmann::json& certificate = listed[1];
  EXPECT_EQ(secret["auth"], "secret");
  EXPECT_TRUE(secret["thumbprint_sha1"].is_null());
  EXPECT_TRUE(secret["thumbprint_sha256"].is_null());
  EXPECT_EQ(certificate["assoc_id"], 8);
  EXPECT_EQ(certificate["auth"], "certificate");
  EXPECT_EQ(certificate["certificate_name"], "app8");
  EXPECT_EQ(certificate["thumbprint_sha1"],
            ThumbprintHex(parsed.certificate.get(), EVP_sha1()));
  EXPECT_EQ(certificate["thumbprint_sha256"],
            ThumbprintHex(parsed.certificate.get(), EVP_sha256()));
  EXPECT_EQ(list.out.find(kCertPassword), std::string::npos);
}

// Both kinds of credential create a home whose parents are missing, every
// folder on the way private.
TEST_F(CliTest, AddCreatesTheHomeWithItsMissingParents) {
  const struct {
    const char* root;
    std::vector<std::string> options;
    std::string input;
  } cases[] = {
      {"/secret", {"--secret-stdin"}, std::string(kSecret) + "\n"},
      {"/certificate",
       {"--certificate", *plainKeyFile, "--certificate-name", "app"},
       ""},
  };
  for (const auto& c : cases) {
    const std::string root = home.path() + c.root;
    ::setenv("TQ_HOME", (root + "/a/b/home").c_str(), 1);
    std::vector<std::string> args = {"credential",  "add",      "--assoc-id",
                                     "7",           "--tenant", "tenant-1",
                                     "--client-id", "client-1"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Result add = RunCli(args, c.input);
    ASSERT_EQ(add.status, 0) << c.root << ": " << add.err;
    for (const char* folder :
         {"/a", "/a/b", "/a/b/home", "/a/b/home/certificates"}) {
      struct stat st {};
      ASSERT_EQ(::stat((root + folder).c_str(), &st), 0) << c.root << folder;
      EXPECT_EQ(st.st_mode & 0777, 0700u) << c.root << folder;
    }
    const Result list = RunCli({"credential", "list"});
    EXPECT_NE(list.out.find("\n7\t0\t4\t"), std::string::npos) << list.out;
  }
}

TEST_F(CliTest, FailuresExitOneWithTheReason) {
  ASSERT_EQ(AddSecret(7, "SECRET-SENTINEL-wrong").status, 0);
  const Result wrong = Token(7);
  EXPECT_EQ(wrong.status, 1);
  EXPECT_EQ(wrong.out, "");
  EXPECT_NE(wrong.err.find("AADSTS7000215"), std::string::npos) << wrong.err;
  EXPECT_EQ(wrong.err.find("SECRET-SENTINEL"), std::string::npos);

  const Result unknown = Token(99);
  EXPECT_EQ(unknown.status, 1);
  // The library's message as it is; the hint line after it is doctor's.
  EXPECT_EQ(unknown.err.rfind(
                "tqcloudauth: Failed to get credential info from Hubmaster\n"
                "tqcloudauth: hint: ",
                0),
            0u)
      << unknown.err;

  const Result verbose =
      RunCli({"--verbose", "token", "--assoc-id", "99", "--scope",
              "https://vault.azure.net/.default"});
  EXPECT_EQ(verbose.status, 1);
  EXPECT_NE(verbose.err.find("auth/TQCloudAuthLib.cpp:"), std::string::npos)
      << verbose.err;
  EXPECT_NE(verbose.err.find("reason not_stored"), std::string::npos)
      << verbose.err;

  // What a later try may mend exits 75 (EX_TEMPFAIL): a script retries.
  ASSERT_EQ(AddSecret(8, kSecret).status, 0);
  tqidp::IdpFault failing;
  failing.status = 503;
  failing.body = "down for maintenance";
  idp->SetFault(failing);
  EXPECT_EQ(Token(8).status, 75);
  failing.status = 429;
  failing.headers.emplace("Retry-After", "30");
  idp->SetFault(failing);
  const Result throttled = Token(8);
  EXPECT_EQ(throttled.status, 75);
  EXPECT_NE(throttled.err.find("hint: the login endpoint asks to wait 30 s"),
            std::string::npos)
      << throttled.err;
  idp->ClearFault();
}

TEST_F(CliTest, CertificatesThatCannotSignAreRefusedAtAdd) {
  const struct {
    std::string file;
    std::string password;
    const char* reason;
  } cases[] = {
      {*certFile, "wrong", "no private key that opens"},
      {*certOnlyFile, "", "no private key that opens"},
      {dir->path() + "/missing.pem", "", "cannot open"},
      {pki->caFile(), "", "no private key that opens"},
  };
  for (const auto& c : cases) {
    const Result r = AddCertificate(8, c.file, c.password);
    EXPECT_EQ(r.status, 1) << c.file;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
  }
  EXPECT_EQ(Token(8).status, 1) << "nothing was stored";
}

// Two credentials whose certificates are staged under one name, used in
// every order: each signs with its own key. Removing one keeps the file
// the other uses; removing the last removes it.
TEST_F(CliTest, CredentialsSharingACertificateName) {
  PkeyPtr key = tqtest::GenerateRsaKey(2048);
  tqtest::CertificateFields fields;
  fields.commonName = "other application";
  const std::string otherPem = tqtest::CertToPem(
      tqtest::IssueCertificate(fields, key.get(), nullptr, nullptr).get());
  const std::string otherFile = dir->path() + "/other.pem";
  tqtest::WriteFile(otherFile,
                    otherPem + tqtest::KeyToPem(key.get(), kCertPassword));
  idp->AddApplication({"tenant-1", "client-3", "", otherPem});
  auto add = [this](int assocId, const char* clientId,
                    const std::string& file) {
    return RunCli(
        {"credential", "add", "--assoc-id", std::to_string(assocId), "--tenant",
         "tenant-1", "--client-id", clientId, "--certificate", file,
         "--certificate-name", "shared", "--certificate-password-stdin",
         "--login-endpoint", idp->LoginEndpoint()},
        kCertPassword);
  };
  ASSERT_EQ(add(7, "client-2", *certFile).status, 0);
  ASSERT_EQ(add(8, "client-3", otherFile).status, 0);
  for (int assocId : {7, 8, 8, 7, 8, 7}) {
    const Result r = Token(assocId);
    EXPECT_EQ(r.status, 0) << assocId << ": " << r.err;
  }
  const std::string staged = home.path() + "/certificates/Azure_shared.crt";
  ASSERT_EQ(RunCli({"credential", "remove", "--assoc-id", "7"}).status, 0);
  EXPECT_EQ(::access(staged.c_str(), F_OK), 0) << "credential 8 uses it";
  EXPECT_EQ(Token(8).status, 0);
  ASSERT_EQ(RunCli({"credential", "remove", "--assoc-id", "8"}).status, 0);
  EXPECT_NE(::access(staged.c_str(), F_OK), 0);
}

// A key that is not the certificate's is refused when stored, not at the
// endpoint; a secret longer than a token request can use likewise.
TEST_F(CliTest, WhatIsStoredCanBeUsed) {
  PkeyPtr otherKey = tqtest::GenerateRsaKey(2048);
  const std::string mismatched = dir->path() + "/mismatched.pem";
  tqtest::WriteFile(
      mismatched,
      *certificatePem + tqtest::KeyToPem(otherKey.get(), kCertPassword));
  ASSERT_EQ(AddSecret(7, kSecret).status, 0);
  const auto before = tqtest::SnapshotTree(home.path());
  const Result foreign = AddCertificate(8, mismatched, kCertPassword);
  EXPECT_EQ(foreign.status, 1);
  EXPECT_EQ(foreign.err, "tqcloudauth: " + mismatched +
                             ": the private key does not belong to the "
                             "certificate\n");
  const Result tooLong = AddSecret(9, std::string(2048, 's'));
  EXPECT_EQ(tooLong.status, 2);
  EXPECT_EQ(tooLong.err,
            "tqcloudauth: the client secret is longer than 2047 bytes, the "
            "most a token request can use\n");
  EXPECT_TRUE(tqtest::SnapshotTree(home.path()) == before);

  const std::string longest(2047, 's');
  idp->AddApplication({"tenant-1", "client-4", longest, ""});
  ASSERT_EQ(RunCli({"credential", "add", "--assoc-id", "9", "--tenant",
                    "tenant-1", "--client-id", "client-4", "--secret-stdin",
                    "--login-endpoint", idp->LoginEndpoint()},
                   longest)
                .status,
            0);
  const Result token = Token(9);
  EXPECT_EQ(token.status, 0) << token.err;
}

TEST_F(CliTest, ListRemoveAndEncrypt) {
  ASSERT_EQ(AddSecret(7, kSecret).status, 0);
  ASSERT_EQ(AddCertificate(8, *certFile, kCertPassword).status, 0);
  const Result list = RunCli({"credential", "list"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("7\t0\t4\tsecret\ttenant-1\tclient-1\t"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("8\t0\t4\tcertificate\ttenant-1\tclient-2\t"),
            std::string::npos);
  EXPECT_EQ(list.out.find("SENTINEL"), std::string::npos);
  EXPECT_EQ(list.out.find("ENC1:"), std::string::npos);

  EXPECT_EQ(AddSecret(7, kSecret).status, 1) << "no silent overwrite";
  ASSERT_EQ(RunCli({"credential", "remove", "--assoc-id", "7"}).status, 0);
  EXPECT_EQ(RunCli({"credential", "remove", "--assoc-id", "7"}).status, 1);
  ASSERT_EQ(RunCli({"credential", "remove", "--assoc-id", "8"}).status, 0);
  EXPECT_NE(
      ::access((home.path() + "/certificates/Azure_app8.crt").c_str(), F_OK),
      0);

  const Result encrypted = RunCli({"secret", "encrypt"}, "s3cret\n");
  ASSERT_EQ(encrypted.status, 0);
  EXPECT_EQ(encrypted.out.rfind("ENC1:", 0), 0u);
  char plain[64] = {};
  unsigned long length = sizeof plain - 1;
  const std::string stored = encrypted.out.substr(0, encrypted.out.size() - 1);
  ASSERT_TRUE(TQPassword().decrypt(stored.c_str(), plain, &length));
  EXPECT_STREQ(plain, "s3cret");
}

TEST_F(CliTest, UsageErrorsExitTwo) {
  const std::string tooBig(64 * 1024 + 1, 's');
  const struct {
    std::vector<std::string> args;
    std::string input;
  } cases[] = {
      {{}, ""},
      {{"frobnicate"}, ""},
      {{"token", "--scope", "s"}, ""},
      {{"token", "--assoc-id", "x", "--scope", "s"}, ""},
      {{"token", "--assoc-id", "7", "--scope", ""}, ""},
      {{"credential"}, ""},
      {{"credential", "add", "--assoc-id", "7", "--client-id", "c",
        "--secret-stdin"},
       "s"},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c"},
       "s"},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c", "--secret-stdin", "--certificate", "f", "--certificate-name", "n"},
       "s"},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c", "--certificate", "f", "--certificate-name", "../x"},
       ""},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t\x01",
        "--client-id", "c", "--secret-stdin"},
       "s"},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c", "--secret-stdin"},
       ""},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c", "--secret-stdin"},
       std::string("a\0b", 3)},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c", "--secret-stdin"},
       tooBig},
      {{"credential", "add", "--assoc-id", "7", "--tenant", "t", "--client-id",
        "c", "--secret-stdin", "--login-endpoint", "ftp://x/"},
       "s"},
      {{"secret", "encrypt"}, "\n"},
  };
  for (const auto& c : cases) {
    const Result r = RunCli(c.args, c.input);
    std::string line;
    for (const std::string& a : c.args) {
      line += a + " ";
    }
    EXPECT_EQ(r.status, 2) << line << "\n" << r.err;
    EXPECT_EQ(r.out, "") << line;
  }
  EXPECT_NE(::access((home.path() + "/credentials.db").c_str(), F_OK), 0)
      << "no usage error stored anything";
  EXPECT_EQ(RunCli({"--help"}).status, 0);
}

// The installed program itself, through a shell, as a user runs it.
TEST_F(CliTest, TheProgramRuns) {
  const std::string program = TQ_CLI_PROGRAM;
  const std::string out = home.path() + "/out.txt";
  const std::string command =
      "printf '%s' '" + std::string(kSecret) + "' | " + program +
      " credential add --assoc-id 5 --tenant tenant-1 --client-id client-1 "
      "--secret-stdin --login-endpoint " +
      idp->LoginEndpoint() + " > /dev/null && " + program +
      " token --assoc-id 5 --scope https://vault.azure.net/.default --raw > " +
      out;
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_GT(tqtest::ReadFile(out).size(), 20u);
  EXPECT_EQ(std::system((program + " nonsense 2>/dev/null").c_str()) >> 8, 2);
}

}  // namespace
