// Reader handles and the derived per-run data, see handles.h.

#include "handles.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <unordered_set>
#include <utility>

#include "filter_text.h"

namespace mzml {

namespace {

std::uint64_t next_run_serial() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1, std::memory_order_relaxed);
}

// The spectrum a thread decoded last, and its run.
struct KeptSpectrum {
    std::uint64_t run = 0;
    std::size_t pos = 0;
    std::shared_ptr<const Arrays> arrays;
};
thread_local KeptSpectrum t_kept;

// The handle a thread looked up last, and the table's close count then.
struct LastHandle {
    const HandleTable* table = nullptr;
    std::uint64_t closes = 0;
    std::int32_t id = 0;
    std::weak_ptr<const Handle> handle;
};
thread_local LastHandle t_last;

}  // namespace

RunView::RunView(std::unique_ptr<Run> run)
    : run_(std::move(run)), log_(*run_), serial_(next_run_serial()) {
    const std::vector<ScanInfo>& scans = run_->scans();
    const std::size_t n = scans.size();
    built_texts_.reserve(n);
    filter_texts_.reserve(n);
    dependents_.resize(n);

    std::unordered_set<std::string> seen;
    for (const ScanInfo& s : scans) {
        if (s.lost) {  // nothing is known of a lost spectrum: it has no filter
            built_texts_.emplace_back();
            filter_texts_.emplace_back();
            continue;
        }
        built_texts_.push_back(build_filter_text(s));
        filter_texts_.push_back(s.filter_text.empty() ? built_texts_.back() : s.filter_text);
        if (seen.insert(filter_texts_.back()).second) distinct_filters_.push_back(filter_texts_.back());
    }

    // Precursor references: the run resolves them to scan numbers; a
    // reference it left unresolved is looked up among the native ids here.
    std::unordered_map<std::string, std::uint32_t> by_id;
    bool need_ids = false;
    for (const ScanInfo& s : scans)
        for (const Precursor& p : s.precursors)
            if (p.precursor_scan < 0 && !p.spectrum_ref.empty()) need_ids = true;
    if (need_ids)
        for (std::size_t i = 0; i < n; ++i) by_id.emplace(scans[i].native_id, static_cast<std::uint32_t>(i));

    std::vector<double> masses;
    for (std::size_t i = 0; i < n; ++i) {
        const ScanInfo& s = scans[i];
        std::size_t last_parent = static_cast<std::size_t>(-1);
        for (const Precursor& p : s.precursors) {
            std::size_t parent = static_cast<std::size_t>(-1);
            if (p.precursor_scan >= 0) {
                std::size_t pos = 0;
                if (position(p.precursor_scan, &pos)) parent = pos;
            } else if (!p.spectrum_ref.empty()) {
                const auto it = by_id.find(p.spectrum_ref);
                if (it != by_id.end()) parent = it->second;
            }
            if (parent != static_cast<std::size_t>(-1) && parent != i && parent != last_parent) {
                dependents_[parent].push_back(static_cast<std::uint32_t>(i));
                last_parent = parent;
            }
        }
        if (s.ms_level == 2 && !s.precursors.empty()) {
            const Precursor& p = s.precursors.front();
            const double mz = !std::isnan(p.selected_mz) ? p.selected_mz : p.isolation_target;
            if (std::isfinite(mz)) masses.push_back(std::round(mz * 1e4) / 1e4);
        }
    }
    std::sort(masses.begin(), masses.end());
    masses.erase(std::unique(masses.begin(), masses.end()), masses.end());
    ms2_masses_ = std::move(masses);
}

std::int32_t RunView::last_scan() const noexcept {
    return static_cast<std::int32_t>(static_cast<std::int64_t>(first_scan()) + static_cast<std::int64_t>(size()) - 1);
}

bool RunView::position(std::int32_t scan_number, std::size_t* pos) const noexcept {
    const std::int64_t p = static_cast<std::int64_t>(scan_number) - first_scan();
    if (p < 0 || static_cast<std::uint64_t>(p) >= size()) return false;
    *pos = static_cast<std::size_t>(p);
    return true;
}

std::shared_ptr<const Arrays> RunView::spectrum(std::size_t pos) const {
    KeptSpectrum& kept = t_kept;
    if (kept.arrays && kept.run == serial_ && kept.pos == pos) return kept.arrays;
    auto arrays = std::make_shared<Arrays>();
    Outcome why;
    if (!run_->read_spectrum(pos, arrays.get(), XmlPath::Auto, &why)) {
        log_.unreadable(pos, why);
        return nullptr;
    }
    if (arrays->x.size() != arrays->y.size()) {
        log_.unreadable(pos, Outcome::fail(Failure::BadArrays, "its m/z and intensity arrays differ in length"));
        return nullptr;
    }
    std::shared_ptr<const Arrays> result = std::move(arrays);
    kept.run = serial_;
    kept.pos = pos;
    kept.arrays = result;
    return result;
}

// The table lives until the process ends and is never destroyed: with the
// interpreter lock off, a thread may still be inside an entry point while
// the process runs its exit handlers, and must not find the table gone.
HandleTable& HandleTable::instance() {
    static HandleTable* const table = new HandleTable;
    return *table;
}

std::int32_t HandleTable::open(const char* path) {
    if (path == nullptr) return -1;
    auto handle = std::make_shared<Handle>();
    handle->path = path;
    Outcome why;
    std::unique_ptr<Run> run = Run::open(handle->path, &why);
    if (run) {
        handle->view = std::make_shared<const RunView>(std::move(run));
    } else {
        handle->failure = why.failure == Failure::None ? Failure::Malformed : why.failure;
        handle->error = why.text.empty() ? "the file cannot be read as mzML" : std::move(why.text);
    }
    std::unique_lock<std::shared_mutex> lock(mutex_);
    if (next_ == std::numeric_limits<std::int32_t>::max()) return -1;
    const std::int32_t id = next_++;
    handles_.emplace(id, std::move(handle));
    return id;
}

std::int32_t HandleTable::close(std::int32_t handle) {
    std::shared_ptr<const Handle> removed;  // released after the lock
    std::unique_lock<std::shared_mutex> lock(mutex_);
    const auto it = handles_.find(handle);
    if (it == handles_.end()) return -1;
    removed = std::move(it->second);
    handles_.erase(it);
    // Every thread's remembered handle is stale from now on.
    closes_.fetch_add(1, std::memory_order_acq_rel);
    lock.unlock();
    return 0;
}

std::shared_ptr<const Handle> HandleTable::find(std::int32_t handle) const {
    LastHandle& last = t_last;
    // Read before the table: a close that comes after this read and removes
    // the handle found below leaves the memory stale, never the other way.
    const std::uint64_t closes = closes_.load(std::memory_order_acquire);
    if (last.table == this && last.id == handle && last.closes == closes) {
        if (std::shared_ptr<const Handle> found = last.handle.lock()) return found;
    }
    std::shared_ptr<const Handle> found;
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto it = handles_.find(handle);
        if (it != handles_.end()) found = it->second;
    }
    if (found) {
        last.table = this;
        last.closes = closes;
        last.id = handle;
        last.handle = found;
    }
    return found;
}

}  // namespace mzml
