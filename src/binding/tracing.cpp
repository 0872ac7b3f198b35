// Reports blocks that the module takes from the system to the interpreter's
// memory tracing. The interpreter's header declares these two functions
// without C linkage for C++ callers, so this file declares them itself and
// does not include Python.h.
#include <cstddef>
#include <cstdint>

#include "tracing.h"

extern "C" int PyTraceMalloc_Track(unsigned int domain, std::uintptr_t ptr, std::size_t size);
extern "C" int PyTraceMalloc_Untrack(unsigned int domain, std::uintptr_t ptr);

namespace corvix {

void trace_block(const void* block, std::size_t bytes) {
    PyTraceMalloc_Track(kTraceDomain, reinterpret_cast<std::uintptr_t>(block), bytes);
}

void untrace_block(const void* block) {
    PyTraceMalloc_Untrack(kTraceDomain, reinterpret_cast<std::uintptr_t>(block));
}

}  // namespace corvix
