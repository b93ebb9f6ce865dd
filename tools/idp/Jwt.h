#pragma once

// The JWS compact form (RFC 7515) as the token endpoint reads client
// assertions and writes access tokens: strict Base64URL, RS256 and PS256
// (RFC 7518 section 3.3 and 3.5) over OpenSSL 3 EVP.

#include <openssl/evp.h>

#include <string>
#include <string_view>

namespace tqidp {

// Base64UrlEncode: the unpadded Base64URL text of bytes (RFC 4648 section 5).
// Test: tests/tools/Jwt_test.cpp.
std::string Base64UrlEncode(std::string_view bytes);

// Base64UrlDecode: true and the bytes in out when text is canonical unpadded
// Base64URL: only the characters A-Z a-z 0-9 - _, a length that is not 1
// modulo 4, and zero bits after the last byte. false for anything else
// (padding, white space, the "+" "/" alphabet), with out cleared.
// Test: tests/tools/Jwt_test.cpp.
bool Base64UrlDecode(std::string_view text, std::string& out);

enum class JwsAlg { kRs256, kPs256 };

// A JWS split into its parts; header and payload are the decoded JSON texts.
struct Jws {
  std::string header;
  std::string payload;
  std::string signature;     // raw bytes
  std::string signingInput;  // "<encoded header>.<encoded payload>"
};

// ParseJws: true and the parts in out when compact is three non-empty
// Base64URL segments joined by "." (the header and payload need not be JSON
// yet: the caller parses them). false for any other text; out is then
// unspecified. Test: tests/tools/Jwt_test.cpp.
bool ParseJws(std::string_view compact, Jws& out);

// SignJws: true and the signature bytes in out, made over input with key
// (an RSA private key) by alg. false when OpenSSL refuses (e.g. an EC key);
// out is then cleared. Test: tests/tools/Jwt_test.cpp.
bool SignJws(EVP_PKEY* key, JwsAlg alg, std::string_view input,
             std::string& out);

// VerifyJws: true when signature is alg's valid signature of input under
// key. false for a wrong signature, a key that is not RSA, or an OpenSSL
// failure. PS256 requires a salt as long as the digest (RFC 7518 3.5).
// Test: tests/tools/Jwt_test.cpp.
bool VerifyJws(EVP_PKEY* key, JwsAlg alg, std::string_view input,
               std::string_view signature);

// MakeJwt: the compact RS256 JWS of headerJson and payloadJson signed with
// key; an empty text when signing fails. Test: tests/tools/Jwt_test.cpp.
std::string MakeJwt(EVP_PKEY* key, const std::string& headerJson,
                    const std::string& payloadJson);

}  // namespace tqidp
