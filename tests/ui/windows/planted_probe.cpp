// planted_probe NAME...: loads each DLL by its name alone, as a program
// that leaves the search to Windows does (the program's folder first), so
// that planted_dlls.sh sees that its planted DLLs are found and marked
// where nothing guards against them. Status 0 when each one loaded.
#include "hid/windows/win32.h"

#include <string>

int main(int argc, char** argv) {
  int status = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string name = argv[i];
    if (::LoadLibraryW(std::wstring(name.begin(), name.end()).c_str()) == nullptr) status = 1;
  }
  return status;
}
