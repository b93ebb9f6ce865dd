// secret encrypt: standard input to the stored (encrypted) form.

#include <ostream>
#include <string>

#include "platform/SecureMemory.h"
#include "platform/TQPassword.h"
#include "platform/internal/TqHome.h"
#include "tools/cli/CliCommand.h"

namespace tqcli {

int EncryptSecret(const Console& console) {
  Failure failure{kExitFailed, ""};
  std::string secret;
  StringWipeGuard wipeSecret(secret);
  if (!ReadSecret(console.in, "the secret", false, secret, failure)) {
    return console.Fail(failure);
  }
  TQPassword passwords;
  std::string stored;
  if (!passwords.encrypt(secret, stored)) {
    return console.Fail(
        {kExitFailed, "cannot encrypt: is " + TqHome().Path() + " writable?"});
  }
  console.out << stored << "\n";
  return kExitOk;
}

}  // namespace tqcli
