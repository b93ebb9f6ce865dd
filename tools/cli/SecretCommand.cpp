// secret encrypt: standard input to the stored (encrypted) form.

#include <ostream>
#include <string>

#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "tools/cli/CliCommand.h"

namespace tqcli {

int EncryptSecret(const Console& console) {
  Failure failure{kExitFailed, ""};
  std::string secret;
  StringWipeGuard wipeSecret(secret);
  if (!ReadSecret(console.in, "the secret", false, secret, failure)) {
    return console.Fail(failure);
  }
  std::string stored;
  const CKoError st = TQPassword().Encrypt(secret, stored);
  if (st.IsError()) {
    return console.Fail({kExitFailed, st.GetMessage()});
  }
  console.out << stored << "\n";
  return kExitOk;
}

}  // namespace tqcli
