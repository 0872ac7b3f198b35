// The handler base and the replay of subset tokens, see xml_events.h.
#include "xml_events.h"

#include "subset_xml.h"

namespace mzml {

namespace {

constexpr std::size_t kMaxDepth = 256;

ParamView view_of(const Param& p) {
    return ParamView{p.accession.c_str(), p.name.c_str(),      p.value.c_str(), p.unit_accession.c_str(),
                     p.unit_name.c_str(), p.user, term_of(p.accession.c_str())};
}

ParamView view_of(bool user, const char** atts) {
    ParamView v;
    v.user = user;
    for (const char** a = atts; *a; a += 2) {
        const char* k = a[0];
        if (!std::strcmp(k, "accession")) v.acc = a[1];
        else if (!std::strcmp(k, "name")) v.name = a[1];
        else if (!std::strcmp(k, "value")) v.value = a[1];
        else if (!std::strcmp(k, "unitAccession")) v.unit_acc = a[1];
        else if (!std::strcmp(k, "unitName")) v.unit_name = a[1];
    }
    v.term = term_of(v.acc);
    return v;
}

}  // namespace

void ElementHandler::start(const char* name, const char** atts) {
    if (halted()) return;
    if (stack_.size() >= kMaxDepth) return abort(Failure::Malformed, "elements nested too deeply");
    Tag t = classify(name);
    try {
        if (stack_.empty() && !root(t, atts)) return;
        stack_.push_back(t);
        dispatch(t, atts);
    } catch (...) {
        abort(Failure::NoMemory, "out of memory");
    }
}

// Params go to param() with their context element; a group reference
// delivers the group's params there as if written in place.
void ElementHandler::dispatch(Tag t, const char** atts) {
    switch (t) {
    case Tag::CvParam:
    case Tag::UserParam:
        param(parent(), view_of(t == Tag::UserParam, atts));
        return;
    case Tag::ParamGroupRef: {
        const char* ref = attr(atts, "ref");
        if (!ref || !groups_) return;
        auto it = groups_->find(ref);
        if (it == groups_->end()) return;
        Tag context = parent();
        for (const Param& q : it->second) param(context, view_of(q));
        return;
    }
    case Tag::Binary:
        if (parent() != Tag::BinaryDataArray) return;
        in_binary_ = true;
        break;
    default:
        break;
    }
    open(t, atts);
}

void ElementHandler::end() {
    if (halted() || stack_.empty()) return;
    Tag t = stack_.back();
    try {
        if (t != Tag::Binary) {
            close(t);
        } else if (in_binary_) {
            in_binary_ = false;
            close(t);
        }
    } catch (...) {
        abort(Failure::NoMemory, "out of memory");
    }
    stack_.pop_back();
    if (stack_.empty()) root_closed();
}

void ElementHandler::root_closed() {
    finished_ = true;
    stop();
}

void ElementHandler::tokenizer_failed(Outcome why) {
    if (!stopped_ && failure_.ok()) failure_ = std::move(why);
}

void ElementHandler::stop() noexcept {
    if (stopped_) return;
    stopped_ = true;
    if (source_) source_->halt();
}

void ElementHandler::abort(Failure failure, const char* text) {
    if (failure_.ok()) {
        try {
            failure_ = Outcome::fail(failure, text);
        } catch (...) {
            failure_.failure = Failure::NoMemory;  // the kind is kept without its text
        }
    }
    if (source_) source_->halt();
}

namespace {

class Replay final : public EventSource {
public:
    explicit Replay(std::uint64_t base) : base_(base) {}
    std::uint64_t offset() const noexcept override { return base_ + at_; }
    std::uint64_t length() const noexcept override { return length_; }
    void halt() noexcept override {}  // replay() checks the handler after every event
    void at(std::size_t at, std::size_t length) {
        at_ = at;
        length_ = length;
    }

private:
    std::uint64_t base_;
    std::size_t at_ = 0, length_ = 0;
};

}  // namespace

void replay(const SubsetTokens& t, std::uint64_t base, ElementHandler& h) {
    Replay source(base);
    h.attach(&source);
    std::vector<const char*> atts;
    for (const SubsetEvent& e : t.events) {
        if (h.halted()) break;
        source.at(e.at, e.length);
        if (e.end) {
            h.end();
            continue;
        }
        atts.clear();
        for (std::uint32_t k = 0; k < 2 * e.attr_count; ++k) atts.push_back(t.arena.data() + t.attrs[e.attrs + k]);
        atts.push_back(nullptr);
        h.start(t.arena.data() + e.name, atts.data());
    }
    h.attach(nullptr);
}

}  // namespace mzml
