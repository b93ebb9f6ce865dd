#pragma once

#include <functional>
#include <string>

#include "platform/SecureMemory.h"

// The proxy [GlobalParam] of tqcloudauth.ini sets, decided by one rule for
// the requests and for the checks that report on them.
// Tests: tests/platform/TQConfig_test.cpp, tests/tools/Doctor_test.cpp

// ProxySettings: the password is wiped with it.
struct ProxySettings {
  bool on = false;
  bool authenticate = false;
  std::string site;
  std::string port;
  std::string user;
  std::string password;
  ProxySettings() = default;
  ProxySettings(const ProxySettings&) = delete;
  ProxySettings& operator=(const ProxySettings&) = delete;
  ~ProxySettings() { WipeString(password); }
  std::string Name() const { return site + ":" + port; }
};

// ProxySettingGetter: true and the value of [GlobalParam] key when set.
using ProxySettingGetter =
    std::function<bool(const char* key, std::string& outValue)>;

// DecideProxy: the proxy is on when SENDLOGS_USE_HTTP_PROXY is a whole
// number above 0 (of int range) and SENDLOGS_HTTP_PROXY_SITE and _PORT are
// set, the site not being "0.0.0.0"; with authentication when, besides,
// HUBMASTER_USE_PROXY_AUTHENTICATION is above 0 and the user and password
// are set and not empty. Defined beside TQGlobalParam, the owner of the keys.
void DecideProxy(const ProxySettingGetter& get, ProxySettings& outProxy);

// DecideProxy: the same rule over [GlobalParam] of a configuration.
class IniFile;
void DecideProxy(const IniFile& config, ProxySettings& outProxy);
