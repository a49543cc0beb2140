// The report descriptor parser against real descriptors, written out byte by
// byte, with the lengths and input value capability counts that the Windows
// HID class reports for them.
#include "hid/linux/report_descriptor.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace tovrix {
namespace {

using Bytes = std::vector<uint8_t>;

ReportDescriptorResult Parse(const Bytes& bytes) {
  // An exact-size copy on the heap, so that any read past the end trips ASan.
  const auto copy = std::make_unique<uint8_t[]>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), copy.get());
  return ParseReportDescriptor(copy.get(), bytes.size());
}

Bytes Repeat(const Bytes& item, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), item.begin(), item.end());
  return out;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The unit in update mode: vendor page, 64-byte input and output, no IDs.
const Bytes kUnit = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x19, 0x01,        //   Usage Minimum (1)
    0x29, 0x40,        //   Usage Maximum (64)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x40,        //   Report Count (64)
    0x81, 0x02,        //   Input (Data, Variable, Absolute)
    0x19, 0x01,        //   Usage Minimum (1)
    0x29, 0x40,        //   Usage Maximum (64)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// The boot keyboard of the HID class's appendix.
const Bytes kBootKeyboard = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x06,  // Usage (Keyboard)
    0xA1, 0x01,  // Collection (Application)
    0x05, 0x07,  //   Usage Page (Key Codes)
    0x19, 0xE0,  //   Usage Minimum (224)
    0x29, 0xE7,  //   Usage Maximum (231)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x01,  //   Logical Maximum (1)
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x08,  //   Report Count (8)
    0x81, 0x02,  //   Input (Data, Variable, Absolute): modifier byte, buttons
    0x95, 0x01,  //   Report Count (1)
    0x75, 0x08,  //   Report Size (8)
    0x81, 0x01,  //   Input (Constant): reserved byte
    0x95, 0x05,  //   Report Count (5)
    0x75, 0x01,  //   Report Size (1)
    0x05, 0x08,  //   Usage Page (LEDs)
    0x19, 0x01,  //   Usage Minimum (1)
    0x29, 0x05,  //   Usage Maximum (5)
    0x91, 0x02,  //   Output (Data, Variable, Absolute): LED report
    0x95, 0x01,  //   Report Count (1)
    0x75, 0x03,  //   Report Size (3)
    0x91, 0x01,  //   Output (Constant): padding
    0x95, 0x06,  //   Report Count (6)
    0x75, 0x08,  //   Report Size (8)
    0x15, 0x00,  //   Logical Minimum (0)
    0x25, 0x65,  //   Logical Maximum (101)
    0x05, 0x07,  //   Usage Page (Key Codes)
    0x19, 0x00,  //   Usage Minimum (0)
    0x29, 0x65,  //   Usage Maximum (101)
    0x81, 0x00,  //   Input (Data, Array): key array, buttons
    0xC0,        // End Collection
};

// A wheel mouse: three buttons, padding, X, Y and wheel.
const Bytes kWheelMouse = {
    0x05, 0x01,  // Usage Page (Generic Desktop)
    0x09, 0x02,  // Usage (Mouse)
    0xA1, 0x01,  // Collection (Application)
    0x09, 0x01,  //   Usage (Pointer)
    0xA1, 0x00,  //   Collection (Physical)
    0x05, 0x09,  //     Usage Page (Buttons)
    0x19, 0x01,  //     Usage Minimum (1)
    0x29, 0x03,  //     Usage Maximum (3)
    0x15, 0x00,  //     Logical Minimum (0)
    0x25, 0x01,  //     Logical Maximum (1)
    0x95, 0x03,  //     Report Count (3)
    0x75, 0x01,  //     Report Size (1)
    0x81, 0x02,  //     Input (Data, Variable, Absolute): buttons
    0x95, 0x01,  //     Report Count (1)
    0x75, 0x05,  //     Report Size (5)
    0x81, 0x01,  //     Input (Constant): padding
    0x05, 0x01,  //     Usage Page (Generic Desktop)
    0x09, 0x30,  //     Usage (X)
    0x09, 0x31,  //     Usage (Y)
    0x09, 0x38,  //     Usage (Wheel)
    0x15, 0x81,  //     Logical Minimum (-127)
    0x25, 0x7F,  //     Logical Maximum (127)
    0x75, 0x08,  //     Report Size (8)
    0x95, 0x03,  //     Report Count (3)
    0x81, 0x06,  //     Input (Data, Variable, Relative): three values
    0xC0,        //   End Collection
    0xC0,        // End Collection
};

// Numbered reports of different lengths: input 1 (8 bytes) and 2 (32
// bytes), output 3 (16 bytes), feature 4 (100 bytes, not counted).
const Bytes kNumberedReports = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor)
    0x09, 0x01,        // Usage (1)
    0xA1, 0x01,        // Collection (Application)
    0x85, 0x01,        //   Report ID (1)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x08,        //   Report Count (8)
    0x15, 0x00,        //   Logical Minimum (0)
    0x26, 0xFF, 0x00,  //   Logical Maximum (255)
    0x09, 0x02,        //   Usage (2): one usage for all eight fields
    0x81, 0x02,        //   Input (Data, Variable, Absolute): one value cap
    0x85, 0x02,        //   Report ID (2)
    0x75, 0x10,        //   Report Size (16)
    0x95, 0x10,        //   Report Count (16)
    0x09, 0x03,        //   Usage (3)
    0x09, 0x04,        //   Usage (4): covers the other fifteen fields
    0x81, 0x02,        //   Input (Data, Variable, Absolute): two value caps
    0x85, 0x03,        //   Report ID (3)
    0x75, 0x08,        //   Report Size (8)
    0x95, 0x10,        //   Report Count (16)
    0x09, 0x05,        //   Usage (5)
    0x91, 0x02,        //   Output (Data, Variable, Absolute)
    0x85, 0x04,        //   Report ID (4)
    0x95, 0x64,        //   Report Count (100)
    0x09, 0x06,        //   Usage (6)
    0xB1, 0x02,        //   Feature (Data, Variable, Absolute)
    0xC0,              // End Collection
};

// Push saves the 8-bit size and count 4; the one-bit buttons between Push
// and Pop must not change the later values.
const Bytes kPushPop = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0x75, 0x08,  // Report Size (8)
    0x95, 0x04,  // Report Count (4)
    0xA4,        // Push
    0x75, 0x01,  //   Report Size (1)
    0x95, 0x08,  //   Report Count (8)
    0x09, 0x01,  //   Usage
    0x81, 0x02,  //   Input: 8 one-bit buttons, 1 byte
    0xB4,        // Pop: size 8, count 4 again
    0x09, 0x02,  // Usage
    0x81, 0x02,  // Input: 4 bytes, one value cap
    0xC0,
};

// A long item, a reserved-type item and 4-byte data, all in one.
const Bytes kLongAndWideItems = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
    0xFE, 0x03, 0x10, 0xA1, 0xA1, 0xA1,  // long item, 3 data bytes that look like collections
    0x0C,                                // reserved type, no data
    0x77, 0x10, 0x00, 0x00, 0x00,        // Report Size (16), 4-byte data
    0x97, 0x02, 0x00, 0x00, 0x00,        // Report Count (2), 4-byte data
    0x0B, 0x30, 0x00, 0x01, 0x00,        // Usage (Generic Desktop X), extended
    0x81, 0x02,                          // Input: 4 bytes, one value cap
    0xC0,
};

// Value items whose usages and fields do not match one to one.
const Bytes kUsageCounts = {
    0x05, 0x01, 0x09, 0x04, 0xA1, 0x01,
    0x75, 0x10, 0x95, 0x02,
    0x09, 0x30, 0x09, 0x31, 0x09, 0x32,  // three usages, two fields
    0x81, 0x02,                          // two value caps: Z has no field
    0x81, 0x02,                          // no usage at all: one value cap
    0x81, 0x03,                          // Constant: padding, none
    0x81, 0x00,                          // Array: buttons, none
    0x09, 0x30, 0x19, 0x01, 0x29, 0x10,  // one usage, then a range
    0x95, 0x05, 0x81, 0x02,              // X for one field, the range for four: two
    0x19, 0x01, 0x95, 0x01, 0x75, 0x03,  // a Usage Minimum alone, 3 bits
    0x81, 0x02,                          // one value cap; 3 bits round up to a byte
    0xC0,
};

// Two input items that fill exactly the longest report a 16-bit length holds.
const Bytes kLongestReport = {
    0x75, 0x08,              // Report Size (8)
    0x96, 0xFF, 0x7F,        // Report Count (32767)
    0x81, 0x03, 0x81, 0x03,  // 65534 bytes, 65535 with the ID byte
};

struct KnownDevice {
  const char* name;
  const Bytes* descriptor;
  uint16_t input;
  uint16_t output;
  uint16_t valueCaps;
  bool usesReportIds;
};

const KnownDevice kKnownDevices[] = {
    {"Unit", &kUnit, 65, 65, 1, false},
    {"BootKeyboard", &kBootKeyboard, 9, 2, 0, false},
    {"WheelMouse", &kWheelMouse, 5, 0, 3, false},
    {"NumberedReports", &kNumberedReports, 33, 17, 3, true},
    {"PushPop", &kPushPop, 6, 0, 1, false},
    {"LongAndWideItems", &kLongAndWideItems, 5, 0, 1, false},
    // 4 + 4 + 4 + 4 + 10 bytes and 3 bits: 27 bytes, 28 with the ID byte.
    {"UsageCounts", &kUsageCounts, 28, 0, 2 + 1 + 2 + 1, false},
    {"LongestReport", &kLongestReport, 65535, 0, 0, false},
};

void PrintTo(const KnownDevice& device, std::ostream* out) { *out << device.name; }

class KnownDeviceTest : public testing::TestWithParam<KnownDevice> {};

TEST_P(KnownDeviceTest, GivesTheLengthsAndValueCapsOfTheWindowsHidClass) {
  const KnownDevice& device = GetParam();
  const ReportDescriptorResult result = Parse(*device.descriptor);
  ASSERT_TRUE(result.Ok()) << result.error << " at " << result.errorOffset;
  EXPECT_EQ(result.summary.InputReportByteLength, device.input);
  EXPECT_EQ(result.summary.OutputReportByteLength, device.output);
  EXPECT_EQ(result.summary.NumberInputValueCaps, device.valueCaps);
  EXPECT_EQ(result.summary.UsesReportIds, device.usesReportIds);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, KnownDeviceTest, testing::ValuesIn(kKnownDevices),
                         [](const auto& info) { return std::string(info.param.name); });

// The descriptors of the table that the web page's bridge is checked
// against too (tests/web/caps.test.mjs): the browser and the desktop tool
// must count the same for each.
TEST(ReportDescriptorTest, GivesTheFiguresOfTheTableTheWebBridgeShares) {
  std::ifstream file(TOVRIX_DESCRIPTOR_TABLE, std::ios::binary);
  ASSERT_TRUE(file) << TOVRIX_DESCRIPTOR_TABLE;
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::regex entry(R"re(\{"name": "([^"]*)",\s*"bytes": "([0-9A-F ]*)",\s*)re"
                         R"re("input": (\d+), "output": (\d+), "valueCaps": (\d+)\})re");
  std::size_t read = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it, ++read) {
    const std::smatch& m = *it;
    SCOPED_TRACE(m[1].str());
    Bytes bytes;
    std::istringstream hex(m[2].str());
    for (unsigned byte = 0; hex >> std::hex >> byte;) bytes.push_back(static_cast<uint8_t>(byte));
    const ReportDescriptorResult result = Parse(bytes);
    ASSERT_TRUE(result.Ok()) << result.error << " at " << result.errorOffset;
    EXPECT_EQ(result.summary.InputReportByteLength, std::stoi(m[3].str()));
    EXPECT_EQ(result.summary.OutputReportByteLength, std::stoi(m[4].str()));
    EXPECT_EQ(result.summary.NumberInputValueCaps, std::stoi(m[5].str()));
  }
  // Every entry of the table was read.
  std::size_t names = 0;
  for (auto at = text.find("{\"name\""); at != std::string::npos; at = text.find("{\"name\"", at + 1)) ++names;
  EXPECT_EQ(read, names);
  EXPECT_GT(read, 10u);
}

TEST(ReportDescriptorTest, EmptyDescriptorDescribesNoReports) {
  const ReportDescriptorResult result = ParseReportDescriptor(nullptr, 0);
  ASSERT_TRUE(result.Ok());
  EXPECT_EQ(result.summary.InputReportByteLength, 0);
  EXPECT_EQ(result.summary.OutputReportByteLength, 0);
  EXPECT_EQ(result.summary.NumberInputValueCaps, 0);
}

struct Malformed {
  const char* name;
  Bytes descriptor;
  std::size_t offset;  // of the item that is rejected
};

const Malformed kMalformed[] = {
    {"TruncatedLongItem", {0x06, 0x00, 0xFF, 0xFE, 0x05, 0x10, 0xAA, 0xBB}, 3},
    {"TruncatedLongItemHeader", {0x09, 0x01, 0xFE, 0x05}, 2},
    {"TruncatedShortItem", {0x75, 0x08, 0x26, 0xFF}, 2},
    {"TruncatedFourByteItem", {0x97, 0x01, 0x00}, 0},
    {"PopWithoutPush", {0x75, 0x08, 0xB4}, 2},
    {"PopAfterItsPushWasPopped", {0xA4, 0xB4, 0xB4}, 2},
    {"PushTooDeep", Repeat({0xA4}, kMaxPushDepth + 1), kMaxPushDepth},
    {"HugeReportCount", {0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02}, 7},
    // (2^32 - 1)^2 bits: wraps to 1 in 32-bit arithmetic.
    {"HugeSizeTimesCount",
     {0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x91, 0x02}, 10},
    {"ReportOneByteTooLong", Join({kLongestReport, {0x75, 0x01, 0x95, 0x01, 0x81, 0x03}}), 13},
    {"HugeFeatureReport", {0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0xB1, 0x02}, 7},
    {"EndCollectionWithoutCollection", {0xA1, 0x01, 0xC0, 0xC0}, 3},
    {"CollectionLeftOpen", {0xA1, 0x01, 0xA1, 0x00, 0xC0}, 5},
    {"CollectionsTooDeep", Repeat({0xA1, 0x01}, kMaxCollectionDepth + 1), 2 * kMaxCollectionDepth},
    {"ReportIdZero", {0x85, 0x00}, 0},
    {"ReportIdAbove255", {0x09, 0x01, 0x86, 0x00, 0x01}, 2},
};

void PrintTo(const Malformed& malformed, std::ostream* out) { *out << malformed.name; }

class MalformedTest : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedTest, IsRejectedAtTheOffendingItem) {
  const ReportDescriptorResult result = Parse(GetParam().descriptor);
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(result.errorOffset, GetParam().offset) << result.error;
  EXPECT_EQ(result.summary.InputReportByteLength, 0);
  EXPECT_EQ(result.summary.OutputReportByteLength, 0);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, MalformedTest, testing::ValuesIn(kMalformed),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReportDescriptorTest, ValueCapsBeyond16BitsAreRejected) {
  // 65,536 two-bit value items: the count would wrap to 0.
  const Bytes descriptor = Join({{0x75, 0x02, 0x95, 0x01}, Repeat({0x81, 0x02}, 65536)});
  const ReportDescriptorResult result = Parse(descriptor);
  EXPECT_FALSE(result.Ok());
  EXPECT_EQ(result.errorOffset, 4u + 2u * 65535u) << result.error;
}

TEST(ReportDescriptorTest, EveryTruncationAndRandomBytesStayInBounds) {
  // Each prefix of each known descriptor, and random byte strings: parsed
  // or rejected, never a read past the end (ASan watches the exact copies).
  for (const KnownDevice& device : kKnownDevices) {
    for (std::size_t n = 0; n <= device.descriptor->size(); ++n) {
      const Bytes prefix(device.descriptor->begin(), device.descriptor->begin() + n);
      const ReportDescriptorResult result = Parse(prefix);
      if (!result.Ok()) {
        EXPECT_LE(result.errorOffset, n);
      }
    }
  }
  std::mt19937 random(20240601);
  for (int i = 0; i < 3000; ++i) {
    Bytes bytes(random() % 48);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    const ReportDescriptorResult result = Parse(bytes);
    if (!result.Ok()) {
      EXPECT_LE(result.errorOffset, bytes.size());
    }
  }
}

}  // namespace
}  // namespace tovrix
