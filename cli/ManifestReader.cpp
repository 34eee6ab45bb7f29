// A strict reader for the JSON lines the manifest writes, and the latest outcome of each source.
#include "cli/ManifestReader.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "encoder/PathText.h"
#include "support/Utf8Text.h"

namespace {

// Nested arrays and objects deeper than this are refused: a manifest line is flat.
constexpr int kMaxDepth = 8;

// A recursive-descent reader of one JSON text; only the top-level string members are kept.
class JsonLine {
 public:
  explicit JsonLine(std::string_view text) : s_(text) {}

  bool ReadObject(std::map<std::string, std::string>& strings) {
    Blank();
    if (!Take('{')) return false;
    Blank();
    if (Take('}')) return End();
    for (;;) {
      std::string key, value;
      Blank();
      if (!String(key)) return false;
      Blank();
      if (!Take(':')) return false;
      Blank();
      if (Peek() == '"') {
        if (!String(value)) return false;
        strings[key] = value;
      } else if (!Value(1)) {
        return false;
      }
      Blank();
      if (Take('}')) return End();
      if (!Take(',')) return false;
    }
  }

 private:
  char Peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  bool Take(char c) {
    if (Peek() != c || i_ >= s_.size()) return false;
    ++i_;
    return true;
  }
  void Blank() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n')) ++i_;
  }
  bool End() {
    Blank();
    return i_ == s_.size();
  }
  bool Word(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }
  bool Hex4(uint32_t& v) {
    if (s_.size() - i_ < 4) return false;
    v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') v |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= static_cast<uint32_t>(c - 'A' + 10);
      else return false;
    }
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (i_ < s_.size()) {
      char c = s_[i_++];
      if (c == '"') return true;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) return false;
      char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp;
          if (!Hex4(cp)) return false;
          // A surrogate pair stands for one character beyond the basic plane.
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low;
            if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            return false;
          }
          AppendUtf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool Number() {
    Take('-');
    if (Peek() < '0' || Peek() > '9') return false;
    size_t start = i_;
    while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.' || s_[i_] == 'e' ||
                              s_[i_] == 'E' || s_[i_] == '+' || s_[i_] == '-'))
      ++i_;
    return i_ > start;
  }
  bool Value(int depth) {
    if (depth > kMaxDepth) return false;
    Blank();
    char c = Peek();
    if (c == '"') {
      std::string ignored;
      return String(ignored);
    }
    if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++i_;
      Blank();
      if (Take(close)) return true;
      for (;;) {
        Blank();
        if (c == '{') {
          std::string key;
          if (!String(key)) return false;
          Blank();
          if (!Take(':')) return false;
        }
        if (!Value(depth + 1)) return false;
        Blank();
        if (Take(close)) return true;
        if (!Take(',')) return false;
      }
    }
    if (Word("null") || Word("true") || Word("false")) return true;
    return Number();
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

std::optional<ManifestLine> ParseManifestLine(std::string_view line) {
  std::map<std::string, std::string> strings;
  if (!JsonLine(line).ReadObject(strings)) return std::nullopt;
  auto source = strings.find("source"), status = strings.find("status"), finished = strings.find("finished");
  if (source == strings.end() || status == strings.end() || finished == strings.end() || source->second.empty())
    return std::nullopt;
  return ManifestLine{source->second, status->second, finished->second};
}

void ManifestHistory::Take(const ManifestLine& line, int fileIndex, long lineIndex) {
  auto [it, inserted] = latest_.try_emplace(line.source, Latest{line, fileIndex, lineIndex});
  if (inserted) return;
  Latest& known = it->second;
  bool later;
  if (known.file == fileIndex)
    later = true;  // appended after it
  else if (line.finished != known.line.finished)
    later = line.finished > known.line.finished;  // the fixed-width UTC form sorts as text
  else
    later = line.status == "done" && known.line.status != "done";
  if (later) known = Latest{line, fileIndex, lineIndex};
}

bool ManifestHistory::Read(const std::vector<std::string>& manifests, ProblemSink problem, std::string& error) {
  for (size_t f = 0; f < manifests.size(); ++f) {
    const std::string& path = manifests[f];
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in) {
      std::error_code ec;
      if (!std::filesystem::exists(FsPath(path), ec)) {
        problem("manifest " + path + " does not exist (yet): none of its files is done");
        continue;
      }
      error = "cannot read manifest " + path + ": " + std::strerror(errno);
      return false;
    }
    long number = 0;
    for (std::string text; std::getline(in, text);) {
      ++number;
      if (!text.empty() && text.back() == '\r') text.pop_back();
      if (text.empty()) continue;
      if (std::optional<ManifestLine> line = ParseManifestLine(text))
        Take(*line, static_cast<int>(f), number);
      else
        problem(path + ":" + std::to_string(number) + ": not a manifest line; skipped");
    }
    if (in.bad()) {
      error = "cannot read manifest " + path;
      return false;
    }
  }
  return true;
}

bool ManifestHistory::IsDone(const std::string& source) const {
  auto it = latest_.find(source);
  return it != latest_.end() && it->second.line.status == "done";
}
