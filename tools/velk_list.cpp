// velk_list: the adapters found, with their port index, device and versions.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "tool_common.h"

using namespace velk::tools;

namespace {

const char kProg[] = "velk_list";

const char kUsage[] =
    "Usage: velk_list [DEVICE...]\n"
    "\n"
    "Lists the adapters that answer, one line each: port index, device,\n"
    "firmware, library and model versions. Without DEVICE every port of the\n"
    "library's device table whose device exists is tried (0-15 /dev/ttyCAN*,\n"
    "16-21 /dev/ttyUSB*, 22-23 /dev/ttyAMA*, 24-39 /dev/ttyACM*, ...); each\n"
    "adapter found takes about a second to identify. A DEVICE is a port index\n"
    "or a device path; every DEVICE given that is missing or does not answer\n"
    "is named on standard error, after the list of those that answer.\n"
    "\n"
    "Exit status: 0 every DEVICE given answers (without DEVICE: at least one\n"
    "adapter found), 1 a DEVICE is missing or does not answer (without DEVICE:\n"
    "none found), 2 bad usage (an unknown option, a port index out of range).\n"
    "\n"
    "Examples:\n"
    "  velk_list\n"
    "  velk_list /dev/serial/by-id/usb-*\n";

void print(int port)
{
    VER_INFO ver;
    std::memset(&ver, 0, sizeof ver);
    const bool ok = VELKShowVer(port, &ver) == 0;
    std::printf("%5d  %-24s  %-8s  %-8s  %s\n", port, comports[port], ok ? ver.fw : "?", ver.api,
                ok ? ver.model : "?");
}

}  // namespace

int main(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "h")) != -1) {
        if (opt == 'h') {
            std::fputs(kUsage, stdout);
            return kOk;
        }
        std::fputs(kUsage, stderr);
        return kBadInput;
    }
    std::vector<int> ports;
    std::vector<std::string> missing;
    for (int i = optind; i < argc; ++i) {
        int port;
        std::string why;
        if (port_for(argv[i], &port, &why)) {
            ports.push_back(port);
        } else if (argv[i][0] >= '0' && argv[i][0] <= '9') {
            // A port index out of range is a usage error, not a missing device.
            std::fprintf(stderr, "%s: %s\n", kProg, why.c_str());
            return kBadInput;
        } else {
            missing.push_back(why);
        }
    }
    if (optind == argc) {
        // The port search covers index 23 and up; the lower indices are
        // probed the same way where their device exists.
        for (int i = 0; i < 23; ++i)
            if (access(comports[i], F_OK) == 0)
                ports.push_back(i);
    }
    std::printf("%5s  %-24s  %-8s  %-8s  %s\n", "index", "device", "firmware", "library", "model");
    int found = 0;
    for (int port : ports) {
        if (!retry_once([&] { return VELKOpenDevice(port); })) {
            if (optind < argc)
                missing.push_back(std::string("no adapter answers at ") + comports[port]);
            continue;
        }
        print(port);
        VELKCloseDevice(port);
        ++found;
    }
    if (optind == argc) {
        const COM_SEARCH_INFO s = VELK_search_com();
        for (int i = 0; i < s.num; ++i) {
            if (!retry_once([&] { return VELKOpenDevice(s.com[i]); }))
                continue;
            print(s.com[i]);
            VELKCloseDevice(s.com[i]);
            ++found;
        }
    }
    std::fflush(stdout);
    for (const std::string &m : missing)
        std::fprintf(stderr, "%s: %s\n", kProg, m.c_str());
    if (found == 0 && optind == argc)
        std::fprintf(stderr, "%s: no adapter found\n", kProg);
    return found > 0 && missing.empty() ? kOk : kFailed;
}
