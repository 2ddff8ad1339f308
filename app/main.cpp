// Zevora: a small, fast player for XM music modules.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "audio_setup.h"
#include "end_mode.h"
#include "main_window.h"
#include "mpris.h"
#include "one_window.h"
#include "player.h"
#include "settings.h"

int main(int argc, char** argv) {
  // Answered before the window system is needed: these work without a display.
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("zevora %s\n", ZEVORA_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(
        "usage: zevora [--repeat song|list|none] [--view pattern] [--new-window] [FILE...]\n"
        "\n"
        "Plays XM modules in a window: the first FILE at once, and all of them go\n"
        "into the list after the entry heard last. Without FILE, the Load button or\n"
        "files dropped on the window choose them. While a Zevora window is open,\n"
        "the FILEs go to that window instead (over the session bus), and zevora\n"
        "ends. The window answers the desktop's media keys and sound menu (MPRIS).\n"
        "zevora-cli shows, renders and plays modules without a window.\n"
        "\n"
        "  --repeat MODE  at a song's end: song (loop it for ever, the default),\n"
        "                 none (the next entry; stop after the last) or list\n"
        "                 (the next entry, round the list for ever)\n"
        "  --view pattern the pattern view too: the heard song's rows as a\n"
        "                 tracker shows them, in step with the sound, with a\n"
        "                 scope per channel (a click on a channel mutes it)\n"
        "  --new-window   open a window of its own even when one is open\n"
        "  --             every argument after it is a FILE (one that begins with -\n"
        "                 too)\n"
        "  --help         this text\n"
        "  --version      the program's version\n",
        stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  // Qt's own options (-style, -reverse, ...) are taken out of the
  // arguments before "--" only: after it every argument is a file, even
  // one named like them.
  int filesFrom = argc;
  for (int i = 1; i < argc; ++i)
    if (!std::strcmp(argv[i], "--")) {
      filesFrom = i;
      break;
    }
  int qtArgc = filesFrom;
  QApplication app(qtArgc, argv);
  QApplication::setApplicationName(QStringLiteral("Zevora"));
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.zevora.Zevora"));

  // (QApplication has taken its own options out of argv's first qtArgc.)
  // The names' bytes go to the engine as they are.
  std::vector<const char*> args(argv, argv + qtArgc);
  args.insert(args.end(), argv + filesFrom, argv + argc);
  QList<QByteArray> files;
  std::optional<EndMode> mode;
  bool patternView = false;
  bool newWindow = false;
  bool options = true;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const char* arg = args[i];
    if (options && !std::strcmp(arg, "--")) {
      options = false;
    } else if (options && (!std::strcmp(arg, "--repeat") || !std::strncmp(arg, "--repeat=", 9))) {
      const char* value = arg[8] == '=' ? arg + 9 : (i + 1 < args.size() ? args[++i] : nullptr);
      mode = value != nullptr ? ParseEndMode(QString::fromLocal8Bit(value)) : std::nullopt;
      if (!mode) {
        std::fprintf(stderr, "zevora: --repeat takes song, list or none\n");
        return 2;
      }
    } else if (options && (!std::strcmp(arg, "--view") || !std::strncmp(arg, "--view=", 7))) {
      const char* value = arg[6] == '=' ? arg + 7 : (i + 1 < args.size() ? args[++i] : nullptr);
      if (value == nullptr || std::strcmp(value, "pattern") != 0) {
        std::fprintf(stderr, "zevora: --view takes pattern\n");
        return 2;
      }
      patternView = true;
    } else if (options && !std::strcmp(arg, "--new-window")) {
      newWindow = true;
    } else if (options && arg[0] == '-' && arg[1] != '\0') {
      std::fprintf(stderr, "zevora: unknown option %s\n", arg);
      return 2;
    } else {
      // From the root: the list keeps the path for the next start, which
      // may be in another folder, and the desktop is given it as a URL.
      files << AbsolutePath(QByteArray(arg));
    }
  }

  // One window: the first to start takes the name; a later start hands its
  // files to it. Without a session bus each start has its own window.
  const QDBusConnection bus = QDBusConnection::sessionBus();
  WindowService service(bus);
  if (!service.TakeName() && !newWindow && HandOver(bus, files, mode, patternView)) return 0;

  // The audio device and its one looping buffer live for the whole run.
  AudioService audio;
  if (SetUpAudio({}, audio) != 0) {
    QMessageBox::critical(nullptr, QStringLiteral("Error"), QStringLiteral("DirectSound error"));
    return 0;
  }
  int result = 0;
  {
    WindowHooks hooks;
    hooks.settingsFile = Settings::DefaultFile();
    MainWindow window(*audio.buffer, !audio.legacy, hooks);
    window.show();
    service.Attach(window);
    Mpris mpris(window, bus);
    if (mode) window.SetEndMode(*mode);
    if (patternView) window.SetPatternOpen(true);
    // zevora FILE... plays the first at once, as if it had been chosen in
    // the open-file dialog.
    window.OpenFiles(files);
    // Closed meanwhile (Quit from the desktop while the error box for those
    // files waited for its OK): Qt's quit came before its event loop ran,
    // and would be lost; the program would go on with no window.
    if (window.isVisible()) result = app.exec();
  }
  PlayerStop();
  (void)result;
  return 0;
}
