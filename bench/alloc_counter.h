// Counts heap allocations made through the global operator new in a benchmark
// program (alloc_counter.cpp replaces it), so a benchmark can report how many
// allocations one iteration of its work makes.
#pragma once

#include <cstdint>

// Allocations through operator new by the calling thread since it started.
uint64_t AllocationCount();

// Allocations made by one call of work (called once before, so caches and
// lazily built state are already in place).
template <class Work>
double AllocationsPerCall(Work&& work) {
  work();
  const uint64_t before = AllocationCount();
  work();
  return static_cast<double>(AllocationCount() - before);
}
