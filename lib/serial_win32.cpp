// Serial port layer, Win32 communications variant: ports are handles opened
// by name ("\\.\COM24"), configured from a BuildCommDCBA settings text.
#include <cstdio>
#include <cstring>

#include "serial.h"

namespace {

// Bit rates the Windows layer accepts; anything else is refused before the
// device is touched.
constexpr int kRates[] = {110,   300,   600,    1200,   2400,   4800,   9600,   19200,
                          38400, 57600, 115200, 128000, 256000, 500000, 1000000};

bool rate_accepted(int baudrate)
{
    for (int r : kRates)
        if (r == baudrate)
            return true;
    return false;
}

void report(int line, const char *msg)
{
    showDebugMsg(line, "RS232_OpenComport", msg);
}

}  // namespace

extern "C" {

HANDLE RS232_OpenComport(const char *devname, int baudrate, const char *mode, int read_wait)
{
    if (!rate_accepted(baudrate)) {
        report(__LINE__, "invalid baudrate");
        return VELK_NO_PORT;
    }
    if (mode == nullptr || std::strlen(mode) != 3) {
        report(__LINE__, "invalid mode");
        return VELK_NO_PORT;
    }
    if (mode[0] < '5' || mode[0] > '8') {
        report(__LINE__, "invalid number of data-bits");
        return VELK_NO_PORT;
    }
    char parity;
    switch (mode[1]) {
    case 'N':
    case 'n':
        parity = 'n';
        break;
    case 'E':
    case 'e':
        parity = 'e';
        break;
    case 'O':
    case 'o':
        parity = 'o';
        break;
    default:
        report(__LINE__, "invalid parity");
        return VELK_NO_PORT;
    }
    if (mode[2] != '1' && mode[2] != '2') {
        report(__LINE__, "invalid number of stop bits");
        return VELK_NO_PORT;
    }

    // e.g. "baud=9600 data=8 parity=n stop=1 dtr=on rts=on"
    char settings[64];
    std::snprintf(settings, sizeof(settings), "baud=%d data=%c parity=%c stop=%c dtr=on rts=on", baudrate, mode[0],
                  parity, mode[2]);

    HANDLE port = CreateFileA(devname, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) {
        report(__LINE__, "unable to open comport");
        return VELK_NO_PORT;
    }

    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!BuildCommDCBA(settings, &dcb)) {
        report(__LINE__, "unable to set comport dcb settings");
        CloseHandle(port);
        return VELK_NO_PORT;
    }
    if (!SetCommState(port, &dcb)) {
        report(__LINE__, "unable to set comport cfg settings");
        CloseHandle(port);
        return VELK_NO_PORT;
    }

    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof(timeouts));
    if (read_wait == 0) {
        // A read returns at once with what is waiting.
        timeouts.ReadIntervalTimeout = MAXDWORD;
    } else {
        // A read waits at most 1 ms for the count asked for.
        timeouts.ReadTotalTimeoutConstant = 1;
    }
    if (!SetCommTimeouts(port, &timeouts)) {
        report(__LINE__, "unable to set comport time-out settings");
        CloseHandle(port);
        return VELK_NO_PORT;
    }
    return port;
}

int RS232_PollComport(HANDLE port, unsigned char *buf, int size)
{
    if (size <= 0)
        return 0;
    DWORD got = 0;
    if (!ReadFile(port, buf, static_cast<DWORD>(size), &got, nullptr))
        return 0;
    return static_cast<int>(got);
}

int RS232_SendBuf(HANDLE port, unsigned char *buf, int size)
{
    if (size < 0)
        return -1;
    DWORD sent = 0;
    if (!WriteFile(port, buf, static_cast<DWORD>(size), &sent, nullptr))
        return -1;
    return static_cast<int>(sent);
}

BOOL RS232_CloseComport(HANDLE port)
{
    return CloseHandle(port);
}

BOOL RS232_flushRX(HANDLE port)
{
    return PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR);
}

// Read behaviour is fixed at open by read_wait; there is nothing to switch.
int RS232_SetRecvBlock(HANDLE port, int flag)
{
    (void)port;
    (void)flag;
    return -1;
}

}  // extern "C"
