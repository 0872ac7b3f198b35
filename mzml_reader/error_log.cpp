// The error log of an open run, see error_log.h.
#include "error_log.h"

namespace mzml {

std::size_t ErrorLog::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return run_.damage().size() + later_.size();
}

bool ErrorLog::item(std::size_t index, LogEntry* out) const {
    const std::vector<LogEntry>& at_open = run_.damage();
    if (index < at_open.size()) {
        *out = at_open[index];
        return true;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    index -= at_open.size();
    if (index >= later_.size()) return false;
    *out = later_[index];
    return true;
}

void ErrorLog::unreadable(std::size_t position, const Outcome& why) const noexcept {
    const std::vector<ScanInfo>& scans = run_.scans();
    // A lost slot is named in the log already; a failure that is no fault
    // of the file (memory) names nothing.
    if (position >= scans.size() || scans[position].lost || why.failure == Failure::NoMemory) return;
    try {
        const ScanInfo& s = scans[position];
        std::string message = "lost 1 spectrum: spectrum index " + std::to_string(position);
        if (!s.native_id.empty()) message += " (id \"" + s.native_id + "\")";
        message += " at byte offset " + std::to_string(s.offset) + ": its arrays cannot be read (" +
                   (why.text.empty() ? std::string("unreadable") : why.text) + ")";
        std::lock_guard<std::mutex> lock(mutex_);
        if (named_.count(position) != 0) return;
        later_.push_back(LogEntry{std::move(message), s.rt_minutes});
        try {
            named_.insert(position);
        } catch (...) {
            later_.pop_back();
        }
    } catch (...) {
        // Out of memory: the entry is not added; the read itself still fails.
    }
}

}  // namespace mzml
