// Platform layer for the fuzz targets: a fake monotonic clock that moves on
// every wait and a little on every reading, so deadlines pass at once in real
// time; a fake descriptor for every open. The port table is the Linux build's.
#include <cstdio>

#include "fake_port.h"
#include "internal.h"

namespace {

uint64_t g_clock_us = 1000000;

}  // namespace

namespace velk {

void sleep_us(unsigned int us)
{
    g_clock_us += us;
}

void yield_cpu()
{
    g_clock_us += 1;
}

void time_of_day(char out[13])
{
    uint64_t ms = g_clock_us / 1000u;
    std::snprintf(out, 13, "%02u:%02u:%02u:%03u", static_cast<unsigned>(ms / 3600000u % 24u),
                  static_cast<unsigned>(ms / 60000u % 60u), static_cast<unsigned>(ms / 1000u % 60u),
                  static_cast<unsigned>(ms % 1000u));
}

// Every reading advances the clock by a microsecond, so that even a loop that
// never waits reaches its deadline.
uint64_t monotonic_us()
{
    return ++g_clock_us;
}

uint64_t nonblock_clock_ms()
{
    return monotonic_us() / 1000u;
}

void pace(PaceState &s, int delay)
{
    (void)s;
    if (delay > 0)
        g_clock_us += static_cast<uint64_t>(delay);
}

void pace_done(PaceState &s)
{
    (void)s;
}

// Input the fake port could serve ends the wait after a millisecond;
// otherwise the wait times out (a wait without limit after 10 ms).
int wait_input(velk_port_t port, int timeout_ms)
{
    (void)port;
    if (fuzzport::available() > 0) {
        g_clock_us += 1000u;
        return 1;
    }
    g_clock_us += static_cast<uint64_t>(timeout_ms >= 0 ? timeout_ms : 10) * 1000u;
    return 0;
}

int read_available(velk_port_t port, unsigned char *buf, int size, bool blocking)
{
    (void)blocking;
    return RS232_PollComport(port, buf, size);
}

// The Linux build's pauses, in microseconds of the fake clock.
int pause_for(const wire::NominalRate &rate)
{
    return rate.pause_us;
}

velk_port_t open_port_index(int com_port, int read_wait)
{
    (void)read_wait;
    if (!port_index_valid(com_port) || comports[com_port] == nullptr)
        return VELK_NO_PORT;
    return fuzzport::kFd;
}

void timer_period_begin() {}
void timer_period_end() {}

}  // namespace velk
