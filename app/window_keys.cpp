// The window's keys. They work wherever the focus is in the window; the
// list keeps its own keys for moving through it, Enter and Delete.
#include <QKeySequence>
#include <QShortcut>
#include <QSlider>

#include "main_window.h"
#include "pattern_view.h"

namespace {

constexpr std::int64_t kSeekStep = 10 * 44100;  // frames
constexpr int kVolumeStep = 5000;               // slider positions

}  // namespace

void MainWindow::SetUpKeys() {
  // The same keys in the pattern view's window.
  auto key = [this](const QKeySequence& sequence, auto action) {
    for (QWidget* window : {static_cast<QWidget*>(this), static_cast<QWidget*>(patternView_)}) {
      auto* shortcut = new QShortcut(sequence, window);
      shortcut->setContext(Qt::WindowShortcut);
      shortcut->setAutoRepeat(true);
      connect(shortcut, &QShortcut::activated, this, action);
    }
  };
  key(QKeySequence(Qt::Key_Space), [this] { PlayPause(); });
  key(QKeySequence(Qt::Key_Left), [this] { SeekBy(-kSeekStep); });
  key(QKeySequence(Qt::Key_Right), [this] { SeekBy(kSeekStep); });
  key(QKeySequence(Qt::CTRL | Qt::Key_O), [this] { ChooseFiles(); });
  key(QKeySequence(Qt::Key_N), [this] { Next(); });
  key(QKeySequence(Qt::Key_P), [this] { Previous(); });
  key(QKeySequence(Qt::Key_M), [this] { SetMuted(!Muted()); });
  // The slider takes the keys only while it is in use (something plays).
  key(QKeySequence(Qt::Key_Up), [this] {
    if (volumeSlider_->isEnabled()) SetVolume(std::min(volumeSlider_->maximum(), Volume() + kVolumeStep));
  });
  key(QKeySequence(Qt::Key_Down), [this] {
    if (volumeSlider_->isEnabled()) SetVolume(std::max(volumeSlider_->minimum(), Volume() - kVolumeStep));
  });
  key(QKeySequence(Qt::Key_R), [this] { SetEndMode(NextEndMode(GetEndMode())); });
  key(QKeySequence(Qt::Key_L), [this] { SetListOpen(!ListOpen()); });
  key(QKeySequence(Qt::Key_I), [this] { ShowInfo(); });
  key(QKeySequence(Qt::Key_V), [this] { SetPatternOpen(!PatternOpen()); });
  key(QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
}
