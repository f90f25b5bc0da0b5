// velk_send: sends frames given as cansend's frame text.
#include <getopt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "send_list.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_send";

const char kUsage[] =
    "Usage: velk_send [options] PORT CHANNEL FRAME...\n"
    "       velk_send [options] --list FILE [-T SECONDS] PORT\n"
    "\n"
    "Connects to the adapter at PORT (a port index 0-67 or a device path),\n"
    "starts its channels and sends each FRAME on CHANNEL (CAN1 or CAN2), in\n"
    "order, COUNT times. FRAME is cansend's frame text:\n"
    "  123#DEADBEEF          11-bit identifier (3 hex digits), up to 8 bytes\n"
    "  1ABCDEF0#00.11.22     29-bit identifier (8 hex digits); '.' may separate bytes\n"
    "  123#R  123#R5         remote frame, with the length asked for\n"
    "  123##1<data>          CAN FD: the digit after ## has BRS in bit 0 and ESI\n"
    "                        in bit 1; 0-8, 12, 16, 20, 24, 32, 48 or 64 bytes\n"
    "  123#1122334455667788_C  classic frame of 8 bytes with DLC code 9-15\n"
    "\n"
    "Options:\n"
    "  -n COUNT        send the frames COUNT times (default 1; 0 until Ctrl-C)\n"
    "  -i INTERVAL_US  pause after each frame, microseconds (default 0; the\n"
    "                  adapter's own pacing per bit rate comes on top)\n"
    "  -I, --inc       add 1 to the identifier after each frame (wrapping\n"
    "                  within 11 or 29 bits)\n"
    "  -v              print each frame sent, in candump's log format\n"
    "  -L, --list FILE run the transmit list FILE on both channels (one entry a\n"
    "                  line: CHANNEL FRAME CYCLE [options]; see the manual page)\n"
    "                  until Ctrl-C, then print per entry the frames sent, late,\n"
    "                  skipped and refused\n"
    "  -T SECONDS      with --list: stop after SECONDS\n"
    "%s"
    "  -h              this help\n"
    "\n"
    "Frames the library could not write are counted and reported. Exit status:\n"
    "0 all sent, 1 some refused or the adapter failed, 2 bad usage or input\n"
    "(malformed frame, identifier or length out of range, no adapter at PORT).\n"
    "\n"
    "Examples:\n"
    "  velk_send /dev/ttyACM0 CAN1 123#DEADBEEF\n"
    "  velk_send -n 100 -i 10000 --inc 24 CAN2 1ABCDEF0#0011223344556677\n"
    "      100 frames, 10 ms apart, identifiers 1ABCDEF0 to 1ABCDF53\n"
    "  velk_send -d 2M /dev/ttyCAN0 CAN1 123##1000102030405060708090A0B0C0D0E0F\n"
    "      a CAN FD frame of 16 bytes with bit-rate switch\n";

const option kLong[] = {
    {"inc", no_argument, nullptr, 'I'}, {"list", required_argument, nullptr, 'L'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};

}  // namespace

int main(int argc, char **argv)
{
    long long count = 1, interval = 0;
    bool inc = false, verbose = false;
    const char *list_file = nullptr;
    double list_seconds = 0;
    ChannelSetup setup;
    const std::string optstring = std::string("n:i:IvL:T:h") + kChannelOptions;
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
        case 'L': list_file = optarg; break;
        case 'T':
            if (!parse_double(optarg, &list_seconds) || list_seconds <= 0)
                return usage_error(kProg, "bad time", optarg);
            break;
        default:
            if (const int status = common_option(kProg, kUsage, opt, optarg, &setup); status >= 0)
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
    if (!parse_channel(argv[optind + 1], &channel))
        return usage_error(kProg, "unknown channel (CAN1 or CAN2)", argv[optind + 1]);
    std::vector<trace::Frame> frames;
    for (int i = optind + 2; i < argc; ++i) {
        trace::Frame f;
        std::string why;
        if (!trace::parse_frame_text(argv[i], &f, &why)) {
            std::fprintf(stderr, "%s: malformed frame '%s': %s\n", kProg, argv[i], why.c_str());
            return kBadInput;
        }
        if (f.error)
            return usage_error(kProg, "an error frame cannot be sent", argv[i]);
        f.channel = channel;
        f.tx = true;
        frames.push_back(f);
    }

    int port;
    const int status = connect(kProg, argv[optind], setup, true, true, &port);
    if (status != kOk)
        return status;

    Sender sender(kProg, port, verbose);
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
