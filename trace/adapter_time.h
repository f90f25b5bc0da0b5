// Trace frames of the library's records, and their times: the adapter's own
// timestamps (0xE2 and 0xF1 reports) mapped to wall-clock time by one
// offset, and the host's time of day for a record without one. velk_dump
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

// Adapter timestamps to wall-clock time: one offset, taken from the first
// timestamped record (and again when the adapter's clock restarts), so the
// adapter's microsecond spacing is kept exactly.
class AdapterClock {
public:
    // Sets f's time, source and adapter time: the mapped timestamp `ts`, or
    // the host's `time_of_day` when `ts` is none.
    void stamp(const TIME_ST_T &ts, const char *time_of_day, Frame *f, int64_t now);
    int64_t host(const char *time_of_day, int64_t now) { return host_.of(time_of_day, now); }

private:
    HostTime host_;
    bool have_ = false;
    int64_t offset_ = 0;
    int64_t last_ = 0;
};

}  // namespace velk::trace
