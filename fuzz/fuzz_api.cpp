// Fuzz target: the library's C interface as an embedding program uses it.
// The first bytes say how long the module is; the module is loaded from
// memory, then the rest of the bytes drive settings, renders, seeks, jumps
// and mutes. Nothing may crash or hang, and what the calls report must hold:
// a seek lands on its frame, a render moves the song on by what it returns.
// A seek costs time in proportion to the frames it passes over, so the
// seeks and renders (and mutes and jumps, which may seek) of one input
// share a budget of frames: without it, a jump before every seek (which
// takes the next seek back to the song's start) makes a short input do
// minutes of honest work, which the fuzzer takes for a hang.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "zevora/zevora.h"

namespace {

struct Bytes {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool More() const { return at < size; }
  std::uint32_t Next(int bytes) {
    std::uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | (at < size ? data[at++] : 0);
    return v;
  }
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in{data, size};
  const std::size_t length = in.Next(3);
  const std::size_t moduleSize = length < size - in.at ? length : size - in.at;
  int error = 1;
  zv_song* song = zv_load_memory(data + in.at, moduleSize, &error);
  in.at += moduleSize;
  if (song == nullptr) {
    Check(error == ZV_ERR_FORMAT || error == ZV_ERR_MEMORY);
    return 0;
  }
  Check(error == ZV_OK);
  const int channels = zv_channels(song);
  Check(channels >= 0 && channels <= 32);
  for (int i = -1; i <= zv_instruments(song); ++i) {
    const char* name = zv_instrument_name(song, i);
    Check((name != nullptr) == (i >= 0 && i < zv_instruments(song)));
    for (int s = -1; s <= 16; ++s) zv_sample_name(song, i, s);
  }
  // About 14 s of song, counted in frames at 44,100 Hz whatever the rate:
  // a module's tempo may make every one of those frames a tick of its own
  // (at 8,000 Hz five ticks an output frame), and then 14 s of 32 channels
  // take about 2 s under the sanitizers.
  std::uint64_t seekBudget = 600'000;
  std::uint64_t rate = 44100;
  const auto spend = [&](std::uint64_t frames) {
    const std::uint64_t cost = (frames * 44100 + rate - 1) / rate;
    if (cost > seekBudget) return false;
    seekBudget -= cost;
    return true;
  };
  std::vector<std::int16_t> pcm(2 * 4000);
  std::vector<float> floats(2 * 4000);
  for (int step = 0; step < 64 && in.More(); ++step) {
    switch (in.Next(1) % 10) {
      case 0: {
        const int wanted = static_cast<int>(in.Next(3) % 200000);
        if (zv_set_rate(song, wanted) == ZV_OK) rate = static_cast<std::uint64_t>(wanted);
        break;
      }
      case 1: zv_set_passes(song, static_cast<int>(in.Next(1) % 4)); break;
      case 2: {
        // A mute mixes the current block again, which in a module whose
        // effects write into its samples takes a seek from the start.
        const int channel = static_cast<int>(in.Next(1) % 34) - 1, muted = static_cast<int>(in.Next(1) & 1);
        if (spend(zv_frame(song))) zv_mute(song, channel, muted);
        break;
      }
      case 3:
      case 4: {
        const std::uint64_t before = zv_frame(song);
        const std::size_t want = in.Next(2) % 4000;
        if (!spend(want)) break;
        const std::size_t got =
            (step & 1) ? zv_render(song, pcm.data(), want) : zv_render_float(song, floats.data(), want);
        Check(got <= want && zv_frame(song) == before + got);
        break;
      }
      case 5: {
        // Within the first ten seconds; far beyond every song's end is refused.
        // Counted as if from the start, as a seek after a jump goes.
        const std::uint64_t frame = in.Next(3) % (10 * 48000);
        if (spend(frame) && zv_seek(song, frame) == ZV_OK) Check(zv_frame(song) == frame);
        Check(zv_seek(song, std::uint64_t{1} << 62) == ZV_ERR_RANGE);
        break;
      }
      case 6: {
        // A row lies within the song's first pass, where the song has an end.
        const int order = static_cast<int>(in.Next(1)) - 1, row = static_cast<int>(in.Next(1)) - 1;
        const std::int64_t duration = zv_duration(song);
        if (duration >= 0 && spend(static_cast<std::uint64_t>(duration))) zv_seek_row(song, order, row);
        break;
      }
      case 7: {
        // A jump may mix the current block again, as a mute does.
        const int order = static_cast<int>(in.Next(1)) - 1, row = static_cast<int>(in.Next(1)) - 1;
        if (spend(zv_frame(song))) zv_jump(song, order, row);
        break;
      }
      case 8: {
        int order = -1, row = -1;
        Check(zv_position(song, &order, &row) == ZV_OK && order >= 0 && row >= 0);
        break;
      }
      default: {
        const std::int64_t duration = zv_duration(song);
        int order = -1, row = -1;
        const int loop = zv_loop_point(song, &order, &row);
        Check((duration < 0) == (loop == ZV_ERR_RANGE));
        break;
      }
    }
  }
  zv_free(song);
  return 0;
}
