/* record_layout: prints the size of every record of lib_velk_2.h and the
 * offset of each of its fields as the C compiler lays them out, one per line
 * ("NAME SIZE", "NAME.FIELD OFFSET"); the Python binding's layout test
 * compares its ctypes declarations with these. */
#include <stddef.h>
#include <stdio.h>

#include "lib_velk_2.h"

#define REC(T) printf("%s %zu\n", #T, sizeof(T))
#define FLD(T, f) printf("%s.%s %zu\n", #T, #f, offsetof(T, f))

int main(void)
{
    REC(VER_INFO); FLD(VER_INFO, fw); FLD(VER_INFO, api); FLD(VER_INFO, model);
    REC(FILTER_INFO); FLD(FILTER_INFO, CAN_port); FLD(FILTER_INFO, flt_type); FLD(FILTER_INFO, flt_id);
    FLD(FILTER_INFO, mask);
    REC(CFG_INFO); FLD(CFG_INFO, baud); FLD(CFG_INFO, mode); FLD(CFG_INFO, flt_type); FLD(CFG_INFO, flt_id);
    FLD(CFG_INFO, flt_mask); FLD(CFG_INFO, err_set);
    REC(CANFD_CFG_INFO); FLD(CANFD_CFG_INFO, baud); FLD(CANFD_CFG_INFO, mode); FLD(CANFD_CFG_INFO, flt_type);
    FLD(CANFD_CFG_INFO, flt_id); FLD(CANFD_CFG_INFO, flt_mask); FLD(CANFD_CFG_INFO, err_set);
    FLD(CANFD_CFG_INFO, fdf_en); FLD(CANFD_CFG_INFO, datarate);
    REC(CFG_CANFD); FLD(CFG_CANFD, CAN1_DataRate); FLD(CFG_CANFD, CAN1_FDF_EN); FLD(CFG_CANFD, CAN2_DataRate);
    FLD(CFG_CANFD, CAN2_FDF_EN);
    REC(TIMING_CFG_CANFD); FLD(TIMING_CFG_CANFD, sel); FLD(TIMING_CFG_CANFD, param);
    FLD(TIMING_CFG_CANFD, reserved); FLD(TIMING_CFG_CANFD, param5); FLD(TIMING_CFG_CANFD, param6);
    FLD(TIMING_CFG_CANFD, param7);
    REC(TIME_ST_T); FLD(TIME_ST_T, second); FLD(TIME_ST_T, micro_second);
    REC(CAN_FRAME_INFO); FLD(CAN_FRAME_INFO, CAN_port); FLD(CAN_FRAME_INFO, id_type); FLD(CAN_FRAME_INFO, rtr);
    FLD(CAN_FRAME_INFO, dlc); FLD(CAN_FRAME_INFO, msg_type); FLD(CAN_FRAME_INFO, brs); FLD(CAN_FRAME_INFO, esi);
    FLD(CAN_FRAME_INFO, fdf); FLD(CAN_FRAME_INFO, recv_time); FLD(CAN_FRAME_INFO, id); FLD(CAN_FRAME_INFO, data);
    FLD(CAN_FRAME_INFO, data_err); FLD(CAN_FRAME_INFO, timestamp);
    REC(SEND_QUEUE_ITEM); FLD(SEND_QUEUE_ITEM, com_port); FLD(SEND_QUEUE_ITEM, can_frame_info);
    REC(TESTING_INFO); FLD(TESTING_INFO, reserved); FLD(TESTING_INFO, send_len); FLD(TESTING_INFO, recv_len);
    FLD(TESTING_INFO, send_buf); FLD(TESTING_INFO, recv_buf);
    REC(VCOM_CFG_INFO); FLD(VCOM_CFG_INFO, vcom_mode); FLD(VCOM_CFG_INFO, vcom_map); FLD(VCOM_CFG_INFO, vcom_order);
    FLD(VCOM_CFG_INFO, com_index); FLD(VCOM_CFG_INFO, dev_id);
    REC(COM_SEARCH_INFO); FLD(COM_SEARCH_INFO, num); FLD(COM_SEARCH_INFO, com);
    REC(NON_BLOCK_INFO); FLD(NON_BLOCK_INFO, cnt); FLD(NON_BLOCK_INFO, interval); FLD(NON_BLOCK_INFO, can_frame_info);
    REC(RANGE_FILTER_ENTRY); FLD(RANGE_FILTER_ENTRY, used); FLD(RANGE_FILTER_ENTRY, id_type);
    FLD(RANGE_FILTER_ENTRY, id_low); FLD(RANGE_FILTER_ENTRY, id_high);
    REC(RANGE_FILTER_INFO); FLD(RANGE_FILTER_INFO, enable); FLD(RANGE_FILTER_INFO, reserved);
    FLD(RANGE_FILTER_INFO, entry);
    REC(COM_NODE); FLD(COM_NODE, is_open); FLD(COM_NODE, com_index); FLD(COM_NODE, fd); FLD(COM_NODE, range_flt);
    FLD(COM_NODE, next);
    return 0;
}
