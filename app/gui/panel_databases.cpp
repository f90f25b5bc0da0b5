// The Databases… dialog: the DBC files loaded, in load order, with Add…
// (a file chooser taking several files at once) and Remove. What loads or
// fails to load is said in the status log; the set restored at start-up
// comes from the user's configuration directory.
#include "databases.h"
#include "guipart.h"
#include "widgets.h"

#include <string>
#include <vector>

DB_INFO db_info;
gint (*db_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

enum { DB_COL_FILE = 0, DB_COL_MESSAGES, DB_COL_SIGNALS, DB_COL_WARNINGS, DB_COL_PATH, DB_COL_NUM };

// The warnings of a load said in the status log at most; the rest are counted.
constexpr size_t kLoggedWarnings = 5;

GtkListStore *db_store = nullptr;

std::string base_name(const std::string &path)
{
    gchar *base = g_path_get_basename(path.c_str());
    std::string s = base;
    g_free(base);
    return s;
}

std::string count(size_t n, const char *what)
{
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

void fill_list()
{
    gtk_list_store_clear(db_store);
    for (const gui::databases::Loaded &l : gui::databases::all()) {
        GtkTreeIter iter;
        gtk_list_store_insert_with_values(
            db_store, &iter, -1, DB_COL_FILE, base_name(l.path).c_str(), DB_COL_MESSAGES,
            static_cast<gint>(l.db->messages().size()), DB_COL_SIGNALS, static_cast<gint>(l.db->signal_count()),
            DB_COL_WARNINGS, static_cast<gint>(l.warnings.size()), DB_COL_PATH, l.path.c_str(), -1);
    }
}

void log_failure(const std::string &error)
{
    insert_log(("Database not loaded: " + error).c_str());
}

void btn_add_cb(GtkWidget *, gpointer)
{
    GtkWidget *chooser = gtk_file_chooser_dialog_new("Add CAN databases", GTK_WINDOW(db_info.dialog),
                                                     GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
                                                     "_Open", GTK_RESPONSE_OK, nullptr);
    gtk_file_chooser_set_select_multiple(GTK_FILE_CHOOSER(chooser), TRUE);
    GtkFileFilter *dbc = gtk_file_filter_new();
    gtk_file_filter_set_name(dbc, "CAN databases (*.dbc)");
    gtk_file_filter_add_pattern(dbc, "*.dbc");
    gtk_file_filter_add_pattern(dbc, "*.DBC");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), dbc);
    GtkFileFilter *any = gtk_file_filter_new();
    gtk_file_filter_set_name(any, "All files");
    gtk_file_filter_add_pattern(any, "*");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), any);
    gui::start_in_last_folder(GTK_FILE_CHOOSER(chooser));
    std::vector<std::string> paths;
    if (db_dialog_run(GTK_DIALOG(chooser)) == GTK_RESPONSE_OK) {
        GSList *names = gtk_file_chooser_get_filenames(GTK_FILE_CHOOSER(chooser));
        for (GSList *n = names; n != nullptr; n = n->next) {
            paths.emplace_back(static_cast<const char *>(n->data));
            g_free(n->data);
        }
        g_slist_free(names);
        if (!paths.empty())
            gui::remember_folder(paths.front().c_str());
    }
    gtk_widget_destroy(chooser);
    db_add_files(paths);
}

void btn_remove_cb(GtkWidget *, gpointer)
{
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    GtkTreeSelection *selection = gtk_tree_view_get_selection(GTK_TREE_VIEW(db_info.tree));
    if (!gtk_tree_selection_get_selected(selection, &model, &iter))
        return;
    GtkTreePath *path = gtk_tree_model_get_path(model, &iter);
    const int index = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    db_remove(index);
}

void btn_databases_cb(GtkWidget *, gpointer)
{
    db_dialog_run(GTK_DIALOG(db_info.dialog));
    gtk_widget_hide(db_info.dialog);
}

}  // namespace

int db_add_files(const std::vector<std::string> &paths)
{
    int added = 0;
    for (const std::string &path : paths) {
        std::string error;
        if (!gui::databases::add(path, &error)) {
            log_failure(error);
            continue;
        }
        ++added;
        for (const gui::databases::Loaded &l : gui::databases::all()) {
            if (l.path != path)
                continue;
            // A file that loaded only with warnings may have lost messages:
            // the counts and the warnings show it.
            const size_t n = l.warnings.size();
            const std::string line = "Database " + base_name(path) + " loaded" +
                                     (n == 0 ? std::string() : " with " + count(n, "warning")) + ": " +
                                     count(l.db->messages().size(), "message") + ", " +
                                     count(l.db->signal_count(), "signal");
            insert_log(line.c_str());
            for (size_t i = 0; i < n && i < kLoggedWarnings; ++i)
                insert_log(("  " + l.warnings[i]).c_str());
            if (n > kLoggedWarnings)
                insert_log(("  ... and " + std::to_string(n - kLoggedWarnings) + " more").c_str());
        }
    }
    return added;
}

void db_remove(int index)
{
    const auto &all = gui::databases::all();
    if (index < 0 || static_cast<size_t>(index) >= all.size())
        return;
    const std::string line = "Database " + base_name(all[static_cast<size_t>(index)].path) + " removed";
    gui::databases::remove(static_cast<size_t>(index));
    insert_log(line.c_str());
}

void db_init(GtkBuilder *main_builder, GtkBuilder *db_builder)
{
    db_info.btn_open = gui::widget(main_builder, "tr_db_btn");
    db_info.dialog = gui::widget(db_builder, "Databases_dialog");
    db_info.tree = gui::widget(db_builder, "db_treeview");
    db_info.btn_add = gui::widget(db_builder, "db_add_btn");
    db_info.btn_remove = gui::widget(db_builder, "db_remove_btn");
    gtk_window_set_transient_for(GTK_WINDOW(db_info.dialog), GTK_WINDOW(windows->main_window));
    g_signal_connect(db_info.dialog, "delete-event", G_CALLBACK(gtk_widget_hide_on_delete), nullptr);

    db_store = gtk_list_store_new(DB_COL_NUM, G_TYPE_STRING, G_TYPE_INT, G_TYPE_INT, G_TYPE_INT, G_TYPE_STRING);
    GtkTreeView *view = GTK_TREE_VIEW(db_info.tree);
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(db_store));
    g_object_unref(db_store);
    const char *titles[DB_COL_NUM] = {"FILE", "MESSAGES", "SIGNALS", "WARNINGS", "FOLDER AND FILE"};
    for (int i = 0; i < DB_COL_NUM; ++i) {
        GtkCellRenderer *renderer = gtk_cell_renderer_text_new();
        GtkTreeViewColumn *column = gtk_tree_view_column_new_with_attributes(titles[i], renderer, "text", i, nullptr);
        gtk_tree_view_column_set_resizable(column, TRUE);
        gtk_tree_view_append_column(view, column);
    }

    g_signal_connect(db_info.btn_open, "clicked", G_CALLBACK(btn_databases_cb), nullptr);
    g_signal_connect(db_info.btn_add, "clicked", G_CALLBACK(btn_add_cb), nullptr);
    g_signal_connect(db_info.btn_remove, "clicked", G_CALLBACK(btn_remove_cb), nullptr);
    gui::databases::on_change(fill_list);
    gui::databases::restore(log_failure);
}
