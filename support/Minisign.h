// Minisign public keys and detached signatures (Ed25519 over a BLAKE2b-512 prehash), read and
// verified with libsodium.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

inline constexpr size_t kMinisignKeyIdBytes = 8;
// A signature file is four short lines; anything much larger is not one.
inline constexpr size_t kMaxMinisignSignatureBytes = 4096;
inline constexpr size_t kMaxTrustedCommentBytes = 1024;

struct MinisignKey {
  std::array<uint8_t, kMinisignKeyIdBytes> id{};
  std::array<uint8_t, 32> key{};
};

struct MinisignSignature {
  std::array<uint8_t, kMinisignKeyIdBytes> id{};
  std::array<uint8_t, 64> signature{};        // over BLAKE2b-512 of the file
  std::string trustedComment;                 // the text after "trusted comment: "
  std::array<uint8_t, 64> globalSignature{};  // over signature || trustedComment
};

// A public key: its base64 line ("Ed" + key id + key), or the whole text of a minisign.pub
// file (an "untrusted comment:" line and the key line). Nothing, with `why`, otherwise.
std::optional<MinisignKey> ParseMinisignKey(std::string_view text, std::string* why = nullptr);

// The four lines of a signature file in the prehashed form ("ED"). The legacy form that signs
// the whole file, and anything else, is refused with `why`.
std::optional<MinisignSignature> ParseMinisignSignature(std::string_view text, std::string* why = nullptr);

// BLAKE2b-512 of data that arrives in pieces, so that a file is hashed as it is received and
// its signature check needs no second pass over it.
class MinisignHasher {
 public:
  MinisignHasher();
  ~MinisignHasher();
  MinisignHasher(const MinisignHasher&) = delete;
  MinisignHasher& operator=(const MinisignHasher&) = delete;
  // Starts again, as for new data.
  void Reset();
  void Update(std::span<const char> piece);
  // The hash of everything since the last Reset; the hasher then starts again.
  std::array<uint8_t, 64> Final();

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

// BLAKE2b-512 of a file read in pieces; false when it cannot be read.
bool MinisignFileHash(const std::string& path, std::array<uint8_t, 64>& hash);
std::array<uint8_t, 64> MinisignDataHash(std::span<const char> data);

// Whether `signature` was made with `key` over the data whose prehash is `hash`, and its
// trusted comment with it. `why` says what failed.
bool MinisignVerify(const MinisignKey& key, const MinisignSignature& signature, const std::array<uint8_t, 64>& hash,
                    std::string* why = nullptr);

// The key id as minisign prints it: the bytes in reverse order as one upper-case hex number,
// without leading zeros.
std::string MinisignKeyIdText(const std::array<uint8_t, kMinisignKeyIdBytes>& id);
