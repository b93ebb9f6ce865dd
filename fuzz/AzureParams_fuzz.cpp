// AzureParams::initializeParams on credential records built from the fuzz
// bytes, with TQ_HOME a private folder that has a certificates folder. No
// file may appear anywhere but in the certificates folder; a staged file is
// "Azure_<name>.crt", owner read-only, and holds exactly the Base64-decoded
// certificate; a failure leaves nothing behind; the thumbprint becomes the
// Base64 of its hex bytes, or stays as it was when it is not hex.

#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "fuzz/FuzzSupport.h"
#include "platform/AppMessages.h"
#include "platform/TqcConvert.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "util/Base64Codec.h"

namespace {

namespace R = AzureCredentialRecord;
using R::AuthType;

// The folder the fuzzer's files must stay in is TQ_HOME; its parent is
// watched for anything escaping it.
std::string& Home() {
  static std::string home;
  return home;
}

bool IsHex(const std::string& s) {
  if (s.size() % 2 != 0) {
    return false;
  }
  for (const char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
          (c >= 'A' && c <= 'F'))) {
      return false;
    }
  }
  return true;
}

std::string HexBytes(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  const std::string& root = tqfuzz::PrivateHome();
  Home() = root + "/home";
  ::mkdir(Home().c_str(), 0700);
  ::mkdir((Home() + "/certificates").c_str(), 0700);
  ::setenv("TQ_HOME", Home().c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1 << 16) {
    return 0;
  }
  const std::string& home = Home();
  const std::string folder = home + "/certificates";
  tqfuzz::EmptyFolder(folder);

  tqfuzz::Reader in(data, size);
  const uint8_t flags = in.Byte();
  const AuthType authType =
      (flags & 3) == 3   ? static_cast<AuthType>(static_cast<int8_t>(in.Byte()))
      : (flags & 3) == 2 ? AuthType::kClientSecret
                         : AuthType::kCertificate;
  // Length-prefixed, so that the texts may hold any byte, NUL included.
  const std::string thumbprint = in.Bytes(in.Byte());
  const std::string name = in.Bytes(in.Byte());
  // The certificate as given, or the Base64 of the remaining bytes, so that
  // the staging path is reached often.
  std::string certificate = in.Rest();
  if ((flags & 4) != 0) {
    certificate =
        Base64Encode(reinterpret_cast<const unsigned char*>(certificate.data()),
                     static_cast<int>(certificate.size()));
  }

  TQCloudAuth::AzureArgs args;
  R::SetAuthType(args.credentialInfo, authType);
  R::SetApplicationId(args.credentialInfo, "app");
  R::SetTenantId(args.credentialInfo, "tenant");
  R::SetCertificateThumbprint(args.credentialInfo, thumbprint);
  R::SetCertificateName(args.credentialInfo, name);
  R::SetCertificateFile(args.credentialInfo, certificate);

  TQCloudAuth::AzureParams params;
  const CKoError st = params.initializeParams(args);

  // Nothing outside TQ_HOME, and inside it nothing but the certificates
  // folder and the log.
  const std::string root = home.substr(0, home.rfind('/'));
  FUZZ_CHECK(tqfuzz::ListTree(root).size() == tqfuzz::ListTree(home).size() + 1,
             "a file appeared outside TQ_HOME for name " + tqfuzz::Hex(name));
  std::vector<std::string> files;
  for (const std::string& entry : tqfuzz::ListTree(home)) {
    if (entry.compare(0, 13, "certificates/") == 0) {
      files.push_back(entry.substr(13));
    } else {
      FUZZ_CHECK(entry == "certificates" || entry == "logs" ||
                     entry == "logs/tqcloudauth.log",
                 "unexpected file in TQ_HOME: " + entry);
    }
  }

  if (authType != AuthType::kCertificate) {
    FUZZ_CHECK(!st.IsError() && files.empty() &&
                   params.getCertificateThumbprint() == thumbprint &&
                   params.getCertificateFile() == certificate,
               "a secret credential must be copied untouched");
    return 0;
  }
  const std::string expectedThumbprint =
      IsHex(thumbprint) ? Base64Encode(reinterpret_cast<const unsigned char*>(
                                           HexBytes(thumbprint).data()),
                                       static_cast<int>(thumbprint.size() / 2))
                        : thumbprint;
  FUZZ_CHECK(
      st.IsError() || params.getCertificateThumbprint() == expectedThumbprint,
      "thumbprint " + tqfuzz::Hex(thumbprint) + " became " +
          tqfuzz::Hex(params.getCertificateThumbprint()));
  if (st.IsError()) {
    FUZZ_CHECK(files.empty(),
               "a failed staging left " + (files.empty() ? "" : files[0]));
    return 0;
  }
  if (name.empty()) {
    FUZZ_CHECK(files.empty() && params.getCertificateFile() == certificate,
               "no name: nothing is staged");
    return 0;
  }
  const std::string fileName = "Azure_" + name + ".crt";
  FUZZ_CHECK(files.size() == 1 && files[0] == fileName,
             "staged " + (files.empty() ? "nothing" : files[0]) + " for name " +
                 tqfuzz::Hex(name));
  const std::string path = folder + "/" + fileName;
  FUZZ_CHECK(params.getCertificateFile() == path,
             "certificateFile is " + params.getCertificateFile());
  std::string decoded;
  std::string staged;
  FUZZ_CHECK(base64Decode(certificate, decoded) && !decoded.empty(),
             "staged a certificate that does not decode");
  FUZZ_CHECK(tqfuzz::ReadWholeFile(path, staged) && staged == decoded,
             "staged content differs from the decoded certificate");
  struct stat info {};
  FUZZ_CHECK(::stat(path.c_str(), &info) == 0 && (info.st_mode & 0777) == 0400,
             "staged file is not owner read-only");
  return 0;
}
