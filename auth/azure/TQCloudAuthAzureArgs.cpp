#include "auth/azure/TQCloudAuthAzureArgs.h"

#include "auth/TQCloudAuthLib.h"
#include "internal/base/StringFormat.h"
#include "internal/text/CredentialChecks.h"
#include "platform/SecureMemory.h"
#include "platform/TqException.h"
#include "platform/TqcConvert.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/StagedCertificate.h"
#include "util/Base64Codec.h"

namespace TQCloudAuth {

namespace Record = AzureCredentialRecord;

AzureParams::AzureParams() = default;

AzureParams::~AzureParams() { WipeString(stagedCertificate); }

App::AzureAuthType AzureParams::getAuthType() const {
  return Record::GetAuthType(credentialInfo);
}

std::string AzureParams::getApplicationId() const {
  return Record::GetApplicationId(credentialInfo);
}

std::string AzureParams::getTenantId() const {
  return Record::GetTenantId(credentialInfo);
}

std::string AzureParams::getCertificateFile() const {
  return Record::GetCertificateFile(credentialInfo);
}

std::string AzureParams::getCertificateThumbprint() const {
  return Record::GetCertificateThumbprint(credentialInfo);
}

std::string AzureParams::getLoginEndpoint() const {
  const std::string stored = Record::GetLoginEndpoint(credentialInfo);
  return stored.empty() ? std::string(kDefaultAzureLoginEndpoint) : stored;
}

CKoError AzureParams::initializeParams(const AzureArgs& args) {
  credentialInfo = args.credentialInfo;
  // The tenant is pasted into the token URL, and plain HTTP to another host
  // would hand the credential to anyone on the way: refused before anything
  // is staged.
  std::string problem;
  if (!CheckTenant(getTenantId(), problem) ||
      !CheckClientId(getApplicationId(), problem) ||
      !CheckLoginEndpoint(Record::GetLoginEndpoint(credentialInfo), problem)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kCredentialInvalid, "%s",
                                   problem.c_str());
  }
  if (Record::GetAuthType(credentialInfo) != Record::AuthType::kCertificate) {
    return CKoError::Success();
  }

  try {
    const std::string hex = getCertificateThumbprint();
    // hex2bin reads up to the first NUL: a text with one inside is not hex,
    // and converting the part before it would drop the rest unnoticed.
    if (hex.find('\0') == std::string::npos) {
      const TqcBucket bytes = Tqc::hex2bin(hex.c_str());
      Record::SetCertificateThumbprint(
          credentialInfo,
          TQCloudAuthLib::base64encode(bytes.getData(), bytes.getSize()));
    }
  } catch (const TqException&) {
    // Not hexadecimal: the thumbprint is used as supplied.
  }

  const std::string name = Record::GetCertificateName(credentialInfo);
  if (name.empty()) {
    return CKoError::Success();
  }
  // The name becomes part of a file name: the rule `credential add`
  // applies keeps it inside the certificates folder.
  if (!CheckCertificateName(name, problem)) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kCredentialInvalid, "%s",
                                   problem.c_str());
  }
  std::string certificate;
  // The file may hold a private key.
  StringWipeGuard wipeCertificate(certificate);
  if (!base64Decode(getCertificateFile(), certificate) || certificate.empty()) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   TqFailureReason::kCredentialInvalid,
                                   "Failed to decode certificate");
  }
  WipeString(stagedCertificate);
  stagedCertificate.swap(certificate);
  CKoError st = stageCertificate();
  if (st.IsError()) {
    WipeString(stagedCertificate);
    return st.Push(TQ_LOC);
  }
  return CKoError::Success();
}

CKoError AzureParams::stageCertificate() {
  if (stagedCertificate.empty()) {
    return CKoError::Success();
  }
  std::string path;
  CKoError st = StagedCertificate::Stage(
      Record::GetCertificateName(credentialInfo), stagedCertificate, &path);
  if (st.IsError()) {
    return st.Push(TQ_LOC);
  }
  // The path depends on the name alone: once set, the record is left as it
  // is, so that threads staging again only read it.
  if (Record::GetCertificateFile(credentialInfo) != path) {
    Record::SetCertificateFile(credentialInfo, path);
  }
  return CKoError::Success();
}

}  // namespace TQCloudAuth
