// Zevora: a small, fast player for XM music modules.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstring>

#include "audio_setup.h"
#include "main_window.h"
#include "player.h"

int main(int argc, char** argv) {
  // Answered before the window system is needed: these work without a display.
  if (argc == 2 && !std::strcmp(argv[1], "--version")) {
    std::printf("zevora %s\n", ZEVORA_VERSION);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc == 2 && !std::strcmp(argv[1], "--help")) {
    std::fputs(
        "usage: zevora [FILE]\n"
        "\n"
        "Plays FILE, an XM module, in a window, and loops it for ever; without FILE,\n"
        "the Load button or a file dropped on the window chooses one. zevora-cli\n"
        "shows, renders and plays modules without a window.\n"
        "\n"
        "  --help      this text\n"
        "  --version   the program's version\n",
        stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zevora"));
  QGuiApplication::setDesktopFileName(QStringLiteral("io.github.zevora.Zevora"));

  // The audio device and its one looping buffer live for the whole run.
  AudioService audio;
  if (SetUpAudio({}, audio) != 0) {
    QMessageBox::critical(nullptr, QStringLiteral("Error"), QStringLiteral("DirectSound error"));
    return 0;
  }
  int result = 0;
  {
    MainWindow window(*audio.buffer, !audio.legacy);
    window.show();
    // zevora FILE plays FILE at once, as if it had been chosen in the
    // open-file dialog; the name's bytes go to the engine as they are.
    // (QApplication has taken its own options out of argv.)
    if (argc > 1) window.OpenFile(QByteArray(argv[1]));
    result = app.exec();
  }
  PlayerStop();
  (void)result;
  return 0;
}
