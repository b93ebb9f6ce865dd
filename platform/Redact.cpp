#include "platform/Redact.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/SecureMemory.h"

namespace {

constexpr std::array<const char*, 4> kShownFormFields = {
    "client_id", "scope", "grant_type", "client_assertion_type"};

constexpr std::array<const char*, 3> kSecretReplyMembers = {
    "\"access_token\"", "\"refresh_token\"", "\"id_token\""};

constexpr std::array<const char*, 4> kSecretHeaders = {
    "authorization", "proxy-authorization", "cookie", "set-cookie"};

// Compares body[begin, end) with name without copying: the bytes next to it
// may be a secret, and a temporary copy would outlive this call unwiped.
bool IsShownFormField(const std::string& body, size_t begin, size_t end) {
  for (const char* shown : kShownFormFields) {
    const size_t len = std::strlen(shown);
    if (end - begin == len && body.compare(begin, len, shown) == 0) {
      return true;
    }
  }
  return false;
}

}  // namespace

std::string RedactFormBody(const std::string& body) {
  std::string out;
  out.reserve(body.size());
  size_t start = 0;
  for (;;) {
    size_t end = body.find('&', start);
    if (end == std::string::npos) {
      end = body.size();
    }
    const size_t eq = body.find('=', start);
    if (end == start) {
      // an empty field (a trailing "&"): nothing to hide
    } else if (eq == std::string::npos || eq > end) {
      out += "***";
    } else if (IsShownFormField(body, start, eq)) {
      out.append(body, start, end - start);
    } else {
      out.append(body, start, eq + 1 - start);
      out += "***";
    }
    if (end == body.size()) {
      break;
    }
    out += '&';
    start = end + 1;
  }
  return out;
}

std::string RedactHeaderLine(const std::string& line) {
  const size_t colon = line.find(':');
  if (colon == std::string::npos) {
    return line;
  }
  const std::string name = line.substr(0, colon);
  for (const char* secret : kSecretHeaders) {
    if (strcasecmp(name.c_str(), secret) == 0) {
      return name + ": ***";
    }
  }
  return line;
}

std::string RedactTokenReply(const std::string& reply) {
  std::string out = reply;
  for (const char* member : kSecretReplyMembers) {
    size_t at = 0;
    while ((at = out.find(member, at)) != std::string::npos) {
      size_t pos = at + std::strlen(member);
      while (pos < out.size() && (out[pos] == ' ' || out[pos] == '\t' ||
                                  out[pos] == '\r' || out[pos] == '\n')) {
        ++pos;
      }
      if (pos < out.size() && out[pos] == ':') {
        ++pos;
        while (pos < out.size() && (out[pos] == ' ' || out[pos] == '\t' ||
                                    out[pos] == '\r' || out[pos] == '\n')) {
          ++pos;
        }
      }
      if (pos >= out.size() || out[pos] != '"') {
        at = pos;
        continue;
      }
      // The value runs to the next unescaped quote, or to the end of a
      // truncated reply.
      size_t end = pos + 1;
      while (end < out.size() && out[end] != '"') {
        end += out[end] == '\\' ? 2 : 1;
      }
      end = std::min(end, out.size());
      SecureWipe(out.data() + pos + 1, end - pos - 1);
      out.replace(pos + 1, end - pos - 1, "***");
      at = pos + 5;
    }
  }
  return out;
}
