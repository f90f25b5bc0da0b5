// The transmit list's timing on the adapter's timestamps: the scheduler
// sends through the library to the emulated adapter in loopback, which
// stamps each frame as it takes it and hands it back on the other channel;
// a receiving thread collects the stamps. Per entry a two-byte counter in
// the payload shows frames lost or sent twice. Deviation from the deadline:
// each frame's stamp minus its deadline on the entry's grid, the grid placed
// at the earliest frame's offset (the adapter's clock starts elsewhere).
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "bench_util.h"
#include "internal.h"
#include "tx_scheduler.h"

using namespace velk;
using namespace velk::bench;

namespace {

constexpr int kPort = 0;

struct Stamp {
    double t;
    unsigned seq;
};

// Deviations (us) of stamps from the grid of `cycle` s, each frame on the
// grid point it was sent for; *mean gets the mean period. A frame is never
// sent before its deadline but may be late by more than half a cycle, which
// the nearest grid point would take for an early frame of the next one: the
// grid is first placed at the median frame's offset, each frame is taken
// for the point from a quarter of a cycle before it to three quarters after
// it, and the deviations are measured from the earliest frame's offset on
// that grid (the adapter's clock starts elsewhere).
std::vector<double> deviations(const std::vector<Stamp> &v, double cycle, double *mean)
{
    std::vector<double> out;
    if (v.size() < 2)
        return out;
    std::vector<double> on_grid(v.size());
    for (size_t k = 0; k < v.size(); ++k)
        on_grid[k] = v[k].t - std::round((v[k].t - v.front().t) / cycle) * cycle;
    std::nth_element(on_grid.begin(), on_grid.begin() + static_cast<long>(on_grid.size() / 2), on_grid.end());
    const double median = on_grid[on_grid.size() / 2];
    std::vector<double> j(v.size());
    for (size_t k = 0; k < v.size(); ++k)
        j[k] = std::floor((v[k].t - median) / cycle + 0.25);
    *mean = (v.back().t - v.front().t) / (j.back() - j.front());
    double offset = 1e300;
    for (size_t k = 0; k < v.size(); ++k)
        offset = std::min(offset, v[k].t - j[k] * cycle);
    for (size_t k = 0; k < v.size(); ++k)
        out.push_back((v[k].t - j[k] * cycle - offset) * 1e6);
    return out;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

struct Result {
    double worst_period_error = 0;  // relative, worst entry
    double p99_us = 0, max_us = 0;
    double host_p99_us = 0;  // the same at the send call, on the host's clock
    uint64_t lost = 0, duplicated = 0, frames = 0;
    double cpu_share = 0;  // of one core
    double cpu_us_per_frame = 0;
    double wakes_per_frame = 0;  // the thread's voluntary context switches
    uint64_t late = 0, skipped = 0, refused = 0;
};

// What a thread of this process has used: processor time (the
// scheduler's own count, in nanoseconds) and voluntary context switches
// (each wait that slept), read from /proc at a time `at`.
struct ThreadUse {
    double at = 0;
    double cpu_s = 0;
    uint64_t switches = 0;
};

ThreadUse thread_use(pid_t tid)
{
    ThreadUse u;
    u.at = now_s();
    const std::string dir = "/proc/self/task/" + std::to_string(tid) + "/";
    if (FILE *f = std::fopen((dir + "schedstat").c_str(), "r")) {
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1)
            u.cpu_s = static_cast<double>(ns) / 1e9;
        std::fclose(f);
    }
    if (FILE *f = std::fopen((dir + "status").c_str(), "r")) {
        char line[256];
        unsigned long long n = 0;
        while (std::fgets(line, sizeof line, f) != nullptr)
            if (std::sscanf(line, "voluntary_ctxt_switches: %llu", &n) == 1)
                u.switches = n;
        std::fclose(f);
    }
    return u;
}

Result run(const std::vector<std::pair<int, uint64_t>> &entries, double seconds)
{
    txlist::List list;
    for (size_t i = 0; i < entries.size(); ++i) {
        txlist::Entry e;
        std::string why;
        trace::parse_frame_text("100#0000000000000000", &e.frame, &why);
        e.frame.id = 0x100 + static_cast<unsigned>(i);
        e.channel = entries[i].first;
        e.cycle_us = entries[i].second;
        e.counter.kind = txlist::Counter::Bytes;
        e.counter.first = 0;
        e.counter.last = 1;
        list.entries.push_back(e);
    }

    std::atomic<bool> receiving{true};
    std::map<unsigned, std::vector<Stamp>> got;
    std::thread receiver([&] {
        CAN_FRAME_INFO f;
        while (receiving.load()) {
            std::memset(&f, 0, sizeof f);
            if (VELKReceive_CANFD(kPort, &f) != 1) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            if (f.msg_type != VELK_DATA_TYPE)
                continue;
            got[f.id].push_back({f.timestamp.second + f.timestamp.micro_second / 1e6,
                                 static_cast<unsigned>(f.data[0] | f.data[1] << 8)});
        }
    });

    // The scheduler thread's id, from its first frame; its processor time
    // and wake-ups are read from outside it, so that measuring costs the
    // thread nothing per frame.
    std::atomic<pid_t> sched_tid{0};
    std::map<unsigned, std::vector<Stamp>> host;  // the scheduler thread's only
    txlist::SteadyClock clock;
    txlist::Scheduler s(clock, [&](const CAN_FRAME_INFO &f) {
        CAN_FRAME_INFO copy = f;
        if (sched_tid.load(std::memory_order_relaxed) == 0)
            sched_tid.store(gettid(), std::memory_order_relaxed);
        host[f.id].push_back({now_s(), 0});
        return VELKSend(kPort, &copy);
    });
    s.set_list(list);
    s.set_phase_step(1000);
    const double t0 = now_s();
    s.start();
    auto frames_so_far = [&s] {
        uint64_t n = 0;
        for (const txlist::EntryStats &e : s.stats())
            n += e.sent + e.refused;
        return n;
    };
    ThreadUse begin;
    uint64_t begin_frames = 0;
    while (now_s() - t0 < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // From the first frame on: the thread's start is not the list's cost.
        if (begin.at == 0 && sched_tid.load() != 0) {
            begin = thread_use(sched_tid.load());
            begin_frames = frames_so_far();
        }
    }
    const ThreadUse end = thread_use(sched_tid.load());
    const uint64_t end_frames = frames_so_far();
    s.stop();
    // The last frames' way back through the emulator.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    receiving = false;
    receiver.join();

    Result r;
    std::vector<double> dev, host_dev;
    const std::vector<txlist::EntryStats> st = s.stats();
    for (size_t i = 0; i < entries.size(); ++i) {
        r.late += st[i].late;
        r.skipped += st[i].skipped;
        r.refused += st[i].refused;
        const std::vector<Stamp> &v = got[0x100 + static_cast<unsigned>(i)];
        r.frames += v.size();
        r.lost += st[i].sent > v.size() ? st[i].sent - v.size() : 0;
        for (size_t k = 1; k < v.size(); ++k) {
            const unsigned step = (v[k].seq - v[k - 1].seq) & 0xFFFF;
            if (step == 0)
                ++r.duplicated;
            else if (step > 1)
                r.lost += step - 1;
        }
        const double cycle = entries[i].second / 1e6;
        double mean = cycle;
        const std::vector<double> d = deviations(v, cycle, &mean);
        dev.insert(dev.end(), d.begin(), d.end());
        r.worst_period_error = std::max(r.worst_period_error, std::fabs(mean - cycle) / cycle);
        double host_mean;
        const std::vector<double> h = deviations(host[0x100 + static_cast<unsigned>(i)], cycle, &host_mean);
        host_dev.insert(host_dev.end(), h.begin(), h.end());
    }
    r.p99_us = percentile(dev, 0.99);
    r.max_us = percentile(dev, 1.0);
    r.host_p99_us = percentile(host_dev, 0.99);
    if (end.at > begin.at && begin.at != 0) {
        r.cpu_share = (end.cpu_s - begin.cpu_s) / (end.at - begin.at);
        const double frames = static_cast<double>(end_frames - begin_frames);
        r.cpu_us_per_frame = frames > 0 ? (end.cpu_s - begin.cpu_s) * 1e6 / frames : 0;
        r.wakes_per_frame = frames > 0 ? static_cast<double>(end.switches - begin.switches) / frames : 0;
    }
    return r;
}

// The machine's own floor: a thread sleeping to every millisecond on the
// monotonic clock, how late it wakes (p99, max; microseconds).
std::pair<double, double> plain_sleep_lateness(int count)
{
    std::vector<double> late;
    txlist::SteadyClock clock;
    uint64_t t = clock.now_us();
    for (int i = 0; i < count; ++i) {
        t += 1000;
        struct timespec ts = {static_cast<time_t>(t / 1000000u), static_cast<long>(t % 1000000u) * 1000};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        late.push_back(static_cast<double>(clock.now_us() - t));
    }
    return {percentile(late, 0.99), percentile(late, 1.0)};
}

void report(const std::string &what, const Result &r, double period_limit, std::pair<double, double> floor)
{
    row(what + ": worst mean period error", r.worst_period_error * 100, "%", "limit %", period_limit * 100);
    row(what + ": deviation from deadline p99", r.p99_us, "us", "limit 200 us", 200);
    row(what + ": the same at the send call, host clock, p99", r.host_p99_us, "us",
        "a plain sleep's lateness p99 " + std::to_string(static_cast<int>(floor.first)) + " us", floor.first);
    row(what + ": deviation from deadline max", r.max_us, "us", "limit 2000 us", 2000);
    row(what + ": frames lost or duplicated", static_cast<double>(r.lost + r.duplicated),
        "of " + std::to_string(r.frames), "", 0);
    row(what + ": late / skipped / refused", static_cast<double>(r.late + r.skipped + r.refused), "frames", "", 0);
    row(what + ": scheduler thread CPU", r.cpu_share * 100, "% of a core", "limit 1 %", 1);
    row(what + ": scheduler thread CPU per frame", r.cpu_us_per_frame, "us", "", 0);
    row(what + ": scheduler thread sleeps per frame", r.wakes_per_frame, "", "", 0);
}

}  // namespace

int main(int argc, char **argv)
{
    const bool short_mode = argc > 1 && std::string(argv[1]) == "--short";
    sim::Adapter a;
    if (!a.start())
        return 1;
    a.set_loopback(true);
    static std::string path = a.slave_path();
    comports[kPort] = path.c_str();
    if (VELKOpenDevice(kPort) != 0 || VELKInitCAN(kPort, VELK_ACTIVE, VELK_ACTIVE) != 0)
        return 1;
    std::vector<std::pair<int, uint64_t>> ten;
    const uint64_t cycles[] = {10000, 20000, 50000, 100000};
    for (int i = 0; i < 10; ++i)
        ten.emplace_back(i % 2, cycles[i % 4]);
    const double secs = short_mode ? 3 : 60;
    const std::pair<double, double> floor = plain_sleep_lateness(short_mode ? 1000 : 10000);
    note("plain sleep to each millisecond, lateness p99 / max",
         std::to_string(static_cast<int>(floor.first)) + " / " + std::to_string(static_cast<int>(floor.second)) + " us");
    report("transmit list, 10 entries 10-100 ms, " + std::to_string(static_cast<int>(secs)) + " s", run(ten, secs),
           0.001, floor);
    report("transmit list, 1 entry 1 ms, " + std::to_string(static_cast<int>(short_mode ? 2 : 20)) + " s",
           run({{0, 1000}}, short_mode ? 2 : 20), 0.005, floor);
    VELKInitCAN(kPort, VELK_INACTIVE, VELK_INACTIVE);
    VELKCloseDevice(kPort);
    return 0;
}
