// Everything outside the serial port that differs between Linux and Windows:
// waits, time of day, the elapsed clock, the pacing wait, the timer period,
// device names. One file per platform implements it, so the protocol code
// has no platform conditionals.
#ifndef VELK_PLATFORM_H
#define VELK_PLATFORM_H

#include <cstddef>
#include <cstdint>

#include "serial.h"

namespace velk {

// Waits about `us` microseconds (Windows: whole milliseconds, none for < 1000).
void sleep_us(unsigned int us);

// Gives the processor away between tries of a spin wait (Windows: nothing).
void yield_cpu();

// Host local time of day as "%02d:%02d:%02d:%03d" into a 13-byte buffer.
void time_of_day(char out[13]);

// Monotonic microseconds, for the receive reassembly deadline.
uint64_t monotonic_us();

// Clock of the non-blocking receive limit, in milliseconds of elapsed time.
uint64_t nonblock_clock_ms();

// The pause before a frame: microseconds on Linux, on Windows loop counts timed at 400 a microsecond.
void pace(int delay);
// Waits up to timeout_ms for input on the port: 1 input (or nothing to
// wait on), 0 time-out, -1 the device hung up. Windows returns 1 at once;
// its reads wait on their own.
int wait_input(velk_port_t port, int timeout_ms);
// Called once the frame the pause was for is written; on Linux its write
// time is taken off the next pause.
void pace_done();

// Pacing value of a nominal bit-rate code; false for codes without an entry.
bool pacing_for_code(int code, int *delay);

// Opens the device of a port index at 9600 bit/s, "8N1".
// read_wait only matters on Windows.
velk_port_t open_port_index(int com_port, int read_wait);

// True when the index names a device on this platform.
bool port_index_valid(int com_port);

// Request and release of the 1 ms system timer period (Windows only).
void timer_period_begin();
void timer_period_end();

}  // namespace velk

#endif
