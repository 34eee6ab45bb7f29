// The per-user settings store: registry keys and values kept in one ".reg"-syntax text file,
// or, on Windows, in the registry itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Value types, numbered as the registry numbers them.
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegDword = 4;

struct RegValue {
  uint32_t type = 0;   // kRegSz or kRegDword
  std::string text;    // kRegSz
  uint32_t dword = 0;  // kRegDword
};

// A line of the file that could not be read (line 0: the whole file).
struct RegProblem {
  int line = 0;
  std::string key;     // the key it is below, when known
  std::string name;    // the value name, when it could be read
  std::string text;    // the line (at most 200 bytes)
  std::string reason;
};

// What tells whether the store file was replaced since it was read: the file's identity on
// its volume, its size and its modification time.
struct StoreFileId {
  bool exists = false;
  uint64_t volume = 0;
  uint64_t index = 0;
  int64_t size = 0;
  int64_t mtimeNs = 0;
  bool operator==(const StoreFileId&) const = default;
};

struct RegParsedValue;

// Keys and values kept by something else than a file (the Windows registry): the same results
// as the store's members of the same names. Called under the store's lock.
class RegistryBackend {
 public:
  virtual ~RegistryBackend() = default;
  virtual int Read(std::string_view key, std::string_view name, RegValue& value) = 0;
  virtual int Write(std::string_view key, std::string_view name, const RegValue& value) = 0;
  virtual int EnsureKey(std::string_view key) = 0;
  virtual bool KeyExists(std::string_view key) = 0;
};

// Keys live below HKEY_CURRENT_USER; key paths are given without it ("SOFTWARE\\Tarvesk\\...").
// Key paths and value names are compared without regard to ASCII case; the name "" is a key's
// default value ("@" in the file).
//
// The file is read once and kept in memory; it is read again only when another process has
// replaced it. Every change reaches the disk by replacing the whole file atomically (a
// temporary file in the same folder, fsync, rename, fsync of the folder; on Windows
// FlushFileBuffers and MoveFileExW) under a lock on the folder (flock; a named mutex of the
// folder on Windows), so a crash leaves the old file or the new one, and two processes writing at
// once lose nothing of each other's changes. Every value line that parses is kept; lines that
// do not are reported by Problems() (and to the diagnostic log). Reading never changes the
// disk: a file that could not be read whole is kept as "<file>.bad-YYYYMMDD-HHMMSS" (never
// over an earlier one) when the store next writes.
// A store over a RegistryBackend has no file: every change reaches the backend at once (each
// value is its own atomic unit there), and `path` only names it.
// All members may be called from any thread.
class RegistryStore {
 public:
  explicit RegistryStore(std::string path, bool readOnly = false);
  RegistryStore(std::unique_ptr<RegistryBackend> backend, std::string name);
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  const std::string& path() const { return path_; }
  bool readOnly() const { return readOnly_; }

  // 1 with the value; -2 when the key does not exist; -1 when the value does not.
  int Read(std::string_view key, std::string_view name, RegValue& value);
  // 1 when stored; -2 when the key did not exist and could not be created; -1 when writing
  // failed (a read-only store, a name or text holding a line break, the file not replaced;
  // over a backend, what the backend answers: the registry keeps line breaks).
  int Write(std::string_view key, std::string_view name, const RegValue& value);
  // -1 when the key exists already; 1 when it was created; 0 when it could not be.
  int EnsureKey(std::string_view key);
  bool KeyExists(std::string_view key);

  // While a batch is open, changes are kept in memory and reach the disk together when it is
  // committed (one file replacement instead of one per value). Reads see the changes at once.
  // A batch that ends without Commit() is committed by its destructor. Over a backend the
  // changes are made at once and Commit() tells whether every one of them was.
  class Batch {
   public:
    explicit Batch(RegistryStore& store);
    ~Batch();
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    // True when every change reached the disk or the backend (or there was none).
    bool Commit();

   private:
    RegistryStore& store_;
    bool done_ = false;
  };

  // The file text that would be written for the current contents (a file store only; empty
  // over a backend, which has no file).
  std::string Serialize();

  // What could not be read in the file as last loaded; empty when every line was read (and
  // always over a backend).
  std::vector<RegProblem> Problems();

 private:
  struct Value {
    std::string name;
    RegValue data;
  };
  struct Key {
    std::string path;
    std::vector<Value> values;
  };
  // One change, kept while a batch is open so that it can be replayed over a newer file.
  struct Change {
    bool keyOnly;
    std::string key;
    std::string name;
    RegValue value;
  };

  static void BuildKeys(std::vector<Key>& keys, const std::vector<std::string>& keyNames,
                        std::vector<RegParsedValue>& values);
  void RefreshLocked();
  void LoadLocked();
  bool KeepDamagedFile();
  int BackendWrite(std::string_view key, std::string_view name, const RegValue& value);
  int ApplyWrite(std::vector<Key>& keys, std::string_view key, std::string_view name, const RegValue& value);
  static Key* FindKey(std::vector<Key>& keys, std::string_view key);
  static bool KeyOrChildExists(const std::vector<Key>& keys, std::string_view key);
  static std::string SerializeKeys(const std::vector<Key>& keys);
  bool PersistLocked(const std::vector<Change>& changes);

  std::mutex mutex_;
  const std::string path_;
  const bool readOnly_;
  const std::unique_ptr<RegistryBackend> backend_;
  bool loaded_ = false;
  bool damaged_ = false;  // the loaded file held something that was not read
  std::vector<RegProblem> problems_;
  StoreFileId loadedId_;
  std::vector<Key> keys_;
  int batchDepth_ = 0;
  std::vector<Change> pending_;
  bool batchFailed_ = false;  // a backend change of the open batch failed

  friend class Batch;
};

// Parses ".reg" text into keys and the values that can be read; lines that cannot go to
// `problems`. False (nothing kept) when the text does not begin with the editor's header.
// Exposed for the tests.
struct RegParsedValue {
  std::string key;
  std::string name;
  RegValue value;
};
bool ParseRegText(std::string_view text, std::vector<std::string>& keys, std::vector<RegParsedValue>& values,
                  std::vector<RegProblem>* problems = nullptr);

#ifndef _WIN32
// $XDG_CONFIG_HOME/Tarvesk/zelvora/registry.reg (default ~/.config).
std::string DefaultSettingsStorePath();
#endif

// The store of the current user: the file at DefaultSettingsStorePath() (on Windows the
// registry of the current user, below the root the settings belong to), or the file chosen
// by UseSettingsStoreFile.
RegistryStore& CurrentUserStore();

// Makes CurrentUserStore() use `path` instead (`readOnly`: never written).
// Call before the store is used by other threads.
void UseSettingsStoreFile(const std::string& path, bool readOnly);

// The registry primitives over a store.
// RegReadValue: 1, -1 (no such value) or -2 (no such key).
int RegReadValue(RegistryStore& root, std::string_view subKey, std::string_view name, RegValue& value);
// RegWriteValue: for kRegDword `text` is read as a decimal 32-bit integer; for kRegSz the first
// `length` bytes of `text` are stored, up to its first NUL (`length` 0: the whole text).
// 1, -1 (writing failed, or another type) or -2 (the key could not be created).
int RegWriteValue(RegistryStore& root, std::string_view subKey, std::string_view name, std::string_view text,
                  uint32_t type, size_t length);
int RegWriteDword(RegistryStore& root, std::string_view subKey, std::string_view name, uint32_t value);
// -1 when the key exists, 1 when created, 0 on failure.
int RegEnsureKey(RegistryStore& root, std::string_view subKey);
