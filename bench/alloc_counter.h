// Heap allocations of the benchmark program, counted by hooks in the program itself (not in the
// module), so that a benchmark can report what one operation allocates.
#pragma once

#include <cstdint>

namespace kestrel::bench {

struct AllocationCount {
  uint64_t blocks;
  uint64_t bytes;
};

// Blocks and bytes the process requested since it started (a realloc counts as one block of its new
// size). Zero where the hooks are not available.
AllocationCount Allocations();

}  // namespace kestrel::bench
