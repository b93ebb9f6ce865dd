#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "platform/CKoError.h"
#include "platform/TQExport.h"
#include "platform/auto_handle.h"

// TqHome: the home folder (TQPI_Base::getHomeDirectory) and every path under
// it, with the one way each to create a private folder, to publish a file
// and to open a private file there. Whatever the library keeps under the
// home goes through these.
// Tests: tests/platform/TqHome_test.cpp
class TQ_EXPORT TqHome {
 public:
  // The home folder as TQPI_Base finds it when constructed.
  TqHome();

  const std::string& Path() const noexcept { return m_home; }
  std::string ConfigFile() const;          // <home>/tqcloudauth.ini
  std::string KeyFile() const;             // <home>/secret.key
  std::string CredentialStore() const;     // <home>/credentials.db
  std::string LogsFolder() const;          // <home>/logs
  std::string LogFile() const;             // <home>/logs/tqcloudauth.log
  std::string CertificatesFolder() const;  // <home>/certificates
  // <home>/certificates/Azure_<name>.crt, the name as given: callers check
  // that it is a plain file name.
  std::string CertificateFile(const std::string& name) const;

  // MakePrivateFolder: path is a folder afterwards. Every folder it creates
  // on the way (path and its missing parents) gets mode 0700 whatever the
  // umask; folders that exist are left as they are. Fails with 774
  // "cannot create <folder>: <reason>" naming the folder that failed.
  static CKoError MakePrivateFolder(const std::string& path);

  // What PublishFile does when a file exists at the path already.
  enum class Existing {
    kKeep,     // link(): the file there is kept, *outKept set
    kReplace,  // rename(): it is replaced
  };
  // PublishFile: puts a file holding exactly size bytes of data at path, of
  // mode `mode`, such that no reader ever sees a partial file: the bytes go
  // to a new file in the same folder, which is flushed to disk, then linked
  // or renamed to path; the folder is flushed last. The folder must exist.
  // On success *outKept (when not null) tells whether an existing file was
  // kept (Existing::kKeep only). On failure the status is the file
  // service's (FXFile, with this location pushed) or 774 "Failed to save
  // file [<path>]: <reason>", and path holds what it held before, unless
  // only the folder's flush failed.
  static CKoError PublishFile(const std::string& path, const void* data,
                              size_t size, mode_t mode, Existing existing,
                              bool* outKept);

  // OpenPrivateFile: open(2) of a file under the home with flags (O_CLOEXEC
  // always added) and, for a created file, mode. True with the descriptor
  // in outFile; false with errno set and outFile untouched.
  static bool OpenPrivateFile(const std::string& path, int flags, mode_t mode,
                              auto_handle& outFile);

 private:
  std::string m_home;
};
