#include "digest/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "digest/internal/ShaCompress.h"
#include "platform/SecureMemory.h"

// Callers allocate these records and read their fields, so their layout is
// fixed: no padding anywhere.
static_assert(sizeof(unsigned int) == 4, "context words are 32-bit");
static_assert(sizeof(sha256) == 32 + 64 + 32 + 8, "sha256 layout");
static_assert(offsetof(sha256, buffer) == 32 && offsetof(sha256, state) == 96 &&
                  offsetof(sha256, length) == 128,
              "sha256 field offsets");
static_assert(sizeof(_hmac_sha256) == 32 + 64 + sizeof(sha256) &&
                  offsetof(_hmac_sha256, key) == 32 &&
                  offsetof(_hmac_sha256, sha) == 96,
              "_hmac_sha256 layout");

namespace {

constexpr size_t kBlock = 64;
constexpr size_t kDigest = 32;

uint64_t LoadLength(const sha256* ctx) {
  uint64_t v = 0;
  for (unsigned char b : ctx->length) {
    v = (v << 8) | b;
  }
  return v;
}

void StoreLength(sha256* ctx, uint64_t v) {
  for (int i = 7; i >= 0; --i) {
    ctx->length[i] = static_cast<unsigned char>(v);
    v >>= 8;
  }
}

// ORs n bytes into the buffer words from block position p on (p + n <= 64),
// each word holding its bytes most significant first.
void AbsorbBytes(sha256* ctx, size_t p, const unsigned char* data, size_t n) {
  while (n != 0 && (p & 3) != 0) {
    ctx->buffer[p >> 2] |= unsigned{*data++} << ((3 - (p & 3)) * 8);
    ++p;
    --n;
  }
  for (; n >= 4; n -= 4, p += 4, data += 4) {
    ctx->buffer[p >> 2] |= tqdigest::LoadBe32(data);
  }
  for (; n != 0; --n, ++p) {
    ctx->buffer[p >> 2] |= unsigned{*data++} << ((3 - (p & 3)) * 8);
  }
}

// Compresses the full block held in the buffer words and clears them.
void CompressBuffer(sha256* ctx) {
  unsigned char block[kBlock];
  for (size_t i = 0; i < 16; ++i) {
    tqdigest::StoreBe32(block + 4 * i, ctx->buffer[i]);
    ctx->buffer[i] = 0;
  }
  tqdigest::Sha256Compress(ctx->state, block, 1);
}

unsigned int Count(int len) {
  return len > 0 ? static_cast<unsigned int>(len) : 0;
}

}  // namespace

void sha256_initialize(sha256* ctx) {
  std::memset(ctx->buffer, 0, sizeof ctx->buffer);
  // FIPS 180-4 §5.3.3
  ctx->state[0] = 0x6a09e667;
  ctx->state[1] = 0xbb67ae85;
  ctx->state[2] = 0x3c6ef372;
  ctx->state[3] = 0xa54ff53a;
  ctx->state[4] = 0x510e527f;
  ctx->state[5] = 0x9b05688c;
  ctx->state[6] = 0x1f83d9ab;
  ctx->state[7] = 0x5be0cd19;
  std::memset(ctx->length, 0, sizeof ctx->length);
}

void sha256_update(sha256* ctx, const unsigned char* data, unsigned int len) {
  if (len == 0) {
    return;
  }
  const uint64_t bits = LoadLength(ctx);
  StoreLength(ctx, bits + uint64_t{len} * 8);  // wraps mod 2^64 like the sum

  size_t p = (bits >> 3) & 63;  // [0, 63] bytes waiting
  size_t n = len;
  if (p != 0) {
    const size_t take = n < kBlock - p ? n : kBlock - p;
    AbsorbBytes(ctx, p, data, take);
    if (p + take < kBlock) {
      return;
    }
    CompressBuffer(ctx);
    data += take;
    n -= take;
  }
  const size_t blocks = n / kBlock;
  tqdigest::Sha256Compress(ctx->state, data, blocks);
  data += blocks * kBlock;
  n -= blocks * kBlock;  // [0, 63]
  AbsorbBytes(ctx, 0, data, n);
}

void sha256_finalize(sha256* ctx, const unsigned char* data, unsigned int len) {
  sha256_update(ctx, data, len);

  const size_t r = (LoadLength(ctx) >> 3) & 63;  // [0, 63] bytes waiting
  size_t padLen = kBlock - r;                    // [1, 64]
  if (padLen <= 8) {
    padLen += kBlock;  // no room for the length: one more block
  }
  // [9, 72]: 0x80, zeros, then the length as it was before the padding.
  unsigned char pad[kBlock + 8] = {0x80};
  std::memcpy(pad + padLen - 8, ctx->length, 8);
  sha256_update(ctx, pad, static_cast<unsigned int>(padLen));

  for (size_t i = 0; i < 8; ++i) {
    tqdigest::StoreBe32(ctx->hash + 4 * i, ctx->state[i]);
  }
}

void sha256_get(unsigned char* out, const unsigned char* data, int len) {
  sha256 ctx;
  sha256_initialize(&ctx);
  sha256_finalize(&ctx, data, Count(len));
  std::memcpy(out, ctx.hash, kDigest);
}

void hmac_sha256_initialize(_hmac_sha256* ctx, const unsigned char* key,
                            int keyLen) {
  size_t klen = Count(keyLen);
  if (klen > kBlock) {
    // RFC 2104 §2: keys longer than the block are hashed first.
    sha256_initialize(&ctx->sha);
    sha256_finalize(&ctx->sha, key, static_cast<unsigned int>(klen));
    key = ctx->sha.hash;
    klen = kDigest;
  }
  for (size_t i = 0; i < klen; ++i) {
    ctx->key[i] = key[i] ^ 0x36;
  }
  std::memset(ctx->key + klen, 0x36, kBlock - klen);

  sha256_initialize(&ctx->sha);
  sha256_update(&ctx->sha, ctx->key, kBlock);
}

void hmac_sha256_update(_hmac_sha256* ctx, const unsigned char* data, int len) {
  sha256_update(&ctx->sha, data, Count(len));
}

void hmac_sha256_finalize(_hmac_sha256* ctx, const unsigned char* data,
                          int len) {
  sha256_finalize(&ctx->sha, data, Count(len));
  std::memcpy(ctx->digest, ctx->sha.hash, kDigest);

  for (unsigned char& b : ctx->key) {
    b ^= 0x6a;  // 0x36 ^ 0x6a == 0x5c: inner pad to outer pad in place
  }
  sha256_initialize(&ctx->sha);
  sha256_update(&ctx->sha, ctx->key, kBlock);
  sha256_finalize(&ctx->sha, ctx->digest, kDigest);
  std::memcpy(ctx->digest, ctx->sha.hash, kDigest);
}

void HMAC_SHA256(unsigned char* out, const unsigned char* key, int keyLen,
                 const unsigned char* msg, int msgLen) {
  _hmac_sha256 ctx;
  hmac_sha256_initialize(&ctx, key, keyLen);
  hmac_sha256_finalize(&ctx, msg, msgLen);
  std::memcpy(out, ctx.digest, kDigest);
  SecureWipe(&ctx, sizeof ctx);
}
