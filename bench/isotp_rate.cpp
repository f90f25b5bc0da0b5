// ISO-TP: a 4,095-byte message at STmin 0 and block size 0 between two
// emulated adapters on one bus at 1 Mbit/s, sender and receiver each on
// their own thread and port: the time from the first frame handed to the
// library until the whole message has arrived, against the least time its
// frames take on a bus of that bit rate (no stuff bits). And the state
// machine's processor time per message, against copying the message into
// as many frame records.
#include <sys/prctl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "adapter.h"
#include "adapter_time.h"
#include "bench_util.h"
#include "bus.h"
#include "isotp.h"
#include "lib_velk_2.h"

using namespace velk;
using namespace velk::bench;

namespace {

constexpr int kCode1M = 9;
constexpr size_t kLength = 4095;

uint64_t mono_us()
{
    return uint64_t(now_s() * 1e6);
}

// Bits of a classic 11-bit data frame of `len` bytes without stuff bits:
// start, identifier, RTR, IDE, r0, DLC, data, CRC and its delimiter, the
// acknowledgement, end of frame and the interframe space.
int frame_bits(int len)
{
    return 1 + 11 + 3 + 4 + 8 * len + 16 + 2 + 7 + 3;
}

// Runs a connection on a port until `done` or it has nothing left; every
// frame received goes to it.
void drive(int port, isotp::Connection &c, const std::atomic<bool> &stop, std::vector<isotp::Event> *events,
           size_t want_events)
{
    CAN_FRAME_INFO batch[64];
    while (!stop && events->size() < want_events) {
        trace::Frame f;
        while (c.next_frame(mono_us(), &f)) {
            CAN_FRAME_INFO r = trace::record_of(f);
            VELKSend(port, &r) == 0 ? c.sent(mono_us()) : c.send_failed(mono_us());
        }
        c.tick(mono_us());
        isotp::Event e;
        while (c.next_event(&e))
            events->push_back(e);
        if (c.next_frame_time() <= mono_us())
            continue;
        NON_BLOCK_INFO nb;
        nb.cnt = 64;
        nb.interval = 1;
        nb.can_frame_info = batch;
        const int n = VELKReceiveNonblock(port, &nb);
        for (int i = 0; i < n; ++i)
            if (batch[i].msg_type == VELK_DATA_TYPE)
                c.on_frame(trace::frame_of(batch[i]), mono_us());
    }
}

double bus_figures(int messages)
{
    sim::Adapter a, b;
    if (!a.start() || !b.start())
        return -1;
    sim::Bus bus;
    bus.wire(a, 0, b, 0);
    static std::string pa = a.slave_path(), pb = b.slave_path();
    comports[0] = pa.c_str();
    comports[1] = pb.c_str();
    if (VELKOpenDevice(0) != 0 || VELKOpenDevice(1) != 0)
        return -1;
    for (sim::Adapter *s : {&a, &b}) {
        sim::State st = s->state();
        st.baud[0] = st.baud[1] = kCode1M;
        s->set_state(st);
    }
    VELKInitCAN(0, VELK_ACTIVE, VELK_INACTIVE);
    VELKInitCAN(1, VELK_ACTIVE, VELK_INACTIVE);

    isotp::Options tx, rx;
    tx.address = {.tx_id = 0x7E0, .rx_id = 0x7E8};
    rx.address = {.tx_id = 0x7E8, .rx_id = 0x7E0};
    std::vector<uint8_t> message(kLength);
    for (size_t i = 0; i < kLength; ++i)
        message[i] = uint8_t(i * 13);
    double total = 0;
    int whole = 0;
    for (int m = 0; m < messages; ++m) {
        isotp::Connection sender(tx), receiver(rx);
        std::atomic<bool> stop{false};
        std::vector<isotp::Event> got, sent;
        std::atomic<bool> arrived{false};
        std::atomic<double> t1{0};
        std::thread r([&] {
            drive(1, receiver, stop, &got, 1);
            t1 = now_s();
            arrived = true;
        });
        const double t0 = now_s();
        sender.send(message, mono_us());
        drive(0, sender, stop, &sent, 1);
        const double limit = now_s() + 10;
        while (!arrived && now_s() < limit)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        stop = true;
        r.join();
        if (!got.empty() && got[0].kind == isotp::Event::Received && got[0].data == message) {
            total += t1.load() - t0;
            ++whole;
        }
    }
    VELKCloseDevice(0);
    VELKCloseDevice(1);
    // A first frame of 6 bytes, full consecutive frames of 7, the last one
    // with what is left, and one flow control of 3 bytes.
    const int full = int((kLength - 6) / 7), left = int((kLength - 6) % 7);
    const double least_us = frame_bits(8) * (1 + full) + (left ? frame_bits(1 + left) : 0) + frame_bits(3);
    if (whole < messages)
        note("ISO-TP 4095 bytes between two adapters", std::to_string(messages - whole) + " messages did not arrive whole");
    return whole ? total / whole * 1e6 / least_us : -1;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool shorter = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);

    // Processor time of the state machines, back to back in memory, each
    // measured for at least `span` seconds of this thread's time.
    const double span = shorter ? 0.05 : 0.5;
    isotp::Options tx, rx;
    tx.address = {.tx_id = 0x7E0, .rx_id = 0x7E8};
    rx.address = {.tx_id = 0x7E8, .rx_id = 0x7E0};
    std::vector<uint8_t> message(kLength, 0x5A);
    size_t frames = 0;
    long rounds = 0;
    double c0 = thread_cpu_s();
    while (thread_cpu_s() - c0 < span) {
        isotp::Connection a(tx), b(rx);
        a.send(message, 0);
        isotp::Event e;
        bool done = false;
        frames = 0;
        while (!done) {
            trace::Frame f;
            while (a.next_frame(0, &f)) {
                f.tx = false;
                b.on_frame(f, 0);
                a.sent(0);
                ++frames;
            }
            while (b.next_frame(0, &f)) {
                f.tx = false;
                a.on_frame(f, 0);
                b.sent(0);
            }
            while (b.next_event(&e))
                done = true;
        }
        ++rounds;
    }
    const double per_message = (thread_cpu_s() - c0) / double(rounds) * 1e6;
    // The baseline: the same bytes copied into as many frame records.
    std::vector<trace::Frame> copies(frames);
    volatile uint8_t sink = 0;
    long copied = 0;
    c0 = thread_cpu_s();
    while (thread_cpu_s() - c0 < span) {
        for (size_t k = 0; k < copies.size(); ++k)
            std::memcpy(copies[k].data.data(), message.data() + (k * 7) % (kLength - 8), 8);
        sink = sink + copies[size_t(copied) % copies.size()].data[0];
        ++copied;
    }
    const double copy_us = (thread_cpu_s() - c0) / double(copied) * 1e6;
    row("ISO-TP state machines, 4095 bytes back to back in memory", per_message, "us CPU/message",
        "copying it into " + std::to_string(copies.size()) + " frame records", copy_us);

    const double ratio = bus_figures(shorter ? 1 : 5);
    if (ratio < 0)
        note("ISO-TP 4095 bytes between two adapters at 1 Mbit/s", "failed");
    else
        row("ISO-TP 4095 bytes between two adapters at 1 Mbit/s, STmin 0, BS 0", ratio,
            "x the least time on the bus", "587 frames at 1 Mbit/s without stuff bits", 1);
    return 0;
}
