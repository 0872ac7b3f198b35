// Drives expat: feeds a document, or a part of it, in the order a byte source
// delivers it, to one ElementHandler. With `skip_binary` the text of each
// <binary> element is left out unread (the arrays are decoded later, from
// the element's own bytes), which makes the open pass several times faster;
// the feeder keeps a map from the bytes expat saw to document offsets, so
// positions stay exact across the gaps.
#pragma once

#include <expat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "failure.h"
#include "xml_events.h"

namespace mzml {

struct ParserDeleter {
    void operator()(XML_ParserStruct* p) const { XML_ParserFree(p); }
};
using ParserPtr = std::unique_ptr<XML_ParserStruct, ParserDeleter>;

// A new parser, or null when there is no memory for one.
ParserPtr make_parser();

// What an expat error means: the input ended early, no memory, or
// malformed XML (with expat's own words as the text).
Outcome xml_failure(XML_Error code);

class Feeder final : public EventSource {
public:
    // `parser` must be fresh or reset; `start` is the document offset of the
    // first byte fed.
    Feeder(XML_Parser parser, ElementHandler& handler, std::uint64_t start, bool skip_binary);
    ~Feeder();
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    // Feeds the next bytes; false once expat has stopped (the handler is
    // done, or failed, or the input is not well-formed).
    bool feed(const char* data, std::size_t n);
    // Bytes that are not part of the document, fed before it: the start
    // tags a resumed parse needs to stand where it resumes (see
    // document_pass.cpp). They move no document offset.
    bool feed_detached(const char* data, std::size_t n);
    // The end of the input: lets expat check that the document is complete.
    void finish();
    // The document offset where parsing failed (or was stopped).
    std::uint64_t error_offset() const noexcept { return error_offset_; }
    // Expat's error on the input itself; XML_ERROR_NONE when there was
    // none (a handler's own stop or abort is not one).
    XML_Error error() const noexcept { return error_; }

    std::uint64_t offset() const noexcept override;
    std::uint64_t length() const noexcept override;
    void halt() noexcept override;
    void capture_text(bool on) noexcept override;

private:
    XML_Parser parser_;
    ElementHandler& handler_;
    std::uint64_t pos_;  // document offset of the next byte given to feed()
    bool skip_;
    bool skipping_ = false;
    bool ended_ = false;
    bool halted_ = false;
    XML_Error error_ = XML_ERROR_NONE;
    std::uint64_t error_offset_ = 0;
    // Fed-stream index -> document offset, one segment per gap-free run.
    struct Segment {
        std::uint64_t fed, file;
    };
    std::vector<Segment> segments_;
    std::uint64_t fed_total_ = 0;

    void parse_failed();
};

}  // namespace mzml
