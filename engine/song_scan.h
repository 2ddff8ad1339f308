// Where the song ends: the passes of a song's module, found by running the
// sequencer and the effects that move the song, without the replayer, the
// voices or the mixer. Reads the module records only, so a song that is
// playing can be scanned (by the thread that plays it).
//
// A pass ends at the first row start whose order position, row and every
// channel's pattern loop count equal those of an earlier row start in the
// same pass; the next pass begins there. Pattern loops therefore never end
// a pass: their repeated rows carry other loop counts.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// A pass that has not ended after this many row starts has no end.
constexpr std::uint32_t kMaxPassRows = 1u << 20;

struct SongScan {
  // Frames from the start of play to the end of each pass found; fewer
  // than asked for when a pass has no end.
  std::vector<std::uint64_t> passEnds;
  // The row start where the first pass ends and the song goes on.
  std::int32_t loopOrder = -1;
  std::int32_t loopRow = -1;
  // The frame where the row asked for first starts in the passes scanned.
  bool rowFound = false;
  std::uint64_t rowFrame = 0;

  bool Ended() const { return !passEnds.empty(); }
};

struct Song;

// Scans the song's module at the song's rate for `passes` pass ends (at
// least 1), and for the first start of row findRow of order position
// findOrder in those passes (-1: none asked for). With `untilRow` the scan
// stops where that row starts (passEnds then holds only the passes before
// it): a row near the start is found without reading every pass.
SongScan ScanSong(const Song& song, std::uint32_t passes, std::int32_t findOrder = -1, std::int32_t findRow = -1,
                  bool untilRow = false);
// ScanSong, or nothing where memory runs short: the scan keeps every row
// start of a pass, tens of MB for a million rows.
std::optional<SongScan> TryScanSong(const Song& song, std::uint32_t passes, std::int32_t findOrder = -1,
                                    std::int32_t findRow = -1, bool untilRow = false);
// The same scan in frames at 44,100 Hz, whatever the song's rate. A song's
// rows go the same way at every rate and its frames at a rate follow from
// those at 44,100 Hz (FrameAtRate), so one scan serves every rate.
SongScan ScanSongClock(const Song& song, std::uint32_t passes, std::int32_t findOrder = -1, std::int32_t findRow = -1,
                       bool untilRow = false);
