#include "ring_memory.h"

#include <sys/mman.h>

#include <new>

RingMemory::RingMemory(std::size_t bytes) : size_(bytes) {
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(block);
}

RingMemory::~RingMemory() { ::munmap(data_, size_); }
