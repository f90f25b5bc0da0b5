// CAN settings panel: both channels' nominal and data rates, CAN FD enable,
// listen mode and acceptance filter; applying them, showing the device's
// configuration, reset and configuration files.
#include "guipart.h"
#include "panel_transmit.h"
#include "widgets.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

CS_INFO cs_info;

const char *baud_for_20B_str[] = {"Baud 5K",   "Baud 10K", "Baud 20K",  "Baud 50K", "Baud 100K",
                                  "Baud 125K", "Baud 250K", "Baud 500K", "Baud 800K", "Baud 1M",
                                  "Baud 400K", "CUSTOM 0", "CUSTOM 1",  nullptr};
const char *baud_for_2M_str[] = {"Baud 100K", "Baud 125K", "Baud 250K", "Baud 500K", "Baud 800K",
                                 "Baud 1M",   "Baud 400K", "CUSTOM 0",  "CUSTOM 1",  nullptr};
const char *baud_for_4M_5M_str[] = {"Baud 250K", "Baud 500K", "Baud 800K", "Baud 1M",
                                    "Baud 400K", "CUSTOM 0",  "CUSTOM 1",  nullptr};
const char *databaud_str[] = {"Baud 2M", "Baud 4M", "Baud 5M", nullptr};
const char *filter_str_c[] = {"Filter NONE", "Filter 11-bit", "Filter 29-bit", nullptr};

namespace {

using gui::is_checked;

// Data-rate code per data-rate box index. Codes 6, 8 and 10 have no box
// entry: a device reporting one shows an empty data-rate box.
constexpr int kDataRateCodes[] = {2, 4, 5, 6, 8, 10};
constexpr int kDataRateCount = sizeof(kDataRateCodes) / sizeof(kDataRateCodes[0]);

constexpr int kFilterMaxShort = 3;
constexpr int kFilterMaxLong = 8;

KEY_PRESS_INFO key_info_filter = {ETY_DATA, 0};

GtkWidget *cs_object(const char *id, int channel)
{
    char name[64];
    snprintf(name, sizeof name, "%s%s", id, channel == CAN_1 ? "" : "1");
    return gui::widget(CS_builder, name);
}

void fill_combo(GtkWidget *combo, const char *const *list)
{
    for (int i = 0; list[i] != nullptr; ++i)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), list[i]);
}

// Number of entries the combo shows now.
int combo_count(GtkWidget *combo)
{
    return gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(combo)), nullptr);
}

// Active entry's label copied into buf; false when nothing is selected.
bool active_label(GtkWidget *combo, char *buf, size_t size)
{
    gchar *text = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(combo));
    if (text == nullptr)
        return false;
    g_strlcpy(buf, text, size);
    g_free(text);
    return true;
}

// Selects the first entry whose label is `wanted`; false when none has it.
bool select_label(GtkWidget *combo, const char *wanted)
{
    GtkTreeModel *model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    GtkTreeIter iter;
    int column = gtk_combo_box_get_entry_text_column(GTK_COMBO_BOX(combo));
    if (column < 0)
        column = 0;
    int index = 0;
    for (gboolean ok = gtk_tree_model_get_iter_first(model, &iter); ok; ok = gtk_tree_model_iter_next(model, &iter)) {
        gchar *text = nullptr;
        gtk_tree_model_get(model, &iter, column, &text, -1);
        bool match = text != nullptr && strcmp(text, wanted) == 0;
        g_free(text);
        if (match) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index);
            return true;
        }
        ++index;
    }
    return false;
}

// Selects index, or nothing when the combo has no such entry.
void set_active_checked(GtkWidget *combo, int index)
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), index < combo_count(combo) ? index : -1);
}

void fdf_changed(int channel)
{
    CAN_INFO &can = cs_info.can[channel];
    gboolean on = is_checked(can.chk[CS_FDF]) ? TRUE : FALSE;
    gtk_widget_set_sensitive(can.cbbox[CS_CBBOX_DATABAUD], on);
    gtk_widget_set_sensitive(can.label_fd[CS_LAB_DRATE], on);
    cbbox_band_update(channel);
}

void set_filter_length(int channel, int max)
{
    for (int i = 0; i < CS_ETY_LAB_CNT; ++i)
        gtk_entry_set_max_length(GTK_ENTRY(cs_info.can[channel].ety[i]), max);
}

// Runs a file chooser; returns the chosen path (g_free it) or NULL.
gchar *choose_file(const char *title, GtkFileChooserAction action, const char *accept, const char *suggested)
{
    GtkWidget *dialog = gtk_file_chooser_dialog_new(title, GTK_WINDOW(windows->main_window), action, "Cancel",
                                                    GTK_RESPONSE_CANCEL, accept, GTK_RESPONSE_OK, nullptr);
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    GtkFileChooser *chooser = GTK_FILE_CHOOSER(dialog);
    gui::start_in_last_folder(chooser);
    if (action == GTK_FILE_CHOOSER_ACTION_SAVE) {
        gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
        gtk_file_chooser_set_current_name(chooser, suggested);
    }
    const std::string path = gui::run_file_chooser(dialog, cs_dialog_run);
    gtk_widget_destroy(dialog);
    return path.empty() ? nullptr : g_strdup(path.c_str());
}

// False only when the adapter reports both channels stopped; a failed query
// keeps what the window shows.
bool channels_running(int port)
{
    int can1 = VELK_INACTIVE;
    int can2 = VELK_INACTIVE;
    if (procCanStatus(port, &can1, &can2) != 0)
        return true;
    return can1 != VELK_INACTIVE || can2 != VELK_INACTIVE;
}

CAN_RECV_INFO cancel_request()
{
    CAN_RECV_INFO request;
    std::memset(&request, 0, sizeof request);
    request.is_cancel = true;
    return request;
}

}  // namespace

int find_baud_index(const char *label)
{
    if (label == nullptr)
        return -1;
    for (int i = 0; baud_for_20B_str[i] != nullptr; ++i)
        if (strcmp(baud_for_20B_str[i], label) == 0)
            return i;
    return -1;
}

int cbbox_idx_to_datarate(int index)
{
    return index >= 0 && index < kDataRateCount ? kDataRateCodes[index] : 0;
}

int datarate_to_cbbox_idx(int code)
{
    for (int i = 0; i < kDataRateCount; ++i)
        if (kDataRateCodes[i] == code)
            return i;
    return 0;
}

void cbbox_band_update(int can_port)
{
    CAN_INFO &can = cs_info.can[can_port];
    GtkWidget *nominal = can.cbbox[CS_CBBOX_BAUD];
    char label[32];
    int remembered = active_label(nominal, label, sizeof label) ? find_baud_index(label) : -1;

    gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(nominal));
    const char *const *list = baud_for_20B_str;
    if (is_checked(can.chk[CS_FDF])) {
        char rate[32];
        if (!active_label(can.cbbox[CS_CBBOX_DATABAUD], rate, sizeof rate))
            list = nullptr;
        else if (strcmp(rate, "Baud 4M") == 0 || strcmp(rate, "Baud 5M") == 0)
            list = baud_for_4M_5M_str;
        else
            list = baud_for_2M_str;
    }
    if (list == nullptr)
        return;
    fill_combo(nominal, list);
    gtk_combo_box_set_active(GTK_COMBO_BOX(nominal), 0);
    if (remembered != -1)
        select_label(nominal, baud_for_20B_str[remembered]);
}

void chk_fdfen1_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    fdf_changed(CAN_1);
}

void chk_fdfen2_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    fdf_changed(CAN_2);
}

void cbbox_databaud1_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    cbbox_band_update(CAN_1);
}

void cbbox_databaud2_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    cbbox_band_update(CAN_2);
}

void cbbox_flt1_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    CAN_INFO &can = cs_info.can[CAN_1];
    int index = gtk_combo_box_get_active(GTK_COMBO_BOX(can.cbbox[CS_CBBOX_FILTER]));
    if (index == 2) {
        set_filter_length(CAN_1, kFilterMaxLong);
    } else if (index == 1) {
        set_filter_length(CAN_1, kFilterMaxShort);
    } else {
        set_filter_length(CAN_1, kFilterMaxShort);
        for (int i = 0; i < CS_ETY_LAB_CNT; ++i)
            gtk_entry_set_text(GTK_ENTRY(can.ety[i]), "");
    }
    wgt_show_hide(is_connect, is_active);
}

void cbbox_flt2_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    int index = gtk_combo_box_get_active(GTK_COMBO_BOX(cs_info.can[CAN_2].cbbox[CS_CBBOX_FILTER]));
    set_filter_length(CAN_2, index == 2 ? kFilterMaxLong : kFilterMaxShort);
    wgt_show_hide(is_connect, is_active);
}

void cs_read_settings(CAN_SET_INFO info[CAN_CNT])
{
    const UPUI_INFO upui = upui_info_copy();
    for (int c = 0; c < CAN_CNT; ++c) {
        CAN_INFO &can = cs_info.can[c];
        std::memset(&info[c], 0, sizeof info[c]);
        info[c].fdf = is_checked(can.chk[CS_FDF]);
        // With no data rate selected (a device reporting a rate the box does
        // not list) the device's own rate and nominal rate are written back
        // unchanged rather than an undefined code.
        int rate_index = gtk_combo_box_get_active(GTK_COMBO_BOX(can.cbbox[CS_CBBOX_DATABAUD]));
        info[c].Dbaud = rate_index >= 0 ? cbbox_idx_to_datarate(rate_index) : upui.cfg_info_canfd.datarate[c];
        info[c].mode = is_checked(can.chk[CS_LS]) ? VELK_LISTEN : VELK_NORMAL;
        char label[32];
        int baud = active_label(can.cbbox[CS_CBBOX_BAUD], label, sizeof label) ? find_baud_index(label) : -1;
        info[c].baud = baud >= 0 ? baud : upui.cfg_info_canfd.baud[c];

        int filter = gtk_combo_box_get_active(GTK_COMBO_BOX(can.cbbox[CS_CBBOX_FILTER]));
        if (filter <= 0) {
            info[c].is_filt = false;
        } else {
            info[c].is_filt = true;
            info[c].filt_info.CAN_port = c;
            info[c].filt_info.flt_type = filter;
            info[c].filt_info.flt_id = str_2_uint(gtk_entry_get_text(GTK_ENTRY(can.ety[CS_ETY_LAB_ID])));
            info[c].filt_info.mask = str_2_uint(gtk_entry_get_text(GTK_ENTRY(can.ety[CS_ETY_LAB_MASK])));
        }
    }
}

void cs_report_settings(int result, const CAN_SET_INFO info[CAN_CNT])
{
    if (result != 0)
        return;
    clear_log();
    insert_log("Set mode successfully !");
    insert_log("Set baud rate successfully !");
    insert_log("Set filter successfully !");
    insert_log(info[0].fdf ? "CAN1 operates in CANFD" : "CAN1 operates in CAN2.0B");
    insert_log(info[1].fdf ? "CAN2 operates in CANFD" : "CAN2 operates in CAN2.0B");
}

int set_config(void)
{
    CAN_SET_INFO info[CAN_CNT];
    cs_read_settings(info);
    int r = procCanSet(com_port, info);
    cs_report_settings(r, info);
    return r;
}

void guiStatusUpdate(UPUI_INFO upui)
{
    // Pushed by an operation on its own thread: shown when it has ended.
    if (!on_gui_thread()) {
        defer_status_update(upui);
        return;
    }
    const CANFD_CFG_INFO &cfg = upui.cfg_info_canfd;
    for (int c = 0; c < CAN_CNT; ++c) {
        CAN_INFO &can = cs_info.can[c];
        char id[16] = "";
        char mask[16] = "";
        int filter = cfg.flt_type[c];
        if (filter == VELK_SID) {
            snprintf(id, sizeof id, "%03X", cfg.flt_id[c]);
            snprintf(mask, sizeof mask, "%03X", cfg.flt_mask[c]);
        } else if (filter == VELK_EID) {
            snprintf(id, sizeof id, "%08X", cfg.flt_id[c]);
            snprintf(mask, sizeof mask, "%08X", cfg.flt_mask[c]);
        } else {
            filter = 0;
        }
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(can.chk[CS_LS]), cfg.mode[c] != 0);
        gtk_combo_box_set_active(GTK_COMBO_BOX(can.cbbox[CS_CBBOX_FILTER]), filter);
        gtk_entry_set_text(GTK_ENTRY(can.ety[CS_ETY_LAB_ID]), id);
        gtk_entry_set_text(GTK_ENTRY(can.ety[CS_ETY_LAB_MASK]), mask);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(can.chk[CS_FDF]), cfg.fdf_en[c] != 0);
        set_active_checked(can.cbbox[CS_CBBOX_DATABAUD], datarate_to_cbbox_idx(cfg.datarate[c]));
        if (c == CAN_1)
            chk_fdfen1_cb();
        else
            chk_fdfen2_cb();
        GtkWidget *nominal = can.cbbox[CS_CBBOX_BAUD];
        int baud = cfg.baud[c];
        if (baud >= 13 || !select_label(nominal, baud_for_20B_str[baud]))
            set_active_checked(nominal, 0);
    }

    // Showing the device's error type is no request to set it: the
    // selector's handler, which would send it back, stays out of this.
    int e = cfg.err_set;
    set_err_str(e);
    g_signal_handlers_block_by_func(bs_info.cbbox, reinterpret_cast<gpointer>(cbbox_err_cb), nullptr);
    if (e == VELK_EN_ALL)
        gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 3);
    else if (e >= 0 && e <= 2)
        gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), e);
    g_signal_handlers_unblock_by_func(bs_info.cbbox, reinterpret_cast<gpointer>(cbbox_err_cb), nullptr);

    // The send panel offers CAN FD as the device now runs its channels.
    ss_follow_channel_mode();
}

void btn_reset_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    const int port = com_port;
    tx_stop_all();
    const bool was_running = is_active;
    const CAN_RECV_INFO request = rs_recv_request();
    auto running = std::make_shared<bool>(was_running);
    run_operation(
        "Resetting…",
        [port, was_running, request, running] {
            // The reset stops the adapter's channels: a running burst and the
            // receive worker end first, so neither competes with the reset's
            // commands for the port.
            cd_stop_sending(port);
            if (was_running)
                procRecv(port, cancel_request());
            int r = procReset(port);
            if (was_running) {
                *running = channels_running(port);
                if (*running)
                    procRecv(port, request);
            }
            return r;
        },
        [running](int r) {
            clear_log();
            insert_log(r == 0 ? "Reset CAN successfully !" : "Reset CAN failed !");
            if (is_active && !*running)
                cd_show_stopped();
        });
}

void btn_export_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (is_busy())
        return;
    // The file holds what the panel shows: the panel is applied first.
    auto info = std::make_shared<std::array<CAN_SET_INFO, CAN_CNT>>();
    cs_read_settings(info->data());
    const int port = com_port;
    run_operation(
        "Writing settings…", [port, info] { return procCanSet(port, info->data()); },
        [port, info](int r) {
            cs_report_settings(r, info->data());
            gchar *name = choose_file("Save", GTK_FILE_CHOOSER_ACTION_SAVE, "Save", "velk.cfg");
            if (name == nullptr)
                return;
            std::string path = name;
            g_free(name);
            run_operation(
                "Exporting…", [port, path]() mutable { return procCfg(port, path.data(), false); },
                [](int result) {
                    clear_log();
                    insert_log(result == 0 ? "Export CFG successfully !" : "Export CFG failed !");
                });
        });
}

void btn_import_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (is_busy())
        return;
    gchar *name = choose_file("Open", GTK_FILE_CHOOSER_ACTION_OPEN, "Open", nullptr);
    if (name == nullptr)
        return;
    std::string path = name;
    g_free(name);
    const int port = com_port;
    const bool was_running = is_active;
    auto running = std::make_shared<bool>(was_running);
    run_operation(
        "Importing…",
        [port, path, was_running, running]() mutable {
            int r = procCfg(port, path.data(), true);
            if (r == 0 && was_running) {
                *running = channels_running(port);
                if (!*running)
                    procRecv(port, cancel_request());
            }
            return r;
        },
        [running](int r) {
            clear_log();
            insert_log(r == 0 ? "Import CFG successfully !" : "Import CFG failed !");
            if (!is_active)
                return;
            // The channels' states and CAN FD enables may have changed.
            if (*running)
                cd_show_running();
            else
                cd_show_stopped();
        });
}

void cs_init(void)
{
    cs_info.frame = gui::widget(MW_builder, "CS_frame");
    cs_info.grid_container[CS1_GRID] = gui::widget(MW_builder, "CS1_container_grid");
    cs_info.grid_container[CS2_GRID] = gui::widget(MW_builder, "CS2_container_grid");
    cs_info.grid_container[CS1_WIDGETS] = gui::widget(CS_builder, "CS1_gird");
    cs_info.grid_container[CS2_WIDGETS] = gui::widget(CS_builder, "CS2_gird");
    cs_info.grid_container[CS_NOTEBOOK] = gui::widget(MW_builder, "cs_notebook");
    cs_info.btn[CS_BTN_RESET] = gui::widget(MW_builder, "CS_Reset_btn");
    cs_info.btn[CS_BTN_EXPORT] = gui::widget(MW_builder, "CS_Export_btn");
    cs_info.btn[CS_BTN_IMPORT] = gui::widget(MW_builder, "CS_Import_btn");

    gtk_notebook_remove_page(GTK_NOTEBOOK(cs_info.grid_container[CS_NOTEBOOK]), 2);
    gtk_container_add(GTK_CONTAINER(cs_info.grid_container[CS1_GRID]), cs_info.grid_container[CS1_WIDGETS]);
    gtk_container_add(GTK_CONTAINER(cs_info.grid_container[CS2_GRID]), cs_info.grid_container[CS2_WIDGETS]);

    for (int c = 0; c < CAN_CNT; ++c) {
        CAN_INFO &can = cs_info.can[c];
        can.vbox = cs_info.grid_container[c == CAN_1 ? CS1_WIDGETS : CS2_WIDGETS];
        can.chk[CS_LS] = cs_object("ListenMode_checkbox", c);
        can.chk[CS_FDF] = cs_object("FDEN_checkbox", c);
        can.cbbox[CS_CBBOX_BAUD] = cs_object("NRate_cbbox", c);
        can.cbbox[CS_CBBOX_DATABAUD] = cs_object("DRate_cbbox", c);
        can.cbbox[CS_CBBOX_FILTER] = cs_object("Filter_cbbox", c);
        can.ety[CS_ETY_LAB_ID] = cs_object("ID_entry", c);
        can.ety[CS_ETY_LAB_MASK] = cs_object("Mask_entry", c);
        can.label[CS_ETY_LAB_ID] = cs_object("cs_ID_label", c);
        can.label[CS_ETY_LAB_MASK] = cs_object("cs_Mask_label", c);
        can.label_fd[CS_LAB_NRATE] = cs_object("cs_NRate_label", c);
        can.label_fd[CS_LAB_DRATE] = cs_object("cs_DRate_label", c);
        can.label_fd[CS_LAB_FILTER] = cs_object("cs_Filter_label", c);

        fill_combo(can.cbbox[CS_CBBOX_BAUD], baud_for_20B_str);
        fill_combo(can.cbbox[CS_CBBOX_DATABAUD], databaud_str);
        fill_combo(can.cbbox[CS_CBBOX_FILTER], filter_str_c);
        for (int i = 0; i < CS_CBBOX_CNT; ++i) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(can.cbbox[i]), 0);
            // The nominal-rate list is at its longest now; the shorter CAN FD
            // lists leave the panel as wide.
            gui::hold_width(can.cbbox[i]);
        }
    }

    CAN_INFO &can1 = cs_info.can[CAN_1];
    CAN_INFO &can2 = cs_info.can[CAN_2];
    g_signal_connect(can1.chk[CS_FDF], "clicked", G_CALLBACK(chk_fdfen1_cb), nullptr);
    g_signal_connect(can2.chk[CS_FDF], "clicked", G_CALLBACK(chk_fdfen2_cb), nullptr);
    g_signal_connect(can1.cbbox[CS_CBBOX_DATABAUD], "changed", G_CALLBACK(cbbox_databaud1_cb), nullptr);
    g_signal_connect(can2.cbbox[CS_CBBOX_DATABAUD], "changed", G_CALLBACK(cbbox_databaud2_cb), nullptr);
    g_signal_connect(can1.cbbox[CS_CBBOX_FILTER], "changed", G_CALLBACK(cbbox_flt1_cb), nullptr);
    g_signal_connect(can2.cbbox[CS_CBBOX_FILTER], "changed", G_CALLBACK(cbbox_flt2_cb), nullptr);
    g_signal_connect(cs_info.btn[CS_BTN_RESET], "clicked", G_CALLBACK(btn_reset_cb), nullptr);
    g_signal_connect(cs_info.btn[CS_BTN_IMPORT], "clicked", G_CALLBACK(btn_import_cb), nullptr);
    g_signal_connect(cs_info.btn[CS_BTN_EXPORT], "clicked", G_CALLBACK(btn_export_cb), nullptr);
    for (int c = 0; c < CAN_CNT; ++c) {
        char name[32];
        std::snprintf(name, sizeof name, "CAN %d filter ID", c + 1);
        ety_filter(cs_info.can[c].ety[CS_ETY_LAB_ID], &key_info_filter, name);
        std::snprintf(name, sizeof name, "CAN %d filter mask", c + 1);
        ety_filter(cs_info.can[c].ety[CS_ETY_LAB_MASK], &key_info_filter, name);
    }
}
