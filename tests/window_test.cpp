// The player window under the offscreen platform, against sound buffers
// that need no sound card.
#include <unistd.h>

#include <QAccessible>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QMimeData>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "audio_setup.h"
#include "effects_panel.h"
#include "fake_audio_device.h"
#include "icons.h"
#include "main_window.h"
#include "memory_sound_buffer.h"
#include "player.h"
#include "playlist.h"
#include "playlist_view.h"
#include "seek_row.h"
#include "stream_thread.h"

namespace {

QString Corpus(const char* name) { return QStringLiteral(ZEVORA_CORPUS_DIR "/") + QString::fromLatin1(name); }

// Installs effects but offers no parameter interface for them.
class NoInterfaceBuffer : public MemorySoundBuffer {
 public:
  HRESULT SetFX(std::uint32_t, const DSEFFECTDESC*, std::uint32_t*) override { return S_OK; }
};

struct Harness {
  explicit Harness(SoundBuffer& buffer, bool effects = true)
      : window(buffer, effects,
               WindowHooks{[this](QWidget*) { return nextFile; },
                           [this](QWidget*, const QString& text) { errors << text; },
                           {},
                           {},
                           0,
                           {}}) {}
  QString nextFile;
  QStringList errors;
  MainWindow window;
};

// A drag that enters the window, moves and drops.
void Drop(QWidget& window, const QMimeData& mime) {
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &enter);
  QDragMoveEvent move(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &move);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&window, &drop);
}

int TextWidth() { return QFontMetrics(MainWindow::FixedFont()).size(Qt::TextSingleLine, "00:00:00").width(); }

// The seek row sits below the original window.
constexpr int kBelow = SeekRow::kHeight;

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { PlayerStop(); }

  void fixedFontHasEqualWidths() {
    const QFontMetrics metrics(MainWindow::FixedFont());
    QCOMPARE(metrics.horizontalAdvance('i'), metrics.horizontalAdvance('W'));
    QCOMPARE(metrics.horizontalAdvance('0'), metrics.horizontalAdvance(':'));
    QVERIFY(QFontInfo(MainWindow::FixedFont()).fixedPitch());
  }

  void timeDisplay() {
    QCOMPARE(MainWindow::FormatTime(0), QString("00:00:01"));
    QCOMPARE(MainWindow::FormatTime(999), QString("00:00:01"));
    QCOMPARE(MainWindow::FormatTime(1000), QString("00:00:02"));
    QCOMPARE(MainWindow::FormatTime(3600000), QString("01:00:01"));
    QCOMPARE(MainWindow::FormatTime(86400000), QString("00:00:01"));
    QCOMPARE(MainWindow::FormatTime(59 * 60000 + 58000), QString("00:59:59"));
  }

  void windowSizes() {
    MemorySoundBuffer buffer;
    Harness withPanel(buffer, true);
    QCOMPARE(withPanel.window.objectName(), QString("clsZevora"));
    QCOMPARE(withPanel.window.windowTitle(), QString("Zevora"));
    QCOMPARE(withPanel.window.size(), QSize(TextWidth() + 206, 60 + kBelow));
    QCOMPARE(withPanel.window.minimumSize(), withPanel.window.maximumSize());
    QVERIFY(!(withPanel.window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(withPanel.window.acceptDrops());
    Harness legacy(buffer, false);
    QCOMPARE(legacy.window.size(), QSize(TextWidth() + 206, 30 + kBelow));
    QVERIFY(legacy.window.Effects() == nullptr);
    QVERIFY(legacy.window.findChild<QRadioButton*>("effectOff") == nullptr);
  }

  void stoppedPlayingAndPaused() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    MainWindow& w = h.window;
    QCOMPARE(w.ButtonCommand(), int(kCommandLoad));
    QCOMPARE(w.ButtonImage(0), 0);
    QCOMPARE(w.Button(0)->toolTip(), QString("Load (Ctrl+O)"));
    QCOMPARE(w.Button(1)->toolTip(), QString("Pause (Space)"));
    QCOMPARE(w.Button(2)->toolTip(), QString("Muting (M)"));
    QVERIFY(!w.Button(1)->isEnabled());
    QVERIFY(!w.VolumeSlider()->isEnabled());

    h.nextFile = Corpus("vor--mph.xm");
    QTest::mouseClick(w.Button(0), Qt::LeftButton);
    QCOMPARE(w.ButtonCommand(), int(kCommandStop));
    QCOMPARE(w.ButtonImage(0), 1);
    QCOMPARE(w.Button(0)->toolTip(), QString("Stop"));
    QVERIFY(w.Button(1)->isEnabled() && w.Button(2)->isEnabled() && w.VolumeSlider()->isEnabled());
    QVERIFY(w.DisplayTimer().isActive());
    QCOMPARE(w.windowTitle(), QString("Playing VoR Theme"));
    QVERIFY(buffer.Playing());

    // The time display counts frames heard.
    buffer.AdvancePlayCursor(4 * 44100 * 3 / 2);
    w.OnDisplayTimer();
    QCOMPARE(w.TimeDisplay()->text(), QString("00:00:02"));

    QTest::mouseClick(w.Button(1), Qt::LeftButton);  // pause
    QVERIFY(w.Paused());
    QVERIFY(w.Button(1)->isChecked());
    QVERIFY(!buffer.Playing());
    QTest::mouseClick(w.Button(0), Qt::LeftButton);  // stop while paused
    QVERIFY(!w.Paused());
    QVERIFY(!w.Button(1)->isChecked());
    QVERIFY(!w.Button(1)->isEnabled());
    QCOMPARE(w.ButtonCommand(), int(kCommandLoad));
    QCOMPARE(w.TimeDisplay()->text(), QString("00:00:00"));
    QCOMPARE(w.windowTitle(), QString("Zevora"));
    QVERIFY(!w.DisplayTimer().isActive());
    QCOMPARE(buffer.PlayCursor(), 0u);

    h.nextFile.clear();  // a cancelled dialog changes nothing
    w.Command(kCommandLoad);
    QCOMPARE(w.ButtonCommand(), int(kCommandLoad));
    QVERIFY(h.errors.isEmpty());
  }

  void failedStart() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    h.nextFile = QStringLiteral(ZEVORA_CORPUS_DIR "/SOURCES.md");
    h.window.Command(kCommandLoad);
    QCOMPARE(h.errors, QStringList{"Unable to start playback"});
    QCOMPARE(h.window.ButtonCommand(), int(kCommandLoad));
    QCOMPARE(h.window.windowTitle(), QString("Zevora"));
  }

  void volumeAndMute() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    MainWindow& w = h.window;
    h.nextFile = Corpus("vor--mph.xm");
    w.Command(kCommandLoad);
    QTest::mouseClick(w.Button(2), Qt::LeftButton);  // mute
    QCOMPARE(buffer.Volume(), -10000);
    QCOMPARE(w.ButtonImage(2), 4);
    w.VolumeSlider()->setValue(50000);  // moving the slider unmutes
    QVERIFY(!w.Button(2)->isChecked());
    QCOMPARE(w.ButtonImage(2), 3);
    QCOMPARE(w.windowTitle(), QString("VOL: 50%"));
    QCOMPARE(buffer.Volume(), static_cast<int>(std::log10(50000.0) * 2000.0 - 10000.0));
    QVERIFY(w.TitleTimer().isActive());
    w.OnTitleTimer();
    QCOMPARE(w.windowTitle(), QString("Playing VoR Theme"));
    QVERIFY(!w.TitleTimer().isActive());
    const struct {
      int position, volume;
      const char* title;
    } cases[] = {{1, -10000, "VOL: 0%"}, {100000, 0, "VOL: 100%"}, {10000, -2000, "VOL: 10%"}};
    for (const auto& c : cases) {
      w.VolumeSlider()->setValue(c.position);
      QCOMPARE(buffer.Volume(), c.volume);
      QCOMPARE(w.windowTitle(), QString(c.title));
    }
    // Mute survives stop and restart.
    QTest::mouseClick(w.Button(2), Qt::LeftButton);
    w.Command(kCommandStop);
    QVERIFY(w.Button(2)->isChecked());
    w.Command(kCommandLoad);
    QVERIFY(w.Button(2)->isChecked());
    QCOMPARE(buffer.Volume(), -10000);
  }

  // What a screen reader reads for each control, most of them showing only
  // an image: the window playing with the equalizer chosen.
  void controlsHaveNames_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    const struct {
      const char *control, *name;
    } rows[] = {{"loadStopButton", "Stop"},  {"pauseButton", "Pause"},          {"muteButton", "Muting"},
                {"volumeSlider", "Volume"},  {"effectSlider", "Equalizer gain"}, {"seekSlider", "Position"},
                {"endModeButton", "Repeat song"}, {"infoButton", "Module info"}, {"patternButton", "Pattern view"},
                {"listButton", "List"}};
    for (const auto& row : rows) QTest::newRow(row.control) << QString(row.control) << QString(row.name);
  }
  void controlsHaveNames() {
    QFETCH(QString, control);
    QFETCH(QString, name);
    FakeAudioDevice::Control device;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(device), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    h.nextFile = Corpus("vor--mph.xm");
    h.window.Command(kCommandLoad);
    h.window.Command(kEffectEqualizerId);
    auto* widget = h.window.findChild<QWidget*>(control);
    QVERIFY(widget != nullptr);
    QAccessibleInterface* spoken = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(spoken != nullptr);
    QCOMPARE(spoken->text(QAccessible::Name), name);
    // The load button's name follows its command.
    h.window.Command(kCommandStop);
    if (control == "loadStopButton") QCOMPARE(spoken->text(QAccessible::Name), QString("Load"));
  }

  // Keyboard only: Tab goes through the effect choices, the effect's slider
  // and the list. A choice reached so takes Space, the slider the arrows;
  // the window opens with the keys its own, the list open or not.
  void effectsAndListByKeyboard() {
    {
      MemorySoundBuffer buffer;
      Harness legacy(buffer, false);
      legacy.nextFile = Corpus("vor--mph.xm");
      legacy.window.Command(kCommandLoad);
      legacy.window.SetListOpen(true);
      legacy.window.show();
      QVERIFY(QTest::qWaitForWindowActive(&legacy.window));
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
      QCOMPARE(legacy.window.Volume(), 95000);
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      QCOMPARE(QApplication::focusWidget(), legacy.window.ListView());
    }
    FakeAudioDevice::Control device;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(device), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    EffectsPanel& panel = *h.window.Effects();
    h.nextFile = Corpus("vor--mph.xm");
    h.window.Command(kCommandLoad);
    h.window.SetListOpen(true);
    h.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&h.window));
    const auto press = [](Qt::Key key) { QTest::keyClick(QApplication::focusWidget(), key); };
    press(Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), panel.Choice(kEffectOffId));
    panel.Choice(kEffectGargleId)->setFocus(Qt::MouseFocusReason);  // as a click gives it
    press(Qt::Key_Space);
    QVERIFY(h.window.Paused());
    press(Qt::Key_Space);
    QVERIFY(!h.window.Paused());
    QCOMPARE(panel.Chosen(), int(kEffectOffId));
    press(Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), panel.Choice(kEffectEqualizerId));
    press(Qt::Key_Space);
    QCOMPARE(panel.Chosen(), int(kEffectEqualizerId));
    QVERIFY(!h.window.Paused());
    press(Qt::Key_Tab);
    press(Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), panel.Slider());
    const int volume = h.window.Volume();
    press(Qt::Key_Right);
    press(Qt::Key_Up);
    QCOMPARE(panel.Slider()->value(), 17);
    QCOMPARE(h.window.Volume(), volume);
    press(Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), h.window.ListView());
    press(Qt::Key_Space);
    QVERIFY(h.window.Paused());
  }

  // The icons' dark marks show on a dark desktop too: "Repeat song" keeps
  // its "1", and a light desktop gets the colours the icons always had.
  void iconsOnADarkDesktop() {
    const QPalette light = QGuiApplication::palette();
    const auto one = [] { return IconPixmap(Icon::kRepeatSong).toImage().pixelColor(7, 6); };
    QCOMPARE(one(), QColor(32, 32, 40));
    QPalette dark = light;
    dark.setColor(QPalette::Window, QColor(30, 31, 34));
    dark.setColor(QPalette::WindowText, QColor(230, 230, 230));
    QApplication::setPalette(dark);
    const QColor shown = one();
    QApplication::setPalette(light);
    QCOMPARE(shown, QColor(230, 230, 230));
  }

  // A large desktop font: the effect choices show their whole text, side
  // by side in the window (which grows to hold them).
  void effectChoicesFitALargeFont() {
    const QFont usual = QApplication::font();
    QFont large = usual;
    large.setPointSize(20);
    QApplication::setFont(large);
    MemorySoundBuffer buffer;
    Harness h(buffer);
    QApplication::setFont(usual);
    int right = 0;
    for (const int id : {kEffectOffId, kEffectEqualizerId, kEffectGargleId}) {
      const QRadioButton* choice = h.window.Effects()->Choice(id);
      QVERIFY2(choice->width() >= choice->sizeHint().width(), qPrintable(choice->text()));
      QVERIFY2(choice->height() >= std::min(choice->sizeHint().height(), 28), qPrintable(choice->text()));
      QVERIFY(choice->x() >= right);
      right = choice->geometry().right();
    }
    QVERIFY(right < h.window.width());
    QCOMPARE(h.window.SeekRowWidget()->width(), h.window.width());
  }

  void dropWhilePlaying() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    h.nextFile = Corpus("vor--mph.xm");
    h.window.Command(kCommandLoad);
    h.window.show();
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(Corpus("vodovod--walk.xm"))});
    Drop(h.window, mime);
    QCOMPARE(h.window.FileTitle(), QString("vodovod--walk.xm"));
    QCOMPARE(h.window.windowTitle(), QString("Playing vodovod--walk.xm"));
    QCOMPARE(h.window.ButtonCommand(), int(kCommandStop));
    // A dropped file that will not play leaves the window stopped.
    mime.setUrls({QUrl::fromLocalFile(QStringLiteral(ZEVORA_CORPUS_DIR "/SOURCES.md"))});
    Drop(h.window, mime);
    QCOMPARE(h.errors.size(), 1);
    QCOMPARE(h.window.ButtonCommand(), int(kCommandLoad));
  }

  void longPathsPlayWhole() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    const QTemporaryDir top;
    QVERIFY(top.isValid());
    const QString dir = top.path() + "/" + QString(200, 'd') + "/" + QString(200, 'e');
    QVERIFY(QDir().mkpath(dir));
    const QString file = dir + "/" + QString(120, 'n') + ".xm";
    QVERIFY(QFile::copy(Corpus("vodovod--walk.xm"), file));  // a module without a title
    h.window.OpenDropped(file);
    QCOMPARE(h.window.windowTitle(), "Playing " + QString(120, 'n') + ".xm");
    QVERIFY(h.errors.isEmpty());
  }

  void effectsWithParameters() {
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    EffectsPanel& panel = *h.window.Effects();
    const int width = TextWidth() + 206;
    // The parameter row shows only with an effect that has one: below the
    // window's edge it would show through the seek row.
    const auto rowHidden = [&panel] {
      return panel.Slider()->isHidden() && panel.LeftLabel()->isHidden() && panel.RightLabel()->isHidden();
    };
    QVERIFY(rowHidden());
    QTest::mouseClick(panel.Choice(kEffectEqualizerId), Qt::LeftButton);
    QVERIFY(!panel.Slider()->isHidden() && !panel.LeftLabel()->isHidden() && !panel.RightLabel()->isHidden());
    QVERIFY(panel.Choice(kEffectEqualizerId)->isChecked());
    QVERIFY(!panel.Choice(kEffectOffId)->isChecked());
    QCOMPARE(h.window.size(), QSize(width, 88 + kBelow));
    QCOMPARE(panel.Slider()->minimum(), 0);
    QCOMPARE(panel.Slider()->maximum(), 30);
    QCOMPARE(panel.Slider()->value(), 15);
    QCOMPARE(panel.Slider()->pageStep(), 5);
    QCOMPARE(panel.LeftLabel()->text(), QString("-15dB"));
    QCOMPARE(panel.RightLabel()->text(), QString("+15dB"));
    void* object = nullptr;
    QVERIFY(buffer.GetObjectInPath(GUID_DSFX_STANDARD_PARAMEQ, 0, IID_IDirectSoundFXParamEq, &object) >= 0);
    DSFXParamEq eq{};
    static_cast<IDirectSoundFXParamEq*>(object)->GetAllParameters(&eq);
    QCOMPARE(eq.fGain, 0.0f);  // the position set on choosing is not applied
    panel.Slider()->setValue(0);
    static_cast<IDirectSoundFXParamEq*>(object)->GetAllParameters(&eq);
    QCOMPARE(eq.fGain, -15.0f);
    QCOMPARE(eq.fCenter, 80.0f);
    QCOMPARE(eq.fBandwidth, 12.0f);
    panel.Slider()->setValue(30);
    static_cast<IDirectSoundFXParamEq*>(object)->GetAllParameters(&eq);
    QCOMPARE(eq.fGain, 15.0f);

    h.window.Command(kEffectGargleId);
    QVERIFY(panel.Choice(kEffectGargleId)->isChecked());
    QVERIFY(!panel.Choice(kEffectEqualizerId)->isChecked());
    QCOMPARE(panel.Slider()->maximum(), 1000);
    QCOMPARE(panel.Slider()->value(), 20);
    QCOMPARE(panel.LeftLabel()->text(), QString("1Hz"));
    QCOMPARE(panel.RightLabel()->text(), QString("1KHz"));
    panel.Slider()->setValue(1000);
    QVERIFY(buffer.GetObjectInPath(GUID_DSFX_STANDARD_GARGLE, 0, IID_IDirectSoundFXGargle, &object) >= 0);
    DSFXGargle gargle{};
    static_cast<IDirectSoundFXGargle*>(object)->GetAllParameters(&gargle);
    QCOMPARE(gargle.dwRateHz, 1000u);
    QCOMPARE(gargle.dwWaveShape, 0u);

    h.window.Command(kEffectOffId);
    QVERIFY(panel.Choice(kEffectOffId)->isChecked());
    QCOMPARE(h.window.size(), QSize(width, 60 + kBelow));
    QVERIFY(rowHidden());
    QVERIFY(buffer.GetObjectInPath(GUID_DSFX_STANDARD_GARGLE, 0, IID_IDirectSoundFXGargle, &object) < 0);
  }

  void effectChosenWhilePlayingStopsAndRestartsTheBuffer() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    buffer.ClearCalls();
    h.window.Command(kEffectGargleId);
    const auto calls = buffer.Calls();
    QVERIFY(calls.size() >= 3);
    QCOMPARE(QString::fromStdString(calls.front()), QString("Stop"));
    QCOMPARE(QString::fromStdString(calls.back()), QString("Play 1"));
  }

  void effectThatCannotBeInstalled() {
    MemorySoundBuffer buffer;  // refuses every effect
    Harness h(buffer);
    h.window.Command(kEffectEqualizerId);
    QVERIFY(h.window.Effects()->Choice(kEffectOffId)->isChecked());
    QVERIFY(!h.window.Effects()->Choice(kEffectEqualizerId)->isChecked());
    QCOMPARE(h.window.height(), 60 + kBelow);
  }

  void effectWithoutParameterInterface() {
    NoInterfaceBuffer buffer;
    Harness h(buffer);
    h.window.Command(kEffectEqualizerId);
    QVERIFY(h.window.Effects()->Choice(kEffectEqualizerId)->isChecked());
    QVERIFY(!h.window.Effects()->HasParameterInterface());
    QCOMPARE(h.window.height(), 60 + kBelow);
  }

  void lostBufferIsRestoredOnTheTick() {
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    h.window.Command(kCommandPause);
    control.lost = true;
    h.window.OnDisplayTimer();
    std::uint32_t status = 0;
    buffer.GetStatus(&status);
    QCOMPARE(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);  // restored and playing, even while paused
    QCOMPARE(control.opens.load(), 2);
  }

  void failedLoadLeavesNoTitle() {
    // A failed load must not look like something plays: an effect chosen
    // afterwards starts no buffer, and the title timer names nothing.
    MemorySoundBuffer buffer;
    Harness h(buffer);
    h.nextFile = QStringLiteral(ZEVORA_CORPUS_DIR "/SOURCES.md");
    h.window.Command(kCommandLoad);
    QVERIFY(h.window.FileTitle().isEmpty());
    buffer.ClearCalls();
    h.window.Command(kEffectGargleId);
    for (const std::string& call : buffer.Calls()) QVERIFY2(call.rfind("Play", 0) != 0, call.c_str());
    h.window.OnTitleTimer();
    QCOMPARE(h.window.windowTitle(), QString("Zevora"));
    QVERIFY(!buffer.Playing());
  }

  void effectChosenWhilePausedStaysPaused() {
    MemorySoundBuffer buffer;
    Harness h(buffer);
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    h.window.Command(kCommandPause);
    QVERIFY(!buffer.Playing());
    h.window.Command(kEffectEqualizerId);
    h.window.Command(kEffectOffId);
    QVERIFY(!buffer.Playing());
    QVERIFY(h.window.Paused());
    h.window.Command(kCommandPause);
    QVERIFY(buffer.Playing());
  }

  void deviceLostWhileStoppedIsRestoredForTheNextLoad() {
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    control.lost = true;  // while nothing plays: no display timer runs
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    QVERIFY(h.errors.isEmpty());
    QCOMPARE(h.window.FileTitle(), QString("VoR Theme"));
    QCOMPARE(control.opens.load(), 2);
    std::uint32_t status = 0;
    buffer.GetStatus(&status);
    QCOMPARE(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  }

  void deviceGoneForGoodLeavesNothingRunningAndNothingWaits() {
    // The device stops mid-play, far behind the cursor, and never opens
    // again: stop, a new load, and closing each return at once (well within
    // the bound below, which a busy machine cannot reach), and no streaming
    // thread is left behind a failed start.
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    std::vector<std::int16_t> scratch(2 * 884 * 60);
    control.pull(scratch.data(), 884 * 60);  // the cursor 60 blocks on
    control.lost = true;
    control.refuseOpen = true;
    h.window.OnDisplayTimer();  // the window sees the loss; locks fail from now on
    using Clock = std::chrono::steady_clock;
    const auto atOnce = std::chrono::seconds(2);
    auto start = Clock::now();
    h.window.Command(kCommandStop);
    QVERIFY(Clock::now() - start < atOnce);
    start = Clock::now();
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    QVERIFY(Clock::now() - start < atOnce);
    QCOMPARE(h.errors, (QStringList{"The sound device is gone", "Unable to start playback"}));
    QVERIFY(h.window.FileTitle().isEmpty());
    QCOMPARE(DefaultPlayer().threadRunning.load(), 0);
    start = Clock::now();
    h.window.close();
    QVERIFY(Clock::now() - start < atOnce);
  }

  // A device that stops taking frames without a word (a sound server that
  // died under SDL's native PipeWire driver): the window says so once and
  // stops; once a server is there again, the next start opens a new device.
  void silentDeviceGivesOneMessageAndANewDeviceAtTheNextStart() {
    FakeAudioDevice::Control control;
    std::chrono::steady_clock::time_point now{};
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true, [&] { return now; });
    QVERIFY(buffer.Start());
    Harness h(buffer);
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    QVERIFY(h.window.DisplayTimer().isActive());
    control.refuseOpen = true;
    int ticks = 0;
    for (; ticks < 10 && h.window.DisplayTimer().isActive(); ++ticks) {
      now += std::chrono::seconds(1);
      h.window.OnDisplayTimer();
    }
    QCOMPARE(ticks, 3);  // silent for 2 s at the second tick, and still at the third
    QCOMPARE(h.errors, QStringList{"The sound device is gone"});
    QVERIFY(h.window.FileTitle().isEmpty());
    QCOMPARE(h.window.ButtonCommand(), int(kCommandLoad));
    QCOMPARE(h.window.windowTitle(), QString("Zevora"));
    QCOMPARE(DefaultPlayer().threadRunning.load(), 0);

    control.refuseOpen = false;
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    QCOMPARE(h.errors.size(), 1);
    QCOMPARE(control.opens.load(), 2);
    QCOMPARE(h.window.FileTitle(), QString("VoR Theme"));
    std::uint32_t status = 0;
    buffer.GetStatus(&status);
    QCOMPARE(status, DSBSTATUS_PLAYING | DSBSTATUS_LOOPING);
  }

  // A device that opens every time but is lost again at once (it fails
  // every write) would never be heard: after four restores in a row that
  // played less than a second, the window says it is gone and stops. One
  // lost after it has played for a while is restored as often as it comes.
  void deviceLostAgainAfterEveryRestoreIsGone() {
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    const int opened = control.opens.load();
    for (int loss = 0; loss < 6; ++loss) {
      PullFrames(control, 44100 + 441);  // more than a second played since the restore
      control.lost = true;
      h.window.OnDisplayTimer();
    }
    QVERIFY(h.errors.isEmpty());
    QCOMPARE(control.opens.load(), opened + 6);
    for (int loss = 1; loss <= 4; ++loss) {
      PullFrames(control, 4096);
      control.lost = true;
      h.window.OnDisplayTimer();
      QCOMPARE(h.errors.size(), loss < 4 ? 0 : 1);
    }
    QCOMPARE(h.errors, QStringList{"The sound device is gone"});
    QCOMPARE(control.opens.load(), opened + 9);
    QVERIFY(h.window.FileTitle().isEmpty());
    QCOMPARE(h.window.ButtonCommand(), int(kCommandLoad));
    QCOMPARE(DefaultPlayer().threadRunning.load(), 0);
    // The next start opens the device again.
    h.window.OpenDropped(Corpus("vor--mph.xm"));
    QCOMPARE(h.errors.size(), 1);
    QCOMPARE(h.window.FileTitle(), QString("VoR Theme"));
  }

  void namesThatAreNotUtf8PlayFromADropAndTheDialog() {
    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray folder = QFile::encodeName(dir.path());
    const QByteArray path = folder + "/caf\xe9 m\xfcsik.xm";  // Latin-1 bytes
    {
      QFile in(Corpus("vodovod--walk.xm"));  // without a title: the window shows the file's name
      QVERIFY(in.open(QIODevice::ReadOnly));
      const QByteArray bytes = in.readAll();
      FILE* out = std::fopen(path.constData(), "wb");
      QVERIFY(out != nullptr);
      std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
      std::fclose(out);
    }
    MemorySoundBuffer buffer;
    Harness h(buffer);
    // A file manager's URL carries the bytes percent-encoded.
    QMimeData mime;
    mime.setUrls({QUrl::fromEncoded("file://" + path.toPercentEncoding("/"))});
    Drop(h.window, mime);
    QVERIFY(h.errors.isEmpty());
    QVERIFY(h.window.FileTitle().startsWith("caf"));
    // The dialog hands over text, in which the bytes are already lost.
    h.window.Command(kCommandStop);
    h.nextFile = QFile::decodeName(path);
    h.window.Command(kCommandLoad);
    QVERIFY(h.errors.isEmpty());
    QVERIFY(h.window.FileTitle().startsWith("caf"));
    ::unlink(path.constData());
  }

  // With ZEVORA_SCREENSHOT set, saves the window playing a list of modules
  // with the equalizer, the seek row and the list open (the picture in the
  // README).
  void screenshot() {
    const QByteArray path = qgetenv("ZEVORA_SCREENSHOT");
    if (path.isEmpty()) QSKIP("ZEVORA_SCREENSHOT not set");
    FakeAudioDevice::Control control;
    LoopingSoundBuffer buffer(std::make_unique<FakeAudioDevice>(control), true);
    QVERIFY(buffer.Start());
    Harness h(buffer);
    h.window.show();
    h.window.SetListOpen(true);
    QList<QByteArray> files;
    for (const char* name : {"vor--mph.xm", "gemdropx--hr_suds.xm", "gemdropx--2force.xm", "njam-data--satisfy.xm",
                             "bomberclone-data--mario_is_a_weenie.xm", "solarwolf--arg.xm", "ceferino-data--menu.xm",
                             "njam-data--dali.xm", "vodovod--walk.xm", "flobopuyo--strange_fear.xm", "SOURCES.md"})
      files << Corpus(name).toLocal8Bit();
    h.window.OpenFiles(files);
    h.window.PlayEntry(h.window.List().At(1).id);
    h.window.Command(kEffectEqualizerId);
    h.window.Effects()->Slider()->setValue(21);
    QTRY_COMPARE_WITH_TIMEOUT(h.window.List().Pending(), 0, 10000);
    std::vector<std::int16_t> scratch(2 * 884 * 20);
    for (int i = 0; i < 4000 / 20; ++i) {
      control.pull(scratch.data(), 884 * 20);
      std::this_thread::sleep_for(std::chrono::milliseconds(6));
    }
    h.window.OnFollowTimer();
    h.window.OnDisplayTimer();
    h.window.OnTitleTimer();
    h.window.ListView()->clearSelection();
    QTest::qWait(100);
    QVERIFY(h.window.grab().scaled(h.window.size() * 2).save(QString::fromLocal8Bit(path)));
  }

  // The real audio path: SDL's disk driver, a dropped corpus file, sound.
  void realAudioArrives() {
    const QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString capture = dir.filePath("capture.raw");
    qputenv("SDL_AUDIODRIVER", "disk");
    qputenv("SDL_DISKAUDIOFILE", capture.toLocal8Bit());
    AudioService audio;
    QCOMPARE(SetUpAudio({}, audio), 0);
    {
      MainWindow window(*audio.buffer, !audio.legacy);
      window.show();
      window.OpenDropped(Corpus("vor--mph.xm"));
      // Two seconds of frames at the device: the disk driver writes them in
      // real time, from whenever the device got going on a busy machine.
      QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(capture).size() >= 2 * 44100 * 4, 60000);
      window.close();
    }
    audio.buffer.reset();
    QFile file(capture);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.size() > 44100 * 4);
    int nonZero = 0;
    for (char c : bytes) nonZero += c != 0;
    QVERIFY(nonZero > bytes.size() / 4);
  }
};

QTEST_MAIN(WindowTest)
#include "window_test.moc"
