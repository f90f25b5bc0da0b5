// velk_replay: sends a recorded trace onto the adapter with its timing, as
// canplayer does.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_replay";

const char kUsage[] =
    "Usage: velk_replay [options] PORT FILE [NAME=CHANNEL]...\n"
    "\n"
    "Sends the frames of FILE (.log candump log, .asc Vector ASC or .csv, by\n"
    "extension) onto the adapter at PORT (a port index 0-67 or a device path),\n"
    "keeping the gaps between their times. Error frames are skipped.\n"
    "NAME=CHANNEL maps the file's channel names onto CAN1 and CAN2: interface\n"
    "names in .log files (default can0=CAN1 can1=CAN2), channel numbers in .asc\n"
    "files (default 1=CAN1 2=CAN2), CAN1/CAN2 in .csv files. With a map given,\n"
    "frames on channels it does not name are skipped.\n"
    "\n"
    "Options:\n"
    "  -g GAP_MS       a fixed gap between frames instead of the file's timing\n"
    "  -x SPEED        replay SPEED times as fast (default 1; 0.5 is half speed)\n"
    "  -l LOOPS        play the file LOOPS times (default 1; i for ever)\n"
    "  -v              print each frame sent, in candump's log format\n"
    "%s"
    "  -h              this help\n"
    "\n"
    "On a terminal a progress line shows frames sent. Ctrl-C stops. Exit status:\n"
    "0 done, 1 frames refused or the adapter failed, 2 bad usage or input (a file\n"
    "that is not a trace, with its line, or no adapter at PORT).\n"
    "\n"
    "Examples:\n"
    "  velk_replay /dev/ttyACM0 run.log\n"
    "  velk_replay -x 2 -l 3 24 run.asc 1=CAN2\n"
    "      ASC channel 1 onto CAN2, twice as fast, three times\n"
    "  velk_replay -g 10 /dev/ttyCAN0 run.log can0=CAN2 can1=CAN1\n"
    "      channels swapped, one frame every 10 ms\n";

constexpr int64_t kProgressUs = 200000;

// One pass over the file without sending: finds a malformed line before the
// first frame goes out, and counts what would be sent.
int check_file(trace::Reader &r, const char *path, unsigned long long *frames, unsigned long long *skipped)
{
    trace::Frame f;
    int n;
    std::string unmapped;
    *frames = *skipped = 0;
    while ((n = r.next(&f)) > 0) {
        if (f.error || f.channel < 0) {
            ++*skipped;
            if (f.channel < 0 && unmapped.empty())
                unmapped = r.channel_name();
            continue;
        }
        ++*frames;
    }
    if (n < 0) {
        std::fprintf(stderr, "%s: %s\n", kProg, r.error().c_str());
        return kBadInput;
    }
    if (*frames == 0) {
        if (unmapped.empty())
            std::fprintf(stderr, "%s: %s holds no frame to send\n", kProg, path);
        else
            std::fprintf(stderr, "%s: no frame of %s is on a mapped channel (found '%s'; map it, e.g. %s=CAN1)\n",
                         kProg, path, unmapped.c_str(), unmapped.c_str());
        return kBadInput;
    }
    return r.rewind() ? kOk : kFailed;
}

}  // namespace

int main(int argc, char **argv)
{
    double gap_ms = -1, speed = 1;
    long long loops = 1;
    bool verbose = false;
    ChannelSetup setup;
    const std::string optstring = std::string("g:x:l:vh") + kChannelOptions;
    int opt;
    while ((opt = getopt(argc, argv, optstring.c_str())) != -1) {
        switch (opt) {
        case 'g':
            if (!parse_double(optarg, &gap_ms))
                return usage_error(kProg, "bad gap", optarg);
            break;
        case 'x':
            if (!parse_double(optarg, &speed) || speed <= 0)
                return usage_error(kProg, "bad speed", optarg);
            break;
        case 'l':
            if (std::string(optarg) == "i")
                loops = 0;
            else if (!parse_long(optarg, 1, 1LL << 62, &loops))
                return usage_error(kProg, "bad loop count", optarg);
            break;
        case 'v': verbose = true; break;
        default:
            if (const int status = common_option(kProg, kUsage, opt, optarg, &setup); status >= 0)
                return status;
        }
    }
    if (argc - optind < 2) {
        std::fprintf(stderr, "%s: give PORT and FILE (try -h)\n", kProg);
        return kBadInput;
    }
    const char *path = argv[optind + 1];
    trace::Format format;
    if (!trace::format_of(path, &format))
        return usage_error(kProg, "unknown trace format (use .log, .asc or .csv)", path);
    trace::ReadOptions ro;
    for (int i = optind + 2; i < argc; ++i) {
        const std::string m(argv[i]);
        const size_t eq = m.find('=');
        int ch;
        if (eq == std::string::npos || eq == 0 || !parse_channel(m.c_str() + eq + 1, &ch))
            return usage_error(kProg, "bad channel map (NAME=CAN1 or NAME=CAN2)", argv[i]);
        ro.channels[m.substr(0, eq)] = ch;
    }
    trace::Reader reader;
    if (!reader.open(path, format, ro)) {
        std::fprintf(stderr, "%s: %s\n", kProg, reader.error().c_str());
        return kBadInput;
    }
    unsigned long long total, skipped;
    int status = check_file(reader, path, &total, &skipped);
    if (status != kOk)
        return status;

    int port;
    status = connect(kProg, argv[optind], setup, true, true, &port);
    if (status != kOk)
        return status;

    const bool progress = isatty(STDERR_FILENO) != 0;
    Sender sender(kProg, port, verbose);
    int64_t last_progress = 0;
    // Frame k of a pass goes out at start + (t_k - t_0) / speed, or k gaps
    // after the start with -g; the next pass starts one gap (or 1 ms) after
    // the last frame of this one.
    int64_t pass_start = mono_us();
    for (long long loop = 0; (loops == 0 || loop < loops) && !stop_requested() && !sender.gone(); ++loop) {
        if (loop > 0 && !reader.rewind())
            break;
        trace::Frame f;
        int64_t first_us = -1, last_at = pass_start;
        unsigned long long k = 0;
        while (!stop_requested() && reader.next(&f) > 0) {
            if (f.error || f.channel < 0)
                continue;
            const int64_t t = f.sec * 1000000 + f.usec;
            if (first_us < 0)
                first_us = t;
            int64_t at = gap_ms >= 0 ? pass_start + static_cast<int64_t>(static_cast<double>(k) * gap_ms * 1000)
                                     : pass_start + static_cast<int64_t>(static_cast<double>(t - first_us) / speed);
            // A frame earlier than the one before goes out at once.
            if (at < last_at)
                at = last_at;
            if (!sleep_until(at))
                break;
            last_at = at;
            ++k;
            if (!sender.send(f))
                break;
            if (progress && (mono_us() - last_progress >= kProgressUs || k == total)) {
                last_progress = mono_us();
                std::fprintf(stderr, "\r%s: pass %lld, frame %llu of %llu", kProg, loop + 1, k, total);
            }
        }
        pass_start = last_at + (gap_ms >= 0 ? static_cast<int64_t>(gap_ms * 1000) : 1000);
    }
    if (progress)
        std::fprintf(stderr, "\n");
    if (skipped > 0)
        std::fprintf(stderr, "%s: %llu error frames or frames on unmapped channels skipped per pass\n", kProg,
                     skipped);
    return sender.finish();
}
