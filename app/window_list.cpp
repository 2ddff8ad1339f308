// The window's seek row, list, song end mode, info panel and remembered
// settings: what sits below the original window and what drives it.
#include <QFileInfo>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>
#include <QToolButton>
#include <cmath>

#include "effects_panel.h"
#include "info_panel.h"
#include "list_player.h"
#include "main_window.h"
#include "player.h"
#include "playlist.h"
#include "playlist_view.h"
#include "seek_row.h"
#include "settings.h"

namespace {

constexpr int kListHeight = 190;
constexpr int kFollowVisible = 100;  // ms
constexpr int kFollowHidden = 500;

}  // namespace

void MainWindow::SetUpBelow() {
  settings_ = std::make_unique<Settings>(hooks_.settingsFile);
  list_ = std::make_unique<Playlist>(nullptr, hooks_.scanThreads);
  listPlayer_ = std::make_unique<ListPlayer>(DefaultPlayer(), buffer_, *list_);
  seekRow_ = new SeekRow(this, width_);
  listView_ = new PlaylistView(*list_, this);
  listView_->hide();
  info_ = new InfoPanel(this);

  // A drag is a seek in the song it began on: one that ends after the next
  // entry took over (the song ended under it) would go to that place in
  // another song, and is let go.
  connect(seekRow_->Slider(), &QSlider::sliderPressed, this, [this] { dragEntry_ = listPlayer_->HeardId(); });
  connect(seekRow_, &SeekRow::seekRequested, this, [this](std::uint64_t frame) {
    listPlayer_->Follow();
    if (listPlayer_->HeardId() == dragEntry_) {
      SeekTo(frame);
    } else if (Playing()) {
      seekRow_->SetHeard(listPlayer_->HeardFrame());
    }
  });
  connect(seekRow_, &SeekRow::endModeClicked, this, [this] { SetEndMode(NextEndMode(GetEndMode())); });
  connect(seekRow_, &SeekRow::infoClicked, this, [this] { ShowInfo(); });
  connect(seekRow_, &SeekRow::listToggled, this, &MainWindow::SetListOpen);
  connect(listView_, &PlaylistView::playRequested, this, &MainWindow::PlayEntry);
  connect(listView_, &PlaylistView::infoRequested, this, &MainWindow::ShowInfo);
  connect(list_.get(), &Playlist::entriesChanged, this, &MainWindow::OnListChanged);
  connect(listPlayer_.get(), &ListPlayer::heardChanged, this, &MainWindow::OnHeardChanged);
  connect(listPlayer_.get(), &ListPlayer::listEnded, this, &MainWindow::StopView);
  connect(volumeSlider_, &QSlider::sliderReleased, this, [this] { settings_->SetVolume(volumeSlider_->value()); });
  if (effects_) {
    connect(effects_.get(), &EffectsPanel::effectChosen, this, &MainWindow::OnEffectChosen);
    connect(effects_.get(), &EffectsPanel::parameterChanged, this, &MainWindow::OnEffectParameter);
  }

  followTimer_.setInterval(kFollowVisible);
  connect(&followTimer_, &QTimer::timeout, this, &MainWindow::OnFollowTimer);
}

void MainWindow::Relayout(int topHeight) {
  topHeight_ = topHeight;
  seekRow_->move(0, topHeight);
  int height = topHeight + SeekRow::kHeight;
  if (ListOpen()) {
    listView_->setGeometry(4, height, width_ - 8, kListHeight);
    height += kListHeight + 4;
  }
  setFixedSize(width_, height);
}

// What was remembered comes back without being written again.
void MainWindow::Restore() {
  const RememberedState r = settings_->State();
  restoring_ = true;
  {
    const QSignalBlocker quiet(volumeSlider_);
    volumeSlider_->setValue(r.volume);
  }
  if (r.volume != 100000)
    buffer_.SetVolume(static_cast<std::int32_t>(std::log10(static_cast<double>(r.volume)) * 2000.0 - 10000.0));
  if (r.muted) {
    buttons_[2]->setChecked(true);
    buffer_.SetVolume(-10000);
    SetButtonImage(2, 4);
  }
  if (effects_ && r.effect != RememberedState::Effect::kOff) {
    const bool equalizer = r.effect == RememberedState::Effect::kEqualizer;
    effects_->ChooseEffect(equalizer ? kEffectEqualizerId : kEffectGargleId);
    if (effects_->HasParameterInterface())
      effects_->Slider()->setValue(equalizer ? r.equalizerGain + 15 : r.gargleRate);
  }
  listPlayer_->SetMode(r.endMode, false);
  seekRow_->SetEndMode(r.endMode);
  lastFolder_ = r.lastFolder;
  {
    const QSignalBlocker quiet(list_.get());
    const QList<std::uint32_t> ids = list_->Insert(0, r.list);
    if (r.heardEntry >= 0 && r.heardEntry < ids.size()) list_->SetHeard(ids[r.heardEntry]);
  }
  {
    const QSignalBlocker quiet(seekRow_);
    seekRow_->SetListOpen(r.listOpen);
  }
  listView_->setVisible(r.listOpen);
  Relayout(topHeight_);
  if (list_->HeardRow() >= 0) listView_->scrollTo(list_->index(list_->HeardRow(), 0));
  restoring_ = false;
}

// A chosen effect starts from its neutral setting (0 dB, 20 Hz).
void MainWindow::OnEffectChosen(int id) {
  if (restoring_) return;
  settings_->SetEffect(id == kEffectEqualizerId ? RememberedState::Effect::kEqualizer
                       : id == kEffectGargleId  ? RememberedState::Effect::kGargle
                                                : RememberedState::Effect::kOff);
  if (id == kEffectEqualizerId) settings_->SetEqualizerGain(0);
  if (id == kEffectGargleId) settings_->SetGargleRate(20);
}

void MainWindow::OnEffectParameter(int position) {
  if (!effects_ || restoring_) return;
  if (effects_->Chosen() == kEffectEqualizerId) settings_->SetEqualizerGain(position - 15);
  if (effects_->Chosen() == kEffectGargleId) settings_->SetGargleRate(position);
}

void MainWindow::OnHeardChanged(std::uint32_t id) {
  const PlaylistEntry* entry = list_->Find(id);
  const SongInfo* info = listPlayer_->HeardInfo();
  if (info == nullptr) return;
  fileTitle_ = listPlayer_->HeardTitle();
  seekRow_->SetSong(info);
  seekRow_->SetHeard(listPlayer_->HeardFrame());
  if (!timer1024_.isActive() && !fileTitle_.isEmpty()) OnTitleTimer();
  settings_->SetHeardEntry(list_->HeardRow());
  if (entry != nullptr && listView_->isVisible()) listView_->scrollTo(list_->index(list_->HeardRow(), 0));
  // The heard song's file: its entry may have left the list while it was queued.
  if (infoFollows_ && info_->isVisible()) info_->ShowFile(listPlayer_->HeardPath());
  emit heardEntryChanged(id);
}

void MainWindow::OnListChanged() {
  listPlayer_->ListChanged(paused_);
  // Where removed entries stood is asked only for the songs the player
  // holds and the heard entry.
  list_->ForgetRemoved(listPlayer_->HandedIds());
  settings_->SetList(list_->Paths(), list_->HeardRow());
}

void MainWindow::OnFollowTimer() {
  // Ten times a second while the seek row is seen; otherwise only often
  // enough for the list to go on without a gap.
  const int interval = isVisible() && !isMinimized() ? kFollowVisible : kFollowHidden;
  if (followTimer_.interval() != interval) followTimer_.setInterval(interval);
  listPlayer_->Follow();
  if (!Playing()) return;
  seekRow_->SetHeard(listPlayer_->HeardFrame());
  ShowHeardTime();
}

void MainWindow::ShowHeardTime() {
  // Frames heard, not the position log's milliseconds (which run slow at
  // tempos other than 125 BPM).
  const std::uint64_t ms = listPlayer_->HeardFrame() * 1000 / kSampleRate;
  const QString text = FormatTime(static_cast<std::uint32_t>(ms % (24ull * 3600 * 1000)));
  if (timeDisplay_->text() != text) timeDisplay_->setText(text);
}

void MainWindow::ChooseFiles() {
  const QStringList chosen = hooks_.chooseFiles(this, lastFolder_);
  if (chosen.isEmpty()) return;
  const QString folder = QFileInfo(chosen.first()).absolutePath();
  if (folder != lastFolder_) {
    lastFolder_ = folder;
    settings_->SetLastFolder(folder);
  }
  QList<QByteArray> paths;
  for (const QString& file : chosen) paths << PathBytes(file);
  OpenFiles(paths);
}

void MainWindow::OpenFiles(const QList<QByteArray>& paths) {
  if (paths.isEmpty()) return;
  const int heard = list_->HeardRow();
  const QList<std::uint32_t> ids = list_->Insert(heard >= 0 ? heard + 1 : list_->Count(), paths);
  StopView();
  // The first that loads plays; the others that do not are marked in the
  // list, without a box each.
  for (const std::uint32_t id : ids) {
    const int started = StartPlayback(id);
    if (started != static_cast<int>(ListPlayer::Start::kCannotLoad)) return;
  }
  hooks_.showError(this, QStringLiteral("Unable to start playback"));
}

void MainWindow::PlayEntry(std::uint32_t id) {
  if (StartPlayback(id) == static_cast<int>(ListPlayer::Start::kCannotLoad) && !Playing())
    hooks_.showError(this, QStringLiteral("Unable to start playback"));
}

void MainWindow::PlayPause() {
  if (!Playing()) {
    Play();
    return;
  }
  Command(kCommandPause);
  buttons_[1]->setChecked(paused_);
}

void MainWindow::Play() {
  if (Playing()) {
    if (paused_) PlayPause();
    return;
  }
  const std::uint32_t heard = list_->Heard();
  if (heard != 0 && list_->Find(heard) != nullptr)
    PlayEntry(heard);
  else
    Next();
}

void MainWindow::Pause() {
  if (Playing() && !paused_) PlayPause();
}

void MainWindow::Next() {
  // A device lost since the last one-second tick is restored first, as
  // for any start: the new entry's start plays the buffer.
  RestoreBuffer();
  const ListPlayer::Start started = listPlayer_->Next(paused_);
  if (started == ListPlayer::Start::kPlaying) ShowPlaying(paused_);
  if (started == ListPlayer::Start::kBufferFailed) {
    StopView();
    hooks_.showError(this, QStringLiteral("Unable to start playback"));
  }
}

void MainWindow::Previous() {
  RestoreBuffer();
  const ListPlayer::Start started = listPlayer_->Previous(paused_);
  if (started == ListPlayer::Start::kPlaying) ShowPlaying(paused_);
  if (started == ListPlayer::Start::kBufferFailed) {
    StopView();
    hooks_.showError(this, QStringLiteral("Unable to start playback"));
  }
}

void MainWindow::SeekTo(std::uint64_t frame) {
  if (!Playing()) return;
  // The seek plays the buffer again: a device lost since the last
  // one-second tick is restored first.
  RestoreBuffer();
  const std::uint32_t before = listPlayer_->HeardId();
  if (!listPlayer_->Seek(frame, paused_)) {
    StopView();  // past the end of the list's last song
    return;
  }
  if (listPlayer_->HeardId() != before) ShowPlaying(paused_);
  seekRow_->SetHeard(listPlayer_->HeardFrame());
  ShowHeardTime();
  emit seeked(listPlayer_->HeardFrame());
}

void MainWindow::SeekBy(std::int64_t frames) {
  if (!Playing()) return;
  // From the frame heard now, with the device held so that it is the last
  // one heard before the seek.
  if (!paused_) listPlayer_->Hold();
  listPlayer_->Follow();
  if (!Playing()) return;
  const std::uint64_t heard = listPlayer_->HeardFrame();
  const std::uint64_t back = frames < 0 ? static_cast<std::uint64_t>(-frames) : 0;
  SeekTo(frames < 0 ? (heard > back ? heard - back : 0) : heard + static_cast<std::uint64_t>(frames));
}

EndMode MainWindow::GetEndMode() const { return listPlayer_->Mode(); }

void MainWindow::SetEndMode(EndMode mode) {
  if (mode == GetEndMode()) return;
  if (!listPlayer_->SetMode(mode, paused_)) return;  // the heard song's file is gone: it plays on as it was
  seekRow_->SetEndMode(mode);
  settings_->SetEndMode(mode);
  emit endModeChanged(mode);
}

int MainWindow::Volume() const { return volumeSlider_->value(); }

void MainWindow::SetVolume(int position) { volumeSlider_->setValue(position); }

bool MainWindow::Muted() const { return buttons_[2]->isChecked(); }

void MainWindow::SetMuted(bool muted) {
  if (!buttons_[2]->isEnabled() || muted == Muted()) return;
  buttons_[2]->setChecked(muted);
  Command(kCommandMute);
}

bool MainWindow::ListOpen() const { return seekRow_->ListButton()->isChecked(); }

void MainWindow::SetListOpen(bool open) {
  if (seekRow_->ListButton()->isChecked() != open) {
    seekRow_->SetListOpen(open);  // comes back here through the button
    return;
  }
  listView_->setVisible(open);
  Relayout(topHeight_);
  if (open && list_->HeardRow() >= 0) listView_->scrollTo(list_->index(list_->HeardRow(), 0));
  settings_->SetListOpen(open);
}

void MainWindow::ShowInfo(std::uint32_t id) {
  infoFollows_ = id == 0;
  // The song heard is shown even when its entry has left the list (it
  // plays on); with nothing heard, the entry marked heard, else the
  // selected one.
  QByteArray path = id == 0 ? listPlayer_->HeardPath() : QByteArray();
  if (path.isEmpty()) {
    const PlaylistEntry* entry = list_->Find(id != 0 ? id : list_->Heard());
    if (entry == nullptr) {
      const QList<int> rows = listView_->SelectedRows();
      if (rows.isEmpty()) return;
      entry = &list_->At(rows.first());
    }
    path = entry->path;
  }
  info_->ShowFile(path);
  if (!info_->isVisible()) info_->move(frameGeometry().topRight() + QPoint(8, 0));
  info_->show();
  info_->raise();
}

std::uint32_t MainWindow::HeardEntry() const { return Playing() ? listPlayer_->HeardId() : 0; }

const SongInfo* MainWindow::HeardInfo() const { return Playing() ? listPlayer_->HeardInfo() : nullptr; }

std::uint64_t MainWindow::HeardFrame() const { return listPlayer_->HeardFrame(); }
