// Virtual COM settings, pairing of the two ports of one adapter, the port
// search and the descriptor hand-off to outside programs.
#include <cstring>

#include "internal.h"

extern "C" {

int VELKGetVCOMConfig(int com_port, VCOM_CFG_INFO *info)
{
    if (info == nullptr)
        return 1;
    unsigned char reply[velk::wire::kMaxReply];
    if (!velk::command_ok(__func__, com_port, get_vcom_cmd, reply))
        return 1;
    const unsigned char *d = reply + velk::wire::kReplyData;
    info->vcom_mode = d[0];
    info->vcom_map = d[1];
    info->vcom_order = d[2];
    info->com_index = com_port;
    std::memcpy(info->dev_id, d + 3, 8);
    return 0;
}

int VELKSetVCOMConfig(int com_port, int value)
{
    unsigned char frame[velk::wire::frame_length('N')] = {'N', static_cast<unsigned char>(value)};
    return velk::send_command(__func__, com_port, frame);
}

int VELKFlexibleVCOM(int com_port)
{
    VCOM_CFG_INFO own, peer;
    std::memset(&own, 0, sizeof(own));
    std::memset(&peer, 0, sizeof(peer));
    if (VELKGetVCOMConfig(com_port, &own) != 0)
        return 1;
    if (own.vcom_mode != 0)
        return 0;
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        // A port this process holds open is never touched.
        if (i == com_port || chk_is_legal_com(i) != nullptr)
            continue;
        if (VELKOpenDevice(i) != 0)
            continue;
        if (VELKGetVCOMConfig(i, &peer) != 0 || peer.vcom_mode != 0 ||
            std::memcmp(peer.dev_id, own.dev_id, sizeof(own.dev_id)) != 0) {
            VELKCloseDevice(i);
            continue;
        }
        // Send the peer the inverse map when the host's numbering runs
        // against the adapter's own order of its ports.
        int own_order = static_cast<int>(own.vcom_order);
        int peer_order = static_cast<int>(peer.vcom_order);
        bool reversed = (own.com_index > peer.com_index && own_order < peer_order) ||
                        (own.com_index < peer.com_index && own_order > peer_order);
        if (reversed) {
            if (own.vcom_map == 0)
                VELKSetVCOMConfig(i, 1);
            else if (own.vcom_map == 1)
                VELKSetVCOMConfig(i, 0);
        }
        VELKCloseDevice(i);
        return 0;
    }
    return 1;
}

COM_SEARCH_INFO VELK_search_com(void)
{
    COM_SEARCH_INFO result;
    std::memset(&result, 0, sizeof(result));
    for (int i = 23; i < VELK_PORT_COUNT; ++i) {
        if (chk_is_legal_com(i) != nullptr)
            continue;  // held by the caller: not ours to close
        if (VELKOpenDevice(i) == 0) {
            VELKCloseDevice(i);
            result.com[result.num++] = i;
        }
    }
    return result;
}

}  // extern "C"
