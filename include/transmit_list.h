// The transmit list: periodic frames, each with its own cycle time, an
// optional count, and per-cycle changes (a counter, a checksum). An entry is
// either a frame given as cansend's frame text or a database message with
// signal values. The list file keeps one entry a line (its format is in
// velk_send's manual page); the utility and velk_send read the same files.
//
// C++ only; used by the worker layer's scheduler, the utility and velk_send.
#ifndef VELK_TRANSMIT_LIST_H
#define VELK_TRANSMIT_LIST_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dbc.h"
#include "lib_velk_2.h"
#include "trace.h"

namespace velk::txlist {

constexpr uint64_t kMinCycleUs = 1000;
constexpr uint64_t kMaxCycleUs = 100000000;

// A counter that steps by one each cycle and wraps from `max` back to `min`:
// either in bytes first..last of the payload (first byte least significant)
// or in a database signal (raw values).
struct Counter {
    enum Kind { None, Bytes, Signal } kind = None;
    int first = 0, last = 0;
    std::string signal;
    uint64_t min = 0;
    uint64_t max = 0;  // 0: the largest value the bytes or the signal hold
};

// A checksum of payload bytes first..last (sum modulo 256, or XOR), written
// into byte `at` or into a database signal, after the counter has stepped.
struct Checksum {
    enum Kind { None, Sum, Xor } kind = None;
    int first = 0, last = 0;
    int at = 0;
    std::string signal;  // not empty: the target is this signal
};

struct Entry {
    std::string name;  // optional label
    int channel = 0;   // 0 = CAN1, 1 = CAN2
    // A frame (identifier, standard or extended, remote, FD, BRS, data)...
    trace::Frame frame;
    // ...or a database message: its name and signal values as written
    // ("Drive" or "12.5"), encoded with the list's database.
    std::string message;
    std::vector<std::pair<std::string, std::string>> signals;
    uint64_t cycle_us = 100000;
    uint64_t count = 0;  // frames to send; 0 = until stopped
    bool enabled = true;
    Counter counter;
    Checksum checksum;

    bool is_message() const { return !message.empty(); }
};

struct List {
    std::string dbc_path;  // as written in the file; empty: no database
    std::shared_ptr<const dbc::Database> db;
    std::vector<Entry> entries;
};

// The library's record of an entry's `cycle`-th frame (0 for the first):
// counter and checksum applied. False, with *why, when a message entry
// cannot be encoded (no database, unknown message or signal, a value out of
// range) or a byte range lies outside the payload.
bool build_frame(const Entry &e, const dbc::Database *db, uint64_t cycle, CAN_FRAME_INFO *out, std::string *why);

// Checks what build_frame would refuse, and the cycle's range; "" when good.
std::string check_entry(const Entry &e, const dbc::Database *db);

// The database a message entry is encoded with: the list's own when it has
// the message, else the first of `others` (the utility's loaded files) that
// has it, else the list's own (which then refuses the entry, or nullptr).
const dbc::Database *database_for(const Entry &e, const dbc::Database *own,
                                  const std::vector<std::shared_ptr<const dbc::Database>> &others);

// ---- the list file ----

// Reads list text. `base_dir` resolves a relative database path. A bad line
// refuses the whole text with *error = "name:line: what" and leaves *list
// as it was.
bool parse_list(const std::string &text, const std::string &name, const std::string &base_dir, List *list,
                std::string *error);
// Reads a list file; as parse_list.
bool load_list(const std::string &path, List *list, std::string *error);
// The text of a list, one entry a line, that parse_list reads back equal.
std::string list_text(const List &list);
// Writes list_text to path (through a temporary file, so a failed save
// leaves the old file); false with *error when it cannot.
bool save_list(const std::string &path, const List &list, std::string *error);

// One entry's line without the newline.
std::string entry_line(const Entry &e);
// Parses one entry line; false with *why.
bool parse_entry(const std::string &line, Entry *e, std::string *why);

// "10ms", "1.5s", "250us": microseconds; false for anything else.
bool parse_cycle(const std::string &text, uint64_t *us);
std::string cycle_text(uint64_t us);

}  // namespace velk::txlist

#endif
