// What the ISO-TP files share: the protocol control information (PCI) of
// each frame kind, read and written, and the receiving state that a live
// connection and the trace reassembler both step.
#pragma once

#include <cstdint>
#include <vector>

#include "isotp.h"

namespace velk::isotp::detail {

enum class Kind : uint8_t { Single = 0, First = 1, Consecutive = 2, Flow = 3, Invalid = 0xFF };

enum FlowStatus : uint8_t { kContinue = 0, kWait = 1, kOverflow = 2 };

// First frames announce at most this many bytes in their short form.
constexpr uint32_t kShortFirstMax = 0xFFF;

// A frame's PCI and where its data is.
struct Pci {
    Kind kind = Kind::Invalid;
    uint32_t length = 0;  // single and first frames: the message's length
    uint8_t sn = 0;       // consecutive frames
    uint8_t status = 0;   // flow control: status, block size and STmin
    uint8_t block_size = 0;
    uint8_t stmin = 0;
    int data_at = 0;      // payload bytes: data[data_at .. data_at + data_len)
    int data_len = 0;
};

// Reads the PCI at byte `at` (1 with an address byte in front, else 0).
// Invalid for a frame no sender may send: a single frame whose length does
// not fit, the short form in a frame beyond 8 bytes or the escape form in
// one of up to 8, a first frame shorter than 8 bytes or announcing what a
// single frame would carry, a flow control of fewer than 3 bytes.
Pci read_pci(const trace::Frame &f, int at);

// How the frames of one sender look.
struct Shape {
    uint32_t id = 0;
    bool extended_id = false;
    bool fd = false;
    bool brs = false;
    int ext = -1;  // address byte in front, or -1
    int tx_dl = 8;
    uint8_t padding = 0xCC;
    int min_len = 0;
};
Shape shape_of(const Options &o, bool functional);

// The most a single frame of this shape carries.
uint32_t single_capacity(const Shape &s);
// A frame of `n` PCI and data bytes, the address byte put in front and
// padded as the shape says.
trace::Frame build_frame(const Shape &s, const uint8_t *bytes, int n);
trace::Frame single_frame(const Shape &s, const uint8_t *data, uint32_t len);
// A first frame of a message of `total` bytes; *taken: bytes of `data` in it.
trace::Frame first_frame(const Shape &s, const uint8_t *data, uint32_t total, uint32_t *taken);
trace::Frame consecutive_frame(const Shape &s, uint8_t sn, const uint8_t *data, uint32_t left, uint32_t *taken);
trace::Frame flow_frame(const Shape &s, uint8_t status, uint8_t block_size, uint8_t stmin);

// A message being received.
struct RxState {
    bool active = false;
    uint32_t length = 0;
    std::vector<uint8_t> data;
    uint8_t next_sn = 1;
    uint32_t in_block = 0;  // consecutive frames since the last flow control
};

enum class RxStep {
    Ignored,        // nothing for a receiver (a flow control, or a consecutive frame out of turn)
    Malformed,
    Complete,       // state.data holds the message
    Started,        // a first frame: a flow control is due
    Refused,        // a first frame beyond the limit
    More,           // a consecutive frame taken
    WrongSequence,  // the message under way is dropped
};

// Steps the receiving state with one frame. *interrupted is set when a
// single or first frame dropped a message under way.
RxStep rx_step(RxState *st, const trace::Frame &f, const Pci &p, uint32_t max_len, bool *interrupted);

}  // namespace velk::isotp::detail
