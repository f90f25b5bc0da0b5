#include "trace_plot.h"

#include <algorithm>
#include <chrono>

namespace gui::trace_plot {

namespace trace = velk::trace;
namespace dbc = velk::dbc;

namespace {

// Frames read between two hand-overs of the columns to the drawing.
constexpr uint64_t kPublishEvery = 65536;

}  // namespace

int column_of(int64_t us, int64_t t0, int64_t t1, int width)
{
    if (us < t0 || us >= t1 || width <= 0)
        return -1;
    // In 128 bits: hours of microseconds times thousands of columns.
    const __int128 c = static_cast<__int128>(us - t0) * width / (t1 - t0);
    return static_cast<int>(c);
}

Columns::Columns(const trace::Index &index, std::shared_ptr<const dbc::Database> db, const dbc::Message *message,
                 const dbc::Signal *signal, int64_t t0, int64_t t1, int width)
    : index_(index), db_(std::move(db)), message_(message), signal_(signal), t0_(t0), t1_(std::max(t1, t0 + 1)),
      width_(std::max(1, width)), shown_(static_cast<size_t>(width_))
{
    thread_ = std::thread(&Columns::run, this);
}

Columns::~Columns()
{
    stop_ = true;
    thread_.join();
}

std::vector<Column> Columns::columns() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

std::string Columns::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void Columns::run()
{
    std::vector<Column> cols(static_cast<size_t>(width_));
    std::vector<dbc::Value> values(message_->signals.size());
    std::string error;
    trace::IndexedReader reader;
    if (!reader.open(index_))
        error = reader.error();
    // Only the range is read: from the index's place before its start.
    int64_t n = error.empty() ? reader.find_time(t0_) : -1;
    trace::Frame f;
    for (uint64_t read = 0; n >= 0 && !stop_; ++n, ++read) {
        while (static_cast<uint64_t>(n) >= index_.frames() && !index_.done() && !stop_)
            index_.wait(std::chrono::milliseconds(50));
        const int r = reader.read(static_cast<uint64_t>(n), &f);
        if (r < 0)
            error = reader.error();
        if (r <= 0)
            break;
        const int64_t us = f.sec * 1000000 + f.usec;
        if (us >= t1_)
            break;
        if (read % kPublishEvery == kPublishEvery - 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            shown_ = cols;
        }
        if (f.error || f.remote || f.id != message_->id || f.extended != message_->extended)
            continue;
        const int count = dbc::decode(*message_, f.data.data(), f.len, values.data());
        for (int i = 0; i < count; ++i) {
            const dbc::Value &v = values[static_cast<size_t>(i)];
            if (v.signal != signal_ || v.missing)
                continue;
            const int c = column_of(us, t0_, t1_, width_);
            if (c < 0)
                continue;
            Column &col = cols[static_cast<size_t>(c)];
            col.min = col.has ? std::min(col.min, v.value) : v.value;
            col.max = col.has ? std::max(col.max, v.value) : v.value;
            col.has = true;
            samples_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    shown_ = std::move(cols);
    error_ = error;
    done_ = true;
}

}  // namespace gui::trace_plot
