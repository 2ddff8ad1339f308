// Allocations that fail on demand, for the tests of running out of memory:
// while failAbove is below SIZE_MAX, an allocation of this thread asking
// for more than that many bytes fails as it would without memory (other
// threads, such as a sound device's, allocate on). Every plain form of new
// and delete is replaced, so that none of them pairs with another's (the
// address sanitizer brings its own). Include it in one file of a program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

static thread_local std::size_t failAbove = SIZE_MAX;

void* operator new(std::size_t size) {
  if (size > failAbove) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
// (The compiler sees delete inlined to free and takes it for a mismatch.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

// Runs f with allocations of more than `above` bytes failing; returns
// whether it let the failure out as an exception.
template <typename F>
bool ThrowsWithoutMemory(std::size_t above, F f) {
  failAbove = above;
  bool threw = false;
  try {
    f();
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  failAbove = SIZE_MAX;
  return threw;
}
