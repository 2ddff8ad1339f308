// zevora-cli render: songs, or parts of them, to sound files, as fast as
// the CPUs allow. By default exactly one pass of each song, to the frame.
//
// Many files are rendered in two steps: every module is read first (its
// song's length, and every name it will be written to, are checked before
// anything is written), then the outputs are rendered on -j threads, each
// output by a song object of its own, so that each is bit for bit what a
// render of that file alone gives.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "audio_file_writer.h"
#include "cli.h"
#include "cli_options.h"
#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "offline_render.h"
#include "output_file.h"
#include "parallel.h"
#include "progress.h"
#include "song_scan.h"

namespace {

constexpr double kMaxSeconds = 7 * 86400.0;  // a week of audio
constexpr double kMaxLoops = 1000;
constexpr std::uint64_t kNoEndFrames = 600ull * 44100;  // a song without an end renders 10 minutes

constexpr const char* kHelp =
    "usage: zevora-cli render [FILE...] [-o OUT | -o DIR/] [--format FORMAT]\n"
    "                         [--loops N | --seconds S | --blocks N]\n"
    "                         [--start TIME | --start-row ORDER:ROW]\n"
    "                         [--positions CSV] [--stems] [-j N] [-q]\n"
    "\n"
    "Renders each FILE (without one, the built-in demo) to 16-bit stereo 44,100 Hz\n"
    "audio, by default exactly one pass of the song; a song without an end renders\n"
    "10 minutes. A FILE that cannot be rendered is reported and the others go on.\n"
    "\n"
    "  -o OUT                 the output of one FILE: a name ending in\n"
    "                         .wav, .flac, .ogg or .mp3 (any letter case),\n"
    "                         or - for standard output (WAV)\n"
    "  -o DIR/                every output into the folder DIR, which must exist\n"
    "                         (without -o: each output beside its FILE)\n"
    "  --format FORMAT        wav, flac, ogg or mp3 for the outputs named after\n"
    "                         their FILE (its name with that ending; default wav)\n"
    "  --stems                one file per channel, that channel alone:\n"
    "                         OUT-01.wav, OUT-02.wav, ... for OUT.wav\n"
    "  --loops N              to the end of pass N (1 to 1000)\n"
    "  --seconds S            exactly S seconds\n"
    "  --blocks N             N blocks of 884 frames\n"
    "  --start TIME           from that time of the song: seconds (83.5) or m:ss.mmm\n"
    "  --start-row ORDER:ROW  from where that row first starts (3:16)\n"
    "  --positions CSV        one line per block: block (from the song's start),\n"
    "                         order position, row, play time in ms (one FILE)\n"
    "  -j, --jobs N           N outputs at once (1 to 64; default: the cores)\n"
    "  -q, --quiet            no progress line on the terminal\n"
    "  --                     every argument after it is a FILE (one that begins\n"
    "                         with - too)\n"
    "  --help                 this text\n";

int Refuse(const char* message, const char* option) {
  Say("zevora-cli: %s %s", option, message);
  return 2;
}

struct RenderOptions {
  std::vector<const char*> files;  // none: the built-in demo
  std::string out;
  bool outGiven = false;
  bool intoFolder = false;                // -o DIR/
  std::optional<AudioFileFormat> format;  // --format
  const char* formatName = nullptr;
  bool stems = false;
  bool quiet = false;
  unsigned jobs = 0;  // 0: the number of cores
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
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (TakenAfterOptions(arg, optionsEnded, o.files)) continue;
    if (IsHelpOption(arg)) return PrintHelp(kHelp);
    // -j4 as make takes it.
    if (arg[0] == '-' && arg[1] == 'j' && arg[2] != '\0') {
      double jobs = 0;
      if (o.jobs != 0) return Refuse("is given twice", "-j");
      if (!ParseNumberOption("-j", arg + 2, 1, kMaxJobs, true, jobs)) return 2;
      o.jobs = static_cast<unsigned>(jobs);
      continue;
    }
    if (!std::strcmp(arg, "--stems")) {
      o.stems = true;
      continue;
    }
    if (!std::strcmp(arg, "-q") || !std::strcmp(arg, "--quiet")) {
      o.quiet = true;
      continue;
    }
    const bool isLength =
        !std::strcmp(arg, "--loops") || !std::strcmp(arg, "--seconds") || !std::strcmp(arg, "--blocks");
    const bool isStart = !std::strcmp(arg, "--start") || !std::strcmp(arg, "--start-row");
    const bool isJobs = !std::strcmp(arg, "-j") || !std::strcmp(arg, "--jobs");
    const bool takesValue = isLength || isStart || isJobs || !std::strcmp(arg, "-o") ||
                            !std::strcmp(arg, "--positions") || !std::strcmp(arg, "--format");
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
    } else if (!std::strcmp(arg, "--format")) {
      if (o.format) return Refuse("is given twice", arg);
      o.format = FormatNamed(value);
      o.formatName = value;
      if (!o.format) {
        Say("zevora-cli: --format takes wav, flac, ogg or mp3 (not \"%s\")", Shown(value).c_str());
        return 2;
      }
    } else if (isJobs) {
      double jobs = 0;
      if (o.jobs != 0) return Refuse("is given twice", arg);
      if (!ParseNumberOption(arg, value, 1, kMaxJobs, true, jobs)) return 2;
      o.jobs = static_cast<unsigned>(jobs);
    } else if (!std::strcmp(arg, "--loops")) {
      if (!ParseNumberOption(arg, value, 1, kMaxLoops, true, o.loops)) return 2;
    } else if (!std::strcmp(arg, "--seconds")) {
      if (!ParseNumberOption(arg, value, 0, kMaxSeconds, false, o.seconds)) return 2;
    } else if (!std::strcmp(arg, "--blocks")) {
      if (!ParseNumberOption(arg, value, 0, std::floor(kMaxSeconds * 44100 / 884), true, o.blocks)) return 2;
    } else if (!std::strcmp(arg, "--start")) {
      if (!ParseTimeOption(arg, value, kMaxSeconds, o.startSeconds)) return 2;
    } else if (!std::strcmp(arg, "--start-row")) {
      if (!ParseRowOption(arg, value, o.startOrder, o.startRow)) return 2;
    } else if (arg[0] != '-') {
      o.files.push_back(arg);
      continue;
    } else {
      Say("zevora-cli: render: unexpected \"%s\"", Shown(arg).c_str());
      return 2;
    }
    if (isLength) o.length = arg;
    if (isStart) o.start = arg;
    ++i;
  }
  return -1;
}

// One module to render, and what reading it found.
struct Input {
  const char* file = nullptr;  // null: the built-in demo
  std::string out;             // its output (with --stems, the name the stems are named after)
  AudioFileFormat format = AudioFileFormat::kWav;
  bool read = false;  // loaded, and its part of the song worked out
  std::uint64_t start = 0;
  std::uint64_t frames = 0;
  std::uint32_t channels = 0;
  SongPtr song;  // the song read, where it is kept for the render
};

// An output file, by the module it renders and the channel it holds alone
// (-1: all of them).
struct Output {
  std::size_t input;
  std::int32_t channel;
  std::string name;
};

// The output FILE gets when -o names no file: FILE's name with the
// format's ending, beside FILE or in the folder.
std::string OutputFor(const char* file, const RenderOptions& o, AudioFileFormat format) {
  std::string out = file != nullptr ? file : "demo";
  std::size_t slash = out.rfind('/');
  if (o.intoFolder) {
    out.erase(0, slash == std::string::npos ? 0 : slash + 1);
    out.insert(0, o.out.back() == '/' ? o.out : o.out + "/");
    slash = out.rfind('/');
  }
  const std::size_t dot = out.rfind('.');
  if (file != nullptr && dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) out.erase(dot);
  return out + EndingOf(format);
}

// OUT-01.wav for OUT.wav: the channel's number (from 1) before the ending.
std::string StemName(const std::string& out, std::int32_t channel) {
  char number[16];
  std::snprintf(number, sizeof number, "-%02d", channel + 1);
  std::string name = out;
  const std::size_t slash = name.rfind('/');
  const std::size_t dot = name.rfind('.');
  name.insert(dot != std::string::npos && (slash == std::string::npos || dot > slash) ? dot : name.size(), number);
  return name;
}

// Where each output goes, and in which format; the exit code of a refusal
// (nothing read, nothing written), or -1 to go on.
int PlanOutputs(RenderOptions& o, std::vector<Input>& inputs) {
  if (o.outGiven && o.out != "-") {
    struct stat info {};
    const bool folder = ::stat(o.out.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    if (o.out.back() == '/' && !folder) {
      Say("zevora-cli: -o %s: no folder of that name (%s); an output's name ends in %s, or is a folder that exists",
          Shown(o.out).c_str(), std::strerror(errno != 0 ? errno : ENOTDIR), kAudioFileEndings);
      return 2;
    }
    o.intoFolder = folder;
  }
  if (inputs.size() > 1 && o.outGiven && !o.intoFolder) {
    Say("zevora-cli: -o %s names one file; for several FILEs name a folder (-o DIR/)", Shown(o.out).c_str());
    return 2;
  }
  if (inputs.size() > 1 && !o.positions.empty()) {
    Say("zevora-cli: --positions %s goes with one FILE", Shown(o.positions).c_str());
    return 2;
  }
  if (o.outGiven && !o.intoFolder) {
    inputs[0].out = o.out;
    return -1;
  }
  for (Input& input : inputs) {
    input.format = o.format.value_or(AudioFileFormat::kWav);
    input.out = OutputFor(input.file, o, input.format);
  }
  return -1;
}

// The format -o OUT asks for by its name; false (after a one-line message)
// where the name is no sound file's, or not that of --format, or (with
// --stems) no name to number.
bool ChooseFormat(const RenderOptions& o, Input& input) {
  if (!o.outGiven || o.intoFolder) return true;
  std::optional<AudioFileFormat> format = FormatForName(o.out);
  // Standard output, a device or a pipe takes WAV unless its name asks for
  // another format.
  const bool direct = WrittenDirectly(PlaceOf(o.out));
  if (!format && direct) format = AudioFileFormat::kWav;
  if (!format) {
    Say("zevora-cli: -o %s: an output's name ends in %s (or is - for standard output)", Shown(o.out).c_str(),
        kAudioFileEndings);
    return false;
  }
  if (o.format && *o.format != *format) {
    Say("zevora-cli: -o %s does not end in %s (--format %s)", Shown(o.out).c_str(), EndingOf(*o.format),
        Shown(o.formatName).c_str());
    return false;
  }
  if (o.stems && direct) {
    Say("zevora-cli: --stems writes a file per channel, named after -o OUT: %s is no file name", Shown(o.out).c_str());
    return false;
  }
  input.format = *format;
  return true;
}

// Outputs are never written over an input (any of them, by any name) nor
// over one another; the positions file neither. With one FILE the
// messages are those of a single render. True when all is well; else
// every problem has had its line.
const char* Label(const Input& input) { return input.file != nullptr ? input.file : "built-in demo"; }

bool CheckOutputs(const RenderOptions& o, const std::vector<Input>& inputs, const std::vector<Output>& outputs) {
  const bool single = inputs.size() == 1 && !o.stems;
  // The inputs by inode, and by name for the file systems whose inode
  // numbers do not tell (see SameFile).
  std::vector<OutputPlace> inputPlaces(inputs.size());
  std::map<std::pair<dev_t, ino_t>, std::size_t> inputFiles;
  std::map<std::pair<dev_t, std::string>, std::size_t> inputNames;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    if (inputs[i].file == nullptr) continue;
    inputPlaces[i] = InputPlace(inputs[i].file);
    const struct stat& info = inputPlaces[i].info;
    if (!inputPlaces[i].exists || !S_ISREG(info.st_mode)) continue;
    inputFiles.emplace(std::make_pair(info.st_dev, info.st_ino), i);
    inputNames.emplace(std::make_pair(info.st_dev, FoldedName(inputPlaces[i])), i);
  }
  const auto inputAt = [&](const OutputPlace& place) -> const Input* {
    if (!place.exists) return nullptr;
    if (const auto found = inputFiles.find({place.info.st_dev, place.info.st_ino}); found != inputFiles.end())
      return &inputs[found->second];
    const auto found = inputNames.find({place.info.st_dev, FoldedName(place)});
    return found != inputNames.end() && SameFile(place, inputPlaces[found->second]) ? &inputs[found->second] : nullptr;
  };
  bool ok = true;
  std::vector<OutputPlace> places;
  std::vector<bool> refused(outputs.size());
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    const Output& output = outputs[k];
    // A folder among the files is reported when it is read, and its output
    // is never written: it takes no name from the others (music/intro
    // beside music/intro.xm).
    if (inputPlaces[output.input].exists && S_ISDIR(inputPlaces[output.input].info.st_mode)) {
      places.emplace_back();
      refused[k] = true;
      continue;
    }
    places.push_back(PlaceOf(output.name));
    const Input* over = inputAt(places.back());
    if (over == nullptr) continue;
    refused[k] = true;
    const Input& input = inputs[output.input];
    if (single && o.outGiven && !o.intoFolder)
      Say("zevora-cli: -o %s is the input file; name another output", Shown(o.out).c_str());
    else if (single)
      Say("zevora-cli: %s: the output would be written over the input; name another with -o",
          Shown(Label(input)).c_str());
    else
      Say("zevora-cli: %s: %s would be written over the input %s", Shown(Label(input)).c_str(),
          Shown(output.name).c_str(), Shown(Label(*over)).c_str());
    ok = false;
    if (single) return false;
  }
  const std::optional<OutputPlace> positions =
      o.positions.empty() ? std::nullopt : std::optional<OutputPlace>(PlaceOf(o.positions));
  if (positions && inputAt(*positions)) {
    Say("zevora-cli: --positions %s is the input file; name another", Shown(o.positions).c_str());
    return false;
  }
  // Outputs by the file they write: an existing file, or a new name in a
  // folder (a descriptor or a device is written directly, never replaced).
  std::map<std::tuple<dev_t, ino_t, std::string>, std::size_t> taken;
  std::map<std::pair<dev_t, std::string>, std::size_t> takenNames;
  std::map<std::pair<std::size_t, std::size_t>, bool> told;
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    const Output& output = outputs[k];
    const OutputPlace& place = places[k];
    if (refused[k]) continue;
    if (positions && SamePlace(place, *positions)) {
      if (single)
        Say("zevora-cli: -o %s and --positions %s %s; give each its own", Shown(o.out).c_str(),
            Shown(o.positions).c_str(), place.descriptor == 1 ? "both write to standard output" : "name the same file");
      else
        Say("zevora-cli: %s and --positions %s name the same file; give each its own", Shown(output.name).c_str(),
            Shown(o.positions).c_str());
      ok = false;
      continue;
    }
    if (WrittenDirectly(place) || (!place.exists && !place.newName)) continue;
    const auto key = std::make_tuple(place.info.st_dev, place.info.st_ino, place.exists ? std::string() : place.leaf);
    const auto [at, added] = taken.emplace(key, k);
    std::size_t earlier = at->second;
    if (added && place.exists) {
      // The same file under another spelling (see SameFile).
      const auto [named, first] = takenNames.emplace(std::make_pair(place.info.st_dev, FoldedName(place)), k);
      if (first || !SameFile(place, places[named->second])) continue;
      earlier = named->second;
    } else if (added) {
      continue;
    }
    const Output& first = outputs[earlier];
    if (!told[{first.input, output.input}]) {
      told[{first.input, output.input}] = true;
      if (first.input == output.input)
        Say("zevora-cli: %s: two of its stems would be written to %s", Shown(Label(inputs[output.input])).c_str(),
            Shown(output.name).c_str());
      else
        Say("zevora-cli: %s and %s would both be written to %s; render them into different folders",
            Shown(Label(inputs[first.input])).c_str(), Shown(Label(inputs[output.input])).c_str(),
            Shown(output.name).c_str());
    }
    ok = false;
  }
  return ok;
}

// What reading one module found: its song (where it is kept), its part of
// the song, and the lines to show (a note, or why it cannot be rendered,
// with the exit code of a single render).
struct ReadResult {
  SongPtr song;
  std::uint64_t start = 0;
  std::uint64_t frames = 0;
  std::uint32_t channels = 0;
  std::vector<std::string> lines;
  int failure = 0;
};

ReadResult ReadInput(const RenderOptions& o, const Input& input, bool single, bool keepSong) {
  ReadResult r;
  const ModuleSource module = SourceFor(input.file);
  const std::string name = Shown(module.label);
  const auto fail = [&](int code, const std::string& line) {
    r.lines.push_back("zevora-cli: " + line);
    r.failure = code;
    r.song.reset();
    return std::move(r);
  };
  const std::uint32_t passes = static_cast<std::uint32_t>(o.loops);
  LoadError error = LoadError::kNone;
  r.song = LoadModuleSong(module, error);
  if (r.song == nullptr) return fail(1, name + ": " + LoadFailureText(module, error));
  r.channels = r.song->module.channelCount;

  // Where the song ends, and where the asked-for row first starts.
  const std::optional<SongScan> scanned = TryScanSong(*r.song, passes, o.startOrder, o.startRow);
  if (!scanned) return fail(1, name + ": " + LoadErrorText(LoadError::kOutOfMemory));
  const SongScan& scan = *scanned;
  char text[320];
  if (o.startRow >= 0) {
    if (!scan.rowFound) {
      std::snprintf(text, sizeof text, "--start-row %d:%d: no pass of the song that is rendered plays that row",
                    o.startOrder, o.startRow);
      return fail(1, single ? text : name + ": " + text);
    }
    r.start = scan.rowFrame;
  } else {
    r.start = SecondsToFrames(o.startSeconds);
  }
  if (o.length != nullptr && !std::strcmp(o.length, "--seconds")) {
    r.frames = SecondsToFrames(o.seconds);
  } else if (o.length != nullptr && !std::strcmp(o.length, "--blocks")) {
    r.frames = static_cast<std::uint64_t>(o.blocks) * kBlockFrames;
  } else if (scan.passEnds.size() >= passes) {
    const std::uint64_t end = scan.passEnds[passes - 1];
    if (r.start >= end) {
      char pass[32] = "the song's end";
      if (passes > 1) std::snprintf(pass, sizeof pass, "the end of pass %u", passes);
      return fail(
          1, name + ": --start " + FormatDuration(r.start) + " is at or after " + pass + " at " + FormatDuration(end));
    }
    r.frames = end - r.start;
  } else {
    r.lines.push_back("zevora-cli: " + name + ": no end found; rendering 10 minutes");
    r.frames = kNoEndFrames;
  }
  if (input.format == AudioFileFormat::kWav && r.frames > kWavMaxFrames) {
    std::snprintf(text, sizeof text,
                  ": a WAV file holds at most 4 GiB, 6:45:47 of audio (%llu frames); ask for less or write .flac",
                  static_cast<unsigned long long>(kWavMaxFrames));
    return fail(2, Shown(input.out) + text);
  }
  if (!keepSong) r.song.reset();
  return r;
}

int CannotWrite(const std::string& name, const std::string& why) {
  Say("zevora-cli: %s: cannot write (%s)", Shown(name).c_str(), why.c_str());
  return 1;
}

// The outputs of one module (its file, or its stems, and the positions
// file) go into place together once all are complete: all of them or none.
struct OutputGroup {
  std::mutex lock;
  std::size_t waiting = 0;          // outputs not finished yet
  std::atomic<bool> failed{false};  // one cannot be written: the others stop, and none goes into place
  std::vector<std::unique_ptr<AudioFileWriter>> writers;  // by output (channel)
  std::unique_ptr<OutputFile> csv;
  SongPtr song;  // the song read, for the first output that takes it
  std::size_t input = 0;
};

class Renderer {
 public:
  Renderer(const RenderOptions& o, std::vector<Input>& inputs, const std::vector<Output>& outputs,
           ProgressLine& progress, std::function<void()> tick)
      : o_(o),
        inputs_(inputs),
        outputs_(outputs),
        progress_(progress),
        tick_(std::move(tick)),
        caller_(std::this_thread::get_id()),
        groups_(inputs.size()) {
    for (const Output& output : outputs) {
      std::unique_ptr<OutputGroup>& group = groups_[output.input];
      if (group == nullptr) {
        group = std::make_unique<OutputGroup>();
        group->input = output.input;
        group->song = std::move(inputs[output.input].song);
      }
      ++group->waiting;
    }
    for (auto& group : groups_)
      if (group != nullptr) group->writers.resize(group->waiting);
  }

  void Render(std::size_t k);
  // The exit code of the last output that failed (0: none did).
  int Failure() const { return failure_.load(); }

 private:
  void Fail(OutputGroup& group, int code) {
    failure_ = code;
    group.failed = true;
  }
  // An output done (writer null: failed or given up): the last of its
  // group puts them all into place, unless one failed.
  void Finished(OutputGroup& group, std::size_t slot, std::unique_ptr<AudioFileWriter> writer,
                std::unique_ptr<OutputFile> csv);
  void Commit(OutputGroup& group);
  // The input whose output a file system that does not tell letter case
  // apart takes `path` for, where this run has put one there (the check
  // before the render sees only names that exist): null where none.
  const Input* WrittenUnder(const std::string& path, std::string& written);

  const RenderOptions& o_;
  std::vector<Input>& inputs_;
  const std::vector<Output>& outputs_;
  ProgressLine& progress_;
  // The progress line and stop signals, taken by the thread that made the
  // renderer where it renders (one job, or no thread could be started).
  const std::function<void()> tick_;
  const std::thread::id caller_;
  std::vector<std::unique_ptr<OutputGroup>> groups_;  // by input
  std::atomic<int> failure_{0};
  // The files put into place so far, by folded name (see SameFile); one
  // group is put into place at a time.
  struct Committed {
    OutputPlace place;
    std::string path;
    std::size_t input;
  };
  std::mutex commitLock_;
  std::map<std::pair<dev_t, std::string>, Committed> committed_;
};

void Renderer::Render(std::size_t k) {
  const Output& output = outputs_[k];
  const Input& input = inputs_[output.input];
  OutputGroup& group = *groups_[output.input];
  const std::size_t slot = output.channel < 0 ? 0 : static_cast<std::size_t>(output.channel);
  progress_.FileStarted();
  if (group.failed) return Finished(group, slot, nullptr, nullptr);
  SongPtr song;
  {
    const std::lock_guard<std::mutex> held(group.lock);
    song = std::move(group.song);
  }
  if (song == nullptr) {
    LoadError error = LoadError::kNone;
    const ModuleSource module = SourceFor(input.file);
    song = LoadModuleSong(module, error);
    if (song == nullptr) {
      ReportLoadFailure(module, error);
      Fail(group, 1);
      return Finished(group, slot, nullptr, nullptr);
    }
  }
  // A stem: every other channel muted, as zv_mute mutes it.
  if (output.channel >= 0)
    for (std::uint32_t c = 0; c < input.channels; ++c)
      if (c != static_cast<std::uint32_t>(output.channel)) song->mutedChannels |= 1u << c;

  auto writer = MakeAudioFileWriter(output.name, input.format);
  std::unique_ptr<OutputFile> csv;
  if (!o_.positions.empty() && slot == 0) {
    csv = std::make_unique<OutputFile>(o_.positions);
    if (!csv->Open()) {
      Fail(group, CannotWrite(o_.positions, std::strerror(errno)));
      return Finished(group, slot, nullptr, nullptr);
    }
  }
  if (!writer->Open(input.frames)) {
    Fail(group, CannotWrite(output.name, writer->Error()));
    return Finished(group, slot, nullptr, nullptr);
  }

  // Each run of blocks is written in one piece, before the renderer reuses
  // its memory. Blocks are numbered from the song's start, so that the
  // lines are those of a render from the start.
  bool writeFailed = false;
  bool givenUp = false;
  int csvError = 0;
  std::string lines;
  const auto sink = [&](const std::int16_t* pcm, std::uint32_t n, const RenderedBlock* blocks, std::uint32_t count) {
    if (group.failed) return givenUp = true, false;
    if (!writer->Write(pcm, n)) return writeFailed = true, false;
    progress_.Add(n);
    if (std::this_thread::get_id() == caller_) tick_();
    if (!csv) return true;
    for (std::uint32_t b = 0; b < count; ++b) {
      const PositionLogEntry& entry = blocks[b].entry;
      lines += std::to_string(blocks[b].number) + "," + std::to_string(entry.songPosition & 255) + "," +
               std::to_string(entry.songPosition >> 8) + "," + std::to_string(entry.elapsedMs) + "\n";
    }
    if (lines.size() > (1u << 16)) {
      if (!csv->Write(lines.data(), lines.size())) return csvError = errno, false;
      lines.clear();
    }
    return true;
  };
  RenderSongRuns(*song, input.start, input.frames, sink);
  song.reset();
  if (givenUp) return Finished(group, slot, nullptr, nullptr);
  // Positions that could not be written stopped the render: the sound file
  // came out short for that reason alone.
  if (csvError != 0) {
    Fail(group, CannotWrite(o_.positions, std::strerror(csvError)));
    return Finished(group, slot, nullptr, nullptr);
  }
  if (writeFailed || !writer->Finish()) {
    Fail(group, CannotWrite(output.name, writer->Error()));
    return Finished(group, slot, nullptr, nullptr);
  }
  // On this thread, not while the group goes into place with stop signals
  // held.
  if (!writer->Output().Flush()) {
    Fail(group, CannotWrite(output.name, std::strerror(errno)));
    return Finished(group, slot, nullptr, nullptr);
  }
  if (csv && !csv->Write(lines.data(), lines.size())) csvError = errno;
  if (csvError != 0) {
    Fail(group, CannotWrite(o_.positions, std::strerror(csvError)));
    return Finished(group, slot, nullptr, nullptr);
  }
  Finished(group, slot, std::move(writer), std::move(csv));
}

void Renderer::Finished(OutputGroup& group, std::size_t slot, std::unique_ptr<AudioFileWriter> writer,
                        std::unique_ptr<OutputFile> csv) {
  {
    const std::lock_guard<std::mutex> held(group.lock);
    if (writer) group.writers[slot] = std::move(writer);
    if (csv) group.csv = std::move(csv);
    if (--group.waiting != 0) return;
  }
  if (!group.failed) Commit(group);
  // What is not in place is thrown away.
  group.writers.clear();
  group.csv.reset();
}

void Renderer::Commit(OutputGroup& group) {
  std::vector<OutputFile*> files;
  for (const auto& writer : group.writers) files.push_back(&writer->Output());
  if (group.csv) files.push_back(group.csv.get());
  // All or nothing: every file but the last keeps what it replaces aside,
  // so that a file that cannot be put in place takes the ones before it
  // back, and the files they replaced come back.
  const std::lock_guard<std::mutex> one(commitLock_);
  const StopSignalsHeld held;
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string written;
    const Input* other = files[i]->Direct() ? nullptr : WrittenUnder(files[i]->Path(), written);
    if (other == nullptr && files[i]->Commit(i + 1 < files.size())) {
      if (const OutputPlace place = PlaceOf(files[i]->Path()); place.exists && !files[i]->Direct())
        committed_[{place.info.st_dev, FoldedName(place)}] = {place, files[i]->Path(), group.input};
      continue;
    }
    std::string why = other == nullptr ? std::strerror(errno)
                                       : "the folder does not tell letter case apart: it is " + Shown(written) +
                                             ", written for " + Shown(Label(*other));
    std::vector<std::string> kept;
    for (std::size_t j = 0; j < i; ++j)
      if (!files[j]->Withdraw() && !files[j]->Direct()) kept.push_back(Shown(files[j]->Path()));
    for (std::size_t j = 0; j < kept.size(); ++j) why += (j == 0 ? "; " : ", ") + kept[j];
    if (!kept.empty()) why += kept.size() == 1 ? " is written all the same" : " are written all the same";
    const int code = CannotWrite(files[i]->Path(), why);
    // Two outputs naming one file are refused, as before the render.
    Fail(group, other == nullptr ? code : 2);
    return;
  }
}

const Input* Renderer::WrittenUnder(const std::string& path, std::string& written) {
  const OutputPlace place = PlaceOf(path);
  const auto found = committed_.find({place.info.st_dev, FoldedName(place)});
  if (!place.exists || found == committed_.end() || !SameFile(place, found->second.place)) return nullptr;
  written = found->second.path;
  return &inputs_[found->second.input];
}

// Room for every output being written at once (a folder and a file for
// each, stems waiting for their module's others).
void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace

int RenderCommand(int argc, char** argv) {
  RenderOptions o;
  if (const int parsed = ParseRenderOptions(argc, argv, o); parsed >= 0) return parsed;
  std::vector<Input> inputs(o.files.empty() ? 1 : o.files.size());
  for (std::size_t i = 0; i < o.files.size(); ++i) inputs[i].file = o.files[i];
  if (const int refused = PlanOutputs(o, inputs); refused >= 0) return refused;
  const bool single = inputs.size() == 1;
  std::vector<Output> outputs;
  if (!o.stems) {
    for (std::size_t i = 0; i < inputs.size(); ++i) outputs.push_back({i, -1, inputs[i].out});
    if (!CheckOutputs(o, inputs, outputs)) return 2;
  }
  if (!ChooseFormat(o, inputs[0])) return 2;

  const unsigned jobs = o.jobs != 0 ? o.jobs : CoreCount();
  const bool threads = jobs > 1 && (inputs.size() > 1 || o.stems);
  std::optional<StopSignalsTaken> signals;
  if (threads) signals.emplace();
  ProgressLine progress(!o.quiet);
  const auto tick = [&] {
    progress.Tick();
    if (signals) signals->Poll();
  };

  // Every module read first, its lines shown in the order of the files.
  int failure = 0;
  progress.Reading(inputs.size());
  OrderedParallel<ReadResult>(
      inputs.size(), threads ? jobs : 1, [&](std::size_t i) { return ReadInput(o, inputs[i], single, single); },
      [&](std::size_t i, ReadResult& r) {
        for (const std::string& line : r.lines) Say("%s", line.c_str());
        progress.FileRead();
        if (r.failure != 0) {
          failure = r.failure;
          return;
        }
        Input& input = inputs[i];
        input.read = true;
        input.start = r.start;
        input.frames = r.frames;
        input.channels = r.channels;
        input.song = std::move(r.song);
      },
      tick);

  if (o.stems) {
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      // Nothing written is no success.
      if (inputs[i].read && inputs[i].channels == 0) {
        Say("zevora-cli: %s: the module has no channels, so no stems", Shown(Label(inputs[i])).c_str());
        failure = 1;
      }
      for (std::uint32_t c = 0; inputs[i].read && c < inputs[i].channels; ++c)
        outputs.push_back({i, static_cast<std::int32_t>(c), StemName(inputs[i].out, static_cast<std::int32_t>(c))});
    }
    if (!CheckOutputs(o, inputs, outputs)) return 2;
  } else {
    std::erase_if(outputs, [&](const Output& output) { return !inputs[output.input].read; });
  }

  if (!outputs.empty()) {
    // A write past `ulimit -f` then fails with EFBIG and is reported,
    // instead of ending the program without a word.
    ::signal(SIGXFSZ, SIG_IGN);
    if (outputs.size() > 1) RaiseOpenFileLimit();
    std::uint64_t frames = 0;
    for (const Output& output : outputs) frames += inputs[output.input].frames;
    progress.Rendering(outputs.size(), frames);
    Renderer renderer(o, inputs, outputs, progress, tick);
    ParallelFor(
        outputs.size(), threads ? jobs : 1, [&](std::size_t k) { renderer.Render(k); }, tick);
    if (renderer.Failure() != 0) failure = renderer.Failure();
  }
  progress.Clear();
  if (failure == 0) return 0;
  return single ? failure : 1;
}
