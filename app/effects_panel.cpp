#include "effects_panel.h"

#include <QFocusEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <algorithm>

#include "main_window.h"

EffectsPanel::EffectsPanel(QWidget& window, SoundBuffer& buffer, int windowWidth, std::function<bool()> isPlaying,
                           std::function<void(int)> resize, int baseHeight)
    : QObject(&window),
      buffer_(buffer),
      isPlaying_(std::move(isPlaying)),
      resize_(std::move(resize)),
      baseHeight_(baseHeight) {
  auto* separator = new QFrame(&window);
  separator->setObjectName("separator");
  separator->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  separator->setGeometry(0, 32, windowWidth, 1);

  // The choices are checked by the panel itself, never by a click alone.
  auto choice = [&](const char* text, const char* name, int id, QRect rect) {
    auto* button = new QRadioButton(QString::fromLatin1(text), &window);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoExclusive(false);
    button->setGeometry(rect);
    connect(button, &QRadioButton::clicked, this, [this, id] { ChooseEffect(id); });
    return button;
  };
  off_ = choice("Off", "effectOff", kEffectOffId, {6, 40, 62, 16});
  off_->setChecked(true);
  equalizer_ = choice("Equalizer", "effectEqualizer", kEffectEqualizerId, {68, 40, 108, 16});
  gargleButton_ = choice("Gargle", "effectGargle", kEffectGargleId, {174, 40, 76, 16});
  // A larger desktop font widens (and heightens, up to the panel's band)
  // each choice to fit its text, moving the ones after it along; the window
  // grows to hold them. Where they fit, they stand as above.
  int right = 0;
  for (QRadioButton* button : {off_, equalizer_, gargleButton_}) {
    button->ensurePolished();
    const QSize hint = button->sizeHint();
    QRect rect = button->geometry();
    rect.moveLeft(std::max(rect.left(), right));
    rect.setWidth(std::max(rect.width(), hint.width()));
    if (hint.height() > rect.height()) {
      const int height = std::min(hint.height(), 28);
      rect = QRect(rect.left(), 48 - height / 2, rect.width(), height);
    }
    button->setGeometry(rect);
    right = rect.left() + rect.width();
  }
  width_ = std::max(windowWidth, right + 6);
  separator->setGeometry(0, 32, width_, 1);

  // The parameter row: a label at each end of the slider, in the fixed font.
  auto label = [&](const char* name, QRect rect, Qt::Alignment alignment) {
    auto* text = new QLabel(&window);
    text->setObjectName(QString::fromLatin1(name));
    text->setGeometry(rect);
    text->setAlignment(alignment | Qt::AlignVCenter);
    text->setTextFormat(Qt::PlainText);
    text->setFont(MainWindow::FixedFont());
    return text;
  };
  left_ = label("effectLeftLabel", {8, 62, 50, 22}, Qt::AlignRight);
  slider_ = new QSlider(Qt::Horizontal, &window);
  slider_->setObjectName("effectSlider");
  slider_->setGeometry(58, 62, 132, 22);
  slider_->setTickPosition(QSlider::NoTicks);
  connect(slider_, &QSlider::valueChanged, this, &EffectsPanel::EffectParameter);
  right_ = label("effectRightLabel", {190, 62, 66, 22}, Qt::AlignLeft);
  ShowParameterRow(false);  // until an effect with a parameter is chosen
  for (QObject* control : {static_cast<QObject*>(off_), static_cast<QObject*>(equalizer_),
                           static_cast<QObject*>(gargleButton_), static_cast<QObject*>(slider_)})
    control->installEventFilter(this);
}

// The window's keys work wherever the focus is, but a keyboard user who
// goes to a choice or the slider with Tab uses it with its own keys; one
// that has the focus otherwise (the window's first control when it opens,
// a click) leaves them to the window.
bool EffectsPanel::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::FocusIn: {
      const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
      tabbedTo_ = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ? watched : nullptr;
      break;
    }
    case QEvent::FocusOut:
      if (tabbedTo_ == watched) tabbedTo_ = nullptr;
      break;
    case QEvent::ShortcutOverride: {
      if (tabbedTo_ != watched) break;
      const auto* key = static_cast<QKeyEvent*>(event);
      if ((key->modifiers() & ~Qt::KeypadModifier) != 0) break;
      const bool own = watched == slider_ ? key->key() == Qt::Key_Left || key->key() == Qt::Key_Right ||
                                                key->key() == Qt::Key_Up || key->key() == Qt::Key_Down
                                          : key->key() == Qt::Key_Space;
      if (own) {
        event->accept();
        return true;
      }
      break;
    }
    default: break;
  }
  return QObject::eventFilter(watched, event);
}

// Without a parameter the row is below the window's edge, where the seek
// row stands: it must not show through.
void EffectsPanel::ShowParameterRow(bool shown) {
  for (QWidget* widget : {static_cast<QWidget*>(slider_), static_cast<QWidget*>(left_), static_cast<QWidget*>(right_)})
    widget->setVisible(shown);
}

QRadioButton* EffectsPanel::Choice(int button) const {
  switch (button) {
    case kEffectOffId: return off_;
    case kEffectEqualizerId: return equalizer_;
    case kEffectGargleId: return gargleButton_;
    default: return nullptr;
  }
}

void EffectsPanel::ChooseEffect(int button) {
  int height = baseHeight_;
  const bool playing = isPlaying_();
  if (playing) buffer_.Stop();
  off_->setChecked(false);
  equalizer_->setChecked(false);
  gargleButton_->setChecked(false);
  eq_ = nullptr;
  gargle_ = nullptr;
  buffer_.SetFX(0, nullptr, nullptr);
  chosen_ = button;

  // Installs the effect and, when it offers one, takes its parameter
  // interface and shows the parameter row.
  auto install = [&](const GUID& cls, const GUID& iid, QRadioButton* check, int low, int high, int page, int position,
                     const char* leftText, const char* rightText) -> void* {
    DSEFFECTDESC desc{32, 0, cls, 0, 0};
    std::uint32_t result = 0;
    if (buffer_.SetFX(1, &desc, &result) < 0) {
      off_->setChecked(true);
      return nullptr;
    }
    check->setChecked(true);
    void* object = nullptr;
    if (buffer_.GetObjectInPath(cls, 0, iid, &object) < 0 || object == nullptr) return nullptr;
    const QSignalBlocker quiet(slider_);  // the position set here is not applied
    slider_->setRange(low, high);
    slider_->setPageStep(page);
    slider_->setValue(position);
    slider_->setAccessibleName(check == equalizer_ ? QStringLiteral("Equalizer gain") : QStringLiteral("Gargle rate"));
    left_->setText(QString::fromLatin1(leftText));
    right_->setText(QString::fromLatin1(rightText));
    height += 28;
    return object;
  };
  if (button == kEffectEqualizerId) {
    eq_ = static_cast<IDirectSoundFXParamEq*>(
        install(GUID_DSFX_STANDARD_PARAMEQ, IID_IDirectSoundFXParamEq, equalizer_, 0, 30, 5, 15, "-15dB", "+15dB"));
  } else if (button == kEffectGargleId) {
    gargle_ = static_cast<IDirectSoundFXGargle*>(
        install(GUID_DSFX_STANDARD_GARGLE, IID_IDirectSoundFXGargle, gargleButton_, 1, 1000, 100, 20, "1Hz", "1KHz"));
  } else {
    off_->setChecked(true);
  }
  if (playing) buffer_.Play(0, 0, DSBPLAY_LOOPING);
  ShowParameterRow(height != baseHeight_);
  resize_(height);
  emit effectChosen(chosen_);
}

void EffectsPanel::EffectParameter(int position) {
  if (chosen_ == kEffectEqualizerId && eq_ != nullptr) {
    const DSFXParamEq params{80.0f, 12.0f, static_cast<float>(position - 15)};
    eq_->SetAllParameters(&params);
  } else if (chosen_ == kEffectGargleId && gargle_ != nullptr) {
    const DSFXGargle params{static_cast<std::uint32_t>(position), 0};
    gargle_->SetAllParameters(&params);
  }
  emit parameterChanged(position);
}
