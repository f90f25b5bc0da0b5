// velk_socketcand's server against velk_dump on the same streams: frames a
// second from the emulated adapter to one and to four socketcand clients at
// once (frames lost counted), and the latency a frame takes from the moment
// it is handed to the adapter to its line at the client, at 4,000 frames/s.
// The server runs in this process (its library), velk_dump as a child
// process writing to a pipe; both are timed from the same starts.
//   bench_socketcand_rate [--short]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapter_link.h"
#include "bench_sim.h"
#include "server.h"

extern char **environ;

using namespace velk;
using namespace velk::bench;

namespace {

constexpr unsigned kSeed = 9;

// Data frames of the stream on CAN1 (the bus the clients open).
size_t data_in(size_t count)
{
    size_t d = 0;
    for (const sim::Report &r : sim::stream_sequence(count, kSeed))
        d += is_data(r) && r.channel == 0;
    return d;
}

// The payload's first four bytes: the frame's sequence number.
sim::Bytes numbered(uint32_t n)
{
    return sim::report_e1(0, false, false, 8, 0x100,
                          {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0, 0, 0, 0});
}

int hexval(char c)
{
    return c <= '9' ? c - '0' : (c & ~0x20) - 'A' + 10;
}

uint32_t number_at(const char *p)
{
    uint32_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = v << 4 | static_cast<uint32_t>(hexval(p[i]));
    return v;
}

// Reads lines or protocol items from `fd` until `want` frames came or the
// stream has been quiet for 3 s; the time of each numbered frame's arrival
// goes into arrivals[n] when given.
struct Reader {
    int fd = -1;
    bool protocol = true;  // "< frame ... >" items; else velk_dump's lines
    size_t want = 0;
    std::vector<double> *arrivals = nullptr;
    size_t got = 0;
    double last = 0;

    void run()
    {
        std::string buf;
        char b[65536];
        size_t at = 0;
        double quiet_since = now_s();
        while (got < want && now_s() - quiet_since < 3.0) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = read(fd, b, sizeof b);
            if (n <= 0)
                break;
            const double t = now_s();
            quiet_since = t;
            buf.append(b, static_cast<size_t>(n));
            const char end = protocol ? '>' : '\n';
            size_t e;
            while ((e = buf.find(end, at)) != std::string::npos) {
                // velk_dump prints both channels; the clients have can0's.
                if (!protocol && buf.compare(buf.find(')', at), 7, ") can0 ") != 0) {
                    at = e + 1;
                    continue;
                }
                ++got;
                last = t;
                if (arrivals) {
                    // "< frame 100 S.U XXXXXXXX... >" or "(S.U) can0 100#XXXXXXXX..."
                    const size_t mark = protocol ? buf.find(' ', buf.find(' ', buf.find("100", at)) + 1)
                                                 : buf.find('#', at);
                    if (mark != std::string::npos && mark + 9 <= e) {
                        const uint32_t k = number_at(buf.data() + mark + 1);
                        if (k < arrivals->size())
                            (*arrivals)[k] = t;
                    }
                }
                at = e + 1;
            }
            if (at > 65536) {
                buf.erase(0, at);
                at = 0;
            }
        }
    }
};

int connect_client(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return -1;
    const char open_raw[] = "< open can0 >< rawmode >";
    if (write(fd, open_raw, sizeof open_raw - 1) < 0)
        return -1;
    // "< hi >", "< ok >", "< ok >".
    std::string got;
    char b[64];
    while (std::count(got.begin(), got.end(), '>') < 3) {
        const ssize_t n = read(fd, b, sizeof b);
        if (n <= 0)
            return -1;
        got.append(b, static_cast<size_t>(n));
    }
    return fd;
}

// The server on the adapter, in this process.
struct Served {
    std::unique_ptr<netd::AdapterLink> link;
    std::unique_ptr<netd::Server> server;
    std::thread thread;

    bool start(const std::string &path)
    {
        netd::LinkOptions lo;
        lo.port_name = path;
        link = std::make_unique<netd::AdapterLink>(lo);
        if (link->start() != 0)
            return false;
        netd::ServerOptions so;
        so.port = 0;
        so.verbose = false;
        server = std::make_unique<netd::Server>(link.get(), so);
        std::string why;
        if (!server->listen_now(&why))
            return false;
        thread = std::thread([this] { server->run(); });
        return true;
    }
    void stop()
    {
        server->stop();
        thread.join();
        link->stop();
    }
};

// velk_dump on the adapter with its output into a pipe.
struct Dump {
    pid_t pid = -1;
    int out = -1;
    bool start(const std::string &path, size_t count)
    {
        int p[2];
        if (pipe(p) != 0)
            return false;
        std::vector<std::string> args = {VELK_DUMP_PATH, path};
        if (count > 0)
            args = {VELK_DUMP_PATH, "-n", std::to_string(count), path};
        std::vector<char *> argv_c;
        for (std::string &s : args)
            argv_c.push_back(s.data());
        argv_c.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_addclose(&fa, p[0]);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        const int r = posix_spawn(&pid, VELK_DUMP_PATH, &fa, nullptr, argv_c.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        close(p[1]);
        out = p[0];
        return r == 0;
    }
    void finish()
    {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(out);
    }
};

// Frames a second to `clients` clients at once; each reader's count and time.
void rate_rows(size_t reports, size_t data)
{
    double dump_rate = 0;
    {
        sim::Adapter a;
        if (!a.start())
            return;
        Dump d;
        if (!d.start(a.slave_path(), 0) || !wait_started(a, 30))
            return;
        Reader r{d.out, false, data};
        const double t0 = now_s();
        a.stream(reports, 0, kSeed);
        r.run();
        dump_rate = r.got / (r.last - t0);
        d.finish();
        row("velk_dump to a pipe, stream as fast as the pty takes it: CAN1 frames/s", dump_rate, "frames/s",
            "(the baseline of the rows below)", 0);
    }
    for (int clients : {1, 4}) {
        sim::Adapter a;
        if (!a.start())
            return;
        Served s;
        if (!s.start(a.slave_path()))
            return;
        std::vector<Reader> readers(static_cast<size_t>(clients));
        for (Reader &r : readers) {
            r.fd = connect_client(s.server->port());
            r.want = data;
        }
        std::vector<std::thread> threads;
        // The server holds a client's frames briefly after its "< ok >" to
        // rawmode; the stream starts after that.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const double t0 = now_s();
        a.stream(reports, 0, kSeed);
        for (Reader &r : readers)
            threads.emplace_back([&r] { r.run(); });
        for (std::thread &t : threads)
            t.join();
        double worst = 1e18;
        size_t lost = 0;
        for (Reader &r : readers) {
            worst = std::min(worst, r.got / (r.last - t0));
            lost += data - r.got;
            close(r.fd);
        }
        s.stop();
        const std::string n = std::to_string(clients) + (clients == 1 ? " client" : " clients at once");
        row("velk_socketcand to " + n + ", same stream: CAN1 frames/s (the slowest client)", worst, "frames/s",
            "velk_dump, same stream", dump_rate);
        row("velk_socketcand to " + n + ": frames lost of " + std::to_string(data * clients), double(lost),
            "frames", "must be 0", 0);
    }
}

// Paced frames handed to the adapter one by one; the latency to each line.
std::vector<double> latencies(bool socketcand, int frames, int per_s)
{
    sim::Adapter a;
    std::vector<double> lat;
    if (!a.start())
        return lat;
    Served s;
    Dump d;
    int fd = -1;
    if (socketcand) {
        if (!s.start(a.slave_path()) || (fd = connect_client(s.server->port())) < 0)
            return lat;
    } else {
        if (!d.start(a.slave_path(), static_cast<size_t>(frames)) || !wait_started(a, 30))
            return lat;
        fd = d.out;
    }
    std::vector<double> sent(static_cast<size_t>(frames), 0), arrived(static_cast<size_t>(frames), 0);
    Reader r{fd, socketcand, static_cast<size_t>(frames), &arrived};
    std::thread reader([&r] { r.run(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double period = 1.0 / per_s;
    const double t0 = now_s() + 0.1;
    for (int i = 0; i < frames; ++i) {
        const double due = t0 + i * period;
        const double wait = due - now_s();
        if (wait > 0)
            std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        sent[static_cast<size_t>(i)] = now_s();
        a.inject(numbered(static_cast<uint32_t>(i)));
    }
    reader.join();
    if (socketcand) {
        close(fd);
        s.stop();
    } else {
        d.finish();
    }
    for (int i = 0; i < frames; ++i)
        if (arrived[static_cast<size_t>(i)] > 0)
            lat.push_back(arrived[static_cast<size_t>(i)] - sent[static_cast<size_t>(i)]);
    std::sort(lat.begin(), lat.end());
    return lat;
}

double pct(const std::vector<double> &v, double p)
{
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

}  // namespace

int main(int argc, char **argv)
{
    const bool short_run = argc > 1 && std::strcmp(argv[1], "--short") == 0;
    for (int i = 0; i < VELK_PORT_COUNT; ++i)
        comports[i] = "/nonexistent/velk-bench";
    const size_t reports = short_run ? 20000 : 400000;
    rate_rows(reports, data_in(reports));

    const int frames = short_run ? 2000 : 20000;
    const std::vector<double> dump = latencies(false, frames, 4000);
    const std::vector<double> net = latencies(true, frames, 4000);
    row("latency to velk_dump's line at 4,000 frames/s: p50 / p99", pct(dump, 0.5) * 1e6, "us",
        "p99 " + std::to_string(static_cast<int>(pct(dump, 0.99) * 1e6)) + " us", 0);
    row("latency to a velk_socketcand client at 4,000 frames/s: p50", pct(net, 0.5) * 1e6, "us",
        "velk_dump p50", pct(dump, 0.5) * 1e6);
    row("latency to a velk_socketcand client at 4,000 frames/s: p99", pct(net, 0.99) * 1e6, "us",
        "velk_dump p99", pct(dump, 0.99) * 1e6);
    row("client p99 minus velk_dump p99 (added latency; target under 2 ms)", (pct(net, 0.99) - pct(dump, 0.99)) * 1e3,
        "ms", "target 2 ms", 2.0);
    row("frames seen by velk_dump / by the client of " + std::to_string(frames),
        static_cast<double>(dump.size()), "/ " + std::to_string(net.size()), "", 0);
    return 0;
}
