// tovrix-emulate: see tools/emulate/emulate.h.
#include <iostream>
#include <string>
#include <vector>

#include "tools/emulate/emulate.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = tovrix::headless::ParseEmulateOptions(args, error);
  if (!options) {
    std::cerr << "tovrix-emulate: " << error << '\n';
    return 2;
  }
  return tovrix::headless::RunEmulated(*options, std::cout);
}
