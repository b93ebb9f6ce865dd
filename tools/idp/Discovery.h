#pragma once

// What OpenID Connect clients fetch before they ask for a token, as the
// identity platform answers it: the tenant's metadata document, the keys
// that sign its tokens, and instance discovery for this host.

#include <openssl/evp.h>

#include <string>
#include <string_view>

#include "tools/idp/AadError.h"

namespace tqidp {

enum class DiscoveryKind {
  kNone,
  kOpenIdConfiguration,  // GET /{tenant}/v2.0/.well-known/openid-configuration
  kKeys,                 // GET /{tenant}/discovery/v2.0/keys
  kInstance,             // GET /common/discovery/instance
};

// DiscoveryPath: which document path asks for, with its tenant in
// outTenant (one path segment); kNone for any other path.
DiscoveryKind DiscoveryPath(const std::string& path, std::string& outTenant);

// BaseUrl: "<scheme>://<host>/" with the Host header's value when it is a
// plain host name or address with an optional port (so that every URL a
// client is given points where it connected), else fallback.
std::string BaseUrl(const std::string& scheme, const std::string* hostHeader,
                    const std::string& fallback);

// OpenIdConfiguration: the metadata document of tenant under base.
std::string OpenIdConfiguration(const std::string& base,
                                const std::string& tenant);

// Jwks: the JSON Web Key Set of key (an RSA key) under keyId; throws
// std::runtime_error when the key cannot be exported.
std::string Jwks(EVP_PKEY* key, const std::string& keyId,
                 const std::string& issuer);

// InstanceDiscovery: true and the answer in outBody when query's
// authorization_endpoint names an authority under base; false with Azure
// AD's error otherwise (absent, or another host).
bool InstanceDiscovery(std::string_view query, const std::string& base,
                       std::string& outBody, AadError& err);

}  // namespace tqidp
