// Our URL and Base64 codecs next to the calls a user would make instead:
// OpenSSL's EVP_EncodeBlock / EVP_DecodeBlock and libcurl's
// curl_easy_escape / curl_easy_unescape. Each pair runs on the same input
// at 64 B, 1 KiB and 1 MiB; compare bytes_per_second within a pair.

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "internal/net/CurlHandles.h"
#include "util/Base64Codec.h"
#include "util/UrlCodec.h"

namespace {

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

std::string RandomBytes(size_t n) {
  std::mt19937 rng(1234);
  std::string s(n, '\0');
  for (char& c : s) {
    c = static_cast<char>(rng() & 0xFF);
  }
  return s;
}

// Form-value-like text: words, digits, spaces, punctuation and UTF-8, so
// roughly a quarter of the bytes need escaping.
std::string MixedText(size_t n) {
  static const std::string kPhrase =
      "scope=https://vault.example.net/.default&name=Jos\xC3\xA9 "
      "M\xC3\xBCller; 50% off! tag_v1.2~x (a+b)*c ";
  std::string s;
  while (s.size() < n) {
    s += kPhrase;
  }
  s.resize(n);
  return s;
}

// Valid Base64 of exactly n characters (n a multiple of 4).
std::string Base64Text(size_t n) {
  const std::string data = RandomBytes(n / 4 * 3);
  return Base64Encode(U(data), static_cast<int>(data.size()));
}

// Escaped text of exactly n characters, as curl_easy_escape writes it.
std::string EscapedText(size_t n) {
  CurlPtr curl(curl_easy_init());
  const std::string mixed = MixedText(n);
  CurlTextPtr escaped(
      curl_easy_escape(curl.get(), mixed.data(), static_cast<int>(n)));
  std::string s(escaped.get());
  s.resize(n);
  return s;
}

void SizeArgs(benchmark::internal::Benchmark* b) {
  b->Arg(64)->Arg(1 << 10)->Arg(1 << 20);
}

// --- Base64 encode --------------------------------------------------------

void BM_Base64Encode(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string out = Base64Encode(U(data), static_cast<int>(data.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Apply(SizeArgs);

void BM_base64Encode(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<char> out((data.size() + 2) / 3 * 4);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        base64Encode(U(data), static_cast<int>(data.size()), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_base64Encode)->Apply(SizeArgs);

void BM_EVP_EncodeBlock(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> out((data.size() + 2) / 3 * 4 + 1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_EncodeBlock(out.data(), U(data), static_cast<int>(data.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EVP_EncodeBlock)->Apply(SizeArgs);

// --- Base64 decode (valid text; sizes are text lengths) --------------------

void BM_Base64Decode(benchmark::State& state) {
  const std::string text = Base64Text(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string out = Base64Decode(U(text), static_cast<int>(text.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Apply(SizeArgs);

void BM_base64Decode(benchmark::State& state) {
  const std::string text = Base64Text(static_cast<size_t>(state.range(0)));
  std::vector<char> out(text.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        base64Decode(U(text), static_cast<int>(text.size()), out.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_base64Decode)->Apply(SizeArgs);

void BM_EVP_DecodeBlock(benchmark::State& state) {
  const std::string text = Base64Text(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> out(text.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        EVP_DecodeBlock(out.data(), U(text), static_cast<int>(text.size())));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EVP_DecodeBlock)->Apply(SizeArgs);

// --- URL encode / decode (string forms, mixed text) ------------------------

void BM_urlEncode(benchmark::State& state) {
  const std::string text = MixedText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string out = urlEncode(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_urlEncode)->Apply(SizeArgs);

void BM_curl_easy_escape(benchmark::State& state) {
  const std::string text = MixedText(static_cast<size_t>(state.range(0)));
  CurlPtr curl(curl_easy_init());
  for (auto _ : state) {
    CurlTextPtr out(curl_easy_escape(curl.get(), text.data(),
                                     static_cast<int>(text.size())));
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_curl_easy_escape)->Apply(SizeArgs);

void BM_urlDecode(benchmark::State& state) {
  const std::string text = EscapedText(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    std::string out = urlDecode(text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_urlDecode)->Apply(SizeArgs);

void BM_curl_easy_unescape(benchmark::State& state) {
  const std::string text = EscapedText(static_cast<size_t>(state.range(0)));
  CurlPtr curl(curl_easy_init());
  for (auto _ : state) {
    int length = 0;
    CurlTextPtr out(curl_easy_unescape(curl.get(), text.data(),
                                       static_cast<int>(text.size()), &length));
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_curl_easy_unescape)->Apply(SizeArgs);

}  // namespace

BENCHMARK_MAIN();
