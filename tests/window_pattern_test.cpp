// The pattern view under the offscreen platform: the tracker notation of
// every kind of cell, the heard block's row (compared with the position
// log and with a render of its own), a pause and a seek, a click on a
// channel's header muting exactly that channel (what a sound card takes
// from a memory buffer, compared bit for bit with renders), modules of 1
// and 32 channels and patterns of 1 and 256 rows, and what is remembered.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QWheelEvent>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "audio_setup.h"
#include "end_mode.h"
#include "main_window.h"
#include "memory_sound_buffer.h"
#include "pattern_notation.h"
#include "pattern_view.h"
#include "player.h"
#include "seek_row.h"
#include "window_rig.h"
#include "xm_writer.h"

// Allocations made on a thread while it counts them.
namespace {
thread_local bool tCountAllocations = false;
std::atomic<int> gAllocations{0};
}  // namespace

void* operator new(std::size_t size) {
  if (tCountAllocations) ++gAllocations;
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
// The engine's new (std::nothrow) goes through the same pair: under
// AddressSanitizer the library's own nothrow form would otherwise hand its
// block to the free above.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (tCountAllocations) ++gAllocations;
  return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using namespace window_rig;

// Counts for a release build; the sanitizers' builds run much slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kSlower = 10;
#else
constexpr int kSlower = 1;
#endif

// The order position and row of each ring block of the song played from
// its start, as a render of its own ends each block.
std::vector<std::pair<int, int>> BlockRows(const QByteArray& path, int blocks) {
  Song* song = LoadPath(path);
  std::vector<std::pair<int, int>> rows;
  std::vector<std::int16_t> scratch(2 * kBlockFrames);
  for (int b = 0; b < blocks && song != nullptr; ++b) {
    ReadSongFrames(*song, scratch.data(), kBlockFrames);
    rows.emplace_back(song->module.orderPosition, song->module.row);
  }
  if (song != nullptr) DestroySong(song);
  return rows;
}

struct Rig {
  explicit Rig(const QString& settingsFile = {}, std::optional<bool> placesWindows = {})
      : window(buffer, true,
               WindowHooks{
                   {}, [this](QWidget*, const QString& text) { errors << text; }, {}, settingsFile, 2, placesWindows}) {
  }

  PatternView& View() const { return *window.Patterns(); }
  PatternCanvas& Canvas() const { return *window.Patterns()->Canvas(); }

  // The sound card's side, as in the window's list test: block by block,
  // waiting every ten blocks for the streaming thread to render them again.
  // After each block the view follows, as its timer has it; `each` then
  // looks at it (heard block number).
  template <typename Each>
  Pcm Take(std::uint64_t frames, Each each) {
    return window_rig::Take(buffer, window, frames, [&](std::uint32_t n) {
      taken += n;
      View().Follow();
      each(taken / kBlockFrames);
    });
  }
  Pcm Take(std::uint64_t frames) {
    return Take(frames, [](std::uint64_t) {});
  }

  MemorySoundBuffer buffer;
  QStringList errors;
  MainWindow window;
  std::uint64_t taken = 0;  // frames since the song's start (no seeks)
};

bool Show(QWidget& window) {
  window.show();
  QApplication::setActiveWindow(&window);
  return QTest::qWaitForWindowExposed(&window);
}

// A module of `channels` channels, one pattern per entry of `rows` played
// in order, at speed 2 (two blocks a row), a note on each channel's first
// row of each pattern (a fifth apart, so that each channel sounds its own).
XmModule Tune(std::uint16_t channels, std::vector<std::uint16_t> rows, std::uint16_t speed = 2) {
  XmModule m = OneInstrumentModule(LoopedSample(), channels);
  m.tempo = speed;
  m.patterns.clear();
  m.orders.clear();
  for (std::size_t p = 0; p < rows.size(); ++p) {
    m.patterns.push_back(XmPattern{});
    m.patterns.back().rows = rows[p];
    m.orders.push_back(static_cast<std::uint8_t>(p));
    for (std::uint16_t c = 0; c < channels; ++c)
      m.At(p, 0, c) = {static_cast<std::uint8_t>(25 + (7 * c + 3 * p) % 60), 1, static_cast<std::uint8_t>(0x20 + c), 0,
                       0};
  }
  return m;
}

// Pixels of a channel's header in the scopes' wave colour.
int WavePixels(PatternCanvas& canvas, int channel) {
  const QImage image = canvas.grab(canvas.HeaderRect(channel)).toImage();
  int count = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == 0xff74e48e;
  return count;
}

// The lines of a channel's header that hold the scope's wave colour: 1
// for a flat wave.
int WaveLines(PatternCanvas& canvas, int channel) {
  const QImage image = canvas.grab(canvas.HeaderRect(channel)).toImage();
  int lines = 0;
  for (int y = 0; y < image.height(); ++y) {
    bool wave = false;
    for (int x = 0; x < image.width() && !wave; ++x) wave = image.pixel(x, y) == 0xff74e48e;
    lines += wave;
  }
  return lines;
}

// A channel's header without its last lines (at a scale of 2 the header's
// rectangle in the widget's pixels may take in a line of the rows below).
QImage Scope(PatternCanvas& canvas, int channel) {
  const QImage image = canvas.grab(canvas.HeaderRect(channel)).toImage();
  return image.copy(0, 0, image.width(), image.height() - 4);
}

// The background colour under the start of a drawn row (the grab is in
// device pixels: QT_SCALE_FACTOR=2 doubles them).
QRgb RowBackground(PatternCanvas& canvas, int offset) {
  const QRect rect = canvas.RowRect(offset);
  if (rect.isEmpty()) return 0;
  const QImage image = canvas.grab().toImage();
  const qreal ratio = image.devicePixelRatio();
  return image.pixel(qRound((rect.left() + 1) * ratio), qRound(rect.center().y() * ratio));
}

}  // namespace

class WindowPatternTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;

 private slots:
  void initTestCase() { QVERIFY(dir_.isValid()); }
  void cleanup() { PlayerStop(); }

  // Every kind of cell in the classic notation, field by field.
  void notation_data() {
    QTest::addColumn<int>("note");
    QTest::addColumn<int>("instrument");
    QTest::addColumn<int>("volume");
    QTest::addColumn<int>("effect");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QString>("text");
    QTest::addRow("empty") << 0 << 0 << 0 << 0 << 0 << "... .. .. ...";
    QTest::addRow("C-4, set volume 40, A0F") << 49 << 1 << 0x50 << 0xA << 0x0F << "C-4 01 40 A0F";
    QTest::addRow("D#5") << 64 << 0x1F << 0 << 0 << 0 << "D#5 1F .. ...";
    QTest::addRow("lowest note") << 1 << 0x80 << 0 << 0 << 0 << "C-0 80 .. ...";
    QTest::addRow("highest note") << 96 << 0 << 0 << 0 << 0 << "B-7 .. .. ...";
    QTest::addRow("key off") << 97 << 0 << 0 << 0 << 0 << "=== .. .. ...";
    QTest::addRow("past key off") << 250 << 0 << 0 << 0 << 0 << "=== .. .. ...";
    QTest::addRow("volume 00") << 0 << 0 << 0x10 << 0 << 0 << "... .. 00 ...";
    QTest::addRow("volume 2A") << 0 << 0 << 0x3A << 0 << 0 << "... .. 2A ...";
    QTest::addRow("volume byte that does nothing (low)") << 0 << 0 << 0x0F << 0 << 0 << "... .. .. ...";
    QTest::addRow("volume byte that does nothing (high)") << 0 << 0 << 0x51 << 0 << 0 << "... .. .. ...";
    QTest::addRow("volume slide down") << 0 << 0 << 0x65 << 0 << 0 << "... .. -5 ...";
    QTest::addRow("volume slide up") << 0 << 0 << 0x7A << 0 << 0 << "... .. +A ...";
    QTest::addRow("fine volume down") << 0 << 0 << 0x83 << 0 << 0 << "... .. D3 ...";
    QTest::addRow("fine volume up") << 0 << 0 << 0x94 << 0 << 0 << "... .. U4 ...";
    QTest::addRow("vibrato speed") << 0 << 0 << 0xA5 << 0 << 0 << "... .. S5 ...";
    QTest::addRow("vibrato depth") << 0 << 0 << 0xB6 << 0 << 0 << "... .. V6 ...";
    QTest::addRow("set panning") << 0 << 0 << 0xC8 << 0 << 0 << "... .. P8 ...";
    QTest::addRow("panning slide left") << 0 << 0 << 0xD2 << 0 << 0 << "... .. L2 ...";
    QTest::addRow("panning slide right") << 0 << 0 << 0xE3 << 0 << 0 << "... .. R3 ...";
    QTest::addRow("tone portamento") << 0 << 0 << 0xFF << 0 << 0 << "... .. MF ...";
    QTest::addRow("arpeggio") << 0 << 0 << 0 << 0 << 0x37 << "... .. .. 037";
    QTest::addRow("portamento up") << 0 << 0 << 0 << 1 << 0x20 << "... .. .. 120";
    QTest::addRow("E-xy: fine portamento up") << 0 << 0 << 0 << 0xE << 0x61 << "... .. .. E61";
    QTest::addRow("speed") << 0 << 0 << 0 << 0xF << 0x06 << "... .. .. F06";
    QTest::addRow("global volume G") << 0 << 0 << 0 << 16 << 0x40 << "... .. .. G40";
    QTest::addRow("key off K") << 0 << 0 << 0 << 20 << 0x10 << "... .. .. K10";
    QTest::addRow("panning slide P") << 0 << 0 << 0 << 25 << 0x0F << "... .. .. P0F";
    QTest::addRow("extra fine portamento X") << 0 << 0 << 0 << 33 << 0x12 << "... .. .. X12";
    QTest::addRow("last letter Z") << 0 << 0 << 0 << 35 << 0xFF << "... .. .. ZFF";
    QTest::addRow("past Z") << 0 << 0 << 0 << 36 << 0x01 << "... .. .. ?01";
    QTest::addRow("everything") << 62 << 0x0A << 0x9F << 0xE << 0xC3 << "C#5 0A UF EC3";
  }
  void notation() {
    QFETCH(int, note);
    QFETCH(int, instrument);
    QFETCH(int, volume);
    QFETCH(int, effect);
    QFETCH(int, parameter);
    QFETCH(QString, text);
    const Cell cell{static_cast<std::uint8_t>(note), static_cast<std::uint8_t>(instrument),
                    static_cast<std::uint8_t>(volume), static_cast<std::uint8_t>(effect),
                    static_cast<std::uint8_t>(parameter)};
    QCOMPARE(QString::fromStdString(CellString(cell)), text);
  }

  // A module that holds each kind of cell, one a row: the view shows every
  // row as the notation has it, read from the file the window plays.
  void viewShowsEveryKindOfCell() {
    const Cell cells[] = {{49, 1, 0x50, 0xA, 0x0F}, {64, 0x1F, 0, 0, 0}, {97, 0, 0, 0, 0},    {0, 0, 0, 0, 0},
                          {0, 0x80, 0x10, 0, 0},    {0, 0, 0x65, 0, 0},  {0, 0, 0x7A, 0, 0},  {0, 0, 0x83, 0, 0},
                          {0, 0, 0x94, 0, 0},       {0, 0, 0xA5, 0, 0},  {0, 0, 0xB6, 0, 0},  {0, 0, 0xC8, 0, 0},
                          {0, 0, 0xD2, 0, 0},       {0, 0, 0xE3, 0, 0},  {0, 0, 0xFF, 0, 0},  {0, 0, 0, 0, 0x37},
                          {0, 0, 0, 0xE, 0x61},     {0, 0, 0, 16, 0x40}, {0, 0, 0, 20, 0x01}, {0, 0, 0, 33, 0x12},
                          {1, 2, 0x3A, 35, 0xFF},   {96, 3, 0x0F, 36, 1}};
    constexpr int kCells = sizeof cells / sizeof cells[0];
    XmModule m = OneInstrumentModule(LoopedSample(), 2);
    m.patterns[0].rows = 32;
    for (int row = 0; row < kCells; ++row) m.At(0, static_cast<std::uint16_t>(row), 1) = cells[row];
    m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
    const QByteArray path = Write(dir_, "cells.xm", m);
    Rig r;
    r.window.SetPatternOpen(true);
    r.window.OpenFiles({path});
    r.window.Pause();
    r.View().Follow();
    QCOMPARE(r.Canvas().HeardRow(), 0);
    QCOMPARE(r.Canvas().RowText(-1), QString());  // before the song's start
    for (int row = 0; row < kCells; ++row) {
      const QString gutter = QString::asprintf(" 00  00  %02X ", row);
      const QString first = QString::fromStdString(CellString(row == 0 ? m.At(0, 0, 0) : Cell{}));
      QCOMPARE(r.Canvas().RowText(row), gutter + first + ' ' + QString::fromStdString(CellString(cells[row])));
    }
    QCOMPARE(r.Canvas().RowText(32), QString());  // after the last order
    QCOMPARE(r.View().windowTitle(), QString("Pattern: test"));
  }

  // While playing, the row shown is that of the block the device is in:
  // the position log's entry, and what a render of its own gives for that
  // block; never the row being rendered two seconds ahead. The heard row is
  // drawn highlighted, every fourth row marked.
  void followsTheHeardBlock() {
    const QByteArray path = Write(dir_, "follow.xm", Tune(2, {16, 8, 5}));
    const std::vector<std::pair<int, int>> rows = BlockRows(path, 200);
    Rig r;
    QVERIFY(Show(r.window));
    r.window.SetPatternOpen(true);
    QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
    r.window.OpenFiles({path});
    QVERIFY(r.View().FrameTimer().isActive());
    QVERIFY(r.View().FrameTimer().interval() <= 1000 / 30);
    int checked = 0, rowChanges = 0, aheadDiffers = 0;
    std::pair<int, int> last{0, 0};
    r.Take(150 * kBlockFrames, [&](std::uint64_t block) {
      const std::pair<int, int> shown{r.Canvas().HeardOrder(), r.Canvas().HeardRow()};
      PositionLogEntry entry{};
      QVERIFY(PlayerHeardPosition(DefaultPlayer(), entry));
      QCOMPARE(shown,
               std::make_pair(static_cast<int>(entry.songPosition & 255), static_cast<int>(entry.songPosition >> 8)));
      QCOMPARE(shown, rows[block % rows.size()]);
      const std::uint32_t rendering = PlayerGetPosition(DefaultPlayer());
      aheadDiffers += shown != std::make_pair(static_cast<int>(rendering & 255), static_cast<int>(rendering >> 8));
      rowChanges += shown != last;
      last = shown;
      ++checked;
    });
    QCOMPARE(checked, 150);
    QVERIFY(rowChanges >= 60);  // 2 blocks a row
    QVERIFY(aheadDiffers > 0);  // the streaming thread's position runs ahead

    // The rows as moved on row by row are the rows drawn anew (here by a
    // sideways scroll there and back).
    PatternCanvas& canvas = r.Canvas();
    const int headerBottom = canvas.HeaderRect(0).bottom() + 1;
    const QRect rowsArea(0, headerBottom, canvas.width(), canvas.height() - headerBottom);
    const QImage moved = canvas.grab(rowsArea).toImage();
    canvas.SetFirstChannel(1);
    canvas.SetFirstChannel(0);
    QVERIFY(canvas.grab(rowsArea).toImage() == moved);

    // Colours: the heard row, a marked row (every fourth row of a pattern),
    // a plain row.
    const int heard = r.Canvas().HeardRow();
    const int toBeat = (4 - heard % 4) % 4 == 0 ? 4 : (4 - heard % 4) % 4;
    const int toPlain = heard % 4 == 3 ? 2 : 1;
    const QRgb heardColour = RowBackground(r.Canvas(), 0);
    const QRgb beatColour = RowBackground(r.Canvas(), toBeat);
    const QRgb plainColour = RowBackground(r.Canvas(), toPlain);
    QVERIFY2(heardColour != beatColour && beatColour != plainColour && heardColour != plainColour,
             qPrintable(QString::asprintf("%08x %08x %08x (row %d)", heardColour, beatColour, plainColour, heard)));
  }

  // A pause holds the row shown (and stops the redraws); a seek, paused or
  // not, moves it at once to the row of the frame sought.
  void pauseHoldsAndSeekMoves() {
    const QByteArray path = Write(dir_, "seek.xm", Tune(1, {32, 32}));
    const std::vector<std::pair<int, int>> rows = BlockRows(path, 140);
    Rig r;
    r.window.SetPatternOpen(true);
    r.window.OpenFiles({path});
    r.Take(17 * kBlockFrames + 100);
    const std::pair<int, int> at17{r.Canvas().HeardOrder(), r.Canvas().HeardRow()};
    QCOMPARE(at17, rows[17]);
    r.window.Pause();
    QVERIFY(!r.View().FrameTimer().isActive());
    QTest::qWait(50);
    r.View().Follow();
    QCOMPARE(std::make_pair(r.Canvas().HeardOrder(), r.Canvas().HeardRow()), at17);

    // Paused: 100 blocks on (the second pattern), heard at once.
    r.window.SeekTo(100 * kBlockFrames + 5);
    QCOMPARE(std::make_pair(r.Canvas().HeardOrder(), r.Canvas().HeardRow()), rows[100]);
    QCOMPARE(rows[100].first, 1);
    r.window.Play();
    QVERIFY(r.View().FrameTimer().isActive());
    // Playing: back to block 3.
    r.window.SeekTo(3 * kBlockFrames);
    QCOMPARE(std::make_pair(r.Canvas().HeardOrder(), r.Canvas().HeardRow()), rows[3]);
  }

  // Shown but unmapped by the window system (on another desktop, or taken
  // off the screen by the window manager), the view is not redrawn sixty
  // times a second: its timer stops, and a pause and play meanwhile do not
  // start it. Seen again, it runs and shows the heard row at once. A view
  // closed while unmapped and opened again runs as before.
  void unexposedViewIsNotRedrawn() {
    const QByteArray path = Write(dir_, "unexposed.xm", Tune(1, {32, 32}));
    const std::vector<std::pair<int, int>> rows = BlockRows(path, 140);
    Rig r;
    bool exposed = true;
    r.View().SetExposedQuery([&] { return exposed; });
    r.window.SetPatternOpen(true);
    QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
    r.window.OpenFiles({path});
    QVERIFY(r.View().FrameTimer().isActive());
    QWindow* handle = r.View().windowHandle();
    QVERIFY(handle != nullptr);
    const auto expose = [&](bool seen) {
      exposed = seen;
      QExposeEvent event(seen ? QRegion(QRect(QPoint(), r.View().size())) : QRegion());
      QCoreApplication::sendEvent(handle, &event);
    };

    expose(false);
    QVERIFY(r.View().isVisible() && r.window.PatternOpen());
    QVERIFY(!r.View().FrameTimer().isActive());
    r.window.Pause();
    r.window.Play();
    QVERIFY(!r.View().FrameTimer().isActive());
    r.Take(60 * kBlockFrames + 100);
    expose(true);
    QVERIFY(r.View().FrameTimer().isActive());
    QCOMPARE(std::make_pair(r.Canvas().HeardOrder(), r.Canvas().HeardRow()), rows[60]);

    expose(false);
    QVERIFY(!r.View().FrameTimer().isActive());
    r.View().close();
    r.window.SetPatternOpen(true);
    QVERIFY(r.View().isVisible());
    QVERIFY(r.View().FrameTimer().isActive());

    // Minimized: not redrawn; restored: redrawn again.
    r.View().setWindowState(Qt::WindowMinimized);
    QVERIFY(!r.View().FrameTimer().isActive());
    r.View().setWindowState(Qt::WindowNoState);
    QVERIFY(r.View().FrameTimer().isActive());
  }

  // A click on a channel's header mutes exactly that channel from a few
  // blocks after the one heard (the ring is rendered again from there): the
  // sound taken is the render up to there, then the render with that
  // channel muted; a second click unmutes it the same way.
  void clickMutesExactlyThatChannel() {
    const QByteArray path = Write(dir_, "mute.xm", Tune(4, {16, 16}));
    Rig r;
    QVERIFY(Show(r.window));
    r.window.SetPatternOpen(true);
    QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
    r.window.OpenFiles({path});
    const Pcm before = r.Take(20 * kBlockFrames);
    const QRect header = r.Canvas().HeaderRect(2);
    QVERIFY(!header.isEmpty());
    QTest::mouseClick(&r.Canvas(), Qt::LeftButton, {}, header.center());
    QCOMPARE(r.View().Muted(), 1u << 2);
    const Pcm muted = r.Take(40 * kBlockFrames);
    // The scopes: a wave on each channel heard, none on the muted one.
    for (int channel = 0; channel < 4; ++channel)
      QVERIFY2((WavePixels(r.Canvas(), channel) > 20) == (channel != 2), qPrintable(QString::number(channel)));
    QTest::mouseClick(&r.Canvas(), Qt::LeftButton, {}, header.center());
    QCOMPARE(r.View().Muted(), 0u);
    const Pcm after = r.Take(30 * kBlockFrames);

    // Heard from 8 blocks after the block being heard at the click.
    const std::uint64_t mutedFrom = 28 * kBlockFrames, unmutedFrom = 68 * kBlockFrames;
    const Pcm want = Cat({Render(path, 0, mutedFrom), Render(path, mutedFrom, unmutedFrom - mutedFrom, 1u << 2),
                          Render(path, unmutedFrom, 90 * kBlockFrames - unmutedFrom)});
    const Pcm got = Cat({before, muted, after});
    QVERIFY2(got == want, FirstDifference(got, want));
    // The mute is heard: another channel muted, or none, sounds otherwise.
    QVERIFY(Render(path, mutedFrom, 10 * kBlockFrames, 1u << 2) != Render(path, mutedFrom, 10 * kBlockFrames));
    QVERIFY(Render(path, mutedFrom, 10 * kBlockFrames, 1u << 2) != Render(path, mutedFrom, 10 * kBlockFrames, 1u << 1));
  }

  // In a song's last two seconds the ring holds the switch to the next
  // song, and cannot be rendered again from a few blocks on: a click (or
  // the view closed, which unmutes) has the heard song go on anew from the
  // frame heard, so that the mute is heard at once, in it and in the next,
  // playing or paused, however short the song.
  void muteInASongsLastSecondsIsHeardAtOnce() {
    const QByteArray longer = Write(dir_, "last-long.xm", Tune(4, {16, 16, 16, 16}));  // 128 blocks
    const QByteArray shorter = Write(dir_, "last-short.xm", Tune(4, {16}));            // 32 blocks
    const QByteArray next = Write(dir_, "last-next.xm", Tune(4, {8, 8}, 3));
    const struct {
      const char* what;
      QByteArray first;
      bool paused;
      std::uint64_t click;  // frames heard at the click
      std::uint64_t close;  // frames heard when the view is closed (0: it stays open)
    } cases[] = {
        {"playing", longer, false, 60 * kBlockFrames, 0},
        {"paused", longer, true, 60 * kBlockFrames + 300, 0},
        {"a song shorter than the ring", shorter, false, 10 * kBlockFrames, 0},
        {"the view closed", longer, false, 20 * kBlockFrames, 70 * kBlockFrames},
    };
    for (const auto& c : cases) {
      Rig r;
      QVERIFY(Show(r.window));
      r.window.SetEndMode(EndMode::kPlayList);
      r.window.SetPatternOpen(true);
      QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
      r.window.OpenFiles({c.first, next});
      Pcm got = r.Take(c.click);
      if (c.paused) r.window.Pause();
      QTest::mouseClick(&r.Canvas(), Qt::LeftButton, {}, r.Canvas().HeaderRect(2).center());
      QCOMPARE(r.View().Muted(), 1u << 2);
      if (c.paused) r.window.Play();
      const std::uint64_t length = OnePass(c.first), total = length + OnePass(next);
      Pcm want = Render(c.first, 0, c.click);
      if (c.close != 0) {
        got = Cat({got, r.Take(c.close - c.click)});
        r.window.SetPatternOpen(false);
        QCOMPARE(r.View().Muted(), 0u);
        // Muted from 8 blocks after the click (the ring rendered again).
        const std::uint64_t muted = c.click + 8 * kBlockFrames;
        want = Cat({want, Render(c.first, c.click, muted - c.click), Render(c.first, muted, c.close - muted, 1u << 2),
                    Render(c.first, c.close, length - c.close), Render(next, 0, total - length)});
      } else {
        want =
            Cat({want, Render(c.first, c.click, length - c.click, 1u << 2), Render(next, 0, total - length, 1u << 2)});
      }
      got = Cat({got, r.Take(total + 10 * kBlockFrames - got.size() / 2)});
      QVERIFY2(got.size() >= want.size() && std::equal(want.begin(), want.end(), got.begin()),
               qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": ") + FirstDifference(got, want)));
    }
  }

  // The heard song's entry removed from the list: the song plays on, and
  // the view opened then shows it (and goes on showing it when opened
  // again), not "Nothing plays".
  void songWhoseEntryLeftTheListIsShown() {
    XmModule first = Tune(4, {16, 16});
    first.title = "first";
    XmModule second = Tune(2, {16});
    second.title = "second";
    const QByteArray a = Write(dir_, "left-a.xm", first);
    const QByteArray b = Write(dir_, "left-b.xm", second);
    const std::vector<std::pair<int, int>> rows = BlockRows(a, 40);
    Rig r;
    QVERIFY(Show(r.window));
    r.window.OpenFiles({a, b});
    r.Take(10 * kBlockFrames);
    r.window.List().Remove({0});
    QCoreApplication::processEvents();
    QCOMPARE(r.window.List().Count(), 1);
    QVERIFY(r.window.Playing());
    for (int opened = 0; opened < 2; ++opened) {
      r.window.SetPatternOpen(true);
      QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
      r.Take(5 * kBlockFrames);
      QVERIFY(r.View().ShownSong() != nullptr);
      QCOMPARE(r.View().windowTitle(), QString("Pattern: first"));
      QCOMPARE(r.Canvas().Channels(), 4);
      QCOMPARE(std::make_pair(r.Canvas().HeardOrder(), r.Canvas().HeardRow()), rows[r.taken / kBlockFrames]);
      r.window.SetPatternOpen(false);
    }
  }

  // What a scope shows stays while paused: a click that mutes a channel,
  // or a resize, draws the headers anew with the scopes of the block heard
  // (flat only for the muted channel), not every scope flat.
  void pausedScopesStayWhenDrawnAnew() {
    const QByteArray path = Write(dir_, "paused-scopes.xm", Tune(4, {16, 16}));
    Rig r;
    QVERIFY(Show(r.window));
    r.window.SetPatternOpen(true);
    r.View().resize(900, 400);
    QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
    r.window.OpenFiles({path});
    r.Take(30 * kBlockFrames);
    r.window.Pause();
    const QImage scope0 = Scope(r.Canvas(), 0);
    for (int channel = 0; channel < 4; ++channel)
      QVERIFY2(WavePixels(r.Canvas(), channel) > 20, qPrintable(QString::number(channel)));
    QTest::mouseClick(&r.Canvas(), Qt::LeftButton, {}, r.Canvas().HeaderRect(2).center());
    QCOMPARE(r.View().Muted(), 1u << 2);
    for (const QSize size : {QSize(900, 400), QSize(1000, 500)}) {
      r.View().resize(size);
      QCoreApplication::processEvents();
      for (int channel = 0; channel < 4; ++channel)
        QVERIFY2((WavePixels(r.Canvas(), channel) > 20) == (channel != 2), qPrintable(QString::number(channel)));
      QVERIFY(Scope(r.Canvas(), 0) == scope0);
    }
  }

  // The view opened on a song started (or sought) while it was closed
  // shows no scopes of what was heard before: paused where all is silent,
  // every scope is flat, also where the ring's blocks have the numbers of
  // blocks whose scopes were kept before.
  void scopesOfWhatPlayedBeforeAreNotShown() {
    // Notes in the first pattern, key offs in the second (silence from
    // block 32 on).
    XmModule stops = Tune(4, {16, 16});
    for (std::uint16_t c = 0; c < 4; ++c) {
      stops.At(0, 0, c).volumeColumn = 0x50;
      stops.At(1, 0, c) = {97, 0, 0, 0, 0};
    }
    const QByteArray sounding = Write(dir_, "before-sounding.xm", stops);
    XmModule quiet = Tune(4, {16, 16});
    for (XmPattern& pattern : quiet.patterns) std::fill(pattern.cells.begin(), pattern.cells.end(), Cell{});
    const QByteArray silent = Write(dir_, "before-silent.xm", quiet);
    for (const bool seek : {false, true}) {
      Rig r;
      QVERIFY(Show(r.window));
      r.window.SetPatternOpen(true);
      QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
      r.window.OpenFiles({sounding});
      r.Take(3 * kBlockFrames);
      for (int channel = 0; channel < 4; ++channel) QVERIFY(WaveLines(r.Canvas(), channel) > 1);
      r.window.SetPatternOpen(false);
      if (seek)
        r.window.SeekTo(40 * kBlockFrames);  // into the silence
      else
        r.window.OpenFiles({silent});
      window_rig::Take(r.buffer, r.window, 5 * kBlockFrames + 10);
      r.window.Pause();
      r.window.SetPatternOpen(true);
      QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
      r.View().Follow();
      QVERIFY(r.View().ShownSong() != nullptr);
      for (int channel = 0; channel < 4; ++channel)
        QVERIFY2(WaveLines(r.Canvas(), channel) <= 1,
                 qPrintable(QString::asprintf("%s, channel %d", seek ? "sought" : "another song", channel)));
    }
  }

  // What a click on a header changes is shown on the screen at once, not
  // only when the view is next drawn whole: the header's "muted" above the
  // scope, playing or paused, muting and unmuting (the screen holds what a
  // render of the whole view gives).
  void muteIsShownAtOnce() {
    const QByteArray path = Write(dir_, "mute-shown.xm", Tune(4, {16, 16}));
    for (const bool paused : {false, true}) {
      Rig r;
      QVERIFY(Show(r.window));
      r.window.SetPatternOpen(true);
      QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
      r.window.OpenFiles({path});
      r.Take(30 * kBlockFrames);
      if (paused) r.window.Pause();
      for (const std::uint32_t muted : {1u << 2, 0u}) {
        QTest::mouseClick(&r.Canvas(), Qt::LeftButton, {}, r.Canvas().HeaderRect(2).center());
        QCOMPARE(r.View().Muted(), muted);
        // (The screen is brought up to date a few milliseconds after a
        // change; playing, the frame timer draws the scopes meanwhile.)
        const auto shown = [&] {
          const QImage screen = r.View().screen()->grabWindow(r.View().winId()).toImage();
          const QImage drawn = r.Canvas().grab().toImage();
          const QRect header = r.Canvas().HeaderRect(2);
          const qreal ratio = drawn.devicePixelRatio();
          const QRect pixels(qRound(header.x() * ratio), 0, qRound(header.width() * ratio),
                             qRound(header.height() * ratio) - 4);
          return screen.copy(pixels).convertToFormat(QImage::Format_RGB32) ==
                 drawn.copy(pixels).convertToFormat(QImage::Format_RGB32);
        };
        QTRY_VERIFY2(shown(), paused ? "paused" : "playing");
      }
    }
  }

  // The rows shown after the heard one are the rows the song plays next,
  // for order lists with patterns of no rows (played as one empty row),
  // patterns the file lacks (64 empty rows) and patterns of one row.
  void rowsAheadAreTheRowsPlayed_data() {
    QTest::addColumn<QVector<int>>("patternRows");
    QTest::addColumn<QVector<int>>("orders");
    QTest::addRow("pattern of no rows") << QVector<int>{4, 0} << QVector<int>{0, 1, 0, 1, 1, 0};
    QTest::addRow("missing pattern") << QVector<int>{3} << QVector<int>{0, 7, 0};
    QTest::addRow("patterns of one row") << QVector<int>{1, 2} << QVector<int>{0, 0, 1, 0, 1, 1};
  }
  void rowsAheadAreTheRowsPlayed() {
    QFETCH(QVector<int>, patternRows);
    QFETCH(QVector<int>, orders);
    XmModule m = OneInstrumentModule(LoopedSample(), 2);
    m.tempo = 3;  // a row lasts three blocks: each row played is seen
    m.patterns.clear();
    for (const int rows : patternRows) {
      m.patterns.push_back(XmPattern{});
      m.patterns.back().rows = static_cast<std::uint16_t>(rows);
    }
    m.orders.assign(orders.begin(), orders.end());
    m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
    const QByteArray path = Write(dir_, "ahead.xm", m);
    // The rows played through once, in order.
    std::vector<std::pair<int, int>> played;
    for (const auto& at : BlockRows(path, 3000)) {
      if (!played.empty() && at.first < played.back().first) break;
      if (played.empty() || at != played.back()) played.push_back(at);
    }
    QVERIFY(played.size() > 5);
    Song* song = LoadPath(path);
    QVERIFY(song != nullptr);
    PatternCanvas canvas(nullptr);
    canvas.resize(900, 600);
    canvas.SetSong(song);
    for (std::size_t i = 0; i + 1 < played.size(); ++i) {
      canvas.ShowPosition(played[i].first, played[i].second);
      const QString next = QString::asprintf(" %02X  %02X  %02X", played[i + 1].first, orders[played[i + 1].first],
                                             played[i + 1].second);
      QCOMPARE(canvas.RowText(1).left(11), next);
      const QString previous = i > 0 ? QString::asprintf(" %02X  %02X  %02X", played[i - 1].first,
                                                         orders[played[i - 1].first], played[i - 1].second)
                                     : QString();
      QCOMPARE(canvas.RowText(-1).left(11), previous);
    }
    canvas.SetSong(nullptr);
    DestroySong(song);
  }

  // Closed, nothing of the view runs: no timer, no scopes kept, every
  // channel heard again. Open or not is remembered, and where it was.
  void closedViewRunsNothingAndIsRemembered() {
    const QString settings = dir_.filePath(QStringLiteral("zevora.conf"));
    const QByteArray path = Write(dir_, "closed.xm", Tune(2, {16}));
    {
      Rig r(settings);
      QVERIFY(Show(r.window));
      r.window.OpenFiles({path});
      QVERIFY(!r.window.PatternOpen());
      QVERIFY(!r.View().isVisible() && !r.View().FrameTimer().isActive() && !r.View().Watching());
      QTest::keyClick(&r.window, Qt::Key_V);
      QVERIFY(r.window.PatternOpen() && r.View().isVisible());
      QVERIFY(r.window.SeekRowWidget()->PatternButton()->isChecked());
      QVERIFY(r.View().FrameTimer().isActive() && r.View().Watching());
      r.Take(30 * kBlockFrames);
      QVERIFY(r.Canvas().ScopeFrames() > 0);
      r.View().ToggleMute(1);
      QCOMPARE(r.View().Muted(), 2u);
      r.View().setGeometry(QRect(40, 50, 700, 420));
      r.View().close();  // by the user
      QVERIFY(!r.window.PatternOpen() && !r.window.SeekRowWidget()->PatternButton()->isChecked());
      QVERIFY(!r.View().FrameTimer().isActive() && !r.View().Watching());
      QCOMPARE(r.View().Muted(), 0u);
      QVERIFY(r.View().ShownSong() == nullptr);
      const std::uint64_t frames = r.Canvas().ScopeFrames();
      r.Take(20 * kBlockFrames);
      QCOMPARE(r.Canvas().ScopeFrames(), frames);
      r.window.SeekRowWidget()->PatternButton()->click();
      QVERIFY(r.window.PatternOpen() && r.View().isVisible());
      QCOMPARE(QSettings(settings, QSettings::IniFormat).value("patternOpen").toBool(), true);
      r.window.close();  // the view goes with the window, and opens again
      r.View().close();  // as it is then closed once more under Wayland
    }
    Rig again(settings);
    QVERIFY(again.window.PatternOpen());
    QVERIFY(Show(again.window));
    QVERIFY(again.View().isVisible());
    QCOMPARE(again.View().size(), QSize(700, 420));
    again.window.SetPatternOpen(false);
    Rig closed(settings);
    QVERIFY(Show(closed.window));
    QVERIFY(!closed.window.PatternOpen() && !closed.View().isVisible());
  }

  // A place remembered on a screen that is no longer there (a second
  // monitor unplugged): the view opens on the window's screen, with its
  // size; a place on the screen is kept. A size past the screens is made
  // theirs.
  void viewRememberedOffTheScreensOpensOnOne() {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const struct {
      const char* what;
      QRect remembered;
      bool kept;
      QSize size;  // shown; empty: the remembered
    } cases[] = {
        {"on the screen", QRect(area.left() + 20, area.top() + 30, 400, 300), true, {}},
        {"right of it", QRect(area.right() + 200, area.top() + 30, 400, 300), false, {}},
        {"far off", QRect(60000, 60000, 700, 420), false, {}},
        {"above and left", QRect(area.left() - 3000, area.top() - 2000, 500, 300), false, {}},
        {"a corner of it showing", QRect(area.right() - 10, area.bottom() - 10, 500, 300), false, {}},
        {"larger than the screens", QRect(area.left(), area.top(), 32768, 32768), false, area.size()},
        {"wider than the screens", QRect(area.left(), area.top() + 10, 20000, 300), false, QSize(area.width(), 300)},
    };
    for (const auto& c : cases) {
      QTemporaryDir config;
      const QString file = config.filePath(QStringLiteral("zevora.conf"));
      {
        QSettings written(file, QSettings::IniFormat);
        written.setValue("patternOpen", true);
        written.setValue("patternGeometry", c.remembered);
      }
      Rig r(file);
      QVERIFY2(Show(r.window), c.what);
      QVERIFY2(r.View().isVisible(), c.what);
      const QRect shown = r.View().geometry();
      QVERIFY2(shown.size() == (c.size.isEmpty() ? c.remembered.size() : c.size), c.what);
      if (c.kept) {
        QVERIFY2(shown == c.remembered, c.what);
      } else {
        QVERIFY2(area.contains(shown.topLeft()), qPrintable(QString::fromLatin1(c.what) + QStringLiteral(": %1,%2")
                                                                                       .arg(shown.x())
                                                                                       .arg(shown.y())));
      }
    }
  }

  // Where the desktop neither tells nor takes a window's place (Wayland,
  // where the view reads as being at 0,0), the size is remembered and the
  // place stays the one last remembered where there were places; without
  // one, a later start where there are opens the view below the window,
  // with that size, not at the screen's corner.
  void onlyTheSizeIsRememberedWithoutPlaces() {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    for (const QRect& remembered : {QRect(), QRect(area.left() + 20, area.top() + 30, 400, 300)}) {
      QTemporaryDir config;
      const QString file = config.filePath(QStringLiteral("zevora.conf"));
      if (!remembered.isNull()) QSettings(file, QSettings::IniFormat).setValue("patternGeometry", remembered);
      {
        Rig wayland(file, false);
        QVERIFY(Show(wayland.window));
        wayland.window.SetPatternOpen(true);
        wayland.View().setGeometry(QRect(0, 0, 700, 420));
        wayland.window.close();
      }
      Rig x11(file, true);
      QVERIFY(Show(x11.window));
      QVERIFY(x11.View().isVisible());
      const QRect shown = x11.View().geometry();
      QCOMPARE(shown.size(), QSize(700, 420));
      if (!remembered.isNull()) {
        QCOMPARE(shown.topLeft(), remembered.topLeft());
      } else {
        Rig first;  // where a view of that size opens the first time
        QVERIFY(Show(first.window));
        first.View().resize(700, 420);
        first.window.SetPatternOpen(true);
        QCOMPARE(shown.topLeft(), first.View().geometry().topLeft());
      }
    }
  }

  // 1 and 32 channels, patterns of 1 and 256 rows, in a small and a large
  // view: the rows follow, every channel can be scrolled to, and a click on
  // the last one's header mutes it.
  void sizes_data() {
    QTest::addColumn<int>("channels");
    QTest::addColumn<int>("rows");
    QTest::addRow("1 channel, 1 row") << 1 << 1;
    QTest::addRow("1 channel, 256 rows") << 1 << 256;
    QTest::addRow("32 channels, 1 row") << 32 << 1;
    QTest::addRow("32 channels, 256 rows") << 32 << 256;
  }
  void sizes() {
    QFETCH(int, channels);
    QFETCH(int, rows);
    const QByteArray path = Write(dir_, "size.xm",
                                  Tune(static_cast<std::uint16_t>(channels),
                                       {static_cast<std::uint16_t>(rows), static_cast<std::uint16_t>(rows)}, 1));
    const std::vector<std::pair<int, int>> expected = BlockRows(path, 100);
    Rig r;
    QVERIFY(Show(r.window));
    r.window.SetPatternOpen(true);
    QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
    r.window.OpenFiles({path});
    // The channels that do not fit scroll sideways from the start.
    r.Take(kBlockFrames);
    QCOMPARE(r.View().ChannelScroll()->isVisible(), channels > r.Canvas().FullyVisibleChannels());
    r.taken = 0;
    r.window.SeekTo(0);
    for (const QSize size : {QSize(320, 200), QSize(2400, 1400), QSize(900, 500)}) {
      r.View().resize(size);
      QCoreApplication::processEvents();
      r.Take(20 * kBlockFrames);
      QCOMPARE(std::make_pair(r.Canvas().HeardOrder(), r.Canvas().HeardRow()), expected[r.taken / kBlockFrames]);
      QCOMPARE(r.Canvas().RowText(0).size(), 11 + 14 * channels);
      QVERIFY(!r.Canvas().grab().isNull());
    }
    QScrollBar& scroll = *r.View().ChannelScroll();
    const int whole = r.Canvas().FullyVisibleChannels();
    QCOMPARE(scroll.isVisible(), channels > whole);
    if (scroll.isVisible()) {
      // The wheel: a notch a channel, a touchpad's small steps adding up.
      const auto wheel = [&](int delta) {
        const QPointF at = r.Canvas().rect().center();
        QWheelEvent event(at, r.Canvas().mapToGlobal(at), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(&r.Canvas(), &event);
      };
      wheel(-120);
      QCOMPARE(scroll.value(), 1);
      for (int i = 0; i < 8; ++i) wheel(-30);
      QCOMPARE(scroll.value(), 3);
      for (int i = 0; i < 3; ++i) wheel(40);
      QCOMPARE(scroll.value(), 2);
      QCOMPARE(r.Canvas().FirstChannel(), 2);
    }
    scroll.setValue(scroll.maximum());
    QVERIFY(r.Canvas().FirstChannel() + r.Canvas().FullyVisibleChannels() >= channels);
    const QRect last = r.Canvas().HeaderRect(channels - 1);
    QVERIFY(!last.isEmpty());
    QTest::mouseClick(&r.Canvas(), Qt::LeftButton, {}, last.center());
    QCOMPARE(r.View().Muted(), 1u << (channels - 1));
    QVERIFY(r.Canvas().HeaderRect(channels).isEmpty());
  }

  // A frame's drawing (the rows moving on, a new pattern, the scopes and
  // level bars of 32 channels) allocates nothing.
  void framesAllocateNothing() {
    const QByteArray path = Write(dir_, "frames.xm", Tune(32, {64, 64}));
    Song* song = LoadPath(path);
    QVERIFY(song != nullptr);
    {
      PatternCanvas canvas(nullptr);
      canvas.resize(4000, 900);  // every channel
      canvas.SetSong(song);
      QCOMPARE(canvas.VisibleChannels(), 32);
      ChannelScopes scopes{};
      canvas.ShowPosition(0, 0);
      canvas.ShowScopes(&scopes);
      const std::uint64_t frames = canvas.ScopeFrames();
      tCountAllocations = true;
      for (int i = 1; i <= 300; ++i) {
        canvas.ShowPosition(i / 64 % 2, i % 64);
        for (int c = 0; c < kMaxChannels; ++c) {
          for (int p = 0; p < kScopePoints; ++p)
            scopes.points[c][p] = static_cast<std::int8_t>((p * (c + i)) % 255 - 127);
          scopes.peaks[c] = static_cast<std::uint16_t>((c * 1000 + i * 77) % 32768);
        }
        canvas.ShowScopes(&scopes);
        canvas.ShowScopes(nullptr);
      }
      tCountAllocations = false;
      QCOMPARE(gAllocations.load(), 0);
      QCOMPARE(canvas.ScopeFrames(), frames + 600);
      QCOMPARE(canvas.HeardRow(), 300 % 64);
      canvas.SetSong(nullptr);
    }
    DestroySong(song);
  }

  // Through SDL's disk driver, a device that takes the sound as a sound
  // card does: each time the view follows, the row it shows is that of a
  // block heard from just before to just after (the device's count of
  // played frames, against a render of its own).
  void diskDriverRowsFollowTheHeardBlock() {
    const QByteArray path = Write(dir_, "disk.xm", Tune(2, {64, 64, 64}));
    const std::vector<std::pair<int, int>> rows = BlockRows(path, 384);
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", QFile::encodeName(dir_.filePath(QStringLiteral("capture.raw"))));
    AudioService audio;
    QCOMPARE(SetUpAudio({}, audio), 0);
    {
      MainWindow window(*audio.buffer, !audio.legacy);
      window.show();
      window.SetPatternOpen(true);
      window.OpenFiles({path});
      PatternView& view = *window.Patterns();
      PatternCanvas& canvas = *view.Canvas();
      int checked = 0, changes = 0;
      std::pair<int, int> last{-1, -1};
      QElapsedTimer clock;
      clock.start();
      while (clock.elapsed() < 2500) {
        HeardFrame before{}, after{};
        if (!PlayerHeard(DefaultPlayer(), before)) {
          QTest::qWait(5);
          continue;
        }
        view.Follow();
        QVERIFY(PlayerHeard(DefaultPlayer(), after));
        const std::pair<int, int> shown{canvas.HeardOrder(), canvas.HeardRow()};
        bool heard = false;
        for (std::uint64_t b = before.songFrame / kBlockFrames; b <= after.songFrame / kBlockFrames; ++b)
          heard = heard || (b < rows.size() && rows[b] == shown);
        QVERIFY2(heard, qPrintable(QString::asprintf("order %d row %d shown at frames %llu..%llu", shown.first,
                                                     shown.second, static_cast<unsigned long long>(before.songFrame),
                                                     static_cast<unsigned long long>(after.songFrame))));
        changes += shown != last;
        last = shown;
        ++checked;
        QTest::qWait(7);
      }
      QVERIFY(checked > 50 / kSlower);
      QVERIFY(changes > 20 / kSlower);  // a row every 40 ms
      window.close();
    }
    audio.buffer.reset();
    qunsetenv("SDL_AUDIODRIVER");
    qunsetenv("SDL_DISKAUDIOFILE");
  }

  // With ZEVORA_PATTERN_SCREENSHOT set, saves the view playing a corpus
  // module 12 s in, one channel muted (the picture in the README).
  void screenshot() {
    const QByteArray path = qgetenv("ZEVORA_PATTERN_SCREENSHOT");
    if (path.isEmpty()) QSKIP("ZEVORA_PATTERN_SCREENSHOT not set");
    Rig r;
    QVERIFY(Show(r.window));
    r.window.SetPatternOpen(true);
    r.View().resize(1000, 560);
    QVERIFY(QTest::qWaitForWindowExposed(&r.View()));
    r.window.OpenFiles({QByteArray(ZEVORA_CORPUS_DIR "/vor--mph.xm")});
    r.Take(12 * 44100);
    r.View().ToggleMute(5);
    r.Take(40 * kBlockFrames);
    QTest::qWait(100);
    QVERIFY(r.View().grab().save(QString::fromLocal8Bit(path)));
  }
};

QTEST_MAIN(WindowPatternTest)
#include "window_pattern_test.moc"
