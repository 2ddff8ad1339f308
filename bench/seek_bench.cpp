// Seek speed through libzevora: for every module in the folders given, the
// time zv_seek takes from a freshly loaded song (played for ever) to a frame
// at the minute asked for (30 by default), against the time zv_render takes
// for the same span. Times are this thread's CPU clock and the wall clock,
// each the least of its rounds; a check that the seek landed where the
// render did compares the next block of both.
//
// usage: seek_bench [--minute M] [--rounds R] [--render-rounds R] FOLDER...
#include <zevora/zevora.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kRate = 44100;
constexpr std::size_t kCallFrames = 4096;
constexpr std::size_t kCheckFrames = 4096;

struct Times {
  double cpu = std::numeric_limits<double>::infinity();
  double wall = std::numeric_limits<double>::infinity();
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

zv_song* Load(const std::vector<std::uint8_t>& bytes) {
  int error = 0;
  zv_song* song = zv_load_memory(bytes.data(), bytes.size(), &error);
  if (song != nullptr && zv_set_passes(song, 0) != ZV_OK) {
    zv_free(song);
    return nullptr;
  }
  return song;
}

// Runs `work` on a fresh song and keeps the least times; the song's next
// frames after the work go to `next`.
template <typename Work>
bool Measure(const std::vector<std::uint8_t>& bytes, int rounds, Times& times, std::vector<std::int16_t>& next,
             Work work) {
  for (int r = 0; r < rounds; ++r) {
    zv_song* song = Load(bytes);
    if (song == nullptr) return false;
    const double cpu = ThreadCpuSeconds(), wall = WallSeconds();
    const bool ok = work(song);
    times.cpu = std::min(times.cpu, ThreadCpuSeconds() - cpu);
    times.wall = std::min(times.wall, WallSeconds() - wall);
    next.assign(2 * kCheckFrames, 0);
    const bool read = zv_render(song, next.data(), kCheckFrames) == kCheckFrames;
    zv_free(song);
    if (!ok || !read) return false;
  }
  return true;
}

bool ParseCount(const char* text, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= 1 && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
  long minute = 30, rounds = 5, renderRounds = 1;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    long* target = arg == "--minute"          ? &minute
                   : arg == "--rounds"        ? &rounds
                   : arg == "--render-rounds" ? &renderRounds
                                              : nullptr;
    if (target != nullptr && i + 1 < argc) {
      if (!ParseCount(argv[++i], 1000, *target)) {
        std::fprintf(stderr, "seek_bench: %s takes a count from 1, not '%s'\n", arg.c_str(), argv[i]);
        return 2;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "usage: seek_bench [--minute M] [--rounds R] [--render-rounds R] FOLDER...\n");
      return 2;
    } else {
      folders.push_back(arg);
    }
  }
  std::vector<std::filesystem::path> files;
  for (const std::string& folder : folders) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
      if (entry.path().extension() == ".xm") files.push_back(entry.path());
    if (error) {
      std::fprintf(stderr, "seek_bench: cannot read %s: %s\n", folder.c_str(), error.message().c_str());
      return 2;
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "seek_bench: no modules (give folders of .xm files)\n");
    return 2;
  }

  const std::uint64_t target = static_cast<std::uint64_t>(minute) * 60 * kRate;
  std::printf("seek to minute %ld (frame %llu) of a fresh song; least of %ld seeks and %ld renders\n", minute,
              static_cast<unsigned long long>(target), rounds, renderRounds);
  std::printf("%-48s %3s %10s %10s %11s %11s %8s\n", "module", "ch", "seek cpu", "seek wall", "render cpu",
              "render wall", "ratio");
  double seekTotal = 0, renderTotal = 0, slowest = 0, lowestRatio = std::numeric_limits<double>::infinity();
  std::vector<std::int16_t> buffer(2 * kCallFrames);
  int failures = 0;
  for (const auto& file : files) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    zv_song* probe = Load(bytes);
    if (probe == nullptr) {
      std::fprintf(stderr, "seek_bench: %s does not load\n", file.c_str());
      return 1;
    }
    const int channels = zv_channels(probe);
    zv_free(probe);

    Times seek, render;
    std::vector<std::int16_t> afterSeek, afterRender;
    const bool seeked = Measure(bytes, static_cast<int>(rounds), seek, afterSeek,
                                [&](zv_song* song) { return zv_seek(song, target) == ZV_OK; });
    const bool rendered = Measure(bytes, static_cast<int>(renderRounds), render, afterRender, [&](zv_song* song) {
      for (std::uint64_t done = 0; done < target;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kCallFrames, target - done));
        if (zv_render(song, buffer.data(), n) != n) return false;
        done += n;
      }
      return true;
    });
    if (!seeked || !rendered || afterSeek != afterRender) {
      std::fprintf(stderr, "seek_bench: %s: the seek %s\n", file.filename().c_str(),
                   !seeked || !rendered ? "or the render failed" : "landed elsewhere than the render");
      ++failures;
    }
    const double ratio = render.cpu / seek.cpu;
    seekTotal += seek.cpu;
    renderTotal += render.cpu;
    slowest = std::max(slowest, seek.cpu);
    lowestRatio = std::min(lowestRatio, ratio);
    std::printf("%-48.48s %3d %7.1f ms %7.1f ms %8.0f ms %8.0f ms %7.1fx\n", file.stem().c_str(), channels,
                seek.cpu * 1e3, seek.wall * 1e3, render.cpu * 1e3, render.wall * 1e3, ratio);
  }
  std::printf("all: seeks %.0f ms, renders %.0f ms (%.1fx); slowest seek %.1f ms, lowest ratio %.1fx\n",
              seekTotal * 1e3, renderTotal * 1e3, renderTotal / seekTotal, slowest * 1e3, lowestRatio);
  return failures == 0 ? 0 : 1;
}
