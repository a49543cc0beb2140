#include <windows.h>

#include <chrono>
#include <ctime>

#include "app/cli/system.h"

namespace tovrix::cli {
namespace {

// The system's text for error, without its line end.
std::string ErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
      0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string said = length > 0 && text ? std::string(text, length) : "error " + std::to_string(error);
  if (text) ::LocalFree(text);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == ' ')) said.pop_back();
  return said;
}

class Win32Record final : public RecordFile {
 public:
  explicit Win32Record(HANDLE file) : file_(file) {}
  ~Win32Record() override { ::CloseHandle(file_); }
  Win32Record(const Win32Record&) = delete;
  Win32Record& operator=(const Win32Record&) = delete;

  std::string Append(std::string_view line) override {
    std::string whole(line);
    whole += '\n';
    DWORD written = 0;
    // Opened with FILE_APPEND_DATA alone: each WriteFile goes whole at the
    // file's end, whoever else appends to it.
    if (!::WriteFile(file_, whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr)) {
      return ErrorText(::GetLastError());
    }
    if (written < whole.size()) return ErrorText(ERROR_DISK_FULL) + " (the line was cut short)";
    if (!::FlushFileBuffers(file_)) {
      const DWORD error = ::GetLastError();
      // A pipe to a log shipper has nothing to flush.
      if (error != ERROR_INVALID_FUNCTION) return ErrorText(error);
    }
    return {};
  }

 private:
  HANDLE file_;
};

}  // namespace

RecordOpened OpenRecordFile(const std::string& path) {
  const HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {nullptr, ErrorText(::GetLastError())};
  return {std::make_unique<Win32Record>(file), {}};
}

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 256] = {};
  DWORD size = sizeof name;
  if (!::GetComputerNameExA(ComputerNameDnsHostname, name, &size) || size == 0) return "localhost";
  return std::string(name, size);
}

WallTime LocalWallTime() {
  using namespace std::chrono;
  const int64_t ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm local{};
  localtime_s(&local, &seconds);
  // The local time read as UTC, less the moment: the zone's offset.
  const std::time_t asUtc = _mkgmtime(&local);
  return {ms, static_cast<int>((asUtc - seconds) / 60)};
}

}  // namespace tovrix::cli
