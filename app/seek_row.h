// The seek row: a slider across the window over the heard song's one pass
// (its first 10 minutes when it has no end), "m:ss / m:ss" (heard position
// / duration), and the buttons of the song end mode, the info panel, the
// pattern view and the list. A click or a drag on the slider asks for a seek to that frame.
#pragma once

#include <QSlider>
#include <QWidget>
#include <cstdint>

#include "end_mode.h"
#include "song_info.h"

class QLabel;
class QToolButton;

// A slider that goes to where it is clicked (and is dragged from there).
class SeekSlider : public QSlider {
  Q_OBJECT

 public:
  using QSlider::QSlider;
  // The slider position a click at x gives.
  int ValueAt(int x) const;

 protected:
  void mousePressEvent(QMouseEvent* event) override;
};

class SeekRow : public QWidget {
  Q_OBJECT

 public:
  SeekRow(QWidget* parent, int width);

  // The song heard (null: none); frames the slider covers.
  void SetSong(const SongInfo* info);
  // The song frame heard (counted from the song's start, loops included).
  void SetHeard(std::uint64_t frame);
  void SetEndMode(EndMode mode);
  void SetListOpen(bool open);
  void SetPatternOpen(bool open);

  std::uint64_t Span() const { return span_; }
  // The song frame a slider position stands for.
  std::uint64_t FrameAt(int value) const;
  SeekSlider* Slider() const { return slider_; }
  QLabel* Label() const { return label_; }
  QToolButton* EndModeButton() const { return modeButton_; }
  QToolButton* InfoButton() const { return infoButton_; }
  QToolButton* ListButton() const { return listButton_; }
  QToolButton* PatternButton() const { return patternButton_; }

  static constexpr int kHeight = 52;

 signals:
  void seekRequested(std::uint64_t frame);
  void endModeClicked();
  void infoClicked();
  void listToggled(bool open);
  void patternToggled(bool open);

 private:
  void ShowLabel(std::uint64_t position);

  SeekSlider* slider_ = nullptr;
  QLabel* label_ = nullptr;
  QToolButton* modeButton_ = nullptr;
  QToolButton* infoButton_ = nullptr;
  QToolButton* listButton_ = nullptr;
  QToolButton* patternButton_ = nullptr;
  std::uint64_t span_ = 0;
  bool hasEnd_ = true;
  const SongInfo* info_ = nullptr;
  SongInfo shown_;
};
