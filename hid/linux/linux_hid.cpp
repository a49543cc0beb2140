#include "hid/linux/linux_hid.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>
#include <utility>

#include "hid/unit_identity.h"
#include "hid/linux/report_descriptor.h"
#include "hid/linux/report_io.h"
#include "hid/linux/sysfs.h"

namespace tovrix {
namespace {

using linux_hid::ReportReader;

std::optional<ReportDescriptorSummary> ReadDescriptor(int fd) {
  int size = 0;
  if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return std::nullopt;
  if (size < 0 || size > HID_MAX_DESCRIPTOR_SIZE) return std::nullopt;
  hidraw_report_descriptor descriptor{};
  descriptor.size = static_cast<uint32_t>(size);
  if (::ioctl(fd, HIDIOCGRDESC, &descriptor) < 0) return std::nullopt;
  const ReportDescriptorResult result = ParseReportDescriptor(descriptor.value, descriptor.size);
  if (!result.Ok()) return std::nullopt;
  return result.summary;
}

class LinuxHidApi final : public HidApi {
 public:
  LinuxHidApi(std::string sysfsRoot, std::string devRoot)
      : sysfsRoot_(std::move(sysfsRoot)), devRoot_(std::move(devRoot)) {}

  ~LinuxHidApi() override {
    for (const auto& entry : handles_) ::close(static_cast<int>(entry.first));
    for (const auto& claim : claims_) ::close(claim.second.fd);
  }

  std::vector<std::string> ListInterfaces() override {
    std::vector<std::string> paths;
    for (const std::string& name : linux_hid::ListHidrawNames(sysfsRoot_)) {
      paths.push_back((std::filesystem::path(devRoot_) / name).string());
    }
    return paths;
  }

  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    std::vector<HidInterfaceInfo> interfaces;
    for (const std::string& name : linux_hid::ListHidrawNames(sysfsRoot_)) {
      HidInterfaceInfo info;
      info.path = (std::filesystem::path(devRoot_) / name).string();
      info.port = linux_hid::ReadUsbPort(sysfsRoot_, name);
      if (const auto id = linux_hid::ReadHidId(sysfsRoot_, name)) {
        info.identified = true;
        info.attributes = {id->vendor, id->product, linux_hid::ReadUsbVersion(sysfsRoot_, name)};
      }
      interfaces.push_back(std::move(info));
    }
    return interfaces;
  }

  HidHandle Open(const std::string& path) override {
    const int fd = OpenNode(path, O_RDWR);
    if (fd < 0) return kInvalidHandle;
    const bool unit = IsTheUnitsNode(path);
    if (unit && !Claim(path, fd)) {
      ::close(fd);
      return kInvalidHandle;
    }
    handles_.emplace(fd, Entry{path, nullptr, unit});
    return fd;
  }

  std::string OpenFailureNote(const std::string& path) override {
    if (!failedOpen_ || failedOpen_->path != path || !IsTheUnitsNode(path)) return {};
    if (failedOpen_->claimedElsewhere) {
      return "TovrixPro found at " + path + ", but another update is using it";
    }
    return "TovrixPro found at " + path +
           ", but it cannot be opened: " + std::generic_category().message(failedOpen_->error);
  }

  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override {
    const Entry* entry = Find(handle);
    if (!entry) return 0;
    hidraw_devinfo info{};
    if (::ioctl(static_cast<int>(handle), HIDIOCGRAWINFO, &info) < 0) return 0;
    attributes.VendorID = static_cast<uint16_t>(info.vendor);
    attributes.ProductID = static_cast<uint16_t>(info.product);
    attributes.VersionNumber =
        linux_hid::ReadUsbVersion(sysfsRoot_, linux_hid::HidrawNameOf(entry->path));
    return 1;
  }

  int32_t GetCaps(HidHandle handle, HidCaps& caps) override {
    if (!Find(handle)) return 0;
    const auto summary = ReadDescriptor(static_cast<int>(handle));
    if (!summary) return 0;
    caps.InputReportByteLength = summary->InputReportByteLength;
    caps.OutputReportByteLength = summary->OutputReportByteLength;
    caps.NumberInputValueCaps = summary->NumberInputValueCaps;
    return 1;
  }

  HidHandle OpenForReading(const std::string& path) override {
    const int fd = OpenNode(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) return kInvalidHandle;
    // Reads can only be framed when the descriptor tells about report IDs.
    const auto summary = ReadDescriptor(fd);
    if (!summary) {
      ::close(fd);
      return kInvalidHandle;
    }
    // The read handle shares this object's claim, if it holds one: a claim
    // of its own would be refused by the one of the write handle.
    const auto claim = claims_.find(path);
    if (claim != claims_.end()) ++claim->second.users;
    auto reader = std::make_unique<ReportReader>(linux_hid::ReaderFor(fd, *summary));
    handles_.emplace(fd, Entry{path, std::move(reader), claim != claims_.end()});
    return fd;
  }

  int32_t PrepareRead(HidHandle reading) override { return Reader(reading) ? 1 : 0; }

  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override {
    const Entry* entry = Find(handle);
    if (!entry) return -EBADF;
    // Whatever came before this command cannot be its reply.
    for (auto& other : handles_) {
      if (other.second.reader && other.second.path == entry->path) other.second.reader->DiscardWaiting();
    }
    return linux_hid::WriteReportTo(static_cast<int>(handle), report, length);
  }

  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override {
    ReportReader* reader = Reader(reading);
    return reader ? reader->Start(buffer, length) : 0;
  }

  int32_t WaitRead(HidHandle reading, int timeoutMs) override {
    ReportReader* reader = Reader(reading);
    return reader ? reader->Wait(timeoutMs) : -EBADF;
  }

  int32_t CancelRead(HidHandle reading) override {
    ReportReader* reader = Reader(reading);
    return reader ? reader->Cancel() : 0;
  }

  int32_t Close(HidHandle handle) override {
    const Entry* entry = Find(handle);
    if (!entry) return 0;
    const std::string path = entry->path;
    const bool claimed = entry->claimed;
    handles_.erase(handle);
    const int32_t result = ::close(static_cast<int>(handle)) == 0 ? 1 : 0;
    if (claimed) Release(path);
    return result;
  }

 private:
  struct Entry {
    std::string path;
    std::unique_ptr<ReportReader> reader;  // read handles only
    bool claimed = false;                  // holds a share of the claim on path
  };

  // This object's claim on a unit's node: a descriptor of its own on the
  // open file description that holds the lock, so that the lock lasts until
  // the last handle that shares it is closed.
  struct UnitClaim {
    int fd = -1;
    int users = 0;
  };

  struct FailedOpen {
    std::string path;
    int error = 0;
    bool claimedElsewhere = false;  // another update holds the unit
  };

  int OpenNode(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
      failedOpen_ = FailedOpen{path, errno, false};
    } else {
      failedOpen_.reset();
    }
    return fd;
  }

  // Whether sysfs names the interface's device as the unit.
  bool IsTheUnitsNode(const std::string& path) const {
    const auto id = linux_hid::ReadHidId(sysfsRoot_, linux_hid::HidrawNameOf(path));
    return id && id->vendor == kUnitVendorID && id->product == kUnitProductID;
  }

  // Takes the claim on the unit's node through fd, just opened on it, or
  // shares the one this object holds already. False (and why, for the
  // note) when another open file description holds the lock: another
  // update, in this process or another.
  bool Claim(const std::string& path, int fd) {
    const auto held = claims_.find(path);
    if (held != claims_.end()) {
      ++held->second.users;
      return true;
    }
    int locked = 0;
    do {
      locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
      failedOpen_ = FailedOpen{path, errno, errno == EWOULDBLOCK};
      return false;
    }
    const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (keep < 0) {
      failedOpen_ = FailedOpen{path, errno, false};
      return false;  // closing fd lets the lock go
    }
    claims_.emplace(path, UnitClaim{keep, 1});
    return true;
  }

  void Release(const std::string& path) {
    const auto claim = claims_.find(path);
    if (claim == claims_.end() || --claim->second.users > 0) return;
    ::close(claim->second.fd);
    claims_.erase(claim);
  }

  Entry* Find(HidHandle handle) {
    if (handle < 0 || handle > INT_MAX) return nullptr;
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
  }

  ReportReader* Reader(HidHandle handle) {
    Entry* entry = Find(handle);
    return entry ? entry->reader.get() : nullptr;
  }

  std::string sysfsRoot_;
  std::string devRoot_;
  std::map<HidHandle, Entry> handles_;
  std::map<std::string, UnitClaim> claims_;  // by node path
  std::optional<FailedOpen> failedOpen_;     // the last open that failed
};

}  // namespace

std::unique_ptr<HidApi> MakeLinuxHidApi(std::string sysfsRoot, std::string devRoot) {
  return std::make_unique<LinuxHidApi>(std::move(sysfsRoot), std::move(devRoot));
}

}  // namespace tovrix
