// Signals over a time range of an indexed trace, as the lowest and highest
// value of each in each pixel column, so that a signal of hours shows its
// spikes: computed on a thread of their own from the frames of that range
// only, every signal in the same pass over the file. The same signals can
// be written to a CSV file, one row per frame that carries any of them.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
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

// A signal of a message of a database (which it keeps alive).
struct Series {
    std::shared_ptr<const velk::dbc::Database> db;
    const velk::dbc::Message *message = nullptr;
    const velk::dbc::Signal *signal = nullptr;
    std::string name() const { return message->name + "." + signal->name; }
};

// The column of time `us` among `width` columns of equal time over [t0, t1).
int column_of(int64_t us, int64_t t0, int64_t t1, int width);

// The frames of [t0, t1) of an indexed trace, in order, with the values of
// the series each carries (waiting for an index still growing); stops early
// once *stop is set. `each(frame_number, us, values)` gets per series a
// value or NaN where the frame does not carry it, only for frames carrying
// at least one. False with *error when the trace cannot be read.
class Pass {
public:
    Pass(const velk::trace::Index &index, const std::vector<Series> &series);
    using Each = std::function<void(uint64_t frame, int64_t us, const double *values)>;
    bool run(int64_t t0, int64_t t1, const std::atomic<bool> &stop, std::atomic<uint64_t> *read, const Each &each,
             std::string *error);
    // The first frame at or after `us` (-1: none indexed).
    int64_t find_time(int64_t us) { return reader_.find_time(us); }

private:
    struct Wanted {
        const velk::dbc::Message *message;
        std::vector<std::pair<const velk::dbc::Signal *, size_t>> signals;  // and their series
    };
    const velk::trace::Index &index_;
    size_t count_;
    std::vector<Wanted> wanted_;
    std::vector<velk::dbc::Value> values_;
    std::vector<double> row_;
    velk::trace::IndexedReader reader_;
    bool open_;
};

class Columns {
public:
    // `series` over [t0, t1) in `width` columns.
    Columns(const velk::trace::Index &index, std::vector<Series> series, int64_t t0, int64_t t1, int width);
    ~Columns();
    Columns(const Columns &) = delete;
    Columns &operator=(const Columns &) = delete;

    bool done() const { return done_.load(); }
    int64_t t0() const { return t0_; }
    int64_t t1() const { return t1_; }
    int width() const { return width_; }
    const std::vector<Series> &series() const { return series_; }
    // Series i's columns as far as computed (all of them once done()).
    std::vector<Column> columns(size_t i) const;
    // Values of the series found so far, all together.
    uint64_t samples() const { return samples_.load(); }
    // Times the columns were handed to the drawing (the first: a first
    // drawing of the range's beginning).
    uint64_t handed() const { return handed_.load(); }
    std::string error() const;

private:
    void run();

    const velk::trace::Index &index_;
    std::vector<Series> series_;
    int64_t t0_, t1_;
    int width_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> samples_{0}, read_{0}, handed_{0};
    mutable std::mutex mutex_;  // shown_, error_
    std::vector<std::vector<Column>> shown_;
    std::string error_;
};

// The series over [t0, t1) to a CSV file: a title line ("time" and each
// series' name), then one line per frame that carries any of them, its
// time in seconds (with microseconds) and the value of each series it
// carries (empty where it carries none), on a thread of its own.
class CsvExport {
public:
    CsvExport(const velk::trace::Index &index, std::vector<Series> series, int64_t t0, int64_t t1);
    ~CsvExport();
    CsvExport(const CsvExport &) = delete;
    CsvExport &operator=(const CsvExport &) = delete;

    // Creates the file and begins; false with *why when it cannot be written.
    bool start(const std::string &path, std::string *why);
    // Ends early; the incomplete file is removed.
    void cancel() { stop_ = true; }
    bool done() const { return done_.load(); }
    // Frames of the range read so far, of about total(); lines written.
    uint64_t read() const { return read_.load(); }
    uint64_t total() const { return total_; }
    uint64_t written() const { return written_.load(); }
    // Once done(): cancelled, or why it failed ("" when the file is whole).
    bool cancelled() const { return cancelled_; }
    const std::string &error() const { return error_; }
    const std::string &path() const { return path_; }

private:
    void run();

    const velk::trace::Index &index_;
    std::vector<Series> series_;
    int64_t t0_, t1_;
    uint64_t total_ = 0;
    std::unique_ptr<Pass> pass_;
    std::string path_;
    std::FILE *file_ = nullptr;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> read_{0}, written_{0};
    // Written by the thread before done_ turns true, read after.
    bool cancelled_ = false;
    std::string error_;
};

// A value as the CSV holds it: the shortest text that reads back as it.
std::string number_text(double v);

}  // namespace gui::trace_plot
