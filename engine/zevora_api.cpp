// The C interface of the library: song objects over the engine's songs.
// Every call checks what it is given; none of them can be made to crash or
// to hang by its arguments.
#define ZEVORA_BUILDING_LIBRARY 1
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <new>

#include "float_environment.h"
#include "renderer.h"
#include "song.h"
#include "song_scan.h"
#include "sources.h"
#include "zevora/zevora.h"

namespace {

constexpr std::uint64_t kNoEnd = ~std::uint64_t{0};
constexpr std::uint64_t kNoMemory = kNoEnd - 1;  // beyond any frame a song reaches
constexpr int kMaxPasses = 1000;
constexpr int kRowSearchPasses = 8;
// A song that is sought keeps up to 256 keyframes (3 MB): a later seek back
// skips at most eight seconds in the first half hour, and at most a 128th
// of the time played after it.
constexpr std::size_t kSeekKeyframes = 256;
// A song without an end is not moved on further than a day of audio by a
// seek: beyond that a seek would take minutes.
constexpr std::uint64_t kMaxSeekSeconds = 24 * 3600;

int ErrorFor(LoadError error) { return error == LoadError::kOutOfMemory ? ZV_ERR_MEMORY : ZV_ERR_FORMAT; }

zv_song* Fail(int* error, int code) {
  if (error != nullptr) *error = code;
  return nullptr;
}

}  // namespace

struct zv_song {
  Song* song = nullptr;
  int passes = 1;
  // The song scanned for as many passes as asked so far, in frames at
  // 44,100 Hz (AtRate gives them at the song's rate): a rate change need
  // not read the song's rows again (up to a million a pass).
  bool scanned = false;
  std::uint32_t scannedPasses = 0;
  SongScan scan;
  // The song's first pass has no end: more passes have none either.
  bool endless = false;

  ~zv_song() { DestroySong(song); }

  // The scan for at least `passes` passes (frames at 44,100 Hz), or null
  // when memory ran short.
  const SongScan* Scan(std::uint32_t passes) {
    if (!scanned || scannedPasses < passes) {
      FloatEnvironment environment;
      try {
        scan = endless ? SongScan{} : ScanSongClock(*song, passes);
      } catch (const std::bad_alloc&) {
        return nullptr;
      }
      endless = !scan.Ended();
      scannedPasses = passes;
      scanned = true;
    }
    return &scan;
  }
  std::uint64_t AtRate(std::uint64_t frame) const { return FrameAtRate(frame, song->module.rate); }
  // The frame where rendering stops: the end of the last pass, or kNoEnd
  // (kNoMemory: unknown, memory ran short). After a jump the song no longer
  // follows its passes: it has no end until a seek (`course`) takes it back
  // to its own course.
  std::uint64_t EndFrame(bool course = false) {
    if (passes == 0 || (song->jumped && !course)) return kNoEnd;
    const SongScan* s = Scan(static_cast<std::uint32_t>(passes));
    if (s == nullptr) return kNoMemory;
    return s->passEnds.size() >= static_cast<std::size_t>(passes) ? AtRate(s->passEnds[passes - 1]) : kNoEnd;
  }
  // The farthest frame a seek may go to, or kNoMemory.
  std::uint64_t SeekLimit() {
    const std::uint64_t end = EndFrame(true);
    return end != kNoEnd ? end : kMaxSeekSeconds * song->module.rate;
  }
};

namespace {

zv_song* Finish(Song* song, int* error) {
  auto* handle = new (std::nothrow) zv_song;
  if (handle == nullptr) {
    DestroySong(song);
    return Fail(error, ZV_ERR_MEMORY);
  }
  handle->song = song;
  if (error != nullptr) *error = ZV_OK;
  return handle;
}

zv_song* Load(const void* source, std::uintptr_t param, std::int32_t kind, int* error) {
  FloatEnvironment environment;
  Song* song = CreateSong();
  if (song == nullptr) return Fail(error, ZV_ERR_MEMORY);
  if (!LoadSong(*song, source, param, kind)) {
    const int code = ErrorFor(song->loadError);
    DestroySong(song);
    return Fail(error, code);
  }
  return Finish(song, error);
}

template <typename Frame, typename Read>
std::size_t Render(zv_song* song, Frame* stereo, std::size_t frames, Read read) {
  if (song == nullptr || (stereo == nullptr && frames != 0)) return 0;
  const std::uint64_t end = song->EndFrame();
  if (end == kNoMemory) return 0;  // the song's end could not be found
  const std::uint64_t at = SongFrame(*song->song);
  if (end != kNoEnd) {
    if (at >= end) return 0;
    if (frames > end - at) frames = static_cast<std::size_t>(end - at);
  }
  FloatEnvironment environment;
  std::size_t done = 0;
  while (done < frames) {
    const std::size_t left = frames - done;
    const auto n = static_cast<std::uint32_t>(left < (1u << 30) ? left : (1u << 30));
    done += read(*song->song, stereo + 2 * done, n);
  }
  return done;
}

}  // namespace

extern "C" {

const char* zv_version(void) { return "0.1.0"; }

const char* zv_strerror(int code) {
  switch (code) {
    case ZV_OK: return "no error";
    case ZV_ERR_OPEN: return "the file cannot be opened";
    case ZV_ERR_FORMAT: return "not an XM module the engine can play";
    case ZV_ERR_MEMORY: return "out of memory";
    case ZV_ERR_ARGUMENT: return "invalid argument";
    case ZV_ERR_RANGE: return "out of range";
    default: return "unknown error";
  }
}

zv_song* zv_load_file(const char* path, int* error) {
  if (path == nullptr) return Fail(error, ZV_ERR_ARGUMENT);
  // Opened without blocking: a FIFO or a device never holds the caller.
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(error, ZV_ERR_OPEN);
  struct stat info {};
  const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  ::close(fd);
  if (!regular) return Fail(error, ZV_ERR_OPEN);
  return Load(path, 0, kSourceFile, error);
}

zv_song* zv_load_memory(const void* data, size_t size, int* error) {
  if (data == nullptr) return Fail(error, ZV_ERR_ARGUMENT);
  if (size > static_cast<size_t>(INT32_MAX)) return Fail(error, ZV_ERR_FORMAT);
  return Load(data, size, kSourceMemory, error);
}

void zv_free(zv_song* song) { delete song; }

const char* zv_title(const zv_song* song) { return song != nullptr ? song->song->title : nullptr; }

const char* zv_tracker(const zv_song* song) { return song != nullptr ? song->song->tracker : nullptr; }

int zv_channels(const zv_song* song) {
  return song != nullptr ? static_cast<int>(song->song->module.channelCount) : ZV_ERR_ARGUMENT;
}

int zv_orders(const zv_song* song) {
  return song != nullptr ? static_cast<int>(song->song->module.songLength) : ZV_ERR_ARGUMENT;
}

int zv_patterns(const zv_song* song) {
  return song != nullptr ? static_cast<int>(song->song->module.patternCount) : ZV_ERR_ARGUMENT;
}

int zv_instruments(const zv_song* song) {
  return song != nullptr ? static_cast<int>(song->song->module.instrumentCount) : ZV_ERR_ARGUMENT;
}

const char* zv_instrument_name(const zv_song* song, int instrument) {
  if (song == nullptr || instrument < 0 || instrument >= song->song->module.instrumentCount) return nullptr;
  return song->song->module.instruments[instrument].name;
}

int zv_samples(const zv_song* song, int instrument) {
  if (song == nullptr || instrument < 0 || instrument >= song->song->module.instrumentCount) return -1;
  return static_cast<int>(song->song->module.instruments[instrument].sampleCount);
}

const char* zv_sample_name(const zv_song* song, int instrument, int sample) {
  const int count = zv_samples(song, instrument);
  if (sample < 0 || sample >= count) return nullptr;
  return song->song->module.instruments[instrument].samples[sample]->name;
}

int64_t zv_duration(zv_song* song) {
  if (song == nullptr) return ZV_ERR_ARGUMENT;
  const SongScan* scan = song->Scan(1);
  if (scan == nullptr) return ZV_ERR_MEMORY;
  return scan->Ended() ? static_cast<int64_t>(song->AtRate(scan->passEnds[0])) : -1;
}

int zv_loop_point(zv_song* song, int* order, int* row) {
  if (song == nullptr) return ZV_ERR_ARGUMENT;
  const SongScan* scan = song->Scan(1);
  if (scan == nullptr) return ZV_ERR_MEMORY;
  if (!scan->Ended()) return ZV_ERR_RANGE;
  if (order != nullptr) *order = scan->loopOrder;
  if (row != nullptr) *row = scan->loopRow;
  return ZV_OK;
}

int zv_set_rate(zv_song* song, int rate) {
  if (song == nullptr || rate < static_cast<int>(kMinRate) || rate > static_cast<int>(kMaxRate)) return ZV_ERR_ARGUMENT;
  FloatEnvironment environment;
  SetSongRate(*song->song, static_cast<std::uint32_t>(rate));
  return ZV_OK;
}

int zv_set_passes(zv_song* song, int passes) {
  if (song == nullptr || passes < 0 || passes > kMaxPasses) return ZV_ERR_ARGUMENT;
  song->passes = passes;
  return ZV_OK;
}

int zv_mute(zv_song* song, int channel, int muted) {
  if (song == nullptr || channel < 0 || channel >= song->song->module.channelCount) return ZV_ERR_ARGUMENT;
  const std::uint32_t bit = 1u << channel;
  const std::uint32_t before = song->song->mutedChannels;
  if (muted)
    song->song->mutedChannels |= bit;
  else
    song->song->mutedChannels &= ~bit;
  if (song->song->mutedChannels != before) {
    // From the next frame on: the rest of the block already mixed is mixed
    // again. The first time that takes a seek to the block; after it, the
    // song keeps where each block began.
    FloatEnvironment environment;
    KeepBlockStarts(*song->song);
    RemixSongBlock(*song->song);
  }
  return ZV_OK;
}

size_t zv_render(zv_song* song, int16_t* stereo, size_t frames) { return Render(song, stereo, frames, ReadSongFrames); }

size_t zv_render_float(zv_song* song, float* stereo, size_t frames) {
  return Render(song, stereo, frames, ReadSongFloatFrames);
}

int zv_seek(zv_song* song, uint64_t frame) {
  if (song == nullptr) return ZV_ERR_ARGUMENT;
  const std::uint64_t limit = song->SeekLimit();
  if (limit == kNoMemory) return ZV_ERR_MEMORY;
  if (frame > limit) return ZV_ERR_RANGE;
  FloatEnvironment environment;
  KeepKeyframes(*song->song, kSeekKeyframes);
  SeekSong(*song->song, frame);
  return ZV_OK;
}

int zv_seek_row(zv_song* song, int order, int row) {
  if (song == nullptr || order < 0 || row < 0) return ZV_ERR_ARGUMENT;
  if (order >= song->song->module.songLength) return ZV_ERR_RANGE;
  // The passes that are rendered; of a song played for ever, its first few.
  // The scan reads them only up to where the row first starts.
  const auto passes = static_cast<std::uint32_t>(song->passes == 0 ? kRowSearchPasses : song->passes);
  FloatEnvironment environment;
  const std::optional<SongScan> scan = TryScanSong(*song->song, passes, order, row, true);
  if (!scan) return ZV_ERR_MEMORY;
  const std::uint64_t limit = song->SeekLimit();
  if (limit == kNoMemory) return ZV_ERR_MEMORY;
  if (!scan->rowFound || scan->rowFrame > limit) return ZV_ERR_RANGE;
  KeepKeyframes(*song->song, kSeekKeyframes);
  SeekSong(*song->song, scan->rowFrame);
  return ZV_OK;
}

uint64_t zv_frame(const zv_song* song) { return song != nullptr ? SongFrame(*song->song) : 0; }

int zv_position(const zv_song* song, int* order, int* row) {
  if (song == nullptr) return ZV_ERR_ARGUMENT;
  std::int32_t o = 0, r = 0;
  SongPosition(*song->song, o, r);
  if (order != nullptr) *order = o;
  if (row != nullptr) *row = r;
  return ZV_OK;
}

int zv_jump(zv_song* song, int order, int row) {
  if (song == nullptr || order < 0 || row < 0) return ZV_ERR_ARGUMENT;
  const ModuleState& m = song->song->module;
  if (order >= m.songLength || row >= m.patternTable[m.orderTable[order]].rowCount) return ZV_ERR_RANGE;
  // A row that starts in the rest of the block already mixed is mixed
  // again; kept block starts make that quick for every later jump. Once
  // jumped, the song cannot be sought back to the block to mix it again:
  // without room for them a later mute or jump would come a block late.
  if (!KeepBlockStarts(*song->song)) return ZV_ERR_MEMORY;
  FloatEnvironment environment;
  JumpSong(*song->song, order, row);
  return ZV_OK;
}

}  // extern "C"
