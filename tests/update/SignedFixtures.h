// Signed update fixtures: a publisher's key made and used in code with libsodium, in the text
// format minisign writes, and a scripted server that serves a signed section block by block.
#pragma once

#include <sodium.h>

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "UpdateBlocks.h"

namespace signedfx {

inline std::string Base64(const std::string& bytes) {
  std::string out(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminator
  return out;
}

// A publisher: an Ed25519 key pair and an 8-byte key id.
struct Publisher {
  std::array<unsigned char, crypto_sign_PUBLICKEYBYTES> pk{};
  std::array<unsigned char, crypto_sign_SECRETKEYBYTES> sk{};
  std::string id;

  Publisher() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
    crypto_sign_keypair(pk.data(), sk.data());
    id.resize(8);
    randombytes_buf(id.data(), id.size());
  }
  // The key line of minisign.pub: base64 of "Ed", the key id and the key.
  std::string PublicKeyLine() const { return Base64("Ed" + id + std::string(pk.begin(), pk.end())); }

  std::string Sign(const std::string& data, const std::string& trusted) const {
    unsigned char hash[64];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(data.data()), data.size(), nullptr, 0);
    unsigned char sig[64];
    crypto_sign_detached(sig, nullptr, hash, sizeof hash, sk.data());
    const std::string sigBytes(reinterpret_cast<char*>(sig), sizeof sig);
    const std::string globalInput = sigBytes + trusted;
    unsigned char global[64];
    crypto_sign_detached(global, nullptr, reinterpret_cast<const unsigned char*>(globalInput.data()),
                         globalInput.size(), sk.data());
    return "untrusted comment: signature from a test key\n" + Base64("ED" + id + sigBytes) +
           "\ntrusted comment: " + trusted + "\n" + Base64(std::string(reinterpret_cast<char*>(global), sizeof global)) +
           "\n";
  }
};

// One published file of a section; `signature` empty: made by the section's publisher for
// exactly this entry, "-": none listed.
struct Item {
  char key;
  char folder;
  std::string sub;
  std::string name;
  std::string data;
  int32_t time = 1700000000;
  std::string signature;
};

inline std::string EntryPath(const Item& i) { return i.sub.empty() ? i.name : i.sub + "/" + i.name; }

inline std::string UpdateComment(const std::string& section, const Item& i) {
  return "zelvora-update " + section + " " + std::string(1, i.folder) + " " + EntryPath(i) + " " + std::to_string(i.time);
}

// A section as a server lists it: the manifest and its signature, then each item followed by
// its signature.
struct Section {
  std::string name;
  std::string manifest;
  std::string manifestSignature;
  std::vector<Item> items;

  // The manifest holds every item; `extraLines` are added to it.
  static Section Make(const Publisher& p, const std::string& name, std::vector<Item> items, const std::string& extraLines = {}) {
    Section s;
    s.name = name;
    s.items = std::move(items);
    s.manifest = "# test section\n" + extraLines;
    for (auto& i : s.items) {
      s.manifest += std::string(1, i.key) + "\t" + std::string(1, i.folder) + "\t" + i.sub + "\t" + i.name + "\n";
      if (i.signature.empty() && i.key != 'D') i.signature = p.Sign(i.data, UpdateComment(name, i));
    }
    s.manifestSignature = p.Sign(s.manifest, "zelvora-manifest " + name + " 1700000000");
    return s;
  }

  // The list entries and the data of each position.
  void Listing(std::vector<blocks::ListEntry>& entries, std::vector<std::string>& data) const {
    entries.push_back({'L', 'M', "", "manifest.tsv", static_cast<int32_t>(manifest.size()), 1700000000});
    data.push_back(manifest);
    entries.push_back({'V', 'M', "", "manifest.tsv.minisig", static_cast<int32_t>(manifestSignature.size()), 1700000000});
    data.push_back(manifestSignature);
    for (const auto& i : items) {
      entries.push_back({i.key, i.folder, i.sub, i.name, static_cast<int32_t>(i.data.size()), i.time});
      data.push_back(i.data);
      if (i.key == 'D' || i.signature == "-") continue;
      entries.push_back({'V', i.folder, i.sub, i.name + ".minisig", static_cast<int32_t>(i.signature.size()), 1700000000});
      data.push_back(i.signature);
    }
  }
};

// One piece of a file as a scripted server sends it: `n` bytes from `at`, and whether more of
// the file follows.
struct SentPiece {
  size_t at;
  size_t n;
  bool more;
};

// `bytes` in order, in pieces of at most `piece` bytes (one empty piece for an empty file).
inline std::vector<SentPiece> InOrder(const std::string& bytes, size_t piece) {
  std::vector<SentPiece> pieces;
  size_t at = 0;
  do {
    const size_t n = std::min(piece, bytes.size() - at);
    pieces.push_back({at, n, at + n < bytes.size()});
    at += n;
  } while (at < bytes.size());
  return pieces;
}

// Serves one exchange of `section` on a connection: the list, then each requested position's
// data as `plan` cuts it (with `pause` after each piece), then the end.
using PiecePlan = std::function<std::vector<SentPiece>(int position, const std::string& bytes)>;
inline void ServePlanned(int fd, const Section& section, const PiecePlan& plan,
                         std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
  std::vector<blocks::ListEntry> entries;
  std::vector<std::string> data;
  section.Listing(entries, data);
  if (loopback::ReadExactly(fd, blocks::kClientBlock, std::chrono::seconds(20)).size() != blocks::kClientBlock) return;
  if (!loopback::SendAll(fd, blocks::List(false, static_cast<int32_t>(entries.size()), entries))) return;
  std::vector<int> wanted;
  for (;;) {
    const std::string block = loopback::ReadExactly(fd, blocks::kClientBlock, std::chrono::seconds(20));
    if (block.size() != blocks::kClientBlock) return;
    const blocks::Request r = blocks::ReadRequest(block);
    wanted.insert(wanted.end(), r.positions.begin(), r.positions.end());
    if (r.flag != 1 || r.positions.size() < 121) break;
  }
  for (int position : wanted) {
    const std::string& bytes = data[static_cast<size_t>(position)];
    for (const SentPiece& p : plan(position, bytes)) {
      if (!loopback::SendAll(fd, blocks::Piece(p.more, static_cast<uint16_t>(position), bytes.substr(p.at, p.n)))) return;
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    }
  }
  loopback::SendAll(fd, blocks::Block("_PAREND:", ""));
  // The client closes when it has what it wants.
  loopback::ReadExactly(fd, 1, std::chrono::seconds(20));
}

// Serves one exchange of `section` on a connection: the list, then each requested file in
// pieces of `piece` bytes (with `pause` between pieces), then the end.
inline void Serve(int fd, const Section& section, size_t piece = 32752,
                  std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
  ServePlanned(fd, section, [piece](int, const std::string& bytes) { return InOrder(bytes, piece); }, pause);
}

}  // namespace signedfx
