#include "tests/support/CliRunner.h"

#include <sstream>

#include "platform/EvEvent.h"
#include "tools/cli/TQCloudAuthCli.h"

namespace tqtest {

CliResult RunCli(const std::vector<std::string>& args,
                 const std::string& input) {
  std::vector<const char*> argv = {"tqcloudauth"};
  for (const std::string& a : args) {
    argv.push_back(a.c_str());
  }
  std::istringstream in(input);
  std::ostringstream out;
  std::ostringstream err;
  CliResult r;
  r.status = RunTQCloudAuthCli(static_cast<int>(argv.size()), argv.data(), in,
                               out, err);
  r.out = out.str();
  r.err = err.str();
  EvDebug::ClearOverrides();
  return r;
}

}  // namespace tqtest
