// The libraries of the system folder: what loads, what is missing, and
// what the user is told of each failure.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hid/platform.h"
#include "hid/windows/system_library.h"
#include "hid/windows/win32_hid_calls.h"

namespace tovrix::windows_hid {
namespace {

using Kind = SystemLibraryFailure::Kind;

struct LibraryCase {
  const char* library;
  std::vector<const char*> functions;  // taken in this order
  std::optional<Kind> failure;
  std::string text;  // what the user is told, up to the system's reason
};

TEST(SystemLibrary, LoadsFromTheSystemFolderAndKeepsTheFirstFailure) {
  const std::vector<LibraryCase> cases = {
      {"hid.dll", {"HidD_GetHidGuid", "HidP_GetCaps"}, std::nullopt, ""},
      {"bcrypt.dll", {"BCryptOpenAlgorithmProvider", "BCryptHash"}, std::nullopt, ""},
      {"hid.dll", {"HidD_GetHidGuid", "HidD_NoSuchCall", "HidD_NorThisOne"}, Kind::FunctionMissing,
       "hid.dll of the system folder has no function HidD_NoSuchCall"},
      // Nothing of that name in the system folder: nowhere else is looked at.
      {"tovrix-no-such-library.dll", {"HidD_GetHidGuid"}, Kind::NotLoaded,
       "tovrix-no-such-library.dll cannot be loaded from the system folder: "},
  };
  for (const LibraryCase& c : cases) {
    SCOPED_TRACE(c.library);
    SystemLibrary library(c.library);
    int taken = 0;
    for (const char* function : c.functions) {
      void (*pointer)() = nullptr;
      library.Take(pointer, function);
      taken += pointer != nullptr;
    }
    if (!c.failure) {
      EXPECT_FALSE(library.Failure()) << SystemLibraryFailureText(*library.Failure());
      EXPECT_EQ(taken, static_cast<int>(c.functions.size()));
      continue;
    }
    ASSERT_TRUE(library.Failure());
    EXPECT_EQ(library.Failure()->kind, *c.failure);
    const std::string text = SystemLibraryFailureText(*library.Failure());
    EXPECT_EQ(text.substr(0, c.text.size()), c.text);
    // The system's reason follows, in its own words.
    if (*c.failure == Kind::NotLoaded) {
      EXPECT_GT(text.size(), c.text.size());
    }
  }
}

TEST(SystemLibrary, TheHidCallsLoadWhereHidDllServes) {
  std::optional<SystemLibraryFailure> failure;
  const std::unique_ptr<Win32HidCalls> calls = LoadSystemWin32HidCalls(failure);
  ASSERT_NE(calls, nullptr) << SystemLibraryFailureText(*failure);
  EXPECT_FALSE(PlatformHidFailure());
  GUID hid{};
  calls->HidD_GetHidGuid(&hid);
  // The HID interface class, {4D1E55B2-F16F-11CF-88CB-001111000030}.
  EXPECT_EQ(hid.Data1, 0x4D1E55B2u);
}

}  // namespace
}  // namespace tovrix::windows_hid
