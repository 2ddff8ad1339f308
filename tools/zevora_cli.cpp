// zevora-cli: module information, offline rendering, and playback through
// the sound device without a window.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "resources.h"
#include "sources.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: zevora-cli info [--json] FILE\n"
               "       zevora-cli render [FILE] [-o OUT] [--loops N | --seconds S | --blocks N]\n"
               "                         [--start TIME | --start-row ORDER:ROW] [--positions CSV]\n"
               "       zevora-cli play [FILE...] [--loops N] [--start TIME] [--seconds S] [--volume DB]\n"
               "                       [--eq GAIN_DB] [--gargle RATE_HZ]\n"
               "       zevora-cli --help | --version | COMMAND --help\n");
}

constexpr const char* kHelp =
    "usage: zevora-cli COMMAND [OPTION...] [FILE...]\n"
    "\n"
    "Shows, renders and plays XM (Extended Module) music files.\n"
    "\n"
    "Commands:\n"
    "  info [--json] FILE       a module's records, names, duration and loop point\n"
    "  render [FILE] [-o OUT]   the song, or a part of it, to a sound file\n"
    "  play [FILE...]           modules through the sound device\n"
    "\n"
    "Without FILE, render and play use the built-in demo module.\n"
    "zevora-cli COMMAND --help shows a command's options.\n"
    "\n"
    "  --help      this text\n"
    "  --version   the program's version\n";

constexpr const char* kInfoHelp =
    "usage: zevora-cli info [--json] FILE\n"
    "\n"
    "Shows FILE's title, tracker and format version, channels, song length and\n"
    "restart position, patterns, frequency table, speed and BPM, the song's\n"
    "duration (m:ss.mmm) and loop point, and every instrument and sample.\n"
    "\n"
    "  --json   the module's records as JSON instead, with the names, the\n"
    "           duration in frames and ms and the loop point (null without an end)\n"
    "  --help   this text\n";

}  // namespace

std::string Shown(const std::string& name) { return TerminalText(name, NameEncoding::kUtf8); }

bool IsHelpOption(const char* arg) { return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"); }

int UnknownOption(const char* command, const char* option) {
  std::fprintf(stderr, "zevora-cli: %s: unknown option %s (see zevora-cli %s --help)\n", command, Shown(option).c_str(),
               command);
  return 2;
}

int PrintHelp(const char* text) {
  std::fputs(text, stdout);
  return StandardOutputOk() ? 0 : 1;
}

int LoadFailureMessage(const char* file, LoadError error) {
  // Opened without blocking: a FIFO or a device never holds the program.
  struct stat info {};
  const int fd = ::open(file, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const std::string name = Shown(file);
  if (fd < 0) {
    std::fprintf(stderr, "zevora-cli: %s: cannot open (%s)\n", name.c_str(), std::strerror(errno));
  } else if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "zevora-cli: %s: cannot open (is a directory)\n", name.c_str());
  } else if (!S_ISREG(info.st_mode)) {
    std::fprintf(stderr, "zevora-cli: %s: cannot open (not a regular file)\n", name.c_str());
  } else {
    std::fprintf(stderr, "zevora-cli: %s: %s\n", name.c_str(), LoadErrorText(error));
  }
  if (fd >= 0) ::close(fd);
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

int ReportLoadFailure(const ModuleSource& module, LoadError error) {
  if (module.kind == kSourceFile) return LoadFailureMessage(module.label, error);
  std::fprintf(stderr, "zevora-cli: %s: %s\n", module.label, LoadErrorText(error));
  return 1;
}

bool StandardOutputOk() {
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
  std::fprintf(stderr, "zevora-cli: cannot write to standard output (%s)\n", std::strerror(errno));
  return false;
}

int InfoCommand(int argc, char** argv) {
  bool json = false;
  const char* file = nullptr;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (IsHelpOption(arg)) return PrintHelp(kInfoHelp);
    if (std::strcmp(arg, "--json") == 0 && !json) {
      json = true;
    } else if (arg[0] == '-' && arg[1] != '\0' && std::strcmp(arg, "--json") != 0) {
      return UnknownOption("info", arg);
    } else if (arg[0] != '-' && file == nullptr) {
      file = arg;
    } else {
      std::fprintf(stderr, "zevora-cli: info: unexpected \"%s\"\n", Shown(arg).c_str());
      return 2;
    }
  }
  if (file == nullptr) {
    std::fprintf(stderr, "zevora-cli: info needs a FILE\n");
    return 2;
  }
  LoadError error = LoadError::kNone;
  const SongPtr song = LoadModuleSong(SourceFor(file), error);
  if (song == nullptr) return LoadFailureMessage(file, error);
  const ModuleNames names = NamesOf(*song);
  const SongScan scan = ScanSong(*song, 1);
  const std::string text = json ? ModuleJson(*song, names, scan) + "\n" : ModuleSummary(*song, names, scan);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return StandardOutputOk() ? 0 : 1;
}

int main(int argc, char** argv) {
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
