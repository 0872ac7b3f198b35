// Decoding of mzML binary arrays: base64, zlib, 32/64-bit floats and ints
// (little-endian), and MS-Numpress linear, pic and slof (alone or followed
// by zlib). Every function is bounded: it never reads past its input, never
// writes past its output, and checks declared lengths against what the input
// can hold before allocating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace mzml {

enum class Compression : std::uint8_t {
    Unknown,
    None,
    Zlib,
    NumpressLinear,
    NumpressPic,
    NumpressSlof,
    NumpressLinearZlib,
    NumpressPicZlib,
    NumpressSlofZlib,
};

enum class DataType : std::uint8_t { Unknown, Float32, Float64, Int32, Int64 };

// (Which term names which compression and type: vocabulary.h.)

// Base64 (RFC 4648 alphabet, '=' padding). Whitespace (space, tab, CR, LF)
// is skipped; any other character outside the alphabet, a length that is not
// a multiple of four, or misplaced padding is a failure. Writes at most `cap`
// bytes to out. Returns the decoded size, or SIZE_MAX on failure (including
// when the result would not fit in cap). On success *significant (when
// given) receives the count of non-whitespace characters.
std::size_t base64_decode(const char* text, std::size_t n, unsigned char* out, std::size_t cap,
                          std::size_t* significant = nullptr) noexcept;
// The count of non-whitespace characters (what encodedLength declares).
std::size_t base64_significant_length(const char* text, std::size_t n) noexcept;

// Inflates a zlib stream that must decompress to exactly `size` bytes.
bool inflate_exact(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t size) noexcept;
// Inflates a zlib stream of unknown output size, at most `max` bytes.
bool inflate_bounded(const unsigned char* in, std::size_t n, std::size_t max, std::vector<unsigned char>* out) noexcept;

// MS-Numpress decoders: exactly `count` values into out[0..count).
// False when the input holds fewer values, more than padding beyond them, or
// is malformed.
bool numpress_linear_decode(const unsigned char* in, std::size_t n, std::size_t count, double* out) noexcept;
bool numpress_pic_decode(const unsigned char* in, std::size_t n, std::size_t count, double* out) noexcept;
bool numpress_slof_decode(const unsigned char* in, std::size_t n, std::size_t count, double* out) noexcept;

// Decodes one binaryDataArray's base64 text into `count` doubles.
// `encoded_length` < 0 means not declared. False (with *why) on any mismatch.
bool decode_array(const char* text, std::size_t n, Compression compression, DataType type, std::size_t count,
                  std::int64_t encoded_length, std::vector<double>* out, std::string* why) noexcept;

}  // namespace mzml
