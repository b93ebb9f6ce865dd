#include "platform/internal/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <mutex>

#include "internal/base/ForkGeneration.h"
#include "internal/io/FileReader.h"
#include "platform/auto_handle.h"
#include "platform/internal/TqHome.h"

namespace {

// A change within this many seconds of a load may not show in the file's
// times (their clock ticks coarsely): such a file is read again.
constexpr time_t kRacySeconds = 2;

// The last file parsed: its path, identity and settings.
struct ParsedConfig {
  std::mutex mutex;
  std::string path;
  FileIdentity identity;
  std::shared_ptr<const IniFile> ini;
};

// The process's own (a forked child keeps its own), outliving every user.
ParsedConfig& LastParsed() {
  static auto* last = new PerProcess<ParsedConfig>();
  return last->Get();
}

std::shared_ptr<const IniFile> NoSettings() {
  static const auto* none =
      new std::shared_ptr<const IniFile>(std::make_shared<const IniFile>());
  return *none;
}

}  // namespace

ConfigSnapshot LoadConfig() { return LoadConfig(TqHome()); }

ConfigSnapshot LoadConfig(const TqHome& home) {
  ConfigSnapshot out;
  out.ini = NoSettings();
  const std::string path = home.ConfigFile();
  auto_handle file;
  const CKoError opened =
      home.OpenFile(path, TqHome::FileKind::kConfig, O_RDONLY, 0, file);
  if (TqHome::IsMissing(opened)) {
    return out;
  }
  out.present = true;
  if (opened.IsError()) {
    out.status = opened;
    return out;
  }
  struct stat st {};
  const bool known = ::fstat(file.get(), &st) == 0;
  const FileIdentity identity = known ? FileIdentity::Of(st) : FileIdentity();
  const time_t now = std::time(nullptr);
  const bool settled = known && now - st.st_mtim.tv_sec > kRacySeconds &&
                       now - st.st_ctim.tv_sec > kRacySeconds;
  ParsedConfig& last = LastParsed();
  if (settled) {
    std::lock_guard<std::mutex> lock(last.mutex);
    if (last.ini && last.path == path && last.identity == identity) {
      out.ini = last.ini;
      return out;
    }
  }
  FileBytes text;
  FileReadError error;
  if (!ReadOpenedFile(file.get(), IniFile::kMaxBytes, text, error)) {
    const std::string what = error.kind == FileReadError::Kind::kTooLarge
                                 ? "the file is larger than " +
                                       std::to_string(IniFile::kMaxBytes) +
                                       " bytes"
                                 : error.Describe(path);
    out.status = FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kConfigInvalid, "%s",
        IniFile::FailedAt(path, 1, what).c_str());
    return out;
  }
  auto ini = std::make_shared<const IniFile>(text.data(), text.size(), path);
  if (!ini->Ok()) {
    out.status = FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                         TqFailureReason::kConfigInvalid, "%s",
                                         ini->Error().c_str());
    return out;
  }
  out.ini = ini;
  if (settled) {
    std::lock_guard<std::mutex> lock(last.mutex);
    last.path = path;
    last.identity = identity;
    last.ini = std::move(ini);
  }
  return out;
}
