// Cabinet extraction of cabinets made by gcab: opening, files and folders, names by position,
// times and the read-only attribute, unsafe names, size limits and damaged data. Cabinets
// written here byte by byte (stored, uncompressed) cover what needs no gcab: UTF-8 names, paths
// past 260 characters, unsafe names and forged sizes, on every system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>

#include "support/WideText.h"
#endif
#include <utime.h>

#include <filesystem>
#include <iostream>
#include <optional>

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
  ASSERT_EQ(testsupport::RunFixtureTool(argv, &output), 0) << output;
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

// A member of a cabinet written here: its stored name, its data, its attribute bits, and the
// size its entry declares when that is to be forged (else the data's size).
struct StoredMember {
  std::string name;
  std::string data;
  uint16_t attribs = 0x20;
  std::optional<uint32_t> declared;
};

void Put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<uint16_t>(v >> 16));
}

// A single-folder cabinet with uncompressed data blocks, laid out as the cabinet format
// describes it: header, one folder entry, the file entries, then the data blocks (checksum
// 0, meaning none, at most 32768 bytes each). Member times are 2014-03-09 07:05:30.
std::string StoredCabinet(const std::vector<StoredMember>& members) {
  std::string files, data;
  uint32_t offset = 0;
  for (const StoredMember& m : members) {
    Put32(files, m.declared ? *m.declared : static_cast<uint32_t>(m.data.size()));
    Put32(files, offset);
    Put16(files, 0);                                  // folder 0
    Put16(files, ((2014 - 1980) << 9) | (3 << 5) | 9);  // date
    Put16(files, (7 << 11) | (5 << 5) | (30 / 2));      // time
    Put16(files, m.attribs);
    files += m.name;
    files += '\0';
    offset += static_cast<uint32_t>(m.data.size());
    data += m.data;
  }
  std::string blocks;
  uint16_t count = 0;
  for (size_t at = 0; at < data.size() || count == 0; at += 32768, ++count) {
    const std::string piece = data.substr(at, 32768);
    Put32(blocks, 0);
    Put16(blocks, static_cast<uint16_t>(piece.size()));
    Put16(blocks, static_cast<uint16_t>(piece.size()));
    blocks += piece;
    if (data.empty()) break;
  }
  if (data.empty()) count = 1;
  constexpr uint32_t kHeader = 36, kFolder = 8;
  std::string cab = "MSCF";
  Put32(cab, 0);
  Put32(cab, static_cast<uint32_t>(kHeader + kFolder + files.size() + blocks.size()));
  Put32(cab, 0);
  Put32(cab, kHeader + kFolder);  // first file entry
  Put32(cab, 0);
  cab += '\x03';  // version 1.3
  cab += '\x01';
  Put16(cab, 1);  // folders
  Put16(cab, static_cast<uint16_t>(members.size()));
  Put16(cab, 0);  // flags
  Put16(cab, 0x1234);
  Put16(cab, 0);
  Put32(cab, static_cast<uint32_t>(kHeader + kFolder + files.size()));  // first data block
  Put16(cab, count);
  Put16(cab, 0);  // stored
  return cab + files + blocks;
}

// Paths as UTF-8 text, whatever the system's narrow encoding.
std::string Utf8(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}
fs::path FromUtf8(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }

// A folder's listing with UTF-8 names. On Windows it is walked with FindFirstFileW through the
// "\\?\" form: the C runtime's folder reading (under std::filesystem) stops at 260 characters.
#ifdef _WIN32
void ListInto(const std::wstring& folder, const std::string& prefix, std::vector<std::string>& names) {
  WIN32_FIND_DATAW found{};
  HANDLE h = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::string path = prefix + Utf8(fs::path(name));
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      names.push_back(path + "/");
      ListInto(folder + L"\\" + name, path + "/", names);
    } else {
      names.push_back(path);
    }
  } while (::FindNextFileW(h, &found));
  ::FindClose(h);
}
#endif

// Whether a file may be written to. On Windows its read-only attribute is read by the wide long
// form of its name: the C runtime's stat stops at 260 characters and takes no "\\?\" names.
bool Writable(const fs::path& file) {
#ifdef _WIN32
  const DWORD attributes = ::GetFileAttributesW(WidePath(Utf8(file)).c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << Utf8(file);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY);
#else
  return (fs::status(file).permissions() & fs::perms::owner_write) != fs::perms::none;
#endif
}

std::vector<std::string> Utf8Listing(const fs::path& folder) {
  std::vector<std::string> names;
#ifdef _WIN32
  ListInto(L"\\\\?\\" + fs::absolute(folder).make_preferred().wstring(), "", names);
#else
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = Utf8(it->path().lexically_relative(folder).generic_u8string());
    if (it->is_directory() && !it->is_symlink()) name += "/";
    names.push_back(name);
  }
#endif
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(CabExtractStored, UtfNamesReadOnlyAndLongPathsComeOutWhole) {
  TempDir dir;
  const std::string korean = "\xed\x95\x9c\xea\xb8\x80";  // 한글
  // A destination whose path is well past 260 characters, with a Korean folder in it.
  fs::path dest = dir.path() / FromUtf8("dest-" + korean);
  for (int i = 0; i < 6; ++i) dest /= std::string(48, static_cast<char>('a' + i));
  ASSERT_GT(Utf8(dest).size(), 300u);
  const std::string cab = dir.file("stored.cab");
  WriteFile(cab, StoredCabinet({{"plain.txt", "plain text\n"},
                                {"sub\\" + korean + ".dll", Pattern(70000, 3), 0x20 | 0x80},
                                {"locked.ini", "keep=1\n", 0x21}}));
  int reason = 9;
  CabHandle context = CabOpen(cab, &reason);
  ASSERT_TRUE(context);
  EXPECT_EQ(reason, 0);
  ArchiveReport report;
  EXPECT_EQ(CabExtractAll(*context, cab, Utf8(dest), &report), 3);
  EXPECT_EQ(report.members, 3);
  EXPECT_EQ(report.skipped, 0);
  EXPECT_EQ(Utf8Listing(dest), (std::vector<std::string>{"locked.ini", "plain.txt", "sub/", "sub/" + korean + ".dll"}));
  EXPECT_EQ(ReadFile(Utf8(dest / "plain.txt")), "plain text\n");
  EXPECT_EQ(ReadFile(Utf8(dest / "sub" / FromUtf8(korean + ".dll"))), Pattern(70000, 3));
  EXPECT_FALSE(Writable(dest / "locked.ini"));
  EXPECT_TRUE(Writable(dest / "plain.txt"));
  EXPECT_EQ(CabMemberName(*context, cab, 1), "sub/" + korean + ".dll");
  // Extracting again replaces every file, the read-only one included.
  EXPECT_EQ(CabExtractAll(*context, cab, Utf8(dest)), 3);
  EXPECT_EQ(ReadFile(Utf8(dest / "locked.ini")), "keep=1\n");
}

TEST(CabExtractStored, UnsafeNamesAreSkippedAndNothingLeavesTheDestination) {
  TempDir dir;
  const std::string cab = dir.file("evil.cab");
  WriteFile(cab, StoredCabinet({{"..\\up.txt", "up"},
                                {"\\rooted.txt", "rooted"},
                                {"C:\\drive.txt", "drive"},
                                {"a\\..\\..\\deep.txt", "deep"},
                                {"ok\\kept.txt", "kept"}}));
  CabHandle context = CabOpen(cab, nullptr);
  ASSERT_TRUE(context);
  fs::create_directories(dir.path() / "box");
  ArchiveReport report;
  EXPECT_EQ(CabExtractAll(*context, cab, dir.file("box/T"), &report), 1);
  EXPECT_EQ(report.members, 5);
  EXPECT_EQ(report.skipped, 4);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"box/", "box/T/", "box/T/ok/", "box/T/ok/kept.txt", "evil.cab"}));
  EXPECT_EQ(CabMemberName(*context, cab, 0), std::nullopt);
  EXPECT_EQ(CabMemberName(*context, cab, 4), "ok/kept.txt");
}

TEST(CabExtractStored, ForgedSizesAreRefusedAndLeaveNoHalfFile) {
  struct Case {
    const char* what;
    std::vector<StoredMember> members;
  };
  const std::vector<Case> cases = {
      {"a size past the total limit", {{"huge.bin", "tiny", 0x20, uint32_t{0x7FFFFFFF}}}},
      {"a ratio past the limit", {{"a.bin", "abc", 0x20, uint32_t{8u << 20}}}},
      {"more declared than stored", {{"short.bin", Pattern(5000, 1), 0x20, uint32_t{40000}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string cab = dir.file("forged.cab");
    WriteFile(cab, StoredCabinet(c.members));
    CabHandle context = CabOpen(cab, nullptr);
    ASSERT_TRUE(context);
    EXPECT_EQ(CabExtractAll(*context, cab, dir.file("T")), -1);
    // Neither the member nor a temporary file of it is left behind.
    const std::vector<std::string> left = fs::exists(dir.path() / "T") ? Listing(dir.path() / "T") : std::vector<std::string>{};
    EXPECT_EQ(left, std::vector<std::string>{});
  }
}

TEST(CabExtract, OpenTellsMissingFilesAndNonCabinetsApart) {
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
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
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
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
  ASSERT_EQ(::stat((t / "a.dll").string().c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, Local(2014, 3, 9, 7, 5, 30));
#ifdef _WIN32
  EXPECT_EQ(st.st_mode & 0777, 0666u);  // Windows files have one read-only attribute for everyone
#else
  EXPECT_EQ(st.st_mode & 0777, 0644u);
#endif

  EXPECT_EQ(CabMemberName(*context, cab, 0), "a.dll");
  EXPECT_EQ(CabMemberName(*context, cab, 1), "sub/b.ocx");  // stored as sub\b.ocx
  EXPECT_EQ(CabMemberName(*context, cab, 2), std::nullopt);

  // An existing file of the same name is replaced.
  WriteFile((t / "a.dll").string(), "old");
  EXPECT_EQ(CabExtractAll(*context, cab, t.string()), 2);
  EXPECT_EQ(ReadFile((t / "a.dll").string()), "a.dll bytes");
}

TEST(CabExtract, ReadOnlyAttributeBecomesAReadOnlyFile) {
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
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
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
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
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
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
  // The compressed data damaged in its middle: a run of 64 bytes inverted, which the block
  // checksum (XOR of 32-bit words) cannot see, so only the decoder can tell; and one bit
  // flipped, which the checksum sees.
  const std::string damaged = dir.file("damaged.cab");
  const std::string flipped = dir.file("flipped.cab");
  {
    std::string b = bytes;
    for (size_t i = b.size() / 2; i < b.size() / 2 + 64; ++i) b[i] = static_cast<char>(~b[i]);
    WriteFile(damaged, b);
    b = bytes;
    b[b.size() / 2] = static_cast<char>(b[b.size() / 2] ^ 0x10);
    WriteFile(flipped, b);
  }
  for (const std::string& path : {bomb, damaged, flipped}) {
    SCOPED_TRACE(path);
    if (path == damaged && testsupport::RunningUnderWine()) {
      std::cout << "[  SKIPPED ] a case: Wine's cabinet.dll decodes damaged MSZIP data without an error\n";
      continue;
    }
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

// A stop reaches inside the decoder through its reads and writes: a large member under way is
// dropped whole, the members after it are not begun, and the call returns at once.
TEST(CabExtractStop, AStopInsideALargeMemberEndsAtOnceAndLeavesNothing) {
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("gcab");
  TempDir dir;
  fs::create_directories(dir.path() / "src");
  fixtures::MakeSparseFile(dir.file("src/big.bin"), uint64_t{128} << 20);
  WriteFile(dir.file("src/after.txt"), "after");
  const std::string cab = dir.file("big.cab");
  MakeCab(dir.file("src"), cab, {"big.bin", "after.txt"});
  ASSERT_LT(fs::file_size(cab), uint64_t{2} << 20);
  CabHandle context = CabOpen(cab, nullptr);
  ASSERT_TRUE(context);
  const std::string dest = dir.file("T");
  fs::create_directories(dest);
  std::atomic<bool> stop{false};
  fixtures::StopWhenWriting watch(dest, 1 << 20, stop);
  ArchiveReport report;
  const int written = CabExtractAll(*context, cab, dest, &report, &stop);
  const auto ended = std::chrono::steady_clock::now();
  watch.Join();
  ASSERT_TRUE(watch.Fired()) << "the member was never seen being written";
  EXPECT_EQ(written, -1);
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(report.extracted, 0);
  // One decoder frame (32 KB) after the stop; the margin is for a loaded machine.
  EXPECT_LT(ended - watch.At(), std::chrono::seconds(5));
  EXPECT_EQ(Listing(dest), std::vector<std::string>{});

  // A stop asked before the call writes nothing; the same context, without one, extracts whole.
  const std::string before = dir.file("before");
  EXPECT_EQ(CabExtractAll(*context, cab, before, &report, &stop), -1);
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(fs::exists(before) ? Listing(before) : std::vector<std::string>{}, std::vector<std::string>{});
  const std::string small = dir.file("small.cab");
  MakeCab(dir.file("src"), small, {"after.txt"});
  CabHandle other = CabOpen(small, nullptr);
  ASSERT_TRUE(other);
  std::atomic<bool> never{false};
  EXPECT_EQ(CabExtractAll(*other, small, dir.file("whole"), &report, &never), 1);
  EXPECT_FALSE(report.stopped);
  EXPECT_EQ(ReadFile(dir.file("whole/after.txt")), "after");
}
