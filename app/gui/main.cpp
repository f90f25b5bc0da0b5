// Start-up of the utility, the status log and the quit path.
#include "data_files.h"
#include "guipart.h"
#include "panel_diagnostics.h"
#include "panel_plot.h"
#include "panel_transmit.h"
#include "trace_view.h"
#include "widgets.h"

#include <glib-unix.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

int com_port = -1;
bool is_connect = false;
bool is_active = false;

WINDOWS_INFO *windows = nullptr;
GtkBuilder *MW_builder = nullptr;
GtkBuilder *CS_builder = nullptr;
GtkBuilder *ED_builder = nullptr;

SL_INFO sl_info;

const char *title_top = "VELK Utility v1.0.2";

gint (*cs_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;
gint (*ed_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

using gui::swallow_press;

constexpr const char *kIconPath = "./icon/CANbus.ico";
// Room a title bar and a desktop panel take from the screen's height.
constexpr int kDecorationHeight = 72;

// A layout file that cannot be loaded ends the program: the message goes to
// the GLib log and the console waits for a key so that it stays readable
// when the program was started by a double click.
void load_layout(GtkBuilder *builder, const char *file)
{
    std::string looked;
    std::string path = gui::find_data_file(file, looked);
    GError *error = nullptr;
    if (path.empty()) {
        g_warning("Layout file %s not found; looked for %s", file, looked.c_str());
        (void)getchar();
        exit(1);
    }
    if (gtk_builder_add_from_file(builder, path.c_str(), &error) == 0) {
        g_warning("%s", error->message);
        g_error_free(error);
        (void)getchar();
        exit(1);
    }
}

// The log shows whole lines: the part of its height that a line would not
// fill goes below it as margin. The margin is set from an idle callback, as
// no size may change while the window is being laid out.
int log_margin = 0;     // the layout's bottom margin of the log
int log_row = 0;        // height of one line of the log
bool log_snap_queued = false;

gboolean snap_log_now(gpointer)
{
    log_snap_queued = false;
    GtkAllocation view;
    gtk_widget_get_allocation(sl_info.tree, &view);
    const int extra = gtk_widget_get_margin_bottom(sl_info.box) - log_margin;
    const int spare = log_row > 0 && view.height > 0 ? (view.height + extra) % log_row : 0;
    if (spare != extra)
        gtk_widget_set_margin_bottom(sl_info.box, log_margin + spare);
    return G_SOURCE_REMOVE;
}

void snap_log(GtkWidget *, GdkRectangle *, gpointer)
{
    if (!log_snap_queued) {
        log_snap_queued = true;
        g_idle_add(snap_log_now, nullptr);
    }
}

// The log's one column: plain lines in a small font, as close as text lines,
// so that the longest outcome (five lines, at the start of CAN) shows whole;
// a line longer than the log is wide wraps.
void add_log_column(GtkTreeView *view)
{
    GtkCellRenderer *renderer = gtk_cell_renderer_text_new();
    g_object_set(renderer, "font", "Calibri 9", "wrap-mode", PANGO_WRAP_WORD_CHAR, nullptr);
    gint xpad = 0;
    gtk_cell_renderer_get_padding(renderer, &xpad, nullptr);
    gtk_cell_renderer_set_padding(renderer, xpad, 0);
    GtkTreeViewColumn *column = gtk_tree_view_column_new_with_attributes("Status log", renderer, "text", 0, nullptr);
    gtk_tree_view_append_column(view, column);
    gtk_tree_view_set_headers_visible(view, FALSE);
}

// The height of a line of the log, from a view like it that holds one line,
// laid out off the screen: the log itself holds none before the first
// outcome.
int measure_log_line()
{
    GtkWidget *window = gtk_offscreen_window_new();
    GtkWidget *view = gtk_tree_view_new();
    add_log_column(GTK_TREE_VIEW(view));
    GtkListStore *lines = gtk_list_store_new(1, G_TYPE_STRING);
    gtk_list_store_insert_with_values(lines, nullptr, -1, 0, "Xg", -1);
    gtk_tree_view_set_model(GTK_TREE_VIEW(view), GTK_TREE_MODEL(lines));
    g_object_unref(lines);
    gtk_container_add(GTK_CONTAINER(window), view);
    gtk_widget_show_all(window);
    GtkTreePath *first = gtk_tree_path_new_first();
    GdkRectangle row = {0, 0, 0, 0};
    gtk_tree_view_get_background_area(GTK_TREE_VIEW(view), first, nullptr, &row);
    gtk_tree_path_free(first);
    gtk_widget_destroy(window);
    return row.height;
}

// The log keeps its newest line in view, as a terminal does, unless the
// user scrolled up to read older ones.
bool log_follows = true;
GtkCellRenderer *log_cell = nullptr;
int log_wrap_width = -1;

void log_scrolled(GtkAdjustment *adj, gpointer)
{
    log_follows = gtk_adjustment_get_value(adj) + gtk_adjustment_get_page_size(adj) >=
                  gtk_adjustment_get_upper(adj) - 1;
}

void log_grew(GtkAdjustment *adj, gpointer)
{
    if (log_follows)
        gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
}

// Lines wrap at the log's width: the cell's wrap width follows the view's,
// set from an idle callback as the margin is.
gboolean wrap_log_now(gpointer)
{
    gint xpad = 0;
    gtk_cell_renderer_get_padding(log_cell, &xpad, nullptr);
    // The view puts its separator beside the cell's padding.
    gint separator = 0;
    gtk_widget_style_get(sl_info.tree, "horizontal-separator", &separator, nullptr);
    const int width = gtk_widget_get_allocated_width(sl_info.tree) - 2 * xpad - separator;
    if (width > 0 && width != log_wrap_width) {
        log_wrap_width = width;
        g_object_set(log_cell, "wrap-width", width, nullptr);
        gtk_tree_view_columns_autosize(GTK_TREE_VIEW(sl_info.tree));
    }
    return G_SOURCE_REMOVE;
}

void wrap_log(GtkWidget *, GdkRectangle *allocation, gpointer)
{
    if (allocation->width != log_wrap_width)
        g_idle_add(wrap_log_now, nullptr);
}

void sl_init()
{
    sl_info.tree = gui::widget(MW_builder, "Log_treeview");
    sl_info.box = gui::widget(MW_builder, "Log_scroll_window");
    sl_info.store = nullptr;
    add_log_column(GTK_TREE_VIEW(sl_info.tree));
    g_signal_connect(sl_info.tree, "button-press-event", G_CALLBACK(swallow_press), nullptr);
    log_row = measure_log_line();
    log_margin = gtk_widget_get_margin_bottom(sl_info.box);
    g_signal_connect(sl_info.box, "size-allocate", G_CALLBACK(snap_log), nullptr);
    GtkTreeViewColumn *column = gtk_tree_view_get_column(GTK_TREE_VIEW(sl_info.tree), 0);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
    log_cell = GTK_CELL_RENDERER(cells->data);
    g_list_free(cells);
    g_signal_connect(sl_info.tree, "size-allocate", G_CALLBACK(wrap_log), nullptr);
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(sl_info.box));
    g_signal_connect(adj, "value-changed", G_CALLBACK(log_scrolled), nullptr);
    g_signal_connect(adj, "changed", G_CALLBACK(log_grew), nullptr);
}

void main_window_init()
{
    GtkWidget *win = windows->main_window;
    GError *error = nullptr;
    std::string looked;
    std::string icon_path = gui::find_data_file(kIconPath, looked);
    GdkPixbuf *icon = icon_path.empty() ? nullptr : gdk_pixbuf_new_from_file(icon_path.c_str(), &error);
    if (icon != nullptr) {
        gtk_window_set_default_icon(icon);
        g_object_unref(icon);
    } else {
        if (error != nullptr)
            g_error_free(error);
        printf("Get icon from %s failed !\n", kIconPath);
        fflush(stdout);
    }
    gtk_widget_set_size_request(win, 800, 600);
    // The layout's default size fits a 1366 x 768 screen; a smaller screen
    // gets what it has room for.
    gint width = 0;
    gint height = 0;
    gtk_window_get_default_size(GTK_WINDOW(win), &width, &height);
    GdkDisplay *display = gdk_display_get_default();
    GdkMonitor *monitor = display != nullptr ? gdk_display_get_primary_monitor(display) : nullptr;
    if (monitor == nullptr && display != nullptr)
        monitor = gdk_display_get_monitor(display, 0);
    if (monitor != nullptr) {
        GdkRectangle area;
        gdk_monitor_get_workarea(monitor, &area);
        width = std::min(width, area.width);
        height = std::min(height, area.height - kDecorationHeight);
        gtk_window_set_default_size(GTK_WINDOW(win), width, height);
    }
    gtk_window_set_resizable(GTK_WINDOW(win), TRUE);
    gtk_window_set_title(GTK_WINDOW(win), title_top);
    gtk_window_set_position(GTK_WINDOW(win), GTK_WIN_POS_CENTER);
    wgt_show_hide(false, false);
    g_signal_connect(win, "destroy", G_CALLBACK(destroy), nullptr);
    // Cleared when the window is gone, so that a quit after a close finds no window.
    g_object_add_weak_pointer(G_OBJECT(win), reinterpret_cast<gpointer *>(&windows->main_window));
}

}  // namespace

void insert_log(const char *msg)
{
    if (sl_info.store == nullptr) {
        sl_info.store = gtk_list_store_new(1, G_TYPE_STRING);
        gtk_tree_view_set_model(GTK_TREE_VIEW(sl_info.tree), GTK_TREE_MODEL(sl_info.store));
        // The view holds the model now; the log keeps a borrowed pointer.
        g_object_unref(sl_info.store);
    }
    GtkTreeIter iter;
    gtk_list_store_append(sl_info.store, &iter);
    gtk_list_store_set(sl_info.store, &iter, 0, msg, -1);
    GtkTreeViewColumn *column = gtk_tree_view_get_column(GTK_TREE_VIEW(sl_info.tree), 0);
    if (column != nullptr)
        gtk_tree_view_column_queue_resize(column);
}

void clear_log(void)
{
    if (sl_info.store == nullptr)
        return;
    gtk_list_store_clear(sl_info.store);
    gtk_tree_view_set_model(GTK_TREE_VIEW(sl_info.tree), nullptr);
    sl_info.store = nullptr;
    // Back to the top now rather than when the view next lays itself out,
    // which would seem to be the user leaving the end of the new lines.
    gtk_adjustment_set_value(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(sl_info.box)), 0);
    log_follows = true;
}

void destroy(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    // The transmit list stops first. The window is gone, so the operation
    // under way is waited for here and the disconnect runs right here too.
    // An operation that was cut short may have opened the port (a connect):
    // disconnecting a closed port is harmless.
    tx_stop_all();
    bool abandoned = abandon_operation();
    // The recording's file is complete before the program ends.
    rec_stop_and_wait();
    if (is_connect || (abandoned && com_port >= 0)) {
        CAN_CNNT_INFO request = {};
        request.is_discnnt = true;
        procConnect(com_port, &request);
        is_connect = false;
        is_active = false;
    }
    gtk_main_quit();
}

// Quitting goes the way of closing the window: the destroy handler stops
// the transmit list and disconnects before the main loop ends.
extern "C" G_MODULE_EXPORT void cb_quit(void)
{
    if (windows != nullptr && windows->main_window != nullptr)
        gtk_widget_destroy(windows->main_window);
    else
        gtk_main_quit();
}

void quit_on_signals(void)
{
    for (int sig : {SIGINT, SIGHUP, SIGTERM})
        g_unix_signal_add(
            sig,
            [](gpointer) -> gboolean {
                cb_quit();
                // Removed: the signal's default action is back for a second one.
                return G_SOURCE_REMOVE;
            },
            nullptr);
}

int velk_utility_startup(int argc, char **argv)
{
    gtk_init(&argc, &argv);

    upbs_reset();

    MW_builder = gtk_builder_new();
    CS_builder = gtk_builder_new();
    ED_builder = gtk_builder_new();
    load_layout(MW_builder, "MainWindow.glade");
    load_layout(CS_builder, "CS_UI.glade");
    load_layout(ED_builder, "ED_UI.glade");
    GtkBuilder *DB_builder = gtk_builder_new();
    load_layout(DB_builder, "DB_UI.glade");

    windows = g_new0(WINDOWS_INFO, 1);
    windows->main_window = gui::widget(MW_builder, "main_window");
    windows->ed_dialog = gui::widget(ED_builder, "EditData_dialog");
    gtk_builder_connect_signals(MW_builder, windows);

    op_init();
    cd_init();
    cs_init();
    sl_init();
    rs_init();
    ss_init();
    bs_init();
    tr_init();
    mn_init();
    tx_init();
    dg_init();
    plot_init();
    rec_init();
    ed_init();
    db_init(MW_builder, DB_builder);
    sg_init(ED_builder, DB_builder);
    main_window_init();
    gui::trace_view::init(MW_builder, argc, argv);

    g_object_unref(MW_builder);
    g_object_unref(CS_builder);
    g_object_unref(ED_builder);
    g_object_unref(DB_builder);
    MW_builder = CS_builder = ED_builder = nullptr;

    g_timeout_add(1, update_BS_frame, nullptr);
    gtk_widget_show_all(windows->main_window);
    // The window is up at once; the search fills the port box when it ends,
    // and says "No VELK device !" when nothing answered.
    search_ports(SEARCH_AT_START);
    return 0;
}

int velk_utility_main(int argc, char **argv)
{
    velk_utility_startup(argc, argv);
    quit_on_signals();
    gtk_main();
    // Whatever ended the main loop, the list sends nothing more.
    tx_stop_all();
    (void)abandon_operation();
    g_free(windows);
    windows = nullptr;
    return 0;
}
