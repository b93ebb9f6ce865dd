#include <sys/prctl.h>

#include <iostream>

#include "tools/cli/TQCloudAuthCli.h"

int main(int argc, char** argv) {
  // The process holds decrypted secrets and tokens: no core file, and no
  // other process of the user may read its memory. Before anything is read.
  if (::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) {
    std::cerr << "tqcloudauth: cannot protect the process memory\n";
    return 1;
  }
  return RunTQCloudAuthCli(argc, argv, std::cin, std::cout, std::cerr);
}
