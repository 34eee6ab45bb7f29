// Asking the installed encoders what they offer, test-driving mencoder, and caching both per program file.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <unistd.h>

#include "encoder/CommandLine.h"
#include "encoder/EncoderArgs.h"
#include "encoder/EncoderCaps.h"
#include "encoder/EncoderSystem.h"
#include "encoder/PathText.h"
#include "encoder/SettingsStore.h"
#include "platform/CaptureRun.h"
#include "platform/Process.h"
#include "platform/KnownFolders.h"
#include "probe/ByteReader.h"
#include "probe/MediaFile.h"
#include "probe/Probe.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"

namespace fs = std::filesystem;

namespace {

constexpr int kListingTimeoutMs = 20000;
constexpr int kConversionTimeoutMs = 60000;
// The test sample: one second at 25 frames per second.
constexpr int kSampleFrames = 25;
constexpr int kCacheVersion = 1;

const char* KindName(EncoderKind kind) { return kind == EncoderKind::Ffmpeg ? "ffmpeg" : "mencoder"; }

// The last non-empty lines of an output, on one line, for an error text.
std::string LastLines(const std::string& output, size_t count) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  std::string tail;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
    tail += (tail.empty() ? "" : " / ") + lines[i];
  return tail;
}

std::string Detail(const std::string& text) { return text.empty() ? std::string() : ": " + text; }

// Runs one listing; on failure fills caps.error and returns false.
bool RunListing(const std::vector<std::string>& argv, EncoderCapabilities& caps, std::string& output) {
  CaptureResult r = RunAndCapture(argv, kListingTimeoutMs);
  output = r.output;
  if (!r.started) {
    caps.error = "cannot run " + std::string(KindName(caps.kind)) + " (" + argv[0] + "): " + r.error;
    return false;
  }
  if (!r.error.empty()) {
    caps.error = r.error;
    return false;
  }
  return true;
}

// ---- the cache ----

// Identifies one program file: its resolved path, size and modification time in nanoseconds.
struct FileStamp {
  std::string path;
  long long size = -1;
  long long mtimeNs = 0;
  bool valid() const { return size >= 0; }
  std::string key(EncoderKind kind) const {
    return std::string(KindName(kind)) + "|" + path + "|" + std::to_string(size) + "|" + std::to_string(mtimeNs);
  }
};

FileStamp StampOf(const std::string& program) {
  FileStamp stamp;
  stamp.path = platform::FindExecutable(program);
  long long size = -1, mtimeNs = 0;
  if (!ProgramFileStamp(stamp.path, size, mtimeNs)) return stamp;
  stamp.size = size;
  stamp.mtimeNs = mtimeNs;
  return stamp;
}

std::string CacheFileFor(EncoderKind kind, const std::string& path) {
  // FNV-1a of the path: one short, stable file name per encoder path.
  uint64_t h = 1469598103934665603ULL;
  for (unsigned char c : path) h = (h ^ c) * 1099511628211ULL;
  char name[64];
  std::snprintf(name, sizeof name, "%s-%016llx.caps", KindName(kind), static_cast<unsigned long long>(h));
  return JoinPath(CapabilityCacheFolder(), name);
}

std::string JoinSet(const std::set<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : " ") + n;
  return out;
}

std::set<std::string> SplitSet(const std::string& text) {
  std::set<std::string> names;
  std::istringstream in(text);
  std::string n;
  while (in >> n) names.insert(n);
  return names;
}

std::string OneLine(std::string s) {
  for (char& c : s)
    if (c == '\n' || c == '\r') c = ' ';
  return s;
}

std::string Serialize(const EncoderCapabilities& c, const FileStamp& stamp) {
  std::ostringstream out;
  out << "zelvora-encoder-capabilities " << kCacheVersion << "\n";
  out << "key=" << OneLine(stamp.key(c.kind)) << "\n";
  out << "listed=" << (c.listed ? 1 : 0) << "\n";
  out << "video=" << JoinSet(c.videoEncoders) << "\n";
  out << "audio=" << JoinSet(c.audioEncoders) << "\n";
  out << "experimental=" << JoinSet(c.experimental) << "\n";
  out << "filters=" << JoinSet(c.filters) << "\n";
  out << "test_drive=" << c.testDrive << "\n";
  out << "test_drive_frames=" << c.testDriveFrames << "\n";
  out << "test_drive_expected=" << c.testDriveExpected << "\n";
  out << "lavc_audio=" << (c.lavcAudioWorks ? 1 : 0) << "\n";
  out << "test_drive_text=" << OneLine(c.testDriveText) << "\n";
  return out.str();
}

// Reads a cache file written for exactly this program file; false when absent, stale or damaged.
bool Deserialize(const std::string& file, const FileStamp& stamp, EncoderCapabilities& c) {
  std::ifstream in(FsPath(file));
  std::string line;
  if (!std::getline(in, line) || line != "zelvora-encoder-capabilities " + std::to_string(kCacheVersion)) return false;
  std::map<std::string, std::string> values;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  if (values["key"] != OneLine(stamp.key(c.kind))) return false;
  auto number = [&](const char* name) { return std::atoi(values[name].c_str()); };
  c.runnable = true;
  c.listed = number("listed") != 0;
  c.videoEncoders = SplitSet(values["video"]);
  c.audioEncoders = SplitSet(values["audio"]);
  c.experimental = SplitSet(values["experimental"]);
  c.filters = SplitSet(values["filters"]);
  c.testDrive = number("test_drive");
  c.testDriveFrames = number("test_drive_frames");
  c.testDriveExpected = number("test_drive_expected");
  c.lavcAudioWorks = number("lavc_audio") != 0;
  c.testDriveText = values["test_drive_text"];
  return c.listed;
}

// Replaces the cache file in one step, so that a reader sees the old or the new answer.
void WriteCache(const std::string& file, const std::string& text) {
  std::error_code ec;
  fs::create_directories(FsPath(file).parent_path(), ec);
  std::string temp = file + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream out(FsPath(temp), std::ios::trunc);
    out << text;
    if (!out.flush()) {
      out.close();
      fs::remove(FsPath(temp), ec);
      return;
    }
  }
  fs::rename(FsPath(temp), FsPath(file), ec);
  if (ec) fs::remove(FsPath(temp), ec);
}

std::mutex& MemoMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, EncoderCapabilities>& Memo() {
  static std::map<std::string, EncoderCapabilities> memo;
  return memo;
}

// Answers from memory, then from the cache file, else asks and stores the answer. Failures are
// not stored: a missing library or a broken sample must not outlive its repair.
template <typename Ask>
EncoderCapabilities Cached(EncoderKind kind, const std::string& path, Ask ask) {
  FileStamp stamp = StampOf(path);
  if (!stamp.valid()) return ask();
  std::string key = stamp.key(kind);
  {
    std::lock_guard lock(MemoMutex());
    auto it = Memo().find(key);
    if (it != Memo().end()) return it->second;
  }
  EncoderCapabilities caps;
  caps.kind = kind;
  caps.path = path;
  std::string file = CacheFileFor(kind, stamp.path);
  if (!Deserialize(file, stamp, caps)) {
    caps = ask();
    bool settled = caps.runnable && (kind == EncoderKind::Ffmpeg || caps.testDrive != 0);
    if (!settled) return caps;
    WriteCache(file, Serialize(caps, stamp));
  }
  std::lock_guard lock(MemoMutex());
  Memo()[key] = caps;
  return caps;
}

// ---- the mencoder test drive ----

struct TempFolder {
  std::string path;
  TempFolder() : path(MakeUniqueFolder(SpecialFolderPath(kFolderTemp), "zelvora-drive-")) {}
  ~TempFolder() {
    if (!path.empty()) RemoveFolderTree(path);
  }
};

// A one-second MPEG-4 part 2 + MP3 AVI, made by ffmpeg; empty text on success, else why not.
std::string MakeSample(const std::string& ffmpegPath, const std::string& sample) {
  std::string last;
  for (const char* audio : {"libmp3lame", "mp2"}) {
    CaptureResult r = RunAndCapture({ffmpegPath, "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "lavfi", "-i",
                                     "testsrc=size=160x120:rate=25:duration=1", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=44100:duration=1", "-c:v", "mpeg4", "-b:v", "200k",
                                     "-c:a", audio, "-b:a", "64k", "-shortest", "-y", sample},
                                    kConversionTimeoutMs);
    if (r.started && r.exitStatus == 0 && FileExists(sample)) return {};
    last = r.error.empty() ? LastLines(r.output, 2) : r.error;
  }
  return "ffmpeg could not make the test sample: " + last;
}

// Converts `sample` to `output` with mencoder and the options `s` gives.
CaptureResult ConvertWithMencoder(const std::string& mencoderPath, const EncodingSettings& s, const std::string& sample,
                                  const std::string& output) {
  BuildInput in;
  in.settings = &s;
  in.row = {sample, "avi", "44100", 160, 120};
  in.processors = GetProcessorCount();
  BuildRowInput row;
  BuiltOptions options = BuildMencoderArgs(in, row);
  CommandLine line = BuildCommandLine(EncoderKind::Mencoder, mencoderPath, sample, options.text, "", output);
  std::vector<std::string> argv;
  std::string error;
  if (!line.error.empty() || !SplitCommandLine(line.text, argv, error)) {
    CaptureResult r;
    r.error = line.error.empty() ? error : line.error;
    return r;
  }
  return RunAndCapture(argv, kConversionTimeoutMs);
}

// The AVI job as a user would set it up: xvid (or what the encoder has) with mp3, 25 fps, size kept.
EncodingSettings AviJob(const EncoderCapabilities& m) {
  EncodingSettings s;
  ResetSettings(s);
  s.output_type = 1;
  s.video_compress = m.hasVideo("xvid") ? 1 : m.hasVideo("x264") ? 0 : 2;
  s.audio_compress = 1;
  if (!m.hasAudio("mp3lame")) s.origin_ado = 1;
  s.fps_opt = 0;
  s.fps = 3;
  return s;
}

void TestDrive(EncoderCapabilities& m, const std::string& ffmpegPath) {
  TempFolder temp;
  if (temp.path.empty()) {
    m.testDriveText = "no temporary folder for mencoder's test drive";
    return;  // not run
  }
  std::string sample = JoinPath(temp.path, "sample.avi");
  std::string why = ffmpegPath.empty() ? "no ffmpeg to make mencoder's test sample" : MakeSample(ffmpegPath, sample);
  if (!why.empty()) {
    m.testDriveText = why;
    return;  // not run: says nothing about mencoder
  }
  m.testDriveExpected = kSampleFrames;
  std::string output = JoinPath(temp.path, "converted.avi");
  CaptureResult r = ConvertWithMencoder(m.path, AviJob(m), sample, output);
  MediaInfoEx summary;
  int type = FileExists(output) ? getMediaInfo2Ex(&summary, output) : -1;
  AviChunkCount count = CountAviChunks(output);
  m.testDriveFrames = count.videoWithData;
  if (!r.started || r.timedOut || type != kTypeAvi || !count.ok) {
    m.testDrive = -1;
    std::string detail = !r.error.empty() ? r.error : LastLines(r.output, 2);
    m.testDriveText = "mencoder failed its test drive: it made no readable AVI file (" + detail + ")";
  } else if (count.videoWithData * 2 < kSampleFrames) {
    m.testDrive = -1;
    m.testDriveText = "mencoder failed its test drive: only " + std::to_string(count.videoWithData) + " of " +
                      std::to_string(kSampleFrames) + " video frames carry data (a frozen picture)";
  } else {
    m.testDrive = 1;
    m.testDriveText = "mencoder passed its test drive: " + std::to_string(count.videoWithData) + " of " +
                      std::to_string(kSampleFrames) + " video frames carry data";
  }

  // Its libavcodec audio encoders (mp2, and mp3 for MP4) are known to fail in some builds.
  EncodingSettings mp2 = AviJob(m);
  mp2.audio_compress = 2;
  mp2.origin_ado = 0;
  mp2.origin_vdo = 1;
  std::string audioOut = JoinPath(temp.path, "audio.avi");
  CaptureResult a = ConvertWithMencoder(m.path, mp2, sample, audioOut);
  m.lavcAudioWorks = a.started && a.exitStatus == 0 && CountAviChunks(audioOut).audioWithData > 0;
  DebugLog(kDebugTarget, "%s; lavc audio %s", m.testDriveText.c_str(), m.lavcAudioWorks ? "works" : "does not work");
}

// ---- AVI chunk walk ----

bool IsStreamChunk(const std::string& id, const char* kind) {
  return id.size() == 4 && std::isdigit(static_cast<unsigned char>(id[0])) &&
         std::isdigit(static_cast<unsigned char>(id[1])) && id.compare(2, 2, kind) == 0;
}

void WalkChunks(ByteReader r, bool inMovi, int depth, AviChunkCount& c) {
  while (r.remaining() >= 8) {
    std::string id = r.fourcc();
    uint32_t size = r.u32le();
    int64_t body = std::min<int64_t>(size, r.remaining());
    if ((id == "LIST" || id == "RIFF") && body >= 4) {
      if (depth < 4) {
        ByteReader child = r.sub(body);
        std::string form = child.fourcc();
        WalkChunks(child, inMovi || form == "movi", depth + 1, c);
      }
    } else if (inMovi) {
      if (IsStreamChunk(id, "dc") || IsStreamChunk(id, "db")) {
        ++c.video;
        if (size > 0) ++c.videoWithData;
      } else if (IsStreamChunk(id, "wb")) {
        ++c.audio;
        if (size > 0) ++c.audioWithData;
      }
    }
    r.skip(body);
    if ((size & 1) && r.remaining() > 0) r.skip(1);  // chunks are padded to even sizes
  }
}

}  // namespace

void ForgetCachedCapabilities() {
  std::lock_guard lock(MemoMutex());
  Memo().clear();
}

std::string CapabilityCacheFolder() {
#ifdef _WIN32
  // Beside the work folders, in the user's local application data.
  return JoinPath(UserLocalDataFolder(), "zelvora");
#else
  return SpecialFolderPath(kFolderInternetCache) + "/zelvora";
#endif
}

AviChunkCount CountAviChunks(const std::string& path) {
  AviChunkCount count;
  MediaFile file;
  if (!file.open(path)) return count;
  try {
    ByteReader r(file);
    if (r.remaining() < 12 || r.fourcc() != "RIFF") return count;
    r.skip(4);
    if (r.fourcc() != "AVI ") return count;
    count.ok = true;
    r.seek(0);
    WalkChunks(r, false, 0, count);
  } catch (const ReadError&) {
    // A cut-off file: what was counted so far stands.
  }
  return count;
}

EncoderCapabilities QueryFfmpegCapabilities(const std::string& ffmpegPath) {
  EncoderCapabilities caps;
  caps.kind = EncoderKind::Ffmpeg;
  caps.path = ffmpegPath;
  if (ffmpegPath.empty()) {
    caps.error = "no ffmpeg path is set";
    return caps;
  }
  std::string output;
  if (!RunListing({ffmpegPath, "-hide_banner", "-encoders"}, caps, output)) return caps;
  if (!ParseFfmpegEncoders(output, caps)) {
    caps.error = ffmpegPath + " did not list its encoders" + Detail(LastLines(output, 2));
    return caps;
  }
  // Without a filter listing the subtitles filter counts as absent; encoding works regardless.
  std::string filters;
  EncoderCapabilities scratch = caps;
  if (RunListing({ffmpegPath, "-hide_banner", "-filters"}, scratch, filters)) ParseFfmpegFilters(filters, caps);
  caps.runnable = true;
  caps.listed = true;
  return caps;
}

EncoderCapabilities QueryMencoderCapabilities(const std::string& mencoderPath, const std::string& ffmpegPath) {
  EncoderCapabilities caps;
  caps.kind = EncoderKind::Mencoder;
  caps.path = mencoderPath;
  if (mencoderPath.empty()) {
    caps.error = "no mencoder path is set";
    return caps;
  }
  std::string oac, ovc;
  if (!RunListing({mencoderPath, "-oac", "help"}, caps, oac) || !RunListing({mencoderPath, "-ovc", "help"}, caps, ovc))
    return caps;
  if (!ParseMencoderCodecs(oac, caps.audioEncoders) || !ParseMencoderCodecs(ovc, caps.videoEncoders)) {
    caps.error = mencoderPath + " did not list its codecs" + Detail(LastLines(oac + ovc, 2));
    return caps;
  }
  caps.runnable = true;
  caps.listed = true;
  TestDrive(caps, ffmpegPath);
  return caps;
}

EncoderCapabilities GetFfmpegCapabilities(const std::string& ffmpegPath) {
  return Cached(EncoderKind::Ffmpeg, ffmpegPath, [&] { return QueryFfmpegCapabilities(ffmpegPath); });
}

EncoderCapabilities GetMencoderCapabilities(const std::string& mencoderPath, const std::string& ffmpegPath) {
  return Cached(EncoderKind::Mencoder, mencoderPath, [&] { return QueryMencoderCapabilities(mencoderPath, ffmpegPath); });
}

std::string FontFamilyOfFile(const std::string& fontPath) {
  if (fontPath.empty() || !FileExists(fontPath)) return {};
  CaptureResult r = RunAndCapture({"fc-scan", "--format", "%{family[0]}", fontPath}, kListingTimeoutMs, 4096);
  if (!r.started || r.exitStatus != 0) return {};
  std::string family = r.output.substr(0, r.output.find('\n'));
  while (!family.empty() && (family.back() == ' ' || family.back() == '\r')) family.pop_back();
  return family;
}
