#pragma once

#include <strings.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/CKoString.h"

// The JWT client assertion a certificate credential proves itself with
// (RFC 7523), in the two forms the identity platform accepts.
// Tests: tests/auth/azure/TQCloudAuthAzureLib_test.cpp

enum class AssertionAlgorithm {
  kRs256,  // RSASSA-PKCS1-v1_5, the certificate named by "x5t" (SHA-1)
  kPs256,  // RSASSA-PSS, the certificate named by "x5t#S256" (SHA-256)
};

// The setting that picks it, [Azure] AssertionAlgorithm of
// tqcloudauth.ini, and what it may be.
inline constexpr char kAssertionAlgorithmSection[] = "Azure";
inline constexpr char kAssertionAlgorithmKey[] = "AssertionAlgorithm";
inline constexpr char kAssertionAlgorithmValues[] = "RS256 or PS256";

// ParseAssertionAlgorithm: "RS256" or "PS256" (as written, or in any case)
// into out; false for anything else. Inline: the command-line tool reads
// the setting without the provider's objects.
inline bool ParseAssertionAlgorithm(const std::string& text,
                                    AssertionAlgorithm& out) {
  if (strcasecmp(text.c_str(), "RS256") == 0) {
    out = AssertionAlgorithm::kRs256;
    return true;
  }
  if (strcasecmp(text.c_str(), "PS256") == 0) {
    out = AssertionAlgorithm::kPs256;
    return true;
  }
  return false;
}

struct AssertionInputs {
  AssertionAlgorithm algorithm = AssertionAlgorithm::kRs256;
  std::string tokenUrl;       // "aud", and where the request goes
  std::string applicationId;  // "iss" and "sub"
  // For RS256: the SHA-1 thumbprint as the credential keeps it prepared,
  // standard Base64. For PS256: the SHA-256 thumbprint's bytes.
  std::string thumbprint;
  int64_t now = 0;  // seconds since the epoch: "nbf", and "exp" an hour on
};

// Signs the JWS signing input into signature[0, length) (length holds the
// buffer's size on entry); false when it cannot.
using AssertionSigner = std::function<bool(
    const std::string& input, unsigned char* signature, unsigned int& length)>;

// BuildAssertionPart: the form fields "client_assertion=<header>.<payload>.
// <signature>&client_assertion_type=<urn, URL-encoded>". The header is
// {"alg":"RS256","typ":"JWT","x5t":"<x5t>"} or {"alg":"PS256","typ":"JWT",
// "x5t#S256":"<x5t#S256>"}, the thumbprint in Base64URL without "=";
// the payload {"aud":"<url>", "sub":"<id>", "iss":"<id>", "exp":<now+3600>,
// "nbf":<now>}, byte for byte. False, with outPart untouched, when sign
// fails. The signature is wiped once encoded.
bool BuildAssertionPart(const AssertionInputs& in, const AssertionSigner& sign,
                        CKoString& outPart);
