// Minisign keys and signatures: the text format read here, the cryptography left to libsodium.
#include "support/Minisign.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "support/WideText.h"

namespace {

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

void Say(std::string* why, const std::string& text) {
  if (why) *why = text;
}

// Exactly `want` bytes of standard base64 (padding as written by minisign), or nothing.
std::optional<std::vector<uint8_t>> DecodeBase64(std::string_view text, size_t want) {
  std::vector<uint8_t> out(want + 3);
  size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(out.data(), out.size(), text.data(), text.size(), nullptr, &length, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return std::nullopt;
  if (end != text.data() + text.size() || length != want) return std::nullopt;
  out.resize(want);
  return out;
}

// Splits `text` into lines, dropping a CR before each LF; a last line without LF counts too.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (lf == std::string_view::npos) break;
    text.remove_prefix(lf + 1);
  }
  return lines;
}

constexpr std::string_view kUntrusted = "untrusted comment:";
constexpr std::string_view kTrusted = "trusted comment: ";

}  // namespace

std::optional<MinisignKey> ParseMinisignKey(std::string_view text, std::string* why) {
  std::vector<std::string_view> lines = Lines(text);
  // A .pub file's comment line is for people; only the key line counts.
  if (!lines.empty() && lines.front().substr(0, kUntrusted.size()) == kUntrusted) lines.erase(lines.begin());
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() != 1) {
    Say(why, "a minisign public key is one base64 line (the second line of minisign.pub)");
    return std::nullopt;
  }
  std::string_view line = lines.front();
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  std::optional<std::vector<uint8_t>> bytes = DecodeBase64(line, 2 + 8 + 32);
  if (!bytes) {
    Say(why, "the key is not the base64 of a minisign public key");
    return std::nullopt;
  }
  if ((*bytes)[0] != 'E' || (*bytes)[1] != 'd') {
    Say(why, "the key is not an Ed25519 minisign key");
    return std::nullopt;
  }
  MinisignKey key;
  std::memcpy(key.id.data(), bytes->data() + 2, key.id.size());
  std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
  return key;
}

std::optional<MinisignSignature> ParseMinisignSignature(std::string_view text, std::string* why) {
  if (text.size() > kMaxMinisignSignatureBytes) {
    Say(why, "the signature file is too large");
    return std::nullopt;
  }
  std::vector<std::string_view> lines = Lines(text);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() != 4 || lines[0].substr(0, kUntrusted.size()) != kUntrusted ||
      lines[2].substr(0, kTrusted.size()) != kTrusted) {
    Say(why, "not a minisign signature (four lines: untrusted comment, signature, trusted comment, global signature)");
    return std::nullopt;
  }
  std::optional<std::vector<uint8_t>> sig = DecodeBase64(lines[1], 2 + 8 + 64);
  std::optional<std::vector<uint8_t>> global = DecodeBase64(lines[3], 64);
  if (!sig || !global) {
    Say(why, "a signature line is not base64 of the right length");
    return std::nullopt;
  }
  if ((*sig)[0] != 'E' || (*sig)[1] != 'D') {
    Say(why, "the signature is not of the prehashed kind (minisign -S signs that way by default)");
    return std::nullopt;
  }
  MinisignSignature s;
  std::memcpy(s.id.data(), sig->data() + 2, s.id.size());
  std::memcpy(s.signature.data(), sig->data() + 10, s.signature.size());
  s.trustedComment = std::string(lines[2].substr(kTrusted.size()));
  if (s.trustedComment.size() > kMaxTrustedCommentBytes || s.trustedComment.find('\0') != std::string::npos) {
    Say(why, "the trusted comment is too long or holds a NUL");
    return std::nullopt;
  }
  std::memcpy(s.globalSignature.data(), global->data(), s.globalSignature.size());
  return s;
}

struct MinisignHasher::State {
  crypto_generichash_state blake;  // over-aligned: `new` honours that
};

MinisignHasher::MinisignHasher() : m_state(std::make_unique<State>()) { Reset(); }
MinisignHasher::~MinisignHasher() = default;

void MinisignHasher::Reset() {
  SodiumReady();
  crypto_generichash_init(&m_state->blake, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void MinisignHasher::Update(std::span<const char> piece) {
  crypto_generichash_update(&m_state->blake, reinterpret_cast<const unsigned char*>(piece.data()), piece.size());
}

std::array<uint8_t, 64> MinisignHasher::Final() {
  static_assert(crypto_generichash_BYTES_MAX == 64);
  std::array<uint8_t, 64> hash{};
  crypto_generichash_final(&m_state->blake, hash.data(), hash.size());
  Reset();
  return hash;
}

bool MinisignFileHash(const std::string& path, std::array<uint8_t, 64>& hash) {
  if (!SodiumReady()) return false;
#ifdef _WIN32
  // Paths are UTF-8 in the program; the C runtime's narrow open would read them in the ANSI page.
  if (!StrictWideFromUtf8(path)) return false;
  FILE* f = ::_wfopen(WidePath(path).c_str(), L"rb");
#else
  FILE* f = std::fopen(path.c_str(), "rb");
#endif
  if (!f) return false;
  MinisignHasher hasher;
  std::vector<char> buffer(1 << 16);
  size_t n = 0;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), f)) > 0) hasher.Update({buffer.data(), n});
  const bool ok = !std::ferror(f);
  std::fclose(f);
  hash = hasher.Final();
  return ok;
}

std::array<uint8_t, 64> MinisignDataHash(std::span<const char> data) {
  std::array<uint8_t, 64> hash{};
  if (!SodiumReady()) return hash;
  crypto_generichash(hash.data(), hash.size(), reinterpret_cast<const unsigned char*>(data.data()), data.size(), nullptr,
                     0);
  return hash;
}

bool MinisignVerify(const MinisignKey& key, const MinisignSignature& s, const std::array<uint8_t, 64>& hash,
                    std::string* why) {
  if (!SodiumReady()) {
    Say(why, "the cryptography library cannot start");
    return false;
  }
  if (key.id != s.id) {
    Say(why, "signed by another key (id " + MinisignKeyIdText(s.id) + ", the update key is " + MinisignKeyIdText(key.id) + ")");
    return false;
  }
  if (crypto_sign_verify_detached(s.signature.data(), hash.data(), hash.size(), key.key.data()) != 0) {
    Say(why, "the signature does not match the file");
    return false;
  }
  std::vector<unsigned char> global(s.signature.begin(), s.signature.end());
  global.insert(global.end(), s.trustedComment.begin(), s.trustedComment.end());
  if (crypto_sign_verify_detached(s.globalSignature.data(), global.data(), global.size(), key.key.data()) != 0) {
    Say(why, "the trusted comment is not signed by the update key");
    return false;
  }
  return true;
}

std::string MinisignKeyIdText(const std::array<uint8_t, kMinisignKeyIdBytes>& id) {
  char text[17] = {};
  for (size_t i = 0; i < id.size(); ++i) std::snprintf(text + 2 * i, 3, "%02X", id[id.size() - 1 - i]);
  // minisign prints the id as one number, without leading zeros: so must we, for the user to
  // find it in the .pub file's comment.
  const std::string digits(text);
  const size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}
