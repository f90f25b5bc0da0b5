// The port box lists the found adapters by display name and connects the
// chosen one; with no adapter the utility says so and cannot connect.
#include "gui_support.h"

using Lines = std::vector<std::string>;

#if defined(VELK_GUI_NO_ADAPTER)

TEST(NoAdapter, LogHoldsOnlyNoDeviceAndConnectIsInsensitive)
{
    gui::start({});
    EXPECT_EQ(gui::log_lines(), (Lines{"No VELK device !"}));
    EXPECT_FALSE(gui::sensitive(cd_info.btn_cnnt));
    EXPECT_EQ(gui::active(cd_info.cbbox), -1);
    // A click with no port entry does nothing.
    gui::click(cd_info.btn_cnnt);
    EXPECT_FALSE(is_connect);
    EXPECT_EQ(gui::log_lines(), (Lines{"No VELK device !"}));
}

TEST(NoAdapter, ErrorLabelsStartOff)
{
    gui::start({});
    EXPECT_EQ(gui::label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  N/A   ");
    EXPECT_EQ(gui::label(bs_info.label_content[BS_LABEL_EE_C]), "  N/A");
    EXPECT_EQ(std::string(gtk_window_get_title(GTK_WINDOW(windows->main_window))), "VELK Utility v1.0.2");
}

// An adapter plugged in after start-up is found by a new search, listed by
// the device the library opens, and can be connected.
TEST(NoAdapter, RefreshFindsAnAdapterPluggedInAfterStartUp)
{
    gui::start({});
    ASSERT_EQ(gui::log_lines(), (Lines{"No VELK device !"}));
    EXPECT_TRUE(gui::sensitive(cd_info.btn_refresh));
    velk::test::SimPort plugged(3);
    ASSERT_TRUE(plugged.ok());
    gui::click(cd_info.btn_refresh);
    EXPECT_EQ(gui::log_lines(), (Lines{"Found 1 VELK device !"}));
    EXPECT_EQ("/dev/" + gui::active_text(cd_info.cbbox), std::string(comports[3]));
    EXPECT_TRUE(gui::sensitive(cd_info.btn_cnnt));
    ASSERT_TRUE(gui::connect());
    EXPECT_EQ(com_port, 3);
    EXPECT_FALSE(gui::sensitive(cd_info.btn_refresh)) << "no search while connected";
    ASSERT_TRUE(gui::disconnect());
}

TEST(NoAdapter, PortsAreNamedByTheDeviceTheLibraryOpens)
{
    const char *saved = comports[3];
    const std::pair<const char *, const char *> cases[] = {
        {"/dev/ttyCAN3", "ttyCAN3"},
        {"/dev/serial/by-id/usb-velk-if00", "serial/by-id/usb-velk-if00"},
        {"/tmp/velk/pty", "/tmp/velk/pty"},
    };
    for (const auto &[device, shown] : cases) {
        comports[3] = device;
        EXPECT_STREQ(port_display_name(3), shown);
    }
    comports[3] = saved;
}

#else

// The box names each found port by the device the library opens there,
// without "/dev/": here the emulators' pseudo-terminals.
TEST(Ports, AdaptersAt16And24ListByTheDevicesTheLibraryOpens)
{
    gui::start({16, 24, 52});
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(cd_info.cbbox));
    ASSERT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 3);
    EXPECT_EQ(gui::active(cd_info.cbbox), 0);
    const int indices[] = {16, 24, 52};
    for (int entry = 0; entry < 3; ++entry) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), entry);
        EXPECT_EQ("/dev/" + gui::active_text(cd_info.cbbox), std::string(comports[indices[entry]])) << entry;
    }
}

TEST(Ports, Entry1ConnectsPort24)
{
    gui::start({16, 24, 52});
    gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), 1);
    ASSERT_TRUE(gui::connect());
    EXPECT_EQ(com_port, 24);
    EXPECT_EQ(gui::log_lines(), (Lines{"Connect device successfully !", "Get version successfully !"}));
    ASSERT_TRUE(gui::disconnect());
}

TEST(Ports, ConnectPressedTwiceConnectsThenDisconnects)
{
    gui::start({16, 24, 52});
    gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), 0);
    // The second press comes while the connect is under way: the button is
    // insensitive then and the press starts nothing.
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    EXPECT_FALSE(gui::sensitive(cd_info.btn_cnnt));
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    ASSERT_TRUE(gui::wait_idle());
    EXPECT_TRUE(is_connect);
    gui::click(cd_info.btn_cnnt);
    EXPECT_FALSE(is_connect);
    EXPECT_EQ(gui::log_lines(), (Lines{"Disconnect device successfully !"}));
    // The port is free again: a new connect succeeds.
    ASSERT_TRUE(gui::connect());
    EXPECT_EQ(com_port, 16);
    ASSERT_TRUE(gui::disconnect());
}

#endif
