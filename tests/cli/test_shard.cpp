// zelvora encode --shard and --manifest: shards run side by side convert exactly the files of one
// unsharded run, each once, and the shared manifest gets one whole JSON line per finished file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

// The shards' clips: one second of a tiny picture, quick to convert.
const testsupport::ClipSpec kShortClip{.seconds = 1, .size = "96x64", .rate = 10};

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename().string());
  return names;
}

// Reads the manifest with Python's own JSON parser (an independent reader) and prints, per line,
// status, source, output, whether output_bytes matches the file on disk, and whether the
// invocation names the shard; a line that is not JSON makes the script fail.
std::vector<std::string> ManifestRows(const std::string& manifest) {
  const char* script =
      "import json, os, sys\n"
      "for line in open(sys.argv[1], encoding='utf-8'):\n"
      "    e = json.loads(line)\n"
      "    size = os.path.getsize(e['output']) if e['output'] else None\n"
      "    ok = e['output_bytes'] == size and e['source_bytes'] == os.path.getsize(e['source'])\n"
      "    ok = ok and e['duration'] >= 0 and ('ffmpeg' in e['command'] if e['status'] == 'done' else True)\n"
      "    print(e['status'], os.path.basename(e['source']), os.path.basename(e['output'] or ''),\n"
      "          'sizes-ok' if ok else 'sizes-wrong', sep='|')\n";
  std::string out;
  EXPECT_EQ(RunCommand({"python3", "-c", script, manifest}, &out), 0) << out;
  std::vector<std::string> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  std::sort(rows.begin(), rows.end());
  return rows;
}

}  // namespace

TEST(Shard, UsageErrorsExitTwo) {
  for (std::string bad : {"1/1", "2/2", "a/2", "0/0", "-1/2", "0/", "/2", "1", "0/2x", "0/99999999999"}) {
    std::string out;
    // A subtitle beside the video (as in/* gives it): the usage error is the first thing said.
    EXPECT_EQ(testsupport::RunZelvora({"encode", "--shard", bad, "x.smi", "x.mp4"}, &out), 2) << bad << ": " << out;
    EXPECT_EQ(out.rfind("zelvora encode: --shard", 0), 0u) << bad << ": " << out;
  }
  std::string out;
  EXPECT_EQ(testsupport::RunZelvora({"encode", "--manifest", "/no/such/folder/m.jsonl", "x.mp4"}, &out), 2) << out;
  EXPECT_NE(out.find("manifest"), std::string::npos) << out;
}

TEST(Shard, SplitDoesNotDependOnTheOrderFilesAreGiven) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir dir;
  std::vector<std::string> clips;
  for (const char* name : {"b.mp4", "a.mp4", "클립 c.mp4", "d.mp4", "e.mp4"}) {
    clips.push_back(dir.file(name));
    ASSERT_FALSE(testsupport::MakeClip(clips.back(), kShortClip).empty());
  }
  std::vector<std::string> reversed(clips.rbegin(), clips.rend());
  std::set<std::string> seen;
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::string shard = std::to_string(i) + "/3";
    std::string forward, backward;
    std::vector<std::string> args = {"encode", "--dry-run", "--output-dir", dir.file("out"), "--shard", shard};
    std::vector<std::string> a = args, b = args;
    a.insert(a.end(), clips.begin(), clips.end());
    b.insert(b.end(), reversed.begin(), reversed.end());
    ASSERT_EQ(testsupport::RunZelvora(a, &forward), 0) << forward;
    ASSERT_EQ(testsupport::RunZelvora(b, &backward), 0) << backward;
    EXPECT_EQ(forward, backward);
    // Sorted by path: a, b, d, e, 클립 c (UTF-8 bytes sort after ASCII); shard i takes i, i+3.
    std::istringstream lines(forward);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);)
      for (const char* name : {"a.mp4", "b.mp4", "d.mp4", "e.mp4", "클립 c.mp4"})
        if (line.find("-i \"" + dir.file(name) + "\"") != std::string::npos) got.push_back(name);
    std::vector<std::vector<std::string>> expected = {{"a.mp4", "e.mp4"}, {"b.mp4", "클립 c.mp4"}, {"d.mp4"}};
    EXPECT_EQ(got, expected[static_cast<size_t>(i)]) << forward;
    seen.insert(got.begin(), got.end());
  }
  EXPECT_EQ(seen.size(), clips.size());

  // More shards than files: the empty ones succeed and do nothing.
  std::string out;
  EXPECT_EQ(testsupport::RunZelvora({"encode", "--output-dir", dir.file("none"), "--shard", "7/8", clips[0]}, &out), 0) << out;
  EXPECT_FALSE(fs::exists(dir.file("none")));
}

TEST(Shard, TwoShardsSideBySideMatchOneRun) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  ZELVORA_SKIP_WITHOUT_PROGRAM("python3");
  TempDir dir;
  fs::create_directories(dir.file("in"));
  std::vector<std::string> clips;
  for (const char* name : {"one.avi", "two.mp4", "셋.mkv", "four.mov", "five.mp4"}) {
    clips.push_back(dir.file(std::string("in/") + name));
    ASSERT_FALSE(testsupport::MakeClip(clips.back(), kShortClip).empty());
  }
  std::string broken = dir.file("in/broken.mp4");
  testsupport::WriteFile(broken, std::string(300, '\x01'));
  clips.push_back(broken);

  std::vector<std::string> whole = {"encode", "--output-dir", dir.file("whole"), "--manifest", dir.file("whole.jsonl")};
  whole.insert(whole.end(), clips.begin(), clips.end());
  std::string out;
  EXPECT_EQ(testsupport::RunZelvora(whole, &out), 1) << out;  // the broken file fails

  // Each shard's encoder is the real ffmpeg behind a barrier: a conversion ends only once a
  // conversion of the other shard has ended too, so the two shards write their first manifest
  // lines at the same moment instead of perhaps one after the other.
  const std::string meeting = dir.file("meeting");
  fs::create_directories(meeting);
  auto encoder = [&](int shard) {
    const std::string path = dir.file("bin" + std::to_string(shard) + "/ffmpeg");
    fs::create_directories(fs::path(path).parent_path());
    testsupport::WriteFile(path, "#!/bin/sh\n"
                                 "case \" $* \" in *\" -i \"*) ;; *) exec ffmpeg \"$@\" ;; esac\n"
                                 "ffmpeg \"$@\"; status=$?\n"
                                 ": > '" + meeting + "/" + std::to_string(shard) + "'\n"
                                 "i=0\n"
                                 "while [ ! -e '" + meeting + "/" + std::to_string(1 - shard) + "' ] && [ $i -lt 2400 ]; do\n"
                                 "  sleep 0.05; i=$((i + 1))\n"
                                 "done\n"
                                 "exit $status\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
  };

  int status[2] = {-1, -1};
  std::string outs[2];
  std::vector<std::thread> shards;
  for (int i = 0; i < 2; ++i) {
    std::vector<std::string> args = {"encode", "--output-dir", dir.file("sharded"), "--manifest",
                                     dir.file("sharded.jsonl"), "--shard", std::to_string(i) + "/2",
                                     "--set", "encoder.encoder_path_a=" + encoder(i)};
    args.insert(args.end(), clips.begin(), clips.end());
    shards.emplace_back([&, i, args] { status[i] = testsupport::RunZelvora(args, &outs[i]); });
  }
  for (auto& t : shards) t.join();
  // Both shards converted through the barrier.
  EXPECT_EQ(FilesIn(meeting), (std::set<std::string>{"0", "1"}));
  // Exactly one shard holds the broken file.
  EXPECT_EQ(std::min(status[0], status[1]), 0) << outs[0] << outs[1];
  EXPECT_EQ(std::max(status[0], status[1]), 1) << outs[0] << outs[1];

  std::set<std::string> expected = {"_ZLVR_one.mp4", "_ZLVR_two.mp4", "_ZLVR_셋.mp4", "_ZLVR_four.mp4",
                                    "_ZLVR_five.mp4"};
  EXPECT_EQ(FilesIn(dir.file("whole")), expected);
  EXPECT_EQ(FilesIn(dir.file("sharded")), expected);

  std::vector<std::string> rows = ManifestRows(dir.file("whole.jsonl"));
  std::vector<std::string> expectedRows = {"done|five.mp4|_ZLVR_five.mp4|sizes-ok", "done|four.mov|_ZLVR_four.mp4|sizes-ok",
                                           "done|one.avi|_ZLVR_one.mp4|sizes-ok",   "done|two.mp4|_ZLVR_two.mp4|sizes-ok",
                                           "done|셋.mkv|_ZLVR_셋.mp4|sizes-ok",     "failed|broken.mp4||sizes-ok"};
  EXPECT_EQ(rows, expectedRows);
  EXPECT_EQ(ManifestRows(dir.file("sharded.jsonl")), expectedRows);
}

// Two shards appending to one manifest at the same moment, many lines each: every line stays
// whole, whatever the other shard writes meanwhile. Each shard fails a burst of files that are no
// media, one manifest line each (some kilobytes: the invocation names every file), and the two
// bursts run at once. That they met is read from the file itself: a line of one shard stands
// between two lines of the other.
TEST(Shard, ShardsAppendingAtOnceNeverTearALine) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("python3");
  TempDir dir;
  fs::create_directories(dir.file("in"));
  constexpr int kFiles = 200;
  std::vector<std::string> files;
  std::set<std::string> names;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "no-media-" + std::to_string(i) + ".mp4";
    names.insert(name);
    files.push_back(dir.file("in/" + name));
    testsupport::WriteFile(files.back(), std::string(300, '\x01'));
  }
  const std::string manifest = dir.file("shared.jsonl");
  int status[2] = {-1, -1};
  std::string outs[2];
  std::vector<std::thread> shards;
  for (int i = 0; i < 2; ++i) {
    std::vector<std::string> args = {"encode",   "--output-dir", dir.file("out"), "--manifest",
                                     manifest, "--shard",      std::to_string(i) + "/2"};
    args.insert(args.end(), files.begin(), files.end());
    shards.emplace_back([&, i, args] { status[i] = testsupport::RunZelvora(args, &outs[i]); });
  }
  for (auto& t : shards) t.join();
  EXPECT_EQ(status[0], 1) << outs[0];
  EXPECT_EQ(status[1], 1) << outs[1];

  // Python's JSON parser reads every line (a torn one makes it fail) and prints, in the file's
  // order, the writing shard (from the invocation) and the source's name.
  const char* script =
      "import json, os, sys\n"
      "for number, line in enumerate(open(sys.argv[1], encoding='utf-8'), 1):\n"
      "    try:\n"
      "        e = json.loads(line)\n"
      "    except ValueError as error:\n"
      "        sys.exit('line %d is no whole JSON line (%s): %.120r...' % (number, error, line))\n"
      "    shard = [s for s in ('0/2', '1/2') if ' --shard ' + s + ' ' in e['invocation']]\n"
      "    print(''.join(shard) or 'none', e['status'], os.path.basename(e['source']))\n";
  std::string out;
  ASSERT_EQ(RunCommand({"python3", "-c", script, manifest}, &out), 0) << out;
  std::istringstream in(out);
  std::vector<std::string> writers;
  std::multiset<std::string> sources;
  for (std::string shard, state, name; in >> shard >> state >> name;) {
    EXPECT_NE(shard, "none") << name;
    EXPECT_EQ(state, "failed") << name;
    if (writers.empty() || writers.back() != shard) writers.push_back(shard);
    sources.insert(name);
  }
  EXPECT_EQ(sources, std::multiset<std::string>(names.begin(), names.end()));
  EXPECT_GE(writers.size(), 3u) << "the shards never wrote at the same time: one ended before the other began";
}
