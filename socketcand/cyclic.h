// Cyclic sends of the broadcast-manager mode ("< add >", "< update >",
// "< delete >"). They run on the transmit list's scheduler, the one of
// velk_send --list and the utility's Transmit tab: each client with jobs has
// a scheduler of its own, one entry a job, so that the scheduler's thread
// knows whose frame it sends. The frames go to the adapter link's queue with
// the client as their origin: the other clients of the bus see them, the
// client itself does not, as with the frames it sends by hand.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "protocol.h"
#include "txlist.h"

namespace velk::netd {

// Called from the poll loop only, except count().
class CyclicJobs {
public:
    virtual ~CyclicJobs() = default;
    // A job of `owner` on `channel`: `f` at once and every `interval_us`
    // after; 0 sends it once, now. A job for the same identifier of the same
    // owner and channel is replaced.
    virtual void add(uint64_t owner, int channel, const NetFrame &f, int64_t interval_us) = 0;
    // New content for the job of f's identifier from its next cycle; its
    // timer is kept. False when there is no such job.
    virtual bool update(uint64_t owner, int channel, const NetFrame &f) = 0;
    virtual bool remove(uint64_t owner, int channel, uint32_t id, bool extended) = 0;
    // Every job of a client that has gone, or of a channel that has.
    virtual void remove_owner(uint64_t owner) = 0;
    virtual void remove_channel(int channel) = 0;
    // Jobs running now; from any thread.
    virtual size_t count() const = 0;
};

// Hands a frame (channel, frame, owner) to the adapter; false when it was
// not taken. Called from the schedulers' threads: it must be thread-safe.
using CyclicSend = std::function<bool(int, const NetFrame &, uint64_t)>;

class ScheduledCyclicJobs : public CyclicJobs {
public:
    explicit ScheduledCyclicJobs(CyclicSend send) : send_(std::move(send)) {}
    ~ScheduledCyclicJobs() override = default;  // each scheduler stops with its client's entry
    ScheduledCyclicJobs(const ScheduledCyclicJobs &) = delete;
    ScheduledCyclicJobs &operator=(const ScheduledCyclicJobs &) = delete;

    void add(uint64_t owner, int channel, const NetFrame &f, int64_t interval_us) override;
    bool update(uint64_t owner, int channel, const NetFrame &f) override;
    bool remove(uint64_t owner, int channel, uint32_t id, bool extended) override;
    void remove_owner(uint64_t owner) override;
    void remove_channel(int channel) override;
    size_t count() const override { return count_.load(); }

private:
    struct Key {
        int channel;
        uint32_t id;
        bool extended;
        bool operator==(const Key &) const = default;
    };
    struct Job {
        Key key;
        uint64_t cycle_us;
        NetFrame frame;
    };
    // One client's jobs. `jobs[i]` is the scheduler's entry i. The poll loop
    // changes `jobs` under `m` before it changes the scheduler, and the
    // scheduler's thread hands on its job's frame as `jobs` has it, under
    // `m`: once update or delete has returned, no frame of the old content
    // or of the deleted job follows.
    struct Client {
        uint64_t owner = 0;
        std::mutex m;
        std::vector<Job> jobs;
        // Last, so that it stops (and its thread ends) before the rest goes.
        std::unique_ptr<txlist::Scheduler> sched;
        int find(const Key &k) const;
    };
    int send_from(Client &c, const CAN_FRAME_INFO &r);
    // Takes job i out of c (the scheduler's entry too); ends c when it has none left.
    void remove_at(std::map<uint64_t, std::unique_ptr<Client>>::iterator it, int i);
    void recount();

    CyclicSend send_;
    txlist::SteadyClock clock_;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    std::atomic<size_t> count_{0};
};

}  // namespace velk::netd
