#include "gui_support.h"

#include <unistd.h>

#include <cstdlib>

namespace gui {

namespace {

std::vector<std::unique_ptr<velk::test::SimPort>> ports;
std::string file_answer;
bool file_answer_set = false;

gint run_file_dialog(GtkDialog *dialog)
{
    if (!file_answer_set)
        return GTK_RESPONSE_CANCEL;
    file_answer_set = false;
    return gui_widgets::answer_file_chooser(dialog, file_answer);
}

}  // namespace

void start(std::initializer_list<int> adapter_indices)
{
    static bool started = false;
    if (started)
        return;
    started = true;
    velk::test::unmap_all_ports();
    for (int index : adapter_indices) {
        ports.push_back(std::make_unique<velk::test::SimPort>(index));
        if (!ports.back()->ok())
            std::abort();
    }
    if (chdir(VELK_UI_DIR) != 0)
        std::abort();
    static char arg0[] = "velk_utility";
    static char *argv[] = {arg0, nullptr};
    if (velk_utility_startup(1, argv) != 0)
        std::abort();
    cs_dialog_run = run_file_dialog;
    wait_idle();
    pump_pending();
}

velk::sim::Adapter &adapter(int n)
{
    return ports.at(n)->sim();
}

void pump_pending()
{
    while (g_main_context_pending(nullptr))
        g_main_context_iteration(nullptr, FALSE);
}

int active(GtkWidget *combo)
{
    return gtk_combo_box_get_active(GTK_COMBO_BOX(combo));
}

void set_check(GtkWidget *w, bool on)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), on ? TRUE : FALSE);
    wait_idle();
    pump_pending();
}

bool select_text(GtkWidget *combo, const char *text)
{
    if (!gui_widgets::select_text(combo, text))
        return false;
    wait_idle();
    pump_pending();
    return true;
}

void click(GtkWidget *button)
{
    gtk_button_clicked(GTK_BUTTON(button));
    wait_idle();
    pump_pending();
}

bool connect()
{
    if (!is_connect)
        click(cd_info.btn_cnnt);
    return is_connect;
}

bool disconnect()
{
    if (is_connect)
        click(cd_info.btn_cnnt);
    return !is_connect;
}

void answer_file_dialog(const std::string &path)
{
    file_answer = path;
    file_answer_set = true;
}

}  // namespace gui
