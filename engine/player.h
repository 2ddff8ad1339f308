// Zevora's playback engine: play an XM module from a resource, a memory
// block or a file into a looping sound buffer, stop it, and ask what is
// being heard.
#pragma once

#include <cstdint>

#include "sound_buffer.h"
#include "sources.h"

// Stops whatever plays, loads the module and starts streaming it into
// buffer. kind: 0 (or negative) resource, 1 memory, 2 (or more) file.
// source: resource name or id / data pointer / path; param: resource table
// (null: the program's own) / data size / unused.
// Non-negative when streaming started; the buffer's code when it would not
// play; E_INVALIDARG when there was nothing to play.
HRESULT PlayerPlay(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer);

// Waits until streaming has ended, rewinds the buffer, frees the module.
// Always E_INVALIDARG. Idempotent.
HRESULT PlayerStop();

// Song position of the block being heard: order position in the low byte,
// row in the high byte.
std::uint32_t PlayerGetPosition();

// Play time in milliseconds of the block being heard.
std::uint32_t PlayerGetTime();

// Loads the module and renders the whole ring into buffer, as PlayerPlay
// does, but starts neither the buffer nor the streaming thread. Offline
// rendering continues with RenderBlock.
HRESULT PlayerPrepare(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer);

// As PlayerPlay and PlayerPrepare, with the song moved on to startFrame
// first (exactly as playing through would) and silence from endFrame on
// (frames of the song, counted from its start). The ring begins with the
// block that holds startFrame (blocks stay where a play from the start
// has them), and PlayerPlayFrom starts the buffer at startFrame inside it.
HRESULT PlayerPlayFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                       std::uint64_t startFrame, std::uint64_t endFrame);
HRESULT PlayerPrepareFrom(const void* source, std::uintptr_t param, std::int32_t kind, SoundBuffer* buffer,
                          std::uint64_t startFrame, std::uint64_t endFrame);
