#include "trace_stats.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <unordered_map>

#include "bus_load.h"
#include "trace_plot.h"

namespace gui::trace_stats {

namespace trace = velk::trace;

namespace {

// The data of an identifier's last frame, to count its changes.
struct Last {
    uint8_t len = 0;
    std::array<uint8_t, 64> data = {};
};

}  // namespace

Stats::Stats(const trace::Index &index, uint64_t from, uint64_t to, int64_t t0, int64_t t1, int buckets)
    : index_(index), from_(from), to_(std::max(from, to)), t0_(t0), t1_(std::max(t1, t0 + 1))
{
    for (auto &l : load_)
        l.resize(static_cast<size_t>(std::max(1, buckets)));
    thread_ = std::thread(&Stats::run, this);
}

Stats::~Stats()
{
    stop_ = true;
    thread_.join();
}

void Stats::run()
{
    trace::IndexedReader reader;
    if (!reader.open(index_))
        error_ = reader.error();
    std::unordered_map<uint32_t, Last> last;
    const int buckets = static_cast<int>(load_[0].size());
    trace::Frame f;
    for (uint64_t n = from_; error_.empty() && n < to_ && !stop_; ++n) {
        const int r = reader.read_following(n, &f, stop_);
        if (r < 0)
            error_ = reader.error();
        if (r <= 0)
            break;
        scanned_.store(n - from_ + 1, std::memory_order_relaxed);
        const int64_t us = f.sec * 1000000 + f.usec;
        const uint32_t key = trace::Index::id_key(f);
        // Identifiers beyond the index's bound are counted together, as it counts them.
        const uint32_t slot =
            ids_.size() < trace::Index::kMaxIds || ids_.count(key) != 0 ? key : trace::Index::kOtherKey;
        Id &id = ids_[slot];
        if (id.count > 0) {
            const int64_t period = us - id.last_us;
            id.min_period_us = id.count == 1 ? period : std::min(id.min_period_us, period);
            id.max_period_us = id.count == 1 ? period : std::max(id.max_period_us, period);
        } else {
            id.first_us = us;
        }
        id.last_us = us;
        ++id.count;
        Last &l = last[slot];
        if (id.count > 1 && (l.len != f.len || std::memcmp(l.data.data(), f.data.data(), f.len) != 0))
            ++id.changes;
        l.len = f.len;
        std::memcpy(l.data.data(), f.data.data(), f.len);
        const int b = trace_plot::column_of(us, t0_, t1_, buckets);
        if (b >= 0 && f.channel >= 0 && f.channel < 2 && !f.error) {
            const FrameBits bits = frame_bits(f.fd, f.brs, f.extended, f.remote, f.len);
            Bits &to = load_[static_cast<size_t>(f.channel)][static_cast<size_t>(b)];
            to.nominal += static_cast<uint64_t>(bits.nominal);
            to.data += static_cast<uint64_t>(bits.data);
        }
    }
    done_ = true;
}

}  // namespace gui::trace_stats
