// zevora-cli: module information, offline rendering, and playback through
// the sound device without a window.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "cli_options.h"
#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "parallel.h"
#include "progress.h"
#include "resources.h"
#include "sources.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: zevora-cli info [--json] [-j N] FILE...\n"
               "       zevora-cli render [FILE...] [-o OUT | -o DIR/] [--format FORMAT]\n"
               "                         [--loops N | --seconds S | --blocks N]\n"
               "                         [--start TIME | --start-row ORDER:ROW]\n"
               "                         [--positions CSV] [--stems] [-j N] [-q]\n"
               "       zevora-cli play [FILE...] [--loops N] [--start TIME] [--seconds S]\n"
               "                       [--volume DB] [--eq GAIN_DB | --gargle RATE_HZ]\n"
               "       zevora-cli --help | --version | COMMAND --help\n");
}

constexpr const char* kHelp =
    "usage: zevora-cli COMMAND [OPTION...] [FILE...]\n"
    "\n"
    "Shows, renders and plays XM (Extended Module) music files.\n"
    "\n"
    "Commands:\n"
    "  info [--json] FILE...    each module's records, names, duration and loop point\n"
    "  render [FILE...]         songs, or parts of them, to sound files\n"
    "  play [FILE...]           modules through the sound device\n"
    "\n"
    "Without FILE, render and play use the built-in demo module.\n"
    "zevora-cli COMMAND --help shows a command's options.\n"
    "\n"
    "  --help      this text\n"
    "  --version   the program's version\n";

constexpr const char* kInfoHelp =
    "usage: zevora-cli info [--json] [-j N] FILE...\n"
    "\n"
    "Shows each FILE's title, tracker and format version, channels, song length\n"
    "and restart position, patterns, frequency table, speed and BPM, the song's\n"
    "duration (m:ss.mmm) and loop point, and every instrument and sample; for\n"
    "several files, one after the other, each headed by the file's name. A FILE\n"
    "that cannot be read is reported and the others go on.\n"
    "\n"
    "  --json         JSON Lines instead: for each FILE one line, an object with\n"
    "                 its \"path\", the module's records, the names, the duration\n"
    "                 in frames and ms and the loop point (null without an end);\n"
    "                 for a FILE that cannot be read, its \"path\" and \"error\"\n"
    "  -j, --jobs N   read N files at once (1 to 64; default: the cores)\n"
    "  --             every argument after it is a FILE (one that begins with -\n"
    "                 too)\n"
    "  --help         this text\n";

}  // namespace

std::string Shown(const std::string& name) { return TerminalText(name, NameEncoding::kUtf8); }

bool IsHelpOption(const char* arg) { return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"); }

bool TakenAfterOptions(const char* arg, bool& ended, std::vector<const char*>& files) {
  if (ended) {
    files.push_back(arg);
    return true;
  }
  return ended = !std::strcmp(arg, "--");
}

int UnknownOption(const char* command, const char* option) {
  std::fprintf(stderr, "zevora-cli: %s: unknown option %s (see zevora-cli %s --help)\n", command, Shown(option).c_str(),
               command);
  return 2;
}

int PrintHelp(const char* text) {
  std::fputs(text, stdout);
  return StandardOutputOk() ? 0 : 1;
}

std::string LoadFailureText(const char* file, LoadError error) {
  // Opened without blocking: a FIFO or a device never holds the program.
  struct stat info {};
  const int fd = ::open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  std::string text;
  if (fd < 0)
    text = std::string("cannot open (") + std::strerror(errno) + ")";
  else if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
    text = "cannot open (is a directory)";
  else if (!S_ISREG(info.st_mode))
    text = "cannot open (not a regular file)";
  else
    text = LoadErrorText(error);
  if (fd >= 0) ::close(fd);
  return text;
}

int LoadFailureMessage(const char* file, LoadError error) {
  Say("zevora-cli: %s: %s", Shown(file).c_str(), LoadFailureText(file, error).c_str());
  return 1;
}

SongPtr LoadModuleSong(const ModuleSource& module, LoadError& error) {
  SongPtr song(CreateSong());
  if (song == nullptr) {
    error = LoadError::kOutOfMemory;
    return nullptr;
  }
  if (!LoadSong(*song, module.source, 0, module.kind)) {
    error = song->loadError;
    return nullptr;
  }
  error = LoadError::kNone;
  return song;
}

ModuleSource SourceFor(const char* file) {
  if (file != nullptr) return {file, kSourceFile, file};
  return {kDemoModuleName, kSourceResource, "built-in demo"};
}

std::string LoadFailureText(const ModuleSource& module, LoadError error) {
  return module.kind == kSourceFile ? LoadFailureText(module.label, error) : LoadErrorText(error);
}

int ReportLoadFailure(const ModuleSource& module, LoadError error) {
  Say("zevora-cli: %s: %s", Shown(module.label).c_str(), LoadFailureText(module, error).c_str());
  return 1;
}

bool StandardOutputOk(int failedWith) {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout) && failedWith == 0) return true;
  std::fprintf(stderr, "zevora-cli: cannot write to standard output (%s)\n",
               std::strerror(failedWith != 0 ? failedWith : errno));
  return false;
}

namespace {

// One file's part of info's output: its text, or why it cannot be read.
struct InfoResult {
  std::string text;
  std::string error;
};

InfoResult ReadInfo(const char* file, bool json, bool headed) {
  InfoResult r;
  LoadError error = LoadError::kNone;
  const SongPtr song = LoadModuleSong(SourceFor(file), error);
  if (song == nullptr) {
    r.error = LoadFailureText(file, error);
    return r;
  }
  const ModuleNames names = NamesOf(*song);
  // Memory that runs short in the scan is said, as for the load.
  const std::optional<SongScan> scanned = TryScanSong(*song, 1);
  if (!scanned) {
    r.error = LoadErrorText(LoadError::kOutOfMemory);
    return r;
  }
  const SongScan& scan = *scanned;
  if (json) {
    // The path first, then the module's records.
    r.text =
        "{\"path\":" + JsonString(file, NameEncoding::kUtf8) + "," + ModuleJson(*song, names, scan).substr(1) + "\n";
  } else {
    r.text = ModuleSummary(*song, names, scan);
    if (headed) r.text.insert(0, "File:         " + Shown(file) + "\n");
  }
  return r;
}

}  // namespace

int InfoCommand(int argc, char** argv) {
  bool json = false;
  unsigned jobs = 0;
  std::vector<const char*> files;
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (TakenAfterOptions(arg, optionsEnded, files)) continue;
    if (IsHelpOption(arg)) return PrintHelp(kInfoHelp);
    const bool isJobs = !std::strcmp(arg, "-j") || !std::strcmp(arg, "--jobs");
    if ((isJobs && i + 1 < argc) || (arg[0] == '-' && arg[1] == 'j' && arg[2] != '\0')) {
      double value = 0;
      if (jobs != 0) {
        std::fprintf(stderr, "zevora-cli: info: -j is given twice\n");
        return 2;
      }
      if (!ParseNumberOption("-j", isJobs ? argv[++i] : arg + 2, 1, kMaxJobs, true, value)) return 2;
      jobs = static_cast<unsigned>(value);
    } else if (std::strcmp(arg, "--json") == 0 && !json) {
      json = true;
    } else if (isJobs) {
      std::fprintf(stderr, "zevora-cli: %s needs a value\n", arg);
      return 2;
    } else if (arg[0] == '-' && arg[1] != '\0' && std::strcmp(arg, "--json") != 0) {
      return UnknownOption("info", arg);
    } else if (arg[0] != '-') {
      files.push_back(arg);
    } else {
      std::fprintf(stderr, "zevora-cli: info: unexpected \"%s\"\n", Shown(arg).c_str());
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "zevora-cli: info needs a FILE\n");
    return 2;
  }
  // Read on every core, shown in the order of the files. Several summaries
  // for people each begin with the file's name, a blank line between them.
  const bool headed = !json && files.size() > 1;
  bool failed = false;
  bool summaryShown = false;
  std::atomic<bool> outputFailed{false};
  OrderedParallel<InfoResult>(
      files.size(), jobs != 0 ? jobs : CoreCount(),
      [&](std::size_t i) { return outputFailed ? InfoResult{} : ReadInfo(files[i], json, headed); },
      [&](std::size_t i, InfoResult& r) {
        if (outputFailed) return;
        // A file that cannot be read shows nothing here: no blank line for it.
        if (headed && r.error.empty() && std::exchange(summaryShown, true)) std::fputc('\n', stdout);
        if (!r.error.empty()) {
          failed = true;
          if (json) {
            r.text =
                "{\"path\":" + JsonString(files[i], NameEncoding::kUtf8) + ",\"error\":" + JsonString(r.error) + "}\n";
          }
          // The message comes after what standard output has been given.
          std::fflush(stdout);
          Say("zevora-cli: %s: %s", Shown(files[i]).c_str(), r.error.c_str());
        }
        std::fwrite(r.text.data(), 1, r.text.size(), stdout);
        if (std::ferror(stdout)) outputFailed = true;
      },
      {});
  return StandardOutputOk() && !failed ? 0 : 1;
}

namespace {

// Standard input, output and error that were closed are opened on
// /dev/null, read-only, before anything else is opened: a file, socket or
// device opened later would take their numbers and get what is meant for
// them (play's time lines in the sound output). Writing to them still
// fails, so a closed standard output is still reported.
void OpenClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDONLY);
    if (opened > fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  OpenClosedStandardStreams();
  if (argc < 2) {
    Usage();
    return 2;
  }
  const std::string command = argv[1];
  if (command == "info") return InfoCommand(argc, argv);
  if (command == "render") return RenderCommand(argc, argv);
  if (command == "play") return PlayCommand(argc, argv);
  if (IsHelpOption(argv[1])) return PrintHelp(kHelp);
  if (command == "--version") {
    std::printf("zevora-cli %s\n", ZEVORA_VERSION);
    return StandardOutputOk() ? 0 : 1;
  }
  if (argv[1][0] == '-' && argv[1][1] != '\0') {
    std::fprintf(stderr, "zevora-cli: unknown option %s (see zevora-cli --help)\n", Shown(argv[1]).c_str());
    return 2;
  }
  std::fprintf(stderr, "zevora-cli: unknown command \"%s\"\n", Shown(argv[1]).c_str());
  Usage();
  return 2;
}

#ifndef ZEVORA_HAVE_SDL
int PlayCommand(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (IsHelpOption(argv[i])) return PrintHelp("zevora-cli play: this zevora-cli was built without audio output\n");
  std::fprintf(stderr, "zevora-cli: built without audio output\n");
  return 1;
}
#endif
