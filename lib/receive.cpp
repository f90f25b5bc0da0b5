// Frame receive: takes one whole adapter report per call from the port's
// input and decodes it into a CAN_FRAME_INFO. The port's input buffer does
// the reading, framing and waiting (port_input.cpp); bytes that did not
// arrive are never decoded.
#include <cstring>

#include "internal.h"

extern "C" {
uint32_t temp_buf_fun0 = 0;
uint32_t temp_buf_fun1 = 0;
}

namespace {

// Longest wait for input inside a non-blocking batch.
constexpr int kNonblockWaitMs = 10;

void set_low_byte(uint32_t *scratch, unsigned char b)
{
    *scratch = (*scratch & ~0xFFu) | b;
}

uint32_t le32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void decode_flags(unsigned char flags, CAN_FRAME_INFO *frame)
{
    frame->CAN_port = (flags & 3) - 1;
    frame->id_type = ((flags >> 2) & 1) + 1;
    frame->rtr = (flags >> 3) & 1;
    frame->dlc = flags >> 4;
}

// Status reports carry six bytes per channel from byte 2.
void decode_status(const unsigned char *r, int msg_type, CAN_FRAME_INFO *frame)
{
    frame->msg_type = msg_type;
    std::memcpy(frame->data_err[0], r + 2, 6);
    std::memcpy(frame->data_err[1], r + 8, 6);
}

bool status_all_zero(const unsigned char *r)
{
    for (int i = 2; i < 14; ++i) {
        if (r[i] != 0)
            return false;
    }
    return true;
}

int filter_decision(COM_NODE *node, CAN_FRAME_INFO *frame)
{
    // Channel bits 0 or 3 name no channel; such a report is dropped like a
    // filtered one rather than handed on with CAN_port -1 or 2.
    if (frame->CAN_port != VELK_CAN_1 && frame->CAN_port != VELK_CAN_2) {
        std::memset(frame, 0, sizeof(*frame));
        return 0;
    }
    // The channel's enable flag is tested under the range-filter lock.
    return range_filter_process(node, frame);
}

// Decodes a complete report of a known kind into the caller's record.
int decode_report(COM_NODE *node, const unsigned char *r, CAN_FRAME_INFO *frame)
{
    switch (r[0]) {
    case 0xE1:
        frame->msg_type = VELK_DATA_TYPE;
        decode_flags(r[1], frame);
        frame->id = uchar_2_uint(r + 2);
        std::memcpy(frame->data, r + 6, 8);
        return filter_decision(node, frame);
    case 0xE2:
        frame->msg_type = VELK_DATA_TYPE;
        decode_flags(r[1], frame);
        frame->timestamp.second = le32(r + 2);
        frame->timestamp.micro_second = le32(r + 6);
        frame->id = uchar_2_uint(r + 10);
        std::memcpy(frame->data, r + 14, 8);
        return filter_decision(node, frame);
    case 0xF1:
        frame->msg_type = VELK_DATA_TYPE;
        decode_flags(r[1], frame);
        frame->brs = r[2] & 1;
        frame->esi = (r[2] >> 1) & 1;
        frame->fdf = (r[2] >> 2) & 1;
        frame->timestamp.second = le32(r + 3);
        frame->timestamp.micro_second = le32(r + 7);
        frame->id = uchar_2_uint(r + 11);
        std::memcpy(frame->data, r + 15, static_cast<size_t>(DecodeDLC_CANFD(frame->dlc)));
        return filter_decision(node, frame);
    case 0x99:
        if (r[1] == 0x01) {
            frame->msg_type = VELK_EEERR_TYPE;
            return 1;
        }
        if (r[1] == 0x02 && status_all_zero(r))
            return 0;
        decode_status(r, r[1] == 0x02 ? VELK_BUSERR_TYPE : VELK_BUSERR_PSR_TYPE, frame);
        return 1;
    default:  // 0x62 0x02
        decode_status(r, VELK_GETBUS_TYPE, frame);
        return 1;
    }
}

}  // namespace

extern "C" {

int VELKReceive(int com_port, CAN_FRAME_INFO *frame)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || frame == nullptr)
        return 0;
    unsigned char r[velk::kMaxReport];
    if (velk::take_report(node, r) == 0)
        return 0;
    // Kinds this decoder does not take are taken whole and dropped.
    if (r[0] == 0xE2 || r[0] == 0xF1 || (r[0] == 0x99 && r[1] == 0x04))
        return 0;
    velk::time_of_day(frame->recv_time);
    return decode_report(node, r, frame);
}

int VELKReceive_CANFD(int com_port, CAN_FRAME_INFO *frame)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || frame == nullptr)
        return 0;
    unsigned char r[velk::kMaxReport];
    if (velk::take_report(node, r) == 0)
        return 0;
    velk::time_of_day(frame->recv_time);
    if (r[0] == 0xE1 || r[0] == 0xE2 || r[0] == 0xF1)
        set_low_byte(&temp_buf_fun0, r[1]);
    // An 0xF1 report without the FDF bit is taken whole and dropped.
    if (r[0] == 0xF1) {
        set_low_byte(&temp_buf_fun1, r[2]);
        if ((r[2] & 0x04) == 0)
            return 0;
    }
    return decode_report(node, r, frame);
}

int VELKReceiveNonblock(int com_port, NON_BLOCK_INFO *info)
{
    if (info == nullptr || info->cnt == 0 || info->can_frame_info == nullptr)
        return 0;
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return 0;
    const uint64_t start = velk::nonblock_clock_ms();
    const uint64_t end = start + info->interval;
    unsigned int count = 0;
    do {
        if (VELKReceive_CANFD(com_port, &info->can_frame_info[count]) == 1) {
            ++count;
            continue;
        }
        // Nothing complete is waiting: wait for input instead of polling,
        // and stop early once the device has hung up.
        const uint64_t now = velk::nonblock_clock_ms();
        if (now > end)
            break;
        const uint64_t left = end - now;
        if (velk::wait_report(node, left < kNonblockWaitMs ? static_cast<int>(left) + 1 : kNonblockWaitMs) < 0)
            break;
    } while (velk::nonblock_clock_ms() <= end && count < info->cnt);
    return static_cast<int>(count);
}

int VELKGetBusError(int com_port)
{
    return cmd_process(com_port, sizeof(get_bus_cmd), 0, get_bus_cmd, nullptr);
}

int VELKSetRecvBlock(int com_port, bool blocking)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return -1;
    velk::PortInput &in = velk::input_of(node);
    velk::MutexGuard guard(in.lock);
    const int r = RS232_SetRecvBlock(node->fd, blocking ? 1 : 0);
    if (r == 0)
        in.set_blocking(blocking);
    return r;
}

}  // extern "C"
