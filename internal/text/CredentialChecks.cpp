#include "internal/text/CredentialChecks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "internal/text/Redact.h"

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

// A refused value as a message quotes it: cut to a few KiB, and with its
// control characters (a NUL too) escaped so that the message shows it whole.
std::string Quoted(const std::string& value) {
  return EscapeControls(QuoteText(value), LineBreaks::kEscape);
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
    outProblem = "Invalid tenant [" + Quoted(tenant) + "]";
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
    outProblem = "Invalid client id [" + Quoted(clientId) + "]";
  }
  return ok;
}

bool CheckCertificateName(const std::string& name, std::string& outProblem) {
  bool ok = !name.empty() && name.size() <= 128 && name[0] != '.';
  for (size_t i = 0; ok && i < name.size(); ++i) {
    const char c = name[i];
    ok = IsLetterOrDigit(c) || c == '-' || c == '_' || c == '.';
  }
  if (!ok) {
    outProblem = "Invalid certificate name [" + Quoted(name) +
                 "]: 1 to 128 letters, digits, '.', '-' and '_', not "
                 "starting with '.'";
  }
  return ok;
}

namespace {

// Whether c may stand in a URL as written (RFC 3986 2.2, 2.3 and "%", and
// the bytes of UTF-8 beyond ASCII, as in an international host name): no
// blank, quote, backslash or control, so that the URL is pasted into a
// request line and a JSON text as it is.
bool IsUrlCharacter(char c) {
  static constexpr char kOther[] = "-._~:/?#[]@!$&'()*+,;=%";
  return IsLetterOrDigit(c) || static_cast<unsigned char>(c) >= 0x80 ||
         (c != '\0' && std::strchr(kOther, c) != nullptr);
}

}  // namespace

bool CheckLoginEndpoint(const std::string& url, std::string& outProblem) {
  if (!IsUtf8(url) || !std::all_of(url.begin(), url.end(), &IsUrlCharacter)) {
    outProblem =
        "Login endpoint [" + Quoted(url) + "] holds a character a URL cannot";
    return false;
  }
  if (url.empty() || HasPrefix(url, "https://")) {
    return true;
  }
  if (!HasPrefix(url, "http://")) {
    outProblem = "Login endpoint [" + Quoted(url) + "] is not an http(s) URL";
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
  outProblem = "Login endpoint [" + Quoted(url) +
               "] is plain HTTP to another host: that would expose the "
               "credential; use https://";
  return false;
}
