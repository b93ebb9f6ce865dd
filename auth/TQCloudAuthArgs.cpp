#include "auth/TQCloudAuthArgs.h"

namespace TQCloudAuth {

CKoError BaseParams::initializeParams(const BaseArgs& args) {
  userName = args.userName;
  password = args.password;
  return CKoError::Success();
}

}  // namespace TQCloudAuth
