#include "hid/windows/system_library.h"

#include <string>

namespace tovrix::windows_hid {
namespace {

std::wstring Wide(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

HMODULE LoadFromSystemFolder(const std::string& name) {
  HMODULE module = ::LoadLibraryExW(Wide(name).c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // A Windows without the search flags: the full path names the one file.
  wchar_t folder[MAX_PATH] = {};
  const UINT length = ::GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  const std::wstring path = std::wstring(folder, length) + L"\\" + Wide(name);
  return ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool LoadDllsFromSystemFolderOnly() {
  // kernel32.dll is in every process already; only its newer exports may
  // be missing.
  const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  const FARPROC address = kernel == nullptr ? nullptr : ::GetProcAddress(kernel, "SetDefaultDllDirectories");
  if (address == nullptr) return false;
  const auto set = reinterpret_cast<decltype(&::SetDefaultDllDirectories)>(reinterpret_cast<void (*)()>(address));
  return set(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

std::string ErrorText(DWORD error) {
  char text[512] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, error, 0, text, sizeof text, nullptr);
  std::string out(text, length);
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ')) {
    out.pop_back();
  }
  if (out.empty()) out = "error " + std::to_string(error);
  return out;
}

SystemLibrary::SystemLibrary(const std::string& name) : name_(name), module_(LoadFromSystemFolder(name)) {
  if (module_ == nullptr) {
    failure_ = SystemLibraryFailure{SystemLibraryFailure::Kind::NotLoaded, name_, {}, ErrorText(::GetLastError())};
  }
}

SystemLibrary::~SystemLibrary() {
  if (module_ != nullptr) ::FreeLibrary(module_);
}

FARPROC SystemLibrary::Address(const char* function) {
  if (module_ == nullptr) return nullptr;
  const FARPROC address = ::GetProcAddress(module_, function);
  if (address == nullptr && !failure_) {
    failure_ = SystemLibraryFailure{SystemLibraryFailure::Kind::FunctionMissing, name_, function, {}};
  }
  return address;
}

}  // namespace tovrix::windows_hid
