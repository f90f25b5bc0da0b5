// Linux side of the platform differences.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

#include "internal.h"
#include "pacing.h"

namespace velk {

void sleep_us(unsigned int us)
{
    usleep(us);
}

void yield_cpu()
{
    usleep(0);
}

void time_of_day(char out[13])
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    std::snprintf(out, 13, "%02u:%02u:%02u:%03u", static_cast<unsigned>(local.tm_hour) % 100u,
                  static_cast<unsigned>(local.tm_min) % 100u, static_cast<unsigned>(local.tm_sec) % 100u,
                  static_cast<unsigned>(tv.tv_usec / 1000) % 1000u);
}

uint64_t monotonic_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

// Elapsed time, so that a blocking read cannot stretch the limit unboundedly
// as processor time would.
uint64_t nonblock_clock_ms()
{
    return monotonic_us() / 1000u;
}

// The pause before a frame. A sleep wakes late by the timer's latency, and
// writing the frame takes time too; the next pause of the same thread is
// shortened by both, so a burst runs at the rate the delay allows and an
// interval plus pause is kept on average. After 100 ms without a pause the
// carry is dropped.
namespace {
thread_local uint64_t last_wake = 0;
thread_local uint64_t carry = 0;
}  // namespace

void pace(int delay)
{
    if (delay <= 0)
        return;
    const uint64_t now = monotonic_us();
    if (now - last_wake > 100000)
        carry = 0;
    const uint64_t target = now + static_cast<uint64_t>(delay) - std::min<uint64_t>(carry, static_cast<uint64_t>(delay));
    if (target > now) {
        struct timespec ts = {static_cast<time_t>(target / 1000000u), static_cast<long>(target % 1000000u) * 1000};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    last_wake = monotonic_us();
    carry = last_wake > target ? last_wake - target : 0;
}

void pace_done()
{
    const uint64_t now = monotonic_us();
    if (now - last_wake < 100000)
        carry += now - last_wake;
}

int wait_input(velk_port_t port, int timeout_ms)
{
    struct pollfd p = {port, POLLIN, 0};
    int r = poll(&p, 1, timeout_ms);
    if (r < 0)
        return errno == EINTR ? 0 : -1;
    if (r == 0)
        return 0;
    // A hung-up tty also reads as readable; the hang-up counts.
    return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? -1 : 1;
}

bool pacing_for_code(int code, int *delay)
{
    // Pause in microseconds per nominal bit-rate code: 4 to 10 as tuned for
    // the adapter, the others derived from the bit rate.
    constexpr int kDelay[] = {
        pacing::kLowRatePauseUs[0], pacing::kLowRatePauseUs[1], pacing::kLowRatePauseUs[2],
        pacing::kLowRatePauseUs[3], 1050, 850, 400, 200, 150, 100, 250, pacing::kCustomPauseUs,
        pacing::kCustomPauseUs,
    };
    if (code < 0 || code >= static_cast<int>(std::size(kDelay)))
        return false;
    *delay = kDelay[code];
    return true;
}

bool port_index_valid(int com_port)
{
    return com_port >= 0 && com_port < VELK_PORT_COUNT;
}

velk_port_t open_port_index(int com_port, int read_wait)
{
    (void)read_wait;
    if (!port_index_valid(com_port) || comports[com_port] == nullptr)
        return VELK_NO_PORT;
    // Descriptor 0 is a port like any other (a host started with standard
    // input closed gets it).
    int fd = RS232_OpenComport(comports[com_port], 9600, "8N1");
    return fd >= 0 ? fd : VELK_NO_PORT;
}

void timer_period_begin() {}
void timer_period_end() {}

}  // namespace velk
