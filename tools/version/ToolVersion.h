#pragma once

#include <string>

// ToolVersionText: what `<program> --version` prints, one item a line and
// no line break at the end: "<program> <version of this build>", then
// `libraries` (lines naming other libraries the program uses, as loaded at
// run time; may be empty), then the OpenSSL loaded at run time, e.g.
// "OpenSSL 3.0.11 19 Sep 2023".
// Tests: tests/CMakeLists.txt (tools_version_*)
std::string ToolVersionText(const std::string& program,
                            const std::string& libraries);
