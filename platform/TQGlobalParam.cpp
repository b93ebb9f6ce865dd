#include "platform/TQGlobalParam.h"

#include <climits>

#include "internal/text/IniFile.h"
#include "platform/internal/ConfigFile.h"

namespace {
constexpr char kSection[] = "GlobalParam";
constexpr int kNotFound = 1;
}  // namespace

TQGlobalParam::TQGlobalParam() {
  ConfigSnapshot config = LoadConfig();
  m_ini = std::move(config.ini);
  m_status = config.status;
}

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

int TQGlobalParam::get(const char* key, std::string& value,
                       void* /*reserved*/) {
  if (key == nullptr || !m_ini->Get(kSection, key, value)) {
    return kNotFound;
  }
  return 0;
}
