// CSkylift: the DIST thread, list evaluation, requests, received pieces and installing them.
#include "update/Skylift.h"

#include <algorithm>
#include <cstdarg>
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

bool EndsWith(const std::string& name, std::string_view suffix) {
  return name.size() >= suffix.size() && SameIgnoringCase(std::string_view(name).substr(name.size() - suffix.size()), suffix);
}

bool IsLibrary(const std::string& name) { return EndsWith(name, ".ocx") || EndsWith(name, ".ax") || EndsWith(name, ".dll"); }

bool IsProgram(const std::string& name, const std::string& path) {
  return EndsWith(name, ".exe") || skyfiles::LooksExecutable(path);
}

void EndRunningCopies(const std::string& path) {
  if (FileExists(path)) KillProcessByName(path, true);
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
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
                                 std::string logTarget, Hooks hooks, std::atomic<int>& state)
    : m_folders(folders), m_checkOnly(checkOnly), m_requestSize(requestSize), m_receiveSize(receiveSize),
      m_log(std::move(logTarget)), m_hooks(std::move(hooks)), m_state(state) {}

SkyliftExchange::~SkyliftExchange() { Abort(); }

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

bool SkyliftExchange::Fail(int code) {
  Abort();
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
    Notify(kSkyMsgError, kSkyErrorId, -std::atoi(text.c_str()));
    return true;
  }
  if (BlockMarkerIs(block, "_PFLIST:")) {
    OnList(*payload);
    return !m_failed;
  }
  if (BlockMarkerIs(block, "_PFSAVE:")) {
    if (m_checkOnly) {
      m_state = kSkyStateUpdate;
      return false;
    }
    return OnPiece(*payload);
  }
  if (BlockMarkerIs(block, "_PAREND:")) {
    // An end in the middle of a file is no normal end: the file is thrown away and the
    // exchange counts as failed, so that nobody starts a half-refreshed program.
    if (m_fd >= 0) {
      Log("End of the exchange while %s was arriving", m_tempPath.c_str());
      return Fail(kSkyInstallFailed);
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
  if (!sub || !file) {
    Log("pzpFiles[%d]: unsafe path %s,%s -- skipped", index, e.psSubDir.c_str(), e.psFile.c_str());
    return false;
  }
  e.psFullPath = base + "/" + (sub->empty() ? "" : *sub + "/") + *file;
  if (e.cKey != 'D') MakeFolderPath(FolderOf(e.psFullPath));
  Log("pzpFiles[i].psFullPath:%s", e.psFullPath.c_str());
  return true;
}

bool SkyliftExchange::Decide(SkyFileEntry& e) {
  int64_t mtime = 0;
  int64_t size = 0;
  const bool exists = GetFileStatus(e.psFullPath, &mtime, &size) == 1;
  switch (e.cKey) {
    case 'D':
      if (exists) DeleteFileIfPresent(e.psFullPath);
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
  for (size_t i = 0; i < m_files.size(); ++i) {
    SkyFileEntry& e = m_files[i];
    if (e.psFile.empty()) {
      Log("pzpFiles[%d].psFile == NULL -- break", static_cast<int>(i));
      break;
    }
    e.need_update = BuildPath(e, static_cast<int>(i)) && Decide(e);
    if (!flushIfFull()) return;
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
  m_tempPath = e.psFullPath + ".bnu";
  Log("Update File : %s", e.psFullPath.c_str());
  Log("zFCurr.psBNUname:%s", m_tempPath.c_str());
  // Never through a link: the temporary name is replaced, not followed.
  DeleteFileIfPresent(m_tempPath);
  m_fd = skyfiles::CreateTemp(m_tempPath);
  if (m_fd == skyfiles::kNoFile) return Fail(kSkyTempCreateFailed);
  m_openPosition = position;
  m_fileBytes = 0;
  m_state = kSkyStateUpdate;
  Notify(kSkyMsgProgress, kSkyFileId, 11);
  return true;
}

bool SkyliftExchange::OnPiece(std::span<const char> p) {
  if (p.size() < kPieceHead) return true;
  const bool more = p[0] != 0;
  const int position = static_cast<unsigned char>(p[1]) | (static_cast<unsigned char>(p[2]) << 8);
  if (!m_evaluated || static_cast<size_t>(position) >= m_files.size() ||
      !m_files[static_cast<size_t>(position)].need_update) {
    Log("Piece for position %d, which was not requested -- dropped", position);
    return true;
  }
  if (m_fd != skyfiles::kNoFile && position != m_openPosition) {
    Log("Piece for position %d while %d is open -- the open file is dropped", position, m_openPosition);
    Abort();
  }
  if (m_fd == skyfiles::kNoFile && !OpenTemp(position)) return false;
  const SkyFileEntry& e = m_files[static_cast<size_t>(position)];
  const auto data = p.subspan(kPieceHead);
  if (m_fileBytes + static_cast<int64_t>(data.size()) > e.lSize) {
    Log("%s: more data than its size %d", e.psFullPath.c_str(), e.lSize);
    return Fail(kSkyInstallFailed);
  }
  if (!skyfiles::Write(m_fd, data.data(), data.size())) return Fail(kSkyTempWriteFailed);
  m_fileBytes += static_cast<int64_t>(data.size());
  m_received += static_cast<int64_t>(data.size());
  if (m_total > 0) Notify(kSkyMsgProgress, kSkyPercentId, static_cast<int>(m_received * 100 / m_total));
  if (more) return true;
  const bool closed = skyfiles::Close(m_fd);
  m_fd = skyfiles::kNoFile;
  m_openPosition = -1;
  // Only a file that arrived whole, with the size the list announced, is installed.
  if (!closed || m_fileBytes != e.lSize) {
    Log("%s: received %lld bytes of %d -- not installed", e.psFullPath.c_str(), static_cast<long long>(m_fileBytes),
        e.lSize);
    DeleteFileIfPresent(m_tempPath);
    return Fail(kSkyInstallFailed);
  }
  return Install(e);
}

bool SkyliftExchange::Install(const SkyFileEntry& e) {
  if (IsProgram(e.psFile, m_tempPath)) EndRunningCopies(e.psFullPath);
  skyfiles::TakeInstallMode(e.psFullPath, m_tempPath);
  if (skyfiles::MoveInto(m_tempPath, e.psFullPath)) {
    if (IsLibrary(e.psFile)) Log("DllRegisterServer:%s (nothing to register here)", e.psFullPath.c_str());
    if (EndsWith(e.psFile, ".zip") || EndsWith(e.psFile, ".cab")) Unpack(e);
  } else {
    const std::string& temp = m_folders.Get('T');
    const std::string aside = temp + "/" + e.psFile;
    if (!IsLibrary(e.psFile) || temp.empty() || !SafeMemberPath(e.psFile) || !skyfiles::MoveInto(m_tempPath, aside)) {
      DeleteFileIfPresent(m_tempPath);
      Log("Install failed: %s", e.psFullPath.c_str());
      return Fail(kSkyInstallFailed);
    }
    Log("DllRegisterServer:%s (nothing to register here)", aside.c_str());
    return true;
  }
  if (EndsWith(e.psFile, ".cab"))
    DeleteFileIfPresent(e.psFullPath);
  else
    SetFileModTime(e.psFullPath, e.lTime);
  return true;
}

// Unpacks a received package into a private folder below T, then moves each member, in the
// archive's order, into the package's own folder.
void SkyliftExchange::Unpack(const SkyFileEntry& e) {
  const std::string& temp = m_folders.Get('T');
  if (temp.empty()) {
    Log("iExt2Temp: no temporary folder for %s", e.psFullPath.c_str());
    return;
  }
  MakeFolderPath(temp);
  // A folder of our own: nobody else's file in a shared temporary folder is overwritten or followed.
  const std::string unpacked = skyfiles::MakeUniqueFolder(temp, "zelvora-unpack-");
  if (unpacked.empty()) {
    Log("iExt2Temp: cannot make a folder in %s", temp.c_str());
    return;
  }
  const std::string dest = FolderOf(e.psFullPath);
  if (EndsWith(e.psFile, ".zip")) {
    const int members = ZipExtractAll(e.psFullPath, unpacked, {}, 1);
    for (int i = 0; i < members; ++i)
      if (auto name = ZipMemberName(e.psFullPath, i)) MoveMember(unpacked, *name, dest);
  } else {
    int reason = 0;
    CabHandle cab = CabOpen(e.psFullPath, &reason);
    ArchiveReport report;
    if (!cab) Log("Cabinet %s cannot be opened (%d)", e.psFullPath.c_str(), reason);
    if (cab && CabExtractAll(*cab, e.psFullPath, unpacked, &report) > 0)
      for (int i = 0; i < report.members; ++i)
        if (auto name = CabMemberName(*cab, e.psFullPath, i)) MoveMember(unpacked, *name, dest);
  }
  RemoveFolderTree(unpacked);
}

void SkyliftExchange::MoveMember(const std::string& unpacked, const std::string& name, const std::string& destFolder) {
  const std::string from = unpacked + "/" + name;
  if (!skyfiles::IsRegularFile(from)) return;  // folders and failed members
  const std::string to = destFolder.empty() ? name : destFolder + "/" + name;
  MakeFolderPath(FolderOf(to));
  if (IsProgram(name, from)) EndRunningCopies(to);
  if (skyfiles::MoveInto(from, to)) {
    if (IsLibrary(name)) Log("DllRegisterServer:%s (nothing to register here)", to.c_str());
  } else {
    Log("Member %s could not be moved to %s", name.c_str(), to.c_str());
    if (IsLibrary(name)) Log("DllRegisterServer:%s (nothing to register here)", from.c_str());
  }
}

// ---------------------------------------------------------------- the client

CSkylift::CSkylift() : m_sLogTarget(RelocateSkyLogTarget(kDebugTarget)) {}

CSkylift::~CSkylift() {
  if (m_bDistRunning) {
    m_bStop = true;
    m_sock.m_zFLAG.i_exit = 1;
    WaitStep(500);
    for (int i = 0; i < 600 && m_bDistRunning; ++i) WaitStep(5);
  }
  // A thread cannot be cut off safely; it sees the stop flag within one 5 ms round.
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
  {
    SkyliftExchange exchange(m_folders, checkOnly, m_iRequestSize, m_iReceiveSize, m_sLogTarget, std::move(hooks),
                             m_iUpdateState);
    while (!m_bStop && !exchange.Failed() && !m_sock.HasError()) {
      const char* head = m_sock.RcvBufHead();
      if (!head) {
        // The receive thread queues its last block before it marks the connection ended.
        if (!m_sock.IsConnected() && !m_sock.RcvBufHead()) {
          DebugLog(m_sLogTarget.c_str(), "SKYLIFT: the server closed the connection");
          break;
        }
        m_sock.RcvBufWait(5);
        continue;
      }
      const bool goOn = exchange.OnBlock(std::span<const char>(head, static_cast<size_t>(m_iReceiveSize)));
      m_sock.RcvBufShift();
      if (!goOn) break;
    }
  }  // a file still open is removed here
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
