// Approved and signed images: refused before any unit is touched (no
// report reaches the emulated unit, a station does not start), taken and
// stated otherwise. The keys and signatures are Debian minisign's
// (trust_fixtures.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/sha256.h"
#include "messages/messages.h"
#include "tests/cli/flash_run.h"
#include "tests/cli/trust_fixtures.h"
#include "trust/trust.h"

// The cases name only the fields they set (designated initializers): the
// rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace tovrix {
namespace {

namespace fx = test::trust_fixtures;
using cli::kFailed;
using cli::kUpdated;

// The key id that minisign wrote in the key file's comment.
std::string CommentedKeyId(const std::string& keyFile) {
  const std::string lead = "untrusted comment: minisign public key ";
  return keyFile.substr(lead.size(), 16);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// Line n (from 0) of text replaced.
std::string LineReplaced(const std::string& text, std::size_t n, const std::string& line) {
  std::vector<std::string> lines = test::SplitLines(text);
  lines.at(n) = line;
  std::string joined;
  for (const std::string& l : lines) joined += l + "\n";
  return joined;
}

struct TrustCase {
  const char* name;
  std::string image = fx::kImage;
  std::optional<std::string> signature = std::string(fx::kSignature);  // SIGNED.HEX.minisig; none: missing
  std::vector<std::string> keys = {fx::kKey};                           // key0.pub, key1.pub, ...
  std::vector<std::string> args;  // {DIR} is the folder of the files
  int status = kUpdated;
  std::string error;        // a part of the refusal's text (refused: status 1)
  std::string imageFields;  // the image event's fields after its digest
};

std::vector<TrustCase> Cases() {
  const std::string key = CommentedKeyId(fx::kKey);
  const std::string other = CommentedKeyId(fx::kOtherKey);
  const std::string digest = cli::Sha256Hex(fx::kImage);
  const std::string signedBy = R"(,"key_id":")" + key + R"(","trusted_comment":"TovrixPro 2.4\tfor line 3")";
  std::string upper = digest;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char ch) { return std::toupper(ch); });
  std::string changed = fx::kImage;
  changed[20] = changed[20] == '0' ? '1' : '0';
  return {
      {.name = "prehashed_taken", .imageFields = signedBy},
      {.name = "legacy_taken", .signature = fx::kLegacySignature,
       .imageFields = R"(,"key_id":")" + key + R"(","trusted_comment":"legacy form")"},
      {.name = "one_of_two_keys", .keys = {fx::kOtherKey, fx::kKey}, .imageFields = signedBy},
      {.name = "signature_named", .signature = std::nullopt, .args = {"--signature", "{DIR}/elsewhere.minisig"},
       .imageFields = signedBy},
      {.name = "one_byte_changed", .image = changed, .status = kFailed,
       .error = "The image does not match its signature by key " + key},
      {.name = "other_key", .signature = fx::kOtherSignature, .status = kFailed,
       .error = "The image is signed by key " + other + ", not by the trusted key " + key + " ("},
      {.name = "trusted_comment_changed",
       .signature = Replaced(fx::kSignature, "for line 3", "for line 4"), .status = kFailed,
       .error = "was changed after it was signed by key " + key},
      {.name = "global_signature_of_another", .signature = LineReplaced(fx::kSignature, 3,
                                                                       test::SplitLines(fx::kLegacySignature)[3]),
       .status = kFailed, .error = "The trusted comment of the signature"},
      {.name = "missing_signature", .signature = std::nullopt, .status = kFailed,
       .error = "No signature for the image: cannot read "},
      {.name = "signature_not_base64", .signature = LineReplaced(fx::kSignature, 1, "RUT!!"), .status = kFailed,
       .error = "is not a minisign signature: its second line is not the base64 of 74 bytes"},
      {.name = "signature_without_comment", .signature = LineReplaced(fx::kSignature, 2, "comment: x"),
       .status = kFailed, .error = "its third line is not \"trusted comment: ...\""},
      {.name = "signature_cut_short", .signature = test::SplitLines(fx::kSignature)[0] + "\n", .status = kFailed,
       .error = "its second line is not the base64 of 74 bytes"},
      {.name = "key_malformed", .keys = {"untrusted comment: x\nRWTnotakey\n"}, .status = kFailed,
       .error = "is not a minisign public key: its key line is not the base64 of 42 bytes"},
      {.name = "key_empty", .keys = {""}, .status = kFailed, .error = "it has no key line"},
      {.name = "sha256_approved", .signature = std::nullopt, .keys = {}, .args = {"--sha256", digest},
       .imageFields = R"(,"approved":true)"},
      {.name = "sha256_in_capitals_approved", .signature = std::nullopt, .keys = {},
       .args = {"--sha256", std::string(64, 'A'), "--sha256", upper},
       .imageFields = R"(,"approved":true)"},
      {.name = "sha256_not_approved", .signature = std::nullopt, .keys = {}, .args = {"--sha256", std::string(64, 'a')},
       .status = kFailed, .error = "Image not approved: its SHA-256 " + digest + " is not among the approved digests",
       .imageFields = R"(,"approved":false)"},
      {.name = "approved_and_signed", .args = {"--sha256", digest},
       .imageFields = R"(,"approved":true)" + signedBy},
      {.name = "not_approved_though_signed", .args = {"--sha256", std::string(64, '0')}, .status = kFailed,
       .error = "Image not approved", .imageFields = R"(,"approved":false)"},
  };
}

struct TrustRun : test::FlashOutput {
  int reports = 0;  // reports the emulated unit received
};

TrustRun RunCase(const TrustCase& c, std::vector<std::string> extra, const std::function<void(cli::FlashIo&)>& more = {}) {
  test::TempDir dir;
  const std::string image = test::WriteImage(dir, c.image, "SIGNED.HEX");
  std::vector<std::string> args = {"--emulate=fast"};
  for (std::size_t i = 0; i < c.keys.size(); ++i) {
    args.push_back("--key");
    args.push_back(dir.Write("key" + std::to_string(i) + ".pub", c.keys[i]));
  }
  const bool named = std::find(c.args.begin(), c.args.end(), "--signature") != c.args.end();
  if (named) dir.Write("elsewhere.minisig", fx::kSignature);
  if (c.signature) dir.Write("SIGNED.HEX.minisig", *c.signature);
  for (std::string arg : c.args) {
    if (const auto at = arg.find("{DIR}"); at != std::string::npos) arg.replace(at, 5, dir.path().string());
    args.push_back(arg);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(image);
  TrustRun run;
  std::atomic<int> reports{0};
  static_cast<test::FlashOutput&>(run) = test::RunFlash(args, [&](cli::FlashIo& io) {
    io.emulatorEvents.sent = [&](const uint8_t*, std::size_t) { ++reports; };
    if (more) more(io);
  });
  run.reports = reports;
  return run;
}

class TrustTest : public ::testing::TestWithParam<TrustCase> {};

TEST_P(TrustTest, RefusedBeforeAnyUnitOrTaken) {
  const TrustCase& c = GetParam();
  const TrustRun run = RunCase(c, {"--json"});
  EXPECT_EQ(run.status, c.status) << run.out;
  const std::vector<std::string> events = test::SplitLines(run.out);
  ASSERT_FALSE(events.empty());
  // The image event first, its digest that of the bytes read.
  const std::string lead = R"({"event":"image","path":")";
  ASSERT_EQ(events[0].rfind(lead, 0), 0u) << events[0];
  const std::string tail = R"(,"sha256":")" + cli::Sha256Hex(c.image) + "\"" + c.imageFields + "}";
  EXPECT_EQ(events[0].substr(events[0].size() - std::min(events[0].size(), tail.size())), tail);
  if (c.status == kUpdated) {
    EXPECT_GT(run.reports, 0);
    return;
  }
  // Refused: nothing reached the unit, the error said why, then done.
  EXPECT_EQ(run.reports, 0);
  ASSERT_EQ(events.size(), 3u) << run.out;
  EXPECT_EQ(events[1].rfind(R"({"event":"error","text":)", 0), 0u);
  EXPECT_NE(events[1].find(cli::JsonString(c.error).substr(1, c.error.size())), std::string::npos) << events[1];
  EXPECT_NE(events[1].find("; no unit was touched\"}"), std::string::npos) << events[1];
}

// For people: the refusal on standard error within 80 columns, the digest
// whole on one of its lines; the trusted comment in the image's line with
// its tab escaped.
TEST_P(TrustTest, ToldOnStandardError) {
  const TrustCase& c = GetParam();
  const TrustRun run = RunCase(c, {});
  EXPECT_EQ(run.status, c.status);
  ASSERT_FALSE(run.imageLine.empty()) << run.errWhole;
  if (c.status == kUpdated) {
    EXPECT_EQ(run.err, "");
    if (c.imageFields.find("key_id") != std::string::npos) {
      EXPECT_NE(run.imageLine.find(", signed by key " + CommentedKeyId(fx::kKey) + ", trusted comment: "),
                std::string::npos);
      EXPECT_EQ(run.imageLine.find('\t'), std::string::npos);
    }
    return;
  }
  EXPECT_NE(test::Unwrapped(run.err).find(c.error), std::string::npos) << run.err;
  for (const std::string& line : test::SplitLines(run.err)) {
    // A path has no blank to break at: the folder's is long.
    if (line.find('/') == std::string::npos && line.find('\\') == std::string::npos) {
      EXPECT_LE(line.size(), cli::kPeopleColumns) << line;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, TrustTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A station whose image is refused does not start: no unit, no summary;
// its board says why.
TEST(TrustStation, RefusedImageStartsNoStation) {
  TrustCase c{.name = "station", .signature = std::nullopt, .keys = {}, .args = {"--sha256", std::string(64, 'b')}};
  const TrustRun json = RunCase(c, {"--all", "--units", "3", "--json"});
  EXPECT_EQ(json.status, kFailed);
  EXPECT_EQ(json.reports, 0);
  EXPECT_EQ(json.out.find(R"("event":"summary")"), std::string::npos) << json.out;
  EXPECT_EQ(json.out.find(R"("event":"unit")"), std::string::npos) << json.out;

  const TrustRun board = RunCase(c, {"--repeat", "--all", "--units", "3"}, [](cli::FlashIo& io) {
    io.errIsTerminal = true;
    io.errSize = [] { return cli::TerminalSize{120, 40}; };
  });
  EXPECT_EQ(board.status, kFailed);
  EXPECT_EQ(board.reports, 0);
  EXPECT_NE(board.errWhole.find("image refused: not approved, SHA-256 " + cli::Sha256Hex(fx::kImage)),
            std::string::npos)
      << board.errWhole;
  EXPECT_EQ(board.out, "");
}

TEST(ApprovedList, DigestsCommentsBlankLinesAndNotes) {
  const std::string a(64, 'a'), b(64, 'B');
  struct ListCase {
    std::string text;
    std::vector<std::string> digests;
    int badLine;  // 0: none
  };
  const std::vector<ListCase> cases = {
      {"", {}, 0},
      {"# approved for line 3\n\n" + a + "\r\n  " + b + "  TOVRIXPRO.HEX\n", {a, std::string(64, 'b')}, 0},
      {a + " # v2.4\n" + a + "\t*image.hex", {a, a}, 0},
      {a + "\n" + a.substr(1) + "\n", {}, 2},
      {a + "0\n", {}, 1},
      {std::string(63, 'a') + "g\n", {}, 1},
      {"sha256: " + a + "\n", {}, 1},
  };
  for (const ListCase& c : cases) {
    std::vector<std::string> digests;
    const auto fault = trust::ParseApprovedList(c.text, digests);
    EXPECT_EQ(fault ? fault->line : 0, c.badLine) << c.text;
    EXPECT_EQ(digests, c.digests) << c.text;
  }
}

// Bad values are bad usage (status 2), each with its reason.
TEST(TrustOptions, BadValuesAreBadUsage) {
  test::TempDir dir;
  const std::string bad = dir.Write("approved.txt", std::string(64, 'c') + "\nnot a digest\n");
  const std::string missing = (dir.path() / "none.txt").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--sha256", "abc"}, "--sha256 takes a SHA-256 of 64 hexadecimal digits: abc"},
      {{"--sha256", std::string(64, 'x')}, "--sha256 takes a SHA-256 of 64 hexadecimal digits"},
      {{"--approved", bad}, "--approved: line 2 of " + bad + " is not a SHA-256 of 64 hexadecimal digits: not a digest"},
      {{"--approved", missing}, "--approved: cannot read " + missing + ": "},
      {{"--signature", "x.minisig"}, "--signature names the image's signature: it needs --key"},
  };
  for (const auto& [args, error] : cases) {
    std::string why;
    EXPECT_FALSE(cli::ParseFlashOptions(args, why)) << args[0];
    EXPECT_EQ(why.substr(0, error.size()), error);
  }
}

}  // namespace
}  // namespace tovrix
