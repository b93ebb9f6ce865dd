#pragma once

#include <string>

#include "platform/TQExport.h"

// TQPI_Base: the product's platform information. The home directory is the
// environment variable TQ_HOME when set and not empty, otherwise
// "<user home>/.tqcloudauth", the user home being HOME or else the password
// database's; empty when there is none of these (never a shared temporary
// folder). Everything the library reads or writes lives under it; TqHome
// names the paths there and checks them.
// Tests: tests/platform/TQConfig_test.cpp
class TQ_EXPORT TQPI_Base {
 public:
  TQPI_Base();

  // NUL-terminated; valid while this object lives.
  const char* getHomeDirectory() const noexcept { return m_home.c_str(); }

 private:
  std::string m_home;
};
