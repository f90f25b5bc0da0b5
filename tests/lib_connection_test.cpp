// Connecting to the emulated adapter: exact command frames, replies that
// fail, the open-port list across opens and closes, commands from two
// threads, and waits under a host program's signals.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "test_support.h"

// Older C libraries name the thread of a SIGEV_THREAD_ID event only by its
// union member.
#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

namespace velk::test {
namespace {

using sim::Fault;

const Bytes kStatus = {0x60, 0x60, 0x0D, 0x0A};
const Bytes kStop = {0x61, 0x00, 0x00, 0x61, 0x0D, 0x0A};
const Bytes kVersion = {'5', '5', 0x0D, 0x0A};
const Bytes kBuildId = {'6', '6', 0x0D, 0x0A};
const Bytes kCfgQuery = {'7', '7', 0x0D, 0x0A};

class Connection : public ::testing::Test {
protected:
    void SetUp() override
    {
        unmap_all_ports();
        port_ = std::make_unique<SimPort>(0);
        ASSERT_TRUE(port_->ok());
    }
    void TearDown() override
    {
        close_all_ports();
        port_.reset();
    }
    sim::Adapter &sim() { return port_->sim(); }
    std::unique_ptr<SimPort> port_;
};

TEST_F(Connection, OpenQueriesStatusTwiceStopsBothChannelsAndReadsVersions)
{
    ASSERT_EQ(VELKOpenDevice(0), 0);
    EXPECT_EQ(sim().host_frames(), (std::vector<Bytes>{kStatus, kStatus, kStop, kVersion, kBuildId}));
    EXPECT_TRUE(sim().wait_output_drained(1000));
    ASSERT_NE(chk_is_legal_com(0), nullptr);
    sim().clear_host_frames();
    EXPECT_EQ(VELKCloseDevice(0), 0);
    EXPECT_EQ(sim().host_frames(), std::vector<Bytes>{kStop});
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(VELKCloseDevice(0), 1);
    EXPECT_EQ(sim().host_frames(), std::vector<Bytes>{kStop});
}

TEST_F(Connection, MissingDeviceFailsAtOnceAndAddsNoNode)
{
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKOpenDevice(1), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    EXPECT_EQ(first, nullptr);
}

TEST_F(Connection, SecondOpenOfAnOpenIndexFailsAndChangesNothing)
{
    ASSERT_EQ(VELKOpenDevice(0), 0);
    COM_NODE *node = first;
    sim().clear_host_frames();
    EXPECT_EQ(VELKOpenDevice(0), 1);
    EXPECT_TRUE(sim().host_frames().empty());
    EXPECT_EQ(first, node);
    EXPECT_EQ(node->next, nullptr);
    // The same device under a second index fails at the lock.
    comports[1] = comports[0];
    EXPECT_EQ(VELKOpenDevice(1), 1);
    EXPECT_EQ(first->next, nullptr);
}

TEST_F(Connection, SilentDeviceIsClosedAgainAndALaterOpenWorks)
{
    sim().set_answering(false);
    EXPECT_EQ(VELKOpenDevice(0), 1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->is_open, 0);
    EXPECT_EQ(chk_is_legal_com(0), nullptr);
    EXPECT_EQ(VELKGetCANStatus(0, nullptr, nullptr), 1);

    sim().set_answering(true);
    ASSERT_EQ(VELKOpenDevice(0), 0);
    EXPECT_NE(chk_is_legal_com(0), nullptr);
    EXPECT_EQ(first->next, nullptr) << "the dead node does not linger";
    EXPECT_EQ(VELKCloseDevice(0), 0);
    EXPECT_EQ(first, nullptr);
}

TEST_F(Connection, PortsOpenAndCloseInAnyOrder)
{
    SimPort second(1), third(2);
    ASSERT_TRUE(second.ok() && third.ok());
    ASSERT_EQ(VELKOpenDevice(0), 0);
    ASSERT_EQ(VELKOpenDevice(1), 0);
    ASSERT_EQ(VELKOpenDevice(2), 0);
    EXPECT_EQ(VELKCloseDevice(1), 0);  // middle
    EXPECT_EQ(VELKCloseDevice(2), 0);  // last
    ASSERT_EQ(VELKOpenDevice(1), 0);
    EXPECT_EQ(last->com_index, 1);
    EXPECT_EQ(first->com_index, 0);
    EXPECT_EQ(VELKCloseDevice(0), 0);  // first
    EXPECT_EQ(first->com_index, 1);
    int s1 = -1, s2 = -1;
    EXPECT_EQ(VELKGetCANStatus(1, &s1, &s2), 0);
    EXPECT_EQ(VELKCloseDevice(1), 0);
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(last, nullptr);
}

TEST_F(Connection, IndicesOutsideTheTableFailWithoutReading)
{
    for (int bad : {-1, 68, 1000, -100000}) {
        EXPECT_EQ(VELKOpenDevice(bad), 1);
        EXPECT_EQ(VELKCloseDevice(bad), 1);
        EXPECT_EQ(VELKInitCAN(bad, 1, 1), 1);
        VER_INFO v;
        EXPECT_EQ(VELKShowVer(bad, &v), 1);
    }
    EXPECT_EQ(first, nullptr);
}

class Commands : public OpenAdapter {};

TEST_F(Commands, StartStopFrameCarriesBothStates)
{
    EXPECT_EQ(VELKInitCAN(kPort, 0, 0), 0);
    EXPECT_EQ(frames(), std::vector<Bytes>{kStop});
}

TEST_F(Commands, ActivationStopsRunningChannelsRefreshesPacingThenStarts)
{
    sim().set_channel_state(1, true);
    EXPECT_EQ(VELKInitCAN(kPort, 1, 1), 0);
    const Bytes start = {0x61, 0x01, 0x01, 0x63, 0x0D, 0x0A};
    EXPECT_EQ(frames(), (std::vector<Bytes>{kStatus, kStop, kCfgQuery, start}));
    int s1 = 0, s2 = 0;
    sim().clear_host_frames();
    EXPECT_EQ(VELKInitCAN(kPort, 1, 0), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kStatus, kStop, kCfgQuery, frame({'a', 1, 0})}));
    ASSERT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
    EXPECT_EQ(s1, 1);
    EXPECT_EQ(s2, 0);
}

TEST_F(Commands, ActivationWithIdleChannelsSendsNoStop)
{
    EXPECT_EQ(VELKInitCAN(kPort, 0, 1), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kStatus, kCfgQuery, frame({'a', 0, 1})}));
}

TEST_F(Commands, ActivationStopsAnywayWhenTheStatusIsUnknown)
{
    sim().set_fault(0x60, Fault{Fault::NoReply});
    EXPECT_EQ(VELKInitCAN(kPort, 1, 1), 0);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kStatus, kStop, kCfgQuery, frame({'a', 1, 1})}));
}

TEST_F(Commands, NonZeroStatusOrWrongEchoFailsAndLeavesOutputsUntouched)
{
    int s1 = 7, s2 = 7;
    sim().set_fault(0x60, Fault{Fault::BadStatus});
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
    sim().set_fault(0x60, Fault{Fault::WrongEcho});
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
    EXPECT_EQ(s1, 7);
    EXPECT_EQ(s2, 7);
    sim().set_fault('a', Fault{Fault::BadStatus});
    EXPECT_EQ(VELKInitCAN(kPort, 0, 0), 1);
    sim().clear_faults();
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
    EXPECT_EQ(s1, 0);
}

TEST_F(Commands, VersionNeedsBothQueriesAndAlwaysNamesTheLibrary)
{
    sim().set_firmware(0x05, 0x0A);
    sim().set_build_id(0x51, 0x02);
    VER_INFO v;
    std::memset(&v, 0, sizeof(v));
    ASSERT_EQ(VELKShowVer(kPort, &v), 0);
    EXPECT_STREQ(v.fw, "05.0A");
    EXPECT_STREQ(v.model, "5102");
    EXPECT_STREQ(v.api, "3.1.0");

    std::strcpy(v.fw, "keep");
    std::strcpy(v.model, "keep");
    std::memset(v.api, 0, sizeof(v.api));
    sim().set_fault('6', Fault{Fault::NoReply});
    sim().clear_host_frames();
    EXPECT_EQ(VELKShowVer(kPort, &v), 1);
    EXPECT_EQ(frames(), (std::vector<Bytes>{kVersion, kBuildId}));
    EXPECT_STREQ(v.fw, "keep");
    EXPECT_STREQ(v.model, "keep");
    EXPECT_STREQ(v.api, "3.1.0");
    EXPECT_EQ(VELKShowVer(kPort, nullptr), 1);
}

TEST_F(Commands, BuildIdentifierIsTheTwoReplyBytes)
{
    sim().set_build_id(0xAB, 0xCD);
    unsigned char id[2] = {0, 0};
    ASSERT_EQ(VELKGetBLDID(kPort, id), 0);
    EXPECT_EQ(id[0], 0xAB);
    EXPECT_EQ(id[1], 0xCD);
    sim().set_fault('6', Fault{Fault::WrongEcho});
    id[0] = 1;
    EXPECT_EQ(VELKGetBLDID(kPort, id), 1);
    EXPECT_EQ(id[0], 1);
    EXPECT_EQ(VELKGetBLDID(kPort, nullptr), 1);
}

TEST_F(Commands, ReplyShorterThanTheStatusByteFails)
{
    sim().set_fault(0x60, Fault{Fault::Short, 2, 20, 1});
    int s1 = 0, s2 = 0;
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
    sim().clear_faults();
    EXPECT_TRUE(sim().wait_output_drained(1000));
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
}

TEST_F(Commands, LateReplyFailsAndTheNextExchangeWorks)
{
    sim().set_fault(0x60, Fault{Fault::Late, 2, 300, 1, 2, 0, 1});
    int s1 = 0, s2 = 0;
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
    EXPECT_TRUE(sim().wait_output_drained(2000));
    // The stale reply is discarded before the next command goes out.
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
}

TEST_F(Commands, EveryExchangeWaitsForTheAdapter)
{
    int s1, s2;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
}

TEST_F(Commands, TwoThreadsIssuingCommandsEachGetTheirOwnReplies)
{
    sim().set_build_id(0xAB, 0xCD);
    sim().set_channel_state(1, true);
    std::atomic<int> wrong{0};
    std::thread other([&] {
        for (int i = 0; i < 5; ++i) {
            unsigned char id[2] = {0, 0};
            if (VELKGetBLDID(kPort, id) != 0 || id[0] != 0xAB || id[1] != 0xCD)
                ++wrong;
        }
    });
    for (int i = 0; i < 5; ++i) {
        int s1 = -1, s2 = -1;
        EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
        EXPECT_EQ(s1, 0);
        EXPECT_EQ(s2, 1);
    }
    other.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(frames().size(), 10u);
}

// A host program's handled signal without SA_RESTART, every 10 ms, delivered
// to the thread that makes the library calls.
class SignalEvery10Ms {
public:
    SignalEvery10Ms()
    {
        count = 0;
        struct sigaction sa;
        std::memset(&sa, 0, sizeof(sa));
        sa.sa_handler = [](int) { ++count; };
        sigemptyset(&sa.sa_mask);
        sigaction(SIGALRM, &sa, &old_);
        struct sigevent ev;
        std::memset(&ev, 0, sizeof(ev));
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = SIGALRM;
        ev.sigev_notify_thread_id = gettid();
        ok_ = timer_create(CLOCK_MONOTONIC, &ev, &timer_) == 0;
        const struct itimerspec every = {{0, 10000000}, {0, 10000000}};
        ok_ = ok_ && timer_settime(timer_, 0, &every, nullptr) == 0;
    }
    ~SignalEvery10Ms()
    {
        if (ok_)
            timer_delete(timer_);
        sigaction(SIGALRM, &old_, nullptr);
    }
    bool ok() const { return ok_; }
    static inline std::atomic<int> count{0};

private:
    struct sigaction old_;
    timer_t timer_{};
    bool ok_ = false;
};

TEST_F(Commands, HandledSignalsDoNotCutWaitsShort)
{
    Fault late;
    late.kind = Fault::Late;
    late.delay_ms = 40;
    sim().set_fault(0x60, late);
    SignalEvery10Ms signals;
    ASSERT_TRUE(signals.ok());
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        int s1 = -1, s2 = -1;
        EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0) << "exchange " << i;
    }
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(5 * 150));

    // A report in three writes 30 ms apart is waited for in one call.
    const Bytes data(8, 0x11);
    sim().inject(sim::report_e1(0, false, false, 8, 0x42, data), 3, 30);
    ASSERT_TRUE(wait_until([&] { return bytes_waiting() > 0; }));
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 1);
    EXPECT_EQ(f.id, 0x42u);

    // A batch with nothing to take runs to its limit.
    NON_BLOCK_INFO nb = {1, 100, &f};
    auto t1 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceiveNonblock(kPort, &nb), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(100));

    // A blocking read waits for its report.
    ASSERT_EQ(VELKSetRecvBlock(kPort, true), 0);
    sim().inject(sim::report_e1(1, false, false, 8, 0x43, data), 2, 50);
    std::memset(&f, 0, sizeof(f));
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 1);
    EXPECT_EQ(f.id, 0x43u);
    ASSERT_EQ(VELKSetRecvBlock(kPort, false), 0);
    EXPECT_GT(SignalEvery10Ms::count, 10) << "the signals came";
}

}  // namespace
}  // namespace velk::test

namespace velk::test {
namespace {

class Unplug : public OpenAdapter {};

TEST_F(Unplug, VanishedDeviceIsReportedAndCallsFailPromptly)
{
    EXPECT_EQ(VELKCheckDevice(kPort), 0);
    EXPECT_EQ(VELKCheckDevice(kPort + 1), 1) << "not open";
    sim().unplug();
    EXPECT_TRUE(wait_until([] { return VELKCheckDevice(kPort) == 1; }, 1000));

    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof(f));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
    EXPECT_EQ(VELKReceive(kPort, &f), 0);
    int s1, s2;
    EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
    CAN_FRAME_INFO tx;
    std::memset(&tx, 0, sizeof(tx));
    tx.id_type = VELK_SID;
    EXPECT_EQ(VELKSend(kPort, &tx), 1);
    // No call hangs on the dead port (a generous bound, far above one exchange).
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
    EXPECT_EQ(VELKCloseDevice(kPort), 0) << "the dead port can still be closed";
    EXPECT_EQ(first, nullptr);
}

}  // namespace
}  // namespace velk::test
