// Closing the main window while CAN runs stops both channels and closes the
// port before the main loop returns.
#include "gui_support.h"

TEST(Quit, ClosingTheWindowWhileRunningStopsTheChannelsAndClosesThePort)
{
    gui::start({0});
    ASSERT_TRUE(gui::connect());
    gui::click(cd_info.btn_start);
    ASSERT_TRUE(is_active);
    velk::sim::State s = gui::adapter().state();
    ASSERT_EQ(s.active[0], 1);

    g_idle_add(
        [](gpointer) -> gboolean {
            gtk_widget_destroy(windows->main_window);
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();

    EXPECT_FALSE(is_connect);
    s = gui::adapter().state();
    EXPECT_EQ(s.active[0], 0);
    EXPECT_EQ(s.active[1], 0);
    // Closed: the library can open the port again.
    EXPECT_EQ(VELKOpenDevice(0), 0);
    VELKCloseDevice(0);
}
