// Channel configuration commands: bit rates, modes, filters, error reporting,
// CAN FD rates and enables, timing records, reset and the read-backs.
#include <cstring>

#include "internal.h"

namespace {

unsigned char lo(int v)
{
    return static_cast<unsigned char>(v);
}

// Sends a frame whose first len-3 bytes are set and checks echo and status.
int send_simple(int com_port, unsigned char *frame, int len)
{
    chk_sum_end_byte(frame, len);
    unsigned char reply[5];
    return velk::exchange_ok(com_port, frame, len, reply, sizeof(reply), frame[0]) ? 0 : 1;
}

// Reply bytes 2..24 of the configuration queries, into the CFG_INFO fields.
template <typename Cfg>
void decode_config(const unsigned char *r, Cfg *cfg)
{
    for (int c = 0; c < 2; ++c) {
        const unsigned char *p = r + 2 + c * 11;
        cfg->baud[c] = p[0];
        cfg->mode[c] = p[1];
        cfg->flt_type[c] = p[2];
        cfg->flt_id[c] = uchar_2_uint(p + 3);
        cfg->flt_mask[c] = uchar_2_uint(p + 7);
        if (cfg->flt_type[c] == VELK_EID)
            cfg->flt_mask[c] &= 0x1FFFFFFFu;
    }
    cfg->err_set = r[24];
}

}  // namespace

extern "C" {

int VELKResetCAN(int com_port)
{
    unsigned char reply[5];
    return velk::exchange_ok(com_port, reset_cmd, sizeof(reset_cmd), reply, sizeof(reply), '4') ? 0 : 1;
}

int VELKSetBaudRate(int com_port, int can1_code, int can2_code)
{
    VER_INFO ver;
    std::memset(&ver, 0, sizeof(ver));
    VELKShowVer(com_port, &ver);
    // Adapters of generation 0 to 2 do not take the 5, 10, 20 and 50 kbit/s codes.
    if (velk::generation_of(ver) <= 2 && (can1_code <= 3 || can2_code <= 3))
        return 1;
    unsigned char frame[6] = {'0', lo(can1_code), lo(can2_code)};
    return send_simple(com_port, frame, sizeof(frame));
}

int VELKSetMode(int com_port, int can1_mode, int can2_mode)
{
    unsigned char frame[6] = {'3', lo(can1_mode), lo(can2_mode)};
    return send_simple(com_port, frame, sizeof(frame));
}

int VELKSetErrorType(int com_port, int setting)
{
    unsigned char frame[5] = {'8', lo(setting)};
    return send_simple(com_port, frame, sizeof(frame));
}

int VELKSetFilter(int com_port, FILTER_INFO *filter)
{
    if (filter == nullptr || (filter->CAN_port != VELK_CAN_1 && filter->CAN_port != VELK_CAN_2))
        return 1;
    unsigned char frame[13] = {static_cast<unsigned char>(filter->CAN_port == VELK_CAN_1 ? '1' : '2'),
                               lo(filter->flt_type)};
    uint_2_uchar(filter->flt_id, frame + 2);
    uint_2_uchar(filter->mask, frame + 6);
    // The adapter takes a 29-bit mask with its top byte as 0x3F.
    if (filter->mask & 0x10000000u)
        frame[6] = 0x3F;
    return send_simple(com_port, frame, sizeof(frame));
}

int VELKClearFilter(int com_port, int channel)
{
    const unsigned char *frame;
    if (channel == 0)
        frame = clr_filt_0_cmd;
    else if (channel == 1)
        frame = clr_filt_1_cmd;
    else
        return 1;
    unsigned char reply[5];
    return velk::exchange_ok(com_port, frame, 13, reply, sizeof(reply), frame[0]) ? 0 : 1;
}

int VELKGetCfg(int com_port, CFG_INFO *cfg)
{
    if (cfg == nullptr)
        return 1;
    std::memset(cfg, 0, sizeof(*cfg));
    unsigned char reply[28];
    if (!velk::exchange_ok(com_port, getcfg_cmd, sizeof(getcfg_cmd), reply, sizeof(reply), '7'))
        return 1;
    decode_config(reply, cfg);
    return 0;
}

int VELKGetCFG_CANFD(int com_port, CANFD_CFG_INFO *cfg)
{
    if (cfg == nullptr)
        return 1;
    std::memset(cfg, 0, sizeof(*cfg));
    unsigned char reply[32];
    if (!velk::exchange_ok(com_port, getcfg_canfd_cmd, sizeof(getcfg_canfd_cmd), reply, sizeof(reply), 'G'))
        return 1;
    decode_config(reply, cfg);
    cfg->fdf_en[0] = reply[25];
    cfg->datarate[0] = reply[26];
    cfg->fdf_en[1] = reply[27];
    cfg->datarate[1] = reply[28];
    return 0;
}

int VELKSetCFG_CANFD(int com_port, CFG_CANFD *cfg)
{
    if (cfg == nullptr)
        return 1;
    // On the wire both data rates come first, then both enables.
    unsigned char frame[8] = {'J', cfg->CAN1_DataRate, cfg->CAN2_DataRate, cfg->CAN1_FDF_EN, cfg->CAN2_FDF_EN};
    return send_simple(com_port, frame, sizeof(frame));
}

int VELKSet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing)
{
    if (timing == nullptr)
        return 1;
    unsigned char frame[20] = {'K', timing->sel};
    std::memcpy(frame + 2, timing->param, 4);
    frame[6] = timing->param5;
    frame[7] = static_cast<unsigned char>(timing->param6);
    std::memcpy(frame + 8, timing->param7, 9);
    return send_simple(com_port, frame, sizeof(frame));
}

int VELKGet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing, unsigned char sel)
{
    if (timing == nullptr || sel > 2)
        return 1;
    std::memset(timing, 0, sizeof(*timing));
    unsigned char frame[5] = {'L', sel};
    chk_sum_end_byte(frame, sizeof(frame));
    unsigned char reply[21];
    if (!velk::exchange_ok(com_port, frame, sizeof(frame), reply, sizeof(reply), 'L') || reply[2] != sel)
        return 1;
    timing->sel = reply[2];
    std::memcpy(timing->param, reply + 3, 4);
    timing->param5 = reply[7];
    timing->param6 = reply[8];
    std::memcpy(timing->param7, reply + 9, 9);
    return 0;
}

}  // extern "C"
