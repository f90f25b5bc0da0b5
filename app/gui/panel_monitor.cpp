// Monitor: one row per channel, direction and identifier, overwritten by
// each new frame: how many came, their mean period, the last data with the
// bytes that changed since the frame before in bold, and the last time.
// Every frame the tick takes from the rings is counted here, in plain
// records; the view's model is brought up to date from them on a timer,
// about ten times a second while the monitor shows and the views are not
// paused, so heavy traffic costs the main loop one short update per timer
// rather than a model change per frame. The rows are sorted here too, on
// those records, with one reorder of the model when a header is clicked or
// an update adds rows: a sorted GTK model would compare through the model
// and reorder after every row, and the view lays out every row after a
// reorder. Rows sorted by a figure that changes (count, period, time) keep
// their places until the next click or new row, so they stay readable.
//
// An identifier a database describes shows its message name and has one
// child row per signal of its last frame: for a multiplexed message those
// of the multiplexer value last seen, while each page's signals keep their
// last values for when the page comes again.
#include "adapter_time.h"
#include "cell_text.h"
#include "databases.h"
#include "signal_text.h"
#include "guipart.h"
#include "widgets.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

MN_INFO mn_info;
void (*monitor_signal_activated)(const MN_SIGNAL_REF &ref) = nullptr;

namespace {

// Ten updates a second. A timer of 100 ms would run late by as long as the
// main loop is busy, and each lateness would push the next one back: a short
// tick looks at the clock instead, so the updates keep to 100 ms apart
// within a tick.
constexpr gint64 kRefreshUs = 100000;
constexpr guint kRefreshTickMs = 10;
gint64 last_refresh_us = 0;
// The period is the mean over at most this many intervals.
constexpr int kPeriods = 16;
// Identifiers the monitor keeps; frames of further ones are only counted.
constexpr size_t kMaxIdentifiers = 4096;
// Rows one refresh writes at most; the rest wait for the next.
constexpr size_t kRowsPerRefresh = 1000;
// New rows one refresh adds at most: the view measures each new row, and a
// bus of thousands of new identifiers a second would otherwise hold the
// main loop for as long as it takes to measure them all at once.
constexpr size_t kNewRowsPerRefresh = 100;
// 64 bytes, each in bold: "<b>XX</b>" and a separator of up to two spaces.
constexpr size_t kCellText = 64 * 11 + 1;

struct Column {
    const char *title;
    int width;
    bool sortable;
};

constexpr Column kColumns[MN_COL_NUM] = {
    {"CH", 40, true},          {"PATH", 50, true},    {"ID", 80, true},      {"NAME", 120, true},
    {"VALUE", 90, false},      {"TEXT", 70, false},   {"RAW", 60, false},    {"MIN/MAX", 90, false},
    {"TYPE", 80, true},        {"LEN", 40, true},     {"COUNT", 70, true},   {"PERIOD [ms]", 104, true},
    {"DATA", 180, false},      {"LAST TIME", 100, true},
};

// The order shown: the columns of a frame's row that a user watches first,
// so that they fit the window's default width whatever a database adds;
// a signal's columns follow to the right.
constexpr int kShownOrder[MN_COL_NUM] = {MN_COL_CH,    MN_COL_PATH, MN_COL_ID,  MN_COL_NAME,  MN_COL_COUNT,
                                         MN_COL_PERIOD, MN_COL_DATA, MN_COL_TIME, MN_COL_VALUE, MN_COL_TEXT,
                                         MN_COL_RAW,   MN_COL_RANGE, MN_COL_TYPE, MN_COL_LEN};

// The view's column of each model column.
GtkTreeViewColumn *view_columns[MN_COL_NUM] = {};

// A signal of a described identifier: its value in the last frame that
// carried it, and the raw value its row showed at the last update.
struct SignalState {
    velk::dbc::Value value;
    bool seen = false;
    bool shown = false;
    uint64_t shown_raw = 0;
};

struct Entry {
    uint64_t key = 0;  // identifier, 29-bit flag, channel, direction
    CAN_FRAME_INFO frame;
    bool is_recv = false;
    uint64_t count = 0;
    uint64_t changed = 0;  // bytes of the last frame that differ from the frame before
    // Times of the last frames, oldest first once the ring is full.
    int64_t times[kPeriods + 1] = {};
    int n_times = 0;
    int next_time = 0;
    bool host_time = false;  // no adapter timestamp: the host's time of day
    char time_of_day[13] = "";
    bool in_store = false;
    bool dirty = false;
    GtkTreeIter iter = {};
    const velk::dbc::Message *message = nullptr;  // where a database describes the identifier
    std::vector<SignalState> signals;             // by the message's signal index
    std::vector<int> page;                        // the signals of the last frame, in file order
    std::vector<int> children;                    // the signals the child rows show, in order
    size_t position = 0;                          // its row among the model's top rows
};


GtkTreeStore *mn_store = nullptr;
std::vector<velk::dbc::Value> decoded;
std::unordered_map<uint64_t, size_t> index_of;
std::vector<Entry> entries;
std::vector<size_t> dirty;
// The entry each row of the model shows, in the model's order.
std::vector<size_t> rows;
int sort_column = MN_COL_ID;
bool descending = false;
uint64_t frames = 0;
uint64_t untracked = 0;
int64_t first_adapter_us = -1;
int64_t first_host_us = -1;
velk::trace::HostTime host_clock;
long refreshes = 0;

// Rows have one height (fixed-height mode), so the view never measures a
// row: at a high frame rate measuring the rows written was most of its
// cost. The columns still grow to the widest text they get, as columns
// sized to their content do: a text with more visible characters than any
// before in its column is measured here, once.
size_t widest_text[MN_COL_NUM] = {};
std::unordered_set<std::string> measured_names[2];  // of the name and the value-text columns
// The cells' font, for the renderers and for measuring their text.
constexpr const char *kCellFamily = "Calibri";
constexpr int kCellPoints = 10;

size_t visible_chars(const char *text, bool markup)
{
    size_t n = 0;
    bool in_tag = false;
    for (const char *c = text; *c != '\0'; ++c) {
        if (markup && *c == '<')
            in_tag = true;
        else if (markup && *c == '>')
            in_tag = false;
        else if (!in_tag && (static_cast<unsigned char>(*c) & 0xC0) != 0x80)
            ++n;
    }
    return n;
}

bool is_markup_column(int col)
{
    return col == MN_COL_DATA || col == MN_COL_VALUE;
}

void fit_column(int col, const char *text)
{
    const bool markup = is_markup_column(col);
    const size_t n = visible_chars(text, markup);
    // Names and value texts come from the databases, a bounded set, and
    // differ in width more than in length: each is measured once.
    if (col == MN_COL_NAME || col == MN_COL_TEXT) {
        if (!measured_names[col == MN_COL_TEXT].insert(text).second)
            return;
    } else if (n <= widest_text[col]) {
        return;
    }
    widest_text[col] = std::max(widest_text[col], n);
    GtkTreeViewColumn *column = view_columns[col];
    if (column == nullptr)
        return;
    PangoLayout *layout = gtk_widget_create_pango_layout(mn_info.tree, nullptr);
    PangoFontDescription *font = pango_font_description_new();
    pango_font_description_set_family(font, kCellFamily);
    pango_font_description_set_size(font, kCellPoints * PANGO_SCALE);
    pango_layout_set_font_description(layout, font);
    pango_font_description_free(font);
    if (markup)
        pango_layout_set_markup(layout, text, -1);
    else
        pango_layout_set_text(layout, text, -1);
    int width = 0;
    pango_layout_get_pixel_size(layout, &width, nullptr);
    g_object_unref(layout);
    // The cell's padding and the grid line; the first column also holds the
    // expander of a described row.
    width += 12;
    if (col == kShownOrder[0])
        width += 2 * gtk_tree_view_get_level_indentation(GTK_TREE_VIEW(mn_info.tree)) + 24;
    if (width > gtk_tree_view_column_get_fixed_width(column))
        gtk_tree_view_column_set_fixed_width(column, width);
}

int64_t newest(const Entry &e)
{
    return e.times[(e.next_time + kPeriods) % (kPeriods + 1)];
}

int64_t before_newest(const Entry &e)
{
    return e.times[(e.next_time + kPeriods - 1) % (kPeriods + 1)];
}

int64_t oldest(const Entry &e)
{
    return e.n_times <= kPeriods ? e.times[0] : e.times[e.next_time];
}

// Mean period in microseconds; negative before the second frame.
double mean_period_us(const Entry &e)
{
    if (e.n_times < 2)
        return -1;
    return static_cast<double>(newest(e) - oldest(e)) / (e.n_times - 1);
}

void mark_dirty(size_t i)
{
    if (!entries[i].dirty) {
        entries[i].dirty = true;
        dirty.push_back(i);
    }
}

using velk::trace::payload_length;

void last_time_text(const Entry &e, char *out, size_t size)
{
    out[0] = '\0';
    const int64_t t = newest(e);
    switch (tr_time_mode()) {
    case TIME_RELATIVE:
        time_text(t - (e.host_time ? first_host_us : first_adapter_us), e.host_time, out, size);
        break;
    case TIME_DELTA:
        if (e.n_times >= 2)
            time_text(t - before_newest(e), e.host_time, out, size);
        break;
    default:
        if (e.host_time)
            std::snprintf(out, size, "%s", e.time_of_day);
        else
            time_of_day_text(t, out, size);
        break;
    }
}

// The child rows of a described identifier: one per signal of its last
// frame's page, a changed value in bold.
void write_signal_rows(Entry &e)
{
    if (e.message == nullptr)
        return;
    if (e.children != e.page) {
        GtkTreeIter child;
        while (gtk_tree_model_iter_children(GTK_TREE_MODEL(mn_store), &child, &e.iter))
            gtk_tree_store_remove(mn_store, &child);
        GtkTreeIter last;
        for (size_t k = 0; k < e.page.size(); ++k) {
            if (k == 0)
                gtk_tree_store_append(mn_store, &child, &e.iter);
            else
                gtk_tree_store_insert_after(mn_store, &child, &e.iter, &last);
            last = child;
        }
        e.children = e.page;
    }
    GtkTreeIter child;
    gboolean ok = gtk_tree_model_iter_children(GTK_TREE_MODEL(mn_store), &child, &e.iter);
    for (size_t k = 0; ok && k < e.children.size(); ++k) {
        SignalState &st = e.signals[static_cast<size_t>(e.children[k])];
        const velk::dbc::Value &v = st.value;
        const bool changed = st.shown && st.shown_raw != v.raw;
        st.shown = true;
        st.shown_raw = v.raw;
        gchar *escaped = g_markup_escape_text(gui::value_with_unit(v).c_str(), -1);
        std::string value = changed ? std::string("<b>") + escaped + "</b>" : escaped;
        g_free(escaped);
        const char *text = v.text != nullptr && !v.missing ? v.text : "";
        const std::string raw = gui::raw_text(v);
        const std::string range = gui::range_text(*v.signal);
        fit_column(MN_COL_NAME, v.signal->name.c_str());
        fit_column(MN_COL_VALUE, value.c_str());
        fit_column(MN_COL_TEXT, text);
        fit_column(MN_COL_RAW, raw.c_str());
        fit_column(MN_COL_RANGE, range.c_str());
        gtk_tree_store_set(mn_store, &child, MN_COL_NAME, v.signal->name.c_str(), MN_COL_VALUE, value.c_str(),
                           MN_COL_TEXT, text, MN_COL_RAW, raw.c_str(), MN_COL_RANGE, range.c_str(), -1);
        ok = gtk_tree_model_iter_next(GTK_TREE_MODEL(mn_store), &child);
    }
}

// Decodes a described identifier's frame into its signals' states.
void decode_signals(Entry &e, const CAN_FRAME_INFO &f)
{
    if (e.message == nullptr || f.rtr != 0)
        return;
    if (decoded.size() < e.message->signals.size())
        decoded.resize(e.message->signals.size());
    const int n = velk::dbc::decode(*e.message, f.data, payload_length(f), decoded.data());
    e.page.clear();
    for (int k = 0; k < n; ++k) {
        const int s = static_cast<int>(decoded[static_cast<size_t>(k)].signal - e.message->signals.data());
        e.signals[static_cast<size_t>(s)].value = decoded[static_cast<size_t>(k)];
        e.signals[static_cast<size_t>(s)].seen = true;
        e.page.push_back(s);
    }
}

void describe(Entry &e)
{
    const CAN_FRAME_INFO &f = e.frame;
    e.message = gui::databases::find(f.id, f.id_type == VELK_EID);
    e.signals.assign(e.message != nullptr ? e.message->signals.size() : 0, SignalState());
    e.page.clear();
}

void write_row(size_t index)
{
    Entry &e = entries[index];
    const CAN_FRAME_INFO &f = e.frame;
    char ch[16];
    char id[16];
    char type[32];
    char len[16];
    char count[24];
    char period[24] = "";
    char data[kCellText];
    char time[32];
    std::snprintf(ch, sizeof ch, "%d", f.CAN_port + 1);
    std::snprintf(id, sizeof id, f.id_type == VELK_SID ? "%03X" : "%08X", f.id);
    frame_type_text(f, type, sizeof type);
    const int n = payload_length(f);
    std::snprintf(len, sizeof len, "%d", n);
    std::snprintf(count, sizeof count, "%" PRIu64, e.count);
    const double mean = mean_period_us(e);
    if (mean >= 0)
        std::snprintf(period, sizeof period, "%.3f", mean / 1000.0);
    mn_data_markup(f.data, n, e.changed, data, sizeof data);
    last_time_text(e, time, sizeof time);
    const char *name = e.message != nullptr ? e.message->name.c_str() : "";
    fit_column(MN_COL_CH, ch);
    fit_column(MN_COL_NAME, name);
    fit_column(MN_COL_TYPE, type);
    fit_column(MN_COL_COUNT, count);
    fit_column(MN_COL_PERIOD, period);
    fit_column(MN_COL_DATA, data);
    fit_column(MN_COL_TIME, time);
    if (!e.in_store) {
        // After the last row by its iterator: inserting at the end by
        // position walks every row before it.
        if (rows.empty())
            gtk_tree_store_append(mn_store, &e.iter, nullptr);
        else
            gtk_tree_store_insert_after(mn_store, &e.iter, nullptr, &entries[rows.back()].iter);
        gtk_tree_store_set(mn_store, &e.iter, MN_COL_CH, ch, MN_COL_PATH,
                           e.is_recv ? "Recv" : "Send", MN_COL_ID, id, MN_COL_NAME, name, MN_COL_TYPE, type,
                           MN_COL_LEN, len, MN_COL_COUNT, count, MN_COL_PERIOD, period, MN_COL_DATA, data,
                           MN_COL_TIME, time, -1);
        e.in_store = true;
        e.position = rows.size();
        rows.push_back(index);
    } else {
        gtk_tree_store_set(mn_store, &e.iter, MN_COL_NAME, name, MN_COL_TYPE, type, MN_COL_LEN, len, MN_COL_COUNT,
                           count, MN_COL_PERIOD, period, MN_COL_DATA, data, MN_COL_TIME, time, -1);
    }
    write_signal_rows(e);
}

template <typename T>
int three_way(T a, T b)
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

int type_rank(const Entry &e)
{
    return (e.frame.rtr != 0 ? 8 : 0) + (e.frame.fdf != 0 ? 4 : 0) + (e.frame.brs != 0 ? 2 : 0) + (e.frame.esi != 0);
}

// Row order of the column the view is sorted by; the identifier (then
// channel and direction) breaks ties.
bool shown_before(size_t i, size_t j)
{
    const Entry &a = entries[i];
    const Entry &b = entries[j];
    int c = 0;
    switch (sort_column) {
    case MN_COL_CH: c = three_way(a.frame.CAN_port != 0, b.frame.CAN_port != 0); break;
    case MN_COL_PATH: c = three_way(!a.is_recv, !b.is_recv); break;  // "Recv" before "Send"
    case MN_COL_NAME:
        c = a.message == nullptr || b.message == nullptr ? three_way(a.message == nullptr, b.message == nullptr)
                                                         : a.message->name.compare(b.message->name);
        break;
    case MN_COL_TYPE: c = three_way(type_rank(a), type_rank(b)); break;
    case MN_COL_LEN: c = three_way(payload_length(a.frame), payload_length(b.frame)); break;
    case MN_COL_COUNT: c = three_way(a.count, b.count); break;
    case MN_COL_PERIOD: c = three_way(mean_period_us(a), mean_period_us(b)); break;
    case MN_COL_TIME: c = three_way(newest(a), newest(b)); break;
    default: break;
    }
    if (c == 0)
        c = three_way(a.key, b.key);
    return descending ? c > 0 : c < 0;
}

// Puts the model's rows in the order the view is sorted by, with one
// reorder of the model.
void sort_rows()
{
    std::vector<size_t> sorted = rows;
    std::sort(sorted.begin(), sorted.end(), shown_before);
    if (sorted == rows)
        return;
    std::vector<size_t> position(entries.size());
    for (size_t r = 0; r < rows.size(); ++r)
        position[rows[r]] = r;
    std::vector<gint> new_order(sorted.size());
    for (size_t r = 0; r < sorted.size(); ++r)
        new_order[r] = static_cast<gint>(position[sorted[r]]);
    gtk_tree_store_reorder(mn_store, nullptr, new_order.data());
    rows.swap(sorted);
    for (size_t r = 0; r < rows.size(); ++r)
        entries[rows[r]].position = r;
}

void show_sort_indicator()
{
    for (int i = 0; i < MN_COL_NUM; ++i) {
        GtkTreeViewColumn *column = view_columns[i];
        gtk_tree_view_column_set_sort_indicator(column, i == sort_column);
        gtk_tree_view_column_set_sort_order(column, descending ? GTK_SORT_DESCENDING : GTK_SORT_ASCENDING);
    }
}

// A click on a header sorts by that column; another click turns the order.
void column_clicked(GtkTreeViewColumn *, gpointer index)
{
    const int i = GPOINTER_TO_INT(index);
    descending = i == sort_column ? !descending : false;
    sort_column = i;
    show_sort_indicator();
    sort_rows();
}

// The top rows the view shows now, and a screen more on either side; all
// rows while the view is not laid out.
void shown_range(size_t *first, size_t *last)
{
    GtkTreePath *from = nullptr;
    GtkTreePath *to = nullptr;
    if (!gtk_widget_get_mapped(mn_info.tree) ||
        !gtk_tree_view_get_visible_range(GTK_TREE_VIEW(mn_info.tree), &from, &to))
        return;
    const size_t a = static_cast<size_t>(gtk_tree_path_get_indices(from)[0]);
    const size_t b = static_cast<size_t>(gtk_tree_path_get_indices(to)[0]);
    gtk_tree_path_free(from);
    gtk_tree_path_free(to);
    const size_t margin = b - a + 1;
    *first = a > margin ? a - margin : 0;
    *last = b + margin;
}

void show_summary()
{
    char text[160];
    int len = std::snprintf(text, sizeof text, "%zu identifiers, %" PRIu64 " frames", entries.size(), frames);
    if (untracked > 0 && len > 0)
        std::snprintf(text + len, sizeof text - static_cast<size_t>(len),
                      "; %" PRIu64 " frames of identifiers beyond the first %zu not shown", untracked,
                      kMaxIdentifiers);
    gui::set_steady_text(mn_info.label, text);
}

bool monitor_shows()
{
    return gtk_notebook_get_current_page(GTK_NOTEBOOK(tr_info.notebook)) ==
           gtk_notebook_page_num(GTK_NOTEBOOK(tr_info.notebook), gtk_widget_get_parent(mn_info.swin));
}

void refresh(bool summary_now);

gboolean refresh_tick(gpointer)
{
    const gint64 now = g_get_monotonic_time();
    if (now - last_refresh_us < kRefreshUs)
        return G_SOURCE_CONTINUE;
    // The next update is due 100 ms after this one was; one that came much
    // later starts the count again.
    last_refresh_us = now - last_refresh_us < 2 * kRefreshUs ? last_refresh_us + kRefreshUs : now;
    if (monitor_shows())
        refresh(false);
    return G_SOURCE_CONTINUE;
}

// Every row is written again: the times shown depend on the selector.
// A database came or went: every identifier is looked up again and its
// signals start afresh from its next frame.
void databases_changed()
{
    for (size_t i = 0; i < entries.size(); ++i) {
        Entry &e = entries[i];
        describe(e);
        if (e.in_store) {
            GtkTreeIter child;
            while (gtk_tree_model_iter_children(GTK_TREE_MODEL(mn_store), &child, &e.iter))
                gtk_tree_store_remove(mn_store, &child);
        }
        e.children.clear();
        decode_signals(e, e.frame);
        mark_dirty(i);
    }
}

void row_activated(GtkTreeView *view, GtkTreePath *path, GtkTreeViewColumn *, gpointer)
{
    if (gtk_tree_path_get_depth(path) != 2)
        return;
    const int *at = gtk_tree_path_get_indices(path);
    if (at[0] < 0 || static_cast<size_t>(at[0]) >= rows.size())
        return;
    const Entry &e = entries[rows[static_cast<size_t>(at[0])]];
    if (e.message == nullptr || at[1] < 0 || static_cast<size_t>(at[1]) >= e.children.size())
        return;
    (void)view;
    const velk::dbc::Signal &s = e.message->signals[static_cast<size_t>(e.children[static_cast<size_t>(at[1])])];
    MN_SIGNAL_REF ref = {e.message->id, e.message->extended, e.message->name.c_str(), s.name.c_str()};
    if (monitor_signal_activated != nullptr)
        monitor_signal_activated(ref);
}

void time_mode_changed(GtkWidget *, gpointer)
{
    for (size_t i = 0; i < entries.size(); ++i)
        mark_dirty(i);
    mn_refresh();
}

}  // namespace

void mn_data_markup(const unsigned char *data, int len, uint64_t changed, char *out, size_t size)
{
    size_t pos = 0;
    out[0] = '\0';
    for (int i = 0; i < len && i < 64; ++i) {
        // One line (every row has one height), a wider gap every 8 bytes.
        const char *sep = i == 0 ? "" : (i % 8 == 0 ? "  " : " ");
        const bool bold = (changed >> i) & 1u;
        int w = std::snprintf(out + pos, size - pos, bold ? "%s<b>%02X</b>" : "%s%02X", sep, data[i]);
        if (w < 0 || static_cast<size_t>(w) >= size - pos) {
            out[pos] = '\0';  // no half-written tag
            break;
        }
        pos += static_cast<size_t>(w);
    }
}

void mn_frame(const UPBS_INFO &upbs_info, bool is_recv)
{
    const CAN_FRAME_INFO &f = upbs_info.frame_info;
    ++frames;
    const uint64_t key = identifier_key(f, is_recv);
    auto found = index_of.find(key);
    if (found == index_of.end()) {
        if (entries.size() >= kMaxIdentifiers) {
            ++untracked;
            return;
        }
        found = index_of.emplace(key, entries.size()).first;
        entries.emplace_back();
        entries.back().key = key;
        entries.back().is_recv = is_recv;
        entries.back().frame = f;
        describe(entries.back());
    }
    const size_t i = found->second;
    Entry &e = entries[i];

    int64_t t;
    const bool host = !velk::trace::adapter_time_us(f.timestamp, &t);
    if (host) {
        t = host_clock.of(upbs_info.now_time, g_get_real_time());
        std::memcpy(e.time_of_day, upbs_info.now_time, sizeof e.time_of_day);
        e.time_of_day[sizeof e.time_of_day - 1] = '\0';
        if (first_host_us < 0)
            first_host_us = t;
    } else if (first_adapter_us < 0) {
        first_adapter_us = t;
    }
    // A frame of the other clock starts the period anew.
    if (host != e.host_time) {
        e.n_times = 0;
        e.next_time = 0;
        e.host_time = host;
    }
    e.times[e.next_time] = t;
    e.next_time = (e.next_time + 1) % (kPeriods + 1);
    if (e.n_times <= kPeriods)
        ++e.n_times;

    const int n = payload_length(f);
    uint64_t changed = 0;
    if (e.count > 0) {
        const int before = payload_length(e.frame);
        for (int b = 0; b < n; ++b)
            if (b >= before || f.data[b] != e.frame.data[b])
                changed |= uint64_t{1} << b;
    }
    e.changed = changed;
    e.frame = f;
    decode_signals(e, f);
    ++e.count;
    mark_dirty(i);
}

namespace {

void refresh(bool summary_now)
{
    if (mn_store == nullptr || tr_paused())
        return;
    ++refreshes;
    if (!dirty.empty()) {
        const size_t shown = rows.size();
        // Rows out of view keep their changes until they come into view
        // (a scroll refreshes): the view redraws every row written, so
        // writing only the shown ones keeps an update's cost to the view's
        // height, whatever the rate and the number of identifiers.
        size_t first = 0;
        size_t last = SIZE_MAX;
        shown_range(&first, &last);
        std::vector<size_t> later;
        size_t written = 0;
        size_t added = 0;
        for (size_t i : dirty) {
            Entry &e = entries[i];
            const bool in_view = !e.in_store || (e.position >= first && e.position <= last);
            if (!in_view || written >= kRowsPerRefresh || (!e.in_store && added >= kNewRowsPerRefresh)) {
                later.push_back(i);
                continue;
            }
            if (!e.in_store)
                ++added;
            e.dirty = false;
            write_row(i);
            ++written;
        }
        dirty.swap(later);
        if (rows.size() != shown)
            sort_rows();
    }
    // The summary's figures change with every frame: while they flow it
    // is written at the label tick.
    if (summary_now)
        show_summary();
}

void summary_tick()
{
    if (mn_store != nullptr && !tr_paused() && monitor_shows())
        show_summary();
}

}  // namespace

void mn_refresh(void)
{
    refresh(true);
}

void btn_mn_clear_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    gtk_tree_store_clear(mn_store);
    index_of.clear();
    entries.clear();
    dirty.clear();
    rows.clear();
    frames = 0;
    untracked = 0;
    first_adapter_us = -1;
    first_host_us = -1;
    show_summary();
}

int mn_rows(void)
{
    return mn_store != nullptr ? gtk_tree_model_iter_n_children(GTK_TREE_MODEL(mn_store), nullptr) : 0;
}

GtkTreeViewColumn *mn_column(int col)
{
    return col >= 0 && col < MN_COL_NUM ? view_columns[col] : nullptr;
}

long mn_refreshes(void)
{
    return refreshes;
}

void mn_init(void)
{
    mn_info.tree = gui::widget(MW_builder, "mn_treeview");
    mn_info.swin = gui::widget(MW_builder, "mn_scroll_window");
    mn_info.label = gui::widget(MW_builder, "mn_summary_lab");
    mn_info.btn_clr = gui::widget(MW_builder, "mn_clear_btn");
    gui::make_steady_text(mn_info.label);

    GType types[MN_COL_NUM];
    for (GType &t : types)
        t = G_TYPE_STRING;
    mn_store = gtk_tree_store_newv(MN_COL_NUM, types);
    GtkTreeView *view = GTK_TREE_VIEW(mn_info.tree);
    gtk_tree_view_set_model(view, GTK_TREE_MODEL(mn_store));
    g_object_unref(mn_store);  // the view holds it
    for (int i : kShownOrder) {
        GtkCellRenderer *renderer = nullptr;
        GtkTreeViewColumn *column = gui::cell_text_column(kColumns[i].title, i, is_markup_column(i), &renderer);
        view_columns[i] = column;
        // Family and size alone: a whole font would also fix the weight,
        // which overrides a bold first byte of the data.
        g_object_set(renderer, "family", kCellFamily, "size-points", static_cast<double>(kCellPoints), nullptr);
        gtk_tree_view_column_set_fixed_width(column, kColumns[i].width);
        gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_FIXED);
        gtk_tree_view_column_set_resizable(column, TRUE);
        if (kColumns[i].sortable) {
            gtk_tree_view_column_set_clickable(column, TRUE);
            g_signal_connect(column, "clicked", G_CALLBACK(column_clicked), GINT_TO_POINTER(i));
        }
        gtk_tree_view_append_column(view, column);
    }
    gtk_tree_view_set_fixed_height_mode(view, TRUE);
    show_sort_indicator();
    gtk_tree_view_set_grid_lines(view, GTK_TREE_VIEW_GRID_LINES_BOTH);
    gtk_widget_set_focus_on_click(mn_info.btn_clr, FALSE);
    show_summary();

    g_signal_connect(mn_info.btn_clr, "clicked", G_CALLBACK(btn_mn_clear_cb), nullptr);
    g_signal_connect(tr_info.cbbox_time, "changed", G_CALLBACK(time_mode_changed), nullptr);
    g_signal_connect(mn_info.tree, "row-activated", G_CALLBACK(row_activated), nullptr);
    g_signal_connect(gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(mn_info.tree)), "value-changed",
                     G_CALLBACK(+[](GtkAdjustment *, gpointer) { mn_refresh(); }), nullptr);
    gui::databases::on_change(databases_changed);
    g_timeout_add(kRefreshTickMs, refresh_tick, nullptr);
    gui::on_label_tick(summary_tick);
}
