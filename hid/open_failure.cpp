#include "hid/open_failure.h"

namespace tovrix {

std::string OpenFailureReason(const OpenFailure& failure) {
  if (failure.kind == OpenFailure::Kind::Claimed) return kClaimedReason;
  return failure.reason.empty() ? "it cannot be opened" : failure.reason;
}

std::string OpenFailureText(const OpenFailure& failure) {
  std::string where = failure.path;
  if (!failure.name.empty()) where += " (" + failure.name + ")";
  std::string but = failure.kind == OpenFailure::Kind::Claimed ? kClaimedReason : "it cannot be opened";
  if (failure.kind != OpenFailure::Kind::Claimed && !failure.reason.empty()) but += ": " + failure.reason;
  return "TovrixPro found at " + where + ", but " + but;
}

}  // namespace tovrix
