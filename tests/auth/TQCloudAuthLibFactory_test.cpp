// The instance factory: from a stored credential to a ready provider, and
// every way it can fail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureLib.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tests/auth/azure/AzureTestCredentials.h"
#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"
#include "tests/support/TinyproxyProcess.h"
#include "tools/idp/IdpServer.h"

namespace {

using tqtest::AdditionalInfoFor;

using tqtest::ScopedTqHome;

const char kSecret[] = "SECRET-SENTINEL-factory";

// The sentinel a caller leaves in lib to see whether the factory wrote it.
TQCloudAuthLib* const kUntouched = reinterpret_cast<TQCloudAuthLib*>(0x1);

class FactoryTest : public ::testing::Test {
 protected:
  void Store(int type, const std::string& additionalInfo,
             const std::string& password = "") {
    StoredCredential c;
    c.assocId = 7;
    c.credentialType = type;
    c.password = password;
    c.additionalInfo = additionalInfo;
    CredentialMgrHelper store;
    ASSERT_TRUE(store.addCredential(c, true)) << store.lastError();
  }

  CKoError Make(TQCloudAuthLib*& lib, bool useProxy = false) {
    lib = kUntouched;
    return TQCloudAuthLib::getTQCloudAuthLibInstance(7, 0, useProxy, lib);
  }

  ScopedTqHome home;
};

TEST_F(FactoryTest, FailuresBeforeAProviderExistsLeaveLibAlone) {
  TQCloudAuthLib* lib = nullptr;
  CKoError st = Make(lib);
  EXPECT_EQ(st.GetMessage(), "Failed to get credential info from Hubmaster");
  EXPECT_EQ(lib, kUntouched);

  // Undecodable information is reported before the type is looked at.
  const std::string garbage = "{not a record" + std::string(100, 'k');
  Store(3, garbage);
  st = Make(lib);
  EXPECT_EQ(st.GetMessage(), "Failed to unserialize credential info [" +
                                 garbage.substr(0, 64) + "...(113 bytes)]");
  EXPECT_EQ(lib, kUntouched);

  for (const std::string& info :
       {std::string(), App::AdditionalCredInfo().serialize()}) {
    Store(3, info);
    st = Make(lib);
    EXPECT_EQ(st.GetWin32Code(), 774u);
    EXPECT_EQ(st.GetMessage(),
              "CloudAuthLib for credential type [3] not implemented");
    EXPECT_EQ(lib, kUntouched);
  }
}

// Empty information decodes to an empty record, whose empty tenant Init
// refuses: the provider is the caller's, not initialised.
TEST_F(FactoryTest, EmptyInformationGivesAProviderThatRefusesIt) {
  Store(AzureCredentialRecord::kCredentialType, "");
  TQCloudAuthLib* lib = nullptr;
  const CKoError st = Make(lib);
  std::unique_ptr<TQCloudAuthLib> owned(lib);
  EXPECT_EQ(st.GetMessage(), "Invalid tenant []");
  ASSERT_NE(lib, kUntouched);
  ASSERT_NE(dynamic_cast<TQCloudAuthAzureLib*>(lib), nullptr);
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = "https://vault.azure.net/.default";
  TQCloudAuth::GetAuthTokenRet ret;
  EXPECT_EQ(lib->getAuthToken(&args, &ret).GetMessage(),
            "TQCloudAuthLib is not initialized");
}

TEST_F(FactoryTest, InitFailureLeavesTheProviderWithTheCaller) {
  tqtest::AzureCredential c;
  c.authType = tqtest::AuthType::kCertificate;
  c.certificateName = "broken";
  c.certificateBase64 = "!!! not base64";
  Store(AzureCredentialRecord::kCredentialType,
        AdditionalInfoFor(tqtest::MakeAzureArgs(c)));
  TQCloudAuthLib* lib = nullptr;
  const CKoError st = Make(lib);
  std::unique_ptr<TQCloudAuthLib> owned(lib);
  ASSERT_TRUE(st.IsError());
  EXPECT_EQ(st.GetMessage(), "Failed to decode certificate");
  ASSERT_NE(lib, kUntouched);
  const auto chain = st.GetLocations();
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_NE(std::string(chain[2].function).find("getTQCloudAuthLibInstance"),
            std::string::npos);
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  TQCloudAuth::GetAuthTokenRet ret;
  EXPECT_EQ(lib->getAuthToken(&args, &ret).GetMessage(),
            "TQCloudAuthLib is not initialized");
}

// From the store to a token, with and without the configured proxy.
TEST_F(FactoryTest, ProxyFlagReachesTheClient) {
  tqtest::TempDir dir;
  const tqtest::TestPki& pki = tqtest::SharedPki();
  tqidp::IdpOptions options;
  options.certFile = pki.server().certFile;
  options.keyFile = pki.server().keyFile;
  tqidp::IdpServer idp(options);
  idp.AddApplication({"tenant-1", "client-1", kSecret, ""});
  std::string error;
  ASSERT_TRUE(idp.Start(error)) << error;
  tqtest::TinyproxyProcess proxy(dir.path());
  home.WriteConfig("[Http]\nCAFile=" + pki.caFile() +
                   "\n[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n"
                   "SENDLOGS_HTTP_PROXY_SITE=127.0.0.1\n"
                   "SENDLOGS_HTTP_PROXY_PORT=" +
                   std::to_string(proxy.port()) + "\n");

  tqtest::AzureCredential c;
  c.loginEndpoint = idp.LoginEndpoint();
  std::string stored;
  ASSERT_TRUE(TQPassword().encrypt(kSecret, stored));
  Store(AzureCredentialRecord::kCredentialType,
        AdditionalInfoFor(tqtest::MakeAzureArgs(c)), stored);

  for (bool useProxy : {false, true}) {
    TQCloudAuthLib* lib = nullptr;
    const CKoError st = Make(lib, useProxy);
    std::unique_ptr<TQCloudAuthLib> owned(lib);
    ASSERT_FALSE(st.IsError()) << st.ToString();
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = "https://vault.azure.net/.default";
    TQCloudAuth::GetAuthTokenRet ret;
    const CKoError token = lib->getAuthToken(&args, &ret);
    ASSERT_FALSE(token.IsError()) << token.ToString();
    EXPECT_FALSE(ret.accessToken.empty());
    EXPECT_EQ(proxy.RequestCount(), useProxy ? 1 : 0);
  }
  EXPECT_EQ(idp.RequestCount(), 2u);
}

}  // namespace
