// CAN databases (DBC files): the messages of a bus and their signals, read
// from the format CAN tool chains exchange, frames decoded into signals and
// encoded from them.
//
//   velk::dbc::Database db;
//   const velk::dbc::LoadResult r = velk::dbc::load_file("car.dbc", &db);
//   if (!r.ok) fail(r.error);                  // "car.dbc:12:20: expected '|' ..."
//   for (const auto &w : r.warnings) note(w.text);  // "car.dbc:40: ..."
//
//   std::vector<velk::dbc::Value> values(db.max_signals());  // once
//   if (const velk::dbc::Message *m = db.find(0x123, false)) {
//       const int n = velk::dbc::decode(*m, data, len, values.data());  // no allocation
//       for (int i = 0; i < n; ++i) show(values[i]);
//   }
//
//   velk::dbc::Frame f;
//   std::string why;
//   if (!velk::dbc::encode(*db.find("EngineData"), {{"EngineSpeed", 1834}, {"Gear", "Drive"}}, &f, &why))
//       fail(why);   // "signal EngineSpeed: 9000 is outside its range [0|8000] rpm"
//
// A Database is read-only once loaded, so threads may decode with one at
// once; the Message, Signal and text pointers it hands out stay valid while
// it lives (moving it keeps them valid too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velk::dbc {

enum class ByteOrder : uint8_t {
    LittleEndian,  // @1 (Intel): the start bit is the least significant bit
    BigEndian,     // @0 (Motorola): the start bit is the most significant bit
};

enum class ValueType : uint8_t { Integer, Float32, Float64 };

// A raw value and its text (VAL_, VAL_TABLE_). A value written negative is
// kept as its 64-bit two's complement, as a signed signal's raw value is.
struct ValueDescription {
    uint64_t value = 0;
    std::string text;
};

struct ValueTable {
    std::string name;
    std::vector<ValueDescription> values;
};

// A range of a multiplexer switch's raw values, both ends included.
struct MuxRange {
    uint64_t lo = 0, hi = 0;
};

// What an attribute belongs to (the object keyword of BA_DEF_).
enum class ObjectType : uint8_t { Network, Node, Message, Signal, EnvVar };
enum class AttributeType : uint8_t { Int, Hex, Float, String, Enum };

struct AttributeDefinition {
    std::string name;
    ObjectType object = ObjectType::Network;
    AttributeType type = AttributeType::String;
    double min = 0, max = 0;               // Int, Hex, Float
    std::vector<std::string> enum_values;  // Enum
    bool has_default = false;
    std::string default_value;  // BA_DEF_DEF_, as for Attribute::value
    int line = 0;
};

// An attribute value (BA_): numbers as written, strings without their quotes,
// an Enum by its name (whether the file gives the index or the name).
struct Attribute {
    std::string name;
    std::string value;
};

struct Node {
    std::string name;
    std::string comment;
    std::vector<Attribute> attributes;
};

struct Signal {
    std::string name;        // SystemSignalLongSymbol where the file gives one, else short_name
    std::string short_name;  // the SG_ name (at most 32 characters in files from most tools)
    int start_bit = 0;       // as written (see ByteOrder); 0-511
    int length = 1;          // bits, 1-64
    ByteOrder order = ByteOrder::LittleEndian;
    bool is_signed = false;  // two's complement
    ValueType type = ValueType::Integer;  // SIG_VALTYPE_
    double factor = 1, offset = 0;        // physical = raw * factor + offset
    double min = 0, max = 0;              // [min|max]: a range only where min < max
    std::string unit;
    std::vector<std::string> receivers;
    bool is_multiplexer = false;  // a switch: M, or the M of mNM
    int multiplexer = -1;         // the switch it depends on (index in the message's signals); -1: always sent
    std::vector<MuxRange> mux_values;  // the switch's raw values for which it is sent
    std::vector<ValueDescription> values;  // sorted by value
    std::string comment;
    std::vector<Attribute> attributes;
    bool has_start_value = false;
    double start_value = 0;  // GenSigStartValue: the raw value sent when none is given
    int line = 0;

    // Derived at load: where decode and encode find the bits. `byte` is the
    // first byte read, `shift` the bits of it skipped (from the least
    // significant end for little-endian, the most significant for
    // big-endian), `end` the bytes a frame needs to hold the signal.
    uint8_t byte = 0, shift = 0, end = 1;
    bool integral = true;  // whole factor and offset on an integer signal: whole physical values
    // 1 / factor where that is a whole number (a factor of 0.1, 0.01, 0.125):
    // raw / divisor is the double nearest the exact decimal raw x factor,
    // which raw * factor is not always (1234567 * 0.1 = 123456.70000000001).
    double divisor = 0;

    bool has_range() const { return min < max; }
};

struct Message {
    uint32_t id = 0;  // without the file's bit 31
    bool extended = false;
    std::string name;        // SystemMessageLongSymbol where given, else short_name
    std::string short_name;  // the BO_ name
    int length = 0;          // bytes, 0-64
    std::string transmitter;                // the BO_ sender; "Vector__XXX" where none
    std::vector<std::string> transmitters;  // BO_TX_BU_
    bool fd = false;   // sent as CAN FD (VFrameFormat)
    bool brs = false;  // with bit-rate switch (CANFD_BRS; CAN FD without it defaults to on)
    int cycle_ms = 0;  // GenMsgCycleTime; 0 where the file gives none
    std::vector<Signal> signals;  // file order
    std::string comment;
    std::vector<Attribute> attributes;
    int line = 0;
    // Derived at load: the switches, each after the one it depends on.
    std::vector<int> switch_order;
};

// A warning of a file that loaded: `text` is "file:line: what".
struct Warning {
    int line = 0;
    std::string text;
};

// A statement the database does not interpret (EV_, SIG_GROUP_, CAT_, a
// keyword this reader does not know, ...), kept as written.
struct Section {
    std::string keyword;
    int line = 0;
    std::string text;
};

class Database {
public:
    const std::string &name() const { return name_; }  // the file name, or the name given to load_string
    const std::string &version() const { return version_; }
    const std::string &comment() const { return comment_; }
    const std::vector<Node> &nodes() const { return nodes_; }
    const std::vector<ValueTable> &value_tables() const { return value_tables_; }
    const std::vector<Message> &messages() const { return messages_; }
    const std::vector<AttributeDefinition> &attribute_definitions() const { return attribute_definitions_; }
    const std::vector<Attribute> &attributes() const { return attributes_; }  // the network's
    const std::vector<Section> &other_sections() const { return other_sections_; }

    // The message of an identifier; standard and extended identifiers are
    // apart (0x123 and 0x00000123 are two messages). nullptr where none.
    const Message *find(uint32_t id, bool extended) const;
    // For a 29-bit identifier no message has: the first message of the same
    // J1939 parameter group (data pages, PDU format, and the PDU specific
    // byte from PDU format 240 on), whatever the priority, the source
    // address and (below PDU format 240) the destination. nullptr where none.
    const Message *find_j1939(uint32_t id) const;
    // By name: the long name or the BO_ name.
    const Message *find(std::string_view name) const;
    const AttributeDefinition *attribute_definition(std::string_view name) const;
    // The most signals of any message: the room decode needs.
    size_t max_signals() const { return max_signals_; }
    // The signals of all messages.
    size_t signal_count() const
    {
        size_t n = 0;
        for (const Message &m : messages_)
            n += m.signals.size();
        return n;
    }

private:
    friend class Loader;

    std::string name_, version_, comment_;
    std::vector<Node> nodes_;
    std::vector<ValueTable> value_tables_;
    std::vector<Message> messages_;
    std::vector<AttributeDefinition> attribute_definitions_;
    std::vector<Attribute> attributes_;
    std::vector<Section> other_sections_;
    std::unordered_map<uint32_t, uint32_t> by_id_;   // id | extended << 31 -> message
    std::unordered_map<uint32_t, uint32_t> by_pgn_;  // J1939 parameter group -> message
    std::unordered_map<std::string, uint32_t> by_name_;
    size_t max_signals_ = 0;
};

struct LoadResult {
    bool ok = false;
    std::string error;  // "file:line:column: what was expected" when !ok
    std::vector<Warning> warnings;  // by line
};

// Reads a DBC file into *db. A file that does not load leaves *db as it was.
LoadResult load_file(const std::string &path, Database *db);
// The same for text in memory; `name` stands for the file in messages.
LoadResult load_string(std::string_view text, const std::string &name, Database *db);

// One signal of a decoded frame.
struct Value {
    const Signal *signal = nullptr;
    bool missing = false;   // the frame ends before the signal: no value
    uint64_t raw = 0;       // the bits; a signed signal's sign-extended, a float's as sent
    double value = 0;       // physical value
    const char *text = nullptr;  // the value description of raw, or nullptr
};

// Decodes a payload of `len` bytes (at most 64 read) as message m: the
// signals sent in it (for a multiplexed message those its switches select),
// in file order, into out, which has room for m.signals.size() entries. A
// signal the frame is too short for is marked missing, and so are the
// signals of a missing switch. Returns the number of entries; allocates
// nothing.
int decode(const Message &m, const uint8_t *data, int len, Value *out);

// A signal's value for encode: a physical number, or a value description's
// text where `text` is not empty.
struct Assignment {
    Assignment() = default;
    Assignment(std::string_view s, double v) : signal(s), value(v) {}
    Assignment(std::string_view s, std::string_view t) : signal(s), text(t) {}
    std::string_view signal;  // long or short name
    double value = 0;
    std::string_view text;
};
// "Name=12.5" or "Name=Drive" (text that is not a number); views into `text`.
bool parse_assignment(std::string_view text, Assignment *a);

struct Frame {
    uint32_t id = 0;
    bool extended = false, fd = false, brs = false;
    int len = 0;  // the message's length; a CAN FD frame's rounded up to a length CAN FD has
    uint8_t data[64] = {};
};

// Encodes message m. Signals not given take GenSigStartValue or 0; the
// switches' values choose which multiplexed signals are placed. Refused,
// with *why naming the signal: an unknown signal or value text, a value
// outside the signal's [min|max] (where it has a range) or its raw bits, a
// signal the switches do not select, one beyond the message's length.
bool encode(const Message &m, const std::vector<Assignment> &values, Frame *out, std::string *why);

// A decoded value as a JSON number: whole where the signal is integral
// (exact, from the raw value), else the shortest text that reads back as the
// same double, with ".0" on whole numbers ("1834.0", "0.1", "1e-07"). False,
// with nothing appended, for NaN and infinity.
bool append_number(std::string *out, const Value &v);
// The value for people: append_number's text, or "NaN", "inf", "-inf".
std::string number_text(const Value &v);

}  // namespace velk::dbc
