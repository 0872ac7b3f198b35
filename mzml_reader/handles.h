// Reader handles of the mzML Reader library and what the library derives
// from an opened run once, at open.
//
// Handles: open_raw_file hands out 1, 2, 3, ... in order, process-wide; a
// number is never handed out twice, also after its handle is closed, so a
// stale handle can never reach another file (after 2^31 - 1 opens,
// open_raw_file answers -1). A file that cannot be opened still gets a
// handle: is_open says 0, is_error 1, get_path and get_file_name answer as
// for any handle, and the error log holds the reason as its one item.
//
// Locking: the table is guarded by one std::shared_mutex, held only to add
// or remove an entry and to look up a handle that the calling thread has not
// looked up since the last close. A call takes a std::shared_ptr to its
// handle's immutable state and does its work without any lock, so calls on
// the same or different handles run in parallel, and a handle closed by
// another thread stays alive until the calls already inside it return.
//
// Each thread remembers the handle it looked up last (weakly: a closed
// handle is not kept alive by it) and which close it has seen last; the
// table counts its closes. A thread that asks again for the same handle,
// with no close since, finds it without touching the table's lock, so
// threads reading their own handles write no memory in common. Each thread
// also keeps the last spectrum it decoded (see RunView::spectrum).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "error_log.h"
#include "run.h"

namespace mzml {

// A run and what is derived from it once, at open. Immutable.
class RunView {
public:
    explicit RunView(std::unique_ptr<Run> run);

    const Run& run() const noexcept { return *run_; }
    const std::vector<ScanInfo>& scans() const noexcept { return run_->scans(); }
    std::size_t size() const noexcept { return run_->scans().size(); }
    std::int32_t first_scan() const noexcept { return run_->first_scan(); }
    std::int32_t last_scan() const noexcept;

    // The position of a scan number, or false when it is out of range.
    bool position(std::int32_t scan_number, std::size_t* pos) const noexcept;

    // The scan's filter text: the file's own, else the built one.
    const std::string& filter_text(std::size_t pos) const { return filter_texts_[pos]; }
    // The scan's built filter text (always in the library's own format).
    const std::string& built_text(std::size_t pos) const { return built_texts_[pos]; }
    // Distinct filter texts in the order of their first scan.
    const std::vector<std::string>& distinct_filters() const noexcept { return distinct_filters_; }
    // Positions of the scans with a precursor that names the scan at `pos`.
    const std::vector<std::uint32_t>& dependents(std::size_t pos) const { return dependents_[pos]; }
    // Distinct precursor m/z of MS2 scans (to 1e-4), ascending.
    const std::vector<double>& ms2_masses() const noexcept { return ms2_masses_; }

    // The run's error log: what open found lost, then each spectrum that
    // fails to read, named when it first fails.
    const ErrorLog& error_log() const noexcept { return log_; }
    // A spectrum at `pos` that failed to read, for the error log.
    void unreadable(std::size_t pos, const Outcome& why) const noexcept { log_.unreadable(pos, why); }

    // The decoded arrays of a scan, or nullptr when they cannot be read (the
    // failure is named in the error log). Each thread keeps the last
    // spectrum it decoded, so asking for a size and then for the data decodes
    // once, and threads never wait for each other here nor free each other's
    // memory. (The kept arrays outlive a closed
    // handle until the thread decodes another spectrum or ends.)
    std::shared_ptr<const Arrays> spectrum(std::size_t pos) const;

private:
    std::unique_ptr<Run> run_;
    std::vector<std::string> built_texts_;
    std::vector<std::string> filter_texts_;
    std::vector<std::string> distinct_filters_;
    std::vector<std::vector<std::uint32_t>> dependents_;
    std::vector<double> ms2_masses_;
    ErrorLog log_;
    // Tells this run's spectra from those of runs opened before or after it
    // in the threads' kept spectra (an address could be reused).
    std::uint64_t serial_;
};

// What a handle refers to. Immutable once in the table.
struct Handle {
    std::string path;                       // as given to open_raw_file
    Failure failure = Failure::None;        // what kept the file from opening, None when open
    std::string error;                      // the reason for the error log, "" when open
    std::shared_ptr<const RunView> view;    // null when the file could not be opened
};

class HandleTable {
public:
    static HandleTable& instance();

    // Opens a file and returns its new handle (also when the file cannot be
    // read, see above), or -1 when no handle number is left or path is null.
    std::int32_t open(const char* path);
    // Removes a handle; 0 when it was known, -1 otherwise.
    std::int32_t close(std::int32_t handle);
    // The handle's state, or nullptr for a handle never issued or closed.
    std::shared_ptr<const Handle> find(std::int32_t handle) const;

private:
    mutable std::shared_mutex mutex_;
    std::unordered_map<std::int32_t, std::shared_ptr<const Handle>> handles_;
    std::int32_t next_ = 1;
    std::atomic<std::uint64_t> closes_{0};  // handles closed so far
};

}  // namespace mzml
