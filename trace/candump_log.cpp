// The candump log format and the frame text of cansend:
//   (1699999999.123456) can0 123#DEADBEEF
//   (1699999999.123456) can1 1ABCDEF0##3001122        CAN FD, BRS and ESI
//   (1699999999.123456) can0 123#R5 T                 remote, transmitted
// Error frames are written as SocketCAN does (bus-error class, 8 zero bytes).
#include <cstdio>

#include "formats.h"

namespace velk::trace {

namespace {

// SocketCAN's error flag and bus-error class in a 29-bit identifier field.
constexpr uint32_t kErrFlag = 0x20000000;
constexpr const char *kErrorFrameText = "20000080#0000000000000000";

bool bad(std::string *why, const std::string &text)
{
    *why = text;
    return false;
}

// Data bytes as hex pairs, up to `max`; '.' may stand between, before or
// after the bytes, as cansend allows.
bool parse_data(std::string_view s, int max, Frame *f, std::string *why)
{
    int n = 0;
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == '.') {
            ++i;
            continue;
        }
        const int hi = i + 1 < s.size() ? detail::hex_value(s[i]) : -1;
        const int lo = hi >= 0 ? detail::hex_value(s[i + 1]) : -1;
        if (lo < 0)
            return bad(why, "data must be pairs of hex digits");
        if (n == max)
            return bad(why, detail::join({"more than ", std::to_string(max), " data bytes"}));
        f->data[static_cast<size_t>(n++)] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    f->len = static_cast<uint8_t>(n);
    return true;
}

// The _C suffix: a classic DLC code 9..15 on a frame of 8 bytes.
bool parse_len8_dlc(std::string_view s, Frame *f, std::string *why)
{
    if (s.size() != 2 || s[0] != '_')
        return bad(why, "malformed DLC suffix (expected _9 to _F)");
    const int dlc = hex_digit(s[1]);
    if (dlc < 9)
        return bad(why, "DLC suffix must be 9 to F");
    f->dlc = static_cast<uint8_t>(dlc);
    return true;
}

}  // namespace

bool parse_frame_text(std::string_view text, Frame *f, std::string *why, int *padded_from)
{
    if (padded_from != nullptr)
        *padded_from = -1;
    const size_t hash = text.find('#');
    if (hash == std::string_view::npos)
        return bad(why, "no '#' between identifier and data");
    const std::string_view id = text.substr(0, hash);
    uint64_t v;
    if ((id.size() != 3 && id.size() != 8) || !detail::parse_uint(id, 16, 0xFFFFFFFF, &v))
        return bad(why, "identifier must be 3 (11-bit) or 8 (29-bit) hex digits");
    std::string_view rest = text.substr(hash + 1);
    f->extended = id.size() == 8;
    f->id = static_cast<uint32_t>(v);
    if (f->extended && (v & kErrFlag) != 0) {
        // An error frame: its class bits and data do not travel further.
        Frame scratch;
        if (!parse_data(rest, 8, &scratch, why))
            return false;
        f->error = true;
        f->extended = false;
        f->id = 0;
        f->len = 0;
        f->dlc = 0;
        return true;
    }
    if (!f->extended && v > 0x7FF)
        return bad(why, "identifier " + std::string(id) + " out of range (11-bit: 000 to 7FF)");
    if (f->extended && v > 0x1FFFFFFF)
        return bad(why, "identifier " + std::string(id) + " out of range (29-bit: 00000000 to 1FFFFFFF)");

    if (!rest.empty() && rest[0] == '#') {
        if (rest.size() < 2 || hex_digit(rest[1]) < 0)
            return bad(why, "CAN FD frame needs a flags digit after ##");
        const int flags = hex_digit(rest[1]);
        f->fd = true;
        f->brs = (flags & 1) != 0;
        f->esi = (flags & 2) != 0;
        if (!parse_data(rest.substr(2), 64, f, why))
            return false;
        int dlc = len_to_dlc(f->len);
        if (dlc < 0 && padded_from != nullptr) {
            // As the kernel does for a CAN FD frame: zeros up to the next length a frame can have.
            *padded_from = f->len;
            while (len_to_dlc(f->len) < 0)
                f->data[f->len++] = 0;
            dlc = len_to_dlc(f->len);
        }
        if (dlc < 0)
            return bad(why, detail::join({"CAN FD length ", std::to_string(f->len),
                                          " is not one of 0-8, 12, 16, 20, 24, 32, 48, 64"}));
        f->dlc = static_cast<uint8_t>(dlc);
        return true;
    }
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        f->remote = true;
        rest.remove_prefix(1);
        if (!rest.empty() && rest[0] >= '0' && rest[0] <= '8') {
            f->dlc = static_cast<uint8_t>(rest[0] - '0');
            rest.remove_prefix(1);
        }
        if (!rest.empty() && (f->dlc != 8 || !parse_len8_dlc(rest, f, why)))
            return bad(why, "remote frame length must be 0 to 8");
        return true;
    }
    const size_t suffix = rest.find('_');
    if (!parse_data(rest.substr(0, suffix), 8, f, why))
        return false;
    f->dlc = f->len;
    if (suffix != std::string_view::npos) {
        if (f->len != 8)
            return bad(why, "a DLC suffix needs 8 data bytes");
        if (!parse_len8_dlc(rest.substr(suffix), f, why))
            return false;
    }
    return true;
}

std::string frame_text(const Frame &f, bool len8_dlc)
{
    if (f.error)
        return kErrorFrameText;
    char b[16];
    std::snprintf(b, sizeof b, f.extended ? "%08X#" : "%03X#", f.id);
    std::string out(b);
    const bool suffix = len8_dlc && !f.fd && f.dlc > 8;
    if (f.remote) {
        out += 'R';
        const int n = f.dlc > 8 ? 8 : f.dlc;
        if (n > 0)
            out += static_cast<char>('0' + n);
    } else {
        if (f.fd) {
            out += '#';
            out += "0123456789ABCDEF"[(f.brs ? 1 : 0) | (f.esi ? 2 : 0)];
        }
        detail::append_hex(&out, f.data.data(), f.len, false);
    }
    if (suffix) {
        out += '_';
        out += "0123456789ABCDEF"[f.dlc & 15];
    }
    return out;
}

std::string log_line(const Frame &f, const std::string &name, bool len8_dlc)
{
    std::string out =
        detail::join({"(", detail::seconds_text(detail::frame_us(f)), ") ", name, " ", frame_text(f, len8_dlc)});
    if (f.tx)
        out += " T";
    return out;
}

namespace detail {

bool log_parse(std::string_view line, Frame *f, std::string *name, std::string *why)
{
    std::string_view w[4];
    const size_t words = split_ws(line, w, 4);
    if (words < 3 || words > 4 || w[0].size() < 3 || w[0].front() != '(' || w[0].back() != ')')
        return bad(why, "not a candump log line (expected '(seconds) interface frame')");
    int64_t us;
    if (!parse_seconds(w[0].substr(1, w[0].size() - 2), false, &us))
        return bad(why, "malformed time " + std::string(w[0]));
    if (words == 4) {
        if (equal_nocase(w[3], "T"))
            f->tx = true;
        else if (!equal_nocase(w[3], "R"))
            return bad(why, "direction must be R or T, not " + std::string(w[3]));
    }
    std::string reason;
    if (!parse_frame_text(w[2], f, &reason))
        return bad(why, "malformed frame " + std::string(w[2]) + ": " + reason);
    set_frame_us(f, us);
    *name = std::string(w[1]);
    return true;
}

}  // namespace detail

}  // namespace velk::trace
