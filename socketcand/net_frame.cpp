#include "net_frame.h"

#include <algorithm>

namespace velk::netd {

NetFrame net_frame_of(const trace::Frame &t)
{
    NetFrame f;
    f.id = t.id;
    f.extended = t.extended;
    f.fd = t.fd;
    f.brs = t.brs;
    f.esi = t.esi;
    f.remote = t.remote;
    f.dlc = t.dlc;
    f.len = t.len;
    f.data = t.data;
    return f;
}

trace::Frame trace_frame_of(int channel, const NetFrame &f)
{
    trace::Frame t;
    t.channel = channel;
    t.tx = true;
    t.extended = f.extended;
    t.fd = f.fd;
    t.brs = f.brs;
    t.esi = f.esi;
    t.id = f.id;
    t.remote = f.remote;
    if (f.remote) {
        t.dlc = f.dlc;
        return t;
    }
    t.len = f.len;
    t.dlc = static_cast<uint8_t>(std::max(trace::len_to_dlc(f.len), 0));
    std::copy(f.data.begin(), f.data.begin() + f.len, t.data.begin());
    return t;
}

}  // namespace velk::netd
