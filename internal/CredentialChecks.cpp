#include "internal/CredentialChecks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <cstring>

#include "internal/Redact.h"

namespace {

// Not isalnum(): locale-dependent.
bool IsLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9');
}

bool HasPrefix(const std::string& text, const char* prefix) {
  return strncasecmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

// Whether host (as written in a URL's authority) is this machine.
bool IsLoopbackHost(const std::string& host) {
  if (strcasecmp(host.c_str(), "localhost") == 0) {
    return true;
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    in6_addr v6{};
    return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), &v6) ==
               1 &&
           IN6_IS_ADDR_LOOPBACK(&v6);
  }
  in_addr v4{};
  // inet_pton takes the full dotted form only: no "127.1", no octal.
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 &&
         (ntohl(v4.s_addr) >> 24) == 127;
}

}  // namespace

bool CheckTenant(const std::string& tenant, std::string& outProblem) {
  bool ok = !tenant.empty() && tenant.size() <= 253;
  size_t label = 0;  // length of the label so far, [0, 63]
  for (size_t i = 0; ok && i <= tenant.size(); ++i) {
    const char c = i < tenant.size() ? tenant[i] : '.';
    if (c == '.') {
      ok = label > 0 && tenant[i - 1] != '-';
      label = 0;
    } else if (IsLetterOrDigit(c) || c == '-') {
      ok = ++label <= 63 && (label > 1 || c != '-');
    } else {
      ok = false;
    }
  }
  if (!ok) {
    outProblem = "Invalid tenant [" + QuoteText(tenant) + "]";
  }
  return ok;
}

bool CheckClientId(const std::string& clientId, std::string& outProblem) {
  bool ok = !clientId.empty() && clientId.size() <= 256;
  for (size_t i = 0; ok && i < clientId.size(); ++i) {
    const char c = clientId[i];
    ok = c > ' ' && c < 0x7F && c != '"' && c != '\\';
  }
  if (!ok) {
    outProblem = "Invalid client id [" + QuoteText(clientId) + "]";
  }
  return ok;
}

bool CheckLoginEndpoint(const std::string& url, std::string& outProblem) {
  if (url.empty() || HasPrefix(url, "https://")) {
    return true;
  }
  if (!HasPrefix(url, "http://")) {
    outProblem =
        "Login endpoint [" + QuoteText(url) + "] is not an http(s) URL";
    return false;
  }
  const size_t begin = std::strlen("http://");
  const size_t end = url.find_first_of("/?#", begin);
  const std::string authority = url.substr(
      begin, end == std::string::npos ? std::string::npos : end - begin);
  std::string host = authority;
  // The port: digits after the last ':' outside an IPv6 literal.
  const size_t colon = authority.rfind(':');
  if (colon != std::string::npos &&
      authority.find(']', colon) == std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    host = port.find_first_not_of("0123456789") == std::string::npos
               ? authority.substr(0, colon)
               : std::string();
  }
  // A user part ("127.0.0.1@elsewhere") or anything odd leaves no loopback
  // host.
  if (authority.find('@') == std::string::npos && IsLoopbackHost(host)) {
    return true;
  }
  outProblem = "Login endpoint [" + QuoteText(url) +
               "] is plain HTTP to another host: that would expose the "
               "credential; use https://";
  return false;
}
