// CSkylift: keeps one section of program files in step with the update server.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/Minisign.h"
#include "update/VekSocket.h"

// m_iUpdateState values.
inline constexpr int kSkyStateIdle = 0;
inline constexpr int kSkyStateRunning = 1;   // exchange under way, no verdict yet
inline constexpr int kSkyStateUpdate = 2;    // check: an update is due; download: files arriving
inline constexpr int kSkyStateDone = 3;      // the server ended the exchange normally
inline constexpr int kSkyStateRefused = -1;  // the server sent an error message

// Notifications: (message, wParam, lParam).
inline constexpr int kSkyMsgError = 0x0610;
inline constexpr int kSkyMsgProgress = 0x0611;
inline constexpr int kSkyErrorId = 0x8025;
inline constexpr int kSkyFileId = 0x801F;     // lParam 11: a file's first piece; 0: the exchange ended
inline constexpr int kSkyPercentId = 0x8026;
inline constexpr int kSkyTempCreateFailed = 0xF05F;
inline constexpr int kSkyTempWriteFailed = 0xF05E;
inline constexpr int kSkyInstallFailed = 0xF05D;

using SkyObserver = std::function<void(int message, int wParam, int lParam)>;

// The five local folders, addressed by letter: M the section's main folder, P program files,
// S system, T temporary (also where packages are unpacked), K desktop.
class SkyFolders {
 public:
  static constexpr std::array<char, 5> kLetters = {'M', 'P', 'S', 'T', 'K'};
  // Slot 0 … 4 of a letter, or -1 for a letter outside the table.
  static int Slot(char letter);
  bool Set(char letter, std::string path);
  // The folder of a letter; empty when unknown or unset.
  const std::string& Get(char letter) const;
  void Clear();

 private:
  std::array<std::string, 5> m_paths;
};

// One file of the section's list (pzpFiles[i]).
struct SkyFileEntry {
  char cKey = 0;
  char cFolder = 0;
  std::string psSubDir;   // as received; empty when none
  std::string psFile;
  std::string psFullPath; // built by the client; empty when the entry is skipped
  int32_t lSize = 0;
  int32_t lTime = 0;
  bool need_update = false;
  int iSignature = -1;     // list position of the entry's signature (the V entry after it)
  bool bReceived = false;  // staged whole, with its announced size
};

// Action letters of the signed lists: the section's manifest and the signature of the entry
// before it. Older clients read both as "keep".
inline constexpr char kSkyManifestKey = 'L';
inline constexpr char kSkySignatureKey = 'V';
inline constexpr const char* kSkyManifestName = "manifest.tsv";
inline constexpr const char* kSkySignatureSuffix = ".minisig";

// Bounds of what a server may hand the client: total bytes of the names of one list, one name,
// a manifest.
inline constexpr size_t kSkyMaxListNameBytes = size_t{4} << 20;
inline constexpr size_t kSkyMaxNameBytes = 1024;
inline constexpr int32_t kSkyMaxManifestBytes = 8 << 20;
// Files one install may put in place (package members included).
inline constexpr size_t kSkyMaxInstallFiles = 20000;

// What an exchange trusts: the section it asked for, the publisher's key, where it stages.
struct SkyTrust {
  std::string section;
  std::optional<MinisignKey> key;   // none: nothing is installed
  std::string stagingParent;        // empty: the user's cache folder ($XDG_CACHE_HOME/zelvora)
  const std::atomic<bool>* stop = nullptr;  // asked to end: install and unpack stop at the next step
};

// The protocol work of one exchange, block by block, without threads or sockets: the DIST
// thread feeds it what the socket receives (and the fuzz target feeds it anything).
class SkyliftExchange {
 public:
  struct Hooks {
    std::function<int(const char* block, int length)> push;  // queue a request block; < 0 failed
    SkyObserver notify;
  };

  SkyliftExchange(const SkyFolders& folders, bool checkOnly, int requestSize, int receiveSize,
                  std::string logTarget, Hooks hooks, std::atomic<int>& state, SkyTrust trust = {});
  ~SkyliftExchange();
  SkyliftExchange(const SkyliftExchange&) = delete;
  SkyliftExchange& operator=(const SkyliftExchange&) = delete;

  // Handles one received block; false when the exchange has ended (verdict or local failure).
  bool OnBlock(std::span<const char> block);
  // Ends a file left half-received: its temporary file is closed and removed.
  void Abort();

  bool Failed() const { return m_failed; }
  // Why the exchange failed, for the user; empty when it did not or no reason is known.
  const std::string& Why() const { return m_why; }
  const std::vector<SkyFileEntry>& Files() const { return m_files; }
  int64_t TotalBytes() const { return m_total; }

 private:
  void OnList(std::span<const char> payload);
  void Evaluate();
  bool CheckShape();
  bool BuildPath(SkyFileEntry& e, int index);
  bool Decide(SkyFileEntry& e);
  bool SendIndices(const std::vector<char>& indices, int flag, bool withFlag);
  bool OnPiece(std::span<const char> payload);
  bool OpenTemp(int position);
  bool FileArrived(int position);
  bool VerifyManifest();
  bool ManifestHolds(const SkyFileEntry& e) const;
  bool VerifyEntry(const SkyFileEntry& e);
  bool InstallAll();
  bool Stopped() const { return m_trust.stop && m_trust.stop->load(); }
  std::string Staged(int position) const;
  bool Fail(int code, const std::string& why = {});
  void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Notify(int message, int wParam, int lParam);

  SkyFolders m_folders;
  bool m_checkOnly;
  int m_requestSize;
  int m_receiveSize;
  std::string m_log;
  Hooks m_hooks;
  std::atomic<int>& m_state;

  std::vector<SkyFileEntry> m_files;
  int32_t m_announced = -1;  // total of the first list block; -1 before it
  bool m_evaluated = false;
  bool m_failed = false;
  int64_t m_total = 0;       // bytes of every requested file
  int64_t m_received = 0;

  std::intptr_t m_fd = -1;    // the temporary file being received (a descriptor or HANDLE)
  int m_openPosition = -1;
  std::string m_tempPath;
  int64_t m_fileBytes = 0;
  // The open file's bytes are hashed as they are written, so that its signature check needs
  // no second pass over it; each file received whole keeps its hash here by list position.
  MinisignHasher m_hasher;
  std::unordered_map<int, std::array<uint8_t, 64>> m_hashes;
  std::string m_manifestText;  // the manifest's bytes as they arrived (it is small and bounded)

  SkyTrust m_trust;
  std::string m_why;
  std::string m_staging;      // the private folder files are received into; removed at the end
  size_t m_nameBytes = 0;
  bool m_manifestOk = false;
  std::vector<std::string> m_manifest;  // the verified manifest's entry lines, sorted
};

class CSkylift {
 public:
  CSkylift();
  ~CSkylift();
  CSkylift(const CSkylift&) = delete;
  CSkylift& operator=(const CSkylift&) = delete;

  // The socket's sizes with multipliers 1 and 128; 1, or 0 when the socket refuses them.
  int SetSize(int requestSize, int receiveSize, int sendSlots, int recvSlots);
  int Connect(const std::string& address, int port);
  bool IsConnected() const { return m_sock.IsConnected(); }
  bool HasError() const { return m_sock.HasError(); }

  SkyFolders& Folders() { return m_folders; }
  // The publisher's key and where to stage; set before iStartUpdate.
  void SetTrust(std::optional<MinisignKey> key, std::string stagingParent = {}) {
    m_key = std::move(key);
    m_sStaging = std::move(stagingParent);
  }
  // Bounds of one exchange: silence (no block received) and the whole exchange, in ms.
  void SetBounds(int idleMs, int overallMs) {
    m_iIdleMs = idleMs;
    m_iOverallMs = overallMs;
  }
  // Why the last exchange failed, once it has ended; empty when unknown.
  std::string Why() const;

  // Starts an exchange for `section`: the bytes of the request sent (positive), -2 when not
  // connected, -3 when the M folder is empty, -1 when the request cannot be built or sent.
  int iStartUpdate(const std::string& section, bool download);
  int iGetUpdateStat() const { return m_iUpdateState.load(); }
  // Whether the DIST thread is still at its exchange.
  bool IsRunning() const { return m_bDistRunning.load(); }
  // Waits in 50 ms steps while connected and not stopped, at most `timeoutMs` (< 0: no bound);
  // returns early on a socket error. Whether the connection has ended.
  bool WaitForDisconnect(int timeoutMs = -1);

  void SetObserver(SkyObserver observer) { m_observer = std::move(observer); }
  const std::string& LogTarget() const { return m_sLogTarget; }
  CVekSocket& Socket() { return m_sock; }

 private:
  void Dist(bool checkOnly);
  void Notify(int message, int wParam, int lParam);

  bool m_bAutoDisconnect = true;
  SkyFolders m_folders;
  bool m_bCheckOnly = false;
  std::thread m_hEvent4Dist;
  std::atomic<bool> m_bDistRunning{false};
  std::atomic<bool> m_bDistStarted{false};
  std::atomic<int> m_iUpdateState{kSkyStateIdle};
  std::atomic<bool> m_bStop{false};
  int m_iRequestSize = 0;
  int m_iReceiveSize = 0;
  CVekSocket m_sock;
  std::string m_sLogTarget;
  SkyObserver m_observer;
  std::optional<MinisignKey> m_key;
  std::string m_sStaging;
  std::string m_sSection;
  int m_iIdleMs = 30000;
  int m_iOverallMs = 600000;
  mutable std::mutex m_whyLock;
  std::string m_sWhy;  // written by DIST when its exchange ends
};

// The client's log target: "debug.log" moved below the per-user LocalLow folder
// ($XDG_DATA_HOME/debug_logs/), so that a client run by a user writes where that user may.
// An absolute target, and the system account's, stay as they are.
std::string RelocateSkyLogTarget(const std::string& target);
