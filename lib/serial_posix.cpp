// Serial port layer, POSIX terminal variant.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "serial.h"

namespace {

// One terminal-settings record for the process: filled by the open, changed
// by the blocking switch, cleared by the close.
struct termios port_settings;

struct RateEntry {
    int rate;
    speed_t speed;
};

constexpr RateEntry kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool map_rate(int rate, speed_t *speed)
{
    for (const RateEntry &e : kRates) {
        if (e.rate == rate) {
            *speed = e.speed;
            return true;
        }
    }
    return false;
}

uint64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// Pseudo-terminals and other virtual ports have no modem lines.
bool no_modem_lines(int err)
{
    return err == ENOTTY || err == EINVAL;
}

int fail_open(int fd, int line, const char *msg)
{
    showDebugMsg(line, "RS232_OpenComport", msg);
    flock(fd, LOCK_UN);
    close(fd);
    return -1;
}

}  // namespace

extern "C" {

int RS232_OpenComport(const char *devname, int baudrate, const char *mode)
{
    speed_t speed;
    if (!map_rate(baudrate, &speed)) {
        showDebugMsg(__LINE__, "RS232_OpenComport", "invalid baudrate");
        return -1;
    }
    if (mode == nullptr || std::strlen(mode) != 3) {
        showDebugMsg(__LINE__, "RS232_OpenComport", "invalid mode");
        return -1;
    }
    tcflag_t cflags = CLOCAL | CREAD;
    switch (mode[0]) {
    case '8': cflags |= CS8; break;
    case '7': cflags |= CS7; break;
    case '6': cflags |= CS6; break;
    case '5': cflags |= CS5; break;
    default:
        showDebugMsg(__LINE__, "RS232_OpenComport", "invalid number of data-bits");
        return -1;
    }
    tcflag_t iflags = 0;
    switch (mode[1]) {
    case 'N':
    case 'n': iflags = IGNPAR; break;
    case 'E':
    case 'e':
        cflags |= PARENB;
        iflags = INPCK;
        break;
    case 'O':
    case 'o':
        cflags |= PARENB | PARODD;
        iflags = INPCK;
        break;
    default:
        showDebugMsg(__LINE__, "RS232_OpenComport", "invalid parity");
        return -1;
    }
    switch (mode[2]) {
    case '1': break;
    case '2': cflags |= CSTOPB; break;
    default:
        showDebugMsg(__LINE__, "RS232_OpenComport", "invalid number of stop bits");
        return -1;
    }
    if (devname == nullptr) {
        showDebugMsg(__LINE__, "RS232_OpenComport", "unable to open comport");
        return -1;
    }

    // Close-on-exec: a child program of the host must not inherit the port
    // and, with it, the lock.
    int fd = open(devname, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd == -1) {
        showDebugMsg(__LINE__, "RS232_OpenComport", "unable to open comport");
        return -1;
    }
    // The lock belongs to the open file description, so a second open of the
    // same device by this process fails here as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        showDebugMsg(__LINE__, "RS232_OpenComport", "Another process has locked the comport");
        return -1;
    }
    if (tcgetattr(fd, &port_settings) == -1)
        return fail_open(fd, __LINE__, "unable to read portsettings");

    std::memset(&port_settings, 0, sizeof(port_settings));
    port_settings.c_cflag = cflags;
    port_settings.c_iflag = iflags;
    port_settings.c_oflag = 0;
    port_settings.c_lflag = 0;
    port_settings.c_cc[VMIN] = 0;
    port_settings.c_cc[VTIME] = 0;
    cfsetispeed(&port_settings, speed);
    cfsetospeed(&port_settings, speed);
    if (tcsetattr(fd, TCSANOW, &port_settings) == -1)
        return fail_open(fd, __LINE__, "unable to adjust portsettings");

    int status;
    if (ioctl(fd, TIOCMGET, &status) == -1) {
        if (!no_modem_lines(errno))
            return fail_open(fd, __LINE__, "unable to get portstatus");
        return fd;
    }
    status |= TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, TIOCMSET, &status) == -1 && !no_modem_lines(errno))
        return fail_open(fd, __LINE__, "unable to set portstatus");
    return fd;
}

int RS232_PollComport(int port, unsigned char *buf, int size)
{
    if (buf == nullptr || size <= 0)
        return 0;
    ssize_t n;
    do {
        n = read(port, buf, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? 0 : static_cast<int>(n);
}

int RS232_SendBuf(int port, unsigned char *buf, int size)
{
    if (buf == nullptr || size < 0)
        return -1;
    ssize_t n;
    do {
        n = write(port, buf, static_cast<size_t>(size));
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

void RS232_CloseComport(int port)
{
    // A port without modem lines (a pseudo-terminal) has none to drop.
    int status = 0;
    const bool got = ioctl(port, TIOCMGET, &status) != -1;
    if (got || !no_modem_lines(errno)) {
        if (!got)
            showDebugMsg(__LINE__, "RS232_CloseComport", "unable to get portstatus");
        status &= ~(TIOCM_DTR | TIOCM_RTS);
        if (ioctl(port, TIOCMSET, &status) == -1)
            showDebugMsg(__LINE__, "RS232_CloseComport", "unable to set portstatus");
    }
    std::memset(&port_settings, 0, sizeof(port_settings));
    flock(port, LOCK_UN);
    close(port);
}

void RS232_flushRX(int port)
{
    tcflush(port, TCIFLUSH);
}

// Switches the given port's own settings, so that a second open port or an
// earlier close never leaks another port's (or a cleared) record onto it.
int RS232_SetRecvBlock(int port, int flag)
{
    struct termios settings;
    if (tcgetattr(port, &settings) == -1)
        return -1;
    settings.c_cc[VMIN] = flag ? 1 : 0;
    settings.c_cc[VTIME] = 0;
    int r = tcsetattr(port, TCSANOW, &settings);
    if (r == 0)
        port_settings = settings;
    return r;
}

// A read cannot tell an empty port from a vanished device; the hang-up
// condition of the descriptor can. A hung-up tty also reads as readable:
// the hang-up counts.
int RS232_WaitInput(int port, int timeout_ms)
{
    const uint64_t deadline = now_ms() + static_cast<uint64_t>(timeout_ms < 0 ? 0 : timeout_ms);
    int left_ms = timeout_ms;
    for (;;) {
        struct pollfd p = {port, POLLIN, 0};
        const int r = poll(&p, 1, left_ms);
        if (r > 0)
            return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ? -1 : 1;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
        // A handled signal: wait on for what is left of the time.
        if (timeout_ms >= 0) {
            const uint64_t now = now_ms();
            if (now >= deadline)
                return 0;
            left_ms = static_cast<int>(deadline - now);
        }
    }
}

int RS232_CheckPort(int port)
{
    return RS232_WaitInput(port, 0) < 0 ? -1 : 0;
}

}  // extern "C"
