#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/TQGlobalParam.h"
#include "platform/TQPI_Base.h"
#include "platform/TQPlatformInfo.h"
#include "tests/support/TempHome.h"

namespace {

using tqtest::ScopedTqHome;

TEST(TQPI_Base, HomeDirectoryRule) {
  ScopedTqHome home;
  const char* userHome = std::getenv("HOME");
  const std::string savedHome = userHome != nullptr ? userHome : "";
  EXPECT_EQ(std::string(TQPI_Base().getHomeDirectory()), home.path());
  ::setenv("TQ_HOME", (home.path() + "//").c_str(), 1);
  EXPECT_EQ(std::string(TQPI_Base().getHomeDirectory()), home.path());
  ::setenv("TQ_HOME", "", 1);
  ::setenv("HOME", "/home/someone", 1);
  EXPECT_STREQ(TQPI_Base().getHomeDirectory(), "/home/someone/.tqcloudauth");
  ::unsetenv("TQ_HOME");
  EXPECT_STREQ(TQPI_Base().getHomeDirectory(), "/home/someone/.tqcloudauth");
  ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(TQGlobalParam, MissingFileMeansNotFound) {
  ScopedTqHome home;
  TQGlobalParam config;
  int number = 7;
  std::string text = "kept";
  EXPECT_NE(config.get(SENDLOGS_USE_HTTP_PROXY, number, nullptr), 0);
  EXPECT_NE(config.get(SENDLOGS_HTTP_PROXY_SITE, text, nullptr), 0);
  EXPECT_EQ(number, 7);
  EXPECT_EQ(text, "kept");
}

TEST(TQGlobalParam, ReadsKeysOfGlobalParamSection) {
  ScopedTqHome home;
  home.WriteConfig(
      "[GlobalParam]\n"
      "SENDLOGS_USE_HTTP_PROXY=1\n"
      "SENDLOGS_HTTP_PROXY_SITE = proxy.example\n"
      "SENDLOGS_HTTP_PROXY_PORT=3128\n"
      "HUBMASTER_USE_PROXY_AUTHENTICATION=abc\n"
      "SENDLOGS_HTTP_PROXY_USER=\n"
      "[Other]\n"
      "SENDLOGS_HTTP_PROXY_PASSWORD=elsewhere\n");
  TQGlobalParam config;
  int number = 0;
  std::string text;
  EXPECT_EQ(config.get(SENDLOGS_USE_HTTP_PROXY, number, nullptr), 0);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(config.get(SENDLOGS_HTTP_PROXY_SITE, text, nullptr), 0);
  EXPECT_EQ(text, "proxy.example");
  EXPECT_EQ(config.get(SENDLOGS_HTTP_PROXY_PORT, text, nullptr), 0);
  EXPECT_EQ(text, "3128");
  number = 9;
  EXPECT_NE(config.get(HUBMASTER_USE_PROXY_AUTHENTICATION, number, nullptr), 0)
      << "not a number";
  EXPECT_EQ(number, 9);
  EXPECT_EQ(config.get(SENDLOGS_HTTP_PROXY_USER, text, nullptr), 0);
  EXPECT_EQ(text, "");
  EXPECT_NE(config.get(SENDLOGS_HTTP_PROXY_PASSWORD, text, nullptr), 0);
}

TEST(TQGlobalParam, MalformedFileGivesNoSettings) {
  ScopedTqHome home;
  home.WriteConfig("[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\nnot a setting\n");
  TQGlobalParam config;
  int number = 0;
  EXPECT_NE(config.get(SENDLOGS_USE_HTTP_PROXY, number, nullptr), 0);
}

TEST(TQPlatformInfo, NumbersAndTheirThirtyTwoBitForm) {
  ScopedTqHome home;
  home.WriteConfig(
      "[EventManager]\nbEnableCurlTrace=1\n"
      "[Big]\nwide=4294967297\nnegative=-1\n");
  TQPlatformInfo info;
  unsigned long wide = 0;
  EXPECT_NE(info.getNumber("EventManager", "bEnableCurlTrace", &wide), 0);
  EXPECT_EQ(wide, 1ul);
  EXPECT_NE(info.getNumber("eventmanager", "BENABLECURLTRACE", &wide), 0)
      << "names are not case-sensitive";

  unsigned int narrow = 5;
  EXPECT_NE(info.getNumber("Big", "wide", &narrow), 0);
  EXPECT_EQ(narrow, 1u) << "low 32 bits of 2^32 + 1";
  narrow = 5;
  EXPECT_EQ(info.getNumber("Big", "negative", &narrow), 0);
  EXPECT_EQ(info.getNumber("Big", "absent", &narrow), 0);
  EXPECT_EQ(narrow, 5u) << "untouched when not found";
}

}  // namespace
