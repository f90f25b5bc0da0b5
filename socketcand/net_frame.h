// A frame of the protocol as a frame of the trace module and back: what the
// adapter link receives goes to the clients, what a cyclic job sends goes
// to the transmit list's scheduler.
#pragma once

#include "protocol.h"
#include "trace.h"

namespace velk::netd {

NetFrame net_frame_of(const trace::Frame &t);
// The frame to send on `channel` (0 = CAN1).
trace::Frame trace_frame_of(int channel, const NetFrame &f);

}  // namespace velk::netd
