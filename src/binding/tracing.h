// Memory tracing of blocks the module takes from the system directly.
#pragma once

#include <cstddef>

namespace corvix {

// tracemalloc domain under which such blocks are reported ("corv").
inline constexpr unsigned int kTraceDomain = 0x636f7276;

// Tell tracemalloc about a block and forget it again; both do nothing when
// tracing is off.
void trace_block(const void* block, std::size_t bytes);
void untrace_block(const void* block);

}  // namespace corvix
