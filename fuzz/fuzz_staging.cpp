// The update client's staging and install step fed arbitrary lists, manifests and files, all
// correctly signed by a key of this process (or not, as the input says), against destination
// folders holding files, folders, links and FIFOs of the input's choosing. Whatever happens, a
// failed or checking exchange leaves every folder as it was, a successful one leaves no file of
// its own behind, and nothing outside the letter folders changes.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "tests/update/SignedFixtures.h"
#include "update/Skylift.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kBlock = 32768;
constexpr int kRequest = 256;
constexpr const char* kSection = "sec";

// The publisher's key of this process, made once.
const signedfx::Publisher& TheKey() {
  static const signedfx::Publisher p;
  return p;
}

// Reads the input field by field; past its end every field is empty or zero.
struct Reader {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool done() const { return at >= size; }
  unsigned u8() { return at < size ? data[at++] : 0; }
  unsigned u16() { return u8() | (u8() << 8); }
  uint32_t u32() { return u16() | (static_cast<uint32_t>(u16()) << 16); }
  std::string text(size_t n) {
    n = std::min(n, size - std::min(at, size));
    std::string s(reinterpret_cast<const char*>(data) + at, n);
    at += n;
    return s;
  }
};

struct Entry {
  char key, folder;
  std::string sub, name, data;
  int32_t time;
  unsigned flags;
};

// A server block: marker, terminator, payload length, payload, zeros to the block size.
std::string Block(const char* marker, const std::string& payload) {
  std::string b(kBlock, '\0');
  std::memcpy(b.data(), marker, 8);
  const uint32_t n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) b[9 + i] = static_cast<char>(n >> (8 * i));
  std::memcpy(b.data() + 13, payload.data(), std::min(payload.size(), kBlock - 13));
  return b;
}

void Put(std::string& s, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}

// Everything below `root` without following links: kind, bits, and a file's bytes and time (a
// folder's time moves with every name made and removed in it, which is no change of its own).
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> all;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st{};
    if (::lstat(it->path().c_str(), &st) != 0) continue;
    std::string what = std::to_string(st.st_mode) + ":";
    if (S_ISLNK(st.st_mode)) what += fs::read_symlink(it->path(), ec).string();
    else if (S_ISREG(st.st_mode)) {
      what += std::to_string(st.st_mtim.tv_sec) + ":";
      FILE* f = std::fopen(it->path().c_str(), "rb");
      char buffer[4096];
      for (size_t n; f && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) what.append(buffer, n);
      if (f) std::fclose(f);
    }
    all[it->path().lexically_relative(root).string()] = what;
  }
  return all;
}

// Plain relative names only: what the input may place in the destination before the exchange.
bool PlainPath(const std::string& p) {
  if (p.empty() || p.front() == '/' || p.back() == '/' || p.find("..") != std::string::npos) return false;
  for (char c : p)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-' || c == '/')) return false;
  return true;
}

}  // namespace

// Input: byte 0: bit 0 check mode, bit 1 the manifest is the input's text alone (else the
// entries' lines and then that text). Then the manifest text (2-byte length), then entries:
// key, folder letter, subfolder (1-byte length), name (1-byte length), data (2-byte length),
// time (4 bytes), flags (bit 0 no signature, bit 1 a signature for other bytes, bits 2-4 what
// stands at the target before: nothing, a file, a folder with a file, a link out of the
// destination, a FIFO).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Reader in{data, size};
  const unsigned mode = in.u8();
  const std::string extra = in.text(in.u16());
  std::vector<Entry> entries;
  while (!in.done() && entries.size() < 64) {
    Entry e;
    e.key = static_cast<char>(in.u8());
    e.folder = static_cast<char>(in.u8());
    e.sub = in.text(in.u8());
    e.name = in.text(in.u8());
    e.data = in.text(in.u16());
    e.time = static_cast<int32_t>(in.u32());
    e.flags = in.u8();
    entries.push_back(std::move(e));
  }

  const std::string base = fuzzsupport::ScratchFolder() + "/staging";
  std::error_code ec;
  fs::remove_all(base, ec);
  fs::create_directories(base + "/outside");
  fs::create_directories(base + "/cache");
  {
    FILE* f = std::fopen((base + "/outside/keep").c_str(), "wb");
    if (f) std::fclose(f);
  }
  SkyFolders folders;
  for (char letter : SkyFolders::kLetters) folders.Set(letter, base + "/" + letter);
  fs::create_directories(base + "/M");
  for (const Entry& e : entries) {
    const unsigned what = (e.flags >> 2) % 5;
    if (what == 0 || SkyFolders::Slot(e.folder) < 0) continue;
    const std::string rel = e.sub.empty() ? e.name : e.sub + "/" + e.name;
    if (!PlainPath(rel)) continue;
    const std::string path = base + "/" + e.folder + "/" + rel;
    fs::create_directories(fs::path(path).parent_path(), ec);
    if (what == 1) {
      if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fputs("installed", f);
        std::fclose(f);
      }
    } else if (what == 2) {
      fs::create_directories(path + "/inside", ec);
    } else if (what == 3) {
      fs::create_symlink(base + "/outside", path, ec);
    } else {
      ::mkfifo(path.c_str(), 0600);
    }
  }

  // The list: the manifest and its signature, then each entry and its signature.
  const signedfx::Publisher& key = TheKey();
  std::string manifest = (mode & 2) ? std::string() : std::string("# fuzz\n");
  if (!(mode & 2))
    for (const Entry& e : entries) manifest += std::string(1, e.key) + "\t" + e.folder + "\t" + e.sub + "\t" + e.name + "\n";
  manifest += extra;
  std::vector<blocks::ListEntry> listed;
  std::vector<std::string> payload;  // data of each position
  auto add = [&](char k, char folder, const std::string& sub, const std::string& name, const std::string& bytes, int32_t time) {
    listed.push_back({k, folder, sub, name, static_cast<int32_t>(bytes.size()), time});
    payload.push_back(bytes);
  };
  add('L', 'M', "", "manifest.tsv", manifest, 1700000000);
  add('V', 'M', "", "manifest.tsv.minisig", key.Sign(manifest, std::string("zelvora-manifest ") + kSection + " 1700000000"),
      1700000000);
  for (const Entry& e : entries) {
    add(e.key, e.folder, e.sub, e.name, e.data, e.time);
    if (e.flags & 1) continue;
    signedfx::Item item{e.key, e.folder, e.sub, e.name, e.data, e.time};
    add('V', e.folder, e.sub, e.name + ".minisig", key.Sign((e.flags & 2) ? e.data + "x" : e.data, signedfx::UpdateComment(kSection, item)),
        1700000000);
  }

  const auto before = Snapshot(base);
  std::atomic<int> state{kSkyStateRunning};
  std::vector<int> wanted;
  SkyliftExchange::Hooks hooks{.push = [&](const char* block, int) {
                                 // A request block of kRequest bytes: "_GFNDEX:", its length, a
                                 // continuation byte, 2-byte positions.
                                 const int length = kRequest;
                                 if (std::memcmp(block, "_GFNDEX:", 8) != 0) return 0;
                                 int32_t n = 0;
                                 std::memcpy(&n, block + 9, 4);
                                 for (int32_t i = 1; i + 1 < n && 14 + i < length; i += 2)
                                   wanted.push_back(static_cast<unsigned char>(block[13 + i]) |
                                                    (static_cast<unsigned char>(block[14 + i]) << 8));
                                 return 0;
                               },
                               .notify = {}};
  SkyTrust trust{.section = kSection, .key = ParseMinisignKey(key.PublicKeyLine()), .stagingParent = base + "/cache"};
  {
    SkyliftExchange exchange(folders, (mode & 1) != 0, kRequest, static_cast<int>(kBlock), "", std::move(hooks), state,
                             std::move(trust));
    auto feed = [&](const std::string& block) { return exchange.OnBlock(std::span<const char>(block.data(), block.size())); };
    bool going = true;
    for (size_t i = 0; going && i < listed.size();) {
      // As many entries as one block holds (9 bytes of head, 14 and the names for each).
      std::vector<blocks::ListEntry> part;
      for (size_t bytes = 9; i < listed.size() && bytes + 14 + listed[i].sub.size() + listed[i].file.size() <= kBlock - 13; ++i) {
        bytes += 14 + listed[i].sub.size() + listed[i].file.size();
        part.push_back(listed[i]);
      }
      if (part.empty()) break;  // one entry larger than a block: the list cannot be sent
      std::string p(1, i < listed.size() ? 1 : 0);
      Put(p, static_cast<uint32_t>(listed.size()), 4);
      Put(p, static_cast<uint32_t>(part.size()), 4);
      for (const auto& e : part) {
        p += std::string{e.key, e.folder};
        Put(p, static_cast<uint32_t>(e.sub.size()), 2);
        Put(p, static_cast<uint32_t>(e.file.size()), 2);
        p += e.sub + e.file;
        Put(p, static_cast<uint32_t>(e.size), 4);
        Put(p, static_cast<uint32_t>(e.time), 4);
      }
      going = feed(Block("_PFLIST:", p));
    }
    for (size_t w = 0; going && w < wanted.size(); ++w) {
      const int position = wanted[w];
      if (position < 0 || static_cast<size_t>(position) >= payload.size()) continue;
      const std::string& bytes = payload[static_cast<size_t>(position)];
      size_t at = 0;
      do {
        const size_t n = std::min(bytes.size() - at, kBlock - 13 - 3);
        std::string p(1, at + n < bytes.size() ? 1 : 0);
        Put(p, static_cast<uint32_t>(position), 2);
        going = feed(Block("_PFSAVE:", p + bytes.substr(at, n)));
        at += n;
      } while (going && at < bytes.size());
    }
    if (going) feed(Block("_PAREND:", ""));
  }
  const auto after = Snapshot(base);
  // ZELVORA_FUZZ_TRACE=1 tells, for a replayed input, how its exchange ended.
  static const bool trace = std::getenv("ZELVORA_FUZZ_TRACE") != nullptr;
  if (trace) std::fprintf(stderr, "entries %zu, state %d, %zu paths before, %zu after\n", entries.size(), state.load(), before.size(), after.size());
  // Nothing is left in the staging parent, and nothing outside the letter folders changes.
  for (const auto& [path, what] : after)
    if ((path.rfind("cache/", 0) == 0 || path.rfind("outside/", 0) == 0) && before.count(path) == 0) std::abort();
  if (state.load() != kSkyStateDone || (mode & 1)) {
    // A check, or an install that did not happen: every folder as it was.
    if (after != before) std::abort();
  } else {
    for (const auto& [path, what] : after) {
      const std::string name = fs::path(path).filename().string();
      if (name.rfind(".zvtmp-", 0) == 0 || name.rfind(".zvold-", 0) == 0) std::abort();
    }
  }
  return 0;
}
