// The scheduler thread's time and priority: the monotonic clock it waits
// on, and the readying of a thread for deadlines of a millisecond.
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

#include "txlist.h"

namespace velk::txlist {

uint64_t SteadyClock::now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void SteadyClock::wait_until(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, uint64_t t_us)
{
    if (t_us == kForever) {
        cv.wait(lk);
        return;
    }
    // steady_clock is CLOCK_MONOTONIC, the clock of now_us(): one wake at
    // the deadline, or earlier for an edit or a stop.
    cv.wait_until(lk, std::chrono::steady_clock::time_point(std::chrono::microseconds(t_us)));
}

namespace {

bool realtime_priority()
{
    struct sched_param p = {};
    p.sched_priority = 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0;
}

}  // namespace

void prepare_sender_thread()
{
    // Deadlines of a millisecond want the thread woken on time on a busy
    // machine: a low real-time priority puts it ahead of every ordinary
    // thread the moment its wait ends. A list's thread sleeps between frames
    // and the pacing bounds its frames, so it cannot hold a core. Best
    // effort: without the right to it (root, or an RLIMIT_RTPRIO) the thread
    // asks for a raised ordinary priority, and without that runs as it is.
    if (!realtime_priority())
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10);
    // The default 50 us timer slack would make every deadline wait, and the
    // library's pause before each frame, that much late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
}

}  // namespace velk::txlist
