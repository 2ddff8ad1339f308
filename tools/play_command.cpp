// zevora-cli play: a list of modules through the sound device, one after
// the other, each ending where its song ends. On a terminal: one status
// line rewritten in place and keys read as they are pressed; otherwise the
// play time once a second, one line each.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio_setup.h"
#include "device_losses.h"
#include "cli.h"
#include "cli_options.h"
#include "effects.h"
#include "loader.h"
#include "module.h"
#include "module_json.h"
#include "player.h"
#include "song_scan.h"
#include "status_line.h"

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
    "usage: zevora-cli play [FILE...] [--loops N] [--start TIME] [--seconds S]\n"
    "                       [--volume DB] [--eq GAIN_DB | --gargle RATE_HZ]\n"
    "\n"
    "Plays the files (without any, the built-in demo) one after the other through\n"
    "the sound device, each to the end of its song; a song without an end stops\n"
    "after 10 minutes. A file that cannot be loaded is reported and skipped.\n"
    "\n"
    "  --loops N         N passes of each song (0 to 1000; 0 plays for ever;\n"
    "                    default 1)\n"
    "  --start TIME      from that time of the song: seconds (83.5) or m:ss.mmm\n"
    "  --seconds S       at most S seconds of each file\n"
    "  --volume DB       the volume, -100 to 0 dB\n"
    "  --eq GAIN_DB      the 80 Hz equalizer, -15 to 15 dB\n"
    "  --gargle RATE_HZ  the gargle modulator, 1 to 1000 Hz (not with --eq)\n"
    "  --                every argument after it is a FILE (one that begins with -\n"
    "                    too)\n"
    "  --help            this text\n"
    "\n"
    "Keys on a terminal: space pause/resume, left/right arrow 10 s back/forward,\n"
    "n/p next/previous file, 1-9 and 0 mute/unmute channels 1-10, q quit.\n";

bool IsPlayOption(const char* arg) {
  for (const char* option : {"--loops", "--start", "--seconds", "--volume", "--eq", "--gargle"})
    if (!std::strcmp(arg, option)) return true;
  return false;
}

// The exit code when the options end the command (help, or a one-line
// message on anything it cannot take); -1 to go on.
int ParsePlayOptions(int argc, char** argv, PlayOptions& o) {
  bool optionsEnded = false;
  for (int i = 2; i < argc; ++i) {
    const char* arg = argv[i];
    if (TakenAfterOptions(arg, optionsEnded, o.files)) continue;
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
    // The sound buffer holds one effect at a time, as the window's does.
    if ((!std::strcmp(arg, "--eq") && o.haveGargle) || (!std::strcmp(arg, "--gargle") && o.haveEq)) {
      std::fprintf(stderr, "zevora-cli: %s cannot go with %s (one effect at a time)\n", arg,
                   o.haveEq ? "--eq" : "--gargle");
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

// The terminal the status line and the keys use. Key mode (no line
// editing, no echo) is on only while this process is in the terminal's
// foreground process group: a program started with & plays without
// touching it. The settings key mode found come back whenever it ends: on
// every way out, a crash included, and before a stop by Ctrl-Z. The cursor
// is never hidden, so that even SIGKILL leaves nothing to put back.
struct termios savedTerminal;
volatile sig_atomic_t terminalChanged = 0;

bool InForeground() { return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

// Sets the terminal, never stopped for it: where the shell takes the
// terminal back just after the look at the foreground, SIGTTOU would stop
// this process in the middle, and the Ctrl-Z stop that follows would then
// take the fg meant to continue it.
void SetTerminal(const struct termios& settings) {
  sigset_t ttou, previous;
  sigemptyset(&ttou);
  sigaddset(&ttou, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &ttou, &previous);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &settings);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void OnCrash(int signal) {
  // Only calls that are safe in a signal handler; a process that is no
  // longer in the foreground leaves the terminal to the one that is.
  if (terminalChanged && InForeground()) {
    (void)!::write(STDOUT_FILENO, "\r\x1b[K", 4);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  }
  terminalChanged = 0;
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

class Terminal {
 public:
  Terminal() {
    onTerminal_ = ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO);
    if (!onTerminal_) return;
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) ::signal(signal, OnCrash);
    MeasureWidth();
    Follow();
  }
  ~Terminal() { Release(); }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Standard input and output are a terminal (whether in the foreground
  // or not).
  bool OnTerminal() const { return onTerminal_; }
  // The keys are read and the status line is shown.
  bool KeyMode() const { return terminalChanged != 0; }
  int Columns() const { return columns_; }

  // Enters key mode in the foreground; out of it (moved to the background
  // while stopped, its owner has set the terminal up for itself since),
  // leaves key mode without touching the terminal.
  void Follow() {
    if (!onTerminal_) return;
    const bool foreground = InForeground();
    if (KeyMode() && !foreground) terminalChanged = 0;
    if (KeyMode() || !foreground || ::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
    struct termios raw = savedTerminal;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    terminalChanged = 1;
    SetTerminal(raw);
  }

  // Continued (SIGCONT). A stop that could not be seen coming (SIGSTOP)
  // left the terminal in key mode to the shell, which set it up for itself
  // again: in the foreground, key mode is then set again over the settings
  // the terminal has now, and those come back at the end. A terminal still
  // in key mode (continued without a stop) is left as it is.
  void Continued() {
    if (!onTerminal_) return;
    struct termios now;
    if (KeyMode() && InForeground() && ::tcgetattr(STDIN_FILENO, &now) == 0 && (now.c_lflag & (ICANON | ECHO)))
      terminalChanged = 0;
    Follow();
  }

  // Leaves key mode: the status line cleared, the settings restored.
  // Out of the foreground (the shell took the terminal back before this
  // process heard Ctrl-Z: the script it runs under stopped first), the
  // terminal is the shell's, set up by it for itself, and left as it is.
  void Release() {
    if (!KeyMode()) return;
    if (InForeground()) {
      ClearLine();
      SetTerminal(savedTerminal);
    } else {
      status_.Forget();
    }
    terminalChanged = 0;
  }

  // Clears the status line (before a message, or on the way out).
  void ClearLine() {
    status_.Forget();
    if (!KeyMode()) return;
    std::fputs("\r\x1b[K", stdout);
    std::fflush(stdout);
  }

  // Writes the status line where it is due (see StatusWriter).
  void ShowStatus(const std::string& text, bool paused) {
    if (!status_.Due(text, paused, StatusWriter::Clock::now())) return;
    std::printf("\r%s\x1b[K", text.c_str());
    std::fflush(stdout);
  }

  void MeasureWidth() {
    winsize size{};
    columns_ = ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
  }

 private:
  bool onTerminal_ = false;
  int columns_ = 0;
  StatusWriter status_;
};

enum class Key { kNone, kPause, kBack, kForward, kNext, kPrevious, kQuit, kMute };

struct KeyPress {
  Key key;
  int channel;  // for kMute: 0 for the key 1, ..., 9 for the key 0
};

// The keys in what is typed. An escape sequence is taken whole, even when
// it comes in pieces over several reads: the arrows (ESC [ D and ESC [ C,
// or ESC O D and ESC O C) seek, and no other sequence does anything (F5,
// ESC [ 1 5 ~, or Shift-Right, ESC [ 1 ; 2 C, hold digits that are no mute
// keys). Escape on its own followed by a key leaves that key as it is.
class KeyReader {
 public:
  std::vector<KeyPress> Read() {
    std::vector<KeyPress> keys;
    char bytes[64];
    const ssize_t n = ::read(STDIN_FILENO, bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) Take(bytes[i], keys);
    return keys;
  }

 private:
  enum class State { kText, kEscape, kCsi, kSs3 };

  void Take(char c, std::vector<KeyPress>& keys) {
    const auto arrow = [&](char final) {
      if (final == 'D') keys.push_back({Key::kBack, 0});
      if (final == 'C') keys.push_back({Key::kForward, 0});
    };
    switch (state_) {
      case State::kEscape:
        if (c == '[') {
          state_ = State::kCsi;
          plainCsi_ = true;
          return;
        }
        if (c == 'O') {
          state_ = State::kSs3;
          return;
        }
        break;
      case State::kSs3:
        arrow(c);
        state_ = State::kText;
        return;
      case State::kCsi:
        if (c >= 0x20 && c <= 0x3F) {  // parameters and intermediates
          plainCsi_ = false;
          return;
        }
        state_ = State::kText;
        if (c >= 0x40 && c <= 0x7E) {
          if (plainCsi_) arrow(c);
          return;
        }
        break;
      case State::kText: break;
    }
    state_ = State::kText;
    if (c == '\x1b') {
      state_ = State::kEscape;
    } else if (c == ' ') {
      keys.push_back({Key::kPause, 0});
    } else if (c == 'n') {
      keys.push_back({Key::kNext, 0});
    } else if (c == 'p') {
      keys.push_back({Key::kPrevious, 0});
    } else if (c == 'q') {
      keys.push_back({Key::kQuit, 0});
    } else if (c >= '0' && c <= '9') {
      keys.push_back({Key::kMute, c == '0' ? 9 : c - '1'});
    }
  }

  State state_ = State::kText;
  bool plainCsi_ = true;  // no parameter in the sequence so far
};

// "mute 1 3 10" for the muted channels, or nothing.
std::string MutedText(std::uint32_t muted) {
  std::string text;
  for (int c = 0; c < 32; ++c)
    if (muted & (1u << c)) text += (text.empty() ? " mute " : " ") + std::to_string(c + 1);
  return text;
}

// The play time as the window shows it: the first second reads 00:00:01.
// Returns why the line could not be written, or 0.
int PrintTime(std::uint32_t ms) {
  const std::uint32_t s = ms / 1000 + 1;
  std::printf("%02u:%02u:%02u\n", (s / 3600) % 24, (s / 60) % 60, s % 60);
  return std::fflush(stdout) != 0 ? errno : 0;
}

std::string Meter(std::int32_t level) {
  const int bars = static_cast<int>(level * 10 / 32768);
  return std::string(static_cast<std::size_t>(bars), '#') + std::string(static_cast<std::size_t>(10 - bars), '-');
}

// What ended the file being played.
enum class Outcome { kEnded, kNext, kPrevious, kQuit, kDeviceGone, kFailed };

// A file made ready to play: its song, and where playing it starts and ends.
struct Prepared {
  SongPtr song;
  std::string title;
  std::string duration;  // as the status line shows it
  std::uint32_t channels = 0;
  std::uint64_t start = 0;
  std::uint64_t end = kNoSongEnd;
  std::string notice;  // said on standard error when the file is reached ("no end found")
};

// Plays the files through the default player. Each file's song is loaded
// once: seeks move it exactly without loading it again, and the next file
// is queued to follow the one playing without a gap. Tags name files in
// what the player says is heard: file k has tag k + 1.
class FilePlayer {
 public:
  FilePlayer(const PlayOptions& options, LoopingSoundBuffer& buffer, Terminal& terminal, int signals)
      : o_(options), buffer_(buffer), terminal_(terminal), signals_(signals) {}

  Outcome PlayFile(std::size_t index, std::size_t count);
  // The file to play after `next` - 1 ended: `next`, unless a later one has
  // taken over without a gap already.
  std::size_t Following(std::size_t next) const { return continuing_ != kNoFile ? continuing_ : next; }
  // The stop signal (Ctrl-C, SIGTERM, SIGHUP, SIGQUIT) that ended play, or 0.
  int StopSignal() const { return stopSignal_; }
  // Handles the signals that came; true once a stop signal has.
  bool TakeSignals();
  // Why the first time line that failed could not be written, or 0 (by
  // the end errno tells of other calls).
  int WriteError() const { return writeError_; }

 private:
  enum class Device { kAlive, kGone, kStopSignal };
  // File `index` (the built-in demo where no file was given).
  ModuleSource SourceOf(std::size_t index) const { return SourceFor(o_.files.empty() ? nullptr : o_.files[index]); }
  // Loads file `index` and works out where it starts and ends; reports why
  // not (and returns nothing) where it cannot be played.
  std::optional<Prepared> Prepare(std::size_t index, bool report);
  // Starts the file's song at `frame` (after a device loss once more, with
  // the song loaded again), with the next file queued to follow it without
  // a gap; the outcome for the file if that failed.
  std::optional<Outcome> Start(std::size_t index, std::size_t count, SongPtr song, std::uint64_t frame);
  // File index + 1, made ready to follow file `index` (nothing at the end
  // of the list, after a song that does not end, or where it cannot be
  // played: the chain of queued files ends there).
  QueuedSong NextFile(std::size_t index, std::size_t count, bool indexEnds);
  // Queues the file after the last one queued once the player has taken
  // that one, so that songs shorter than the ring follow each other too;
  // and the one after that where it was taken at once, and so on. `lead`:
  // as PlayerQueueSongInTime has it (0 before the stream starts, when
  // nothing has been heard yet).
  void Refill(std::size_t count, std::uint32_t lead = 8);
  // Moves the song to the start of the block that holds `frame` a minute
  // at a time, with an ear for stop signals: a --start days into a song
  // without an end takes a while. The player's prefill goes on from
  // there (from a song inside that block it would start again from the
  // song's start, deaf to the signals). False when a stop signal came.
  bool Seek(Song& song, std::uint64_t frame);
  Device KeepDevice();
  void Suspend();
  // A message on standard error, the status line cleared first.
  void Tell(const std::string& message);
  void Status(std::size_t index, std::size_t count);
  // The frame of this file being heard, and whether the next file has
  // taken over.
  std::uint64_t HeardFrame(std::size_t index, bool& nextHeard);

  const PlayOptions& o_;
  LoopingSoundBuffer& buffer_;
  Terminal& terminal_;
  const int signals_;
  int stopSignal_ = 0;
  std::string title_;
  std::string duration_;
  std::uint32_t channels_ = 0;      // of the file heard: the mute keys go no further
  std::uint64_t end_ = kNoSongEnd;  // where playing the file stops
  std::uint64_t heard_ = 0;         // the last frame known to be heard
  bool paused_ = false;
  DeviceLosses losses_;
  // The file that is already playing because it was queued to follow the
  // one before it (kNoFile: none), and the last file queued to the player.
  static constexpr std::size_t kNoFile = ~std::size_t{0};
  std::size_t continuing_ = kNoFile;
  std::size_t queued_ = kNoFile;
  bool queuedEnds_ = false;
  // What was worked out for the files handed to the player to follow (by
  // index; their songs are the player's): a file that follows is not read
  // again when it is reached, so one deleted or changed since plays on.
  std::map<std::size_t, Prepared> followers_;
  KeyReader keys_;
  // Keys read together with one that left the file, for the file after it.
  std::vector<KeyPress> typedAhead_;
  int writeError_ = 0;
};

bool FilePlayer::TakeSignals() {
  signalfd_siginfo info{};
  while (::read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    if (info.ssi_signo == SIGTSTP) {
      Suspend();
    } else if (info.ssi_signo == SIGCONT) {
      terminal_.Continued();
    } else if (info.ssi_signo == SIGWINCH) {
      terminal_.MeasureWidth();
    } else if (stopSignal_ == 0) {
      stopSignal_ = static_cast<int>(info.ssi_signo);
    }
  }
  return stopSignal_ != 0;
}

// Ctrl-Z: the terminal is given back as it was, then the process stops as
// the signal asks. Once continued it takes the terminal again if it is in
// the foreground (after `fg`; after `bg` it plays on without it).
void FilePlayer::Suspend() {
  terminal_.Release();
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  ::raise(SIGTSTP);  // stops here (not in an orphaned process group, where nothing may stop it)
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  terminal_.Follow();
}

// The frame being heard, from the frames the device has taken, so that it
// is right however long this thread was held up. Where that block is not
// known (the device ran ahead of the ring), the last frame known stands.
std::uint64_t FilePlayer::HeardFrame(std::size_t index, bool& nextHeard) {
  nextHeard = false;
  ::HeardFrame heard{};
  if (PlayerHeard(DefaultPlayer(), heard)) {
    if (heard.tag == index + 1) {
      heard_ = heard.songFrame;
    } else if (heard.tag > index + 1) {
      nextHeard = true;
      continuing_ = heard.tag - 1;
    }
  }
  return heard_;
}

std::optional<Prepared> FilePlayer::Prepare(std::size_t index, bool report) {
  const ModuleSource module = SourceOf(index);
  Prepared p;
  LoadError error = LoadError::kNone;
  p.song = LoadModuleSong(module, error);
  if (p.song == nullptr) {
    if (report) {
      terminal_.ClearLine();
      ReportLoadFailure(module, error);
    }
    return std::nullopt;
  }
  // Where the song ends, from a scan of its own.
  const std::uint32_t loops = static_cast<std::uint32_t>(o_.loops);
  const std::optional<SongScan> scanned = TryScanSong(*p.song, loops == 0 ? 1 : loops);
  if (!scanned) {
    if (report) {
      terminal_.ClearLine();
      ReportLoadFailure(module, LoadError::kOutOfMemory);
    }
    return std::nullopt;
  }
  const SongScan& scan = *scanned;
  p.title = TerminalText(NamesOf(*p.song).title);
  p.channels = p.song->module.channelCount;
  if (p.title.empty()) p.title = FileDisplayName(module.label);
  p.start = SecondsToFrames(o_.startSeconds);
  const bool endFound = loops != 0 && scan.passEnds.size() >= loops;
  const std::uint64_t songEnd = endFound ? scan.passEnds[loops - 1] : kNoSongEnd;
  if (p.start >= songEnd) {
    if (report) {
      terminal_.ClearLine();
      const std::string end = loops == 1 ? "song's end" : "end of pass " + std::to_string(loops);
      std::fprintf(stderr, "zevora-cli: %s: --start %s is at or past the %s, %s\n", Shown(module.label).c_str(),
                   FormatDuration(p.start).c_str(), end.c_str(), FormatDuration(songEnd).c_str());
    }
    return std::nullopt;
  }
  p.end = songEnd;
  p.duration = loops == 0 ? "-:--.---" : FormatDuration(songEnd);
  // --seconds cuts short a song that ends, the 10 minutes of one without
  // an end, and endless play alike.
  const bool limited = o_.seconds >= 0 && (loops == 0 || p.start + SecondsToFrames(o_.seconds) <
                                                             (endFound ? songEnd : p.start + kNoEndFrames));
  if (limited) {
    p.end = p.start + SecondsToFrames(o_.seconds);
    p.duration = FormatDuration(p.end);
  } else if (loops != 0 && !endFound) {
    // As render does: a song that never ends stops after 10 minutes.
    p.end = p.start + kNoEndFrames;
    p.duration = "no end";
    p.notice = "zevora-cli: " + Shown(module.label) + ": no end found; playing 10 minutes\n";
    if (report) Tell(p.notice);
  }
  return p;
}

std::optional<Outcome> FilePlayer::Start(std::size_t index, std::size_t count, SongPtr song, std::uint64_t frame) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (song == nullptr) {
      // The device failed the start before: the song, gone with it, is
      // loaded again, and the file may have gone or changed since. That is
      // the file's failure, and the next file plays.
      const ModuleSource module = SourceOf(index);
      LoadError error = LoadError::kNone;
      song = LoadModuleSong(module, error);
      if (song == nullptr) {
        terminal_.ClearLine();
        ReportLoadFailure(module, error);
        return Outcome::kFailed;
      }
    }
    if (!Seek(*song, frame)) return Outcome::kQuit;
    // While paused the ring is only filled: nothing may be heard under
    // "[paused]" until play resumes, from exactly this frame. The next file
    // is queued before the ring is filled, so that it follows even a song
    // shorter than the ring.
    Player& player = DefaultPlayer();
    queued_ = index;
    const HRESULT prepared =
        PlayerPrepareSong(player, song.release(), &buffer_, frame, end_, static_cast<std::uint32_t>(index + 1),
                          NextFile(index, count, end_ != kNoSongEnd));
    heard_ = frame;
    // Songs shorter than the ring that it took in the prefill are followed
    // before anything is heard, each right at the end of the one before.
    if (prepared >= 0) Refill(count, 0);
    if (prepared >= 0 && PlayerStart(player, paused_) >= 0) return std::nullopt;
    // Nothing may stream on after a failed start.
    PlayerStop();
    if (attempt > 0) break;
    const Device device = KeepDevice();
    if (device == Device::kStopSignal) return Outcome::kQuit;
    if (device == Device::kGone) break;
  }
  terminal_.ClearLine();
  const char* label = SourceOf(index).label;
  std::fprintf(stderr, "zevora-cli: %s: cannot start playback: the sound device failed\n", Shown(label).c_str());
  return Outcome::kDeviceGone;
}

QueuedSong FilePlayer::NextFile(std::size_t index, std::size_t count, bool indexEnds) {
  std::optional<Prepared> next;
  if (index + 1 < count && indexEnds) next = Prepare(index + 1, false);  // reported when it is reached
  if (!next) {
    queued_ = kNoFile;
    return {};
  }
  if (!Seek(*next->song, next->start)) {
    queued_ = kNoFile;
    return {};
  }
  // Where the channels muted when it takes over differ, the streaming
  // thread mixes the block it stands in again: from where that block began,
  // kept here, instead of by a seek from a keyframe or the song's start
  // (none for a song whose effects write into its samples), which far into
  // the song would hold the stream up for longer than the ring lasts.
  KeepBlockStarts(*next->song);
  SeekSong(*next->song, next->start);  // a queued song follows from the frame it stands at
  queued_ = index + 1;
  queuedEnds_ = next->end != kNoSongEnd;
  Song* song = next->song.release();
  followers_[index + 1] = std::move(*next);
  return {song, followers_[index + 1].end, static_cast<std::uint32_t>(index + 2)};
}

void FilePlayer::Refill(std::size_t count, std::uint32_t lead) {
  Player& player = DefaultPlayer();
  // Each time round hands over the next file of the list: it ends by the
  // list's end at the latest.
  while (queued_ != kNoFile && !PlayerHasQueuedSong(player)) {
    const QueuedSong next = NextFile(queued_, count, queuedEnds_);
    // The song it follows may have ended in the ring already (one shorter
    // than the ring, taken while it was filled): the ring is then rendered
    // again from there, so that it follows without a gap, and it is taken
    // at once: the file after it is queued straight away.
    if (next.song == nullptr || PlayerQueueSongInTime(player, next.song, next.endFrame, next.tag, lead) < 0) return;
  }
}

bool FilePlayer::Seek(Song& song, std::uint64_t frame) {
  // Keyframes taken on the way, so that a seek back soon after a far start
  // does not go back to the song's start.
  KeepKeyframes(song, kPlayerKeyframes);
  constexpr std::uint64_t kStep = 60 * 44100;
  for (std::uint64_t at = kStep; at < frame; at += kStep) {
    SeekSongToBlock(song, at / kBlockFrames);
    if (TakeSignals()) return false;
  }
  SeekSongToBlock(song, frame / kBlockFrames);
  return true;
}

// A lost device (gone, or silent for 2 s while playing) gets a few tries
// over two seconds to come back; stop signals are heard in between. One
// that comes back but is lost again before it has played a second, four
// times in a row (it opens, but fails every write), is gone as well:
// nothing would be heard.
FilePlayer::Device FilePlayer::KeepDevice() {
  std::uint32_t status = 0;
  if (buffer_.GetStatus(&status) < 0 || !(status & DSBSTATUS_BUFFERLOST)) return Device::kAlive;
  std::uint64_t played = 0;
  buffer_.GetPlayedFrames(&played);
  if (losses_.GoneForGood(played, paused_)) return Device::kGone;
  for (int attempt = 0; attempt < 4; ++attempt) {
    if (buffer_.Restore() >= 0) {
      buffer_.GetPlayedFrames(&played);
      losses_.Restored(played);
      if (!paused_) buffer_.Play(0, 0, DSBPLAY_LOOPING);
      return Device::kAlive;
    }
    pollfd signal{signals_, POLLIN, 0};
    if (::poll(&signal, 1, 500) > 0 && TakeSignals()) return Device::kStopSignal;
  }
  return Device::kGone;
}

void FilePlayer::Tell(const std::string& message) {
  terminal_.ClearLine();
  std::fputs(message.c_str(), stderr);
}

void FilePlayer::Status(std::size_t index, std::size_t count) {
  bool nextHeard = false;
  const std::uint64_t frame = HeardFrame(index, nextHeard);
  std::int32_t left = 0, right = 0;
  if (!paused_) buffer_.HeardLevels(1024, left, right);
  // The row of the block being heard, from the device's count of played
  // frames (the streaming thread moves its position on ten blocks at a
  // time: behind what is heard by up to that).
  PositionLogEntry heardPosition{};
  const std::uint32_t position =
      PlayerHeardPosition(DefaultPlayer(), heardPosition) ? heardPosition.songPosition : PlayerGetPosition();
  StatusLine line;
  char text[48];
  std::snprintf(text, sizeof text, "[%zu/%zu]", index + 1, count);
  line.counter = text;
  line.title = title_;
  line.time = FormatDuration(end_ != kNoSongEnd && frame > end_ ? end_ : frame);
  line.duration = duration_;
  std::snprintf(text, sizeof text, "ord %3u row %3u", position & 255, position >> 8);
  line.position = text + MutedText(DefaultPlayer().mutedChannels.load());
  line.paused = paused_;
  line.meter = "L " + Meter(left) + " R " + Meter(right);
  terminal_.ShowStatus(FitStatusLine(line, terminal_.Columns()), paused_);
}

Outcome FilePlayer::PlayFile(std::size_t index, std::size_t count) {
  const bool continuing = continuing_ == index;
  continuing_ = kNoFile;
  std::optional<Prepared> file;
  if (const auto follower = followers_.find(index); continuing && follower != followers_.end()) {
    // Heard already: what was worked out when it was queued stands, and
    // the file is not read again (it may have gone or changed since).
    file = std::move(follower->second);
    followers_.erase(follower);
    if (!file->notice.empty()) Tell(file->notice);
  } else {
    if (!continuing) {
      queued_ = kNoFile;
      followers_.clear();
    }
    file = Prepare(index, true);
  }
  if (!file) {
    if (continuing) PlayerStop();  // cannot happen: a file is queued only once prepared
    return Outcome::kFailed;
  }
  title_ = file->title;
  duration_ = file->duration;
  channels_ = file->channels;
  end_ = file->end;
  if (file->start >= end_) return Outcome::kEnded;
  if (continuing) {
    // Queued to follow the file before and heard already: it plays on.
    heard_ = file->start;
  } else if (const auto failed = Start(index, count, std::move(file->song), file->start)) {
    return *failed;
  }

  using Clock = std::chrono::steady_clock;
  auto nextPrint = Clock::now() + std::chrono::seconds(1);
  Outcome outcome = Outcome::kEnded;
  bool goesOn = false;  // the next file has taken over without a gap
  for (;;) {
    if (TakeSignals()) {
      outcome = Outcome::kQuit;
      break;
    }
    const Device device = KeepDevice();
    if (device != Device::kAlive) {
      if (device == Device::kGone) {
        terminal_.ClearLine();
        std::fprintf(stderr, "zevora-cli: the sound device is gone\n");
      }
      outcome = device == Device::kGone ? Outcome::kDeviceGone : Outcome::kQuit;
      break;
    }
    PlayerCollect(DefaultPlayer());
    Refill(count);
    bool nextHeard = false;
    const std::uint64_t frame = HeardFrame(index, nextHeard);
    if (nextHeard) {
      goesOn = true;
      break;
    }
    if (frame >= end_) break;
    terminal_.Follow();
    const auto now = Clock::now();
    const bool keys = terminal_.KeyMode();
    // The status line in the foreground; nothing in the background (the
    // terminal is the shell's); without a terminal the time once a second.
    // A look at the device at least every 250 ms: a silent one is lost
    // once a second look finds it still silent.
    int wait = 250;
    if (keys) {
      Status(index, count);
      // Paused, nothing on the line moves: a key or a signal (a resize)
      // wakes the loop as it comes.
      if (!paused_) wait = 100;
    } else if (!terminal_.OnTerminal()) {
      if (now >= nextPrint) {
        // Frames heard, as the window counts them: the position log's
        // milliseconds run slow, and from a --start far behind.
        const int error = PrintTime(static_cast<std::uint32_t>(frame * 1000 / 44100 % (24ull * 3600 * 1000)));
        if (writeError_ == 0) writeError_ = error;
        nextPrint += std::chrono::seconds(1);
      }
      const auto toPrint = std::chrono::duration_cast<std::chrono::milliseconds>(nextPrint - now).count() + 1;
      if (toPrint < wait) wait = static_cast<int>(toPrint);
    }
    // Wake for a key, a signal, the next status, or near the end.
    if (end_ != kNoSongEnd && !paused_) {
      const std::uint64_t toEnd = (end_ - frame) * 1000 / 44100;
      if (toEnd < static_cast<std::uint64_t>(wait)) wait = static_cast<int>(toEnd < 10 ? 10 : toEnd);
    }
    // Keys typed after one that left the file before are taken first, at
    // once: they act on this file as they would have, typed more slowly.
    const bool typedBefore = keys && !typedAhead_.empty();
    if (!typedBefore) {
      pollfd fds[2] = {{signals_, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
      if (::poll(fds, keys ? 2 : 1, wait) <= 0) continue;
      if (!keys || !(fds[1].revents & POLLIN)) continue;
    }
    const std::vector<KeyPress> typed = typedBefore ? std::exchange(typedAhead_, {}) : keys_.Read();
    std::optional<Outcome> leave;
    for (std::size_t k = 0; k < typed.size(); ++k) {
      // A key that comes once the next file is heard (this thread was held
      // up since it last looked, or by the keys before) is that file's, as
      // are the keys after it: they act on what is heard.
      HeardFrame(index, nextHeard);
      if (nextHeard) {
        typedAhead_.assign(typed.begin() + static_cast<std::ptrdiff_t>(k), typed.end());
        goesOn = true;
        break;
      }
      const auto [key, channel] = typed[k];
      if (key == Key::kMute) {
        // Heard from a few blocks on: the ring is rendered again from there.
        // A channel the song does not have is not muted; one muted in a file
        // before (the status line shows it) is unmuted.
        Player& player = DefaultPlayer();
        if (static_cast<std::uint32_t>(channel) >= channels_ && !(player.mutedChannels.load() & (1u << channel)))
          continue;
        PlayerMuteChannels(player, player.mutedChannels.load() ^ (1u << channel));
        if (PlayerRefresh(player) || player.songTag.load() == index + 1) continue;
        // The ring holds the switch to the next file (this file's last two
        // seconds), which cannot be rendered again: this file goes on anew
        // from the frame heard, where the mute is heard at once, instead of
        // only in the next file. Its file read again: where that fails, the
        // mute waits for the next file.
        if (!paused_) PlayerHold(player);
        bool nextHeard = false;
        const std::uint64_t at = HeardFrame(index, nextHeard);
        LoadError error = LoadError::kNone;
        SongPtr song = nextHeard ? nullptr : LoadModuleSong(SourceOf(index), error);
        if (song != nullptr)
          leave = Start(index, count, std::move(song), at);
        else if (!paused_)
          buffer_.Play(0, 0, DSBPLAY_LOOPING);
      } else if (key == Key::kPause) {
        paused_ = !paused_;
        if (paused_)
          buffer_.Stop();
        else
          buffer_.Play(0, 0, DSBPLAY_LOOPING);
      } else if (key == Key::kBack || key == Key::kForward) {
        // The audio after a seek is exactly what playing through gives
        // there; a paused seek is heard from there once play resumes. The
        // device is held while the frame heard is read, so that it is the
        // last one heard before the seek.
        Player& player = DefaultPlayer();
        if (!paused_) PlayerHold(player);
        bool ignored = false;
        const std::uint64_t at = HeardFrame(index, ignored);
        const std::uint64_t to = key == Key::kForward ? at + kSeekFrames : (at > kSeekFrames ? at - kSeekFrames : 0);
        if (to >= end_) {
          if (!paused_) buffer_.Play(0, 0, DSBPLAY_LOOPING);
          leave = Outcome::kEnded;
        } else if (player.songTag.load() == index + 1 && PlayerSeek(player, to, paused_) >= 0) {
          heard_ = to;
        } else {
          // The next file has begun to render, or the device failed the
          // seek: this file starts again from there, with the next queued.
          leave = Start(index, count, nullptr, to);
        }
      } else if (key != Key::kNone) {
        leave = key == Key::kNext ? Outcome::kNext : key == Key::kPrevious ? Outcome::kPrevious : Outcome::kQuit;
      }
      if (leave) {
        typedAhead_.assign(typed.begin() + static_cast<std::ptrdiff_t>(k) + 1, typed.end());
        break;
      }
    }
    if (goesOn) break;
    if (leave) {
      outcome = *leave;
      break;
    }
  }
  if (goesOn) return Outcome::kEnded;  // continuing_ names the file heard now
  continuing_ = kNoFile;
  PlayerStop();
  return outcome;
}

// Ends the process by the signal that stopped play, as the default action
// would have (exit status 128 + the signal in a shell), once everything is
// cleaned up: a shell loop over files stops at the first Ctrl-C.
void DieOf(int signal) {
  std::fflush(stdout);
  std::fflush(stderr);
  ::signal(signal, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signal);
}

// Plays the list; sets *stopSignal to a stop signal that ended it.
int Play(const PlayOptions& o, int signals, int& stopSignal) {
  AudioService audio;
  if (SetUpAudio({}, audio) != 0) {
    std::fprintf(stderr, "zevora-cli: no sound device could be opened (SDL: %s)\n", SdlAudioError().c_str());
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
  // The last file that played ended by itself, and none has played since
  // (the files after it could not be loaded).
  bool endedLast = false;
  int writeError = 0;
  bool backward = false;  // a file is sought with p
  {
    Terminal terminal;
    FilePlayer player(o, buffer, terminal, signals);
    for (std::size_t i = 0; i < count && !player.TakeSignals();) {
      const Outcome outcome = player.PlayFile(i, count);
      if (outcome == Outcome::kEnded)
        endedLast = true;
      else if (outcome != Outcome::kFailed)
        endedLast = false;
      if (outcome == Outcome::kFailed) failed = true;
      if (outcome == Outcome::kQuit) break;
      if (outcome == Outcome::kDeviceGone) {
        failed = true;
        break;
      }
      if (outcome == Outcome::kPrevious) {
        backward = true;
        i = i > 0 ? i - 1 : 0;
      } else if (outcome == Outcome::kFailed && backward && i > 0) {
        --i;  // p goes on back past the files that cannot be played
      } else {
        backward = false;
        i = player.Following(i + 1);
      }
    }
    stopSignal = player.StopSignal();
    writeError = player.WriteError();
  }
  PlayerStop();
  // The device and the sound server still hold the last frames taken from
  // the buffer (silence follows the song's end): they are played out before
  // the device closes.
  if (endedLast) {
    timespec drain{0, 300000000};
    ::nanosleep(&drain, nullptr);
  }
  if (!StandardOutputOk(writeError)) return 1;
  return failed ? 1 : 0;
}

}  // namespace

int PlayCommand(int argc, char** argv) {
  PlayOptions o;
  if (const int parsed = ParsePlayOptions(argc, argv, o); parsed >= 0) return parsed;

  // The signals play acts on are read from a descriptor by the waiting
  // loop; they are blocked before any thread starts, so that every thread
  // inherits the block and none of them is ended or stopped by one. Stop
  // signals end play; Ctrl-Z, continuing and a new terminal size are
  // handled as they come.
  sigset_t handled;
  sigemptyset(&handled);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGWINCH}) sigaddset(&handled, signal);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  const int signals = ::signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);

  int stopSignal = 0;
  const int code = Play(o, signals, stopSignal);
  if (stopSignal != 0) DieOf(stopSignal);
  return code;
}
