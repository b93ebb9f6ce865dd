#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/CKoError.h"
#include "platform/TQExport.h"

namespace TQCloudAuth {

// BaseArgs: what every provider is given. password is the credential's
// secret exactly as the credential store holds it (encrypted).
struct TQ_EXPORT BaseArgs {
  std::string userName;
  std::string password;
};

// BaseParams: what the library object keeps of its BaseArgs.
// Tests: tests/auth/TQCloudAuthLib_test.cpp
class TQ_EXPORT BaseParams {
 public:
  // Copies userName and password; always succeeds.
  CKoError initializeParams(const BaseArgs& args);
  std::string getPassword() const { return password; }
  std::string getUserName() const { return userName; }

 private:
  std::string userName;
  std::string password;
};

// The scope a token is requested for ("https://vault.azure.net/.default").
struct TQ_EXPORT GetAzureAuthTokenArgs {
  std::string scope;
};

// Input of getAuthToken; azureArgs must be set.
struct TQ_EXPORT GetAuthTokenArgs {
  std::unique_ptr<GetAzureAuthTokenArgs> azureArgs;
};

// Output of getAuthToken, filled only on success.
struct TQ_EXPORT GetAuthTokenRet {
  std::string accessToken;
  std::string tokenType;
  int64_t expireTime = 0;  // seconds since the epoch
};

}  // namespace TQCloudAuth
