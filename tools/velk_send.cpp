// velk_send: sends frames given as cansend's frame text.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "signal_print.h"
#include "send_list.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_send";

const char kUsage[] =
    "Usage: velk_send [options] PORT CHANNEL FRAME...\n"
    "       velk_send --dbc FILE [options] PORT CHANNEL MESSAGE [SIGNAL=VALUE]...\n"
    "       velk_send [options] --list FILE [-T SECONDS] PORT\n"
    "\n"
    "Connects to the adapter at PORT (a port index 0-67 or a device path),\n"
    "starts its channels and sends each FRAME on CHANNEL, in order, COUNT\n"
    "times. CHANNEL is CAN1 or 1, CAN2 or 2, or an interface name as velk_dump\n"
    "prints it (can0 = CAN1, can1 = CAN2, or the names of -N). FRAME is\n"
    "cansend's frame text:\n"
    "  123#DEADBEEF          11-bit identifier (3 hex digits), up to 8 bytes\n"
    "  1ABCDEF0#00.11.22     29-bit identifier (8 hex digits); '.' may separate bytes\n"
    "  123#R  123#R5         remote frame, with the length asked for\n"
    "  123##1<data>          CAN FD: the digit after ## has BRS in bit 0 and ESI\n"
    "                        in bit 1; 0-8, 12, 16, 20, 24, 32, 48 or 64 bytes;\n"
    "                        other lengths are padded with zeros to the next of\n"
    "                        these, as the kernel does (said on standard error)\n"
    "  123#1122334455667788_C  classic frame of 8 bytes with DLC code 9-15\n"
    "\n"
    "With --dbc, a FRAME may also be a MESSAGE of the databases, by name,\n"
    "followed by values of its signals: a physical value or a value text of\n"
    "the database (Gear=Drive). Signals not given take their start value\n"
    "(GenSigStartValue) or 0; the message is sent with its identifier and\n"
    "length, as CAN FD where its frame format says so. A value outside the\n"
    "signal's range or its bits is refused with the range.\n"
    "\n"
    "Options:\n"
    "  -n COUNT        send the frames COUNT times (default 1; 0 until Ctrl-C)\n"
    "  -i INTERVAL_US  pause after each frame, microseconds (default 0; the\n"
    "                  adapter's own pacing per bit rate comes on top)\n"
    "  -I, --inc       add 1 to the identifier after each frame (wrapping\n"
    "                  within 11 or 29 bits)\n"
    "  -v              print each frame sent, in candump's log format\n"
    "  --dbc FILE      a CAN database (DBC file) for MESSAGE arguments; repeat\n"
    "                  for more (the first that has a message name is used)\n"
    "  -L, --list FILE run the transmit list FILE on both channels (one entry a\n"
    "                  line: CHANNEL FRAME CYCLE [options]; see the manual page)\n"
    "                  until Ctrl-C, then print per entry the frames sent, late,\n"
    "                  skipped and refused\n"
    "  -T SECONDS      with --list: stop after SECONDS\n"
    "%s"
    "%s"
    "  -h              this help\n"
    "\n"
    "Frames the library could not write are counted and reported. Exit status:\n"
    "0 all sent, 1 some refused or the adapter failed, 2 bad usage or input\n"
    "(malformed frame, identifier or length out of range, a CAN FD frame with\n"
    "-c, no adapter at PORT).\n"
    "\n"
    "Examples:\n"
    "  velk_send /dev/ttyACM0 CAN1 123#DEADBEEF\n"
    "  velk_send -n 100 -i 10000 --inc 24 CAN2 1ABCDEF0#0011223344556677\n"
    "      100 frames, 10 ms apart, identifiers 1ABCDEF0 to 1ABCDF53\n"
    "  velk_send -d 2M /dev/ttyCAN0 CAN1 123##1000102030405060708090A0B0C0D0E0F\n"
    "      a CAN FD frame of 16 bytes with bit-rate switch\n"
    "  velk_send --dbc car.dbc -n 0 -i 100000 /dev/ttyACM0 CAN1 EngineData EngineSpeed=1834 Gear=Drive\n"
    "      EngineData every 100 ms until Ctrl-C\n";

const option kLong[] = {{"inc", no_argument, nullptr, 'I'},
                        {"dbc", required_argument, nullptr, 'D'},
                        {"list", required_argument, nullptr, 'L'},
                        {"help", no_argument, nullptr, 'h'},
                        {nullptr, 0, nullptr, 0}};

// The frames of the FRAME arguments: frame texts, and with databases,
// message names each followed by their signals' values. Prints why an
// argument is refused; false then.
bool frames_of(char **args, int n, const SignalDecoder &dbs, std::vector<trace::Frame> *out)
{
    for (int i = 0; i < n;) {
        const char *arg = args[i++];
        trace::Frame f;
        if (std::strchr(arg, '#') != nullptr || dbs.empty()) {
            std::string why;
            int padded_from;
            if (!trace::parse_frame_text(arg, &f, &why, &padded_from)) {
                std::fprintf(stderr, "%s: malformed frame '%s': %s\n", kProg, arg, why.c_str());
                return false;
            }
            if (f.error) {
                usage_error(kProg, "an error frame cannot be sent", arg);
                return false;
            }
            if (padded_from >= 0)
                std::fprintf(stderr, "%s: %s: CAN FD payload of %d bytes padded with zeros to %d\n", kProg, arg,
                             padded_from, f.len);
            out->push_back(f);
            continue;
        }
        const dbc::Message *m = dbs.find(arg);
        if (m == nullptr) {
            const bool assignment = std::strchr(arg, '=') != nullptr;
            usage_error(kProg, assignment ? "a signal value needs its MESSAGE before it" : "no message in the databases named",
                        arg);
            return false;
        }
        std::vector<dbc::Assignment> values;
        for (; i < n && std::strchr(args[i], '#') == nullptr && std::strchr(args[i], '=') != nullptr; ++i) {
            dbc::Assignment a;
            if (!dbc::parse_assignment(args[i], &a)) {
                usage_error(kProg, "bad signal value (SIGNAL=VALUE)", args[i]);
                return false;
            }
            values.push_back(a);
        }
        dbc::Frame e;
        std::string why;
        if (!dbc::encode(*m, values, &e, &why)) {
            std::fprintf(stderr, "%s: %s: %s\n", kProg, arg, why.c_str());
            return false;
        }
        f.id = e.id;
        f.extended = e.extended;
        f.fd = e.fd;
        f.brs = e.brs;
        f.len = static_cast<uint8_t>(e.len);
        f.dlc = static_cast<uint8_t>(trace::len_to_dlc(e.len));
        std::memcpy(f.data.data(), e.data, static_cast<size_t>(e.len));
        out->push_back(f);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    long long count = 1, interval = 0;
    bool inc = false, verbose = false;
    const char *list_file = nullptr;
    double list_seconds = 0;
    ChannelSetup setup;
    ChannelNames names;
    SignalDecoder dbs;
    const std::string optstring = std::string("n:i:IvL:T:h") + kNamesOption + kChannelOptions;
    // The usage text takes the shared lines of -N and of the channel options.
    std::string usage(kUsage);
    usage.replace(usage.find("%s"), 2, kNamesOptionHelp);
    int opt;
    while ((opt = getopt_long(argc, argv, optstring.c_str(), kLong, nullptr)) != -1) {
        switch (opt) {
        case 'n':
            if (!parse_long(optarg, 0, 1LL << 62, &count))
                return usage_error(kProg, "bad count", optarg);
            break;
        case 'i':
            if (!parse_long(optarg, 0, 3600LL * 1000000, &interval))
                return usage_error(kProg, "bad interval", optarg);
            break;
        case 'I': inc = true; break;
        case 'v': verbose = true; break;
        case 'N':
            if (!parse_names(optarg, &names))
                return usage_error(kProg, "bad interface names", optarg);
            break;
        case 'D':
            if (!dbs.add(kProg, optarg))
                return kBadInput;
            break;
        case 'L': list_file = optarg; break;
        case 'T':
            if (!parse_double(optarg, &list_seconds) || list_seconds <= 0)
                return usage_error(kProg, "bad time", optarg);
            break;
        default:
            if (const int status = common_option(kProg, usage.c_str(), opt, optarg, &setup); status >= 0)
                return status;
        }
    }
    if (list_file != nullptr) {
        if (argc - optind != 1) {
            std::fprintf(stderr, "%s: with --list give PORT only (try -h)\n", kProg);
            return kBadInput;
        }
        return send_list(kProg, argv[optind], setup, list_file, list_seconds);
    }
    if (argc - optind < 3) {
        std::fprintf(stderr, "%s: give PORT, CHANNEL and at least one FRAME (try -h)\n", kProg);
        return kBadInput;
    }
    int channel;
    if (!parse_channel(argv[optind + 1], names, &channel))
        return usage_error(kProg, "unknown channel (CAN1, CAN2 or an interface name)", argv[optind + 1]);
    std::vector<trace::Frame> frames;
    if (!frames_of(argv + optind + 2, argc - optind - 2, dbs, &frames))
        return kBadInput;
    for (trace::Frame &f : frames) {
        if (f.fd && setup.fd == 0)
            return usage_error(kProg, "a CAN FD frame cannot be sent with CAN FD off (-c)", trace::frame_text(f, false).c_str());
        f.channel = channel;
        f.tx = true;
    }

    int port;
    const int status = connect(kProg, argv[optind], setup, true, true, &port);
    if (status != kOk)
        return status;

    Sender sender(kProg, port, verbose, names);
    int64_t next = mono_us();
    for (long long pass = 0; (count == 0 || pass < count) && !stop_requested() && !sender.gone(); ++pass) {
        for (trace::Frame &f : frames) {
            if (stop_requested() || !sender.send(f))
                break;
            if (inc)
                f.id = (f.id + 1) & (f.extended ? 0x1FFFFFFFu : 0x7FFu);
            if (interval > 0) {
                next += interval;
                const int64_t now = mono_us();
                // Behind by more than one interval: start counting again from now.
                if (next < now - interval)
                    next = now;
                if (!sleep_until(next))
                    break;
            }
        }
    }
    return sender.finish();
}
