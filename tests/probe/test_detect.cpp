// Container detection, the probe's dispatch and the summary, on small fixtures built here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/MediaInfo.h"
#include "probe/Probe.h"

using testsupport::ByteWriter;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// An ID3v2.4 tag header whose body is `size` bytes long (the body itself is not written).
std::string Id3TagHeader(uint32_t size) {
  ByteWriter w;
  w.text("ID3");
  w.u8(4).u8(0);  // version 2.4.0
  w.u8(0);        // flags
  for (int shift = 21; shift >= 0; shift -= 7) w.u8(static_cast<uint8_t>((size >> shift) & 0x7F));  // synchsafe size
  return w.str();
}

std::string Id3Tag(uint32_t size) { return Id3TagHeader(size) + std::string(size, '\0'); }

// `n` bytes that no container check accepts.
std::string Filler(size_t n) { return std::string(n, '\x55'); }

std::string Padded(const std::string& head, size_t total = 200) { return head + Filler(total - head.size()); }

}  // namespace

TEST(ExtensionIndex, NamesAndAliases) {
  const std::pair<const char*, int> cases[] = {
      {"a.mp3", 1},       {"A.MP3", 1},     {"x.mp2", 1},      {"x.ogg", 2},     {"x.wma", 3},   {"x.wmv", 4},
      {"x.mpg", 5},       {"x.mpeg", 5},    {"x.VOB", 5},      {"x.avi", 6},     {"x.ogm", 7},   {"x.mkv", 8},
      {"x.asf", 9},       {"x.m4a", 10},    {"x.m4v", 11},     {"x.mp4", 12},    {"x.k3g", 12},  {"x.skm", 12},
      {"x.3gp", 12},      {"x.mov", 13},    {"x.flv", 14},     {"x.mts", 15},    {"x.ts", 15},   {"x.tp", 15},
      {"x.m2ts", 15},     {"noext", 0},     {"", 0},           {"x.xyz", -1},    {"x.", -1},     {"a.b.avi", 6},
      {"dir.d/noext", 0}, {"/a/b.ts/c.flv", 14},
  };
  for (auto [path, expected] : cases) EXPECT_EQ(GetExtensionIndex(path), expected) << path;
}

TEST(Id3Header, SynchsafeLengthAndPosition) {
  auto file = MediaFile::FromMemory(Id3Tag(4076) + Filler(300));
  Id3Header header;
  ASSERT_EQ(ParseId3Header(file, &header), 1);
  EXPECT_EQ(header.present, 1);
  EXPECT_EQ(header.major, 4);
  EXPECT_EQ(header.length, 4086);
  EXPECT_EQ(GetId3TagLength(file), 4086);

  // Each size byte contributes only its seven low bits.
  auto highBits = MediaFile::FromMemory(std::string("ID3\3\0\0\x80\x80\x81\xFF", 10) + Filler(10));
  EXPECT_EQ(GetId3TagLength(highBits), (1 << 7) + 0x7F + 10);

  for (const std::string& bytes : {std::string("ID3\4\0\0\0\0"), Filler(300)}) {
    auto none = MediaFile::FromMemory(bytes);
    none.seek(5);
    EXPECT_EQ(ParseId3Header(none, &header), 0);
    EXPECT_EQ(none.tell(), 0);
  }
}

TEST(DetectMediaType, ByNameAndContent) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* expected;  // null: no type
  };
  const std::string riff = Padded("RIFF\x10\0\0\0AVI LIST");
  const std::string flv = Padded(std::string("FLV\1\5\0\0\0\x09", 9));
  const std::string oggVideo = Padded("OggS\0\2" + Filler(22) + "\x01video");
  const std::string oggAudio = Padded("OggS\0\2" + Filler(22) + "\x01vorbis");
  const std::string oggTheora = Padded("OggS\0\2" + Filler(22) + "\x80theora");
  const std::string ebml = Padded("\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01\x42\x82\x88matroska");
  const std::string webm = Padded("\x1a\x45\xdf\xa3\x9f\x42\x86\x81\x01\x42\x82\x84webm");
  const Case cases[] = {
      {"a.avi", riff, "avi"},
      {"a.mkv", riff, "avi"},  // the Matroska check fails, the scan finds RIFF
      {"noext", riff, "avi"},
      {"a.avi", flv, "flv"},
      {"a.flv", flv, "flv"},
      {"a.ogg", oggAudio, "ogg"},
      {"a.ogg", oggVideo, "ogm"},
      {"a.ogm", oggAudio, "ogg"},
      {"a.xyz", oggVideo, "ogm"},
      // A Theora stream is video too, though its header never says "video".
      {"a.ogg", oggTheora, "ogm"},
      {"a.ogm", oggTheora, "ogm"},
      {"noext", oggTheora, "ogm"},
      {"a.mp4", ebml, "mkv"},
      {"a.mkv", ebml, "mkv"},
      {"a.webm", webm, "mkv"},  // the same container under another document type
      {"a.mkv", Padded("webm"), nullptr},  // the name alone, without the EBML magic, is not enough
      // Transport streams go by their name alone, whatever the bytes.
      {"a.ts", Filler(128), "mts"},
      {"a.TP", riff, "mts"},
      {"a.m2ts", Filler(128), "mts"},
      {"a.mts", Filler(128), "mts"},
      // Fewer than 128 bytes behind the start offset: no type, whatever the name.
      {"a.mts", Filler(127), nullptr},
      {"a.avi", riff.substr(0, 127), nullptr},
      {"a.ts", Id3Tag(4076) + Filler(127), nullptr},
      {"a.ts", Id3Tag(4076) + Filler(128), "mts"},
      // A leading ID3v2 tag is skipped before the header is read.
      {"a.avi", Id3Tag(100) + riff, "avi"},
      {"a.flv", Id3Tag(4076) + flv, "flv"},
      {"noext", Filler(4000), nullptr},
      {"a.xyz", Filler(4000), nullptr},
      {"", Filler(4000), nullptr},
  };
  for (const auto& c : cases) {
    auto file = MediaFile::FromMemory(c.bytes);
    file.seek(17);
    const char* name = DetectMediaType(file, c.name);
    EXPECT_EQ(file.tell(), 17) << c.name;
    if (!c.expected) {
      EXPECT_EQ(name, nullptr) << c.name;
      continue;
    }
    ASSERT_NE(name, nullptr) << c.name;
    EXPECT_STREQ(name, c.expected) << c.name;
    // Type names are handed out from the fixed table, so they compare by identity.
    bool inTable = false;
    for (const char* entry : kMediaTypeNames) inTable |= entry == name;
    EXPECT_TRUE(inTable) << c.name;
  }
}

TEST(ProbeMediaFile, TransportStreamGetsTypeAndSizesOnly) {
  const std::string bytes = Id3Tag(4076) + Filler(5000);
  for (const char* name : {"clip.ts", "clip.tp", "clip.m2ts", "clip.mts"}) {
    auto file = MediaFile::FromMemory(bytes);
    MediaInfo info;
    EXPECT_EQ(ProbeMediaFile(&file, &info, name), kTypeMts) << name;
    EXPECT_STREQ(info.type_name, "mts");
    EXPECT_EQ(info.start_offset, 4086);
    EXPECT_EQ(info.file_size, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(info.end_offset, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(info.duration_s, 0);
    EXPECT_EQ(info.audio, nullptr);
    EXPECT_EQ(info.video, nullptr);
  }
}

TEST(ProbeMediaFile, AviIsAviWhateverItsReaderSays) {
  TempDir dir;
  // The AVI reader opens the file by name; a path that does not exist still yields the type.
  auto file = MediaFile::FromMemory(Padded("RIFF\x10\0\0\0AVI LIST"));
  MediaInfo info;
  EXPECT_EQ(ProbeMediaFile(&file, &info, dir.file("gone.avi")), kTypeAvi);
  EXPECT_STREQ(info.type_name, "avi");
}

TEST(ProbeMediaFile, MissingArgumentsAndUnknownContent) {
  auto file = MediaFile::FromMemory(Filler(4000));
  MediaInfo info;
  EXPECT_EQ(ProbeMediaFile(nullptr, &info, "a.ts"), -1);
  EXPECT_EQ(ProbeMediaFile(&file, nullptr, "a.ts"), -1);
  EXPECT_EQ(ProbeMediaFile(&file, &info, "a.xyz"), -1);
  MediaFile closed;
  EXPECT_EQ(ProbeMediaFile(&closed, &info, "a.ts"), -1);
}

TEST(Summary, KindConversions) {
  const std::pair<int, int> typeToKind[] = {{1, 5}, {2, 7}, {3, 1},  {4, 2},   {5, 4},   {6, 3},  {7, 8}, {8, 9},
                                            {9, 0}, {10, 10}, {11, 11}, {12, 0}, {13, 0}, {14, 12}, {15, 13}, {0, 0},
                                            {-1, 0}, {16, 0}};
  for (auto [type, kind] : typeToKind) EXPECT_EQ(SummaryKindFromType(type), kind) << type;

  const std::pair<int, int> kindToType[] = {{1, 3}, {2, 4},   {3, 6},   {4, 5},   {5, 1}, {6, 12}, {7, 2}, {8, 7},
                                            {9, 8}, {10, 10}, {11, 11}, {12, 14}, {13, 0}, {0, 0}, {-3, 0}, {99, 0}};
  for (auto [kind, type] : kindToType) EXPECT_EQ(TypeFromSummaryKind(kind), type) << kind;

  const std::pair<int, const char*> kindToName[] = {{1, "wma"}, {2, "wmv"},  {3, "avi"},  {4, "mpg"},  {5, "mp3"},
                                                    {7, "ogg"}, {8, "ogm"},  {9, "mkv"},  {10, "m4a"}, {11, "m4v"},
                                                    {12, "flv"}, {6, nullptr}, {13, nullptr}, {0, nullptr}, {-1, nullptr}};
  for (auto [kind, name] : kindToName) {
    const char* got = TypeNameFromSummaryKind(kind);
    if (!name)
      EXPECT_EQ(got, nullptr) << kind;
    else
      EXPECT_STREQ(got, name) << kind;
  }
  EXPECT_STREQ(kMediaTypeNames[0], "");
  EXPECT_STREQ(kMediaTypeNames[15], "mts");
}

TEST(Summary, FilledFromProbeAndFileSystem) {
  TempDir dir;
  const std::string path = dir.file("clip.m2ts");
  WriteFile(path, Id3Tag(20) + Filler(3000));
  MediaInfoEx summary;
  ASSERT_EQ(getMediaInfo2Ex(&summary, path), kTypeMts);
  EXPECT_EQ(summary.kind, 13);
  EXPECT_EQ(summary.file_size, 3030);
  // An unknown payload end reads as the whole file.
  EXPECT_EQ(summary.payload_end, 3030);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(summary.modified_time, static_cast<int32_t>(st.st_mtime));
  EXPECT_NE(summary.created_time, -1);
  EXPECT_EQ(summary.asf_max_packet_size, 0);
  EXPECT_EQ(summary.audio_codec, "");

  // Without a summary record only the type comes back.
  EXPECT_EQ(getMediaInfo2Ex(nullptr, path), kTypeMts);
}

TEST(Summary, UnopenableOrUnknownLeavesRecordUntouched) {
  TempDir dir;
  MediaInfoEx summary;
  summary.kind = 77;
  summary.duration_s = 5;
  EXPECT_EQ(getMediaInfo2Ex(&summary, dir.file("missing.ts")), -1);
  EXPECT_EQ(getMediaInfo2Ex(&summary, dir.str()), -1);  // a folder is not a media file
  WriteFile(dir.file("short.ts"), Filler(100));
  EXPECT_EQ(getMediaInfo2Ex(&summary, dir.file("short.ts")), -1);
  EXPECT_EQ(summary.kind, 77);
  EXPECT_EQ(summary.duration_s, 5);
}

TEST(ProbeMediaFile, RealContainersByNameAndContent) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg"), "ffmpeg not installed");
  TempDir dir;
  const std::vector<std::string> av = {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=2",
                                       "-f", "lavfi", "-i", "sine=duration=2"};
  const std::vector<std::string> a = {"-f", "lavfi", "-i", "sine=duration=2"};
  struct Made {
    const char* file;
    std::vector<std::string> input;
    std::vector<std::string> options;
  };
  const Made made[] = {
      {"v.mp4", av, {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"}},
      {"a.m4a", a, {"-c:a", "aac"}},
      {"v.asf", av, {"-c:v", "wmv2", "-c:a", "wmav2"}},
      {"a.asf", a, {"-c:a", "wmav2"}},
      {"v.avi", av, {"-c:v", "mpeg4", "-c:a", "libmp3lame"}},
  };
  for (const auto& m : made) {
    ASSERT_TRUE(testmedia::MakeMedia(testmedia::Join({m.input, m.options}), dir.file(m.file))) << m.file;
  }
  struct Case {
    const char* source;
    const char* name;
    uint32_t id3;  // size of an ID3v2 tag put in front, 0 for none
    int result;
    const char* type;
  };
  const Case cases[] = {
      {"v.mp4", "v.mp4", 0, kTypeM4v, "m4v"},
      {"v.mp4", "tagged.mp4", 4076, kTypeM4v, "m4v"},
      {"v.mp4", "ftyp.avi", 0, kTypeM4v, "m4v"},       // the AVI check fails, the scan finds the atom
      {"v.mp4", "video.m4a", 0, kTypeM4v, "m4v"},      // a video track makes it m4v whatever the name
      {"v.mp4", "movie.3gp", 0, kTypeM4v, "m4v"},
      {"a.m4a", "a.m4a", 0, kTypeM4a, "m4a"},
      {"a.m4a", "a.mov", 0, kTypeM4a, "m4a"},
      {"v.asf", "v.asf", 0, kTypeWmv, "wmv"},
      {"a.asf", "a.asf", 0, kTypeWma, "wma"},
      {"v.asf", "v.wma", 0, kTypeWma, "wma"},  // the name's own check comes first: it has audio
      {"v.avi", "v.avi", 0, kTypeAvi, "avi"},
      {"v.avi", "v.mkv", 0, kTypeAvi, "avi"},
      {"v.avi", "v.ts", 0, kTypeMts, "mts"},  // transport streams go by name alone
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(std::string("case-") + c.name);
    WriteFile(path, (c.id3 ? Id3Tag(c.id3) : std::string()) + testsupport::ReadFile(dir.file(c.source)));
    MediaFile file;
    ASSERT_TRUE(file.open(path));
    MediaInfo info;
    EXPECT_EQ(ProbeMediaFile(&file, &info, path), c.result) << c.name;
    EXPECT_STREQ(info.type_name, c.type) << c.name;
    EXPECT_EQ(info.start_offset, c.id3 ? static_cast<int32_t>(c.id3 + 10) : 0) << c.name;
    EXPECT_EQ(info.file_size, file.size());

    MediaInfoEx summary;
    ASSERT_EQ(getMediaInfo2Ex(&summary, path), c.result) << c.name;
    EXPECT_EQ(summary.kind, SummaryKindFromType(c.result));
    EXPECT_GT(summary.payload_end, 0) << c.name;
    EXPECT_LE(summary.payload_end, summary.file_size) << c.name;
    if (c.result == kTypeWma || c.result == kTypeWmv) {
      EXPECT_GT(summary.asf_max_packet_size, 0) << c.name;
    } else {
      EXPECT_EQ(summary.asf_max_packet_size, 0) << c.name;
      EXPECT_EQ(summary.asf_index_max_packets, 0) << c.name;
    }
    if (c.result == kTypeWmv) {
      EXPECT_GT(summary.asf_index_max_packets, 0) << c.name;
    }
    if (info.video) {
      EXPECT_EQ(summary.video_codec, info.video->codec);
    }
  }
}
