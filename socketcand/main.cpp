// velk_socketcand: serves the adapter's channels over TCP in socketcand's
// protocol, to python-can, Kayak, SavvyCAN and other socketcand clients.
#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "adapter_link.h"
#include "server.h"

using namespace velk;
using namespace velk::netd;

namespace {

const char kProg[] = "velk_socketcand";

const char kUsage[] =
    "Usage: velk_socketcand [options] PORT\n"
    "\n"
    "Serves the adapter at PORT (a port index 0-67 or a device path) over TCP in\n"
    "socketcand's protocol: each channel is a bus (can0 = CAN1, can1 = CAN2), and\n"
    "any number of clients may open the same bus; every client gets every frame\n"
    "of its bus, and a frame one client sends is seen by the others. Raw mode,\n"
    "broadcast-manager mode (cyclic sends, subscriptions, content filters) and\n"
    "control mode (statistics) are served; CAN FD frames travel as\n"
    "'< fdframe ... >' and '< sendfd ... >'.\n"
    "\n"
    "Security: the protocol has no authentication. The server listens on\n"
    "loopback (127.0.0.1) only, unless -l names another address; with -a only\n"
    "clients from the networks given are let in.\n"
    "\n"
    "Options:\n"
    "  -l ADDRESS      listen on this IPv4 address (0.0.0.0: all; default 127.0.0.1)\n"
    "  -p TCPPORT      TCP port (default 29536)\n"
    "  -a NET[,NET]    allow only clients from these networks (A.B.C.D/N or an\n"
    "                  address; may be repeated)\n"
    "  -N NAME1,NAME2  bus names of CAN1 and CAN2 (default can0,can1); a name '-'\n"
    "                  leaves that channel stopped and unserved\n"
    "  -L              listen-only (both channels)\n"
    "%s"
    "  -m COUNT        at most COUNT clients at once (default 64)\n"
    "  -Q KIB          frames queued per client before its frames are dropped\n"
    "                  (KiB of protocol text, default 256)\n"
    "  -t SECONDS      close clients that open no bus within SECONDS (default 30)\n"
    "  --beacon[=ADDRESS[:UDPPORT]]\n"
    "                  send the discovery beacon every 2 s (default: broadcast,\n"
    "                  or 127.255.255.255 when listening on loopback; port 42000)\n"
    "  -q              log nothing about clients (errors still go to stderr)\n"
    "  -h              this help\n"
    "\n"
    "A client that does not read loses its own frames, counted in its statistics\n"
    "and in the log; nobody else waits for it. When the adapter is unplugged its\n"
    "clients are closed with the reason, and it is served again once it is back.\n"
    "Ctrl-C or SIGTERM stops. Exit status: 0 stopped, 1 the adapter or the network\n"
    "failed, 2 bad usage or no adapter at PORT.\n"
    "\n"
    "Examples:\n"
    "  velk_socketcand /dev/ttyACM0\n"
    "      both channels as the adapter is set, for clients on this machine\n"
    "  velk_socketcand -b 500k -d 2M -l 0.0.0.0 -a 192.168.7.0/24 24\n"
    "      500 kbit/s with CAN FD at 2 Mbit/s, for the test bench network only\n"
    "  python3 -c 'import can; b = can.Bus(interface=\"socketcand\", host=\"127.0.0.1\",\n"
    "      port=29536, channel=\"can0\"); print(b.recv(5))'\n"
    "      a python-can client on can0\n";

bool valid_bus_name(const std::string &n)
{
    if (n.empty() || n.size() > kMaxBusName)
        return false;
    for (char c : n)
        if (c <= ' ' || c > '~' || c == '<' || c == '>' || c == '"' || c == '&' || c == '\'')
            return false;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    LinkOptions link;
    ServerOptions server;
    server.watch_stop_signals = true;
    const std::string optstring = std::string("l:p:a:N:Lm:Q:t:qh") + tools::kChannelOptions;
    static const option kLong[] = {{"beacon", optional_argument, nullptr, 'B'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int opt;
    long long v;
    while ((opt = getopt_long(argc, argv, optstring.c_str(), kLong, nullptr)) != -1) {
        switch (opt) {
        case 'l': server.listen_address = optarg; break;
        case 'p':
            if (!tools::parse_long(optarg, 0, 65535, &v))
                return tools::usage_error(kProg, "bad TCP port", optarg);
            server.port = static_cast<int>(v);
            break;
        case 'a':
            if (!parse_networks(optarg, &server.allow))
                return tools::usage_error(kProg, "bad network (A.B.C.D/N)", optarg);
            break;
        case 'N': {
            const std::string s(optarg);
            const size_t comma = s.find(',');
            if (comma == std::string::npos)
                return tools::usage_error(kProg, "bad bus names (NAME1,NAME2)", optarg);
            const std::string n[2] = {s.substr(0, comma), s.substr(comma + 1)};
            for (int c = 0; c < 2; ++c) {
                if (n[c] == "-") {
                    link.served[c] = false;
                    continue;
                }
                if (!valid_bus_name(n[c]))
                    return tools::usage_error(kProg, "bad bus name (1-16 characters, no spaces)", n[c].c_str());
                link.names[c] = n[c];
            }
            if ((!link.served[0] && !link.served[1]) || (link.served[0] && link.served[1] && n[0] == n[1]))
                return tools::usage_error(kProg, "bad bus names (NAME1,NAME2)", optarg);
            break;
        }
        case 'L': link.setup.listen = true; break;
        case 'm':
            if (!tools::parse_long(optarg, 1, 100000, &v))
                return tools::usage_error(kProg, "bad client count", optarg);
            server.max_clients = static_cast<size_t>(v);
            break;
        case 'Q':
            if (!tools::parse_long(optarg, 1, 1 << 20, &v))
                return tools::usage_error(kProg, "bad queue size", optarg);
            server.queue_bytes = static_cast<size_t>(v) * 1024;
            break;
        case 't':
            if (!tools::parse_long(optarg, 1, 86400, &v))
                return tools::usage_error(kProg, "bad time", optarg);
            server.hello_timeout_ms = static_cast<int>(v * 1000);
            break;
        case 'B':
            server.beacon = true;
            server.beacon_address = optarg ? optarg : "";
            break;
        case 'q': server.verbose = false; break;
        default:
            if (const int status = tools::common_option(kProg, kUsage, opt, optarg, &link.setup); status >= 0)
                return status;
        }
    }
    if (optind >= argc) {
        std::fprintf(stderr, "%s: no PORT given (try -h)\n", kProg);
        return tools::kBadInput;
    }
    if (optind + 1 < argc)
        return tools::usage_error(kProg, "one PORT only", argv[optind + 1]);
    link.port_name = argv[optind];

    AdapterLink adapter(link);
    Server srv(&adapter, server);
    std::string why;
    if (!srv.listen_now(&why)) {
        std::fprintf(stderr, "%s: %s\n", kProg, why.c_str());
        return tools::kFailed;
    }
    if (const int status = adapter.start(); status != tools::kOk)
        return status;
    std::string buses;
    for (int c = 0; c < 2; ++c)
        if (link.served[c])
            buses += (buses.empty() ? "" : ", ") + link.names[c] + (c == 0 ? " (CAN1)" : " (CAN2)");
    std::printf("%s: listening on %s:%d, buses %s\n", kProg, server.listen_address.c_str(), srv.port(),
                buses.c_str());
    std::fflush(stdout);
    const int status = srv.run();
    adapter.stop();
    const ServerCounters &k = srv.counters();
    std::fprintf(stderr, "%s: %llu clients served, %llu refused, %llu frames dropped for slow clients\n", kProg,
                 k.accepted.load(), k.refused.load(), k.dropped.load());
    return status;
}
