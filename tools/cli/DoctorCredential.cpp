// doctor: the checks of a stored credential, its login endpoint and a
// token request.

#include <fcntl.h>
#include <netdb.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureArgs.h"
#include "auth/azure/internal/ClientAssertion.h"
#include "internal/crypto/CertificateFile.h"
#include "internal/crypto/OpenSslHandles.h"
#include "internal/io/FileReader.h"
#include "internal/net/AddrInfoHandle.h"
#include "internal/net/CaStore.h"
#include "internal/text/CredentialChecks.h"
#include "internal/text/IniFile.h"
#include "internal/text/Redact.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/EvEvent.h"
#include "platform/SecureMemory.h"
#include "platform/TQGlobalParam.h"
#include "platform/TQLibCurl.h"
#include "platform/TQPassword.h"
#include "platform/auto_handle.h"
#include "platform/internal/AzureCredentialRecord.h"
#include "platform/internal/TqHome.h"
#include "tools/cli/CliText.h"
#include "tools/cli/Doctor.h"
#include "tools/cli/DoctorParts.h"
#include "tools/cli/StoredCertificate.h"
#include "util/Base64Codec.h"

namespace tqcli {
namespace doctor {
namespace {

namespace Record = AzureCredentialRecord;

std::string Subject(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), X509_get_subject_name(cert), 0,
                                 XN_FLAG_RFC2253) < 0) {
    return "?";
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(length));
}

// The stored certificate, its password, the key in it and its staged copy.
// True when a token request would find the staged copy as it is.
bool CheckCertificate(const TqHome& home, App::AzureCredentialInfo& record,
                      const std::string& storedPassword, Report& report) {
  CertificateFile parsed;
  switch (ReadStoredCertificate(record, storedPassword, parsed)) {
    case StoredCertificateProblem::kNone:
      break;
    case StoredCertificateProblem::kNotBase64:
      report.Fail("certificate",
                  "the stored certificate is not Base64; add "
                  "it again with `tqcloudauth credential add "
                  "--replace`");
      return false;
    case StoredCertificateProblem::kPasswordUndecryptable:
      report.Fail("certificate",
                  "its password does not decrypt with " + home.KeyFile() +
                      ": the key is not the one it was stored with; add it "
                      "again with `tqcloudauth credential add --replace`");
      return false;
    case StoredCertificateProblem::kNoCertificate:
      report.Fail("certificate",
                  "the stored file holds no certificate (PEM, "
                  "or PKCS#12 with its password); add it again");
      return false;
  }
  X509* cert = parsed.certificate.get();
  const std::string thumbprint = ThumbprintHex(cert, EVP_sha1());
  const std::string recorded = Record::GetCertificateThumbprint(record);
  if (::strcasecmp(thumbprint.c_str(), recorded.c_str()) != 0) {
    report.Fail("certificate", "its thumbprint " + thumbprint +
                                   " is not the recorded one " + recorded +
                                   "; add it again");
    return false;
  }
  const CertificateProblem problem = parsed.Check();
  if (problem != CertificateProblem::kNone) {
    report.Fail("certificate", std::string(CertificateProblemText(problem)) +
                                   "; add it again with its key");
    return false;
  }
  const std::string what = Subject(cert) + ", thumbprint " + thumbprint +
                           " (SHA-1), " + ThumbprintHex(cert, EVP_sha256()) +
                           " (SHA-256)";
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) < 0) {
    report.Fail("certificate", what + ": expired; register and add a new one");
    return false;
  }
  report.Ok("certificate", what +
                               ": matches the record, its key belongs "
                               "to it");

  const std::string name = Record::GetCertificateName(record);
  if (name.empty()) {
    return true;
  }
  std::string refused;
  if (!CheckCertificateName(name, refused)) {
    report.Fail("staged", refused + "; add it again");
    return false;
  }
  const std::string path = home.CertificateFile(name);
  auto_handle file;
  const CKoError st =
      home.OpenFile(path, TqHome::FileKind::kSecret, O_RDONLY, 0, file);
  if (TqHome::IsMissing(st)) {
    report.Warn("staged", path +
                              " not yet: the first token request "
                              "stages it");
    return false;
  }
  if (st.IsError()) {
    report.Fail("staged", st.GetMessage());
    return false;
  }
  FileBytes staged;
  FileReadError error;
  if (!ReadOpenedFile(file.get(), kMaxCertificateFileBytes, staged, error)) {
    report.Fail("staged", error.Describe(path));
    return false;
  }
  // Decoded once before, by ReadStoredCertificate.
  std::string bytes;
  StringWipeGuard wipeBytes(bytes);
  base64Decode(Record::GetCertificateFile(record), bytes);
  if (staged.size() != bytes.size() ||
      !std::equal(staged.begin(), staged.end(), bytes.begin())) {
    report.Warn("staged", path +
                              " holds another certificate: the next "
                              "token request stages this one");
    return false;
  }
  report.Ok("staged", path + " holds this certificate");
  return true;
}

// The host and port of an http(s) URL; false when it names none.
bool HostOf(const std::string& url, std::string& outHost,
            std::string& outPort) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) {
    return false;
  }
  const std::string rest = url.substr(scheme + 3);
  const std::string authority = rest.substr(0, rest.find_first_of("/?#"));
  std::string host = authority.substr(authority.rfind('@') + 1);
  std::string port = url.compare(0, 5, "http:") == 0 ? "80" : "443";
  if (!host.empty() && host[0] == '[') {
    const size_t close = host.find(']');
    if (close == std::string::npos) {
      return false;
    }
    if (close + 1 < host.size() && host[close + 1] == ':') {
      port = host.substr(close + 2);
    }
    host = host.substr(1, close - 1);
  } else if (host.find(':') != std::string::npos) {
    port = host.substr(host.find(':') + 1);
    host = host.substr(0, host.find(':'));
  }
  outHost = host;
  outPort = port;
  return !host.empty();
}

void CheckEndpoint(const std::string& login, const Config& config,
                   const Proxy* proxy, const CredentialTarget& target,
                   const TqHome& home, Report& report) {
  std::string host;
  std::string port;
  if (!HostOf(login, host, port)) {
    report.Fail("endpoint", login +
                                " names no host; add the credential "
                                "again with a --login-endpoint URL");
    return;
  }
  if (proxy != nullptr) {
    report.Ok("endpoint", login + ": " + host + " is resolved by the proxy " +
                              proxy->Name());
  } else {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int err = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    const AddrInfoPtr list(found);
    if (err != 0) {
      report.Fail("endpoint", login + ": " + host + " does not resolve (" +
                                  ::gai_strerror(err) +
                                  "); check the name and the DNS settings");
      return;
    }
    report.Ok("endpoint", login + ": " + host + " resolves");
  }

  TQLibCurl curl;
  bool ready = curl.TQLibCurlInit(nullptr, false, false, nullptr);
  if (ready && proxy != nullptr) {
    ready = curl.TQLibCurlSetAdditionalOptionsIntValue(CURLOPT_PROXYTYPE,
                                                       CURLPROXY_HTTP) &&
            curl.TQLibCurlSetAdditionalOptionsStringValue(CURLOPT_PROXY,
                                                          proxy->Name());
    if (ready && proxy->authenticate) {
      std::string userPassword = proxy->user + ":" + proxy->password;
      StringWipeGuard wipe(userPassword);
      ready = curl.TQLibCurlSetAdditionalOptionsStringValue(
          CURLOPT_PROXYUSERPWD, userPassword);
    }
  }
  if (!ready) {
    report.Fail("tls", "the HTTP client cannot be set up");
    return;
  }
  const std::string through =
      proxy != nullptr ? " through the proxy " + proxy->Name() : "";
  if (curl.TQLibCurlSendHttpReq(HTTP_REQ_GET, login.c_str(), nullptr, 0, false,
                                nullptr)) {
    report.Ok("tls", host + ":" + port + through +
                         ": the certificate "
                         "verifies against " +
                         CaSource(config));
    return;
  }
  unsigned long length = 0;
  const char* text = curl.GetHttpResponse(length, false);
  const CKoError failed = FXErrorUtil::ErrorWin32(
      TQ_LOC, TQ_ERROR_GENERAL, curl.GetFailureReason(),
      "Request failed with ErrorCode [%ld] Message [%s]",
      curl.GetHttpErrorCode(), QuoteReply(text != nullptr ? text : "").c_str());
  const std::string fix = FixFor(failed, target, home, config, proxy);
  report.Fail("tls", host + ":" + port + through + ": " + failed.GetMessage() +
                         (fix.empty() ? "" : "; " + fix));
}

void CheckToken(const DoctorOptions& options, const TqHome& home,
                const Config& config, const Proxy* proxy, Report& report) {
  const CredentialTarget& target = options.target;
  TQCloudAuthLib* raw = nullptr;
  CKoError st = TQCloudAuthLib::getTQCloudAuthLibInstance(
      target.assocId, target.entity, options.useProxySettings, raw);
  std::unique_ptr<TQCloudAuthLib> lib(raw);
  TQCloudAuth::GetAuthTokenRet ret;
  StringWipeGuard wipeToken(ret.accessToken);
  if (!st.IsError()) {
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = options.scope;
    st = lib->getAuthToken(&args, &ret);
  }
  if (st.IsError()) {
    const std::string fix = FixFor(st, target, home, config, proxy);
    report.Fail("token", st.GetMessage() + (fix.empty() ? "" : "; " + fix));
    return;
  }
  const long long now = static_cast<long long>(std::time(nullptr));
  report.Ok("token", ret.tokenType + " for " + options.scope + ", expires_on " +
                         std::to_string(ret.expireTime) + " (in " +
                         std::to_string(ret.expireTime - now) + " s)");
}

// The assertion a token request would sign, as [Azure] AssertionAlgorithm
// picks it.
void CheckAssertion(const Config& config, Report& report) {
  AssertionAlgorithm algorithm = AssertionAlgorithm::kRs256;
  if (config.assertionAlgorithmSet &&
      !ParseAssertionAlgorithm(config.assertionAlgorithm, algorithm)) {
    report.Fail("assertion", std::string("[") + kAssertionAlgorithmSection +
                                 "] " + kAssertionAlgorithmKey + " [" +
                                 QuoteText(config.assertionAlgorithm) +
                                 "] in " + config.path + " is not " +
                                 kAssertionAlgorithmValues +
                                 ": token requests fail until it is");
    return;
  }
  const std::string source =
      config.assertionAlgorithmSet
          ? std::string("[") + kAssertionAlgorithmSection + "] " +
                kAssertionAlgorithmKey
          : std::string("the default; [") + kAssertionAlgorithmSection + "] " +
                kAssertionAlgorithmKey + " unset";
  report.Ok(
      "assertion",
      algorithm == AssertionAlgorithm::kPs256
          ? "PS256 (RSASSA-PSS) with the SHA-256 thumbprint (x5t#S256), " +
                source
          : "RS256 (RSASSA-PKCS1-v1_5) with the SHA-1 thumbprint (x5t), " +
                source);
}

}  // namespace

void CheckCredential(const DoctorOptions& options, const TqHome& home,
                     bool homeExists, bool homePrivate, const Config& config,
                     Report& report) {
  const CredentialTarget& target = options.target;
  const std::string id = std::to_string(target.assocId) + " (entity " +
                         std::to_string(target.entity) + ")";
  if (!homeExists) {
    report.Fail("credential", "no credential " + id +
                                  " is stored: the home folder " + home.Path() +
                                  " does not exist; `tqcloudauth credential "
                                  "list` shows what is stored");
    return;
  }
  if (!homePrivate) {
    report.Warn("credential", id + " not checked until the home is private "
                                   "(see above)");
    return;
  }
  CredentialMgrHelper store;
  int type = 0;
  std::string user;
  std::string password;
  StringWipeGuard wipePassword(password);
  std::string info;
  int other = 0;
  const int found = store.getCredentialsFromAssocIdForEntity(
      target.assocId, target.entity, type, user, password, info, other,
      nullptr);
  if (found == CredentialMgrHelper::kNotFound) {
    report.Fail("credential", "no credential " + id +
                                  " is stored under the home folder " +
                                  home.Path() +
                                  "; `tqcloudauth credential list` shows "
                                  "what is");
    return;
  }
  if (found != CredentialMgrHelper::kOk) {
    const std::string fix =
        FixFor(store.lastStatus(), target, home, config, nullptr);
    report.Fail("credential",
                store.lastError() + (fix.empty() ? "" : "; " + fix));
    return;
  }
  if (type != Record::kCredentialType) {
    report.Fail("credential", id + " is of type " + std::to_string(type) +
                                  ", not an Azure application credential");
    return;
  }
  App::AzureCredentialInfo record;
  if (!Record::FromAdditionalInfo(info, record)) {
    report.Fail("credential", id + ": its record does not unserialize; add it "
                                   "again with `tqcloudauth credential add "
                                   "--replace`");
    return;
  }
  const Record::AuthType auth = Record::GetAuthType(record);
  const std::string stored = Record::GetLoginEndpoint(record);
  const std::string login =
      stored.empty() ? TQCloudAuth::kDefaultAzureLoginEndpoint : stored;
  report.Ok("credential",
            id + ": " +
                (auth == Record::AuthType::kClientSecret  ? "secret"
                 : auth == Record::AuthType::kCertificate ? "certificate"
                                                          : "unknown kind") +
                ", tenant " + Record::GetTenantId(record) + ", client " +
                Record::GetApplicationId(record) + ", login endpoint " + login);

  bool tokenWritesNothing = true;
  if (auth == Record::AuthType::kClientSecret) {
    std::string secret;
    StringWipeGuard wipeSecret(secret);
    if (password.empty()) {
      report.Fail("secret",
                  "none stored; add it again with `tqcloudauth "
                  "credential add --secret-stdin --replace`");
    } else if (!DecryptStored(password, secret)) {
      report.Fail("secret",
                  "does not decrypt with " + home.KeyFile() +
                      ": the key is not the one it was stored with, or the "
                      "record was altered; add it again with `tqcloudauth "
                      "credential add --secret-stdin --replace`");
    } else {
      report.Ok("secret", "decrypts with " + home.KeyFile());
    }
  } else if (auth == Record::AuthType::kCertificate) {
    tokenWritesNothing = CheckCertificate(home, record, password, report);
    CheckAssertion(config, report);
  } else {
    report.Fail("credential", id + ": neither a secret nor a certificate; "
                                   "add it again");
    return;
  }

  const Proxy* proxy =
      options.useProxySettings && config.proxy.on ? &config.proxy : nullptr;
  CheckEndpoint(login, config, proxy, target, home, report);
  if (options.scope.empty()) {
    return;
  }
  if (!tokenWritesNothing) {
    report.Warn("token",
                "not requested: it would stage the certificate "
                "under the home first; run `tqcloudauth token "
                "--assoc-id " +
                    std::to_string(target.assocId) + " --scope ...` once");
    return;
  }
  CheckToken(options, home, config, proxy, report);
}

}  // namespace doctor
}  // namespace tqcli
