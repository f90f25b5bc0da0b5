// velk_decode --lake against velk_decode --json on the same traces: a
// generated drive (100 messages at their cycle times, slowly changing
// values, both channels) in two BLF files with a database of its messages.
// Figures: signals/s into the lake against --json > /dev/null, --jobs 2
// against --jobs 1, the lake's size against the traces', and DuckDB's time
// for a count by message over the lake against the same count over the
// --json output (DuckDB from scripts/lake-readers; a note where it is not
// installed).
//   bench_lake_rate [--short] [MB]    MB: the traces' size (default 1024)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "trace.h"

using namespace velk;
using namespace velk::bench;
namespace fs = std::filesystem;

namespace {

constexpr int kMessages = 100;
constexpr int kCycles[] = {10, 20, 50, 100, 100, 200, 500, 1000};

struct Message {
    uint32_t id;
    int len;
    int cycle_ms;
    bool fd;
    uint8_t state[64];
};

// 80 classic messages of 8 one-byte and 16-bit signals, 20 CAN FD messages
// of 64 bytes with 24 signals; every tenth multiplexed; value texts on
// the first signal of each.
std::string make_database(std::vector<Message> *messages)
{
    std::string dbc = "VERSION \"\"\n\nNS_ :\n\nBS_:\n\nBU_: ECU\n\n";
    std::string vals;
    for (int i = 0; i < kMessages; ++i) {
        Message m{};
        m.id = static_cast<uint32_t>(0x100 + i * 7);
        m.fd = i >= 80;
        m.len = m.fd ? 64 : 8;
        m.cycle_ms = kCycles[i % 8];
        messages->push_back(m);
        dbc += "BO_ " + std::to_string(m.id) + " Msg" + std::to_string(i) + ": " + std::to_string(m.len) + " ECU\n";
        const bool mux = i % 10 == 0;
        const int signals = m.fd ? 24 : 6;
        for (int k = 0; k < signals; ++k) {
            const int start = m.fd ? 8 + k * 16 : (k < 4 ? k * 8 : 32 + (k - 4) * 16);
            const int bits = m.fd || k >= 4 ? 16 : 8;
            std::string name = "S" + std::to_string(i) + "_" + std::to_string(k);
            std::string flag = mux && k == 0 ? " M" : mux ? " m" + std::to_string(k % 2) : "";
            dbc += " SG_ " + name + flag + " : " + std::to_string(start) + "|" + std::to_string(bits) +
                   "@1+ (" + (bits == 16 ? "0.1,-40" : "1,0") + ") [0|0] \"\" ECU\n";
            if (k == 0)
                vals += "VAL_ " + std::to_string(m.id) + " " + name + " 0 \"Off\" 1 \"On\" 2 \"Error\" 3 \"Init\" ;\n";
        }
        dbc += "\n";
    }
    dbc += "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"reserved\",\"J1939PG\",\"reserved\","
           "\"reserved\",\"reserved\",\"reserved\",\"reserved\",\"reserved\",\"reserved\",\"reserved\",\"reserved\","
           "\"reserved\",\"StandardCAN_FD\",\"ExtendedCAN_FD\";\n";
    for (const Message &m : *messages)
        if (m.fd)
            dbc += "BA_ \"VFrameFormat\" BO_ " + std::to_string(m.id) + " 14;\n";
    return dbc + vals;
}

// Frames at the messages' cycles, in time order, each payload a small step
// from the last; until the file reaches `bytes`.
bool make_trace(const std::string &path, std::vector<Message> messages, uint64_t bytes, uint64_t seed)
{
    trace::Writer w;
    if (!w.open(path, trace::Format::Blf, {})) {
        std::fprintf(stderr, "%s\n", w.error().c_str());
        return false;
    }
    std::mt19937_64 rng(seed);
    int64_t t = 1772409600000000 + static_cast<int64_t>(seed) * 3600000000LL;
    for (uint64_t tick = 0; w.bytes() < bytes; ++tick, t += 10000) {  // 10 ms ticks
        for (Message &m : messages) {
            if (tick % static_cast<uint64_t>(m.cycle_ms / 10) != 0)
                continue;
            trace::Frame f;
            const int64_t jitter = t + static_cast<int64_t>(rng() % 1000);
            f.sec = jitter / 1000000;
            f.usec = static_cast<uint32_t>(jitter % 1000000);
            f.channel = static_cast<int>(m.id & 1);
            f.id = m.id;
            f.fd = m.fd;
            f.brs = m.fd;
            f.len = static_cast<uint8_t>(m.len);
            f.dlc = static_cast<uint8_t>(trace::len_to_dlc(m.len));
            const uint64_t r = rng();
            for (int b = 0; b < m.len; ++b)
                if ((r >> (b % 32 * 2) & 3) == 0)
                    m.state[b] = static_cast<uint8_t>(m.state[b] + ((r >> b & 1) ? 1 : -1));
            m.state[0] = static_cast<uint8_t>(r % 4);
            std::copy(m.state, m.state + m.len, f.data.begin());
            if (!w.write(f)) {
                std::fprintf(stderr, "%s\n", w.error().c_str());
                return false;
            }
        }
    }
    return w.close();
}

uint64_t tree_bytes(const std::string &dir)
{
    uint64_t n = 0;
    std::error_code ec;
    for (const auto &e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file())
            n += e.file_size();
    return n;
}

double children_cpu_s()
{
    struct rusage u;
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs a shell command; its wall time in seconds, or -1 when it fails. The
// processor time of what it ran goes to *cpu_s.
double timed(const std::string &cmd, double *cpu_s = nullptr)
{
    const double t0 = now_s();
    const double c0 = children_cpu_s();
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", cmd.c_str());
        return -1;
    }
    if (cpu_s != nullptr)
        *cpu_s = children_cpu_s() - c0;
    return now_s() - t0;
}

// The signal values the lake summary counts ("..., N signal values; ...").
uint64_t signals_of(const std::string &summary_path)
{
    FILE *f = std::fopen(summary_path.c_str(), "r");
    if (f == nullptr)
        return 0;
    char line[512];
    uint64_t n = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char *p = std::strstr(line, " signal values");
        if (p == nullptr)
            continue;
        while (p > line && p[-1] >= '0' && p[-1] <= '9')
            --p;
        n = std::strtoull(p, nullptr, 10);
    }
    std::fclose(f);
    return n;
}

}  // namespace

int main(int argc, char **argv)
{
    bool short_run = false;
    double mb = 1024;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--short")
            short_run = true;
        else
            mb = std::atof(argv[i]);
    }
    if (short_run && argc == 2)
        mb = 4;
    char tmpl[] = "/tmp/velk_lake_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 1;
    const std::string dir = tmpl;
    const std::string dbc = dir + "/fleet.dbc";
    std::vector<Message> messages;
    {
        FILE *f = std::fopen(dbc.c_str(), "w");
        const std::string text = make_database(&messages);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    fs::create_directories(dir + "/truck1");
    const std::string traces = dir + "/truck1/a.blf " + dir + "/truck1/b.blf";
    const auto half = static_cast<uint64_t>(mb * 1e6 / 2);
    if (!make_trace(dir + "/truck1/a.blf", messages, half, 1) || !make_trace(dir + "/truck1/b.blf", messages, half, 2)) {
        note("lake: generating the traces", "failed");
        fs::remove_all(dir);
        return 1;
    }
    const uint64_t trace_bytes = fs::file_size(dir + "/truck1/a.blf") + fs::file_size(dir + "/truck1/b.blf");
    const std::string decode = std::string(VELK_DECODE_PATH) + " --dbc " + dbc;
    char what[160];
    std::snprintf(what, sizeof what, "lake: %.0f MB of BLF, %d messages", static_cast<double>(trace_bytes) / 1e6,
                  kMessages);

    double json_cpu = 0, j1_cpu = 0;
    const double json_s = timed(decode + " --json " + dir + "/truck1/a.blf > /dev/null && " + decode + " --json " +
                                    dir + "/truck1/b.blf > /dev/null",
                                &json_cpu);
    const double j1_s =
        timed(decode + " --lake " + dir + "/lake1 --jobs 1 " + traces + " 2> " + dir + "/summary1", &j1_cpu);
    const double j2_s = timed(decode + " --lake " + dir + "/lake2 --jobs 2 " + traces + " 2> " + dir + "/summary2");
    const uint64_t signals = signals_of(dir + "/summary1");
    if (json_s <= 0 || j1_s <= 0 || j2_s <= 0 || signals == 0) {
        note(what, "failed");
        fs::remove_all(dir);
        return 1;
    }
    const double s = static_cast<double>(signals);
    row(std::string(what) + ": signals/s into the lake, --jobs 1", s / j1_s, "signals/s", "velk_decode --json > /dev/null",
        s / json_s);
    // On a machine shared with other work the processor time says more.
    if (json_cpu > 0 && j1_cpu > 0)
        row(std::string(what) + ": signals per processor second into the lake", s / j1_cpu, "signals/s",
            "velk_decode --json", s / json_cpu);
    row(std::string(what) + ": signals/s into the lake, --jobs 2", s / j2_s, "signals/s", "--jobs 1", s / j1_s);
    row(std::string(what) + ": lake size", static_cast<double>(tree_bytes(dir + "/lake1")) / 1e6, "MB", "the BLF files",
        static_cast<double>(trace_bytes) / 1e6);

    const char *env = std::getenv("VELK_LAKE_READERS");
    const std::string readers = env != nullptr && *env != '\0' ? env : VELK_LAKE_READERS_DEFAULT;
    if (!fs::exists(readers + "/node_modules/@duckdb/node-api")) {
        note("lake: DuckDB count by message", "DuckDB not installed (scripts/lake-readers)");
    } else {
        const std::string jsonl = dir + "/all.jsonl";
        timed(decode + " --json " + dir + "/truck1/a.blf > " + jsonl + " && " + decode + " --json " + dir +
              "/truck1/b.blf >> " + jsonl);
        const std::string out = dir + "/duckdb.txt";
        if (timed("node " VELK_BENCH_DIR "/lake_count.mjs " + readers + " " + dir + "/lake1 " + jsonl + " > " + out) >
            0) {
            double lake_s = 0, json_count_s = 0;
            FILE *f = std::fopen(out.c_str(), "r");
            if (f != nullptr && std::fscanf(f, "%lf %lf", &lake_s, &json_count_s) == 2 && lake_s > 0)
                row("lake: DuckDB count by message over the lake", lake_s, "s", "over the --json output",
                    json_count_s);
            else
                note("lake: DuckDB count by message", "failed");
            if (f != nullptr)
                std::fclose(f);
        } else {
            note("lake: DuckDB count by message", "failed");
        }
    }
    fs::remove_all(dir);
    return 0;
}
