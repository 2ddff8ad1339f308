// The memory of a sound buffer's ring: zeroed, taken from the system in one
// piece with every page mapped at once, so that filling the ring does not
// fault once per page.
#pragma once

#include <cstddef>
#include <cstdint>

class RingMemory {
 public:
  explicit RingMemory(std::size_t bytes);  // throws std::bad_alloc
  ~RingMemory();
  RingMemory(const RingMemory&) = delete;
  RingMemory& operator=(const RingMemory&) = delete;

  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_;
  std::size_t size_;
};
