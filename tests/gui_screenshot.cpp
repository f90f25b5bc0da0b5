// Runs the utility in-process against an emulated adapter with loopback,
// connects, starts CAN, sends a few frames and saves the main window as a
// PNG; then, with periodic traffic being recorded, the frame list with the
// adapter's times and the bus load (OUT-frames.png) and the monitor
// (OUT-monitor.png); optionally the data editor typed over after Clear, the
// window after a Reset of a CAN FD send (OUT-reset.png) and after the
// adapter was unplugged (OUT-unplugged.png), and the window while the
// connect is under way. Usage: velk_gui_screenshot OUT.png [EDITOR.png [BUSY.png]]
#include "gui_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

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
    // Clear, then typed over from the first cell on: AA BB CC ...
    gui::pump_until([] { return false; }, 300);
    gtk_button_clicked(GTK_BUTTON(ed_info.clear_btn));
    gtk_widget_grab_focus(ed_info.ety_d[0]);
    gtk_editable_set_position(GTK_EDITABLE(ed_info.ety_d[0]), -1);
    std::string typed;
    for (int i = 0; i < 64; ++i) {
        char pair[3];
        snprintf(pair, sizeof pair, "%02X", (0xAA + i * 0x11) & 0xFF);
        typed += pair;
    }
    gui::type_text(ed_info.ety_d[0], typed.c_str());
    // The cells' tooltips would pop up under the virtual display's pointer.
    for (GtkWidget *cell : ed_info.ety_d)
        gtk_widget_set_has_tooltip(cell, FALSE);
    gui::pump_until([] { return false; }, 300);
    if (save_window(GTK_WIDGET(dialog), editor_path))
        printf("%s\n", editor_path);
    return GTK_RESPONSE_CANCEL;
}

std::string record_path;

gint answer_record(GtkDialog *dialog)
{
    return gui_widgets::answer_file_chooser(dialog, record_path);
}

// Frames a second's worth of periodic traffic on both channels would show,
// stamped by the adapter's clock in the second before `end_us`: a counter
// at 10 ms, changing bytes at 20 ms, an extended identifier at 100 ms and a
// CAN FD frame with BRS at 50 ms.
velk::sim::Bytes periodic_traffic(int64_t end_us)
{
    velk::sim::Bytes out;
    auto add = [&out](const velk::sim::Bytes &b) { out.insert(out.end(), b.begin(), b.end()); };
    // The whole second before the one `end_us` falls in.
    const uint32_t second = static_cast<uint32_t>(std::max<int64_t>(end_us / 1000000 - 1, 0));
    for (uint32_t ms = 0; ms < 1000; ms += 10) {
        const uint32_t usec = ms * 1000 + 17;
        const uint8_t n = static_cast<uint8_t>(ms / 10);
        add(velk::sim::report_e2(1, false, false, 8, 0x100, {n, 0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, second,
                                 usec));
        if (ms % 20 == 0)
            add(velk::sim::report_e2(1, false, false, 6, 0x2A0, {0x12, 0x34, static_cast<uint8_t>(n * 7), 0x00,
                                                                 static_cast<uint8_t>(n & 0x0F), 0x80},
                                     second, usec + 250));
        if (ms % 100 == 0)
            add(velk::sim::report_e2(1, true, false, 8, 0x18FEF100,
                                     {0xFF, 0xFF, static_cast<uint8_t>(0x40 + n / 10), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                     second, usec + 500));
        if (ms % 50 == 0) {
            velk::sim::Bytes fd(16, 0x5A);
            fd[0] = static_cast<uint8_t>(n / 5);
            add(velk::sim::report_f1(0, false, 10, 0x05, 0x0C4, fd, second, usec + 750));
        }
    }
    return out;
}

// Records periodic traffic and shoots the frame list and the monitor.
bool shoot_trace_views(const std::string &out)
{
    char dir[] = "/tmp/velk-shot-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    record_path = std::string(dir) + "/trace.asc";
    tr_dialog_run = answer_record;
    gui::click(tr_info.btn_record);
    gui::set_check(ss_info.chk[SS_CHK_IID], false);
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_COUNT]), "60");
    gtk_entry_set_text(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_ITVL]), "20000");
    gui::click(ss_info.btn_send);
    gui::set_check(tr_info.chk_follow, true);
    gui::pump_until([] { return can1_cnt_s >= 60; }, 15000);
    gui::adapter().inject(periodic_traffic(gui::adapter().clock_now_us()));
    // The rates and the recording's figures are shown once a second.
    gui::pump_until([] { return false; }, 1200);
    const std::string base = out.substr(0, out.size() - 4);
    bool ok = save_window(windows->main_window, (base + "-frames.png").c_str());
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 1);
    gui::pump_until([] { return false; }, 300);
    ok = ok && save_window(windows->main_window, (base + "-monitor.png").c_str());
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 0);
    gui::click(tr_info.btn_record);
    gui::pump_until([] { return !rec_is_recording(); }, 5000);
    unlink(record_path.c_str());
    rmdir(dir);
    if (ok)
        printf("%s-frames.png\n%s-monitor.png\n", base.c_str(), base.c_str());
    return ok;
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

    bool ok = save_window(windows->main_window, argv[1]) && shoot_trace_views(argv[1]);
    if (ok && argc >= 3) {
        editor_path = argv[2];
        ed_dialog_run = shoot_editor;
        gui::set_check(ss_info.chk[SS_CHK_FDF], true);
        gui::set_check(ss_info.chk[SS_CHK_BRS], true);
        gui::select_text(ss_info.cbbox[SS_CBBOX_LEN], "64");
        gui::click(ss_info.btn_can_data);

        // The CAN FD frame options go with the adapter's CAN FD mode.
        const std::string base = std::string(argv[1]).substr(0, std::string(argv[1]).size() - 4);
        gui::click(cs_info.btn[CS_BTN_RESET]);
        gui::pump_until([] { return false; }, 300);
        ok = save_window(windows->main_window, (base + "-reset.png").c_str());
        gui::adapter().unplug();
        gui::pump_until([] { return !is_connect; }, 5000);
        gui::wait_idle();
        gui::pump_until([] { return false; }, 300);
        ok = ok && save_window(windows->main_window, (base + "-unplugged.png").c_str());
        if (ok)
            printf("%s-reset.png\n%s-unplugged.png\n", base.c_str(), base.c_str());
    }
    gui::disconnect();
    if (!ok)
        return 1;  // stops the workers before the process ends
    printf("%s\n", argv[1]);
    return 0;
}
