#include "emulator/bench.h"

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

namespace tovrix::emu {
namespace {

constexpr const char* kPathPrefix = "bench:";
// The unit's own path inside its EmulatedHid, which holds it alone.
constexpr const char* kInnerPath = "emu:0";

std::string PathOf(int port, int plug) {
  return kPathPrefix + std::to_string(port) + "." + std::to_string(plug);
}

// "bench:PORT.PLUG" into its numbers.
bool ParsePath(const std::string& path, int& port, int& plug) {
  if (path.rfind(kPathPrefix, 0) != 0) return false;
  const std::string rest = path.substr(std::char_traits<char>::length(kPathPrefix));
  const std::size_t dot = rest.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 >= rest.size() || rest.size() > 12 ||
      rest.find_first_not_of("0123456789.") != std::string::npos || rest.find('.', dot + 1) != std::string::npos) {
    return false;
  }
  port = std::stoi(rest.substr(0, dot));
  plug = std::stoi(rest.substr(dot + 1));
  return true;
}

}  // namespace

// One plug-in of a unit. Its operations run one at a time (mutex); gone is
// set without it, by whoever pulls the unit out.
struct EmulatedBench::Unit {
  int port = 0;
  int plug = 0;
  UnitPlan plan;
  std::unique_ptr<VirtualClock> ownClock;
  std::unique_ptr<EmulatedHid> hid;
  std::mutex mutex;
  std::atomic<bool> gone{false};
  std::atomic<bool> pulled{false};  // pulled out by its plan, not yet taken off the port
  int writes = 0;
};

struct EmulatedBench::Slot {
  std::shared_ptr<Unit> unit;
  int plugs = 0;
  int64_t leftAt = -1;
  std::shared_ptr<Unit> lingering;  // the unit that left, while it is still listed
  int lingerListings = 0;
};

class EmulatedBench::View final : public HidApi {
 public:
  explicit View(EmulatedBench& bench) : bench_(bench) {}
  ~View() override {
    for (auto& [handle, open] : handles_) {
      const std::lock_guard<std::mutex> lock(open.unit->mutex);
      open.unit->hid->Close(open.inner);
    }
  }

  std::vector<std::string> ListInterfaces() override {
    std::vector<std::string> paths;
    for (const HidInterfaceInfo& info : DescribeInterfaces()) paths.push_back(info.path);
    return paths;
  }
  std::vector<HidInterfaceInfo> DescribeInterfaces() override {
    const std::lock_guard<std::mutex> lock(bench_.mutex_);
    bench_.Sweep();
    std::vector<HidInterfaceInfo> interfaces;
    for (std::size_t i = 0; i < bench_.slots_.size(); ++i) {
      auto& slot = bench_.slots_[i];
      if (slot.lingerListings > 0) {
        interfaces.push_back({PathOf(slot.lingering->port, slot.lingering->plug), "", true,
                              {kUnitVendorID, kUnitProductID, slot.lingering->plan.unit.unitVersion}});
        if (--slot.lingerListings == 0) slot.lingering.reset();
      }
      const auto& unit = slot.unit;
      if (!unit) continue;
      interfaces.push_back({PathOf(static_cast<int>(i), unit->plug), "emu-" + std::to_string(i + 1), true,
                            {kUnitVendorID, kUnitProductID, unit->plan.unit.unitVersion}});
    }
    return interfaces;
  }
  HidHandle Open(const std::string& path) override { return NewHandle(path, false); }
  std::optional<OpenFailure> OpenFailureOf(const std::string&) override { return std::nullopt; }
  int32_t GetAttributes(HidHandle handle, HidAttributes& attributes) override {
    return Call(handle, 0, [&](Unit& u, HidHandle inner) { return u.hid->GetAttributes(inner, attributes); });
  }
  int32_t GetCaps(HidHandle handle, HidCaps& caps) override {
    return Call(handle, 0, [&](Unit& u, HidHandle inner) { return u.hid->GetCaps(inner, caps); });
  }
  HidHandle OpenForReading(const std::string& path) override { return NewHandle(path, true); }
  int32_t PrepareRead(HidHandle reading) override {
    return Call(reading, 0, [&](Unit& u, HidHandle inner) { return u.hid->PrepareRead(inner); });
  }
  int32_t WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) override {
    return Call(handle, 0, [&](Unit& u, HidHandle inner) -> int32_t {
      if (u.plan.unplugAfterWrites > 0 && ++u.writes >= u.plan.unplugAfterWrites) {
        u.gone = true;
        u.pulled = true;
        return 0;
      }
      return u.hid->WriteReport(inner, report, length);
    });
  }
  int32_t StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) override {
    return Call(reading, 0, [&](Unit& u, HidHandle inner) { return u.hid->StartRead(inner, buffer, length); });
  }
  int32_t WaitRead(HidHandle reading, int timeoutMs) override {
    return Call(reading, -1, [&](Unit& u, HidHandle inner) { return u.hid->WaitRead(inner, timeoutMs); });
  }
  int32_t CancelRead(HidHandle reading) override {
    return Call(reading, 0, [&](Unit& u, HidHandle inner) { return u.hid->CancelRead(inner); });
  }
  int32_t Close(HidHandle handle) override {
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return 0;
    {
      const std::lock_guard<std::mutex> lock(it->second.unit->mutex);
      it->second.unit->hid->Close(it->second.inner);
    }
    handles_.erase(it);
    return 1;
  }

 private:
  struct Opened {
    std::shared_ptr<Unit> unit;
    HidHandle inner = kInvalidHandle;
  };

  HidHandle NewHandle(const std::string& path, bool reading) {
    int port = 0, plug = 0;
    if (!ParsePath(path, port, plug)) return kInvalidHandle;
    bool lingering = false;
    const std::shared_ptr<Unit> unit = bench_.UnitAt(port, plug, lingering);
    if (!unit) return kInvalidHandle;
    HidHandle inner = kInvalidHandle;
    {
      const std::lock_guard<std::mutex> lock(unit->mutex);
      // A unit that left opens while it is still listed; nothing works on it.
      if (unit->gone && !lingering) return kInvalidHandle;
      inner = reading ? unit->hid->OpenForReading(kInnerPath) : unit->hid->Open(kInnerPath);
    }
    if (inner == kInvalidHandle) return kInvalidHandle;
    const HidHandle handle = next_++;
    handles_[handle] = {unit, inner};
    return handle;
  }

  // operation on the unit of handle, or failed when the unit is gone.
  template <typename Operation>
  int32_t Call(HidHandle handle, int32_t failed, Operation operation) {
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return failed;
    Unit& unit = *it->second.unit;
    const std::lock_guard<std::mutex> lock(unit.mutex);
    if (unit.gone) return failed;
    return operation(unit, it->second.inner);
  }

  EmulatedBench& bench_;
  std::map<HidHandle, Opened> handles_;
  HidHandle next_ = 1;
};

class EmulatedBench::Watch final : public InterfaceWatch {
 public:
  explicit Watch(EmulatedBench& bench) : bench_(bench) {}
  bool Wait(int timeoutMs) override {
    if (bench_.settings_.realTime) {
      std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    } else {
      {
        const std::lock_guard<std::mutex> lock(bench_.mutex_);
        bench_.benchClock_.SleepUntil(bench_.benchClock_.Now() + int64_t{timeoutMs} * 1000);
      }
      // Time that costs nothing, but not a loop that spins.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  }

 private:
  EmulatedBench& bench_;
};

EmulatedBench::EmulatedBench(BenchSettings settings) : settings_(std::move(settings)) {
  slots_.resize(static_cast<std::size_t>(settings_.ports > 0 ? settings_.ports : 1));
  if (settings_.pluggedAtStart) {
    for (std::size_t i = 0; i < slots_.size(); ++i) Plug(static_cast<int>(i));
  }
}

EmulatedBench::~EmulatedBench() = default;

std::unique_ptr<HidApi> EmulatedBench::NewView() { return std::make_unique<View>(*this); }
std::unique_ptr<InterfaceWatch> EmulatedBench::NewWatch() { return std::make_unique<Watch>(*this); }

int64_t EmulatedBench::NowMicros() { return settings_.realTime ? realClock_.Now() : benchClock_.Now(); }

void EmulatedBench::Plug(int port) {
  const std::lock_guard<std::mutex> lock(mutex_);
  PlugLocked(port);
}

void EmulatedBench::PlugLocked(int port) {
  if (port < 0 || port >= static_cast<int>(slots_.size())) return;
  Slot& slot = slots_[static_cast<std::size_t>(port)];
  if (slot.unit || (settings_.plugsPerPort >= 0 && slot.plugs >= settings_.plugsPerPort)) return;
  auto unit = std::make_shared<Unit>();
  unit->port = port;
  unit->plug = slot.plugs++;
  unit->plan = settings_.plan ? settings_.plan(port, unit->plug) : UnitPlan{};
  // The unit alone in its platform: other devices are the bench's business.
  EmulatorOptions options = unit->plan.unit;
  options.before.clear();
  options.after.clear();
  options.unitPresent = true;
  Clock* clock = &realClock_;
  if (!settings_.realTime) {
    unit->ownClock = std::make_unique<VirtualClock>();
    clock = unit->ownClock.get();
  }
  unit->hid = std::make_unique<EmulatedHid>(options, *clock);
  slot.unit = std::move(unit);
}

void EmulatedBench::Unplug(int port) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (port < 0 || port >= static_cast<int>(slots_.size())) return;
  Slot& slot = slots_[static_cast<std::size_t>(port)];
  if (slot.unit) Leave(slot, true);
}

std::vector<BenchRecord> EmulatedBench::History() {
  const std::lock_guard<std::mutex> lock(mutex_);
  Sweep();
  return history_;
}

std::shared_ptr<EmulatedBench::Unit> EmulatedBench::UnitAt(int port, int plug, bool& lingering) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (port < 0 || port >= static_cast<int>(slots_.size())) return nullptr;
  const Slot& slot = slots_[static_cast<std::size_t>(port)];
  lingering = false;
  if (slot.unit && slot.unit->plug == plug) return slot.unit;
  lingering = slot.lingerListings > 0 && slot.lingering && slot.lingering->plug == plug;
  return lingering ? slot.lingering : nullptr;
}

void EmulatedBench::Leave(Slot& slot, bool unplugged) {
  Unit& unit = *slot.unit;
  unit.gone = true;
  if (settings_.keepHistory) {
    BenchRecord record;
    record.port = unit.port;
    record.plug = unit.plug;
    record.unplugged = unplugged;
    {
      const std::lock_guard<std::mutex> lock(unit.mutex);
      const TovrixUnit& model = unit.hid->Unit();
      record.memory = model.Memory().Runs();
      record.resets = model.Resets();
      record.programs = model.Programs();
    }
    history_.push_back(std::move(record));
  }
  slot.lingering = settings_.lingerListings > 0 ? slot.unit : nullptr;
  slot.lingerListings = settings_.lingerListings;
  slot.unit.reset();
  slot.leftAt = NowMicros();
}

void EmulatedBench::Sweep() {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    if (slot.unit) {
      Unit& unit = *slot.unit;
      bool reset = false;
      if (!unit.pulled) {
        // Busy, the unit has a handle open and stays: the listing does not
        // wait for its operation (up to a wait for a reply) to end.
        const std::unique_lock<std::mutex> lock(unit.mutex, std::try_to_lock);
        reset = lock.owns_lock() && unit.hid->Unit().Resets() > 0 && unit.hid->OpenHandles() == 0;
      }
      if (unit.pulled || reset) Leave(slot, unit.pulled);
    }
    if (!slot.unit && settings_.replugMicros >= 0 && slot.leftAt >= 0 &&
        NowMicros() - slot.leftAt >= settings_.replugMicros) {
      PlugLocked(static_cast<int>(i));
    }
  }
}

}  // namespace tovrix::emu
