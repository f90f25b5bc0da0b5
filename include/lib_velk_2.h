/*
 * lib_velk_2: driver library for the two-channel USB-to-CAN / CAN FD adapter
 * that the host sees as a serial (virtual COM) port, opened at 9600 bit/s,
 * "8N1". Plain C interface, usable from C and C++:
 *
 *     cc my_program.c $(pkg-config --cflags --libs velk_2)
 *
 * A first program:
 *
 *     if (VELKOpenDevice(0) != 0)              port index 0: /dev/ttyCAN0
 *         return 1;
 *     VELKSetBaudRate(0, 7, 7);                500 kbit/s on both channels
 *     VELKInitCAN(0, VELK_ACTIVE, VELK_ACTIVE);
 *     CAN_FRAME_INFO f = {0};
 *     f.CAN_port = VELK_CAN_1; f.id_type = VELK_SID; f.id = 0x123;
 *     f.dlc = 2; f.data[0] = 0x11; f.data[1] = 0x22;
 *     VELKSend(0, &f);
 *     if (VELKReceive_CANFD(0, &f) == 1 && f.msg_type == VELK_DATA_TYPE)
 *         printf("%s %X\n", f.recv_time, f.id);
 *     VELKCloseDevice(0);
 *
 * Ports. Every operation takes a port index first: on Linux an index into
 * comports[] (0 to 67; a program may point an entry at any device path), in
 * the Windows DLLs the COM port number minus one. Open a port with
 * VELKOpenDevice before anything else.
 *
 * Results. Operations return 0 for success and 1 for failure, except:
 * the receive calls (1 = a record was produced, 0 = none), the counts of
 * VELKReceiveNonblock and VELKReceiveNonblockCS, VELKSetRecvBlock (-1 when
 * the port is not open), VELK_search_com (a record), and the serial
 * functions of the Windows DLLs (handles, byte counts, -1). A failure is
 * never retried.
 *
 * Commands. Configuration and queries are command exchanges: the library
 * writes a command frame (code, arguments, byte sum, CR, LF) and, for a
 * command with a reply, waits for the adapter's answer: each such exchange
 * blocks its caller for 150 ms (longer while a reply that has begun is
 * still coming, until 100 ms after its last byte). It fails when the port is
 * not open, the write fails, no reply or a short one arrives, or the reply's
 * status byte is not 0.
 *
 * Threads. Commands on one port are serialised: a second thread's command
 * waits until the first has its reply. Receive calls may run on another
 * thread at the same time as commands and as the transmit calls; the
 * replies are picked out of the input and the reports that arrive meanwhile
 * are kept, in order, for the receive calls. Run one receive call at a time
 * per port. The range-filter tables are guarded by a lock. Opening and
 * closing ports (also VELK_search_com and VELKFlexibleVCOM) change the list
 * of open ports, which is not locked: do it while no other call runs.
 *
 * Diagnostics. With the environment variable VELK_DEBUG=1 the library writes
 * to standard error why a call failed, one line each ("velk: VELKGetCfg
 * port 0: no reply; sent 37 37 0D 0A; got nothing"); unset, it prints
 * nothing.
 *
 * The records below are laid out flat with natural alignment; Windows
 * callers of the DLL builds depend on these layouts.
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

/* Channel (CAN_port of the records, the channel arguments) */
#define VELK_CAN_1 0
#define VELK_CAN_2 1
/* Channel state (VELKInitCAN, VELKGetCANStatus) */
#define VELK_INACTIVE 0
#define VELK_ACTIVE 1
/* Channel mode (VELKSetMode); listen-only sends no acknowledgements */
#define VELK_NORMAL 0
#define VELK_LISTEN 1
/* Identifier type: 11-bit or 29-bit */
#define VELK_SID 1
#define VELK_EID 2
/* Remote frame */
#define VELK_DIS_RTR 0
#define VELK_EN_RTR 1
/* Error reporting (VELKSetErrorType): which error reports the adapter sends */
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
/* Kind of a received record (CAN_FRAME_INFO.msg_type): a data frame, an
 * EEPROM error report, a bus error report, the reply to VELKGetBusError, a
 * bus error report of the PSR kind */
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

/* Versions (VELKShowVer). */
typedef struct VER_INFO {
    char fw[16];    /* firmware version "%02X.%02X" */
    char api[16];   /* library version, always "3.1.0" */
    char model[16]; /* build identifier "%02X%02X" */
} VER_INFO;

/* One channel's acceptance filter in the adapter (VELKSetFilter). */
typedef struct FILTER_INFO {
    int CAN_port;
    int flt_type; /* 0 none, VELK_SID, VELK_EID */
    unsigned int flt_id;
    unsigned int mask; /* a mask with bit 28 set is a 29-bit one */
} FILTER_INFO;

/* The adapter's configuration (VELKGetCfg); index 0 is CAN1. */
typedef struct CFG_INFO {
    unsigned char baud[2]; /* nominal bit-rate codes (VELK_NOMINAL_BIT_RATES) */
    unsigned char mode[2];     /* VELK_NORMAL, VELK_LISTEN */
    unsigned char flt_type[2]; /* 0, VELK_SID, VELK_EID */
    unsigned int flt_id[2];
    unsigned int flt_mask[2]; /* a 29-bit filter's mask: its low 29 bits */
    unsigned char err_set;    /* VELK_DIS_ALL ... VELK_EN_ALL */
} CFG_INFO;

/* The configuration with the CAN FD settings (VELKGetCFG_CANFD): the fields
 * of CFG_INFO, then per channel the FD enable (0/1) and the data-phase rate
 * in Mbit/s. */
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

/* CAN FD data-phase rates (Mbit/s: 2, 4, 5, 6, 8, 10) and enables (0/1) to
 * set (VELKSetCFG_CANFD). */
typedef struct CFG_CANFD {
    unsigned char CAN1_DataRate;
    unsigned char CAN1_FDF_EN;
    unsigned char CAN2_DataRate;
    unsigned char CAN2_FDF_EN;
} CFG_CANFD;

/* One of the adapter's three timing sets, carried byte for byte; the adapter
 * defines the parameters (VELKSet_TimingCFG_CANFD, VELKGet_TimingCFG_CANFD). */
typedef struct TIMING_CFG_CANFD {
    unsigned char sel; /* timing set 0, 1 or 2 */
    unsigned char param[4];
    unsigned char reserved; /* never sent, cleared by the query */
    unsigned char param5;
    unsigned short param6; /* only the low byte crosses the wire */
    unsigned char param7[9];
} TIMING_CFG_CANFD;

/* The adapter's receive timestamp. */
typedef struct TIME_ST_T {
    unsigned int second;
    unsigned int micro_second;
} TIME_ST_T;

/* A frame to send or a record received. Sending reads CAN_port, id_type,
 * rtr, dlc, id and data (CAN FD also brs, esi, fdf); values are not
 * checked. A receive call sets what its report carries and leaves the rest
 * as the caller had it: clear the record first. */
typedef struct CAN_FRAME_INFO {
    int CAN_port; /* VELK_CAN_1 or VELK_CAN_2 */
    int id_type;  /* VELK_SID or VELK_EID */
    int rtr;      /* VELK_DIS_RTR, VELK_EN_RTR */
    int dlc;      /* the DLC code, not the byte count (VELKDlcToLength) */
    int msg_type; /* received: VELK_DATA_TYPE ... VELK_BUSERR_PSR_TYPE */
    int brs;      /* VELK_BRS_OFF, VELK_BRS_ON */
    int esi;      /* error state indicator, 0 or 1 */
    int fdf;      /* VELK_FDF_OFF, VELK_FDF_ON */
    char recv_time[13]; /* received: host time of day "%02d:%02d:%02d:%03d" */
    unsigned int id;
    unsigned char data[64];
    unsigned char data_err[2][6]; /* status reports: six bytes per channel */
    TIME_ST_T timestamp;          /* received 0xE2/0xF1 reports: the adapter's */
} CAN_FRAME_INFO;

/* A slot of the send queue (enable_send_queue). */
typedef struct SEND_QUEUE_ITEM {
    int com_port;
    CAN_FRAME_INFO can_frame_info;
} SEND_QUEUE_ITEM;

/* A raw exchange (VELKTesting). */
typedef struct TESTING_INFO {
    uint32_t reserved;
    int send_len;
    int recv_len;
    unsigned char send_buf[256];
    unsigned char *recv_buf; /* caller's buffer of at least recv_len bytes */
} TESTING_INFO;

/* A port's virtual COM settings (VELKGetVCOMConfig). Ports with the same
 * dev_id belong to one adapter. */
typedef struct VCOM_CFG_INFO {
    unsigned int vcom_mode; /* pairing acts only when 0 */
    unsigned int vcom_map;
    unsigned int vcom_order; /* the adapter's own order of its ports */
    int com_index;           /* the port index queried */
    unsigned char dev_id[8];
} VCOM_CFG_INFO;

/* Ports with an answering adapter (VELK_search_com). */
typedef struct COM_SEARCH_INFO {
    int num;                  /* ports found */
    int com[VELK_PORT_COUNT]; /* their indices in ascending order, then 0 */
} COM_SEARCH_INFO;

/* A bounded receive (VELKReceiveNonblock). */
typedef struct NON_BLOCK_INFO {
    unsigned int cnt;               /* records wanted */
    unsigned int interval;          /* time limit, milliseconds */
    CAN_FRAME_INFO *can_frame_info; /* room for cnt records */
} NON_BLOCK_INFO;

/* One identifier range of a pass-list: in force when used is not 0; matches
 * frames of id_type with id_low <= id <= id_high. */
typedef struct RANGE_FILTER_ENTRY {
    unsigned int used;
    unsigned int id_type; /* VELK_SID, VELK_EID */
    unsigned int id_low;
    unsigned int id_high;
} RANGE_FILTER_ENTRY;

/* A channel's pass-list for received data frames, kept by the library per
 * open port: when enabled, a frame in none of the used ranges is dropped. */
typedef struct RANGE_FILTER_INFO {
    unsigned char enable; /* 1 = filtering on */
    unsigned char reserved[3];
    RANGE_FILTER_ENTRY entry[16];
} RANGE_FILTER_INFO;

/* One node per opened port, in the list first..last; allocated and freed by
 * the library, which keeps the port's input (its buffer and locks) in the
 * same allocation, behind it. Read-only for callers. */
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

/* Opens the port's device, discards what is waiting, asks for the channel
 * status twice (0x60; the second answer decides), stops both channels ('a'),
 * reads the versions ('5', '6') and, for a generation-5 adapter, pairs its
 * two virtual COM ports (VELKFlexibleVCOM). Blocks about 750 ms, more while
 * pairing. 0: open and answering; 1: no such index, already open, the device
 * cannot be opened, or no adapter answers (the port is closed again). */
VELK_API int VELKOpenDevice(int com_port);
/* As VELKOpenDevice; in the Windows DLLs reads wait up to 1 ms for what
 * they ask for. */
VELK_API int VELKOpenDeviceSCT(int com_port);
/* Stops both channels ('a', 150 ms), closes the device and forgets the port.
 * 0; 1 when the port is not open (nothing sent). */
VELK_API int VELKCloseDevice(int com_port);
/* Starts or stops the channels (VELK_ACTIVE / VELK_INACTIVE each). Stopping
 * both is one 'a' command. Otherwise: the status query (0x60), a stop when a
 * channel runs, the configuration query ('7') that sets each channel's
 * pause before a frame from its nominal bit rate (send_delay), then the 'a'
 * command: up to 600 ms. The result of the last 'a' command. */
VELK_API int VELKInitCAN(int com_port, int can1_state, int can2_state);
/* Firmware ('5') and build identifier ('6') into info->fw ("05.0A") and
 * info->model ("5102"); info->api is always "3.1.0". 300 ms. 0 when both
 * answered; 1 otherwise, fw and model left as they were. */
VELK_API int VELKShowVer(int com_port, VER_INFO *info);
/* Channel states (0x60): 1 active, 0 stopped. 150 ms. 0 and both written;
 * 1 and nothing written. */
VELK_API int VELKGetCANStatus(int com_port, int *can1_state, int *can2_state);
/* The two build-identifier bytes ('6') into bldid[0..1]. 150 ms. 0 and both
 * written; 1 and nothing written. */
VELK_API int VELKGetBLDID(int com_port, unsigned char *bldid);

/* ---- channel configuration: one command of 150 ms each unless said ----
 * The adapter keeps its configuration; the channels take it when started. */

/* Resets the adapter ('4'); read the configuration again afterwards. */
VELK_API int VELKResetCAN(int com_port);
/* Nominal bit-rate codes of CAN1 and CAN2 (VELK_NOMINAL_BIT_RATES; 7 is
 * 500 kbit/s). Reads the versions first (300 ms): adapters of generation 0
 * to 2 refuse codes 0 to 3, and then 1 is returned with nothing more sent.
 * Otherwise sends '0'. */
VELK_API int VELKSetBaudRate(int com_port, int can1_code, int can2_code);
/* VELK_NORMAL or VELK_LISTEN per channel ('3'). */
VELK_API int VELKSetMode(int com_port, int can1_mode, int can2_mode);
/* Which error reports the adapter sends ('8'): VELK_DIS_ALL, VELK_EE_ERR,
 * VELK_BUS_ERR or VELK_EN_ALL. */
VELK_API int VELKSetErrorType(int com_port, int setting);
/* A channel's acceptance filter in the adapter ('1' for CAN1, '2' for CAN2).
 * 1 without sending when filter is null or its CAN_port is not a channel. */
VELK_API int VELKSetFilter(int com_port, FILTER_INFO *filter);
/* Clears channel 0's or 1's filter (clr_filt_0_cmd, clr_filt_1_cmd); 1
 * without sending for any other channel. */
VELK_API int VELKClearFilter(int com_port, int channel);
/* The configuration ('7'). The record is cleared first, also on failure. */
VELK_API int VELKGetCfg(int com_port, CFG_INFO *cfg);
/* The configuration with the CAN FD settings ('G'); cleared first. */
VELK_API int VELKGetCFG_CANFD(int com_port, CANFD_CFG_INFO *cfg);
/* CAN FD data rates and enables ('J'; on the wire both rates come first). */
VELK_API int VELKSetCFG_CANFD(int com_port, CFG_CANFD *cfg);
/* Sets timing set timing->sel ('K'). */
VELK_API int VELKSet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing);
/* Reads timing set sel, 0 to 2 ('L'). sel above 2: 1, nothing sent, the
 * record untouched. Otherwise the record is cleared first, and a reply for
 * another set fails. */
VELK_API int VELKGet_TimingCFG_CANFD(int com_port, TIMING_CFG_CANFD *timing, unsigned char sel);
/* Writes the configuration ('7') to a 92-byte file (23 little-endian words).
 * 1 when the query fails (no file is made) or the file cannot be written
 * whole. */
VELK_API int VELKExpCfg(int com_port, const char *file_name);
/* Reads such a file and applies it: VELKSetBaudRate, VELKSetMode,
 * VELKSetErrorType and VELKSetFilter for both channels, each attempted
 * (about 1.2 s). 0 only when all succeeded; 1 when one failed, or at once
 * when the file cannot be read or is not 92 bytes. */
VELK_API int VELKImpCfg(int com_port, const char *file_name);

/* ---- virtual COM, search ---- */

/* The port's virtual COM settings ('M'); com_index is set to com_port.
 * 0 and the record filled; 1 and it untouched. */
VELK_API int VELKGetVCOMConfig(int com_port, VCOM_CFG_INFO *info);
/* Sets the port's vcom_map ('N', value sent as one byte). */
VELK_API int VELKSetVCOMConfig(int com_port, int value);
/* Pairs the two ports of one adapter: when this open port's vcom_mode is 0,
 * opens every other port index in turn (ports open in this process are
 * skipped) until one reports the same dev_id, and when the two orders
 * disagree sends that port the inverse vcom_map; every port it opened is
 * closed again. Slow: about 1 s per answering adapter. 0 when nothing was to
 * be done or a peer was found; 1 when the query failed or no peer was found. */
VELK_API int VELKFlexibleVCOM(int com_port);
/* Opens and closes every port index from 23 on (ports open in this process
 * are skipped) and lists those with an answering adapter. Slow: about 1 s
 * per adapter found, 300 ms per device that does not answer. */
VELK_API COM_SEARCH_INFO VELK_search_com(void);
#if !defined(_WIN32)
/* Opens the port for a program that reads and writes the device itself:
 * no status query, so it succeeds whatever answers; stops both channels and
 * reads the versions as VELKOpenDevice does. *fd (when fd is not null) gets
 * the device's descriptor; close with VELKCloseDevice. 0; 1 when the device
 * cannot be opened. */
VELK_API int VELKOpenSocketCAN(int com_port, int *fd);
/* 0 while the port is open and its device is still attached; 1 when the
 * port is not open or the device has gone (unplugged). The receive calls
 * return 0 in both cases "nothing waiting" and "device gone"; this tells
 * them apart. Does not block. */
VELK_API int VELKCheckDevice(int com_port);
/* What the input of an open port has lost since the port was opened:
 * *skipped_bytes, bytes that started no report (noise, the rest of a report
 * cut short) and were skipped while finding the next report; and
 * *dropped_reports, whole reports dropped because the library's input buffer
 * (1 MiB) was full and no receive call had taken them. 0 and both written;
 * 1 when the port is not open or a pointer is null. Does not block. */
VELK_API int VELKGetInputStats(int com_port, unsigned long long *skipped_bytes, unsigned long long *dropped_reports);
#endif

/* ---- transmit ----
 * Each frame is preceded by its channel's pause, send_delay[CAN_port]
 * (100 us at 1 Mbit/s to 1050 us at 100 kbit/s, up to 32 ms at the lowest
 * rates and the custom settings), paid in the calling thread. With
 * enable_send_queue set, the send calls only store the frame in the queue. */

/* A classic frame: 0xE0, flags, identifier, always eight data bytes, sum,
 * CR, LF (17 bytes). 0 when written (or queued); 1 when CAN_port is not a
 * channel, the port is not open, the write was short or the queue is full. */
VELK_API int VELKSend(int com_port, CAN_FRAME_INFO *frame);
/* A CAN FD frame: 0xF0, flags, FD flags, identifier, the payload of the DLC
 * (at least eight bytes), sum, CR, LF (18 to 74 bytes); also for fdf 0.
 * Results as VELKSend. */
VELK_API int VELKSend_CANFD(int com_port, CAN_FRAME_INFO *frame);
/* A raw exchange: writes send_len bytes of send_buf as they are (no sum
 * added) and, when recv_len is not 0, waits 150 ms and reads up to recv_len
 * bytes into recv_buf (cleared first). 0 when written and, if a reply was
 * asked for, at least one byte came; 1 otherwise or for bad lengths. */
VELK_API int VELKTesting(int com_port, TESTING_INFO *info);

/* ---- receive and range filters ----
 * Every byte from the adapter goes through one input buffer per port. A
 * command takes its reply out of it by echo and length and leaves the reports
 * that arrive before, between or after the reply bytes, in order, for these
 * calls. A receive call returns 0 at once when nothing has begun to arrive;
 * the rest of a report is waited for until the port has been quiet for
 * 100 ms (in blocking mode: until it comes). Bytes that start no report are
 * skipped; a data report that a pass-list drops leaves the record zeroed. */

/* One classic report: 0xE1 frames and the 0x99 0x01, 0x99 0x02 and 0x62 0x02
 * status reports (0xE2, 0xF1 and 0x99 0x04 are taken and dropped). 1: a
 * record was produced; 0: nothing, or the report was dropped (a bus error
 * report of twelve zero bytes, a pass-list, a channel that is none). */
VELK_API int VELKReceive(int com_port, CAN_FRAME_INFO *frame);
/* One report of any kind: also 0xE2 and 0xF1 (with the adapter's timestamp;
 * an 0xF1 without its FDF bit is dropped) and 0x99 0x04. Results as
 * VELKReceive. */
VELK_API int VELKReceive_CANFD(int com_port, CAN_FRAME_INFO *frame);
/* Receives (as VELKReceive_CANFD) into info->can_frame_info until info->cnt
 * records were produced or info->interval ms have passed, waiting for input
 * rather than spinning; ends early when the device has gone. The number of
 * records (0 also when the port is not open or cnt is 0). */
VELK_API int VELKReceiveNonblock(int com_port, NON_BLOCK_INFO *info);
#if defined(_WIN32)
/* VELKReceiveNonblock with its three limits as arguments. */
VELK_API int VELKReceiveNonblockCS(int com_port, int cnt, int interval, CAN_FRAME_INFO *frames);
#endif
/* Asks for the bus status ('b') without waiting: the adapter's answer, a
 * 0x62 0x02 report, comes through the receive calls (VELK_GETBUS_TYPE).
 * 0 when written; 1 when not. */
VELK_API int VELKGetBusError(int com_port);
/* Blocking mode on or off (Linux): in blocking mode the receive calls wait
 * for input without a limit (until a report or a hang-up). 0 on success; -1
 * when the port is not open or the switch failed (always -1 on Windows). */
VELK_API int VELKSetRecvBlock(int com_port, bool blocking);
/* Per channel: 2 switches its pass-list on, 1 off, 3 off and cleared; any
 * other value leaves it. 0; 1 when the port is not open. */
VELK_API int VELKInitRangeFilter(int com_port, int can1_op, int can2_op);
/* Copies both pass-lists out (both pointers required). 0; 1 when the port
 * is not open. */
VELK_API int VELKGetRangeFilter(int com_port, RANGE_FILTER_INFO *can1, RANGE_FILTER_INFO *can2);
/* Replaces the pass-list of each channel whose block is given (null: left
 * as it is); a table just set is off until VELKInitRangeFilter switches it
 * on with 2. 0; 1 when the port is not open. */
VELK_API int VELKSetRangeFilter(int com_port, RANGE_FILTER_INFO *can1, RANGE_FILTER_INFO *can2);

/* ---- library globals ---- */
#if !defined(_WIN32)
/* Device names by port index (/dev/ttyCAN0..15, /dev/ttyUSB0..5, ...,
 * /dev/ttyACM0..15 from index 24); a host program may repoint entries. */
VELK_API extern const char *comports[68];
#endif

/* The commands without arguments, each a complete frame. */
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

/* The list of open ports (read-only for callers). */
VELK_API extern COM_NODE *first;
VELK_API extern COM_NODE *last;
VELK_API extern COM_NODE *previous;

/* Set while an open runs the pairing, so that its own opens do not. */
VELK_API extern bool g_FlexibleVCOM_flag;
/* The range-filter lock; taken by the library, not to be set by callers. */
VELK_API extern bool range_filter_mutex;
/* Low byte: the flags byte of the last data report and the FD flags byte of
 * the last 0xF1 report that VELKReceive_CANFD read. */
VELK_API extern uint32_t temp_buf_fun0;
VELK_API extern uint32_t temp_buf_fun1;

/* The send queue, off unless a program sets it up: size_send_queue slots at
 * can_frame_queue, then enable_send_queue. The send calls then store each
 * frame at the slot after rear instead of writing it; the program sends them
 * and advances front (the slot it took last, -1 before any). Not locked: a
 * program that drains it from another thread serialises that itself. */
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
