// What the trace view stands on: the index of a big trace and frames read
// by number through it, per format. Figures: the time until the first
// screen of rows (40) can be read after indexing begins; the indexing rate
// against a plain read of the same file in the same run; the index's
// memory and the process's resident growth per frame (limit 16 bytes);
// a screen of rows at a random place ("Go to"), p99 (limit 50 ms).
//   bench_trace_view [--short] [FRAMES]    FRAMES: per file (default 20,000,000)
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "trace.h"

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
    for (const char *name : {"t.log", "t.blf", "t.pcapng", "t.log.gz", "t.mf4"}) {
        const std::string path = std::string(dir) + "/" + name;
        write_trace(path, frames);
        measure(path, std::string(name).substr(2));
        unlink(path.c_str());
    }
    rmdir(dir);
    return 0;
}
