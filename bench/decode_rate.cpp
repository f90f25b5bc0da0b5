// Receive decode rate: the emulated adapter writes a pre-encoded stream of
// mixed reports as fast as the tty takes it, and a loop of VELKReceive_CANFD
// (waiting for input between empty calls, as the utility's worker does)
// decodes it. Baseline: a plain read() loop draining the same byte stream
// from the same kind of tty. Every record is checked against the report sent.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "adapter.h"
#include "bench_util.h"
#include "internal.h"

using namespace velk;
using namespace velk::bench;

namespace {

// The stream as one buffer, written in pieces of about 4 KiB, so that the
// emulator does not limit what the reader can take.
sim::Bytes pre_encoded(const std::vector<sim::Report> &seq)
{
    sim::Bytes all;
    for (const sim::Report &r : seq) {
        const sim::Bytes b = sim::encode(r);
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

int pieces_of(const sim::Bytes &all)
{
    return static_cast<int>(all.size() / 4096 + 1);
}

struct PlainRead {
    double rate = 0;
    double cpu_per_report_us = 0;
};

PlainRead plain_read(size_t count, const sim::Bytes &all)
{
    PlainRead out;
    sim::Adapter a;
    if (!a.start())
        return out;
    int fd = open(a.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios t;
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    a.inject(all, pieces_of(all));
    unsigned char buf[4096];
    size_t got = 0;
    const double t0 = now_s(), c0 = thread_cpu_s();
    while (got < all.size()) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            break;
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n > 0)
            got += static_cast<size_t>(n);
    }
    const double dt = now_s() - t0, cpu = thread_cpu_s() - c0;
    close(fd);
    if (got == all.size()) {
        out.rate = count / dt;
        out.cpu_per_report_us = cpu / count * 1e6;
    }
    return out;
}

// Every field the report gives, as the decoder must set it.
bool matches(const sim::Report &want, const CAN_FRAME_INFO &got)
{
    switch (want.kind) {
    case sim::Report::E1:
    case sim::Report::E2:
    case sim::Report::F1: {
        const int n = want.kind == sim::Report::F1 ? sim::dlc_length(want.dlc) : 8;
        const bool stamped = want.kind != sim::Report::E1;
        return got.msg_type == VELK_DATA_TYPE && got.CAN_port == want.channel &&
               got.id_type == (want.extended ? VELK_EID : VELK_SID) && got.rtr == (want.rtr ? 1 : 0) &&
               got.dlc == want.dlc && got.id == want.id &&
               std::memcmp(got.data, want.data.data(), static_cast<size_t>(n)) == 0 &&
               (!stamped || (got.timestamp.second == want.second && got.timestamp.micro_second == want.micro_second)) &&
               (want.kind != sim::Report::F1 || (got.brs == (want.fd_flags & 1) && got.esi == ((want.fd_flags >> 1) & 1)));
    }
    case sim::Report::EepromError:
        return got.msg_type == VELK_EEERR_TYPE;
    default: {
        const int type = want.kind == sim::Report::BusError      ? VELK_BUSERR_TYPE
                         : want.kind == sim::Report::BusErrorPsr ? VELK_BUSERR_PSR_TYPE
                                                                 : VELK_GETBUS_TYPE;
        return got.msg_type == type && std::memcmp(got.data_err, want.status.data(), 12) == 0;
    }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
    const std::vector<sim::Report> seq = sim::stream_sequence(count, 7);
    const sim::Bytes all = pre_encoded(seq);

    sim::Adapter a;
    if (!a.start())
        return 1;
    static std::string path = a.slave_path();
    comports[0] = path.c_str();
    if (VELKOpenDevice(0) != 0)
        return 1;

    a.inject(all, pieces_of(all));
    CAN_FRAME_INFO f;
    size_t next = 0, bad = 0;
    const double t0 = now_s(), c0 = thread_cpu_s();
    double last_progress = t0;
    while (next < count && now_s() - last_progress < 2.0) {
        std::memset(&f, 0, sizeof(f));
        if (VELKReceive_CANFD(0, &f) != 1) {
            wait_port_input(0, 10);
            continue;
        }
        last_progress = now_s();
        if (!matches(seq[next], f))
            ++bad;
        ++next;
    }
    const double dt = last_progress - t0, cpu = thread_cpu_s() - c0;
    VELKCloseDevice(0);
    a.stop();

    const double rate = next / dt;
    const double cpu_us = cpu / (next ? next : 1) * 1e6;
    const PlainRead base = plain_read(count, all);
    const std::string n = std::to_string(count);
    row("receive decode rate (" + n + " mixed reports)", rate, "reports/s", "plain read() of the same stream",
        base.rate);
    row("receive decode rate vs goal", rate, "reports/s", "goal 1,000,000 reports/s", 1e6);
    row("receive decode rate, link throughput", all.size() / dt / 1e6, "MB/s", "USB full-speed VCOM ~1.2 MB/s", 1.2);
    row("receive decode rate vs bus limit", rate, "reports/s", "2 x 1 Mbit/s CAN, 8-byte frames ~18000/s", 18000);
    row("receive decode CPU per report (decoding thread, waits included)", cpu_us, "us", "goal 1 us", 1);
    row("plain read() CPU per report of the same stream", base.cpu_per_report_us, "us", "", 0);
    row("receive decode lost, duplicated, reordered or corrupted", static_cast<double>((count - next) + bad),
        "reports", "must be 0", 0);
    return 0;
}
