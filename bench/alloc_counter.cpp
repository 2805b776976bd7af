// Replaces the global operator new of a benchmark program with one that
// counts the calling thread's calls and then allocates as the standard one
// does (malloc).
#include "alloc_counter.h"

#include <cstdlib>
#include <new>

namespace {
// Per thread: the benchmarks do their work on the thread that counts, and a
// plain increment keeps the hook from slowing the timed code.
thread_local uint64_t t_allocations = 0;
}  // namespace

uint64_t AllocationCount() {
  return t_allocations;
}

void* operator new(std::size_t bytes) {
  ++t_allocations;
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}

void* operator new[](std::size_t bytes) {
  return operator new(bytes);
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete[](void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
