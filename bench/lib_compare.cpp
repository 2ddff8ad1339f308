// Renders the same modules into memory with libzevora, libopenmpt and libxmp
// in this one process, through each library's own public interface, and
// prints the CPU time (this thread's CPU clock, from loading the module to
// freeing it) per minute of audio: Zevora at 44,100 and 48,000 Hz, the other
// two at 44,100 Hz with linear interpolation and with their defaults. The
// renders alternate over rounds (every library once per module and round)
// and each figure is the least of its rounds. Zevora mixes by the path
// ZEVORA_MIX_PATH forces (plain, avx2, avx512), or its widest.
//
// usage: lib_compare [--seconds S] [--rounds R] [--only zevora|peers] [--tsv FILE] FOLDER...
// (--only zevora: Zevora's figures alone, as for a profiler.)
#include <libopenmpt/libopenmpt.h>
#include <xmp.h>
#include <zevora/zevora.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kCallFrames = 4096;  // frames a render call asks for, as an audio callback would

struct Module {
  std::string folder;
  std::string name;
  std::vector<std::uint8_t> bytes;
  int channels = 0;
};

enum class Library { kZevora, kOpenmpt, kXmp };

struct Setup {
  const char* label;
  Library library;
  int rate;
  bool linear;  // linear interpolation set explicitly; else the library's default
};

// What a render job returns: false with a message on any failure.
struct Outcome {
  bool ok = true;
  std::string error;
};

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

Outcome RenderZevora(const Module& m, int rate, std::int16_t* out, std::size_t frames) {
  int error = 0;
  zv_song* song = zv_load_memory(m.bytes.data(), m.bytes.size(), &error);
  if (song == nullptr) return {false, zv_strerror(error)};
  Outcome result;
  if (zv_set_rate(song, rate) != ZV_OK || zv_set_passes(song, 0) != ZV_OK) {
    result = {false, "settings refused"};
  } else {
    for (std::size_t done = 0; done < frames;) {
      const std::size_t n = std::min(kCallFrames, frames - done);
      if (zv_render(song, out + 2 * done, n) != n) {
        result = {false, "rendered fewer frames than asked"};
        break;
      }
      done += n;
    }
  }
  zv_free(song);
  return result;
}

Outcome RenderOpenmpt(const Module& m, int rate, bool linear, std::int16_t* out, std::size_t frames) {
  int error = 0;
  openmpt_module* mod = openmpt_module_create_from_memory2(m.bytes.data(), m.bytes.size(), nullptr, nullptr, nullptr,
                                                           nullptr, &error, nullptr, nullptr);
  if (mod == nullptr) return {false, "libopenmpt could not load it (error " + std::to_string(error) + ")"};
  Outcome result;
  openmpt_module_set_repeat_count(mod, -1);
  if (linear && !openmpt_module_set_render_param(mod, OPENMPT_MODULE_RENDER_INTERPOLATIONFILTER_LENGTH, 2)) {
    result = {false, "libopenmpt refused linear interpolation"};
  } else {
    for (std::size_t done = 0; done < frames;) {
      const std::size_t n = std::min(kCallFrames, frames - done);
      if (openmpt_module_read_interleaved_stereo(mod, rate, n, out + 2 * done) != n) {
        result = {false, "libopenmpt rendered fewer frames than asked"};
        break;
      }
      done += n;
    }
  }
  openmpt_module_destroy(mod);
  return result;
}

Outcome RenderXmp(const Module& m, int rate, bool linear, std::int16_t* out, std::size_t frames) {
  xmp_context context = xmp_create_context();
  if (context == nullptr) return {false, "libxmp: no context"};
  Outcome result;
  // libxmp takes a non-const pointer but does not write through it.
  if (xmp_load_module_from_memory(context, const_cast<std::uint8_t*>(m.bytes.data()),
                                  static_cast<long>(m.bytes.size())) != 0) {
    result = {false, "libxmp could not load it"};
  } else {
    if (xmp_start_player(context, rate, 0) != 0) {
      result = {false, "libxmp could not start"};
    } else {
      if (linear && xmp_set_player(context, XMP_PLAYER_INTERP, XMP_INTERP_LINEAR) != 0) {
        result = {false, "libxmp refused linear interpolation"};
      } else {
        for (std::size_t done = 0; done < frames;) {
          const std::size_t n = std::min(kCallFrames, frames - done);
          // Loop count 0: the module plays on past its end for ever.
          if (xmp_play_buffer(context, out + 2 * done, static_cast<int>(n * 4), 0) != 0) {
            result = {false, "libxmp stopped"};
            break;
          }
          done += n;
        }
      }
      xmp_end_player(context);
    }
    xmp_release_module(context);
  }
  xmp_free_context(context);
  return result;
}

Outcome Render(const Setup& setup, const Module& m, std::int16_t* out, std::size_t frames) {
  switch (setup.library) {
    case Library::kZevora: return RenderZevora(m, setup.rate, out, frames);
    case Library::kOpenmpt: return RenderOpenmpt(m, setup.rate, setup.linear, out, frames);
    case Library::kXmp: return RenderXmp(m, setup.rate, setup.linear, out, frames);
  }
  return {false, "no such library"};
}

// libxmp's default interpolation, as a fresh player reports it.
int XmpDefaultInterpolation(const Module& m) {
  xmp_context context = xmp_create_context();
  int interpolation = -1;
  if (xmp_load_module_from_memory(context, const_cast<std::uint8_t*>(m.bytes.data()),
                                  static_cast<long>(m.bytes.size())) == 0) {
    if (xmp_start_player(context, 44100, 0) == 0) {
      interpolation = xmp_get_player(context, XMP_PLAYER_INTERP);
      xmp_end_player(context);
    }
    xmp_release_module(context);
  }
  xmp_free_context(context);
  return interpolation;
}

bool ReadModules(const std::vector<std::string>& folders, std::vector<Module>& modules) {
  for (const std::string& folder : folders) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
      if (entry.path().extension() == ".xm") files.push_back(entry.path());
    if (error) {
      std::fprintf(stderr, "lib_compare: cannot read %s: %s\n", folder.c_str(), error.message().c_str());
      return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      Module m;
      m.folder = std::filesystem::path(folder).filename().string();
      m.name = file.stem().string();
      m.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      int error = 0;
      zv_song* song = zv_load_memory(m.bytes.data(), m.bytes.size(), &error);
      if (song == nullptr) {
        std::fprintf(stderr, "lib_compare: %s: %s\n", file.c_str(), zv_strerror(error));
        return false;
      }
      m.channels = zv_channels(song);
      zv_free(song);
      modules.push_back(std::move(m));
    }
  }
  return true;
}

bool ParseCount(const char* text, long low, long high, long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

const char* MixPathName() {
  const char* forced = std::getenv("ZEVORA_MIX_PATH");
  if (forced != nullptr && *forced != '\0') return forced;
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl"))
    return "avx512 (widest)";
  return __builtin_cpu_supports("avx2") ? "avx2 (widest)" : "plain (widest)";
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = 300, rounds = 3;
  std::string tsv, only;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--seconds" || arg == "--rounds" || arg == "--tsv" || arg == "--only") && i + 1 < argc) {
      const char* value = argv[++i];
      if (arg == "--tsv") {
        tsv = value;
      } else if (arg == "--only") {
        only = value;
        if (only != "zevora" && only != "peers") {
          std::fprintf(stderr, "lib_compare: --only takes zevora or peers, not '%s'\n", value);
          return 2;
        }
      } else if (!ParseCount(value, 1, arg == "--seconds" ? 3600 : 100, arg == "--seconds" ? seconds : rounds)) {
        std::fprintf(stderr, "lib_compare: %s takes a count, not '%s'\n", arg.c_str(), value);
        return 2;
      }
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr,
                   "usage: lib_compare [--seconds S] [--rounds R] [--only zevora|peers] [--tsv FILE] FOLDER...\n");
      return 2;
    } else {
      folders.push_back(arg);
    }
  }
  std::vector<Module> modules;
  if (folders.empty() || !ReadModules(folders, modules) || modules.empty()) {
    std::fprintf(stderr, "lib_compare: no modules (give folders of .xm files)\n");
    return 2;
  }

  std::vector<Setup> setups = {
      {"zevora-44k", Library::kZevora, 44100, true},      {"zevora-48k", Library::kZevora, 48000, true},
      {"openmpt-linear", Library::kOpenmpt, 44100, true}, {"openmpt-default", Library::kOpenmpt, 44100, false},
      {"xmp-linear", Library::kXmp, 44100, true},         {"xmp-default", Library::kXmp, 44100, false},
  };
  // Where libxmp's default is linear interpolation the two setups are one.
  const bool xmpDefaultIsLinear = XmpDefaultInterpolation(modules[0]) == XMP_INTERP_LINEAR;
  if (xmpDefaultIsLinear) setups.pop_back();

  const auto wanted = [&only](const Setup& s) {
    return only.empty() || (only == "zevora") == (s.library == Library::kZevora);
  };
  const bool ratios = only.empty();

  // One output buffer for every render, its pages touched before timing.
  const std::size_t maxFrames = static_cast<std::size_t>(seconds) * 48000;
  std::vector<std::int16_t> out(2 * maxFrames, 1);

  const double inf = std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> best(modules.size(), std::vector<double>(setups.size(), inf));
  for (long round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < modules.size(); ++i) {
      for (std::size_t k = 0; k < setups.size(); ++k) {
        if (!wanted(setups[k])) continue;
        const std::size_t frames = static_cast<std::size_t>(seconds) * static_cast<std::size_t>(setups[k].rate);
        const double start = ThreadCpuSeconds();
        const Outcome outcome = Render(setups[k], modules[i], out.data(), frames);
        const double used = ThreadCpuSeconds() - start;
        if (!outcome.ok) {
          std::fprintf(stderr, "lib_compare: %s/%s, %s: %s\n", modules[i].folder.c_str(), modules[i].name.c_str(),
                       setups[k].label, outcome.error.c_str());
          return 1;
        }
        best[i][k] = std::min(best[i][k], used);
      }
    }
    std::fprintf(stderr, "round %ld of %ld done\n", round + 1, rounds);
  }

  // CPU seconds per minute of audio.
  const double perMinute = 60.0 / static_cast<double>(seconds);
  std::printf("Zevora mix path: %s; %ld s of each module, least of %ld rounds; CPU seconds per audio minute\n",
              MixPathName(), seconds, rounds);
  if (xmpDefaultIsLinear) std::printf("(libxmp's default interpolation is linear: xmp-linear is also its default)\n");
  std::printf("%-52s %3s", "module", "ch");
  for (const Setup& s : setups) std::printf(" %15s", s.label);
  std::printf(" %12s\n", "peer/zevora");
  const std::size_t openmptLinear = 2, xmpLinear = 4;
  std::vector<double> total(setups.size(), 0.0);
  double lowest = inf, highest = 0.0;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    const std::string name = modules[i].folder + "/" + modules[i].name;
    std::printf("%-52.52s %3d", name.c_str(), modules[i].channels);
    for (std::size_t k = 0; k < setups.size(); ++k) {
      if (wanted(setups[k]))
        std::printf(" %15.4f", best[i][k] * perMinute);
      else
        std::printf(" %15s", "-");
      total[k] += best[i][k];
    }
    if (!ratios) {
      std::printf("\n");
      continue;
    }
    // How many times Zevora's CPU at 44,100 Hz the faster peer at linear
    // interpolation takes.
    const double ratio = std::min(best[i][openmptLinear], best[i][xmpLinear]) / best[i][0];
    lowest = std::min(lowest, ratio);
    highest = std::max(highest, ratio);
    std::printf(" %12.2f\n", ratio);
  }
  const double minutes = static_cast<double>(modules.size()) * static_cast<double>(seconds) / 60.0;
  std::printf("%-52s %3s", "all", "");
  for (std::size_t k = 0; k < setups.size(); ++k) {
    if (wanted(setups[k]))
      std::printf(" %15.4f", total[k] / minutes);
    else
      std::printf(" %15s", "-");
  }
  if (ratios) {
    std::printf(" %12.2f\n", std::min(total[openmptLinear], total[xmpLinear]) / total[0]);
    std::printf("faster peer at linear / Zevora at 44,100 Hz: %.2f overall, %.2f to %.2f per module\n",
                std::min(total[openmptLinear], total[xmpLinear]) / total[0], lowest, highest);
  } else {
    std::printf("\n");
  }

  if (!tsv.empty()) {
    std::FILE* f = std::fopen(tsv.c_str(), "w");
    if (f == nullptr) {
      std::fprintf(stderr, "lib_compare: cannot write %s: %s\n", tsv.c_str(), std::strerror(errno));
      return 1;
    }
    std::fprintf(f, "folder\tmodule\tchannels");
    for (const Setup& s : setups) std::fprintf(f, "\t%s", s.label);
    std::fprintf(f, "\n");
    for (std::size_t i = 0; i < modules.size(); ++i) {
      std::fprintf(f, "%s\t%s\t%d", modules[i].folder.c_str(), modules[i].name.c_str(), modules[i].channels);
      for (std::size_t k = 0; k < setups.size(); ++k) {
        if (wanted(setups[k]))
          std::fprintf(f, "\t%.6f", best[i][k] * perMinute);
        else
          std::fprintf(f, "\t");
      }
      std::fprintf(f, "\n");
    }
    if (std::fclose(f) != 0) {
      std::fprintf(stderr, "lib_compare: cannot write %s: %s\n", tsv.c_str(), std::strerror(errno));
      return 1;
    }
  }
  return 0;
}
