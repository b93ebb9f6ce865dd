#pragma once

// HTTP/1.1 message syntax (RFC 9112) as the local token endpoint's server
// reads requests and writes replies.

#include <cstddef>
#include <string>
#include <string_view>

#include "tools/idp/HttpServer.h"

namespace tqidp {

constexpr size_t kMaxRequestHead = 16 * 1024;  // request line and headers
constexpr size_t kMaxRequestHeaders = 100;

// EqualsIgnoreCase: ASCII case-insensitive equality (not locale-dependent).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// ListHasToken: true when the comma-separated list (a Connection value)
// holds token, in any case.
bool ListHasToken(std::string_view list, std::string_view token);

// ParseRequestHead: true and method, path (see HttpRequest) and headers in
// req, and whether the version is HTTP/1.0 in outHttp10, for head (the
// request line and header lines, CRLF separated, without the empty line
// that ends them). false for anything else: a request line not of three
// parts, a method or header name that is not a token, a target that is not
// in origin or absolute form or holds a bad "%" escape, a version other
// than HTTP/1.0 and HTTP/1.1, a header line without ":", a NUL, or more
// than kMaxRequestHeaders headers.
bool ParseRequestHead(std::string_view head, HttpRequest& req, bool& outHttp10);

// RequestBodyLength: 0 and the body's length in outLength (0 without a
// Content-Length) when it can be read; else the status to refuse with:
// 411 for a Transfer-Encoding, 400 for a Content-Length that is not digits
// or is given twice with different values, 413 above maxBody.
int RequestBodyLength(const HttpRequest& req, size_t maxBody,
                      size_t& outLength);

// KeepAlive: whether the connection stays open after res answers req:
// HTTP/1.1 unless either side says "Connection: close"; HTTP/1.0 only when
// the request says "Connection: keep-alive" and the reply does not close.
bool KeepAlive(const HttpRequest& req, bool http10, const HttpResponse& res);

// FormatResponse: the reply's bytes. Content-Length is always this
// server's (no body for 1xx, 204 and 304, nor for HEAD); Connection says
// close, or keep-alive to an HTTP/1.0 client; res.headers follow except
// Content-Length, Transfer-Encoding, Connection, names that are not tokens
// and values with a line break.
std::string FormatResponse(const HttpResponse& res, bool keep, bool http10,
                           bool head);

// Consume: removes the first n bytes of buffer, wiping them and the bytes
// the move leaves behind (a request may carry a secret).
void Consume(std::string& buffer, size_t n);

}  // namespace tqidp
