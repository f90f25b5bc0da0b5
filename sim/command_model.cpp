// The command model: what the adapter does with each command frame and what
// it answers, as a function of its state and the frame, with no pty or
// thread involved.
#include <algorithm>

#include "sim_internal.h"

namespace velk::sim {

namespace {

namespace cfgw = wire::config;

// The configuration record of the '7' and 'G' replies.
void put_config(const State &s, uint8_t *reply)
{
    uint8_t *d = reply + cfgw::kAt;
    for (int ch = 0; ch < 2; ++ch) {
        uint8_t *q = d + cfgw::kChannel[ch];
        q[cfgw::kBaud] = s.baud[ch];
        q[cfgw::kMode] = s.mode[ch];
        q[cfgw::kFilterType] = s.flt_type[ch];
        put_be32(q + cfgw::kFilterId, s.flt_id[ch]);
        put_be32(q + cfgw::kFilterMask, s.flt_mask[ch]);
    }
    d[cfgw::kErrorSetting] = s.err_set;
}

// The configuration a reset leaves: that of a new adapter.
void reset_config(State &s)
{
    const State d;
    std::copy_n(d.active, 2, s.active);
    std::copy_n(d.baud, 2, s.baud);
    std::copy_n(d.mode, 2, s.mode);
    std::copy_n(d.flt_type, 2, s.flt_type);
    std::copy_n(d.flt_id, 2, s.flt_id);
    std::copy_n(d.flt_mask, 2, s.flt_mask);
    s.err_set = d.err_set;
    std::copy_n(d.fdf_en, 2, s.fdf_en);
    std::copy_n(d.datarate, 2, s.datarate);
    std::copy_n(d.timing, 3, s.timing);
}

// A setting per channel from the frame's two argument bytes.
void set_pair(uint8_t (&field)[2], const Bytes &f)
{
    field[0] = f[1];
    field[1] = f[2];
}

// Applies a command to the state and builds its reply.
Bytes command_reply(State &s, const wire::Command &c, const Bytes &f)
{
    Bytes r(static_cast<size_t>(c.reply_len - wire::kTrailerLen), 0);
    r[wire::kEcho] = c.code;
    uint8_t *d = r.data() + wire::kReplyData;
    switch (c.code) {
    case '5':
        std::copy_n(s.fw, 2, d);
        break;
    case '6':
        std::copy_n(s.build_id, 2, d);
        break;
    case 0x60:
        std::copy_n(s.active, 2, d);
        break;
    case 'a':
        set_pair(s.active, f);
        break;
    case '4':
        reset_config(s);
        break;
    case '0':
        set_pair(s.baud, f);
        break;
    case '3':
        set_pair(s.mode, f);
        break;
    case '8':
        s.err_set = f[1];
        break;
    case '1':
    case '2': {
        const int ch = c.code - '1';
        s.flt_type[ch] = f[1];
        s.flt_id[ch] = get_be32(&f[2]);
        s.flt_mask[ch] = get_be32(&f[6]);
        break;
    }
    case '7':
        put_config(s, r.data());
        break;
    case 'G':
        put_config(s, r.data());
        for (int ch = 0; ch < 2; ++ch) {
            r[cfgw::kAt + cfgw::fd_enable(ch)] = s.fdf_en[ch];
            r[cfgw::kAt + cfgw::data_rate(ch)] = s.datarate[ch];
        }
        break;
    case 'J':
        // Wire order: both data rates, then both enables.
        s.datarate[0] = f[1];
        s.datarate[1] = f[2];
        s.fdf_en[0] = f[3];
        s.fdf_en[1] = f[4];
        break;
    case 'K':
        if (f[1] <= 2)
            std::copy_n(f.begin() + 1, 16, s.timing[f[1]].begin());
        else
            r[wire::kStatus] = 1;
        break;
    case 'L':
        if (f[1] <= 2) {
            std::copy_n(s.timing[f[1]].begin(), 16, d);
        } else {
            r[wire::kStatus] = 1;
            d[0] = f[1];
        }
        break;
    case 'M':
        d[0] = s.vcom_mode;
        d[1] = s.vcom_map;
        d[2] = s.vcom_order;
        std::copy_n(s.dev_id, 8, d + 3);
        break;
    case 'N':
        s.vcom_map = f[1];
        break;
    }
    seal(r);
    return r;
}

}  // namespace

size_t frame_length(const uint8_t *p, size_t n)
{
    if (p[0] == wire::kClassicFrame.code)
        return wire::kClassicFrameLen;
    if (p[0] == wire::kFdFrame.code) {
        if (n < 2)
            return SIZE_MAX;
        return static_cast<size_t>(wire::fd_frame_length(p[1] >> 4));
    }
    return static_cast<size_t>(wire::frame_length(p[0]));
}

Bytes reply_to(State &state, const Bytes &frame)
{
    const wire::Command *c = frame.empty() ? nullptr : wire::command(frame[0]);
    if (c == nullptr || frame.size() != static_cast<size_t>(c->frame_len))
        return {};
    if (c->code == 'b') {
        Report r;
        r.kind = Report::BusStatus;
        std::copy_n(state.bus_status, 12, r.status.begin());
        return encode(r);
    }
    return command_reply(state, *c, frame);
}

}  // namespace velk::sim
