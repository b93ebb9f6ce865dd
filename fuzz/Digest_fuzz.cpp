// The digests: SHA-1 through the library's internal engine, HMAC_SHA1,
// SHA-256 and HMAC-SHA256 (context and one-shot). The message is fed in
// fuzz-chosen pieces and at once; every way must give OpenSSL's result.

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "digest/Sha1.h"
#include "digest/Sha256.h"
#include "digest/internal/Sha1Engine.h"
#include "fuzz/FuzzSupport.h"

namespace {

std::string Bytes(const unsigned char* p, size_t n) {
  return std::string(reinterpret_cast<const char*>(p), n);
}

std::string OpenSslDigest(const EVP_MD* md, const std::string& msg) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(msg.data(), msg.size(), out, &n, md, nullptr);
  return Bytes(out, n);
}

std::string OpenSslHmac(const EVP_MD* md, const std::string& key,
                        const std::string& msg) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(md, key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(msg.data()), msg.size(), out, &n);
  return Bytes(out, n);
}

const unsigned char* U(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  // Layout: key length, key, number of cuts, cut lengths, message.
  tqfuzz::Reader in(data, size);
  const std::string key =
      in.Bytes(in.Byte() % 160);  // also longer than a block
  std::vector<size_t> pieces(in.Byte() % 16);
  for (size_t& p : pieces) {
    p = in.Byte();
  }
  const std::string msg = in.Rest();
  // The message in pieces: the cut lengths, then whatever is left.
  std::vector<std::string> parts;
  size_t at = 0;
  for (const size_t p : pieces) {
    const size_t n = std::min(p, msg.size() - at);
    parts.push_back(msg.substr(at, n));
    at += n;
  }
  parts.push_back(msg.substr(at));

  const std::string want1 = OpenSslDigest(EVP_sha1(), msg);
  SHA1Context c1;
  SHA1_init(&c1);
  for (const std::string& part : parts) {
    SHA1_update(&c1, U(part), static_cast<unsigned int>(part.size()));
  }
  unsigned char d1[20];
  SHA1_final(d1, &c1);
  FUZZ_CHECK(Bytes(d1, 20) == want1, "SHA-1 in pieces differs from OpenSSL");
  SHA1_init(&c1);
  SHA1_update(&c1, U(msg), static_cast<unsigned int>(msg.size()));
  SHA1_final(d1, &c1);
  FUZZ_CHECK(Bytes(d1, 20) == want1, "SHA-1 at once differs from OpenSSL");

  unsigned char h1[20];
  HMAC_SHA1(h1, U(key), static_cast<int>(key.size()), U(msg),
            static_cast<int>(msg.size()));
  FUZZ_CHECK(Bytes(h1, 20) == OpenSslHmac(EVP_sha1(), key, msg),
             "HMAC_SHA1 differs from OpenSSL");

  const std::string want256 = OpenSslDigest(EVP_sha256(), msg);
  sha256 c2;
  sha256_initialize(&c2);
  // The last piece through finalize, as a caller may pass it.
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    sha256_update(&c2, U(parts[i]), static_cast<unsigned int>(parts[i].size()));
  }
  sha256_finalize(&c2, U(parts.back()),
                  static_cast<unsigned int>(parts.back().size()));
  FUZZ_CHECK(Bytes(c2.hash, 32) == want256,
             "SHA-256 in pieces differs from OpenSSL");
  unsigned char d2[32];
  sha256_get(d2, U(msg), static_cast<int>(msg.size()));
  FUZZ_CHECK(Bytes(d2, 32) == want256, "sha256_get differs from OpenSSL");

  const std::string hmac256 = OpenSslHmac(EVP_sha256(), key, msg);
  _hmac_sha256 h;
  hmac_sha256_initialize(&h, U(key), static_cast<int>(key.size()));
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    hmac_sha256_update(&h, U(parts[i]), static_cast<int>(parts[i].size()));
  }
  hmac_sha256_finalize(&h, U(parts.back()),
                       static_cast<int>(parts.back().size()));
  FUZZ_CHECK(Bytes(h.digest, 32) == hmac256,
             "HMAC-SHA256 in pieces differs from OpenSSL");
  unsigned char h2[32];
  HMAC_SHA256(h2, U(key), static_cast<int>(key.size()), U(msg),
              static_cast<int>(msg.size()));
  FUZZ_CHECK(Bytes(h2, 32) == hmac256, "HMAC_SHA256 differs from OpenSSL");
  return 0;
}
