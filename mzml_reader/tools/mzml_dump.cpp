// A small command-line window onto the reading core, for tests and
// measurements:
//   mzml_dump info FILE             run, scan and chromatogram metadata (JSON); a file
//                                   refused gives {"error": reason, "failure": kind}
//   mzml_dump read FILE [POS...]    decoded arrays of spectra (all when no POS)
//   mzml_dump chrom FILE [POS...]   decoded arrays of chromatograms
//   mzml_dump decode COMPRESSION TYPE COUNT ENCODED_LENGTH   base64 on stdin
//   mzml_dump time FILE             open time and the time to read every spectrum
//   mzml_dump threads FILE N        N threads reading every spectrum in different
//                                   orders at once, compared with a sequential read
//   mzml_dump tokenize [STOP]       the subset tokenizer's events for the bytes on stdin
//   mzml_dump tokenize-each [STOP]  the same for each record on stdin (a decimal length,
//                                   a newline, that many bytes), one JSON line per record
//   mzml_dump index FILE            whether the open pass can use the file's offset index,
//                                   and if not, which check refused it
//   mzml_dump paths FILE            the subset tokenizer against expat alone: the
//                                   index pass and every element's arrays, compared
// COMPRESSION/TYPE are the accessions of the terms (e.g. MS:1000574 MS:1000523).
// Exit status: 0 on success, 1 when the file or data is refused, 2 on usage.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>

#include "array_parse.h"
#include "decode.h"
#include "document.h"
#include "failure.h"
#include "index_pass.h"
#include "run.h"
#include "source.h"
#include "subset_xml.h"
#include "vocabulary.h"
#include "tools/same_document.h"

namespace {

void put_string(const std::string& s) {
    std::putchar('"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') std::printf("\\%c", c);
        else if (c < 0x20) std::printf("\\u%04x", c);
        else std::putchar(c);
    }
    std::putchar('"');
}

void put_number(double v) {
    if (std::isnan(v)) std::fputs("null", stdout);
    else if (std::isinf(v)) std::fputs(v > 0 ? "1e999" : "-1e999", stdout);
    else std::printf("%.17g", v);
}

void put_array(const std::vector<double>& v) {
    std::putchar('[');
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (i) std::putchar(',');
        put_number(v[i]);
    }
    std::putchar(']');
}

void put_key(const char* k) { std::printf("\"%s\":", k); }

int info(const mzml::Run& run) {
    const mzml::RunInfo& r = run.info();
    std::printf("{\"first_scan\":%d,\"gzip\":%s,\"used_index\":%s,\"run\":{", run.first_scan(),
                run.gzip() ? "true" : "false", run.used_index() ? "true" : "false");
    const std::pair<const char*, const std::string*> texts[] = {
        {"run_id", &r.run_id}, {"start_time_stamp", &r.start_time_stamp}, {"source_file_name", &r.source_file_name},
        {"source_file_location", &r.source_file_location}, {"instrument_model", &r.instrument_model},
        {"instrument_name", &r.instrument_name}, {"instrument_serial", &r.instrument_serial},
        {"software_name", &r.software_name}, {"software_version", &r.software_version},
        {"sample_name", &r.sample_name}, {"sample_id", &r.sample_id}, {"sample_comment", &r.sample_comment}};
    for (auto& [k, v] : texts) {
        put_key(k);
        put_string(*v);
        std::putchar(',');
    }
    put_key("analyzers");
    std::putchar('[');
    for (std::size_t i = 0; i < r.analyzers.size(); ++i) {
        if (i) std::putchar(',');
        put_string(r.analyzers[i]);
    }
    std::fputs("]},\"scans\":[", stdout);
    for (std::size_t i = 0; i < run.scans().size(); ++i) {
        const mzml::ScanInfo& s = run.scans()[i];
        if (i) std::putchar(',');
        std::printf("{\"offset\":%llu,\"native_id\":", static_cast<unsigned long long>(s.offset));
        put_string(s.native_id);
        const char* centroid = s.representation == mzml::Representation::Unknown ? "null"
                               : s.centroid()                                    ? "true"
                                                                                 : "false";
        std::printf(",\"ms_level\":%d,\"centroid\":%s,\"polarity\":%d,\"array_length\":%lld", s.ms_level,
                    centroid, static_cast<int>(s.polarity), static_cast<long long>(s.array_length));
        const std::pair<const char*, double> nums[] = {
            {"rt_minutes", s.rt_minutes}, {"window_low", s.window_low}, {"window_high", s.window_high},
            {"lowest_mz", s.lowest_mz}, {"highest_mz", s.highest_mz}, {"tic", s.tic},
            {"base_peak_mz", s.base_peak_mz}, {"base_peak_intensity", s.base_peak_intensity},
            {"injection_time", s.injection_time}};
        for (auto& [k, v] : nums) {
            std::putchar(',');
            put_key(k);
            put_number(v);
        }
        std::fputs(",\"filter_text\":", stdout);
        put_string(s.filter_text);
        std::fputs(",\"scan_type\":", stdout);
        put_string(s.scan_type);
        std::fputs(",\"analyzer\":", stdout);
        put_string(s.analyzer);
        std::fputs(",\"precursors\":[", stdout);
        for (std::size_t j = 0; j < s.precursors.size(); ++j) {
            const mzml::Precursor& p = s.precursors[j];
            if (j) std::putchar(',');
            std::putchar('{');
            const std::pair<const char*, double> pn[] = {
                {"selected_mz", p.selected_mz}, {"isolation_target", p.isolation_target},
                {"isolation_lower", p.isolation_lower}, {"isolation_upper", p.isolation_upper},
                {"selected_intensity", p.selected_intensity}, {"collision_energy", p.collision_energy}};
            for (auto& [k, v] : pn) {
                put_key(k);
                put_number(v);
                std::putchar(',');
            }
            std::printf("\"charge\":%d,\"activation\":%d,\"supplemental\":%s,\"precursor_scan\":%d,\"spectrum_ref\":",
                        p.charge, static_cast<int>(p.activation), p.supplemental ? "true" : "false", p.precursor_scan);
            put_string(p.spectrum_ref);
            std::putchar('}');
        }
        std::fputs("]}", stdout);
    }
    std::fputs("],\"chromatograms\":[", stdout);
    for (std::size_t i = 0; i < run.chromatograms().size(); ++i) {
        const mzml::ChromatogramInfo& c = run.chromatograms()[i];
        if (i) std::putchar(',');
        std::printf("{\"offset\":%llu,\"id\":", static_cast<unsigned long long>(c.offset));
        put_string(c.id);
        std::fputs(",\"kind\":", stdout);
        put_string(c.kind);
        std::printf(",\"array_length\":%lld}", static_cast<long long>(c.array_length));
    }
    std::fputs("]}\n", stdout);
    return 0;
}

int read(const mzml::Run& run, bool chrom, int argc, char** argv) {
    std::size_t total = chrom ? run.chromatograms().size() : run.scans().size();
    std::vector<std::size_t> positions;
    if (argc == 0)
        for (std::size_t i = 0; i < total; ++i) positions.push_back(i);
    for (int i = 0; i < argc; ++i) positions.push_back(static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)));
    std::putchar('[');
    mzml::Arrays a;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (i) std::putchar(',');
        bool ok = chrom ? run.read_chromatogram(positions[i], &a) : run.read_spectrum(positions[i], &a);
        if (!ok) {
            std::fputs("null", stdout);
            continue;
        }
        std::putchar('[');
        put_array(a.x);
        std::putchar(',');
        put_array(a.y);
        std::putchar(']');
    }
    std::fputs("]\n", stdout);
    return 0;
}

void put_tokens(const std::string& data, const char* stop_at) {
    mzml::SubsetTokens t;
    mzml::Subset r = mzml::tokenize_subset(data.data(), data.size(), stop_at, &t);
    std::printf("{\"result\":\"%s\",\"events\":[",
                r == mzml::Subset::Complete ? "complete" : r == mzml::Subset::Outside ? "outside" : "short");
    for (std::size_t i = 0; i < t.events.size(); ++i) {
        const mzml::SubsetEvent& e = t.events[i];
        std::printf("%s[%s,", i ? "," : "", e.end ? "true" : "false");
        put_string(t.arena.data() + e.name);
        std::fputs(",[", stdout);
        for (std::uint32_t k = 0; k < e.attr_count; ++k) {
            std::fputs(k ? ",[" : "[", stdout);
            put_string(t.arena.data() + t.attrs[e.attrs + 2 * k]);
            std::putchar(',');
            put_string(t.arena.data() + t.attrs[e.attrs + 2 * k + 1]);
            std::putchar(']');
        }
        std::printf("],%zu,%zu]", e.at, e.length);
    }
    std::puts("]}");
}

int tokenize(const char* stop_at) {
    std::string data((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    put_tokens(data, stop_at);
    return 0;
}

// Many inputs in one process: each record is its length in decimal, a
// newline, then that many bytes.
int tokenize_each(const char* stop_at) {
    std::string data;
    std::size_t length = 0;
    while (std::cin >> length) {
        if (std::cin.get() != '\n' || length > (std::size_t{1} << 30)) return 2;
        data.resize(length);
        if (length && !std::cin.read(data.data(), static_cast<std::streamsize>(length))) return 2;
        put_tokens(data, stop_at);
    }
    return std::cin.eof() ? 0 : 2;
}

// The indexed open pass alone: used, or the failure and index problem; the
// listed elements whose headers did not land (kind and position).
int index(const char* path) {
    mzml::Outcome error;
    std::unique_ptr<mzml::ByteSource> source = mzml::open_source(path, &error);
    if (!source) return 1;
    mzml::Document doc;
    bool used = !source->gzip() && mzml::index_document(*source, &doc, &error);
    std::printf("{\"used\":%s,\"failure\":\"%s\",\"problem\":\"%s\",\"reason\":", used ? "true" : "false",
                mzml::failure_name(error.failure), mzml::index_problem_name(error.index));
    put_string(error.text);
    std::printf(",\"spectra\":%zu,\"chromatograms\":%zu,\"misses\":[", doc.scans.size(), doc.chromatograms.size());
    for (std::size_t i = 0; i < doc.misses.size(); ++i)
        std::printf("%s[\"%s\",%zu]", i ? "," : "", doc.misses[i].spectrum ? "spectrum" : "chromatogram",
                    doc.misses[i].position);
    std::printf("]}\n");
    return 0;
}

// The answers of both tokenizer paths: the index pass (plain files) and the
// arrays of every element.
int paths(const char* path, const mzml::Run& run) {
    mzml::Outcome error;
    std::unique_ptr<mzml::ByteSource> source = mzml::open_source(path, &error);
    if (!source) return 1;
    std::printf("{\"index\":");
    if (source->gzip()) {
        std::fputs("null", stdout);
    } else {
        mzml::Document subset, expat;
        mzml::Outcome why_subset, why_expat;
        bool a = mzml::index_document(*source, &subset, &why_subset, mzml::XmlPath::Auto);
        bool b = mzml::index_document(*source, &expat, &why_expat, mzml::XmlPath::ExpatOnly);
        std::printf("{\"used\":%s,\"same\":%s}", a ? "true" : "false",
                    a == b && why_subset == why_expat && (!a || mzml::same(subset, expat)) ? "true" : "false");
    }
    std::size_t elements = 0, readable = 0, differ = 0;
    mzml::Arrays x, y;
    auto compare = [&](bool ok_x, bool ok_y) {
        ++elements;
        if (ok_x) ++readable;
        if (ok_x != ok_y || x.x != y.x || x.y != y.y) ++differ;
    };
    for (std::size_t i = 0; i < run.scans().size(); ++i) {
        bool ok_x = run.read_spectrum(i, &x, mzml::XmlPath::Auto);
        compare(ok_x, run.read_spectrum(i, &y, mzml::XmlPath::ExpatOnly));
    }
    for (std::size_t i = 0; i < run.chromatograms().size(); ++i) {
        bool ok_x = run.read_chromatogram(i, &x, mzml::XmlPath::Auto);
        compare(ok_x, run.read_chromatogram(i, &y, mzml::XmlPath::ExpatOnly));
    }
    std::printf(",\"elements\":%zu,\"readable\":%zu,\"differ\":%zu}\n", elements, readable, differ);
    return 0;
}

int decode(int argc, char** argv) {
    if (argc != 4) return 2;
    std::string text((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    mzml::Compression c = mzml::compression_from_accession(argv[0]);
    mzml::DataType t = mzml::data_type_from_accession(argv[1]);
    std::size_t count = static_cast<std::size_t>(std::strtoull(argv[2], nullptr, 10));
    long long enc = std::strtoll(argv[3], nullptr, 10);
    std::vector<double> out;
    std::string why;
    if (!mzml::decode_array(text.data(), text.size(), c, t, count, enc, &out, &why)) {
        std::printf("{\"error\":");
        put_string(why);
        std::puts("}");
        return 1;
    }
    std::fputs("{\"values\":", stdout);
    put_array(out);
    std::puts("}");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string cmd = argv[1];
    if (cmd == "decode") return decode(argc - 2, argv + 2);
    if (cmd == "tokenize") return tokenize(argc >= 3 ? argv[2] : nullptr);
    if (cmd == "tokenize-each") return tokenize_each(argc >= 3 ? argv[2] : nullptr);
    if (argc < 3) return 2;
    if (cmd == "index") return index(argv[2]);
    auto t0 = std::chrono::steady_clock::now();
    mzml::Outcome error;
    std::unique_ptr<mzml::Run> run = mzml::Run::open(argv[2], &error);
    auto t1 = std::chrono::steady_clock::now();
    if (!run) {
        std::printf("{\"error\":");
        put_string(error.text);
        std::printf(",\"failure\":\"%s\"}\n", mzml::failure_name(error.failure));
        return 1;
    }
    if (cmd == "info") return info(*run);
    if (cmd == "paths") return paths(argv[2], *run);
    if (cmd == "read") return read(*run, false, argc - 3, argv + 3);
    if (cmd == "chrom") return read(*run, true, argc - 3, argv + 3);
    if (cmd == "time") {
        mzml::Arrays a;
        std::size_t peaks = 0, failed = 0;
        for (std::size_t i = 0; i < run->scans().size(); ++i) {
            if (run->read_spectrum(i, &a)) peaks += a.x.size();
            else ++failed;
        }
        auto t2 = std::chrono::steady_clock::now();
        std::printf("{\"used_index\":%s,\"open_s\":%.6f,\"read_all_s\":%.6f,\"scans\":%zu,\"peaks\":%zu,\"failed\":%zu}\n",
                    run->used_index() ? "true" : "false", std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count(),
                    run->scans().size(), peaks, failed);
        return 0;
    }
    if (cmd == "threads" && argc >= 4) {
        const std::size_t n = run->scans().size();
        const int threads = std::max(1, std::atoi(argv[3]));
        std::vector<mzml::Arrays> reference(n);
        std::vector<char> readable(n);
        for (std::size_t i = 0; i < n; ++i) readable[i] = run->read_spectrum(i, &reference[i]);
        std::vector<std::size_t> mismatches(static_cast<std::size_t>(threads));
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t) {
            pool.emplace_back([&, t] {
                mzml::Arrays a;
                for (std::size_t k = 0; k < n; ++k) {
                    // Each thread starts elsewhere; odd threads go backwards.
                    std::size_t i = (k + static_cast<std::size_t>(t) * n / static_cast<std::size_t>(threads)) % n;
                    if (t % 2) i = n - 1 - i;
                    bool ok = run->read_spectrum(i, &a);
                    if (ok != static_cast<bool>(readable[i]) || (ok && (a.x != reference[i].x || a.y != reference[i].y)))
                        ++mismatches[static_cast<std::size_t>(t)];
                }
            });
        }
        for (std::thread& th : pool) th.join();
        std::size_t total = 0;
        for (std::size_t m : mismatches) total += m;
        std::printf("{\"scans\":%zu,\"threads\":%d,\"mismatches\":%zu}\n", n, threads, total);
        return 0;
    }
    return 2;
}
