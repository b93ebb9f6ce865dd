#include "tools/idp/AppRegistry.h"

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "internal/crypto/OpenSslHandles.h"

namespace tqidp {
namespace {

using json = nlohmann::json;

time_t AsnTimeToEpoch(const ASN1_TIME* t) {
  struct tm tm {};
  if (ASN1_TIME_to_tm(t, &tm) != 1) {
    return 0;
  }
  return timegm(&tm);
}

std::string Digest(X509* cert, const EVP_MD* md) {
  unsigned char buf[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (X509_digest(cert, md, buf, &len) != 1) {
    throw std::runtime_error("X509_digest failed");
  }
  return std::string(reinterpret_cast<char*>(buf), len);
}

// One entry of the applications file; false with a message in error.
bool ReadEntry(const json& entry, const std::string& where,
               const std::filesystem::path& folder, IdpApplication& app,
               std::string& error) {
  if (!entry.is_object()) {
    error = where + " is not an object";
    return false;
  }
  std::string certPath;
  for (const auto& [name, value] : entry.items()) {
    if (!value.is_string()) {
      error = where + "." + name + " is not a text";
      return false;
    }
    if (name == "tenant") {
      app.tenant = value.get<std::string>();
    } else if (name == "client_id") {
      app.clientId = value.get<std::string>();
    } else if (name == "client_secret") {
      app.clientSecret = value.get<std::string>();
    } else if (name == "certificate") {
      certPath = value.get<std::string>();
    } else {
      error = where + ": unknown member '" + name + "'";
      return false;
    }
  }
  if (app.tenant.empty() || app.clientId.empty()) {
    error = where + " needs \"tenant\" and \"client_id\"";
    return false;
  }
  if (app.clientSecret.empty() && certPath.empty()) {
    error = where + " needs \"client_secret\" or \"certificate\"";
    return false;
  }
  if (!certPath.empty()) {
    std::filesystem::path p(certPath);
    if (p.is_relative()) {
      p = folder / p;
    }
    std::ifstream in(p, std::ios::binary);
    std::ostringstream pem;
    pem << in.rdbuf();
    CertList probe;
    if (!in || !ReadCertificates(pem.str(), probe)) {
      error = where + ": no readable PEM certificate in " + p.string();
      return false;
    }
    app.certificatePem = pem.str();
  }
  return true;
}

}  // namespace

bool ReadCertificates(const std::string& pem, CertList& out) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (bio == nullptr) {
    return false;
  }
  const size_t before = out.size();
  for (;;) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (cert == nullptr) {
      break;
    }
    auto cred = std::make_shared<CertCredential>();
    cred->key.reset(X509_get_pubkey(cert.get()));
    if (cred->key == nullptr) {
      return false;
    }
    cred->sha1 = Digest(cert.get(), EVP_sha1());
    cred->sha256 = Digest(cert.get(), EVP_sha256());
    cred->notBefore = AsnTimeToEpoch(X509_get0_notBefore(cert.get()));
    cred->notAfter = AsnTimeToEpoch(X509_get0_notAfter(cert.get()));
    cred->cert = std::move(cert);
    out.push_back(std::move(cred));
  }
  ERR_clear_error();  // the end of the PEM text is reported as an error
  return out.size() > before;
}

bool ReadApplicationsFile(const std::string& jsonFile,
                          std::vector<IdpApplication>& out,
                          std::string& error) {
  std::ifstream in(jsonFile, std::ios::binary);
  if (!in) {
    error = "cannot read " + jsonFile;
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  std::string content = text.str();
  // nlohmann's own messages quote the text near the fault, which may be a
  // secret: only say where the file is.
  const json doc = json::parse(content, nullptr, false);
  OPENSSL_cleanse(content.data(), content.size());
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("applications") ||
      !doc["applications"].is_array() || doc.size() != 1) {
    error = jsonFile +
            ": not a JSON object {\"applications\":[...]} with that member "
            "only";
    return false;
  }
  const std::filesystem::path folder =
      std::filesystem::path(jsonFile).parent_path();
  std::vector<IdpApplication> apps;
  for (const json& entry : doc["applications"]) {
    const std::string where =
        jsonFile + ": applications[" + std::to_string(apps.size()) + "]";
    IdpApplication app;
    if (!ReadEntry(entry, where, folder, app, error)) {
      return false;
    }
    apps.push_back(std::move(app));
  }
  out = std::move(apps);
  return true;
}

AppRegistry::Record::~Record() {
  for (std::string& s : secrets) {
    OPENSSL_cleanse(s.data(), s.size());
  }
}

void AppRegistry::Add(const IdpApplication& app) {
  if (app.tenant.empty() || app.clientId.empty()) {
    throw std::invalid_argument(
        "an application needs a tenant and a client id");
  }
  CertList certs;
  if (!app.certificatePem.empty() &&
      !ReadCertificates(app.certificatePem, certs)) {
    throw std::invalid_argument("no readable certificate for client '" +
                                app.clientId + "'");
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  Record& record = m_tenants[app.tenant][app.clientId];
  if (!app.clientSecret.empty()) {
    record.secrets.push_back(app.clientSecret);
  }
  record.certs.insert(record.certs.end(), certs.begin(), certs.end());
}

void AppRegistry::Replace(const IdpApplication& app) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto tenant = m_tenants.find(app.tenant);
    if (tenant != m_tenants.end()) {
      tenant->second.erase(app.clientId);
    }
  }
  Add(app);
}

bool AppRegistry::HasTenant(const std::string& tenant) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_tenants.count(tenant) != 0;
}

bool AppRegistry::FindClient(const std::string& tenant,
                             const std::string& clientId,
                             const std::string* secret, CertList& outCerts,
                             bool& outSecretMatches) const {
  outSecretMatches = false;
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto apps = m_tenants.find(tenant);
  if (apps == m_tenants.end()) {
    return false;
  }
  const auto app = apps->second.find(clientId);
  if (app == apps->second.end()) {
    return false;
  }
  outCerts = app->second.certs;
  if (secret != nullptr) {
    for (const std::string& s : app->second.secrets) {
      outSecretMatches =
          outSecretMatches ||
          (s.size() == secret->size() &&
           CRYPTO_memcmp(s.data(), secret->data(), s.size()) == 0);
    }
  }
  return true;
}

}  // namespace tqidp
