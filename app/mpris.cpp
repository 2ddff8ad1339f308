#include "mpris.h"

#include <unistd.h>

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <limits>

#include "main_window.h"
#include "module_json.h"
#include "one_window.h"
#include "playlist.h"
#include "song_info.h"

namespace {

constexpr std::int64_t kMicroseconds = 1000000;
constexpr double kVolumeSteps = 100000.0;  // the slider's positions; its position / 100,000 is the gain
// How far on from the frame heard a song without an end may be sought: it
// is moved on frame by frame to get there (an hour takes a fraction of a
// second).
constexpr std::uint64_t kFarthest = 3600ull * 44100;

}  // namespace

// org.mpris.MediaPlayer2: the application.
class MprisRoot : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
  Q_PROPERTY(bool CanQuit READ CanQuit)
  Q_PROPERTY(bool CanRaise READ CanRaise)
  Q_PROPERTY(bool HasTrackList READ HasTrackList)
  Q_PROPERTY(QString Identity READ Identity)
  Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
  Q_PROPERTY(QStringList SupportedUriSchemes READ SupportedUriSchemes)
  Q_PROPERTY(QStringList SupportedMimeTypes READ SupportedMimeTypes)

 public:
  explicit MprisRoot(Mpris* mpris) : QDBusAbstractAdaptor(mpris), mpris_(*mpris) {}

  bool CanQuit() const { return true; }
  bool CanRaise() const { return true; }
  bool HasTrackList() const { return false; }
  QString Identity() const { return QStringLiteral("Zevora"); }
  QString DesktopEntry() const { return QString::fromLatin1(WindowService::kService); }
  QStringList SupportedUriSchemes() const { return {QStringLiteral("file")}; }
  QStringList SupportedMimeTypes() const { return {QStringLiteral("audio/x-xm")}; }

 public slots:
  void Raise() { RaiseWindow(mpris_.Window()); }
  void Quit() { mpris_.Window().close(); }

 private:
  Mpris& mpris_;
};

// org.mpris.MediaPlayer2.Player: what plays, and its controls.
class MprisPlayer : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
  Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
  Q_PROPERTY(QString LoopStatus READ LoopStatus WRITE SetLoopStatus)
  Q_PROPERTY(double Rate READ Rate WRITE SetRate)
  Q_PROPERTY(double MinimumRate READ Rate)
  Q_PROPERTY(double MaximumRate READ Rate)
  Q_PROPERTY(QVariantMap Metadata READ Metadata)
  Q_PROPERTY(double Volume READ Volume WRITE SetVolume)
  Q_PROPERTY(qlonglong Position READ Position)
  Q_PROPERTY(bool CanGoNext READ CanGoNext)
  Q_PROPERTY(bool CanGoPrevious READ CanGoPrevious)
  Q_PROPERTY(bool CanPlay READ CanPlay)
  Q_PROPERTY(bool CanPause READ CanPlay)
  Q_PROPERTY(bool CanSeek READ CanSeek)
  Q_PROPERTY(bool CanControl READ CanControl)

 public:
  explicit MprisPlayer(Mpris* mpris) : QDBusAbstractAdaptor(mpris), mpris_(*mpris) {}

  QString PlaybackStatus() const { return mpris_.PlaybackStatus(); }
  QString LoopStatus() const { return mpris_.LoopStatus(); }
  void SetLoopStatus(const QString& status) { mpris_.SetLoopStatus(status); }
  // Songs play at their own speed only; a rate of 0 is taken as Pause (as
  // the interface asks), any other leaves the speed as it is.
  double Rate() const { return 1.0; }
  void SetRate(double rate) {
    if (rate == 0) mpris_.Window().Pause();
  }
  QVariantMap Metadata() const { return mpris_.Metadata(); }
  double Volume() const { return mpris_.Volume(); }
  void SetVolume(double volume) { mpris_.SetVolume(volume); }
  qlonglong Position() const { return mpris_.Position(); }
  bool CanGoNext() const { return mpris_.CanGoNext(); }
  bool CanGoPrevious() const { return mpris_.CanGoPrevious(); }
  bool CanPlay() const { return mpris_.CanPlay(); }
  bool CanSeek() const { return mpris_.CanSeek(); }
  bool CanControl() const { return true; }

 public slots:
  void Play() { mpris_.Window().Play(); }
  void Pause() { mpris_.Window().Pause(); }
  void PlayPause() { mpris_.Window().PlayPause(); }
  void Stop() { mpris_.Window().Stop(); }
  void Next() { mpris_.Window().Next(); }
  void Previous() { mpris_.Window().Previous(); }
  void Seek(qlonglong Offset) { mpris_.Seek(Offset); }
  void SetPosition(const QDBusObjectPath& TrackId, qlonglong Position) { mpris_.SetPosition(TrackId, Position); }
  void OpenUri(const QString& Uri) { mpris_.OpenUri(Uri); }

 signals:
  void Seeked(qlonglong Position);

 private:
  Mpris& mpris_;
};

Mpris::Mpris(MainWindow& window, QDBusConnection bus) : window_(window), bus_(std::move(bus)) {
  if (!bus_.isConnected() || bus_.interface() == nullptr) return;
  new MprisRoot(this);
  player_ = new MprisPlayer(this);
  if (!bus_.registerObject(QString::fromLatin1(kPath), this)) return;
  // A second window (or another program with our name) leaves the name to
  // its owner: this window is an instance beside it.
  for (const QString& name :
       {QString::fromLatin1(kService),
        QString::fromLatin1(kService) + QStringLiteral(".instance") + QString::number(::getpid())}) {
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus_.interface()->registerService(
        name, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
      service_ = name;
      break;
    }
  }
  if (service_.isEmpty()) {
    bus_.unregisterObject(QString::fromLatin1(kPath));
    return;
  }

  ReadNames();
  announced_ = Announced();
  connect(&window_, &MainWindow::heardEntryChanged, this, [this] {
    Announce();
    WatchLoop();
  });
  connect(&window_, &MainWindow::playbackStateChanged, this, [this] {
    Announce();
    WatchLoop();
  });
  connect(&window_, &MainWindow::endModeChanged, this, [this] {
    Announce();
    WatchLoop();
  });
  connect(&window_, &MainWindow::volumeChanged, this, &Mpris::Announce);
  connect(&window_, &MainWindow::seeked, this, &Mpris::OnSeeked);
  connect(&window_.List(), &Playlist::entriesChanged, this, &Mpris::Announce);
  connect(&window_.List(), &Playlist::entriesRead, this, &Mpris::Announce);
  loopWatch_.setSingleShot(true);
  loopWatch_.setTimerType(Qt::PreciseTimer);
  connect(&loopWatch_, &QTimer::timeout, this, &Mpris::OnLoopWatch);
  WatchLoop();
}

Mpris::~Mpris() {
  if (service_.isEmpty()) return;
  bus_.unregisterService(service_);
  bus_.unregisterObject(QString::fromLatin1(kPath));
}

std::int64_t Mpris::Microseconds(std::uint64_t frames) {
  return static_cast<std::int64_t>(frames / kSampleRate * kMicroseconds +
                                   frames % kSampleRate * kMicroseconds / kSampleRate);
}

std::uint64_t Mpris::FrameAt(std::int64_t microseconds) {
  if (microseconds <= 0) return 0;
  const auto us = static_cast<std::uint64_t>(microseconds);
  const std::uint64_t seconds = us / kMicroseconds, rest = us % kMicroseconds;
  return seconds * kSampleRate + (rest * kSampleRate + kMicroseconds - 1) / kMicroseconds;
}

QString Mpris::TrackPath(std::uint32_t entry) { return QStringLiteral("/io/github/zevora/Zevora/Entry/%1").arg(entry); }

QString Mpris::PlaybackStatus() const {
  if (!window_.Playing()) return QStringLiteral("Stopped");
  return window_.Paused() ? QStringLiteral("Paused") : QStringLiteral("Playing");
}

// "Track" repeats the song, "Playlist" the list; "None" plays the list once.
QString Mpris::LoopStatus() const {
  switch (window_.GetEndMode()) {
    case EndMode::kRepeatSong: return QStringLiteral("Track");
    case EndMode::kRepeatList: return QStringLiteral("Playlist");
    case EndMode::kPlayList: return QStringLiteral("None");
  }
  return {};
}

void Mpris::SetLoopStatus(const QString& status) {
  if (status == QLatin1String("Track"))
    window_.SetEndMode(EndMode::kRepeatSong);
  else if (status == QLatin1String("Playlist"))
    window_.SetEndMode(EndMode::kRepeatList);
  else if (status == QLatin1String("None"))
    window_.SetEndMode(EndMode::kPlayList);
  // Anything else changes nothing. (Qt answers a property's Set itself:
  // the client is not told.)
}

// The slider's position is the gain (its decibels are 20 log10 of it), so
// the two are the same number.
double Mpris::Volume() const { return window_.Volume() / kVolumeSteps; }

void Mpris::SetVolume(double volume) {
  if (!(volume > 0)) volume = 0;  // NaN too
  const double position = std::round(std::min(volume, 1.0) * kVolumeSteps);
  window_.SetVolume(std::max(1, static_cast<int>(position)));
}

std::uint64_t Mpris::ShownFrame(std::uint64_t frame) const {
  const SongInfo* info = window_.HeardInfo();
  return info != nullptr && info->hasEnd ? PassPosition(*info, frame) : frame;
}

QVariantMap Mpris::Metadata() const {
  const std::uint32_t id = window_.HeardEntry();
  const SongInfo* info = window_.HeardInfo();
  if (id == 0 || info == nullptr) return {};
  QVariantMap metadata;
  metadata.insert(QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(TrackPath(id))));
  if (info->hasEnd) metadata.insert(QStringLiteral("mpris:length"), qlonglong{Microseconds(info->duration)});
  metadata.insert(QStringLiteral("xesam:title"), window_.FileTitle());
  // (An entry taken out of the list while heard has no file here.)
  if (const PlaylistEntry* entry = window_.List().Find(id))
    metadata.insert(QStringLiteral("xesam:url"), FileUrl(entry->path));
  if (namesOf_ == id) metadata.insert(QStringLiteral("xesam:comment"), names_);
  return metadata;
}

std::int64_t Mpris::Position() const {
  if (!window_.Playing()) return 0;
  // The frame heard this moment, not at the window's last look.
  window_.OnFollowTimer();
  return Microseconds(ShownFrame(window_.HeardFrame()));
}

// Next and Previous change the entry when one that can be played (as far as
// the list knows) stands after or before the heard one, or "Repeat list"
// goes round to one. Stopped with nothing heard, both start the first.
bool Mpris::CanGo(bool forward) const {
  const Playlist& list = window_.List();
  int heard = list.HeardRow();
  // A heard entry that has left the list while its song plays on: the
  // entries from the place it stood at on come after it. (Stopped, the
  // first entry starts where none stands after or before it.)
  const bool gone = heard < 0 && window_.Playing() && list.Heard() != 0;
  if (gone) heard = list.RowAfterRemoved(list.Heard());
  const int after = gone ? heard : heard + 1;
  bool other = false;
  for (int row = 0; row < list.Count(); ++row) {
    if ((row == heard && !gone) || list.At(row).state == PlaylistEntry::State::kBad) continue;
    if (heard < 0 || (forward ? row >= after : row < heard)) return true;
    other = true;
  }
  return other && window_.GetEndMode() == EndMode::kRepeatList;
}

bool Mpris::CanPlay() const {
  if (window_.Playing()) return true;
  const Playlist& list = window_.List();
  for (int row = 0; row < list.Count(); ++row)
    if (list.At(row).state != PlaylistEntry::State::kBad) return true;
  return false;
}

bool Mpris::CanSeek() const { return window_.Playing(); }

void Mpris::Seek(std::int64_t offset) {
  if (!window_.Playing()) return;
  // From the entry heard this moment: the device may have gone on into the
  // next one since the window last looked (which takes the entry before
  // out of the window's hands, its facts with it).
  window_.OnFollowTimer();
  const SongInfo* info = window_.HeardInfo();
  if (info == nullptr) return;
  // Rounded as SetPosition rounds: +10 s is 441,000 frames on.
  // (The most negative offset has no positive counterpart: it goes as far
  // back as the largest one.)
  const std::int64_t back =
      offset == std::numeric_limits<std::int64_t>::min() ? std::numeric_limits<std::int64_t>::max() : -offset;
  const std::int64_t frames =
      offset < 0 ? -static_cast<std::int64_t>(FrameAt(back)) : static_cast<std::int64_t>(FrameAt(offset));
  if (frames > 0) {
    // Past the end of the track a seek is a Next (and nothing where there
    // is no next); a song without an end is sought at most kFarthest on,
    // since the song is moved on frame by frame to get there.
    const std::uint64_t shown = ShownFrame(window_.HeardFrame());
    const std::uint64_t limit = info->hasEnd ? info->duration : shown + kFarthest;
    if (static_cast<std::uint64_t>(frames) >= limit - std::min(shown, limit)) {
      if (info->hasEnd && CanGoNext()) window_.Next();
      return;
    }
  }
  window_.SeekBy(frames);
}

void Mpris::SetPosition(const QDBusObjectPath& track, std::int64_t position) {
  // Where the player stands this moment: it may have taken the entry that
  // follows (its switch is in the ring) or gone on into it since the window
  // last looked, and a seek then has to start the heard entry anew.
  window_.OnFollowTimer();
  const SongInfo* info = window_.HeardInfo();
  // A call meant for an entry no longer heard, or a position outside the
  // song, is not carried out.
  if (info == nullptr || track.path() != TrackPath(window_.HeardEntry()) || position < 0) return;
  if (info->hasEnd && position > Microseconds(info->duration)) return;
  // (Of a song without an end the position is the time heard, hours after
  // an hour of play: a position near it is sought as well.)
  if (!info->hasEnd && FrameAt(position) > window_.HeardFrame() + kFarthest) return;
  window_.SeekTo(FrameAt(position));
}

void Mpris::OpenUri(const QString& uri) {
  const QUrl url(uri, QUrl::StrictMode);
  if (!MainWindow::IsLocalFileUrl(url)) {
    if (calledFromDBus()) sendErrorReply(QDBusError::NotSupported, QStringLiteral("only file: URLs can be opened"));
    return;
  }
  // After the answer: a file that cannot be played shows its message box
  // without keeping the caller waiting for it.
  QTimer::singleShot(0, &window_,
                     [window = &window_, path = MainWindow::UrlPathBytes(url)] { window->OpenFiles({path}); });
}

QVariantMap Mpris::Announced() const {
  return {
      {QStringLiteral("PlaybackStatus"), PlaybackStatus()},
      {QStringLiteral("LoopStatus"), LoopStatus()},
      {QStringLiteral("Metadata"), Metadata()},
      {QStringLiteral("Volume"), Volume()},
      {QStringLiteral("CanGoNext"), CanGoNext()},
      {QStringLiteral("CanGoPrevious"), CanGoPrevious()},
      {QStringLiteral("CanPlay"), CanPlay()},
      {QStringLiteral("CanPause"), CanPlay()},
      {QStringLiteral("CanSeek"), CanSeek()},
  };
}

void Mpris::Announce() {
  ReadNames();
  const QVariantMap now = Announced();
  QVariantMap changed;
  for (auto it = now.begin(); it != now.end(); ++it)
    if (announced_.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
  if (changed.isEmpty()) return;
  announced_ = now;
  QDBusMessage signal =
      QDBusMessage::createSignal(QString::fromLatin1(kPath), QStringLiteral("org.freedesktop.DBus.Properties"),
                                 QStringLiteral("PropertiesChanged"));
  signal << QString::fromLatin1(kPlayerInterface) << changed << QStringList();
  bus_.send(signal);
}

void Mpris::OnSeeked(std::uint64_t frame) {
  Announce();
  emit player_->Seeked(Microseconds(ShownFrame(frame)));
  WatchLoop();
}

std::uint64_t Mpris::PassOf(std::uint64_t frame) const {
  const SongInfo* info = window_.HeardInfo();
  if (info == nullptr || frame < info->duration) return 0;
  return 1 + (frame - info->duration) / info->secondPass;
}

void Mpris::WatchLoop() {
  loopWatch_.stop();
  const SongInfo* info = window_.HeardInfo();
  // Only a song that plays on from its loop point goes back.
  if (info == nullptr || window_.Paused() || window_.GetEndMode() != EndMode::kRepeatSong || !info->hasEnd ||
      info->secondPass == 0 || info->loopFrame >= info->duration)
    return;
  const std::uint64_t frame = window_.HeardFrame();
  watchedPass_ = PassOf(frame);
  const std::uint64_t end = info->duration + watchedPass_ * info->secondPass;
  // A moment after the end is heard (the window follows the device ten
  // times a second).
  loopWatch_.start(static_cast<int>(std::min<std::uint64_t>((end - frame) * 1000 / kSampleRate, 3600000)) + 20);
}

void Mpris::OnLoopWatch() {
  if (!window_.Playing()) return;
  window_.OnFollowTimer();
  if (PassOf(window_.HeardFrame()) > watchedPass_) emit player_->Seeked(Position());
  WatchLoop();
}

void Mpris::ReadNames() {
  const std::uint32_t id = window_.HeardEntry();
  if (id == namesOf_) return;
  namesOf_ = id;
  names_.clear();
  const PlaylistEntry* entry = window_.List().Find(id);
  if (entry == nullptr) return;
  const SongHandle song = LoadSongFile(entry->path);
  if (song.song == nullptr) return;
  for (const std::string& name : NamesOf(*song.song).instruments) names_ << QString::fromStdString(TerminalText(name));
  // Composers write messages across the names: the empty ones between
  // lines stay, the unused ones after the last do not.
  while (!names_.isEmpty() && names_.last().isEmpty()) names_.removeLast();
}

#include "mpris.moc"
