// The statistics of a range of an indexed trace: per identifier the count,
// the periods, the first and last time and how often the data changed, and
// per channel the bits on the bus in each of a number of equal times (the
// bus load over time, for any bit rate). Read on a thread of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace.h"

namespace gui::trace_stats {

struct Id {
    uint64_t count = 0;
    int64_t first_us = 0, last_us = 0;
    int64_t min_period_us = 0, max_period_us = 0;  // of count - 1 periods
    uint64_t changes = 0;  // frames whose data differs from the frame before of the identifier
    // Mean period: (last_us - first_us) / (count - 1).
};

// Bits on the bus in one time of the range, at the nominal and the data rate.
struct Bits {
    uint64_t nominal = 0, data = 0;
};

class Stats {
public:
    // Frames [from, to) of the trace, whose times are [t0, t1); the bus
    // load in `buckets` equal times of that range.
    Stats(const velk::trace::Index &index, uint64_t from, uint64_t to, int64_t t0, int64_t t1, int buckets);
    ~Stats();
    Stats(const Stats &) = delete;
    Stats &operator=(const Stats &) = delete;

    bool done() const { return done_.load(); }
    uint64_t scanned() const { return scanned_.load(); }
    int64_t t0() const { return t0_; }
    int64_t t1() const { return t1_; }
    // Once done(): by Index::id_key.
    const std::map<uint32_t, Id> &ids() const { return ids_; }
    // Once done(): the bits of CAN1 (0) or CAN2 (1) in each time.
    const std::vector<Bits> &load(int channel) const { return load_[channel & 1]; }
    const std::string &error() const { return error_; }

private:
    void run();

    const velk::trace::Index &index_;
    uint64_t from_, to_;
    int64_t t0_, t1_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> scanned_{0};
    // Written by the thread before done_ turns true, read after.
    std::map<uint32_t, Id> ids_;
    std::array<std::vector<Bits>, 2> load_;
    std::string error_;
};

}  // namespace gui::trace_stats
