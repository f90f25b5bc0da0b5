/* velk_info: connects to an adapter and prints its versions and channel status.
 *
 * Usage: velk_info [-p INDEX] [-d DEVICE]
 *   -p INDEX   port index in the library's device table (default 0, /dev/ttyCAN0)
 *   -d DEVICE  open this device path at the chosen index instead of the table's name
 *   -h         this help
 *
 * Examples:
 *   velk_info                      adapter at /dev/ttyCAN0
 *   velk_info -p 24                adapter at /dev/ttyACM0
 *   velk_info -d /dev/pts/5        adapter (or velk_sim) on a given tty
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "lib_velk_2.h"

static void usage(FILE *out)
{
    fputs("Usage: velk_info [-p INDEX] [-d DEVICE]\n"
          "Connects to a velk adapter and prints its versions and channel status.\n"
          "  -p INDEX   port index in the device table (default 0 = /dev/ttyCAN0)\n"
          "  -d DEVICE  use this device path for the chosen index\n"
          "Examples:\n"
          "  velk_info\n"
          "  velk_info -p 24\n"
          "  velk_info -d /dev/pts/5\n",
          out);
}

int main(int argc, char **argv)
{
    int port = 0;
    const char *device = NULL;
    int opt;
    while ((opt = getopt(argc, argv, "p:d:h")) != -1) {
        switch (opt) {
        case 'p': port = atoi(optarg); break;
        case 'd': device = optarg; break;
        case 'h': usage(stdout); return 0;
        default: usage(stderr); return 2;
        }
    }
    if (port < 0 || port >= VELK_PORT_COUNT) {
        fprintf(stderr, "velk_info: port index %d outside 0..%d\n", port, VELK_PORT_COUNT - 1);
        return 2;
    }
    if (device != NULL)
        comports[port] = device;
    if (VELKOpenDevice(port) != 0) {
        fprintf(stderr, "velk_info: no adapter answers at %s\n", comports[port]);
        return 1;
    }
    VER_INFO ver = {{0}, {0}, {0}};
    int s1 = 0, s2 = 0;
    int ver_ok = VELKShowVer(port, &ver) == 0;
    int sts_ok = VELKGetCANStatus(port, &s1, &s2) == 0;
    printf("device:   %s\n", comports[port]);
    printf("firmware: %s\n", ver_ok ? ver.fw : "?");
    printf("library:  %s\n", ver.api);
    printf("model:    %s\n", ver_ok ? ver.model : "?");
    if (sts_ok)
        printf("CAN 1:    %s\nCAN 2:    %s\n", s1 ? "active" : "inactive", s2 ? "active" : "inactive");
    else
        printf("channel status: no answer\n");
    VELKCloseDevice(port);
    return ver_ok && sts_ok ? 0 : 1;
}
