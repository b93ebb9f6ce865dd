#pragma once

#include "platform/TQLibCurl.h"

struct ConfigSnapshot;
class IniFile;

// What the library's own code may do with a TQLibCurl beyond its interface.
// Tests: tests/platform/TQLibCurl_test.cpp
class TQLibCurlAccess {
 public:
  // Init: TQLibCurlInit with the settings of config, read once by the
  // caller, instead of reading the configuration file again. False, as
  // TQLibCurlInit, when config's status is a failure (every send then fails
  // with it, its reason kept).
  static bool Init(TQLibCurl& client, const ConfigSnapshot& config,
                   const char* acceptType, bool keepAlive, bool failOnHttpError,
                   TQLibCurlWriteCallback writeCallback);

  // The client's debug log, made on first use.
  static EvEvent& Log(const TQLibCurl& client);

 private:
  static bool Configure(TQLibCurl& client, const IniFile& config,
                        const char* acceptType, bool keepAlive,
                        bool failOnHttpError,
                        TQLibCurlWriteCallback writeCallback);
};
