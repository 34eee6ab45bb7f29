// SAMI to SubRip: ffmpeg's own SAMI decoder fails on the "&nbsp;" blocks that clear a line, and
// its subtitles filter then refuses the whole file, so the file is rewritten before burning in.
#include "encoder/SamiToSrt.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "encoder/PathText.h"
#include "support/Utf8Text.h"

namespace {

constexpr int64_t kMaxSamiBytes = 16 << 20;
constexpr int64_t kLastCueMs = 5000;

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Decodes the entity at text[i] ('&'); returns the characters consumed (0: not an entity).
size_t DecodeEntity(std::string_view text, size_t i, std::string& out) {
  size_t semi = text.find(';', i);
  if (semi == std::string_view::npos || semi - i > 10) return 0;
  std::string name = Lower(text.substr(i + 1, semi - i - 1));
  static const std::pair<const char*, const char*> kNamed[] = {
      {"nbsp", " "}, {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}};
  for (auto [n, v] : kNamed) {
    if (name == n) {
      out += v;
      return semi - i + 1;
    }
  }
  if (name.size() >= 2 && name[0] == '#') {
    bool hex = name[1] == 'x';
    std::string digits = name.substr(hex ? 2 : 1);
    if (digits.empty() || digits.size() > 7) return 0;
    uint32_t cp = 0;
    for (char c : digits) {
      int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (hex && c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (d < 0) return 0;
      cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    }
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    AppendUtf8(out, cp);
    return semi - i + 1;
  }
  return 0;
}

// The value of attribute `name` inside a tag's text (lower case), or empty.
std::string Attribute(const std::string& tagLower, const std::string& tagOriginal, const char* name) {
  size_t at = tagLower.find(name);
  if (at == std::string::npos) return {};
  size_t i = at + std::string_view(name).size();
  while (i < tagLower.size() && tagLower[i] == ' ') ++i;
  if (i >= tagLower.size() || tagLower[i] != '=') return {};
  ++i;
  while (i < tagLower.size() && tagLower[i] == ' ') ++i;
  char quote = i < tagLower.size() && (tagLower[i] == '"' || tagLower[i] == '\'') ? tagLower[i] : 0;
  if (quote) ++i;
  size_t end = i;
  while (end < tagLower.size() && (quote ? tagLower[end] != quote : tagLower[end] != ' ' && tagLower[end] != '>'))
    ++end;
  return tagOriginal.substr(i, end - i);
}

struct Paragraph {
  std::string cls;  // lower case, empty when none
  std::string text;
};

// The paragraphs of one SYNC block, tags removed, entities decoded, <br> as '\n'.
std::vector<Paragraph> BlockParagraphs(std::string_view block) {
  std::vector<Paragraph> paragraphs(1);
  for (size_t i = 0; i < block.size();) {
    char c = block[i];
    if (c == '<') {
      size_t close = block.find('>', i);
      if (close == std::string_view::npos) break;
      std::string original(block.substr(i + 1, close - i - 1));
      std::string tag = Lower(original);
      size_t n = 0;
      while (n < tag.size() && std::isalpha(static_cast<unsigned char>(tag[n]))) ++n;
      std::string name = tag.substr(0, n);
      if (name == "br") paragraphs.back().text += '\n';
      if (name == "p") paragraphs.push_back({Lower(Attribute(tag, original, "class")), {}});
      i = close + 1;
    } else if (c == '&') {
      size_t used = DecodeEntity(block, i, paragraphs.back().text);
      if (used == 0) paragraphs.back().text += c;
      i += used ? used : 1;
    } else {
      paragraphs.back().text += (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
      ++i;
    }
  }
  return paragraphs;
}

// Blank runs made one blank, lines trimmed, empty lines dropped.
std::string CleanText(const std::string& raw) {
  std::string out;
  std::istringstream lines(raw);
  std::string line;
  while (std::getline(lines, line)) {
    std::string clean;
    for (char c : line) {
      if (c == ' ' && (clean.empty() || clean.back() == ' ')) continue;
      clean += c;
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    if (clean.empty()) continue;
    if (!out.empty()) out += '\n';
    out += clean;
  }
  return out;
}

// Start time of a SYNC tag in milliseconds, -1 when it has none.
int64_t SyncStart(const std::string& tagLower) {
  std::string value = Attribute(tagLower, tagLower, "start");
  if (value.empty() || value.size() > 12) return -1;
  int64_t ms = 0;
  for (char c : value) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    ms = ms * 10 + (c - '0');
  }
  return std::isdigit(static_cast<unsigned char>(value[0])) ? ms : -1;
}

std::string Timestamp(int64_t ms) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%02lld:%02lld:%02lld,%03lld", static_cast<long long>(ms / 3600000),
                static_cast<long long>(ms / 60000 % 60), static_cast<long long>(ms / 1000 % 60),
                static_cast<long long>(ms % 1000));
  return buffer;
}

}  // namespace

std::vector<SubtitleCue> ParseSami(std::string_view sami) {
  if (sami.substr(0, 3) == "\xEF\xBB\xBF") sami.remove_prefix(3);
  const std::string low = Lower(sami);
  struct Block {
    int64_t start;
    std::string text;
  };
  std::vector<Block> blocks;
  std::string chosenClass;
  size_t at = low.find("<sync");
  while (at != std::string::npos) {
    size_t tagEnd = low.find('>', at);
    if (tagEnd == std::string::npos) break;
    size_t next = low.find("<sync", tagEnd);
    size_t bodyEnd = std::min(next, low.find("</body", tagEnd));
    int64_t start = SyncStart(low.substr(at, tagEnd - at));
    if (start >= 0) {
      std::string text;
      for (Paragraph& p : BlockParagraphs(sami.substr(tagEnd + 1, std::min(bodyEnd, sami.size()) - tagEnd - 1))) {
        if (chosenClass.empty()) chosenClass = p.cls;
        if (!p.cls.empty() && p.cls != chosenClass) continue;
        text += (text.empty() ? "" : "\n") + p.text;
      }
      blocks.push_back({start, CleanText(text)});
    }
    at = next;
  }
  std::stable_sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.start < b.start; });

  std::vector<SubtitleCue> cues;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].text.empty()) continue;
    int64_t end = blocks[i].start + kLastCueMs;
    for (size_t j = i + 1; j < blocks.size(); ++j) {
      if (blocks[j].start > blocks[i].start) {
        end = blocks[j].start;
        break;
      }
    }
    cues.push_back({blocks[i].start, end, blocks[i].text});
  }
  return cues;
}

std::string FormatSrt(const std::vector<SubtitleCue>& cues) {
  std::string out;
  int number = 0;
  for (const SubtitleCue& c : cues) {
    out += std::to_string(++number) + "\n" + Timestamp(c.startMs) + " --> " + Timestamp(c.endMs) + "\n" + c.text + "\n\n";
  }
  return out;
}

namespace {

bool ReadWhole(const std::string& path, std::string& text, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  std::ifstream in(FsPath(path), std::ios::binary | std::ios::ate);
  if (!in) return fail("cannot open the subtitle file " + path);
  std::streamoff size = in.tellg();
  if (size < 0) return fail("cannot read the subtitle file " + path);
  if (size > kMaxSamiBytes) return fail("the subtitle file is larger than 16 MiB: " + path);
  text.assign(static_cast<size_t>(size), '\0');
  in.seekg(0);
  in.read(text.data(), size);
  text.resize(static_cast<size_t>(in.gcount()));
  return true;
}

bool IsSamiName(const std::string& path) {
  std::string low = Lower(path);
  auto endsWith = [&](std::string_view tail) {
    return low.size() >= tail.size() && low.compare(low.size() - tail.size(), tail.size(), tail) == 0;
  };
  return endsWith(".smi") || endsWith(".sami");
}

// "HH:MM:SS,mmm" (hours of any width, ',' or '.' before the milliseconds) at text[i]; -1 if not.
int64_t SrtTime(std::string_view text, size_t& i) {
  auto number = [&](size_t maxDigits, int64_t& out) {
    size_t start = i;
    out = 0;
    while (i < text.size() && i - start < maxDigits && std::isdigit(static_cast<unsigned char>(text[i])))
      out = out * 10 + (text[i++] - '0');
    return i > start;
  };
  while (i < text.size() && text[i] == ' ') ++i;
  int64_t h, m, sec, ms = 0;
  if (!number(9, h) || i >= text.size() || text[i++] != ':') return -1;
  if (!number(2, m) || i >= text.size() || text[i++] != ':') return -1;
  if (!number(2, sec)) return -1;
  if (i < text.size() && (text[i] == ',' || text[i] == '.')) {
    size_t start = ++i;
    if (!number(3, ms)) return -1;
    for (size_t d = i - start; d < 3; ++d) ms *= 10;
  }
  if (m > 59 || sec > 59) return -1;
  return ((h * 60 + m) * 60 + sec) * 1000 + ms;
}

}  // namespace

std::vector<SubtitleCue> ParseSrt(std::string_view srt) {
  if (srt.substr(0, 3) == "\xEF\xBB\xBF") srt.remove_prefix(3);
  std::vector<SubtitleCue> cues;
  SubtitleCue* open = nullptr;  // the cue whose text lines are being read
  size_t start = 0;
  while (start < srt.size()) {
    size_t end = srt.find('\n', start);
    std::string_view line = srt.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? srt.size() : end + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
    size_t arrow = line.find("-->");
    if (arrow != std::string_view::npos) {
      size_t i = 0, j = arrow + 3;
      int64_t from = SrtTime(line, i), to = SrtTime(line, j);
      if (from >= 0 && to >= 0) {
        cues.push_back({from, to > from ? to : from + 1, {}});
        open = &cues.back();
        continue;
      }
    }
    if (line.empty()) {
      open = nullptr;
      continue;
    }
    if (open) {
      if (!open->text.empty()) open->text += '\n';
      open->text.append(line);
    }
  }
  // A cue without text shows nothing; the number line of the next block is not text.
  std::vector<SubtitleCue> kept;
  for (SubtitleCue& c : cues)
    if (!c.text.empty()) kept.push_back(std::move(c));
  return kept;
}

std::vector<SubtitleCue> ReadSubtitleCues(const std::string& path, std::string* error) {
  std::string text;
  if (!ReadWhole(path, text, error)) return {};
  std::vector<SubtitleCue> cues;
  if (IsSamiName(path)) {
    if (Lower(text).find("<sync") == std::string::npos) {
      if (error) *error = "the SAMI subtitle has no SYNC tags";
      return {};
    }
    cues = ParseSami(text);
  } else {
    cues = ParseSrt(text);
  }
  if (cues.empty() && error) *error = "the subtitle holds no timed text";
  return cues;
}

int ConvertSubtitleToSrt(const std::string& path, const std::string& srtPath, std::string* error) {
  std::vector<SubtitleCue> cues = ReadSubtitleCues(path, error);
  if (cues.empty()) return -1;
  std::ofstream out(FsPath(srtPath), std::ios::binary | std::ios::trunc);
  out << FormatSrt(cues);
  if (!out.flush()) {
    if (error) *error = "cannot write the subtitle copy " + srtPath;
    return -1;
  }
  return static_cast<int>(cues.size());
}

int ConvertSamiToSrt(const std::string& samiPath, const std::string& srtPath, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return -1;
  };
  std::string text;
  if (!ReadWhole(samiPath, text, error)) return -1;
  std::vector<SubtitleCue> cues = ParseSami(text);
  if (cues.empty()) return fail("the subtitle file holds no timed text: " + samiPath);
  std::ofstream out(FsPath(srtPath), std::ios::binary | std::ios::trunc);
  out << FormatSrt(cues);
  if (!out.flush()) return fail("cannot write the subtitle copy " + srtPath);
  return static_cast<int>(cues.size());
}
