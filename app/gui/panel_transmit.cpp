// The Transmit tab: a list of periodic frames edited in place (a change
// applies from the entry's next cycle), started and stopped per entry or
// all at once, sent once with Send now, saved to and loaded from the list
// file velk_send --list reads. The transmit list's scheduler sends them on
// the connected port; the library paces each channel whichever thread
// sends, so the Send panel's bursts and the list share the adapter.
#include "panel_transmit.h"

#include "databases.h"
#include "guipart.h"
#include "txlist.h"
#include "widgets.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

TxWidgets tx_info;
gint (*tx_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

namespace tl = velk::txlist;

constexpr guint kStatsMs = 250;          // the sent counts and periods, four times a second
constexpr uint64_t kPhaseStepUs = 1000;  // entries of equal cycles start a millisecond apart

// The port the list sends on, set when it starts (the scheduler's thread reads it).
std::atomic<int> list_port{-1};

// Runs on the scheduler's thread. A frame written goes into the send ring
// as the Send panel's do, so the frame list, the monitor, the counters and
// a recording take it on the GUI's tick with the rest, in bulk.
int send_record(const CAN_FRAME_INFO &f)
{
    CAN_FRAME_INFO copy = f;
    const int port = list_port.load();
    const int r = copy.fdf ? VELKSend_CANFD(port, &copy) : VELKSend(port, &copy);
    if (r == 0)
        apipart_push_sent(copy);
    return r;
}

tl::SteadyClock steady;
// The tab's copy of the list; the scheduler holds the same entries in the
// same order.
tl::List list;
std::unique_ptr<tl::Scheduler> sched;
// Per entry, whether the user unticked it: a list saved after Stop all keeps
// the entries the user ran, not the stopped state of every check box.
std::vector<bool> unticked;
// The window's databases, where a message entry is looked up when the list
// has no database of its own or its database lacks the message.
std::vector<std::shared_ptr<const velk::dbc::Database>> window_dbs;

const velk::dbc::Database *db_for(const tl::Entry &e)
{
    return tl::database_for(e, list.db.get(), window_dbs);
}

void window_databases_changed()
{
    window_dbs.clear();
    for (const gui::databases::Loaded &l : gui::databases::all())
        window_dbs.push_back(l.db);
    sched->set_other_databases(window_dbs);
}

guint stats_source = 0;  // the refresh of the sent counts

void log_line(const std::string &s)
{
    insert_log(s.c_str());
}

// The pauses the library took from the bit rates when CAN started; an
// operation thread may be refreshing them.
void pauses(int out[2])
{
    for (int c = 0; c < 2; ++c)
        out[c] = std::atomic_ref<int>(send_delay[c]).load(std::memory_order_relaxed);
}

tl::PacingReport pacing_of(const tl::List &l, const int pause[2])
{
    tl::Scheduler probe(steady, [](const CAN_FRAME_INFO &) { return 1; });
    probe.set_list(l);
    return probe.pacing(pause);
}

std::string offered_text(const tl::PacingReport &r)
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "CAN1 %.0f of %.0f frames/s, CAN2 %.0f of %.0f frames/s", r.offered[0],
                  r.bound[0], r.offered[1], r.bound[1]);
    return buf;
}

// False, with the channels over their bound in the log, when the checked
// entries of `trial` offer more frames than the pacing carries.
bool fits(const tl::List &trial, const char *refused)
{
    int pause[2];
    pauses(pause);
    const tl::PacingReport r = pacing_of(trial, pause);
    if (r.fits())
        return true;
    log_line(std::string(refused) + ": " + r.text(pause));
    return false;
}

bool can_send()
{
    if (is_connect && is_active)
        return true;
    log_line("Transmit list: connect and start CAN first");
    return false;
}

std::string id_text(const tl::Entry &e)
{
    if (e.is_message())
        return "";
    const std::string t = velk::trace::frame_text(e.frame, true);
    return t.substr(0, t.find('#'));
}

std::string data_text(const tl::Entry &e)
{
    if (e.is_message()) {
        std::string s = "msg:" + e.message;
        for (const auto &[sig, value] : e.signals)
            s += " " + sig + "=" + value;
        return s;
    }
    const std::string t = velk::trace::frame_text(e.frame, true);
    const size_t hash = t.find('#');
    return hash == std::string::npos ? "" : t.substr(hash + 1);
}

std::string ms_text(double us)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", us / 1000.0);
    return buf;
}

std::string trim(const char *text)
{
    std::string s = text != nullptr ? text : "";
    const size_t a = s.find_first_not_of(" \t");
    if (a == std::string::npos)
        return "";
    return s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

bool nth_row(int i, GtkTreeIter *iter)
{
    return gtk_tree_model_iter_nth_child(GTK_TREE_MODEL(tx_info.store), iter, nullptr, i) != 0;
}

void show_row(int i)
{
    GtkTreeIter iter;
    if (i < 0 || i >= static_cast<int>(list.entries.size()) || !nth_row(i, &iter))
        return;
    const tl::Entry &e = list.entries[static_cast<size_t>(i)];
    gtk_list_store_set(tx_info.store, &iter, TX_COL_ON, e.enabled ? TRUE : FALSE, TX_COL_CH,
                       e.channel == 0 ? "CAN1" : "CAN2", TX_COL_ID, id_text(e).c_str(), TX_COL_DATA,
                       data_text(e).c_str(), TX_COL_CYCLE, ms_text(static_cast<double>(e.cycle_us)).c_str(),
                       TX_COL_COUNT, std::to_string(e.count).c_str(), -1);
}

void fill_store()
{
    gtk_list_store_clear(tx_info.store);
    for (size_t i = 0; i < list.entries.size(); ++i) {
        gtk_list_store_insert_with_values(tx_info.store, nullptr, -1, TX_COL_SENT, "0", TX_COL_PERIOD, "", -1);
        show_row(static_cast<int>(i));
    }
}

int selected_row()
{
    GtkTreeSelection *sel = gtk_tree_view_get_selection(GTK_TREE_VIEW(tx_info.view));
    GtkTreeModel *model = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_selection_get_selected(sel, &model, &iter))
        return -1;
    GtkTreePath *path = gtk_tree_model_get_path(model, &iter);
    const int i = gtk_tree_path_get_indices(path)[0];
    gtk_tree_path_free(path);
    return i;
}

void select_row(int i)
{
    GtkTreePath *path = gtk_tree_path_new_from_indices(i, -1);
    gtk_tree_selection_select_path(gtk_tree_view_get_selection(GTK_TREE_VIEW(tx_info.view)), path);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(tx_info.view), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

void show_state()
{
    int on = 0;
    for (const tl::Entry &e : list.entries)
        on += e.enabled ? 1 : 0;
    char buf[64];
    if (sched->running())
        std::snprintf(buf, sizeof buf, "Sending %d of %zu", on, list.entries.size());
    else
        std::snprintf(buf, sizeof buf, "Stopped");
    gtk_label_set_text(GTK_LABEL(tx_info.state), buf);
}

// Starts the thread with the checked entries, after the pacing report.
void start_thread()
{
    int pause[2];
    pauses(pause);
    log_line("Transmit list started: " + offered_text(sched->pacing(pause)));
    list_port = com_port;
    sched->start();
    show_state();
}

void stop_thread_if_idle()
{
    for (const tl::Entry &e : list.entries)
        if (e.enabled)
            return;
    sched->stop();
}

// The cell's text as the entry's new value; false with *why.
bool apply_edit(tl::Entry *e, int column, const std::string &t, std::string *why)
{
    switch (column) {
    case TX_COL_CH:
        if (t == "CAN1" || t == "can1" || t == "1") {
            e->channel = 0;
        } else if (t == "CAN2" || t == "can2" || t == "2") {
            e->channel = 1;
        } else {
            *why = "unknown channel '" + t + "' (CAN1 or CAN2)";
            return false;
        }
        return true;
    case TX_COL_ID:
    case TX_COL_DATA: {
        if (column == TX_COL_DATA && t.rfind("msg:", 0) == 0) {
            // As a list line has it: the cycle between the name and the values.
            const size_t space = t.find(' ');
            const std::string name = t.substr(0, space);
            const std::string values = space == std::string::npos ? "" : t.substr(space);
            tl::Entry m;
            if (!tl::parse_entry("CAN1 " + name + " 1s" + values, &m, why))
                return false;
            e->message = m.message;
            e->signals = m.signals;
            return true;
        }
        if (column == TX_COL_ID && e->is_message()) {
            *why = "a database message's identifier is its database's";
            return false;
        }
        // A message entry becomes a frame given whole in its data cell.
        const std::string text = e->is_message() ? t
                                 : column == TX_COL_ID ? t + "#" + data_text(*e)
                                                       : id_text(*e) + "#" + t;
        velk::trace::Frame f;
        std::string err;
        if (!velk::trace::parse_frame_text(text, &f, &err) || f.error) {
            *why = "bad frame '" + text + "'" + (err.empty() ? "" : ": " + err);
            return false;
        }
        e->frame = f;
        e->message.clear();
        e->signals.clear();
        return true;
    }
    case TX_COL_CYCLE: {
        uint64_t us = 0;
        char *end = nullptr;
        errno = 0;
        const double ms = std::strtod(t.c_str(), &end);
        if (!t.empty() && end != nullptr && *end == '\0' && errno == 0 && ms > 0)
            us = static_cast<uint64_t>(ms * 1000.0 + 0.5);
        else if (!tl::parse_cycle(t, &us))
            us = 0;
        if (us < tl::kMinCycleUs || us > tl::kMaxCycleUs) {
            *why = "bad cycle '" + t + "' (1 to 100000 ms)";
            return false;
        }
        e->cycle_us = us;
        return true;
    }
    case TX_COL_COUNT: {
        char *end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(t.c_str(), &end, 10);
        if (t.empty() || t[0] == '-' || end == nullptr || *end != '\0' || errno != 0) {
            *why = "bad count '" + t + "' (0 = until stopped)";
            return false;
        }
        e->count = n;
        return true;
    }
    default:
        *why = "not editable";
        return false;
    }
}

void on_edited(GtkCellRendererText *, gchar *path, gchar *text, gpointer column)
{
    const int i = std::atoi(path);
    if (i < 0 || i >= static_cast<int>(list.entries.size()))
        return;
    tl::Entry e = list.entries[static_cast<size_t>(i)];
    std::string why;
    if (apply_edit(&e, GPOINTER_TO_INT(column), trim(text), &why))
        why = tl::check_entry(e, db_for(e));
    if (!why.empty()) {
        log_line("Transmit list: row " + std::to_string(i + 1) + ": " + why);
        return;
    }
    if (sched->running() && e.enabled) {
        tl::List trial = list;
        trial.entries[static_cast<size_t>(i)] = e;
        if (!fits(trial, "Transmit list: the change was refused"))
            return;
    }
    list.entries[static_cast<size_t>(i)] = e;
    sched->update(static_cast<size_t>(i), e);
    show_row(i);
}

void on_toggled(GtkCellRendererToggle *, gchar *path, gpointer)
{
    const int i = std::atoi(path);
    if (i < 0 || i >= static_cast<int>(list.entries.size()))
        return;
    const size_t k = static_cast<size_t>(i);
    const bool on = !list.entries[k].enabled;
    const bool sending = is_connect && is_active;
    if (on && (sched->running() || sending)) {
        tl::List trial = list;
        trial.entries[k].enabled = true;
        if (!fits(trial, "Transmit list: the entry was not started"))
            return;
    }
    list.entries[k].enabled = on;
    unticked[k] = !on;
    sched->set_enabled(k, on);
    show_row(i);
    if (on && !sched->running() && sending)
        start_thread();
    else if (!on && sched->running())
        stop_thread_if_idle();
    show_state();
}

void add_entry(tl::Entry e)
{
    // A new entry waits for its Start: adding to a running list sends nothing unasked.
    e.enabled = false;
    list.entries.push_back(e);
    unticked.push_back(false);
    (void)sched->add(e);
    gtk_list_store_insert_with_values(tx_info.store, nullptr, -1, TX_COL_SENT, "0", TX_COL_PERIOD, "", -1);
    const int i = static_cast<int>(list.entries.size()) - 1;
    show_row(i);
    select_row(i);
    show_state();
}

void btn_add_cb(GtkWidget *, gpointer)
{
    tl::Entry e;
    std::string why;
    (void)velk::trace::parse_frame_text("100#0000000000000000", &e.frame, &why);
    const int sel = selected_row();
    if (sel >= 0) {
        e.channel = list.entries[static_cast<size_t>(sel)].channel;
        e.cycle_us = list.entries[static_cast<size_t>(sel)].cycle_us;
    }
    add_entry(e);
}

void btn_dup_cb(GtkWidget *, gpointer)
{
    const int sel = selected_row();
    if (sel >= 0)
        add_entry(list.entries[static_cast<size_t>(sel)]);
}

void btn_del_cb(GtkWidget *, gpointer)
{
    const int sel = selected_row();
    GtkTreeIter iter;
    if (sel < 0 || !nth_row(sel, &iter))
        return;
    list.entries.erase(list.entries.begin() + sel);
    unticked.erase(unticked.begin() + sel);
    sched->remove(static_cast<size_t>(sel));
    gtk_list_store_remove(tx_info.store, &iter);
    if (sched->running())
        stop_thread_if_idle();
    if (!list.entries.empty())
        select_row(std::min(sel, static_cast<int>(list.entries.size()) - 1));
    show_state();
}

void btn_start_all_cb(GtkWidget *, gpointer)
{
    if (list.entries.empty() || !can_send())
        return;
    tl::List trial = list;
    for (tl::Entry &e : trial.entries)
        e.enabled = true;
    if (!fits(trial, "Transmit list not started"))
        return;
    unticked.assign(list.entries.size(), false);
    for (size_t i = 0; i < list.entries.size(); ++i)
        if (!list.entries[i].enabled) {
            list.entries[i].enabled = true;
            sched->set_enabled(i, true);
            show_row(static_cast<int>(i));
        }
    if (!sched->running())
        start_thread();
    show_state();
}

void btn_stop_all_cb(GtkWidget *, gpointer)
{
    tx_stop_all();
}

void btn_send_now_cb(GtkWidget *, gpointer)
{
    const int sel = selected_row();
    if (sel < 0)
        return;
    if (sched->running()) {
        sched->send_now(static_cast<size_t>(sel));
        return;
    }
    if (!can_send())
        return;
    // Not running: the entry's first frame, sent from here.
    CAN_FRAME_INFO f;
    std::string why;
    const tl::Entry &e = list.entries[static_cast<size_t>(sel)];
    if (!tl::build_frame(e, db_for(e), 0, &f, &why)) {
        log_line("Transmit list: row " + std::to_string(sel + 1) + ": " + why);
        return;
    }
    list_port = com_port;
    if (send_record(f) != 0)
        log_line("Transmit list: row " + std::to_string(sel + 1) + ": the frame was refused");
}

std::string choose_file(bool save)
{
    GtkWidget *dialog = gtk_file_chooser_dialog_new(
        save ? "Save transmit list" : "Load transmit list", GTK_WINDOW(windows->main_window),
        save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN, "Cancel", GTK_RESPONSE_CANCEL,
        save ? "Save" : "Open", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gui::start_in_last_folder(chooser);
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
        gtk_file_chooser_set_current_name(chooser, "transmit.list");
    }
    const std::string path = gui::run_file_chooser(dialog, tx_dialog_run);
    gtk_widget_destroy(dialog);
    return path;
}

void btn_save_cb(GtkWidget *, gpointer)
{
    const std::string path = choose_file(true);
    if (path.empty())
        return;
    // A list without a database of its own names the window's database of
    // its message entries, so that velk_send and the next start find it.
    tl::List saved = list;
    for (size_t i = 0; i < saved.entries.size(); ++i)
        saved.entries[i].enabled = !unticked[i];
    std::string note;
    for (size_t i = 0; i < saved.entries.size(); ++i) {
        const tl::Entry &e = saved.entries[i];
        if (!e.is_message() || (saved.db != nullptr && saved.db->find(e.message) != nullptr))
            continue;
        const gui::databases::Loaded *holder = nullptr;
        for (const gui::databases::Loaded &l : gui::databases::all())
            if (l.db->find(e.message) != nullptr) {
                holder = &l;
                break;
            }
        if (holder != nullptr && saved.db == nullptr) {
            saved.dbc_path = holder->path;
            saved.db = holder->db;
        } else if (note.empty()) {
            note = "; row " + std::to_string(i + 1) + ": message " + e.message +
                   (holder != nullptr ? " is in another database than " + saved.dbc_path + ", which a list file cannot name"
                                      : " is in no database");
        }
    }
    std::string error;
    if (tl::save_list(path, saved, &error))
        log_line("Transmit list saved to " + path + note);
    else
        log_line("Transmit list not saved: " + error);
}

void btn_load_cb(GtkWidget *, gpointer)
{
    const std::string path = choose_file(false);
    if (path.empty())
        return;
    tl::List loaded;
    std::string error;
    if (!tl::load_list(path, &loaded, &error)) {
        log_line("Transmit list not loaded: " + error);
        return;
    }
    sched->stop();
    list = loaded;
    // The file's enabled=no is kept for the next Save…; what runs is the
    // user's to start.
    unticked.clear();
    for (tl::Entry &e : list.entries) {
        unticked.push_back(!e.enabled);
        e.enabled = false;
    }
    sched->set_list(list);
    fill_store();
    show_state();
    log_line("Transmit list loaded: " + std::to_string(list.entries.size()) + " entries from " + path);
}

// The sent counts and measured periods; a list whose counted entries are
// all done stops.
gboolean refresh_stats(gpointer)
{
    const std::vector<tl::EntryStats> st = sched->stats();
    for (size_t i = 0; i < st.size() && i < list.entries.size(); ++i) {
        GtkTreeIter iter;
        if (!nth_row(static_cast<int>(i), &iter))
            break;
        const std::string sent = std::to_string(st[i].sent);
        char period[32] = "";
        if (st[i].period_us > 0)
            std::snprintf(period, sizeof period, "%.2f", st[i].period_us / 1000.0);
        gchar *old_sent = nullptr;
        gchar *old_period = nullptr;
        gtk_tree_model_get(GTK_TREE_MODEL(tx_info.store), &iter, TX_COL_SENT, &old_sent, TX_COL_PERIOD,
                           &old_period, -1);
        if (old_sent == nullptr || sent != old_sent || old_period == nullptr || std::strcmp(period, old_period) != 0)
            gtk_list_store_set(tx_info.store, &iter, TX_COL_SENT, sent.c_str(), TX_COL_PERIOD, period, -1);
        g_free(old_sent);
        g_free(old_period);
    }
    if (sched->running() && sched->finished()) {
        sched->stop();
        show_state();
    }
    return G_SOURCE_CONTINUE;
}

// The tab goes with the window; the list's widgets are not used after it.
void on_box_destroyed(GtkWidget *, gpointer)
{
    if (stats_source != 0)
        g_source_remove(stats_source);
    stats_source = 0;
    tx_info = TxWidgets{};
}

void add_column(const char *title, int column, bool editable)
{
    GtkCellRenderer *r = gtk_cell_renderer_text_new();
    if (editable) {
        g_object_set(r, "editable", TRUE, nullptr);
        g_signal_connect(r, "edited", G_CALLBACK(on_edited), GINT_TO_POINTER(column));
    }
    if (column == TX_COL_SENT || column == TX_COL_PERIOD || column == TX_COL_CYCLE || column == TX_COL_COUNT)
        g_object_set(r, "xalign", 1.0, nullptr);
    tx_info.renderer[column] = r;
    GtkTreeViewColumn *c = gtk_tree_view_column_new_with_attributes(title, r, "text", column, nullptr);
    gtk_tree_view_column_set_resizable(c, TRUE);
    if (column == TX_COL_DATA)
        gtk_tree_view_column_set_expand(c, TRUE);
    gtk_tree_view_append_column(GTK_TREE_VIEW(tx_info.view), c);
}

GtkWidget *connect_button(GtkBuilder *b, const char *id, GCallback cb)
{
    GtkWidget *w = gui::widget(b, id);
    g_signal_connect(w, "clicked", cb, nullptr);
    return w;
}

}  // namespace

void tx_init(void)
{
    sched = std::make_unique<tl::Scheduler>(steady, send_record);
    sched->set_phase_step(kPhaseStepUs);
    window_databases_changed();
    gui::databases::on_change(window_databases_changed);
    // The window works without the tab.
    GtkBuilder *b = gui::optional_layout("transmit.glade");
    if (b == nullptr)
        return;
    tx_info.box = gui::widget(b, "tx_box");
    tx_info.view = gui::widget(b, "tx_view");
    tx_info.state = gui::widget(b, "tx_state_lab");
    gtk_notebook_append_page(GTK_NOTEBOOK(tr_info.notebook), tx_info.box, gui::widget(b, "tx_tab_lab"));

    tx_info.store = gtk_list_store_new(TX_COL_COUNT_ALL, G_TYPE_BOOLEAN, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                       G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    gtk_tree_view_set_model(GTK_TREE_VIEW(tx_info.view), GTK_TREE_MODEL(tx_info.store));
    g_object_unref(tx_info.store);  // the view holds it

    GtkCellRenderer *toggle = gtk_cell_renderer_toggle_new();
    g_signal_connect(toggle, "toggled", G_CALLBACK(on_toggled), nullptr);
    tx_info.renderer[TX_COL_ON] = toggle;
    gtk_tree_view_append_column(GTK_TREE_VIEW(tx_info.view),
                                gtk_tree_view_column_new_with_attributes("On", toggle, "active", TX_COL_ON, nullptr));
    add_column("Channel", TX_COL_CH, true);
    add_column("ID", TX_COL_ID, true);
    add_column("Frame / message", TX_COL_DATA, true);
    add_column("Cycle ms", TX_COL_CYCLE, true);
    add_column("Count", TX_COL_COUNT, true);
    add_column("Sent", TX_COL_SENT, false);
    add_column("Period ms", TX_COL_PERIOD, false);

    tx_info.add = connect_button(b, "tx_add_btn", G_CALLBACK(btn_add_cb));
    tx_info.dup = connect_button(b, "tx_dup_btn", G_CALLBACK(btn_dup_cb));
    tx_info.del = connect_button(b, "tx_del_btn", G_CALLBACK(btn_del_cb));
    tx_info.start_all = connect_button(b, "tx_start_all_btn", G_CALLBACK(btn_start_all_cb));
    tx_info.stop_all = connect_button(b, "tx_stop_all_btn", G_CALLBACK(btn_stop_all_cb));
    tx_info.send_now = connect_button(b, "tx_send_now_btn", G_CALLBACK(btn_send_now_cb));
    tx_info.save = connect_button(b, "tx_save_btn", G_CALLBACK(btn_save_cb));
    tx_info.load = connect_button(b, "tx_load_btn", G_CALLBACK(btn_load_cb));
    stats_source = g_timeout_add(kStatsMs, refresh_stats, nullptr);
    g_signal_connect(tx_info.box, "destroy", G_CALLBACK(on_box_destroyed), nullptr);
    g_object_unref(b);
}

std::string tx_stop_all_line(const char *why)
{
    if (sched == nullptr)
        return "";
    const bool was_running = sched->running();
    sched->stop();
    std::string line;
    if (was_running) {
        uint64_t sent = 0;
        uint64_t refused = 0;
        for (const tl::EntryStats &st : sched->stats()) {
            sent += st.sent;
            refused += st.refused;
        }
        line = std::string("Transmit list stopped: ") + why + " (" + std::to_string(sent) + " frames sent, " +
               std::to_string(refused) + " refused)";
    }
    for (size_t i = 0; i < list.entries.size(); ++i)
        if (list.entries[i].enabled) {
            list.entries[i].enabled = false;
            sched->set_enabled(i, false);
            if (tx_info.store != nullptr)
                show_row(static_cast<int>(i));
        }
    // The counts shown are final once stopped, not one refresh behind.
    if (tx_info.store != nullptr)
        refresh_stats(nullptr);
    if (tx_info.state != nullptr)
        show_state();
    return line;
}

void tx_stop_all(const char *why)
{
    const std::string line = tx_stop_all_line(why != nullptr ? why : "");
    if (why != nullptr && !line.empty())
        log_line(line);
}

bool tx_running(void)
{
    return sched != nullptr && sched->running();
}

int tx_size(void)
{
    return static_cast<int>(list.entries.size());
}
