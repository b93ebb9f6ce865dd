#pragma once

#include <cstddef>
#include <cstdint>

// Internal: the SHA-1 and SHA-256 compression functions of FIPS 180-4 behind
// the digest modules, in two back ends: portable C++ and the x86 SHA
// extensions. The back end is chosen once per process from cpuid; tests and
// benchmarks may force one. Nothing here is exported from the library.
// Tests: tests/internal/ShaCompress_test.cpp

namespace tqdigest {

enum class ShaBackend {
  kAuto,      // the fastest one this CPU runs (only for SelectShaBackend)
  kPortable,  // plain C++, any host
  kShaNi,     // SHA extensions (SHA1RNDS4, SHA256RNDS2 ...), x86 only
};

// CpuHasShaExtensions: true when cpuid reports the SHA extensions together
// with SSSE3 and SSE4.1 (which the SHA-NI back end also uses); false on other
// CPUs and on non-x86 builds.
bool CpuHasShaExtensions();

// SelectShaBackend: makes `kind` the back end of every later compression in
// the process and returns true; kAuto picks the fastest available. Returns
// false and changes nothing when the CPU cannot run `kind`. Safe to call from
// any thread, but meant for tests and benchmarks only.
bool SelectShaBackend(ShaBackend kind);

// ActiveShaBackend: the back end compressions currently use (never kAuto).
ShaBackend ActiveShaBackend();

// Sha1Compress / Sha256Compress: run the compression function over `blocks`
// complete 64-byte blocks at `data` (any alignment, words read most
// significant byte first), updating the chaining words in `state`. `data` is
// only read. blocks == 0 does nothing.
void Sha1Compress(uint32_t state[5], const unsigned char* data, size_t blocks);
void Sha256Compress(uint32_t state[8], const unsigned char* data,
                    size_t blocks);

// The back ends themselves, for tests that compare them. The SHA-NI ones
// must only be called when CpuHasShaExtensions() is true.
void Sha1CompressPortable(uint32_t state[5], const unsigned char* data,
                          size_t blocks);
void Sha256CompressPortable(uint32_t state[8], const unsigned char* data,
                            size_t blocks);
void Sha1CompressShaNi(uint32_t state[5], const unsigned char* data,
                       size_t blocks);
void Sha256CompressShaNi(uint32_t state[8], const unsigned char* data,
                         size_t blocks);

// Big-endian word access shared by the digest modules.
inline uint32_t LoadBe32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
         (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

inline void StoreBe32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

}  // namespace tqdigest
