// Probing: detect the container, run its parser, and summarise the result for the command lines.

#include "probe/FileTimes.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"
#include "support/DebugLog.h"

namespace {

int TypeOfName(const char* name) {
  for (int type = 0; type < kMediaTypeCount; ++type)
    if (kMediaTypeNames[type] == name) return type;
  return kTypeNone;
}

// Parsers report failure by their result; one that throws anyway fails the probe of
// this file only.
template <typename Parse>
int Guarded(const char* what, Parse parse) {
  try {
    return parse();
  } catch (...) {
    DebugLog(kDebugTarget, "probe: %s parser raised an exception", what);
    return 0;
  }
}

int32_t LowBits(int64_t seconds) { return static_cast<int32_t>(static_cast<uint32_t>(seconds & 0xFFFFFFFF)); }

std::string TrimBlanks(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

void CopyStream(const StreamInfo* stream, std::string& codec, int32_t (&values)[4]) {
  if (!stream) return;
  codec = TrimBlanks(stream->codec);
  values[0] = stream->value1;
  values[1] = stream->value2;
  values[2] = stream->value3;
  values[3] = stream->value4;
}

// The two ASF header values: the file properties sit in the header at the container
// start; the simple index, when the parser found one, starts where the payload ends.
void ReadAsfHeaderValues(MediaFile& file, const MediaInfo& info, MediaInfoEx& summary) {
  int64_t value = 0;
  file.seek(info.start_offset);
  if (Guarded("asf", [&] { return AsfFilePropertiesQuery(file, &value, kAsfMaxDataPacketSize, true); }) > 0)
    summary.asf_max_packet_size = static_cast<int32_t>(value);
  bool indexFound = info.payload_end > 0 && info.payload_end < info.file_size;
  file.seek(indexFound ? info.payload_end : info.start_offset);
  value = 0;
  if (Guarded("asf", [&] { return AsfSimpleIndexQuery(file, &value, kAsfIndexMaxPacketCount, true); }) > 0)
    summary.asf_index_max_packets = static_cast<int32_t>(value);
}

void Summarise(MediaFile& file, const std::string& path, int type, const MediaInfo& info, MediaInfoEx& summary) {
  summary.kind = SummaryKindFromType(type);
  CopyStream(info.audio.get(), summary.audio_codec, summary.audio_values);
  CopyStream(info.video.get(), summary.video_codec, summary.video_values);
  summary.duration_s = info.duration_s;
  summary.bitrate_kbps = info.bitrate_kbps;
  summary.index_entries = info.index_entries;
  summary.payload_start = info.payload_start;
  summary.payload_end = info.payload_end != 0 ? info.payload_end : info.file_size;
  summary.file_size = info.file_size;
  FileTimes times;
  if (GetFileTimes(path, &times) && times.size > 0) {
    summary.modified_time = LowBits(times.modified);
    summary.created_time = LowBits(times.created);
  } else {
    summary.modified_time = -1;
    summary.created_time = -1;
  }
  if (type == kTypeWma || type == kTypeWmv) ReadAsfHeaderValues(file, info, summary);
  summary.fps = info.fps;
}

}  // namespace

int ProbeMediaFile(MediaFile* file, MediaInfo* info, const std::string& path) {
  if (!file || !info || !file->isOpen()) return -1;
  const char* name = DetectMediaType(*file, path);
  if (!name) return -1;

  int64_t start = GetId3TagLength(*file);
  file->seek(start);
  // A tag is at most 2^28 + 10 bytes long, so the offset always fits.
  info->start_offset = static_cast<int32_t>(start);
  info->file_size = file->size();
  info->end_offset = file->size();
  info->type_name = name;

  MediaFile& f = *file;
  MediaInfo& i = *info;
  auto result = [](int parsed, int type) { return parsed > 0 ? type : -1; };
  switch (TypeOfName(name)) {
    case kTypeMp3:
      return result(Guarded("mp3", [&] { return RunMpegAudio(f, i, false, start); }), kTypeMp3);
    case kTypeOgg:
    case kTypeOgm: {
      // Detection sees only the first stream's header; the parser reads every stream's, and
      // whether one of them is video decides between the two names.
      const bool named = TypeOfName(name) == kTypeOgm;
      if (Guarded(named ? "ogm" : "ogg", [&] { return named ? RunOgm(f, i) : RunOgg(f, i); }) <= 0) return -1;
      const int type = i.video ? kTypeOgm : kTypeOgg;
      i.type_name = kMediaTypeNames[type];
      return type;
    }
    case kTypeWma:
      return result(Guarded("wma", [&] { return RunWma(f, i); }), kTypeWma);
    case kTypeWmv:
      return result(Guarded("wmv", [&] { return RunWmv(f, i); }), kTypeWmv);
    case kTypeMpg:
      return result(Guarded("mpg", [&] { return RunMpg(f, i, false); }), kTypeMpg);
    case kTypeAvi:
      // The AVI reader opens the file by name; its verdict does not change the type.
      Guarded("avi", [&] { return ParseAvi(path, i); });
      return kTypeAvi;
    case kTypeMkv:
      return result(Guarded("mkv", [&] { return RunMkv(f, i); }), kTypeMkv);
    case kTypeM4a:
      if (Guarded("mp4", [&] { return ParseMp4(f, i); }) <= 0) return -1;
      if (i.video) {
        i.type_name = kMediaTypeNames[kTypeM4v];
        return kTypeM4v;
      }
      i.type_name = kMediaTypeNames[kTypeM4a];
      return kTypeM4a;
    case kTypeFlv:
      return result(Guarded("flv", [&] { return RunFlv(f, i); }), kTypeFlv);
    case kTypeMts:
      // A file named as a transport stream that is none keeps the type with its sizes only.
      Guarded("mts", [&] { return RunTs(f, i); });
      return kTypeMts;
    default:
      return -1;
  }
}

int getMediaInfo2Ex(MediaInfoEx* summary, const std::string& path) {
  MediaFile file;
  if (!file.open(path)) return -1;
  MediaInfo info;
  int type = ProbeMediaFile(&file, &info, path);
  if (type > 0 && summary) Summarise(file, path, type, info, *summary);
  return type;
}
