// The XM loader: reads one module from a source into a song's module
// records.
#pragma once

#include <cstdint>

enum class LoadError : std::int32_t {
  kNone = 0,
  kNotXm,           // signature is not "Exte" (also: empty or unreadable source)
  kTooManySamples,  // an instrument with more than 16 samples
  kOutOfMemory,     // heap exhausted, or the module would exceed its budget
  kSampleTooLarge,  // a sample longer than the engine can address
};

const char* LoadErrorText(LoadError error);

struct Song;
struct Source;

// Nonzero when the module loaded, with the header's names, the instrument
// names and the sample names kept in the song. On failure song.loadError
// says why, and whatever was allocated stays reachable from the song's
// module for FreeModule.
int LoadModule(Song& song, Source& source);
