#include "platform/internal/StagedCertificate.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/SecureMemory.h"
#include "platform/auto_handle.h"
#include "platform/internal/TqHome.h"

namespace {

// Whether the file open at fd holds exactly bytes.
bool Holds(int fd, const std::string& bytes) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < 0 ||
      static_cast<unsigned long long>(st.st_size) != bytes.size()) {
    return false;
  }
  std::vector<char, ZeroingAllocator<char>> held(bytes.size() + 1);
  size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(fd, held.data() + got, held.size() - got);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      break;
    }
    got += static_cast<size_t>(n);
    if (got == held.size()) {
      return false;  // grew while read
    }
  }
  return got == bytes.size() &&
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
