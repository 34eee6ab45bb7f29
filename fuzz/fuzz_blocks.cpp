// The block receiver: a stream arriving in pieces of any size is cut into whole blocks, and
// each block's header is read as the owner reads it.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "update/BlockAssembler.h"
#include "update/VekSocket.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Bytes 0-1: the block size (0 stands for the update client's 32768); byte 2 seeds the
  // sizes of the pieces the stream arrives in; the rest is the stream.
  size_t blockSize = static_cast<size_t>(data[0] | data[1] << 8);
  if (blockSize == 0) blockSize = 32768;
  uint32_t seed = data[2] * 2654435761u + 1;
  const uint8_t* stream = data + 3;
  const size_t length = size - 3;

  BlockAssembler assembler(blockSize);
  size_t at = 0, blocks = 0;
  while (at < length) {
    seed = seed * 1103515245u + 12345u;
    std::span<char> space = assembler.Space();
    if (space.empty()) std::abort();
    size_t piece = std::min<size_t>({space.size(), length - at, 1 + (seed >> 16) % 4096});
    std::memcpy(space.data(), stream + at, piece);
    BlockAssembler::Block whole = assembler.Commit(piece);
    at += piece;
    if (!whole) continue;
    // A whole block is exactly the next block size of the stream.
    if (std::memcmp(whole.get(), stream + blocks * blockSize, blockSize) != 0) std::abort();
    ++blocks;
    const std::span<const char> block(whole.get(), blockSize);
    BlockMarker(block);
    BlockMarkerIs(block, "_PFSAVE:");
    if (auto payload = BlockPayload(block)) {
      volatile char sink = 0;
      for (char c : *payload) sink = static_cast<char>(sink ^ c);
    }
  }
  if (blocks != length / blockSize || assembler.Filled() != length % blockSize) std::abort();
  return 0;
}
