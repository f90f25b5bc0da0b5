// Inside the DBC module: the tokenizer the parser reads with, the records
// the parser leaves for the loader (statements that refer to messages and
// signals are resolved once the whole file is read), and the bit layout
// decode and encode share.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dbc.h"

namespace velk::dbc {

// ---- tokenizer (tokenizer.cpp) ----

// Reads the tokens the parser asks for, skipping blanks and line ends
// between them (CRLF, tabs, any spacing), and knows the line and column of
// each. A token the parser does not find leaves the position where it was.
class Scanner {
public:
    explicit Scanner(std::string_view text) : t_(text) {}

    bool at_end();
    // Line and column (from 1) of the next token.
    int line();
    int column();
    // The next token begins its line.
    bool first_on_line();
    // The next token is on the line where the last one ended.
    bool same_line();
    // The line where the last token read ended.
    int last_line() const { return last_line_; }

    bool accept(char c);
    bool peek(char c);
    // Letters, digits and '_' (names, keywords, the multiplexer marks).
    bool identifier(std::string_view *s);
    bool peek_identifier(std::string_view *s);
    // Decimal digits; false (position kept) for anything else or a number
    // above `max` (*too_big says which).
    bool unsigned_number(uint64_t max, uint64_t *v, bool *too_big);
    // An optional '-' and decimal digits, -2^63 .. 2^64-1 (negative ones as
    // their two's complement).
    bool whole_number(uint64_t *v);
    // A decimal number with optional sign, fraction and exponent.
    bool real(double *v);
    // 1: a quoted string (\" and \\ escaped; text that is not UTF-8 read as
    // Windows-1252/Latin-1); 0: no string here; -1: no closing quote.
    int string(std::string *out);
    // The next token for a message: 'abc' or "the end of the file".
    std::string found();
    // How a skipped statement ended.
    enum class Skip { Semicolon, NextStatement, End, OpenString };
    // Skips to just after the next ';' outside strings, or to a line that
    // begins with a word `starts_statement` takes for a section keyword
    // (left unread): a statement that lost its ';' never swallows the next.
    Skip skip_statement(bool (*starts_statement)(std::string_view word));
    size_t offset() const { return pos_; }
    std::string_view text(size_t from, size_t to) const { return t_.substr(from, to - from); }

private:
    void blank();
    void advance(size_t n);

    std::string_view t_;
    size_t pos_ = 0;
    int line_ = 1;
    size_t line_start_ = 0;
    int last_line_ = 1;
};

// Text as UTF-8: valid UTF-8 as it is, anything else byte by byte as
// Windows-1252 (Latin-1 with the printable characters of 0x80-0x9F).
std::string to_utf8(std::string_view bytes);

// ---- what the parser leaves for the loader (parser.cpp) ----

enum class MuxMark : uint8_t { None, Switch, Muxed, MuxedSwitch };

struct ParsedSignal {
    Signal s;
    MuxMark mux = MuxMark::None;
    uint64_t mux_value = 0;
    bool bare_m = false;  // the switch was written "m"
};

struct ParsedMessage {
    Message m;
    uint32_t file_id = 0;  // as written, bit 31 and all
    std::vector<ParsedSignal> signals;
};

// A statement about an object: the object it names and where it stands.
struct Target {
    ObjectType object = ObjectType::Network;
    std::string name;      // a node's or environment variable's
    uint32_t file_id = 0;  // a message's, as written
    std::string signal;    // a signal's short name
    bool no_signal_name = false;  // SG_ with the message identifier alone
    int line = 0, column = 0;
};

struct ParsedComment {
    Target target;
    std::string text;
};

struct ParsedAttribute {
    Target target;
    std::string name;
    std::string value;
    bool quoted = false;
};

struct ParsedDefault {
    std::string name;
    std::string value;
    bool quoted = false;
    int line = 0;
};

struct ParsedValues {
    Target target;
    std::vector<ValueDescription> values;
};

struct ParsedValueType {
    Target target;
    int type = 0;
};

struct ParsedMuxValues {
    Target target;
    std::string switch_name;
    std::vector<MuxRange> ranges;
};

struct ParsedTransmitters {
    Target target;
    std::vector<std::string> nodes;
};

struct Parsed {
    std::string name;
    std::string version;
    std::vector<std::string> nodes;
    std::vector<ValueTable> value_tables;
    std::vector<ParsedMessage> messages;
    std::vector<uint32_t> ignored_ids;  // VECTOR__INDEPENDENT_SIG_MSG
    std::vector<AttributeDefinition> definitions;
    std::vector<ParsedDefault> defaults;
    std::vector<ParsedAttribute> attributes;
    std::vector<ParsedComment> comments;
    std::vector<ParsedValues> values;
    std::vector<ParsedValueType> value_types;
    std::vector<ParsedMuxValues> mux_values;
    std::vector<ParsedTransmitters> transmitters;
    std::vector<Section> others;
    std::vector<Warning> warnings;
};

// Reads the whole text; false with *error ("name:line:column: ...") at the
// first statement it cannot read.
bool parse(std::string_view text, Parsed *p, std::string *error);

// Adds "name:line: what" to the warnings.
void warn(Parsed *p, int line, const std::string &what);

// ---- the loader (database.cpp) ----

class Loader {
public:
    // Resolves the statements of a parsed file into *db; false with *error.
    static bool build(Parsed &p, Database *db, std::string *error);
};

// ---- bit layout (layout.cpp) ----

// Fills the derived fields of s (byte, shift, end, integral); false when the
// signal does not fit in 64 bytes.
bool lay_out(Signal *s);

// A CAN FD frame's length for a payload of n bytes (n rounded up to 12, 16,
// 20, 24, 32, 48 or 64 above 8).
int fd_length(int n);

// The payload copied into 64 bytes and zeros: every read of a layout,
// eight bytes from its first and one more, stays inside.
struct Padded {
    uint8_t b[80];
    Padded() { std::memset(b, 0, sizeof b); }
    Padded(const uint8_t *data, int len)
    {
        const size_t n = len < 0 ? 0 : len > 64 ? 64 : static_cast<size_t>(len);
        if (n > 0)  // an empty payload may come as a null pointer
            std::memcpy(b, data, n);
        std::memset(b + n, 0, sizeof b - n);
    }
};

inline uint64_t load_le64(const uint8_t *p)
{
    uint64_t w = 0;
    for (int i = 7; i >= 0; --i)
        w = w << 8 | p[i];
    return w;
}

inline uint64_t load_be64(const uint8_t *p)
{
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i)
        w = w << 8 | p[i];
    return w;
}

inline uint64_t low_bits(int n)
{
    return n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
}

// The raw bits of s (zero-extended) from a padded payload: eight bytes from
// its first byte, and the ninth where the signal reaches into it.
inline uint64_t extract(const Signal &s, const uint8_t *padded)
{
    const uint8_t *p = padded + s.byte;
    const int spill = s.shift + s.length - 64;
    if (s.order == ByteOrder::LittleEndian) {
        uint64_t v = load_le64(p) >> s.shift;
        if (spill > 0)
            v |= static_cast<uint64_t>(p[8]) << (64 - s.shift);
        return v & low_bits(s.length);
    }
    uint64_t v = (load_be64(p) << s.shift) >> (64 - s.length);
    if (spill > 0)
        v |= static_cast<uint64_t>(p[8]) >> (8 - spill);
    return v;
}

// Writes the low s.length bits of raw into a padded payload at s's place.
void insert(const Signal &s, uint64_t raw, uint8_t *padded);

// Physical value of raw bits; text of the value description, or nullptr.
double physical(const Signal &s, uint64_t raw);
const char *description(const Signal &s, uint64_t raw);
// raw sign-extended from s.length bits where s is a signed integer.
uint64_t sign_extend(const Signal &s, uint64_t raw);

}  // namespace velk::dbc
