#include "platform/internal/ConfigFile.h"

#include <fcntl.h>

#include "platform/auto_handle.h"
#include "platform/internal/TqHome.h"

CKoError ReadConfigFile(std::unique_ptr<IniFile>& outIni) {
  const TqHome home;
  auto_handle file;
  const std::string path = home.ConfigFile();
  CKoError st =
      home.OpenFile(path, TqHome::FileKind::kConfig, O_RDONLY, 0, file);
  if (TqHome::IsMissing(st)) {
    st = CKoError::Success();
  }
  outIni = std::make_unique<IniFile>(file.get(), path);
  if (!outIni->Ok()) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL, "%s",
                                   outIni->Error().c_str());
  }
  return st;
}
