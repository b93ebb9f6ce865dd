#include "platform/TQGlobalParam.h"

#include <fcntl.h>

#include <climits>

#include "internal/ConfigFile.h"
#include "internal/IniFile.h"
#include "internal/ProxySettings.h"
#include "platform/TQPI_Base.h"
#include "platform/TqHome.h"
#include "platform/auto_handle.h"

namespace {
constexpr char kSection[] = "GlobalParam";
constexpr int kNotFound = 1;
}  // namespace

TQGlobalParam::TQGlobalParam() : m_status(ReadConfigFile(m_ini)) {}

CKoError TQGlobalParam::Check() const { return m_status; }

TQGlobalParam::~TQGlobalParam() = default;

int TQGlobalParam::get(const char* key, int& value, void* /*reserved*/) {
  long long number = 0;
  if (key == nullptr || !m_ini->GetLong(kSection, key, number) ||
      number < INT_MIN || number > INT_MAX) {
    return kNotFound;
  }
  value = static_cast<int>(number);
  return 0;
}

namespace {

// A setting above 0, read as TQGlobalParam::get reads an int.
bool IsAboveZero(const ProxySettingGetter& get, const char* key) {
  std::string text;
  long long number = 0;
  return get(key, text) && IniFile::ParseLong(text, number) && number > 0 &&
         number <= INT_MAX;
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

int TQGlobalParam::get(const char* key, std::string& value,
                       void* /*reserved*/) {
  if (key == nullptr || !m_ini->Get(kSection, key, value)) {
    return kNotFound;
  }
  return 0;
}
