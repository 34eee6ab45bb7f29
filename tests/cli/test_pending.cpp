// zelvora encode --pending: which of the given files no manifest marks done, the latest line
// about each file deciding, over one manifest or several.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

int Zelvora(const std::vector<std::string>& args, std::string* out, std::string* err) {
  std::vector<std::string> argv = {ZELVORA_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::RunCommandSplit(argv, out, err);
}

// A manifest line as the manifest writes it (only the fields the reader needs, plus one it skips).
std::string Line(const std::string& sourceJson, const std::string& status, const std::string& finished) {
  return "{\"source\":\"" + sourceJson + "\",\"output\":null,\"status\":\"" + status +
         "\",\"duration\":1.5,\"source_bytes\":10,\"output_bytes\":null,\"finished\":\"" + finished + "\"}\n";
}

}  // namespace

TEST(Pending, LatestLinePerSourceWinsOverSeveralManifests) {
  TempDir dir;
  const std::string d = dir.str();
  for (const char* name : {"done.mp4", "failed.mp4", "rerun.mp4", "never.mp4", "undone.mp4", "two.mp4", "한글.mp4"})
    testsupport::WriteFile(dir.file(name), "x");
  testsupport::WriteFile(dir.file("m1.jsonl"),
                         Line(d + "/done.mp4", "done", "2026-12-01T10:00:00Z") +
                             Line(d + "/failed.mp4", "failed", "2026-12-01T10:00:01Z") +
                             Line(d + "/rerun.mp4", "failed", "2026-12-01T10:00:02Z") +
                             "{\"source\":\"" + d + "/never.mp4\",\"status\":\"done\",\"fini" +  // cut short by a crash
                             "\n" + Line(d + "/rerun.mp4", "done", "2026-12-01T09:00:00Z") +  // later in the file
                             Line(d + "/undone.mp4", "done", "2026-12-01T10:00:00Z") +
                             Line(d + "/two.mp4", "failed", "2026-12-01T10:00:00Z") +
                             Line(d + "/\\ud55c\\uae00.mp4", "done", "2026-12-01T10:00:00Z"));
  // The second manifest: a later failure undoes a done, a later done ends a failure.
  testsupport::WriteFile(dir.file("m2.jsonl"), Line(d + "/undone.mp4", "failed", "2026-12-02T10:00:00Z") +
                                                   Line(d + "/two.mp4", "done", "2026-12-02T10:00:00Z"));
  std::vector<std::string> files = {"done.mp4", "failed.mp4", "rerun.mp4", "never.mp4", "undone.mp4", "two.mp4", "한글.mp4"};
  for (std::string& f : files) f = dir.file(f);

  struct Case {
    std::vector<std::string> options;
    std::string expected;  // the names printed, in the order given
  };
  const std::string failed = dir.file("failed.mp4"), never = dir.file("never.mp4"), undone = dir.file("undone.mp4"),
                    two = dir.file("two.mp4");
  for (const Case& c : std::vector<Case>{
           {{"--pending", dir.file("m1.jsonl"), "--pending", dir.file("m2.jsonl")},
            failed + "\n" + never + "\n" + undone + "\n"},
           {{"--pending=" + dir.file("m1.jsonl")}, failed + "\n" + never + "\n" + two + "\n"},
           {{"--pending", dir.file("m2.jsonl"), "--pending", dir.file("missing.jsonl")},
            dir.file("done.mp4") + "\n" + failed + "\n" + dir.file("rerun.mp4") + "\n" + never + "\n" + undone + "\n" +
                dir.file("한글.mp4") + "\n"},
           {{"-0", "--pending", dir.file("m1.jsonl"), "--pending", dir.file("m2.jsonl")},
            failed + std::string(1, '\0') + never + std::string(1, '\0') + undone + std::string(1, '\0')},
       }) {
    std::vector<std::string> args = {"encode"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), files.begin(), files.end());
    SCOPED_TRACE(c.options[0] + " " + (c.options.size() > 1 ? c.options[1] : ""));
    std::string out, err;
    EXPECT_EQ(Zelvora(args, &out, &err), 0) << err;
    EXPECT_EQ(out, c.expected);
  }
  // The line cut short is named, not taken; a manifest that does not exist is said to be so.
  std::string out, err;
  Zelvora({"encode", "--pending", dir.file("m1.jsonl"), "--pending", dir.file("missing.jsonl"), files[0]}, &out, &err);
  EXPECT_NE(err.find("m1.jsonl:4: not a manifest line"), std::string::npos) << err;
  EXPECT_NE(err.find("missing.jsonl does not exist"), std::string::npos) << err;
  // Nothing is converted, and --pending goes with nothing that converts.
  EXPECT_EQ(Zelvora({"encode", "--pending", dir.file("m1.jsonl"), "--manifest", dir.file("x.jsonl"), files[0]}, &out,
                    &err),
            2);
  EXPECT_FALSE(fs::exists(dir.file("x.jsonl")));
}

TEST(Pending, ShardListsItsOwnShareOnly) {
  TempDir dir;
  std::vector<std::string> files;
  for (const char* name : {"a.mp4", "b.mp4", "c.mp4", "d.mp4"}) {
    files.push_back(dir.file(name));
    testsupport::WriteFile(files.back(), "x");
  }
  testsupport::WriteFile(dir.file("m.jsonl"), Line(dir.file("c.mp4"), "done", "2026-12-01T10:00:00Z"));
  std::string all;
  for (int i = 0; i < 2; ++i) {
    std::vector<std::string> args = {"encode", "--pending", dir.file("m.jsonl"), "--shard", std::to_string(i) + "/2"};
    args.insert(args.end(), files.rbegin(), files.rend());
    std::string out, err;
    EXPECT_EQ(Zelvora(args, &out, &err), 0) << err;
    all += out;
  }
  // Shard 0 holds a and c, shard 1 b and d; c is done.
  EXPECT_EQ(all, dir.file("a.mp4") + "\n" + dir.file("b.mp4") + "\n" + dir.file("d.mp4") + "\n");
}
