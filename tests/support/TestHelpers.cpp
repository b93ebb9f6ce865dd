#include "tests/support/TestHelpers.h"

#include <gtest/gtest.h>

#include "tests/support/TestPki.h"
#include "tools/idp/IdpServer.h"
#include "util/Base64Codec.h"

namespace tqtest {

std::string Base64Of(const std::string& bytes) {
  return Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                      static_cast<int>(bytes.size()));
}

std::unique_ptr<tqidp::IdpServer> StartTestEndpoint(
    const std::string& secret, const std::string& certificatePem) {
  tqidp::IdpOptions options;
  options.certFile = SharedPki().server().certFile;
  options.keyFile = SharedPki().server().keyFile;
  auto idp = std::make_unique<tqidp::IdpServer>(options);
  idp->AddApplication({"tenant-1", "client-1", secret, ""});
  idp->AddApplication({"tenant-1", "client-2", "", certificatePem});
  std::string error;
  if (!idp->Start(error)) {
    ADD_FAILURE() << "the token endpoint does not start: " << error;
    return nullptr;
  }
  return idp;
}

void StartLine::ArriveAndWait() {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (--m_waiting == 0) {
    m_cv.notify_all();
  }
  m_cv.wait(lock, [this] { return m_waiting == 0; });
}

}  // namespace tqtest
