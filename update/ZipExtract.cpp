// ZipExtractAll and ZipMemberName: members checked, decoded and written whole below the destination.
#include "update/ZipExtract.h"

#include "support/DebugLog.h"
#include "update/MemberWriter.h"
#include "update/ZipReader.h"

namespace {

enum class Outcome { kExtracted, kFailed, kSkipped, kStopped };

bool StopAsked(const std::atomic<bool>* stop) { return stop && stop->load(std::memory_order_relaxed); }

Outcome ExtractFolder(MemberWriter& writer, const ZipEntry& entry, const std::string& path, const std::string& target) {
  std::string error;
  if (writer.MakeFolders(path, entry.Mode(), error)) return Outcome::kExtracted;
  DebugLog(kDebugTarget, "ExceptErr[%s]", target.c_str());
  DebugLog(kDebugTarget, "ZIP folder not created: %s", error.c_str());
  return Outcome::kFailed;
}

Outcome ExtractFile(const ByteSource& source, MemberWriter& writer, const ZipEntry& entry, const std::string& path,
                    const std::string& target, const std::atomic<bool>* stop) {
  MemberWriter::Pending file;
  std::string error;
  if (!writer.Begin(path, file, error)) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", target.c_str());
    DebugLog(kDebugTarget, "ZIP member not written: %s", error.c_str());
    return Outcome::kFailed;
  }
  // The decoder hands over at most 64 KB at a time: a stop is seen within one of them, however
  // large the member.
  ZipMemberStatus status = DecodeZipMember(
      source, entry, [&](const char* data, size_t size) { return !StopAsked(stop) && writer.Write(file, data, size); });
  if (StopAsked(stop)) {
    writer.Abort(file);
    DebugLog(kDebugTarget, "ZIP extraction stopped in [%s]", entry.name.c_str());
    return Outcome::kStopped;
  }
  if (status != ZipMemberStatus::kOk) {
    writer.Abort(file);
    if (status == ZipMemberStatus::kWriteError) DebugLog(kDebugTarget, "ExceptErr[%s]", target.c_str());
    DebugLog(kDebugTarget, "ZIP member not extracted [%s]: %s", entry.name.c_str(), ZipMemberStatusText(status));
    return Outcome::kFailed;
  }
  if (!writer.Commit(file, entry.Mode(), DosDateTimeToUnix(entry.dosDate, entry.dosTime), error)) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", target.c_str());
    DebugLog(kDebugTarget, "ZIP member not written: %s", error.c_str());
    return Outcome::kFailed;
  }
  return Outcome::kExtracted;
}

Outcome ExtractMember(const ByteSource& source, MemberWriter& writer, const ZipEntry& entry,
                      const std::string& destFolder, bool overwrite, const std::atomic<bool>* stop) {
  std::optional<std::string> path = SafeMemberPath(entry.name);
  if (!path) {
    DebugLog(kDebugTarget, "ZIP member skipped, its name leaves the destination: %s", entry.name.c_str());
    return Outcome::kSkipped;
  }
  if (entry.IsLink()) {
    DebugLog(kDebugTarget, "ZIP member skipped, it is a symbolic link: %s", entry.name.c_str());
    return Outcome::kSkipped;
  }
  const std::string target = destFolder + "/" + *path;
  if (entry.IsFolder()) return ExtractFolder(writer, entry, *path, target);
  if (!overwrite && writer.Exists(*path)) return Outcome::kSkipped;
  return ExtractFile(source, writer, entry, *path, target, stop);
}

}  // namespace

int ZipExtractAll(const std::string& archivePath, const std::string& destFolder, const ZipProgress& progress,
                  int overwrite, ArchiveReport* report, const std::atomic<bool>* stop) {
  ArchiveReport local;
  ArchiveReport& r = report ? *report : local;
  r = {};
  if (archivePath.empty()) return 0;
  std::unique_ptr<ByteSource> source = OpenFileSource(archivePath);
  if (!source) {
    DebugLog(kDebugTarget, "ZIP archive cannot be opened: %s", archivePath.c_str());
    return 0;
  }
  std::string error;
  std::optional<ZipDirectory> directory = ReadZipDirectory(*source, &error);
  if (!directory) {
    DebugLog(kDebugTarget, "ZIP archive unreadable [%s]: %s", archivePath.c_str(), error.c_str());
    return 0;
  }
  if (std::string refusal = ZipLimitsError(*directory); !refusal.empty()) {
    DebugLog(kDebugTarget, "ZIP archive refused [%s]: %s", archivePath.c_str(), refusal.c_str());
    return 0;
  }
  std::string dest = destFolder;
  if (dest.empty()) {
#ifdef _WIN32
    // Either slash separates a Windows path; a drive's root (C:\ then the name) stays whole, as "/" does.
    const size_t slash = archivePath.find_last_of("/\\");
    const bool root = slash == 0 || (slash == 2 && archivePath[1] == ':');
#else
    const size_t slash = archivePath.rfind('/');
    const bool root = slash == 0;
#endif
    dest = slash == std::string::npos ? "." : root ? archivePath.substr(0, slash + 1) : archivePath.substr(0, slash);
  }
  MemberWriter writer(dest);
  if (!writer.Valid()) {
    DebugLog(kDebugTarget, "ExceptErr[%s]", dest.c_str());
    return 0;
  }
  uint64_t total = 0, done = 0;
  for (const ZipEntry& e : directory->entries) total += e.size;
  const auto& entries = directory->entries;
  for (size_t i = 0; i < entries.size(); ++i) {
    Outcome outcome = StopAsked(stop) ? Outcome::kStopped : ExtractMember(*source, writer, entries[i], dest, overwrite != 0, stop);
    switch (outcome) {
      case Outcome::kExtracted: ++r.extracted; break;
      case Outcome::kFailed: ++r.failed; break;
      case Outcome::kSkipped: ++r.skipped; break;
      case Outcome::kStopped:
        r.members = static_cast<int>(entries.size());
        r.stopped = true;
        return 0;
    }
    done += entries[i].size;
    if (progress) progress(static_cast<int>(i), total ? static_cast<int>(done * 100 / total) : 100, entries[i].name);
  }
  r.members = static_cast<int>(entries.size());
  return r.members;
}

std::optional<std::string> ZipMemberName(const std::string& archivePath, int position) {
  if (position < 0) return std::nullopt;
  std::unique_ptr<ByteSource> source = OpenFileSource(archivePath);
  if (!source) return std::nullopt;
  std::optional<ZipDirectory> directory = ReadZipDirectory(*source);
  if (!directory || static_cast<size_t>(position) >= directory->entries.size()) return std::nullopt;
  return SafeMemberPath(directory->entries[static_cast<size_t>(position)].name);
}
