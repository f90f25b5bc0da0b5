// Receive at a paced rate. Latency: the emulator stamps each 0xE2/0xF1
// report with the monotonic time it is written, and a loop of
// VELKReceive_CANFD (waiting for input between empty calls, as the utility's
// worker does) measures how long after that the caller has the record.
// Commands during a stream: a receiving thread takes a 2,000 reports/s
// stream while the host runs configuration queries; every report must
// arrive once, in order, and every query must be answered.
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
    a.stream(count, rate, 13, 4096, true);
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
    std::sort(latency.begin(), latency.end());
    auto pct = [&](double p) { return latency.empty() ? 0 : latency[static_cast<size_t>(p * (latency.size() - 1))]; };
    const std::string tag = std::to_string(rate) + " reports/s, " + std::to_string(latency.size()) + " stamped";
    row("receive latency p50 from the adapter's write, " + tag, pct(0.50) * 1e6, "us", "", 0);
    row("receive latency p99 from the adapter's write, " + tag, pct(0.99) * 1e6, "us", "goal 1 ms", 1000);
    row("receive latency max from the adapter's write, " + tag, latency.empty() ? 0 : latency.back() * 1e6, "us",
        "", 0);
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
        const bool same = f.msg_type == VELK_DATA_TYPE
                              ? (want.kind == sim::Report::E1 ? f.id == want.id : f.timestamp.second == want.second)
                              : std::memcmp(f.data_err, want.status.data(), 12) == 0;
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
