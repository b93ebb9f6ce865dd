#pragma once

#include <string>

#include "platform/CKoError.h"
#include "platform/TQExport.h"
#include "platform/auto_handle.h"

// Win32 creation values that FXFile::TQCreateFile understands.
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000u
#endif
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 0x00000001u
#endif
#ifndef FILE_SHARE_WRITE
#define FILE_SHARE_WRITE 0x00000002u
#endif
#ifndef CREATE_NEW
#define CREATE_NEW 1u
#endif
#ifndef CREATE_ALWAYS
#define CREATE_ALWAYS 2u
#endif
#ifndef OPEN_EXISTING
#define OPEN_EXISTING 3u
#endif
#ifndef OPEN_ALWAYS
#define OPEN_ALWAYS 4u
#endif
#ifndef TRUNCATE_EXISTING
#define TRUNCATE_EXISTING 5u
#endif
#ifndef FILE_ATTRIBUTE_READONLY
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#endif

// Win32 codes the file services report (winerror.h values).
enum : unsigned int {
  TQ_ERROR_FILE_NOT_FOUND = 2,
  TQ_ERROR_PATH_NOT_FOUND = 3,
  TQ_ERROR_TOO_MANY_OPEN_FILES = 4,
  TQ_ERROR_ACCESS_DENIED = 5,
  TQ_ERROR_NOT_ENOUGH_MEMORY = 8,
  TQ_ERROR_FILE_EXISTS = 80,
  TQ_ERROR_INVALID_PARAMETER = 87,
  TQ_ERROR_DISK_FULL = 112,
  TQ_ERROR_FILENAME_EXCED_RANGE = 206,
  TQ_ERROR_FILE_TOO_LARGE = 223,
  TQ_ERROR_IO_DEVICE = 1117,
  TQ_ERROR_CANT_RESOLVE_FILENAME = 1921,
};

class TQ_EXPORT FXPath {
 public:
  // Append: path + "/" + component with exactly one "/" between them
  // (slashes at the end of path and the start of component are merged).
  // An empty path becomes component; an empty component leaves path as it
  // is. flags are reserved and ignored. Always succeeds.
  // Tests: tests/platform/FXFile_test.cpp
  static CKoError Append(std::string& path, const std::string& component,
                         unsigned int flags);
};

class TQ_EXPORT FXFile {
 public:
  // DoesFileExist: true when something (a file, a folder, a symbolic link,
  // even a dangling one) exists at path; false otherwise or on error.
  // Tests: tests/platform/FXFile_test.cpp
  static bool DoesFileExist(const std::string& path);

  // TQCreateFile: opens or creates the file at path the Win32 way and, on
  // success, hands the descriptor to handle (closing the one it held).
  // - access: GENERIC_READ and/or GENERIC_WRITE (neither: read only).
  // - disposition: CREATE_NEW (fails if it exists), CREATE_ALWAYS (creates
  //   or truncates), OPEN_EXISTING, OPEN_ALWAYS (opens or creates),
  //   TRUNCATE_EXISTING (needs GENERIC_WRITE).
  // - flags: FILE_ATTRIBUTE_READONLY makes a created file 0400, otherwise it
  //   is 0600: a created file is never readable by anyone else. With
  //   CREATE_NEW and CREATE_ALWAYS the file gets exactly that mode, also
  //   when it existed before or the umask would clear owner bits.
  // - share, securityAttributes and templateFile are ignored (POSIX has no
  //   share modes).
  // A symbolic link at path is refused (O_NOFOLLOW); the descriptor is
  // close-on-exec. On failure handle is untouched and the status is
  // ErrorWin32 with the Win32 form of errno (2, 3, 5, 80, 112 ...; 87 for a
  // bad disposition) and the message "Failed to create file [path]: reason".
  // Tests: tests/platform/FXFile_test.cpp
  static CKoError TQCreateFile(auto_handle& handle, const std::string& path,
                               unsigned int access, unsigned int share,
                               void* securityAttributes,
                               unsigned int disposition, unsigned int flags,
                               void* templateFile);

  // TQWriteFile: writes all length bytes at data, continuing after short
  // writes and interruptions. *written (when not null) receives the number
  // of bytes written, on failure too. A failure is ErrorWin32 with the Win32
  // form of errno and the message "Failed to write file: reason" (6 for an
  // invalid handle, 87 for null data with a length). overlapped is ignored.
  // Tests: tests/platform/FXFile_test.cpp
  static CKoError TQWriteFile(const auto_handle& handle, const void* data,
                              unsigned long length, unsigned long* written,
                              void* overlapped);

  // Win32ErrorFromErrno: the Win32 code the file services report for errno
  // value err (TQ_ERROR_GENERAL when there is no closer one).
  static unsigned int Win32ErrorFromErrno(int err) noexcept;
};
