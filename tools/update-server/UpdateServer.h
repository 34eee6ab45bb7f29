// zelvora-update-server: serves published sections to update clients from one poll() loop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <string>
#include <vector>

// A published file, opened when the list was built and served from that descriptor only, so
// that a client gets the bytes that were listed (or a refusal), never a file swapped in later.
struct PublishedFile {
  std::intptr_t handle = -1;  // a srvsys::FileHandle
  int64_t size = 0;
  uint64_t device = 0, index = 0;
  int64_t mtimeTicks = 0;
  std::string path;           // for the log
  PublishedFile() = default;
  PublishedFile(const PublishedFile&) = delete;
  PublishedFile& operator=(const PublishedFile&) = delete;
  ~PublishedFile();
};

// One entry of a section's list as it travels, and where its bytes come from.
struct PublishedEntry {
  char key = 0;        // D, C, U, G, any other letter (keep); L the manifest, V a signature
  char folder = 0;     // M, P, S, T or K
  std::string subdir;  // as published (may be empty)
  std::string name;
  int64_t size = 0;    // 0 for a D entry
  int64_t time = 0;    // a file's signed version; the own time of the manifest and signatures
  std::shared_ptr<const std::string> text;     // the manifest or a signature, read when listed
  std::shared_ptr<const PublishedFile> file;   // a published file
};

struct ManifestLoad {
  // The manifest (L) and its signature (V), then each published file followed by its signature
  // (V); a D line stands alone.
  std::vector<PublishedEntry> list;
  std::vector<std::string> rejected;  // one text per refused line: "line N: why"
  bool outOfHandles = false;          // a line was refused only because descriptors ran out
};

// The trusted comment of a minisign signature file ("untrusted comment: …", the signature,
// "trusted comment: TEXT", the global signature); nothing when the text is not laid out so.
// Nothing here is verified: the server holds no key, every client verifies.
std::optional<std::string> SignatureTrustedComment(std::string_view minisig);

// Reads DIR/SECTION/manifest.tsv: tab-separated key letter, folder letter, subfolder (may be
// empty) and file name; '#' starts a comment line, blank lines are skipped. The manifest must
// be signed (manifest.tsv.minisig, trusted comment "zelvora-manifest SECTION TIME") and so
// must every file but a D line's (FILE.minisig beside it, trusted comment "zelvora-update
// SECTION FOLDER PATH TIME", PATH being SUBFOLDER/NAME or NAME). A line is refused (and named
// in `rejected`) when it is malformed, too long for a list block, names an unknown folder
// letter or the reserved key L or V, holds a space, climbs out of files/ (absolute, "..", a
// link at any level), names a file that is missing, not a regular file or larger than
// 2 GiB − 1 (a D line may name a missing file), or lacks a signature that names it.
// false with `error` when the manifest or its signature cannot be read or is not valid.
bool LoadManifest(const std::string& sectionDir, ManifestLoad& out, std::string* error);

struct UpdateServerOptions {
  std::string root;                  // the folder holding one folder per section
  std::string address = "127.0.0.1";
  int port = 4654;                   // 0: any free port (read it back with Port())
  int maxClients = 1024;             // further connections are closed at once, with a log line
  int maxPerAddress = 64;            // connections from one address at once; further ones are closed
  int idleSeconds = 30;              // a client that neither sends nor reads for this long is dropped
  int deadlineSeconds = 900;         // no exchange lasts longer, however slowly its client reads
  FILE* log = stderr;                // one line per exchange
};

// Why one thread with poll(): an exchange is a short chain of small steps (read a 256-byte
// request, write a 32 KB block), so the state of a client is a few counters and one block. A
// single loop bounds memory by clients × one block, needs no locks, and keeps up with the
// network on loopback; a thread per client would spend a stack per client on waiting.
class UpdateServer {
 public:
  explicit UpdateServer(UpdateServerOptions options);
  ~UpdateServer();
  UpdateServer(const UpdateServer&) = delete;
  UpdateServer& operator=(const UpdateServer&) = delete;

  // Binds and listens; false with `error` when the address is unusable or taken.
  bool Listen(std::string* error);
  // The port actually bound (after Listen).
  int Port() const;
  // Serves until Stop(); every open exchange is then closed. 0, or 1 when polling failed.
  int Run();
  // Ends Run() from any thread or from a signal handler.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};
