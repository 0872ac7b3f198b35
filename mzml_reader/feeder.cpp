// The expat driver, see feeder.h.
#include "feeder.h"

#include <algorithm>
#include <cstring>

namespace mzml {

namespace {

// Skipped array text: where a "<binary" start tag of the fed data ends.
const char* find_binary_tag_end(const char* p, const char* end) {
    while (p < end) {
        const char* q = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        if (!q) return nullptr;
        if (end - q >= 8 && std::memcmp(q + 1, "binary", 6) == 0 &&
            (q[7] == '>' || q[7] == ' ' || q[7] == '\t' || q[7] == '\n' || q[7] == '\r')) {
            const char* r = static_cast<const char*>(std::memchr(q + 7, '>', static_cast<std::size_t>(end - q - 7)));
            return r ? r + 1 : nullptr;
        }
        p = q + 1;
    }
    return nullptr;
}

void XMLCALL on_start(void* ud, const XML_Char* name, const XML_Char** atts) {
    static_cast<ElementHandler*>(ud)->start(name, atts);
}
void XMLCALL on_end(void* ud, const XML_Char*) { static_cast<ElementHandler*>(ud)->end(); }
void XMLCALL on_text(void* ud, const XML_Char* s, int len) { static_cast<ElementHandler*>(ud)->text(s, len); }

// Segments kept for the offset map: recent ones only (positions are asked
// for the tag being reported, which is always near the end of what was fed).
constexpr std::size_t kMaxSegments = 256;
constexpr std::size_t kDroppedSegments = 192;

}  // namespace

ParserPtr make_parser() { return ParserPtr(XML_ParserCreate(nullptr)); }

Outcome xml_failure(XML_Error code) {
    const char* text = XML_ErrorString(code);
    if (!text) text = "XML error";
    switch (code) {
    case XML_ERROR_NO_ELEMENTS:
    case XML_ERROR_UNCLOSED_TOKEN:
    case XML_ERROR_PARTIAL_CHAR:
        return Outcome::fail(Failure::Truncated, text);
    case XML_ERROR_NO_MEMORY:
        return Outcome::fail(Failure::NoMemory, text);
    default:
        return Outcome::fail(Failure::Malformed, text);
    }
}

Feeder::Feeder(XML_Parser parser, ElementHandler& handler, std::uint64_t start, bool skip_binary)
    : parser_(parser), handler_(handler), pos_(start), skip_(skip_binary) {
    XML_SetUserData(parser_, &handler_);
    XML_SetElementHandler(parser_, &on_start, &on_end);
    handler_.attach(this);
}

Feeder::~Feeder() { handler_.attach(nullptr); }

std::uint64_t Feeder::offset() const noexcept {
    XML_Index idx = XML_GetCurrentByteIndex(parser_);
    std::uint64_t fed = idx < 0 ? 0 : static_cast<std::uint64_t>(idx);
    for (auto it = segments_.rbegin(); it != segments_.rend(); ++it)
        if (it->fed <= fed) return it->file + (fed - it->fed);
    return fed;
}

std::uint64_t Feeder::length() const noexcept {
    return static_cast<std::uint64_t>(XML_GetCurrentByteCount(parser_));
}

void Feeder::halt() noexcept {
    if (halted_) return;
    halted_ = true;
    XML_StopParser(parser_, XML_FALSE);
}

void Feeder::capture_text(bool on) noexcept { XML_SetCharacterDataHandler(parser_, on ? &on_text : nullptr); }

void Feeder::parse_failed() {
    ended_ = true;
    error_offset_ = offset();
    if (handler_.halted()) return;  // the handler's own stop or abort
    error_ = XML_GetErrorCode(parser_);
    handler_.tokenizer_failed(xml_failure(error_));
}

bool Feeder::feed(const char* data, std::size_t n) {
    const char* p = data;
    const char* end = data + n;
    while (p < end) {
        if (skipping_) {
            const char* q = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
            if (!q) {
                pos_ += static_cast<std::uint64_t>(end - p);
                return true;
            }
            pos_ += static_cast<std::uint64_t>(q - p);
            p = q;
            skipping_ = false;
        }
        // Feed up to the end of the next <binary> start tag: when expat has
        // then entered the element, its text is skipped. (Only there: data
        // ending elsewhere may leave expat inside a partial tag.)
        const char* stop = end;
        bool at_binary = false;
        if (skip_) {
            if (const char* c = find_binary_tag_end(p, end)) {
                stop = c;
                at_binary = true;
            }
        }
        std::size_t len = static_cast<std::size_t>(stop - p);
        if (segments_.empty() || segments_.back().file + (fed_total_ - segments_.back().fed) != pos_) {
            if (segments_.size() >= kMaxSegments)
                segments_.erase(segments_.begin(), segments_.begin() + kDroppedSegments);
            segments_.push_back({fed_total_, pos_});
        }
        while (len > 0) {
            int k = static_cast<int>(std::min<std::size_t>(len, std::size_t(1) << 30));
            XML_Status st = XML_Parse(parser_, p, k, XML_FALSE);
            fed_total_ += static_cast<std::uint64_t>(k);
            pos_ += static_cast<std::uint64_t>(k);
            p += k;
            len -= static_cast<std::size_t>(k);
            if (st != XML_STATUS_OK) {
                parse_failed();
                return false;
            }
        }
        if (at_binary && handler_.in_binary()) skipping_ = true;
    }
    return true;
}

bool Feeder::feed_detached(const char* data, std::size_t n) {
    if (n == 0) return true;
    if (XML_Parse(parser_, data, static_cast<int>(n), XML_FALSE) != XML_STATUS_OK) {
        parse_failed();
        return false;
    }
    fed_total_ += static_cast<std::uint64_t>(n);
    return true;
}

void Feeder::finish() {
    if (ended_) return;
    ended_ = true;
    if (XML_Parse(parser_, "", 0, XML_TRUE) != XML_STATUS_OK) parse_failed();
}

}  // namespace mzml
