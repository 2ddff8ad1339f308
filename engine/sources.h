// Module sources: a resource linked into the program, a memory block, or a
// file, all read through the same four routines so that the loader works the
// same on each.
#pragma once

#include <cstdint>
#include <memory>

enum SourceKind : std::int32_t {
  kSourceResource = 0,  // and every negative value
  kSourceMemory = 1,
  kSourceFile = 2,  // and every larger value
};

constexpr std::uint32_t RT_RCDATA = 10;

// A data block linked into the program, found by name (case-insensitive) or
// by an integer identifier.
struct ResourceEntry {
  std::uint32_t type;
  const char* name;  // null: found by id only
  std::uint32_t id;
  const std::uint8_t* data;
  std::uint32_t size;
};

struct ResourceTable {
  const ResourceEntry* entries;
  std::uint32_t count;
};

// The program's own resources (a null module handle means these); the
// library others link has none. (In a namespace, so that no program
// linking the static library meets the name.)
namespace zevora {
extern const ResourceTable programResources;
}
using zevora::programResources;

// Finds a resource as the platform's lookup does: name is either a string or
// an integer identifier passed as a pointer value below 65,536.
const ResourceEntry* FindResource(const ResourceTable* module, const void* name, std::uint32_t type);

struct Source;

// The four routines of a kind of source; each works on the state of one
// source being read.
struct SourceReader {
  std::intptr_t (*open)(Source& state, const void* source);
  void (*read)(Source& state, void* buffer, std::uint32_t count);
  // origin 0 from the start, 1 from the current position, 2 from the end.
  // The new position is limited to 0..size and returned.
  std::int32_t (*seek)(Source& state, std::int32_t offset, std::int32_t origin);
  void (*close)(Source& state, std::intptr_t handle);
};

// One source being read: its reader row and the reader's state. Reads that
// cannot be delivered come back as zeros.
struct Source {
  // Selects the reader row for kind and stores param as the memory size or
  // resource module.
  Source(std::int32_t kind, std::uintptr_t param);
  ~Source();  // closes a file left open
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  std::intptr_t Open(const void* source) { return reader.open(*this, source); }
  void Read(void* buffer, std::uint32_t count) { reader.read(*this, buffer, count); }
  std::int32_t Seek(std::int32_t offset, std::int32_t origin) { return reader.seek(*this, offset, origin); }
  void Close(std::intptr_t handle) { reader.close(*this, handle); }

  SourceReader reader;
  const std::uint8_t* memoryData = nullptr;
  std::int32_t memorySize = 0;
  std::int32_t memoryPosition = 0;
  const ResourceTable* resourceModule = nullptr;
  int fileHandle = -1;
  std::int32_t fileSize = 0;
  std::int32_t filePosition = 0;
  // A window of the file, so that the loader's many one-byte reads do not
  // each cost a system call (taken when a file is opened).
  std::unique_ptr<std::uint8_t[]> fileWindow;
  std::int32_t windowStart = 0;
  std::int32_t windowLength = 0;
};
