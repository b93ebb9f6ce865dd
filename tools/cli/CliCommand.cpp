#include "tools/cli/CliCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>
#include <vector>

#include "internal/text/Redact.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/SecureMemory.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/TqHome.h"
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

namespace {

// Removes the staged file of name unless a stored credential still uses
// that name. True when nothing is left to do (no name, still used, no file,
// removed); false with the reason for people in outError when the store
// cannot be listed or TqHome refuses the file.
bool ForgetUnused(const std::string& name, std::string& outError) {
  if (name.empty() ||
      name.find_first_of(std::string("/\0", 2)) != std::string::npos) {
    return true;  // never staged
  }
  CredentialMgrHelper store;
  std::vector<StoredCredential> all;
  if (!store.listCredentials(all)) {
    outError = store.lastError();
    return false;
  }
  for (const StoredCredential& c : all) {
    App::AzureCredentialInfo record;
    if (AzureCredentialRecord::FromAdditionalInfo(c.additionalInfo, record) &&
        AzureCredentialRecord::GetCertificateName(record) == name) {
      return true;
    }
  }
  const TqHome home;
  const std::string path = home.CertificateFile(name);
  const CKoError st = home.CheckFile(path, TqHome::FileKind::kSecret);
  if (TqHome::IsMissing(st)) {
    return true;
  }
  if (st.IsError()) {
    outError = st.GetMessage();
    return false;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    outError = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

void ForgetStagedCertificate(const Console& console, const std::string& name) {
  std::string problem;
  if (!ForgetUnused(name, problem)) {
    console.Warn(problem);
  }
}

}  // namespace tqcli
