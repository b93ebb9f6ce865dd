#include "platform/internal/StagedCertificate.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "internal/io/FileReader.h"
#include "platform/SecureMemory.h"
#include "platform/auto_handle.h"
#include "platform/internal/TqHome.h"

namespace {

// Whether the file open at fd holds exactly bytes.
bool Holds(int fd, const std::string& bytes) {
  FileBytes held;
  FileReadError error;
  // One byte more than expected is enough to tell a larger file.
  return ReadOpenedFile(fd, bytes.size() + 1, held, error) &&
         held.size() == bytes.size() &&
         CRYPTO_memcmp(held.data(), bytes.data(), bytes.size()) == 0;
}

}  // namespace

namespace StagedCertificate {

CKoError Stage(const std::string& name, const std::string& certificate,
               std::string* outPath) {
  const TqHome home;
  const std::string path = home.CertificateFile(name);
  {
    auto_handle file;
    CKoError st =
        home.OpenFile(path, TqHome::FileKind::kSecret, O_RDONLY, 0, file);
    if (!st.IsError() && Holds(file.get(), certificate)) {
      *outPath = path;
      return CKoError::Success();
    }
    if (st.IsError() && !TqHome::IsMissing(st)) {
      return st.Push(TQ_LOC);
    }
  }
  CKoError st = home.PublishFile(path, certificate.data(), certificate.size(),
                                 0400, TqHome::Existing::kReplace, nullptr);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  *outPath = path;
  return CKoError::Success();
}

}  // namespace StagedCertificate
