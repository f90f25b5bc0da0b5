/*
 * lib_velk_2: driver library for the two-channel USB-to-CAN / CAN FD adapter
 * that the host sees as a serial (virtual COM) port.
 *
 * Plain C interface, usable from C and C++. Every operation takes the port
 * index first and returns 0 for success and 1 for failure unless noted.
 * The records below are laid out flat with natural alignment; Windows callers
 * of the DLL builds depend on these layouts.
 */
#ifndef LIB_VELK_2_H
#define LIB_VELK_2_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#include <windows.h>
#if defined(VELK_BUILDING_DLL)
#define VELK_API __declspec(dllexport)
#else
#define VELK_API
#endif
#else
#define VELK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Number of port indices: the Linux device-name table, or COM1..COM256. */
#if defined(_WIN32)
#define VELK_PORT_COUNT 256
#else
#define VELK_PORT_COUNT 68
#endif

/* Channel */
#define VELK_CAN_1 0
#define VELK_CAN_2 1
/* Channel state */
#define VELK_INACTIVE 0
#define VELK_ACTIVE 1
/* Channel mode */
#define VELK_NORMAL 0
#define VELK_LISTEN 1
/* Identifier type */
#define VELK_SID 1
#define VELK_EID 2
/* Remote frame */
#define VELK_DIS_RTR 0
#define VELK_EN_RTR 1
/* Error reporting */
#define VELK_DIS_ALL 0
#define VELK_EE_ERR 1
#define VELK_ROM_ERR 1
#define VELK_BUS_ERR 2
#define VELK_EN_ALL 255
/* Bit-rate switch */
#define VELK_BRS_OFF 0
#define VELK_BRS_ON 1
/* FD format */
#define VELK_FDF_OFF 0
#define VELK_FDF_ON 1
/* Received message type */
#define VELK_DATA_TYPE 0
#define VELK_EEERR_TYPE 1
#define VELK_ROMERR_TYPE 1
#define VELK_BUSERR_TYPE 2
#define VELK_GETBUS_TYPE 3
#define VELK_BUSERR_PSR_TYPE 4

/* CAN FD payload length of each DLC code 0 to 15 (ISO 11898-1); codes up to
 * 8 are their own length. A record's dlc is always the code. */
#define VELK_DLC_LENGTHS {0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64}

/* Nominal bit-rate codes (VELKSetBaudRate, CFG_INFO.baud): the bit rate of
 * each code 0 to 12 in bit/s; 0 for codes 11 and 12, the adapter's custom
 * settings 0 and 1. The adapter's codes ran from 5 kbit/s to 1 Mbit/s
 * (0 to 9) before 400 kbit/s was added: it took the next free code, 10, so
 * that every earlier code kept its meaning, and sits between codes 6 and 7
 * by speed. */
#define VELK_NOMINAL_BIT_RATES \
    {5000, 10000, 20000, 50000, 100000, 125000, 250000, 500000, 800000, 1000000, 400000, 0, 0}
#define VELK_BIT_RATE_CODES 13

/* Payload length in bytes of a DLC code: 0 for a negative code, 64 above 15. */
static inline int VELKDlcToLength(int dlc)
{
    static const unsigned char length[16] = VELK_DLC_LENGTHS;
    return dlc < 0 ? 0 : length[dlc > 15 ? 15 : dlc];
}

/* The smallest DLC code whose payload holds `bytes` bytes; 15 above 64. */
static inline int VELKLengthToDlc(int bytes)
{
    int dlc = 0;
    while (dlc < 15 && VELKDlcToLength(dlc) < bytes)
        ++dlc;
    return dlc;
}

/* Bit rate in bit/s of a nominal bit-rate code; 0 for the custom settings
 * and for codes outside 0 to 12. */
static inline int VELKNominalBitRate(int code)
{
    static const int rate[VELK_BIT_RATE_CODES] = VELK_NOMINAL_BIT_RATES;
    return code < 0 || code >= VELK_BIT_RATE_CODES ? 0 : rate[code];
}

typedef struct VER_INFO {
    char fw[16];    /* firmware version "%02X.%02X" */
    char api[16];   /* library version, always "3.1.0" */
    char model[16]; /* build identifier "%02X%02X" */
} VER_INFO;

typedef struct FILTER_INFO {
    int CAN_port;
    int flt_type; /* 0 none, VELK_SID, VELK_EID */
    unsigned int flt_id;
    unsigned int mask;
} FILTER_INFO;

typedef struct CFG_INFO {
    unsigned char baud[2];
    unsigned char mode[2];
    unsigned char flt_type[2];
    unsigned int flt_id[2];
    unsigned int flt_mask[2];
    unsigned char err_set;
} CFG_INFO;

/* The fields of CFG_INFO, then the CAN FD enables and data rates. */
typedef struct CANFD_CFG_INFO {
    unsigned char baud[2];
    unsigned char mode[2];
    unsigned char flt_type[2];
    unsigned int flt_id[2];
    unsigned int flt_mask[2];
    unsigned char err_set;
    unsigned char fdf_en[2];
    unsigned char datarate[2];
} CANFD_CFG_INFO;

typedef struct CFG_CANFD {
    unsigned char CAN1_DataRate;
    unsigned char CAN1_FDF_EN;
    unsigned char CAN2_DataRate;
    unsigned char CAN2_FDF_EN;
} CFG_CANFD;

typedef struct TIMING_CFG_CANFD {
    unsigned char sel; /* timing set 0, 1 or 2 */
    unsigned char param[4];
    unsigned char reserved; /* never sent, cleared by the query */
    unsigned char param5;
    unsigned short param6; /* only the low byte crosses the wire */
    unsigned char param7[9];
} TIMING_CFG_CANFD;

typedef struct TIME_ST_T {
    unsigned int second;
    unsigned int micro_second;
} TIME_ST_T;

typedef struct CAN_FRAME_INFO {
    int CAN_port; /* VELK_CAN_1 or VELK_CAN_2 */
    int id_type;  /* VELK_SID or VELK_EID */
    int rtr;
    int dlc; /* the DLC code, not the byte count */
    int msg_type;
    int brs;
    int esi;
    int fdf;
    char recv_time[13]; /* "%02d:%02d:%02d:%03d" */
    unsigned int id;
    unsigned char data[64];
    unsigned char data_err[2][6];
    TIME_ST_T timestamp;
} CAN_FRAME_INFO;

typedef struct SEND_QUEUE_ITEM {
    int com_port;
    CAN_FRAME_INFO can_frame_info;
} SEND_QUEUE_ITEM;

typedef struct TESTING_INFO {
    uint32_t reserved;
    int send_len;
    int recv_len;
    unsigned char send_buf[256];
    unsigned char *recv_buf; /* caller's buffer of at least recv_len bytes */
} TESTING_INFO;

typedef struct VCOM_CFG_INFO {
    unsigned int vcom_mode;
    unsigned int vcom_map;
    unsigned int vcom_order;
    int com_index;
    unsigned char dev_id[8];
} VCOM_CFG_INFO;

typedef struct COM_SEARCH_INFO {
    int num;
    int com[VELK_PORT_COUNT];
} COM_SEARCH_INFO;

typedef struct NON_BLOCK_INFO {
    unsigned int cnt;
    unsigned int interval; /* milliseconds */
    CAN_FRAME_INFO *can_frame_info;
} NON_BLOCK_INFO;

typedef struct RANGE_FILTER_ENTRY {
    unsigned int used;
    unsigned int id_type;
    unsigned int id_low;
    unsigned int id_high;
} RANGE_FILTER_ENTRY;

typedef struct RANGE_FILTER_INFO {
    unsigned char enable;
    unsigned char reserved[3];
    RANGE_FILTER_ENTRY entry[16];
} RANGE_FILTER_INFO;

/* One node per opened port; allocated and freed by the library, which keeps
 * the port's input (its buffer and locks) in the same allocation, behind it. */
typedef struct COM_NODE {
    uint8_t is_open;
    int com_index;
#if defined(_WIN32)
    HANDLE fd;
#else
    int fd;
#endif
    RANGE_FILTER_INFO range_flt[2];
    struct COM_NODE *next;
} COM_NODE;

/* ---- connection and queries ---- */
VELK_API int VELKOpenDevice(int com_port);
VELK_API int VELKOpenDeviceSCT(int com_port);
VELK_API int VELKCloseDevice(int com_port);
VELK_API int VELKInitCAN(int com_port, int can1_state, int can2_state);
VELK_API int VELKShowVer(int com_port, VER_INFO *info);
VELK_API int VELKGetCANStatus(int com_port, int *can1_state, int *can2_state);
VELK_API int VELKGetBLDID(int com_port, unsigned char *bldid);

/* ---- channel configuration ---- */
VELK_API int VELKResetCAN(int com_port);
VELK_API int VELKSetBaudRate(int com_port, int can1_code, int can2_code);
VELK_API int VELKSetMode(int com_port, int can1_mode, int can2_mode);
VELK_API int VELKSetErrorType(int com_port, int setting);
VELK_API int VELKSetFilter(int com_port, FILTER_INFO *filter);
VELK_API int VELKClearFilter(int com_port, int channel);
VELK_API int VELKGetCfg(int com_port, CFG_INFO *cfg);
VELK_API int VELKGetCFG_CANFD(int com_port, CANFD_CFG_INFO *cfg);
VELK_API int VELKSetCFG_CANFD(int com_port, CFG_CANFD *cfg);
VELK_API int VELKSet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing);
VELK_API int VELKGet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing, unsigned char sel);
VELK_API int VELKExpCfg(int com_port, const char *file_name);
VELK_API int VELKImpCfg(int com_port, const char *file_name);

/* ---- virtual COM, search ---- */
VELK_API int VELKGetVCOMConfig(int com_port, VCOM_CFG_INFO *info);
VELK_API int VELKSetVCOMConfig(int com_port, int value);
VELK_API int VELKFlexibleVCOM(int com_port);
VELK_API COM_SEARCH_INFO VELK_search_com(void);
#if !defined(_WIN32)
VELK_API int VELKOpenSocketCAN(int com_port, int *fd);
/* 0 while the port is open and its device is still attached; 1 when the
 * port is not open or the device has gone (unplugged). The receive calls
 * return 0 in both cases "nothing waiting" and "device gone"; this tells
 * them apart. */
VELK_API int VELKCheckDevice(int com_port);
#endif

/* ---- transmit ---- */
VELK_API int VELKSend(int com_port, CAN_FRAME_INFO *frame);
VELK_API int VELKSend_CANFD(int com_port, CAN_FRAME_INFO *frame);
VELK_API int VELKTesting(int com_port, TESTING_INFO *info);

/* ---- receive and range filters ----
 * Every byte from the adapter goes through one input buffer per port. A
 * command takes its reply out of it by echo and length and leaves the reports
 * that arrive before, between or after the reply bytes, in order, for these
 * calls; commands and receive calls may run on different threads, and one
 * command at a time runs per port. A receive call returns 0 at once when
 * nothing has begun to arrive; the rest of a report is waited for until the
 * port has been quiet for 100 ms (in blocking mode: until it comes). */
VELK_API int VELKReceive(int com_port, CAN_FRAME_INFO *frame);
VELK_API int VELKReceive_CANFD(int com_port, CAN_FRAME_INFO *frame);
VELK_API int VELKReceiveNonblock(int com_port, NON_BLOCK_INFO *info);
#if defined(_WIN32)
VELK_API int VELKReceiveNonblockCS(int com_port, int cnt, int interval, CAN_FRAME_INFO *frames);
#endif
VELK_API int VELKGetBusError(int com_port);
VELK_API int VELKSetRecvBlock(int com_port, bool blocking);
VELK_API int VELKInitRangeFilter(int com_port, int can1_op, int can2_op);
VELK_API int VELKGetRangeFilter(int com_port, RANGE_FILTER_INFO *can1, RANGE_FILTER_INFO *can2);
VELK_API int VELKSetRangeFilter(int com_port, RANGE_FILTER_INFO *can1, RANGE_FILTER_INFO *can2);

/* ---- library globals ---- */
#if !defined(_WIN32)
/* Device names by port index; a host program may repoint entries. */
VELK_API extern const char *comports[68];
#endif

VELK_API extern unsigned char show_ver_cmd[4];
VELK_API extern unsigned char bldid_cmd[4];
VELK_API extern unsigned char get_sts_cmd[4];
VELK_API extern unsigned char reset_cmd[4];
VELK_API extern unsigned char expcfg_cmd[4];
VELK_API extern unsigned char getcfg_cmd[4];
VELK_API extern unsigned char getcfg_canfd_cmd[4];
VELK_API extern unsigned char clr_filt_0_cmd[13];
VELK_API extern unsigned char clr_filt_1_cmd[13];
VELK_API extern unsigned char get_vcom_cmd[4];
VELK_API extern unsigned char get_bus_cmd[4];

VELK_API extern COM_NODE *first;
VELK_API extern COM_NODE *last;
VELK_API extern COM_NODE *previous;

VELK_API extern bool g_FlexibleVCOM_flag;
VELK_API extern bool range_filter_mutex;
VELK_API extern uint32_t temp_buf_fun0;
VELK_API extern uint32_t temp_buf_fun1;

VELK_API extern bool enable_send_queue;
VELK_API extern int size_send_queue;
VELK_API extern SEND_QUEUE_ITEM *can_frame_queue;
VELK_API extern int rear;
VELK_API extern int front;
/* Pause before each frame per channel: microseconds (Linux), loop count (Windows). */
VELK_API extern int send_delay[2];

#ifdef __cplusplus
}
#endif

#endif /* LIB_VELK_2_H */
