// Reports the adapter sends to the host, and the traffic generator's sequence.
#include "adapter.h"

#include <algorithm>

namespace velk::sim {

namespace {

// CAN FD payload length per DLC code 9..15; codes 0..8 are their own length.
constexpr int kFdLength[] = {12, 16, 20, 24, 32, 48, 64};

void put_be32(Bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 24));
    b.push_back(static_cast<uint8_t>(v >> 16));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

void put_le32(Bytes &b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v >> 16));
    b.push_back(static_cast<uint8_t>(v >> 24));
}

// Reports end like commands: sum, CR, LF. The host does not examine them.
void put_trailer(Bytes &b)
{
    uint8_t sum = 0;
    for (uint8_t x : b)
        sum = static_cast<uint8_t>(sum + x);
    b.push_back(sum);
    b.push_back(0x0D);
    b.push_back(0x0A);
}

uint8_t flags_byte(const Report &r)
{
    return static_cast<uint8_t>(((r.channel + 1) & 3) | (r.extended ? 4 : 0) | (r.rtr ? 8 : 0) | ((r.dlc & 15) << 4));
}

}  // namespace

int dlc_length(int dlc)
{
    if (dlc <= 0)
        return 0;
    if (dlc <= 8)
        return dlc;
    if (dlc >= 15)
        return 64;
    return kFdLength[dlc - 9];
}

size_t report_length(const Report &r)
{
    switch (r.kind) {
    case Report::E1: return 17;
    case Report::E2: return 25;
    case Report::F1: return 18 + static_cast<size_t>(std::max(dlc_length(r.dlc), 8));
    case Report::EepromError: return 9;
    case Report::BusError:
    case Report::BusErrorPsr:
    case Report::BusStatus: return 17;
    }
    return 0;
}

Bytes encode(const Report &r)
{
    Bytes b;
    b.reserve(report_length(r));
    switch (r.kind) {
    case Report::E1:
        b = {0xE1, flags_byte(r)};
        put_be32(b, r.id);
        b.insert(b.end(), r.data.begin(), r.data.begin() + 8);
        break;
    case Report::E2:
        b = {0xE2, flags_byte(r)};
        put_le32(b, r.second);
        put_le32(b, r.micro_second);
        put_be32(b, r.id);
        b.insert(b.end(), r.data.begin(), r.data.begin() + 8);
        break;
    case Report::F1:
        b = {0xF1, flags_byte(r), r.fd_flags};
        put_le32(b, r.second);
        put_le32(b, r.micro_second);
        put_be32(b, r.id);
        b.insert(b.end(), r.data.begin(), r.data.begin() + std::max(dlc_length(r.dlc), 8));
        break;
    case Report::EepromError:
        b = {0x99, 0x01};
        b.insert(b.end(), r.status.begin(), r.status.begin() + 4);
        break;
    case Report::BusError:
    case Report::BusErrorPsr:
    case Report::BusStatus:
        b = {static_cast<uint8_t>(r.kind >> 8), static_cast<uint8_t>(r.kind)};
        b.insert(b.end(), r.status.begin(), r.status.end());
        break;
    }
    put_trailer(b);
    return b;
}

Bytes report_e1(int channel, bool extended, bool rtr, int dlc, uint32_t id, const Bytes &data)
{
    Report r;
    r.kind = Report::E1;
    r.channel = channel;
    r.extended = extended;
    r.rtr = rtr;
    r.dlc = dlc;
    r.id = id;
    std::copy_n(data.begin(), std::min<size_t>(data.size(), 8), r.data.begin());
    return encode(r);
}

Bytes report_e2(int channel, bool extended, bool rtr, int dlc, uint32_t id, const Bytes &data,
                uint32_t second, uint32_t micro_second)
{
    Report r;
    r.kind = Report::E2;
    r.channel = channel;
    r.extended = extended;
    r.rtr = rtr;
    r.dlc = dlc;
    r.id = id;
    r.second = second;
    r.micro_second = micro_second;
    std::copy_n(data.begin(), std::min<size_t>(data.size(), 8), r.data.begin());
    return encode(r);
}

Bytes report_f1(int channel, bool extended, int dlc, uint8_t fd_flags, uint32_t id, const Bytes &data,
                uint32_t second, uint32_t micro_second)
{
    Report r;
    r.kind = Report::F1;
    r.channel = channel;
    r.extended = extended;
    r.dlc = dlc;
    r.fd_flags = fd_flags;
    r.id = id;
    r.second = second;
    r.micro_second = micro_second;
    std::copy_n(data.begin(), std::min<size_t>(data.size(), 64), r.data.begin());
    return encode(r);
}

Bytes report_status(Report::Kind kind, const std::array<uint8_t, 12> &status)
{
    Report r;
    r.kind = kind;
    r.status = status;
    return encode(r);
}

Bytes command(std::initializer_list<uint8_t> code_and_args)
{
    Bytes b(code_and_args);
    put_trailer(b);
    return b;
}

}  // namespace velk::sim
