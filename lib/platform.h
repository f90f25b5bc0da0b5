// Everything outside the serial port that differs between Linux and Windows:
// waits, time of day, the elapsed clock, the pacing wait, the timer period,
// device names, the lock between threads. One file per platform implements
// it (the lock: mutex_posix.cpp on Linux), so the protocol code
// has no platform conditionals.
#ifndef VELK_PLATFORM_H
#define VELK_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "serial.h"
#include "wire.h"

namespace velk {

// Waits about `us` microseconds (Windows: whole milliseconds, none for < 1000).
// A signal handled meanwhile does not end the wait early.
void sleep_us(unsigned int us);

// Gives the processor away between tries of a spin wait (Windows: nothing).
void yield_cpu();

// Host local time of day as "%02d:%02d:%02d:%03d" into a 13-byte buffer.
void time_of_day(char out[13]);

// Monotonic microseconds, for the receive reassembly deadline.
uint64_t monotonic_us();

// Clock of the non-blocking receive limit, in milliseconds of elapsed time.
uint64_t nonblock_clock_ms();

// What the pause of one channel carries from frame to frame: when it last
// woke, and how much later than planned the frame went out (taken off the
// next pause). Shared by every thread sending on the channel, under its lock.
struct PaceState {
    uint64_t last_wake = 0;
    uint64_t carry = 0;
};

// The pause before a frame: microseconds on Linux, on Windows loop counts timed at 400 a microsecond.
void pace(PaceState &s, int delay);
// Waits up to timeout_ms (negative: without limit) for input on the port:
// 1 input, 0 time-out, -1 the device hung up. A signal handled meanwhile
// does not end the wait early. Windows looks at the input queue every
// millisecond; where it cannot, it returns 1 at once.
int wait_input(velk_port_t port, int timeout_ms);
// One read of what the port has waiting, at most `size` bytes, without
// waiting for more: in blocking mode (Linux) it reads only when input is
// there. Returns the count read, 0 for none.
int read_available(velk_port_t port, unsigned char *buf, int size, bool blocking);
// Called once the frame the pause was for is written; on Linux its write
// time is taken off the next pause.
void pace_done(PaceState &s);

// The pause of a nominal bit rate as send_delay holds it on this platform:
// microseconds on Linux, the DLLs' loop count on Windows.
int pause_for(const wire::NominalRate &rate);

// Opens the device of a port index at 9600 bit/s, "8N1".
// read_wait only matters on Windows.
velk_port_t open_port_index(int com_port, int read_wait);

// The device name of a valid port index, for the diagnostics (buf may hold it).
const char *port_name(int com_port, char *buf, size_t size);

// Request and release of the 1 ms system timer period (Windows only).
void timer_period_begin();
void timer_period_end();

// A lock between the threads of this process: std::mutex on Linux, a slim
// reader/writer lock in the Windows builds, whose C++ runtime may have no
// std::mutex.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    void lock();
    void unlock();

private:
    alignas(8) unsigned char impl_[64];
};

// Holds a Mutex for a scope; unlock() and lock() let a wait run without it.
class MutexGuard {
public:
    explicit MutexGuard(Mutex &m) : m_(m) { m_.lock(); }
    ~MutexGuard()
    {
        if (held_)
            m_.unlock();
    }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;
    void unlock()
    {
        m_.unlock();
        held_ = false;
    }
    void lock()
    {
        m_.lock();
        held_ = true;
    }

private:
    Mutex &m_;
    bool held_ = true;
};

}  // namespace velk

#endif
