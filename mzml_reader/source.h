// Byte sources of an mzML document: a plain file read with positioned reads,
// or a gzip file whose decompressed stream is reached through checkpoints.
//
// Both are safe to use from many threads at once: the plain file keeps no
// cursor (every read names its offset), the gzip source lends each reading
// thread a decompression cursor of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "failure.h"

namespace mzml {

class ByteSource {
public:
    virtual ~ByteSource() = default;
    ByteSource() = default;
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // Size of the document in bytes (for gzip: of the decompressed stream,
    // known once scan() has run to the end).
    virtual std::uint64_t size() const noexcept = 0;
    virtual bool gzip() const noexcept = 0;

    // Reads up to n bytes at offset into buf. Returns the number of bytes read
    // (short only at the end of the document) or -1 on a read error.
    virtual std::int64_t read_at(std::uint64_t offset, void* buf, std::size_t n) const noexcept = 0;

    // Pushes the document from `offset` to its end, in order, to `sink` in
    // chunks; the sink returns false to stop early. Returns false on a read
    // or decompression error (with *error set: Io, Truncated, Corrupt or
    // NoMemory). For gzip, a scan from 0 that
    // reaches the end also records the random-access checkpoints and the size;
    // it must run once before read_at is used.
    using Sink = std::function<bool(const char* data, std::size_t n)>;
    virtual bool scan(std::uint64_t offset, const Sink& sink, Outcome* error) const = 0;
};

// Opens `path`: gzip when it starts with the gzip magic bytes (1f 8b),
// a plain file otherwise. Returns nullptr with *error set on failure.
std::unique_ptr<ByteSource> open_source(const std::string& path, Outcome* error) noexcept;

// The OS-level file under both sources: positioned reads only, no cursor.
class File {
public:
    static std::unique_ptr<File> open(const std::string& path, Outcome* error) noexcept;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    std::uint64_t size() const noexcept { return size_; }
    // Reads up to n bytes at offset; short only at the end of the file; -1 on error.
    std::int64_t pread(std::uint64_t offset, void* buf, std::size_t n) const noexcept;

private:
    File() = default;
    std::intptr_t handle_ = -1;
    std::uint64_t size_ = 0;
};

}  // namespace mzml
