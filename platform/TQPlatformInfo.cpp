#include "platform/TQPlatformInfo.h"

#include "internal/text/IniFile.h"
#include "platform/internal/ConfigFile.h"

TQPlatformInfo::TQPlatformInfo() {
  ConfigSnapshot config = LoadConfig();
  m_ini = std::move(config.ini);
  m_status = config.status;
}

CKoError TQPlatformInfo::Check() const { return m_status; }

TQPlatformInfo::~TQPlatformInfo() = default;

int TQPlatformInfo::getNumber(const char* group, const char* name,
                              unsigned long* value) {
  long long number = 0;
  if (value == nullptr || !m_ini->GetLong(group, name, number) || number < 0) {
    return 0;
  }
  *value = static_cast<unsigned long>(number);
  return 1;
}

int TQPlatformInfo::getNumber(const char* group, const char* name,
                              unsigned int* value) {
  unsigned long wide = 0;
  const int found = getNumber(group, name, &wide);
  if (found != 0 && value != nullptr) {
    *value = static_cast<unsigned int>(wide & 0xFFFFFFFFul);
  }
  return found;
}

bool TQPlatformInfo::getString(const char* group, const char* name,
                               std::string& value) {
  return m_ini->Get(group, name, value);
}
