#include "hid/platform.h"

namespace tovrix {

std::string SystemLibraryFailureText(const SystemLibraryFailure& failure) {
  if (failure.kind == SystemLibraryFailure::Kind::FunctionMissing) {
    return failure.library + " of the system folder has no function " + failure.function;
  }
  return failure.library + " cannot be loaded from the system folder: " + failure.reason;
}

}  // namespace tovrix
