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
#include "auth/azure/internal/ClientAssertion.h"
#include "internal/crypto/RsaSigner.h"
#include "internal/net/CaStore.h"
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
#include "platform/internal/ConfigFile.h"
#include "platform/internal/PgStore.h"
#include "platform/internal/TqHome.h"
#include "tools/cli/CliText.h"
#include "tools/cli/Doctor.h"
#include "tools/cli/DoctorParts.h"
#include "util/Base64Codec.h"

namespace tqcli {
namespace doctor {

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

void ReadConfig(const TqHome& home, Config& config) {
  config.path = home.ConfigFile();
  const ConfigSnapshot snapshot = LoadConfig(home);
  if (!snapshot.present) {
    return;
  }
  if (snapshot.status.IsError()) {
    // The library then uses none of its settings.
    config.state =
        snapshot.status.GetReason() == TqFailureReason::kConfigInvalid
            ? Config::State::kUnparsed
            : Config::State::kRefused;
    config.problem = snapshot.status.GetMessage();
    return;
  }
  const IniFile& ini = *snapshot.ini;
  config.sections = ini.Sections();
  config.caFileSet = ini.Get("Http", "CAFile", config.caFile);
  ini.Get("GlobalParam", SENDLOGS_USE_HTTP_PROXY, config.useProxy);
  config.assertionAlgorithmSet =
      ini.Get(kAssertionAlgorithmSection, kAssertionAlgorithmKey,
              config.assertionAlgorithm);
  config.stores = ReadStoreSettings(snapshot);
  config.state = Config::State::kRead;
  // The proxy the library uses with --use-proxy-settings.
  DecideProxy(ini, config.proxy);
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

std::string FixFor(const CKoError& failure, const CredentialTarget& target,
                   const TqHome& home, const Config& config,
                   const Proxy* proxy) {
  const std::string id = std::to_string(target.assocId) + " (entity " +
                         std::to_string(target.entity) + ")";
  switch (failure.GetReason()) {
    case TqFailureReason::kNotStored:
      return "no credential " + id + " is stored under the home folder " +
             home.Path() + "; `tqcloudauth credential list` shows what is";
    case TqFailureReason::kStoreFailed:
      if (!config.stores.databaseUrl.empty()) {
        return "the credential store, " +
               PgDatabase::Of(config.stores.databaseUrl)->Name() +
               " ([Database] Url of " + config.path +
               "), cannot be used now (see above): check that it runs and "
               "that this host may reach it";
      }
      return "the credential store " + home.CredentialStore() +
             " cannot be read as it is (see above); restore it from a backup "
             "or move it away and add the credentials again";
    case TqFailureReason::kCredentialRejected: {
      const uint32_t code = failure.GetServiceCode();
      return "the login endpoint refused the client" +
             (code != 0 ? " (AADSTS" + std::to_string(code) + ")"
                        : std::string()) +
             ": the secret or certificate stored for credential " + id +
             " is not the one registered for the application; store the "
             "registered one with `tqcloudauth credential add --replace`";
    }
    case TqFailureReason::kTlsFailed:
      return "the login endpoint's certificate does not verify against " +
             CaSource(config) +
             ", or names another host: set [Http] CAFile in " + config.path +
             " to the CA that issued it";
    case TqFailureReason::kProxyFailed:
      if (proxy == nullptr) {
        return std::string();
      }
      return "the request went through the proxy " + proxy->Name() +
             " ([GlobalParam] of " + config.path +
             "): check that it runs and lets the login endpoint through";
    case TqFailureReason::kThrottled:
      return "the login endpoint asks to wait " +
             std::to_string(failure.GetRetryAfterSeconds()) +
             " s before the next request for this application; no request "
             "is sent until then, and cached tokens are still served";
    case TqFailureReason::kConfigInvalid:
      return "fix " + config.path + " as the message says";
    default:
      return std::string();
  }
}

}  // namespace doctor

namespace {

using namespace doctor;

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
  // The library clears the group and other bits of a log it writes to, and
  // writes to nothing else: a FIFO, a link or another user's file there
  // keeps it from logging.
  const std::string log = home.LogFile();
  struct stat logStatus {};
  const CKoError logChecked =
      home.CheckFileStatus(log, TqHome::FileKind::kLog, logStatus);
  if (logChecked.IsError() && !TqHome::IsMissing(logChecked)) {
    report.Fail("logs", logChecked.GetMessage() +
                            "; the library cannot write its log there");
    safe = false;
  } else if (::lstat(log.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
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

void CheckStore(const TqHome& home, bool homePrivate, const Config& config,
                Report& report) {
  if (config.stores.urlProblem.IsError()) {
    report.Fail("store", config.stores.urlProblem.GetMessage() +
                             ": credentials cannot be read until it is");
    return;
  }
  if (!config.stores.databaseUrl.empty()) {
    // The home keeps only the key the database's secrets are encrypted with.
    CredentialMgrHelper store;
    std::vector<StoredCredential> all;
    if (!store.listCredentials(all)) {
      report.Fail("store", store.lastError());
      return;
    }
    report.Ok("store", PgDatabase::Of(config.stores.databaseUrl)->Name() +
                           " ([Database] Url): " + std::to_string(all.size()) +
                           (all.size() == 1 ? " credential" : " credentials"));
    return;
  }
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

// Where tokens are shared, as [TokenCache] Shared says.
void CheckSharing(const TqHome& home, const Config& config, Report& report) {
  const StoreSettings& stores = config.stores;
  if (stores.sharingProblem.IsError()) {
    report.Fail("shared", stores.sharingProblem.GetMessage() +
                              ": every token request fails until it is");
    return;
  }
  switch (stores.sharing) {
    case TokenSharing::kOff:
      report.Ok("shared", "off: each process keeps its own tokens");
      return;
    case TokenSharing::kHome: {
      const std::string path = home.SharedTokenStore();
      const CKoError st = home.CheckFile(path, TqHome::FileKind::kSecret);
      if (st.IsError() && !TqHome::IsMissing(st)) {
        report.Warn("shared", st.GetMessage() +
                                  ": tokens are not shared until it is fixed");
        return;
      }
      report.Ok("shared",
                "by the processes of this home, in " + path +
                    (TqHome::IsMissing(st) ? " (made on first use)" : ""));
      return;
    }
    case TokenSharing::kDatabase:
      report.Ok("shared", "by every home on " +
                              PgDatabase::Of(stores.databaseUrl)->Name());
      return;
  }
}

}  // namespace

using namespace doctor;

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
    CheckStore(home, homePrivate, config, report);
    CheckSharing(home, config, report);
  }
  if (options.credential) {
    CheckCredential(options, home, homeExists, homePrivate, config, report);
  }
  return report.failed() ? kExitFailed : kExitOk;
}

std::string FailureHint(const CKoError& failure, const CredentialTarget& target,
                        bool useProxySettings) {
  const TqHome home(TqHome::Access::kReadOnly);
  Config config;
  ReadConfig(home, config);
  const Proxy* proxy =
      useProxySettings && config.proxy.on ? &config.proxy : nullptr;
  const std::string fix = FixFor(failure, target, home, config, proxy);
  if (fix.empty()) {
    return fix;
  }
  return fix + "; run `" + DoctorCommandLine(target) + "`";
}

void PrintHint(const Console& console, const CKoError& failure,
               const CredentialTarget& target, bool useProxySettings) {
  const std::string hint = FailureHint(failure, target, useProxySettings);
  if (!hint.empty()) {
    console.err << "tqcloudauth: hint: "
                << EscapeControls(hint, LineBreaks::kEscape) << "\n";
  }
}

}  // namespace tqcli
