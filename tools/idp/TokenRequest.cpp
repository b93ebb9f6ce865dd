#include "tools/idp/TokenRequest.h"

#include <sstream>
#include <string_view>
#include <vector>

#include "tools/idp/ClientAssertion.h"

namespace tqidp {
namespace {

// The one scope of the request, without "/.default".
bool CheckScope(const FormFields& form, std::string& outResource,
                AadError& err) {
  const std::string* scope = form.Find("scope");
  if (scope == nullptr || scope->find_first_not_of(' ') == std::string::npos) {
    err = MakeAadError(400, "invalid_request", 90014,
                       "The required field 'scope' is missing from the "
                       "credential. Ensure that you have all the necessary "
                       "parameters for the login request.");
    return false;
  }
  std::vector<std::string> items;
  std::istringstream words(*scope);
  for (std::string w; words >> w;) {
    items.push_back(w);
  }
  constexpr std::string_view kDefault = "/.default";
  for (const std::string& item : items) {
    if (item.size() <= kDefault.size() ||
        item.compare(item.size() - kDefault.size(), kDefault.size(),
                     kDefault) != 0) {
      err = MakeAadError(
          400, "invalid_scope", 1002012,
          "The provided value for scope " + item +
              " is not valid. Client credential flows must have a scope "
              "value with /.default suffixed to the resource identifier "
              "(application ID URI).");
      return false;
    }
  }
  if (items.size() > 1) {
    err = MakeAadError(400, "invalid_scope", 70011,
                       "The provided value for the input parameter 'scope' "
                       "is not valid. The scope " +
                           *scope + " is not valid.");
    return false;
  }
  outResource = items[0].substr(0, items[0].size() - kDefault.size());
  return true;
}

}  // namespace

bool CheckTokenRequest(const std::string& tenant, const FormFields& form,
                       const AppRegistry& apps,
                       const std::set<std::string>& audiences, time_t now,
                       long clockSkewSeconds, TokenGrant& out, AadError& err) {
  if (!apps.HasTenant(tenant)) {
    err = MakeAadError(400, "invalid_request", 90002,
                       "Tenant '" + tenant +
                           "' not found. Check to make sure you have the "
                           "correct tenant ID and are signing into the "
                           "correct cloud.");
    return false;
  }
  std::set<std::string_view> seen;
  for (const auto& item : form.items) {
    if (!seen.insert(item.first).second) {
      err = BadRequest("The parameter '" + item.first +
                       "' appears more than once.");
      return false;
    }
  }
  const std::string* grant = form.Find("grant_type");
  if (grant == nullptr) {
    err = MissingParameter("grant_type");
    return false;
  }
  if (*grant != "client_credentials") {
    err = MakeAadError(
        400, "unsupported_grant_type", 70003,
        "The app requested an unsupported grant type '" + *grant + "'.");
    return false;
  }
  const std::string* clientId = form.Find("client_id");
  if (clientId == nullptr) {
    err = MissingParameter("client_id");
    return false;
  }
  const std::string* secret = form.Find("client_secret");
  const std::string* assertion = form.Find("client_assertion");
  CertList certs;
  bool secretOk = false;
  if (!apps.FindClient(tenant, *clientId, secret, certs, secretOk)) {
    err = MakeAadError(
        400, "unauthorized_client", 700016,
        "Application with identifier '" + *clientId +
            "' was not found in the directory '" + tenant +
            "'. This can happen if the application has not been installed "
            "by the administrator of the tenant or consented to by any user "
            "in the tenant. You may have sent your authentication request to "
            "the wrong tenant.");
    return false;
  }
  if (!CheckScope(form, out.resource, err)) {
    return false;
  }
  if (secret != nullptr && assertion != nullptr) {
    err = BadRequest(
        "Only one of 'client_secret' and 'client_assertion' may be sent.");
    return false;
  }
  if (secret == nullptr && assertion == nullptr) {
    err = MakeAadError(401, "invalid_client", 7000218,
                       "The request body must contain the following "
                       "parameter: 'client_assertion' or 'client_secret'.");
    return false;
  }
  out.clientId = *clientId;
  if (secret != nullptr) {
    if (!secretOk) {
      err = MakeAadError(
          401, "invalid_client", 7000215,
          "Invalid client secret provided. Ensure the secret being sent in "
          "the request is the client secret value, not the client secret "
          "ID, for a secret added to app '" +
              *clientId + "'.");
      return false;
    }
    out.credential = "client secret";
    return true;
  }
  AssertionContext ctx;
  ctx.clientId = *clientId;
  ctx.certs = &certs;
  ctx.audiences = audiences;
  ctx.now = now;
  ctx.clockSkewSeconds = clockSkewSeconds;
  JwsAlg alg = JwsAlg::kRs256;
  if (!CheckClientAssertion(form, ctx, err, &alg)) {
    return false;
  }
  out.credential =
      alg == JwsAlg::kPs256 ? "PS256 assertion" : "RS256 assertion";
  return true;
}

}  // namespace tqidp
