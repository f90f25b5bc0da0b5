// The Diagnostics tab: a UDS client over an ISO-TP connection on a channel
// of the connected adapter. Sessions, DTCs read into a table and cleared,
// identifiers read by number or from a table file, raw requests, a tester
// present switch, and a log of every exchange. GUI thread only.
//
// The connection runs on the GUI thread: it takes the received frames the
// window's frame tick hands to every view (so the frame list, the monitor
// and a recording still get them all), its timeouts and the frames it sends
// run on a 1 ms timer while an exchange is under way, and its frames are
// written with the library's send call and listed as sent ones.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <string>

#include "apipart.h"
#include "isotp.h"

// The log's columns.
enum { DG_LOG_TIME, DG_LOG_DIR, DG_LOG_SERVICE, DG_LOG_BYTES, DG_LOG_RESULT, DG_LOG_COLS };
// The DTC table's: "P0123-45", "012345", "09", "testFailed confirmedDTC".
enum { DG_DTC_TEXT, DG_DTC_CODE, DG_DTC_STATUS, DG_DTC_BITS, DG_DTC_COLS };
// The identifiers': "F190", "VIN", the value as the table's format reads.
enum { DG_DID_ID, DG_DID_NAME, DG_DID_VALUE, DG_DID_COLS };

struct DgWidgets {
    GtkWidget *box = nullptr;
    GtkWidget *channel = nullptr, *preset = nullptr, *mode = nullptr;
    GtkWidget *tx_id = nullptr, *rx_id = nullptr, *ext = nullptr;
    GtkWidget *pad = nullptr, *pad_byte = nullptr, *fd = nullptr, *functional = nullptr, *p2 = nullptr;
    GtkWidget *session = nullptr, *session_btn = nullptr, *tester_present = nullptr;
    GtkWidget *dtc_sub = nullptr, *dtc_mask = nullptr, *dtc_btn = nullptr, *clear_btn = nullptr;
    GtkWidget *dids = nullptr, *table_btn = nullptr, *table_pick = nullptr, *read_btn = nullptr;
    GtkWidget *raw = nullptr, *raw_btn = nullptr, *raw_answer = nullptr;
    GtkWidget *spinner = nullptr, *state = nullptr;
    GtkWidget *dtc_view = nullptr, *did_view = nullptr, *log_view = nullptr;
    GtkListStore *dtc_store = nullptr, *did_store = nullptr, *log_store = nullptr;
};
extern DgWidgets dg_info;

// Builds the tab and adds it to "tr_notebook".
void dg_init(void);
// Every frame the frame tick takes from the rings.
void dg_frame(const UPBS_INFO &entry, bool is_recv);
// Loads a table of identifiers (velk_uds -D's format) for the identifier
// picker and the values' formats; false, said in the tab's log, when it
// cannot be read.
bool dg_load_table(const char *path);
// True while a request is under way or waiting for its turn.
bool dg_busy(void);
// Tester present requests sent since start.
long dg_tester_presents(void);

// The addressing the tab talks with, for the frame list's ISO-TP rows: its
// channel, the request and response identifiers and the addressing mode;
// `serial` changes whenever any of them does. False while the identifiers
// typed are not valid.
struct DgAddress {
    int channel = 0;
    velk::isotp::Address address;
    unsigned serial = 0;
};
bool dg_address(DgAddress *out);
// The serial dg_address would give now, without reading the widgets.
unsigned dg_address_serial(void);

// The file chooser of Table… goes through this (tests answer it).
extern gint (*dg_dialog_run)(GtkDialog *dialog);
