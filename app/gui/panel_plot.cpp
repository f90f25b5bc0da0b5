// The Plot tab: a searchable list of the databases' signals, the chosen
// signals decoded from every frame taken and stored with bounded memory,
// drawn at most about 30 times a second while live; Pause, zoom with the
// wheel, pan by dragging, Live and All; export as CSV and PNG.
#include "panel_plot.h"

#include "databases.h"
#include "guipart.h"
#include "plot_draw.h"
#include "plot_series.h"
#include "widgets.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

gint (*plot_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

namespace dbc = velk::dbc;

// Points kept per signal (48 bytes each): the newest this many samples at
// full resolution, the older ones merged.
constexpr size_t kPointsPerSignal = 20000;
constexpr int64_t kDefaultSpanUs = 10000000;  // the live view shows 10 s
constexpr int64_t kMinSpanUs = 1000;
constexpr double kZoomStep = 1.25;
constexpr size_t kLagKept = 4096;

constexpr double kPalette[][3] = {
    {0.12, 0.47, 0.71}, {0.84, 0.15, 0.16}, {0.17, 0.63, 0.17}, {1.00, 0.50, 0.05},
    {0.58, 0.40, 0.74}, {0.55, 0.34, 0.29}, {0.89, 0.47, 0.76}, {0.09, 0.75, 0.81},
};

struct Plotted {
    std::string message, signal;
    const dbc::Message *m = nullptr;  // nullptr: not described by the databases now
    const dbc::Signal *s = nullptr;
    plot::Series series{kPointsPerSignal};
    int colour = 0;
};

struct Widgets {
    GtkWidget *box = nullptr;
    GtkWidget *search = nullptr;
    GtkWidget *area = nullptr;
    GtkWidget *pause = nullptr;
    GtkWidget *shared_y = nullptr;
    GtkListStore *choices = nullptr;
} w;

std::vector<const dbc::Database *> databases;
std::vector<std::unique_ptr<Plotted>> plotted;
// Message key (identifier | extended << 31) -> the plotted signals of it.
std::unordered_map<uint32_t, std::vector<size_t>> by_key;
std::vector<dbc::Value> values;
int next_colour = 0;

// The view: live follows the newest point over `span`; otherwise [t0, t1]
// stays as Pause, zoom or pan left it.
bool live = true;
int64_t span = kDefaultSpanUs;
int64_t view_t0 = 0, view_t1 = kDefaultSpanUs;
int64_t origin = -1;  // time of the first sample since the plot was cleared

// Samples stored since the last drawing: the arrival (monotonic) of the
// oldest of them, 0 when none waits.
int64_t undrawn_since = 0;
unsigned long long points_fed = 0;
unsigned long long redraws = 0;
unsigned long long due_ticks = 0;
unsigned long long batches = 0;
std::vector<int64_t> lags;  // ring of the last kLagKept lags
size_t lag_next = 0;

// Drag to pan: where the press was and the view then.
bool dragging = false;
double drag_x = 0;
int64_t drag_t0 = 0, drag_t1 = 0;

uint32_t key_of(uint32_t id, bool ext)
{
    return (id & 0x1FFFFFFFu) | (ext ? 0x80000000u : 0u);
}

void rebuild_index()
{
    by_key.clear();
    size_t room = 0;
    for (const dbc::Database *db : databases)
        room = std::max(room, db->max_signals());
    values.assign(room, dbc::Value{});
    for (size_t i = 0; i < plotted.size(); ++i)
        if (plotted[i]->m != nullptr)
            by_key[key_of(plotted[i]->m->id, plotted[i]->m->extended)].push_back(i);
}

bool find_signal(const std::string &message, const std::string &signal, const dbc::Message **m,
                 const dbc::Signal **s)
{
    for (const dbc::Database *db : databases) {
        const dbc::Message *msg = db->find(message);
        if (msg == nullptr)
            continue;
        for (const dbc::Signal &sig : msg->signals)
            if (sig.name == signal || sig.short_name == signal) {
                *m = msg;
                *s = &sig;
                return true;
            }
    }
    return false;
}

void fill_choices()
{
    if (w.choices == nullptr)
        return;
    gtk_list_store_clear(w.choices);
    for (const std::string &name : plot_signal_choices())
        gtk_list_store_insert_with_values(w.choices, nullptr, -1, 0, name.c_str(), -1);
}

int64_t newest_time()
{
    int64_t t = 0;
    bool any = false;
    for (const auto &p : plotted)
        if (!p->series.empty()) {
            t = any ? std::max(t, p->series.last_time()) : p->series.last_time();
            any = true;
        }
    return any ? t : (origin >= 0 ? origin : 0);
}

void current_view(int64_t *t0, int64_t *t1)
{
    if (live) {
        *t1 = newest_time();
        *t0 = *t1 - span;
    } else {
        *t0 = view_t0;
        *t1 = view_t1;
    }
}

// Leaves live drawing with the view as it is now.
void freeze()
{
    if (!live)
        return;
    current_view(&view_t0, &view_t1);
    live = false;
}

void go_live()
{
    live = true;
    span = std::max<int64_t>(view_t1 - view_t0, kMinSpanUs);
    if (w.pause != nullptr && gui::is_checked(w.pause))
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.pause), FALSE);
    if (w.area != nullptr)
        gtk_widget_queue_draw(w.area);
}

std::vector<plot::Trace> traces()
{
    std::vector<plot::Trace> out;
    for (const auto &p : plotted) {
        plot::Trace t;
        t.series = &p->series;
        t.label = p->message + "." + p->signal;
        t.unit = p->s != nullptr ? p->s->unit : "";
        std::copy(std::begin(kPalette[p->colour]), std::end(kPalette[p->colour]), t.rgb);
        out.push_back(std::move(t));
    }
    return out;
}

plot::View view_now()
{
    plot::View v;
    current_view(&v.t0, &v.t1);
    v.origin = origin >= 0 ? origin : v.t0;
    v.shared_y = w.shared_y != nullptr && gui::is_checked(w.shared_y);
    v.state = live ? "Live" : (w.pause != nullptr && gui::is_checked(w.pause) ? "Paused" : "Zoomed: Live returns");
    return v;
}

long long draw_us = 0;

gboolean on_draw(GtkWidget *area, cairo_t *cr, gpointer)
{
    const int64_t start = g_get_monotonic_time();
    plot::draw(cr, gtk_widget_get_allocated_width(area), gtk_widget_get_allocated_height(area), traces(), view_now());
    ++redraws;
    draw_us += g_get_monotonic_time() - start;
    if (live && undrawn_since != 0) {
        const int64_t lag = g_get_monotonic_time() - undrawn_since;
        if (lags.size() < kLagKept)
            lags.push_back(lag);
        else
            lags[lag_next] = lag;
        lag_next = (lag_next + 1) % kLagKept;
        undrawn_since = 0;
    }
    return FALSE;
}

// New points are drawn from a timer, at most once per kDrawEveryMs: a
// tick callback would keep the frame clock running at the screen's rate for
// as long as the tab shows, new points or not. Points waiting longer than
// kDrawDueUs (the loop was busy, and the paint, at a priority below the
// tick that takes the frames, waited) are drawn from here at once.
constexpr guint kDrawEveryMs = 30;
constexpr int64_t kDrawDueUs = 60000;

gboolean on_draw_due(gpointer)
{
    if (!live || undrawn_since == 0 || w.area == nullptr || !gtk_widget_get_mapped(w.area))
        return G_SOURCE_CONTINUE;
    ++due_ticks;
    if (g_get_monotonic_time() - undrawn_since < kDrawDueUs)
        gtk_widget_queue_draw(w.area);
    else
        plot_redraw_now();
    return G_SOURCE_CONTINUE;
}

int64_t time_at(double x, int64_t t0, int64_t t1)
{
    const plot::Area a = plot::area_of(gtk_widget_get_allocated_width(w.area),
                                       gtk_widget_get_allocated_height(w.area), plotted.size(),
                                       gui::is_checked(w.shared_y));
    const double f = std::clamp((x - a.x) / a.w, 0.0, 1.0);
    return t0 + static_cast<int64_t>(f * static_cast<double>(t1 - t0));
}

void zoom(double x, double factor)
{
    freeze();
    const int64_t at = time_at(x, view_t0, view_t1);
    const double left = static_cast<double>(at - view_t0) * factor;
    const double right = static_cast<double>(view_t1 - at) * factor;
    if (left + right < kMinSpanUs)
        return;
    view_t0 = at - static_cast<int64_t>(left);
    view_t1 = at + static_cast<int64_t>(right);
    gtk_widget_queue_draw(w.area);
}

gboolean on_scroll(GtkWidget *, GdkEventScroll *e, gpointer)
{
    double dy = 0;
    if (e->direction == GDK_SCROLL_UP)
        dy = -1;
    else if (e->direction == GDK_SCROLL_DOWN)
        dy = 1;
    else if (e->direction == GDK_SCROLL_SMOOTH)
        dy = e->delta_y;
    if (dy != 0)
        zoom(e->x, dy < 0 ? 1 / kZoomStep : kZoomStep);
    return TRUE;
}

gboolean on_press(GtkWidget *area, GdkEventButton *e, gpointer)
{
    gtk_widget_grab_focus(area);
    if (e->button != 1 || e->type != GDK_BUTTON_PRESS)
        return FALSE;
    freeze();
    dragging = true;
    drag_x = e->x;
    drag_t0 = view_t0;
    drag_t1 = view_t1;
    return TRUE;
}

gboolean on_release(GtkWidget *, GdkEventButton *e, gpointer)
{
    if (e->button == 1)
        dragging = false;
    return FALSE;
}

gboolean on_motion(GtkWidget *, GdkEventMotion *e, gpointer)
{
    if (!dragging)
        return FALSE;
    const plot::Area a = plot::area_of(gtk_widget_get_allocated_width(w.area),
                                       gtk_widget_get_allocated_height(w.area), plotted.size(),
                                       gui::is_checked(w.shared_y));
    const int64_t shift = static_cast<int64_t>((e->x - drag_x) / a.w * static_cast<double>(drag_t1 - drag_t0));
    view_t0 = drag_t0 - shift;
    view_t1 = drag_t1 - shift;
    gtk_widget_queue_draw(w.area);
    return TRUE;
}

// A signal named without its message: plotted when one message of the
// databases has it; otherwise the log says which ones do, or that none does.
bool add_bare_signal(const std::string &name)
{
    std::vector<std::string> found;
    for (const dbc::Database *db : databases)
        for (const dbc::Message &m : db->messages())
            for (const dbc::Signal &sig : m.signals)
                if (sig.name == name || sig.short_name == name)
                    found.push_back(m.name + "." + sig.name);
    if (found.size() == 1) {
        const size_t dot = found[0].find('.');
        return plot_add_signal(found[0].substr(0, dot).c_str(), found[0].substr(dot + 1).c_str());
    }
    std::string line;
    if (found.empty()) {
        line = "Plot: no signal " + name + " in the loaded databases !";
    } else {
        line = "Plot: " + name + " is in " + std::to_string(found.size()) + " messages, name one:";
        for (size_t i = 0; i < found.size(); ++i)
            line += (i == 0 ? " " : ", ") + found[i];
    }
    insert_log(line.c_str());
    return false;
}

void add_from_search()
{
    const std::string text = gtk_entry_get_text(GTK_ENTRY(w.search));
    const size_t dot = text.find('.');
    bool added = false;
    if (dot == std::string::npos && !text.empty()) {
        added = add_bare_signal(text);
    } else if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) {
        insert_log("Plot: name a signal as Message.Signal !");
        return;
    } else {
        added = plot_add_signal(text.substr(0, dot).c_str(), text.substr(dot + 1).c_str());
    }
    if (added)
        gtk_entry_set_text(GTK_ENTRY(w.search), "");
}

void btn_add_cb(GtkWidget *, gpointer)
{
    add_from_search();
}

void search_activate_cb(GtkEntry *, gpointer)
{
    add_from_search();
}

gboolean choice_selected(GtkEntryCompletion *, GtkTreeModel *model, GtkTreeIter *iter, gpointer)
{
    gchar *name = nullptr;
    gtk_tree_model_get(model, iter, 0, &name, -1);
    gtk_entry_set_text(GTK_ENTRY(w.search), name != nullptr ? name : "");
    g_free(name);
    add_from_search();
    return TRUE;
}

// Any part of "Message.Signal", in any case.
gboolean choice_matches(GtkEntryCompletion *, const gchar *key, GtkTreeIter *iter, gpointer)
{
    gchar *name = nullptr;
    gtk_tree_model_get(GTK_TREE_MODEL(w.choices), iter, 0, &name, -1);
    bool match = false;
    if (name != nullptr) {
        gchar *folded = g_utf8_casefold(name, -1);
        match = std::strstr(folded, key) != nullptr;  // key comes folded
        g_free(folded);
    }
    g_free(name);
    return match;
}

void btn_clear_plot_cb(GtkWidget *, gpointer)
{
    plot_clear();
}

void btn_pause_plot_cb(GtkWidget *, gpointer)
{
    if (gui::is_checked(w.pause))
        freeze();
    else
        go_live();
    gtk_widget_queue_draw(w.area);
}

void btn_live_cb(GtkWidget *, gpointer)
{
    go_live();
}

void btn_all_cb(GtkWidget *, gpointer)
{
    bool any = false;
    int64_t t0 = 0, t1 = 0;
    for (const auto &p : plotted)
        if (!p->series.empty()) {
            t0 = any ? std::min(t0, p->series.first_time()) : p->series.first_time();
            t1 = any ? std::max(t1, p->series.last_time()) : p->series.last_time();
            any = true;
        }
    if (!any)
        return;
    live = false;
    view_t0 = t0;
    view_t1 = std::max(t1, t0 + kMinSpanUs);
    gtk_widget_queue_draw(w.area);
}

void redraw_cb(GtkWidget *, gpointer)
{
    gtk_widget_queue_draw(w.area);
}

// A save chooser; the path chosen, or "" when cancelled.
std::string choose_file(const char *title, const char *suggested, const char *pattern, const char *kind)
{
    GtkWidget *dialog =
        gtk_file_chooser_dialog_new(title, GTK_WINDOW(windows->main_window), GTK_FILE_CHOOSER_ACTION_SAVE, "Cancel",
                                    GTK_RESPONSE_CANCEL, "Save", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    GtkFileFilter *filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, kind);
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_add_filter(chooser, filter);
    gui::start_in_last_folder(chooser);
    gtk_file_chooser_set_current_name(chooser, suggested);
    const std::string path = gui::run_file_chooser(dialog, plot_dialog_run);
    gtk_widget_destroy(dialog);
    return path;
}

void btn_csv_cb(GtkWidget *, gpointer)
{
    const std::string path = choose_file("Export plotted data", "velk-plot.csv", "*.csv", "CSV files");
    if (!path.empty() && plot_export_csv(path.c_str())) {
        const std::string line = "Plot data saved to " + path;
        insert_log(line.c_str());
    }
}

void btn_png_cb(GtkWidget *, gpointer)
{
    const std::string path = choose_file("Save plot view", "velk-plot.png", "*.png", "PNG images");
    if (!path.empty() && plot_export_png(path.c_str(), std::max(gtk_widget_get_allocated_width(w.area), 320),
                                         std::max(gtk_widget_get_allocated_height(w.area), 200))) {
        const std::string line = "Plot view saved to " + path;
        insert_log(line.c_str());
    }
}

GtkWidget *connect_button(GtkBuilder *b, const char *id, const char *signal, GCallback cb)
{
    GtkWidget *widget = gui::widget(b, id);
    g_signal_connect(widget, signal, cb, nullptr);
    return widget;
}

}  // namespace

void plot_init(void)
{
    // The window works without the tab.
    GtkBuilder *b = gui::optional_layout("plot.glade");
    if (b == nullptr)
        return;
    w.box = gui::widget(b, "plot_box");
    w.search = gui::widget(b, "plot_search_entry");
    w.area = gui::widget(b, "plot_area");
    w.pause = gui::widget(b, "plot_pause_btn");
    w.shared_y = gui::widget(b, "plot_shared_y_checkbox");
    gtk_notebook_append_page(GTK_NOTEBOOK(tr_info.notebook), w.box, gui::widget(b, "plot_tab_lab"));

    w.choices = gtk_list_store_new(1, G_TYPE_STRING);
    GtkEntryCompletion *completion = gtk_entry_completion_new();
    gtk_entry_completion_set_model(completion, GTK_TREE_MODEL(w.choices));
    g_object_unref(w.choices);  // the completion holds it
    gtk_entry_completion_set_text_column(completion, 0);
    gtk_entry_completion_set_match_func(completion, choice_matches, nullptr, nullptr);
    gtk_entry_completion_set_minimum_key_length(completion, 1);
    g_signal_connect(completion, "match-selected", G_CALLBACK(choice_selected), nullptr);
    gtk_entry_set_completion(GTK_ENTRY(w.search), completion);
    g_object_unref(completion);
    g_signal_connect(w.search, "activate", G_CALLBACK(search_activate_cb), nullptr);

    connect_button(b, "plot_add_btn", "clicked", G_CALLBACK(btn_add_cb));
    connect_button(b, "plot_clear_btn", "clicked", G_CALLBACK(btn_clear_plot_cb));
    connect_button(b, "plot_live_btn", "clicked", G_CALLBACK(btn_live_cb));
    connect_button(b, "plot_all_btn", "clicked", G_CALLBACK(btn_all_cb));
    connect_button(b, "plot_csv_btn", "clicked", G_CALLBACK(btn_csv_cb));
    connect_button(b, "plot_png_btn", "clicked", G_CALLBACK(btn_png_cb));
    g_signal_connect(w.pause, "toggled", G_CALLBACK(btn_pause_plot_cb), nullptr);
    g_signal_connect(w.shared_y, "toggled", G_CALLBACK(redraw_cb), nullptr);

    gtk_widget_add_events(w.area, GDK_SCROLL_MASK | GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK |
                                      GDK_BUTTON1_MOTION_MASK);
    g_signal_connect(w.area, "draw", G_CALLBACK(on_draw), nullptr);
    g_signal_connect(w.area, "scroll-event", G_CALLBACK(on_scroll), nullptr);
    g_signal_connect(w.area, "button-press-event", G_CALLBACK(on_press), nullptr);
    g_signal_connect(w.area, "button-release-event", G_CALLBACK(on_release), nullptr);
    g_signal_connect(w.area, "motion-notify-event", G_CALLBACK(on_motion), nullptr);
    g_timeout_add(kDrawEveryMs, on_draw_due, nullptr);
    g_object_unref(b);

    // The databases of the window are the plot's; a signal activated in
    // the monitor is plotted, and the tab shown.
    gui::databases::on_change([] {
        std::vector<const dbc::Database *> dbs;
        for (const gui::databases::Loaded &l : gui::databases::all())
            dbs.push_back(l.db.get());
        plot_set_databases(std::move(dbs));
    });
    monitor_signal_activated = [](const MN_SIGNAL_REF &ref) {
        if (plot_add_signal(ref.message, ref.signal))
            gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook),
                                          gtk_notebook_page_num(GTK_NOTEBOOK(tr_info.notebook), w.box));
    };
}

void plot_set_databases(std::vector<const dbc::Database *> dbs)
{
    databases.clear();
    for (const dbc::Database *db : dbs)
        if (db != nullptr)
            databases.push_back(db);
    for (auto &p : plotted) {
        p->m = nullptr;
        p->s = nullptr;
        find_signal(p->message, p->signal, &p->m, &p->s);
    }
    rebuild_index();
    fill_choices();
}

bool plot_add_signal(const char *message, const char *signal)
{
    if (message == nullptr || signal == nullptr)
        return false;
    const dbc::Message *m = nullptr;
    const dbc::Signal *s = nullptr;
    if (!find_signal(message, signal, &m, &s)) {
        char line[256];
        std::snprintf(line, sizeof line, "Plot: no signal %s.%s in the loaded databases !", message, signal);
        insert_log(line);
        return false;
    }
    for (const auto &p : plotted)
        if (p->s == s)
            return true;
    auto p = std::make_unique<Plotted>();
    p->message = m->name;
    p->signal = s->name;
    p->m = m;
    p->s = s;
    p->colour = next_colour++ % static_cast<int>(std::size(kPalette));
    plotted.push_back(std::move(p));
    rebuild_index();
    if (w.area != nullptr)
        gtk_widget_queue_draw(w.area);
    return true;
}

void plot_clear(void)
{
    plotted.clear();
    next_colour = 0;
    origin = -1;
    undrawn_since = 0;
    lags.clear();
    lag_next = 0;
    rebuild_index();
    go_live();
}

void plot_feed(int channel, uint32_t id, bool ext, const uint8_t *data, int len, int64_t time_us)
{
    (void)channel;  // a message is plotted from both channels
    if (by_key.empty())
        return;
    auto found = by_key.find(key_of(id, ext));
    if (found == by_key.end())
        return;
    const dbc::Message *decoded = nullptr;
    int n = 0;
    for (size_t index : found->second) {
        Plotted &p = *plotted[index];
        if (p.m != decoded) {
            decoded = p.m;
            n = dbc::decode(*p.m, data, std::clamp(len, 0, 64), values.data());
        }
        for (int i = 0; i < n; ++i) {
            if (values[static_cast<size_t>(i)].signal != p.s || values[static_cast<size_t>(i)].missing)
                continue;
            if (origin < 0)
                origin = time_us;
            p.series.add(time_us, values[static_cast<size_t>(i)].value);
            ++points_fed;
            if (undrawn_since == 0) {
                undrawn_since = g_get_monotonic_time();
                ++batches;
            }
            break;
        }
    }
}

bool plot_export_csv(const char *path)
{
    FILE *f = std::fopen(path, "w");
    if (f == nullptr) {
        const std::string line = std::string("Cannot write ") + path + ": " + std::strerror(errno);
        insert_log(line.c_str());
        return false;
    }
    // One row per stored point; a point that merged older samples gives
    // their minimum, maximum and number.
    std::fprintf(f, "signal,unit,time_s,value,min,max,samples\n");
    for (const auto &p : plotted) {
        // A unit is free text in a DBC file: quoted where it holds a comma
        // or a quote.
        std::string unit = p->s != nullptr ? p->s->unit : "";
        if (unit.find_first_of(",\"\n") != std::string::npos) {
            std::string quoted = "\"";
            for (char c : unit)
                quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
            unit = quoted + "\"";
        }
        for (size_t i = 0; i < p->series.size(); ++i) {
            const plot::Point &pt = p->series[i];
            const int64_t t = pt.t_us;
            std::fprintf(f, "%s.%s,%s,%s%" PRId64 ".%06" PRId64 ",%.15g,%.15g,%.15g,%u\n", p->message.c_str(),
                         p->signal.c_str(), unit.c_str(), t < 0 ? "-" : "", (t < 0 ? -t : t) / 1000000,
                         (t < 0 ? -t : t) % 1000000, pt.last, pt.min, pt.max, pt.count);
        }
    }
    const bool ok = std::fflush(f) == 0 && std::ferror(f) == 0;
    if (std::fclose(f) != 0 || !ok) {
        const std::string line = std::string("Cannot write ") + path;
        insert_log(line.c_str());
        return false;
    }
    return true;
}

bool plot_export_png(const char *path, int width, int height)
{
    cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t *cr = cairo_create(surface);
    plot::draw(cr, width, height, traces(), view_now());
    cairo_destroy(cr);
    const cairo_status_t status = cairo_surface_write_to_png(surface, path);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        const std::string line = std::string("Cannot write ") + path + ": " + cairo_status_to_string(status);
        insert_log(line.c_str());
        return false;
    }
    return true;
}

PlotStats plot_stats(void)
{
    PlotStats s;
    s.signals = plotted.size();
    s.points_fed = points_fed;
    s.redraws = redraws;
    s.due_ticks = due_ticks;
    s.batches = batches;
    s.draw_us = draw_us;
    s.lag_samples = lags.size();
    if (!lags.empty()) {
        std::vector<int64_t> sorted = lags;
        const size_t k = std::min(sorted.size() - 1, sorted.size() * 99 / 100);
        std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(k), sorted.end());
        s.lag_p99_us = sorted[k];
    }
    for (const auto &p : plotted)
        s.stored_points += p->series.size();
    return s;
}

std::vector<std::string> plot_signals(void)
{
    std::vector<std::string> out;
    for (const auto &p : plotted)
        out.push_back(p->message + "." + p->signal);
    return out;
}

std::vector<std::string> plot_signal_choices(void)
{
    std::vector<std::string> out;
    for (const dbc::Database *db : databases)
        for (const dbc::Message &m : db->messages())
            for (const dbc::Signal &s : m.signals)
                out.push_back(m.name + "." + s.name);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void plot_redraw_now(void)
{
    if (w.area == nullptr || !gtk_widget_get_mapped(w.area))
        return;
    GdkWindow *window = gtk_widget_get_window(w.area);
    if (window == nullptr)
        return;
    gtk_widget_queue_draw(w.area);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gdk_window_process_updates(window, TRUE);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

bool plot_is_live(void)
{
    return live;
}
