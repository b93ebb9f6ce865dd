#include "digest/internal/ShaCompress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "tests/digest/DigestTestUtil.h"

namespace {

using tqdigest::ShaBackend;

class ShaCompressTest : public ::testing::Test {
 protected:
  void TearDown() override { tqdigest::SelectShaBackend(ShaBackend::kAuto); }
};

TEST_F(ShaCompressTest, CpuidAgreesWithTheKernel) {
#if defined(__x86_64__)
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line) && line.rfind("flags", 0) != 0) {
  }
  if (line.empty()) {
    GTEST_SKIP() << "no /proc/cpuinfo flags";
  }
  std::istringstream flags(line.substr(line.find(':') + 1));
  bool sha = false, ssse3 = false, sse41 = false;
  for (std::string f; flags >> f;) {
    sha |= f == "sha_ni";
    ssse3 |= f == "ssse3";
    sse41 |= f == "sse4_1";
  }
  EXPECT_EQ(tqdigest::CpuHasShaExtensions(), sha && ssse3 && sse41);
#else
  EXPECT_FALSE(tqdigest::CpuHasShaExtensions());
#endif
}

TEST_F(ShaCompressTest, SelectsAndReportsTheBackEnd) {
  const ShaBackend best = tqdigest::CpuHasShaExtensions()
                              ? ShaBackend::kShaNi
                              : ShaBackend::kPortable;
  EXPECT_EQ(tqdigest::ActiveShaBackend(), best);
  ASSERT_TRUE(tqdigest::SelectShaBackend(ShaBackend::kPortable));
  EXPECT_EQ(tqdigest::ActiveShaBackend(), ShaBackend::kPortable);
  EXPECT_EQ(tqdigest::SelectShaBackend(ShaBackend::kShaNi),
            tqdigest::CpuHasShaExtensions());
  EXPECT_EQ(tqdigest::ActiveShaBackend(), best);
  ASSERT_TRUE(tqdigest::SelectShaBackend(ShaBackend::kAuto));
  EXPECT_EQ(tqdigest::ActiveShaBackend(), best);
}

// An all-zero block under an all-zero chaining value, computed with an
// independent implementation of FIPS 180-4 §6.1.2 and §6.2.2.
TEST_F(ShaCompressTest, ZeroBlockUnderZeroState) {
  const unsigned char zero[64] = {0};
  uint32_t s1[5] = {0};
  tqdigest::Sha1CompressPortable(s1, zero, 1);
  EXPECT_EQ(s1[0], 0x9e1547edu);
  EXPECT_EQ(s1[4], 0xa7efa5e3u);
  if (tqdigest::CpuHasShaExtensions()) {
    uint32_t ni[5] = {0};
    tqdigest::Sha1CompressShaNi(ni, zero, 1);
    EXPECT_EQ(0, std::memcmp(ni, s1, sizeof s1));
  }
}

// The two back ends give the same chaining value for random states, block
// counts and misaligned data, chaining blocks within one call the same as
// across calls, and never write the input.
TEST_F(ShaCompressTest, BackEndsAgree) {
  if (!tqdigest::CpuHasShaExtensions()) {
    GTEST_SKIP() << "this CPU has no SHA extensions";
  }
  std::mt19937 rng(180);
  for (int round = 0; round < 64; ++round) {
    const size_t blocks = 1 + rng() % 9;
    const size_t offset = rng() % 16;
    digest_test::Bytes data =
        digest_test::RandomBytes(offset + blocks * 64, rng);
    const digest_test::Bytes copy = data;
    const unsigned char* in = data.data() + offset;

    uint32_t a1[5], b1[5], c1[5];
    for (uint32_t& w : a1) {
      w = static_cast<uint32_t>(rng());
    }
    std::memcpy(b1, a1, sizeof a1);
    std::memcpy(c1, a1, sizeof a1);
    tqdigest::Sha1CompressPortable(a1, in, blocks);
    tqdigest::Sha1CompressShaNi(b1, in, blocks);
    for (size_t i = 0; i < blocks; ++i) {
      tqdigest::Sha1CompressShaNi(c1, in + 64 * i, 1);
    }
    EXPECT_EQ(0, std::memcmp(a1, b1, sizeof a1)) << round;
    EXPECT_EQ(0, std::memcmp(a1, c1, sizeof a1)) << round;

    uint32_t a2[8], b2[8], c2[8];
    for (uint32_t& w : a2) {
      w = static_cast<uint32_t>(rng());
    }
    std::memcpy(b2, a2, sizeof a2);
    std::memcpy(c2, a2, sizeof a2);
    tqdigest::Sha256CompressPortable(a2, in, blocks);
    tqdigest::Sha256CompressShaNi(b2, in, blocks);
    for (size_t i = 0; i < blocks; ++i) {
      tqdigest::Sha256CompressShaNi(c2, in + 64 * i, 1);
    }
    EXPECT_EQ(0, std::memcmp(a2, b2, sizeof a2)) << round;
    EXPECT_EQ(0, std::memcmp(a2, c2, sizeof a2)) << round;
    EXPECT_EQ(data, copy);
  }
}

}  // namespace
