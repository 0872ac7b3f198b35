// Element events and the base every handler builds on. Two tokenizers deliver
// the same events: expat through the feeder (feeder.h) and the subset
// tokenizer through replay() below. ElementHandler follows the element
// stack, hands each cvParam / userParam (also those of a referenced param
// group) to param() with the context element and the term it stands for,
// marks the text of a <binary> element, and stops or fails the parse with a
// typed failure. A handler does one job: the document and its header
// (document_pass.h), one element's header (element_header.h), the index list
// (offset_index.cpp), one element's arrays (array_parse.cpp).
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "document.h"
#include "failure.h"
#include "run.h"
#include "tags.h"
#include "vocabulary.h"

namespace mzml {

struct SubsetTokens;

// A cvParam or userParam seen through pointers into the tokenizer's
// attributes or into a stored Param, with the meaning of its accession
// looked up once. Each handler decides, per context, whether a userParam
// counts (term_named() gives the meaning of a userParam's name).
struct ParamView {
    const char* acc = "";
    const char* name = "";
    const char* value = "";
    const char* unit_acc = "";
    const char* unit_name = "";
    bool user = false;
    Term term = Term::Unknown;
};

// Where events come from: the position of the current tag in the document,
// and a way to stop the events.
class EventSource {
public:
    virtual std::uint64_t offset() const noexcept = 0;  // document offset of the current tag
    virtual std::uint64_t length() const noexcept = 0;  // bytes in the current tag
    virtual void halt() noexcept = 0;                    // deliver no more events
    virtual void capture_text(bool) noexcept {}          // character data to text(), or not

protected:
    ~EventSource() = default;
};

class ElementHandler {
public:
    explicit ElementHandler(const ParamGroups* groups) : groups_(groups) {}
    virtual ~ElementHandler() = default;
    ElementHandler(const ElementHandler&) = delete;
    ElementHandler& operator=(const ElementHandler&) = delete;

    // Called by the tokenizer that drives this handler.
    void attach(EventSource* source) noexcept { source_ = source; }
    void start(const char* name, const char** atts);
    void end();
    virtual void text(const char*, int) {}
    // The tokenizer failed (not well-formed, input ended): recorded unless
    // the handler had already stopped or failed.
    void tokenizer_failed(Outcome why);

    bool halted() const noexcept { return stopped_ || failed(); }
    bool stopped() const noexcept { return stopped_; }      // stopped on purpose (not an error)
    bool failed() const noexcept { return !failure_.ok(); }
    const Outcome& failure() const noexcept { return failure_; }
    bool finished() const noexcept { return finished_; }    // the root element ended
    bool in_binary() const noexcept { return in_binary_; }  // inside a binaryDataArray's <binary>

protected:
    // The first element: false (after abort()) when it is not the one wanted.
    virtual bool root(Tag tag, const char** atts) = 0;
    // Every element but params; <binary> only inside a binaryDataArray.
    virtual void open(Tag, const char**) {}
    // Every element, params included.
    virtual void close(Tag) {}
    virtual void param(Tag, const ParamView&) {}
    // The root element ended. By default the handler is finished and stops.
    virtual void root_closed();

    void stop() noexcept;
    void abort(Failure failure, const char* text);
    void set_groups(const ParamGroups* groups) noexcept { groups_ = groups; }

    Tag parent(std::size_t up = 1) const noexcept {
        return stack_.size() > up ? stack_[stack_.size() - 1 - up] : Tag::Other;
    }
    std::size_t depth() const noexcept { return stack_.size(); }
    std::uint64_t offset() const noexcept { return source_->offset(); }
    std::uint64_t event_length() const noexcept { return source_->length(); }
    EventSource& source() noexcept { return *source_; }

private:
    EventSource* source_ = nullptr;
    const ParamGroups* groups_;
    std::vector<Tag> stack_;
    Outcome failure_;
    bool stopped_ = false;
    bool finished_ = false;
    bool in_binary_ = false;

    void dispatch(Tag t, const char** atts);
};

// Delivers the subset tokenizer's events to `handler` as expat would, with
// positions relative to `base`.
void replay(const SubsetTokens& tokens, std::uint64_t base, ElementHandler& handler);

// Attribute and number helpers shared by the handlers.

inline const char* attr(const char** atts, const char* key) {
    for (const char** a = atts; *a; a += 2)
        if (!std::strcmp(a[0], key)) return a[1];
    return nullptr;
}

inline const char* skip_space(const char* s) {
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\r') ++s;
    if (*s == '+') ++s;
    return s;
}

// A number as written (leading whitespace and '+' allowed), NaN otherwise.
inline double to_double(const char* s) {
    if (!s) return kNaN;
    s = skip_space(s);
    double v = kNaN;
    auto r = std::from_chars(s, s + std::strlen(s), v);
    return r.ec == std::errc() ? v : kNaN;
}

inline std::int64_t to_int(const char* s, std::int64_t fallback) {
    if (!s) return fallback;
    s = skip_space(s);
    std::int64_t v = 0;
    auto r = std::from_chars(s, s + std::strlen(s), v);
    return r.ec == std::errc() ? v : fallback;
}

inline bool empty(const char* s) { return !s || !*s; }

}  // namespace mzml
