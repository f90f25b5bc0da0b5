// Frame transmit: the 0xE0 classic and 0xF0 CAN FD data frames, per-channel
// pacing, the optional send queue and the raw command pass-through.
#include <atomic>
#include <cstring>

#include "internal.h"

extern "C" {

bool enable_send_queue = false;
int size_send_queue = 0;
SEND_QUEUE_ITEM *can_frame_queue = nullptr;
int rear = -1;
int front = -1;

int DecodeDLC_CANFD(int dlc)
{
    return VELKDlcToLength(dlc);
}

}  // extern "C"

namespace wire = velk::wire;

namespace {

bool channel_valid(const CAN_FRAME_INFO *frame)
{
    return frame != nullptr && (frame->CAN_port == VELK_CAN_1 || frame->CAN_port == VELK_CAN_2);
}

// Field values out of range spill by addition into the neighbouring bits;
// unsigned arithmetic keeps that defined for any int the caller passes.
unsigned u(int v)
{
    return static_cast<unsigned>(v);
}

// send_delay is an exported plain int[2] that VELKInitCAN refreshes while a
// send may be pausing on another thread; both sides go through atomic_ref.
int pause_of(int channel)
{
    return std::atomic_ref<int>(send_delay[channel]).load(std::memory_order_relaxed);
}

unsigned char flags_byte(const CAN_FRAME_INFO &f)
{
    return static_cast<unsigned char>((u(f.CAN_port) + 1) + (u(f.id_type) - 1) * 4 + u(f.rtr) * 8 + u(f.dlc) * 16);
}

// Seals a data frame and writes it after the channel's pause: 0 when all
// of it was written. Senders on one channel of a port take turns, each
// after a whole pause since the frame before, whichever thread sent it.
int paced_write(COM_NODE *node, int channel, unsigned char *buf, int len)
{
    wire::seal(buf, static_cast<size_t>(len));
    velk::PortInput::ChannelPacing &p = velk::input_of(node).pacing[channel];
    velk::MutexGuard hold(p.lock);
    velk::pace(p.state, pause_of(channel));
    const int sent = RS232_SendBuf(node->fd, buf, len);
    velk::pace_done(p.state);
    return sent == len ? 0 : 1;
}

int enqueue(int com_port, const CAN_FRAME_INFO *frame)
{
    if (rear + 1 == front)
        return 1;
    if (rear == size_send_queue - 1 && front <= 0)
        return 1;
    if (can_frame_queue == nullptr || size_send_queue <= 0)
        return 1;
    ++rear;
    if (rear == size_send_queue)
        rear = 0;
    can_frame_queue[rear].com_port = com_port;
    can_frame_queue[rear].can_frame_info = *frame;
    return 0;
}

}  // namespace

extern "C" {

int VELKSendReal(int com_port, CAN_FRAME_INFO *frame)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || !channel_valid(frame))
        return 1;
    unsigned char buf[wire::kClassicFrameLen];
    const wire::DataLayout &l = wire::kClassicFrame;
    buf[0] = l.code;
    buf[1] = flags_byte(*frame);
    uint_2_uchar(frame->id, buf + l.id_at);
    std::memcpy(buf + l.data_at, frame->data, 8);  // always eight bytes, whatever the DLC
    return paced_write(node, frame->CAN_port, buf, sizeof(buf));
}

int VELKSendReal_CANFD(int com_port, CAN_FRAME_INFO *frame)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr || !channel_valid(frame))
        return 1;
    unsigned char buf[wire::kMaxFdFrameLen];
    const wire::DataLayout &l = wire::kFdFrame;
    buf[0] = l.code;
    buf[1] = flags_byte(*frame);
    buf[l.fd_flags_at] = static_cast<unsigned char>(u(frame->brs) + 2 * u(frame->esi) + 4 * u(frame->fdf));
    uint_2_uchar(frame->id, buf + l.id_at);
    std::memcpy(buf + l.data_at, frame->data, static_cast<size_t>(wire::fd_payload(frame->dlc)));
    return paced_write(node, frame->CAN_port, buf, wire::fd_frame_length(frame->dlc));
}

int VELKSend(int com_port, CAN_FRAME_INFO *frame)
{
    if (!channel_valid(frame))
        return 1;
    return enable_send_queue ? enqueue(com_port, frame) : VELKSendReal(com_port, frame);
}

int VELKSend_CANFD(int com_port, CAN_FRAME_INFO *frame)
{
    if (!channel_valid(frame))
        return 1;
    return enable_send_queue ? enqueue(com_port, frame) : VELKSendReal_CANFD(com_port, frame);
}

// Pacing follows the nominal bit rates read back from the adapter; a failed
// read-back, or a code that names no bit rate, keeps the previous pause.
void fine_tune_send_delay(int com_port)
{
    CFG_INFO cfg;
    if (VELKGetCfg(com_port, &cfg) != 0)
        return;
    for (int c = 0; c < 2; ++c) {
        if (const wire::NominalRate *rate = wire::nominal_rate(cfg.baud[c]))
            std::atomic_ref<int>(send_delay[c]).store(velk::pause_for(*rate), std::memory_order_relaxed);
    }
}

int VELKTesting(int com_port, TESTING_INFO *info)
{
    if (info == nullptr || info->send_len < 0 || info->send_len > static_cast<int>(sizeof(info->send_buf)) ||
        info->recv_len < 0 || (info->recv_len > 0 && info->recv_buf == nullptr))
        return 1;
    // Sent as given, no trailer added; the reply is taken raw.
    unsigned char *reply = info->recv_len > 0 ? info->recv_buf : nullptr;
    return cmd_process(com_port, info->send_len, info->recv_len, info->send_buf, reply);
}

}  // extern "C"
