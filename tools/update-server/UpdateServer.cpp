// The update server: manifest loading, the per-client exchange state machine and the wait loop.
#include "tools/update-server/UpdateServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fstream>
#include <list>
#include <map>
#include <sstream>

#include "tools/update-server/ServerSystem.h"
#include "update/ArchiveSafety.h"
#include "update/VekSocket.h"

namespace {

constexpr size_t kRequestBlock = 256;
constexpr size_t kReplyBlock = 32768;
constexpr size_t kReplyPayload = kReplyBlock - kBlockHeaderSize;
constexpr size_t kListHead = 9;    // more-follows flag, total, count in this block
constexpr size_t kPieceHead = 3;   // more-pieces flag, list position
// A client's request block holds at most this many positions; a shorter block is its last.
constexpr size_t kIndicesPerBlock = (kRequestBlock - 14) / 2;
constexpr size_t kMaxEntries = 65535;  // positions travel as uint16
constexpr size_t kMaxManifestBytes = 4u << 20;
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxSectionName = kRequestBlock - kBlockHeaderSize;
constexpr int kLingerSeconds = 10;
constexpr const char* kErrUnknownSection = "1";
constexpr const char* kErrBadRequest = "2";

using Clock = std::chrono::steady_clock;

std::string UtcNow() {
  std::time_t t = std::time(nullptr);
  const std::tm tm = srvsys::UtcTime(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

std::vector<std::string> SplitTabs(const std::string& line) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t tab = line.find('\t', start);
    parts.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return parts;
    start = tab + 1;
  }
}

bool IsFolderLetter(char c) { return c == 'M' || c == 'P' || c == 'S' || c == 'T' || c == 'K'; }

// Whether `path` resolves (links followed) to a place inside `base` (itself resolved).
bool InsideResolved(const std::string& base, const std::string& path) {
  const std::string r = srvsys::ResolvedPath(path);
  if (r.empty() || base.empty()) return false;
  return r.size() > base.size() && r.compare(0, base.size(), base) == 0 && (r[base.size()] == '/' || r[base.size()] == '\\');
}

// One manifest line checked and described; empty `why` when it is usable.
ManifestEntry ParseLine(const std::string& line, const std::string& filesDir, const std::string& realFiles,
                        std::string& why) {
  ManifestEntry e;
  std::vector<std::string> f = SplitTabs(line);
  if (f.size() != 4) return why = "expected 4 tab-separated fields", e;
  if (f[0].size() != 1 || f[1].size() != 1) return why = "key and folder must be single letters", e;
  e.key = f[0][0];
  e.folder = f[1][0];
  e.subdir = f[2];
  e.name = f[3];
  if (!IsFolderLetter(e.folder)) return why = "unknown folder letter", e;
  if (e.name.empty()) return why = "empty file name", e;
  // The entry must fit one list block, and both texts travel with 16-bit lengths.
  if (6 + e.subdir.size() + e.name.size() + 8 > kReplyPayload - kListHead) return why = "names too long", e;
  std::optional<std::string> rel = SafeMemberPath(e.subdir.empty() ? e.name : e.subdir + "/" + e.name);
  if (!rel || (!e.subdir.empty() && !SafeMemberPath(e.subdir))) return why = "path climbs out of files/", e;
  e.path = filesDir + "/" + *rel;
  srvsys::FileFacts st;
  if (!srvsys::Inspect(e.path, false, st)) {
    if (e.key == 'D') return e;  // deleting needs nothing published
    return why = "file not published", e;
  }
  if (!InsideResolved(realFiles, e.path)) return why = "path climbs out of files/", e;
  if (!srvsys::Inspect(e.path, true, st) || !st.regular) return why = "not a regular file", e;
  if (st.size > INT32_MAX) return why = "file larger than 2 GiB - 1", e;
  e.size = st.size;
  e.mtime = std::clamp<int64_t>(st.mtime, 0, INT32_MAX);
  return e;
}

}  // namespace

bool LoadManifest(const std::string& sectionDir, ManifestLoad& out, std::string* error) {
  out = ManifestLoad{};
  const std::string manifest = sectionDir + "/manifest.tsv";
  std::ifstream in(manifest, std::ios::binary);
  srvsys::FileFacts st;
  if (!in || !srvsys::Inspect(manifest, true, st)) {
    if (error) *error = "cannot read " + manifest;
    return false;
  }
  if (static_cast<uint64_t>(st.size) > kMaxManifestBytes) {
    if (error) *error = manifest + " is larger than 4 MiB";
    return false;
  }
  const std::string filesDir = sectionDir + "/files";
  const std::string realFiles = srvsys::ResolvedPath(filesDir);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::string why;
    if (line.size() > kMaxLine) why = "line too long";
    ManifestEntry e;
    if (why.empty()) e = ParseLine(line, filesDir, realFiles, why);
    if (why.empty() && out.entries.size() >= kMaxEntries) why = "more than 65535 files";
    if (!why.empty()) {
      out.rejected.push_back("line " + std::to_string(number) + ": " + why);
      continue;
    }
    out.entries.push_back(std::move(e));
  }
  return true;
}

// ---------------------------------------------------------------- the server

struct UpdateServer::Impl {
  struct Section {
    srvsys::FileFacts id;
    std::shared_ptr<const std::vector<ManifestEntry>> entries;
  };

  enum class Phase { kSection, kList, kIndices, kSending, kClosing };

  struct Client {
    sockio::SocketHandle fd = sockio::kNoSocket;
    std::string peer;
    Phase phase = Phase::kSection;
    char in[kRequestBlock];
    size_t inFill = 0;
    std::vector<char> out;  // at most one reply block waiting
    size_t outPos = 0;
    std::string section;
    std::shared_ptr<const std::vector<ManifestEntry>> list;
    size_t listed = 0;                 // entries already put into list blocks
    std::vector<uint16_t> wanted;      // requested positions, first request first
    std::vector<bool> seen;
    size_t requestBlocks = 0;
    size_t current = 0;                // index into `wanted` of the file being sent
    srvsys::FileHandle fileFd = srvsys::kNoFile;
    int64_t fileLeft = 0;
    bool fileStarted = false;
    int filesSent = 0;
    int64_t bytesSent = 0;
    Clock::time_point lastActivity = Clock::now();
    Clock::time_point closingSince{};
    std::string end = "closed by client";
  };

  UpdateServerOptions opt;
  sockio::SocketHandle listenFd = sockio::kNoSocket;
  srvsys::Waker wake;
  int port = 0;
  std::map<std::string, Section> sections;
  std::list<Client> clients;

  void Log(const Client& c) {
    if (!opt.log) return;
    std::fprintf(opt.log, "%s %s section=%s listed=%zu requested=%zu files=%d bytes=%lld end=%s\n", UtcNow().c_str(),
                 c.peer.c_str(), c.section.empty() ? "-" : c.section.c_str(), c.list ? c.list->size() : size_t{0},
                 c.wanted.size(), c.filesSent, static_cast<long long>(c.bytesSent), c.end.c_str());
    std::fflush(opt.log);
  }

  void Note(const std::string& text) {
    if (!opt.log) return;
    std::fprintf(opt.log, "%s %s\n", UtcNow().c_str(), text.c_str());
    std::fflush(opt.log);
  }

  // The section's entries, loaded again whenever its manifest was replaced or changed.
  std::shared_ptr<const std::vector<ManifestEntry>> FindSection(const std::string& name) {
    const std::string dir = opt.root + "/" + name;
    srvsys::FileFacts st;
    if (!srvsys::Inspect(dir + "/manifest.tsv", true, st)) {
      sections.erase(name);
      return nullptr;
    }
    auto it = sections.find(name);
    if (it != sections.end() && it->second.id.SameAs(st))
      return Refreshed(it->second.entries);
    ManifestLoad load;
    std::string error;
    if (!LoadManifest(dir, load, &error)) {
      Note("section " + name + ": " + error);
      sections.erase(name);
      return nullptr;
    }
    for (const auto& why : load.rejected) Note("section " + name + ": refused " + why);
    Note("section " + name + ": loaded " + std::to_string(load.entries.size()) + " files");
    Section& s = sections[name];
    s.id = st;
    s.entries = std::make_shared<const std::vector<ManifestEntry>>(std::move(load.entries));
    return Refreshed(s.entries);
  }

  // Sizes and times as the files are now: a file replaced without touching the manifest is
  // still described truly, so a client never receives a size that the data contradicts.
  static std::shared_ptr<const std::vector<ManifestEntry>> Refreshed(
      const std::shared_ptr<const std::vector<ManifestEntry>>& entries) {
    auto copy = std::make_shared<std::vector<ManifestEntry>>(*entries);
    for (auto& e : *copy) {
      srvsys::FileFacts st;
      if (srvsys::Inspect(e.path, true, st) && st.regular && st.size <= INT32_MAX) {
        e.size = st.size;
        e.mtime = std::clamp<int64_t>(st.mtime, 0, INT32_MAX);
      }
    }
    return copy;
  }

  static void PutBlock(Client& c, const char* marker, const std::string& payload) {
    c.out.assign(kReplyBlock, '\0');
    c.outPos = 0;
    SetBlockHeader(c.out, marker, payload);
  }

  void Refuse(Client& c, const char* code, const std::string& why) {
    PutBlock(c, "_PERMSG:", code);
    c.phase = Phase::kClosing;
    c.end = "error " + std::string(code) + " " + why;
  }

  // ------------------------------------------------------------ requests

  void OnRequest(Client& c) {
    std::span<const char> block(c.in, kRequestBlock);
    std::optional<std::span<const char>> payload = BlockPayload(block);
    if (!payload) return Refuse(c, kErrBadRequest, "bad length");
    if (c.phase == Phase::kSection && BlockMarkerIs(block, "_GSECTN:")) return OnSection(c, *payload);
    if (c.phase == Phase::kIndices && BlockMarkerIs(block, "_GFNDEX:")) return OnIndices(c, *payload);
    Refuse(c, kErrBadRequest, "unexpected block");
  }

  static bool SafeSectionName(std::string_view name) {
    if (name.empty() || name.size() > kMaxSectionName || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](char ch) {
      return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' ||
             ch == '-' || ch == '.';
    });
  }

  void OnSection(Client& c, std::span<const char> payload) {
    std::string name(payload.data(), payload.size());
    c.section = SafeSectionName(name) ? name : "(invalid)";
    if (!SafeSectionName(name)) return Refuse(c, kErrUnknownSection, "unknown section");
    c.list = FindSection(name);
    if (!c.list) return Refuse(c, kErrUnknownSection, "unknown section");
    c.seen.assign(c.list->size(), false);
    c.phase = Phase::kList;
  }

  void OnIndices(Client& c, std::span<const char> payload) {
    ++c.requestBlocks;
    // More blocks than the whole list could need is not a client of this protocol.
    if (c.requestBlocks > c.list->size() / kIndicesPerBlock + 2) return Refuse(c, kErrBadRequest, "too many requests");
    bool last = payload.empty();
    if (!payload.empty()) {
      if ((payload.size() - 1) % 2 != 0) return Refuse(c, kErrBadRequest, "odd request length");
      const size_t count = (payload.size() - 1) / 2;
      for (size_t i = 0; i < count; ++i) {
        const auto lo = static_cast<unsigned char>(payload[1 + 2 * i]);
        const auto hi = static_cast<unsigned char>(payload[2 + 2 * i]);
        const size_t index = lo | (static_cast<size_t>(hi) << 8);
        if (index >= c.list->size()) return Refuse(c, kErrBadRequest, "position outside the list");
        // Each file goes out once, however often it is asked for.
        if (!c.seen[index] && (*c.list)[index].key != 'D') c.wanted.push_back(static_cast<uint16_t>(index));
        c.seen[index] = true;
      }
      // Clients mark every block of a split request as continued, the last one included; a
      // block that is not full is therefore the last one as well.
      last = payload[0] == 0 || count < kIndicesPerBlock;
    }
    if (last) c.phase = Phase::kSending;
  }

  // ------------------------------------------------------------ replies

  void NextListBlock(Client& c) {
    const auto& list = *c.list;
    std::string payload(kListHead, '\0');
    size_t inBlock = 0;
    while (c.listed < list.size()) {
      const ManifestEntry& e = list[c.listed];
      const size_t need = 6 + e.subdir.size() + e.name.size() + 8;
      if (payload.size() + need > kReplyPayload) break;
      payload += e.key;
      payload += e.folder;
      AppendLe(payload, static_cast<uint32_t>(e.subdir.size()), 2);
      AppendLe(payload, static_cast<uint32_t>(e.name.size()), 2);
      payload += e.subdir;
      payload += e.name;
      AppendLe(payload, static_cast<uint32_t>(e.size), 4);
      AppendLe(payload, static_cast<uint32_t>(e.mtime), 4);
      ++c.listed;
      ++inBlock;
    }
    payload[0] = c.listed < list.size() ? 1 : 0;
    PutLe(payload, 1, static_cast<uint32_t>(list.size()));
    PutLe(payload, 5, static_cast<uint32_t>(inBlock));
    PutBlock(c, "_PFLIST:", payload);
    if (c.listed >= list.size()) c.phase = Phase::kIndices;
  }

  static void AppendLe(std::string& s, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  }
  static void PutLe(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
  }

  void CloseFile(Client& c) {
    srvsys::CloseFile(c.fileFd);
    c.fileFd = srvsys::kNoFile;
    c.fileStarted = false;
  }

  // The next piece of the file being sent, or _PAREND: after the last file. false when a
  // file cannot be read as listed: the connection is then dropped, so that the client
  // throws the partial file away instead of installing something else.
  bool NextPiece(Client& c) {
    if (c.current >= c.wanted.size()) {
      PutBlock(c, "_PAREND:", "");
      c.phase = Phase::kClosing;
      c.end = "done";
      return true;
    }
    const uint16_t position = c.wanted[c.current];
    const ManifestEntry& e = (*c.list)[position];
    if (!c.fileStarted) {
      c.fileFd = srvsys::OpenForReading(e.path);
      if (c.fileFd == srvsys::kNoFile) return c.end = "cannot open " + e.path, false;
      c.fileLeft = e.size;
      c.fileStarted = true;
    }
    const size_t want = static_cast<size_t>(std::min<int64_t>(c.fileLeft, kReplyPayload - kPieceHead));
    c.out.assign(kReplyBlock, '\0');
    c.outPos = 0;
    char* data = c.out.data() + kBlockHeaderSize + kPieceHead;
    size_t got = 0;
    while (got < want) {
      const long long n = srvsys::ReadSome(c.fileFd, data + got, want - got);
      if (n <= 0) return c.end = "file shrank: " + e.path, false;
      got += static_cast<size_t>(n);
    }
    c.fileLeft -= static_cast<int64_t>(got);
    const bool more = c.fileLeft > 0;
    std::memcpy(c.out.data(), "_PFSAVE:", kBlockMarkerSize);
    const auto length = static_cast<uint32_t>(kPieceHead + got);
    for (int i = 0; i < 4; ++i) c.out[9 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    c.out[kBlockHeaderSize] = more ? 1 : 0;
    c.out[kBlockHeaderSize + 1] = static_cast<char>(position & 0xFF);
    c.out[kBlockHeaderSize + 2] = static_cast<char>(position >> 8);
    c.bytesSent += static_cast<int64_t>(got);
    if (!more) {
      CloseFile(c);
      ++c.filesSent;
      ++c.current;
    }
    return true;
  }

  // Makes the next block when nothing waits; false when the exchange must be dropped.
  bool Produce(Client& c) {
    if (c.outPos < c.out.size()) return true;
    c.out.clear();
    c.outPos = 0;
    if (c.phase == Phase::kList) NextListBlock(c);
    else if (c.phase == Phase::kSending) return NextPiece(c);
    return true;
  }

  // ------------------------------------------------------------ the loop

  bool ReadFrom(Client& c) {
    char scratch[4096];
    for (;;) {
      // Only requests are read; bytes at any other time are no request of this protocol and
      // are read only to notice the client closing.
      const bool listening = c.phase == Phase::kSection || c.phase == Phase::kIndices;
      char* into = listening ? c.in + c.inFill : scratch;
      const size_t room = listening ? kRequestBlock - c.inFill : sizeof scratch;
      const sockio::IoResult r = sockio::Receive(c.fd, into, room);
      if (r.status == sockio::IoStatus::kClosed) return false;
      if (r.status == sockio::IoStatus::kWouldBlock) return true;
      if (r.status == sockio::IoStatus::kError) {
        if (c.phase != Phase::kClosing) c.end = "receive failed: " + sockio::ErrorName(r.error);
        return false;
      }
      c.lastActivity = Clock::now();
      if (!listening) continue;
      c.inFill += r.bytes;
      if (c.inFill < kRequestBlock) continue;
      c.inFill = 0;
      OnRequest(c);
      // Requests beyond the one being answered wait in the kernel until its reply is out.
      if (c.phase != Phase::kSection && c.phase != Phase::kIndices) return true;
    }
  }

  // false when the connection is to be closed.
  bool WriteTo(Client& c) {
    for (int rounds = 0; rounds < 64; ++rounds) {
      if (!Produce(c)) return false;
      if (c.outPos >= c.out.size()) break;
      const sockio::IoResult r = sockio::Send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos);
      if (r.status == sockio::IoStatus::kWouldBlock) return true;
      if (r.status != sockio::IoStatus::kDone) {
        c.end = c.phase == Phase::kClosing && c.end == "done" ? "done" : "closed by client";
        return false;
      }
      c.outPos += r.bytes;
      c.lastActivity = Clock::now();
    }
    if (c.phase == Phase::kClosing && c.outPos >= c.out.size() && c.closingSince == Clock::time_point{}) {
      // Half-close, then read until the client closes: closing with its bytes unread would
      // reset the connection and could destroy the reply in flight.
      srvsys::ShutdownSending(c.fd);
      c.closingSince = Clock::now();
    }
    return true;
  }

  bool WantsWrite(const Client& c) const {
    if (c.outPos < c.out.size()) return true;
    return c.phase == Phase::kList || c.phase == Phase::kSending ||
           (c.phase == Phase::kClosing && c.closingSince == Clock::time_point{});
  }

  void Drop(std::list<Client>::iterator it) {
    CloseFile(*it);
    srvsys::CloseSocket(it->fd);
    Log(*it);
    clients.erase(it);
  }

  void Accept() {
    for (int i = 0; i < 64; ++i) {
      std::string peer;
      const sockio::SocketHandle fd = srvsys::AcceptOne(listenFd, peer);
      if (fd == sockio::kNoSocket) return;
      if (static_cast<int>(clients.size()) >= opt.maxClients) {
        srvsys::CloseSocket(fd);
        Note(peer + " refused: " + std::to_string(opt.maxClients) + " clients already connected");
        continue;
      }
      Client& c = clients.emplace_back();
      c.fd = fd;
      c.peer = std::move(peer);
    }
  }

  bool TimedOut(Client& c, Clock::time_point now) {
    if (c.closingSince != Clock::time_point{})
      return now - c.closingSince > std::chrono::seconds(kLingerSeconds);
    if (now - c.lastActivity > std::chrono::seconds(opt.idleSeconds)) {
      c.end = "timed out";
      return true;
    }
    return false;
  }

  int Run() {
    std::vector<srvsys::Watch> fds;
    std::vector<std::list<Client>::iterator> owners;
    for (;;) {
      fds.clear();
      owners.clear();
      fds.push_back({wake.watchable, srvsys::kReadable});
      fds.push_back({listenFd, srvsys::kReadable});
      for (auto it = clients.begin(); it != clients.end(); ++it) {
        const bool sending = it->phase == Phase::kList || it->phase == Phase::kSending;
        unsigned events = sending ? 0 : srvsys::kReadable;
        if (WantsWrite(*it)) events |= srvsys::kWritable;
        fds.push_back({it->fd, events});
        owners.push_back(it);
      }
      int ready = srvsys::WaitAny(fds, 1000);
      if (ready < 0) return 1;
      if (fds[0].ready & srvsys::kReadable) break;
      if (fds[1].ready & srvsys::kReadable) Accept();
      const Clock::time_point now = Clock::now();
      for (size_t i = 0; i < owners.size(); ++i) {
        Client& c = *owners[i];
        const unsigned re = ready > 0 ? fds[i + 2].ready : 0;
        bool keep = true;
        if (re & (srvsys::kReadable | srvsys::kHangup)) keep = ReadFrom(c);
        if (keep && (re & srvsys::kWritable || WantsWrite(c))) keep = WriteTo(c);
        if (keep && TimedOut(c, now)) keep = false;
        if (!keep) Drop(owners[i]);
      }
    }
    while (!clients.empty()) {
      clients.front().end = "server stopped";
      Drop(clients.begin());
    }
    return 0;
  }
};

UpdateServer::UpdateServer(UpdateServerOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->opt = std::move(options);
  int error = 0;
  if (sockio::Startup(error)) srvsys::MakeWaker(impl_->wake);
}

UpdateServer::~UpdateServer() {
  for (auto& c : impl_->clients) {
    impl_->CloseFile(c);
    srvsys::CloseSocket(c.fd);
  }
  srvsys::CloseSocket(impl_->listenFd);
  srvsys::CloseWaker(impl_->wake);
}

bool UpdateServer::Listen(std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (impl_->wake.watchable == sockio::kNoSocket) return fail("cannot make a wake-up channel");
  std::string why;
  const sockio::SocketHandle fd = srvsys::ListenOn(impl_->opt.address, impl_->opt.port, impl_->port, why);
  if (fd == sockio::kNoSocket) return fail(why);
  impl_->listenFd = fd;
  return true;
}

int UpdateServer::Port() const { return impl_->port; }

int UpdateServer::Run() { return impl_->listenFd == sockio::kNoSocket ? 1 : impl_->Run(); }

void UpdateServer::Stop() { srvsys::Wake(impl_->wake); }
