// How long the window's list takes to read 1,000 files (each loaded into a
// song of its own and scanned for its end, on the list's worker threads):
// links to the corpus modules in turn, timed from the moment they are
// added until the last one is read. Runs offscreen.
//
//   build/bench/list_scan_bench [FILES] [THREADS]
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>

#include "playlist.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  const int files = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 0;
  QGuiApplication app(argc, argv);
  const QDir corpus(QStringLiteral(ZEVORA_CORPUS_DIR));
  const QStringList modules = corpus.entryList({QStringLiteral("*.xm")}, QDir::Files, QDir::Name);
  QTemporaryDir dir;
  if (modules.isEmpty() || !dir.isValid()) return 1;
  QList<QByteArray> paths;
  for (int i = 0; i < files; ++i) {
    const QString link = dir.filePath(QString::asprintf("%05d.xm", i));
    if (!QFile::link(corpus.filePath(modules[i % modules.size()]), link)) return 1;
    paths << QFile::encodeName(link);
  }
  for (int run = 0; run < 3; ++run) {
    Playlist list(nullptr, threads);
    QElapsedTimer clock;
    clock.start();
    list.Insert(0, paths);
    const qint64 listed = clock.nsecsElapsed();
    while (list.Pending() > 0) QTest::qWait(1);
    QCoreApplication::processEvents();
    int ready = 0;
    for (int i = 0; i < list.Count(); ++i) ready += list.At(i).state == PlaylistEntry::State::kReady;
    std::printf("%d files: listed in %.1f ms, all read in %.0f ms (%d readable)\n", files, listed / 1e6,
                clock.nsecsElapsed() / 1e6, ready);
  }
  return 0;
}
