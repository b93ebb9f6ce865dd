#pragma once

#include <memory>
#include <string>

#include "platform/CKoError.h"
#include "platform/TQExport.h"

class IniFile;

// Names of the product's global settings, each a key of [GlobalParam].
inline constexpr char SENDLOGS_USE_HTTP_PROXY[] = "SENDLOGS_USE_HTTP_PROXY";
inline constexpr char SENDLOGS_HTTP_PROXY_SITE[] = "SENDLOGS_HTTP_PROXY_SITE";
inline constexpr char SENDLOGS_HTTP_PROXY_PORT[] = "SENDLOGS_HTTP_PROXY_PORT";
inline constexpr char HUBMASTER_USE_PROXY_AUTHENTICATION[] =
    "HUBMASTER_USE_PROXY_AUTHENTICATION";
inline constexpr char SENDLOGS_HTTP_PROXY_USER[] = "SENDLOGS_HTTP_PROXY_USER";
inline constexpr char SENDLOGS_HTTP_PROXY_PASSWORD[] =
    "SENDLOGS_HTTP_PROXY_PASSWORD";

// TQGlobalParam: the product's global settings, section [GlobalParam] of
// $TQ_HOME/tqcloudauth.ini, read once when the object is constructed.
// Tests: tests/platform/TQConfig_test.cpp
class TQ_EXPORT TQGlobalParam {
 public:
  TQGlobalParam();
  ~TQGlobalParam();
  TQGlobalParam(const TQGlobalParam&) = delete;
  TQGlobalParam& operator=(const TQGlobalParam&) = delete;

  // Check: success when the file was read whole or is absent (no settings).
  // Otherwise what a request that depends on the settings must fail with:
  // TqHome's refusal of the file, or 774 "Failed to read configuration
  // file [<path>] at line <n>: <what>"; every lookup then finds nothing.
  CKoError Check() const;

  // 0 when the key is present (and, for the int form, a whole decimal number
  // that fits an int) and the value was stored; nonzero otherwise, with the
  // value untouched. The last argument is reserved and ignored.
  int get(const char* key, int& value, void* reserved = nullptr);
  int get(const char* key, std::string& value, void* reserved = nullptr);

 private:
  std::shared_ptr<const IniFile> m_ini;  // never null
  CKoError m_status;
};
