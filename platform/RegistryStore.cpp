// The settings store: ".reg" text parsed into memory, replaced atomically on every change; or a
// backend (the Windows registry) that keeps each value itself.
#include "platform/RegistryStore.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "platform/RegistryFiles.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRoot = "HKEY_CURRENT_USER\\";
// Our file holds a few dozen values; anything far larger is not ours.
constexpr size_t kMaxFileSize = 4 << 20;

std::string FoldCase(std::string_view s) {
  std::string folded(s);
  for (char& c : folded) c = AsciiLower(c);
  return folded;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A key path: non-empty components separated by single backslashes.
bool ValidKeyPath(std::string_view key) {
  if (key.empty() || key.front() == '\\' || key.back() == '\\' || HasLineBreak(key)) return false;
  return key.find("\\\\") == std::string_view::npos;
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// Reads a quoted text starting at line[pos] == '"'; pos ends after the closing quote. With
// `lenient`, a backslash before anything but '\\' or '"' is the character itself, as in a
// Windows path typed with single backslashes ("C:\Program Files\x").
bool ParseQuoted(std::string_view line, size_t& pos, std::string& out, bool lenient = false) {
  if (pos >= line.size() || line[pos] != '"') return false;
  out.clear();
  for (size_t i = pos + 1; i < line.size(); ++i) {
    char c = line[i];
    if (c == '"') {
      pos = i + 1;
      return true;
    }
    if (c == '\\') {
      if (i + 1 < line.size() && (line[i + 1] == '\\' || line[i + 1] == '"'))
        c = line[++i];
      else if (!lenient)
        return false;
    }
    out += c;
  }
  return false;
}

// A text value as a user copying it from Windows may write it: escapes where they are valid,
// else single backslashes taken as they are; last, the whole text between the quotes when
// it holds no other quote ("C:\out\" ends in a backslash). Nothing else is guessed.
bool ParseTextData(std::string_view data, std::string& out) {
  for (bool lenient : {false, true}) {
    size_t p = 0;
    if (ParseQuoted(data, p, out, lenient) && p == data.size()) return true;
  }
  if (data.size() >= 2 && data.front() == '"' && data.back() == '"') {
    std::string_view inner = data.substr(1, data.size() - 2);
    if (inner.find('"') == std::string_view::npos) {
      out = std::string(inner);
      return true;
    }
  }
  return false;
}

bool ParseDword(std::string_view s, uint32_t& out) {
  if (s.empty() || s.size() > 8) return false;
  out = 0;
  for (char c : s) {
    const char lower = AsciiLower(c);
    int d = c >= '0' && c <= '9' ? c - '0' : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
    if (d < 0) return false;
    out = out * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

// Parses one value line; on failure `reason` says why, and v.name holds the name when it was read.
bool ParseValueLine(std::string_view line, RegParsedValue& v, std::string& reason) {
  size_t pos = 0;
  if (line.front() == '@') {
    v.name.clear();
    pos = 1;
  } else if (!ParseQuoted(line, pos, v.name)) {
    v.name.clear();
    reason = "the value name cannot be read";
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') {
    reason = "'=' is missing after the value name";
    return false;
  }
  std::string_view data = line.substr(pos + 1);
  if (!data.empty() && data.front() == '"') {
    if (!ParseTextData(data, v.value.text)) {
      reason = "the text is not closed by a quote";
      return false;
    }
    v.value.type = kRegSz;
    return true;
  }
  constexpr std::string_view kDword = "dword:";
  if (data.size() > kDword.size() && SameIgnoringCase(data.substr(0, kDword.size()), kDword)) {
    v.value.type = kRegDword;
    if (ParseDword(data.substr(kDword.size()), v.value.dword)) return true;
    reason = "a dword takes 1 to 8 hexadecimal digits";
    return false;
  }
  reason = "only text (\"…\") and dword: values are kept";
  return false;
}

}  // namespace

bool ParseRegText(std::string_view text, std::vector<std::string>& keys, std::vector<RegParsedValue>& values,
                  std::vector<RegProblem>* problems) {
  keys.clear();
  values.clear();
  if (problems) problems->clear();
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  auto problem = [&](int number, std::string_view line, std::string key, std::string name, std::string reason) {
    if (problems) problems->push_back({number, std::move(key), std::move(name), std::string(line.substr(0, 200)),
                                       std::move(reason)});
  };
  // A NUL byte has no place in this text format: the file is binary, or damaged.
  if (text.find('\0') != std::string_view::npos) return false;
  bool sawHeader = false;
  // Values below a key line that cannot be read belong to no known key: they are dropped.
  bool keyUnreadable = false;
  std::string currentKey;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? text.size() : end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = TrimBlanks(line);
    if (line.empty()) continue;
    if (!sawHeader) {
      if (line != kHeader) return false;
      sawHeader = true;
      continue;
    }
    if (line.front() == ';') continue;
    if (line.front() == '[') {
      std::string_view inner = line.substr(1, line.back() == ']' ? line.size() - 2 : line.size() - 1);
      bool ok = line.back() == ']' && inner.size() > kRoot.size() && SameIgnoringCase(inner.substr(0, kRoot.size()), kRoot) &&
                ValidKeyPath(inner.substr(kRoot.size()));
      if (!ok) {
        problem(number, line, {}, {}, "not a key of the current user");
        keyUnreadable = true;
        currentKey.clear();
        continue;
      }
      keyUnreadable = false;
      currentKey = std::string(inner.substr(kRoot.size()));
      keys.push_back(currentKey);
      continue;
    }
    RegParsedValue v;
    std::string reason;
    if (currentKey.empty()) {
      problem(number, line, {}, {}, keyUnreadable ? "below a key that cannot be read" : "a value before any key");
      continue;
    }
    if (!ParseValueLine(line, v, reason)) {
      problem(number, line, currentKey, v.name, reason);
      continue;
    }
    v.key = currentKey;
    values.push_back(std::move(v));
  }
  return sawHeader;
}

RegistryStore::RegistryStore(std::string path, bool readOnly) : path_(std::move(path)), readOnly_(readOnly) {}

RegistryStore::RegistryStore(std::unique_ptr<RegistryBackend> backend, std::string name)
    : path_(std::move(name)), readOnly_(false), backend_(std::move(backend)) {}

void RegistryStore::LoadLocked() {
  keys_.clear();
  problems_.clear();
  damaged_ = false;
  loaded_ = true;
  loadedId_ = StoreFileId{};
  std::string text, error;
  const regfiles::ReadOutcome outcome = regfiles::ReadSmallFile(path_, kMaxFileSize, text, loadedId_, error);
  if (outcome == regfiles::ReadOutcome::kMissing) return;
  // A file that cannot be read is set aside like a damaged one: replacing it on the next
  // save would lose what it holds.
  std::vector<std::string> keyNames;
  std::vector<RegParsedValue> values;
  if (outcome == regfiles::ReadOutcome::kFailed) {
    loadedId_ = regfiles::StatFile(path_);
    problems_.assign(1, RegProblem{0, {}, {}, {}, error});
  } else if (ParseRegText(text, keyNames, values, &problems_)) {
    BuildKeys(keys_, keyNames, values);
  } else {
    problems_.assign(1, RegProblem{0, {}, {}, {}, "the file does not begin with \"" + std::string(kHeader) + "\""});
  }
  // Nothing is moved or rewritten here: a reader changes nothing on disk. The file is kept
  // aside only when the program next saves over it (see PersistLocked).
  damaged_ = !problems_.empty();
  for (const RegProblem& p : problems_)
    DebugLog(kDebugTarget, "settings file %s line %d: %s (%s)", path_.c_str(), p.line, p.text.c_str(),
             p.reason.c_str());
}

// One pass with an index by folded name, so that loading stays linear however many keys and
// values a file holds (a later value of the same name replaces the earlier, as a write does).
void RegistryStore::BuildKeys(std::vector<Key>& keys, const std::vector<std::string>& keyNames,
                              std::vector<RegParsedValue>& values) {
  std::unordered_map<std::string, size_t> keyIndex;
  std::vector<std::unordered_map<std::string, size_t>> valueIndex;
  auto keyAt = [&](const std::string& path) {
    auto [it, added] = keyIndex.try_emplace(FoldCase(path), keys.size());
    if (added) {
      keys.push_back(Key{path, {}});
      valueIndex.emplace_back();
    }
    return it->second;
  };
  for (const auto& k : keyNames) keyAt(k);
  for (auto& v : values) {
    const size_t k = keyAt(v.key);
    auto [it, added] = valueIndex[k].try_emplace(FoldCase(v.name), keys[k].values.size());
    if (added)
      keys[k].values.push_back(Value{std::move(v.name), std::move(v.value)});
    else
      keys[k].values[it->second].data = std::move(v.value);
  }
}

void RegistryStore::RefreshLocked() {
  if (loaded_ && regfiles::StatFile(path_) == loadedId_) return;
  LoadLocked();
  // Changes of an open batch stay visible over the newer file.
  for (const auto& c : pending_) {
    if (c.keyOnly) {
      if (!FindKey(keys_, c.key)) keys_.push_back(Key{c.key, {}});
    } else {
      ApplyWrite(keys_, c.key, c.name, c.value);
    }
  }
}

RegistryStore::Key* RegistryStore::FindKey(std::vector<Key>& keys, std::string_view key) {
  for (auto& k : keys)
    if (SameIgnoringCase(k.path, key)) return &k;
  return nullptr;
}

bool RegistryStore::KeyOrChildExists(const std::vector<Key>& keys, std::string_view key) {
  for (const auto& k : keys) {
    if (k.path.size() < key.size()) continue;
    if (!SameIgnoringCase(std::string_view(k.path).substr(0, key.size()), key)) continue;
    if (k.path.size() == key.size() || k.path[key.size()] == '\\') return true;
  }
  return false;
}

int RegistryStore::ApplyWrite(std::vector<Key>& keys, std::string_view key, std::string_view name,
                              const RegValue& value) {
  Key* k = FindKey(keys, key);
  if (!k) {
    keys.push_back(Key{std::string(key), {}});
    k = &keys.back();
  }
  for (auto& v : k->values) {
    if (SameIgnoringCase(v.name, name)) {
      v.data = value;
      return 1;
    }
  }
  k->values.push_back(Value{std::string(name), value});
  return 1;
}

std::string RegistryStore::SerializeKeys(const std::vector<Key>& keys) {
  std::string out(kHeader);
  out += "\n";
  for (const auto& k : keys) {
    out += "\n[";
    out += kRoot;
    out += k.path;
    out += "]\n";
    // The default value first, as the registry editor writes it.
    for (int pass = 0; pass < 2; ++pass) {
      for (const auto& v : k.values) {
        if ((pass == 0) != v.name.empty()) continue;
        out += v.name.empty() ? std::string("@") : Quote(v.name);
        out += '=';
        if (v.data.type == kRegDword) {
          char hex[16];
          std::snprintf(hex, sizeof hex, "dword:%08x", v.data.dword);
          out += hex;
        } else {
          out += Quote(v.data.text);
        }
        out += '\n';
      }
    }
  }
  return out;
}

std::string RegistryStore::Serialize() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backend_) return {};
  RefreshLocked();
  return SerializeKeys(keys_);
}

bool RegistryStore::PersistLocked(const std::vector<Change>& changes) {
  const std::string folder = regfiles::FolderOf(path_);
  MakeFolderPath(folder);
  regfiles::FolderLock lock(folder);
  if (!lock.ok()) return false;
  // Another process may have replaced the file since we read it: build on its version.
  if (!loaded_ || regfiles::StatFile(path_) != loadedId_) LoadLocked();
  std::vector<Key> next = keys_;
  for (const auto& c : changes) {
    if (c.keyOnly) {
      if (!FindKey(next, c.key)) next.push_back(Key{c.key, {}});
    } else {
      ApplyWrite(next, c.key, c.name, c.value);
    }
  }
  // A file larger than the store reads back would be refused at the next start, and every
  // setting would fall back to its default: such a change is refused now instead.
  const std::string text = SerializeKeys(next);
  if (text.size() > kMaxFileSize) {
    DebugLog(kDebugTarget, "settings file %s not written: %zu bytes is more than the %zu a store may hold",
             path_.c_str(), text.size(), kMaxFileSize);
    return false;
  }
  // What could not be read would be lost by the replacement: keep the file as it was.
  // (Whatever stands at the name: an oversized file, a folder or a FIFO was never read.)
  if (damaged_ && regfiles::SomethingAt(path_) && !KeepDamagedFile()) return false;
  if (!regfiles::ReplaceWholeFile(lock, path_, text)) return false;
  damaged_ = false;
  problems_.clear();
  keys_ = std::move(next);
  loadedId_ = regfiles::StatFile(path_);
  loaded_ = true;
  return true;
}

// Under the folder lock: the damaged file stays under a new name while the replacement goes
// on as usual; an earlier copy is never overwritten.
bool RegistryStore::KeepDamagedFile() {
  const std::string stamp = regfiles::LocalStamp();
  for (int n = 1; n < 1000; ++n) {
    std::string bad = path_ + ".bad-" + stamp;
    if (n > 1) bad += '-' + std::to_string(n);
    std::string error;
    const int kept = regfiles::KeepFileAs(path_, bad, error);
    if (kept == 0) continue;
    if (kept == 1) {
      DebugLog(kDebugTarget, "settings file %s could not be read whole; kept as %s", path_.c_str(), bad.c_str());
      return true;
    }
    DebugLog(kDebugTarget, "settings file %s cannot be kept aside: %s", path_.c_str(), error.c_str());
    return false;
  }
  return false;
}

std::vector<RegProblem> RegistryStore::Problems() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backend_) return {};
  RefreshLocked();
  return problems_;
}

int RegistryStore::Read(std::string_view key, std::string_view name, RegValue& value) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backend_) return ValidKeyPath(key) ? backend_->Read(key, name, value) : -2;
  RefreshLocked();
  Key* k = FindKey(keys_, key);
  if (!k) return KeyOrChildExists(keys_, key) ? -1 : -2;
  for (const auto& v : k->values) {
    if (SameIgnoringCase(v.name, name)) {
      value = v.data;
      return 1;
    }
  }
  return -1;
}

int RegistryStore::BackendWrite(std::string_view key, std::string_view name, const RegValue& value) {
  int result = !ValidKeyPath(key)                                    ? -2
               : value.type == kRegSz || value.type == kRegDword ? backend_->Write(key, name, value)
               : backend_->KeyExists(key)                        ? -1
                                                                  : -2;
  if (result != 1 && batchDepth_ > 0) batchFailed_ = true;
  return result;
}

int RegistryStore::Write(std::string_view key, std::string_view name, const RegValue& value) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backend_) return BackendWrite(key, name, value);
  RefreshLocked();
  const bool existed = KeyOrChildExists(keys_, key);
  if (!ValidKeyPath(key)) return -2;
  if (readOnly_ || HasLineBreak(name) || (value.type != kRegSz && value.type != kRegDword) ||
      (value.type == kRegSz && HasLineBreak(value.text)))
    return existed ? -1 : -2;
  Change change{false, std::string(key), std::string(name), value};
  if (batchDepth_ > 0) {
    ApplyWrite(keys_, key, name, value);
    pending_.push_back(std::move(change));
    return 1;
  }
  if (PersistLocked({change})) return 1;
  return existed ? -1 : -2;
}

int RegistryStore::EnsureKey(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backend_) {
    int result = ValidKeyPath(key) ? backend_->EnsureKey(key) : 0;
    if (result == 0 && batchDepth_ > 0) batchFailed_ = true;
    return result;
  }
  if (!ValidKeyPath(key)) return 0;
  RefreshLocked();
  if (KeyOrChildExists(keys_, key)) return -1;
  if (readOnly_) return 0;
  Change change{true, std::string(key), {}, {}};
  if (batchDepth_ > 0) {
    keys_.push_back(Key{std::string(key), {}});
    pending_.push_back(std::move(change));
    return 1;
  }
  return PersistLocked({change}) ? 1 : 0;
}

bool RegistryStore::KeyExists(std::string_view key) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backend_) return ValidKeyPath(key) && backend_->KeyExists(key);
  RefreshLocked();
  return KeyOrChildExists(keys_, key);
}

RegistryStore::Batch::Batch(RegistryStore& store) : store_(store) {
  std::lock_guard<std::mutex> guard(store_.mutex_);
  ++store_.batchDepth_;
}

RegistryStore::Batch::~Batch() { Commit(); }

bool RegistryStore::Batch::Commit() {
  if (done_) return true;
  done_ = true;
  std::lock_guard<std::mutex> guard(store_.mutex_);
  if (store_.backend_) {
    // The changes were made one by one; the batch only tells whether all of them were.
    if (--store_.batchDepth_ > 0) return true;
    const bool ok = !store_.batchFailed_;
    store_.batchFailed_ = false;
    return ok;
  }
  if (--store_.batchDepth_ > 0 || store_.pending_.empty()) return true;
  std::vector<Change> changes = std::move(store_.pending_);
  store_.pending_.clear();
  if (store_.PersistLocked(changes)) return true;
  // The changes never reached the disk: forget them, so reads show what is stored.
  store_.loaded_ = false;
  return false;
}

namespace {

std::mutex gStoreMutex;
std::unique_ptr<RegistryStore> gStore;
// Stores replaced by UseSettingsStoreFile stay alive: a caller may still hold a reference.
std::vector<std::unique_ptr<RegistryStore>> gRetiredStores;

}  // namespace

RegistryStore& CurrentUserStore() {
  std::lock_guard<std::mutex> guard(gStoreMutex);
  if (!gStore) gStore = regfiles::NewCurrentUserStore();
  return *gStore;
}

void UseSettingsStoreFile(const std::string& path, bool readOnly) {
  std::lock_guard<std::mutex> guard(gStoreMutex);
  if (gStore) gRetiredStores.push_back(std::move(gStore));
  gStore = std::make_unique<RegistryStore>(path, readOnly);
}

int RegReadValue(RegistryStore& root, std::string_view subKey, std::string_view name, RegValue& value) {
  return root.Read(subKey, name, value);
}

int RegWriteValue(RegistryStore& root, std::string_view subKey, std::string_view name, std::string_view text,
                  uint32_t type, size_t length) {
  RegValue value;
  value.type = type;
  if (type == kRegDword) {
    // As atoi reads it: leading blanks, a sign, digits up to the first other character.
    std::string digits(text.substr(0, 32));
    long long n = std::strtoll(digits.c_str(), nullptr, 10);
    if (n > INT32_MAX) n = INT32_MAX;
    if (n < INT32_MIN) n = INT32_MIN;
    value.dword = static_cast<uint32_t>(static_cast<int32_t>(n));
  } else if (type == kRegSz) {
    std::string_view data = length == 0 ? text : text.substr(0, length);
    value.text = std::string(data.substr(0, data.find('\0')));
  } else {
    return -1;
  }
  return root.Write(subKey, name, value);
}

int RegWriteDword(RegistryStore& root, std::string_view subKey, std::string_view name, uint32_t value) {
  RegValue v;
  v.type = kRegDword;
  v.dword = value;
  return root.Write(subKey, name, v);
}

int RegEnsureKey(RegistryStore& root, std::string_view subKey) { return root.EnsureKey(subKey); }
