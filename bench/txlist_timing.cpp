// The transmit list's timing on the adapter's timestamps: the scheduler
// sends through the library to the emulated adapter in loopback, which
// stamps each frame as it takes it and hands it back on the other channel;
// a receiving thread collects the stamps. Per entry a two-byte counter in
// the payload shows frames lost or sent twice. Deviation from the deadline:
// each frame's stamp minus its deadline on the entry's grid, the grid placed
// at the earliest frame's offset (the adapter's clock starts elsewhere).
#include <sys/prctl.h>
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
#include "txlist.h"

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
// sent before its deadline, and a frame more than a cycle late is sent for
// the latest deadline passed (the earlier ones are skipped): each frame
// belongs to the latest grid point before it. The grid is placed at the
// median frame's offset; as the offsets spread a little around it, a frame
// up to a quarter of a cycle, at most 1 ms, before a point is taken for
// that point. The deviations are measured from the earliest frame's offset
// on that grid (the adapter's clock starts elsewhere).
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
    const double early = std::min(0.25, 1e-3 / cycle);
    std::vector<double> j(v.size());
    for (size_t k = 0; k < v.size(); ++k)
        j[k] = std::floor((v[k].t - median) / cycle + early);
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
    std::vector<double> dev;        // us, on the adapter's timestamps
    std::vector<double> host_dev;   // the same at the send call, on the host's clock
    uint64_t lost = 0, duplicated = 0, frames = 0;
    // The sending thread's use while measured, and the frames sent then.
    double cpu_s = 0, wall_s = 0, measured_frames = 0, switches = 0;
    uint64_t late = 0, skipped = 0, refused = 0;

    void add(const Result &o)
    {
        worst_period_error = std::max(worst_period_error, o.worst_period_error);
        dev.insert(dev.end(), o.dev.begin(), o.dev.end());
        host_dev.insert(host_dev.end(), o.host_dev.begin(), o.host_dev.end());
        lost += o.lost;
        duplicated += o.duplicated;
        frames += o.frames;
        cpu_s += o.cpu_s;
        wall_s += o.wall_s;
        measured_frames += o.measured_frames;
        switches += o.switches;
        late += o.late;
        skipped += o.skipped;
        refused += o.refused;
    }
    double cpu_share() const { return wall_s > 0 ? cpu_s / wall_s : 0; }
    double cpu_us_per_frame() const { return measured_frames > 0 ? cpu_s * 1e6 / measured_frames : 0; }
    // The thread's voluntary context switches: each wait that slept.
    double wakes_per_frame() const { return measured_frames > 0 ? switches / measured_frames : 0; }
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

// The floor any list sender on this machine has: one thread, at the
// scheduler's priority and timer slack, that sleeps to each deadline of the
// same entries and sends through the same library call, with nothing else.
class BareLoop {
public:
    BareLoop(const txlist::List &list, uint64_t phase_step, std::map<unsigned, std::vector<Stamp>> &host)
        : list_(list), phase_step_(phase_step), host_(host), sent_(list.entries.size())
    {
    }
    void start() { thread_ = std::thread(&BareLoop::run, this); }
    void stop()
    {
        run_ = false;
        thread_.join();
    }
    pid_t tid() const { return tid_.load(); }
    uint64_t frames() const { return frames_.load(); }
    uint64_t sent(size_t i) const { return sent_[i]; }

private:
    void run()
    {
        tid_ = gettid();
        txlist::prepare_sender_thread();
        txlist::SteadyClock clock;
        const uint64_t t0 = clock.now_us();
        const size_t n = list_.entries.size();
        std::vector<uint64_t> next(n);
        for (size_t i = 0; i < n; ++i)
            next[i] = t0 + i * phase_step_ % list_.entries[i].cycle_us;
        while (run_.load()) {
            const size_t i = static_cast<size_t>(std::min_element(next.begin(), next.end()) - next.begin());
            const uint64_t due = next[i];
            struct timespec ts = {static_cast<time_t>(due / 1000000u), static_cast<long>(due % 1000000u) * 1000};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            CAN_FRAME_INFO f;
            std::string why;
            txlist::build_frame(list_.entries[i], nullptr, sent_[i], &f, &why);
            host_[f.id].push_back({now_s(), 0});
            if (VELKSend(kPort, &f) == 0)
                ++sent_[i];
            ++frames_;
            next[i] += list_.entries[i].cycle_us;
        }
    }

    const txlist::List &list_;
    const uint64_t phase_step_;
    std::map<unsigned, std::vector<Stamp>> &host_;
    std::vector<uint64_t> sent_;  // the loop thread's until it is joined
    std::atomic<bool> run_{true};
    std::atomic<pid_t> tid_{0};
    std::atomic<uint64_t> frames_{0};
    std::thread thread_;
};

Result run(const std::vector<std::pair<int, uint64_t>> &entries, double seconds, bool bare)
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

    // The sending thread's id, from its first frame; its processor time
    // and wake-ups are read from outside it, so that measuring costs the
    // thread nothing per frame.
    std::atomic<pid_t> sched_tid{0};
    std::map<unsigned, std::vector<Stamp>> host;  // the sending thread's only
    txlist::SteadyClock clock;
    txlist::Scheduler s(clock, [&](const CAN_FRAME_INFO &f) {
        CAN_FRAME_INFO copy = f;
        if (sched_tid.load(std::memory_order_relaxed) == 0)
            sched_tid.store(gettid(), std::memory_order_relaxed);
        host[f.id].push_back({now_s(), 0});
        return VELKSend(kPort, &copy);
    });
    BareLoop loop(list, 1000, host);
    s.set_list(list);
    s.set_phase_step(1000);
    const double t0 = now_s();
    if (bare)
        loop.start();
    else
        s.start();
    auto frames_so_far = [&] {
        if (bare)
            return loop.frames();
        uint64_t n = 0;
        for (const txlist::EntryStats &e : s.stats())
            n += e.sent + e.refused;
        return n;
    };
    auto tid = [&] { return bare ? loop.tid() : sched_tid.load(); };
    ThreadUse begin;
    uint64_t begin_frames = 0;
    while (now_s() - t0 < seconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // From the first frame on: the thread's start is not the list's cost.
        if (begin.at == 0 && tid() != 0 && frames_so_far() > 0) {
            begin = thread_use(tid());
            begin_frames = frames_so_far();
        }
    }
    const ThreadUse end = thread_use(tid());
    const uint64_t end_frames = frames_so_far();
    if (bare)
        loop.stop();
    else
        s.stop();
    // The last frames' way back through the emulator.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    receiving = false;
    receiver.join();

    Result r;
    const std::vector<txlist::EntryStats> st = s.stats();
    for (size_t i = 0; i < entries.size(); ++i) {
        uint64_t sent = bare ? loop.sent(i) : st[i].sent;
        if (!bare) {
            r.late += st[i].late;
            r.skipped += st[i].skipped;
            r.refused += st[i].refused;
        }
        const std::vector<Stamp> &v = got[0x100 + static_cast<unsigned>(i)];
        r.frames += v.size();
        r.lost += sent > v.size() ? sent - v.size() : 0;
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
        r.dev.insert(r.dev.end(), d.begin(), d.end());
        r.worst_period_error = std::max(r.worst_period_error, std::fabs(mean - cycle) / cycle);
        double host_mean;
        const std::vector<double> h = deviations(host[0x100 + static_cast<unsigned>(i)], cycle, &host_mean);
        r.host_dev.insert(r.host_dev.end(), h.begin(), h.end());
    }
    if (end.at > begin.at && begin.at != 0) {
        r.cpu_s = end.cpu_s - begin.cpu_s;
        r.wall_s = end.at - begin.at;
        r.measured_frames = static_cast<double>(end_frames - begin_frames);
        r.switches = static_cast<double>(end.switches - begin.switches);
    }
    return r;
}

// The list and the bare send loop in turns, `rounds` times `seconds` each,
// so that both meet the same moods of a shared machine.
std::pair<Result, Result> in_turns(const std::vector<std::pair<int, uint64_t>> &entries, double seconds, int rounds)
{
    Result list, bare;
    for (int i = 0; i < rounds; ++i) {
        bare.add(run(entries, seconds, true));
        list.add(run(entries, seconds, false));
    }
    return {list, bare};
}

// The machine's own floor: a thread sleeping to every millisecond on the
// monotonic clock, at the scheduler's timer slack: how late it wakes (p99,
// max; microseconds) and the processor time one sleep costs it.
struct SleepFloor {
    double p99_us = 0, max_us = 0, cpu_us = 0;
};

SleepFloor plain_sleep(int count)
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<double> late;
    txlist::SteadyClock clock;
    const double c0 = thread_cpu_s();
    uint64_t t = clock.now_us();
    for (int i = 0; i < count; ++i) {
        t += 1000;
        struct timespec ts = {static_cast<time_t>(t / 1000000u), static_cast<long>(t % 1000000u) * 1000};
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        late.push_back(static_cast<double>(clock.now_us() - t));
    }
    SleepFloor f;
    f.cpu_us = (thread_cpu_s() - c0) * 1e6 / count;
    f.p99_us = percentile(late, 0.99);
    f.max_us = percentile(late, 1.0);
    prctl(PR_SET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    return f;
}

// The list's figures, each against the bare send loop's in the same run.
void report(const std::string &what, const Result &r, const Result &bare, double period_limit, const SleepFloor &floor)
{
    auto us = [](double v) { return std::to_string(static_cast<long>(std::lround(v))) + " us"; };
    row(what + ": worst mean period error", r.worst_period_error * 100, "%", "goal %", period_limit * 100);
    const double p99 = percentile(r.dev, 0.99), bare_p99 = percentile(bare.dev, 0.99);
    row(what + ": deviation from deadline p99", p99, "us", "bare send loop " + us(bare_p99) + ", goal 1.0 of it", bare_p99);
    const double host_p99 = percentile(r.host_dev, 0.99), bare_host_p99 = percentile(bare.host_dev, 0.99);
    row(what + ": the same at the send call, host clock, p99", host_p99, "us",
        "bare send loop " + us(bare_host_p99) + ", a plain sleep's lateness " + us(floor.p99_us), bare_host_p99);
    const double max = percentile(r.dev, 1.0), bare_max = percentile(bare.dev, 1.0);
    row(what + ": deviation from deadline max", max, "us", "bare send loop " + us(bare_max) + ", goal 1.0 of it", bare_max);
    row(what + ": frames lost or duplicated", static_cast<double>(r.lost + r.duplicated),
        "of " + std::to_string(r.frames), "bare send loop " + std::to_string(bare.lost + bare.duplicated), 0);
    row(what + ": late / skipped / refused", static_cast<double>(r.late + r.skipped + r.refused), "frames", "", 0);
    char cpu[96];
    std::snprintf(cpu, sizeof cpu, "bare send loop %.2f %%", bare.cpu_share() * 100);
    row(what + ": scheduler thread CPU", r.cpu_share() * 100, "% of a core", cpu, bare.cpu_share() * 100);
    row(what + ": scheduler thread CPU per frame", r.cpu_us_per_frame(), "us",
        "bare send loop " + us(bare.cpu_us_per_frame()) + ", goal 1.1 of it", bare.cpu_us_per_frame());
    row(what + ": scheduler thread sleeps per frame", r.wakes_per_frame(), "",
        "bare send loop " + std::to_string(bare.wakes_per_frame()).substr(0, 4), bare.wakes_per_frame());
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
    const SleepFloor floor = plain_sleep(short_mode ? 1000 : 10000);
    note("plain sleep to each millisecond, lateness p99 / max",
         std::to_string(static_cast<int>(floor.p99_us)) + " / " + std::to_string(static_cast<int>(floor.max_us)) + " us");
    // A list sender waits for each deadline and the library pauses before
    // each frame: two sleeps a frame, whatever the scheduler does.
    row("plain sleep, processor time of one", floor.cpu_us, "us", "", 0);
    // 4 turns of 15 s each (1 of 3 s in the short run), and 2 of 10 s for
    // the 1 ms entry.
    const int rounds = short_mode ? 1 : 4;
    const double turn = short_mode ? 3 : 15;
    const auto ten_r = in_turns(ten, turn, rounds);
    report("transmit list, 10 entries 10-100 ms, " + std::to_string(static_cast<int>(rounds * turn)) + " s", ten_r.first,
           ten_r.second, 0.001, floor);
    const double one_turn = short_mode ? 2 : 10;
    const auto one_r = in_turns({{0, 1000}}, one_turn, short_mode ? 1 : 2);
    report("transmit list, 1 entry 1 ms, " + std::to_string(static_cast<int>(one_turn * (short_mode ? 1 : 2))) + " s",
           one_r.first, one_r.second, 0.001, floor);
    VELKInitCAN(kPort, VELK_INACTIVE, VELK_INACTIVE);
    VELKCloseDevice(kPort);
    return 0;
}
