// A connection: the sending state machine (single frame, or first frame,
// flow control, blocks of consecutive frames spaced by STmin) and the
// receiving one (flow controls announcing this side's block size and
// STmin), on the caller's clock.
#include <algorithm>
#include <limits>

#include "internal.h"

namespace velk::isotp {

using namespace detail;

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

uint64_t after_ms(uint64_t now_us, uint32_t ms)
{
    return now_us + uint64_t(ms) * 1000;
}

}  // namespace

struct Connection::Tx {
    enum State { Idle, Ready, Confirm, WaitFlow } state = Idle;
    std::vector<uint8_t> data;
    uint32_t pos = 0;  // bytes handed out in frames so far
    bool functional = false;
    uint8_t sn = 1;
    uint32_t block_size = 0;
    uint32_t gap_us = 0;  // the receiver's STmin
    uint32_t in_block = 0;
    int waits = 0;
    uint64_t due = 0;          // Ready: the next frame's time; Confirm, WaitFlow: the timeout
    bool expects_flow = false; // the frame awaiting confirmation ends a block
    bool early_flow = false;   // its flow control came before its confirmation
    Pci flow;
};

struct Connection::Rx {
    RxState st;
    uint64_t due = kNever;  // N_Cr while a message is under way
};

Connection::Connection(const Options &options) : options_(options), tx_(new Tx), rx_(new Rx) {}

Connection::~Connection() = default;

bool Connection::send(const std::vector<uint8_t> &data, uint64_t now_us, bool functional)
{
    if (tx_->state != Tx::Idle || data.empty() || data.size() > std::numeric_limits<uint32_t>::max())
        return false;
    if (functional && data.size() > single_capacity(shape_of(options_, true)))
        return false;
    Tx &t = *tx_;
    t = Tx{};
    t.data = data;
    t.functional = functional;
    t.state = Tx::Ready;
    t.due = now_us;
    return true;
}

bool Connection::sending() const
{
    return tx_->state != Tx::Idle;
}

void Connection::cancel_send()
{
    *tx_ = Tx{};
}

void Connection::tx_fail(Error e, uint64_t now_us)
{
    *tx_ = Tx{};
    events_.push_back({Event::TxError, e, {}, now_us});
}

// Drops the message under way; the event carries what had arrived.
void Connection::rx_fail(Error e, uint64_t now_us)
{
    RxState &st = rx_->st;
    st.active = false;
    rx_->due = kNever;
    events_.push_back({Event::RxError, e, std::move(st.data), now_us});
    st.data.clear();
}

void Connection::queue_flow_control(uint8_t status)
{
    control_.push_back(flow_frame(shape_of(options_, false), status, options_.block_size, options_.stmin));
}

void Connection::take_flow(const Pci &p, uint64_t now_us)
{
    Tx &t = *tx_;
    switch (p.status) {
    case kContinue:
        t.block_size = p.block_size;
        t.gap_us = stmin_us(p.stmin);
        t.waits = 0;
        t.in_block = 0;
        t.state = Tx::Ready;
        t.due = now_us;
        return;
    case kWait:
        if (++t.waits > options_.max_wait_frames)
            return tx_fail(Error::WaitLimit, now_us);
        t.due = after_ms(now_us, options_.n_bs_ms);
        return;
    case kOverflow:
        return tx_fail(Error::Overflow, now_us);
    default:
        return tx_fail(Error::BadFlowStatus, now_us);
    }
}

bool Connection::on_frame(const trace::Frame &f, uint64_t now_us)
{
    const Address &a = options_.address;
    if (f.tx || f.error || f.remote || f.id != a.rx_id || f.extended != a.extended_id)
        return false;
    int at = 0;
    if (a.mode != Addressing::Normal) {
        if (f.len < 1 || f.data[0] != a.rx_ext)
            return false;
        at = 1;
    }
    const Pci p = read_pci(f, at);
    Tx &t = *tx_;
    if (p.kind == Kind::Flow) {
        if (t.state == Tx::WaitFlow) {
            take_flow(p, now_us);
        } else if (t.state == Tx::Confirm && t.expects_flow) {
            // The receiver answered before the adapter's confirmation came back.
            t.early_flow = true;
            t.flow = p;
        }
        return true;
    }
    bool interrupted = false;
    RxState &st = rx_->st;
    const RxStep step = rx_step(&st, f, p, options_.max_rx_len, &interrupted);
    if (interrupted)
        events_.push_back({Event::RxError, Error::Interrupted, {}, now_us});
    switch (step) {
    case RxStep::Ignored:
        break;
    case RxStep::Malformed:
        events_.push_back({Event::RxError, Error::Malformed, {}, now_us});
        break;
    case RxStep::Complete:
        rx_->due = kNever;
        events_.push_back({Event::Received, Error::None, std::move(st.data), now_us});
        st.data.clear();
        break;
    case RxStep::Started:
        queue_flow_control(kContinue);
        rx_->due = after_ms(now_us, options_.n_cr_ms);
        break;
    case RxStep::Refused:
        queue_flow_control(kOverflow);
        rx_->due = kNever;
        events_.push_back({Event::RxError, Error::TooLong, {}, now_us});
        break;
    case RxStep::More:
        rx_->due = after_ms(now_us, options_.n_cr_ms);
        if (options_.block_size && st.in_block == options_.block_size) {
            st.in_block = 0;
            queue_flow_control(kContinue);
        }
        break;
    case RxStep::WrongSequence:
        rx_fail(Error::WrongSequence, now_us);
        break;
    }
    return true;
}

void Connection::tick(uint64_t now_us)
{
    Tx &t = *tx_;
    if (t.state == Tx::Confirm && now_us >= t.due)
        tx_fail(Error::TimeoutAs, now_us);
    else if (t.state == Tx::WaitFlow && now_us >= t.due)
        tx_fail(Error::TimeoutBs, now_us);
    if (rx_->st.active && now_us >= rx_->due)
        rx_fail(Error::TimeoutCr, now_us);
}

bool Connection::next_frame(uint64_t now_us, trace::Frame *f)
{
    if (!control_.empty()) {
        *f = control_.front();
        control_.pop_front();
        unconfirmed_.push_back(false);
        return true;
    }
    Tx &t = *tx_;
    if (t.state != Tx::Ready || now_us < t.due)
        return false;
    const Shape s = shape_of(options_, t.functional);
    const uint32_t total = uint32_t(t.data.size());
    uint32_t taken = 0;
    if (t.pos == 0 && total <= single_capacity(s)) {
        *f = single_frame(s, t.data.data(), total);
        taken = total;
    } else if (t.pos == 0) {
        *f = first_frame(s, t.data.data(), total, &taken);
        t.expects_flow = true;
    } else {
        *f = consecutive_frame(s, t.sn, t.data.data() + t.pos, total - t.pos, &taken);
        t.sn = (t.sn + 1) & 0x0F;
        ++t.in_block;
        t.expects_flow = t.block_size && t.in_block == t.block_size;
    }
    t.pos += taken;
    t.state = Tx::Confirm;
    t.due = after_ms(now_us, options_.n_as_ms);
    unconfirmed_.push_back(true);
    return true;
}

void Connection::sent(uint64_t now_us)
{
    if (unconfirmed_.empty())
        return;
    const bool data = unconfirmed_.front();
    unconfirmed_.pop_front();
    Tx &t = *tx_;
    if (!data || t.state != Tx::Confirm)
        return;  // a flow control, or a frame whose N_As has already run out
    if (t.pos == t.data.size()) {
        t = Tx{};
        events_.push_back({Event::Sent, Error::None, {}, now_us});
        return;
    }
    if (t.expects_flow) {
        t.state = Tx::WaitFlow;
        t.expects_flow = false;
        t.due = after_ms(now_us, options_.n_bs_ms);
        if (t.early_flow) {
            t.early_flow = false;
            take_flow(t.flow, now_us);
        }
        return;
    }
    t.state = Tx::Ready;
    t.due = now_us + t.gap_us;
}

void Connection::send_failed(uint64_t now_us)
{
    if (unconfirmed_.empty())
        return;
    const bool data = unconfirmed_.front();
    unconfirmed_.pop_front();
    if (data) {
        if (tx_->state == Tx::Confirm)
            tx_fail(Error::SendFailed, now_us);
        return;
    }
    if (rx_->st.active)
        rx_fail(Error::SendFailed, now_us);
}

bool Connection::next_event(Event *e)
{
    if (events_.empty())
        return false;
    *e = std::move(events_.front());
    events_.pop_front();
    return true;
}

uint64_t Connection::next_frame_time() const
{
    if (!control_.empty())
        return 0;
    return tx_->state == Tx::Ready ? tx_->due : kNever;
}

uint64_t Connection::next_deadline() const
{
    if (!control_.empty())
        return 0;
    uint64_t d = tx_->state == Tx::Idle ? kNever : tx_->due;
    if (rx_->st.active)
        d = std::min(d, rx_->due);
    return d;
}

}  // namespace velk::isotp
