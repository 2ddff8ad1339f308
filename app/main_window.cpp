#include "main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QSlider>
#include <QSysInfo>
#include <QToolButton>
#include <QUrl>
#include <dirent.h>
#include <unistd.h>

#include <cmath>

#include "effects_panel.h"
#include "list_player.h"
#include "player.h"
#include "playlist.h"
#include "playlist_view.h"
#include "seek_row.h"
#include "settings.h"
#include "string_table.h"

namespace {

QString DefaultChooseFile(QWidget* owner) {
  return QFileDialog::getOpenFileName(owner, QString(), QString(), QStringLiteral("XM files (*.xm)"), nullptr,
                                      QFileDialog::ReadOnly);
}

QStringList DefaultChooseFiles(QWidget* owner, const QString& folder) {
  return QFileDialog::getOpenFileNames(owner, QString(), folder, QStringLiteral("XM files (*.xm)"), nullptr,
                                       QFileDialog::ReadOnly);
}

// The box waits for its OK in an event loop of its own, in which files
// handed over (or dropped) meanwhile are opened: a box with the same text
// still open (in `open`, the window's) says it already. (Another on top of
// it for each would nest one more loop each, until the stack runs out.)
void DefaultShowError(QWidget* owner, const QString& text, QStringList& open) {
  if (open.contains(text)) return;
  open << text;
  QMessageBox::critical(owner, QStringLiteral("Error"), text);
  open.removeOne(text);
}

// The five toolbar images (load, stop, pause, sound on, muted) from one
// 80 x 15 bitmap; magenta is transparent.
void LoadToolbarImages(QPixmap (&images)[5]) {
  QImage strip(QStringLiteral(":/toolbar.bmp"));
  strip = strip.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < strip.height(); ++y)
    for (int x = 0; x < strip.width(); ++x)
      if ((strip.pixel(x, y) & 0xFFFFFF) == 0xFF00FF) strip.setPixel(x, y, 0);
  for (int i = 0; i < 5; ++i) images[i] = QPixmap::fromImage(strip.copy(16 * i, 0, 16, 15));
}

}  // namespace

QFont MainWindow::FixedFont() {
  QFont font(QStringLiteral("DejaVu Sans Mono"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPointSize(9);
  return font;
}

QString MainWindow::FormatTime(std::uint32_t ms) {
  const std::uint32_t s = ms / 1000 + 1;
  return QString::asprintf("%02u:%02u:%02u", (s / 3600) % 24, (s / 60) % 60, s % 60);
}

MainWindow::MainWindow(SoundBuffer& buffer, bool effectsAvailable, WindowHooks hooks)
    : buffer_(buffer), hooks_(std::move(hooks)) {
  if (!hooks_.chooseFiles && hooks_.chooseFile) {
    hooks_.chooseFiles = [choose = hooks_.chooseFile](QWidget* owner, const QString&) {
      const QString file = choose(owner);
      return file.isEmpty() ? QStringList() : QStringList{file};
    };
  }
  if (!hooks_.chooseFile) hooks_.chooseFile = DefaultChooseFile;
  if (!hooks_.chooseFiles) hooks_.chooseFiles = DefaultChooseFiles;
  if (!hooks_.showError) {
    hooks_.showError = [open = std::make_shared<QStringList>()](QWidget* owner, const QString& text) {
      const auto kept = open;  // held through the box's loop, whatever happens to the window meanwhile
      DefaultShowError(owner, text, *kept);
    };
  }
  setObjectName(QStringLiteral("clsZevora"));
  setWindowTitle(QStringLiteral("Zevora"));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QIcon icon;
  icon.addFile(QStringLiteral(":/icon32.png"), QSize(32, 32));
  icon.addFile(QStringLiteral(":/icon16.png"), QSize(16, 16));
  setWindowIcon(icon);

  const QFont fixed = FixedFont();
  const QSize timeText = QFontMetrics(fixed).size(Qt::TextSingleLine, QStringLiteral("00:00:00"));
  width_ = timeText.width() + 206;
  height_ = 30;

  // Toolbar: load/stop, pause, mute.
  auto* toolbar = new QWidget(this);
  toolbar->setObjectName(QStringLiteral("toolbar"));
  toolbar->setGeometry(4, 4, 70, 22);
  LoadToolbarImages(images_);
  const int commands[3] = {kCommandLoad, kCommandPause, kCommandMute};
  const char* names[3] = {"loadStopButton", "pauseButton", "muteButton"};
  const char* keys[3] = {" (Ctrl+O)", " (Space)", " (M)"};
  for (int i = 0; i < 3; ++i) {
    auto* button = new QToolButton(toolbar);
    button->setObjectName(QString::fromLatin1(names[i]));
    button->setGeometry(23 * i, 0, 23, 22);
    button->setAutoRaise(true);
    button->setIconSize(QSize(16, 15));
    button->setCheckable(i > 0);
    button->setEnabled(i == 0);
    // The buttons show only an image: a screen reader reads the command's name.
    const QString name = QString::fromLatin1(LoadStringResource(static_cast<unsigned>(commands[i])));
    button->setToolTip(name + QString::fromLatin1(keys[i]));
    button->setAccessibleName(name);
    button->setFocusPolicy(Qt::NoFocus);
    buttons_[i] = button;
    SetButtonImage(i, buttonImages_[i]);
    connect(button, &QToolButton::clicked, this, [this, i] {
      Command(i == 0 ? buttonCommand_ : i == 1 ? kCommandPause : kCommandMute);
    });
  }

  volumeSlider_ = new QSlider(Qt::Horizontal, this);
  volumeSlider_->setObjectName(QStringLiteral("volumeSlider"));
  volumeSlider_->setGeometry(74, 4, 120, 22);
  volumeSlider_->setTickPosition(QSlider::NoTicks);
  volumeSlider_->setRange(1, 100000);
  volumeSlider_->setPageStep(10000);
  volumeSlider_->setValue(100000);
  volumeSlider_->setEnabled(false);
  volumeSlider_->setFocusPolicy(Qt::NoFocus);
  volumeSlider_->setToolTip(QStringLiteral("Volume (Up/Down)"));
  volumeSlider_->setAccessibleName(QStringLiteral("Volume"));
  connect(volumeSlider_, &QSlider::valueChanged, this, &MainWindow::OnVolumeSlider);

  timeDisplay_ = new QLabel(QStringLiteral("00:00:00"), this);
  timeDisplay_->setObjectName(QStringLiteral("timeDisplay"));
  timeDisplay_->setGeometry(198, 4, timeText.width(), 22);
  timeDisplay_->setTextFormat(Qt::PlainText);
  timeDisplay_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  timeDisplay_->setFont(fixed);

  setAcceptDrops(true);
  timer1000_.setTimerType(Qt::PreciseTimer);
  timer1000_.setInterval(1000);
  connect(&timer1000_, &QTimer::timeout, this, &MainWindow::OnDisplayTimer);
  timer1024_.setTimerType(Qt::PreciseTimer);
  timer1024_.setInterval(1024);
  connect(&timer1024_, &QTimer::timeout, this, &MainWindow::OnTitleTimer);

  if (effectsAvailable) {
    height_ += 30;
    effects_ = std::make_unique<EffectsPanel>(
        *this, buffer_, width_, [this] { return !fileTitle_.isEmpty() && !paused_; },
        [this](int h) { Relayout(h); },
        height_);
    width_ = effects_->Width();
  }
  SetUpBelow();
  SetUpPatternView();
  Relayout(height_);
  SetUpKeys();
  Restore();
  // The window opens with the focus on none of its controls, so that the
  // arrows are the window's (the list's only once Tab or a click goes there).
  setFocus(Qt::OtherFocusReason);

  // Centred on the screen.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->geometry();
    move((area.width() - width_) / 2, (area.height() - height_) / 2);
  }
}

MainWindow::~MainWindow() {
  // Nothing may stream into the buffer once the window is gone.
  PlayerPlay(nullptr, 0, 0, nullptr);
  effects_.reset();
  listPlayer_.reset();
  delete listView_;  // before the list it shows
}

void MainWindow::SetButtonImage(int index, int image) {
  buttonImages_[index] = image;
  buttons_[index]->setIcon(QIcon(images_[image]));
}

void MainWindow::SetButtonCommand(int command) {
  buttonCommand_ = command;
  const QString name = QString::fromLatin1(LoadStringResource(static_cast<unsigned>(command)));
  buttons_[0]->setAccessibleName(name);
  buttons_[0]->setToolTip(name + (command == kCommandLoad ? QStringLiteral(" (Ctrl+O)") : QString()));
}

void MainWindow::Command(int id) {
  switch (id) {
    case kEffectOffId:
    case kEffectEqualizerId:
    case kEffectGargleId:
      if (effects_) effects_->ChooseEffect(id);
      break;
    case kCommandLoad:
      path_.clear();
      ChooseFiles();
      break;
    case kCommandStop: StopView(); break;
    case kCommandPause:
      if (!paused_)
        buffer_.Stop();
      else
        buffer_.Play(0, 0, DSBPLAY_LOOPING);
      paused_ = !paused_;
      // Nothing moves while paused: the heard frame is not followed.
      if (paused_)
        followTimer_.stop();
      else if (Playing())
        followTimer_.start();
      emit playbackStateChanged();
      break;
    case kCommandMute:
      if (settings_->State().muted != buttons_[2]->isChecked()) {
        settings_->SetMuted(buttons_[2]->isChecked());
        emit mutedChanged(buttons_[2]->isChecked());
      }
      if (buttons_[2]->isChecked()) {
        buffer_.SetVolume(-10000);
        SetButtonImage(2, 4);
      } else {
        const int p = volumeSlider_->value();
        setWindowTitle(QString::asprintf("VOL: %d%%", p / 1000));
        buffer_.SetVolume(static_cast<std::int32_t>(std::log10(static_cast<double>(p)) * 2000.0 - 10000.0));
        SetButtonImage(2, 3);
        timer1024_.start();
      }
      break;
    default: break;
  }
}

void MainWindow::OnVolumeSlider() {
  buttons_[2]->setChecked(false);
  Command(kCommandMute);
  // A drag is remembered where it ends.
  if (!volumeSlider_->isSliderDown()) settings_->SetVolume(volumeSlider_->value());
  emit volumeChanged(volumeSlider_->value());
}

bool MainWindow::RestoreBuffer() {
  std::uint32_t status = 0;
  if (buffer_.GetStatus(&status) < 0 || !(status & DSBSTATUS_BUFFERLOST)) return true;
  return buffer_.Restore() >= 0;
}

// The title is set only once the module plays: it is the window's sign
// that something does. A file that cannot be loaded is marked in the list
// (the caller goes on with the next); a buffer that will not play gets the
// error box.
int MainWindow::StartPlayback(std::uint32_t id, std::uint64_t frame) {
  // A buffer lost while nothing played is restored before the start, and
  // once more if the start fails on it.
  RestoreBuffer();
  ListPlayer::Start played = listPlayer_->Play(id, frame);
  if (played == ListPlayer::Start::kBufferFailed) {
    PlayerStop();  // nothing streams on behind a window that shows "stopped"
    std::uint32_t status = 0;
    if (buffer_.GetStatus(&status) >= 0 && (status & DSBSTATUS_BUFFERLOST) && RestoreBuffer()) {
      played = listPlayer_->Play(id, frame);
      if (played == ListPlayer::Start::kBufferFailed) PlayerStop();
    }
  }
  if (played == ListPlayer::Start::kBufferFailed) {
    StopView();
    hooks_.showError(this, QStringLiteral("Unable to start playback"));
  }
  if (played != ListPlayer::Start::kPlaying) return static_cast<int>(played);
  path_ = list_->Find(id)->path;
  ShowPlaying();
  return static_cast<int>(played);
}

void MainWindow::ShowPlaying(bool paused) {
  OnHeardChanged(listPlayer_->HeardId());
  paused_ = paused;
  buttons_[1]->setChecked(paused);
  timer1000_.start();
  SetButtonImage(0, 1);
  SetButtonCommand(kCommandStop);
  buttons_[1]->setEnabled(true);
  buttons_[2]->setEnabled(true);
  volumeSlider_->setEnabled(true);
  if (paused)
    followTimer_.stop();
  else
    followTimer_.start();
  OnTitleTimer();
  emit playbackStateChanged();
}

QByteArray MainWindow::UrlPathBytes(const QUrl& url) {
  return QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
}

bool MainWindow::IsLocalFileUrl(const QUrl& url) {
  if (!url.isValid() || !url.isLocalFile()) return false;
  const QString host = url.host();
  if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0 &&
      host.compare(QSysInfo::machineHostName(), Qt::CaseInsensitive) != 0)
    return false;
  const QByteArray path = UrlPathBytes(url);
  return path.startsWith('/') && !path.contains('\0');
}

QByteArray MainWindow::PathBytes(const QString& path) {
  const QByteArray bytes = QFile::encodeName(path);
  if (bytes.isEmpty() || ::access(bytes.constData(), F_OK) == 0) return bytes;
  // A name that is not valid in the file system's encoding reads back with
  // replacement characters: find the entry in its folder that reads the
  // same, and take its bytes.
  const int slash = bytes.lastIndexOf('/');
  const QByteArray folder = slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : bytes.left(slash);
  const QString name = QFileInfo(path).fileName();
  const QByteArray folderBytes = ::access(folder.constData(), F_OK) == 0 ? folder : PathBytes(QFile::decodeName(folder));
  DIR* dir = ::opendir(folderBytes.constData());
  if (dir == nullptr) return bytes;
  QByteArray found = bytes;
  while (const dirent* entry = ::readdir(dir)) {
    if (QFile::decodeName(entry->d_name) == name) {
      found = folderBytes + (folderBytes.endsWith('/') ? "" : "/") + entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

void MainWindow::StopView() {
  const bool wasPlaying = Playing();
  fileTitle_.clear();
  timer1000_.stop();
  followTimer_.stop();
  listPlayer_->Stop();
  PlayerPlay(nullptr, 0, 0, nullptr);
  seekRow_->SetSong(nullptr);
  SetButtonImage(0, 0);
  SetButtonCommand(kCommandLoad);
  paused_ = false;
  buttons_[1]->setChecked(false);
  buttons_[1]->setEnabled(false);
  buttons_[2]->setEnabled(false);
  volumeSlider_->setEnabled(false);
  timeDisplay_->setText(QStringLiteral("00:00:00"));
  setWindowTitle(QStringLiteral("Zevora"));
  if (wasPlaying) emit playbackStateChanged();
}

void MainWindow::OnDisplayTimer() {
  std::uint32_t status = 0;
  if (buffer_.GetStatus(&status) >= 0 && (status & DSBSTATUS_BUFFERLOST)) {
    // A device that comes back but is lost again before it has played a
    // second, four times in a row (it opens, but fails every write), would
    // never be heard: it is gone as well.
    std::uint64_t played = 0;
    buffer_.GetPlayedFrames(&played);
    if (losses_.GoneForGood(played, paused_) || buffer_.Restore() < 0) {
      // No device to be had (the sound server is gone): said once, and the
      // window stops; the next start opens a new device once there is one.
      losses_.Clear();
      StopView();
      hooks_.showError(this, QStringLiteral("The sound device is gone"));
      return;
    }
    buffer_.GetPlayedFrames(&played);
    losses_.Restored(played);
    buffer_.Play(0, 0, DSBPLAY_LOOPING);
  }
  listPlayer_->Follow();
  if (Playing()) ShowHeardTime();  // (the list may have ended just now)
}

void MainWindow::OnTitleTimer() {
  timer1024_.stop();
  // (The volume can be set from the desktop while nothing plays.)
  setWindowTitle(fileTitle_.isEmpty() ? QStringLiteral("Zevora") : QStringLiteral("Playing %1").arg(fileTitle_));
}

void MainWindow::OpenDropped(const QString& path) { OpenFile(PathBytes(path)); }

void MainWindow::OpenFile(const QByteArray& path) { OpenFiles({path}); }

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  QList<QByteArray> paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (IsLocalFileUrl(url)) paths << UrlPathBytes(url);
  if (paths.isEmpty()) return;
  event->acceptProposedAction();
  OpenFiles(paths);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  PlayerPlay(nullptr, 0, 0, nullptr);
  HidePatternView();
  event->accept();
}
