// Windows side of the platform differences.
#include <windows.h>
#include <mmsystem.h>
#include <sys/timeb.h>

#include <cstdio>
#include <ctime>

#include "internal.h"

namespace velk {

// Whole milliseconds only; a wait below 1 ms does not sleep at all.
void sleep_us(unsigned int us)
{
    if (us >= 1000)
        Sleep(us / 1000);
}

// Spin waits keep the processor.
void yield_cpu() {}

// msvcrt's localtime keeps its result per thread, so it is safe here.
void time_of_day(char out[13])
{
#if defined(_WIN64)
    struct __timeb64 now;
    _ftime64(&now);
    const struct tm *local = _localtime64(&now.time);
#else
    struct _timeb now;
    _ftime(&now);
    const struct tm *local = localtime(&now.time);
#endif
    unsigned h = 0, m = 0, s = 0;
    if (local != nullptr) {
        h = static_cast<unsigned>(local->tm_hour) % 100u;
        m = static_cast<unsigned>(local->tm_min) % 100u;
        s = static_cast<unsigned>(local->tm_sec) % 100u;
    }
    std::snprintf(out, 13, "%02u:%02u:%02u:%03u", h, m, s, static_cast<unsigned>(now.millitm) % 1000u);
}

uint64_t monotonic_us()
{
    LARGE_INTEGER freq, count;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&count);
    const uint64_t f = static_cast<uint64_t>(freq.QuadPart);
    const uint64_t c = static_cast<uint64_t>(count.QuadPart);
    if (f == 0)
        return static_cast<uint64_t>(GetTickCount64()) * 1000u;
    // Split so that the multiplication cannot overflow.
    return c / f * 1000000u + c % f * 1000000u / f;
}

// The Windows C library's clock() counts elapsed time since the process
// started, CLOCKS_PER_SEC (1000) ticks a second.
uint64_t nonblock_clock_ms()
{
    const clock_t ticks = clock();
    if (ticks == static_cast<clock_t>(-1))
        return monotonic_us() / 1000u;
    return static_cast<uint64_t>(ticks) * 1000u / CLOCKS_PER_SEC;
}

// The pause before a frame, on the performance counter; send_delay holds it
// as a loop count (wire::kDllLoopsPerUs a microsecond). Whole milliseconds
// are slept (an open port holds a 1 ms timer period); the last one or two
// are spun, as a sleep can wake a millisecond late.
void pace(PaceState &s, int delay)
{
    (void)s;
    if (delay <= 0)
        return;
    const uint64_t us = (static_cast<uint64_t>(delay) + wire::kDllLoopsPerUs - 1) / wire::kDllLoopsPerUs;
    LARGE_INTEGER freq, now;
    if (!QueryPerformanceFrequency(&freq) || freq.QuadPart <= 0) {
        Sleep(static_cast<DWORD>(us / 1000 + 1));  // no counter: a sleep that is at least as long
        return;
    }
    QueryPerformanceCounter(&now);
    const uint64_t ticks_per_s = static_cast<uint64_t>(freq.QuadPart);
    const int64_t end = now.QuadPart + static_cast<int64_t>((us * ticks_per_s + 999999) / 1000000);
    for (;;) {
        QueryPerformanceCounter(&now);
        const int64_t left = end - now.QuadPart;
        if (left <= 0)
            return;
        const int64_t left_ms = left * 1000 / freq.QuadPart;
        if (left_ms > 2)
            Sleep(static_cast<DWORD>(left_ms - 1));
    }
}

namespace {

// Bytes in the port's input queue; -1 when the driver cannot tell.
long queued_input(velk_port_t port)
{
    DWORD errors = 0;
    COMSTAT stat;
    if (!ClearCommError(port, &errors, &stat))
        return -1;
    return static_cast<long>(stat.cbInQue);
}

}  // namespace

// Looks at the input queue every millisecond; Sleep is not cut short by
// anything, so the wait always runs to its end.
int wait_input(velk_port_t port, int timeout_ms)
{
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        const long queued = queued_input(port);
        if (queued != 0)
            return 1;  // input, or a driver that cannot tell: the read will see
        if (timeout_ms >= 0 && GetTickCount64() >= deadline)
            return 0;
        Sleep(1);
    }
}

// Reads no more than is queued, so that a port opened with read_wait does
// not wait its millisecond for a count that is not there.
int read_available(velk_port_t port, unsigned char *buf, int size, bool blocking)
{
    (void)blocking;
    const long queued = queued_input(port);
    if (queued > 0 && queued < size)
        size = static_cast<int>(queued);
    return RS232_PollComport(port, buf, size);
}

// Each pause is timed on its own; nothing is carried over.
void pace_done(PaceState &s)
{
    (void)s;
}

int pause_for(const wire::NominalRate &rate)
{
    return rate.dll_pause;
}

// Index 0 is COM1; the "\\.\" prefix also reaches COM10 and above.
const char *port_name(int com_port, char *buf, size_t size)
{
    std::snprintf(buf, size, "\\\\.\\COM%d", com_port + 1);
    return buf;
}

velk_port_t open_port_index(int com_port, int read_wait)
{
    if (!port_index_valid(com_port))
        return VELK_NO_PORT;
    char name[32];
    return RS232_OpenComport(port_name(com_port, name, sizeof(name)), 9600, "8N1", read_wait);
}

void timer_period_begin()
{
    timeBeginPeriod(1);
}

void timer_period_end()
{
    timeEndPeriod(1);
}

static_assert(sizeof(SRWLOCK) <= sizeof(Mutex), "Mutex storage too small");

Mutex::Mutex()
{
    InitializeSRWLock(reinterpret_cast<SRWLOCK *>(impl_));
}

Mutex::~Mutex() {}

void Mutex::lock()
{
    AcquireSRWLockExclusive(reinterpret_cast<SRWLOCK *>(impl_));
}

void Mutex::unlock()
{
    ReleaseSRWLockExclusive(reinterpret_cast<SRWLOCK *>(impl_));
}

}  // namespace velk

extern "C" {

int send_delay[2] = {40000, 40000};

}  // extern "C"
