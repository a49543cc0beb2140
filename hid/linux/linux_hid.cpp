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

#include "hid/unit_claims.h"
#include "hid/unit_identity.h"
#include "hid/linux/report_descriptor.h"
#include "hid/linux/report_io.h"
#include "hid/linux/sysfs.h"

namespace tovrix {
namespace {

using linux_hid::ReportReader;

// A failed open of path, errno telling why.
OpenFailure Failure(const std::string& path, int error) {
  OpenFailure failure{OpenFailure::Kind::Other, path, std::generic_category().message(error), {}};
  if (error == EACCES || error == EPERM) failure.kind = OpenFailure::Kind::Denied;
  if (error == ENOENT || error == ENODEV || error == ENXIO) failure.kind = OpenFailure::Kind::Gone;
  return failure;
}

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
    if (unit) {
      if (auto refused = claims_.Claim(path, [&] { return TakeClaim(path, fd); })) {
        failedOpen_ = std::move(refused);
        ::close(fd);  // lets a lock taken on it go
        return kInvalidHandle;
      }
    }
    handles_.emplace(fd, Entry{path, nullptr, unit});
    return fd;
  }

  std::optional<OpenFailure> OpenFailureOf(const std::string& path) override {
    if (!failedOpen_ || failedOpen_->path != path || !IsTheUnitsNode(path)) return std::nullopt;
    return failedOpen_;
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
    const bool claimed = claims_.Share(path);
    auto reader = std::make_unique<ReportReader>(linux_hid::ReaderFor(fd, *summary));
    handles_.emplace(fd, Entry{path, std::move(reader), claimed});
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
    if (claimed) claims_.Release(path);
    return result;
  }

 private:
  struct Entry {
    std::string path;
    std::unique_ptr<ReportReader> reader;  // read handles only
    bool claimed = false;                  // holds a share of the claim on path
  };

  int OpenNode(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
      failedOpen_ = Failure(path, errno);
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

  // The platform's take of the claim on the unit's node: an exclusive lock
  // through fd, just opened on it, and a descriptor of its own on that open
  // file description, so that the lock lasts until the last handle that
  // shares it is closed. Refused when another open file description holds
  // the lock: another update, in this process or another.
  static UnitClaims::Taken TakeClaim(const std::string& path, int fd) {
    int locked = 0;
    do {
      locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
      const int error = errno;
      OpenFailure failure = Failure(path, error);
      if (error == EWOULDBLOCK) failure.kind = OpenFailure::Kind::Claimed;
      return failure;
    }
    const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (keep < 0) return Failure(path, errno);
    return UnitClaims::Hold{keep};
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
  // By node path; the hold is the descriptor kept on the locked open.
  UnitClaims claims_{[](UnitClaims::Hold fd) { ::close(static_cast<int>(fd)); }};
  std::optional<OpenFailure> failedOpen_;  // the last open, when it failed
};

}  // namespace

std::unique_ptr<HidApi> MakeLinuxHidApi(std::string sysfsRoot, std::string devRoot) {
  return std::make_unique<LinuxHidApi>(std::move(sysfsRoot), std::move(devRoot));
}

}  // namespace tovrix
