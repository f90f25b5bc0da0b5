// The utility against one emulated adapter at port index 0: connection,
// start and stop, the settings panel and configuration files.
#include "gui_support.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

using gui::active;
using gui::active_text;
using gui::checked;
using gui::entry;
using gui::label;
using gui::log_lines;
using gui::sensitive;
using Lines = std::vector<std::string>;

namespace {

CAN_INFO &can(int c)
{
    return cs_info.can[c];
}

class Utility : public ::testing::Test {
protected:
    static void SetUpTestSuite() { gui::start({0}); }
    void SetUp() override
    {
        ASSERT_TRUE(gui::connect());
        if (is_active)
            gui::click(cd_info.btn_start);
    }
    void TearDown() override { gui::disconnect(); }
};

std::string make_temp_dir()
{
    char dir[] = "/tmp/velk-gui-XXXXXX";
    return mkdtemp(dir) != nullptr ? dir : "";
}

// A file chooser that is looked at and cancelled: the folder it starts in
// (once it holds the one expected, or after a deadline) and the name it
// suggests.
std::string expected_folder;
std::string seen_folder;
std::string seen_name;

gint look_at_file_chooser(GtkDialog *dialog)
{
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    auto folder = [chooser] {
        gchar *f = gtk_file_chooser_get_current_folder(chooser);
        std::string s = f != nullptr ? f : "";
        g_free(f);
        return s;
    };
    gui::pump_until([&] { return folder() == expected_folder; }, 3000);
    seen_folder = folder();
    seen_name.clear();
    if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE) {
        gchar *name = gtk_file_chooser_get_current_name(chooser);
        seen_name = name != nullptr ? name : "";
        g_free(name);
    }
    return GTK_RESPONSE_CANCEL;
}

UPUI_INFO fd_snapshot()
{
    UPUI_INFO u = {};
    u.device_type = TYPE_CANFD;
    u.cfg_info_canfd.baud[0] = u.cfg_info_canfd.baud[1] = 7;
    u.cfg_info_canfd.datarate[0] = u.cfg_info_canfd.datarate[1] = 2;
    return u;
}

}  // namespace

TEST_F(Utility, ConnectLeavesTwoLinesAndTheFourDeviceLabels)
{
    gui::disconnect();
    ASSERT_TRUE(gui::connect());
    EXPECT_EQ(log_lines(), (Lines{"Connect device successfully !", "Get version successfully !"}));
    EXPECT_EQ(label(cd_info.label[CD_LABEL_FW]).rfind("FW: ", 0), 0u);
    EXPECT_EQ(label(cd_info.label[CD_LABEL_API]).rfind("Lib: ", 0), 0u);
    EXPECT_EQ(label(cd_info.label[CD_LABEL_MDL]).rfind("Model: ", 0), 0u);
    EXPECT_EQ(label(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Inactive");
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_cnnt)), std::string("Disconnect"));
    EXPECT_FALSE(sensitive(cd_info.cbbox));
    EXPECT_TRUE(sensitive(cd_info.btn_start));
    EXPECT_TRUE(sensitive(cs_info.grid_container[CS1_GRID]));
    EXPECT_FALSE(sensitive(ss_info.frame));
    EXPECT_FALSE(sensitive(rs_info.frame));
}

TEST_F(Utility, StartWithCan1FdAndCan2ClassicLeavesFiveLinesInOrder)
{
    gui::set_check(can(0).chk[CS_FDF], true);
    gui::set_check(can(1).chk[CS_FDF], false);
    gui::click(cd_info.btn_start);
    EXPECT_TRUE(is_active);
    EXPECT_EQ(log_lines(), (Lines{"Set mode successfully !", "Set baud rate successfully !", "Set filter successfully !",
                                  "CAN1 operates in CANFD", "CAN2 operates in CAN2.0B"}));
    EXPECT_EQ(label(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Active");
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_start)), std::string("Stop CAN"));
    EXPECT_FALSE(sensitive(cs_info.grid_container[CS1_GRID]));
    EXPECT_TRUE(sensitive(ss_info.frame));
    EXPECT_TRUE(sensitive(rs_info.frame));
    EXPECT_FALSE(sensitive(bs_info.cbbox));
    velk::sim::State s = gui::adapter().state();
    EXPECT_EQ(s.active[0], 1);
    EXPECT_EQ(s.active[1], 1);
    EXPECT_EQ(s.fdf_en[0], 1);
    EXPECT_EQ(s.fdf_en[1], 0);
}

TEST_F(Utility, StopLeavesAnEmptyLog)
{
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    gui::click(cd_info.btn_start);
    EXPECT_FALSE(is_active);
    EXPECT_TRUE(log_lines().empty());
    EXPECT_EQ(label(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Inactive");
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_start)), std::string("Start CAN"));
    EXPECT_TRUE(sensitive(cs_info.grid_container[CS2_GRID]));
    velk::sim::State s = gui::adapter().state();
    EXPECT_EQ(s.active[0], 0);
    EXPECT_EQ(s.active[1], 0);
}

TEST_F(Utility, DisconnectWhileRunningResetsTheLabels)
{
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    ASSERT_TRUE(gui::disconnect());
    EXPECT_FALSE(is_active);
    EXPECT_EQ(log_lines(), (Lines{"Disconnect device successfully !"}));
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_start)), std::string("Start CAN"));
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_cnnt)), std::string("Connect"));
    EXPECT_EQ(label(cd_info.label[CD_LABEL_FW]), "Disconnected");
    for (int i = CD_LABEL_API; i < CD_LABEL_CNT; ++i)
        EXPECT_EQ(label(cd_info.label[i]), "") << i;
    for (GtkWidget *w : cs_info.btn)
        EXPECT_FALSE(sensitive(w)) << gtk_button_get_label(GTK_BUTTON(w));
    EXPECT_TRUE(sensitive(cd_info.cbbox));
    EXPECT_FALSE(sensitive(cd_info.btn_start));
    EXPECT_FALSE(sensitive(bs_info.frame));
    EXPECT_FALSE(sensitive(ss_info.frame));
    velk::sim::State s = gui::adapter().state();
    EXPECT_EQ(s.active[0], 0);
    EXPECT_EQ(s.active[1], 0);
}

TEST_F(Utility, NominalRateKeepsItsLabelAcrossTheFdLists)
{
    GtkWidget *nominal = can(0).cbbox[CS_CBBOX_BAUD];
    GtkWidget *rate = can(0).cbbox[CS_CBBOX_DATABAUD];
    gui::set_check(can(0).chk[CS_FDF], false);
    ASSERT_TRUE(gui::select_text(nominal, "Baud 800K"));
    ASSERT_TRUE(gui::select_text(rate, "Baud 2M"));
    gui::set_check(can(0).chk[CS_FDF], true);
    EXPECT_TRUE(sensitive(rate));
    EXPECT_EQ(active_text(nominal), "Baud 800K");
    EXPECT_EQ(active(nominal), 4);
    ASSERT_TRUE(gui::select_text(rate, "Baud 4M"));
    EXPECT_EQ(active_text(nominal), "Baud 800K");
    EXPECT_EQ(active(nominal), 2);

    gui::set_check(can(0).chk[CS_FDF], false);
    EXPECT_FALSE(sensitive(rate));
    ASSERT_TRUE(gui::select_text(nominal, "Baud 5K"));
    ASSERT_TRUE(gui::select_text(rate, "Baud 2M"));
    gui::set_check(can(0).chk[CS_FDF], true);
    EXPECT_EQ(active_text(nominal), "Baud 100K");
    gui::set_check(can(0).chk[CS_FDF], false);
    ASSERT_TRUE(gui::select_text(nominal, "Baud 5K"));
    ASSERT_TRUE(gui::select_text(rate, "Baud 5M"));
    gui::set_check(can(0).chk[CS_FDF], true);
    EXPECT_EQ(active_text(nominal), "Baud 250K");
}

TEST_F(Utility, Nominal500KInThe4MListIsSentAsCode7)
{
    gui::set_check(can(1).chk[CS_FDF], true);
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_DATABAUD], "Baud 4M"));
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_BAUD], "Baud 500K"));
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_BAUD], "Baud 1M"));
    gui::set_check(can(0).chk[CS_FDF], false);
    ASSERT_EQ(set_config(), 0);
    velk::sim::State s = gui::adapter().state();
    EXPECT_EQ(s.baud[1], 7);
    EXPECT_EQ(s.baud[0], 9);
    EXPECT_EQ(s.datarate[1], 4);
    EXPECT_EQ(s.fdf_en[1], 1);
}

TEST_F(Utility, DeviceAtFd5MAndNominal1MShowsBaud5MAndBaud1M)
{
    gui::set_check(can(0).chk[CS_FDF], true);
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_DATABAUD], "Baud 2M"));
    UPUI_INFO u = fd_snapshot();
    u.cfg_info_canfd.fdf_en[0] = 1;
    u.cfg_info_canfd.datarate[0] = 5;
    u.cfg_info_canfd.baud[0] = 9;
    guiStatusUpdate(u);
    EXPECT_TRUE(checked(can(0).chk[CS_FDF]));
    EXPECT_EQ(active_text(can(0).cbbox[CS_CBBOX_DATABAUD]), "Baud 5M");
    EXPECT_EQ(active_text(can(0).cbbox[CS_CBBOX_BAUD]), "Baud 1M");
    EXPECT_EQ(active(can(0).cbbox[CS_CBBOX_BAUD]), 3);
}

TEST_F(Utility, DeviceAtAnUnlistedDataRateShowsNoRateAndKeepsItOnApply)
{
    velk::sim::State s = gui::adapter().state();
    s.fdf_en[0] = 1;
    s.datarate[0] = 8;
    s.baud[0] = 6;
    gui::adapter().set_state(s);
    ASSERT_TRUE(gui::disconnect());
    ASSERT_TRUE(gui::connect());  // the panel shows what the device reports
    EXPECT_EQ(active(can(0).cbbox[CS_CBBOX_DATABAUD]), -1);
    EXPECT_EQ(active(can(0).cbbox[CS_CBBOX_BAUD]), -1);
    ASSERT_EQ(set_config(), 0);
    s = gui::adapter().state();
    EXPECT_EQ(s.datarate[0], 8);
    EXPECT_EQ(s.baud[0], 6);
}

TEST_F(Utility, FilterTextsFollowTheFilterType)
{
    UPUI_INFO u = fd_snapshot();
    u.cfg_info_canfd.flt_type[0] = VELK_SID;
    u.cfg_info_canfd.flt_id[0] = 0x123;
    u.cfg_info_canfd.flt_mask[0] = 0x7FF;
    u.cfg_info_canfd.flt_type[1] = VELK_EID;
    u.cfg_info_canfd.flt_id[1] = 0xABCD;
    u.cfg_info_canfd.flt_mask[1] = 0x1FFFFFFF;
    guiStatusUpdate(u);
    EXPECT_EQ(active(can(0).cbbox[CS_CBBOX_FILTER]), 1);
    EXPECT_EQ(entry(can(0).ety[CS_ETY_LAB_ID]), "123");
    EXPECT_EQ(entry(can(0).ety[CS_ETY_LAB_MASK]), "7FF");
    EXPECT_EQ(active(can(1).cbbox[CS_CBBOX_FILTER]), 2);
    EXPECT_EQ(entry(can(1).ety[CS_ETY_LAB_ID]), "0000ABCD");
    EXPECT_EQ(entry(can(1).ety[CS_ETY_LAB_MASK]), "1FFFFFFF");
    EXPECT_TRUE(sensitive(can(0).ety[CS_ETY_LAB_ID]));
}

TEST_F(Utility, FilterNoneEmptiesChannel1AndKeepsChannel2Texts)
{
    UPUI_INFO u = fd_snapshot();
    u.cfg_info_canfd.flt_type[0] = u.cfg_info_canfd.flt_type[1] = VELK_SID;
    u.cfg_info_canfd.flt_id[0] = u.cfg_info_canfd.flt_id[1] = 0x123;
    u.cfg_info_canfd.flt_mask[0] = u.cfg_info_canfd.flt_mask[1] = 0x7FF;
    guiStatusUpdate(u);
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_FILTER], "Filter NONE"));
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_FILTER], "Filter NONE"));
    EXPECT_EQ(entry(can(0).ety[CS_ETY_LAB_ID]), "");
    EXPECT_EQ(entry(can(0).ety[CS_ETY_LAB_MASK]), "");
    EXPECT_EQ(entry(can(1).ety[CS_ETY_LAB_ID]), "123");
    EXPECT_EQ(entry(can(1).ety[CS_ETY_LAB_MASK]), "7FF");
    for (int c = 0; c < CAN_CNT; ++c)
        for (int i = 0; i < CS_ETY_LAB_CNT; ++i) {
            EXPECT_FALSE(sensitive(can(c).ety[i]));
            EXPECT_FALSE(sensitive(can(c).label[i]));
        }
}

TEST_F(Utility, ExportThenImportRoundTripsTheSettings)
{
    char dir_template[] = "/tmp/velk-gui-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string path = std::string(dir_template) + "/exported.cfg";

    gui::set_check(can(0).chk[CS_LS], true);
    // The file carries the classic settings: modes, nominal rates, filters.
    gui::set_check(can(0).chk[CS_FDF], false);
    gui::set_check(can(1).chk[CS_FDF], false);
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_BAUD], "Baud 500K"));
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_FILTER], "Filter 11-bit"));
    gtk_entry_set_text(GTK_ENTRY(can(0).ety[CS_ETY_LAB_ID]), "123");
    gtk_entry_set_text(GTK_ENTRY(can(0).ety[CS_ETY_LAB_MASK]), "7FF");
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_BAUD], "Baud 125K"));
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_FILTER], "Filter 29-bit"));
    gtk_entry_set_text(GTK_ENTRY(can(1).ety[CS_ETY_LAB_ID]), "ABCD");
    gtk_entry_set_text(GTK_ENTRY(can(1).ety[CS_ETY_LAB_MASK]), "1FFFFFFF");

    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    EXPECT_EQ(log_lines(), (Lines{"Export CFG successfully !"}));
    ASSERT_EQ(access(path.c_str(), R_OK), 0);

    // Change everything, apply it, then load the file back.
    gui::set_check(can(0).chk[CS_LS], false);
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_BAUD], "Baud 50K"));
    ASSERT_TRUE(gui::select_text(can(0).cbbox[CS_CBBOX_FILTER], "Filter NONE"));
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_BAUD], "Baud 1M"));
    ASSERT_TRUE(gui::select_text(can(1).cbbox[CS_CBBOX_FILTER], "Filter NONE"));
    ASSERT_EQ(set_config(), 0);

    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_IMPORT]);
    EXPECT_EQ(log_lines(), (Lines{"Import CFG successfully !"}));
    EXPECT_TRUE(checked(can(0).chk[CS_LS]));
    EXPECT_EQ(active_text(can(0).cbbox[CS_CBBOX_BAUD]), "Baud 500K");
    EXPECT_EQ(active(can(0).cbbox[CS_CBBOX_FILTER]), 1);
    EXPECT_EQ(entry(can(0).ety[CS_ETY_LAB_ID]), "123");
    EXPECT_EQ(entry(can(0).ety[CS_ETY_LAB_MASK]), "7FF");
    EXPECT_EQ(active_text(can(1).cbbox[CS_CBBOX_BAUD]), "Baud 125K");
    EXPECT_EQ(active(can(1).cbbox[CS_CBBOX_FILTER]), 2);
    EXPECT_EQ(entry(can(1).ety[CS_ETY_LAB_ID]), "0000ABCD");

    unlink(path.c_str());
    rmdir(dir_template);
}

TEST_F(Utility, CancelledExportLeavesTheSettingsLines)
{
    gui::answer_file_dialog("");
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    EXPECT_EQ(log_lines().size(), 5u);
    EXPECT_EQ(log_lines().at(0), "Set mode successfully !");
}

TEST_F(Utility, ResetReportsSuccess)
{
    gui::click(cs_info.btn[CS_BTN_RESET]);
    EXPECT_EQ(log_lines(), (Lines{"Reset CAN successfully !"}));
}

TEST_F(Utility, LogLinesAfterClearShowOnlyTheNewLine)
{
    clear_log();
    clear_log();
    insert_log("one");
    EXPECT_EQ(log_lines(), (Lines{"one"}));
    clear_log();
    insert_log("two");
    EXPECT_EQ(log_lines(), (Lines{"two"}));
}

// ---- device operations off the GUI thread ------------------------------

TEST_F(Utility, ConnectRunsBesideAResponsiveWindowThatShowsItIsBusy)
{
    ASSERT_TRUE(gui::disconnect());
    int ticks = 0;
    guint counter = g_timeout_add(
        1,
        [](gpointer n) -> gboolean {
            ++*static_cast<int *>(n);
            return G_SOURCE_CONTINUE;
        },
        &ticks);
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    ASSERT_TRUE(is_busy());
    gboolean spinning = FALSE;
    g_object_get(cd_info.spinner, "active", &spinning, nullptr);
    EXPECT_TRUE(spinning);
    EXPECT_EQ(label(cd_info.busy_label), "Connecting…");
    EXPECT_NE(gdk_window_get_cursor(gtk_widget_get_window(windows->main_window)), nullptr);
    for (GtkWidget *w : {cd_info.cbbox, cd_info.btn_cnnt, cd_info.btn_refresh, cs_info.btn[CS_BTN_RESET],
                         cs_info.btn[CS_BTN_EXPORT], cs_info.btn[CS_BTN_IMPORT]})
        EXPECT_FALSE(sensitive(w)) << gtk_buildable_get_name(GTK_BUILDABLE(w));
    ASSERT_TRUE(gui::wait_idle());
    g_source_remove(counter);
    EXPECT_TRUE(is_connect);
    // A connect takes over a second of command exchanges: the main loop
    // went on meanwhile.
    EXPECT_GT(ticks, 50);
    g_object_get(cd_info.spinner, "active", &spinning, nullptr);
    EXPECT_FALSE(spinning);
    EXPECT_EQ(label(cd_info.busy_label), "");
    EXPECT_EQ(gdk_window_get_cursor(gtk_widget_get_window(windows->main_window)), nullptr);
    EXPECT_TRUE(sensitive(cd_info.btn_cnnt));
    EXPECT_TRUE(sensitive(cs_info.btn[CS_BTN_RESET]));
    EXPECT_EQ(log_lines(), (Lines{"Connect device successfully !", "Get version successfully !"}));
}

// Reset stops the adapter's channels and turns CAN FD off: the window then
// shows the channels stopped and the device's settings, and no worker runs.
TEST_F(Utility, ResetWhileRunningShowsTheAdapterStopped)
{
    gui::set_check(can(0).chk[CS_FDF], true);
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    gui::click(cs_info.btn[CS_BTN_RESET]);
    EXPECT_EQ(log_lines(), (Lines{"Reset CAN successfully !"}));
    EXPECT_FALSE(is_active);
    EXPECT_EQ(label(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Inactive");
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_start)), std::string("Start CAN"));
    EXPECT_FALSE(checked(can(0).chk[CS_FDF]));
    EXPECT_TRUE(sensitive(cs_info.grid_container[CS1_GRID]));
    EXPECT_FALSE(sensitive(ss_info.frame));
    EXPECT_EQ(apipart_recv_workers_alive(), 0);
    EXPECT_EQ(gui::adapter().state().active[0], 0);
}

// Showing the device's error type after a reset or an import is no request
// to set it: only the import's own error-type command reaches the adapter.
TEST_F(Utility, ShowingTheDevicesErrorTypeSendsNoCommand)
{
    char dir_template[] = "/tmp/velk-gui-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string path = std::string(dir_template) + "/disabled.cfg";
    ASSERT_TRUE(gui::select_text(bs_info.cbbox, "Disable All"));
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    ASSERT_EQ(log_lines(), (Lines{"Export CFG successfully !"}));

    for (GtkWidget *button : {cs_info.btn[CS_BTN_RESET], cs_info.btn[CS_BTN_IMPORT]}) {
        const bool import = button == cs_info.btn[CS_BTN_IMPORT];
        ASSERT_TRUE(gui::select_text(bs_info.cbbox, "Bus Error"));
        ASSERT_EQ(gui::adapter().state().err_set, VELK_BUS_ERR);
        gui::adapter().clear_host_frames();
        if (import)
            gui::answer_file_dialog(path);
        gui::click(button);
        EXPECT_EQ(active_text(bs_info.cbbox), "Disable All") << import;
        EXPECT_EQ(gui::adapter().host_frames('8').size(), import ? 1u : 0u) << import;
        EXPECT_EQ(gui::adapter().state().err_set, VELK_DIS_ALL) << import;
    }
    unlink(path.c_str());
    rmdir(dir_template);
}

// A read-back whose reply is lost leaves the snapshot, and with it the send
// panel's CAN FD option, as the device last reported them.
TEST_F(Utility, FailedReadBackKeepsCanFdSendingAsItWas)
{
    velk::sim::State s = gui::adapter().state();
    s.fdf_en[0] = 1;
    gui::adapter().set_state(s);
    ASSERT_TRUE(gui::disconnect());
    ASSERT_TRUE(gui::connect());
    ASSERT_EQ(upui_info_copy().cfg_info_canfd.fdf_en[0], 1);
    char dir_template[] = "/tmp/velk-gui-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string path = std::string(dir_template) + "/fd.cfg";
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    ASSERT_EQ(log_lines(), (Lines{"Export CFG successfully !"}));

    velk::sim::Fault lost;
    lost.kind = velk::sim::Fault::NoReply;
    gui::adapter().set_fault('G', lost);
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_IMPORT]);
    gui::adapter().clear_faults();
    EXPECT_EQ(log_lines(), (Lines{"Import CFG successfully !"}));
    EXPECT_EQ(upui_info_copy().cfg_info_canfd.fdf_en[0], 1);
    EXPECT_TRUE(checked(can(0).chk[CS_FDF]));
    // The send panel works out its CAN FD option when the channel changes.
    gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 0);
    EXPECT_TRUE(sensitive(ss_info.chk[SS_CHK_FDF]));
    unlink(path.c_str());
    rmdir(dir_template);
}

// A non-blocking batch of 60 s is cut short by Stop CAN, Disconnect and a
// return to normal reception: each ends the receive worker at once.
TEST_F(Utility, LongNonBlockingBatchEndsAtOnceOnStopDisconnectOrNormalMode)
{
    gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_DATA_CNT]), "1000");
    gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_TIME]), "60000");
    enum { kStop, kDisconnect, kNormal };
    for (int how : {kStop, kDisconnect, kNormal}) {
        ASSERT_TRUE(gui::connect()) << how << " " << (log_lines().empty() ? "" : log_lines()[0]);
        gui::set_check(rs_info.chk, true);
        gui::click(cd_info.btn_start);
        ASSERT_TRUE(is_active);
        ASSERT_TRUE(gui::pump_until([] { return MTX_queue_r.load() && !is_done_non_block.load(); })) << how;
        const auto asked = std::chrono::steady_clock::now();
        if (how == kStop)
            gtk_button_clicked(GTK_BUTTON(cd_info.btn_start));
        else if (how == kDisconnect)
            gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
        else
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(rs_info.chk), FALSE);
        ASSERT_TRUE(gui::wait_idle());
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5)) << how;
        EXPECT_TRUE(is_recv_normal.load() || apipart_recv_workers_alive() == 0) << how;
        EXPECT_TRUE(how != kNormal || trd_recv_info.info.is_normal);
        gui::set_check(rs_info.chk, false);
    }
}

// Export, import and reset with frames arriving: every frame the adapter
// reported is listed (reset stops the channels; CAN is started again).
TEST_F(Utility, ResetExportAndImportWhileCanRunsWithTrafficLoseNoFrame)
{
    char dir_template[] = "/tmp/velk-gui-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    std::string path = std::string(dir_template) + "/traffic.cfg";
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    btn_clear_cb(nullptr, nullptr);
    constexpr size_t kReports = 3000;
    size_t data = 0;
    for (const velk::sim::Report &r : velk::sim::stream_sequence(kReports, 7))
        data += r.kind == velk::sim::Report::E1 || r.kind == velk::sim::Report::E2 || r.kind == velk::sim::Report::F1;
    gui::adapter().stream(kReports, 1000, 7);

    ASSERT_TRUE(gui::pump_until([] { return list_cnt_r > 200; }));
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    EXPECT_EQ(log_lines(), (Lines{"Export CFG successfully !"}));
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_IMPORT]);
    EXPECT_EQ(log_lines(), (Lines{"Import CFG successfully !"}));
    EXPECT_TRUE(is_active);
    gui::click(cs_info.btn[CS_BTN_RESET]);
    EXPECT_EQ(log_lines(), (Lines{"Reset CAN successfully !"}));
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    ASSERT_TRUE(gui::adapter().wait_stream_done(30000));
    EXPECT_TRUE(gui::pump_until([&] { return static_cast<size_t>(list_cnt_r) >= data; }, 10000));
    EXPECT_EQ(static_cast<size_t>(list_cnt_r), data);
    unlink(path.c_str());
    rmdir(dir_template);
}

// Traffic keeps the frame tick busy; an operation still ends while it flows.
TEST_F(Utility, StartEndsWhileTrafficKeepsTheWindowBusy)
{
    constexpr size_t kReports = 60000;
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_start));
    gui::adapter().stream(kReports, 20000, 5);
    ASSERT_TRUE(gui::wait_idle());
    EXPECT_TRUE(is_active);
    EXPECT_LT(gui::adapter().reports_streamed(), kReports) << "the start ended only with the traffic";
    EXPECT_TRUE(gui::adapter().wait_stream_done(30000));
}

// After Reset and Import the send panel offers CAN FD as the adapter now
// runs the channel, as it does after a channel change. (The file carries no
// CAN FD setting: the adapter's own is read back.)
TEST_F(Utility, SendOptionsFollowTheChannelsModeAfterResetAndImport)
{
    const std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    const std::string path = dir + "/settings.cfg";
    GtkWidget *fdf = ss_info.chk[SS_CHK_FDF];
    GtkWidget *brs = ss_info.chk[SS_CHK_BRS];
    GtkWidget *len = ss_info.cbbox[SS_CBBOX_LEN];
    auto adapter_fd = [](bool on) {
        velk::sim::State s = gui::adapter().state();
        s.fdf_en[0] = on ? 1 : 0;
        gui::adapter().set_state(s);
    };
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    ASSERT_EQ(log_lines(), (Lines{"Export CFG successfully !"}));

    // Reset while running: the adapter is back to CAN 2.0.
    gui::set_check(can(0).chk[CS_FDF], true);
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    gui::set_check(fdf, true);
    gui::set_check(brs, true);
    ASSERT_TRUE(gui::select_text(len, "64"));
    gui::click(cs_info.btn[CS_BTN_RESET]);
    ASSERT_EQ(log_lines(), (Lines{"Reset CAN successfully !"}));
    EXPECT_FALSE(checked(can(0).chk[CS_FDF]));
    EXPECT_FALSE(checked(fdf));
    EXPECT_FALSE(checked(brs));
    EXPECT_FALSE(sensitive(fdf));
    EXPECT_FALSE(sensitive(brs));
    EXPECT_EQ(active_text(len), "8");
    EXPECT_EQ(gui_widgets::item_count(len), 9);

    // Imports: CAN FD as the adapter reports it afterwards.
    adapter_fd(true);
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_IMPORT]);
    ASSERT_EQ(log_lines(), (Lines{"Import CFG successfully !"}));
    EXPECT_TRUE(checked(can(0).chk[CS_FDF]));
    EXPECT_TRUE(sensitive(fdf));
    gui::set_check(fdf, true);
    ASSERT_TRUE(gui::select_text(len, "64"));
    adapter_fd(false);
    gui::answer_file_dialog(path);
    gui::click(cs_info.btn[CS_BTN_IMPORT]);
    ASSERT_EQ(log_lines(), (Lines{"Import CFG successfully !"}));
    EXPECT_FALSE(checked(fdf));
    EXPECT_FALSE(sensitive(fdf));
    EXPECT_EQ(active_text(len), "8");
    unlink(path.c_str());
    rmdir(dir.c_str());
}

// The file dialogs start in the user's documents folder, not the program's;
// then in the folder of the file last chosen, as long as it is there. The
// suggested names stay.
TEST_F(Utility, FileDialogsStartInTheDocumentsFolderThenInTheLastOneUsed)
{
    const std::string docs = make_temp_dir();
    const std::string other = make_temp_dir();
    ASSERT_FALSE(docs.empty() || other.empty());
    setenv("XDG_DOCUMENTS_DIR", docs.c_str(), 1);
    gint (*answer)(GtkDialog *) = cs_dialog_run;
    cs_dialog_run = look_at_file_chooser;
    tr_dialog_run = look_at_file_chooser;

    expected_folder = docs;
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    EXPECT_EQ(seen_folder, docs);
    EXPECT_EQ(seen_name, "velk.cfg");
    db_dialog_run = look_at_file_chooser;
    gui::click(db_info.btn_add);
    EXPECT_EQ(seen_folder, docs) << "Databases… > Add";
    db_dialog_run = gtk_dialog_run;

    cs_dialog_run = answer;
    gui::answer_file_dialog(other + "/saved.cfg");
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    ASSERT_EQ(log_lines(), (Lines{"Export CFG successfully !"}));
    cs_dialog_run = look_at_file_chooser;

    expected_folder = other;
    gui::click(cs_info.btn[CS_BTN_IMPORT]);
    EXPECT_EQ(seen_folder, other);
    gui::click(tr_info.btn_record);
    EXPECT_EQ(seen_folder, other);
    EXPECT_EQ(seen_name.rfind("velk-", 0), 0u) << seen_name;
    EXPECT_FALSE(rec_is_recording());
    db_dialog_run = look_at_file_chooser;
    gui::click(db_info.btn_add);
    EXPECT_EQ(seen_folder, other) << "Databases… > Add";
    db_dialog_run = gtk_dialog_run;

    // A remembered folder that is gone gives way to the documents folder.
    unlink((other + "/saved.cfg").c_str());
    rmdir(other.c_str());
    expected_folder = docs;
    gui::click(cs_info.btn[CS_BTN_EXPORT]);
    EXPECT_EQ(seen_folder, docs);
    EXPECT_EQ(seen_name, "velk.cfg");
    db_dialog_run = look_at_file_chooser;
    gui::click(db_info.btn_add);
    EXPECT_EQ(seen_folder, docs) << "Databases… > Add";
    db_dialog_run = gtk_dialog_run;

    cs_dialog_run = answer;
    tr_dialog_run = gtk_dialog_run;
    unsetenv("XDG_DOCUMENTS_DIR");
    rmdir(docs.c_str());
}
