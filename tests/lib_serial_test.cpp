// Serial port layer on real pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "serial.h"

namespace {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;
    Pty()
    {
        char name[64];
        struct termios raw;
        cfmakeraw(&raw);
        if (openpty(&master, &slave, name, &raw, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        if (slave >= 0)
            close(slave);
        if (master >= 0)
            close(master);
    }
};

bool wait_readable(int fd)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv = {2, 0};
    return select(fd + 1, &set, nullptr, nullptr, &tv) == 1;
}

TEST(SerialOpen, RejectsRatesAndModesBeforeTouchingTheDevice)
{
    // A missing device would fail at open; these fail earlier and leave nothing open.
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 128000, "8N1"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9601, "8N1"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, "8N"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, "8N11"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, "9N1"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, "8X1"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, "8N3"), -1);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, nullptr), -1);
    // Nothing was left holding the lock: a valid open works now.
    int fd = RS232_OpenComport(pty.path.c_str(), 9600, "8N1");
    ASSERT_GE(fd, 0);
    RS232_CloseComport(fd);
}

TEST(SerialOpen, AcceptsEveryModeAndTheFastestLinuxRate)
{
    Pty pty;
    for (const char *mode : {"8n1", "7E2", "6o1", "5N2"}) {
        int fd = RS232_OpenComport(pty.path.c_str(), 4000000, mode);
        ASSERT_GE(fd, 0) << mode;
        RS232_CloseComport(fd);
    }
}

TEST(SerialOpen, PortWithoutModemLinesOpensRawAndImmediate)
{
    Pty pty;
    int fd = RS232_OpenComport(pty.path.c_str(), 9600, "8N1");
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(cfgetospeed(&t), B9600);
    RS232_CloseComport(fd);
}

TEST(SerialOpen, MissingDeviceFails)
{
    EXPECT_EQ(RS232_OpenComport("/dev/velk-no-such-device", 9600, "8N1"), -1);
}

TEST(SerialOpen, SecondOpenOfTheSameDeviceFailsAtTheLock)
{
    Pty pty;
    int fd = RS232_OpenComport(pty.path.c_str(), 9600, "8N1");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(RS232_OpenComport(pty.path.c_str(), 9600, "8N1"), -1);
    RS232_CloseComport(fd);
    int again = RS232_OpenComport(pty.path.c_str(), 9600, "8N1");
    EXPECT_GT(again, 0);
    RS232_CloseComport(again);
}

TEST(SerialIo, ImmediateReadReturnsWhatIsWaitingAndBlockingWaitsForAByte)
{
    Pty pty;
    int fd = RS232_OpenComport(pty.path.c_str(), 9600, "8N1");
    ASSERT_GE(fd, 0);
    unsigned char buf[8];
    EXPECT_EQ(RS232_PollComport(fd, buf, sizeof(buf)), 0);

    ASSERT_EQ(write(pty.master, "\x01\x02\x03", 3), 3);
    // The line discipline hands the bytes over asynchronously: wait for them.
    ASSERT_TRUE(wait_readable(fd));
    EXPECT_EQ(RS232_PollComport(fd, buf, 2), 2);
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[1], 2);

    ASSERT_EQ(RS232_SetRecvBlock(fd, 1), 0);
    struct termios t;
    tcgetattr(fd, &t);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    EXPECT_EQ(RS232_PollComport(fd, buf, 8), 1);  // the byte still waiting
    EXPECT_EQ(buf[0], 3);
    ASSERT_EQ(RS232_SetRecvBlock(fd, 0), 0);
    EXPECT_EQ(RS232_PollComport(fd, buf, 8), 0);
    RS232_CloseComport(fd);
}

TEST(SerialIo, WriteReachesThePeerAndFlushDiscardsInput)
{
    Pty pty;
    int fd = RS232_OpenComport(pty.path.c_str(), 9600, "8N1");
    ASSERT_GE(fd, 0);
    unsigned char out[] = {0x61, 0x01, 0x01, 0x63, 0x0D, 0x0A};
    EXPECT_EQ(RS232_SendBuf(fd, out, sizeof(out)), 6);
    unsigned char in[6];
    ssize_t got = 0;
    while (got < 6) {
        ssize_t n = read(pty.master, in + got, sizeof(in) - static_cast<size_t>(got));
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(0, memcmp(in, out, 6));

    ASSERT_EQ(write(pty.master, "zz", 2), 2);
    ASSERT_TRUE(wait_readable(fd));
    RS232_flushRX(fd);
    unsigned char buf[4];
    EXPECT_EQ(RS232_PollComport(fd, buf, sizeof(buf)), 0);
    RS232_CloseComport(fd);
}

TEST(SerialIo, WriteToAClosedDescriptorFails)
{
    unsigned char b = 0;
    EXPECT_EQ(RS232_SendBuf(-1, &b, 1), -1);
    EXPECT_EQ(RS232_PollComport(-1, &b, 1), 0);
}

}  // namespace
