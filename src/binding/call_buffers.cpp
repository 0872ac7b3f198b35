#include "call_buffers.h"

#include "tracing.h"

namespace corvix {

bool ZeroedBlock::reserve(std::size_t bytes, std::size_t arrays) {
    release();
    if (bytes == 0) return true;
    if (bytes / arrays >= kMappedBytesPerArray) {
        spare_mapping::Mapping mapping = spare_mapping::take(bytes);
        if (mapping.base != nullptr) {
            data_ = mapping.base;
            bytes_ = bytes;
            mapping_bytes_ = mapping.bytes;
            mapped_ = true;
            trace_block(data_, bytes);
            return true;
        }
        if (bytes > kHeapFallbackBytes) {
            PyErr_NoMemory();
            return false;
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
        spare_mapping::give_back({data_, mapping_bytes_}, warm_.data(), warm_count_);
    } else {
        PyMem_Free(data_);
    }
    data_ = nullptr;
    bytes_ = 0;
    mapping_bytes_ = 0;
    mapped_ = false;
    warm_count_ = 0;
}

}  // namespace corvix
