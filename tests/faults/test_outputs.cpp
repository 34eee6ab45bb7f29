// Outputs under faults: nothing of the user's is replaced, nothing partial is left, nothing
// broken is called done, and every refusal says why. Real runs of the zelvora command.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>

#include "FaultRun.h"
#include "probe/Probe.h"

namespace fs = std::filesystem;
using faults::RunResult;
using faults::Snapshot;
using faults::Zelvora;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string StateFolder() { return std::string(std::getenv("XDG_STATE_HOME")) + "/zelvora"; }

// The month-stamped error log of this month, as a reader would look for it.
std::string ErrorLogThisMonth() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  char name[64];
  std::snprintf(name, sizeof name, "error_log_%04d%02d.txt", tm.tm_year + 1900, tm.tm_mon + 1);
  return StateFolder() + "/" + name;
}

// What changed between two snapshots: names added, removed or with other content.
std::set<std::string> Changed(const std::map<std::string, std::string>& before,
                              const std::map<std::string, std::string>& after) {
  std::set<std::string> changed;
  for (const auto& [name, sum] : before)
    if (!after.count(name) || after.at(name) != sum) changed.insert(name);
  for (const auto& [name, sum] : after)
    if (!before.count(name)) changed.insert(name);
  return changed;
}

int ProbedType(const std::string& path) {
  MediaInfoEx summary;
  return getMediaInfo2Ex(&summary, path);
}

// One run per row: the files it starts from, the command's arguments, and what the user must
// see afterwards. Only the names in `changes` may differ after the run; everything else under
// the case's folder keeps its checksum.
struct OutputCase {
  const char* name;
  std::function<std::vector<std::string>(const fs::path& dir)> setup;
  int exitStatus;
  std::vector<std::string> shown;  // result lines (with %D for the case's folder), in order
  std::set<std::string> changes;
};

std::string Expand(std::string text, const fs::path& dir) {
  for (size_t at; (at = text.find("%D")) != std::string::npos;) text.replace(at, 2, dir.string());
  return text;
}

void RunCase(const OutputCase& c) {
  SCOPED_TRACE(c.name);
  TempDir tmp;
  const fs::path dir = tmp.path() / "case";
  fs::create_directories(dir);
  std::vector<std::string> args = c.setup(dir);
  auto before = Snapshot(dir);
  RunResult r = Zelvora(args);
  ASSERT_FALSE(r.hung) << r.err;
  EXPECT_EQ(r.status, c.exitStatus) << r.out << r.err;
  std::vector<std::string> lines = faults::ResultLines(r.out);
  ASSERT_EQ(lines.size(), c.shown.size()) << r.out << r.err;
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_NE(lines[i].find(Expand(c.shown[i], dir)), std::string::npos) << lines[i];
  EXPECT_EQ(Changed(before, Snapshot(dir)), c.changes) << r.out << r.err;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    EXPECT_NE(entry.path().filename().string().rfind(".zelvora-", 0), 0u) << "left behind: " << entry.path();
}

std::vector<std::string> Encode(const fs::path& out, std::vector<std::string> files, const std::string& prefix = "_ZLVR_") {
  std::vector<std::string> args = {"encode", "--output-dir", out.string(), "--set", "etc_conf.fn_prefix=" + prefix};
  args.insert(args.end(), files.begin(), files.end());
  return args;
}

}  // namespace

// Real ffmpeg, real clips: who may replace what.
TEST(OutputFaults, NothingOfTheUsersIsReplaced) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  faults::UseRealFfmpeg();
  const std::vector<OutputCase> cases = {
      {"an empty prefix keeps a file already at the output name",
       [](const fs::path& d) {
         faults::MakeClip((d / "clip.avi").string());
         WriteFile((d / "clip.mp4").string(), "the user's own clip.mp4");
         return Encode(d, {(d / "clip.avi").string()}, "");
       },
       1,
       {"오류\tclip.avi\t%D/clip.avi => a file already exists at %D/clip.mp4; it is kept"},
       {}},
      {"no output replaces a source of the list",
       [](const fs::path& d) {
         faults::MakeClip((d / "clip.mp4").string());
         faults::MakeClip((d / "clip.avi").string());
         faults::MakeClip((d / "clip.mkv").string());
         return Encode(d, {(d / "clip.mp4").string(), (d / "clip.avi").string(), (d / "clip.mkv").string()}, "");
       },
       1,
       {"오류\tclip.mp4\t%D/clip.mp4 => 원본파일과 목적파일이 같습니다.",
        "오류\tclip.avi\t%D/clip.avi => 원본파일과 목적파일이 같습니다. (%D/clip.mp4 is a source file of this list; it is kept)",
        "오류\tclip.mkv\t%D/clip.mkv => 원본파일과 목적파일이 같습니다. (%D/clip.mp4 is a source file of this list; it is kept)"},
       {}},
      {"a source spelt through a linked folder is still a source",
       [](const fs::path& d) {
         fs::create_directories(d / "src");
         faults::MakeClip((d / "src/_ZLVR_c.mp4").string());
         faults::MakeClip((d / "src/c.avi").string());
         fs::create_directory_symlink("src", d / "alias");
         return Encode(d / "alias", {(d / "src/_ZLVR_c.mp4").string(), (d / "src/c.avi").string()});
       },
       1,
       {"완료\t_ZLVR_c.mp4\t%D/alias/_ZLVR__ZLVR_c.mp4",
        "오류\tc.avi\t%D/src/c.avi => 원본파일과 목적파일이 같습니다. (%D/alias/_ZLVR_c.mp4 is a source file"},
       {"src/_ZLVR__ZLVR_c.mp4"}},
      {"two rows never write one output",
       [](const fs::path& d) {
         fs::create_directories(d / "x");
         fs::create_directories(d / "y");
         faults::MakeClip((d / "x/a.avi").string());
         faults::MakeClip((d / "y/a.avi").string());
         return Encode(d / "out", {(d / "x/a.avi").string(), (d / "y/a.avi").string()});
       },
       1,
       {"완료\ta.avi\t%D/out/_ZLVR_a.mp4",
        "오류\ta.avi\t%D/y/a.avi => the output %D/out/_ZLVR_a.mp4 is also the output of an earlier file of this "
        "batch (%D/x/a.avi); only that file is converted to it"},
       {"out", "out/_ZLVR_a.mp4"}},
      {"a link at the output name is replaced, its target kept",
       [](const fs::path& d) {
         faults::MakeClip((d / "clip.avi").string());
         WriteFile((d / "outside.txt").string(), "a file outside the output folder");
         fs::create_directories(d / "out");
         fs::create_symlink("../outside.txt", d / "out/_ZLVR_clip.mp4");
         return Encode(d / "out", {(d / "clip.avi").string()});
       },
       0,
       {"완료\tclip.avi\t%D/out/_ZLVR_clip.mp4"},
       {"out/_ZLVR_clip.mp4"}},
      {"with a prefix an earlier output is replaced",
       [](const fs::path& d) {
         faults::MakeClip((d / "clip.avi").string());
         fs::create_directories(d / "out");
         WriteFile((d / "out/_ZLVR_clip.mp4").string(), "an earlier output");
         return Encode(d / "out", {(d / "clip.avi").string()});
       },
       0,
       {"완료\tclip.avi\t%D/out/_ZLVR_clip.mp4"},
       {"out/_ZLVR_clip.mp4"}},
  };
  for (const OutputCase& c : cases) RunCase(c);
}

// The output folder cannot take the output: the record gives the system's cause.
TEST(OutputFaults, OutputFolderFailuresSayWhy) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  faults::UseRealFfmpeg();
  const std::vector<OutputCase> cases = {
      {"the output folder is a file",
       [](const fs::path& d) {
         faults::MakeClip((d / "clip.avi").string());
         WriteFile((d / "notdir").string(), "x");
         return Encode(d / "notdir", {(d / "clip.avi").string()});
       },
       1,
       {"오류\tclip.avi\t%D/clip.avi => the output folder %D/notdir is a file, not a folder"},
       {}},
      {"the output folder cannot be made",
       [](const fs::path& d) {
         faults::MakeClip((d / "clip.avi").string());
         WriteFile((d / "afile").string(), "x");
         return Encode(d / "afile/sub", {(d / "clip.avi").string()});
       },
       1,
       {"오류\tclip.avi\t%D/clip.avi => cannot make the output folder %D/afile/sub: Not a directory"},
       {}},
  };
  for (const OutputCase& c : cases) RunCase(c);

  // Read-only: a read-only mount where we may mount (root ignores permission bits), else a
  // folder without write permission.
  TempDir tmp;
  const fs::path ro = tmp.path() / "ro";
  fs::create_directories(ro);
  std::string clip = faults::MakeClip(tmp.file("clip.avi"));
  bool mounted = false;
  if (::geteuid() == 0) {
    mounted = faults::MountTmpfs(ro, MS_RDONLY, "size=64k");
    ZELVORA_SKIP_WITHOUT_TOOL(!mounted, std::string("a read-only tmpfs could not be mounted: ") + std::strerror(errno));
  } else {
    fs::permissions(ro, fs::perms::owner_read | fs::perms::owner_exec);
  }
  RunResult r = Zelvora(Encode(ro, {clip}));
  if (mounted) ::umount(ro.c_str());
  fs::permissions(ro, fs::perms::owner_all);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  const std::string cause = mounted ? "Read-only file system" : "Permission denied";
  EXPECT_NE(r.out.find("오류\tclip.avi\t" + clip + " => cannot create a file in the output folder " + ro.string() + ": " +
                       cause),
            std::string::npos)
      << r.out;
}

// A full disk or a file size limit: ffmpeg may still exit 0 with a cut file. The row fails and
// no file is left in the output folder.
TEST(OutputFaults, FullDiskIsNeverDone) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  faults::UseRealFfmpeg();
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"), {.seconds = 4});

  struct Limit {
    const char* name;
    bool tmpfs;
  };
  for (Limit limit : {Limit{"file size limit", false}, Limit{"full tmpfs", true}}) {
    SCOPED_TRACE(limit.name);
    const fs::path out = tmp.path() / (limit.tmpfs ? "small" : "limited");
    fs::create_directories(out);
    if (limit.tmpfs && testsupport::SkipCaseWithoutTool(!faults::MountTmpfs(out, 0, "size=100k"),
                                                        std::string("a full tmpfs needs a mount, refused: ") +
                                                            std::strerror(errno)))
      continue;
    // A month of earlier errors already makes the error log bigger than the limit: appending
    // the row's record must fail like any write, not end the program.
    fs::create_directories(StateFolder());
    {
      std::ofstream log(ErrorLogThisMonth(), std::ios::app);
      log << std::string(100 * 1024, 'x') << '\n';
    }
    auto sourcesBefore = Snapshot(tmp.path() / "clip.avi");
    RunResult r = Zelvora(Encode(out, {clip}), [&] {
      if (!limit.tmpfs) {
        rlimit rl{60 * 1024, 60 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &rl);
        ::signal(SIGXFSZ, SIG_DFL);
      }
    });
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(out)) left.push_back(e.path().filename().string());
    if (limit.tmpfs) ::umount(out.c_str());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    ASSERT_EQ(faults::ResultLines(r.out).size(), 1u) << r.out;
    EXPECT_EQ(faults::ResultLines(r.out)[0].rfind("오류\tclip.avi\t", 0), 0u) << r.out;
    EXPECT_TRUE(left.empty()) << "left in the output folder: " << left.front();
    EXPECT_EQ(Snapshot(tmp.path() / "clip.avi"), sourcesBefore);
  }
}

// Stand-in encoders that claim success for output that is not whole: the judgement reads the
// output back with our probe and listens for write errors.
TEST(OutputFaults, BrokenOutputsAreNotDone) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"), {.seconds = 10});
  std::string whole = faults::MakeClip(tmp.file("whole.mp4"), {.seconds = 10});
  std::string shortClip = faults::MakeClip(tmp.file("short.mp4"), {.seconds = 2});
  const std::string done = "printf 'Duration: 00:00:10.00, start\\nframe=  250 fps=0 q=0 size=1kB time=00:00:10.00 b=1\\n'\n";
  struct Row {
    const char* name;
    std::string body;
    std::string detail;  // in the result line (the record)
  };
  const std::vector<Row> rows = {
      {"cut in the middle (no index)", "head -c 20000 '" + whole + "' > \"$out\"\n" + done,
       "the output does not read back as a MP4 file"},  // no movie box: no MP4 at all
      {"a fifth of the play time", "cat '" + shortClip + "' > \"$out\"\n" + done,
       "the output plays 2 s of the source's 10 s: it is cut short"},
      {"a write error, exit 0", "cat '" + whole + "' > \"$out\"\n" + done +
                                    "printf 'av_interleaved_write_frame(): No space left on device\\n'\n",
       "the encoder could not write the output: av_interleaved_write_frame(): No space left on device"},
      {"killed by the file size limit", "cat '" + whole + "' > \"$out\"\n" + done + "kill -XFSZ $$\n",
       "the encoder was ended by signal 25"},
      {"nothing written", done, "no output file "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    faults::InstallFakeEncoder(tmp.file("enc.sh"), row.body);
    const fs::path out = tmp.path() / "out";
    auto before = Snapshot(tmp.path());
    RunResult r = Zelvora(Encode(out, {clip}));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    std::vector<std::string> lines = faults::ResultLines(r.out);
    ASSERT_EQ(lines.size(), 1u) << r.out;
    EXPECT_EQ(lines[0].rfind("오류\tclip.avi\t", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(row.detail), std::string::npos) << lines[0];
    // Nothing under the output's name, nothing under a temporary one.
    EXPECT_TRUE(fs::is_empty(out)) << r.out;
    auto after = Snapshot(tmp.path());
    after.erase("out");
    before.erase("out");
    EXPECT_EQ(after, before);
  }

  // The same stand-in writing a whole file: done, under the final name only.
  faults::InstallFakeEncoder(tmp.file("enc.sh"), "cat '" + whole + "' > \"$out\"\n" + done);
  RunResult r = Zelvora(Encode(tmp.path() / "out", {clip}));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(faults::ResultLines(r.out).at(0), "완료\tclip.avi\t" + tmp.file("out/_ZLVR_clip.mp4"));
  EXPECT_EQ(testsupport::ReadFile(tmp.file("out/_ZLVR_clip.mp4")), testsupport::ReadFile(whole));
  EXPECT_TRUE(faults::Temporaries(tmp.path() / "out").empty());
}

// Two runs at once on the same output: each encoder writes a file of its own; the output that
// stays is one whole file.
TEST(OutputFaults, ConcurrentRunsNeverShareAFile) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"), {.seconds = 2});
  std::string whole = faults::MakeClip(tmp.file("whole.mp4"), {.seconds = 2});
  const std::string paths = tmp.file("written.txt");
  // Each encoder says where it writes, then waits until both have said so, so the two runs overlap.
  faults::InstallFakeEncoder(tmp.file("enc.sh"),
                             "echo \"$out\" >> '" + paths + "'\n"
                             "i=0; while [ $(wc -l < '" + paths + "') -lt 2 ] && [ $i -lt 2000 ]; do sleep 0.05; i=$((i+1)); done\n"
                             "cat '" + whole + "' > \"$out\"\n"
                             "printf 'Duration: 00:00:02.00, s\\nframe=   50 fps=0 q=0 size=1kB time=00:00:02.00 b=1\\n'\n");
  faults::Running first(Encode(tmp.path() / "out", {clip}));
  faults::Running second(Encode(tmp.path() / "out", {clip}));
  RunResult a = first.Finish(), b = second.Finish();
  EXPECT_EQ(a.status, 0) << a.out << a.err;
  EXPECT_EQ(b.status, 0) << b.out << b.err;
  std::string written = testsupport::ReadFile(paths);
  std::string one = written.substr(0, written.find('\n'));
  std::string two = written.substr(written.find('\n') + 1);
  two = two.substr(0, two.find('\n'));
  EXPECT_NE(one, two);
  EXPECT_NE(one, tmp.file("out/_ZLVR_clip.mp4"));
  EXPECT_NE(two, tmp.file("out/_ZLVR_clip.mp4"));
  EXPECT_EQ(testsupport::ReadFile(tmp.file("out/_ZLVR_clip.mp4")), testsupport::ReadFile(whole));
  EXPECT_TRUE(faults::Temporaries(tmp.path() / "out").empty());
}

// Odd sources: a FIFO never blocks probe or encode; empty and unknown files say what they are.
TEST(OutputFaults, OddSourcesGetAClearError) {
  TempDir tmp;
  const std::string fifo = tmp.file("f.mp4");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  WriteFile(tmp.file("empty.mp4"), "");
  WriteFile(tmp.file("noise.avi"), std::string(4000, '\x5a'));
  fs::create_directories(tmp.path() / "folder.mp4");
  auto before = Snapshot(tmp.path());

  RunResult probe = Zelvora({"probe", fifo});
  EXPECT_FALSE(probe.hung);
  EXPECT_EQ(probe.status, 1) << probe.out << probe.err;
  EXPECT_NE(probe.err.find("not a regular file"), std::string::npos) << probe.err;

  RunResult r = Zelvora(Encode(tmp.path() / "out", {fifo, tmp.file("empty.mp4"), tmp.file("noise.avi"),
                                                   tmp.file("folder.mp4")}));
  EXPECT_FALSE(r.hung);
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines = faults::ResultLines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out << r.err;
  EXPECT_EQ(lines[0], "실패\tf.mp4\t" + fifo + ": is a FIFO, not a regular file");
  EXPECT_EQ(lines[1], "실패\tempty.mp4\t" + tmp.file("empty.mp4") + ": not a recognised media file");
  EXPECT_EQ(lines[2], "실패\tnoise.avi\t" + tmp.file("noise.avi") + ": not a recognised media file");
  EXPECT_EQ(lines[3], "실패\tfolder.mp4\t" + tmp.file("folder.mp4") + ": is a folder, not a regular file");
  EXPECT_EQ(Snapshot(tmp.path()), before);

  // Without the scan before the run, the same files still say what they are.
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  faults::UseRealFfmpeg();
  std::vector<std::string> args = Encode(tmp.path() / "out", {fifo, tmp.file("empty.mp4"), tmp.file("noise.avi")});
  args.insert(args.begin() + 1, {"--set", "etc_conf.language=1"});  // the skip-scan switch
  r = Zelvora(args);
  EXPECT_FALSE(r.hung);
  EXPECT_EQ(r.status, 1);
  lines = faults::ResultLines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out << r.err;
  EXPECT_EQ(lines[0], "실패\tf.mp4\t" + fifo + ": is a FIFO, not a regular file");
  EXPECT_EQ(lines[1], "실패\tempty.mp4\t" + tmp.file("empty.mp4") + ": not a recognised media file");
  EXPECT_NE(lines[2].find("오류\tnoise.avi\t"), std::string::npos) << lines[2];
  EXPECT_NE(testsupport::ReadFile(ErrorLogThisMonth()).find("Failed encoding media file, " + tmp.file("noise.avi") +
                                                            " : not a recognised media file"),
            std::string::npos);
  auto after = Snapshot(tmp.path());
  after.erase("out");
  EXPECT_EQ(after, before);
}

// Messages: the log file named is the one written, where no program folder is involved; result
// lines stay one per row whatever a name holds; substitutions are notes, not errors.
TEST(OutputFaults, MessagesTellTheTruth) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  faults::UseRealFfmpeg();
  TempDir tmp;
  std::string good1 = faults::MakeClip(tmp.file("one.avi"));
  std::string good2 = faults::MakeClip(tmp.file("two.avi"));
  fs::remove_all(StateFolder());

  // Two files done: the error log is not written; a substitution, if any, is one note.
  RunResult ok = Zelvora(Encode(tmp.path() / "out", {good1, good2}));
  EXPECT_EQ(ok.status, 0) << ok.out << ok.err;
  EXPECT_FALSE(fs::exists(ErrorLogThisMonth())) << testsupport::ReadFile(ErrorLogThisMonth());
  size_t notes = 0;
  for (size_t at = 0; (at = ok.err.find("note: ", at)) != std::string::npos; ++at) ++notes;
  EXPECT_LE(notes, 1u) << ok.err;

  // Names with a newline and a tab, one of them failing: one result line per row, escaped, and
  // a status line that names the month's log file, which holds the record.
  std::string newline = faults::MakeClip(tmp.file("a\nb.avi"));
  std::string tab = tmp.file("c\td.avi");
  WriteFile(tab, "not media at all, just text");
  fs::create_directories(tmp.path() / "out2");
  WriteFile(tmp.file("out2/a\nb.mp4"), "kept");
  RunResult bad = Zelvora(Encode(tmp.path() / "out2", {newline, tab}, ""));
  EXPECT_EQ(bad.status, 1);
  std::vector<std::string> lines = faults::ResultLines(bad.out);
  ASSERT_EQ(lines.size(), 2u) << bad.out;
  std::string dir = tmp.str();
  EXPECT_EQ(lines[0], "오류\ta\\nb.avi\t" + dir + "/a\\nb.avi => a file already exists at " + dir +
                          "/out2/a\\nb.mp4; it is kept (an empty file name prefix never replaces a file)");
  EXPECT_EQ(lines[1], "실패\tc\\td.avi\t" + dir + "/c\\td.avi: not a recognised media file");
  EXPECT_NE(bad.err.find("미디어 파일 변환중 1건 이상의 오류 발생.(로그파일 참조) " + ErrorLogThisMonth()), std::string::npos)
      << bad.err;
  EXPECT_NE(testsupport::ReadFile(ErrorLogThisMonth()).find("a file already exists at"), std::string::npos);
}

// Ten attempts of a file whose encoder always complains about the aspect ratio: the diagnostic
// record counts nine extra attempts.
TEST(OutputFaults, AttemptCountInTheDiagnosticLog) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"));
  faults::InstallFakeEncoder(tmp.file("enc.sh"), "echo \"$out\" >> '" + tmp.file("attempts") +
                                                     "'\nprintf 'Invalid pixel aspect ratio 0/1\\n'\n");
  const std::string logs = StateFolder() + "/debug_logs";
  fs::create_directories(logs);  // switches the diagnostic log on
  RunResult r = Zelvora(Encode(tmp.path() / "out", {clip}));
  fs::path debugLog = fs::path(logs) / "debug.log";
  std::string log = testsupport::ReadFile(debugLog.string());
  fs::remove_all(logs);
  EXPECT_EQ(r.status, 1);
  std::string attempts = testsupport::ReadFile(tmp.file("attempts"));
  EXPECT_EQ(std::count(attempts.begin(), attempts.end(), '\n'), 10);
  EXPECT_NE(log.find("After EncodingFileOne:0,9"), std::string::npos) << log;
}

// Ten thousand rows naming one source: one output, and every other row refused at once with
// its own record.
TEST(OutputFaults, TenThousandRows) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"));
  std::string whole = faults::MakeClip(tmp.file("whole.mp4"));
  faults::InstallFakeEncoder(tmp.file("enc.sh"), "cat '" + whole + "' > \"$out\"\n"
                                                 "printf 'Duration: 00:00:02.00, s\\nframe=   50 fps=0 q=0 size=1kB time=00:00:02.00 b=1\\n'\n");
  std::vector<std::string> files(10000, clip);
  RunResult r = Zelvora(Encode(tmp.path() / "out", files));
  ASSERT_FALSE(r.hung);
  EXPECT_EQ(r.status, 1);
  std::vector<std::string> lines = faults::ResultLines(r.out);
  ASSERT_EQ(lines.size(), 10000u);
  EXPECT_EQ(lines[0], "완료\tclip.avi\t" + tmp.file("out/_ZLVR_clip.mp4"));
  for (size_t i = 1; i < lines.size(); ++i)
    ASSERT_NE(lines[i].find("오류\tclip.avi\t" + clip + " => the output " + tmp.file("out/_ZLVR_clip.mp4") +
                            " is also the output of an earlier file of this batch"),
              std::string::npos)
        << i << ": " << lines[i];
  EXPECT_EQ(ProbedType(tmp.file("out/_ZLVR_clip.mp4")) > 0, true);
}
