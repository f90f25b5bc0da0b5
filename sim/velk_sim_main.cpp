// velk_sim: an emulated two-channel CAN adapter on a pseudo-terminal.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapter.h"
#include "bus.h"
#include "ecu.h"

namespace {

const char kUsage[] =
    "Usage: velk_sim [options]\n"
    "\n"
    "Emulates a two-channel USB-to-CAN FD adapter on a pseudo-terminal: answers\n"
    "every command with its fixed reply, keeps the configuration the host sets,\n"
    "accepts 0xE0/0xF0 data frames and sends reports. Prints the slave path of\n"
    "each port, one per line, and runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  -l, --link PATH      also make a symbolic link PATH to the port, removed on\n"
    "                       exit (e.g. /dev/ttyCAN0, index 0 of the device table);\n"
    "                       give it once per port\n"
    "  -p, --ports N        1: one port (default); 2: one adapter seen as two ports\n"
    "                       sharing one dev_id\n"
    "  -A, --adapters N     N independent adapters, each with its own dev_id\n"
    "  -f, --fw XX.YY       firmware bytes (hex), default 03.02; the generation is\n"
    "                       the low digit of XX\n"
    "  -g, --gen G          shorthand for --fw 0G.00\n"
    "  -m, --model XXXX     build identifier bytes (hex), default 5102\n"
    "  -d, --dev-id HEX     dev_id, 16 hex digits (all ports of the adapter)\n"
    "  -c, --vcom M,P,O     vcom_mode, vcom_map, vcom_order of the next port\n"
    "                       (repeat for the second port)\n"
    "  -L, --loopback       a frame sent on one channel comes back as a report\n"
    "                       received on the other while both channels are started\n"
    "                       (0xF0 -> 0xF1, 0xE0 -> 0xE2)\n"
    "  -B, --bus P.CH=Q.CH  wire channel CH (CAN1 or CAN2) of port P to channel CH\n"
    "                       of port Q (ports numbered from 0 in the order printed):\n"
    "                       what one host sends there the other receives, with\n"
    "                       its own adapter's timestamp, while both channels are\n"
    "                       started; repeat for more wires\n"
    "  -s, --stream N       once the host starts a channel, send N mixed reports\n"
    "                       (0xE2, 0xF1 of assorted DLCs, 0xE1, status reports)\n"
    "  -r, --rate R         reports per second for --stream; 0 = as fast as the\n"
    "                       tty takes them (default)\n"
    "  -S, --seed S         seed of the stream's content (default 1)\n"
    "  -T, --index-stamps   --stream's 0xE2 and 0xF1 report i carries i as its\n"
    "                       timestamp second (to check each report by it) in\n"
    "                       place of the adapter's clock\n"
    "  -I, --ids N          --stream's frames use N identifiers of each kind\n"
    "                       (standard 0-N-1, extended 18000000-18000000+N-1),\n"
    "                       as a bus of N messages does; default any (1-2048)\n"
    "  -C, --clock PPM[,JUMP_MS[,EVERY]]\n"
    "                       the adapter's clock runs PPM parts per million fast\n"
    "                       (negative: slow) and jumps by JUMP_MS (negative:\n"
    "                       back) after every EVERY timestamps it gives (default\n"
    "                       1000); the clock of the loopback, bus and --stream\n"
    "                       reports\n"
    "  -E, --ecu FILE       a UDS server on the first port's channel that FILE\n"
    "                       names (identifiers, DIDs, DTCs, sessions, security,\n"
    "                       routines; see examples/ecu.conf); that port is then\n"
    "                       wired to no other\n"
    "  -v, --verbose        print every frame the host writes, in hex\n"
    "  -h, --help           this text\n"
    "\n"
    "Examples:\n"
    "  velk_sim --link /dev/ttyCAN0\n"
    "      one generation-3 adapter where the utility's port probe finds it\n"
    "  velk_sim --link /dev/ttyCAN0 --fw 05.0A --loopback -v\n"
    "      a generation-5 adapter whose CAN1 and CAN2 share one bus; shows\n"
    "      every frame the host sends\n"
    "  velk_sim --ports 2 --link /dev/ttyCAN24 --link /dev/ttyCAN25 \\\n"
    "           --vcom 0,0,1 --vcom 0,0,0 --gen 5\n"
    "      one adapter as two ports whose order disagrees with the host's\n"
    "  velk_sim --link /dev/ttyCAN0 --stream 10000 --rate 2000\n"
    "      2000 reports a second once CAN is started\n"
    "  velk_sim --link /dev/ttyCAN0 --stream 100000 --rate 1000 --clock -500,3000,2000\n"
    "      an adapter clock 500 ppm slow that jumps 3 s ahead every 2000 timestamps\n"
    "  velk_sim -A 2 --link /dev/ttyCAN0 --link /dev/ttyCAN1 --bus 0.CAN1=1.CAN2\n"
    "      two adapters; CAN1 of the first and CAN2 of the second share a bus,\n"
    "      so velk_send on /dev/ttyCAN0 CAN1 is seen by velk_dump on /dev/ttyCAN1\n"
    "  velk_sim --link /dev/ttyCAN0 --ecu examples/ecu.conf\n"
    "      an ECU answering diagnostics on 7E0/7E8 on CAN1, for velk_uds\n";

const option kOptions[] = {
    {"link", required_argument, nullptr, 'l'},   {"ports", required_argument, nullptr, 'p'},
    {"adapters", required_argument, nullptr, 'A'}, {"fw", required_argument, nullptr, 'f'},
    {"gen", required_argument, nullptr, 'g'},    {"model", required_argument, nullptr, 'm'},
    {"dev-id", required_argument, nullptr, 'd'}, {"vcom", required_argument, nullptr, 'c'},
    {"loopback", no_argument, nullptr, 'L'},     {"stream", required_argument, nullptr, 's'},
    {"bus", required_argument, nullptr, 'B'},
    {"rate", required_argument, nullptr, 'r'},   {"seed", required_argument, nullptr, 'S'},
    {"clock", required_argument, nullptr, 'C'},  {"ids", required_argument, nullptr, 'I'},
    {"index-stamps", no_argument, nullptr, 'T'}, {"ecu", required_argument, nullptr, 'E'},
    {"verbose", no_argument, nullptr, 'v'},      {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

bool parse_hex_bytes(const char *s, uint8_t *out, size_t n, bool dotted)
{
    std::string digits;
    for (const char *p = s; *p; ++p) {
        if (dotted && *p == '.' && digits.size() == 2)
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(*p)))
            return false;
        digits += *p;
    }
    if (digits.size() != 2 * n)
        return false;
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint8_t>(std::strtoul(digits.substr(2 * i, 2).c_str(), nullptr, 16));
    return true;
}

bool parse_int(const char *s, long lo, long hi, long *out)
{
    char *end = nullptr;
    const long v = std::strtol(s, &end, 0);
    if (end == s || *end != '\0' || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

void print_frame(size_t port, const velk::sim::Bytes &f)
{
    std::printf("port %zu <", port);
    for (uint8_t b : f)
        std::printf(" %02X", b);
    std::printf("\n");
    std::fflush(stdout);
}

// "P.CAN1" -> port P, channel 0.
bool parse_end(const std::string &s, long *port, int *channel)
{
    const size_t dot = s.find('.');
    if (dot == std::string::npos || !parse_int(s.substr(0, dot).c_str(), 0, 87, port))
        return false;
    const std::string ch = s.substr(dot + 1);
    if (ch != "CAN1" && ch != "CAN2")
        return false;
    *channel = ch == "CAN1" ? 0 : 1;
    return true;
}

// Host frames kept per port: what -v prints between two looks (every 50 ms)
// even at the fastest the port takes.
constexpr size_t kRecordLimit = 4096;

int bad(const char *what, const char *arg)
{
    std::fprintf(stderr, "velk_sim: bad %s '%s' (try --help)\n", what, arg);
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> links;
    struct Vcom {
        uint8_t mode, map, order;
    };
    std::vector<Vcom> vcoms;
    struct Wire {
        long p, q;
        int ch_p, ch_q;
    };
    std::vector<Wire> wires;
    long ports = 1, adapters = 1, stream_count = 0, rate = 0, seed = 1, stream_ids = 0;
    uint8_t fw[2] = {0x03, 0x02};
    uint8_t model[2] = {0x51, 0x02};
    uint8_t dev_id[8];
    bool have_dev_id = false, loopback = false, verbose = false;
    bool have_clock = false, index_stamps = false;
    long clock_ppm = 0, clock_jump_ms = 0, clock_every = 1000;
    velk::sim::EcuModel ecu_model;
    std::string ecu_error;
    bool have_ecu = false;
    int c;
    while ((c = getopt_long(argc, argv, "l:p:A:f:g:m:d:c:LB:s:r:S:TC:I:E:vh", kOptions, nullptr)) != -1) {
        long v;
        switch (c) {
        case 'l': links.push_back(optarg); break;
        case 'p':
            if (!parse_int(optarg, 1, 2, &ports))
                return bad("port count", optarg);
            break;
        case 'A':
            if (!parse_int(optarg, 1, 44, &adapters))
                return bad("adapter count", optarg);
            break;
        case 'f':
            if (!parse_hex_bytes(optarg, fw, 2, true))
                return bad("firmware version", optarg);
            break;
        case 'g':
            if (!parse_int(optarg, 0, 15, &v))
                return bad("generation", optarg);
            fw[0] = static_cast<uint8_t>(v);
            fw[1] = 0;
            break;
        case 'm':
            if (!parse_hex_bytes(optarg, model, 2, false))
                return bad("model", optarg);
            break;
        case 'd':
            if (!parse_hex_bytes(optarg, dev_id, 8, false))
                return bad("dev_id", optarg);
            have_dev_id = true;
            break;
        case 'c': {
            unsigned m, p, o;
            char tail;
            if (std::sscanf(optarg, "%u,%u,%u%c", &m, &p, &o, &tail) != 3 || m > 255 || p > 255 || o > 255)
                return bad("vcom setting", optarg);
            vcoms.push_back({static_cast<uint8_t>(m), static_cast<uint8_t>(p), static_cast<uint8_t>(o)});
            break;
        }
        case 'L': loopback = true; break;
        case 'B': {
            const std::string w(optarg);
            const size_t eq = w.find('=');
            Wire x;
            if (eq == std::string::npos || !parse_end(w.substr(0, eq), &x.p, &x.ch_p) ||
                !parse_end(w.substr(eq + 1), &x.q, &x.ch_q))
                return bad("bus wire (P.CAN1=Q.CAN2)", optarg);
            wires.push_back(x);
            break;
        }
        case 's':
            if (!parse_int(optarg, 0, 100000000, &stream_count))
                return bad("stream count", optarg);
            break;
        case 'r':
            if (!parse_int(optarg, 0, 1000000, &rate))
                return bad("rate", optarg);
            break;
        case 'S':
            if (!parse_int(optarg, 0, 0xFFFFFFFFL, &seed))
                return bad("seed", optarg);
            break;
        case 'T': index_stamps = true; break;
        case 'I':
            if (!parse_int(optarg, 1, 2048, &stream_ids))
                return bad("identifier count", optarg);
            break;
        case 'C': {
            const std::string text(optarg);
            const size_t c1 = text.find(','), c2 = c1 == std::string::npos ? c1 : text.find(',', c1 + 1);
            const std::string ppm = text.substr(0, c1);
            const std::string jump = c1 == std::string::npos ? "0" : text.substr(c1 + 1, c2 - c1 - 1);
            const std::string every = c2 == std::string::npos ? "1000" : text.substr(c2 + 1);
            if (!parse_int(ppm.c_str(), -100000, 100000, &clock_ppm) ||
                !parse_int(jump.c_str(), -86400000, 86400000, &clock_jump_ms) ||
                !parse_int(every.c_str(), 1, 100000000, &clock_every))
                return bad("clock (PPM[,JUMP_MS[,EVERY]])", optarg);
            have_clock = true;
            break;
        }
        case 'E':
            if (!velk::sim::load_ecu(optarg, &ecu_model, &ecu_error)) {
                std::fprintf(stderr, "velk_sim: %s\n", ecu_error.c_str());
                return 2;
            }
            have_ecu = true;
            break;
        case 'v': verbose = true; break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        default: std::fputs(kUsage, stderr); return 2;
        }
    }
    if (optind < argc)
        return bad("argument", argv[optind]);

    // Signals are taken synchronously by the main loop; block them before the
    // service threads start so they inherit the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    sigaddset(&sigs, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

    const size_t n = static_cast<size_t>(ports * adapters);
    for (const Wire &w : wires) {
        if (static_cast<size_t>(std::max(w.p, w.q)) >= n) {
            std::fprintf(stderr, "velk_sim: bus wire names port %ld; there are %zu ports\n", std::max(w.p, w.q), n);
            return 2;
        }
        if (have_ecu && (w.p == 0 || w.q == 0)) {
            std::fprintf(stderr, "velk_sim: the first port serves the ECU and cannot be wired to a bus\n");
            return 2;
        }
    }
    std::vector<std::unique_ptr<velk::sim::Adapter>> sims;
    for (size_t i = 0; i < n; ++i) {
        auto a = std::make_unique<velk::sim::Adapter>();
        // Runs for days: the record of host frames keeps only the latest.
        a->set_record_limit(kRecordLimit);
        a->set_firmware(fw[0], fw[1]);
        a->set_build_id(model[0], model[1]);
        a->set_loopback(loopback);
        if (have_clock)
            a->set_clock(clock_ppm, int64_t{clock_jump_ms} * 1000, clock_every);
        a->set_stream_ids(static_cast<uint32_t>(stream_ids));
        if (i < vcoms.size())
            a->set_vcom(vcoms[i].mode, vcoms[i].map, vcoms[i].order);
        // Ports of one adapter share the dev_id of its first port.
        if (have_dev_id || i % static_cast<size_t>(ports) != 0) {
            std::array<uint8_t, 8> id;
            if (have_dev_id) {
                std::copy_n(dev_id, 8, id.begin());
                id[7] = static_cast<uint8_t>(id[7] + i / static_cast<size_t>(ports));
            } else {
                const velk::sim::State s = sims[i - 1]->state();
                std::copy_n(s.dev_id, 8, id.begin());
            }
            a->set_dev_id(id);
        }
        if (!a->start()) {
            std::fprintf(stderr, "velk_sim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
            return 1;
        }
        if (i < links.size() && !a->link(links[i])) {
            std::fprintf(stderr, "velk_sim: cannot link %s: %s\n", links[i].c_str(), std::strerror(errno));
            return 1;
        }
        std::printf("%s%s%s\n", a->slave_path().c_str(), i < links.size() ? " " : "",
                    i < links.size() ? links[i].c_str() : "");
        sims.push_back(std::move(a));
    }
    std::fflush(stdout);
    velk::sim::Bus bus;
    for (const Wire &w : wires)
        bus.wire(*sims[static_cast<size_t>(w.p)], w.ch_p, *sims[static_cast<size_t>(w.q)], w.ch_q);
    velk::sim::Ecu ecu;
    if (have_ecu)
        ecu.start(*sims[0], ecu_model);

    std::vector<size_t> shown(n, 0);
    std::vector<bool> streamed(n, false);
    const struct timespec tick = {0, 50 * 1000 * 1000};
    for (;;) {
        const int sig = sigtimedwait(&sigs, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP)
            break;
        for (size_t i = 0; i < n; ++i) {
            if (verbose) {
                for (const velk::sim::Bytes &f : sims[i]->host_frames_since(&shown[i]))
                    print_frame(i, f);
            }
            if (stream_count > 0 && !streamed[i]) {
                const velk::sim::State s = sims[i]->state();
                if (s.active[0] || s.active[1]) {
                    // One clock for every report, as a real adapter has, unless
                    // the reports are to be told apart by their stamps.
                    sims[i]->stream(static_cast<size_t>(stream_count), static_cast<int>(rate),
                                    static_cast<unsigned>(seed), 64,
                                    index_stamps ? velk::sim::Adapter::StreamStamps::Index
                                                 : velk::sim::Adapter::StreamStamps::Clock);
                    streamed[i] = true;
                }
            }
        }
    }
    bus.clear();   // before the adapters it points at go
    ecu.stop();
    sims.clear();  // stops every port and removes the links
    return 0;
}
