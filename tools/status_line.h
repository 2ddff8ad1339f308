// The status line zevora-cli play keeps on a terminal, fitted to the
// terminal's width, and the text it shows for a file's name.
#pragma once

#include <chrono>
#include <string>

struct StatusLine {
  std::string counter;   // "[2/5]"
  std::string title;     // text that is safe on a terminal, UTF-8
  std::string time;      // "0:03.000"
  std::string duration;  // "1:37.920", or what stands for none
  std::string position;  // "ord   3 row  16"
  bool paused = false;
  std::string meter;  // "L ####------ R ###-------"
};

// The line in at most columns - 1 columns (a terminal wraps when its last
// column is written): all of it where it fits; else without the meter; then
// with the title shortened (never inside a character) to as few as 8
// columns; then without the order and row, the title down to 1 column;
// then without the title, the file counter and the duration, in this
// order; at last cut. A width of 0 (unknown) is taken as 80.
std::string FitStatusLine(const StatusLine& line, int columns);

// The columns a UTF-8 text takes on a terminal (wide characters two,
// combining marks none).
int TextColumns(const std::string& utf8);

// A file's base name as a terminal shows it: read as UTF-8 where its bytes
// are valid UTF-8, else each byte as Latin-1 (as module names are);
// control characters (C0, DEL, C1) as '?'.
std::string FileDisplayName(const std::string& path);

// Decides when the status line is written out: every time while playing
// (it moves), but while paused an unchanged line only once a second (to
// mend what other output may have written over it), so that a paused
// player does not have the terminal redraw the same line ten times a
// second. Forget() after anything else was written on the line.
class StatusWriter {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kPausedRefresh{1};

  // Whether `text` is to be written now; when it is, it is taken as shown.
  bool Due(const std::string& text, bool paused, Clock::time_point now);
  void Forget() { shown_.clear(); }

 private:
  std::string shown_;
  Clock::time_point shownAt_{};
};
