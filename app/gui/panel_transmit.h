// The Transmit tab: the transmit list of periodic frames, sent by the
// transmit list's scheduler on the connected port. GUI thread only.
#pragma once

#include <gtk/gtk.h>

#include <string>

// The list's columns.
enum {
    TX_COL_ON,      // checked: the entry sends while the list runs
    TX_COL_CH,      // "CAN1", "CAN2"
    TX_COL_ID,      // identifier in hex; "" for a database message
    TX_COL_DATA,    // the frame after its '#' ("DEADBEEF", "R", "#1112233"), or "msg:NAME SIGNAL=VALUE.."
    TX_COL_CYCLE,   // cycle in ms
    TX_COL_COUNT,   // frames to send, "0" = until stopped
    TX_COL_SENT,    // frames sent since the entry started
    TX_COL_PERIOD,  // measured period in ms, "" before two frames
    TX_COL_COUNT_ALL
};

struct TxWidgets {
    GtkWidget *box = nullptr;
    GtkWidget *view = nullptr;
    GtkWidget *state = nullptr;
    GtkWidget *add = nullptr, *dup = nullptr, *del = nullptr;
    GtkWidget *start_all = nullptr, *stop_all = nullptr, *send_now = nullptr;
    GtkWidget *save = nullptr, *load = nullptr;
    GtkListStore *store = nullptr;
    GtkCellRenderer *renderer[TX_COL_COUNT_ALL] = {};  // the edited or toggled cell of each column
};
extern TxWidgets tx_info;

// Builds the tab from transmit.glade and adds it to "tr_notebook".
void tx_init(void);
// Stops the list and unchecks every entry (Stop all); Stop CAN, Reset,
// Disconnect, an unplug and closing the window call it first. With `why`,
// a list that was sending says in the log that it stopped, why, and what it
// had sent and had refused.
void tx_stop_all(const char *why = nullptr);
// The same, but the stop line ("" when the list was not sending) is returned
// for the caller to write, after it has cleared the log.
std::string tx_stop_all_line(const char *why);
// True while the scheduler's thread sends.
bool tx_running(void);
// Entries in the list.
int tx_size(void);

// The file choosers of Save… and Load… go through this (tests answer
// them); gtk_dialog_run by default.
extern gint (*tx_dialog_run)(GtkDialog *dialog);
