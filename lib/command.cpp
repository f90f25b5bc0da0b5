// Command frames and the one routine that exchanges a command with the adapter.
#include <cstdio>
#include <cstring>

#include "internal.h"

extern "C" {

unsigned char show_ver_cmd[4] = {'5', '5', 0x0D, 0x0A};
unsigned char bldid_cmd[4] = {'6', '6', 0x0D, 0x0A};
unsigned char get_sts_cmd[4] = {0x60, 0x60, 0x0D, 0x0A};
unsigned char reset_cmd[4] = {'4', '4', 0x0D, 0x0A};
unsigned char expcfg_cmd[4] = {'7', '7', 0x0D, 0x0A};
unsigned char getcfg_cmd[4] = {'7', '7', 0x0D, 0x0A};
unsigned char getcfg_canfd_cmd[4] = {'G', 'G', 0x0D, 0x0A};
unsigned char clr_filt_0_cmd[13] = {'1', 0, 0, 0, 0, 0, 0, 0, 0, 0, '1', 0x0D, 0x0A};
unsigned char clr_filt_1_cmd[13] = {'2', 0, 0, 0, 0, 0, 0, 0, 0, 0, '2', 0x0D, 0x0A};
unsigned char get_vcom_cmd[4] = {'M', 'M', 0x0D, 0x0A};
unsigned char get_bus_cmd[4] = {'b', 'b', 0x0D, 0x0A};

void chk_sum_end_byte(unsigned char *frame, int frame_len)
{
    if (frame == nullptr || frame_len < 4)
        return;
    velk::wire::seal(frame, static_cast<size_t>(frame_len));
}

void uint_2_uchar(uint32_t value, unsigned char *buf)
{
    buf[0] = static_cast<unsigned char>(value >> 24);
    buf[1] = static_cast<unsigned char>(value >> 16);
    buf[2] = static_cast<unsigned char>(value >> 8);
    buf[3] = static_cast<unsigned char>(value);
}

int pow_with_int(int base, int exponent)
{
    int r = 1;
    for (int i = 0; i < exponent; ++i)
        r *= base;
    return r;
}

// Builds the big-endian value nibble by nibble, least significant first.
uint32_t uchar_2_uint(const unsigned char *buf)
{
    uint32_t value = 0;
    for (int k = 0; k < 8; ++k) {
        unsigned nibble = (buf[3 - k / 2] >> ((k % 2) * 4)) & 0x0F;
        value += nibble * static_cast<uint32_t>(pow_with_int(16, k));
    }
    return value;
}

int cmd_process(int com_port, int frame_len, int reply_len, const unsigned char *frame, unsigned char *reply)
{
    return velk::exchange(__func__, com_port, frame, frame_len, reply, reply_len, false) ? 0 : 1;
}

}  // extern "C"

namespace velk {

namespace {

// The adapter answers within this time.
constexpr uint64_t kReplyWaitUs = 150000;

void sleep_until(uint64_t until_us)
{
    const uint64_t now = monotonic_us();
    if (until_us > now)
        sleep_us(static_cast<unsigned>(until_us - now));
}

// The diagnostics' line of a failed exchange: the call, the port, why, the
// bytes sent and what came back.
void report_failure(const char *call, int com_port, const char *why, const unsigned char *frame, int frame_len,
                    const unsigned char *got, int got_len)
{
    debug_line("%s port %d: %s; sent %s; got %s", call, com_port, why,
               hex(frame, static_cast<size_t>(frame_len)).text, hex(got, static_cast<size_t>(got_len)).text);
}

// Why a reply that was awaited did not come whole.
void report_missing_reply(const char *call, int com_port, const unsigned char *frame, int frame_len, int reply_len,
                          const ReplyTrace &t)
{
    if (!debug_on())
        return;
    char why[64];
    if (t.started)
        std::snprintf(why, sizeof(why), "short reply, %d of %d bytes", t.got_len, reply_len);
    else if (t.got_len == 0)
        std::snprintf(why, sizeof(why), "no reply");
    else if (t.got[0] != frame[0])
        std::snprintf(why, sizeof(why), "wrong echo 0x%02X", t.got[0]);
    else
        std::snprintf(why, sizeof(why), "malformed reply");
    report_failure(call, com_port, why, frame, frame_len, t.got, t.got_len);
}

}  // namespace

// One exchange at a time per port, so two threads never take each other's
// replies. Reports that arrive meanwhile stay in the port's input for the
// receive calls; only the reply's bytes are taken out.
bool exchange(const char *call, int com_port, const unsigned char *frame, int frame_len, unsigned char *reply,
              int reply_len, bool whole)
{
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr) {
        debug_line("%s port %d: not open", call, com_port);
        return false;
    }
    if (frame == nullptr || frame_len <= 0 || reply_len < 0)
        return false;
    if (reply != nullptr)
        std::memset(reply, 0, static_cast<size_t>(reply_len));
    const bool wants_reply = reply != nullptr && reply_len > 0;
    // A reply of a known command is recognised by its echo and length; a
    // raw exchange takes whatever bytes come.
    const bool recognised = wants_reply && whole && reply_len <= wire::kMaxReply;
    PortInput &in = input_of(node);
    MutexGuard exchange_guard(in.exchange_lock);
    begin_exchange(node, frame[0], recognised ? static_cast<size_t>(reply_len) : 0);
    if (RS232_SendBuf(node->fd, const_cast<unsigned char *>(frame), frame_len) < 0) {
        cancel_reply(node);
        report_failure(call, com_port, "write failed", frame, frame_len, nullptr, 0);
        return false;
    }
    if (!wants_reply)
        return true;
    const uint64_t wait_end = monotonic_us() + kReplyWaitUs;
    if (recognised) {
        // A short reply fails: it is never decoded with zeros for bytes.
        ReplyTrace trace;
        if (!await_reply(node, reply, wait_end, &trace)) {
            report_missing_reply(call, com_port, frame, frame_len, reply_len, trace);
            return false;
        }
        sleep_until(wait_end);
        return true;
    }
    sleep_until(wait_end);
    if (take_raw(node, reply, reply_len, wait_end) > 0)
        return true;
    report_failure(call, com_port, "no reply", frame, frame_len, nullptr, 0);
    return false;
}

bool command_ok(const char *call, int com_port, const unsigned char *frame, unsigned char *reply)
{
    const unsigned char code = frame[0];
    const int frame_len = wire::frame_length(code), reply_len = wire::reply_length(code);
    if (!exchange(call, com_port, frame, frame_len, reply, reply_len, true))
        return false;
    if (reply[wire::kEcho] == code && reply[wire::kStatus] == 0)
        return true;
    if (debug_on()) {
        char why[32];
        if (reply[wire::kEcho] != code)
            std::snprintf(why, sizeof(why), "wrong echo 0x%02X", reply[wire::kEcho]);
        else
            std::snprintf(why, sizeof(why), "status byte %u", reply[wire::kStatus]);
        report_failure(call, com_port, why, frame, frame_len, reply, reply_len);
    }
    return false;
}

int send_command(const char *call, int com_port, unsigned char *frame)
{
    wire::seal(frame, static_cast<size_t>(wire::frame_length(frame[0])));
    unsigned char reply[wire::kMaxReply];
    return command_ok(call, com_port, frame, reply) ? 0 : 1;
}

}  // namespace velk
