#pragma once

#include <string>
#include <vector>

namespace tqtest {

// What one run of the tqcloudauth command gave.
struct CliResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the command in-process with args (the program name is added) and
// input as its standard input; clears the log overrides --verbose sets.
CliResult RunCli(const std::vector<std::string>& args,
                 const std::string& input = "");

}  // namespace tqtest
