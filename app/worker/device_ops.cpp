// Device operations of the utility: each runs a fixed sequence of library
// calls on one open port. One runs at a time, on whichever thread the caller
// chooses; upui_info is shared with the GUI under MTX_upui.
#include <cstdio>
#include <cstring>

#include "apipart.h"
#include "internal_apipart.h"

UPUI_INFO upui_info;
std::mutex MTX_upui;

UPUI_INFO upui_info_copy()
{
    std::lock_guard<std::mutex> lock(MTX_upui);
    return upui_info;
}

// The library zeroes the record when the read fails, so it reads into a
// record of its own: the snapshot changes only when the read succeeded.
static bool read_config_back(int com_port)
{
    CANFD_CFG_INFO cfg;
    if (VELKGetCFG_CANFD(com_port, &cfg) != 0)
        return false;
    std::lock_guard<std::mutex> lock(MTX_upui);
    upui_info.cfg_info_canfd = cfg;
    return true;
}

// Shows the device's configuration, when it was read back.
static void push_config(int com_port)
{
    if (read_config_back(com_port))
        guiStatusUpdate(upui_info_copy());
}

static int connect_device(int com_port, CAN_CNNT_INFO *info)
{
    if (VELKOpenDevice(com_port) != 0)
        return 1;
    (void)VELKInitCAN(com_port, VELK_INACTIVE, VELK_INACTIVE);
    VER_INFO ver;
    std::memset(&ver, 0, sizeof ver);
    if (VELKShowVer(com_port, &ver) != 0) {
        (void)VELKCloseDevice(com_port);
        return 2;
    }
    std::snprintf(info->fw, sizeof info->fw, "FW: %.*s", static_cast<int>(sizeof ver.fw), ver.fw);
    std::snprintf(info->api, sizeof info->api, "Lib: %.*s", static_cast<int>(sizeof ver.api), ver.api);
    std::snprintf(info->mdl, sizeof info->mdl, "Model: %.*s", static_cast<int>(sizeof ver.model), ver.model);
    push_config(com_port);
    return 0;
}

static int disconnect_device(int com_port)
{
    // Both workers have ended before the port goes away, so neither calls the
    // library on a closed port.
    apipart_stop_recv_worker();
    apipart_stop_send_worker();
    (void)VELKInitCAN(com_port, VELK_INACTIVE, VELK_INACTIVE);
    (void)VELKCloseDevice(com_port);
    return 1;
}

int procConnect(int com_port, CAN_CNNT_INFO *info)
{
    {
        std::lock_guard<std::mutex> lock(MTX_upui);
        upui_info.device_type = TYPE_CANFD;
    }
    if (info == nullptr)
        return 1;
    if (info->is_discnnt)
        return disconnect_device(com_port);
    return connect_device(com_port, info);
}

int procInitial(int com_port, bool to_start)
{
    if (to_start)
        return VELKInitCAN(com_port, VELK_ACTIVE, VELK_ACTIVE);
    // A receive call running beside the stop command could swallow its reply.
    apipart_stop_recv_worker();
    return VELKInitCAN(com_port, VELK_INACTIVE, VELK_INACTIVE);
}

int procReset(int com_port)
{
    int r = VELKResetCAN(com_port);
    if (r != 0)
        return r;
    push_config(com_port);
    return 0;
}

int procError(int com_port, int type)
{
    return VELKSetErrorType(com_port, type);
}

static int apply_filter(int com_port, CAN_SET_INFO *ch, int channel)
{
    if (ch->is_filt)
        return VELKSetFilter(com_port, &ch->filt_info);
    return VELKClearFilter(com_port, channel);
}

int procCanSet(int com_port, CAN_SET_INFO *info)
{
    if (info == nullptr)
        return 1;
    CFG_CANFD fd;
    fd.CAN1_DataRate = static_cast<unsigned char>(info[0].Dbaud & 0xFF);
    fd.CAN1_FDF_EN = info[0].fdf ? 1 : 0;
    fd.CAN2_DataRate = static_cast<unsigned char>(info[1].Dbaud & 0xFF);
    fd.CAN2_FDF_EN = info[1].fdf ? 1 : 0;
    (void)VELKSetCFG_CANFD(com_port, &fd);
    // Every call is made even when an earlier one failed.
    int r1 = VELKSetMode(com_port, info[0].mode, info[1].mode);
    int r2 = VELKSetBaudRate(com_port, info[0].baud, info[1].baud);
    int r3 = apply_filter(com_port, &info[0], 0);
    int r4 = apply_filter(com_port, &info[1], 1);
    read_config_back(com_port);
    return r1 + r2 + r3 + r4;
}

int procCfg(int com_port, char *file_name, bool is_imp)
{
    if (!is_imp)
        return VELKExpCfg(com_port, file_name);
    int r = VELKImpCfg(com_port, file_name);
    if (r != 0)
        return r;
    push_config(com_port);
    return 0;
}

int procCanStatus(int com_port, int *can1_state, int *can2_state)
{
    return VELKGetCANStatus(com_port, can1_state, can2_state);
}

int procCheckDevice(int com_port)
{
    return VELKCheckDevice(com_port);
}

// Smallest CAN FD payload length that holds n bytes, as its DLC code.
unsigned char CANFD_EncodeDLC(unsigned char u8NumberOfBytes)
{
    return static_cast<unsigned char>(VELKLengthToDlc(u8NumberOfBytes));
}

unsigned char CANFD_DecodeDLC(unsigned char u8Dlc)
{
    return static_cast<unsigned char>(VELKDlcToLength(u8Dlc));
}
