// The trace formats on one large file: a candump log of a realistic mix
// (11- and 29-bit, classic and CAN FD, remote and error frames, two
// channels, some sent) converted by velk_convert into every other format,
// then:
//   - each format read to frames with trace::Reader, against python-can
//     4.1's reader of the same file (BLF, .log, ASC) and, for BLF and MF4,
//     against zlib alone inflating the same compressed data;
//   - velk_convert .log -> .blf and .blf -> .mf4 against `cat FILE` of the
//     same run, and the converter's peak resident size.
// Read rates are by processor time (the machine may be busy with other
// work); conversions by wall-clock time, as a user sees them.
//   bench_trace_rate [--short] [MB]    MB: the log's size (default 1024)
// VELK_BENCH_KEEP=1 keeps the files (their folder is named).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "trace.h"

extern char **environ;

using namespace velk;
using namespace velk::bench;
namespace fs = std::filesystem;

namespace {

struct Child {
    bool ok = false;
    double wall = 0, cpu = 0;
    long max_rss_kb = 0;
    std::string out;
};

// Runs a program with standard output to `out_path` (or captured when
// empty) and standard error dropped.
Child run(const std::vector<std::string> &args, const std::string &out_path = "")
{
    Child c;
    std::vector<char *> argv;
    for (const std::string &s : args)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    int pipe_fd[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out_path.empty()) {
        if (pipe(pipe_fd) != 0)
            return c;
        posix_spawn_file_actions_adddup2(&fa, pipe_fd[1], 1);
        posix_spawn_file_actions_addclose(&fa, pipe_fd[0]);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    const double t0 = now_s();
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (pipe_fd[1] >= 0)
        close(pipe_fd[1]);
    if (spawned != 0) {
        if (pipe_fd[0] >= 0)
            close(pipe_fd[0]);
        return c;
    }
    if (pipe_fd[0] >= 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0)
            c.out.append(buf, static_cast<size_t>(n));
        close(pipe_fd[0]);
    }
    int status = 0;
    struct rusage ru;
    wait4(pid, &status, 0, &ru);
    c.wall = now_s() - t0;
    c.cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    c.max_rss_kb = ru.ru_maxrss;
    c.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return c;
}

// The mix: 48 identifiers on a bus at about 20,000 frames/s.
struct Source {
    uint32_t id;
    bool extended, fd;
    int len;
    int channel;
    bool tx;
};

std::vector<Source> make_sources()
{
    std::vector<Source> s;
    for (int i = 0; i < 48; ++i) {
        Source x{};
        x.extended = i % 6 == 5;
        x.id = x.extended ? 0x18FE0000u + static_cast<uint32_t>(i) * 0x111 : 0x080u + static_cast<uint32_t>(i) * 23;
        x.fd = i % 5 == 4;
        static const int kFdLens[] = {12, 16, 20, 32, 48, 64};
        x.len = x.fd ? kFdLens[i % 6] : (i % 7 == 3 ? 4 : 8);
        x.channel = i % 3 == 2 ? 1 : 0;
        x.tx = i % 11 == 7;
        s.push_back(x);
    }
    return s;
}

uint64_t make_log(const std::string &path, uint64_t bytes)
{
    trace::Writer w;
    if (!w.open(path, trace::Format::CandumpLog, {}))
        return 0;
    const std::vector<Source> sources = make_sources();
    std::mt19937 rng(45);
    int64_t t = 1'700'000'000LL * 1000000;
    std::vector<std::array<uint8_t, 64>> state(sources.size());
    uint64_t frames = 0;
    while (w.bytes() < bytes) {
        t += 20 + static_cast<int64_t>(rng() % 60);
        const uint32_t pick = rng();
        trace::Frame f;
        f.sec = t / 1000000;
        f.usec = static_cast<uint32_t>(t % 1000000);
        if (pick % 2000 == 0) {
            f.error = true;
            f.channel = static_cast<int>(pick >> 16) & 1;
        } else {
            const size_t k = (pick >> 8) % sources.size();
            const Source &s = sources[k];
            f.id = s.id;
            f.extended = s.extended;
            f.channel = s.channel;
            f.tx = s.tx;
            if (!s.fd && pick % 500 == 1) {
                f.remote = true;
                f.dlc = static_cast<uint8_t>(s.len);
            } else {
                f.fd = s.fd;
                f.brs = s.fd && k % 2 == 0;
                f.len = static_cast<uint8_t>(s.len);
                f.dlc = static_cast<uint8_t>(trace::len_to_dlc(s.len));
                // Slowly changing signals: a counter, a few bytes that move.
                std::array<uint8_t, 64> &d = state[k];
                d[0] = static_cast<uint8_t>(d[0] + 1);
                d[1 + (pick >> 20) % (s.len - 1)] ^= static_cast<uint8_t>(pick >> 24);
                std::copy(d.begin(), d.begin() + s.len, f.data.begin());
            }
        }
        if (!w.write(f))
            return 0;
        ++frames;
    }
    return w.close() ? frames : 0;
}

uint64_t file_size(const std::string &path)
{
    std::error_code ec;
    const auto n = fs::file_size(path, ec);
    return ec ? 0 : n;
}

// Reads a whole trace with trace::Reader: frames and processor time.
struct ReadResult {
    uint64_t frames = 0;
    double cpu = 0;
    bool ok = false;
};

ReadResult read_all(const std::string &path)
{
    ReadResult r;
    trace::Format format;
    trace::Reader reader;
    if (!trace::format_of(path, &format) || !reader.open(path, format, {}))
        return r;
    const double c0 = thread_cpu_s();
    trace::Frame f;
    int got;
    while ((got = reader.next(&f)) > 0)
        ++r.frames;
    r.cpu = thread_cpu_s() - c0;
    r.ok = got == 0;
    return r;
}

// The zlib baseline: inflate every compressed piece of the file, nothing
// else. The walkers know just enough of each format to find the pieces.
struct Inflater {
    z_stream z{};
    std::vector<uint8_t> out = std::vector<uint8_t>(256 * 1024);
    uint64_t produced = 0;
    bool ok = true;

    Inflater() { inflateInit(&z); }
    ~Inflater() { inflateEnd(&z); }
    void run(const uint8_t *in, size_t n)
    {
        inflateReset(&z);
        z.next_in = const_cast<uint8_t *>(in);
        z.avail_in = static_cast<uInt>(n);
        int rc;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            produced += out.size() - z.avail_out;
        } while (rc == Z_OK);
        ok = ok && rc == Z_STREAM_END;
    }
};

uint32_t u32(const uint8_t *p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint64_t u64(const uint8_t *p) { return u32(p) | static_cast<uint64_t>(u32(p + 4)) << 32; }

// Reads the file in pieces of `chunk` bytes into `buf` as the walkers move
// through it (objects and blocks never exceed a few MB in these files).
class Window {
public:
    explicit Window(const std::string &path) : f_(std::fopen(path.c_str(), "rb")) {}
    ~Window()
    {
        if (f_)
            std::fclose(f_);
    }
    // `n` bytes at `at`, or null past the end.
    const uint8_t *at(uint64_t at, size_t n)
    {
        if (!f_)
            return nullptr;
        if (at < base_ || at + n > base_ + buf_.size()) {
            buf_.resize(std::max<size_t>(n, 4 << 20));
            if (fseeko(f_, static_cast<off_t>(at), SEEK_SET) != 0)
                return nullptr;
            buf_.resize(std::fread(buf_.data(), 1, buf_.size(), f_));
            base_ = at;
            if (buf_.size() < n)
                return nullptr;
        }
        return buf_.data() + (at - base_);
    }

private:
    FILE *f_;
    std::vector<uint8_t> buf_;
    uint64_t base_ = 0;
};

// BLF: the header's own size, then objects; a container (type 10) with
// method 2 holds zlib data after its 32-byte header.
double inflate_blf(const std::string &path, uint64_t *produced)
{
    Window w(path);
    Inflater z;
    const uint8_t *h = w.at(0, 8);
    if (!h)
        return 0;
    uint64_t at = u32(h + 4);
    const double c0 = thread_cpu_s();
    while (const uint8_t *o = w.at(at, 32)) {
        if (std::memcmp(o, "LOBJ", 4) != 0)
            break;
        const uint32_t size = u32(o + 8), type = u32(o + 12);
        if (size < 16)
            break;
        if (type == 10 && (o[16] | o[17] << 8) == 2) {
            const uint8_t *d = w.at(at + 32, size - 32);
            if (!d)
                break;
            z.run(d, size - 32);
        }
        at += size + (size & 3);
    }
    *produced = z.ok ? z.produced : 0;
    return thread_cpu_s() - c0;
}

// MF4: blocks one after the other from byte 64, each 8-byte aligned; a DZ
// block of plain deflate (type 0) holds its data after 48 bytes.
double inflate_mf4(const std::string &path, uint64_t *produced)
{
    Window w(path);
    Inflater z;
    uint64_t at = 64;
    const double c0 = thread_cpu_s();
    while (const uint8_t *b = w.at(at, 24)) {
        if (b[0] != '#' || b[1] != '#')
            break;
        const uint64_t len = u64(b + 8);
        if (len < 24)
            break;
        if (std::memcmp(b, "##DZ", 4) == 0 && len >= 48) {
            const uint8_t *d = w.at(at, len);
            if (!d || d[26] != 0)
                break;
            z.run(d + 48, u64(d + 40));
        }
        at += (len + 7) & ~uint64_t{7};
    }
    *produced = z.ok ? z.produced : 0;
    return thread_cpu_s() - c0;
}

// python-can's reader of the file over its first `limit` messages:
// messages and the processor time of reading them (the interpreter's
// start-up left out).
const char kPythonRead[] =
    "import sys, time, can\n"
    "kind, path, limit = sys.argv[1], sys.argv[2], int(sys.argv[3])\n"
    "t0 = time.process_time()\n"
    "reader = {'blf': can.BLFReader, 'log': can.CanutilsLogReader, 'asc': can.ASCReader}[kind](path)\n"
    "n = 0\n"
    "for m in reader:\n"
    "    n += 1\n"
    "    if n == limit: break\n"
    "print(n, time.process_time() - t0)\n";

std::string human(uint64_t n)
{
    char b[32];
    if (n < 1000000)
        std::snprintf(b, sizeof b, "%.0f k", static_cast<double>(n) / 1e3);
    else
        std::snprintf(b, sizeof b, "%.1f M", static_cast<double>(n) / 1e6);
    return b;
}

}  // namespace

int main(int argc, char **argv)
{
    bool short_run = false;
    int mb = 1024;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0)
            short_run = true;
        else
            mb = std::atoi(argv[i]);
    }
    if (short_run)
        mb = 8;
    const uint64_t python_limit = short_run ? 20000 : 2000000;

    char dir_tmpl[] = "/tmp/velk_bench_trace_XXXXXX";
    if (mkdtemp(dir_tmpl) == nullptr)
        return 1;
    const std::string dir = dir_tmpl;
    const std::string log = dir + "/mix.log";
    const uint64_t frames = make_log(log, static_cast<uint64_t>(mb) << 20);
    if (frames == 0) {
        note("trace formats", "cannot write " + log);
        return 1;
    }
    const std::string tag = std::to_string(file_size(log) >> 20) + " MB log, " + human(frames) + " frames";
    note("trace formats: the file", tag + " (11/29-bit, classic and FD, remote, error, two channels)");
    int failed = 0;

    // The conversions: timed where they are the figure, the rest made once.
    const std::string blf = dir + "/mix.blf", mf4 = dir + "/mix.mf4";
    const Child cat_log = run({"cat", log}, "/dev/null");
    const Child to_blf = run({VELK_CONVERT_PATH, log, blf});
    const Child cat_blf = run({"cat", blf}, "/dev/null");
    const Child to_mf4 = run({VELK_CONVERT_PATH, blf, mf4});
    const double log_mb = static_cast<double>(file_size(log)) / 1e6, blf_mb = static_cast<double>(file_size(blf)) / 1e6;
    if (!to_blf.ok || !to_mf4.ok || !cat_log.ok || !cat_blf.ok) {
        note("velk_convert", "a conversion failed");
        failed = 1;
    } else {
        row("velk_convert .log -> .blf (" + tag + ")", log_mb / to_blf.wall, "MB/s of input", "cat of the .log",
            log_mb / cat_log.wall);
        row("velk_convert .blf -> .mf4", blf_mb / to_mf4.wall, "MB/s of input", "cat of the .blf",
            blf_mb / cat_blf.wall);
        row("velk_convert peak resident size, .log -> .blf", static_cast<double>(to_blf.max_rss_kb) / 1024, "MB",
            "goal under 50 MB", 50);
        row("velk_convert peak resident size, .blf -> .mf4", static_cast<double>(to_mf4.max_rss_kb) / 1024, "MB",
            "goal under 50 MB", 50);
    }
    std::vector<std::string> files = {log, blf, mf4};
    for (const char *ext : {"asc", "csv", "trc", "pcapng", "pcap", "log.zst"}) {
        const std::string out = dir + "/mix." + ext;
        if (run({VELK_CONVERT_PATH, log, out}).ok) {
            files.push_back(out);
        } else {
            note(std::string("velk_convert .log -> .") + ext, "failed");
            failed = 1;
        }
    }

    // Reading each format, and python-can's reader of the same file.
    double log_rate = 0;
    for (const std::string &path : files) {
        const std::string ext = path.substr(path.find('.') + 1);
        const ReadResult r = read_all(path);
        if (!r.ok || r.frames != frames) {
            note("reading ." + ext, "read " + std::to_string(r.frames) + " of " + std::to_string(frames) + " frames");
            failed = 1;
            continue;
        }
        const double rate = static_cast<double>(r.frames) / r.cpu;
        if (ext == "log")
            log_rate = rate;
        const double mb_size = static_cast<double>(file_size(path)) / 1e6;
        char size_text[64];
        std::snprintf(size_text, sizeof size_text, " (%.0f MB)", mb_size);
        if (ext == "blf" || ext == "log" || ext == "asc") {
            const Child py = run({"/usr/bin/python3", "-c", kPythonRead, ext, path, std::to_string(python_limit)});
            double py_frames = 0, py_cpu = 0;
            if (py.ok && std::sscanf(py.out.c_str(), "%lf %lf", &py_frames, &py_cpu) == 2 && py_cpu > 0)
                row("read ." + ext + size_text + ", frames/s by CPU", rate, "frames/s",
                    "python-can 4.1 reader, first " + human(static_cast<uint64_t>(py_frames)) + " frames",
                    py_frames / py_cpu);
            else
                row("read ." + ext + size_text + ", frames/s by CPU", rate, "frames/s", "python-can: failed", 0);
        } else {
            row("read ." + ext + size_text + ", frames/s by CPU", rate, "frames/s", "read .log", log_rate);
        }
        if (ext == "blf" || ext == "mf4") {
            uint64_t produced = 0;
            const double t = ext == "blf" ? inflate_blf(path, &produced) : inflate_mf4(path, &produced);
            if (produced == 0) {
                note("zlib alone, ." + ext, "the walker found no compressed data");
                failed = 1;
            } else {
                // Frames/s if parsing cost nothing: the goal is 0.7 or more.
                row("read ." + ext + " against zlib alone inflating its data", rate, "frames/s",
                    "inflate only, " + std::to_string(produced >> 20) + " MB out",
                    static_cast<double>(frames) / t);
            }
        }
    }

    std::error_code ec;
    if (std::getenv("VELK_BENCH_KEEP"))
        note("trace formats: the files", "kept in " + dir);
    else
        fs::remove_all(dir, ec);
    return failed;
}
