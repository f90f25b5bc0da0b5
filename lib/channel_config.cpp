// Channel configuration commands: bit rates, modes, filters, error reporting,
// CAN FD rates and enables, timing records, reset and the read-backs.
#include <cstring>

#include "internal.h"

namespace wire = velk::wire;
namespace cfgw = velk::wire::config;

namespace {

unsigned char lo(int v)
{
    return static_cast<unsigned char>(v);
}

// The configuration record of a '7' or 'G' reply into the CFG_INFO fields.
template <typename Cfg>
void decode_config(const unsigned char *reply, Cfg *cfg)
{
    const unsigned char *d = reply + cfgw::kAt;
    for (int c = 0; c < 2; ++c) {
        const unsigned char *p = d + cfgw::kChannel[c];
        cfg->baud[c] = p[cfgw::kBaud];
        cfg->mode[c] = p[cfgw::kMode];
        cfg->flt_type[c] = p[cfgw::kFilterType];
        cfg->flt_id[c] = uchar_2_uint(p + cfgw::kFilterId);
        cfg->flt_mask[c] = uchar_2_uint(p + cfgw::kFilterMask);
        if (cfg->flt_type[c] == VELK_EID)
            cfg->flt_mask[c] &= 0x1FFFFFFFu;
    }
    cfg->err_set = d[cfgw::kErrorSetting];
}

}  // namespace

extern "C" {

int VELKResetCAN(int com_port)
{
    unsigned char reply[wire::kMaxReply];
    return velk::command_ok(__func__, com_port, reset_cmd, reply) ? 0 : 1;
}

int VELKSetBaudRate(int com_port, int can1_code, int can2_code)
{
    VER_INFO ver;
    std::memset(&ver, 0, sizeof(ver));
    VELKShowVer(com_port, &ver);
    // Adapters of generation 0 to 2 do not take the 5, 10, 20 and 50 kbit/s codes.
    if (velk::generation_of(ver) <= 2 && (can1_code <= 3 || can2_code <= 3))
        return 1;
    unsigned char frame[wire::frame_length('0')] = {'0', lo(can1_code), lo(can2_code)};
    return velk::send_command(__func__, com_port, frame);
}

int VELKSetMode(int com_port, int can1_mode, int can2_mode)
{
    unsigned char frame[wire::frame_length('3')] = {'3', lo(can1_mode), lo(can2_mode)};
    return velk::send_command(__func__, com_port, frame);
}

int VELKSetErrorType(int com_port, int setting)
{
    unsigned char frame[wire::frame_length('8')] = {'8', lo(setting)};
    return velk::send_command(__func__, com_port, frame);
}

int VELKSetFilter(int com_port, FILTER_INFO *filter)
{
    if (filter == nullptr || (filter->CAN_port != VELK_CAN_1 && filter->CAN_port != VELK_CAN_2))
        return 1;
    unsigned char frame[wire::frame_length('1')] = {static_cast<unsigned char>(filter->CAN_port == VELK_CAN_1 ? '1' : '2'),
                                                    lo(filter->flt_type)};
    uint_2_uchar(filter->flt_id, frame + 2);
    uint_2_uchar(filter->mask, frame + 6);
    // The adapter takes a 29-bit mask with its top byte as 0x3F.
    if (filter->mask & 0x10000000u)
        frame[6] = 0x3F;
    return velk::send_command(__func__, com_port, frame);
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
    unsigned char reply[wire::kMaxReply];
    return velk::command_ok(__func__, com_port, frame, reply) ? 0 : 1;
}

int VELKGetCfg(int com_port, CFG_INFO *cfg)
{
    if (cfg == nullptr)
        return 1;
    std::memset(cfg, 0, sizeof(*cfg));
    unsigned char reply[wire::kMaxReply];
    if (!velk::command_ok(__func__, com_port, getcfg_cmd, reply))
        return 1;
    decode_config(reply, cfg);
    return 0;
}

int VELKGetCFG_CANFD(int com_port, CANFD_CFG_INFO *cfg)
{
    if (cfg == nullptr)
        return 1;
    std::memset(cfg, 0, sizeof(*cfg));
    unsigned char reply[wire::kMaxReply];
    if (!velk::command_ok(__func__, com_port, getcfg_canfd_cmd, reply))
        return 1;
    decode_config(reply, cfg);
    for (int c = 0; c < 2; ++c) {
        cfg->fdf_en[c] = reply[cfgw::kAt + cfgw::fd_enable(c)];
        cfg->datarate[c] = reply[cfgw::kAt + cfgw::data_rate(c)];
    }
    return 0;
}

int VELKSetCFG_CANFD(int com_port, CFG_CANFD *cfg)
{
    if (cfg == nullptr)
        return 1;
    // On the wire both data rates come first, then both enables.
    unsigned char frame[wire::frame_length('J')] = {'J', cfg->CAN1_DataRate, cfg->CAN2_DataRate, cfg->CAN1_FDF_EN,
                                                    cfg->CAN2_FDF_EN};
    return velk::send_command(__func__, com_port, frame);
}

int VELKSet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing)
{
    if (timing == nullptr)
        return 1;
    unsigned char frame[wire::frame_length('K')] = {'K', timing->sel};
    std::memcpy(frame + 2, timing->param, 4);
    frame[6] = timing->param5;
    frame[7] = static_cast<unsigned char>(timing->param6);
    std::memcpy(frame + 8, timing->param7, 9);
    return velk::send_command(__func__, com_port, frame);
}

int VELKGet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing, unsigned char sel)
{
    if (timing == nullptr || sel > 2)
        return 1;
    std::memset(timing, 0, sizeof(*timing));
    unsigned char frame[wire::frame_length('L')] = {'L', sel};
    wire::seal(frame, sizeof(frame));
    unsigned char reply[wire::kMaxReply];
    const unsigned char *d = reply + wire::kReplyData;
    if (!velk::command_ok(__func__, com_port, frame, reply) || d[0] != sel)
        return 1;
    timing->sel = d[0];
    std::memcpy(timing->param, d + 1, 4);
    timing->param5 = d[5];
    timing->param6 = d[6];
    std::memcpy(timing->param7, d + 7, 9);
    return 0;
}

}  // extern "C"
