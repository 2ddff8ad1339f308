// What the window knows of a module file: whether it loads (and why not),
// its title, where its song ends, and the rest the info panel shows. Read
// by a song object of its own, so any thread may read any file.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "song.h"
#include "song_scan.h"

struct SongFree {
  void operator()(Song* song) const { DestroySong(song); }
};
using OwnedSong = std::unique_ptr<Song, SongFree>;

// A file loaded into a song of its own, or null and why.
struct SongHandle {
  OwnedSong song;
  LoadError error = LoadError::kNone;
};
SongHandle LoadSongFile(const QByteArray& path);

// A song without an end plays this long in the list modes, and the seek
// row covers this much of it.
constexpr std::uint64_t kNoEndFrames = 600ull * kSampleRate;

// Which version of a file was read: a file saved anew since (in place or
// by a new file that took its name) has another stamp.
struct FileStamp {
  std::int64_t inode = -1;  // -1: no file to be read
  std::int64_t size = 0;
  std::int64_t changed = 0;  // the inode's last change, ns
  bool operator==(const FileStamp&) const = default;
};
FileStamp StampOf(const QByteArray& path);

struct SongInfo {
  bool loaded = false;
  FileStamp stamp;  // of the file read (set where a file is read)
  QString failure;  // why the file cannot be played, when it cannot

  QString title;  // the module's title, made safe; empty when it has none
  QString tracker;
  int channels = 0;
  int patterns = 0;
  int instruments = 0;
  // One pass in frames, and where the song goes on after it (the row and
  // the frame where that row first starts). hasEnd false: no end found.
  bool hasEnd = false;
  std::uint64_t duration = 0;
  std::int32_t loopOrder = -1;
  std::int32_t loopRow = -1;
  std::uint64_t loopFrame = 0;
  std::uint64_t secondPass = 0;  // length of the second pass (0: unknown)

  // Every instrument's name, each followed by its samples' names (for the
  // info panel; read only when asked for).
  struct Instrument {
    QString name;
    QStringList samples;
  };
  std::vector<Instrument> names;

  // Frames the song plays once through: the duration, or 10 minutes for a
  // song without an end.
  std::uint64_t OnePass() const { return hasEnd ? duration : kNoEndFrames; }
};

// Loads the file into a song of its own and scans it. withNames: also every
// instrument and sample name.
SongInfo ReadSongInfo(const QByteArray& path, bool withNames = false);

// The song's facts from a song already loaded (scanned here); where memory
// runs short in the scan, only a failure ("out of memory").
SongInfo InfoOfSong(const Song& song, bool withNames);

// Why the file at path did not load: the file system's reason where it
// could not be opened as a regular file, otherwise the loader's.
QString LoadFailureReason(const QByteArray& path, LoadError error);

// Bytes from a module as safe text (Latin-1; control characters, line
// separators and bidirectional overrides as '?'),
// trailing spaces dropped; and a file-system name likewise (UTF-8 where
// valid).
QString ModuleText(const char* bytes, std::size_t size);
QString FileNameText(const QByteArray& path);

// "m:ss" of a frame count (44,100 a second, rounded down).
QString FormatMinutes(std::uint64_t frames);

// The position in the one pass that a song frame plays, for a song that
// loops: after the first pass it goes on from the loop point.
std::uint64_t PassPosition(const SongInfo& info, std::uint64_t frame);

// The frame where the pass that holds `frame` ends (for a song that has
// looped that far); kNoEndFrames multiples for a song without an end.
std::uint64_t EndOfPassAfter(const Song& song, const SongInfo& info, std::uint64_t frame);
