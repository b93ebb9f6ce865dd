#include "digest/Sha1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "digest/internal/Sha1Engine.h"
#include "digest/internal/ShaCompress.h"
#include "tests/digest/DigestTestUtil.h"

namespace {

using digest_test::Bytes;
using digest_test::ExpectDigest;
using digest_test::Hex;

constexpr unsigned int kIv[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                 0xC3D2E1F0};

// SHA-1 compression of an all-zero block under an all-zero chaining value,
// computed with an independent implementation of FIPS 180-4 §6.1.2.
constexpr unsigned int kZeroCompressed[5] = {0x9e1547ed, 0x57ec91c2, 0x30fa8bc8,
                                             0xc7785a54, 0xa7efa5e3};

Bytes Final(SHA1Context* ctx) {
  unsigned char out[20];
  SHA1_final(out, ctx);
  return Bytes(out, out + 20);
}

// The digest of msg by every way the engine may be fed.
std::vector<std::pair<std::string, Bytes>> Sha1Ways(const Bytes& msg) {
  std::vector<std::pair<std::string, Bytes>> ways;
  const unsigned int len = static_cast<unsigned int>(msg.size());
  SHA1Context ctx;
  std::memset(&ctx, 0xEE, sizeof ctx);  // init must not rely on zeroed memory
  SHA1_init(&ctx);
  SHA1_update(&ctx, msg.data(), len);
  ways.emplace_back("one update", Final(&ctx));

  // Reused after a final, and after a run abandoned half-way.
  SHA1_init(&ctx);
  SHA1_update(&ctx, msg.data(), len);
  ways.emplace_back("reused after final", Final(&ctx));
  SHA1_init(&ctx);
  const unsigned char junk[70] = {9, 9, 9};
  SHA1_update(&ctx, junk, sizeof junk);
  SHA1_init(&ctx);
  SHA1_update(&ctx, msg.data(), len);
  ways.emplace_back("reused after an abandoned run", Final(&ctx));

  SHA1_init(&ctx);
  for (unsigned char b : msg) {
    SHA1_update(&ctx, &b, 1);
  }
  ways.emplace_back("byte by byte", Final(&ctx));

  std::mt19937 rng(len);
  SHA1_init(&ctx);
  size_t at = 0;
  for (size_t piece : digest_test::RandomPieces(msg.size(), 150, rng)) {
    SHA1_update(&ctx, msg.data() + at, static_cast<unsigned int>(piece));
    at += piece;
  }
  ways.emplace_back("random pieces", Final(&ctx));
  return ways;
}

Bytes Hmac(const Bytes& key, const Bytes& msg) {
  unsigned char out[20];
  HMAC_SHA1(out, key.data(), static_cast<int>(key.size()), msg.data(),
            static_cast<int>(msg.size()));
  return Bytes(out, out + 20);
}

class Sha1Test : public digest_test::OnEachBackend {};
TQ_INSTANTIATE_ON_EACH_BACKEND(Sha1Test);

TEST_P(Sha1Test, FileVectors) {
  digest_test::ForEachVector("sha1_tests.txt", [](auto& v) {
    const Bytes msg = v.Message();
    const Bytes expected = v.GetBytes("Output");
    for (const auto& way : Sha1Ways(msg)) {
      ExpectDigest(expected, way.second.data(), 20, way.first);
    }
  });
}

TEST_P(Sha1Test, HmacFileVectors) {
  digest_test::ForEachVector("hmac_sha1_tests.txt", [](auto& v) {
    const Bytes key = v.GetBytes("Key");
    const Bytes msg = v.GetBytes("Input");
    ExpectDigest(v.GetBytes("Output"), Hmac(key, msg).data(), 20, "HMAC_SHA1");
  });
}

TEST_P(Sha1Test, AgreesWithOpenSslOnRandomLengths) {
  std::mt19937 rng(2202);
  for (size_t n = 0; n <= 300; n += 1 + n / 16) {
    const Bytes msg = digest_test::RandomBytes(n, rng);
    const Bytes key = digest_test::RandomBytes(rng() % 140, rng);
    const Bytes want = digest_test::OpenSslDigest("SHA1", msg);
    for (const auto& way : Sha1Ways(msg)) {
      EXPECT_EQ(Hex(way.second), Hex(want)) << n << " bytes, " << way.first;
    }
    EXPECT_EQ(Hex(Hmac(key, msg)),
              Hex(digest_test::OpenSslHmac("SHA1", key, msg)))
        << n << " bytes, key " << key.size();
  }
}

// After each update: count is the bit count, the waiting bytes sit at the
// front of buffer, state is the chaining value of the blocks consumed.
TEST_P(Sha1Test, ContextAfterPartialUpdates) {
  Bytes msg(300);
  for (size_t i = 0; i < msg.size(); ++i) {
    msg[i] = static_cast<unsigned char>(i * 13 + 5);
  }
  SHA1Context ctx;
  SHA1_init(&ctx);
  size_t total = 0;
  for (size_t piece : {0, 1, 2, 60, 1, 64, 63, 2, 100}) {
    SHA1_update(&ctx, msg.data() + total, static_cast<unsigned int>(piece));
    total += piece;
    SCOPED_TRACE("after " + std::to_string(total) + " bytes");
    EXPECT_EQ(ctx.count[0], total * 8);
    EXPECT_EQ(ctx.count[1], 0u);
    const size_t waiting = total % 64;
    EXPECT_EQ(Hex(ctx.buffer, waiting),
              Hex(msg.data() + total - waiting, waiting));
    uint32_t state[5];
    std::memcpy(state, kIv, sizeof state);
    tqdigest::Sha1CompressPortable(state, msg.data(), total / 64);
    EXPECT_EQ(0, std::memcmp(ctx.state, state, sizeof state));
  }
}

TEST_P(Sha1Test, CountCarriesIntoHighWord) {
  SHA1Context ctx;
  SHA1_init(&ctx);
  ctx.count[0] = 0xFFFFFE00;  // a whole number of blocks
  const unsigned char data[65] = {0};
  SHA1_update(&ctx, data, 65);
  EXPECT_EQ(ctx.count[0], 0x8u);
  EXPECT_EQ(ctx.count[1], 1u);
}

// The wipe leaves nothing of the message: count and buffer zero, state the
// compression of a zero block under a zero chaining value.
TEST_P(Sha1Test, FinalWipesTheContext) {
  for (size_t n : {0, 3, 55, 64, 100}) {
    const Bytes msg(n, 0x5a);
    SHA1Context ctx;
    SHA1_init(&ctx);
    SHA1_update(&ctx, msg.data(), static_cast<unsigned int>(n));
    EXPECT_EQ(Hex(Final(&ctx)), Hex(digest_test::OpenSslDigest("SHA1", msg)));
    EXPECT_EQ(ctx.count[0], 0u) << n;
    EXPECT_EQ(ctx.count[1], 0u) << n;
    EXPECT_EQ(Hex(ctx.buffer, 64), std::string(128, '0')) << n;
    EXPECT_EQ(0, std::memcmp(ctx.state, kZeroCompressed, sizeof ctx.state))
        << n;
  }
}

TEST_P(Sha1Test, KeyOfSixtyFiveBytesActsAsItsDigest) {
  const Bytes key65(65, 0x42);
  const Bytes key64(key65.begin(), key65.end() - 1);
  const Bytes msg = {'m', 's', 'g'};
  EXPECT_EQ(Hex(Hmac(key65, msg)),
            Hex(Hmac(digest_test::OpenSslDigest("SHA1", key65), msg)));
  // 64 bytes is used as it is, not hashed.
  EXPECT_EQ(Hex(Hmac(key64, msg)),
            Hex(digest_test::OpenSslHmac("SHA1", key64, msg)));
  EXPECT_NE(Hex(Hmac(key64, msg)),
            Hex(Hmac(digest_test::OpenSslDigest("SHA1", key64), msg)));
}

TEST_P(Sha1Test, EmptyAndNegativeLengths) {
  const Bytes emptyMac = digest_test::OpenSslHmac("SHA1", {}, {});
  const unsigned char junk[4] = {1, 2, 3, 4};
  unsigned char out[20];
  // A negative key length is an empty key; a negative message length an
  // empty message (nothing is read).
  for (int keyLen : {0, -1, -64}) {
    HMAC_SHA1(out, junk, keyLen, junk, 0);
    EXPECT_EQ(Hex(out, 20), Hex(emptyMac)) << keyLen;
  }
  HMAC_SHA1(out, nullptr, -3, junk, -3);
  EXPECT_EQ(Hex(out, 20), Hex(emptyMac));
}

}  // namespace
