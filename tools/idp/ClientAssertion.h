#pragma once

// The checks Azure AD makes of a client assertion (a JWS signed with a
// registered certificate's key), with its error for each failure.

#include <ctime>
#include <set>
#include <string>

#include "tools/idp/AadError.h"
#include "tools/idp/AppRegistry.h"
#include "tools/idp/FormFields.h"
#include "tools/idp/Jwt.h"

namespace tqidp {

// What an assertion is checked against.
struct AssertionContext {
  std::string clientId;
  const CertList* certs = nullptr;  // the client's registered certificates
  std::set<std::string> audiences;  // accepted "aud" values
  time_t now = 0;
  long clockSkewSeconds = 300;
};

// CheckClientAssertion: true when form's client_assertion_type is the JWT
// bearer type and client_assertion (present) is an RS256 or PS256 JWS whose
// "x5t#S256" (preferred) or "x5t" names a certificate of the client that is
// valid now and whose key verifies the signature; whose exp (required) and
// nbf (optional) hold within the clock skew; whose aud (text or array) is
// one of the audiences; and whose iss and sub are the client id. false with
// Azure AD's error in err otherwise (checked in that order). outAlg (when
// not null) receives the algorithm of an accepted assertion.
bool CheckClientAssertion(const FormFields& form, const AssertionContext& ctx,
                          AadError& err, JwsAlg* outAlg = nullptr);

}  // namespace tqidp
