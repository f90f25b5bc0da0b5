// What the numeric and hexadecimal entries of the utility take: the key
// filter, text that arrives without a key press (a paste, a drop, an input
// method), and the payload byte cells, which take two digits and move on.
// Input that is not a number of the entry's kind, or does not fit it, is
// refused whole with a log line that says what the entry takes: an entry
// never holds a different number than the one the user gave.
#include "guipart.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Object data of a filtered entry: the name its log lines use.
constexpr const char *kFieldName = "velk-field-name";
constexpr int kPanelBytes = 8;
// A refused text is quoted in the log up to this many characters.
constexpr long kQuotedChars = 20;

bool is_byte_cell(int type)
{
    return type == ETY_CAN_DATA || type == ETY_CAN_FD_DATA;
}

// The character a key types, or 0 for a key that types none: navigation,
// selection and editing keys, and shortcuts, which the entry handles itself
// (a paste goes through ety_paste, other inserted text through
// ety_insert_text).
gunichar typed_char(const GdkEventKey *event)
{
    if ((event->state & (GDK_CONTROL_MASK | GDK_MOD1_MASK)) != 0)
        return 0;
    gunichar c = gdk_keyval_to_unicode(event->keyval);
    return g_unichar_isprint(c) ? c : 0;
}

bool char_allowed(gunichar c, int type)
{
    if (c >= '0' && c <= '9')
        return true;
    if (type == ETY_NUM)
        return false;
    return (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The digits of text when it is wholly one number of the entry's kind:
// spaces around it are dropped, and a hexadecimal number may be written
// with 0x, as it is copied from code and traces.
bool number_digits(const std::string &text, int type, std::string *digits)
{
    const char *space = " \t\r\n";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos)
        return false;
    std::string s = text.substr(first, text.find_last_not_of(space) - first + 1);
    if (type != ETY_NUM && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s.erase(0, 2);
    if (!ety_text_allowed(s.c_str(), type))
        return false;
    *digits = s;
    return true;
}

bool fits(GtkWidget *entry, long chars)
{
    int max = gtk_entry_get_max_length(GTK_ENTRY(entry));
    return max <= 0 || chars <= max;
}

// What the entry takes, in the words of its log line.
std::string field_rule(GtkWidget *entry, int type)
{
    const char *name = static_cast<const char *>(g_object_get_data(G_OBJECT(entry), kFieldName));
    if (name == nullptr)
        name = "This field";
    int max = gtk_entry_get_max_length(GTK_ENTRY(entry));
    char rule[160];
    if (type == ETY_NUM && max > 0 && max < 10) {
        long long top = 1;
        for (int i = 0; i < max; ++i)
            top *= 10;
        std::snprintf(rule, sizeof rule, "%s takes a whole number from 0 to %lld", name, top - 1);
    } else if (type == ETY_NUM) {
        std::snprintf(rule, sizeof rule, "%s takes a whole number", name);
    } else if (max > 0) {
        std::snprintf(rule, sizeof rule, "%s takes up to %d hexadecimal digit%s", name, max, max == 1 ? "" : "s");
    } else {
        std::snprintf(rule, sizeof rule, "%s takes hexadecimal digits", name);
    }
    return rule;
}

// The refused text as the log quotes it: one line, its first characters.
std::string quoted(const std::string &text)
{
    gchar *valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
    for (gchar *p = valid; *p != '\0'; ++p)
        if (*p == '\n' || *p == '\r' || *p == '\t')
            *p = ' ';
    std::string out;
    if (g_utf8_strlen(valid, -1) > kQuotedChars) {
        out.assign(valid, static_cast<std::size_t>(g_utf8_offset_to_pointer(valid, kQuotedChars) - valid));
        out += "…";
    } else {
        out = valid;
    }
    g_free(valid);
    return out;
}

void refuse(GtkWidget *entry, int type, const std::string &text)
{
    std::string line = field_rule(entry, type) + ": \"" + quoted(text) + "\" refused !";
    clear_log();
    insert_log(line.c_str());
}

struct PasteRequest {
    GtkWidget *entry;
    const KEY_PRESS_INFO *info;
};

void paste_received(GtkClipboard *, const gchar *text, gpointer data)
{
    PasteRequest *request = static_cast<PasteRequest *>(data);
    GtkWidget *w = request->entry;
    const int type = request->info->type;
    GtkEditable *editable = GTK_EDITABLE(w);
    if (text != nullptr && gtk_widget_is_sensitive(w) && gtk_editable_get_editable(editable)) {
        std::string digits;
        gint start = 0;
        gint end = 0;
        const bool selected = gtk_editable_get_selection_bounds(editable, &start, &end);
        const long length = static_cast<long>(gtk_entry_get_text_length(GTK_ENTRY(w)));
        long kept = length - (selected ? end - start : 0);
        bool ok = number_digits(text, type, &digits);
        // A byte cell that cannot take the pasted digits beside its own
        // takes them in place of its byte, as typing over it does.
        const bool overwrite = ok && is_byte_cell(type) && !fits(w, kept + static_cast<long>(digits.size()));
        if (overwrite)
            kept = 0;
        if (!ok || !fits(w, kept + static_cast<long>(digits.size()))) {
            refuse(w, type, text);
        } else {
            if (overwrite)
                gtk_editable_delete_text(editable, 0, -1);
            else if (selected)
                gtk_editable_delete_selection(editable);
            gint position = gtk_editable_get_position(editable);
            gtk_editable_insert_text(editable, digits.c_str(), static_cast<gint>(digits.size()), &position);
            gtk_editable_set_position(editable, position);
        }
    }
    g_object_unref(w);
    delete request;
}

} // namespace

bool ety_text_allowed(const char *text, int type)
{
    for (const char *p = text; *p != '\0'; ++p)
        if (!char_allowed(static_cast<unsigned char>(*p), type))
            return false;
    return true;
}

gboolean ety_key_press(GtkWidget *widget, GdkEventKey *event, gpointer user_data)
{
    const KEY_PRESS_INFO *info = static_cast<const KEY_PRESS_INFO *>(user_data);
    if (info == nullptr || event == nullptr)
        return TRUE;
    gunichar c = typed_char(event);
    if (c == 0)
        return FALSE;
    if (!char_allowed(c, info->type)) {
        char typed[8] = {0};
        g_unichar_to_utf8(c, typed);
        refuse(widget, info->type, typed);
        return TRUE;
    }
    if (!is_byte_cell(info->type))
        return FALSE;

    int i = info->can_bit;
    GtkWidget *self = nullptr;
    GtkWidget *next = nullptr;
    if (info->type == ETY_CAN_DATA && i >= 0 && i < kPanelBytes) {
        self = ss_info.ety_d[SS_ETY_D_B0 + i];
        if (i < kPanelBytes - 1)
            next = ss_info.ety_d[SS_ETY_D_B0 + i + 1];
    } else if (info->type == ETY_CAN_FD_DATA && i >= 0 && i < ED_DATA_CNT) {
        self = ed_info.ety_d[i];
        if (i < ED_DATA_CNT - 1)
            next = ed_info.ety_d[i + 1];
    }
    if (self == nullptr)
        return FALSE;
    // A full cell is typed over, as in a hex editor: its text is selected,
    // so the digit replaces the byte and starts it anew.
    GtkEditable *editable = GTK_EDITABLE(self);
    gint start = 0;
    gint end = 0;
    bool selected = gtk_editable_get_selection_bounds(editable, &start, &end);
    const int length = gtk_entry_get_text_length(GTK_ENTRY(self));
    if (!selected && !fits(self, length + 1)) {
        gtk_editable_select_region(editable, 0, -1);
        start = 0;
        end = length;
        selected = true;
    }
    // The digit that completes a byte moves the focus on; the key still
    // reaches this cell, so the digit lands here.
    if (next != nullptr && !fits(self, length - (end - start) + 2))
        gtk_widget_grab_focus(next);
    return FALSE;
}

void ety_insert_text(GtkEditable *editable, const gchar *text, gint length, gint *position, gpointer user_data)
{
    const KEY_PRESS_INFO *info = static_cast<const KEY_PRESS_INFO *>(user_data);
    if (info == nullptr || text == nullptr)
        return;
    std::size_t n = length < 0 ? std::strlen(text) : static_cast<std::size_t>(length);
    if (n == 0)
        return;
    GtkWidget *w = GTK_WIDGET(editable);
    const std::string in(text, n);
    std::string digits;
    const long held = static_cast<long>(gtk_entry_get_text_length(GTK_ENTRY(w)));
    if (!number_digits(in, info->type, &digits) || !fits(w, held + static_cast<long>(digits.size()))) {
        g_signal_stop_emission_by_name(editable, "insert-text");
        refuse(w, info->type, in);
        return;
    }
    if (digits == in)
        return;
    g_signal_handlers_block_by_func(editable, reinterpret_cast<gpointer>(ety_insert_text), user_data);
    gtk_editable_insert_text(editable, digits.c_str(), static_cast<gint>(digits.size()), position);
    g_signal_handlers_unblock_by_func(editable, reinterpret_cast<gpointer>(ety_insert_text), user_data);
    g_signal_stop_emission_by_name(editable, "insert-text");
}

void ety_paste(GtkEntry *entry, gpointer user_data)
{
    g_signal_stop_emission_by_name(entry, "paste-clipboard");
    const KEY_PRESS_INFO *info = static_cast<const KEY_PRESS_INFO *>(user_data);
    if (info == nullptr)
        return;
    // The whole clipboard text is checked against what the entry would hold
    // with it, before anything of the entry changes.
    GtkWidget *w = GTK_WIDGET(entry);
    PasteRequest *request = new PasteRequest{GTK_WIDGET(g_object_ref(w)), info};
    gtk_clipboard_request_text(gtk_widget_get_clipboard(w, GDK_SELECTION_CLIPBOARD), paste_received, request);
}

void ety_filter(GtkWidget *entry, KEY_PRESS_INFO *info, const char *name)
{
    g_object_set_data_full(G_OBJECT(entry), kFieldName, g_strdup(name), g_free);
    g_signal_connect(entry, "key-press-event", G_CALLBACK(ety_key_press), info);
    g_signal_connect(entry, "insert-text", G_CALLBACK(ety_insert_text), info);
    g_signal_connect(entry, "paste-clipboard", G_CALLBACK(ety_paste), info);
}
