// What the trace view stands on: the index of a big trace and frames read
// by number through it, per format. Figures: the time until the first
// screen of rows (40) can be read after indexing begins; the indexing rate
// against a plain read of the same file in the same run; the index's
// memory and the process's resident growth per frame (limit 16 bytes);
// a screen of rows at a random place ("Go to"), p99 (limit 50 ms); and,
// where the utility is built, through the view's own code: a filter on one
// identifier and a signal condition over the whole file (goal 2 s for 20 M
// frames), a plot of one signal over the whole file (goal 1 s), and going
// to the middle, the end and back (p99, goal 50 ms).
//   bench_trace_view [--short] [FRAMES]    FRAMES: per file (default 20,000,000)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "trace.h"

#ifdef VELK_BENCH_VIEW
#include "databases.h"
#include "trace_filter.h"
#include "trace_plot.h"
#endif

using namespace velk;
using namespace velk::bench;

namespace {

constexpr int kScreen = 40;
constexpr int kJumps = 200;

// A realistic mix: 11- and 29-bit identifiers, classic and CAN FD, both channels.
void write_trace(const std::string &path, uint64_t frames)
{
    trace::Format format;
    trace::format_of(path, &format);
    trace::Writer w;
    trace::WriteOptions o;
    o.start_us = 1700000000000000;
    if (!w.open(path, format, o)) {
        std::fprintf(stderr, "%s\n", w.error().c_str());
        std::exit(1);
    }
    std::mt19937 rng(7);
    trace::Frame f;
    for (uint64_t i = 0; i < frames; ++i) {
        const uint32_t r = rng();
        const int64_t us = o.start_us + static_cast<int64_t>(i) * 50;
        f.sec = us / 1000000;
        f.usec = static_cast<uint32_t>(us % 1000000);
        f.channel = r & 1;
        f.extended = (r >> 1 & 3) == 0;
        f.id = f.extended ? 0x18FF0000 | (r >> 8 & 0xFF) : 0x100 + (r >> 8 & 0xFF);
        f.fd = (r >> 3 & 7) == 0;
        f.dlc = static_cast<uint8_t>(f.fd ? 9 + (r >> 20) % 7 : 8);
        f.len = static_cast<uint8_t>(trace::dlc_to_len(f.dlc));
        for (int b = 0; b < f.len; ++b)
            f.data[b] = static_cast<uint8_t>(i >> (b % 4 * 8));
        w.write(f);
    }
    w.close();
}

long rss_kb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

#ifdef VELK_BENCH_VIEW
// A message of the mix (0x142 is one of its 11-bit identifiers): its first
// two bytes, the frame number's low bits, as a speed.
constexpr const char *kDbc = R"(VERSION ""
BU_: Engine
BO_ 322 EngineData: 8 Engine
 SG_ EngineSpeed : 0|16@1+ (0.125,0) [0|8191] "rpm" Vector__XXX
)";

// How long the view's filter takes over the whole indexed trace.
double filter_s(const trace::Index &index, const std::string &text, uint64_t *found,
                uint64_t split_from = gui::trace_filter::Run::kSplitFrames)
{
    const double t0 = now_s();
    std::string why;
    auto filter = gui::trace_filter::parse(text, &why);
    if (!filter) {
        std::fprintf(stderr, "%s: %s\n", text.c_str(), why.c_str());
        std::exit(1);
    }
    gui::trace_filter::Run run(index, filter, split_from);
    while (!run.done())
        usleep(1000);
    *found = run.count();
    return now_s() - t0;
}

void measure_view(const trace::Index &index, const std::string &name, uint64_t n)
{
    const double scale = 20e6 / static_cast<double>(n);  // to the goal's 20 M frames
    uint64_t found = 0;
    const double id_s = filter_s(index, "142", &found);
    row("trace view " + name + ": filter on one identifier, whole file (" + std::to_string(found) + " match)",
        id_s * 1e3, "ms", "goal 2 s for 20 M frames: " + std::to_string(static_cast<int>(2000 / scale)) + " ms here",
        2000 / scale);
    // The same on one thread, as a trace still being indexed is scanned.
    const double one_s = filter_s(index, "142", &found, UINT64_MAX);
    row("trace view " + name + ": that filter in two halves at once, against one thread", id_s * 1e3, "ms",
        "one thread: " + std::to_string(static_cast<int>(one_s * 1e3)) + " ms", one_s * 1e3);
    const double cond_s = filter_s(index, "EngineData.EngineSpeed > 4000", &found);
    row("trace view " + name + ": filter on a signal condition, whole file (" + std::to_string(found) + " match)",
        cond_s * 1e3, "ms", "goal 2 s for 20 M frames: " + std::to_string(static_cast<int>(2000 / scale)) + " ms here",
        2000 / scale);

    // The plot as the view starts it: from the first frame's time to past
    // the last one's, 1000 columns.
    trace::IndexedReader reader;
    reader.open(index);
    trace::Frame first, last;
    reader.read(0, &first);
    reader.read(n - 1, &last);
    const auto &db = gui::databases::all().front();
    const velk::dbc::Message &m = db.db->messages().front();
    double t0 = now_s(), drawn_ms = 0;
    {
        gui::trace_plot::Columns plot(index, {{db.db, &m, &m.signals.front()}}, first.sec * 1000000 + first.usec,
                                      last.sec * 1000000 + last.usec + 1, 1000);
        while (!plot.done()) {
            if (drawn_ms == 0 && plot.handed() > 0)
                drawn_ms = (now_s() - t0) * 1e3;
            usleep(200);
        }
        if (drawn_ms == 0)
            drawn_ms = (now_s() - t0) * 1e3;
    }
    const double plot_ms = (now_s() - t0) * 1e3;
    row("trace view " + name + ": a plot of one signal, first drawing (of its beginning)", drawn_ms, "ms",
        "goal 1 s", 1000);
    row("trace view " + name + ": a plot of one signal over the whole file, complete", plot_ms, "ms",
        "1 s for 20 M frames: " + std::to_string(static_cast<int>(1000 / scale)) + " ms here", 1000 / scale);

    // Go to the middle, the end and back to the start, as the list reads a
    // screen there through one reader.
    std::vector<double> jumps;
    trace::Frame f;
    const uint64_t places[] = {n / 2, n - kScreen, 0};
    for (int j = 0; j < 3 * 40; ++j) {
        const uint64_t at = places[j % 3];
        t0 = now_s();
        for (int row = 0; row < kScreen; ++row)
            reader.read(at + static_cast<uint64_t>(row), &f);
        jumps.push_back((now_s() - t0) * 1e3);
    }
    std::sort(jumps.begin(), jumps.end());
    row("trace view " + name + ": go to the middle, the end and back, p99 of " + std::to_string(jumps.size()),
        jumps[jumps.size() * 99 / 100], "ms", "goal 50 ms", 50);
}
#endif

void measure(const std::string &path, const std::string &name)
{
    trace::Format format;
    trace::format_of(path, &format);
    // A plain read first, which also brings the file into the page cache for both.
    double t0 = now_s();
    trace::Reader plain;
    plain.open(path, format, {});
    trace::Frame f;
    uint64_t n = 0;
    while (plain.next(&f) > 0)
        ++n;
    const double plain_rate = static_cast<double>(n) / (now_s() - t0);
    plain.close();

    const long rss_before = rss_kb();
    t0 = now_s();
    trace::Index index;
    index.start({path}, {});
    trace::IndexedReader reader;
    reader.open(index);
    // The first screen as the view reads it: as soon as the index holds it.
    for (int row = 0; row < kScreen;) {
        if (reader.read(static_cast<uint64_t>(row), &f) > 0)
            ++row;
        else if (index.wait(std::chrono::milliseconds(1)))
            break;
    }
    const double first_ms = (now_s() - t0) * 1e3;
    index.wait(std::chrono::hours(1));
    const double index_rate = static_cast<double>(index.frames()) / (now_s() - t0);
    const double rss_per_frame = static_cast<double>(rss_kb() - rss_before) * 1024.0 / static_cast<double>(n);
    const double mem_per_frame = static_cast<double>(index.memory()) / static_cast<double>(n);

    std::mt19937_64 rng(11);
    std::vector<double> jumps;
    // A slow format gets fewer jumps rather than a longer run.
    const double until = now_s() + 30;
    for (int j = 0; j < kJumps && (j < 10 || now_s() < until); ++j) {
        const uint64_t at = rng() % (n > kScreen ? n - kScreen : 1);
        const double s = now_s();
        for (int row = 0; row < kScreen; ++row)
            reader.read(at + static_cast<uint64_t>(row), &f);
        jumps.push_back((now_s() - s) * 1e3);
    }
    std::sort(jumps.begin(), jumps.end());
    const double p99 = jumps[jumps.size() * 99 / 100];

    row("trace view " + name + ": first " + std::to_string(kScreen) + " rows after opening", first_ms, "ms",
        "goal 500 ms", 500);
    row("trace view " + name + ": indexing rate", index_rate, "frames/s", "plain read of the same file",
        plain_rate);
    row("trace view " + name + ": index memory per frame", mem_per_frame, "bytes", "limit 16 bytes", 16);
    row("trace view " + name + ": resident growth per frame", rss_per_frame, "bytes", "limit 16 bytes", 16);
    row("trace view " + name + ": a screen at a random frame, p99 of " + std::to_string(jumps.size()), p99, "ms",
        "goal 50 ms", 50);
#ifdef VELK_BENCH_VIEW
    measure_view(index, name, n);
#endif
}

}  // namespace

int main(int argc, char **argv)
{
    uint64_t frames = 20000000;
    int a = 1;
    if (a < argc && std::strcmp(argv[a], "--short") == 0) {
        frames = 200000;
        ++a;
    }
    if (a < argc)
        frames = std::strtoull(argv[a], nullptr, 10);
    char dir[] = "/tmp/velk_bench_trace_XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
#ifdef VELK_BENCH_VIEW
    // The database the view's filter and plot name, kept away from the user's list.
    setenv("XDG_CONFIG_HOME", dir, 1);
    const std::string dbc = std::string(dir) + "/engine.dbc";
    std::ofstream(dbc) << kDbc;
    std::string why;
    if (!gui::databases::add(dbc, &why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
#endif
    for (const char *name : {"t.log", "t.blf", "t.pcapng", "t.log.gz", "t.mf4"}) {
        const std::string path = std::string(dir) + "/" + name;
        write_trace(path, frames);
        measure(path, std::string(name).substr(2));
        unlink(path.c_str());
    }
#ifdef VELK_BENCH_VIEW
    unlink(dbc.c_str());
    std::filesystem::remove_all(std::string(dir) + "/velk");
#endif
    rmdir(dir);
    return 0;
}
