// The transmit list: periodic frames, each with its own cycle time, an
// optional count, and per-cycle changes (a counter, a checksum), and the
// scheduler that sends them. An entry is either a frame given as cansend's
// frame text or a database message with signal values. The list file keeps
// one entry a line (its format is in velk_send's manual page); the utility,
// velk_send --list and velk_socketcand's cyclic sends use this module.
//
//   velk::txlist::List list;
//   std::string error;
//   if (!velk::txlist::load_list("car.list", &list, &error))
//       fail(error);                     // "car.list:3: checksum: bad byte range in ..."
//
//   velk::txlist::SteadyClock clock;     // tests drive time with their own
//   velk::txlist::Scheduler s(clock, [&](const CAN_FRAME_INFO &f) { return send(port, f); });
//   s.set_list(list);
//   const int pause_us[2] = {send_delay[0], send_delay[1]};
//   const velk::txlist::PacingReport r = s.pacing(pause_us);
//   if (!r.fits())
//       fail(r.text(pause_us));          // "CAN1: 6000 frames/s offered, 5000 allowed ..."
//   s.start();                           // its own thread, deadlines start + k x cycle
//   ...
//   for (const velk::txlist::EntryStats &st : s.stats()) show(st.sent, st.late, st.skipped);
//   s.stop();
//
// C++ only; on the library's public records, trace/ and dbc/.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dbc.h"
#include "lib_velk_2.h"
#include "trace.h"

namespace velk::txlist {

constexpr uint64_t kMinCycleUs = 1000;
constexpr uint64_t kMaxCycleUs = 100000000;

// A counter that steps by one each cycle and wraps from `max` back to `min`:
// either in bytes first..last of the payload (first byte least significant)
// or in a database signal (raw values).
struct Counter {
    enum Kind { None, Bytes, Signal } kind = None;
    int first = 0, last = 0;
    std::string signal;
    uint64_t min = 0;
    uint64_t max = 0;  // 0: the largest value the bytes or the signal hold
};

// A checksum of payload bytes first..last (sum modulo 256, or XOR), written
// into byte `at` or into a database signal, after the counter has stepped.
struct Checksum {
    enum Kind { None, Sum, Xor } kind = None;
    int first = 0, last = 0;
    int at = 0;
    std::string signal;  // not empty: the target is this signal
};

struct Entry {
    std::string name;  // optional label
    int channel = 0;   // 0 = CAN1, 1 = CAN2
    // A frame (identifier, standard or extended, remote, FD, BRS, data)...
    trace::Frame frame;
    // ...or a database message: its name and signal values as written
    // ("Drive" or "12.5"), encoded with the list's database.
    std::string message;
    std::vector<std::pair<std::string, std::string>> signals;
    uint64_t cycle_us = 100000;
    uint64_t count = 0;  // frames to send; 0 = until stopped
    bool enabled = true;
    Counter counter;
    Checksum checksum;

    bool is_message() const { return !message.empty(); }
};

struct List {
    std::string dbc_path;  // as written in the file; empty: no database
    std::shared_ptr<const dbc::Database> db;
    std::vector<Entry> entries;
};

// The library's record of an entry's `cycle`-th frame (0 for the first):
// counter and checksum applied. False, with *why, when a message entry
// cannot be encoded (no database, unknown message or signal, a value out of
// range) or a byte range lies outside the payload.
bool build_frame(const Entry &e, const dbc::Database *db, uint64_t cycle, CAN_FRAME_INFO *out, std::string *why);

// Checks what build_frame would refuse, and the cycle's range; "" when good.
std::string check_entry(const Entry &e, const dbc::Database *db);

// The database a message entry is encoded with: the list's own when it has
// the message, else the first of `others` (the utility's loaded files) that
// has it, else the list's own (which then refuses the entry, or nullptr).
const dbc::Database *database_for(const Entry &e, const dbc::Database *own,
                                  const std::vector<std::shared_ptr<const dbc::Database>> &others);

// ---- the list file ----

// Reads list text. `base_dir` resolves a relative database path. A bad line
// refuses the whole text with *error = "name:line: what" and leaves *list
// as it was.
bool parse_list(const std::string &text, const std::string &name, const std::string &base_dir, List *list,
                std::string *error);
// Reads a list file; as parse_list.
bool load_list(const std::string &path, List *list, std::string *error);
// The text of a list, one entry a line, that parse_list reads back equal.
std::string list_text(const List &list);
// Writes list_text to path (through a temporary file, so a failed save
// leaves the old file); false with *error when it cannot.
bool save_list(const std::string &path, const List &list, std::string *error);

// One entry's line without the newline.
std::string entry_line(const Entry &e);
// Parses one entry line; false with *why.
bool parse_entry(const std::string &line, Entry *e, std::string *why);

// "10ms", "1.5s", "250us": microseconds; false for anything else.
bool parse_cycle(const std::string &text, uint64_t *us);
std::string cycle_text(uint64_t us);

// ---- the scheduler ----

// One thread that sends every enabled entry at its absolute deadlines
// (start + k x cycle, so no drift), the earliest deadline first, through a
// send function it is given, on a clock it is given.

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
