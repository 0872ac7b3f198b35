// The error log of an open run: what open() found damaged or missing
// (Run::damage), then each spectrum that fails to read when it is first
// read (damage inside its arrays is met only then: open does not decode
// arrays). Entries are only ever appended, so an index once valid stays
// valid; each spectrum is named at most once.
//
// Thread-safe: one mutex guards the entries added after open; it is taken
// to read the log and when a read fails, never on a read that succeeds.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "run.h"

namespace mzml {

class ErrorLog {
public:
    explicit ErrorLog(const Run& run) : run_(run) {}

    std::size_t size() const;
    // A copy of entry `index`; false when there is none.
    bool item(std::size_t index, LogEntry* out) const;
    // The spectrum at `position` failed to read, for the reason given.
    void unreadable(std::size_t position, const Outcome& why) const noexcept;

private:
    const Run& run_;
    mutable std::mutex mutex_;
    mutable std::vector<LogEntry> later_;
    mutable std::unordered_set<std::size_t> named_;
};

}  // namespace mzml
