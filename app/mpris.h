// The window on the session bus for the desktop's media keys and sound
// menus: org.mpris.MediaPlayer2.zevora serves /org/mpris/MediaPlayer2 with
// the MediaPlayer2 and MediaPlayer2.Player interfaces (MPRIS 2.2).
//
// It keeps no player state: every property is read from the window when it
// is asked for, and every call goes to the window's own commands, so the
// bus, the buttons and the keys cannot disagree. What it last announced is
// remembered only so that PropertiesChanged carries what changed.
//
// Times on the bus are microseconds. A frame's time is rounded down and a
// time's frame rounded up, so that a position read and set again is the
// same frame: SetPosition(30 s) seeks to frame 1,323,000 exactly.
// Position is where the seek row stands (the heard frame within the song's
// one pass); mpris:length is the one pass. A song without an end has no
// mpris:length, as a stream has none, and its Position is the time heard.
#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <cstdint>

class MainWindow;
class MprisPlayer;
class QDBusObjectPath;

class Mpris : public QObject, public QDBusContext {
  Q_OBJECT

 public:
  static constexpr const char* kService = "org.mpris.MediaPlayer2.zevora";
  static constexpr const char* kPath = "/org/mpris/MediaPlayer2";
  static constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";

  // Serves the window on `bus`: under kService, or when another program or
  // window has that name, under kService + ".instance<pid>". Without a bus
  // it does nothing, and says nothing.
  Mpris(MainWindow& window, QDBusConnection bus);
  ~Mpris() override;

  // The name served; empty when none is.
  const QString& Service() const { return service_; }

  static std::int64_t Microseconds(std::uint64_t frames);
  static std::uint64_t FrameAt(std::int64_t microseconds);
  // The mpris:trackid of a list entry.
  static QString TrackPath(std::uint32_t entry);

  // The two interfaces' side (see mpris.cpp).
  MainWindow& Window() const { return window_; }
  QString PlaybackStatus() const;
  QString LoopStatus() const;
  void SetLoopStatus(const QString& status);
  double Volume() const;
  void SetVolume(double volume);
  QVariantMap Metadata() const;
  std::int64_t Position() const;
  bool CanGoNext() const { return CanGo(true); }
  bool CanGoPrevious() const { return CanGo(false); }
  bool CanPlay() const;
  bool CanSeek() const;
  void Seek(std::int64_t offset);
  void SetPosition(const QDBusObjectPath& track, std::int64_t position);
  void OpenUri(const QString& uri);

 private:
  bool CanGo(bool forward) const;
  // The position the window shows for a frame of the heard song.
  std::uint64_t ShownFrame(std::uint64_t frame) const;
  // The properties that PropertiesChanged tells of, as they are now.
  QVariantMap Announced() const;
  // Tells the bus what changed since it was last told.
  void Announce();
  void OnSeeked(std::uint64_t frame);
  // In "Repeat song" the position goes back to the loop point at the end
  // of each pass: a jump that clients are told of with Seeked, as of any
  // other. The watch wakes at the heard pass's end.
  void WatchLoop();
  void OnLoopWatch();
  // Which pass of the heard song a frame is in (0: the first).
  std::uint64_t PassOf(std::uint64_t frame) const;
  void ReadNames();

  MainWindow& window_;
  QDBusConnection bus_;
  QString service_;
  MprisPlayer* player_ = nullptr;
  QVariantMap announced_;
  // The heard entry's instrument names (xesam:comment), read once for it.
  std::uint32_t namesOf_ = 0;
  QStringList names_;
  QTimer loopWatch_;
  std::uint64_t watchedPass_ = 0;
};
