// Runs the utility in-process against an emulated adapter with loopback,
// connects, starts CAN, sends a few frames and saves the main window as a
// PNG. Usage: velk_gui_screenshot OUT.png
#include "gui_support.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: velk_gui_screenshot OUT.png\n");
        return 2;
    }
    gui::start({0});
    gui::adapter().set_loopback(true);
    if (!gui::connect())
        return 1;
    gui::set_check(cs_info.can[CAN_1].chk[CS_FDF], true);
    gui::click(cd_info.btn_start);
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_COUNT]), "4");
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), "123");
    gui::set_check(ss_info.chk[SS_CHK_IID], true);
    gui::click(ss_info.btn_send);
    gui::pump_until([] { return can1_cnt_s >= 4 && can2_cnt_r >= 4; }, 15000);
    gui::pump_until([] { return false; }, 300);  // let the window settle

    GdkWindow *win = gtk_widget_get_window(windows->main_window);
    int w = gdk_window_get_width(win);
    int h = gdk_window_get_height(win);
    GdkPixbuf *shot = gdk_pixbuf_get_from_window(win, 0, 0, w, h);
    if (shot == nullptr || !gdk_pixbuf_savev(shot, argv[1], "png", nullptr, nullptr, nullptr))
        return 1;
    g_object_unref(shot);
    gui::disconnect();  // stops the workers before the process ends
    printf("%s\n", argv[1]);
    return 0;
}
