// The PCI of single, first, consecutive and flow-control frames, read and
// written, in the classic and the CAN FD forms.
#include <algorithm>
#include <cstring>

#include "internal.h"

namespace velk::isotp {

uint32_t stmin_us(uint8_t stmin)
{
    if (stmin <= 0x7F)
        return stmin * 1000u;
    if (stmin >= 0xF1 && stmin <= 0xF9)
        return (stmin - 0xF0) * 100u;
    return 127000;  // reserved values: the longest time a sender may be asked for
}

namespace detail {

namespace {

// A single frame's largest payload in a frame of up to 8 bytes.
constexpr uint32_t kClassicSingleMax = 7;

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

Pci read_pci(const trace::Frame &f, int at)
{
    Pci p;
    const int len = f.len;
    if (f.error || f.remote || len < at + 1)
        return p;
    const uint8_t b0 = f.data[at];
    switch (b0 >> 4) {
    case 0:
        if (len <= 8) {
            p.length = b0 & 0x0F;
            p.data_at = at + 1;
        } else {
            if (b0 != 0)
                return p;
            p.length = f.data[at + 1];
            p.data_at = at + 2;
        }
        if (p.length == 0 || p.length > uint32_t(len - p.data_at))
            return p;
        p.data_len = int(p.length);
        p.kind = Kind::Single;
        return p;
    case 1: {
        if (len < 8)
            return p;
        p.length = uint32_t(b0 & 0x0F) << 8 | f.data[at + 1];
        p.data_at = at + 2;
        if (p.length == 0) {
            p.length = be32(&f.data[at + 2]);
            p.data_at = at + 6;
            if (p.length <= kShortFirstMax)
                return p;
        }
        const uint32_t single_max = len <= 8 ? kClassicSingleMax - at : uint32_t(len - 2 - at);
        if (p.length <= single_max)
            return p;
        p.data_len = len - p.data_at;
        p.kind = Kind::First;
        return p;
    }
    case 2:
        p.sn = b0 & 0x0F;
        p.data_at = at + 1;
        p.data_len = len - p.data_at;
        p.kind = Kind::Consecutive;
        return p;
    case 3:
        if (len < at + 3)
            return p;
        p.status = b0 & 0x0F;
        p.block_size = f.data[at + 1];
        p.stmin = f.data[at + 2];
        p.kind = Kind::Flow;
        return p;
    default:
        return p;
    }
}

Shape shape_of(const Options &o, bool functional)
{
    Shape s;
    const Address &a = o.address;
    s.id = functional && a.func_id >= 0 ? uint32_t(a.func_id) : a.tx_id;
    s.extended_id = a.extended_id;
    s.fd = o.fd;
    s.brs = o.fd && o.brs;
    s.ext = a.mode == Addressing::Normal ? -1 : a.tx_ext;
    s.tx_dl = o.fd ? std::clamp(o.tx_dl, 8, 64) : 8;
    s.padding = o.padding;
    s.min_len = o.min_len;
    return s;
}

uint32_t single_capacity(const Shape &s)
{
    const int at = s.ext >= 0 ? 1 : 0;
    return s.tx_dl <= 8 ? kClassicSingleMax - at : uint32_t(s.tx_dl - 2 - at);
}

trace::Frame build_frame(const Shape &s, const uint8_t *bytes, int n)
{
    trace::Frame f;
    f.id = s.id;
    f.extended = s.extended_id;
    f.fd = s.fd;
    f.brs = s.brs;
    f.tx = true;
    int len = 0;
    if (s.ext >= 0)
        f.data[len++] = uint8_t(s.ext);
    std::memcpy(&f.data[len], bytes, size_t(n));
    len += n;
    int full = std::max(len, s.min_len);
    if (s.fd) {
        full = std::min(full, 64);
        while (trace::len_to_dlc(full) < 0)
            ++full;
    } else {
        full = std::min(full, 8);
    }
    std::fill(f.data.begin() + len, f.data.begin() + full, s.padding);
    f.len = uint8_t(full);
    f.dlc = uint8_t(s.fd ? trace::len_to_dlc(full) : full);
    return f;
}

trace::Frame single_frame(const Shape &s, const uint8_t *data, uint32_t len)
{
    uint8_t bytes[64];
    const int at = s.ext >= 0 ? 1 : 0;
    int n;
    if (len <= kClassicSingleMax - at) {
        bytes[0] = uint8_t(len);
        n = 1;
    } else {
        bytes[0] = 0;
        bytes[1] = uint8_t(len);
        n = 2;
    }
    std::memcpy(bytes + n, data, len);
    return build_frame(s, bytes, n + int(len));
}

trace::Frame first_frame(const Shape &s, const uint8_t *data, uint32_t total, uint32_t *taken)
{
    uint8_t bytes[64];
    const int at = s.ext >= 0 ? 1 : 0;
    int n;
    if (total <= kShortFirstMax) {
        bytes[0] = uint8_t(0x10 | total >> 8);
        bytes[1] = uint8_t(total);
        n = 2;
    } else {
        bytes[0] = 0x10;
        bytes[1] = 0;
        bytes[2] = uint8_t(total >> 24);
        bytes[3] = uint8_t(total >> 16);
        bytes[4] = uint8_t(total >> 8);
        bytes[5] = uint8_t(total);
        n = 6;
    }
    *taken = std::min<uint32_t>(total, uint32_t(s.tx_dl - at - n));
    std::memcpy(bytes + n, data, *taken);
    return build_frame(s, bytes, n + int(*taken));
}

trace::Frame consecutive_frame(const Shape &s, uint8_t sn, const uint8_t *data, uint32_t left, uint32_t *taken)
{
    uint8_t bytes[64];
    const int at = s.ext >= 0 ? 1 : 0;
    bytes[0] = uint8_t(0x20 | (sn & 0x0F));
    *taken = std::min<uint32_t>(left, uint32_t(s.tx_dl - at - 1));
    std::memcpy(bytes + 1, data, *taken);
    return build_frame(s, bytes, 1 + int(*taken));
}

trace::Frame flow_frame(const Shape &s, uint8_t status, uint8_t block_size, uint8_t stmin)
{
    const uint8_t bytes[3] = {uint8_t(0x30 | status), block_size, stmin};
    return build_frame(s, bytes, 3);
}

}  // namespace detail
}  // namespace velk::isotp
