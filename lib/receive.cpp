// Frame receive: reads one adapter report per call and decodes it into a
// CAN_FRAME_INFO. A report that arrives in pieces is waited for, up to 100 ms
// after its first byte, so no frame is lost to a split read; bytes that did
// not arrive are never decoded.
#include <cstring>

#include "internal.h"

extern "C" {
uint32_t temp_buf_fun0 = 0;
uint32_t temp_buf_fun1 = 0;
}

namespace {

constexpr uint64_t kReportDeadlineUs = 100000;
constexpr unsigned kRetryWaitUs = 100;
constexpr int kMaxReport = 82;
// Longest wait for input inside a non-blocking batch.
constexpr int kNonblockWaitMs = 10;

// Reads until `want` bytes are in buf (holding `have` already) or the
// deadline since the report's first byte passes. Returns the bytes held.
int read_rest(velk_port_t port, unsigned char *buf, int have, int want, uint64_t first_byte_us)
{
    while (have < want) {
        int n = RS232_PollComport(port, buf + have, want - have);
        if (n > 0) {
            have += n;
            continue;
        }
        if (velk::monotonic_us() - first_byte_us >= kReportDeadlineUs)
            break;
        velk::sleep_us(kRetryWaitUs);
    }
    return have;
}

// Reads the first `want` bytes of a report. 0 when nothing is waiting.
int read_head(velk_port_t port, unsigned char *buf, int want, uint64_t *first_byte_us)
{
    int n = RS232_PollComport(port, buf, want);
    if (n <= 0)
        return 0;
    *first_byte_us = velk::monotonic_us();
    return read_rest(port, buf, n, want, *first_byte_us);
}

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

// Total length of a report by its first two bytes; 0 for an unknown kind.
// For 0xF1 the flags byte's DLC gives the payload length.
int report_length(unsigned char b0, unsigned char b1)
{
    switch (b0) {
    case 0xE1: return 17;
    case 0xE2: return 25;
    case 0xF1: {
        int n = DecodeDLC_CANFD(b1 >> 4);
        return 18 + (n < 8 ? 8 : n);
    }
    case 0x99:
        if (b1 == 0x01)
            return 9;
        return (b1 == 0x02 || b1 == 0x04) ? 17 : 0;
    case 0x62: return b1 == 0x02 ? 17 : 0;
    default: return 0;
    }
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
    unsigned char r[kMaxReport];
    uint64_t t0 = 0;
    // Two bytes name the kind; the rest is read by the kind's length, so a
    // short report never swallows the start of the next one.
    if (read_head(node->fd, r, 2, &t0) < 2)
        return 0;
    int len = report_length(r[0], r[1]);
    if (len == 0)
        return 0;
    if (read_rest(node->fd, r, 2, len, t0) < len)
        return 0;
    // Kinds this decoder does not take are consumed whole and dropped, so
    // the next call starts at the next report.
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
    unsigned char r[kMaxReport];
    uint64_t t0 = 0;
    if (read_head(node->fd, r, 3, &t0) < 3)
        return 0;
    velk::time_of_day(frame->recv_time);
    int len = report_length(r[0], r[1]);
    if (r[0] == 0xE1 || r[0] == 0xE2 || r[0] == 0xF1)
        set_low_byte(&temp_buf_fun0, r[1]);
    if (r[0] == 0xF1) {
        set_low_byte(&temp_buf_fun1, r[2]);
        if ((r[2] & 0x04) == 0)
            return 0;
    }
    if (len == 0)
        return 0;
    if (read_rest(node->fd, r, 3, len, t0) < len)
        return 0;

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
        if (velk::wait_input(node->fd, left < kNonblockWaitMs ? static_cast<int>(left) + 1 : kNonblockWaitMs) < 0)
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
    return RS232_SetRecvBlock(node->fd, blocking ? 1 : 0);
}

}  // extern "C"
