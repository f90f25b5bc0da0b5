/*
 * guipart.h - widget records, enumerations and handlers of the velk utility.
 *
 * One record of widget handles per panel, filled once at start-up from the
 * three GtkBuilder files and never changed afterwards.  Everything declared
 * here is used on the GTK main thread only.
 */
#ifndef GUIPART_H
#define GUIPART_H

#include <gtk/gtk.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "apipart.h"
#include "lib_velk_2.h"

/* ---------------------------------------------------------------- windows */

typedef struct WINDOWS_INFO {
    GtkWidget *main_window; /* "main_window" */
    GtkWidget *ed_dialog;   /* "EditData_dialog" */
} WINDOWS_INFO;

/* ------------------------------------------------------ connection panel */

enum {
    CD_LABEL_FW = 0,
    CD_LABEL_API,
    CD_LABEL_MDL,
    CD_LABEL_EN_DIS,
    CD_LABEL_CNT
};

/* One port that answered the start-up probe. */
typedef struct NODE {
    int index;    /* position in "SerialPort_cbox" */
    int com_data; /* port index of the serial port layer */
    struct NODE *next;
} NODE;

typedef struct CD_INFO {
    GtkWidget *frame;
    GtkWidget *info_vbox;
    GtkWidget *cbbox;
    GtkWidget *btn_cnnt;
    GtkWidget *btn_start;
    GtkWidget *label[CD_LABEL_CNT];
    NODE *first;
    NODE *now;
    NODE *pre;
    GtkWidget *btn_refresh; /* "Refresh_btn": search the ports again */
    GtkWidget *spinner;     /* "Busy_spinner": turns while an operation runs */
    GtkWidget *busy_label;  /* "Busy_label": what the operation does */
} CD_INFO;

/* ------------------------------------------------------------- status log */

typedef struct SL_INFO {
    GtkWidget *box;
    GtkWidget *tree;
    GtkListStore *store; /* NULL while the log has no model */
} SL_INFO;

/* ---------------------------------------------------------- CAN settings */

enum { CS1_GRID = 0, CS2_GRID, CS1_WIDGETS, CS2_WIDGETS, CS_NOTEBOOK, CS_GRID_CNT };
enum { CS_BTN_RESET = 0, CS_BTN_EXPORT, CS_BTN_IMPORT, CS_BTN_CNT };
enum { CAN_1 = 0, CAN_2 = 1, CAN_CNT };
enum { CS_CBBOX_BAUD = 0, CS_CBBOX_DATABAUD, CS_CBBOX_FILTER, CS_CBBOX_CNT };
enum { CS_ETY_LAB_ID = 0, CS_ETY_LAB_MASK, CS_ETY_LAB_CNT };
enum { CS_LS = 0, CS_FDF, CS_CHK_CNT };
enum { CS_LAB_NRATE = 0, CS_LAB_DRATE, CS_LAB_FILTER, CS_LAB_FD_CNT };

typedef struct CAN_INFO {
    GtkWidget *vbox;
    GtkWidget *cbbox[CS_CBBOX_CNT];
    GtkWidget *label[CS_ETY_LAB_CNT];
    GtkWidget *ety[CS_ETY_LAB_CNT];
    GtkWidget *chk[CS_CHK_CNT];
    GtkWidget *label_fd[CS_LAB_FD_CNT];
} CAN_INFO;

typedef struct CS_INFO {
    GtkWidget *frame;
    GtkWidget *grid_container[CS_GRID_CNT];
    GtkWidget *btn[CS_BTN_CNT];
    CAN_INFO can[CAN_CNT];
} CS_INFO;

/* ---------------------------------------------------------- receive panel */

enum { RS_ETY_LAB_TIME = 0, RS_ETY_LAB_DATA_CNT, RS_ETY_LAB_CNT };

typedef struct RS_INFO {
    GtkWidget *frame;                  /* "r_Recv_grid" */
    GtkWidget *label[RS_ETY_LAB_CNT];  /* "r_Timeout_label", "r_Count_label" */
    GtkWidget *ety[RS_ETY_LAB_CNT];    /* "r_TimeOut_entry", "r_Count_entry" */
    GtkWidget *chk;                    /* "r_NonBlock_checkbox" */
} RS_INFO;

/* ------------------------------------------------------------- send panel */

enum { SS_CHK_EID = 0, SS_CHK_RTR, SS_CHK_IID, SS_CHK_FDF, SS_CHK_BRS, SS_CHK_CNT };
enum { SS_ETY_LAB_U_COUNT = 0, SS_ETY_LAB_U_ITVL, SS_ETY_LAB_U_TIME, SS_ETY_LAB_U_CNT };
enum { SS_CBBOX_CAN = 0, SS_CBBOX_LEN, SS_CBBOX_CNT };
enum { SS_LAB_D_CAN = 0, SS_LAB_D_LEN, SS_LAB_D_ID, SS_LAB_D_DATA, SS_LAB_D_CNT };
enum {
    SS_ETY_D_ID = 0,
    SS_ETY_D_B0,
    SS_ETY_D_B1,
    SS_ETY_D_B2,
    SS_ETY_D_B3,
    SS_ETY_D_B4,
    SS_ETY_D_B5,
    SS_ETY_D_B6,
    SS_ETY_D_B7,
    SS_ETY_D_CNT
};

typedef struct SS_INFO {
    GtkWidget *frame;
    GtkWidget *chk[SS_CHK_CNT];
    GtkWidget *label_u[SS_ETY_LAB_U_CNT];
    GtkWidget *ety_u[SS_ETY_LAB_U_CNT];
    GtkWidget *cbbox[SS_CBBOX_CNT];
    GtkWidget *label_d[SS_LAB_D_CNT];
    GtkWidget *ety_d[SS_ETY_D_CNT];
    GtkWidget *btn_send;
    GtkWidget *btn_stop;
    GtkWidget *btn_can_data;
} SS_INFO;

/* -------------------------------------------------------- CAN data editor */

#define ED_DATA_CNT 64

typedef struct ED_INFO {
    GtkWidget *frame;
    GtkWidget *clear_btn;
    GtkWidget *fill_btn;
    GtkWidget *ety_d[ED_DATA_CNT];
} ED_INFO;

/* Key filter user data. */
enum { ETY_DATA = 0, ETY_NUM = 1, ETY_CAN_DATA = 2, ETY_CAN_FD_DATA = 3 };

typedef struct KEY_PRESS_INFO {
    int type;
    int can_bit;
} KEY_PRESS_INFO;

enum { SYNC_SS_TO_GDATA = 0, SYNC_GDATA_TO_SS = 1, SYNC_ED_TO_GDATA = 2, SYNC_GDATA_TO_ED = 3 };

/* ------------------------------------------------ bus status, frame list */

enum {
    BS_LABEL_ERR_T = 0,
    BS_LABEL_CAN1_T,
    BS_LABEL_CAN2_T,
    BS_LABEL_EE_T,
    BS_LABEL_SEND_T,
    BS_LABEL_RECV_T,
    BS_LABEL_CNT_T
};

enum {
    BS_LABEL_CAN1_ECR_C = 0,
    BS_LABEL_CAN2_ECR_C,
    BS_LABEL_EE_C,
    BS_LABEL_CAN1_PSR_C,
    BS_LABEL_CAN2_PSR_C,
    BS_LABEL_SEND1_C,
    BS_LABEL_SEND2_C,
    BS_LABEL_RECV1_C,
    BS_LABEL_RECV2_C,
    BS_LABEL_CNT_C
};

enum {
    COL_NO = 0,
    COL_CH,
    COL_PATH,
    COL_MOD,
    COL_ID,
    COL_MESSAGE, /* the message name a database gives the identifier */
    COL_TYPE,
    COL_LEN,
    COL_DATA,
    COL_TIME,
    COL_ATIME, /* the adapter's timestamp, shown as the time selector says */
    COL_NUM
};

/* Columns of the frame list's model after the shown ones: the adapter's
 * timestamp in microseconds and the time since the previous frame of the
 * same identifier (-1 where there is none), from which COL_ATIME is
 * written again when the time selector changes. */
enum { COL_ATIME_US = COL_NUM, COL_ADELTA_US, COL_STORE_NUM };

typedef struct BS_INFO {
    GtkWidget *frame;
    GtkWidget *cbbox;
    GtkWidget *label_title[BS_LABEL_CNT_T];
    GtkWidget *label_content[BS_LABEL_CNT_C];
    GtkWidget *btn_clr;
    GtkWidget *tree;
    GtkWidget *swin;
    GtkWidget *label_rate[CAN_CNT]; /* "bs_can1_rate_lab", "bs_can2_rate_lab": frames per second */
    GtkWidget *label_load[CAN_CNT]; /* "bs_can1_load_lab", "bs_can2_load_lab": estimated bus load */
} BS_INFO;

/* ------------------------------------------- trace controls and monitor */

/* How the adapter's timestamps are shown ("tr_time_cbbox"). */
enum { TIME_ABSOLUTE = 0, TIME_RELATIVE, TIME_DELTA, TIME_MODE_CNT };

typedef struct TR_INFO {
    GtkWidget *notebook;     /* "tr_notebook": the frame list and the monitor */
    GtkWidget *btn_record;   /* "tr_record_btn": Record… / Stop recording */
    GtkWidget *record_label; /* "tr_record_lab": the file, frames recorded, size */
    GtkWidget *btn_pause;    /* "tr_pause_btn": toggle */
    GtkWidget *pause_label;  /* "tr_pause_lab": frames that came while paused */
    GtkWidget *chk_follow;   /* "tr_follow_checkbox" */
    GtkWidget *cbbox_time;   /* "tr_time_cbbox" */
    GtkWidget *chk_isotp;    /* "ISO-TP": reassembled ISO-TP messages as rows of the frame list */
} TR_INFO;

/* Columns of the monitor: one row per channel, direction and identifier. */
enum {
    MN_COL_CH = 0,
    MN_COL_PATH,
    MN_COL_ID,
    MN_COL_NAME, /* the message name; a signal's name on its child rows */
    /* A signal's child row: physical value with unit (markup: bold when it
     * changed since the previous update), the value's text, the raw value
     * and the signal's range. */
    MN_COL_VALUE,
    MN_COL_TEXT,
    MN_COL_RAW,
    MN_COL_RANGE,
    MN_COL_TYPE,
    MN_COL_LEN,
    MN_COL_COUNT,
    MN_COL_PERIOD, /* mean period in ms over the recent frames */
    MN_COL_DATA,   /* markup: the bytes changed since the previous frame in bold */
    MN_COL_TIME,
    MN_COL_NUM
};

typedef struct MN_INFO {
    GtkWidget *tree;    /* "mn_treeview" */
    GtkWidget *swin;    /* "mn_scroll_window" */
    GtkWidget *label;   /* "mn_summary_lab": identifiers and frames, a steady text line */
    GtkWidget *btn_clr; /* "mn_clear_btn" */
} MN_INFO;

/* ------------------------------------------------------ CAN databases */

typedef struct DB_INFO {
    GtkWidget *btn_open;   /* "tr_db_btn": Databases… */
    GtkWidget *dialog;     /* "Databases_dialog" */
    GtkWidget *tree;       /* "db_treeview": the files in load order */
    GtkWidget *btn_add;    /* "db_add_btn": Add… */
    GtkWidget *btn_remove; /* "db_remove_btn" */
} DB_INFO;

/* ------------------------------------------------------ process-wide state */

extern int com_port;        /* connected port index, -1 before the first connect */
extern bool is_connect;     /* a device is connected */
extern bool is_active;      /* both channels are started */
/* is_recv_normal, the receive mode of the receive panel, is in apipart.h. */

extern WINDOWS_INFO *windows;
extern GtkBuilder *MW_builder;
extern GtkBuilder *CS_builder;
extern GtkBuilder *ED_builder;

extern CD_INFO cd_info;
extern SL_INFO sl_info;
extern CS_INFO cs_info;
extern RS_INFO rs_info;
extern SS_INFO ss_info;
extern BS_INFO bs_info;
extern ED_INFO ed_info;
extern TR_INFO tr_info;
extern MN_INFO mn_info;
extern DB_INFO db_info;

extern const char *title_top;

/* Runs a modal dialog and returns its response.  The file choosers of the
 * settings panel and the data editor go through these so that tests can
 * answer them; both default to gtk_dialog_run. */
extern gint (*cs_dialog_run)(GtkDialog *dialog);
extern gint (*ed_dialog_run)(GtkDialog *dialog);
/* The file chooser of the Record button. */
extern gint (*tr_dialog_run)(GtkDialog *dialog);
/* The Databases… dialog and its file chooser. */
extern gint (*db_dialog_run)(GtkDialog *dialog);

/* ------------------------------------------------------ main, status log */

/* Everything the program does before its main loop.  Returns 0 when the
 * window is ready; a missing layout file ends the process with status 1. */
int velk_utility_startup(int argc, char **argv);
/* Start-up, the main loop and the release of the windows record. */
int velk_utility_main(int argc, char **argv);

void insert_log(const char *msg);
void clear_log(void);
void destroy(GtkWidget *widget, gpointer user_data);
extern "C" void cb_quit(void);
/* Ctrl-C in the terminal, a hang-up and SIGTERM quit as cb_quit does (a
 * second one ends the process at once). velk_utility_main calls it. */
void quit_on_signals(void);

/* ---------------------------------------------------- device operations */

/* Command exchanges with the adapter take 150 ms each, so the handlers run
 * them on an operation thread, one operation at a time, while the window
 * shows a busy cursor, a spinner and what is under way, and the controls
 * that would start another operation are insensitive (wgt_show_hide).
 * work runs on the operation thread and touches no widget; done runs on the
 * GUI thread afterwards with work's result, after any snapshot work pushed
 * through guiStatusUpdate was shown.  False, and nothing run, while another
 * operation is under way. */
void op_init(void); /* records the GUI thread */
bool run_operation(const char *what, std::function<int()> work, std::function<void(int)> done);
bool is_busy(void);
bool on_gui_thread(void);
/* guiStatusUpdate called off the GUI thread keeps the snapshot here. */
void defer_status_update(UPUI_INFO info);
/* Waits for the operation under way and drops its completion; true when
 * there was one.  For the quit path only. */
bool abandon_operation(void);

/* ------------------------------------------------------- connection panel */

/* Looks up the panel; the port search runs as an operation (search_ports). */
void cd_init(void);
int search_com(void);
/* Searches the ports on the operation thread and fills the port box. At
 * start-up only finding none is logged; on request the number found; after
 * an unplug nothing, so the log keeps saying what happened. */
enum { SEARCH_AT_START = 0, SEARCH_ON_REQUEST, SEARCH_QUIET };
void search_ports(int report);
/* The name the port box shows for a port index: the device the library
 * opens, without "/dev/". */
const char *port_display_name(int index);
void btn_cnnt_cb(GtkWidget *widget, gpointer user_data);
void btn_start_cb(GtkWidget *widget, gpointer user_data);
void btn_refresh_cb(GtkWidget *widget, gpointer user_data);
/* Disconnects as an operation; when the adapter is gone the log keeps the
 * line the caller wrote instead of the disconnect line. */
void cd_disconnect(bool is_gone);
/* The adapter was unplugged: disconnect and say so. */
void device_gone(void);
/* Ends a running send request (on any thread). */
void cd_stop_sending(int port);
/* The window's running and stopped states of the channels. */
void cd_show_running(void);
void cd_show_stopped(void);
void wgt_show_hide(bool is_cnt, bool is_act);

/* ---------------------------------------------------------- CAN settings */

extern const char *baud_for_20B_str[];
extern const char *baud_for_2M_str[];
extern const char *baud_for_4M_5M_str[];
extern const char *databaud_str[];
extern const char *filter_str_c[];

void cs_init(void);
int find_baud_index(const char *label);
int cbbox_idx_to_datarate(int index);
int datarate_to_cbbox_idx(int code);
void cbbox_band_update(int can_port);
void chk_fdfen1_cb(GtkWidget *widget = nullptr, gpointer user_data = nullptr);
void chk_fdfen2_cb(GtkWidget *widget = nullptr, gpointer user_data = nullptr);
void cbbox_databaud1_cb(GtkWidget *widget, gpointer user_data);
void cbbox_databaud2_cb(GtkWidget *widget, gpointer user_data);
void cbbox_flt1_cb(GtkWidget *widget, gpointer user_data);
void cbbox_flt2_cb(GtkWidget *widget, gpointer user_data);
int set_config(void);
/* set_config in its two GUI halves around procCanSet: the request from the
 * widgets, and the log lines for its result. */
void cs_read_settings(CAN_SET_INFO info[CAN_CNT]);
void cs_report_settings(int result, const CAN_SET_INFO info[CAN_CNT]);
void guiStatusUpdate(UPUI_INFO upui);
void btn_reset_cb(GtkWidget *widget, gpointer user_data);
void btn_export_cb(GtkWidget *widget, gpointer user_data);
void btn_import_cb(GtkWidget *widget, gpointer user_data);

/* ------------------------------------------ send panel and data editor */

extern unsigned char g_data[64];

void ss_init(void);
void ed_init(void);
gboolean ety_key_press(GtkWidget *widget, GdkEventKey *event, gpointer user_data);
/* "insert-text" of the filtered entries: text that arrives without a key
 * press (a drop, input methods) goes in only when it is wholly a number of
 * the entry's kind that fits the entry; otherwise it is refused whole, with
 * a log line saying what the entry takes. */
void ety_insert_text(GtkEditable *editable, const gchar *text, gint length, gint *position, gpointer user_data);
/* "paste-clipboard" of the filtered entries: the same rule for the text the
 * paste would leave in the entry, selection replaced. */
void ety_paste(GtkEntry *entry, gpointer user_data);
/* Connects the filters to an entry; name is what its log lines call it. */
void ety_filter(GtkWidget *entry, KEY_PRESS_INFO *info, const char *name);
/* Every character of text is one a key may type into an entry of type. */
bool ety_text_allowed(const char *text, int type);
unsigned char hex_2_dec(char ch_high, char ch_low);
unsigned char str_2_uchar(const char *str);
unsigned int str_2_uint(const char *str);
void btn_send_cb(GtkWidget *widget, gpointer user_data);
void btn_stop_cb(GtkWidget *widget, gpointer user_data);
void btn_can_data_cb(GtkWidget *widget, gpointer user_data);
void chk_eid_cb(GtkWidget *widget, gpointer user_data);
void chk_rtr_cb(GtkWidget *widget, gpointer user_data);
void chk_fdf_cb(GtkWidget *widget, gpointer user_data);
void cbbox_can_cb(GtkWidget *widget, gpointer user_data);
void cbbox_dlc_cb(GtkWidget *widget, gpointer user_data);
void btn_ed_clear_cb(GtkWidget *widget, gpointer user_data);
void btn_ed_fill_cb(GtkWidget *widget, gpointer user_data);
void guiDlcUpdate(void);
/* The frame options follow the CAN FD mode of the send channel as the
 * device reports it: at the start of CAN, and whenever the device's
 * configuration is shown (connect, reset, import). */
void ss_follow_channel_mode(void);
void sync_can_data(int sync_type, int length);

/* ------------------------------------------------------------- frame list */

extern GtkListStore *store; /* model of "CAN_data_treeview" */
extern int list_cnt_s, list_cnt_r;
extern int can1_cnt_s, can2_cnt_s, can1_cnt_r, can2_cnt_r;

void bs_init(void); /* bus status frame: table set-up, counters, error labels */
void list_insert(UPBS_INFO upbs_info, bool is_recv);
/* While paused: the counters and their labels go on, no row is added. */
void list_count(const UPBS_INFO &upbs_info, bool is_recv);
/* Puts the frames taken since the last batch into the model and shows the
 * counters; a timer runs it about 25 times a second. */
void list_flush(void);
/* The message name of a frame's identifier in the databases, or "". */
const char *list_message_name(const CAN_FRAME_INFO &f);
/* The TYPE text of a frame, as the frame list and the monitor show it. */
void frame_type_text(const CAN_FRAME_INFO &f, char *out, size_t size);
/* Channel, direction and identifier of a frame as one number, the
 * identifier in the high bits, so numbers sort by identifier. */
uint64_t identifier_key(const CAN_FRAME_INFO &f, bool is_recv);
void btn_clear_cb(GtkWidget *widget, gpointer user_data);

/* ------------------------------------------------ trace controls, views */

/* Pause, Follow and the time selector; looked up with the frame list. */
void tr_init(void);
bool tr_paused(void);
/* Frames that came while the views were paused. */
long tr_paused_frames(void);
void btn_pause_cb(GtkWidget *widget, gpointer user_data);
void chk_follow_cb(GtkWidget *widget, gpointer user_data);
void cbbox_time_cb(GtkWidget *widget, gpointer user_data);
int tr_time_mode(void);
/* Text of a time in microseconds as the selector shows it: seconds with
 * six decimals, or three for host times (millisecond resolution). */
void time_text(int64_t us, bool host, char *out, size_t size);
/* An adapter time in microseconds as "Absolute" shows it: the time of day
 * with microseconds, "18:38:48.024612". Recordings keep the seconds. */
void time_of_day_text(int64_t us, char *out, size_t size);
/* Shows the end of the frame list when Follow is on; the list also goes
 * there by itself whenever rows are added. */
void tr_follow(void);

/* Monitor (panel_monitor.cpp): every frame is counted; the view is brought
 * up to date from the counts about ten times a second while it shows. */
void mn_init(void);
void mn_frame(const UPBS_INFO &upbs_info, bool is_recv);
void mn_refresh(void);
/* A signal's row of the monitor was activated (double-click, Enter):
 * the plot takes the signal from here. */
struct MN_SIGNAL_REF {
    uint32_t id;
    bool extended;
    const char *message;
    const char *signal;
};
extern void (*monitor_signal_activated)(const MN_SIGNAL_REF &ref);
void btn_mn_clear_cb(GtkWidget *widget, gpointer user_data);
/* The view's column that shows the model column `col` (MN_COL_*): the view
 * shows them in an order of its own. */
GtkTreeViewColumn *mn_column(int col);
/* Rows of the monitor now, and view refreshes since start. */
int mn_rows(void);
long mn_refreshes(void);
/* The payload as the monitor shows it: eight bytes per line, the bytes set
 * in `changed` (bit i for byte i) in bold. */
void mn_data_markup(const unsigned char *data, int len, uint64_t changed, char *out, size_t size);

/* Recording (panel_record.cpp): every frame the list receives, and the
 * error reports, go to a trace file written on a thread of its own. */
void rec_init(void);
void rec_frame(const UPBS_INFO &upbs_info, bool is_recv);
/* A bus-error or protocol-status report that names the channel. */
void rec_error_report(int channel);
bool rec_is_recording(void);
/* Ends a recording and waits until its file is complete (quit path). */
void rec_stop_and_wait(void);
void btn_record_cb(GtkWidget *widget, gpointer user_data);
/* Frames written to the file so far. */
long long rec_frames(void);

/* ------------------------------------------------ CAN databases dialog */

/* Looks up the dialog and loads the databases the last run remembered. */
void db_init(GtkBuilder *main_builder, GtkBuilder *db_builder);
/* Loads the files in order, each in the status log: loaded, or not with
 * the parser's message; a file that fails changes nothing. Returns the
 * files loaded. */
int db_add_files(const std::vector<std::string> &paths);
void db_remove(int index);

/* Data by signal (the data editor's "By signal…"): encodes a message of the
 * databases from its signals' values (numbers or value texts) into the send
 * panel's identifier, options, length and bytes. A refusal of the encoder
 * is one log line and leaves the panel as it was; false then. */
void sg_init(GtkBuilder *ed_builder, GtkBuilder *db_builder);
bool sg_encode_to_panel(const char *message, const std::vector<std::pair<std::string, std::string>> &values);
extern gint (*sg_dialog_run)(GtkDialog *dialog);
/* By signal… encodes into the open data editor: the length of the frame it
 * staged there, or -1. The editor's OK finishes it with accept (the
 * identifier, options and length into the send panel, false when the panel
 * cannot take them), its Cancel without. */
int sg_staged_length(void);
bool sg_finish_staged(bool accept);

/* ---------------------------------------------- bus status, receive panel */

void rs_init(void);
/* The receive request the receive panel describes now. */
CAN_RECV_INFO rs_recv_request(void);
gboolean update_BS_frame(gpointer user_data);
/* Frames per second and bus load per channel since the last sample, at
 * monotonic time now_us; the once-a-second timer calls it. */
void bs_sample_rates(int64_t now_us);
void set_err_str(int select);
void cbbox_err_cb(GtkWidget *widget, gpointer user_data);
void chk_non_block_cb(GtkWidget *widget, gpointer user_data);

#endif
