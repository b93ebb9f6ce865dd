#include "internal/io/FileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/auto_handle.h"

namespace {

constexpr size_t kChunkBytes = 16 * 1024;

}  // namespace

FileIdentity FileIdentity::Of(const struct stat& st) noexcept {
  FileIdentity id;
  id.device = st.st_dev;
  id.inode = st.st_ino;
  id.size = st.st_size;
  id.modified = st.st_mtim;
  id.changed = st.st_ctim;
  return id;
}

bool FileIdentity::operator==(const FileIdentity& o) const noexcept {
  return device == o.device && inode == o.inode && size == o.size &&
         modified.tv_sec == o.modified.tv_sec &&
         modified.tv_nsec == o.modified.tv_nsec &&
         changed.tv_sec == o.changed.tv_sec &&
         changed.tv_nsec == o.changed.tv_nsec;
}

const char* FileTypeName(mode_t mode) noexcept {
  if (S_ISLNK(mode)) {
    return "a symbolic link";
  }
  if (S_ISFIFO(mode)) {
    return "a FIFO";
  }
  if (S_ISDIR(mode)) {
    return "a folder";
  }
  if (S_ISCHR(mode) || S_ISBLK(mode)) {
    return "a device";
  }
  if (S_ISSOCK(mode)) {
    return "a socket";
  }
  return S_ISREG(mode) ? "a regular file" : "not a regular file";
}

std::string FileReadError::Describe(const std::string& path) const {
  switch (kind) {
    case Kind::kNone:
      return path + " was read";
    case Kind::kMissing:
      return "cannot open " + path + ": " + std::strerror(err);
    case Kind::kNotRegular:
      return path + " is " + FileTypeName(mode) + ", not a regular file";
    case Kind::kTooLarge:
      return path + " is larger than " + std::to_string(limit) + " bytes";
    case Kind::kIo:
      break;
  }
  return "cannot read " + path + ": " + std::strerror(err);
}

bool ReadOpenedFile(int fd, size_t maxBytes, FileBytes& outBytes,
                    FileReadError& outError, FileIdentity* outIdentity) {
  outBytes.clear();
  outError = FileReadError();
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    outError.kind = FileReadError::Kind::kIo;
    outError.err = errno;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    outError.kind = FileReadError::Kind::kNotRegular;
    outError.mode = st.st_mode;
    return false;
  }
  if (st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) > maxBytes) {
    outError.kind = FileReadError::Kind::kTooLarge;
    outError.limit = maxBytes;
    return false;
  }
  // One byte more than the size found: a file that grew is noticed at once.
  FileBytes bytes(static_cast<size_t>(st.st_size) + 1);
  size_t have = 0;
  for (;;) {
    if (have == bytes.size()) {
      if (bytes.size() > maxBytes) {
        outError.kind = FileReadError::Kind::kTooLarge;
        outError.limit = maxBytes;
        return false;
      }
      // Grown through the allocator, which wipes what it gives back.
      bytes.resize(std::min(maxBytes + 1, bytes.size() + kChunkBytes));
    }
    const ssize_t n = ::read(fd, bytes.data() + have, bytes.size() - have);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      outError.kind = FileReadError::Kind::kIo;
      outError.err = errno;
      return false;
    }
    if (n == 0) {
      break;
    }
    have += static_cast<size_t>(n);
  }
  bytes.resize(have);
  outBytes.swap(bytes);
  if (outIdentity != nullptr) {
    *outIdentity = FileIdentity::Of(st);
  }
  return true;
}

bool ReadWholeFile(const std::string& path, FileLinks links, size_t maxBytes,
                   FileBytes& outBytes, FileReadError& outError,
                   FileIdentity* outIdentity) {
  outBytes.clear();
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
  if (links == FileLinks::kRefuse) {
    flags |= O_NOFOLLOW;
  }
  int fd = -1;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    outError = FileReadError();
    struct stat st {};
    if (err == ELOOP && ::lstat(path.c_str(), &st) == 0) {
      outError.kind = FileReadError::Kind::kNotRegular;
      outError.mode = st.st_mode;
    } else {
      outError.kind = err == ENOENT || err == ENOTDIR
                          ? FileReadError::Kind::kMissing
                          : FileReadError::Kind::kIo;
      outError.err = err;
    }
    return false;
  }
  const auto_handle file(fd);
  return ReadOpenedFile(file.get(), maxBytes, outBytes, outError, outIdentity);
}
