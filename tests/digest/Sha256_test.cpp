#include "digest/Sha256.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "digest/internal/ShaCompress.h"
#include "tests/digest/DigestTestUtil.h"

namespace {

using digest_test::Bytes;
using digest_test::ExpectDigest;
using digest_test::Hex;

constexpr unsigned int kIv[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372,
                                 0xa54ff53a, 0x510e527f, 0x9b05688c,
                                 0x1f83d9ab, 0x5be0cd19};

Bytes Digest(const sha256& ctx) { return Bytes(ctx.hash, ctx.hash + 32); }
Bytes Mac(const _hmac_sha256& ctx) {
  return Bytes(ctx.digest, ctx.digest + 32);
}

unsigned int Len(const Bytes& b) { return static_cast<unsigned int>(b.size()); }
int SLen(const Bytes& b) { return static_cast<int>(b.size()); }

uint64_t LengthField(const sha256& ctx) {
  uint64_t v = 0;
  for (unsigned char b : ctx.length) {
    v = (v << 8) | b;
  }
  return v;
}

// The digest of msg by every way a caller may feed it.
std::vector<std::pair<std::string, Bytes>> Sha256Ways(const Bytes& msg) {
  std::vector<std::pair<std::string, Bytes>> ways;
  unsigned char out[32];
  sha256_get(out, msg.data(), SLen(msg));
  ways.emplace_back("sha256_get", Bytes(out, out + 32));

  sha256 ctx;
  sha256_initialize(&ctx);
  sha256_update(&ctx, msg.data(), Len(msg));
  sha256_finalize(&ctx, nullptr, 0);
  ways.emplace_back("update, finalize(0)", Digest(ctx));

  // The same context again: initialisation must forget everything.
  sha256_initialize(&ctx);
  sha256_finalize(&ctx, msg.data(), Len(msg));
  ways.emplace_back("reused context, finalize(all)", Digest(ctx));

  sha256_initialize(&ctx);
  for (unsigned char b : msg) {
    sha256_update(&ctx, &b, 1);
  }
  sha256_finalize(&ctx, nullptr, 0);
  ways.emplace_back("byte by byte", Digest(ctx));

  std::mt19937 rng(static_cast<unsigned>(msg.size()));
  const std::vector<size_t> pieces =
      digest_test::RandomPieces(msg.size(), 150, rng);
  sha256_initialize(&ctx);
  size_t at = 0;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    sha256_update(&ctx, msg.data() + at, static_cast<unsigned int>(pieces[i]));
    at += pieces[i];
  }
  sha256_finalize(&ctx, msg.data() + at,
                  static_cast<unsigned int>(msg.size() - at));
  ways.emplace_back("random pieces, last as trailing data", Digest(ctx));
  return ways;
}

std::vector<std::pair<std::string, Bytes>> HmacWays(const Bytes& key,
                                                    const Bytes& msg) {
  std::vector<std::pair<std::string, Bytes>> ways;
  unsigned char out[32];
  HMAC_SHA256(out, key.data(), SLen(key), msg.data(), SLen(msg));
  ways.emplace_back("HMAC_SHA256", Bytes(out, out + 32));

  _hmac_sha256 ctx;
  hmac_sha256_initialize(&ctx, key.data(), SLen(key));
  hmac_sha256_update(&ctx, msg.data(), SLen(msg));
  hmac_sha256_finalize(&ctx, nullptr, 0);
  ways.emplace_back("update, finalize(0)", Mac(ctx));

  hmac_sha256_initialize(&ctx, key.data(), SLen(key));
  hmac_sha256_finalize(&ctx, msg.data(), SLen(msg));
  ways.emplace_back("reused context, finalize(all)", Mac(ctx));

  hmac_sha256_initialize(&ctx, key.data(), SLen(key));
  for (unsigned char b : msg) {
    hmac_sha256_update(&ctx, &b, 1);
  }
  hmac_sha256_finalize(&ctx, nullptr, 0);
  ways.emplace_back("byte by byte", Mac(ctx));

  std::mt19937 rng(static_cast<unsigned>(msg.size()));
  const std::vector<size_t> pieces =
      digest_test::RandomPieces(msg.size(), 150, rng);
  hmac_sha256_initialize(&ctx, key.data(), SLen(key));
  size_t at = 0;
  for (size_t i = 0; i + 1 < pieces.size(); ++i) {
    hmac_sha256_update(&ctx, msg.data() + at, static_cast<int>(pieces[i]));
    at += pieces[i];
  }
  hmac_sha256_finalize(&ctx, msg.data() + at,
                       static_cast<int>(msg.size() - at));
  ways.emplace_back("random pieces, last as trailing data", Mac(ctx));
  return ways;
}

class Sha256Test : public digest_test::OnEachBackend {};
TQ_INSTANTIATE_ON_EACH_BACKEND(Sha256Test);

TEST_P(Sha256Test, FileVectors) {
  digest_test::ForEachVector("sha256_tests.txt", [](auto& v) {
    const Bytes msg = v.Message();
    const Bytes expected = v.GetBytes("Output");
    for (const auto& way : Sha256Ways(msg)) {
      ExpectDigest(expected, way.second.data(), 32, way.first);
    }
  });
}

TEST_P(Sha256Test, HmacFileVectors) {
  digest_test::ForEachVector("hmac_sha256_tests.txt", [](auto& v) {
    const Bytes key = v.GetBytes("Key");
    const Bytes msg = v.GetBytes("Input");
    const Bytes expected = v.GetBytes("Output");
    for (const auto& way : HmacWays(key, msg)) {
      ExpectDigest(expected, way.second.data(), 32, way.first);
    }
  });
}

TEST_P(Sha256Test, AgreesWithOpenSslOnRandomLengths) {
  std::mt19937 rng(4231);
  for (size_t n = 0; n <= 300; n += 1 + n / 16) {
    const Bytes msg = digest_test::RandomBytes(n, rng);
    const Bytes key = digest_test::RandomBytes(rng() % 140, rng);
    const Bytes want = digest_test::OpenSslDigest("SHA256", msg);
    for (const auto& way : Sha256Ways(msg)) {
      EXPECT_EQ(Hex(way.second), Hex(want)) << n << " bytes, " << way.first;
    }
    const Bytes wantMac = digest_test::OpenSslHmac("SHA256", key, msg);
    for (const auto& way : HmacWays(key, msg)) {
      EXPECT_EQ(Hex(way.second), Hex(wantMac))
          << n << " bytes, key " << key.size() << ", " << way.first;
    }
  }
}

// What a caller sees in the record after each update: the bit count most
// significant byte first, the pending bytes packed into words most
// significant first, untouched words zero, the chaining value of the blocks
// consumed so far, and `hash` left alone.
TEST_P(Sha256Test, RecordAfterPartialUpdates) {
  Bytes msg(300);
  for (size_t i = 0; i < msg.size(); ++i) {
    msg[i] = static_cast<unsigned char>(i * 7 + 1);
  }
  sha256 ctx;
  std::memset(ctx.hash, 0xA5, sizeof ctx.hash);
  std::memset(ctx.buffer, 0xEE, sizeof ctx.buffer);
  sha256_initialize(&ctx);

  size_t total = 0;
  for (size_t piece : {0, 1, 2, 3, 5, 8, 45, 1, 63, 64, 7, 70}) {
    sha256_update(&ctx, msg.data() + total, static_cast<unsigned int>(piece));
    total += piece;
    SCOPED_TRACE("after " + std::to_string(total) + " bytes");

    EXPECT_EQ(LengthField(ctx), total * 8);
    const size_t start = total - total % 64;
    for (size_t w = 0; w < 16; ++w) {
      unsigned int want = 0;
      for (size_t i = 4 * w; i < 4 * w + 4 && start + i < total; ++i) {
        want |= unsigned{msg[start + i]} << ((3 - i % 4) * 8);
      }
      EXPECT_EQ(ctx.buffer[w], want) << "word " << w;
    }
    uint32_t state[8];
    std::memcpy(state, kIv, sizeof state);
    tqdigest::Sha256CompressPortable(state, msg.data(), total / 64);
    EXPECT_EQ(0, std::memcmp(ctx.state, state, sizeof state));
    EXPECT_EQ(Hex(ctx.hash, 32), Hex(Bytes(32, 0xA5))) << "hash touched";
  }

  // 269 bytes: 13 waiting, so 51 bytes of padding, counted in `length`.
  sha256_finalize(&ctx, nullptr, 0);
  EXPECT_EQ(LengthField(ctx), (total + 64 - total % 64) * 8);
  for (unsigned int w : ctx.buffer) {
    EXPECT_EQ(w, 0u);
  }
  EXPECT_EQ(Hex(Digest(ctx)),
            Hex(digest_test::OpenSslDigest(
                "SHA256", Bytes(msg.begin(), msg.begin() + total))));
}

TEST_P(Sha256Test, PaddingLengthAtBlockBoundaries) {
  // Bytes waiting -> padding fed: 64 - r, plus a block when 8 or fewer.
  const std::pair<size_t, size_t> cases[] = {{55, 9},  {56, 72}, {63, 65},
                                             {64, 64}, {0, 64},  {1, 63}};
  const Bytes msg(64, 'x');
  for (const auto& c : cases) {
    sha256 ctx;
    sha256_initialize(&ctx);
    sha256_finalize(&ctx, msg.data(), static_cast<unsigned int>(c.first));
    EXPECT_EQ(LengthField(ctx), (c.first + c.second) * 8) << c.first;
  }
}

TEST_P(Sha256Test, LengthIsOneBigEndianSixtyFourBitSum) {
  const struct {
    uint64_t before;
    unsigned int feed;
    uint64_t after;
  } cases[] = {
      {0x00000000FFFFFE00ull, 64, 0x0000000100000000ull},
      {0x00000000FFFFFFF8ull, 1, 0x0000000100000000ull},
      {0x00FFFFFFFFFFFE00ull, 64, 0x0100000000000000ull},
      {0xFFFFFFFFFFFFFE00ull, 64, 0},  // wraps like the 64-bit sum
  };
  const Bytes data(64, 0x61);
  for (const auto& c : cases) {
    sha256 ctx;
    sha256_initialize(&ctx);
    for (int i = 0; i < 8; ++i) {
      ctx.length[i] = static_cast<unsigned char>(c.before >> (56 - 8 * i));
    }
    sha256_update(&ctx, data.data(), c.feed);
    EXPECT_EQ(LengthField(ctx), c.after) << std::hex << c.before;
    for (unsigned int w : ctx.buffer) {
      EXPECT_EQ(w, 0u) << "the block completed and was consumed";
    }
  }
}

// `key` holds the key block XOR 0x36 after initialisation and XOR 0x5c once
// finalised; a long key is replaced by its digest.
TEST_P(Sha256Test, HmacKeyTurnsFromInnerToOuterPad) {
  std::mt19937 rng(2104);
  for (size_t keyLen : {0, 5, 32, 64, 65, 131}) {
    SCOPED_TRACE("key of " + std::to_string(keyLen) + " bytes");
    const Bytes key = digest_test::RandomBytes(keyLen, rng);
    const Bytes block =
        keyLen > 64 ? digest_test::OpenSslDigest("SHA256", key) : key;

    _hmac_sha256 ctx;
    hmac_sha256_initialize(&ctx, key.data(), SLen(key));
    for (size_t i = 0; i < 64; ++i) {
      const unsigned char k = i < block.size() ? block[i] : 0;
      ASSERT_EQ(ctx.key[i], k ^ 0x36) << i;
    }
    EXPECT_EQ(LengthField(ctx.sha), 512u);
    uint32_t state[8];
    std::memcpy(state, kIv, sizeof state);
    tqdigest::Sha256CompressPortable(state, ctx.key, 1);
    EXPECT_EQ(0, std::memcmp(ctx.sha.state, state, sizeof state));

    const Bytes msg = digest_test::RandomBytes(100, rng);
    hmac_sha256_update(&ctx, msg.data(), 40);
    hmac_sha256_finalize(&ctx, msg.data() + 40, 60);
    for (size_t i = 0; i < 64; ++i) {
      const unsigned char k = i < block.size() ? block[i] : 0;
      ASSERT_EQ(ctx.key[i], k ^ 0x5c) << i;
    }
    EXPECT_EQ(Hex(Mac(ctx)), Hex(digest_test::OpenSslHmac("SHA256", key, msg)));
    EXPECT_EQ(Hex(ctx.sha.hash, 32), Hex(Mac(ctx)));
  }
}

TEST_P(Sha256Test, KeyOfSixtyFiveBytesActsAsItsDigest) {
  const Bytes key65(65, 0x42);
  const Bytes key64(key65.begin(), key65.end() - 1);
  const Bytes hashed = digest_test::OpenSslDigest("SHA256", key65);
  const Bytes msg = {'m', 's', 'g'};
  unsigned char a[32], b[32], c[32];
  HMAC_SHA256(a, key65.data(), 65, msg.data(), 3);
  HMAC_SHA256(b, hashed.data(), 32, msg.data(), 3);
  EXPECT_EQ(Hex(a, 32), Hex(b, 32));

  // 64 bytes is used as it is, not hashed.
  HMAC_SHA256(c, key64.data(), 64, msg.data(), 3);
  EXPECT_EQ(Hex(c, 32), Hex(digest_test::OpenSslHmac("SHA256", key64, msg)));
  const Bytes hashed64 = digest_test::OpenSslDigest("SHA256", key64);
  HMAC_SHA256(b, hashed64.data(), 32, msg.data(), 3);
  EXPECT_NE(Hex(c, 32), Hex(b, 32));
}

TEST_P(Sha256Test, EmptyAndNegativeLengths) {
  const Bytes empty;
  const Bytes emptyMac = digest_test::OpenSslHmac("SHA256", empty, empty);
  const unsigned char junk[4] = {1, 2, 3, 4};
  unsigned char out[32];

  // Negative key lengths count as an empty key, negative data lengths as no
  // data: nothing is read.
  for (int keyLen : {0, -1, -64}) {
    HMAC_SHA256(out, junk, keyLen, junk, 0);
    EXPECT_EQ(Hex(out, 32), Hex(emptyMac)) << keyLen;
  }
  HMAC_SHA256(out, nullptr, -5, nullptr, -5);
  EXPECT_EQ(Hex(out, 32), Hex(emptyMac));

  const Bytes emptyDigest = digest_test::OpenSslDigest("SHA256", empty);
  sha256_get(out, nullptr, 0);
  EXPECT_EQ(Hex(out, 32), Hex(emptyDigest));
  sha256_get(out, junk, -1);
  EXPECT_EQ(Hex(out, 32), Hex(emptyDigest));

  _hmac_sha256 ctx;
  hmac_sha256_initialize(&ctx, nullptr, 0);
  hmac_sha256_update(&ctx, junk, -1);
  hmac_sha256_finalize(&ctx, junk, -2);
  EXPECT_EQ(Hex(Mac(ctx)), Hex(emptyMac));
}

}  // namespace
