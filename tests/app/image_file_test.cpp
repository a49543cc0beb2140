#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "app/image_file.h"
#include "tests/support/test_support.h"

namespace tovrix {
namespace {

struct SplitCase {
  const char* name;
  std::string content;
  std::vector<std::string> lines;
  std::vector<int64_t> positions;  // Position() after each line
};

class ImageFileLinesTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ImageFileLinesTest, SplitsAtEveryKindOfLineEnd) {
  const SplitCase& c = GetParam();
  test::TempDir dir;
  ImageFile file;
  ASSERT_TRUE(file.Open(dir.Write("image", c.content)));
  EXPECT_EQ(file.Length(), static_cast<int64_t>(c.content.size()));
  std::vector<std::string> lines;
  std::vector<int64_t> positions;
  std::string_view line;
  while (!file.AtEnd()) {
    ASSERT_TRUE(file.ReadLine(line));
    lines.emplace_back(line);
    positions.push_back(file.Position());
  }
  EXPECT_FALSE(file.ReadLine(line));
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(positions, c.positions);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ImageFileLinesTest,
    ::testing::Values(
        SplitCase{"empty", "", {}, {}},
        SplitCase{"crlf", "ab\r\ncd\r\n", {"ab", "cd"}, {5, 9}},
        SplitCase{"lf", "ab\ncd\n", {"ab", "cd"}, {4, 7}},
        SplitCase{"cr", "ab\rcd\r", {"ab", "cd"}, {4, 7}},
        SplitCase{"no_final_end", "ab\r\ncd", {"ab", "cd"}, {5, 7}},
        SplitCase{"empty_last_line", "ab\r\n\r\n", {"ab", ""}, {5, 7}},
        SplitCase{"lf_cr_is_two_ends", "ab\n\rcd", {"ab", "", "cd"}, {4, 5, 7}},
        SplitCase{"nul_bytes_kept", std::string("a\0b\n", 4), {std::string("a\0b", 3)}, {5}}),
    [](const auto& info) { return std::string(info.param.name); });

struct FindCase {
  const char* name;
  std::vector<std::string> files;  // in the folder; a name ending in "/" is a folder
  const char* found;               // the name found; null: none (the path asked for)
};

class FindDefaultImageTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindDefaultImageTest, ExactNameFirstElseTheOneMatchWithoutCase) {
  const FindCase& c = GetParam();
  test::TempDir dir;
  for (const std::string& file : c.files) {
    if (file.back() == '/') {
      std::filesystem::create_directory(dir.path() / file.substr(0, file.size() - 1));
    } else {
      dir.Write(file, file);
    }
  }
  const std::string asked = (dir.path() / "TOVRIXPRO.HEX").string();
  const std::string found = FindDefaultImage(asked);
  if (!c.found || std::string(c.found) == "TOVRIXPRO.HEX") {
    EXPECT_EQ(found, asked);
  } else {
    // The file of that name; where the file system ignores case (Windows),
    // the one that the exact name opens.
    std::ifstream file(found, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), c.found) << found;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Folders, FindDefaultImageTest,
    ::testing::Values(FindCase{"exact", {"TOVRIXPRO.HEX", "tovrixpro.hex"}, "TOVRIXPRO.HEX"},
                      FindCase{"mixed_case", {"TovrixPro.HEX", "other.hex"}, "TovrixPro.HEX"},
                      FindCase{"lower_case", {"tovrixpro.hex"}, "tovrixpro.hex"},
                      FindCase{"several_spellings", {"TovrixPro.hex", "tovrixpro.HEX"}, nullptr},
                      FindCase{"a_folder_is_not_taken", {"tovrixpro.hex/"}, nullptr},
                      FindCase{"exact_folder_is_what_fails_to_open", {"TOVRIXPRO.HEX/", "tovrixpro.hex"},
                               "TOVRIXPRO.HEX"},
                      FindCase{"only_the_whole_name", {"TOVRIXPRO.HEX.bak", "old-tovrixpro.hex"}, nullptr},
                      FindCase{"empty_folder", {}, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ImageFile, LongLinesAndACrLfAtAChunksEdge) {
  test::TempDir dir;
  const std::string longLine(200'000, 'x');
  std::string content = longLine + "\r\n";
  content.insert(0, std::string(65'535, 'y') + "\r\n");  // CR is the read's first chunk's last byte
  ImageFile file;
  ASSERT_TRUE(file.Open(dir.Write("image", content)));
  std::string_view line;
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line.size(), 65'535u);
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, longLine);
  EXPECT_TRUE(file.AtEnd());
  EXPECT_EQ(file.Position(), static_cast<int64_t>(content.size()) + 1);
}

// Lines of every length around the buffer's size, so that line ends fall
// on both sides of every refill, split alike whatever ends them.
TEST(ImageFile, ManyLinesAcrossRefillsSplitAlikeWithEveryLineEnd) {
  std::vector<std::string> expected;
  for (int i = 0; expected.size() < 12'000; ++i) expected.push_back(std::string(i % 37, 'a' + i % 26));
  test::TempDir dir;
  for (const char* end : {"\r\n", "\n", "\r"}) {
    std::string content;
    for (const auto& line : expected) content += line + end;
    ImageFile file;
    ASSERT_TRUE(file.Open(dir.Write("image", content)));
    std::vector<std::string> lines;
    std::string_view line;
    while (file.ReadLine(line)) lines.emplace_back(line);
    EXPECT_EQ(lines, expected) << int(end[0]) << " " << std::string(end).size();
    EXPECT_EQ(file.Position(), static_cast<int64_t>(content.size()) + 1);
  }
}

TEST(ImageFile, RewindStartsAgain) {
  test::TempDir dir;
  ImageFile file;
  ASSERT_TRUE(file.Open(dir.Write("image", "ab\ncd\n")));
  std::string_view line;
  while (file.ReadLine(line)) {
  }
  file.Rewind();
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(file.Position(), 4);
}

TEST(ImageFile, RefusesWhatIsNotAReadableFile) {
  test::TempDir dir;
  ImageFile missing;
  EXPECT_FALSE(missing.Open((dir.path() / "none").string()));
  EXPECT_EQ(missing.ErrorText(), "No such file or directory");
  ImageFile directory;
  EXPECT_FALSE(directory.Open(dir.path().string()));
  EXPECT_EQ(directory.ErrorText(), "Is a directory");
}

// The image is held as it was read: the file rewritten, cut short or
// deleted afterwards changes no line, and a second reader of the same read
// sees the same lines.
TEST(ImageFile, LinesComeFromTheOneRead) {
  test::TempDir dir;
  const std::string path = dir.Write("image", "ab\r\ncd\r\n");
  ImageFile file;
  ASSERT_TRUE(file.Open(path));
  std::string_view line;
  ASSERT_TRUE(file.ReadLine(line));
  dir.Write("image", "x");
  ASSERT_TRUE(file.ReadLine(line));
  EXPECT_EQ(line, "cd");
  std::filesystem::remove(path);
  ImageFile again;
  ASSERT_TRUE(again.Use(file.Image()));
  ASSERT_TRUE(again.ReadLine(line));
  EXPECT_EQ(line, "ab");
  EXPECT_EQ(again.Length(), 8);
}

// The limit: an image of kMaxImageBytes is read, one byte more is refused
// unread, with its size.
TEST(ImageFile, TakesImagesUpToTheLimit) {
  test::TempDir dir;
  for (const int64_t size : {kMaxImageBytes, kMaxImageBytes + 1}) {
    const std::string path = (dir.path() / "big").string();
    std::filesystem::resize_file(dir.Write("big", ""), static_cast<std::uintmax_t>(size));
    ImageFile file;
    EXPECT_EQ(file.Open(path), size <= kMaxImageBytes);
    EXPECT_EQ(file.TooLarge(), size > kMaxImageBytes);
    EXPECT_EQ(file.Image()->size, size);
  }
  EXPECT_EQ(TooLargeText(70'000'000), "70000000 bytes, more than the limit of 67108864 bytes (64 MiB)");
}

// A file that changes between its size check and its read is read as it
// is then: one that grew past the limit is refused as too large with the
// size it has now, whatever its size was at the check.
struct GrowCase {
  const char* name;
  int64_t atCheck;
  int64_t atRead;
};

class ImageFileGrowsTest : public ::testing::TestWithParam<GrowCase> {};

TEST_P(ImageFileGrowsTest, IsReadAsItIsWhenRead) {
  const GrowCase& c = GetParam();
  test::TempDir dir;
  const std::filesystem::path path = dir.Write("image.hex", "");
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(c.atCheck));
  const auto image = ReadImageFile(path.string(), [&] {
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(c.atRead));
  });
  const bool fits = c.atRead <= kMaxImageBytes;
  EXPECT_EQ(image->read, fits);
  EXPECT_EQ(image->tooLarge, !fits);
  EXPECT_EQ(image->size, c.atRead);
  EXPECT_EQ(static_cast<int64_t>(image->bytes.size()), fits ? c.atRead : 0);
  EXPECT_TRUE(image->error.empty()) << image->error;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ImageFileGrowsTest,
    ::testing::Values(GrowCase{"empty_to_one_past", 0, kMaxImageBytes + 1},
                      GrowCase{"small_to_one_past", 100, kMaxImageBytes + 1},
                      GrowCase{"at_the_limit_to_one_past", kMaxImageBytes, kMaxImageBytes + 1},
                      GrowCase{"below_to_far_past", kMaxImageBytes - 1, 70'000'000},
                      GrowCase{"small_to_the_limit", 100, kMaxImageBytes},
                      GrowCase{"shrunk", 5000, 10}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovrix
