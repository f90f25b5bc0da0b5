// velk_dump: prints or records every frame the adapter receives, as candump
// does for a SocketCAN interface.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "adapter_time.h"
#include "signal_print.h"
#include "tool_common.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_dump";

const char kUsage[] =
    "Usage: velk_dump [options] PORT [CHANNEL[,FILTER]...]...\n"
    "\n"
    "Connects to the adapter at PORT (a port index 0-67 or a device path such\n"
    "as /dev/ttyACM0 or /dev/serial/by-id/...), starts its channels and prints\n"
    "every frame received, one line each in candump's log format:\n"
    "  (1699999999.123456) can0 123#DEADBEEF\n"
    "can0 is CAN1 and can1 is CAN2 (see -N). Times are wall-clock seconds: the\n"
    "adapter's own timestamps, mapped to wall-clock time so that they never run\n"
    "ahead of the host's clock, never go backwards and follow an adapter clock\n"
    "that drifts or jumps; frames the adapter reports without a timestamp carry\n"
    "the host's receive time (1 ms resolution), kept in order with the others.\n"
    "ASC files say so in a header comment, CSV files in their time_source column.\n"
    "\n"
    "CHANNEL is CAN1 or 1, CAN2 or 2, or an interface name (can0 = CAN1,\n"
    "can1 = CAN2, or the names of -N), the same in every velk tool; with\n"
    "channels given only those are started and shown. FILTERs as candump's, a\n"
    "frame passes when any matches (8 id digits make a 29-bit filter):\n"
    "  ID:MASK   (frame id & MASK) == (ID & MASK)\n"
    "  ID~MASK   (frame id & MASK) != (ID & MASK)\n"
    "\n"
    "Options:\n"
    "  -l              write a candump log velk_dump-YYYY-MM-DD_HHMMSS.log\n"
    "  -f FILE         write FILE, format by extension: .log (candump), .asc\n"
    "                  (Vector ASC), .csv, .blf (Vector BLF), .mf4 (ASAM MDF 4),\n"
    "                  .pcapng, .pcap (Wireshark) or .trc (PEAK)\n"
    "  --split-size SIZE\n"
    "                  write the file in pieces of at most SIZE bytes (k, M, G:\n"
    "                  1000, 1000000, 1000000000), named run-0001.blf,\n"
    "                  run-0002.blf, ...: each a complete file of its format\n"
    "  --split-time TIME\n"
    "                  a new piece every TIME (seconds, or 30m, 1h, 1d)\n"
    "  --split-count N keep only the newest N pieces (a ring), removing older ones\n"
    "  -p              also print while writing a file\n"
    "  -L              print candump log lines with absolute times, as candump -L\n"
    "                  does (also while writing a file; before -a and -t)\n"
    "  -a              print a readable form with the data as ASCII\n"
    "  -t a|A|d|z      time of the printed lines, as candump's: a absolute\n"
    "                  (default), A absolute with date, d delta from the frame\n"
    "                  before, z from the first frame; files keep absolute times\n"
    "  -e              switch the adapter's error reports on and show them;\n"
    "                  bus errors become error frames on the channels they name\n"
    "  -n COUNT        stop after COUNT frames\n"
    "  -T SECONDS      stop after SECONDS in all (candump's -T is milliseconds\n"
    "                  without a frame)\n"
    "%s"
    "  -8              write classic DLC codes 9-15 as candump -8 does (_C)\n"
    "  --listen-only   listen-only on both channels: the adapter does not\n"
    "                  acknowledge frames on the bus\n"
    "  --dbc FILE      decode frames with a CAN database (DBC file); repeat for\n"
    "                  more, the first that describes an identifier decodes it.\n"
    "                  Under each described frame: its message, then a line per\n"
    "                  signal, 'name = value unit' and the value's text\n"
    "  --json          print one JSON object per frame and line instead of\n"
    "                  candump lines (with --dbc, its message and signals):\n"
    "                  {\"t\": 1699999999.123456, \"bus\": \"can0\", \"id\": 291,\n"
    "                   \"ext\": false, \"fd\": false, \"brs\": false, \"data\": \"DEADBEEF\",\n"
    "                   \"message\": \"EngineData\", \"signals\": {\"EngineSpeed\": 1834.0},\n"
    "                   \"text\": {}, \"missing\": []}\n"
    "  --j1939         with --dbc, match 29-bit identifiers no message has by\n"
    "                  J1939 parameter group, whatever their priority and source\n"
    "                  address\n"
    "%s"
    "  -h              this help\n"
    "\n"
    "Files are written by a thread of their own and flushed twice a second, so a\n"
    "file cut by a crash or SIGKILL reads up to its last second; .log, .asc, .csv\n"
    "and .trc files are compressed when their name ends in .gz or .zst (run.log.zst).\n"
    "A full disk or a removed folder ends a piece with the reason; with splitting\n"
    "on, a new piece is tried every few seconds (said once), without it the dump\n"
    "ends. Ctrl-C, SIGTERM or SIGHUP stops, however often sent; the file is\n"
    "flushed and closed, and a summary goes to standard error. Exit status: 0\n"
    "done, 1 the adapter failed or went away, 2 bad usage or input (also a port\n"
    "with no adapter, a failed file write).\n"
    "\n"
    "Examples:\n"
    "  velk_dump /dev/ttyACM0\n"
    "      both channels, as the adapter is set\n"
    "  velk_dump -b 500k -d 2M -f run.asc 24 CAN2,100:700\n"
    "      CAN2 at 500 kbit/s with CAN FD at 2 Mbit/s, identifiers 100-1FF, into run.asc\n"
    "  velk_dump --listen-only -n 100 -a -t d /dev/ttyCAN0\n"
    "      listen-only, the first 100 frames in readable form with delta times\n"
    "  velk_dump -L /dev/ttyCAN0 | velk_replay /dev/ttyCAN1 -\n"
    "      what one adapter receives sent again by another\n"
    "  velk_dump --dbc car.dbc --json /dev/ttyACM0 CAN1 > run.jsonl\n"
    "      CAN1's frames with their signals, one JSON object a line\n"
    "  velk_dump -f week.log.zst --split-time 1h --split-count 168 /dev/ttyACM0\n"
    "      a week of hourly compressed pieces, the oldest removed\n";

// Long options without a letter of their own.
enum LongOnly { kListenOnly = 256, kSplitSize, kSplitTime, kSplitCount };

const option kLong[] = {{"listen-only", no_argument, nullptr, kListenOnly},
                        {"split-size", required_argument, nullptr, kSplitSize},
                        {"split-time", required_argument, nullptr, kSplitTime},
                        {"split-count", required_argument, nullptr, kSplitCount},
                        {"dbc", required_argument, nullptr, 'D'},
                        {"json", no_argument, nullptr, 'J'},
                        {"j1939", no_argument, nullptr, 'j'},
                        {"help", no_argument, nullptr, 'h'},
                        {nullptr, 0, nullptr, 0}};

constexpr unsigned kBatch = 64;
// The receive call returns at least this often, to see a stop or deadline.
constexpr unsigned kWaitMs = 10;
constexpr uint32_t kNoTimestamp = 0xFFFFFFFF;

struct Channel {
    bool shown = true;
    std::vector<IdFilter> filters;
    unsigned long long frames = 0;
};

// candump -a style: time, interface, identifier, [length], bytes, ASCII.
std::string readable(const trace::Frame &f, const std::string &time, const std::string &name)
{
    char head[128];
    char id[16];
    std::snprintf(id, sizeof id, f.extended ? "%08X" : "%03X", f.id);
    std::snprintf(head, sizeof head, "(%s)  %-5s  %8s  [%2d] ", time.c_str(), name.c_str(), id,
                  f.remote ? f.dlc : f.len);
    std::string out(head);
    if (f.remote)
        return out + " remote request";
    if (f.fd)
        out += f.brs ? (f.esi ? " BRS ESI " : " BRS ") : (f.esi ? " ESI " : " ");
    for (int i = 0; i < f.len; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, " %02X", f.data[static_cast<size_t>(i)]);
        out += b;
    }
    out += "   '";
    for (int i = 0; i < f.len; ++i) {
        const uint8_t c = f.data[static_cast<size_t>(i)];
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    return out + "'";
}

const char *status_name(int msg_type)
{
    switch (msg_type) {
    case VELK_EEERR_TYPE: return "EEPROM error report";
    case VELK_BUSERR_TYPE: return "bus error report";
    case VELK_BUSERR_PSR_TYPE: return "bus error report (PSR)";
    case VELK_GETBUS_TYPE: return "bus status report";
    default: return "report";
    }
}

std::string default_log_name()
{
    const time_t t = time(nullptr);
    struct tm tm;
    localtime_r(&t, &tm);
    char b[64];
    std::strftime(b, sizeof b, "velk_dump-%Y-%m-%d_%H%M%S.log", &tm);
    return b;
}

struct Options {
    std::string file;
    bool default_name = false;
    bool print_too = false;
    bool ascii = false;
    bool log_out = false;
    char time_form = 'a';
    bool len8_dlc = false;
    bool json = false;
    long long count = 0;
    double seconds = 0;
    ChannelNames names;
    ChannelSetup setup;
    trace::SplitOptions split;
};

// "100M", "2G", "500k" or a plain number of bytes.
bool parse_size(const char *text, uint64_t *bytes)
{
    std::string s(text);
    uint64_t scale = 1;
    if (!s.empty() && std::strchr("kKMG", s.back()) != nullptr) {
        scale = s.back() == 'G' ? 1000000000ULL : s.back() == 'M' ? 1000000ULL : 1000ULL;
        s.pop_back();
    }
    long long v;
    if (!parse_long(s.c_str(), 1, (1LL << 62) / static_cast<long long>(scale), &v))
        return false;
    *bytes = static_cast<uint64_t>(v) * scale;
    return true;
}

// "3600", "90s", "30m", "1h", "1d"; microseconds.
bool parse_duration(const char *text, int64_t *us)
{
    std::string s(text);
    double scale = 1;
    if (!s.empty() && std::strchr("smhd", s.back()) != nullptr) {
        scale = s.back() == 'd' ? 86400 : s.back() == 'h' ? 3600 : s.back() == 'm' ? 60 : 1;
        s.pop_back();
    }
    double v;
    if (!parse_double(s.c_str(), &v) || v * scale < 1 || v * scale > 1e9)
        return false;
    *us = static_cast<int64_t>(v * scale * 1e6);
    return true;
}

class Dump {
public:
    Dump(const Options &o, SignalDecoder &&decoder, int port, Channel *channels)
        : o_(o), decoder_(std::move(decoder)), port_(port), ch_(channels)
    {
    }

    int run()
    {
        const bool to_file = !o_.file.empty();
        print_ = !to_file || o_.print_too || o_.log_out;
        if (to_file) {
            trace::Format format;
            trace::format_of(o_.file, &format);
            trace::WriteOptions w;
            w.names[0] = o_.names.name[0];
            w.names[1] = o_.names.name[1];
            w.len8_dlc = o_.len8_dlc;
            w.start_us = wall_us();
            w.time_note = "velk_dump: times are the adapter's timestamps mapped to wall-clock time, never ahead "
                          "of the host's clock and never going backwards; reports without a timestamp carry the "
                          "host's receive time";
            auto say = [](const std::string &text) { std::fprintf(stderr, "%s: %s\n", kProg, text.c_str()); };
            if (!recorder_.open(o_.file, format, w, o_.split, say)) {
                std::fprintf(stderr, "%s: %s\n", kProg, recorder_.error().c_str());
                return kBadInput;
            }
            recording_ = true;
        }
        if (!isatty(STDOUT_FILENO))
            std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
        const int status = loop();
        if (recording_) {
            if (!recorder_.finish() && !write_failed_) {
                write_failed_ = true;
                std::fprintf(stderr, "%s: %s\n", kProg, recorder_.error().c_str());
            }
            lost_ = (write_failed_ ? recorder_.pushed() - recorder_.confirmed() : 0) + recorder_.lost();
        }
        std::fflush(stdout);
        return write_failed_ ? kBadInput : status;
    }

    // Taken while the port is still open: what its input skipped and the
    // reports it dropped because no receive call took them in time.
    void take_input_stats() { VELKGetInputStats(port_, &skipped_, &dropped_); }

    void summary() const
    {
        std::string pieces;
        if (o_.split.max_bytes > 0 || o_.split.max_us > 0)
            pieces = "; " + std::to_string(recorder_.pieces()) + " pieces";
        std::fprintf(stderr,
                     "%s: CAN1 %llu frames, CAN2 %llu frames, %llu status reports, %llu filtered; "
                     "skipped bytes %llu; lost %llu%s\n",
                     kProg, ch_[0].frames, ch_[1].frames, status_, filtered_, skipped_, lost_ + dropped_,
                     pieces.c_str());
    }

private:
    int loop()
    {
        const int64_t t0 = mono_us();
        const int64_t deadline = o_.seconds > 0 ? t0 + static_cast<int64_t>(o_.seconds * 1e6) : 0;
        while (!stop_requested() && !done_) {
            const int64_t now = mono_us();
            if (deadline != 0 && now >= deadline)
                break;
            // A report without a timestamp leaves the marker in place.
            std::memset(batch_, 0, sizeof batch_);
            for (CAN_FRAME_INFO &r : batch_)
                r.timestamp.micro_second = kNoTimestamp;
            NON_BLOCK_INFO nb;
            nb.cnt = kBatch;
            nb.interval = kWaitMs;
            if (deadline != 0 && deadline - now < kWaitMs * 1000)
                nb.interval = static_cast<unsigned>((deadline - now) / 1000);
            nb.can_frame_info = batch_;
            const int n = VELKReceiveNonblock(port_, &nb);
            const int64_t wall = wall_us();
            for (int i = 0; i < n && !done_ && !write_failed_; ++i)
                handle(batch_[i], wall);
            // Whole batches reach a pipe at once, not line by line.
            if (n > 0 && print_)
                std::fflush(stdout);
            if (write_failed_)
                return kBadInput;
            if (n == 0 && VELKCheckDevice(port_) != 0) {
                std::fprintf(stderr, "%s: the adapter at %s has gone\n", kProg, comports[port_]);
                return kFailed;
            }
            if (recording_ && recorder_.failed()) {
                write_failed_ = true;
                std::fprintf(stderr, "%s: %s\n", kProg, recorder_.error().c_str());
                return kBadInput;
            }
        }
        return kOk;
    }

    void handle(const CAN_FRAME_INFO &r, int64_t now)
    {
        if (r.msg_type != VELK_DATA_TYPE) {
            ++status_;
            if (o_.setup.error_reports)
                status_report(r, now);
            return;
        }
        if (r.CAN_port != 0 && r.CAN_port != 1)
            return;
        trace::Frame f = trace::frame_of(r);
        Channel &c = ch_[f.channel];
        if (!c.shown || !passes(c.filters, f)) {
            ++filtered_;
            return;
        }
        clock_.stamp(r.timestamp, r.recv_time, &f, now);
        ++c.frames;
        emit(f);
        if (o_.count > 0 && static_cast<long long>(ch_[0].frames + ch_[1].frames) >= o_.count)
            done_ = true;
    }

    void emit(const trace::Frame &f)
    {
        if (recording_)
            recorder_.push(f);
        if (!print_)
            return;
        const std::string &name = o_.names.name[f.channel];
        const dbc::Message *m = decoder_.empty() ? nullptr : decoder_.decode(f);
        if (o_.json) {
            line_.clear();
            append_json_line(&line_, f, name, m, decoder_.values(), decoder_.count());
        } else {
            if (o_.log_out || (o_.time_form == 'a' && !o_.ascii)) {
                line_ = trace::log_line(f, name, o_.len8_dlc);
            } else {
                const std::string time = time_text(f);
                if (o_.ascii && !f.error) {
                    line_ = readable(f, time, name);
                } else {
                    line_ = "(" + time + ") " + name + " " + trace::frame_text(f, o_.len8_dlc);
                    if (f.tx)
                        line_ += " T";
                }
            }
            line_ += '\n';
            append_signal_lines(&line_, m, decoder_.values(), decoder_.count());
        }
        std::fwrite(line_.data(), 1, line_.size(), stdout);
    }

    // The time of a printed line in the form -t asks for.
    std::string time_text(const trace::Frame &f)
    {
        const int64_t us = f.sec * 1000000 + f.usec;
        if (first_us_ < 0)
            first_us_ = last_us_ = us;
        char b[64];
        if (o_.time_form == 'A') {
            const time_t t = static_cast<time_t>(f.sec);
            struct tm tm;
            localtime_r(&t, &tm);
            char day[40];
            std::strftime(day, sizeof day, "%Y-%m-%d %H:%M:%S", &tm);
            std::snprintf(b, sizeof b, "%s.%06u", day, f.usec);
        } else if (o_.time_form == 'd' || o_.time_form == 'z') {
            const int64_t d = us - (o_.time_form == 'd' ? last_us_ : first_us_);
            std::snprintf(b, sizeof b, "%03lld.%06lld", static_cast<long long>(d / 1000000),
                          static_cast<long long>(d % 1000000));
        } else {
            std::snprintf(b, sizeof b, "%lld.%06u", static_cast<long long>(f.sec), f.usec);
        }
        last_us_ = us;
        return b;
    }

    // Bus error reports become an error frame on each channel whose six
    // status bytes are not all zero; the bytes themselves are the adapter's
    // own and are shown, not recorded.
    void status_report(const CAN_FRAME_INFO &r, int64_t now)
    {
        trace::Frame f;
        f.error = true;
        f.source = trace::TimeSource::Host;
        const int64_t t = clock_.host(r.recv_time, now);
        f.sec = t / 1000000;
        f.usec = static_cast<uint32_t>(t % 1000000);
        const bool bus_error = r.msg_type == VELK_BUSERR_TYPE || r.msg_type == VELK_BUSERR_PSR_TYPE;
        std::string text = std::string(status_name(r.msg_type));
        for (int ch = 0; ch < 2; ++ch) {
            bool any = false;
            char b[8];
            text += ch == 0 ? ", CAN1" : ", CAN2";
            for (int k = 0; k < 6; ++k) {
                std::snprintf(b, sizeof b, " %02X", r.data_err[ch][k]);
                text += b;
                any = any || r.data_err[ch][k] != 0;
            }
            if (bus_error && any && ch_[ch].shown) {
                f.channel = ch;
                emit(f);
            }
        }
        if (r.msg_type == VELK_EEERR_TYPE)
            text = status_name(r.msg_type);
        // In candump's format and in JSON, standard output stays a log; the
        // details go to standard error there.
        std::fprintf(o_.ascii && !o_.log_out && print_ ? stdout : stderr, "(%lld.%06u)  %s\n",
                     static_cast<long long>(f.sec), f.usec, text.c_str());
    }

    const Options &o_;
    SignalDecoder decoder_;
    std::string line_;
    CAN_FRAME_INFO batch_[kBatch];
    int port_;
    Channel *ch_;
    trace::Recorder recorder_;
    bool recording_ = false;
    trace::AdapterClock clock_;
    bool print_ = true;
    int64_t first_us_ = -1, last_us_ = 0;
    bool done_ = false;
    bool write_failed_ = false;
    unsigned long long status_ = 0, filtered_ = 0, lost_ = 0;
    unsigned long long skipped_ = 0, dropped_ = 0;
};

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    SignalDecoder decoder;
    const std::string optstring = std::string("lf:pLat:en:T:8h") + kNamesOption + kChannelOptions;
    // The usage text takes the shared lines of -N and of the channel options.
    std::string usage(kUsage);
    usage.replace(usage.find("%s"), 2, kNamesOptionHelp);
    int opt;
    while ((opt = getopt_long(argc, argv, optstring.c_str(), kLong, nullptr)) != -1) {
        switch (opt) {
        case 'l':
            o.file = default_log_name();
            o.default_name = true;
            break;
        case 'f': o.file = optarg; break;
        case 'p': o.print_too = true; break;
        case 'L': o.log_out = true; break;
        case 'a': o.ascii = true; break;
        case 't':
            if (std::strlen(optarg) != 1 || std::strchr("aAdz", optarg[0]) == nullptr)
                return usage_error(kProg, "bad time form (a, A, d or z)", optarg);
            o.time_form = optarg[0];
            break;
        case 'e': o.setup.error_reports = true; break;
        case 'n':
            if (!parse_long(optarg, 1, 1LL << 62, &o.count))
                return usage_error(kProg, "bad count", optarg);
            break;
        case 'T':
            if (!parse_double(optarg, &o.seconds) || o.seconds <= 0)
                return usage_error(kProg, "bad time", optarg);
            break;
        case 'N':
            if (!parse_names(optarg, &o.names))
                return usage_error(kProg, "bad interface names", optarg);
            break;
        case '8': o.len8_dlc = true; break;
        case kListenOnly: o.setup.listen = true; break;
        case kSplitSize:
            if (!parse_size(optarg, &o.split.max_bytes))
                return usage_error(kProg, "bad size (a number of bytes, or with k, M or G)", optarg);
            break;
        case kSplitTime:
            if (!parse_duration(optarg, &o.split.max_us))
                return usage_error(kProg, "bad time (seconds, or with s, m, h or d)", optarg);
            break;
        case kSplitCount: {
            long long n;
            if (!parse_long(optarg, 1, 1000000, &n))
                return usage_error(kProg, "bad piece count", optarg);
            o.split.keep = static_cast<int>(n);
            break;
        }
        case 'D':
            if (!decoder.add(kProg, optarg))
                return kBadInput;
            break;
        case 'J': o.json = true; break;
        case 'j': decoder.set_j1939(true); break;
        default:
            if (const int status = common_option(kProg, usage.c_str(), opt, optarg, &o.setup); status >= 0)
                return status;
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "%s: no PORT given (try -h)\n", kProg);
        return kBadInput;
    }
    if (o.json && o.ascii)
        return usage_error(kProg, "choose one output form, not both of", "-a --json");
    if (o.file.empty() && (o.split.max_bytes > 0 || o.split.max_us > 0 || o.split.keep > 0))
        return usage_error(kProg, "splitting needs a file to write (-f or -l)", "--split-*");
    if (o.split.keep > 0 && o.split.max_bytes == 0 && o.split.max_us == 0)
        return usage_error(kProg, "--split-count needs --split-size or --split-time", "--split-count");
    trace::Format format;
    if (!o.file.empty() && !trace::format_of(o.file, &format))
        return usage_error(kProg, "unknown trace format (use .log, .asc, .csv, .blf, .mf4, .pcapng, .pcap or .trc)", o.file.c_str());

    Channel ch[2];
    if (optind + 1 < argc)
        ch[0].shown = ch[1].shown = false;
    for (int i = optind + 1; i < argc; ++i) {
        int c;
        std::vector<IdFilter> filters;
        if (const int status = parse_channel_filters(kProg, argv[i], o.names, &c, &filters); status != kOk)
            return status;
        ch[c].shown = true;
        ch[c].filters.insert(ch[c].filters.end(), filters.begin(), filters.end());
    }

    int port;
    int status = connect(kProg, argv[optind], o.setup, ch[0].shown, ch[1].shown, &port);
    if (status != kOk)
        return status;
    if (o.default_name)
        std::fprintf(stderr, "%s: writing %s\n", kProg, o.file.c_str());
    Dump dump(o, std::move(decoder), port, ch);
    status = dump.run();
    dump.take_input_stats();
    VELKCloseDevice(port);
    dump.summary();
    return status;
}
