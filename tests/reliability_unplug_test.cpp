// The adapter vanishing while reports stream in or while a command waits for
// its reply: calls fail within their normal bounds, the port reports the
// device gone, it closes, and a new adapter at the same index opens again.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "test_support.h"

namespace velk::test {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point t0)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t0);
}

class HotUnplug : public OpenAdapter {
protected:
    // Everything that must hold once the adapter is gone.
    void expect_gone_and_recoverable()
    {
        EXPECT_TRUE(wait_until([] { return VELKCheckDevice(kPort) == 1; }, 1000));

        // Reports read before the adapter went are still handed out; then
        // the calls find nothing.
        CAN_FRAME_INFO f;
        std::memset(&f, 0, sizeof(f));
        for (int i = 0; i < 100000 && VELKReceive_CANFD(kPort, &f) == 1; ++i) {
        }
        auto t0 = Clock::now();
        EXPECT_EQ(VELKReceive_CANFD(kPort, &f), 0);
        EXPECT_EQ(VELKReceive(kPort, &f), 0);
        // A single decoder call is bounded by its 100 ms report deadline.
        EXPECT_LT(since(t0), milliseconds(400));

        CAN_FRAME_INFO batch[4];
        NON_BLOCK_INFO nb = {4, 50, batch};
        t0 = Clock::now();
        EXPECT_EQ(VELKReceiveNonblock(kPort, &nb), 0);
        EXPECT_LT(since(t0), milliseconds(50 + 400)) << "the bounded loop keeps its bound on a dead port";

        t0 = Clock::now();
        int s1, s2;
        EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 1);
        CFG_INFO cfg;
        EXPECT_EQ(VELKGetCfg(kPort, &cfg), 1);
        CAN_FRAME_INFO tx;
        std::memset(&tx, 0, sizeof(tx));
        tx.id_type = VELK_SID;
        EXPECT_EQ(VELKSend(kPort, &tx), 1);
        EXPECT_EQ(VELKSend_CANFD(kPort, &tx), 1);
        EXPECT_EQ(VELKGetBusError(kPort), 1);
        // Two exchanges at most 150 ms each plus the rest wait, far less than
        // a call that blocked on the dead port.
        EXPECT_LT(since(t0), milliseconds(2 * 250 + 400));
        EXPECT_EQ(VELKCheckDevice(kPort), 1);

        EXPECT_EQ(VELKCloseDevice(kPort), 0);
        EXPECT_EQ(first, nullptr);
        EXPECT_EQ(VELKCheckDevice(kPort), 1);

        // A new adapter appears at the same index.
        port_ = std::make_unique<SimPort>(kPort);
        ASSERT_TRUE(port_->ok());
        ASSERT_EQ(VELKOpenDevice(kPort), 0);
        EXPECT_EQ(VELKCheckDevice(kPort), 0);
        EXPECT_EQ(VELKGetCANStatus(kPort, &s1, &s2), 0);
        sim().inject(sim::report_e1(0, false, false, 8, 0x77, Bytes(8, 1)));
        std::memset(&f, 0, sizeof(f));
        EXPECT_TRUE(wait_until([&] { return VELKReceive_CANFD(kPort, &f) == 1; }));
        EXPECT_EQ(f.id, 0x77u);
    }
};

TEST_F(HotUnplug, MidStreamReceiveStopsPromptlyAndANewAdapterOpens)
{
    sim().stream(20000, 0, 5, 64);
    // Reports are flowing.
    int got = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            CAN_FRAME_INFO f;
            std::memset(&f, 0, sizeof(f));
            got += VELKReceive_CANFD(kPort, &f);
            return got >= 200;
        },
        5000));
    sim().unplug();
    expect_gone_and_recoverable();
}

TEST_F(HotUnplug, MidStreamBlockingReadReturnsOnceTheDeviceIsGone)
{
    ASSERT_EQ(VELKSetRecvBlock(kPort, true), 0);
    sim().stream(20000, 0, 6, 64);
    std::atomic<bool> stop{false};
    std::atomic<int> records{0};
    std::atomic<bool> exited{false};
    // A reader thread, as the utility's receive worker: it stops when a call
    // produces nothing and the device is gone.
    std::thread reader([&] {
        while (!stop) {
            CAN_FRAME_INFO f;
            std::memset(&f, 0, sizeof(f));
            if (VELKReceive_CANFD(kPort, &f) == 1)
                ++records;
            else if (VELKCheckDevice(kPort) != 0)
                break;
        }
        exited = true;
    });
    ASSERT_TRUE(wait_until([&] { return records >= 200; }, 5000));
    sim().unplug();
    const auto t0 = Clock::now();
    const bool ended = wait_until([&] { return exited.load(); });
    stop = true;
    reader.join();
    EXPECT_TRUE(ended);
    EXPECT_LT(since(t0), milliseconds(1000)) << "the blocked read came back";
    EXPECT_EQ(VELKSetRecvBlock(kPort, false), -1) << "a dead port cannot be switched";
    expect_gone_and_recoverable();
}

TEST_F(HotUnplug, NonBlockingBatchEndsEarlyOnceTheDeviceIsGone)
{
    // A batch that would run for ten seconds: the frames before the unplug
    // are kept, and the batch ends soon after it.
    sim().inject(sim::report_e1(0, false, false, 8, 0x55, Bytes(8, 2)));
    ASSERT_TRUE(sim().wait_output_drained(1000));
    CAN_FRAME_INFO batch[8];
    std::memset(batch, 0, sizeof(batch));
    std::atomic<int> n{-1};
    std::atomic<int64_t> took_ms{0};
    std::atomic<bool> started{false};
    std::thread caller([&] {
        NON_BLOCK_INFO nb = {8, 10000, batch};
        started = true;
        const auto t0 = Clock::now();
        n = VELKReceiveNonblock(kPort, &nb);
        took_ms = since(t0).count();
    });
    ASSERT_TRUE(wait_until([&] { return started.load(); }));
    // The batch has read the report before the adapter goes: nothing is left
    // unread, counting what the pseudo-terminal has not yet passed on.
    ASSERT_TRUE(wait_until([] { return unread_bytes(kPort) == 0; }, 2000));
    sim().unplug();
    caller.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(batch[0].msg_type, VELK_DATA_TYPE);
    EXPECT_EQ(batch[0].id, 0x55u);
    EXPECT_LT(took_ms, 2000) << "the batch did not wait out its ten seconds";
    expect_gone_and_recoverable();
}

TEST_F(HotUnplug, MidCommandTheExchangeFailsWithinItsBound)
{
    // The reply would come after the adapter is gone.
    sim::Fault late;
    late.kind = sim::Fault::Late;
    late.delay_ms = 1000;
    sim().set_fault('7', late);
    std::atomic<int> result{-1};
    std::atomic<int64_t> took_ms{0};
    std::thread caller([&] {
        CFG_INFO cfg;
        const auto t0 = Clock::now();
        result = VELKGetCfg(kPort, &cfg);
        took_ms = since(t0).count();
    });
    ASSERT_TRUE(sim().wait_host_frames(1, 2000)) << "the query went out";
    sim().unplug();
    caller.join();
    EXPECT_EQ(result, 1);
    EXPECT_LT(took_ms, 400);

    // Half a reply, then the adapter goes: the rest is not waited for beyond
    // its bound, and nothing is decoded from it.
    OpenAdapter::TearDown();
    OpenAdapter::SetUp();
    sim::Fault split;
    split.kind = sim::Fault::Split;
    split.pieces = 2;
    split.delay_ms = 1000;
    sim().set_fault('G', split);
    ASSERT_TRUE(sim().wait_output_drained(1000));
    const size_t written = sim().bytes_written_to_host();
    std::thread caller2([&] {
        CANFD_CFG_INFO cfg;
        std::memset(&cfg, 0xA5, sizeof(cfg));
        const auto t0 = Clock::now();
        result = VELKGetCFG_CANFD(kPort, &cfg);
        took_ms = since(t0).count();
        for (size_t i = 0; i < sizeof(cfg); ++i)
            if (reinterpret_cast<unsigned char *>(&cfg)[i] != 0)
                result = 2;  // a failed query leaves a cleared record
    });
    ASSERT_TRUE(sim().wait_host_frames(1, 2000));
    ASSERT_TRUE(wait_until([&] { return sim().bytes_written_to_host() > written; }));
    sim().unplug();
    caller2.join();
    EXPECT_EQ(result, 1);
    EXPECT_LT(took_ms, 500);
    expect_gone_and_recoverable();
}

}  // namespace
}  // namespace velk::test
