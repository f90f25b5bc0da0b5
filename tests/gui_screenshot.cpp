// Runs the utility in-process against an emulated adapter with loopback,
// connects, starts CAN, sends a few frames and saves the main window as a
// PNG; optionally the data editor, and the window while the connect is
// under way. Usage: velk_gui_screenshot OUT.png [EDITOR.png [BUSY.png]]
#include "gui_support.h"

#include <cstdio>

namespace {

const char *editor_path = nullptr;

bool save_window(GtkWidget *widget, const char *path)
{
    GdkWindow *win = gtk_widget_get_window(widget);
    GdkPixbuf *shot = gdk_pixbuf_get_from_window(win, 0, 0, gdk_window_get_width(win), gdk_window_get_height(win));
    bool ok = shot != nullptr && gdk_pixbuf_savev(shot, path, "png", nullptr, nullptr, nullptr);
    if (shot != nullptr)
        g_object_unref(shot);
    return ok;
}

gint shoot_editor(GtkDialog *dialog)
{
    gui::pump_until([] { return false; }, 300);
    if (save_window(GTK_WIDGET(dialog), editor_path))
        printf("%s\n", editor_path);
    return GTK_RESPONSE_CANCEL;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        fprintf(stderr, "usage: velk_gui_screenshot OUT.png [EDITOR.png [BUSY.png]]\n");
        return 2;
    }
    gui::start({0});
    gui::adapter().set_loopback(true);
    gtk_button_clicked(GTK_BUTTON(cd_info.btn_cnnt));
    if (argc == 4) {
        gui::pump_until([] { return false; }, 300);  // the connect takes over a second
        if (save_window(windows->main_window, argv[3]))
            printf("%s\n", argv[3]);
    }
    if (!gui::wait_idle() || !is_connect)
        return 1;
    gui::set_check(cs_info.can[CAN_1].chk[CS_FDF], true);
    gui::click(cd_info.btn_start);
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_COUNT]), "4");
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), "123");
    gui::set_check(ss_info.chk[SS_CHK_IID], true);
    gui::click(ss_info.btn_send);
    gui::pump_until([] { return can1_cnt_s >= 4 && can2_cnt_r >= 4; }, 15000);
    gui::pump_until([] { return false; }, 300);  // let the window settle

    bool ok = save_window(windows->main_window, argv[1]);
    if (ok && argc >= 3) {
        editor_path = argv[2];
        ed_dialog_run = shoot_editor;
        gui::set_check(ss_info.chk[SS_CHK_FDF], true);
        gui::select_text(ss_info.cbbox[SS_CBBOX_LEN], "64");
        gui::click(ss_info.btn_can_data);
    }
    gui::disconnect();
    if (!ok)
        return 1;  // stops the workers before the process ends
    printf("%s\n", argv[1]);
    return 0;
}
