// Send panel, data editor, frame list and bus status labels in the running
// utility, without an adapter: every port probe fails, and the rings are
// fed directly as the workers would feed them.
#include "cell_text.h"
#include "gui2_harness.h"
#include "test_support.h"
#include "tools_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

using namespace gui2;

namespace {

class Panels : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        velk::test::unmap_all_ports();
        start_utility();
    }

    void SetUp() override
    {
        // Empty rings and table, normal receive mode, classic frame options.
        UPBS_INFO e;
        {
            std::lock_guard<std::mutex> lock(MTX_queue_s);
            while (upbs_send_pop(&e)) {
            }
        }
        while (upbs_recv_pop(&e)) {
        }
        is_recv_normal = true;
        is_done_non_block = false;
        MTX_queue_r = false;
        btn_clear_cb(nullptr, nullptr);
        upui_info.device_type = 0;
        std::memset(upui_info.cfg_info_canfd.fdf_en, 0, sizeof upui_info.cfg_info_canfd.fdf_en);
        set_check(ss_info.chk[SS_CHK_RTR], false);
        set_check(ss_info.chk[SS_CHK_EID], false);
        set_check(ss_info.chk[SS_CHK_FDF], false);
        answer_editor(nullptr);
        set_check(tr_info.btn_pause, false);
        set_check(tr_info.chk_follow, false);
        gtk_combo_box_set_active(GTK_COMBO_BOX(tr_info.cbbox_time), TIME_ABSOLUTE);
        gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 0);
        btn_mn_clear_cb(nullptr, nullptr);
        pump_pending();
    }

    // Makes CAN 1 a CAN FD channel as a connect with an FD configuration
    // would, and lets the send panel apply its rules.
    void make_fd_channel()
    {
        upui_info.device_type = TYPE_CANFD;
        upui_info.cfg_info_canfd.fdf_en[0] = 1;
        gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 1);
        gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 0);
    }

    void tick() { update_BS_frame(nullptr); }
};

GtkWidget *byte_entry(int i)
{
    return ss_info.ety_d[SS_ETY_D_B0 + i];
}

// A received classic frame with the adapter's timestamp.
CAN_FRAME_INFO stamped(int port, unsigned id, unsigned sec, unsigned usec)
{
    CAN_FRAME_INFO f = classic(port, id, 8);
    f.timestamp.second = sec;
    f.timestamp.micro_second = usec;
    return f;
}

// The monitor's page of the notebook shows, and its model is up to date.
void show_monitor()
{
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook), 1);
    mn_refresh();
}

}  // namespace

// ---- start-up ----------------------------------------------------------

TEST_F(Panels, ErrorLabelsReadOffAtStartUp)
{
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_ECR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_PSR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "  N/A");
    EXPECT_EQ(active_text(bs_info.cbbox), "Disable All");
    EXPECT_EQ(item_count(bs_info.cbbox), 4);
}

TEST_F(Panels, SendPanelStartsWithChannelOneAndLengthEight)
{
    EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_CAN]), "CAN 1");
    EXPECT_EQ(item_count(ss_info.cbbox[SS_CBBOX_CAN]), 2);
    EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_LEN]), "8");
    EXPECT_EQ(item_count(ss_info.cbbox[SS_CBBOX_LEN]), 9);
    EXPECT_EQ(label(ss_info.label_u[SS_ETY_LAB_U_ITVL]), "Interval [us]:");
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(ss_info.ety_d[SS_ETY_D_ID])), 3);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(byte_entry(i))), 2);
    // Count and times hold up to 99999, the interval up to 99,999,999 us.
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_COUNT])), 5);
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_ITVL])), 8);
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(ss_info.ety_u[SS_ETY_LAB_U_TIME])), 5);
}

// ---- error labels --------------------------------------------------------

TEST_F(Panels, ErrorLabelTextsFollowTheReportingType)
{
    set_err_str(VELK_BUS_ERR);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "  N/A");
    set_err_str(VELK_EN_ALL);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_ECR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_PSR_C]), "  000000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "\xE2\x97\x8B");
    set_err_str(VELK_EE_ERR);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN2_PSR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "\xE2\x97\x8B");
    set_err_str(7);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  N/A   ");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_EE_C]), "  N/A");
}

TEST_F(Panels, ErrorTypeWhileDisconnectedAsksForADeviceAndKeepsTheSelection)
{
    ASSERT_FALSE(is_connect);
    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 2);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Please connect device !"});
    EXPECT_EQ(active_text(bs_info.cbbox), "Bus Error");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_CAN1_ECR_C]), "  N/A   ");
    gtk_combo_box_set_active(GTK_COMBO_BOX(bs_info.cbbox), 0);
}

// ---- send panel ----------------------------------------------------------

// The bytes past the length stay in view, cannot be edited, and keep their
// text for when the length grows again.
TEST_F(Panels, BytesPastTheLengthAreInsensitiveAndKeepTheirText)
{
    for (int i = 0; i < 8; ++i) {
        char text[3];
        std::snprintf(text, sizeof text, "%X%X", i + 1, i + 1);
        set_entry(byte_entry(i), text);
    }
    for (const char *len : {"0", "3", "8", "2"}) {
        ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], len));
        for (int i = 0; i < 8; ++i) {
            EXPECT_TRUE(gtk_widget_get_visible(byte_entry(i))) << "length " << len << " B" << i;
            EXPECT_EQ(sensitive(byte_entry(i)), i < std::atoi(len)) << "length " << len << " B" << i;
        }
    }
    EXPECT_EQ(entry(byte_entry(7)), "88");
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "8"));
}

// Unticking EID over an extended identifier keeps it as typed: Send refuses
// it until it is a standard one, and the limit follows it down to 3 digits.
TEST_F(Panels, UncheckingEidKeepsTheIdentifierAndSendRefusesItUntilItFits)
{
    GtkWidget *id = ss_info.ety_d[SS_ETY_D_ID];
    set_check(ss_info.chk[SS_CHK_EID], true);
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(id)), 8);
    set_entry(id, "1FFFFFFF");
    set_check(ss_info.chk[SS_CHK_EID], false);
    EXPECT_EQ(entry(id), "1FFFFFFF");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "1");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_TIME], "1");
    TRD_SEND_INFO before;
    std::memcpy(&before, &trd_send_info, sizeof before);
    btn_send_cb(nullptr, nullptr);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Send refused: a standard identifier is at most 7FF !"});
    EXPECT_FALSE(apipart_send_worker_alive());
    EXPECT_EQ(std::memcmp(&before, &trd_send_info, sizeof before), 0);

    gtk_editable_delete_text(GTK_EDITABLE(id), 3, -1);
    EXPECT_EQ(entry(id), "1FF");
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(id)), 3);
    gint position = 3;
    gtk_editable_insert_text(GTK_EDITABLE(id), "F", -1, &position);
    EXPECT_EQ(entry(id), "1FF");
    EXPECT_EQ(log_lines(), std::vector<std::string>{"ID takes up to 3 hexadecimal digits: \"F\" refused !"});
    set_check(ss_info.chk[SS_CHK_EID], true);
    EXPECT_EQ(gtk_entry_get_max_length(GTK_ENTRY(id)), 8);
}

TEST_F(Panels, ClassicChannelMakesFdfAndBrsInsensitiveAndUnchecked)
{
    set_check(ss_info.chk[SS_CHK_FDF], true);
    gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 1);
    EXPECT_FALSE(checked(ss_info.chk[SS_CHK_FDF]));
    EXPECT_FALSE(checked(ss_info.chk[SS_CHK_BRS]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_FDF]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_BRS]));
    EXPECT_EQ(item_count(ss_info.cbbox[SS_CBBOX_LEN]), 9);
    gtk_combo_box_set_active(GTK_COMBO_BOX(ss_info.cbbox[SS_CBBOX_CAN]), 0);
}

TEST_F(Panels, FdChannelOffersFdfAndCheckingItOffersSixteenLengths)
{
    make_fd_channel();
    EXPECT_TRUE(sensitive(ss_info.chk[SS_CHK_FDF]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_BRS]));
    EXPECT_TRUE(sensitive(ss_info.chk[SS_CHK_RTR]));
    set_check(ss_info.chk[SS_CHK_FDF], true);
    EXPECT_EQ(item_count(ss_info.cbbox[SS_CBBOX_LEN]), 16);
    EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_LEN]), "8");
    EXPECT_TRUE(sensitive(ss_info.chk[SS_CHK_BRS]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_RTR]));
    EXPECT_FALSE(checked(ss_info.chk[SS_CHK_RTR]));
}

TEST_F(Panels, UncheckingFdfResetsTheLengthToEight)
{
    make_fd_channel();
    set_check(ss_info.chk[SS_CHK_FDF], true);
    set_check(ss_info.chk[SS_CHK_BRS], true);
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "48"));
    set_check(ss_info.chk[SS_CHK_FDF], false);
    EXPECT_EQ(active_text(ss_info.cbbox[SS_CBBOX_LEN]), "8");
    EXPECT_EQ(item_count(ss_info.cbbox[SS_CBBOX_LEN]), 9);
    EXPECT_FALSE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "12"));
    EXPECT_FALSE(checked(ss_info.chk[SS_CHK_BRS]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_BRS]));
    EXPECT_TRUE(sensitive(ss_info.chk[SS_CHK_RTR]));
}

TEST_F(Panels, RemoteRequestOnAnFdChannelTakesFdfAway)
{
    make_fd_channel();
    set_check(ss_info.chk[SS_CHK_RTR], true);
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_FDF]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_BRS]));
    set_check(ss_info.chk[SS_CHK_RTR], false);
    EXPECT_TRUE(sensitive(ss_info.chk[SS_CHK_FDF]));
    EXPECT_FALSE(sensitive(ss_info.chk[SS_CHK_BRS]));
}

// The panel's texts as they would be if they got past the filters; the
// entry's buffer takes them without an insert-text.
void force_text(GtkWidget *w, const char *text)
{
    gtk_entry_buffer_set_text(gtk_entry_get_buffer(GTK_ENTRY(w)), text, -1);
}

TEST_F(Panels, FramesThatCannotBeSentAreRefusedWithALogLine)
{
    struct Case {
        const char *id;
        bool eid;
        const char *count;
        const char *times;
        const char *byte0;
        const char *line;
    };
    const Case cases[] = {
        {"800", false, "1", "1", "00", "Send refused: a standard identifier is at most 7FF !"},
        {"", false, "1", "1", "00", "Send refused: the identifier is empty !"},
        {"20000000", true, "1", "1", "00", "Send refused: an extended identifier is at most 1FFFFFFF !"},
        {"1G3", false, "1", "1", "00", "Send refused: the identifier is not hexadecimal !"},
        {"123", false, "1", "1", "G1", "Send refused: data byte 0 is not hexadecimal !"},
        {"123", false, "0", "1", "00", "Nothing sent: Count is 0 !"},
        {"123", false, "", "1", "00", "Nothing sent: Count is 0 !"},
        {"123", false, "1", "0", "00", "Nothing sent: Times is 0 !"},
    };
    for (const Case &c : cases) {
        set_check(ss_info.chk[SS_CHK_EID], c.eid);
        force_text(ss_info.ety_d[SS_ETY_D_ID], c.id);
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], c.count);
        set_entry(ss_info.ety_u[SS_ETY_LAB_U_TIME], c.times);
        force_text(byte_entry(0), c.byte0);
        TRD_SEND_INFO before;
        std::memcpy(&before, &trd_send_info, sizeof before);
        btn_send_cb(nullptr, nullptr);
        EXPECT_EQ(log_lines(), std::vector<std::string>{c.line}) << c.id;
        EXPECT_FALSE(apipart_send_worker_alive()) << c.line;
        EXPECT_EQ(std::memcmp(&before, &trd_send_info, sizeof before), 0) << c.line;
    }

    // Twelve bytes on a frame that is not CAN FD.
    make_fd_channel();
    set_check(ss_info.chk[SS_CHK_FDF], true);
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "12"));
    g_signal_handlers_block_by_func(ss_info.chk[SS_CHK_FDF], reinterpret_cast<gpointer>(chk_fdf_cb), nullptr);
    set_check(ss_info.chk[SS_CHK_FDF], false);
    g_signal_handlers_unblock_by_func(ss_info.chk[SS_CHK_FDF], reinterpret_cast<gpointer>(chk_fdf_cb), nullptr);
    force_text(ss_info.ety_d[SS_ETY_D_ID], "123");
    btn_send_cb(nullptr, nullptr);
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Send refused: a CAN 2.0B frame carries at most 8 bytes !"});
    EXPECT_FALSE(apipart_send_worker_alive());
    guiDlcUpdate();
    set_entry(byte_entry(0), "00");
}

// Text that arrives without key presses goes in only when it is wholly a
// number of the entry's kind that fits the entry; otherwise the entry keeps
// its text and the log says what it takes. A paste is judged by the text it
// would leave, the selection replaced.
TEST_F(Panels, TextThatIsNotWhollyANumberOfTheFieldsKindIsRefusedWhole)
{
    GtkWidget *count = ss_info.ety_u[SS_ETY_LAB_U_COUNT];
    const std::string count_rule = "Count takes a whole number from 0 to 99999: ";
    struct Case {
        GtkWidget *entry;
        const char *before;
        const char *inserted;
        const char *after;
        std::string line;  // empty: taken without a line
    };
    const Case cases[] = {
        {count, "7", "1e3", "7", count_rule + "\"1e3\" refused !"},
        {count, "", "-5", "", count_rule + "\"-5\" refused !"},
        {count, "", "123456", "", count_rule + "\"123456\" refused !"},
        {count, "12", "3456", "12", count_rule + "\"3456\" refused !"},
        {count, "", " 42\n", "42", ""},
        {ss_info.ety_u[SS_ETY_LAB_U_ITVL], "", "1,000 us", "",
         "Interval takes a whole number from 0 to 99999999: \"1,000 us\" refused !"},
        {ss_info.ety_u[SS_ETY_LAB_U_ITVL], "", "99999999", "99999999", ""},
        {ss_info.ety_u[SS_ETY_LAB_U_TIME], "", "abcdefghijklmnopqrstuvwxyz", "",
         "Times takes a whole number from 0 to 99999: \"abcdefghijklmnopqrst…\" refused !"},
        {ss_info.ety_d[SS_ETY_D_ID], "", "7fz", "", "ID takes up to 3 hexadecimal digits: \"7fz\" refused !"},
        {ss_info.ety_d[SS_ETY_D_ID], "", "0x7fF", "7fF", ""},
        {byte_entry(0), "", "a5", "a5", ""},
        {byte_entry(0), "", "a5b", "", "Data byte 0 takes up to 2 hexadecimal digits: \"a5b\" refused !"},
        {cs_info.can[CAN_2].ety[CS_ETY_LAB_MASK], "", "0x7F", "7F", ""},
        {rs_info.ety[RS_ETY_LAB_TIME], "100", "-50", "100",
         "Receive timeout takes a whole number from 0 to 99999: \"-50\" refused !"},
    };
    for (const Case &c : cases) {
        set_entry(c.entry, c.before);
        clear_log();
        gint position = gtk_entry_get_text_length(GTK_ENTRY(c.entry));
        gtk_editable_insert_text(GTK_EDITABLE(c.entry), c.inserted, -1, &position);
        EXPECT_EQ(entry(c.entry), c.after) << c.inserted;
        EXPECT_EQ(log_lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line})
            << c.inserted;
    }

    // Pasting over the whole selected text.
    gtk_widget_set_sensitive(ss_info.frame, TRUE);
    GtkClipboard *clipboard = gtk_widget_get_clipboard(count, GDK_SELECTION_CLIPBOARD);
    for (const Case &c : {Case{count, "12", "1e3", "12", count_rule + "\"1e3\" refused !"},
                          Case{count, "12", "345", "345", ""}}) {
        set_entry(count, c.before);
        clear_log();
        gtk_clipboard_set_text(clipboard, c.inserted, -1);
        gtk_editable_select_region(GTK_EDITABLE(count), 0, -1);
        g_signal_emit_by_name(count, "paste-clipboard");
        EXPECT_TRUE(pump_until([&] { return entry(count) != c.before || !log_lines().empty(); }, 3000));
        EXPECT_EQ(entry(count), c.after) << c.inserted;
        EXPECT_EQ(log_lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
    }
    gtk_widget_set_sensitive(ss_info.frame, FALSE);
    set_entry(count, "1");
}

TEST_F(Panels, IntervalsOfSecondsCanBeEnteredAndSent)
{
    GtkWidget *itvl = ss_info.ety_u[SS_ETY_LAB_U_ITVL];
    set_entry(itvl, "");
    gint position = 0;
    gtk_editable_insert_text(GTK_EDITABLE(itvl), "10000000", -1, &position);
    EXPECT_EQ(entry(itvl), "10000000");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_COUNT], "2");
    set_entry(ss_info.ety_u[SS_ETY_LAB_U_TIME], "1");
    set_entry(ss_info.ety_d[SS_ETY_D_ID], "123");
    btn_send_cb(nullptr, nullptr);
    EXPECT_TRUE(apipart_send_worker_alive()) << "waiting 10 s after its first frame";
    EXPECT_EQ(trd_send_info.info.itvl, 10000000);
    btn_stop_cb(nullptr, nullptr);
    EXPECT_FALSE(apipart_send_worker_alive());
    set_entry(itvl, "0");
}

// ---- data editor ---------------------------------------------------------

TEST_F(Panels, AcceptedEditorOf64BytesShowsItsFirstEightInThePanel)
{
    make_fd_channel();
    set_check(ss_info.chk[SS_CHK_FDF], true);
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "64"));
    for (int i = 0; i < 8; ++i)
        EXPECT_TRUE(gtk_widget_get_visible(byte_entry(i)));
    int shown = -1;
    answer_editor([&] {
        shown = 0;
        for (int i = 0; i < 64; ++i)
            shown += gtk_widget_get_visible(ed_info.ety_d[i]) ? 1 : 0;
        gtk_button_clicked(GTK_BUTTON(ed_info.fill_btn));
        gtk_entry_set_text(GTK_ENTRY(ed_info.ety_d[0]), "a5");
        return 1;
    });
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
    EXPECT_EQ(shown, 64);
    EXPECT_EQ(entry(byte_entry(0)), "A5");
    for (int i = 1; i < 8; ++i) {
        char want[3];
        std::snprintf(want, sizeof want, "%02X", i);
        EXPECT_EQ(entry(byte_entry(i)), want);
    }
    EXPECT_EQ(g_data[0], 0xA5);
    EXPECT_EQ(g_data[63], 0x3F);
    EXPECT_FALSE(gtk_widget_get_visible(windows->ed_dialog));
}

TEST_F(Panels, CancelledEditorIsRestoredFromTheStagingBuffer)
{
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "4"));
    set_entry(byte_entry(0), "11");
    set_entry(byte_entry(1), "22");
    set_entry(byte_entry(2), "3");
    set_entry(byte_entry(3), "");
    answer_editor([] {
        gtk_button_clicked(GTK_BUTTON(ed_info.clear_btn));
        gtk_entry_set_text(GTK_ENTRY(ed_info.ety_d[1]), "FF");
        return GTK_RESPONSE_CANCEL;
    });
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
    EXPECT_EQ(entry(ed_info.ety_d[0]), "11");
    EXPECT_EQ(entry(ed_info.ety_d[1]), "22");
    EXPECT_EQ(entry(ed_info.ety_d[2]), "03");
    EXPECT_EQ(entry(ed_info.ety_d[3]), "00");
    // The panel keeps what the user typed.
    EXPECT_EQ(entry(byte_entry(2)), "3");
    EXPECT_EQ(entry(byte_entry(3)), "");
    EXPECT_EQ(g_data[1], 0x22);
}

TEST_F(Panels, EditorShowsOnlyTheSelectedLength)
{
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "0"));
    int shown = -1;
    answer_editor([&] {
        shown = 0;
        for (int i = 0; i < 64; ++i)
            shown += gtk_widget_get_visible(ed_info.ety_d[i]) ? 1 : 0;
        return 1;
    });
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
    EXPECT_EQ(shown, 0);
}

TEST_F(Panels, EditorButtonsTouchTheEntriesOnly)
{
    unsigned char before[64];
    std::memcpy(before, g_data, sizeof before);
    gtk_button_clicked(GTK_BUTTON(ed_info.fill_btn));
    EXPECT_EQ(entry(ed_info.ety_d[10]), "0A");
    EXPECT_EQ(entry(ed_info.ety_d[63]), "3F");
    gtk_button_clicked(GTK_BUTTON(ed_info.clear_btn));
    EXPECT_EQ(entry(ed_info.ety_d[10]), "00");
    EXPECT_EQ(std::memcmp(before, g_data, sizeof before), 0);
}

// Clear leaves every cell full; typing goes over the cells as in a hex
// editor, two digits a cell, from a cell clicked into (no selection) on.
TEST_F(Panels, EditorIsTypedOverAfterClearTwoDigitsACell)
{
    make_fd_channel();
    set_check(ss_info.chk[SS_CHK_FDF], true);
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "64"));
    std::string typed;
    for (int i = 0; i < 64; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", (0xAA + i * 0x11) & 0xFF);
        typed += pair;
    }
    std::vector<std::string> cells;
    GtkWidget *last_focus = nullptr;
    GtkWidget *after_cc = nullptr;
    answer_editor([&] {
        gtk_button_clicked(GTK_BUTTON(ed_info.clear_btn));
        gtk_widget_grab_focus(ed_info.ety_d[0]);
        gtk_editable_set_position(GTK_EDITABLE(ed_info.ety_d[0]), -1);
        type_text(ed_info.ety_d[0], typed.c_str());
        last_focus = focus_of(ed_info.ety_d[0]);
        for (GtkWidget *d : ed_info.ety_d)
            cells.push_back(gtk_entry_get_text(GTK_ENTRY(d)));
        // A cell with the cursor between its digits is typed over too.
        gtk_widget_grab_focus(ed_info.ety_d[5]);
        gtk_editable_set_position(GTK_EDITABLE(ed_info.ety_d[5]), 1);
        type_text(ed_info.ety_d[5], "cC");
        after_cc = focus_of(ed_info.ety_d[5]);
        return 1;
    });
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
    ASSERT_EQ(cells.size(), 64u);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(cells[i], typed.substr(2 * i, 2)) << "D" << i;
    EXPECT_EQ(last_focus, ed_info.ety_d[63]);
    EXPECT_EQ(after_cc, ed_info.ety_d[6]);
    EXPECT_EQ(g_data[0], 0xAA);
    EXPECT_EQ(g_data[5], 0xCC);
    EXPECT_EQ(g_data[63], (0xAA + 63 * 0x11) & 0xFF);
    EXPECT_EQ(entry(byte_entry(1)), "BB");
    screenshot("editor_typed");
}

// Any two capital hexadecimal digits show whole in the editor's cells and
// the panel's byte boxes, beside the cursor.
TEST_F(Panels, ByteCellsShowAnyTwoCapitalHexDigitsWhole)
{
    auto check = [](GtkWidget *cell) {
        for (const char *d = "0123456789ABCDEF"; *d != '\0'; ++d) {
            const char pair[3] = {*d, *d, '\0'};
            gtk_entry_set_text(GTK_ENTRY(cell), pair);
            int width = 0;
            pango_layout_get_pixel_size(gtk_entry_get_layout(GTK_ENTRY(cell)), &width, nullptr);
            GdkRectangle area;
            gtk_entry_get_text_area(GTK_ENTRY(cell), &area);
            EXPECT_GE(area.width, width + 1) << pair << " in " << gtk_widget_get_name(cell);
        }
    };
    answer_editor([&] {
        pump_until([] { return gtk_widget_get_allocated_width(ed_info.ety_d[0]) > 1; }, 3000);
        check(ed_info.ety_d[0]);
        return GTK_RESPONSE_CANCEL;
    });
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
    check(byte_entry(0));
    set_entry(byte_entry(0), "");
}

// The status log shows whole lines at the window's size and at another one:
// a line that does not fit whole is not shown in part.
TEST_F(Panels, StatusLogShowsWholeLines)
{
    clear_log();
    for (int i = 0; i < 8; ++i)
        insert_log(("line " + std::to_string(i)).c_str());
    // The lines shown whole, when no line is shown in part (the log shows
    // its newest lines, so those above are scrolled out of view); else -1.
    auto whole_lines = [] {
        GdkRectangle visible;
        gtk_tree_view_get_visible_rect(GTK_TREE_VIEW(sl_info.tree), &visible);
        int whole = 0;
        for (int n = 0; n < 8; ++n) {
            GtkTreePath *path = gtk_tree_path_new_from_indices(n, -1);
            GdkRectangle row;
            gtk_tree_view_get_background_area(GTK_TREE_VIEW(sl_info.tree), path, nullptr, &row);
            gtk_tree_path_free(path);
            if (row.height <= 0)
                return -1;
            if (row.y >= 0 && row.y + row.height <= visible.height)
                ++whole;
            else if (row.y + row.height > 0 && row.y < visible.height)
                return -1;
        }
        return whole;
    };
    int shown = -1;
    EXPECT_TRUE(pump_until([&] { return (shown = whole_lines()) >= 5; }, 3000)) << shown;
    int w = 0;
    int h = 0;
    gtk_window_get_size(GTK_WINDOW(windows->main_window), &w, &h);
    // Each check waits for the log's new height first.
    const int tall = gtk_widget_get_allocated_height(sl_info.tree);
    gtk_window_resize(GTK_WINDOW(windows->main_window), w, h - 37);
    EXPECT_TRUE(pump_until([&] { return gtk_widget_get_allocated_height(sl_info.tree) < tall; }, 3000));
    EXPECT_TRUE(pump_until([&] { return (shown = whole_lines()) >= 3; }, 3000)) << shown;
    const int small = gtk_widget_get_allocated_height(sl_info.tree);
    gtk_window_resize(GTK_WINDOW(windows->main_window), w, h);
    EXPECT_TRUE(pump_until([&] { return gtk_widget_get_allocated_height(sl_info.tree) > small; }, 3000));
    EXPECT_TRUE(pump_until([&] { return (shown = whole_lines()) >= 5; }, 3000)) << shown;
}

// A line added below the five of a start of CAN is scrolled into view;
// after the user scrolls up to older lines a new line leaves the view
// there, and scrolling back to the end follows again. A clear follows too.
TEST_F(Panels, StatusLogKeepsItsNewestLineInViewUnlessScrolledUp)
{
    clear_log();
    for (int i = 0; i < 12; ++i) {
        insert_log(("line " + std::to_string(i)).c_str());
        EXPECT_TRUE(log_shows_newest()) << i;
    }
    GtkAdjustment *adj = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(sl_info.box));
    ASSERT_GT(gtk_adjustment_get_upper(adj), gtk_adjustment_get_page_size(adj)) << "the log holds more than it shows";
    gtk_adjustment_set_value(adj, 0);
    insert_log("line 12");
    pump_until([] { return false; }, 200);
    EXPECT_EQ(gtk_adjustment_get_value(adj), 0) << "the user's place is kept";
    EXPECT_FALSE(log_shows_newest(200));
    gtk_adjustment_set_value(adj, gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj));
    insert_log("line 13");
    EXPECT_TRUE(log_shows_newest());
    gtk_adjustment_set_value(adj, 0);
    clear_log();
    for (int i = 0; i < 12; ++i)
        insert_log(("again " + std::to_string(i)).c_str());
    EXPECT_TRUE(log_shows_newest());
}

// A line longer than the log is wide wraps onto more text lines of the
// log's width, so that none of it is cut off.
TEST_F(Panels, StatusLogWrapsALongLineToItsWidth)
{
    clear_log();
    insert_log("short");
    std::string line = "Transmit list started:";
    for (int i = 0; i < 3; ++i)
        line += " CAN1 100 of 5000 frames/s, CAN2 20 of 5000 frames/s";
    insert_log(line.c_str());
    ASSERT_TRUE(log_shows_newest());
    auto row_height = [](int n) {
        GtkTreePath *path = gtk_tree_path_new_from_indices(n, -1);
        GdkRectangle row;
        gtk_tree_view_get_background_area(GTK_TREE_VIEW(sl_info.tree), path, nullptr, &row);
        gtk_tree_path_free(path);
        return row.height;
    };
    EXPECT_TRUE(pump_until([&] { return row_height(1) >= 2 * row_height(0); }, 3000))
        << row_height(1) << " " << row_height(0);
    GtkTreeViewColumn *column = gtk_tree_view_get_column(GTK_TREE_VIEW(sl_info.tree), 0);
    EXPECT_LE(gtk_tree_view_column_get_width(column), gtk_widget_get_allocated_width(sl_info.tree));
    GtkAdjustment *h = gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(sl_info.box));
    EXPECT_LE(gtk_adjustment_get_upper(h), gtk_adjustment_get_page_size(h)) << "nothing to scroll sideways";
    int w = 0;
    int h_ = 0;
    gtk_window_get_size(GTK_WINDOW(windows->main_window), &w, &h_);
    EXPECT_LE(w, 1280) << "the long line does not widen the window";
}

// ---- key filter ----------------------------------------------------------

TEST_F(Panels, TwoDigitsInB3StayThereAndMoveTheFocusToB4)
{
    // The panel is insensitive while disconnected; only sensitive entries
    // take the focus.
    gtk_widget_set_sensitive(ss_info.frame, TRUE);
    set_entry(byte_entry(3), "");
    gtk_widget_grab_focus(byte_entry(3));
    EXPECT_FALSE(press_key(byte_entry(3), GDK_KEY_a));
    EXPECT_EQ(focus_of(byte_entry(3)), byte_entry(3));
    EXPECT_FALSE(press_key(byte_entry(3), GDK_KEY_7));
    EXPECT_EQ(entry(byte_entry(3)), "a7");
    EXPECT_EQ(focus_of(byte_entry(3)), byte_entry(4));
    gtk_widget_set_sensitive(ss_info.frame, FALSE);
}

TEST_F(Panels, SecondDigitInB7KeepsTheFocus)
{
    gtk_widget_set_sensitive(ss_info.frame, TRUE);
    set_entry(byte_entry(7), "");
    gtk_widget_grab_focus(byte_entry(7));
    press_key(byte_entry(7), GDK_KEY_1);
    press_key(byte_entry(7), GDK_KEY_2);
    EXPECT_EQ(entry(byte_entry(7)), "12");
    EXPECT_EQ(focus_of(byte_entry(7)), byte_entry(7));
    gtk_widget_set_sensitive(ss_info.frame, FALSE);
}

TEST_F(Panels, SecondDigitInD63KeepsTheFocusAndD62MovesOn)
{
    make_fd_channel();
    set_check(ss_info.chk[SS_CHK_FDF], true);
    ASSERT_TRUE(select_text(ss_info.cbbox[SS_CBBOX_LEN], "64"));
    GtkWidget *after_d62 = nullptr;
    GtkWidget *after_d63 = nullptr;
    std::string d63;
    answer_editor([&] {
        GtkWidget *d62w = ed_info.ety_d[62];
        GtkWidget *d63w = ed_info.ety_d[63];
        gtk_entry_set_text(GTK_ENTRY(d62w), "");
        gtk_widget_grab_focus(d62w);
        press_key(d62w, GDK_KEY_4);
        press_key(d62w, GDK_KEY_5);
        after_d62 = focus_of(d62w);
        gtk_entry_set_text(GTK_ENTRY(d63w), "");
        gtk_widget_grab_focus(d63w);
        press_key(d63w, GDK_KEY_c);
        press_key(d63w, GDK_KEY_D);
        after_d63 = focus_of(d63w);
        d63 = gtk_entry_get_text(GTK_ENTRY(d63w));
        return GTK_RESPONSE_CANCEL;
    });
    gtk_button_clicked(GTK_BUTTON(ss_info.btn_can_data));
    EXPECT_EQ(after_d62, ed_info.ety_d[63]);
    EXPECT_EQ(after_d63, ed_info.ety_d[63]);
    EXPECT_EQ(d63, "cD");
}

TEST_F(Panels, NumericEntriesTakeDecimalDigitsOnly)
{
    GtkWidget *count = ss_info.ety_u[SS_ETY_LAB_U_COUNT];
    set_entry(count, "");
    EXPECT_TRUE(press_key(count, GDK_KEY_a));
    EXPECT_TRUE(press_key(count, GDK_KEY_minus));
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Count takes a whole number from 0 to 99999: \"-\" refused !"});
    EXPECT_TRUE(press_key(count, GDK_KEY_v));
    EXPECT_FALSE(press_key(count, GDK_KEY_5));
    EXPECT_FALSE(press_key(count, GDK_KEY_KP_3));
    EXPECT_FALSE(press_key(count, GDK_KEY_BackSpace));
    EXPECT_FALSE(press_key(count, GDK_KEY_Tab));
    EXPECT_FALSE(press_key(count, GDK_KEY_Left));
    EXPECT_FALSE(press_key(count, GDK_KEY_Right));
    EXPECT_FALSE(press_key(count, GDK_KEY_Delete));

    // A digit past the field's range is refused with the range.
    gtk_widget_set_sensitive(ss_info.frame, TRUE);
    set_entry(count, "");
    gtk_widget_grab_focus(count);
    type_text(count, "123456");
    EXPECT_EQ(entry(count), "12345");
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Count takes a whole number from 0 to 99999: \"6\" refused !"});
    gtk_widget_set_sensitive(ss_info.frame, FALSE);
    set_entry(count, "1");
}

TEST_F(Panels, HexadecimalEntriesTakeHexDigitsOnly)
{
    GtkWidget *id = ss_info.ety_d[SS_ETY_D_ID];
    EXPECT_FALSE(press_key(id, GDK_KEY_f));
    EXPECT_FALSE(press_key(id, GDK_KEY_F));
    EXPECT_FALSE(press_key(id, GDK_KEY_0));
    EXPECT_TRUE(press_key(id, GDK_KEY_g));
    EXPECT_TRUE(press_key(id, GDK_KEY_G));
    EXPECT_TRUE(press_key(id, GDK_KEY_space));
    EXPECT_TRUE(press_key(byte_entry(0), GDK_KEY_x));
}

// Keys that type no character (moving, selecting, shortcuts) reach the
// entry; the filter acts on characters only.
TEST_F(Panels, NavigationAndSelectionKeysReachTheEntries)
{
    struct Key {
        guint keyval;
        guint state;
    };
    const Key keys[] = {
        {GDK_KEY_Home, 0},
        {GDK_KEY_End, 0},
        {GDK_KEY_a, GDK_CONTROL_MASK},
        {GDK_KEY_c, GDK_CONTROL_MASK},
        {GDK_KEY_v, GDK_CONTROL_MASK},
        {GDK_KEY_Left, GDK_SHIFT_MASK},
        {GDK_KEY_Home, GDK_SHIFT_MASK},
        {GDK_KEY_KP_Home, 0},
    };
    gtk_widget_set_sensitive(ss_info.frame, TRUE);
    for (GtkWidget *w : {ss_info.ety_u[SS_ETY_LAB_U_COUNT], ss_info.ety_d[SS_ETY_D_ID], byte_entry(0)})
        for (const Key &k : keys)
            EXPECT_FALSE(press_key(w, k.keyval, k.state)) << gdk_keyval_name(k.keyval) << " " << k.state;

    // "10" typed over a selected "1" is 10.
    GtkWidget *count = ss_info.ety_u[SS_ETY_LAB_U_COUNT];
    set_entry(count, "1");
    gtk_widget_grab_focus(count);
    press_key(count, GDK_KEY_End);
    press_key(count, GDK_KEY_Home, GDK_SHIFT_MASK);
    press_key(count, GDK_KEY_1);
    press_key(count, GDK_KEY_0);
    EXPECT_EQ(entry(count), "10");
    gtk_widget_set_sensitive(ss_info.frame, FALSE);
}

// ---- frame list ----------------------------------------------------------

TEST_F(Panels, ClassicSendRowShowsEveryColumn)
{
    CAN_FRAME_INFO f = classic(0, 0x123, 3);
    push_sent(f, "01:02:03:004");
    tick();
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, COL_NO), "1");
    EXPECT_EQ(cell(0, COL_CH), "1");
    EXPECT_EQ(cell(0, COL_PATH), "Send");
    EXPECT_EQ(cell(0, COL_MOD), "SID");
    EXPECT_EQ(cell(0, COL_ID), "123");
    EXPECT_EQ(cell(0, COL_TYPE), "2.0B");
    EXPECT_EQ(cell(0, COL_LEN), "3");
    EXPECT_EQ(cell(0, COL_DATA), "01 02 03");
    EXPECT_EQ(cell(0, COL_TIME), "01:02:03:004");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_SEND1_C]), "1");
}

TEST_F(Panels, IdentifiersAreZeroPaddedByFormat)
{
    CAN_FRAME_INFO s = classic(1, 0x5, 1);
    CAN_FRAME_INFO e = classic(1, 0x5, 1);
    e.id_type = VELK_EID;
    push_received(s);
    push_received(e);
    tick();
    ASSERT_EQ(rows(), 2);
    EXPECT_EQ(cell(0, COL_ID), "005");
    EXPECT_EQ(cell(1, COL_ID), "00000005");
    EXPECT_EQ(cell(1, COL_MOD), "EID");
    EXPECT_EQ(cell(1, COL_CH), "2");
    EXPECT_EQ(cell(1, COL_PATH), "Recv");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_RECV2_C]), "2");
}

TEST_F(Panels, FdTypeTextsNameBrsAndEsi)
{
    CAN_FRAME_INFO f = classic(0, 0x10, 8);
    f.fdf = 1;
    f.brs = 1;
    f.esi = 1;
    push_sent(f);
    f.brs = 0;
    push_sent(f);
    f.esi = 0;
    push_sent(f);
    f.fdf = 0;
    f.brs = 1;  // BRS without FDF names no type
    push_sent(f);
    for (int i = 0; i < 4; ++i)
        tick();
    ASSERT_EQ(rows(), 4);
    EXPECT_EQ(cell(0, COL_TYPE), "FD / BRS / ESI");
    EXPECT_EQ(cell(1, COL_TYPE), "FD / ESI");
    EXPECT_EQ(cell(2, COL_TYPE), "FD");
    EXPECT_EQ(cell(3, COL_TYPE), "");
}

TEST_F(Panels, RemoteFrameShowsRtrAndLeavesDataUnset)
{
    CAN_FRAME_INFO f = classic(1, 0x7FF, 4);
    f.rtr = 1;
    push_received(f);
    tick();
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, COL_TYPE), "RTR ");
    EXPECT_EQ(cell(0, COL_LEN), "4");
    EXPECT_FALSE(cell_is_set(0, COL_DATA));
}

TEST_F(Panels, ZeroLengthFrameShowsAnEmptyDataCell)
{
    push_sent(classic(0, 0x1, 0));
    tick();
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, COL_LEN), "0");
    EXPECT_EQ(cell(0, COL_DATA), "");
}

TEST_F(Panels, DlcNineShowsTwelveBytesOnTwoLines)
{
    CAN_FRAME_INFO f = classic(0, 0x1, 9);
    f.fdf = 1;
    push_sent(f);
    tick();
    EXPECT_EQ(cell(0, COL_LEN), "12");
    EXPECT_EQ(cell(0, COL_DATA), "01 02 03 04 05 06 07 08\n09 0A 0B 0C");
}

TEST_F(Panels, SixtyFourBytesTakeEightLines)
{
    CAN_FRAME_INFO f = classic(0, 0x1, 15);
    f.fdf = 1;
    push_sent(f);
    CAN_FRAME_INFO odd = classic(0, 0x1, 200);  // out-of-range code
    odd.fdf = 1;
    push_sent(odd);
    tick();
    tick();
    std::string data = cell(0, COL_DATA);
    EXPECT_EQ(cell(0, COL_LEN), "64");
    EXPECT_EQ(data.size(), 191u);
    EXPECT_EQ(std::count(data.begin(), data.end(), '\n'), 7);
    EXPECT_EQ(data.substr(data.size() - 2), "40");
    EXPECT_EQ(cell(1, COL_LEN), "64");
}

TEST_F(Panels, ThousandthRowIsTheLastOfATableAndCountersGoOn)
{
    for (int i = 0; i < 1000; ++i)
        list_insert(UPBS_INFO{"00:00:00:000", classic(0, static_cast<unsigned>(i), 1)}, false);
    ASSERT_EQ(rows(), 1000);
    EXPECT_EQ(cell(999, COL_NO), "1000");
    list_insert(UPBS_INFO{"00:00:00:000", classic(1, 0x42, 1)}, true);
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, COL_NO), "1");
    EXPECT_EQ(cell(0, COL_ID), "042");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_SEND1_C]), "1000");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_RECV2_C]), "1");
    EXPECT_EQ(can1_cnt_s, 1000);
    EXPECT_EQ(can2_cnt_r, 1);
}

TEST_F(Panels, ClearMidStreamRestartsNumbersAndCounters)
{
    for (int i = 0; i < 5; ++i)
        push_sent(classic(0, 1, 1));
    for (int i = 0; i < 3; ++i)
        push_received(classic(1, 1, 1));
    tick();
    ASSERT_EQ(rows(), 8);
    gtk_button_clicked(GTK_BUTTON(bs_info.btn_clr));
    EXPECT_EQ(rows(), 0);
    for (int i : {BS_LABEL_SEND1_C, BS_LABEL_SEND2_C, BS_LABEL_RECV1_C, BS_LABEL_RECV2_C})
        EXPECT_EQ(label(bs_info.label_content[i]), "0");
    push_received(classic(1, 1, 1));
    tick();
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, COL_NO), "1");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_RECV2_C]), "1");
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_SEND1_C]), "0");
}

TEST_F(Panels, PressesOnTheTableAreSwallowed)
{
    GdkEvent *ev = gdk_event_new(GDK_BUTTON_PRESS);
    gboolean handled = FALSE;
    g_signal_emit_by_name(bs_info.tree, "button-press-event", ev, &handled);
    gdk_event_free(ev);
    EXPECT_TRUE(handled);
}

// ---- the tick ------------------------------------------------------------

TEST_F(Panels, TickListsOneSentThenAlternatesReceivedAndSent)
{
    for (unsigned i = 0; i < 3; ++i)
        push_sent(classic(0, 0x100 + i, 1));
    for (unsigned i = 0; i < 2; ++i)
        push_received(classic(1, 0x200 + i, 1));
    tick();
    ASSERT_EQ(rows(), 5);
    std::vector<std::string> ids;
    for (int r = 0; r < 5; ++r)
        ids.push_back(cell(r, COL_ID));
    EXPECT_EQ(ids, (std::vector<std::string>{"100", "200", "101", "201", "102"}));
}

TEST_F(Panels, LargeBacklogIsListedOverSeveralTicksInOrder)
{
    constexpr int kFrames = 5000;
    for (int i = 0; i < kFrames; ++i)
        push_received(classic(1, static_cast<unsigned>(i % 0x800), 1));
    int ticks = 0;
    while (can2_cnt_r < kFrames && ticks < 100) {
        tick();
        ++ticks;
    }
    EXPECT_EQ(can2_cnt_r, kFrames);
    EXPECT_GT(ticks, 1);
    // 5000 rows: the table restarted at 1001, 2001, ...; the last row is the
    // 1000th of the fifth table and holds the last frame.
    ASSERT_EQ(rows(), 1000);
    EXPECT_EQ(cell(0, COL_ID), "7A0");  // frame 4000 & 0x7FF
    EXPECT_EQ(cell(999, COL_ID), "387");  // frame 4999 & 0x7FF
}

TEST_F(Panels, IncompleteBatchListsOneSentFramePerTick)
{
    is_recv_normal = false;
    is_done_non_block = false;
    MTX_queue_r = true;
    for (int i = 0; i < 3; ++i)
        push_sent(classic(0, 1, 1));
    push_received(classic(1, 2, 1));
    tick();
    EXPECT_EQ(rows(), 1);
    tick();
    EXPECT_EQ(rows(), 2);
    EXPECT_TRUE(MTX_queue_r);
    is_done_non_block = true;
    tick();
    EXPECT_EQ(rows(), 4);
    EXPECT_EQ(can2_cnt_r, 1);
    EXPECT_FALSE(MTX_queue_r);
}

// ---- accessibility -------------------------------------------------------

namespace {

void collect_controls(GtkWidget *w, std::vector<GtkWidget *> *out)
{
    if (GTK_IS_ENTRY(w) || GTK_IS_BUTTON(w) || GTK_IS_COMBO_BOX(w)) {
        out->push_back(w);
        return;
    }
    if (!GTK_IS_CONTAINER(w))
        return;
    GList *children = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList *c = children; c != nullptr; c = c->next)
        collect_controls(GTK_WIDGET(c->data), out);
    g_list_free(children);
}

void collect_accessibles(AtkObject *a, std::set<AtkObject *> *out)
{
    out->insert(a);
    int n = atk_object_get_n_accessible_children(a);
    for (int i = 0; i < n; ++i) {
        AtkObject *child = atk_object_ref_accessible_child(a, i);
        if (child == nullptr)
            continue;
        collect_accessibles(child, out);
        g_object_unref(child);
    }
}

}  // namespace

// Every entry, button, check box and combo box has a name a screen reader
// can say, and assistive technologies reach it from its window.
TEST_F(Panels, EveryControlHasANameInItsWindowsAccessibleTree)
{
    for (GtkWidget *top : {windows->main_window, windows->ed_dialog}) {
        std::set<AtkObject *> reachable;
        collect_accessibles(gtk_widget_get_accessible(top), &reachable);
        std::vector<GtkWidget *> controls;
        collect_controls(top, &controls);
        ASSERT_GT(controls.size(), 20u);
        for (GtkWidget *w : controls) {
            const char *id = gtk_buildable_get_name(GTK_BUILDABLE(w));
            AtkObject *a = gtk_widget_get_accessible(w);
            const char *name = atk_object_get_name(a);
            EXPECT_TRUE(name != nullptr && name[0] != '\0') << id;
            EXPECT_EQ(reachable.count(a), 1u) << id;
        }
    }
}

// ---- trace views ---------------------------------------------------------

TEST_F(Panels, WindowFitsA1366By768ScreenAndEachViewShowsFifteenRows)
{
    int w = 0;
    int h = 0;
    gtk_window_get_size(GTK_WINDOW(windows->main_window), &w, &h);
    EXPECT_LE(w, 1366);
    EXPECT_LE(h, 768 - 72);  // room for a title bar and a desktop panel
    for (unsigned id = 0x100; id < 0x114; ++id)
        push_received(stamped(0, id, 1, id));
    tick();
    ASSERT_EQ(rows(), 20);
    EXPECT_TRUE(pump_until([] { return visible_rows(bs_info.tree) >= 15; }, 3000)) << visible_rows(bs_info.tree);
    show_monitor();
    EXPECT_EQ(mn_rows(), 20);
    EXPECT_TRUE(pump_until([] { return visible_rows(mn_info.tree) >= 15; }, 3000)) << visible_rows(mn_info.tree);
}

// Frames of one identifier and another, the adapter's times in three forms;
// a frame without a timestamp shows none.
TEST_F(Panels, AdapterTimeIsShownAbsoluteRelativeOrAsDeltaOfTheSameIdentifier)
{
    push_received(stamped(0, 0x321, 7, 100));
    push_received(stamped(0, 0x321, 7, 350));
    push_received(stamped(0, 0x322, 7, 1350));
    push_received(stamped(0, 0x321, 8, 0));
    push_received(classic(1, 0x400, 1));  // as an 0xE1 report: no timestamp
    tick();
    ASSERT_EQ(rows(), 5);
    struct {
        int mode;
        const char *cells[5];
    } const cases[] = {
        {TIME_ABSOLUTE, {"00:00:07.000100", "00:00:07.000350", "00:00:07.001350", "00:00:08.000000", ""}},
        {TIME_RELATIVE, {"0.000000", "0.000250", "0.001250", "0.999900", ""}},
        {TIME_DELTA, {"", "0.000250", "", "0.999650", ""}},
        {TIME_ABSOLUTE, {"00:00:07.000100", "00:00:07.000350", "00:00:07.001350", "00:00:08.000000", ""}},
    };
    for (const auto &c : cases) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(tr_info.cbbox_time), c.mode);
        for (int r = 0; r < 5; ++r)
            EXPECT_EQ(cell(r, COL_ATIME), c.cells[r]) << "mode " << c.mode << " row " << r;
    }
    // The host's time stays as it was.
    EXPECT_EQ(cell(0, COL_TIME), "12:00:00:000");

    // An adapter clock of epoch seconds reads as the time of day, whole in
    // its column, and the whole table fits the window.
    push_received(stamped(0, 0x321, 1796755128u, 24612));
    CAN_FRAME_INFO fd = stamped(0, 0x18FEF100, 1796755128u, 999999);
    fd.id_type = VELK_EID;
    fd.fdf = fd.brs = fd.esi = 1;
    fd.dlc = 15;
    push_received(fd);
    tick();
    EXPECT_EQ(cell(5, COL_ATIME), "18:38:48.024612");
    EXPECT_EQ(cell(6, COL_ATIME), "18:38:48.999999");
    GtkTreeViewColumn *column = gtk_tree_view_get_column(GTK_TREE_VIEW(bs_info.tree), COL_ATIME);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(column));
    PangoFontDescription *font = nullptr;
    g_object_get(cells->data, "font-desc", &font, nullptr);
    g_list_free(cells);
    PangoLayout *layout = gtk_widget_create_pango_layout(bs_info.tree, "18:38:48.024612");
    pango_layout_set_font_description(layout, font);
    int text_width = 0;
    pango_layout_get_pixel_size(layout, &text_width, nullptr);
    g_object_unref(layout);
    pango_font_description_free(font);
    GtkTreePath *path = gtk_tree_path_new_from_indices(5, -1);
    GdkRectangle area;
    ASSERT_TRUE(pump_until([&] {
        gtk_tree_view_get_cell_area(GTK_TREE_VIEW(bs_info.tree), path, column, &area);
        return area.width > 0;
    }, 3000));
    gtk_tree_path_free(path);
    EXPECT_GE(area.width, text_width);
    GtkAdjustment *h = gtk_scrollable_get_hadjustment(GTK_SCROLLABLE(bs_info.tree));
    EXPECT_LE(gtk_adjustment_get_upper(h), gtk_adjustment_get_page_size(h)) << "the table scrolls sideways";
}

TEST_F(Panels, MonitorCountsEachIdentifierAndMarksTheBytesThatChanged)
{
    CAN_FRAME_INFO f = stamped(1, 0x123, 2, 0);
    push_received(f);
    f.timestamp.micro_second = 10000;
    f.data[2] = 0xAA;
    push_received(f);
    f.timestamp.micro_second = 30000;
    f.data[0] = 0x55;
    f.data[7] = 0x77;
    push_received(f);
    push_received(stamped(1, 0x100, 2, 40000));
    push_sent(classic(0, 0x123, 3));
    tick();
    show_monitor();
    ASSERT_EQ(mn_rows(), 3);
    int r = monitor_row("2", "Recv", "123");
    ASSERT_GE(r, 0);
    EXPECT_EQ(monitor_cell(r, MN_COL_COUNT), "3");
    EXPECT_EQ(monitor_cell(r, MN_COL_PERIOD), "15.000");  // the mean of 10 and 20 ms
    EXPECT_EQ(monitor_cell(r, MN_COL_DATA), "<b>55</b> 02 AA 04 05 06 07 <b>77</b>");
    EXPECT_EQ(monitor_cell(r, MN_COL_TIME), "00:00:02.030000");
    EXPECT_EQ(monitor_cell(r, MN_COL_TYPE), "2.0B");
    int sent = monitor_row("1", "Send", "123");
    ASSERT_GE(sent, 0);
    EXPECT_EQ(monitor_cell(sent, MN_COL_COUNT), "1");
    EXPECT_EQ(monitor_cell(sent, MN_COL_DATA), "01 02 03");
    EXPECT_EQ(monitor_cell(sent, MN_COL_PERIOD), "");
    EXPECT_EQ(monitor_cell(sent, MN_COL_TIME), "12:00:00:000");

    // Sorted by identifier at first; a click on COUNT sorts by count, a
    // second click turns the order.
    EXPECT_LT(monitor_row("2", "Recv", "100"), r);
    GtkTreeViewColumn *count_column = mn_column(MN_COL_COUNT);
    gtk_tree_view_column_clicked(count_column);
    EXPECT_EQ(monitor_row("2", "Recv", "123"), 2);
    gtk_tree_view_column_clicked(count_column);
    EXPECT_EQ(monitor_row("2", "Recv", "123"), 0);
    EXPECT_EQ(gtk_tree_view_column_get_sort_order(count_column), GTK_SORT_DESCENDING);
    gtk_tree_view_column_clicked(mn_column(MN_COL_ID));
    EXPECT_LT(monitor_row("2", "Recv", "100"), monitor_row("2", "Recv", "123"));

    char markup[128];
    const unsigned char nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    mn_data_markup(nine, 9, uint64_t{1} << 8, markup, sizeof markup);
    EXPECT_STREQ(markup, "01 02 03 04 05 06 07 08  <b>09</b>");

    gtk_button_clicked(GTK_BUTTON(mn_info.btn_clr));
    EXPECT_EQ(mn_rows(), 0);
    EXPECT_EQ(label(mn_info.label), "0 identifiers, 0 frames");
}

// The list views' renderer keeps the layouts of the texts it drew: each
// cell must still look exactly as the stock text renderer draws it, in a
// plain and in a selected row, and what it keeps stays bounded.
TEST_F(Panels, ListCellsAreDrawnAsTheStockRendererDrawsThemWithBoundedLayoutsKept)
{
    show_monitor();
    pump_pending();
    GtkWidget *view = mn_info.tree;
    ASSERT_TRUE(gtk_widget_get_realized(view));
    // The view gives a cell its background area, and the text area within
    // it: text too wide for the text area is cut at its edge.
    const GdkRectangle background = {0, 0, 160, 44};
    const GdkRectangle area = {3, 2, 150, 40};
    auto pixels = [&](GtkCellRenderer *cell, GtkCellRendererState state) {
        cairo_surface_t *surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 160, 44);
        cairo_t *cr = cairo_create(surface);
        gtk_cell_renderer_render(cell, cr, view, &background, &area, state);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        const unsigned char *data = cairo_image_surface_get_data(surface);
        std::string bytes(reinterpret_cast<const char *>(data),
                          static_cast<size_t>(cairo_image_surface_get_stride(surface)) * 44);
        cairo_surface_destroy(surface);
        return bytes;
    };
    struct Case {
        const char *text;
        bool markup;
    };
    const Case cases[] = {{"18FF1234", false},
                          {"00 11 22 33 44 55 66 77\n88 99 AA BB CC DD EE FF", false},
                          {"<b>55</b> 02 AA 04  <b>09</b>", true},
                          {"1802.0 rpm", false},
                          {"18FF1234 18FF1234 18FF1234 18FF1234", false},
                          {"", false},
                          {"", true}};
    GtkCellRenderer *ours = gui::cell_text_new(false);
    GtkCellRenderer *ours_markup = gui::cell_text_new(true);
    GtkCellRenderer *stock = gtk_cell_renderer_text_new();
    g_object_ref_sink(ours);
    g_object_ref_sink(ours_markup);
    g_object_ref_sink(stock);
    for (GtkCellRenderer *cell : {ours, ours_markup, stock})
        g_object_set(cell, "family", "Calibri", "size-points", 10.0, "yalign", 0.5, nullptr);
    for (const Case &c : cases) {
        GtkCellRenderer *cell = c.markup ? ours_markup : ours;
        const char *property = c.markup ? "markup" : "text";
        g_object_set(cell, property, c.text, nullptr);
        g_object_set(stock, property, c.text, nullptr);
        for (GtkCellRendererState state : {GtkCellRendererState(0), GTK_CELL_RENDERER_SELECTED}) {
            // Twice: the second draw is of the kept layout.
            EXPECT_EQ(pixels(cell, state), pixels(stock, state)) << c.text << " state " << state;
            EXPECT_EQ(pixels(cell, state), pixels(stock, state)) << c.text << " state " << state;
        }
        gint ours_w = 0, ours_h = 0, stock_w = 0, stock_h = 0;
        gtk_cell_renderer_get_preferred_width(cell, view, nullptr, &ours_w);
        gtk_cell_renderer_get_preferred_width(stock, view, nullptr, &stock_w);
        gtk_cell_renderer_get_preferred_height(cell, view, nullptr, &ours_h);
        gtk_cell_renderer_get_preferred_height(stock, view, nullptr, &stock_h);
        EXPECT_EQ(ours_w, stock_w) << c.text;
        EXPECT_EQ(ours_h, stock_h) << c.text;
    }

    // Texts drawn once each pass through: what is kept stays bounded.
    for (int i = 0; i < 3000; ++i) {
        const std::string text = std::to_string(i);
        g_object_set(ours, "text", text.c_str(), nullptr);
        pixels(ours, GtkCellRendererState(0));
    }
    EXPECT_GT(gui::cell_text_kept(ours), 0u);
    EXPECT_LE(gui::cell_text_kept(ours), 512u);

    // A larger font is not drawn from layouts of the smaller one.
    g_object_set(ours, "text", "0Xg", nullptr);
    gint small = 0, large = 0;
    gtk_cell_renderer_get_preferred_height(ours, view, nullptr, &small);
    g_object_set(ours, "size-points", 20.0, nullptr);
    gtk_cell_renderer_get_preferred_height(ours, view, nullptr, &large);
    EXPECT_GT(large, small + 5);
    for (GtkCellRenderer *cell : {ours, ours_markup, stock})
        g_object_unref(cell);
}

TEST_F(Panels, PauseFreezesTheViewsWhileCountingAndRecordingGoOn)
{
    velk::test::ScratchDir dir;
    answer_record_dialog(dir.path("paused.csv"));
    gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
    ASSERT_TRUE(rec_is_recording());
    EXPECT_EQ(log_lines(), std::vector<std::string>{"Recording to " + dir.path("paused.csv")});
    push_received(classic(0, 0x100, 8));
    tick();
    show_monitor();
    ASSERT_EQ(mn_rows(), 1);

    set_check(tr_info.btn_pause, true);
    for (unsigned i = 0; i < 5; ++i) {
        push_received(classic(1, 0x200 + i, 8));
        push_sent(classic(0, 0x300 + i, 8));
    }
    tick();
    mn_refresh();
    EXPECT_EQ(rows(), 1);
    EXPECT_EQ(mn_rows(), 1);
    EXPECT_EQ(can2_cnt_r, 5);
    EXPECT_EQ(can1_cnt_s, 5);
    EXPECT_EQ(label(bs_info.label_content[BS_LABEL_RECV2_C]), "5");
    EXPECT_EQ(tr_paused_frames(), 10);
    EXPECT_TRUE(pump_until([] { return label(tr_info.pause_label) == "+10 while paused"; }, 3000))
        << label(tr_info.pause_label);

    set_check(tr_info.btn_pause, false);
    EXPECT_EQ(label(tr_info.pause_label), "");
    EXPECT_TRUE(pump_until([] { return mn_rows() == 11; }, 3000));
    push_received(classic(0, 0x101, 8));
    tick();
    EXPECT_EQ(rows(), 2);
    EXPECT_EQ(cell(1, COL_ID), "101");

    gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
    ASSERT_TRUE(pump_until([] { return !rec_is_recording(); }, 5000));
    const auto got = velk::test::read_trace(dir.path("paused.csv"), velk::trace::Format::Csv);
    ASSERT_EQ(got.size(), 12u);
    EXPECT_EQ(got[0].id, 0x100u);
    EXPECT_EQ(got[11].id, 0x101u);
    EXPECT_EQ(rec_frames(), 12);
    ASSERT_EQ(log_lines().size(), 1u);
    EXPECT_EQ(log_lines()[0].rfind("Recording saved: " + dir.path("paused.csv") + ", 12 frames, ", 0), 0u)
        << log_lines()[0];
}

TEST_F(Panels, FollowIsOffAtStartAndKeepsTheNewestRowInView)
{
    GtkBuilder *layout = gtk_builder_new_from_file("MainWindow.glade");
    EXPECT_FALSE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(gtk_builder_get_object(layout, "tr_follow_checkbox"))));
    g_object_unref(layout);

    for (unsigned i = 0; i < 300; ++i)
        push_received(classic(0, i, 8));
    tick();
    int first = -1;
    int last = -1;
    ASSERT_TRUE(pump_until([&] { return visible_range(bs_info.tree, &first, &last); }, 3000));
    EXPECT_EQ(first, 0);

    set_check(tr_info.chk_follow, true);
    EXPECT_TRUE(pump_until([&] { return visible_range(bs_info.tree, &first, &last) && last == 299; }, 3000)) << last;
    for (unsigned i = 0; i < 100; ++i)
        push_received(classic(0, i, 8));
    tick();
    EXPECT_TRUE(pump_until([&] { return visible_range(bs_info.tree, &first, &last) && last == 399; }, 3000)) << last;
}

// A recording whose file cannot be written ends with the reason in the
// window and the log; the frames go on being listed.
TEST_F(Panels, WriteFailureStopsTheRecordingWithAClearMessage)
{
    struct Case {
        const char *what;
        const char *file;
        const char *reason;
    } const cases[] = {
        {"a full disk", "full.log", "No space left on device"},
        {"a removed file", "gone.asc", "was removed"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        velk::test::ScratchDir dir;
        const std::string path = dir.path(c.file);
        const bool full = std::string(c.file) == "full.log";
        if (full) {
            ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
        }
        answer_record_dialog(path);
        gtk_button_clicked(GTK_BUTTON(tr_info.btn_record));
        ASSERT_TRUE(rec_is_recording());
        if (!full) {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        push_received(classic(0, 0x100, 8));
        tick();
        ASSERT_TRUE(pump_until([] { return !rec_is_recording(); }, 10000));
        const std::string text = label(tr_info.record_label);
        EXPECT_EQ(text.rfind("Recording stopped: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
        const auto lines = log_lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), text);
        EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(tr_info.btn_record)), std::string("Record…"));
        const int before = rows();
        push_received(classic(0, 0x101, 8));
        tick();
        EXPECT_EQ(rows(), before + 1);
    }
}

