// velk_uds: a UDS (ISO 14229) client over ISO-TP on a channel of the
// adapter: sessions, reset, identifiers, DTCs, routines, the seed-and-key
// lock, tester present and any raw request.
#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "isotp_link.h"
#include "did_table.h"
#include "uds.h"

using namespace velk;
using namespace velk::tools;

namespace {

const char kProg[] = "velk_uds";

const char kUsage[] =
    "Usage: velk_uds [options] -s ID -r ID PORT CHANNEL COMMAND [ARGS...]\n"
    "\n"
    "A UDS (ISO 14229) client on CHANNEL of the adapter at PORT (a port index\n"
    "0-67 or a device path; CHANNEL is CAN1 or 1, CAN2 or 2, or a name of -N),\n"
    "over ISO-TP from -s to the ECU answering on -r. Numbers are hex.\n"
    "\n"
    "Commands:\n"
    "  session TYPE          DiagnosticSessionControl (0x10): default,\n"
    "                        programming, extended, or the type's byte\n"
    "  reset [TYPE]          ECUReset (0x11): hard (default), key-off-on, soft\n"
    "                        or the type's byte\n"
    "  read DID...           ReadDataByIdentifier (0x22), one request each; a DID\n"
    "                        is 4 hex digits or a name of the -D table\n"
    "  write DID HEX...      WriteDataByIdentifier (0x2E)\n"
    "  dtc [SUB [MASK]]      ReadDTCInformation (0x19): 02 DTCs whose status\n"
    "                        matches MASK (default; MASK FF), 01 their count,\n"
    "                        0A every supported DTC; one DTC a line with its\n"
    "                        status bits named\n"
    "  clear-dtc [GROUP]     ClearDiagnosticInformation (0x14); FFFFFF (all)\n"
    "  routine start|stop|results ROUTINE [HEX...]\n"
    "                        RoutineControl (0x31); prints what the ECU returns\n"
    "  security LEVEL PROGRAM\n"
    "                        SecurityAccess (0x27): asks a seed at LEVEL (odd),\n"
    "                        runs PROGRAM (with sh -c) with the seed in hex on\n"
    "                        its standard input, and sends the key it prints in\n"
    "                        hex on LEVEL + 1\n"
    "  tester-present        TesterPresent (0x3E)\n"
    "  raw HEX...            any request; prints the response in hex\n"
    "\n"
    "Options:\n"
    "  -s ID           the identifier the requests go on\n"
    "  -r ID           the identifier the ECU answers on\n"
    "%s"
    "  -o MS           P2: the wait for an answer (default 50)\n"
    "  -O MS           P2*: the wait after each responsePending (default 5000)\n"
    "  -k MS           send tester present (3E 80) every MS while the command\n"
    "                  runs\n"
    "  -D FILE         a table of identifiers, one a line: DID NAME FORMAT\n"
    "                  (FORMAT: hex, ascii, uint or int, big-endian)\n"
    "  -v              print each frame sent, in candump's log format\n"
    "%s"
    "%s"
    "  -h              this help\n"
    "\n"
    "A negative response is said by name (0x31 requestOutOfRange); 0x78\n"
    "responsePending waits P2* for the answer.\n"
    "Exit status: 0 a positive response, 1 a negative response, no answer in\n"
    "time, a wrong answer, an ISO-TP error or a failed adapter, 2 bad usage.\n"
    "\n"
    "Examples:\n"
    "  velk_uds -s 7E0 -r 7E8 /dev/ttyACM0 CAN1 read F190\n"
    "  velk_uds -s 7E0 -r 7E8 -p CC /dev/ttyACM0 CAN1 dtc 02 09\n"
    "  velk_uds -s 7E0 -r 7E8 /dev/ttyACM0 CAN1 session extended\n"
    "  velk_uds -s 7E0 -r 7E8 -k 2000 /dev/ttyACM0 CAN1 security 01 ./key.sh\n"
    "  velk_uds -s 7E0 -r 7E8 -D dids.txt /dev/ttyACM0 CAN1 read VIN\n";

const option kLong[] = {{"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};

struct Settings : IsotpSettings {
    uds::Timing timing;
    uint32_t keepalive_ms = 0;
    uds::DidTable table;
    ChannelSetup setup;
};

// A connection to the ECU and its requests, one at a time.
class Client {
public:
    Client(const Settings &s, int port, int channel) : s_(s), link_(kProg, port, channel, s), c_(s.iso) {}

    // The exchange of one request: kOk with a positive response in *out;
    // else kFailed, with what went wrong said on standard error (*out then
    // holds any answer that came).
    int ask(const std::vector<uint8_t> &request, uds::Outcome *out);
    int finish() { return link_.finish(); }

private:
    const Settings &s_;
    Link link_;
    isotp::Connection c_;
    uint64_t next_keepalive_ = 0;
    bool keepalive_out_ = false;
};

int Client::ask(const std::vector<uint8_t> &request, uds::Outcome *out)
{
    uds::Exchange x(s_.timing);
    const uint64_t start = uint64_t(mono_us());
    if (!c_.send(request, start)) {
        std::fprintf(stderr, "%s: the request cannot be sent\n", kProg);
        return kFailed;
    }
    x.start(request, start);
    const uint64_t every = uint64_t(s_.keepalive_ms) * 1000;
    if (every && !next_keepalive_)
        next_keepalive_ = start + every;
    RunHooks h;
    h.on_event = [&](const isotp::Event &e) {
        // The keep-alive's own confirmation: frames go out one message at a time.
        if (keepalive_out_ && (e.kind == isotp::Event::Sent || e.kind == isotp::Event::TxError)) {
            keepalive_out_ = false;
            return false;
        }
        x.on_event(e, uint64_t(mono_us()));
        return x.done();
    };
    h.on_taken = [&](uint64_t now) { x.on_frame(now); };
    h.on_tick = [&](uint64_t now) {
        x.tick(now);
        if (every && now >= next_keepalive_ && !c_.sending() && !x.done()) {
            keepalive_out_ = c_.send(uds::tester_present_request(true), now);
            next_keepalive_ = now + every;
        }
        return x.done();
    };
    h.deadline = [&] { return std::min(x.deadline(), every ? next_keepalive_ : UINT64_MAX); };
    const Ended end = run(link_, c_, 0, h);
    if (end == Ended::Gone)
        return kFailed;
    if (end == Ended::Stopped) {
        std::fprintf(stderr, "%s: stopped before the answer came\n", kProg);
        return kFailed;
    }
    *out = x.outcome();
    if (out->status == uds::Status::Positive || out->status == uds::Status::Done)
        return kOk;
    std::fprintf(stderr, "%s: %s\n", kProg, uds::outcome_text(*out).c_str());
    return kFailed;
}

// Runs the key program with the seed; false (said) when it fails.
bool compute_key(const std::string &program, const std::vector<uint8_t> &seed, std::vector<uint8_t> *key)
{
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        std::fprintf(stderr, "%s: %s\n", kProg, std::strerror(errno));
        return false;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        std::fprintf(stderr, "%s: %s\n", kProg, std::strerror(errno));
        return false;
    }
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        execl("/bin/sh", "sh", "-c", program.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    std::string seed_hex;
    for (uint8_t b : seed) {
        char t[4];
        std::snprintf(t, sizeof t, "%02X", b);
        seed_hex += t;
    }
    seed_hex += "\n";
    // A program that does not read its input must not stop us.
    signal(SIGPIPE, SIG_IGN);
    const ssize_t w = write(in[1], seed_hex.data(), seed_hex.size());
    (void)w;
    close(in[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buf, size_t(n));
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s: the key program '%s' failed (exit status %d)\n", kProg, program.c_str(),
                     WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        return false;
    }
    if (!parse_hex_bytes(text, key) || key->empty()) {
        std::fprintf(stderr, "%s: the key program printed no key in hex: '%s'\n", kProg,
                     text.substr(0, text.find('\n')).c_str());
        return false;
    }
    return true;
}

struct Named {
    const char *name;
    uint8_t value;
};
constexpr Named kSessions[] = {{"default", 0x01}, {"programming", 0x02}, {"extended", 0x03}};
constexpr Named kResets[] = {{"hard", 0x01}, {"key-off-on", 0x02}, {"soft", 0x03}};
constexpr Named kControls[] = {{"start", 0x01}, {"stop", 0x02}, {"results", 0x03}};

template <size_t N>
bool named_byte(const char *text, const Named (&names)[N], uint8_t *v)
{
    for (const Named &n : names) {
        if (std::strcmp(text, n.name) == 0) {
            *v = n.value;
            return true;
        }
    }
    return parse_byte(text, v);
}

bool parse_did(const char *text, const Settings &s, uint16_t *did)
{
    for (const auto &[id, e] : s.table) {
        if (e.name == text) {
            *did = id;
            return true;
        }
    }
    uint32_t v;
    if (std::strlen(text) != 4 || !parse_hex32(text, &v))
        return false;
    *did = uint16_t(v);
    return true;
}

std::string did_text(uint16_t did, const Settings &s)
{
    char b[8];
    std::snprintf(b, sizeof b, "%04X", did);
    const auto e = s.table.find(did);
    return e == s.table.end() ? b : std::string(b) + " " + e->second.name;
}

// What a command asks, checked before the adapter is opened.
struct Command {
    std::string name;
    std::vector<std::vector<uint8_t>> requests;
    std::vector<uint16_t> dids;  // read
    std::string program;         // security
};

int parse_command(int argc, char **argv, const Settings &s, Command *cmd)
{
    const std::string name = argv[0];
    cmd->name = name;
    uint8_t a = 0, b = 0;
    std::vector<uint8_t> bytes;
    std::string rest;
    for (int i = 1; i < argc; ++i)
        rest += std::string(argv[i]) + " ";
    const auto hex_rest = [&](int from) {
        std::string t;
        for (int i = from; i < argc; ++i)
            t += std::string(argv[i]) + " ";
        bytes.clear();
        return parse_hex_bytes(t, &bytes);
    };
    if (name == "session") {
        if (argc != 2 || !named_byte(argv[1], kSessions, &a))
            return usage_error(kProg, "session takes a type (default, programming, extended or a byte)",
                               argc > 1 ? argv[1] : "");
        cmd->requests.push_back(uds::session_request(a));
    } else if (name == "reset") {
        a = 0x01;
        if (argc > 2 || (argc == 2 && !named_byte(argv[1], kResets, &a)))
            return usage_error(kProg, "reset takes a type (hard, key-off-on, soft or a byte)", argv[1]);
        cmd->requests.push_back(uds::reset_request(a));
    } else if (name == "read") {
        if (argc < 2)
            return usage_error(kProg, "read takes identifiers", "");
        for (int i = 1; i < argc; ++i) {
            uint16_t did;
            if (!parse_did(argv[i], s, &did))
                return usage_error(kProg, "bad identifier (4 hex digits or a name of the -D table)", argv[i]);
            cmd->dids.push_back(did);
            cmd->requests.push_back(uds::read_request({did}));
        }
    } else if (name == "write") {
        uint16_t did;
        if (argc < 3 || !parse_did(argv[1], s, &did) || !hex_rest(2))
            return usage_error(kProg, "write takes an identifier and its value in hex", rest.c_str());
        cmd->dids.push_back(did);
        cmd->requests.push_back(uds::write_request(did, bytes));
    } else if (name == "dtc") {
        a = uds::kDtcByMask;
        b = 0xFF;
        if (argc > 3 || (argc > 1 && !parse_byte(argv[1], &a)) || (argc > 2 && !parse_byte(argv[2], &b)) ||
            (a != uds::kDtcCountByMask && a != uds::kDtcByMask && a != uds::kDtcSupported))
            return usage_error(kProg, "dtc takes a sub-function (01, 02 or 0A) and a status mask", rest.c_str());
        cmd->requests.push_back(uds::dtc_request(a, b));
    } else if (name == "clear-dtc") {
        uint32_t group = 0xFFFFFF;
        if (argc > 2 || (argc == 2 && (!parse_hex32(argv[1], &group) || group > 0xFFFFFF)))
            return usage_error(kProg, "clear-dtc takes a group of 6 hex digits", argv[1]);
        cmd->requests.push_back(uds::clear_dtc_request(group));
    } else if (name == "routine") {
        uint32_t id;
        if (argc < 3 || !named_byte(argv[1], kControls, &a) || a < 1 || a > 3 || std::strlen(argv[2]) != 4 ||
            !parse_hex32(argv[2], &id) || !hex_rest(3))
            return usage_error(kProg, "routine takes start, stop or results, a routine (4 hex digits) and options",
                               rest.c_str());
        cmd->requests.push_back(uds::routine_request(a, uint16_t(id), bytes));
    } else if (name == "security") {
        if (argc != 3 || !parse_byte(argv[1], &a) || a % 2 == 0 || a > 0x7F)
            return usage_error(kProg, "security takes an odd level (01-7F) and a key program", rest.c_str());
        cmd->requests.push_back(uds::seed_request(a));
        cmd->program = argv[2];
    } else if (name == "tester-present") {
        if (argc != 1)
            return usage_error(kProg, "tester-present takes nothing", argv[1]);
        cmd->requests.push_back(uds::tester_present_request(false));
    } else if (name == "raw") {
        if (argc < 2 || !hex_rest(1) || bytes.empty())
            return usage_error(kProg, "raw takes a request in hex", rest.c_str());
        cmd->requests.push_back(bytes);
    } else {
        return usage_error(kProg,
                           "unknown command (session, reset, read, write, dtc, clear-dtc, routine, security, "
                           "tester-present or raw)",
                           name.c_str());
    }
    return -1;
}

// Prints what a positive response says.
int print_answer(const Command &cmd, size_t i, const uds::Outcome &o, const Settings &s)
{
    const std::vector<uint8_t> &r = o.response;
    std::string why;
    if (cmd.name == "session") {
        if (r.size() == 6)
            std::printf("session %02X (P2 %u ms, P2* %u ms)\n", r[1], unsigned(r[2] << 8 | r[3]),
                        unsigned(r[4] << 8 | r[5]) * 10);
        else
            std::printf("session %02X\n", r[1]);
    } else if (cmd.name == "reset") {
        std::printf("reset %02X\n", r[1]);
    } else if (cmd.name == "read") {
        std::vector<uds::DidValue> v;
        if (!uds::read_data_response(r, {cmd.dids[i]}, nullptr, &v, &why)) {
            std::fprintf(stderr, "%s: %s\n", kProg, why.c_str());
            return kFailed;
        }
        const auto e = s.table.find(v[0].did);
        std::printf("%s: %s\n", did_text(v[0].did, s).c_str(),
                    uds::did_value_text(v[0].value, e == s.table.end() ? uds::DidFormat::Hex : e->second.format).c_str());
    } else if (cmd.name == "write") {
        std::printf("%s written\n", did_text(cmd.dids[0], s).c_str());
    } else if (cmd.name == "dtc") {
        uds::DtcReport d;
        if (!uds::read_dtc_response(r, &d, &why)) {
            std::fprintf(stderr, "%s: %s\n", kProg, why.c_str());
            return kFailed;
        }
        if (r[1] == uds::kDtcCountByMask)
            std::printf("%u DTCs\n", unsigned(d.count));
        for (const uds::Dtc &x : d.dtcs)
            std::printf("%s %06X %02X %s\n", uds::dtc_text(x.code).c_str(), unsigned(x.code), x.status,
                        uds::dtc_status_text(x.status).c_str());
    } else if (cmd.name == "clear-dtc") {
        std::printf("DTCs cleared\n");
    } else if (cmd.name == "routine") {
        static const char *const kDone[] = {"", "started", "stopped", "results"};
        const std::vector<uint8_t> result(r.begin() + std::min<long>(long(r.size()), 4), r.end());
        std::printf("routine %02X%02X %s%s%s\n", r[2], r[3], kDone[r[1] & 3], result.empty() ? "" : ": ",
                    hex_text(result).c_str());
    } else if (cmd.name == "security") {
        std::printf("level %02X unlocked\n", uint8_t(r[1] - 1));
    } else if (cmd.name == "tester-present") {
        std::printf("tester present\n");
    } else {
        std::printf("%s\n", hex_text(r).c_str());
    }
    return kOk;
}

int run_command(const Command &cmd, const Settings &s, int port, int channel)
{
    Client client(s, port, channel);
    int status = kOk;
    for (size_t i = 0; i < cmd.requests.size() && status == kOk; ++i) {
        uds::Outcome o;
        status = client.ask(cmd.requests[i], &o);
        if (cmd.name == "raw" && o.status == uds::Status::Negative)
            std::printf("%s\n", hex_text(o.response).c_str());
        if (status != kOk)
            break;
        if (cmd.name == "security") {
            const std::vector<uint8_t> seed(o.response.begin() + 2, o.response.end());
            if (std::all_of(seed.begin(), seed.end(), [](uint8_t b) { return b == 0; })) {
                std::printf("level %02X already unlocked\n", cmd.requests[0][1]);
                break;
            }
            std::vector<uint8_t> key;
            if (!compute_key(cmd.program, seed, &key)) {
                status = kFailed;
                break;
            }
            status = client.ask(uds::key_request(cmd.requests[0][1], key), &o);
            if (status != kOk)
                break;
        }
        status = print_answer(cmd, i, o, s);
        std::fflush(stdout);
    }
    const int closed = client.finish();
    return status != kOk ? status : closed;
}

int own_option(int opt, const char *arg, Settings *s)
{
    long long n;
    std::string why;
    switch (opt) {
    case 'o':
        if (!parse_long(arg, 1, 600000, &n))
            return usage_error(kProg, "bad P2 (milliseconds)", arg);
        s->timing.p2_ms = uint32_t(n);
        return -1;
    case 'O':
        if (!parse_long(arg, 1, 600000, &n))
            return usage_error(kProg, "bad P2* (milliseconds)", arg);
        s->timing.p2_star_ms = uint32_t(n);
        return -1;
    case 'k':
        if (!parse_long(arg, 1, 600000, &n))
            return usage_error(kProg, "bad tester present interval (milliseconds)", arg);
        s->keepalive_ms = uint32_t(n);
        return -1;
    case 'D':
        if (!uds::load_did_table(arg, &s->table, &why)) {
            std::fprintf(stderr, "%s: %s\n", kProg, why.c_str());
            return kBadInput;
        }
        return -1;
    default: return isotp_option(kProg, opt, arg, s);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string usage = isotp_usage(kUsage);
    Settings s;
    const std::string optstring = std::string("+") + kIsotpOptions + "o:O:k:D:h" + kChannelOptions;
    int opt;
    while ((opt = getopt_long(argc, argv, optstring.c_str(), kLong, nullptr)) != -1) {
        int status = own_option(opt, optarg, &s);
        if (status == -2)
            status = common_option(kProg, usage.c_str(), opt, optarg, &s.setup);
        if (status >= 0)
            return status;
    }
    if (argc - optind < 3) {
        std::fprintf(stderr, "%s: give PORT, CHANNEL and a command (try -h)\n", kProg);
        return kBadInput;
    }
    if (!(s.have_tx && s.have_rx)) {
        std::fprintf(stderr, "%s: give the identifiers with -s and -r (try -h)\n", kProg);
        return kBadInput;
    }
    int channel;
    if (!parse_channel(argv[optind + 1], s.names, &channel))
        return usage_error(kProg, "unknown channel (CAN1, CAN2 or an interface name)", argv[optind + 1]);
    if (s.iso.fd && s.setup.fd == 0)
        return usage_error(kProg, "CAN FD frames (-l) cannot be sent with CAN FD off (-c)", "-c");
    Command cmd;
    const int bad = parse_command(argc - optind - 2, argv + optind + 2, s, &cmd);
    if (bad >= 0)
        return bad;
    int port;
    const int status = connect(kProg, argv[optind], s.setup, channel == 0, channel == 1, &port);
    if (status != kOk)
        return status;
    return run_command(cmd, s, port, channel);
}
