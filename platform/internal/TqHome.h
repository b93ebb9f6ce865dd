#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/CKoError.h"
#include "platform/auto_handle.h"

// TqHome: the home folder (TQPI_Base::getHomeDirectory) and every path under
// it, with the one way each to check it, to create a private folder, to
// publish a file and to open a file there. Whatever the library keeps under
// the home goes through these, so the rules of trust live here only:
// - The home is a folder (a symbolic link to one is followed: the user
//   named it) owned by the effective user or root and writable by no one
//   else; the folders in it ("logs", "certificates") likewise, and never
//   links. A folder of the user's own that others can read is tightened to
//   0700; one that others can write is refused.
// - A file is opened without following a link and without blocking, then
//   must be a regular file owned by the effective user (or root, for the
//   configuration). Secret-bearing files that group or others may read or
//   write are refused, the configuration when they may write it; a log's
//   group and other bits are cleared.
// A refusal is 774 "unsafe folder|file <path>: <what>", with the fix where
// there is one. Without a home (no TQ_HOME, HOME or password-database home)
// every call fails with 774 naming TQ_HOME.
// Tests: tests/platform/TqHome_test.cpp, tests/platform/HomeTrust_test.cpp
class TqHome {
 public:
  // What a file under the home holds: who may own it and which modes pass.
  enum class FileKind {
    kSecret,  // key, store and its journals, staged certificates
    kLog,     // the debug log
    kConfig,  // tqcloudauth.ini, which an administrator may own
  };

  // What the checks may change. kTighten: folders and the log are
  // tightened as described above. kReadOnly: nothing under the home is
  // changed: a folder or log that others may read passes as it is (callers
  // tell the user), MakeFolder, PublishFile and an OpenFile that may write
  // or create fail with 774 "read-only".
  enum class Access { kTighten, kReadOnly };

  // The home folder as TQPI_Base finds it when constructed.
  TqHome();
  explicit TqHome(Access access);

  const std::string& Path() const noexcept { return m_home; }
  std::string ConfigFile() const;       // <home>/tqcloudauth.ini
  std::string KeyFile() const;          // <home>/secret.key
  std::string CredentialStore() const;  // <home>/credentials.db
  // The files SQLite keeps beside the store (journal, WAL, shared memory),
  // which it opens by name.
  std::vector<std::string> CredentialStoreCompanions() const;
  std::string SharedTokenStore() const;  // <home>/tokens.db
  std::vector<std::string> SharedTokenStoreCompanions() const;
  std::string LogsFolder() const;          // <home>/logs
  std::string LogFile() const;             // <home>/logs/tqcloudauth.log
  std::string CertificatesFolder() const;  // <home>/certificates
  // <home>/certificates/Azure_<name>.crt, the name as given: callers check
  // that it is a plain file name.
  std::string CertificateFile(const std::string& name) const;

  // Check: success when the home is absent, or safe together with every
  // folder and file the library keeps there that exists (configuration,
  // key, store and its companions, logs, certificates folder; staged
  // certificates are checked where they are used). The first refusal
  // otherwise, or the no-home failure. Folders and the log are tightened
  // as OpenFile and MakeFolder tighten them.
  CKoError Check() const;

  // MakeFolder: folder (the home, or a folder in it) is a safe folder
  // afterwards; what is created (the home's missing parents too) is 0700
  // whatever the umask. Fails with the refusal, or 774 "cannot create
  // <folder>: <reason>"; nothing is created in a home that is refused.
  CKoError MakeFolder(const std::string& folder) const;

  // OpenFile: opens path (a file in the home or in a folder of it) with
  // flags (O_NOFOLLOW, O_NONBLOCK, O_CLOEXEC always added) and, for a
  // created file, mode; on success outFile holds the descriptor of a regular
  // file (which O_NONBLOCK does not change). Fails, with outFile untouched,
  // with the refusal, or with
  // ErrorWin32 of the Win32 form of errno and "cannot open <path>: <reason>"
  // (IsMissing tells when the file or its folder is absent).
  CKoError OpenFile(const std::string& path, FileKind kind, int flags,
                    mode_t mode, auto_handle& outFile) const;

  // CheckFile: OpenFile for reading, then closed: success, the refusal, or
  // the failure (IsMissing for an absent file).
  CKoError CheckFile(const std::string& path, FileKind kind) const;

  // CheckFileStatus: the checks OpenFile makes, on the file's status alone
  // (lstat: a link there is refused), for a file held open elsewhere whose
  // path must still be trusted; nothing is tightened. On success outStatus
  // holds the status. Fails as CheckFile does.
  CKoError CheckFileStatus(const std::string& path, FileKind kind,
                           struct stat& outStatus) const;

  // CheckFolder: success when folder (the home or a folder in it) is absent
  // or safe; the refusal otherwise, or the no-home failure. Tightens as
  // Check does unless read-only.
  CKoError CheckFolder(const std::string& folder) const;

  // Whether st is OpenFile's failure for an absent file or folder.
  static bool IsMissing(const CKoError& st) noexcept;

  // Whether path names something under the home.
  bool Contains(const std::string& path) const;

  // MakePrivateFolder: path is a folder afterwards. Every folder it creates
  // on the way (path and its missing parents) gets mode 0700 whatever the
  // umask; folders that exist are left as they are and are not checked:
  // the creator MakeFolder uses, not a way into the home. Fails with 774
  // "cannot create <folder>: <reason>" naming the folder that failed.
  static CKoError MakePrivateFolder(const std::string& path);

  // What PublishFile does when a file exists at the path already.
  enum class Existing {
    kKeep,     // link(): the file there is kept, *outKept set
    kReplace,  // rename(): it is replaced (a link there too, never followed)
  };
  // PublishFile: puts a file holding exactly size bytes of data at path (in
  // the home or a folder of it, which must exist and pass the checks), of
  // mode `mode`, such that no reader ever sees a partial file: the bytes go
  // to a new file in the same folder, which is flushed to disk, then linked
  // or renamed to path; the folder is flushed last. On success *outKept
  // (when not null) tells whether an existing file was kept (Existing::kKeep
  // only). On failure the status is the refusal, the file service's (FXFile,
  // with this location pushed) or 774 "Failed to save file [<path>]:
  // <reason>", and path holds what it held before, unless only the folder's
  // flush failed.
  CKoError PublishFile(const std::string& path, const void* data, size_t size,
                       mode_t mode, Existing existing, bool* outKept) const;

 private:
  // The home, then the folder that holds path when that is not the home.
  CKoError CheckFoldersOf(const std::string& path) const;

  std::string m_home;
  bool m_tighten = true;
};
