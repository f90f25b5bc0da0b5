// The input side of an open port. Every byte read from the adapter goes
// through one buffer per port: whole reports wait in it, in arrival order,
// for the receive calls; a command exchange takes its reply out of it by its
// echo and length; bytes that start nothing are skipped and counted.
#ifndef VELK_PORT_INPUT_H
#define VELK_PORT_INPUT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib_velk_2.h"
#include "platform.h"
#include "wire.h"

namespace velk {

// What came instead of a whole reply, for the diagnostics: the start of a
// reply that stayed short, or the bytes dropped as noise while it was awaited.
struct ReplyTrace {
    unsigned char got[2 * wire::kMaxReply];
    int got_len = 0;
    bool started = false;  // the echo came, the rest did not
};

// Input lost since the last look, for the diagnostics: bytes skipped while
// resynchronising (the first few of them) and reports dropped at the cap.
struct InputLosses {
    uint64_t skipped = 0;
    uint64_t overflowed = 0;
    unsigned char sample[16];
    int sample_len = 0;
};

class PortInput {
public:
    Mutex lock;           // guards everything below and every read of the port
    Mutex exchange_lock;  // held for the whole of one command exchange

    // The output side's pacing, one per channel: its lock is held across a
    // frame's pause and write, so that threads sending on one channel share
    // its pause instead of each pausing on its own.
    struct ChannelPacing {
        Mutex lock;
        PaceState state;
    };
    ChannelPacing pacing[2];

    // The rest is called with `lock` held.

    // One read of what the port has waiting into the buffer, then parsing.
    // Returns the count read.
    int fill(velk_port_t port, uint64_t now_us);
    bool has_report() const { return head_ < framed_; }
    // Copies the oldest whole report into r and removes it; its length.
    int pop_report(unsigned char *r);
    // Bytes that began a report (or might have) and wait for their rest;
    // a pending reply's bytes are not among them.
    bool partial_tail() const;
    // Drops the bytes of partial_tail(), keeping any whole report found in
    // them by its evidence.
    void abandon_tail();
    uint64_t last_input_us() const { return last_input_us_; }
    bool blocking() const { return blocking_; }
    void set_blocking(bool on) { blocking_ = on; }

    // A reply with this first byte and length is expected next.
    void expect_reply(unsigned char echo, size_t len);
    bool reply_done() const { return reply_done_; }
    bool reply_started() const;
    // Ends the wait for the reply: true with it copied into `out`. A reply
    // that began but stayed short is removed. `trace` (may be null) gets what
    // came instead.
    bool finish_reply(unsigned char *out, ReplyTrace *trace);
    // Raw bytes from the front of the buffer, as many as there are up to len.
    int take_raw(unsigned char *out, int len);

    size_t buffered() const { return end_ - head_; }
    uint64_t skipped() const { return skipped_; }
    uint64_t overflowed() const { return overflowed_; }
    // Losses since the last call; false when there were none.
    bool take_losses(InputLosses *out);

private:
    enum class Next { Yes, No, Unknown };
    enum class Verdict { Take, Reject, Wait };
    enum class Rule { InStep, Reply, Strict };

    bool awaiting_reply() const { return reply_pending_ && !reply_done_; }
    void parse();
    Verdict judge(size_t at, size_t len, Rule rule) const;
    bool report_inside(size_t at, size_t len, bool *undecided) const;
    void take_reply();
    Next follows(size_t at) const;
    void skip_run();
    void drop(size_t at, size_t n);
    void erase(size_t at, size_t n);
    void make_room();
    void compact();

    // [head_, framed_) whole reports; [framed_, end_) not yet parsed.
    std::vector<unsigned char> buf_;
    size_t head_ = 0;
    size_t framed_ = 0;
    size_t end_ = 0;
    // First byte read after the port had been quiet for the silence time
    // while a report was unfinished; none when SIZE_MAX.
    size_t gap_ = SIZE_MAX;
    // The parse is at a report boundary it trusts; false after noise.
    bool aligned_ = true;
    bool blocking_ = false;
    uint64_t last_input_us_ = 0;

    bool reply_pending_ = false;
    bool reply_done_ = false;
    unsigned char reply_echo_ = 0;
    size_t reply_len_ = 0;
    unsigned char reply_[wire::kMaxReply] = {};

    uint64_t skipped_ = 0;
    uint64_t overflowed_ = 0;

    // Kept only while the diagnostics are on.
    InputLosses losses_;
    unsigned char stray_[2 * wire::kMaxReply] = {};
    size_t stray_len_ = 0;
};

// An open port's public node and its input, in one allocation; the open-port
// list links the public node.
struct PortState : COM_NODE {
    PortInput input;
};

inline PortInput &input_of(COM_NODE *node)
{
    return static_cast<PortState *>(node)->input;
}

// ---- receive side ----

// Takes the next whole report into r (wire::kMaxReport bytes); its length, or 0
// when there is none. Non-blocking mode returns at once when nothing has
// begun to arrive, and waits for the rest of a report until the port has
// been quiet for 100 ms; blocking mode waits for input.
int take_report(COM_NODE *node, unsigned char *r);

// 1 at once when a whole report is buffered; otherwise waits up to
// timeout_ms for input on the port (as wait_input).
int wait_report(COM_NODE *node, int timeout_ms);
int wait_port_input(int com_port, int timeout_ms);

// ---- exchange side, with exchange_lock held ----

// Reads what is waiting and drops what is neither a whole report nor the
// start of one; then, when reply_len > 0, expects a reply of that echo and
// length.
void begin_exchange(COM_NODE *node, unsigned char echo, size_t reply_len);
// Waits for the expected reply: until wait_end_us for its start, and for its
// rest until the port has been quiet for 100 ms after that. After a wait
// that this thread overslept by 25 ms or more (a stalled machine) it waits
// at least 50 ms more. True with the reply copied into `reply`; otherwise
// `trace` says what came instead.
bool await_reply(COM_NODE *node, unsigned char *reply, uint64_t wait_end_us, ReplyTrace *trace);
// The expected reply will not come (the frame was not written).
void cancel_reply(COM_NODE *node);
// Raw bytes that arrived: from the buffer first, then one read of the port.
// Called after the wait that ended at due_us; woken 25 ms or more after it,
// it first waits up to 50 ms for input, as await_reply does after a stall.
int take_raw(COM_NODE *node, unsigned char *buf, int len, uint64_t due_us);

// What the input of an open port holds and has dropped: bytes buffered,
// bytes skipped as noise, reports dropped because nobody took them while
// the buffer was full. False when the port is not open.
struct InputCounters {
    size_t buffered;
    uint64_t skipped;
    uint64_t overflowed;
};
bool input_counters(int com_port, InputCounters *out);

}  // namespace velk

#endif
