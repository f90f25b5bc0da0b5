/* Compiled as C: the public header must be plain C, and the records keep the
 * flat, naturally aligned layouts that callers of the shared library use. */
#include <stddef.h>
#include <string.h>

#include "lib_velk_2.h"

_Static_assert(offsetof(CAN_FRAME_INFO, recv_time) == 32, "recv_time follows the eight ints");
_Static_assert(offsetof(CAN_FRAME_INFO, id) == 48, "id is aligned after recv_time");
_Static_assert(offsetof(CAN_FRAME_INFO, data) == 52, "data follows id");
_Static_assert(offsetof(CAN_FRAME_INFO, data_err) == 116, "data_err follows data");
_Static_assert(offsetof(CAN_FRAME_INFO, timestamp) == 128, "timestamp last");
_Static_assert(sizeof(CAN_FRAME_INFO) == 136, "frame record size");
_Static_assert(offsetof(CANFD_CFG_INFO, err_set) == 24 && offsetof(CANFD_CFG_INFO, fdf_en) == 25 &&
                   offsetof(CANFD_CFG_INFO, datarate) == 27,
               "CAN FD configuration repeats the classic fields inline");
_Static_assert(offsetof(CFG_INFO, flt_id) == 8 && sizeof(CFG_INFO) == 28, "configuration record");
_Static_assert(offsetof(TIMING_CFG_CANFD, param6) == 8 && sizeof(TIMING_CFG_CANFD) == 20, "timing record");
_Static_assert(sizeof(RANGE_FILTER_INFO) == 4 + 16 * 16, "range filter table");
_Static_assert(offsetof(TESTING_INFO, recv_buf) % sizeof(void *) == 0 && sizeof(TESTING_INFO) >= 268,
               "raw command record holds a pointer to the caller's buffer");
_Static_assert(sizeof(COM_SEARCH_INFO) == sizeof(int) * 69, "search result");
_Static_assert(offsetof(VCOM_CFG_INFO, dev_id) == 16, "virtual COM record");

int main(void)
{
    /* Linking against the shared library proves functions and data objects
     * are exported with C linkage. */
    int bad = 0;
    bad |= send_delay[0] != 100 || send_delay[1] != 100;
    bad |= rear != -1 || front != -1;
    bad |= memcmp(show_ver_cmd, "55\r\n", 4) != 0;
    bad |= strcmp(comports[0], "/dev/ttyCAN0") != 0 || strcmp(comports[67], "/dev/serusb15") != 0;
    bad |= VELKCloseDevice(3) != 1;
    return bad;
}
