#include "hid/linux/sysfs.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <utility>

namespace tovrix::linux_hid {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = "hidraw";
constexpr std::size_t kMaxDigits = 9;  // the number fits 32 bits
constexpr int kMaxWalk = 64;           // folders walked up at most
constexpr std::size_t kMaxFileBytes = 16384;

// The number of an interface name, or empty when it is not "hidrawN".
std::optional<uint32_t> NumberOf(std::string_view name) {
  if (name.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  const std::string_view digits = name.substr(kPrefix.size());
  if (digits.empty() || digits.size() > kMaxDigits) return std::nullopt;
  uint32_t number = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<uint32_t>(c - '0');
  }
  return number;
}

std::optional<uint32_t> ParseHex(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (const char c : text) {
    uint32_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
    else return std::nullopt;
    value = value << 4 | digit;
  }
  return value;
}

std::optional<std::string> ReadSmallFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxFileBytes, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

fs::path InterfaceFolder(const std::string& sysfsRoot, const std::string& name) {
  return fs::path(sysfsRoot) / "class" / "hidraw" / name;
}

bool IsInside(const fs::path& path, const fs::path& root) {
  return std::mismatch(root.begin(), root.end(), path.begin(), path.end()).first == root.end();
}

// The folder of the USB device that the interface belongs to: the first
// folder with a bcdDevice file met walking up from the resolved "device"
// link, inside sysfsRoot; nothing for a device that is not on USB.
std::optional<fs::path> UsbDeviceFolder(const std::string& sysfsRoot, const std::string& name) {
  const auto id = ReadHidId(sysfsRoot, name);
  if (!id || id->bus != kBusUsb) return std::nullopt;
  std::error_code ec;
  const fs::path root = fs::canonical(sysfsRoot, ec);
  if (ec) return std::nullopt;
  fs::path folder = fs::canonical(InterfaceFolder(sysfsRoot, name) / "device", ec);
  if (ec) return std::nullopt;
  for (int step = 0; step < kMaxWalk && folder != root && IsInside(folder, root); ++step) {
    if (fs::is_regular_file(folder / "bcdDevice", ec)) return folder;
    folder = folder.parent_path();
  }
  return std::nullopt;
}

// "B-P" or "B-P.P...": decimal numbers, at most 64 characters.
bool IsUsbPortName(std::string_view name) {
  const std::size_t dash = name.find('-');
  if (dash == 0 || dash == std::string_view::npos || name.size() > 64) return false;
  bool digitBefore = false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c >= '0' && c <= '9') {
      digitBefore = true;
    } else if ((c == '-' && i == dash) || (c == '.' && i > dash)) {
      if (!digitBefore) return false;
      digitBefore = false;
    } else {
      return false;
    }
  }
  return digitBefore;
}

}  // namespace

std::vector<std::string> ListHidrawNames(const std::string& sysfsRoot) {
  std::vector<std::pair<uint32_t, std::string>> found;
  std::error_code ec;
  fs::directory_iterator it(fs::path(sysfsRoot) / "class" / "hidraw", ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name = it->path().filename().string();
    if (const auto number = NumberOf(name)) found.emplace_back(*number, std::move(name));
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& entry : found) names.push_back(std::move(entry.second));
  return names;
}

std::string HidrawNameOf(const std::string& path) {
  std::string name = fs::path(path).filename().string();
  return NumberOf(name) ? name : std::string();
}

std::optional<HidId> ReadHidId(const std::string& sysfsRoot, const std::string& name) {
  if (!NumberOf(name)) return std::nullopt;
  const auto text = ReadSmallFile(InterfaceFolder(sysfsRoot, name) / "device" / "uevent");
  if (!text) return std::nullopt;
  constexpr std::string_view kKey = "HID_ID=";
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\n'), rest.size());
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    if (line.substr(0, kKey.size()) != kKey) continue;
    line.remove_prefix(kKey.size());
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const auto bus = ParseHex(line.substr(0, first));
    const auto vendor = ParseHex(line.substr(first + 1, second - first - 1));
    const auto product = ParseHex(line.substr(second + 1));
    if (!bus || !vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) return std::nullopt;
    return HidId{*bus, static_cast<uint16_t>(*vendor), static_cast<uint16_t>(*product)};
  }
  return std::nullopt;
}

uint16_t ReadUsbVersion(const std::string& sysfsRoot, const std::string& name) {
  const auto folder = UsbDeviceFolder(sysfsRoot, name);
  if (!folder) return 0;
  const auto text = ReadSmallFile(*folder / "bcdDevice");
  const auto version = text ? ParseHex(*text) : std::nullopt;
  return version && *version <= 0xFFFF ? static_cast<uint16_t>(*version) : 0;
}

std::string ReadUsbPort(const std::string& sysfsRoot, const std::string& name) {
  const auto folder = UsbDeviceFolder(sysfsRoot, name);
  if (!folder) return {};
  std::string port = folder->filename().string();
  return IsUsbPortName(port) ? port : std::string();
}

}  // namespace tovrix::linux_hid
