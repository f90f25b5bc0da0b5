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

namespace wire = velk::wire;

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

// Status reports carry six bytes per channel.
void decode_status(const unsigned char *r, int msg_type, CAN_FRAME_INFO *frame)
{
    frame->msg_type = msg_type;
    std::memcpy(frame->data_err[0], r + wire::kStatusAt, wire::kStatusBytes);
    std::memcpy(frame->data_err[1], r + wire::kStatusAt + wire::kStatusBytes, wire::kStatusBytes);
}

bool status_all_zero(const unsigned char *r)
{
    for (int i = 0; i < 2 * wire::kStatusBytes; ++i) {
        if (r[wire::kStatusAt + i] != 0)
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

const wire::DataLayout *data_layout(unsigned char code)
{
    for (const wire::DataLayout *l : {&wire::kClassicReport, &wire::kStampedReport,
                                            &wire::kFdReport})
        if (l->code == code)
            return l;
    return nullptr;
}

// A data report by its layout: flags, FD flags, timestamp, identifier and
// payload (eight bytes, or the DLC's length in a CAN FD report).
int decode_data(COM_NODE *node, const unsigned char *r, const wire::DataLayout &l, CAN_FRAME_INFO *frame)
{
    frame->msg_type = VELK_DATA_TYPE;
    decode_flags(r[1], frame);
    if (l.fd_flags_at >= 0) {
        const unsigned char fd = r[l.fd_flags_at];
        frame->brs = fd & 1;
        frame->esi = (fd >> 1) & 1;
        frame->fdf = (fd >> 2) & 1;
    }
    if (l.stamp_at >= 0) {
        frame->timestamp.second = le32(r + l.stamp_at);
        frame->timestamp.micro_second = le32(r + l.stamp_at + 4);
    }
    frame->id = uchar_2_uint(r + l.id_at);
    const int n = l.fd_flags_at >= 0 ? DecodeDLC_CANFD(frame->dlc) : 8;
    std::memcpy(frame->data, r + l.data_at, static_cast<size_t>(n));
    return filter_decision(node, frame);
}

// Decodes a complete report of a known kind into the caller's record.
int decode_report(COM_NODE *node, const unsigned char *r, CAN_FRAME_INFO *frame)
{
    if (const wire::DataLayout *l = data_layout(r[0]))
        return decode_data(node, r, *l, frame);
    const int msg_type = wire::report_kind(r)->msg_type;
    if (msg_type == VELK_EEERR_TYPE) {
        frame->msg_type = VELK_EEERR_TYPE;
        return 1;
    }
    if (msg_type == VELK_BUSERR_TYPE && status_all_zero(r))
        return 0;
    decode_status(r, msg_type, frame);
    return 1;
}

// The next whole report of an open port into r (wire::kMaxReport bytes);
// its port's node, or null when there is none or nowhere to put a record.
COM_NODE *next_report(int com_port, const CAN_FRAME_INFO *frame, unsigned char *r)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || frame == nullptr || velk::take_report(node, r) == 0)
        return nullptr;
    return node;
}

}  // namespace

extern "C" {

int VELKReceive(int com_port, CAN_FRAME_INFO *frame)
{
    unsigned char r[wire::kMaxReport];
    COM_NODE *node = next_report(com_port, frame, r);
    if (node == nullptr)
        return 0;
    // Kinds this decoder does not take are taken whole and dropped.
    if (r[0] == wire::kStampedReport.code || r[0] == wire::kFdReport.code ||
        wire::report_kind(r)->msg_type == VELK_BUSERR_PSR_TYPE)
        return 0;
    velk::time_of_day(frame->recv_time);
    return decode_report(node, r, frame);
}

int VELKReceive_CANFD(int com_port, CAN_FRAME_INFO *frame)
{
    unsigned char r[wire::kMaxReport];
    COM_NODE *node = next_report(com_port, frame, r);
    if (node == nullptr)
        return 0;
    velk::time_of_day(frame->recv_time);
    if (data_layout(r[0]) != nullptr)
        set_low_byte(&temp_buf_fun0, r[1]);
    // An 0xF1 report without the FDF bit is taken whole and dropped.
    const wire::DataLayout &fd = wire::kFdReport;
    if (r[0] == fd.code) {
        set_low_byte(&temp_buf_fun1, r[fd.fd_flags_at]);
        if ((r[fd.fd_flags_at] & wire::kFdf) == 0)
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
    // The adapter answers with a report, which the receive calls take.
    return cmd_process(com_port, wire::frame_length('b'), 0, get_bus_cmd, nullptr);
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
