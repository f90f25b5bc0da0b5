// Parsing and formatting of the socketcand protocol's commands and replies.
#include "protocol.h"

#include <cstdio>
#include <vector>

namespace velk::netd {
namespace {

constexpr uint32_t kMaxStandardId = 0x7FF;
constexpr uint32_t kMaxExtendedId = 0x1FFFFFFF;
constexpr int kMaxTokens = 80;  // sendfd with 64 bytes is 68

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The fuzz target builds this file on its own, without the trace module.
int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool split(std::string_view text, std::vector<std::string_view> *tokens)
{
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i]))
            ++i;
        const size_t start = i;
        while (i < text.size() && !is_space(text[i]))
            ++i;
        if (i > start) {
            if (tokens->size() == kMaxTokens)
                return false;
            tokens->push_back(text.substr(start, i - start));
        }
    }
    return true;
}

bool parse_hex(std::string_view t, size_t max_digits, uint32_t *v)
{
    if (t.empty() || t.size() > max_digits)
        return false;
    uint32_t r = 0;
    for (char c : t) {
        const int d = hex_digit(c);
        if (d < 0)
            return false;
        r = r << 4 | static_cast<uint32_t>(d);
    }
    *v = r;
    return true;
}

bool parse_dec(std::string_view t, size_t max_digits, int64_t *v)
{
    if (t.empty() || t.size() > max_digits)
        return false;
    int64_t r = 0;
    for (char c : t) {
        if (c < '0' || c > '9')
            return false;
        r = r * 10 + (c - '0');
    }
    *v = r;
    return true;
}

// An identifier: eight digits or a value above 0x7FF make it a 29-bit one
// (python-can writes identifiers without leading zeros).
bool parse_id(std::string_view t, uint32_t *id, bool *extended)
{
    uint32_t v;
    if (!parse_hex(t, 8, &v) || v > kMaxExtendedId)
        return false;
    *id = v;
    *extended = t.size() == 8 || v > kMaxStandardId;
    return true;
}

bool valid_fd_length(int64_t n)
{
    return (n >= 0 && n <= 8) || n == 12 || n == 16 || n == 20 || n == 24 || n == 32 || n == 48 || n == 64;
}

// "ID LEN b0 b1 ..." from tokens[at]: exactly LEN bytes must follow.
bool parse_frame(const std::vector<std::string_view> &tk, size_t at, bool fd, NetFrame *f, std::string *why)
{
    if (tk.size() < at + 2 + (fd ? 1 : 0)) {
        *why = "missing arguments";
        return false;
    }
    if (!parse_id(tk[at], &f->id, &f->extended)) {
        *why = "bad can_id";
        return false;
    }
    ++at;
    f->fd = fd;
    if (fd) {
        uint32_t flags;
        if (!parse_hex(tk[at], 2, &flags) || flags > 3) {
            *why = "bad flags";
            return false;
        }
        f->brs = flags & 1;
        f->esi = flags & 2;
        ++at;
    }
    int64_t len;
    if (!parse_dec(tk[at], 2, &len) || (fd ? !valid_fd_length(len) : len > 8)) {
        *why = "bad length";
        return false;
    }
    ++at;
    if (tk.size() - at != static_cast<size_t>(len)) {
        *why = "data does not match the length";
        return false;
    }
    f->len = static_cast<uint8_t>(len);
    for (int64_t i = 0; i < len; ++i) {
        uint32_t b;
        if (!parse_hex(tk[at + static_cast<size_t>(i)], 2, &b)) {
            *why = "bad data byte";
            return false;
        }
        f->data[static_cast<size_t>(i)] = static_cast<uint8_t>(b);
    }
    return true;
}

// "SECS USECS" from tokens[at].
bool parse_interval(const std::vector<std::string_view> &tk, size_t at, int64_t *us, std::string *why)
{
    int64_t s, u;
    if (tk.size() < at + 2 || !parse_dec(tk[at], 9, &s) || !parse_dec(tk[at + 1], 9, &u)) {
        *why = "bad interval";
        return false;
    }
    *us = s * 1000000 + u;
    return true;
}

struct VerbName {
    std::string_view word;
    Verb verb;
};

constexpr VerbName kVerbs[] = {
    {"open", Verb::Open},           {"rawmode", Verb::RawMode},         {"bcmmode", Verb::BcmMode},
    {"controlmode", Verb::ControlMode}, {"isotpmode", Verb::IsotpMode}, {"echo", Verb::Echo},
    {"send", Verb::Send},           {"sendfd", Verb::Send},             {"add", Verb::Add},
    {"update", Verb::Update},       {"delete", Verb::Delete},           {"filter", Verb::Filter},
    {"subscribe", Verb::Subscribe}, {"unsubscribe", Verb::Unsubscribe}, {"muxfilter", Verb::MuxFilter},
    {"statistics", Verb::Statistics},
};

}  // namespace

ParseResult next_command(std::string_view in, size_t *pos, std::string_view *cmd_text)
{
    size_t start = in.find('<', *pos);
    if (start == std::string_view::npos) {
        *pos = in.size();
        return ParseResult::Incomplete;
    }
    for (size_t i = start + 1; i < in.size(); ++i) {
        if (i - start + 1 > kMaxCommand) {
            *pos = i;
            return ParseResult::Error;
        }
        if (in[i] == '<') {
            *pos = i;
            return ParseResult::Error;
        }
        if (in[i] == '>') {
            *cmd_text = in.substr(start + 1, i - start - 1);
            *pos = i + 1;
            return ParseResult::Ok;
        }
    }
    *pos = start;
    if (in.size() - start > kMaxCommand) {
        *pos = in.size();
        return ParseResult::Error;
    }
    return ParseResult::Incomplete;
}

ParseResult parse_command(std::string_view text, Command *cmd, std::string *why)
{
    std::vector<std::string_view> tk;
    if (!split(text, &tk)) {
        *why = "too many arguments";
        return ParseResult::Error;
    }
    if (tk.empty()) {
        *why = "empty command";
        return ParseResult::Error;
    }
    const VerbName *vn = nullptr;
    for (const VerbName &v : kVerbs)
        if (v.word == tk[0])
            vn = &v;
    if (vn == nullptr) {
        *why = "unknown command";
        return ParseResult::Error;
    }
    *cmd = Command();
    cmd->verb = vn->verb;
    auto no_args = [&] {
        if (tk.size() != 1) {
            *why = "unexpected arguments";
            return ParseResult::Error;
        }
        return ParseResult::Ok;
    };
    auto done = [&](bool ok) { return ok ? ParseResult::Ok : ParseResult::Error; };
    switch (vn->verb) {
    case Verb::Open: {
        if (tk.size() != 2 || tk[1].size() > kMaxBusName) {
            *why = "bad bus name";
            return ParseResult::Error;
        }
        for (char c : tk[1])
            if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E) {
                *why = "bad bus name";
                return ParseResult::Error;
            }
        cmd->bus = std::string(tk[1]);
        return ParseResult::Ok;
    }
    case Verb::RawMode:
    case Verb::BcmMode:
    case Verb::ControlMode:
    case Verb::IsotpMode:
    case Verb::Echo: return no_args();
    case Verb::Send: return done(parse_frame(tk, 1, tk[0] == "sendfd", &cmd->frame, why));
    case Verb::Add:
    case Verb::Filter:
        return done(parse_interval(tk, 1, &cmd->interval_us, why) && parse_frame(tk, 3, false, &cmd->frame, why));
    case Verb::Update: return done(parse_frame(tk, 1, false, &cmd->frame, why));
    case Verb::Delete:
    case Verb::Unsubscribe:
        if (tk.size() != 2 || !parse_id(tk[1], &cmd->id, &cmd->extended)) {
            *why = "bad can_id";
            return ParseResult::Error;
        }
        return ParseResult::Ok;
    case Verb::Subscribe:
        if (!parse_interval(tk, 1, &cmd->interval_us, why))
            return ParseResult::Error;
        if (tk.size() != 4 || !parse_id(tk[3], &cmd->id, &cmd->extended)) {
            *why = "bad can_id";
            return ParseResult::Error;
        }
        return ParseResult::Ok;
    case Verb::MuxFilter: return ParseResult::Ok;
    case Verb::Statistics:
        if (tk.size() != 2 || !parse_dec(tk[1], 9, &cmd->stats_ms)) {
            *why = "bad interval";
            return ParseResult::Error;
        }
        return ParseResult::Ok;
    }
    *why = "unknown command";
    return ParseResult::Error;
}

std::string frame_line(const NetFrame &f, int64_t sec, uint32_t usec)
{
    char head[64];
    const char *id_format = f.extended ? "%08X" : "%03X";
    char id[12];
    std::snprintf(id, sizeof id, id_format, f.id);
    if (f.fd)
        std::snprintf(head, sizeof head, "< fdframe %s %02X %lld.%06u ", id, (f.brs ? 1 : 0) | (f.esi ? 2 : 0),
                      static_cast<long long>(sec), usec);
    else
        std::snprintf(head, sizeof head, "< frame %s %lld.%06u ", id, static_cast<long long>(sec), usec);
    std::string out(head);
    static const char kHex[] = "0123456789ABCDEF";
    // The payload as one run of hex digits, as socketcand itself writes it
    // and python-can reads it (it takes a single field); an empty payload
    // leaves two spaces before the '>'.
    for (size_t i = 0; i < f.len && i < f.data.size(); ++i) {
        out += kHex[f.data[i] >> 4];
        out += kHex[f.data[i] & 15];
    }
    out += " >";
    return out;
}

std::string ok_line()
{
    return "< ok >";
}

std::string error_line(std::string_view why)
{
    return "< error " + std::string(why) + " >";
}

std::string hi_line()
{
    return "< hi >";
}

std::string echo_line()
{
    return "< echo >";
}

std::string stat_line(uint64_t rbytes, uint64_t rpackets, uint64_t tbytes, uint64_t tpackets, uint64_t dropped)
{
    char b[128];
    std::snprintf(b, sizeof b, "< stat %llu %llu %llu %llu %llu >", static_cast<unsigned long long>(rbytes),
                  static_cast<unsigned long long>(rpackets), static_cast<unsigned long long>(tbytes),
                  static_cast<unsigned long long>(tpackets), static_cast<unsigned long long>(dropped));
    return b;
}

}  // namespace velk::netd
