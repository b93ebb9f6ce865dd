// Platform services next to what a caller would use instead: signing with a
// key held in the HTTP client vs raw EVP_DigestSign with a preloaded key;
// the strict Base64 and hex decoders vs OpenSSL's; the JSON wrapper vs
// nlohmann-json; the password service vs AES-GCM with a key in memory.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "internal/crypto/OpenSslHandles.h"
#include "platform/TQLibCurl.h"
#include "platform/TQPassword.h"
#include "platform/TqJson.h"
#include "platform/TqcConvert.h"
#include "util/Base64Codec.h"

namespace {

const std::string kSigningInput =
    "eyJhbGciOiJSUzI1NiIsInR5cCI6IkpXVCIsIng1dCI6ImFiYyJ9."
    "eyJhdWQiOiJodHRwczovL2xvZ2luLmV4YW1wbGUvdGVuYW50L29hdXRoMi92Mi4wL3Rva2Vu"
    "IiwgInN1YiI6ImFwcCIsICJpc3MiOiJhcHAiLCAiZXhwIjoxNzAwMDAzNjAwLCAibmJmIjox"
    "NzAwMDAwMDAwfQ";

// A scratch folder for the key file and TQ_HOME, made once.
const std::string& Scratch() {
  static const std::string dir = [] {
    char name[] = "/tmp/tqbench.XXXXXX";
    if (::mkdtemp(name) == nullptr) {
      std::abort();
    }
    ::setenv("TQ_HOME", name, 1);
    return std::string(name);
  }();
  return dir;
}

EVP_PKEY* Key() {
  static PkeyPtr key(EVP_RSA_gen(2048));
  return key.get();
}

const std::string& KeyFile() {
  static const std::string path = [] {
    const std::string p = Scratch() + "/id.pem";
    FILE* f = std::fopen(p.c_str(), "w");
    PEM_write_PrivateKey(f, Key(), nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
    return p;
  }();
  return path;
}

void BM_Sign_Ours(benchmark::State& state) {
  TQLibCurl client;
  unsigned char sig[4096];
  for (auto _ : state) {
    unsigned int length = sizeof sig;
    if (!client.SignSHA256withRSA(KeyFile(), kSigningInput, "", sig, length)) {
      state.SkipWithError("sign failed");
    }
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_Sign_Ours);

void BM_Sign_RawEvpPreloadedKey(benchmark::State& state) {
  unsigned char sig[4096];
  for (auto _ : state) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    size_t length = sizeof sig;
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, Key());
    EVP_DigestSign(ctx.get(), sig, &length,
                   reinterpret_cast<const unsigned char*>(kSigningInput.data()),
                   kSigningInput.size());
    benchmark::DoNotOptimize(sig);
  }
}
BENCHMARK(BM_Sign_RawEvpPreloadedKey);

std::string CertificateBase64() {
  std::vector<unsigned char> der(1400);
  RAND_bytes(der.data(), static_cast<int>(der.size()));
  std::vector<unsigned char> text(der.size() / 3 * 4 + 5);
  const int n =
      EVP_EncodeBlock(text.data(), der.data(), static_cast<int>(der.size()));
  return std::string(reinterpret_cast<char*>(text.data()),
                     static_cast<size_t>(n));
}

void BM_Base64Decode_Ours(benchmark::State& state) {
  const std::string text = CertificateBase64();
  std::string bytes;
  for (auto _ : state) {
    benchmark::DoNotOptimize(base64Decode(text, bytes));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Base64Decode_Ours);

void BM_Base64Decode_EvpDecodeBlock(benchmark::State& state) {
  const std::string text = CertificateBase64();
  std::vector<unsigned char> bytes(text.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(EVP_DecodeBlock(
        bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
        static_cast<int>(text.size())));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Base64Decode_EvpDecodeBlock);

constexpr char kThumbprint[] = "0123456789abcdef0123456789ABCDEF01234567";

void BM_Hex2Bin_Ours(benchmark::State& state) {
  for (auto _ : state) {
    TqcBucket b = Tqc::hex2bin(kThumbprint);
    benchmark::DoNotOptimize(b.getData());
  }
}
BENCHMARK(BM_Hex2Bin_Ours);

void BM_Hex2Bin_OpensslHexstr2buf(benchmark::State& state) {
  for (auto _ : state) {
    long len = 0;
    unsigned char* b = OPENSSL_hexstr2buf(kThumbprint, &len);
    benchmark::DoNotOptimize(b);
    OPENSSL_free(b);
  }
}
BENCHMARK(BM_Hex2Bin_OpensslHexstr2buf);

std::string TokenReply() {
  return R"({"token_type":"Bearer","expires_in":3599,"ext_expires_in":3599,)"
         R"("access_token":")" +
         std::string(1400, 'x') + "\"}";
}

void BM_TokenReply_TqJson(benchmark::State& state) {
  const std::string reply = TokenReply();
  for (auto _ : state) {
    TqJsonMap members;
    TqJson::Unserialize(reply, members);
    std::string token = TqJson::GetStringValue(members, "access_token");
    TqJsonValue expires;
    TqJson::FindValue(members, "expires_in", expires);
    benchmark::DoNotOptimize(expires.get_int());
    benchmark::DoNotOptimize(token.data());
  }
}
BENCHMARK(BM_TokenReply_TqJson);

void BM_TokenReply_Nlohmann(benchmark::State& state) {
  const std::string reply = TokenReply();
  for (auto _ : state) {
    const nlohmann::json j = nlohmann::json::parse(reply, nullptr, false);
    std::string token = j.value("access_token", "");
    benchmark::DoNotOptimize(j.at("expires_in").get<int>());
    benchmark::DoNotOptimize(token.data());
  }
}
BENCHMARK(BM_TokenReply_Nlohmann);

void BM_Decrypt_TQPassword(benchmark::State& state) {
  Scratch();
  std::string stored;
  if (!TQPassword().encrypt(std::string(40, 's'), stored)) {
    state.SkipWithError("encrypt failed");
    return;
  }
  char out[2048];
  for (auto _ : state) {
    unsigned long length = 2047;
    benchmark::DoNotOptimize(
        TQPassword().decrypt(stored.c_str(), out, &length));
  }
}
BENCHMARK(BM_Decrypt_TQPassword);

void BM_Decrypt_RawGcmKeyInMemory(benchmark::State& state) {
  unsigned char key[32];
  unsigned char nonce[12];
  unsigned char tag[16];
  unsigned char cipher[40];
  unsigned char plain[40] = {};
  RAND_bytes(key, sizeof key);
  RAND_bytes(nonce, sizeof nonce);
  {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce);
    EVP_EncryptUpdate(ctx.get(), cipher, &n, plain, sizeof plain);
    EVP_EncryptFinal_ex(ctx.get(), cipher + n, &n);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, 16, tag);
  }
  for (auto _ : state) {
    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nonce);
    EVP_DecryptUpdate(ctx.get(), plain, &n, cipher, sizeof cipher);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, 16, tag);
    benchmark::DoNotOptimize(EVP_DecryptFinal_ex(ctx.get(), plain + n, &n));
  }
}
BENCHMARK(BM_Decrypt_RawGcmKeyInMemory);

}  // namespace

BENCHMARK_MAIN();
