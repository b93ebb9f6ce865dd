// credential add: validate the options, read the inputs, build the stored
// credential, store it.

#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "internal/crypto/CertificateFile.h"
#include "internal/io/FileReader.h"
#include "internal/text/CredentialChecks.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/TqHome.h"
#include "tools/cli/CliCommand.h"
#include "tools/cli/CliText.h"
#include "util/Base64Codec.h"

namespace tqcli {
namespace {

namespace Record = AzureCredentialRecord;

// What add reads besides its options; wiped when it goes.
struct AddInputs {
  std::string secret;  // client secret or certificate password
  FileBytes certificateBytes;
  CertificateFile certificate;

  AddInputs() = default;
  AddInputs(const AddInputs&) = delete;
  AddInputs& operator=(const AddInputs&) = delete;
  ~AddInputs() { WipeString(secret); }
};

// Checks the options alone, before anything is read; adds the '/' the
// tenant is appended after to a login endpoint without one.
bool CheckOptions(AddOptions& a, Failure& outFailure) {
  if (a.tenant.empty() || !IsPrintable(a.tenant) || a.clientId.empty() ||
      !IsPrintable(a.clientId) || !IsPrintable(a.loginEndpoint)) {
    outFailure = {kExitUsage,
                  "--tenant, --client-id and --login-endpoint must be "
                  "printable UTF-8 text of at most 8192 bytes, the first two "
                  "non-empty"};
    return false;
  }
  if (a.secretStdin == !a.certificate.empty()) {
    outFailure = {kExitUsage,
                  "give exactly one of --secret-stdin and --certificate"};
    return false;
  }
  std::string problem;
  if (!a.certificate.empty() &&
      !CheckCertificateName(a.certificateName, problem)) {
    outFailure = {kExitUsage,
                  "--certificate needs --certificate-name: " + problem};
    return false;
  }
  if (a.certificate.empty() &&
      (a.certificatePasswordStdin || !a.certificateName.empty())) {
    outFailure = {kExitUsage,
                  "--certificate-name and --certificate-password-stdin go "
                  "with --certificate"};
    return false;
  }
  if (!a.loginEndpoint.empty()) {
    if (a.loginEndpoint.rfind("https://", 0) != 0 &&
        a.loginEndpoint.rfind("http://", 0) != 0) {
      outFailure = {kExitUsage, "--login-endpoint must be an http(s) URL"};
      return false;
    }
    if (a.loginEndpoint.back() != '/') {
      a.loginEndpoint += '/';
    }
  }
  // What a provider would refuse at Init is refused here, before storing.
  std::string refused;
  if (!CheckTenant(a.tenant, refused) || !CheckClientId(a.clientId, refused) ||
      !CheckLoginEndpoint(a.loginEndpoint, refused)) {
    outFailure = {kExitFailed, refused};
    return false;
  }
  return true;
}

// A secret longer than a token request can decrypt is refused when stored,
// not at every token request after.
bool FitsTokenRequest(const char* what, const std::string& secret,
                      Failure& outFailure) {
  if (secret.size() <= TQPassword::kMaxSecretSize) {
    return true;
  }
  outFailure = {kExitUsage, std::string(what) + " is longer than " +
                                std::to_string(TQPassword::kMaxSecretSize) +
                                " bytes, the most a token request can use"};
  return false;
}

// The secret from standard input, or the certificate with its password; a
// certificate whose key is missing, foreign, not RSA or locked by another
// password is refused here, not at the endpoint.
bool ReadInputs(std::istream& in, const AddOptions& a, AddInputs& inputs,
                Failure& outFailure) {
  if (a.secretStdin) {
    return ReadSecret(in, "the client secret", false, inputs.secret,
                      outFailure) &&
           FitsTokenRequest("the client secret", inputs.secret, outFailure);
  }
  if (a.certificatePasswordStdin &&
      (!ReadSecret(in, "the certificate password", true, inputs.secret,
                   outFailure) ||
       !FitsTokenRequest("the certificate password", inputs.secret,
                         outFailure))) {
    return false;
  }
  FileReadError error;
  if (!ReadWholeFile(a.certificate, FileLinks::kFollow,
                     kMaxCertificateFileBytes, inputs.certificateBytes,
                     error)) {
    outFailure = {kExitFailed, error.Describe(a.certificate)};
    return false;
  }
  inputs.certificate =
      CertificateFile::Parse(inputs.certificateBytes.data(),
                             inputs.certificateBytes.size(), inputs.secret);
  const CertificateProblem problem = inputs.certificate.Check();
  if (problem != CertificateProblem::kNone) {
    outFailure = {kExitFailed,
                  a.certificate + ": " + CertificateProblemText(problem)};
    return false;
  }
  return true;
}

// The credential as the store keeps it: the Azure record in its additional
// information, the secret encrypted.
bool BuildCredential(const CredentialTarget& target, const AddOptions& a,
                     const AddInputs& inputs, StoredCredential& outStored,
                     Failure& outFailure) {
  App::AzureCredentialInfo record;
  Record::SetApplicationId(record, a.clientId);
  Record::SetTenantId(record, a.tenant);
  if (a.secretStdin) {
    Record::SetAuthType(record, Record::AuthType::kClientSecret);
  } else {
    const FileBytes& bytes = inputs.certificateBytes;
    Record::SetAuthType(record, Record::AuthType::kCertificate);
    Record::SetCertificateName(record, a.certificateName);
    Record::SetCertificateFile(
        record,
        Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<int>(bytes.size())));
    Record::SetCertificateThumbprint(
        record,
        ThumbprintHex(inputs.certificate.certificate.get(), EVP_sha1()));
  }
  if (!a.loginEndpoint.empty()) {
    Record::SetLoginEndpoint(record, a.loginEndpoint);
  }

  outStored.assocId = target.assocId;
  outStored.entity = target.entity;
  outStored.credentialType = Record::kCredentialType;
  if (!inputs.secret.empty()) {
    const CKoError st = TQPassword().Encrypt(inputs.secret, outStored.password);
    if (st.IsError()) {
      outFailure = {kExitFailed, st.GetMessage()};
      return false;
    }
  }
  outStored.additionalInfo = Record::ToAdditionalInfo(record);
  return true;
}

// Stores the credential in a home with its missing parents and the folder
// certificates are staged in; a credential it replaces leaves no staged
// file behind that nothing uses.
int Store(const Console& console, const StoredCredential& stored,
          bool replace) {
  const TqHome home;
  const CKoError folders = home.MakeFolder(home.CertificatesFolder());
  if (folders.IsError()) {
    return console.Fail({kExitFailed, folders.GetMessage()});
  }
  CredentialMgrHelper store;
  const std::string previousName =
      replace ? StoredCertificateName(store, {stored.assocId, stored.entity})
              : std::string();
  if (!store.addCredential(stored, replace)) {
    return console.Fail({kExitFailed, store.lastError()});
  }
  // The new certificate replaces a staged file of its name when used.
  ForgetStagedCertificate(console, previousName);
  console.out << "stored credential " << stored.assocId << " (entity "
              << stored.entity << ")\n";
  return kExitOk;
}

}  // namespace

int AddCredential(const Console& console, const CredentialTarget& target,
                  AddOptions options) {
  Failure failure{kExitFailed, ""};
  AddInputs inputs;
  StoredCredential stored;
  if (!CheckOptions(options, failure) ||
      !ReadInputs(console.in, options, inputs, failure) ||
      !BuildCredential(target, options, inputs, stored, failure)) {
    return console.Fail(failure);
  }
  return Store(console, stored, options.replace);
}

}  // namespace tqcli
