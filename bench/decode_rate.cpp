// Receive decode rate: the emulated adapter streams mixed reports as fast as
// the tty takes them and a loop of VELKReceive_CANFD decodes them. Baseline:
// a plain read loop draining the same byte stream from the same kind of tty.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "adapter.h"
#include "bench_util.h"
#include "lib_velk_2.h"

using namespace velk;
using namespace velk::bench;

namespace {

size_t stream_bytes(const std::vector<sim::Report> &seq)
{
    size_t n = 0;
    for (const sim::Report &r : seq)
        n += sim::report_length(r);
    return n;
}

double plain_read_rate(size_t count, size_t total_bytes)
{
    sim::Adapter a;
    if (!a.start())
        return 0;
    int fd = open(a.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    a.stream(count, 0, 7, 4096);
    unsigned char buf[4096];
    size_t got = 0;
    double t0 = now_s();
    while (got < total_bytes) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0)
            got += static_cast<size_t>(n);
    }
    double dt = now_s() - t0;
    close(fd);
    return got == total_bytes ? count / dt : 0;
}

bool matches(const sim::Report &want, const CAN_FRAME_INFO &got)
{
    switch (want.kind) {
    case sim::Report::E1:
        return got.msg_type == VELK_DATA_TYPE && got.id == want.id && got.dlc == want.dlc;
    case sim::Report::E2:
    case sim::Report::F1:
        return got.msg_type == VELK_DATA_TYPE && got.timestamp.second == want.second && got.id == want.id &&
               got.dlc == want.dlc && got.CAN_port == want.channel &&
               std::memcmp(got.data, want.data.data(), static_cast<size_t>(sim::dlc_length(want.dlc))) == 0;
    case sim::Report::EepromError:
        return got.msg_type == VELK_EEERR_TYPE;
    default:
        return got.msg_type != VELK_DATA_TYPE && std::memcmp(got.data_err[0], want.status.data(), 6) == 0 &&
               std::memcmp(got.data_err[1], want.status.data() + 6, 6) == 0;
    }
}

}  // namespace

int main(int argc, char **argv)
{
    size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 200000;
    std::vector<sim::Report> seq = sim::stream_sequence(count, 7);
    size_t total = stream_bytes(seq);

    sim::Adapter a;
    if (!a.start())
        return 1;
    static std::string path = a.slave_path();
    comports[0] = path.c_str();
    if (VELKOpenDevice(0) != 0)
        return 1;

    a.stream(count, 0, 7, 4096);
    CAN_FRAME_INFO f;
    size_t next = 0, bad = 0;
    double t0 = now_s(), c0 = thread_cpu_s(), last_progress = t0;
    while (next < count && now_s() - last_progress < 2.0) {
        std::memset(&f, 0, sizeof(f));
        if (VELKReceive_CANFD(0, &f) != 1)
            continue;
        last_progress = now_s();
        if (!matches(seq[next], f))
            ++bad;
        ++next;
    }
    double dt = last_progress - t0, cpu = thread_cpu_s() - c0;
    VELKCloseDevice(0);
    a.stop();

    double rate = next / dt;
    double base = plain_read_rate(count, total);
    row("receive decode rate (" + std::to_string(count) + " mixed reports)", rate, "reports/s",
        "plain read() of the same stream", base);
    row("receive decode rate, link throughput", total / dt / 1e6, "MB/s", "USB full-speed VCOM ~1.2 MB/s", 1.2);
    row("receive decode rate vs bus limit", rate, "reports/s", "2 x 1 Mbit/s CAN, 8-byte frames ~18000/s", 18000);
    row("receive decode CPU per report (decoding thread, polling included)", cpu / (next ? next : 1) * 1e6, "us", "", 0);
    row("receive decode lost or corrupted", static_cast<double>((count - next) + bad), "reports", "must be 0", 0);
    return 0;
}
