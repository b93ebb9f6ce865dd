// doctor: read-only checks of the home, the configuration and a stored
// credential; and the hints other subcommands add to a failure.

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
#include "internal/CaStore.h"
#include "internal/Handles.h"
#include "internal/IniFile.h"
#include "internal/Redact.h"
#include "internal/RsaSigner.h"
#include "platform/AzureCredentialRecord.h"
#include "platform/CredentialMgrHelper.h"
#include "platform/EvEvent.h"
#include "platform/SecureMemory.h"
#include "platform/TQGlobalParam.h"
#include "platform/TQLibCurl.h"
#include "platform/TQPassword.h"
#include "platform/TqHome.h"
#include "platform/auto_handle.h"
#include "tools/cli/CliText.h"
#include "tools/cli/Doctor.h"
#include "util/Base64Codec.h"

namespace tqcli {
namespace {

namespace Record = AzureCredentialRecord;

constexpr long kMaxStagedBytes = 1024 * 1024;

// One line per check.
class Report {
 public:
  explicit Report(std::ostream& out) : m_out(out) {}
  void Ok(const char* check, const std::string& text) {
    Line("ok  ", check, text);
  }
  void Warn(const char* check, const std::string& text) {
    Line("warn", check, text);
  }
  void Fail(const char* check, const std::string& text) {
    m_failed = true;
    Line("FAIL", check, text);
  }
  bool failed() const { return m_failed; }

 private:
  void Line(const char* level, const char* check, const std::string& text) {
    m_out << level << ' ' << check << ": "
          << EscapeControls(text, LineBreaks::kEscape) << '\n';
  }
  std::ostream& m_out;
  bool m_failed = false;
};

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// A whole decimal number that fits an int, as TQGlobalParam reads one.
bool ParseInt(const std::string& text, int& out) {
  if (text.empty()) {
    return false;
  }
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) {
    return false;
  }
  out = static_cast<int>(value);
  return true;
}

// The proxy the library uses with --use-proxy-settings, decided from
// [GlobalParam] as the library decides it.
struct Proxy {
  bool on = false;
  bool authenticate = false;
  std::string site;
  std::string port;
  std::string user;
  std::string password;
  Proxy() = default;
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;
  ~Proxy() { WipeString(password); }
  std::string Name() const { return site + ":" + port; }
};

// What tqcloudauth.ini sets, read through the home's checks without
// changing anything. Values other than the ones below are not kept.
struct Config {
  enum class State { kAbsent, kRefused, kUnparsed, kRead };
  State state = State::kAbsent;
  std::string path;
  std::string problem;  // kRefused, kUnparsed
  std::vector<std::pair<std::string, std::vector<std::string>>> sections;
  bool caFileSet = false;
  std::string caFile;
  std::string useProxy;
  std::string useAuthentication;
  Proxy proxy;
};

void ReadConfig(const TqHome& home, Config& config) {
  config.path = home.ConfigFile();
  auto_handle file;
  const CKoError st =
      home.OpenFile(config.path, TqHome::FileKind::kConfig, O_RDONLY, 0, file);
  if (st.IsError()) {
    if (!TqHome::IsMissing(st)) {
      config.state = Config::State::kRefused;
      config.problem = st.GetMessage();
    }
    return;
  }
  const IniFile ini(file.get(), config.path);
  if (!ini.Ok()) {
    // The library then uses none of its settings.
    config.state = Config::State::kUnparsed;
    config.problem = ini.Error();
    return;
  }
  config.sections = ini.Sections();
  config.caFileSet = ini.Get("Http", "CAFile", config.caFile);
  Proxy& proxy = config.proxy;
  ini.Get("GlobalParam", SENDLOGS_USE_HTTP_PROXY, config.useProxy);
  ini.Get("GlobalParam", SENDLOGS_HTTP_PROXY_SITE, proxy.site);
  ini.Get("GlobalParam", SENDLOGS_HTTP_PROXY_PORT, proxy.port);
  ini.Get("GlobalParam", HUBMASTER_USE_PROXY_AUTHENTICATION,
          config.useAuthentication);
  ini.Get("GlobalParam", SENDLOGS_HTTP_PROXY_USER, proxy.user);
  ini.Get("GlobalParam", SENDLOGS_HTTP_PROXY_PASSWORD, proxy.password);
  config.state = Config::State::kRead;
  int enabled = 0;
  Proxy& p = config.proxy;
  p.on = ParseInt(config.useProxy, enabled) && enabled > 0 && !p.site.empty() &&
         !p.port.empty() && p.site != "0.0.0.0";
  int authenticate = 0;
  p.authenticate = p.on && ParseInt(config.useAuthentication, authenticate) &&
                   authenticate > 0 && !p.user.empty() && !p.password.empty();
}

std::string CaSource(const Config& config) {
  if (config.caFileSet) {
    return "[Http] CAFile " + config.caFile;
  }
  const std::string& bundle = CaStore::SystemBundle();
  return "the system store" + (bundle.empty() ? "" : " " + bundle) +
         " ([Http] CAFile unset)";
}

std::string DoctorCommandLine(const CredentialTarget& target) {
  std::string line =
      "tqcloudauth doctor --assoc-id " + std::to_string(target.assocId);
  if (target.entity != 0) {
    line += " --entity " + std::to_string(target.entity);
  }
  return line;
}

// The libcurl code in the library's "Request failed with ErrorCode [N]"
// when N is one (HTTP statuses are 100 and above); -1 otherwise.
long TransportCode(const std::string& message) {
  static const char kCode[] = "ErrorCode [";
  const size_t at = message.find(kCode);
  if (at == std::string::npos) {
    return -1;
  }
  const long code =
      std::strtol(message.c_str() + at + sizeof kCode - 1, nullptr, 10);
  return code > 0 && code < 100 ? code : -1;
}

bool IsUntrusted(long code, const std::string& text) {
  return code == CURLE_PEER_FAILED_VERIFICATION ||
         code == CURLE_SSL_CACERT_BADFILE ||
         text.find("SSL certificate problem") != std::string::npos ||
         text.find("certificate subject name") != std::string::npos;
}

bool IsProxyFailure(long code, const std::string& text) {
  return code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_COULDNT_CONNECT ||
         code == CURLE_RECV_ERROR || code == CURLE_PROXY ||
         text.find("proxy") != std::string::npos ||
         text.find("CONNECT") != std::string::npos;
}

// What to do about a failure message, "" when none of the known causes
// fits. proxy: the proxy in use, null without one.
std::string FixFor(const std::string& message, const CredentialTarget& target,
                   const TqHome& home, const Config& config,
                   const Proxy* proxy) {
  const std::string id = std::to_string(target.assocId) + " (entity " +
                         std::to_string(target.entity) + ")";
  if (message.find("Failed to get credential info from Hubmaster") !=
      std::string::npos) {
    return "no credential " + id + " is stored under the home folder " +
           home.Path() + "; `tqcloudauth credential list` shows what is";
  }
  if (message.find("invalid_client") != std::string::npos) {
    return "the login endpoint refused the client: the secret or certificate "
           "stored for credential " +
           id +
           " is not the one registered for the application; store the "
           "registered one with `tqcloudauth credential add --replace`";
  }
  const long code = TransportCode(message);
  if (code < 0) {
    return std::string();
  }
  if (IsUntrusted(code, message)) {
    return "the login endpoint's certificate does not verify against " +
           CaSource(config) + ", or names another host: set [Http] CAFile in " +
           config.path + " to the CA that issued it";
  }
  if (proxy != nullptr && IsProxyFailure(code, message)) {
    return "the request went through the proxy " + proxy->Name() +
           " ([GlobalParam] of " + config.path +
           "): check that it runs and lets the login endpoint through";
  }
  return std::string();
}

enum class HomeState {
  kMissing,  // nothing there yet
  kRefused,  // nothing in it is used
  kUsable,
};

// The folder checks of the home and its folders; *outPrivate when all of
// them are safe as they are, so that the library changes nothing in them.
HomeState CheckHome(const TqHome& home, Report& report, bool* outPrivate) {
  *outPrivate = false;
  if (home.Path().empty()) {
    report.Fail("home", home.CheckFolder(home.Path()).GetMessage());
    return HomeState::kRefused;
  }
  struct stat st {};
  if (::stat(home.Path().c_str(), &st) != 0) {
    if (errno == ENOENT) {
      report.Warn("home", home.Path() +
                              " does not exist yet; `tqcloudauth credential "
                              "add` creates it (mode 0700)");
    } else {
      report.Fail("home", "cannot use " + home.Path() + ": " +
                              std::strerror(errno) +
                              "; set TQ_HOME to a "
                              "folder of your own");
      return HomeState::kRefused;
    }
    return HomeState::kMissing;
  }
  bool safe = true;
  const struct {
    const char* check;
    std::string path;
  } folders[] = {{"home", home.Path()},
                 {"certificates", home.CertificatesFolder()},
                 {"logs", home.LogsFolder()}};
  for (const auto& folder : folders) {
    const bool isHome = folder.path == home.Path();
    if ((isHome ? ::stat(folder.path.c_str(), &st)
                : ::lstat(folder.path.c_str(), &st)) != 0) {
      continue;  // made when first needed
    }
    const CKoError checked = home.CheckFolder(folder.path);
    const std::string what = folder.path + " (owner uid " +
                             std::to_string(st.st_uid) + ", mode " +
                             Octal(st.st_mode) + ")";
    if (checked.IsError()) {
      report.Fail(folder.check, checked.GetMessage());
      if (isHome) {
        return HomeState::kRefused;  // every file in it would be refused
      }
      safe = false;
    } else if ((st.st_mode & 077) != 0) {
      report.Warn(folder.check, what + ": others may read it; run chmod 700 " +
                                    folder.path +
                                    " (the library does so when it uses it)");
      safe = false;
    } else {
      report.Ok(folder.check, what);
    }
  }
  // The library clears the group and other bits of a log it writes to.
  const std::string log = home.LogFile();
  if (::lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
      (st.st_mode & 077) != 0) {
    report.Warn("logs", log + " (mode " + Octal(st.st_mode) +
                            "): others may read it; run chmod 600 " + log +
                            " (the library does so when it writes to it)");
    safe = false;
  }
  *outPrivate = safe;
  return HomeState::kUsable;
}

void CheckConfig(const Config& config, bool useProxySettings, Report& report) {
  switch (config.state) {
    case Config::State::kAbsent:
      report.Ok("config", config.path +
                              " absent: defaults (no proxy, the system CA "
                              "store)");
      return;
    case Config::State::kRefused:
      report.Fail("config", config.problem);
      return;
    case Config::State::kUnparsed:
      report.Fail("config", config.problem +
                                ": none of its settings are used; fix that "
                                "line");
      return;
    case Config::State::kRead:
      break;
  }
  std::string sets;
  for (const auto& section : config.sections) {
    sets += sets.empty() ? "[" : "; [";
    sets += section.first + "]";
    for (size_t i = 0; i < section.second.size(); ++i) {
      sets += (i == 0 ? " " : ", ") + section.second[i];
    }
  }
  report.Ok("config",
            config.path + " read: " + (sets.empty() ? "no settings" : sets));
  const Proxy& p = config.proxy;
  if (p.on) {
    std::string text = "on: " + p.Name();
    if (p.authenticate) {
      text += ", user " + p.user;
    }
    text += useProxySettings ? "" : " (used with --use-proxy-settings)";
    report.Ok("proxy", text);
  } else if (!config.useProxy.empty() && config.useProxy != "0") {
    report.Warn("proxy", std::string("off: ") + SENDLOGS_USE_HTTP_PROXY +
                             " is set but " + SENDLOGS_HTTP_PROXY_SITE +
                             " and " + SENDLOGS_HTTP_PROXY_PORT +
                             " do not name a proxy");
  } else {
    report.Ok("proxy", "off");
  }
}

void CheckCa(const Config& config, Report& report) {
  const std::string path =
      config.caFileSet ? config.caFile : CaStore::SystemBundle();
  if (path.empty()) {
    report.Warn("ca",
                "[Http] CAFile is unset and no system CA bundle was "
                "found; set [Http] CAFile in " +
                    config.path);
    return;
  }
  std::shared_ptr<const CaStore> store;
  std::string problem;
  if (!CaStore::Get(path, store, problem)) {
    report.Fail("ca", problem + "; set [Http] CAFile in " + config.path +
                          " to a PEM file of CA certificates");
    return;
  }
  report.Ok("ca", (config.caFileSet ? "[Http] CAFile " + path
                                    : "the system store " + path) +
                      ": " + std::to_string(store->certificateCount()) +
                      (store->certificateCount() == 1 ? " certificate"
                                                      : " certificates"));
}

void CheckKey(const TqHome& home, Report& report) {
  const std::string path = home.KeyFile();
  auto_handle file;
  const CKoError st =
      home.OpenFile(path, TqHome::FileKind::kSecret, O_RDONLY, 0, file);
  if (TqHome::IsMissing(st)) {
    report.Warn("secret.key", path +
                                  " absent: `tqcloudauth credential add` "
                                  "makes it with the first secret");
    return;
  }
  struct stat info {};
  if (st.IsError() || ::fstat(file.get(), &info) != 0) {
    report.Fail("secret.key",
                st.IsError() ? st.GetMessage() : "cannot read " + path);
    return;
  }
  const std::string what = path + " (mode " + Octal(info.st_mode) + ", " +
                           std::to_string(info.st_size) + " bytes)";
  if (static_cast<size_t>(info.st_size) != TQPassword::kKeySize) {
    report.Fail("secret.key", what + ": not a key of " +
                                  std::to_string(TQPassword::kKeySize) +
                                  " bytes, stored secrets cannot be "
                                  "decrypted; move it away and add the "
                                  "credentials again");
    return;
  }
  report.Ok("secret.key", what);
}

void CheckStore(const TqHome& home, bool homePrivate, Report& report) {
  const std::string path = home.CredentialStore();
  std::vector<std::string> files = {path};
  for (const std::string& companion : home.CredentialStoreCompanions()) {
    files.push_back(companion);
  }
  for (const std::string& file : files) {
    const CKoError st = home.CheckFile(file, TqHome::FileKind::kSecret);
    if (st.IsError() && !TqHome::IsMissing(st)) {
      report.Fail("store", st.GetMessage());
      return;
    }
    if (file == path && TqHome::IsMissing(st)) {
      report.Warn("store", path + " absent: no credential stored yet");
      return;
    }
  }
  if (!homePrivate) {
    report.Warn("store", path +
                             " present; not opened until the home is "
                             "private (see above)");
    return;
  }
  CredentialMgrHelper store;
  std::vector<StoredCredential> all;
  if (!store.listCredentials(all)) {
    report.Fail("store", store.lastError());
    return;
  }
  report.Ok("store", path + ": " + std::to_string(all.size()) +
                         (all.size() == 1 ? " credential" : " credentials"));
}

// The certificate in a PEM or PKCS#12 file (the first of a PEM).
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

bool DecryptStored(const std::string& stored, std::string& outPlain) {
  SecretBuffer<TQPassword::kMaxSecretSize + 1> plain;
  unsigned long length = TQPassword::kMaxSecretSize;
  TQPassword passwords;
  if (!passwords.decrypt(stored.c_str(), plain.data(), &length)) {
    return false;
  }
  outPlain.assign(plain.c_str(), length);
  return true;
}

// The stored certificate, its password, the key in it and its staged copy.
// True when a token request would find the staged copy as it is.
bool CheckCertificate(const TqHome& home, App::AzureCredentialInfo& record,
                      const std::string& storedPassword, Report& report) {
  std::string bytes;
  StringWipeGuard wipeBytes(bytes);
  if (!base64Decode(Record::GetCertificateFile(record), bytes) ||
      bytes.empty()) {
    report.Fail("certificate",
                "the stored certificate is not Base64; add "
                "it again with `tqcloudauth credential add "
                "--replace`");
    return false;
  }
  std::string password;
  StringWipeGuard wipePassword(password);
  if (!storedPassword.empty() && !DecryptStored(storedPassword, password)) {
    report.Fail("certificate",
                "its password does not decrypt with " + home.KeyFile() +
                    ": the key is not the one it was stored with; add it "
                    "again with `tqcloudauth credential add --replace`");
    return false;
  }
  X509Ptr cert = ParseCertificate(bytes, password);
  if (!cert) {
    report.Fail("certificate",
                "the stored file holds no certificate (PEM, "
                "or PKCS#12 with its password); add it again");
    return false;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  X509_digest(cert.get(), EVP_sha1(), digest, &digestLength);
  const std::string thumbprint =
      HexEncode(digest, static_cast<int>(digestLength));
  const std::string recorded = Record::GetCertificateThumbprint(record);
  if (::strcasecmp(thumbprint.c_str(), recorded.c_str()) != 0) {
    report.Fail("certificate", "its thumbprint " + thumbprint +
                                   " is not the recorded one " + recorded +
                                   "; add it again");
    return false;
  }
  std::string problem;
  if (!CheckCertificateKey(bytes, password, problem)) {
    report.Fail("certificate", problem + "; add it again with its key");
    return false;
  }
  const std::string what = Subject(cert.get()) + ", thumbprint " + thumbprint;
  if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) < 0) {
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
  if (!IsPlainName(name)) {
    report.Fail("staged",
                "the certificate name is not a plain file name; "
                "add it again");
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
  std::string staged;
  StringWipeGuard wipeStaged(staged);
  char chunk[4096];
  ssize_t n = 0;
  while ((n = ::read(file.get(), chunk, sizeof chunk)) > 0 &&
         static_cast<long>(staged.size()) <= kMaxStagedBytes) {
    staged.append(chunk, static_cast<size_t>(n));
  }
  SecureWipe(chunk, sizeof chunk);
  if (staged != bytes) {
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
    if (err != 0) {
      report.Fail("endpoint", login + ": " + host + " does not resolve (" +
                                  ::gai_strerror(err) +
                                  "); check the name and the DNS settings");
      return;
    }
    ::freeaddrinfo(found);
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
  const std::string message = "Request failed with ErrorCode [" +
                              std::to_string(curl.GetHttpErrorCode()) +
                              "] Message [" +
                              std::string(text != nullptr ? text : "") + "]";
  const std::string fix = FixFor(message, target, home, config, proxy);
  report.Fail("tls", host + ":" + port + through + ": " + message +
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
    const std::string fix =
        FixFor(st.GetMessage(), target, home, config, proxy);
    report.Fail("token", st.GetMessage() + (fix.empty() ? "" : "; " + fix));
    return;
  }
  const long long now = static_cast<long long>(std::time(nullptr));
  report.Ok("token", ret.tokenType + " for " + options.scope + ", expires_on " +
                         std::to_string(ret.expireTime) + " (in " +
                         std::to_string(ret.expireTime - now) + " s)");
}

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
    report.Fail("credential", store.lastError());
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

}  // namespace

CLI::App* AddDoctorCommand(CLI::App& app, DoctorOptions& options) {
  CLI::App* doctor = app.add_subcommand(
      "doctor",
      "check the home folder, the configuration and (with --assoc-id) a "
      "stored credential, its login endpoint and a token request; changes "
      "nothing; exit status 1 when a check fails");
  // CLI11 reads an empty text as the number 0: refused, as it would name
  // another credential than the one meant.
  const CLI::Validator notEmpty(
      [](std::string& value) {
        return value.empty() ? std::string("an empty value is not a number")
                             : std::string();
      },
      "", "NOT_EMPTY");
  CLI::Option* assocId =
      doctor
          ->add_option("--assoc-id", options.target.assocId,
                       "also check this stored credential")
          ->check(notEmpty)
          ->each([&options](const std::string&) { options.credential = true; });
  doctor
      ->add_option("--entity", options.target.entity, "the entity (default 0)")
      ->check(notEmpty)
      ->needs(assocId);
  doctor
      ->add_flag("--use-proxy-settings", options.useProxySettings,
                 "reach the login endpoint through the proxy of "
                 "tqcloudauth.ini [GlobalParam]")
      ->needs(assocId);
  doctor
      ->add_option("--scope", options.scope,
                   "also request a token for this scope (its type and expiry "
                   "are shown, never the token)")
      ->needs(assocId);
  return doctor;
}

int RunDoctor(const Console& console, const DoctorOptions& options) {
  if (!options.scope.empty() && !IsPrintable(options.scope)) {
    return console.Fail({kExitUsage,
                         "--scope must be printable UTF-8 text of at most "
                         "8192 bytes"});
  }
  // The log lives under the home: nothing is logged unless asked for.
  if (!console.verbose) {
    EvDebug::SetThresholdOverride(0);
  }
  const TqHome home(TqHome::Access::kReadOnly);
  Report report(console.out);
  bool homePrivate = false;
  const HomeState state = CheckHome(home, report, &homePrivate);
  if (state == HomeState::kRefused) {
    if (options.credential) {
      report.Warn("credential", "not checked until the home is fixed");
    }
    return kExitFailed;
  }
  const bool homeExists = state == HomeState::kUsable;
  Config config;
  if (homeExists) {
    ReadConfig(home, config);
  } else {
    config.path = home.ConfigFile();
  }
  CheckConfig(config, options.useProxySettings, report);
  CheckCa(config, report);
  if (homeExists) {
    CheckKey(home, report);
    CheckStore(home, homePrivate, report);
  }
  if (options.credential) {
    CheckCredential(options, home, homeExists, homePrivate, config, report);
  }
  return report.failed() ? kExitFailed : kExitOk;
}

std::string FailureHint(const std::string& message,
                        const CredentialTarget& target, bool useProxySettings) {
  const TqHome home(TqHome::Access::kReadOnly);
  Config config;
  ReadConfig(home, config);
  const Proxy* proxy =
      useProxySettings && config.proxy.on ? &config.proxy : nullptr;
  const std::string fix = FixFor(message, target, home, config, proxy);
  if (fix.empty()) {
    return fix;
  }
  return fix + "; run `" + DoctorCommandLine(target) + "`";
}

void PrintHint(const Console& console, const std::string& message,
               const CredentialTarget& target, bool useProxySettings) {
  const std::string hint = FailureHint(message, target, useProxySettings);
  if (!hint.empty()) {
    console.err << "tqcloudauth: hint: "
                << EscapeControls(hint, LineBreaks::kEscape) << "\n";
  }
}

}  // namespace tqcli
