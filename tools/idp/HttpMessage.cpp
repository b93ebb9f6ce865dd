#include "tools/idp/HttpMessage.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "tools/idp/IdpText.h"

namespace tqidp {
namespace {

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

// RFC 9110 section 5.6.2.
bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
           (c >= 'A' && c <= 'Z') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
  });
}

// The path of a request target (origin or absolute form, or "*"), before
// "?" and with "%XY" decoded, and the query after it as sent.
bool TargetPath(std::string_view target, std::string& out,
                std::string& outQuery) {
  for (const char c : target) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
      return false;
    }
  }
  if (target == "*") {
    out = "*";
    return true;
  }
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (target.substr(0, scheme.size()) == scheme) {
      const size_t slash = target.find('/', scheme.size());
      target = slash == std::string_view::npos ? std::string_view("/")
                                               : target.substr(slash);
    }
  }
  if (target.empty() || target.front() != '/') {
    return false;
  }
  const size_t question = target.find('?');
  outQuery.clear();
  if (question != std::string_view::npos) {
    outQuery = target.substr(question + 1);
    target = target.substr(0, question);
  }
  out.clear();
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] != '%') {
      out += target[i];
      continue;
    }
    const int hi = i + 2 < target.size() ? HexValue(target[i + 1]) : -1;
    const int lo = hi >= 0 ? HexValue(target[i + 2]) : -1;
    if (lo < 0) {
      return false;
    }
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

const char* Reason(int status) {
  static const std::pair<int, const char*> kReasons[] = {
      {100, "Continue"},
      {200, "OK"},
      {204, "No Content"},
      {400, "Bad Request"},
      {401, "Unauthorized"},
      {403, "Forbidden"},
      {404, "Not Found"},
      {411, "Length Required"},
      {413, "Content Too Large"},
      {429, "Too Many Requests"},
      {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"},
      {502, "Bad Gateway"},
      {503, "Service Unavailable"},
      {504, "Gateway Timeout"},
  };
  for (const auto& [code, text] : kReasons) {
    if (code == status) {
      return text;
    }
  }
  return "Status";  // clients read the code only
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& h : headers) {
    if (EqualsIgnoreCase(h.first, name)) {
      return &h.second;
    }
  }
  return nullptr;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return Lower(x) == Lower(y); });
}

bool ListHasToken(std::string_view list, std::string_view token) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos) {
      end = list.size();
    }
    if (EqualsIgnoreCase(Trim(list.substr(start, end - start)), token)) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

bool ParseRequestHead(std::string_view head, HttpRequest& req,
                      bool& outHttp10) {
  const size_t eol = head.find("\r\n");
  const std::string_view line = head.substr(0, eol);
  const size_t sp1 = line.find(' ');
  const size_t sp2 =
      sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos ||
      line.find(' ', sp2 + 1) != std::string_view::npos) {
    return false;
  }
  req.method = std::string(line.substr(0, sp1));
  const std::string_view version = line.substr(sp2 + 1);
  if (!IsToken(req.method) ||
      !TargetPath(line.substr(sp1 + 1, sp2 - sp1 - 1), req.path, req.query) ||
      (version != "HTTP/1.1" && version != "HTTP/1.0")) {
    return false;
  }
  outHttp10 = version == "HTTP/1.0";
  size_t start = eol == std::string_view::npos ? head.size() : eol + 2;
  while (start < head.size()) {
    size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos) {
      end = head.size();
    }
    const std::string_view field = head.substr(start, end - start);
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || !IsToken(field.substr(0, colon)) ||
        field.find('\0') != std::string_view::npos ||
        req.headers.size() == kMaxRequestHeaders) {
      return false;
    }
    req.headers.emplace_back(field.substr(0, colon),
                             Trim(field.substr(colon + 1)));
    start = end + 2;
  }
  return true;
}

int RequestBodyLength(const HttpRequest& req, size_t maxBody,
                      size_t& outLength) {
  outLength = 0;
  if (req.Header("Transfer-Encoding") != nullptr) {
    return 411;
  }
  const std::string* first = req.Header("Content-Length");
  if (first == nullptr) {
    return 0;
  }
  for (const auto& h : req.headers) {
    if (EqualsIgnoreCase(h.first, "Content-Length") && h.second != *first) {
      return 400;
    }
  }
  // 18 digits cannot overflow size_t.
  if (first->empty() || first->size() > 18 ||
      first->find_first_not_of("0123456789") != std::string::npos) {
    return 400;
  }
  outLength = std::stoull(*first);
  return outLength > maxBody ? 413 : 0;
}

bool KeepAlive(const HttpRequest& req, bool http10, const HttpResponse& res) {
  for (const auto& h : res.headers) {
    if (EqualsIgnoreCase(h.first, "Connection") &&
        ListHasToken(h.second, "close")) {
      return false;
    }
  }
  const std::string* connection = req.Header("Connection");
  return http10
             ? connection != nullptr && ListHasToken(*connection, "keep-alive")
             : connection == nullptr || !ListHasToken(*connection, "close");
}

std::string FormatResponse(const HttpResponse& res, bool keep, bool http10,
                           bool head) {
  const bool hasBody =
      res.status >= 200 && res.status != 204 && res.status != 304;
  std::string out = "HTTP/1.1 " + std::to_string(res.status) + " " +
                    Reason(res.status) + "\r\n";
  if (!res.contentType.empty()) {
    out += "Content-Type: " + res.contentType + "\r\n";
  }
  if (hasBody) {
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
  }
  if (!keep) {
    out += "Connection: close\r\n";
  } else if (http10) {
    out += "Connection: keep-alive\r\n";
  }
  for (const auto& h : res.headers) {
    // The framing is this server's; a line break would forge a header.
    if (!IsToken(h.first) || EqualsIgnoreCase(h.first, "Content-Length") ||
        EqualsIgnoreCase(h.first, "Transfer-Encoding") ||
        EqualsIgnoreCase(h.first, "Connection") ||
        h.second.find_first_of("\r\n") != std::string::npos) {
      continue;
    }
    out += h.first + ": " + h.second + "\r\n";
  }
  out += "\r\n";
  if (hasBody && !head) {
    out += res.body;
  }
  return out;
}

void Consume(std::string& buffer, size_t n) {
  const size_t size = buffer.size();
  OPENSSL_cleanse(buffer.data(), n);
  std::memmove(buffer.data(), buffer.data() + n, size - n);
  OPENSSL_cleanse(buffer.data() + (size - n), n);
  buffer.resize(size - n);
}

}  // namespace tqidp
