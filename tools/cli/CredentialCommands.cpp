// credential list and credential remove.

#include <ostream>
#include <string>
#include <vector>

#include "internal/text/Redact.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "tools/cli/CliCommand.h"

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

}  // namespace

int ListCredentials(const Console& console) {
  CredentialMgrHelper store;
  std::vector<StoredCredential> all;
  if (!store.listCredentials(all)) {
    return console.Fail({kExitFailed, store.lastError()});
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
