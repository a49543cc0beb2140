#include "app/web/web_hid.h"

#include <emscripten.h>

#include <cstdlib>
#include <memory>

#include "hid/unit_identity.h"

namespace tovrix::web {
namespace {

constexpr const char* kPathPrefix = "webhid:";

// The bridge: Module.tovrixHid (app/web/webhid.js).
EM_JS(int, webhid_count, (), { return Module.tovrixHid.count(); });
EM_ASYNC_JS(int, webhid_open, (int device), { return await Module.tovrixHid.open(device); });
EM_ASYNC_JS(int, webhid_close, (int device), { return await Module.tovrixHid.close(device); });
EM_JS(char*, webhid_open_error, (int device), {
  const text = Module.tovrixHid.openError(device);
  const size = lengthBytesUTF8(text) + 1;
  const out = _malloc(size);
  stringToUTF8(text, out, size);
  return out;
});
EM_JS(char*, webhid_name, (int device), {
  const text = Module.tovrixHid.name(device);
  const size = lengthBytesUTF8(text) + 1;
  const out = _malloc(size);
  stringToUTF8(text, out, size);
  return out;
});
EM_JS(int, webhid_ids, (int device), { return Module.tovrixHid.ids(device); });
EM_JS(int, webhid_caps, (int device, uint16_t* caps), {
  const c = Module.tovrixHid.caps(device);
  if (!c) return 0;
  HEAPU16[caps >> 1] = c.input;
  HEAPU16[(caps >> 1) + 1] = c.output;
  HEAPU16[(caps >> 1) + 2] = c.valueCaps;
  return 1;
});
EM_ASYNC_JS(int, webhid_send, (int device, const uint8_t* report, int length), {
  return await Module.tovrixHid.send(device, HEAPU8.slice(report, report + length));
});
EM_ASYNC_JS(int, webhid_wait, (int device, uint8_t* buffer, int length, int timeoutMs), {
  const report = await Module.tovrixHid.wait(device, timeoutMs);
  if (typeof report === 'number') return report;
  // The engine's buffer, in memory as it is now.
  HEAPU8.set(report.subarray(0, length), buffer);
  return 0;
});

std::string TakeString(char* text) {
  std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
  return owned ? std::string(owned.get()) : std::string();
}

}  // namespace

std::vector<std::string> WebHidApi::ListInterfaces() {
  std::vector<std::string> paths;
  const int count = webhid_count();
  for (int i = 0; i < count; ++i) paths.push_back(kPathPrefix + std::to_string(i));
  return paths;
}

int WebHidApi::DeviceOf(const std::string& path) {
  if (path.rfind(kPathPrefix, 0) != 0) return -1;
  const std::string index = path.substr(std::char_traits<char>::length(kPathPrefix));
  if (index.empty() || index.size() > 6 || index.find_first_not_of("0123456789") != std::string::npos) {
    return -1;
  }
  const int device = std::stoi(index);
  return device < webhid_count() ? device : -1;
}

HidHandle WebHidApi::NewHandle(const std::string& path, bool reading) {
  const int device = DeviceOf(path);
  if (device < 0) return kInvalidHandle;
  if (opens_[device] == 0 && webhid_open(device) != 1) return kInvalidHandle;
  ++opens_[device];
  const HidHandle handle = nextHandle_++;
  handles_[handle] = Handle{device, reading};
  return handle;
}

WebHidApi::Handle* WebHidApi::Find(HidHandle handle) {
  const auto it = handles_.find(handle);
  return it == handles_.end() ? nullptr : &it->second;
}

HidHandle WebHidApi::Open(const std::string& path) { return NewHandle(path, false); }

HidHandle WebHidApi::OpenForReading(const std::string& path) { return NewHandle(path, true); }

std::optional<OpenFailure> WebHidApi::OpenFailureOf(const std::string& path) {
  // Whatever keeps the browser from opening the unit (another program or
  // tab holding it, the system's access rights) is the user's to mend.
  // The browser's text for it is all it tells.
  const int device = DeviceOf(path);
  if (device < 0) return std::nullopt;
  const int ids = webhid_ids(device);
  const HidAttributes attributes{static_cast<uint16_t>(ids >> 16), static_cast<uint16_t>(ids & 0xFFFF), 0};
  if (!IsTheUnit(attributes)) return std::nullopt;
  return OpenFailure{OpenFailure::Kind::Other, path, TakeString(webhid_open_error(device)),
                     TakeString(webhid_name(device))};
}

int32_t WebHidApi::GetAttributes(HidHandle handle, HidAttributes& attributes) {
  const Handle* h = Find(handle);
  if (!h) return 0;
  const int ids = webhid_ids(h->device);
  attributes.VendorID = static_cast<uint16_t>(ids >> 16);
  attributes.ProductID = static_cast<uint16_t>(ids & 0xFFFF);
  attributes.VersionNumber = 0;  // WebHID does not tell it
  return 1;
}

int32_t WebHidApi::GetCaps(HidHandle handle, HidCaps& caps) {
  const Handle* h = Find(handle);
  if (!h) return 0;
  uint16_t values[3] = {};
  if (webhid_caps(h->device, values) == 0) return 0;
  caps = HidCaps{values[0], values[1], values[2]};
  return 1;
}

int32_t WebHidApi::PrepareRead(HidHandle reading) {
  const Handle* h = Find(reading);
  return h && h->reading ? 1 : 0;
}

int32_t WebHidApi::WriteReport(HidHandle handle, const uint8_t* report, std::size_t length) {
  const Handle* h = Find(handle);
  if (!h || length == 0 || length > 0xFFFF) return 0;
  return webhid_send(h->device, report, static_cast<int>(length)) == 1 ? 1 : 0;
}

int32_t WebHidApi::StartRead(HidHandle reading, uint8_t* buffer, std::size_t length) {
  Handle* h = Find(reading);
  if (!h || h->pending) return 0;
  h->pending = true;
  h->buffer = buffer;
  h->length = length;
  return 0;  // pending, as an overlapped read is
}

int32_t WebHidApi::WaitRead(HidHandle reading, int timeoutMs) {
  Handle* h = Find(reading);
  if (!h || !h->pending) return -1;
  const int result = webhid_wait(h->device, h->buffer, static_cast<int>(h->length), timeoutMs);
  if (result == kWaitReady) h->pending = false;
  return result;
}

int32_t WebHidApi::CancelRead(HidHandle reading) {
  Handle* h = Find(reading);
  if (!h) return 0;
  h->pending = false;
  return 1;
}

int32_t WebHidApi::Close(HidHandle handle) {
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return 0;
  const int device = it->second.device;
  handles_.erase(it);
  if (--opens_[device] > 0) return 1;
  opens_.erase(device);
  return webhid_close(device) == 1 ? 1 : 0;
}

}  // namespace tovrix::web
