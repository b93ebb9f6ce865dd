#include "auth/azure/TQCloudAuthAzureArgs.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "internal/cache/TokenCache.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"
#include "util/Base64Codec.h"

namespace {

using TQCloudAuth::AzureParams;
using tqtest::AzureCredential;
using tqtest::MakeAzureArgs;
using tqtest::ScopedTqHome;

const char kThumbprintHex[] = "5c9a1e0b7dfd3a2c4e6b8d0f1a3c5e7092b4d6f8";

class AzureParamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir((home.path() + "/certificates").c_str(), 0700), 0);
  }
  std::string StagedPath(const std::string& name) const {
    return home.path() + "/certificates/Azure_" + name + ".crt";
  }
  static std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }
  AzureCredential CertificateCredential(const std::string& content) const {
    AzureCredential c;
    c.authType = tqtest::AuthType::kCertificate;
    c.certificateName = "app8";
    c.certificateBase64 =
        Base64Encode(reinterpret_cast<const unsigned char*>(content.data()),
                     static_cast<int>(content.size()));
    c.thumbprintHex = kThumbprintHex;
    return c;
  }

  ScopedTqHome home;
};

TEST_F(AzureParamsTest, SecretCredentialIsCopiedUntouched) {
  AzureCredential c;
  c.certificateName = "unused";
  c.certificateBase64 = "not base64 !";
  c.thumbprintHex = kThumbprintHex;
  AzureParams params;
  ASSERT_FALSE(params.initializeParams(MakeAzureArgs(c)).IsError());
  EXPECT_EQ(params.getAuthType(), tqtest::AuthType::kClientSecret);
  EXPECT_EQ(params.getApplicationId(), "client-1");
  EXPECT_EQ(params.getTenantId(), "tenant-1");
  EXPECT_EQ(params.getCertificateThumbprint(), kThumbprintHex);
  EXPECT_EQ(params.getCertificateFile(), "not base64 !");
  EXPECT_TRUE(FilesIn(home.path() + "/certificates").empty());
}

TEST_F(AzureParamsTest, LoginEndpoint) {
  AzureParams defaulted;
  ASSERT_FALSE(defaulted.initializeParams(MakeAzureArgs({})).IsError());
  EXPECT_EQ(defaulted.getLoginEndpoint(), "https://login.microsoftonline.com/");

  AzureCredential c;
  c.loginEndpoint = "https://127.0.0.1:8443";  // no trailing slash: kept
  AzureParams stored;
  ASSERT_FALSE(stored.initializeParams(MakeAzureArgs(c)).IsError());
  EXPECT_EQ(stored.getLoginEndpoint(), "https://127.0.0.1:8443");
}

TEST_F(AzureParamsTest, ThumbprintBecomesBase64) {
  AzureCredential c = CertificateCredential("cert");
  c.certificateName.clear();
  const struct {
    std::string hex;
    std::string expected;
  } cases[] = {
      {kThumbprintHex, "XJoeC339OixOa40PGjxecJK01vg="},
      {"5C9A1E0B7DFD3A2C4E6B8D0F1A3C5E7092B4D6F8",
       "XJoeC339OixOa40PGjxecJK01vg="},
      {"fbff", "+/8="},
      {"not hex", "not hex"},                              // kept as supplied
      {"abc", "abc"},                                      // odd length: kept
      {std::string("AB\0x", 4), std::string("AB\0x", 4)},  // NUL: not hex
  };
  for (const auto& t : cases) {
    c.thumbprintHex = t.hex;
    AzureParams params;
    ASSERT_FALSE(params.initializeParams(MakeAzureArgs(c)).IsError());
    EXPECT_EQ(params.getCertificateThumbprint(), t.expected) << t.hex;
    EXPECT_EQ(params.getCertificateFile(), c.certificateBase64)
        << "no name: the file field is used as supplied";
  }
}

TEST_F(AzureParamsTest, StagesTheCertificateOnceOwnerReadOnly) {
  const std::string content("-----BEGIN CERTIFICATE-----\n\0\xff", 31);
  AzureParams params;
  ASSERT_FALSE(
      params.initializeParams(MakeAzureArgs(CertificateCredential(content)))
          .IsError());
  const std::string path = StagedPath("app8");
  EXPECT_EQ(params.getCertificateFile(), path);
  EXPECT_EQ(tqtest::ReadFile(path), content);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0400u);
  EXPECT_EQ(FilesIn(home.path() + "/certificates"),
            std::vector<std::string>{"Azure_app8.crt"})
      << "no temporary file left behind";

  // A file that holds the certificate is kept as it is.
  struct stat kept {};
  AzureParams same;
  ASSERT_FALSE(
      same.initializeParams(MakeAzureArgs(CertificateCredential(content)))
          .IsError());
  ASSERT_EQ(::stat(path.c_str(), &kept), 0);
  EXPECT_EQ(kept.st_ino, st.st_ino);
  // Content that cannot be decoded fails, also with a file staged.
  AzureCredential other = CertificateCredential("other content");
  other.certificateBase64 = "!!! not base64";
  AzureParams again;
  EXPECT_EQ(again.initializeParams(MakeAzureArgs(other)).GetMessage(),
            "Failed to decode certificate");
  EXPECT_EQ(tqtest::ReadFile(path), content);
}

// Two credentials of one certificate name, used in every order: each finds
// its own certificate staged when it stages again (as before each
// signature), the file replaced whole, never kept with the other's.
TEST_F(AzureParamsTest, CredentialsSharingANameEachStageTheirOwn) {
  const std::string path = StagedPath("app8");
  AzureParams first;
  AzureParams second;
  ASSERT_FALSE(
      first.initializeParams(MakeAzureArgs(CertificateCredential("first")))
          .IsError());
  ASSERT_FALSE(
      second.initializeParams(MakeAzureArgs(CertificateCredential("second")))
          .IsError());
  EXPECT_EQ(tqtest::ReadFile(path), "second");
  for (AzureParams* p : {&first, &second, &second, &first, &first}) {
    ASSERT_FALSE(p->stageCertificate().IsError());
    EXPECT_EQ(p->getCertificateFile(), path);
    EXPECT_EQ(tqtest::ReadFile(path), p == &first ? "first" : "second");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u);
    EXPECT_EQ(FilesIn(home.path() + "/certificates"),
              std::vector<std::string>{"Azure_app8.crt"});
  }
}

TEST_F(AzureParamsTest, UndecodableCertificateCreatesNothing) {
  AzureCredential c = CertificateCredential("x");
  c.certificateBase64 = "!!! not base64";
  AzureParams params;
  const CKoError st = params.initializeParams(MakeAzureArgs(c));
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetWin32Code(), 774u);
  EXPECT_EQ(st.GetMessage(), "Failed to decode certificate");
  EXPECT_EQ(params.getCertificateFile(), "!!! not base64");
  EXPECT_EQ(params.getCertificateThumbprint(), "XJoeC339OixOa40PGjxecJK01vg=");
  EXPECT_TRUE(FilesIn(home.path() + "/certificates").empty());
}

TEST_F(AzureParamsTest, RefusesNamesAndContentThatCannotBeStaged) {
  AzureCredential escape = CertificateCredential("x");
  escape.certificateName = "../../escaped";
  // A NUL would cut the file name short: "Azure_app" without ".crt".
  AzureCredential nul = CertificateCredential("x");
  nul.certificateName = std::string("app\0.x", 6);
  AzureCredential empty = CertificateCredential("");
  const struct {
    AzureCredential credential;
    const char* message;
  } cases[] = {
      {escape, "Invalid certificate name [../../escaped]: 1 to 128"},
      {nul, "Invalid certificate name [app\\x00.x]: 1 to 128"},
      {empty, "Failed to decode certificate"},
  };
  for (const auto& c : cases) {
    AzureParams params;
    const CKoError st = params.initializeParams(MakeAzureArgs(c.credential));
    ASSERT_TRUE(st.IsError());
    EXPECT_EQ(st.GetMessage().rfind(c.message, 0), 0u) << st.GetMessage();
  }
  EXPECT_TRUE(FilesIn(home.path() + "/certificates").empty());
  EXPECT_FALSE(std::filesystem::exists(home.path() + "/escaped.crt"));
}

TEST_F(AzureParamsTest, MissingFolderFailsNamingTheFile) {
  std::filesystem::remove(home.path() + "/certificates");
  AzureParams params;
  const CKoError st =
      params.initializeParams(MakeAzureArgs(CertificateCredential("x")));
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetMessage(), "cannot open " + StagedPath("app8") +
                                 ": No such file or directory");
  ASSERT_GE(st.GetLocations().size(), 2u);
  EXPECT_STREQ(st.GetLocations().back().file,
               "auth/azure/TQCloudAuthAzureArgs.cpp");
}

// A file-size limit makes the write stop part way, as a full disk would.
TEST_F(AzureParamsTest, FailedWriteLeavesNoFileSoTheNextInitStagesAgain) {
  const std::string content(64 * 1024, 'c');
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGXFSZ, &ignore, &previous);
  rlimit small = saved;
  small.rlim_cur = 1000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  AzureParams params;
  const CKoError st =
      params.initializeParams(MakeAzureArgs(CertificateCredential(content)));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::sigaction(SIGXFSZ, &previous, nullptr);

  ASSERT_TRUE(st.IsError());
  EXPECT_TRUE(FilesIn(home.path() + "/certificates").empty())
      << "neither a partial file nor a temporary one";

  AzureParams retry;
  ASSERT_FALSE(
      retry.initializeParams(MakeAzureArgs(CertificateCredential(content)))
          .IsError());
  EXPECT_EQ(tqtest::ReadFile(StagedPath("app8")), content);
}

}  // namespace
