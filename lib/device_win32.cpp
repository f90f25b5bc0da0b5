// Windows-only export: the non-blocking receive with its three limits as
// separate arguments, for callers that cannot build a NON_BLOCK_INFO.
#include "internal.h"

extern "C" {

int VELKReceiveNonblockCS(int com_port, int cnt, int interval, CAN_FRAME_INFO *frames)
{
    if (cnt <= 0 || interval < 0)
        return 0;
    NON_BLOCK_INFO info;
    info.cnt = static_cast<unsigned int>(cnt);
    info.interval = static_cast<unsigned int>(interval);
    info.can_frame_info = frames;
    return VELKReceiveNonblock(com_port, &info);
}

}  // extern "C"
