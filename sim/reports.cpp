// Reports the adapter sends to the host, laid out as the library's wire
// description says, and the byte helpers of the emulator's files.
#include <algorithm>

#include "sim_internal.h"

namespace velk::sim {

namespace {

uint8_t flags_byte(const Report &r)
{
    return static_cast<uint8_t>(((r.channel + 1) & 3) | (r.extended ? 4 : 0) | (r.rtr ? 8 : 0) | ((r.dlc & 15) << 4));
}

// The first two bytes: code and flags of a data report, the two codes of the others.
std::array<uint8_t, 2> header(const Report &r)
{
    if (r.kind == Report::E1 || r.kind == Report::E2 || r.kind == Report::F1)
        return {static_cast<uint8_t>(r.kind), flags_byte(r)};
    return {static_cast<uint8_t>(r.kind >> 8), static_cast<uint8_t>(r.kind)};
}

const wire::DataLayout *layout_of(Report::Kind kind)
{
    switch (kind) {
    case Report::E1: return &wire::kClassicReport;
    case Report::E2: return &wire::kStampedReport;
    case Report::F1: return &wire::kFdReport;
    default: return nullptr;
    }
}

}  // namespace

void put_be32(uint8_t *p, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

void put_le32(uint8_t *p, uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<uint8_t>(v >> (8 * k));
}

uint32_t get_be32(const uint8_t *p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void seal(Bytes &b)
{
    b.resize(b.size() + wire::kTrailerLen);
    wire::seal(b.data(), b.size());
}

int dlc_length(int dlc)
{
    return VELKDlcToLength(dlc);
}

size_t report_length(const Report &r)
{
    return static_cast<size_t>(wire::report_length(header(r).data()));
}

// Laid out by the report's kind; the trailer is filled in last.
Bytes encode(const Report &r)
{
    const std::array<uint8_t, 2> head = header(r);
    Bytes b(report_length(r) - wire::kTrailerLen, 0);
    b[0] = head[0];
    b[1] = head[1];
    if (const wire::DataLayout *l = layout_of(r.kind)) {
        if (l->fd_flags_at >= 0)
            b[static_cast<size_t>(l->fd_flags_at)] = r.fd_flags;
        if (l->stamp_at >= 0) {
            put_le32(&b[static_cast<size_t>(l->stamp_at)], r.second);
            put_le32(&b[static_cast<size_t>(l->stamp_at) + 4], r.micro_second);
        }
        put_be32(&b[static_cast<size_t>(l->id_at)], r.id);
        std::copy(r.data.begin(), r.data.begin() + static_cast<long>(b.size()) - l->data_at, b.begin() + l->data_at);
    } else {
        // Status bytes; the EEPROM error report has room for four.
        std::copy_n(r.status.begin(), b.size() - wire::kStatusAt, b.begin() + wire::kStatusAt);
    }
    seal(b);
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

}  // namespace velk::sim
