// The library's C interface, linked as others link it (libzevora.so):
// errors, names, song ends and passes, exact seeking, rates, muting,
// jumps, and songs that share nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#ifdef __SSE2__
#include <xmmintrin.h>
#endif

#include "failing_new.h"
#include "xm_writer.h"
#include "zevora/zevora.h"

namespace {

struct SongDeleter {
  void operator()(zv_song* song) const { zv_free(song); }
};
using SongPtr = std::unique_ptr<zv_song, SongDeleter>;

std::string Corpus(const std::string& name) { return std::string(ZEVORA_CORPUS_DIR) + "/" + name; }

std::vector<std::string> CorpusFiles() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(ZEVORA_CORPUS_DIR))
    if (entry.path().extension() == ".xm") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

SongPtr LoadFile(const std::string& path) {
  int error = 1;
  SongPtr song(zv_load_file(path.c_str(), &error));
  EXPECT_NE(song, nullptr) << path << ": " << zv_strerror(error);
  EXPECT_EQ(error, ZV_OK);
  return song;
}

SongPtr LoadModule(const XmModule& module) {
  const auto bytes = module.Build();
  int error = 1;
  SongPtr song(zv_load_memory(bytes.data(), bytes.size(), &error));
  EXPECT_EQ(error, ZV_OK);
  return song;
}

std::vector<std::int16_t> Render(zv_song* song, std::size_t frames) {
  std::vector<std::int16_t> out(2 * frames);
  out.resize(2 * zv_render(song, out.data(), frames));
  return out;
}

std::uint64_t Fnv(const std::vector<std::int16_t>& pcm) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  const auto* p = reinterpret_cast<const std::uint8_t*>(pcm.data());
  for (std::size_t i = 0; i < pcm.size() * 2; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}

// One pattern of `rows` rows at speed 6, 125 BPM: 5,292 frames a row.
constexpr std::uint64_t kRowFrames = 6 * 882;

XmModule Rows(std::uint16_t rows, std::uint16_t channels = 1) {
  XmModule m = OneInstrumentModule(LoopedSample(), channels);
  m.patterns[0].rows = rows;
  for (std::uint16_t c = 0; c < channels; ++c) m.At(0, 0, c) = {kC4, 1, 0, 0, 0};
  return m;
}

TEST(ApiTest, VersionAndErrorTexts) {
  EXPECT_STREQ(zv_version(), "0.1.0");
  std::map<std::string, int> texts;
  for (const int code :
       std::vector<int>{ZV_OK, ZV_ERR_OPEN, ZV_ERR_FORMAT, ZV_ERR_MEMORY, ZV_ERR_ARGUMENT, ZV_ERR_RANGE, 7, -99}) {
    const char* text = zv_strerror(code);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::strchr(text, '\n'), nullptr);
    ++texts[text];
  }
  EXPECT_EQ(texts.size(), 7u);  // every code its own text; the unknown ones share one
}

TEST(ApiTest, LoadFailuresSayWhy) {
  const auto tooMany = [] {
    XmModule m = OneInstrumentModule(LoopedSample());
    m.instruments[0].samples.assign(17, LoopedSample(4));
    return m.Build();
  }();
  const std::string notXm = "just some text, not a module";
  const std::string fifo = ::testing::TempDir() + "/zevora_api_fifo";
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    zv_song* song;
    int want;
  };
  int e[8];
  const Case cases[] = {
      {"missing file", zv_load_file("/nonexistent/zevora.xm", &e[0]), ZV_ERR_OPEN},
      {"a folder", zv_load_file(ZEVORA_CORPUS_DIR, &e[1]), ZV_ERR_OPEN},
      {"a FIFO (must not block)", zv_load_file(fifo.c_str(), &e[2]), ZV_ERR_OPEN},
      {"null path", zv_load_file(nullptr, &e[3]), ZV_ERR_ARGUMENT},
      {"null data", zv_load_memory(nullptr, 10, &e[4]), ZV_ERR_ARGUMENT},
      {"no bytes", zv_load_memory(notXm.data(), 0, &e[5]), ZV_ERR_FORMAT},
      {"not XM", zv_load_memory(notXm.data(), notXm.size(), &e[6]), ZV_ERR_FORMAT},
      {"17 samples", zv_load_memory(tooMany.data(), tooMany.size(), &e[7]), ZV_ERR_FORMAT},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(cases[i].song, nullptr) << cases[i].name;
    EXPECT_EQ(e[i], cases[i].want) << cases[i].name;
  }
  ::unlink(fifo.c_str());
  EXPECT_EQ(zv_load_file("/nonexistent", nullptr), nullptr);  // the error pointer may be null
}

TEST(ApiTest, EveryCallRefusesBadArguments) {
  zv_free(nullptr);
  EXPECT_EQ(zv_title(nullptr), nullptr);
  EXPECT_EQ(zv_tracker(nullptr), nullptr);
  EXPECT_EQ(zv_channels(nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_orders(nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_patterns(nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_instruments(nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_instrument_name(nullptr, 0), nullptr);
  EXPECT_EQ(zv_samples(nullptr, 0), -1);
  EXPECT_EQ(zv_sample_name(nullptr, 0, 0), nullptr);
  EXPECT_EQ(zv_duration(nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_loop_point(nullptr, nullptr, nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_set_rate(nullptr, 44100), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_set_passes(nullptr, 1), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_mute(nullptr, 0, 1), ZV_ERR_ARGUMENT);
  std::int16_t pcm[4];
  float floats[4];
  EXPECT_EQ(zv_render(nullptr, pcm, 2), 0u);
  EXPECT_EQ(zv_render_float(nullptr, floats, 2), 0u);
  EXPECT_EQ(zv_seek(nullptr, 0), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_seek_row(nullptr, 0, 0), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_frame(nullptr), 0u);
  EXPECT_EQ(zv_position(nullptr, nullptr, nullptr), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_jump(nullptr, 0, 0), ZV_ERR_ARGUMENT);

  SongPtr song = LoadModule(Rows(4, 2));
  zv_song* s = song.get();
  EXPECT_EQ(zv_instrument_name(s, -1), nullptr);
  EXPECT_EQ(zv_instrument_name(s, 1), nullptr);
  EXPECT_EQ(zv_samples(s, 1), -1);
  EXPECT_EQ(zv_sample_name(s, 0, 1), nullptr);
  EXPECT_EQ(zv_sample_name(s, 0, -1), nullptr);
  for (int rate : {7999, 192001, 0, -44100}) EXPECT_EQ(zv_set_rate(s, rate), ZV_ERR_ARGUMENT) << rate;
  for (int passes : {-1, 1001}) EXPECT_EQ(zv_set_passes(s, passes), ZV_ERR_ARGUMENT) << passes;
  for (int channel : {-1, 2, 32}) EXPECT_EQ(zv_mute(s, channel, 1), ZV_ERR_ARGUMENT) << channel;
  EXPECT_EQ(zv_render(s, nullptr, 5), 0u);
  EXPECT_EQ(zv_render(s, nullptr, 0), 0u);
  EXPECT_EQ(zv_seek(s, 4 * kRowFrames + 1), ZV_ERR_RANGE);  // beyond the one pass it renders
  EXPECT_EQ(zv_seek_row(s, 0, 4), ZV_ERR_RANGE);            // row 4 is never played
  EXPECT_EQ(zv_seek_row(s, 1, 0), ZV_ERR_RANGE);            // no order 1
  EXPECT_EQ(zv_seek_row(s, -1, 0), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_jump(s, 1, 0), ZV_ERR_RANGE);
  EXPECT_EQ(zv_jump(s, 0, 4), ZV_ERR_RANGE);
  EXPECT_EQ(zv_jump(s, 0, -1), ZV_ERR_ARGUMENT);
  EXPECT_EQ(zv_frame(s), 0u);  // nothing refused moved the song
}

TEST(ApiTest, NamesAndCounts) {
  XmModule m = Rows(4, 3);
  m.title = "Twenty chars exactly";  // no terminating zero in the file
  m.tracker = "Tracker\x01\xff";
  m.instruments[0].name = "lead  ";  // trailing spaces are the module's own
  m.instruments[0].samples[0].name = "saw";
  XmInstrument second;
  second.name = "empty";
  m.instruments.push_back(second);
  m.patterns.resize(2);
  m.orders = {0, 1, 0};
  SongPtr song = LoadModule(m);
  EXPECT_STREQ(zv_title(song.get()), "Twenty chars exactly");
  EXPECT_STREQ(zv_tracker(song.get()), "Tracker\x01\xff");
  EXPECT_EQ(zv_channels(song.get()), 3);
  EXPECT_EQ(zv_orders(song.get()), 3);
  EXPECT_EQ(zv_patterns(song.get()), 2);
  EXPECT_EQ(zv_instruments(song.get()), 2);
  EXPECT_STREQ(zv_instrument_name(song.get(), 0), "lead  ");
  EXPECT_STREQ(zv_instrument_name(song.get(), 1), "empty");
  EXPECT_EQ(zv_samples(song.get(), 0), 1);
  EXPECT_EQ(zv_samples(song.get(), 1), 0);
  EXPECT_STREQ(zv_sample_name(song.get(), 0, 0), "saw");
}

TEST(ApiTest, PassesEndExactlyAndGoOnForEver) {
  // Four rows, then the song comes back to order 0, row 0.
  SongPtr song = LoadModule(Rows(4));
  const std::uint64_t pass = 4 * kRowFrames;
  EXPECT_EQ(zv_duration(song.get()), static_cast<std::int64_t>(pass));
  int order = -1, row = -1;
  EXPECT_EQ(zv_loop_point(song.get(), &order, &row), ZV_OK);
  EXPECT_EQ(order, 0);
  EXPECT_EQ(row, 0);
  for (const int passes : {1, 3, 0}) {
    SCOPED_TRACE(passes);
    ASSERT_EQ(zv_set_passes(song.get(), passes), ZV_OK);
    ASSERT_EQ(zv_seek(song.get(), 0), ZV_OK);
    const std::uint64_t want = passes == 0 ? 5 * pass : passes * pass;
    std::uint64_t got = 0;
    std::vector<std::int16_t> pcm(2 * 1000);
    while (got < 5 * pass) {
      const std::size_t n = zv_render(song.get(), pcm.data(), std::min<std::uint64_t>(1000, 5 * pass - got));
      if (n == 0) break;
      EXPECT_TRUE(n == 1000 || got + n == want || got + n == 5 * pass) << "a short render before the end";
      got += n;
    }
    EXPECT_EQ(got, want);
    EXPECT_EQ(zv_frame(song.get()), want);
    if (passes != 0) {
      EXPECT_EQ(zv_render(song.get(), pcm.data(), 1000), 0u);
    }
  }
  // Six channels' pattern loops nested like the wheels of a counter: the
  // pass does not end within 2^20 rows, so the song has no duration and no
  // loop point, and renders on.
  XmModule endless = Rows(8, 6);
  for (std::uint16_t c = 0; c < 6; ++c) {
    endless.At(0, 0, c) = {0, 0, 0, 0xE, 0x60};
    endless.At(0, static_cast<std::uint16_t>(c + 1), c) = {0, 0, 0, 0xE, 0x6F};
  }
  SongPtr never = LoadModule(endless);
  EXPECT_EQ(zv_duration(never.get()), -1);
  EXPECT_EQ(zv_loop_point(never.get(), &order, &row), ZV_ERR_RANGE);
  std::vector<std::int16_t> pcm(2 * 5000);
  EXPECT_EQ(zv_render(never.get(), pcm.data(), 5000), 5000u);
}

// A song found its passes once; at every rate it is set to afterwards, in
// any order, its duration and the end of its last pass are the frames
// nearest to where they fall at 44,100 Hz (at 97 BPM a tick is 1,136
// frames at 44,100 Hz, a fraction of a frame at most other rates).
TEST(ApiTest, RateChangesKeepThePassesExact) {
  XmModule module = Rows(5);
  module.bpm = 97;
  SongPtr song = LoadModule(module);
  const std::uint64_t pass = 5 * 6 * 1136;
  ASSERT_EQ(zv_set_passes(song.get(), 3), ZV_OK);
  ASSERT_EQ(zv_duration(song.get()), static_cast<std::int64_t>(pass));
  std::vector<std::int16_t> pcm(2 * 4096);
  for (const int rate : {48000, 8000, 192000, 44100, 22050, 48000}) {
    SCOPED_TRACE(rate);
    ASSERT_EQ(zv_set_rate(song.get(), rate), ZV_OK);
    const auto atRate = [rate](std::uint64_t frame) { return (frame * static_cast<std::uint64_t>(rate) + 22050) / 44100; };
    EXPECT_EQ(zv_duration(song.get()), static_cast<std::int64_t>(atRate(pass)));
    std::uint64_t got = 0;
    while (const std::size_t n = zv_render(song.get(), pcm.data(), 4096)) got += n;
    EXPECT_EQ(got, atRate(3 * pass));
    EXPECT_EQ(zv_seek(song.get(), atRate(3 * pass) + 1), ZV_ERR_RANGE);
  }
}

// The library renders what the engine has always rendered: 30 seconds of
// each of these, by the hashes of the engine's offline render (PCM only).
TEST(ApiTest, RendersTheEnginesBits) {
  const std::map<std::string, std::uint64_t> golden = {
      {"ballz-data--finalman-quickie.xm", 0xb6c6a7a0d4346d4bull},
      {"gemdropx--hr_suds.xm", 0x77fd3ad8ec24e019ull},
      {"njam-data--satisfy.xm", 0xc97e8a2f1c8cfa9ull},
      {"vor--mph.xm", 0xcd8ab230f2afaadcull},
  };
  for (const auto& [name, hash] : golden) {
    SongPtr song = LoadFile(Corpus(name));
    ASSERT_EQ(zv_set_passes(song.get(), 0), ZV_OK);
    const std::uint64_t got = Fnv(Render(song.get(), 30 * 44100));
    EXPECT_EQ(got, hash) << name << ": 0x" << std::hex << got << "ull";
  }
}

// A program that rounds upwards, or flushes small floats to zero as games
// and audio programs often do, gets the same song from the library, and
// its own settings back after every call.
TEST(ApiTest, CallersFloatSettingsChangeNothingAndStay) {
  const std::string name = Corpus("ballz-data--finalman-quickie.xm");
  SongPtr plain = LoadFile(name);
  const std::int64_t duration = zv_duration(plain.get());
  ASSERT_EQ(zv_seek(plain.get(), 20 * 44100 + 5), ZV_OK);
  const auto sought = Render(plain.get(), 44100);
  ASSERT_EQ(zv_set_rate(plain.get(), 48000), ZV_OK);
  const auto at48000 = Render(plain.get(), 48000);

  const int rounding = std::fegetround();
#ifdef __SSE2__
  const unsigned control = _mm_getcsr();
  _mm_setcsr(control | 0x8040);  // flush to zero, denormals are zero
#endif
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
  const auto settingsStay = [](const char* after) {
    EXPECT_EQ(std::fegetround(), FE_UPWARD) << after;
#ifdef __SSE2__
    EXPECT_EQ(_mm_getcsr() & 0xE040, 0xC040u) << after;
#endif
  };
  SongPtr song = LoadFile(name);
  settingsStay("zv_load_file");
  EXPECT_EQ(zv_duration(song.get()), duration);
  settingsStay("zv_duration");
  ASSERT_EQ(zv_set_passes(song.get(), 0), ZV_OK);
  EXPECT_EQ(Fnv(Render(song.get(), 30 * 44100)), 0xb6c6a7a0d4346d4bull);
  settingsStay("zv_render");
  ASSERT_EQ(zv_seek(song.get(), 20 * 44100 + 5), ZV_OK);
  settingsStay("zv_seek");
  EXPECT_TRUE(Render(song.get(), 44100) == sought);
  std::vector<float> floats(2 * 100);
  EXPECT_EQ(zv_render_float(song.get(), floats.data(), 100), 100u);
  settingsStay("zv_render_float");
  EXPECT_EQ(zv_seek_row(song.get(), 1, 0), ZV_OK);
  settingsStay("zv_seek_row");
  int order = -1, row = -1;
  EXPECT_EQ(zv_loop_point(song.get(), &order, &row), ZV_OK);
  settingsStay("zv_loop_point");
  ASSERT_EQ(zv_set_rate(song.get(), 48000), ZV_OK);
  settingsStay("zv_set_rate");
  EXPECT_TRUE(Render(song.get(), 48000) == at48000);

  std::fesetround(rounding);
#ifdef __SSE2__
  _mm_setcsr(control);
#endif
}

// Out of memory, the calls that need memory say so (render gives no
// frames) instead of ending the program, and work once there is memory
// again; a seek without room for keyframes is still exact.
TEST(ApiTest, RunningOutOfMemoryIsAnErrorNotACrash) {
  const std::string name = Corpus("vor--mph.xm");
  SongPtr plain = LoadFile(name);
  const std::int64_t duration = zv_duration(plain.get());
  ASSERT_EQ(zv_seek(plain.get(), 1000000), ZV_OK);
  const auto sought = Render(plain.get(), 4096);

  SongPtr song = LoadFile(name);
  std::int16_t pcm[2 * 100];
  int order = 0, row = 0;
  failAbove = 0;
  const std::int64_t noDuration = zv_duration(song.get());
  const int noLoopPoint = zv_loop_point(song.get(), &order, &row);
  const std::size_t noFrames = zv_render(song.get(), pcm, 100);
  const int noSeek = zv_seek(song.get(), 1000000);
  const int noRow = zv_seek_row(song.get(), 1, 0);
  failAbove = SIZE_MAX;
  EXPECT_EQ(noDuration, ZV_ERR_MEMORY);
  EXPECT_EQ(noLoopPoint, ZV_ERR_MEMORY);
  EXPECT_EQ(noFrames, 0u);
  EXPECT_EQ(noSeek, ZV_ERR_MEMORY);
  EXPECT_EQ(noRow, ZV_ERR_MEMORY);
  EXPECT_EQ(zv_frame(song.get()), 0u);
  EXPECT_EQ(zv_duration(song.get()), duration);

  failAbove = 1 << 20;  // the song's end is found, its keyframes find no room
  const int seek = zv_seek(song.get(), 1000000);
  failAbove = SIZE_MAX;
  EXPECT_EQ(seek, ZV_OK);
  EXPECT_TRUE(Render(song.get(), 4096) == sought);
}

// A file is read through a 64 KB window, and a jump keeps where the block
// began (16 KB): without room for either the call fails as short of
// memory, and the song plays on as it was.
TEST(ApiTest, NoRoomForAFileWindowOrABlockStartIsAMemoryError) {
  const std::string name = Corpus("vor--mph.xm");
  int error = 0;
  zv_song* noWindow = nullptr;  // the song itself (30 KB) fits
  EXPECT_FALSE(ThrowsWithoutMemory((64 << 10) - 1, [&] { noWindow = zv_load_file(name.c_str(), &error); }));
  EXPECT_EQ(noWindow, nullptr);
  EXPECT_EQ(error, ZV_ERR_MEMORY);
  zv_free(noWindow);

  SongPtr plain = LoadFile(name);
  Render(plain.get(), 1000);
  const auto course = Render(plain.get(), 4000);
  SongPtr song = LoadFile(name);
  Render(song.get(), 1000);
  int jump = ZV_OK;
  EXPECT_FALSE(ThrowsWithoutMemory(0, [&] { jump = zv_jump(song.get(), 1, 0); }));
  EXPECT_EQ(jump, ZV_ERR_MEMORY);
  EXPECT_TRUE(Render(song.get(), 4000) == course);
}

TEST(ApiTest, FloatRenderIsTheMixBeforeConversion) {
  SongPtr a = LoadFile(Corpus("gemdropx--hr_suds.xm"));
  SongPtr b = LoadFile(Corpus("gemdropx--hr_suds.xm"));
  const std::size_t frames = 3 * 44100 + 17;
  const auto pcm = Render(a.get(), frames);
  std::vector<float> floats(2 * frames);
  ASSERT_EQ(zv_render_float(b.get(), floats.data(), frames), frames);
  bool beyond = false;
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    const float v = std::nearbyint(floats[i] * 32768.0f);
    const std::int16_t want = v > 32767.0f ? 32767 : (v < -32768.0f ? -32768 : static_cast<std::int16_t>(v));
    ASSERT_EQ(pcm[i], want) << i;
    beyond = beyond || std::fabs(floats[i]) > 1.0f;
  }
  (void)beyond;  // not clipped: values beyond +-1 come through as they are
}

// Seeks forward and back, within and beyond the first pass, on block, tick
// and other frames: what follows is that slice of a whole render.
TEST(ApiTest, SeeksAreExact) {
  for (const char* name : {"flobopuyo--flobopuyo_gameover.xm", "vodovod--walk.xm", "bomberclone-data--zb-tnt.xm"}) {
    SCOPED_TRACE(name);
    SongPtr whole = LoadFile(Corpus(name));
    ASSERT_EQ(zv_set_passes(whole.get(), 3), ZV_OK);
    const std::uint64_t total = std::min<std::uint64_t>(3 * zv_duration(whole.get()), 75 * 44100);
    const auto reference = Render(whole.get(), total);
    ASSERT_EQ(reference.size(), 2 * total);
    SongPtr song = LoadFile(Corpus(name));
    ASSERT_EQ(zv_set_passes(song.get(), 3), ZV_OK);
    const std::uint64_t pass = static_cast<std::uint64_t>(zv_duration(song.get()));
    std::vector<std::uint64_t> starts = {0,        884,        884 * 40,     882 * 37, 882 * 37 + 1, pass,
                                         pass - 1, pass + 883, total - 1000, 12345,    884 * 40 + 10};
    std::mt19937_64 random(7);
    for (int i = 0; i < 12; ++i) starts.push_back(random() % (total - 2000));
    for (const std::uint64_t start : starts) {
      if (start >= total) continue;  // a first pass longer than the render
      SCOPED_TRACE(start);
      ASSERT_EQ(zv_seek(song.get(), start), ZV_OK);
      EXPECT_EQ(zv_frame(song.get()), start);
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(1500, total - start));
      const auto slice = Render(song.get(), n);
      ASSERT_EQ(slice.size(), 2 * n);
      EXPECT_TRUE(std::equal(slice.begin(), slice.end(), reference.begin() + static_cast<std::ptrdiff_t>(2 * start)));
    }
  }
}

TEST(ApiTest, SeekToARowIsWhereItFirstStarts) {
  XmModule m = Rows(8);
  m.At(0, 2, 0).effect = 0xF;
  m.At(0, 2, 0).parameter = 3;  // from row 2 on, 3 ticks a row
  SongPtr song = LoadModule(m);
  ASSERT_EQ(zv_seek_row(song.get(), 0, 5), ZV_OK);
  EXPECT_EQ(zv_frame(song.get()), 2 * kRowFrames + 3 * 3 * 882);
  int order = -1, row = -1;
  ASSERT_EQ(zv_position(song.get(), &order, &row), ZV_OK);
  EXPECT_EQ(order, 0);
  EXPECT_EQ(row, 5);
}

TEST(ApiTest, PositionIsThatOfTheNextFrame) {
  SongPtr song = LoadModule(Rows(4));
  int order = -1, row = -1;
  const struct {
    std::uint64_t frame;
    int row;
  } cases[] = {{0, 0}, {kRowFrames - 1, 0}, {kRowFrames, 1}, {2 * kRowFrames + 884, 2}, {4 * kRowFrames - 1, 3}};
  for (const auto& c : cases) {
    ASSERT_EQ(zv_seek(song.get(), c.frame), ZV_OK);
    ASSERT_EQ(zv_position(song.get(), &order, &row), ZV_OK);
    EXPECT_EQ(row, c.row) << c.frame;
    // Rendering up to the frame leads to the same.
    SongPtr again = LoadModule(Rows(4));
    Render(again.get(), c.frame);
    ASSERT_EQ(zv_position(again.get(), &order, &row), ZV_OK);
    EXPECT_EQ(row, c.row) << c.frame;
  }
}

// A header tempo of 65,535 BPM makes a tick one frame at 44,100 Hz and
// less than a frame at lower rates, where several rows start at one frame:
// the position is still that of the last row started, all through a block.
TEST(ApiTest, PositionKeepsUpWithRowsShorterThanAFrame) {
  XmModule m = Rows(64);
  m.bpm = 65535;
  m.tempo = 1;
  m.orders.assign(256, 0);
  for (const int rate : {44100, 22050, 8000}) {
    SCOPED_TRACE(rate);
    SongPtr song = LoadModule(m);
    ASSERT_EQ(zv_set_rate(song.get(), rate), ZV_OK);
    const auto startFrame = [&](std::uint64_t row) { return (row * static_cast<std::uint64_t>(rate) + 22050) / 44100; };
    for (const std::uint64_t frame : {0, 1, 100, 300, 500, 800, 883, 884, 1000, 1767, 1768}) {
      // Row k (counted over the orders) starts at tick k.
      std::uint64_t k = 0;
      while (startFrame(k + 1) <= frame) ++k;
      // Reached by a seek, and by a render that stops there (at a block's
      // end, the next frame is the first of the next block).
      SongPtr played = LoadModule(m);
      ASSERT_EQ(zv_set_rate(played.get(), rate), ZV_OK);
      ASSERT_EQ(Render(played.get(), frame).size(), 2 * frame);
      ASSERT_EQ(zv_seek(song.get(), frame), ZV_OK);
      for (zv_song* s : {song.get(), played.get()}) {
        int order = -1, row = -1;
        ASSERT_EQ(zv_position(s, &order, &row), ZV_OK);
        EXPECT_EQ(order, static_cast<int>(k / 64)) << frame << (s == song.get() ? " sought" : " rendered");
        EXPECT_EQ(row, static_cast<int>(k % 64)) << frame << (s == song.get() ? " sought" : " rendered");
      }
    }
  }
}

// Two songs in one thread, rendered in turns of uneven lengths, and four in
// four threads: each is what it renders alone.
TEST(ApiTest, SongsShareNothing) {
  const std::vector<std::string> names = {"vor--mph.xm", "njam-data--dali.xm", "flobopuyo--strange_fear.xm",
                                          "solarwolf--arg.xm"};
  const std::size_t frames = 8 * 44100;
  std::vector<std::vector<std::int16_t>> alone;
  for (const auto& name : names) {
    SongPtr song = LoadFile(Corpus(name));
    alone.push_back(Render(song.get(), frames));
  }
  {
    SongPtr a = LoadFile(Corpus(names[0])), b = LoadFile(Corpus(names[1]));
    ASSERT_EQ(zv_set_rate(b.get(), 44100), ZV_OK);
    std::vector<std::int16_t> outA, outB;
    std::mt19937 random(3);
    while (outA.size() < 2 * frames || outB.size() < 2 * frames) {
      for (auto [song, out] : {std::pair{a.get(), &outA}, std::pair{b.get(), &outB}}) {
        const std::size_t want = std::min<std::size_t>(1 + random() % 3000, frames - out->size() / 2);
        const auto part = Render(song, want);
        out->insert(out->end(), part.begin(), part.end());
      }
    }
    EXPECT_EQ(outA, alone[0]);
    EXPECT_EQ(outB, alone[1]);
  }
  std::vector<std::vector<std::int16_t>> threaded(names.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < names.size(); ++i) {
    threads.emplace_back([&, i] {
      int error = 0;
      SongPtr song(zv_load_file(Corpus(names[i]).c_str(), &error));
      if (song == nullptr) return;
      while (threaded[i].size() < 2 * frames) {
        const auto part = Render(song.get(), std::min<std::size_t>(4410, frames - threaded[i].size() / 2));
        threaded[i].insert(threaded[i].end(), part.begin(), part.end());
      }
    });
  }
  for (auto& t : threads) t.join();
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(threaded[i], alone[i]) << names[i];
}

// Muted channels add nothing; the rest, and the muted channels' own state,
// go on exactly, so unmuting brings them back where they would be.
TEST(ApiTest, MutingIsExact) {
  // Channel 0 plays a note, channel 1 another; muting 1 sounds like a module
  // whose channel 1 is empty.
  XmModule both = Rows(16, 2);
  both.At(0, 0, 1) = {kC4 + 7, 1, 0, 0, 0};
  XmModule first = both;
  first.At(0, 0, 1) = {};
  SongPtr muted = LoadModule(both);
  ASSERT_EQ(zv_mute(muted.get(), 1, 1), ZV_OK);
  SongPtr alone = LoadModule(first);
  EXPECT_EQ(Render(muted.get(), 30000), Render(alone.get(), 30000));

  // A corpus module with channel 0 muted for 200 blocks, then unmuted: from
  // the next block on it is the unmuted render.
  SongPtr reference = LoadFile(Corpus("vor--mph.xm"));
  const auto full = Render(reference.get(), 300 * 884);
  SongPtr song = LoadFile(Corpus("vor--mph.xm"));
  ASSERT_EQ(zv_mute(song.get(), 0, 1), ZV_OK);
  const auto during = Render(song.get(), 200 * 884);
  EXPECT_NE(during, std::vector<std::int16_t>(full.begin(), full.begin() + 2 * 200 * 884));
  ASSERT_EQ(zv_mute(song.get(), 0, 0), ZV_OK);
  const auto after = Render(song.get(), 100 * 884);
  EXPECT_TRUE(std::equal(after.begin(), after.end(), full.begin() + 2 * 200 * 884));

  // Mutes and unmutes inside a block take effect at the next frame: what
  // follows is the render with those mutes from the start. The first one
  // seeks back to the block's start, the later ones use where the block
  // began.
  // The same from the song's first block on (its start is frame 0, which
  // is no saved start of it).
  SongPtr mutedFromStart = LoadFile(Corpus("vor--mph.xm"));
  ASSERT_EQ(zv_mute(mutedFromStart.get(), 0, 1), ZV_OK);
  const auto mutedFull = Render(mutedFromStart.get(), 300 * 884);
  for (const auto& schedule : std::vector<std::vector<std::pair<std::size_t, bool>>>{
           {{100000, true}, {3001, false}, {50, true}, {883, false}, {884, true}, {20000, false}, {20000, false}},
           {{100, true}, {200, false}, {0, true}, {1000, false}, {20000, true}, {5000, false}},
           {{883, true}, {1, false}, {884, true}, {5000, false}}}) {
    SongPtr two = LoadFile(Corpus("vor--mph.xm"));
    std::size_t at = 0;
    bool mutedNow = false;
    for (const auto& [frames, mute] : schedule) {
      const auto pcm = Render(two.get(), frames);
      const auto& want = mutedNow ? mutedFull : full;
      EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), want.begin() + 2 * at)) << schedule.front().first << " " << at;
      at += frames;
      ASSERT_EQ(zv_mute(two.get(), 0, mute), ZV_OK);
      mutedNow = mute;
    }
  }
  // A mute where a block ends, then a seek back into that block or one
  // before it: what follows is the muted render.
  for (const std::size_t played : {884 * 101, 884 * 101 + 1}) {
    SongPtr back = LoadFile(Corpus("vor--mph.xm"));
    Render(back.get(), played);
    ASSERT_EQ(zv_mute(back.get(), 0, 1), ZV_OK);
    ASSERT_EQ(zv_seek(back.get(), 884 * 100 + 5), ZV_OK);
    const auto pcm = Render(back.get(), 2000);
    EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), mutedFull.begin() + 2 * (884 * 100 + 5))) << played;
  }

  // Every channel muted: silence.
  SongPtr silent = LoadFile(Corpus("vor--mph.xm"));
  for (int c = 0; c < zv_channels(silent.get()); ++c) ASSERT_EQ(zv_mute(silent.get(), c, 1), ZV_OK);
  const auto pcm = Render(silent.get(), 5 * 44100);
  EXPECT_TRUE(std::all_of(pcm.begin(), pcm.end(), [](std::int16_t v) { return v == 0; }));
}

// A seek after a jump is a seek in the song as it goes without the jump:
// forward and back, to a frame or a row, and the song ends again.
TEST(ApiTest, SeeksAfterAJumpFollowTheSongsOwnCourse) {
  const std::string name = Corpus("vor--mph.xm");
  SongPtr plain = LoadFile(name);
  const std::int64_t duration = zv_duration(plain.get());
  ASSERT_GT(duration, 2000000);
  const auto jumped = [&] {
    SongPtr song = LoadFile(name);
    Render(song.get(), 10000);
    EXPECT_EQ(zv_jump(song.get(), 5, 0), ZV_OK);
    Render(song.get(), 100000);
    return song;
  };
  const auto sameAsPlain = [&](zv_song* song, const char* what) {
    int order = -1, row = -1, plainOrder = -2, plainRow = -2;
    zv_position(song, &order, &row);
    zv_position(plain.get(), &plainOrder, &plainRow);
    EXPECT_EQ(std::make_pair(order, row), std::make_pair(plainOrder, plainRow)) << what;
    EXPECT_EQ(zv_frame(song), zv_frame(plain.get())) << what;
    EXPECT_TRUE(Render(song, 4096) == Render(plain.get(), 4096)) << what;
  };
  for (const std::uint64_t frame : {std::uint64_t{2000000}, std::uint64_t{50000}, std::uint64_t{110000}}) {
    SongPtr song = jumped();
    ASSERT_EQ(zv_seek(song.get(), frame), ZV_OK);
    ASSERT_EQ(zv_seek(plain.get(), frame), ZV_OK);
    sameAsPlain(song.get(), ("seek to " + std::to_string(frame)).c_str());
  }
  SongPtr song = jumped();
  ASSERT_EQ(zv_seek_row(song.get(), 10, 0), ZV_OK);
  ASSERT_EQ(zv_seek_row(plain.get(), 10, 0), ZV_OK);
  sameAsPlain(song.get(), "seek to order 10");
  // Back at the start, one pass ends where the song's does.
  ASSERT_EQ(zv_seek(song.get(), 0), ZV_OK);
  std::vector<std::int16_t> pcm(2 * 100000);
  std::uint64_t frames = 0;
  for (std::size_t n; (n = zv_render(song.get(), pcm.data(), 100000)) > 0 && frames < 20000000;) frames += n;
  EXPECT_EQ(frames, static_cast<std::uint64_t>(duration));
}

TEST(ApiTest, JumpTakesEffectAtTheNextRowWithoutAReset) {
  // Orders 0, 1, 2 name patterns of 4 rows; a jump asked for in row 1 of
  // order 0 goes on at order 2, row 3 when row 1 ends.
  XmModule m = Rows(4);
  m.patterns.resize(3);
  for (auto& p : m.patterns) p.rows = 4;
  m.orders = {0, 1, 2};
  SongPtr song = LoadModule(m);
  Render(song.get(), kRowFrames + 100);
  ASSERT_EQ(zv_jump(song.get(), 2, 3), ZV_OK);
  int order = -1, row = -1;
  ASSERT_EQ(zv_position(song.get(), &order, &row), ZV_OK);
  EXPECT_EQ(std::make_pair(order, row), std::make_pair(0, 1));  // not yet
  Render(song.get(), kRowFrames - 100);
  ASSERT_EQ(zv_position(song.get(), &order, &row), ZV_OK);
  EXPECT_EQ(std::make_pair(order, row), std::make_pair(2, 3));
  EXPECT_EQ(zv_frame(song.get()), 2 * kRowFrames);  // no reset: the frames go on
  // The note of row 0 still sounds: the channel kept its state.
  const auto pcm = Render(song.get(), 2000);
  EXPECT_TRUE(std::any_of(pcm.begin(), pcm.end(), [](std::int16_t v) { return v != 0; }));
  ASSERT_EQ(zv_position(song.get(), &order, &row), ZV_OK);
  EXPECT_EQ(std::make_pair(order, row), std::make_pair(2, 3));
  // It then plays on as the song goes from there (order 2's last row leads
  // back to order 0), and no longer ends where a pass would have.
  Render(song.get(), kRowFrames);
  ASSERT_EQ(zv_position(song.get(), &order, &row), ZV_OK);
  EXPECT_EQ(std::make_pair(order, row), std::make_pair(0, 0));
  EXPECT_EQ(zv_render(song.get(), std::vector<std::int16_t>(2 * 100000).data(), 100000), 100000u);
}

// A jump asked for anywhere before a row's start is taken there, also where
// that row starts inside the block being handed out, and stays asked for
// when mutes change before the row: the whole render is the one whose jump
// was asked for where a block began.
TEST(ApiTest, JumpsInsideABlockTakeTheNextRowStart) {
  // Orders 0, 1, 2 name patterns of 4 rows with notes of their own; row 1
  // of order 0 starts at frame 5,292, inside block 5 (4,420..5,303).
  XmModule m = Rows(4, 2);
  m.patterns.resize(3);
  for (auto& p : m.patterns) p.rows = 4;
  m.orders = {0, 1, 2};
  for (std::uint16_t p = 0; p < 3; ++p) m.At(p, 0, 1) = {static_cast<std::uint8_t>(kC4 + 4 * p + 3), 1, 0, 0, 0};
  const std::size_t total = 4 * kRowFrames;
  const auto jumpedAt = [&](std::size_t at, const std::vector<std::pair<int, int>>& mutesAfter, std::size_t early) {
    SongPtr song = LoadModule(m);
    std::vector<std::int16_t> pcm;
    // (A mute and unmute earlier on: from then on block starts are kept.)
    if (early > 0) {
      pcm = Render(song.get(), early);
      EXPECT_EQ(zv_mute(song.get(), 1, 1), ZV_OK);
      EXPECT_EQ(zv_mute(song.get(), 1, 0), ZV_OK);
    }
    const auto before = Render(song.get(), at - early);
    pcm.insert(pcm.end(), before.begin(), before.end());
    EXPECT_EQ(zv_jump(song.get(), 2, 0), ZV_OK);
    for (const auto& [channel, muted] : mutesAfter) EXPECT_EQ(zv_mute(song.get(), channel, muted), ZV_OK);
    const auto after = Render(song.get(), total - at);
    pcm.insert(pcm.end(), after.begin(), after.end());
    return pcm;
  };
  const auto reference = jumpedAt(4420, {}, 0);
  ASSERT_EQ(reference.size(), 2 * total);
  EXPECT_NE(reference, Render(LoadModule(m).get(), total));  // the jump is heard
  const struct {
    std::size_t at;
    std::vector<std::pair<int, int>> mutes;
    std::size_t early;
  } cases[] = {
      {4500, {}, 0},                // a row starts later in the block
      {5291, {}, 0},                // on the frame before the row
      {5292, {}, 0},                // on the row's first frame
      {4500, {{1, 1}, {1, 0}}, 0},  // mutes change after the jump, in the block
      {100, {{1, 1}, {1, 0}}, 0},   // ... in the first block, rows away from the row
      {4500, {}, 2000},             // block starts kept
      {4500, {{0, 1}, {0, 0}}, 2000},
      {2650, {{1, 1}, {1, 0}}, 2000},  // no tick starts in the rest of the block
  };
  for (const auto& c : cases) {
    const auto pcm = jumpedAt(c.at, c.mutes, c.early);
    EXPECT_TRUE(pcm == reference) << "jump at " << c.at << ", " << c.mutes.size() << " mutes, early " << c.early;
  }
}

// The same song at 48,000 Hz, brought to 44,100 Hz, sounds like the one at
// 44,100 Hz; its ticks last as long.
TEST(ApiTest, OtherRatesSoundTheSame) {
  for (const std::string& file : CorpusFiles()) {
    SCOPED_TRACE(file);
    SongPtr a = LoadFile(file), b = LoadFile(file);
    ASSERT_EQ(zv_set_rate(b.get(), 48000), ZV_OK);
    const double seconds = 10;
    std::vector<float> x(2 * static_cast<std::size_t>(seconds * 44100)),
        y(2 * static_cast<std::size_t>(seconds * 48000));
    ASSERT_EQ(zv_render_float(a.get(), x.data(), x.size() / 2), x.size() / 2);
    ASSERT_EQ(zv_render_float(b.get(), y.data(), y.size() / 2), y.size() / 2);
    // Linear interpolation of the 48,000 Hz render at the 44,100 Hz frames.
    double sxy = 0, sxx = 0, syy = 0;
    for (std::size_t f = 0; f + 1 < x.size() / 2; ++f) {
      const double at = static_cast<double>(f) * 48000.0 / 44100.0;
      const auto i = static_cast<std::size_t>(at);
      if (i + 1 >= y.size() / 2) break;
      const double w = at - static_cast<double>(i);
      for (int c = 0; c < 2; ++c) {
        const double v = y[2 * i + c] * (1 - w) + y[2 * (i + 1) + c] * w;
        sxy += x[2 * f + c] * v;
        sxx += x[2 * f + c] * static_cast<double>(x[2 * f + c]);
        syy += v * v;
      }
    }
    if (sxx == 0 && syy == 0) continue;  // silent at the start
    EXPECT_GT(sxy / std::sqrt(sxx * syy), 0.99);
    // Every tick ends at the frame nearest to where it ends at 44,100 Hz.
    if (zv_duration(a.get()) > 0) {
      EXPECT_EQ(zv_duration(b.get()), (zv_duration(a.get()) * 48000 + 22050) / 44100);
    }
  }
}

// After a jump the song cannot be sought back to the block being handed
// out, so mutes and jumps later in that block go on from where it began:
// each takes effect at the next frame (or row start) as if asked for where
// the block began, also in the jump's own block when no row starts in the
// rest of it, and in a module whose E5 effects write into its samples.
TEST(ApiTest, MutesAndJumpsAfterAJumpTakeEffectInTheBlock) {
  struct Step {
    std::size_t at;
    bool jump;
    int a, b;  // order and row, or channel and muted
  };
  struct Case {
    const char* name;
    std::vector<Step> steps, reference;  // the reference asks for the same where blocks begin
    std::size_t from;                    // the frames compared begin here
  };
  // Blocks begin at 1,768, 2,652 and 4,420; rows at 0 and 5,292.
  const Case cases[] = {
      {"a mute in the jump's block",
       {{2000, true, 2, 0}, {2000, false, 1, 1}},
       {{1768, false, 1, 1}, {2000, true, 2, 0}},
       2000},
      {"a mute blocks later", {{100, true, 2, 0}, {3000, false, 1, 1}}, {{100, true, 2, 0}, {2652, false, 1, 1}}, 3000},
      {"a second jump blocks later",
       {{100, true, 1, 0}, {4500, true, 0, 2}},
       {{100, true, 1, 0}, {4420, true, 0, 2}},
       0},
      {"a mute without a jump", {{3000, false, 1, 1}}, {{2652, false, 1, 1}}, 3000},
  };
  XmModule m = Rows(4, 2);
  m.patterns.resize(3);
  for (auto& p : m.patterns) p.rows = 4;
  m.orders = {0, 1, 2};
  for (std::uint16_t p = 0; p < 3; ++p) m.At(p, 0, 1) = {static_cast<std::uint8_t>(kC4 + 4 * p + 3), 1, 0, 0, 0};
  XmModule finetunes = m;
  finetunes.At(1, 3, 0) = {0, 0, 0, 0xE, 0x58};  // E58: the sample's finetune becomes -64
  const std::size_t total = 8 * kRowFrames;
  const auto play = [total](const XmModule& module, const std::vector<Step>& steps) {
    SongPtr song = LoadModule(module);
    EXPECT_EQ(zv_set_passes(song.get(), 0), ZV_OK);
    std::vector<std::int16_t> pcm;
    for (const Step& step : steps) {
      const auto part = Render(song.get(), step.at - pcm.size() / 2);
      pcm.insert(pcm.end(), part.begin(), part.end());
      EXPECT_EQ(step.jump ? zv_jump(song.get(), step.a, step.b) : zv_mute(song.get(), step.a, step.b), ZV_OK);
    }
    const auto rest = Render(song.get(), total - pcm.size() / 2);
    pcm.insert(pcm.end(), rest.begin(), rest.end());
    return pcm;
  };
  const auto same = [&](const XmModule& module, const Case& c) {
    const auto got = play(module, c.steps), want = play(module, c.reference);
    EXPECT_EQ(got.size(), 2 * total);
    EXPECT_EQ(want.size(), 2 * total);
    return got.size() == want.size() &&
           std::equal(got.begin() + 2 * std::min(c.from, total), got.end(), want.begin() + 2 * std::min(c.from, total));
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(same(m, c)) << c.name;
    EXPECT_TRUE(same(finetunes, c)) << "E5: " << c.name;
  }
  // One tick a row of 432 frames: the note of row 3 (frame 1,296) takes the
  // sample's finetune before row 4's E58 (frame 1,728) changes it, in the
  // block of 884..1,767. A mute at 1,750, with block starts kept since an
  // earlier mute, mixes that block again from its start: the note sounds
  // as it did, not with the finetune it left.
  XmModule fast = Rows(8, 2);
  fast.tempo = 1;
  fast.bpm = 255;
  fast.At(0, 3, 0) = {kC4 + 5, 1, 0, 0, 0};
  fast.At(0, 4, 1) = {0, 0, 0, 0xE, 0x58};
  // Rows of 432 frames: a jump asked for at 1,000 is taken at 1,296, in the
  // block of 884..1,767; a second one, asked for at 1,500 and taken at
  // 1,728, mixes the block again and keeps the first where it was taken.
  XmModule quick = m;
  quick.tempo = 1;
  quick.bpm = 255;
  const Case quickCases[] = {
      {"two jumps taken in one block",
       {{1000, true, 1, 0}, {1500, true, 2, 0}},
       {{884, true, 1, 0}, {1500, true, 2, 0}},
       0},
      {"... with block starts kept",
       {{10, false, 1, 1}, {10, false, 1, 0}, {1000, true, 1, 0}, {1500, true, 2, 0}},
       {{10, false, 1, 1}, {10, false, 1, 0}, {884, true, 1, 0}, {1500, true, 2, 0}},
       0},
      {"... and a mute between them",
       {{1000, true, 1, 0}, {1400, false, 0, 1}, {1500, true, 2, 0}},
       {{884, true, 1, 0}, {884, false, 0, 1}, {1500, true, 2, 0}},
       1400},
  };
  for (const Case& c : quickCases) EXPECT_TRUE(same(quick, c)) << c.name;
  EXPECT_TRUE(same(fast, {"a mute after E5 in the block",
                          {{10, false, 1, 1}, {10, false, 1, 0}, {1750, false, 1, 1}},
                          {{10, false, 1, 1}, {10, false, 1, 0}, {884, false, 1, 1}},
                          1750}));
}

// A jump not yet taken when the song is sought, or set to a rate, is
// dropped: the song goes on along its own course and ends where it ends.
TEST(ApiTest, ASeekOrARateDropsAJumpNotYetTaken) {
  XmModule m = Rows(4);
  m.patterns.resize(3);
  for (auto& p : m.patterns) p.rows = 4;
  m.orders = {0, 1, 2};
  m.At(2, 0, 0) = {kC4 + 7, 1, 0, 0, 0};
  SongPtr plain = LoadModule(m);
  const auto whole = Render(plain.get(), 100 * kRowFrames);
  ASSERT_EQ(whole.size(), 2 * 12 * kRowFrames);
  for (const bool seek : {true, false}) {
    SongPtr song = LoadModule(m);
    Render(song.get(), 100);
    ASSERT_EQ(zv_jump(song.get(), 2, 0), ZV_OK);
    ASSERT_EQ(seek ? zv_seek(song.get(), 100) : zv_set_rate(song.get(), 44100), ZV_OK);
    const std::size_t from = seek ? 100 : 0;
    EXPECT_TRUE(Render(song.get(), 100 * kRowFrames) ==
                std::vector<std::int16_t>(whole.begin() + 2 * from, whole.end()))
        << (seek ? "seek" : "rate");
  }
}

// A seek to a row reads the song only up to where the row first starts,
// not every pass that is rendered: of a song whose pass has a million
// rows (2.9 hours), played twice, a row near the start is found in a
// small part of the time one pass's scan takes.
TEST(ApiTest, ASeekToAnEarlyRowReadsOnlyUpToIt) {
  // One tick a row; both channels loop the 256-row pattern 16 times.
  XmModule m = Rows(256, 2);
  m.tempo = 1;
  for (std::uint16_t c = 0; c < 2; ++c) {
    m.At(0, 0, c) = {0, 0, 0, 0xE, 0x60};
    m.At(0, 255, c) = {0, 0, 0, 0xE, 0x6F};
  }
  m.orders.assign(256, 0);
  const auto seconds = [](const auto& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  SongPtr song = LoadModule(m);
  const double onePass = seconds([&] { EXPECT_EQ(zv_duration(song.get()), 256 * 4096 * std::int64_t{882}); });
  ASSERT_EQ(zv_set_passes(song.get(), 2), ZV_OK);
  ASSERT_EQ(zv_render(song.get(), nullptr, 0), 0u);  // both passes' ends found
  const double seek = seconds([&] { EXPECT_EQ(zv_seek_row(song.get(), 0, 5), ZV_OK); });
  EXPECT_EQ(zv_frame(song.get()), 5u * 882);
  EXPECT_LT(seek, onePass / 4) << "the seek took " << seek << " s, one pass's scan " << onePass << " s";
}

}  // namespace
