// The ISO-TP receive side over arbitrary frames: a connection (which is
// also sending a message, so that flow controls reach its sending side) and
// the trace reassembler take the same frames. Every message delivered is
// within the limit, whole when it has no error, every frame handed out is
// one a bus can carry on the connection's identifier.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "check.h"
#include "isotp.h"

namespace {

constexpr uint32_t kLimit = 5000;

void check_out(const velk::trace::Frame &f, bool fd)
{
    FUZZ_CHECK(f.tx && f.id == 0x7E0 && !f.extended);
    if (fd)
        FUZZ_CHECK(f.fd && f.len <= 64 && f.len == fuzzcheck::dlc_length(f.dlc));
    else
        FUZZ_CHECK(!f.fd && f.len <= 8 && f.len == f.dlc);
}

}  // namespace

// Byte 0: addressing (bits 0-1), CAN FD (bit 2), the block size announced
// (bits 3-7); byte 1: the STmin announced. Then frames: a time step in
// milliseconds, a byte with the length (bits 0-6) and the identifier (bit
// 7: 0x7E0, the other direction, else 0x7E8), the payload.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    using namespace velk::isotp;
    Options o;
    o.address.tx_id = 0x7E0;
    o.address.rx_id = 0x7E8;
    o.address.mode = Addressing(std::min(data[0] & 3, 2));
    o.address.tx_ext = 0xF1;
    o.address.rx_ext = 0x10;
    o.fd = data[0] & 4;
    o.tx_dl = o.fd ? 64 : 8;
    o.block_size = data[0] >> 3;
    o.stmin = data[1];
    o.max_rx_len = kLimit;
    Connection c(o);
    std::vector<uint8_t> message(300);
    for (size_t i = 0; i < message.size(); ++i)
        message[i] = uint8_t(i);
    FUZZ_CHECK(c.send(message, 0));

    ReassemblerOptions ro;
    ro.mode = o.address.mode;
    ro.max_len = kLimit;
    Reassembler r(ro);

    uint64_t now = 0;
    size_t at = 2;
    while (at + 2 <= size) {
        now += data[at] * 1000u;
        velk::trace::Frame f;
        int len = data[at + 1] & 0x7F;
        f.id = data[at + 1] & 0x80 ? 0x7E0 : 0x7E8;
        at += 2;
        len = std::min<int>(len, int(size - at));
        f.fd = o.fd && len > 8;
        len = std::min(len, f.fd ? 64 : 8);
        while (f.fd && velk::trace::len_to_dlc(len) < 0)
            --len;
        f.len = uint8_t(len);
        f.dlc = uint8_t(velk::trace::len_to_dlc(len));
        std::copy(data + at, data + at + len, f.data.begin());
        at += size_t(len);
        f.sec = int64_t(now / 1000000);
        f.usec = uint32_t(now % 1000000);

        c.tick(now);
        c.on_frame(f, now);
        r.add(f);
        velk::trace::Frame out;
        while (c.next_frame(now, &out)) {
            check_out(out, o.fd);
            c.sent(now);
        }
        Event e;
        while (c.next_event(&e)) {
            if (e.kind == Event::Received)
                FUZZ_CHECK(!e.data.empty() && e.data.size() <= kLimit);
            if (e.kind == Event::Sent || e.kind == Event::TxError)
                FUZZ_CHECK(!c.sending());
        }
        // Everything due has been done: no deadline is left behind.
        c.tick(now);
        FUZZ_CHECK(c.next_deadline() > now);
    }
    r.finish();
    Message m;
    while (r.next(&m)) {
        FUZZ_CHECK(m.start_us <= m.end_us && m.data.size() <= m.length);
        if (m.error == Error::None)
            FUZZ_CHECK(m.data.size() == m.length && m.length <= kLimit);
    }
    return 0;
}
