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
    result = app.exec();
  }
  PlayerStop();
  (void)result;
  return 0;
}
