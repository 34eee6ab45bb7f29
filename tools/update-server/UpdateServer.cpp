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
constexpr const char* kErrFileChanged = "3";

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

std::vector<std::string> SplitSpaces(std::string_view text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t space = text.find(' ', start);
    parts.emplace_back(text.substr(start, space == std::string_view::npos ? std::string_view::npos : space - start));
    if (space == std::string_view::npos) return parts;
    start = space + 1;
  }
}

// A version as signed: decimal seconds since 1970 that fit the list's signed 32 bits, written
// without sign or leading zero, so that every reader compares the same number.
std::optional<int64_t> SignedTime(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  int64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return std::nullopt;
    v = v * 10 + (ch - '0');
  }
  if (v > INT32_MAX) return std::nullopt;
  return v;
}

// Whether the whole text is base64 of exactly `bytes` bytes.
bool Base64Of(std::string_view text, size_t bytes) {
  if (text.size() != (bytes + 2) / 3 * 4) return false;
  const size_t padding = (3 - bytes % 3) % 3;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const bool pad = i >= text.size() - padding;
    if (pad ? ch != '=' : !(std::isalnum(static_cast<unsigned char>(ch)) || ch == '+' || ch == '/')) return false;
  }
  return true;
}

constexpr size_t kMaxSignatureBytes = 4096;
constexpr const char* kSignatureSuffix = ".minisig";

// The whole of a small open file, read at once; false when it is larger than `limit` or
// cannot be read as it was described.
bool ReadWhole(srvsys::FileHandle file, const srvsys::FileFacts& facts, size_t limit, std::string& text) {
  if (facts.size < 0 || static_cast<uint64_t>(facts.size) > limit) return false;
  text.assign(static_cast<size_t>(facts.size), '\0');
  for (size_t got = 0; got < text.size();) {
    const long long n = srvsys::ReadAt(file, static_cast<int64_t>(got), text.data() + got, text.size() - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// The entry of a small text (the manifest or a signature) read whole from `file`.
PublishedEntry TextEntry(char key, char folder, const std::string& subdir, const std::string& name, std::string text,
                         const srvsys::FileFacts& facts) {
  PublishedEntry e;
  e.key = key;
  e.folder = folder;
  e.subdir = subdir;
  e.name = name;
  e.size = static_cast<int64_t>(text.size());
  e.time = std::clamp<int64_t>(facts.mtime, 0, INT32_MAX);
  e.text = std::make_shared<const std::string>(std::move(text));
  return e;
}

// Reads a signature file and checks that its trusted comment is `expected` followed by one
// space and a version; the version, or nothing with `why`.
std::optional<int64_t> ReadSignature(srvsys::FileHandle file, const srvsys::FileFacts& facts,
                                     const std::string& expected, std::string& text, std::string& why) {
  if (!ReadWhole(file, facts, kMaxSignatureBytes, text)) return why = "signature unreadable or too large", std::nullopt;
  const std::optional<std::string> comment = SignatureTrustedComment(text);
  if (!comment) return why = "signature is not a minisign signature", std::nullopt;
  const std::vector<std::string> fields = SplitSpaces(*comment);
  std::string head;
  for (size_t i = 0; i + 1 < fields.size(); ++i) head += (i ? " " : "") + fields[i];
  const std::optional<int64_t> time = fields.size() < 2 ? std::nullopt : SignedTime(fields.back());
  if (head != expected || !time) return why = "signature's trusted comment \"" + *comment + "\" does not name \"" + expected + " TIME\"", std::nullopt;
  return time;
}

// One manifest line checked, opened and described; the entries to list, or `why` it is refused.
std::vector<PublishedEntry> ParseLine(const std::string& line, const std::string& section, const std::string& filesDir,
                                      std::string& why, bool& outOfHandles) {
  std::vector<std::string> f = SplitTabs(line);
  if (f.size() != 4) return why = "expected 4 tab-separated fields", std::vector<PublishedEntry>{};
  if (f[0].size() != 1 || f[1].size() != 1) return why = "key and folder must be single letters", std::vector<PublishedEntry>{};
  PublishedEntry e;
  e.key = f[0][0];
  e.folder = f[1][0];
  e.subdir = f[2];
  e.name = f[3];
  if (!IsFolderLetter(e.folder)) return why = "unknown folder letter", std::vector<PublishedEntry>{};
  // The client reads these letters as the manifest and the signatures the server adds itself.
  if (e.key == 'L' || e.key == 'V') return why = "the keys L and V are reserved", std::vector<PublishedEntry>{};
  if (e.name.empty()) return why = "empty file name", std::vector<PublishedEntry>{};
  // The trusted comment separates its fields by single spaces, so a path cannot hold one.
  if ((e.subdir + e.name).find(' ') != std::string::npos) return why = "space in the path", std::vector<PublishedEntry>{};
  // The entry and its signature's entry must each fit one list block, and both texts travel with 16-bit lengths.
  if (6 + e.subdir.size() + e.name.size() + std::strlen(kSignatureSuffix) + 8 > kReplyPayload - kListHead)
    return why = "names too long", std::vector<PublishedEntry>{};
  std::optional<std::string> rel = SafeMemberPath(e.subdir.empty() ? e.name : e.subdir + "/" + e.name);
  if (!rel || (!e.subdir.empty() && !SafeMemberPath(e.subdir))) return why = "path climbs out of files/", std::vector<PublishedEntry>{};
  // A deletion needs nothing published: the signed manifest is what allows it.
  if (e.key == 'D') return {e};
  srvsys::FileFacts facts;
  srvsys::OpenFailure failure;
  const srvsys::FileHandle handle = srvsys::OpenBelow(filesDir, *rel, facts, failure);
  if (handle == srvsys::kNoFile) {
    outOfHandles = outOfHandles || failure.outOfHandles;
    return why = "file not published (" + failure.why + ")", std::vector<PublishedEntry>{};
  }
  auto file = std::make_shared<PublishedFile>();
  file->handle = handle;
  file->size = facts.size;
  file->device = facts.device;
  file->index = facts.index;
  file->mtimeTicks = facts.mtimeTicks;
  file->path = filesDir + "/" + *rel;
  if (facts.size > INT32_MAX) return why = "file larger than 2 GiB - 1", std::vector<PublishedEntry>{};
  srvsys::FileFacts sigFacts;
  const srvsys::FileHandle sig = srvsys::OpenBelow(filesDir, *rel + kSignatureSuffix, sigFacts, failure);
  if (sig == srvsys::kNoFile) {
    outOfHandles = outOfHandles || failure.outOfHandles;
    return why = "no signature (" + failure.why + ")", std::vector<PublishedEntry>{};
  }
  const std::string path = e.subdir.empty() ? e.name : e.subdir + "/" + e.name;
  std::string text;
  const std::optional<int64_t> time =
      ReadSignature(sig, sigFacts, "zelvora-update " + section + " " + e.folder + " " + path, text, why);
  srvsys::CloseFile(sig);
  if (!time) return {};
  e.size = facts.size;
  e.time = *time;
  e.file = std::move(file);
  PublishedEntry v = TextEntry('V', e.folder, e.subdir, e.name + kSignatureSuffix, std::move(text), sigFacts);
  return {std::move(e), std::move(v)};
}

// The manifest's text and its signature's entries; false with `error`.
bool ReadManifest(const std::string& sectionDir, const std::string& section, std::string& text,
                  std::vector<PublishedEntry>& entries, std::string& error) {
  const std::string manifest = sectionDir + "/manifest.tsv";
  srvsys::FileFacts facts;
  srvsys::OpenFailure failure;
  const srvsys::FileHandle file = srvsys::OpenRegular(manifest, facts, failure);
  if (file == srvsys::kNoFile) return error = "cannot read " + manifest + " (" + failure.why + ")", false;
  const bool read = ReadWhole(file, facts, kMaxManifestBytes, text);
  srvsys::CloseFile(file);
  if (!read) return error = manifest + " is unreadable or larger than 4 MiB", false;
  srvsys::FileFacts sigFacts;
  const srvsys::FileHandle sig = srvsys::OpenRegular(manifest + kSignatureSuffix, sigFacts, failure);
  if (sig == srvsys::kNoFile) return error = "section not published: no signature of its manifest (" + failure.why + ")", false;
  std::string sigText, why;
  const std::optional<int64_t> time = ReadSignature(sig, sigFacts, "zelvora-manifest " + section, sigText, why);
  srvsys::CloseFile(sig);
  if (!time) return error = "section not published: manifest.tsv.minisig: " + why, false;
  entries.push_back(TextEntry('L', 'M', "", "manifest.tsv", text, facts));
  entries.push_back(TextEntry('V', 'M', "", std::string("manifest.tsv") + kSignatureSuffix, std::move(sigText), sigFacts));
  return true;
}

}  // namespace

PublishedFile::~PublishedFile() { srvsys::CloseFile(handle); }

std::optional<std::string> SignatureTrustedComment(std::string_view minisig) {
  if (minisig.size() > kMaxSignatureBytes) return std::nullopt;
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < minisig.size();) {
    size_t end = minisig.find('\n', start);
    if (end == std::string_view::npos) end = minisig.size();
    std::string_view line = minisig.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  constexpr std::string_view kUntrusted = "untrusted comment: ", kTrusted = "trusted comment: ";
  // Line 2: "ED", the key id (8) and the signature (64); line 4: the global signature (64).
  if (lines.size() != 4 || lines[0].substr(0, kUntrusted.size()) != kUntrusted || !Base64Of(lines[1], 74) ||
      lines[2].substr(0, kTrusted.size()) != kTrusted || !Base64Of(lines[3], 64))
    return std::nullopt;
  return std::string(lines[2].substr(kTrusted.size()));
}

bool LoadManifest(const std::string& sectionDir, ManifestLoad& out, std::string* error) {
  out = ManifestLoad{};
  const std::string section = sectionDir.substr(sectionDir.find_last_of("/\\") + 1);
  std::string text, why;
  if (!ReadManifest(sectionDir, section, text, out.list, why)) {
    if (error) *error = why;
    out.list.clear();
    return false;
  }
  const std::string filesDir = sectionDir + "/files";
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    why.clear();
    if (line.size() > kMaxLine) why = "line too long";
    std::vector<PublishedEntry> entries;
    if (why.empty()) entries = ParseLine(line, section, filesDir, why, out.outOfHandles);
    if (why.empty() && out.list.size() + entries.size() > kMaxEntries) why = "more than 65535 list entries";
    if (!why.empty()) {
      out.rejected.push_back("line " + std::to_string(number) + ": " + why);
      continue;
    }
    for (auto& e : entries) out.list.push_back(std::move(e));
  }
  return true;
}

// ---------------------------------------------------------------- the server

struct UpdateServer::Impl {
  using List = std::vector<PublishedEntry>;

  // A section's list, built when its manifest (or the manifest's signature) changes and again
  // now and then, since a file may be re-published without a manifest change. Rebuilding opens
  // every file, so it is spaced out in proportion to its own cost and never done per request.
  struct Section {
    srvsys::FileFacts manifestId, signatureId;
    std::shared_ptr<const List> list;
    Clock::time_point builtAt{};
    Clock::duration buildTime{};
    bool stale = false;  // a transfer found a file changed: build again at the next request
    std::vector<std::string> rejected;
    std::string error;   // why the section is not published

  };

  enum class Phase { kSection, kList, kIndices, kSending, kClosing };

  struct Client {
    sockio::SocketHandle fd = sockio::kNoSocket;
    std::string address;
    std::string peer;
    Phase phase = Phase::kSection;
    char in[kRequestBlock];
    size_t inFill = 0;
    std::vector<char> out;  // at most one reply block waiting
    size_t outPos = 0;
    std::string section;
    std::shared_ptr<const List> list;
    size_t listed = 0;                 // entries already put into list blocks
    std::vector<uint16_t> wanted;      // requested positions, first request first
    std::vector<bool> seen;
    size_t requestBlocks = 0;
    size_t current = 0;                // index into `wanted` of the file being sent
    int64_t fileOffset = 0;
    int filesSent = 0;
    int64_t bytesSent = 0;
    Clock::time_point started = Clock::now();
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
  std::map<std::string, int> perAddress;
  // Set when a connection waits but no descriptor is left to take it: the listener stays
  // readable, so polling it would spin; it is polled again once a client has left.
  bool acceptPaused = false;
  Clock::time_point pausedSince{};

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

  static bool SameId(bool present, const srvsys::FileFacts& now, const srvsys::FileFacts& then) {
    return present ? now.SameAs(then) : then.device == 0 && then.index == 0 && then.mtimeTicks == 0;
  }

  // The section's list, built again when its manifest or its signature was replaced or changed,
  // when a transfer found a file changed, or when it has not been built for a while.
  std::shared_ptr<const List> FindSection(const std::string& name) {
    const std::string dir = opt.root + "/" + name;
    srvsys::FileFacts manifestId, signatureId;
    if (!srvsys::Inspect(dir + "/manifest.tsv", true, manifestId)) {
      sections.erase(name);
      return nullptr;
    }
    const bool signed_ = srvsys::Inspect(dir + "/manifest.tsv.minisig", true, signatureId);
    if (!signed_) signatureId = {};
    const Clock::time_point now = Clock::now();
    auto it = sections.find(name);
    if (it != sections.end()) {
      const Section& s = it->second;
      const Clock::duration spacing = std::max<Clock::duration>(std::chrono::seconds(2), s.buildTime * 50);
      if (s.manifestId.SameAs(manifestId) && SameId(signed_, signatureId, s.signatureId) && !s.stale &&
          now - s.builtAt < spacing)
        return s.list;
    }
    ManifestLoad load;
    std::string error;
    if (!LoadManifest(dir, load, &error)) {
      // Said once per cause, not at every request.
      if (it == sections.end() || it->second.error != error) Note("section " + name + ": " + error);
      sections[name] = Section{manifestId, signatureId, nullptr, now, Clock::now() - now, false, {}, error};
      return nullptr;
    }
    Section& s = sections[name];
    if (load.rejected != s.rejected || !s.list) {
      for (const auto& why : load.rejected) Note("section " + name + ": refused " + why);
      Note("section " + name + ": listed " + std::to_string(load.list.size()) + " entries");
      // Such lines are tried again at the next build, after the usual spacing: building at
      // every request would cost more than the descriptors it waits for.
      if (load.outOfHandles) Note("section " + name + ": too few descriptors to hold every file open; raise the limit (ulimit -n)");
    }
    s.manifestId = manifestId;
    s.signatureId = signatureId;
    s.list = std::make_shared<const List>(std::move(load.list));
    s.builtAt = now;
    s.buildTime = Clock::now() - now;
    s.stale = false;
    s.rejected = std::move(load.rejected);
    s.error.clear();
    return s.list;
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
      const PublishedEntry& e = list[c.listed];
      const size_t need = 6 + e.subdir.size() + e.name.size() + 8;
      if (payload.size() + need > kReplyPayload) break;
      payload += e.key;
      payload += e.folder;
      AppendLe(payload, static_cast<uint32_t>(e.subdir.size()), 2);
      AppendLe(payload, static_cast<uint32_t>(e.name.size()), 2);
      payload += e.subdir;
      payload += e.name;
      AppendLe(payload, static_cast<uint32_t>(e.size), 4);
      AppendLe(payload, static_cast<uint32_t>(e.time), 4);
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

  static bool Unchanged(const PublishedFile& f) {
    srvsys::FileFacts now;
    return srvsys::Describe(f.handle, now) && now.size == f.size && now.index == f.index && now.device == f.device &&
           now.mtimeTicks == f.mtimeTicks;
  }

  // `size` bytes of the entry at `offset` into `data`; false when a file no longer holds what
  // was listed (written to in place, cut short): its bytes would be neither the old file nor
  // the new one. Checked after reading: any write since the list was built, before or during
  // this read, has moved the modification time (or the size) away from the listed one.
  static bool ReadPiece(const PublishedEntry& e, int64_t offset, char* data, size_t size) {
    if (e.text) {
      std::memcpy(data, e.text->data() + offset, size);
      return true;
    }
    for (size_t got = 0; got < size;) {
      const long long n = srvsys::ReadAt(e.file->handle, offset + static_cast<int64_t>(got), data + got, size - got);
      if (n <= 0) return false;
      got += static_cast<size_t>(n);
    }
    return Unchanged(*e.file);
  }

  // The next piece of the file being sent, or _PAREND: after the last file; a file that
  // changed since it was listed ends the exchange with _PERMSG:, so that the client throws
  // the partial file away instead of installing a mix of two versions.
  void NextPiece(Client& c) {
    if (c.current >= c.wanted.size()) {
      PutBlock(c, "_PAREND:", "");
      c.phase = Phase::kClosing;
      c.end = "done";
      return;
    }
    const uint16_t position = c.wanted[c.current];
    const PublishedEntry& e = (*c.list)[position];
    const size_t want = static_cast<size_t>(std::min<int64_t>(e.size - c.fileOffset, kReplyPayload - kPieceHead));
    // The block of the previous piece is reused as it is: every byte of it is written below
    // (the data, or zeros after a short last piece), which spares clearing 32 KB per piece.
    c.out.resize(kReplyBlock);
    c.outPos = 0;
    char* data = c.out.data() + kBlockHeaderSize + kPieceHead;
    std::memset(data + want, 0, kReplyPayload - kPieceHead - want);
    if (!ReadPiece(e, c.fileOffset, data, want)) {
      auto it = sections.find(c.section);
      if (it != sections.end() && it->second.list == c.list) it->second.stale = true;
      return Refuse(c, kErrFileChanged, "file changed while sent: " + e.file->path);
    }
    c.fileOffset += static_cast<int64_t>(want);
    const bool more = c.fileOffset < e.size;
    std::memcpy(c.out.data(), "_PFSAVE:", kBlockMarkerSize);
    c.out[kBlockMarkerSize] = '\0';
    const auto length = static_cast<uint32_t>(kPieceHead + want);
    for (int i = 0; i < 4; ++i) c.out[9 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    c.out[kBlockHeaderSize] = more ? 1 : 0;
    c.out[kBlockHeaderSize + 1] = static_cast<char>(position & 0xFF);
    c.out[kBlockHeaderSize + 2] = static_cast<char>(position >> 8);
    c.bytesSent += static_cast<int64_t>(want);
    if (!more) {
      c.fileOffset = 0;
      ++c.filesSent;
      ++c.current;
    }
  }

  // Makes the next block when nothing waits.
  void Produce(Client& c) {
    if (c.outPos < c.out.size()) return;
    c.outPos = 0;
    if (c.phase == Phase::kList) NextListBlock(c);
    else if (c.phase == Phase::kSending) NextPiece(c);
    else c.out.clear();
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
      Produce(c);
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
    srvsys::CloseSocket(it->fd);
    Log(*it);
    if (--perAddress[it->address] <= 0) perAddress.erase(it->address);
    clients.erase(it);
    // A descriptor is free again: connections that waited for one can be taken.
    acceptPaused = false;
  }

  void Accept() {
    for (int i = 0; i < 64; ++i) {
      std::string address, peer;
      bool outOfHandles = false;
      const sockio::SocketHandle fd = srvsys::AcceptOne(listenFd, address, peer, outOfHandles);
      if (fd == sockio::kNoSocket) {
        if (outOfHandles && !acceptPaused) {
          acceptPaused = true;
          pausedSince = Clock::now();
          Note("no descriptor left for a new connection: waiting until a client leaves");
        }
        return;
      }
      std::string refusal;
      if (static_cast<int>(clients.size()) >= opt.maxClients)
        refusal = std::to_string(opt.maxClients) + " clients already connected";
      else if (perAddress[address] >= opt.maxPerAddress)
        refusal = std::to_string(opt.maxPerAddress) + " connections from " + address + " already";
      if (!refusal.empty()) {
        if (perAddress[address] == 0) perAddress.erase(address);
        srvsys::CloseSocket(fd);
        Note(peer + " refused: " + refusal);
        continue;
      }
      ++perAddress[address];
      Client& c = clients.emplace_back();
      c.fd = fd;
      c.address = std::move(address);
      c.peer = std::move(peer);
    }
  }

  bool TimedOut(Client& c, Clock::time_point now) {
    if (c.closingSince != Clock::time_point{})
      return now - c.closingSince > std::chrono::seconds(kLingerSeconds);
    // However steadily a client reads, it does not hold its slot past the deadline.
    if (now - c.started > std::chrono::seconds(opt.deadlineSeconds)) {
      c.end = "deadline passed";
      return true;
    }
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
      // Without any client to leave, descriptors may come free elsewhere: try again each second.
      if (acceptPaused && clients.empty() && Clock::now() - pausedSince > std::chrono::seconds(1)) acceptPaused = false;
      fds.push_back({wake.watchable, srvsys::kReadable});
      fds.push_back({listenFd, acceptPaused ? 0u : srvsys::kReadable});
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
  for (auto& c : impl_->clients) srvsys::CloseSocket(c.fd);
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
