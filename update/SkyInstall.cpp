// Installing a verified exchange: packages unpacked in the staging folder, every file made ready
// beside its target, and only then running copies ended and names taken.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "platform/Processes.h"
#include "support/AsciiText.h"
#include "support/FileUtils.h"
#include "update/ArchiveSafety.h"
#include "update/CabExtract.h"
#include "update/MemberWriter.h"
#include "update/PlaceAll.h"
#include "update/SkyFiles.h"
#include "update/Skylift.h"
#include "update/ZipExtract.h"
#include "update/ZipReader.h"
#ifdef _WIN32
#include "support/WideText.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

bool EndsWithNoCase(const std::string& name, std::string_view suffix) {
  return name.size() >= suffix.size() && SameIgnoringCase(std::string_view(name).substr(name.size() - suffix.size()), suffix);
}

// One file to put in place: where it goes (a folder letter and a path below that folder) and
// what it is made from.
struct PlanItem {
  char letter = 0;
  std::string rel;
  std::string source;
  std::string target;  // the full path, for processes and messages
  bool program = false;
  std::optional<std::time_t> mtime;
};

// A staged regular file, opened without waiting: a FIFO or a device put in its place would
// otherwise hold the install (and the start of the program) for as long as nobody writes.
FILE* OpenForReading(const std::string& path) {
#ifdef _WIN32
  return ::_wfopen(WidePath(path).c_str(), L"rb");
#else
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
    ::close(fd);
    return nullptr;
  }
  FILE* f = ::fdopen(fd, "rb");
  if (!f) ::close(fd);
  return f;
#endif
}

// One rule for every file, whatever brought it: a program (by its name on Windows, by its first
// bytes anywhere) is executable, anything else is a plain readable file.
unsigned InstallMode(const std::string& name, const std::string& staged) {
  return EndsWithNoCase(name, ".exe") || skyfiles::LooksExecutable(staged) ? 0755 : 0644;
}

}  // namespace

bool SkyliftExchange::InstallAll() {
  if (!m_manifestOk) return Fail(kSkyInstallFailed, m_why.empty() ? "the server sent no signed list" : m_why);
  std::vector<const SkyFileEntry*> files;
  std::vector<const SkyFileEntry*> deletes;
  for (const SkyFileEntry& e : m_files) {
    if (e.cKey == kSkyManifestKey || e.cKey == kSkySignatureKey || e.psFullPath.empty()) continue;
    if (e.cKey == 'D') {
      if (!ManifestHolds(e))
        Log("D %s is not in the signed list -- ignored", e.psFullPath.c_str());
      else if (FileExists(e.psFullPath))
        deletes.push_back(&e);
      continue;
    }
    if (!e.need_update) continue;
    if (Stopped()) return Fail(kSkyInstallFailed, "the update was stopped");
    if (!VerifyEntry(e)) return false;
    files.push_back(&e);
  }

  std::vector<PlanItem> plan;
  for (const SkyFileEntry* e : files) {
    const int position = static_cast<int>(e - m_files.data());
    const std::string sub = e->psSubDir.empty() ? std::string() : *SafeMemberPath(e->psSubDir);
    const std::string rel = (sub.empty() ? "" : sub + "/") + e->psFile;
    // A FIFO or a device put in place of the received file would hold whoever opens it.
    if (FILE* staged = OpenForReading(Staged(position))) std::fclose(staged);
    else return Fail(kSkyInstallFailed, rel + " is no longer the file that was received");
    const bool zip = EndsWithNoCase(e->psFile, ".zip");
    const bool cab = EndsWithNoCase(e->psFile, ".cab");
    if (!cab)
      plan.push_back({.letter = e->cFolder, .rel = rel, .source = Staged(position), .target = e->psFullPath,
                      .program = InstallMode(e->psFile, Staged(position)) == 0755, .mtime = e->lTime});
    if (!zip && !cab) continue;
    // A package is unpacked here, in the staging folder, in one pass; its members go beside it.
    const std::string unpacked = m_staging + "/u" + std::to_string(position);
    ArchiveReport report;
    int members = -1;
    if (zip) {
      std::unique_ptr<ByteSource> source = OpenFileSource(Staged(position));
      std::optional<ZipDirectory> directory = source ? ReadZipDirectory(*source) : std::nullopt;
      if (!directory) return Fail(kSkyInstallFailed, rel + " is not a readable ZIP package");
      if (directory->entries.size() > kSkyMaxInstallFiles)
        return Fail(kSkyInstallFailed, rel + " holds more members than an update may install");
      members = ZipExtractAll(Staged(position), unpacked, {}, 1, &report, m_trust.stop);
      if (members == 0 && !directory->entries.empty()) members = -1;
    } else {
      int reason = 0;
      CabHandle handle = CabOpen(Staged(position), &reason);
      if (handle) members = CabExtractAll(*handle, Staged(position), unpacked, &report, m_trust.stop);
    }
    if (report.stopped || Stopped()) return Fail(kSkyInstallFailed, "the update was stopped");
    if (members < 0 || report.failed > 0 || report.skipped > 0)
      return Fail(kSkyInstallFailed, rel + " is a damaged or refused package");
    std::error_code error;
    std::vector<std::string> found;
    for (fs::recursive_directory_iterator it(fs::u8path(unpacked), error), end; !error && it != end; it.increment(error)) {
      if (it->symlink_status().type() != fs::file_type::regular) continue;
      {
        const std::u8string relative = fs::relative(it->path(), fs::u8path(unpacked)).generic_u8string();
        found.emplace_back(relative.begin(), relative.end());
      }
      if (found.size() > kSkyMaxInstallFiles) return Fail(kSkyInstallFailed, rel + " holds too many members");
    }
    if (error) return Fail(kSkyInstallFailed, rel + " could not be unpacked");
    std::sort(found.begin(), found.end());
    const std::string dir = sub;
    for (const std::string& member : found) {
      const std::string from = unpacked + "/" + member;
      int64_t mtime = 0;
      GetFileStatus(from, &mtime, nullptr);
      const std::string memberRel = (dir.empty() ? "" : dir + "/") + member;
      const std::string name = member.substr(member.rfind('/') == std::string::npos ? 0 : member.rfind('/') + 1);
      plan.push_back({.letter = e->cFolder, .rel = memberRel, .source = from,
                      .target = m_folders.Get(e->cFolder) + "/" + memberRel,
                      .program = InstallMode(name, from) == 0755, .mtime = static_cast<std::time_t>(mtime)});
    }
  }
  if (plan.size() > kSkyMaxInstallFiles) return Fail(kSkyInstallFailed, "the update holds more files than an update may install");

  // Every file is written beside its target first: a folder that cannot be written, a link in
  // the way, a full disk, all show here, while nothing has changed yet.
  std::map<char, std::unique_ptr<MemberWriter>> writers;
  auto writerOf = [&](char letter) -> MemberWriter& {
    auto& writer = writers[letter];
    if (!writer) writer = std::make_unique<MemberWriter>(m_folders.Get(letter));
    return *writer;
  };
  std::vector<PlaceStep> steps;
  steps.reserve(plan.size() + deletes.size());
  // What a failed install made goes again: its finished files and the folders it created.
  auto undo = [&](const std::string& why) {
    DiscardAll(steps);
    for (auto& [letter, writer] : writers) writer->RemoveCreatedFolders();
    return Fail(kSkyInstallFailed, Stopped() ? "the update was stopped" : why);
  };
  for (PlanItem& item : plan) {
    MemberWriter& writer = writerOf(item.letter);
    PlaceStep& step = steps.emplace_back(PlaceStep{.writer = &writer, .target = item.target});
    std::string error;
    bool ok = !Stopped() && writer.Valid() && writer.Begin(item.rel, step.pending, error);
    if (ok) {
      FILE* in = OpenForReading(item.source);
      std::vector<char> buffer(1 << 16);
      ok = in != nullptr;
      if (!ok) error = "the staged file cannot be read";
      for (size_t n; ok && (n = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;)
        ok = writer.Write(step.pending, buffer.data(), n) && !Stopped();
      if (in && std::ferror(in)) ok = false;
      if (in) std::fclose(in);
      if (!ok) writer.Abort(step.pending);
    }
    if (ok) ok = writer.Finish(step.pending, item.program ? 0755 : 0644, item.mtime, error);
    if (!ok) return undo("cannot write " + item.target + (error.empty() ? "" : ": " + error));
  }
  for (const SkyFileEntry* e : deletes) {
    const std::string sub = e->psSubDir.empty() ? std::string() : *SafeMemberPath(e->psSubDir);
    steps.push_back({.writer = &writerOf(e->cFolder), .removal = true, .rel = (sub.empty() ? "" : sub + "/") + e->psFile,
                     .target = e->psFullPath});
  }
  if (Stopped()) return undo("the update was stopped");

  // Everything is ready: only now are running copies of the programs being replaced ended.
  for (const PlanItem& item : plan)
    if (item.program && FileExists(item.target)) KillProcessByName(item.target, true);
  std::string error;
  if (!PlaceAll(steps, error)) {
    Log("Install failed, every file put back: %s", error.c_str());
    for (auto& [letter, writer] : writers) writer->RemoveCreatedFolders();
    return Fail(kSkyInstallFailed, error);
  }
  Log("Installed %d files of %s", static_cast<int>(plan.size()), m_trust.section.c_str());
  return true;
}

bool PlaceAll(std::span<PlaceStep> steps, std::string& error) {
  size_t done = 0;
  for (; done < steps.size(); ++done) {
    PlaceStep& step = steps[done];
    std::string why;
    const bool ok = step.removal ? step.writer->SetAside(step.rel, step.pending, why) : step.writer->Place(step.pending, why);
    if (ok) continue;
    error = (step.removal ? "cannot remove " : "cannot put ") + step.target + (step.removal ? "" : " in place") +
            (why.empty() ? "" : ": " + why);
    break;
  }
  if (done == steps.size()) {
    for (PlaceStep& step : steps) step.writer->Release(step.pending);
    return true;
  }
  for (size_t i = done; i-- > 0;) steps[i].writer->Restore(steps[i].pending);
  DiscardAll(steps);
  return false;
}

void DiscardAll(std::span<PlaceStep> steps) {
  for (PlaceStep& step : steps)
    if (!step.removal && !step.pending.placed) step.writer->Discard(step.pending);
}
