// Filters of the trace view: what a user types, parsed on the GUI thread
// against the loaded databases, then matched on a thread of its own over
// the whole trace.
//
//   CAN1 and rx and 123:7FF,18FF0000:1FFFFF00     channel, direction, identifiers as velk_dump takes them
//   EngineData or error                           a message by name; error frames
//   fd and EngineData.EngineSpeed > 3000          CAN FD frames; a signal's physical value
//   Gear == "Drive"                               a signal's value text
//
// Words one after the other must all hold (`and` may be written); `or`
// joins such groups. Identifiers are written in hex with a mask (`:`) or
// an inverted mask (`~`), or alone (`123`, `18FF0001`: that identifier).
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace.h"

namespace gui::trace_filter {

class Filter;

// The filter of `text`; nullptr with *why saying what is wrong.
std::shared_ptr<const Filter> parse(const std::string &text, std::string *why);
bool matches(const Filter &filter, const velk::trace::Frame &f);

// A filter run over an indexed trace: the numbers of the frames that match,
// found on a thread of its own at the index's priority.
class Run {
public:
    // A trace indexed to its end with at least `split_from` frames is
    // scanned in two halves at once: one core reads and parses a few
    // million frames a second, so a second one halves a big file's wait.
    static constexpr uint64_t kSplitFrames = 1u << 20;
    Run(const velk::trace::Index &index, std::shared_ptr<const Filter> filter, uint64_t split_from = kSplitFrames);
    ~Run();
    Run(const Run &) = delete;
    Run &operator=(const Run &) = delete;

    bool done() const { return done_.load(); }
    uint64_t scanned() const { return scanned_.load(); }
    uint64_t count() const;
    // The frame number of match i; false beyond the matches found so far.
    bool match(uint64_t i, uint64_t *frame) const;
    // Matches among frames [from, to).
    uint64_t count_between(uint64_t from, uint64_t to) const;
    // The first match at or after frame n (count() when none).
    uint64_t first_from(uint64_t frame) const;
    const std::string &error() const { return error_; }  // once done()

private:
    void run(int nice);
    void scan(uint64_t from, uint64_t to, std::string *error,
              const std::function<void(std::vector<uint64_t> &, uint64_t)> &publish);

    const velk::trace::Index &index_;
    std::shared_ptr<const Filter> filter_;
    uint64_t split_from_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> scanned_{0};
    mutable std::mutex mutex_;  // matches_
    std::vector<uint64_t> matches_;
    std::string error_;
};

}  // namespace gui::trace_filter
