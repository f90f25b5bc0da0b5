// The command model: what the adapter does with each command frame and what
// it answers, as a function of its state and the frame, with no pty or
// thread involved.
#include <algorithm>

#include "sim_internal.h"

namespace velk::sim {

namespace {

struct CommandSpec {
    uint8_t code;
    uint8_t frame_len;
    uint8_t reply_len;  // 0: the command has no reply ('b' answers with a report)
};

constexpr CommandSpec kCommands[] = {
    {'5', 4, 7},   {'6', 4, 7},   {0x60, 4, 7}, {'a', 6, 5},   {'4', 4, 5},  {'0', 6, 5},
    {'3', 6, 5},   {'8', 5, 5},   {'1', 13, 5}, {'2', 13, 5},  {'7', 4, 28}, {'G', 4, 32},
    {'J', 8, 5},   {'K', 20, 5},  {'L', 5, 21}, {'M', 4, 16},  {'N', 5, 5},  {'b', 4, 0},
};

constexpr uint8_t kClassicFrame = 0xE0;
constexpr size_t kClassicFrameLen = 17;
constexpr uint8_t kFdFrame = 0xF0;

const CommandSpec *find_command(uint8_t code)
{
    for (const CommandSpec &c : kCommands)
        if (c.code == code)
            return &c;
    return nullptr;
}

uint8_t sum_of(const uint8_t *p, size_t n)
{
    uint8_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s = static_cast<uint8_t>(s + p[i]);
    return s;
}

uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// The 23 configuration bytes of the '7' and 'G' replies.
void put_config(const State &s, uint8_t *p)
{
    for (int ch = 0; ch < 2; ++ch) {
        uint8_t *q = p + 11 * ch;
        q[0] = s.baud[ch];
        q[1] = s.mode[ch];
        q[2] = s.flt_type[ch];
        put_be32(q + 3, s.flt_id[ch]);
        put_be32(q + 7, s.flt_mask[ch]);
    }
    p[22] = s.err_set;
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

// Applies a command to the state and builds its reply.
Bytes command_reply(State &s, const CommandSpec &c, const Bytes &f)
{
    Bytes r(c.reply_len, 0);
    r[0] = c.code;
    switch (c.code) {
    case '5':
        r[2] = s.fw[0];
        r[3] = s.fw[1];
        break;
    case '6':
        r[2] = s.build_id[0];
        r[3] = s.build_id[1];
        break;
    case 0x60:
        r[2] = s.active[0];
        r[3] = s.active[1];
        break;
    case 'a':
        s.active[0] = f[1];
        s.active[1] = f[2];
        break;
    case '4':
        reset_config(s);
        break;
    case '0':
        s.baud[0] = f[1];
        s.baud[1] = f[2];
        break;
    case '3':
        s.mode[0] = f[1];
        s.mode[1] = f[2];
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
        put_config(s, &r[2]);
        break;
    case 'G':
        put_config(s, &r[2]);
        r[25] = s.fdf_en[0];
        r[26] = s.datarate[0];
        r[27] = s.fdf_en[1];
        r[28] = s.datarate[1];
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
            r[1] = 1;
        break;
    case 'L':
        if (f[1] <= 2) {
            std::copy_n(s.timing[f[1]].begin(), 16, r.begin() + 2);
        } else {
            r[1] = 1;
            r[2] = f[1];
        }
        break;
    case 'M':
        r[2] = s.vcom_mode;
        r[3] = s.vcom_map;
        r[4] = s.vcom_order;
        std::copy_n(s.dev_id, 8, r.begin() + 5);
        break;
    case 'N':
        s.vcom_map = f[1];
        break;
    }
    const size_t n = r.size();
    r[n - 3] = sum_of(r.data(), n - 3);
    r[n - 2] = 0x0D;
    r[n - 1] = 0x0A;
    return r;
}

}  // namespace

size_t frame_length(const uint8_t *p, size_t n)
{
    if (p[0] == kClassicFrame)
        return kClassicFrameLen;
    if (p[0] == kFdFrame) {
        if (n < 2)
            return SIZE_MAX;
        return static_cast<size_t>(std::max(dlc_length(p[1] >> 4), 8)) + 10;
    }
    const CommandSpec *c = find_command(p[0]);
    return c ? c->frame_len : 0;
}

Bytes reply_to(State &state, const Bytes &frame)
{
    const CommandSpec *c = frame.empty() ? nullptr : find_command(frame[0]);
    if (c == nullptr || frame.size() != c->frame_len)
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
