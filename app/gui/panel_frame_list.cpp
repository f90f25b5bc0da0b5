// Frame list of the bus status frame: one row per sent or received frame,
// at most 1000 rows, and the per-channel counters; the adapter's timestamp
// of each frame, and the controls of the views: Pause, Follow and how the
// adapter's time is shown.
//
// The frames of the current table are kept as plain records and go into
// the list's model in one batch about 25 times a second. While the table
// starts again faster than once a second, the model holds only the rows
// the view shows (the newest with Follow on, the first without), built
// anew 5 times a second, so the rows built per second are bounded by the
// batches, not by the frame rate.
// Otherwise, and whenever the views are paused, the model holds the whole
// table, as many as 1000 rows, to scroll through.
#include "adapter_time.h"
#include "cell_text.h"
#include "databases.h"
#include "isotp.h"
#include "panel_diagnostics.h"
#include "signal_text.h"
#include "guipart.h"
#include "widgets.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

BS_INFO bs_info;
TR_INFO tr_info;
GtkListStore *store = nullptr;
int list_cnt_s = 0;
int list_cnt_r = 0;
int can1_cnt_s = 0;
int can2_cnt_s = 0;
int can1_cnt_r = 0;
int can2_cnt_r = 0;

namespace {

using gui::is_checked;
using gui::swallow_press;

constexpr int kMaxRows = 1000;
// The longest cell text, 64 payload bytes in eight lines, is 191 characters.
constexpr std::size_t kCellText = 256;

struct Column {
    const char *title;
    int width;
};

constexpr Column kColumns[COL_NUM] = {
    {"NO", 36},   {"CH", 30},  {"PATH", 45},  {"MOD", 44},   {"ID", 75},           {"MESSAGE", 80},
    {"TYPE", 80}, {"LEN", 35}, {"DATA", 190}, {"TIME", 90}, {"ADAPTER TIME", 90},
};

constexpr const char *kIsotpType = "ISO-TP";
// An ISO-TP row's data cell shows this many bytes, then "…".
constexpr size_t kIsotpBytes = 24;

constexpr const char *kTimeModes[TIME_MODE_CNT] = {"Absolute", "Relative", "Delta"};

// Rows in the current table; they start again after 1000 rows or a Clear.
int cnt_s = 0;
int cnt_r = 0;
int cnt_t = 0;

// The adapter's time of the first frame listed since Clear, and of the last
// frame of each channel, direction and identifier, for the relative and
// delta times.
int64_t first_adapter_us = -1;
std::unordered_map<uint64_t, int64_t> last_adapter_us;
// Identifiers kept for the delta: a bus of random 29-bit identifiers would
// grow the table without bound. Frames of further ones show no delta.
constexpr size_t kMaxDeltaIdentifiers = 65536;

bool paused = false;
long paused_frames = 0;

// A message the ISO-TP option found in the frames, as its row shows it.
struct IsotpRow {
    int channel;
    bool extended;
    bool is_recv;
    std::string ids;    // "7E8->7E0"
    std::string len;
    std::string data;   // one line, "…" after the first bytes
    std::string error;  // "" or what went wrong
};

// A frame of the current table not yet in the model, or a message of the
// ISO-TP option when `iso` is set.
struct PendingRow {
    CAN_FRAME_INFO frame;
    char time[sizeof(UPBS_INFO::now_time)];
    bool is_recv;
    int no;
    int64_t adapter_us;
    int64_t delta_us;
    std::shared_ptr<const IsotpRow> iso;
};
// The current table, and the part of it the model holds.
std::vector<PendingRow> table;
size_t built_from = 0;
size_t built_to = 0;
// The table started again after the rows the model holds.
bool restart_table = false;
// When the table last started again, and how recent that must be for the
// model to hold the shown rows only.
gint64 last_restart_us = -1;
constexpr gint64 kFastTableUs = 1000000;
constexpr size_t kRowsPerBatch = 200;
// Batches go into the model this often; a batch also shows the counters.
constexpr guint kFlushMs = 40;
// While the table starts again faster than once a second its rows cannot be
// read as they pass: the shown rows are built anew only this often.
constexpr gint64 kFastFlushUs = 200000;
gint64 last_fast_flush_us = 0;
// The counters as their labels show them.
int shown_cnt[BS_LABEL_CNT_C] = {};

constexpr const char *kErrorTypes[] = {"Disable All", "ROM Error", "Bus Error", "Enable All"};

constexpr const char *kCaptions[BS_LABEL_CNT_T] = {"Error Type:", "CAN 1: ", "CAN 2: ",
                                                   "EEPROM: ",    "Send = ", "Recv = "};

constexpr const char *kContentIds[BS_LABEL_CNT_C] = {
    "bs_can1_ecr_lab",   "bs_can2_ecr_lab",   "bs_eeprom_lab",     "bs_can1_psr_lab",  "bs_can2_psr_lab",
    "bs_send_content_1", "bs_send_content_2", "bs_recv_content_1", "bs_recv_content_2",
};

GtkListStore *new_store()
{
    return gtk_list_store_new(COL_STORE_NUM, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                              G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                              G_TYPE_STRING, G_TYPE_STRING, G_TYPE_INT64, G_TYPE_INT64);
}

// The adapter time cell of a row whose timestamp is `us` (-1: none) and
// whose identifier's previous frame came `delta` before (-1: none).
void adapter_time_cell(int64_t us, int64_t delta, char *out, size_t size)
{
    out[0] = '\0';
    if (us < 0)
        return;
    switch (tr_time_mode()) {
    case TIME_RELATIVE:
        time_text(us - first_adapter_us, false, out, size);
        break;
    case TIME_DELTA:
        if (delta >= 0)
            time_text(delta, false, out, size);
        break;
    default:
        time_of_day_text(us, out, size);
        break;
    }
}

// The width a text column needs for `sample` in its renderer's font.
int column_width_for(GtkCellRenderer *renderer, const char *sample)
{
    // Measured as the text asks, not as the cell's fixed size says.
    gint fixed_width = 0;
    gint fixed_height = 0;
    gtk_cell_renderer_get_fixed_size(renderer, &fixed_width, &fixed_height);
    gtk_cell_renderer_set_fixed_size(renderer, -1, -1);
    g_object_set(renderer, "text", sample, nullptr);
    gint natural = 0;
    gtk_cell_renderer_get_preferred_width(renderer, bs_info.tree, nullptr, &natural);
    g_object_set(renderer, "text", nullptr, nullptr);
    gtk_cell_renderer_set_fixed_size(renderer, fixed_width, fixed_height);
    gint separator = 0;
    gtk_widget_style_get(bs_info.tree, "horizontal-separator", &separator, nullptr);
    return natural + separator;
}

// The height of a one-line cell of the renderer, its padding included.
int one_line_height(GtkCellRenderer *renderer)
{
    g_object_set(renderer, "text", "0Xg", nullptr);
    gint natural = 0;
    gtk_cell_renderer_get_preferred_height(renderer, bs_info.tree, nullptr, &natural);
    g_object_set(renderer, "text", nullptr, nullptr);
    return natural;
}

GtkCellRenderer *renderer_of(int col)
{
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(gtk_tree_view_get_column(GTK_TREE_VIEW(bs_info.tree), col)));
    GtkCellRenderer *cell = GTK_CELL_RENDERER(cells->data);
    g_list_free(cells);
    return cell;
}

// The column's width is its own; every cell but the data is one line.
// Cells of a fixed size are not measured, so each new row measures its data
// cell only, not eleven cells.
void set_column_width(int col, int width)
{
    GtkTreeViewColumn *column = gtk_tree_view_get_column(GTK_TREE_VIEW(bs_info.tree), col);
    gtk_tree_view_column_set_fixed_width(column, width);
    gtk_tree_view_column_set_min_width(column, width);
    if (col != COL_DATA) {
        GtkCellRenderer *cell = renderer_of(col);
        gtk_cell_renderer_set_fixed_size(cell, width, one_line_height(cell));
    }
}

// The times, eight data bytes of a usual mix of digits and letters, and
// the message names of the loaded databases up to a bound are shown whole,
// in whatever font the renderer falls back to: the columns then fit the
// window's default size.
void fit_columns()
{
    constexpr int kMessageMax = 120;
    set_column_width(COL_TIME, std::max(kColumns[COL_TIME].width, column_width_for(renderer_of(COL_TIME), "00:00:00:000")));
    set_column_width(COL_ATIME,
                     std::max(kColumns[COL_ATIME].width, column_width_for(renderer_of(COL_ATIME), "00:00:00.000000")));
    set_column_width(COL_DATA, column_width_for(renderer_of(COL_DATA), "0D 0D 0D 0D 0D 0D 0D 0D"));
    int message = kColumns[COL_MESSAGE].width;
    for (const gui::databases::Loaded &l : gui::databases::all())
        for (const velk::dbc::Message &m : l.db->messages())
            if (message < kMessageMax)
                message = std::max(message, column_width_for(renderer_of(COL_MESSAGE), m.name.c_str()));
    set_column_width(COL_MESSAGE, std::min(message, kMessageMax));
}


// Writes every row's adapter time again, as the selector now says.
void rewrite_adapter_times()
{
    list_flush();
    if (store == nullptr)
        return;
    GtkTreeModel *model = GTK_TREE_MODEL(store);
    GtkTreeIter iter;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok; ok = gtk_tree_model_iter_next(model, &iter)) {
        gint64 us = -1;
        gint64 delta = -1;
        gtk_tree_model_get(model, &iter, COL_ATIME_US, &us, COL_ADELTA_US, &delta, -1);
        char text[32];
        adapter_time_cell(us, delta, text, sizeof text);
        gtk_list_store_set(store, &iter, COL_ATIME, text, -1);
    }
}

void show_paused_frames()
{
    char text[48] = "";
    if (paused)
        std::snprintf(text, sizeof text, "+%ld while paused", paused_frames);
    gtk_label_set_text(GTK_LABEL(tr_info.pause_label), text);
}

// The view's scroll range changes whenever rows are added or laid out; with
// Follow on, the view then goes to its end. Keeping to the end of the range
// costs no layout of its own, unlike scrolling to a row, and ends on the
// newest row once the rows are laid out.
void follow_end(GtkAdjustment *adjustment, gpointer)
{
    if (is_checked(tr_info.chk_follow) && !paused)
        gtk_adjustment_set_value(adjustment,
                                 gtk_adjustment_get_upper(adjustment) - gtk_adjustment_get_page_size(adjustment));
}

GtkAdjustment *list_adjustment()
{
    return gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(bs_info.tree));
}

gboolean paused_tick(gpointer)
{
    if (paused)
        show_paused_frames();
    return G_SOURCE_CONTINUE;
}

void attach_store()
{
    gtk_tree_view_set_model(GTK_TREE_VIEW(bs_info.tree), GTK_TREE_MODEL(store));
}

void set_count_label(int index, int value)
{
    if (shown_cnt[index] == value && value != 0)
        return;
    shown_cnt[index] = value;
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[index]), text);
}

// While frames flow the counters are shown at the label tick; a whole
// flush shows them at once.
void show_counters()
{
    set_count_label(BS_LABEL_RECV1_C, can1_cnt_r);
    set_count_label(BS_LABEL_RECV2_C, can2_cnt_r);
    set_count_label(BS_LABEL_SEND1_C, can1_cnt_s);
    set_count_label(BS_LABEL_SEND2_C, can2_cnt_s);
}

// Counts a frame in the Sent or Received total and in its channel's counter,
// whether it is listed or arrives while the views are paused.
void count_frame(const CAN_FRAME_INFO &f, bool is_recv)
{
    const bool can1 = f.CAN_port == 0;
    if (is_recv) {
        ++list_cnt_r;
        ++(can1 ? can1_cnt_r : can2_cnt_r);
    } else {
        ++list_cnt_s;
        ++(can1 ? can1_cnt_s : can2_cnt_s);
    }
}

} // namespace

uint64_t identifier_key(const CAN_FRAME_INFO &f, bool is_recv)
{
    return (uint64_t{f.id} << 3) | (f.id_type == VELK_EID ? 4u : 0u) | (f.CAN_port != 0 ? 2u : 0u) | (is_recv ? 1u : 0u);
}

void frame_type_text(const CAN_FRAME_INFO &f, char *out, std::size_t size)
{
    const char *esi = f.esi != 0 ? " / ESI" : "";
    if (f.rtr != 0)
        std::snprintf(out, size, "RTR ");
    else if (f.fdf != 0 && f.brs != 0)
        std::snprintf(out, size, "FD / BRS%s", esi);
    else if (f.fdf == 1)
        std::snprintf(out, size, "FD%s", esi);
    else if (f.brs == 0)
        std::snprintf(out, size, "2.0B");
    else
        out[0] = '\0';
}

namespace {

// Eight bytes per line, separated by single spaces.
void data_text(const CAN_FRAME_INFO &f, int n, char *out, std::size_t size)
{
    std::size_t pos = 0;
    out[0] = '\0';
    for (int i = 0; i < n && pos < size; ++i) {
        const char *format = i == 0 ? "%02X" : (i % 8 == 0 ? "\n%02X" : " %02X");
        int w = std::snprintf(out + pos, size - pos, format, f.data[i]);
        if (w < 0)
            break;
        pos += static_cast<std::size_t>(w);
    }
}

} // namespace

namespace {

// Builds the row of a frame at the end of the model.
void append_row(const PendingRow &r)
{
    const CAN_FRAME_INFO &f = r.frame;
    char atime[32];
    adapter_time_cell(r.adapter_us, r.delta_us, atime, sizeof atime);
    if (r.iso) {
        const IsotpRow &m = *r.iso;
        char ch[16];
        std::snprintf(ch, sizeof ch, "%d", m.channel + 1);
        gtk_list_store_insert_with_values(store, nullptr, -1, COL_NO, "", COL_CH, ch, COL_PATH,
                                          m.is_recv ? "Recv" : "Send", COL_MOD, m.extended ? "EID" : "SID", COL_ID,
                                          m.ids.c_str(), COL_TYPE, kIsotpType, COL_LEN, m.len.c_str(), COL_DATA,
                                          m.data.c_str(), COL_TIME, r.time, COL_ATIME, atime, COL_ATIME_US,
                                          gint64{r.adapter_us}, COL_ADELTA_US, gint64{-1}, COL_MESSAGE,
                                          m.error.c_str(), -1);
        return;
    }
    char no[16];
    char ch[16];
    char id[16];
    char type[32];
    char len[16];
    char data[kCellText];
    std::snprintf(no, sizeof no, "%d", r.no);
    std::snprintf(ch, sizeof ch, "%d", f.CAN_port + 1);
    bool sid = f.id_type == VELK_SID;
    std::snprintf(id, sizeof id, sid ? "%03X" : "%08X", f.id);
    frame_type_text(f, type, sizeof type);
    // DLC codes above 15 count as 15 (64 bytes).
    unsigned char dlc = (f.dlc < 0 || f.dlc > 15) ? 15 : static_cast<unsigned char>(f.dlc);
    int n = CANFD_DecodeDLC(dlc);
    std::snprintf(len, sizeof len, "%d", n);
    const char *message = list_message_name(f);

    // One insertion with all values: the view handles one row-inserted
    // signal per row instead of one per cell.
    GtkTreeIter iter;
    if (f.rtr != 0) {
        // A remote frame leaves the DATA cell unset.
        gtk_list_store_insert_with_values(store, &iter, -1, COL_NO, no, COL_CH, ch, COL_PATH,
                                          r.is_recv ? "Recv" : "Send", COL_MOD, sid ? "SID" : "EID", COL_ID, id,
                                          COL_TYPE, type, COL_LEN, len, COL_TIME, r.time, COL_ATIME, atime,
                                          COL_ATIME_US, gint64{r.adapter_us}, COL_ADELTA_US, gint64{r.delta_us},
                                          COL_MESSAGE, message, -1);
    } else {
        if (f.dlc == 0)
            data[0] = '\0';
        else
            data_text(f, n, data, sizeof data);
        gtk_list_store_insert_with_values(store, &iter, -1, COL_NO, no, COL_CH, ch, COL_PATH,
                                          r.is_recv ? "Recv" : "Send", COL_MOD, sid ? "SID" : "EID", COL_ID, id,
                                          COL_TYPE, type, COL_LEN, len, COL_DATA, data, COL_TIME, r.time,
                                          COL_ATIME, atime, COL_ATIME_US, gint64{r.adapter_us}, COL_ADELTA_US,
                                          gint64{r.delta_us}, COL_MESSAGE, message, -1);
    }
}

// The decoded signals of the row under the pointer, from the row's own
// identifier and bytes.
gboolean query_row_tooltip(GtkWidget *widget, gint x, gint y, gboolean keyboard, GtkTooltip *tooltip, gpointer)
{
    GtkTreeModel *model = nullptr;
    GtkTreePath *path = nullptr;
    GtkTreeIter iter;
    if (!gtk_tree_view_get_tooltip_context(GTK_TREE_VIEW(widget), &x, &y, keyboard, &model, &path, &iter))
        return FALSE;
    gchar *id = nullptr;
    gchar *mod = nullptr;
    gchar *data = nullptr;
    gchar *type = nullptr;
    gtk_tree_model_get(model, &iter, COL_ID, &id, COL_MOD, &mod, COL_DATA, &data, COL_TYPE, &type, -1);
    bool shown = false;
    // A message of the ISO-TP option is no frame of a database.
    const bool frame = type == nullptr || std::strcmp(type, kIsotpType) != 0;
    g_free(type);
    const velk::dbc::Message *m =
        frame && id != nullptr && mod != nullptr
            ? gui::databases::find(static_cast<uint32_t>(std::strtoul(id, nullptr, 16)), std::strcmp(mod, "EID") == 0)
            : nullptr;
    if (m != nullptr && data != nullptr) {
        uint8_t bytes[64];
        int n = 0;
        for (const char *p = data; *p != '\0' && n < 64;) {
            char *end = nullptr;
            const unsigned long b = std::strtoul(p, &end, 16);
            if (end == p)
                break;
            bytes[n++] = static_cast<uint8_t>(b);
            p = end;
        }
        std::vector<velk::dbc::Value> values(gui::databases::max_signals());
        const int count = velk::dbc::decode(*m, bytes, n, values.data());
        gtk_tooltip_set_text(tooltip, gui::signals_text(*m, values.data(), count).c_str());
        gtk_tree_view_set_tooltip_row(GTK_TREE_VIEW(widget), tooltip, path);
        shown = true;
    }
    g_free(id);
    g_free(mod);
    g_free(data);
    gtk_tree_path_free(path);
    return shown ? TRUE : FALSE;
}

// Rows a view of the list's height shows, and a few more.
size_t shown_rows()
{
    const int height = gtk_widget_get_allocated_height(bs_info.swin);
    return static_cast<size_t>(std::max(16, height / 16 + 4));
}

// Brings the model to hold table[from, to): by dropping rows at its start
// and adding rows at its end where it can, else by building it anew away
// from the view.
void build_rows(size_t from, size_t to)
{
    if (!restart_table && from >= built_from && from <= built_to && to >= built_to) {
        GtkTreeIter iter;
        for (size_t k = built_from; k < from; ++k)
            if (gtk_tree_model_get_iter_first(GTK_TREE_MODEL(store), &iter))
                gtk_list_store_remove(store, &iter);
        for (size_t k = built_to; k < to; ++k)
            append_row(table[k]);
    } else {
        g_object_ref(store);
        gtk_tree_view_set_model(GTK_TREE_VIEW(bs_info.tree), nullptr);
        gtk_list_store_clear(store);
        for (size_t k = from; k < to; ++k)
            append_row(table[k]);
        attach_store();
        g_object_unref(store);
        restart_table = false;
    }
    built_from = from;
    built_to = to;
}

void flush(bool whole)
{
    if (whole && bs_info.label_content[BS_LABEL_RECV1_C] != nullptr)
        show_counters();
    if (store == nullptr) {
        store = new_store();
        attach_store();
    }
    size_t from = 0;
    size_t to = table.size();
    const gint64 now = g_get_monotonic_time();
    const bool fast = last_restart_us >= 0 && now - last_restart_us < kFastTableUs;
    if (!whole && !paused && fast) {
        if (now - last_fast_flush_us < kFastFlushUs)
            return;
        last_fast_flush_us = now;
        const size_t n = shown_rows();
        if (is_checked(tr_info.chk_follow))
            from = to > n ? to - n : 0;
        else
            to = std::min(to, n);
    }
    // Rows added to the end of the model go in at most this many a batch,
    // so a whole table given back after fast traffic costs no long stall.
    if (!whole && !restart_table && from == built_from && to > built_to + kRowsPerBatch)
        to = built_to + kRowsPerBatch;
    if (restart_table || from != built_from || to != built_to)
        build_rows(from, to);
}

gboolean flush_tick(gpointer)
{
    // A list that is not shown gets its rows when it is shown again; its
    // counters go on at the label tick.
    if (gtk_widget_get_mapped(bs_info.tree))
        flush(false);
    return G_SOURCE_CONTINUE;
}

// ---- the ISO-TP option: reassembled messages as rows of their own ----

GtkWidget *chk_isotp = nullptr;  // "tr_isotp_checkbox"
std::unique_ptr<velk::isotp::Reassembler> reassembler;
DgAddress iso_address;

// The reassembler of the Diagnostics tab's identifiers; nullptr while the
// option is off or the tab's identifiers are not valid.
velk::isotp::Reassembler *iso_reassembler()
{
    if (chk_isotp == nullptr || !is_checked(chk_isotp)) {
        reassembler.reset();
        return nullptr;
    }
    if (reassembler && dg_address_serial() == iso_address.serial)
        return reassembler.get();
    DgAddress a;
    if (!dg_address(&a)) {
        reassembler.reset();
        return nullptr;
    }
    velk::isotp::ReassemblerOptions o;
    o.mode = a.address.mode;
    o.ids = {{a.address.tx_id, a.address.extended_id}, {a.address.rx_id, a.address.extended_id}};
    if (a.address.func_id >= 0)
        o.ids.emplace_back(static_cast<uint32_t>(a.address.func_id), a.address.extended_id);
    reassembler = std::make_unique<velk::isotp::Reassembler>(o);
    iso_address = a;
    return reassembler.get();
}

std::string iso_id_text(uint32_t id, bool extended)
{
    char t[16];
    std::snprintf(t, sizeof t, extended ? "%08X" : "%03X", id);
    return t;
}

// Gives the frame of `r` to the reassembler, and each message it completes
// a row after the frame's.
void iso_feed(const PendingRow &r)
{
    velk::isotp::Reassembler *ra = iso_reassembler();
    const CAN_FRAME_INFO &f = r.frame;
    if (ra == nullptr || f.rtr != 0 || static_cast<int>(f.CAN_port) != iso_address.channel)
        return;
    velk::trace::Frame frame = velk::trace::frame_of(f);
    frame.tx = !r.is_recv;
    // Sent frames carry no adapter time: every frame is timed by the host
    // when the list takes it, one clock for the N_Cr timeout.
    const int64_t t = g_get_real_time();
    frame.sec = t / 1000000;
    frame.usec = static_cast<uint32_t>(t % 1000000);
    ra->add(frame);
    velk::isotp::Message m;
    while (ra->next(&m)) {
        const velk::isotp::Address &a = iso_address.address;
        auto row = std::make_shared<IsotpRow>();
        row->channel = m.channel;
        row->extended = m.extended_id;
        row->is_recv = m.id == a.rx_id;
        const uint32_t target = m.id == a.rx_id ? a.tx_id : a.rx_id;
        row->ids = iso_id_text(m.id, m.extended_id) + "->" + iso_id_text(target, m.extended_id);
        row->len = m.error == velk::isotp::Error::None
                       ? std::to_string(m.data.size())
                       : std::to_string(m.data.size()) + "/" + std::to_string(m.length);
        for (size_t i = 0; i < m.data.size() && i < kIsotpBytes; ++i) {
            char b[4];
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", m.data[i]);
            row->data += b;
        }
        if (m.data.size() > kIsotpBytes)
            row->data += " \xE2\x80\xA6";
        if (m.error != velk::isotp::Error::None)
            row->error = std::string("ISO-TP error: ") + velk::isotp::error_name(m.error);
        PendingRow p = r;
        p.iso = std::move(row);
        table.push_back(std::move(p));
    }
}

void chk_isotp_cb(GtkWidget *, gpointer)
{
    reassembler.reset();
}

} // namespace

void list_insert(UPBS_INFO upbs_info, bool is_recv)
{
    if (cnt_t == kMaxRows) {
        cnt_t = 0;
        cnt_s = 0;
        cnt_r = 0;
        restart_table = true;
        table.clear();
        last_restart_us = g_get_monotonic_time();
    }
    if (list_cnt_r == 0 && list_cnt_s == 0) {
        cnt_r = 0;
        cnt_s = 0;
    }

    const CAN_FRAME_INFO &f = upbs_info.frame_info;
    count_frame(f, is_recv);
    if (is_recv)
        ++cnt_r;
    else
        ++cnt_s;
    cnt_t = cnt_s + cnt_r;

    int64_t adapter_us = -1;
    int64_t delta_us = -1;
    if (velk::trace::adapter_time_us(f.timestamp, &adapter_us)) {
        if (first_adapter_us < 0)
            first_adapter_us = adapter_us;
        const uint64_t key = identifier_key(f, is_recv);
        auto last = last_adapter_us.find(key);
        if (last != last_adapter_us.end()) {
            delta_us = adapter_us - last->second;
            last->second = adapter_us;
        } else if (last_adapter_us.size() < kMaxDeltaIdentifiers) {
            last_adapter_us.emplace(key, adapter_us);
        }
    }
    PendingRow r;
    r.frame = f;
    std::memcpy(r.time, upbs_info.now_time, sizeof r.time);
    r.time[sizeof r.time - 1] = '\0';
    r.is_recv = is_recv;
    r.no = cnt_t;
    r.adapter_us = adapter_us;
    r.delta_us = delta_us;
    table.push_back(r);
    iso_feed(r);
}

void list_flush(void)
{
    flush(true);
}

const char *list_message_name(const CAN_FRAME_INFO &f)
{
    const velk::dbc::Message *m = gui::databases::find(f.id, f.id_type == VELK_EID);
    return m != nullptr ? m->name.c_str() : "";
}

void list_count(const UPBS_INFO &upbs_info, bool is_recv)
{
    count_frame(upbs_info.frame_info, is_recv);
    ++paused_frames;
}

void btn_clear_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (store != nullptr)
        gtk_list_store_clear(store);
    table.clear();
    built_from = built_to = 0;
    restart_table = false;
    last_restart_us = -1;
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[BS_LABEL_RECV1_C]), "0");
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[BS_LABEL_SEND1_C]), "0");
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[BS_LABEL_RECV2_C]), "0");
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[BS_LABEL_SEND2_C]), "0");
    list_cnt_s = 0;
    list_cnt_r = 0;
    can1_cnt_s = 0;
    can2_cnt_s = 0;
    can1_cnt_r = 0;
    can2_cnt_r = 0;
    // Frames counted while paused may have come after this Clear; the row
    // numbers restart all the same.
    cnt_s = 0;
    cnt_r = 0;
    cnt_t = 0;
    first_adapter_us = -1;
    last_adapter_us.clear();
    reassembler.reset();
}

void bs_init(void)
{
    bs_info.frame = gui::widget(MW_builder, "BS_frame");
    bs_info.cbbox = gui::widget(MW_builder, "ErrorType_cbbox");
    bs_info.btn_clr = gui::widget(MW_builder, "clear_btn");
    bs_info.tree = gui::widget(MW_builder, "CAN_data_treeview");
    bs_info.swin = gui::widget(MW_builder, "bs_scroll_window");
    for (int c = 0; c < CAN_CNT; ++c) {
        char id[32];
        std::snprintf(id, sizeof id, "bs_can%d_rate_lab", c + 1);
        bs_info.label_rate[c] = gui::widget(MW_builder, id);
        std::snprintf(id, sizeof id, "bs_can%d_load_lab", c + 1);
        bs_info.label_load[c] = gui::widget(MW_builder, id);
    }
    for (int i = 0; i < BS_LABEL_CNT_C; ++i)
        bs_info.label_content[i] = gui::widget(MW_builder, kContentIds[i]);
    // The captions the layout shows come from the layout file; these are
    // kept in the record only, so the record owns them.
    for (int i = 0; i < BS_LABEL_CNT_T; ++i)
        bs_info.label_title[i] = GTK_WIDGET(g_object_ref_sink(gtk_label_new(kCaptions[i])));

    GtkTreeView *view = GTK_TREE_VIEW(bs_info.tree);
    for (int i = 0; i < COL_NUM; ++i) {
        GtkCellRenderer *renderer = nullptr;
        GtkTreeViewColumn *column = gui::cell_text_column(kColumns[i].title, i, false, &renderer);
        g_object_set(renderer, "font", "Calibri 10", nullptr);
        gtk_tree_view_append_column(view, column);
    }
    for (int i = 0; i < COL_NUM; ++i) {
        GtkTreeViewColumn *column = gtk_tree_view_get_column(view, i);
        gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_GROW_ONLY);
        gtk_tree_view_column_set_resizable(column, TRUE);
        set_column_width(i, kColumns[i].width);
    }
    fit_columns();
    gui::databases::on_change(fit_columns);
    gtk_tree_view_set_grid_lines(view, GTK_TREE_VIEW_GRID_LINES_BOTH);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_tree_view_set_rules_hint(view, TRUE);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_signal_connect(bs_info.tree, "button-press-event", G_CALLBACK(swallow_press), nullptr);
    gtk_widget_set_focus_on_click(bs_info.btn_clr, FALSE);
    if (store == nullptr) {
        store = new_store();
        attach_store();
    }
    g_timeout_add(kFlushMs, flush_tick, nullptr);
    gui::on_label_tick(show_counters);
    g_signal_connect(bs_info.tree, "map", G_CALLBACK(+[](GtkWidget *, gpointer) { flush(false); }), nullptr);
    gtk_widget_set_has_tooltip(bs_info.tree, TRUE);
    g_signal_connect(bs_info.tree, "query-tooltip", G_CALLBACK(query_row_tooltip), nullptr);

    GtkComboBoxText *err = GTK_COMBO_BOX_TEXT(bs_info.cbbox);
    for (const char *item : kErrorTypes)
        gtk_combo_box_text_append_text(err, item);
    gtk_combo_box_set_active(GTK_COMBO_BOX(err), 0);
    set_err_str(0);

    g_signal_connect(bs_info.btn_clr, "clicked", G_CALLBACK(btn_clear_cb), nullptr);
    // Reassembled ISO-TP messages of the Diagnostics tab's identifiers as
    // rows of their own, after the frame that completed each: the option
    // sits beside the list's Clear button.
    chk_isotp = gtk_check_button_new_with_label("ISO-TP");
    gtk_widget_set_name(chk_isotp, "tr_isotp_checkbox");
    gtk_widget_set_tooltip_text(chk_isotp, "Also list the ISO-TP messages of the Diagnostics tab's identifiers, "
                                           "reassembled from the frames, as rows of their own");
    gtk_widget_set_focus_on_click(chk_isotp, FALSE);
    GtkWidget *controls = gtk_widget_get_parent(bs_info.btn_clr);
    if (GTK_IS_BOX(controls)) {
        gint position = 0;
        gtk_container_child_get(GTK_CONTAINER(controls), bs_info.btn_clr, "position", &position, nullptr);
        gtk_box_pack_start(GTK_BOX(controls), chk_isotp, FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(controls), chk_isotp, position + 1);
        tr_info.chk_isotp = chk_isotp;
        g_signal_connect(chk_isotp, "toggled", G_CALLBACK(chk_isotp_cb), nullptr);
    } else {
        gtk_widget_destroy(chk_isotp);
        chk_isotp = nullptr;
    }
    g_signal_connect(bs_info.cbbox, "changed", G_CALLBACK(cbbox_err_cb), nullptr);
}

// ---- Pause, Follow and the time selector ----

bool tr_paused(void)
{
    return paused;
}

long tr_paused_frames(void)
{
    return paused_frames;
}

int tr_time_mode(void)
{
    int mode = tr_info.cbbox_time != nullptr ? gtk_combo_box_get_active(GTK_COMBO_BOX(tr_info.cbbox_time)) : 0;
    return mode < 0 ? TIME_ABSOLUTE : mode;
}

void time_text(int64_t us, bool host, char *out, size_t size)
{
    const char *sign = us < 0 ? "-" : "";
    const uint64_t a = us < 0 ? static_cast<uint64_t>(-us) : static_cast<uint64_t>(us);
    if (host)
        std::snprintf(out, size, "%s%" PRIu64 ".%03" PRIu64, sign, a / 1000000, a / 1000 % 1000);
    else
        std::snprintf(out, size, "%s%" PRIu64 ".%06" PRIu64, sign, a / 1000000, a % 1000000);
}

void time_of_day_text(int64_t us, char *out, size_t size)
{
    // The adapter's seconds carry no time zone, so none is applied: a clock
    // that counts from power-up shows the time since, one that counts from
    // the epoch the time of day in UTC.
    const uint64_t a = us < 0 ? 0 : static_cast<uint64_t>(us);
    const uint64_t s = a / 1000000;
    std::snprintf(out, size, "%02u:%02u:%02u.%06u", static_cast<unsigned>(s / 3600 % 24),
                  static_cast<unsigned>(s / 60 % 60), static_cast<unsigned>(s % 60),
                  static_cast<unsigned>(a % 1000000));
}

void tr_follow(void)
{
    follow_end(list_adjustment(), nullptr);
}

void btn_pause_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    paused = is_checked(tr_info.btn_pause);
    paused_frames = 0;
    if (paused)
        list_flush();
    show_paused_frames();
    if (!paused)
        tr_follow();
}

void chk_follow_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    tr_follow();
}

void cbbox_time_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    rewrite_adapter_times();
}

void tr_init(void)
{
    tr_info.notebook = gui::widget(MW_builder, "tr_notebook");
    tr_info.btn_record = gui::widget(MW_builder, "tr_record_btn");
    tr_info.record_label = gui::widget(MW_builder, "tr_record_lab");
    tr_info.btn_pause = gui::widget(MW_builder, "tr_pause_btn");
    tr_info.pause_label = gui::widget(MW_builder, "tr_pause_lab");
    tr_info.chk_follow = gui::widget(MW_builder, "tr_follow_checkbox");
    tr_info.cbbox_time = gui::widget(MW_builder, "tr_time_cbbox");
    for (const char *mode : kTimeModes)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(tr_info.cbbox_time), mode);
    gtk_combo_box_set_active(GTK_COMBO_BOX(tr_info.cbbox_time), TIME_ABSOLUTE);
    gtk_widget_set_focus_on_click(tr_info.btn_pause, FALSE);
    gtk_widget_set_focus_on_click(tr_info.chk_follow, FALSE);

    g_signal_connect(tr_info.btn_pause, "toggled", G_CALLBACK(btn_pause_cb), nullptr);
    g_signal_connect(tr_info.chk_follow, "toggled", G_CALLBACK(chk_follow_cb), nullptr);
    g_signal_connect(tr_info.cbbox_time, "changed", G_CALLBACK(cbbox_time_cb), nullptr);
    g_signal_connect(list_adjustment(), "changed", G_CALLBACK(follow_end), nullptr);
    g_timeout_add(250, paused_tick, nullptr);
}
