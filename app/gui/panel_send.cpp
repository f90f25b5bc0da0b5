// Send panel and CAN data editor; what their entries take is in
// entry_input.cpp.
#include "guipart.h"
#include "text_convert.h"
#include "widgets.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

SS_INFO ss_info;
ED_INFO ed_info;
unsigned char g_data[64];

namespace {

using gui::is_checked;
using gui::set_checked;
using gui::entry_decimal;

KEY_PRESS_INFO key_info_u = {ETY_NUM, 0};
KEY_PRESS_INFO key_info_id = {ETY_DATA, 0};
KEY_PRESS_INFO key_info_data[8];
KEY_PRESS_INFO key_info_data_fd[ED_DATA_CNT];

constexpr const char *kLengthText[16] = {"0", "1", "2", "3", "4", "5", "6", "7",
                                         "8", "12", "16", "20", "24", "32", "48", "64"};
constexpr int kClassicLengths = 9;
constexpr int kPanelBytes = 8;
constexpr int kIntervalDigits = 8;

GtkWidget *builder_widget(GtkBuilder *builder, const char *id)
{
    return gui::widget(builder, id);
}

// The length combo's active text as a byte count, 0 to 64.
int selected_length()
{
    gchar *text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(ss_info.cbbox[SS_CBBOX_LEN]));
    int len = text != nullptr ? std::atoi(text) : 0;
    g_free(text);
    if (len < 0)
        len = 0;
    if (len > ED_DATA_CNT)
        len = ED_DATA_CNT;
    return len;
}

bool fd_possible()
{
    int c = gtk_combo_box_get_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]));
    if (c < 0 || c > 1)
        return false;
    const UPUI_INFO upui = upui_info_copy();
    return upui.device_type == TYPE_CANFD && upui.cfg_info_canfd.fdf_en[c] != 0;
}

// The byte entries' ids are numbered in code, and so are the names a screen
// reader says for them and the log lines use.
void filter_byte_entry(GtkWidget *entry, KEY_PRESS_INFO *info, const char *what)
{
    char name[32];
    std::snprintf(name, sizeof name, "%s %d", what, info->can_bit);
    atk_object_set_name(gtk_widget_get_accessible(entry), name);
    ety_filter(entry, info, name);
}

void set_byte_text(GtkWidget *entry, unsigned char value)
{
    char text[3];
    std::snprintf(text, sizeof text, "%02X", value);
    gtk_entry_set_text(GTK_ENTRY(entry), text);
}

// The identifier takes 8 digits with EID and 3 without. Unticking EID over a
// longer identifier keeps it as it is, so the panel never shows one
// identifier and sends another; Send refuses it until it is shortened,
// and the limit follows it down to 3.
void id_length_follows_eid()
{
    GtkEntry *id = GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]);
    int max = is_checked(ss_info.chk[SS_CHK_EID]) ? 8 : 3;
    int held = gtk_entry_get_text_length(id);
    gtk_entry_set_max_length(id, held > max ? held : max);
}

void ety_id_changed(GtkEditable *, gpointer)
{
    id_length_follows_eid();
}

// Why the frame the panel describes cannot be sent, or NULL. len is the
// payload length in bytes.
const char *frame_refusal(const CAN_FRAME_INFO &frame, int len, char *buf, std::size_t size)
{
    const char *id = gtk_entry_get_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]));
    if (id[0] == '\0')
        return "Send refused: the identifier is empty !";
    if (!ety_text_allowed(id, ETY_DATA))
        return "Send refused: the identifier is not hexadecimal !";
    if (frame.id_type == VELK_SID && frame.id > 0x7FFu)
        return "Send refused: a standard identifier is at most 7FF !";
    if (frame.id_type != VELK_SID && frame.id > 0x1FFFFFFFu)
        return "Send refused: an extended identifier is at most 1FFFFFFF !";
    if (frame.fdf == 0 && len > kPanelBytes)
        return "Send refused: a CAN 2.0B frame carries at most 8 bytes !";
    for (int i = 0; i < len && i < kPanelBytes; ++i) {
        if (!ety_text_allowed(gtk_entry_get_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_B0 + i])), ETY_CAN_DATA)) {
            std::snprintf(buf, size, "Send refused: data byte %d is not hexadecimal !", i);
            return buf;
        }
    }
    return nullptr;
}

} // namespace

void sync_can_data(int sync_type, int length)
{
    if (length <= 0)
        return;
    if (length > ED_DATA_CNT)
        length = ED_DATA_CNT;
    int panel = length < kPanelBytes ? length : kPanelBytes;
    switch (sync_type) {
    case SYNC_GDATA_TO_SS:
        for (int i = 0; i < panel; ++i)
            set_byte_text(ss_info.ety_d[SS_ETY_D_B0 + i], g_data[i]);
        break;
    case SYNC_ED_TO_GDATA:
        for (int i = 0; i < length; ++i)
            g_data[i] = str_2_uchar(gtk_entry_get_text(GTK_ENTRY(ed_info.ety_d[i])));
        break;
    case SYNC_GDATA_TO_ED:
        for (int i = 0; i < length; ++i)
            set_byte_text(ed_info.ety_d[i], g_data[i]);
        break;
    case SYNC_SS_TO_GDATA:
    default:
        for (int i = 0; i < panel; ++i)
            g_data[i] = str_2_uchar(gtk_entry_get_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_B0 + i])));
        break;
    }
}

void btn_send_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    CAN_SEND_INFO request;
    std::memset(&request, 0, sizeof request);
    request.cnt = entry_decimal(ss_info.ety_u[SS_ETY_LAB_U_COUNT]);
    request.itvl = entry_decimal(ss_info.ety_u[SS_ETY_LAB_U_ITVL]);
    request.times = entry_decimal(ss_info.ety_u[SS_ETY_LAB_U_TIME]);
    request.id_inc = is_checked(ss_info.chk[SS_CHK_IID]);

    CAN_FRAME_INFO &frame = request.can_frame_info;
    frame.CAN_port = gtk_combo_box_get_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]));
    frame.id_type = is_checked(ss_info.chk[SS_CHK_EID]) ? VELK_EID : VELK_SID;
    frame.rtr = is_checked(ss_info.chk[SS_CHK_RTR]) ? 1 : 0;
    frame.id = str_2_uint(gtk_entry_get_text(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID])));
    frame.fdf = is_checked(ss_info.chk[SS_CHK_FDF]) ? 1 : 0;
    frame.brs = is_checked(ss_info.chk[SS_CHK_BRS]) ? 1 : 0;
    frame.esi = 0;
    const int len = selected_length();
    frame.dlc = CANFD_EncodeDLC(static_cast<unsigned char>(len));

    // Nothing goes out that the bus would not carry as the panel shows it,
    // and a count or number of passes of 0 sends nothing.
    char buf[64];
    const char *refused = frame_refusal(frame, len, buf, sizeof buf);
    if (refused == nullptr && request.cnt == 0)
        refused = "Nothing sent: Count is 0 !";
    if (refused == nullptr && request.times == 0)
        refused = "Nothing sent: Times is 0 !";
    if (refused != nullptr) {
        clear_log();
        insert_log(refused);
        return;
    }

    sync_can_data(SYNC_SS_TO_GDATA, frame.dlc);
    std::memcpy(frame.data, g_data, sizeof frame.data);
    request.is_cancel = false;
    procSend(com_port, request);
}

void btn_stop_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    CAN_SEND_INFO request;
    std::memset(&request, 0, sizeof request);
    request.is_cancel = true;
    procSend(com_port, request);
}

void guiDlcUpdate(void)
{
    GtkComboBoxText *box = GTK_COMBO_BOX_TEXT(ss_info.cbbox[SS_CBBOX_LEN]);
    gtk_combo_box_text_remove_all(box);
    int n = is_checked(ss_info.chk[SS_CHK_FDF]) ? 16 : kClassicLengths;
    for (int i = 0; i < n; ++i)
        gtk_combo_box_text_append_text(box, kLengthText[i]);
    gtk_combo_box_set_active(GTK_COMBO_BOX(box), 8);
}

void cbbox_dlc_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    int i = gtk_combo_box_get_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_LEN]));
    if (i < 0)
        return;
    // The bytes past the length stay in view and keep their text for when
    // the length grows, but cannot be edited: what is editable is sent.
    int shown = i > kPanelBytes ? kPanelBytes : i;
    for (int b = 0; b < kPanelBytes; ++b)
        gtk_widget_set_sensitive(ss_info.ety_d[SS_ETY_D_B0 + b], b < shown);
}

void ss_follow_channel_mode(void)
{
    GtkWidget *fdf = ss_info.chk[SS_CHK_FDF];
    GtkWidget *brs = ss_info.chk[SS_CHK_BRS];
    GtkWidget *rtr = ss_info.chk[SS_CHK_RTR];
    if (fd_possible()) {
        gtk_widget_set_sensitive(fdf, TRUE);
        // A remote request has no CAN FD form.
        if (is_checked(rtr)) {
            set_checked(fdf, false);
            set_checked(brs, false);
            gtk_widget_set_sensitive(fdf, FALSE);
            gtk_widget_set_sensitive(brs, FALSE);
        }
        if (is_checked(fdf)) {
            set_checked(rtr, false);
            gtk_widget_set_sensitive(rtr, FALSE);
            gtk_widget_set_sensitive(brs, TRUE);
        } else {
            set_checked(brs, false);
            gtk_widget_set_sensitive(brs, FALSE);
            gtk_widget_set_sensitive(rtr, TRUE);
        }
    } else {
        gtk_widget_set_sensitive(fdf, FALSE);
        gtk_widget_set_sensitive(brs, FALSE);
        set_checked(fdf, false);
        set_checked(brs, false);
    }
}

void cbbox_can_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    ss_follow_channel_mode();
    guiDlcUpdate();
}

void chk_rtr_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    bool fdf_usable = fd_possible() && !is_checked(ss_info.chk[SS_CHK_RTR]);
    gtk_widget_set_sensitive(ss_info.chk[SS_CHK_FDF], fdf_usable);
    gtk_widget_set_sensitive(ss_info.chk[SS_CHK_BRS], FALSE);
}

void chk_fdf_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    guiDlcUpdate();
    GtkWidget *brs = ss_info.chk[SS_CHK_BRS];
    GtkWidget *rtr = ss_info.chk[SS_CHK_RTR];
    if (is_checked(ss_info.chk[SS_CHK_FDF])) {
        // RTR first: its own handler makes BRS insensitive.
        gtk_widget_set_sensitive(rtr, FALSE);
        set_checked(rtr, false);
        gtk_widget_set_sensitive(brs, TRUE);
    } else {
        gtk_widget_set_sensitive(brs, FALSE);
        set_checked(brs, false);
        gtk_widget_set_sensitive(rtr, TRUE);
    }
}

void chk_eid_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    id_length_follows_eid();
}

void btn_can_data_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    GtkWidget *dialog = windows->ed_dialog;
    gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_title(GTK_WINDOW(dialog), "Edit CAN data");
    gtk_widget_show(dialog);

    int len = selected_length();
    sync_can_data(SYNC_SS_TO_GDATA, len);
    sync_can_data(SYNC_GDATA_TO_ED, len);
    for (int i = 0; i < ED_DATA_CNT; ++i)
        gtk_widget_set_visible(ed_info.ety_d[i], i < len);
    gtk_widget_grab_focus(ed_info.ety_d[0]);

    gint response = ed_dialog_run(GTK_DIALOG(dialog));
    // A frame By signal… encoded in the editor brings its own length.
    const int staged = sg_staged_length();
    const bool accepted = response == 1 && (staged < 0 || sg_finish_staged(true));
    if (accepted) {
        if (staged >= 0) {
            std::memset(g_data, 0, sizeof g_data);
            len = staged;
        }
        sync_can_data(SYNC_ED_TO_GDATA, len);
        sync_can_data(SYNC_GDATA_TO_SS, len);
    } else {
        sg_finish_staged(false);
        sync_can_data(SYNC_GDATA_TO_ED, staged >= 0 ? ED_DATA_CNT : len);
    }
    gtk_widget_hide(dialog);
}

void btn_ed_clear_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    for (int i = 0; i < ED_DATA_CNT; ++i)
        gtk_entry_set_text(GTK_ENTRY(ed_info.ety_d[i]), "00");
}

void btn_ed_fill_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    for (int i = 0; i < ED_DATA_CNT; ++i)
        set_byte_text(ed_info.ety_d[i], static_cast<unsigned char>(i));
}

void ss_init(void)
{
    static const char *const chk_ids[SS_CHK_CNT] = {"s_EID_checkbox", "s_RTR_checkbox", "s_IncreaseID_checkbox",
                                                    "s_FDF_checkbox", "s_BRS_checkbox"};
    static const char *const ety_u_ids[SS_ETY_LAB_U_CNT] = {"s_Count_entry", "s_Interval_entry", "s_Times_entry"};

    ss_info.frame = builder_widget(MW_builder, "s_Send_grid");
    for (int i = 0; i < SS_CHK_CNT; ++i)
        ss_info.chk[i] = builder_widget(MW_builder, chk_ids[i]);
    for (int i = 0; i < SS_ETY_LAB_U_CNT; ++i)
        ss_info.ety_u[i] = builder_widget(MW_builder, ety_u_ids[i]);
    ss_info.label_u[SS_ETY_LAB_U_ITVL] = builder_widget(MW_builder, "s_Interval_lab");
    ss_info.cbbox[SS_CBBOX_CAN] = builder_widget(MW_builder, "s_CAN_CH_cbox");
    ss_info.cbbox[SS_CBBOX_LEN] = builder_widget(MW_builder, "s_CAN_Len_cbox");
    ss_info.ety_d[SS_ETY_D_ID] = builder_widget(MW_builder, "s_ID_entry");
    for (int i = 0; i < kPanelBytes; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "%s%d%s", "s_D", i, "_entry");
        ss_info.ety_d[SS_ETY_D_B0 + i] = builder_widget(MW_builder, id);
    }
    ss_info.btn_send = builder_widget(MW_builder, "s_Send_btn");
    ss_info.btn_stop = builder_widget(MW_builder, "s_Stop_btn");
    ss_info.btn_can_data = builder_widget(MW_builder, "s_EditData_btn");

    GtkComboBoxText *can = GTK_COMBO_BOX_TEXT(ss_info.cbbox[SS_CBBOX_CAN]);
    gtk_combo_box_text_append_text(can, "CAN 1");
    gtk_combo_box_text_append_text(can, "CAN 2");
    gtk_combo_box_set_active(GTK_COMBO_BOX(can), 0);
    // The length combo is as wide with "8" as with "64", so the panel does
    // not move when CAN FD lengths come and go.
    GtkComboBoxText *len = GTK_COMBO_BOX_TEXT(ss_info.cbbox[SS_CBBOX_LEN]);
    for (const char *text : kLengthText)
        gtk_combo_box_text_append_text(len, text);
    gui::hold_width(ss_info.cbbox[SS_CBBOX_LEN]);
    gtk_combo_box_text_remove_all(len);
    for (int i = 0; i < kClassicLengths; ++i)
        gtk_combo_box_text_append_text(len, kLengthText[i]);
    gtk_combo_box_set_active(GTK_COMBO_BOX(len), 8);

    for (int i = 0; i < SS_ETY_LAB_U_CNT; ++i) {
        GtkEntry *e = GTK_ENTRY(ss_info.ety_u[i]);
        // Count and times take 0 to 99999; the interval up to 99,999,999 us,
        // so cycles of seconds can be entered.
        int digits = i == SS_ETY_LAB_U_ITVL ? kIntervalDigits : 5;
        gtk_entry_set_alignment(e, 1.0f);
        gtk_entry_set_width_chars(e, digits);
        gtk_entry_set_max_length(e, digits);
    }
    gtk_label_set_text(GTK_LABEL(ss_info.label_u[SS_ETY_LAB_U_ITVL]), "Interval [us]:");
    gtk_entry_set_width_chars(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), 8);
    gtk_entry_set_max_length(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID]), 3);
    for (int i = 0; i < kPanelBytes; ++i) {
        GtkEntry *e = GTK_ENTRY(ss_info.ety_d[SS_ETY_D_B0 + i]);
        gtk_entry_set_alignment(e, 1.0f);
        gtk_entry_set_width_chars(e, 2);
        gtk_entry_set_max_length(e, 2);
        gui::fit_hex_pairs(ss_info.ety_d[SS_ETY_D_B0 + i]);
    }
    for (int i = 0; i < SS_CHK_CNT; ++i)
        gtk_widget_set_focus_on_click(ss_info.chk[i], FALSE);
    gtk_widget_set_focus_on_click(ss_info.btn_send, FALSE);
    gtk_widget_set_focus_on_click(ss_info.btn_stop, FALSE);

    g_signal_connect(ss_info.btn_send, "clicked", G_CALLBACK(btn_send_cb), nullptr);
    g_signal_connect(ss_info.btn_stop, "clicked", G_CALLBACK(btn_stop_cb), nullptr);
    g_signal_connect(ss_info.chk[SS_CHK_EID], "clicked", G_CALLBACK(chk_eid_cb), nullptr);
    g_signal_connect(ss_info.chk[SS_CHK_FDF], "clicked", G_CALLBACK(chk_fdf_cb), nullptr);
    g_signal_connect(ss_info.chk[SS_CHK_RTR], "clicked", G_CALLBACK(chk_rtr_cb), nullptr);
    g_signal_connect(ss_info.cbbox[SS_CBBOX_LEN], "changed", G_CALLBACK(cbbox_dlc_cb), nullptr);
    g_signal_connect(ss_info.cbbox[SS_CBBOX_CAN], "changed", G_CALLBACK(cbbox_can_cb), nullptr);
    g_signal_connect(ss_info.btn_can_data, "clicked", G_CALLBACK(btn_can_data_cb), nullptr);
    static const char *const ety_u_names[SS_ETY_LAB_U_CNT] = {"Count", "Interval", "Times"};
    for (int i = 0; i < SS_ETY_LAB_U_CNT; ++i)
        ety_filter(ss_info.ety_u[i], &key_info_u, ety_u_names[i]);
    ety_filter(ss_info.ety_d[SS_ETY_D_ID], &key_info_id, "ID");
    g_signal_connect(ss_info.ety_d[SS_ETY_D_ID], "changed", G_CALLBACK(ety_id_changed), nullptr);
    for (int i = 0; i < kPanelBytes; ++i) {
        key_info_data[i] = {ETY_CAN_DATA, i};
        filter_byte_entry(ss_info.ety_d[SS_ETY_D_B0 + i], &key_info_data[i], "Data byte");
    }
}

void ed_init(void)
{
    ed_info.frame = builder_widget(ED_builder, "ED_frame");
    ed_info.clear_btn = builder_widget(ED_builder, "ed_clear_btn");
    ed_info.fill_btn = builder_widget(ED_builder, "ed_auto_fill_btn");
    for (int i = 0; i < ED_DATA_CNT; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "%s%d%s", "ed_D", i, "_entry");
        ed_info.ety_d[i] = builder_widget(ED_builder, id);
        gtk_entry_set_max_length(GTK_ENTRY(ed_info.ety_d[i]), 2);
    }
    for (int i = 0; i < ED_DATA_CNT; ++i) {
        key_info_data_fd[i] = {ETY_CAN_FD_DATA, i};
        filter_byte_entry(ed_info.ety_d[i], &key_info_data_fd[i], "Payload byte");
        gui::fit_hex_pairs(ed_info.ety_d[i]);
    }
    g_signal_connect(ed_info.clear_btn, "clicked", G_CALLBACK(btn_ed_clear_cb), nullptr);
    g_signal_connect(ed_info.fill_btn, "clicked", G_CALLBACK(btn_ed_fill_cb), nullptr);
}
