// Trace frames of the library's records, and their times: the adapter's own
// timestamps (0xE2 and 0xF1 reports) mapped to wall-clock time, and the
// host's time of day for a record without one. velk_dump
// and the utility's recorder both stamp their frames with these.
//
//   velk::trace::AdapterClock clock;
//   velk::trace::Frame f = velk::trace::frame_of(record);
//   clock.stamp(record.timestamp, record.recv_time, &f, wall_us_now);
#pragma once

#include <cstdint>

#include "lib_velk_2.h"
#include "trace.h"

namespace velk::trace {

// The adapter's timestamp in microseconds; false when the report carried
// none (0xE1 and status reports leave it zero, or a caller's marker of
// microseconds 1,000,000 or more in place).
bool adapter_time_us(const TIME_ST_T &ts, int64_t *us);

// Payload bytes of a data record: none for a remote frame, the CAN FD
// length of its DLC for a CAN FD frame, at most 8 for a classic one.
int payload_length(const CAN_FRAME_INFO &r);

// The frame of a data record: channel, flags, DLC, identifier and payload.
// Time and direction are the caller's.
Frame frame_of(const CAN_FRAME_INFO &r);

// The inverse: the library's record of a frame to send on f.channel. The
// identifier is cut to its 11 or 29 bits.
CAN_FRAME_INFO record_of(const Frame &f);

// A host's time of day, "%02d:%02d:%02d:%03d" as the library and the worker
// layer stamp records, as wall-clock microseconds: that time on the day of
// `now` (wall-clock microseconds), or on the day before or after when that
// is nearer. Malformed text gives `now`.
class HostTime {
public:
    int64_t of(const char *time_of_day, int64_t now);

private:
    unsigned last_key_ = ~0u;
    int64_t last_base_ = 0;
};

// Adapter timestamps to wall-clock time. The offset is the smallest seen of
// (host's receive time - adapter time), so a frame is never put after it
// was received, nor (with an adapter clock within kSlewPpm of the host's)
// before it happened; it may grow by kSlewPpm of the host time passed, to
// follow an adapter clock running slow, and is taken afresh when the
// adapter's time goes back or a frame would land over 100 ms before its
// receive (the adapter's clock jumped or restarted, or frames were held up:
// then they carry about their receive time). Host-stamped and adapter-stamped times of one clock
// never go backwards against each other.
class AdapterClock {
public:
    static constexpr int64_t kSlewPpm = 2000;

    // Sets f's time, source and adapter time: the mapped timestamp `ts`, or
    // the host's `time_of_day` when `ts` is none. `now` is the wall-clock
    // time, microseconds, when the record was taken from the library.
    void stamp(const TIME_ST_T &ts, const char *time_of_day, Frame *f, int64_t now);
    // The time of a record stamped only with the host's `time_of_day`
    // (1 ms resolution): the end of that millisecond, as it was received
    // within it, and no later than `now`.
    int64_t host(const char *time_of_day, int64_t now);

private:
    int64_t ordered(int64_t t, int64_t now);

    HostTime host_;
    bool have_ = false;
    int64_t offset_ = 0;
    int64_t offset_at_ = 0;  // the receive time the offset was last set for
    int64_t last_a_ = 0;
    bool have_out_ = false;
    int64_t last_out_ = 0;
};

}  // namespace velk::trace
