// What people read of a failed open of the unit (OpenFailure, in
// hid/ApiDeclarations.h): its log line, the one sentence every front end
// shows, and its reason alone, for listings.
#pragma once

#include <string>

#include "hid/ApiDeclarations.h"

namespace tovrix {

// The reason of a unit that another update holds.
inline constexpr const char* kClaimedReason = "another update is using it";

// The reason alone: kClaimedReason for a claimed unit, else the system's
// text, or "it cannot be opened" when the system gave none.
std::string OpenFailureReason(const OpenFailure& failure);

// The log line: "TovrixPro found at PATH, but another update is using it"
// for a claimed unit, else "TovrixPro found at PATH, but it cannot be
// opened: REASON" (without ": REASON" when the system gave no text). A
// device's name, where the platform tells one, follows the path in
// parentheses: "webhid:0 (TovrixPro)".
std::string OpenFailureText(const OpenFailure& failure);

}  // namespace tovrix
