// Frames in signals, for the tools that print them: the CAN databases given
// with --dbc, and a frame's decoding either as text under its candump line
// or as one JSON object per line:
//
//   (1699999999.123456) can0 123#A03908
//     EngineData
//       EngineSpeed = 1812.0 rpm
//       Gear = 3 "Drive"
//
//   {"t": 1699999999.123456, "bus": "can0", "id": 291, "ext": false, "fd": false, "brs": false,
//    "data": "A03908", "message": "EngineData", "signals": {"EngineSpeed": 1812.0, "Gear": 3},
//    "text": {"Gear": "Drive"}, "missing": []}
#pragma once

#include <string>
#include <vector>

#include "dbc.h"
#include "trace.h"

namespace velk::tools {

// The databases of --dbc, searched in the order given: the first that
// describes a frame's identifier decodes it.
class SignalDecoder {
public:
    // Loads a database; its warnings, and the error where it does not load,
    // go to standard error after "prog: ". False when it does not load.
    bool add(const char *prog, const std::string &path);
    // Match 29-bit identifiers that no message has by J1939 parameter group.
    void set_j1939(bool on) { j1939_ = on; }
    bool empty() const { return dbs_.empty(); }
    // The message of that (long or short) name in the first database that has one.
    const dbc::Message *find(std::string_view name) const;

    // The message of a frame, its signals decoded into values() (valid until
    // the next call); nullptr where no database describes it. Remote and
    // error frames have no signals.
    const dbc::Message *decode(const trace::Frame &f);
    const dbc::Value *values() const { return values_.data(); }
    int count() const { return count_; }

private:
    std::vector<dbc::Database> dbs_;
    std::vector<dbc::Value> values_;
    int count_ = 0;
    bool j1939_ = false;
};

// The interface name of a frame: as a candump log or a capture names it,
// else can0 and can1 for CAN1 and CAN2 (the names velk_dump writes).
std::string bus_name(const trace::Frame &f, trace::Format format, const trace::Reader &r);

// A frame's JSON object and a newline. `m` and its `n` values as decode
// gave them (m nullptr: "message": null).
void append_json_line(std::string *out, const trace::Frame &f, const std::string &bus, const dbc::Message *m,
                      const dbc::Value *values, int n);
// The frame's candump line and newline, then (for a described frame) the
// message name and a line per signal: "name = value unit" with the value's
// text in quotes, "name (missing)" where the frame is too short.
void append_text_lines(std::string *out, const trace::Frame &f, const std::string &bus, const dbc::Message *m,
                       const dbc::Value *values, int n);
// The lines append_text_lines puts under the candump line; nothing for an
// undescribed frame (m nullptr).
void append_signal_lines(std::string *out, const dbc::Message *m, const dbc::Value *values, int n);

}  // namespace velk::tools
