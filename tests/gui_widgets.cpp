#include "gui_widgets.h"

#include <chrono>
#include <cstring>

#include "guipart.h"
#include "widgets.h"

namespace gui_widgets {

bool pump_until(const std::function<bool()> &cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        // The frame tick is always armed, so a blocking iteration returns soon.
        g_main_context_iteration(nullptr, TRUE);
    }
    return true;
}

bool wait_idle(int timeout_ms)
{
    return pump_until([] { return !is_busy(); }, timeout_ms);
}

std::vector<std::string> log_lines()
{
    std::vector<std::string> lines;
    if (sl_info.store == nullptr)
        return lines;
    GtkTreeModel *model = GTK_TREE_MODEL(sl_info.store);
    GtkTreeIter iter;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok; ok = gtk_tree_model_iter_next(model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, 0, &text, -1);
        lines.emplace_back(text != nullptr ? text : "");
        g_free(text);
    }
    return lines;
}

bool log_shows_newest(int timeout_ms)
{
    return pump_until(
        [] {
            if (sl_info.store == nullptr)
                return false;
            const int n = gtk_tree_model_iter_n_children(GTK_TREE_MODEL(sl_info.store), nullptr);
            if (n == 0)
                return false;
            GdkRectangle visible;
            gtk_tree_view_get_visible_rect(GTK_TREE_VIEW(sl_info.tree), &visible);
            // Rows not laid out yet all claim the top: each row must start
            // where the one before ends.
            GdkRectangle row = {0, 0, 0, 0};
            for (int i = 0; i < n; ++i) {
                GtkTreePath *path = gtk_tree_path_new_from_indices(i, -1);
                GdkRectangle next;
                gtk_tree_view_get_background_area(GTK_TREE_VIEW(sl_info.tree), path, nullptr, &next);
                gtk_tree_path_free(path);
                if (next.height <= 0 || (i > 0 && next.y != row.y + row.height))
                    return false;
                row = next;
            }
            return row.y >= 0 && row.y + row.height <= visible.height;
        },
        timeout_ms);
}

GtkWidget *named_widget(GtkWidget *root, const char *id)
{
    if (GTK_IS_BUILDABLE(root)) {
        const char *name = gtk_buildable_get_name(GTK_BUILDABLE(root));
        if (name != nullptr && std::strcmp(name, id) == 0)
            return root;
    }
    if (!GTK_IS_CONTAINER(root))
        return nullptr;
    GList *children = gtk_container_get_children(GTK_CONTAINER(root));
    GtkWidget *found = nullptr;
    for (GList *c = children; c != nullptr && found == nullptr; c = c->next)
        found = named_widget(GTK_WIDGET(c->data), id);
    g_list_free(children);
    return found;
}

std::string label(GtkWidget *w)
{
    // The frame list's counters are shown with its next batch.
    list_flush();
    return GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : gui::steady_text(w);
}

std::string entry(GtkWidget *w)
{
    return gtk_entry_get_text(GTK_ENTRY(w));
}

void set_entry(GtkWidget *w, const char *text)
{
    gtk_entry_set_text(GTK_ENTRY(w), text);
}

bool checked(GtkWidget *w)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)) != FALSE;
}

bool sensitive(GtkWidget *w)
{
    return gtk_widget_get_sensitive(w) != FALSE;
}

std::string active_text(GtkWidget *combo)
{
    gchar *text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(combo));
    std::string s = text != nullptr ? text : "";
    g_free(text);
    return s;
}

int item_count(GtkWidget *combo)
{
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    return model != nullptr ? gtk_tree_model_iter_n_children(model, nullptr) : 0;
}

bool select_text(GtkWidget *combo, const char *text)
{
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter iter;
    int index = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok;
         ok = gtk_tree_model_iter_next(model, &iter), ++index) {
        gchar *t = nullptr;
        gtk_tree_model_get(model, &iter, 0, &t, -1);
        bool match = t != nullptr && std::strcmp(t, text) == 0;
        g_free(t);
        if (match) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index);
            return true;
        }
    }
    return false;
}

gint answer_file_chooser(GtkDialog *dialog, const std::string &path)
{
    if (path.empty())
        return GTK_RESPONSE_CANCEL;
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gchar *dir = g_path_get_dirname(path.c_str());
    gchar *base = g_path_get_basename(path.c_str());
    gtk_file_chooser_set_current_folder(chooser, dir);
    if (gtk_file_chooser_get_action(chooser) == GTK_FILE_CHOOSER_ACTION_SAVE)
        gtk_file_chooser_set_current_name(chooser, base);
    else
        gtk_file_chooser_set_filename(chooser, path.c_str());
    g_free(dir);
    g_free(base);
    // The chooser loads its folder asynchronously; answer once it holds
    // the chosen file, as a user's OK would.
    pump_until([&] {
        gchar *name = gtk_file_chooser_get_filename(chooser);
        bool ready = name != nullptr && path == name;
        g_free(name);
        return ready;
    });
    return GTK_RESPONSE_OK;
}

namespace {

gboolean note_reached(GtkWidget *, GdkEventKey *, gpointer reached)
{
    *static_cast<bool *>(reached) = true;
    return FALSE;
}

}  // namespace

bool press_key(GtkWidget *w, guint keyval, guint state)
{
    GdkEvent *ev = gdk_event_new(GDK_KEY_PRESS);
    GdkWindow *win = gtk_widget_get_window(w);
    ev->key.window = win != nullptr ? GDK_WINDOW(g_object_ref(win)) : nullptr;
    ev->key.send_event = TRUE;
    ev->key.time = GDK_CURRENT_TIME;
    ev->key.keyval = keyval;
    ev->key.state = state;
    gunichar uc = gdk_keyval_to_unicode(keyval);
    char utf8[8] = {0};
    if (uc != 0)
        g_unichar_to_utf8(uc, utf8);
    ev->key.string = g_strdup(utf8);
    ev->key.length = static_cast<gint>(std::strlen(utf8));
    GdkDisplay *display = gtk_widget_get_display(w);
    GdkSeat *seat = gdk_display_get_default_seat(display);
    gdk_event_set_device(ev, gdk_seat_get_keyboard(seat));
    GdkKeymapKey *keys = nullptr;
    gint n = 0;
    if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys, &n) && n > 0)
        ev->key.hardware_keycode = static_cast<guint16>(keys[0].keycode);
    g_free(keys);
    // Connected after the utility's filter, so it runs only when the filter
    // lets the key through.
    bool reached = false;
    gulong probe = g_signal_connect(w, "key-press-event", G_CALLBACK(note_reached), &reached);
    gboolean handled = FALSE;
    g_signal_emit_by_name(w, "key-press-event", ev, &handled);
    g_signal_handler_disconnect(w, probe);
    gdk_event_free(ev);
    return !reached;
}

GtkWidget *focus_of(GtkWidget *w)
{
    GtkWidget *top = gtk_widget_get_toplevel(w);
    return GTK_IS_WINDOW(top) ? gtk_window_get_focus(GTK_WINDOW(top)) : nullptr;
}

void type_text(GtkWidget *w, const char *text)
{
    for (const char *c = text; *c != '\0'; ++c) {
        GtkWidget *focus = focus_of(w);
        press_key(focus != nullptr ? focus : w, gdk_unicode_to_keyval(static_cast<unsigned char>(*c)));
    }
}

}  // namespace gui_widgets
