// get_token: an access token for a stored credential, the way a component
// of the product asks for one.
//   get_token <association id> <scope>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "auth/TQCloudAuthLib.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: get_token <association id> <scope>\n";
    return 2;
  }
  const int assocId = std::atoi(argv[1]);

  TQCloudAuthLib* raw = nullptr;
  CKoError st = TQCloudAuthLib::getTQCloudAuthLibInstance(
      assocId, /*entity=*/0, /*useDBProxySettings=*/true, raw);
  std::unique_ptr<TQCloudAuthLib> provider(raw);  // ours even when Init failed
  if (st.IsError()) {
    std::cerr << st.ToString() << "\n";
    return 1;
  }

  TQCloudAuth::GetAuthTokenArgs args;
  args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
  args.azureArgs->scope = argv[2];
  TQCloudAuth::GetAuthTokenRet token;
  st = provider->getAuthToken(&args, &token);  // cached while 240 s remain
  if (st.IsError()) {
    std::cerr << st.ToString() << "\n";
    return 1;
  }
  std::cout << token.tokenType << " token, expires at " << token.expireTime
            << " (" << token.accessToken.size() << " characters)\n";
  return 0;
}
