// zevora-cli's messages on standard error, and the progress line render
// shows on a terminal. Any thread may write either: a message never cuts
// into the progress line, which steps aside for it and comes back at its
// next update.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

// One line on standard error, the newline added, written in one piece.
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The progress line's text for a terminal `width` columns wide: file k of
// n, the percent of the audio done, the speed as a multiple of real time
// and the time left (the last two once `seconds` have passed with some
// audio done). Shorter forms where the longest does not fit, cut at width
// - 1 at worst (a line as long as the terminal is wide would wrap on some).
std::string ProgressText(std::uint64_t file, std::uint64_t files, std::uint64_t done, std::uint64_t total,
                         double seconds, int width);

// The progress line of one render, of one file or of a whole batch. It is
// shown only when standard error is a terminal and `wanted`; it is updated
// at most five times a second, first 0.2 s after it starts (a render over
// by then shows nothing), rewritten in place and cleared at the end (also
// when a stop signal ends the program).
class ProgressLine {
 public:
  explicit ProgressLine(bool wanted);
  ~ProgressLine();  // clears it
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // While the inputs are read before rendering: file k of n read.
  void Reading(std::uint64_t files);
  void FileRead() { read_.fetch_add(1, std::memory_order_relaxed); }
  // The render: n files (outputs) of `frames` frames all told.
  void Rendering(std::uint64_t files, std::uint64_t frames);
  void FileStarted() { started_.fetch_add(1, std::memory_order_relaxed); }
  void Add(std::uint64_t frames) { done_.fetch_add(frames, std::memory_order_relaxed); }
  // Draws the line where an update is due; from the thread that made it.
  void Tick();
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool shown_;
  bool rendering_ = false;
  std::uint64_t files_ = 0;
  std::uint64_t total_ = 0;
  std::atomic<std::uint64_t> read_{0};
  std::atomic<std::uint64_t> started_{0};
  std::atomic<std::uint64_t> done_{0};
  Clock::time_point start_;
  std::atomic<std::int64_t> next_{0};  // ns since start_ of the next update
};
