// Array decoding. The MS-Numpress decoders follow the format's published
// description:
//   - a fixed point is 8 bytes, the IEEE double in big-endian byte order;
//   - linear: fixed point, the first two values as little-endian 32-bit
//     ints (round(x * fixed point)), then for each further value the
//     difference from the linear prediction 2*v[i-1] - v[i-2], as a
//     variable-length int in half-bytes (high half of each byte first);
//   - pic: each value rounded to an int, as a variable-length int;
//   - slof: fixed point, then each value as round(log(x + 1) * fixed point)
//     in a little-endian 16-bit unsigned int.
// A variable-length int starts with a head half-byte h: h <= 8 means h
// leading zero half-bytes were dropped, h > 8 means h - 8 leading 0xf
// half-bytes were dropped; the 8 - (dropped) remaining half-bytes follow,
// least significant first.
#include "decode.h"

#include <zlib.h>
#if defined(MZML_READER_LIBDEFLATE)
#include <libdeflate.h>

#include <memory>
#endif

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>

namespace mzml {

namespace {

constexpr unsigned char kInvalid = 0xff;
constexpr unsigned char kSpace = 64;
constexpr unsigned char kPad = 65;

struct Base64Table {
    unsigned char v[256];
    constexpr Base64Table() : v() {
        for (int i = 0; i < 256; ++i) v[i] = kInvalid;
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) v[static_cast<unsigned char>(a[i])] = static_cast<unsigned char>(i);
        v[static_cast<unsigned char>(' ')] = kSpace;
        v[static_cast<unsigned char>('\t')] = kSpace;
        v[static_cast<unsigned char>('\r')] = kSpace;
        v[static_cast<unsigned char>('\n')] = kSpace;
        v[static_cast<unsigned char>('=')] = kPad;
    }
};
constexpr Base64Table kB64;

constexpr std::size_t kFail = SIZE_MAX;
// Upper bound of any array: beyond this a declared length is junk.
constexpr std::size_t kMaxCount = std::size_t(1) << 36;
// zlib cannot expand input by more than about 1032:1.
constexpr std::size_t kZlibRatio = 1040;

bool little_endian_host() { return std::endian::native == std::endian::little; }

std::uint32_t load_le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

double load_fixed_point(const unsigned char* p) {
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | p[i];
    return std::bit_cast<double>(bits);
}

// Half-byte reader over a byte range.
struct HalfBytes {
    const unsigned char* p;
    std::size_t total;  // number of half-bytes
    std::size_t pos = 0;
    unsigned at(std::size_t i) const { return (i & 1) ? (p[i >> 1] & 0x0f) : (p[i >> 1] >> 4); }
    // Reads one variable-length int; false when the input ends inside it.
    bool next(std::int32_t* value) {
        if (pos >= total) return false;
        unsigned head = at(pos++);
        std::size_t kept;
        std::uint32_t fill;
        if (head <= 8) {
            kept = 8 - head;
            fill = 0;
        } else {
            kept = 16 - head;
            fill = 0xf;
        }
        if (total - pos < kept) return false;
        std::uint32_t v = 0;
        for (std::size_t j = 0; j < 8; ++j) {
            std::uint32_t h = j < kept ? at(pos + j) : fill;
            v |= h << (4 * j);
        }
        pos += kept;
        *value = static_cast<std::int32_t>(v);
        return true;
    }
    // At most one padding half-byte may remain.
    bool done() const { return total - pos <= 1; }
};

template <typename T>
T load_as(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    if (!little_endian_host()) {
        unsigned char b[sizeof(T)];
        std::memcpy(b, p, sizeof b);
        std::reverse(b, b + sizeof b);
        std::memcpy(&v, b, sizeof v);
    }
    return v;
}

void convert(const unsigned char* bytes, DataType type, std::size_t count, double* out) {
    switch (type) {
    case DataType::Float32:
        for (std::size_t i = 0; i < count; ++i) out[i] = load_as<float>(bytes + 4 * i);
        break;
    case DataType::Float64:
        for (std::size_t i = 0; i < count; ++i) out[i] = load_as<double>(bytes + 8 * i);
        break;
    case DataType::Int32:
        for (std::size_t i = 0; i < count; ++i) out[i] = load_as<std::int32_t>(bytes + 4 * i);
        break;
    case DataType::Int64:
        for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<double>(load_as<std::int64_t>(bytes + 8 * i));
        break;
    case DataType::Unknown:
        break;
    }
}

std::size_t width_of(DataType t) {
    switch (t) {
    case DataType::Float32:
    case DataType::Int32:
        return 4;
    case DataType::Float64:
    case DataType::Int64:
        return 8;
    default:
        return 0;
    }
}

bool is_numpress(Compression c) {
    return c == Compression::NumpressLinear || c == Compression::NumpressPic || c == Compression::NumpressSlof ||
           c == Compression::NumpressLinearZlib || c == Compression::NumpressPicZlib ||
           c == Compression::NumpressSlofZlib;
}

}  // namespace

std::size_t base64_significant_length(const char* text, std::size_t n) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k += kB64.v[static_cast<unsigned char>(text[i])] != kSpace;
    return k;
}

std::size_t base64_decode(const char* text, std::size_t n, unsigned char* out, std::size_t cap,
                          std::size_t* significant) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* t = kB64.v;
    std::size_t i = 0, o = 0;
    std::size_t spaces = 0;
    struct Count {
        std::size_t* out;
        std::size_t n;
        std::size_t& spaces;
        ~Count() {
            if (out) *out = n - spaces;
        }
    } count{significant, n, spaces};
    unsigned char quad[4];
    int k = 0;
    for (;;) {
        // Whole groups of four alphabet characters.
        if (k == 0) {
            while (n - i >= 4) {
                unsigned a = t[s[i]], b = t[s[i + 1]], c = t[s[i + 2]], d = t[s[i + 3]];
                if ((a | b | c | d) & 0xc0) break;
                if (cap - o < 3) return kFail;
                std::uint32_t v = a << 18 | b << 12 | c << 6 | d;
                out[o] = static_cast<unsigned char>(v >> 16);
                out[o + 1] = static_cast<unsigned char>(v >> 8);
                out[o + 2] = static_cast<unsigned char>(v);
                o += 3;
                i += 4;
            }
        }
        if (i >= n) break;
        unsigned c = t[s[i]];
        if (c == kSpace) {
            ++i;
            ++spaces;
            continue;
        }
        if (c == kInvalid) return kFail;
        if (c == kPad) {
            // k alphabet characters then padding to the group's end, then only whitespace.
            std::size_t pads = 0;
            for (; i < n; ++i) {
                unsigned e = t[s[i]];
                if (e == kPad) ++pads;
                else if (e == kSpace) ++spaces;
                else return kFail;
            }
            if (!((k == 2 && pads == 2) || (k == 3 && pads == 1))) return kFail;
            std::size_t extra = static_cast<std::size_t>(k - 1);
            if (cap - o < extra) return kFail;
            std::uint32_t v = std::uint32_t(quad[0]) << 18 | std::uint32_t(quad[1]) << 12 |
                              (k == 3 ? std::uint32_t(quad[2]) << 6 : 0);
            out[o++] = static_cast<unsigned char>(v >> 16);
            if (k == 3) out[o++] = static_cast<unsigned char>(v >> 8);
            return o;
        }
        quad[k++] = static_cast<unsigned char>(c);
        ++i;
        if (k == 4) {
            if (cap - o < 3) return kFail;
            std::uint32_t v = std::uint32_t(quad[0]) << 18 | std::uint32_t(quad[1]) << 12 | std::uint32_t(quad[2]) << 6 | quad[3];
            out[o] = static_cast<unsigned char>(v >> 16);
            out[o + 1] = static_cast<unsigned char>(v >> 8);
            out[o + 2] = static_cast<unsigned char>(v);
            o += 3;
            k = 0;
        }
    }
    return k == 0 ? o : kFail;
}

namespace {

// Shared loop of the two inflate functions; `grow` enlarges the output.
template <typename Grow>
bool inflate_loop(const unsigned char* in, std::size_t n, unsigned char** out, std::size_t* cap, std::size_t* produced,
                  Grow grow) {
    z_stream zs{};
    if (inflateInit(&zs) != Z_OK) return false;
    std::size_t in_done = 0;
    std::size_t out_done = 0;
    bool ok = false;
    for (;;) {
        if (zs.avail_in == 0 && in_done < n) {
            std::size_t k = std::min<std::size_t>(n - in_done, UINT_MAX);
            zs.next_in = const_cast<unsigned char*>(in + in_done);
            zs.avail_in = static_cast<uInt>(k);
            in_done += k;
        }
        if (out_done == *cap && !grow(out, cap)) {
            // Output full: the stream must end here, with no further output.
            unsigned char probe;
            zs.next_out = &probe;
            zs.avail_out = 1;
            int ret = inflate(&zs, Z_FINISH);
            ok = ret == Z_STREAM_END && zs.avail_out == 1;
            break;
        }
        std::size_t room = std::min<std::size_t>(*cap - out_done, UINT_MAX);
        zs.next_out = *out + out_done;
        zs.avail_out = static_cast<uInt>(room);
        int ret = inflate(&zs, Z_NO_FLUSH);
        out_done += room - zs.avail_out;
        if (ret == Z_STREAM_END) {
            ok = true;
            break;
        }
        if (ret == Z_BUF_ERROR) {
            if (zs.avail_in == 0 && in_done >= n) break;  // input ended inside the stream
            continue;
        }
        if (ret != Z_OK) break;
    }
    inflateEnd(&zs);
    *produced = out_done;
    return ok;
}

}  // namespace

#if defined(MZML_READER_LIBDEFLATE)
namespace {

// One decompressor per thread, made on first use: libdeflate's state is not
// to be shared between threads, and making one per array would cost more
// than the small arrays of a spectrum take to inflate.
struct DecompressorFree {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

libdeflate_decompressor* thread_decompressor() noexcept {
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorFree> decompressor(
        libdeflate_alloc_decompressor());
    return decompressor.get();
}

}  // namespace
#endif

// An array's zlib stream inflates to exactly `size` bytes, or the array is
// refused. Where libdeflate is at hand it does this whole-buffer inflate
// (the output size is known, so nothing streams) two to three times faster
// than zlib's inflate; zlib remains for everything that streams (gzip files,
// Numpress followed by zlib, whose size is only bounded).
bool inflate_exact(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t size) noexcept {
#if defined(MZML_READER_LIBDEFLATE)
    if (libdeflate_decompressor* d = thread_decompressor()) {
        // A null actual-size pointer asks for exactly `size` bytes.
        return libdeflate_zlib_decompress(d, in, n, out, size, nullptr) == LIBDEFLATE_SUCCESS;
    }
#endif
    std::size_t cap = size, produced = 0;
    unsigned char* o = out;
    if (!inflate_loop(in, n, &o, &cap, &produced, [](unsigned char**, std::size_t*) { return false; })) return false;
    return produced == size;
}

bool inflate_bounded(const unsigned char* in, std::size_t n, std::size_t max, std::vector<unsigned char>* out) noexcept {
    try {
        std::size_t cap = std::min<std::size_t>(max, std::max<std::size_t>(4 * n, 1024));
        out->resize(cap);
        unsigned char* o = out->data();
        std::size_t produced = 0;
        bool ok = inflate_loop(in, n, &o, &cap, &produced, [&](unsigned char** p, std::size_t* c) {
            if (*c >= max) return false;
            std::size_t next = std::min<std::size_t>(max, *c * 2);
            out->resize(next);
            *p = out->data();
            *c = next;
            return true;
        });
        out->resize(produced);
        return ok;
    } catch (...) {
        out->clear();
        return false;
    }
}

bool numpress_linear_decode(const unsigned char* in, std::size_t n, std::size_t count, double* out) noexcept {
    if (count == 0) return n == 0 || n == 8 || n == 16;
    if (n < 8) return false;
    double fp = load_fixed_point(in);
    if (!std::isfinite(fp) || fp == 0) return false;
    if (n < 12) return false;
    std::int64_t prev2 = static_cast<std::int32_t>(load_le32(in + 8));
    out[0] = static_cast<double>(prev2) / fp;
    if (count == 1) return n == 12;
    if (n < 16) return false;
    std::int64_t prev1 = static_cast<std::int32_t>(load_le32(in + 12));
    out[1] = static_cast<double>(prev1) / fp;
    HalfBytes hb{in + 16, 2 * (n - 16)};
    for (std::size_t i = 2; i < count; ++i) {
        std::int32_t diff;
        if (!hb.next(&diff)) return false;
        std::int64_t v = 2 * prev1 - prev2 + diff;
        out[i] = static_cast<double>(v) / fp;
        prev2 = prev1;
        prev1 = v;
    }
    return hb.done();
}

bool numpress_pic_decode(const unsigned char* in, std::size_t n, std::size_t count, double* out) noexcept {
    HalfBytes hb{in, 2 * n};
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t v;
        if (!hb.next(&v)) return false;
        out[i] = static_cast<double>(v);
    }
    return hb.done();
}

bool numpress_slof_decode(const unsigned char* in, std::size_t n, std::size_t count, double* out) noexcept {
    if (count == 0) return n == 0 || n == 8;
    if (n < 8 || (n - 8) / 2 != count || (n - 8) % 2 != 0) return false;
    double fp = load_fixed_point(in);
    if (!std::isfinite(fp) || fp == 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
        unsigned v = unsigned(in[8 + 2 * i]) | unsigned(in[9 + 2 * i]) << 8;
        out[i] = std::exp(static_cast<double>(v) / fp) - 1;
    }
    return true;
}

bool decode_array(const char* text, std::size_t n, Compression compression, DataType type, std::size_t count,
                  std::int64_t encoded_length, std::vector<double>* out, std::string* why) noexcept {
    auto fail = [&](const char* reason) {
        out->clear();
        if (why) *why = reason;
        return false;
    };
    try {
        out->clear();
        if (count > kMaxCount) return fail("declared array length too large");
        std::size_t significant = 0;
        auto check_encoded = [&] {
            return encoded_length < 0 || significant == static_cast<std::uint64_t>(encoded_length);
        };
        const char* kBadEncoded = "encodedLength does not match the base64 text";
        const std::size_t max_bytes = n / 4 * 3;
        if (compression == Compression::Unknown) return fail("unsupported compression");

        if (compression == Compression::None || compression == Compression::Zlib) {
            std::size_t w = width_of(type);
            if (w == 0) return fail("unsupported binary data type");
            std::size_t need = count * w;
            if (compression == Compression::None) {
                if (need > max_bytes) return fail("array shorter than its declared length");
                out->resize(count);
                std::size_t got;
                if (type == DataType::Float64 && little_endian_host()) {
                    got = base64_decode(text, n, reinterpret_cast<unsigned char*>(out->data()), need, &significant);
                } else {
                    std::vector<unsigned char> bytes(need);
                    got = base64_decode(text, n, bytes.data(), need, &significant);
                    if (got == need) convert(bytes.data(), type, count, out->data());
                }
                if (got == kFail) return fail("invalid base64 or array longer than its declared length");
                if (!check_encoded()) return fail(kBadEncoded);
                if (got != need) return fail("array shorter than its declared length");
                return true;
            }
            std::vector<unsigned char> packed(max_bytes);
            std::size_t got = base64_decode(text, n, packed.data(), packed.size(), &significant);
            if (got == kFail) return fail("invalid base64");
            if (!check_encoded()) return fail(kBadEncoded);
            if (need / kZlibRatio > got + 64) return fail("declared array length exceeds what the data can hold");
            out->resize(count);
            if (type == DataType::Float64 && little_endian_host()) {
                if (!inflate_exact(packed.data(), got, reinterpret_cast<unsigned char*>(out->data()), need))
                    return fail("zlib data invalid or not of the declared length");
            } else {
                std::vector<unsigned char> bytes(need);
                if (!inflate_exact(packed.data(), got, bytes.data(), need))
                    return fail("zlib data invalid or not of the declared length");
                convert(bytes.data(), type, count, out->data());
            }
            return true;
        }

        if (!is_numpress(compression)) return fail("unsupported compression");
        std::vector<unsigned char> packed(max_bytes);
        std::size_t got = base64_decode(text, n, packed.data(), packed.size(), &significant);
        if (got == kFail) return fail("invalid base64");
        if (!check_encoded()) return fail(kBadEncoded);
        packed.resize(got);
        bool zipped = compression == Compression::NumpressLinearZlib || compression == Compression::NumpressPicZlib ||
                      compression == Compression::NumpressSlofZlib;
        Compression kind = compression == Compression::NumpressLinearZlib ? Compression::NumpressLinear
                           : compression == Compression::NumpressPicZlib  ? Compression::NumpressPic
                           : compression == Compression::NumpressSlofZlib ? Compression::NumpressSlof
                                                                          : compression;
        // The largest numpress encoding of `count` values.
        std::size_t bound = kind == Compression::NumpressSlof ? 8 + 2 * count : 16 + (9 * count + 1) / 2;
        if (zipped) {
            std::vector<unsigned char> plain;
            if (!inflate_bounded(packed.data(), packed.size(), bound, &plain)) return fail("invalid zlib data");
            packed.swap(plain);
        }
        // Each value takes at least one half-byte (two bytes for slof).
        std::size_t most = kind == Compression::NumpressSlof ? packed.size() / 2 : 2 * packed.size() + 2;
        if (count > most) return fail("array shorter than its declared length");
        out->resize(count);
        bool ok = kind == Compression::NumpressLinear ? numpress_linear_decode(packed.data(), packed.size(), count, out->data())
                  : kind == Compression::NumpressPic  ? numpress_pic_decode(packed.data(), packed.size(), count, out->data())
                                                      : numpress_slof_decode(packed.data(), packed.size(), count, out->data());
        if (!ok) return fail("numpress data invalid or not of the declared length");
        return true;
    } catch (...) {
        return fail("out of memory");
    }
}

}  // namespace mzml
