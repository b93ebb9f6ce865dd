// credential list and credential remove.

#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "internal/text/Redact.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/SecureMemory.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tools/cli/CliCommand.h"
#include "tools/cli/StoredCertificate.h"

namespace tqcli {
namespace {

namespace Record = AzureCredentialRecord;

const char* AuthName(Record::AuthType type) {
  switch (type) {
    case Record::AuthType::kCertificate:
      return "certificate";
    case Record::AuthType::kClientSecret:
      return "secret";
  }
  return "?";  // a stored value of neither kind
}

// The JSON form of one credential; null for what it does not have.
nlohmann::ordered_json ListedJson(const StoredCredential& c) {
  using nlohmann::ordered_json;
  ordered_json item;
  item["assoc_id"] = c.assocId;
  item["entity"] = c.entity;
  item["type"] = c.credentialType;
  App::AzureCredentialInfo record;
  if (c.additionalInfo.empty() ||
      !Record::FromAdditionalInfo(c.additionalInfo, record)) {
    item["auth"] = nullptr;
    return item;
  }
  const Record::AuthType auth = Record::GetAuthType(record);
  const auto orNull = [](const std::string& text) {
    return text.empty() ? ordered_json(nullptr) : ordered_json(text);
  };
  item["auth"] = AuthName(auth);
  item["tenant"] = Record::GetTenantId(record);
  item["client_id"] = Record::GetApplicationId(record);
  item["login_endpoint"] = orNull(Record::GetLoginEndpoint(record));
  item["certificate_name"] = orNull(Record::GetCertificateName(record));
  item["thumbprint_sha1"] = nullptr;
  item["thumbprint_sha256"] = nullptr;
  if (auth == Record::AuthType::kCertificate) {
    item["thumbprint_sha1"] = orNull(Record::GetCertificateThumbprint(record));
    // Not recorded: made from the stored certificate (null when it cannot
    // be read; `tqcloudauth doctor` says why).
    // A listing leaves passwords out; a PKCS#12 file opens only with its.
    int type = 0;
    std::string user;
    std::string password;
    StringWipeGuard wipePassword(password);
    std::string info;
    int other = 0;
    CredentialMgrHelper store;
    store.getCredentialsFromAssocIdForEntity(c.assocId, c.entity, type, user,
                                             password, info, other, nullptr);
    CertificateFile parsed;
    if (ReadStoredCertificate(record, password, parsed) ==
        StoredCertificateProblem::kNone) {
      item["thumbprint_sha256"] =
          ThumbprintHex(parsed.certificate.get(), EVP_sha256());
    }
  }
  return item;
}

}  // namespace

int ListCredentials(const Console& console, bool json) {
  CredentialMgrHelper store;
  std::vector<StoredCredential> all;
  if (!store.listCredentials(all)) {
    return console.Fail({kExitFailed, store.lastError()});
  }
  if (json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const StoredCredential& c : all) {
      list.push_back(ListedJson(c));
    }
    // Stored text that is not UTF-8 is shown replaced, never thrown on.
    console.out << list.dump(2, ' ', false,
                             nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
    return kExitOk;
  }
  console.out << "assoc_id\tentity\ttype\tauth\ttenant\tclient_id"
                 "\tlogin_endpoint\tcertificate_name\n";
  for (const StoredCredential& c : all) {
    std::string auth = "?";
    std::string tenant;
    std::string clientId;
    std::string login;
    std::string name;
    App::AzureCredentialInfo record;
    if (!c.additionalInfo.empty() &&
        Record::FromAdditionalInfo(c.additionalInfo, record)) {
      auth = AuthName(Record::GetAuthType(record));
      tenant = Record::GetTenantId(record);
      clientId = Record::GetApplicationId(record);
      name = Record::GetCertificateName(record);
      login = Record::GetLoginEndpoint(record);
    }
    // Stored text is shown escaped: a record must not drive the terminal
    // nor break the columns.
    const auto shown = [](const std::string& text) {
      return EscapeControls(text, LineBreaks::kEscape);
    };
    console.out << c.assocId << '\t' << c.entity << '\t' << c.credentialType
                << '\t' << auth << '\t' << shown(tenant) << '\t'
                << shown(clientId) << '\t'
                << (login.empty() ? "(default)" : shown(login)) << '\t'
                << (name.empty() ? "-" : shown(name)) << '\n';
  }
  return kExitOk;
}

int RemoveCredential(const Console& console, const CredentialTarget& target) {
  CredentialMgrHelper store;
  const std::string name = StoredCertificateName(store, target);
  if (!store.removeCredential(target.assocId, target.entity)) {
    return console.Fail({kExitFailed, store.lastError()});
  }
  ForgetStagedCertificate(console, name);
  console.out << "removed credential " << target.assocId << " (entity "
              << target.entity << ")\n";
  return kExitOk;
}

}  // namespace tqcli
