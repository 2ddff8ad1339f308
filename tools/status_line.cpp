#include "status_line.h"

#include <locale.h>

#include <cwchar>

#include "module_json.h"

namespace {

// The code point that starts at text[i] and its length in bytes; 0 bytes
// where the bytes there are not UTF-8 (stray, overlong or cut sequences,
// surrogates, beyond U+10FFFF).
std::size_t DecodeUtf8(const std::string& text, std::size_t i, char32_t& c) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  std::size_t length = 0;
  char32_t low = 0;
  if (b < 0x80) {
    c = b;
    return 1;
  } else if (b >= 0xC2 && b <= 0xDF) {
    length = 2, c = b & 0x1Fu, low = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    length = 3, c = b & 0x0Fu, low = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    length = 4, c = b & 0x07u, low = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (byte(i + k) & 0x3Fu);
  }
  if (c < low || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return length;
}

// Columns of one code point, by the C library's tables for UTF-8 whatever
// the user's locale; one where it knows nothing of the character.
int CharColumns(char32_t c) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (c < 0x80 || utf8 == static_cast<locale_t>(0)) return 1;
  const locale_t previous = uselocale(utf8);
  const int columns = wcwidth(static_cast<wchar_t>(c));
  uselocale(previous);
  return columns < 0 ? 1 : columns;
}

// The longest start of text (whole characters) in at most `columns`.
std::string CutToColumns(const std::string& text, int columns) {
  int used = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    char32_t c = 0;
    std::size_t length = DecodeUtf8(text, i, c);
    const int width = length == 0 ? 1 : CharColumns(c);
    if (length == 0) length = 1;
    if (used + width > columns) break;
    used += width;
    i += length;
  }
  return text.substr(0, i);
}

}  // namespace

int TextColumns(const std::string& utf8) {
  int columns = 0;
  for (std::size_t i = 0; i < utf8.size();) {
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(utf8, i, c);
    columns += length == 0 ? 1 : CharColumns(c);
    i += length == 0 ? 1 : length;
  }
  return columns;
}

std::string FitStatusLine(const StatusLine& line, int columns) {
  const int room = (columns <= 0 ? 80 : columns) - 1;
  const std::string times = line.time + " / " + line.duration;
  const std::string paused = line.paused ? " [paused]" : "";
  // With the meter, a place for "[paused]" keeps the meter where it is.
  const std::string full = line.counter + " " + line.title + "  " + times + "  " + line.position +
                           (line.paused ? " [paused]" : "         ") + " " + line.meter;
  if (TextColumns(full) <= room) return full;
  // The title shortened: first beside the order and row while it keeps a
  // few characters, then alone down to one.
  const int titleColumns = TextColumns(line.title);
  const struct {
    std::string after;
    int least;
  } withTitle[] = {{"  " + times + "  " + line.position + paused, titleColumns < 8 ? titleColumns : 8},
                   {"  " + times + paused, 1}};
  for (const auto& [after, least] : withTitle) {
    const int titleRoom = room - TextColumns(line.counter + " " + after);
    if (titleRoom >= least && titleColumns > 0) return line.counter + " " + CutToColumns(line.title, titleRoom) + after;
  }
  const std::string shorter[] = {line.counter + "  " + times + paused, times + paused, line.time + paused};
  for (const std::string& text : shorter)
    if (TextColumns(text) <= room) return text;
  return CutToColumns(shorter[2], room < 0 ? 0 : room);
}

std::string FileDisplayName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string text;
  for (std::size_t i = 0; i < name.size();) {
    char32_t c = 0;
    const std::size_t length = DecodeUtf8(name, i, c);
    if (length == 0) return TerminalText(name);
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0))
      text += '?';
    else
      text.append(name, i, length);
    i += length;
  }
  return text;
}

bool StatusWriter::Due(const std::string& text, bool paused, Clock::time_point now) {
  if (paused && !shown_.empty() && text == shown_ && now - shownAt_ < kPausedRefresh) return false;
  shown_ = text;
  shownAt_ = now;
  return true;
}
