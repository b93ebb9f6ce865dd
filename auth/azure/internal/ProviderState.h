#pragma once

#include <mutex>
#include <string>

#include "auth/azure/internal/ClientAssertion.h"
#include "internal/cache/TokenCache.h"

class TQCloudAuthAzureLib;

namespace TQCloudAuth {

// What an Azure provider keeps beside its parameters: its tokens and how it
// signs. Shared by the threads that use the provider.
struct AzureProviderState {
  TokenCache cache;

  // [Azure] AssertionAlgorithm as read at Init; an unusable value fails each
  // request that needs an assertion (the text kept to name it).
  bool algorithmValid = true;
  AssertionAlgorithm algorithm = AssertionAlgorithm::kRs256;
  std::string algorithmText;

  // The certificate's SHA-256 thumbprint (bytes), made at the first PS256
  // signature (a PKCS#12 file opens only with the password).
  std::mutex thumbprintMutex;
  std::string sha256Thumbprint;
};

}  // namespace TQCloudAuth

// What tests and the library's own code reach of a provider.
class AzureProviderAccess {
 public:
  static TQCloudAuth::TokenCache& Cache(TQCloudAuthAzureLib& lib);

  // RequestToken: one token request for scope; out filled on success.
  static CKoError RequestToken(TQCloudAuthAzureLib& lib,
                               const std::string& scope,
                               TQCloudAuth::FetchedToken& out);

 private:
  // The certificate's SHA-256 thumbprint (bytes), made once.
  static CKoError Sha256Thumbprint(TQCloudAuthAzureLib& lib,
                                   const std::string& password,
                                   std::string& outThumbprint);
};
