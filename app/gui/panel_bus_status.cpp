// Bus status labels, the error-type selector, the receive panel, the
// frame rates and bus load of both channels, and the 1 ms tick that moves
// the worker rings into the frame list, the monitor and the recording.
#include "adapter_time.h"
#include "bus_load.h"
#include "guipart.h"
#include "panel_diagnostics.h"
#include "panel_plot.h"
#include "text_convert.h"
#include "widgets.h"

#include <cstdio>
#include <cstring>

RS_INFO rs_info;

namespace {

using gui::entry_decimal;

KEY_PRESS_INFO key_info_recv = {ETY_NUM, 0};

// A tick lists at most this many entries, so a ring holding tens of
// thousands of frames is shown over several ticks instead of freezing the
// window in one. The order of the rows is the same as with a whole drain;
// the next tick goes on where this one stopped.
constexpr int kMaxEntriesPerTick = 2000;

constexpr const char *kOff = "  N/A   ";
constexpr const char *kEepromOff = "  N/A";
constexpr const char *kArmed = "  000000";
constexpr const char *kEepromArmed = "\xE2\x97\x8B"; // U+25CB

constexpr guint kRateSampleMs = 1000;

gui::LoadMeter load_meter[CAN_CNT];
gint64 last_sample_us = 0;

void set_label(int index, const char *text)
{
    gtk_label_set_text(GTK_LABEL(bs_info.label_content[index]), text);
}

// The error labels' latest texts, shown at the label tick: a stream of
// bus-error reports would change them hundreds of times a second.
char status_text[BS_LABEL_CNT_C][16];
bool status_pending[BS_LABEL_CNT_C] = {};

void drop_pending_status()
{
    for (bool &p : status_pending)
        p = false;
}

void show_pending_status()
{
    for (int i = 0; i < BS_LABEL_CNT_C; ++i)
        if (status_pending[i]) {
            status_pending[i] = false;
            set_label(i, status_text[i]);
        }
}

bool pop_sent(UPBS_INFO *entry)
{
    std::lock_guard<std::mutex> lock(MTX_queue_s);
    return upbs_send_pop(entry);
}

void show_send_failures(const char *text)
{
    long long failed = 0;
    long long tried = 0;
    if (std::sscanf(text, "%lld/%lld", &failed, &tried) != 2)
        return;
    // Added to what the log shows: the request's own lines, or the reason
    // it ended (a vanished adapter).
    char line[96];
    std::snprintf(line, sizeof line, "Send failed for %lld of %lld frames !", failed, tried);
    insert_log(line);
}

// Texts of the workers, run on the GUI thread by the worker layer's idle
// dispatch. Its label numbers are those of the five error labels.
void show_status_text(int label, const char *text)
{
    if (label == APIPART_DEVICE_GONE) {
        device_gone();
        return;
    }
    if (text == nullptr)
        return;
    if (label == APIPART_SEND_FAILED) {
        show_send_failures(text);
        return;
    }
    if (label < BS_LABEL_CAN1_ECR_C || label > BS_LABEL_CAN2_PSR_C)
        return;
    if (bs_info.label_content[label] != nullptr) {
        g_strlcpy(status_text[label], text, sizeof status_text[label]);
        status_pending[label] = true;
    }
    // A bus-error or protocol-status report that names a channel is an
    // error frame on that channel in a recording.
    if (label != BS_LABEL_EE_C && std::strcmp(text, "000000") != 0)
        rec_error_report(label == BS_LABEL_CAN1_ECR_C || label == BS_LABEL_CAN1_PSR_C ? CAN_1 : CAN_2);
}

void count_bits(const CAN_FRAME_INFO &f)
{
    load_meter[f.CAN_port == 0 ? CAN_1 : CAN_2].add(gui::frame_bits(
        f.fdf != 0, f.fdf != 0 && f.brs != 0, f.id_type == VELK_EID, f.rtr != 0, velk::trace::payload_length(f)));
}

// The plot's time of a frame: the adapter's timestamp, else the host's.
void plot_frame(const CAN_FRAME_INFO &f)
{
    int64_t t = 0;
    if (!velk::trace::adapter_time_us(f.timestamp, &t))
        t = g_get_real_time();
    plot_feed(f.CAN_port, f.id, f.id_type == VELK_EID, f.data, velk::trace::payload_length(f), t);
}

// Every frame taken from a ring: recorded, counted for the monitor, the
// bus load and the plot, handed to the Diagnostics tab's connection, and
// listed unless the views are paused.
void take(const UPBS_INFO &entry, bool is_recv)
{
    rec_frame(entry, is_recv);
    mn_frame(entry, is_recv);
    plot_frame(entry.frame_info);
    count_bits(entry.frame_info);
    dg_frame(entry, is_recv);
    if (tr_paused())
        list_count(entry, is_recv);
    else
        list_insert(entry, is_recv);
}

gboolean sample_rates(gpointer)
{
    bs_sample_rates(g_get_monotonic_time());
    return G_SOURCE_CONTINUE;
}

} // namespace

gboolean update_BS_frame(gpointer user_data)
{
    (void)user_data;
    UPBS_INFO entry;
    int budget = kMaxEntriesPerTick;

    if (pop_sent(&entry)) {
        take(entry, false);
        --budget;
    }
    while (budget > 0 && (is_recv_normal.load() || is_done_non_block.load())) {
        bool found = false;
        if (upbs_recv_pop(&entry)) {
            take(entry, true);
            found = true;
            --budget;
        }
        if (pop_sent(&entry)) {
            take(entry, false);
            found = true;
            --budget;
        }
        if (!found) {
            // The whole batch is listed: the worker may collect the next one.
            if (!is_recv_normal.load() && is_done_non_block.load())
                apipart_release_batch();
            break;
        }
    }
    return TRUE;
}

void bs_sample_rates(int64_t now_us)
{
    const double seconds = last_sample_us > 0 ? static_cast<double>(now_us - last_sample_us) / 1e6 : 0;
    last_sample_us = now_us;
    // The rates the adapter reported at connect or start; unknown before.
    const UPUI_INFO upui = upui_info_copy();
    for (int c = 0; c < CAN_CNT; ++c) {
        long nominal = 0;
        long data = 0;
        if (upui.device_type != 0) {
            nominal = gui::nominal_bit_rate(upui.cfg_info_canfd.baud[c]);
            data = gui::data_bit_rate(upui.cfg_info_canfd.datarate[c]);
        }
        const gui::LoadMeter::Sample s = load_meter[c].take(seconds, nominal, data);
        char text[32];
        std::snprintf(text, sizeof text, "%.0f", s.frames_per_s);
        gtk_label_set_text(GTK_LABEL(bs_info.label_rate[c]), text);
        if (s.load_percent >= 0)
            std::snprintf(text, sizeof text, "%.1f %%", s.load_percent);
        else
            std::snprintf(text, sizeof text, "n/a");
        gtk_label_set_text(GTK_LABEL(bs_info.label_load[c]), text);
    }
}

void set_err_str(int select)
{
    drop_pending_status();
    set_label(BS_LABEL_CAN1_ECR_C, kOff);
    set_label(BS_LABEL_CAN2_ECR_C, kOff);
    set_label(BS_LABEL_CAN1_PSR_C, kOff);
    set_label(BS_LABEL_CAN2_PSR_C, kOff);
    set_label(BS_LABEL_EE_C, kEepromOff);
    bool bus = select == VELK_BUS_ERR || select == VELK_EN_ALL;
    bool eeprom = select == VELK_EE_ERR || select == VELK_EN_ALL;
    if (bus) {
        set_label(BS_LABEL_CAN1_ECR_C, kArmed);
        set_label(BS_LABEL_CAN2_ECR_C, kArmed);
        set_label(BS_LABEL_CAN1_PSR_C, kArmed);
        set_label(BS_LABEL_CAN2_PSR_C, kArmed);
    }
    if (eeprom)
        set_label(BS_LABEL_EE_C, kEepromArmed);
}

void cbbox_err_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    if (!is_connect) {
        clear_log();
        insert_log("Please connect device !");
        return;
    }
    int type = gtk_combo_box_get_active(GTK_COMBO_BOX(bs_info.cbbox));
    if (type == 3)
        type = VELK_EN_ALL;
    const int port = com_port;
    run_operation(
        "Setting error type…", [port, type] { return procError(port, type); },
        [type](int result) {
            clear_log();
            if (result == 0) {
                set_err_str(type);
                insert_log("Set error type successfully !");
            } else {
                insert_log("Set error type failed !");
            }
        });
}

CAN_RECV_INFO rs_recv_request(void)
{
    CAN_RECV_INFO request;
    std::memset(&request, 0, sizeof request);
    request.is_cancel = false;
    request.is_normal = is_recv_normal.load();
    if (!request.is_normal) {
        request.cnt = entry_decimal(rs_info.ety[RS_ETY_LAB_DATA_CNT]);
        request.time_out = entry_decimal(rs_info.ety[RS_ETY_LAB_TIME]);
    }
    return request;
}

void chk_non_block_cb(GtkWidget *widget, gpointer user_data)
{
    (void)widget;
    (void)user_data;
    is_recv_normal.store(!gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(rs_info.chk)));
    // No command goes out: replacing the worker takes at most one short
    // library call of the old one, so it runs right here.
    if (is_connect)
        procRecv(com_port, rs_recv_request());
    wgt_show_hide(is_connect, is_active);
}

void rs_init(void)
{
    rs_info.frame = gui::widget(MW_builder, "r_Recv_grid");
    rs_info.chk = gui::widget(MW_builder, "r_NonBlock_checkbox");
    rs_info.label[RS_ETY_LAB_TIME] = gui::widget(MW_builder, "r_Timeout_label");
    rs_info.label[RS_ETY_LAB_DATA_CNT] = gui::widget(MW_builder, "r_Count_label");
    rs_info.ety[RS_ETY_LAB_TIME] = gui::widget(MW_builder, "r_TimeOut_entry");
    rs_info.ety[RS_ETY_LAB_DATA_CNT] = gui::widget(MW_builder, "r_Count_entry");
    gtk_widget_set_focus_on_click(rs_info.chk, FALSE);

    g_signal_connect(rs_info.chk, "clicked", G_CALLBACK(chk_non_block_cb), nullptr);
    ety_filter(rs_info.ety[RS_ETY_LAB_TIME], &key_info_recv, "Receive timeout");
    ety_filter(rs_info.ety[RS_ETY_LAB_DATA_CNT], &key_info_recv, "Receive count");

    // Error and bus-status reports of the receive worker reach the labels
    // through the default main context, that is on this thread.
    apipart_set_status_sink(nullptr, show_status_text);
    g_timeout_add(kRateSampleMs, sample_rates, nullptr);
    gui::on_label_tick(show_pending_status);
}
