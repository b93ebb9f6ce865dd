#include "tools/idp/Jwt.h"

#include <openssl/rsa.h>

#include <array>
#include <memory>

#include "internal/crypto/OpenSslHandles.h"

namespace tqidp {
namespace {

// RFC 4648 section 5, table 2.
constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Each byte's 6-bit value, or -1 for a byte outside the alphabet.
constexpr std::array<signed char, 256> MakeDecodeTable() {
  std::array<signed char, 256> table{};
  for (signed char& v : table) {
    v = -1;
  }
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(kAlphabet[i])] =
        static_cast<signed char>(i);
  }
  return table;
}
constexpr std::array<signed char, 256> kDecode = MakeDecodeTable();

// Binds the digest, and for PS256 the padding, to a fresh context.
bool InitContext(EVP_MD_CTX* ctx, EVP_PKEY* key, JwsAlg alg, bool sign) {
  if (!EVP_PKEY_is_a(key, "RSA")) {
    return false;
  }
  EVP_PKEY_CTX* pctx = nullptr;  // owned by ctx
  const int ok =
      sign ? EVP_DigestSignInit(ctx, &pctx, EVP_sha256(), nullptr, key)
           : EVP_DigestVerifyInit(ctx, &pctx, EVP_sha256(), nullptr, key);
  if (ok != 1) {
    return false;
  }
  if (alg == JwsAlg::kPs256) {
    return EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
           EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST) ==
               1 &&
           EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, EVP_sha256()) == 1;
  }
  return EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING) == 1;
}

}  // namespace

std::string Base64UrlEncode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned long v =
        (static_cast<unsigned long>(static_cast<unsigned char>(bytes[i]))
         << 16) |
        (static_cast<unsigned long>(static_cast<unsigned char>(bytes[i + 1]))
         << 8) |
        static_cast<unsigned char>(bytes[i + 2]);  // [0, 2^24)
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = bytes.size() - i;  // [0, 2]
  if (rest > 0) {
    unsigned long v =
        static_cast<unsigned long>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) {
      v |= static_cast<unsigned long>(static_cast<unsigned char>(bytes[i + 1]))
           << 8;
    }
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    if (rest == 2) {
      out += kAlphabet[(v >> 6) & 63];
    }
  }
  return out;
}

bool Base64UrlDecode(std::string_view text, std::string& out) {
  out.clear();
  if (text.size() % 4 == 1) {
    return false;
  }
  out.reserve(text.size() * 3 / 4);
  unsigned long acc = 0;  // the last [0, 4) characters' bits
  int bits = 0;           // [0, 24)
  for (const char c : text) {
    const signed char v = kDecode[static_cast<unsigned char>(c)];
    if (v < 0) {
      out.clear();
      return false;
    }
    acc = (acc << 6) | static_cast<unsigned long>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xff);
      acc &= (1ul << bits) - 1;
    }
  }
  // The 2 or 4 bits left after the last byte must be zero, so that each byte
  // string has exactly one encoding.
  if (acc != 0) {
    out.clear();
    return false;
  }
  return true;
}

bool ParseJws(std::string_view compact, Jws& out) {
  const size_t first = compact.find('.');
  if (first == std::string_view::npos) {
    return false;
  }
  const size_t second = compact.find('.', first + 1);
  if (second == std::string_view::npos ||
      compact.find('.', second + 1) != std::string_view::npos) {
    return false;
  }
  const std::string_view header = compact.substr(0, first);
  const std::string_view payload =
      compact.substr(first + 1, second - first - 1);
  const std::string_view signature = compact.substr(second + 1);
  if (header.empty() || payload.empty() || signature.empty()) {
    return false;
  }
  if (!Base64UrlDecode(header, out.header) ||
      !Base64UrlDecode(payload, out.payload) ||
      !Base64UrlDecode(signature, out.signature)) {
    return false;
  }
  out.signingInput = std::string(compact.substr(0, second));
  return true;
}

bool SignJws(EVP_PKEY* key, JwsAlg alg, std::string_view input,
             std::string& out) {
  out.clear();
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || !InitContext(ctx.get(), key, alg, true)) {
    return false;
  }
  size_t length = 0;
  const auto* data = reinterpret_cast<const unsigned char*>(input.data());
  if (EVP_DigestSign(ctx.get(), nullptr, &length, data, input.size()) != 1) {
    return false;
  }
  out.resize(length);
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(out.data()),
                     &length, data, input.size()) != 1) {
    out.clear();
    return false;
  }
  out.resize(length);
  return true;
}

bool VerifyJws(EVP_PKEY* key, JwsAlg alg, std::string_view input,
               std::string_view signature) {
  // RSA signatures are exactly the modulus long (RFC 8017 8.1.2, 8.2.2);
  // OpenSSL also takes one whose leading zero bytes were dropped.
  if (key == nullptr ||
      signature.size() != static_cast<size_t>(EVP_PKEY_get_size(key))) {
    return false;
  }
  MdCtxPtr ctx(EVP_MD_CTX_new());
  if (ctx == nullptr || !InitContext(ctx.get(), key, alg, false)) {
    return false;
  }
  return EVP_DigestVerify(
             ctx.get(),
             reinterpret_cast<const unsigned char*>(signature.data()),
             signature.size(),
             reinterpret_cast<const unsigned char*>(input.data()),
             input.size()) == 1;
}

std::string MakeJwt(EVP_PKEY* key, const std::string& headerJson,
                    const std::string& payloadJson) {
  const std::string input =
      Base64UrlEncode(headerJson) + "." + Base64UrlEncode(payloadJson);
  std::string signature;
  if (!SignJws(key, JwsAlg::kRs256, input, signature)) {
    return std::string();
  }
  return input + "." + Base64UrlEncode(signature);
}

}  // namespace tqidp
