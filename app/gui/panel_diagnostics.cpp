// The Diagnostics tab: addressing, the requests of a bench (sessions, DTCs,
// identifiers, raw requests, tester present), their results in tables and
// every exchange in a log.
#include "panel_diagnostics.h"

#include "adapter_time.h"
#include "did_table.h"
#include "guipart.h"
#include "isotp_link.h"
#include "uds.h"
#include "widgets.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

DgWidgets dg_info;
gint (*dg_dialog_run)(GtkDialog *dialog) = gtk_dialog_run;

namespace {

namespace isotp = velk::isotp;
namespace uds = velk::uds;

constexpr uint64_t kTesterPresentUs = 2000000;  // 3E 80 every 2 s while the switch is on
constexpr guint kPumpMs = 1;
constexpr size_t kLogBytes = 64;                // bytes a log line shows, then "…"
constexpr int kMaxLogRows = 5000;

struct Preset {
    const char *name;
    uint32_t tx, rx;
    bool functional;
};
constexpr Preset kPresets[] = {
    {"7E0 / 7E8", 0x7E0, 0x7E8, false}, {"7E1 / 7E9", 0x7E1, 0x7E9, false},
    {"7E2 / 7EA", 0x7E2, 0x7EA, false}, {"7E3 / 7EB", 0x7E3, 0x7EB, false},
    {"7E4 / 7EC", 0x7E4, 0x7EC, false}, {"7E5 / 7ED", 0x7E5, 0x7ED, false},
    {"7E6 / 7EE", 0x7E6, 0x7EE, false}, {"7E7 / 7EF", 0x7E7, 0x7EF, false},
    {"7DF functional / 7E8", 0x7E0, 0x7E8, true},
    {"18DA10F1 / 18DAF110", 0x18DA10F1, 0x18DAF110, false},
};
constexpr uint32_t kFunctionalId = 0x7DF;

struct Named {
    const char *name;
    uint8_t value;
};
constexpr Named kSessions[] = {{"default (01)", 0x01}, {"programming (02)", 0x02}, {"extended (03)", 0x03}};
constexpr Named kDtcSubs[] = {{"02 by status mask", uds::kDtcByMask}, {"0A supported", uds::kDtcSupported}};

enum class Kind { Session, ReadDtc, ClearDtc, ReadDid, Raw };

struct Job {
    Kind kind;
    std::vector<uint8_t> request;
    uint16_t did = 0;
};

// The connection and its requests, one at a time.
struct Client {
    std::unique_ptr<isotp::Connection> conn;
    int channel = 0;
    bool functional = false;
    unsigned built_serial = 0;  // the settings the connection was made with
    std::deque<Job> jobs;
    std::optional<Job> current;
    std::unique_ptr<uds::Exchange> exchange;
    bool keepalive_out = false;   // a tester present is going out
    uint64_t next_keepalive = 0;
    guint timer = 0;
} client;

uds::DidTable table;
unsigned settings_serial = 1;
long tester_presents = 0;

uint64_t now_us()
{
    return uint64_t(g_get_monotonic_time());
}

std::string hex_short(const std::vector<uint8_t> &data)
{
    if (data.size() <= kLogBytes)
        return uds::hex_bytes_text(data);
    return uds::hex_bytes_text(std::vector<uint8_t>(data.begin(), data.begin() + kLogBytes)) + " \xE2\x80\xA6";
}

std::string service_text(const std::vector<uint8_t> &data)
{
    if (data.empty())
        return "";
    uint8_t sid = data[0];
    if (sid == uds::kNegativeResponse && data.size() > 1)
        sid = data[1];
    const char *name = uds::service_name(sid);
    char b[8];
    std::snprintf(b, sizeof b, "%02X", sid);
    return name != nullptr ? name : std::string("service ") + b;
}

void log_row(const char *dir, const std::string &service, const std::string &bytes, const std::string &result)
{
    if (dg_info.log_store == nullptr)
        return;
    GDateTime *t = g_date_time_new_now_local();
    char time[32];
    std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03d", g_date_time_get_hour(t), g_date_time_get_minute(t),
                  g_date_time_get_second(t), g_date_time_get_microsecond(t) / 1000);
    g_date_time_unref(t);
    GtkTreeModel *m = GTK_TREE_MODEL(dg_info.log_store);
    GtkTreeIter iter;
    if (gtk_tree_model_iter_n_children(m, nullptr) >= kMaxLogRows && gtk_tree_model_get_iter_first(m, &iter))
        gtk_list_store_remove(dg_info.log_store, &iter);
    gtk_list_store_insert_with_values(dg_info.log_store, &iter, -1, DG_LOG_TIME, time, DG_LOG_DIR, dir,
                                      DG_LOG_SERVICE, service.c_str(), DG_LOG_BYTES, bytes.c_str(), DG_LOG_RESULT,
                                      result.c_str(), -1);
    GtkTreePath *path = gtk_tree_model_get_path(m, &iter);
    gtk_tree_view_scroll_to_cell(GTK_TREE_VIEW(dg_info.log_view), path, nullptr, FALSE, 0, 0);
    gtk_tree_path_free(path);
}

void note(const std::string &what)
{
    log_row("", "", "", what);
}

// A hex number of at most `digits` digits.
bool parse_hex(const char *text, int digits, uint32_t *v)
{
    const size_t n = std::strlen(text);
    if (n == 0 || n > size_t(digits) || std::strspn(text, "0123456789abcdefABCDEF") != n)
        return false;
    *v = uint32_t(std::strtoul(text, nullptr, 16));
    return true;
}

bool parse_id(GtkWidget *entry, uint32_t *id, bool *extended)
{
    const char *t = gtk_entry_get_text(GTK_ENTRY(entry));
    if (!parse_hex(t, 8, id))
        return false;
    *extended = std::strlen(t) > 3 || *id > 0x7FF;
    return *id <= 0x1FFFFFFF;
}

// The options the widgets describe now; false (said in the log) when an
// identifier or byte is not valid.
bool read_options(isotp::Options *o, int *channel, bool *functional, std::string *why)
{
    isotp::Address &a = o->address;
    bool tx_ext = false;
    bool rx_ext = false;
    if (!parse_id(dg_info.tx_id, &a.tx_id, &tx_ext) || !parse_id(dg_info.rx_id, &a.rx_id, &rx_ext)) {
        *why = "the identifiers are not valid (hex, 3 digits or 8 for 29-bit)";
        return false;
    }
    if (tx_ext != rx_ext) {
        *why = "the request and response identifiers must both be 11-bit or both 29-bit";
        return false;
    }
    a.extended_id = tx_ext;
    const int mode = gtk_combo_box_get_active(GTK_COMBO_BOX(dg_info.mode));
    a.mode = mode == 1 ? isotp::Addressing::Extended : mode == 2 ? isotp::Addressing::Mixed : isotp::Addressing::Normal;
    if (a.mode != isotp::Addressing::Normal) {
        // "TA" or "TA:RA" for extended addressing, "AE" for mixed.
        const std::string t = gtk_entry_get_text(GTK_ENTRY(dg_info.ext));
        const size_t colon = t.find(':');
        uint32_t tx = 0;
        uint32_t rx = 0;
        if (!parse_hex(t.substr(0, colon).c_str(), 2, &tx) ||
            (colon != std::string::npos && !parse_hex(t.substr(colon + 1).c_str(), 2, &rx))) {
            *why = "the address byte is not valid (TA, TA:RA or AE in hex)";
            return false;
        }
        a.tx_ext = uint8_t(tx);
        a.rx_ext = colon != std::string::npos ? uint8_t(rx) : uint8_t(tx);
    }
    if (gui::is_checked(dg_info.pad)) {
        uint32_t pad = 0;
        if (!parse_hex(gtk_entry_get_text(GTK_ENTRY(dg_info.pad_byte)), 2, &pad)) {
            *why = "the padding byte is not valid (hex)";
            return false;
        }
        o->padding = uint8_t(pad);
        o->min_len = 8;
    }
    if (gui::is_checked(dg_info.fd)) {
        o->fd = true;
        o->tx_dl = 64;
    }
    *functional = gui::is_checked(dg_info.functional);
    if (*functional)
        a.func_id = kFunctionalId;
    *channel = gtk_combo_box_get_active(GTK_COMBO_BOX(dg_info.channel)) == 1 ? 1 : 0;
    return true;
}

uds::Timing timing()
{
    uds::Timing t;
    t.p2_ms = uint32_t(std::max(1, gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(dg_info.p2))));
    return t;
}

bool can_send()
{
    return is_connect && is_active && com_port >= 0;
}

// Writes a frame of the connection; listed as a sent frame when it went out.
bool send_frame(const velk::trace::Frame &f)
{
    velk::trace::Frame g = f;
    g.channel = client.channel;
    CAN_FRAME_INFO r = velk::trace::record_of(g);
    const int rc = r.fdf ? VELKSend_CANFD(com_port, &r) : VELKSend(com_port, &r);
    if (rc != 0)
        return false;
    apipart_push_sent(r);
    return true;
}

const char *job_doing(Kind k)
{
    switch (k) {
    case Kind::Session: return "Changing the session";
    case Kind::ReadDtc: return "Reading DTCs";
    case Kind::ClearDtc: return "Clearing DTCs";
    case Kind::ReadDid: return "Reading an identifier";
    case Kind::Raw: return "Waiting for the response";
    }
    return "";
}

// The line of what is under way; changed only when its text does, as the
// pump runs every millisecond while a request is out.
void show_state()
{
    if (dg_info.state == nullptr)
        return;
    const bool busy = dg_busy();
    std::string s = "Ready";
    if (busy) {
        s = std::string(job_doing(client.current ? client.current->kind : client.jobs.front().kind)) + "\xE2\x80\xA6";
        if (!client.jobs.empty())
            s += " (" + std::to_string(client.jobs.size()) + " more waiting)";
    }
    if (s != gtk_label_get_text(GTK_LABEL(dg_info.state)))
        gtk_label_set_text(GTK_LABEL(dg_info.state), s.c_str());
    gboolean spinning = FALSE;
    g_object_get(dg_info.spinner, "active", &spinning, nullptr);
    if (busy != (spinning != FALSE))
        busy ? gtk_spinner_start(GTK_SPINNER(dg_info.spinner)) : gtk_spinner_stop(GTK_SPINNER(dg_info.spinner));
}

std::string did_name(uint16_t did)
{
    const auto e = table.find(did);
    return e == table.end() ? "" : e->second.name;
}

void put_did(uint16_t did, const std::vector<uint8_t> &value)
{
    char id[8];
    std::snprintf(id, sizeof id, "%04X", did);
    const auto e = table.find(did);
    const std::string text = uds::did_value_text(value, e == table.end() ? uds::DidFormat::Hex : e->second.format);
    GtkTreeModel *m = GTK_TREE_MODEL(dg_info.did_store);
    GtkTreeIter iter;
    for (bool ok = gtk_tree_model_get_iter_first(m, &iter); ok; ok = gtk_tree_model_iter_next(m, &iter)) {
        gchar *old = nullptr;
        gtk_tree_model_get(m, &iter, DG_DID_ID, &old, -1);
        const bool same = old != nullptr && std::strcmp(old, id) == 0;
        g_free(old);
        if (same) {
            gtk_list_store_set(dg_info.did_store, &iter, DG_DID_NAME, did_name(did).c_str(), DG_DID_VALUE,
                               text.c_str(), -1);
            return;
        }
    }
    gtk_list_store_insert_with_values(dg_info.did_store, &iter, -1, DG_DID_ID, id, DG_DID_NAME, did_name(did).c_str(),
                                      DG_DID_VALUE, text.c_str(), -1);
}

// What a positive response says, for its log line and the tables.
std::string take_answer(const Job &job, const std::vector<uint8_t> &r)
{
    std::string why;
    char b[96];
    switch (job.kind) {
    case Kind::Session:
        if (r.size() == 6)
            std::snprintf(b, sizeof b, "session %02X (P2 %u ms, P2* %u ms)", r[1], unsigned(r[2] << 8 | r[3]),
                          unsigned(r[4] << 8 | r[5]) * 10);
        else
            std::snprintf(b, sizeof b, "session %02X", r.size() > 1 ? r[1] : 0);
        return b;
    case Kind::ReadDtc: {
        uds::DtcReport d;
        if (!uds::read_dtc_response(r, &d, &why))
            return why;
        gtk_list_store_clear(dg_info.dtc_store);
        for (const uds::Dtc &x : d.dtcs) {
            char code[8];
            char status[4];
            std::snprintf(code, sizeof code, "%06X", unsigned(x.code));
            std::snprintf(status, sizeof status, "%02X", x.status);
            gtk_list_store_insert_with_values(dg_info.dtc_store, nullptr, -1, DG_DTC_TEXT, uds::dtc_text(x.code).c_str(),
                                              DG_DTC_CODE, code, DG_DTC_STATUS, status, DG_DTC_BITS,
                                              uds::dtc_status_text(x.status).c_str(), -1);
        }
        std::snprintf(b, sizeof b, "%zu DTCs (status availability %02X)", d.dtcs.size(), d.availability);
        return b;
    }
    case Kind::ClearDtc:
        gtk_list_store_clear(dg_info.dtc_store);
        return "DTCs cleared";
    case Kind::ReadDid: {
        std::vector<uds::DidValue> v;
        if (!uds::read_data_response(r, {job.did}, nullptr, &v, &why) || v.empty())
            return why;
        put_did(job.did, v[0].value);
        const auto e = table.find(job.did);
        std::snprintf(b, sizeof b, "%04X", job.did);
        return std::string(b) + (e != table.end() ? " " + e->second.name : "") + ": " +
               uds::did_value_text(v[0].value, e == table.end() ? uds::DidFormat::Hex : e->second.format);
    }
    case Kind::Raw:
        gtk_label_set_text(GTK_LABEL(dg_info.raw_answer), uds::hex_bytes_text(r).c_str());
        return "";
    }
    return "";
}

void finish_job(uint64_t)
{
    const uds::Outcome o = client.exchange->outcome();
    const Job job = *client.current;
    client.exchange.reset();
    client.current.reset();
    std::string result = uds::outcome_text(o);
    if (o.status == uds::Status::Positive) {
        const std::string said = take_answer(job, o.response);
        if (!said.empty())
            result += ": " + said;
    } else if (job.kind == Kind::Raw) {
        const std::string answer = o.response.empty() ? "(no response)" : uds::hex_bytes_text(o.response);
        gtk_label_set_text(GTK_LABEL(dg_info.raw_answer), (answer + "  " + result).c_str());
    }
    if (o.status == uds::Status::Timeout)
        result = "Timeout: " + result;
    log_row("Rx", service_text(o.response.empty() ? job.request : o.response), hex_short(o.response), result);
}

bool rebuild_connection()
{
    isotp::Options o;
    int channel = 0;
    bool functional = false;
    std::string why;
    if (!read_options(&o, &channel, &functional, &why)) {
        note("Not sent: " + why);
        return false;
    }
    client.conn = std::make_unique<isotp::Connection>(o);
    client.channel = channel;
    client.functional = functional;
    client.built_serial = settings_serial;
    client.keepalive_out = false;
    return true;
}

bool idle_connection()
{
    return !client.exchange && !client.keepalive_out && (!client.conn || !client.conn->sending());
}

void drop_jobs(const char *why)
{
    if (!client.jobs.empty())
        note(why);
    client.jobs.clear();
}

void start_job(uint64_t now)
{
    if (!can_send()) {
        drop_jobs("No adapter connected: connect and start CAN first");
        return;
    }
    if ((!client.conn || client.built_serial != settings_serial) && !rebuild_connection()) {
        client.jobs.clear();
        return;
    }
    Job job = client.jobs.front();
    client.jobs.pop_front();
    const bool functional = client.functional && job.request.size() <= 7;
    if (!client.conn->send(job.request, now, functional)) {
        log_row("Tx", service_text(job.request), hex_short(job.request), "cannot be sent with these options");
        return;
    }
    client.exchange = std::make_unique<uds::Exchange>(timing());
    client.exchange->start(job.request, now);
    log_row("Tx", service_text(job.request), hex_short(job.request), functional ? "functional (7DF)" : "");
    client.current = job;
}

bool tester_present_on()
{
    return dg_info.tester_present != nullptr && gtk_switch_get_active(GTK_SWITCH(dg_info.tester_present));
}

void send_tester_present(uint64_t now)
{
    if (!can_send()) {
        note("Tester present off: no adapter connected");
        gtk_switch_set_active(GTK_SWITCH(dg_info.tester_present), FALSE);
        return;
    }
    if ((client.conn == nullptr || (client.built_serial != settings_serial && idle_connection())) &&
        !rebuild_connection()) {
        gtk_switch_set_active(GTK_SWITCH(dg_info.tester_present), FALSE);
        return;
    }
    const std::vector<uint8_t> req = uds::tester_present_request(true);
    client.keepalive_out = client.conn->send(req, now, client.functional);
    client.next_keepalive = now + kTesterPresentUs;
    if (client.keepalive_out) {
        ++tester_presents;
        log_row("Tx", service_text(req), hex_short(req), "no response asked");
    }
}

void send_frames(uint64_t)
{
    velk::trace::Frame f;
    while (client.conn && client.conn->next_frame(now_us(), &f)) {
        if (!can_send()) {
            client.conn->send_failed(now_us());
            continue;
        }
        send_frame(f) ? client.conn->sent(now_us()) : client.conn->send_failed(now_us());
    }
}

void schedule();

// One round of the connection: frames out, timeouts, events, the next
// request and the tester present.
void pump(uint64_t now)
{
    if (client.conn) {
        send_frames(now);
        client.conn->tick(now);
        isotp::Event e;
        while (client.conn->next_event(&e)) {
            if (client.keepalive_out && (e.kind == isotp::Event::Sent || e.kind == isotp::Event::TxError)) {
                client.keepalive_out = false;
                if (e.kind == isotp::Event::TxError)
                    note(std::string("Tester present not sent: ") + isotp::error_name(e.error));
                continue;
            }
            if (e.kind == isotp::Event::Received) {
                const std::vector<uint8_t> &d = e.data;
                if (d.size() >= 3 && d[0] == uds::kNegativeResponse && d[2] == uds::kResponsePending)
                    log_row("Rx", service_text(d), hex_short(d), "responsePending: waiting up to P2*");
                else if (!client.exchange)
                    log_row("Rx", service_text(d), hex_short(d), "not asked for");
            }
            if (client.exchange)
                client.exchange->on_event(e, now);
        }
        if (client.exchange) {
            client.exchange->tick(now);
            if (client.exchange->done())
                finish_job(now);
        }
    }
    if (!client.exchange && !client.jobs.empty() && idle_connection())
        start_job(now);
    if (tester_present_on() && now >= client.next_keepalive && !client.keepalive_out &&
        (!client.conn || !client.conn->sending()))
        send_tester_present(now);
    if (client.conn)
        send_frames(now);
    show_state();
    schedule();
}

gboolean pump_tick(gpointer)
{
    client.timer = 0;
    pump(now_us());
    return G_SOURCE_REMOVE;
}

// The timer runs while anything waits for its time.
void schedule()
{
    const bool wanted = client.exchange || !client.jobs.empty() || client.keepalive_out || tester_present_on() ||
                        (client.conn && client.conn->next_deadline() != UINT64_MAX);
    if (wanted && client.timer == 0)
        client.timer = g_timeout_add(kPumpMs, pump_tick, nullptr);
}

void queue(Job job)
{
    client.jobs.push_back(std::move(job));
    pump(now_us());
}

// ---- handlers ----

void settings_changed(GtkWidget *, gpointer)
{
    ++settings_serial;
    const int mode = gtk_combo_box_get_active(GTK_COMBO_BOX(dg_info.mode));
    gtk_widget_set_sensitive(dg_info.ext, mode > 0);
    gtk_widget_set_sensitive(dg_info.pad_byte, gui::is_checked(dg_info.pad));
}

void preset_changed(GtkWidget *, gpointer)
{
    const int i = gtk_combo_box_get_active(GTK_COMBO_BOX(dg_info.preset));
    if (i < 0 || size_t(i) >= std::size(kPresets))
        return;
    const Preset &p = kPresets[i];
    char t[16];
    std::snprintf(t, sizeof t, p.tx > 0x7FF ? "%08X" : "%03X", p.tx);
    gtk_entry_set_text(GTK_ENTRY(dg_info.tx_id), t);
    std::snprintf(t, sizeof t, p.rx > 0x7FF ? "%08X" : "%03X", p.rx);
    gtk_entry_set_text(GTK_ENTRY(dg_info.rx_id), t);
    gui::set_checked(dg_info.functional, p.functional);
    gtk_combo_box_set_active(GTK_COMBO_BOX(dg_info.mode), 0);
    settings_changed(nullptr, nullptr);
}

void session_clicked(GtkWidget *, gpointer)
{
    const int i = std::max(0, gtk_combo_box_get_active(GTK_COMBO_BOX(dg_info.session)));
    queue({Kind::Session, uds::session_request(kSessions[i].value)});
}

void dtc_clicked(GtkWidget *, gpointer)
{
    const int i = std::max(0, gtk_combo_box_get_active(GTK_COMBO_BOX(dg_info.dtc_sub)));
    uint32_t mask = 0xFF;
    if (kDtcSubs[i].value == uds::kDtcByMask && !parse_hex(gtk_entry_get_text(GTK_ENTRY(dg_info.dtc_mask)), 2, &mask)) {
        note("Not sent: the status mask is not valid (a hex byte)");
        return;
    }
    queue({Kind::ReadDtc, uds::dtc_request(kDtcSubs[i].value, uint8_t(mask))});
}

void clear_clicked(GtkWidget *, gpointer)
{
    queue({Kind::ClearDtc, uds::clear_dtc_request()});
}

void read_clicked(GtkWidget *, gpointer)
{
    // Identifiers in hex, or names of the table, between blanks or commas.
    gchar **words = g_strsplit_set(gtk_entry_get_text(GTK_ENTRY(dg_info.dids)), " ,;\t", -1);
    std::vector<uint16_t> dids;
    std::string bad;
    for (gchar **w = words; *w != nullptr; ++w) {
        if (**w == '\0')
            continue;
        uint32_t v = 0;
        bool found = false;
        for (const auto &[id, e] : table)
            if (e.name == *w) {
                dids.push_back(id);
                found = true;
                break;
            }
        if (found)
            continue;
        if (std::strlen(*w) == 4 && parse_hex(*w, 4, &v))
            dids.push_back(uint16_t(v));
        else
            bad = *w;
    }
    g_strfreev(words);
    if (!bad.empty() || dids.empty()) {
        note("Not sent: give identifiers as 4 hex digits or names of the table" + (bad.empty() ? "" : " ('" + bad + "')"));
        return;
    }
    for (uint16_t did : dids)
        client.jobs.push_back({Kind::ReadDid, uds::read_request({did}), did});
    pump(now_us());
}

void raw_clicked(GtkWidget *, gpointer)
{
    std::vector<uint8_t> req;
    if (!velk::tools::parse_hex_bytes(gtk_entry_get_text(GTK_ENTRY(dg_info.raw)), &req) || req.empty()) {
        note("Not sent: the request is not hex bytes");
        return;
    }
    gtk_label_set_text(GTK_LABEL(dg_info.raw_answer), "");
    queue({Kind::Raw, req});
}

void pick_changed(GtkWidget *, gpointer)
{
    const gchar *id = gtk_combo_box_get_active_id(GTK_COMBO_BOX(dg_info.table_pick));
    if (id == nullptr)
        return;
    std::string t = gtk_entry_get_text(GTK_ENTRY(dg_info.dids));
    if (!t.empty() && t.back() != ' ')
        t += ' ';
    gtk_entry_set_text(GTK_ENTRY(dg_info.dids), (t + id).c_str());
}

void table_clicked(GtkWidget *, gpointer)
{
    GtkWidget *dialog = gtk_file_chooser_dialog_new("Table of identifiers", GTK_WINDOW(windows->main_window),
                                                    GTK_FILE_CHOOSER_ACTION_OPEN, "_Cancel", GTK_RESPONSE_CANCEL,
                                                    "_Open", GTK_RESPONSE_ACCEPT, nullptr);
    gui::start_in_last_folder(GTK_FILE_CHOOSER(dialog));
    const std::string path = gui::run_file_chooser(dialog, dg_dialog_run);
    gtk_widget_destroy(dialog);
    if (!path.empty())
        dg_load_table(path.c_str());
}

void tester_present_switched(GObject *, GParamSpec *, gpointer)
{
    if (tester_present_on()) {
        client.next_keepalive = 0;
        note("Tester present on: 3E 80 every 2 s");
        pump(now_us());
    } else {
        note("Tester present off");
    }
}

// ---- layout ----

// The model and text columns of one of the tab's tables.
GtkListStore *make_table(GtkWidget *view, std::initializer_list<const char *> titles)
{
    std::vector<GType> types(titles.size(), G_TYPE_STRING);
    GtkListStore *store = gtk_list_store_newv(gint(types.size()), types.data());
    gtk_tree_view_set_model(GTK_TREE_VIEW(view), GTK_TREE_MODEL(store));
    g_object_unref(store);  // the view holds it
    int i = 0;
    for (const char *t : titles) {
        GtkCellRenderer *r = gtk_cell_renderer_text_new();
        g_object_set(r, "font", "Calibri 10", nullptr);
        GtkTreeViewColumn *c = gtk_tree_view_column_new_with_attributes(t, r, "text", i++, nullptr);
        gtk_tree_view_column_set_resizable(c, TRUE);
        gtk_tree_view_append_column(GTK_TREE_VIEW(view), c);
    }
    return store;
}

void on_box_destroyed(GtkWidget *, gpointer)
{
    if (client.timer != 0)
        g_source_remove(client.timer);
    client = Client{};
    dg_info = DgWidgets{};
}

}  // namespace

void dg_init(void)
{
    // The window works without the tab.
    GtkBuilder *b = gui::optional_layout("diagnostics.glade");
    if (b == nullptr)
        return;
    DgWidgets &w = dg_info;
    const auto get = [b](const char *id) { return gui::widget(b, id); };
    w.box = get("dg_box");
    w.channel = get("dg_channel_cbbox");
    w.preset = get("dg_preset_cbbox");
    w.mode = get("dg_mode_cbbox");
    w.tx_id = get("dg_tx_id_entry");
    w.rx_id = get("dg_rx_id_entry");
    w.ext = get("dg_ext_entry");
    w.pad = get("dg_pad_checkbox");
    w.pad_byte = get("dg_pad_entry");
    w.fd = get("dg_fd_checkbox");
    w.functional = get("dg_functional_checkbox");
    w.p2 = get("dg_p2_spin");
    w.session = get("dg_session_cbbox");
    w.session_btn = get("dg_session_btn");
    w.tester_present = get("dg_tester_present_switch");
    w.dtc_sub = get("dg_dtc_sub_cbbox");
    w.dtc_mask = get("dg_dtc_mask_entry");
    w.dtc_btn = get("dg_dtc_btn");
    w.clear_btn = get("dg_clear_btn");
    w.dids = get("dg_dids_entry");
    w.read_btn = get("dg_read_btn");
    w.table_btn = get("dg_table_btn");
    w.table_pick = get("dg_table_cbbox");
    w.raw = get("dg_raw_entry");
    w.raw_btn = get("dg_raw_btn");
    w.raw_answer = get("dg_raw_lab");
    w.spinner = get("dg_spinner");
    w.state = get("dg_state_lab");
    w.dtc_view = get("dg_dtc_view");
    w.did_view = get("dg_did_view");
    w.log_view = get("dg_log_view");
    gui::fit_hex_pairs(w.pad_byte);
    gui::fit_hex_pairs(w.dtc_mask);
    for (const Preset &p : kPresets)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w.preset), p.name);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.preset), 0);
    for (const Named &n : kSessions)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w.session), n.name);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.session), 0);
    for (const Named &n : kDtcSubs)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(w.dtc_sub), n.name);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w.dtc_sub), 0);
    w.dtc_store = make_table(w.dtc_view, {"DTC", "Code", "Status", "Status bits"});
    w.did_store = make_table(w.did_view, {"DID", "Name", "Value"});
    w.log_store = make_table(w.log_view, {"Time", "Dir", "Service", "Bytes", "Result"});

    g_signal_connect(w.session_btn, "clicked", G_CALLBACK(session_clicked), nullptr);
    g_signal_connect(w.dtc_btn, "clicked", G_CALLBACK(dtc_clicked), nullptr);
    g_signal_connect(w.clear_btn, "clicked", G_CALLBACK(clear_clicked), nullptr);
    g_signal_connect(w.read_btn, "clicked", G_CALLBACK(read_clicked), nullptr);
    g_signal_connect(w.table_btn, "clicked", G_CALLBACK(table_clicked), nullptr);
    g_signal_connect(w.raw_btn, "clicked", G_CALLBACK(raw_clicked), nullptr);
    for (GtkWidget *x : {w.channel, w.mode})
        g_signal_connect(x, "changed", G_CALLBACK(settings_changed), nullptr);
    for (GtkWidget *x : {w.tx_id, w.rx_id, w.ext, w.pad_byte})
        g_signal_connect(x, "changed", G_CALLBACK(settings_changed), nullptr);
    for (GtkWidget *x : {w.pad, w.fd, w.functional})
        g_signal_connect(x, "toggled", G_CALLBACK(settings_changed), nullptr);
    g_signal_connect(w.preset, "changed", G_CALLBACK(preset_changed), nullptr);
    g_signal_connect(w.table_pick, "changed", G_CALLBACK(pick_changed), nullptr);
    g_signal_connect(w.tester_present, "notify::active", G_CALLBACK(tester_present_switched), nullptr);
    g_signal_connect(w.raw, "activate", G_CALLBACK(raw_clicked), nullptr);
    g_signal_connect(w.dids, "activate", G_CALLBACK(read_clicked), nullptr);
    g_signal_connect(w.box, "destroy", G_CALLBACK(on_box_destroyed), nullptr);
    settings_changed(nullptr, nullptr);
    // The names a screen reader says for the controls without a label of their own.
    const std::pair<GtkWidget *, const char *> names[] = {
        {w.channel, "Diagnostics channel"}, {w.preset, "Identifier preset"}, {w.mode, "Addressing"},
        {w.tx_id, "Request ID"}, {w.rx_id, "Response ID"}, {w.ext, "Address byte"},
        {w.pad_byte, "Padding byte"}, {w.p2, "P2 ms"}, {w.session, "Session"},
        {w.dtc_sub, "DTC report"}, {w.dtc_mask, "DTC status mask"}, {w.dids, "Identifiers"},
        {w.table_pick, "Identifier of the table"}, {w.raw, "Raw request"}, {w.tester_present, "Tester present"}};
    for (const auto &[x, name] : names)
        atk_object_set_name(gtk_widget_get_accessible(x), name);

    gtk_notebook_append_page(GTK_NOTEBOOK(tr_info.notebook), w.box, get("dg_tab_lab"));
    g_object_unref(b);
}

void dg_frame(const UPBS_INFO &entry, bool is_recv)
{
    if (!is_recv || !client.conn || dg_info.box == nullptr)
        return;
    const CAN_FRAME_INFO &r = entry.frame_info;
    if (r.msg_type != VELK_DATA_TYPE || int(r.CAN_port) != client.channel)
        return;
    const uint64_t now = now_us();
    if (client.conn->on_frame(velk::trace::frame_of(r), now)) {
        if (client.exchange)
            client.exchange->on_frame(now);
        pump(now);
    }
}

bool dg_load_table(const char *path)
{
    uds::DidTable t;
    std::string why;
    if (!uds::load_did_table(path, &t, &why)) {
        note("Table not loaded: " + why);
        return false;
    }
    table = std::move(t);
    gtk_combo_box_text_remove_all(GTK_COMBO_BOX_TEXT(dg_info.table_pick));
    for (const auto &[id, e] : table) {
        char key[8];
        std::snprintf(key, sizeof key, "%04X", id);
        gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(dg_info.table_pick), key, (std::string(key) + " " + e.name).c_str());
    }
    note(std::string("Table ") + path + ": " + std::to_string(table.size()) + " identifiers");
    return true;
}

bool dg_busy(void)
{
    return client.exchange != nullptr || !client.jobs.empty();
}

long dg_tester_presents(void)
{
    return tester_presents;
}

unsigned dg_address_serial(void)
{
    return settings_serial;
}

bool dg_address(DgAddress *out)
{
    if (dg_info.box == nullptr)
        return false;
    isotp::Options o;
    bool functional = false;
    std::string why;
    if (!read_options(&o, &out->channel, &functional, &why))
        return false;
    out->address = o.address;
    out->serial = settings_serial;
    return true;
}
