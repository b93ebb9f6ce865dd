#pragma once

#include "platform/TQExport.h"

// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104), context-based and
// one-shot. The caller allocates the context records; the library keeps no
// pointer to them and no state of its own, so separate contexts may be used
// from any number of threads. None of these functions can fail.
// Tests: tests/digest/Sha256_test.cpp

// SHA-256 context. Callers may read the fields; their contents after each
// call are part of the interface.
struct sha256 {
  // The digest, written by sha256_finalize: state words, each most
  // significant byte first. sha256_initialize leaves it as it is.
  unsigned char hash[32];
  // The block being filled: byte i of the block sits in word i / 4 at bit
  // (3 - i % 4) * 8. Words not reached yet are zero; a consumed block leaves
  // all sixteen zero.
  unsigned int buffer[16];
  // Chaining words H0 to H7.
  unsigned int state[8];
  // Message length so far in bits, a 64-bit number, most significant byte
  // first. (length / 8) % 64 bytes wait in `buffer`.
  unsigned char length[8];
};

// HMAC-SHA256 context.
struct _hmac_sha256 {
  // The HMAC once hmac_sha256_finalize returns (the inner digest on the way).
  unsigned char digest[32];
  // Key block XOR 0x36 (inner pad) after initialisation, XOR 0x5c (outer pad)
  // once finalisation has begun.
  unsigned char key[64];
  // The running SHA-256.
  sha256 sha;
};

// sha256_initialize: starts a digest: `buffer` and `length` zero, `state` the
// FIPS 180-4 initial value. `hash` is left as it is.
TQ_EXPORT void sha256_initialize(sha256* ctx);

// sha256_update: feeds len bytes at data (data may be null when len is 0):
// adds len * 8 to `length` (the ordinary 64-bit sum), compresses every block
// that completes (whole blocks straight from data) and leaves the rest in
// `buffer`.
TQ_EXPORT void sha256_update(sha256* ctx, const unsigned char* data,
                             unsigned int len);

// sha256_finalize: feeds len trailing bytes (0 for none), then the padding
// (0x80, zeros, the 8 length bytes: 9 to 72 bytes, through sha256_update), and
// writes the digest into ctx->hash. The context is not wiped: `length` and
// `state` include the padding and `buffer` is zero. Initialise again before
// reusing it.
TQ_EXPORT void sha256_finalize(sha256* ctx, const unsigned char* data,
                               unsigned int len);

// sha256_get: one-shot SHA-256 of len bytes at data into out (32 bytes). A
// negative len counts as 0 (the digest of the empty message; nothing is read).
TQ_EXPORT void sha256_get(unsigned char* out, const unsigned char* data,
                          int len);

// hmac_sha256_initialize: starts HMAC-SHA256 with a key of keyLen bytes.
// A key longer than 64 bytes is first hashed with ctx->sha (its digest is
// left in ctx->sha.hash until finalisation overwrites it); `key` becomes the
// key block XOR 0x36, and ctx->sha has absorbed it. A negative keyLen counts
// as an empty key; key may be null when keyLen is 0 or less.
TQ_EXPORT void hmac_sha256_initialize(_hmac_sha256* ctx,
                                      const unsigned char* key, int keyLen);

// hmac_sha256_update: feeds len message bytes. A negative len counts as 0
// (nothing is read).
TQ_EXPORT void hmac_sha256_update(_hmac_sha256* ctx, const unsigned char* data,
                                  int len);

// hmac_sha256_finalize: feeds len trailing message bytes (0 for none; a
// negative len counts as 0), turns `key` into the outer pad in place and
// writes the HMAC into ctx->digest. A further update or finalisation needs a
// new hmac_sha256_initialize first; without one the result is meaningless.
TQ_EXPORT void hmac_sha256_finalize(_hmac_sha256* ctx,
                                    const unsigned char* data, int len);

// HMAC_SHA256: one-shot HMAC-SHA256(key, msg) into out (32 bytes): output,
// key, key length, message, message length. Negative lengths count as 0. The
// working context, which holds the padded key, is wiped before returning.
TQ_EXPORT void HMAC_SHA256(unsigned char* out, const unsigned char* key,
                           int keyLen, const unsigned char* msg, int msgLen);
