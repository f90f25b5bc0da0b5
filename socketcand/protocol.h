// The socketcand text protocol: commands of the form "< word args... >" from
// the network, parsed into a Command, and the lines the server writes back.
// Pure functions, no state: the fuzz target and the tests call them directly.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velk::netd {

// The longest command taken from a client, from '<' to '>'. A muxfilter of
// 257 frames would need more; it is refused anyway.
constexpr size_t kMaxCommand = 512;
// Bus names as the protocol allows them.
constexpr size_t kMaxBusName = 16;

// A frame as it crosses the protocol, either way.
struct NetFrame {
    uint32_t id = 0;
    bool extended = false;
    bool fd = false;
    bool brs = false;
    bool esi = false;
    bool remote = false;  // a remote request: no data; dlc is the length asked for
    uint8_t dlc = 0;      // the DLC code; a frame to send takes it from len unless remote
    uint8_t len = 0;  // payload bytes: 0..8, or a CAN FD length up to 64
    std::array<uint8_t, 64> data = {};
};

enum class Verb {
    Open,
    RawMode,
    BcmMode,
    ControlMode,
    IsotpMode,
    Echo,
    Send,     // send, sendfd
    Add,      // add: a cyclic job (or one frame with no interval)
    Update,   // update: new content of a job
    Delete,   // delete: the job of an identifier
    Filter,   // filter: content filter of an identifier
    Subscribe,
    Unsubscribe,
    MuxFilter,
    Statistics,
};

struct Command {
    Verb verb = Verb::Echo;
    std::string bus;           // open
    NetFrame frame;            // send, add, update, filter (data = the mask)
    uint32_t id = 0;           // delete, subscribe, unsubscribe
    bool extended = false;     // of id
    int64_t interval_us = 0;   // add, filter, subscribe
    int64_t stats_ms = 0;      // statistics
};

enum class ParseResult { Ok, Incomplete, Error };

// Finds the next "< ... >" in `in` from `*pos`. Bytes before a '<' are
// skipped. Ok: `*cmd_text` is the text between the brackets and `*pos` is
// past the '>'. Incomplete: no '>' yet (`*pos` at the '<', or at the end
// when there is none). Error: the command exceeds kMaxCommand, or a second
// '<' comes before its '>'; `*pos` is past what was thrown away.
ParseResult next_command(std::string_view in, size_t *pos, std::string_view *cmd_text);

// Parses the text between the brackets. On Error `*why` says what was wrong,
// in a form fit for "< error ... >".
ParseResult parse_command(std::string_view text, Command *cmd, std::string *why);

// "< frame 123 1700000000.123456 112233 >", and for CAN FD
// "< fdframe 123 01 1700000000.123456 1122... >" (flags: 1 BRS, 2 ESI).
std::string frame_line(const NetFrame &f, int64_t sec, uint32_t usec);
std::string ok_line();
std::string error_line(std::string_view why);
std::string hi_line();
std::string echo_line();
// "< stat rbytes rpackets tbytes tpackets dropped >".
std::string stat_line(uint64_t rbytes, uint64_t rpackets, uint64_t tbytes, uint64_t tpackets, uint64_t dropped);

}  // namespace velk::netd
