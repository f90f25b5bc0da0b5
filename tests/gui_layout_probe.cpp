// Starts the utility in-process, with an emulated adapter at port index 0
// or with none, and prints where every named widget of the main window is
// ("id x y width height", after the window's size): once when the start-up
// search has ended, and, with an adapter, once more after a tour that
// changes what the widgets show (connect, CAN FD, start, lengths 64 and 2,
// long texts in the device and busy labels, disconnect). The layout test
// compares the listings of two starts.
// Usage: gui_layout_probe adapter|none
#include "gui_support.h"

#include <cstdio>
#include <cstring>

namespace {

void list_widgets(GtkWidget *w, FILE *out)
{
    const char *id = GTK_IS_BUILDABLE(w) ? gtk_buildable_get_name(GTK_BUILDABLE(w)) : nullptr;
    if (id != nullptr && std::strncmp(id, "___", 3) != 0 && gtk_widget_get_mapped(w)) {
        GtkAllocation a;
        gtk_widget_get_allocation(w, &a);
        std::fprintf(out, "%s %d %d %d %d\n", id, a.x, a.y, a.width, a.height);
    }
    if (!GTK_IS_CONTAINER(w))
        return;
    GList *children = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList *c = children; c != nullptr; c = c->next)
        list_widgets(GTK_WIDGET(c->data), out);
    g_list_free(children);
}

void listing(const char *title)
{
    // Lets the window lay out what it shows now.
    gui::pump_until([] { return false; }, 300);
    int width = 0;
    int height = 0;
    gtk_window_get_size(GTK_WINDOW(windows->main_window), &width, &height);
    std::printf("%s\nwindow %d %d\n", title, width, height);
    list_widgets(windows->main_window, stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || (std::strcmp(argv[1], "adapter") != 0 && std::strcmp(argv[1], "none") != 0)) {
        std::fprintf(stderr, "usage: gui_layout_probe adapter|none\n");
        return 2;
    }
    const bool adapter = std::strcmp(argv[1], "adapter") == 0;
    if (adapter)
        gui::start({0});
    else
        gui::start({});
    listing("start");
    if (!adapter)
        return 0;

    if (!gui::connect())
        return 1;
    gui::set_check(cs_info.can[CAN_1].chk[CS_FDF], true);
    gui::click(cd_info.btn_start);
    gui::set_check(ss_info.chk[SS_CHK_FDF], true);
    gui::select_text(ss_info.cbbox[SS_CBBOX_LEN], "64");
    gui::select_text(ss_info.cbbox[SS_CBBOX_LEN], "2");
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_FW]), "FW: 03.02 build 20261208 rev 4711 (debug)");
    gtk_label_set_text(GTK_LABEL(cd_info.busy_label), "Writing settings…");
    listing("tour");
    gui::disconnect();
    return 0;
}
