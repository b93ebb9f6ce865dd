// tq_token_client: a process of the product asking for tokens, for the
// tests of sharing between processes.
//   tq_token_client <association id> <scope>...
// One line per scope on standard output: "<scope> ok <source>" (source:
// endpoint, shared or cache) or "<scope> fail <reason>". Exit status 0 when
// every scope got a token.
#include <cstdlib>
#include <iostream>
#include <memory>

#include "auth/TQCloudAuthLib.h"
#include "auth/azure/TQCloudAuthAzureLib.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: tq_token_client <association id> <scope>...\n";
    return 2;
  }
  TQCloudAuthLib* raw = nullptr;
  CKoError st = TQCloudAuthLib::getTQCloudAuthLibInstance(std::atoi(argv[1]), 0,
                                                          false, raw);
  std::unique_ptr<TQCloudAuthLib> provider(raw);
  if (st.IsError()) {
    std::cout << "init fail " << TqFailureReasonName(st.GetReason()) << "\n";
    return 1;
  }
  const auto* azure = dynamic_cast<const TQCloudAuthAzureLib*>(provider.get());
  int failed = 0;
  for (int i = 2; i < argc; ++i) {
    TQCloudAuth::GetAuthTokenArgs args;
    args.azureArgs = std::make_unique<TQCloudAuth::GetAzureAuthTokenArgs>();
    args.azureArgs->scope = argv[i];
    TQCloudAuth::GetAuthTokenRet token;
    st = provider->getAuthToken(&args, &token);
    std::cout << argv[i];
    if (st.IsError()) {
      std::cout << " fail " << TqFailureReasonName(st.GetReason()) << "\n";
      ++failed;
      continue;
    }
    const TQCloudAuth::AzureCounters c = azure->getCounters();
    std::cout << " ok "
              << (c.lastCallFromCache    ? "cache"
                  : c.lastCallFromShared ? "shared"
                                         : "endpoint")
              << "\n";
  }
  return failed == 0 ? 0 : 1;
}
