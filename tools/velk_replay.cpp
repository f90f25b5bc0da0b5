// velk_replay: sends a recorded trace onto the adapter with its timing, as
// canplayer does.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_replay";

const char kUsage[] =
    "Usage: velk_replay [options] PORT FILE [CHANNEL=FILE_CHANNEL]...\n"
    "\n"
    "Sends the frames of FILE (.log candump log, .asc Vector ASC, .csv, .blf\n"
    "Vector BLF, .mf4 ASAM MDF 4, .pcapng or .pcap Wireshark capture, .trc PEAK\n"
    "trace, by extension; - reads a candump log from standard input, as from\n"
    "velk_dump -L) onto the adapter at PORT (a port index 0-67 or a device\n"
    "path), keeping the gaps between their times. Error frames are skipped.\n"
    "CHANNEL=FILE_CHANNEL maps in canplayer's order: the frames of the file's\n"
    "FILE_CHANNEL go out on CHANNEL (CAN1 or 1, CAN2 or 2, or an interface\n"
    "name: can0 = CAN1, can1 = CAN2, or the names of -N). FILE_CHANNEL is an\n"
    "interface name in .log files (default can0=CAN1 can1=CAN2, or the names\n"
    "of -N; the same in .pcapng files), a channel number in .asc, .blf, .mf4 and\n"
    ".trc files (default 1=CAN1 2=CAN2), CAN1/CAN2 in .csv files. The other\n"
    "order, FILE_CHANNEL=CHANNEL, is taken too when its left side is no channel\n"
    "name (vcan0=CAN1). With a map given, frames on channels it does not name\n"
    "are skipped, and each such channel is named.\n"
    "\n"
    "In a .log file a line that does not start with '(' is skipped with a\n"
    "warning, as canplayer does, so a recording cut short still plays; a\n"
    "malformed frame line ends the replay before anything is sent. Times that\n"
    "go backwards are said once; such frames go out at once.\n"
    "\n"
    "Options:\n"
    "  -g GAP_MS       a fixed gap between frames instead of the file's timing\n"
    "  -x SPEED        replay SPEED times as fast (default 1; 0.5 is half speed)\n"
    "  -l LOOPS        play the file LOOPS times (default 1; i for ever; not\n"
    "                  with standard input)\n"
    "  -v              print each frame sent, in candump's log format\n"
    "%s"
    "%s"
    "  -h              this help\n"
    "\n"
    "On a terminal a progress line shows frames sent. Ctrl-C stops. Exit status:\n"
    "0 done, 1 frames refused or the adapter failed, 2 bad usage or input (a file\n"
    "that is not a trace, with its line; CAN FD frames with -c; no adapter at\n"
    "PORT).\n"
    "\n"
    "Examples:\n"
    "  velk_replay /dev/ttyACM0 run.log\n"
    "  velk_replay -x 2 -l 3 24 run.asc CAN2=1\n"
    "      ASC channel 1 onto CAN2, twice as fast, three times\n"
    "  velk_replay -g 10 /dev/ttyCAN0 run.log CAN2=can0 CAN1=can1\n"
    "      channels swapped, one frame every 10 ms\n"
    "  velk_dump -L /dev/ttyCAN0 | velk_replay /dev/ttyCAN1 -\n"
    "      what one adapter receives, sent again by another as it comes\n";

constexpr int64_t kProgressUs = 200000;

// What a pass over the file finds besides the frames to send: channels the
// map does not name, error frames, times going backwards (said once) and
// CAN FD frames.
class Scan {
public:
    Scan(const char *path, bool warn) : path_(path), warn_(warn) {}

    // True when `f` is to be sent.
    bool take(const trace::Frame &f, const trace::Reader &r)
    {
        const int64_t t = f.sec * 1000000 + f.usec;
        if (warn_ && have_last_ && t < last_us_ && !warned_back_) {
            warned_back_ = true;
            std::fprintf(stderr, "%s: %s:%d: time goes backwards (%lld.%06lld after %lld.%06lld); frames out of "
                         "order go out at once\n", kProg, path_, r.line(), static_cast<long long>(t / 1000000),
                         static_cast<long long>(t % 1000000), static_cast<long long>(last_us_ / 1000000),
                         static_cast<long long>(last_us_ % 1000000));
        }
        have_last_ = true;
        last_us_ = t;
        if (f.error || f.channel < 0) {
            ++skipped_;
            if (f.channel < 0)
                unmapped_.insert(r.channel_name());
            return false;
        }
        fd_ = fd_ || f.fd;
        ++frames_;
        return true;
    }

    // "'can5', 'can7'"
    std::string unmapped() const
    {
        std::string out;
        for (const std::string &n : unmapped_)
            out += (out.empty() ? "'" : ", '") + n + "'";
        return out;
    }
    const std::string &first_unmapped() const { return *unmapped_.begin(); }
    bool any_unmapped() const { return !unmapped_.empty(); }
    unsigned long long frames() const { return frames_; }
    unsigned long long skipped() const { return skipped_; }
    bool fd() const { return fd_; }

private:
    const char *path_;
    bool warn_;
    std::set<std::string> unmapped_;
    unsigned long long frames_ = 0, skipped_ = 0;
    bool have_last_ = false, warned_back_ = false, fd_ = false;
    int64_t last_us_ = 0;
};

void say_skipped(const Scan &scan)
{
    if (scan.skipped() > 0)
        std::fprintf(stderr, "%s: %llu error frames or frames on unmapped channels skipped per pass\n", kProg,
                     scan.skipped());
    if (scan.any_unmapped())
        std::fprintf(stderr, "%s: unmapped channels: %s\n", kProg, scan.unmapped().c_str());
}

// One pass over the file without sending: finds a malformed line before the
// first frame goes out, says what is odd, and counts what would be sent.
int check_file(trace::Reader &r, const char *path, bool classic_only, Scan *scan)
{
    trace::Frame f;
    int n;
    while ((n = r.next(&f)) > 0)
        scan->take(f, r);
    if (n < 0) {
        std::fprintf(stderr, "%s: %s\n", kProg, r.error().c_str());
        return kBadInput;
    }
    if (scan->frames() == 0) {
        if (!scan->any_unmapped())
            std::fprintf(stderr, "%s: %s holds no frame to send\n", kProg, path);
        else
            std::fprintf(stderr, "%s: no frame of %s is on a mapped channel (found %s; map one, e.g. CAN1=%s)\n",
                         kProg, path, scan->unmapped().c_str(), scan->first_unmapped().c_str());
        return kBadInput;
    }
    if (classic_only && scan->fd()) {
        std::fprintf(stderr, "%s: %s holds CAN FD frames, and -c turns CAN FD off\n", kProg, path);
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
    ChannelNames names;
    const std::string optstring = std::string("g:x:l:vh") + kNamesOption + kChannelOptions;
    // The usage text takes the shared lines of the channel options and of -N.
    std::string usage(kUsage);
    usage.replace(usage.find("%s"), 2, kNamesOptionHelp);
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
        case 'N':
            if (!parse_names(optarg, &names))
                return usage_error(kProg, "bad interface names", optarg);
            break;
        default:
            if (const int status = common_option(kProg, usage.c_str(), opt, optarg, &setup); status >= 0)
                return status;
        }
    }
    if (argc - optind < 2) {
        std::fprintf(stderr, "%s: give PORT and FILE (try -h)\n", kProg);
        return kBadInput;
    }
    const char *path = argv[optind + 1];
    const bool from_stdin = std::string(path) == "-";
    trace::Format format = trace::Format::CandumpLog;
    if (!from_stdin && !trace::format_of(path, &format))
        return usage_error(kProg, "unknown trace format (use .log, .asc, .csv, .blf, .mf4, .pcapng, .pcap or .trc, or - for a log on standard input)",
                           path);
    if (from_stdin && loops != 1)
        return usage_error(kProg, "standard input plays once; -l needs a file", path);
    trace::ReadOptions ro;
    for (int i = optind + 2; i < argc; ++i) {
        if (!parse_channel_map(argv[i], names, &ro.channels))
            return usage_error(kProg, "bad channel map (CHANNEL=FILE_CHANNEL, e.g. CAN2=can0)", argv[i]);
    }
    if (ro.channels.empty() &&
        (format == trace::Format::CandumpLog || format == trace::Format::Pcapng || format == trace::Format::Pcap))
        ro.channels = {{names.name[0], 0}, {names.name[1], 1}};
    // Lines that are no frame are said while the file is checked, or as
    // they come from standard input.
    bool warn_lines = true;
    const std::string shown_path = from_stdin ? "standard input" : path;
    ro.skip_line = [&](int line, const std::string &text) {
        if (warn_lines)
            std::fprintf(stderr, "%s: %s:%d: skipped, not a frame line: %.80s\n", kProg, shown_path.c_str(), line,
                         text.c_str());
    };
    trace::Reader reader;
    if (!reader.open(path, format, ro)) {
        std::fprintf(stderr, "%s: %s\n", kProg, reader.error().c_str());
        return kBadInput;
    }
    Scan scan(shown_path.c_str(), true);
    if (!from_stdin) {
        const int status = check_file(reader, path, setup.fd == 0, &scan);
        if (status != kOk)
            return status;
        warn_lines = false;
    }
    const unsigned long long total = scan.frames();

    int port;
    int status = connect(kProg, argv[optind], setup, true, true, &port);
    if (status != kOk)
        return status;

    // A stop must end a wait for the next line of standard input.
    if (from_stdin)
        catch_stop_signals(false);
    const bool progress = isatty(STDERR_FILENO) != 0;
    Sender sender(kProg, port, verbose, names);
    int64_t last_progress = 0;
    bool bad_input = false;
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
        int n = 0;
        while (!stop_requested() && (n = reader.next(&f)) > 0) {
            if (from_stdin ? !scan.take(f, reader) : (f.error || f.channel < 0))
                continue;
            if (from_stdin && f.fd && setup.fd == 0) {
                std::fprintf(stderr, "%s: %s:%d: a CAN FD frame, and -c turns CAN FD off\n", kProg,
                             shown_path.c_str(), reader.line());
                bad_input = true;
                break;
            }
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
                if (from_stdin)
                    std::fprintf(stderr, "\r%s: frame %llu", kProg, k);
                else
                    std::fprintf(stderr, "\r%s: pass %lld, frame %llu of %llu", kProg, loop + 1, k, total);
            }
        }
        if (from_stdin && n < 0 && !stop_requested()) {
            std::fprintf(stderr, "%s%s: %s\n", progress ? "\n" : "", kProg, reader.error().c_str());
            bad_input = true;
        }
        pass_start = last_at + (gap_ms >= 0 ? static_cast<int64_t>(gap_ms * 1000) : 1000);
    }
    if (progress)
        std::fprintf(stderr, "\n");
    say_skipped(scan);
    status = sender.finish();
    return bad_input ? kBadInput : status;
}
