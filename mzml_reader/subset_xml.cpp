#include "subset_xml.h"

#include <cstring>

namespace mzml {

namespace {

constexpr std::size_t kMaxInput = std::size_t(1) << 30;
constexpr std::size_t kMaxDepth = 512;

bool is_space(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool name_start(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(unsigned char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }
// Attribute value bytes that need no normalisation, no reference decoding and
// no UTF-8 check.
bool plain_value(unsigned char c) { return c >= 0x20 && c < 0x7f && c != '<' && c != '&'; }

class Tokenizer {
public:
    Tokenizer(const char* data, std::size_t n, const char* stop_at, SubsetTokens* out)
        : p_(reinterpret_cast<const unsigned char*>(data)), n_(n), stop_at_(stop_at), out_(out) {}

    Subset run() {
        if (n_ > kMaxInput) return Subset::Outside;
        std::size_t i = 0;
        if (n_ == 0) return Subset::Short;
        if (p_[0] != '<') return Subset::Outside;
        while (true) {
            // Between tags: whitespace only, except a binary element's text.
            if (skip_text_) {
                const void* lt = std::memchr(p_ + i, '<', n_ - i);
                if (!lt) return Subset::Short;
                i = static_cast<std::size_t>(static_cast<const unsigned char*>(lt) - p_);
                skip_text_ = false;
            }
            while (i < n_ && is_space(p_[i])) ++i;
            if (i >= n_) return Subset::Short;
            if (p_[i] != '<') return Subset::Outside;
            if (i + 1 >= n_) return Subset::Short;
            Subset r = p_[i + 1] == '/' ? end_tag(i) : start_tag(i);
            if (r != Subset::Complete) return r;
            if (done_) return Subset::Complete;
            i = next_;
        }
    }

private:
    const unsigned char* p_;
    std::size_t n_;
    const char* stop_at_;
    SubsetTokens* out_;
    std::vector<std::uint32_t> stack_;  // arena offsets of the open elements' names
    std::size_t next_ = 0;
    bool skip_text_ = false;
    bool done_ = false;

    // The length of the name at i; 0 when there is none.
    std::size_t name_at(std::size_t i) const {
        if (i >= n_ || !name_start(p_[i])) return 0;
        std::size_t j = i + 1;
        while (j < n_ && name_char(p_[j])) ++j;
        return j - i;
    }

    std::uint32_t store(std::size_t from, std::size_t len) {
        auto at = static_cast<std::uint32_t>(out_->arena.size());
        out_->arena.append(reinterpret_cast<const char*>(p_ + from), len);
        out_->arena.push_back('\0');
        return at;
    }

    const char* arena(std::uint32_t at) const { return out_->arena.data() + at; }

    // The character after a name must be one that can follow it in a tag;
    // anything else (':' of a prefix, a non-ASCII byte) leaves the subset.
    Subset after_name(std::size_t j, bool end_tag) const {
        if (j >= n_) return Subset::Short;
        unsigned char c = p_[j];
        if (is_space(c) || c == '>' || (!end_tag && c == '/')) return Subset::Complete;
        return Subset::Outside;
    }

    Subset start_tag(std::size_t lt) {
        std::size_t i = lt + 1;
        std::size_t len = name_at(i);
        if (len == 0) return i < n_ ? Subset::Outside : Subset::Short;  // also comments, PIs, CDATA
        if (Subset r = after_name(i + len, false); r != Subset::Complete) return r;
        SubsetEvent ev;
        ev.at = lt;
        ev.name = store(i, len);
        ev.attrs = static_cast<std::uint32_t>(out_->attrs.size());
        i += len;
        bool empty_element = false;
        while (true) {
            bool spaced = false;
            while (i < n_ && is_space(p_[i])) {
                ++i;
                spaced = true;
            }
            if (i >= n_) return Subset::Short;
            if (p_[i] == '>') {
                ++i;
                break;
            }
            if (p_[i] == '/') {
                if (i + 1 >= n_) return Subset::Short;
                if (p_[i + 1] != '>') return Subset::Outside;
                i += 2;
                empty_element = true;
                break;
            }
            // An attribute: S Name S? '=' S? quoted value.
            if (!spaced) return Subset::Outside;
            std::size_t alen = name_at(i);
            if (alen == 0) return Subset::Outside;
            std::size_t aname = i;
            i += alen;
            while (i < n_ && is_space(p_[i])) ++i;
            if (i >= n_) return Subset::Short;
            if (p_[i] != '=') return Subset::Outside;
            ++i;
            while (i < n_ && is_space(p_[i])) ++i;
            if (i >= n_) return Subset::Short;
            unsigned char quote = p_[i];
            if (quote != '"' && quote != '\'') return Subset::Outside;
            std::size_t vstart = ++i;
            while (i < n_ && p_[i] != quote) {
                if (!plain_value(p_[i])) return Subset::Outside;
                ++i;
            }
            if (i >= n_) return Subset::Short;
            ++i;  // the closing quote
            // A repeated attribute is not well-formed.
            for (std::uint32_t k = 0; k < ev.attr_count; ++k) {
                const char* seen = arena(out_->attrs[ev.attrs + 2 * k]);
                if (std::strlen(seen) == alen && !std::memcmp(seen, p_ + aname, alen)) return Subset::Outside;
            }
            std::uint32_t an = store(aname, alen);
            std::uint32_t av = store(vstart, i - 1 - vstart);
            out_->attrs.push_back(an);
            out_->attrs.push_back(av);
            ++ev.attr_count;
        }
        ev.length = i - lt;
        next_ = i;
        if (stack_.size() >= kMaxDepth) return Subset::Outside;
        const char* name = arena(ev.name);
        bool in_array = !stack_.empty() && !std::strcmp(arena(stack_.back()), "binaryDataArray");
        out_->events.push_back(ev);
        if (stop_at_ && !std::strcmp(name, stop_at_)) {
            done_ = true;
            return Subset::Complete;
        }
        if (empty_element) {
            // expat places the end of an empty element just past its tag.
            SubsetEvent close = ev;
            close.end = true;
            close.attr_count = 0;
            close.at = i;
            close.length = 0;
            out_->events.push_back(close);
            if (stack_.empty()) done_ = true;
            return Subset::Complete;
        }
        stack_.push_back(ev.name);
        skip_text_ = in_array && !std::strcmp(name, "binary");
        return Subset::Complete;
    }

    Subset end_tag(std::size_t lt) {
        std::size_t i = lt + 2;
        std::size_t len = name_at(i);
        if (len == 0) return i < n_ ? Subset::Outside : Subset::Short;
        if (Subset r = after_name(i + len, true); r != Subset::Complete) return r;
        if (stack_.empty()) return Subset::Outside;
        const char* open = arena(stack_.back());
        if (std::strlen(open) != len || std::memcmp(open, p_ + i, len) != 0) return Subset::Outside;
        std::size_t j = i + len;
        while (j < n_ && is_space(p_[j])) ++j;
        if (j >= n_) return Subset::Short;
        if (p_[j] != '>') return Subset::Outside;
        SubsetEvent ev;
        ev.end = true;
        ev.name = stack_.back();
        ev.attrs = static_cast<std::uint32_t>(out_->attrs.size());
        ev.at = lt;
        ev.length = j + 1 - lt;
        out_->events.push_back(ev);
        stack_.pop_back();
        next_ = j + 1;
        if (stack_.empty()) done_ = true;
        return Subset::Complete;
    }
};

}  // namespace

Subset tokenize_subset(const char* data, std::size_t n, const char* stop_at, SubsetTokens* out) {
    out->clear();
    try {
        return Tokenizer(data, n, stop_at, out).run();
    } catch (...) {
        return Subset::Outside;  // out of memory: expat may yet manage with less
    }
}

}  // namespace mzml
