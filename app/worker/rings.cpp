// The two frame rings and the GUI's drain of them.
#include "apipart.h"
#include "internal_apipart.h"

UPBS_INFO upbs_send[UPBS_QUEUE_SIZE];
UPBS_INFO upbs_recv[UPBS_QUEUE_SIZE];

int front_s = -1;
int rear_s = -1;
std::mutex MTX_queue_s;

std::atomic<int> front_r{-1};
std::atomic<int> rear_r{-1};

std::atomic<bool> MTX_queue_r{false};
std::atomic<bool> is_done_non_block{false};
std::atomic<bool> g_TRD_recv_loop{false};
std::atomic<bool> is_recv_normal{true};

int upbs_next_rear(int front, int rear)
{
    if (rear + 1 == front)
        return -1;
    if (rear == UPBS_QUEUE_SIZE - 1)
        return front <= 0 ? -1 : 0;
    return rear + 1;
}

int upbs_next_front(int front, int rear)
{
    if (front == rear)
        return -1;
    return front + 1 == UPBS_QUEUE_SIZE ? 0 : front + 1;
}

bool upbs_send_push(const UPBS_INFO &entry)
{
    int slot = upbs_next_rear(front_s, rear_s);
    if (slot < 0)
        return false;
    rear_s = slot;
    upbs_send[slot] = entry;
    return true;
}

bool upbs_send_pop(UPBS_INFO *entry)
{
    int slot = upbs_next_front(front_s, rear_s);
    if (slot < 0)
        return false;
    front_s = slot;
    *entry = upbs_send[slot];
    return true;
}

// Single producer, single consumer. The producer owns rear_r and publishes it
// only after the slot is written; the consumer owns front_r and publishes it
// only after the slot is read, so neither side touches a slot the other uses.
bool upbs_recv_push(const UPBS_INFO &entry)
{
    int rear = rear_r.load(std::memory_order_relaxed);
    int slot = upbs_next_rear(front_r.load(std::memory_order_acquire), rear);
    if (slot < 0)
        return false;
    upbs_recv[slot] = entry;
    rear_r.store(slot, std::memory_order_release);
    return true;
}

bool upbs_recv_pop(UPBS_INFO *entry)
{
    int front = front_r.load(std::memory_order_relaxed);
    int slot = upbs_next_front(front, rear_r.load(std::memory_order_acquire));
    if (slot < 0)
        return false;
    *entry = upbs_recv[slot];
    front_r.store(slot, std::memory_order_release);
    return true;
}

void upbs_reset()
{
    {
        std::lock_guard<std::mutex> lock(MTX_queue_s);
        front_s = -1;
        rear_s = -1;
    }
    front_r.store(-1, std::memory_order_release);
    rear_r.store(-1, std::memory_order_release);
}

static bool pop_send_entry(UPBS_INFO *entry)
{
    std::lock_guard<std::mutex> lock(MTX_queue_s);
    return upbs_send_pop(entry);
}

int upbs_drain(upbs_insert_fn insert, void *user)
{
    // One tick never runs longer than two full rings, even if a worker keeps
    // refilling them as fast as they are emptied.
    constexpr int kMaxPerTick = 2 * UPBS_QUEUE_SIZE;
    UPBS_INFO entry;
    int n = 0;
    // The entry is copied out under the lock and handed over without it, so
    // the send worker is never held up by the frame list.
    if (pop_send_entry(&entry)) {
        insert(&entry, false, user);
        ++n;
    }
    while (is_recv_normal.load(std::memory_order_acquire) || is_done_non_block.load(std::memory_order_acquire)) {
        bool found = false;
        if (upbs_recv_pop(&entry)) {
            insert(&entry, true, user);
            found = true;
            ++n;
        }
        if (pop_send_entry(&entry)) {
            insert(&entry, false, user);
            found = true;
            ++n;
        }
        if (!found) {
            if (!is_recv_normal.load(std::memory_order_acquire) && is_done_non_block.load(std::memory_order_acquire))
                apipart_release_batch();
            break;
        }
        if (n >= kMaxPerTick)
            break;
    }
    return n;
}
