// Reading zevora-cli's option values. Every value is checked in full: a
// finite number within the option's range, a whole number where a count is
// meant; a bad value gets one line on standard error naming the option.
#pragma once

#include <cstdint>

// Parses text as a number from low to high (whole: no fraction allowed).
// On a bad value prints "zevora-cli: OPTION takes ..." and returns false.
bool ParseNumberOption(const char* option, const char* text, double low, double high, bool whole, double& value);

// A time of the song: seconds ("83.5") or minutes and seconds ("1:23.500"),
// from 0 to high seconds.
bool ParseTimeOption(const char* option, const char* text, double high, double& seconds);

// "ORDER:ROW", each a whole number from 0 to 255.
bool ParseRowOption(const char* option, const char* text, std::int32_t& order, std::int32_t& row);

// Frames in a number of seconds at 44,100 Hz, halves rounded up.
std::uint64_t SecondsToFrames(double seconds);
