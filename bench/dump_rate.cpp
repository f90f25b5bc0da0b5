// velk_dump recording under load, the real program as a child process.
//
// Paced: the emulated adapter streams mixed reports at a rate giving 40,000
// data frames a second, velk_dump writes them to a .log file, and the file
// is checked frame by frame against the stream and against velk_dump's own
// counts. Figures: frames lost and the program's processor time per frame.
// Baseline: a plain receive loop in this process (the same batched library
// call velk_dump uses, no output) on the same stream.
//   bench_dump_rate [SECONDS] [FRAMES_PER_S]
//
// In pieces: the adapter streams as fast as the pseudo-terminal takes it,
// for SECONDS, into .log, .blf, .log.zst and .mf4 in 10 MB pieces; every
// frame velk_dump counted must be in exactly one piece, in the stream's
// order. Figures: frames lost, velk_dump's processor time per frame and
// bytes per frame, each against the plain .log of the same run.
//   bench_dump_rate --pieces [SECONDS [EXTENSION]]   (EXTENSION: that format alone)
//
// Killed: velk_dump is killed with SIGKILL at a random moment, ROUNDS times,
// each time writing another format in small pieces; every piece must read,
// and the pieces must hold every frame sent more than a second before the
// kill, in order.
//   bench_dump_rate --kills [ROUNDS]
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
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
constexpr uint32_t kIds = 100;  // the full stream's identifiers of each kind, as a bus has

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

// `any_channel`: the file cannot say (a pcap file has one link).
bool same_frame(const trace::Frame &f, const sim::Report &want, bool any_channel = false)
{
    const int len = f.fd ? trace::dlc_to_len(want.dlc) : (want.rtr ? 0 : std::min(want.dlc, 8));
    return f.id == want.id && f.dlc == want.dlc && (any_channel || f.channel == want.channel) && f.len == len &&
           std::memcmp(f.data.data(), want.data.data(), static_cast<size_t>(len)) == 0;
}

using Source = std::function<sim::Report(size_t)>;  // the stream's reports, read in order

// Which of a file's groups a frame of the stream lands in where the file
// keeps the kinds apart: classic data, CAN FD data, remote.
int kind_of(const sim::Report &r)
{
    return r.kind == sim::Report::F1 ? 1 : r.rtr ? 2 : 0;
}
int kind_of(const trace::Frame &f)
{
    return f.fd ? 1 : f.remote ? 2 : 0;
}

// The files' frames (one file after the other) against the stream's data
// reports in order. With `by_kind`, order is checked within each kind of
// frame: an MF4 file keeps each kind in a data group of its own, and its
// readers merge the groups by time, so frames of the same time come back
// grouped by kind.
struct Match {
    size_t frames = 0;   // read from the files
    size_t matched = 0;  // of them, the next report of the stream (of their kind)
    size_t missing = 0;  // reports passed over: a later one came first
    size_t wrong = 0;    // frames that are none of the next reports
    size_t covered = 0;  // every report before this one is in the files
    std::string error;   // a file that did not read to its end
    std::string gap;     // the first report passed over, and the frame that came instead
};

std::string describe(const sim::Report &r)
{
    char b[96];
    std::snprintf(b, sizeof b, "report %X CAN%d id %X%s dlc %d", r.kind, r.channel + 1, r.id, r.rtr ? " remote" : "",
                  r.dlc);
    return b;
}

Match matching_frames(const std::vector<std::string> &files, const std::function<Source()> &source, size_t reports,
                      bool by_kind = false)
{
    // A frame is matched against the next report of its kind; where it is
    // not that one, a look further on finds the gap, so that one lost
    // frame counts once and not as every frame after it.
    constexpr size_t kLookAhead = 4096;
    struct Cursor {
        Source source;
        size_t next = 0;                                // the source's next report
        std::deque<std::pair<size_t, sim::Report>> ahead;  // reports of this kind, not yet matched
    };
    std::vector<Cursor> cursors(by_kind ? 3 : 1);
    for (Cursor &c : cursors)
        c.source = source();
    Match m;
    size_t first_missing = reports;
    for (const std::string &file : files) {
        trace::Reader r;
        trace::Format format;
        if (!trace::format_of(file, &format) || !r.open(file, format, {})) {
            m.error = file + ": cannot open it: " + r.error();
            break;
        }
        const bool any_channel = format == trace::Format::Pcap;
        trace::Frame f;
        int got;
        while ((got = r.next(&f)) > 0) {
            ++m.frames;
            const int kind = by_kind ? kind_of(f) : 0;
            Cursor &c = cursors[static_cast<size_t>(kind)];
            size_t at = 0;
            for (;; ++at) {
                while (at >= c.ahead.size() && c.next < reports) {
                    sim::Report want = c.source(c.next);
                    if (is_data(want) && (!by_kind || kind_of(want) == kind))
                        c.ahead.emplace_back(c.next, want);
                    ++c.next;
                }
                if (at >= c.ahead.size() || at == kLookAhead || same_frame(f, c.ahead[at].second, any_channel))
                    break;
            }
            if (at >= c.ahead.size() || at == kLookAhead) {
                ++m.wrong;
                continue;
            }
            if (at > 0) {
                m.missing += at;
                if (m.gap.empty())
                    m.gap = file + ": frame " + std::to_string(m.frames) + " (" + trace::frame_text(f, false) +
                            ") came before " + std::to_string(at) + " of the stream, the first " +
                            describe(c.ahead.front().second) + " (stream report " +
                            std::to_string(c.ahead.front().first) + ")";
                first_missing = std::min(first_missing, c.ahead.front().first);
            }
            c.ahead.erase(c.ahead.begin(), c.ahead.begin() + static_cast<std::ptrdiff_t>(at + 1));
            ++m.matched;
        }
        if (got < 0) {
            m.error = r.error();
            break;
        }
    }
    m.covered = first_missing;
    for (const Cursor &c : cursors)
        m.covered = std::min(m.covered, c.ahead.empty() ? c.next : c.ahead.front().first);
    return m;
}

// velk_dump's own counts, from its summary on standard error.
struct Summary {
    uint64_t frames = 0, skipped_bytes = 0, lost = 0;
};

Summary dump_summary(const std::string &err_file)
{
    Summary sum;
    FILE *f = std::fopen(err_file.c_str(), "r");
    if (f == nullptr)
        return sum;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        unsigned long long a = 0, b = 0, skipped = 0, lost = 0;
        const char *p = std::strstr(line, "CAN1 ");
        const char *q = std::strstr(line, "skipped bytes ");
        if (p && q && std::sscanf(p, "CAN1 %llu frames, CAN2 %llu frames", &a, &b) == 2 &&
            std::sscanf(q, "skipped bytes %llu; lost %llu", &skipped, &lost) == 2)
            sum = {a + b, skipped, lost};
    }
    std::fclose(f);
    return sum;
}

struct Dumped {
    bool ok = false;
    double cpu = 0;
    uint64_t counted = 0;  // by velk_dump
    Summary summary;
};

// Runs velk_dump with `args` (the port added) while `stream` feeds the
// adapter (given the program's process id), until it ends.
Dumped run_dump(sim::Adapter &a, std::vector<std::string> args, const std::string &err_file,
                const std::function<void(pid_t)> &stream)
{
    Dumped d;
    args.insert(args.begin(), VELK_DUMP_PATH);
    args.push_back(a.slave_path());
    std::vector<char *> argv_c;
    for (std::string &s : args)
        argv_c.push_back(s.data());
    argv_c.push_back(nullptr);
    // Its summary would land in the table's output.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid;
    const int spawned = posix_spawn(&pid, VELK_DUMP_PATH, &fa, nullptr, argv_c.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (spawned != 0)
        return d;
    if (!wait_started(a, 30)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return d;
    }
    stream(pid);
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    d.cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    d.summary = dump_summary(err_file);
    d.counted = d.summary.frames;
    d.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return d;
}

// The pieces of a split recording, in order.
std::vector<std::string> pieces_of(const std::string &path, uint64_t *bytes)
{
    std::vector<std::string> out;
    *bytes = 0;
    for (int k = 1;; ++k) {
        const std::string p = trace::piece_path(path, k);
        struct stat st;
        if (stat(p.c_str(), &st) != 0)
            return out;
        *bytes += static_cast<uint64_t>(st.st_size);
        out.push_back(p);
    }
}

// The pieces of a recording of the full stream's first `reports` against
// the stream, removed afterwards.
Match check_pieces(const std::string &file, size_t reports, size_t *pieces, uint64_t *bytes)
{
    const std::vector<std::string> list = pieces_of(file, bytes);
    const std::function<Source()> source = [] {
        auto gen = std::make_shared<sim::StreamGenerator>(kSeed, kIds);
        return Source([gen](size_t i) { return gen->report(i); });
    };
    trace::Format format = trace::Format::CandumpLog;
    trace::format_of(file, &format);
    const Match m = matching_frames(list, source, reports, format == trace::Format::Mf4);
    for (const std::string &p : list)
        unlink(p.c_str());
    *pieces = list.size();
    return m;
}

int pieces_run(double seconds, const char *only)
{
    char dir_tmpl[] = "/tmp/velk_bench_pieces_XXXXXX";
    if (mkdtemp(dir_tmpl) == nullptr)
        return 1;
    const std::string dir = dir_tmpl;
    char tag_text[96];
    std::snprintf(tag_text, sizeof tag_text, "the full stream, %g s, 10 MB pieces", seconds);
    const std::string tag = tag_text;
    int failed = 0;
    double log_cpu = 0, log_bytes = 0;
    for (const char *ext : {"log", "blf", "log.zst", "mf4"}) {
        if (only != nullptr && std::strcmp(ext, only) != 0)
            continue;
        sim::Adapter a;
        if (!a.start())
            return 1;
        a.set_stream_ids(kIds);
        const std::string file = dir + "/run." + ext;
        // More reports than any machine takes in the time: the stream runs
        // until velk_dump stops at its time limit.
        const size_t reports = static_cast<size_t>(seconds * 2e6);
        const Dumped d = run_dump(a, {"-T", std::to_string(seconds), "--split-size", "10M", "-f", file},
                                  dir + "/err.txt", [&](pid_t) { a.stream(reports, 0, kSeed, 64, sim::Adapter::StreamStamps::Clock); });
        uint64_t bytes = 0;
        size_t pieces = 0;
        const Match m = check_pieces(file, reports, &pieces, &bytes);
        const std::string what = std::string("velk_dump into .") + ext + ", " + tag;
        if (!d.ok || d.counted == 0) {
            note(what, "velk_dump failed");
            failed = 1;
            continue;
        }
        // Every frame counted must be in the files as the stream's next, and
        // no frame of the stream before the last one there may be missing.
        const uint64_t lost = d.counted - std::min<uint64_t>(d.counted, m.matched) + m.wrong + m.missing;
        if (!m.error.empty())
            note(what, m.error);
        if (!m.gap.empty())
            note(what, m.gap);
        failed |= lost != 0;
        row(what + ": frames lost or wrong across " + std::to_string(pieces) + " pieces",
            static_cast<double>(lost),
            "of " + std::to_string(d.counted) + " counted (" + std::to_string(m.frames) + " in the files, " +
                std::to_string(m.missing) + " of the stream not there, " + std::to_string(m.wrong) +
                " wrong; velk_dump says lost " + std::to_string(d.summary.lost) + ", skipped bytes " +
                std::to_string(d.summary.skipped_bytes) + ")",
            "must be 0", 0);
        const double cpu = d.cpu / static_cast<double>(d.counted) * 1e6;
        const double per_frame = static_cast<double>(bytes) / static_cast<double>(d.counted);
        if (std::strcmp(ext, "log") == 0) {
            log_cpu = cpu;
            log_bytes = per_frame;
            row(what + ": CPU per frame", cpu, "us", "", 0);
            row(what + ": size per frame", per_frame, "bytes", "", 0);
        } else {
            row(what + ": CPU per frame", cpu, "us", "the plain .log", log_cpu);
            row(what + ": size per frame", per_frame, "bytes", "the plain .log", log_bytes);
        }
    }
    unlink((dir + "/err.txt").c_str());
    rmdir(dir.c_str());
    return failed;
}

}  // namespace

// velk_dump killed with SIGKILL at random moments, each time into another
// format in small pieces: every piece must read, and together the pieces
// must hold, in order, every frame the adapter sent more than a second
// before the kill.
int kills_run(int rounds)
{
    static const char *const kExts[] = {"log.zst", "blf", "mf4", "pcapng", "asc.gz", "trc", "log", "csv", "pcap", "asc"};
    constexpr int kRate = 20000;  // reports a second
    std::mt19937 rng(46);
    char dir_tmpl[] = "/tmp/velk_bench_kills_XXXXXX";
    if (mkdtemp(dir_tmpl) == nullptr)
        return 1;
    const std::string dir = dir_tmpl;
    int failed_rounds = 0;
    uint64_t frames = 0, pieces = 0;
    for (int round = 0; round < rounds; ++round) {
        const char *ext = kExts[round % std::size(kExts)];
        sim::Adapter a;
        if (!a.start())
            return 1;
        a.set_stream_ids(kIds);
        const std::string file = dir + "/run." + ext;
        const double after = 1.5 + static_cast<double>(rng() % 4500) / 1000;
        const size_t reports = static_cast<size_t>((after + 30) * kRate);
        std::vector<std::pair<double, size_t>> sent;  // (when, reports sent by then)
        double killed_at = 0;
        run_dump(a, {"--split-size", "256k", "-f", file}, dir + "/err.txt", [&](pid_t pid) {
            a.stream(reports, kRate, kSeed, 64, sim::Adapter::StreamStamps::Clock);
            const double t0 = now_s();
            while (now_s() - t0 < after) {
                sent.emplace_back(now_s(), a.reports_streamed());
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            killed_at = now_s();
            kill(pid, SIGKILL);
        });
        size_t due = 0;  // reports sent more than a second before the kill
        for (const auto &[when, n] : sent)
            if (when <= killed_at - 1.0)
                due = n;
        uint64_t bytes = 0;
        size_t count = 0;
        const Match m = check_pieces(file, reports, &count, &bytes);
        frames += m.frames;
        pieces += count;
        std::string why;
        if (!m.error.empty())
            why = m.error;
        else if (m.wrong != 0)
            why = std::to_string(m.wrong) + " frames none of the stream's next";
        else if (m.covered < due)
            why = "the pieces end at report " + std::to_string(m.covered) + ", but " + std::to_string(due) +
                  " were sent more than a second before the kill";
        if (!why.empty()) {
            ++failed_rounds;
            char at[32];
            std::snprintf(at, sizeof at, "%.2f s", after);
            note(std::string("velk_dump killed at ") + at + " into ." + ext, why);
        }
    }
    unlink((dir + "/err.txt").c_str());
    rmdir(dir.c_str());
    row("velk_dump killed with SIGKILL " + std::to_string(rounds) + " times (every format, " +
            std::to_string(pieces) + " pieces, " + std::to_string(frames) + " frames): rounds with a frame missing",
        failed_rounds, "", "must be 0", 0);
    return failed_rounds != 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && std::strcmp(argv[1], "--kills") == 0)
        return kills_run(argc > 2 ? std::atoi(argv[2]) : 20);
    if (argc > 1 && std::strcmp(argv[1], "--pieces") == 0)
        return pieces_run(argc > 2 ? std::atof(argv[2]) : 60, argc > 3 ? argv[3] : nullptr);
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
    const std::string err = std::string(dir_tmpl) + "/err.txt";
    const std::string limit = std::to_string(static_cast<int>(seconds) + 30);
    const Dumped d = run_dump(a, {"-n", std::to_string(load.data), "-T", limit, "-f", file}, err,
                              [&](pid_t) { a.stream(load.seq.size(), load.report_rate, kSeed); });
    const Match m =
        matching_frames({file}, [&] { return Source([&](size_t i) { return load.seq[i]; }); }, load.seq.size());
    const size_t lines = m.frames, matched = m.matched;
    unlink(file.c_str());
    unlink(err.c_str());
    rmdir(dir_tmpl);

    row("velk_dump writing a .log, " + tag + ": frames lost or wrong",
        static_cast<double>(load.data - std::min(load.data, matched) + m.wrong), "of " + std::to_string(load.data),
        "must be 0", 0);
    row("velk_dump writing a .log, " + tag + ": its own count against the file", static_cast<double>(d.counted),
        "frames counted", "frames in the file", static_cast<double>(lines));
    const double per_frame = d.cpu / static_cast<double>(lines ? lines : 1);
    row("velk_dump writing a .log, " + tag + ": CPU per frame (connect included)", per_frame * 1e6, "us",
        "receive loop alone, same stream", base * 1e6);
    row("velk_dump writing a .log, " + tag + ": CPU", d.cpu / seconds * 100, "% of one core", "", 0);
    return d.ok && m.error.empty() && d.counted == lines && lines == matched ? 0 : 1;
}
