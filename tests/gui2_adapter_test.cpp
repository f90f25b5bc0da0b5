// The send panel, frame list, bus status and receive panel of the running
// utility against the emulated adapter with its loopback on: a frame sent
// on one channel comes back as received on the other.
#include "gui2_harness.h"
#include "test_support.h"
#include "tools_support.h"
#include "databases.h"
#include "panel_plot.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

using namespace gui2;
using velk::sim::Bytes;
using velk::sim::Report;

namespace {

class OnAdapter : public OnEmulatedAdapter {
protected:
    static void SetUpTestSuite()
    {
        open_adapter();
        if (port_ != nullptr)
            port_->sim().set_loopback(true);
    }

    static void TearDownTestSuite() { close_adapter(); }

    void SetUp() override
    {
        connect_and_start();
        if (HasFatalFailure())
            return;
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "1");
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], "0");
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_TIME], "1");
        set_entry(ss_info.ety_d[SS_ETY_D_ID], "123");
        gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 0);
        select_text(ss_info.cbbox[SS_CBBOX_LEN], "8");
        pump_until([] { return idle() && delivered(); });
        btn_clear_cb(nullptr, nullptr);
        btn_mn_clear_cb(nullptr, nullptr);
        sim().clear_host_frames();
    }

    // Nothing left in the rings and no send worker running.
    static bool idle()
    {
        if (apipart_send_worker_alive())
            return false;
        std::lock_guard<std::mutex> lock(MTX_queue_s);
        return upbs_next_front(front_s, rear_s) < 0 &&
               upbs_next_front(front_r.load(), rear_r.load()) < 0;
    }

    static std::vector<Bytes> sent_frames() { return sim().host_frames(0xE0); }

    // The adapter has read every frame the list counts as sent (both are
    // cleared together); the send worker ends before its last frames have
    // crossed the pseudo-terminal.
    static bool delivered()
    {
        return sent_frames().size() + sim().host_frames(0xF0).size() ==
               static_cast<size_t>(can1_cnt_s) + static_cast<size_t>(can2_cnt_s);
    }

};

uint32_t frame_id(const Bytes &f)
{
    return (uint32_t(f[2]) << 24) | (uint32_t(f[3]) << 16) | (uint32_t(f[4]) << 8) | f[5];
}

// The frame a row of the frame list shows, as a trace file keeps it.
velk::trace::Frame listed_frame(int row)
{
    velk::trace::Frame f;
    f.channel = std::stoi(cell(row, COL_CH)) - 1;
    f.tx = cell(row, COL_PATH) == "Send";
    f.extended = cell(row, COL_MOD) == "EID";
    f.id = static_cast<uint32_t>(std::stoul(cell(row, COL_ID), nullptr, 16));
    const std::string type = cell(row, COL_TYPE);
    f.remote = type.rfind("RTR", 0) == 0;
    f.fd = type.rfind("FD", 0) == 0;
    f.brs = type.find("BRS") != std::string::npos;
    f.esi = type.find("ESI") != std::string::npos;
    std::istringstream data(cell(row, COL_DATA));
    std::string byte;
    while (data >> byte)
        f.data[f.len++] = static_cast<uint8_t>(std::stoul(byte, nullptr, 16));
    return f;
}

// The adapter times of the received rows, in seconds, as the list shows them.
std::vector<double> received_adapter_times()
{
    std::vector<double> t;
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    for (int r = 0; r < rows(); ++r) {
        GtkTreeIter iter;
        gint64 us = -1;
        if (cell(r, COL_PATH) == "Recv" && gtk_tree_model_iter_nth_child(model, &iter, nullptr, r)) {
            gtk_tree_model_get(model, &iter, COL_ATIME_US, &us, -1);
            t.push_back(static_cast<double>(us) / 1e6);
        }
    }
    return t;
}

}  // namespace

TEST_F(OnAdapter, LengthZeroSendsDlcZero)
{
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "0"));
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(pump_until([] { return can2_cnt_r == 1 && can1_cnt_s == 1; }));
    std::vector<Bytes> frames = sent_frames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 17u);
    EXPECT_EQ(frames[0][1] >> 4, 0);      // DLC code
    EXPECT_EQ(frames[0][1] & 0x0F, 0x1);  // CAN 1, standard identifier, data frame
    EXPECT_EQ(frame_id(frames[0]), 0x123u);
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(cell(0, COL_LEN), "0");
    EXPECT_EQ(cell(1, COL_LEN), "0");
}

// The bytes the panel shows editable are the frame's payload; those past the
// length keep their text, insensitive.
TEST_F(OnAdapter, SentFrameCarriesThePanelBytes)
{
    for (int i = 3; i < 8; ++i)
        set_entry(ss_info.ety_d[SS_ETY_D_B0 + i], "EE");
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "3"));
    for (int i = 3; i < 8; ++i) {
        EXPECT_FALSE(sensitive(ss_info.ety_d[SS_ETY_D_B0 + i])) << "B" << i;
        EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_B0 + i]), "EE") << "B" << i;
    }
    set_entry(ss_info.ety_d[SS_ETY_D_B0], "1");
    set_entry(ss_info.ety_d[SS_ETY_D_B1], "a2");
    set_entry(ss_info.ety_d[SS_ETY_D_B2], "");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(pump_until([] { return can2_cnt_r == 1 && can1_cnt_s == 1; }));
    std::vector<Bytes> frames = sent_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][1] >> 4, 3);
    EXPECT_EQ(frames[0][6], 0x01);
    EXPECT_EQ(frames[0][7], 0xA2);
    EXPECT_EQ(frames[0][8], 0x00);
    EXPECT_EQ(cell(0, COL_DATA), "01 A2 00");
    EXPECT_EQ(cell(1, COL_DATA), "01 A2 00");
    // The sent frame on CAN1 and its arrival on CAN2; the arrival may be
    // listed first when it comes back before the send worker lists its frame.
    const int recv = cell(0, COL_PATH) == "Recv" ? 0 : 1;
    EXPECT_EQ(cell(recv, COL_PATH), "Recv");
    EXPECT_EQ(cell(recv, COL_CH), "2");
    EXPECT_EQ(cell(1 - recv, COL_PATH), "Send");
    EXPECT_EQ(cell(1 - recv, COL_CH), "1");
}

TEST_F(OnAdapter, SendWhileSendingReplacesTheTransmission)
{
    // A long transmission: 99999 frames, 2 ms apart.
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "99999");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], "2000");
    set_entry(ss_info.ety_d[SS_ETY_D_ID], "111");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(sim().wait_host_frames(3, 5000));

    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "2");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], "0");
    set_entry(ss_info.ety_d[SS_ETY_D_ID], "222");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(pump_until([] { return idle() && delivered(); }));

    std::vector<Bytes> frames = sent_frames();
    ASSERT_GE(frames.size(), 5u);
    ASSERT_LT(frames.size(), 1000u);
    // Every frame of the first request comes before the two of the second.
    size_t n = frames.size();
    EXPECT_EQ(frame_id(frames[n - 1]), 0x222u);
    EXPECT_EQ(frame_id(frames[n - 2]), 0x222u);
    for (size_t i = 0; i + 2 < n; ++i)
        EXPECT_EQ(frame_id(frames[i]), 0x111u) << i;
    EXPECT_FALSE(apipart_send_worker_alive());
}

TEST_F(OnAdapter, StopEndsATransmissionAndStopWithNothingRunningDoesNothing)
{
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "99999");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], "2000");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(sim().wait_host_frames(2, 5000));
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_stop));
    EXPECT_FALSE(apipart_send_worker_alive());
    ASSERT_TRUE(pump_until([] { return idle() && delivered(); }));
    size_t after_stop = sent_frames().size();
    EXPECT_LT(after_stop, 99999u);

    gtk_button_clicked(GTK_BUTTON(ss_info.btn_stop));
    EXPECT_FALSE(apipart_send_worker_alive());
    EXPECT_EQ(sent_frames().size(), after_stop);
    EXPECT_EQ(can1_cnt_s, static_cast<int>(after_stop));
}

// Stop CAN, Reset and Disconnect end a running burst before they stop the
// channels, so nothing goes on to a stopped adapter.
TEST_F(OnAdapter, StopResetAndDisconnectEndARunningBurst)
{
    using Handler = void (*)(GtkWidget *, gpointer);
    for (Handler stop : {Handler(btn_start_cb), Handler(btn_reset_cb), Handler(btn_cnnt_cb)}) {
        connect_and_start();
        if (HasFatalFailure())
            return;
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "5000");
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], "1000");
        sim().clear_host_frames();
        btn_send_cb(nullptr, nullptr);
        ASSERT_TRUE(sim().wait_host_frames(2, 5000));
        stop(nullptr, nullptr);
        ASSERT_TRUE(wait_idle());
        EXPECT_FALSE(apipart_send_worker_alive());
        EXPECT_FALSE(is_active);
    }
}

TEST_F(OnAdapter, ErrorTypeSelectionsArmTheirLabels)
{
    // The selector is usable only while CAN is stopped.
    btn_start_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    ASSERT_FALSE(is_active);
    sim().clear_host_frames();

    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 2);  // "Bus Error"
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Set error type successfully !"});
    EXPECT_EQ(sim().state().err_set, VELK_BUS_ERR);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_ECR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_PSR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "  N/A");

    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 3);  // "Enable All"
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(sim().state().err_set, VELK_EN_ALL);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "\xE2\x97\x8B");

    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 1);  // "ROM Error"
    ASSERT_TRUE(wait_idle());
    EXPECT_EQ(sim().state().err_set, VELK_ROM_ERR);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_ECR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_PSR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "\xE2\x97\x8B");
}

TEST_F(OnAdapter, RefusedErrorTypeKeepsTheLabels)
{
    btn_start_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    ASSERT_FALSE(is_active);
    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 0);
    ASSERT_TRUE(wait_idle());
    set_err_str(VELK_BUS_ERR);
    velk::sim::Fault refuse;
    refuse.kind = velk::sim::Fault::BadStatus;
    sim().set_fault('8', refuse);
    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 3);
    ASSERT_TRUE(wait_idle());
    sim().clear_faults();
    std::vector<std::string> lines = log_lines();
    EXPECT_EQ(lines, std::vector<std::string>{"Set error type failed !"});
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "  N/A");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  000000");
}

TEST_F(OnAdapter, BusErrorReportShowsSixHexDigitsPerChannel)
{
    Report r;
    r.kind = Report::BusError;
    r.status = {0x00, 0x00, 0x00, 0x1A, 0x2B, 0x3C, 0x00, 0x00, 0x00, 0xD4, 0xE5, 0xF6};
    sim().inject(r);
    ASSERT_TRUE(pump_until([] {
        return label(bs_info.label_content[BS_LABEL_CAN2_ECR_C]) == "D4E5F6";
    }));
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "1A2B3C");

    r.kind = Report::BusErrorPsr;
    r.status = {0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x00, 0x00, 0x00, 0x0A, 0x0B, 0x0C};
    sim().inject(r);
    ASSERT_TRUE(pump_until([] {
        return label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]) == "0A0B0C";
    }));
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_PSR_C]), "010203");

    Report ee;
    ee.kind = Report::EepromError;
    sim().inject(ee);
    ASSERT_TRUE(pump_until([] { return label(bs_info.label_content[BS_LABEL_EE_C]) == "\xE2\x9D\x8C"; }));
    // Reports are not frames.
    EXPECT_EQ(rows(), 0);
}

TEST_F(OnAdapter, NonBlockingModeListsSentFramesOnePerTickUntilTheBatchCompletes)
{
    // Long batches so the sends below fall into one batch that is still open.
    set_entry(rs_info.ety[RS_ETY_LAB_DATA_CNT], "1000");
    set_entry(rs_info.ety[RS_ETY_LAB_TIME], "1500");
    set_check(rs_info.chk, true);
    EXPECT_FALSE(is_recv_normal);
    EXPECT_FALSE(sensitive(rs_info.ety[RS_ETY_LAB_DATA_CNT]));
    EXPECT_FALSE(sensitive(rs_info.ety[RS_ETY_LAB_TIME]));
    EXPECT_FALSE(sensitive(rs_info.label[RS_ETY_LAB_DATA_CNT]));
    EXPECT_EQ(trd_recv_info.info.cnt, 1000);
    EXPECT_EQ(trd_recv_info.info.time_out, 1500);
    EXPECT_FALSE(trd_recv_info.info.is_normal);
    ASSERT_TRUE(velk::test::wait_until([] { return MTX_queue_r.load(); }, 5000));

    // Ticks are driven by hand from here: the main loop is not iterated.
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "4");
    btn_send_cb(nullptr, nullptr);
    ASSERT_TRUE(velk::test::wait_until([] { return !apipart_send_worker_alive(); }, 5000));
    ASSERT_FALSE(is_done_non_block) << "the batch closed before the frames were listed";
    for (int i = 1; i <= 4; ++i) {
        update_BS_frame(nullptr);
        EXPECT_EQ(rows(), i);
        EXPECT_EQ(can2_cnt_r, 0);
    }
    ASSERT_TRUE(velk::test::wait_until([] { return is_done_non_block.load(); }, 10000));
    update_BS_frame(nullptr);
    EXPECT_EQ(can1_cnt_s, 4);
    EXPECT_EQ(can2_cnt_r, 4);
    EXPECT_EQ(rows(), 8);

    set_check(rs_info.chk, false);
    EXPECT_TRUE(is_recv_normal);
    EXPECT_TRUE(trd_recv_info.info.is_normal);
    EXPECT_TRUE(sensitive(rs_info.ety[RS_ETY_LAB_DATA_CNT]));
    EXPECT_TRUE(sensitive(rs_info.ety[RS_ETY_LAB_TIME]));
    EXPECT_TRUE(velk::test::wait_until([] { return apipart_recv_workers_alive() == 1; }, 5000));

    // Normal reception lists a frame as soon as it is back.
    btn_clear_cb(nullptr, nullptr);
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "1");
    btn_send_cb(nullptr, nullptr);
    ASSERT_TRUE(pump_until([] { return can2_cnt_r == 1; }));
    EXPECT_LE(apipart_recv_workers_max(), 1);
}

TEST_F(OnAdapter, BurstOf500FramesIsListedOnBothChannels)
{
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "500");
    set_check(ss_info.chk[SS_CHK_IID], true);
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    bool shot = false;
    ASSERT_TRUE(pump_until([&] {
        if (!shot && can2_cnt_r >= 100) {
            screenshot("burst");
            shot = true;
        }
        return can1_cnt_s == 500 && can2_cnt_r == 500;
    }, 60000));
    set_check(ss_info.chk[SS_CHK_IID], false);
    ASSERT_TRUE(pump_until([] { return idle(); }));
    screenshot("burst_done");

    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_SEND1_C]), "500");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_SEND2_C]), "0");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_RECV1_C]), "0");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_RECV2_C]), "500");
    ASSERT_EQ(rows(), 1000);
    int send_rows = 0;
    int recv_rows = 0;
    for (int r = 0; r < rows(); ++r) {
        if (cell(r, COL_PATH) == "Send" && cell(r, COL_CH) == "1")
            ++send_rows;
        if (cell(r, COL_PATH) == "Recv" && cell(r, COL_CH) == "2")
            ++recv_rows;
    }
    EXPECT_EQ(send_rows, 500);
    EXPECT_EQ(recv_rows, 500);
    EXPECT_EQ(cell(999, COL_NO), "1000");
    EXPECT_EQ(sent_frames().size(), 500u);
}

// ---- the utility as a trace tool -------------------------------------------

// Every frame listed is in the file, in the order listed, in each format;
// received frames carry the adapter's timestamps, and a bus-error report
// that names CAN2 is an error frame there.
TEST_F(OnAdapter, RecordingOfALoopbackBurstReadsBackAsTheFramesListed)
{
    for (const char *file : {"burst.log", "burst.asc", "burst.csv"}) {
        SCOPED_TRACE(file);
        velk::test::ScratchDir dir;
        const std::string path = dir.path(file);
        btn_clear_cb(nullptr, nullptr);
        set_err_str(0);
        answer_record_dialog(path);
        gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
        ASSERT_TRUE(rec_is_recording());
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "200");
        set_check(ss_info.chk[SS_CHK_IID], true);
        gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
        ASSERT_TRUE(pump_until([] { return can1_cnt_s == 200 && can2_cnt_r == 200; }, 60000));
        set_check(ss_info.chk[SS_CHK_IID], false);
        if (std::string(file) == "burst.asc")
            screenshot("recording");
        Report r;
        r.kind = Report::BusError;
        r.status = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x02, 0x03};
        sim().inject(r);
        ASSERT_TRUE(pump_until([] { return label(bs_info.label_content[BS_LABEL_CAN2_ECR_C]) == "010203"; }));
        gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
        ASSERT_TRUE(pump_until([] { return !rec_is_recording(); }, 10000));

        velk::trace::Format format;
        ASSERT_TRUE(velk::trace::format_of(path, &format));
        const auto got = velk::test::read_trace(path, format);
        ASSERT_EQ(got.size(), static_cast<size_t>(rows()) + 1);
        for (int row = 0; row < rows(); ++row) {
            const velk::trace::Frame want = listed_frame(row);
            const velk::trace::Frame &f = got[static_cast<size_t>(row)];
            ASSERT_TRUE(f.channel == want.channel && f.tx == want.tx && f.id == want.id &&
                        f.extended == want.extended && f.remote == want.remote && f.fd == want.fd &&
                        f.brs == want.brs && f.len == want.len && f.data == want.data)
                << "row " << row << ": " << velk::trace::frame_text(f, false) << " listed as "
                << velk::trace::frame_text(want, false);
            if (format == velk::trace::Format::Csv) {
                EXPECT_EQ(f.has_adapter_time, !f.tx) << row;
                EXPECT_EQ(f.source, f.tx ? velk::trace::TimeSource::Host : velk::trace::TimeSource::Adapter) << row;
            }
        }
        EXPECT_TRUE(got.back().error);
        EXPECT_EQ(got.back().channel, 1);
        if (format == velk::trace::Format::Asc) {
            EXPECT_EQ(velk::test::lines_of(velk::test::read_file(path)).back(), "End TriggerBlock");
        }
        EXPECT_EQ(rec_frames(), rows() + 1);
    }
}

// 40 frames 10 ms apart: the monitor counts them and shows the mean period
// of the last 16, which the adapter's timestamps give.
TEST_F(OnAdapter, MonitorShowsCountAndMeanPeriodOfAPeriodicSend)
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 1);
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "40");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_ITVL], "10000");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(pump_until([] { return can2_cnt_r == 40; }, 20000));
    ASSERT_TRUE(pump_until([] {
        int r = monitor_row("2", "Recv", "123");
        return r >= 0 && monitor_cell(r, MN_COL_COUNT) == "40";
    })) << mn_rows() << " rows: " << label(mn_info.label);
    screenshot("monitor");
    const std::vector<double> t = received_adapter_times();
    ASSERT_EQ(t.size(), 40u);
    const double expected_ms = (t[39] - t[23]) / 16 * 1000;
    const int r = monitor_row("2", "Recv", "123");
    const double period = std::stod(monitor_cell(r, MN_COL_PERIOD));
    EXPECT_NEAR(period, expected_ms, expected_ms * 0.02);
    // The interval plus the time each send takes.
    EXPECT_GE(period, 10.0);
    EXPECT_LT(period, 12.0);
    const int sent = monitor_row("1", "Send", "123");
    ASSERT_GE(sent, 0);
    EXPECT_EQ(monitor_cell(sent, MN_COL_COUNT), "40");
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 0);
}

// Reports that arrive in one read keep the adapter's own times, whatever
// the host's receive time of the batch.
TEST_F(OnAdapter, FramesReadInOneBatchKeepTheirOwnAdapterTimes)
{
    const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes batch;
    for (const auto &[id, usec] : {std::pair{0x321u, 100u}, {0x321u, 350u}, {0x321u, 1350u}, {0x322u, 2000u}}) {
        Bytes b = velk::sim::report_e2(0, false, false, 8, id, data, 7, usec);
        batch.insert(batch.end(), b.begin(), b.end());
    }
    sim().inject(batch);
    ASSERT_TRUE(pump_until([] { return can1_cnt_r == 4; }));
    screenshot("adapter_time");
    struct {
        int mode;
        const char *cells[4];
    } const cases[] = {
        {TIME_ABSOLUTE, {"00:00:07.000100", "00:00:07.000350", "00:00:07.001350", "00:00:07.002000"}},
        {TIME_RELATIVE, {"0.000000", "0.000250", "0.001250", "0.001900"}},
        {TIME_DELTA, {"", "0.000250", "0.001000", ""}},
    };
    for (const auto &c : cases) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(tr_info.cbbox_time), c.mode);
        for (int row = 0; row < 4; ++row)
            EXPECT_EQ(cell(row, COL_ATIME), c.cells[row]) << "mode " << c.mode << " row " << row;
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(tr_info.cbbox_time), TIME_ABSOLUTE);
}

// A known mix of frames in one second: the frame rates, and the bus load the
// hand-counted bits of each kind give at the channels' rates.
TEST_F(OnAdapter, BusLoadOfAKnownMixIsWithinFivePercentOfTheComputedValue)
{
    const UPUI_INFO u = upui_info_copy();
    ASSERT_EQ(u.cfg_info_canfd.baud[0], 7);  // 500 kbit/s
    ASSERT_EQ(u.cfg_info_canfd.baud[1], 7);
    ASSERT_EQ(u.cfg_info_canfd.datarate[0], 2);  // 2 Mbit/s
    const Bytes data(64, 0x5A);
    Bytes mix;
    auto add = [&mix](const Bytes &b) { mix.insert(mix.end(), b.begin(), b.end()); };
    for (uint32_t i = 0; i < 100; ++i) {
        for (int k = 0; k < 4; ++k)
            add(velk::sim::report_e2(0, false, false, 8, 0x100, data, 1, i));  // 135 bits
        for (int k = 0; k < 2; ++k) {
            add(velk::sim::report_e2(0, true, false, 0, 0x1000, data, 1, i));  // 80 bits
            add(velk::sim::report_f1(0, false, 15, 0x05, 0x200, data, 1, i));  // 33 + 679 at 2 Mbit/s
            add(velk::sim::report_f1(0, true, 9, 0x04, 0x300, data, 1, i));    // 56 + 155, no BRS
        }
        for (int k = 0; k < 3; ++k)
            add(velk::sim::report_e2(1, true, false, 8, 0x1ABCDEF0, data, 1, i));  // 160 bits
    }
    // One second of the meter, driven by hand: the main loop does not run
    // until the second sample.
    const gint64 t0 = g_get_monotonic_time();
    bs_sample_rates(t0);
    sim().inject(mix);
    ASSERT_TRUE(velk::test::wait_until([] { return received_waiting() == 1300; }, 20000)) << received_waiting();
    while (received_waiting() > 0)
        update_BS_frame(nullptr);
    bs_sample_rates(t0 + 1000000);
    // Read before the screenshot runs the main loop: the utility's own
    // once-a-second sample may come due there and count the next second.
    const std::string rate1 = label(bs_info.label_rate[CAN_1]), rate2 = label(bs_info.label_rate[CAN_2]);
    const std::string load1 = label(bs_info.label_load[CAN_1]), load2 = label(bs_info.label_load[CAN_2]);
    screenshot("bus_load");

    const double can1 = ((400 * 135 + 200 * 80 + 200 * 33 + 200 * (56 + 155)) / 500e3 + 200 * 679 / 2e6) * 100;
    const double can2 = 300 * 160 / 500e3 * 100;
    EXPECT_EQ(rate1, "1000");
    EXPECT_EQ(rate2, "300");
    EXPECT_NEAR(std::stod(load1), can1, can1 * 0.05) << load1;
    EXPECT_NEAR(std::stod(load2), can2, can2 * 0.05) << load2;
}


// ---- CAN databases: names and signals of the frames the adapter sends ----

namespace {

constexpr const char *kSignalsDbc = R"(VERSION ""
NS_ :
BS_:
BU_: Ecu

BO_ 291 EngineData: 8 Ecu
 SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|16000] "rpm" Ecu
 SG_ Gear : 16|3@1+ (1,0) [0|7] "" Ecu

BO_ 2566853172 BodyExt: 8 Ecu
 SG_ Temp : 0|8@1+ (1,-40) [-40|215] "degC" Ecu

BO_ 512 MuxMsg: 8 Ecu
 SG_ Sel M : 0|8@1+ (1,0) [0|255] "" Ecu
 SG_ PageA m1 : 8|16@1+ (1,0) [0|65535] "" Ecu
 SG_ PageB m2 : 8|8@1+ (0.5,0) [0|100] "V" Ecu

BO_ 768 FloatMsg: 4 Ecu
 SG_ Level : 0|32@1- (1,0) [0|0] "" Ecu

BO_ 1024 FdMsg: 64 Ecu
 SG_ Far : 480|16@1+ (1,0) [0|65535] "" Ecu

VAL_ 291 Gear 0 "Park" 3 "Drive" ;
SIG_VALTYPE_ 768 Level : 1;
)";

std::string write_file(const std::string &name, const std::string &text)
{
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::trunc) << text;
    return path;
}

Report data_report(Report::Kind kind, bool extended, uint32_t id, int dlc, std::initializer_list<std::pair<int, int>> bytes)
{
    Report r;
    r.kind = kind;
    r.channel = 0;
    r.extended = extended;
    r.id = id;
    r.dlc = dlc;
    r.second = 100;
    for (const auto &b : bytes)
        r.data[static_cast<size_t>(b.first)] = static_cast<uint8_t>(b.second);
    return r;
}

// The child row of a signal under a monitor row, -1 where none.
int signal_child(int row, const char *name)
{
    for (int c = 0; c < monitor_children(row); ++c)
        if (monitor_child_cell(row, c, MN_COL_NAME) == name)
            return c;
    return -1;
}

// The monitor as it stands, drawn off screen: the tests' windows share one
// display and may overlap there. The caller destroys it.
cairo_surface_t *draw_monitor()
{
    cairo_surface_t *surface = cairo_image_surface_create(
        CAIRO_FORMAT_RGB24, gtk_widget_get_allocated_width(mn_info.tree), gtk_widget_get_allocated_height(mn_info.tree));
    cairo_t *cr = cairo_create(surface);
    gtk_widget_draw(mn_info.tree, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    return surface;
}

// Whether a drawing of the monitor has ink in a cell: pixels of the cell's
// area that differ from its first one.
bool monitor_cell_inked(cairo_surface_t *drawing, GtkTreePath *path, int column)
{
    GtkTreeView *view = GTK_TREE_VIEW(mn_info.tree);
    GdkRectangle cell;
    gtk_tree_view_get_cell_area(view, path, mn_column(column), &cell);
    int x = 0;
    int y = 0;
    gtk_tree_view_convert_bin_window_to_widget_coords(view, cell.x, cell.y, &x, &y);
    const int width = cairo_image_surface_get_width(drawing);
    const int height = cairo_image_surface_get_height(drawing);
    const unsigned char *data = cairo_image_surface_get_data(drawing);
    const int stride = cairo_image_surface_get_stride(drawing);
    auto pixel = [&](int px, int py) {
        uint32_t v = 0;
        std::memcpy(&v, data + py * stride + px * 4, sizeof v);
        return v;
    };
    // Inside the grid lines; a cell scrolled out of view has none.
    if (x + 2 < 0 || x + 2 >= width || y + 2 < 0 || y + 2 >= height)
        return false;
    const uint32_t ground = pixel(x + 2, y + 2);
    for (int py = std::max(0, y + 2); py < std::min(height, y + cell.height - 1); ++py)
        for (int px = std::max(0, x + 2); px < std::min(width, x + cell.width - 2); ++px)
            if (pixel(px, py) != ground)
                return true;
    return false;
}

}  // namespace

TEST_F(OnAdapter, DatabaseNamesAndDecodesStandardExtendedMultiplexedFloatAndFdFrames)
{
    const std::string path = write_file("signals.dbc", kSignalsDbc);
    fill_log();
    const size_t before = log_lines().size();
    ASSERT_EQ(db_add_files({path}), 1);
    ASSERT_EQ(log_lines().size(), before + 2);
    EXPECT_EQ(log_lines()[before], "Database signals.dbc loaded with 1 warning: 5 messages, 8 signals");
    EXPECT_EQ(log_lines().back(), "  " + path + ":21: message FdMsg is 64 bytes long but not CAN FD by its "
                                                "VFrameFormat; taken as CAN FD");
    EXPECT_TRUE(log_shows_newest());
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 1);

    sim().inject(data_report(Report::E2, false, 0x123, 8, {{0, 0x28}, {1, 0x1C}, {2, 0x03}}));
    sim().inject(data_report(Report::E2, true, 0x18FF1234, 8, {{0, 100}}));
    sim().inject(data_report(Report::E2, false, 0x200, 8, {{0, 1}, {1, 0x34}, {2, 0x12}}));
    sim().inject(data_report(Report::E2, false, 0x300, 4, {{2, 0xC0}, {3, 0x3F}}));  // 1.5f
    sim().inject(data_report(Report::F1, false, 0x400, 15, {{60, 0x34}, {61, 0x12}}));
    ASSERT_TRUE(pump_until([] { return can1_cnt_r == 5; }));
    mn_refresh();

    const int engine = monitor_row("1", "Recv", "123");
    ASSERT_GE(engine, 0);
    EXPECT_EQ(monitor_cell(engine, MN_COL_NAME), "EngineData");
    ASSERT_EQ(monitor_children(engine), 2);
    EXPECT_EQ(monitor_child_cell(engine, 0, MN_COL_NAME), "EngineSpeed");
    EXPECT_EQ(monitor_child_cell(engine, 0, MN_COL_VALUE), "1802.0 rpm");
    EXPECT_EQ(monitor_child_cell(engine, 0, MN_COL_RAW), "7208");
    EXPECT_EQ(monitor_child_cell(engine, 0, MN_COL_RANGE), "[0|16000]");
    EXPECT_EQ(monitor_child_cell(engine, 1, MN_COL_VALUE), "3");
    EXPECT_EQ(monitor_child_cell(engine, 1, MN_COL_TEXT), "Drive");

    const int body = monitor_row("1", "Recv", "18FF1234");
    ASSERT_GE(body, 0);
    EXPECT_EQ(monitor_cell(body, MN_COL_NAME), "BodyExt");
    EXPECT_EQ(monitor_child_cell(body, 0, MN_COL_VALUE), "60 degC");

    const int mux = monitor_row("1", "Recv", "200");
    ASSERT_GE(mux, 0);
    EXPECT_GE(signal_child(mux, "PageA"), 0);
    EXPECT_EQ(signal_child(mux, "PageB"), -1);
    EXPECT_EQ(monitor_child_cell(mux, signal_child(mux, "PageA"), MN_COL_VALUE), "4660");

    const int level = monitor_row("1", "Recv", "300");
    ASSERT_GE(level, 0);
    EXPECT_EQ(monitor_child_cell(level, 0, MN_COL_VALUE), "1.5");

    const int fd = monitor_row("1", "Recv", "400");
    ASSERT_GE(fd, 0);
    EXPECT_EQ(monitor_cell(fd, MN_COL_NAME), "FdMsg");
    EXPECT_EQ(monitor_child_cell(fd, 0, MN_COL_VALUE), "4660");

    // The frame list names the messages.
    ASSERT_EQ(rows(), 5);
    EXPECT_EQ(cell(0, COL_MESSAGE), "EngineData");
    EXPECT_EQ(cell(1, COL_MESSAGE), "BodyExt");
    EXPECT_EQ(cell(4, COL_MESSAGE), "FdMsg");

    // Another page of the multiplexed message shows its own signals, the
    // value that changed in bold.
    sim().inject(data_report(Report::E2, false, 0x200, 8, {{0, 2}, {1, 20}}));
    ASSERT_TRUE(pump_until([] { return can1_cnt_r == 6; }));
    mn_refresh();
    EXPECT_EQ(signal_child(mux, "PageA"), -1);
    ASSERT_GE(signal_child(mux, "PageB"), 0);
    EXPECT_EQ(monitor_child_cell(mux, signal_child(mux, "PageB"), MN_COL_VALUE), "10.0 V");
    EXPECT_EQ(monitor_child_cell(mux, signal_child(mux, "Sel"), MN_COL_VALUE), "<b>2</b>");
    gtk_tree_view_expand_all(GTK_TREE_VIEW(mn_info.tree));
    // Drawn as well as held: a message's row shows its name and kind and
    // no value, a signal's row below it its value and no kind.
    ASSERT_TRUE(paint_window());
    cairo_surface_t *drawing = draw_monitor();
    GtkTreePath *message = gtk_tree_path_new_from_indices(engine, -1);
    GtkTreePath *signal = gtk_tree_path_new_from_indices(engine, 0, -1);
    EXPECT_TRUE(monitor_cell_inked(drawing, message, MN_COL_NAME));
    EXPECT_TRUE(monitor_cell_inked(drawing, message, MN_COL_COUNT));
    EXPECT_FALSE(monitor_cell_inked(drawing, signal, MN_COL_COUNT));
    cairo_surface_destroy(drawing);
    // A signal's columns follow a frame's to the right: scrolled to.
    GtkAdjustment *across = gtk_scrollable_get_hadjustment(GTK_SCROLLABLE(mn_info.tree));
    gtk_adjustment_set_value(across, gtk_adjustment_get_upper(across) - gtk_adjustment_get_page_size(across));
    ASSERT_TRUE(paint_window());
    drawing = draw_monitor();
    EXPECT_TRUE(monitor_cell_inked(drawing, message, MN_COL_TYPE));
    EXPECT_FALSE(monitor_cell_inked(drawing, message, MN_COL_VALUE));
    EXPECT_TRUE(monitor_cell_inked(drawing, signal, MN_COL_VALUE));
    EXPECT_FALSE(monitor_cell_inked(drawing, signal, MN_COL_TYPE));
    gtk_adjustment_set_value(across, 0);
    // A screen reader reads the plain text of every cell, markup or not.
    EXPECT_EQ(accessible_cell_text(mn_info.tree, signal, mn_column(MN_COL_VALUE)), "1802.0 rpm");
    EXPECT_EQ(accessible_cell_text(mn_info.tree, message, mn_column(MN_COL_NAME)), "EngineData");
    GtkTreePath *sel = gtk_tree_path_new_from_indices(mux, signal_child(mux, "Sel"), -1);
    EXPECT_EQ(accessible_cell_text(mn_info.tree, sel, mn_column(MN_COL_VALUE)), "2");
    gtk_tree_path_free(sel);
    GtkTreePath *mux_row = gtk_tree_path_new_from_indices(mux, -1);
    EXPECT_EQ(accessible_cell_text(mn_info.tree, mux_row, mn_column(MN_COL_DATA)), "02 14 00 00 00 00 00 00");
    gtk_tree_path_free(mux_row);
    gtk_tree_path_free(message);
    gtk_tree_path_free(signal);
    cairo_surface_destroy(drawing);
    screenshot("utility-signals");
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 0);
    screenshot("utility-signals-frames");

    // The plot offers the databases' signals; activating a signal's row of
    // the monitor plots it and shows the plot.
    const auto choices = plot_signal_choices();
    EXPECT_NE(std::find(choices.begin(), choices.end(), "EngineData.EngineSpeed"), choices.end());
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 1);
    GtkTreePath *speed = gtk_tree_path_new_from_indices(engine, 0, -1);
    gtk_tree_view_row_activated(GTK_TREE_VIEW(mn_info.tree), speed, gtk_tree_view_get_column(GTK_TREE_VIEW(mn_info.tree), 0));
    gtk_tree_path_free(speed);
    EXPECT_EQ(plot_signals(), std::vector<std::string>{"EngineData.EngineSpeed"});
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(tr_info.notebook)), gtk_notebook_get_n_pages(GTK_NOTEBOOK(tr_info.notebook)) - 1);
    plot_clear();

    // Remembered for the next start, and forgotten when removed.
    std::ifstream remembered(gui::databases::config_path());
    std::string line;
    ASSERT_TRUE(std::getline(remembered, line));
    EXPECT_EQ(line, path);
    db_remove(0);
    EXPECT_TRUE(gui::databases::all().empty());
    EXPECT_EQ(log_lines().back(), "Database signals.dbc removed");
    mn_refresh();
    EXPECT_EQ(monitor_cell(monitor_row("1", "Recv", "123"), MN_COL_NAME), "");
    EXPECT_TRUE(plot_signal_choices().empty());
}

TEST_F(OnAdapter, DatabaseThatFailsToLoadIsOneLogLineAndChangesNothing)
{
    const std::string good = write_file("good.dbc", kSignalsDbc);
    ASSERT_EQ(db_add_files({good}), 1);
    const std::string bad = write_file("bad.dbc", "VERSION \"\"\nBU_: Ecu\nBO_ 291 Broken 8 Ecu\n");
    fill_log();
    const size_t before = log_lines().size();
    EXPECT_EQ(db_add_files({bad}), 0);
    ASSERT_EQ(log_lines().size(), before + 1);
    const std::string line = log_lines().back();
    EXPECT_EQ(line.rfind("Database not loaded: " + bad + ":3:", 0), 0u) << line;
    EXPECT_TRUE(log_shows_newest());
    ASSERT_EQ(gui::databases::all().size(), 1u);
    EXPECT_EQ(gui::databases::all()[0].path, good);
    EXPECT_NE(gui::databases::find(0x123, false), nullptr);

    // One that loads only with warnings says what it holds, in the log and
    // in the Databases… list, so a file that lost messages shows it.
    std::string text = "BO_ 2048 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n";
    for (int id = 1; id <= 6; ++id)
        text += "CM_ BO_ " + std::to_string(id) + " \"x\";\n";
    const std::string odd = write_file("odd.dbc", text);
    const size_t at = log_lines().size();
    EXPECT_EQ(db_add_files({odd}), 1);
    const std::vector<std::string> all = log_lines();
    const std::vector<std::string> lines(all.begin() + static_cast<long>(at), all.end());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "Database odd.dbc loaded with 7 warnings: 1 message, 1 signal");
    EXPECT_EQ(lines[1], "  " + odd + ":1: message A: standard identifier 0x800 is above 0x7FF (bit 31 not set); "
                                   "taken as the 29-bit identifier 0x800");
    EXPECT_EQ(lines[5], "  " + odd + ":6: comment of unknown message 4 ignored");
    EXPECT_EQ(lines[6], "  ... and 2 more");
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(db_info.tree));
    GtkTreeIter iter;
    ASSERT_TRUE(gtk_tree_model_iter_nth_child(model, &iter, nullptr, 1));
    gint messages = 0, signals = 0, warnings = 0;
    gtk_tree_model_get(model, &iter, 1, &messages, 2, &signals, 3, &warnings, -1);
    EXPECT_EQ(messages, 1);
    EXPECT_EQ(signals, 1);
    EXPECT_EQ(warnings, 7);
    db_remove(1);
    db_remove(0);
}

namespace {

// Answers By signal… with EngineData at 1802 rpm in Drive, and says OK.
gint by_signal_engine_data(GtkDialog *dialog)
{
    GtkWidget *box = named_widget(GTK_WIDGET(dialog), "sg_message_cbbox");
    GtkWidget *tree = named_widget(GTK_WIDGET(dialog), "sg_treeview");
    if (box == nullptr || tree == nullptr || !select_text(box, "EngineData (123)"))
        return GTK_RESPONSE_CANCEL;
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(tree));
    GtkTreeIter iter;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok; ok = gtk_tree_model_iter_next(model, &iter)) {
        gchar *name = nullptr;
        gtk_tree_model_get(model, &iter, 0, &name, -1);
        const std::string signal = name != nullptr ? name : "";
        g_free(name);
        gtk_list_store_set(GTK_LIST_STORE(model), &iter, 1, signal == "Gear" ? "Drive" : "1802", -1);
    }
    screenshot_of(GTK_WIDGET(dialog), "by-signal");
    return GTK_RESPONSE_OK;
}

}  // namespace

// By signal… fills the data editor; the editor's Cancel leaves the send
// panel as it was, its OK puts the frame into the panel and on the wire.
TEST_F(OnAdapter, BySignalFillsTheEditorAndOnlyTheEditorsOkChangesThePanel)
{
    const std::string path = write_file("editor.dbc", kSignalsDbc);
    ASSERT_EQ(db_add_files({path}), 1);
    GtkWidget *by_signal = named_widget(windows->ed_dialog, "ed_signal_btn");
    ASSERT_NE(by_signal, nullptr);
    sg_dialog_run = by_signal_engine_data;
    set_entry(ss_info.ety_d[SS_ETY_D_ID], "7AB");
    select_text(ss_info.cbbox[SS_CBBOX_LEN], "2");
    set_entry(ss_info.ety_d[SS_ETY_D_B0], "AA");
    set_entry(ss_info.ety_d[SS_ETY_D_B0 + 1], "BB");

    for (int response : {static_cast<int>(GTK_RESPONSE_CANCEL), 1}) {
        std::vector<std::string> editor;
        answer_editor([&] {
            gtk_button_clicked(GTK_BUTTON(by_signal));
            for (int i = 0; i < 8; ++i)
                editor.push_back(gtk_widget_get_visible(ed_info.ety_d[i]) ? entry(ed_info.ety_d[i]) : "-");
            // Nothing reaches the panel while the editor is open.
            EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), "7AB");
            EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_LEN]), "2");
            return response;
        });
        gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
        answer_editor(nullptr);
        EXPECT_EQ(editor, (std::vector<std::string>{"28", "1C", "03", "00", "00", "00", "00", "00"})) << response;
        if (response == GTK_RESPONSE_CANCEL) {
            EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), "7AB");
            EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_LEN]), "2");
            EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_B0]), "AA");
            EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_B0 + 1]), "BB");
        }
    }
    // After Cancel the panel was as before; after OK it holds the frame.
    EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), "123");
    EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_LEN]), "8");
    EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_B0 + 1]), "1C");
    EXPECT_EQ(log_lines().back(), "Encoded EngineData into the send panel");
    EXPECT_TRUE(log_shows_newest());
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    // Its loopback copy too, so that the next test starts from nothing.
    ASSERT_TRUE(pump_until([] { return can1_cnt_s == 1 && can2_cnt_r == 1 && delivered(); }));
    ASSERT_EQ(sent_frames().size(), 1u);
    const Bytes f = sent_frames()[0];
    EXPECT_EQ(frame_id(f), 0x123u);
    EXPECT_EQ(Bytes(f.begin() + 6, f.begin() + 14), (Bytes{0x28, 0x1C, 0x03, 0, 0, 0, 0, 0}));
    sg_dialog_run = gtk_dialog_run;
    db_remove(0);
}

TEST_F(OnAdapter, SendingBySignalPutsTheEncodedBytesOnTheWire)
{
    const std::string path = write_file("send.dbc", kSignalsDbc);
    ASSERT_EQ(db_add_files({path}), 1);

    // A value outside the range is refused in the log; the panel stays.
    const std::string id_before = entry(ss_info.ety_d[SS_ETY_D_ID]);
    fill_log();
    EXPECT_FALSE(sg_encode_to_panel("EngineData", {{"EngineSpeed", "20000"}, {"Gear", "Drive"}}));
    EXPECT_NE(log_lines().back().find("Not encoded: signal EngineSpeed"), std::string::npos) << log_lines().back();
    EXPECT_TRUE(log_shows_newest());
    EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), id_before);
    EXPECT_FALSE(sg_encode_to_panel("EngineData", {{"Gear", "Reverse"}}));
    EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), id_before);

    ASSERT_TRUE(sg_encode_to_panel("EngineData", {{"EngineSpeed", "1802"}, {"Gear", "Drive"}}));
    EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), "123");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(pump_until([] { return can1_cnt_s == 1 && can2_cnt_r == 1 && delivered(); }));
    std::vector<Bytes> frames = sent_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frame_id(frames[0]), 0x123u);
    EXPECT_EQ(frames[0][1] >> 4, 8);
    EXPECT_EQ(Bytes(frames[0].begin() + 6, frames[0].begin() + 14), (Bytes{0x28, 0x1C, 0x03, 0, 0, 0, 0, 0}));

    // A multiplexed message: the signals of the page its switch selects.
    sim().clear_host_frames();
    ASSERT_TRUE(sg_encode_to_panel("MuxMsg", {{"Sel", "2"}, {"PageA", "5"}, {"PageB", "10"}}));
    EXPECT_EQ(entry(ss_info.ety_d[SS_ETY_D_ID]), "200");
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_send));
    ASSERT_TRUE(pump_until([] { return can1_cnt_s == 2 && sent_frames().size() == 1; }));
    frames = sent_frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frame_id(frames[0]), 0x200u);
    EXPECT_EQ(frames[0][6], 2);
    EXPECT_EQ(frames[0][7], 20);
    db_remove(0);
}
