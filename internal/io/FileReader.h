#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/SecureMemory.h"

// The one way the library and its programs read a whole file: the bytes land
// in storage that is wiped when it is freed (a file may hold a key or a
// password), the size is bounded before a byte is read and again while
// reading (a file may grow), a FIFO or device is never waited on, and an
// interrupted read is resumed.
// Tests: tests/internal/FileReader_test.cpp

// FileIdentity: what tells one version of a file from another: device,
// inode, size, modification and change times. Two reads of a file whose
// identity did not change read the same bytes, unless the file was changed
// within the same tick of the file system's clock.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static FileIdentity Of(const struct stat& st) noexcept;
  bool operator==(const FileIdentity& other) const noexcept;
  bool operator!=(const FileIdentity& other) const noexcept {
    return !(*this == other);
  }
};

// FileBytes: a file's bytes; wiped when freed.
using FileBytes = std::vector<char, ZeroingAllocator<char>>;

// Whether a symbolic link at the path itself is followed. Files the library
// keeps (under the home) are never reached through one; a file the user
// names on a command line or in the configuration may be.
enum class FileLinks { kRefuse, kFollow };

// FileReadError: why a file was not read.
struct FileReadError {
  enum class Kind {
    kNone,
    kMissing,     // nothing at the path (or a folder on the way is missing)
    kNotRegular,  // a link (refused), FIFO, folder, device or socket
    kTooLarge,    // more than the limit
    kIo,          // open or read failed otherwise
  };
  Kind kind = Kind::kNone;
  int err = 0;       // errno, for kMissing and kIo
  mode_t mode = 0;   // what stands there, for kNotRegular
  size_t limit = 0;  // the limit, for kTooLarge

  // For people: "cannot open <path>: <reason>", "<path> is a FIFO, not a
  // regular file", "<path> is larger than <limit> bytes", "cannot read
  // <path>: <reason>".
  std::string Describe(const std::string& path) const;
};

// FileTypeName: what mode stands for, for people ("a FIFO", "a folder",
// "a symbolic link", "a regular file" ...).
const char* FileTypeName(mode_t mode) noexcept;

// ReadOpenedFile: the whole of the file open at fd (from its current
// offset) into outBytes. It must be a regular file of at most maxBytes
// bytes. True with exactly its bytes and, when outIdentity is not null, the
// identity it had when read; false with outError set and outBytes empty.
// fd stays open.
bool ReadOpenedFile(int fd, size_t maxBytes, FileBytes& outBytes,
                    FileReadError& outError,
                    FileIdentity* outIdentity = nullptr);

// ReadWholeFile: opens path (read-only, close-on-exec, without blocking;
// without following a link at the path with FileLinks::kRefuse), then
// ReadOpenedFile.
bool ReadWholeFile(const std::string& path, FileLinks links, size_t maxBytes,
                   FileBytes& outBytes, FileReadError& outError,
                   FileIdentity* outIdentity = nullptr);
