#include "tools/idp/ClientAssertion.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "tools/idp/IdpText.h"
#include "tools/idp/Jwt.h"

namespace tqidp {
namespace {

using json = nlohmann::json;

constexpr char kAssertionType[] =
    "urn:ietf:params:oauth:client-assertion-type:jwt-bearer";
constexpr char kCertDocs[] =
    " Review the documentation at "
    "https://learn.microsoft.com/entra/identity-platform/"
    "certificate-credentials .";

// A "x5t" or "x5t#S256" value: Base64URL, tolerated with "=" padding.
bool DecodeThumbprint(std::string value, std::string& out) {
  for (int i = 0; i < 2 && !value.empty() && value.back() == '='; ++i) {
    value.pop_back();
  }
  return Base64UrlDecode(value, out);
}

bool ReadNumericDate(const json& claims, const char* name, double& out) {
  const auto it = claims.find(name);
  if (it == claims.end() || !it->is_number()) {
    return false;
  }
  out = it->get<double>();
  return std::isfinite(out);
}

std::string ClaimText(const json& claims, const char* name) {
  const auto it = claims.find(name);
  return it != claims.end() && it->is_string() ? it->get<std::string>()
                                               : std::string();
}

AadError InvalidClient(long code, std::string text) {
  return MakeAadError(401, "invalid_client", code, std::move(text));
}

// The header: its algorithm, the registered certificate it names (null for
// none) and that thumbprint as shown in errors.
bool CheckHeader(const json& header, const AssertionContext& ctx,
                 JwsAlg& outAlg, const CertCredential*& outCred,
                 std::string& outShown, AadError& err) {
  const auto alg = header.find("alg");
  if (alg == header.end() || !alg->is_string()) {
    err = MalformedJwt();
    return false;
  }
  if (*alg == "PS256") {
    outAlg = JwsAlg::kPs256;
  } else if (*alg == "RS256") {
    outAlg = JwsAlg::kRs256;
  } else {
    err = InvalidClient(5002738, "Invalid JWT token. '" +
                                     alg->get<std::string>() +
                                     "' is not a supported signature "
                                     "algorithm. Supported signing "
                                     "algorithms are: 'RS256, PS256'");
    return false;
  }
  // "x5t#S256" (SHA-256) wins over "x5t" (SHA-1) when both are sent.
  const auto s256 = header.find("x5t#S256");
  const bool useS256 = s256 != header.end();
  const auto thumbIt = useS256 ? s256 : header.find("x5t");
  if (thumbIt == header.end()) {
    err = InvalidClient(5002723,
                        "Invalid JWT token. No certificate thumbprint "
                        "specified in token header.");
    return false;
  }
  const std::string thumbText =
      thumbIt->is_string() ? thumbIt->get<std::string>() : thumbIt->dump();
  std::string thumb;
  const bool decoded =
      thumbIt->is_string() && DecodeThumbprint(thumbText, thumb);
  outCred = nullptr;
  for (const auto& c : *ctx.certs) {
    if (decoded && (useS256 ? c->sha256 : c->sha1) == thumb) {
      outCred = c.get();
      break;
    }
  }
  outShown = decoded ? HexUpper(thumb) : Printable(thumbText);
  return true;
}

AadError InvalidSignature(const std::string& reason, const std::string& shown,
                          const CertCredential* cred,
                          const std::string& clientId) {
  std::string text =
      "Client assertion contains an invalid signature. [Reason - " + reason +
      ", Thumbprint of key used by client: '" + shown + "'";
  if (cred != nullptr) {
    text +=
        ", Found key 'Start=" +
        FormatUtc(static_cast<double>(cred->notBefore), TimeFormat::kKeyDate) +
        ", End=" +
        FormatUtc(static_cast<double>(cred->notAfter), TimeFormat::kKeyDate) +
        "'";
  } else {
    text +=
        ", Please visit the Azure Portal, Graph Explorer or directly use MS "
        "Graph to see configured keys for app Id '" +
        clientId + "'.";
  }
  text += std::string(kCertDocs) + "]";
  return InvalidClient(700027, text);
}

// The claims: lifetime, audience, issuer and subject.
bool CheckClaims(const json& claims, const AssertionContext& ctx,
                 AadError& err) {
  double exp = 0;
  double nbf = 0;
  const bool hasNbf = claims.contains("nbf");
  if (!ReadNumericDate(claims, "exp", exp) ||
      (hasNbf && !ReadNumericDate(claims, "nbf", nbf))) {
    err = MalformedJwt();
    return false;
  }
  const double skew = static_cast<double>(ctx.clockSkewSeconds);
  const double now = static_cast<double>(ctx.now);
  if (now > exp + skew || (hasNbf && nbf > now + skew)) {
    const TimeFormat iso = TimeFormat::kIso;
    err = InvalidClient(
        700024,
        "Client assertion is not within its valid time range. Current time: " +
            FormatUtc(now, iso) + ", assertion valid from " +
            (hasNbf ? FormatUtc(nbf, iso) : std::string("(none)")) +
            ", expiry time of assertion " + FormatUtc(exp, iso) + "." +
            kCertDocs);
    return false;
  }
  bool audOk = false;
  const auto aud = claims.find("aud");
  if (aud != claims.end() && aud->is_string()) {
    audOk = ctx.audiences.count(aud->get<std::string>()) != 0;
  } else if (aud != claims.end() && aud->is_array()) {
    for (const auto& a : *aud) {
      audOk =
          audOk || (a.is_string() && ctx.audiences.count(a.get<std::string>()));
    }
  }
  if (!audOk) {
    err = InvalidClient(700023,
                        std::string("Client assertion audience claim does not "
                                    "match Realm issuer.") +
                            kCertDocs);
    return false;
  }
  const std::string iss = ClaimText(claims, "iss");
  if (iss != ctx.clientId) {
    err = InvalidClient(700021,
                        std::string("Client assertion application identifier "
                                    "doesn't match 'client_id' parameter.") +
                            kCertDocs);
    return false;
  }
  if (ClaimText(claims, "sub") != iss) {
    err = InvalidClient(50048,
                        std::string("Subject mismatches Issuer claim in the "
                                    "client assertion.") +
                            kCertDocs);
    return false;
  }
  return true;
}

}  // namespace

bool CheckClientAssertion(const FormFields& form, const AssertionContext& ctx,
                          AadError& err, JwsAlg* outAlg) {
  const std::string* type = form.Find("client_assertion_type");
  if (type == nullptr) {
    err = MissingParameter("client_assertion_type");
    return false;
  }
  if (*type != kAssertionType) {
    err = MakeAadError(400, "invalid_request", 90011,
                       "Unexpected client assertion type.");
    return false;
  }
  const std::string* assertion = form.Find("client_assertion");
  Jws jws;
  if (assertion == nullptr || !ParseJws(*assertion, jws)) {
    err = MalformedJwt();
    return false;
  }
  const json header = json::parse(jws.header, nullptr, false);
  const json claims = json::parse(jws.payload, nullptr, false);
  if (!header.is_object() || !claims.is_object()) {
    err = MalformedJwt();
    return false;
  }
  JwsAlg alg = JwsAlg::kRs256;
  const CertCredential* cred = nullptr;
  std::string shown;
  if (!CheckHeader(header, ctx, alg, cred, shown, err)) {
    return false;
  }
  if (cred == nullptr) {
    err = InvalidSignature("The key was not found.", shown, cred, ctx.clientId);
    return false;
  }
  if (ctx.now < cred->notBefore || ctx.now > cred->notAfter) {
    err =
        InvalidSignature("The key used is expired.", shown, cred, ctx.clientId);
    return false;
  }
  if (!VerifyJws(cred->key.get(), alg, jws.signingInput, jws.signature)) {
    err = InvalidSignature(
        "The provided signature value did not match the expected signature "
        "value.",
        shown, cred, ctx.clientId);
    return false;
  }
  if (!CheckClaims(claims, ctx, err)) {
    return false;
  }
  if (outAlg != nullptr) {
    *outAlg = alg;
  }
  return true;
}

}  // namespace tqidp
