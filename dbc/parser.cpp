// The DBC reader: one function per section keyword, each reading its
// statement as the format writes it, over the tokenizer. What a statement
// says about messages and signals is kept for the loader, which resolves it
// once the whole file is read (files are not always in the usual order).
#include <unordered_map>

#include "internal.h"

namespace velk::dbc {

namespace {

constexpr uint32_t kExtendedBit = 0x80000000u;
constexpr std::string_view kIndependentSignals = "VECTOR__INDEPENDENT_SIG_MSG";
constexpr std::string_view kNoNode = "Vector__XXX";

class Parser {
public:
    Parser(std::string_view text, Parsed *p) : sc_(text), p_(p) {}

    bool run(std::string *error);

private:
    using Reader = bool (Parser::*)();
    struct Keyword {
        std::string_view word;
        Reader read;
    };
    static const Keyword kKeywords[];

    bool statement();
    bool version();
    bool new_symbols();
    bool bit_timing();
    bool nodes();
    bool value_table();
    bool message();
    bool signal(ParsedMessage *m);
    bool stray_signal();
    bool message_transmitters();
    bool comment();
    bool attribute_definition();
    bool attribute_default();
    bool attribute_value();
    bool value_descriptions();
    bool signal_value_type();
    bool multiplexer_values();
    bool kept();
    bool unknown(std::string_view word);

    static bool known_keyword(std::string_view word);
    // The next token begins a statement (a section keyword) or the file ends:
    // the statement read so far is over, wherever its line ends.
    bool statement_ahead();
    // Skips the rest of a statement this reader does not interpret; where
    // its ';' is missing, *unended says where it was taken to end. False for
    // a string without its end.
    bool skip_rest(std::string *unended);
    // "before the BO_ on line 9" or "with the file": where a statement
    // without its ';' ends.
    std::string where_it_ends();

    // Pieces several statements share.
    bool object(Target *t, bool allow_network, const char *what, bool bare_sg = false);
    bool message_id(uint32_t *id);
    bool name(std::string *out, const char *what);
    bool quoted(std::string *out, const char *what);
    bool attribute_text(std::string *value, bool *quoted, const char *what);
    bool number(double *v, const char *what);
    bool expect(char c, const char *what);
    bool end(const char *what);
    bool descriptions(std::vector<ValueDescription> *out, const std::string &owner);
    void keep(std::string_view keyword, size_t from);
    bool fail(const std::string &what);
    bool fail_at(int line, int column, const std::string &what);

    Scanner sc_;
    Parsed *p_;
    std::string error_;
    std::string_view keyword_;
    size_t statement_start_ = 0;
    int statement_line_ = 0, statement_column_ = 0;
    std::unordered_map<uint32_t, size_t> message_ids_;   // id | extended << 31 -> message
    std::unordered_map<std::string, size_t> message_names_;
};

const Parser::Keyword Parser::kKeywords[] = {
    {"VERSION", &Parser::version},
    {"NS_", &Parser::new_symbols},
    {"BS_", &Parser::bit_timing},
    {"BU_", &Parser::nodes},
    {"VAL_TABLE_", &Parser::value_table},
    {"BO_", &Parser::message},
    {"SG_", &Parser::stray_signal},
    {"BO_TX_BU_", &Parser::message_transmitters},
    {"CM_", &Parser::comment},
    {"BA_DEF_", &Parser::attribute_definition},
    {"BA_DEF_DEF_", &Parser::attribute_default},
    {"BA_", &Parser::attribute_value},
    {"VAL_", &Parser::value_descriptions},
    {"SIG_VALTYPE_", &Parser::signal_value_type},
    {"SG_MUL_VAL_", &Parser::multiplexer_values},
    // Sections kept as written: environment variables, signal types and
    // groups, categories, filters, relation attributes.
    {"EV_", &Parser::kept},
    {"ENVVAR_DATA_", &Parser::kept},
    {"EV_DATA_", &Parser::kept},
    {"SGTYPE_", &Parser::kept},
    {"SGTYPE_VAL_", &Parser::kept},
    {"SIG_TYPE_REF_", &Parser::kept},
    {"SIGTYPE_VALTYPE_", &Parser::kept},
    {"BA_DEF_SGTYPE_", &Parser::kept},
    {"BA_SGTYPE_", &Parser::kept},
    {"BA_DEF_REL_", &Parser::kept},
    {"BA_DEF_DEF_REL_", &Parser::kept},
    {"BA_REL_", &Parser::kept},
    {"BU_SG_REL_", &Parser::kept},
    {"BU_EV_REL_", &Parser::kept},
    {"BU_BO_REL_", &Parser::kept},
    {"SIG_GROUP_", &Parser::kept},
    {"CAT_DEF_", &Parser::kept},
    {"CAT_", &Parser::kept},
    {"FILTER", &Parser::kept},
    {"NS_DESC_", &Parser::kept},
};

std::string hex_id(uint32_t id)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    do {
        s.insert(s.begin(), kDigits[id & 15]);
        id >>= 4;
    } while (id != 0);
    return "0x" + s;
}

bool all_digits(std::string_view w)
{
    for (char c : w)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool looks_like_keyword(std::string_view w)
{
    if (w.empty() || w[0] < 'A' || w[0] > 'Z')
        return false;
    for (char c : w)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

}  // namespace

void warn(Parsed *p, int line, const std::string &what)
{
    p->warnings.push_back({line, p->name + ":" + std::to_string(line) + ": " + what});
}

bool Parser::known_keyword(std::string_view word)
{
    for (const Keyword &k : kKeywords)
        if (k.word == word)
            return true;
    return false;
}

// A statement's words may run over several lines, so a list (nodes,
// receivers, value descriptions without their ';') ends where a keyword
// stands, or a word at the start of a line that can only be a section
// keyword of another dialect (capitals ending in '_').
bool Parser::statement_ahead()
{
    std::string_view w;
    if (sc_.at_end())
        return true;
    if (!sc_.peek_identifier(&w))
        return false;
    return known_keyword(w) || (sc_.column() == 1 && looks_like_keyword(w) && w.back() == '_');
}

std::string Parser::where_it_ends()
{
    std::string_view w;
    if (sc_.at_end() || !sc_.peek_identifier(&w))
        return "with the file";
    return "before the " + std::string(w) + " on line " + std::to_string(sc_.line());
}

bool Parser::skip_rest(std::string *unended)
{
    unended->clear();
    switch (sc_.skip_statement(&Parser::known_keyword)) {
    case Scanner::Skip::Semicolon: return true;
    case Scanner::Skip::NextStatement:
    case Scanner::Skip::End: *unended = where_it_ends(); return true;
    case Scanner::Skip::OpenString: break;
    }
    return fail_at(sc_.line(), sc_.column(), "unterminated string (no closing '\"')");
}

bool Parser::fail_at(int line, int column, const std::string &what)
{
    if (error_.empty())
        error_ = p_->name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + what;
    return false;
}

bool Parser::fail(const std::string &what)
{
    const std::string found = sc_.found();
    return fail_at(sc_.line(), sc_.column(), what + ", found " + found);
}

bool Parser::expect(char c, const char *what)
{
    return sc_.accept(c) || fail(std::string("expected ") + what);
}

bool Parser::end(const char *what)
{
    return sc_.accept(';') || fail(std::string("expected ';' after ") + what);
}

bool Parser::name(std::string *out, const char *what)
{
    std::string_view s;
    if (!sc_.peek_identifier(&s) || all_digits(s) || !sc_.identifier(&s))
        return fail(std::string("expected ") + what);
    *out = std::string(s);
    return true;
}

bool Parser::quoted(std::string *out, const char *what)
{
    const int line = sc_.line(), column = sc_.column();
    const int r = sc_.string(out);
    if (r < 0)
        return fail_at(line, column, "unterminated string (no closing '\"')");
    return r > 0 || fail(std::string("expected ") + what + " in quotes");
}

bool Parser::number(double *v, const char *what)
{
    return sc_.real(v) || fail(std::string("expected ") + what + " (a number)");
}

bool Parser::message_id(uint32_t *id)
{
    uint64_t v;
    bool too_big;
    if (!sc_.unsigned_number(UINT32_MAX, &v, &too_big))
        return fail("expected the message identifier (a whole number up to 4294967295)");
    *id = static_cast<uint32_t>(v);
    return true;
}

void Parser::keep(std::string_view keyword, size_t from)
{
    // A statement without its ';' ends at the next one: without the blanks before it.
    std::string_view text = sc_.text(from, sc_.offset());
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    p_->others.push_back({std::string(keyword), statement_line_, to_utf8(text)});
}

bool Parser::run(std::string *error)
{
    while (!sc_.at_end()) {
        if (!statement()) {
            *error = error_;
            return false;
        }
    }
    return true;
}

bool Parser::statement()
{
    std::string_view word;
    if (!sc_.peek_identifier(&word))
        return fail("expected a section keyword (VERSION, BU_, BO_, CM_, BA_DEF_, BA_, VAL_, ...)");
    statement_line_ = sc_.line();
    statement_column_ = sc_.column();
    statement_start_ = sc_.offset();
    for (const Keyword &k : kKeywords) {
        if (k.word == word) {
            keyword_ = k.word;
            sc_.identifier(&word);
            return (this->*k.read)();
        }
    }
    return unknown(word);
}

// A word that looks like a keyword of a newer or another tool's dialect, at
// the start of its line, is skipped to its ';' (or to the next statement
// where the ';' is missing); anything else is an error.
bool Parser::unknown(std::string_view word)
{
    if (!sc_.first_on_line() || !looks_like_keyword(word))
        return fail("expected a section keyword (VERSION, BU_, BO_, CM_, BA_DEF_, BA_, VAL_, ...)");
    const int line = sc_.line();
    const std::string w(word);
    sc_.identifier(&word);
    std::string unended;
    if (!skip_rest(&unended))
        return false;
    warn(p_, line, "unknown section " + w + " skipped" +
                       (unended.empty() ? "" : " (it has no ';' and ends " + unended + ")"));
    keep(w, statement_start_);
    return true;
}

// VERSION "text"
bool Parser::version()
{
    if (!quoted(&p_->version, "the version text"))
        return false;
    sc_.accept(';');
    return true;
}

// NS_ : followed by the names of the sections the file may use, one a line.
// The list ends at a line that starts at its first column, or at BS_, BU_
// or BO_, which no list names.
bool Parser::new_symbols()
{
    if (!expect(':', "':' after NS_"))
        return false;
    std::string_view w;
    while (sc_.peek_identifier(&w)) {
        if (sc_.column() == 1 || w == "BS_" || w == "BU_" || w == "BO_" || w == "VERSION")
            break;
        sc_.identifier(&w);
    }
    return true;
}

// BS_: [baud rate : BTR1 , BTR2] (obsolete, read and dropped)
bool Parser::bit_timing()
{
    if (!expect(':', "':' after BS_"))
        return false;
    double v;
    if (sc_.real(&v)) {
        if (sc_.accept(':') && !(number(&v, "BTR1") && expect(',', "',' between BTR1 and BTR2") && number(&v, "BTR2")))
            return false;
    }
    sc_.accept(';');
    return true;
}

// BU_: node node ... (over as many lines as it takes; commas allowed)
bool Parser::nodes()
{
    if (!expect(':', "':' after BU_"))
        return false;
    while (!statement_ahead()) {
        if (sc_.accept(','))
            continue;
        if (sc_.accept(';'))
            break;
        const int line = sc_.line();
        std::string n;
        if (!name(&n, "a node name"))
            return false;
        bool seen = false;
        for (const std::string &x : p_->nodes)
            seen = seen || x == n;
        if (seen)
            warn(p_, line, "node " + n + " listed twice in BU_");
        else
            p_->nodes.push_back(n);
    }
    return true;
}

// value "text" ... ;   (the ';' is missing in some files: the next statement ends the list)
bool Parser::descriptions(std::vector<ValueDescription> *out, const std::string &owner)
{
    for (;;) {
        if (sc_.accept(';'))
            return true;
        if (statement_ahead()) {
            warn(p_, statement_line_, std::string(keyword_) + " of " + owner + " has no ';'; it ends " + where_it_ends());
            return true;
        }
        ValueDescription d;
        if (!sc_.whole_number(&d.value))
            return fail("expected a value (a whole number) or ';' ending the values of " + owner);
        if (!quoted(&d.text, "the value's text"))
            return false;
        out->push_back(std::move(d));
    }
}

// VAL_TABLE_ name value "text" ... ;
bool Parser::value_table()
{
    ValueTable t;
    if (!name(&t.name, "the value table's name"))
        return false;
    if (!descriptions(&t.values, "value table " + t.name))
        return false;
    p_->value_tables.push_back(std::move(t));
    return true;
}

// BO_ id name: length transmitter, then its SG_ lines.
bool Parser::message()
{
    ParsedMessage pm;
    Message &m = pm.m;
    m.line = statement_line_;
    const int id_column = sc_.column();
    if (!message_id(&pm.file_id))
        return false;
    const int name_line = sc_.line(), name_column = sc_.column();
    if (!name(&m.short_name, "the message name"))
        return false;
    if (!expect(':', "':' after the message name"))
        return false;
    uint64_t length;
    bool too_big;
    if (!sc_.unsigned_number(64, &length, &too_big))
        return fail("expected the message length in bytes (0 to 64)");
    m.length = static_cast<int>(length);
    std::string_view tx;
    if (!statement_ahead() && sc_.peek_identifier(&tx) && !all_digits(tx)) {
        sc_.identifier(&tx);
        m.transmitter = std::string(tx);
    }
    if (sc_.same_line() && !sc_.accept(';') && !(sc_.peek_identifier(&tx) && tx == "SG_"))
        return fail("expected the end of the BO_ line after the transmitter");
    if (m.transmitter.empty())
        m.transmitter = std::string(kNoNode);

    const bool independent = m.short_name == kIndependentSignals;
    m.extended = (pm.file_id & kExtendedBit) != 0;
    m.id = pm.file_id & ~kExtendedBit;
    if (!independent) {
        if (m.id > 0x1FFFFFFF)
            return fail_at(m.line, id_column, "identifier " + std::to_string(pm.file_id) + " has bits beyond 29 set");
        if (!m.extended && m.id > 0x7FF) {
            m.extended = true;
            warn(p_, m.line,
                 "message " + m.short_name + ": standard identifier " + hex_id(m.id) +
                     " is above 0x7FF (bit 31 not set); taken as the 29-bit identifier " + hex_id(m.id));
        }
    }
    while (sc_.peek_identifier(&tx) && tx == "SG_") {
        sc_.identifier(&tx);
        if (!signal(&pm))
            return false;
    }
    if (independent) {
        p_->ignored_ids.push_back(pm.file_id);
        return true;
    }
    const uint32_t key = m.id | (m.extended ? kExtendedBit : 0);
    if (const auto it = message_ids_.find(key); it != message_ids_.end())
        return fail_at(m.line, id_column,
                       "duplicate message identifier " + hex_id(m.id) + " (also message " +
                           p_->messages[it->second].m.short_name + " on line " +
                           std::to_string(p_->messages[it->second].m.line) + ")");
    if (const auto it = message_names_.find(m.short_name); it != message_names_.end())
        return fail_at(name_line, name_column,
                       "duplicate message name " + m.short_name + " (also on line " +
                           std::to_string(p_->messages[it->second].m.line) + ")");
    message_ids_[key] = p_->messages.size();
    message_names_[m.short_name] = p_->messages.size();
    p_->messages.push_back(std::move(pm));
    return true;
}

// SG_ name [M|mN|mNM] : start|length@order sign (factor,offset) [min|max] "unit" receivers
bool Parser::signal(ParsedMessage *pm)
{
    ParsedSignal ps;
    Signal &s = ps.s;
    s.line = sc_.last_line();
    const int name_column = sc_.column();
    if (!name(&s.short_name, "the signal name"))
        return false;
    std::string_view mark;
    if (sc_.peek_identifier(&mark)) {
        const bool switch_end = mark.size() > 1 && mark.back() == 'M';
        const std::string_view digits = mark.substr(1, mark.size() - 1 - (switch_end ? 1 : 0));
        bool numeric = !digits.empty() && digits.size() <= 19;
        uint64_t value = 0;
        for (char c : digits) {
            numeric = numeric && c >= '0' && c <= '9';
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (mark == "M") {
            ps.mux = MuxMark::Switch;
        } else if (mark == "m") {
            ps.mux = MuxMark::Switch;
            ps.bare_m = true;
        } else if (mark[0] == 'm' && numeric) {
            ps.mux = switch_end ? MuxMark::MuxedSwitch : MuxMark::Muxed;
            ps.mux_value = value;
        } else {
            return fail("expected ':' or a multiplexer mark (M, m<value>, m<value>M) after the signal name");
        }
        sc_.identifier(&mark);
    }
    if (!expect(':', ps.mux == MuxMark::None ? "':' after the signal name" : "':' after the multiplexer mark"))
        return false;
    const int start_line = sc_.line(), start_column = sc_.column();
    uint64_t v;
    bool too_big;
    if (!sc_.unsigned_number(UINT32_MAX, &v, &too_big))
        return fail("expected the start bit (a whole number)");
    if (v > 511)
        return fail_at(start_line, start_column, "start bit " + std::to_string(v) + " is beyond 64 bytes (0 to 511)");
    s.start_bit = static_cast<int>(v);
    if (!expect('|', "'|' between start bit and length"))
        return false;
    const int length_line = sc_.line(), length_column = sc_.column();
    if (!sc_.unsigned_number(UINT32_MAX, &v, &too_big))
        return fail("expected the signal length in bits (1 to 64)");
    if (v == 0 || v > 64)
        return fail_at(length_line, length_column, "signal length " + std::to_string(v) + " is not 1 to 64 bits");
    s.length = static_cast<int>(v);
    if (!expect('@', "'@' after the signal length"))
        return false;
    if (sc_.accept('0'))
        s.order = ByteOrder::BigEndian;
    else if (sc_.accept('1'))
        s.order = ByteOrder::LittleEndian;
    else
        return fail("expected the byte order after '@' (0 big-endian, 1 little-endian)");
    if (sc_.accept('-'))
        s.is_signed = true;
    else if (!sc_.accept('+'))
        return fail("expected '+' (unsigned) or '-' (signed) after the byte order");
    if (!(expect('(', "'(' before factor and offset") && number(&s.factor, "the factor") &&
          expect(',', "',' between factor and offset") && number(&s.offset, "the offset") &&
          expect(')', "')' after the offset")))
        return false;
    if (!(expect('[', "'[' before minimum and maximum") && number(&s.min, "the minimum") &&
          expect('|', "'|' between minimum and maximum") && number(&s.max, "the maximum") &&
          expect(']', "']' after the maximum")))
        return false;
    if (!quoted(&s.unit, "the unit"))
        return false;
    // Receivers up to the next statement, whatever lines they take.
    while (!statement_ahead()) {
        if (sc_.accept(','))
            continue;
        if (sc_.accept(';'))
            break;
        std::string r;
        if (!name(&r, "a receiver node name or the end of the SG_ line"))
            return false;
        if (r != kNoNode)
            s.receivers.push_back(std::move(r));
    }
    if (!lay_out(&s))
        return fail_at(start_line, start_column, "signal " + s.short_name + " does not fit in 64 bytes");
    for (const ParsedSignal &o : pm->signals)
        if (o.s.short_name == s.short_name)
            return fail_at(s.line, name_column,
                           "duplicate signal name " + s.short_name + " in message " + pm->m.short_name +
                               " (also on line " + std::to_string(o.s.line) + ")");
    s.name = s.short_name;
    pm->signals.push_back(std::move(ps));
    return true;
}

bool Parser::stray_signal()
{
    return fail_at(statement_line_, statement_column_, "SG_ outside a message (a signal follows its BO_ line)");
}

// BO_TX_BU_ id : node, node ;
bool Parser::message_transmitters()
{
    ParsedTransmitters t;
    t.target.object = ObjectType::Message;
    t.target.line = statement_line_;
    if (!message_id(&t.target.file_id) || !expect(':', "':' after the message identifier"))
        return false;
    for (;;) {
        if (sc_.accept(';'))
            break;
        if (sc_.accept(','))
            continue;
        std::string n;
        if (!name(&n, "a node name or ';'"))
            return false;
        t.nodes.push_back(std::move(n));
    }
    p_->transmitters.push_back(std::move(t));
    return true;
}

// The object of CM_ and BA_: BU_ node, BO_ id, SG_ id signal, EV_ name, or
// (where allowed) nothing for the network.
bool Parser::object(Target *t, bool allow_network, const char *what, bool bare_sg)
{
    t->line = sc_.line();
    t->column = sc_.column();
    std::string_view w;
    if (!sc_.peek_identifier(&w) || (w[0] >= '0' && w[0] <= '9')) {
        if (allow_network) {
            t->object = ObjectType::Network;
            return true;
        }
        return fail(what);
    }
    if (w == "BU_") {
        sc_.identifier(&w);
        t->object = ObjectType::Node;
        return name(&t->name, "the node name");
    }
    if (w == "BO_") {
        sc_.identifier(&w);
        t->object = ObjectType::Message;
        return message_id(&t->file_id);
    }
    if (w == "SG_") {
        sc_.identifier(&w);
        t->object = ObjectType::Signal;
        if (!message_id(&t->file_id))
            return false;
        // Some tools write a message's comment as CM_ SG_ id "text".
        if (bare_sg && sc_.peek('"')) {
            t->no_signal_name = true;
            return true;
        }
        return name(&t->signal, "the signal name");
    }
    if (w == "EV_") {
        sc_.identifier(&w);
        t->object = ObjectType::EnvVar;
        return name(&t->name, "the environment variable's name");
    }
    return fail(what);
}

// CM_ [BU_ node | BO_ id | SG_ id signal | EV_ name] "text" ;
bool Parser::comment()
{
    ParsedComment c;
    if (!object(&c.target, true, "expected the comment text in quotes, or BU_, BO_, SG_ or EV_ before it", true))
        return false;
    if (!quoted(&c.text, c.target.object == ObjectType::Network ? "the comment text, or BU_, BO_, SG_ or EV_ before it,"
                                                                 : "the comment text") ||
        !end("the comment"))
        return false;
    p_->comments.push_back(std::move(c));
    return true;
}

// BA_DEF_ [BU_|BO_|SG_|EV_] "name" INT min max | HEX min max | FLOAT min max | STRING | ENUM "a","b" ;
bool Parser::attribute_definition()
{
    AttributeDefinition d;
    d.line = statement_line_;
    std::string_view w;
    if (sc_.peek_identifier(&w)) {
        if (w == "BU_")
            d.object = ObjectType::Node;
        else if (w == "BO_")
            d.object = ObjectType::Message;
        else if (w == "SG_")
            d.object = ObjectType::Signal;
        else if (w == "EV_")
            d.object = ObjectType::EnvVar;
        else
            return fail("expected the attribute name in quotes, or BU_, BO_, SG_ or EV_ before it");
        sc_.identifier(&w);
    }
    if (!quoted(&d.name, "the attribute name"))
        return false;
    if (!sc_.peek_identifier(&w) || !(w == "INT" || w == "HEX" || w == "FLOAT" || w == "STRING" || w == "ENUM"))
        return fail("expected the attribute type (INT, HEX, FLOAT, STRING or ENUM)");
    sc_.identifier(&w);
    if (w == "INT" || w == "HEX" || w == "FLOAT") {
        d.type = w == "INT" ? AttributeType::Int : w == "HEX" ? AttributeType::Hex : AttributeType::Float;
        if (!number(&d.min, "the minimum") || !number(&d.max, "the maximum"))
            return false;
    } else if (w == "STRING") {
        d.type = AttributeType::String;
    } else {
        d.type = AttributeType::Enum;
        while (!sc_.peek(';')) {
            std::string e;
            if (!quoted(&e, "an enumeration value"))
                return false;
            d.enum_values.push_back(std::move(e));
            if (!sc_.accept(',') && !sc_.peek(';'))
                return fail("expected ',' or ';' after an enumeration value");
        }
    }
    if (!end("the attribute definition"))
        return false;
    for (const AttributeDefinition &o : p_->definitions) {
        if (o.name == d.name) {
            warn(p_, d.line, "attribute " + d.name + " defined again (the definition on line " +
                                 std::to_string(o.line) + " holds)");
            return true;
        }
    }
    p_->definitions.push_back(std::move(d));
    return true;
}

// The value of BA_DEF_DEF_ and BA_: text in quotes, or a number kept as
// written (its type is known only once the definitions are all read).
bool Parser::attribute_text(std::string *value, bool *quoted, const char *what)
{
    const size_t from = sc_.offset();
    const int r = sc_.string(value);
    if (r < 0)
        return fail("unterminated string (no closing '\"')");
    *quoted = r > 0;
    if (r == 0) {
        double v;
        if (!sc_.real(&v))
            return fail(std::string("expected ") + what + " (a number, or text in quotes)");
        *value = std::string(sc_.text(from, sc_.offset()));
        value->erase(0, value->find_first_not_of(" \t\r\n"));
    }
    return true;
}

// BA_DEF_DEF_ "name" value ;
bool Parser::attribute_default()
{
    ParsedDefault d;
    d.line = statement_line_;
    if (!quoted(&d.name, "the attribute name") || !attribute_text(&d.value, &d.quoted, "the default value") ||
        !end("the attribute default"))
        return false;
    p_->defaults.push_back(std::move(d));
    return true;
}

// BA_ "name" [BU_ node | BO_ id | SG_ id signal | EV_ name] value ;
bool Parser::attribute_value()
{
    ParsedAttribute a;
    if (!quoted(&a.name, "the attribute name"))
        return false;
    if (!object(&a.target, true, "expected the value, or BU_, BO_, SG_ or EV_ before it"))
        return false;
    a.target.line = statement_line_;
    if (!attribute_text(&a.value, &a.quoted, "the attribute value") || !end("the attribute value"))
        return false;
    p_->attributes.push_back(std::move(a));
    return true;
}

// VAL_ id signal value "text" ... ;   (VAL_ of an environment variable is kept as written)
bool Parser::value_descriptions()
{
    std::string_view w;
    if (sc_.peek_identifier(&w) && !all_digits(w)) {
        sc_.identifier(&w);
        std::vector<ValueDescription> unused;
        if (!descriptions(&unused, "environment variable " + std::string(w)))
            return false;
        keep(keyword_, statement_start_);
        return true;
    }
    ParsedValues v;
    v.target.object = ObjectType::Signal;
    v.target.line = statement_line_;
    if (!message_id(&v.target.file_id) || !name(&v.target.signal, "the signal name"))
        return false;
    if (!descriptions(&v.values, "signal " + v.target.signal))
        return false;
    p_->values.push_back(std::move(v));
    return true;
}

// SIG_VALTYPE_ id signal : type ;   (0 integer, 1 IEEE float, 2 IEEE double)
bool Parser::signal_value_type()
{
    ParsedValueType t;
    t.target.object = ObjectType::Signal;
    t.target.line = statement_line_;
    if (!message_id(&t.target.file_id) || !name(&t.target.signal, "the signal name"))
        return false;
    sc_.accept(':');
    uint64_t v;
    bool too_big;
    if (!sc_.unsigned_number(3, &v, &too_big))
        return fail("expected the value type (0 integer, 1 float, 2 double)");
    t.type = static_cast<int>(v);
    if (!end("the value type"))
        return false;
    p_->value_types.push_back(std::move(t));
    return true;
}

// SG_MUL_VAL_ id signal switch lo-hi, lo-hi ... ;
bool Parser::multiplexer_values()
{
    ParsedMuxValues m;
    m.target.object = ObjectType::Signal;
    m.target.line = statement_line_;
    m.target.column = sc_.column();
    if (!message_id(&m.target.file_id) || !name(&m.target.signal, "the signal name") ||
        !name(&m.switch_name, "the multiplexer switch's name"))
        return false;
    for (;;) {
        MuxRange r;
        bool too_big;
        const int line = sc_.line(), column = sc_.column();
        if (!sc_.unsigned_number(UINT64_MAX, &r.lo, &too_big))
            return fail("expected a range of switch values (low-high)");
        if (!expect('-', "'-' between the low and high switch value"))
            return false;
        if (!sc_.unsigned_number(UINT64_MAX, &r.hi, &too_big))
            return fail("expected the high switch value");
        if (r.hi < r.lo)
            return fail_at(line, column, "switch value range ends before it begins");
        m.ranges.push_back(r);
        if (sc_.accept(';'))
            break;
        if (!expect(',', "',' or ';' after a range of switch values"))
            return false;
    }
    p_->mux_values.push_back(std::move(m));
    return true;
}

bool Parser::kept()
{
    std::string unended;
    if (!skip_rest(&unended))
        return false;
    if (!unended.empty())
        warn(p_, statement_line_, std::string(keyword_) + " has no ';'; it ends " + unended);
    keep(keyword_, statement_start_);
    return true;
}

bool parse(std::string_view text, Parsed *p, std::string *error)
{
    Parser parser(text, p);
    return parser.run(error);
}

}  // namespace velk::dbc
