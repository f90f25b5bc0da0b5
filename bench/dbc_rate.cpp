// The DBC module: loading a generated 1 MB database, and decoding frames of
// a generated 100-message database on one core (find the message, decode
// its signals). Baselines of the same run: the targets (50 ms, 20 M
// signals/s) and python3-canmatrix loading the same file and decoding the
// same frames (bench/dbc_canmatrix.py); the count of signals both decoded
// from those frames must agree.
//   bench_dbc_rate [--short]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "dbc.h"

using namespace velk::bench;

namespace {

struct Generated {
    std::string text;
    size_t messages = 0, signals = 0;
};

// A database of `messages` messages in the shapes real ones have: both byte
// orders, signed and scaled signals, value descriptions, a multiplexed
// message in every ten, 29-bit identifiers in every four, comments and
// attributes.
Generated database(size_t messages, unsigned seed)
{
    std::mt19937 rng(seed);
    Generated g;
    g.text = "VERSION \"bench\"\n\nNS_ :\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n\nBS_:\n\nBU_: Ecu1 Ecu2 Ecu3\n\n";
    std::string tail;
    for (size_t i = 0; i < messages; ++i) {
        const bool ext = i % 4 == 3;
        const uint32_t id = ext ? 0x80000000u | (0x18F00000u + static_cast<uint32_t>(i) * 256) : 0x100 + static_cast<uint32_t>(i);
        const std::string sid = std::to_string(id);
        const bool mux = i % 10 == 9;
        g.text += "BO_ " + sid + " Message" + std::to_string(i) + ": 8 Ecu" + std::to_string(i % 3 + 1) + "\n";
        int bit = 0;
        for (int k = 0; bit < 64; ++k) {
            int len = std::min(64 - bit, 1 + static_cast<int>(rng() % 16));
            const std::string name = "Signal" + std::to_string(k) + "_" + std::to_string(i);
            std::string mark;
            if (mux && k == 0) {
                len = 4;
                mark = " M";
            } else if (mux && bit >= 8) {
                mark = " m" + std::to_string(k % 3);
            }
            const bool big = rng() % 2 == 0;
            // A big-endian signal of bits [bit, bit + len) counted MSB first from byte 0.
            const int start = big ? bit / 8 * 8 + 7 - bit % 8 : bit;
            const bool sign = rng() % 3 == 0;
            const char *factor = rng() % 2 ? "0.1" : "1";
            g.text += " SG_ " + name + mark + " : " + std::to_string(start) + "|" + std::to_string(len) +
                      (big ? "@0" : "@1") + (sign ? "-" : "+") + " (" + factor + "," + (rng() % 4 ? "0" : "-40") +
                      ") [0|0] \"unit\" Ecu1,Ecu2\n";
            if (len <= 4 && k % 2 == 0)
                tail += "VAL_ " + sid + " " + name + " 0 \"Off\" 1 \"On\" 2 \"Error\" 3 \"NotAvailable\" ;\n";
            tail += "CM_ SG_ " + sid + " " + name + " \"Signal " + std::to_string(k) + " of message " +
                    std::to_string(i) + ", as a tool writes it\";\n";
            bit += len;
            ++g.signals;
        }
        g.text += "\n";
        tail += "BA_ \"GenMsgCycleTime\" BO_ " + sid + " " + std::to_string(10 * (1 + i % 10)) + ";\n";
        ++g.messages;
    }
    g.text += "BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\nBA_DEF_DEF_ \"GenMsgCycleTime\" 0;\n" + tail;
    return g;
}

// Processor time of this thread, to the nanosecond (the decode loop takes
// milliseconds).
double thread_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool write_text(const std::string &path, const std::string &text)
{
    FILE *f = std::fopen(path.c_str(), "w");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// canmatrix's figures: load seconds, decode seconds, signals decoded.
bool canmatrix(const std::string &dbc, const std::string &frames, double out[3])
{
    const std::string cmd = "/usr/bin/python3 " + std::string(VELK_BENCH_DIR) + "/dbc_canmatrix.py " + dbc + " " + frames;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return false;
    const int n = std::fscanf(p, "%lf %lf %lf", &out[0], &out[1], &out[2]);
    return pclose(p) == 0 && n == 3;
}

}  // namespace

int main(int argc, char **argv)
{
    const bool short_run = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    char dir_template[] = "/tmp/velk_bench_dbc_XXXXXX";
    const char *dir = mkdtemp(dir_template);
    if (dir == nullptr)
        return 1;
    const std::string big_path = std::string(dir) + "/big.dbc", db_path = std::string(dir) + "/db.dbc",
                      frames_path = std::string(dir) + "/frames.txt";

    // ---- loading 1 MB ----
    Generated big;
    for (size_t n = 1000; big.text.size() < (1u << 20); n += 200)
        big = database(n, 1);
    velk::dbc::Database db;
    double best = 1e9;
    for (int run = 0; run < (short_run ? 1 : 5); ++run) {
        const double t0 = now_s();
        const velk::dbc::LoadResult r = velk::dbc::load_string(big.text, "big.dbc", &db);
        best = std::min(best, now_s() - t0);
        if (!r.ok || db.messages().size() != big.messages) {
            note("DBC load", "failed: " + r.error);
            return 1;
        }
    }
    const std::string what = "DBC load, generated " + std::to_string(big.text.size() / 1024) + " KiB file (" +
                             std::to_string(big.messages) + " messages, " + std::to_string(big.signals) + " signals)";
    row(what, best * 1e3, "ms", "target 50 ms", 50);

    // ---- decoding 100 messages ----
    const Generated hundred = database(100, 2);
    if (!velk::dbc::load_string(hundred.text, "db.dbc", &db).ok)
        return 1;
    std::mt19937 rng(3);
    const size_t count = short_run ? 100000 : 5000000;
    struct Input {
        uint32_t id;
        bool ext;
        uint8_t data[8];
    };
    std::vector<Input> frames(4096);
    for (Input &f : frames) {
        const velk::dbc::Message &m = db.messages()[rng() % db.messages().size()];
        f.id = m.id;
        f.ext = m.extended;
        for (uint8_t &b : f.data)
            b = static_cast<uint8_t>(rng());
    }
    std::vector<velk::dbc::Value> values(db.max_signals());
    uint64_t signals = 0;
    double sum = 0;
    const double t0 = now_s(), c0 = thread_seconds();
    for (size_t i = 0; i < count; ++i) {
        const Input &f = frames[i & (frames.size() - 1)];
        const velk::dbc::Message *m = db.find(f.id, f.ext);
        const int n = velk::dbc::decode(*m, f.data, 8, values.data());
        signals += static_cast<uint64_t>(n);
        sum += values[static_cast<size_t>(n) - 1].value;
    }
    const double wall = now_s() - t0, cpu = thread_seconds() - c0;
    const double rate = static_cast<double>(signals) / cpu;
    row("DBC decode, 100-message database, " + std::to_string(count) + " frames on one core (" +
            std::to_string(hundred.signals) + " signals, " + std::to_string(signals / count) + " a frame)",
        rate / 1e6, "M signals/s", "target 20 M signals/s", 20);
    row("DBC decode, the same, wall-clock", static_cast<double>(signals) / wall / 1e6, "M signals/s", "", 0);

    // ---- python3-canmatrix on the same file and frames ----
    const size_t cm_frames = short_run ? 500 : 20000;
    std::string lines;
    uint64_t ours = 0;
    char buf[64];
    for (size_t i = 0; i < cm_frames; ++i) {
        const Input &f = frames[i % frames.size()];
        std::snprintf(buf, sizeof buf, "%u %d ", f.id, f.ext ? 1 : 0);
        lines += buf;
        for (uint8_t b : f.data) {
            std::snprintf(buf, sizeof buf, "%02X", b);
            lines += buf;
        }
        lines += "\n";
        ours += static_cast<uint64_t>(velk::dbc::decode(*db.find(f.id, f.ext), f.data, 8, values.data()));
    }
    double cm[3];
    if (!write_text(db_path, hundred.text) || !write_text(frames_path, lines) || !canmatrix(db_path, frames_path, cm)) {
        note("DBC decode vs python3-canmatrix", "python3-canmatrix did not run");
    } else {
        char baseline[64];
        std::snprintf(baseline, sizeof baseline, "canmatrix %.3g M signals/s", cm[2] / cm[1] / 1e6);
        row("DBC decode vs python3-canmatrix decode of " + std::to_string(cm_frames) + " of the frames", rate / 1e6,
            "M signals/s", baseline, cm[2] / cm[1] / 1e6);
        row("signals decoded from those frames, ours vs canmatrix", static_cast<double>(ours), "signals",
            "canmatrix " + std::to_string(static_cast<long>(cm[2])) + " (must be equal)", cm[2]);
    }
    if (!short_run) {
        const std::string none = std::string(dir) + "/none.txt";
        if (write_text(big_path, big.text) && write_text(none, "") && canmatrix(big_path, none, cm))
            row("DBC load of the 1 MB file vs python3-canmatrix", best * 1e3, "ms",
                "canmatrix " + std::to_string(static_cast<long>(cm[0] * 1e3)) + " ms", cm[0] * 1e3);
    }
    std::remove(big_path.c_str());
    std::remove(db_path.c_str());
    std::remove(frames_path.c_str());
    std::remove((std::string(dir) + "/none.txt").c_str());
    rmdir(dir);
    // Keeps the decoded values from being optimised away.
    return sum == 12345.678 ? 2 : 0;
}
