// A DLL planted beside the programs by their test of the DLL search
// (planted_dlls.sh), built as hid.dll and as bcrypt.dll: whatever loads
// it, it leaves a mark, an empty file of its own name with ".loaded" added,
// beside itself. It has none of the functions of the DLL it stands for.
#include "hid/windows/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t path[MAX_PATH + 16] = {};
  const DWORD length = ::GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  ::lstrcatW(path, L".loaded");
  HANDLE mark = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) ::CloseHandle(mark);
  return TRUE;
}
