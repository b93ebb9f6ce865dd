#include "platform/internal/StoreSettings.h"

#include <strings.h>

#include <algorithm>

#include "platform/SecureMemory.h"
#include "platform/internal/ConfigFile.h"

namespace {

CKoError Invalid(const FXCodeLocation& loc, const char* section,
                 const char* key, const char* what) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kConfigInvalid,
      "[%s] %s in tqcloudauth.ini %s", section, key, what);
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

StoreSettings::~StoreSettings() { WipeString(databaseUrl); }

StoreSettings ReadStoreSettings(const ConfigSnapshot& config) {
  StoreSettings out;
  if (config.status.IsError() || config.ini == nullptr) {
    return out;
  }
  std::string url;
  if (config.ini->Get(kDatabaseSection, kDatabaseUrlKey, url)) {
    const bool printable = std::all_of(url.begin(), url.end(), [](char c) {
      return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
    });
    if (url.size() > kMaxDatabaseUrlBytes || !printable ||
        !(StartsWith(url, "postgresql://") || StartsWith(url, "postgres://"))) {
      out.urlProblem = Invalid(TQ_LOC, kDatabaseSection, kDatabaseUrlKey,
                               "is not a postgresql:// URI");
      WipeString(url);
    } else {
      out.databaseUrl = std::move(url);
    }
  }
  std::string shared;
  if (config.ini->Get(kSharedSection, kSharedKey, shared)) {
    if (strcasecmp(shared.c_str(), "off") == 0) {
      out.sharing = TokenSharing::kOff;
    } else if (strcasecmp(shared.c_str(), "home") == 0) {
      out.sharing = TokenSharing::kHome;
    } else if (strcasecmp(shared.c_str(), "database") == 0) {
      out.sharing = TokenSharing::kDatabase;
      if (out.databaseUrl.empty()) {
        out.sharingProblem =
            Invalid(TQ_LOC, kSharedSection, kSharedKey,
                    "is database, but [Database] Url is not set or not usable");
      }
    } else {
      out.sharingProblem = Invalid(TQ_LOC, kSharedSection, kSharedKey,
                                   "is not off, home or database");
    }
  }
  return out;
}

StoreSettings ReadStoreSettings() { return ReadStoreSettings(LoadConfig()); }
