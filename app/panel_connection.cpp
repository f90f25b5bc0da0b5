// Connection panel: the start-up port probe, connect and disconnect, start
// and stop of both channels, and which parts of the window are usable.
#include "guipart.h"

#include <cstring>

CD_INFO cd_info;

// Display names of the port indices; the library's own table names indices
// 0 to 15 "/dev/ttyCAN*", so the box and the opened device differ there.
const char *com_table[52] = {
    "/dev/ttyS0",    "/dev/ttyS1",    "/dev/ttyS2",    "/dev/ttyS3",    "/dev/ttyS4",    "/dev/ttyS5",
    "/dev/ttyS6",    "/dev/ttyS7",    "/dev/ttyS8",    "/dev/ttyS9",    "/dev/ttyS10",   "/dev/ttyS11",
    "/dev/ttyS12",   "/dev/ttyS13",   "/dev/ttyS14",   "/dev/ttyS15",   "/dev/ttyUSB0",  "/dev/ttyUSB1",
    "/dev/ttyUSB2",  "/dev/ttyUSB3",  "/dev/ttyUSB4",  "/dev/ttyUSB5",  "/dev/ttyAMA0",  "/dev/ttyAMA1",
    "/dev/ttyACM0",  "/dev/ttyACM1",  "/dev/ttyACM2",  "/dev/ttyACM3",  "/dev/ttyACM4",  "/dev/ttyACM5",
    "/dev/ttyACM6",  "/dev/ttyACM7",  "/dev/ttyACM8",  "/dev/ttyACM9",  "/dev/ttyACM10", "/dev/ttyACM11",
    "/dev/ttyACM12", "/dev/ttyACM13", "/dev/ttyACM14", "/dev/ttyACM15", "/dev/rfcomm0",  "/dev/rfcomm1",
    "/dev/ircomm0",  "/dev/ircomm1",  "/dev/cuau0",    "/dev/cuau1",    "/dev/cuau2",    "/dev/cuau3",
    "/dev/cuaU0",    "/dev/cuaU1",    "/dev/cuaU2",    "/dev/cuaU3",
};

namespace {

constexpr int kProbeCount = 68;
constexpr const char *kDevPrefix = "/dev/";

// The name shown for a found port: com_table without "/dev/"; indices past
// com_table show the library's own device name without "/dev/".
const char *port_display_name(int index)
{
    const char *name = index < 52 ? com_table[index] : comports[index];
    if (name == nullptr)
        return "";
    size_t prefix = strlen(kDevPrefix);
    return strncmp(name, kDevPrefix, prefix) == 0 ? name + prefix : name;
}

void free_port_list()
{
    NODE *node = cd_info.first;
    while (node != nullptr) {
        NODE *next = node->next;
        g_free(node);
        node = next;
    }
    cd_info.first = cd_info.now = cd_info.pre = nullptr;
}

// The node of the active entry of the port box, or NULL.
NODE *selected_port()
{
    int active = gtk_combo_box_get_active(GTK_COMBO_BOX(cd_info.cbbox));
    if (active < 0)
        return nullptr;
    cd_info.now = cd_info.first;
    for (int i = 0; i < active && cd_info.now != nullptr; ++i)
        cd_info.now = cd_info.now->next;
    return cd_info.now;
}

bool is_checked(GtkWidget *chk)
{
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(chk)) != FALSE;
}

void set_checked(GtkWidget *chk, bool on)
{
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(chk), on ? TRUE : FALSE);
}

int entry_decimal(GtkWidget *entry)
{
    return static_cast<int>(g_ascii_strtoll(gtk_entry_get_text(GTK_ENTRY(entry)), nullptr, 10));
}

void set_sensitive(GtkWidget *w, bool on)
{
    if (w != nullptr)
        gtk_widget_set_sensitive(w, on ? TRUE : FALSE);
}

void set_device_labels(const char *fw, const char *api, const char *mdl, const char *state)
{
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_FW]), fw);
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_API]), api);
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_MDL]), mdl);
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_EN_DIS]), state);
}

// The send panel's frame options follow the started channel's CAN FD state.
void adjust_send_options()
{
    int c = gtk_combo_box_get_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]));
    bool fd_channel = c >= 0 && c < CAN_CNT && upui_info.device_type == TYPE_CANFD &&
                      upui_info.cfg_info_canfd.fdf_en[c] != 0;
    GtkWidget *fdf = ss_info.chk[SS_CHK_FDF];
    GtkWidget *brs = ss_info.chk[SS_CHK_BRS];
    GtkWidget *rtr = ss_info.chk[SS_CHK_RTR];
    if (fd_channel) {
        if (is_checked(rtr)) {
            set_checked(fdf, false);
            set_checked(brs, false);
            set_sensitive(fdf, false);
            set_sensitive(brs, false);
        }
        if (is_checked(fdf)) {
            set_checked(rtr, false);
            set_sensitive(rtr, false);
            set_sensitive(brs, true);
        } else {
            set_checked(brs, false);
            set_sensitive(brs, false);
            set_sensitive(rtr, true);
            set_sensitive(fdf, true);
        }
    } else {
        set_sensitive(fdf, false);
        set_sensitive(brs, false);
        set_checked(fdf, false);
        set_checked(brs, false);
    }
}

}  // namespace

int search_com(void)
{
    free_port_list();
    int found = 0;
    for (int i = 0; i < kProbeCount; ++i) {
        if (VELKOpenDevice(i) != 0)
            continue;
        NODE *node = g_new0(NODE, 1);
        node->index = found++;
        node->com_data = i;
        if (cd_info.pre == nullptr)
            cd_info.first = node;
        else
            cd_info.pre->next = node;
        cd_info.pre = node;
        VELKCloseDevice(i);
    }
    return found;
}

int cd_init(void)
{
    cd_info.frame = GTK_WIDGET(gtk_builder_get_object(MW_builder, "CS_frame"));
    cd_info.info_vbox = GTK_WIDGET(gtk_builder_get_object(MW_builder, "Device_info_vbox"));
    cd_info.cbbox = GTK_WIDGET(gtk_builder_get_object(MW_builder, "SerialPort_cbox"));
    cd_info.btn_cnnt = GTK_WIDGET(gtk_builder_get_object(MW_builder, "Connect_btn"));
    cd_info.btn_start = GTK_WIDGET(gtk_builder_get_object(MW_builder, "Start_btn"));
    gtk_widget_set_focus_on_click(cd_info.btn_cnnt, FALSE);
    gtk_widget_set_focus_on_click(cd_info.btn_start, FALSE);
    for (int i = 0; i < CD_LABEL_CNT; ++i) {
        cd_info.label[i] = gtk_label_new("");
        gtk_label_set_xalign(GTK_LABEL(cd_info.label[i]), 0.0f);
        gtk_box_pack_start(GTK_BOX(cd_info.info_vbox), cd_info.label[i], FALSE, FALSE, 5);
    }

    int found = search_com();
    for (NODE *node = cd_info.first; node != nullptr; node = node->next)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(cd_info.cbbox), port_display_name(node->com_data));
    gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), 0);

    g_signal_connect(cd_info.btn_cnnt, "clicked", G_CALLBACK(btn_cnnt_cb), nullptr);
    g_signal_connect(cd_info.btn_start, "clicked", G_CALLBACK(btn_start_cb), nullptr);
    return found;
}

void btn_cnnt_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    // A click that arrives while a connect is still being handled (a nested
    // main loop in a dialog, say) must not start a second one.
    static bool busy = false;
    if (busy)
        return;
    busy = true;

    if (!is_connect) {
        NODE *node = selected_port();
        if (node == nullptr) {
            busy = false;
            return;
        }
        com_port = node->com_data;
        CAN_CNNT_INFO request = {};
        request.is_discnnt = false;
        int r = procConnect(com_port, &request);
        if (r == 0) {
            gtk_button_set_label(GTK_BUTTON(cd_info.btn_cnnt), "Disconnect");
            set_device_labels(request.fw, request.api, request.mdl, "CAN: Inactive");
            clear_log();
            insert_log("Connect device successfully !");
            insert_log("Get version successfully !");
            is_connect = true;
            wgt_show_hide(true, is_active);
        } else if (r == 1) {
            clear_log();
            insert_log("Connect device failed !");
        } else {
            clear_log();
            insert_log("Get version failed !");
        }
    } else {
        set_err_str(0);
        CAN_CNNT_INFO request = {};
        request.is_discnnt = true;
        procConnect(com_port, &request);
        gtk_button_set_label(GTK_BUTTON(cd_info.btn_cnnt), "Connect");
        set_device_labels("", "", "", "");
        clear_log();
        insert_log("Disconnect device successfully !");
        is_connect = false;
        is_active = false;
        gtk_button_set_label(GTK_BUTTON(cd_info.btn_start), "Start CAN");
        wgt_show_hide(false, false);
    }
    busy = false;
}

void btn_start_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (!is_connect)
        return;
    if (!is_active) {
        set_config();
        procInitial(com_port, true);
        int err = gtk_combo_box_get_active(GTK_COMBO_BOX(bs_info.cbbox));
        set_err_str(err == 3 ? VELK_EN_ALL : err);
        gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Active");
        gtk_button_set_label(GTK_BUTTON(cd_info.btn_start), "Stop CAN");
        adjust_send_options();

        CAN_RECV_INFO request = {};
        request.is_cancel = false;
        if (is_recv_normal.load()) {
            request.is_normal = true;
        } else {
            request.is_normal = false;
            request.cnt = entry_decimal(rs_info.ety[RS_ETY_LAB_DATA_CNT]);
            request.time_out = entry_decimal(rs_info.ety[RS_ETY_LAB_TIME]);
        }
        procRecv(com_port, request);
        is_active = true;
        wgt_show_hide(is_connect, true);
    } else {
        set_err_str(0);
        procInitial(com_port, false);
        clear_log();
        gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Inactive");
        gtk_button_set_label(GTK_BUTTON(cd_info.btn_start), "Start CAN");
        is_active = false;
        wgt_show_hide(is_connect, false);
    }
}

void wgt_show_hide(bool is_cnt, bool is_act)
{
    set_sensitive(cd_info.cbbox, !is_cnt);
    set_sensitive(cd_info.btn_start, is_cnt);
    set_sensitive(bs_info.frame, is_cnt);
    set_sensitive(cs_info.grid_container[CS1_GRID], is_cnt && !is_act);
    set_sensitive(cs_info.grid_container[CS2_GRID], is_cnt && !is_act);
    set_sensitive(rs_info.frame, is_cnt && is_act);
    set_sensitive(ss_info.frame, is_cnt && is_act);
    if (!is_cnt)
        return;

    if (is_act) {
        set_sensitive(ss_info.btn_send, true);
        set_sensitive(bs_info.cbbox, false);
        set_sensitive(bs_info.label_title[BS_LABEL_ERR_T], false);
        bool normal = is_recv_normal.load();
        for (int i = 0; i < RS_ETY_LAB_CNT; ++i) {
            set_sensitive(rs_info.label[i], normal);
            set_sensitive(rs_info.ety[i], normal);
        }
    } else {
        set_sensitive(bs_info.cbbox, true);
        set_sensitive(bs_info.label_title[BS_LABEL_ERR_T], true);
        for (int c = 0; c < CAN_CNT; ++c) {
            CAN_INFO &can = cs_info.can[c];
            bool filtered = gtk_combo_box_get_active(GTK_COMBO_BOX(can.cbbox[CS_CBBOX_FILTER])) != 0;
            for (int i = 0; i < CS_ETY_LAB_CNT; ++i) {
                set_sensitive(can.label[i], filtered);
                set_sensitive(can.ety[i], filtered);
            }
        }
    }
}
