// End to end to the ring: emulator -> receive worker -> receive ring -> a
// consumer popping every millisecond (the utility takes them every 5 ms).
// Also the receive worker's processor use on a quiet bus and the send
// worker's interval accuracy.
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "apipart.h"
#include "bench_util.h"

using namespace velk;
using namespace velk::bench;

void guiStatusUpdate(UPUI_INFO) {}

namespace {

constexpr int kPort = 0;

void tick()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ring_run(sim::Adapter &a, int rate, double seconds)
{
    size_t count = static_cast<size_t>(rate * seconds);
    std::vector<sim::Report> seq = sim::stream_sequence(count, 11);
    size_t data = 0;
    for (const sim::Report &r : seq)
        data += r.kind == sim::Report::E2 || r.kind == sim::Report::F1 || r.kind == sim::Report::E1;

    std::vector<double> latency;
    latency.reserve(data);
    // E2 and F1 reports carry the monotonic time the emulator wrote them.
    a.stream(count, rate, 11, 4096, sim::Adapter::StreamStamps::WriteTime);
    size_t popped = 0;
    double last = now_s();
    UPBS_INFO e;
    while (popped < data && now_s() - last < 2.0) {
        tick();
        while (upbs_recv_pop(&e)) {
            double t = now_s();
            ++popped;
            last = t;
            const TIME_ST_T &ts = e.frame_info.timestamp;
            if (ts.second != 0 || ts.micro_second != 0)
                latency.push_back(t - (ts.second + ts.micro_second / 1e6));
        }
    }
    std::sort(latency.begin(), latency.end());
    auto pct = [&](double p) { return latency.empty() ? 0 : latency[static_cast<size_t>(p * (latency.size() - 1))]; };
    std::string tag = std::to_string(rate) + " reports/s for " + std::to_string(static_cast<int>(seconds)) + " s";
    row("ring end to end, dropped, " + tag, static_cast<double>(data - popped), "entries", "must be 0", 0);
    row("ring end to end, latency p50, " + tag, pct(0.50) * 1e3, "ms", "1 ms drain tick", 1);
    row("ring end to end, latency p99, " + tag, pct(0.99) * 1e3, "ms", "1 ms drain tick", 1);
    row("ring end to end, latency max, " + tag, latency.empty() ? 0 : latency.back() * 1e3, "ms", "1 ms drain tick",
        1);
}

double cpu_percent_over(double seconds)
{
    double c0 = cpu_s(), t0 = now_s();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (cpu_s() - c0) / (now_s() - t0) * 100;
}

void interval_accuracy(sim::Adapter &a, int itvl, int frames)
{
    a.clear_host_frames();
    CAN_SEND_INFO req;
    std::memset(&req, 0, sizeof(req));
    req.cnt = frames;
    req.times = 1;
    req.itvl = itvl;
    req.can_frame_info.id_type = VELK_SID;
    req.can_frame_info.dlc = 8;
    req.can_frame_info.id = 0x100;
    // Drain the send ring as the GUI would, recording when each entry shows up.
    double t0 = now_s();
    procSend(kPort, req);
    std::vector<double> at;
    UPBS_INFO e;
    while (static_cast<int>(at.size()) < frames && now_s() - t0 < 60) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        std::lock_guard<std::mutex> lk(MTX_queue_s);
        while (upbs_send_pop(&e))
            at.push_back(now_s());
    }
    if (at.size() < 2)
        return;
    double mean = (at.back() - at.front()) / (at.size() - 1) * 1e6;
    double intended = itvl + send_delay[0];
    std::vector<double> jitter;
    for (size_t i = 1; i < at.size(); ++i)
        jitter.push_back(std::abs((at[i] - at[i - 1]) * 1e6 - intended));
    std::sort(jitter.begin(), jitter.end());
    std::string tag = "itvl " + std::to_string(itvl) + " us + pacing " + std::to_string(send_delay[0]) + " us";
    row("send interval mean period, " + tag, mean, "us", "intended", intended);
    row("send interval p99 jitter (as seen by the 50 us drain), " + tag, jitter[jitter.size() * 99 / 100], "us", "", 0);
}

}  // namespace

int main(int argc, char **argv)
{
    bool short_mode = argc > 1 && std::string(argv[1]) == "--short";
    sim::Adapter a;
    if (!a.start())
        return 1;
    static std::string path = a.slave_path();
    comports[kPort] = path.c_str();
    if (VELKOpenDevice(kPort) != 0 || VELKInitCAN(kPort, VELK_ACTIVE, VELK_ACTIVE) != 0)
        return 1;
    upbs_reset();
    // The emulator runs in this process: its own idle cost is the baseline.
    double base = cpu_percent_over(short_mode ? 1 : 5);
    CAN_RECV_INFO rx;
    std::memset(&rx, 0, sizeof(rx));
    rx.is_normal = true;
    procRecv(kPort, rx);
    double idle = cpu_percent_over(short_mode ? 2 : 10);
    row("idle CPU, receive worker in normal mode, no traffic (less the emulator)", idle - base, "% of one core",
        "goal 5 %", 5);
    for (int rate : {10000, 20000, 40000})
        ring_run(a, rate, short_mode ? 1 : 10);

    for (int itvl : {100, 500, 1000})
        interval_accuracy(a, itvl, short_mode ? 200 : 2000);

    rx.is_cancel = true;
    procRecv(kPort, rx);
    CAN_SEND_INFO stop;
    std::memset(&stop, 0, sizeof(stop));
    stop.is_cancel = true;
    procSend(kPort, stop);
    VELKInitCAN(kPort, VELK_INACTIVE, VELK_INACTIVE);
    VELKCloseDevice(kPort);
    return 0;
}
