// Zevora's one window: load/stop, pause and mute, a volume slider, the play
// time, and (when the audio service has effects) the effects panel.
#pragma once

#include <QFont>
#include <QPixmap>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "sound_buffer.h"

class QLabel;
class QSlider;
class QToolButton;
class QUrl;
class EffectsPanel;

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

  // Timer handlers (1000: display, 1024: title restore).
  void OnDisplayTimer();
  void OnTitleTimer();

  // "00:00:01" for 0..999 ms; hours wrap at 24.
  static QString FormatTime(std::uint32_t ms);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  bool StartPlayback(const QByteArray& path);
  // Brings a lost buffer back; true when it may be played.
  bool RestoreBuffer();
  void StopView();
  void SetButtonImage(int index, int image);
  void SetButtonCommand(int command);
  void OnVolumeSlider();

  SoundBuffer& buffer_;
  WindowHooks hooks_;
  int width_ = 0;
  int height_ = 0;
  QByteArray path_;
  QString fileTitle_;
  bool paused_ = false;
  QPixmap images_[5];
  QToolButton* buttons_[3] = {};
  int buttonImages_[3] = {0, 2, 3};
  int buttonCommand_ = kCommandLoad;
  QSlider* volumeSlider_ = nullptr;
  QLabel* timeDisplay_ = nullptr;
  QTimer timer1000_;
  QTimer timer1024_;
  std::unique_ptr<EffectsPanel> effects_;
};
