// The DLLs of Windows that the programs call and that are not among
// Windows' KnownDLLs (hid.dll; bcrypt.dll for tovrix-flash's SHA-256):
// loaded from the system folder (System32) only, never from the program's
// own folder or the current one, where whoever could leave a file (a page
// in a download folder) could have left a DLL of that name. Their
// functions are taken by name (GetProcAddress): no program imports them.
#pragma once

#include <optional>
#include <string>

#include "hid/platform.h"
#include "hid/windows/win32.h"

namespace tovrix::windows_hid {

// Makes the system folder the only place this process loads DLLs from by
// name (SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)), also the
// DLLs that Windows loads later on the program's behalf. The first thing
// each program does. False where Windows lacks the call (Windows 7 without
// its update KB2533623), which SystemLibrary then makes up for.
bool LoadDllsFromSystemFolderOnly();

// Windows' text for an error, without its line end ("error N" when it has
// none).
std::string ErrorText(DWORD error);

// One DLL of the system folder, loaded while the object lives.
class SystemLibrary {
 public:
  // Loads name ("hid.dll") with LOAD_LIBRARY_SEARCH_SYSTEM32; where Windows
  // does not know that flag (ERROR_INVALID_PARAMETER), by its full path in
  // the system folder.
  explicit SystemLibrary(const std::string& name);
  ~SystemLibrary();
  SystemLibrary(const SystemLibrary&) = delete;
  SystemLibrary& operator=(const SystemLibrary&) = delete;

  // The function called name, as pointer; null when the library did not
  // load or has no such function (the first such failure is kept).
  template <typename Function>
  void Take(Function*& pointer, const char* function) {
    // Through void(*)(), the one function type a cast from FARPROC may
    // pass through without a warning.
    pointer = reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(Address(function)));
  }

  // The load's failure, or else the first function found missing; empty
  // when the library and every function taken are there.
  const std::optional<SystemLibraryFailure>& Failure() const { return failure_; }

 private:
  FARPROC Address(const char* function);

  std::string name_;
  HMODULE module_ = nullptr;
  std::optional<SystemLibraryFailure> failure_;
};

}  // namespace tovrix::windows_hid
