// Send and receive workers against the emulated adapter: what goes on the
// wire and into the rings, stopping, the non-blocking hand-over, bus-status
// texts, and one reader at a time.
#include <algorithm>
#include <cstring>

#include "internal.h"
#include "worker_support.h"

using namespace velk::wtest;
using velk::sim::Bytes;
using velk::sim::Report;

namespace {

constexpr int kPort = 0;

CAN_SEND_INFO send_request(unsigned int id, int id_type, int cnt, int times, bool id_inc = false, int itvl = 0)
{
    CAN_SEND_INFO r;
    std::memset(&r, 0, sizeof r);
    r.cnt = cnt;
    r.times = times;
    r.itvl = itvl;
    r.id_inc = id_inc;
    r.can_frame_info.CAN_port = VELK_CAN_1;
    r.can_frame_info.id_type = id_type;
    r.can_frame_info.dlc = 8;
    r.can_frame_info.id = id;
    for (int i = 0; i < 64; ++i)
        r.can_frame_info.data[i] = static_cast<unsigned char>(i + 1);
    return r;
}

CAN_RECV_INFO recv_request(bool normal, int cnt = 0, int time_out = 0, bool cancel = false)
{
    CAN_RECV_INFO r;
    r.cnt = cnt;
    r.time_out = time_out;
    r.is_normal = normal;
    r.is_cancel = cancel;
    return r;
}

void stop_receiving()
{
    procRecv(kPort, recv_request(true, 0, 0, true));
}

Report data_report(int channel, unsigned int id)
{
    Report r;
    r.kind = Report::E2;
    r.channel = channel;
    r.id = id;
    r.dlc = 8;
    return r;
}

Report status_report(Report::Kind kind)
{
    Report r;
    r.kind = kind;
    for (int i = 0; i < 12; ++i)
        r.status[i] = static_cast<uint8_t>(0x10 * (i % 6) + i);
    return r;
}

// "hh:mm:ss:mmm"
bool is_time_of_day(const char *t)
{
    static const char kShape[] = "99:99:99:999";
    for (size_t i = 0; i < sizeof kShape; ++i) {
        if (kShape[i] == '9' ? (t[i] < '0' || t[i] > '9') : t[i] != kShape[i])
            return false;
    }
    return true;
}

std::vector<unsigned int> ring_ids(const std::vector<UPBS_INFO> &entries)
{
    std::vector<unsigned int> ids;
    for (const UPBS_INFO &e : entries)
        ids.push_back(e.frame_info.id);
    return ids;
}

}  // namespace

class Workers : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        adapter_ = new MappedAdapter(kPort);
        ASSERT_TRUE(adapter_->ok());
        CAN_CNNT_INFO info = {};
        connected_ = procConnect(kPort, &info) == 0;
    }
    static void TearDownTestSuite()
    {
        CAN_CNNT_INFO info = {};
        info.is_discnnt = true;
        procConnect(kPort, &info);
        delete adapter_;
        adapter_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(connected_);
        sim().clear_host_frames();
        upbs_reset();
        is_recv_normal = true;
    }
    void TearDown() override
    {
        EXPECT_LE(apipart_recv_workers_max(), 1) << "never two receive workers at once";
    }
    static velk::sim::Adapter &sim() { return adapter_->sim(); }

    // Runs a send request to its end and returns the identifiers the adapter
    // received since the previous marker. A marker frame sent afterwards shows
    // that nothing else follows; counting markers keeps an earlier call's
    // marker from ending the wait before this call's frames have arrived.
    std::vector<unsigned int> send_and_collect(const CAN_SEND_INFO &req)
    {
        const size_t markers = marker_count(wire_ids(sim().host_frames()));
        procSend(kPort, req);
        EXPECT_TRUE(wait_send_done());
        CAN_FRAME_INFO marker = send_request(kMarker, VELK_EID, 1, 1).can_frame_info;
        EXPECT_EQ(VELKSend(kPort, &marker), 0);
        EXPECT_TRUE(wait_until([markers] {
            auto ids = wire_ids(sim().host_frames());
            return marker_count(ids) > markers && ids.back() == kMarker;
        }));
        auto ids = wire_ids(sim().host_frames());
        ids.pop_back();
        auto last = std::find(ids.rbegin(), ids.rend(), kMarker);
        return std::vector<unsigned int>(last.base(), ids.end());
    }

    static size_t marker_count(const std::vector<unsigned int> &ids)
    {
        return static_cast<size_t>(std::count(ids.begin(), ids.end(), kMarker));
    }

    std::vector<UPBS_INFO> sent_entries()
    {
        Drained d;
        drain_once(&d);
        return d.sent;
    }

    static constexpr unsigned int kMarker = 0x1EADBEEF;
    static MappedAdapter *adapter_;
    static bool connected_;
};

MappedAdapter *Workers::adapter_ = nullptr;
bool Workers::connected_ = false;

TEST_F(Workers, CountAndPassesOfZeroSendExactlyOneFrame)
{
    auto ids = send_and_collect(send_request(0x123, VELK_SID, 0, 0));
    EXPECT_EQ(ids, (std::vector<unsigned int>{0x123}));
    EXPECT_EQ(ring_ids(sent_entries()), (std::vector<unsigned int>{0x123}));
}

TEST_F(Workers, NegativePassesSendNothing)
{
    EXPECT_TRUE(send_and_collect(send_request(0x123, VELK_SID, 5, -1)).empty());
    EXPECT_TRUE(sent_entries().empty());
}

TEST_F(Workers, NegativeCountSendsNothingInAnyPass)
{
    EXPECT_TRUE(send_and_collect(send_request(0x123, VELK_SID, -1, 3)).empty());
    EXPECT_TRUE(sent_entries().empty());
}

TEST_F(Workers, StandardIdentifierIsMaskedAndEachPassRestartsTheIncrement)
{
    auto ids = send_and_collect(send_request(0x9AB, VELK_SID, 3, 2, true));
    const std::vector<unsigned int> expected = {0x1AB, 0x1AC, 0x1AD, 0x1AB, 0x1AC, 0x1AD};
    EXPECT_EQ(ids, expected);
    EXPECT_EQ(ring_ids(sent_entries()), expected);
}

TEST_F(Workers, ExtendedIdentifierKeepsTwentyNineBits)
{
    EXPECT_EQ(send_and_collect(send_request(0x9AB, VELK_EID, 1, 1)), (std::vector<unsigned int>{0x9AB}));
    EXPECT_EQ(send_and_collect(send_request(0xFFFFFFFF, VELK_EID, 1, 1)).back(), 0x1FFFFFFFu);
}

TEST_F(Workers, IncrementPastTheStandardRangeIsNotMaskedAgain)
{
    EXPECT_EQ(send_and_collect(send_request(0x7FF, VELK_SID, 2, 1, true)), (std::vector<unsigned int>{0x7FF, 0x800}));
}

TEST_F(Workers, FdFrameGoesOutAsF0WithItsWholePayload)
{
    CAN_SEND_INFO req = send_request(0x55, VELK_SID, 1, 1);
    req.can_frame_info.fdf = 1;
    req.can_frame_info.brs = 1;
    req.can_frame_info.dlc = 15;
    send_and_collect(req);
    auto f0 = sim().host_frames(0xF0);
    ASSERT_EQ(f0.size(), 1u);
    EXPECT_EQ(f0[0].size(), 74u);
    EXPECT_EQ(f0[0][2], 0x05) << "BRS and FDF";
    EXPECT_EQ(f0[0][7 + 63], 64);
}

TEST_F(Workers, SentEntryHoldsTheTimeOfDayAndTheFrameAsSent)
{
    CAN_SEND_INFO req = send_request(0x321, VELK_SID, 1, 1);
    req.can_frame_info.rtr = 1;
    req.can_frame_info.msg_type = 3;  // not part of the working copy
    req.can_frame_info.esi = 1;
    std::strcpy(req.can_frame_info.recv_time, "garbage");
    send_and_collect(req);
    auto sent = sent_entries();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(is_time_of_day(sent[0].now_time)) << sent[0].now_time;
    const CAN_FRAME_INFO &f = sent[0].frame_info;
    EXPECT_EQ(f.id, 0x321u);
    EXPECT_EQ(f.rtr, 1);
    EXPECT_EQ(f.dlc, 8);
    EXPECT_EQ(f.data[63], 64);
    EXPECT_EQ(f.msg_type, 0);
    EXPECT_EQ(f.esi, 0);
    EXPECT_STREQ(f.recv_time, "");
}

TEST_F(Workers, CancelStopsASleepingWorkerAtOnceAndStartsNothing)
{
    // A million frames 10 s apart: only a stop that ends the wait lets the
    // cancel below return.
    procSend(kPort, send_request(0x10, VELK_SID, 1000000, 1, true, 10000000));
    ASSERT_TRUE(sim().wait_host_frames(1, 3000));
    TRD_SEND_INFO before = trd_send_info;
    CAN_SEND_INFO cancel = send_request(0x77, VELK_SID, 1, 1);
    cancel.is_cancel = true;
    procSend(kPort, cancel);
    EXPECT_FALSE(apipart_send_worker_alive());
    EXPECT_FALSE(TRD_send.joinable());
    EXPECT_EQ(std::memcmp(&before, &trd_send_info, sizeof before), 0);
    ASSERT_TRUE(MTX_queue_s.try_lock()) << "the stopped worker left the send ring locked";
    MTX_queue_s.unlock();
    CAN_SEND_INFO none = send_request(0x77, VELK_SID, -1, 1);
    EXPECT_EQ(send_and_collect(none), (std::vector<unsigned int>{0x10}));
}

TEST_F(Workers, NewRequestReplacesTheRunningWorker)
{
    procSend(kPort, send_request(0x10, VELK_SID, 1000000, 1, true, 10000000));
    ASSERT_TRUE(sim().wait_host_frames(1, 3000));
    EXPECT_EQ(send_and_collect(send_request(0x20, VELK_SID, 1, 1)), (std::vector<unsigned int>{0x10, 0x20}));
    EXPECT_EQ(ring_ids(sent_entries()), (std::vector<unsigned int>{0x10, 0x20}));
}

TEST_F(Workers, NormalModeSendsBusStatusTextsToTheGuiContext)
{
    TextSink sink;
    procRecv(kPort, recv_request(true));
    sim().inject(status_report(Report::BusError));
    sim().inject(data_report(1, 0x42));
    sim().inject(status_report(Report::BusErrorPsr));
    sim().inject(Report{Report::EepromError});
    ASSERT_TRUE(sink.wait_texts(5));
    Drained d;
    ASSERT_TRUE(drain_until(&d, 0, 1));
    stop_receiving();
    sink.pump();

    std::map<int, std::string> shown;
    for (const auto &t : sink.texts) {
        shown[t.label] = t.text;
        EXPECT_EQ(t.thread, std::this_thread::get_id());
    }
    // Bytes 3, 4 and 5 of each channel's six status bytes.
    EXPECT_EQ(shown[APIPART_LAB_CAN1_ECR], "334455");
    EXPECT_EQ(shown[APIPART_LAB_CAN2_ECR], "394A5B");
    EXPECT_EQ(shown[APIPART_LAB_CAN1_PSR], shown[APIPART_LAB_CAN1_ECR]);
    EXPECT_EQ(shown[APIPART_LAB_CAN2_PSR], shown[APIPART_LAB_CAN2_ECR]);
    EXPECT_EQ(shown[APIPART_LAB_EEPROM], "\xE2\x9D\x8C");
    ASSERT_EQ(d.received.size(), 1u);
    EXPECT_EQ(d.received[0].frame_info.id, 0x42u);
    EXPECT_EQ(d.received[0].frame_info.CAN_port, VELK_CAN_2);
    EXPECT_STREQ(d.received[0].now_time, d.received[0].frame_info.recv_time);
}

TEST_F(Workers, NonBlockingBatchKeepsDataFramesAndDropsReportsSilently)
{
    TextSink sink;
    stop_receiving();
    is_recv_normal = false;
    sim().inject(data_report(0, 0x301));
    sim().inject(status_report(Report::BusError));
    sim().inject(data_report(0, 0x302));
    sim().inject(status_report(Report::BusErrorPsr));
    sim().inject(data_report(0, 0x303));
    ASSERT_TRUE(sim().wait_output_drained(2000));
    const long batches = apipart_batches_requested();
    procRecv(kPort, recv_request(false, 5, 500));
    ASSERT_TRUE(wait_until([] { return is_done_non_block.load(); }));
    EXPECT_EQ(apipart_batches_requested(), batches + 1);
    EXPECT_TRUE(MTX_queue_r.load());
    // The next batch waits for the GUI to show this one.
    EXPECT_FALSE(wait_until([&] { return apipart_batches_requested() > batches + 1; }, 100));

    Drained d;
    drain_once(&d);
    EXPECT_EQ(ring_ids(d.received), (std::vector<unsigned int>{0x301, 0x302, 0x303}));
    EXPECT_FALSE(MTX_queue_r.load() && is_done_non_block.load());
    EXPECT_TRUE(wait_until([&] { return apipart_batches_requested() == batches + 2; }));
    stop_receiving();
    sink.pump();
    EXPECT_TRUE(sink.texts.empty()) << "non-blocking mode never updates the labels";
    is_recv_normal = true;
}

TEST_F(Workers, RefusedFramesAreNeitherListedNorCountedAndAreReported)
{
    TextSink sink;
    CAN_SEND_INFO req = send_request(0x123, VELK_SID, 3, 1);
    req.can_frame_info.CAN_port = 2;  // no such channel: the library refuses every frame
    procSend(kPort, req);
    ASSERT_TRUE(wait_send_done());
    ASSERT_TRUE(sink.wait_texts(1));
    EXPECT_EQ(sink.texts[0].label, APIPART_SEND_FAILED);
    EXPECT_EQ(sink.texts[0].text, "3/3");
    EXPECT_TRUE(sent_entries().empty());
    EXPECT_TRUE(sim().host_frames(0xE0).empty());
}

// A batch is read in short library calls: a stop ends a 60 s batch at once
// and keeps what it read; a batch that runs its time delivers what one call
// over the whole time would.
TEST_F(Workers, StopEndsALongNonBlockingBatchAndKeepsWhatItRead)
{
    is_recv_normal = false;
    sim().inject(data_report(0, 0x401));
    sim().inject(data_report(0, 0x402));
    ASSERT_TRUE(sim().wait_output_drained(2000));
    const long batches = apipart_batches_requested();
    procRecv(kPort, recv_request(false, 10, 250));
    ASSERT_TRUE(wait_until([] { return is_done_non_block.load(); }));
    EXPECT_EQ(apipart_batches_requested(), batches + 1);
    Drained d;
    drain_once(&d);
    EXPECT_EQ(ring_ids(d.received), (std::vector<unsigned int>{0x401, 0x402}));
    stop_receiving();

    procRecv(kPort, recv_request(false, 100, 60000));
    ASSERT_TRUE(wait_until([] { return MTX_queue_r.load() && !is_done_non_block.load(); }));
    sim().inject(data_report(0, 0x403));
    ASSERT_TRUE(sim().wait_output_drained(2000));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        stop_receiving();
        stopped = true;
    });
    EXPECT_TRUE(wait_until([&] { return stopped.load(); }, 5000)) << "the stop waited for the batch time";
    stopper.join();
    Drained rest;
    drain_once(&rest);
    EXPECT_EQ(ring_ids(rest.received), (std::vector<unsigned int>{0x403}));
    is_recv_normal = true;
}

TEST_F(Workers, NonBlockingCountOfZeroRequestsNoBatch)
{
    is_recv_normal = false;
    const long batches = apipart_batches_requested();
    procRecv(kPort, recv_request(false, 0, 10));
    EXPECT_FALSE(wait_until([&] { return apipart_batches_requested() != batches; }, 100));
    stop_receiving();
    EXPECT_EQ(apipart_recv_workers_alive(), 0);
    is_recv_normal = true;
}

TEST_F(Workers, NegativeBatchTimeEndsTheBatchAtOnce)
{
    is_recv_normal = false;
    procRecv(kPort, recv_request(false, 5, -1));
    ASSERT_TRUE(wait_until([] { return is_done_non_block.load(); }));
    stop_receiving();
    EXPECT_EQ(apipart_recv_workers_alive(), 0);
    is_recv_normal = true;
}

TEST_F(Workers, StoppingTheChannelsEndsAWaitingNonBlockingWorkerFirst)
{
    is_recv_normal = false;
    procRecv(kPort, recv_request(false, 5, 20));
    ASSERT_TRUE(wait_until([] { return is_done_non_block.load() && MTX_queue_r.load(); }));
    // The worker now waits for the hand-over that never comes.
    EXPECT_EQ(procInitial(kPort, false), 0);
    EXPECT_EQ(apipart_recv_workers_alive(), 0);
    is_recv_normal = true;
}

TEST_F(Workers, StoppingTheChannelsEndsTheNormalWorkerBeforeTheStopCommand)
{
    for (int i = 0; i < 3; ++i) {
        procRecv(kPort, recv_request(true));
        ASSERT_TRUE(wait_until([] { return apipart_recv_workers_alive() == 1; }));
        EXPECT_EQ(procInitial(kPort, false), 0) << "the reply reached the command, not the worker";
        EXPECT_EQ(apipart_recv_workers_alive(), 0);
    }
}

TEST_F(Workers, StopThenStartLeavesExactlyOneReaderAndLoopbackLosesNothing)
{
    ASSERT_EQ(procInitial(kPort, true), 0);
    for (int i = 0; i < 300; ++i) {
        switch (i % 4) {
        case 0:
        case 1:
            procRecv(kPort, recv_request(true));
            break;
        case 2:
            procRecv(kPort, recv_request(false, 5, 1));
            break;
        default:
            stop_receiving();
            break;
        }
        ASSERT_LE(apipart_recv_workers_alive(), 1) << "iteration " << i;
    }
    procRecv(kPort, recv_request(true));
    EXPECT_EQ(apipart_recv_workers_max(), 1);

    sim().set_loopback(true);
    constexpr int kFrames = 500;
    procSend(kPort, send_request(0x100, VELK_SID, kFrames, 1, true));
    Drained d;
    bool all = drain_until(&d, kFrames, kFrames, 20000);
    sim().set_loopback(false);
    EXPECT_EQ(procInitial(kPort, false), 0);
    ASSERT_TRUE(all) << d.sent.size() << " sent, " << d.received.size() << " received";
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(d.sent[i].frame_info.id, 0x100u + i);
        ASSERT_EQ(d.sent[i].frame_info.CAN_port, VELK_CAN_1);
        ASSERT_EQ(d.received[i].frame_info.id, 0x100u + i) << "received in order, none lost";
        ASSERT_EQ(d.received[i].frame_info.CAN_port, VELK_CAN_2);
        ASSERT_EQ(d.received[i].frame_info.data[7], 8);
    }
    EXPECT_EQ(d.received.size(), static_cast<size_t>(kFrames));
}

// Last: the suite's connection ends here.
TEST_F(Workers, DisconnectWaitsForBothWorkersBeforeClosingThePort)
{
    procRecv(kPort, recv_request(true));
    procSend(kPort, send_request(0x10, VELK_SID, 1000000, 1, true, 10000000));
    ASSERT_TRUE(sim().wait_host_frames(1, 3000));
    CAN_CNNT_INFO info = {};
    info.is_discnnt = true;
    EXPECT_EQ(procConnect(kPort, &info), 1);
    EXPECT_EQ(apipart_recv_workers_alive(), 0);
    EXPECT_FALSE(apipart_send_worker_alive());
    EXPECT_FALSE(TRD_recv.joinable());
    EXPECT_FALSE(TRD_send.joinable());
    EXPECT_EQ(chk_is_legal_com(kPort), nullptr);
}
