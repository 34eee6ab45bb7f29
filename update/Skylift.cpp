// CSkylift: the DIST thread, list evaluation, requests, received pieces and installing them.
#include "update/Skylift.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/KnownFolders.h"
#include "platform/Processes.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"
#include "update/ArchiveSafety.h"
#include "update/CabExtract.h"
#include "update/SkyFiles.h"
#include "update/ZipExtract.h"
#ifdef _WIN32
#include "support/WideText.h"
#endif

namespace {

constexpr size_t kListHead = 9;   // more-follows flag, total, entries in this block
constexpr size_t kPieceHead = 3;  // more-pieces flag, list position
constexpr size_t kEntryFixed = 14;
// Positions travel as uint16, so no list can usefully be longer.
constexpr int32_t kMaxListEntries = 65535;

int32_t ReadI32(const char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return static_cast<int32_t>(v);
}

int16_t ReadI16(const char* p) {
  return static_cast<int16_t>(static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8));
}

FILE* OpenStagedFile(const std::string& path) {
#ifdef _WIN32
  return ::_wfopen(WidePath(path).c_str(), L"rb");
#else
  return std::fopen(path.c_str(), "rb");
#endif
}

// At most `limit` bytes of a small file we staged ourselves.
std::string ReadSmallFile(const std::string& path, size_t limit) {
  std::string text;
  FILE* f = OpenStagedFile(path);
  if (!f) return text;
  text.resize(limit + 1);
  text.resize(std::fread(text.data(), 1, text.size(), f));
  std::fclose(f);
  return text;
}


}  // namespace

// ---------------------------------------------------------------- folder table

int SkyFolders::Slot(char letter) {
  for (size_t i = 0; i < kLetters.size(); ++i)
    if (kLetters[i] == letter) return static_cast<int>(i);
  return -1;
}

bool SkyFolders::Set(char letter, std::string path) {
  const int slot = Slot(letter);
  if (slot < 0) return false;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  m_paths[static_cast<size_t>(slot)] = std::move(path);
  return true;
}

const std::string& SkyFolders::Get(char letter) const {
  static const std::string kNone;
  const int slot = Slot(letter);
  return slot < 0 ? kNone : m_paths[static_cast<size_t>(slot)];
}

void SkyFolders::Clear() {
  for (auto& p : m_paths) p.clear();
}

// ---------------------------------------------------------------- log target

std::string RelocateSkyLogTarget(const std::string& target) {
  if (target.size() < 2 || target[1] == ':' || target[0] == '/') return target;
  if (skyfiles::UserIsSystem()) return target;
  const std::string low = SpecialFolderPath(kFolderLocalData);
  if (low.empty()) return target;
  MakeFolderPath(low);
  // The "debug_logs" folder is not created: as for the program's own log, making it is how a
  // user switches these records on.
  return low + "/debug_logs/" + target;
}

// ---------------------------------------------------------------- one exchange

SkyliftExchange::SkyliftExchange(const SkyFolders& folders, bool checkOnly, int requestSize, int receiveSize,
                                 std::string logTarget, Hooks hooks, std::atomic<int>& state, SkyTrust trust)
    : m_folders(folders), m_checkOnly(checkOnly), m_requestSize(requestSize), m_receiveSize(receiveSize),
      m_log(std::move(logTarget)), m_hooks(std::move(hooks)), m_state(state), m_trust(std::move(trust)) {}

SkyliftExchange::~SkyliftExchange() {
  Abort();
  if (!m_staging.empty()) RemoveFolderTree(m_staging);
}

void SkyliftExchange::Log(const char* format, ...) {
  if (m_log.empty()) return;
  char text[4096];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  DebugLog(m_log.c_str(), "%s", text);
}

void SkyliftExchange::Notify(int message, int wParam, int lParam) {
  if (m_hooks.notify) m_hooks.notify(message, wParam, lParam);
}

bool SkyliftExchange::Fail(int code, const std::string& why) {
  Abort();
  if (!why.empty()) {
    Log("Update refused: %s", why.c_str());
    if (m_why.empty()) m_why = why;
  }
  Notify(kSkyMsgError, kSkyErrorId, code);
  m_failed = true;
  return false;
}

void SkyliftExchange::Abort() {
  if (m_fd != skyfiles::kNoFile) {
    skyfiles::Close(m_fd);
    m_fd = skyfiles::kNoFile;
    DeleteFileIfPresent(m_tempPath);
    Log("Removed unfinished %s", m_tempPath.c_str());
  }
  m_openPosition = -1;
}

std::string SkyliftExchange::Staged(int position) const { return m_staging + "/" + std::to_string(position); }

bool SkyliftExchange::OnBlock(std::span<const char> block) {
  static constexpr const char* kKnown[] = {"_GSECTN:", "_PFLIST:", "_GFNDEX:", "_PFSAVE:", "_PAREND:", "_PERMSG:"};
  if (m_failed) return false;
  const std::optional<int32_t> length = BlockLength(block);
  const bool known = std::any_of(std::begin(kKnown), std::end(kKnown), [&](const char* m) { return BlockMarkerIs(block, m); });
  if (!known || !length || *length < 0 || *length > m_receiveSize) return true;
  const std::optional<std::span<const char>> payload = BlockPayload(block);
  if (!payload) return true;  // a length that the block itself cannot hold
  if (BlockMarkerIs(block, "_PERMSG:")) {
    const std::string text(payload->data(), strnlen(payload->data(), std::min<size_t>(payload->size(), 11)));
    m_state = kSkyStateRefused;
    if (m_why.empty()) m_why = "the update server answered with error " + text;
    Notify(kSkyMsgError, kSkyErrorId, -std::atoi(text.c_str()));
    return true;
  }
  if (BlockMarkerIs(block, "_PFLIST:")) {
    OnList(*payload);
    return !m_failed;
  }
  if (BlockMarkerIs(block, "_PFSAVE:")) return OnPiece(*payload);
  if (BlockMarkerIs(block, "_PAREND:")) {
    // An end in the middle of a file is no normal end: the file is thrown away and the
    // exchange counts as failed, so that nobody starts a half-refreshed program.
    if (m_fd != skyfiles::kNoFile) {
      Log("End of the exchange while %s was arriving", m_tempPath.c_str());
      return Fail(kSkyInstallFailed, "the server ended the exchange in the middle of a file");
    }
    if (!m_evaluated) return Fail(kSkyInstallFailed, "the server ended the exchange without a list");
    if (m_checkOnly) {
      // Only a verified list may say that nothing is due.
      if (!m_manifestOk) return Fail(kSkyInstallFailed, m_why.empty() ? "the server sent no signed list" : m_why);
    } else if (!InstallAll()) {
      return false;
    }
    m_state = kSkyStateDone;
    return false;
  }
  Log("Dist - Unused Header:%.8s...", block.data());
  return true;
}

void SkyliftExchange::OnList(std::span<const char> p) {
  if (p.size() < kListHead) return;
  if (m_evaluated) {
    Log("List block after the list ended -- dropped");
    return;
  }
  if (m_announced < 0) {
    const int32_t total = ReadI32(p.data() + 1);
    if (total < 0 || total > kMaxListEntries) {
      Log("List total %d out of range -- dropped", total);
      return;
    }
    m_announced = total;
    m_files.reserve(static_cast<size_t>(total));
  }
  const int32_t count = ReadI32(p.data() + 5);
  size_t at = kListHead;
  for (int32_t i = 0; i < count; ++i) {
    if (p.size() - at < kEntryFixed) break;
    const int s = std::max<int>(0, ReadI16(p.data() + at + 2));
    const int f = std::max<int>(0, ReadI16(p.data() + at + 4));
    if (p.size() - at - kEntryFixed < static_cast<size_t>(s) + static_cast<size_t>(f)) {
      Log("List entry %d cut short -- rest of the block dropped", i);
      break;
    }
    if (m_files.size() >= static_cast<size_t>(m_announced)) {
      Log("List longer than its total %d -- surplus dropped", m_announced);
      break;
    }
    // What the list may hold is bounded here, before it is kept, not by what the server sends.
    m_nameBytes += static_cast<size_t>(s) + static_cast<size_t>(f);
    if (m_nameBytes > kSkyMaxListNameBytes || static_cast<size_t>(s) > kSkyMaxNameBytes ||
        static_cast<size_t>(f) > kSkyMaxNameBytes) {
      Fail(kSkyInstallFailed, "the server's list is larger than any list of updates");
      return;
    }
    SkyFileEntry e;
    e.cKey = p[at];
    e.cFolder = p[at + 1];
    e.psSubDir.assign(p.data() + at + 6, static_cast<size_t>(s));
    e.psFile.assign(p.data() + at + 6 + s, static_cast<size_t>(f));
    e.lSize = ReadI32(p.data() + at + 6 + s + f);
    e.lTime = ReadI32(p.data() + at + 10 + s + f);
    m_files.push_back(std::move(e));
    at += kEntryFixed + static_cast<size_t>(s) + static_cast<size_t>(f);
  }
  if (p[0] == 0) Evaluate();
}

// The signed list's shape: the manifest and its signature first, and every signature directly
// after the entry it signs, for the same folder, named after it.
bool SkyliftExchange::CheckShape() {
  auto isMeta = [](const SkyFileEntry& e) { return e.cKey == kSkyManifestKey || e.cKey == kSkySignatureKey; };
  if (m_files.size() < 2 || m_files[0].cKey != kSkyManifestKey || m_files[0].cFolder != 'M' ||
      !m_files[0].psSubDir.empty() || m_files[0].psFile != kSkyManifestName || m_files[0].lSize < 0 ||
      m_files[0].lSize > kSkyMaxManifestBytes || m_files[1].cKey != kSkySignatureKey || m_files[1].cFolder != 'M' ||
      !m_files[1].psSubDir.empty() || m_files[1].psFile != std::string(kSkyManifestName) + kSkySignatureSuffix)
    return Fail(kSkyInstallFailed, "the server's list carries no signed manifest (is the server older than signed updates?)");
  m_files[0].iSignature = 1;
  for (size_t i = 2; i < m_files.size(); ++i) {
    SkyFileEntry& e = m_files[i];
    if (e.cKey == kSkyManifestKey) return Fail(kSkyInstallFailed, "the server's list holds a second manifest");
    if (e.cKey != kSkySignatureKey) continue;
    const SkyFileEntry& signedEntry = m_files[i - 1];
    if (isMeta(signedEntry) || signedEntry.cFolder != e.cFolder || signedEntry.psSubDir != e.psSubDir ||
        e.psFile != signedEntry.psFile + kSkySignatureSuffix)
      return Fail(kSkyInstallFailed, "the server's list holds a signature that belongs to no entry: " + e.psFile);
    m_files[i - 1].iSignature = static_cast<int>(i);
  }
  for (const SkyFileEntry& e : m_files)
    if (e.cKey == kSkySignatureKey && (e.lSize < 0 || static_cast<size_t>(e.lSize) > kMaxMinisignSignatureBytes))
      return Fail(kSkyInstallFailed, "the server's list holds a signature larger than any signature");
  return true;
}

// The entry's local path below its base folder; false (logged) when the entry must be skipped.
bool SkyliftExchange::BuildPath(SkyFileEntry& e, int index) {
  if (SkyFolders::Slot(e.cFolder) < 0) {
    Log("pzpFiles[%d]: unknown folder letter '%c' -- skipped", index, e.cFolder);
    return false;
  }
  const std::string& base = m_folders.Get(e.cFolder);
  if (base.empty()) {
    Log("pzpFiles[%d]: folder '%c' not set -- skipped", index, e.cFolder);
    return false;
  }
  // Names from the server stay below their base folder: no absolute path, no "..".
  std::optional<std::string> sub = e.psSubDir.empty() ? std::optional<std::string>("") : SafeMemberPath(e.psSubDir);
  std::optional<std::string> file = SafeMemberPath(e.psFile);
  if (!sub || !file || file->find('/') != std::string::npos) {
    Log("pzpFiles[%d]: unsafe path %s,%s -- skipped", index, e.psSubDir.c_str(), e.psFile.c_str());
    return false;
  }
  // Nothing is created here: folders appear only when an install puts a file in them.
  e.psFullPath = base + "/" + (sub->empty() ? "" : *sub + "/") + *file;
  Log("pzpFiles[i].psFullPath:%s", e.psFullPath.c_str());
  return true;
}

bool SkyliftExchange::Decide(SkyFileEntry& e) {
  int64_t mtime = 0;
  int64_t size = 0;
  const bool exists = GetFileStatus(e.psFullPath, &mtime, &size) == 1;
  switch (e.cKey) {
    case 'D':
      // Deleted only by a verified list, at install (never in a check).
      return false;
    case 'C':
      return !exists;
    case 'U': {
      const bool current = exists && mtime - 60 < e.lTime && e.lTime < mtime + 60 && size == e.lSize;
      Log("%s(%d, need_update:%d)", e.psFullPath.c_str(), exists ? 1 : 0, current ? 0 : 1);
      return !current;
    }
    case 'G':
      return !(exists && mtime >= e.lTime);
    default:
      return false;
  }
}

void SkyliftExchange::Evaluate() {
  m_evaluated = true;
  Log("iFilesNdx:%d", static_cast<int>(m_files.size()));
  if (!CheckShape()) return;
  std::vector<char> indices;
  const size_t limit = static_cast<size_t>(std::max(0, m_requestSize - 14));
  bool split = false;
  // A full block goes out before the position that would not fit in it.
  auto flushIfFull = [&] {
    if (indices.size() + 2 <= limit) return true;
    split = true;
    bool ok = SendIndices(indices, 1, true);
    indices.clear();
    return ok;
  };
  // The manifest and its signature are asked for in every exchange.
  m_files[0].need_update = m_files[1].need_update = true;
  for (size_t i = 2; i < m_files.size(); ++i) {
    SkyFileEntry& e = m_files[i];
    if (e.psFile.empty()) {
      Log("pzpFiles[%d].psFile == NULL -- break", static_cast<int>(i));
      break;
    }
    if (e.cKey == kSkySignatureKey) {
      e.need_update = m_files[i - 1].need_update;
      continue;
    }
    e.need_update = BuildPath(e, static_cast<int>(i)) && Decide(e);
  }
  for (size_t i = 0; i < m_files.size(); ++i) {
    if (!flushIfFull()) return;
    const SkyFileEntry& e = m_files[i];
    if (!e.need_update) continue;
    indices.push_back(static_cast<char>(i & 0xFF));
    indices.push_back(static_cast<char>(i >> 8));
    m_total += e.lSize > 0 ? e.lSize : 0;
  }
  if (!split) {
    SendIndices(indices, 0, !indices.empty());
    return;
  }
  // Every block of a split request is marked as continued, the last one too; so the last one
  // must not be full, or the server could not tell that the request has ended. A full one
  // goes out as it is, followed by one that holds no position.
  if (!flushIfFull()) return;
  SendIndices(indices, 1, true);
}

bool SkyliftExchange::SendIndices(const std::vector<char>& indices, int flag, bool withFlag) {
  std::vector<char> block(static_cast<size_t>(m_requestSize), '\0');
  std::vector<char> payload;
  if (withFlag) {
    payload.push_back(static_cast<char>(flag));
    payload.insert(payload.end(), indices.begin(), indices.end());
  }
  if (!SetBlockHeader(block, "_GFNDEX:", payload) || !m_hooks.push || m_hooks.push(block.data(), 0) < 0) {
    Log("Request block could not be queued");
    m_failed = true;
    return false;
  }
  return true;
}

bool SkyliftExchange::OpenTemp(int position) {
  const SkyFileEntry& e = m_files[static_cast<size_t>(position)];
  if (m_staging.empty()) {
    // A private folder of our own in the user's cache: no shared name another user could have
    // put a link or a FIFO at.
    std::string parent = m_trust.stagingParent;
    if (parent.empty()) parent = SpecialFolderPath(kFolderInternetCache) + "/zelvora";
    MakeFolderPath(parent);
    m_staging = skyfiles::MakeUniqueFolder(parent, "update-");
    if (m_staging.empty()) return Fail(kSkyTempCreateFailed, "no staging folder can be made in " + parent);
  }
  m_tempPath = Staged(position);
  Log("Update File : %s", e.psFullPath.c_str());
  Log("zFCurr.psBNUname:%s", m_tempPath.c_str());
  m_fd = skyfiles::CreateTemp(m_tempPath);
  if (m_fd == skyfiles::kNoFile) return Fail(kSkyTempCreateFailed, "cannot write into " + m_staging);
  m_openPosition = position;
  m_fileBytes = 0;
  m_hasher.Reset();
  if (position == 0) m_manifestText.clear();
  if (!m_checkOnly && m_state.load() == kSkyStateRunning) {
    m_state = kSkyStateUpdate;
    Notify(kSkyMsgProgress, kSkyFileId, 11);
  }
  return true;
}

bool SkyliftExchange::OnPiece(std::span<const char> p) {
  if (p.size() < kPieceHead) return true;
  const bool more = p[0] != 0;
  const int position = static_cast<unsigned char>(p[1]) | (static_cast<unsigned char>(p[2]) << 8);
  if (!m_evaluated || static_cast<size_t>(position) >= m_files.size() ||
      !m_files[static_cast<size_t>(position)].need_update || m_files[static_cast<size_t>(position)].bReceived) {
    Log("Piece for position %d, which was not requested -- dropped", position);
    return true;
  }
  if (m_fd != skyfiles::kNoFile && position != m_openPosition) {
    Log("Piece for position %d while %d is open", position, m_openPosition);
    return Fail(kSkyInstallFailed, "the server mixed the pieces of two files");
  }
  // A check wants the signed list only; its verdict comes before any other file is stored.
  if (m_checkOnly && position > 1) {
    if (!m_manifestOk) return Fail(kSkyInstallFailed, "the server sent files before its signed list");
    return true;
  }
  if (m_fd == skyfiles::kNoFile && !OpenTemp(position)) return false;
  const SkyFileEntry& e = m_files[static_cast<size_t>(position)];
  const auto data = p.subspan(kPieceHead);
  if (m_fileBytes + static_cast<int64_t>(data.size()) > e.lSize) {
    Log("%s: more data than its size %d", e.psFile.c_str(), e.lSize);
    return Fail(kSkyInstallFailed, e.psFile + " arrived larger than the list says");
  }
  if (!skyfiles::Write(m_fd, data.data(), data.size())) return Fail(kSkyTempWriteFailed, "cannot write into " + m_staging);
  // What was written, exactly: a repeated piece is hashed as it was stored, and then fails the
  // size or the signature.
  m_hasher.Update(data);
  if (position == 0) m_manifestText.append(data.data(), data.size());
  m_fileBytes += static_cast<int64_t>(data.size());
  m_received += static_cast<int64_t>(data.size());
  if (m_total > 0 && !m_checkOnly) Notify(kSkyMsgProgress, kSkyPercentId, static_cast<int>(m_received * 100 / m_total));
  if (more) return true;
  const bool closed = skyfiles::Close(m_fd);
  m_fd = skyfiles::kNoFile;
  m_openPosition = -1;
  if (!closed || m_fileBytes != e.lSize) {
    Log("%s: received %lld bytes of %d", e.psFile.c_str(), static_cast<long long>(m_fileBytes), e.lSize);
    return Fail(kSkyInstallFailed, e.psFile + " arrived with another size than the list says");
  }
  return FileArrived(position);
}

bool SkyliftExchange::FileArrived(int position) {
  m_files[static_cast<size_t>(position)].bReceived = true;
  m_hashes[position] = m_hasher.Final();
  if (position > 1 || !m_files[0].bReceived || !m_files[1].bReceived) return true;
  if (!VerifyManifest()) return false;
  if (!m_checkOnly) return true;
  // A check: an update is due when the signed list holds an entry this copy needs.
  for (const SkyFileEntry& e : m_files)
    if (e.need_update && e.cKey != kSkyManifestKey && e.cKey != kSkySignatureKey && ManifestHolds(e)) {
      m_state = kSkyStateUpdate;
      return false;
    }
  return true;
}

bool SkyliftExchange::VerifyManifest() {
  if (!m_trust.key) return Fail(kSkyInstallFailed, "no update key is set (encoder.update_key), so no update can be trusted");
  std::string why;
  const std::string sigText = ReadSmallFile(Staged(1), kMaxMinisignSignatureBytes);
  std::optional<MinisignSignature> sig = ParseMinisignSignature(sigText, &why);
  if (!sig) return Fail(kSkyInstallFailed, "the list's signature is unreadable: " + why);
  const auto hash = m_hashes.find(0);
  if (hash == m_hashes.end()) return Fail(kSkyInstallFailed, "the list did not arrive");
  if (!MinisignVerify(*m_trust.key, *sig, hash->second, &why)) return Fail(kSkyInstallFailed, "the list's signature: " + why);
  // "zelvora-manifest SECTION TIME": this section's list, not another one signed by the same key.
  const std::string prefix = "zelvora-manifest " + m_trust.section + " ";
  const std::string& tc = sig->trustedComment;
  if (tc.compare(0, prefix.size(), prefix) != 0 || tc.size() == prefix.size() ||
      tc.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
    return Fail(kSkyInstallFailed, "the list is signed for something else: \"" + tc + "\"");
  // Read from the very bytes that were hashed, not from the staged file again.
  const std::string text = std::move(m_manifestText);
  m_manifestText.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    if (lf == std::string::npos) lf = text.size();
    std::string line = text.substr(start, lf - start);
    start = lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    m_manifest.push_back(std::move(line));
  }
  std::sort(m_manifest.begin(), m_manifest.end());
  m_manifestOk = true;
  Log("Signed list of %s verified: %d lines", m_trust.section.c_str(), static_cast<int>(m_manifest.size()));
  return true;
}

bool SkyliftExchange::ManifestHolds(const SkyFileEntry& e) const {
  std::string line;
  line += e.cKey;
  line += '\t';
  line += e.cFolder;
  line += '\t' + e.psSubDir + '\t' + e.psFile;
  return std::binary_search(m_manifest.begin(), m_manifest.end(), line);
}

// The entry's file is exactly what the publisher signed for this place and time.
bool SkyliftExchange::VerifyEntry(const SkyFileEntry& e) {
  const std::string name = (e.psSubDir.empty() ? "" : e.psSubDir + "/") + e.psFile;
  if (!ManifestHolds(e)) return Fail(kSkyInstallFailed, name + " is not in the signed list");
  if (e.iSignature < 0 || !m_files[static_cast<size_t>(e.iSignature)].bReceived)
    return Fail(kSkyInstallFailed, name + " comes without a signature");
  const int position = static_cast<int>(&e - m_files.data());
  if (!e.bReceived) return Fail(kSkyInstallFailed, name + " did not arrive");
  std::string why;
  std::optional<MinisignSignature> sig =
      ParseMinisignSignature(ReadSmallFile(Staged(e.iSignature), kMaxMinisignSignatureBytes), &why);
  if (!sig) return Fail(kSkyInstallFailed, name + ": its signature is unreadable: " + why);
  const auto hash = m_hashes.find(position);
  if (hash == m_hashes.end()) return Fail(kSkyInstallFailed, name + " did not arrive");
  if (!MinisignVerify(*m_trust.key, *sig, hash->second, &why)) return Fail(kSkyInstallFailed, name + ": " + why);
  const std::string expected = "zelvora-update " + m_trust.section + " " + std::string(1, e.cFolder) + " " + name +
                               " " + std::to_string(e.lTime);
  if (sig->trustedComment != expected)
    return Fail(kSkyInstallFailed, name + " is signed for another place or time: \"" + sig->trustedComment + "\"");
  int64_t mtime = 0;
  if (GetFileStatus(e.psFullPath, &mtime, nullptr) == 1 && e.lTime < mtime)
    return Fail(kSkyInstallFailed, name + " is older than the installed copy (signed " + std::to_string(e.lTime) + ")");
  return true;
}

// ---------------------------------------------------------------- the client

CSkylift::CSkylift() : m_sLogTarget(RelocateSkyLogTarget(kDebugTarget)) {}

CSkylift::~CSkylift() {
  // A thread cannot be cut off safely, so every step of DIST that can take long watches the
  // stop flag: the wait for a block (5 ms rounds), each received piece, the install's copies,
  // and unpacking, between members and inside a member's data. The join below therefore waits
  // for one such step at most, whatever the server sent.
  m_bStop = true;
  if (m_bDistRunning) m_sock.m_zFLAG.i_exit = 1;
  if (m_hEvent4Dist.joinable()) m_hEvent4Dist.join();
  m_sock.Disconnect();
}

int CSkylift::SetSize(int requestSize, int receiveSize, int sendSlots, int recvSlots) {
  if (m_sock.SetSize(requestSize, receiveSize, sendSlots, recvSlots, 1, 128) != 1) return 0;
  m_iRequestSize = requestSize;
  m_iReceiveSize = receiveSize;
  return 1;
}

int CSkylift::Connect(const std::string& address, int port) {
  m_sock.m_bAutoClose = m_bAutoDisconnect;
  return m_sock.ConnServer(address, port, 0);
}

void CSkylift::Notify(int message, int wParam, int lParam) {
  if (m_observer) m_observer(message, wParam, lParam);
}

int CSkylift::iStartUpdate(const std::string& section, bool download) {
  DebugLog(m_sLogTarget.c_str(), "SkyLift.lib #1:%s", section.c_str());
  if (!IsConnected()) return -2;
  if (m_folders.Get('M').empty()) return -3;
  if (m_bDistRunning) return -1;  // one exchange per client at a time
  if (m_hEvent4Dist.joinable()) m_hEvent4Dist.join();
  m_bStop = false;
  m_bCheckOnly = !download;
  m_sSection = section;
  m_sock.m_zFLAG.i_exit = 0;
  DebugLog(m_sLogTarget.c_str(), "SkyLift.lib #2:%s", m_folders.Get('M').c_str());
  std::vector<char> block(static_cast<size_t>(std::max(0, m_iRequestSize)), '\0');
  if (kBlockHeaderSize + section.size() > block.size() || !SetBlockHeader(block, "_GSECTN:", section)) return -1;
  m_bDistStarted = false;
  m_bDistRunning = true;
  try {
    m_hEvent4Dist = std::thread(&CSkylift::Dist, this, m_bCheckOnly);
  } catch (const std::system_error&) {
    m_bDistRunning = false;
    return -1;
  }
  for (int i = 0; i < 200 && !m_bDistStarted; ++i) WaitStep(5);
  return m_sock.QuickSend(block.data());
}

void CSkylift::Dist(bool checkOnly) {
  m_bDistStarted = true;
  DebugLog(m_sLogTarget.c_str(), "SKYLIFT.Thread Begin(DIST)");
  m_iUpdateState = kSkyStateRunning;
  SkyliftExchange::Hooks hooks{
      .push = [this](const char* block, int length) { return m_sock.PushSendPacket(block, length); },
      .notify = [this](int m, int w, int l) { Notify(m, w, l); }};
  std::string why;
  {
    SkyliftExchange exchange(m_folders, checkOnly, m_iRequestSize, m_iReceiveSize, m_sLogTarget, std::move(hooks),
                             m_iUpdateState, SkyTrust{.section = m_sSection, .key = m_key, .stagingParent = m_sStaging,
                                                      .stop = &m_bStop});
    using Clock = std::chrono::steady_clock;
    const auto begun = Clock::now();
    auto heard = begun;
    // Silence is bounded, not the transfer: a slow line that keeps sending goes on, up to the
    // overall bound that no server can stretch.
    while (!m_bStop && !exchange.Failed() && !m_sock.HasError()) {
      const auto now = Clock::now();
      if (now - heard > std::chrono::milliseconds(m_iIdleMs)) {
        why = "the update server fell silent for " + std::to_string(m_iIdleMs / 1000) + " s";
        break;
      }
      if (now - begun > std::chrono::milliseconds(m_iOverallMs)) {
        why = "the update took longer than " + std::to_string(m_iOverallMs / 1000) + " s";
        break;
      }
      const char* head = m_sock.RcvBufHead();
      if (!head) {
        // The receive thread queues its last block before it marks the connection ended.
        if (!m_sock.IsConnected() && !m_sock.RcvBufHead()) {
          DebugLog(m_sLogTarget.c_str(), "SKYLIFT: the server closed the connection");
          why = "the update server closed the connection";
          break;
        }
        m_sock.RcvBufWait(5);
        continue;
      }
      heard = Clock::now();
      const bool goOn = exchange.OnBlock(std::span<const char>(head, static_cast<size_t>(m_iReceiveSize)));
      m_sock.RcvBufShift();
      if (!goOn) break;
    }
    if (!exchange.Why().empty()) why = exchange.Why();
    if (m_sock.HasError() && why.empty()) why = "the connection to the update server failed";
  }  // a file still open is removed here, and the staging folder
  if (!why.empty()) DebugLog(m_sLogTarget.c_str(), "SKYLIFT: %s", why.c_str());
  {
    std::lock_guard<std::mutex> lock(m_whyLock);
    m_sWhy = why;
  }
  if (m_bAutoDisconnect && m_sock.IsConnected()) m_sock.Disconnect();
  Notify(kSkyMsgProgress, kSkyFileId, 0);
  DebugLog(m_sLogTarget.c_str(), "SKYLIFT.Thread End(DIST)");
  m_bDistRunning = false;
}

bool CSkylift::WaitForDisconnect(int timeoutMs) {
  for (int waited = 0; IsConnected() && !m_bStop; waited += 50) {
    if (HasError()) break;
    if (timeoutMs >= 0 && waited >= timeoutMs) break;
    WaitStep(50);
  }
  return !IsConnected();
}

std::string CSkylift::Why() const {
  std::lock_guard<std::mutex> lock(m_whyLock);
  return m_sWhy;
}
