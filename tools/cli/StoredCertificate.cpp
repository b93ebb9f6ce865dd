#include "tools/cli/StoredCertificate.h"

#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "util/Base64Codec.h"

namespace tqcli {

namespace Record = AzureCredentialRecord;

bool DecryptStored(const std::string& stored, std::string& outPlain) {
  SecretBuffer<TQPassword::kMaxSecretSize + 1> plain;
  unsigned long length = TQPassword::kMaxSecretSize;
  TQPassword passwords;
  if (!passwords.decrypt(stored.c_str(), plain.data(), &length)) {
    return false;
  }
  outPlain.assign(plain.c_str(), length);
  return true;
}

StoredCertificateProblem ReadStoredCertificate(
    const App::AzureCredentialInfo& record, const std::string& storedPassword,
    CertificateFile& out) {
  std::string bytes;
  StringWipeGuard wipeBytes(bytes);
  if (!base64Decode(Record::GetCertificateFile(record), bytes) ||
      bytes.empty()) {
    return StoredCertificateProblem::kNotBase64;
  }
  std::string password;
  StringWipeGuard wipePassword(password);
  if (!storedPassword.empty() && !DecryptStored(storedPassword, password)) {
    return StoredCertificateProblem::kPasswordUndecryptable;
  }
  out = CertificateFile::Parse(bytes.data(), bytes.size(), password);
  return out.certificate == nullptr ? StoredCertificateProblem::kNoCertificate
                                    : StoredCertificateProblem::kNone;
}

}  // namespace tqcli
