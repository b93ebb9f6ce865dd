#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

#include "internal/net/CaStore.h"

// The process-wide pool of libcurl easy handles behind every TQLibCurl. An
// idle handle keeps its connections open, so requests of any client with
// the same connection settings, one after another, travel on one kept-alive
// connection. Handles are grouped by those settings (the CA store, the
// proxy with its type and credentials): a connection, a TLS session or a
// DNS entry is never shared across groups. Within a group, TLS sessions and
// DNS entries are shared (a libcurl share handle with locks), so a new
// connection resumes a session instead of a full handshake. A handle serves
// one request at a time; concurrent requests use separate handles, and so
// separate connections. The pool keeps at most a few idle handles per group
// and overall, closing the least recently used beyond that.
// Tests: tests/platform/TQLibCurl_test.cpp

struct CurlConnectionSettings {
  std::shared_ptr<const CaStore> ca;  // required
  std::string proxy;                  // "" for none
  long proxyType = CURLPROXY_HTTP;
  std::string proxyUserPassword;  // "" for none; a secret

  CurlConnectionSettings() = default;
  CurlConnectionSettings(const CurlConnectionSettings&) = default;
  CurlConnectionSettings& operator=(const CurlConnectionSettings&) = default;
  ~CurlConnectionSettings();
};

class CurlPoolGroup;

// CurlLease: one easy handle taken from the pool for one request. Its
// connection settings are fixed; the request's own options (URL, headers,
// body, callbacks, timeouts) are the holder's to set. Destruction clears
// every pointer option and gives the handle back.
class CurlLease {
 public:
  CurlLease() = default;
  ~CurlLease();
  CurlLease(const CurlLease&) = delete;
  CurlLease& operator=(const CurlLease&) = delete;

  CURL* get() const noexcept { return m_curl; }

  // Acquire: an idle handle of the group for settings, or a new one. False,
  // with this lease empty, when libcurl cannot make or configure a handle.
  bool Acquire(const CurlConnectionSettings& settings);
  void Release() noexcept;

 private:
  std::shared_ptr<CurlPoolGroup> m_group;
  CURL* m_curl = nullptr;
};

// For tests and benchmarks: the idle handles the pool holds now.
size_t CurlPoolIdleHandles();
