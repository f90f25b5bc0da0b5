// The trace view: a drawn list over an indexed trace. The list draws only
// the rows on screen, read through the index in blocks that a small cache
// keeps; the index grows on its own thread, at a lower priority than the
// live receive path, and the view follows it four times a second.
#include "trace_view.h"

#include "databases.h"
#include "guipart.h"
#include "signal_text.h"
#include "trace_export.h"
#include "trace_filter.h"
#include "trace_formats.h"
#include "trace_isotp.h"
#include "trace_plot.h"
#include "trace_stats.h"
#include "trace.h"
#include "widgets.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <list>
#include <memory>

gint (*gui::trace_view::open_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;
gint (*gui::trace_view::export_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace gui::trace_view {

namespace {

namespace trace = velk::trace;

// Rows read at once, and blocks kept: a filtered screen's rows may each lie
// in a block of their own.
constexpr uint64_t kBlock = 64;
constexpr size_t kBlocksKept = 64;
// The index runs below the receive path and the GUI.
constexpr int kIndexNice = 10;
constexpr guint kTickMs = 250;
// Payload bytes a row shows; the details below the list show them all.
constexpr int kDataShown = 12;

struct ColumnInfo {
    const char *title;
    int width;  // in average characters
};
constexpr ColumnInfo kColumns[COLUMNS] = {
    {"NO", 8},   {"CH", 3},  {"DIR", 5},  {"MOD", 5},   {"ID", 9},         {"MESSAGE", 16},
    {"TYPE", 10}, {"LEN", 4}, {"DATA", 39}, {"TIME", 16}, {"RELATIVE", 12},
};

struct Block {
    uint64_t first = 0;
    std::vector<trace::Frame> frames;
};

struct View {
    std::vector<std::string> paths;
    trace::Index index;
    trace::IndexedReader reader;
    std::list<Block> blocks;  // most recently used first
    int64_t first_us = -1;    // frame 0's time, for relative times
    int64_t selected = -1;    // a row of the list (of the matches, while filtered)
    std::shared_ptr<const trace_filter::Filter> filter_set;  // the filter `run` runs
    std::unique_ptr<trace_filter::Run> run;  // the filter, while one is set
    std::unique_ptr<trace_export::Export> exporting;  // until its end is said
    std::string note;  // how the last export ended, shown until the next action
    std::string read_error;   // a row that could not be read, said once

    GtkWidget *window = nullptr;
    GtkWidget *area = nullptr;
    GtkAdjustment *adj = nullptr;
    GtkWidget *progress = nullptr;
    GtkWidget *entry = nullptr;
    GtkWidget *details = nullptr;
    GtkWidget *filter = nullptr;
    GtkWidget *strip = nullptr;
    GtkWidget *stats = nullptr;  // the statistics window, while open
    GtkListStore *stats_store = nullptr;
    GtkWidget *stats_range = nullptr, *stats_nominal = nullptr, *stats_data = nullptr;
    GtkWidget *stats_status = nullptr, *stats_load = nullptr;
    std::unique_ptr<trace_stats::Stats> stats_run;  // the range's statistics, read or being read
    bool stats_final = false;  // the table shows stats_run's end
    GtkWidget *export_btn = nullptr;

    // The whole-trace plot, while its window is open: signals of the
    // loaded databases, the columns of the range shown, a cursor.
    GtkWidget *plot = nullptr;
    GtkWidget *plot_area = nullptr;
    GtkWidget *plot_signal = nullptr;
    GtkWidget *plot_legend = nullptr;
    GtkWidget *csv_btn = nullptr;
    std::vector<trace_plot::Series> plot_choices;  // as the signal box lists them
    std::vector<trace_plot::Series> plotted;       // in the legend's order
    std::unique_ptr<trace_plot::Columns> columns;
    std::unique_ptr<trace_plot::CsvExport> csv;  // until its end is said
    // The ISO-TP messages' window, while open.
    GtkWidget *tp = nullptr, *tp_area = nullptr, *tp_ids = nullptr, *tp_mode = nullptr;
    GtkWidget *tp_status = nullptr, *tp_details = nullptr;
    GtkAdjustment *tp_adj = nullptr;
    std::unique_ptr<trace_isotp::Messages> tp_run;
    int64_t tp_selected = -1;
    int64_t cursor_us = -1;
    double press_x = -1;
    guint tick = 0;  // the timer, while it runs
    guint first_idle = 0;
    int row_h = 16;
    int char_w = 8;

    uint64_t last_frames = 0;
    gint64 last_tick_us = 0;
    double rate = 0;
};

View *view_of(GtkWidget *w)
{
    return w == nullptr ? nullptr : static_cast<View *>(g_object_get_data(G_OBJECT(w), "trace-view"));
}

// The frame of row n through the cache; nullptr where it cannot be read.
const trace::Frame *frame_at(View *v, uint64_t n)
{
    for (auto it = v->blocks.begin(); it != v->blocks.end(); ++it)
        if (n >= it->first && n < it->first + it->frames.size()) {
            v->blocks.splice(v->blocks.begin(), v->blocks, it);
            return &v->blocks.front().frames[n - it->first];
        }
    Block b;
    b.first = n / kBlock * kBlock;
    const uint64_t end = std::min(b.first + kBlock, v->index.frames());
    b.frames.reserve(end - b.first);
    for (uint64_t i = b.first; i < end; ++i) {
        trace::Frame f;
        if (v->reader.read(i, &f) <= 0) {
            if (v->read_error.empty()) {
                v->read_error = v->reader.error();
                insert_log(("Trace: " + v->read_error).c_str());
            }
            break;
        }
        b.frames.push_back(f);
    }
    if (n >= b.first + b.frames.size())
        return nullptr;
    // A block read while the index was shorter gives way to this one.
    v->blocks.remove_if([&](const Block &o) { return o.first == b.first; });
    v->blocks.push_front(std::move(b));
    if (v->blocks.size() > kBlocksKept)
        v->blocks.pop_back();
    return &v->blocks.front().frames[n - v->blocks.front().first];
}

int64_t us_of(const trace::Frame &f)
{
    return f.sec * 1000000 + f.usec;
}

// Rows of the list: every frame, or the matches of the filter.
uint64_t row_count(View *v)
{
    return v->run ? v->run->count() : v->index.frames();
}

bool frame_of_row(View *v, uint64_t row, uint64_t *n)
{
    if (v->run)
        return v->run->match(row, n);
    *n = row;
    return row < v->index.frames();
}

// The row of frame n, or of the first match after it.
int64_t row_of_frame(View *v, uint64_t n)
{
    return static_cast<int64_t>(v->run ? v->run->first_from(n) : n);
}

std::string time_text(int64_t us)
{
    const time_t sec = static_cast<time_t>(us / 1000000);
    struct tm tm;
    localtime_r(&sec, &tm);
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d.%06d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(us % 1000000));
    return b;
}

std::string seconds_text(int64_t us)
{
    char b[32];
    std::snprintf(b, sizeof b, "%s%" PRId64 ".%06d", us < 0 ? "-" : "", (us < 0 ? -us : us) / 1000000,
                  static_cast<int>((us < 0 ? -us : us) % 1000000));
    return b;
}

std::string type_text(const trace::Frame &f)
{
    if (f.error)
        return "Error";
    if (f.remote)
        return "RTR";
    if (f.fd)
        return std::string(f.brs ? "FD / BRS" : "FD") + (f.esi ? " / ESI" : "");
    return "2.0B";
}

std::string data_text(const trace::Frame &f, int shown)
{
    std::string s;
    char b[4];
    const int n = std::min<int>(f.len, shown);
    for (int i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", f.data[i]);
        s += b;
    }
    if (f.len > shown)
        s += " …";
    return s;
}

std::string cell_text(View *v, uint64_t n, const trace::Frame &f, Column c)
{
    char b[32];
    switch (c) {
    case NO: return std::to_string(n + 1);
    case CH: return f.channel < 0 ? "?" : std::to_string(f.channel + 1);
    case DIR: return f.tx ? "Send" : "Recv";
    case MOD: return f.error ? "" : f.extended ? "EID" : "SID";
    case ID:
        if (f.error)
            return "";
        std::snprintf(b, sizeof b, f.extended ? "%08X" : "%03X", f.id);
        return b;
    case MESSAGE: {
        const velk::dbc::Message *m = f.error ? nullptr : gui::databases::find(f.id, f.extended);
        return m == nullptr ? "" : m->name;
    }
    case TYPE: return type_text(f);
    case LEN: return std::to_string(f.len);
    case DATA: return f.remote || f.error ? "" : data_text(f, kDataShown);
    case TIME: return time_text(us_of(f));
    case RELATIVE: return v->first_us < 0 ? "" : seconds_text(us_of(f) - v->first_us);
    case COLUMNS: break;
    }
    return "";
}

int rows_shown(View *v)
{
    const int h = gtk_widget_get_allocated_height(v->area);
    return std::max(1, h / v->row_h - 1);  // the first line holds the titles
}

void update_adjustment(View *v)
{
    const double total = static_cast<double>(row_count(v));
    const double page = rows_shown(v);
    const double value = std::min(gtk_adjustment_get_value(v->adj), std::max(0.0, total - page));
    gtk_adjustment_configure(v->adj, value, 0, std::max(total, page), 1, page, page);
}

void show_details(View *v)
{
    std::string text;
    uint64_t n = 0;
    const trace::Frame *f =
        v->selected >= 0 && frame_of_row(v, static_cast<uint64_t>(v->selected), &n) ? frame_at(v, n) : nullptr;
    if (f != nullptr && v->plot_area != nullptr) {
        v->cursor_us = us_of(*f);
        gtk_widget_queue_draw(v->plot_area);
    }
    if (f != nullptr) {
        text = "Frame " + std::to_string(n + 1) + ", " + time_text(us_of(*f)) + ": " +
               (f->error ? std::string("error frame") : trace::frame_text(*f, false));
        const velk::dbc::Message *m = f->error ? nullptr : gui::databases::find(f->id, f->extended);
        if (m != nullptr && !f->remote) {
            std::vector<velk::dbc::Value> values(gui::databases::max_signals());
            const int count = velk::dbc::decode(*m, f->data.data(), f->len, values.data());
            text += "\n" + gui::signals_text(*m, values.data(), count);
        }
    }
    gtk_label_set_text(GTK_LABEL(v->details), text.c_str());
}

// Moves the selection to row n and scrolls it into view (`centre`: to the middle).
void select_row(View *v, int64_t n, bool centre)
{
    const int64_t total = static_cast<int64_t>(row_count(v));
    if (total == 0)
        return;
    n = std::clamp<int64_t>(n, 0, total - 1);
    v->selected = n;
    const double first = gtk_adjustment_get_value(v->adj);
    const int page = rows_shown(v);
    if (centre)
        gtk_adjustment_set_value(v->adj, static_cast<double>(std::max<int64_t>(0, n - page / 2)));
    else if (n < first)
        gtk_adjustment_set_value(v->adj, static_cast<double>(n));
    else if (n >= first + page)
        gtk_adjustment_set_value(v->adj, static_cast<double>(n - page + 1));
    show_details(v);
    gtk_widget_queue_draw(v->area);
}

// Clears a drawing area to its background; the text colour in *fg, and a
// layout to write with, which the caller unrefs.
PangoLayout *begin_drawing(GtkWidget *area, cairo_t *cr, GdkRGBA *fg)
{
    GtkStyleContext *style = gtk_widget_get_style_context(area);
    gtk_render_background(style, cr, 0, 0, gtk_widget_get_allocated_width(area),
                          gtk_widget_get_allocated_height(area));
    gtk_style_context_get_color(style, gtk_style_context_get_state(style), fg);
    return gtk_widget_create_pango_layout(area, nullptr);
}

gboolean draw(GtkWidget *area, cairo_t *cr, gpointer data)
{
    auto *v = static_cast<View *>(data);
    GtkStyleContext *style = gtk_widget_get_style_context(area);
    const int width = gtk_widget_get_allocated_width(area);
    GdkRGBA fg;
    PangoLayout *layout = begin_drawing(area, cr, &fg);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    PangoAttrList *bold = pango_attr_list_new();
    pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));

    auto draw_line = [&](int y, const std::string *cells, bool titles) {
        pango_layout_set_attributes(layout, titles ? bold : nullptr);
        int x = 4;
        for (int c = 0; c < COLUMNS; ++c) {
            const int w = kColumns[c].width * v->char_w;
            pango_layout_set_width(layout, (w - 6) * PANGO_SCALE);
            pango_layout_set_text(layout, cells[c].c_str(), -1);
            cairo_move_to(cr, x, y);
            pango_cairo_show_layout(cr, layout);
            x += w;
        }
    };

    gdk_cairo_set_source_rgba(cr, &fg);
    std::string titles[COLUMNS];
    for (int c = 0; c < COLUMNS; ++c)
        titles[c] = kColumns[c].title;
    draw_line(0, titles, true);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, 0, v->row_h - 0.5);
    cairo_line_to(cr, width, v->row_h - 0.5);
    cairo_stroke(cr);

    const uint64_t first = static_cast<uint64_t>(gtk_adjustment_get_value(v->adj));
    const int page = rows_shown(v) + 1;
    std::string cells[COLUMNS];
    for (int i = 0; i < page; ++i) {
        const uint64_t row = first + static_cast<uint64_t>(i);
        uint64_t n = 0;
        const trace::Frame *f = frame_of_row(v, row, &n) ? frame_at(v, n) : nullptr;
        if (f == nullptr)
            break;
        const int y = (i + 1) * v->row_h;
        if (static_cast<int64_t>(row) == v->selected) {
            cairo_save(cr);
            gtk_style_context_save(style);
            gtk_style_context_set_state(style, GTK_STATE_FLAG_SELECTED);
            gtk_render_background(style, cr, 0, y, width, v->row_h);
            GdkRGBA sel;
            gtk_style_context_get_color(style, GTK_STATE_FLAG_SELECTED, &sel);
            gtk_style_context_restore(style);
            gdk_cairo_set_source_rgba(cr, &sel);
            for (int c = 0; c < COLUMNS; ++c)
                cells[c] = cell_text(v, n, *f, static_cast<Column>(c));
            draw_line(y, cells, false);
            cairo_restore(cr);
            continue;
        }
        for (int c = 0; c < COLUMNS; ++c)
            cells[c] = cell_text(v, n, *f, static_cast<Column>(c));
        draw_line(y, cells, false);
    }
    pango_attr_list_unref(bold);
    g_object_unref(layout);
    return TRUE;
}

std::string count_text(uint64_t n)
{
    const std::string digits = std::to_string(n);
    std::string s;
    s.reserve(digits.size() + digits.size() / 3);
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            s += ',';
        s += digits[i];
    }
    return s;
}

std::string base_name(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string status_text(View *v)
{
    const uint64_t n = v->index.frames();
    if (v->csv)
        return "Exporting to " + base_name(v->csv->path()) + ": " + count_text(v->csv->read()) + " of " +
               count_text(v->csv->total()) + " frames read, " + count_text(v->csv->written()) + " rows written";
    if (v->exporting)
        return "Exporting to " + base_name(v->exporting->path()) + ": " + count_text(v->exporting->read()) + " of " +
               count_text(v->exporting->total()) + " frames read, " + count_text(v->exporting->written()) +
               " written";
    if (!v->note.empty())
        return v->note;
    if (v->run) {
        const uint64_t found = v->run->count();
        if (!v->run->done() || !v->index.done())
            return "Filtering: " + count_text(found) + " matching in " + count_text(v->run->scanned()) + " of " +
                   count_text(n) + " frames";
        if (!v->run->error().empty())
            return "Filter: " + count_text(found) + " matching; reading stopped: " + v->run->error();
        return "Filter: " + count_text(found) + " of " + count_text(n) + " frames match";
    }
    if (!v->index.done()) {
        return "Indexing: " + count_text(n) + " frames, " + count_text(static_cast<uint64_t>(v->rate)) + " frames/s";
    }
    const std::string error = v->index.error();
    if (!error.empty())
        return count_text(n) + " frames; the trace ends early, at frame " + count_text(n + 1) + ": " + error;
    return count_text(n) + " frames";
}

// Says how an export ended, in the bar and the status log.
void export_ended(View *v)
{
    const trace_export::Export &e = *v->exporting;
    const std::string frames = count_text(e.written()) + (e.written() == 1 ? " frame" : " frames");
    if (e.cancelled())
        v->note = "Export cancelled; " + base_name(e.path()) + " removed";
    else if (!e.error().empty())
        v->note = "Export stopped: " + e.error() + "; " + frames + " in " + e.path();
    else
        v->note = "Exported " + frames + " to " + e.path();
    insert_log(("Trace: " + v->note).c_str());
    v->exporting.reset();
    gtk_button_set_label(GTK_BUTTON(v->export_btn), "Export…");
}

void fill_statistics(View *v);
void csv_ended(View *v);
void refresh_tp(View *v);

// Shows how far everything has got; true when nothing goes on any more.
bool refresh(View *v)
{
    if (v->exporting && v->exporting->done())
        export_ended(v);
    if (v->csv && v->csv->done())
        csv_ended(v);
    const bool done = v->index.done() && (!v->run || v->run->done()) && !v->exporting && !v->csv &&
                      (!v->columns || v->columns->done()) && (!v->stats_run || v->stats_run->done()) &&
                      (!v->tp_run || v->tp_run->done());
    refresh_tp(v);
    // The table while its range is read, and once at the end.
    if (v->stats != nullptr && v->stats_run && !v->stats_final) {
        v->stats_final = v->stats_run->done();
        fill_statistics(v);
    }
    if (v->plot_area != nullptr)
        gtk_widget_queue_draw(v->plot_area);
    const uint64_t n = v->index.frames();
    const gint64 now = g_get_monotonic_time();
    if (now > v->last_tick_us)
        v->rate = static_cast<double>(n - v->last_frames) * 1e6 / static_cast<double>(now - v->last_tick_us);
    v->last_frames = n;
    v->last_tick_us = now;
    if (v->first_us < 0 && n > 0) {
        if (const trace::Frame *f = frame_at(v, 0))
            v->first_us = us_of(*f);
    }
    const uint64_t total = v->index.bytes_total();
    double fraction = done ? 1.0
                      : total > 0 ? std::min(1.0, static_cast<double>(v->index.bytes_read()) / static_cast<double>(total))
                                  : 0.0;
    if (v->exporting && v->exporting->total() > 0)
        fraction = static_cast<double>(v->exporting->read()) / static_cast<double>(v->exporting->total());
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(v->progress), std::min(1.0, fraction));
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(v->progress), status_text(v).c_str());
    update_adjustment(v);
    // Rows below the last one drawn may have come.
    gtk_widget_queue_draw(v->area);
    gtk_widget_queue_draw(v->strip);
    return done;
}

// The view's timer: it ends itself once nothing goes on; follow() starts it again.
gboolean tick(gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (!refresh(v))
        return G_SOURCE_CONTINUE;
    v->tick = 0;
    // Where a damaged trace ends is worth more than the bar's width.
    if (!v->index.error().empty() && !v->run) {
        insert_log(("Trace: " + status_text(v)).c_str());
        if (v->selected < 0)
            gtk_label_set_text(GTK_LABEL(v->details), status_text(v).c_str());
    }
    return G_SOURCE_REMOVE;
}

// "123" a frame number (*number, counted from 1); "12.5" seconds from the
// first frame, "14:05:30.25" a time of day on the first frame's date (*us,
// *number 0). False with *why otherwise.
bool parse_place(View *v, const std::string &text, uint64_t *number, int64_t *us, std::string *why)
{
    const std::string t(text.c_str() + std::strspn(text.c_str(), " #"));
    char *end = nullptr;
    *number = 0;
    if (!t.empty() && std::strspn(t.c_str(), "0123456789") == t.size()) {
        const unsigned long long n = std::strtoull(t.c_str(), &end, 10);
        if (n < 1 || n > v->index.frames()) {
            *why = "there is no frame " + t + " (frames 1 to " + count_text(v->index.frames()) + ")";
            return false;
        }
        *number = n;
        return true;
    }
    int h = 0, m = 0;
    double s = 0;
    int used = 0;
    if (v->first_us < 0) {
        *why = "the trace holds no frame yet";
        return false;
    }
    if (std::sscanf(t.c_str(), "%d:%d:%lf%n", &h, &m, &s, &used) == 3 && used == static_cast<int>(t.size()) &&
        h >= 0 && h < 24 && m >= 0 && m < 60 && s >= 0 && s < 61) {
        const time_t first = static_cast<time_t>(v->first_us / 1000000);
        struct tm tm;
        localtime_r(&first, &tm);
        tm.tm_hour = h;
        tm.tm_min = m;
        tm.tm_sec = 0;
        tm.tm_isdst = -1;
        *us = int64_t{mktime(&tm)} * 1000000 + static_cast<int64_t>(s * 1e6 + 0.5);
        return true;
    }
    const double sec = std::strtod(t.c_str(), &end);
    if (t.empty() || end == nullptr || *end != '\0') {
        *why = "takes a frame number (1234), seconds from the first frame (12.5) or a time of day (14:05:30.25)";
        return false;
    }
    *us = v->first_us + static_cast<int64_t>(sec * 1e6 + (sec < 0 ? -0.5 : 0.5));
    return true;
}

// The frame a Go to text names: -1 with *why when there is none.
int64_t go_to_row(View *v, const std::string &text, std::string *why)
{
    uint64_t number = 0;
    int64_t us = 0;
    if (!parse_place(v, text, &number, &us, why)) {
        if (why->rfind("takes", 0) == 0)
            *why = "Go to " + *why;
        return -1;
    }
    if (number > 0)
        return static_cast<int64_t>(number - 1);
    const int64_t row = v->reader.find_time(us);
    if (row < 0)
        *why = "no frame at or after " + time_text(us) + " among the frames indexed";
    return row;
}

void go_to(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    std::string why;
    const int64_t row = go_to_row(v, gtk_entry_get_text(GTK_ENTRY(v->entry)), &why);
    if (row < 0) {
        gtk_progress_bar_set_text(GTK_PROGRESS_BAR(v->progress), ("Go to: " + why).c_str());
        return;
    }
    v->note.clear();
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(v->progress), status_text(v).c_str());
    select_row(v, row_of_frame(v, static_cast<uint64_t>(row)), true);
    gtk_widget_grab_focus(v->area);
}

gboolean pressed(GtkWidget *area, GdkEventButton *e, gpointer data)
{
    auto *v = static_cast<View *>(data);
    gtk_widget_grab_focus(area);
    if (e->type != GDK_BUTTON_PRESS || e->button != 1 || e->y < v->row_h)
        return TRUE;
    const int64_t n = static_cast<int64_t>(gtk_adjustment_get_value(v->adj)) + static_cast<int64_t>(e->y) / v->row_h - 1;
    if (n < static_cast<int64_t>(row_count(v)))
        select_row(v, n, false);
    return TRUE;
}

gboolean scrolled(GtkWidget *, GdkEventScroll *e, gpointer data)
{
    auto *v = static_cast<View *>(data);
    double dy = 0;
    if (e->direction == GDK_SCROLL_UP)
        dy = -3;
    else if (e->direction == GDK_SCROLL_DOWN)
        dy = 3;
    else if (e->direction == GDK_SCROLL_SMOOTH)
        dy = e->delta_y * 3;
    const double top = gtk_adjustment_get_upper(v->adj) - gtk_adjustment_get_page_size(v->adj);
    gtk_adjustment_set_value(v->adj, std::clamp(gtk_adjustment_get_value(v->adj) + dy, 0.0, std::max(0.0, top)));
    return TRUE;
}

gboolean key(GtkWidget *, GdkEventKey *e, gpointer data)
{
    auto *v = static_cast<View *>(data);
    const int64_t page = rows_shown(v);
    const int64_t at = v->selected >= 0 ? v->selected : static_cast<int64_t>(gtk_adjustment_get_value(v->adj));
    switch (e->keyval) {
    case GDK_KEY_Up: select_row(v, at - 1, false); return TRUE;
    case GDK_KEY_Down: select_row(v, at + 1, false); return TRUE;
    case GDK_KEY_Page_Up: select_row(v, at - page, false); return TRUE;
    case GDK_KEY_Page_Down: select_row(v, at + page, false); return TRUE;
    case GDK_KEY_Home: select_row(v, 0, false); return TRUE;
    case GDK_KEY_End: select_row(v, static_cast<int64_t>(row_count(v)) - 1, false); return TRUE;
    default: return FALSE;
    }
}

void value_changed(GtkAdjustment *, gpointer data)
{
    gtk_widget_queue_draw(static_cast<View *>(data)->area);
}

void resized(GtkWidget *, GdkRectangle *, gpointer data)
{
    update_adjustment(static_cast<View *>(data));
}

// Ticks again (once ended) while anything goes on: indexing, a filter, an export.
void follow(View *v)
{
    if (v->tick == 0)
        v->tick = g_timeout_add(kTickMs, tick, v);
    refresh(v);
}

// The first frame an export's From or To names: empty, the trace's start
// or end; a frame number, that frame (included by To); a time, the frames
// at and after it (before or at it for To).
bool export_bound(View *v, const std::string &text, bool to, uint64_t *frame, std::string *why)
{
    if (text.find_first_not_of(" \t") == std::string::npos) {
        *frame = to ? UINT64_MAX : 0;
        return true;
    }
    uint64_t number = 0;
    int64_t us = 0;
    if (!parse_place(v, text, &number, &us, why)) {
        *why = std::string(to ? "To " : "From ") + *why;
        return false;
    }
    if (number > 0) {
        *frame = to ? number : number - 1;
        return true;
    }
    const int64_t n = v->reader.find_time(to ? us + 1 : us);
    if (n >= 0) {
        *frame = static_cast<uint64_t>(n);
        return true;
    }
    if (to && v->index.done()) {
        *frame = UINT64_MAX;
        return true;
    }
    *why = "no frame at or after " + time_text(us) + " among the frames indexed";
    return false;
}

GtkWidget *export_field(GtkGrid *grid, int row, const char *label, const char *name, const char *placeholder)
{
    GtkWidget *l = gtk_label_new(label);
    gtk_widget_set_halign(l, GTK_ALIGN_END);
    GtkWidget *entry = gtk_entry_new();
    gtk_widget_set_name(entry, name);
    gtk_entry_set_placeholder_text(GTK_ENTRY(entry), placeholder);
    gtk_widget_set_tooltip_text(entry, "A frame number (1234), seconds from the first frame (12.5) or a time of "
                                       "day (14:05:30.25); empty: the trace's start or end");
    gtk_grid_attach(grid, l, 0, row, 1, 1);
    gtk_grid_attach(grid, entry, 1, row, 1, 1);
    return entry;
}

// Export…: the frames the filter keeps (or all), between From and To, to
// a file of any format velk writes. While it runs the button cancels it.
void export_frames(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->exporting) {
        v->exporting->cancel();
        return;
    }
    GtkWidget *dialog = gtk_file_chooser_dialog_new("Export frames", GTK_WINDOW(v->window),
                                                    GTK_FILE_CHOOSER_ACTION_SAVE, "Cancel", GTK_RESPONSE_CANCEL,
                                                    "Export", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    gui::add_trace_formats(chooser);
    gui::start_in_last_folder(chooser);
    gtk_file_chooser_set_current_name(chooser, "export.log");
    GtkWidget *grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 4);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 6);
    GtkWidget *only = gtk_check_button_new_with_label("Only the frames the filter keeps");
    gtk_widget_set_name(only, "tv_export_filtered");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(only), v->filter_set != nullptr);
    gtk_widget_set_sensitive(only, v->filter_set != nullptr);
    gtk_grid_attach(GTK_GRID(grid), only, 1, 0, 1, 1);
    GtkWidget *from = export_field(GTK_GRID(grid), 1, "From", "tv_export_from", "the first frame");
    GtkWidget *to = export_field(GTK_GRID(grid), 2, "To", "tv_export_to", "the last frame");
    gtk_widget_show_all(grid);
    gtk_file_chooser_set_extra_widget(chooser, grid);
    std::string path = gui::run_file_chooser(dialog, export_dialog_run);
    trace::Format format = trace::Format::CandumpLog;
    if (!path.empty())
        gui::trace_format_for(&path, chooser, &format);
    const bool filtered = v->filter_set != nullptr && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(only));
    const std::string from_text = gtk_entry_get_text(GTK_ENTRY(from));
    const std::string to_text = gtk_entry_get_text(GTK_ENTRY(to));
    gtk_widget_destroy(dialog);
    if (path.empty())
        return;
    std::string why;
    uint64_t first = 0, end = 0;
    if (!export_bound(v, from_text, false, &first, &why) || !export_bound(v, to_text, true, &end, &why)) {
        gtk_progress_bar_set_text(GTK_PROGRESS_BAR(v->progress), ("Export: " + why).c_str());
        return;
    }
    auto e = std::make_unique<trace_export::Export>(v->index, filtered ? v->filter_set : nullptr, first, end);
    if (!e->start(path, format, &why)) {
        v->note = "Export failed: " + why;
        insert_log(("Trace: " + v->note).c_str());
        follow(v);
        return;
    }
    v->exporting = std::move(e);
    v->note.clear();
    gtk_button_set_label(GTK_BUTTON(v->export_btn), "Cancel export");
    follow(v);
}

// ---- the whole-trace plot ----

constexpr int kPlotLeft = 80, kPlotRight = 12, kPlotTop = 24, kPlotBottom = 22;

// Each signal's colour, in the order they were added (then round again).
constexpr double kPlotColours[][3] = {
    {0.10, 0.35, 0.80}, {0.85, 0.45, 0.05}, {0.15, 0.60, 0.20}, {0.60, 0.20, 0.70}, {0.05, 0.60, 0.65}, {0.55, 0.40, 0.15},
};
constexpr size_t kPlotColourCount = sizeof kPlotColours / sizeof kPlotColours[0];

int plot_width(View *v)
{
    return std::max(1, gtk_widget_get_allocated_width(v->plot_area) - kPlotLeft - kPlotRight);
}

// The columns of the plotted signals over [t0, t1), computed anew in one pass.
void plot_range(View *v, int64_t t0, int64_t t1)
{
    v->columns.reset();
    if (v->plotted.empty() || t1 <= t0) {
        gtk_widget_queue_draw(v->plot_area);
        return;
    }
    v->columns = std::make_unique<trace_plot::Columns>(v->index, v->plotted, t0, t1, plot_width(v));
    follow(v);
}

// From the first frame to the last one indexed.
void plot_whole(View *v)
{
    const uint64_t n = v->index.frames();
    const trace::Frame *first = n > 0 ? frame_at(v, 0) : nullptr;
    if (first == nullptr)
        return;
    const int64_t t0 = us_of(*first);
    if (v->first_us < 0)
        v->first_us = t0;
    if (const trace::Frame *last = frame_at(v, n - 1))
        plot_range(v, t0, us_of(*last) + 1);
}

// The range shown again, for the signals as they are now (the whole trace
// when nothing was shown yet).
void plot_again(View *v)
{
    if (v->columns)
        plot_range(v, v->columns->t0(), v->columns->t1());
    else
        plot_whole(v);
}

void fill_legend(View *v);

void plot_remove_at(View *v, size_t i)
{
    if (i >= v->plotted.size())
        return;
    v->plotted.erase(v->plotted.begin() + static_cast<std::ptrdiff_t>(i));
    fill_legend(v);
    plot_again(v);
}

// One entry per signal, in its colour, with a button that takes it away.
void fill_legend(View *v)
{
    GList *children = gtk_container_get_children(GTK_CONTAINER(v->plot_legend));
    for (GList *c = children; c != nullptr; c = c->next)
        gtk_widget_destroy(GTK_WIDGET(c->data));
    g_list_free(children);
    for (size_t i = 0; i < v->plotted.size(); ++i) {
        const double *rgb = kPlotColours[i % kPlotColourCount];
        char colour[8];
        std::snprintf(colour, sizeof colour, "#%02X%02X%02X", static_cast<int>(rgb[0] * 255),
                      static_cast<int>(rgb[1] * 255), static_cast<int>(rgb[2] * 255));
        const trace_plot::Series &s = v->plotted[i];
        gchar *markup = g_markup_printf_escaped("<span foreground=\"%s\" weight=\"bold\">■ %s</span>%s%s", colour,
                                                s.name().c_str(), s.signal->unit.empty() ? "" : " / ",
                                                s.signal->unit.c_str());
        GtkWidget *label = gtk_label_new(nullptr);
        gtk_label_set_markup(GTK_LABEL(label), markup);
        g_free(markup);
        GtkWidget *remove = gtk_button_new_from_icon_name("window-close-symbolic", GTK_ICON_SIZE_MENU);
        gtk_button_set_relief(GTK_BUTTON(remove), GTK_RELIEF_NONE);
        gtk_widget_set_tooltip_text(remove, ("Take " + s.name() + " off the plot").c_str());
        g_object_set_data(G_OBJECT(remove), "series", GSIZE_TO_POINTER(i));
        g_signal_connect(remove, "clicked", G_CALLBACK(+[](GtkWidget *b, gpointer data) {
                             plot_remove_at(static_cast<View *>(data),
                                            GPOINTER_TO_SIZE(g_object_get_data(G_OBJECT(b), "series")));
                         }),
                         v);
        gtk_box_pack_start(GTK_BOX(v->plot_legend), label, FALSE, FALSE, 0);
        gtk_box_pack_start(GTK_BOX(v->plot_legend), remove, FALSE, FALSE, 0);
    }
    if (v->plotted.empty())
        gtk_box_pack_start(GTK_BOX(v->plot_legend), gtk_label_new("No signal yet: add one with the box above"), FALSE,
                           FALSE, 0);
    gtk_widget_show_all(v->plot_legend);
}

// The box's signal joins the plot (once), and the box is ready for the next.
void plot_add_chosen(View *v)
{
    const int chosen = gtk_combo_box_get_active(GTK_COMBO_BOX(v->plot_signal));
    if (chosen < 0 || static_cast<size_t>(chosen) >= v->plot_choices.size())
        return;
    const trace_plot::Series &s = v->plot_choices[static_cast<size_t>(chosen)];
    gtk_combo_box_set_active(GTK_COMBO_BOX(v->plot_signal), -1);
    for (const auto &p : v->plotted)
        if (p.signal == s.signal)
            return;
    v->plotted.push_back(s);
    fill_legend(v);
    plot_again(v);
}

int64_t plot_time_at(View *v, double x)
{
    const trace_plot::Columns &c = *v->columns;
    const double f = std::clamp((x - kPlotLeft) / plot_width(v), 0.0, 1.0);
    return c.t0() + static_cast<int64_t>(f * static_cast<double>(c.t1() - c.t0()));
}

// The cursor at a time: the list goes to the first frame at or after it.
void plot_cursor_to(View *v, int64_t us)
{
    const int64_t n = v->reader.find_time(us);
    v->cursor_us = us;
    if (n >= 0)
        select_row(v, row_of_frame(v, static_cast<uint64_t>(n)), true);
    gtk_widget_queue_draw(v->plot_area);
}

gboolean draw_plot(GtkWidget *area, cairo_t *cr, gpointer data)
{
    auto *v = static_cast<View *>(data);
    const int height = gtk_widget_get_allocated_height(area);
    GdkRGBA fg;
    PangoLayout *layout = begin_drawing(area, cr, &fg);
    const auto text_at = [&](double x, double y, const std::string &t, bool right) {
        pango_layout_set_text(layout, t.c_str(), -1);
        int w = 0, h = 0;
        pango_layout_get_pixel_size(layout, &w, &h);
        cairo_move_to(cr, right ? x - w : x, y);
        pango_cairo_show_layout(cr, layout);
        return h;
    };
    gdk_cairo_set_source_rgba(cr, &fg);
    const double x0 = kPlotLeft, y0 = kPlotTop, w = plot_width(v), h = std::max(1, height - kPlotTop - kPlotBottom);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, x0 - 0.5, y0 - 0.5, w + 1, h + 1);
    cairo_stroke(cr);
    if (!v->columns) {
        text_at(x0 + 8, y0 + 8, "Choose a signal of the loaded databases", false);
        g_object_unref(layout);
        return TRUE;
    }
    const trace_plot::Columns &c = *v->columns;
    // Each signal on a scale of its own, from its lowest to its highest
    // value in the range; the ends of each scale on the left, in its colour.
    double top_y = y0 - 2, bottom_y = y0 + h;
    for (size_t s = 0; s < c.series().size(); ++s) {
        const auto cols = c.columns(s);
        double lo = 0, hi = 0;
        bool any = false;
        for (const auto &col : cols)
            if (col.has) {
                lo = any ? std::min(lo, col.min) : col.min;
                hi = any ? std::max(hi, col.max) : col.max;
                any = true;
            }
        if (!any)
            continue;
        if (hi == lo) {
            hi += 1;
            lo -= 1;
        }
        const auto y_of = [&](double value) { return y0 + h - (value - lo) / (hi - lo) * h; };
        const double *rgb = kPlotColours[s % kPlotColourCount];
        cairo_set_source_rgb(cr, rgb[0], rgb[1], rgb[2]);
        const double step = w / static_cast<double>(cols.size());
        for (size_t i = 0; i < cols.size(); ++i) {
            if (!cols[i].has)
                continue;
            const double x = x0 + (static_cast<double>(i) + 0.5) * step;
            cairo_move_to(cr, x, y_of(cols[i].max) - 0.5);
            cairo_line_to(cr, x, y_of(cols[i].min) + 0.5);
        }
        cairo_stroke(cr);
        char b[64];
        std::snprintf(b, sizeof b, "%.6g", hi);
        top_y += text_at(x0 - 6, top_y, b, true);
        std::snprintf(b, sizeof b, "%.6g", lo);
        pango_layout_set_text(layout, b, -1);
        int tw = 0, th = 0;
        pango_layout_get_pixel_size(layout, &tw, &th);
        bottom_y -= th;
        text_at(x0 - 6, bottom_y, b, true);
    }
    if (v->cursor_us >= c.t0() && v->cursor_us < c.t1()) {
        const double x = x0 + static_cast<double>(v->cursor_us - c.t0()) / static_cast<double>(c.t1() - c.t0()) * w;
        cairo_set_source_rgb(cr, 0.85, 0.2, 0.1);
        cairo_move_to(cr, std::floor(x) + 0.5, y0);
        cairo_line_to(cr, std::floor(x) + 0.5, y0 + h);
        cairo_stroke(cr);
    }
    gdk_cairo_set_source_rgba(cr, &fg);
    const int64_t origin = std::max<int64_t>(v->first_us, 0);
    text_at(x0, y0 + h + 2, seconds_text(c.t0() - origin) + " s", false);
    text_at(x0 + w, y0 + h + 2, seconds_text(c.t1() - origin) + " s", true);
    const size_t n = c.series().size();
    std::string title = n == 1 ? c.series()[0].name() : std::to_string(n) + " signals";
    title += ": " + count_text(c.samples()) + " values";
    title += c.done() ? ", the lowest and highest of each column" : ", reading…";
    if (!c.error().empty())
        title += "; reading stopped: " + c.error();
    text_at(x0, 2, title, false);
    g_object_unref(layout);
    return TRUE;
}

gboolean plot_pressed(GtkWidget *, GdkEventButton *e, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (e->type == GDK_BUTTON_PRESS && e->button == 1)
        v->press_x = e->x;
    return TRUE;
}

// A click puts the cursor there; a drag across a range zooms into it.
gboolean plot_released(GtkWidget *, GdkEventButton *e, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (e->button != 1 || v->press_x < 0 || !v->columns)
        return TRUE;
    const double from = std::min(v->press_x, e->x), to = std::max(v->press_x, e->x);
    v->press_x = -1;
    if (to - from > 4)
        plot_range(v, plot_time_at(v, from), plot_time_at(v, to));
    else
        plot_cursor_to(v, plot_time_at(v, e->x));
    return TRUE;
}

void plot_resized(GtkWidget *, GdkRectangle *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->columns && v->columns->done() && v->columns->width() != plot_width(v))
        plot_range(v, v->columns->t0(), v->columns->t1());
}

// Says how a CSV export ended, in the bar and the status log.
void csv_ended(View *v)
{
    const trace_plot::CsvExport &e = *v->csv;
    const std::string rows = count_text(e.written()) + (e.written() == 1 ? " row" : " rows");
    if (e.cancelled())
        v->note = "Export cancelled; " + base_name(e.path()) + " removed";
    else if (!e.error().empty())
        v->note = "Export stopped: " + e.error() + "; " + rows + " in " + e.path();
    else
        v->note = "Exported " + rows + " of the plotted signals to " + e.path();
    insert_log(("Trace: " + v->note).c_str());
    v->csv.reset();
    // (The button stays sensitive: one made insensitive before its window
    // was mapped drew no label once sensitive again.)
    if (v->csv_btn != nullptr)
        gtk_button_set_label(GTK_BUTTON(v->csv_btn), "Export CSV…");
}

// The plotted signals over the range in view (or the whole trace) to `path`.
bool start_csv(View *v, const std::string &path, bool whole)
{
    int64_t t0 = 0, t1 = 0;
    if (!whole && v->columns) {
        t0 = v->columns->t0();
        t1 = v->columns->t1();
    } else {
        const uint64_t n = v->index.frames();
        const trace::Frame *first = n > 0 ? frame_at(v, 0) : nullptr;
        const trace::Frame *last = n > 0 ? frame_at(v, n - 1) : nullptr;
        if (first == nullptr || last == nullptr)
            return false;
        t0 = us_of(*first);
        // A trace still being indexed is read to its end as the index reaches it.
        t1 = v->index.done() ? us_of(*last) + 1 : INT64_MAX;
    }
    auto e = std::make_unique<trace_plot::CsvExport>(v->index, v->plotted, t0, t1);
    std::string why;
    if (!e->start(path, &why)) {
        v->note = "Export failed: " + why;
        insert_log(("Trace: " + v->note).c_str());
        follow(v);
        return false;
    }
    v->csv = std::move(e);
    v->note.clear();
    gtk_button_set_label(GTK_BUTTON(v->csv_btn), "Cancel export");
    follow(v);
    return true;
}

// Export CSV…: a file name, and whether the whole trace or the range in
// view; while it runs the button cancels it.
void export_csv(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->csv) {
        v->csv->cancel();
        return;
    }
    if (v->plotted.empty())
        return;
    GtkWidget *dialog = gtk_file_chooser_dialog_new("Export plotted signals", GTK_WINDOW(v->plot),
                                                    GTK_FILE_CHOOSER_ACTION_SAVE, "Cancel", GTK_RESPONSE_CANCEL,
                                                    "Export", GTK_RESPONSE_OK, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    gui::start_in_last_folder(chooser);
    gtk_file_chooser_set_current_name(chooser, "signals.csv");
    GtkWidget *in_view = gtk_check_button_new_with_label("Only the range in view (else the whole trace)");
    gtk_widget_set_name(in_view, "tv_csv_in_view");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(in_view), TRUE);
    gtk_widget_show(in_view);
    gtk_file_chooser_set_extra_widget(chooser, in_view);
    const std::string path = gui::run_file_chooser(dialog, export_dialog_run);
    const bool whole = !gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(in_view));
    gtk_widget_destroy(dialog);
    if (!path.empty())
        start_csv(v, path, whole);
}

// A window of the view's own ("trace.blf - Plot"), closed with it.
GtkWidget *child_window(View *v, const char *what, int width, int height)
{
    GtkWidget *w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_transient_for(GTK_WINDOW(w), GTK_WINDOW(v->window));
    gtk_window_set_destroy_with_parent(GTK_WINDOW(w), TRUE);
    gtk_window_set_title(GTK_WINDOW(w), (std::string(gtk_window_get_title(GTK_WINDOW(v->window))) + " - " + what).c_str());
    gtk_window_set_default_size(GTK_WINDOW(w), width, height);
    return w;
}

// What a window of the view holds: a bar of controls on top of the rest.
GtkWidget *column_with_bar(GtkWidget *window, GtkWidget **bar)
{
    GtkWidget *box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_set_border_width(GTK_CONTAINER(box), 6);
    gtk_container_add(GTK_CONTAINER(window), box);
    *bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_box_pack_start(GTK_BOX(box), *bar, FALSE, FALSE, 0);
    return box;
}

void show_plot(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->plot != nullptr) {
        gtk_window_present(GTK_WINDOW(v->plot));
        return;
    }
    v->plot = child_window(v, "Plot", 900, 400);
    GtkWidget *bar = nullptr;
    GtkWidget *box = column_with_bar(v->plot, &bar);
    gtk_box_pack_start(GTK_BOX(bar), gtk_label_new("Add signal"), FALSE, FALSE, 0);
    v->plot_signal = gtk_combo_box_text_new();
    gtk_buildable_set_name(GTK_BUILDABLE(v->plot_signal), "tv_plot_signal");
    v->plot_choices.clear();
    v->plotted.clear();
    for (const auto &l : gui::databases::all())
        for (const velk::dbc::Message &m : l.db->messages())
            for (const velk::dbc::Signal &sig : m.signals) {
                const std::string label = m.name + "." + sig.name;
                gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(v->plot_signal), label.c_str(), label.c_str());
                v->plot_choices.push_back({l.db, &m, &sig});
            }
    gtk_box_pack_start(GTK_BOX(bar), v->plot_signal, FALSE, FALSE, 0);
    GtkWidget *whole = gtk_button_new_with_label("Whole trace");
    gtk_buildable_set_name(GTK_BUILDABLE(whole), "tv_plot_whole");
    gtk_box_pack_start(GTK_BOX(bar), whole, FALSE, FALSE, 0);
    v->csv_btn = gtk_button_new_with_label("Export CSV…");
    gtk_buildable_set_name(GTK_BUILDABLE(v->csv_btn), "tv_plot_csv");
    gtk_widget_set_tooltip_text(v->csv_btn, "The plotted signals, the range in view or the whole trace, to a CSV "
                                            "file: one row per frame that carries any of them");
    gtk_box_pack_start(GTK_BOX(bar), v->csv_btn, FALSE, FALSE, 0);
    GtkWidget *hint = gtk_label_new("Click: the list goes there. Drag across: zoom into that range.");
    gtk_box_pack_start(GTK_BOX(bar), hint, FALSE, FALSE, 6);
    v->plot_legend = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 2);
    gtk_buildable_set_name(GTK_BUILDABLE(v->plot_legend), "tv_plot_legend");
    gtk_box_pack_start(GTK_BOX(box), v->plot_legend, FALSE, FALSE, 0);
    v->plot_area = gtk_drawing_area_new();
    gtk_buildable_set_name(GTK_BUILDABLE(v->plot_area), "tv_plot_area");
    gtk_style_context_add_class(gtk_widget_get_style_context(v->plot_area), GTK_STYLE_CLASS_VIEW);
    gtk_widget_add_events(v->plot_area, GDK_BUTTON_PRESS_MASK | GDK_BUTTON_RELEASE_MASK);
    gtk_box_pack_start(GTK_BOX(box), v->plot_area, TRUE, TRUE, 0);
    g_signal_connect(v->plot_area, "draw", G_CALLBACK(draw_plot), v);
    g_signal_connect(v->plot_area, "button-press-event", G_CALLBACK(plot_pressed), v);
    g_signal_connect(v->plot_area, "button-release-event", G_CALLBACK(plot_released), v);
    g_signal_connect(v->plot_area, "size-allocate", G_CALLBACK(plot_resized), v);
    g_signal_connect_swapped(v->plot_signal, "changed", G_CALLBACK(+[](View *view) { plot_add_chosen(view); }), v);
    g_signal_connect_swapped(whole, "clicked", G_CALLBACK(+[](View *view) { plot_whole(view); }), v);
    g_signal_connect(v->csv_btn, "clicked", G_CALLBACK(export_csv), v);
    g_signal_connect_swapped(v->plot, "destroy", G_CALLBACK(+[](View *view) {
                                 view->columns.reset();
                                 view->plot = view->plot_area = view->plot_signal = nullptr;
                                 view->plot_legend = view->csv_btn = nullptr;
                                 view->plotted.clear();
                             }),
                             v);
    fill_legend(v);
    gtk_widget_show_all(v->plot);
}

void apply_filter(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    const std::string text = gtk_entry_get_text(GTK_ENTRY(v->filter));
    std::shared_ptr<const trace_filter::Filter> filter;
    if (text.find_first_not_of(" \t") != std::string::npos) {
        std::string why;
        filter = trace_filter::parse(text, &why);
        if (!filter) {
            gtk_progress_bar_set_text(GTK_PROGRESS_BAR(v->progress), ("Filter: " + why).c_str());
            return;
        }
    }
    v->run.reset();
    v->filter_set = filter;
    if (filter)
        v->run = std::make_unique<trace_filter::Run>(v->index, filter);
    v->selected = -1;
    v->note.clear();
    gtk_adjustment_set_value(v->adj, 0);
    show_details(v);
    follow(v);
}

// Where the matches lie in the whole trace, beside the scroll bar.
gboolean draw_strip(GtkWidget *strip, cairo_t *cr, gpointer data)
{
    auto *v = static_cast<View *>(data);
    const int width = gtk_widget_get_allocated_width(strip);
    const int height = gtk_widget_get_allocated_height(strip);
    gtk_render_background(gtk_widget_get_style_context(strip), cr, 0, 0, width, height);
    const uint64_t total = v->index.frames();
    if (!v->run || total == 0 || height <= 0)
        return TRUE;
    cairo_set_source_rgb(cr, 0.85, 0.35, 0.1);
    for (int y = 0; y < height; ++y) {
        const uint64_t from = total * static_cast<uint64_t>(y) / static_cast<uint64_t>(height);
        const uint64_t to = total * static_cast<uint64_t>(y + 1) / static_cast<uint64_t>(height);
        if (v->run->count_between(from, std::max(to, from + 1)) > 0)
            cairo_rectangle(cr, 1, y, width - 2, 1);
    }
    cairo_fill(cr);
    return TRUE;
}

enum StatColumn {
    ST_ID, ST_MOD, ST_MESSAGE, ST_COUNT, ST_SHARE, ST_MEAN, ST_MIN, ST_MAX, ST_FIRST, ST_LAST, ST_CHANGES, ST_KEY,
    ST_COLUMNS
};

std::string period_text(int64_t us)
{
    char b[32];
    std::snprintf(b, sizeof b, "%.3f ms", static_cast<double>(us) / 1000.0);
    return b;
}

// One row per identifier: from the index's counts at once, then from the
// reading of the range with its periods, times and data changes.
void fill_statistics(View *v)
{
    const bool read = v->stats_run && v->stats_run->done();
    std::map<uint32_t, trace_stats::Id> ids;
    if (read) {
        ids = v->stats_run->ids();
    } else {
        for (const auto &[key, count] : v->index.counts())
            ids[key].count = count;
    }
    uint64_t total = 0;
    for (const auto &c : ids)
        total += c.second.count;
    gtk_list_store_clear(v->stats_store);
    const int64_t origin = std::max<int64_t>(v->first_us, 0);
    for (const auto &[key, id] : ids) {
        char text[16] = "", share[16];
        const bool ext = (key & 0x80000000u) != 0;
        const char *mod = "";
        const char *name = "";
        if (key == trace::Index::kErrorKey) {
            name = "(error frames)";
        } else if (key == trace::Index::kOtherKey) {
            name = "(further identifiers)";
        } else {
            std::snprintf(text, sizeof text, ext ? "%08X" : "%03X", key & 0x1FFFFFFFu);
            mod = ext ? "EID" : "SID";
            if (const velk::dbc::Message *m = gui::databases::find(key & 0x1FFFFFFFu, ext))
                name = m->name.c_str();
        }
        std::snprintf(share, sizeof share, "%.2f %%",
                      total > 0 ? 100.0 * static_cast<double>(id.count) / static_cast<double>(total) : 0.0);
        const bool periods = read && id.count > 1;
        const std::string mean =
            periods ? period_text((id.last_us - id.first_us) / static_cast<int64_t>(id.count - 1)) : "";
        const std::string lo = periods ? period_text(id.min_period_us) : "";
        const std::string hi = periods ? period_text(id.max_period_us) : "";
        const std::string first = read ? seconds_text(id.first_us - origin) : "";
        const std::string last = read ? seconds_text(id.last_us - origin) : "";
        gtk_list_store_insert_with_values(v->stats_store, nullptr, -1, ST_ID, text, ST_MOD, mod, ST_MESSAGE, name,
                                          ST_COUNT, guint64{id.count}, ST_SHARE, share, ST_MEAN, mean.c_str(), ST_MIN,
                                          lo.c_str(), ST_MAX, hi.c_str(), ST_FIRST, first.c_str(), ST_LAST,
                                          last.c_str(), ST_CHANGES, guint64{id.changes}, ST_KEY, guint{key}, -1);
    }
    const bool whole = gtk_combo_box_get_active(GTK_COMBO_BOX(v->stats_range)) <= 0;
    std::string title = "Statistics: " + count_text(total) + " frames, " + count_text(ids.size()) + " identifiers";
    if (!v->index.done() && whole)
        title += " so far";
    gtk_window_set_title(GTK_WINDOW(v->stats), title.c_str());
    std::string status;
    if (!v->stats_run)
        status = "";
    else if (!read)
        status = "Reading " + std::string(whole ? "the whole trace" : "the frames in view") + ": " +
                 count_text(v->stats_run->scanned()) + " frames";
    else if (!v->stats_run->error().empty())
        status = "Reading stopped: " + v->stats_run->error();
    else
        status = std::string(whole ? "The whole trace" : "The frames in view") + ", " +
                 seconds_text(v->stats_run->t0() - origin) + " s to " + seconds_text(v->stats_run->t1() - 1 - origin) +
                 " s. Below: the bus load of CAN1 and CAN2 over that time at the bit rates given";
    gtk_label_set_text(GTK_LABEL(v->stats_status), status.c_str());
    gtk_widget_queue_draw(v->stats_load);
}

// Reads the range chosen: the whole trace, or the frames the list shows.
void read_statistics(View *v)
{
    v->stats_run.reset();
    v->stats_final = false;
    uint64_t from = 0, to = v->index.frames();
    if (gtk_combo_box_get_active(GTK_COMBO_BOX(v->stats_range)) == 1) {
        const uint64_t first_row = static_cast<uint64_t>(gtk_adjustment_get_value(v->adj));
        const uint64_t last_row = std::min(first_row + static_cast<uint64_t>(rows_shown(v)), row_count(v));
        uint64_t a = 0, b = 0;
        if (last_row <= first_row || !frame_of_row(v, first_row, &a) || !frame_of_row(v, last_row - 1, &b))
            return fill_statistics(v);
        from = a;
        to = b + 1;
    }
    const trace::Frame *first = to > from ? frame_at(v, from) : nullptr;
    const int64_t t0 = first != nullptr ? us_of(*first) : 0;
    const trace::Frame *last = first != nullptr ? frame_at(v, to - 1) : nullptr;
    if (last == nullptr)
        return fill_statistics(v);
    const int width = std::max(100, gtk_widget_get_allocated_width(v->stats_load) - 60);
    v->stats_run = std::make_unique<trace_stats::Stats>(v->index, from, to, t0, us_of(*last) + 1, width);
    fill_statistics(v);
    follow(v);
}

// The bus load of each channel over the range read: one bar per time, in
// percent of the bus at the bit rates given.
gboolean draw_load(GtkWidget *area, cairo_t *cr, gpointer data)
{
    auto *v = static_cast<View *>(data);
    GdkRGBA fg;
    PangoLayout *layout = begin_drawing(area, cr, &fg);
    const int width = gtk_widget_get_allocated_width(area);
    const int height = gtk_widget_get_allocated_height(area);
    const double nominal = gtk_spin_button_get_value(GTK_SPIN_BUTTON(v->stats_nominal)) * 1e3;
    const double fast = gtk_spin_button_get_value(GTK_SPIN_BUTTON(v->stats_data)) * 1e6;
    const bool read = v->stats_run && v->stats_run->done();
    const double row_h = (height - 4) / 2.0;
    for (int ch = 0; ch < 2; ++ch) {
        const double y0 = 2 + ch * row_h;
        double peak = 0;
        if (read && nominal > 0) {
            const auto &bits = v->stats_run->load(ch);
            const double seconds = static_cast<double>(v->stats_run->t1() - v->stats_run->t0()) / 1e6 /
                                   static_cast<double>(bits.size());
            const double w = static_cast<double>(width - 60) / static_cast<double>(bits.size());
            cairo_set_source_rgb(cr, ch == 0 ? 0.1 : 0.85, ch == 0 ? 0.45 : 0.4, ch == 0 ? 0.8 : 0.1);
            for (size_t i = 0; i < bits.size(); ++i) {
                const double busy = static_cast<double>(bits[i].nominal) / nominal +
                                    static_cast<double>(bits[i].data) / (fast > 0 ? fast : nominal);
                const double load = seconds > 0 ? busy / seconds : 0;
                peak = std::max(peak, load);
                const double h = std::min(1.0, load) * (row_h - 2);
                cairo_rectangle(cr, 60 + static_cast<double>(i) * w, y0 + row_h - 1 - h, std::max(1.0, w), h);
            }
            cairo_fill(cr);
        }
        gdk_cairo_set_source_rgba(cr, &fg);
        char b[48];
        std::snprintf(b, sizeof b, read ? "CAN%d\n%.0f %%" : "CAN%d", ch + 1, peak * 100);
        pango_layout_set_text(layout, b, -1);
        cairo_move_to(cr, 4, y0);
        pango_cairo_show_layout(cr, layout);
    }
    g_object_unref(layout);
    return TRUE;
}

GtkWidget *rate_field(GtkWidget *bar, const char *label, const char *name, double value, double max)
{
    gtk_box_pack_start(GTK_BOX(bar), gtk_label_new(label), FALSE, FALSE, 0);
    GtkWidget *spin = gtk_spin_button_new_with_range(0.001, max, 1);
    gtk_buildable_set_name(GTK_BUILDABLE(spin), name);
    gtk_spin_button_set_digits(GTK_SPIN_BUTTON(spin), 3);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), value);
    gtk_box_pack_start(GTK_BOX(bar), spin, FALSE, FALSE, 0);
    return spin;
}

void show_statistics(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->stats != nullptr) {
        gtk_widget_destroy(v->stats);
        v->stats = nullptr;
    }
    v->stats_store = gtk_list_store_new(ST_COLUMNS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_UINT64,
                                        G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                                        G_TYPE_STRING, G_TYPE_UINT64, G_TYPE_UINT);
    GtkWidget *tree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(v->stats_store));
    g_object_unref(v->stats_store);
    gtk_buildable_set_name(GTK_BUILDABLE(tree), "tv_stats_tree");
    static constexpr struct {
        const char *title;
        int column;
        int sort;
    } kStatColumns[] = {{"ID", ST_ID, ST_KEY},
                        {"MOD", ST_MOD, ST_MOD},
                        {"MESSAGE", ST_MESSAGE, ST_MESSAGE},
                        {"COUNT", ST_COUNT, ST_COUNT},
                        {"SHARE", ST_SHARE, ST_COUNT},
                        {"MEAN PERIOD", ST_MEAN, -1},
                        {"MIN PERIOD", ST_MIN, -1},
                        {"MAX PERIOD", ST_MAX, -1},
                        {"FIRST", ST_FIRST, -1},
                        {"LAST", ST_LAST, -1},
                        {"CHANGES", ST_CHANGES, ST_CHANGES}};
    for (const auto &c : kStatColumns) {
        GtkCellRenderer *cell = gtk_cell_renderer_text_new();
        GtkTreeViewColumn *col = gtk_tree_view_column_new_with_attributes(c.title, cell, "text", c.column, nullptr);
        if (c.sort >= 0)
            gtk_tree_view_column_set_sort_column_id(col, c.sort);
        gtk_tree_view_column_set_resizable(col, TRUE);
        gtk_tree_view_append_column(GTK_TREE_VIEW(tree), col);
    }
    v->stats = child_window(v, "Statistics", 980, 560);  // its title then says what it counted
    GtkWidget *bar = nullptr;
    GtkWidget *box = column_with_bar(v->stats, &bar);
    v->stats_range = gtk_combo_box_text_new();
    gtk_buildable_set_name(GTK_BUILDABLE(v->stats_range), "tv_stats_range");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(v->stats_range), "Whole trace");
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(v->stats_range), "Frames in view");
    gtk_combo_box_set_active(GTK_COMBO_BOX(v->stats_range), 0);
    gtk_box_pack_start(GTK_BOX(bar), v->stats_range, FALSE, FALSE, 0);
    v->stats_nominal = rate_field(bar, "Bus load at", "tv_stats_nominal", 500, 10000);
    v->stats_data = rate_field(bar, "kbit/s, data phase", "tv_stats_data", 2, 20);
    gtk_box_pack_start(GTK_BOX(bar), gtk_label_new("Mbit/s"), FALSE, FALSE, 0);
    v->stats_status = gtk_label_new("");
    gtk_buildable_set_name(GTK_BUILDABLE(v->stats_status), "tv_stats_status");
    gtk_label_set_xalign(GTK_LABEL(v->stats_status), 0);
    gtk_label_set_ellipsize(GTK_LABEL(v->stats_status), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(box), v->stats_status, FALSE, FALSE, 0);
    GtkWidget *scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_container_add(GTK_CONTAINER(scroll), tree);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
    v->stats_load = gtk_drawing_area_new();
    gtk_buildable_set_name(GTK_BUILDABLE(v->stats_load), "tv_stats_load");
    gtk_style_context_add_class(gtk_widget_get_style_context(v->stats_load), GTK_STYLE_CLASS_VIEW);
    gtk_widget_set_size_request(v->stats_load, -1, 90);
    gtk_box_pack_start(GTK_BOX(box), v->stats_load, FALSE, FALSE, 0);
    g_signal_connect(v->stats_load, "draw", G_CALLBACK(draw_load), v);
    const auto redraw = +[](View *view) { gtk_widget_queue_draw(view->stats_load); };
    g_signal_connect_swapped(v->stats_nominal, "value-changed", G_CALLBACK(redraw), v);
    g_signal_connect_swapped(v->stats_data, "value-changed", G_CALLBACK(redraw), v);
    g_signal_connect_swapped(v->stats_range, "changed", G_CALLBACK(+[](View *view) { read_statistics(view); }), v);
    g_object_add_weak_pointer(G_OBJECT(v->stats), reinterpret_cast<gpointer *>(&v->stats));
    g_signal_connect_swapped(v->stats, "destroy", G_CALLBACK(+[](View *view) { view->stats_run.reset(); }), v);
    gtk_widget_show_all(v->stats);
    read_statistics(v);
}

// ---- the ISO-TP messages ----

struct TpColumn {
    const char *title;
    int width;  // in average characters
};
constexpr TpColumn kTpColumns[] = {{"NO", 9},    {"CH", 3},     {"ID", 9},    {"ADDR", 6},  {"FLOW", 9},
                                   {"LEN", 9},   {"DATA", 39},  {"TIME", 16}, {"TOOK", 11}, {"ERROR", 24}};
constexpr int kTpColumnCount = sizeof kTpColumns / sizeof kTpColumns[0];

std::string tp_cell(const trace_isotp::Row &r, int c)
{
    char b[48];
    switch (c) {
    case 0: return std::to_string(r.frame + 1);
    case 1: return std::to_string(r.channel + 1);
    case 2:
        std::snprintf(b, sizeof b, r.extended ? "%08X" : "%03X", r.id);
        return b;
    case 3:
        if (r.ext < 0)
            return "";
        std::snprintf(b, sizeof b, "%02X", r.ext);
        return b;
    case 4:
        if (r.flow_id < 0)
            return "";
        std::snprintf(b, sizeof b, r.flow_id > 0x7FF ? "%08llX" : "%03llX", static_cast<unsigned long long>(r.flow_id));
        return b;
    case 5: return r.got == r.length ? std::to_string(r.length) : std::to_string(r.got) + "/" + std::to_string(r.length);
    case 6: {
        std::string s;
        const size_t n = std::min<size_t>({r.got, trace_isotp::kKept, static_cast<size_t>(kDataShown)});
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(b, sizeof b, i == 0 ? "%02X" : " %02X", r.head[i]);
            s += b;
        }
        return r.got > n ? s + " …" : s;
    }
    case 7: return time_text(r.start_us);
    case 8: return seconds_text(r.end_us - r.start_us);
    case 9: return r.error == velk::isotp::Error::None ? "" : velk::isotp::error_name(r.error);
    default: return "";
    }
}

gboolean draw_tp(GtkWidget *area, cairo_t *cr, gpointer data)
{
    auto *v = static_cast<View *>(data);
    GtkStyleContext *style = gtk_widget_get_style_context(area);
    const int width = gtk_widget_get_allocated_width(area);
    const int height = gtk_widget_get_allocated_height(area);
    GdkRGBA fg;
    PangoLayout *layout = begin_drawing(area, cr, &fg);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    PangoAttrList *bold = pango_attr_list_new();
    pango_attr_list_insert(bold, pango_attr_weight_new(PANGO_WEIGHT_BOLD));
    const auto line = [&](int y, const std::function<std::string(int)> &cell, bool titles) {
        pango_layout_set_attributes(layout, titles ? bold : nullptr);
        int x = 4;
        for (int c = 0; c < kTpColumnCount; ++c) {
            const int w = kTpColumns[c].width * v->char_w;
            pango_layout_set_width(layout, (w - 6) * PANGO_SCALE);
            pango_layout_set_text(layout, cell(c).c_str(), -1);
            cairo_move_to(cr, x, y);
            pango_cairo_show_layout(cr, layout);
            x += w;
        }
    };
    gdk_cairo_set_source_rgba(cr, &fg);
    line(0, [](int c) { return std::string(kTpColumns[c].title); }, true);
    cairo_set_line_width(cr, 1);
    cairo_move_to(cr, 0, v->row_h - 0.5);
    cairo_line_to(cr, width, v->row_h - 0.5);
    cairo_stroke(cr);
    const size_t first = static_cast<size_t>(gtk_adjustment_get_value(v->tp_adj));
    trace_isotp::Row r;
    for (int i = 0; (i + 1) * v->row_h < height && v->tp_run && v->tp_run->row(first + static_cast<size_t>(i), &r);
         ++i) {
        const int y = (i + 1) * v->row_h;
        const bool selected = static_cast<int64_t>(first) + i == v->tp_selected;
        cairo_save(cr);
        if (selected) {
            gtk_style_context_save(style);
            gtk_style_context_set_state(style, GTK_STATE_FLAG_SELECTED);
            gtk_render_background(style, cr, 0, y, width, v->row_h);
            GdkRGBA sel;
            gtk_style_context_get_color(style, GTK_STATE_FLAG_SELECTED, &sel);
            gtk_style_context_restore(style);
            gdk_cairo_set_source_rgba(cr, &sel);
        } else if (r.error != velk::isotp::Error::None) {
            cairo_set_source_rgb(cr, 0.75, 0.15, 0.1);  // a protocol error
        }
        line(y, [&](int c) { return tp_cell(r, c); }, false);
        cairo_restore(cr);
    }
    pango_attr_list_unref(bold);
    g_object_unref(layout);
    return TRUE;
}

// The bar's count, the scroll range; while the messages are being found.
void refresh_tp(View *v)
{
    if (v->tp == nullptr)
        return;
    const size_t n = v->tp_run ? v->tp_run->count() : 0;
    std::string text;
    if (!v->tp_run)
        text = "";
    else if (!v->tp_run->done())
        text = "Reassembling: " + count_text(n) + " messages in " + count_text(v->tp_run->scanned()) + " of " +
               count_text(v->index.frames()) + " frames";
    else if (!v->tp_run->error().empty())
        text = count_text(n) + " messages; reading stopped: " + v->tp_run->error();
    else
        text = count_text(n) + " messages in " + count_text(v->tp_run->scanned()) + " frames";
    gtk_label_set_text(GTK_LABEL(v->tp_status), text.c_str());
    const double page = std::max(1, gtk_widget_get_allocated_height(v->tp_area) / v->row_h - 1);
    gtk_adjustment_configure(v->tp_adj, std::min(gtk_adjustment_get_value(v->tp_adj), std::max(0.0, n - page)), 0,
                             std::max(static_cast<double>(n), page), 1, page, page);
    gtk_widget_queue_draw(v->tp_area);
}

// Finds the messages anew, of the identifiers typed (all when none).
void read_tp(View *v)
{
    std::vector<std::pair<uint32_t, bool>> ids;
    std::string why;
    if (!trace_isotp::parse_ids(gtk_entry_get_text(GTK_ENTRY(v->tp_ids)), &ids, &why)) {
        gtk_label_set_text(GTK_LABEL(v->tp_status), ("Identifiers: " + why).c_str());
        return;
    }
    velk::isotp::ReassemblerOptions o;
    o.ids = ids;
    o.mode = static_cast<velk::isotp::Addressing>(std::max(0, gtk_combo_box_get_active(GTK_COMBO_BOX(v->tp_mode))));
    v->tp_run = std::make_unique<trace_isotp::Messages>(v->index, o);
    v->tp_selected = -1;
    gtk_label_set_text(GTK_LABEL(v->tp_details), "");
    gtk_adjustment_set_value(v->tp_adj, 0);
    follow(v);
}

// A message chosen: the frame list goes to its first frame, and its data,
// read again from the file when long, shows below.
void select_tp(View *v, int64_t i)
{
    trace_isotp::Row r;
    if (!v->tp_run || i < 0 || !v->tp_run->row(static_cast<size_t>(i), &r))
        return;
    v->tp_selected = i;
    select_row(v, row_of_frame(v, r.frame), true);
    std::vector<uint8_t> data;
    std::string why, text;
    if (!trace_isotp::message_data(v->index, v->tp_run->options(), r, &data, &why)) {
        text = "The data cannot be read: " + why;
    } else {
        text = "Frame " + std::to_string(r.frame + 1) + ", " + std::to_string(data.size()) + " bytes:";
        char b[4];
        for (size_t k = 0; k < data.size() && k < 4096; ++k) {
            std::snprintf(b, sizeof b, k % 32 == 0 ? "\n%02X" : " %02X", data[k]);
            text += b;
        }
        if (data.size() > 4096)
            text += " …";
    }
    gtk_label_set_text(GTK_LABEL(v->tp_details), text.c_str());
    gtk_widget_queue_draw(v->tp_area);
}

gboolean tp_pressed(GtkWidget *area, GdkEventButton *e, gpointer data)
{
    auto *v = static_cast<View *>(data);
    gtk_widget_grab_focus(area);
    if (e->type == GDK_BUTTON_PRESS && e->button == 1 && e->y >= v->row_h)
        select_tp(v, static_cast<int64_t>(gtk_adjustment_get_value(v->tp_adj)) + static_cast<int64_t>(e->y) / v->row_h - 1);
    return TRUE;
}

void show_isotp(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->tp != nullptr) {
        gtk_window_present(GTK_WINDOW(v->tp));
        return;
    }
    v->tp = child_window(v, "ISO-TP", 1200, 500);
    GtkWidget *bar = nullptr;
    GtkWidget *box = column_with_bar(v->tp, &bar);
    gtk_box_pack_start(GTK_BOX(bar), gtk_label_new("Identifiers"), FALSE, FALSE, 0);
    v->tp_ids = gtk_entry_new();
    gtk_buildable_set_name(GTK_BUILDABLE(v->tp_ids), "tv_isotp_ids");
    gtk_entry_set_placeholder_text(GTK_ENTRY(v->tp_ids), "every identifier");
    gtk_widget_set_tooltip_text(v->tp_ids, "The identifiers of the messages, hex, separated by commas (7E0, 7E8, "
                                           "18DA00F1); empty: every identifier. Enter to apply");
    gtk_box_pack_start(GTK_BOX(bar), v->tp_ids, FALSE, FALSE, 0);
    v->tp_mode = gtk_combo_box_text_new();
    for (const char *m : {"Normal addressing", "Extended addressing", "Mixed addressing"})
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(v->tp_mode), m);
    gtk_combo_box_set_active(GTK_COMBO_BOX(v->tp_mode), 0);
    gtk_box_pack_start(GTK_BOX(bar), v->tp_mode, FALSE, FALSE, 0);
    v->tp_status = gtk_label_new("");
    gtk_box_pack_start(GTK_BOX(bar), v->tp_status, FALSE, FALSE, 6);
    GtkWidget *list = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    GtkWidget *frame = gtk_frame_new(nullptr);
    gtk_container_add(GTK_CONTAINER(frame), list);
    gtk_box_pack_start(GTK_BOX(box), frame, TRUE, TRUE, 0);
    v->tp_area = gtk_drawing_area_new();
    gtk_buildable_set_name(GTK_BUILDABLE(v->tp_area), "tv_isotp_area");
    gtk_style_context_add_class(gtk_widget_get_style_context(v->tp_area), GTK_STYLE_CLASS_VIEW);
    gtk_widget_set_can_focus(v->tp_area, TRUE);
    gtk_widget_add_events(v->tp_area, GDK_BUTTON_PRESS_MASK | GDK_SCROLL_MASK);
    gtk_box_pack_start(GTK_BOX(list), v->tp_area, TRUE, TRUE, 0);
    v->tp_adj = gtk_adjustment_new(0, 0, 1, 1, 1, 1);
    gtk_box_pack_start(GTK_BOX(list), gtk_scrollbar_new(GTK_ORIENTATION_VERTICAL, v->tp_adj), FALSE, FALSE, 0);
    v->tp_details = gtk_label_new("");
    gtk_label_set_selectable(GTK_LABEL(v->tp_details), TRUE);
    gtk_label_set_xalign(GTK_LABEL(v->tp_details), 0);
    gtk_widget_set_size_request(v->tp_details, -1, 80);
    gtk_label_set_yalign(GTK_LABEL(v->tp_details), 0);
    gtk_box_pack_start(GTK_BOX(box), v->tp_details, FALSE, FALSE, 0);
    g_signal_connect(v->tp_area, "draw", G_CALLBACK(draw_tp), v);
    g_signal_connect(v->tp_area, "button-press-event", G_CALLBACK(tp_pressed), v);
    g_signal_connect(v->tp_area, "scroll-event", G_CALLBACK(+[](GtkWidget *, GdkEventScroll *e, gpointer data) {
                         auto *view = static_cast<View *>(data);
                         const double dy = e->direction == GDK_SCROLL_UP     ? -3
                                           : e->direction == GDK_SCROLL_DOWN ? 3
                                           : e->direction == GDK_SCROLL_SMOOTH ? e->delta_y * 3
                                                                               : 0;
                         const double top =
                             gtk_adjustment_get_upper(view->tp_adj) - gtk_adjustment_get_page_size(view->tp_adj);
                         gtk_adjustment_set_value(view->tp_adj, std::clamp(gtk_adjustment_get_value(view->tp_adj) + dy,
                                                                           0.0, std::max(0.0, top)));
                         return TRUE;
                     }),
                     v);
    g_signal_connect_swapped(v->tp_adj, "value-changed", G_CALLBACK(gtk_widget_queue_draw), v->tp_area);
    g_signal_connect_swapped(v->tp_area, "size-allocate", G_CALLBACK(+[](View *view) { refresh_tp(view); }), v);
    g_signal_connect_swapped(v->tp_ids, "activate", G_CALLBACK(+[](View *view) { read_tp(view); }), v);
    g_signal_connect_swapped(v->tp_mode, "changed", G_CALLBACK(+[](View *view) { read_tp(view); }), v);
    g_signal_connect_swapped(v->tp, "destroy", G_CALLBACK(+[](View *view) {
                                 view->tp_run.reset();
                                 view->tp_adj = nullptr;
                                 view->tp = view->tp_area = view->tp_ids = view->tp_mode = nullptr;
                                 view->tp_status = view->tp_details = nullptr;
                             }),
                             v);
    gtk_widget_show_all(v->tp);
    read_tp(v);
}

void destroyed(GtkWidget *, gpointer data)
{
    auto *v = static_cast<View *>(data);
    if (v->tick != 0)
        g_source_remove(v->tick);
    if (v->first_idle != 0)
        g_source_remove(v->first_idle);
    if (v->stats != nullptr)
        gtk_widget_destroy(v->stats);
    if (v->plot != nullptr)
        gtk_widget_destroy(v->plot);
    if (v->tp != nullptr)
        gtk_widget_destroy(v->tp);
    v->csv.reset();
    v->exporting.reset();
    v->run.reset();
    v->index.stop();
    delete v;
}

void measure(View *v)
{
    PangoLayout *layout = gtk_widget_create_pango_layout(v->area, "0123456789ABCDEF");
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    g_object_unref(layout);
    v->char_w = std::max(4, (w + 15) / 16);
    v->row_h = std::max(10, h + 2);
}

}  // namespace

GtkWidget *open(const std::vector<std::string> &paths)
{
    if (paths.empty())
        return nullptr;
    auto v = std::make_unique<View>();
    v->paths = paths;
    if (!v->index.start(paths, {}, kIndexNice) || !v->reader.open(v->index)) {
        const std::string why = v->index.error().empty() ? v->reader.error() : v->index.error();
        insert_log(("Open trace failed: " + why).c_str());
        return nullptr;
    }
    View *view = v.release();

    std::string title = base_name(paths[0]);
    for (size_t i = 1; i < paths.size(); ++i)
        title += " + " + base_name(paths[i]);
    view->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(view->window), (title + " - Trace").c_str());
    gtk_window_set_default_size(GTK_WINDOW(view->window), 1200, 700);
    g_object_set_data(G_OBJECT(view->window), "trace-view", view);

    GtkWidget *bar = nullptr;
    GtkWidget *box = column_with_bar(view->window, &bar);
    view->progress = gtk_progress_bar_new();
    gtk_buildable_set_name(GTK_BUILDABLE(view->progress), "tv_progress");
    gtk_progress_bar_set_show_text(GTK_PROGRESS_BAR(view->progress), TRUE);
    gtk_progress_bar_set_text(GTK_PROGRESS_BAR(view->progress), "Indexing…");
    gtk_progress_bar_set_ellipsize(GTK_PROGRESS_BAR(view->progress), PANGO_ELLIPSIZE_END);
    gtk_widget_set_valign(view->progress, GTK_ALIGN_CENTER);
    gtk_box_pack_start(GTK_BOX(bar), view->progress, TRUE, TRUE, 0);
    view->filter = gtk_entry_new();
    gtk_buildable_set_name(GTK_BUILDABLE(view->filter), "tv_filter_entry");
    gtk_entry_set_width_chars(GTK_ENTRY(view->filter), 36);
    gtk_entry_set_placeholder_text(GTK_ENTRY(view->filter), "filter, Enter to apply");
    gtk_widget_set_tooltip_text(view->filter,
                                "CAN1 or CAN2, rx or tx, identifiers (123, 18FF0001, 123:7FF, 100~700, separated by "
                                "commas), error, fd, a message name, a signal condition (EngineData.EngineSpeed > 3000, "
                                "Gear == \"Drive\"); joined by and (or by nothing) and or. Empty: every frame");
    gtk_box_pack_start(GTK_BOX(bar), view->filter, FALSE, FALSE, 0);
    g_signal_connect(view->filter, "activate", G_CALLBACK(apply_filter), view);
    view->entry = gtk_entry_new();
    gtk_buildable_set_name(GTK_BUILDABLE(view->entry), "tv_goto_entry");
    gtk_entry_set_width_chars(GTK_ENTRY(view->entry), 16);
    gtk_entry_set_placeholder_text(GTK_ENTRY(view->entry), "frame or time");
    gtk_widget_set_tooltip_text(view->entry,
                                "A frame number (1234), seconds from the first frame (12.5) or a time of day (14:05:30.25)");
    gtk_box_pack_start(GTK_BOX(bar), view->entry, FALSE, FALSE, 0);
    GtkWidget *go = gtk_button_new_with_label("Go to");
    gtk_buildable_set_name(GTK_BUILDABLE(go), "tv_goto_btn");
    gtk_box_pack_start(GTK_BOX(bar), go, FALSE, FALSE, 0);
    g_signal_connect(go, "clicked", G_CALLBACK(go_to), view);
    GtkWidget *stats = gtk_button_new_with_label("Statistics");
    gtk_buildable_set_name(GTK_BUILDABLE(stats), "tv_stats_btn");
    gtk_widget_set_tooltip_text(stats, "Frames per identifier in the whole trace (as far as it is indexed)");
    gtk_box_pack_start(GTK_BOX(bar), stats, FALSE, FALSE, 0);
    g_signal_connect(stats, "clicked", G_CALLBACK(show_statistics), view);
    GtkWidget *isotp = gtk_button_new_with_label("ISO-TP");
    gtk_buildable_set_name(GTK_BUILDABLE(isotp), "tv_isotp_btn");
    gtk_widget_set_tooltip_text(isotp, "The ISO-TP messages of the trace, reassembled, one row each");
    gtk_box_pack_start(GTK_BOX(bar), isotp, FALSE, FALSE, 0);
    g_signal_connect(isotp, "clicked", G_CALLBACK(show_isotp), view);
    GtkWidget *plot = gtk_button_new_with_label("Plot");
    gtk_buildable_set_name(GTK_BUILDABLE(plot), "tv_plot_btn");
    gtk_widget_set_tooltip_text(plot, "A signal of the loaded databases over the whole trace");
    gtk_box_pack_start(GTK_BOX(bar), plot, FALSE, FALSE, 0);
    g_signal_connect(plot, "clicked", G_CALLBACK(show_plot), view);
    view->export_btn = gtk_button_new_with_label("Export…");
    gtk_buildable_set_name(GTK_BUILDABLE(view->export_btn), "tv_export_btn");
    gtk_widget_set_tooltip_text(view->export_btn, "The frames the filter keeps, or every frame, between two frames "
                                                  "or times, to a file of any format velk writes");
    gtk_box_pack_start(GTK_BOX(bar), view->export_btn, FALSE, FALSE, 0);
    g_signal_connect(view->export_btn, "clicked", G_CALLBACK(export_frames), view);
    g_signal_connect(view->entry, "activate", G_CALLBACK(go_to), view);

    GtkWidget *pane = gtk_paned_new(GTK_ORIENTATION_VERTICAL);
    gtk_box_pack_start(GTK_BOX(box), pane, TRUE, TRUE, 0);
    GtkWidget *list = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
    GtkWidget *frame = gtk_frame_new(nullptr);
    gtk_container_add(GTK_CONTAINER(frame), list);
    gtk_paned_pack1(GTK_PANED(pane), frame, TRUE, FALSE);
    view->area = gtk_drawing_area_new();
    gtk_buildable_set_name(GTK_BUILDABLE(view->area), "tv_list");
    gtk_widget_set_can_focus(view->area, TRUE);
    gtk_widget_add_events(view->area, GDK_BUTTON_PRESS_MASK | GDK_SCROLL_MASK | GDK_SMOOTH_SCROLL_MASK | GDK_KEY_PRESS_MASK);
    gtk_style_context_add_class(gtk_widget_get_style_context(view->area), GTK_STYLE_CLASS_VIEW);
    gtk_box_pack_start(GTK_BOX(list), view->area, TRUE, TRUE, 0);
    view->adj = gtk_adjustment_new(0, 0, 1, 1, 1, 1);
    GtkWidget *scroll = gtk_scrollbar_new(GTK_ORIENTATION_VERTICAL, view->adj);
    gtk_box_pack_start(GTK_BOX(list), scroll, FALSE, FALSE, 0);
    view->strip = gtk_drawing_area_new();
    gtk_widget_set_size_request(view->strip, 8, -1);
    gtk_widget_set_tooltip_text(view->strip, "Where the frames that match the filter lie in the whole trace");
    gtk_box_pack_start(GTK_BOX(list), view->strip, FALSE, FALSE, 0);
    g_signal_connect(view->strip, "draw", G_CALLBACK(draw_strip), view);

    view->details = gtk_label_new("");
    gtk_label_set_line_wrap(GTK_LABEL(view->details), TRUE);
    gtk_label_set_line_wrap_mode(GTK_LABEL(view->details), PANGO_WRAP_WORD_CHAR);
    gtk_buildable_set_name(GTK_BUILDABLE(view->details), "tv_details");
    gtk_label_set_selectable(GTK_LABEL(view->details), TRUE);
    gtk_label_set_xalign(GTK_LABEL(view->details), 0);
    gtk_label_set_yalign(GTK_LABEL(view->details), 0);
    GtkWidget *details = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_widget_set_size_request(details, -1, 120);
    gtk_container_add(GTK_CONTAINER(details), view->details);
    gtk_paned_pack2(GTK_PANED(pane), details, FALSE, TRUE);

    measure(view);
    g_signal_connect(view->area, "draw", G_CALLBACK(draw), view);
    g_signal_connect(view->area, "button-press-event", G_CALLBACK(pressed), view);
    g_signal_connect(view->area, "scroll-event", G_CALLBACK(scrolled), view);
    g_signal_connect(view->area, "key-press-event", G_CALLBACK(key), view);
    g_signal_connect(view->area, "size-allocate", G_CALLBACK(resized), view);
    g_signal_connect(view->adj, "value-changed", G_CALLBACK(value_changed), view);
    g_signal_connect(view->window, "destroy", G_CALLBACK(destroyed), view);

    view->last_tick_us = g_get_monotonic_time();
    view->tick = g_timeout_add(kTickMs, tick, view);
    gtk_widget_show_all(view->window);
    // The first rows as soon as the window is up, before the first tick.
    view->first_idle = g_idle_add(
        +[](gpointer data) -> gboolean {
            auto *v = static_cast<View *>(data);
            v->first_idle = 0;
            refresh(v);
            return G_SOURCE_REMOVE;
        },
        view);
    insert_log(("Trace opened: " + title).c_str());
    return view->window;
}

std::vector<std::string> paths_of_uris(const char *const *uris)
{
    std::vector<std::string> paths;
    for (const char *const *u = uris; u != nullptr && *u != nullptr; ++u) {
        gchar *path = g_filename_from_uri(*u, nullptr, nullptr);
        if (path != nullptr)
            paths.emplace_back(path);
        g_free(path);
    }
    return paths;
}

void accept_drops(GtkWidget *window)
{
    gtk_drag_dest_set(window, GTK_DEST_DEFAULT_ALL, nullptr, 0, GDK_ACTION_COPY);
    gtk_drag_dest_add_uri_targets(window);
    g_signal_connect(window, "drag-data-received",
                     G_CALLBACK(+[](GtkWidget *, GdkDragContext *, gint, gint, GtkSelectionData *data, guint, guint,
                                    gpointer) {
                         gchar **uris = gtk_selection_data_get_uris(data);
                         const auto paths = paths_of_uris(uris);
                         g_strfreev(uris);
                         open(paths);
                     }),
                     nullptr);
}

void init(GtkBuilder *builder, int argc, char **argv)
{
    GtkWidget *btn = gui::widget(builder, "tr_open_trace_btn");
    gtk_widget_set_focus_on_click(btn, FALSE);
    g_signal_connect(btn, "clicked", G_CALLBACK(btn_open_trace_cb), nullptr);
    accept_drops(windows->main_window);
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i)
        paths.emplace_back(argv[i]);
    if (!paths.empty())
        open(paths);
}

void btn_open_trace_cb(GtkWidget *, gpointer)
{
    GtkWidget *dialog = gtk_file_chooser_dialog_new("Open trace", GTK_WINDOW(windows->main_window),
                                                    GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
                                                    "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_select_multiple(chooser, TRUE);
    GtkFileFilter *traces = gtk_file_filter_new();
    gtk_file_filter_set_name(traces, "Traces (.log .asc .csv .blf .mf4 .pcapng .pcap .trc, .gz .zst)");
    for (const char *ext : {"log", "asc", "csv", "trc"}) {
        for (const char *z : {"", ".gz", ".zst"})
            gtk_file_filter_add_pattern(traces, (std::string("*.") + ext + z).c_str());
    }
    for (const char *ext : {"*.blf", "*.mf4", "*.pcapng", "*.pcap"})
        gtk_file_filter_add_pattern(traces, ext);
    gtk_file_chooser_add_filter(chooser, traces);
    GtkFileFilter *all = gtk_file_filter_new();
    gtk_file_filter_set_name(all, "All files");
    gtk_file_filter_add_pattern(all, "*");
    gtk_file_chooser_add_filter(chooser, all);
    std::vector<std::string> paths;
    if (!gui::run_file_chooser(dialog, open_dialog_run).empty()) {
        GSList *files = gtk_file_chooser_get_filenames(chooser);
        for (GSList *f = files; f != nullptr; f = f->next) {
            paths.emplace_back(static_cast<const char *>(f->data));
            g_free(f->data);
        }
        g_slist_free(files);
    }
    gtk_widget_destroy(dialog);
    if (!paths.empty()) {
        clear_log();
        open(paths);
    }
}

uint64_t frames(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? 0 : v->index.frames();
}

bool indexed(GtkWidget *w)
{
    View *v = view_of(w);
    return v != nullptr && v->index.done();
}

std::string status(GtkWidget *w)
{
    View *v = view_of(w);
    const char *text = v == nullptr ? nullptr : gtk_progress_bar_get_text(GTK_PROGRESS_BAR(v->progress));
    return text == nullptr ? "" : text;
}

int64_t first_shown(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? -1 : static_cast<int64_t>(gtk_adjustment_get_value(v->adj));
}

int64_t selected(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? -1 : v->selected;
}

std::string cell(GtkWidget *w, uint64_t row, Column column)
{
    View *v = view_of(w);
    uint64_t n = 0;
    const trace::Frame *f = v != nullptr && frame_of_row(v, row, &n) ? frame_at(v, n) : nullptr;
    return f == nullptr ? "<no row>" : cell_text(v, n, *f, column);
}

GtkWidget *plot(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? nullptr : v->plot;
}

bool plot_columns(GtkWidget *w, std::vector<trace_plot::Column> *columns, int64_t *t0, int64_t *t1, size_t series)
{
    View *v = view_of(w);
    if (v == nullptr || !v->columns || !v->columns->done() || series >= v->columns->series().size())
        return false;
    *columns = v->columns->columns(series);
    *t0 = v->columns->t0();
    *t1 = v->columns->t1();
    return true;
}

GtkWidget *isotp(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? nullptr : v->tp;
}

bool isotp_read(GtkWidget *w)
{
    View *v = view_of(w);
    return v != nullptr && v->tp_run && v->tp_run->done();
}

bool isotp_row(GtkWidget *w, size_t i, trace_isotp::Row *r)
{
    View *v = view_of(w);
    return v != nullptr && v->tp_run && v->tp_run->row(i, r);
}

void isotp_select(GtkWidget *w, size_t i)
{
    if (View *v = view_of(w); v != nullptr && v->tp != nullptr)
        select_tp(v, static_cast<int64_t>(i));
}

std::string isotp_details(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr || v->tp == nullptr ? "" : gtk_label_get_text(GTK_LABEL(v->tp_details));
}

std::vector<std::string> plot_signals(GtkWidget *w)
{
    std::vector<std::string> names;
    if (View *v = view_of(w))
        for (const auto &s : v->plotted)
            names.push_back(s.name());
    return names;
}

void plot_remove(GtkWidget *w, size_t i)
{
    if (View *v = view_of(w); v != nullptr && v->plot != nullptr)
        plot_remove_at(v, i);
}

bool plot_export_csv(GtkWidget *w, const std::string &path, bool whole)
{
    View *v = view_of(w);
    return v != nullptr && v->plot != nullptr && !v->csv && !v->plotted.empty() && start_csv(v, path, whole);
}

void plot_zoom(GtkWidget *w, int64_t t0, int64_t t1)
{
    if (View *v = view_of(w); v != nullptr && v->plot != nullptr)
        plot_range(v, t0, t1);
}

void plot_click(GtkWidget *w, int64_t us)
{
    if (View *v = view_of(w); v != nullptr && v->plot != nullptr)
        plot_cursor_to(v, us);
}

int64_t plot_cursor(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? -1 : v->cursor_us;
}

bool exporting(GtkWidget *w)
{
    View *v = view_of(w);
    return v != nullptr && (v->exporting != nullptr || v->csv != nullptr);
}

bool statistics_read(GtkWidget *w)
{
    View *v = view_of(w);
    return v != nullptr && v->stats_run && v->stats_final;
}

std::vector<uint64_t> statistics_bits(GtkWidget *w, int channel)
{
    View *v = view_of(w);
    std::vector<uint64_t> bits;
    if (v != nullptr && v->stats_run && v->stats_run->done())
        for (const trace_stats::Bits &b : v->stats_run->load(channel))
            bits.push_back(b.nominal + b.data);
    return bits;
}

GtkWidget *statistics(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? nullptr : v->stats;
}

uint64_t rows(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? 0 : row_count(v);
}

bool filtered(GtkWidget *w)
{
    View *v = view_of(w);
    return v != nullptr && v->run && v->run->done() && v->index.done();
}

std::string details(GtkWidget *w)
{
    View *v = view_of(w);
    return v == nullptr ? "" : gtk_label_get_text(GTK_LABEL(v->details));
}

}  // namespace gui::trace_view
