#include "tools/idp/Discovery.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

#include "tools/idp/FormFields.h"
#include "tools/idp/IdpText.h"
#include "tools/idp/Jwt.h"

namespace tqidp {
namespace {

using ordered_json = nlohmann::ordered_json;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};

// The path's tenant segment before tail ("/{tenant}<tail>").
bool TenantBefore(const std::string& path, std::string_view tail,
                  std::string& outTenant) {
  if (path.size() <= tail.size() + 1 || path[0] != '/' ||
      path.compare(path.size() - tail.size(), tail.size(), tail) != 0) {
    return false;
  }
  outTenant = path.substr(1, path.size() - tail.size() - 1);
  return outTenant.find('/') == std::string::npos;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '.' || c == '-' || c == ':' ||
         c == '[' || c == ']';
}

// The "host[:port]" of an absolute http(s) URL, or "".
std::string_view Authority(std::string_view url) {
  for (const std::string_view scheme : {"https://", "http://"}) {
    if (url.substr(0, scheme.size()) == scheme) {
      url.remove_prefix(scheme.size());
      return url.substr(0, url.find('/'));
    }
  }
  return {};
}

std::string Base64UrlOfBn(EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) {
    throw std::runtime_error("cannot read the token signing key");
  }
  std::unique_ptr<BIGNUM, BnFree> bn(raw);
  std::string bytes(static_cast<size_t>(BN_num_bytes(bn.get())), '\0');
  BN_bn2bin(bn.get(), reinterpret_cast<unsigned char*>(bytes.data()));
  return Base64UrlEncode(bytes);
}

}  // namespace

DiscoveryKind DiscoveryPath(const std::string& path, std::string& outTenant) {
  if (TenantBefore(path, "/v2.0/.well-known/openid-configuration", outTenant)) {
    return DiscoveryKind::kOpenIdConfiguration;
  }
  if (TenantBefore(path, "/discovery/v2.0/keys", outTenant)) {
    return DiscoveryKind::kKeys;
  }
  if (path == "/common/discovery/instance") {
    outTenant = "common";
    return DiscoveryKind::kInstance;
  }
  return DiscoveryKind::kNone;
}

std::string BaseUrl(const std::string& scheme, const std::string* hostHeader,
                    const std::string& fallback) {
  if (hostHeader == nullptr || hostHeader->empty() ||
      hostHeader->size() > 255 ||
      !std::all_of(hostHeader->begin(), hostHeader->end(), IsHostChar)) {
    return fallback;
  }
  return scheme + "://" + *hostHeader + "/";
}

std::string OpenIdConfiguration(const std::string& base,
                                const std::string& tenant) {
  const std::string at = base + tenant;
  ordered_json doc;
  doc["token_endpoint"] = at + "/oauth2/v2.0/token";
  doc["token_endpoint_auth_methods_supported"] = {
      "client_secret_post", "private_key_jwt", "client_secret_basic"};
  doc["jwks_uri"] = at + "/discovery/v2.0/keys";
  doc["response_modes_supported"] = {"query", "fragment", "form_post"};
  doc["subject_types_supported"] = {"pairwise"};
  doc["id_token_signing_alg_values_supported"] = {"RS256"};
  doc["response_types_supported"] = {"code", "id_token", "code id_token",
                                     "id_token token"};
  doc["scopes_supported"] = {"openid", "profile", "email", "offline_access"};
  // A multi-tenant authority names no tenant in its issuer.
  const bool anyTenant = tenant == "common" || tenant == "organizations";
  doc["issuer"] = base + (anyTenant ? "{tenantid}" : tenant) + "/v2.0";
  doc["request_uri_parameter_supported"] = false;
  doc["authorization_endpoint"] = at + "/oauth2/v2.0/authorize";
  doc["device_authorization_endpoint"] = at + "/oauth2/v2.0/devicecode";
  doc["http_logout_supported"] = true;
  doc["frontchannel_logout_supported"] = true;
  doc["end_session_endpoint"] = at + "/oauth2/v2.0/logout";
  doc["claims_supported"] = {"sub", "iss", "aud", "exp",
                             "iat", "nbf", "tid", "ver"};
  doc["tenant_region_scope"] = nullptr;
  doc["cloud_instance_name"] = std::string(Authority(base));
  return DumpJson(doc);
}

std::string Jwks(EVP_PKEY* key, const std::string& keyId,
                 const std::string& issuer) {
  ordered_json jwk;
  jwk["kty"] = "RSA";
  jwk["use"] = "sig";
  jwk["alg"] = "RS256";
  jwk["kid"] = keyId;
  jwk["n"] = Base64UrlOfBn(key, OSSL_PKEY_PARAM_RSA_N);
  jwk["e"] = Base64UrlOfBn(key, OSSL_PKEY_PARAM_RSA_E);
  jwk["issuer"] = issuer;
  return DumpJson(ordered_json{{"keys", ordered_json::array({jwk})}});
}

bool InstanceDiscovery(std::string_view query, const std::string& base,
                       std::string& outBody, AadError& err) {
  FormFields fields;
  const std::string* endpoint = nullptr;
  if (!ParseForm(query, fields) ||
      (endpoint = fields.Find("authorization_endpoint")) == nullptr) {
    err = MissingParameter("authorization_endpoint");
    return false;
  }
  const std::string_view host = Authority(base);
  constexpr std::string_view kTail = "/oauth2/v2.0/authorize";
  const std::string& url = *endpoint;
  const bool ours =
      url.size() > base.size() + kTail.size() &&
      url.compare(0, base.size(), base) == 0 &&
      url.compare(url.size() - kTail.size(), kTail.size(), kTail) == 0;
  const std::string tenant =
      ours ? url.substr(base.size(), url.size() - base.size() - kTail.size())
           : std::string();
  if (tenant.empty() || tenant.find('/') != std::string::npos) {
    err = MakeAadError(400, "invalid_instance", 50049,
                       "Unknown or invalid instance.");
    return false;
  }
  ordered_json doc;
  doc["tenant_discovery_endpoint"] =
      base + tenant + "/v2.0/.well-known/openid-configuration";
  doc["api-version"] = "1.1";
  doc["metadata"] = ordered_json::array(
      {ordered_json{{"preferred_network", std::string(host)},
                    {"preferred_cache", std::string(host)},
                    {"aliases", {std::string(host)}}}});
  outBody = DumpJson(doc);
  return true;
}

}  // namespace tqidp
