// The pattern view: a window of its own beside the player (resizable, so
// that it can fill a screen) that shows the heard song's patterns as a
// tracker does, in step with what is heard: the heard row in the middle
// with the rows before and after it, order position, pattern and row at
// the left, and per channel the cell's note, instrument, volume column and
// effect (pattern_notation.h). Above the rows, per channel, a scope of what
// that channel adds to the mix and a level bar; a click on a channel's
// header mutes it (again: unmutes it) exactly, heard at once.
//
// The view reads the patterns from a song object of its own (the playing
// song belongs to the streaming thread), the heard row from the position
// log entry of the block the device is in, and the scopes of that block,
// sixty times a second while it is shown and something plays. Drawing
// copies pre-drawn glyphs into two images (the rows, the channel headers):
// when the heard row moves on in a pattern, the rows image moves up and
// only the rows that changed are drawn; nothing is allocated per frame.
// Closed, it does nothing: no timer, and the player keeps no scopes.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "player.h"
#include "song_info.h"

class QScrollBar;

// The drawing: channel headers (number, scope, level bar) above the rows.
class PatternCanvas : public QWidget {
  Q_OBJECT

 public:
  explicit PatternCanvas(QWidget* parent);

  // The song whose patterns are shown (null: none; it stays the caller's).
  void SetSong(const Song* song);
  void SetMuted(std::uint32_t mask);
  void SetFirstChannel(int channel);
  int FirstChannel() const { return first_; }
  int Channels() const { return song_ != nullptr ? song_->module.channelCount : 0; }
  // The heard row: moves the rows and draws those that changed.
  void ShowPosition(int order, int row);
  // The scopes and levels of the heard block; null: the levels fall.
  void ShowScopes(const ChannelScopes* scopes);

  // Channels shown whole, and shown at all (the last may be cut).
  int FullyVisibleChannels() const;
  int VisibleChannels() const { return visible_; }
  // Where channel `channel`'s header is (empty when it is not shown).
  QRect HeaderRect(int channel) const;
  // Where the row `offset` rows after the heard one is drawn (empty when
  // it is not on the canvas).
  QRect RowRect(int offset) const;
  int HeardOrder() const { return song_ != nullptr ? order_ : -1; }
  int HeardRow() const { return song_ != nullptr ? row_ : -1; }
  // The text of the row `offset` rows after the heard one (before it when
  // negative), as drawn: order, pattern and row, then every channel's cell;
  // empty before the song's start and after its last order.
  QString RowText(int offset) const;
  // Frames whose scopes were drawn.
  std::uint64_t ScopeFrames() const { return scopeFrames_; }

 signals:
  void headerClicked(int channel);
  void scrollRequested(int channels);
  void layoutChanged();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  struct RowPosition {
    int order;
    int row;
    bool valid;  // a row of the song
  };
  // The rows a pattern at this order position has (0: none there).
  int RowsAt(int order) const;
  // The 13 characters of a cell (from the text cache, or made in scratch).
  const char* CellChars(int pattern, int row, int channel, char* scratch) const;
  // The display row `offset` rows from the heard one.
  RowPosition Step(RowPosition from, int offset) const;
  void BuildTextCache();
  void Relayout();
  void BuildAtlas();
  void DrawText(QImage& image, int x, int y, const char* text, int count, int style);
  void DrawRow(int index);
  void DrawAllRows();
  void DrawHeader();
  // Draws a channel's scope and level bar where they changed; false when
  // nothing did.
  bool DrawChannelScope(int slot, int channel, const ChannelScopes* scopes);
  int ChannelX(int slot) const { return gutterWidth_ + slot * columnWidth_; }
  QRect Logical(const QRect& device) const;

  const Song* song_ = nullptr;
  std::uint32_t muted_ = 0;
  int first_ = 0;
  int order_ = 0;
  int row_ = 0;
  bool rowsDirty_ = true;

  // Each pattern's cells as text, made when the song is set.
  std::vector<std::vector<char>> text_;

  // Metrics in device pixels.
  qreal ratio_ = 1;
  int charWidth_ = 8;
  int lineHeight_ = 16;
  int gutterWidth_ = 0;
  int columnWidth_ = 0;
  int headerHeight_ = 0;
  int scopeTop_ = 0;
  int scopeHeight_ = 0;
  int levelTop_ = 0;
  int levelHeight_ = 0;
  int width_ = 0;  // the canvas in device pixels
  int height_ = 0;
  int rowsTop_ = 0;  // where the rows image's first row is
  int ringTop_ = 0;  // the rows image's line of the first row shown
  int visible_ = 0;  // channel columns shown, the last maybe cut

  QImage atlas_;                          // every glyph in every style
  QImage rows_;                           // the rows, heard row in the middle
  QImage header_;                         // channel headers: numbers, scopes, level bars
  std::vector<RowPosition> positions_;    // of each row of rows_
  std::vector<std::uint8_t> scopePoint_;  // scope column -> point
  std::vector<QRgb> levelColours_;
  float levels_[kMaxChannels] = {};
  // The scopes last shown (drawn again where the header is drawn anew).
  ChannelScopes shownScopes_{};
  bool scopesShown_ = false;
  // What each channel's scope and level bar show now.
  struct Drawn {
    bool valid = false;
    bool live = false;
    int lit = 0;
    std::int8_t points[kScopePoints] = {};
  };
  Drawn drawn_[kMaxChannels];
  std::uint64_t scopeFrames_ = 0;
  int wheelRest_ = 0;  // wheel movement short of a channel
};

class PatternView : public QWidget {
  Q_OBJECT

 public:
  // pathOf gives the file of the player's song with that tag (empty: none).
  // `refresh` has a mute heard soon (PlayerRefresh where not given).
  PatternView(Player& player, std::function<QByteArray(std::uint32_t tag)> pathOf, QWidget* owner,
              std::function<void()> refresh = {});
  ~PatternView() override;

  // Follows the player: the heard song (loaded anew when another is heard),
  // its heard row, and the scopes. Sixty times a second while shown and
  // playing; once on a pause, a seek or another entry.
  void Follow();
  // What the window plays: something or nothing, paused or not.
  void SetPlaying(bool playing, bool paused);
  // Mutes or unmutes a channel of the songs the player plays, heard from a
  // few blocks after the one being heard.
  void ToggleMute(int channel);
  std::uint32_t Muted() const { return player_.mutedChannels.load(std::memory_order_acquire); }
  // Hides the view as the window closes: not a close by the user.
  void Dismiss();

  PatternCanvas* Canvas() const { return canvas_; }
  QScrollBar* ChannelScroll() const { return scroll_; }
  QTimer& FrameTimer() { return timer_; }
  const Song* ShownSong() const { return song_.get(); }
  std::uint32_t Tag() const { return tag_; }
  bool Watching() const { return player_.scopesWanted.load(std::memory_order_acquire); }

  static constexpr int kFrameInterval = 16;  // ms: sixty frames a second

  // Whether the view's window can be seen at all (the platform's word by
  // default; the tests give their own).
  void SetExposedQuery(std::function<bool()> exposed) { exposed_ = std::move(exposed); }

 signals:
  // The user closed the window.
  void closed();
  // Moved or resized (for the settings).
  void geometryMoved();

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  // Follows the window's exposure: unmapped (on another desktop, or taken
  // off the screen by the window manager) the view is not redrawn.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Load(std::uint32_t tag);
  void Unload();
  void UpdateTimer();
  void UpdateScrollRange();
  // Closed: nothing of the view goes on (no timer, no scopes, no mutes).
  void Quit();

  Player& player_;
  std::function<QByteArray(std::uint32_t)> pathOf_;
  std::function<void()> refresh_;
  PatternCanvas* canvas_ = nullptr;
  QScrollBar* scroll_ = nullptr;
  QTimer timer_;
  OwnedSong song_;
  std::uint32_t tag_ = 0;
  bool loaded_ = false;  // tag_ was looked up
  bool playing_ = false;
  bool paused_ = false;
  bool dismissing_ = false;
  bool unexposed_ = false;  // shown, but the window system says it cannot be seen
  std::function<bool()> exposed_;
  ChannelScopes scopes_{};
};
