// The array parse, see array_parse.h.
#include "array_parse.h"

#include <algorithm>
#include <cstring>

#include "decode.h"
#include "feeder.h"
#include "subset_xml.h"
#include "xml_events.h"

namespace mzml {

namespace {

// What one call parses: the bytes, what their root must be, and the
// element's defaultArrayLength when the root is the array list itself.
struct ArrayRequest {
    ElementKind kind;
    Tag root;                     // Spectrum, Chromatogram or BinaryDataArrayList
    const std::string* id;        // the element's id; null for an array list
    std::int64_t default_length;  // for an array list
    const char* data;             // the bytes (array text is decoded from them)
    std::size_t size;
    ArrayWork work = ArrayWork::Decode;
};

class ArrayHandler final : public ElementHandler {
public:
    ArrayHandler(const ArrayRequest& request, const ParamGroups& groups, Arrays* out)
        : ElementHandler(&groups), request_(request), out_(out) {}

    bool has_both() const noexcept { return have_x_ && have_y_; }
    bool has_none() const noexcept { return !have_x_ && !have_y_; }
    std::int64_t element_length() const noexcept { return default_length_; }

private:
    // The binaryDataArray being read.
    struct ArrayState {
        Compression compression = Compression::Unknown;  // the first non-zlib compression term
        bool zlib = false;                                 // "zlib compression" was among the terms
        DataType type = DataType::Unknown;
        Term kind = Term::Unknown;  // MzArray, IntensityArray or TimeArray
        std::string name;           // what the array is, for one that is not decoded
        double time_factor = 1.0 / 60.0;
        std::int64_t encoded_length = -1;
        std::int64_t array_length = -1;
        std::size_t text_begin = 0, text_end = 0;
        bool have_text = false;
    };

    const ArrayRequest& request_;
    Arrays* out_;
    std::int64_t default_length_ = 0;
    ArrayState array_;
    bool have_x_ = false, have_y_ = false;

    bool root(Tag t, const char** atts) override {
        const char* id = attr(atts, "id");
        const std::string* want = request_.id;
        if (t != request_.root || (want && !(id ? *want == id : want->empty()))) {
            abort(Failure::Malformed, "the offset does not point at the named element");
            return false;
        }
        default_length_ = t == Tag::BinaryDataArrayList ? request_.default_length
                                                        : to_int(attr(atts, "defaultArrayLength"), 0);
        return true;
    }

    void open(Tag t, const char** atts) override {
        if (t == Tag::BinaryDataArray) {
            array_ = ArrayState{};
            array_.encoded_length = to_int(attr(atts, "encodedLength"), -1);
            array_.array_length = to_int(attr(atts, "arrayLength"), -1);
        } else if (t == Tag::Binary) {
            // Positions in the element's bytes (the text itself is not tokenized).
            array_.text_begin = static_cast<std::size_t>(offset() + event_length());
            array_.have_text = false;
        }
    }

    void close(Tag t) override {
        if (t == Tag::Binary) {
            array_.text_end = std::max(static_cast<std::size_t>(offset()), array_.text_begin);
            array_.have_text = true;
        } else if (t == Tag::BinaryDataArray) {
            finish_array();
        }
    }

    void param(Tag context, const ParamView& p) override {
        if (context != Tag::BinaryDataArray) return;
        if (p.user) {
            if (array_.name.empty() && !empty(p.name)) array_.name = p.name;
            return;
        }
        switch (p.term) {
        case Term::MzArray:
        case Term::IntensityArray:
            array_.kind = p.term;
            array_.name = p.name;
            return;
        case Term::TimeArray:
            array_.kind = p.term;
            array_.name = p.name;
            array_.time_factor = 1.0 / units_per_minute(p.unit_acc, p.unit_name);
            return;
        case Term::NonStandardArray:
            // The array is named by the term's value.
            array_.name = empty(p.value) ? p.name : p.value;
            return;
        default:
            break;
        }
        Compression c = compression_of(p.term);
        if (c == Compression::Zlib) {
            array_.zlib = true;
            return;
        }
        if (c != Compression::Unknown) {
            if (array_.compression == Compression::Unknown || array_.compression == Compression::None)
                array_.compression = c;
            return;
        }
        DataType d = data_type_of(p.term);
        if (d != DataType::Unknown) {
            array_.type = d;
            return;
        }
        // Any other term of an array names what it holds ("charge array", ...).
        if (p.term == Term::Unknown && !empty(p.name) && array_.name.empty()) array_.name = p.name;
    }

    // Numpress is written either with its "followed by zlib" term or with
    // the plain Numpress term beside "zlib compression"; no term at all
    // means no compression.
    Compression effective_compression() const {
        Compression c = array_.compression;
        if (!array_.zlib) return c == Compression::Unknown ? Compression::None : c;
        switch (c) {
        case Compression::Unknown:
        case Compression::None:
        case Compression::Zlib:
            return Compression::Zlib;
        case Compression::NumpressLinear:
            return Compression::NumpressLinearZlib;
        case Compression::NumpressPic:
            return Compression::NumpressPicZlib;
        case Compression::NumpressSlof:
            return Compression::NumpressSlofZlib;
        default:
            return c;  // already a combined term
        }
    }

    // Decodes the array just closed when it is one of the two wanted and
    // the first of its kind; names it among the others when it is not.
    void finish_array() {
        bool spectrum = request_.kind == ElementKind::Spectrum;
        bool want_x = array_.kind == (spectrum ? Term::MzArray : Term::TimeArray);
        bool want_y = array_.kind == Term::IntensityArray;
        if ((!want_x || have_x_) && (!want_y || have_y_)) {
            out_->others.push_back(array_.name.empty() ? std::string("unnamed array") : array_.name);
            return;
        }
        if (request_.work == ArrayWork::NameOthers) {
            (want_x ? have_x_ : have_y_) = true;
            return;
        }
        if (!array_.have_text) return abort(Failure::BadArrays, "binary data array without its data");
        std::int64_t count = array_.array_length >= 0 ? array_.array_length : default_length_;
        if (count < 0) return abort(Failure::BadArrays, "negative array length");
        if (array_.text_end > request_.size) return abort(Failure::BadArrays, "binary data out of range");
        const char* text = request_.data + array_.text_begin;
        std::size_t n = array_.text_end - array_.text_begin;
        if (std::memchr(text, '<', n) || std::memchr(text, '&', n))
            return abort(Failure::BadArrays, "markup inside binary data is not supported");
        std::vector<double>& dst = want_x ? out_->x : out_->y;
        std::string why;
        if (!decode_array(text, n, effective_compression(), array_.type, static_cast<std::size_t>(count),
                          array_.encoded_length, &dst, &why))
            return abort(Failure::BadArrays, why.c_str());
        if (want_x) {
            have_x_ = true;
            if (!spectrum && array_.time_factor != 1.0)
                for (double& v : dst) v *= array_.time_factor;
        } else {
            have_y_ = true;
        }
    }
};

Outcome parse_arrays(const ArrayRequest& request, const ParamGroups& groups, Arrays* out, XmlPath path) {
    out->x.clear();
    out->y.clear();
    out->others.clear();
    if (request.size > (std::size_t(1) << 30)) return Outcome::fail(Failure::BadArrays, "the element is too large");
    // The subset tokenizer reads what real writers produce; expat reads the
    // rest, and anything the tokenizer declines.
    ParserPtr parser;
    SubsetTokens tokens;
    bool by_subset = path == XmlPath::Auto &&
                     tokenize_subset(request.data, request.size, nullptr, &tokens) == Subset::Complete;
    if (!by_subset) {
        parser = make_parser();
        if (!parser) return Outcome::fail(Failure::NoMemory, "out of memory");
    }
    ArrayHandler h(request, groups, out);
    if (by_subset) {
        replay(tokens, 0, h);
    } else {
        Feeder feeder(parser.get(), h, 0, true);
        feeder.feed(request.data, request.size);
    }
    // An element without arrays is an empty spectrum when it declares no points.
    bool arrays_ok = h.has_both() || (h.has_none() && h.element_length() == 0);
    if (h.failed()) return h.failure();
    if (!h.finished()) return Outcome::fail(Failure::Truncated, "the element is truncated");
    if (request.work == ArrayWork::NameOthers) return Outcome::success();
    if (!arrays_ok) return Outcome::fail(Failure::BadArrays, "the element lacks its arrays");
    if (out->x.size() != out->y.size()) return Outcome::fail(Failure::BadArrays, "the arrays differ in length");
    return Outcome::success();
}

// Runs a parse; *out is left empty on any failure, and nothing escapes.
Outcome parse_guarded(const ArrayRequest& request, const ParamGroups& groups, Arrays* out, XmlPath path) noexcept {
    Outcome result;
    try {
        result = parse_arrays(request, groups, out, path);
    } catch (...) {
        result = Outcome{};
        result.failure = Failure::NoMemory;
        result.text = "out of memory";  // short enough to need no allocation
    }
    if (!result.ok()) {
        out->x.clear();
        out->y.clear();
        out->others.clear();
    }
    return result;
}

}  // namespace

Outcome parse_element_arrays(const char* data, std::size_t n, ElementKind kind, const std::string& expect_id,
                             const ParamGroups& groups, Arrays* out, XmlPath path, ArrayWork work) noexcept {
    Tag root = kind == ElementKind::Spectrum ? Tag::Spectrum : Tag::Chromatogram;
    return parse_guarded(ArrayRequest{kind, root, &expect_id, 0, data, n, work}, groups, out, path);
}

Outcome parse_array_list(const char* data, std::size_t n, ElementKind kind, std::int64_t default_length,
                         const ParamGroups& groups, Arrays* out, XmlPath path, ArrayWork work) noexcept {
    return parse_guarded(ArrayRequest{kind, Tag::BinaryDataArrayList, nullptr, default_length, data, n, work}, groups,
                         out, path);
}

}  // namespace mzml
