// Export from a trace view: frames of an indexed trace, those a filter
// keeps or all, between two frame numbers, written to a file of any format
// velk writes, on a thread of its own so that the window never waits.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "trace.h"
#include "trace_filter.h"

namespace gui::trace_export {

class Export {
public:
    // Frames [from, to) of the trace (to beyond the end: to its end, which
    // an index still growing is waited for); with `filter`, those it keeps.
    Export(const velk::trace::Index &index, std::shared_ptr<const trace_filter::Filter> filter, uint64_t from,
           uint64_t to);
    ~Export();
    Export(const Export &) = delete;
    Export &operator=(const Export &) = delete;

    // Creates the file and begins; false with *why when it cannot be written.
    bool start(const std::string &path, velk::trace::Format format, std::string *why);
    // Ends the export early; the file, incomplete, is removed.
    void cancel() { stop_ = true; }
    bool done() const { return done_.load(); }
    // Frames read of the range so far, and written to the file.
    uint64_t read() const { return read_.load(); }
    uint64_t written() const { return written_.load(); }
    // The frames of the range as far as the index knows them now.
    uint64_t total() const;
    // Once done(): cancelled, or why it failed ("" when the file is whole).
    bool cancelled() const { return cancelled_; }
    const std::string &error() const { return error_; }
    const std::string &path() const { return path_; }

private:
    void run();

    const velk::trace::Index &index_;
    std::shared_ptr<const trace_filter::Filter> filter_;
    uint64_t from_, to_;
    velk::trace::Writer writer_;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> read_{0}, written_{0};
    // Written by the thread before done_ turns true, read after.
    bool cancelled_ = false;
    std::string error_;
};

}  // namespace gui::trace_export
