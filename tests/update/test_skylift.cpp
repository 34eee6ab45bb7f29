// The update client's exchange fed block by block: list evaluation, requests, pieces, verdicts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "ArchiveFixtures.h"
#include "SignedFixtures.h"
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
// Lists are fed as a signed server lists them: the manifest and its signature first, each file
// followed by its signature; positions in the tests are those of the files alone.
struct Harness {
  TempDir dir;
  SkyFolders folders;
  std::atomic<int> state{kSkyStateRunning};
  std::vector<std::string> sent;
  std::vector<std::tuple<int, int, int>> notes;
  std::unique_ptr<SkyliftExchange> ex;
  signedfx::Publisher publisher;
  std::vector<int> positionOf;      // file index → list position
  std::vector<int> fileAt;          // list position → file index, or -1 for the signed parts
  std::vector<std::string> dataAt;  // list position → what the server would send

  explicit Harness(bool checkOnly = false) {
    folders.Set('M', dir.file("M"));
    folders.Set('P', dir.file("P"));
    folders.Set('T', dir.file("T"));
    fs::create_directories(dir.file("M"));
    fs::create_directories(dir.file("cache"));
    SkyliftExchange::Hooks hooks{
        .push = [this](const char* b, int) { sent.emplace_back(b, blocks::kClientBlock); return 0; },
        .notify = [this](int m, int w, int l) { notes.emplace_back(m, w, l); }};
    ex = std::make_unique<SkyliftExchange>(folders, checkOnly, 256, 32768, "", std::move(hooks), state,
                                           SkyTrust{.section = "s", .key = ParseMinisignKey(publisher.PublicKeyLine()),
                                                    .stagingParent = dir.file("cache")});
  }
  bool Feed(const std::string& block) { return ex->OnBlock(std::span<const char>(block.data(), block.size())); }
  // A list block of `entries` (files), signed; `data` gives a file's content (default: its size in 'x').
  std::string List(bool more, int32_t total, const std::vector<ListEntry>& entries,
                   const std::vector<std::string>& data = {}) {
    std::vector<ListEntry> listed;
    std::vector<signedfx::Item> items;
    for (size_t i = 0; i < entries.size(); ++i) {
      const auto& e = entries[i];
      const std::string bytes = i < data.size() ? data[i] : std::string(static_cast<size_t>(std::max(0, e.size)), 'x');
      items.push_back({e.key, e.folder, e.sub, e.file, bytes, e.time});
    }
    signedfx::Section section = signedfx::Section::Make(publisher, "s", items);
    std::vector<ListEntry> all;
    std::vector<std::string> bytes;
    section.Listing(all, bytes);
    if (fileAt.empty()) {
      listed = all;
      dataAt = bytes;
    } else {
      // A later block: only the files and their signatures.
      listed.assign(all.begin() + 2, all.end());
      bytes.erase(bytes.begin(), bytes.begin() + 2);
      dataAt.insert(dataAt.end(), bytes.begin(), bytes.end());
    }
    for (const auto& e : listed) {
      const bool file = e.key != 'L' && e.key != 'V';
      fileAt.push_back(file ? static_cast<int>(positionOf.size()) : -1);
      if (file) positionOf.push_back(static_cast<int>(fileAt.size()) - 1);
    }
    // The total counts every entry the server lists: two for the manifest, two for each file
    // (one for a deletion).
    int32_t listedTotal = total;
    if (total >= 0 && total <= 65535) {
      listedTotal = 2;
      for (int32_t i = 0; i < total; ++i) listedTotal += (i < static_cast<int32_t>(entries.size()) && entries[static_cast<size_t>(i)].key == 'D') ? 1 : 2;
    }
    return blocks::List(more, listedTotal, listed);
  }
  // Feeds the signed manifest and its signature, as a server sends them first.
  void FeedManifest() {
    Feed(blocks::Piece(false, 0, dataAt[0]));
    Feed(blocks::Piece(false, 1, dataAt[1]));
  }
  // A piece of file `index` (its list position), and the whole signature of a file.
  std::string Piece(bool more, int index, const std::string& bytes) const {
    const int position = index < static_cast<int>(positionOf.size()) ? positionOf[static_cast<size_t>(index)] : index + 1000;
    return blocks::Piece(more, static_cast<uint16_t>(position), bytes);
  }
  bool FeedSignature(int index) {
    const int position = positionOf[static_cast<size_t>(index)] + 1;
    return Feed(blocks::Piece(false, static_cast<uint16_t>(position), dataAt[static_cast<size_t>(position)]));
  }
  std::string M(const std::string& name) const { return dir.file("M/" + name); }
  // The files requested, by file index (the signed parts left out).
  std::vector<int> Requested() const {
    std::vector<int> all;
    for (const auto& b : sent) {
      auto r = blocks::ReadRequest(b);
      for (int p : r.positions)
        if (static_cast<size_t>(p) < fileAt.size() && fileAt[static_cast<size_t>(p)] >= 0) all.push_back(fileAt[static_cast<size_t>(p)]);
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
  // Each needed file is asked for with its signature, after the manifest and its signature.
  struct Case {
    int needed;
    std::vector<std::pair<int32_t, int>> blocks;  // length and continuation byte of each request block
  };
  const Case cases[] = {
      {0, {{5, 0}}},                                  // 2 positions
      {59, {{241, 0}}},                               // 120
      {60, {{243, 1}, {3, 1}}},                       // 122
      {99, {{243, 1}, {159, 1}}},                     // 200
      // A split request whose last block would be full ends with one that holds no position.
      {120, {{243, 1}, {243, 1}, {1, 1}}},            // 242
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.needed);
    Harness h;
    EXPECT_TRUE(h.Feed(h.List(false, c.needed, NeededFiles(c.needed))));
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
    std::vector<int> expected(static_cast<size_t>(2 + 2 * c.needed));
    for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int>(i);
    EXPECT_EQ(positions, expected);
  }
}

TEST(SkyliftRequest, ListOverSeveralBlocksIsEvaluatedOnceWhole) {
  Harness h;
  auto all = NeededFiles(5);
  EXPECT_TRUE(h.Feed(h.List(true, 5, {all[0], all[1]})));
  EXPECT_TRUE(h.sent.empty());
  EXPECT_TRUE(h.Feed(h.List(false, 0, {all[2], all[3], all[4]})));  // the total of later blocks is not read
  EXPECT_EQ(h.Requested(), (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(h.Feed(h.List(false, 5, all)));  // a list after the list changes nothing
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
    h.Feed(h.List(false, 1, {{c.key, 'M', "", "x.bin", 4, kTime}}));
    EXPECT_EQ(h.Requested(), c.requested ? std::vector<int>{0} : std::vector<int>{});
  }
}

TEST(SkyliftEvaluate, DeleteWaitsForTheSignedListAndRequestsNothing) {
  Harness h;
  WriteFile(h.M("old.dll"), "old");
  h.Feed(h.List(false, 1, {{'D', 'M', "", "old.dll", 0, 0}}));
  EXPECT_TRUE(fs::exists(h.M("old.dll")));  // nothing happens before the list is verified
  EXPECT_TRUE(h.Requested().empty());
  h.FeedManifest();
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  EXPECT_EQ(h.state.load(), kSkyStateDone);
  EXPECT_FALSE(fs::exists(h.M("old.dll")));
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
  h.Feed(h.List(false, static_cast<int32_t>(entries.size()), entries));
  EXPECT_EQ(h.Requested(), std::vector<int>{9});
  EXPECT_EQ(ReadFile(h.dir.file("victim")), "keep me");
  EXPECT_FALSE(fs::exists(h.dir.file("evil")));
  EXPECT_FALSE(fs::exists(h.M("sub")));  // a list makes no folder; an install does
}

TEST(SkyliftEvaluate, EntryWithoutFileNameEndsTheEvaluation) {
  Harness h;
  h.Feed(h.List(false, 3, {{'C', 'M', "", "a", 1, kTime}, {'C', 'M', "", "", 1, kTime}, {'C', 'M', "", "c", 1, kTime}}));
  EXPECT_EQ(h.Requested(), std::vector<int>{0});
}

TEST(SkyliftList, EntriesBeyondTheAnnouncedTotalAreDropped) {
  Harness h;
  h.Feed(h.List(false, 2, NeededFiles(5)));
  EXPECT_EQ(h.ex->Files().size(), 6u);  // the manifest and two files, each with its signature
  EXPECT_EQ(h.Requested(), (std::vector<int>{0, 1}));
}

TEST(SkyliftList, ImpossibleTotalsAndCutEntriesAreDropped) {
  Harness h;
  h.Feed(h.List(true, -1, NeededFiles(1)));
  h.Feed(h.List(true, 70000, NeededFiles(1)));
  EXPECT_TRUE(h.ex->Files().empty());
  // An entry whose lengths run past the block: the block's rest is dropped.
  testsupport::ByteWriter p;
  p.u8(0).u32le(4).u32le(4);
  p.u8('L').u8('M').u16le(0).u16le(12).text("manifest.tsv").u32le(1).u32le(kTime);
  p.u8('V').u8('M').u16le(0).u16le(20).text("manifest.tsv.minisig").u32le(1).u32le(kTime);
  p.u8('C').u8('M').u16le(0).u16le(1).text("a").u32le(1).u32le(kTime);
  p.u8('C').u8('M').u16le(0).u16le(32767).text("b");
  h.Feed(blocks::Block("_PFLIST:", p.str()));
  EXPECT_EQ(h.ex->Files().size(), 3u);
  ASSERT_EQ(h.sent.size(), 1u);
  EXPECT_EQ(blocks::ReadRequest(h.sent[0]).positions, (std::vector<int>{0, 1, 2}));
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
  // An end without any list is no verdict: nothing says the copy is current.
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  EXPECT_EQ(h.state.load(), kSkyStateRefused);
  EXPECT_TRUE(h.ex->Failed());
}

TEST(SkyliftPieces, CheckModeDecidesOnTheSignedListWithoutWriting) {
  Harness h(true);
  h.Feed(h.List(false, 1, {{'C', 'M', "", "a.bin", 4, kTime}}));
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 0, h.dataAt[0])));
  EXPECT_FALSE(h.Feed(blocks::Piece(false, 1, h.dataAt[1])));
  EXPECT_EQ(h.state.load(), kSkyStateUpdate);
  EXPECT_EQ(fixtures::Listing(h.dir.file("M")), std::vector<std::string>{});
}

TEST(SkyliftPieces, FilesAreInstalledWholeAtTheEndWithTheirTime) {
  Harness h;
  h.Feed(h.List(false, 2, {{'C', 'M', "", "keep.txt", 1, kTime}, {'U', 'M', "d", "a.bin", 10, kTime}}, {"k", "helloworld"}));
  fs::create_directories(h.M("d"));
  WriteFile(h.M("d/a.bin"), "old");
  SetTime(h.M("d/a.bin"), kTime - 1000);  // older than the update: no rollback
  h.FeedManifest();
  EXPECT_TRUE(h.Feed(h.Piece(false, 0, "k")));
  EXPECT_TRUE(h.FeedSignature(0));
  EXPECT_TRUE(h.Feed(h.Piece(true, 1, "hello")));
  EXPECT_EQ(h.state.load(), kSkyStateUpdate);
  EXPECT_TRUE(h.Feed(h.Piece(false, 1, "world")));
  EXPECT_TRUE(h.FeedSignature(1));
  EXPECT_EQ(ReadFile(h.M("d/a.bin")), "old");  // nothing replaced before the exchange has ended
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  EXPECT_EQ(h.state.load(), kSkyStateDone);
  EXPECT_EQ(ReadFile(h.M("d/a.bin")), "helloworld");
  EXPECT_EQ(ReadFile(h.M("keep.txt")), "k");
  EXPECT_EQ(TimeOf(h.M("d/a.bin")), kTime);
  EXPECT_EQ(fixtures::Listing(h.M("d")), std::vector<std::string>{"a.bin"});
  ASSERT_FALSE(h.notes.empty());
  EXPECT_EQ(h.notes.front(), std::make_tuple(kSkyMsgProgress, kSkyFileId, 11));
  EXPECT_EQ(h.notes.back(), std::make_tuple(kSkyMsgProgress, kSkyPercentId, 100));
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
    h.Feed(h.List(false, 1, {{'U', 'M', "", "a.bin", 10, kTime}}));
    bool going = true;
    for (size_t i = 0; i < c.pieces.size() && going; ++i) going = h.Feed(h.Piece(i + 1 < c.pieces.size(), 0, c.pieces[i]));
    EXPECT_FALSE(going);
    EXPECT_TRUE(h.ex->Failed());
    EXPECT_EQ(ReadFile(h.M("a.bin")), "old");
    EXPECT_EQ(h.notes.back(), std::make_tuple(kSkyMsgError, kSkyErrorId, kSkyInstallFailed));
  }
}

TEST(SkyliftPieces, PiecesForUnrequestedPositionsAreDropped) {
  Harness h;
  EXPECT_TRUE(h.Feed(h.Piece(false, 0, "early")));  // before any list
  WriteFile(h.M("current"), "x");
  h.Feed(h.List(false, 2, {{'C', 'M', "", "current", 1, kTime}, {'C', 'M', "", "new", 1, kTime}}));
  EXPECT_TRUE(h.Feed(h.Piece(false, 0, "y")));  // not requested: present already
  EXPECT_TRUE(h.Feed(h.Piece(false, 2, "z")));  // outside the list
  EXPECT_TRUE(h.Feed(blocks::Piece(false, 65535, "z")));
  EXPECT_EQ(ReadFile(h.M("current")), "x");
  EXPECT_FALSE(h.ex->Failed());
  EXPECT_EQ(h.state.load(), kSkyStateRunning);
}

TEST(SkyliftPieces, AbortRemovesTheUnfinishedFile) {
  Harness h;
  h.Feed(h.List(false, 1, {{'C', 'M', "", "big", 100, kTime}}));
  h.Feed(h.Piece(true, 0, "part"));
  EXPECT_FALSE(fixtures::Listing(h.dir.file("cache")).empty());  // the private staging folder
  h.ex.reset();
  EXPECT_EQ(fixtures::Listing(h.dir.file("cache")), std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(h.M("big")));
}

TEST(SkyliftPieces, AnEndInTheMiddleOfAFileIsAFailure) {
  Harness h;
  h.Feed(h.List(false, 1, {{'C', 'M', "", "big", 100, kTime}}));
  h.Feed(h.Piece(true, 0, "part"));
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  EXPECT_EQ(h.state.load(), kSkyStateUpdate);
  EXPECT_TRUE(h.ex->Failed());
  EXPECT_FALSE(h.ex->Why().empty());
  EXPECT_FALSE(fs::exists(h.M("big")));
}

TEST(SkyliftPieces, ReceivedFilesTakeTheirModeByOneRule) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX permission bits: Windows keeps only a read-only attribute and no executable bit";
#endif
  Harness h;
  WriteFile(h.M("data"), "old");
  fs::permissions(h.M("data"), fs::perms::owner_read | fs::perms::owner_write);
  SetTime(h.M("data"), kTime - 1000);
  const std::string script = "#!/bin/sh\nexit 0\n";
  h.Feed(h.List(false, 3, {{'C', 'M', "", "tool", static_cast<int32_t>(script.size()), kTime},
                           {'U', 'M', "", "data", 3, kTime},
                           {'C', 'M', "", "plain", 2, kTime}},
                {script, "new", "ok"}));
  h.FeedManifest();
  const std::vector<std::string> bytes = {script, "new", "ok"};
  for (int i = 0; i < 3; ++i) {
    h.Feed(h.Piece(false, i, bytes[static_cast<size_t>(i)]));
    h.FeedSignature(i);
  }
  EXPECT_FALSE(h.Feed(blocks::Block("_PAREND:", "")));
  ASSERT_EQ(h.state.load(), kSkyStateDone) << h.ex->Why();
  auto mode = [](const std::string& p) { return fs::status(p).permissions() & fs::perms::all; };
  using P = fs::perms;
  const P plain = P::owner_read | P::owner_write | P::group_read | P::others_read;
  EXPECT_EQ(mode(h.M("tool")), P::owner_all | P::group_read | P::group_exec | P::others_read | P::others_exec);
  EXPECT_EQ(mode(h.M("data")), plain);
  EXPECT_EQ(mode(h.M("plain")), plain);
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

// Names Windows reads as something other than a file of that name (a device, another stream of
// a file, a name that loses its trailing dot or space) are refused there and plain names
// elsewhere; a longer name that only starts like a device stays a name everywhere.
TEST(SkyliftEvaluate, NamesThatWindowsReadsAsDevicesOrStreamsAreSkippedThere) {
#ifdef _WIN32
  constexpr bool kRefusedHere = true;
#else
  constexpr bool kRefusedHere = false;
#endif
  struct Case {
    const char* sub;
    const char* file;
    bool refusedOnWindows;
  };
  const Case cases[] = {
      {"", "CON", true},         {"", "nul.txt", true},      {"", "com1", true},        {"", "LPT9.log", true},
      {"aux", "x.dll", true},    {"", "Prn", true},          {"", "conin$", true},      {"", "file.txt:hidden", true},
      {"", "trailing.", true},   {"", "trailing ", true},    {"sub.", "x", true},       {"", "CONSOLE", false},
      {"", "com10", false},      {"", "nullable.txt", false}, {"comics", "lpt", false}, {"", "a.b.c", false},
  };
  Harness h;
  std::vector<ListEntry> entries;
  for (const Case& c : cases) entries.push_back({'C', 'M', c.sub, c.file, 1, kTime});
  h.Feed(h.List(false, static_cast<int32_t>(entries.size()), entries));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(std::string(cases[i].sub) + "|" + cases[i].file);
    const SkyFileEntry& e = h.ex->Files()[static_cast<size_t>(h.positionOf[i])];
    EXPECT_EQ(e.psFullPath.empty(), cases[i].refusedOnWindows && kRefusedHere) << e.psFullPath;
  }
}
