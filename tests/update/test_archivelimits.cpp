// The size limits of update archives tested exactly at each limit and one step past it, with
// declared sizes and directories built in memory (nothing of the declared size is ever written).
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "update/ArchiveSafety.h"
#include "update/ZipReader.h"

namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;

ZipEntry Declared(const std::string& name, uint64_t size, uint64_t compressedSize) {
  ZipEntry e;
  e.name = name;
  e.size = size;
  e.compressedSize = compressedSize;
  return e;
}

// A ZIP archive of `records` empty central-directory records whose end record claims `declared`
// of them: the directory's size is what the records take, 46 bytes each.
std::string ZipWithEntries(uint16_t records, uint16_t declared) {
  testsupport::ByteWriter w;
  for (uint16_t i = 0; i < records; ++i) {
    w.u32le(0x02014b50);  // central directory record signature
    w.zeros(42);          // versions, flags, method, time, date, crc, sizes, name/extra/comment lengths 0, …
  }
  w.u32le(0x06054b50);            // end of central directory signature
  w.u16le(0).u16le(0);            // this disk, the directory's disk
  w.u16le(declared).u16le(declared);  // entries on this disk, entries in all
  w.u32le(uint32_t{records} * 46);    // directory size
  w.u32le(0);                     // directory offset
  w.u16le(0);                     // comment length
  return w.str();
}

}  // namespace

// 1 GiB in total and a growth of 1000 times are allowed; a byte more of either is refused.
TEST(ArchiveLimits, ZipDeclaredSizesAtAndPastTheLimits) {
  struct Case {
    const char* what;
    std::vector<ZipEntry> entries;
    bool refused;
  } cases[] = {
      // Stored members (as many bytes kept as declared), so that only the total counts.
      {"1 GiB in total over two members", {Declared("a", kGiB / 2, kGiB / 2), Declared("b", kGiB / 2, kGiB / 2)}, false},
      {"1 GiB and one byte in total", {Declared("a", kGiB / 2, kGiB / 2), Declared("b", kGiB / 2 + 1, kGiB / 2 + 1)},
       true},
      {"one member of exactly 1 GiB", {Declared("a", kGiB, kGiB)}, false},
      {"one member of 1 GiB and one byte", {Declared("a", kGiB + 1, kGiB + 1)}, true},
      {"10 bytes declaring 10000: 1000:1", {Declared("a", 10000, 10)}, false},
      {"10 bytes declaring 10001: just above 1000:1", {Declared("a", 10001, 10)}, true},
      {"no bytes declaring none", {Declared("a", 0, 0)}, false},
      {"no bytes declaring one", {Declared("a", 1, 0)}, true},
      {"a ZIP64 size far past the total", {Declared("a", UINT64_MAX, UINT64_MAX)}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ZipDirectory directory;
    directory.entries = c.entries;
    EXPECT_EQ(!ZipLimitsError(directory).empty(), c.refused) << ZipLimitsError(directory);
  }
}

// The growth check for a cabinet as a whole: its files' declared total against the file's size.
TEST(ArchiveLimits, RatioIsExactAtTheLimit) {
  struct Case {
    uint64_t declared, stored;
    bool exceeds;
  } cases[] = {
      {1000, 1, false},       {1001, 1, true},          {999, 0, true},
      {0, 0, false},          {kGiB, kGiB / 1000, true}, {kGiB, kGiB / 1000 + 1, false},
      {UINT64_MAX, 0, true},  {UINT64_MAX, UINT64_MAX / 1000, true}, {UINT64_MAX, UINT64_MAX / 1000 + 1, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExceedsArchiveRatio(c.declared, c.stored), c.exceeds) << c.declared << " from " << c.stored;
}

// A central directory holds as many records as its size has room for (46 bytes each), not one more.
TEST(ArchiveLimits, ZipEntryCountAtAndPastWhatTheDirectoryHolds) {
  for (const uint16_t records : {uint16_t{1}, uint16_t{3}, uint16_t{1000}}) {
    SCOPED_TRACE(records);
    const std::string whole = ZipWithEntries(records, records);
    std::optional<ZipDirectory> directory = ReadZipDirectory(MemorySource(whole));
    ASSERT_TRUE(directory);
    EXPECT_EQ(directory->entries.size(), records);

    const std::string onePast = ZipWithEntries(records, static_cast<uint16_t>(records + 1));
    std::string error;
    EXPECT_FALSE(ReadZipDirectory(MemorySource(onePast), &error));
    EXPECT_EQ(error, "central directory too large for its entries");
  }
}
