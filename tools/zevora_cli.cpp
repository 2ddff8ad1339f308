// zevora-cli: module information, offline rendering to WAV, and headless
// playback through the sound device.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "offline_render.h"
#include "player.h"
#include "resources.h"
#include "wav_writer.h"

#ifdef ZEVORA_HAVE_SDL
int PlayCommand(const char* file, double seconds, double volumeDb, const double* eqGain, const double* gargleRate);
#endif

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: zevora-cli info FILE\n"
               "       zevora-cli render [FILE] -o OUT.wav [--seconds S | --blocks N] [--positions OUT.csv]\n"
               "       zevora-cli play [FILE] [--seconds S] [--volume DB] [--eq GAIN_DB] [--gargle RATE_HZ]\n");
}

// One line on standard error naming the file and, where known, the reason.
}  // namespace

int LoadFailureMessage(const char* file) {
  struct stat info {};
  if (::stat(file, &info) != 0) {
    std::fprintf(stderr, "zevora-cli: %s: cannot open (%s)\n", file, std::strerror(errno));
  } else if (S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "zevora-cli: %s: cannot open (is a directory)\n", file);
  } else {
    std::FILE* f = std::fopen(file, "rb");
    if (f == nullptr) {
      std::fprintf(stderr, "zevora-cli: %s: cannot open (%s)\n", file, std::strerror(errno));
      return 1;
    }
    std::fclose(f);
    std::fprintf(stderr, "zevora-cli: %s: %s\n", file, LoadErrorText(LastLoadError()));
  }
  return 1;
}

namespace {

bool ParseNumber(const char* text, double& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0;
}

int Info(int argc, char** argv) {
  if (argc != 3) {
    Usage();
    return 2;
  }
  const char* file = argv[2];
  if (!OpenAndLoadModule(file, 0, kSourceFile)) {
    FreeModule();
    return LoadFailureMessage(file);
  }
  const std::string json = ModuleJson() + "\n";
  std::fwrite(json.data(), 1, json.size(), stdout);
  FreeModule();
  return 0;
}

int Render(int argc, char** argv) {
  const char* file = nullptr;
  std::string out, positions;
  double seconds = 60;
  long long blocks = -1;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-o" && hasValue) {
      out = argv[++i];
    } else if (arg == "--positions" && hasValue) {
      positions = argv[++i];
    } else if (arg == "--seconds" && hasValue) {
      if (!ParseNumber(argv[++i], seconds) || seconds < 0) return Usage(), 2;
    } else if (arg == "--blocks" && hasValue) {
      double n = 0;
      if (!ParseNumber(argv[++i], n) || n < 0) return Usage(), 2;
      blocks = static_cast<long long>(n);
    } else if (arg[0] != '-' && file == nullptr) {
      file = argv[i];
    } else {
      Usage();
      return 2;
    }
  }
  if (out.empty()) {
    Usage();
    return 2;
  }
  const std::uint64_t total = blocks >= 0 ? static_cast<std::uint64_t>(blocks) : BlocksForSeconds(seconds);

  WavWriter wav(out);
  std::string csv;
  bool writeFailed = false;
  bool opened = false;
  // Blocks that follow one another in the ring are written in one piece,
  // straight from the ring, before the renderer reuses any of it.
  const std::int16_t* run = nullptr;
  std::uint32_t runBytes = 0;
  const auto flush = [&] {
    if (runBytes != 0 && !wav.Write(run, runBytes)) writeFailed = true;
    run = nullptr;
    runBytes = 0;
    return !writeFailed;
  };
  const auto sink = [&](std::uint64_t k, const std::int16_t* pcm, PositionLogEntry entry) {
    if (!opened) {
      opened = true;
      if (!wav.Open(total * kBlockBytes)) return writeFailed = true, false;
    }
    if (run != nullptr &&
        reinterpret_cast<const std::uint8_t*>(run) + runBytes != reinterpret_cast<const std::uint8_t*>(pcm))
      if (!flush()) return false;
    if (run == nullptr) run = pcm;
    runBytes += kBlockBytes;
    if ((k % kRingBlocks == kRingBlocks - 1 || k + 1 == total) && !flush()) return false;
    if (!positions.empty())
      csv += std::to_string(k) + "," + std::to_string(entry.songPosition & 255) + "," +
             std::to_string(entry.songPosition >> 8) + "," + std::to_string(entry.elapsedMs) + "\n";
    return true;
  };
  const HRESULT result = file ? RenderOffline(file, 0, kSourceFile, total, sink)
                              : RenderOffline(kDemoModuleName, 0, kSourceResource, total, sink);
  if (result < 0 && !writeFailed) {
    if (file) return LoadFailureMessage(file);
    std::fprintf(stderr, "zevora-cli: built-in demo: %s\n", LoadErrorText(LastLoadError()));
    return 1;
  }
  if (!opened && !writeFailed) writeFailed = !wav.Open();
  if (writeFailed || !wav.Commit()) {
    std::fprintf(stderr, "zevora-cli: %s: cannot write (%s)\n", out.c_str(), std::strerror(errno));
    return 1;
  }
  if (!positions.empty()) {
    std::FILE* csvFile = std::fopen(positions.c_str(), "wb");
    const bool written = csvFile != nullptr && std::fwrite(csv.data(), 1, csv.size(), csvFile) == csv.size();
    if ((csvFile != nullptr && std::fclose(csvFile) != 0) || !written) {
      std::fprintf(stderr, "zevora-cli: %s: cannot write\n", positions.c_str());
      return 1;
    }
  }
  return 0;
}

int Play(int argc, char** argv) {
#ifdef ZEVORA_HAVE_SDL
  const char* file = nullptr;
  double seconds = -1, volume = 0, eq = 0, gargle = 0;
  bool haveEq = false, haveGargle = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    double* target = nullptr;
    if (arg == "--seconds" && hasValue)
      target = &seconds;
    else if (arg == "--volume" && hasValue)
      target = &volume;
    else if (arg == "--eq" && hasValue)
      target = &eq, haveEq = true;
    else if (arg == "--gargle" && hasValue)
      target = &gargle, haveGargle = true;
    else if (arg[0] != '-' && file == nullptr) {
      file = argv[i];
      continue;
    } else {
      Usage();
      return 2;
    }
    if (!ParseNumber(argv[++i], *target)) return Usage(), 2;
  }
  return PlayCommand(file, seconds, volume, haveEq ? &eq : nullptr, haveGargle ? &gargle : nullptr);
#else
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "zevora-cli: built without audio output\n");
  return 1;
#endif
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 2;
  }
  const std::string command = argv[1];
  if (command == "info") return Info(argc, argv);
  if (command == "render") return Render(argc, argv);
  if (command == "play") return Play(argc, argv);
  Usage();
  return 2;
}
