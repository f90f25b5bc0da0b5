// velk_isotp: ISO-TP messages on a channel: send one, print those received,
// or list every message on the bus or in a trace file.
#include <getopt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "adapter_time.h"
#include "isotp.h"
#include "isotp_link.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_isotp";

const char kUsage[] =
    "Usage: velk_isotp send [options] -s ID -r ID PORT CHANNEL [HEX...]\n"
    "       velk_isotp recv [options] -s ID -r ID PORT CHANNEL\n"
    "       velk_isotp dump [options] PORT CHANNEL\n"
    "       velk_isotp dump [options] -f TRACE\n"
    "\n"
    "ISO-TP (ISO 15765-2) on CHANNEL of the adapter at PORT (a port index 0-67\n"
    "or a device path; CHANNEL is CAN1 or 1, CAN2 or 2, or a name of -N).\n"
    "  send  sends one message: the HEX arguments, or standard input when there\n"
    "        are none (hex digits; blanks, newlines and '.' between bytes are\n"
    "        passed over), and waits until it is sent\n"
    "  recv  prints each message received, its bytes in hex, one a line\n"
    "  dump  prints every message on the channel, or in the trace file of -f\n"
    "        (any format velk_convert reads), with its start and end times,\n"
    "        identifiers and any protocol error:\n"
    "          (START-END) can0 7E8 > 7E0 [20] 62 F1 90 ...\n"
    "        (> ? when no flow control was seen; ID/XX with an address byte)\n"
    "Other frames on the channel are left alone. Identifiers of 8 hex digits\n"
    "are 29-bit ones.\n"
    "\n"
    "Options:\n"
    "  -s ID           the identifier this side sends on\n"
    "  -r ID           the identifier this side receives on (flow controls\n"
    "                  for send, the message for recv); dump: with -s, only\n"
    "                  these two identifiers\n"
    "%s"
    "  -F ID           send: a functional request on ID, in one single frame\n"
    "  -f TRACE        dump: read the trace file TRACE\n"
    "  -n COUNT        recv, dump: stop after COUNT messages\n"
    "  -T SECONDS      recv, dump: stop after SECONDS\n"
    "  -v              print each frame sent, in candump's log format\n"
    "%s"
    "%s"
    "  -h              this help\n"
    "\n"
    "Exit status: 0 done, 1 a protocol error, a timeout or the adapter failed,\n"
    "2 bad usage or input.\n"
    "\n"
    "Examples:\n"
    "  velk_isotp send -s 7E0 -r 7E8 /dev/ttyACM0 CAN1 22 F1 90\n"
    "  velk_isotp recv -s 7E8 -r 7E0 -S 8 -m 500us /dev/ttyACM0 CAN2\n"
    "  velk_isotp send -s 18DA01F1 -r 18DAF101 -l 64 -p CC -d 2M 0 1 < firmware.hex\n"
    "  velk_isotp dump -f drive.blf\n";

const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};

struct Settings : IsotpSettings {
    int64_t functional = -1;
    const char *trace_path = nullptr;
    long long count = 0;
    double seconds = 0;
    ChannelSetup setup;
};

// The one hook of a tool that only reads events.
RunHooks on_events(std::function<bool(const isotp::Event &)> f)
{
    RunHooks h;
    h.on_event = std::move(f);
    return h;
}

// The receive call returns at least this often, to see a stop or the time.
constexpr int64_t kWaitUs = 20000;

int do_send(const Settings &s, int port, int channel, const std::vector<uint8_t> &message)
{
    isotp::Options o = s.iso;
    if (s.functional >= 0)
        o.address.func_id = s.functional;
    isotp::Connection c(o);
    if (!c.send(message, uint64_t(mono_us()), s.functional >= 0)) {
        VELKCloseDevice(port);
        std::fprintf(stderr, "%s: a functional request takes one single frame (at most %s bytes)\n", kProg,
                     o.fd ? "62" : "7");
        return kBadInput;
    }
    Link link(kProg, port, channel, s);
    isotp::Error error = isotp::Error::None;
    const Ended end = run(link, c, 0, on_events([&](const isotp::Event &e) {
        if (e.kind == isotp::Event::Sent)
            return true;
        if (e.kind == isotp::Event::TxError) {
            error = e.error;
            return true;
        }
        return false;
    }));
    const int status = link.finish();
    if (end == Ended::Gone)
        return kFailed;
    if (end == Ended::Stopped) {
        std::fprintf(stderr, "%s: stopped before the message was sent\n", kProg);
        return kFailed;
    }
    if (error != isotp::Error::None) {
        std::fprintf(stderr, "%s: %s\n", kProg, isotp::error_name(error));
        return kFailed;
    }
    return status;
}

int64_t until_of(const Settings &s)
{
    return s.seconds > 0 ? mono_us() + int64_t(s.seconds * 1e6) : 0;
}

int do_recv(const Settings &s, int port, int channel)
{
    isotp::Connection c(s.iso);
    Link link(kProg, port, channel, s);
    long long got = 0;
    bool failed = false;
    const Ended end = run(link, c, until_of(s), on_events([&](const isotp::Event &e) {
        if (e.kind == isotp::Event::Received) {
            std::printf("%s\n", hex_text(e.data).c_str());
            std::fflush(stdout);
            return s.count > 0 && ++got >= s.count;
        }
        if (e.kind == isotp::Event::RxError) {
            std::fprintf(stderr, "%s: %s\n", kProg, isotp::error_name(e.error));
            failed = true;
        }
        return false;
    }));
    const int status = link.finish();
    if (end == Ended::Gone)
        return kFailed;
    return failed ? kFailed : status;
}

std::string time_text(int64_t us)
{
    char b[40];
    std::snprintf(b, sizeof b, "%lld.%06lld", static_cast<long long>(us / 1000000),
                  static_cast<long long>(us % 1000000));
    return b;
}

std::string id_text(uint32_t id, bool extended)
{
    char b[16];
    std::snprintf(b, sizeof b, extended ? "%08X" : "%03X", unsigned(id));
    return b;
}

void print_message(const isotp::Message &m, const std::string &name)
{
    std::string line = "(" + time_text(m.start_us) + "-" + time_text(m.end_us) + ") " + name + " " +
                       id_text(m.id, m.extended_id);
    if (m.ext >= 0) {
        char b[16];
        std::snprintf(b, sizeof b, "/%02X", unsigned(m.ext));
        line += b;
    }
    line += " > " + (m.flow_id >= 0 ? id_text(uint32_t(m.flow_id), m.extended_id) : std::string("?"));
    line += " [" + std::to_string(m.length) + "] " + hex_text(m.data);
    if (m.error != isotp::Error::None)
        line += std::string("  (") + isotp::error_name(m.error) + ")";
    std::printf("%s\n", line.c_str());
}

isotp::ReassemblerOptions reassembler_options(const Settings &s)
{
    isotp::ReassemblerOptions ro;
    ro.mode = s.iso.address.mode;
    ro.n_cr_ms = s.iso.n_cr_ms;
    if (s.have_tx)
        ro.ids.push_back({s.iso.address.tx_id, s.iso.address.extended_id});
    if (s.have_rx)
        ro.ids.push_back({s.iso.address.rx_id, s.iso.address.extended_id});
    return ro;
}

// Prints what the reassembler has; true once COUNT messages are out.
bool print_messages(isotp::Reassembler &r, const Settings &s, long long *printed, bool *errors)
{
    isotp::Message m;
    while (r.next(&m)) {
        const int ch = m.channel == 1 ? 1 : 0;
        print_message(m, m.channel < 0 ? "?" : s.names.name[ch]);
        *errors = *errors || m.error != isotp::Error::None;
        if (s.count > 0 && ++*printed >= s.count)
            return true;
    }
    return false;
}

int dump_file(const Settings &s)
{
    trace::Format format;
    if (!trace::format_of(s.trace_path, &format))
        return usage_error(kProg, "unknown trace format (by its extension)", s.trace_path);
    trace::Reader reader;
    trace::ReadOptions ro;
    if (!reader.open(s.trace_path, format, ro)) {
        std::fprintf(stderr, "%s: %s\n", kProg, reader.error().c_str());
        return kBadInput;
    }
    isotp::Reassembler r(reassembler_options(s));
    long long printed = 0;
    bool errors = false;
    trace::Frame f;
    int n;
    while ((n = reader.next(&f)) > 0) {
        r.add(f);
        if (print_messages(r, s, &printed, &errors))
            return kOk;
    }
    r.finish();
    print_messages(r, s, &printed, &errors);
    if (n < 0) {
        std::fprintf(stderr, "%s: %s\n", kProg, reader.error().c_str());
        return kBadInput;
    }
    return kOk;
}

int dump_live(const Settings &s, int port, int channel)
{
    isotp::Reassembler r(reassembler_options(s));
    Link link(kProg, port, channel, s);
    const int64_t until = until_of(s);
    long long printed = 0;
    bool errors = false, gone = false;
    std::vector<trace::Frame> frames;
    while (!stop_requested() && (!until || mono_us() < until)) {
        if (!link.receive(kWaitUs, &frames)) {
            gone = true;
            break;
        }
        bool done = false;
        for (const trace::Frame &f : frames) {
            r.add(f);
            done = done || print_messages(r, s, &printed, &errors);
        }
        std::fflush(stdout);
        if (done)
            break;
    }
    r.finish();
    if (!gone)
        print_messages(r, s, &printed, &errors);
    const int status = link.finish();
    return gone ? kFailed : status;
}

// Parses an option of velk_isotp's own; -1 when the program goes on, else
// its exit status.
int own_option(int opt, const char *arg, Settings *s)
{
    uint32_t id;
    bool ext;
    switch (opt) {
    case 'F':
        if (!parse_can_id(arg, &id, &ext))
            return usage_error(kProg, "bad identifier", arg);
        s->functional = id;
        return -1;
    case 'f': s->trace_path = arg; return -1;
    case 'n':
        if (!parse_long(arg, 1, 1LL << 62, &s->count))
            return usage_error(kProg, "bad count", arg);
        return -1;
    case 'T':
        if (!parse_double(arg, &s->seconds) || s->seconds <= 0)
            return usage_error(kProg, "bad time", arg);
        return -1;
    default: return isotp_option(kProg, opt, arg, s);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string usage = isotp_usage(kUsage);
    if (argc >= 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::printf(usage.c_str(), kChannelOptionsHelp);
        return kOk;
    }
    if (argc < 2) {
        std::fprintf(stderr, "%s: give a command: send, recv or dump (try -h)\n", kProg);
        return kBadInput;
    }
    const std::string command = argv[1];
    if (command != "send" && command != "recv" && command != "dump")
        return usage_error(kProg, "unknown command (send, recv or dump)", argv[1]);
    Settings s;
    const std::string optstring = std::string(kIsotpOptions) + "F:f:n:T:h" + kChannelOptions;
    optind = 2;
    int opt;
    while ((opt = getopt_long(argc, argv, optstring.c_str(), kLong, nullptr)) != -1) {
        int status = own_option(opt, optarg, &s);
        if (status == -2)
            status = common_option(kProg, usage.c_str(), opt, optarg, &s.setup);
        if (status >= 0)
            return status;
    }
    if (command == "dump" && s.trace_path != nullptr) {
        if (argc != optind)
            return usage_error(kProg, "with -f give no PORT or CHANNEL", argv[optind]);
        return dump_file(s);
    }
    if (argc - optind < 2) {
        std::fprintf(stderr, "%s: give PORT and CHANNEL (try -h)\n", kProg);
        return kBadInput;
    }
    if (command != "dump" && !(s.have_tx && s.have_rx)) {
        std::fprintf(stderr, "%s: %s needs -s and -r (try -h)\n", kProg, command.c_str());
        return kBadInput;
    }
    if (command != "send" && optind + 2 != argc)
        return usage_error(kProg, "too many arguments", argv[optind + 2]);
    int channel;
    if (!parse_channel(argv[optind + 1], s.names, &channel))
        return usage_error(kProg, "unknown channel (CAN1, CAN2 or an interface name)", argv[optind + 1]);
    if (s.iso.fd && s.setup.fd == 0)
        return usage_error(kProg, "CAN FD frames (-l) cannot be sent with CAN FD off (-c)", "-c");

    std::vector<uint8_t> message;
    if (command == "send") {
        std::string text;
        if (optind + 2 < argc) {
            for (int i = optind + 2; i < argc; ++i)
                text += std::string(argv[i]) + " ";
        } else {
            char buf[65536];
            size_t got;
            while ((got = std::fread(buf, 1, sizeof buf, stdin)) > 0)
                text.append(buf, got);
        }
        if (!parse_hex_bytes(text, &message))
            return usage_error(kProg, "bad message (hex bytes)", text.size() > 40 ? (text.substr(0, 40) + "...").c_str() : text.c_str());
        if (message.empty()) {
            std::fprintf(stderr, "%s: an empty message cannot be sent (try -h)\n", kProg);
            return kBadInput;
        }
    }

    int port;
    const int status = connect(kProg, argv[optind], s.setup, channel == 0, channel == 1, &port);
    if (status != kOk)
        return status;
    if (command == "send")
        return do_send(s, port, channel, message);
    if (command == "recv")
        return do_recv(s, port, channel);
    return dump_live(s, port, channel);
}
