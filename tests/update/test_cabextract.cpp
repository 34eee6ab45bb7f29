// Cabinet extraction of cabinets made by gcab: opening, files and folders, names by position,
// times and the read-only attribute, unsafe names, size limits and damaged data.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "ArchiveFixtures.h"
#include "TestSupport.h"
#include "update/CabExtract.h"

namespace fs = std::filesystem;
using fixtures::Listing;
using fixtures::Pattern;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::time_t Local(int y, int mo, int d, int h, int mi, int s) {
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = s;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

// Makes `cab` from the files named relative to `folder` (their paths are stored), compressed with MSZIP.
void MakeCab(const std::string& folder, const std::string& cab, const std::vector<std::string>& files) {
  std::vector<std::string> argv = {"env", "-C", folder, "gcab", "-c", "-z", cab};
  argv.insert(argv.end(), files.begin(), files.end());
  std::string output;
  ASSERT_EQ(testsupport::RunCommand(argv, &output), 0) << output;
}

// a.dll (small, time 2014-03-09 07:05:30) and sub/b.ocx (two MSZIP blocks and more).
std::string StandardCab(const TempDir& dir) {
  fs::create_directories(dir.path() / "src" / "sub");
  WriteFile(dir.file("src/a.dll"), "a.dll bytes");
  WriteFile(dir.file("src/sub/b.ocx"), Pattern(100000, 4));
  const std::time_t t = Local(2014, 3, 9, 7, 5, 30);
  utimbuf times{t, t};
  ::utime(dir.file("src/a.dll").c_str(), &times);
  const std::string cab = dir.file("pkg.cab");
  MakeCab(dir.file("src"), cab, {"a.dll", "sub/b.ocx"});
  return cab;
}

bool HaveGcab() { return testsupport::HaveProgram("gcab"); }

}  // namespace

TEST(CabExtract, OpenTellsMissingFilesAndNonCabinetsApart) {
  if (!HaveGcab()) GTEST_SKIP() << "gcab is not installed";
  TempDir dir;
  const std::string cab = StandardCab(dir);
  fixtures::MakeZip(dir.file("really.zip"), R"([{"name": "a.dll", "text": "zip"}])");
  WriteFile(dir.file("empty.cab"), "");
  struct Case {
    std::string path;
    int reason;
  } cases[] = {{cab, 0}, {dir.file("missing.cab"), -2}, {dir.file("really.zip"), -3}, {dir.file("empty.cab"), -3}};
  for (const Case& c : cases) {
    int reason = 99;
    CabHandle context = CabOpen(c.path, &reason);
    EXPECT_EQ(reason, c.reason) << c.path;
    EXPECT_EQ(context != nullptr, c.reason == 0) << c.path;
    CabClose(context);
    EXPECT_EQ(context, nullptr);
  }
}

TEST(CabExtract, FilesLandInTheirFoldersWithTimesAndNamesByPosition) {
  if (!HaveGcab()) GTEST_SKIP() << "gcab is not installed";
  TempDir dir;
  const std::string cab = StandardCab(dir);
  int reason = 0;
  CabHandle context = CabOpen(cab, &reason);
  ASSERT_TRUE(context);
  const fs::path t = dir.path() / "T";
  ArchiveReport report;
  EXPECT_EQ(CabExtractAll(*context, cab, t.string(), &report), 2);
  EXPECT_EQ(report.members, 2);
  EXPECT_EQ(Listing(t), (std::vector<std::string>{"a.dll", "sub/", "sub/b.ocx"}));
  EXPECT_EQ(ReadFile((t / "a.dll").string()), "a.dll bytes");
  EXPECT_EQ(ReadFile((t / "sub/b.ocx").string()), Pattern(100000, 4));
  struct stat st{};
  ASSERT_EQ(::stat((t / "a.dll").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, Local(2014, 3, 9, 7, 5, 30));
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  EXPECT_EQ(CabMemberName(*context, cab, 0), "a.dll");
  EXPECT_EQ(CabMemberName(*context, cab, 1), "sub/b.ocx");  // stored as sub\b.ocx
  EXPECT_EQ(CabMemberName(*context, cab, 2), std::nullopt);

  // An existing file of the same name is replaced.
  WriteFile((t / "a.dll").string(), "old");
  EXPECT_EQ(CabExtractAll(*context, cab, t.string()), 2);
  EXPECT_EQ(ReadFile((t / "a.dll").string()), "a.dll bytes");
}

TEST(CabExtract, ReadOnlyAttributeBecomesAReadOnlyFile) {
  if (!HaveGcab()) GTEST_SKIP() << "gcab is not installed";
  TempDir dir;
  const std::string cab = StandardCab(dir);
  // attribs of a.dll (the two bytes before its name): archive (0x20) becomes archive + read-only.
  fixtures::PatchBytes(cab, std::string("\x20\x00" "a.dll", 7), std::string("\x21\x00" "a.dll", 7));
  CabHandle context = CabOpen(cab, nullptr);
  ASSERT_TRUE(context);
  EXPECT_EQ(CabExtractAll(*context, cab, dir.file("T")), 2);
  struct stat st{};
  ASSERT_EQ(::stat(dir.file("T/a.dll").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST(CabExtract, NamesThatLeaveTheDestinationAreSkipped) {
  if (!HaveGcab()) GTEST_SKIP() << "gcab is not installed";
  TempDir dir;
  fs::create_directories(dir.path() / "src" / "aa");
  WriteFile(dir.file("src/aa/x"), "climb");
  WriteFile(dir.file("src/ok.txt"), "fine");
  const std::string cab = dir.file("pkg.cab");
  MakeCab(dir.file("src"), cab, {"aa/x", "ok.txt"});
  fixtures::PatchBytes(cab, std::string("aa\\x\0", 5), std::string("..\\x\0", 5));
  CabHandle context = CabOpen(cab, nullptr);
  ASSERT_TRUE(context);
  fs::create_directories(dir.path() / "deep" / "T");
  ArchiveReport report;
  EXPECT_EQ(CabExtractAll(*context, cab, dir.file("deep/T"), &report), 1);
  EXPECT_EQ(report.skipped, 1);
  EXPECT_EQ(Listing(dir.path() / "deep"), (std::vector<std::string>{"T/", "T/ok.txt"}));
  EXPECT_EQ(CabMemberName(*context, cab, 0), std::nullopt);
  EXPECT_EQ(CabMemberName(*context, cab, 1), "ok.txt");
}

TEST(CabExtract, CabinetsDeclaringTooMuchOrDamagedFail) {
  if (!HaveGcab()) GTEST_SKIP() << "gcab is not installed";
  TempDir dir;
  const std::string cab = StandardCab(dir);
  const std::string bytes = ReadFile(cab);
  // cbFile of a.dll (11 bytes) claimed as 2 GiB − 1.
  const std::string bomb = dir.file("bomb.cab");
  {
    std::string b = bytes;
    const size_t name = b.find(std::string("a.dll\0", 6));
    ASSERT_NE(name, std::string::npos);
    const size_t cbFile = name - 16;  // cbFile, uoffFolderStart, iFolder, date, time, attribs
    ASSERT_EQ(b.substr(cbFile, 4), std::string("\x0b\x00\x00\x00", 4));
    b.replace(cbFile, 4, std::string("\xff\xff\xff\x7f", 4));
    WriteFile(bomb, b);
  }
  // The compressed data damaged in its middle.
  const std::string damaged = dir.file("damaged.cab");
  {
    std::string b = bytes;
    for (size_t i = b.size() / 2; i < b.size() / 2 + 64; ++i) b[i] = static_cast<char>(~b[i]);
    WriteFile(damaged, b);
  }
  for (const std::string& path : {bomb, damaged}) {
    SCOPED_TRACE(path);
    CabHandle context = CabOpen(path, nullptr);
    ASSERT_TRUE(context);
    const fs::path t = dir.path() / ("T" + fs::path(path).stem().string());
    EXPECT_EQ(CabExtractAll(*context, path, t.string()), -1);
    // Whatever was written is whole: no temporary files, no file shorter than its member.
    if (fs::exists(t)) {
      for (const std::string& name : Listing(t)) EXPECT_EQ(name.find(".zvtmp"), std::string::npos) << name;
    }
    if (fs::exists(t / "sub" / "b.ocx")) {
      EXPECT_EQ(ReadFile((t / "sub/b.ocx").string()), Pattern(100000, 4));
    }
  }
}
