// What zevora-cli info shows of a module: its records, its names and where
// its song ends, as JSON or as a short summary for people.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "song_scan.h"

struct Song;

// The names a file holds, as raw bytes (cut at the first zero byte, with
// trailing spaces dropped).
struct ModuleNames {
  std::string title;
  std::string tracker;
  std::uint16_t version = 0;
  std::vector<std::string> instruments;
  std::vector<std::vector<std::string>> samples;
};

// The names of a song's module.
ModuleNames NamesOf(const Song& song);

// How the bytes of a name are meant: module names as Latin-1; file names
// as UTF-8 where they are valid UTF-8, the other bytes as Latin-1.
enum class NameEncoding { kLatin1, kUtf8 };
// Any bytes as a JSON string (quoted): control characters escaped, bytes
// above 127 taken as Latin-1 (escaped), or with kUtf8 valid UTF-8 as it is.
std::string JsonString(const std::string& bytes, NameEncoding meant = NameEncoding::kLatin1);
// Any bytes as text that is safe on a terminal: written as UTF-8, control
// characters (C0, DEL, C1) as '?'. Every name a message shows, of a module
// or of a file, goes through here.
std::string TerminalText(const std::string& bytes, NameEncoding meant = NameEncoding::kLatin1);

// A song's module records as JSON, with the names where given.
std::string ModuleJson(const Song& song, const ModuleNames* names = nullptr);
// The records with the names, the duration and the loop point.
std::string ModuleJson(const Song& song, const ModuleNames& names, const SongScan& scan);
// "m:ss.mmm" for a number of frames at 44,100 Hz (rounded down to the ms).
std::string FormatDuration(std::uint64_t frames);
// The short summary for people.
std::string ModuleSummary(const Song& song, const ModuleNames& names, const SongScan& scan);
