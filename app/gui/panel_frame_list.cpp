// Frame list of the bus status frame: one row per sent or received frame,
// at most 1000 rows, and the per-channel counters.
#include "guipart.h"
#include "widgets.h"

#include <cstdio>
#include <cstring>

BS_INFO bs_info;
GtkListStore *store = nullptr;
int list_cnt_s = 0;
int list_cnt_r = 0;
int can1_cnt_s = 0;
int can2_cnt_s = 0;
int can1_cnt_r = 0;
int can2_cnt_r = 0;

namespace {

using gui::swallow_press;

constexpr int kMaxRows = 1000;
// The longest cell text, 64 payload bytes in eight lines, is 191 characters.
constexpr std::size_t kCellText = 256;

struct Column {
    const char *title;
    int width;
};

constexpr Column kColumns[COL_NUM] = {
    {"NO", 40},  {"CH", 40},  {"PATH", 55},  {"MOD", 55},   {"ID", 85},
    {"TYPE", 80}, {"LEN", 40}, {"DATA", 190}, {"TIME", 105},
};

constexpr const char *kErrorTypes[] = {"Disable All", "ROM Error", "Bus Error", "Enable All"};

constexpr const char *kCaptions[BS_LABEL_CNT_T] = {"Error Type:", "CAN 1: ", "CAN 2: ",
                                                   "EEPROM: ",    "Send = ", "Recv = "};

constexpr const char *kContentIds[BS_LABEL_CNT_C] = {
    "bs_can1_ecr_lab",   "bs_can2_ecr_lab",   "bs_eeprom_lab",     "bs_can1_psr_lab",  "bs_can2_psr_lab",
    "bs_send_content_1", "bs_send_content_2", "bs_recv_content_1", "bs_recv_content_2",
};

GtkListStore *new_store()
{
    return gtk_list_store_new(COL_NUM, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING,
                              G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
}

void attach_store()
{
    gtk_tree_view_set_model(GTK_TREE_VIEW(bs_info.tree), GTK_TREE_MODEL(store));
}

void set_count_label(int index, int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[index]), text);
}

void type_text(const CAN_FRAME_INFO &f, char *out, std::size_t size)
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

void list_insert(UPBS_INFO upbs_info, bool is_recv)
{
    // Rows in the current table; they start again after 1000 rows or a Clear.
    static int cnt_s = 0;
    static int cnt_r = 0;
    static int cnt_t = 0;

    if (store == nullptr) {
        store = new_store();
        attach_store();
    }
    if (cnt_t == kMaxRows) {
        cnt_t = 0;
        cnt_s = 0;
        cnt_r = 0;
        gtk_list_store_clear(store);
        attach_store();
    }
    if (list_cnt_r == 0 && list_cnt_s == 0) {
        cnt_r = 0;
        cnt_s = 0;
    }

    const CAN_FRAME_INFO &f = upbs_info.frame_info;
    int label;
    int value;
    if (is_recv) {
        ++cnt_r;
        ++list_cnt_r;
        if (f.CAN_port == 0) {
            value = ++can1_cnt_r;
            label = BS_LABEL_RECV1_C;
        } else {
            value = ++can2_cnt_r;
            label = BS_LABEL_RECV2_C;
        }
    } else {
        ++cnt_s;
        ++list_cnt_s;
        if (f.CAN_port == 0) {
            value = ++can1_cnt_s;
            label = BS_LABEL_SEND1_C;
        } else {
            value = ++can2_cnt_s;
            label = BS_LABEL_SEND2_C;
        }
    }
    cnt_t = cnt_s + cnt_r;

    char no[16];
    char ch[16];
    char id[16];
    char type[32];
    char len[16];
    char data[kCellText];
    char time[sizeof upbs_info.now_time];
    std::snprintf(no, sizeof no, "%d", cnt_t);
    std::snprintf(ch, sizeof ch, "%d", f.CAN_port + 1);
    bool sid = f.id_type == VELK_SID;
    std::snprintf(id, sizeof id, sid ? "%03X" : "%08X", f.id);
    type_text(f, type, sizeof type);
    // DLC codes above 15 count as 15 (64 bytes).
    unsigned char dlc = (f.dlc < 0 || f.dlc > 15) ? 15 : static_cast<unsigned char>(f.dlc);
    int n = CANFD_DecodeDLC(dlc);
    std::snprintf(len, sizeof len, "%d", n);
    std::memcpy(time, upbs_info.now_time, sizeof time);
    time[sizeof time - 1] = '\0';

    // One insertion with all values: the view handles one row-inserted
    // signal per row instead of one per cell.
    GtkTreeIter iter;
    if (f.rtr != 0) {
        // A remote frame leaves the DATA cell unset.
        gtk_list_store_insert_with_values(store, &iter, -1, COL_NO, no, COL_CH, ch, COL_PATH,
                                          is_recv ? "Recv" : "Send", COL_MOD, sid ? "SID" : "EID", COL_ID, id,
                                          COL_TYPE, type, COL_LEN, len, COL_TIME, time, -1);
    } else {
        if (f.dlc == 0)
            data[0] = '\0';
        else
            data_text(f, n, data, sizeof data);
        gtk_list_store_insert_with_values(store, &iter, -1, COL_NO, no, COL_CH, ch, COL_PATH,
                                          is_recv ? "Recv" : "Send", COL_MOD, sid ? "SID" : "EID", COL_ID, id,
                                          COL_TYPE, type, COL_LEN, len, COL_DATA, data, COL_TIME, time, -1);
    }
    set_count_label(label, value);
}

void btn_clear_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (store != nullptr)
        gtk_list_store_clear(store);
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
}

void bs_init(void)
{
    bs_info.frame = GTK_WIDGET(gtk_builder_get_object(MW_builder, "BS_frame"));
    bs_info.cbbox = GTK_WIDGET(gtk_builder_get_object(MW_builder, "ErrorType_cbbox"));
    bs_info.btn_clr = GTK_WIDGET(gtk_builder_get_object(MW_builder, "clear_btn"));
    bs_info.tree = GTK_WIDGET(gtk_builder_get_object(MW_builder, "CAN_data_treeview"));
    bs_info.swin = GTK_WIDGET(gtk_builder_get_object(MW_builder, "bs_scroll_window"));
    for (int i = 0; i < BS_LABEL_CNT_C; ++i)
        bs_info.label_content[i] = GTK_WIDGET(gtk_builder_get_object(MW_builder, kContentIds[i]));
    // The captions the layout shows come from the layout file; these are
    // kept in the record only, so the record owns them.
    for (int i = 0; i < BS_LABEL_CNT_T; ++i)
        bs_info.label_title[i] = GTK_WIDGET(g_object_ref_sink(gtk_label_new(kCaptions[i])));

    GtkTreeView *view = GTK_TREE_VIEW(bs_info.tree);
    for (int i = 0; i < COL_NUM; ++i) {
        GtkCellRenderer *renderer = gtk_cell_renderer_text_new();
        g_object_set(renderer, "font", "Calibri 10", nullptr);
        GtkTreeViewColumn *column =
            gtk_tree_view_column_new_with_attributes(kColumns[i].title, renderer, "text", i, nullptr);
        gtk_tree_view_append_column(view, column);
    }
    for (int i = 0; i < COL_NUM; ++i) {
        GtkTreeViewColumn *column = gtk_tree_view_get_column(view, i);
        gtk_tree_view_column_set_fixed_width(column, kColumns[i].width);
        gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_GROW_ONLY);
        gtk_tree_view_column_set_resizable(column, TRUE);
    }
    gtk_tree_view_set_grid_lines(view, GTK_TREE_VIEW_GRID_LINES_BOTH);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_tree_view_set_rules_hint(view, TRUE);
    G_GNUC_END_IGNORE_DEPRECATIONS
    g_signal_connect(bs_info.tree, "button-press-event", G_CALLBACK(swallow_press), nullptr);
    gtk_widget_set_focus_on_click(bs_info.btn_clr, FALSE);
    if (store == nullptr) {
        store = new_store();
        attach_store();
        gtk_list_store_clear(store);
        attach_store();
    }

    GtkComboBoxText *err = GTK_COMBO_BOX_TEXT(bs_info.cbbox);
    for (const char *item : kErrorTypes)
        gtk_combo_box_text_append_text(err, item);
    gtk_combo_box_set_active(GTK_COMBO_BOX(err), 0);
    set_err_str(0);

    g_signal_connect(bs_info.btn_clr, "clicked", G_CALLBACK(btn_clear_cb), nullptr);
    g_signal_connect(bs_info.cbbox, "changed", G_CALLBACK(cbbox_err_cb), nullptr);
}
