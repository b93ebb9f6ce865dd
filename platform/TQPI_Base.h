#pragma once

#include <string>

#include "platform/TQExport.h"

// TQPI_Base: the product's platform information. The home directory is the
// environment variable TQ_HOME when set and not empty, otherwise
// "<user home>/.tqcloudauth". Everything the library reads or writes lives
// under it.
// Tests: tests/platform/TQConfig_test.cpp
class TQ_EXPORT TQPI_Base {
 public:
  TQPI_Base();

  // NUL-terminated; valid while this object lives.
  const char* getHomeDirectory() const noexcept { return m_home.c_str(); }

  // The configuration file, "<home>/tqcloudauth.ini".
  std::string getConfigFile() const { return m_home + "/tqcloudauth.ini"; }

 private:
  std::string m_home;
};
