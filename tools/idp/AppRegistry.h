#pragma once

// The applications the local token endpoint knows: per tenant, each client
// id's secrets and certificates.

#include <openssl/x509.h>

#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/idp/IdpServer.h"
#include "tools/pki/Pki.h"

namespace tqidp {

// One registered certificate.
struct CertCredential {
  X509Ptr cert;
  PkeyPtr key;       // its public key
  std::string sha1;  // thumbprints of the DER form, raw bytes
  std::string sha256;
  time_t notBefore = 0;
  time_t notAfter = 0;
};
using CertList = std::vector<std::shared_ptr<const CertCredential>>;

// ReadCertificates: true and every certificate of a PEM text appended to out
// (other PEM blocks, a key, are skipped); false when it holds none or one
// without a usable public key.
bool ReadCertificates(const std::string& pem, CertList& out);

// ReadApplicationsFile: true and the applications of the JSON file
//   {"applications":[{"tenant":"...","client_id":"...",
//     "client_secret":"...","certificate":"cert.pem"}]}
// in out (certificate paths relative to the file's folder, read into
// certificatePem). false with a message in error for an unreadable file,
// bad JSON, an unknown or mistyped member, an entry without tenant, client
// id or credential, or an unreadable certificate; the message never quotes
// the file's text.
bool ReadApplicationsFile(const std::string& jsonFile,
                          std::vector<IdpApplication>& out, std::string& error);

// Thread-safe.
class AppRegistry {
 public:
  // Add: see IdpServer::AddApplication.
  void Add(const IdpApplication& app);
  // Replace: see IdpServer::ReplaceApplication.
  void Replace(const IdpApplication& app);

  bool HasTenant(const std::string& tenant) const;

  // FindClient: true when clientId is registered in tenant, with its
  // certificates in outCerts and in outSecretMatches whether secret (when
  // not null) is one of its secrets, compared in constant time.
  bool FindClient(const std::string& tenant, const std::string& clientId,
                  const std::string* secret, CertList& outCerts,
                  bool& outSecretMatches) const;

 private:
  struct Record {
    std::vector<std::string> secrets;
    CertList certs;
    Record() = default;
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
    ~Record();
  };

  mutable std::mutex m_mutex;
  std::map<std::string, std::map<std::string, Record>> m_tenants;
};

}  // namespace tqidp
