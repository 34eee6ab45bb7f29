// Cuts a byte stream that arrives in pieces of any size into whole blocks of one fixed size.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

class BlockAssembler {
 public:
  using Block = std::unique_ptr<char[]>;

  explicit BlockAssembler(size_t blockSize) : m_size(blockSize) { Renew(); }

  // Where the next bytes go: the rest of the current block (empty only when memory failed).
  std::span<char> Space() { return m_block ? std::span<char>(m_block.get() + m_fill, m_size - m_fill) : std::span<char>(); }

  // Counts `n` bytes written into Space(); hands out the block once it is whole and starts
  // the next one. `n` beyond the space is a caller's error and is ignored.
  Block Commit(size_t n) {
    if (!m_block || n > m_size - m_fill) return nullptr;
    m_fill += n;
    if (m_fill < m_size) return nullptr;
    Block whole = std::move(m_block);
    Renew();
    return whole;
  }

  bool Valid() const { return m_block != nullptr; }
  size_t Filled() const { return m_fill; }
  size_t BlockSize() const { return m_size; }

 private:
  void Renew() {
    m_block.reset(new (std::nothrow) char[m_size]);
    m_fill = 0;
  }

  size_t m_size;
  Block m_block;
  size_t m_fill = 0;
};
