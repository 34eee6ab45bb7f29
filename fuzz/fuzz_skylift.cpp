// The update client's exchange fed arbitrary server blocks: lists, pieces, verdicts, garbage.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <vector>

#include "FuzzSupport.h"
#include "update/Skylift.h"

namespace {

constexpr size_t kBlock = 32768;
const char* const kMarkers[] = {"_PFLIST:", "_PFSAVE:", "_PAREND:", "_PERMSG:", "_GSECTN:", "_GFNDEX:", "_XXXXXX:", "_pflist:"};

}  // namespace

// Input: byte 0 bit 0 picks check mode. Then records of: marker selector (1 byte), payload
// length as stored (4 bytes, little-endian), payload size (2 bytes, capped by the block),
// payload bytes. Each record becomes one 32768-byte server block.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string base = fuzzsupport::ScratchFolder() + "/sky";
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  SkyFolders folders;
  for (char letter : SkyFolders::kLetters) folders.Set(letter, base + "/" + letter);
  std::atomic<int> state{kSkyStateRunning};
  int pushed = 0;
  SkyliftExchange::Hooks hooks{.push = [&](const char*, int) { return pushed++ < 1000 ? 0 : -1; }, .notify = {}};
  SkyliftExchange exchange(folders, (data[0] & 1) != 0, 256, static_cast<int>(kBlock), "", std::move(hooks), state);
  std::vector<char> block(kBlock);
  size_t at = 1;
  while (size - at >= 7) {
    std::fill(block.begin(), block.end(), '\0');
    std::memcpy(block.data(), kMarkers[data[at] % 8], 8);
    std::memcpy(block.data() + 9, data + at + 1, 4);
    size_t n = static_cast<size_t>(data[at + 5] | (data[at + 6] << 8));
    at += 7;
    n = std::min({n, size - at, kBlock - 13});
    std::memcpy(block.data() + 13, data + at, n);
    at += n;
    if (!exchange.OnBlock(block)) break;
  }
  return 0;
}
