// A signal over a time range of an indexed trace, as the lowest and highest
// value in each pixel column, so that a signal of hours shows its spikes:
// computed on a thread of its own from the frames of that range only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dbc.h"
#include "trace.h"

namespace gui::trace_plot {

struct Column {
    bool has = false;
    double min = 0, max = 0;
};

// The column of time `us` among `width` columns of equal time over [t0, t1).
int column_of(int64_t us, int64_t t0, int64_t t1, int width);

class Columns {
public:
    // Signal `signal` of message `message` (of `db`, which the columns keep
    // alive) over [t0, t1) in `width` columns.
    Columns(const velk::trace::Index &index, std::shared_ptr<const velk::dbc::Database> db,
            const velk::dbc::Message *message, const velk::dbc::Signal *signal, int64_t t0, int64_t t1, int width);
    ~Columns();
    Columns(const Columns &) = delete;
    Columns &operator=(const Columns &) = delete;

    bool done() const { return done_.load(); }
    int64_t t0() const { return t0_; }
    int64_t t1() const { return t1_; }
    int width() const { return width_; }
    // The columns as far as computed (all of them once done()).
    std::vector<Column> columns() const;
    // Samples of the signal found so far.
    uint64_t samples() const { return samples_.load(); }
    std::string error() const;

private:
    void run();

    const velk::trace::Index &index_;
    std::shared_ptr<const velk::dbc::Database> db_;
    const velk::dbc::Message *message_;
    const velk::dbc::Signal *signal_;
    int64_t t0_, t1_;
    int width_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> samples_{0};
    mutable std::mutex mutex_;  // shown_, error_
    std::vector<Column> shown_;
    std::string error_;
};

}  // namespace gui::trace_plot
