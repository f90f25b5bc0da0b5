// CSV for spreadsheets and scripts: a header row, then one frame per row.
//   time               wall-clock seconds
//   time_source        adapter (the adapter's timestamp mapped to wall-clock
//                      time), host (the host's receive time) or empty
//   adapter_time       the adapter's own timestamp, seconds, when it sent one
//   channel            CAN1 or CAN2
//   direction          Rx or Tx
//   id                 0x123 (11-bit) or 0x1ABCDEF0 (29-bit); empty for an error frame
//   extended, remote, fd, brs, esi, error   0 or 1
//   dlc, length        the DLC code and the payload bytes
//   data               DE AD BE EF
#include <cstdio>

#include "formats.h"

namespace velk::trace::detail {

namespace {

constexpr size_t kColumns = 15;
constexpr const char *kChannels[2] = {"CAN1", "CAN2"};

bool bad(std::string *why, const std::string &text)
{
    *why = text;
    return false;
}

std::vector<std::string_view> split_commas(std::string_view s)
{
    std::vector<std::string_view> out;
    size_t b = 0;
    for (;;) {
        const size_t c = s.find(',', b);
        out.push_back(s.substr(b, c == std::string_view::npos ? std::string_view::npos : c - b));
        if (c == std::string_view::npos)
            return out;
        b = c + 1;
    }
}

bool flag(std::string_view s, bool *v)
{
    if (s != "0" && s != "1")
        return false;
    *v = s == "1";
    return true;
}

}  // namespace

const char kCsvHeader[] =
    "time,time_source,adapter_time,channel,direction,id,extended,remote,fd,brs,esi,error,dlc,length,data\n";

void csv_append_row(std::string *out, const Frame &f)
{
    char b[128];
    const char *source = f.source == TimeSource::Adapter ? "adapter" : f.source == TimeSource::Host ? "host" : "";
    char adapter[32] = "";
    if (f.has_adapter_time)
        std::snprintf(adapter, sizeof adapter, "%u.%06u", f.adapter_sec, f.adapter_usec);
    char id[16] = "";
    if (!f.error)
        std::snprintf(id, sizeof id, f.extended ? "0x%08X" : "0x%03X", f.id);
    std::snprintf(b, sizeof b, "%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%d,%d,%d,%d,", seconds_text(frame_us(f)).c_str(),
                  source, adapter, kChannels[f.channel == 1 ? 1 : 0], f.tx ? "Tx" : "Rx", id, f.extended,
                  f.remote, f.fd, f.brs, f.esi, f.error, f.dlc, f.len);
    *out += b;
    append_hex(out, f.data.data(), f.len, true);
    *out += '\n';
}

bool csv_parse(std::string_view row, Frame *f, std::string *name, std::string *why)
{
    const auto c = split_commas(row);
    if (c.size() != kColumns)
        return bad(why, join({"expected ", std::to_string(kColumns), " columns, found ", std::to_string(c.size())}));
    int64_t us;
    if (!parse_seconds(c[0], false, &us))
        return bad(why, "malformed time " + std::string(c[0]));
    set_frame_us(f, us);
    if (c[1] == "adapter")
        f->source = TimeSource::Adapter;
    else if (c[1] == "host")
        f->source = TimeSource::Host;
    else if (!c[1].empty())
        return bad(why, "time_source must be adapter, host or empty");
    if (!c[2].empty()) {
        int64_t a;
        if (!parse_seconds(c[2], false, &a) || a / 1000000 > 0xFFFFFFFF)
            return bad(why, "malformed adapter_time " + std::string(c[2]));
        f->has_adapter_time = true;
        f->adapter_sec = static_cast<uint32_t>(a / 1000000);
        f->adapter_usec = static_cast<uint32_t>(a % 1000000);
    }
    *name = std::string(c[3]);
    if (c[4] != "Rx" && c[4] != "Tx")
        return bad(why, "direction must be Rx or Tx");
    f->tx = c[4] == "Tx";
    if (!flag(c[6], &f->extended) || !flag(c[7], &f->remote) || !flag(c[8], &f->fd) || !flag(c[9], &f->brs) ||
        !flag(c[10], &f->esi) || !flag(c[11], &f->error))
        return bad(why, "extended, remote, fd, brs, esi and error must be 0 or 1");
    uint64_t v = 0, dlc, len;
    if (!f->error) {
        std::string_view id = c[5];
        if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X'))
            id.remove_prefix(2);
        if (!parse_uint(id, 16, f->extended ? 0x1FFFFFFF : 0x7FF, &v))
            return bad(why, "malformed or out-of-range id " + std::string(c[5]));
    } else if (!c[5].empty()) {
        return bad(why, "an error frame has no id");
    }
    f->id = static_cast<uint32_t>(v);
    if (!parse_uint(c[12], 10, 15, &dlc) || !parse_uint(c[13], 10, 64, &len))
        return bad(why, "malformed dlc or length");
    f->dlc = static_cast<uint8_t>(dlc);
    f->len = static_cast<uint8_t>(len);
    const int want = f->error || f->remote ? 0 : f->fd ? dlc_to_len(f->dlc) : (dlc > 8 ? 8 : f->dlc);
    if (static_cast<int>(len) != want || (f->fd && f->remote))
        return bad(why, "length does not match the DLC and flags");
    const auto bytes = split_ws(c[14]);
    if (bytes.size() != len)
        return bad(why, join({"data has ", std::to_string(bytes.size()), " bytes, length says ", std::to_string(len)}));
    for (size_t i = 0; i < len; ++i) {
        uint64_t b;
        if (bytes[i].size() != 2 || !parse_uint(bytes[i], 16, 255, &b))
            return bad(why, "malformed data byte " + std::string(bytes[i]));
        f->data[i] = static_cast<uint8_t>(b);
    }
    return true;
}

}  // namespace velk::trace::detail
