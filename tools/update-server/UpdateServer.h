// zelvora-update-server: serves published sections to update clients from one poll() loop.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// One file of a section as the manifest names it and the file system describes it.
struct ManifestEntry {
  char key = 0;        // D, C, U, G, or any other letter (keep)
  char folder = 0;     // M, P, S, T or K
  std::string subdir;  // as published (may be empty)
  std::string name;
  std::string path;    // the served file below files/
  int64_t size = 0;    // 0 for a D entry whose file is not published
  int64_t mtime = 0;
};

struct ManifestLoad {
  std::vector<ManifestEntry> entries;
  std::vector<std::string> rejected;  // one text per refused line: "line N: why"
};

// Reads DIR/SECTION/manifest.tsv: tab-separated key letter, folder letter, subfolder (may be
// empty) and file name; '#' starts a comment line, blank lines are skipped. A line is refused
// (and named in `rejected`) when it is malformed, too long for a list block, names an unknown
// folder letter, climbs out of files/ (absolute, "..", a link leading outside), or names a file
// that is missing, not a regular file or larger than 2 GiB − 1 (a D line may name a missing file).
// false with `error` when the manifest cannot be read or is larger than its limit.
bool LoadManifest(const std::string& sectionDir, ManifestLoad& out, std::string* error);

struct UpdateServerOptions {
  std::string root;                  // the folder holding one folder per section
  std::string address = "127.0.0.1";
  int port = 4654;                   // 0: any free port (read it back with Port())
  int maxClients = 1024;             // further connections are closed at once, with a log line
  int idleSeconds = 30;              // a client that neither sends nor reads for this long is dropped
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
