// Zevora: a small, fast player for XM music modules.
#include <QApplication>
#include <QMessageBox>

#include "audio_setup.h"
#include "main_window.h"
#include "player.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Zevora"));
  QGuiApplication::setDesktopFileName(QStringLiteral("zevora"));

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
