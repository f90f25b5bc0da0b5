// Opening and closing a device, starting and stopping its channels, and the
// version, build identifier and channel status queries.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "internal.h"

extern "C" {
bool g_FlexibleVCOM_flag = false;
}

namespace velk {

int generation_of(const VER_INFO &ver)
{
    unsigned char c = static_cast<unsigned char>(ver.fw[1]);
    if (!std::isxdigit(c))
        return 0;
    return std::isdigit(c) ? c - '0' : std::toupper(c) - 'A' + 10;
}

bool may_open(const char *call, int com_port)
{
    if (!port_index_valid(com_port)) {
        debug_line("%s port %d: no such port index", call, com_port);
        return false;
    }
    if (chk_is_legal_com(com_port) != nullptr) {
        debug_line("%s port %d: already open", call, com_port);
        return false;
    }
    return true;
}

velk_port_t open_port(const char *call, int com_port, int read_wait)
{
    const velk_port_t port = open_port_index(com_port, read_wait);
    if (port == VELK_NO_PORT && debug_on()) {
        char name[32];
        debug_line("%s port %d: cannot open %s", call, com_port, port_name(com_port, name, sizeof(name)));
    }
    return port;
}

void report_opened(const char *call, int com_port, const VER_INFO &ver)
{
    if (!debug_on())
        return;
    char name[32];
    debug_line("%s port %d: opened %s, firmware %s, model %s", call, com_port, port_name(com_port, name, sizeof(name)),
               ver.fw[0] != '\0' ? ver.fw : "?", ver.model[0] != '\0' ? ver.model : "?");
}

void pair_if_generation5(int com_port, const VER_INFO &ver)
{
    if (generation_of(ver) != 5 || g_FlexibleVCOM_flag)
        return;
    g_FlexibleVCOM_flag = true;
    VELKFlexibleVCOM(com_port);
    g_FlexibleVCOM_flag = false;
}

namespace {

int open_device(const char *call, int com_port, int read_wait)
{
    if (!may_open(call, com_port))
        return 1;
    velk_port_t port = open_port(call, com_port, read_wait);
    if (port == VELK_NO_PORT)
        return 1;
    timer_period_begin();
    RS232_flushRX(port);

    COM_NODE *node = append_open_node(com_port, port);
    if (node == nullptr) {
        RS232_CloseComport(port);
        timer_period_end();
        debug_line("%s port %d: out of memory", call, com_port);
        return 1;
    }

    int s1 = 0, s2 = 0;
    VELKGetCANStatus(com_port, &s1, &s2);  // the first answer is ignored
    if (VELKGetCANStatus(com_port, &s1, &s2) != 0) {
        RS232_CloseComport(port);
        timer_period_end();
        node->fd = VELK_NO_PORT;
        node->is_open = 0;
        debug_line("%s port %d: no adapter answers the status query; closed again", call, com_port);
        return 1;
    }
    VELKInitCAN(com_port, VELK_INACTIVE, VELK_INACTIVE);
    VER_INFO ver;
    std::memset(&ver, 0, sizeof(ver));
    VELKShowVer(com_port, &ver);
    report_opened(call, com_port, ver);
    pair_if_generation5(com_port, ver);
    return 0;
}

}  // namespace
}  // namespace velk

extern "C" {

int VELKOpenDevice(int com_port)
{
    return velk::open_device(__func__, com_port, 0);
}

int VELKOpenDeviceSCT(int com_port)
{
    return velk::open_device(__func__, com_port, 1);
}

int VELKCloseDevice(int com_port)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return 1;
    VELKInitCAN(com_port, VELK_INACTIVE, VELK_INACTIVE);
    RS232_CloseComport(node->fd);
    delete_com_node(com_port);
    velk::timer_period_end();
    return 0;
}

int VELKInitCANReal(int com_port, int can1_state, int can2_state)
{
    unsigned char frame[velk::wire::frame_length('a')] = {'a', static_cast<unsigned char>(can1_state),
                                                          static_cast<unsigned char>(can2_state)};
    // Named in the diagnostics after the exported call it serves.
    return velk::send_command("VELKInitCAN", com_port, frame);
}

int VELKInitCAN(int com_port, int can1_state, int can2_state)
{
    if (chk_is_legal_com(com_port) == nullptr)
        return 1;
    if (can1_state != VELK_ACTIVE && can2_state != VELK_ACTIVE)
        return VELKInitCANReal(com_port, can1_state, can2_state);
    int s1 = 0, s2 = 0;
    // When the status cannot be read, a channel may still run: stop anyway.
    if (VELKGetCANStatus(com_port, &s1, &s2) != 0 || s1 == VELK_ACTIVE || s2 == VELK_ACTIVE)
        VELKInitCANReal(com_port, VELK_INACTIVE, VELK_INACTIVE);
    fine_tune_send_delay(com_port);
    return VELKInitCANReal(com_port, can1_state, can2_state);
}

int VELKShowVer(int com_port, VER_INFO *info)
{
    if (info == nullptr)
        return 1;
    unsigned char r1[velk::wire::kMaxReply], r2[velk::wire::kMaxReply];
    bool ok1 = velk::command_ok(__func__, com_port, show_ver_cmd, r1);
    bool ok2 = velk::command_ok(__func__, com_port, bldid_cmd, r2);
    int result = 1;
    if (ok1 && ok2) {
        const unsigned char *fw = r1 + velk::wire::kReplyData, *model = r2 + velk::wire::kReplyData;
        std::snprintf(info->fw, sizeof(info->fw), "%02X.%02X", fw[0], fw[1]);
        std::snprintf(info->model, sizeof(info->model), "%02X%02X", model[0], model[1]);
        result = 0;
    }
    std::snprintf(info->api, sizeof(info->api), "%s", "3.1.0");
    return result;
}

int VELKGetCANStatus(int com_port, int *can1_state, int *can2_state)
{
    if (can1_state == nullptr || can2_state == nullptr)
        return 1;
    unsigned char reply[velk::wire::kMaxReply];
    if (!velk::command_ok(__func__, com_port, get_sts_cmd, reply))
        return 1;
    *can1_state = reply[velk::wire::kReplyData];
    *can2_state = reply[velk::wire::kReplyData + 1];
    return 0;
}

int VELKGetBLDID(int com_port, unsigned char *bldid)
{
    if (bldid == nullptr)
        return 1;
    unsigned char reply[velk::wire::kMaxReply];
    if (!velk::command_ok(__func__, com_port, bldid_cmd, reply))
        return 1;
    bldid[0] = reply[velk::wire::kReplyData];
    bldid[1] = reply[velk::wire::kReplyData + 1];
    return 0;
}

}  // extern "C"
