#pragma once

// The SHA-1 engine under HMAC_SHA1 (digest/Sha1.h), FIPS 180-4; defined in
// digest/Sha1.cpp and not exported. Tests: tests/digest/Sha1_test.cpp

// Caller-held SHA-1 context. Its contents are part of the engine's contract:
// what each field holds after every call is stated below and tested.
struct SHA1Context {
  unsigned int state[5];     // chaining words A to E
  unsigned int count[2];     // bits so far: [0] low 32, [1] high 32 bits
  unsigned char buffer[64];  // bytes of the current block, at the front
};

// SHA1_init: sets `state` to the initial hash value and `count` to zero.
// `buffer` is left as it is (it holds nothing until bytes are fed).
void SHA1_init(SHA1Context* ctx);

// SHA1_update: feeds len bytes at data (data may be null when len is 0).
// `count` grows by len * 8 bits with carry into count[1]; complete blocks are
// compressed (straight from data where they do not start in `buffer`), and
// the remaining (count[0] / 8) % 64 bytes wait at the front of `buffer`.
void SHA1_update(SHA1Context* ctx, const unsigned char* data, unsigned int len);

// SHA1_final: pads the message, writes the 20-byte digest to `digest` (words
// most significant byte first) and wipes the context: afterwards `count` and
// `buffer` are zero and `state` holds the compression of an all-zero block
// under an all-zero chaining value, whatever was hashed. The context must be
// initialised again before further use.
void SHA1_final(unsigned char digest[20], SHA1Context* ctx);

// SHA1_transform: the SHA-1 compression function (80 rounds) of one 64-byte
// block into the five chaining words. The block is only read.
void SHA1_transform(unsigned int state[5], const unsigned char block[64]);
