// The window on the session bus, under the offscreen platform and a bus of
// the test's own (dbus-run-session): the MPRIS properties and what they
// map to in the window, exact positions (what is heard after a seek from
// the bus is the song's render from that frame), PropertiesChanged and
// Seeked, another program holding the name, no bus at all, and the hand-over
// of files to the open window. The calls go through a second connection,
// as a desktop's client's would.
#include "mpris.h"

#include <unistd.h>

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <functional>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "main_window.h"
#include "memory_sound_buffer.h"
#include "one_window.h"
#include "player.h"
#include "playlist.h"
#include "song_scan.h"
#include "window_rig.h"
#include "xm_writer.h"

namespace {

using namespace window_rig;
constexpr std::uint64_t kRowFrames = 6 * 882;
const QString kPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kRoot = QStringLiteral("org.mpris.MediaPlayer2");

// A song of `rows` rows at speed 6 and 125 BPM that loops to its start,
// with these instrument names.
XmModule NamedSong(std::uint16_t rows, const char* title, std::initializer_list<const char*> names) {
  XmModule m = OneInstrumentModule(LoopedSample());
  m.title = title;
  m.patterns[0].rows = rows;
  m.At(0, 0, 0) = {kC4, 1, 0, 0, 0};
  m.instruments[0].name = *names.begin();
  for (auto it = names.begin() + 1; it != names.end(); ++it) {
    XmInstrument more = m.instruments[0];
    more.name = *it;
    m.instruments.push_back(more);
  }
  return m;
}

// Microseconds of a frame count, rounded down (computed apart from the
// adaptor's own arithmetic).
qlonglong Us(std::uint64_t frames) { return static_cast<qlonglong>(frames * 1000000 / 44100); }

struct Rig {
  Rig()
      : window(buffer, false,
               WindowHooks{{},
                           [this](QWidget*, const QString& text) {
                             if (showing) showing();
                             errors << text;
                           },
                           {},
                           {},
                           2,
                           {}}) {}

  // The sound card takes frames block by block; the window follows every
  // ten blocks, as its timer does.
  Pcm Take(std::uint64_t frames) { return window_rig::Take(buffer, window, frames); }
  void WaitForScans() { window_rig::WaitForScans(window); }

  MemorySoundBuffer buffer;
  QStringList errors;
  std::function<void()> showing;  // as a message box is shown
  MainWindow window;
};

// What a client on its own connection sees and does.
class Client : public QObject {
  Q_OBJECT

 public:
  explicit Client(QString service, const QString& name = QStringLiteral("client"))
      : bus_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)), service_(std::move(service)) {
    bus_.connect(service_, QString::fromLatin1(Mpris::kPath), QStringLiteral("org.freedesktop.DBus.Properties"),
                 QStringLiteral("PropertiesChanged"), this, SLOT(Heard(QDBusMessage)));
    bus_.connect(service_, QString::fromLatin1(Mpris::kPath), kPlayer, QStringLiteral("Seeked"), this,
                 SLOT(Heard(QDBusMessage)));
  }
  ~Client() override { QDBusConnection::disconnectFromBus(bus_.name()); }

  QDBusMessage Call(const QString& interface, const QString& method, const QVariantList& args = {},
                    const QString& path = QString::fromLatin1(Mpris::kPath)) {
    QDBusMessage call = QDBusMessage::createMethodCall(service_, path, interface, method);
    call.setArguments(args);
    return bus_.call(call, QDBus::BlockWithGui, 5000);
  }
  QVariant Get(const QString& interface, const QString& property) {
    const QDBusMessage reply =
        Call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {interface, property});
    if (reply.type() != QDBusMessage::ReplyMessage) return {};
    return Plain(reply.arguments().value(0).value<QDBusVariant>().variant());
  }
  QVariantMap GetAll(const QString& interface) {
    const QDBusMessage reply =
        Call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"), {interface});
    return Plain(reply.arguments().value(0)).toMap();
  }
  QDBusMessage Set(const QString& interface, const QString& property, const QVariant& value) {
    return Call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
                {interface, property, QVariant::fromValue(QDBusVariant(value))});
  }
  QVariantMap Metadata() { return Get(kPlayer, QStringLiteral("Metadata")).toMap(); }
  // Every signal sent before now has arrived: the service answers in order.
  void Settle() {
    Get(kPlayer, QStringLiteral("CanControl"));
    QCoreApplication::processEvents();
  }
  // The signals heard since the last look, as "PropertiesChanged" with
  // their changed properties, or "Seeked" with the position.
  struct Heard_ {
    QString name;
    QVariantMap changed;
    QStringList invalidated;
    qlonglong position = -1;
  };
  std::vector<Heard_> TakeHeard() {
    Settle();
    return std::exchange(heard_, {});
  }

  // Nested D-Bus values (a{sv}, o) as plain Qt values.
  static QVariant Plain(const QVariant& value) {
    if (value.canConvert<QDBusArgument>() && value.userType() == qMetaTypeId<QDBusArgument>()) {
      const QDBusArgument argument = value.value<QDBusArgument>();
      if (argument.currentType() == QDBusArgument::MapType) {
        QVariantMap map;
        argument >> map;
        for (auto it = map.begin(); it != map.end(); ++it) it.value() = Plain(it.value());
        return map;
      }
      if (argument.currentSignature() == QLatin1String("as")) {
        QStringList list;
        argument >> list;
        return list;
      }
    }
    if (value.userType() == qMetaTypeId<QDBusObjectPath>())
      return QStringLiteral("o:") + value.value<QDBusObjectPath>().path();
    if (value.userType() == qMetaTypeId<QDBusVariant>()) return Plain(value.value<QDBusVariant>().variant());
    return value;
  }

  QDBusConnection& Bus() { return bus_; }

 private slots:
  void Heard(const QDBusMessage& message) {
    Heard_ h{message.member(), {}, {}, -1};
    if (message.member() == QLatin1String("Seeked")) {
      h.position = message.arguments().value(0).toLongLong();
    } else {
      h.changed = Plain(message.arguments().value(1)).toMap();
      h.invalidated = message.arguments().value(2).toStringList();
      h.name += QLatin1Char(':') + message.arguments().value(0).toString();
    }
    heard_.push_back(h);
  }

 private:
  QDBusConnection bus_;
  QString service_;
  std::vector<Heard_> heard_;
};

// Messages Qt would print (the window must say nothing without a bus).
QStringList printed;
void Catch(QtMsgType, const QMessageLogContext&, const QString& text) { printed << text; }

}  // namespace

class MprisTest : public QObject {
  Q_OBJECT

  QTemporaryDir dir_;
  QByteArray a_, b_, c_;

 private slots:
  void initTestCase() {
    QVERIFY2(QDBusConnection::sessionBus().isConnected(), "run under dbus-run-session");
    QVERIFY(dir_.isValid());
    a_ = Write(dir_, "a.xm", NamedSong(32, "Song A", {"first", "  second ", "", "4th \x01", "", ""}));
    b_ = Write(dir_, "b b.xm", NamedSong(12, "", {"only"}));
    c_ = Write(dir_, "c.xm", NamedSong(8, "Song C", {"c"}));
    QCOMPARE(OnePass(a_), 32 * kRowFrames);
  }
  void cleanup() { PlayerStop(); }

  void rootInterfaceAndPropertyTypes() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    QCOMPARE(mpris.Service(), QString("org.mpris.MediaPlayer2.zevora"));
    Client client(mpris.Service());
    const QVariantMap root = client.GetAll(kRoot);
    const QVariantMap want{{"CanQuit", true},
                           {"CanRaise", true},
                           {"HasTrackList", false},
                           {"Identity", "Zevora"},
                           {"DesktopEntry", "io.github.zevora.Zevora"},
                           {"SupportedUriSchemes", QStringList{"file"}},
                           {"SupportedMimeTypes", QStringList{"audio/x-xm"}}};
    QCOMPARE(root, want);
    // Every Player property, with its D-Bus type; nothing plays yet.
    const QVariantMap player = client.GetAll(kPlayer);
    const QVariantMap stopped{{"PlaybackStatus", "Stopped"},
                              {"LoopStatus", "Track"},
                              {"Rate", 1.0},
                              {"MinimumRate", 1.0},
                              {"MaximumRate", 1.0},
                              {"Metadata", QVariantMap()},
                              {"Volume", 1.0},
                              {"Position", qlonglong{0}},
                              {"CanGoNext", false},
                              {"CanGoPrevious", false},
                              {"CanPlay", false},
                              {"CanPause", false},
                              {"CanSeek", false},
                              {"CanControl", true}};
    QCOMPARE(player, stopped);
    for (auto it = stopped.begin(); it != stopped.end(); ++it)
      QVERIFY2(player.value(it.key()).userType() == it.value().userType(), qPrintable(it.key()));
    // Rate stays 1.0.
    QCOMPARE(client.Set(kPlayer, "Rate", 2.0).type(), QDBusMessage::ReplyMessage);
    QCOMPARE(client.Get(kPlayer, "Rate"), QVariant(1.0));
  }

  void metadataOfTheHeardEntry() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    r.window.OpenFiles({a_, b_});
    const std::uint32_t a = r.window.HeardEntry();
    QVERIFY(a != 0);
    const QVariantMap want{{"mpris:trackid", "o:/io/github/zevora/Zevora/Entry/" + QString::number(a)},
                           {"mpris:length", Us(32 * kRowFrames)},
                           {"xesam:title", "Song A"},
                           {"xesam:url", "file://" + QString::fromLatin1(a_.toPercentEncoding("/"))},
                           {"xesam:comment", QStringList{"first", "  second", "", "4th ?"}}};
    QCOMPARE(client.Metadata(), want);
    QCOMPARE(client.Get(kPlayer, "Metadata").toMap().value("mpris:length").userType(), int(QMetaType::LongLong));
    // A module without a title is known by its file name; the URL's space
    // is encoded.
    r.window.Next();
    const QVariantMap b = client.Metadata();
    QCOMPARE(b.value("xesam:title"), QVariant("b b.xm"));
    QCOMPARE(b.value("xesam:url"),
             QVariant("file://" + QString::fromLatin1(dir_.path().toUtf8().toPercentEncoding("/")) + "/b%20b.xm"));
    QCOMPARE(b.value("mpris:length"), QVariant(Us(12 * kRowFrames)));
    r.window.Stop();
    QCOMPARE(client.Metadata(), QVariantMap());
  }

  void songWithoutAnEndHasNoLength() {
    XmModule wheels = NamedSong(8, "Wheels", {"w"});
    wheels.channels = 6;
    for (std::uint16_t ch = 0; ch < 6; ++ch) {
      wheels.At(0, 0, ch) = {static_cast<std::uint8_t>(ch == 0 ? kC4 : 0), static_cast<std::uint8_t>(ch == 0), 0, 0xE,
                             0x60};
      wheels.At(0, static_cast<std::uint16_t>(ch + 1), ch) = {0, 0, 0, 0xE, 0x6F};
    }
    const QByteArray endless = Write(dir_, "endless.xm", wheels);
    QCOMPARE(OnePass(endless), 0u);
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    r.window.OpenFiles({endless});
    const QVariantMap metadata = client.Metadata();
    QVERIFY(metadata.contains("mpris:trackid"));
    QVERIFY(!metadata.contains("mpris:length"));
    // Its position is the time heard, past the seek row's 10 minutes too.
    r.window.Pause();
    const std::uint64_t far = kNoEndFrames + 44100;
    client.Call(kPlayer, "SetPosition",
                {QVariant::fromValue(QDBusObjectPath(Mpris::TrackPath(r.window.HeardEntry()))), Us(far)});
    QCOMPARE(r.window.HeardFrame(), far);
    QCOMPARE(client.Get(kPlayer, "Position"), QVariant(Us(far)));
    // Further than an hour on is not sought (the song would be moved on
    // frame by frame all the way, with the window waiting).
    client.Call(
        kPlayer, "SetPosition",
        {QVariant::fromValue(QDBusObjectPath(Mpris::TrackPath(r.window.HeardEntry()))), Us(far + 3601 * 44100)});
    client.Call(kPlayer, "Seek", {std::numeric_limits<qlonglong>::max()});
    QCOMPARE(r.window.HeardFrame(), far);
    // Two hours on, a position just before the one heard is sought.
    for (int k = 0; k < 2; ++k) client.Call(kPlayer, "Seek", {Us(3500 * 44100)});
    const std::uint64_t later = far + 7000 * 44100;
    QCOMPARE(r.window.HeardFrame(), later);
    client.Call(kPlayer, "SetPosition",
                {QVariant::fromValue(QDBusObjectPath(Mpris::TrackPath(r.window.HeardEntry()))), Us(later - 441000)});
    QCOMPARE(r.window.HeardFrame(), later - 441000);
    QCOMPARE(client.Get(kPlayer, "Position"), QVariant(Us(later - 441000)));
  }

  // Microseconds and frames: a time read and set again is the same frame.
  void timesRoundTrip() {
    const struct {
      std::uint64_t frame;
      std::int64_t us;
    } cases[] = {{0, 0},
                 {1, 22},
                 {2, 45},
                 {44099, 999977},
                 {44100, 1000000},
                 {1323000, 30000000},
                 {441001, 10000022},
                 {(1ull << 40) + 7, 24932236457664}};
    for (const auto& c : cases) {
      QCOMPARE(Mpris::Microseconds(c.frame), c.us);
      QCOMPARE(Mpris::FrameAt(c.us), c.frame);
    }
    QCOMPARE(Mpris::FrameAt(1), 1u);  // a time between frames: the next one
    QCOMPARE(Mpris::FrameAt(-5), 0u);
  }

  // SetPosition and Seek are exact: the heard frame is the one asked for,
  // and what is heard from there is the song's render from it.
  void positionsAreExact() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    const QByteArray song = QByteArrayLiteral(ZEVORA_CORPUS_DIR "/vor--mph.xm");
    const std::uint64_t length = OnePass(song);
    r.window.OpenFiles({song});
    r.Take(44100);
    r.window.Pause();
    const QVariant track = QVariant::fromValue(QDBusObjectPath(Mpris::TrackPath(r.window.HeardEntry())));
    QCOMPARE(client.Get(kPlayer, "Position"), QVariant(qlonglong{1000000}));

    const struct {
      const char* method;
      qlonglong argument;
      std::uint64_t frame;  // heard after it
      qlonglong position;   // read after it
    } steps[] = {
        {"SetPosition", 30000000, 1323000, 30000000},
        {"Seek", 10000000, 1323000 + 441000, 40000000},
        {"Seek", -1, 1323000 + 441000 - 1, 39999977},
        {"SetPosition", 22, 1, 22},
        {"Seek", -100000000, 0, 0},
        {"SetPosition", Us(length - 1), length - 1, Us(length - 1)},
        // The end of the pass is where the next pass begins: the song
        // loops to its start (in "Repeat song").
        {"SetPosition", Us(length), length, 0},
        {"SetPosition", Us(length) + 1, length, 0},  // past the end: not carried out
        {"SetPosition", -1, length, 0},
        {"Seek", 1000000, length + 44100, 1000000},
        // As far back as an offset goes: the start.
        {"Seek", std::numeric_limits<qlonglong>::min(), 0, 0},
        {"SetPosition", 29999999, 1323000, 30000000},
        // Past the end of the track: a Next, and there is none.
        {"Seek", Us(length - 1323000) + 1, 1323000, 30000000},
        {"Seek", std::numeric_limits<qlonglong>::max(), 1323000, 30000000},
    };
    for (const auto& step : steps) {
      const QVariantList args =
          QByteArray(step.method) == "Seek" ? QVariantList{step.argument} : QVariantList{track, step.argument};
      QCOMPARE(client.Call(kPlayer, step.method, args).type(), QDBusMessage::ReplyMessage);
      QCOMPARE(r.window.HeardFrame(), step.frame);
      QCOMPARE(client.Get(kPlayer, "Position"), QVariant(step.position));
    }
    // Another entry's track id is not this one's.
    client.Call(kPlayer, "SetPosition",
                {QVariant::fromValue(QDBusObjectPath(Mpris::TrackPath(r.window.HeardEntry() + 1))), qlonglong{0}});
    QCOMPARE(r.window.HeardFrame(), 1323000u);

    client.Call(kPlayer, "Play");
    QVERIFY(!r.window.Paused());
    const Pcm heard = r.Take(3 * 44100);
    const Pcm want = Render(song, 1323000, 3 * 44100);
    QVERIFY(heard == want);
    QCOMPARE(client.Get(kPlayer, "Position"), QVariant(Us(1323000 + 3 * 44100)));
    // With an entry after it, a seek past the end plays that one.
    QCOMPARE(client.Call(kPlayer, "OpenUri", {FileUrl(a_)}).type(), QDBusMessage::ReplyMessage);
    QTRY_COMPARE(r.window.List().HeardRow(), 1);
    client.Call(kPlayer, "Previous");
    QCOMPARE(r.window.List().HeardRow(), 0);
    client.Call(kPlayer, "Seek", {std::numeric_limits<qlonglong>::max()});
    QCOMPARE(r.window.List().HeardRow(), 1);
    QCOMPARE(r.window.HeardFrame(), 0u);
  }

  // A Seek that comes after the device has gone on into the next entry, but
  // before the window has looked: it seeks in the entry heard now, by that
  // entry's length (the one before it was 3.8 s long; 5 s on is within the
  // one heard now, not past its end).
  void seekJustAfterTheNextEntryBegan() {
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    const QByteArray song = QByteArrayLiteral(ZEVORA_CORPUS_DIR "/vor--mph.xm");
    r.window.OpenFiles({a_, song, c_});
    const std::uint32_t a = r.window.List().At(0).id, heardNext = r.window.List().At(1).id;
    QCOMPARE(r.window.HeardEntry(), a);
    const std::uint64_t lengthA = 32 * kRowFrames;
    const std::uint64_t blocks = lengthA / kBlockFrames + 12;  // 0.25 s into the next
    r.Take(150 * kBlockFrames);
    // Nine blocks at a time: the window does not follow.
    for (std::uint64_t taken = 150; taken < blocks; taken += 9)
      r.Take(std::min<std::uint64_t>(9, blocks - taken) * kBlockFrames);
    QCOMPARE(r.window.HeardEntry(), a);
    mpris.Seek(5000000);
    QCOMPARE(r.window.HeardEntry(), heardNext);
    QCOMPARE(r.window.HeardFrame(), blocks * kBlockFrames - lengthA + 5 * 44100);
    QVERIFY(r.errors.isEmpty());
  }

  // A SetPosition that comes after the player has taken the next entry to
  // follow (about two seconds before the heard one ends), but before the
  // window has looked: the heard entry goes on from that position, and the
  // next one is not started there instead.
  void setPositionJustAfterTheNextEntryWasTaken() {
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    const QByteArray song = QByteArrayLiteral(ZEVORA_CORPUS_DIR "/vor--mph.xm");
    r.window.OpenFiles({a_, song});
    const std::uint32_t a = r.window.HeardEntry();
    r.Take(80 * kBlockFrames);
    // Nine blocks at a time: the window does not follow. The ring now
    // holds the end of the first entry.
    r.Take(9 * kBlockFrames);
    r.Take(9 * kBlockFrames);
    QCOMPARE(r.window.HeardEntry(), a);
    // (Called here, not over the bus: waiting for the answer, the window's
    // timer could look first.)
    mpris.SetPosition(QDBusObjectPath(Mpris::TrackPath(a)), 1000000);
    QCOMPARE(r.window.HeardEntry(), a);
    QCOMPARE(r.window.HeardFrame(), 44100u);
    const Pcm heard = r.Take(44100);
    QVERIFY2(heard == Render(a_, 44100, 44100), FirstDifference(heard, Render(a_, 44100, 44100)).constData());
    QVERIFY(r.errors.isEmpty());
  }

  // A file from the bus that cannot be played: the call is answered before
  // the window's message box, which would otherwise keep the caller (and
  // every call after it) waiting until someone closes the box.
  void aFileThatCannotBePlayedIsAnsweredFirst() {
    const QByteArray text = dir_.filePath("text.xm").toLocal8Bit();
    QFile file(QString::fromLocal8Bit(text));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("not a module");
    file.close();
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    WindowService service(QDBusConnection::sessionBus());
    QVERIFY(service.TakeName());
    service.Attach(r.window);
    Client client(mpris.Service());
    std::vector<bool> answered;
    QDBusPendingCall pending = client.Bus().asyncCall(
        QDBusMessage::createMethodCall(mpris.Service(), Mpris::kPath, kPlayer, "OpenUri") << FileUrl(text));
    // The box: the answer must have gone out already.
    r.showing = [&] {
      for (int i = 0; i < 200 && !pending.isFinished(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      answered.push_back(pending.isFinished());
    };
    QTRY_COMPARE(answered.size(), std::size_t{1});
    QVERIFY(answered[0]);
    QVERIFY(!pending.isError());
    // The same through the hand-over of `zevora FILE`.
    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "caller");
    QDBusMessage open = QDBusMessage::createMethodCall(WindowService::kService, WindowService::kPath,
                                                       "org.freedesktop.Application", "Open");
    open << QStringList{FileUrl(text)} << QVariantMap();
    pending = caller.asyncCall(open);
    QTRY_COMPARE(answered.size(), std::size_t{2});
    QVERIFY(answered[1]);
    QVERIFY(!pending.isError());
    QCOMPARE(r.errors, QStringList({"Unable to start playback", "Unable to start playback"}));
    QDBusConnection::disconnectFromBus("caller");
  }

  // Seeked after every jump, wherever it came from, with the position
  // jumped to; no PropertiesChanged tells of the position.
  void seekedAfterEveryJump() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    r.window.show();
    QApplication::setActiveWindow(&r.window);
    QVERIFY(QTest::qWaitForWindowActive(&r.window));
    r.window.OpenFiles({a_});
    r.Take(10 * kBlockFrames);
    r.window.Pause();
    client.TakeHeard();
    const QVariant track = QVariant::fromValue(QDBusObjectPath(Mpris::TrackPath(r.window.HeardEntry())));
    const struct {
      const char* what;
      std::function<void()> jump;
      std::uint64_t frame;
    } jumps[] = {
        {"the seek row", [&] { r.window.SeekTo(5 * kRowFrames); }, 5 * kRowFrames},
        {"the Left key", [&] { QTest::keyClick(&r.window, Qt::Key_Left); }, 0},
        {"SetPosition",
         [&] {
           client.Call(kPlayer, "SetPosition", {track, qlonglong{2000000}});
         },
         88200},
        {"Seek", [&] { client.Call(kPlayer, "Seek", {qlonglong{-500000}}); }, 88200 - 22050},
        {"the Right key", [&] { QTest::keyClick(&r.window, Qt::Key_Right); }, 88200 - 22050 + 441000},
    };
    for (const auto& j : jumps) {
      j.jump();
      const auto heard = client.TakeHeard();
      QVERIFY2(heard.size() == 1 && heard[0].name == "Seeked", j.what);
      // (Past the end of the one pass, the position is where the seek
      // row shows it: after the loop point.)
      QCOMPARE(heard[0].position, Us(PassPosition(*r.window.HeardInfo(), j.frame)));
      QCOMPARE(r.window.HeardFrame(), j.frame);
    }
  }

  // Each change is told once, with exactly the properties it changed.
  void propertiesChangedTellsWhatChanged() {
    Rig r;
    r.window.SetEndMode(EndMode::kPlayList);
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    r.window.List().Insert(0, {a_, b_});
    r.WaitForScans();
    const auto listed = client.TakeHeard();
    QCOMPARE(listed.size(), 1u);
    QCOMPARE(listed[0].changed,
             (QVariantMap{{"CanGoNext", true}, {"CanGoPrevious", true}, {"CanPlay", true}, {"CanPause", true}}));
    const std::uint32_t a = r.window.List().At(0).id, b = r.window.List().At(1).id;
    auto track = [](std::uint32_t id) { return QString("o:") + Mpris::TrackPath(id); };

    const struct {
      const char* what;
      std::function<void()> change;
      QVariantMap changed;  // its properties and their new values (Metadata: the track id)
    } changes[] = {
        {"play the first",
         [&] { r.window.PlayEntry(a); },
         {{"PlaybackStatus", "Playing"}, {"Metadata", track(a)}, {"CanGoPrevious", false}, {"CanSeek", true}}},
        {"pause", [&] { r.window.PlayPause(); }, {{"PlaybackStatus", "Paused"}}},
        {"repeat list",
         [&] { r.window.SetEndMode(EndMode::kRepeatList); },
         {{"LoopStatus", "Playlist"}, {"CanGoPrevious", true}}},
        {"volume", [&] { r.window.SetVolume(45000); }, {{"Volume", 0.45}}},
        {"the same volume", [&] { r.window.SetVolume(45000); }, {}},
        {"mute", [&] { r.window.SetMuted(true); }, {}},
        {"next", [&] { r.window.Next(); }, {{"Metadata", track(b)}}},
        {"play list", [&] { r.window.SetEndMode(EndMode::kPlayList); }, {{"LoopStatus", "None"}, {"CanGoNext", false}}},
        {"resume", [&] { r.window.Play(); }, {{"PlaybackStatus", "Playing"}}},
        {"a third entry", [&] { r.window.List().Insert(2, {c_}); }, {{"CanGoNext", true}}},
        // The heard entry plays on out of the list, with nothing after it.
        {"the heard entry and the one after it removed",
         [&] { r.window.List().Remove({1, 2}); },
         {{"Metadata", track(b)}, {"CanGoNext", false}}},
        {"stop",
         [&] { r.window.Stop(); },
         {{"PlaybackStatus", "Stopped"}, {"Metadata", QString()}, {"CanSeek", false}, {"CanGoNext", true}}},
        {"clear the list",
         [&] { r.window.List().Clear(); },
         {{"CanGoNext", false}, {"CanGoPrevious", false}, {"CanPlay", false}, {"CanPause", false}}},
    };
    for (const auto& c : changes) {
      c.change();
      const auto heard = client.TakeHeard();
      if (c.changed.isEmpty()) {
        QVERIFY2(heard.empty(), c.what);
        continue;
      }
      QVERIFY2(heard.size() == 1, qPrintable(QString("%1: %2 signals").arg(c.what).arg(heard.size())));
      QCOMPARE(heard[0].name, QString("PropertiesChanged:org.mpris.MediaPlayer2.Player"));
      QVERIFY(heard[0].invalidated.isEmpty());
      QVariantMap got = heard[0].changed;
      if (got.contains("Metadata")) got["Metadata"] = got["Metadata"].toMap().value("mpris:trackid").toString();
      QVERIFY2(got == c.changed, qPrintable(QString("%1: %2").arg(c.what, QDebug::toString(got))));
    }
  }

  void controlsDriveTheWindow() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    r.window.List().Insert(0, {a_, b_, c_});
    r.WaitForScans();
    const struct {
      const char* method;
      QVariantList args;
      int row;  // heard (-1: nothing plays)
      const char* status;
    } steps[] = {
        {"Play", {}, 0, "Playing"},      {"Pause", {}, 0, "Paused"},      {"Pause", {}, 0, "Paused"},
        {"PlayPause", {}, 0, "Playing"}, {"Next", {}, 1, "Playing"},      {"Next", {}, 2, "Playing"},
        {"Previous", {}, 1, "Playing"},  {"PlayPause", {}, 1, "Paused"},  {"Next", {}, 2, "Paused"},
        {"Stop", {}, -1, "Stopped"},     {"PlayPause", {}, 2, "Playing"}, {"OpenUri", {FileUrl(a_)}, 3, "Playing"},
    };
    for (const auto& s : steps) {
      QCOMPARE(client.Call(kPlayer, s.method, s.args).type(), QDBusMessage::ReplyMessage);
      QCoreApplication::processEvents();  // (a file is opened after the answer)
      QCOMPARE(client.Get(kPlayer, "PlaybackStatus").toString(), QString(s.status));
      QCOMPARE(r.window.List().HeardRow(), s.row < 0 ? r.window.List().HeardRow() : s.row);
      QCOMPARE(r.window.Playing(), s.row >= 0);
      QCOMPARE(r.buffer.Playing(), QByteArray(s.status) == "Playing");
    }
    QCOMPARE(r.window.List().Count(), 4);
    QCOMPARE(r.window.List().At(3).path, a_);
    // A rate of 0 pauses; others change nothing (the rate stays 1).
    for (const double rate : {2.0, 0.5, -1.0, 0.0}) {
      QCOMPARE(client.Set(kPlayer, "Rate", rate).type(), QDBusMessage::ReplyMessage);
      QCOMPARE(client.Get(kPlayer, "PlaybackStatus").toString(), QString(rate == 0 ? "Paused" : "Playing"));
      QCOMPARE(client.Get(kPlayer, "Rate"), QVariant(1.0));
    }
    client.Call(kPlayer, "Play");
    // Not a file on this machine: another host's path is not opened here.
    // Nor a name no file can have: a NUL byte (the name would end there,
    // at a.xm) or a path from no root (the window's folder is not the
    // caller's).
    for (const QString& uri :
         {QStringLiteral("http://example.invalid/a.xm"), "file://example.invalid" + FileUrl(a_).mid(7),
          FileUrl(a_) + "%00b.xm", QStringLiteral("file:a.xm"), QStringLiteral("file:")}) {
      const QDBusMessage refused = client.Call(kPlayer, "OpenUri", {uri});
      QCOMPARE(refused.errorName(), QString("org.freedesktop.DBus.Error.NotSupported"));
      QCoreApplication::processEvents();
      QCOMPARE(r.window.List().Count(), 4);
    }
    QCOMPARE(client.Call(kPlayer, "OpenUri", {"file://localhost" + FileUrl(a_).mid(7)}).type(),
             QDBusMessage::ReplyMessage);
    QCoreApplication::processEvents();
    QCOMPARE(r.window.List().Count(), 5);
    QVERIFY(r.errors.isEmpty());
    // Quit closes the window.
    r.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&r.window));
    client.Call(kRoot, "Quit");
    QVERIFY(!r.window.isVisible());
  }

  // Track = repeat song, Playlist = repeat list, None = play list; both ways.
  void loopStatusBothWays() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    const struct {
      const char* status;
      EndMode mode;
    } modes[] = {{"Playlist", EndMode::kRepeatList}, {"None", EndMode::kPlayList}, {"Track", EndMode::kRepeatSong}};
    for (const auto& m : modes) {
      QCOMPARE(client.Set(kPlayer, "LoopStatus", QString(m.status)).type(), QDBusMessage::ReplyMessage);
      QCOMPARE(r.window.GetEndMode(), m.mode);
    }
    for (const auto& m : modes) {
      r.window.SetEndMode(m.mode);
      QCOMPARE(client.Get(kPlayer, "LoopStatus").toString(), QString(m.status));
    }
    // Anything else changes nothing.
    for (const char* other : {"track", "Shuffle", ""}) {
      client.Set(kPlayer, "LoopStatus", QString(other));
      QCOMPARE(r.window.GetEndMode(), EndMode::kRepeatSong);
      QCOMPARE(client.Get(kPlayer, "LoopStatus").toString(), QString("Track"));
    }
  }

  // The slider's position / 100,000 (its gain) is the volume, both ways.
  void volumeBothWays() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    const struct {
      double set;
      int slider;
      double read;
    } cases[] = {{0.5, 50000, 0.5}, {0.45, 45000, 0.45}, {1.0, 100000, 1.0},         {2.0, 100000, 1.0},
                 {0.0, 1, 0.00001}, {-1.0, 1, 0.00001},  {0.123456, 12346, 0.12346}, {0.000004, 1, 0.00001}};
    for (const auto& c : cases) {
      QCOMPARE(client.Set(kPlayer, "Volume", c.set).type(), QDBusMessage::ReplyMessage);
      QCOMPARE(r.window.Volume(), c.slider);
      QCOMPARE(client.Get(kPlayer, "Volume").toDouble(), c.read);
    }
    r.window.SetVolume(95000);
    QCOMPARE(client.Get(kPlayer, "Volume").toDouble(), 0.95);
    // Nothing plays: the title says so once the volume has been shown.
    r.window.OnTitleTimer();
    QCOMPARE(r.window.windowTitle(), QString("Zevora"));
  }

  // In "Repeat song" the position goes back to the loop point at the end of
  // a pass: told with Seeked.
  void loopBackIsTold() {
    Rig r;
    Mpris mpris(r.window, QDBusConnection::sessionBus());
    Client client(mpris.Service());
    r.window.OpenFiles({c_});  // 8 rows, loops to its start
    const std::uint64_t length = 8 * kRowFrames;
    QCOMPARE(r.window.HeardInfo()->secondPass, length);
    client.TakeHeard();
    r.Take(length + 3000);
    // (The watch wakes in wall time, a little after the pass's end.)
    QTest::qWait(static_cast<int>(length * 1000 / 44100) + 300);
    const auto heard = client.TakeHeard();
    QCOMPARE(heard.size(), 1u);
    QCOMPARE(heard[0].name, QString("Seeked"));
    QCOMPARE(heard[0].position, Us(3000));
    QCOMPARE(client.Get(kPlayer, "Position"), QVariant(Us(3000)));
    // Paused, nothing moves and nothing is told.
    r.window.Pause();
    client.TakeHeard();
    QTest::qWait(static_cast<int>(length * 1000 / 44100) + 300);
    QVERIFY(client.TakeHeard().empty());
  }

  // Another program with the name: this window serves an instance name
  // beside it. No bus at all: nothing is served, and nothing said.
  void nameTakenOrNoBus() {
    QDBusConnection other = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "other");
    QVERIFY(other.registerService("org.mpris.MediaPlayer2.zevora"));
    {
      Rig r;
      printed.clear();
      const QtMessageHandler before = qInstallMessageHandler(Catch);
      Mpris mpris(r.window, QDBusConnection::sessionBus());
      qInstallMessageHandler(before);
      QCOMPARE(mpris.Service(), QString("org.mpris.MediaPlayer2.zevora.instance%1").arg(::getpid()));
      QVERIFY2(printed.isEmpty(), qPrintable(printed.join('\n')));
      Client client(mpris.Service());
      QCOMPARE(client.Get(kRoot, "Identity").toString(), QString("Zevora"));
      // The hand-over finds no window under the name's owner.
      QVERIFY(other.registerService(WindowService::kService));
      QVERIFY(!HandOver(client.Bus(), {a_}, std::nullopt));
      QVERIFY(other.unregisterService(WindowService::kService));
    }
    QDBusConnection::disconnectFromBus("other");

    printed.clear();
    const QtMessageHandler before = qInstallMessageHandler(Catch);
    {
      const QDBusConnection nowhere = QDBusConnection::connectToBus(
          QStringLiteral("unix:path=") + dir_.filePath("no-bus-here"), QStringLiteral("nowhere"));
      QVERIFY(!nowhere.isConnected());
      Rig r;
      Mpris mpris(r.window, nowhere);
      WindowService service(nowhere);
      QVERIFY(!service.TakeName());
      QVERIFY(!HandOver(nowhere, {a_}, std::nullopt));
      QVERIFY(mpris.Service().isEmpty());
      r.window.OpenFiles({a_});
      QVERIFY(r.window.Playing());
      r.window.SetVolume(5000);
      r.window.Stop();
    }
    QDBusConnection::disconnectFromBus("nowhere");
    qInstallMessageHandler(before);
    QVERIFY2(printed.isEmpty(), qPrintable(printed.join('\n')));
  }

  // zevora FILE... with a window open: the files go to it (relative names
  // against the caller's folder, any bytes a name may hold), the first
  // plays, --repeat's mode and --view's view come along; without files the
  // window is only brought to the front.
  void filesAreHandedToTheOpenWindow() {
    const QByteArray odd = Write(dir_, "\xff odd.xm", NamedSong(4, "Odd", {"o"}));
    QVERIFY(!odd.isEmpty());
    Rig r;
    WindowService service(QDBusConnection::sessionBus());
    QVERIFY(service.TakeName());
    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "caller");
    // Not yet attached to its window: refused, and the caller opens its own.
    QVERIFY(!HandOver(caller, {a_}, std::nullopt));
    service.Attach(r.window);
    r.window.OpenFiles({a_});
    const QString folder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir_.path()));
    const bool taken = HandOver(caller, {"c.xm", odd}, EndMode::kRepeatList);
    QDir::setCurrent(folder);
    QVERIFY(taken);
    QCoreApplication::processEvents();  // the files are opened after the answer
    QCOMPARE(r.window.List().Paths(), (QList<QByteArray>{a_, c_, odd}));
    QCOMPARE(r.window.FileTitle(), QString("Song C"));
    QCOMPARE(r.window.GetEndMode(), EndMode::kRepeatList);
    QVERIFY(!r.window.PatternOpen());
    QVERIFY(HandOver(caller, {}, EndMode::kPlayList, true));  // --view pattern
    QCOMPARE(r.window.GetEndMode(), EndMode::kPlayList);
    QVERIFY(r.window.PatternOpen());
    QCOMPARE(r.window.List().Count(), 3);
    QCOMPARE(r.window.FileTitle(), QString("Song C"));
    // What is not a local file is refused.
    QDBusMessage open = QDBusMessage::createMethodCall(WindowService::kService, WindowService::kPath,
                                                       "org.freedesktop.Application", "Open");
    open << QStringList{"http://example.invalid/a.xm", FileUrl(c_) + "%00.xm", "file:c.xm"} << QVariantMap();
    QCOMPARE(caller.call(open, QDBus::BlockWithGui).errorName(), QString("org.freedesktop.DBus.Error.InvalidArgs"));
    QCOMPARE(r.window.List().Count(), 3);
    QVERIFY(r.errors.isEmpty());
    QDBusConnection::disconnectFromBus("caller");
    ::unlink(odd.constData());  // (a name QTemporaryDir cannot remove)
    QCOMPARE(AbsolutePath("/x/y.xm"), QByteArray("/x/y.xm"));
    QCOMPARE(AbsolutePath("y.xm"), QFile::encodeName(QDir::currentPath()) + "/y.xm");
    QCOMPARE(AbsolutePath("./y.xm"), QFile::encodeName(QDir::currentPath()) + "/y.xm");
    QCOMPARE(AbsolutePath("//x/./z//y.xm"), QByteArray("/x/z/y.xm"));
    QCOMPARE(AbsolutePath("/x/../y.xm"), QByteArray("/x/../y.xm"));
  }

  // A window that opened beside the one holding the name (that one did not
  // answer in time, or was closing as it was called) takes the name once
  // that one is gone: the files of later starts go to it, and they open no
  // window of their own beside it.
  void theWindowBesideTakesTheNameOnceTheOtherIsGone() {
    std::optional<WindowService> first;
    first.emplace(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "first window"));
    QVERIFY(first->TakeName());
    Rig r;
    WindowService beside(QDBusConnection::sessionBus());
    QVERIFY(!beside.TakeName());
    beside.Attach(r.window);
    first.reset();
    QDBusConnection::disconnectFromBus("first window");
    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "later start");
    QTRY_VERIFY(caller.interface()->serviceOwner(WindowService::kService).isValid());
    QVERIFY(HandOver(caller, {a_}, std::nullopt));
    QCoreApplication::processEvents();  // the files are opened after the answer
    QCOMPARE(r.window.List().Paths(), QList<QByteArray>{a_});
    QCOMPARE(r.window.FileTitle(), QString("Song A"));
    QDBusConnection::disconnectFromBus("later start");
  }

  // A window busy (or stopped) for longer than its caller waits: the caller
  // opens a window of its own, and the call, when it comes at last, is not
  // carried out as well (the song would play in both windows); a call in
  // time is.
  void aHandOverThatCameTooLateIsRefused() {
    Rig r;
    WindowService service(QDBusConnection::sessionBus());
    QVERIFY(service.TakeName());
    service.Attach(r.window);
    r.window.OpenFiles({a_});
    QDBusConnection caller = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "late caller");
    const struct {
      const char* what;
      QList<QByteArray> paths;
    } calls[] = {{"Open", {b_}}, {"Activate", {}}};
    for (const auto& c : calls) {
      bool taken = true;
      std::thread hand([&] { taken = HandOver(caller, c.paths, EndMode::kRepeatList, true, 300); });
      std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the window answers nothing meanwhile
      hand.join();
      QVERIFY2(!taken, c.what);
      QTest::qWait(100);
      QCOMPARE(r.window.List().Paths(), QList<QByteArray>{a_});
      QCOMPARE(r.window.FileTitle(), QString("Song A"));
      QCOMPARE(r.window.GetEndMode(), EndMode::kRepeatSong);
      QVERIFY(!r.window.PatternOpen());
    }
    // In time (the default wait: an answer is not bound to a busy machine's speed).
    QVERIFY(HandOver(caller, {b_}, EndMode::kRepeatList, false));
    QCoreApplication::processEvents();
    QCOMPARE(r.window.List().Paths(), (QList<QByteArray>{a_, b_}));
    QCOMPARE(r.window.GetEndMode(), EndMode::kRepeatList);
    QVERIFY(r.errors.isEmpty());
    QDBusConnection::disconnectFromBus("late caller");
  }
};

QTEST_MAIN(MprisTest)
#include "mpris_test.moc"
