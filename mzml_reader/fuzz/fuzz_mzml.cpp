// Fuzz target over the mzML reading core. The first input byte chooses what
// the rest is fed to:
//   0  one <spectrum>/<chromatogram> element's arrays (id "x")
//   1  a <binaryDataArrayList> alone
//      (both read by the subset tokenizer and by expat alone: the answers
//      must be the same, byte for byte)
//   2  one array decoder (next bytes: compression, type, count)
//   3  a whole file: the index pass both ways (see 0 and 1), Run::open, then
//      every spectrum and chromatogram
//   4  the same, gzip-compressed first (the gzip source over valid streams)
// Built with libFuzzer by scripts/fuzz.sh; with -DMZML_FUZZ_STANDALONE it
// gets a main() that runs the files named on its command line once. Whole
// files are written to an in-memory file, never to the file system.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "array_parse.h"
#include "decode.h"
#include "index_pass.h"
#include "run.h"
#include "source.h"
#include "tools/same_document.h"
#include "vocabulary.h"

namespace {

const char* const kCompressions[] = {"MS:1000576", "MS:1000574", "MS:1002312", "MS:1002313",
                                     "MS:1002314", "MS:1002746", "MS:1002747", "MS:1002748"};
const char* const kTypes[] = {"MS:1000521", "MS:1000523", "MS:1000519", "MS:1000522"};

// The inputs are read back through a path, as the library reads files: an
// anonymous in-memory file (memfd), reached as /proc/self/fd/N, so that
// fuzzing leaves no file behind anywhere.
int scratch_fd() {
    static const int fd = memfd_create("mzml_fuzz", MFD_CLOEXEC);
    if (fd < 0) __builtin_trap();
    return fd;
}

std::string scratch_path() { return "/proc/self/fd/" + std::to_string(scratch_fd()); }

void open_and_read(const unsigned char* data, std::size_t n) {
    const int fd = scratch_fd();
    if (ftruncate(fd, 0) != 0) return;
    for (std::size_t done = 0; done < n;) {
        ssize_t k = pwrite(fd, data + done, n - done, static_cast<off_t>(done));
        if (k <= 0) return;
        done += static_cast<std::size_t>(k);
    }
    const std::string path = scratch_path();
    mzml::Outcome error;
    // The index pass through the subset tokenizer and through expat alone
    // must learn the same.
    if (std::unique_ptr<mzml::ByteSource> source = mzml::open_source(path, &error); source && !source->gzip()) {
        mzml::Document subset, expat;
        mzml::Outcome why_subset, why_expat;
        bool a = mzml::index_document(*source, &subset, &why_subset, mzml::XmlPath::Auto);
        bool b = mzml::index_document(*source, &expat, &why_expat, mzml::XmlPath::ExpatOnly);
        if (a != b || why_subset != why_expat || (a && !mzml::same(subset, expat))) __builtin_trap();
    }
    std::unique_ptr<mzml::Run> run = mzml::Run::open(path, &error);
    if (!run) {
        if (error.ok() || error.text.empty()) __builtin_trap();  // a refusal always says what and why
        return;
    }
    mzml::Arrays a;
    for (std::size_t i = 0; i < run->scans().size(); ++i)
        if (run->read_spectrum(i, &a) && a.x.size() != a.y.size()) __builtin_trap();
    for (std::size_t i = 0; i < run->chromatograms().size(); ++i) run->read_chromatogram(i, &a);
    run->read_spectrum(run->scans().size(), &a);
    // Backwards too (gzip cursor restarts).
    for (std::size_t i = run->scans().size(); i-- > 0;) run->read_spectrum(i, &a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned char mode = data[0] % 5;
    const auto* rest = reinterpret_cast<const char*>(data + 1);
    std::size_t n = size - 1;
    mzml::Arrays arrays;
    mzml::ParamGroups groups;
    groups["g"].push_back(mzml::Param{"MS:1000574", "zlib compression", "", "", "", false});
    groups["g"].push_back(mzml::Param{"MS:1000523", "64-bit float", "", "", "", false});
    std::string why;
    switch (mode) {
    case 0:
    case 1: {
        // Both tokenizer paths, which must agree in every respect.
        auto parse = [&](mzml::XmlPath path, mzml::Arrays* out) {
            if (mode == 0)
                return mzml::parse_element_arrays(rest, n, n % 2 ? mzml::ElementKind::Spectrum
                                                                 : mzml::ElementKind::Chromatogram,
                                                  "x", groups, out, path);
            return mzml::parse_array_list(rest, n, mzml::ElementKind::Spectrum, static_cast<std::int64_t>(n % 97),
                                          groups, out, path);
        };
        mzml::Arrays by_expat;
        mzml::Outcome subset_outcome = parse(mzml::XmlPath::Auto, &arrays);
        mzml::Outcome expat_outcome = parse(mzml::XmlPath::ExpatOnly, &by_expat);
        // A failure always says what went wrong.
        if (!subset_outcome.ok() && subset_outcome.text.empty()) __builtin_trap();
        auto same_bits = [](const std::vector<double>& a, const std::vector<double>& b) {
            return a.size() == b.size() && (a.empty() || !std::memcmp(a.data(), b.data(), a.size() * sizeof(double)));
        };
        if (subset_outcome != expat_outcome || !same_bits(arrays.x, by_expat.x) || !same_bits(arrays.y, by_expat.y))
            __builtin_trap();
        break;
    }
    case 2: {
        if (n < 3) return 0;
        auto c = mzml::compression_from_accession(kCompressions[rest[0] & 7]);
        auto t = mzml::data_type_from_accession(kTypes[rest[1] & 3]);
        std::size_t count = static_cast<unsigned char>(rest[2]);
        if (rest[2] & 0x80) count <<= (rest[1] >> 2) & 0x3f;  // now and then a huge declared length
        std::vector<double> out;
        mzml::decode_array(rest + 3, n - 3, c, t, count, (rest[0] & 8) ? -1 : static_cast<std::int64_t>(n - 3), &out,
                           &why);
        break;
    }
    case 3:
        open_and_read(data + 1, n);
        break;
    case 4: {
        uLongf len = compressBound(static_cast<uLong>(n)) + 32;
        std::vector<unsigned char> gz(len);
        z_stream zs{};
        if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
        zs.next_in = const_cast<unsigned char*>(data + 1);
        zs.avail_in = static_cast<uInt>(n);
        zs.next_out = gz.data();
        zs.avail_out = static_cast<uInt>(gz.size());
        int ret = deflate(&zs, Z_FINISH);
        std::size_t produced = gz.size() - zs.avail_out;
        deflateEnd(&zs);
        if (ret != Z_STREAM_END) return 0;
        open_and_read(gz.data(), produced);
        break;
    }
    default:
        break;
    }
    return 0;
}

#ifdef MZML_FUZZ_STANDALONE
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        FILE* f = std::fopen(argv[i], "rb");
        if (!f) continue;
        std::vector<unsigned char> buf;
        unsigned char chunk[65536];
        std::size_t k;
        while ((k = std::fread(chunk, 1, sizeof chunk, f)) > 0) buf.insert(buf.end(), chunk, chunk + k);
        std::fclose(f);
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    return 0;
}
#endif
