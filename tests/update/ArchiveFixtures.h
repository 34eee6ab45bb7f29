// Archives for the extraction tests, made at test time by Python's zipfile and by gcab.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <thread>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "update/ArchiveSafety.h"

namespace fixtures {

// Bytes of a pattern member: byte i is (i * 7 + seed) % 251, so both sides can make it.
inline std::string Pattern(size_t size, int seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) % 251);
  return s;
}

// Writes a ZIP archive with Python's zipfile. Argument 1 is the output path, argument 2 a JSON
// list of members: {"name", "text" | "pattern": [size, seed], "method": 0|8|12,
// "date": [y, m, d, h, mi, s], "system": 0|3, "attr": external attributes}; argument 3 a JSON
// list of patches {"member", "field": "crc"|"usize"|"csize"|"flags", "value"}, applied to both
// the local and the central header after writing (to forge what zipfile will not write).
inline const char* kMakeZip = R"PY(
import json, struct, sys, zipfile
out, members, patches = sys.argv[1], json.loads(sys.argv[2]), json.loads(sys.argv[3])
def pattern(size, seed):
    period = bytes((i * 7 + seed) % 251 for i in range(251))  # (i + 251) * 7 = i * 7 (mod 251)
    return (period * (size // 251 + 1))[:size]
with zipfile.ZipFile(out, "w") as z:
    for m in members:
        info = zipfile.ZipInfo(m["name"], tuple(m.get("date", [2014, 3, 9, 7, 5, 30])))
        info.compress_type = m.get("method", 8)
        info.create_system = m.get("system", 3)
        info.external_attr = m.get("attr", 0o644 << 16)
        data = m["text"].encode() if "text" in m else pattern(*m["pattern"]) if "pattern" in m else b""
        z.writestr(info, data)
raw = bytearray(open(out, "rb").read())
with zipfile.ZipFile(out) as z:
    infos, central = z.infolist(), z.start_dir
offsets = []
for _ in infos:
    assert raw[central:central + 4] == b"PK\x01\x02"
    offsets.append(central)
    n, e, c = struct.unpack_from("<HHH", raw, central + 28)
    central += 46 + n + e + c
fields = {"flags": (6, 8, "<H"), "crc": (14, 16, "<I"), "csize": (18, 20, "<I"), "usize": (22, 24, "<I")}
for p in patches:
    local_at, central_at, fmt = fields[p["field"]]
    struct.pack_into(fmt, raw, infos[p["member"]].header_offset + local_at, p["value"])
    struct.pack_into(fmt, raw, offsets[p["member"]] + central_at, p["value"])
open(out, "wb").write(raw)
)PY";

inline void MakeZip(const std::string& out, const std::string& members, const std::string& patches = "[]") {
  std::string output;
  ASSERT_EQ(testsupport::RunFixtureTool({"python3", "-c", kMakeZip, out, members, patches}, &output), 0) << output;
}

// Replaces every occurrence of `from` by `to` (of the same length) in the file at `path`.
inline void PatchBytes(const std::string& path, const std::string& from, const std::string& to) {
  ASSERT_EQ(from.size(), to.size());
  std::string bytes = testsupport::ReadFile(path);
  size_t at = bytes.find(from);
  ASSERT_NE(at, std::string::npos) << "nothing to patch";
  for (; at != std::string::npos; at = bytes.find(from, at + to.size())) bytes.replace(at, from.size(), to);
  testsupport::WriteFile(path, bytes);
}

// Every name in `folder` and below it, '/'-separated and sorted, folders ending in '/'.
inline std::vector<std::string> Listing(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (auto it = std::filesystem::recursive_directory_iterator(folder); it != std::filesystem::recursive_directory_iterator(); ++it) {
    std::string name = std::filesystem::relative(it->path(), folder).generic_string();
    if (it->is_directory() && !it->is_symlink()) name += "/";
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A ZIP archive of one deflated member `name` of `size` bytes (below 4 GB): zeros with an
// 8-byte counter every 16 KB, so that it packs several hundred times over yet stays within the
// extraction's ratio limit. Deflated in pieces with zlib: small on disk and in memory.
inline void MakeLargeMemberZip(const std::string& out, const std::string& name, uint64_t size) {
  z_stream zs{};
  ASSERT_EQ(deflateInit2(&zs, 6, Z_DEFLATED, -15, 9, Z_RLE), Z_OK);
  std::string packed, chunk(16384, '\0'), buffer(1 << 16, '\0');
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t done = 0, counter = 0;; ++counter) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - done));
    for (size_t i = 0; i < 8 && i < n; ++i) chunk[i] = static_cast<char>((counter >> (8 * i)) & 0xFF);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(n));
    done += n;
    zs.next_in = reinterpret_cast<Bytef*>(chunk.data());
    zs.avail_in = static_cast<uInt>(n);
    const int flush = done == size ? Z_FINISH : Z_NO_FLUSH;
    do {
      zs.next_out = reinterpret_cast<Bytef*>(buffer.data());
      zs.avail_out = static_cast<uInt>(buffer.size());
      deflate(&zs, flush);
      packed.append(buffer.data(), buffer.size() - zs.avail_out);
    } while (zs.avail_out == 0);
    if (flush == Z_FINISH) break;
  }
  deflateEnd(&zs);
  auto u16 = [](std::string& s, unsigned v) { s += static_cast<char>(v & 0xFF), s += static_cast<char>((v >> 8) & 0xFF); };
  auto u32 = [&](std::string& s, uint32_t v) { u16(s, v & 0xFFFF), u16(s, v >> 16); };
  const auto csize = static_cast<uint32_t>(packed.size()), usize = static_cast<uint32_t>(size);
  std::string local, central, end;
  u32(local, 0x04034b50), u16(local, 20), u16(local, 0), u16(local, 8), u16(local, 0), u16(local, 0x4821);
  u32(local, static_cast<uint32_t>(crc)), u32(local, csize), u32(local, usize), u16(local, static_cast<unsigned>(name.size()));
  u16(local, 0), local += name;
  u32(central, 0x02014b50), u16(central, 0x0314), u16(central, 20), u16(central, 0), u16(central, 8), u16(central, 0);
  u16(central, 0x4821), u32(central, static_cast<uint32_t>(crc)), u32(central, csize), u32(central, usize);
  u16(central, static_cast<unsigned>(name.size())), u16(central, 0), u16(central, 0), u16(central, 0), u16(central, 0);
  u32(central, 0100644u << 16), u32(central, 0), central += name;
  const auto directoryAt = static_cast<uint32_t>(local.size() + packed.size());
  u32(end, 0x06054b50), u16(end, 0), u16(end, 0), u16(end, 1), u16(end, 1);
  u32(end, static_cast<uint32_t>(central.size())), u32(end, directoryAt), u16(end, 0);
  std::ofstream(out, std::ios::binary) << local << packed << central << end;
  // The fixture's own promise: within the limits an extraction applies.
  ASSERT_LT(size / packed.size(), kMaxArchiveRatio) << "the fixture packs too well";
}

// A file of `size` bytes that holds no data (a hole), for tools that pack it into an archive.
inline void MakeSparseFile(const std::string& path, uint64_t size) {
  std::ofstream(path, std::ios::binary).close();
  std::filesystem::resize_file(path, size);
}

// Watches `folder` from a thread of its own and sets `stop` as soon as some file below it
// holds `bytes` or more: a stop that lands in the middle of writing a large member.
class StopWhenWriting {
 public:
  StopWhenWriting(std::string folder, uintmax_t bytes, std::atomic<bool>& stop)
      : m_thread([this, folder = std::move(folder), bytes, &stop] {
          const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
          while (!m_quit && std::chrono::steady_clock::now() < deadline) {
            if (Holds(folder, bytes)) {
              m_at = std::chrono::steady_clock::now();
              m_fired = true;
              stop = true;
              return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~StopWhenWriting() { Join(); }
  // Ends the watch (when it has not fired yet) and waits for its thread.
  void Join() {
    m_quit = true;
    if (m_thread.joinable()) m_thread.join();
  }
  bool Fired() const { return m_fired; }
  std::chrono::steady_clock::time_point At() const { return m_at; }

 private:
  // Files come and go under the walk (temporary names renamed or removed): errors mean "not yet".
  static bool Holds(const std::string& folder, uintmax_t bytes) {
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
      std::error_code e;
      if (it->is_regular_file(e) && it->file_size(e) >= bytes && !e) return true;
    }
    return false;
  }

  std::atomic<bool> m_quit{false};
  std::atomic<bool> m_fired{false};
  std::chrono::steady_clock::time_point m_at{};
  std::thread m_thread;
};

}  // namespace fixtures
