// UTF-8 decoding for JSON escaping, terminal safety and display widths.
#include "cli/TextOutput.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr char32_t kInvalid = 0xFFFFFFFF;

// Decodes one UTF-8 sequence at `i`; advances `i` past it, or by one byte when the bytes
// there are not a valid sequence (overlong forms, surrogates and values above U+10FFFF included).
char32_t NextCodePoint(std::string_view s, size_t& i) {
  const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int length;
  char32_t cp;
  char32_t minimum;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return kInvalid;
  }
  if (s.size() - i < static_cast<size_t>(length)) {
    ++i;
    return kInvalid;
  }
  for (int k = 1; k < length; ++k) {
    uint8_t b = byte(i + k);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kInvalid;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kInvalid;
  }
  i += length;
  return cp;
}

bool IsControl(char32_t cp) { return cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0); }

bool IsWide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) || (cp >= 0x3041 && cp <= 0x33FF) ||
         (cp >= 0x3400 && cp <= 0x4DBF) || (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) ||
         (cp >= 0xFF00 && cp <= 0xFF60) || (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
         (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
}

bool IsZeroWidth(char32_t cp) {
  return (cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x1160 && cp <= 0x11FF) || (cp >= 0x200B && cp <= 0x200F) ||
         (cp >= 0x20D0 && cp <= 0x20FF) || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    size_t begin = i;
    char32_t cp = NextCodePoint(text, i);
    if (cp == kInvalid) {
      out += "\\ufffd";
    } else if (cp == '"') {
      out += "\\\"";
    } else if (cp == '\\') {
      out += "\\\\";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || cp == 0x7F) {
      char escaped[16];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
      out += escaped;
    } else {
      out.append(text.substr(begin, i - begin));
    }
  }
  out += '"';
  return out;
}

std::string TerminalSafe(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t begin = i;
    char32_t cp = NextCodePoint(text, i);
    if (cp == kInvalid || IsControl(cp))
      out += '?';
    else
      out.append(text.substr(begin, i - begin));
  }
  return out;
}

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    char32_t cp = NextCodePoint(text, i);
    if (cp == kInvalid || IsControl(cp))
      width += 1;  // shown as '?'
    else if (IsZeroWidth(cp))
      continue;
    else
      width += IsWide(cp) ? 2 : 1;
  }
  return width;
}
