#pragma once

#include <string>

#include "platform/CKoError.h"
#include "tools/cli/CliCommand.h"

namespace CLI {
class App;
}

// tqcloudauth doctor, and the hints the other subcommands add to a failure:
// what is wrong with the home, the configuration or a stored credential,
// and what to do about it. Never prints a secret, key, assertion or token.
// Tests: tests/tools/Doctor_test.cpp
namespace tqcli {

struct DoctorOptions {
  bool credential = false;  // --assoc-id given
  CredentialTarget target;
  bool useProxySettings = false;
  std::string scope;
};

// AddDoctorCommand: the `doctor` subcommand of app, its options read into
// options.
CLI::App* AddDoctorCommand(CLI::App& app, DoctorOptions& options);

// RunDoctor: one line per check on out, "ok", "warn" or "FAIL", then the
// check and what it found (and, for a failure, what to do). Changes nothing
// under the home: a home that the library would tighten first is reported,
// and the credential is then not opened. 0 when no check failed, else 1.
int RunDoctor(const Console& console, const DoctorOptions& options);

// FailureHint: for a failure of the library, what to do about it by its
// reason, ending with "run `tqcloudauth doctor --assoc-id N`" (and --entity
// E when not 0); "" when the reason is none of: no such stored credential,
// a store that cannot be read, a certificate that does not verify or names
// another host, a proxy failure (useProxySettings with the proxy on), a
// client the endpoint refused, throttling, a configuration that cannot be
// used.
std::string FailureHint(const CKoError& failure, const CredentialTarget& target,
                        bool useProxySettings);

// PrintHint: "tqcloudauth: hint: <FailureHint>" on err when there is one.
void PrintHint(const Console& console, const CKoError& failure,
               const CredentialTarget& target, bool useProxySettings);

}  // namespace tqcli
