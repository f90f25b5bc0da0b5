// The Linux build's exported tables: the device name behind each port index
// and the pacing before each channel's frames (microseconds); the name of a
// port for the diagnostics.
#include "internal.h"

extern "C" {

#define VELK_NAMES16(prefix)                                                                              \
    prefix "0", prefix "1", prefix "2", prefix "3", prefix "4", prefix "5", prefix "6", prefix "7", prefix "8", \
        prefix "9", prefix "10", prefix "11", prefix "12", prefix "13", prefix "14", prefix "15"

const char *comports[68] = {
    VELK_NAMES16("/dev/ttyCAN"),
    "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2", "/dev/ttyUSB3", "/dev/ttyUSB4", "/dev/ttyUSB5",
    "/dev/ttyAMA0", "/dev/ttyAMA1",
    VELK_NAMES16("/dev/ttyACM"),
    "/dev/rfcomm0", "/dev/rfcomm1",
    "/dev/ircomm0", "/dev/ircomm1",
    "/dev/cuau0", "/dev/cuau1", "/dev/cuau2", "/dev/cuau3",
    "/dev/cuaU0", "/dev/cuaU1", "/dev/cuaU2", "/dev/cuaU3",
    VELK_NAMES16("/dev/serusb"),
};

int send_delay[2] = {100, 100};

}  // extern "C"

namespace velk {

const char *port_name(int com_port, char *buf, size_t size)
{
    (void)buf;
    (void)size;
    return comports[com_port] != nullptr ? comports[com_port] : "(no device name)";
}

}  // namespace velk
