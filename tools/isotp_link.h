// What the ISO-TP tools (velk_isotp, velk_uds) share: a connection run on a
// channel of the adapter, the addressing, padding, CAN FD and flow options,
// and messages as hex text.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "adapter_time.h"
#include "isotp.h"
#include "tool_common.h"

namespace velk::tools {

// A hex byte with or without 0x.
bool parse_byte(const char *text, uint8_t *v);
// cansend's rule: 8 digits make a 29-bit identifier.
bool parse_can_id(const char *text, uint32_t *id, bool *extended);
// Hex digits, with blanks, newlines, dots or commas between bytes.
bool parse_hex_bytes(const std::string &text, std::vector<uint8_t> *out);
// "62 F1 90".
std::string hex_text(const std::vector<uint8_t> &data);

struct IsotpSettings {
    isotp::Options iso;
    bool have_tx = false, have_rx = false;
    bool verbose = false;
    ChannelNames names;
};
// The options of isotp_option, for getopt, and the usage lines of -x to -t.
extern const char kIsotpOptions[];
extern const char kIsotpOptionsHelp[];
// A tool's usage text with its first two %s filled with the lines of -x
// to -t and of -N; the third is left for common_option.
std::string isotp_usage(const char *text);
// -s -r -x -M -p -P -l -X -S -m -w -t -v -N: -1 when the program goes on,
// -2 for an option not among them, else the exit status now.
int isotp_option(const char *prog, int opt, const char *arg, IsotpSettings *s);

// The frames of one channel of the adapter, and the frames sent there.
class Link {
public:
    Link(const char *prog, int port, int channel, const IsotpSettings &s);
    // Waits up to `wait_us` for frames of the channel (returning when some
    // came); false once the adapter has gone.
    bool receive(int64_t wait_us, std::vector<trace::Frame> *out);
    // True when the frame went out; *gone once the adapter has gone.
    bool send(trace::Frame f, bool *gone);
    int finish() { return sender_.finish(); }

private:
    static constexpr unsigned kBatch = 64;
    int port_;
    int channel_;
    Sender sender_;
    trace::AdapterClock clock_;
    CAN_FRAME_INFO batch_[kBatch];
};

enum class Ended { Done, Stopped, Gone };

// What a caller adds to a connection's run; each may be empty.
struct RunHooks {
    // Each event; true: done.
    std::function<bool(const isotp::Event &)> on_event;
    // A frame the connection took.
    std::function<void(uint64_t now_us)> on_taken;
    // After each round, with the time; true: done.
    std::function<bool(uint64_t now_us)> on_tick;
    // A deadline of the caller's own (monotonic us; UINT64_MAX: none).
    std::function<uint64_t()> deadline;
};

// Runs the connection on the link until a hook says it is done, a stop is
// asked for or the time `until_us` (monotonic; 0: none) has come.
Ended run(Link &link, isotp::Connection &c, int64_t until_us, const RunHooks &hooks);

}  // namespace velk::tools
