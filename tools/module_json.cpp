#include "module_json.h"

#include <cstdio>
#include <sstream>

#include "loader.h"
#include "module.h"
#include "song.h"

namespace {

void Envelope(std::ostringstream& out, const char* name, const EnvelopePoint* points, unsigned count, unsigned flags,
              unsigned sustain, unsigned loopStart, unsigned loopEnd) {
  out << "\"" << name << "\":{\"flags\":" << flags << ",\"on\":" << ((flags & 1) ? "true" : "false")
      << ",\"sustain\":" << sustain << ",\"loopStart\":" << loopStart << ",\"loopEnd\":" << loopEnd << ",\"points\":[";
  for (unsigned i = 0; i < count && i < kEnvelopePoints; ++i)
    out << (i ? "," : "") << "[" << points[i].x << "," << points[i].y << "]";
  out << "]}";
}

// A name as shown: trailing spaces dropped (XM names are padded with them).
std::string NameText(const char* name) {
  std::string text(name);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// Appends the code point c (below 256) as UTF-8.
void Latin1(std::string& out, unsigned char c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The length of the well-formed UTF-8 sequence of two to four bytes at
// bytes[i] (no overlong forms, no surrogates, nothing above U+10FFFF), or 0.
std::size_t Utf8Length(const std::string& bytes, std::size_t i) {
  const auto at = [&](std::size_t k) { return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : 0u; };
  const unsigned c = at(i);
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the second byte's range
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return length;
}

std::string Name(const std::vector<std::string>& names, std::size_t i) { return i < names.size() ? names[i] : ""; }

// Milliseconds in a number of frames at 44,100 Hz, rounded down; whole
// seconds apart, so that no song's length (a pass may last for thousands of
// years: frames * 1000 would not fit in 64 bits) overflows.
std::uint64_t FramesToMs(std::uint64_t frames) { return frames / 44100 * 1000 + frames % 44100 * 1000 / 44100; }

}  // namespace

ModuleNames NamesOf(const Song& song) {
  ModuleNames names;
  const ModuleState& m = song.module;
  names.title = NameText(song.title);
  names.tracker = NameText(song.tracker);
  names.version = song.version;
  for (std::uint32_t i = 0; i < m.instrumentCount; ++i) {
    const Instrument& in = m.instruments[i];
    names.instruments.push_back(NameText(in.name));
    names.samples.emplace_back();
    for (std::uint32_t k = 0; k < in.sampleCount && k < kMaxSamplesPerInstrument; ++k)
      names.samples.back().push_back(NameText(in.samples[k]->name));
  }
  return names;
}

std::string JsonString(const std::string& bytes, NameEncoding meant) {
  std::string out = "\"";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = meant == NameEncoding::kUtf8 ? Utf8Length(bytes, i) : 0;
    // C1 controls (U+0080 to U+009F, C2 80 to C2 9F) are escaped as the
    // other controls are.
    if (length > 1 && !(c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0)) {
      out += bytes.substr(i, length);
      i += length - 1;
      continue;
    }
    const auto code = length > 1 ? static_cast<unsigned char>(bytes[++i]) : c;
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code < 0x20 || code >= 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
      out += escaped;
    } else {
      out += static_cast<char>(code);
    }
  }
  return out + "\"";
}

std::string TerminalText(const std::string& bytes, NameEncoding meant) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    const std::size_t length = meant == NameEncoding::kUtf8 ? Utf8Length(bytes, i) : 0;
    if (length > 1) {
      // C1 controls (U+0080 to U+009F) are C2 80 to C2 9F.
      const bool control = c == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0;
      out += control ? std::string("?") : bytes.substr(i, length);
      i += length - 1;
    } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      out += '?';
    } else {
      Latin1(out, c);
    }
  }
  return out;
}

std::string FormatDuration(std::uint64_t frames) {
  const std::uint64_t ms = FramesToMs(frames);
  char text[48];
  std::snprintf(text, sizeof text, "%llu:%02llu.%03llu", static_cast<unsigned long long>(ms / 60000),
                static_cast<unsigned long long>(ms / 1000 % 60), static_cast<unsigned long long>(ms % 1000));
  return text;
}

std::string ModuleJson(const Song& song, const ModuleNames& names, const SongScan& scan) {
  std::string json = ModuleJson(song, &names);
  json.pop_back();  // the closing brace
  std::ostringstream out;
  out << ",\"title\":" << JsonString(names.title) << ",\"tracker\":" << JsonString(names.tracker)
      << ",\"version\":" << names.version;
  if (scan.Ended()) {
    out << ",\"durationFrames\":" << scan.passEnds[0] << ",\"durationMs\":" << FramesToMs(scan.passEnds[0])
        << ",\"loopOrder\":" << scan.loopOrder << ",\"loopRow\":" << scan.loopRow;
  } else {
    out << ",\"durationFrames\":null,\"durationMs\":null,\"loopOrder\":null,\"loopRow\":null";
  }
  out << "}";
  return json + out.str();
}

std::string ModuleSummary(const Song& song, const ModuleNames& names, const SongScan& scan) {
  const ModuleState& m = song.module;
  std::ostringstream out;
  char version[16];
  std::snprintf(version, sizeof version, "%u.%02u", names.version >> 8, names.version & 0xFF);
  out << "Title:        " << TerminalText(names.title) << "\n"
      << "Tracker:      " << TerminalText(names.tracker) << " (format " << version << ")\n"
      << "Channels:     " << m.channelCount << "\n"
      << "Song length:  " << m.songLength << " orders, restart at " << m.restartPosition << "\n"
      << "Patterns:     " << m.patternCount << "\n"
      << "Frequencies:  " << ((m.flags & 1) ? "linear" : "Amiga") << "\n"
      << "Speed, BPM:   " << m.defaultTempo << ", " << m.defaultBpm << "\n";
  if (scan.Ended())
    out << "Duration:     " << FormatDuration(scan.passEnds[0]) << " (" << scan.passEnds[0]
        << " frames), then loops to order " << scan.loopOrder << ", row " << scan.loopRow << "\n";
  else
    out << "Duration:     no end found\n";
  out << "Instruments:  " << m.instrumentCount << "\n";
  static const char* const kLoops[] = {"no loop", "forward loop", "ping-pong loop", "no loop"};
  for (unsigned i = 0; i < m.instrumentCount; ++i) {
    const Instrument& in = m.instruments[i];
    out << "  " << (i + 1) << ". " << TerminalText(Name(names.instruments, i)) << " (" << in.sampleCount
        << (in.sampleCount == 1 ? " sample" : " samples") << ")\n";
    const std::vector<std::string> none;
    const auto& samples = i < names.samples.size() ? names.samples[i] : none;
    for (unsigned s = 0; s < in.sampleCount && s < kMaxSamplesPerInstrument; ++s) {
      const Sample& sm = *in.samples[s];
      out << "     " << (s + 1) << ". " << TerminalText(Name(samples, s)) << ": " << sm.length << " frames, "
          << (sm.is16Bit ? "16" : "8") << "-bit, " << kLoops[sm.loopKind & 3] << "\n";
    }
  }
  return out.str();
}

std::string ModuleJson(const Song& song, const ModuleNames* names) {
  const ModuleState& m = song.module;
  const std::vector<std::string> none;
  std::ostringstream out;
  out << "{\"channels\":" << m.channelCount << ",\"songLength\":" << m.songLength
      << ",\"restartPosition\":" << m.restartPosition << ",\"patternCount\":" << m.patternCount
      << ",\"instrumentCount\":" << m.instrumentCount << ",\"linear\":" << ((m.flags & 1) ? "true" : "false")
      << ",\"tempo\":" << m.defaultTempo << ",\"bpm\":" << m.defaultBpm << ",\"orders\":[";
  for (unsigned o = 0; o < m.songLength; ++o) out << (o ? "," : "") << static_cast<unsigned>(m.orderTable[o]);
  out << "],\"patterns\":[";
  for (unsigned p = 0; p < m.patternCount; ++p)
    out << (p ? "," : "") << "{\"rows\":" << m.patternTable[p].rowCount
        << ",\"packedSize\":" << m.patternTable[p].packedSize << "}";
  out << "],\"instruments\":[";
  for (unsigned i = 0; i < m.instrumentCount; ++i) {
    const Instrument& in = m.instruments[i];
    out << (i ? "," : "") << "{";
    if (names) out << "\"name\":" << JsonString(Name(names->instruments, i)) << ",";
    out << "\"sampleCount\":" << in.sampleCount << ",";
    Envelope(out, "volumeEnvelope", in.volumeEnvelope, in.volumePointCount, in.volumeEnvelopeFlags,
             in.volumeSustainPoint, in.volumeLoopStart, in.volumeLoopEnd);
    out << ",";
    Envelope(out, "panningEnvelope", in.panningEnvelope, in.panningPointCount, in.panningEnvelopeFlags,
             in.panningSustainPoint, in.panningLoopStart, in.panningLoopEnd);
    out << ",\"autoVibrato\":{\"type\":" << unsigned{in.autoVibratoType}
        << ",\"sweep\":" << unsigned{in.autoVibratoSweep} << ",\"depth\":" << unsigned{in.autoVibratoDepth}
        << ",\"rate\":" << unsigned{in.autoVibratoRate} << "},\"fadeout\":" << in.fadeout << ",\"samples\":[";
    for (unsigned s = 0; s < in.sampleCount && s < kMaxSamplesPerInstrument; ++s) {
      const Sample& sm = *in.samples[s];
      out << (s ? "," : "") << "{";
      if (names) out << "\"name\":" << JsonString(Name(i < names->samples.size() ? names->samples[i] : none, s)) << ",";
      out << "\"length\":" << sm.length << ",\"loopStart\":" << sm.loopStart << ",\"loopLength\":" << sm.loopLength
          << ",\"loopKind\":" << unsigned{sm.loopKind} << ",\"volume\":" << unsigned{sm.volume}
          << ",\"finetune\":" << int{sm.finetune} << ",\"panning\":" << unsigned{sm.panning}
          << ",\"relativeNote\":" << int{sm.relativeNote} << ",\"is16Bit\":" << (sm.is16Bit ? "true" : "false") << "}";
    }
    out << "]}";
  }
  out << "]}";
  return out.str();
}
