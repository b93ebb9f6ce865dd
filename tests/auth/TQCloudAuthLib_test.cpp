#include "auth/TQCloudAuthLib.h"

#include <gtest/gtest.h>

#include <memory>

#include "tests/auth/TestAuthLib.h"
#include "tests/support/TempHome.h"

namespace {

using tqtest::TestAuthLib;

TEST(TQCloudAuthLib, InitKeepsTheFirstArguments) {
  TestAuthLib lib;
  EXPECT_FALSE(lib.TQCloudAuthLibInit({"user1", "secret1"}).IsError());
  EXPECT_TRUE(lib.initialized);
  EXPECT_FALSE(lib.curl) << "the client comes with initCurlObject";
  ASSERT_TRUE(lib.params);
  EXPECT_FALSE(lib.TQCloudAuthLibInit({"user2", "secret2"}).IsError());
  EXPECT_EQ(lib.params->getPassword(), "secret1");
  EXPECT_EQ(lib.params->getUserName(), "user1");
}

TEST(TQCloudAuthLib, TransportWithoutClient) {
  TestAuthLib lib;
  const CKoError early = lib.setProxyServer("proxy:3128");
  EXPECT_TRUE(early.IsError());
  EXPECT_EQ(early.GetWin32Code(), 6u);
  EXPECT_EQ(early.GetMessage(), "Curl Library is not initialized.");

  ASSERT_FALSE(lib.TQCloudAuthLibInit({}).IsError());
  EXPECT_FALSE(lib.setProxyServer("proxy:3128").IsError())
      << "no client yet: nothing to change";

  const CKoError headers = lib.setHttpHeaders({"A: b"});
  EXPECT_EQ(headers.GetWin32Code(), 774u);
  EXPECT_EQ(headers.GetMessage(), "Curl lib is not initialized");

  std::string response = "unchanged";
  const CKoError send = lib.sendHttpRequest(
      HTTP_REQ_POST, "https://127.0.0.1:9/", {}, "b", response);
  EXPECT_EQ(send.GetWin32Code(), 774u);
  EXPECT_EQ(send.GetMessage(), "Curl lib is not initialized");
  EXPECT_EQ(response, "unchanged");
}

TEST(TQCloudAuthLib, InitCurlObjectCreatesAndReplacesTheClient) {
  tqtest::ScopedTqHome home;
  TestAuthLib lib;
  ASSERT_FALSE(lib.initCurlObject().IsError());
  ASSERT_TRUE(lib.curl);
  EXPECT_FALSE(lib.curl->IsTraceOn());
  const TQLibCurl* first = lib.curl.get();
  home.WriteConfig("[EventManager]\nbEnableCurlTrace=1\n");
  ASSERT_FALSE(lib.initCurlObject().IsError());
  EXPECT_NE(lib.curl.get(), first);
  EXPECT_TRUE(lib.curl->IsTraceOn());
}

TEST(TQCloudAuthLib, DeletedThroughTheBaseClass) {
  std::unique_ptr<TQCloudAuthLib> lib = std::make_unique<TestAuthLib>();
  EXPECT_TRUE(lib->getAuthToken(nullptr, nullptr).IsError());
}

}  // namespace
