#include <iostream>

#include "tools/cli/TQCloudAuthCli.h"

int main(int argc, char** argv) {
  return RunTQCloudAuthCli(argc, argv, std::cin, std::cout, std::cerr);
}
