// The Transmit tab of the running utility against the emulated adapter:
// entries edited in the list go out on the wire at their cycles, edits
// apply while running, Stop all, Stop CAN, an unplug and quitting stop the
// list, a list over the pacing bound does not start, the frames it sends
// are listed and counted as sent ones, and the list file round-trips
// through Save… and Load….
#include "gui2_harness.h"
#include "panel_transmit.h"
#include "test_support.h"
#include "txlist.h"
#include "tools_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

using namespace gui2;
using velk::sim::Bytes;

namespace {

std::string answer_path;

gint answer_tx_dialog(GtkDialog *dialog)
{
    return gui_widgets::answer_file_chooser(dialog, answer_path);
}

std::string tx_cell(int row, int column)
{
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(tx_info.store), &iter, nullptr, row))
        return "<no row>";
    gchar *text = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(tx_info.store), &iter, column, &text, -1);
    std::string s = text != nullptr ? text : "";
    g_free(text);
    return s;
}

bool tx_on(int row)
{
    GtkTreeIter iter;
    gboolean on = FALSE;
    if (gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(tx_info.store), &iter, nullptr, row))
        gtk_tree_model_get(GTK_TREE_MODEL(tx_info.store), &iter, TX_COL_ON, &on, -1);
    return on != FALSE;
}

// Types text into a cell as the editor would hand it over.
void edit(int row, int column, const char *text)
{
    const std::string path = std::to_string(row);
    g_signal_emit_by_name(tx_info.renderer[column], "edited", path.c_str(), text);
}

void select(int row)
{
    GtkTreePath *path = gtk_tree_path_new_from_indices(row, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(tx_info.view)), path);
    gtk_tree_path_free(path);
}

uint32_t frame_id(const Bytes &f)
{
    return (uint32_t(f[2]) << 24) | (uint32_t(f[3]) << 16) | (uint32_t(f[4]) << 8) | f[5];
}

bool has_log(const std::string &part)
{
    for (const std::string &l : log_lines())
        if (l.find(part) != std::string::npos)
            return true;
    return false;
}

// Rows of the frame list with this path ("Send", "Recv") and identifier as shown.
int listed(const char *path, const char *id)
{
    int n = 0;
    for (int r = 0; r < rows(); ++r)
        if (cell(r, COL_PATH) == path && cell(r, COL_ID) == id)
            ++n;
    return n;
}

int first_listed(const char *path, const char *id)
{
    for (int r = 0; r < rows(); ++r)
        if (cell(r, COL_PATH) == path && cell(r, COL_ID) == id)
            return r;
    return -1;
}

class Transmit : public OnEmulatedAdapter {
protected:
    static void SetUpTestSuite()
    {
        open_adapter();
        tx_dialog_run = answer_tx_dialog;
    }

    static void TearDownTestSuite()
    {
        tx_stop_all();
        close_adapter();
    }

    void SetUp() override
    {
        connect_and_start();
        if (HasFatalFailure())
            return;
        tx_stop_all();
        while (tx_size() > 0) {
            select(0);
            gtk_button_clicked(GTK_BUTTON(tx_info.del));
        }
        clear_log();
        sim().clear_host_frames();
        dir_ = std::make_unique<velk::test::ScratchDir>();
    }

    // The classic frames on the wire with this identifier.
    static std::vector<Bytes> wire(uint32_t id)
    {
        std::vector<Bytes> out;
        for (const Bytes &f : sim().host_frames(0xE0))
            if (frame_id(f) == id)
                out.push_back(f);
        return out;
    }

    // Saves the list through Save… to `path`; the file's text.
    static std::string saved_as(const std::string &path)
    {
        answer_path = path;
        gtk_button_clicked(GTK_BUTTON(tx_info.save));
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    // Row `row` as CAN1 id#data every cycle_ms.
    static void make_entry(const char *id, const char *data, const char *cycle_ms)
    {
        gtk_button_clicked(GTK_BUTTON(tx_info.add));
        const int row = tx_size() - 1;
        edit(row, TX_COL_ID, id);
        edit(row, TX_COL_DATA, data);
        edit(row, TX_COL_CYCLE, cycle_ms);
    }

    std::unique_ptr<velk::test::ScratchDir> dir_;
};

}  // namespace

TEST_F(Transmit, TwoEntriesGoOutAtTheirCyclesAndStopAll)
{
    make_entry("123", "1122", "20");
    make_entry("1ABCDEF0", "33", "50");
    ASSERT_EQ(tx_size(), 2);
    EXPECT_EQ(tx_cell(0, TX_COL_CH), "CAN1");
    EXPECT_EQ(tx_cell(0, TX_COL_ID), "123");
    EXPECT_EQ(tx_cell(0, TX_COL_DATA), "1122");
    EXPECT_EQ(tx_cell(0, TX_COL_CYCLE), "20");
    EXPECT_EQ(tx_cell(1, TX_COL_ID), "1ABCDEF0");
    EXPECT_FALSE(tx_on(0));

    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    EXPECT_TRUE(tx_running());
    EXPECT_TRUE(tx_on(0) && tx_on(1));
    EXPECT_TRUE(has_log("Transmit list started: CAN1 70 of")) << ::testing::PrintToString(log_lines());
    ASSERT_TRUE(pump_until([] { return wire(0x123).size() >= 10 && wire(0x1ABCDEF0).size() >= 4; }, 20000));
    static int drawn = 0;
    g_signal_connect_after(tx_info.view, "draw", G_CALLBACK(+[](GtkWidget *, cairo_t *, gpointer) {
                               ++drawn;
                               return FALSE;
                           }),
                           nullptr);
    GtkNotebook *tabs = GTK_NOTEBOOK(tr_info.notebook);
    gtk_notebook_set_current_page(tabs, gtk_notebook_page_num(tabs, tx_info.box));
    ASSERT_TRUE(pump_until([] {
        return drawn > 2 && !tx_cell(0, TX_COL_PERIOD).empty() && !tx_cell(1, TX_COL_PERIOD).empty();
    }));
    screenshot("transmit");

    const std::vector<Bytes> a = wire(0x123);
    EXPECT_EQ(a[0][1], 0x21);  // CAN1, standard, data, DLC 2
    EXPECT_EQ(a[0][6], 0x11);
    EXPECT_EQ(a[0][7], 0x22);
    const std::vector<Bytes> b = wire(0x1ABCDEF0);
    EXPECT_EQ(b[0][1], 0x15);  // CAN1, extended, data, DLC 1
    EXPECT_EQ(b[0][6], 0x33);
    // The measured period is the cycle's, within what a loaded machine allows.
    ASSERT_TRUE(pump_until([] { return !tx_cell(0, TX_COL_PERIOD).empty(); }));
    const double period = std::stod(tx_cell(0, TX_COL_PERIOD));
    EXPECT_GT(period, 10.0);
    EXPECT_LT(period, 60.0);

    gtk_button_clicked(GTK_BUTTON(tx_info.stop_all));
    EXPECT_FALSE(tx_running());
    EXPECT_FALSE(tx_on(0) || tx_on(1));
    // Every frame counted as sent is on the wire, and no more come.
    ASSERT_TRUE(pump_until([] {
        return tx_cell(0, TX_COL_SENT) == std::to_string(wire(0x123).size()) &&
               tx_cell(1, TX_COL_SENT) == std::to_string(wire(0x1ABCDEF0).size());
    }));
    EXPECT_EQ(tx_cell(0, TX_COL_SENT), std::to_string(wire(0x123).size()));
}

TEST_F(Transmit, AnEditWhileRunningSendsTheNewBytesFromTheNextCycle)
{
    make_entry("321", "0102", "10");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(pump_until([] { return wire(0x321).size() >= 3; }));
    edit(0, TX_COL_DATA, "AABBCC");
    EXPECT_EQ(tx_cell(0, TX_COL_DATA), "AABBCC");
    auto new_bytes = [](const Bytes &f) { return (f[1] >> 4) == 3 && f[6] == 0xAA && f[7] == 0xBB && f[8] == 0xCC; };
    ASSERT_TRUE(pump_until([&] {
        const std::vector<Bytes> f = wire(0x321);
        return f.size() >= 3 && new_bytes(f.back()) && new_bytes(f[f.size() - 2]) && new_bytes(f[f.size() - 3]);
    }));
    // Once the new bytes went out, no old frame follows.
    const std::vector<Bytes> f = wire(0x321);
    size_t first_new = 0;
    while (first_new < f.size() && !new_bytes(f[first_new]))
        ++first_new;
    for (size_t i = first_new; i < f.size(); ++i)
        EXPECT_TRUE(new_bytes(f[i])) << i;
    // A bad edit is refused with its row, the entry as it was.
    edit(0, TX_COL_CYCLE, "0.5");
    EXPECT_TRUE(has_log("Transmit list: row 1: bad cycle '0.5'"));
    EXPECT_EQ(tx_cell(0, TX_COL_CYCLE), "10");
    tx_stop_all();
}

TEST_F(Transmit, StopCanStopsTheListFirst)
{
    make_entry("222", "01", "10");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(pump_until([] { return wire(0x222).size() >= 2; }));
    btn_start_cb(nullptr, nullptr);  // Stop CAN
    EXPECT_FALSE(tx_running());
    EXPECT_FALSE(tx_on(0));
    ASSERT_TRUE(wait_idle());
    EXPECT_FALSE(is_active);
    const size_t n = wire(0x222).size();
    EXPECT_EQ(tx_cell(0, TX_COL_SENT), std::to_string(n));
    // Not started again while CAN is stopped.
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    EXPECT_FALSE(tx_running());
    EXPECT_TRUE(has_log("Transmit list: connect and start CAN first"));
}

// Stop CAN clears the log and then says that the list stopped, with the
// frames it sent, below the lines of the stop.
TEST_F(Transmit, StopCanSaysTheListStoppedAfterClearingTheLog)
{
    make_entry("223", "01", "10");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(pump_until([] { return wire(0x223).size() >= 2; }));
    fill_log();
    btn_start_cb(nullptr, nullptr);  // Stop CAN
    ASSERT_TRUE(wait_idle());
    const std::string sent = tx_cell(0, TX_COL_SENT);
    EXPECT_EQ(sent, std::to_string(wire(0x223).size()));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Transmit list stopped: CAN stopped (" + sent +
                                                    " frames sent, 0 refused)"});
    EXPECT_TRUE(log_shows_newest());
    // A Stop CAN with no list running says nothing of it.
    connect_and_start();
    btn_start_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    EXPECT_TRUE(log_lines().empty()) << ::testing::PrintToString(log_lines());
}

// Save… after Stop all writes the entries the user ran (every one but the
// one unticked), so that velk_send --list runs them.
TEST_F(Transmit, AListSavedAfterStopAllRunsInVelkSend)
{
    make_entry("2B1", "01", "10");
    make_entry("2B2", "02", "10");
    make_entry("2B3", "03", "10");
    edit(2, TX_COL_COUNT, "4");
    edit(0, TX_COL_COUNT, "3");
    fill_log();
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    EXPECT_EQ(log_lines().back().rfind("Transmit list started: ", 0), 0u) << log_lines().back();
    EXPECT_TRUE(log_shows_newest());
    ASSERT_TRUE(pump_until([] { return wire(0x2B2).size() >= 2; }));
    g_signal_emit_by_name(tx_info.renderer[TX_COL_ON], "toggled", "1");  // the user unticks 2B2
    EXPECT_FALSE(tx_on(1));
    gtk_button_clicked(GTK_BUTTON(tx_info.stop_all));
    EXPECT_FALSE(tx_on(0) || tx_on(2));
    const std::string path = dir_->path("stopped.list");
    const std::string saved = saved_as(path);
    EXPECT_NE(saved.find("CAN1 2B1#01 10ms count=3\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("CAN1 2B2#02 10ms enabled=no\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("CAN1 2B3#03 10ms count=4\n"), std::string::npos) << saved;

    velk::sim::Adapter other;
    ASSERT_TRUE(other.start());
    velk::test::Child send;
    ASSERT_TRUE(velk::test::run(&send, {VELK_SEND_PATH, "--list", path, "-T", "2", other.slave_path()}));
    EXPECT_EQ(send.status(), 0) << send.err();
    const auto summary = velk::test::lines_of(send.out());
    ASSERT_EQ(summary.size(), 3u) << send.out();
    EXPECT_EQ(summary[0].rfind("1 CAN1 2B1#01 10ms count=3: sent 3, ", 0), 0u) << summary[0];
    EXPECT_EQ(summary[1].rfind("2 CAN1 2B2#02 10ms enabled=no: sent 0, ", 0), 0u) << summary[1];
    EXPECT_EQ(summary[2].rfind("3 CAN1 2B3#03 10ms count=4: sent 4, ", 0), 0u) << summary[2];
    EXPECT_EQ(other.host_frames(0xE0).size(), 7u);

    // Loaded again, the entries wait for a start, and a save keeps the choice.
    gtk_button_clicked(GTK_BUTTON(tx_info.load));
    ASSERT_EQ(tx_size(), 3);
    EXPECT_FALSE(tx_on(0) || tx_on(1) || tx_on(2));
    EXPECT_FALSE(tx_running());
    EXPECT_EQ(saved_as(dir_->path("again.list")), saved);
}

TEST_F(Transmit, AMessageOfTheWindowsDatabasesIsSentEncodedAndSavedWithItsFile)
{
    const std::string dbc = dir_->path("engine.dbc");
    ASSERT_TRUE(velk::test::write_file(dbc, "VERSION \"\"\nNS_ :\nBS_:\nBU_: Ecu\n\n"
                                            "BO_ 256 Engine: 8 Ecu\n"
                                            " SG_ Speed : 0|16@1+ (0.25,0) [0|16000] \"rpm\" Ecu\n"));
    make_entry("100", "00", "10");
    // No database holds the message yet: refused with its row.
    edit(0, TX_COL_DATA, "msg:Engine Speed=1000");
    EXPECT_TRUE(has_log("Transmit list: row 1: message Engine: no database loaded")) << ::testing::PrintToString(log_lines());
    EXPECT_EQ(tx_cell(0, TX_COL_DATA), "00");

    ASSERT_EQ(db_add_files({dbc}), 1);
    edit(0, TX_COL_DATA, "msg:Engine Speed=1000");
    EXPECT_EQ(tx_cell(0, TX_COL_DATA), "msg:Engine Speed=1000");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(pump_until([] { return wire(0x100).size() >= 2; }));
    tx_stop_all();
    // 1000 rpm at 0.25 rpm a bit is 4000 = 0x0FA0, little-endian from byte 0.
    const Bytes f = wire(0x100).front();
    EXPECT_EQ(f[1], 0x81);  // DLC 8; CAN1, standard, data
    EXPECT_EQ(f[6], 0xA0);
    EXPECT_EQ(f[7], 0x0F);

    // The saved list names the database, so that it loads elsewhere.
    const std::string path = dir_->path("engine.list");
    const std::string text = saved_as(path);
    EXPECT_TRUE(has_log("Transmit list saved to " + path));
    EXPECT_NE(text.find("dbc " + dbc + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("CAN1 msg:Engine 10ms Speed=1000"), std::string::npos) << text;
    velk::txlist::List back;
    std::string error;
    EXPECT_TRUE(velk::txlist::load_list(path, &back, &error)) << error;
    db_remove(0);
}

TEST_F(Transmit, SaveAndLoadRoundTripAndABadLineIsRefusedWithItsNumber)
{
    make_entry("123", "DEADBEEF", "10");
    make_entry("18FF0A01", "#1112233", "250");
    edit(1, TX_COL_CH, "CAN2");
    edit(1, TX_COL_COUNT, "50");
    const std::string path = dir_->path("bench.list");
    const std::string saved = saved_as(path);
    EXPECT_TRUE(has_log("Transmit list saved to " + path));
    // Never started, never unticked: saved to run.
    EXPECT_NE(saved.find("CAN1 123#DEADBEEF 10ms\n"), std::string::npos) << saved;
    EXPECT_NE(saved.find("CAN2 18FF0A01##1112233 250ms count=50\n"), std::string::npos) << saved;

    select(0);
    gtk_button_clicked(GTK_BUTTON(tx_info.del));
    ASSERT_EQ(tx_size(), 1);
    gtk_button_clicked(GTK_BUTTON(tx_info.load));
    ASSERT_EQ(tx_size(), 2);
    EXPECT_EQ(tx_cell(0, TX_COL_ID), "123");
    EXPECT_EQ(tx_cell(0, TX_COL_DATA), "DEADBEEF");
    EXPECT_EQ(tx_cell(1, TX_COL_CH), "CAN2");
    EXPECT_EQ(tx_cell(1, TX_COL_DATA), "#1112233");
    EXPECT_EQ(tx_cell(1, TX_COL_CYCLE), "250");
    EXPECT_EQ(tx_cell(1, TX_COL_COUNT), "50");

    const std::string bad = dir_->path("bad.list");
    std::ofstream(bad) << "# two good lines, then a bad one\nCAN1 7FF#01 10ms\nCAN1 100#02 0ms\n";
    answer_path = bad;
    gtk_button_clicked(GTK_BUTTON(tx_info.load));
    EXPECT_TRUE(has_log("bad.list:3:")) << ::testing::PrintToString(log_lines());
    ASSERT_EQ(tx_size(), 2);
    EXPECT_EQ(tx_cell(0, TX_COL_ID), "123");
}

TEST_F(Transmit, ListFramesAreListedAndCountedAsTheSendPanelsAre)
{
    const int can1_before = can1_cnt_s;
    const int can2_before = can2_cnt_s;
    const int sent_before = list_cnt_s;
    make_entry("2A1", "1122", "10");
    edit(0, TX_COL_COUNT, "5");
    make_entry("18DA00F1", "33", "10");
    edit(1, TX_COL_CH, "CAN2");
    edit(1, TX_COL_COUNT, "3");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    // The emulator reads the wire on its own thread, so the last frame may be
    // listed before it has been taken from the port.
    ASSERT_TRUE(pump_until([] {
        return listed("Send", "2A1") == 5 && listed("Send", "18DA00F1") == 3 && wire(0x2A1).size() >= 5;
    })) << listed("Send", "2A1") << " " << listed("Send", "18DA00F1") << " " << wire(0x2A1).size();
    EXPECT_EQ(wire(0x2A1).size(), 5u);
    EXPECT_EQ(can1_cnt_s - can1_before, 5);
    EXPECT_EQ(can2_cnt_s - can2_before, 3);
    EXPECT_EQ(list_cnt_s - sent_before, 8);
    ASSERT_TRUE(pump_until(
        [] { return label(bs_info.label_content[BS_LABEL_SEND1_C]) == std::to_string(can1_cnt_s); }));
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_SEND2_C]), std::to_string(can2_cnt_s));

    // Row for row as a frame of the Send panel is listed.
    const int a = first_listed("Send", "2A1");
    ASSERT_GE(a, 0);
    EXPECT_EQ(cell(a, COL_CH), "1");
    EXPECT_EQ(cell(a, COL_MOD), "SID");
    EXPECT_EQ(cell(a, COL_LEN), "2");
    EXPECT_EQ(cell(a, COL_DATA), "11 22");
    EXPECT_NE(cell(a, COL_TIME), "");
    const int b = first_listed("Send", "18DA00F1");
    ASSERT_GE(b, 0);
    EXPECT_EQ(cell(b, COL_CH), "2");
    EXPECT_EQ(cell(b, COL_MOD), "EID");
    EXPECT_EQ(cell(b, COL_DATA), "33");

    // Send now while the list is stopped goes the same way.
    ASSERT_TRUE(pump_until([] { return !tx_running(); }));
    select(0);
    gtk_button_clicked(GTK_BUTTON(tx_info.send_now));
    ASSERT_TRUE(pump_until([] { return listed("Send", "2A1") == 6; }));
    EXPECT_EQ(can1_cnt_s - can1_before, 6);
}

TEST_F(Transmit, AListOverThePacingBoundIsRefusedBeforeItStartsWithTheRates)
{
    const int pause = send_delay[0];
    ASSERT_GT(pause, 0);
    const int bound = 1000000 / pause;
    // Entries of 1 ms, one more than the channel carries.
    const int n = bound / 1000 + 1;
    for (int i = 0; i < n; ++i) {
        char id[8];
        std::snprintf(id, sizeof id, "%X", 0x500 + i);
        make_entry(id, "01", "1");
    }
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    EXPECT_FALSE(tx_running());
    for (int i = 0; i < n; ++i)
        EXPECT_FALSE(tx_on(i)) << i;
    const std::string expected = "Transmit list not started: CAN1: " + std::to_string(n * 1000) +
                                 " frames/s offered, " + std::to_string(bound) + " allowed by its " +
                                 std::to_string(pause) + " us pause";
    EXPECT_TRUE(has_log(expected)) << expected << "\n" << ::testing::PrintToString(log_lines());
    pump_pending();
    for (int i = 0; i < n; ++i)
        EXPECT_TRUE(wire(0x500u + static_cast<unsigned>(i)).empty()) << i;
    EXPECT_EQ(tx_cell(0, TX_COL_SENT), "0");
}

TEST_F(Transmit, AnUnplugStopsTheListWithALogLineAndTheTabStaysUsable)
{
    make_entry("444", "01", "5");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(pump_until([] { return wire(0x444).size() >= 3; }));
    sim().unplug();
    ASSERT_TRUE(pump_until([] { return !is_connect; }));
    EXPECT_FALSE(tx_running());
    EXPECT_FALSE(tx_on(0));
    EXPECT_TRUE(has_log("Transmit list stopped: the adapter is gone (")) << ::testing::PrintToString(log_lines());
    ASSERT_TRUE(wait_idle());

    // The list is kept and still edits; it starts only with CAN running.
    ASSERT_EQ(tx_size(), 1);
    edit(0, TX_COL_DATA, "0203");
    EXPECT_EQ(tx_cell(0, TX_COL_DATA), "0203");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    EXPECT_FALSE(tx_running());
    EXPECT_TRUE(has_log("Transmit list: connect and start CAN first"));

    // The adapter back: the same list sends the edited frame.
    auto *back = new velk::test::SimPort(0);
    ASSERT_TRUE(back->ok());
    delete port_;
    port_ = back;
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_refresh));
    ASSERT_TRUE(wait_idle());
    btn_cnnt_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    ASSERT_TRUE(is_connect);
    btn_start_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    ASSERT_TRUE(is_active);
    sim().clear_host_frames();
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    EXPECT_TRUE(tx_running());
    ASSERT_TRUE(pump_until([] {
        const std::vector<Bytes> f = wire(0x444);
        return f.size() >= 2 && f.back()[6] == 0x02 && f.back()[7] == 0x03;
    }));
    tx_stop_all();
}

// Last: it closes the window. Quitting takes the way of closing it, so the
// list stops before the port is closed.
TEST_F(Transmit, QuittingStopsTheListFirstAndClosesThePort)
{
    make_entry("333", "01", "10");
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(pump_until([] { return wire(0x333).size() >= 2; }));
    g_idle_add(
        [](gpointer) -> gboolean {
            cb_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();
    EXPECT_FALSE(tx_running());
    EXPECT_FALSE(is_connect);
    const velk::sim::State st = sim().state();
    EXPECT_EQ(st.active[0], 0);
    EXPECT_EQ(st.active[1], 0);
    EXPECT_EQ(windows->main_window, nullptr);
    // The tab went with the window; stopping again touches none of it.
    tx_stop_all();
}
