// zevora-cli render: the song, or a part of it, to a sound file, as fast as
// the CPU allows. By default exactly one pass of the song, to the frame.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "audio_file_writer.h"
#include "cli.h"
#include "cli_options.h"
#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "offline_render.h"
#include "output_file.h"
#include "song_scan.h"

namespace {

constexpr double kMaxSeconds = 7 * 86400.0;  // a week of audio
constexpr double kMaxLoops = 1000;
constexpr std::uint64_t kNoEndFrames = 600ull * 44100;  // a song without an end renders 10 minutes

constexpr const char* kHelp =
    "usage: zevora-cli render [FILE] [-o OUT] [--loops N | --seconds S | --blocks N]\n"
    "                         [--start TIME | --start-row ORDER:ROW] [--positions CSV]\n"
    "\n"
    "Renders FILE (without it, the built-in demo) to 16-bit stereo 44,100 Hz audio,\n"
    "by default exactly one pass of the song; a song without an end renders 10 minutes.\n"
    "\n"
    "  -o OUT                 the output: a name ending in .wav, .flac, .ogg or .mp3\n"
    "                         (any letter case), or - for standard output (WAV);\n"
    "                         default: FILE's name with .wav, beside it\n"
    "  --loops N              to the end of pass N (1 to 1000)\n"
    "  --seconds S            exactly S seconds\n"
    "  --blocks N             N blocks of 884 frames\n"
    "  --start TIME           from that time of the song: seconds (83.5) or m:ss.mmm\n"
    "  --start-row ORDER:ROW  from where that row first starts (3:16)\n"
    "  --positions CSV        one line per block: block (from the song's start),\n"
    "                         order position, row, play time in ms\n"
    "  --help                 this text\n";

// OUT for FILE when -o is not given: the input's name with .wav, beside it.
std::string DefaultOutput(const char* file) {
  if (file == nullptr) return "demo.wav";
  std::string out = file;
  const std::size_t slash = out.rfind('/');
  const std::size_t dot = out.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) out.erase(dot);
  return out + ".wav";
}

int Refuse(const char* message, const char* option) {
  std::fprintf(stderr, "zevora-cli: %s %s\n", option, message);
  return 2;
}

struct RenderOptions {
  const char* file = nullptr;
  std::string out;
  bool outGiven = false;
  std::string positions;
  const char* length = nullptr;  // the option that sets the length, if any
  double loops = 1, seconds = 0, blocks = 0;
  const char* start = nullptr;  // the option that sets the start, if any
  double startSeconds = 0;
  std::int32_t startOrder = -1, startRow = -1;
};

// The exit code when the options end the command (help, or a one-line
// message on anything it cannot take); -1 to go on.
int ParseRenderOptions(int argc, char** argv, RenderOptions& o) {
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (IsHelpOption(arg)) return PrintHelp(kHelp);
    const bool isLength =
        !std::strcmp(arg, "--loops") || !std::strcmp(arg, "--seconds") || !std::strcmp(arg, "--blocks");
    const bool isStart = !std::strcmp(arg, "--start") || !std::strcmp(arg, "--start-row");
    const bool takesValue = isLength || isStart || !std::strcmp(arg, "-o") || !std::strcmp(arg, "--positions");
    if (!takesValue && arg[0] == '-' && arg[1] != '\0') return UnknownOption("render", arg);
    if (takesValue && value == nullptr) return Refuse("needs a value", arg);
    if (isLength && o.length != nullptr) return Refuse("cannot go with --loops, --seconds or --blocks", arg);
    if (isStart && o.start != nullptr) return Refuse("cannot go with --start or --start-row", arg);
    if (!std::strcmp(arg, "-o")) {
      if (!o.out.empty() || *value == '\0') return Refuse("is given twice or empty", arg);
      o.out = value;
      o.outGiven = true;
    } else if (!std::strcmp(arg, "--positions")) {
      if (!o.positions.empty() || *value == '\0') return Refuse("is given twice or empty", arg);
      o.positions = value;
    } else if (!std::strcmp(arg, "--loops")) {
      if (!ParseNumberOption(arg, value, 1, kMaxLoops, true, o.loops)) return 2;
    } else if (!std::strcmp(arg, "--seconds")) {
      if (!ParseNumberOption(arg, value, 0, kMaxSeconds, false, o.seconds)) return 2;
    } else if (!std::strcmp(arg, "--blocks")) {
      if (!ParseNumberOption(arg, value, 0, kMaxSeconds * 44100 / 884, true, o.blocks)) return 2;
    } else if (!std::strcmp(arg, "--start")) {
      if (!ParseTimeOption(arg, value, kMaxSeconds, o.startSeconds)) return 2;
    } else if (!std::strcmp(arg, "--start-row")) {
      if (!ParseRowOption(arg, value, o.startOrder, o.startRow)) return 2;
    } else if (arg[0] != '-' && o.file == nullptr) {
      o.file = arg;
      continue;
    } else {
      std::fprintf(stderr, "zevora-cli: render: unexpected \"%s\"\n", Shown(arg).c_str());
      return 2;
    }
    if (isLength) o.length = arg;
    if (isStart) o.start = arg;
    ++i;
  }
  if (o.out.empty()) o.out = DefaultOutput(o.file);
  return -1;
}

// The sound format the output's name asks for, once it is known that
// neither output would be written over the input or over the other; else
// (after a one-line message) none. Nothing is written before this.
std::optional<AudioFileFormat> CheckOutputs(const RenderOptions& o) {
  const OutputPlace out = PlaceOf(o.out);
  struct stat input {};
  const bool haveInput = o.file != nullptr && ::stat(o.file, &input) == 0 && S_ISREG(input.st_mode);
  const auto isInput = [&](const OutputPlace& place) {
    return haveInput && place.exists && place.info.st_dev == input.st_dev && place.info.st_ino == input.st_ino;
  };
  if (isInput(out)) {
    if (o.outGiven)
      std::fprintf(stderr, "zevora-cli: -o %s is the input file; name another output\n", Shown(o.out).c_str());
    else
      std::fprintf(stderr, "zevora-cli: %s: the output would be written over the input; name another with -o\n",
                   Shown(o.file).c_str());
    return std::nullopt;
  }
  if (!o.positions.empty()) {
    const OutputPlace positions = PlaceOf(o.positions);
    if (isInput(positions)) {
      std::fprintf(stderr, "zevora-cli: --positions %s is the input file; name another\n", Shown(o.positions).c_str());
      return std::nullopt;
    }
    if (SamePlace(out, positions)) {
      std::fprintf(stderr, "zevora-cli: -o %s and --positions %s %s; give each its own\n", Shown(o.out).c_str(),
                   Shown(o.positions).c_str(),
                   out.descriptor == 1 ? "both write to standard output" : "name the same file");
      return std::nullopt;
    }
  }
  std::optional<AudioFileFormat> format = FormatForName(o.out);
  // Standard output, a device or a pipe takes WAV whatever its name.
  if (!format && WrittenDirectly(out)) format = AudioFileFormat::kWav;
  if (!format)
    std::fprintf(stderr, "zevora-cli: -o %s: an output's name ends in %s (or is - for standard output)\n",
                 Shown(o.out).c_str(), kAudioFileEndings);
  return format;
}

int CannotWrite(const std::string& name, const std::string& why) {
  std::fprintf(stderr, "zevora-cli: %s: cannot write (%s)\n", Shown(name).c_str(), why.c_str());
  return 1;
}

}  // namespace

int RenderCommand(int argc, char** argv) {
  RenderOptions o;
  if (const int parsed = ParseRenderOptions(argc, argv, o); parsed >= 0) return parsed;
  const std::optional<AudioFileFormat> format = CheckOutputs(o);
  if (!format) return 2;
  const ModuleSource module = SourceFor(o.file);

  // Where the song ends, and where the asked-for row first starts.
  const std::uint32_t passes = static_cast<std::uint32_t>(o.loops);
  LoadError error = LoadError::kNone;
  const SongPtr song = LoadModuleSong(module, error);
  if (song == nullptr) return ReportLoadFailure(module, error);
  const SongScan scan = ScanSong(*song, passes, o.startOrder, o.startRow);

  std::uint64_t start = 0;
  if (o.startRow >= 0) {
    if (!scan.rowFound) {
      std::fprintf(stderr, "zevora-cli: --start-row %d:%d: no pass of the song that is rendered plays that row\n",
                   o.startOrder, o.startRow);
      return 1;
    }
    start = scan.rowFrame;
  } else {
    start = SecondsToFrames(o.startSeconds);
  }
  std::uint64_t frames = 0;
  if (o.length != nullptr && !std::strcmp(o.length, "--seconds")) {
    frames = SecondsToFrames(o.seconds);
  } else if (o.length != nullptr && !std::strcmp(o.length, "--blocks")) {
    frames = static_cast<std::uint64_t>(o.blocks) * kBlockFrames;
  } else if (scan.passEnds.size() >= passes) {
    const std::uint64_t end = scan.passEnds[passes - 1];
    if (start >= end) {
      char pass[32] = "the song's end";
      if (passes > 1) std::snprintf(pass, sizeof pass, "the end of pass %u", passes);
      std::fprintf(stderr, "zevora-cli: %s: --start %s is at or after %s at %s\n", Shown(module.label).c_str(),
                   FormatDuration(start).c_str(), pass, FormatDuration(end).c_str());
      return 1;
    }
    frames = end - start;
  } else {
    std::fprintf(stderr, "zevora-cli: %s: no end found; rendering 10 minutes\n", Shown(module.label).c_str());
    frames = kNoEndFrames;
  }

  if (*format == AudioFileFormat::kWav && frames > kWavMaxFrames) {
    std::fprintf(stderr,
                 "zevora-cli: %s: a WAV file holds at most 4 GiB, 6:45:47 of audio (%llu frames); "
                 "ask for less or write .flac\n",
                 Shown(o.out).c_str(), static_cast<unsigned long long>(kWavMaxFrames));
    return 2;
  }

  // A write past `ulimit -f` then fails with EFBIG and is reported, instead
  // of ending the program without a word.
  ::signal(SIGXFSZ, SIG_IGN);
  auto writer = MakeAudioFileWriter(o.out, *format);
  std::unique_ptr<OutputFile> csv;
  if (!o.positions.empty()) {
    csv = std::make_unique<OutputFile>(o.positions);
    if (!csv->Open()) return CannotWrite(o.positions, std::strerror(errno));
  }
  if (!writer->Open(frames)) return CannotWrite(o.out, writer->Error());

  // Each run of blocks is written in one piece, before the renderer reuses
  // its memory. Blocks are numbered from the song's start, so that the
  // lines are those of a render from the start.
  bool writeFailed = false;
  int csvError = 0;
  std::string lines;
  const auto sink = [&](const std::int16_t* pcm, std::uint32_t n, const RenderedBlock* blocks, std::uint32_t count) {
    if (!writer->Write(pcm, n)) return writeFailed = true, false;
    if (!csv) return true;
    for (std::uint32_t k = 0; k < count; ++k) {
      const PositionLogEntry& entry = blocks[k].entry;
      lines += std::to_string(blocks[k].number) + "," + std::to_string(entry.songPosition & 255) + "," +
               std::to_string(entry.songPosition >> 8) + "," + std::to_string(entry.elapsedMs) + "\n";
    }
    if (lines.size() > (1u << 16)) {
      if (!csv->Write(lines.data(), lines.size())) return csvError = errno, false;
      lines.clear();
    }
    return true;
  };
  RenderSongRuns(*song, start, frames, sink);
  if (writeFailed || !writer->Finish()) return CannotWrite(o.out, writer->Error());
  if (csv && csvError == 0 && !csv->Write(lines.data(), lines.size())) csvError = errno;
  if (csvError != 0) return CannotWrite(o.positions, std::strerror(csvError));

  // All or nothing: both outputs are complete, and go into place together.
  // A positions file that cannot be put in place takes the sound file with
  // it, and the file the sound file replaced comes back.
  const StopSignalsHeld held;
  if (!writer->Output().Commit(csv != nullptr)) return CannotWrite(o.out, std::strerror(errno));
  if (csv && !csv->Commit()) {
    const std::string why = std::strerror(errno);
    if (!writer->Output().Withdraw() && !writer->Output().Direct())
      return CannotWrite(o.positions, why + "; " + Shown(o.out) + " is written all the same");
    return CannotWrite(o.positions, why);
  }
  return 0;
}
