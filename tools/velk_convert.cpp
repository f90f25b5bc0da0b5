// velk_convert: trace files from one format to another, several merged by
// time into one, with a time window, channel maps and identifier filters.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_convert";

const char kUsage[] =
    "Usage: velk_convert [options] IN... OUT\n"
    "       velk_convert --repair IN OUT\n"
    "\n"
    "Converts the trace IN into OUT, each in the format its extension names:\n"
    "  .log candump log      .asc Vector ASC       .csv velk's CSV\n"
    "  .blf Vector BLF       .mf4 ASAM MDF 4       .trc PEAK trace\n"
    "  .pcapng, .pcap        Wireshark captures (LINKTYPE_CAN_SOCKETCAN)\n"
    "Several INs are merged by time into one OUT. IN - reads a candump log from\n"
    "standard input; OUT - writes one to standard output.\n"
    "\n"
    "Options:\n"
    "  --from TIME     leave out frames before TIME: seconds from the first frame\n"
    "                  (12.5), or a date and time, 2024-03-01T14:05:00[.123456],\n"
    "                  local unless it ends in Z or an offset (+01:00)\n"
    "  --to TIME       leave out frames after TIME (the same forms)\n"
    "  -F CHANNEL[,FILTER]...\n"
    "                  keep only CHANNEL's frames (CAN1 or 1, CAN2 or 2, or an\n"
    "                  interface name), those passing a FILTER where given, as\n"
    "                  velk_dump takes them: ID:MASK or ID~MASK; repeat for the\n"
    "                  other channel\n"
    "  -m CHANNEL=FILE_CHANNEL\n"
    "                  the frames of the files' FILE_CHANNEL become CHANNEL's, as\n"
    "                  velk_replay maps them (default: can0/can1 in .log and\n"
    "                  .pcapng, 1/2 in .asc, .blf, .mf4 and .trc, CAN1/CAN2 in\n"
    "                  .csv); frames on other channels are left out and named\n"
    "%s"
    "  -z LEVEL        compression of .blf and .mf4 blocks, 0 (none) to 9\n"
    "                  (default 6)\n"
    "  -8              write classic DLC codes 9-15 as candump -8 does (_C)\n"
    "  --repair        IN is a file cut short (its logger killed, the power gone):\n"
    "                  OUT gets every frame up to the cut, written whole in the\n"
    "                  same format (a finalized .mf4, a .blf whose header counts\n"
    "                  are right), and what was recovered is said (exit status 0\n"
    "                  also where IN ends early)\n"
    "  -h              this help\n"
    "\n"
    "On a terminal a progress line shows the bytes read of the total, frames/s\n"
    "and the time left. Exit status: 0 done, 1 OUT could not be written, 2 bad\n"
    "usage or input (a file that is not a trace of its format, named with its\n"
    "line or byte offset: OUT then holds every frame before that place).\n"
    "\n"
    "Examples:\n"
    "  velk_convert run.blf run.asc\n"
    "  velk_convert -z 9 bench-*.log week.blf\n"
    "      many recordings merged into one compressed BLF file\n"
    "  velk_convert --from 2024-03-01T14:05:00 --to 60 -F CAN2,18FEF100:1FFFFF00 car.mf4 cut.pcapng\n"
    "      one minute of CAN2's J1939 engine messages\n"
    "  velk_convert -m CAN1=3 -m CAN2=4 logger.blf run.log\n"
    "      the logger's channels 3 and 4 as can0 and can1\n"
    "  velk_convert --repair crashed.mf4 fixed.mf4\n";

constexpr int64_t kProgressUs = 200000;

// A point in time as --from and --to take it: relative to the first frame,
// or absolute.
struct TimeBound {
    bool given = false;
    bool relative = false;
    int64_t us = 0;
};

bool parse_digits(const std::string &s, size_t at, size_t n, int *v)
{
    if (at + n > s.size())
        return false;
    int x = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        x = x * 10 + (s[i] - '0');
    }
    *v = x;
    return true;
}

// 2024-03-01T14:05:00[.ffffff][Z|+hh:mm|-hh:mm], 'T' or a blank between.
bool parse_iso(const std::string &s, int64_t *us)
{
    struct tm tm = {};
    int year, mon, day, h, m, sec;
    if (!parse_digits(s, 0, 4, &year) || s.size() < 19 || s[4] != '-' || !parse_digits(s, 5, 2, &mon) ||
        s[7] != '-' || !parse_digits(s, 8, 2, &day) || (s[10] != 'T' && s[10] != ' ') ||
        !parse_digits(s, 11, 2, &h) || s[13] != ':' || !parse_digits(s, 14, 2, &m) || s[16] != ':' ||
        !parse_digits(s, 17, 2, &sec))
        return false;
    if (mon < 1 || mon > 12 || day < 1 || day > 31 || h > 23 || m > 59 || sec > 60)
        return false;
    size_t at = 19;
    int64_t fraction = 0;
    if (at < s.size() && s[at] == '.') {
        int64_t scale = 100000;
        size_t digits = 0;
        for (++at; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at, ++digits)
            if (scale > 0) {
                fraction += (s[at] - '0') * scale;
                scale /= 10;
            }
        if (digits == 0)
            return false;
    }
    tm.tm_year = year - 1900;
    tm.tm_mon = mon - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = sec;
    time_t t;
    if (at == s.size()) {
        tm.tm_isdst = -1;
        t = mktime(&tm);
    } else {
        int offset_min = 0;
        if (s[at] == 'Z' && at + 1 == s.size()) {
        } else if ((s[at] == '+' || s[at] == '-') && s.size() == at + 6 && s[at + 3] == ':') {
            int oh, om;
            if (!parse_digits(s, at + 1, 2, &oh) || !parse_digits(s, at + 4, 2, &om) || oh > 23 || om > 59)
                return false;
            offset_min = (oh * 60 + om) * (s[at] == '-' ? -1 : 1);
        } else {
            return false;
        }
        t = timegm(&tm) - offset_min * 60;
    }
    if (t == static_cast<time_t>(-1))
        return false;
    *us = int64_t{t} * 1000000 + fraction;
    return true;
}

bool parse_bound(const char *text, TimeBound *b)
{
    double seconds;
    b->given = true;
    if (parse_double(text, &seconds)) {
        b->relative = true;
        b->us = static_cast<int64_t>(seconds * 1e6 + 0.5);
        return true;
    }
    b->relative = false;
    return parse_iso(text, &b->us);
}

int64_t frame_us(const trace::Frame &f)
{
    return f.sec * 1000000 + f.usec;
}

// One input of the merge, with the frame it holds next.
struct Input {
    std::string path;
    trace::Reader reader;
    trace::Frame next;
    bool more = false;
    uint64_t size = 0;
};

// "1.2 GB", "340 MB", "12 kB".
std::string bytes_text(uint64_t n)
{
    char b[32];
    if (n >= 1000000000)
        std::snprintf(b, sizeof b, "%.1f GB", static_cast<double>(n) / 1e9);
    else if (n >= 1000000)
        std::snprintf(b, sizeof b, "%.0f MB", static_cast<double>(n) / 1e6);
    else
        std::snprintf(b, sizeof b, "%.0f kB", static_cast<double>(n) / 1e3);
    return b;
}

bool same_file(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

int main(int argc, char **argv)
{
    ChannelNames names;
    trace::WriteOptions wo;
    TimeBound from, to;
    std::vector<std::string> maps;
    std::vector<IdFilter> filters[2];
    bool keep[2] = {true, true};
    bool any_kept = false;
    bool repair = false;
    std::vector<std::string> filter_args;
    std::string usage(kUsage);
    usage.replace(usage.find("%s"), 2, kNamesOptionHelp);
    const option longs[] = {{"from", required_argument, nullptr, 'A'},
                            {"to", required_argument, nullptr, 'B'},
                            {"help", no_argument, nullptr, 'h'},
                            {"repair", no_argument, nullptr, 'R'},
                            {nullptr, 0, nullptr, 0}};
    int opt;
    opterr = 0;
    while ((opt = getopt_long(argc, argv, "F:m:N:z:8h", longs, nullptr)) != -1) {
        switch (opt) {
        case 'A':
            if (!parse_bound(optarg, &from))
                return usage_error(kProg, "bad time (seconds, or 2024-03-01T14:05:00)", optarg);
            break;
        case 'B':
            if (!parse_bound(optarg, &to))
                return usage_error(kProg, "bad time (seconds, or 2024-03-01T14:05:00)", optarg);
            break;
        case 'F': filter_args.emplace_back(optarg); break;
        case 'm': maps.emplace_back(optarg); break;
        case 'N':
            if (!parse_names(optarg, &names))
                return usage_error(kProg, "bad interface names", optarg);
            break;
        case 'z': {
            long long level;
            if (!parse_long(optarg, 0, 9, &level))
                return usage_error(kProg, "bad compression level (0 to 9)", optarg);
            wo.compression = static_cast<int>(level);
            break;
        }
        case '8': wo.len8_dlc = true; break;
        case 'R': repair = true; break;
        case 'h': std::fputs(usage.c_str(), stdout); return kOk;
        default: return usage_error(kProg, "unknown option or missing argument", argv[optind - 1]);
        }
    }
    // Filters and maps name channels by the names of -N, wherever it stands.
    for (const std::string &arg : filter_args) {
        int c;
        std::vector<IdFilter> f;
        if (const int status = parse_channel_filters(kProg, arg, names, &c, &f); status != kOk)
            return status;
        if (!any_kept)
            keep[0] = keep[1] = false;
        any_kept = true;
        keep[c] = true;
        filters[c].insert(filters[c].end(), f.begin(), f.end());
    }
    std::map<std::string, int> channels;
    for (const std::string &m : maps)
        if (!parse_channel_map(m, names, &channels))
            return usage_error(kProg, "bad channel map (CHANNEL=FILE_CHANNEL, e.g. CAN2=3)", m.c_str());
    if (argc - optind < 2) {
        std::fprintf(stderr, "%s: give IN and OUT (try -h)\n", kProg);
        return kBadInput;
    }
    const std::string out_path = argv[argc - 1];
    trace::Format out_format = trace::Format::CandumpLog;
    if (out_path != "-" && !trace::format_of(out_path, &out_format))
        return usage_error(kProg, "unknown trace format of OUT (see -h for the extensions)", out_path.c_str());
    if (repair) {
        trace::Format in_format = trace::Format::CandumpLog;
        if (argc - optind != 2) {
            std::fprintf(stderr, "%s: --repair takes one IN and one OUT (try -h)\n", kProg);
            return kBadInput;
        }
        if (std::string(argv[optind]) != "-" && trace::format_of(argv[optind], &in_format) &&
            in_format != out_format)
            return usage_error(kProg, "--repair writes OUT in the format of IN; OUT has another extension:",
                               out_path.c_str());
    }
    wo.names[0] = names.name[0];
    wo.names[1] = names.name[1];

    std::vector<std::unique_ptr<Input>> inputs;
    uint64_t total = 0;
    int stdin_inputs = 0;
    for (int i = optind; i < argc - 1; ++i) {
        auto in = std::make_unique<Input>();
        in->path = argv[i];
        trace::Format format = trace::Format::CandumpLog;
        if (in->path == "-")
            ++stdin_inputs;
        else if (!trace::format_of(in->path, &format))
            return usage_error(kProg, "unknown trace format (see -h for the extensions)", in->path.c_str());
        if (out_path != "-" && same_file(in->path, out_path))
            return usage_error(kProg, "OUT is one of the inputs", out_path.c_str());
        trace::ReadOptions ro;
        ro.channels = channels;
        if (ro.channels.empty() && (format == trace::Format::CandumpLog || format == trace::Format::Pcapng ||
                                    format == trace::Format::Pcap))
            ro.channels = {{names.name[0], 0}, {names.name[1], 1}};
        ro.notice = [](const std::string &text) { std::fprintf(stderr, "%s: %s\n", kProg, text.c_str()); };
        if (!in->reader.open(in->path, format, ro)) {
            std::fprintf(stderr, "%s: %s\n", kProg, in->reader.error().c_str());
            return kBadInput;
        }
        struct stat st;
        if (in->path != "-" && stat(in->path.c_str(), &st) == 0)
            in->size = static_cast<uint64_t>(st.st_size);
        total += in->size;
        inputs.push_back(std::move(in));
    }
    if (stdin_inputs > 1)
        return usage_error(kProg, "standard input is one input, not", "- -");

    trace::Writer writer;
    if (!writer.open(out_path, out_format, wo)) {
        std::fprintf(stderr, "%s: %s\n", kProg, writer.error().c_str());
        return kFailed;
    }
    catch_stop_signals();

    int status = kOk;
    // Repairing, where the input ends early is what was expected: said at the end.
    std::string cut;
    auto read_next = [&](Input *in, bool newline) {
        const int n = in->reader.next(&in->next);
        in->more = n > 0;
        if (n >= 0)
            return;
        if (repair) {
            cut = in->reader.error();
            return;
        }
        std::fprintf(stderr, "%s%s: %s\n", newline ? "\n" : "", kProg, in->reader.error().c_str());
        status = kBadInput;
    };
    for (auto &in : inputs)
        read_next(in.get(), false);
    const bool progress = isatty(STDERR_FILENO) != 0 && total > 0;
    const int64_t started = mono_us();
    int64_t last_progress = started;
    unsigned long long written = 0, left_out = 0;
    std::set<std::string> unmapped;
    bool first = true;
    int64_t from_us = from.us, to_us = to.us;
    while (status == kOk && !stop_requested()) {
        // The earliest next frame; the first input wins a tie.
        Input *in = nullptr;
        for (auto &c : inputs)
            if (c->more && (in == nullptr || frame_us(c->next) < frame_us(in->next)))
                in = c.get();
        if (in == nullptr)
            break;
        const trace::Frame f = in->next;
        const int64_t t = frame_us(f);
        if (first) {
            first = false;
            if (from.relative)
                from_us = t + from.us;
            if (to.relative)
                to_us = t + to.us;
        }
        bool take = !(from.given && t < from_us) && !(to.given && t > to_us);
        if (take && f.channel < 0) {
            unmapped.insert(in->reader.channel_name());
            take = false;
        }
        if (take && (!keep[f.channel] || (!f.error && !passes(filters[f.channel], f))))
            take = false;
        if (take) {
            if (!writer.write(f)) {
                status = kFailed;
                break;
            }
            ++written;
        } else {
            ++left_out;
        }
        read_next(in, progress);
        if (progress && (written & 0xFFF) == 0 && mono_us() - last_progress >= kProgressUs) {
            last_progress = mono_us();
            uint64_t done = 0;
            for (const auto &c : inputs)
                done += c->reader.position();
            const double elapsed = static_cast<double>(last_progress - started) / 1e6;
            const double rate = static_cast<double>(written + left_out) / elapsed;
            const double left = done > 0 ? elapsed * static_cast<double>(total - std::min(total, done)) /
                                               static_cast<double>(done)
                                         : 0;
            std::fprintf(stderr, "\r%s: %s of %s, %.0f frames/s, %.0f s left   ", kProg, bytes_text(done).c_str(),
                         bytes_text(total).c_str(), rate, left);
        }
    }
    if (progress)
        std::fprintf(stderr, "\n");
    if (status == kOk && stop_requested()) {
        std::fprintf(stderr, "%s: stopped; %s holds the frames up to there\n", kProg, out_path.c_str());
        status = kFailed;
    }
    if (!writer.close() || (status == kFailed && !writer.error().empty())) {
        std::fprintf(stderr, "%s: %s\n", kProg, writer.error().c_str());
        return kFailed;
    }
    if (!unmapped.empty()) {
        std::string list;
        for (const std::string &n : unmapped)
            list += (list.empty() ? "'" : ", '") + n + "'";
        std::fprintf(stderr, "%s: frames on channels no map names left out: %s (map one with -m, e.g. CAN1=%s)\n",
                     kProg, list.c_str(), unmapped.begin()->c_str());
    }
    if (repair && status == kOk) {
        if (!cut.empty())
            std::fprintf(stderr, "%s: recovered %llu frame%s, up to where the input ends: %s\n", kProg,
                         written + left_out, written + left_out == 1 ? "" : "s", cut.c_str());
        else
            std::fprintf(stderr, "%s: recovered %llu frame%s from %s (%llu bytes read)\n", kProg,
                         written + left_out, written + left_out == 1 ? "" : "s", inputs[0]->path.c_str(),
                         static_cast<unsigned long long>(inputs[0]->reader.position()));
    }
    std::fprintf(stderr, "%s: %llu frame%s written to %s, %llu left out\n", kProg, written, written == 1 ? "" : "s",
                 out_path == "-" ? "standard output" : out_path.c_str(), left_out);
    return status;
}
