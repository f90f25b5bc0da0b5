// Shared part of the two receive targets: the range-filter set-up an input
// asks for and the checks of a decoded data frame against the bytes served.
#ifndef VELK_FUZZ_RECEIVE_COMMON_H
#define VELK_FUZZ_RECEIVE_COMMON_H

#include <vector>

#include "check.h"
#include "fake_port.h"
#include "internal.h"

namespace fuzzrecv {

using fuzzcheck::report_length;
using fuzzcheck::trailer_ok;

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

// Whether a data report of the stream passes the channel check and the
// pass-lists, that is, yields a record.
inline bool data_passes(const uint8_t *rep, int id_at, const Filters &filters)
{
    const int channel = (rep[1] & 3) - 1;
    if (channel != 0 && channel != 1)
        return false;
    const bool extended = (rep[1] & 4) != 0;
    const uint32_t id = fuzzcheck::be32(rep + id_at);
    if (filters.on[0] && channel == 0)
        return !extended && id >= 0x100 && id <= 0x1FF;
    if (filters.on[1] && channel == 1)
        return extended && id <= 0xFFFF;
    return true;
}

// The frame fields that the flags byte, identifier and payload give.
inline bool data_frame_is(const CAN_FRAME_INFO &f, const uint8_t *rep, int id_at, int data_at, int data_len,
                          const Filters &filters)
{
    const uint8_t flags = rep[1];
    return f.msg_type == VELK_DATA_TYPE && data_passes(rep, id_at, filters) && f.CAN_port == (flags & 3) - 1 &&
           f.id_type == ((flags >> 2) & 1) + 1 && f.rtr == ((flags >> 3) & 1) && f.dlc == flags >> 4 &&
           f.id == fuzzcheck::be32(rep + id_at) &&
           std::memcmp(f.data, rep + data_at, static_cast<size_t>(data_len)) == 0 &&
           fuzzcheck::time_text_ok(f.recv_time);
}

inline bool status_is(const CAN_FRAME_INFO &f, const uint8_t *rep, int msg_type)
{
    return f.msg_type == msg_type && std::memcmp(f.data_err[0], rep + 2, 6) == 0 &&
           std::memcmp(f.data_err[1], rep + 8, 6) == 0 && fuzzcheck::time_text_ok(f.recv_time);
}

inline bool status_all_zero(const uint8_t *rep)
{
    for (int i = 2; i < 14; ++i)
        if (rep[i] != 0)
            return false;
    return true;
}

// Status and EEPROM reports (0x99, 0x62): whether one yields a record (an
// all-zero bus error report does not; `psr`: the decoder takes 0x99 0x04),
// and whether f is that record.
inline bool status_yields(const uint8_t *rep, bool psr)
{
    if (rep[0] == 0x62)
        return true;
    return rep[1] == 0x01 || (rep[1] == 0x02 && !status_all_zero(rep)) || (rep[1] == 0x04 && psr);
}

inline bool status_record_is(const CAN_FRAME_INFO &f, const uint8_t *rep)
{
    if (rep[0] == 0x62)
        return status_is(f, rep, VELK_GETBUS_TYPE);
    if (rep[1] == 0x01)
        return f.msg_type == VELK_EEERR_TYPE && fuzzcheck::time_text_ok(f.recv_time);
    return status_is(f, rep, rep[1] == 0x02 ? VELK_BUSERR_TYPE : VELK_BUSERR_PSR_TYPE);
}

// A decoder under test: whether the report at rep yields a record, and
// whether f is that record.
struct Decoder {
    int (*decode)(int, CAN_FRAME_INFO *);
    bool (*yields)(const uint8_t *rep, const Filters &filters);
    bool (*is)(const CAN_FRAME_INFO &f, const uint8_t *rep, const Filters &filters);
};

// Calls the decoder over the whole stream. Every record must be the decoding
// of a whole report of the stream that starts after the one before; while
// the stream is a run of well-ended reports from its start, exactly the next
// one of them that yields a record.
inline void drive(const Decoder &d, const Filters &filters)
{
    const uint8_t *s = fuzzport::stream();
    const size_t size = fuzzport::stream_size();
    std::vector<size_t> in_step;
    size_t q = 0;
    while (q + 2 <= size) {
        const size_t len = static_cast<size_t>(report_length(s + q));
        if (len == 0 || q + len > size || !trailer_ok(s + q, len))
            break;
        if (d.yields(s + q, filters))
            in_step.push_back(q);
        q += len;
    }
    size_t pos = 0, next = 0;
    bool drained = false;
    for (int idle = 0; idle < 64;) {
        CAN_FRAME_INFO f;
        std::memset(&f, 0xA5, sizeof(f));
        const int r = d.decode(0, &f);
        FUZZ_CHECK(r == 0 || r == 1);
        if (r == 1) {
            idle = 0;
            size_t at = pos;
            if (next < in_step.size()) {
                at = in_step[next++];
                FUZZ_CHECK(d.is(f, s + at, filters));
            } else {
                const size_t served = fuzzport::served();
                auto whole = [&](size_t o) {
                    const size_t len = static_cast<size_t>(report_length(s + o));
                    return len > 0 && o + len <= served;
                };
                while (at + 2 <= served && !(whole(at) && d.is(f, s + at, filters)))
                    ++at;
                FUZZ_CHECK(at + 2 <= served);
            }
            pos = at + static_cast<size_t>(report_length(s + at));
            continue;
        }
        velk::InputCounters c;
        FUZZ_CHECK(velk::input_counters(0, &c));
        if (fuzzport::remaining() == 0 && c.buffered == 0) {
            drained = true;
            break;
        }
        ++idle;
    }
    if (drained)
        FUZZ_CHECK(next == in_step.size());
}

}  // namespace fuzzrecv

#endif
