#include "gui2_harness.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace gui2 {

namespace {

std::function<int()> editor_answer;
std::string record_answer;
double record_split[3];  // MB, minutes, pieces kept

gint run_editor(GtkDialog *)
{
    pump_pending();
    return editor_answer ? editor_answer() : GTK_RESPONSE_CANCEL;
}

gint run_record_dialog(GtkDialog *dialog)
{
    std::string path = record_answer;
    record_answer.clear();
    const char *names[3] = {"rec_split_size", "rec_split_time", "rec_split_count"};
    for (int i = 0; i < 3; ++i) {
        if (GtkWidget *spin = extra_field(dialog, names[i]))
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), record_split[i]);
        record_split[i] = 0;
    }
    return gui_widgets::answer_file_chooser(dialog, path);
}

std::string text_of(GtkTreeModel *model, GtkTreeIter *iter, int column)
{
    gchar *text = nullptr;
    gtk_tree_model_get(model, iter, column, &text, -1);
    std::string s = text != nullptr ? text : "";
    g_free(text);
    return s;
}

}  // namespace

void start_utility()
{
    static bool started = false;
    if (started)
        return;
    started = true;
    // The databases the utility remembers go to a folder of this process.
    static char config[] = "/tmp/velk-gui2-config-XXXXXX";
    if (mkdtemp(config) == nullptr || setenv("XDG_CONFIG_HOME", config, 1) != 0)
        std::abort();
    if (chdir(VELK_UI_DIR) != 0)
        std::abort();
    static char arg0[] = "velk_utility";
    static char *argv[] = {arg0, nullptr};
    if (velk_utility_startup(1, argv) != 0)
        std::abort();
    ed_dialog_run = run_editor;
    tr_dialog_run = run_record_dialog;
    gtk_widget_show_all(windows->main_window);
    wait_idle();
    pump_pending();
}

void pump_pending()
{
    for (int i = 0; i < 200 && g_main_context_pending(nullptr); ++i)
        g_main_context_iteration(nullptr, FALSE);
}

int rows()
{
    list_flush();
    if (store == nullptr)
        return 0;
    return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store), nullptr);
}

static bool row_iter(int row, GtkTreeIter *iter)
{
    list_flush();
    return store != nullptr && gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(store), iter, nullptr, row);
}

std::string model_cell(GtkTreeModel *model, int row, int column)
{
    GtkTreeIter iter;
    if (model == nullptr || !gtk_tree_model_iter_nth_child(model, &iter, nullptr, row))
        return "<no row>";
    gchar *text = nullptr;
    gtk_tree_model_get(model, &iter, column, &text, -1);
    std::string s = text != nullptr ? text : "";
    g_free(text);
    return s;
}

std::string cell(int row, int column)
{
    list_flush();
    return model_cell(store != nullptr ? GTK_TREE_MODEL(store) : nullptr, row, column);
}

bool cell_is_set(int row, int column)
{
    GtkTreeIter iter;
    if (!row_iter(row, &iter))
        return false;
    gchar *text = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(store), &iter, column, &text, -1);
    bool set = text != nullptr;
    g_free(text);
    return set;
}

int monitor_row(const char *ch, const char *path, const char *id)
{
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(mn_info.tree));
    GtkTreeIter iter;
    int row = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok;
         ok = gtk_tree_model_iter_next(model, &iter), ++row)
        if (text_of(model, &iter, MN_COL_CH) == ch && text_of(model, &iter, MN_COL_PATH) == path &&
            text_of(model, &iter, MN_COL_ID) == id)
            return row;
    return -1;
}

std::string monitor_cell(int row, int column)
{
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(mn_info.tree));
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(model, &iter, nullptr, row))
        return "<no row>";
    return text_of(model, &iter, column);
}

std::string monitor_child_cell(int row, int child, int column)
{
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(mn_info.tree));
    GtkTreeIter parent;
    GtkTreeIter iter;
    if (!gtk_tree_model_iter_nth_child(model, &parent, nullptr, row) ||
        !gtk_tree_model_iter_nth_child(model, &iter, &parent, child))
        return "<no row>";
    return text_of(model, &iter, column);
}

int monitor_children(int row)
{
    GtkTreeModel *model = gtk_tree_view_get_model(GTK_TREE_VIEW(mn_info.tree));
    GtkTreeIter parent;
    if (!gtk_tree_model_iter_nth_child(model, &parent, nullptr, row))
        return -1;
    return gtk_tree_model_iter_n_children(model, &parent);
}

bool visible_range(GtkWidget *tree, int *first, int *last)
{
    GtkTreePath *from = nullptr;
    GtkTreePath *to = nullptr;
    if (!gtk_tree_view_get_visible_range(GTK_TREE_VIEW(tree), &from, &to))
        return false;
    *first = gtk_tree_path_get_indices(from)[0];
    *last = gtk_tree_path_get_indices(to)[0];
    gtk_tree_path_free(from);
    gtk_tree_path_free(to);
    return true;
}

int visible_rows(GtkWidget *tree)
{
    int first = 0;
    int last = -1;
    return visible_range(tree, &first, &last) ? last - first + 1 : 0;
}

int received_waiting()
{
    return (rear_r.load() - front_r.load() + UPBS_QUEUE_SIZE) % UPBS_QUEUE_SIZE;
}

GtkWidget *extra_field(GtkDialog *dialog, const char *name)
{
    GtkWidget *extra = gtk_file_chooser_get_extra_widget(GTK_FILE_CHOOSER(dialog));
    if (extra == nullptr)
        return nullptr;
    GtkWidget *found = nullptr;
    GList *children = gtk_container_get_children(GTK_CONTAINER(extra));
    for (GList *c = children; c != nullptr; c = c->next)
        if (std::string(gtk_widget_get_name(GTK_WIDGET(c->data))) == name)
            found = GTK_WIDGET(c->data);
    g_list_free(children);
    return found;
}

void answer_record_dialog(const std::string &path, double split_mb, double split_minutes, double keep)
{
    record_answer = path;
    record_split[0] = split_mb;
    record_split[1] = split_minutes;
    record_split[2] = keep;
}

void set_check(GtkWidget *w, bool on)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), on);
}

void fill_log()
{
    clear_log();
    for (int i = 0; i < 2; ++i)
        for (const char *line : {"Set mode successfully !", "Set baud rate successfully !", "Set filter successfully !",
                                 "CAN1 operates in CAN2.0B", "CAN2 operates in CAN2.0B"})
            insert_log(line);
    (void)log_shows_newest();
}

namespace {

// Rows shown before `path`: the rows above it, with the children of
// expanded rows, in the order the view shows them.
int shown_row(GtkTreeView *view, GtkTreePath *path)
{
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    int n = 0;
    bool found = false;
    std::function<void(GtkTreeIter *)> walk = [&](GtkTreeIter *parent) {
        GtkTreeIter it;
        for (gboolean ok = gtk_tree_model_iter_children(model, &it, parent); ok && !found;
             ok = gtk_tree_model_iter_next(model, &it)) {
            GtkTreePath *p = gtk_tree_model_get_path(model, &it);
            if (gtk_tree_path_compare(p, path) == 0)
                found = true;
            else
                ++n;
            if (!found && gtk_tree_view_row_expanded(view, p))
                walk(&it);
            gtk_tree_path_free(p);
        }
    };
    walk(nullptr);
    return found ? n : -1;
}

}  // namespace

std::string accessible_cell_text(GtkWidget *tree, GtkTreePath *path, GtkTreeViewColumn *column)
{
    AtkObject *view = gtk_widget_get_accessible(tree);
    const int row = shown_row(GTK_TREE_VIEW(tree), path);
    if (!ATK_IS_TABLE(view) || row < 0)
        return "<no cell>";
    int shown_column = 0;
    for (GtkTreeViewColumn *c; (c = gtk_tree_view_get_column(GTK_TREE_VIEW(tree), shown_column)) != column;) {
        if (c == nullptr)
            return "<no cell>";
        ++shown_column;
    }
    // Hidden columns are not in the table.
    for (int i = 0, n = shown_column; i < n; ++i)
        if (!gtk_tree_view_column_get_visible(gtk_tree_view_get_column(GTK_TREE_VIEW(tree), i)))
            --shown_column;
    AtkObject *cell = atk_table_ref_at(ATK_TABLE(view), row, shown_column);
    if (cell == nullptr)
        return "<no cell>";
    // A column of several renderers is a container of their cells.
    AtkObject *text_cell = cell;
    if (!ATK_IS_TEXT(cell) && atk_object_get_n_accessible_children(cell) > 0)
        text_cell = atk_object_ref_accessible_child(cell, 0);
    else
        g_object_ref(text_cell);
    std::string text = "<no cell>";
    if (ATK_IS_TEXT(text_cell)) {
        gchar *t = atk_text_get_text(ATK_TEXT(text_cell), 0, -1);
        text = t != nullptr ? t : "";
        g_free(t);
    }
    g_object_unref(text_cell);
    g_object_unref(cell);
    return text;
}

void answer_editor(std::function<int()> fn)
{
    editor_answer = std::move(fn);
}

static UPBS_INFO entry_of(const CAN_FRAME_INFO &f, const char *time)
{
    UPBS_INFO e;
    std::memset(&e, 0, sizeof e);
    std::strncpy(e.now_time, time, sizeof e.now_time - 1);
    e.frame_info = f;
    return e;
}

void push_sent(const CAN_FRAME_INFO &f, const char *time)
{
    std::lock_guard<std::mutex> lock(MTX_queue_s);
    upbs_send_push(entry_of(f, time));
}

void push_received(const CAN_FRAME_INFO &f, const char *time)
{
    upbs_recv_push(entry_of(f, time));
}

CAN_FRAME_INFO classic(int port, unsigned id, int dlc)
{
    CAN_FRAME_INFO f;
    std::memset(&f, 0, sizeof f);
    f.CAN_port = port;
    f.id_type = VELK_SID;
    f.id = id;
    f.dlc = dlc;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<unsigned char>(i + 1);
    return f;
}

namespace {

// One whole frame of a shown toplevel painted.
bool paint(GtkWidget *window)
{
    GdkFrameClock *clock = gtk_widget_get_frame_clock(window);
    if (clock == nullptr)
        return false;
    bool painted = false;
    const gulong handler = g_signal_connect(
        clock, "after-paint", G_CALLBACK(+[](GdkFrameClock *, gpointer done) { *static_cast<bool *>(done) = true; }),
        &painted);
    gtk_widget_queue_draw(window);
    pump_until([&] { return painted; });
    g_signal_handler_disconnect(clock, handler);
    return painted;
}

// The pixels of a toplevel as the X server shows them, once painted.
void save_window(GtkWidget *window, const char *name)
{
    const char *dir = std::getenv("VELK_SCREENSHOT_DIR");
    GdkWindow *win = gtk_widget_get_window(window);
    if (dir == nullptr || win == nullptr)
        return;
    paint(window);
    gdk_display_sync(gdk_window_get_display(win));
    GdkPixbuf *pix = gdk_pixbuf_get_from_window(win, 0, 0, gdk_window_get_width(win), gdk_window_get_height(win));
    if (pix == nullptr)
        return;
    const std::string path = std::string(dir) + "/" + name + ".png";
    gdk_pixbuf_save(pix, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(pix);
}

}  // namespace

bool paint_window()
{
    return windows != nullptr && gtk_widget_get_window(windows->main_window) != nullptr &&
           paint(windows->main_window);
}

// Taken from the X server, not by drawing the window into an image of our
// own: gtk_widget_draw leaves out what GTK draws in child X windows of the
// toplevel (a tree view's column titles, a button whose window it keeps),
// which came out blank.
void screenshot_of(GtkWidget *window, const char *name)
{
    if (std::getenv("VELK_SCREENSHOT_DIR") == nullptr)
        return;
    // On top of the others, which would otherwise be in its pixels.
    gtk_window_present(GTK_WINDOW(window));
    // Mapped and laid out: the window manager-less server maps at once.
    pump_until([&] { return gtk_widget_get_mapped(window); });
    pump_until([] { return false; }, 300);
    save_window(window, name);
}

void screenshot(const char *name)
{
    if (windows != nullptr)
        save_window(windows->main_window, name);
}

velk::test::SimPort *OnEmulatedAdapter::port_ = nullptr;

void OnEmulatedAdapter::open_adapter()
{
    velk::test::unmap_all_ports();
    port_ = new velk::test::SimPort(0);
    ASSERT_TRUE(port_->ok());
    start_utility();
}

void OnEmulatedAdapter::close_adapter()
{
    // Stops both workers before the emulator goes.
    if (is_connect)
        btn_cnnt_cb(nullptr, nullptr);
    wait_idle();
    delete port_;
    port_ = nullptr;
}

void OnEmulatedAdapter::connect_and_start()
{
    ASSERT_NE(port_, nullptr);
    if (!is_connect)
        btn_cnnt_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    ASSERT_TRUE(is_connect) << ::testing::PrintToString(log_lines());
    if (!is_active)
        btn_start_cb(nullptr, nullptr);
    ASSERT_TRUE(wait_idle());
    ASSERT_TRUE(is_active) << ::testing::PrintToString(log_lines());
}

}  // namespace gui2
