// The Diagnostics tab of the running utility against the emulated adapter
// with the example ECU on CAN1: a session change, the DTC table against the
// DTCs the ECU file lists (read from the file here), clearing them, an
// identifier read plain and through a table file, a raw request answered
// negatively, the tester present switch on the wire, the frame list's
// ISO-TP row of a multi-frame response, a timeout and no adapter said in
// the log.
#include "ecu.h"
#include "gui2_harness.h"
#include "panel_diagnostics.h"
#include "test_support.h"
#include "tools_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace gui2;
using velk::sim::Bytes;

namespace {

struct OracleDtc {
    std::string code;    // "012345"
    std::string status;  // "09"
    char letter;         // P, C, B or U: the code's two top bits
};

// The "dtc CODE STATUS" lines of the ECU file.
std::vector<OracleDtc> dtcs_of_file(const char *path)
{
    std::vector<OracleDtc> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line.substr(0, line.find('#')));
        std::string kw, code, status;
        if (!(words >> kw >> code >> status) || kw != "dtc")
            continue;
        std::transform(code.begin(), code.end(), code.begin(), ::toupper);
        std::transform(status.begin(), status.end(), status.begin(), ::toupper);
        out.push_back({code, status, "PCBU"[std::stoul(code, nullptr, 16) >> 22]});
    }
    return out;
}

std::string store_cell(GtkListStore *store, int row, int column)
{
    return model_cell(GTK_TREE_MODEL(store), row, column);
}

int store_rows(GtkListStore *store)
{
    return gtk_tree_model_iter_n_children(GTK_TREE_MODEL(store), nullptr);
}

// The Result cell of the log's last row.
std::string last_result()
{
    const int n = store_rows(dg_info.log_store);
    return n > 0 ? store_cell(dg_info.log_store, n - 1, DG_LOG_RESULT) : "";
}

// Clicks and waits until the tab has the answer.
bool click_and_wait(GtkWidget *button)
{
    gtk_button_clicked(GTK_BUTTON(button));
    return pump_until([] { return !dg_busy(); }, 5000);
}

}  // namespace

class Diagnostics : public OnEmulatedAdapter {
protected:
    static void SetUpTestSuite()
    {
        open_adapter();
        velk::sim::EcuModel m;
        std::string error;
        ASSERT_TRUE(velk::sim::load_ecu(VELK_EXAMPLE_ECU, &m, &error)) << error;
        ecu_ = new velk::sim::Ecu;
        ecu_->start(sim(), m);
    }

    static void TearDownTestSuite()
    {
        // The ECU goes before its adapter.
        ecu_->stop();
        delete ecu_;
        close_adapter();
    }

    void SetUp() override
    {
        connect_and_start();
        if (HasFatalFailure())
            return;
        gtk_list_store_clear(dg_info.log_store);
        sim().clear_host_frames();
    }

    // Classic frames the host wrote with this identifier whose payload begins with `start`.
    static int on_wire(uint32_t id, const Bytes &start)
    {
        int n = 0;
        for (const Bytes &f : sim().host_frames(0xE0))
            if (f.size() > 6 + start.size() &&
                ((uint32_t(f[2]) << 24) | (uint32_t(f[3]) << 16) | (uint32_t(f[4]) << 8) | f[5]) == id &&
                std::search(f.begin() + 6, f.end(), start.begin(), start.end()) != f.end())
                ++n;
        return n;
    }

    static velk::sim::Ecu *ecu_;
};

velk::sim::Ecu *Diagnostics::ecu_ = nullptr;

TEST_F(Diagnostics, SessionDtcTableAndClear)
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(dg_info.session), 2);
    ASSERT_TRUE(click_and_wait(dg_info.session_btn));
    EXPECT_EQ(last_result(), "positive response: session 03 (P2 50 ms, P2* 5000 ms)");
    EXPECT_EQ(store_cell(dg_info.log_store, 0, DG_LOG_BYTES), "10 03");
    EXPECT_EQ(store_cell(dg_info.log_store, 0, DG_LOG_SERVICE), "DiagnosticSessionControl");

    const std::vector<OracleDtc> want = dtcs_of_file(VELK_EXAMPLE_ECU);
    ASSERT_EQ(want.size(), 3u);
    gtk_entry_set_text(GTK_ENTRY(dg_info.dtc_mask), "FF");
    ASSERT_TRUE(click_and_wait(dg_info.dtc_btn));
    EXPECT_EQ(last_result(), "positive response: 3 DTCs (status availability FF)");
    ASSERT_EQ(store_rows(dg_info.dtc_store), int(want.size()));
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(store_cell(dg_info.dtc_store, int(i), DG_DTC_CODE), want[i].code);
        EXPECT_EQ(store_cell(dg_info.dtc_store, int(i), DG_DTC_STATUS), want[i].status);
        EXPECT_EQ(store_cell(dg_info.dtc_store, int(i), DG_DTC_TEXT)[0], want[i].letter);
    }
    EXPECT_EQ(store_cell(dg_info.dtc_store, 0, DG_DTC_BITS), "testFailed confirmedDTC");
    EXPECT_EQ(store_cell(dg_info.dtc_store, 2, DG_DTC_BITS), "pendingDTC");
    // A mask of pendingDTC alone.
    gtk_entry_set_text(GTK_ENTRY(dg_info.dtc_mask), "04");
    ASSERT_TRUE(click_and_wait(dg_info.dtc_btn));
    ASSERT_EQ(store_rows(dg_info.dtc_store), 1);
    EXPECT_EQ(store_cell(dg_info.dtc_store, 0, DG_DTC_CODE), want[2].code);
    gtk_entry_set_text(GTK_ENTRY(dg_info.dtc_mask), "FF");
    ASSERT_TRUE(click_and_wait(dg_info.dtc_btn));
    gtk_notebook_set_current_page(GTK_NOTEBOOK(tr_info.notebook),
                                  gtk_notebook_page_num(GTK_NOTEBOOK(tr_info.notebook), dg_info.box));
    ASSERT_TRUE(paint_window());
    screenshot("utility-diagnostics");

    ASSERT_TRUE(click_and_wait(dg_info.clear_btn));
    EXPECT_EQ(last_result(), "positive response: DTCs cleared");
    ASSERT_TRUE(click_and_wait(dg_info.dtc_btn));
    EXPECT_EQ(store_rows(dg_info.dtc_store), 0);
}

TEST_F(Diagnostics, IdentifiersPlainAndFromATableWithTheirIsotpRow)
{
    set_check(tr_info.chk_isotp, true);
    gtk_button_clicked(GTK_BUTTON(bs_info.btn_clr));
    gtk_entry_set_text(GTK_ENTRY(dg_info.dids), "F190 0100");
    ASSERT_TRUE(click_and_wait(dg_info.read_btn));
    ASSERT_EQ(store_rows(dg_info.did_store), 2);
    EXPECT_EQ(store_cell(dg_info.did_store, 0, DG_DID_VALUE), "56 45 4C 4B 53 49 4D 30 30 30 30 30 30 30 30 30 31");
    EXPECT_EQ(store_cell(dg_info.did_store, 1, DG_DID_VALUE), "0E 74");

    // The VIN came in a first frame and consecutive frames: one ISO-TP row
    // of its 20 bytes, and the frames are listed still.
    list_flush();
    int iso = -1;
    int frames = 0;
    for (int r = 0; r < rows(); ++r) {
        if (cell(r, COL_TYPE) == "ISO-TP" && cell(r, COL_LEN) == "20")
            iso = r;
        if (cell(r, COL_TYPE) == "2.0B" && cell(r, COL_ID) == "7E8")
            ++frames;
    }
    ASSERT_GE(iso, 0);
    EXPECT_EQ(cell(iso, COL_ID), "7E8->7E0");
    EXPECT_EQ(cell(iso, COL_PATH), "Recv");
    EXPECT_EQ(cell(iso, COL_DATA).substr(0, 8), "62 F1 90");
    EXPECT_EQ(frames, 4);  // the first frame, two consecutive frames, 0100's single frame

    velk::test::ScratchDir dir;
    const std::string table = dir.path("dids.txt");
    ASSERT_TRUE(velk::test::write_file(table, "# bench\nF190 VIN ascii\n0100 Speed uint\n"));
    ASSERT_TRUE(dg_load_table(table.c_str()));
    gtk_entry_set_text(GTK_ENTRY(dg_info.dids), "VIN Speed");
    ASSERT_TRUE(click_and_wait(dg_info.read_btn));
    EXPECT_EQ(store_cell(dg_info.did_store, 0, DG_DID_NAME), "VIN");
    EXPECT_EQ(store_cell(dg_info.did_store, 0, DG_DID_VALUE), "VELKSIM0000000001");
    EXPECT_EQ(store_cell(dg_info.did_store, 1, DG_DID_VALUE), "3700");
    EXPECT_EQ(last_result(), "positive response: 0100 Speed: 3700");
    set_check(tr_info.chk_isotp, false);
}

TEST_F(Diagnostics, RawRequestWithANegativeResponseByNameAndResponsePending)
{
    gtk_entry_set_text(GTK_ENTRY(dg_info.raw), "22 12 34");
    ASSERT_TRUE(click_and_wait(dg_info.raw_btn));
    EXPECT_EQ(last_result(), "negative response 0x31 requestOutOfRange");
    EXPECT_EQ(store_cell(dg_info.log_store, store_rows(dg_info.log_store) - 1, DG_LOG_BYTES), "7F 22 31");

    // F18C is answered after 300 ms of responsePending: P2* holds the wait.
    gtk_entry_set_text(GTK_ENTRY(dg_info.raw), "22F18C");
    ASSERT_TRUE(click_and_wait(dg_info.raw_btn));
    EXPECT_EQ(last_result(), "positive response");
    EXPECT_EQ(std::string(gtk_label_get_text(GTK_LABEL(dg_info.raw_answer))), "62 F1 8C 00 00 12 34");
    bool pending = false;
    for (int r = 0; r < store_rows(dg_info.log_store); ++r)
        pending |= store_cell(dg_info.log_store, r, DG_LOG_RESULT).rfind("responsePending", 0) == 0;
    EXPECT_TRUE(pending);
}

TEST_F(Diagnostics, TesterPresentGoesOutEveryTwoSecondsWhileOn)
{
    const long before = dg_tester_presents();
    gtk_switch_set_active(GTK_SWITCH(dg_info.tester_present), TRUE);
    ASSERT_TRUE(pump_until([] { return on_wire(0x7E0, {0x02, 0x3E, 0x80, 0xCC}) >= 2; }, 6000));
    gtk_switch_set_active(GTK_SWITCH(dg_info.tester_present), FALSE);
    EXPECT_EQ(dg_tester_presents() - before, 2);
}

TEST_F(Diagnostics, NoAnswerOnTheResponseIdentifierIsATimeout)
{
    gtk_entry_set_text(GTK_ENTRY(dg_info.rx_id), "7E9");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(dg_info.p2), 100);
    gtk_entry_set_text(GTK_ENTRY(dg_info.raw), "3E 00");
    ASSERT_TRUE(click_and_wait(dg_info.raw_btn));
    EXPECT_EQ(last_result(), "Timeout: no response within P2 (100 ms)");
    gtk_entry_set_text(GTK_ENTRY(dg_info.rx_id), "7E8");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(dg_info.p2), 250);
}

TEST_F(Diagnostics, NoAdapterIsSaid)
{
    btn_cnnt_cb(nullptr, nullptr);  // disconnect
    ASSERT_TRUE(wait_idle());
    ASSERT_FALSE(is_connect);
    gtk_entry_set_text(GTK_ENTRY(dg_info.raw), "3E 00");
    ASSERT_TRUE(click_and_wait(dg_info.raw_btn));
    EXPECT_EQ(last_result(), "No adapter connected: connect and start CAN first");
}
