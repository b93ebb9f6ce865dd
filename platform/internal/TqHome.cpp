#include "platform/internal/TqHome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

#include "internal/base/StringFormat.h"
#include "internal/io/FileReader.h"
#include "platform/FXFile.h"
#include "platform/TQPI_Base.h"

namespace {

// A temporary name that clashes only with a file left by a dead process of
// the same pid: PublishFile then tries the next one.
constexpr int kTemporaryNameAttempts = 16;

CKoError CannotCreate(const FXCodeLocation& loc, const std::string& folder,
                      int err) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
      "cannot create %s: %s", folder.c_str(), std::strerror(err));
}

CKoError CannotSave(const FXCodeLocation& loc, const std::string& path,
                    int err) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
      "Failed to save file [%s]: %s", path.c_str(), std::strerror(err));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

// path + "/" + component, one separator between them.
std::string Join(std::string path, const std::string& component) {
  (void)FXPath::Append(path, component, 0);
  return path;
}

CKoError NoHome(const FXCodeLocation& loc) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
      "no home folder: TQ_HOME is not set, and neither HOME nor the password "
      "database names a home; set TQ_HOME to a folder of your own");
}

CKoError Missing(const FXCodeLocation& loc, const std::string& path) {
  return FXErrorUtil::ErrorWin32(
      loc, TQ_ERROR_FILE_NOT_FOUND, TqFailureReason::kHomeRefused,
      "cannot open %s: %s", path.c_str(), std::strerror(ENOENT));
}

unsigned Uid(uid_t uid) { return static_cast<unsigned>(uid); }

// CheckFolder: success when path is a folder owned by the effective user or
// root that no one else may write, tightened to 0700 when it is the user's
// own and others may read it; *outMissing when nothing is there. The home
// (isHome) may be reached through a symbolic link, a folder in it not.
// Nothing is tightened unless tighten.
CKoError CheckFolder(const std::string& path, bool isHome, bool tighten,
                     bool* outMissing) {
  *outMissing = false;
  struct stat st {};
  if ((isHome ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) {
    if (errno == ENOENT) {
      *outMissing = true;
      return CKoError::Success();
    }
    return FXErrorUtil::ErrorWin32(TQ_LOC, FXFile::Win32ErrorFromErrno(errno),
                                   TqFailureReason::kHomeRefused,
                                   "cannot use %s: %s", path.c_str(),
                                   std::strerror(errno));
  }
  const uid_t me = ::geteuid();
  if (!S_ISDIR(st.st_mode)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kHomeRefused,
                                   "unsafe folder %s: %s, not a folder",
                                   path.c_str(), FileTypeName(st.st_mode));
  }
  if (st.st_uid != me && st.st_uid != 0) {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
        "unsafe folder %s: owned by uid %u, not by you (uid %u) or root; use "
        "a folder of your own",
        path.c_str(), Uid(st.st_uid), Uid(me));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
        "unsafe folder %s: group or others may write to it (mode %04o); run "
        "chmod 700 %s",
        path.c_str(), static_cast<unsigned>(st.st_mode & 07777), path.c_str());
  }
  if (tighten && (st.st_mode & 077) != 0 && st.st_uid == me &&
      ::chmod(path.c_str(), 0700) != 0) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, FXFile::Win32ErrorFromErrno(errno),
                                   TqFailureReason::kHomeRefused,
                                   "cannot chmod 700 %s: %s", path.c_str(),
                                   std::strerror(errno));
  }
  return CKoError::Success();
}

// CheckStat: the checks of a file's status that OpenFile promises; a log
// that others may read is tightened through fd when tighten.
CKoError CheckStat(const struct stat& st, int fd, const std::string& path,
                   TqHome::FileKind kind, bool tighten) {
  if (!S_ISREG(st.st_mode)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kHomeRefused,
                                   "unsafe file %s: %s, not a regular file",
                                   path.c_str(), FileTypeName(st.st_mode));
  }
  const uid_t me = ::geteuid();
  const bool rootToo = kind == TqHome::FileKind::kConfig;
  if (st.st_uid != me && !(rootToo && st.st_uid == 0)) {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
        "unsafe file %s: owned by uid %u, not by you (uid %u)%s", path.c_str(),
        Uid(st.st_uid), Uid(me), rootToo ? " or root" : "");
  }
  const auto mode = static_cast<unsigned>(st.st_mode & 07777);
  switch (kind) {
    case TqHome::FileKind::kSecret:
      if ((mode & 077) != 0) {
        return FXErrorUtil::ErrorWin32(
            TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
            "unsafe file %s: group or others may read or write it (mode "
            "%04o); run chmod 600 %s",
            path.c_str(), mode, path.c_str());
      }
      break;
    case TqHome::FileKind::kConfig:
      if ((mode & 022) != 0) {
        return FXErrorUtil::ErrorWin32(
            TQ_LOC, TQ_ERROR_GENERAL, TqFailureReason::kHomeRefused,
            "unsafe file %s: group or others may write it (mode %04o); run "
            "chmod go-w %s",
            path.c_str(), mode, path.c_str());
      }
      break;
    case TqHome::FileKind::kLog:
      if (tighten && fd >= 0 && (mode & 077) != 0 &&
          ::fchmod(fd, mode & 07700) != 0) {
        return FXErrorUtil::ErrorWin32(
            TQ_LOC, FXFile::Win32ErrorFromErrno(errno),
            TqFailureReason::kHomeRefused, "cannot chmod 600 %s: %s",
            path.c_str(), std::strerror(errno));
      }
      break;
  }
  return CKoError::Success();
}

// Removes the file at its path when it goes, unless released.
class Unlinker {
 public:
  Unlinker() = default;
  ~Unlinker() { Now(); }
  Unlinker(const Unlinker&) = delete;
  Unlinker& operator=(const Unlinker&) = delete;
  void Arm(std::string path) { m_path = std::move(path); }
  void Release() { m_path.clear(); }
  void Now() {
    if (!m_path.empty()) {
      ::unlink(m_path.c_str());
      m_path.clear();
    }
  }

 private:
  std::string m_path;
};

CKoError ReadOnly(const FXCodeLocation& loc, const std::string& path) {
  return FXErrorUtil::ErrorWin32(loc, TQ_ERROR_GENERAL,
                                 TqFailureReason::kHomeRefused, "%s: read-only",
                                 path.c_str());
}

}  // namespace

TqHome::TqHome() : m_home(TQPI_Base().getHomeDirectory()) {}

TqHome::TqHome(Access access) : TqHome() {
  m_tighten = access == Access::kTighten;
}

std::string TqHome::ConfigFile() const {
  return Join(m_home, "tqcloudauth.ini");
}

std::string TqHome::KeyFile() const { return Join(m_home, "secret.key"); }

std::string TqHome::CredentialStore() const {
  return Join(m_home, "credentials.db");
}

std::vector<std::string> TqHome::CredentialStoreCompanions() const {
  const std::string store = CredentialStore();
  return {store + "-journal", store + "-wal", store + "-shm"};
}

std::string TqHome::SharedTokenStore() const {
  return Join(m_home, "tokens.db");
}

std::vector<std::string> TqHome::SharedTokenStoreCompanions() const {
  const std::string store = SharedTokenStore();
  return {store + "-journal", store + "-wal", store + "-shm"};
}

std::string TqHome::LogsFolder() const { return Join(m_home, "logs"); }

std::string TqHome::LogFile() const {
  return Join(LogsFolder(), "tqcloudauth.log");
}

std::string TqHome::CertificatesFolder() const {
  return Join(m_home, "certificates");
}

std::string TqHome::CertificateFile(const std::string& name) const {
  return Join(CertificatesFolder(), "Azure_" + name + ".crt");
}

CKoError TqHome::MakePrivateFolder(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return CKoError::Success();
  }
  // Each prefix that ends at a separator, then the whole path.
  for (size_t end = 1; end <= path.size(); ++end) {
    if (end != path.size() && path[end] != '/') {
      continue;
    }
    const std::string folder = path.substr(0, end);
    if (::mkdir(folder.c_str(), 0700) == 0) {
      // The umask may have cleared owner bits.
      if (::chmod(folder.c_str(), 0700) != 0) {
        return CannotCreate(TQ_LOC, folder, errno);
      }
    } else if (errno != EEXIST) {
      return CannotCreate(TQ_LOC, folder, errno);
    }
  }
  if (::stat(path.c_str(), &st) != 0) {
    return CannotCreate(TQ_LOC, path, errno);
  }
  if (!S_ISDIR(st.st_mode)) {
    return CannotCreate(TQ_LOC, path, ENOTDIR);
  }
  return CKoError::Success();
}

CKoError TqHome::PublishFile(const std::string& path, const void* data,
                             size_t size, mode_t mode, Existing existing,
                             bool* outKept) const {
  static std::atomic<unsigned long> counter{0};
  if (!m_tighten) {
    return ReadOnly(TQ_LOC, path);
  }
  CKoError checked = CheckFoldersOf(path);
  if (checked.IsError()) {
    return checked.Push(TQ_LOC);
  }
  Unlinker temporary;
  std::string temporaryPath;
  auto_handle file;
  for (int attempt = 0;; ++attempt) {
    temporaryPath = StringPrintf("%s.%ld.%lu.tmp", path.c_str(),
                                 static_cast<long>(::getpid()), ++counter);
    // CREATE_NEW: O_EXCL, O_NOFOLLOW, owner-only from the start.
    CKoError st =
        FXFile::TQCreateFile(file, temporaryPath, GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!st.IsError()) {
      break;
    }
    if (st.GetWin32Code() != TQ_ERROR_FILE_EXISTS ||
        attempt + 1 == kTemporaryNameAttempts) {
      return st.SetReason(TqFailureReason::kHomeRefused).Push(TQ_LOC);
    }
  }
  temporary.Arm(temporaryPath);
  CKoError st = FXFile::TQWriteFile(file, data, size, nullptr, nullptr);
  if (st.IsError()) {
    return st.SetReason(TqFailureReason::kHomeRefused).Push(TQ_LOC);
  }
  if (::fchmod(file.get(), mode) != 0 || ::fsync(file.get()) != 0) {
    return CannotSave(TQ_LOC, path, errno);
  }
  file.reset(-1);

  bool kept = false;
  if (existing == Existing::kKeep) {
    if (::link(temporaryPath.c_str(), path.c_str()) != 0) {
      if (errno != EEXIST) {
        return CannotSave(TQ_LOC, path, errno);
      }
      kept = true;
    }
  } else {
    if (::rename(temporaryPath.c_str(), path.c_str()) != 0) {
      return CannotSave(TQ_LOC, path, errno);
    }
    temporary.Release();
  }
  temporary.Now();

  const std::string folder = FolderOf(path);
  auto_handle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid() || ::fsync(dir.get()) != 0) {
    return CannotSave(TQ_LOC, path, errno);
  }
  if (outKept != nullptr) {
    *outKept = kept;
  }
  return CKoError::Success();
}

CKoError TqHome::Check() const {
  if (m_home.empty()) {
    return NoHome(TQ_LOC);
  }
  bool missing = false;
  CKoError st = ::CheckFolder(m_home, true, m_tighten, &missing);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  if (missing) {
    return CKoError::Success();
  }
  st = ::CheckFolder(CertificatesFolder(), false, m_tighten, &missing);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  struct File {
    std::string path;
    FileKind kind;
  };
  std::vector<File> files = {
      {ConfigFile(), FileKind::kConfig},
      {KeyFile(), FileKind::kSecret},
      {CredentialStore(), FileKind::kSecret},
      {SharedTokenStore(), FileKind::kSecret},
      {LogFile(), FileKind::kLog},
  };
  for (const std::vector<std::string>& companions :
       {CredentialStoreCompanions(), SharedTokenStoreCompanions()}) {
    for (const std::string& companion : companions) {
      files.push_back({companion, FileKind::kSecret});
    }
  }
  for (const File& file : files) {
    st = CheckFile(file.path, file.kind);
    if (st.IsError() && !IsMissing(st)) {
      return st.Push(TQ_LOC);
    }
  }
  return CKoError::Success();
}

CKoError TqHome::CheckFolder(const std::string& folder) const {
  if (m_home.empty()) {
    return NoHome(TQ_LOC);
  }
  bool missing = false;
  CKoError st = ::CheckFolder(folder, folder == m_home, m_tighten, &missing);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

bool TqHome::Contains(const std::string& path) const {
  if (m_home.empty()) {
    return false;
  }
  const std::string prefix = m_home == "/" ? "/" : m_home + "/";
  return path.size() > prefix.size() &&
         path.compare(0, prefix.size(), prefix) == 0;
}

CKoError TqHome::CheckFoldersOf(const std::string& path) const {
  if (m_home.empty()) {
    return NoHome(TQ_LOC);
  }
  const std::string folder = FolderOf(path);
  // A file in the home or in a folder of it: only those are checked whole.
  if (!Contains(path) || (folder != m_home && FolderOf(folder) != m_home)) {
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, TQ_ERROR_INVALID_PARAMETER, TqFailureReason::kHomeRefused,
        "%s is not a file of the home folder %s", path.c_str(), m_home.c_str());
  }
  bool missing = false;
  CKoError st = ::CheckFolder(m_home, true, m_tighten, &missing);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  if (!missing && folder != m_home) {
    st = ::CheckFolder(folder, false, m_tighten, &missing);
    if (st.IsError()) {
      return st.Push(TQ_LOC);
    }
  }
  return missing ? Missing(TQ_LOC, path) : CKoError::Success();
}

CKoError TqHome::MakeFolder(const std::string& folder) const {
  if (m_home.empty()) {
    return NoHome(TQ_LOC);
  }
  if (!m_tighten) {
    return ReadOnly(TQ_LOC, folder);
  }
  bool missing = false;
  CKoError st = ::CheckFolder(m_home, true, m_tighten, &missing);
  if (!st.IsError() && missing) {
    st = MakePrivateFolder(m_home);
    if (!st.IsError()) {
      st = ::CheckFolder(m_home, true, m_tighten, &missing);
    }
  }
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  if (missing) {
    return CannotCreate(TQ_LOC, m_home, ENOENT);
  }
  if (folder == m_home) {
    return CKoError::Success();
  }
  if (!Contains(folder) || FolderOf(folder) != m_home) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_INVALID_PARAMETER,
                                   TqFailureReason::kHomeRefused,
                                   "%s is not a folder of the home folder %s",
                                   folder.c_str(), m_home.c_str());
  }
  st = ::CheckFolder(folder, false, m_tighten, &missing);
  if (!st.IsError() && missing) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      return CannotCreate(TQ_LOC, folder, errno);
    }
    // CheckFolder takes the umask's bits off again.
    st = ::CheckFolder(folder, false, m_tighten, &missing);
  }
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return missing ? CannotCreate(TQ_LOC, folder, ENOENT) : CKoError::Success();
}

CKoError TqHome::OpenFile(const std::string& path, FileKind kind, int flags,
                          mode_t mode, auto_handle& outFile) const {
  if (!m_tighten && (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0) {
    return ReadOnly(TQ_LOC, path);
  }
  CKoError st = CheckFoldersOf(path);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  // O_NONBLOCK: a FIFO in the file's place must not hang the open.
  int fd = -1;
  do {
    fd =
        ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    struct stat found {};
    if (err == ENOENT) {
      return Missing(TQ_LOC, path);
    }
    if (::lstat(path.c_str(), &found) == 0 && !S_ISREG(found.st_mode)) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     TqFailureReason::kHomeRefused,
                                     "unsafe file %s: %s, not a regular file",
                                     path.c_str(), FileTypeName(found.st_mode));
    }
    return FXErrorUtil::ErrorWin32(
        TQ_LOC, FXFile::Win32ErrorFromErrno(err), TqFailureReason::kHomeRefused,
        "cannot open %s: %s", path.c_str(), std::strerror(err));
  }
  auto_handle file(fd);
  struct stat found {};
  if (::fstat(fd, &found) != 0) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, FXFile::Win32ErrorFromErrno(errno),
                                   TqFailureReason::kHomeRefused,
                                   "cannot open %s: %s", path.c_str(),
                                   std::strerror(errno));
  }
  st = CheckStat(found, fd, path, kind, m_tighten);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  // O_NONBLOCK stays: it means nothing to a regular file.
  outFile = std::move(file);
  return CKoError::Success();
}

CKoError TqHome::CheckFile(const std::string& path, FileKind kind) const {
  auto_handle file;
  CKoError st = OpenFile(path, kind, O_RDONLY, 0, file);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

CKoError TqHome::CheckFileStatus(const std::string& path, FileKind kind,
                                 struct stat& outStatus) const {
  CKoError st = CheckFoldersOf(path);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  struct stat found {};
  if (::lstat(path.c_str(), &found) != 0) {
    if (errno == ENOENT) {
      return Missing(TQ_LOC, path);
    }
    return FXErrorUtil::ErrorWin32(TQ_LOC, FXFile::Win32ErrorFromErrno(errno),
                                   TqFailureReason::kHomeRefused,
                                   "cannot use %s: %s", path.c_str(),
                                   std::strerror(errno));
  }
  st = CheckStat(found, -1, path, kind, false);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  outStatus = found;
  return CKoError::Success();
}

bool TqHome::IsMissing(const CKoError& st) noexcept {
  return st.IsError() && (st.GetWin32Code() == TQ_ERROR_FILE_NOT_FOUND ||
                          st.GetWin32Code() == TQ_ERROR_PATH_NOT_FOUND);
}
