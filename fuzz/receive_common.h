// Shared part of the two receive targets: the range-filter set-up an input
// asks for and the checks of a decoded data frame against the bytes served.
#ifndef VELK_FUZZ_RECEIVE_COMMON_H
#define VELK_FUZZ_RECEIVE_COMMON_H

#include "check.h"
#include "fake_port.h"
#include "lib_velk_2.h"

namespace fuzzrecv {

// Total length of a report by its first two bytes; 0 for an unknown kind.
inline int report_length(const uint8_t *r)
{
    switch (r[0]) {
    case 0xE1: return 17;
    case 0xE2: return 25;
    case 0xF1: {
        int n = fuzzcheck::dlc_length(r[1] >> 4);
        return 18 + (n < 8 ? 8 : n);
    }
    case 0x99: return r[1] == 0x01 ? 9 : (r[1] == 0x02 || r[1] == 0x04) ? 17 : 0;
    case 0x62: return r[1] == 0x02 ? 17 : 0;
    default: return 0;
    }
}

// Pass-lists used when the input's first byte asks for them (bits 4 and 5):
// channel 1 passes 11-bit 0x100..0x1FF, channel 2 passes 29-bit 0..0xFFFF.
struct Filters {
    bool on[2];
};

inline Filters set_filters(uint8_t control)
{
    Filters f{{(control & 0x10) != 0, (control & 0x20) != 0}};
    RANGE_FILTER_INFO t1, t2;
    std::memset(&t1, 0, sizeof(t1));
    std::memset(&t2, 0, sizeof(t2));
    t1.entry[0] = {1, VELK_SID, 0x100, 0x1FF};
    t2.entry[0] = {1, VELK_EID, 0, 0xFFFF};
    FUZZ_CHECK(VELKSetRangeFilter(0, &t1, &t2) == 0);
    FUZZ_CHECK(VELKInitRangeFilter(0, f.on[0] ? 2 : 1, f.on[1] ? 2 : 1) == 0);
    return f;
}

// The frame fields that the flags byte, identifier and payload give.
inline void check_data_frame(const CAN_FRAME_INFO &f, const uint8_t *rep, int id_at, int data_at, int data_len,
                             const Filters &filters)
{
    uint8_t flags = rep[1];
    FUZZ_CHECK(f.CAN_port == 0 || f.CAN_port == 1);
    FUZZ_CHECK(f.CAN_port == (flags & 3) - 1);
    FUZZ_CHECK(f.id_type == ((flags >> 2) & 1) + 1);
    FUZZ_CHECK(f.rtr == ((flags >> 3) & 1));
    FUZZ_CHECK(f.dlc >= 0 && f.dlc <= 15);
    FUZZ_CHECK(f.dlc == flags >> 4);
    FUZZ_CHECK(f.id == fuzzcheck::be32(rep + id_at));
    FUZZ_CHECK(std::memcmp(f.data, rep + data_at, static_cast<size_t>(data_len)) == 0);
    FUZZ_CHECK(fuzzcheck::time_text_ok(f.recv_time));
    if (filters.on[0] && f.CAN_port == 0)
        FUZZ_CHECK(f.id_type == VELK_SID && f.id >= 0x100 && f.id <= 0x1FF);
    if (filters.on[1] && f.CAN_port == 1)
        FUZZ_CHECK(f.id_type == VELK_EID && f.id <= 0xFFFF);
}

inline void check_status(const CAN_FRAME_INFO &f, const uint8_t *rep)
{
    FUZZ_CHECK(std::memcmp(f.data_err[0], rep + 2, 6) == 0);
    FUZZ_CHECK(std::memcmp(f.data_err[1], rep + 8, 6) == 0);
    FUZZ_CHECK(fuzzcheck::time_text_ok(f.recv_time));
}

// The adapter ends a report with the byte sum of the rest, CR and LF.
inline bool trailer_ok(const uint8_t *r, size_t len)
{
    uint8_t sum = 0;
    for (size_t i = 0; i + 3 < len; ++i)
        sum = static_cast<uint8_t>(sum + r[i]);
    return len >= 3 && r[len - 3] == sum && r[len - 2] == 0x0D && r[len - 1] == 0x0A;
}

// A dropped data frame leaves the record all zero.
inline bool all_zero(const CAN_FRAME_INFO &f)
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(&f);
    for (size_t i = 0; i < sizeof(f); ++i) {
        if (p[i] != 0)
            return false;
    }
    return true;
}

}  // namespace fuzzrecv

#endif
