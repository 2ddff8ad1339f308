#include "cli_options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "module_json.h"

namespace {

// strtod accepts "nan", "inf" and hexadecimal floats; only plain decimal
// numbers are taken here.
bool PlainDecimal(const char* text) {
  if (*text == '\0') return false;
  for (const char* p = text; *p; ++p)
    if (std::strchr("0123456789.+-eE", *p) == nullptr) return false;
  return true;
}

bool ParseFinite(const char* text, double& value) {
  if (!PlainDecimal(text)) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

void Refuse(const char* option, const char* text, const char* what) {
  std::fprintf(stderr, "zevora-cli: %s takes %s (not \"%s\")\n", option, what,
               TerminalText(text, NameEncoding::kUtf8).c_str());
}

}  // namespace

bool ParseNumberOption(const char* option, const char* text, double low, double high, bool whole, double& value) {
  double v = 0;
  if (ParseFinite(text, v) && v >= low && v <= high && (!whole || v == std::floor(v))) {
    value = v;
    return true;
  }
  char what[96];
  std::snprintf(what, sizeof what, "%s from %.15g to %.15g", whole ? "a whole number" : "a number", low, high);
  Refuse(option, text, what);
  return false;
}

bool ParseTimeOption(const char* option, const char* text, double high, double& seconds) {
  const char* colon = std::strchr(text, ':');
  double value = -1;
  if (colon == nullptr) {
    if (!ParseFinite(text, value)) value = -1;
  } else {
    // Minutes: digits only; seconds: below 60.
    bool ok = colon != text;
    for (const char* p = text; p < colon; ++p) ok = ok && *p >= '0' && *p <= '9';
    double s = -1;
    if (ok && colon - text < 9 && ParseFinite(colon + 1, s) && colon[1] >= '0' && colon[1] <= '9' && s < 60)
      value = std::atof(text) * 60 + s;
  }
  if (value >= 0 && value <= high) {
    seconds = value;
    return true;
  }
  char what[96];
  std::snprintf(what, sizeof what, "a time from 0 to %g seconds, as 83.5 or 1:23.500", high);
  Refuse(option, text, what);
  return false;
}

bool ParseRowOption(const char* option, const char* text, std::int32_t& order, std::int32_t& row) {
  unsigned o = 0, r = 0;
  int used = 0;
  if (std::sscanf(text, "%3u:%3u%n", &o, &r, &used) == 2 && text[used] == '\0' && text[0] >= '0' &&
      text[0] <= '9' && std::strchr(text, ':')[1] >= '0' && std::strchr(text, ':')[1] <= '9' && o <= 255 &&
      r <= 255) {
    order = static_cast<std::int32_t>(o);
    row = static_cast<std::int32_t>(r);
    return true;
  }
  Refuse(option, text, "an order position and a row, each 0 to 255, as 3:16");
  return false;
}

std::uint64_t SecondsToFrames(double seconds) {
  return static_cast<std::uint64_t>(std::floor(seconds * 44100.0 + 0.5));
}
