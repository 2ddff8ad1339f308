// Module sources: a resource linked into the program, a memory block, or a
// file, all read through the same four routines so that the loader works the
// same on each.
#pragma once

#include <cstdint>

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

// The program's own resources (a null module handle means these).
extern const ResourceTable programResources;

// Finds a resource as the platform's lookup does: name is either a string or
// an integer identifier passed as a pointer value below 65,536.
const ResourceEntry* FindResource(const ResourceTable* module, const void* name, std::uint32_t type);

struct SourceReader {
  std::intptr_t (*open)(const void* source);
  void (*read)(void* buffer, std::uint32_t count);
  // origin 0 from the start, 1 from the current position, 2 from the end.
  // The new position is limited to 0..size and returned.
  std::int32_t (*seek)(std::int32_t offset, std::int32_t origin);
  void (*close)(std::intptr_t handle);
};

extern SourceReader sourceReader;

// Selects the reader row for kind and stores param as the memory size or
// resource module.
void SelectSourceReader(std::int32_t kind, std::uintptr_t param);
