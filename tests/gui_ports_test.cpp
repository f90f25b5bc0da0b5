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

#else

TEST(Ports, AdaptersAt16And24ListAsTtyUSB0AndTtyACM0)
{
    gui::start({16, 24, 52});
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(cd_info.cbbox));
    ASSERT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 3);
    EXPECT_EQ(gui::active(cd_info.cbbox), 0);
    EXPECT_EQ(gui::active_text(cd_info.cbbox), "ttyUSB0");
    gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), 1);
    EXPECT_EQ(gui::active_text(cd_info.cbbox), "ttyACM0");
    // Index 52 has no display name of its own: the library's device name
    // without "/dev/" is shown.
    gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), 2);
    std::string third = gui::active_text(cd_info.cbbox);
    EXPECT_EQ("/dev/" + third, std::string(comports[52]));
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
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    gui::pump_pending();
    EXPECT_FALSE(is_connect);
    EXPECT_EQ(gui::log_lines(), (Lines{"Disconnect device successfully !"}));
    // The port is free again: a new connect succeeds.
    ASSERT_TRUE(gui::connect());
    EXPECT_EQ(com_port, 16);
    ASSERT_TRUE(gui::disconnect());
}

#endif
