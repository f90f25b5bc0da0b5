// Closing the main window while CAN runs stops both channels and closes the
// port before the main loop returns; a termination signal does the same,
// the transmit list stopped first.
#include "gui_support.h"
#include "panel_transmit.h"

#include <csignal>

#include <chrono>

namespace {

void close_window()
{
    g_idle_add(
        [](gpointer) -> gboolean {
            gtk_widget_destroy(windows->main_window);
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();
}

}  // namespace

TEST(Quit, ClosingTheWindowWhileRunningStopsTheChannelsAndClosesThePort)
{
    gui::start({0});
    ASSERT_TRUE(gui::connect());
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    velk::sim::State s = gui::adapter().state();
    ASSERT_EQ(s.active[0], 1);

    close_window();

    EXPECT_FALSE(is_connect);
    s = gui::adapter().state();
    EXPECT_EQ(s.active[0], 0);
    EXPECT_EQ(s.active[1], 0);
    // Closed: the library can open the port again.
    EXPECT_EQ(VELKOpenDevice(0), 0);
    VELKCloseDevice(0);
}

// A non-blocking batch of 60 s does not hold up the quit.
TEST(Quit, ClosingTheWindowEndsALongNonBlockingBatchAtOnce)
{
    gui::start({0});
    gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_DATA_CNT]), "1000");
    gtk_entry_set_text(GTK_ENTRY(rs_info.ety[RS_ETY_LAB_TIME]), "60000");
    gui::set_check(rs_info.chk, true);
    ASSERT_TRUE(gui::connect());
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(gui::pump_until([] { return MTX_queue_r.load() && !is_done_non_block.load(); }));
    const auto asked = std::chrono::steady_clock::now();
    close_window();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    EXPECT_EQ(apipart_recv_workers_alive(), 0);
    EXPECT_FALSE(is_connect);
}

// SIGTERM (as Ctrl-C or a session's end) takes the way of Quit: the
// transmit list stops, the channels stop and the port closes.
TEST(Quit, ATerminationSignalStopsTheTransmitListAndClosesThePort)
{
    gui::start({0});
    ASSERT_TRUE(gui::connect());
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    gtk_button_clicked(GTK_BUTTON(tx_info.add));
    gtk_button_clicked(GTK_BUTTON(tx_info.start_all));
    ASSERT_TRUE(tx_running());
    ASSERT_TRUE(gui::pump_until([] { return gui::adapter().host_frames(0xE0).size() >= 2; }));

    quit_on_signals();
    g_idle_add(
        [](gpointer) -> gboolean {
            std::raise(SIGTERM);
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();

    EXPECT_FALSE(tx_running());
    EXPECT_FALSE(is_connect);
    const velk::sim::State s = gui::adapter().state();
    EXPECT_EQ(s.active[0], 0);
    EXPECT_EQ(s.active[1], 0);
}
