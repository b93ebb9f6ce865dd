#include "tools/cli/TQCloudAuthCli.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <istream>
#include <memory>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "auth/TQCloudAuthLib.h"
#include "digest/Sha1.h"
#include "internal/Handles.h"
#include "internal/RsaSigner.h"
#include "internal/Sha1Engine.h"
#include "platform/AppMessages.h"
#include "platform/AzureCredentialRecord.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/EvEvent.h"
#include "platform/SecureMemory.h"
#include "platform/StagedCertificate.h"
#include "platform/TQPassword.h"
#include "platform/TqHome.h"
#include "tools/version/ToolVersion.h"
#include "util/Base64Codec.h"

namespace {

namespace Record = AzureCredentialRecord;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxStdinBytes = 64 * 1024;
constexpr size_t kMaxCertificateBytes = 1024 * 1024;
// Ids, URLs and scopes are far shorter; more is a mistake, not a credential.
constexpr size_t kMaxOptionBytes = 8192;

// A failure to report: exit status 1 (or 2 for usage) and a message.
struct Failure {
  int status;
  std::string message;
};

// Reads a secret from standard input: all of it, without one trailing line
// break. The caller wipes it.
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

bool ReadFileBytes(const std::string& path, std::string& outBytes,
                   Failure& outFailure) {
  BioPtr bio(BIO_new_file(path.c_str(), "rb"));
  if (!bio) {
    outFailure = {kExitFailed,
                  "cannot read " + path + ": " + std::strerror(errno)};
    return false;
  }
  std::string bytes;
  char chunk[4096];
  int n;
  while ((n = BIO_read(bio.get(), chunk, sizeof chunk)) > 0) {
    bytes.append(chunk, static_cast<size_t>(n));
    if (bytes.size() > kMaxCertificateBytes) {
      outFailure = {kExitFailed, path + " is larger than " +
                                     std::to_string(kMaxCertificateBytes) +
                                     " bytes: not a certificate file"};
      WipeString(bytes);
      return false;
    }
  }
  SecureWipe(chunk, sizeof chunk);
  outBytes.swap(bytes);
  return true;
}

// The certificate in a PEM or PKCS#12 file (the first certificate of a PEM).
X509Ptr ReadCertificate(const std::string& bytes, const std::string& password) {
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (bytes.find("-----BEGIN") != std::string::npos) {
    return X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  }
  Pkcs12Ptr p12(d2i_PKCS12_bio(bio.get(), nullptr));
  if (!p12) {
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  if (PKCS12_parse(p12.get(), password.c_str(), &key, &cert, nullptr) != 1) {
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

// A certificate name forms a file name: keep it to a plain one.
bool IsPlainName(const std::string& name) {
  if (name.empty() || name.size() > 128 || name[0] == '.') {
    return false;
  }
  for (unsigned char c : name) {
    if (!(std::isalnum(c) || c == '-' || c == '_' || c == '.')) {
      return false;
    }
  }
  return true;
}

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF): the credential record is stored as JSON, which
// cannot carry anything else.
bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t more = 0;
    unsigned char low = 0x80;  // bounds of the second byte
    unsigned char high = 0xBF;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong form
      high = lead == 0xED ? 0x9F : 0xBF;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;  // up to U+10FFFF
    } else {
      return false;
    }
    if (text.size() - i <= more) {
      return false;
    }
    for (size_t k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) {
        return false;
      }
    }
    i += more + 1;
  }
  return true;
}

// Text options: UTF-8 without control characters, of a sane length.
bool IsPrintable(const std::string& text) {
  if (text.size() > kMaxOptionBytes || !IsUtf8(text)) {
    return false;
  }
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      return false;
    }
  }
  return true;
}

// A message for the terminal: it may quote what a server replied, and
// control characters there (escape sequences, a carriage return that hides
// the line) must not drive the terminal. Line breaks and tabs stay.
std::string Shown(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7F) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The certificate name of a stored credential, "" when it has none.
std::string CertificateNameOf(const StoredCredential& c) {
  App::AzureCredentialInfo record;
  if (!Record::FromAdditionalInfo(c.additionalInfo, record)) {
    return std::string();
  }
  return Record::GetCertificateName(record);
}

struct CommonOptions {
  bool verbose = false;
  int assocId = 0;
  int entity = 0;
};

struct AddOptions {
  std::string tenant;
  std::string clientId;
  std::string loginEndpoint;
  bool secretStdin = false;
  std::string certificate;
  std::string certificateName;
  bool certificatePasswordStdin = false;
  bool replace = false;
};

struct TokenOptions {
  std::string scope;
  bool useProxySettings = false;
  bool raw = false;
};

class Cli {
 public:
  Cli(std::istream& in, std::ostream& out, std::ostream& err)
      : m_in(in), m_out(out), m_err(err) {}

  int Run(int argc, const char* const* argv);

 private:
  int AddCredential();
  int ListCredentials();
  int RemoveCredential();
  int Token();
  int EncryptSecret();

  // Removes the staged file of a certificate name no stored credential
  // uses any more; a failure is a warning, the store being changed already.
  void ForgetStagedCertificate(const std::string& name);
  int Fail(const Failure& failure);

  std::istream& m_in;
  std::ostream& m_out;
  std::ostream& m_err;
  CommonOptions m_common;
  AddOptions m_add;
  TokenOptions m_token;
};

int Cli::Fail(const Failure& failure) {
  m_err << "tqcloudauth: " << Shown(failure.message) << "\n";
  return failure.status;
}

void Cli::ForgetStagedCertificate(const std::string& name) {
  std::string problem;
  if (!StagedCertificate::ForgetUnused(name, problem)) {
    m_err << "tqcloudauth: warning: " << Shown(problem) << "\n";
  }
}

int Cli::AddCredential() {
  AddOptions& a = m_add;
  if (a.tenant.empty() || !IsPrintable(a.tenant) || a.clientId.empty() ||
      !IsPrintable(a.clientId) || !IsPrintable(a.loginEndpoint)) {
    return Fail({kExitUsage,
                 "--tenant, --client-id and --login-endpoint must be printable "
                 "UTF-8 text of at most 8192 bytes, the first two non-empty"});
  }
  if (a.secretStdin == !a.certificate.empty()) {
    return Fail(
        {kExitUsage, "give exactly one of --secret-stdin and --certificate"});
  }
  if (!a.certificate.empty() && !IsPlainName(a.certificateName)) {
    return Fail({kExitUsage,
                 "--certificate needs --certificate-name: letters, digits, "
                 "'.', '-' and '_' only"});
  }
  if (a.certificate.empty() &&
      (a.certificatePasswordStdin || !a.certificateName.empty())) {
    return Fail({kExitUsage,
                 "--certificate-name and --certificate-password-stdin go "
                 "with --certificate"});
  }
  if (!a.loginEndpoint.empty()) {
    if (a.loginEndpoint.rfind("https://", 0) != 0 &&
        a.loginEndpoint.rfind("http://", 0) != 0) {
      return Fail({kExitUsage, "--login-endpoint must be an http(s) URL"});
    }
    if (a.loginEndpoint.back() != '/') {
      a.loginEndpoint += '/';  // the tenant is appended directly
    }
  }

  Failure failure{kExitFailed, ""};
  std::string secret;
  StringWipeGuard wipeSecret(secret);
  App::AzureCredentialInfo record;
  Record::SetApplicationId(record, a.clientId);
  Record::SetTenantId(record, a.tenant);
  if (a.secretStdin) {
    if (!ReadSecret(m_in, "the client secret", false, secret, failure) ||
        !FitsTokenRequest("the client secret", secret, failure)) {
      return Fail(failure);
    }
    Record::SetAuthType(record, Record::AuthType::kClientSecret);
  } else {
    if (a.certificatePasswordStdin &&
        (!ReadSecret(m_in, "the certificate password", true, secret, failure) ||
         !FitsTokenRequest("the certificate password", secret, failure))) {
      return Fail(failure);
    }
    std::string bytes;
    StringWipeGuard wipeBytes(bytes);
    if (!ReadFileBytes(a.certificate, bytes, failure)) {
      return Fail(failure);
    }
    X509Ptr cert = ReadCertificate(bytes, secret);
    if (!cert) {
      return Fail({kExitFailed, a.certificate +
                                    ": no certificate found (PEM, or "
                                    "PKCS#12 with the right password)"});
    }
    // A missing, foreign or non-RSA key or a wrong password shows here, not
    // at the endpoint.
    std::string problem;
    if (!CheckCertificateKey(bytes, secret, problem)) {
      return Fail({kExitFailed, a.certificate + ": " + problem});
    }
    Record::SetAuthType(record, Record::AuthType::kCertificate);
    Record::SetCertificateName(record, a.certificateName);
    Record::SetCertificateFile(
        record,
        Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                     static_cast<int>(bytes.size())));
    Record::SetCertificateThumbprint(record, Sha1ThumbprintHex(cert.get()));
  }
  if (!a.loginEndpoint.empty()) {
    Record::SetLoginEndpoint(record, a.loginEndpoint);
  }

  StoredCredential stored;
  stored.assocId = m_common.assocId;
  stored.entity = m_common.entity;
  stored.credentialType = Record::kCredentialType;
  if (!secret.empty()) {
    TQPassword passwords;
    if (!passwords.encrypt(secret, stored.password)) {
      return Fail({kExitFailed, "cannot encrypt the secret: is " +
                                    TqHome().KeyFile() + " readable?"});
    }
  }
  stored.additionalInfo = Record::ToAdditionalInfo(record);

  // The home with its missing parents, and the folder certificates are
  // staged in.
  const TqHome home;
  const CKoError folders = home.MakeFolder(home.CertificatesFolder());
  if (folders.IsError()) {
    return Fail({kExitFailed, folders.GetMessage()});
  }
  CredentialMgrHelper store;
  std::string previousName;
  if (m_add.replace) {
    std::vector<StoredCredential> all;
    if (store.listCredentials(all)) {
      for (const StoredCredential& c : all) {
        if (c.assocId == stored.assocId && c.entity == stored.entity) {
          previousName = CertificateNameOf(c);
        }
      }
    }
  }
  if (!store.addCredential(stored, m_add.replace)) {
    return Fail({kExitFailed, store.lastError()});
  }
  // The new certificate replaces a staged file of its name when used.
  ForgetStagedCertificate(previousName);
  m_out << "stored credential " << stored.assocId << " (entity "
        << stored.entity << ")\n";
  return kExitOk;
}

int Cli::ListCredentials() {
  CredentialMgrHelper store;
  std::vector<StoredCredential> all;
  if (!store.listCredentials(all)) {
    return Fail({kExitFailed, store.lastError()});
  }
  m_out << "assoc_id\tentity\ttype\tauth\ttenant\tclient_id\tlogin_endpoint"
           "\tcertificate_name\n";
  for (const StoredCredential& c : all) {
    std::string auth = "?";
    std::string tenant;
    std::string clientId;
    std::string login;
    std::string name;
    App::AzureCredentialInfo record;
    if (!c.additionalInfo.empty() &&
        Record::FromAdditionalInfo(c.additionalInfo, record)) {
      const Record::AuthType type = Record::GetAuthType(record);
      auth = type == Record::AuthType::kCertificate    ? "certificate"
             : type == Record::AuthType::kClientSecret ? "secret"
                                                       : "?";
      tenant = Record::GetTenantId(record);
      clientId = Record::GetApplicationId(record);
      name = Record::GetCertificateName(record);
      login = Record::GetLoginEndpoint(record);
    }
    m_out << c.assocId << '\t' << c.entity << '\t' << c.credentialType << '\t'
          << auth << '\t' << tenant << '\t' << clientId << '\t'
          << (login.empty() ? "(default)" : login) << '\t'
          << (name.empty() ? "-" : name) << '\n';
  }
  return kExitOk;
}

int Cli::RemoveCredential() {
  CredentialMgrHelper store;
  std::vector<StoredCredential> all;
  std::string name;
  if (store.listCredentials(all)) {
    for (const StoredCredential& c : all) {
      if (c.assocId == m_common.assocId && c.entity == m_common.entity) {
        name = CertificateNameOf(c);
      }
    }
  }
  if (!store.removeCredential(m_common.assocId, m_common.entity)) {
    return Fail({kExitFailed, store.lastError()});
  }
  ForgetStagedCertificate(name);
  m_out << "removed credential " << m_common.assocId << " (entity "
        << m_common.entity << ")\n";
  return kExitOk;
}

int Cli::Token() {
  if (m_token.scope.empty() || !IsPrintable(m_token.scope)) {
    return Fail({kExitUsage,
                 "--scope must be non-empty printable UTF-8 text of at "
                 "most 8192 bytes"});
  }
  TQCloudAuthLib* raw = nullptr;
  const CKoError st = TQCloudAuthLib::getTQCloudAuthLibInstance(
      m_common.assocId, m_common.entity, m_token.useProxySettings, raw);
  std::unique_ptr<TQCloudAuthLib> lib(raw);
  auto report = [this](const CKoError& failure) {
    m_err << "tqcloudauth: "
          << Shown(m_common.verbose ? failure.ToString() : failure.GetMessage())
          << "\n";
    return kExitFailed;
  };
  if (st.IsError()) {
    return report(st);
  }
  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = m_token.scope;
  TQCloudAuth::GetAuthTokenRet ret;
  StringWipeGuard wipeToken(ret.accessToken);
  const CKoError tokenStatus = lib->getAuthToken(&args, &ret);
  if (tokenStatus.IsError()) {
    return report(tokenStatus);
  }
  if (m_token.raw) {
    m_out << ret.accessToken << "\n";
  } else {
    nlohmann::ordered_json reply;
    reply["access_token"] = ret.accessToken;
    reply["token_type"] = ret.tokenType;
    reply["expires_on"] = ret.expireTime;
    m_out << reply.dump() << "\n";
  }
  return kExitOk;
}

int Cli::EncryptSecret() {
  Failure failure{kExitFailed, ""};
  std::string secret;
  StringWipeGuard wipeSecret(secret);
  if (!ReadSecret(m_in, "the secret", false, secret, failure)) {
    return Fail(failure);
  }
  TQPassword passwords;
  std::string stored;
  if (!passwords.encrypt(secret, stored)) {
    return Fail(
        {kExitFailed, "cannot encrypt: is " + TqHome().Path() + " writable?"});
  }
  m_out << stored << "\n";
  return kExitOk;
}

int Cli::Run(int argc, const char* const* argv) {
  CLI::App app{
      "tqcloudauth: store Azure application credentials and get access "
      "tokens with them"};
  app.name("tqcloudauth");
  app.require_subcommand(1);
  app.set_version_flag("--version", [] {
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    const char* tls = curl->ssl_version ? curl->ssl_version : "no TLS";
    return ToolVersionText("tqcloudauth", std::string("libcurl ") +
                                              curl->version + " (" + tls + ")");
  });
  app.add_flag("-v,--verbose", m_common.verbose,
               "on failure show where it happened, and the debug log on "
               "standard error");

  // CLI11 reads an empty text as the number 0: refused, as it would name
  // another credential than the one meant.
  const CLI::Validator notEmpty(
      [](std::string& value) {
        return value.empty() ? std::string("an empty value is not a number")
                             : std::string();
      },
      "", "NOT_EMPTY");
  auto addTarget = [this, &notEmpty](CLI::App* cmd) {
    cmd->add_option("--assoc-id", m_common.assocId,
                    "the credential's association id")
        ->required()
        ->check(notEmpty);
    cmd->add_option("--entity", m_common.entity, "the entity (default 0)")
        ->check(notEmpty);
  };

  CLI::App* credential = app.add_subcommand(
      "credential", "add, list or remove stored credentials");
  credential->require_subcommand(1);
  CLI::App* add = credential->add_subcommand(
      "add", "store an Azure application credential (secrets from stdin)");
  addTarget(add);
  add->add_option("--tenant", m_add.tenant, "directory (tenant) id")
      ->required();
  add->add_option("--client-id", m_add.clientId, "application (client) id")
      ->required();
  add->add_option("--login-endpoint", m_add.loginEndpoint,
                  "login service URL (default: the public Azure AD one)");
  add->add_flag("--secret-stdin", m_add.secretStdin,
                "read the client secret from standard input");
  add->add_option("--certificate", m_add.certificate,
                  "certificate file with its private key (PEM or PKCS#12)");
  add->add_option("--certificate-name", m_add.certificateName,
                  "a name for the certificate");
  add->add_flag("--certificate-password-stdin", m_add.certificatePasswordStdin,
                "read the certificate password from standard input");
  add->add_flag("--replace", m_add.replace,
                "replace a credential stored under the same ids");
  CLI::App* list =
      credential->add_subcommand("list", "list stored credentials");
  CLI::App* remove =
      credential->add_subcommand("remove", "remove a stored credential");
  addTarget(remove);

  CLI::App* token = app.add_subcommand(
      "token", "get an access token with a stored credential");
  addTarget(token);
  token
      ->add_option("--scope", m_token.scope,
                   "e.g. https://vault.azure.net/.default")
      ->required();
  token->add_flag("--use-proxy-settings", m_token.useProxySettings,
                  "use the proxy of tqcloudauth.ini [GlobalParam]");
  token->add_flag("--raw", m_token.raw, "print the token alone");

  CLI::App* secret = app.add_subcommand("secret", "encrypt secrets");
  secret->require_subcommand(1);
  CLI::App* encrypt = secret->add_subcommand(
      "encrypt", "standard input to its stored (encrypted) form");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    m_out << app.help();
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    m_out << e.what() << "\n";
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    m_err << "tqcloudauth: " << e.what() << "\nRun with --help for usage.\n";
    return kExitUsage;
  }
  if (m_common.verbose) {
    EvDebug::SetDestinationOverride(EvLogDestination::Stderr);
    EvDebug::SetThresholdOverride(5);
  }
  // Nothing is read from or written to a home that is not the user's own
  // and private.
  const CKoError home = TqHome().Check();
  if (home.IsError()) {
    return Fail({kExitFailed, home.GetMessage()});
  }
  if (add->parsed()) {
    return AddCredential();
  }
  if (list->parsed()) {
    return ListCredentials();
  }
  if (remove->parsed()) {
    return RemoveCredential();
  }
  if (token->parsed()) {
    return Token();
  }
  if (encrypt->parsed()) {
    return EncryptSecret();
  }
  m_err << app.help();
  return kExitUsage;
}

}  // namespace

int RunTQCloudAuthCli(int argc, const char* const* argv, std::istream& in,
                      std::ostream& out, std::ostream& err) {
  Cli cli(in, out, err);
  try {
    return cli.Run(argc, argv);
  } catch (const std::exception&) {
    // Its text might quote stored data: not shown.
    err << "tqcloudauth: the operation failed unexpectedly\n";
    return kExitFailed;
  }
}
