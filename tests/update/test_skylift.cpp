// The update client's exchange fed block by block: list evaluation, requests, pieces, verdicts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "UpdateBlocks.h"
#include "update/Skylift.h"

namespace fs = std::filesystem;
using blocks::ListEntry;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::SetTime;
using testsupport::TimeOf;
using testsupport::WriteFile;

namespace {

constexpr int32_t kTime = 1600000000;

// One exchange over folders below a temporary folder, recording what it sends and notifies.
struct Harness {
  TempDir dir;
  SkyFolders folders;
  std::atomic<int> state{kSkyStateRunning};
  std::vector<std::string> sent;
  std::vector<std::tuple<int, int, int>> notes;
  std::unique_ptr<SkyliftExchange> ex;

  explicit Harness(bool checkOnly = false) {
    folders.Set('M', dir.file("M"));
    folders.Set('P', dir.file("P"));
    folders.Set('T', dir.file("T"));
    fs::create_directories(dir.file("M"));
    SkyliftExchange::Hooks hooks{
        .push = [this](const char* b, int) { sent.emplace_back(b, blocks::kClientBlock); return 0; },
        .notify = [this](int m, int w, int l) { notes.emplace_back(m, w, l); }};
    ex = std::make_unique<SkyliftExchange>(folders, checkOnly, 256, 32768, "", std::move(hooks), state);
  }
  bool Feed(const std::string& block) { return ex->OnBlock(std::span<const char>(block.data(), block.size())); }
  std::string M(const std::string& name) const { return dir.file("M/" + name); }
  std::vector<int> Requested() const {
    std::vector<int> all;
    for (const auto& b : sent) {
      auto r = blocks::ReadRequest(b);
      all.insert(all.end(), r.positions.begin(), r.positions.end());
    }
    return all;
  }
};

std::vector<ListEntry> NeededFiles(int n) {
  std::vector<ListEntry> entries;
  for (int i = 0; i < n; ++i) entries.push_back({'C', 'M', "", "f" + std::to_string(i), 1, kTime});
  return entries;
}

}  // namespace

TEST(SkyliftRequest, SplitsAtOneHundredTwentyOnePositions) {
  struct Case {
    int needed;
    std::vector<std::pair<int32_t, int>> blocks;  // length and continuation byte of each request block
  };
  const Case cases[] = {
      {0, {{0, 0}}},
      {1, {{3, 0}}},
      {121, {{243, 0}}},
      {122, {{243, 1}, {3, 1}}},
      {200, {{243, 1}, {159, 1}}},
      // A split request whose last block would be full ends with one that holds no position.
      {242, {{243, 1}, {243, 1}, {1, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needed);
    Harness h;
    EXPECT_TRUE(h.Feed(blocks::List(false, c.needed, NeededFiles(c.needed))));
    ASSERT_EQ(h.sent.size(), c.blocks.size());
    std::vector<int> positions;
    for (size_t i = 0; i < c.blocks.size(); ++i) {
      auto r = blocks::ReadRequest(h.sent[i]);
      EXPECT_EQ(r.length, c.blocks[i].first);
      if (r.length > 0) {
        EXPECT_EQ(r.flag, c.blocks[i].second);
      }
      positions.insert(positions.end(), r.positions.begin(), r.positions.end());
    }
    std::vector<int> expected(static_cast<size_t>(c.needed));
    for (int i = 0; i < c.needed; ++i) expected[static_cast<size_t>(i)] = i;
    EXPECT_EQ(positions, expected);
  }
}

TEST(SkyliftRequest, ListOverSeveralBlocksIsEvaluatedOnceWhole) {
  Harness h;
  auto all = NeededFiles(5);
  EXPECT_TRUE(h.Feed(blocks::List(true, 5, {all[0], all[1]})));
  EXPECT_TRUE(h.sent.empty());
  EXPECT_TRUE(h.Feed(blocks::List(false, 0, {all[2], all[3], all[4]})));  // the total of later blocks is not read
  EXPECT_EQ(h.Requested(), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(h.Feed(blocks::List(false, 5, all)));  // a list after the list changes nothing
  EXPECT_EQ(h.sent.size(), 1u);
}

TEST(SkyliftEvaluate, DecidesEachKeyFromTheLocalFile) {
  struct Case {
    const char* what;
    char key;
    bool exists;
    int64_t mtimeOffset;  // local modification time − lTime
    int32_t localSize;
    bool requested;
  };
  const Case cases[] = {
      {"C missing", 'C', false, 0, 4, true},
      {"C present", 'C', true, -1000, 1, false},
      {"U same", 'U', true, 0, 4, false},
      {"U 59 s newer", 'U', true, 59, 4, false},
      {"U 59 s older", 'U', true, -59, 4, false},
      {"U 60 s older", 'U', true, -60, 4, true},
      {"U 60 s newer", 'U', true, 60, 4, true},
      {"U other size", 'U', true, 0, 5, true},
      {"U missing", 'U', false, 0, 4, true},
      {"G same time", 'G', true, 0, 9, false},
      {"G newer", 'G', true, 100, 9, false},
      {"G one second older", 'G', true, -1, 4, true},
      {"G missing", 'G', false, 0, 4, true},
      {"other key", 'K', false, 0, 4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    if (c.exists) {
      WriteFile(h.M("x.bin"), std::string(static_cast<size_t>(c.localSize), 'x'));
      SetTime(h.M("x.bin"), kTime + c.mtimeOffset);
    }
    h.Feed(blocks::List(false, 1, {{c.key, 'M', "", "x.bin", 4, kTime}}));
    EXPECT_EQ(h.Requested(), c.requested ? std::vector<int>{0} : std::vector<int>{});
  }
}

TEST(SkyliftEvaluate, DeleteRemovesTheLocalFileAndRequestsNothing) {
  Harness h;
  WriteFile(h.M("old.dll"), "old");
  h.Feed(blocks::List(false, 1, {{'D', 'M', "", "old.dll", 0, 0}}));
  EXPECT_FALSE(fs::exists(h.M("old.dll")));
  EXPECT_TRUE(h.Requested().empty());
}

TEST(SkyliftEvaluate, EntriesLeavingTheirFolderOrWithoutOneAreSkipped) {
  Harness h;
  WriteFile(h.dir.file("victim"), "keep me");
  const std::vector<ListEntry> entries = {
      {'C', 'M', "..", "evil", 1, kTime},
      {'C', 'M', "", "../up", 1, kTime},
      {'C', 'M', "/abs", "x", 1, kTime},
      {'C', 'M', "", "/etc/x", 1, kTime},
      {'C', 'M', "a\\..\\..", "x", 1, kTime},
      {'C', 'M', "C:\\", "x", 1, kTime},
      {'D', 'M', "..", "victim", 0, 0},
      {'C', 'Q', "", "unknown-letter", 1, kTime},
      {'C', 'S', "", "unset-folder", 1, kTime},
      {'C', 'M', "sub", "fine", 1, kTime},
  };
  h.Feed(blocks::List(false, static_cast<int32_t>(entries.size()), entries));
  EXPECT_EQ(h.Requested(), std::vector<int>{9});
  EXPECT_EQ(ReadFile(h.dir.file("victim")), "keep me");
  EXPECT_FALSE(fs::exists(h.dir.file("evil")));
  EXPECT_TRUE(fs::is_directory(h.M("sub")));
}

TEST(SkyliftEvaluate, EntryWithoutFileNameEndsTheEvaluation) {
  Harness h;
  h.Feed(blocks::List(false, 3, {{'C', 'M', "", "a", 1, kTime}, {'C', 'M', "", "", 1, kTime}, {'C', 'M', "", "c", 1, kTime}}));
  EXPECT_EQ(h.Requested(), std::vector<int>{0});
}

TEST(SkyliftList, EntriesBeyondTheAnnouncedTotalAreDropped) {
  Harness h;
  h.Feed(blocks::List(false, 2, NeededFiles(5)));
  EXPECT_EQ(h.ex->Files().size(), 2u);
  EXPECT_EQ(h.Requested(), (std::vector<int>{0, 1}));
}

TEST(SkyliftList, ImpossibleTotalsAndCutEntriesAreDropped) {
  Harness h;
  h.Feed(blocks::List(true, -1, NeededFiles(1)));
  h.Feed(blocks::List(true, 70000, NeededFiles(1)));
  EXPECT_TRUE(h.ex->Files().empty());
  // An entry whose lengths run past the block: the block's rest is dropped.
  testsupport::ByteWriter p;
  p.u8(0).u32le(2).u32le(2);
  p.u8('C').u8('M').u16le(0).u16le(1).text("a").u32le(1).u32le(kTime);
  p.u8('C').u8('M').u16le(0).u16le(32767).text("b");
  h.Feed(blocks::Block("_PFLIST:", p.str()));
  EXPECT_EQ(h.ex->Files().size(), 1u);
  EXPECT_EQ(h.Requested(), std::vector<int>{0});
}

TEST(SkyliftBlocks, UnknownMarkersAndImpossibleLengthsAreDropped) {
  Harness h;
  std::string negative = blocks::Block("_PAREND:", "");
  negative[12] = static_cast<char>(0x80);  // length < 0
  std::string tooLong = blocks::Block("_PAREND:", "");
  tooLong[11] = 1;  // 65536 > what a block holds
  for (const auto& b : {blocks::Block("_XXXXXX:", ""), blocks::Block("_parend:", ""), negative, tooLong,
                        blocks::Block("_GSECTN:", "x"), blocks::Block("_GFNDEX:", "")}) {
    EXPECT_TRUE(h.Feed(b));
    EXPECT_EQ(h.state.load(), kSkyStateRunning);
  }
  EXPECT_TRUE(h.Feed(blocks::Block("_PERMSG:", "7")));
  EXPECT_EQ(h.state.load(), kSkyStateRefused);
  EXPECT_EQ(h.notes.back(), std::make_tuple(kSkyMsgError, kSkyErrorId, -7));
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  EXPECT_EQ(h.state.load(), kSkyStateDone);
}

TEST(SkyliftPieces, CheckModeStopsAtTheFirstPieceWithoutWriting) {
  Harness h(true);
  h.Feed(blocks::List(false, 1, {{'C', 'M', "", "a.bin", 4, kTime}}));
  EXPECT_FALSE(h.Feed(blocks::Piece(true, 0, "ab")));
  EXPECT_EQ(h.state.load(), kSkyStateUpdate);
  EXPECT_FALSE(fs::exists(h.M("a.bin")));
  EXPECT_FALSE(fs::exists(h.M("a.bin.bnu")));
}

TEST(SkyliftPieces, AWholeFileIsInstalledWithItsTime) {
  Harness h;
  h.Feed(blocks::List(false, 2, {{'C', 'M', "", "keep.txt", 1, kTime}, {'U', 'M', "d", "a.bin", 10, kTime}}));
  WriteFile(h.M("d/a.bin"), "old");
  EXPECT_TRUE(h.Feed(blocks::Piece(true, 1, "hello")));
  EXPECT_EQ(h.state.load(), kSkyStateUpdate);
  EXPECT_TRUE(fs::exists(h.M("d/a.bin.bnu")));
  EXPECT_EQ(ReadFile(h.M("d/a.bin")), "old");  // nothing replaced before the file is whole
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 1, "world")));
  EXPECT_EQ(ReadFile(h.M("d/a.bin")), "helloworld");
  EXPECT_EQ(TimeOf(h.M("d/a.bin")), kTime);
  EXPECT_FALSE(fs::exists(h.M("d/a.bin.bnu")));
  // 11 bytes requested in all: 5 and 10 of them received.
  const std::vector<std::tuple<int, int, int>> expected = {
      {kSkyMsgProgress, kSkyFileId, 11}, {kSkyMsgProgress, kSkyPercentId, 45}, {kSkyMsgProgress, kSkyPercentId, 90}};
  EXPECT_EQ(h.notes, expected);
}

TEST(SkyliftPieces, OnlyFilesWithTheirAnnouncedSizeAreInstalled) {
  struct Case {
    const char* what;
    std::vector<std::string> pieces;  // the last one ends the file
  };
  const Case cases[] = {{"short", {"abc", "de"}}, {"long", {"abcdef", "ghijk"}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    WriteFile(h.M("a.bin"), "old");
    h.Feed(blocks::List(false, 1, {{'U', 'M', "", "a.bin", 10, kTime}}));
    bool going = true;
    for (size_t i = 0; i < c.pieces.size() && going; ++i) going = h.Feed(blocks::Piece(i + 1 < c.pieces.size(), 0, c.pieces[i]));
    EXPECT_FALSE(going);
    EXPECT_TRUE(h.ex->Failed());
    EXPECT_EQ(ReadFile(h.M("a.bin")), "old");
    EXPECT_FALSE(fs::exists(h.M("a.bin.bnu")));
    EXPECT_EQ(h.notes.back(), std::make_tuple(kSkyMsgError, kSkyErrorId, kSkyInstallFailed));
  }
}

TEST(SkyliftPieces, PiecesForUnrequestedPositionsAreDropped) {
  Harness h;
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 0, "early")));  // before any list
  WriteFile(h.M("current"), "x");
  h.Feed(blocks::List(false, 2, {{'C', 'M', "", "current", 1, kTime}, {'C', 'M', "", "new", 1, kTime}}));
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 0, "y")));  // not requested: present already
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 2, "z")));  // outside the list
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 65535, "z")));
  EXPECT_EQ(ReadFile(h.M("current")), "x");
  EXPECT_FALSE(h.ex->Failed());
  EXPECT_EQ(h.state.load(), kSkyStateRunning);
}

TEST(SkyliftPieces, AbortRemovesTheUnfinishedFile) {
  Harness h;
  h.Feed(blocks::List(false, 1, {{'C', 'M', "", "big", 100, kTime}}));
  h.Feed(blocks::Piece(true, 0, "part"));
  ASSERT_TRUE(fs::exists(h.M("big.bnu")));
  h.ex.reset();
  EXPECT_FALSE(fs::exists(h.M("big.bnu")));
  EXPECT_FALSE(fs::exists(h.M("big")));
}

TEST(SkyliftPieces, AnEndInTheMiddleOfAFileIsAFailure) {
  Harness h;
  h.Feed(blocks::List(false, 1, {{'C', 'M', "", "big", 100, kTime}}));
  h.Feed(blocks::Piece(true, 0, "part"));
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  EXPECT_EQ(h.state.load(), kSkyStateUpdate);
  EXPECT_TRUE(h.ex->Failed());
  EXPECT_FALSE(fs::exists(h.M("big.bnu")));
  EXPECT_FALSE(fs::exists(h.M("big")));
}

TEST(SkyliftPieces, ReceivedProgramsBecomeExecutableAndKeepReplacedModes) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX permission bits: Windows keeps only a read-only attribute and no executable bit";
#endif
  Harness h;
  WriteFile(h.M("data"), "old");
  fs::permissions(h.M("data"), fs::perms::owner_read | fs::perms::owner_write);
  const std::string script = "#!/bin/sh\nexit 0\n";
  h.Feed(blocks::List(false, 3, {{'C', 'M', "", "tool", static_cast<int32_t>(script.size()), kTime},
                                 {'U', 'M', "", "data", 3, kTime},
                                 {'C', 'M', "", "plain", 2, kTime}}));
  h.Feed(blocks::Piece(false, 0, script));
  h.Feed(blocks::Piece(false, 1, "new"));
  h.Feed(blocks::Piece(false, 2, "ok"));
  auto mode = [](const std::string& p) { return fs::status(p).permissions() & fs::perms::all; };
  using P = fs::perms;
  EXPECT_EQ(mode(h.M("tool")), P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec);
  EXPECT_EQ(mode(h.M("data")), P::owner_read | P::owner_write);
  EXPECT_EQ(mode(h.M("plain")), P::owner_read | P::owner_write | P::group_read | P::others_read);
}

TEST(SkyliftLogTarget, MovesBelowTheLocalDataFolder) {
#ifdef _WIN32
  GTEST_SKIP() << "the local data folder comes from XDG_DATA_HOME on POSIX only; Windows asks the shell";
#endif
  TempDir data;
  testsupport::ScopedEnv env("XDG_DATA_HOME", data.str() + "/deep/share");
  EXPECT_EQ(RelocateSkyLogTarget("debug.log"), data.str() + "/deep/share/debug_logs/debug.log");
  EXPECT_TRUE(fs::is_directory(data.str() + "/deep/share"));
  EXPECT_FALSE(fs::exists(data.str() + "/deep/share/debug_logs"));  // switching the log on is the user's
  EXPECT_EQ(RelocateSkyLogTarget("/var/x.log"), "/var/x.log");
  EXPECT_EQ(RelocateSkyLogTarget("C:\\x.log"), "C:\\x.log");
  EXPECT_EQ(RelocateSkyLogTarget("d"), "d");
}

// Positions travel as 16-bit numbers: a list may announce 65535 files, not one more.
TEST(SkyliftList, TotalAtAndPastTheLargestPosition) {
  for (const auto& [total, kept] : {std::pair<int32_t, size_t>{65535, 1}, std::pair<int32_t, size_t>{65536, 0}}) {
    SCOPED_TRACE(total);
    Harness h;
    h.Feed(blocks::List(true, total, NeededFiles(1)));
    EXPECT_EQ(h.ex->Files().size(), kept);
  }
}
