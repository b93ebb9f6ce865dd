#pragma once

#include "auth/TQCloudAuthLib.h"

namespace tqtest {

// The smallest concrete library object, with its state opened for tests.
class TestAuthLib : public TQCloudAuthLib {
 public:
  CKoError getAuthToken(const TQCloudAuth::GetAuthTokenArgs*,
                        TQCloudAuth::GetAuthTokenRet*) override {
    return FXErrorUtil::ErrorWin32(TQ_LOC, TQ_ERROR_GENERAL, "no provider");
  }
  using TQCloudAuthLib::curl;
  using TQCloudAuthLib::initialized;
  using TQCloudAuthLib::params;
  using TQCloudAuthLib::useDBProxySettings;
};

}  // namespace tqtest
