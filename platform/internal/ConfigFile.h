#pragma once

#include <memory>

#include "internal/text/IniFile.h"
#include "platform/CKoError.h"

// ReadConfigFile: the home's tqcloudauth.ini into outIni, opened only when
// it passes TqHome's checks. Success with empty settings when there is no
// file; otherwise the home's refusal, or 774 naming the file and the line
// that could not be read, with outIni then holding no settings (a
// configuration read in part is never used). Defined beside TqHome, the
// owner of the path.
// Tests: tests/platform/TQConfig_test.cpp
CKoError ReadConfigFile(std::unique_ptr<IniFile>& outIni);
