// zevora-cli play: a list of modules through the sound device, one after
// the other, each ending where its song ends. On a terminal: one status
// line rewritten in place and keys read as they are pressed; otherwise the
// play time once a second, one line each.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "audio_setup.h"
#include "cli.h"
#include "cli_options.h"
#include "effects.h"
#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "player.h"
#include "song_scan.h"

namespace {

constexpr std::uint64_t kSeekFrames = 10 * 44100;
constexpr std::uint64_t kNoEndFrames = 600ull * 44100;  // a song without an end plays 10 minutes

struct PlayOptions {
  std::vector<const char*> files;
  double loops = 1;
  double startSeconds = 0;
  double seconds = -1;
  double volume = 0;
  double eq = 0, gargle = 0;
  bool haveEq = false, haveGargle = false;
};

constexpr const char* kHelp =
    "usage: zevora-cli play [FILE...] [--loops N] [--start TIME] [--seconds S] [--volume DB]\n"
    "                       [--eq GAIN_DB] [--gargle RATE_HZ]\n"
    "\n"
    "Plays the files (without any, the built-in demo) one after the other through the\n"
    "sound device, each to the end of its song; a song without an end stops after\n"
    "10 minutes. A file that cannot be loaded is reported and skipped.\n"
    "\n"
    "  --loops N         N passes of each song (0 to 1000; 0 plays for ever; default 1)\n"
    "  --start TIME      from that time of the song: seconds (83.5) or m:ss.mmm\n"
    "  --seconds S       at most S seconds of each file\n"
    "  --volume DB       the volume, -100 to 0 dB\n"
    "  --eq GAIN_DB      the 80 Hz equalizer, -15 to 15 dB\n"
    "  --gargle RATE_HZ  the gargle modulator, 1 to 1000 Hz\n"
    "  --help            this text\n"
    "\n"
    "Keys on a terminal: space pause/resume, left/right arrow 10 s back/forward,\n"
    "n/p next/previous file, q quit.\n";

bool IsPlayOption(const char* arg) {
  for (const char* option : {"--loops", "--start", "--seconds", "--volume", "--eq", "--gargle"})
    if (!std::strcmp(arg, option)) return true;
  return false;
}

// The exit code when the options end the command (help, or a one-line
// message on anything it cannot take); -1 to go on.
int ParsePlayOptions(int argc, char** argv, PlayOptions& o) {
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (arg[0] != '-' || arg[1] == '\0') {
      o.files.push_back(arg);
      continue;
    }
    if (IsHelpOption(arg)) return PrintHelp(kHelp);
    if (!IsPlayOption(arg)) return UnknownOption("play", arg);
    const char* value = i + 1 < argc ? argv[++i] : nullptr;
    if (value == nullptr) {
      std::fprintf(stderr, "zevora-cli: %s needs a value\n", arg);
      return 2;
    }
    bool ok = false;
    if (!std::strcmp(arg, "--loops"))
      ok = ParseNumberOption(arg, value, 0, 1000, true, o.loops);
    else if (!std::strcmp(arg, "--start"))
      ok = ParseTimeOption(arg, value, 7 * 86400.0, o.startSeconds);
    else if (!std::strcmp(arg, "--seconds"))
      ok = ParseNumberOption(arg, value, 0, 7 * 86400.0, false, o.seconds);
    else if (!std::strcmp(arg, "--volume"))
      ok = ParseNumberOption(arg, value, -100, 0, false, o.volume);
    else if (!std::strcmp(arg, "--eq"))
      ok = (o.haveEq = ParseNumberOption(arg, value, -15, 15, false, o.eq));
    else if (!std::strcmp(arg, "--gargle"))
      ok = (o.haveGargle = ParseNumberOption(arg, value, 1, 1000, true, o.gargle));
    if (!ok) return 2;
  }
  return -1;
}

template <typename Params, typename Interface>
bool InstallEffect(SoundBuffer& buffer, const GUID& cls, const GUID& iid, const Params& params) {
  DSEFFECTDESC desc{32, 0, cls, 0, 0};
  std::uint32_t result = 0;
  if (buffer.SetFX(1, &desc, &result) < 0) return false;
  void* object = nullptr;
  if (buffer.GetObjectInPath(cls, 0, iid, &object) < 0 || object == nullptr) return false;
  return static_cast<Interface*>(object)->SetAllParameters(&params) >= 0;
}

// The terminal in the mode the keys need (no line editing, no echo) for as
// long as this object lives; its settings come back on every way out,
// a crash included.
struct termios savedTerminal;
volatile sig_atomic_t terminalChanged = 0;

void RestoreTerminal() {
  if (terminalChanged) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalChanged = 0;
}

void OnCrash(int signal) {
  RestoreTerminal();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

class Terminal {
 public:
  Terminal() {
    interactive_ = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO) && ::tcgetattr(STDIN_FILENO, &savedTerminal) == 0;
    if (!interactive_) return;
    struct termios raw = savedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(signal, OnCrash);
    terminalChanged = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    std::fputs("\x1b[?25l", stdout);  // no cursor over the status line
  }
  ~Terminal() {
    if (!interactive_) return;
    std::fputs("\r\x1b[K\x1b[?25h", stdout);
    std::fflush(stdout);
    RestoreTerminal();
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
  bool Interactive() const { return interactive_; }

 private:
  bool interactive_ = false;
};

enum class Key { kNone, kPause, kBack, kForward, kNext, kPrevious, kQuit };

// The keys in what was typed (arrows come as ESC [ D and ESC [ C).
std::vector<Key> ReadKeys() {
  std::vector<Key> keys;
  char bytes[64];
  const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
  for (ssize_t i = 0; i < n; ++i) {
    const char c = bytes[i];
    if (c == '\x1b' && i + 2 < n && bytes[i + 1] == '[') {
      if (bytes[i + 2] == 'D') keys.push_back(Key::kBack);
      if (bytes[i + 2] == 'C') keys.push_back(Key::kForward);
      i += 2;
    } else if (c == ' ') {
      keys.push_back(Key::kPause);
    } else if (c == 'n') {
      keys.push_back(Key::kNext);
    } else if (c == 'p') {
      keys.push_back(Key::kPrevious);
    } else if (c == 'q') {
      keys.push_back(Key::kQuit);
    }
  }
  return keys;
}

// The play time as the window shows it: the first second reads 00:00:01.
void PrintTime(std::uint32_t ms) {
  const std::uint32_t s = ms / 1000 + 1;
  std::printf("%02u:%02u:%02u\n", (s / 3600) % 24, (s / 60) % 60, s % 60);
  std::fflush(stdout);
}

std::string Meter(std::int32_t level) {
  const int bars = static_cast<int>(level * 10 / 32768);
  return std::string(static_cast<std::size_t>(bars), '#') + std::string(static_cast<std::size_t>(10 - bars), '-');
}

// What ended the file being played.
enum class Outcome { kEnded, kNext, kPrevious, kQuit, kDeviceGone, kFailed };

class FilePlayer {
 public:
  FilePlayer(const PlayOptions& options, LoopingSoundBuffer& buffer, bool interactive, int signals)
      : o_(options), buffer_(buffer), interactive_(interactive), signals_(signals) {}

  Outcome PlayFile(std::size_t index, std::size_t count);

 private:
  bool Start(const ModuleSource& module, std::uint64_t frame);
  bool StartOrRecover(const ModuleSource& module, std::uint64_t frame);
  // Keeps an eye on the device: false once it is gone for good.
  bool DeviceAlive();
  void Status(std::size_t index, std::size_t count);
  std::uint64_t HeardFrame();

  const PlayOptions& o_;
  LoopingSoundBuffer& buffer_;
  const bool interactive_;
  const int signals_;
  std::string title_;
  std::uint64_t end_ = kNoSongEnd;
  std::uint64_t startFrame_ = 0;  // the frame at which the ring began
  std::uint64_t heard_ = 0;       // frames the cursor has passed since then
  std::uint32_t lastCursor_ = 0;
  bool paused_ = false;
};

std::uint64_t FilePlayer::HeardFrame() {
  std::uint32_t cursor = 0;
  buffer_.GetCurrentPosition(&cursor, nullptr);
  heard_ += ((cursor + kRingBytes - lastCursor_) % kRingBytes) / kBytesPerFrame;
  lastCursor_ = cursor;
  return startFrame_ + heard_;
}

bool FilePlayer::Start(const ModuleSource& module, std::uint64_t frame) {
  const HRESULT played = PlayerPlayFrom(module.source, 0, module.kind, &buffer_, frame, end_);
  startFrame_ = frame;
  heard_ = 0;
  lastCursor_ = static_cast<std::uint32_t>(frame % kBlockFrames) * kBytesPerFrame;
  if (played >= 0) {
    if (paused_) buffer_.Stop();
    return true;
  }
  // Nothing may stream on after a failed start (the buffer may have failed
  // after the thread began).
  PlayerStop();
  return false;
}

// A start that fails on a lost device is tried once more after the device
// is brought back; otherwise the failure is reported.
bool FilePlayer::StartOrRecover(const ModuleSource& module, std::uint64_t frame) {
  if (Start(module, frame) || (DeviceAlive() && Start(module, frame))) return true;
  std::fprintf(stderr, "%szevora-cli: %s: cannot start playback: the sound device failed\n",
               interactive_ ? "\r\x1b[K" : "", module.label);
  return false;
}

bool FilePlayer::DeviceAlive() {
  std::uint32_t status = 0;
  if (buffer_.GetStatus(&status) < 0 || !(status & DSBSTATUS_BUFFERLOST)) return true;
  // A lost device gets a few tries over two seconds to come back.
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (buffer_.Restore() >= 0) {
      if (!paused_) buffer_.Play(0, 0, DSBPLAY_LOOPING);
      return true;
    }
    timespec wait{0, 500000000};
    ::nanosleep(&wait, nullptr);
  }
  return false;
}

void FilePlayer::Status(std::size_t index, std::size_t count) {
  const std::uint64_t frame = HeardFrame();
  const std::uint64_t shown = end_ != kNoSongEnd && frame > end_ ? end_ : frame;
  std::int32_t left = 0, right = 0;
  if (!paused_) buffer_.HeardLevels(1024, left, right);
  const std::uint32_t position = PlayerGetPosition();
  std::printf("\r[%zu/%zu] %.40s  %s / %s  ord %3u row %3u %s L %s R %s\x1b[K", index + 1, count, title_.c_str(),
              FormatDuration(shown).c_str(), end_ == kNoSongEnd ? "-:--.---" : FormatDuration(end_).c_str(),
              position & 255, position >> 8, paused_ ? "[paused]" : "        ", Meter(left).c_str(),
              Meter(right).c_str());
  std::fflush(stdout);
}

Outcome FilePlayer::PlayFile(std::size_t index, std::size_t count) {
  const char* file = o_.files.empty() ? nullptr : o_.files[index];
  const ModuleSource module = SourceFor(file);

  // Where this file's song ends, from a scan of its own.
  LoadError error = LoadError::kNone;
  const SongPtr song = LoadModuleSong(module, error);
  if (song == nullptr) {
    if (interactive_) std::fputs("\r\x1b[K", stdout), std::fflush(stdout);
    ReportLoadFailure(module, error);
    return Outcome::kFailed;
  }
  const ModuleNames names = NamesOf(*song);
  const std::uint32_t loops = static_cast<std::uint32_t>(o_.loops);
  const SongScan scan = ScanSong(*song, loops == 0 ? 1 : loops);
  title_ = TerminalText(names.title);
  if (title_.empty()) title_ = TerminalText(module.label);
  const std::uint64_t start = SecondsToFrames(o_.startSeconds);
  end_ = kNoSongEnd;
  if (loops != 0) end_ = scan.passEnds.size() >= loops ? scan.passEnds[loops - 1] : start + kNoEndFrames;
  if (o_.seconds >= 0 && start + SecondsToFrames(o_.seconds) < end_) end_ = start + SecondsToFrames(o_.seconds);
  if (start >= end_) return Outcome::kEnded;

  if (!StartOrRecover(module, start)) return Outcome::kDeviceGone;

  using Clock = std::chrono::steady_clock;
  auto nextPrint = Clock::now() + std::chrono::seconds(1);
  Outcome outcome = Outcome::kEnded;
  for (;;) {
    if (!DeviceAlive()) {
      std::fprintf(stderr, "%szevora-cli: the sound device is gone\n", interactive_ ? "\r\x1b[K" : "");
      outcome = Outcome::kDeviceGone;
      break;
    }
    const std::uint64_t frame = HeardFrame();
    if (frame >= end_) break;
    const auto now = Clock::now();
    if (interactive_) {
      Status(index, count);
    } else if (now >= nextPrint) {
      PrintTime(PlayerGetTime());
      nextPrint += std::chrono::seconds(1);
    }
    // Wake for a key, a stop signal, the next status, or near the end.
    int wait = interactive_ ? 100 : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         nextPrint - now).count()) + 1;
    if (end_ != kNoSongEnd && !paused_) {
      const std::uint64_t toEnd = (end_ - frame) * 1000 / 44100;
      if (toEnd < static_cast<std::uint64_t>(wait)) wait = static_cast<int>(toEnd < 10 ? 10 : toEnd);
    }
    pollfd fds[2] = {{signals_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, interactive_ ? 2 : 1, wait) <= 0) continue;
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info{};
      (void)!::read(signals_, &info, sizeof info);
      outcome = Outcome::kQuit;
      break;
    }
    if (!interactive_ || !(fds[1].revents & POLLIN)) continue;
    bool leave = false;
    for (const Key key : ReadKeys()) {
      if (key == Key::kPause) {
        paused_ = !paused_;
        if (paused_) buffer_.Stop();
        else buffer_.Play(0, 0, DSBPLAY_LOOPING);
      } else if (key == Key::kBack || key == Key::kForward) {
        // The audio after a seek is what playing through gives there.
        const std::uint64_t at = HeardFrame();
        std::uint64_t to = key == Key::kForward ? at + kSeekFrames : (at > kSeekFrames ? at - kSeekFrames : 0);
        if (to >= end_) {
          outcome = Outcome::kEnded;
          leave = true;
          break;
        }
        if (!StartOrRecover(module, to)) {
          outcome = Outcome::kDeviceGone;
          leave = true;
          break;
        }
      } else if (key != Key::kNone) {
        outcome = key == Key::kNext ? Outcome::kNext : key == Key::kPrevious ? Outcome::kPrevious : Outcome::kQuit;
        leave = true;
        break;
      }
    }
    if (leave) break;
  }
  PlayerStop();
  return outcome;
}

}  // namespace

int PlayCommand(int argc, char** argv) {
  PlayOptions o;
  if (const int parsed = ParsePlayOptions(argc, argv, o); parsed >= 0) return parsed;

  // Ctrl-C, SIGTERM and SIGHUP are read from a descriptor by the waiting
  // loop; they are blocked before any thread starts, so that every thread
  // inherits the block and none of them is ended by the signal.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  AudioService audio;
  if (SetUpAudio({}, audio) != 0) {
    std::fprintf(stderr, "zevora-cli: DirectSound error: no sound device could be opened\n");
    return 1;
  }
  LoopingSoundBuffer& buffer = *audio.buffer;
  buffer.SetVolume(static_cast<std::int32_t>(o.volume * 100.0));
  if (o.haveEq &&
      !InstallEffect<DSFXParamEq, IDirectSoundFXParamEq>(buffer, GUID_DSFX_STANDARD_PARAMEQ, IID_IDirectSoundFXParamEq,
                                                         DSFXParamEq{80.0f, 12.0f, static_cast<float>(o.eq)})) {
    std::fprintf(stderr, "zevora-cli: the equalizer could not be set up\n");
    return 1;
  }
  if (o.haveGargle &&
      !InstallEffect<DSFXGargle, IDirectSoundFXGargle>(buffer, GUID_DSFX_STANDARD_GARGLE, IID_IDirectSoundFXGargle,
                                                       DSFXGargle{static_cast<std::uint32_t>(o.gargle), 0})) {
    std::fprintf(stderr, "zevora-cli: the gargle could not be set up\n");
    return 1;
  }

  const std::size_t count = o.files.empty() ? 1 : o.files.size();
  bool failed = false;
  Outcome last = Outcome::kEnded;
  {
    Terminal terminal;
    FilePlayer player(o, buffer, terminal.Interactive(), signals);
    for (std::size_t i = 0; i < count;) {
      const Outcome outcome = player.PlayFile(i, count);
      last = outcome;
      if (outcome == Outcome::kFailed) failed = true;
      if (outcome == Outcome::kQuit) break;
      if (outcome == Outcome::kDeviceGone) {
        failed = true;
        break;
      }
      if (outcome == Outcome::kPrevious)
        i = i > 0 ? i - 1 : 0;
      else
        ++i;
    }
  }
  PlayerStop();
  // The device and the sound server still hold the last frames taken from
  // the buffer (silence follows the song's end): they are played out before
  // the device closes.
  if (last == Outcome::kEnded) {
    timespec drain{0, 300000000};
    ::nanosleep(&drain, nullptr);
  }
  if (!StandardOutputOk()) return 1;
  return failed ? 1 : 0;
}
