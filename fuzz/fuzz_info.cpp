// Fuzz target: any bytes through the loader, the song scan and zevora-cli
// info's writers: the scan ends, the JSON is valid JSON, and the summary
// holds no control character but its line ends.
#include <cstdlib>
#include <cstring>
#include <string>

#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "song.h"
#include "song_scan.h"
#include "sources.h"

namespace {

// A strict JSON reader: true when text from p on is one JSON value.
struct JsonReader {
  const char* p;
  const char* end;
  int depth = 0;
  void Space() {
    while (p < end && (*p == ' ' || *p == '\n' || *p == '\t' || *p == '\r')) ++p;
  }
  bool Literal(const char* word) {
    const std::size_t n = std::strlen(word);
    if (static_cast<std::size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return false;
    p += n;
    return true;
  }
  bool String() {
    if (p >= end || *p != '"') return false;
    for (++p; p < end; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      if (c == '"') return ++p, true;
      if (c < 0x20 || c >= 0x80) return false;  // the writer escapes everything else
      if (c == '\\') {
        if (++p >= end) return false;
        if (*p == 'u') {
          for (int i = 0; i < 4; ++i)
            if (++p >= end || !std::strchr("0123456789abcdefABCDEF", *p)) return false;
        } else if (!std::strchr("\"\\/bfnrt", *p)) {
          return false;
        }
      }
    }
    return false;
  }
  bool Number() {
    const char* start = p;
    if (p < end && *p == '-') ++p;
    while (p < end && ((*p >= '0' && *p <= '9') || *p == '.' || *p == 'e' || *p == 'E' || *p == '+')) ++p;
    return p > start;
  }
  // An object (members "key": value) or an array, after its opening bracket.
  bool Members(char close, bool keyed) {
    Space();
    if (p < end && *p == close) {
      ++p;
      return true;
    }
    for (;;) {
      Space();
      if (keyed) {
        if (!String()) return false;
        Space();
        if (p >= end || *p++ != ':') return false;
      }
      if (!Value()) return false;
      Space();
      if (p < end && *p == ',') {
        ++p;
        continue;
      }
      if (p < end && *p == close) {
        ++p;
        return true;
      }
      return false;
    }
  }
  bool Value() {
    if (++depth > 64) return false;
    Space();
    bool ok = false;
    if (p < end && (*p == '{' || *p == '[')) {
      const bool keyed = *p++ == '{';
      ok = Members(keyed ? '}' : ']', keyed);
    } else if (p < end && *p == '"') {
      ok = String();
    } else {
      ok = Literal("true") || Literal("false") || Literal("null") || Number();
    }
    --depth;
    return ok;
  }
};

bool ValidJson(const std::string& text) {
  JsonReader reader{text.data(), text.data() + text.size()};
  if (!reader.Value()) return false;
  reader.Space();
  return reader.p == reader.end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Song* song = CreateSong();
  if (LoadSong(*song, data, size, kSourceMemory)) {
    const ModuleNames names = NamesOf(*song);
    const SongScan scan = ScanSong(*song, 2, 1, 0);
    if (!ValidJson(ModuleJson(*song, names, scan))) std::abort();
    for (const char c : ModuleSummary(*song, names, scan)) {
      const auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && c != '\n') || u == 0x7F) std::abort();
    }
    if (scan.Ended() && scan.loopOrder < 0) std::abort();
  }
  DestroySong(song);
  return 0;
}
