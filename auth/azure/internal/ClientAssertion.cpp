#include "auth/azure/internal/ClientAssertion.h"

#include "auth/TQCloudAuthLib.h"
#include "platform/SecureMemory.h"
#include "util/UrlCodec.h"

namespace {

constexpr int64_t kAssertionLifetimeSeconds = 3600;
constexpr unsigned int kSignatureBufferSize = 4096;
constexpr char kAssertionType[] =
    "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";

std::string Base64Url(const std::string& bytes, bool inputIsBase64) {
  return TQCloudAuthLib::base64urlencode(
      reinterpret_cast<const unsigned char*>(bytes.data()),
      static_cast<int>(bytes.size()), inputIsBase64);
}

}  // namespace

bool BuildAssertionPart(const AssertionInputs& in, const AssertionSigner& sign,
                        CKoString& outPart) {
  const CKoString header =
      in.algorithm == AssertionAlgorithm::kPs256
          ? CKoString::Format(R"({"alg":"PS256","typ":"JWT","x5t#S256":"{1}"})",
                              Base64Url(in.thumbprint, false))
          : CKoString::Format(R"({"alg":"RS256","typ":"JWT","x5t":"{1}"})",
                              Base64Url(in.thumbprint, true));
  const CKoString payload = CKoString::Format(
      R"({"aud":"{1}", "sub":"{2}", "iss":"{3}", "exp":{4}, "nbf":{5}})",
      in.tokenUrl, in.applicationId, in.applicationId,
      static_cast<long>(in.now + kAssertionLifetimeSeconds),
      static_cast<long>(in.now));
  // Not secrets alone, but with the signature the assertion: none of its
  // pieces is left behind.
  std::string encodedHeader = Base64Url(header.c_str(), false);
  StringWipeGuard wipeHeader(encodedHeader);
  std::string encodedPayload = Base64Url(payload.c_str(), false);
  StringWipeGuard wipePayload(encodedPayload);
  std::string signingInput = encodedHeader + "." + encodedPayload;
  StringWipeGuard wipeInput(signingInput);

  unsigned char signature[kSignatureBufferSize];
  unsigned int length = kSignatureBufferSize;
  if (!sign(signingInput, signature, length)) {
    SecureWipe(signature, sizeof signature);
    return false;
  }
  // With the signature the assertion is a credential in its own right.
  std::string encodedSignature = TQCloudAuthLib::base64urlencode(
      signature, static_cast<int>(length), false);
  StringWipeGuard wipeSignature(encodedSignature);
  SecureWipe(signature, sizeof signature);
  outPart = CKoString::Format(
      "client_assertion={1}.{2}.{3}&client_assertion_type={4}", encodedHeader,
      encodedPayload, encodedSignature, urlEncode(kAssertionType));
  return true;
}
