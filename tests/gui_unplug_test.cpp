// The utility when its adapter vanishes while CAN runs, and when it comes back.
#include "gui_support.h"

#include <cstdio>

using gui::label;
using gui::log_lines;
using gui::sensitive;

namespace {

// Connects, starts CAN (when asked), pulls the adapter and expects the
// utility to have disconnected within a second. The receive worker checks the
// device about every 200 ms on a quiet bus, and at once when a non-blocking
// batch ends short; with the channels stopped the window looks every 250 ms.
void unplug_and_expect_disconnect(bool start = true)
{
    ASSERT_TRUE(gui::connect());
    if (start)
        gui::click(cd_info.btn_start);
    ASSERT_EQ(is_active, start);

    gui::adapter().unplug();
    ASSERT_TRUE(gui::pump_until([] { return !is_connect; }, 1000));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Device disconnected !"});
    EXPECT_FALSE(is_active);
    EXPECT_EQ(first, nullptr) << "the port was closed";

    // The port box is searched again and no longer lists the gone adapter;
    // nothing that needs an adapter can be pressed, and the device area
    // says so. The log keeps saying what happened.
    ASSERT_TRUE(gui::wait_idle());
    EXPECT_EQ(gui_widgets::item_count(cd_info.cbbox), 0);
    EXPECT_FALSE(sensitive(cd_info.btn_cnnt));
    for (GtkWidget *w : cs_info.btn)
        EXPECT_FALSE(sensitive(w)) << gtk_button_get_label(GTK_BUTTON(w));
    EXPECT_EQ(label(cd_info.label[CD_LABEL_FW]), "Disconnected");
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Device disconnected !"});
}

}  // namespace

TEST(Unplug, UtilityNoticesTheGoneAdapterAndCanConnectAgain)
{
    gui::start({0});
    unplug_and_expect_disconnect();
    if (HasFatalFailure())
        return;
    EXPECT_EQ(label(cd_info.label[CD_LABEL_EN_DIS]), "");
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_cnnt)), std::string("Connect"));
    EXPECT_TRUE(sensitive(cd_info.cbbox));

    // The adapter comes back at the same index: a search finds it, and it
    // connects without a restart.
    velk::test::SimPort back(0);
    ASSERT_TRUE(back.ok());
    gui::click(cd_info.btn_refresh);
    EXPECT_EQ(gui_widgets::item_count(cd_info.cbbox), 1);
    ASSERT_TRUE(gui::connect());
    EXPECT_EQ(log_lines(), (std::vector<std::string>{"Connect device successfully !", "Get version successfully !"}));
    gui::disconnect();
}

TEST(Unplug, UtilityNoticesTheGoneAdapterInNonBlockingMode)
{
    gui::start({0});
    // Batches of 100 frames with a 5 s limit: the unplug ends the batch.
    gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_DATA_CNT]), "100");
    gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_TIME]), "5000");
    gui::set_check(rs_info.chk, true);
    ASSERT_FALSE(is_recv_normal.load());
    unplug_and_expect_disconnect();
}

TEST(Unplug, UtilityNoticesTheGoneAdapterWhileConnectedAndStopped)
{
    gui::start({0});
    unplug_and_expect_disconnect(false);
}

// The frames the library refused once the adapter was gone are neither
// listed nor counted; the log says how many of the request failed.
TEST(Unplug, FramesRefusedAfterAnUnplugAreNotListedAndTheLogCountsThem)
{
    gui::start({0});
    ASSERT_TRUE(gui::connect());
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_COUNT]), "99999");
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_ITVL]), "1000");
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), "123");
    gui::click(ss_info.btn_send);
    ASSERT_TRUE(gui::adapter().wait_host_frames(5, 5000));
    gui::adapter().unplug();

    long long failed = 0;
    long long tried = 0;
    ASSERT_TRUE(gui::pump_until([&] {
        std::vector<std::string> lines = log_lines();
        return !is_connect && lines.size() == 2 &&
               std::sscanf(lines[1].c_str(), "Send failed for %lld of %lld frames !", &failed, &tried) == 2;
    })) << (log_lines().empty() ? "" : log_lines().back());
    EXPECT_EQ(log_lines()[0], "Device disconnected !");
    EXPECT_GT(failed, 0);
    EXPECT_TRUE(gui::pump_until([&] { return can1_cnt_s == tried - failed; })) << can1_cnt_s;
    EXPECT_TRUE(gui::wait_idle());
}
