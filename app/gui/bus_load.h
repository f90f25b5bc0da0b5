// How long frames hold the bus, for the frame rates and the bus load the
// bus status shows. No GTK here, so the bit counts can be tested on their
// own.
#pragma once

#include <cstdint>

namespace gui {

// Bits of one frame on the wire, the 3-bit intermission after it included.
// `data` counts the bits sent at the data rate: with BRS, ESI to the CRC
// delimiter of a CAN FD frame; `nominal` counts the rest. Without BRS every
// bit counts as nominal.
struct FrameBits {
    int nominal = 0;
    int data = 0;
};

// Stuff bits are estimated at their worst case, one after every four bits
// of the fields that are stuffed (SOF to the CRC of a classic frame, SOF to
// the data of a CAN FD frame), as bus-load tools usually count them; CAN FD
// frames add their fixed stuff bits and stuff count. `len` is the payload
// in bytes (0 for a remote frame).
FrameBits frame_bits(bool fd, bool brs, bool extended, bool remote, int len);

// Bit rate in bit/s of a nominal bit-rate code; 0 for the custom settings
// and codes the adapter does not have.
long nominal_bit_rate(int code);
// Bit rate in bit/s of a CAN FD data-rate code (whole Mbit/s); 0 for none.
long data_bit_rate(int code);

// Frames seen on one channel and the bits they took, between two samples.
class LoadMeter {
public:
    void add(const FrameBits &bits);

    struct Sample {
        double frames_per_s = 0;
        // Share of the time the frames held the bus, in percent; negative
        // when the nominal rate is not known.
        double load_percent = -1;
    };
    // The figures since the last sample, `seconds` ago, at these rates (a
    // data rate of 0 counts data bits at the nominal rate); starts the next
    // interval.
    Sample take(double seconds, long nominal_bps, long data_bps);
    void reset();

private:
    uint64_t frames_ = 0;
    uint64_t nominal_bits_ = 0;
    uint64_t data_bits_ = 0;
};

}  // namespace gui
