// The pause before a frame for the nominal bit-rate codes that have no tuned
// entry in the platforms' pacing tables: derived from the bit rate, so that a
// burst never outruns the bus and overflows the adapter's queue.
#ifndef VELK_PACING_H
#define VELK_PACING_H

namespace velk::pacing {

// The adapter runs CAN FD only from 100 kbit/s nominal, so at 5 to 50 kbit/s
// the longest frame is a classic one: 29-bit identifier, 8 data bytes,
// worst-case stuffing. Start of frame to the end of the CRC is
// 1 + 11 + 1 + 1 + 18 + 1 + 2 + 4 + 64 + 15 = 118 bits, which stuffing can
// stretch by one bit in four after the first; then CRC delimiter, ACK slot
// and delimiter, end of frame and intermission, 13 bits. 160 bits in all.
constexpr int kStuffedBits = 118;
constexpr int kLongestFrameBits = kStuffedBits + (kStuffedBits - 1) / 4 + 13;

// Bus time of that frame in microseconds, rounded up.
constexpr int longest_frame_us(int bits_per_second)
{
    return (kLongestFrameBits * 1000000 + bits_per_second - 1) / bits_per_second;
}

// Codes 0 to 3: 5, 10, 20 and 50 kbit/s.
constexpr int kLowRatePauseUs[4] = {longest_frame_us(5000), longest_frame_us(10000), longest_frame_us(20000),
                                    longest_frame_us(50000)};

// Codes 11 and 12 are custom timings whose rate only the adapter knows. A
// frame lost on the bus is worse than a slow burst, so they get the pause of
// the slowest standard rate (32 ms): enough for a classic frame at any rate
// from 5 kbit/s and for a 64-byte CAN FD frame without bit-rate switch
// (736 bits) from 23 kbit/s.
constexpr int kCustomPauseUs = kLowRatePauseUs[0];

}  // namespace velk::pacing

#endif
