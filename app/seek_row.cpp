#include "seek_row.h"

#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QToolButton>

#include "icons.h"
#include "main_window.h"

namespace {
constexpr int kButtons = 4;  // song end mode, info, pattern view, list
}

int SeekSlider::ValueAt(int x) const {
  QStyleOptionSlider option;
  initStyleOption(&option);
  const QRect groove = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderGroove, this);
  const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
  const int length = groove.width() - handle.width();
  return QStyle::sliderValueFromPosition(minimum(), maximum(), x - groove.x() - handle.width() / 2, length);
}

void SeekSlider::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    QStyleOptionSlider option;
    initStyleOption(&option);
    const QRect handle = style()->subControlRect(QStyle::CC_Slider, &option, QStyle::SC_SliderHandle, this);
    // The handle comes to the click and is held from there: a click is a
    // drag that does not move.
    if (!handle.contains(event->position().toPoint())) setValue(ValueAt(event->position().toPoint().x()));
  }
  QSlider::mousePressEvent(event);
}

SeekRow::SeekRow(QWidget* parent, int width) : QWidget(parent) {
  setObjectName(QStringLiteral("seekRow"));
  resize(width, kHeight);
  auto* separator = new QFrame(this);
  separator->setObjectName(QStringLiteral("seekSeparator"));
  separator->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  separator->setGeometry(0, 0, width, 2);

  slider_ = new SeekSlider(Qt::Horizontal, this);
  slider_->setObjectName(QStringLiteral("seekSlider"));
  slider_->setGeometry(4, 4, width - 8, 22);
  slider_->setFocusPolicy(Qt::NoFocus);
  slider_->setTracking(true);
  // One step a pixel: the handle moves (and is drawn again) only when it
  // would show.
  slider_->setRange(0, width - 8);
  slider_->setPageStep(0);
  slider_->setEnabled(false);
  slider_->setToolTip(QStringLiteral("Position: click or drag (Left/Right: 10 s back/forward)"));
  slider_->setAccessibleName(QStringLiteral("Position"));
  connect(slider_, &QSlider::sliderMoved, this, [this](int value) { ShowLabel(FrameAt(value)); });
  connect(slider_, &QSlider::sliderReleased, this, [this] { emit seekRequested(FrameAt(slider_->value())); });

  label_ = new QLabel(this);
  label_->setObjectName(QStringLiteral("seekLabel"));
  label_->setTextFormat(Qt::PlainText);
  label_->setFont(MainWindow::FixedFont());
  label_->setGeometry(8, 28, width - 8 - kButtons * 23 - 8, 22);
  label_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  // The buttons show only an image; each gets a name a screen reader reads
  // (the song end button's is its text, the mode).
  auto button = [&](const char* name, int index) {
    auto* b = new QToolButton(this);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(width - 4 - 23 * (kButtons - index), 28, 23, 22);
    b->setAutoRaise(true);
    b->setIconSize(QSize(16, 15));
    b->setFocusPolicy(Qt::NoFocus);
    return b;
  };
  modeButton_ = button("endModeButton", 0);
  connect(modeButton_, &QToolButton::clicked, this, &SeekRow::endModeClicked);
  infoButton_ = button("infoButton", 1);
  infoButton_->setIcon(IconPixmap(Icon::kInfo));
  infoButton_->setToolTip(QStringLiteral("Module info (I)"));
  infoButton_->setAccessibleName(QStringLiteral("Module info"));
  connect(infoButton_, &QToolButton::clicked, this, &SeekRow::infoClicked);
  patternButton_ = button("patternButton", 2);
  patternButton_->setIcon(IconPixmap(Icon::kPattern));
  patternButton_->setCheckable(true);
  patternButton_->setToolTip(QStringLiteral("Pattern view (V)"));
  patternButton_->setAccessibleName(QStringLiteral("Pattern view"));
  connect(patternButton_, &QToolButton::toggled, this, &SeekRow::patternToggled);
  listButton_ = button("listButton", 3);
  listButton_->setIcon(IconPixmap(Icon::kList));
  listButton_->setCheckable(true);
  listButton_->setToolTip(QStringLiteral("List (L)"));
  listButton_->setAccessibleName(QStringLiteral("List"));
  connect(listButton_, &QToolButton::toggled, this, &SeekRow::listToggled);
  SetEndMode(EndMode::kRepeatSong);
  SetSong(nullptr);
}

std::uint64_t SeekRow::FrameAt(int value) const {
  const int steps = slider_->maximum();
  if (steps <= 0 || value <= 0) return 0;
  return span_ * static_cast<std::uint64_t>(value) / static_cast<std::uint64_t>(steps);
}

void SeekRow::SetSong(const SongInfo* info) {
  if (info != nullptr) shown_ = *info;
  info_ = info != nullptr ? &shown_ : nullptr;
  span_ = info != nullptr ? info->OnePass() : 0;
  hasEnd_ = info == nullptr || info->hasEnd;
  slider_->setEnabled(info != nullptr);
  slider_->setToolTip(hasEnd_ ? QStringLiteral("Position: click or drag (Left/Right: 10 s back/forward)")
                              : QStringLiteral("No end found: the slider covers the first 10 minutes"));
  if (!slider_->isSliderDown()) slider_->setValue(0);
  ShowLabel(0);
}

void SeekRow::SetHeard(std::uint64_t frame) {
  if (info_ == nullptr) return;
  const std::uint64_t position = PassPosition(*info_, frame);
  if (slider_->isSliderDown()) return;  // the label shows where the drag would go
  const int steps = slider_->maximum();
  slider_->setValue(span_ == 0 ? 0 : static_cast<int>(position * static_cast<std::uint64_t>(steps) / span_));
  ShowLabel(position);
}

void SeekRow::ShowLabel(std::uint64_t position) {
  QString text = FormatMinutes(position) + QStringLiteral(" / ") + FormatMinutes(span_);
  if (!hasEnd_) text += QStringLiteral(" no end");
  if (label_->text() != text) label_->setText(text);
}

void SeekRow::SetEndMode(EndMode mode) {
  static const Icon icons[] = {Icon::kRepeatSong, Icon::kPlayList, Icon::kRepeatList};
  modeButton_->setIcon(IconPixmap(icons[static_cast<int>(mode)]));
  modeButton_->setText(EndModeName(mode));
  modeButton_->setToolTip(
      QStringLiteral("At the song's end: %1 (R: %2)").arg(EndModeName(mode), EndModeName(NextEndMode(mode))));
}

void SeekRow::SetListOpen(bool open) { listButton_->setChecked(open); }

void SeekRow::SetPatternOpen(bool open) { patternButton_->setChecked(open); }
