// SHA-1, SHA-256 and their HMACs next to what a user would call instead:
// OpenSSL 3's one-shot EVP_Digest / HMAC(), and its fastest form (a fetched
// algorithm and a context reused across calls). Messages of 64 B, 1 KiB and
// 1 MiB; throughput is reported as bytes per second.
//
//   digest_bench --benchmark_min_time=0.2

#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "digest/Sha1.h"
#include "digest/Sha256.h"
#include "digest/internal/Sha1Engine.h"
#include "digest/internal/ShaCompress.h"
#include "internal/crypto/OpenSslHandles.h"

namespace {

// 31 characters and the terminator: a 32-byte key.
const unsigned char kKey[32] = "HMAC key for the digest bench..";

const std::vector<unsigned char>& Message(size_t n) {
  static const std::vector<unsigned char> msg = [] {
    std::vector<unsigned char> m(1 << 20);
    for (size_t i = 0; i < m.size(); ++i) {
      m[i] = static_cast<unsigned char>(i * 131 + 7);
    }
    return m;
  }();
  if (n > msg.size()) {
    std::abort();
  }
  return msg;
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(64)->Arg(1024)->Arg(1 << 20);
}

// Runs body once per iteration and reports bytes per second.
template <class Body>
void Run(benchmark::State& state, Body body) {
  const size_t n = static_cast<size_t>(state.range(0));
  const unsigned char* msg = Message(n).data();
  unsigned char out[EVP_MAX_MD_SIZE];
  for (auto _ : state) {
    body(msg, n, out);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(n));
}

// Forces our portable back end for one benchmark, then restores the choice.
struct PortableBackEnd {
  PortableBackEnd() {
    tqdigest::SelectShaBackend(tqdigest::ShaBackend::kPortable);
  }
  ~PortableBackEnd() {
    tqdigest::SelectShaBackend(tqdigest::ShaBackend::kAuto);
  }
};

// --- SHA-1 ------------------------------------------------------------------

void Sha1Ours(const unsigned char* msg, size_t n, unsigned char* out) {
  SHA1Context ctx;
  SHA1_init(&ctx);
  SHA1_update(&ctx, msg, static_cast<unsigned int>(n));
  SHA1_final(out, &ctx);
}

void BM_Sha1_Ours(benchmark::State& state) { Run(state, Sha1Ours); }

void BM_Sha1_OursPortable(benchmark::State& state) {
  PortableBackEnd portable;
  Run(state, Sha1Ours);
}

void BM_Sha1_OpenSslEvpDigest(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    EVP_Digest(msg, n, out, nullptr, EVP_sha1(), nullptr);
  });
}

// --- SHA-256 ----------------------------------------------------------------

void BM_Sha256_Ours(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    sha256_get(out, msg, static_cast<int>(n));
  });
}

void BM_Sha256_OursPortable(benchmark::State& state) {
  PortableBackEnd portable;
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    sha256_get(out, msg, static_cast<int>(n));
  });
}

void BM_Sha256_OpenSslEvpDigest(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    EVP_Digest(msg, n, out, nullptr, EVP_sha256(), nullptr);
  });
}

// OpenSSL at its fastest: algorithm fetched once, one context reused.
void EvpReused(benchmark::State& state, const char* name) {
  MdPtr md(EVP_MD_fetch(nullptr, name, nullptr));
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (!md || !ctx) {
    state.SkipWithError("EVP_MD_fetch");
    return;
  }
  Run(state, [&](const unsigned char* msg, size_t n, unsigned char* out) {
    EVP_DigestInit_ex2(ctx.get(), md.get(), nullptr);
    EVP_DigestUpdate(ctx.get(), msg, n);
    EVP_DigestFinal_ex(ctx.get(), out, nullptr);
  });
}

void BM_Sha1_OpenSslEvpReused(benchmark::State& state) {
  EvpReused(state, "SHA1");
}
void BM_Sha256_OpenSslEvpReused(benchmark::State& state) {
  EvpReused(state, "SHA256");
}

// --- HMAC -------------------------------------------------------------------

void BM_HmacSha1_Ours(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    HMAC_SHA1(out, kKey, sizeof kKey, msg, static_cast<int>(n));
  });
}

void BM_HmacSha256_Ours(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    HMAC_SHA256(out, kKey, sizeof kKey, msg, static_cast<int>(n));
  });
}

void BM_HmacSha1_OpenSslHmac(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    HMAC(EVP_sha1(), kKey, sizeof kKey, msg, n, out, nullptr);
  });
}

void BM_HmacSha256_OpenSslHmac(benchmark::State& state) {
  Run(state, [](const unsigned char* msg, size_t n, unsigned char* out) {
    HMAC(EVP_sha256(), kKey, sizeof kKey, msg, n, out, nullptr);
  });
}

// OpenSSL at its fastest: MAC fetched once, one context reused; the key is
// still set on every call, as each of our calls takes one.
void EvpMacReused(benchmark::State& state, const char* digest) {
  MacPtr mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
  MacCtxPtr ctx(mac ? EVP_MAC_CTX_new(mac.get()) : nullptr);
  if (!ctx) {
    state.SkipWithError("EVP_MAC_fetch");
    return;
  }
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST,
                                       const_cast<char*>(digest), 0),
      OSSL_PARAM_construct_end()};
  if (EVP_MAC_CTX_set_params(ctx.get(), params) != 1) {
    state.SkipWithError("EVP_MAC_CTX_set_params");
    return;
  }
  Run(state, [&](const unsigned char* msg, size_t n, unsigned char* out) {
    size_t outLen = 0;
    EVP_MAC_init(ctx.get(), kKey, sizeof kKey, nullptr);
    EVP_MAC_update(ctx.get(), msg, n);
    EVP_MAC_final(ctx.get(), out, &outLen, EVP_MAX_MD_SIZE);
  });
}

void BM_HmacSha1_OpenSslEvpMacReused(benchmark::State& state) {
  EvpMacReused(state, "SHA1");
}
void BM_HmacSha256_OpenSslEvpMacReused(benchmark::State& state) {
  EvpMacReused(state, "SHA256");
}

}  // namespace

BENCHMARK(BM_Sha1_Ours)->Apply(Sizes);
BENCHMARK(BM_Sha1_OpenSslEvpDigest)->Apply(Sizes);
BENCHMARK(BM_Sha1_OpenSslEvpReused)->Apply(Sizes);
BENCHMARK(BM_Sha1_OursPortable)->Apply(Sizes);
BENCHMARK(BM_Sha256_Ours)->Apply(Sizes);
BENCHMARK(BM_Sha256_OpenSslEvpDigest)->Apply(Sizes);
BENCHMARK(BM_Sha256_OpenSslEvpReused)->Apply(Sizes);
BENCHMARK(BM_Sha256_OursPortable)->Apply(Sizes);
BENCHMARK(BM_HmacSha1_Ours)->Apply(Sizes);
BENCHMARK(BM_HmacSha1_OpenSslHmac)->Apply(Sizes);
BENCHMARK(BM_HmacSha1_OpenSslEvpMacReused)->Apply(Sizes);
BENCHMARK(BM_HmacSha256_Ours)->Apply(Sizes);
BENCHMARK(BM_HmacSha256_OpenSslHmac)->Apply(Sizes);
BENCHMARK(BM_HmacSha256_OpenSslEvpMacReused)->Apply(Sizes);

BENCHMARK_MAIN();
