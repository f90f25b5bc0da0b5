#include "trace_plot.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cinttypes>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

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

std::string number_text(double v)
{
    char b[32];
    const auto r = std::to_chars(b, b + sizeof b, v);
    return std::string(b, r.ptr);
}

Pass::Pass(const trace::Index &index, const std::vector<Series> &series)
    : index_(index), count_(series.size()), row_(series.size())
{
    size_t most = 0;
    for (size_t i = 0; i < series.size(); ++i) {
        const Series &s = series[i];
        auto it = std::find_if(wanted_.begin(), wanted_.end(), [&](const Wanted &w) { return w.message == s.message; });
        if (it == wanted_.end())
            it = wanted_.insert(wanted_.end(), Wanted{s.message, {}});
        it->signals.emplace_back(s.signal, i);
        most = std::max(most, s.message->signals.size());
    }
    values_.resize(most);
    open_ = reader_.open(index);
}

bool Pass::run(int64_t t0, int64_t t1, const std::atomic<bool> &stop, std::atomic<uint64_t> *read, const Each &each,
               std::string *error)
{
    if (!open_) {
        *error = reader_.error();
        return false;
    }
    constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
    // Only the range is read: from the index's place before its start.
    const int64_t first = reader_.find_time(t0);
    trace::Frame f;
    for (int64_t n = first; n >= 0 && !stop; ++n) {
        const int r = reader_.read_following(static_cast<uint64_t>(n), &f, stop);
        if (r < 0) {
            *error = reader_.error();
            return false;
        }
        if (r == 0)
            break;
        const int64_t us = f.sec * 1000000 + f.usec;
        if (us >= t1)
            break;
        read->store(static_cast<uint64_t>(n - first + 1), std::memory_order_relaxed);
        if (f.error || f.remote)
            continue;
        for (const Wanted &w : wanted_) {
            if (f.id != w.message->id || f.extended != w.message->extended)
                continue;
            std::fill(row_.begin(), row_.end(), kNone);
            const int count = dbc::decode(*w.message, f.data.data(), f.len, values_.data());
            bool any = false;
            for (int i = 0; i < count; ++i) {
                const dbc::Value &v = values_[static_cast<size_t>(i)];
                if (v.missing)
                    continue;
                for (const auto &[signal, series] : w.signals)
                    if (signal == v.signal) {
                        row_[series] = v.value;
                        any = true;
                    }
            }
            // Two series of different messages never share a frame.
            if (any)
                each(static_cast<uint64_t>(n), us, row_.data());
            break;
        }
    }
    return true;
}

Columns::Columns(const trace::Index &index, std::vector<Series> series, int64_t t0, int64_t t1, int width)
    : index_(index), series_(std::move(series)), t0_(t0), t1_(std::max(t1, t0 + 1)), width_(std::max(1, width)),
      shown_(series_.size(), std::vector<Column>(static_cast<size_t>(width_)))
{
    thread_ = std::thread(&Columns::run, this);
}

Columns::~Columns()
{
    stop_ = true;
    thread_.join();
}

std::vector<Column> Columns::columns(size_t i) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return i < shown_.size() ? shown_[i] : std::vector<Column>();
}

std::string Columns::error() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return error_;
}

void Columns::run()
{
    std::vector<std::vector<Column>> cols(series_.size(), std::vector<Column>(static_cast<size_t>(width_)));
    std::string error;
    uint64_t published = 0;
    Pass pass(index_, series_);
    pass.run(
        t0_, t1_, stop_, &read_,
        [&](uint64_t, int64_t us, const double *values) {
            const int c = column_of(us, t0_, t1_, width_);
            if (c < 0)
                return;
            for (size_t i = 0; i < cols.size(); ++i) {
                const double v = values[i];
                if (std::isnan(v))
                    continue;
                Column &col = cols[i][static_cast<size_t>(c)];
                col.min = col.has ? std::min(col.min, v) : v;
                col.max = col.has ? std::max(col.max, v) : v;
                col.has = true;
                samples_.fetch_add(1, std::memory_order_relaxed);
            }
            if (read_.load(std::memory_order_relaxed) - published >= kPublishEvery) {
                published = read_.load(std::memory_order_relaxed);
                std::lock_guard<std::mutex> lock(mutex_);
                shown_ = cols;
                handed_.fetch_add(1);
            }
        },
        &error);
    std::lock_guard<std::mutex> lock(mutex_);
    shown_ = std::move(cols);
    error_ = error;
    handed_.fetch_add(1);
    done_ = true;
}

CsvExport::CsvExport(const trace::Index &index, std::vector<Series> series, int64_t t0, int64_t t1)
    : index_(index), series_(std::move(series)), t0_(t0), t1_(std::max(t1, t0 + 1))
{
}

CsvExport::~CsvExport()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (file_ != nullptr)
        std::fclose(file_);
}

bool CsvExport::start(const std::string &path, std::string *why)
{
    path_ = path;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) {
        *why = path + ": " + std::strerror(errno);
        return false;
    }
    pass_ = std::make_unique<Pass>(index_, series_);
    // The range's frames as far as indexed now, for the progress.
    const int64_t from = pass_->find_time(t0_), to = pass_->find_time(t1_);
    const int64_t end = to >= 0 ? to : static_cast<int64_t>(index_.frames());
    total_ = from >= 0 && end > from ? static_cast<uint64_t>(end - from) : 0;
    thread_ = std::thread(&CsvExport::run, this);
    return true;
}

void CsvExport::run()
{
    std::string line = "time";
    for (const Series &s : series_)
        line += "," + s.name();
    line += "\n";
    bool ok = std::fputs(line.c_str(), file_) >= 0;
    char b[40];
    pass_->run(
        t0_, t1_, stop_, &read_,
        [&](uint64_t, int64_t us, const double *values) {
            const int64_t a = us < 0 ? -us : us;
            std::snprintf(b, sizeof b, "%s%" PRId64 ".%06d", us < 0 ? "-" : "", a / 1000000,
                          static_cast<int>(a % 1000000));
            line = b;
            for (size_t i = 0; i < series_.size(); ++i) {
                line += ',';
                if (!std::isnan(values[i]))
                    line += number_text(values[i]);
            }
            line += '\n';
            if (ok && std::fputs(line.c_str(), file_) < 0)
                ok = false;
            written_.fetch_add(1, std::memory_order_relaxed);
        },
        &error_);
    if (std::fclose(file_) != 0)
        ok = false;
    file_ = nullptr;
    if (!ok && error_.empty())
        error_ = path_ + ": " + std::strerror(errno);
    if (stop_) {
        cancelled_ = true;
        std::remove(path_.c_str());
    }
    done_ = true;
}

}  // namespace gui::trace_plot
