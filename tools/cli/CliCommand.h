#pragma once

#include <iosfwd>
#include <string>

class CredentialMgrHelper;

// The subcommands of the tqcloudauth command and what they share.
// tools/cli/TQCloudAuthCli.cpp reads the command line and runs one of them.
// Tests: tests/tools/TQCloudAuthCli_test.cpp, tests/tools/CliBadInput_test.cpp
namespace tqcli {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// EX_TEMPFAIL of sysexits.h: the same command may succeed later (the
// endpoint throttled, timed out, failed, or could not be reached).
constexpr int kExitTemporary = 75;

// A failure to report: exit status 1 (or 2 for usage) and a message.
struct Failure {
  int status;
  std::string message;
};

// Where a subcommand reads secrets and writes its results and messages.
struct Console {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool verbose = false;

  // Fail: writes "tqcloudauth: <message>" to err, control characters
  // escaped (a message may quote what a server replied); returns the
  // failure's exit status.
  int Fail(const Failure& failure) const;
  // Warn: writes "tqcloudauth: warning: <problem>" to err, escaped likewise.
  void Warn(const std::string& problem) const;
};

// The stored credential a subcommand works on.
struct CredentialTarget {
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

// The subcommands; each returns the exit status.
int AddCredential(const Console& console, const CredentialTarget& target,
                  AddOptions options);
// ListCredentials: one tab-separated line per stored credential, or with
// json a JSON array that adds the certificates' SHA-1 and SHA-256
// thumbprints.
int ListCredentials(const Console& console, bool json);
int RemoveCredential(const Console& console, const CredentialTarget& target);
int GetToken(const Console& console, const CredentialTarget& target,
             const TokenOptions& options);
int EncryptSecret(const Console& console);

// ReadSecret: a secret from in: all of it, without one trailing line break
// ("\n" or "\r\n"). False with a usage failure when it is larger than 64 KiB,
// holds a NUL byte, or is empty and allowEmpty is false. The caller wipes
// outSecret; nothing else read is left unwiped.
bool ReadSecret(std::istream& in, const char* what, bool allowEmpty,
                std::string& outSecret, Failure& outFailure);

// StoredCertificateName: the certificate name of the credential stored at
// target, "" when there is none or it cannot be read.
std::string StoredCertificateName(CredentialMgrHelper& store,
                                  const CredentialTarget& target);

// ForgetStagedCertificate: removes the staged file of a certificate name no
// stored credential uses any more; a failure is a warning, the store being
// changed already.
void ForgetStagedCertificate(const Console& console, const std::string& name);

}  // namespace tqcli
