#include "digest/Sha1.h"

#include <cstdint>
#include <cstring>

#include "digest/internal/Sha1Engine.h"
#include "digest/internal/ShaCompress.h"
#include "platform/SecureMemory.h"

static_assert(sizeof(unsigned int) == sizeof(uint32_t),
              "SHA1Context words are 32-bit");

namespace {

constexpr size_t kBlock = 64;
constexpr size_t kDigest = 20;

uint32_t* Words(unsigned int* p) { return reinterpret_cast<uint32_t*>(p); }

}  // namespace

void SHA1_init(SHA1Context* ctx) {
  // FIPS 180-4 §5.3.1
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xEFCDAB89;
  ctx->state[2] = 0x98BADCFE;
  ctx->state[3] = 0x10325476;
  ctx->state[4] = 0xC3D2E1F0;
  ctx->count[0] = 0;
  ctx->count[1] = 0;
}

void SHA1_update(SHA1Context* ctx, const unsigned char* data,
                 unsigned int len) {
  if (len == 0) {
    return;
  }
  const size_t j = (ctx->count[0] >> 3) & 63;  // [0, 63] bytes waiting
  const unsigned int bits = len << 3;          // low 32 bits of len * 8
  ctx->count[0] += bits;
  if (ctx->count[0] < bits) {
    ++ctx->count[1];
  }
  ctx->count[1] += len >> 29;  // bits of len * 8 above 32

  size_t n = len;
  if (j + n < kBlock) {
    std::memcpy(ctx->buffer + j, data, n);
    return;
  }
  if (j != 0) {
    const size_t take = kBlock - j;  // [1, 63]
    std::memcpy(ctx->buffer + j, data, take);
    tqdigest::Sha1Compress(Words(ctx->state), ctx->buffer, 1);
    data += take;
    n -= take;
  }
  const size_t blocks = n / kBlock;
  tqdigest::Sha1Compress(Words(ctx->state), data, blocks);
  data += blocks * kBlock;
  n -= blocks * kBlock;  // [0, 63]
  if (n != 0) {
    std::memcpy(ctx->buffer, data, n);
  }
}

void SHA1_final(unsigned char digest[20], SHA1Context* ctx) {
  unsigned char lengthBytes[8];
  tqdigest::StoreBe32(lengthBytes, ctx->count[1]);
  tqdigest::StoreBe32(lengthBytes + 4, ctx->count[0]);

  // 0x80, zeros up to 56 mod 64, then the bit count: one update call does
  // what feeding them a byte at a time would.
  unsigned char pad[kBlock + 8] = {0x80};
  const size_t waiting = (ctx->count[0] >> 3) & 63;
  const size_t zeros = (waiting < 56 ? 55 : 119) - waiting;  // [0, 63]
  std::memcpy(pad + 1 + zeros, lengthBytes, 8);
  SHA1_update(ctx, pad, static_cast<unsigned int>(1 + zeros + 8));

  for (size_t i = 0; i < kDigest / 4; ++i) {
    tqdigest::StoreBe32(digest + 4 * i, ctx->state[i]);
  }

  SecureWipe(ctx->buffer, sizeof ctx->buffer);
  SecureWipe(ctx->state, sizeof ctx->state);
  SecureWipe(ctx->count, sizeof ctx->count);
  SecureWipe(lengthBytes, sizeof lengthBytes);
  // Also overwrites whatever working storage the compression keeps.
  SHA1_transform(ctx->state, ctx->buffer);
}

void SHA1_transform(unsigned int state[5], const unsigned char block[64]) {
  tqdigest::Sha1Compress(Words(state), block, 1);
}

void HMAC_SHA1(unsigned char* out, const unsigned char* key, int keyLen,
               const unsigned char* msg, int msgLen) {
  SHA1Context ctx;
  unsigned char keyDigest[kDigest];
  size_t klen = keyLen > 0 ? static_cast<size_t>(keyLen) : 0;
  if (klen > kBlock) {
    // RFC 2104 §2: keys longer than the block are hashed first.
    SHA1_init(&ctx);
    SHA1_update(&ctx, key, static_cast<unsigned int>(klen));
    SHA1_final(keyDigest, &ctx);
    key = keyDigest;
    klen = kDigest;
  }

  unsigned char ipad[kBlock];
  unsigned char opad[kBlock];
  std::memset(ipad, 0x36, kBlock);
  std::memset(opad, 0x5c, kBlock);
  for (size_t i = 0; i < klen; ++i) {
    ipad[i] ^= key[i];
    opad[i] ^= key[i];
  }

  unsigned char inner[kDigest];
  SHA1_init(&ctx);
  SHA1_update(&ctx, ipad, kBlock);
  if (msgLen > 0) {
    SHA1_update(&ctx, msg, static_cast<unsigned int>(msgLen));
  }
  SHA1_final(inner, &ctx);

  SHA1_init(&ctx);
  SHA1_update(&ctx, opad, kBlock);
  SHA1_update(&ctx, inner, kDigest);
  SHA1_final(out, &ctx);

  SecureWipe(keyDigest, sizeof keyDigest);
  SecureWipe(ipad, sizeof ipad);
  SecureWipe(opad, sizeof opad);
  SecureWipe(inner, sizeof inner);
}
