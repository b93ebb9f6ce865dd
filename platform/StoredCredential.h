#pragma once

#include <string>

#include "platform/TQExport.h"

// One stored credential, as the credential store keeps it: the password is
// the stored (encrypted) form, additionalInfo the serialized
// App::AdditionalCredInfo.
struct TQ_EXPORT StoredCredential {
  int assocId = 0;
  int entity = 0;
  int credentialType = 0;
  std::string userName;
  std::string password;
  std::string additionalInfo;
  int other = 0;
};
