// The XM loader: reads one module through the current SourceReader into the
// module records.
#pragma once

#include <cstdint>

enum class LoadError : std::int32_t {
  kNone = 0,
  kNotXm,           // signature is not "Exte" (also: empty or unreadable source)
  kTooManySamples,  // an instrument with more than 16 samples
  kOutOfMemory,     // heap exhausted, or the module would exceed its budget
  kSampleTooLarge,  // a sample longer than the engine can address
};

// The names a file holds, which the engine keeps none of: a program that
// shows them (zevora-cli info) sets this observer, and the loader hands it
// each name's bytes as it passes them (and the two bytes of the format
// version, low byte first).
enum class NameKind { kTitle, kTracker, kVersion, kInstrument, kSample };
using NameObserver = void (*)(NameKind kind, std::uint32_t instrument, std::uint32_t sample,
                              const std::uint8_t* bytes, std::uint32_t length);
extern NameObserver loadNameObserver;

// Nonzero when the module loaded. On failure whatever was allocated stays
// reachable from moduleState for FreeModule.
int LoadModule();

// Why the last LoadModule failed.
LoadError LastLoadError();
const char* LoadErrorText(LoadError error);

// Opens a source, loads it and closes it, as PlayerPlay does, without
// touching playback. The caller frees the module with FreeModule.
bool OpenAndLoadModule(const void* source, std::uintptr_t param, std::int32_t kind);
