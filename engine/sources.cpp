#include "sources.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

namespace {

constexpr std::int32_t kFileWindow = 64 * 1024;

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
void MemoryRead(Source& s, void* buffer, std::uint32_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t n = static_cast<std::int64_t>(s.memorySize) - s.memoryPosition;
  if (n > count) n = count;
  if (n < 0) n = 0;
  if (n > 0) std::memcpy(out, s.memoryData + s.memoryPosition, static_cast<std::size_t>(n));
  std::memset(out + n, 0, count - static_cast<std::uint32_t>(n));
  s.memoryPosition += static_cast<std::int32_t>(n);
}

std::int32_t MemorySeek(Source& s, std::int32_t offset, std::int32_t origin) {
  s.memoryPosition = SeekTarget(offset, origin, s.memoryPosition, s.memorySize);
  return s.memoryPosition;
}

std::intptr_t MemoryOpen(Source& s, const void* source) {
  s.memoryData = static_cast<const std::uint8_t*>(source);
  s.memoryPosition = 0;
  return 0;
}

std::intptr_t ResourceOpen(Source& s, const void* source) {
  const ResourceEntry* entry = FindResource(s.resourceModule, source, RT_RCDATA);
  s.memoryData = entry ? entry->data : nullptr;
  s.memorySize = entry ? static_cast<std::int32_t>(entry->size) : 0;
  if (s.memorySize < 0) s.memorySize = 0;
  s.memoryPosition = 0;
  return 0;
}

void MemoryClose(Source&, std::intptr_t) {}

// The file reader keeps its own position, limited to 0..file size exactly
// like the memory reader. Anything that is not a regular file reads as empty.
std::intptr_t FileOpen(Source& s, const void* source) {
  s.fileSize = 0;
  s.filePosition = 0;
  s.windowStart = 0;
  s.windowLength = 0;
  if (s.fileWindow == nullptr) s.fileWindow.reset(new (std::nothrow) std::uint8_t[kFileWindow]);
  s.fileHandle = ::open(static_cast<const char*>(source), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (s.fileHandle >= 0) {
    struct stat info {};
    if (s.fileWindow != nullptr && ::fstat(s.fileHandle, &info) == 0 && S_ISREG(info.st_mode))
      s.fileSize = info.st_size > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(info.st_size);
  }
  return s.fileHandle;
}

// Reads [position, position + count) of the file; what it cannot deliver
// is zero.
std::int64_t PreadAll(const Source& s, std::uint8_t* out, std::int64_t count, std::int64_t position) {
  std::int64_t done = 0;
  while (s.fileHandle >= 0 && done < count) {
    const ssize_t got =
        ::pread(s.fileHandle, out + done, static_cast<std::size_t>(count - done), static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

void FileRead(Source& s, void* buffer, std::uint32_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t wanted = static_cast<std::int64_t>(s.fileSize) - s.filePosition;
  if (wanted > count) wanted = count;
  if (wanted < 0) wanted = 0;
  std::int64_t done = 0;
  if (wanted > 0 && wanted <= kFileWindow / 2) {
    if (s.filePosition < s.windowStart ||
        s.filePosition + wanted > static_cast<std::int64_t>(s.windowStart) + s.windowLength) {
      s.windowStart = s.filePosition;
      s.windowLength = static_cast<std::int32_t>(PreadAll(s, s.fileWindow.get(), kFileWindow, s.filePosition));
    }
    const std::int64_t offset = s.filePosition - s.windowStart;
    done = std::min<std::int64_t>(wanted, s.windowLength - offset);
    if (done > 0) std::memcpy(out, s.fileWindow.get() + offset, static_cast<std::size_t>(done));
    if (done < 0) done = 0;
  } else if (wanted > 0) {
    done = PreadAll(s, out, wanted, s.filePosition);  // large reads go straight into place
  }
  std::memset(out + done, 0, count - static_cast<std::uint32_t>(done));
  s.filePosition += static_cast<std::int32_t>(done);
}

std::int32_t FileSeek(Source& s, std::int32_t offset, std::int32_t origin) {
  s.filePosition = SeekTarget(offset, origin, s.filePosition, s.fileSize);
  return s.filePosition;
}

void FileClose(Source& s, std::intptr_t handle) {
  if (handle >= 0) ::close(static_cast<int>(handle));
  s.fileHandle = -1;
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

Source::Source(std::int32_t kind, std::uintptr_t param) {
  memorySize = param > static_cast<std::uintptr_t>(INT32_MAX) ? 0 : static_cast<std::int32_t>(param);
  resourceModule = reinterpret_cast<const ResourceTable*>(param);
  memoryPosition = 0;
  if (kind <= kSourceResource)
    reader = {ResourceOpen, MemoryRead, MemorySeek, MemoryClose};
  else if (kind == kSourceMemory)
    reader = {MemoryOpen, MemoryRead, MemorySeek, MemoryClose};
  else
    reader = {FileOpen, FileRead, FileSeek, FileClose};
}

Source::~Source() {
  if (fileHandle >= 0) ::close(fileHandle);
}
