// The window's pattern view: a window of its own, opened and closed from
// the seek row's button, the V key or `zevora --view pattern`, and
// remembered, open or not and where, in the settings.
#include <QGuiApplication>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolButton>

#include "list_player.h"
#include "main_window.h"
#include "pattern_view.h"
#include "player.h"
#include "playlist.h"
#include "seek_row.h"
#include "settings.h"

namespace {
constexpr int kGeometryDelay = 500;  // ms after the last move or resize
// Remembered where the desktop gives no place: one on no screen, so that
// where places are taken the view opens below the window, with its size.
constexpr QPoint kNoPlace(-65536, -65536);

// Whether enough of a window at `geometry` is on one of the screens there
// are now to be seen and taken hold of: a place remembered on a screen
// that has gone (a monitor unplugged) is not.
bool OnAScreen(const QRect& geometry) {
  const QList<QScreen*> screens = QGuiApplication::screens();
  if (screens.isEmpty()) return true;  // nothing to go by
  for (const QScreen* screen : screens) {
    const QRect seen = screen->availableGeometry().intersected(geometry);
    if (seen.width() >= 64 && seen.height() >= 32) return true;
  }
  return false;
}
}  // namespace

void MainWindow::SetUpPatternView() {
  patternView_ = new PatternView(
      DefaultPlayer(),
      [this](std::uint32_t tag) {
        // The player's tags are the list's entry ids. A song handed to the
        // player plays on after its entry has left the list, and is shown.
        QByteArray path = listPlayer_->PathOf(tag);
        if (path.isEmpty())
          if (const PlaylistEntry* entry = list_->Find(tag)) path = entry->path;
        return path;
      },
      this, [this] { listPlayer_->Refresh(paused_); });
  const RememberedState& r = settings_->State();
  if (!r.patternGeometry.isNull()) {
    // No larger than the screens there are now together: a size remembered
    // past them (a file edited by hand) would take memory for every pixel.
    QRect place = r.patternGeometry;
    QRect screens;
    for (const QScreen* screen : QGuiApplication::screens()) screens |= screen->availableGeometry();
    if (!screens.isEmpty()) place.setSize(place.size().boundedTo(screens.size()));
    patternView_->setGeometry(place);
  }
  {
    const QSignalBlocker quiet(seekRow_);
    seekRow_->SetPatternOpen(r.patternOpen);
  }
  // A place or size is written once the moving or resizing has ended.
  auto* remember = new QTimer(patternView_);
  remember->setSingleShot(true);
  remember->setInterval(kGeometryDelay);
  connect(remember, &QTimer::timeout, this, [this] {
    if (patternView_->isVisible()) RememberPatternGeometry();
  });
  connect(patternView_, &PatternView::geometryMoved, remember, qOverload<>(&QTimer::start));
  connect(patternView_, &PatternView::closed, this, [this] { SetPatternOpen(false); });
  connect(seekRow_, &SeekRow::patternToggled, this, &MainWindow::SetPatternOpen);
  connect(this, &MainWindow::playbackStateChanged, patternView_,
          [this] { patternView_->SetPlaying(Playing(), paused_); });
  connect(this, &MainWindow::seeked, patternView_, &PatternView::Follow);
  connect(this, &MainWindow::heardEntryChanged, patternView_, &PatternView::Follow);
}

bool MainWindow::PatternOpen() const { return seekRow_->PatternButton()->isChecked(); }

void MainWindow::SetPatternOpen(bool open) {
  if (PatternOpen() != open) {
    seekRow_->SetPatternOpen(open);  // comes back here through the button
    return;
  }
  settings_->SetPatternOpen(open);
  if (!open) {
    if (patternView_->isVisible()) RememberPatternGeometry();
    patternView_->hide();
    return;
  }
  patternView_->SetPlaying(Playing(), paused_);
  if (!patternView_->isVisible() &&
      (settings_->State().patternGeometry.isNull() || !OnAScreen(patternView_->geometry()))) {
    // The first time (or where the place remembered is on no screen now):
    // below the window, on its screen.
    QPoint at = frameGeometry().bottomLeft() + QPoint(0, 8);
    if (const QScreen* screen = this->screen()) {
      const QRect area = screen->availableGeometry();
      at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - patternView_->width())));
      at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - patternView_->height())));
    }
    patternView_->move(at);
  }
  patternView_->show();
  patternView_->raise();
}

void MainWindow::RememberPatternGeometry() {
  QRect shown = patternView_->geometry();
  const bool placed =
      hooks_.placesWindows.value_or(!QGuiApplication::platformName().startsWith(QLatin1String("wayland")));
  if (!placed) {
    // Under Wayland a window's place is neither told nor taken (the view
    // reads as being at 0,0): only the size is news, and the place last
    // remembered where there were places stays.
    const QRect remembered = settings_->State().patternGeometry;
    shown.moveTopLeft(remembered.isNull() ? kNoPlace : remembered.topLeft());
  }
  settings_->SetPatternGeometry(shown);
}

void MainWindow::HidePatternView() {
  // The window closes: the view goes with it and opens again next time.
  if (patternView_->isVisible()) RememberPatternGeometry();
  patternView_->Dismiss();
}

void MainWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (patternRestored_) return;
  patternRestored_ = true;
  if (PatternOpen()) SetPatternOpen(true);
}
