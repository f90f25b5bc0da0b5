// Loading: the parsed statements resolved into the database (comments,
// attributes, value descriptions, value types and multiplexing onto their
// messages and signals), the attributes the database uses read, the
// oddities of real files settled with a warning each; and the lookups.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <unordered_map>

#include "internal.h"

namespace velk::dbc {

namespace {

constexpr uint32_t kExtendedBit = 0x80000000u;
constexpr size_t kMaxFileBytes = size_t{512} << 20;

uint32_t key_of(uint32_t id, bool extended)
{
    return id | (extended ? kExtendedBit : 0);
}

// J1939 parameter group of a 29-bit identifier: data pages and PDU format,
// and the PDU specific byte where it is a group extension (PDU format 240
// and above) rather than a destination address.
uint32_t pgn_of(uint32_t id)
{
    const uint32_t pf = (id >> 16) & 0xFF;
    return ((id >> 8) & 0x3FF00) | (pf >= 240 ? (id >> 8) & 0xFF : 0);
}

const Attribute *find_attribute(const std::vector<Attribute> &list, std::string_view name)
{
    for (const Attribute &a : list)
        if (a.name == name)
            return &a;
    return nullptr;
}

void set_attribute(std::vector<Attribute> *list, const std::string &name, const std::string &value)
{
    for (Attribute &a : *list) {
        if (a.name == name) {
            a.value = value;
            return;
        }
    }
    list->push_back({name, value});
}

bool to_number(const std::string &text, double *v)
{
    const char *b = text.data(), *e = text.data() + text.size();
    if (b != e && *b == '+')
        ++b;
    const auto r = std::from_chars(b, e, *v);
    return r.ec == std::errc() && r.ptr == e;
}

bool has_fd(const std::string &frame_format)
{
    return frame_format.find("FD") != std::string::npos;
}

class Resolver {
public:
    // What the file says of the network, its nodes and messages.
    struct Out {
        std::vector<Message> messages;
        std::vector<Node> nodes;
        std::vector<AttributeDefinition> definitions;
        std::vector<Attribute> attributes;
        std::string comment;
    };

    Resolver(Parsed &p, Out &out) : p_(p), out_(out)
    {
        for (size_t i = 0; i < p.messages.size(); ++i)
            by_file_id_[p.messages[i].file_id] = i;
    }

    bool run(std::string *error);

private:
    Message *message(const Target &t, const char *what);
    Signal *signal(const Target &t, const char *what);
    Node *node(const std::string &name, int line, const char *what);
    bool multiplexing(size_t index, std::string *error);
    void attributes();
    void frame_formats();
    void derived(Message &m);
    std::string normalized(const AttributeDefinition *d, const std::string &value, bool quoted, int line);
    std::string value_of(const std::vector<Attribute> &list, std::string_view name, bool *given);
    const AttributeDefinition *definition(std::string_view name) const;

    Parsed &p_;
    Out &out_;
    std::unordered_map<uint32_t, size_t> by_file_id_;
    // The SG_MUL_VAL_ that gave each signal its switch: message, signal -> statement.
    std::unordered_map<uint64_t, const ParsedMuxValues *> mux_statement_;
};

Message *Resolver::message(const Target &t, const char *what)
{
    const auto it = by_file_id_.find(t.file_id);
    if (it != by_file_id_.end())
        return &p_.messages[it->second].m;
    if (std::find(p_.ignored_ids.begin(), p_.ignored_ids.end(), t.file_id) == p_.ignored_ids.end())
        warn(&p_, t.line, std::string(what) + " of unknown message " + std::to_string(t.file_id) + " ignored");
    return nullptr;
}

Signal *Resolver::signal(const Target &t, const char *what)
{
    const auto it = by_file_id_.find(t.file_id);
    if (it == by_file_id_.end()) {
        if (std::find(p_.ignored_ids.begin(), p_.ignored_ids.end(), t.file_id) == p_.ignored_ids.end())
            warn(&p_, t.line,
                 std::string(what) + " of signal " + t.signal + " of unknown message " + std::to_string(t.file_id) +
                     " ignored");
        return nullptr;
    }
    for (ParsedSignal &ps : p_.messages[it->second].signals)
        if (ps.s.short_name == t.signal)
            return &ps.s;
    warn(&p_, t.line,
         std::string(what) + " of unknown signal " + t.signal + " of message " +
             p_.messages[it->second].m.short_name + " ignored");
    return nullptr;
}

Node *Resolver::node(const std::string &name, int line, const char *what)
{
    for (Node &n : out_.nodes)
        if (n.name == name)
            return &n;
    warn(&p_, line, std::string(what) + " of unknown node " + name + " ignored");
    return nullptr;
}

// Which switch each signal of a message follows, for which values, and the
// order to read the switches in. SG_MUL_VAL_ names a signal's switch and
// values; without it, an mN signal follows the message's M switch for the
// value N.
bool Resolver::multiplexing(size_t index, std::string *error)
{
    ParsedMessage &pm = p_.messages[index];
    std::vector<ParsedSignal> &sigs = pm.signals;
    const int n = static_cast<int>(sigs.size());
    int top = -1;
    bool several = false;
    for (int i = 0; i < n; ++i) {
        ParsedSignal &ps = sigs[static_cast<size_t>(i)];
        ps.s.is_multiplexer = ps.mux == MuxMark::Switch || ps.mux == MuxMark::MuxedSwitch;
        if (ps.bare_m)
            warn(&p_, ps.s.line, "signal " + ps.s.short_name + ": multiplexer switch written 'm'; taken as 'M'");
        if (ps.mux == MuxMark::Switch) {
            several = several || top >= 0;
            if (top < 0)
                top = i;
        }
    }
    for (int i = 0; i < n; ++i) {
        Signal &s = sigs[static_cast<size_t>(i)].s;
        const auto it = mux_statement_.find(uint64_t{pm.file_id} << 32 | static_cast<uint32_t>(i));
        if (it != mux_statement_.end() || s.multiplexer >= 0)
            continue;
        const ParsedSignal &ps = sigs[static_cast<size_t>(i)];
        if (ps.mux != MuxMark::Muxed && ps.mux != MuxMark::MuxedSwitch)
            continue;
        if (top < 0) {
            warn(&p_, s.line,
                 "signal " + s.short_name + " is multiplexed (m" + std::to_string(ps.mux_value) + ") but message " +
                     pm.m.short_name + " has no multiplexer switch; taken as always sent");
            continue;
        }
        if (several) {
            warn(&p_, s.line,
                 "signal " + s.short_name + " (m" + std::to_string(ps.mux_value) + ") has no SG_MUL_VAL_ and message " +
                     pm.m.short_name + " has several M switches; it follows the first, " +
                     sigs[static_cast<size_t>(top)].s.short_name);
        }
        s.multiplexer = top;
        s.mux_values = {{ps.mux_value, ps.mux_value}};
    }
    // Depth of each signal below the top switches; a chain that comes back
    // to itself is a loop.
    std::vector<int> depth(static_cast<size_t>(n), -1);
    std::vector<int> chain;
    for (int i = 0; i < n; ++i) {
        chain.clear();
        int j = i;
        while (j >= 0 && depth[static_cast<size_t>(j)] < 0) {
            if (depth[static_cast<size_t>(j)] == -2) {
                const Signal &s = sigs[static_cast<size_t>(j)].s;
                const auto it = mux_statement_.find(uint64_t{pm.file_id} << 32 | static_cast<uint32_t>(j));
                const int line = it != mux_statement_.end() ? it->second->target.line : s.line;
                const int column = it != mux_statement_.end() ? it->second->target.column : 1;
                *error = p_.name + ":" + std::to_string(line) + ":" + std::to_string(column) +
                         ": multiplexer loop: signal " + s.short_name + " of message " + pm.m.short_name +
                         " depends on itself";
                return false;
            }
            depth[static_cast<size_t>(j)] = -2;
            chain.push_back(j);
            j = sigs[static_cast<size_t>(j)].s.multiplexer;
        }
        int d = j >= 0 ? depth[static_cast<size_t>(j)] + 1 : 0;
        for (auto k = chain.rbegin(); k != chain.rend(); ++k)
            depth[static_cast<size_t>(*k)] = d++;
    }
    Message &m = pm.m;
    for (int i = 0; i < n; ++i)
        if (sigs[static_cast<size_t>(i)].s.is_multiplexer)
            m.switch_order.push_back(i);
    std::stable_sort(m.switch_order.begin(), m.switch_order.end(),
                     [&](int a, int b) { return depth[static_cast<size_t>(a)] < depth[static_cast<size_t>(b)]; });
    return true;
}

// An attribute's value as the database keeps it: an Enum by its name.
std::string Resolver::normalized(const AttributeDefinition *d, const std::string &value, bool quoted, int line)
{
    if (d == nullptr || d->type != AttributeType::Enum || quoted)
        return value;
    double v;
    if (to_number(value, &v) && v >= 0 && v < static_cast<double>(d->enum_values.size()) && v == static_cast<int>(v))
        return d->enum_values[static_cast<size_t>(v)];
    warn(&p_, line, "attribute " + d->name + ": " + value + " is not one of its " +
                        std::to_string(d->enum_values.size()) + " values; kept as written");
    return value;
}

void Resolver::attributes()
{
    out_.definitions = p_.definitions;
    for (const ParsedDefault &pd : p_.defaults) {
        AttributeDefinition *d = nullptr;
        for (AttributeDefinition &x : out_.definitions)
            if (x.name == pd.name)
                d = &x;
        if (d == nullptr) {
            warn(&p_, pd.line, "default of undefined attribute " + pd.name + " ignored");
            continue;
        }
        d->has_default = true;
        d->default_value = normalized(d, pd.value, pd.quoted, pd.line);
    }
    for (const ParsedAttribute &pa : p_.attributes) {
        const AttributeDefinition *d = definition(pa.name);
        if (d == nullptr)
            warn(&p_, pa.target.line, "attribute " + pa.name + " has no BA_DEF_; kept");
        const std::string value = normalized(d, pa.value, pa.quoted, pa.target.line);
        switch (pa.target.object) {
        case ObjectType::Network: set_attribute(&out_.attributes, pa.name, value); break;
        case ObjectType::Node:
            if (Node *n = node(pa.target.name, pa.target.line, "attribute"))
                set_attribute(&n->attributes, pa.name, value);
            break;
        case ObjectType::Message:
            if (Message *m = message(pa.target, "attribute"))
                set_attribute(&m->attributes, pa.name, value);
            break;
        case ObjectType::Signal:
            if (Signal *s = signal(pa.target, "attribute"))
                set_attribute(&s->attributes, pa.name, value);
            break;
        case ObjectType::EnvVar: break;  // environment variables are kept as written
        }
    }
}

// The value of an attribute on an object, else its default ("" without).
std::string Resolver::value_of(const std::vector<Attribute> &list, std::string_view name, bool *given)
{
    if (const Attribute *a = find_attribute(list, name)) {
        *given = true;
        return a->value;
    }
    *given = false;
    const AttributeDefinition *d = definition(name);
    return d != nullptr && d->has_default ? d->default_value : std::string();
}

const AttributeDefinition *Resolver::definition(std::string_view name) const
{
    for (const AttributeDefinition &d : out_.definitions)
        if (d.name == name)
            return &d;
    return nullptr;
}

// CAN FD from VFrameFormat. A default of CAN FD on a file whose messages are
// all classic-sized and none set to CAN FD is taken as classic CAN: such
// files come from templates of CAN FD projects reused on classic buses.
void Resolver::frame_formats()
{
    const AttributeDefinition *d = definition("VFrameFormat");
    bool default_fd = d != nullptr && d->has_default && has_fd(d->default_value);
    if (default_fd) {
        bool fd_file = false;
        for (const ParsedMessage &pm : p_.messages) {
            const Attribute *a = find_attribute(pm.m.attributes, "VFrameFormat");
            fd_file = fd_file || pm.m.length > 8 || (a != nullptr && has_fd(a->value));
        }
        if (!fd_file) {
            int line = d->line;
            for (const ParsedDefault &pd : p_.defaults)
                if (pd.name == "VFrameFormat")
                    line = pd.line;
            warn(&p_, line,
                 "VFrameFormat default " + d->default_value +
                     " on a file of classic messages (none longer than 8 bytes or set to CAN FD); taken as classic CAN");
            default_fd = false;
        }
    }
    for (ParsedMessage &pm : p_.messages) {
        Message &m = pm.m;
        bool given;
        const std::string format = value_of(m.attributes, "VFrameFormat", &given);
        m.fd = given ? has_fd(format) : default_fd;
        if (!m.fd && m.length > 8) {
            warn(&p_, m.line,
                 "message " + m.short_name + " is " + std::to_string(m.length) +
                     " bytes long but not CAN FD by its VFrameFormat; taken as CAN FD");
            m.fd = true;
        }
        const std::string brs = value_of(m.attributes, "CANFD_BRS", &given);
        m.brs = m.fd && (brs.empty() || brs != "0");
    }
}

void Resolver::derived(Message &m)
{
    bool given;
    std::string v = value_of(m.attributes, "SystemMessageLongSymbol", &given);
    m.name = given && !v.empty() ? v : m.short_name;
    double x;
    v = value_of(m.attributes, "GenMsgCycleTime", &given);
    m.cycle_ms = to_number(v, &x) && x > 0 && x < 2147483647.0 ? static_cast<int>(x) : 0;
    for (Signal &s : m.signals) {
        v = value_of(s.attributes, "SystemSignalLongSymbol", &given);
        s.name = given && !v.empty() ? v : s.short_name;
        v = value_of(s.attributes, "GenSigStartValue", &given);
        s.has_start_value = to_number(v, &x);
        s.start_value = s.has_start_value ? x : 0;
        lay_out(&s);
        if (s.end > m.length)
            warn(&p_, s.line,
                 "signal " + s.short_name + " lies beyond the " + std::to_string(m.length) + " bytes of message " +
                     m.short_name + " (it needs " + std::to_string(s.end) + "); decoded only from frames that long");
    }
}

bool Resolver::run(std::string *error)
{
    for (const std::string &n : p_.nodes)
        out_.nodes.push_back({n, {}, {}});

    for (const ParsedValueType &t : p_.value_types) {
        Signal *s = signal(t.target, "SIG_VALTYPE_");
        if (s == nullptr)
            continue;
        const int bits = t.type == 1 ? 32 : t.type == 2 ? 64 : 0;
        if (t.type == 0) {
            s->type = ValueType::Integer;
        } else if (bits != 0 && s->length == bits) {
            s->type = t.type == 1 ? ValueType::Float32 : ValueType::Float64;
        } else {
            warn(&p_, t.target.line,
                 "signal " + s->short_name + ": value type " + std::to_string(t.type) +
                     (bits != 0 ? " needs " + std::to_string(bits) + " bits, not " + std::to_string(s->length)
                                : " is not 0, 1 or 2") +
                     "; read as an integer");
        }
    }

    for (const ParsedMuxValues &mv : p_.mux_values) {
        const auto it = by_file_id_.find(mv.target.file_id);
        Signal *s = signal(mv.target, "SG_MUL_VAL_");
        if (s == nullptr)
            continue;
        ParsedMessage &pm = p_.messages[it->second];
        int sw = -1;
        for (size_t i = 0; i < pm.signals.size(); ++i)
            if (pm.signals[i].s.short_name == mv.switch_name)
                sw = static_cast<int>(i);
        if (sw < 0) {
            warn(&p_, mv.target.line,
                 "SG_MUL_VAL_ of signal " + s->short_name + ": message " + pm.m.short_name + " has no signal " +
                     mv.switch_name + "; ignored");
            continue;
        }
        uint32_t self = 0;
        for (size_t i = 0; i < pm.signals.size(); ++i)
            if (&pm.signals[i].s == s)
                self = static_cast<uint32_t>(i);
        if (s->multiplexer >= 0 && s->multiplexer != sw) {
            warn(&p_, mv.target.line,
                 "SG_MUL_VAL_ of signal " + s->short_name + ": a second switch (" + mv.switch_name +
                     ") ignored; it follows " + pm.signals[static_cast<size_t>(s->multiplexer)].s.short_name);
            continue;
        }
        ParsedSignal &switch_signal = pm.signals[static_cast<size_t>(sw)];
        if (switch_signal.mux != MuxMark::Switch && switch_signal.mux != MuxMark::MuxedSwitch) {
            warn(&p_, mv.target.line,
                 "SG_MUL_VAL_ of signal " + s->short_name + ": " + mv.switch_name +
                     " is not marked as a multiplexer switch; taken as one");
            switch_signal.mux = switch_signal.mux == MuxMark::Muxed ? MuxMark::MuxedSwitch : MuxMark::Switch;
        }
        s->multiplexer = sw;
        s->mux_values.insert(s->mux_values.end(), mv.ranges.begin(), mv.ranges.end());
        mux_statement_[uint64_t{pm.file_id} << 32 | self] = &mv;
    }
    for (size_t i = 0; i < p_.messages.size(); ++i)
        if (!multiplexing(i, error))
            return false;

    for (const ParsedValues &pv : p_.values) {
        Signal *s = signal(pv.target, "VAL_");
        if (s == nullptr)
            continue;
        if (!s->values.empty())
            warn(&p_, pv.target.line, "VAL_ of signal " + s->short_name + " given again; this one holds");
        s->values = pv.values;
        std::stable_sort(s->values.begin(), s->values.end(),
                         [](const ValueDescription &a, const ValueDescription &b) { return a.value < b.value; });
        s->values.erase(std::unique(s->values.begin(), s->values.end(),
                                    [](const ValueDescription &a, const ValueDescription &b) {
                                        return a.value == b.value;
                                    }),
                        s->values.end());
    }

    for (const ParsedComment &c : p_.comments) {
        switch (c.target.object) {
        case ObjectType::Network: out_.comment = c.text; break;
        case ObjectType::Node:
            if (Node *n = node(c.target.name, c.target.line, "comment"))
                n->comment = c.text;
            break;
        case ObjectType::Message:
            if (Message *m = message(c.target, "comment"))
                m->comment = c.text;
            break;
        case ObjectType::Signal:
            if (c.target.no_signal_name)
                break;  // below, once every message's own comment is known
            if (Signal *s = signal(c.target, "comment"))
                s->comment = c.text;
            break;
        case ObjectType::EnvVar: break;  // environment variables are kept as written
        }
    }
    // CM_ SG_ id "text" without the signal's name: the message's comment,
    // unless the message has one of its own.
    for (const ParsedComment &c : p_.comments) {
        if (c.target.object != ObjectType::Signal || !c.target.no_signal_name)
            continue;
        Message *m = message(c.target, "comment");
        if (m == nullptr)
            continue;
        if (m->comment.empty()) {
            m->comment = c.text;
            warn(&p_, c.target.line, "signal comment without a signal name taken as the comment of message " +
                                         m->short_name);
        } else {
            warn(&p_, c.target.line, "signal comment without a signal name ignored (message " + m->short_name +
                                         " has its own comment)");
        }
    }

    for (const ParsedTransmitters &t : p_.transmitters)
        if (Message *m = message(t.target, "BO_TX_BU_"))
            m->transmitters = t.nodes;

    attributes();
    frame_formats();

    out_.messages.reserve(p_.messages.size());
    for (ParsedMessage &pm : p_.messages) {
        for (ParsedSignal &ps : pm.signals)
            pm.m.signals.push_back(std::move(ps.s));
        derived(pm.m);
        out_.messages.push_back(std::move(pm.m));
    }
    return true;
}

}  // namespace

bool Loader::build(Parsed &p, Database *db, std::string *error)
{
    db->name_ = p.name;
    db->version_ = p.version;
    db->value_tables_ = std::move(p.value_tables);
    Resolver::Out out;
    Resolver r(p, out);
    if (!r.run(error))
        return false;
    db->messages_ = std::move(out.messages);
    db->nodes_ = std::move(out.nodes);
    db->attribute_definitions_ = std::move(out.definitions);
    db->attributes_ = std::move(out.attributes);
    db->comment_ = std::move(out.comment);
    db->other_sections_ = std::move(p.others);
    for (size_t i = 0; i < db->messages_.size(); ++i) {
        const Message &m = db->messages_[i];
        const auto index = static_cast<uint32_t>(i);
        db->by_id_.emplace(key_of(m.id, m.extended), index);
        if (m.extended)
            db->by_pgn_.emplace(pgn_of(m.id), index);
        db->by_name_.emplace(m.name, index);
        db->by_name_.emplace(m.short_name, index);
        db->max_signals_ = std::max(db->max_signals_, m.signals.size());
    }
    std::stable_sort(p.warnings.begin(), p.warnings.end(),
                     [](const Warning &a, const Warning &b) { return a.line < b.line; });
    return true;
}

const Message *Database::find(uint32_t id, bool extended) const
{
    const auto it = by_id_.find(key_of(id, extended));
    return it == by_id_.end() ? nullptr : &messages_[it->second];
}

const Message *Database::find_j1939(uint32_t id) const
{
    if (const Message *m = find(id, true))
        return m;
    const auto it = by_pgn_.find(pgn_of(id));
    return it == by_pgn_.end() ? nullptr : &messages_[it->second];
}

const Message *Database::find(std::string_view name) const
{
    const auto it = by_name_.find(std::string(name));
    return it == by_name_.end() ? nullptr : &messages_[it->second];
}

const AttributeDefinition *Database::attribute_definition(std::string_view name) const
{
    for (const AttributeDefinition &d : attribute_definitions_)
        if (d.name == name)
            return &d;
    return nullptr;
}

LoadResult load_string(std::string_view text, const std::string &name, Database *db)
{
    LoadResult r;
    // A byte-order mark some editors put before UTF-8 text.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    Parsed p;
    p.name = name;
    Database fresh;
    r.ok = parse(text, &p, &r.error) && Loader::build(p, &fresh, &r.error);
    r.warnings = std::move(p.warnings);
    if (r.ok)
        *db = std::move(fresh);
    return r;
}

LoadResult load_file(const std::string &path, Database *db)
{
    LoadResult r;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        r.error = "cannot open " + path + ": " + std::strerror(errno);
        return r;
    }
    std::string text;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text.size() <= kMaxFileBytes)
        text.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    const int err = errno;
    std::fclose(f);
    if (failed) {
        r.error = "cannot read " + path + ": " + std::strerror(err);
        return r;
    }
    if (text.size() > kMaxFileBytes) {
        r.error = path + ": larger than 512 MB, not a CAN database";
        return r;
    }
    return load_string(text, path, db);
}

}  // namespace velk::dbc
