#include "digest/internal/ShaCompress.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#define TQ_HAVE_X86 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define TQ_HAVE_X86 0
#endif

namespace tqdigest {
namespace {

static_assert(sizeof(unsigned int) == 4,
              "the context records hold 32-bit words as unsigned int");

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// SHA-256 round constants, FIPS 180-4 §4.2.2. Aligned for the 16-byte loads
// of the SHA-NI back end.
alignas(64) constexpr uint32_t kK256[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1,
    0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3,
    0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
    0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
    0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
    0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// SHA-1 round constants, FIPS 180-4 §4.2.1.
constexpr uint32_t kK1[4] = {0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xca62c1d6};

#if TQ_HAVE_X86
#define TQ_SHA_TARGET __attribute__((target("sha,sse4.1")))
#define TQ_SHA_INLINE \
  inline __attribute__((always_inline, target("sha,sse4.1")))

inline __m128i LoadU128(const void* p) {
  return _mm_loadu_si128(static_cast<const __m128i*>(p));
}

// SHA1RNDS4 takes its round-function selector as an immediate; the switch
// keeps it a literal in every build, and folds away once the caller's loop
// is unrolled.
TQ_SHA_INLINE __m128i Sha1Rounds4(__m128i abcd, __m128i e, int group) {
  switch (group / 5) {
    case 0:
      return _mm_sha1rnds4_epu32(abcd, e, 0);
    case 1:
      return _mm_sha1rnds4_epu32(abcd, e, 1);
    case 2:
      return _mm_sha1rnds4_epu32(abcd, e, 2);
    default:
      return _mm_sha1rnds4_epu32(abcd, e, 3);
  }
}
#endif

struct Backend {
  ShaBackend kind;
  void (*sha1)(uint32_t*, const unsigned char*, size_t);
  void (*sha256)(uint32_t*, const unsigned char*, size_t);
};

constexpr Backend kPortable{ShaBackend::kPortable, Sha1CompressPortable,
                            Sha256CompressPortable};
constexpr Backend kShaNi{ShaBackend::kShaNi, Sha1CompressShaNi,
                         Sha256CompressShaNi};

const Backend* Best() { return CpuHasShaExtensions() ? &kShaNi : &kPortable; }

// The first compression of the process picks the back end: a constant
// initial value needs no static-initialisation order, and racing first calls
// all store the same answer.
void Sha1Resolve(uint32_t* state, const unsigned char* data, size_t blocks);
void Sha256Resolve(uint32_t* state, const unsigned char* data, size_t blocks);
constexpr Backend kUnresolved{ShaBackend::kAuto, Sha1Resolve, Sha256Resolve};
std::atomic<const Backend*> g_backend{&kUnresolved};

void Sha1Resolve(uint32_t* state, const unsigned char* data, size_t blocks) {
  const Backend* b = Best();
  g_backend.store(b, std::memory_order_relaxed);
  b->sha1(state, data, blocks);
}

void Sha256Resolve(uint32_t* state, const unsigned char* data, size_t blocks) {
  const Backend* b = Best();
  g_backend.store(b, std::memory_order_relaxed);
  b->sha256(state, data, blocks);
}

}  // namespace

bool CpuHasShaExtensions() {
#if TQ_HAVE_X86
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid_max(0, nullptr) < 7) {
    return false;
  }
  __cpuid(1, eax, ebx, ecx, edx);
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  // Leaf 7, sub-leaf 0, EBX bit 29: SHA. __builtin_cpu_supports has no
  // name for it in GCC 12.
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool sha = (ebx & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

bool SelectShaBackend(ShaBackend kind) {
  const Backend* b = nullptr;
  switch (kind) {
    case ShaBackend::kAuto:
      b = Best();
      break;
    case ShaBackend::kPortable:
      b = &kPortable;
      break;
    case ShaBackend::kShaNi:
      if (!CpuHasShaExtensions()) {
        return false;
      }
      b = &kShaNi;
      break;
  }
  g_backend.store(b, std::memory_order_relaxed);
  return true;
}

ShaBackend ActiveShaBackend() {
  const Backend* b = g_backend.load(std::memory_order_relaxed);
  return b == &kUnresolved ? Best()->kind : b->kind;
}

void Sha1Compress(uint32_t state[5], const unsigned char* data, size_t blocks) {
  if (blocks != 0) {
    g_backend.load(std::memory_order_relaxed)->sha1(state, data, blocks);
  }
}

void Sha256Compress(uint32_t state[8], const unsigned char* data,
                    size_t blocks) {
  if (blocks != 0) {
    g_backend.load(std::memory_order_relaxed)->sha256(state, data, blocks);
  }
}

void Sha1CompressPortable(uint32_t state[5], const unsigned char* data,
                          size_t blocks) {
  for (; blocks != 0; --blocks, data += 64) {
    // Sixteen-word rolling schedule; the caller's block is only read.
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) {
      w[i] = LoadBe32(data + 4 * i);
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3],
             e = state[4];
#pragma GCC unroll 80
    for (int t = 0; t < 80; ++t) {
      uint32_t wt = w[t & 15];
      if (t >= 16) {
        // W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16], FIPS 180-4 §6.1.2
        wt = Rotl(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ wt, 1);
        w[t & 15] = wt;
      }
      uint32_t f;
      if (t < 20) {
        f = (b & c) | (~b & d);
      } else if (t < 40 || t >= 60) {
        f = b ^ c ^ d;
      } else {
        f = (b & c) | (b & d) | (c & d);
      }
      const uint32_t temp = Rotl(a, 5) + f + e + kK1[t / 20] + wt;
      e = d;
      d = c;
      c = Rotl(b, 30);
      b = a;
      a = temp;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

void Sha256CompressPortable(uint32_t state[8], const unsigned char* data,
                            size_t blocks) {
  for (; blocks != 0; --blocks, data += 64) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = LoadBe32(data + 4 * i);
    }
    // FIPS 180-4 §6.2.2 step 1
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 =
          Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 =
          Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = s1 + w[t - 7] + s0 + w[t - 16];
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3],
             e = state[4], f = state[5], g = state[6], h = state[7];
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
      const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) +
                          ((e & f) ^ (~e & g)) + kK256[t] + w[t];
      const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) +
                          ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

#if TQ_HAVE_X86

TQ_SHA_TARGET void Sha1CompressShaNi(uint32_t state[5],
                                     const unsigned char* data, size_t blocks) {
  // Reverses the bytes of the whole register: big-endian words, and word 0
  // of the block in the top lane where SHA1RNDS4 wants it.
  const __m128i kReverse =
      _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(LoadU128(state), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);

  for (; blocks != 0; --blocks, data += 64) {
    const __m128i abcdSave = abcd;
    const __m128i eSave = e0;
    __m128i w[4];  // W[4g .. 4g+3] sits in w[g % 4]
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(LoadU128(data + 16 * i), kReverse);
    }
    __m128i prev = abcd;
    __m128i e = _mm_add_epi32(e0, w[0]);
#pragma GCC unroll 20
    for (int g = 0; g < 20; ++g) {
      if (g != 0) {
        // E of this group is the A of the group before last, rotated.
        e = _mm_sha1nexte_epu32(prev, w[g & 3]);
      }
      prev = abcd;
      abcd = Sha1Rounds4(abcd, e, g);
      if (g < 16) {
        // W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]) for the group
        // four ahead, into the slot just consumed.
        const __m128i x = _mm_xor_si128(
            _mm_sha1msg1_epu32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3]);
        w[g & 3] = _mm_sha1msg2_epu32(x, w[(g + 3) & 3]);
      }
    }
    e0 = _mm_sha1nexte_epu32(prev, eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }

  _mm_storeu_si128(reinterpret_cast<__m128i*>(state),
                   _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

TQ_SHA_TARGET void Sha256CompressShaNi(uint32_t state[8],
                                       const unsigned char* data,
                                       size_t blocks) {
  // Byte swap within each 32-bit word.
  const __m128i kBswap =
      _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  // SHA256RNDS2 keeps the state as ABEF and CDGH.
  __m128i tmp = _mm_shuffle_epi32(LoadU128(state), 0xB1);         // CDAB
  __m128i state1 = _mm_shuffle_epi32(LoadU128(state + 4), 0x1B);  // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);               // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);                    // CDGH

  for (; blocks != 0; --blocks, data += 64) {
    const __m128i save0 = state0;
    const __m128i save1 = state1;
    __m128i w[4];  // W[4i .. 4i+3] sits in w[i % 4]
    for (int i = 0; i < 4; ++i) {
      w[i] = _mm_shuffle_epi8(LoadU128(data + 16 * i), kBswap);
    }
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      __m128i m = _mm_add_epi32(w[i & 3], LoadU128(kK256 + 4 * i));
      state1 = _mm_sha256rnds2_epu32(state1, state0, m);
      if (i < 12) {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16] for the four
        // words sixteen ahead, into the slot just consumed.
        __m128i x = _mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]);
        x = _mm_add_epi32(x,
                          _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
        w[i & 3] = _mm_sha256msg2_epu32(x, w[(i + 3) & 3]);
      }
      m = _mm_shuffle_epi32(m, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, m);
    }
    state0 = _mm_add_epi32(state0, save0);
    state1 = _mm_add_epi32(state1, save1);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

#else  // !TQ_HAVE_X86: never selected; keeps the link table whole.

void Sha1CompressShaNi(uint32_t state[5], const unsigned char* data,
                       size_t blocks) {
  Sha1CompressPortable(state, data, blocks);
}

void Sha256CompressShaNi(uint32_t state[8], const unsigned char* data,
                         size_t blocks) {
  Sha256CompressPortable(state, data, blocks);
}

#endif

}  // namespace tqdigest
