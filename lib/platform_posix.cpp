// Linux side of the platform differences.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

#include "internal.h"

namespace velk {

namespace {

// Sleeps until an absolute monotonic time; a handled signal resumes the sleep.
void sleep_until_us(uint64_t target)
{
    struct timespec ts = {static_cast<time_t>(target / 1000000u), static_cast<long>(target % 1000000u) * 1000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace

void sleep_us(unsigned int us)
{
    if (us > 0)
        sleep_until_us(monotonic_us() + us);
}

void yield_cpu()
{
    usleep(0);
}

// Every received report is stamped, so the local time of the current second
// is kept per thread and only the milliseconds are formatted anew.
void time_of_day(char out[13])
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    thread_local time_t cached_secs = -1;
    thread_local char cached[13];
    if (tv.tv_sec != cached_secs) {
        struct tm local;
        time_t secs = tv.tv_sec;
        localtime_r(&secs, &local);
        std::snprintf(cached, sizeof(cached), "%02u:%02u:%02u:000", static_cast<unsigned>(local.tm_hour) % 100u,
                      static_cast<unsigned>(local.tm_min) % 100u, static_cast<unsigned>(local.tm_sec) % 100u);
        cached_secs = tv.tv_sec;
    }
    std::memcpy(out, cached, sizeof(cached));
    const unsigned ms = static_cast<unsigned>(tv.tv_usec / 1000) % 1000u;
    out[9] = static_cast<char>('0' + ms / 100);
    out[10] = static_cast<char>('0' + ms / 10 % 10);
    out[11] = static_cast<char>('0' + ms % 10);
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
// writing the frame takes time too; the channel's next pause is shortened by
// both, so a burst runs at the rate the delay allows and an interval plus
// pause is kept on average. After 100 ms without a pause the carry is
// dropped.
void pace(PaceState &s, int delay)
{
    if (delay <= 0)
        return;
    const uint64_t now = monotonic_us();
    if (now - s.last_wake > 100000)
        s.carry = 0;
    const uint64_t target = now + static_cast<uint64_t>(delay) - std::min<uint64_t>(s.carry, static_cast<uint64_t>(delay));
    if (target > now) {
        struct timespec ts = {static_cast<time_t>(target / 1000000u), static_cast<long>(target % 1000000u) * 1000};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    s.last_wake = monotonic_us();
    s.carry = s.last_wake > target ? s.last_wake - target : 0;
}

void pace_done(PaceState &s)
{
    const uint64_t now = monotonic_us();
    if (now - s.last_wake < 100000)
        s.carry += now - s.last_wake;
}

int wait_input(velk_port_t port, int timeout_ms)
{
    return RS232_WaitInput(port, timeout_ms);
}

int read_available(velk_port_t port, unsigned char *buf, int size, bool blocking)
{
    // A blocking read would wait for the next byte while its caller holds
    // the port's input lock.
    if (blocking && wait_input(port, 0) != 1)
        return 0;
    return RS232_PollComport(port, buf, size);
}

int pause_for(const wire::NominalRate &rate)
{
    return rate.pause_us;
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
