// Connection panel: the port search, connect and disconnect, start and stop
// of both channels, noticing an unplugged adapter, and which parts of the
// window are usable.
#include "guipart.h"
#include "panel_transmit.h"
#include "widgets.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

CD_INFO cd_info;

namespace {

constexpr int kProbeCount = 68;
constexpr const char *kDevPrefix = "/dev/";
// How often a connected adapter is looked for when nothing else would
// notice it gone: within a second of an unplug in every state.
constexpr guint kPresenceCheckMs = 250;

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

void set_sensitive(GtkWidget *w, bool on)
{
    if (w != nullptr)
        gtk_widget_set_sensitive(w, on ? TRUE : FALSE);
}

// What the device area shows while no adapter is connected.
constexpr const char *kDisconnected = "Disconnected";

void set_device_labels(const char *fw, const char *api, const char *mdl, const char *state)
{
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_FW]), fw);
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_API]), api);
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_MDL]), mdl);
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_EN_DIS]), state);
}

void show_running()
{
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Active");
    gtk_button_set_label(GTK_BUTTON(cd_info.btn_start), "Stop CAN");
    ss_follow_channel_mode();
    is_active = true;
    wgt_show_hide(is_connect, true);
}

void start_can()
{
    // The request is read from the widgets here; the operation thread only
    // talks to the adapter.
    auto info = std::make_shared<std::array<CAN_SET_INFO, CAN_CNT>>();
    cs_read_settings(info->data());
    const CAN_RECV_INFO request = rs_recv_request();
    const int port = com_port;
    run_operation(
        "Starting CAN…",
        [port, info, request] {
            int r = procCanSet(port, info->data());
            (void)procInitial(port, true);
            procRecv(port, request);
            return r;
        },
        [info](int r) {
            cs_report_settings(r, info->data());
            int err = gtk_combo_box_get_active(GTK_COMBO_BOX(bs_info.cbbox));
            set_err_str(err == 3 ? VELK_EN_ALL : err);
            show_running();
        });
}

void stop_can()
{
    std::string list_line = tx_stop_all_line("CAN stopped");
    const int port = com_port;
    run_operation(
        "Stopping CAN…",
        [port] {
            // A burst still going would otherwise run on into stopped channels.
            cd_stop_sending(port);
            return procInitial(port, false);
        },
        [list_line](int) {
            set_err_str(0);
            clear_log();
            if (!list_line.empty())
                insert_log(list_line.c_str());
            cd_show_stopped();
        });
}

gboolean check_presence(gpointer)
{
    // While an operation runs it owns the port; its failure, or the next
    // check, tells.
    if (is_connect && !is_busy() && procCheckDevice(com_port) != 0)
        device_gone();
    return G_SOURCE_CONTINUE;
}

}  // namespace

const char *port_display_name(int index)
{
    const char *name = index >= 0 && index < kProbeCount ? comports[index] : nullptr;
    if (name == nullptr)
        return "";
    size_t prefix = strlen(kDevPrefix);
    return strncmp(name, kDevPrefix, prefix) == 0 ? name + prefix : name;
}

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

void search_ports(int report)
{
    if (is_connect)
        return;
    auto fill = [report](int found) {
        for (NODE *node = cd_info.first; node != nullptr; node = node->next)
            gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(cd_info.cbbox), port_display_name(node->com_data));
        gtk_combo_box_set_active(GTK_COMBO_BOX(cd_info.cbbox), 0);
        if (report == SEARCH_QUIET)
            return;
        if (found == 0) {
            clear_log();
            insert_log("No VELK device !");
        } else if (report == SEARCH_ON_REQUEST) {
            char line[64];
            snprintf(line, sizeof line, "Found %d VELK device%s !", found, found == 1 ? "" : "s");
            clear_log();
            insert_log(line);
        }
    };
    // The node list belongs to the operation thread until the search ends;
    // the box is emptied so that nothing selects a node meanwhile.
    if (run_operation("Searching ports…", [] { return search_com(); }, fill))
        gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(cd_info.cbbox));
}

void cd_init(void)
{
    cd_info.frame = gui::widget(MW_builder, "CS_frame");
    cd_info.info_vbox = gui::widget(MW_builder, "Device_info_vbox");
    cd_info.cbbox = gui::widget(MW_builder, "SerialPort_cbox");
    cd_info.btn_cnnt = gui::widget(MW_builder, "Connect_btn");
    cd_info.btn_start = gui::widget(MW_builder, "Start_btn");
    cd_info.btn_refresh = gui::widget(MW_builder, "Refresh_btn");
    cd_info.spinner = gui::widget(MW_builder, "Busy_spinner");
    cd_info.busy_label = gui::widget(MW_builder, "Busy_label");
    gtk_widget_set_focus_on_click(cd_info.btn_cnnt, FALSE);
    gtk_widget_set_focus_on_click(cd_info.btn_start, FALSE);
    // The device's version texts are as long as the adapter makes them: they
    // take the width the area has and are shortened within it, so that the
    // window is as wide whichever adapter is connected. Port names likewise.
    for (int i = 0; i < CD_LABEL_CNT; ++i) {
        cd_info.label[i] = gtk_label_new("");
        gtk_label_set_xalign(GTK_LABEL(cd_info.label[i]), 0.0f);
        gtk_label_set_ellipsize(GTK_LABEL(cd_info.label[i]), PANGO_ELLIPSIZE_END);
        gtk_label_set_max_width_chars(GTK_LABEL(cd_info.label[i]), 1);
        gtk_box_pack_start(GTK_BOX(cd_info.info_vbox), cd_info.label[i], FALSE, FALSE, 5);
    }
    set_device_labels(kDisconnected, "", "", "");
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(cd_info.cbbox));
    for (GList *c = cells; c != nullptr; c = c->next)
        g_object_set(c->data, "ellipsize", PANGO_ELLIPSIZE_END, "max-width-chars", 1, nullptr);
    g_list_free(cells);

    g_signal_connect(cd_info.btn_cnnt, "clicked", G_CALLBACK(btn_cnnt_cb), nullptr);
    g_signal_connect(cd_info.btn_start, "clicked", G_CALLBACK(btn_start_cb), nullptr);
    g_signal_connect(cd_info.btn_refresh, "clicked", G_CALLBACK(btn_refresh_cb), nullptr);
    g_timeout_add(kPresenceCheckMs, check_presence, nullptr);
}

void btn_cnnt_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    // A click while an operation runs (the button is insensitive then)
    // starts nothing.
    if (is_busy())
        return;
    if (is_connect) {
        cd_disconnect(false);
        return;
    }
    NODE *node = selected_port();
    if (node == nullptr)
        return;
    com_port = node->com_data;
    const int port = com_port;
    auto reply = std::make_shared<CAN_CNNT_INFO>();
    run_operation(
        "Connecting…", [port, reply] { return procConnect(port, reply.get()); },
        [reply](int r) {
            clear_log();
            if (r == 0) {
                gtk_button_set_label(GTK_BUTTON(cd_info.btn_cnnt), "Disconnect");
                set_device_labels(reply->fw, reply->api, reply->mdl, "CAN: Inactive");
                insert_log("Connect device successfully !");
                insert_log("Get version successfully !");
                is_connect = true;
                wgt_show_hide(true, is_active);
            } else {
                insert_log(r == 1 ? "Connect device failed !" : "Get version failed !");
            }
        });
}

void cd_disconnect(bool is_gone)
{
    tx_stop_all();
    const int port = com_port;
    run_operation(
        "Disconnecting…",
        [port] {
            CAN_CNNT_INFO request = {};
            request.is_discnnt = true;
            return procConnect(port, &request);
        },
        [is_gone](int) {
            set_err_str(0);
            gtk_button_set_label(GTK_BUTTON(cd_info.btn_cnnt), "Connect");
            set_device_labels(kDisconnected, "", "", "");
            if (!is_gone) {
                clear_log();
                insert_log("Disconnect device successfully !");
            }
            is_connect = false;
            is_active = false;
            gtk_button_set_label(GTK_BUTTON(cd_info.btn_start), "Start CAN");
            wgt_show_hide(false, false);
            // The gone adapter leaves the port box; the log keeps saying why.
            if (is_gone)
                search_ports(SEARCH_QUIET);
        });
}

void device_gone(void)
{
    if (!is_connect || is_busy())
        return;
    clear_log();
    insert_log("Device disconnected !");
    tx_stop_all("the adapter is gone");
    cd_disconnect(true);
}

void cd_stop_sending(int port)
{
    CAN_SEND_INFO cancel;
    std::memset(&cancel, 0, sizeof cancel);
    cancel.is_cancel = true;
    procSend(port, cancel);
}

void cd_show_stopped(void)
{
    gtk_label_set_text(GTK_LABEL(cd_info.label[CD_LABEL_EN_DIS]), "CAN: Inactive");
    gtk_button_set_label(GTK_BUTTON(cd_info.btn_start), "Start CAN");
    is_active = false;
    wgt_show_hide(is_connect, false);
}

void cd_show_running(void)
{
    show_running();
}

void btn_start_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (!is_connect || is_busy())
        return;
    if (is_active)
        stop_can();
    else
        start_can();
}

void btn_refresh_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    search_ports(SEARCH_ON_REQUEST);
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

    if (is_cnt && is_act) {
        set_sensitive(ss_info.btn_send, true);
        set_sensitive(bs_info.cbbox, false);
        set_sensitive(bs_info.label_title[BS_LABEL_ERR_T], false);
        bool normal = is_recv_normal.load();
        for (int i = 0; i < RS_ETY_LAB_CNT; ++i) {
            set_sensitive(rs_info.label[i], normal);
            set_sensitive(rs_info.ety[i], normal);
        }
    } else if (is_cnt) {
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

    // One device operation at a time: while one runs, nothing that would
    // start another can be pressed.
    const bool idle = !is_busy();
    set_sensitive(cd_info.btn_cnnt, idle && (is_cnt || cd_info.first != nullptr));
    set_sensitive(cd_info.btn_refresh, idle && !is_cnt);
    // Reset and the configuration files need an adapter.
    for (int i = 0; i < CS_BTN_CNT; ++i)
        set_sensitive(cs_info.btn[i], idle && is_cnt);
    set_sensitive(rs_info.chk, idle);
    if (!idle) {
        set_sensitive(cd_info.cbbox, false);
        set_sensitive(cd_info.btn_start, false);
        set_sensitive(bs_info.cbbox, false);
        set_sensitive(ss_info.btn_send, false);
    }
}
