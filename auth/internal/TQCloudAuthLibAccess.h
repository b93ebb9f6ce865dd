#pragma once

#include "auth/TQCloudAuthLib.h"

struct ConfigSnapshot;

// What the library's own providers do with the library object beyond its
// interface.
// Tests: tests/auth/TQCloudAuthLibTransport_test.cpp
class TQCloudAuthLibAccess {
 public:
  // InitCurl: initCurlObject with the settings of config, read once by the
  // caller (a provider's Init) instead of reading the file again. Fails as
  // initCurlObject does: with config's own failure (its reason kept) when
  // the file could not be used.
  static CKoError InitCurl(TQCloudAuthLib& lib, const ConfigSnapshot& config);
};
