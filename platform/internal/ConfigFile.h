#pragma once

#include <memory>
#include <string>

#include "internal/text/IniFile.h"
#include "platform/CKoError.h"

class TqHome;

// ConfigSnapshot: the home's tqcloudauth.ini as one load found it. Shared
// and never changed, so a provider's Init reads it once and hands it to
// every part that needs a setting.
struct ConfigSnapshot {
  // The settings; never null: none when the file is absent or not used.
  std::shared_ptr<const IniFile> ini;
  // Whether a file is there (used or not).
  bool present = false;
  // Success when the file was read whole or is absent. Otherwise why none
  // of its settings are used, which a request that depends on them fails
  // with: TqHome's refusal of the file (kHomeRefused), or "Failed to read
  // configuration file [<path>] at line <n>: <what>" (kConfigInvalid).
  CKoError status;
};

// LoadConfig: the configuration of home as it is now. The file is opened
// through home's checks at every load and read with the one file reader (up
// to IniFile::kMaxBytes); its text is parsed again only when it changed
// since the last load of the same path (device, inode, size, modification
// and change times), and always while it was changed within the last two
// seconds, which file times cannot tell apart.
// Tests: tests/platform/TQConfig_test.cpp
ConfigSnapshot LoadConfig(const TqHome& home);
ConfigSnapshot LoadConfig();  // of TqHome()
