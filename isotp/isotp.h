// ISO-TP (ISO 15765-2): messages of up to 4 GB carried in single, first,
// consecutive and flow-control frames, with block size, STmin, wait frames,
// the N_As/N_Bs/N_Cr timeouts, padding, normal/extended/mixed addressing
// and CAN FD; and a reassembler that finds the messages in a trace.
//
// A Connection is a state machine with a given clock: no threads, no
// sleeps, no adapter. The caller feeds it the frames it sees and the time
// (any monotonic microseconds), sends the frames it hands out, confirms
// each one, and reads its events. Frames of other identifiers are left
// alone, so the same frames still go to every other consumer.
//
//   velk::isotp::Options o;
//   o.address = {.tx_id = 0x7E0, .rx_id = 0x7E8};
//   o.padding = 0xCC;  o.min_len = 8;
//   velk::isotp::Connection c(o);
//   c.send({0x22, 0xF1, 0x90}, now_us());
//   for (;;) {
//       velk::trace::Frame f;
//       while (c.next_frame(now_us(), &f))
//           adapter_send(f) ? c.sent(now_us()) : c.send_failed(now_us());
//       wait_for_frame_until(c.next_deadline(), &f) ? c.on_frame(f, now_us()) : c.tick(now_us());
//       velk::isotp::Event e;
//       while (c.next_event(&e))
//           ...;   // Event::Sent, Received (e.data), TxError/RxError (e.error)
//   }
//
//   velk::isotp::Reassembler r({});
//   r.add(frame);                       // frames of a trace, in time order
//   r.finish();
//   velk::isotp::Message m;
//   while (r.next(&m)) print(m.id, m.data, m.error);
//
// C++ only; on the trace module's frame record.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "trace.h"

namespace velk::isotp {

namespace detail {
struct Pci;
}

enum class Addressing {
    Normal,    // the identifier alone says who is meant
    Extended,  // the first data byte is the target address
    Mixed,     // the first data byte is the address extension
};

struct Address {
    uint32_t tx_id = 0;       // identifier of the frames this side sends
    uint32_t rx_id = 0;       // identifier of the frames this side takes
    bool extended_id = false; // 29-bit identifiers
    Addressing mode = Addressing::Normal;
    uint8_t tx_ext = 0;       // first data byte of frames sent (extended and mixed)
    uint8_t rx_ext = 0;       // first data byte of frames taken (extended and mixed)
    // Identifier of functional (one-to-many) requests; -1: tx_id.
    int64_t func_id = -1;
};

constexpr uint32_t kDefaultTimeoutMs = 1000;

struct Options {
    Address address;
    // Frames sent as CAN FD of up to `tx_dl` bytes (12..64, a valid CAN FD
    // length); classic frames carry 8.
    bool fd = false;
    bool brs = false;
    int tx_dl = 8;
    // Frames shorter than `min_len` (0: no minimum, 8, or a CAN FD length)
    // are filled up with `padding`. A CAN FD frame is always filled up to a
    // length a frame can have.
    uint8_t padding = 0xCC;
    int min_len = 0;
    // Announced in this side's flow-control frames: frames per block (0:
    // all) and STmin as its wire byte (0x00-0x7F ms, 0xF1-0xF9 100-900 us).
    uint8_t block_size = 0;
    uint8_t stmin = 0;
    // Wait frames accepted in a row before the sending gives up.
    int max_wait_frames = 10;
    uint32_t n_as_ms = kDefaultTimeoutMs;  // a frame handed out until confirmed sent
    uint32_t n_bs_ms = kDefaultTimeoutMs;  // waiting for the receiver's flow control
    uint32_t n_cr_ms = kDefaultTimeoutMs;  // waiting for the next consecutive frame
    // Longest message taken; a longer one is refused with an overflow.
    uint32_t max_rx_len = 16u << 20;
};

enum class Error {
    None,
    TimeoutAs,       // a frame was not confirmed sent in time (N_As)
    TimeoutBs,       // no flow control in time (N_Bs)
    TimeoutCr,       // no consecutive frame in time (N_Cr)
    WrongSequence,   // a consecutive frame with the wrong sequence number
    Overflow,        // the receiver refused the message as too long
    WaitLimit,       // more wait frames than allowed
    BadFlowStatus,   // a flow control of an unknown status
    TooLong,         // a first frame longer than max_rx_len (refused)
    Interrupted,     // a new message began before this one was whole
    Malformed,       // a frame no sender may send (ignored)
    SendFailed,      // the caller could not send a frame
    MissingFrames,   // the trace ended or moved on before the message was whole
};
// "timeout N_Cr", "wrong sequence number", ...
const char *error_name(Error e);

struct Event {
    enum Kind { Sent, Received, TxError, RxError } kind = Sent;
    Error error = Error::None;
    std::vector<uint8_t> data;  // Received: the message
    uint64_t time_us = 0;
};

// STmin's wire byte as microseconds: 0x00-0x7F ms, 0xF1-0xF9 100-900 us;
// reserved values count as 127 ms.
uint32_t stmin_us(uint8_t stmin);

class Connection {
public:
    explicit Connection(const Options &options);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    const Options &options() const { return options_; }
    // Starts sending `data` (1 byte to 4 GB - 1). `functional`: a
    // one-to-many request, on the functional identifier, in one single
    // frame. False, and nothing changes, while a message is still going
    // out or when the message cannot be sent so.
    bool send(const std::vector<uint8_t> &data, uint64_t now_us, bool functional = false);
    bool sending() const;
    // Gives up the message going out, without an event.
    void cancel_send();
    // A frame seen on the channel: true when it belongs to this connection.
    // Frames this side sent (f.tx) belong to none.
    bool on_frame(const trace::Frame &f, uint64_t now_us);
    // Checks the timeouts.
    void tick(uint64_t now_us);
    // The next frame to send now, if any. Each frame handed out is to be
    // confirmed, in order, with sent() or send_failed(); the next data frame
    // comes after the confirmation (STmin counts from it).
    bool next_frame(uint64_t now_us, trace::Frame *f);
    void sent(uint64_t now_us);
    void send_failed(uint64_t now_us);
    bool next_event(Event *e);
    // When next_frame has a data frame to hand out (UINT64_MAX: none
    // waiting for its time), so that a caller can hold off other work.
    uint64_t next_frame_time() const;
    // When next_frame or tick have something to do; UINT64_MAX: nothing
    // until a frame comes or a message is sent.
    uint64_t next_deadline() const;

private:
    struct Tx;
    struct Rx;
    void queue_flow_control(uint8_t status);
    void take_flow(const detail::Pci &p, uint64_t now_us);
    void tx_fail(Error e, uint64_t now_us);
    void rx_fail(Error e, uint64_t now_us);

    Options options_;
    std::unique_ptr<Tx> tx_;
    std::unique_ptr<Rx> rx_;
    std::deque<trace::Frame> control_;  // flow controls waiting to go out
    std::deque<bool> unconfirmed_;      // per frame handed out: is it a data frame
    std::deque<Event> events_;
};

// One message found in a trace.
struct Message {
    int channel = 0;
    uint32_t id = 0;           // identifier of its single or first frame
    bool extended_id = false;
    int ext = -1;              // its address byte (extended or mixed addressing), or -1
    int64_t flow_id = -1;      // identifier its flow control came on, -1 when none was seen
    bool fd = false;
    uint64_t frame = 0;        // its single or first frame's number among the frames added (from 0)
    int64_t start_us = 0;      // wall-clock microseconds of its first frame
    int64_t end_us = 0;        // and of its last
    std::vector<uint8_t> data; // what arrived (all of it when error is None)
    uint32_t length = 0;       // the length its first frame announced
    Error error = Error::None;
};

struct ReassemblerOptions {
    Addressing mode = Addressing::Normal;
    // Identifiers taken (with their width); empty: every identifier.
    std::vector<std::pair<uint32_t, bool>> ids;
    uint32_t n_cr_ms = kDefaultTimeoutMs;
    uint32_t max_len = 16u << 20;
};

// Finds the messages in frames given in time order, for each channel,
// identifier and address byte on its own. Every frame that is not a valid
// single, first or consecutive frame, or a flow control of a message under
// way, is passed over; with every identifier taken, that is most of the
// frames of an ordinary bus.
class Reassembler {
public:
    explicit Reassembler(const ReassemblerOptions &options);
    ~Reassembler();
    void add(const trace::Frame &f);
    // Ends every message still under way (with MissingFrames).
    void finish();
    bool next(Message *m);

private:
    struct Stream;
    using Key = std::tuple<int, uint32_t, bool, int>;
    Stream &stream(const Key &key);
    void close(Stream &s, Error e);

    ReassemblerOptions options_;
    std::map<Key, std::unique_ptr<Stream>> streams_;
    std::set<Stream *> active_;  // the streams with a message under way
    std::deque<Message> out_;
    uint64_t added_ = 0;  // frames added so far
};

}  // namespace velk::isotp
