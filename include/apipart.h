// apipart: the utility's worker layer. Device operations that run a fixed
// sequence of library calls on one open port (one operation at a time; the
// utility runs them on a thread of their own, so its window never waits for
// the adapter), the send and receive worker threads, and the two frame rings
// that carry every sent and received frame to the user interface.
//
// C++ only; used by the utility and its tests.
#ifndef VELK_APIPART_H
#define VELK_APIPART_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <glib.h>

#include "lib_velk_2.h"

// ---- device operations ----

// Connect request and reply.
struct CAN_CNNT_INFO {
    char fw[32];      // reply: "FW: %s"
    char api[32];     // reply: "Lib: %s"
    char mdl[32];     // reply: "Model: %s"
    bool is_discnnt;  // request: false = connect, true = disconnect
};

// Settings of one channel; procCanSet takes an array of two (CAN 1, CAN 2).
struct CAN_SET_INFO {
    int mode;  // VELK_NORMAL or VELK_LISTEN
    int baud;  // nominal bit-rate code
    bool is_filt;
    FILTER_INFO filt_info;
    int Dbaud;  // CAN FD data-rate code, 0 when none is selected
    bool fdf;
};

// Status snapshot handed to the user interface.
struct UPUI_INFO {
    CFG_INFO cfg_info;  // carried, never filled
    CANFD_CFG_INFO cfg_info_canfd;
    unsigned char device_type;  // 0 before the first connect, then TYPE_CANFD
};

constexpr unsigned char TYPE_CANFD = 1;

extern UPUI_INFO upui_info;
// Guards upui_info: a device operation may write it on its own thread while
// the GUI reads it.
extern std::mutex MTX_upui;
// A copy of upui_info taken under MTX_upui.
UPUI_INFO upui_info_copy();

// Supplied by the program (the GUI, or a test binary); called synchronously
// on the thread that runs the operation, after connect, reset and import,
// and only when the configuration was read back: a failed read leaves
// upui_info as it was and pushes nothing.
void guiStatusUpdate(UPUI_INFO info);

// 0 connected; 1 open failed, or disconnect done; 2 version query failed.
int procConnect(int com_port, CAN_CNNT_INFO *info);
int procInitial(int com_port, bool to_start);
int procReset(int com_port);
int procError(int com_port, int type);
// info: array of 2. Sum of the mode, bit-rate and two filter results.
int procCanSet(int com_port, CAN_SET_INFO *info);
int procCfg(int com_port, char *file_name, bool is_imp);
// The channels' states as the adapter reports them (VELK_INACTIVE when
// stopped); the result of VELKGetCANStatus.
int procCanStatus(int com_port, int *can1_state, int *can2_state);
// 0 while the adapter is attached; non-zero once it is gone or the port is
// not open. Asks the port only, so it costs no command exchange.
int procCheckDevice(int com_port);

unsigned char CANFD_EncodeDLC(unsigned char u8NumberOfBytes);
unsigned char CANFD_DecodeDLC(unsigned char u8Dlc);

// ---- workers ----

// A send request.
struct CAN_SEND_INFO {
    int cnt;    // frames per pass; 0 taken as 1; negative sends nothing
    int itvl;   // gap after each frame in microseconds; 0 = none
    int times;  // passes; 0 taken as 1; negative ends at once
    bool id_inc;
    bool is_cancel;  // only stop a running send worker
    CAN_FRAME_INFO can_frame_info;
};

// A receive request.
struct CAN_RECV_INFO {
    int cnt;       // non-blocking: maximum frames per batch
    int time_out;  // non-blocking: batch time in milliseconds
    bool is_normal;
    bool is_cancel;  // only stop the receive worker
};

struct TRD_SEND_INFO {
    int com_port;
    CAN_SEND_INFO info;
};

struct TRD_RECV_INFO {
    int com_port;
    CAN_RECV_INFO info;
};

extern TRD_SEND_INFO trd_send_info;
extern TRD_RECV_INFO trd_recv_info;

// Worker handles; not joinable when no worker is recorded. procSend,
// procRecv and the disconnect change them under a lock of the layer, so
// they may be called from the GUI and from an operation thread.
extern std::thread TRD_send;
extern std::thread TRD_recv;

// Starts a send worker on the request after stopping (and joining) the
// running one; with is_cancel it only stops. A frame the library refuses is
// neither pushed into the send ring nor counted; when a request ends with
// refused frames, the worker posts APIPART_SEND_FAILED.
void procSend(int com_port, CAN_SEND_INFO info);
// Stops and joins the running receive worker; unless is_cancel, starts a new
// one in the requested mode. A non-blocking batch is read in library calls of
// at most 50 ms, so a stop ends the worker within about that time whatever
// the batch time; a completed batch delivers what one call over the whole
// batch time would.
void procRecv(int com_port, CAN_RECV_INFO info);

void TRD_send_fx(TRD_SEND_INFO *arg);
void TRD_recv_fx(TRD_RECV_INFO *arg);

// ---- frame rings ----

struct UPBS_INFO {
    char now_time[13];  // "%02d:%02d:%02d:%03d"
    CAN_FRAME_INFO frame_info;
};

constexpr int UPBS_QUEUE_SIZE = 100000;

extern UPBS_INFO upbs_send[UPBS_QUEUE_SIZE];
extern UPBS_INFO upbs_recv[UPBS_QUEUE_SIZE];

// Send ring indices: every access under MTX_queue_s. front is the slot read
// last, rear the slot written last; -1 at start-up.
extern int front_s;
extern int rear_s;
extern std::mutex MTX_queue_s;

// Receive ring: one producer (receive worker), one consumer (GUI), no lock.
// rear_r is published with release after the slot is written.
extern std::atomic<int> front_r;
extern std::atomic<int> rear_r;

// Non-blocking hand-over: true while a batch is produced or waits to be drained.
extern std::atomic<bool> MTX_queue_r;
// True when the current non-blocking batch is completely in the receive ring.
extern std::atomic<bool> is_done_non_block;
// Run flag of the current receive worker.
extern std::atomic<bool> g_TRD_recv_loop;
// Receive mode chosen in the user interface; true = normal.
extern std::atomic<bool> is_recv_normal;

// Index rule of both rings. Returns the slot the next push writes, or -1
// when the ring is full.
int upbs_next_rear(int front, int rear);
// Returns the slot the next pop reads, or -1 when the ring is empty.
int upbs_next_front(int front, int rear);

// Send ring; the caller holds MTX_queue_s. False when full (entry dropped)
// or empty.
bool upbs_send_push(const UPBS_INFO &entry);
bool upbs_send_pop(UPBS_INFO *entry);
// Receive ring; push only from the receive worker, pop only from the GUI.
bool upbs_recv_push(const UPBS_INFO &entry);
bool upbs_recv_pop(UPBS_INFO *entry);

// Sets all four indices back to -1. Only while no worker runs.
void upbs_reset();

// The GUI's 1 ms tick: pops one send entry, then (in normal mode or once a
// non-blocking batch is complete) empties both rings alternating received
// and sent entries, and releases MTX_queue_r when a complete batch is shown.
// insert is called on the calling thread with no lock held; is_recv tells
// the ring. Returns the number of entries handed over.
typedef void (*upbs_insert_fn)(const UPBS_INFO *entry, bool is_recv, void *user);
int upbs_drain(upbs_insert_fn insert, void *user);

// Lists a frame sent outside the send worker (the transmit list's thread)
// as the send worker lists its own: stamped with the host's time of day and
// pushed into the send ring, which the GUI's tick drains with the rest. Any
// thread; a full ring drops the entry.
void apipart_push_sent(const CAN_FRAME_INFO &frame);

// Clears MTX_queue_r and wakes the non-blocking worker waiting for it. Use
// this rather than storing false into MTX_queue_r directly (which also works,
// with up to 2 ms more delay).
void apipart_release_batch();

// ---- texts of the workers for the GUI ----

// Labels the normal-mode receive worker writes, and the workers' notices.
enum APIPART_LABEL {
    APIPART_LAB_CAN1_ECR = 0,
    APIPART_LAB_CAN2_ECR,
    APIPART_LAB_EEPROM,
    APIPART_LAB_CAN1_PSR,
    APIPART_LAB_CAN2_PSR,
    // Not a label: the adapter has gone (unplugged); the text is empty.
    APIPART_DEVICE_GONE,
    // Not a label: a send request ended with frames the library refused;
    // the text is "FAILED/TRIED", the frames refused and handed over.
    APIPART_SEND_FAILED,
};

// Text for the EEPROM label when an EEPROM error is reported (U+274C).
#define APIPART_EEPROM_ERR_TEXT "\xE2\x9D\x8C"

typedef void (*apipart_status_fn)(int label, const char *text);

// Registers the receiver of the workers' texts (label: APIPART_LABEL). The
// layer keeps the latest text of each label and attaches one idle source to
// ctx (NULL: the default main context); fn runs on the thread that iterates
// ctx, once per changed label. fn NULL drops the texts. Call while no worker
// runs.
void apipart_set_status_sink(GMainContext *ctx, apipart_status_fn fn);

// ---- diagnostics ----

// Receive workers alive now, and the most ever alive at once.
int apipart_recv_workers_alive();
int apipart_recv_workers_max();
// Non-blocking batches requested from the library since start.
long apipart_batches_requested();
// Send worker alive.
bool apipart_send_worker_alive();

#endif
