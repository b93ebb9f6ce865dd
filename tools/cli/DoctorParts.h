#pragma once

#include <sys/types.h>

#include <ostream>
#include <string>

#include "internal/text/Redact.h"
#include "platform/SecureMemory.h"
#include "platform/internal/ProxySettings.h"
#include "platform/internal/StoreSettings.h"
#include "platform/internal/TqHome.h"
#include "tools/cli/Doctor.h"

// The parts the doctor's checks share: its report, the configuration as it
// reads it, and the fixes it names for a failure.
namespace tqcli {
namespace doctor {

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

using Proxy = ProxySettings;

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
  std::string useProxy;  // as written, for the report
  // [TokenCache] Shared and [Database] Url, as the library reads them.
  StoreSettings stores;
  bool assertionAlgorithmSet = false;
  std::string assertionAlgorithm;  // as written
  Proxy proxy;
};

// Octal: a file mode as four octal digits.
std::string Octal(mode_t mode);
// ReadConfig: tqcloudauth.ini as the library would read it, read-only.
void ReadConfig(const TqHome& home, Config& config);
// CaSource: which CA store verifies the login endpoint, for people.
std::string CaSource(const Config& config);
// DoctorCommandLine: the doctor command that checks target.
std::string DoctorCommandLine(const CredentialTarget& target);
// FixFor: what to do about a failure, by its reason; "" when the reason has
// no fix to name. proxy: the proxy in use, null without one.
std::string FixFor(const CKoError& failure, const CredentialTarget& target,
                   const TqHome& home, const Config& config,
                   const Proxy* proxy);
// CheckCredential: the checks of the stored credential options names, its
// login endpoint and (with a scope) a token request.
void CheckCredential(const DoctorOptions& options, const TqHome& home,
                     bool homeExists, bool homePrivate, const Config& config,
                     Report& report);

}  // namespace doctor
}  // namespace tqcli
