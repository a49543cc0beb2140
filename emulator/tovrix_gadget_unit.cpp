// tovrix-gadget-unit: see emulator/gadget_unit.h.
#include <iostream>
#include <string>
#include <vector>

#include "emulator/gadget_unit.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string error;
  const auto options = tovrix::emu::ParseGadgetUnitOptions(args, error);
  if (!options) {
    std::cerr << "tovrix-gadget-unit: " << error << '\n';
    return 2;
  }
  return tovrix::emu::RunGadgetUnit(*options);
}
