// Bad input to every exported function: port indices outside the table or
// not open, null pointers, channels, DLCs and flag values out of range. Each
// call gives its failure result and touches nothing it should not (the suite
// also runs under AddressSanitizer and UndefinedBehaviorSanitizer). Also a
// host process started with standard input closed.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "test_support.h"

namespace velk::test {
namespace {

const int kBadPorts[] = {-1, VELK_PORT_COUNT, INT_MIN, INT_MAX, 5 /* valid, not open */};

CAN_FRAME_INFO data_frame(int channel, int dlc)
{
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    f.CAN_port = channel;
    f.id_type = VELK_SID;
    f.dlc = dlc;
    f.fdf = 1;
    f.id = 0x123;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<unsigned char>(i + 1);
    return f;
}

std::string temp_path(const char *tag)
{
    return "/tmp/velk-rel-" + std::string(tag) + "-" + std::to_string(getpid());
}

class BadInput : public OpenAdapter {
protected:
    void TearDown() override
    {
        enable_send_queue = false;
        OpenAdapter::TearDown();
    }
};

TEST_F(BadInput, EveryCallOnAPortThatIsNotOpenFailsAndWritesNothing)
{
    const std::string cfg_file = temp_path("import");
    {
        FILE *f = std::fopen(cfg_file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        const unsigned char words[92] = {1};
        std::fwrite(words, 1, sizeof(words), f);
        std::fclose(f);
    }
    const std::string exp_file = temp_path("export");
    for (int port : kBadPorts) {
        SCOPED_TRACE(port);
        VER_INFO ver;
        int s1 = 7, s2 = 7;
        unsigned char id[2] = {0xEE, 0xEE};
        FILTER_INFO flt = {VELK_CAN_1, VELK_SID, 1, 2};
        CFG_INFO cfg;
        CANFD_CFG_INFO fdcfg;
        CFG_CANFD fd = {2, 1, 2, 1};
        TIMING_CFG_CANFD timing;
        std::memset(&timing, 0, sizeof(timing));
        VCOM_CFG_INFO vcom;
        CAN_FRAME_INFO frame = data_frame(VELK_CAN_1, 8);
        TESTING_INFO raw;
        std::memset(&raw, 0, sizeof(raw));
        raw.send_len = 4;
        std::memcpy(raw.send_buf, show_ver_cmd, 4);
        unsigned char reply[7];
        raw.recv_len = sizeof(reply);
        raw.recv_buf = reply;
        CAN_FRAME_INFO records[2];
        NON_BLOCK_INFO nb = {2, 0, records};
        RANGE_FILTER_INFO t1, t2;
        std::memset(&t1, 0, sizeof(t1));
        std::memset(&t2, 0, sizeof(t2));
        int fdesc = -7;

        EXPECT_EQ(VELKOpenDevice(port), 1);
        EXPECT_EQ(VELKOpenDeviceSCT(port), 1);
        EXPECT_EQ(VELKOpenSocketCAN(port, &fdesc), 1);
        EXPECT_EQ(fdesc, -7);
        EXPECT_EQ(VELKCloseDevice(port), 1);
        EXPECT_EQ(VELKInitCAN(port, VELK_ACTIVE, VELK_ACTIVE), 1);
        EXPECT_EQ(VELKShowVer(port, &ver), 1);
        EXPECT_EQ(VELKGetCANStatus(port, &s1, &s2), 1);
        EXPECT_EQ(s1, 7);
        EXPECT_EQ(VELKGetBLDID(port, id), 1);
        EXPECT_EQ(id[0], 0xEE);
        EXPECT_EQ(VELKResetCAN(port), 1);
        EXPECT_EQ(VELKSetBaudRate(port, 7, 7), 1);
        EXPECT_EQ(VELKSetMode(port, 0, 0), 1);
        EXPECT_EQ(VELKSetErrorType(port, 0), 1);
        EXPECT_EQ(VELKSetFilter(port, &flt), 1);
        EXPECT_EQ(VELKClearFilter(port, 0), 1);
        EXPECT_EQ(VELKGetCfg(port, &cfg), 1);
        EXPECT_EQ(VELKGetCFG_CANFD(port, &fdcfg), 1);
        EXPECT_EQ(VELKSetCFG_CANFD(port, &fd), 1);
        EXPECT_EQ(VELKSet_TimingCFG_CANFD(port, &timing), 1);
        EXPECT_EQ(VELKGet_TimingCFG_CANFD(port, &timing, 0), 1);
        unlink(exp_file.c_str());
        EXPECT_EQ(VELKExpCfg(port, exp_file.c_str()), 1);
        EXPECT_NE(access(exp_file.c_str(), F_OK), 0) << "no file for a failed export";
        EXPECT_EQ(VELKImpCfg(port, cfg_file.c_str()), 1);
        EXPECT_EQ(VELKGetVCOMConfig(port, &vcom), 1);
        EXPECT_EQ(VELKSetVCOMConfig(port, 1), 1);
        EXPECT_EQ(VELKFlexibleVCOM(port), 1);
        EXPECT_EQ(VELKCheckDevice(port), 1);
        unsigned long long skipped = 5, dropped = 5;
        EXPECT_EQ(VELKGetInputStats(port, &skipped, &dropped), 1);
        EXPECT_EQ(skipped + dropped, 10u) << "nothing written for a port that is not open";
        EXPECT_EQ(VELKSend(port, &frame), 1);
        EXPECT_EQ(VELKSend_CANFD(port, &frame), 1);
        EXPECT_EQ(VELKTesting(port, &raw), 1);
        EXPECT_EQ(VELKReceive(port, &frame), 0);
        EXPECT_EQ(VELKReceive_CANFD(port, &frame), 0);
        EXPECT_EQ(VELKReceiveNonblock(port, &nb), 0);
        EXPECT_EQ(VELKGetBusError(port), 1);
        EXPECT_EQ(VELKSetRecvBlock(port, true), -1);
        EXPECT_EQ(VELKInitRangeFilter(port, 2, 2), 1);
        EXPECT_EQ(VELKGetRangeFilter(port, &t1, &t2), 1);
        EXPECT_EQ(VELKSetRangeFilter(port, &t1, &t2), 1);
    }
    unlink(cfg_file.c_str());
    EXPECT_TRUE(sim().host_bytes().empty()) << "nothing reached the open adapter";
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->next, nullptr) << "no node was added";
}

TEST_F(BadInput, NullPointersFailWithoutAFrame)
{
    int s = 0;
    EXPECT_EQ(VELKShowVer(kPort, nullptr), 1);
    EXPECT_EQ(VELKGetCANStatus(kPort, nullptr, &s), 1);
    EXPECT_EQ(VELKGetCANStatus(kPort, &s, nullptr), 1);
    EXPECT_EQ(VELKGetBLDID(kPort, nullptr), 1);
    EXPECT_EQ(VELKSetFilter(kPort, nullptr), 1);
    EXPECT_EQ(VELKGetCfg(kPort, nullptr), 1);
    EXPECT_EQ(VELKGetCFG_CANFD(kPort, nullptr), 1);
    EXPECT_EQ(VELKSetCFG_CANFD(kPort, nullptr), 1);
    EXPECT_EQ(VELKSet_TimingCFG_CANFD(kPort, nullptr), 1);
    EXPECT_EQ(VELKGet_TimingCFG_CANFD(kPort, nullptr, 0), 1);
    EXPECT_EQ(VELKExpCfg(kPort, nullptr), 1);
    EXPECT_EQ(VELKImpCfg(kPort, nullptr), 1);
    EXPECT_EQ(VELKGetVCOMConfig(kPort, nullptr), 1);
    EXPECT_EQ(VELKSend(kPort, nullptr), 1);
    EXPECT_EQ(VELKSend_CANFD(kPort, nullptr), 1);
    EXPECT_EQ(VELKTesting(kPort, nullptr), 1);
    EXPECT_EQ(VELKReceive(kPort, nullptr), 0);
    EXPECT_EQ(VELKReceive_CANFD(kPort, nullptr), 0);
    EXPECT_EQ(VELKReceiveNonblock(kPort, nullptr), 0);
    NON_BLOCK_INFO nb = {4, 0, nullptr};
    EXPECT_EQ(VELKReceiveNonblock(kPort, &nb), 0);
    RANGE_FILTER_INFO t;
    std::memset(&t, 0, sizeof(t));
    EXPECT_EQ(VELKGetRangeFilter(kPort, nullptr, &t), 1);
    EXPECT_EQ(VELKGetRangeFilter(kPort, &t, nullptr), 1);
    // Both tables are optional when setting.
    EXPECT_EQ(VELKSetRangeFilter(kPort, nullptr, nullptr), 0);

    // A raw command that asks for a reply without a buffer, or whose length
    // is outside its buffer, is refused.
    TESTING_INFO raw;
    std::memset(&raw, 0, sizeof(raw));
    raw.send_len = 4;
    raw.recv_len = 7;
    raw.recv_buf = nullptr;
    EXPECT_EQ(VELKTesting(kPort, &raw), 1);
    unsigned char reply[8];
    raw.recv_buf = reply;
    for (int len : {-1, 257, INT_MAX, INT_MIN}) {
        raw.send_len = len;
        EXPECT_EQ(VELKTesting(kPort, &raw), 1) << len;
    }
    raw.send_len = 4;
    raw.recv_len = -1;
    EXPECT_EQ(VELKTesting(kPort, &raw), 1);
    EXPECT_TRUE(sim().host_bytes().empty());
}

TEST_F(BadInput, ChannelsOutsideTheTwoAreRefusedWithoutAFrame)
{
    enable_send_queue = false;
    for (int ch : {2, 3, -1, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(ch);
        CAN_FRAME_INFO f = data_frame(ch, 8);
        EXPECT_EQ(VELKSend(kPort, &f), 1);
        EXPECT_EQ(VELKSend_CANFD(kPort, &f), 1);
        FILTER_INFO flt = {ch, VELK_SID, 1, 2};
        EXPECT_EQ(VELKSetFilter(kPort, &flt), 1);
        EXPECT_EQ(VELKClearFilter(kPort, ch), 1);
    }
    // The queue refuses them too, before taking a slot.
    SEND_QUEUE_ITEM slots[4];
    can_frame_queue = slots;
    size_send_queue = 4;
    rear = front = -1;
    enable_send_queue = true;
    CAN_FRAME_INFO f = data_frame(INT_MIN, 8);
    EXPECT_EQ(VELKSend(kPort, &f), 1);
    EXPECT_EQ(VELKSend_CANFD(kPort, &f), 1);
    EXPECT_EQ(rear, -1);
    enable_send_queue = false;
    can_frame_queue = nullptr;
    size_send_queue = 0;

    // A timing set above 2 is refused and the record is left as it was.
    TIMING_CFG_CANFD t;
    std::memset(&t, 0x5A, sizeof(t));
    for (int sel : {3, 255}) {
        EXPECT_EQ(VELKGet_TimingCFG_CANFD(kPort, &t, static_cast<unsigned char>(sel)), 1);
        EXPECT_EQ(t.param5, 0x5A);
    }
    EXPECT_TRUE(sim().host_bytes().empty());
}

TEST_F(BadInput, FdFrameWithAnyDlcStaysInsideItsBuffers)
{
    // DLC codes outside 0..15 and flag values outside 0/1: the frame is at
    // most 74 bytes and carries no byte from beyond the 64-byte payload.
    const int dlcs[] = {-1, -16, 16, 17, 255, 1000, INT_MIN, INT_MAX};
    for (int dlc : dlcs) {
        SCOPED_TRACE(dlc);
        CAN_FRAME_INFO f = data_frame(VELK_CAN_2, dlc);
        f.id_type = INT_MAX;
        f.rtr = INT_MIN;
        f.brs = INT_MAX;
        f.esi = INT_MIN;
        f.fdf = INT_MAX;
        sim().clear_host_frames();
        ASSERT_EQ(VELKSend_CANFD(kPort, &f), 0);
        const size_t n = dlc < 0 ? 8 : 64;
        ASSERT_TRUE(wait_until([&] { return sim().host_bytes().size() >= n + 10; }));
        const Bytes b = sim().host_bytes();
        ASSERT_EQ(b.size(), n + 10);
        EXPECT_EQ(b[0], 0xF0);
        EXPECT_EQ(Bytes(b.begin() + 7, b.begin() + 7 + static_cast<long>(n)), Bytes(f.data, f.data + n));
        uint8_t sum = 0;
        for (size_t i = 0; i < n + 7; ++i)
            sum = static_cast<uint8_t>(sum + b[i]);
        EXPECT_EQ(b[n + 7], sum);
        EXPECT_EQ(b[n + 8], 0x0D);
        EXPECT_EQ(b[n + 9], 0x0A);

        // The classic frame always takes eight bytes.
        sim().clear_host_frames();
        ASSERT_EQ(VELKSend(kPort, &f), 0);
        ASSERT_TRUE(wait_until([&] { return sim().host_bytes().size() >= 17; }));
        const Bytes c = sim().host_bytes();
        ASSERT_EQ(c.size(), 17u);
        EXPECT_EQ(Bytes(c.begin() + 6, c.begin() + 14), Bytes(f.data, f.data + 8));
    }
    EXPECT_EQ(DecodeDLC_CANFD(INT_MIN), 0);
    EXPECT_EQ(DecodeDLC_CANFD(-1), 0);
    EXPECT_EQ(DecodeDLC_CANFD(16), 64);
    EXPECT_EQ(DecodeDLC_CANFD(INT_MAX), 64);
}

TEST_F(BadInput, CodesOutsideTheirRangesGoOutAsTheirLowByteForTheAdapterToJudge)
{
    // The library does not validate codes; the low byte crosses the wire and
    // the adapter's status decides.
    ASSERT_EQ(VELKSetMode(kPort, -1, INT_MAX), 0);
    FILTER_INFO flt = {VELK_CAN_1, INT_MIN + 3, 0xFFFFFFFF, 0xFFFFFFFF};
    ASSERT_EQ(VELKSetFilter(kPort, &flt), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{frame({'3', 0xFF, 0xFF}),
                                           frame({'1', 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x3F, 0xFF, 0xFF, 0xFF})}));
    sim().set_fault('8', sim::Fault{sim::Fault::BadStatus});
    EXPECT_EQ(VELKSetErrorType(kPort, INT_MIN), 1);
    // Range-filter operations outside 1..3 leave the tables alone.
    RANGE_FILTER_INFO t, t1, t2;
    std::memset(&t, 0, sizeof(t));
    t.entry[0] = {1, VELK_SID, 0, 0x7FF};
    ASSERT_EQ(VELKSetRangeFilter(kPort, &t, &t), 0);
    ASSERT_EQ(VELKInitRangeFilter(kPort, 2, 2), 0);
    EXPECT_EQ(VELKInitRangeFilter(kPort, INT_MIN, -1), 0);
    EXPECT_EQ(VELKInitRangeFilter(kPort, 4, INT_MAX), 0);
    ASSERT_EQ(VELKGetRangeFilter(kPort, &t1, &t2), 0);
    EXPECT_EQ(t1.enable, 1);
    EXPECT_EQ(t2.entry[0].id_high, 0x7FFu);
}

TEST_F(BadInput, ConfigurationFilesThatCannotBeReadOrWrittenFailCleanly)
{
    // A directory in place of the file, and a file without read permission
    // (a check root would pass, so only as another user).
    const std::string dir = temp_path("dir");
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    EXPECT_EQ(VELKImpCfg(kPort, dir.c_str()), 1);
    EXPECT_EQ(VELKExpCfg(kPort, dir.c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode)) << "the export left the directory alone";

    const std::string locked = temp_path("locked");
    ASSERT_EQ(VELKExpCfg(kPort, locked.c_str()), 0);
    ASSERT_EQ(chmod(locked.c_str(), 0), 0);
    sim().clear_host_frames();
    if (geteuid() != 0) {
        EXPECT_EQ(VELKImpCfg(kPort, locked.c_str()), 1);
        EXPECT_TRUE(frames().empty()) << "nothing imported from a file that could not be read";
        EXPECT_EQ(VELKExpCfg(kPort, locked.c_str()), 1);
    }
    // A path far longer than any the system takes.
    const std::string long_path = "/tmp/" + std::string(5000, 'x');
    EXPECT_EQ(VELKImpCfg(kPort, long_path.c_str()), 1);
    EXPECT_EQ(VELKExpCfg(kPort, long_path.c_str()), 1);
    unlink(locked.c_str());
    rmdir(dir.c_str());
}

// The steps of the child process below; its exit status names the first
// step that failed.
int open_close_open_without_standard_input(int port)
{
    close(STDIN_FILENO);
    if (VELKOpenDevice(port) != 0)
        return 1;
    if (first == nullptr || first->fd != 0)
        return 2;
    if ((fcntl(0, F_GETFD) & FD_CLOEXEC) == 0)
        return 3;
    if (VELKCloseDevice(port) != 0)
        return 4;
    if (fcntl(0, F_GETFD) != -1)
        return 5;  // the descriptor was left open
    if (VELKOpenDevice(port) != 0 || first->fd != 0 || VELKCloseDevice(port) != 0)
        return 6;
    int fd = -1;
    if (VELKOpenSocketCAN(port, &fd) != 0 || fd != 0 || VELKCloseDevice(port) != 0)
        return 7;
    return 0;
}

TEST_F(BadInput, HostWithStandardInputClosedOpensClosesAndOpensAgainOnDescriptorZero)
{
    ASSERT_NE(first, nullptr);
    EXPECT_NE(fcntl(first->fd, F_GETFD) & FD_CLOEXEC, 0) << "a child program would inherit the port";
    // The child opens the same device; this process lets it go first.
    ASSERT_EQ(VELKCloseDevice(kPort), 0);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0)
        _exit(open_close_open_without_standard_input(kPort));
    int status = 0;
    const bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 20000);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    ASSERT_TRUE(ended) << "the child did not finish";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the child failed at step " << WEXITSTATUS(status);
}

}  // namespace
}  // namespace velk::test
