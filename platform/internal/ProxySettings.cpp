#include "platform/internal/ProxySettings.h"

#include <climits>

#include "internal/base/Decimal.h"
#include "internal/text/IniFile.h"
#include "platform/TQGlobalParam.h"

namespace {

// A setting above 0, read as TQGlobalParam::get reads an int.
bool IsAboveZero(const ProxySettingGetter& get, const char* key) {
  std::string text;
  int64_t number = 0;
  return get(key, text) && ParseDecimal(text, 1, INT_MAX, number);
}

}  // namespace

void DecideProxy(const ProxySettingGetter& get, ProxySettings& outProxy) {
  ProxySettings& p = outProxy;
  p.on = IsAboveZero(get, SENDLOGS_USE_HTTP_PROXY) &&
         get(SENDLOGS_HTTP_PROXY_SITE, p.site) &&
         get(SENDLOGS_HTTP_PROXY_PORT, p.port) && p.site != "0.0.0.0";
  p.authenticate = p.on &&
                   IsAboveZero(get, HUBMASTER_USE_PROXY_AUTHENTICATION) &&
                   get(SENDLOGS_HTTP_PROXY_USER, p.user) &&
                   get(SENDLOGS_HTTP_PROXY_PASSWORD, p.password) &&
                   !p.user.empty() && !p.password.empty();
}

void DecideProxy(const IniFile& config, ProxySettings& outProxy) {
  DecideProxy(
      [&config](const char* key, std::string& outValue) {
        return config.Get("GlobalParam", key, outValue);
      },
      outProxy);
}
