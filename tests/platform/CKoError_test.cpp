#include "platform/CKoError.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(CKoError, SuccessIsNotAnError) {
  EXPECT_FALSE(CKoError().IsError());
  EXPECT_FALSE(CKoError::Success().IsError());
  EXPECT_EQ(CKoError::Success().GetCode(), 0);
  EXPECT_EQ(CKoError::Success().GetMessage(), "");
  EXPECT_TRUE(CKoError::Success().GetLocations().empty());
  EXPECT_EQ(CKoError::Success().ToString(), "Success");
}

TEST(CKoError, ErrorWin32FormsAreFailuresWithHresultCode) {
  struct Case {
    unsigned int win32;
    int32_t code;
  };
  for (const Case& c : {Case{774, static_cast<int32_t>(0x80070306u)},
                        Case{14, static_cast<int32_t>(0x8007000Eu)},
                        Case{6, static_cast<int32_t>(0x80070006u)}}) {
    const CKoError plain = FXErrorUtil::ErrorWin32(TQ_LOC, c.win32);
    EXPECT_TRUE(plain.IsError());
    EXPECT_EQ(plain.GetCode(), c.code);
    EXPECT_EQ(plain.GetWin32Code(), c.win32);
    EXPECT_EQ(plain.GetMessage(), "");

    const CKoError formatted = FXErrorUtil::ErrorWin32(
        TQ_LOC, c.win32, "value [%d] [%s] [%ld]", -3, "text", 1234567890123L);
    EXPECT_TRUE(formatted.IsError());
    EXPECT_EQ(formatted.GetCode(), c.code);
    EXPECT_EQ(formatted.GetMessage(), "value [-3] [text] [1234567890123]");
  }
}

TEST(CKoError, RecordsWhereTheFailureWasFound) {
  const int line = __LINE__ + 1;
  const CKoError st = FXErrorUtil::ErrorWin32(TQ_LOC, 774, "x");
  const std::vector<FXCodeLocation> chain = st.GetLocations();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_STREQ(chain[0].file, "tests/platform/CKoError_test.cpp");
  EXPECT_EQ(chain[0].line, line);
  EXPECT_NE(std::string(chain[0].function).find("TestBody"), std::string::npos);
}

CKoError Inner(int& line) {
  line = __LINE__ + 1;
  return FXErrorUtil::ErrorWin32(TQ_LOC, 774, "inner failed");
}

CKoError Outer(int& innerLine, int& outerLine) {
  CKoError st = Inner(innerLine);
  if (st.IsError()) {
    outerLine = __LINE__ + 1;
    return st.Push(TQ_LOC);
  }
  return st;
}

TEST(CKoError, PushedChainRendersInnermostFirst) {
  int innerLine = 0;
  int outerLine = 0;
  const CKoError st = Outer(innerLine, outerLine);
  const std::vector<FXCodeLocation> chain = st.GetLocations();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0].line, innerLine);
  EXPECT_EQ(chain[1].line, outerLine);
  EXPECT_NE(std::string(chain[0].function).find("Inner"), std::string::npos);
  EXPECT_NE(std::string(chain[1].function).find("Outer"), std::string::npos);

  const std::string text = st.ToString();
  const std::string innerAt =
      "tests/platform/CKoError_test.cpp:" + std::to_string(innerLine);
  const std::string outerAt =
      "tests/platform/CKoError_test.cpp:" + std::to_string(outerLine);
  EXPECT_EQ(
      text.rfind("inner failed (error 774, code 0x80070306, reason internal)",
                 0),
      0u)
      << text;
  ASSERT_NE(text.find(innerAt), std::string::npos) << text;
  ASSERT_NE(text.find(outerAt), std::string::npos) << text;
  EXPECT_LT(text.find(innerAt), text.find(outerAt));
}

TEST(CKoError, CopiesShareTheDetailsRecord) {
  CKoError original = FXErrorUtil::ErrorWin32(TQ_LOC, 774, "shared");
  CKoError copy = original;
  copy.Push(TQ_LOC);
  EXPECT_EQ(original.GetLocations().size(), 2u);
  CKoError assigned;
  assigned = copy;
  assigned.Push(TQ_LOC);
  EXPECT_EQ(original.GetLocations().size(), 3u);
  EXPECT_EQ(original.GetMessage(), "shared");
}

TEST(CKoError, CopiesMayDieOnOtherThreads) {
  const CKoError st = FXErrorUtil::ErrorWin32(TQ_LOC, 774, "threads");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([st] {
      for (int i = 0; i < 10000; ++i) {
        CKoError copy = st;
        EXPECT_TRUE(copy.IsError());
      }
    });
  }
  for (std::thread& t : threads) {
    t.join();
  }
  EXPECT_EQ(st.GetMessage(), "threads");
}

}  // namespace
