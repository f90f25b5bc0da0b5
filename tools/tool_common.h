// What every velk command-line tool needs: naming an adapter by port index
// or device path, the channel and bit-rate options, turning a trace frame
// into the library's record, a clean stop on Ctrl-C, and the exit statuses
// of the CAN tools (0 done, 1 failed, 2 bad usage or input).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lib_velk_2.h"
#include "trace.h"

namespace velk::tools {

enum Exit { kOk = 0, kFailed = 1, kBadInput = 2 };

// SIGINT, SIGTERM and SIGHUP ask the program to stop: stop_requested()
// turns true and a sleep returns early. Every one of them, however many
// come, only asks: the program finishes its file and summary and ends.
// With `restart_calls` a read or write under way goes on (a file being
// written is not cut short); without, a blocking read returns at once (a
// program waiting on its standard input).
void catch_stop_signals(bool restart_calls = true);
bool stop_requested();

// Monotonic and wall-clock time, microseconds.
int64_t mono_us();
int64_t wall_us();
// Sleeps until the monotonic time `until_us`; false when a stop was asked for.
bool sleep_until(int64_t until_us);

// True when a library command (returning 0 for success) succeeds at the
// first or second try. A reply that comes after the library's 150 ms wait (a
// busy machine, a slow adapter) fails a command, and every command the tools
// send may be repeated without harm.
template <typename F>
bool retry_once(F command)
{
    return command() == 0 || command() == 0;
}

// The port index of `name`: an index 0..67 of the device table, or a device
// path. A path the table does not name (after resolving links) is put into
// a free slot, an index whose own device does not exist.
bool port_for(const char *name, int *port, std::string *why);
// port_for and VELKOpenDevice; prints why it failed. kOk or kBadInput.
int open_adapter(const char *prog, const char *name, int *port);

// The channel options shared by the tools.
struct ChannelSetup {
    int nominal[2] = {-1, -1};  // nominal bit-rate code per channel; -1 keeps the adapter's
    int data[2] = {-1, -1};     // CAN FD data rate in Mbit/s; -1 keeps the adapter's
    int fd = -1;                // CAN FD on (1) or off (0); -1 keeps the adapter's
    bool listen = false;        // listen-only on both channels
    bool error_reports = false; // switch all of the adapter's error reports on
};
// "-b 500k" for both channels or "-b 500k,250k" for CAN1 and CAN2.
bool parse_nominal(const char *text, ChannelSetup *s);
// "-d 2M" or "-d 2M,4M"; switches CAN FD on.
bool parse_data_rate(const char *text, ChannelSetup *s);
// Usage lines of -b, -d and -c, and their getopt letters.
extern const char kChannelOptionsHelp[];
constexpr const char kChannelOptions[] = "b:d:c";
// The options the tools share: -b, -d and -c into *s, and -h, which prints
// `usage` (a format taking kChannelOptionsHelp). -1 when the program goes
// on, else its exit status now: 0 after -h, kBadInput for a bad value or an
// unknown option (said on standard error).
int common_option(const char *prog, const char *usage, int opt, const char *arg, ChannelSetup *s);
// Prints "prog: what 'arg' (try -h)"; kBadInput.
int usage_error(const char *prog, const char *what, const char *arg);
// Opens the adapter at `name`, applies the setup and starts the channels
// asked for; Ctrl-C is caught from then on. Prints why it failed and leaves
// the port closed then; kOk, kFailed or kBadInput.
int connect(const char *prog, const char *name, const ChannelSetup &s, bool can1, bool can2, int *port);

// The interface names of CAN1 and CAN2 (-N), can0 and can1 unless given.
struct ChannelNames {
    std::string name[2] = {"can0", "can1"};
};
// Usage line of -N, and its getopt letter.
extern const char kNamesOptionHelp[];
constexpr const char kNamesOption[] = "N:";
// "-N NAME1,NAME2": two different names without blanks, '#' or brackets,
// neither the other channel's CAN1/CAN2/1/2.
bool parse_names(const char *text, ChannelNames *names);
// A channel as every tool takes it: "CAN1" or "1" or the first interface
// name -> 0; "CAN2" or "2" or the second name -> 1. Anything else (such as
// "can2" while the names are can0,can1) is no channel.
bool parse_channel(const char *text, const ChannelNames &names, int *channel);

// candump's identifier filters, as every tool takes them: "ID:MASK" passes
// a frame when (id & MASK) == (ID & MASK), "ID~MASK" when not; 8 ID digits
// make a 29-bit filter.
struct IdFilter {
    uint32_t id;
    uint32_t mask;
    bool invert;
};
// One "ID:MASK" or "ID~MASK".
bool parse_id_filter(const std::string &s, IdFilter *f);
// "CHANNEL[,FILTER]...": *channel and the filters added to *filters; or the
// exit status of a usage error, said on standard error, naming the part
// that is wrong.
int parse_channel_filters(const char *prog, const std::string &arg, const ChannelNames &names, int *channel,
                          std::vector<IdFilter> *filters);
// True when there are no filters or any passes the frame.
bool passes(const std::vector<IdFilter> &filters, const trace::Frame &f);

// A channel map as canplayer writes it, "CAN2=can0" (the file's can0 goes to
// CAN2), or the other way round, "can0=CAN2", when the left side is no
// channel name; added to *channels (file channel -> 0 or 1).
bool parse_channel_map(const std::string &text, const ChannelNames &names, std::map<std::string, int> *channels);

// Frames sent and refused by a sending tool.
class Sender {
public:
    Sender(const char *prog, int port, bool verbose, const ChannelNames &names = {})
        : prog_(prog), port_(port), verbose_(verbose), names_(names)
    {
    }
    // Sends one frame (printed in candump's log format with -v); a refusal is
    // counted. False once the adapter has gone.
    bool send(trace::Frame f);
    bool gone() const { return gone_; }
    unsigned long long refused() const { return refused_; }
    // Closes the port and reports what was refused; the exit status.
    int finish();

private:
    const char *prog_;
    int port_;
    bool verbose_;
    ChannelNames names_;
    bool gone_ = false;
    unsigned long long sent_ = 0, refused_ = 0;
};

// A whole decimal number in [lo, hi].
bool parse_long(const char *text, long long lo, long long hi, long long *v);
// 1 to 8 hex digits.
bool parse_hex32(const char *text, uint32_t *v);
// A non-negative decimal number with an optional fraction.
bool parse_double(const char *text, double *v);


}  // namespace velk::tools
