#pragma once

#include <memory>
#include <string>

#include "platform/CKoError.h"
#include "platform/TQExport.h"

class IniFile;

// TQPlatformInfo: the product's platform settings, "[group] name" entries of
// $TQ_HOME/tqcloudauth.ini, read once when the object is constructed.
// Tests: tests/platform/TQConfig_test.cpp
class TQ_EXPORT TQPlatformInfo {
 public:
  TQPlatformInfo();
  ~TQPlatformInfo();
  TQPlatformInfo(const TQPlatformInfo&) = delete;
  TQPlatformInfo& operator=(const TQPlatformInfo&) = delete;

  // Check: success when the file was read whole or is absent (no settings).
  // Otherwise what a request that depends on the settings must fail with:
  // TqHome's refusal of the file, or 774 "Failed to read configuration
  // file [<path>] at line <n>: <what>"; every lookup then finds nothing.
  CKoError Check() const;

  // Nonzero, and *value set, when the entry is present and a non-negative
  // decimal number; 0 otherwise with *value untouched.
  int getNumber(const char* group, const char* name, unsigned long* value);

  // The 32-bit form: reads through the 64-bit one into a local 0 and stores
  // the low 32 bits into *value only when that read succeeded.
  int getNumber(const char* group, const char* name, unsigned int* value);

  // True and the text when the entry is present.
  bool getString(const char* group, const char* name, std::string& value);

 private:
  std::shared_ptr<const IniFile> m_ini;  // never null
  CKoError m_status;
};
