#include "tools/cli/CliCommand.h"

#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <istream>
#include <ostream>
#include <vector>

#include "internal/Redact.h"
#include "internal/Sha1Engine.h"
#include "platform/AzureCredentialRecord.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/SecureMemory.h"
#include "platform/StagedCertificate.h"
#include "util/Base64Codec.h"

namespace tqcli {
namespace {

constexpr size_t kMaxStdinBytes = 64 * 1024;

}  // namespace

int Console::Fail(const Failure& failure) const {
  err << "tqcloudauth: " << EscapeControls(failure.message, LineBreaks::kKeep)
      << "\n";
  return failure.status;
}

void Console::Warn(const std::string& problem) const {
  err << "tqcloudauth: warning: " << EscapeControls(problem, LineBreaks::kKeep)
      << "\n";
}

bool ReadSecret(std::istream& in, const char* what, bool allowEmpty,
                std::string& outSecret, Failure& outFailure) {
  std::string data;
  char chunk[4096];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    data.append(chunk, static_cast<size_t>(in.gcount()));
    SecureWipe(chunk, sizeof chunk);
    if (data.size() > kMaxStdinBytes) {
      WipeString(data);
      outFailure = {kExitUsage, std::string(what) +
                                    " on standard input is larger than " +
                                    std::to_string(kMaxStdinBytes) + " bytes"};
      return false;
    }
  }
  if (!data.empty() && data.back() == '\n') {
    data.pop_back();
    if (!data.empty() && data.back() == '\r') {
      data.pop_back();
    }
  }
  if (data.find('\0') != std::string::npos) {
    WipeString(data);
    outFailure = {kExitUsage,
                  std::string(what) + " on standard input holds a NUL byte"};
    return false;
  }
  if (data.empty() && !allowEmpty) {
    outFailure = {kExitUsage,
                  std::string(what) + " on standard input is empty"};
    return false;
  }
  outSecret.swap(data);
  WipeString(data);
  return true;
}

std::string StoredCertificateName(CredentialMgrHelper& store,
                                  const CredentialTarget& target) {
  std::vector<StoredCredential> all;
  if (!store.listCredentials(all)) {
    return std::string();
  }
  std::string name;
  for (const StoredCredential& c : all) {
    if (c.assocId != target.assocId || c.entity != target.entity) {
      continue;
    }
    App::AzureCredentialInfo record;
    name = AzureCredentialRecord::FromAdditionalInfo(c.additionalInfo, record)
               ? AzureCredentialRecord::GetCertificateName(record)
               : std::string();
  }
  return name;
}

void ForgetStagedCertificate(const Console& console, const std::string& name) {
  std::string problem;
  if (!StagedCertificate::ForgetUnused(name, problem)) {
    console.Warn(problem);
  }
}

X509Ptr ParseCertificate(const std::string& bytes,
                         const std::string& password) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) {
    return nullptr;
  }
  if (bytes.find("-----BEGIN") != std::string::npos) {
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  }
  Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  if (!p12 ||
      PKCS12_parse(p12.get(), password.c_str(), &key, &cert, nullptr) != 1) {
    return nullptr;
  }
  PkeyPtr ownedKey(key);
  return X509Ptr(cert);
}

std::string Sha1ThumbprintHex(X509* cert) {
  const int length = i2d_X509(cert, nullptr);
  if (length <= 0) {
    return std::string();
  }
  std::vector<unsigned char> der(static_cast<size_t>(length));
  unsigned char* cursor = der.data();
  i2d_X509(cert, &cursor);
  SHA1Context ctx;
  unsigned char digest[20];
  SHA1_init(&ctx);
  SHA1_update(&ctx, der.data(), static_cast<unsigned int>(der.size()));
  SHA1_final(digest, &ctx);
  return HexEncode(digest, sizeof digest);
}

}  // namespace tqcli
