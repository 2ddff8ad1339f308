#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "stop_signals.h"

namespace {

std::mutex console;      // standard error, between threads
bool lineShown = false;  // a progress line stands on the terminal's last line
constexpr std::int64_t kUpdateNs = 200'000'000;
constexpr double kSpeedAfterSeconds = 0.5;  // the speed of a shorter time says little

void Put(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stderr); }

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

std::string TimeText(double seconds) {
  const auto s = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
  return text;
}

}  // namespace

void Say(const char* format, ...) {
  char buffer[1024];
  std::va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  std::string line;
  if (n >= static_cast<int>(sizeof buffer)) {
    line.resize(static_cast<std::size_t>(n) + 1);
    va_start(args, format);
    std::vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    line.pop_back();
  } else if (n > 0) {
    line.assign(buffer, static_cast<std::size_t>(n));
  }
  line += '\n';
  const std::lock_guard<std::mutex> lock(console);
  if (lineShown) line.insert(0, "\r\x1b[K");
  lineShown = false;
  Put(line);
}

std::string ProgressText(std::uint64_t file, std::uint64_t files, std::uint64_t done, std::uint64_t total,
                         double seconds, int width) {
  const unsigned long long k = file, n = files;
  const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(done >= total ? 100 : done * 100 / total);
  const bool timed = seconds >= kSpeedAfterSeconds && done > 0;
  const double speed = timed ? static_cast<double>(done) / 44100.0 / seconds : 0;
  const std::string left =
      timed ? TimeText(static_cast<double>(total > done ? total - done : 0) / 44100.0 / speed) : "";
  char a[160], b[160], c[160], d[16];
  if (timed) {
    std::snprintf(a, sizeof a, "file %llu of %llu   %u%%   %.*fx real time   %s left", k, n, percent,
                  speed < 100 ? 1 : 0, speed, left.c_str());
    std::snprintf(b, sizeof b, "file %llu of %llu  %u%%  %.0fx  %s left", k, n, percent, speed, left.c_str());
    std::snprintf(c, sizeof c, "%llu/%llu %u%% %s", k, n, percent, left.c_str());
  } else {
    std::snprintf(a, sizeof a, "file %llu of %llu   %u%%", k, n, percent);
    std::snprintf(b, sizeof b, "%s", a);
    std::snprintf(c, sizeof c, "%llu/%llu %u%%", k, n, percent);
  }
  std::snprintf(d, sizeof d, "%u%%", percent);
  const auto room = static_cast<std::size_t>(width > 1 ? width - 1 : 0);
  for (const char* text : {a, b, c, d})
    if (std::string(text).size() <= room) return text;
  return std::string(d).substr(0, room);
}

ProgressLine::ProgressLine(bool wanted) : shown_(wanted && ::isatty(STDERR_FILENO)), start_(Clock::now()) {
  next_ = Now() + kUpdateNs;
  if (shown_) ClearLineOnStopSignal(STDERR_FILENO);
}

ProgressLine::~ProgressLine() { Clear(); }

void ProgressLine::Reading(std::uint64_t files) { files_ = files; }

void ProgressLine::Rendering(std::uint64_t files, std::uint64_t frames) {
  files_ = files;
  total_ = frames;
  start_ = Clock::now();
  rendering_ = true;
}

void ProgressLine::Tick() {
  if (!shown_) return;
  const std::int64_t now = Now();
  std::int64_t due = next_.load(std::memory_order_relaxed);
  if (now < due || !next_.compare_exchange_strong(due, now + kUpdateNs)) return;
  std::string text;
  const int width = TerminalWidth();
  if (rendering_) {
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const std::uint64_t started = started_.load(std::memory_order_relaxed);
    text =
        ProgressText(started == 0 ? 1 : started, files_, done_.load(std::memory_order_relaxed), total_, seconds, width);
  } else {
    char reading[96];
    std::snprintf(reading, sizeof reading, "reading file %llu of %llu",
                  static_cast<unsigned long long>(read_.load(std::memory_order_relaxed)),
                  static_cast<unsigned long long>(files_));
    text = std::string(reading).substr(0, static_cast<std::size_t>(width > 1 ? width - 1 : 0));
  }
  const std::lock_guard<std::mutex> lock(console);
  Put("\r" + text + "\x1b[K");
  lineShown = true;
}

void ProgressLine::Clear() {
  if (!shown_) return;
  const std::lock_guard<std::mutex> lock(console);
  if (lineShown) Put("\r\x1b[K");
  lineShown = false;
}
