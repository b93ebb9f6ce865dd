#include <gtest/gtest.h>

#include <cstdlib>

#include "internal/text/IniFile.h"
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

// Lines of any length are read like any other, comments and values alike;
// the forms the reader accepts besides "name=value".
TEST(TQGlobalParam, LongLinesAndEveryForm) {
  ScopedTqHome home;
  const std::string longValue(8192, 'v');
  home.WriteConfig("\xEF\xBB\xBF; " + std::string(5000, 'c') +
                   "\n"
                   "# another comment\n"
                   "  [ GlobalParam ]  ; inline\n"
                   "SENDLOGS_HTTP_PROXY_SITE : proxy.example ; inline\n"
                   "SENDLOGS_HTTP_PROXY_USER=" +
                   longValue +
                   "\r\n"
                   "SENDLOGS_HTTP_PROXY_PASSWORD=a;b=c\n"
                   "SENDLOGS_USE_HTTP_PROXY=0\n"
                   "SENDLOGS_USE_HTTP_PROXY=1");
  TQGlobalParam config;
  EXPECT_FALSE(config.Check().IsError()) << config.Check().ToString();
  std::string text;
  int number = 0;
  EXPECT_EQ(config.get(SENDLOGS_HTTP_PROXY_SITE, text, nullptr), 0);
  EXPECT_EQ(text, "proxy.example");
  EXPECT_EQ(config.get(SENDLOGS_HTTP_PROXY_USER, text, nullptr), 0);
  EXPECT_EQ(text, longValue);
  EXPECT_EQ(config.get(SENDLOGS_HTTP_PROXY_PASSWORD, text, nullptr), 0);
  EXPECT_EQ(text, "a;b=c") << "';' starts a comment only after a blank";
  EXPECT_EQ(config.get(SENDLOGS_USE_HTTP_PROXY, number, nullptr), 0);
  EXPECT_EQ(number, 1) << "the last of repeated names counts";
}

// A file not read to its end gives no settings and a status naming the
// file and the line, for each reader of it.
TEST(TQGlobalParam, FileNotReadWholeIsAnErrorNamingTheLine) {
  const struct {
    std::string text;
    int line;
    const char* what;
  } cases[] = {
      {"[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\nnot a setting\n", 3,
       "not a setting (name = value)"},
      {"[GlobalParam\nSENDLOGS_USE_HTTP_PROXY=1\n", 1,
       "a section header without ']'"},
      {"[GlobalParam] x\nSENDLOGS_USE_HTTP_PROXY=1\n", 1,
       "text after the section header"},
      {"[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n = 3\n", 3,
       "a setting without a name"},
      {std::string("[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\na=\0\n", 44), 3,
       "a NUL byte"},
      {"[GlobalParam]\nSENDLOGS_USE_HTTP_PROXY=1\n;" +
           std::string(IniFile::kMaxBytes, 'c'),
       1, "the file is larger than 1048576 bytes"},
  };
  for (const auto& c : cases) {
    ScopedTqHome home;
    home.WriteConfig(c.text);
    const std::string expected = "Failed to read configuration file [" +
                                 home.path() + "/tqcloudauth.ini] at line " +
                                 std::to_string(c.line) + ": " + c.what;
    TQGlobalParam config;
    EXPECT_EQ(config.Check().GetMessage(), expected);
    EXPECT_EQ(config.Check().GetWin32Code(), 774u);
    int number = 0;
    EXPECT_NE(config.get(SENDLOGS_USE_HTTP_PROXY, number, nullptr), 0);
    TQPlatformInfo info;
    EXPECT_EQ(info.Check().GetMessage(), expected);
  }
  // A missing file is no settings, not an error.
  ScopedTqHome home;
  EXPECT_FALSE(TQGlobalParam().Check().IsError());
  EXPECT_FALSE(TQPlatformInfo().Check().IsError());
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
