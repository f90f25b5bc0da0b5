// Bits per frame and the bus load of the frames seen on a channel.
#include "bus_load.h"

#include "lib_velk_2.h"

namespace gui {

namespace {

// ACK slot, ACK delimiter, end of frame and intermission.
constexpr int kTail = 1 + 1 + 7 + 3;

constexpr int kMaxDataRateMbit = 10;

// Worst-case stuff bits among n stuffed bits.
int stuff_bits(int n)
{
    return n > 0 ? (n - 1) / 4 : 0;
}

}  // namespace

FrameBits frame_bits(bool fd, bool brs, bool extended, bool remote, int len)
{
    if (len < 0 || remote)
        len = 0;
    FrameBits bits;
    if (!fd) {
        // SOF, identifier, RTR, IDE, r0 (extended: SRR, IDE, 18 more
        // identifier bits, RTR, r1, r0), DLC, data, 15-bit CRC.
        const int stuffed = (extended ? 54 : 34) + 8 * len;
        bits.nominal = stuffed + stuff_bits(stuffed) + 1 + kTail;  // + CRC delimiter
        return bits;
    }
    // Arbitration: SOF, identifier, RRS, IDE, FDF, res, BRS (extended: SRR,
    // IDE and 18 more identifier bits too). The data phase starts with ESI.
    const int arbitration = extended ? 36 : 17;
    const int stuffed_data = 1 + 4 + 8 * len;  // ESI, DLC, data
    const int arbitration_stuff = stuff_bits(arbitration);
    const int data_stuff = stuff_bits(arbitration + stuffed_data) - arbitration_stuff;
    // Stuff count (3 bits and parity) and CRC, with a fixed stuff bit before
    // the stuff count and after every fourth bit.
    const int crc = len > 16 ? 21 : 17;
    const int crc_field = 4 + crc + (4 + crc + 3) / 4;
    const int data_phase = stuffed_data + data_stuff + crc_field + 1;  // + CRC delimiter
    const int nominal = arbitration + arbitration_stuff + kTail;
    if (brs) {
        bits.nominal = nominal;
        bits.data = data_phase;
    } else {
        bits.nominal = nominal + data_phase;
    }
    return bits;
}

long nominal_bit_rate(int code)
{
    return VELKNominalBitRate(code);
}

long data_bit_rate(int code)
{
    return code > 0 && code <= kMaxDataRateMbit ? code * 1000000L : 0;
}

void LoadMeter::add(const FrameBits &bits)
{
    ++frames_;
    nominal_bits_ += static_cast<uint64_t>(bits.nominal);
    data_bits_ += static_cast<uint64_t>(bits.data);
}

LoadMeter::Sample LoadMeter::take(double seconds, long nominal_bps, long data_bps)
{
    Sample s;
    if (seconds > 0) {
        s.frames_per_s = static_cast<double>(frames_) / seconds;
        if (nominal_bps > 0) {
            const double rate = data_bps > 0 ? static_cast<double>(data_bps) : static_cast<double>(nominal_bps);
            const double busy = static_cast<double>(nominal_bits_) / static_cast<double>(nominal_bps) +
                                static_cast<double>(data_bits_) / rate;
            s.load_percent = busy / seconds * 100.0;
        }
    }
    reset();
    return s;
}

void LoadMeter::reset()
{
    frames_ = 0;
    nominal_bits_ = 0;
    data_bits_ = 0;
}

}  // namespace gui
