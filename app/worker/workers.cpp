// The send worker and the receive worker.
#include <sys/prctl.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "apipart.h"
#include "internal_apipart.h"

using Clock = std::chrono::steady_clock;

TRD_SEND_INFO trd_send_info;
TRD_RECV_INFO trd_recv_info;
std::thread TRD_send;
std::thread TRD_recv;

namespace {

// Guards the worker handles and requests: procSend and procRecv run on the
// GUI thread and the disconnect on an operation thread.
std::mutex g_handles_mtx;

// Send worker stop request; the worker waits on the condition variable
// between frames so that a stop ends the wait at once.
std::atomic<bool> g_send_stop{false};
std::atomic<bool> g_send_alive{false};
std::mutex g_send_wait_mtx;
std::condition_variable g_send_wait_cv;

// Wakes the receive worker when MTX_queue_r is released or a stop is asked.
std::mutex g_recv_wait_mtx;
std::condition_variable g_recv_wait_cv;

std::atomic<int> g_recv_alive{0};
std::atomic<int> g_recv_max{0};
std::atomic<long> g_batches{0};

// After an empty poll the normal-mode loop naps and polls again, so that a
// busy bus is read in one wake-up per nap for all the frames that came
// meanwhile, not in a wake-up per frame with empty polls between. The nap
// is as long as kFramesPerNap frames take at the rate just read, from
// kNapMs to kLongestNap: a bus of a few thousand frames a second wakes the
// loop a few hundred times a second, a full one every millisecond, and the
// frames that wait meanwhile stay well within the port's input buffer. After
// kNapPolls empty polls in a row (a quiet bus) it waits for input between
// polls instead, at most kIdleWaitMs a time: a stop is seen within it, and
// a frame wakes the wait at once, so the quiet bus costs almost nothing.
constexpr auto kNapMs = std::chrono::milliseconds(1);
constexpr auto kLongestNap = std::chrono::milliseconds(4);
constexpr int kFramesPerNap = 16;
constexpr int kNapPolls = 20;
constexpr unsigned kIdleWaitMs = 10;
// Empty polls between checks that the adapter is still attached (about
// every 200 ms on a quiet bus).
constexpr int kPresenceCheckPolls = 20;
// How often a waiting non-blocking worker looks at MTX_queue_r on its own,
// in case the flag was cleared without a wake-up.
constexpr auto kHandOverRecheck = std::chrono::milliseconds(2);
// Longest library call of a non-blocking batch: the library call runs to its
// interval, so a batch is read in calls this long and a stop is seen between
// them, whatever the batch time.
constexpr std::chrono::milliseconds kBatchSlice{50};

void notify(std::mutex &m, std::condition_variable &cv)
{
    std::lock_guard<std::mutex> lock(m);
    cv.notify_all();
}

bool send_stop_requested()
{
    return g_send_stop.load(std::memory_order_acquire);
}

bool recv_stop_requested()
{
    return !g_TRD_recv_loop.load(std::memory_order_acquire);
}

// Sleeps until the deadline; false when a stop was asked meanwhile.
bool send_wait_until(Clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(g_send_wait_mtx);
    return !g_send_wait_cv.wait_until(lock, deadline, send_stop_requested);
}

// Sleeps for d unless a receive stop is asked; false when it was.
bool recv_wait_for(Clock::duration d)
{
    std::unique_lock<std::mutex> lock(g_recv_wait_mtx);
    return !g_recv_wait_cv.wait_for(lock, d, recv_stop_requested);
}

// The host's time of day as the records carry it, "hh:mm:ss:mmm".
void time_of_day(char out[13])
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    localtime_r(&tv.tv_sec, &local);
    std::snprintf(out, 13, "%02u:%02u:%02u:%03u", static_cast<unsigned>(local.tm_hour) % 100u,
                  static_cast<unsigned>(local.tm_min) % 100u, static_cast<unsigned>(local.tm_sec) % 100u,
                  static_cast<unsigned>(tv.tv_usec / 1000) % 1000u);
}

void push_sent(const CAN_FRAME_INFO &frame)
{
    UPBS_INFO entry;
    time_of_day(entry.now_time);
    entry.frame_info = frame;
    std::lock_guard<std::mutex> lock(MTX_queue_s);
    (void)upbs_send_push(entry);  // a full ring drops the entry
}

void push_received(const CAN_FRAME_INFO &frame)
{
    UPBS_INFO entry;
    std::memcpy(entry.now_time, frame.recv_time, sizeof entry.now_time);
    entry.now_time[sizeof entry.now_time - 1] = '\0';
    entry.frame_info = frame;
    (void)upbs_recv_push(entry);
}

void post_status_pair(const CAN_FRAME_INFO &frame, int label_can1, int label_can2)
{
    char text[2][8];
    for (int ch = 0; ch < 2; ++ch)
        std::snprintf(text[ch], sizeof text[ch], "%02X%02X%02X", frame.data_err[ch][3], frame.data_err[ch][4],
                      frame.data_err[ch][5]);
    apipart_post_status(label_can1, text[0]);
    apipart_post_status(label_can2, text[1]);
}

void dispatch_normal(const CAN_FRAME_INFO &frame)
{
    switch (frame.msg_type) {
    case VELK_DATA_TYPE:
        push_received(frame);
        break;
    case VELK_EEERR_TYPE:
        apipart_post_status(APIPART_LAB_EEPROM, APIPART_EEPROM_ERR_TEXT);
        break;
    case VELK_BUSERR_TYPE:
        post_status_pair(frame, APIPART_LAB_CAN1_ECR, APIPART_LAB_CAN2_ECR);
        break;
    case VELK_BUSERR_PSR_TYPE:
        post_status_pair(frame, APIPART_LAB_CAN1_PSR, APIPART_LAB_CAN2_PSR);
        break;
    default:
        break;
    }
}

// One record, waiting up to kIdleWaitMs for it: the library's bounded
// receive waits for input on the port rather than polling, returns as soon
// as a record is there (a command exchange may have read it already), and
// at once when the device has hung up.
bool receive_waiting(int com_port, CAN_FRAME_INFO *frame)
{
    NON_BLOCK_INFO nb;
    nb.cnt = 1;
    nb.interval = kIdleWaitMs;
    nb.can_frame_info = frame;
    return VELKReceiveNonblock(com_port, &nb) == 1;
}

// The nap after an empty poll: `frames` frames came since `since`, when
// the nap before began.
Clock::duration nap_after(int frames, Clock::time_point since, Clock::time_point now)
{
    if (frames <= 0)
        return kLongestNap;
    const Clock::duration per_nap = (now - since) * kFramesPerNap / frames;
    return std::clamp<Clock::duration>(per_nap, kNapMs, kLongestNap);
}

void recv_normal(int com_port)
{
    int empty = 0;
    int frames = 0;  // read since the last nap
    Clock::time_point nap_began = Clock::now();
    while (!recv_stop_requested()) {
        CAN_FRAME_INFO frame;
        std::memset(&frame, 0, sizeof frame);
        // The port reads without blocking: after a run of empty polls the
        // loop waits for input, so that a quiet bus does not keep a core busy.
        const bool got = empty < kNapPolls ? VELKReceive_CANFD(com_port, &frame) == 1
                                           : receive_waiting(com_port, &frame);
        if (!got) {
            ++empty;
            if (empty < kNapPolls) {
                const Clock::time_point now = Clock::now();
                const Clock::duration nap = nap_after(frames, nap_began, now);
                frames = 0;
                nap_began = now;
                if (!recv_wait_for(nap))
                    return;
                continue;
            }
            // An unplugged adapter reads like a quiet one; the device check
            // tells them apart, and the GUI then runs its disconnect.
            if (empty % kPresenceCheckPolls == 0 && VELKCheckDevice(com_port) != 0) {
                apipart_post_status(APIPART_DEVICE_GONE, "");
                return;
            }
            continue;
        }
        empty = 0;
        ++frames;
        dispatch_normal(frame);
    }
}

// Waits until the GUI has drained the previous batch; false on a stop.
bool wait_hand_over()
{
    std::unique_lock<std::mutex> lock(g_recv_wait_mtx);
    for (;;) {
        if (recv_stop_requested())
            return false;
        if (!MTX_queue_r.load(std::memory_order_acquire))
            return true;
        g_recv_wait_cv.wait_for(lock, kHandOverRecheck);
    }
}

// One batch: up to req.cnt records within req.time_out ms, read in library
// calls of at most kBatchSlice. A stop ends the batch after the current
// call, keeping what was read. *gone is set when the batch ended short
// because the adapter was unplugged (the library call then returns early).
int collect_batch(int com_port, const CAN_RECV_INFO &req, CAN_FRAME_INFO *buf, bool *gone)
{
    // A negative time would become a batch of about 50 days.
    const auto deadline = Clock::now() + std::chrono::milliseconds(req.time_out > 0 ? req.time_out : 0);
    int n = 0;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        NON_BLOCK_INFO nb;
        nb.cnt = static_cast<unsigned int>(req.cnt - n);
        nb.interval = static_cast<unsigned int>(std::clamp(left, std::chrono::milliseconds(0), kBatchSlice).count());
        nb.can_frame_info = buf + n;
        const int got = VELKReceiveNonblock(com_port, &nb);
        if (got > 0)
            n += got;
        if (n >= req.cnt)
            return n;
        if (VELKCheckDevice(com_port) != 0) {
            *gone = true;
            return n;
        }
        if (Clock::now() >= deadline || recv_stop_requested())
            return n;
    }
}

void recv_non_block(int com_port, const CAN_RECV_INFO &req)
{
    // Nothing to read with no room for a record: wait for the stop.
    if (req.cnt <= 0) {
        while (recv_wait_for(std::chrono::hours(1))) {
        }
        return;
    }
    const size_t cnt = static_cast<size_t>(req.cnt);
    while (wait_hand_over()) {
        auto *buf = static_cast<CAN_FRAME_INFO *>(std::calloc(cnt, sizeof(CAN_FRAME_INFO)));
        if (buf == nullptr) {
            // Skip this batch and try again a little later.
            if (!recv_wait_for(std::chrono::milliseconds(10)))
                return;
            continue;
        }
        // Cleared before the batch is claimed, so the GUI never sees a
        // claimed batch as complete.
        is_done_non_block.store(false, std::memory_order_release);
        MTX_queue_r.store(true, std::memory_order_release);
        g_batches.fetch_add(1, std::memory_order_relaxed);
        bool gone = false;
        int n = collect_batch(com_port, req, buf, &gone);
        for (int i = 0; i < n && i < req.cnt; ++i)
            if (buf[i].msg_type == VELK_DATA_TYPE)
                push_received(buf[i]);
        is_done_non_block.store(true, std::memory_order_release);
        std::free(buf);
        // The GUI runs its disconnect.
        if (gone) {
            apipart_post_status(APIPART_DEVICE_GONE, "");
            return;
        }
    }
}

// Frames of one send request handed to the library, and those it refused.
struct SendTally {
    long long tried = 0;
    long long failed = 0;
};

void send_frames(int com_port, const CAN_SEND_INFO &req, SendTally *tally)
{
    const CAN_FRAME_INFO &src = req.can_frame_info;
    CAN_FRAME_INFO frame;
    std::memset(&frame, 0, sizeof frame);
    frame.CAN_port = src.CAN_port;
    frame.id_type = src.id_type;
    frame.rtr = src.rtr;
    frame.dlc = src.dlc;
    frame.brs = src.brs;
    frame.fdf = src.fdf;
    std::memcpy(frame.data, src.data, sizeof frame.data);
    const unsigned int start_id = src.id_type == VELK_SID ? (src.id & 0x7FFu) : (src.id & 0x1FFFFFFFu);

    if (req.times < 0)
        return;
    const int passes = req.times == 0 ? 1 : req.times;
    const int per_pass = req.cnt == 0 ? 1 : req.cnt;
    const auto itvl = std::chrono::microseconds(req.itvl > 0 ? req.itvl : 0);

    // Each gap is measured from the end of the send it follows, against an
    // absolute deadline: lateness of one wake-up is made up by the next, so
    // N frames take N x (interval + send time).
    Clock::time_point next{};
    bool first = true;
    for (int p = 0; p < passes; ++p) {
        frame.id = start_id;
        for (int i = 0; i < per_pass; ++i) {
            if (send_stop_requested())
                return;
            const auto t0 = Clock::now();
            const int r = frame.fdf != 0 ? VELKSend_CANFD(com_port, &frame) : VELKSend(com_port, &frame);
            const auto t1 = Clock::now();
            ++tally->tried;
            // A refused frame was not sent: it is not listed.
            if (r == 0)
                push_sent(frame);
            else
                ++tally->failed;
            if (itvl.count() > 0) {
                next = first ? t1 + itvl : next + (t1 - t0) + itvl;
                first = false;
                if (next < t1)  // far behind: do not burst to catch up
                    next = t1;
                if (!send_wait_until(next))
                    return;
            }
            if (req.id_inc)
                frame.id += 1;  // not masked again
        }
    }
}

}  // namespace

void TRD_send_fx(TRD_SEND_INFO *arg)
{
    // The default 50 us timer slack would stretch every interval.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const CAN_SEND_INFO req = arg->info;
    SendTally tally;
    send_frames(arg->com_port, req, &tally);
    if (tally.failed > 0) {
        char text[48];
        std::snprintf(text, sizeof text, "%lld/%lld", tally.failed, tally.tried);
        apipart_post_status(APIPART_SEND_FAILED, text);
    }
}

void TRD_recv_fx(TRD_RECV_INFO *arg)
{
    int alive = g_recv_alive.fetch_add(1, std::memory_order_acq_rel) + 1;
    int seen = g_recv_max.load(std::memory_order_relaxed);
    while (alive > seen && !g_recv_max.compare_exchange_weak(seen, alive, std::memory_order_relaxed)) {
    }
    const int com_port = arg->com_port;
    const CAN_RECV_INFO req = arg->info;
    if (req.is_normal)
        recv_normal(com_port);
    else
        recv_non_block(com_port, req);
    g_recv_alive.fetch_sub(1, std::memory_order_acq_rel);
}

namespace {

void stop_send_locked()
{
    g_send_stop.store(true, std::memory_order_release);
    notify(g_send_wait_mtx, g_send_wait_cv);
    if (TRD_send.joinable())
        TRD_send.join();
    g_send_stop.store(false, std::memory_order_release);
}

void stop_recv_locked()
{
    g_TRD_recv_loop.store(false, std::memory_order_release);
    notify(g_recv_wait_mtx, g_recv_wait_cv);
    if (TRD_recv.joinable())
        TRD_recv.join();
}

}  // namespace

void apipart_stop_send_worker()
{
    std::lock_guard<std::mutex> lock(g_handles_mtx);
    stop_send_locked();
}

void apipart_stop_recv_worker()
{
    std::lock_guard<std::mutex> lock(g_handles_mtx);
    stop_recv_locked();
}

void apipart_push_sent(const CAN_FRAME_INFO &frame)
{
    push_sent(frame);
}

void apipart_release_batch()
{
    MTX_queue_r.store(false, std::memory_order_release);
    notify(g_recv_wait_mtx, g_recv_wait_cv);
}

void procSend(int com_port, CAN_SEND_INFO info)
{
    std::lock_guard<std::mutex> lock(g_handles_mtx);
    stop_send_locked();
    if (info.is_cancel)
        return;
    trd_send_info.com_port = com_port;
    trd_send_info.info = info;
    g_send_alive.store(true, std::memory_order_release);
    TRD_send = std::thread([] {
        TRD_send_fx(&trd_send_info);
        g_send_alive.store(false, std::memory_order_release);
    });
}

void procRecv(int com_port, CAN_RECV_INFO info)
{
    // The previous worker has ended before a new one starts, so only one
    // thread ever reads the port.
    std::lock_guard<std::mutex> lock(g_handles_mtx);
    stop_recv_locked();
    if (info.is_cancel)
        return;
    trd_recv_info.com_port = com_port;
    trd_recv_info.info = info;
    if (!info.is_normal) {
        // A batch left over from an earlier worker does not hold up this one.
        is_done_non_block.store(false, std::memory_order_release);
        MTX_queue_r.store(false, std::memory_order_release);
    }
    // Set here rather than in the worker, so a stop asked right after this
    // call cannot be overwritten by a worker that starts late.
    g_TRD_recv_loop.store(true, std::memory_order_release);
    TRD_recv = std::thread(TRD_recv_fx, &trd_recv_info);
}

int apipart_recv_workers_alive()
{
    return g_recv_alive.load(std::memory_order_acquire);
}

int apipart_recv_workers_max()
{
    return g_recv_max.load(std::memory_order_acquire);
}

long apipart_batches_requested()
{
    return g_batches.load(std::memory_order_acquire);
}

bool apipart_send_worker_alive()
{
    return g_send_alive.load(std::memory_order_acquire);
}
