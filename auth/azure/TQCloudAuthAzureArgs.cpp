#include "auth/azure/TQCloudAuthAzureArgs.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TokenCache.h"
#include "platform/FXFile.h"
#include "platform/SecureMemory.h"
#include "platform/StringFormat.h"
#include "platform/TQPI_Base.h"
#include "platform/TqException.h"
#include "platform/TqcConvert.h"

namespace TQCloudAuth {

namespace Field = App::AzureCredentialInfoField;

namespace {

constexpr unsigned long kRecordClass = App::AzureCredentialInfo::kClassCode;

std::string ReadText(const App::AzureCredentialInfo& record,
                     const FieldRef& field) {
  return record.getstring(field.number, field.slot, kRecordClass, field.code);
}

void WriteText(App::AzureCredentialInfo& record, const FieldRef& field,
               const std::string& value) {
  record.setstring(field.number, field.slot, value, kRecordClass, field.code);
}

// A name in the staging folder that no other writer uses, so a half-written
// file is never seen under the final name.
std::string TemporaryPathFor(const std::string& path) {
  static std::atomic<unsigned long> counter{0};
  return StringPrintf("%s.%ld.%lu.tmp", path.c_str(),
                      static_cast<long>(::getpid()), ++counter);
}

// Removes the temporary file unless it was handed over.
class TemporaryFile {
 public:
  explicit TemporaryFile(std::string path) : m_path(std::move(path)) {}
  ~TemporaryFile() { ::unlink(m_path.c_str()); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace

AzureParams::AzureParams() : m_tokenCache(std::make_unique<TokenCache>()) {}

AzureParams::~AzureParams() = default;

int AzureParams::getAuthType() const {
  return static_cast<int>(credentialInfo.getint64(
      Field::authType.number, kRecordClass, Field::authType.code));
}

std::string AzureParams::getApplicationId() const {
  return ReadText(credentialInfo, Field::applicationId);
}

std::string AzureParams::getTenantId() const {
  return ReadText(credentialInfo, Field::tenantId);
}

std::string AzureParams::getCertificateFile() const {
  return ReadText(credentialInfo, Field::certificateFile);
}

std::string AzureParams::getCertificateThumbprint() const {
  return ReadText(credentialInfo, Field::certificateThumbprint);
}

std::string AzureParams::getLoginEndpoint() {
  CNMessageBase*& endpoints = credentialInfo.getObjectAccessor(
      true, false, Field::endpoints.number, Field::endpoints.slot, kRecordClass,
      Field::endpoints.code, App::AzureEndpoints::kType,
      App::AzureEndpoints::kId);
  const FieldRef& login = App::AzureEndpointsField::loginEndpoint;
  const std::string stored = endpoints->getstring(
      login.number, login.slot, App::AzureEndpoints::kClassCode, login.code);
  return stored.empty() ? std::string(kDefaultAzureLoginEndpoint) : stored;
}

CKoError AzureParams::initializeParams(const AzureArgs& args) {
  credentialInfo = args.credentialInfo;
  if (getAuthType() != 1) {
    return CKoError::Success();
  }

  try {
    const std::string hex = getCertificateThumbprint();
    // hex2bin reads up to the first NUL: a text with one inside is not hex,
    // and converting the part before it would drop the rest unnoticed.
    if (hex.find('\0') == std::string::npos) {
      const TqcBucket bytes = Tqc::hex2bin(hex.c_str());
      WriteText(credentialInfo, Field::certificateThumbprint,
                TQCloudAuthLib::base64encode(bytes.getData(), bytes.getSize()));
    }
  } catch (const TqException&) {
    // Not hexadecimal: the thumbprint is used as supplied.
  }

  const std::string name = ReadText(credentialInfo, Field::certificateName);
  if (name.empty()) {
    return CKoError::Success();
  }
  // The name becomes part of a file name: it must not lead out of the
  // certificates folder, nor end the name early at a NUL (the file would
  // lose its ".crt" and be shared with every name of the same beginning).
  if (name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                   "Invalid certificate name [%s]",
                                   name.c_str());
  }
  TQPI_Base base;
  std::string path = base.getHomeDirectory();
  (void)FXPath::Append(path, "certificates", 0);
  (void)FXPath::Append(path, "Azure_" + name + ".crt", 0);

  if (!FXFile::DoesFileExist(path)) {
    std::string certificate;
    // The file may hold a private key.
    StringWipeGuard wipeCertificate(certificate);
    if (!base64Decode(getCertificateFile(), certificate) ||
        certificate.empty()) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     "Failed to decode certificate");
    }
    TemporaryFile temporary(TemporaryPathFor(path));
    {
      auto_handle handle;
      CKoError st = FXFile::TQCreateFile(
          handle, temporary.path(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
          CREATE_NEW, FILE_ATTRIBUTE_READONLY, nullptr);
      if (st.IsError()) {
        return st.Push(TQ_LOC);
      }
      unsigned long written = 0;
      st = FXFile::TQWriteFile(handle, certificate.data(), certificate.size(),
                               &written, nullptr);
      if (st.IsError()) {
        return st.Push(TQ_LOC);
      }
      if (written < certificate.size() || ::fsync(handle.get()) != 0) {
        return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                       "Failed to save certificate to file");
      }
    }
    // link() never replaces: a file another initialisation put there first
    // is kept, as an existing file always is.
    if (::link(temporary.path().c_str(), path.c_str()) != 0 &&
        errno != EEXIST) {
      return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL,
                                     "Failed to save certificate to file");
    }
  }
  WriteText(credentialInfo, Field::certificateFile, path);
  return CKoError::Success();
}

}  // namespace TQCloudAuth
