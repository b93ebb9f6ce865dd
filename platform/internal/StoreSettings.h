#pragma once

#include <string>

#include "platform/CKoError.h"

struct ConfigSnapshot;

// Where credentials and shared tokens live, as tqcloudauth.ini says:
//   [TokenCache] Shared = off | home | database   (default off)
//   [Database]   Url = postgresql://...           (a libpq connection URI)
// With a Url the credential store is that database instead of the home's
// SQLite file.
enum class TokenSharing { kOff, kHome, kDatabase };

inline constexpr char kSharedSection[] = "TokenCache";
inline constexpr char kSharedKey[] = "Shared";
inline constexpr char kDatabaseSection[] = "Database";
inline constexpr char kDatabaseUrlKey[] = "Url";
// The longest URI accepted: longer is a mistake, never a connection string.
inline constexpr size_t kMaxDatabaseUrlBytes = 4096;

struct StoreSettings {
  TokenSharing sharing = TokenSharing::kOff;
  std::string databaseUrl;  // "" without [Database] Url
  // Success, or why a value cannot be used (kConfigInvalid, naming the key
  // and what it may be; never quoting the URI, which may hold a password):
  // [Database] Url's (the credential store is then unusable), and
  // [TokenCache] Shared's (token requests fail with it).
  CKoError urlProblem;
  CKoError sharingProblem;

  ~StoreSettings();
};

// ReadStoreSettings: the settings of config. An unreadable configuration
// leaves the defaults (its own failure is reported where it is used).
StoreSettings ReadStoreSettings(const ConfigSnapshot& config);
StoreSettings ReadStoreSettings();  // of LoadConfig()
