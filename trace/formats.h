// Inside the trace module: the lines of each format and the small text
// helpers they share. Writer and Reader (trace.cpp) own the files; the
// format files (candump_log.cpp, asc.cpp, csv.cpp) only turn frames into
// lines and lines into frames.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"

namespace velk::trace::detail {

// ---- shared text helpers ----
std::string_view trim(std::string_view s);
std::vector<std::string_view> split_ws(std::string_view s);
bool starts_with_nocase(std::string_view s, std::string_view prefix);
bool equal_nocase(std::string_view a, std::string_view b);
// A number of the whole text in base 16 or 10, at most `max`.
bool parse_uint(std::string_view s, int base, uint64_t max, uint64_t *v);
// Seconds with a fraction of up to nine digits (microseconds kept): "12.345"
// gives 12345000. A leading '-' only where `negative` allows it.
bool parse_seconds(std::string_view s, bool negative, int64_t *us);
// "12.345000" with six decimals; "-0.000100" below zero.
std::string seconds_text(int64_t us);
int64_t frame_us(const Frame &f);
void set_frame_us(Frame *f, int64_t us);
// The parts one after the other (a message with numbers in it).
std::string join(std::initializer_list<std::string_view> parts);
// "DE AD BE EF" (separated) or "DEADBEEF".
void append_hex(std::string *out, const uint8_t *p, int n, bool spaced);

// ---- candump log ----
// Parses one line; *name is the interface name.
bool log_parse(std::string_view line, Frame *f, std::string *name, std::string *why);

// ---- Vector ASC ----
std::string asc_header(int64_t start_us, const std::string &note);
void asc_append_frame(std::string *out, const Frame &f, int64_t start_us);
extern const char kAscFooter[];
// A header date ("Tue Nov 14 10:13:19.123 pm 2023", local time) in wall-clock
// microseconds.
bool asc_date(std::string_view text, int64_t *us);
// One line of the measurement: 1 a frame (time in *rel_us, the file's channel
// number in *name); 0 a line without a frame (another event, a comment);
// -1 malformed, *why says why.
int asc_event(std::string_view line, int base, Frame *f, std::string *name, int64_t *rel_us, std::string *why);

// ---- CSV ----
extern const char kCsvHeader[];
void csv_append_row(std::string *out, const Frame &f);
bool csv_parse(std::string_view row, Frame *f, std::string *name, std::string *why);

}  // namespace velk::trace::detail
