#include "call_buffers.h"

#include "tracing.h"

namespace corvix {

bool ZeroedBlock::reserve(std::size_t bytes) {
    release();
    if (bytes == 0) return true;
    if (bytes >= kMappedBlockBytes) {
        // Where the system refuses a mapping the heap may still have room.
        if (void* block = platform::map_zeroed(bytes)) {
            data_ = block;
            bytes_ = bytes;
            mapped_ = true;
            trace_block(block, bytes);
            return true;
        }
    }
    data_ = PyMem_Calloc(bytes, 1);
    if (data_ == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    bytes_ = bytes;
    return true;
}

void ZeroedBlock::release() {
    if (mapped_) {
        untrace_block(data_);
        platform::unmap_zeroed(data_, bytes_);
    } else {
        PyMem_Free(data_);
    }
    data_ = nullptr;
    bytes_ = 0;
    mapped_ = false;
}

}  // namespace corvix
