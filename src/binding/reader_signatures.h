// The native signatures of the Reader library's entry points, spelled at
// compile time from the rows of reader_entries.def.
//
// Each row carries a signature string "R:PPPP" (see reader_entries.def for
// the kind letters). From it this header derives the C types of the result
// and of every parameter, and the function type of the whole entry point, so
// that every library built here that exports entry points (the stand-in, the
// mzML reader) declares them from the same table, and the module can check
// its call shapes against it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

namespace corvix::signatures {

template <std::size_t N>
struct Sig {
    char text[N]{};
    consteval Sig(const char (&s)[N]) { std::copy_n(s, N, text); }
    constexpr std::size_t arity() const { return N >= 3 ? N - 3 : 0; }
    constexpr char ret() const { return text[0]; }
    constexpr char param(std::size_t k) const { return text[2 + k]; }
};

template <char K>
struct KindType;  // an unknown kind letter fails to compile here
template <> struct KindType<'i'> { using type = std::int32_t; };
template <> struct KindType<'q'> { using type = std::int64_t; };
template <> struct KindType<'d'> { using type = double; };
template <> struct KindType<'s'> { using type = const char*; };
template <> struct KindType<'b'> { using type = char*; };
template <> struct KindType<'P'> { using type = const char**; };
template <> struct KindType<'D'> { using type = double*; };
template <> struct KindType<'N'> { using type = std::int32_t*; };
template <> struct KindType<'T'> { using type = double*; };
template <> struct KindType<'S'> { using type = double*; };
template <> struct KindType<'A'> { using type = const double*; };
template <> struct KindType<'J'> { using type = const std::int32_t*; };

template <Sig S>
using RetT = typename KindType<S.ret()>::type;
template <Sig S, std::size_t K>
using ParamT = typename KindType<S.param(K)>::type;

// Position of the first 'i' after position k in a parameter string, or npos.
constexpr std::size_t count_position(std::string_view params, std::size_t k) {
    return params.find('i', k + 1);
}

// Structural check of one table row: the return kind is a value kind, every
// parameter kind is known, every text buffer, pointer-slot array and array
// group has its capacity right after it, input arrays have a count after
// them, and the declared parameter count matches the string.
constexpr bool row_is_valid(std::string_view sig, std::size_t declared_arity) {
    if (sig.size() < 3 || sig[1] != ':') return false;
    if (sig[0] != 'i' && sig[0] != 'q' && sig[0] != 'd') return false;
    const std::string_view p = sig.substr(2);
    if (p.size() != declared_arity) return false;
    if (p.find('q') != std::string_view::npos) return false;  // return kind only
    for (std::size_t k = 0; k < p.size(); ++k) {
        const char c = p[k];
        if (std::string_view("idsbPDNTSAJ").find(c) == std::string_view::npos) return false;
        const char next = k + 1 < p.size() ? p[k + 1] : '\0';
        switch (c) {
            case 'b':
            case 'P':
                if (next != 'i') return false;
                break;
            case 'D':
            case 'N':
            case 'T': {
                // the array group ends with its capacity
                std::size_t j = k + 1;
                while (j < p.size() && (p[j] == 'D' || p[j] == 'N' || p[j] == 'T')) ++j;
                if (j >= p.size() || p[j] != 'i') return false;
                break;
            }
            case 'A':
            case 'J':
                if (count_position(p, k) == std::string_view::npos) return false;
                break;
            default:
                break;
        }
    }
    return true;
}

// The function type of an entry point with signature S, e.g. for "i:iibi"
// std::int32_t(std::int32_t, std::int32_t, char*, std::int32_t).
template <Sig S, std::size_t... K>
auto function_of(std::index_sequence<K...>) -> RetT<S> (*)(ParamT<S, K>...);
template <Sig S>
using EntryPointer = decltype(function_of<S>(std::make_index_sequence<S.arity()>{}));

// ---------------------------------------------------------------------------
// The table itself, for look-ups by entry name at compile time.

struct TableRow {
    std::string_view name;
    std::string_view sig;
};

inline constexpr TableRow kTable[] = {
#define READER_ENTRY(name, sig, n) {#name, sig},
#include "reader_entries.def"
};

// The signature string of an entry point, or "" for a name not in the table.
constexpr std::string_view signature_of(std::string_view name) {
    for (const TableRow& row : kTable)
        if (row.name == name) return row.sig;
    return {};
}

// The kind letter of a C type as it crosses the boundary. The two-value
// trailer and the statistics block are float64* like any output array, so a
// C type cannot tell 'T' and 'S' from 'D': they compare as 'D'.
template <class T> struct KindOf;
template <> struct KindOf<void> { static constexpr char value = 'v'; };
template <> struct KindOf<std::int32_t> { static constexpr char value = 'i'; };
template <> struct KindOf<std::int64_t> { static constexpr char value = 'q'; };
template <> struct KindOf<double> { static constexpr char value = 'd'; };
template <> struct KindOf<const char*> { static constexpr char value = 's'; };
template <> struct KindOf<char*> { static constexpr char value = 'b'; };
template <> struct KindOf<const char**> { static constexpr char value = 'P'; };
template <> struct KindOf<double*> { static constexpr char value = 'D'; };
template <> struct KindOf<std::int32_t*> { static constexpr char value = 'N'; };
template <> struct KindOf<const double*> { static constexpr char value = 'A'; };
template <> struct KindOf<const std::int32_t*> { static constexpr char value = 'J'; };

constexpr char comparable_kind(char kind) { return kind == 'T' || kind == 'S' ? 'D' : kind; }

template <class F> struct PointerShape;
template <class R, class... P>
struct PointerShape<R (*)(P...)> {
    static constexpr char ret = KindOf<R>::value;
    static constexpr char params[] = {KindOf<P>::value..., '\0'};
    static constexpr std::size_t arity = sizeof...(P);
};

// True when calling the entry point `name` through a pointer of type F agrees
// with the table: same parameter kinds in the same order and the same result
// kind. A void result matches any: the caller ignores it.
template <class F>
constexpr bool matches_table(std::string_view name) {
    const std::string_view sig = signature_of(name);
    if (sig.size() < 2) return false;
    using Shape = PointerShape<F>;
    if (Shape::ret != 'v' && Shape::ret != sig[0]) return false;
    const std::string_view params = sig.substr(2);
    if (params.size() != Shape::arity) return false;
    for (std::size_t k = 0; k < params.size(); ++k)
        if (comparable_kind(params[k]) != Shape::params[k]) return false;
    return true;
}

}  // namespace corvix::signatures
