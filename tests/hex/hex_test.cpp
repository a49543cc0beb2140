#include <gtest/gtest.h>

#include <string>

#include "hex/hex.h"

namespace tovrix {
namespace {

struct LineCase {
  const char* line;
  HexError error;
  int16_t count;
  int32_t address;  // checked when there is no error
  const char* message;  // for line 12
};

class ParseHexLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(ParseHexLineTest, ChecksInOrder) {
  const LineCase& c = GetParam();
  HexRecord record;
  const HexLineResult result = ParseHexLine(c.line, record);
  EXPECT_EQ(result.error, c.error) << c.line;
  EXPECT_EQ(result.count, c.count) << c.line;
  if (c.error == HexError::None) {
    EXPECT_EQ(record.RecordAddress, c.address) << c.line;
  }
  EXPECT_EQ(HexErrorMessage(result, 12), c.message) << c.line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ParseHexLineTest,
    ::testing::Values(
        LineCase{":10200000000102030405060708090A0B0C0D0E0F58", HexError::None, 16, 0x2000, ""},
        LineCase{":10200000000102030405060708090a0b0c0d0e0f58", HexError::None, 16, 0x2000, ""},
        LineCase{":00000001FF", HexError::None, 0, 0, ""},
        LineCase{":00000001FF   trailing text", HexError::None, 0, 0, ""},
        LineCase{":00200000E0", HexError::None, 0, 0x2000, ""},
        LineCase{":020000040001F9", HexError::None, 0, 0, ""},
        LineCase{"", HexError::NotRecord, 0, 0, "Invalid HEX on line 12"},
        LineCase{" :00000001FF", HexError::NotRecord, 0, 0, "Invalid HEX on line 12"},
        LineCase{":", HexError::UnexpectedEnd, 0, 0, "Unexpected end of line 12"},
        LineCase{":1020", HexError::UnexpectedEnd, 0, 0, "Unexpected end of line 12"},
        LineCase{":1", HexError::UnexpectedEnd, 0, 0, "Unexpected end of line 12"},
        LineCase{":10200000000102", HexError::UnexpectedEnd, 0, 0, "Unexpected end of line 12"},
        LineCase{":1G", HexError::InvalidDigit, 0, 0, "Invalid HEX digit in line 12"},
        LineCase{":G1", HexError::InvalidDigit, 0, 0, "Invalid HEX digit in line 12"},
        LineCase{":00 00001FF", HexError::InvalidDigit, 0, 0, "Invalid HEX digit in line 12"},
        LineCase{":0000000\xC3\xBF", HexError::InvalidDigit, 0, 0, "Invalid HEX digit in line 12"},
        LineCase{":10200000000102030405060708090A0B0C0D0E0F59", HexError::InvalidChecksum, 0, 0,
                 "Invalid checksum on line 12"},
        LineCase{":020000021000EC", HexError::UnknownType, 0, 0, "Unknown HEX record type 2 on line 12"},
        LineCase{":0400000500000000F7", HexError::UnknownType, 0, 0,
                 "Unknown HEX record type 5 on line 12"},
        LineCase{":00000010F0", HexError::UnknownType, 0, 0, "Unknown HEX record type 16 on line 12"},
        // A wrong checksum is reported before an unknown type.
        LineCase{":00000010F1", HexError::InvalidChecksum, 0, 0, "Invalid checksum on line 12"},
        // A digit error inside the checksum pair is a digit error, not a length error.
        LineCase{":00000001FG", HexError::InvalidDigit, 0, 0, "Invalid HEX digit in line 12"},
        LineCase{":00000001F", HexError::UnexpectedEnd, 0, 0, "Unexpected end of line 12"}));

TEST(ParseHexLine, StoresDataBytes) {
  HexRecord record;
  ASSERT_EQ(ParseHexLine(":10200000000102030405060708090A0B0C0D0E0F58", record).count, 16);
  for (int k = 0; k < 16; ++k) EXPECT_EQ(record.RecordData[k], k);
}

TEST(ParseHexLine, ExtendedBaseCarriesOverAndAddsToLaterRecords) {
  HexRecord record;
  ParseHexLine(":020000040001F9", record);
  EXPECT_EQ(record.ExtendedBase, 65536);
  // Data whose first two bytes would give another base (0x1234), should a
  // later record be taken for an extended address.
  ParseHexLine(":10200000123402030405060708090A0B0C0D0E0F13", record);
  EXPECT_EQ(record.ExtendedBase + record.RecordAddress, 0x12000);
  ParseHexLine(":00000001FF", record);
  EXPECT_EQ(record.ExtendedBase, 65536);
}

TEST(ParseHexLine, ExtendedBaseTakesTheFullUpperWordWithoutOverflow) {
  HexRecord record;
  ParseHexLine(":02000004FFFFFC", record);
  EXPECT_EQ(record.ExtendedBase, int64_t{0xFFFF} * 65536);
}

TEST(ParseHexLine, ExtendedAddressWithCountZeroUsesTheDataAsTheyStand) {
  HexRecord record;
  ParseHexLine(":020000040003F7", record);  // leaves 00 03 in the data
  ParseHexLine(":00000004FC", record);      // count 0: the old bytes are used
  EXPECT_EQ(record.ExtendedBase, 3 * 65536);
}

TEST(ParseHexLine, DataAreStoredBeforeTheChecksumIsVerified) {
  HexRecord record;
  ParseHexLine(":0200000012340000", record);  // bad checksum
  EXPECT_EQ(record.RecordData[0], 0x12);
  EXPECT_EQ(record.RecordData[1], 0x34);
}

TEST(ParseHexLine, TakesRecordsOfUpTo255Bytes) {
  std::string line = ":FF000000";
  unsigned sum = 0xFF;
  for (int i = 0; i < 255; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02X", i);
    line += pair;
    sum += i;
  }
  char check[3];
  std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  line += check;
  HexRecord record;
  const HexLineResult result = ParseHexLine(line, record);
  ASSERT_EQ(result.error, HexError::None);
  EXPECT_EQ(result.count, 255);
  EXPECT_EQ(record.RecordData[254], 254);
}

TEST(ReadHexBytes, TakesPairsOffTheFront) {
  std::string_view text = "1A2bC3";
  const HexBytesResult two = ReadHexBytes(text, 2);
  EXPECT_EQ(two.error, HexError::None);
  EXPECT_EQ(two.value, 0x1A2B);
  EXPECT_EQ(text, "C3");
  // Both characters of a pair are taken before either is tested.
  std::string_view bad = "X1FF";
  EXPECT_EQ(ReadHexBytes(bad, 1).error, HexError::InvalidDigit);
  EXPECT_EQ(bad, "FF");
}

}  // namespace
}  // namespace tovrix
