#pragma once

#include <iosfwd>

// RunTQCloudAuthCli: the `tqcloudauth` command. Secrets come from `in` only,
// results go to `out`, messages to `err`. Returns the exit status: 0 done,
// 1 the operation failed, 2 the command line is wrong.
// Tests: tests/tools/TQCloudAuthCli_test.cpp
int RunTQCloudAuthCli(int argc, const char* const* argv, std::istream& in,
                      std::ostream& out, std::ostream& err);
