// velk_dump recording a candump log under load: the emulated adapter streams
// mixed reports at a rate giving 40,000 data frames a second, velk_dump (the
// real program, a child process) writes them to a .log file, and the file is
// checked frame by frame against the stream. Figures: frames lost and the
// program's processor time per frame. Baseline: a plain receive loop in this
// process (the same batched library call velk_dump uses, no output) on the
// same stream.
//   bench_dump_rate [SECONDS] [FRAMES_PER_S]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_sim.h"
#include "lib_velk_2.h"
#include "trace.h"

extern char **environ;

using namespace velk;
using namespace velk::bench;

namespace {

constexpr unsigned kSeed = 5;

// The stream: `seconds` worth of reports, so many that the data frames
// among them come at `frames_per_s`.
struct Load {
    std::vector<sim::Report> seq;
    size_t data = 0;
    int report_rate = 0;
};

Load make_load(double seconds, int frames_per_s)
{
    Load l;
    const std::vector<sim::Report> probe = sim::stream_sequence(10000, kSeed);
    size_t d = 0;
    for (const sim::Report &r : probe)
        d += is_data(r);
    l.report_rate = static_cast<int>(frames_per_s * 10000.0 / static_cast<double>(d) + 0.5);
    l.seq = sim::stream_sequence(static_cast<size_t>(l.report_rate * seconds), kSeed);
    for (const sim::Report &r : l.seq)
        l.data += is_data(r);
    return l;
}

double baseline_cpu_per_frame(const Load &l)
{
    sim::Adapter a;
    if (!a.start())
        return 0;
    static std::string path;
    path = a.slave_path();
    comports[0] = path.c_str();
    if (VELKOpenDevice(0) != 0 || VELKInitCAN(0, VELK_ACTIVE, VELK_ACTIVE) != 0)
        return 0;
    std::vector<CAN_FRAME_INFO> batch(64);
    a.stream(l.seq.size(), l.report_rate, kSeed);
    size_t frames = 0;
    const double c0 = thread_cpu_s();
    double last = now_s();
    while (frames < l.data && now_s() - last < 2.0) {
        std::memset(batch.data(), 0, batch.size() * sizeof(CAN_FRAME_INFO));
        NON_BLOCK_INFO nb = {static_cast<unsigned>(batch.size()), 10, batch.data()};
        const int n = VELKReceiveNonblock(0, &nb);
        for (int i = 0; i < n; ++i)
            frames += batch[static_cast<size_t>(i)].msg_type == VELK_DATA_TYPE;
        if (n > 0)
            last = now_s();
    }
    const double cpu = thread_cpu_s() - c0;
    VELKCloseDevice(0);
    return frames ? cpu / static_cast<double>(frames) : 0;
}

// Frames of the file that match the stream's data reports in order.
size_t matching_frames(const std::string &file, const Load &l, size_t *lines)
{
    trace::Reader r;
    *lines = 0;
    if (!r.open(file, trace::Format::CandumpLog, {}))
        return 0;
    size_t next = 0, matched = 0;
    trace::Frame f;
    while (r.next(&f) > 0) {
        ++*lines;
        while (next < l.seq.size() && !is_data(l.seq[next]))
            ++next;
        if (next == l.seq.size())
            break;
        const sim::Report &want = l.seq[next++];
        const int len = f.fd ? trace::dlc_to_len(want.dlc) : (want.rtr ? 0 : std::min(want.dlc, 8));
        if (f.id == want.id && f.dlc == want.dlc && f.channel == want.channel && f.len == len &&
            std::memcmp(f.data.data(), want.data.data(), static_cast<size_t>(len)) == 0)
            ++matched;
    }
    return matched;
}

}  // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const int frames_per_s = argc > 2 ? std::atoi(argv[2]) : 40000;
    const Load load = make_load(seconds, frames_per_s);
    char tag_text[64];
    std::snprintf(tag_text, sizeof tag_text, "%d frames/s, %g s", frames_per_s, seconds);
    const std::string tag = tag_text;

    const double base = baseline_cpu_per_frame(load);

    sim::Adapter a;
    if (!a.start())
        return 1;
    char dir_tmpl[] = "/tmp/velk_bench_dump_XXXXXX";
    if (mkdtemp(dir_tmpl) == nullptr)
        return 1;
    const std::string file = std::string(dir_tmpl) + "/rec.log";
    const std::string count = std::to_string(load.data);
    const std::string limit = std::to_string(static_cast<int>(seconds) + 30);
    std::vector<std::string> args = {VELK_DUMP_PATH, "-n", count, "-T", limit, "-f", file, a.slave_path()};
    std::vector<char *> argv_c;
    for (std::string &s : args)
        argv_c.push_back(s.data());
    argv_c.push_back(nullptr);
    // Its summary would land in the table's output.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    const int spawned = posix_spawn(&pid, VELK_DUMP_PATH, &fa, nullptr, argv_c.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (spawned != 0)
        return 1;
    if (!wait_started(a, 30)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return 1;
    }
    a.stream(load.seq.size(), load.report_rate, kSeed);
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    const double cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    size_t lines = 0;
    const size_t matched = matching_frames(file, load, &lines);
    unlink(file.c_str());
    rmdir(dir_tmpl);

    row("velk_dump writing a .log, " + tag + ": frames lost or wrong", static_cast<double>(load.data - matched),
        "of " + std::to_string(load.data), "must be 0", 0);
    const double per_frame = cpu / static_cast<double>(lines ? lines : 1);
    row("velk_dump writing a .log, " + tag + ": CPU per frame (connect included)", per_frame * 1e6, "us",
        "receive loop alone, same stream", base * 1e6);
    row("velk_dump writing a .log, " + tag + ": CPU", cpu / seconds * 100, "% of one core", "", 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
