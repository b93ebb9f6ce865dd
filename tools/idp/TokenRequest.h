#pragma once

// The checks Azure AD makes of a client-credentials token request, in its
// order, with its error for each failure.

#include <ctime>
#include <set>
#include <string>

#include "tools/idp/AadError.h"
#include "tools/idp/AppRegistry.h"
#include "tools/idp/FormFields.h"

namespace tqidp {

struct TokenGrant {
  std::string clientId;
  std::string resource;  // the scope without "/.default"
  // How the client proved itself: "client secret", "RS256 assertion" or
  // "PS256 assertion".
  std::string credential;
};

// CheckTokenRequest: true and the grant in out when, for tenant, the form
// holds each field at most once, grant_type client_credentials, a client id
// registered in the tenant, one scope ending in "/.default", and exactly one
// credential: a registered client secret, or a client assertion that
// CheckClientAssertion accepts against audiences, now and clockSkewSeconds.
// false with Azure AD's error in err otherwise.
bool CheckTokenRequest(const std::string& tenant, const FormFields& form,
                       const AppRegistry& apps,
                       const std::set<std::string>& audiences, time_t now,
                       long clockSkewSeconds, TokenGrant& out, AadError& err);

}  // namespace tqidp
