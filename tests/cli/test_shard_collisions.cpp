// Files whose outputs would share one name: shards side by side decide them as one run over the
// whole sorted list does, so no split loses an output or reports two files done with one file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

// One second of a tiny picture and a tone, in a folder made for it.
void MakeClip(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_FALSE(testsupport::MakeClip(path, {.seconds = 1, .size = "96x64", .rate = 10}).empty());
}

// Whether a folder takes names that differ in letter case alone for one file, found out by the
// test itself.
bool FoldsCase(const std::string& folder) {
  fs::create_directories(folder);
  testsupport::WriteFile(folder + "/probe-a", "x");
  bool folds = fs::exists(folder + "/probe-A");
  fs::remove(folder + "/probe-a");
  return folds;
}

// Per manifest line, read with Python's JSON parser: status, the source below the batch folder,
// the output's name, whether output_bytes is the file's size, and the message with the output
// folder written as OUT; sorted.
std::vector<std::string> Outcomes(const std::string& manifest, const std::string& base, const std::string& outDir) {
  const char* script =
      "import json, os, sys\n"
      "for line in open(sys.argv[1], encoding='utf-8'):\n"
      "    e = json.loads(line)\n"
      "    size = os.path.getsize(e['output']) if e['output'] else None\n"
      "    ok = 'sizes-ok' if e['output_bytes'] == size else 'sizes-wrong'\n"
      "    src = os.path.relpath(e['source'], sys.argv[2])\n"
      "    msg = e['message'].replace(sys.argv[3], 'OUT').replace(sys.argv[2] + '/', '')\n"
      "    print(e['status'], src, os.path.basename(e['output'] or ''), ok, msg, sep='|')\n";
  std::string out;
  EXPECT_EQ(RunCommand({"python3", "-c", script, manifest, base, outDir}, &out), 0) << out;
  std::vector<std::string> rows;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) rows.push_back(line);
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) names.insert(entry.path().filename().string());
  return names;
}

}  // namespace

TEST(ShardCollisions, SplitAcrossShardsMatchesOneRun) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  ZELVORA_SKIP_WITHOUT_PROGRAM("python3");
  struct Case {
    std::string name;
    std::vector<std::string> clips;  // made with ffmpeg, below the batch folder
    std::vector<std::string> junk;   // files that are no media at all
    // Rows "status|source|output" expected by the rule: sorted by path, the first file of an
    // output name keeps it and the later ones fail; what cannot be converted claims nothing.
    std::function<std::vector<std::string>(bool foldsCase)> expected;
  };
  const std::vector<Case> cases = {
      {"same folder", {"in/x.avi", "in/x.mkv"}, {},
       [](bool) { return std::vector<std::string>{"done|in/x.avi|_ZLVR_x.mp4", "failed|in/x.mkv|"}; }},
      {"different folders", {"a/x.mp4", "b/x.mp4"}, {},
       [](bool) { return std::vector<std::string>{"done|a/x.mp4|_ZLVR_x.mp4", "failed|b/x.mp4|"}; }},
      {"letter case only", {"in/X.mkv", "in/x.avi"}, {},
       [](bool folds) {
         return folds ? std::vector<std::string>{"done|in/X.mkv|_ZLVR_X.mp4", "failed|in/x.avi|"}
                      : std::vector<std::string>{"done|in/X.mkv|_ZLVR_X.mp4", "done|in/x.avi|_ZLVR_x.mp4"};
       }},
      {"the earlier file is no media", {"in/x.mkv"}, {"in/x.avi"},
       [](bool) { return std::vector<std::string>{"done|in/x.mkv|_ZLVR_x.mp4", "failed|in/x.avi|"}; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string base = dir.str();
    std::vector<std::string> files;
    for (const std::string& clip : c.clips) {
      files.push_back(dir.file(clip));
      MakeClip(files.back());
    }
    for (const std::string& junk : c.junk) {
      files.push_back(dir.file(junk));
      fs::create_directories(fs::path(files.back()).parent_path());
      testsupport::WriteFile(files.back(), std::string(400, '\x07'));
    }
    std::sort(files.begin(), files.end());
    const bool folds = FoldsCase(dir.file("one"));

    std::vector<std::string> one = {"encode", "--output-dir", dir.file("one"), "--manifest", dir.file("one.jsonl")};
    one.insert(one.end(), files.begin(), files.end());
    const bool anyFailure = c.expected(folds)[1].starts_with("failed");
    std::string out;
    EXPECT_EQ(testsupport::RunZelvora(one, &out), anyFailure ? 1 : 0) << out;

    // Two shards at once, each given the files in another order.
    int status[2] = {-1, -1};
    std::string outs[2];
    std::vector<std::thread> shards;
    for (int i = 0; i < 2; ++i) {
      std::vector<std::string> args = {"encode", "--output-dir", dir.file("split"), "--manifest", dir.file("split.jsonl"),
                                       "--shard", std::to_string(i) + "/2"};
      if (i == 1)
        args.insert(args.end(), files.rbegin(), files.rend());
      else
        args.insert(args.end(), files.begin(), files.end());
      shards.emplace_back([&, i, args] { status[i] = testsupport::RunZelvora(args, &outs[i]); });
    }
    for (auto& t : shards) t.join();
    EXPECT_EQ(std::max(status[0], status[1]), anyFailure ? 1 : 0) << outs[0] << outs[1];

    std::vector<std::string> whole = Outcomes(dir.file("one.jsonl"), base, dir.file("one"));
    std::vector<std::string> split = Outcomes(dir.file("split.jsonl"), base, dir.file("split"));
    EXPECT_EQ(whole, split);
    std::vector<std::string> expected = c.expected(folds);
    ASSERT_EQ(whole.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(whole[i].rfind(expected[i] + "|sizes-ok|", 0), 0u) << whole[i];
      if (expected[i].starts_with("failed|") && c.junk.empty())
        EXPECT_NE(whole[i].find("is also the output of an earlier file of this batch (" + expected[0].substr(5, expected[0].find('|', 5) - 5)),
                  std::string::npos)
            << whole[i];
    }
    EXPECT_EQ(FilesIn(dir.file("one")), FilesIn(dir.file("split")));
  }
}

TEST(ShardCollisions, ShardBeyondTheCountNamesTheCause) {
  struct Case {
    std::string shard;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {"4/4", "there is no shard 4 of 4: shards are counted from 0, so 4 shards are 0/4 to 3/4"},
           {"6/4", "there is no shard 6 of 4"},
           {"1/1", "1 shards are 0/1 to 0/1"},
           {"0/0", "N is the number of shards and must be 1 or more"},
       }) {
    SCOPED_TRACE(c.shard);
    std::string out;
    EXPECT_EQ(testsupport::RunZelvora({"encode", "--shard", c.shard, "x.mp4"}, &out), 2) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
  }
  std::string out;
  testsupport::RunZelvora({"encode", "--shard", "4/4", "x.mp4"}, &out);
  EXPECT_NE(out.find("numbered 0-3 with step 1"), std::string::npos) << out;
}
