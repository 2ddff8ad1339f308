// Zevora's one window: load/stop, pause and mute, a volume slider, the play
// time, and (when the audio service has effects) the effects panel; below
// them the seek row, and the list panel when it is open.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>

#include "device_losses.h"
#include "end_mode.h"
#include "song_info.h"
#include "sound_buffer.h"

class InfoPanel;
class ListPlayer;
class Playlist;
class PatternView;
class PlaylistView;
class QLabel;
class QSlider;
class QToolButton;
class QUrl;
class EffectsPanel;
class SeekRow;
class Settings;

// Control and command identifiers.
enum ControlId : int {
  kToolbarId = 200,
  kVolumeSliderId = 201,
  kTimeDisplayId = 202,
  kEffectOffId = 203,
  kEffectEqualizerId = 204,
  kEffectGargleId = 205,
  kCommandLoad = 300,
  kCommandStop = 301,
  kCommandPause = 302,
  kCommandMute = 303,
};

// What the window asks of the desktop; tests replace them.
struct WindowHooks {
  // The open-file dialog: a path, or empty on cancel.
  std::function<QString(QWidget* owner)> chooseFile;
  // An error box with the system's default caption.
  std::function<void(QWidget* owner, const QString& text)> showError;
  // The open-files dialog, starting in `folder`: the paths chosen, none on
  // cancel. Without it, chooseFile is asked (when set) for one file.
  std::function<QStringList(QWidget* owner, const QString& folder)> chooseFiles;
  // Where the window's settings are remembered; empty: nowhere.
  QString settingsFile;
  // Worker threads reading the list's files (0: one per core).
  int scanThreads = 0;
  // Whether the desktop tells where a window is and takes a place for it
  // (not so under Wayland); unset: as the platform is.
  std::optional<bool> placesWindows;
};

class MainWindow : public QWidget {
  Q_OBJECT

 public:
  MainWindow(SoundBuffer& buffer, bool effectsAvailable, WindowHooks hooks = {});
  ~MainWindow() override;

  // The fixed-pitch font of the time display and the effect labels.
  static QFont FixedFont();
  // Client size for the given state.
  QSize BaseSize() const { return {width_, height_}; }

  // Commands 203..205 and 300..303.
  void Command(int id);

  // What the desktop's media controls (and other views of the window) use.
  // Pause/resume; when nothing plays, the heard entry starts.
  void PlayPause();
  void Play();
  void Pause();
  void Stop() { Command(kCommandStop); }
  void Next();
  void Previous();
  // An exact seek in the heard entry (frames from the song's start), and
  // one relative to the frame heard.
  void SeekTo(std::uint64_t frame);
  void SeekBy(std::int64_t frames);
  // The first file that loads plays at once; all go into the list after
  // the heard entry (files that do not load are marked there).
  void OpenFiles(const QList<QByteArray>& paths);
  void PlayEntry(std::uint32_t id);
  EndMode GetEndMode() const;
  void SetEndMode(EndMode mode);
  // The volume slider's position, 1..100,000 (log scale, as the slider).
  int Volume() const;
  void SetVolume(int position);
  bool Muted() const;
  void SetMuted(bool muted);
  void SetListOpen(bool open);
  bool ListOpen() const;
  // Shows the info panel for an entry (0: the heard one, following it).
  void ShowInfo(std::uint32_t id = 0);
  // The pattern view (window_pattern.cpp).
  void SetPatternOpen(bool open);
  bool PatternOpen() const;

  // What is heard: the entry (0: nothing plays), its facts and frame.
  bool Playing() const { return !fileTitle_.isEmpty(); }
  std::uint32_t HeardEntry() const;
  const SongInfo* HeardInfo() const;
  std::uint64_t HeardFrame() const;
  Playlist& List() const { return *list_; }
  // Starts the file at path as a dropped file would.
  void OpenDropped(const QString& path);
  // Starts the file named by these file-system bytes (any bytes a name may
  // hold, not only UTF-8) as the open-file dialog would.
  void OpenFile(const QByteArray& path);

  // The file-system bytes of a local file URL (percent-decoded as they
  // stand, without a round trip through text), and of a path the dialog
  // gives (whose name may have been decoded lossily: the folder is then
  // searched for the entry that reads the same).
  static QByteArray UrlPathBytes(const QUrl& url);
  // Whether a URL names a file on this machine: file: with no host, or
  // localhost or this machine's name (another host's /x.xm is not ours),
  // and a path that a file can have: from the root (the window's folder is
  // not the sender's), without a NUL byte (%00 would end the name early,
  // and another file would be opened).
  static bool IsLocalFileUrl(const QUrl& url);
  static QByteArray PathBytes(const QString& path);

  // State, for the tests.
  bool Paused() const { return paused_; }
  const QString& FileTitle() const { return fileTitle_; }
  QToolButton* Button(int index) const { return buttons_[index]; }
  int ButtonCommand() const { return buttonCommand_; }
  int ButtonImage(int index) const { return buttonImages_[index]; }
  QSlider* VolumeSlider() const { return volumeSlider_; }
  QLabel* TimeDisplay() const { return timeDisplay_; }
  EffectsPanel* Effects() const { return effects_.get(); }
  QTimer& DisplayTimer() { return timer1000_; }
  QTimer& TitleTimer() { return timer1024_; }
  QTimer& FollowTimer() { return followTimer_; }
  SeekRow* SeekRowWidget() const { return seekRow_; }
  PlaylistView* ListView() const { return listView_; }
  InfoPanel* Info() const { return info_; }
  PatternView* Patterns() const { return patternView_; }
  ListPlayer& Lister() const { return *listPlayer_; }
  Settings& Remembered() const { return *settings_; }

  // Timer handlers (1000: display, 1024: title restore, follow: the heard
  // entry and frame, ten times a second while playing).
  void OnDisplayTimer();
  void OnTitleTimer();
  void OnFollowTimer();

  // "00:00:01" for 0..999 ms; hours wrap at 24.
  static QString FormatTime(std::uint32_t ms);

 signals:
  void heardEntryChanged(std::uint32_t id);
  // Playing, paused or stopped changed.
  void playbackStateChanged();
  void seeked(std::uint64_t frame);
  void endModeChanged(EndMode mode);
  void volumeChanged(int position);
  void mutedChanged(bool muted);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // Starts the entry at frame; shows it playing, or says why not.
  int StartPlayback(std::uint32_t id, std::uint64_t frame = 0);
  // Shows the heard entry playing (paused: started paused, and stays so).
  void ShowPlaying(bool paused = false);
  // Brings a lost buffer back; true when it may be played.
  bool RestoreBuffer();
  void StopView();
  void SetButtonImage(int index, int image);
  void SetButtonCommand(int command);
  void OnVolumeSlider();

  // The pieces below the original window (window_list.cpp, window_keys.cpp).
  void SetUpBelow();
  void SetUpKeys();
  void Restore();
  void Relayout(int topHeight);
  void OnHeardChanged(std::uint32_t id);
  void OnListChanged();
  void OnEffectChosen(int id);
  void OnEffectParameter(int position);
  void ShowHeardTime();
  void ChooseFiles();
  void SetUpPatternView();
  void HidePatternView();
  // Remembers the pattern view's size, and its place where there is one.
  void RememberPatternGeometry();

  SoundBuffer& buffer_;
  WindowHooks hooks_;
  int width_ = 0;
  int height_ = 0;
  QByteArray path_;
  QString fileTitle_;
  bool paused_ = false;
  DeviceLosses losses_;
  QPixmap images_[5];
  QToolButton* buttons_[3] = {};
  int buttonImages_[3] = {0, 2, 3};
  int buttonCommand_ = kCommandLoad;
  QSlider* volumeSlider_ = nullptr;
  QLabel* timeDisplay_ = nullptr;
  QTimer timer1000_;
  QTimer timer1024_;
  std::unique_ptr<EffectsPanel> effects_;

  std::unique_ptr<Settings> settings_;
  std::unique_ptr<Playlist> list_;
  std::unique_ptr<ListPlayer> listPlayer_;
  SeekRow* seekRow_ = nullptr;
  PlaylistView* listView_ = nullptr;
  InfoPanel* info_ = nullptr;
  bool infoFollows_ = false;
  bool restoring_ = false;
  QTimer followTimer_;
  int topHeight_ = 0;
  QString lastFolder_;
  PatternView* patternView_ = nullptr;
  bool patternRestored_ = false;
  std::uint32_t dragEntry_ = 0;  // the entry heard when the seek slider was pressed
};
