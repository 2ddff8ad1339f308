// The effects panel: "Off", "Equalizer" and "Gargle", and one parameter
// slider (the equalizer's gain at 80 Hz, or the gargle's rate).
#pragma once

#include <QObject>

#include "effects.h"
#include "sound_buffer.h"

class QLabel;
class QRadioButton;
class QSlider;
class QWidget;

class EffectsPanel : public QObject {
  Q_OBJECT

 public:
  // Creates the controls in window; isPlaying tells whether a chosen module
  // plays (the buffer is stopped around an effect change then).
  EffectsPanel(QWidget& window, SoundBuffer& buffer, int windowWidth, std::function<bool()> isPlaying,
               std::function<void(int height)> resize, int baseHeight);

  // Command 203, 204 or 205.
  void ChooseEffect(int button);
  // The parameter slider moved to position p.
  void EffectParameter(int position);

  // The window's width that holds the panel (more than asked for where a
  // large font needs it).
  int Width() const { return width_; }
  int Chosen() const { return chosen_; }
  bool HasParameterInterface() const { return eq_ != nullptr || gargle_ != nullptr; }
  QRadioButton* Choice(int button) const;
  QSlider* Slider() const { return slider_; }
  QLabel* LeftLabel() const { return left_; }
  QLabel* RightLabel() const { return right_; }

 signals:
  // An effect was chosen (command 203..205), its parameter moved.
  void effectChosen(int button);
  void parameterChanged(int position);

 protected:
  // A control reached with Tab keeps its own keys (Space chooses, the
  // arrows move the slider); otherwise they are the window's.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ShowParameterRow(bool shown);
  SoundBuffer& buffer_;
  std::function<bool()> isPlaying_;
  std::function<void(int)> resize_;
  int baseHeight_;
  int width_ = 0;
  int chosen_ = 203;
  IDirectSoundFXParamEq* eq_ = nullptr;  // owned by the buffer
  IDirectSoundFXGargle* gargle_ = nullptr;
  QRadioButton* off_ = nullptr;
  QRadioButton* equalizer_ = nullptr;
  QRadioButton* gargleButton_ = nullptr;
  QLabel* left_ = nullptr;
  QSlider* slider_ = nullptr;
  QLabel* right_ = nullptr;
  QObject* tabbedTo_ = nullptr;  // the control that has the focus from Tab
};
