// The window as a player kept open, under the offscreen platform: the seek
// row, the song end modes and gapless lists (what a sound card takes from
// a memory buffer, compared with each song's render), the list panel with
// bad and many files, keys, the info panel, and remembered settings.
#include <dlfcn.h>
#include <locale.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QApplication>
#include <QDir>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QToolTip>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "effects.h"
#include "effects_panel.h"
#include "fake_audio_device.h"
#include "info_panel.h"
#include "list_player.h"
#include "looping_sound_buffer.h"
#include "main_window.h"
#include "memory_sound_buffer.h"
#include "player.h"
#include "playlist.h"
#include "playlist_view.h"
#include "seek_row.h"
#include "settings.h"
#include "song_scan.h"
#include "window_rig.h"
#include "xm_writer.h"

namespace {

using namespace window_rig;

// Time limits are for a release build; the sanitizers' builds run this much
// slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSlower = 20;
constexpr bool kThreadSanitizer = true;
#else
constexpr int kSlower = 1;
constexpr bool kThreadSanitizer = false;
#endif

// While not 0, allocations of at least this many bytes fail (memory that
// runs short in the middle of a song scan).
std::atomic<std::size_t> failAllocationsFrom{0};
// While set, no thread can be started (a limit on processes).
std::atomic<bool> refuseThreads{false};

QString Corpus(const char* name) { return QStringLiteral(ZEVORA_CORPUS_DIR "/") + QString::fromLatin1(name); }
QByteArray CorpusPath(const char* name) { return Corpus(name).toLocal8Bit(); }

QStringList CorpusModules() {
  return QDir(QStringLiteral(ZEVORA_CORPUS_DIR)).entryList({"*.xm"}, QDir::Files, QDir::Name);
}

// `count` links in `dir` (0000.xm, 0001.xm, ...) to the corpus modules in
// turn; none where one cannot be made.
QList<QByteArray> CorpusLinks(const QTemporaryDir& dir, int count) {
  const QStringList modules = CorpusModules();
  QList<QByteArray> paths;
  for (int i = 0; i < count; ++i) {
    const QString link = dir.filePath(QString::asprintf("%04d.xm", i));
    if (!QFile::link(Corpus(modules[i % modules.size()].toLatin1().constData()), link)) return {};
    paths << QFile::encodeName(link);
  }
  return paths;
}

// A short song: one pattern of `rows` rows at speed 6 and 125 BPM (882
// frames a tick), one note of a looped square wave at its start.
XmModule ShortSong(std::uint8_t note, std::uint16_t rows, const char* title = "") {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.title = title;
  m.patterns[0].rows = rows;
  m.At(0, 0, 0) = {note, 1, 0, 0, 0};
  return m;
}
constexpr std::uint64_t kRowFrames = 6 * 882;

bool AllZero(const Pcm& pcm, std::size_t from) {
  return std::all_of(pcm.begin() + static_cast<std::ptrdiff_t>(std::min(from, pcm.size())), pcm.end(),
                     [](std::int16_t v) { return v == 0; });
}

struct Rig {
  explicit Rig(const QString& settingsFile = {}, bool effects = true)
      : window(buffer, effects,
               WindowHooks{{},
                           [this](QWidget*, const QString& text) { errors << text; },
                           [this](QWidget*, const QString& folder) {
                             dialogFolders << folder;
                             return nextFiles;
                           },
                           settingsFile,
                           2,
                           {}}) {}

  Pcm Take(std::uint64_t frames) { return window_rig::Take(buffer, window, frames); }
  void WaitForScans() { window_rig::WaitForScans(window); }

  MemorySoundBuffer buffer;
  QStringList errors;
  QStringList nextFiles;
  QStringList dialogFolders;
  MainWindow window;
};

// Shown, laid out and active: the window's keys work.
bool Show(QWidget& window) {
  window.show();
  QApplication::setActiveWindow(&window);
  return QTest::qWaitForWindowExposed(&window) && QTest::qWaitForWindowActive(&window);
}

// A drag of local files that enters the window, moves and drops.
void DropFiles(QWidget& target, const QList<QByteArray>& paths) {
  QMimeData mime;
  QList<QUrl> urls;
  for (const QByteArray& path : paths) urls << QUrl::fromEncoded("file://" + path.toPercentEncoding("/"));
  mime.setUrls(urls);
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&target, &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&target, &drop);
}

QStringList Titles(const Playlist& list) {
  QStringList titles;
  for (int i = 0; i < list.Count(); ++i) titles << list.At(i).Title();
  return titles;
}

// Sets an environment variable for as long as it lives, then puts back
// what was there (or nothing).
class EnvironmentSetting {
 public:
  EnvironmentSetting(const char* name, const QByteArray& value)
      : name_(name), was_(qgetenv(name)), wasSet_(qEnvironmentVariableIsSet(name)) {
    qputenv(name, value);
  }
  ~EnvironmentSetting() { wasSet_ ? qputenv(name_, was_) : qunsetenv(name_); }
  EnvironmentSetting(const EnvironmentSetting&) = delete;
  EnvironmentSetting& operator=(const EnvironmentSetting&) = delete;

 private:
  const char* name_;
  QByteArray was_;
  bool wasSet_;
};

}  // namespace

#if !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
void* operator new(std::size_t size) {
  const std::size_t from = failAllocationsFrom.load(std::memory_order_relaxed);
  if (from != 0 && size >= from) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                              void* argument) noexcept {
  using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto create = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
  return refuseThreads.load() ? EAGAIN : create(thread, attributes, start, argument);
}
#endif

class WindowListTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QByteArray a_, b_, c_, tiny_;  // songs of 3.84 (longer than the ring), 1.44, 0.96 and 0.36 s

 private slots:
  void initTestCase() {
    QVERIFY(dir_.isValid());
    a_ = Write(dir_, "a.xm", ShortSong(kC4, 32, "Song A"));
    b_ = Write(dir_, "b.xm", ShortSong(kC4 + 7, 12));
    c_ = Write(dir_, "c.xm", ShortSong(kC4 + 12, 8, "Song C"));
    tiny_ = Write(dir_, "tiny.xm", ShortSong(kC4 + 3, 3, "Tiny"));
    QCOMPARE(OnePass(a_), 32 * kRowFrames);
    QCOMPARE(OnePass(b_), 12 * kRowFrames);
  }
  void cleanup() { PlayerStop(); }

  // A click on the slider, the arrow keys, and a seek while paused: what
  // is heard from there is what playing through gives at that frame.
  void seeksAreExact() {
    Rig r;
    QVERIFY(Show(r.window));
    const QByteArray song = CorpusPath("vor--mph.xm");
    r.window.OpenFiles({song});
    SeekRow& row = *r.window.SeekRowWidget();
    QCOMPARE(row.Span(), OnePass(song));
    QCOMPARE(row.Label()->text(), QString("0:00 / 1:37"));
    const Pcm first = r.Take(44100);
    r.window.OnFollowTimer();
    QCOMPARE(r.window.HeardFrame(), 44100u);
    QCOMPARE(row.Label()->text(), QString("0:01 / 1:37"));

    // A click a third of the way along.
    const int x = row.Slider()->width() / 3;
    const std::uint64_t target = row.FrameAt(row.Slider()->ValueAt(x));
    QVERIFY(target > 30 * 44100u && target < 34 * 44100u);
    QSignalSpy seeked(&r.window, &MainWindow::seeked);
    QTest::mouseClick(row.Slider(), Qt::LeftButton, {}, QPoint(x, row.Slider()->height() / 2));
    QCOMPARE(seeked.size(), 1);
    QCOMPARE(seeked[0][0].value<std::uint64_t>(), target);
    const Pcm afterClick = r.Take(44100);

    // Right: 10 s on from the frame heard; Left: 10 s back, at most to
    // the start.
    QTest::keyClick(&r.window, Qt::Key_Right);
    const std::uint64_t right = target + 44100 + 441000;
    QCOMPARE(r.window.HeardFrame(), right);
    const Pcm afterRight = r.Take(22050);
    QTest::keyClick(&r.window, Qt::Key_Left);
    QTest::keyClick(&r.window, Qt::Key_Left);
    const std::uint64_t left = right + 22050 - 2 * 441000;
    QCOMPARE(r.window.HeardFrame(), left);
    const Pcm afterLeft = r.Take(22050);

    // Paused, a seek stays paused; the sound from the resume is the frame's.
    QTest::keyClick(&r.window, Qt::Key_Space);
    QVERIFY(r.window.Paused() && !r.buffer.Playing());
    r.window.SeekTo(3 * 44100 + 123);
    QVERIFY(r.window.Paused() && !r.buffer.Playing());
    QTest::keyClick(&r.window, Qt::Key_Space);
    QVERIFY(!r.window.Paused() && r.buffer.Playing());
    const Pcm afterPause = r.Take(44100);
    r.window.OnFollowTimer();
    QCOMPARE(row.Label()->text(), QString("0:04 / 1:37"));
    QCOMPARE(r.window.TimeDisplay()->text(), QString("00:00:05"));

    const Pcm got = Cat({first, afterClick, afterRight, afterLeft, afterPause});
    const Pcm want = Cat({Render(song, 0, 44100), Render(song, target, 44100), Render(song, right, 22050),
                          Render(song, left, 22050), Render(song, 3 * 44100 + 123, 44100)});
    QVERIFY2(got == want, FirstDifference(got, want));
    // Further left than the start is the start.
    QTest::keyClick(&r.window, Qt::Key_Left);
    QCOMPARE(r.window.HeardFrame(), 0u);
  }

  // A drag on the seek row that the song's end overtakes (the next entry
  // is heard by the time it is let go) seeks nowhere: it was meant for the
  // song that ended, not for that place in the next one. A drag within one
  // song seeks as always.
  void aDragOvertakenByTheSongsEndSeeksNowhere() {
    Rig r;
    QVERIFY(Show(r.window));
    r.window.SetEndMode(EndMode::kPlayList);
    r.window.OpenFiles({b_, a_});
    SeekRow& row = *r.window.SeekRowWidget();
    const QPoint at(row.Slider()->width() * 3 / 4, row.Slider()->height() / 2);
    QSignalSpy seeked(&r.window, &MainWindow::seeked);
    QTest::mousePress(row.Slider(), Qt::LeftButton, {}, at);
    const std::uint64_t lengthB = OnePass(b_), past = 2 * kBlockFrames * 10;
    Pcm got = r.Take(lengthB + past);
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(1).id);
    QTest::mouseRelease(row.Slider(), Qt::LeftButton, {}, at);
    QCOMPARE(seeked.size(), 0);
    QCOMPARE(r.window.HeardFrame(), past);
    QCOMPARE(row.Slider()->value(),
             static_cast<int>(past * static_cast<std::uint64_t>(row.Slider()->maximum()) / OnePass(a_)));
    const Pcm more = r.Take(44100);
    got.insert(got.end(), more.begin(), more.end());
    const Pcm want = Cat({Render(b_, 0, lengthB), Render(a_, 0, past + 44100)});
    QVERIFY2(got == want, FirstDifference(got, want));
    // Pressed and let go within the song: the seek.
    QTest::mouseClick(row.Slider(), Qt::LeftButton, {}, at);
    QCOMPARE(seeked.size(), 1);
    QCOMPARE(r.window.HeardFrame(), row.FrameAt(row.Slider()->ValueAt(at.x())));
  }

  // In a song's last two seconds the next entry has already taken over the
  // rendering: a seek in the heard song starts it again from that frame,
  // and the next still follows without a gap; also where the heard entry
  // has left the list (it plays on: the seek went to the next entry).
  void seekAfterTheNextSongTookOver() {
    for (const bool removed : {false, true}) {
      Rig r;
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.OpenFiles({a_, b_});
      const std::uint64_t lengthA = OnePass(a_), lengthB = OnePass(b_);
      if (removed) r.window.List().Remove({0});
      const Pcm before = r.Take(lengthA - 30000);
      QCOMPARE(r.window.Lister().QueuedId(), r.window.List().At(removed ? 0 : 1).id);
      r.window.SeekTo(20000);
      const Pcm after = r.Take(lengthA - 20000 + lengthB + 10 * kBlockFrames);
      const Pcm want =
          Cat({Render(a_, 0, lengthA - 30000), Render(a_, 20000, lengthA - 20000), Render(b_, 0, lengthB)});
      const Pcm got = Cat({before, after});
      QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
      QVERIFY(AllZero(got, want.size()));
      QVERIFY(!r.window.Playing());
    }
  }

  // The next entry took over the rendering after the window last looked
  // (a seek from the desktop's sound menu or a list edit comes at any
  // time, between the window's looks): a seek is still one in the heard
  // song, and a next entry removed is not heard.
  void anUnseenTakeOver() {
    const std::uint64_t lengthA = OnePass(a_), lengthB = OnePass(b_), lengthC = OnePass(c_);
    const struct {
      const char* what;
      std::function<void(MainWindow&)> act;
      std::function<Pcm()> want;  // from the frame heard at the act on
    } cases[] = {
        {"a seek", [](MainWindow& w) { w.SeekTo(20000); },
         [&] { return Cat({Render(a_, 20000, lengthA - 20000), Render(b_, 0, lengthB), Render(c_, 0, lengthC)}); }},
        {"the next removed", [](MainWindow& w) { w.List().Remove({1}); },
         [&] {
           const std::uint64_t at = lengthA - 100000 + 20 * kBlockFrames;
           return Cat({Render(a_, at, lengthA - at), Render(c_, 0, lengthC)});
         }},
    };
    for (const auto& c : cases) {
      Rig r;
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.OpenFiles({a_, b_, c_});
      // The ring holds about two seconds: rendered up to 100,000 frames
      // before A's end, the next entry has not taken over yet.
      r.Take(lengthA - 100000);
      QVERIFY2(PlayerHasQueuedSong(DefaultPlayer()), c.what);
      // 20 blocks heard with no look from the window: the ring is rendered
      // on past A's end, and B has taken over the rendering.
      const int unlocks = r.buffer.UnlockCount();
      for (int i = 0; i < 20; ++i) r.buffer.AdvancePlayCursorWhilePlaying(kBlockFrames * kBytesPerFrame);
      WaitForBlocks(r.buffer, unlocks + 20);
      QVERIFY2(!PlayerHasQueuedSong(DefaultPlayer()), c.what);
      c.act(r.window);
      QVERIFY2(r.window.HeardEntry() == r.window.List().At(0).id, c.what);
      const Pcm want = c.want();
      const Pcm got = r.Take(want.size() / 2 + 10 * kBlockFrames);
      QVERIFY2(got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin()),
               qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") + FirstDifference(got, want)));
      QVERIFY2(AllZero(got, want.size()), c.what);
      QVERIFY2(!r.window.Playing(), c.what);
    }
  }

  // The sound device is lost (headphones pulled out) and a seek or a step
  // comes before the window's next one-second tick has restored it: the
  // device is restored first, and what was asked for plays.
  void deviceLostJustBeforeASeekOrAStep() {
    const struct {
      const char* what;
      std::function<void(MainWindow&)> act;
      int heardRow;
      std::uint64_t heardFrame;
    } cases[] = {
        {"a seek", [](MainWindow& w) { w.SeekTo(20000); }, 0, 20000},
        {"a seek by a key", [](MainWindow& w) { w.SeekBy(44100); }, 0, 44100},
        {"the next", [](MainWindow& w) { w.Next(); }, 1, 0},
        {"the previous", [](MainWindow& w) { w.Previous(); }, 0, 0},
    };
    for (const auto& c : cases) {
      FakeAudioDevice::Control control;
      LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
      QVERIFY(buffer.Start());
      QStringList errors;
      MainWindow window(buffer, true,
                        WindowHooks{{}, [&](QWidget*, const QString& text) { errors << text; }, {}, {}, 2, {}});
      window.SetEndMode(EndMode::kPlayList);
      window.OpenFiles({a_, b_});
      control.lost = true;
      c.act(window);
      QVERIFY2(errors.isEmpty(), qPrintable(QString::fromLatin1(c.what) + ": " + errors.join(", ")));
      QVERIFY2(window.Playing() && window.HeardEntry() == window.List().At(c.heardRow).id, c.what);
      QVERIFY2(window.HeardFrame() == c.heardFrame, c.what);
      QVERIFY2(control.opens.load() == 2, c.what);
      std::uint32_t status = 0;
      buffer.GetStatus(&status);
      QVERIFY2(status == (DSBSTATUS_PLAYING | DSBSTATUS_LOOPING), c.what);
      const QByteArray file = c.heardRow == 0 ? a_ : b_;
      QVERIFY2(PullFrames(control, 44100) == Render(file, c.heardFrame, 44100), c.what);
    }
  }

  // "Repeat list" with one entry: it follows itself without a gap, time
  // after time, and what the window keeps of the songs handed to the player
  // does not grow with each time through (it kept one more each time).
  void oneEntryRepeatedAsAList() {
    for (const QByteArray& file : {tiny_, b_, a_}) {
      Rig r;
      r.window.SetEndMode(EndMode::kRepeatList);
      r.window.OpenFiles({file});
      const std::uint64_t length = OnePass(file);
      const int times = static_cast<int>(30 * 44100 / length) + 2;
      Pcm want;
      for (int i = 0; i < times; ++i) want = Cat({want, Render(file, 0, length)});
      const Pcm got = r.Take(want.size() / 2);
      QVERIFY2(got == want, FirstDifference(got, want));
      QVERIFY2(r.window.Lister().HandedCount() <= 3,
               qPrintable(QByteArray::number(static_cast<qulonglong>(r.window.Lister().HandedCount()))));
      QCOMPARE(r.window.HeardEntry(), r.window.List().At(0).id);
    }
  }

  // "Repeat list" with entries shorter than the time between two looks of
  // the window (a tenth of a second): several songs end between them, time
  // after time, and what the window keeps of the songs handed to the player
  // stays within what the player can hold: the heard song, two a ring block
  // ahead of it at most, and the one queued (it kept more with every look).
  void shortEntriesRepeatedAsAList() {
    for (const std::uint16_t rows : {1, 2}) {
      XmModule one = ShortSong(kC4, rows), two = ShortSong(kC4 + 5, rows);
      one.tempo = two.tempo = 1;  // a row a tick: 882 frames, about a ring block
      const QByteArray first = Write(dir_, "short1.xm", one), second = Write(dir_, "short2.xm", two);
      Rig r;
      r.window.SetEndMode(EndMode::kRepeatList);
      r.window.OpenFiles({first, second});
      QCOMPARE(OnePass(first), rows * std::uint64_t{882});
      const std::uint64_t frames = 15 * 44100;
      QCOMPARE(r.Take(frames).size(), 2 * frames);
      QVERIFY2(r.window.Lister().HandedCount() <= 2 * kRingBlocks + 2,
               qPrintable(QByteArray::number(static_cast<qulonglong>(r.window.Lister().HandedCount()))));
      const std::uint32_t heard = r.window.HeardEntry();
      QVERIFY(heard == r.window.List().At(0).id || heard == r.window.List().At(1).id);
    }
  }

  // The three song end modes, each with a list of two songs and the
  // "device" taking more than both: the sound heard is, bit for bit, the
  // songs' renders one after the other.
  void endModes_data() {
    QTest::addColumn<int>("mode");
    QTest::addRow("repeat song") << static_cast<int>(EndMode::kRepeatSong);
    QTest::addRow("play list") << static_cast<int>(EndMode::kPlayList);
    QTest::addRow("repeat list") << static_cast<int>(EndMode::kRepeatList);
  }
  void endModes() {
    QFETCH(int, mode);
    Rig r;
    r.window.SetEndMode(static_cast<EndMode>(mode));
    r.window.OpenFiles({a_, b_});
    const std::uint64_t lengthA = OnePass(a_), lengthB = OnePass(b_);
    const std::uint64_t total = 2 * (lengthA + lengthB) + 44100;
    const Pcm got = r.Take(total);
    Pcm want;
    switch (static_cast<EndMode>(mode)) {
      case EndMode::kRepeatSong:  // the first song loops for ever, as the window always did
        want = Render(a_, 0, total);
        QCOMPARE(got, want);
        QCOMPARE(r.window.HeardEntry(), r.window.List().At(0).id);
        break;
      case EndMode::kPlayList:  // each once, then silence, and the window stops
        want = Cat({Render(a_, 0, lengthA), Render(b_, 0, lengthB)});
        QVERIFY(got.size() > want.size() && got.size() <= want.size() + 2 * 11 * kBlockFrames);
        QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
        QVERIFY(AllZero(got, want.size()));
        QVERIFY(!r.window.Playing());
        QCOMPARE(r.window.windowTitle(), QString("Zevora"));
        QCOMPARE(r.window.List().Heard(), r.window.List().At(1).id);
        break;
      case EndMode::kRepeatList:  // round and round
        want = Cat({Render(a_, 0, lengthA), Render(b_, 0, lengthB), Render(a_, 0, lengthA), Render(b_, 0, lengthB),
                    Render(a_, 0, 44100)});
        QVERIFY2(got == want, FirstDifference(got, want));
        QCOMPARE(r.window.HeardEntry(), r.window.List().At(0).id);
        break;
    }
  }

  // A file in the list saved anew (as a tracker saves a module being worked
  // on), in place or by a new file taking its name: played again, it plays
  // to its new end, and the list and the seek row show its new length.
  void aFileSavedAnewIsReadAnew_data() {
    QTest::addColumn<bool>("renamed");
    QTest::addRow("in place") << false;
    QTest::addRow("renamed over") << true;
  }
  void aFileSavedAnewIsReadAnew() {
    QFETCH(bool, renamed);
    QTemporaryDir dir;
    const QByteArray work = Write(dir, "work.xm", ShortSong(kC4, 12, "Work"));
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    r.window.OpenFiles({work});
    r.WaitForScans();
    r.window.Stop();
    QCOMPARE(r.window.List().At(0).info.duration, 12 * kRowFrames);
    if (renamed) {
      const QByteArray saved = Write(dir, "work.xm.new", ShortSong(kC4 + 5, 32, "Work"));
      QCOMPARE(::rename(saved.constData(), work.constData()), 0);
    } else {
      Write(dir, "work.xm", ShortSong(kC4 + 5, 32, "Work"));
    }
    const std::uint64_t length = OnePass(work);
    QCOMPARE(length, 32 * kRowFrames);
    r.window.PlayEntry(r.window.List().At(0).id);
    QCOMPARE(r.window.SeekRowWidget()->Span(), length);
    QCOMPARE(r.window.List().At(0).info.duration, length);
    const Pcm got = r.Take(length + 44100);
    const Pcm want = Render(work, 0, length);
    QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
    QVERIFY(AllZero(got, want.size()));
    QVERIFY(!r.window.Playing());
  }

  // Songs shorter than the ring: one of 0.36 s first (the next is queued
  // before the ring is filled), one between two others (queued while the
  // song before it plays), and several one after another (each ends in the
  // ring before the one after it is queued), down to 0.04 s each (the first
  // two end in the ring's first fill, before anything is heard).
  void gaplessThroughShortSongs() {
    XmModule wee = ShortSong(kC4 + 7, 1, "Wee");
    wee.tempo = 2;  // 1,764 frames: two blocks
    const QByteArray weeFile = Write(dir_, "wee.xm", wee);
    const QList<QByteArray> lists[] = {
        {tiny_, a_, tiny_, c_}, {tiny_, tiny_, tiny_, b_, c_, tiny_, a_}, {weeFile, weeFile, weeFile, weeFile, c_}};
    for (const QList<QByteArray>& files : lists) {
      Rig r;
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.OpenFiles(files);
      Pcm want;
      for (const QByteArray& file : files) want = Cat({want, Render(file, 0, OnePass(file))});
      const Pcm got = r.Take(want.size() / 2 + 44100);
      QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
      QVERIFY(AllZero(got, want.size()));
    }
  }

  // The heard song takes the new mode's end at once, without a break in
  // the sound: from "Repeat song" in its second pass, the song ends where
  // that pass ends and the next entry follows.
  void modeChangeWhilePlaying() {
    Rig r;
    QVERIFY(Show(r.window));
    r.window.OpenFiles({a_, b_});
    const std::uint64_t lengthA = OnePass(a_), lengthB = OnePass(b_);
    const Pcm looping = r.Take(lengthA + 30000);
    QTest::keyClick(&r.window, Qt::Key_R);  // to "Play list"
    QCOMPARE(r.window.GetEndMode(), EndMode::kPlayList);
    QCOMPARE(r.window.SeekRowWidget()->EndModeButton()->text(), QString("Play list"));
    const Pcm rest = r.Take(lengthA - 30000 + lengthB + 11 * kBlockFrames);
    const Pcm got = Cat({looping, rest});
    const Pcm want = Cat({Render(a_, 0, 2 * lengthA), Render(b_, 0, lengthB)});
    QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
    QVERIFY(AllZero(got, want.size()));
    QVERIFY(!r.window.Playing());
  }

  // A change between "Repeat song" and a list mode loads the heard song
  // anew. Where its entry has left the list, its file is loaded all the
  // same, and the new mode's end is heard. Where its file is gone, it plays
  // on with the end it has, and the mode stays as it was (before, the mode
  // changed but not the sound: the song looped on in "Play list", or ended
  // in "Repeat song" with the next entry after it, and then silence that
  // the window showed playing).
  void modeChangeWhenTheHeardSongIsNotInTheList() {
    const std::uint64_t lengthA = OnePass(a_), lengthB = OnePass(b_);
    const Pcm looping = Render(a_, 44100, 2 * lengthA);
    const Pcm ending = Cat({Render(a_, 44100, lengthA - 44100), Render(b_, 0, lengthB)});
    const struct {
      const char* what;
      EndMode from, to;
      bool removed;  // the entry (else its file)
      EndMode after;
      const Pcm& want;  // from the frame heard at the change on (then silence where the list ends)
      bool ends;
    } cases[] = {
        {"entry removed, to Repeat song", EndMode::kPlayList, EndMode::kRepeatSong, true, EndMode::kRepeatSong, looping,
         false},
        {"entry removed, to Play list", EndMode::kRepeatSong, EndMode::kPlayList, true, EndMode::kPlayList, ending, true},
        {"file gone, to Repeat song", EndMode::kPlayList, EndMode::kRepeatSong, false, EndMode::kPlayList, ending, true},
        {"file gone, to Play list", EndMode::kRepeatSong, EndMode::kPlayList, false, EndMode::kRepeatSong, looping,
         false},
    };
    for (const auto& c : cases) {
      QTemporaryDir config;
      const QString settings = config.filePath("zevora.conf");
      const QString copy = config.filePath("a.xm");
      QVERIFY(QFile::copy(QFile::decodeName(a_), copy));
      Rig r(settings);
      r.window.SetEndMode(c.from);
      r.window.OpenFiles({QFile::encodeName(copy), b_});
      r.Take(44100);
      if (c.removed)
        r.window.List().Remove({0});
      else
        QVERIFY(QFile::remove(copy));
      r.window.SetEndMode(c.to);
      QVERIFY2(r.window.GetEndMode() == c.after, c.what);
      QVERIFY2(r.window.SeekRowWidget()->EndModeButton()->text() == EndModeName(c.after), c.what);
      QVERIFY2(Settings(settings).State().endMode == c.after, c.what);
      const Pcm got = r.Take(c.want.size() / 2 + 11 * kBlockFrames);
      QVERIFY2(got.size() >= c.want.size() && std::equal(c.want.begin(), c.want.end(), got.begin()),
               qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") + FirstDifference(got, c.want)));
      QVERIFY2(r.window.Playing() != c.ends, c.what);
      if (c.ends) QVERIFY2(AllZero(got, c.want.size()), c.what);
    }
  }

  // A change between the list modes on the last entry, after the player
  // took what follows it (its last two seconds, or a song shorter than
  // that): "Repeat list" goes round to the first entry, "Play list" stops
  // after it; either way without a gap or a frame of difference.
  void listModeChangeOnTheLastEntry() {
    const struct {
      const char* what;
      QByteArray first, last;
      std::uint64_t before;  // frames of the last entry heard before the change
      EndMode from, to;
    } cases[] = {
        {"to Repeat list, a short song", a_, b_, kBlockFrames, EndMode::kPlayList, EndMode::kRepeatList},
        {"to Repeat list, its last second", b_, a_, OnePass(a_) - 44100, EndMode::kPlayList, EndMode::kRepeatList},
        {"to Play list, a short song", a_, b_, kBlockFrames, EndMode::kRepeatList, EndMode::kPlayList},
        {"to Play list, its last second", b_, a_, OnePass(a_) - 44100, EndMode::kRepeatList, EndMode::kPlayList},
    };
    for (const auto& c : cases) {
      Rig r;
      r.window.SetEndMode(c.from);
      r.window.OpenFiles({c.first, c.last});
      r.window.Next();
      QVERIFY2(r.window.List().HeardRow() == 1, c.what);
      const Pcm before = r.Take(c.before);
      r.window.SetEndMode(c.to);
      const bool round = c.to == EndMode::kRepeatList;
      const std::uint64_t lengthLast = OnePass(c.last), lengthFirst = OnePass(c.first);
      const Pcm after = r.Take(lengthLast - c.before + lengthFirst + 44100);
      const Pcm got = Cat({before, after});
      const Pcm want =
          round ? Cat({Render(c.last, 0, lengthLast), Render(c.first, 0, lengthFirst), Render(c.last, 0, 44100)})
                : Render(c.last, 0, lengthLast);
      QVERIFY2(got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin()),
               qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") + FirstDifference(got, want)));
      QVERIFY2(r.window.Playing() == round, c.what);
      if (!round) QVERIFY2(AllZero(got, want.size()), c.what);
    }
  }

  // The list edited after the player took the entry that follows the heard
  // one (in a song's last two seconds, or a song shorter than that): what
  // follows is what the list now has there, without a gap or a frame of
  // difference.
  void listEditedAfterTheNextWasTaken() {
    const struct {
      const char* what;
      QList<QByteArray> files;
      int heardRow;
      std::uint64_t before;  // frames of the heard song before the edit (0: one block)
      std::function<void(Playlist&)> edit;
      QList<QByteArray> want;  // what is heard from the heard song's start on, each once
    } cases[] = {
        {"the next removed", {tiny_, b_, c_}, 0, 0, [](Playlist& l) { l.Remove({1}); }, {tiny_, c_}},
        {"the next removed in the last second",
         {a_, b_, c_},
         0,
         OnePass(a_) - 44100,
         [](Playlist& l) { l.Remove({1}); },
         {a_, c_}},
        {"the next moved up", {tiny_, b_, c_}, 0, 0, [](Playlist& l) { l.Move({1}, 0); }, {tiny_, c_}},
        {"an entry put after the last", {b_, tiny_}, 1, 0, [&](Playlist& l) { l.Insert(2, {c_}); }, {tiny_, c_}},
    };
    for (const auto& c : cases) {
      Rig r;
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.OpenFiles(c.files);
      if (c.heardRow > 0) r.window.PlayEntry(r.window.List().At(c.heardRow).id);
      const Pcm before = r.Take(c.before != 0 ? c.before : kBlockFrames);
      c.edit(r.window.List());
      Pcm want;
      for (const QByteArray& file : c.want) want = Cat({want, Render(file, 0, OnePass(file))});
      const Pcm got = Cat({before, r.Take(want.size() / 2 - before.size() / 2 + 44100)});
      QVERIFY2(got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin()),
               qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") + FirstDifference(got, want)));
      QVERIFY2(AllZero(got, want.size()), c.what);
      QVERIFY2(!r.window.Playing(), c.what);
    }
  }

  // Next, Previous, and a seek past the end of the song (a list mode),
  // while paused: another entry is heard, and it stays paused until the
  // resume, from which its sound is heard from its start. The buffer is
  // never played in between: a device would take a block of the new song
  // while the window shows it paused. A mode change or a list edit that
  // starts the heard song anew keeps it paused too.
  void stepsWhilePausedStayPaused() {
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    r.window.OpenFiles({a_, b_, c_});
    r.Take(kBlockFrames);
    r.window.PlayPause();
    const struct {
      const char* what;
      std::function<void()> step;
      int row;
    } steps[] = {
        {"Next", [&] { r.window.Next(); }, 1},
        {"Previous", [&] { r.window.Previous(); }, 0},
        {"a seek to the end", [&] { r.window.SeekTo(OnePass(a_)); }, 1},
        {"Repeat song", [&] { r.window.SetEndMode(EndMode::kRepeatSong); }, 1},
        {"Play list", [&] { r.window.SetEndMode(EndMode::kPlayList); }, 1},
        {"the next entry removed", [&] { r.window.List().Remove({2}); }, 1},
    };
    for (const auto& s : steps) {
      r.buffer.ClearCalls();
      s.step();
      for (const std::string& call : r.buffer.Calls()) QVERIFY2(!QByteArray(call.c_str()).startsWith("Play"), s.what);
      QVERIFY2(r.window.List().HeardRow() == s.row, s.what);
      QVERIFY2(r.window.Paused() && !r.buffer.Playing() && r.window.Button(1)->isChecked(), s.what);
      QVERIFY2(!r.window.FollowTimer().isActive(), s.what);
    }
    r.window.PlayPause();
    QVERIFY(!r.window.Paused() && r.buffer.Playing());
    QVERIFY(r.window.FollowTimer().isActive());
    const Pcm heard = r.Take(OnePass(b_));
    QVERIFY2(heard == Render(b_, 0, OnePass(b_)), FirstDifference(heard, Render(b_, 0, OnePass(b_))));
  }

  // A song without an end: the seek row covers its first 10 minutes and
  // says so; in the list modes it ends there and the next entry follows.
  void songWithoutAnEnd() {
    XmModule wheels = ShortSong(kC4, 8);
    wheels.channels = 6;
    for (std::uint16_t ch = 0; ch < 6; ++ch) {
      wheels.At(0, 0, ch) = {static_cast<std::uint8_t>(ch == 0 ? kC4 : 0), static_cast<std::uint8_t>(ch == 0), 0, 0xE,
                             0x60};
      wheels.At(0, static_cast<std::uint16_t>(ch + 1), ch) = {0, 0, 0, 0xE, 0x6F};
    }
    const QByteArray endless = Write(dir_, "endless.xm", wheels);
    QCOMPARE(OnePass(endless), 0u);
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    r.window.List().Insert(0, {endless, b_});
    r.WaitForScans();
    QCOMPARE(r.window.List().data(r.window.List().index(0, Playlist::kDurationColumn), Qt::DisplayRole).toString(),
             QString("no end"));
    r.window.PlayEntry(r.window.List().At(0).id);
    SeekRow& row = *r.window.SeekRowWidget();
    QCOMPARE(row.Span(), kNoEndFrames);
    QCOMPARE(row.Label()->text(), QString("0:00 / 10:00 no end"));
    r.window.SeekTo(kNoEndFrames - 30000);
    const Pcm got = r.Take(30000 + OnePass(b_) + 11 * kBlockFrames);
    const Pcm want = Cat({Render(endless, kNoEndFrames - 30000, 30000), Render(b_, 0, OnePass(b_))});
    QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
  }

  // Files that cannot be played are marked with the reason and passed over,
  // without a box; only a drop of nothing playable gets the box, once.
  void badFilesAreMarkedAndSkipped() {
    const QByteArray missing = QFile::encodeName(dir_.filePath("missing.xm"));
    const QByteArray text = CorpusPath("SOURCES.md");
    const QByteArray folder = QFile::encodeName(dir_.path());
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    DropFiles(r.window, {text, a_, missing, folder, b_});
    QVERIFY(r.errors.isEmpty());
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(1).id);
    QCOMPARE(r.window.windowTitle(), QString("Playing Song A"));
    r.WaitForScans();
    const Playlist& list = r.window.List();
    const struct {
      int row;
      const char* reason;
    } bad[] = {
        {0, "not an XM module"}, {2, "cannot open (No such file or directory)"}, {3, "cannot open (is a directory)"}};
    for (const auto& b : bad) {
      QCOMPARE(list.At(b.row).state, PlaylistEntry::State::kBad);
      QCOMPARE(list.data(list.index(b.row, 0), Qt::ToolTipRole).toString().section('\n', 1),
               QString("Cannot be played: ") + b.reason);
    }
    const Pcm got = r.Take(OnePass(a_) + OnePass(b_) + 44100);
    const Pcm want = Cat({Render(a_, 0, OnePass(a_)), Render(b_, 0, OnePass(b_))});
    QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
    QVERIFY(AllZero(got, want.size()));
    QVERIFY(r.errors.isEmpty());

    DropFiles(r.window, {text, missing});
    QCOMPARE(r.errors, QStringList{"Unable to start playback"});
    QVERIFY(!r.window.Playing());
    QCOMPARE(list.Count(), 7);
  }

  // The reason a file cannot be opened is the same English as the window's
  // other texts (and zevora-cli's), whatever language the user's messages
  // are in (LANGUAGE counts beside a C.UTF-8 locale).
  void openFailureIsInEnglishInAnyLanguage() {
    const QByteArray missing = QFile::encodeName(dir_.filePath("missing.xm"));
    const QByteArray messages = ::setlocale(LC_MESSAGES, nullptr);
    bool german = false;
    QString reason;
    {
      const EnvironmentSetting language("LANGUAGE", "de");
      ::setlocale(LC_MESSAGES, "C.UTF-8");
      german = QString::fromUtf8(std::strerror(ENOENT)) != QLatin1String("No such file or directory");
      reason = LoadFailureReason(missing, LoadError::kNone);
    }
    ::setlocale(LC_MESSAGES, messages.constData());
    if (!german) QSKIP("the C library has no German messages here");
    QCOMPARE(reason, QStringLiteral("cannot open (No such file or directory)"));
  }

  // A thousand files at once: all listed in order after the heard entry,
  // the first plays at once, every one is read within seconds, and the
  // window keeps answering meanwhile.
  void manyFilesDropped() {
    QTemporaryDir many;
    const QList<QByteArray> paths = CorpusLinks(many, 1000);
    QCOMPARE(paths.size(), 1000);
    const QStringList modules = CorpusModules();
    Rig r;
    r.window.SetListOpen(true);
    QVERIFY(Show(r.window));
    r.window.OpenFiles({a_, b_});
    QElapsedTimer clock;
    clock.start();
    DropFiles(r.window, paths);
    const qint64 dropTook = clock.elapsed();
    const Playlist& list = r.window.List();
    QCOMPARE(list.Count(), 1002);
    QCOMPARE(list.At(0).path, a_);
    for (int i = 0; i < 1000; ++i) QCOMPARE(list.At(1 + i).path, paths[i]);
    QCOMPARE(list.At(1001).path, b_);
    QCOMPARE(r.window.HeardEntry(), list.At(1).id);
    // The event loop runs on while the files are read: a 5 ms timer never
    // waits long.
    QTimer tick;
    qint64 last = clock.elapsed(), longest = 0;
    connect(&tick, &QTimer::timeout, [&] {
      longest = std::max(longest, clock.elapsed() - last);
      last = clock.elapsed();
    });
    tick.start(5);
    while (list.Pending() > 0 && clock.elapsed() < 20000 * kSlower) QTest::qWait(5);
    QCoreApplication::processEvents();
    const qint64 read = clock.elapsed();
    std::printf(
        "drop of 1000 files: %lld ms to list, %lld ms until all were read, longest wait of the window %lld ms\n",
        static_cast<long long>(dropTook), static_cast<long long>(read), static_cast<long long>(longest));
    QCOMPARE(list.Pending(), 0);
    QVERIFY(dropTook < 500 * kSlower);
    QVERIFY(longest < 250 * kSlower);
    for (int i = 1; i <= 1000; ++i) QCOMPARE(list.At(i).state, PlaylistEntry::State::kReady);
    QCOMPARE(list.At(1 + modules.indexOf("vor--mph.xm")).Title(), QString("VoR Theme"));
    QCOMPARE(list.data(list.index(1 + modules.indexOf("vor--mph.xm"), 1), Qt::DisplayRole).toString(), QString("1:37"));
  }

  // Entries removed before they were read are not read at all: clearing a
  // long list does not leave the workers reading it for minutes. The list
  // goes on reading what is added afterwards.
  void removedEntriesNotRead() {
    QTemporaryDir many;
    const QList<QByteArray> paths = CorpusLinks(many, 1000);
    QCOMPARE(paths.size(), 1000);
    Playlist list(nullptr, 1);
    list.Insert(0, paths);
    list.Insert(500, {a_});
    list.Remove({0, 1, 2});
    list.Clear();
    QVERIFY2(list.Pending() <= 1, qPrintable(QString::number(list.Pending())));
    list.Insert(0, {b_});
    QElapsedTimer clock;
    clock.start();
    while (list.Pending() > 0 && clock.elapsed() < 20000 * kSlower) QTest::qWait(5);
    QCoreApplication::processEvents();
    QCOMPARE(list.At(0).state, PlaylistEntry::State::kReady);
  }

  // Memory that runs short while a file's end is sought makes the file one
  // that cannot be played, "out of memory", as for a load; the program goes
  // on, and the file reads once memory is back. A limit on processes that
  // refuses the list's readers their threads: the files wait, and are read
  // once a later file gets a thread.
  void memoryOrThreadsRefused() {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    QSKIP("the sanitizers allocate and start threads their own way");
#else
    const QByteArray path = ZEVORA_REGRESSIONS_DIR "/slow-scan-of-loops-in-the-last-channels";
    failAllocationsFrom = std::size_t{4} << 20;
    const SongInfo scanned = ReadSongInfo(path);
    failAllocationsFrom = 0;
    QCOMPARE(scanned.failure, QStringLiteral("out of memory"));
    QVERIFY(!scanned.loaded);
    const SongInfo back = ReadSongInfo(path);
    QVERIFY2(back.failure.isEmpty(), qPrintable(back.failure));
    QVERIFY(back.loaded);
    // Dropped on the window, which reads it at once: the entry is marked and
    // nothing plays.
    Rig r;
    failAllocationsFrom = std::size_t{4} << 20;
    DropFiles(r.window, {path});
    failAllocationsFrom = 0;
    QCOMPARE(r.window.List().At(0).state, PlaylistEntry::State::kBad);
    QCOMPARE(r.errors, QStringList{"Unable to start playback"});
    QVERIFY(!r.window.Playing());

    Rig refused;
    refuseThreads = true;
    refused.window.List().Insert(0, {a_, b_});
    refuseThreads = false;
    QCOMPARE(refused.window.List().At(0).state, PlaylistEntry::State::kPending);
    refused.window.List().Insert(2, {c_});
    refused.WaitForScans();
    QCOMPARE(Titles(refused.window.List()), QStringList({"Song A", "b.xm", "Song C"}));
#endif
  }

  // A pause once a song's end has been heard, before the window has looked
  // (its one-second tick comes while paused): the entry that follows is
  // shown and stays paused, or the list's end stops the window (also where
  // nothing was left to follow, and the window looks for the next entry
  // then); no sound behind a window that shows "paused", nor the reverse.
  void aPauseAtASongsEndHoldsWhatFollows() {
    struct Case {
      const char* name;
      EndMode mode;
      QList<QByteArray> files;
      bool removed;  // the heard entry leaves the list at once
    };
    for (const Case& c : {Case{"the next entry", EndMode::kPlayList, {b_, a_}, false},
                          Case{"the list's end", EndMode::kPlayList, {b_}, false},
                          Case{"nothing left to follow", EndMode::kRepeatList, {b_}, true}}) {
      Rig r;
      r.window.SetEndMode(c.mode);
      r.window.OpenFiles(c.files);
      if (c.removed) r.window.List().Remove({0});
      const std::uint64_t lengthB = OnePass(b_), past = 3 * kBlockFrames;
      // Taken in pieces shorter than the window's ten-block looks.
      Pcm got;
      for (std::uint64_t left = lengthB + past; left > 0;) {
        const std::uint64_t n = std::min<std::uint64_t>(left, 8 * kBlockFrames);
        const Pcm part = window_rig::Take(r.buffer, r.window, n);
        got.insert(got.end(), part.begin(), part.end());
        left -= n;
      }
      r.window.PlayPause();
      r.window.OnDisplayTimer();
      const bool next = c.files.size() > 1;
      QVERIFY2(r.window.Playing() == next, c.name);
      QVERIFY2(r.window.Paused() == next, c.name);
      QVERIFY2(r.window.Button(1)->isChecked() == next, c.name);
      QVERIFY2(!r.buffer.Playing(), c.name);
      if (!next) continue;
      QCOMPARE(r.window.HeardEntry(), r.window.List().At(1).id);
      r.window.PlayPause();
      QVERIFY2(r.buffer.Playing(), c.name);
      const Pcm more = r.Take(22050);
      got.insert(got.end(), more.begin(), more.end());
      const Pcm want = Cat({Render(b_, 0, lengthB), Render(a_, 0, past + 22050)});
      QVERIFY2(got == want, FirstDifference(got, want));
    }
  }

  // A drag carries its entries, not their rows: where the list changed
  // while it went on (a file handed over goes in, an entry goes), the
  // entries dragged are the ones that move; a drop on themselves changes
  // nothing; the heard entry keeps its mark where it went.
  void aDragMovesTheEntriesItCarries() {
    Rig r;
    r.window.SetListOpen(true);
    QVERIFY(Show(r.window));
    Playlist& list = r.window.List();
    PlaylistView& view = *r.window.ListView();
    list.Insert(0, {a_, b_, c_});
    r.WaitForScans();
    r.window.PlayEntry(list.At(1).id);
    const auto drop = [&](const QMimeData& mime, int row, bool below) {
      const QRect rect = view.visualRect(list.index(row, 0));
      const QPoint at(rect.center().x(), below ? rect.bottom() - 1 : rect.top() + 1);
      QDragEnterEvent enter(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(view.viewport(), &enter);
      QDropEvent event(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(view.viewport(), &event);
    };
    // "Song A" and "b.xm" (heard) dragged; meanwhile a file goes in at the
    // top and "Song C" goes; dropped below the last row.
    std::unique_ptr<QMimeData> mime(list.mimeData({list.index(0, 0), list.index(1, 0)}));
    list.Insert(0, {tiny_});
    list.Remove({3});
    list.Insert(3, {c_});
    r.WaitForScans();
    QCOMPARE(Titles(list), QStringList({"Tiny", "Song A", "b.xm", "Song C"}));
    drop(*mime, 3, true);
    QCOMPARE(Titles(list), QStringList({"Tiny", "Song C", "Song A", "b.xm"}));
    QCOMPARE(view.SelectedRows(), QList<int>({2, 3}));
    QCOMPARE(list.HeardRow(), 3);
    QCOMPARE(r.window.HeardEntry(), list.At(3).id);
    // Dropped on themselves: nothing moves.
    std::unique_ptr<QMimeData> again(list.mimeData({list.index(2, 0), list.index(3, 0)}));
    drop(*again, 2, false);
    QCOMPARE(Titles(list), QStringList({"Tiny", "Song C", "Song A", "b.xm"}));
    // The entries dragged have all left the list: nothing moves.
    std::unique_ptr<QMimeData> gone(list.mimeData({list.index(0, 0)}));
    list.Remove({0});
    drop(*gone, 0, false);
    QCOMPARE(Titles(list), QStringList({"Song C", "Song A", "b.xm"}));
  }

  // The context menu of a row: Play and Info are for the row clicked,
  // Remove for the selection, which a click on a row outside it (or with
  // none) makes that row alone; off the rows no menu opens.
  void contextMenuActions() {
    Rig r;
    r.window.SetListOpen(true);
    QVERIFY(Show(r.window));
    Playlist& list = r.window.List();
    PlaylistView& view = *r.window.ListView();
    list.Insert(0, {a_, b_, c_, tiny_});
    r.WaitForScans();
    // Opens the menu at the row (-1: below the rows) and picks `action`;
    // whether a menu opened.
    const auto pick = [&](int row, const QString& action) {
      const QPoint at = row >= 0 ? view.visualRect(list.index(row, 0)).center()
                                 : QPoint(10, view.viewport()->height() - 2);
      bool opened = false;
      // Where no menu opens, the timer must not fire after this call.
      QObject scope;
      QTimer::singleShot(0, &scope, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return;
        opened = true;
        for (QAction* item : menu->actions())
          if (item->text() == action) item->trigger();
        menu->close();
      });
      QContextMenuEvent event(QContextMenuEvent::Mouse, at, view.viewport()->mapToGlobal(at));
      QApplication::sendEvent(view.viewport(), &event);
      return opened;
    };
    QVERIFY(!pick(-1, "Remove"));
    QCOMPARE(list.Count(), 4);
    QVERIFY(pick(2, "Play"));
    QCOMPARE(r.window.HeardEntry(), list.At(2).id);
    QSignalSpy info(&view, &PlaylistView::infoRequested);
    QVERIFY(pick(1, "Info"));
    QCOMPARE(info.size(), 1);
    QCOMPARE(info[0][0].value<std::uint32_t>(), list.At(1).id);
    // Nothing selected: the row clicked goes.
    view.clearSelection();
    QVERIFY(pick(3, "Remove"));
    QCOMPARE(Titles(list), QStringList({"Song A", "b.xm", "Song C"}));
    // Clicked in the selection: all of it goes, the heard entry too (it
    // plays on).
    view.selectionModel()->select(QItemSelection(list.index(1, 0), list.index(2, 0)),
                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QVERIFY(pick(2, "Remove"));
    QCOMPARE(Titles(list), QStringList({"Song A"}));
    QVERIFY(r.window.Playing());
    // Outside the selection: only the row clicked; also while the entries
    // are still being read.
    list.Insert(1, {b_, c_});
    view.selectionModel()->select(list.index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QVERIFY(pick(2, "Remove"));
    r.WaitForScans();
    QCOMPARE(Titles(list), QStringList({"Song A", "b.xm"}));
  }

  // Drag to reorder, Delete, Enter and double-click; the heard entry can
  // go, and what came after it follows.
  void listEditing() {
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    r.window.SetListOpen(true);
    QVERIFY(Show(r.window));
    r.window.List().Insert(0, {a_, b_, c_, tiny_});
    r.WaitForScans();
    Playlist& list = r.window.List();
    PlaylistView& view = *r.window.ListView();
    QCOMPARE(Titles(list), QStringList({"Song A", "b.xm", "Song C", "Tiny"}));

    // Rows 0 and 1 dragged below "Song C".
    std::unique_ptr<QMimeData> mime(list.mimeData({list.index(0, 0), list.index(1, 0)}));
    const QRect target = view.visualRect(list.index(2, 0));
    const QPoint at(target.center().x(), target.bottom() - 1);
    QDragEnterEvent enter(at, Qt::MoveAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::MoveAction, mime.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &drop);
    QCOMPARE(Titles(list), QStringList({"Song C", "Song A", "b.xm", "Tiny"}));
    QCOMPARE(view.SelectedRows(), QList<int>({1, 2}));
    // Rows of another list are not taken.
    Playlist other;
    other.Insert(0, {c_});
    std::unique_ptr<QMimeData> foreign(other.mimeData({other.index(0, 0)}));
    QDragEnterEvent stranger(at, Qt::MoveAction, foreign.get(), Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view.viewport(), &stranger);
    QVERIFY(!stranger.isAccepted());

    // Double-click plays; Enter plays the current entry.
    const QRect second = view.visualRect(list.index(2, 0));
    // As a window system delivers it: press, release, then the double-click.
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, second.center());
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(r.window.HeardEntry(), list.At(2).id);
    view.setFocus();
    view.setCurrentIndex(list.index(1, 0));
    QTest::keyClick(&view, Qt::Key_Return);
    QCOMPARE(r.window.HeardEntry(), list.At(1).id);
    QCOMPARE(r.window.windowTitle(), QString("Playing Song A"));
    // Up and Down move in the list while it has the focus (not the volume).
    const int volume = r.window.Volume();
    QTest::keyClick(&view, Qt::Key_Down);
    QCOMPARE(view.currentIndex().row(), 2);
    QCOMPARE(r.window.Volume(), volume);

    // Delete takes the heard entry out; it plays on, and then the entry
    // that came after it.
    view.setCurrentIndex(list.index(1, 0));
    view.selectionModel()->select(list.index(1, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::keyClick(&view, Qt::Key_Delete);
    QCOMPARE(Titles(list), QStringList({"Song C", "b.xm", "Tiny"}));
    QVERIFY(r.window.Playing());
    const Pcm got = r.Take(OnePass(a_) + OnePass(b_) + OnePass(tiny_) + 44100);
    const Pcm want = Cat({Render(a_, 0, OnePass(a_)), Render(b_, 0, OnePass(b_)), Render(tiny_, 0, OnePass(tiny_))});
    QVERIFY2(std::equal(want.begin(), want.end(), got.begin()), FirstDifference(got, want));
    QVERIFY(AllZero(got, want.size()));
  }

  // The keys work wherever the focus is, and the tooltips name them.
  void keys() {
    Rig r;
    QVERIFY(Show(r.window));
    r.window.List().Insert(0, {a_, b_, c_});
    r.WaitForScans();
    QTest::keyClick(&r.window, Qt::Key_Space);  // nothing plays: the first entry starts
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(0).id);
    QTest::keyClick(&r.window, Qt::Key_Space);
    QVERIFY(r.window.Paused() && r.window.Button(1)->isChecked() && !r.buffer.Playing());
    QTest::keyClick(&r.window, Qt::Key_Space);
    QVERIFY(!r.window.Paused() && r.buffer.Playing());
    QTest::keyClick(&r.window, Qt::Key_N);
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(1).id);
    QTest::keyClick(&r.window, Qt::Key_N);
    QTest::keyClick(&r.window, Qt::Key_N);  // the last entry: no further, but "Repeat list" goes round
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(2).id);
    r.window.SetEndMode(EndMode::kRepeatList);
    QTest::keyClick(&r.window, Qt::Key_N);
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(0).id);
    QTest::keyClick(&r.window, Qt::Key_P);
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(2).id);
    r.window.SetEndMode(EndMode::kRepeatSong);
    QTest::keyClick(&r.window, Qt::Key_P);
    QTest::keyClick(&r.window, Qt::Key_P);
    QTest::keyClick(&r.window, Qt::Key_P);  // the first entry starts again
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(0).id);

    QTest::keyClick(&r.window, Qt::Key_M);
    QVERIFY(r.window.Muted());
    QCOMPARE(r.buffer.Volume(), -10000);
    QTest::keyClick(&r.window, Qt::Key_M);
    QVERIFY(!r.window.Muted());
    QTest::keyClick(&r.window, Qt::Key_Down);
    QCOMPARE(r.window.Volume(), 95000);
    QCOMPARE(r.window.windowTitle(), QString("VOL: 95%"));
    QTest::keyClick(&r.window, Qt::Key_Up);
    QTest::keyClick(&r.window, Qt::Key_Up);
    QCOMPARE(r.window.Volume(), 100000);

    r.nextFiles = QStringList{QString::fromLocal8Bit(c_)};
    QTest::keyClick(&r.window, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(r.dialogFolders.size(), 1);
    QCOMPARE(Titles(r.window.List()), QStringList({"Song A", "Song C", "b.xm", "Song C"}));
    QCOMPARE(r.window.HeardEntry(), r.window.List().At(1).id);
    QTest::keyClick(&r.window, Qt::Key_L);
    QVERIFY(r.window.ListOpen() && r.window.ListView()->isVisible());

    QCOMPARE(r.window.VolumeSlider()->toolTip(), QString("Volume (Up/Down)"));
    QVERIFY(r.window.SeekRowWidget()->Slider()->toolTip().contains("Left/Right"));
    QVERIFY(r.window.SeekRowWidget()->EndModeButton()->toolTip().contains("(R:"));
    QCOMPARE(r.window.SeekRowWidget()->ListButton()->toolTip(), QString("List (L)"));
    QCOMPARE(r.window.SeekRowWidget()->InfoButton()->toolTip(), QString("Module info (I)"));

    QSignalSpy closed(&r.window, &QObject::destroyed);
    QTest::keyClick(&r.window, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!r.window.isVisible());
    QCOMPARE(DefaultPlayer().threadRunning.load(), 0);
  }

  // The title bar names the module's title (the file name without one), for
  // a drop too; the info panel shows the names of the module made safe.
  void titleAndInfo() {
    XmModule named = ShortSong(kC4, 4, "Tune\x01\x7f\xe9t\xe9");
    named.tracker = "Tracker\x1b[31m";
    named.instruments[0].name = "greetings\nto all";
    named.instruments[0].samples[0].name = "sample \x9b one";
    XmInstrument second;
    second.name = "bass";
    second.samples = {LoopedSample(), LoopedSample()};
    second.samples[0].name = "low";
    second.samples[1].name = "high";
    named.instruments.push_back(second);
    const QByteArray path = Write(dir_, "named.xm", named);
    Rig r;
    DropFiles(r.window, {path});
    QCOMPARE(r.window.windowTitle(), QString("Playing Tune??ét\u00e9"));
    r.window.ShowInfo();
    QVERIFY(r.window.Info()->isVisible());
    QCOMPARE(r.window.Info()->Text(), QString("File:        named.xm\n"
                                              "Title:       Tune??ét\u00e9\n"
                                              "Tracker:     Tracker?[31m\n"
                                              "Channels:    1\n"
                                              "Patterns:    1\n"
                                              "Duration:    0:00.480, then loops to order 0, row 0\n"
                                              "Instruments: 2\n"
                                              "  1 greetings?to all\n"
                                              "    1.1 sample ? one\n"
                                              "  2 bass\n"
                                              "    2.1 low\n"
                                              "    2.2 high\n"));
    QVERIFY(QFontInfo(r.window.Info()->findChild<QPlainTextEdit*>()->font()).fixedPitch());
    // The panel follows the heard entry when opened from the button.
    DropFiles(r.window, {b_});
    QCOMPARE(r.window.windowTitle(), QString("Playing b.xm"));
    QVERIFY(r.window.Info()->Text().startsWith("File:        b.xm\nTitle:       \n"));
    // From the list's menu: that entry's, and it stays.
    r.window.ShowInfo(r.window.List().At(0).id);
    QVERIFY(r.window.Info()->Text().startsWith("File:        named.xm"));
    r.window.Next();
    QVERIFY(r.window.Info()->Text().startsWith("File:        named.xm"));
  }

  // A list entry's tooltip shows its file name as the text it is, never
  // as markup (a name may hold "<" and "&", though never "/").
  void tooltipsShowNamesAsText() {
    const QByteArray markup = Write(dir_, "<h1 style=color:red>Big & <i>b.xm", ShortSong(kC4, 4));
    const QByteArray bad = QFile::encodeName(dir_.filePath("<b>gone.xm"));
    Rig r;
    r.window.SetListOpen(true);
    QVERIFY(Show(r.window));
    r.window.List().Insert(0, {markup, bad});
    r.WaitForScans();
    PlaylistView& view = *r.window.ListView();
    const QString want[] = {"<h1 style=color:red>Big & <i>b.xm",
                            "<b>gone.xm\nCannot be played: cannot open (No such file or directory)"};
    for (int row = 0; row < 2; ++row) {
      const QPoint at = view.visualRect(r.window.List().index(row, 0)).center();
      QHelpEvent help(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
      QApplication::sendEvent(view.viewport(), &help);
      // What the tooltip shows: rich text as laid out, plain text as it is.
      const QString shown = QToolTip::text();
      QTextDocument document;
      document.setHtml(shown);
      QCOMPARE(Qt::mightBeRichText(shown) ? document.toPlainText() : shown, want[row]);
      QToolTip::hideText();
    }
  }
  // A file name (of a module without a title) with a line separator, a
  // paragraph separator and a right-to-left override: shown with '?' in
  // their place, on one line and in its order, in the title, the list and
  // the info panel.
  void fileNamesShowInOneLineAndInOrder() {
    const QByteArray path = Write(dir_, "one\u2028two\u2029three\u202eback\u2066.xm", ShortSong(kC4, 4));
    Rig r;
    DropFiles(r.window, {path});
    const QString shown = "one?two?three?back?.xm";
    QCOMPARE(r.window.windowTitle(), "Playing " + shown);
    QCOMPARE(Titles(r.window.List()), QStringList{shown});
    r.window.ShowInfo();
    QVERIFY(r.window.Info()->Text().startsWith("File:        " + shown + "\nTitle:       \n"));
    QCOMPARE(r.window.Info()->windowTitle(), "Info: " + shown);
  }
  // Where removed entries stood, for the entry after each: the first one
  // after it that stays (found in one pass from the last row up).
  void removedEntriesRememberWhereTheyStood() {
    Playlist list(nullptr, 1);
    QList<QByteArray> paths;
    for (int i = 0; i < 10; ++i) paths << QFile::encodeName(dir_.filePath(QString::asprintf("gone%d.xm", i)));
    const QList<std::uint32_t> ids = list.Insert(0, paths);
    list.Remove({9, 5, 1, 2, 2, 42});
    QCOMPARE(list.Count(), 6);
    const struct { int entry, row; } stood[] = {{1, 1}, {2, 1}, {5, 3}, {9, 6}, {0, 0}, {6, 3}};
    for (const auto& s : stood) QCOMPARE(list.RowAfterRemoved(ids[s.entry]), s.row);
    list.Remove({0, 1});
    QCOMPARE(list.RowAfterRemoved(ids[1]), 0);  // followed along: entry 3 went too
    list.Clear();
    QCOMPARE(list.RowAfterRemoved(ids[9]), 0);
  }

  // Entries added and removed time after time while a song plays: where
  // removed entries stood is kept only for the songs handed to the player
  // and the heard entry (every entry ever removed was kept), and the heard
  // song, once its entry has gone too, is still followed by the entry
  // that came after it.
  void removedEntriesAreForgottenOnceNoSongNeedsThem() {
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    r.window.OpenFiles({a_, b_});
    const std::uint32_t a = r.window.List().At(0).id, b = r.window.List().At(1).id;
    QList<QByteArray> many;
    QList<int> rows;
    for (int i = 0; i < 200; ++i) {
      many << c_;
      rows << 2 + i;
    }
    for (int round = 0; round < 20; ++round) {
      r.window.List().Insert(2, many);
      r.window.List().Remove(rows);
    }
    QCOMPARE(r.window.List().Count(), 2);
    QCOMPARE(r.window.List().RemovedKept(), 0);
    r.window.List().Remove({0});
    QCOMPARE(r.window.HeardEntry(), a);
    QCOMPARE(r.window.List().RemovedKept(), 1);
    r.window.Next();
    QCOMPARE(r.window.HeardEntry(), b);
  }

  // Stopped, with the entry heard last taken out of the list ("Play list"):
  // Play, Next and Previous start the entry that stood after (before) it,
  // and where none did, the list's first entry (nothing played).
  void stoppedAfterTheHeardEntryLeftTheList() {
    const struct {
      const char* what;
      int removed;  // the heard row of a, b, c
      void (MainWindow::*step)();
      int row;  // heard then, in what is left
    } cases[] = {
        {"Play, the last gone", 2, &MainWindow::Play, 0},
        {"Next, the last gone", 2, &MainWindow::Next, 0},
        {"Previous, the first gone", 0, &MainWindow::Previous, 0},
        {"Play, the middle one gone", 1, &MainWindow::Play, 1},
    };
    for (const auto& c : cases) {
      Rig r;
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.List().Insert(0, {a_, b_, c_});
      r.window.PlayEntry(r.window.List().At(c.removed).id);
      r.window.Stop();
      r.window.List().Remove({c.removed});
      (r.window.*c.step)();
      QVERIFY2(r.window.Playing() && r.window.List().HeardRow() == c.row, c.what);
      QVERIFY(r.errors.isEmpty());
    }
  }

  // The heard song plays on after its entry left the list (or after it
  // left once the device had gone on into it, before the window followed):
  // Info (I) and the panel that follows the heard song show that song's
  // file, not a selected entry's or the one before.
  void infoShowsTheHeardSongOutOfTheList() {
    // Past the end of the short song by less than a block, between two of
    // the window's follows (every ten blocks).
    const std::uint64_t intoNext = (OnePass(tiny_) / kBlockFrames + 1) * kBlockFrames;
    const struct {
      const char* what;
      QList<QByteArray> files;
      int removed;           // the row taken out of the list
      bool openFirst;        // the panel is open (following) before the row goes
      std::uint64_t before;  // frames heard before the row goes
      QByteArray heard;      // the file heard at the end
    } cases[] = {
        {"the heard entry", {a_, b_, c_}, 0, false, 0, a_},
        {"the heard entry, panel open", {a_, b_, c_}, 0, true, 0, a_},
        {"the next entry, the device in it", {tiny_, b_, c_}, 1, true, intoNext, b_},
    };
    for (const auto& c : cases) {
      Rig r;
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.SetListOpen(true);
      r.window.OpenFiles(c.files);
      if (c.openFirst) r.window.ShowInfo();
      PlaylistView& view = *r.window.ListView();
      view.selectionModel()->select(r.window.List().index(2, 0),
                                    QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      if (c.before != 0) {
        r.Take(c.before);
        QVERIFY2(r.window.HeardEntry() == r.window.List().At(0).id, c.what);
      }
      r.window.List().Remove({c.removed});
      if (c.before != 0) r.Take(10 * kBlockFrames);
      QVERIFY2(r.window.Playing(), c.what);
      QVERIFY2(r.window.List().RowOf(r.window.HeardEntry()) < 0, c.what);
      if (!c.openFirst) r.window.ShowInfo();
      QVERIFY2(r.window.Info()->isVisible(), c.what);
      const QString file = QStringLiteral("File:        ") + FileNameText(c.heard) + QLatin1Char('\n');
      QVERIFY2(r.window.Info()->Text().startsWith(file), qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") +
                                                                    r.window.Info()->Text().section('\n', 0, 0)));
    }
  }

  // Everything remembered comes back in a new window, written the moment
  // it changed; the heard entry is marked, not played.
  void settingsAreRemembered() {
    QTemporaryDir config;
    const QString file = config.filePath("zevora/zevora.conf");
    {
      Rig r(file);
      r.window.List().Insert(0, {c_});
      r.window.OpenFiles({a_, b_});
      r.window.SetVolume(42000);
      r.window.SetMuted(true);
      r.window.SetEndMode(EndMode::kRepeatList);
      r.window.SetListOpen(true);
      r.nextFiles = QStringList{QString::fromLocal8Bit(tiny_)};
      r.window.Command(kCommandStop);
      r.window.Command(kCommandLoad);
      r.window.Next();  // heard: b.xm, the fourth entry
      QCOMPARE(r.dialogFolders, QStringList{QString()});
      // Written already, while the window is open.
      QSettings written(file, QSettings::IniFormat);
      QCOMPARE(written.value("volume").toInt(), 42000);
      QCOMPARE(written.value("muted").toString(), QString("true"));
      QCOMPARE(written.value("endMode").toString(), QString("list"));
      QCOMPARE(written.value("listOpen").toString(), QString("true"));
      QCOMPARE(written.value("lastFolder").toString(), dir_.path());
      QCOMPARE(written.value("heardEntry").toInt(), 3);
      QCOMPARE(written.value("list/size").toInt(), 4);
    }
    Rig again(file);
    MainWindow& w = again.window;
    QVERIFY(Show(w));
    QCOMPARE(w.Volume(), 42000);
    QVERIFY(w.Muted());
    QCOMPARE(again.buffer.Volume(), -10000);
    QCOMPARE(w.GetEndMode(), EndMode::kRepeatList);
    QVERIFY(w.ListOpen());
    QCOMPARE(w.List().Paths(), QList<QByteArray>({c_, a_, tiny_, b_}));
    QCOMPARE(w.List().Heard(), w.List().At(3).id);
    QVERIFY(!w.Playing() && !again.buffer.Playing());
    again.nextFiles.clear();
    w.Command(kCommandLoad);
    QCOMPARE(again.dialogFolders, QStringList{dir_.path()});
    // Space plays the heard entry; the volume and mute are the remembered.
    QTest::keyClick(&w, Qt::Key_Space);
    QCOMPARE(w.HeardEntry(), w.List().At(3).id);
    QCOMPARE(again.buffer.Volume(), -10000);
    w.SetMuted(false);
    QCOMPARE(again.buffer.Volume(), static_cast<int>(std::log10(42000.0) * 2000.0 - 10000.0));
    // A list emptied is remembered empty.
    w.List().Clear();
    QCOMPARE(Settings(file).State().list.size(), 0);
    QCOMPARE(Settings(file).State().heardEntry, -1);
  }

  // The effect and its setting, on a buffer that has effects.
  void effectIsRemembered() {
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    const struct {
      int effect, position;
      RememberedState::Effect remembered;
    } cases[] = {{kEffectEqualizerId, 21, RememberedState::Effect::kEqualizer},
                 {kEffectGargleId, 345, RememberedState::Effect::kGargle},
                 {kEffectOffId, 0, RememberedState::Effect::kOff}};
    for (const auto& c : cases) {
      for (int run = 0; run < 2; ++run) {
        FakeAudioDevice::Control control;
        LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
        QVERIFY(buffer.Start());
        MainWindow window(buffer, true, WindowHooks{{}, [](QWidget*, const QString&) {}, {}, file, 1, {}});
        if (run == 0) {
          window.Command(c.effect);
          if (c.effect != kEffectOffId) window.Effects()->Slider()->setValue(c.position);
          QCOMPARE(Settings(file).State().effect, c.remembered);
          continue;
        }
        QCOMPARE(window.Effects()->Chosen(), c.effect);
        if (c.effect == kEffectOffId) continue;
        QCOMPARE(window.Effects()->Slider()->value(), c.position);
        void* object = nullptr;
        if (c.effect == kEffectEqualizerId) {
          QVERIFY(buffer.GetObjectInPath(GUID_DSFX_STANDARD_PARAMEQ, 0, IID_IDirectSoundFXParamEq, &object) >= 0);
          DSFXParamEq eq{};
          static_cast<IDirectSoundFXParamEq*>(object)->GetAllParameters(&eq);
          QCOMPARE(eq.fGain, 6.0f);
        } else {
          QVERIFY(buffer.GetObjectInPath(GUID_DSFX_STANDARD_GARGLE, 0, IID_IDirectSoundFXGargle, &object) >= 0);
          DSFXGargle gargle{};
          static_cast<IDirectSoundFXGargle*>(object)->GetAllParameters(&gargle);
          QCOMPARE(gargle.dwRateHz, 345u);
        }
      }
    }
  }

  // Every write goes to a new file that takes the settings file's name: the
  // file is another after each change, and nothing else is left in the
  // folder.
  void settingsAreWrittenWhole() {
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    Settings settings(file);
    settings.SetVolume(5);
    struct stat before {};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &before), 0);
    settings.SetList({"/a.xm", "/b.xm"}, 1);
    struct stat after {};
    QCOMPARE(::stat(QFile::encodeName(file).constData(), &after), 0);
    QVERIFY(before.st_ino != after.st_ino);
    QCOMPARE(QDir(config.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{"zevora.conf"});
    QCOMPARE(Settings(file).State().list, QList<QByteArray>({"/a.xm", "/b.xm"}));
  }

  // A list of any length comes back whole, its heard entry marked.
  void longListIsKeptWhole() {
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    QList<QByteArray> list;
    for (int i = 0; i < 100002; ++i) list << "/songs/" + QByteArray::number(i) + ".xm";
    Settings(file).SetList(list, 100001);
    const Settings read(file);
    QCOMPARE(read.State().list.size(), list.size());
    QVERIFY(read.State().list == list);
    QCOMPARE(read.State().heardEntry, 100001);
  }

  // A writer killed at any moment leaves the settings as they were before
  // one of its writes or after it, never in between.
  void settingsSurviveAKillMidWrite() {
    if (kThreadSanitizer) QSKIP("the thread sanitizer does not follow a threaded program's fork");
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    std::mt19937 random(22);
    bool written = false;
    for (int round = 0; round < 25; ++round) {
      QProcess writer;
      writer.start(QCoreApplication::applicationFilePath(), {"--write-settings", file});
      QVERIFY(writer.waitForStarted());
      QTest::qWait(static_cast<int>(20 + random() % 120));
      ::kill(static_cast<pid_t>(writer.processId()), SIGKILL);
      QVERIFY(writer.waitForFinished());
      const Settings read(file);
      QVERIFY(!read.WasDamaged());
      const RememberedState& s = read.State();
      // The writer's n-th list: n entries, named after n, the last heard;
      // a writer may be killed before its first write.
      const int n = static_cast<int>(s.list.size());
      written = written || n > 0;
      if (written) {
        QVERIFY2(n >= 1 && n <= 40, QByteArray::number(n));
        for (int i = 0; i < n; ++i)
          QCOMPARE(s.list[i], QByteArray("/written/") + QByteArray::number(n) + "/" + QByteArray::number(i));
        QCOMPARE(s.heardEntry, n - 1);
        // The volume is a write of its own, after the list's.
        QVERIFY2((s.volume >= 1 && s.volume <= 40) || s.volume == 100000, QByteArray::number(s.volume));
      }
    }
  }

  // Entries the reader leaves out (not absolute, not bytes, holding a zero
  // byte) do not move the heard entry to another file.
  void heardEntryAfterLeftOutEntries_data() {
    QTest::addColumn<QByteArray>("list");  // the [list] section's entries
    QTest::addColumn<int>("heardEntry");   // as written
    QTest::addColumn<QList<QByteArray>>("paths");
    QTest::addColumn<QByteArray>("heard");  // the file marked heard; empty: none
    const QByteArray three = "1\\path=@ByteArray(/a.xm)\n2\\path=@ByteArray()\n3\\path=@ByteArray(/c.xm)\nsize=3\n";
    QTest::addRow("after an empty one") << three << 2 << QList<QByteArray>{"/a.xm", "/c.xm"} << QByteArray("/c.xm");
    QTest::addRow("before an empty one") << three << 0 << QList<QByteArray>{"/a.xm", "/c.xm"} << QByteArray("/a.xm");
    QTest::addRow("the empty one") << three << 1 << QList<QByteArray>{"/a.xm", "/c.xm"} << QByteArray();
    QTest::addRow("after several") << QByteArray(
                                          "1\\path=@ByteArray(rel.xm)\n2\\path=text\n3\\path=@ByteArray(/\\0)\n"
                                          "4\\path=@ByteArray(/d.xm)\n5\\path=@ByteArray(/e.xm)\nsize=5\n")
                                   << 4 << QList<QByteArray>{"/d.xm", "/e.xm"} << QByteArray("/e.xm");
    QTest::addRow("past the end") << three << 3 << QList<QByteArray>{"/a.xm", "/c.xm"} << QByteArray();
    QTest::addRow("with gaps") << QByteArray(
                                      "1\\path=@ByteArray(/a.xm)\n3\\path=@ByteArray(/c.xm)\n"
                                      "5\\path=@ByteArray(/e.xm)\n9\\path=@ByteArray(/i.xm)\nsize=5\n")
                               << 4 << QList<QByteArray>{"/a.xm", "/c.xm", "/e.xm"} << QByteArray("/e.xm");
  }
  void heardEntryAfterLeftOutEntries() {
    QFETCH(QByteArray, list);
    QFETCH(int, heardEntry);
    QFETCH(QList<QByteArray>, paths);
    QFETCH(QByteArray, heard);
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    QFile out(file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("[General]\nheardEntry=" + QByteArray::number(heardEntry) + "\n\n[list]\n" + list);
    out.close();
    const Settings read(file);
    QVERIFY(!read.WasDamaged());
    QCOMPARE(read.State().list, paths);
    QCOMPARE(read.State().heardEntry, heard.isEmpty() ? -1 : static_cast<int>(paths.indexOf(heard)));
    Rig r(file);
    QCOMPARE(r.window.List().Paths(), paths);
    const std::uint32_t marked = r.window.List().Heard();
    QCOMPARE(marked == 0 ? QByteArray() : r.window.List().Find(marked)->path, heard);
  }

  // The settings live in the desktop's configuration folder; a relative
  // XDG_CONFIG_HOME is ignored, not taken from the folder the window starts in.
  void defaultSettingsFile_data() {
    QTest::addColumn<QByteArray>("configHome");
    QTest::addColumn<QString>("file");
    const QString home = QDir::homePath() + "/.config/zevora/zevora.conf";
    QTest::addRow("absolute") << QByteArray("/elsewhere/config") << QString("/elsewhere/config/zevora/zevora.conf");
    QTest::addRow("empty") << QByteArray() << home;
    QTest::addRow("relative") << QByteArray("config") << home;
    QTest::addRow("dot") << QByteArray("./.config") << home;
  }
  void defaultSettingsFile() {
    QFETCH(QByteArray, configHome);
    QFETCH(QString, file);
    const EnvironmentSetting home("XDG_CONFIG_HOME", configHome);
    QCOMPARE(Settings::DefaultFile(), file);
  }

  // A damaged settings file: the window starts with every default, works,
  // and writes good settings again.
  void damagedSettings_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("kind");   // what stands at the name when it is no plain file
    QTest::addColumn<bool>("putAside");  // not parsed as settings at all: kept as FILE.damaged
    QTest::addRow("binary") << QByteArray("\x00\xff\xfe[[[=\n=\n\\\\\x80\x01list\\size=3", 25) << QString() << true;
    QTest::addRow("broken UTF-8") << QByteArray("[General]\nvolume=5\xc3(\n") << QString() << true;
    QTest::addRow("unbalanced section") << QByteArray("[General\nvolume=5\n[list") << QString() << true;
    QTest::addRow("wrong kinds") << QByteArray(
                                        "[General]\nvolume=loud\nmuted=perhaps\nendMode=forever\nlistOpen=2\n"
                                        "heardEntry=x\neffect=reverb\nlastFolder=@ByteArray(\\x1)\n"
                                        "[list]\nsize=2\n1\\path=relative.xm\n2\\path=@Variant(\\0\\0\\0\\x7f)\n")
                                 << QString() << false;
    QTest::addRow("out of range") << QByteArray(
                                         "[General]\nvolume=0\nequalizerGain=99\ngargleRate=0\nheardEntry=7\n"
                                         "patternGeometry=@Rect(-2147483648 -2147483648 500 300)\n"
                                         "[list]\nsize=-5\n")
                                  << QString() << false;
    QTest::addRow("huge count") << QByteArray("[list]\nsize=2147483647\n") << QString() << false;
    QTest::addRow("empty") << QByteArray() << QString() << false;
    QTest::addRow("a folder") << QByteArray() << QString("folder") << false;
    QTest::addRow("a pipe") << QByteArray() << QString("pipe") << false;
    QTest::addRow("a link to a device") << QByteArray() << QString("device") << false;
  }
  void damagedSettings() {
    QFETCH(QByteArray, content);
    QFETCH(QString, kind);
    QFETCH(bool, putAside);
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    if (kind == "folder") {
      QVERIFY(QDir().mkpath(file));
    } else if (kind == "pipe") {
      QCOMPARE(::mkfifo(QFile::encodeName(file).constData(), 0600), 0);
    } else if (kind == "device") {
      // One like /dev/null, made here: a write that took its name would
      // put a plain file in its place.
      if (::mknod(QFile::encodeName(config.filePath("elsewhere")).constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        QSKIP("no device can be made here");
      QVERIFY(QFile::link(config.filePath("elsewhere"), file));
    } else {
      QFile out(file);
      QVERIFY(out.open(QIODevice::WriteOnly));
      out.write(content);
    }
    {
      Rig r(file);
      const RememberedState defaults;
      const RememberedState& s = r.window.Remembered().State();
      QCOMPARE(s.volume, defaults.volume);
      QCOMPARE(s.muted, defaults.muted);
      QCOMPARE(s.effect, defaults.effect);
      QCOMPARE(s.equalizerGain, defaults.equalizerGain);
      QCOMPARE(s.gargleRate, defaults.gargleRate);
      QCOMPARE(s.endMode, defaults.endMode);
      QCOMPARE(s.lastFolder, defaults.lastFolder);
      QCOMPARE(s.listOpen, defaults.listOpen);
      QCOMPARE(s.list, defaults.list);
      QCOMPARE(s.heardEntry, defaults.heardEntry);
      QCOMPARE(s.patternGeometry, defaults.patternGeometry);
      QCOMPARE(r.window.Volume(), 100000);
      QCOMPARE(r.window.List().Count(), 0);
      r.window.OpenFiles({a_});
      QVERIFY(r.window.Playing());
      r.window.SetEndMode(EndMode::kPlayList);
    }
    if (!kind.isEmpty()) {
      // Left as it was (a link still names what it named), nothing put beside it.
      QCOMPARE(QDir(config.path()).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
               (kind == "device" ? QStringList{"elsewhere", "zevora.conf"} : QStringList{"zevora.conf"}));
      QVERIFY(QFileInfo(file).exists() && !QFileInfo(file).isFile());
      return;
    }
    QFile aside(file + ".damaged");
    QCOMPARE(aside.exists(), putAside);
    if (putAside) {
      QVERIFY(aside.open(QIODevice::ReadOnly));
      QCOMPARE(aside.readAll(), content);
    }
    const Settings again(file);
    QVERIFY(!again.WasDamaged());
    QCOMPARE(again.State().list, QList<QByteArray>{a_});
    QCOMPARE(again.State().endMode, EndMode::kPlayList);
  }

  // A settings file far larger than any the window writes (a sparse or
  // runaway file) is put aside unread: with less address space left than
  // its size, the window still starts with its defaults.
  void hugeSettingsAreNotRead() {
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    constexpr qint64 kSize = qint64{768} << 20;
    {
      QFile out(file);
      QVERIFY(out.open(QIODevice::WriteOnly) && out.write("[General]\nvolume=5\n") > 0 && out.resize(kSize));
    }
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    QVERIFY(pages > 0);
    rlimit before{};
    QCOMPARE(::getrlimit(RLIMIT_AS, &before), 0);
    rlimit limited = before;
    limited.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (rlim_t{384} << 20);
    if (before.rlim_cur != RLIM_INFINITY && before.rlim_cur < limited.rlim_cur) QSKIP("address space limited already");
    QCOMPARE(::setrlimit(RLIMIT_AS, &limited), 0);
    std::optional<Settings> read;
    try {
      read.emplace(file);
    } catch (const std::bad_alloc&) {
    }
    QCOMPARE(::setrlimit(RLIMIT_AS, &before), 0);
    QVERIFY(read && read->WasDamaged());
    QCOMPARE(read->State().volume, RememberedState().volume);
    QCOMPARE(QFileInfo(file + ".damaged").size(), kSize);
    QVERIFY(!QFileInfo(file).exists() || QFileInfo(file).size() == 0);
  }

  // A damaged file is never lost: an earlier damaged copy stays, a link
  // stays a link (the file it names is copied aside), and where no copy can
  // be made the file is left as it is and nothing is written over it.
  void damagedSettingsAreNeverLost_data() {
    QTest::addColumn<int>("earlierCopies");  // FILE.damaged, FILE.damaged.2, ... already there
    QTest::addColumn<bool>("link");          // FILE is a link to the damaged file
    QTest::addColumn<QString>("aside");      // where the damaged bytes go; empty: nowhere
    QTest::addRow("first") << 0 << false << "zevora.conf.damaged";
    QTest::addRow("second") << 1 << false << "zevora.conf.damaged.2";
    QTest::addRow("third") << 2 << false << "zevora.conf.damaged.3";
    QTest::addRow("a link") << 1 << true << "zevora.conf.damaged.2";
    QTest::addRow("no free name") << 100 << false << "";
  }
  void damagedSettingsAreNeverLost() {
    QFETCH(int, earlierCopies);
    QFETCH(bool, link);
    QFETCH(QString, aside);
    QTemporaryDir config;
    const QString file = config.filePath("zevora.conf");
    const QByteArray damaged("[General]\nvolume=5\xc3(\n[list]\nsize=1\n1\\path=/kept.xm\n");
    const auto put = [](const QString& name, const QByteArray& bytes) {
      QFile out(name);
      return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
    };
    for (int n = 1; n <= earlierCopies; ++n)
      QVERIFY(
          put(file + ".damaged" + (n == 1 ? QString() : QString(".%1").arg(n)), "earlier " + QByteArray::number(n)));
    const QString real = link ? config.filePath("elsewhere.conf") : file;
    QVERIFY(put(real, damaged));
    if (link) QVERIFY(QFile::link(real, file));
    {
      Settings settings(file);
      QVERIFY(settings.WasDamaged());
      settings.SetVolume(777);
      settings.SetList({"/new.xm"}, 0);
    }
    const auto bytesOf = [](const QString& name) {
      QFile in(name);
      return in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray("(none)");
    };
    for (int n = 1; n <= earlierCopies; ++n)
      QCOMPARE(bytesOf(file + ".damaged" + (n == 1 ? QString() : QString(".%1").arg(n))),
               "earlier " + QByteArray::number(n));
    QCOMPARE(QFileInfo(file).isSymLink(), link);
    if (aside.isEmpty()) {
      QCOMPARE(bytesOf(file), damaged);
      return;
    }
    QCOMPARE(bytesOf(config.filePath(aside)), damaged);
    const Settings again(file);
    QVERIFY(!again.WasDamaged());
    QCOMPARE(again.State().volume, 777);
    QCOMPARE(again.State().list, QList<QByteArray>{"/new.xm"});
  }
};

// The test's own program also writes settings for ever when asked (for
// the test that kills a writer).
int main(int argc, char** argv) {
  if (argc == 3 && !std::strcmp(argv[1], "--write-settings")) {
    QCoreApplication app(argc, argv);
    Settings settings(QString::fromLocal8Bit(argv[2]));
    for (int n = 1;; n = n % 40 + 1) {
      QList<QByteArray> list;
      for (int i = 0; i < n; ++i) list << QByteArray("/written/") + QByteArray::number(n) + "/" + QByteArray::number(i);
      // Volume last: the test checks it names the same write as the list.
      settings.SetList(list, n - 1);
      settings.SetVolume(n);
    }
  }
  QApplication app(argc, argv);
  WindowListTest test;
  QTEST_SET_MAIN_SOURCE_PATH
  return QTest::qExec(&test, argc, argv);
}

#include "window_list_test.moc"
