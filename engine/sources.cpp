#include "sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

SourceReader sourceReader;

namespace {

// Reader state, valid only while a module is being loaded.
const std::uint8_t* memoryData = nullptr;
std::int32_t memorySize = 0;
std::int32_t memoryPosition = 0;
const ResourceTable* resourceModule = nullptr;
int fileHandle = -1;
std::int32_t fileSize = 0;
std::int32_t filePosition = 0;
// A window of the file, so that the loader's many one-byte reads do not each
// cost a system call.
constexpr std::int32_t kFileWindow = 64 * 1024;
std::uint8_t fileWindow[kFileWindow];
std::int32_t windowStart = 0;
std::int32_t windowLength = 0;

std::int32_t ClampPosition(std::int64_t position, std::int32_t size) {
  if (position < 0) return 0;
  if (position > size) return size;
  return static_cast<std::int32_t>(position);
}

std::int32_t SeekTarget(std::int32_t offset, std::int32_t origin, std::int32_t position, std::int32_t size) {
  std::int64_t target = offset;
  if (origin == 1) target += position;
  if (origin == 2) target += size;
  return ClampPosition(target, size);
}

// Whatever a read cannot deliver is zero, never stale bytes.
void MemoryRead(void* buffer, std::uint32_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t n = static_cast<std::int64_t>(memorySize) - memoryPosition;
  if (n > count) n = count;
  if (n < 0) n = 0;
  if (n > 0) std::memcpy(out, memoryData + memoryPosition, static_cast<std::size_t>(n));
  std::memset(out + n, 0, count - static_cast<std::uint32_t>(n));
  memoryPosition += static_cast<std::int32_t>(n);
}

std::int32_t MemorySeek(std::int32_t offset, std::int32_t origin) {
  memoryPosition = SeekTarget(offset, origin, memoryPosition, memorySize);
  return memoryPosition;
}

std::intptr_t MemoryOpen(const void* source) {
  memoryData = static_cast<const std::uint8_t*>(source);
  memoryPosition = 0;
  return 0;
}

std::intptr_t ResourceOpen(const void* source) {
  const ResourceEntry* entry = FindResource(resourceModule, source, RT_RCDATA);
  memoryData = entry ? entry->data : nullptr;
  memorySize = entry ? static_cast<std::int32_t>(entry->size) : 0;
  if (memorySize < 0) memorySize = 0;
  memoryPosition = 0;
  return 0;
}

void MemoryClose(std::intptr_t) {}

// The file reader keeps its own position, limited to 0..file size exactly
// like the memory reader. Anything that is not a regular file reads as empty.
std::intptr_t FileOpen(const void* source) {
  fileSize = 0;
  filePosition = 0;
  windowStart = 0;
  windowLength = 0;
  fileHandle = ::open(static_cast<const char*>(source), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fileHandle >= 0) {
    struct stat info {};
    if (::fstat(fileHandle, &info) == 0 && S_ISREG(info.st_mode))
      fileSize = info.st_size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(info.st_size);
  }
  return fileHandle;
}

// Reads [position, position + count) of the file; what it cannot deliver
// is zero.
std::int64_t PreadAll(std::uint8_t* out, std::int64_t count, std::int64_t position) {
  std::int64_t done = 0;
  while (fileHandle >= 0 && done < count) {
    const ssize_t got =
        ::pread(fileHandle, out + done, static_cast<std::size_t>(count - done), static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

void FileRead(void* buffer, std::uint32_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t wanted = static_cast<std::int64_t>(fileSize) - filePosition;
  if (wanted > count) wanted = count;
  if (wanted < 0) wanted = 0;
  std::int64_t done = 0;
  if (wanted > 0 && wanted <= kFileWindow / 2) {
    if (filePosition < windowStart || filePosition + wanted > static_cast<std::int64_t>(windowStart) + windowLength) {
      windowStart = filePosition;
      windowLength = static_cast<std::int32_t>(PreadAll(fileWindow, kFileWindow, filePosition));
    }
    const std::int64_t offset = filePosition - windowStart;
    done = std::min<std::int64_t>(wanted, windowLength - offset);
    if (done > 0) std::memcpy(out, fileWindow + offset, static_cast<std::size_t>(done));
    if (done < 0) done = 0;
  } else if (wanted > 0) {
    done = PreadAll(out, wanted, filePosition);  // large reads go straight into place
  }
  std::memset(out + done, 0, count - static_cast<std::uint32_t>(done));
  filePosition += static_cast<std::int32_t>(done);
}

std::int32_t FileSeek(std::int32_t offset, std::int32_t origin) {
  filePosition = SeekTarget(offset, origin, filePosition, fileSize);
  return filePosition;
}

void FileClose(std::intptr_t handle) {
  if (handle >= 0) ::close(static_cast<int>(handle));
  fileHandle = -1;
}

bool NameEquals(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
    if (ca >= 'a' && ca <= 'z') ca = static_cast<unsigned char>(ca - 32);
    if (cb >= 'a' && cb <= 'z') cb = static_cast<unsigned char>(cb - 32);
    if (ca != cb) return false;
    if (ca == 0) return true;
  }
}

}  // namespace

const ResourceEntry* FindResource(const ResourceTable* module, const void* name, std::uint32_t type) {
  if (module == nullptr) module = &programResources;
  const auto value = reinterpret_cast<std::uintptr_t>(name);
  for (std::uint32_t i = 0; i < module->count; ++i) {
    const ResourceEntry& entry = module->entries[i];
    if (entry.type != type) continue;
    if (value < 65536) {
      if (entry.name == nullptr && entry.id == value) return &entry;
    } else if (entry.name != nullptr && NameEquals(entry.name, static_cast<const char*>(name))) {
      return &entry;
    }
  }
  return nullptr;
}

void SelectSourceReader(std::int32_t kind, std::uintptr_t param) {
  memorySize = param > static_cast<std::uintptr_t>(INT32_MAX) ? 0 : static_cast<std::int32_t>(param);
  resourceModule = reinterpret_cast<const ResourceTable*>(param);
  memoryPosition = 0;
  if (kind <= kSourceResource)
    sourceReader = {ResourceOpen, MemoryRead, MemorySeek, MemoryClose};
  else if (kind == kSourceMemory)
    sourceReader = {MemoryOpen, MemoryRead, MemorySeek, MemoryClose};
  else
    sourceReader = {FileOpen, FileRead, FileSeek, FileClose};
}
