// The utility when its adapter vanishes while CAN runs, and when it comes back.
#include "gui_support.h"

using gui::label;
using gui::log_lines;
using gui::sensitive;

namespace {

// Connects, starts CAN, pulls the adapter and expects the utility to have
// disconnected within a second. The receive worker checks the device about
// every 200 ms on a quiet bus, and at once when a non-blocking batch ends short.
void unplug_while_running()
{
    ASSERT_TRUE(gui::connect());
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);

    gui::adapter().unplug();
    ASSERT_TRUE(gui::pump_until([] { return !is_connect; }, 1000));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Device disconnected !"});
    EXPECT_FALSE(is_active);
    EXPECT_EQ(first, nullptr) << "the port was closed";
}

}  // namespace

TEST(Unplug, UtilityNoticesTheGoneAdapterAndCanConnectAgain)
{
    gui::start({0});
    unplug_while_running();
    if (HasFatalFailure())
        return;
    EXPECT_EQ(label(cd_info.label[CD_LABEL_EN_DIS]), "");
    EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(cd_info.btn_cnnt)), std::string("Connect"));
    EXPECT_TRUE(sensitive(cd_info.cbbox));

    // The adapter comes back at the same index: connect without a restart.
    velk::test::SimPort back(0);
    ASSERT_TRUE(back.ok());
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
    unplug_while_running();
}
