// Shared pieces of the worker layer's tests: the program's guiStatusUpdate,
// a recorder of bus-status texts, ring draining and an emulated adapter that
// the worker layer connects to.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "apipart.h"
#include "txlist.h"

namespace velk::wtest {

// Everything guiStatusUpdate was called with, and from which thread.
struct StatusLog {
    std::mutex m;
    std::vector<UPUI_INFO> snapshots;
    std::vector<std::thread::id> threads;
    size_t count();
    UPUI_INFO last();
    void clear();
};
StatusLog &status_log();

// Bus-status texts received through the status sink on a private context.
class TextSink {
public:
    TextSink();
    ~TextSink();
    GMainContext *ctx() const { return ctx_; }
    // Iterates the context until `n` texts arrived or the deadline passed.
    bool wait_texts(size_t n, int timeout_ms = 2000);
    // Dispatches whatever is pending without waiting.
    void pump();
    struct Text {
        int label;
        std::string text;
        std::thread::id thread;
    };
    std::vector<Text> texts;

private:
    static void on_text(int label, const char *text);
    GMainContext *ctx_;
};

// Polls cond until it holds or the deadline passes.
bool wait_until(const std::function<bool()> &cond, int timeout_ms = 3000);

// Drains both rings through upbs_drain.
struct Drained {
    std::vector<UPBS_INFO> sent;
    std::vector<UPBS_INFO> received;
    std::vector<bool> order;  // is_recv of each entry handed over
};
int drain_once(Drained *d);
// Drains until `sent` and `received` entries arrived or the deadline passed.
bool drain_until(Drained *d, size_t sent, size_t received, int timeout_ms = 5000);

// Identifiers of the 0xE0 / 0xF0 frames the adapter received.
std::vector<unsigned int> wire_ids(const std::vector<sim::Bytes> &frames);

// An emulated adapter mapped at a port index; every other index points
// nowhere.
class MappedAdapter {
public:
    explicit MappedAdapter(int index);
    ~MappedAdapter();
    bool ok() const { return ok_; }
    sim::Adapter &sim() { return sim_; }

private:
    sim::Adapter sim_;
    std::string path_;
    bool ok_ = false;
};

void unmap_all_ports();

// Waits for the send worker to end.
bool wait_send_done(int timeout_ms = 5000);

// A clock the test moves by hand. The scheduler waits on it until the test
// advances it past the deadline it waits for.
class ManualClock : public txlist::Clock {
public:
    uint64_t now_us() override { return now_.load(); }
    void wait_until(std::unique_lock<std::mutex> &lk, std::condition_variable &cv, uint64_t t_us) override;
    void advance(uint64_t us);
    // True while the scheduler waits for a deadline later than now: all
    // that was due has been sent.
    bool waiting() const;
    // Advances in steps of `step`, waiting after each for the scheduler to
    // have sent what was due; false when it did not within the deadline.
    bool run_for(uint64_t us, uint64_t step);

private:
    std::atomic<uint64_t> now_{0};
    mutable std::mutex m_;  // guards the four below
    std::mutex *waiter_m_ = nullptr;
    std::condition_variable *waiter_cv_ = nullptr;
    uint64_t waiting_for_ = 0;
    uint64_t waited_at_ = 0;  // the time when the wait began
};

// The scheduler's send function for tests: records each frame with the
// clock's time; refuses while `refuse` is set.
class SendLog {
public:
    explicit SendLog(txlist::Clock &clock) : clock_(clock) {}
    txlist::SendFn fn();
    struct Sent {
        uint64_t at;
        CAN_FRAME_INFO frame;
    };
    std::vector<Sent> sent();
    size_t count();
    std::atomic<bool> refuse{false};

private:
    txlist::Clock &clock_;
    std::mutex m_;
    std::vector<Sent> sent_;
};

}  // namespace velk::wtest
