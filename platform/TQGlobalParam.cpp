#include "platform/TQGlobalParam.h"

#include <fcntl.h>

#include <climits>

#include "internal/IniFile.h"
#include "platform/TQPI_Base.h"
#include "platform/TqHome.h"
#include "platform/auto_handle.h"

namespace {
constexpr char kSection[] = "GlobalParam";
constexpr int kNotFound = 1;
}  // namespace

TQGlobalParam::TQGlobalParam() {
  // Only a configuration that passes TqHome's checks is read.
  const TqHome home;
  auto_handle file;
  const std::string path = home.ConfigFile();
  m_status = home.OpenFile(path, TqHome::FileKind::kConfig, O_RDONLY, 0, file);
  if (TqHome::IsMissing(m_status)) {
    m_status = CKoError::Success();
  }
  m_ini = std::make_unique<IniFile>(file.get(), path);
  if (!m_ini->Ok()) {
    m_status = FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL, "%s",
                                       m_ini->Error().c_str());
  }
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
