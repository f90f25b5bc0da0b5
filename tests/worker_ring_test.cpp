// Frame rings, the GUI's drain, the CAN FD length codes and the status-text
// hand-over, without an adapter.
#include <cstring>
#include <thread>

#include "../app/worker/internal_apipart.h"
#include "wire_oracle.h"
#include "worker_support.h"

using namespace velk::wtest;

namespace {

UPBS_INFO entry_with_id(unsigned int id)
{
    UPBS_INFO e;
    std::memset(&e, 0, sizeof e);
    std::strcpy(e.now_time, "01:02:03:004");
    e.frame_info.id = id;
    return e;
}

bool push_send(unsigned int id)
{
    std::lock_guard<std::mutex> lock(MTX_queue_s);
    return upbs_send_push(entry_with_id(id));
}

bool pop_send(UPBS_INFO *e)
{
    std::lock_guard<std::mutex> lock(MTX_queue_s);
    return upbs_send_pop(e);
}

class Rings : public ::testing::Test {
protected:
    void SetUp() override
    {
        upbs_reset();
        is_recv_normal = true;
        is_done_non_block = false;
        MTX_queue_r = false;
    }
    void TearDown() override { SetUp(); }
};

}  // namespace

TEST_F(Rings, FreshSendRingTakes100000AndDropsTheNext)
{
    for (int i = 0; i < UPBS_QUEUE_SIZE; ++i)
        ASSERT_TRUE(push_send(static_cast<unsigned>(i))) << i;
    EXPECT_FALSE(push_send(999999));
    UPBS_INFO e;
    ASSERT_TRUE(pop_send(&e));
    EXPECT_EQ(e.frame_info.id, 0u);
    EXPECT_FALSE(push_send(999999)) << "one pop still leaves the ring full";
    ASSERT_TRUE(pop_send(&e));
    EXPECT_EQ(e.frame_info.id, 1u);
    EXPECT_TRUE(push_send(100000));
    EXPECT_FALSE(push_send(100001));
    // The rest comes out in order, the wrapped entry last.
    for (unsigned i = 2; i < UPBS_QUEUE_SIZE; ++i) {
        ASSERT_TRUE(pop_send(&e));
        ASSERT_EQ(e.frame_info.id, i);
    }
    ASSERT_TRUE(pop_send(&e));
    EXPECT_EQ(e.frame_info.id, 100000u);
    EXPECT_FALSE(pop_send(&e));
}

TEST_F(Rings, FreshReceiveRingTakes100000AndDropsTheNext)
{
    for (int i = 0; i < UPBS_QUEUE_SIZE; ++i)
        ASSERT_TRUE(upbs_recv_push(entry_with_id(static_cast<unsigned>(i)))) << i;
    EXPECT_FALSE(upbs_recv_push(entry_with_id(999999)));
    UPBS_INFO e;
    ASSERT_TRUE(upbs_recv_pop(&e));
    EXPECT_EQ(e.frame_info.id, 0u);
    EXPECT_FALSE(upbs_recv_push(entry_with_id(999999)));
    ASSERT_TRUE(upbs_recv_pop(&e));
    EXPECT_TRUE(upbs_recv_push(entry_with_id(100000)));
    EXPECT_EQ(rear_r.load(), 0) << "the push after the wrap writes slot 0";
}

TEST_F(Rings, IndexRuleFollowsFrontAndRear)
{
    EXPECT_EQ(upbs_next_rear(-1, -1), 0);
    EXPECT_EQ(upbs_next_rear(-1, UPBS_QUEUE_SIZE - 1), -1);
    EXPECT_EQ(upbs_next_rear(0, UPBS_QUEUE_SIZE - 1), -1);
    EXPECT_EQ(upbs_next_rear(1, UPBS_QUEUE_SIZE - 1), 0);
    EXPECT_EQ(upbs_next_rear(5, 4), -1);
    EXPECT_EQ(upbs_next_front(-1, -1), -1);
    EXPECT_EQ(upbs_next_front(-1, 0), 0);
    EXPECT_EQ(upbs_next_front(UPBS_QUEUE_SIZE - 1, 3), 0);
    EXPECT_EQ(upbs_next_front(7, 7), -1);
}

TEST_F(Rings, ReceiveRingCarriesEveryEntryAcrossThreadsInOrder)
{
    constexpr unsigned kCount = 300000;  // three times round the ring
    std::thread producer([] {
        for (unsigned i = 0; i < kCount;) {
            if (upbs_recv_push(entry_with_id(i)))
                ++i;
            else
                std::this_thread::yield();
        }
    });
    unsigned expected = 0;
    bool ok = wait_until(
        [&] {
            UPBS_INFO e;
            while (upbs_recv_pop(&e)) {
                if (e.frame_info.id != expected || std::strcmp(e.now_time, "01:02:03:004") != 0)
                    return true;
                ++expected;
            }
            return expected == kCount;
        },
        20000);
    producer.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(expected, kCount);
}

TEST_F(Rings, NormalModeDrainStartsWithASentEntryThenAlternates)
{
    for (unsigned i = 0; i < 3; ++i)
        ASSERT_TRUE(push_send(100 + i));
    for (unsigned i = 0; i < 2; ++i)
        ASSERT_TRUE(upbs_recv_push(entry_with_id(200 + i)));
    Drained d;
    EXPECT_EQ(drain_once(&d), 5);
    EXPECT_EQ(d.order, (std::vector<bool>{false, true, false, true, false}));
    ASSERT_EQ(d.sent.size(), 3u);
    EXPECT_EQ(d.sent[2].frame_info.id, 102u);
    EXPECT_EQ(d.received[1].frame_info.id, 201u);
    EXPECT_FALSE(MTX_queue_r.load()) << "normal mode never touches the hand-over";
}

TEST_F(Rings, IncompleteBatchShowsOneSentEntryPerTickAndNothingReceived)
{
    is_recv_normal = false;
    MTX_queue_r = true;
    is_done_non_block = false;
    for (unsigned i = 0; i < 3; ++i)
        ASSERT_TRUE(push_send(i));
    ASSERT_TRUE(upbs_recv_push(entry_with_id(7)));
    Drained d;
    EXPECT_EQ(drain_once(&d), 1);
    EXPECT_EQ(drain_once(&d), 1);
    EXPECT_TRUE(d.received.empty());
    EXPECT_TRUE(MTX_queue_r.load());

    is_done_non_block = true;
    EXPECT_EQ(drain_once(&d), 2) << "a complete batch is shown in one tick";
    EXPECT_EQ(d.received.size(), 1u);
    EXPECT_FALSE(MTX_queue_r.load()) << "the worker is released once everything is shown";
}

TEST_F(Rings, CompleteBatchReleasesTheWorkerOnlyWhenBothRingsAreEmpty)
{
    is_recv_normal = false;
    MTX_queue_r = true;
    is_done_non_block = true;
    Drained d;
    EXPECT_EQ(drain_once(&d), 0);
    EXPECT_FALSE(MTX_queue_r.load());
}

TEST(CanFdLengthCodes, EncodeGivesTheSmallestCodeThatHoldsTheBytes)
{
    const struct {
        int bytes, dlc;
    } table[] = {{0, 0}, {1, 1}, {8, 8}, {9, 9}, {12, 9}, {13, 10}, {16, 10}, {17, 11}, {20, 11}, {21, 12},
                 {24, 12}, {25, 13}, {32, 13}, {33, 14}, {48, 14}, {49, 15}, {64, 15}, {65, 15}, {255, 15}};
    for (const auto &t : table)
        EXPECT_EQ(CANFD_EncodeDLC(static_cast<unsigned char>(t.bytes)), t.dlc) << t.bytes;
}

TEST(CanFdLengthCodes, DecodeFollowsTheTableAndSaturatesAt64)
{
    for (int dlc = 0; dlc < 16; ++dlc)
        EXPECT_EQ(CANFD_DecodeDLC(static_cast<unsigned char>(dlc)), velk::test::dlc_length(dlc)) << dlc;
    EXPECT_EQ(CANFD_DecodeDLC(16), 64);
    EXPECT_EQ(CANFD_DecodeDLC(200), 64);
    EXPECT_EQ(CANFD_DecodeDLC(255), 64);
}

TEST(CanFdLengthCodes, EveryLengthRoundTripsToAPayloadThatHoldsIt)
{
    for (int n = 0; n <= 64; ++n) {
        int len = CANFD_DecodeDLC(CANFD_EncodeDLC(static_cast<unsigned char>(n)));
        EXPECT_GE(len, n);
        if (n > 0) {
            unsigned char smaller = static_cast<unsigned char>(CANFD_EncodeDLC(static_cast<unsigned char>(n)) - 1);
            EXPECT_LT(CANFD_DecodeDLC(smaller), n) << "the code below is too small";
        }
    }
}

TEST(StatusTexts, ArriveOnTheThreadThatIteratesTheContext)
{
    TextSink sink;
    std::thread worker([] {
        apipart_post_status(APIPART_LAB_CAN1_ECR, "123456");
        apipart_post_status(APIPART_LAB_EEPROM, APIPART_EEPROM_ERR_TEXT);
    });
    worker.join();
    EXPECT_TRUE(sink.texts.empty()) << "nothing runs until the context is iterated";
    ASSERT_TRUE(sink.wait_texts(2));
    EXPECT_EQ(sink.texts[0].label, APIPART_LAB_CAN1_ECR);
    EXPECT_EQ(sink.texts[0].text, "123456");
    EXPECT_EQ(sink.texts[1].label, APIPART_LAB_EEPROM);
    EXPECT_EQ(sink.texts[1].text, "\xE2\x9D\x8C");
    for (const auto &t : sink.texts)
        EXPECT_EQ(t.thread, std::this_thread::get_id());
}

TEST(StatusTexts, ALabelShowsItsLatestTextOnce)
{
    TextSink sink;
    std::thread worker([] {
        for (int i = 0; i < 1000; ++i) {
            char text[8];
            std::snprintf(text, sizeof text, "%06d", i);
            apipart_post_status(APIPART_LAB_CAN2_PSR, text);
        }
    });
    worker.join();
    ASSERT_TRUE(sink.wait_texts(1));
    sink.pump();
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_EQ(sink.texts[0].text, "000999");
}

TEST(StatusTexts, WithoutASinkTheyAreDropped)
{
    apipart_set_status_sink(nullptr, nullptr);
    apipart_post_status(APIPART_LAB_CAN1_PSR, "000001");
    TextSink sink;
    sink.pump();
    EXPECT_TRUE(sink.texts.empty());
}
