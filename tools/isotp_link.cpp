// The ISO-TP tools' shared part: options, hex text, and a connection run on
// a channel of the adapter.
#include "isotp_link.h"

#include "did_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace velk::tools {

namespace {

// The receive call returns at least this often, to see a stop or a deadline.
constexpr int64_t kWaitUs = 20000;
// A frame due sooner than this is waited for without reading the adapter,
// whose reads have a millisecond's grain.
constexpr int64_t kHoldUs = 2000;
constexpr uint32_t kNoTimestamp = 0xFFFFFFFF;

bool parse_stmin(const std::string &text, uint8_t *v)
{
    long long n;
    if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0))
        return parse_byte(text.c_str(), v) && (*v <= 0x7F || (*v >= 0xF1 && *v <= 0xF9));
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "us") == 0) {
        if (!parse_long(text.substr(0, text.size() - 2).c_str(), 100, 900, &n) || n % 100 != 0)
            return false;
        *v = uint8_t(0xF0 + n / 100);
        return true;
    }
    const std::string ms = text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0
                               ? text.substr(0, text.size() - 2)
                               : text;
    if (!parse_long(ms.c_str(), 0, 127, &n))
        return false;
    *v = uint8_t(n);
    return true;
}

}  // namespace

bool parse_byte(const char *text, uint8_t *v)
{
    uint32_t x;
    if (std::strncmp(text, "0x", 2) == 0 || std::strncmp(text, "0X", 2) == 0)
        text += 2;
    if (!parse_hex32(text, &x) || x > 0xFF)
        return false;
    *v = uint8_t(x);
    return true;
}

bool parse_can_id(const char *text, uint32_t *id, bool *extended)
{
    if (!parse_hex32(text, id))
        return false;
    *extended = std::strlen(text) == 8;
    return *id <= (*extended ? 0x1FFFFFFFu : 0x7FFu);
}

bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> *out)
{
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '.' || c == ',') {
            if (high >= 0)
                return false;
            continue;
        }
        const int d = trace::hex_digit(c);
        if (d < 0)
            return false;
        if (high < 0) {
            high = d;
        } else {
            out->push_back(uint8_t(high << 4 | d));
            high = -1;
        }
    }
    return high < 0;
}

std::string hex_text(const std::vector<uint8_t> &data)
{
    return uds::hex_bytes_text(data);
}

const char kIsotpOptions[] = "s:r:x:M:p:P:l:XS:m:w:t:vN:";

const char kIsotpOptionsHelp[] =
    "  -x TA[:RA]      extended addressing: TA is the first byte of every frame\n"
    "                  sent, RA (default TA) of every frame taken (hex)\n"
    "  -M AE           mixed addressing with the address extension AE (hex)\n"
    "  -p BYTE         pad frames with BYTE (hex) to 8 bytes, or to -P\n"
    "  -P LEN          pad frames to at least LEN bytes (8, or 12-64 for CAN FD)\n"
    "  -l DL           CAN FD frames of up to DL bytes (12, 16, 20, 24, 32, 48, 64)\n"
    "  -X              bit-rate switch in CAN FD frames\n"
    "  -S BS           block size announced in flow controls (0-255; default 0,\n"
    "                  all frames in one block)\n"
    "  -m STMIN        STmin announced: milliseconds 0-127 (5 or 5ms), 100us to\n"
    "                  900us, or the wire byte (0xF3)\n"
    "  -w COUNT        wait frames accepted in a row (default 10)\n"
    "  -t MS           the N_As, N_Bs and N_Cr timeouts (default 1000)\n";

std::string isotp_usage(const char *text)
{
    std::string usage(text);
    usage.replace(usage.find("%s"), 2, kIsotpOptionsHelp);
    usage.replace(usage.find("%s"), 2, kNamesOptionHelp);
    return usage;
}

int isotp_option(const char *prog, int opt, const char *arg, IsotpSettings *s)
{
    isotp::Address &a = s->iso.address;
    bool ext = false;
    uint8_t byte;
    long long n;
    switch (opt) {
    case 's':
        if (!parse_can_id(arg, &a.tx_id, &ext))
            return usage_error(prog, "bad identifier", arg);
        a.extended_id = ext;
        s->have_tx = true;
        return -1;
    case 'r':
        if (!parse_can_id(arg, &a.rx_id, &ext))
            return usage_error(prog, "bad identifier", arg);
        a.extended_id = ext;
        s->have_rx = true;
        return -1;
    case 'x': {
        const std::string t = arg;
        const size_t colon = t.find(':');
        if (!parse_byte(t.substr(0, colon).c_str(), &a.tx_ext))
            return usage_error(prog, "bad address byte", arg);
        a.rx_ext = a.tx_ext;
        if (colon != std::string::npos && !parse_byte(t.substr(colon + 1).c_str(), &a.rx_ext))
            return usage_error(prog, "bad address byte", arg);
        a.mode = isotp::Addressing::Extended;
        return -1;
    }
    case 'M':
        if (!parse_byte(arg, &a.tx_ext))
            return usage_error(prog, "bad address extension", arg);
        a.rx_ext = a.tx_ext;
        a.mode = isotp::Addressing::Mixed;
        return -1;
    case 'p':
        if (!parse_byte(arg, &s->iso.padding))
            return usage_error(prog, "bad padding byte", arg);
        if (s->iso.min_len == 0)
            s->iso.min_len = 8;
        return -1;
    case 'P':
        if (!parse_long(arg, 8, 64, &n) || trace::len_to_dlc(int(n)) < 0)
            return usage_error(prog, "bad frame length (8, 12, 16, 20, 24, 32, 48 or 64)", arg);
        s->iso.min_len = int(n);
        return -1;
    case 'l':
        if (!parse_long(arg, 8, 64, &n) || trace::len_to_dlc(int(n)) < 0)
            return usage_error(prog, "bad CAN FD frame length (12, 16, 20, 24, 32, 48 or 64)", arg);
        s->iso.tx_dl = int(n);
        s->iso.fd = n > 8;
        return -1;
    case 'X': s->iso.brs = true; return -1;
    case 'S':
        if (!parse_long(arg, 0, 255, &n))
            return usage_error(prog, "bad block size", arg);
        s->iso.block_size = uint8_t(n);
        return -1;
    case 'm':
        if (!parse_stmin(arg, &byte))
            return usage_error(prog, "bad STmin (0-127 ms, 100us-900us or 0xF1-0xF9)", arg);
        s->iso.stmin = byte;
        return -1;
    case 'w':
        if (!parse_long(arg, 0, 1000000, &n))
            return usage_error(prog, "bad count of wait frames", arg);
        s->iso.max_wait_frames = int(n);
        return -1;
    case 't':
        if (!parse_long(arg, 1, 3600000, &n))
            return usage_error(prog, "bad timeout", arg);
        s->iso.n_as_ms = s->iso.n_bs_ms = s->iso.n_cr_ms = uint32_t(n);
        return -1;
    case 'v': s->verbose = true; return -1;
    case 'N':
        if (!parse_names(arg, &s->names))
            return usage_error(prog, "bad interface names", arg);
        return -1;
    default: return -2;
    }
}

Link::Link(const char *prog, int port, int channel, const IsotpSettings &s)
    : port_(port), channel_(channel), sender_(prog, port, s.verbose, s.names)
{
}

bool Link::receive(int64_t wait_us, std::vector<trace::Frame> *out)
{
    out->clear();
    std::memset(batch_, 0, sizeof batch_);
    for (CAN_FRAME_INFO &r : batch_)
        r.timestamp.micro_second = kNoTimestamp;
    NON_BLOCK_INFO nb;
    nb.cnt = kBatch;
    nb.interval = unsigned(wait_us / 1000);
    nb.can_frame_info = batch_;
    const int n = VELKReceiveNonblock(port_, &nb);
    const int64_t now = wall_us();
    for (int i = 0; i < n; ++i) {
        const CAN_FRAME_INFO &r = batch_[i];
        if (r.msg_type != VELK_DATA_TYPE || int(r.CAN_port) != channel_)
            continue;
        trace::Frame f = trace::frame_of(r);
        clock_.stamp(r.timestamp, r.recv_time, &f, now);
        out->push_back(f);
    }
    return n > 0 || VELKCheckDevice(port_) == 0;
}

bool Link::send(trace::Frame f, bool *gone)
{
    f.channel = channel_;
    const unsigned long long refused = sender_.refused();
    *gone = !sender_.send(f);
    return !*gone && sender_.refused() == refused;
}

Ended run(Link &link, isotp::Connection &c, int64_t until_us, const RunHooks &hooks)
{
    constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
    std::vector<trace::Frame> frames;
    for (;;) {
        if (stop_requested() || (until_us && mono_us() >= until_us))
            return Ended::Stopped;
        trace::Frame f;
        while (c.next_frame(uint64_t(mono_us()), &f)) {
            bool gone;
            const bool ok = link.send(f, &gone);
            if (gone)
                return Ended::Gone;
            ok ? c.sent(uint64_t(mono_us())) : c.send_failed(uint64_t(mono_us()));
        }
        const int64_t now = mono_us();
        c.tick(uint64_t(now));
        isotp::Event e;
        while (c.next_event(&e))
            if (hooks.on_event && hooks.on_event(e))
                return Ended::Done;
        if (hooks.on_tick && hooks.on_tick(uint64_t(now)))
            return Ended::Done;
        const uint64_t due = c.next_frame_time();
        if (due != kNone && int64_t(due) - now < kHoldUs) {
            sleep_until(int64_t(due));
            continue;
        }
        int64_t wait = kWaitUs;
        const uint64_t deadline = std::min(c.next_deadline(), hooks.deadline ? hooks.deadline() : kNone);
        if (deadline != kNone)
            wait = std::min(wait, int64_t(deadline) - now);
        if (until_us)
            wait = std::min(wait, until_us - now);
        if (!link.receive(std::max<int64_t>(wait, 0), &frames))
            return Ended::Gone;
        for (const trace::Frame &g : frames) {
            const uint64_t t = uint64_t(mono_us());
            if (c.on_frame(g, t) && hooks.on_taken)
                hooks.on_taken(t);
        }
    }
}

}  // namespace velk::tools
