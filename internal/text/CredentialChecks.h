#pragma once

#include <string>

// Checks of a credential's fields, made where a credential is stored
// (`tqcloudauth credential add`) and where a provider takes one (Init), so
// that both refuse the same values with the same words. Each returns true
// for a value it accepts; otherwise false with the message in outProblem
// (the value quoted, cut to a few KiB, control characters escaped).
// Tests: tests/internal/CredentialChecks_test.cpp

// CheckTenant: a tenant is a domain name (which a GUID is too): 1 to 253
// bytes of dot-separated labels, each 1 to 63 letters, digits and '-', not
// starting or ending with '-'. Anything else would change the token URL the
// tenant is pasted into ("t/../x", "t?x", "..") and is refused with
// "Invalid tenant [<tenant>]".
bool CheckTenant(const std::string& tenant, std::string& outProblem);

// CheckClientId: 1 to 256 bytes of printable ASCII other than '"' and '\':
// what an application id can be; it is sent URL-encoded and stands in the
// signed assertion. "Invalid client id [<id>]" otherwise.
bool CheckClientId(const std::string& clientId, std::string& outProblem);

// CheckCertificateName: the name the certificate is staged under
// (certificates/Azure_<name>.crt): 1 to 128 letters, digits, '.', '-' and
// '_', not starting with '.'. "Invalid certificate name [<name>]: ..."
// otherwise.
bool CheckCertificateName(const std::string& name, std::string& outProblem);

// CheckLoginEndpoint: only characters a URL may hold as written (letters,
// digits and "-._~:/?#[]@!$&'()*+,;=%"), and: empty (the public endpoint), an
// https:// URL, or an
// http:// URL whose host is this machine: localhost, an IPv4 address of
// 127.0.0.0/8 written in full, or [::1] (no user part). Plain HTTP to any
// other host would expose the credential: "Login endpoint [<url>] is plain
// HTTP to another host: that would expose the credential; use https://".
// Any other scheme: "Login endpoint [<url>] is not an http(s) URL"; another
// character: "Login endpoint [<url>] holds a character a URL cannot".
bool CheckLoginEndpoint(const std::string& url, std::string& outProblem);
