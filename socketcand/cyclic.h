// Cyclic sends of the broadcast-manager mode ("< add >", "< update >",
// "< delete >") behind a small interface, so that another scheduler (the
// worker layer's, on a thread of its own) can take the jobs later.
// TimerCyclicJobs is the server's own: driven by its poll loop.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "protocol.h"

namespace velk::netd {

class CyclicJobs {
public:
    virtual ~CyclicJobs() = default;
    // A job of `owner` on `channel`: `f` at once (on the loop's next turn)
    // and every `interval_us` after; 0 sends it once, now. A job for the same identifier of the same owner and
    // channel is replaced.
    virtual void add(uint64_t owner, int channel, const NetFrame &f, int64_t interval_us) = 0;
    // New content for the job of f's identifier; its timer is kept. False
    // when there is no such job.
    virtual bool update(uint64_t owner, int channel, const NetFrame &f) = 0;
    virtual bool remove(uint64_t owner, int channel, uint32_t id, bool extended) = 0;
    // Every job of a client that has gone, or of a channel that has.
    virtual void remove_owner(uint64_t owner) = 0;
    virtual void remove_channel(int channel) = 0;
    virtual size_t count() const = 0;
    // For a scheduler driven by the caller's loop: the monotonic time of the
    // next send (-1: none), and the sends due at `now_us`. A scheduler with
    // a thread of its own keeps these defaults.
    virtual int64_t next_due_us() const { return -1; }
    virtual void run_due(int64_t /*now_us*/) {}
};

// The frames go out through `send` (channel, frame, owner).
using CyclicSend = std::function<void(int, const NetFrame &, uint64_t)>;

class TimerCyclicJobs : public CyclicJobs {
public:
    // Intervals below this are raised to it: the adapter cannot send faster
    // than about one frame per 100 us per channel, and the loop's timer has
    // about this resolution.
    static constexpr int64_t kMinIntervalUs = 1000;

    TimerCyclicJobs(CyclicSend send, std::function<int64_t()> now_us) : send_(send), now_(now_us) {}
    void add(uint64_t owner, int channel, const NetFrame &f, int64_t interval_us) override;
    bool update(uint64_t owner, int channel, const NetFrame &f) override;
    bool remove(uint64_t owner, int channel, uint32_t id, bool extended) override;
    void remove_owner(uint64_t owner) override;
    void remove_channel(int channel) override;
    size_t count() const override { return jobs_.size(); }
    int64_t next_due_us() const override;
    void run_due(int64_t now_us) override;

private:
    struct Job {
        uint64_t owner;
        int channel;
        NetFrame frame;
        int64_t interval_us;
        int64_t due_us;
    };
    Job *find(uint64_t owner, int channel, uint32_t id, bool extended);

    CyclicSend send_;
    std::function<int64_t()> now_;
    std::vector<Job> jobs_;
};

}  // namespace velk::netd
