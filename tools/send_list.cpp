// velk_send --list: the transmit list's scheduler on the adapter's port, on
// the monotonic clock; a summary line per entry at the end.
#include "send_list.h"

#include <cstdio>
#include <string>

#include "txlist.h"

namespace velk::tools {

namespace {

int send_record(int port, const CAN_FRAME_INFO &f)
{
    CAN_FRAME_INFO copy = f;
    return copy.fdf ? VELKSend_CANFD(port, &copy) : VELKSend(port, &copy);
}

void print_summary(const txlist::List &list, const std::vector<txlist::EntryStats> &stats)
{
    for (size_t i = 0; i < list.entries.size() && i < stats.size(); ++i) {
        const txlist::EntryStats &s = stats[i];
        std::printf("%zu %s: sent %llu, late %llu, skipped %llu, refused %llu\n", i + 1,
                    txlist::entry_line(list.entries[i]).c_str(), static_cast<unsigned long long>(s.sent),
                    static_cast<unsigned long long>(s.late), static_cast<unsigned long long>(s.skipped),
                    static_cast<unsigned long long>(s.refused));
    }
    std::fflush(stdout);
}

}  // namespace

int send_list(const char *prog, const char *port_name, const ChannelSetup &setup, const char *file, double seconds)
{
    txlist::List list;
    std::string error;
    if (!txlist::load_list(file, &list, &error)) {
        std::fprintf(stderr, "%s: %s\n", prog, error.c_str());
        return kBadInput;
    }
    bool any_enabled = false;
    for (const txlist::Entry &e : list.entries)
        any_enabled = any_enabled || e.enabled;
    if (!any_enabled) {
        std::fprintf(stderr, "%s: %s: no entry is enabled (%s), nothing to send\n", prog, file,
                     list.entries.empty() ? "the list is empty" : "every entry has enabled=no");
        return kFailed;
    }
    int port;
    const int status = connect(prog, port_name, setup, true, true, &port);
    if (status != kOk)
        return status;

    txlist::SteadyClock clock;
    txlist::Scheduler sched(clock, [port](const CAN_FRAME_INFO &f) { return send_record(port, f); });
    sched.set_list(list);
    // Entries start a millisecond apart, so that equal cycles do not all
    // fall due at once and wait for each other's pauses.
    sched.set_phase_step(1000);
    // The pauses the library took from the bit rates when it started the channels.
    const int pause[2] = {send_delay[0], send_delay[1]};
    const txlist::PacingReport report = sched.pacing(pause);
    if (!report.fits()) {
        std::fprintf(stderr, "%s: the list offers more frames than the pacing allows: %s\n", prog,
                     report.text(pause).c_str());
        VELKCloseDevice(port);
        return kBadInput;
    }
    const int64_t end = seconds > 0 ? mono_us() + static_cast<int64_t>(seconds * 1e6) : 0;
    bool gone = false;
    sched.start();
    while (!stop_requested() && !sched.finished() && (end == 0 || mono_us() < end)) {
        int64_t next = mono_us() + 50000;
        if (end != 0 && next > end)
            next = end;
        if (!sleep_until(next))
            break;
        if (VELKCheckDevice(port) != 0) {
            gone = true;
            break;
        }
    }
    sched.stop();
    const std::vector<txlist::EntryStats> stats = sched.stats();
    VELKCloseDevice(port);
    print_summary(list, stats);
    unsigned long long refused = 0;
    for (const txlist::EntryStats &s : stats)
        refused += s.refused;
    if (gone)
        std::fprintf(stderr, "%s: the adapter at %s has gone\n", prog, port_name);
    if (refused > 0)
        std::fprintf(stderr, "%s: %llu frames refused (not written to the adapter)\n", prog, refused);
    return refused > 0 || gone ? kFailed : kOk;
}

}  // namespace velk::tools
