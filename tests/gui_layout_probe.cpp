// Starts the utility in-process, with an emulated adapter at port index 0
// or with none, and prints where every named widget of the main window is
// ("id x y width height", after the window's size): once when the start-up
// search has ended, and, with an adapter, once more after a tour that
// changes what the widgets show (connect, CAN FD, start, lengths 64 and 2,
// long texts in the device and busy labels, disconnect). The layout test
// compares the listings of two starts.
// With "text", it loads the example database, lists one frame of each of
// its messages and prints "cut WHERE: TEXT" for every label, column header,
// placeholder, combo box text and cell that its widget shows in part (cut
// off or ellipsized) on each tab of the window at its default size and in
// By signal…, then "checked N texts".
// Usage: gui_layout_probe adapter|none|text
#include "gui_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// ---- texts shown in part ---------------------------------------------------

int texts_checked = 0;
int texts_cut = 0;

void report_cut(const std::string &where, const std::string &text)
{
    std::printf("cut %s: %s\n", where.c_str(), text.c_str());
    ++texts_cut;
}

std::string name_of(GtkWidget *w)
{
    const char *id = GTK_IS_BUILDABLE(w) ? gtk_buildable_get_name(GTK_BUILDABLE(w)) : nullptr;
    return id != nullptr && std::strncmp(id, "___", 3) != 0 ? id : G_OBJECT_TYPE_NAME(w);
}

int text_width(GtkWidget *w, const char *text)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(w, text);
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    return width;
}

// The width of a cell's text in the renderer's font, with its padding:
// the renderers may ask for a fixed width whatever they hold.
int cell_text_width(GtkWidget *view, GtkCellRenderer *cell, const char *text)
{
    PangoFontDescription *font =
        pango_font_description_copy(pango_context_get_font_description(gtk_widget_get_pango_context(view)));
    PangoFontDescription *own = nullptr;
    g_object_get(cell, "font-desc", &own, nullptr);
    if (own != nullptr) {
        pango_font_description_merge(font, own, TRUE);
        pango_font_description_free(own);
    }
    PangoLayout *layout = gtk_widget_create_pango_layout(view, text);
    pango_layout_set_font_description(layout, font);
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    pango_font_description_free(font);
    gint xpad = 0;
    gtk_cell_renderer_get_padding(cell, &xpad, nullptr);
    return width + 2 * xpad;
}

void check_label(GtkWidget *label, const std::string &where)
{
    const char *text = gtk_label_get_text(GTK_LABEL(label));
    if (text == nullptr || *text == '\0')
        return;
    ++texts_checked;
    PangoLayout *layout = gtk_label_get_layout(GTK_LABEL(label));
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    if (pango_layout_is_ellipsized(layout) || width > gtk_widget_get_allocated_width(label))
        report_cut(where, text);
}

// Columns in view at the default size: all but those the monitor puts to
// the right of a frame's count, period, data and time (a signal's columns,
// the frame's type and length).
bool must_show(const std::string &tree, const char *title)
{
    if (tree != "mn_treeview" || title == nullptr)
        return true;
    for (const char *signal_column : {"VALUE", "TEXT", "RAW", "MIN/MAX", "TYPE", "LEN"})
        if (std::strcmp(title, signal_column) == 0)
            return false;
    return true;
}

// Every cell of the rows the view holds (the children of expanded rows
// too), and each column: whole in the view's width.
void check_tree(GtkTreeView *view)
{
    const std::string tree = name_of(GTK_WIDGET(view));
    GdkRectangle visible;
    gtk_tree_view_get_visible_rect(view, &visible);
    GtkTreeModel *model = gtk_tree_view_get_model(view);
    for (int c = 0; c < static_cast<int>(gtk_tree_view_get_n_columns(view)); ++c) {
        GtkTreeViewColumn *column = gtk_tree_view_get_column(view, c);
        if (!gtk_tree_view_column_get_visible(column))
            continue;
        const char *title = gtk_tree_view_column_get_title(column);
        const std::string where = tree + " " + (title != nullptr ? title : "");
        if (gtk_tree_view_get_headers_visible(view)) {
            // The header's label sits in a frame beside the sort arrow.
            std::function<void(GtkWidget *)> header = [&](GtkWidget *w) {
                if (GTK_IS_LABEL(w)) {
                    check_label(w, where + " header");
                } else if (GTK_IS_CONTAINER(w)) {
                    GList *parts = gtk_container_get_children(GTK_CONTAINER(w));
                    for (GList *p = parts; p != nullptr; p = p->next)
                        header(GTK_WIDGET(p->data));
                    g_list_free(parts);
                }
            };
            GtkWidget *button = gtk_tree_view_column_get_button(column);
            if (button != nullptr && title != nullptr) {
                header(button);
                // The button is as wide as its column and clips its label
                // where the label goes past it: the label starts after the
                // button's padding on the left.
                int least = 0;
                gtk_widget_get_preferred_width(button, &least, nullptr);
                const int label = text_width(button, title);
                if (label + (least - label) / 2 > gtk_tree_view_column_get_width(column))
                    report_cut(where + " header", title);
            }
        }
        ++texts_checked;
        if (gtk_tree_view_column_get_x_offset(column) + gtk_tree_view_column_get_width(column) > visible.width &&
            must_show(tree, title))
            report_cut(where + " column", "off the view's right edge");
        if (model == nullptr)
            continue;
        std::function<void(GtkTreeIter *)> rows = [&](GtkTreeIter *parent) {
            GtkTreeIter it;
            for (gboolean ok = gtk_tree_model_iter_children(model, &it, parent); ok;
                 ok = gtk_tree_model_iter_next(model, &it)) {
                GtkTreePath *path = gtk_tree_model_get_path(model, &it);
                const bool expanded = gtk_tree_view_row_expanded(view, path);
                gtk_tree_view_column_cell_set_cell_data(column, model, &it, gtk_tree_model_iter_has_child(model, &it),
                                                        expanded);
                GdkRectangle area;
                gtk_tree_view_get_cell_area(view, path, column, &area);
                GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
                for (GList *r = cells; r != nullptr; r = r->next) {
                    GtkCellRenderer *cell = GTK_CELL_RENDERER(r->data);
                    if (!GTK_IS_CELL_RENDERER_TEXT(cell) || !gtk_cell_renderer_get_visible(cell))
                        continue;
                    gchar *text = nullptr;
                    g_object_get(cell, "text", &text, nullptr);
                    if (text != nullptr && *text != '\0') {
                        ++texts_checked;
                        const int natural = cell_text_width(GTK_WIDGET(view), cell, text);
                        if (natural > area.width)
                            report_cut(where, text);
                    }
                    g_free(text);
                }
                g_list_free(cells);
                if (expanded)
                    rows(&it);
                gtk_tree_path_free(path);
            }
        };
        rows(nullptr);
    }
}

void check_texts(GtkWidget *w)
{
    if (!gtk_widget_get_mapped(w))
        return;
    const std::string where = name_of(w);
    if (GTK_IS_LABEL(w)) {
        check_label(w, where);
    } else if (GTK_IS_ENTRY(w)) {
        const char *hint = gtk_entry_get_placeholder_text(GTK_ENTRY(w));
        if (hint != nullptr && *hint != '\0' && *gtk_entry_get_text(GTK_ENTRY(w)) == '\0') {
            ++texts_checked;
            GdkRectangle area;
            gtk_entry_get_text_area(GTK_ENTRY(w), &area);
            if (text_width(w, hint) > area.width)
                report_cut(where + " placeholder", hint);
        }
    } else if (GTK_IS_COMBO_BOX_TEXT(w) && !gtk_combo_box_get_has_entry(GTK_COMBO_BOX(w))) {
        gchar *text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(w));
        GtkWidget *shown = gtk_bin_get_child(GTK_BIN(w));
        if (text != nullptr && *text != '\0' && shown != nullptr) {
            ++texts_checked;
            GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(w));
            gint xpad = 0;
            if (cells != nullptr)
                gtk_cell_renderer_get_padding(GTK_CELL_RENDERER(cells->data), &xpad, nullptr);
            g_list_free(cells);
            if (text_width(shown, text) + 2 * xpad > gtk_widget_get_allocated_width(shown))
                report_cut(where, text);
        }
        g_free(text);
    } else if (GTK_IS_TREE_VIEW(w)) {
        check_tree(GTK_TREE_VIEW(w));
    }
    if (!GTK_IS_CONTAINER(w) || GTK_IS_COMBO_BOX(w))
        return;
    GList *children = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList *c = children; c != nullptr; c = c->next)
        check_texts(GTK_WIDGET(c->data));
    g_list_free(children);
}

// By signal… with the first message, checked while it is up.
gint check_by_signal(GtkDialog *dialog)
{
    gtk_widget_show(GTK_WIDGET(dialog));
    gui::pump_until([] { return false; }, 300);
    check_texts(GTK_WIDGET(dialog));
    gtk_widget_hide(GTK_WIDGET(dialog));
    return GTK_RESPONSE_CANCEL;
}

int check_text_fits()
{
    // A configuration folder of its own: the database loaded here is not
    // remembered for the other tests' starts.
    char config[] = "/tmp/velk-probe-XXXXXX";
    if (mkdtemp(config) == nullptr)
        return 1;
    setenv("XDG_CONFIG_HOME", config, 1);
    gui::start({0});
    if (!gui::connect())
        return 1;
    gui::click(cd_info.btn_start);
    if (db_add_files({VELK_EXAMPLE_DBC}) != 1)
        return 1;
    // One frame of each message, received with the adapter's time.
    velk::sim::Bytes frames;
    const struct {
        uint32_t id;
        bool extended;
    } messages[] = {{0x123, false}, {0x124, false}, {0x200, false}, {0x400, false}, {0x18FEF1FE, true}};
    const velk::sim::Bytes data = {0x40, 0x1F, 0x5A, 0x10, 0x00, 0xC0, 0x12, 0x34};
    for (const auto &m : messages) {
        const velk::sim::Bytes r = velk::sim::report_e2(1, m.extended, false, 8, m.id, data, 4321, 987654);
        frames.insert(frames.end(), r.begin(), r.end());
    }
    gui::adapter(0).inject(frames);
    if (!gui::pump_until([] { return can2_cnt_r == 5; }))
        return 1;
    GtkNotebook *tabs = GTK_NOTEBOOK(tr_info.notebook);
    for (int page = 0; page < gtk_notebook_get_n_pages(tabs); ++page) {
        gtk_notebook_set_current_page(tabs, page);
        if (page == 1) {
            mn_refresh();
            gtk_tree_view_expand_all(GTK_TREE_VIEW(mn_info.tree));
        }
        gui::pump_until([] { return false; }, 300);
        check_texts(windows->main_window);
    }
    GtkWidget *by_signal = gui_widgets::named_widget(windows->ed_dialog, "ed_signal_btn");
    if (by_signal == nullptr)
        return 1;
    sg_dialog_run = check_by_signal;
    gtk_button_clicked(GTK_BUTTON(by_signal));
    db_remove(0);
    gui::disconnect();
    // The port box with the name of an adapter's usual device node.
    GtkComboBoxText *ports = GTK_COMBO_BOX_TEXT(cd_info.cbbox);
    gtk_combo_box_text_append_text(ports, "ttyCAN0");
    gtk_combo_box_set_active(GTK_COMBO_BOX(ports), gui_widgets::item_count(cd_info.cbbox) - 1);
    gui::pump_until([] { return false; }, 300);
    check_texts(cd_info.cbbox);
    std::printf("checked %d texts\n", texts_checked);
    rmdir(config);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "text") == 0)
        return check_text_fits();
    if (argc != 2 || (std::strcmp(argv[1], "adapter") != 0 && std::strcmp(argv[1], "none") != 0)) {
        std::fprintf(stderr, "usage: gui_layout_probe adapter|none|text\n");
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
