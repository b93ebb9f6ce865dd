#pragma once

// The certificate of a stored credential, as the tool reads it back: the
// record's Base64 file opened with the stored password.

#include <string>

#include "internal/crypto/CertificateFile.h"
#include "platform/internal/AzureCredentialRecord.h"

namespace tqcli {

enum class StoredCertificateProblem {
  kNone,
  kNotBase64,              // the record's file is not Base64 (or empty)
  kPasswordUndecryptable,  // the stored password does not decrypt
  kNoCertificate,          // the file holds no certificate
};

// DecryptStored: the plain text of a stored (encrypted) secret in
// outPlain; false when it does not decrypt with the home's key.
bool DecryptStored(const std::string& stored, std::string& outPlain);

// ReadStoredCertificate: the certificate and key of record in out, opened
// with storedPassword (the stored form; empty: none). The decrypted
// password and the file's bytes are wiped before it returns.
StoredCertificateProblem ReadStoredCertificate(
    const App::AzureCredentialInfo& record, const std::string& storedPassword,
    CertificateFile& out);

}  // namespace tqcli
