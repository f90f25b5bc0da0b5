// The per-port input buffer: reading, framing the adapter's reports,
// resynchronising after noise, and picking a command's reply out of the
// stream.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace velk {

namespace {

// A report unfinished after this much quiet on the port is abandoned.
constexpr uint64_t kSilenceUs = 100000;
// Longest single wait of a receive call; it looks at the buffer again after
// it, for reports another thread's read has placed there.
constexpr int kWaitSliceMs = 10;
// Room kept free for one read, the most one read takes, the first size and
// the cap of the buffer.
constexpr size_t kReadRoom = 4096;
constexpr size_t kReadMax = 16384;
constexpr size_t kInitialSize = 16384;
constexpr size_t kCapacity = size_t{1} << 20;
// Reads of the discard before a command, bounded for a port that never runs dry.
constexpr int kDiscardReads = 64;
// A wait for a reply that comes back this much later than it asked was a
// stall of this thread, and possibly of the whole machine: the adapter's
// answer may still be in the kernel's hands (or, for an emulated adapter, not
// yet written). The port then gets this long after the stall to deliver it.
constexpr uint64_t kStallUs = 25000;
constexpr uint64_t kCatchUpUs = 50000;

using wire::may_start_report;
using wire::report_length;

// A header of a known kind whose data report names a channel (1 or 2).
bool plausible(const unsigned char *p)
{
    const wire::ReportKind *kind = wire::report_kind(p);
    if (kind == nullptr)
        return false;
    if (kind->msg_type != VELK_DATA_TYPE)
        return true;
    const unsigned channel = p[1] & 3u;
    return channel == 1 || channel == 2;
}

int ms_until(uint64_t until_us, uint64_t now_us)
{
    return until_us > now_us ? static_cast<int>((until_us - now_us + 999) / 1000) : 0;
}

// Says what the port's input lost while the object lived (the diagnostics);
// made after the input's lock is taken, so it speaks while still holding it.
class LossReport {
public:
    LossReport(COM_NODE *node, PortInput &in) : node_(node), in_(in) {}
    ~LossReport()
    {
        InputLosses l;
        if (!debug_on() || !in_.take_losses(&l))
            return;
        if (l.skipped > 0)
            debug_line("port %d: skipped %llu bytes while resynchronising: %s%s", node_->com_index,
                       static_cast<unsigned long long>(l.skipped),
                       hex(l.sample, static_cast<size_t>(l.sample_len)).text,
                       l.skipped > static_cast<uint64_t>(l.sample_len) ? " ..." : "");
        if (l.overflowed > 0)
            debug_line("port %d: input buffer full: dropped the %llu oldest reports, which no receive call took",
                       node_->com_index, static_cast<unsigned long long>(l.overflowed));
    }
    LossReport(const LossReport &) = delete;
    LossReport &operator=(const LossReport &) = delete;

private:
    COM_NODE *node_;
    PortInput &in_;
};

}  // namespace

// ---- the buffer ----

int PortInput::fill(velk_port_t port, uint64_t now_us)
{
    make_room();
    const size_t room = std::min(buf_.size() - end_, kReadMax);
    const int n = read_available(port, buf_.data() + end_, static_cast<int>(room), blocking_);
    if (n <= 0)
        return 0;
    // Bytes after a pause may not continue the unfinished report before
    // them; the report that spans the pause must show its evidence.
    if (framed_ < end_ && now_us - last_input_us_ >= kSilenceUs)
        gap_ = end_;
    end_ += static_cast<size_t>(n);
    last_input_us_ = now_us;
    parse();
    return n;
}

int PortInput::pop_report(unsigned char *r)
{
    const size_t len = static_cast<size_t>(report_length(&buf_[head_]));
    std::memcpy(r, &buf_[head_], len);
    erase(head_, len);
    return static_cast<int>(len);
}

bool PortInput::partial_tail() const
{
    return framed_ < end_ && !reply_started();
}

bool PortInput::reply_started() const
{
    return awaiting_reply() && framed_ < end_ && buf_[framed_] == reply_echo_;
}

void PortInput::abandon_tail()
{
    while (partial_tail()) {
        drop(framed_, 1);
        parse();
    }
}

void PortInput::expect_reply(unsigned char echo, size_t len)
{
    reply_pending_ = true;
    reply_done_ = false;
    stray_len_ = 0;
    reply_echo_ = echo;
    reply_len_ = std::min(len, sizeof(reply_));
    // A reply can only start at the next report boundary.
    parse();
}

void PortInput::take_reply()
{
    std::memcpy(reply_, &buf_[framed_], reply_len_);
    reply_done_ = true;
    erase(framed_, reply_len_);
}

bool PortInput::finish_reply(unsigned char *out, ReplyTrace *trace)
{
    // A whole reply still waiting for what follows it is taken at the end.
    if (reply_started() && end_ - framed_ >= reply_len_)
        take_reply();
    const bool done = reply_done_;
    if (!done && trace != nullptr) {
        trace->started = reply_started();
        const unsigned char *from = trace->started ? &buf_[framed_] : stray_;
        const size_t n = std::min(trace->started ? end_ - framed_ : stray_len_, sizeof(trace->got));
        std::memcpy(trace->got, from, n);
        trace->got_len = static_cast<int>(n);
    }
    if (done) {
        std::memcpy(out, reply_, reply_len_);
    } else if (reply_started()) {
        // The bytes of a reply that stayed short: whatever comes next is
        // judged afresh.
        erase(framed_, end_ - framed_);
        aligned_ = false;
    }
    reply_pending_ = false;
    reply_done_ = false;
    return done;
}

int PortInput::take_raw(unsigned char *out, int len)
{
    const size_t k = std::min(static_cast<size_t>(len), end_ - head_);
    if (k == 0)
        return 0;
    std::memcpy(out, &buf_[head_], k);
    head_ += k;
    // The rest may begin inside a report: parse it again, by evidence.
    framed_ = head_;
    aligned_ = false;
    if (gap_ != SIZE_MAX && gap_ <= framed_)
        gap_ = SIZE_MAX;
    erase(head_, 0);
    parse();
    return static_cast<int>(k);
}

// Frames whole reports, drops noise and takes the expected reply, from the
// first unparsed byte on, until the bytes run out or must wait for more.
void PortInput::parse()
{
    while (framed_ < end_) {
        const unsigned char *p = &buf_[framed_];
        const size_t n = end_ - framed_;
        if (awaiting_reply() && p[0] == reply_echo_) {
            if (n < reply_len_)
                return;
            const Verdict v = judge(framed_, reply_len_, Rule::Reply);
            if (v == Verdict::Wait)
                return;
            if (v == Verdict::Reject) {
                drop(framed_, 1);
                continue;
            }
            take_reply();
            continue;
        }
        if (!may_start_report(p[0])) {
            skip_run();
            continue;
        }
        if (n < 2)
            return;
        const size_t len = static_cast<size_t>(report_length(p));
        if (len == 0 || (!aligned_ && !plausible(p))) {
            drop(framed_, 1);
            continue;
        }
        if (n < len)
            return;
        const bool spans_gap = gap_ != SIZE_MAX && gap_ > framed_ && gap_ < framed_ + len;
        const Verdict v = judge(framed_, len, !aligned_ || spans_gap ? Rule::Strict : Rule::InStep);
        if (v == Verdict::Wait)
            return;
        if (v == Verdict::Reject) {
            drop(framed_, 1);
            continue;
        }
        framed_ += len;
        aligned_ = true;
        if (gap_ != SIZE_MAX && gap_ <= framed_)
            gap_ = SIZE_MAX;
    }
}

// Whether the whole report or reply at `at` is taken. A right trailer
// settles it; so does a report with a right trailer that starts inside it,
// against it. Otherwise what follows decides, so that an adapter's own
// trailer is never judged: in step with the stream a report is dropped only
// when what follows is plainly no report. A reply is taken alike when
// nothing follows yet; with something behind it, two headers must follow, so
// that a reply cut short and filled up with report bytes is not taken. After
// noise or a pause (strict) two headers must follow a report.
PortInput::Verdict PortInput::judge(size_t at, size_t len, Rule rule) const
{
    if (wire::sealed(&buf_[at], len))
        return Verdict::Take;
    bool undecided = false;
    if (report_inside(at, len, &undecided))
        return Verdict::Reject;
    if (undecided)
        return Verdict::Wait;
    const Next next = follows(at + len);
    if (next == Next::No)
        return Verdict::Reject;
    if (rule == Rule::InStep || (rule == Rule::Reply && next == Next::Unknown))
        return Verdict::Take;
    if (next == Next::Unknown)
        return Verdict::Wait;
    const size_t second = at + len;
    if (awaiting_reply() && buf_[second] == reply_echo_)
        return Verdict::Take;
    const Next after = follows(second + static_cast<size_t>(report_length(&buf_[second])));
    if (after == Next::Unknown)
        return Verdict::Wait;
    return after == Next::Yes ? Verdict::Take : Verdict::Reject;
}

// A report with a right trailer that starts inside [at + 1, at + len);
// *undecided when one may, but has not arrived whole yet.
bool PortInput::report_inside(size_t at, size_t len, bool *undecided) const
{
    for (size_t q = at + 1; q < at + len && q + 1 < end_; ++q) {
        if (!may_start_report(buf_[q]) || !plausible(&buf_[q]))
            continue;
        const size_t n = static_cast<size_t>(report_length(&buf_[q]));
        if (q + n > end_)
            *undecided = true;
        else if (wire::sealed(&buf_[q], n))
            return true;
    }
    return false;
}

PortInput::Next PortInput::follows(size_t at) const
{
    if (at >= end_)
        return Next::Unknown;
    const unsigned char b = buf_[at];
    if (awaiting_reply() && b == reply_echo_)
        return Next::Yes;
    if (!may_start_report(b))
        return Next::No;
    if (at + 1 >= end_)
        return Next::Unknown;
    return plausible(&buf_[at]) ? Next::Yes : Next::No;
}

// Drops the bytes from framed_ up to the next one that may start something.
void PortInput::skip_run()
{
    size_t q = framed_ + 1;
    while (q < end_ && !may_start_report(buf_[q]) && !(awaiting_reply() && buf_[q] == reply_echo_))
        ++q;
    drop(framed_, q - framed_);
}

bool PortInput::take_losses(InputLosses *out)
{
    if (losses_.skipped == 0 && losses_.overflowed == 0)
        return false;
    *out = losses_;
    losses_ = InputLosses();
    return true;
}

void PortInput::drop(size_t at, size_t n)
{
    if (debug_on()) {
        const size_t k = std::min(n, sizeof(losses_.sample) - static_cast<size_t>(losses_.sample_len));
        std::memcpy(losses_.sample + losses_.sample_len, &buf_[at], k);
        losses_.sample_len += static_cast<int>(k);
        losses_.skipped += n;
        // What the adapter sent while a reply was awaited: the diagnostics
        // of a failed exchange show it.
        if (awaiting_reply()) {
            const size_t s = std::min(n, sizeof(stray_) - stray_len_);
            std::memcpy(stray_ + stray_len_, &buf_[at], s);
            stray_len_ += s;
        }
    }
    skipped_ += n;
    aligned_ = false;
    erase(at, n);
}

void PortInput::erase(size_t at, size_t n)
{
    if (at == head_) {
        head_ += n;
        framed_ = std::max(framed_, head_);
    } else {
        std::memmove(&buf_[at], &buf_[at + n], end_ - at - n);
        end_ -= n;
        if (gap_ != SIZE_MAX)
            gap_ = gap_ > at + n ? gap_ - n : std::min(gap_, at);
    }
    if (gap_ != SIZE_MAX && gap_ <= framed_)
        gap_ = SIZE_MAX;
    if (head_ == end_) {
        head_ = framed_ = end_ = 0;
        gap_ = SIZE_MAX;
    }
}

void PortInput::make_room()
{
    if (buf_.size() - end_ >= kReadRoom)
        return;
    compact();
    if (buf_.size() - end_ >= kReadRoom)
        return;
    if (buf_.size() < kCapacity) {
        buf_.resize(std::min(kCapacity, std::max(kInitialSize, buf_.size() * 2)));
        return;
    }
    // Nobody takes the reports: the oldest go, so the buffer stays bounded.
    while (end_ - head_ > kCapacity / 4 * 3 && head_ < framed_) {
        head_ += static_cast<size_t>(report_length(&buf_[head_]));
        ++overflowed_;
        ++losses_.overflowed;
    }
    if (buf_.size() - (end_ - head_) < kReadRoom)
        drop(framed_, end_ - framed_);
    compact();
}

void PortInput::compact()
{
    if (head_ == 0)
        return;
    std::memmove(buf_.data(), &buf_[head_], end_ - head_);
    framed_ -= head_;
    end_ -= head_;
    if (gap_ != SIZE_MAX)
        gap_ = gap_ > head_ ? gap_ - head_ : SIZE_MAX;
    head_ = 0;
}

// ---- receive side ----

int take_report(COM_NODE *node, unsigned char *r)
{
    PortInput &in = input_of(node);
    MutexGuard guard(in.lock);
    LossReport losses(node, in);
    for (;;) {
        if (in.has_report())
            return in.pop_report(r);
        const uint64_t now = monotonic_us();
        const int got = in.fill(node->fd, now);
        if (in.has_report())
            continue;
        int wait_ms = kWaitSliceMs;
        if (in.partial_tail()) {
            // Blocking reads wait for the rest without a limit; should a
            // pause come in between, the report is judged by its evidence.
            if (!in.blocking()) {
                const uint64_t quiet = now - in.last_input_us();
                if (quiet >= kSilenceUs) {
                    in.abandon_tail();
                    continue;
                }
                wait_ms = std::min(wait_ms, ms_until(in.last_input_us() + kSilenceUs, now));
            }
        } else if (!in.blocking() || got > 0) {
            return 0;
        }
        // Never wait with the lock held: an exchange on another thread
        // reads its reply meanwhile.
        guard.unlock();
        const int w = wait_input(node->fd, wait_ms);
        guard.lock();
        if (w < 0 && !in.has_report())
            return 0;  // the device is gone
    }
}

int wait_report(COM_NODE *node, int timeout_ms)
{
    PortInput &in = input_of(node);
    {
        MutexGuard guard(in.lock);
        if (in.has_report())
            return 1;
    }
    return wait_input(node->fd, timeout_ms);
}

int wait_port_input(int com_port, int timeout_ms)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    return node == nullptr ? -1 : wait_report(node, timeout_ms);
}

// ---- exchange side ----

void begin_exchange(COM_NODE *node, unsigned char echo, size_t reply_len)
{
    PortInput &in = input_of(node);
    MutexGuard guard(in.lock);
    LossReport losses(node, in);
    const uint64_t now = monotonic_us();
    for (int i = 0; i < kDiscardReads && in.fill(node->fd, now) > 0; ++i) {
    }
    // A report left unfinished since before the quiet time is not one.
    if (in.partial_tail() && now - in.last_input_us() >= kSilenceUs)
        in.abandon_tail();
    if (reply_len > 0)
        in.expect_reply(echo, reply_len);
}

bool await_reply(COM_NODE *node, unsigned char *reply, uint64_t wait_end_us, ReplyTrace *trace)
{
    PortInput &in = input_of(node);
    MutexGuard guard(in.lock);
    LossReport losses(node, in);
    // After a stall of this thread: when the port has had its time to
    // catch up.
    uint64_t caught_up_us = 0;
    for (;;) {
        const uint64_t now = monotonic_us();
        in.fill(node->fd, now);
        if (in.reply_done())
            break;
        uint64_t until = wait_end_us;
        if (now >= wait_end_us) {
            // A reply not begun by the adapter's time has failed; one that
            // began gets its rest until the port has been quiet for 100 ms.
            if (in.reply_started())
                until = std::max(wait_end_us, in.last_input_us()) + kSilenceUs;
            until = std::max(until, caught_up_us);
            if (now >= until)
                break;
        }
        guard.unlock();
        const int wait_ms = ms_until(until, now);
        const int w = wait_input(node->fd, wait_ms);
        const uint64_t back = monotonic_us();
        if (back > now + static_cast<uint64_t>(wait_ms) * 1000 + kStallUs)
            caught_up_us = back + kCatchUpUs;
        guard.lock();
        if (w < 0) {
            in.fill(node->fd, monotonic_us());
            break;  // the device is gone
        }
    }
    return in.finish_reply(reply, trace);
}

void cancel_reply(COM_NODE *node)
{
    PortInput &in = input_of(node);
    MutexGuard guard(in.lock);
    unsigned char unused[wire::kMaxReply];
    in.finish_reply(unused, nullptr);
}

int take_raw(COM_NODE *node, unsigned char *buf, int len, uint64_t due_us)
{
    // Woken late from the wait for it: the adapter gets its time to catch up.
    const uint64_t now = monotonic_us();
    if (now > due_us + kStallUs)
        (void)wait_input(node->fd, static_cast<int>(kCatchUpUs / 1000));
    PortInput &in = input_of(node);
    MutexGuard guard(in.lock);
    LossReport losses(node, in);
    int got = in.take_raw(buf, len);
    if (got < len) {
        const int n = read_available(node->fd, buf + got, len - got, in.blocking());
        got += n > 0 ? n : 0;
    }
    return got;
}

bool input_counters(int com_port, InputCounters *out)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || out == nullptr)
        return false;
    PortInput &in = input_of(node);
    MutexGuard guard(in.lock);
    out->buffered = in.buffered();
    out->skipped = in.skipped();
    out->overflowed = in.overflowed();
    return true;
}

}  // namespace velk
