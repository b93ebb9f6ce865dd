#include "platform/FXFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <utility>

namespace {

// strerror_r comes in two shapes; both overloads turn it into a text.
[[maybe_unused]] const char* ErrorText(int rc, const char* buffer) {
  return rc == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* text, const char*) {
  return text;
}

std::string ErrnoText(int err) {
  char buffer[128] = {};
  return ErrorText(::strerror_r(err, buffer, sizeof buffer), buffer);
}

// Whether the folder that would hold path exists, to tell a missing file
// (2) from a missing path (3) as Win32 does.
bool ParentExists(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    return true;  // the current folder
  }
  const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  struct stat st {};
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

unsigned int FXFile::Win32ErrorFromErrno(int err) noexcept {
  switch (err) {
    case ENOENT:
      return TQ_ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return TQ_ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return TQ_ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return TQ_ERROR_ACCESS_DENIED;
    case EBADF:
      return TQ_ERROR_INVALID_HANDLE;
    case ENOMEM:
      return TQ_ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return TQ_ERROR_FILE_EXISTS;
    case EINVAL:
      return TQ_ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT:
      return TQ_ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return TQ_ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
      return TQ_ERROR_FILE_TOO_LARGE;
    case EIO:
      return TQ_ERROR_IO_DEVICE;
    case ELOOP:
      return TQ_ERROR_CANT_RESOLVE_FILENAME;
    default:
      return TQ_ERROR_GENERAL;
  }
}

CKoError FXPath::Append(std::string& path, const std::string& component,
                        unsigned int /*flags*/) {
  if (component.empty()) {
    return CKoError::Success();
  }
  if (path.empty()) {
    path = component;
    return CKoError::Success();
  }
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') {
    --end;
  }
  path.resize(end);
  const size_t start = component.find_first_not_of('/');
  if (start == std::string::npos) {
    // Only slashes: the folder itself.
    if (path != "/") {
      path += '/';
    }
    return CKoError::Success();
  }
  if (path != "/") {
    path += '/';
  }
  path.append(component, start, std::string::npos);
  return CKoError::Success();
}

bool FXFile::DoesFileExist(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

CKoError FXFile::TQCreateFile(auto_handle& handle, const std::string& path,
                              unsigned int access, unsigned int /*share*/,
                              void* /*securityAttributes*/,
                              unsigned int disposition, unsigned int flags,
                              void* /*templateFile*/) {
  const bool read = (access & GENERIC_READ) != 0;
  const bool write = (access & GENERIC_WRITE) != 0;
  int oflags = O_CLOEXEC | O_NOFOLLOW;
  oflags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  bool exactMode = false;
  switch (disposition) {
    case CREATE_NEW:
      oflags |= O_CREAT | O_EXCL;
      exactMode = true;
      break;
    case CREATE_ALWAYS:
      oflags |= O_CREAT | O_TRUNC;
      exactMode = true;
      break;
    case OPEN_EXISTING:
      break;
    case OPEN_ALWAYS:
      oflags |= O_CREAT;
      break;
    case TRUNCATE_EXISTING:
      if (!write) {
        return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_INVALID_PARAMETER,
                                       "Failed to create file [%s]: %s",
                                       path.c_str(), ErrnoText(EINVAL).c_str());
      }
      oflags |= O_TRUNC;
      break;
    default:
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_INVALID_PARAMETER,
                                     "Failed to create file [%s]: %s",
                                     path.c_str(), ErrnoText(EINVAL).c_str());
  }
  // A staged file may hold a private key: nobody but the owner reads it.
  const mode_t mode = (flags & FILE_ATTRIBUTE_READONLY) != 0 ? 0400 : 0600;

  int fd = -1;
  do {
    fd = ::open(path.c_str(), oflags, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    unsigned int code = Win32ErrorFromErrno(err);
    if (err == ENOENT && !ParentExists(path)) {
      code = TQ_ERROR_PATH_NOT_FOUND;
    }
    return FXErrorUtil::ErrorWin32(TQ_LOC, code,
                                   "Failed to create file [%s]: %s",
                                   path.c_str(), ErrnoText(err).c_str());
  }
  auto_handle opened(fd);
  // The umask may have cleared bits, and an existing file that is replaced
  // keeps its old mode otherwise.
  if (exactMode && ::fchmod(fd, mode) != 0) {
    const int err = errno;
    return FXErrorUtil::ErrorWin32(TQ_LOC, Win32ErrorFromErrno(err),
                                   "Failed to create file [%s]: %s",
                                   path.c_str(), ErrnoText(err).c_str());
  }
  handle = std::move(opened);
  return CKoError::Success();
}

CKoError FXFile::TQWriteFile(const auto_handle& handle, const void* data,
                             unsigned long length, unsigned long* written,
                             void* /*overlapped*/) {
  unsigned long done = 0;
  if (written != nullptr) {
    *written = 0;
  }
  if (!handle.valid()) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_INVALID_HANDLE,
                                   "Failed to write file: %s",
                                   ErrnoText(EBADF).c_str());
  }
  if (data == nullptr && length != 0) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_INVALID_PARAMETER,
                                   "Failed to write file: %s",
                                   ErrnoText(EINVAL).c_str());
  }
  const char* p = static_cast<const char*>(data);
  while (done < length) {
    const unsigned long chunk =
        length - done < static_cast<unsigned long>(SSIZE_MAX)
            ? length - done
            : static_cast<unsigned long>(SSIZE_MAX);
    const ssize_t n = ::write(handle.get(), p + done, chunk);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      // write(2) returning 0 for a non-empty buffer makes no progress.
      const int err = n < 0 ? errno : ENOSPC;
      if (written != nullptr) {
        *written = done;
      }
      return FXErrorUtil::ErrorWin32(TQ_LOC, Win32ErrorFromErrno(err),
                                     "Failed to write file: %s",
                                     ErrnoText(err).c_str());
    }
    done += static_cast<unsigned long>(n);
  }
  if (written != nullptr) {
    *written = done;
  }
  return CKoError::Success();
}
