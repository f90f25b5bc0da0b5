/* velk_search: lists the adapters that answer on the port indices 23 and up,
 * with their versions.
 *
 * Usage: velk_search [-h]
 *
 * Examples:
 *   velk_search                  every adapter on /dev/ttyAMA1, /dev/ttyACM*, ...
 */
#include <stdio.h>
#include <string.h>

#include "lib_velk_2.h"

int main(int argc, char **argv)
{
    if (argc > 1) {
        puts("Usage: velk_search\n"
             "Lists the velk adapters found by the port search (indices 23 and up), with versions.\n"
             "Example:\n  velk_search");
        return strcmp(argv[1], "-h") == 0 ? 0 : 2;
    }
    COM_SEARCH_INFO found = VELK_search_com();
    printf("%d adapter port(s) found\n", found.num);
    for (int i = 0; i < found.num; ++i) {
        int port = found.com[i];
        VER_INFO ver;
        memset(&ver, 0, sizeof(ver));
        if (VELKOpenDevice(port) == 0) {
            VELKShowVer(port, &ver);
            VELKCloseDevice(port);
        }
        printf("%3d  %-16s  FW %s  Lib %s  Model %s\n", port, comports[port], ver.fw, ver.api, ver.model);
    }
    return 0;
}
