// Receive at a paced rate. Latency: the emulator stamps each 0xE2/0xF1
// report with the monotonic time it is written, and a loop of
// VELKReceive_CANFD (waiting for input between empty calls, as the utility's
// worker does) measures how long after that the caller has the record.
// Baseline: poll() and read() of the same stream from the same kind of tty,
// with the reports framed by hand.
// Commands during a stream: a receiving thread takes a 2,000 reports/s
// stream while the host runs configuration queries; every report must
// arrive once, in order, and every query must be answered.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "bench_util.h"
#include "internal.h"

using namespace velk;
using namespace velk::bench;

namespace {

constexpr int kPort = 0;

double monotonic_s()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

struct Percentiles {
    double p50 = 0, p99 = 0, max = 0;
};

Percentiles percentiles(std::vector<double> v)
{
    Percentiles p;
    if (v.empty())
        return p;
    std::sort(v.begin(), v.end());
    p.p50 = v[(v.size() - 1) / 2];
    p.p99 = v[static_cast<size_t>(0.99 * (v.size() - 1))];
    p.max = v.back();
    return p;
}

double stamp_s(const uint8_t *second_and_micro)
{
    uint32_t w[2];
    for (int k = 0; k < 2; ++k) {
        const uint8_t *p = second_and_micro + 4 * k;
        w[k] = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
    }
    return w[0] + w[1] / 1e6;
}

// Latency of the stamped reports to a plain poll() and read() loop.
Percentiles plain_read_latency(int rate, double seconds)
{
    const size_t count = static_cast<size_t>(rate * seconds);
    sim::Adapter a;
    if (!a.start())
        return {};
    const int fd = open(a.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    a.stream(count, rate, 13, 4096, sim::Adapter::StreamStamps::WriteTime);
    std::vector<double> latency;
    std::vector<uint8_t> pending;
    size_t reports = 0;
    uint8_t buf[4096];
    while (reports < count) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        const ssize_t n = read(fd, buf, sizeof(buf));
        const double now = monotonic_s();
        if (n <= 0)
            continue;
        pending.insert(pending.end(), buf, buf + n);
        size_t at = 0;
        for (;;) {
            if (pending.size() - at < 2)
                break;
            const uint8_t *r = &pending[at];
            // The emulator's stream holds only whole reports.
            const size_t len = static_cast<size_t>(std::max(velk::wire::report_length(r), 1));
            if (pending.size() - at < len)
                break;
            if (r[0] == 0xE2)
                latency.push_back(now - stamp_s(r + 2));
            else if (r[0] == 0xF1)
                latency.push_back(now - stamp_s(r + 3));
            at += len;
            ++reports;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<long>(at));
    }
    close(fd);
    return percentiles(latency);
}

void latency_run(sim::Adapter &a, int rate, double seconds)
{
    const size_t count = static_cast<size_t>(rate * seconds);
    const std::vector<sim::Report> seq = sim::stream_sequence(count, 13);
    size_t stamped = 0;
    for (const sim::Report &r : seq)
        stamped += r.kind == sim::Report::E2 || r.kind == sim::Report::F1;

    std::vector<double> latency;
    latency.reserve(stamped);
    size_t records = 0;
    a.stream(count, rate, 13, 4096, sim::Adapter::StreamStamps::WriteTime);
    double last = now_s();
    while (records < count && now_s() - last < 2.0) {
        CAN_FRAME_INFO f;
        std::memset(&f, 0, sizeof(f));
        if (VELKReceive_CANFD(kPort, &f) != 1) {
            wait_port_input(kPort, 10);
            continue;
        }
        const double t = monotonic_s();
        last = now_s();
        ++records;
        if (f.msg_type == VELK_DATA_TYPE && (f.timestamp.second != 0 || f.timestamp.micro_second != 0))
            latency.push_back(t - (f.timestamp.second + f.timestamp.micro_second / 1e6));
    }
    const Percentiles lib = percentiles(latency);
    const Percentiles base = plain_read_latency(rate, seconds);
    const std::string tag = std::to_string(rate) + " reports/s, " + std::to_string(latency.size()) + " stamped";
    auto us = [](double s) { return std::to_string(static_cast<long>(s * 1e6 + 0.5)); };
    row("receive latency p50 from the adapter's write, " + tag, lib.p50 * 1e6, "us",
        "plain read() of the same stream " + us(base.p50) + " us", base.p50 * 1e6);
    row("receive latency p99 from the adapter's write, " + tag, lib.p99 * 1e6, "us",
        "plain read() " + us(base.p99) + " us; goal 1,000 us", base.p99 * 1e6);
    row("receive latency max from the adapter's write, " + tag, lib.max * 1e6, "us",
        "plain read() " + us(base.max) + " us", base.max * 1e6);
    row("receive lost at " + std::to_string(rate) + " reports/s", static_cast<double>(count - records), "reports",
        "must be 0", 0);
}

void queries_during_stream(sim::Adapter &a, double seconds)
{
    constexpr int kRate = 2000;
    const size_t count = static_cast<size_t>(kRate * seconds);
    const std::vector<sim::Report> seq = sim::stream_sequence(count, 17);
    std::atomic<bool> stop{false};
    std::atomic<size_t> received{0};
    std::vector<CAN_FRAME_INFO> got;
    got.reserve(count);
    a.stream(count, kRate, 17, 64);
    std::thread receiver([&] {
        while (!stop) {
            CAN_FRAME_INFO f;
            std::memset(&f, 0, sizeof(f));
            if (VELKReceive_CANFD(kPort, &f) == 1) {
                got.push_back(f);
                ++received;
            } else {
                wait_port_input(kPort, 10);
            }
        }
    });
    int asked = 0, answered = 0;
    while (!a.wait_stream_done(0)) {
        CANFD_CFG_INFO fd;
        CFG_INFO cfg;
        int s1, s2;
        answered += VELKGetCFG_CANFD(kPort, &fd) == 0;
        answered += VELKGetCfg(kPort, &cfg) == 0;
        answered += VELKGetCANStatus(kPort, &s1, &s2) == 0;
        asked += 3;
    }
    // The last reports reach the receiver shortly after the emulator wrote them.
    const double until = now_s() + 2.0;
    while (received < count && now_s() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    stop = true;
    receiver.join();

    // Report i carries i: the timestamp second of 0xE2/0xF1, the identifier
    // of 0xE1, status bytes 0-1 of the status reports.
    size_t in_order = 0;
    for (size_t i = 0; i < got.size() && in_order < count; ++i) {
        const sim::Report &want = seq[in_order];
        const CAN_FRAME_INFO &f = got[i];
        bool same;
        if (f.msg_type == VELK_DATA_TYPE)
            same = want.kind == sim::Report::E1 ? f.id == want.id : f.timestamp.second == want.second;
        else if (f.msg_type == VELK_EEERR_TYPE)
            same = want.kind == sim::Report::EepromError;
        else
            same = std::memcmp(f.data_err, want.status.data(), 12) == 0;
        if (!same)
            break;
        ++in_order;
    }
    const std::string tag = std::to_string(count) + " reports at 2,000/s";
    row("commands during a stream: reports lost, duplicated or reordered, " + tag,
        static_cast<double>(count - in_order + (got.size() - in_order)), "reports", "must be 0", 0);
    row("commands during a stream: queries answered", answered, "of " + std::to_string(asked), "queries asked",
        asked);
}

}  // namespace

int main(int argc, char **argv)
{
    const bool short_mode = argc > 1 && std::string(argv[1]) == "--short";
    sim::Adapter a;
    if (!a.start())
        return 1;
    static std::string path = a.slave_path();
    comports[kPort] = path.c_str();
    if (VELKOpenDevice(kPort) != 0)
        return 1;
    for (int rate : {10000, 20000, 40000})
        latency_run(a, rate, short_mode ? 0.5 : 5);
    queries_during_stream(a, short_mode ? 2 : 10);
    VELKCloseDevice(kPort);
    return 0;
}
