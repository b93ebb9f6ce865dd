#include "platform/TqHome.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "internal/StringFormat.h"
#include "platform/FXFile.h"
#include "platform/TQPI_Base.h"

namespace {

// A temporary name that clashes only with a file left by a dead process of
// the same pid: PublishFile then tries the next one.
constexpr int kTemporaryNameAttempts = 16;

CKoError CannotCreate(const FXCodeLocation& loc, const std::string& folder,
                      int err) {
  return FXErrorUtil::ErrorWin32(loc, TQ_ERROR_GENERAL, "cannot create %s: %s",
                                 folder.c_str(), std::strerror(err));
}

CKoError CannotSave(const FXCodeLocation& loc, const std::string& path,
                    int err) {
  return FXErrorUtil::ErrorWin32(loc, TQ_ERROR_GENERAL,
                                 "Failed to save file [%s]: %s", path.c_str(),
                                 std::strerror(err));
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

}  // namespace

TqHome::TqHome() : m_home(TQPI_Base().getHomeDirectory()) {}

std::string TqHome::ConfigFile() const {
  return Join(m_home, "tqcloudauth.ini");
}

std::string TqHome::KeyFile() const { return Join(m_home, "secret.key"); }

std::string TqHome::CredentialStore() const {
  return Join(m_home, "credentials.db");
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
                             bool* outKept) {
  static std::atomic<unsigned long> counter{0};
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
      return st.Push(TQ_LOC);
    }
  }
  temporary.Arm(temporaryPath);
  CKoError st = FXFile::TQWriteFile(file, data, size, nullptr, nullptr);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
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
  auto_handle dir;
  if (!OpenPrivateFile(folder, O_RDONLY | O_DIRECTORY, 0, dir) ||
      ::fsync(dir.get()) != 0) {
    return CannotSave(TQ_LOC, path, errno);
  }
  if (outKept != nullptr) {
    *outKept = kept;
  }
  return CKoError::Success();
}

bool TqHome::OpenPrivateFile(const std::string& path, int flags, mode_t mode,
                             auto_handle& outFile) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return false;
  }
  outFile.reset(fd);
  return true;
}
