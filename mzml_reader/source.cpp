// Byte sources: positioned reads of a plain file, and random access into a
// gzip file's decompressed stream.
//
// Gzip random access uses checkpoints. The one full pass at open (which the
// parser needs anyway) stops zlib at every deflate block boundary and, at
// least kCheckpointSpan decompressed bytes after the previous checkpoint,
// records where the block starts in the compressed file (byte and bit) and
// the 32 KiB of output before it (the dictionary later blocks may refer to),
// deflate-compressed to save memory. A read at an offset resumes from the
// closest checkpoint at or before it, or from a live cursor left by an
// earlier read when that is closer, so reading spectra in file order costs
// only their own bytes. The costs:
//   - memory: one checkpoint per 4 MiB of decompressed document, each
//     holding its compressed 32 KiB window (15-22 KiB on converter-shaped
//     files): about 0.4 % of the decompressed size, 0.9 MB for 200 MB;
//   - a read that goes backwards or jumps forward inflates on average 2 MiB
//     (at most 4 MiB) before the wanted bytes: about 10 ms;
//   - the pass at open inflates the whole file once (zlib's speed, about
//     100 MB/s of decompressed document), whether or not it carries an index;
//   - up to 8 cursors (about 300 KiB each, made when first needed), each
//     used by one thread at a time: threads that read different stretches
//     of one gzip file inflate them side by side, each from its own cursor,
//     and no stretch is inflated twice (see Lease).
#include "source.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace mzml {

namespace {

Outcome no_memory() noexcept {
    Outcome o;
    o.failure = Failure::NoMemory;
    o.text = "out of memory";  // short enough to need no allocation
    return o;
}

}  // namespace

// ---------------------------------------------------------------- the file

#ifdef _WIN32

std::unique_ptr<File> File::open(const std::string& path, Outcome* error) noexcept {
    try {
        int wn = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
        if (wn <= 0) {
            if (error) *error = Outcome::fail(Failure::NoSuchFile, "the path is not valid UTF-8");
            return nullptr;
        }
        std::wstring wide(static_cast<std::size_t>(wn), L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, wide.data(), wn);
        HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (error) *error = Outcome::fail(Failure::Io, "cannot open the file");
            return nullptr;
        }
        LARGE_INTEGER size;
        if (!GetFileSizeEx(h, &size) || GetFileType(h) != FILE_TYPE_DISK) {
            CloseHandle(h);
            if (error) *error = Outcome::fail(Failure::NotAFile, "not a regular file");
            return nullptr;
        }
        std::unique_ptr<File> f(new File());
        f->handle_ = reinterpret_cast<std::intptr_t>(h);
        f->size_ = static_cast<std::uint64_t>(size.QuadPart);
        return f;
    } catch (...) {
        if (error) *error = no_memory();
        return nullptr;
    }
}

File::~File() {
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

std::int64_t File::pread(std::uint64_t offset, void* buf, std::size_t n) const noexcept {
    std::size_t done = 0;
    auto* out = static_cast<char*>(buf);
    while (done < n && offset + done < size_) {
        DWORD want = static_cast<DWORD>(std::min<std::size_t>(n - done, 1u << 30));
        OVERLAPPED ov{};
        std::uint64_t at = offset + done;
        ov.Offset = static_cast<DWORD>(at & 0xffffffffu);
        ov.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out + done, want, &got, &ov)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (got == 0) break;
        done += got;
    }
    return static_cast<std::int64_t>(done);
}

#else

std::unique_ptr<File> File::open(const std::string& path, Outcome* error) noexcept {
    try {
        // Only a regular file is read. Its type is checked before it is
        // opened, and the open itself never waits: opening a named pipe
        // without a writer (or some devices) for reading would block until
        // a writer comes, with the caller's interpreter lock held. The type
        // is checked again on the descriptor, since the path may have been
        // replaced in between.
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            if (error) *error = Outcome::fail(Failure::NotAFile, "not a regular file");
            return nullptr;
        }
        std::unique_ptr<File> f(new File());  // closes the descriptor on every path
        int fd;
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (error)
                *error = errno == ENOENT ? Outcome::fail(Failure::NoSuchFile, "no such file")
                         : errno == ENXIO ? Outcome::fail(Failure::NotAFile, "not a regular file")
                                          : Outcome::fail(Failure::Io, "cannot open the file");
            return nullptr;
        }
        f->handle_ = fd;
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (error) *error = Outcome::fail(Failure::NotAFile, "not a regular file");
            return nullptr;
        }
        // Reads of a regular file ignore the flag; clear it all the same.
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
        f->size_ = static_cast<std::uint64_t>(st.st_size);
        return f;
    } catch (...) {
        if (error) *error = no_memory();
        return nullptr;
    }
}

File::~File() {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

std::int64_t File::pread(std::uint64_t offset, void* buf, std::size_t n) const noexcept {
    std::size_t done = 0;
    auto* out = static_cast<char*>(buf);
    while (done < n) {
        std::size_t want = std::min<std::size_t>(n - done, std::size_t(1) << 30);
        ssize_t got = ::pread(static_cast<int>(handle_), out + done, want, static_cast<off_t>(offset + done));
        if (got < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return static_cast<std::int64_t>(done);
}

#endif

namespace {

constexpr std::size_t kScanChunk = std::size_t(4) << 20;

// ---------------------------------------------------------- plain files

class PlainSource final : public ByteSource {
public:
    explicit PlainSource(std::unique_ptr<File> f) : file_(std::move(f)) {}
    std::uint64_t size() const noexcept override { return file_->size(); }
    bool gzip() const noexcept override { return false; }
    std::int64_t read_at(std::uint64_t offset, void* buf, std::size_t n) const noexcept override {
        return file_->pread(offset, buf, n);
    }
    bool scan(std::uint64_t offset, const Sink& sink, Outcome* error) const override {
        if (offset >= file_->size()) return true;
        std::vector<char> buf(static_cast<std::size_t>(std::min<std::uint64_t>(kScanChunk, file_->size() - offset)));
        std::uint64_t pos = offset;
        while (pos < file_->size()) {
            std::int64_t got = file_->pread(pos, buf.data(), buf.size());
            if (got < 0) {
                if (error) *error = Outcome::fail(Failure::Io, "read error");
                return false;
            }
            if (got == 0) break;
            pos += static_cast<std::uint64_t>(got);
            if (!sink(buf.data(), static_cast<std::size_t>(got))) return true;
        }
        return true;
    }

private:
    std::unique_ptr<File> file_;
};

// ------------------------------------------------------------ gzip files

constexpr std::size_t kWindow = 32768;
constexpr std::uint64_t kCheckpointSpan = std::uint64_t(4) << 20;
constexpr std::size_t kInChunk = 256 * 1024;

struct Checkpoint {
    std::uint64_t out = 0;       // decompressed offset where the block starts
    std::uint64_t in = 0;        // compressed offset of the first whole byte of the block
    int bits = 0;                // bits of the byte before `in` that belong to the block
    std::uint32_t window_len = 0;
    std::vector<unsigned char> window;  // deflate-compressed dictionary
};

// A zlib inflate stream reading from the file, with its input buffer.
struct Inflater {
    z_stream zs{};
    bool live = false;
    bool raw = false;             // started from a checkpoint: no gzip header/trailer handling by zlib
    bool ended = false;           // no more data
    std::uint64_t in_pos = 0;     // file offset of the next byte to read into the buffer
    std::uint64_t out_pos = 0;    // decompressed offset of the next byte inflate produces
    std::vector<unsigned char> in;

    Inflater() : in(kInChunk) {}
    ~Inflater() { reset(); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    void reset() {
        if (live) inflateEnd(&zs);
        live = false;
        zs = z_stream{};
    }
    bool refill(const File& file) {
        if (zs.avail_in > 0) return true;
        std::int64_t got = file.pread(in_pos, in.data(), in.size());
        if (got <= 0) return false;
        in_pos += static_cast<std::uint64_t>(got);
        zs.next_in = in.data();
        zs.avail_in = static_cast<uInt>(got);
        return true;
    }
    // Skips n input bytes (a gzip trailer). False when the file ends first.
    bool skip_input(const File& file, std::size_t n) {
        while (n > 0) {
            if (!refill(file)) return false;
            std::size_t k = std::min<std::size_t>(n, zs.avail_in);
            zs.next_in += k;
            zs.avail_in -= static_cast<uInt>(k);
            n -= k;
        }
        return true;
    }
    // Another gzip member follows the one that just ended?
    bool more_members(const File& file) {
        if (zs.avail_in == 0 && !refill(file)) return false;
        return zs.avail_in >= 2 && zs.next_in[0] == 0x1f && zs.next_in[1] == 0x8b;
    }
};

class GzipSource final : public ByteSource {
public:
    explicit GzipSource(std::unique_ptr<File> f) : file_(std::move(f)) {}
    std::uint64_t size() const noexcept override { return size_; }
    bool gzip() const noexcept override { return true; }

    std::int64_t read_at(std::uint64_t offset, void* buf, std::size_t n) const noexcept override {
        try {
            if (offset >= size_) return 0;
            n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset));
            // The closest checkpoint at or before offset.
            auto it = std::upper_bound(checkpoints_.begin(), checkpoints_.end(), offset,
                                       [](std::uint64_t o, const Checkpoint& cp) { return o < cp.out; });
            if (it == checkpoints_.begin()) return -1;
            const Checkpoint& cp = *(it - 1);
            Lease lease(*this, offset, cp.out);
            return read_with(lease.cursor(), cp, offset, static_cast<unsigned char*>(buf), n);
        } catch (...) {
            return -1;
        }
    }

    bool scan(std::uint64_t offset, const Sink& sink, Outcome* error) const override {
        if (offset == 0 && !scanned_) return first_pass(sink, error);
        // Later scans go through the cursor.
        std::vector<unsigned char> buf(kScanChunk);
        std::uint64_t pos = offset;
        while (pos < size_) {
            std::int64_t got = read_at(pos, buf.data(), buf.size());
            if (got < 0) {
                if (error) *error = Outcome::fail(Failure::Corrupt, "gzip decompression error");
                return false;
            }
            if (got == 0) break;
            pos += static_cast<std::uint64_t>(got);
            if (!sink(reinterpret_cast<const char*>(buf.data()), static_cast<std::size_t>(got))) return true;
        }
        return true;
    }

private:
    // The whole stream once, from the start: feeds the sink and records the
    // checkpoints and the decompressed size. Data up to a decompression error
    // or a truncation is still delivered (and stays readable).
    bool first_pass(const Sink& sink, Outcome* error) const {
        scanned_ = true;
        Inflater inf;
        if (inflateInit2(&inf.zs, 15 + 32) != Z_OK) {
            if (error) *error = Outcome::fail(Failure::NoMemory, "zlib initialisation failed");
            return false;
        }
        inf.live = true;
        // Output buffer: the last 32 KiB of output are kept at its front so a
        // checkpoint can copy the window.
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(kScanChunk, std::max<std::uint64_t>(
                                                        std::uint64_t(1) << 17, file_->size() * 8)));
        std::vector<unsigned char> out(kWindow + chunk);
        std::size_t have = 0;  // bytes of history at the front of out
        std::uint64_t total = 0;
        std::uint64_t last_cp = 0;
        bool first_cp = true;
        Outcome fail;
        for (;;) {
            if (inf.zs.avail_in == 0 && !inf.refill(*file_)) {
                fail = Outcome::fail(Failure::Truncated,
                                     total == 0 ? "the gzip file is empty or unreadable" : "the gzip file is truncated");
                break;
            }
            if (have + 1 > out.size() - 65536) {
                std::size_t keep = std::min<std::size_t>(have, kWindow);
                std::memmove(out.data(), out.data() + have - keep, keep);
                have = keep;
            }
            inf.zs.next_out = out.data() + have;
            inf.zs.avail_out = static_cast<uInt>(out.size() - have);
            int ret = inflate(&inf.zs, Z_BLOCK);
            std::size_t produced = out.size() - have - inf.zs.avail_out;
            have += produced;
            total += produced;
            // The parser has all it needs (the document's end, or no mzML at
            // all): the rest is never read, so it is not inflated either.
            if (produced > 0 && !sink(reinterpret_cast<const char*>(out.data() + have - produced), produced)) break;
            if (ret == Z_STREAM_END) {
                if (!inf.more_members(*file_)) break;
                inflateReset(&inf.zs);
                continue;
            }
            if (ret != Z_OK && ret != Z_BUF_ERROR) {
                fail = Outcome::fail(Failure::Corrupt, "the gzip file is corrupt");
                break;
            }
            if ((inf.zs.data_type & 128) && !(inf.zs.data_type & 64) &&
                (first_cp || total - last_cp >= kCheckpointSpan)) {
                Checkpoint cp;
                cp.out = total;
                cp.in = inf.in_pos - inf.zs.avail_in;
                cp.bits = inf.zs.data_type & 7;
                std::size_t wl = std::min<std::size_t>(have, kWindow);
                cp.window_len = static_cast<std::uint32_t>(wl);
                if (wl > 0) {
                    uLongf clen = compressBound(static_cast<uLong>(wl));
                    cp.window.resize(clen);
                    if (compress2(cp.window.data(), &clen, out.data() + have - wl, static_cast<uLong>(wl), 1) != Z_OK) {
                        fail = Outcome::fail(Failure::NoMemory, "zlib compression failed");
                        break;
                    }
                    cp.window.resize(clen);
                    cp.window.shrink_to_fit();
                }
                checkpoints_.push_back(std::move(cp));
                last_cp = total;
                first_cp = false;
            }
        }
        size_ = total;
        checkpoints_.shrink_to_fit();
        if (!fail.ok()) {
            if (error) *error = std::move(fail);
            return false;
        }
        return true;
    }

    // Positions the cursor at checkpoint cp.
    bool restore(Inflater& c, const Checkpoint& cp) const {
        c.reset();
        c.zs.avail_in = 0;
        if (inflateInit2(&c.zs, -15) != Z_OK) return false;
        c.live = true;
        c.raw = true;
        c.ended = false;
        c.in_pos = cp.in;
        c.out_pos = cp.out;
        if (cp.bits > 0) {
            unsigned char byte = 0;
            if (cp.in == 0 || file_->pread(cp.in - 1, &byte, 1) != 1) return false;
            if (inflatePrime(&c.zs, cp.bits, byte >> (8 - cp.bits)) != Z_OK) return false;
        }
        if (cp.window_len > 0) {
            std::vector<unsigned char> win(cp.window_len);
            uLongf wl = cp.window_len;
            if (uncompress(win.data(), &wl, cp.window.data(), static_cast<uLong>(cp.window.size())) != Z_OK ||
                wl != cp.window_len)
                return false;
            if (inflateSetDictionary(&c.zs, win.data(), static_cast<uInt>(wl)) != Z_OK) return false;
        }
        return true;
    }

    // Inflates up to n bytes from the cursor into dst (nullptr: discard).
    // Returns the count produced; stops early only at the end of the data.
    std::size_t pull(Inflater& c, unsigned char* dst, std::size_t n, bool* failed) const {
        unsigned char scratch[16384];
        std::size_t done = 0;
        while (done < n && !c.ended) {
            if (c.zs.avail_in == 0 && !c.refill(*file_)) {
                c.ended = true;
                break;
            }
            std::size_t want = n - done;
            if (dst) {
                want = std::min<std::size_t>(want, UINT_MAX);
                c.zs.next_out = dst + done;
            } else {
                want = std::min<std::size_t>(want, sizeof scratch);
                c.zs.next_out = scratch;
            }
            c.zs.avail_out = static_cast<uInt>(want);
            int ret = inflate(&c.zs, Z_NO_FLUSH);
            std::size_t produced = want - c.zs.avail_out;
            done += produced;
            c.out_pos += produced;
            if (ret == Z_STREAM_END) {
                if (c.raw && !c.skip_input(*file_, 8)) {
                    c.ended = true;
                    break;
                }
                if (!c.more_members(*file_)) {
                    c.ended = true;
                    break;
                }
                if (inflateReset2(&c.zs, 15 + 16) != Z_OK) {
                    *failed = true;
                    break;
                }
                c.raw = false;
                continue;
            }
            if (ret != Z_OK && ret != Z_BUF_ERROR) {
                *failed = true;
                break;
            }
            if (ret == Z_BUF_ERROR && produced == 0 && c.zs.avail_in > 0) {
                *failed = true;
                break;
            }
        }
        return done;
    }

    // Reads through cursor c, which the calling thread holds alone.
    std::int64_t read_with(Inflater& c, const Checkpoint& cp, std::uint64_t offset, unsigned char* dst,
                           std::size_t n) const {
        bool use_cursor = c.live && !c.ended && c.out_pos <= offset && c.out_pos >= cp.out;
        if (!use_cursor && !restore(c, cp)) {
            c.reset();
            return -1;
        }
        bool failed = false;
        std::uint64_t skip = offset - c.out_pos;
        while (skip > 0 && !failed && !c.ended) {
            std::size_t k = pull(c, nullptr, static_cast<std::size_t>(std::min<std::uint64_t>(skip, 1u << 30)), &failed);
            if (k == 0) break;
            skip -= k;
        }
        if (failed || skip > 0) {
            c.reset();
            return -1;
        }
        std::size_t got = pull(c, dst, n, &failed);
        if (failed) {
            c.reset();
            return -1;
        }
        return static_cast<std::int64_t>(got);
    }

    // Cursors: up to kCursors live decompression states, each used by one
    // thread at a time. A read takes the idle cursor that can reach its
    // offset by inflating forward the least (one left behind by the previous
    // read of the same stretch, typically), else a new one, else the idle
    // one used longest ago, restored from the checkpoint; it waits only when
    // every cursor is in use. So threads that read different stretches of
    // the document (the parts of a whole-run trace) each keep a cursor of
    // their own and inflate their stretch once, side by side, instead of
    // restarting one shared cursor from a checkpoint on every read.
    static constexpr std::size_t kCursors = 8;
    struct Cursor {
        Inflater inflater;
        bool busy = false;
        std::uint64_t used = 0;  // the pool's clock at its last lease
    };
    class Lease {
    public:
        Lease(const GzipSource& source, std::uint64_t offset, std::uint64_t checkpoint) : source_(source) {
            std::unique_lock<std::mutex> lock(source.pool_mutex_);
            for (;;) {
                Cursor* best = nullptr;
                Cursor* oldest = nullptr;
                for (const std::unique_ptr<Cursor>& c : source.cursors_) {
                    if (c->busy) continue;
                    const Inflater& i = c->inflater;
                    if (i.live && !i.ended && i.out_pos <= offset && i.out_pos >= checkpoint &&
                        (!best || i.out_pos > best->inflater.out_pos))
                        best = c.get();
                    if (!oldest || c->used < oldest->used) oldest = c.get();
                }
                if (!best && source.cursors_.size() < kCursors) {
                    source.cursors_.push_back(std::make_unique<Cursor>());
                    best = source.cursors_.back().get();
                }
                if (!best) best = oldest;
                if (best) {
                    cursor_ = best;
                    break;
                }
                source.idle_.wait(lock);
            }
            cursor_->busy = true;
            cursor_->used = ++source.clock_;
        }
        ~Lease() {
            {
                std::lock_guard<std::mutex> lock(source_.pool_mutex_);
                cursor_->busy = false;
            }
            source_.idle_.notify_one();
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Inflater& cursor() { return cursor_->inflater; }

    private:
        const GzipSource& source_;
        Cursor* cursor_ = nullptr;
    };

    std::unique_ptr<File> file_;
    mutable std::mutex pool_mutex_;
    mutable std::condition_variable idle_;
    mutable std::vector<std::unique_ptr<Cursor>> cursors_;
    mutable std::uint64_t clock_ = 0;
    mutable bool scanned_ = false;
    mutable std::uint64_t size_ = 0;
    mutable std::vector<Checkpoint> checkpoints_;
};

}  // namespace

std::unique_ptr<ByteSource> open_source(const std::string& path, Outcome* error) noexcept {
    try {
        std::unique_ptr<File> f = File::open(path, error);
        if (!f) return nullptr;
        unsigned char magic[2] = {0, 0};
        std::int64_t got = f->pread(0, magic, 2);
        if (got < 0) {
            if (error) *error = Outcome::fail(Failure::Io, "read error");
            return nullptr;
        }
        if (got == 2 && magic[0] == 0x1f && magic[1] == 0x8b) return std::make_unique<GzipSource>(std::move(f));
        return std::make_unique<PlainSource>(std::move(f));
    } catch (...) {
        if (error) *error = no_memory();
        return nullptr;
    }
}

}  // namespace mzml
