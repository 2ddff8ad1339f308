#include "song_scan.h"

#include "renderer.h"
#include "replayer.h"
#include "song.h"

namespace {

// A row start as the pass end sees it: the position and every channel's
// pattern loop count (0..15, four bits each).
struct RowKey {
  std::uint64_t position;  // order position << 32 | row, both as 32-bit values
  std::uint64_t loops[2];
  bool operator==(const RowKey& o) const {
    return position == o.position && loops[0] == o.loops[0] && loops[1] == o.loops[1];
  }
};

// The row starts of one pass: open addressing, grown at half load.
class RowSet {
 public:
  void Clear() {
    slots_.assign(1024, RowKey{kEmpty, {0, 0}});
    size_ = 0;
  }
  // False when the key was there already.
  bool Insert(const RowKey& key) {
    if (2 * (size_ + 1) > slots_.size()) Grow();
    return Put(key);
  }

 private:
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static std::size_t Hash(const RowKey& k) {
    std::uint64_t h = k.position * 0x9E3779B97F4A7C15ull;
    h ^= (k.loops[0] + (h >> 29)) * 0xBF58476D1CE4E5B9ull;
    h ^= (k.loops[1] + (h >> 31)) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
  bool Put(const RowKey& key) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = Hash(key) & mask;; i = (i + 1) & mask) {
      if (slots_[i].position == kEmpty) {
        slots_[i] = key;
        ++size_;
        return true;
      }
      if (slots_[i] == key) return false;
    }
  }
  void Grow() {
    std::vector<RowKey> old(slots_.size() * 2, RowKey{kEmpty, {0, 0}});
    old.swap(slots_);
    size_ = 0;
    for (const RowKey& k : old)
      if (k.position != kEmpty) Put(k);
  }
  std::vector<RowKey> slots_;
  std::size_t size_ = 0;
};

}  // namespace

SongScan ScanSong(const Song& song, std::uint32_t passes, std::int32_t findOrder, std::int32_t findRow) {
  SongScan scan = ScanSongClock(song, passes, findOrder, findRow);
  for (std::uint64_t& end : scan.passEnds) end = FrameAtRate(end, song.module.rate);
  scan.rowFrame = FrameAtRate(scan.rowFrame, song.module.rate);
  return scan;
}

SongScan ScanSongClock(const Song& song, std::uint32_t passes, std::int32_t findOrder, std::int32_t findRow) {
  SongScan scan;
  if (passes == 0) passes = 1;
  if (song.module.patternTable == nullptr) return scan;

  // The module's records with playback fields of the scan's own, set as
  // the start of play sets them.
  const ModuleState& loaded = song.module;
  ModuleState m{};
  m.rate = kSampleRate;
  m.patternTable = loaded.patternTable;
  m.instruments = loaded.instruments;
  m.songLength = loaded.songLength;
  m.restartPosition = loaded.restartPosition;
  m.channelCount = loaded.channelCount;
  m.patternCount = loaded.patternCount;
  m.instrumentCount = loaded.instrumentCount;
  m.flags = loaded.flags;
  m.defaultTempo = loaded.defaultTempo;
  m.defaultBpm = loaded.defaultBpm;
  for (int i = 0; i < 256; ++i) m.orderTable[i] = loaded.orderTable[i];
  StartSequencer(m);
  std::int32_t loopRow[kMaxChannels] = {};
  std::int32_t loopCount[kMaxChannels] = {};
  const std::int32_t channels = ChannelCount(m) < kMaxChannels ? ChannelCount(m) : kMaxChannels;

  RowSet seen;
  seen.Clear();
  std::uint32_t rowsInPass = 0;
  std::uint64_t frame = 0;
  for (;;) {
    TakePendingPosition(m);
    RowKey key{static_cast<std::uint64_t>(static_cast<std::uint32_t>(m.orderPosition)) << 32 |
                   static_cast<std::uint32_t>(m.row),
               {0, 0}};
    for (std::int32_t c = 0; c < channels; ++c)
      key.loops[c / 16] |= static_cast<std::uint64_t>(loopCount[c] & 15) << (4 * (c % 16));
    if (!seen.Insert(key)) {
      // This row start ends the pass, and begins the next one.
      if (scan.passEnds.empty()) {
        scan.loopOrder = m.orderPosition;
        scan.loopRow = m.row;
      }
      scan.passEnds.push_back(frame);
      if (scan.passEnds.size() >= passes) break;
      seen.Clear();
      seen.Insert(key);
      rowsInPass = 0;
    }
    if (++rowsInPass > kMaxPassRows) break;
    if (!scan.rowFound && m.orderPosition == findOrder && m.row == findRow) {
      scan.rowFound = true;
      scan.rowFrame = frame;
    }

    // The row tick: only the effects that move the song, channel by channel
    // in the order row processing takes them.
    bool jumped = false;
    for (std::int32_t c = 0; c < channels; ++c) {
      const Cell cell = CurrentCell(m, c);
      const std::uint8_t p = cell.parameter;
      const std::uint8_t x = p >> 4;
      const std::uint8_t y = p & 15;
      switch (cell.effect) {
        case 0xB: PositionJump(m, p, jumped); break;
        case 0xD: PatternBreak(m, x, y, jumped); break;
        case 0xE:
          if (x == 0x6) PatternLoop(m, loopRow[c], loopCount[c], y);
          if (x == 0xE) PatternDelay(m, y);
          break;
        case 0xF: SetSpeedOrTempo(m, p); break;
        default: break;
      }
    }
    ScheduleNextRow(m);

    // The later ticks change none of this: the row lasts speed + delay
    // ticks (at least the row tick), each of samplesPerTick frames at
    // 44,100 Hz.
    std::int64_t ticks = static_cast<std::int64_t>(m.speed) + m.patternDelayTicks;
    if (ticks < 1) ticks = 1;
    frame += NextTicksFrames(m, static_cast<std::uint64_t>(ticks));
    m.patternDelayTicks = 0;
  }
  return scan;
}
