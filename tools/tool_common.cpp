// Shared helpers of the command-line tools.
#include "tool_common.h"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <cerrno>

#include "adapter_time.h"

namespace velk::tools {

namespace {

// Set from the signal handler; a lock-free atomic is safe there.
std::atomic<int> g_stop{0};
static_assert(std::atomic<int>::is_always_lock_free);

void on_stop_signal(int)
{
    g_stop.store(1);
}

// CAN FD data rates the adapter takes, Mbit/s.
constexpr int kDataRates[] = {2, 4, 5, 6, 8, 10};

// "500k", "1M", "125000" -> bit/s.
bool parse_rate(const std::string &s, long *bps)
{
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || errno != 0 || v <= 0)
        return false;
    double scale = 1;
    if (*end == 'k' || *end == 'K')
        scale = 1e3;
    else if (*end == 'm' || *end == 'M')
        scale = 1e6;
    if (scale > 1)
        ++end;
    if (*end != '\0')
        return false;
    const double r = v * scale;
    if (r > 1e8)
        return false;
    *bps = static_cast<long>(r + 0.5);
    return *bps == r;
}

// One value for both channels or "CAN1,CAN2"; each item through `one`.
template <typename F>
bool per_channel(const char *text, int out[2], F one)
{
    const std::string s(text);
    const size_t comma = s.find(',');
    const std::string a = s.substr(0, comma);
    const std::string b = comma == std::string::npos ? a : s.substr(comma + 1);
    return one(a, &out[0]) && one(b, &out[1]);
}

std::string canonical(const char *path)
{
    char buf[PATH_MAX];
    return realpath(path, buf) != nullptr ? std::string(buf) : std::string();
}

// Applies the setup to an open adapter and starts the channels asked for.
int configure(const char *prog, int port, const ChannelSetup &s, bool can1, bool can2)
{
    auto failed = [&](const char *what) {
        std::fprintf(stderr, "%s: the adapter at %s refused %s\n", prog, comports[port], what);
        return kFailed;
    };
    const bool rates = s.nominal[0] >= 0 || s.nominal[1] >= 0;
    const bool fd = s.fd >= 0 || s.data[0] >= 0 || s.data[1] >= 0;
    CANFD_CFG_INFO cfg;
    std::memset(&cfg, 0, sizeof cfg);
    if ((rates || fd) && !retry_once([&] { return VELKGetCFG_CANFD(port, &cfg); }))
        return failed("the configuration query");
    if (rates) {
        const int c1 = s.nominal[0] >= 0 ? s.nominal[0] : cfg.baud[0];
        const int c2 = s.nominal[1] >= 0 ? s.nominal[1] : cfg.baud[1];
        if (!retry_once([&] { return VELKSetBaudRate(port, c1, c2); }))
            return failed("the nominal bit rate");
    }
    if (fd) {
        CFG_CANFD c;
        c.CAN1_DataRate = static_cast<unsigned char>(s.data[0] >= 0 ? s.data[0] : cfg.datarate[0]);
        c.CAN2_DataRate = static_cast<unsigned char>(s.data[1] >= 0 ? s.data[1] : cfg.datarate[1]);
        c.CAN1_FDF_EN = static_cast<unsigned char>(s.fd >= 0 ? s.fd : cfg.fdf_en[0]);
        c.CAN2_FDF_EN = static_cast<unsigned char>(s.fd >= 0 ? s.fd : cfg.fdf_en[1]);
        if (!retry_once([&] { return VELKSetCFG_CANFD(port, &c); }))
            return failed("the CAN FD setting");
    }
    if (s.error_reports && !retry_once([&] { return VELKSetErrorType(port, VELK_EN_ALL); }))
        return failed("to switch error reports on");
    const int mode = s.listen ? VELK_LISTEN : VELK_NORMAL;
    if (!retry_once([&] { return VELKSetMode(port, mode, mode); }))
        return failed("the channel mode");
    const int s1 = can1 ? VELK_ACTIVE : VELK_INACTIVE, s2 = can2 ? VELK_ACTIVE : VELK_INACTIVE;
    if (!retry_once([&] { return VELKInitCAN(port, s1, s2); }))
        return failed("to start the channels");
    return kOk;
}

// VELKSend_CANFD for CAN FD, VELKSend otherwise; the library's result.
int send_frame(int port, const trace::Frame &f)
{
    CAN_FRAME_INFO r = trace::record_of(f);
    return f.fd ? VELKSend_CANFD(port, &r) : VELKSend(port, &r);
}

}  // namespace

const char kChannelOptionsHelp[] =
    "  -b RATE[,RATE2] nominal bit rate of both channels, or of CAN1 and CAN2:\n"
    "                  5k 10k 20k 50k 100k 125k 250k 400k 500k 800k 1M\n"
    "                  (default: as the adapter is set)\n"
    "  -d RATE[,RATE2] CAN FD on, with this data rate: 2M 4M 5M 6M 8M 10M\n"
    "  -c              classic CAN only (CAN FD off)\n";

void catch_stop_signals(bool restart_calls)
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    // Every signal only sets the flag, so a second one cannot cut a file
    // short. SA_RESTART keeps a write of the file from failing with EINTR;
    // sleeps return early all the same, and the receive loops wait at most
    // a few milliseconds before they look at the flag.
    sa.sa_flags = restart_calls ? SA_RESTART : 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

bool stop_requested()
{
    return g_stop.load() != 0;
}

int64_t mono_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

int64_t wall_us()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return int64_t{tv.tv_sec} * 1000000 + tv.tv_usec;
}

bool sleep_until(int64_t until_us)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(until_us / 1000000);
    ts.tv_nsec = static_cast<long>(until_us % 1000000) * 1000;
    while (!stop_requested()) {
        const int r = clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
        if (r == 0)
            return true;
        if (r != EINTR)
            return false;
    }
    return false;
}

bool port_for(const char *name, int *port, std::string *why)
{
    long long index;
    if (parse_long(name, 0, VELK_PORT_COUNT - 1, &index)) {
        *port = static_cast<int>(index);
        return true;
    }
    if (name[0] >= '0' && name[0] <= '9') {
        *why = std::string("port index ") + name + " outside 0.." + std::to_string(VELK_PORT_COUNT - 1);
        return false;
    }
    const std::string dev = canonical(name);
    if (dev.empty()) {
        *why = std::string("no device ") + name + ": " + std::strerror(errno);
        return false;
    }
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        if (canonical(comports[i]) == dev) {
            *port = i;
            return true;
        }
    }
    // The table holds pointers; each name must outlive every use of its
    // index (a deque keeps them in place as more are added).
    static std::deque<std::string> slot_names;
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        if (access(comports[i], F_OK) != 0) {
            slot_names.push_back(name);
            comports[i] = slot_names.back().c_str();
            *port = i;
            return true;
        }
    }
    *why = "no free slot in the device table for " + std::string(name);
    return false;
}

int open_adapter(const char *prog, const char *name, int *port)
{
    std::string why;
    if (!port_for(name, port, &why)) {
        std::fprintf(stderr, "%s: %s\n", prog, why.c_str());
        return kBadInput;
    }
    if (!retry_once([&] { return VELKOpenDevice(*port); })) {
        std::fprintf(stderr, "%s: no adapter answers at %s\n", prog, comports[*port]);
        return kBadInput;
    }
    return kOk;
}

bool parse_nominal(const char *text, ChannelSetup *s)
{
    return per_channel(text, s->nominal, [](const std::string &item, int *code) {
        long bps;
        if (!parse_rate(item, &bps))
            return false;
        // The adapter's code of that bit rate (the public header's table).
        for (int c = 0; c < VELK_BIT_RATE_CODES; ++c) {
            if (VELKNominalBitRate(c) == bps) {
                *code = c;
                return true;
            }
        }
        return false;
    });
}

bool parse_data_rate(const char *text, ChannelSetup *s)
{
    s->fd = 1;
    return per_channel(text, s->data, [](const std::string &item, int *mbps) {
        long bps;
        // A bare small number is taken as Mbit/s ("-d 2").
        if (!parse_rate(item, &bps))
            return false;
        if (bps <= 10)
            bps *= 1000000;
        for (int r : kDataRates) {
            if (bps == r * 1000000L) {
                *mbps = r;
                return true;
            }
        }
        return false;
    });
}

namespace {

// CAN1 / CAN2 by the adapter's own names: -1 for anything else.
int fixed_channel(const std::string &s)
{
    if (s == "CAN1" || s == "1")
        return 0;
    if (s == "CAN2" || s == "2")
        return 1;
    return -1;
}

}  // namespace

const char kNamesOptionHelp[] = "  -N NAME1,NAME2  interface names of CAN1 and CAN2 (default can0,can1)\n";

bool parse_names(const char *text, ChannelNames *names)
{
    const std::string s(text);
    const size_t comma = s.find(',');
    if (comma == std::string::npos || comma == 0 || comma + 1 == s.size() ||
        s.find_first_of(" \t#()", 0) != std::string::npos)
        return false;
    const std::string a = s.substr(0, comma), b = s.substr(comma + 1);
    if (a == b || b.find(',') != std::string::npos || fixed_channel(a) == 1 || fixed_channel(b) == 0)
        return false;
    names->name[0] = a;
    names->name[1] = b;
    return true;
}

namespace {

constexpr uint32_t kEffFlag = 0x80000000;
constexpr uint32_t kRtrFlag = 0x40000000;

}  // namespace

bool parse_id_filter(const std::string &s, IdFilter *f)
{
    const size_t sep = s.find_first_of(":~");
    if (sep == std::string::npos)
        return false;
    uint32_t id, mask;
    const std::string id_text = s.substr(0, sep);
    if (!parse_hex32(id_text.c_str(), &id) || !parse_hex32(s.c_str() + sep + 1, &mask))
        return false;
    f->id = id | (id_text.size() == 8 ? kEffFlag : 0);
    f->mask = mask;
    f->invert = s[sep] == '~';
    return true;
}

int parse_channel_filters(const char *prog, const std::string &arg, const ChannelNames &names, int *channel,
                          std::vector<IdFilter> *filters)
{
    const size_t comma = arg.find(',');
    const std::string name = arg.substr(0, comma);
    if (!parse_channel(name.c_str(), names, channel))
        return usage_error(prog, "unknown channel", name.c_str());
    for (size_t at = comma; at != std::string::npos;) {
        const size_t next = arg.find(',', at + 1);
        IdFilter f;
        const std::string item = arg.substr(at + 1, next == std::string::npos ? next : next - at - 1);
        if (!parse_id_filter(item, &f))
            return usage_error(prog, "bad filter (ID:MASK or ID~MASK)", item.c_str());
        filters->push_back(f);
        at = next;
    }
    return kOk;
}

bool passes(const std::vector<IdFilter> &filters, const trace::Frame &f)
{
    if (filters.empty())
        return true;
    const uint32_t v = f.id | (f.extended ? kEffFlag : 0) | (f.remote ? kRtrFlag : 0);
    for (const IdFilter &k : filters)
        if (((v & k.mask) == (k.id & k.mask)) != k.invert)
            return true;
    return false;
}

bool parse_channel_map(const std::string &text, const ChannelNames &names, std::map<std::string, int> *channels)
{
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size())
        return false;
    const std::string left = text.substr(0, eq), right = text.substr(eq + 1);
    int ch;
    if (parse_channel(left.c_str(), names, &ch))
        (*channels)[right] = ch;
    else if (parse_channel(right.c_str(), names, &ch))
        (*channels)[left] = ch;
    else
        return false;
    return true;
}

bool parse_channel(const char *text, const ChannelNames &names, int *channel)
{
    const std::string s(text);
    int c = fixed_channel(s);
    if (c < 0 && s == names.name[0])
        c = 0;
    else if (c < 0 && s == names.name[1])
        c = 1;
    if (c < 0)
        return false;
    *channel = c;
    return true;
}

bool parse_long(const char *text, long long lo, long long hi, long long *v)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    char *end = nullptr;
    errno = 0;
    const long long x = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || x < lo || x > hi)
        return false;
    *v = x;
    return true;
}

bool parse_hex32(const char *text, uint32_t *v)
{
    const size_t n = std::strlen(text);
    if (n == 0 || n > 8 || std::strspn(text, "0123456789abcdefABCDEF") != n)
        return false;
    *v = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
    return true;
}

bool parse_double(const char *text, double *v)
{
    if (text == nullptr || ((*text < '0' || *text > '9') && *text != '.'))
        return false;
    char *end = nullptr;
    errno = 0;
    const double x = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !(x >= 0) || x > 1e9)
        return false;
    *v = x;
    return true;
}

int common_option(const char *prog, const char *usage, int opt, const char *arg, ChannelSetup *s)
{
    switch (opt) {
    case 'b': return parse_nominal(arg, s) ? -1 : usage_error(prog, "bad nominal bit rate", arg);
    case 'd': return parse_data_rate(arg, s) ? -1 : usage_error(prog, "bad data rate", arg);
    case 'c': s->fd = 0; return -1;
    case 'h': std::printf(usage, kChannelOptionsHelp); return kOk;
    default: std::fprintf(stderr, usage, kChannelOptionsHelp); return kBadInput;
    }
}

int usage_error(const char *prog, const char *what, const char *arg)
{
    std::fprintf(stderr, "%s: %s '%s' (try -h)\n", prog, what, arg);
    return kBadInput;
}

int connect(const char *prog, const char *name, const ChannelSetup &s, bool can1, bool can2, int *port)
{
    const int status = open_adapter(prog, name, port);
    if (status != kOk)
        return status;
    catch_stop_signals();
    if (configure(prog, *port, s, can1, can2) != kOk) {
        VELKCloseDevice(*port);
        return kFailed;
    }
    return kOk;
}

bool Sender::send(trace::Frame f)
{
    // -v shows when the frame was handed to the adapter: a received copy is
    // never earlier.
    const int64_t t = wall_us();
    if (send_frame(port_, f) == 0) {
        ++sent_;
        if (verbose_) {
            f.sec = t / 1000000;
            f.usec = static_cast<uint32_t>(t % 1000000);
            std::printf("%s\n", trace::log_line(f, names_.name[f.channel == 0 ? 0 : 1], false).c_str());
        }
        return true;
    }
    ++refused_;
    gone_ = VELKCheckDevice(port_) != 0;
    return !gone_;
}

int Sender::finish()
{
    std::fflush(stdout);
    VELKCloseDevice(port_);
    if (gone_)
        std::fprintf(stderr, "%s: the adapter at %s has gone\n", prog_, comports[port_]);
    if (refused_ > 0)
        std::fprintf(stderr, "%s: %llu of %llu frames refused (not written to the adapter)\n", prog_, refused_,
                     sent_ + refused_);
    return refused_ > 0 || gone_ ? kFailed : kOk;
}

}  // namespace velk::tools
