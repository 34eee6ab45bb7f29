// Archives for the extraction tests, made at test time by Python's zipfile and by gcab.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

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

}  // namespace fixtures
