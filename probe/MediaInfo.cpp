// The container type names and the conversions between type codes and summary codes.
#include "probe/MediaInfo.h"

const char* const kMediaTypeNames[kMediaTypeCount] = {
    "",    "mp3", "ogg", "wma", "wmv", "mpg", "avi", "ogm",
    "mkv", "asf", "m4a", "m4v", "mp4", "mov", "flv", "mts",
};

namespace {

// The summary numbering is older than the type codes and keeps its own order;
// index = summary code, value = MediaType (0: no type).
constexpr int kTypeOfKind[] = {
    kTypeNone,  // 0
    kTypeWma,   // 1
    kTypeWmv,   // 2
    kTypeAvi,   // 3
    kTypeMpg,   // 4
    kTypeMp3,   // 5
    kTypeMp4,   // 6: never produced by the probe
    kTypeOgg,   // 7
    kTypeOgm,   // 8
    kTypeMkv,   // 9
    kTypeM4a,   // 10
    kTypeM4v,   // 11
    kTypeFlv,   // 12
};
constexpr int kKindCount = sizeof kTypeOfKind / sizeof kTypeOfKind[0];

}  // namespace

int SummaryKindFromType(int type) {
  switch (type) {
    case kTypeMp3: return 5;
    case kTypeOgg: return 7;
    case kTypeWma: return 1;
    case kTypeWmv: return 2;
    case kTypeMpg: return 4;
    case kTypeAvi: return 3;
    case kTypeOgm: return 8;
    case kTypeMkv: return 9;
    case kTypeM4a: return 10;
    case kTypeM4v: return 11;
    case kTypeFlv: return 12;
    case kTypeMts: return 13;
    default: return 0;
  }
}

int TypeFromSummaryKind(int kind) {
  if (kind < 0 || kind >= kKindCount) return kTypeNone;
  return kTypeOfKind[kind];
}

const char* TypeNameFromSummaryKind(int kind) {
  // Summary code 6 ("mp4") has no name of its own here.
  if (kind == 6) return nullptr;
  int type = TypeFromSummaryKind(kind);
  return type == kTypeNone ? nullptr : kMediaTypeNames[type];
}
