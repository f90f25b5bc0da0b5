// Linux-only device access: the descriptor hand-off to an outside program
// and the check whether an open device is still attached.
#include <cstring>

#include "internal.h"

extern "C" {

int VELKOpenSocketCAN(int com_port, int *fd)
{
    if (!velk::may_open(__func__, com_port))
        return 1;
    velk_port_t port = velk::open_port(__func__, com_port, 0);
    if (port == VELK_NO_PORT)
        return 1;
    if (velk::append_open_node(com_port, port) == nullptr) {
        RS232_CloseComport(port);
        velk::debug_line("%s port %d: out of memory", __func__, com_port);
        return 1;
    }
    VELKInitCAN(com_port, VELK_INACTIVE, VELK_INACTIVE);
    VER_INFO ver;
    std::memset(&ver, 0, sizeof(ver));
    VELKShowVer(com_port, &ver);
    velk::report_opened(__func__, com_port, ver);
    velk::pair_if_generation5(com_port, ver);
    if (fd != nullptr)
        *fd = port;
    return 0;
}

int VELKCheckDevice(int com_port)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return 1;
    return RS232_CheckPort(node->fd) == 0 ? 0 : 1;
}

int VELKGetInputStats(int com_port, unsigned long long *skipped_bytes, unsigned long long *dropped_reports)
{
    velk::InputCounters c;
    if (skipped_bytes == nullptr || dropped_reports == nullptr || !velk::input_counters(com_port, &c))
        return 1;
    *skipped_bytes = c.skipped;
    *dropped_reports = c.overflowed;
    return 0;
}

}  // extern "C"
