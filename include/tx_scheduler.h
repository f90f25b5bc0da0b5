// The scheduler of a transmit list: one thread that sends every enabled
// entry at its absolute deadlines (start + k x cycle, so no drift), the
// earliest deadline first, through a send function it is given, on a clock
// it is given (tests drive time with their own clock).
//
//   velk::txlist::SteadyClock clock;
//   velk::txlist::Scheduler s(clock, [&](const CAN_FRAME_INFO &f) { return send(port, f); });
//   s.set_list(list);
//   velk::txlist::PacingReport r = s.pacing({send_delay[0], send_delay[1]});
//   if (r.fits()) s.start();
#ifndef VELK_TX_SCHEDULER_H
#define VELK_TX_SCHEDULER_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transmit_list.h"

namespace velk::txlist {

// A wait with nothing due: until notified.
constexpr uint64_t kForever = ~uint64_t{0};

// Time for the scheduler, in microseconds.
class Clock {
public:
    virtual ~Clock() = default;
    virtual uint64_t now_us() = 0;
    // Called with lk held (and returns with it held): waits until now_us()
    // reaches t_us or cv is notified; may return early, the caller looks again.
    virtual void wait_until(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, uint64_t t_us) = 0;
};

// The monotonic clock.
class SteadyClock : public Clock {
public:
    uint64_t now_us() override;
    void wait_until(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, uint64_t t_us) override;
};

// 0 = the frame was written; anything else = refused.
using SendFn = std::function<int(const CAN_FRAME_INFO &)>;

// Frames offered per second on each channel against what its pacing pause
// allows (one frame per pause).
struct PacingReport {
    double offered[2] = {0, 0};
    double bound[2] = {0, 0};
    bool fits() const { return offered[0] <= bound[0] && offered[1] <= bound[1]; }
    // "CAN1: 1100 frames/s offered, 1000 allowed by its 1000 us pause" for each channel over its bound.
    std::string text(const int pause_us[2]) const;
};

struct EntryStats {
    uint64_t sent = 0;
    uint64_t late = 0;     // sent, but later than the tolerance after the deadline
    uint64_t skipped = 0;  // deadlines passed by more than a cycle, not sent
    uint64_t refused = 0;  // the send function refused them (or encoding failed)
    double period_us = 0;  // mean period of the last 16 sends; 0 before two
    bool running = false;  // enabled and not done with its count
};

// Readies the calling thread for deadlines of a millisecond: a low
// real-time priority where the process may have one, else a raised
// ordinary one, and 1 us timer slack. The scheduler's thread calls it.
void prepare_sender_thread();

class Scheduler {
public:
    Scheduler(Clock &clock, SendFn send);
    ~Scheduler();  // stops
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

    // Replaces the list (counts start again); while running, entries start
    // at the next cycle boundary from now.
    void set_list(const List &list);
    // Databases a message entry is looked up in when the list's own has no
    // message of its name; they stay over set_list.
    void set_other_databases(std::vector<std::shared_ptr<const dbc::Database>> dbs);
    // Edits apply from the entry's next cycle; its counts are kept.
    void update(size_t index, const Entry &e);
    size_t add(const Entry &e);  // the new entry's index
    void remove(size_t index);
    // Start (from now) or stop one entry while the list runs.
    void set_enabled(size_t index, bool on);
    // Sends the entry's frame once, as soon as possible, outside its cycle.
    void send_now(size_t index);

    PacingReport pacing(const int pause_us[2]) const;

    // Starts the thread; every enabled entry's first deadline is now, plus
    // its index times the phase step (modulo its cycle) when one is set, so
    // that entries of equal cycles do not all fall due at once.
    void start();
    void set_phase_step(uint64_t us);
    // Stops the thread and waits for it; a frame being sent completes.
    void stop();
    bool running() const;
    // True when every enabled entry with a count is done (or none is enabled).
    bool finished() const;

    std::vector<EntryStats> stats() const;
    size_t size() const;
    List list() const;

    // Deadlines missed by more than this are counted late.
    static uint64_t late_tolerance_us(uint64_t cycle_us);

private:
    struct Slot {
        Entry entry;
        uint64_t uid = 0;     // stays while the slot lives (indices move)
        uint64_t origin = 0;  // deadline k is origin + k x cycle
        uint64_t k = 0;       // the next deadline's index
        uint64_t cycles = 0;  // frames built so far: the counter's step
        bool now = false;     // a send-now is pending
        bool active = false;
        EntryStats st;
        uint64_t recent[16] = {};
        int recent_n = 0;
    };
    void run();
    void activate(Slot &s, uint64_t now);
    uint64_t deadline(const Slot &s) const { return s.origin + s.k * s.entry.cycle_us; }
    void note_sent(Slot &s, uint64_t at);
    Slot &new_slot(const Entry &e);

    Clock &clock_;
    SendFn send_;
    mutable std::mutex m_;  // guards everything below
    std::condition_variable cv_;
    std::string dbc_path_;
    std::shared_ptr<const dbc::Database> db_;
    std::vector<std::shared_ptr<const dbc::Database>> other_dbs_;
    std::vector<Slot> slots_;
    uint64_t next_uid_ = 1;
    bool run_ = false;
    uint64_t phase_step_ = 0;
    std::thread thread_;
};

}  // namespace velk::txlist

#endif
