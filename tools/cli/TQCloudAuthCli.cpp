#include "tools/cli/TQCloudAuthCli.h"

#include <curl/curl.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <istream>
#include <ostream>
#include <string>

#include "platform/EvEvent.h"
#include "platform/internal/TqHome.h"
#include "tools/cli/CliCommand.h"
#include "tools/cli/Doctor.h"
#include "tools/version/ToolVersion.h"

namespace tqcli {
namespace {

// The command line, read into the options of the subcommands.
class Cli {
 public:
  explicit Cli(Console& console) : m_console(console) {}

  int Run(int argc, const char* const* argv);

 private:
  Console& m_console;
  CredentialTarget m_target;
  AddOptions m_add;
  TokenOptions m_token;
  DoctorOptions m_doctor;
  bool m_listJson = false;
};

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
  app.add_flag("-v,--verbose", m_console.verbose,
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
    cmd->add_option("--assoc-id", m_target.assocId,
                    "the credential's association id")
        ->required()
        ->check(notEmpty);
    cmd->add_option("--entity", m_target.entity, "the entity (default 0)")
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
  list->add_flag("--json", m_listJson,
                 "a JSON array, with both thumbprints of each certificate");
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

  CLI::App* doctor = AddDoctorCommand(app, m_doctor);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    m_console.out << app.help();
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    m_console.out << e.what() << "\n";
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    m_console.err << "tqcloudauth: " << e.what()
                  << "\nRun with --help for usage.\n";
    return kExitUsage;
  }
  if (m_console.verbose) {
    EvDebug::SetDestinationOverride(EvLogDestination::Stderr);
    EvDebug::SetThresholdOverride(EvDebug::kDetail);
  }
  // doctor reports an unsafe home instead of stopping at it.
  if (doctor->parsed()) {
    return RunDoctor(m_console, m_doctor);
  }
  // Nothing is read from or written to a home that is not the user's own
  // and private.
  const CKoError home = TqHome().Check();
  if (home.IsError()) {
    return m_console.Fail({kExitFailed, home.GetMessage()});
  }
  if (add->parsed()) {
    return AddCredential(m_console, m_target, m_add);
  }
  if (list->parsed()) {
    return ListCredentials(m_console, m_listJson);
  }
  if (remove->parsed()) {
    return RemoveCredential(m_console, m_target);
  }
  if (token->parsed()) {
    return GetToken(m_console, m_target, m_token);
  }
  if (encrypt->parsed()) {
    return EncryptSecret(m_console);
  }
  m_console.err << app.help();
  return kExitUsage;
}

}  // namespace
}  // namespace tqcli

int RunTQCloudAuthCli(int argc, const char* const* argv, std::istream& in,
                      std::ostream& out, std::ostream& err) {
  tqcli::Console console{in, out, err};
  tqcli::Cli cli(console);
  try {
    return cli.Run(argc, argv);
  } catch (const std::exception&) {
    // Its text might quote stored data: not shown.
    err << "tqcloudauth: the operation failed unexpectedly\n";
    return tqcli::kExitFailed;
  }
}
