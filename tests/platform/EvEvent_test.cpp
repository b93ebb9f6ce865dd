#include "platform/EvEvent.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "tests/support/TempHome.h"
#include "tests/support/TestPki.h"

namespace {

using tqtest::ScopedTqHome;

class EvEventTest : public ::testing::Test {
 protected:
  void TearDown() override { EvDebug::ClearOverrides(); }
  ScopedTqHome home;
};

TEST_F(EvEventTest, WritesOneLineWithTimeLevelFunctionAndMessage) {
  EvEvent event;
  event.DebugLvl("sendHttpRequest", 3, "Error: [%s] [%ld]", "x", 42L);
  const std::string log = home.LogText();
  EXPECT_NE(log.find(" L3 sendHttpRequest: Error: [x] [42]\n"),
            std::string::npos)
      << log;
  // 2026-12-08T00:49:16.123Z
  ASSERT_GE(log.size(), 24u);
  EXPECT_EQ(log[4], '-');
  EXPECT_EQ(log[10], 'T');
  EXPECT_EQ(log[23], 'Z');
}

TEST_F(EvEventTest, LogFolderAndFileAreOwnerOnly) {
  EvEvent event;
  event.DebugLvl("f", 1, "m");
  struct stat st {};
  ASSERT_EQ(::stat((home.path() + "/logs").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat(EvDebug::LogFilePath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(EvEventTest, ThresholdDecides) {
  {
    EvEvent event;  // default threshold 3
    EXPECT_TRUE(event.IsLogged(3));
    EXPECT_FALSE(event.IsLogged(4));
    event.DebugLvl("f", 4, "too detailed");
    event.DebugLvl("f", 2, "written");
  }
  home.WriteConfig("[Log]\nLevel=1\n");
  {
    EvEvent event;
    event.DebugLvl("f", 2, "filtered by configuration");
    EvDebug::SetThresholdOverride(5);
    event.DebugLvl("f", 5, "override wins");
  }
  const std::string log = home.LogText();
  EXPECT_EQ(log.find("too detailed"), std::string::npos);
  EXPECT_NE(log.find("written"), std::string::npos);
  EXPECT_EQ(log.find("filtered by configuration"), std::string::npos);
  EXPECT_NE(log.find("override wins"), std::string::npos);
}

TEST_F(EvEventTest, ControlCharactersCannotForgeLines) {
  EvEvent event;
  event.DebugLvl("f", 3, "%s", "a\r\nL3 forged: b\x01");
  const std::string log = home.LogText();
  EXPECT_NE(log.find("a\\r\\nL3 forged: b\\x01\n"), std::string::npos) << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}

// Captures what the process writes to standard error during a call.
std::string CaptureStderr(const std::function<void()>& fn) {
  tqtest::TempDir dir;
  const std::string path = dir.path() + "/stderr";
  std::fflush(stderr);
  const int saved = ::dup(STDERR_FILENO);
  FILE* f = std::fopen(path.c_str(), "w");
  ::dup2(::fileno(f), STDERR_FILENO);
  fn();
  std::fflush(stderr);
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::fclose(f);
  return tqtest::ReadFile(path);
}

TEST_F(EvEventTest, StderrDestination) {
  home.WriteConfig("[Log]\nDestination=stderr\n");
  const std::string err = CaptureStderr([] {
    EvEvent event;
    event.DebugLvl("f", 3, "to stderr");
  });
  EXPECT_NE(err.find("L3 f: to stderr"), std::string::npos);
  EXPECT_EQ(::access(EvDebug::LogFilePath().c_str(), F_OK), -1);
}

TEST_F(EvEventTest, UnwritableHomeFallsBackToStderr) {
  ::setenv("TQ_HOME", "/proc/no-such-home", 1);
  const std::string err = CaptureStderr([] {
    EvEvent event;
    event.DebugLvl("f", 3, "not lost");
  });
  EXPECT_NE(err.find("not lost"), std::string::npos);
}

}  // namespace
