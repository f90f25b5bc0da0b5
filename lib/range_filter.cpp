// Per-channel identifier pass-lists applied to received data frames.
#include <atomic>
#include <cstring>

#include "internal.h"

extern "C" {
bool range_filter_mutex = false;
}

namespace {

// The lock flag is an exported plain bool; take it with an atomic exchange.
void lock_tables()
{
    std::atomic_ref<bool> flag(range_filter_mutex);
    while (flag.exchange(true, std::memory_order_acquire))
        velk::yield_cpu();
}

void unlock_tables()
{
    std::atomic_ref<bool>(range_filter_mutex).store(false, std::memory_order_release);
}

void apply_op(RANGE_FILTER_INFO *table, int op)
{
    if (op == 2) {
        table->enable = 1;
    } else if (op == 1) {
        table->enable = 0;
    } else if (op == 3) {
        std::memset(table, 0, sizeof(*table));
    }
}

}  // namespace

extern "C" {

// Applies the table of the frame's channel when filtering is on for it. The
// enable flag is read under the lock as well: another thread may switch it or
// set the table while a receive runs.
int range_filter_process(COM_NODE *node, CAN_FRAME_INFO *frame)
{
    const RANGE_FILTER_INFO &table = node->range_flt[frame->CAN_port == 0 ? 0 : 1];
    lock_tables();
    bool pass = table.enable == 0;
    for (const RANGE_FILTER_ENTRY &e : table.entry) {
        if (pass)
            break;
        pass = e.used != 0 && e.id_type == static_cast<unsigned int>(frame->id_type) && e.id_low <= frame->id &&
               frame->id <= e.id_high;
    }
    unlock_tables();
    if (!pass) {
        std::memset(frame, 0, sizeof(*frame));
        return 0;
    }
    return 1;
}

int VELKInitRangeFilter(int com_port, int can1_op, int can2_op)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return 1;
    lock_tables();
    apply_op(&node->range_flt[0], can1_op);
    apply_op(&node->range_flt[1], can2_op);
    unlock_tables();
    return 0;
}

int VELKGetRangeFilter(int com_port, RANGE_FILTER_INFO *can1, RANGE_FILTER_INFO *can2)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || can1 == nullptr || can2 == nullptr)
        return 1;
    lock_tables();
    *can1 = node->range_flt[0];
    *can2 = node->range_flt[1];
    unlock_tables();
    return 0;
}

int VELKSetRangeFilter(int com_port, RANGE_FILTER_INFO *can1, RANGE_FILTER_INFO *can2)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return 1;
    // The whole table is replaced under the lock, so a receive on another
    // thread never sees half of it. A table just set stays off until
    // operation 2 switches it on.
    RANGE_FILTER_INFO *from[2] = {can1, can2};
    lock_tables();
    for (int c = 0; c < 2; ++c) {
        if (from[c] != nullptr) {
            node->range_flt[c] = *from[c];
            node->range_flt[c].enable = 0;
        }
    }
    unlock_tables();
    return 0;
}

}  // extern "C"
