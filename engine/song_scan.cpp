#include "song_scan.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>

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

// The row starts of one pass: the keys in the order they were met, kept in
// blocks that never move, and an open-addressing index over them. An index
// slot holds the key's number + 1 (0: empty) under the top bits of its hash,
// which tell most other keys apart without reading them. A million row starts
// thus cost 24 MB of keys written once and a 16 MB index, and the next pass
// reuses both.
class RowSet {
 public:
  // Empties the set.
  void Clear() {
    count_ = 0;
    if (index_.empty()) index_.resize(1024);
    std::fill(index_.begin(), index_.end(), std::uint32_t{0});
  }
  // False when the key was there already.
  bool Insert(const RowKey& key) {
    if (2 * (count_ + 1) > index_.size()) Grow();
    const std::uint64_t hash = Hash(key);
    const std::uint32_t tag = Slot(hash, 0);
    const std::size_t mask = index_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      const std::uint32_t slot = index_[i];
      if (slot == 0) {
        Append(key);
        index_[i] = Slot(hash, count_);
        return true;
      }
      if ((slot & ~kNumberMask) == tag && Key((slot & kNumberMask) - 1) == key) return false;
    }
  }

 private:
  // A pass holds at most kMaxPassRows + 1 row starts.
  static constexpr unsigned kNumberBits = 21;
  static constexpr unsigned kTagBits = 32 - kNumberBits;
  static constexpr std::uint32_t kNumberMask = (1u << kNumberBits) - 1;
  static_assert(kMaxPassRows + 1 <= kNumberMask);
  static constexpr unsigned kBlockBits = 14;

  // Every bit of a key moves every bit of the hash: the loop counts of the
  // last channels sit in a word's top bits, and keys that differ only there
  // must still spread over the index.
  static std::uint64_t Mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBull;
    return x ^ (x >> 31);
  }
  static std::uint64_t Hash(const RowKey& k) { return Mix(Mix(Mix(k.position) ^ k.loops[0]) ^ k.loops[1]); }
  // An index slot: key number `number` (counted from 1) under the hash's top bits.
  static std::uint32_t Slot(std::uint64_t hash, std::uint32_t number) {
    return static_cast<std::uint32_t>(hash >> (64 - kTagBits)) << kNumberBits | number;
  }
  const RowKey& Key(std::uint32_t n) const { return blocks_[n >> kBlockBits][n & ((1u << kBlockBits) - 1)]; }
  void Append(const RowKey& key) {
    if ((count_ >> kBlockBits) == blocks_.size())
      blocks_.push_back(std::make_unique_for_overwrite<RowKey[]>(1u << kBlockBits));
    blocks_[count_ >> kBlockBits][count_ & ((1u << kBlockBits) - 1)] = key;
    ++count_;
  }
  // Twice the slots, filled again from the keys.
  void Grow() {
    index_.assign(index_.size() * 2, 0);
    const std::size_t mask = index_.size() - 1;
    for (std::uint32_t n = 0; n < count_; ++n) {
      const std::uint64_t hash = Hash(Key(n));
      std::size_t i = hash & mask;
      while (index_[i] != 0) i = (i + 1) & mask;
      index_[i] = Slot(hash, n + 1);
    }
  }
  std::vector<std::unique_ptr<RowKey[]>> blocks_;
  std::uint32_t count_ = 0;
  std::vector<std::uint32_t> index_;
};

// Where the effects that move the song are: for every row of every
// pattern, bit c set where channel c's cell holds one (B, D, E6, EE, F).
// Found once, so that the scan reads only those cells of the rows it goes
// through.
class MoverRows {
 public:
  MoverRows(const ModuleState& m, std::int32_t channels) : first_(m.patternCount, 0) {
    for (std::uint32_t p = 0; p < m.patternCount; ++p) {
      const Pattern& pattern = m.patternTable[p];
      first_[p] = static_cast<std::uint32_t>(rows_.size());
      if (pattern.cells == nullptr) continue;
      for (std::uint32_t r = 0; r < pattern.rowCount; ++r) {
        const Cell* cells = pattern.cells + static_cast<std::size_t>(r) * m.channelCount;
        std::uint32_t row = 0;
        for (std::int32_t c = 0; c < channels; ++c) {
          const std::uint8_t effect = cells[c].effect, x = cells[c].parameter >> 4;
          if (effect == 0xB || effect == 0xD || effect == 0xF || (effect == 0xE && (x == 0x6 || x == 0xE)))
            row |= 1u << c;
        }
        rows_.push_back(row);
      }
    }
  }
  // A row beyond its pattern, or of a pattern without cells, has none.
  std::uint32_t Row(std::uint32_t pattern, std::int32_t row) const {
    if (pattern >= first_.size() || row < 0) return 0;
    const std::size_t end = pattern + 1 < first_.size() ? first_[pattern + 1] : rows_.size();
    const std::size_t at = first_[pattern] + static_cast<std::size_t>(row);
    return at < end ? rows_[at] : 0;
  }

 private:
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> rows_;
};

}  // namespace

std::optional<SongScan> TryScanSong(const Song& song, std::uint32_t passes, std::int32_t findOrder,
                                    std::int32_t findRow, bool untilRow) {
  try {
    return ScanSong(song, passes, findOrder, findRow, untilRow);
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

SongScan ScanSong(const Song& song, std::uint32_t passes, std::int32_t findOrder, std::int32_t findRow, bool untilRow) {
  SongScan scan = ScanSongClock(song, passes, findOrder, findRow, untilRow);
  for (std::uint64_t& end : scan.passEnds) end = FrameAtRate(end, song.module.rate);
  scan.rowFrame = FrameAtRate(scan.rowFrame, song.module.rate);
  return scan;
}

SongScan ScanSongClock(const Song& song, std::uint32_t passes, std::int32_t findOrder, std::int32_t findRow,
                       bool untilRow) {
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
  // Every channel's loop count, four bits each, as the row keys hold them.
  std::uint64_t loopBits[2] = {0, 0};
  const MoverRows movers(m, channels);

  RowSet seen;
  seen.Clear();
  std::uint32_t rowsInPass = 0;
  std::uint64_t frame = 0;
  for (;;) {
    TakePendingPosition(m);
    const RowKey key{static_cast<std::uint64_t>(static_cast<std::uint32_t>(m.orderPosition)) << 32 |
                         static_cast<std::uint32_t>(m.row),
                     {loopBits[0], loopBits[1]}};
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
      if (untilRow) break;
    }

    // The row tick: only the effects that move the song, channel by channel
    // in the order row processing takes them.
    const std::uint32_t patternNumber = m.orderTable[m.orderPosition & 255];
    bool jumped = false;
    for (std::uint32_t row = movers.Row(patternNumber, m.row); row != 0; row &= row - 1) {
      const auto c = static_cast<std::int32_t>(std::countr_zero(row));
      const Cell cell = m.patternTable[patternNumber]
                            .cells[static_cast<std::size_t>(m.row) * m.channelCount + static_cast<std::size_t>(c)];
      ApplyMovingEffect(m, cell, loopRow[c], loopCount[c], jumped);
      if (cell.effect == 0xE && (cell.parameter >> 4) == 0x6) {
        const unsigned shift = 4 * static_cast<unsigned>(c % 16);
        loopBits[c / 16] = (loopBits[c / 16] & ~(std::uint64_t{15} << shift)) |
                           static_cast<std::uint64_t>(loopCount[c] & 15) << shift;
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
