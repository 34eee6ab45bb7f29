// ZIP extraction of archives made by Python's zipfile and zip: layout, data, times and
// attributes, members that must not be extracted, unsafe names, links and size limits.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "ArchiveFixtures.h"
#include "TestSupport.h"
#include "support/DebugLog.h"
#include "update/ZipExtract.h"
#include "update/ZipReader.h"

#include <zlib.h>

namespace fs = std::filesystem;
using fixtures::Listing;
using fixtures::MakeZip;

// The ZIP fixtures are written by Python's zipfile at test time (an independent writer); where
// it is missing those cases are skipped and say so. Under Wine the Linux python3 writes them.
#define NEED_ZIP_MAKER() ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("python3")
using fixtures::Pattern;
using testsupport::ReadFile;
using testsupport::TempDir;

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

struct stat Status(const fs::path& p) {
  struct stat st{};
#ifdef _WIN32
  EXPECT_EQ(::stat(p.string().c_str(), &st), 0) << p;  // no links to tell apart here
#else
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
#endif
  return st;
}

// A ZIP archive written here with zlib (raw deflate) for the cases that need no Python: every
// member gets a local header, its data, and a central entry, as the format describes them.
struct WrittenMember {
  std::string name;
  std::string data;
  bool deflate = false;
  bool utf8 = false;  // general-purpose flag bit 11: the name is UTF-8
};

void Le(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string RawDeflate(const std::string& data) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string WrittenZip(const std::vector<WrittenMember>& members) {
  std::string zip, central;
  for (const WrittenMember& m : members) {
    const std::string stored = m.deflate ? RawDeflate(m.data) : m.data;
    const auto crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(m.data.data()), static_cast<uInt>(m.data.size())));
    const uint32_t offset = static_cast<uint32_t>(zip.size());
    auto common = [&](std::string& h) {
      Le(h, 20, 2);                           // version needed
      Le(h, m.utf8 ? 0x0800 : 0, 2);          // flags
      Le(h, m.deflate ? 8 : 0, 2);            // method
      Le(h, (7 << 11) | (5 << 5) | 15, 2);    // 07:05:30
      Le(h, ((2014 - 1980) << 9) | (3 << 5) | 9, 2);
      Le(h, crc, 4);
      Le(h, static_cast<uint32_t>(stored.size()), 4);
      Le(h, static_cast<uint32_t>(m.data.size()), 4);
      Le(h, static_cast<uint32_t>(m.name.size()), 2);
      Le(h, 0, 2);                            // extra
    };
    zip += "PK\x03\x04";
    common(zip);
    zip += m.name + stored;
    central += "PK\x01\x02";
    Le(central, 20, 2);  // made by (DOS)
    common(central);
    Le(central, 0, 2);   // comment
    Le(central, 0, 2);   // disk
    Le(central, 0, 2);   // internal attributes
    Le(central, 0x20, 4);
    Le(central, offset, 4);
    central += m.name;
  }
  const uint32_t at = static_cast<uint32_t>(zip.size());
  zip += central;
  zip += "PK\x05\x06";
  Le(zip, 0, 4);
  Le(zip, static_cast<uint32_t>(members.size()), 2);
  Le(zip, static_cast<uint32_t>(members.size()), 2);
  Le(zip, static_cast<uint32_t>(central.size()), 4);
  Le(zip, at, 4);
  Le(zip, 0, 2);
  return zip;
}

fs::path FromUtf8(const std::string& text) { return fs::path(std::u8string(text.begin(), text.end())); }
std::string Utf8(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

// A stored and a deflated member beside the one under test.
std::string WithNeighbours(const std::string& member) {
  return R"([{"name": "first.txt", "text": "first", "method": 0}, )" + member +
         R"(, {"name": "last.bin", "pattern": [70000, 3], "method": 8}])";
}

}  // namespace

TEST(ZipExtract, MembersLandInTheirFoldersWithTimesAndAttributes) {
  NEED_ZIP_MAKER();
  TempDir dir;
  const std::string zip = dir.file("pkg.zip");
  MakeZip(zip, R"([{"name": "a.dll", "pattern": [200000, 1], "method": 8, "attr": 2179792896},
                   {"name": "sub\\b.ocx", "text": "ocx bytes", "method": 0, "date": [2010, 12, 31, 23, 59, 58]},
                   {"name": "ro.txt", "text": "read only", "system": 0, "attr": 1},
                   {"name": "empty/", "system": 0, "attr": 16}])");
  const fs::path t = dir.path() / "T";
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(zip, t.string(), nullptr, 1, &report), 4);
  EXPECT_EQ(report.extracted, 4);
  EXPECT_EQ(Listing(t), (std::vector<std::string>{"a.dll", "empty/", "ro.txt", "sub/", "sub/b.ocx"}));
  EXPECT_EQ(ReadFile((t / "a.dll").string()), Pattern(200000, 1));
  EXPECT_EQ(ReadFile((t / "sub/b.ocx").string()), "ocx bytes");
#ifdef _WIN32
  EXPECT_EQ(Status(t / "a.dll").st_mode & 0777, 0666u);  // no execute bits: only the read-only attribute counts
#else
  EXPECT_EQ(Status(t / "a.dll").st_mode & 0777, 0755u);  // 2179792896 = 0100755 << 16
#endif
  EXPECT_EQ(Status(t / "ro.txt").st_mode & 0777, 0444u);  // the DOS read-only attribute
  EXPECT_EQ(Status(t / "a.dll").st_mtime, Local(2014, 3, 9, 7, 5, 30));
  EXPECT_EQ(Status(t / "sub/b.ocx").st_mtime, Local(2010, 12, 31, 23, 59, 58));

  EXPECT_EQ(ZipMemberName(zip, 0), "a.dll");
  EXPECT_EQ(ZipMemberName(zip, 1), "sub/b.ocx");
  EXPECT_EQ(ZipMemberName(zip, 3), "empty");
  EXPECT_EQ(ZipMemberName(zip, 4), std::nullopt);
  EXPECT_EQ(ZipMemberName(zip, -1), std::nullopt);
}

TEST(ZipExtract, StoredCopiedDeflatedInflatedAcrossManyChunks) {
  NEED_ZIP_MAKER();
  TempDir dir;
  const std::string zip = dir.file("data.zip");
  MakeZip(zip, R"([{"name": "stored.bin", "pattern": [300001, 5], "method": 0},
                   {"name": "deflated.bin", "pattern": [1000000, 9], "method": 8},
                   {"name": "zero.bin", "method": 8}])");
  std::vector<std::pair<int, int>> progress;
  auto record = [&](int position, int percent, const std::string&) { progress.emplace_back(position, percent); };
  EXPECT_EQ(ZipExtractAll(zip, dir.file("out"), record, 1), 3);
  EXPECT_EQ(ReadFile(dir.file("out/stored.bin")), Pattern(300001, 5));
  EXPECT_EQ(ReadFile(dir.file("out/deflated.bin")), Pattern(1000000, 9));
  EXPECT_EQ(ReadFile(dir.file("out/zero.bin")), "");
  EXPECT_EQ(progress, (std::vector<std::pair<int, int>>{{0, 300001 * 100 / 1300001}, {1, 100}, {2, 100}}));
}

TEST(ZipExtract, Zip64SizesAreRead) {
  NEED_ZIP_MAKER();
  TempDir dir;
  const std::string zip = dir.file("zip64.zip");
  // One deflated member whose central record then says 0xFFFFFFFF for both sizes and carries
  // them in a ZIP64 extra field (as archivers do for members of 4 GiB and more).
  const char* program = R"PY(
import struct, sys, zipfile
out = sys.argv[1]
with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("big.bin", bytes((i * 7 + 2) % 251 for i in range(251)) * 400)
raw = bytearray(open(out, "rb").read())
end = raw.rindex(b"PK\x05\x06")
count, size, start = struct.unpack_from("<HII", raw, end + 10)
record = raw[start:start + size]
csize, usize, n, e = struct.unpack_from("<IIHH", record, 20)
struct.pack_into("<IIHH", record, 20, 0xFFFFFFFF, 0xFFFFFFFF, n, e + 20)
extra = struct.pack("<HHQQ", 1, 16, usize, csize)
record[46 + n + e:46 + n + e] = extra
raw[start:start + size] = record
struct.pack_into("<HII", raw, start + len(record) + 10, count, len(record), start)
open(out, "wb").write(raw)
)PY";
  std::string output;
  ASSERT_EQ(testsupport::RunFixtureTool({"python3", "-c", program, zip}, &output), 0) << output;
  std::unique_ptr<ByteSource> source = OpenFileSource(zip);
  ASSERT_TRUE(source);
  std::optional<ZipDirectory> directory = ReadZipDirectory(*source);
  ASSERT_TRUE(directory);
  ASSERT_EQ(directory->entries.size(), 1u);
  EXPECT_EQ(directory->entries[0].size, 251u * 400);
  EXPECT_EQ(ZipExtractAll(zip, dir.file("T"), nullptr, 1), 1);
  EXPECT_EQ(ReadFile(dir.file("T/big.bin")), Pattern(251 * 400, 2));
}

TEST(ZipExtract, WithoutADestinationTheArchivesFolderReceivesTheMembers) {
  NEED_ZIP_MAKER();
  TempDir dir;
  MakeZip(dir.file("pkg.zip"), R"([{"name": "x.txt", "text": "x"}])");
  EXPECT_EQ(ZipExtractAll(dir.file("pkg.zip"), "", nullptr, 1), 1);
  EXPECT_EQ(ReadFile(dir.file("x.txt")), "x");
  EXPECT_EQ(ZipExtractAll("", dir.str(), nullptr, 1), 0);
}

// Each member is refused on its own: the others are extracted, nothing of it is left behind
// (no file under its name, no temporary file), and the archive's count is still returned.
TEST(ZipExtract, MembersThatCannotBeExtractedLeaveNothing) {
  NEED_ZIP_MAKER();
  struct Case {
    const char* what;
    std::string member;
    std::string patches;
  } cases[] = {
      {"method 12 (bzip2)", R"({"name": "bad.bin", "pattern": [5000, 1], "method": 12})", "[]"},
      {"CRC mismatch", R"({"name": "bad.bin", "pattern": [5000, 1], "method": 8})",
       R"([{"member": 1, "field": "crc", "value": 305419896}])"},
      {"flagged encrypted", R"({"name": "bad.bin", "pattern": [5000, 1], "method": 0})",
       R"([{"member": 1, "field": "flags", "value": 1}])"},
      {"more data than declared", R"({"name": "bad.bin", "pattern": [5000, 1], "method": 8})",
       R"([{"member": 1, "field": "usize", "value": 4999}])"},
      {"less data than declared", R"({"name": "bad.bin", "pattern": [5000, 1], "method": 8})",
       R"([{"member": 1, "field": "usize", "value": 5001}])"},
      {"deflate stream cut short", R"({"name": "bad.bin", "pattern": [5000, 1], "method": 8})",
       R"([{"member": 1, "field": "csize", "value": 20}])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string zip = dir.file("pkg.zip");
    MakeZip(zip, WithNeighbours(c.member), c.patches);
    ArchiveReport report;
    EXPECT_EQ(ZipExtractAll(zip, dir.file("T"), nullptr, 1, &report), 3);
    EXPECT_EQ(report.extracted, 2);
    EXPECT_EQ(report.failed, 1);
    EXPECT_EQ(Listing(dir.path() / "T"), (std::vector<std::string>{"first.txt", "last.bin"}));
    EXPECT_EQ(ReadFile(dir.file("T/last.bin")), Pattern(70000, 3));
  }
}

TEST(ZipExtract, PasswordProtectedMemberIsNotExtracted) {
  ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL("zip");
  TempDir dir;
  testsupport::WriteFile(dir.file("secret.txt"), "secret text");
  std::string output;
  ASSERT_EQ(testsupport::RunFixtureTool({"zip", "-q", "-j", "-P", "pw", dir.file("enc.zip"), dir.file("secret.txt")}, &output), 0)
      << output;
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(dir.file("enc.zip"), dir.file("T"), nullptr, 1, &report), 1);
  EXPECT_EQ(report.failed, 1);
  EXPECT_EQ(Listing(dir.path() / "T"), std::vector<std::string>{});
}

TEST(ZipExtract, NamesThatLeaveTheDestinationAreSkippedAndLogged) {
  NEED_ZIP_MAKER();
  fs::create_directories(DebugLogFolder());
  TempDir dir;
  const std::string zip = dir.file("pkg.zip");
  MakeZip(zip, R"([{"name": "../x", "text": "climb"},
                   {"name": "/abs", "text": "absolute"},
                   {"name": "sub\\..\\..\\y", "text": "backslash climb"},
                   {"name": "ok/../../z", "text": "climb in the middle"},
                   {"name": "C:\\evil.dll", "text": "drive"},
                   {"name": "\\\\server\\share", "text": "unc"},
                   {"name": "fine/./name.txt", "text": "fine"}])");
  const fs::path t = dir.path() / "deep" / "T";
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(zip, t.string(), nullptr, 1, &report), 7);
  EXPECT_EQ(report.skipped, 6);
  EXPECT_EQ(report.extracted, 1);
  EXPECT_EQ(Listing(dir.path()), (std::vector<std::string>{"deep/", "deep/T/", "deep/T/fine/", "deep/T/fine/name.txt", "pkg.zip"}));
  EXPECT_FALSE(fs::exists("/abs"));
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ZipMemberName(zip, i), std::nullopt) << i;
  EXPECT_EQ(ZipMemberName(zip, 6), "fine/name.txt");
  const std::string log = ReadFile(DebugLogFolder() + "/debug.log");
  EXPECT_NE(log.find("its name leaves the destination: ../x\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("its name leaves the destination: sub\\..\\..\\y\r\n"), std::string::npos) << log;
}

TEST(ZipExtract, LinksInTheDestinationAreNeverFollowed) {
#ifdef _WIN32
  GTEST_SKIP() << "making links needs a privilege on Windows that a test cannot count on; the rule is "
                  "checked where links are free to make";
#endif
  NEED_ZIP_MAKER();
  TempDir dir;
  const fs::path outside = dir.path() / "outside";
  fs::create_directories(outside);
  testsupport::WriteFile((outside / "target.dll").string(), "keep me");
  const fs::path t = dir.path() / "T";
  fs::create_directories(t);
  fs::create_directory_symlink(outside, t / "sub");                   // a folder link
  fs::create_symlink(outside / "target.dll", t / "a.dll");            // a link at a member's name
  const std::string zip = dir.file("pkg.zip");
  MakeZip(zip, R"([{"name": "sub/b.ocx", "text": "through the link"},
                   {"name": "a.dll", "text": "new a"},
                   {"name": "link", "text": "/etc/passwd", "attr": 2716794880}])");  // 0120777 << 16
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(zip, t.string(), nullptr, 1, &report), 3);
  EXPECT_EQ(report.extracted, 1);
  EXPECT_EQ(report.failed, 1);
  EXPECT_EQ(report.skipped, 1);
  EXPECT_EQ(Listing(outside), std::vector<std::string>{"target.dll"});
  EXPECT_EQ(ReadFile((outside / "target.dll").string()), "keep me");
  EXPECT_FALSE(fs::is_symlink(t / "a.dll"));  // replaced by the member, not written through
  EXPECT_EQ(ReadFile((t / "a.dll").string()), "new a");
  EXPECT_FALSE(fs::exists(fs::symlink_status(t / "link")));
}

TEST(ZipExtract, OverwriteZeroKeepsExistingFiles) {
  NEED_ZIP_MAKER();
  TempDir dir;
  MakeZip(dir.file("pkg.zip"), R"([{"name": "a.txt", "text": "new"}, {"name": "b.txt", "text": "new b"}])");
  fs::create_directories(dir.path() / "T");
  testsupport::WriteFile(dir.file("T/a.txt"), "old");
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(dir.file("pkg.zip"), dir.file("T"), nullptr, 0, &report), 2);
  EXPECT_EQ(report.skipped, 1);
  EXPECT_EQ(ReadFile(dir.file("T/a.txt")), "old");
  EXPECT_EQ(ReadFile(dir.file("T/b.txt")), "new b");
  EXPECT_EQ(ZipExtractAll(dir.file("pkg.zip"), dir.file("T"), nullptr, 1), 2);
  EXPECT_EQ(ReadFile(dir.file("T/a.txt")), "new");
}

TEST(ZipExtract, ArchivesDeclaringTooMuchAreRefusedWhole) {
  NEED_ZIP_MAKER();
  struct Case {
    const char* what;
    std::string patches;
  } cases[] = {
      // The 10-byte member claims 0xFFFFFFF0 bytes.
      {"a member declaring 4 GB holding 10 bytes", R"([{"member": 1, "field": "usize", "value": 4294967280}])"},
      // 10 stored bytes claiming 20000: a ratio of 2000:1.
      {"a ratio above 1000:1", R"([{"member": 1, "field": "usize", "value": 20000}])"},
  };
  fs::create_directories(DebugLogFolder());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string zip = dir.file("bomb.zip");
    MakeZip(zip, R"([{"name": "a.txt", "text": "a"}, {"name": "big.bin", "text": "0123456789", "method": 0}])", c.patches);
    EXPECT_EQ(ZipExtractAll(zip, dir.file("T"), nullptr, 1), 0);
    EXPECT_FALSE(fs::exists(dir.path() / "T" / "a.txt"));
  }
  EXPECT_NE(ReadFile(DebugLogFolder() + "/debug.log").find("ZIP archive refused"), std::string::npos);
}

TEST(ZipExtract, ManyMembersJustUnderTheLimitsAreAccepted) {
  NEED_ZIP_MAKER();
  TempDir dir;
  // 20 members of 100 KB: far below 1 GiB, each with a ratio deflate really reaches.
  std::string members = "[";
  for (int i = 0; i < 20; ++i) members += std::string(i ? ", " : "") + R"({"name": "m)" + std::to_string(i) + R"(", "pattern": [100000, )" + std::to_string(i) + "]}";
  MakeZip(dir.file("many.zip"), members + "]");
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(dir.file("many.zip"), dir.file("T"), nullptr, 1, &report), 20);
  EXPECT_EQ(report.extracted, 20);
}

TEST(ZipExtract, EveryPrefixOfAnArchiveEndsInAResult) {
  NEED_ZIP_MAKER();
  TempDir dir;
  MakeZip(dir.file("pkg.zip"), WithNeighbours(R"({"name": "sub/mid.txt", "text": "middle member"})"));
  const std::string bytes = ReadFile(dir.file("pkg.zip"));
  for (size_t n = 0; n < bytes.size(); n += (n < 200 || bytes.size() - n < 200) ? 1 : 97) {
    MemorySource source(std::string_view(bytes).substr(0, n));
    std::optional<ZipDirectory> directory = ReadZipDirectory(source);
    ASSERT_FALSE(directory) << "a cut archive has no end record at " << n;
  }
  // A complete directory whose member data was cut away.
  const std::string cut = dir.file("cut.zip");
  testsupport::WriteFile(cut, bytes.substr(0, 40) + std::string(bytes.size() - 40, '\0'));
  EXPECT_EQ(ZipExtractAll(cut, dir.file("T"), nullptr, 1), 0);
  EXPECT_EQ(ZipExtractAll(dir.file("missing.zip"), dir.file("T"), nullptr, 1), 0);
  testsupport::WriteFile(dir.file("notzip.zip"), "just text, no archive");
  EXPECT_EQ(ZipExtractAll(dir.file("notzip.zip"), dir.file("T"), nullptr, 1), 0);
}

TEST(ZipExtractWritten, KoreanNamesAndLongDestinationsComeOutWhole) {
  TempDir dir;
  const std::string korean = "\xed\x95\x9c\xea\xb8\x80";  // 한글
  fs::path dest = dir.path() / FromUtf8("dest-" + korean);
  for (int i = 0; i < 6; ++i) dest /= std::string(48, static_cast<char>('a' + i));
  ASSERT_GT(Utf8(dest).size(), 300u);
  const std::string zip = dir.file("written.zip");
  testsupport::WriteFile(zip, WrittenZip({{"plain.txt", "stored text", false, false},
                             {"sub/" + korean + ".dll", fixtures::Pattern(90000, 2), true, true},
                             {"../climb.txt", "climb", false, false},
                             {"C:/drive.txt", "drive", false, false}}));
  ArchiveReport report;
  EXPECT_EQ(ZipExtractAll(zip, Utf8(dest), {}, 1, &report), 4);
  EXPECT_EQ(report.extracted, 2);
  EXPECT_EQ(report.skipped, 2);
  EXPECT_EQ(ReadFile(Utf8(dest / "plain.txt")), "stored text");
  EXPECT_EQ(ReadFile(Utf8(dest / "sub" / FromUtf8(korean + ".dll"))), fixtures::Pattern(90000, 2));
  EXPECT_EQ(ZipMemberName(zip, 1), "sub/" + korean + ".dll");
  EXPECT_EQ(ZipMemberName(zip, 2), std::nullopt);
  EXPECT_FALSE(fs::exists(dir.path() / "climb.txt"));
  EXPECT_FALSE(fs::exists(fs::path(Utf8(dest)).parent_path() / "climb.txt"));
  // Again: the files of the same names are replaced.
  testsupport::WriteFile(Utf8(dest / "plain.txt"), "old");
  EXPECT_EQ(ZipExtractAll(zip, Utf8(dest), {}, 1, &report), 4);
  EXPECT_EQ(report.extracted, 2);
  EXPECT_EQ(ReadFile(Utf8(dest / "plain.txt")), "stored text");
}

TEST(ArchiveSafety, MemberPaths) {
  struct Case {
    const char* stored;
    std::optional<std::string> safe;
  } cases[] = {
      {"a.dll", "a.dll"},          {"sub\\b.ocx", "sub/b.ocx"}, {"sub/b.ocx", "sub/b.ocx"},
      {"a//b", "a/b"},             {"./a", "a"},                {"dir/", "dir"},
      {"a..b", "a..b"},            {"..a", "..a"},              {"../x", std::nullopt},
      {"..", std::nullopt},        {"/abs", std::nullopt},      {"\\abs", std::nullopt},
      {"a/../b", std::nullopt},    {"a\\..\\b", std::nullopt},  {"C:\\x", std::nullopt},
      {"c:x", std::nullopt},       {"", std::nullopt},          {".", std::nullopt},
      {"./", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(SafeMemberPath(c.stored), c.safe) << c.stored;
  EXPECT_EQ(SafeMemberPath(std::string("a\0b", 3)), std::nullopt);
}

TEST(ArchiveSafety, DosTimes) {
  // 2014-03-09 07:05:30: date (34 << 9) | (3 << 5) | 9, time (7 << 11) | (5 << 5) | 15.
  EXPECT_EQ(DosDateTimeToUnix((34 << 9) | (3 << 5) | 9, (7 << 11) | (5 << 5) | 15), Local(2014, 3, 9, 7, 5, 30));
  EXPECT_EQ(DosDateTimeToUnix(0, 0), std::nullopt);                        // month 0
  EXPECT_EQ(DosDateTimeToUnix((34 << 9) | (13 << 5) | 9, 0), std::nullopt);  // month 13
  EXPECT_EQ(DosDateTimeToUnix((34 << 9) | (3 << 5) | 9, 24 << 11), std::nullopt);
}

// A stop reaches inside the member being inflated: the member under way is dropped whole and
// the call returns within one chunk of data, however large the member is.
TEST(ZipExtractStop, AStopInsideALargeMemberEndsAtOnceAndLeavesNothing) {
  TempDir dir;
  const std::string zip = dir.file("big.zip");
  fixtures::MakeLargeMemberZip(zip, "big.bin", uint64_t{128} << 20);
  ASSERT_LT(fs::file_size(zip), uint64_t{2} << 20);
  const std::string dest = dir.file("T");
  fs::create_directories(dest);
  std::atomic<bool> stop{false};
  fixtures::StopWhenWriting watch(dest, 1 << 20, stop);
  ArchiveReport report;
  const int members = ZipExtractAll(zip, dest, {}, 1, &report, &stop);
  const auto ended = std::chrono::steady_clock::now();
  watch.Join();
  ASSERT_TRUE(watch.Fired()) << "the member was never seen being written";
  EXPECT_EQ(members, 0);
  EXPECT_TRUE(report.stopped);
  EXPECT_EQ(report.extracted, 0);
  // One 64 KB chunk after the stop; the margin is for a loaded machine, not for the decoder.
  EXPECT_LT(ended - watch.At(), std::chrono::seconds(5));
  EXPECT_EQ(Listing(dest), std::vector<std::string>{});
}

// Between members: a stop asked after the first one leaves it and begins no other; one asked
// before the call writes nothing.
TEST(ZipExtractStop, AStopBetweenMembersBeginsNoOther) {
  TempDir dir;
  const std::string zip = dir.file("three.zip");
  testsupport::WriteFile(zip, WrittenZip({{"a.txt", "first"}, {"b.txt", "second", true}, {"c.txt", "third"}}));
  struct Case {
    int stopAfter;  // -1: before the call
    std::vector<std::string> left;
  } cases[] = {{-1, {}}, {0, {"a.txt"}}, {1, {"a.txt", "b.txt"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stopAfter);
    const std::string dest = dir.file("T" + std::to_string(c.stopAfter + 1));
    std::atomic<bool> stop{c.stopAfter < 0};
    ArchiveReport report;
    const ZipProgress progress = [&](int position, int, const std::string&) {
      if (position == c.stopAfter) stop = true;
    };
    EXPECT_EQ(ZipExtractAll(zip, dest, progress, 1, &report, &stop), 0);
    EXPECT_TRUE(report.stopped);
    EXPECT_EQ(report.extracted, static_cast<int>(c.left.size()));
    EXPECT_EQ(fs::exists(dest) ? Listing(dest) : std::vector<std::string>{}, c.left);
  }
  // Without a stop the same archive extracts whole.
  ArchiveReport report;
  std::atomic<bool> never{false};
  EXPECT_EQ(ZipExtractAll(zip, dir.file("whole"), {}, 1, &report, &never), 3);
  EXPECT_FALSE(report.stopped);
  EXPECT_EQ(Listing(dir.file("whole")), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
}

// Archive members follow the same rule as list entries: on Windows a member naming a device, a
// stream or ending in a dot or space is refused; elsewhere these are plain names.
TEST(ArchiveSafety, WindowsDeviceStreamAndTrailingNamesAreRefusedThere) {
  const char* const refusedOnWindows[] = {"CON", "sub/NUL", "aux.txt", "COM1", "lpt3.dat", "a/b:stream",
                                          "name.", "name ", "dir./x", "CONOUT$"};
  const char* const namesEverywhere[] = {"CONSOLE", "com0x", "nullish/aux1", "a.b", "lpt"};
  for (const char* name : refusedOnWindows) {
#ifdef _WIN32
    EXPECT_EQ(SafeMemberPath(name), std::nullopt) << name;
#else
    EXPECT_EQ(SafeMemberPath(name), std::optional<std::string>(name)) << name;
#endif
  }
  for (const char* name : namesEverywhere) EXPECT_EQ(SafeMemberPath(name), std::optional<std::string>(name)) << name;
}
