// The text of render's progress line: what it says, and that it fits the
// terminal's width, by the form it falls back to.
#include "progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr std::uint64_t kMinute = 60 * 44100;

struct Case {
  std::uint64_t file, files, done, total;
  double seconds;
  int width;
  const char* text;
};

TEST(ProgressText, SaysFileSpeedAndTimeLeftInTheFormThatFits) {
  const Case cases[] = {
      // 50 minutes of 100 done in 2 minutes: 25 times real time, 2 minutes left.
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 80, "file 3 of 12   50%   25.0x real time   2:00 left"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 49, "file 3 of 12   50%   25.0x real time   2:00 left"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 48, "file 3 of 12  50%  25x  2:00 left"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 34, "file 3 of 12  50%  25x  2:00 left"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 33, "3/12 50% 2:00"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 14, "3/12 50% 2:00"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 13, "50%"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 3, "50"},
      {3, 12, 50 * kMinute, 100 * kMinute, 120, 1, ""},
      // Percent rounded down; 100 % only when all is done.
      {1, 1, 999, 1000, 10, 80, "file 1 of 1   99%   0.0x real time   0:00 left"},
      {2, 2, 1000, 1000, 10, 80, "file 2 of 2   100%   0.0x real time   0:00 left"},
      {1, 1, 0, 0, 10, 80, "file 1 of 1   100%"},
      // Speed and time left only once half a second has passed with audio done.
      {1, 4, 5 * kMinute, 100 * kMinute, 0.49, 80, "file 1 of 4   5%"},
      {1, 4, 5 * kMinute, 100 * kMinute, 0.49, 10, "1/4 5%"},
      {1, 4, 0, 100 * kMinute, 3, 80, "file 1 of 4   0%"},
      // Whole multiples from 100 on; hours in the time left.
      {7, 9, 2000 * kMinute, 10000 * kMinute, 10 * 60, 80, "file 7 of 9   20%   200x real time   40:00 left"},
      {7, 9, 10 * kMinute, 100 * kMinute, 10 * 60, 80, "file 7 of 9   10%   1.0x real time   1:30:00 left"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ProgressText(c.file, c.files, c.done, c.total, c.seconds, c.width), c.text)
        << c.file << " of " << c.files << ", " << c.done << " of " << c.total << " frames in " << c.seconds
        << " s, width " << c.width;
}

}  // namespace
