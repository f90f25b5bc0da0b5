#include "trace_export.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace gui::trace_export {

namespace trace = velk::trace;

Export::Export(const trace::Index &index, std::shared_ptr<const trace_filter::Filter> filter, uint64_t from,
               uint64_t to)
    : index_(index), filter_(std::move(filter)), from_(from), to_(std::max(from, to))
{
}

Export::~Export()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

bool Export::start(const std::string &path, trace::Format format, std::string *why)
{
    path_ = path;
    if (!writer_.open(path, format, {})) {
        *why = writer_.error();
        return false;
    }
    thread_ = std::thread(&Export::run, this);
    return true;
}

uint64_t Export::total() const
{
    const uint64_t n = index_.frames();
    return std::min(to_, std::max(n, from_)) - from_;
}

void Export::run()
{
    trace::IndexedReader reader;
    if (!reader.open(index_))
        error_ = reader.error();
    trace::Frame f;
    for (uint64_t n = from_; error_.empty() && n < to_ && !stop_; ++n) {
        // Frames the index has not reached yet are waited for, not taken as the end.
        const int r = reader.read_following(n, &f, stop_);
        if (r < 0)
            error_ = reader.error();
        if (r <= 0)
            break;
        read_.store(n - from_ + 1);
        if (filter_ && !trace_filter::matches(*filter_, f))
            continue;
        if (!writer_.write(f))
            error_ = writer_.error();
        else
            written_.fetch_add(1);
    }
    // The index's own damage ends a range that ran to it.
    if (error_.empty() && !stop_ && to_ > index_.frames() && !index_.error().empty())
        error_ = index_.error();
    if (!writer_.close() && error_.empty())
        error_ = writer_.error();
    // A cancel that came while the file was being finished still removes it.
    if (stop_) {
        cancelled_ = true;
        std::remove(path_.c_str());
    }
    done_ = true;
}

}  // namespace gui::trace_export
