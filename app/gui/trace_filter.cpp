// Trace view filters: a small recursive-descent reader over words and
// operators, and the match of a frame, which runs off the GUI thread on
// databases the filter holds (a loaded database is read-only).
#include "trace_filter.h"

#include "databases.h"
#include "tool_common.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace gui::trace_filter {

namespace {

namespace dbc = velk::dbc;
using velk::tools::IdFilter;

constexpr uint32_t kEff = 0x80000000;
// The filter thread runs as the index does: below the receive path.
constexpr int kNice = 10;

enum class Op { Eq, Ne, Lt, Le, Gt, Ge };

struct Atom {
    enum class Kind { Channel, Direction, Error, Fd, Ids, Message, Signal } kind;
    int channel = 0;
    bool tx = false;
    std::vector<IdFilter> ids;
    std::string message;  // Message: its name; Signal: the message named with it, or ""
    std::string signal;
    Op op = Op::Eq;
    bool text = false;  // compare the value's description rather than its number
    std::string value_text;
    double value = 0;
};

struct Token {
    enum class Kind { Word, Text, Op } kind;
    std::string s;
};

bool tokenize(const std::string &in, std::vector<Token> *out, std::string *why)
{
    for (size_t i = 0; i < in.size();) {
        const char c = in[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '"') {
            const size_t end = in.find('"', i + 1);
            if (end == std::string::npos) {
                *why = "a text without its closing \"";
                return false;
            }
            out->push_back({Token::Kind::Text, in.substr(i + 1, end - i - 1)});
            i = end + 1;
        } else if (std::strchr("=!<>", c) != nullptr) {
            const size_t n = i + 1 < in.size() && in[i + 1] == '=' ? 2 : 1;
            out->push_back({Token::Kind::Op, in.substr(i, n)});
            i += n;
        } else {
            size_t end = i;
            while (end < in.size() && std::strchr(" \t\"=!<>", in[end]) == nullptr)
                ++end;
            out->push_back({Token::Kind::Word, in.substr(i, end - i)});
            i = end;
        }
    }
    return true;
}

bool same_nocase(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

bool is_id_list(const std::string &w)
{
    return !w.empty() && std::isxdigit(static_cast<unsigned char>(w[0])) &&
           w.find_first_not_of("0123456789abcdefABCDEF:~,") == std::string::npos;
}

bool parse_ids(const std::string &w, std::vector<IdFilter> *ids)
{
    for (size_t at = 0; at <= w.size();) {
        const size_t comma = std::min(w.find(',', at), w.size());
        const std::string item = w.substr(at, comma - at);
        IdFilter f;
        if (item.find_first_of(":~") != std::string::npos) {
            if (!velk::tools::parse_id_filter(item, &f))
                return false;
        } else {
            if (item.empty() || item.size() > 8)
                return false;
            const bool ext = item.size() == 8;
            f.id = static_cast<uint32_t>(std::strtoul(item.c_str(), nullptr, 16)) | (ext ? kEff : 0);
            f.mask = kEff | (ext ? 0x1FFFFFFFu : 0x7FFu);
            f.invert = false;
        }
        ids->push_back(f);
        at = comma + 1;
    }
    return true;
}

bool parse_op(const std::string &s, Op *op)
{
    static constexpr struct {
        const char *text;
        Op op;
    } kOps[] = {{"==", Op::Eq}, {"=", Op::Eq}, {"!=", Op::Ne}, {"<", Op::Lt},
                {"<=", Op::Le}, {">", Op::Gt}, {">=", Op::Ge}};
    for (const auto &o : kOps)
        if (s == o.text) {
            *op = o.op;
            return true;
        }
    return false;
}

const dbc::Signal *signal_of(const dbc::Message &m, const std::string &name)
{
    for (const dbc::Signal &s : m.signals)
        if (s.name == name || s.short_name == name)
            return &s;
    return nullptr;
}

}  // namespace

class Filter {
public:
    std::vector<std::vector<Atom>> groups;  // any group whose atoms all hold
    std::vector<std::shared_ptr<const dbc::Database>> dbs;
    size_t most_signals = 0;

    const dbc::Message *message_of(const velk::trace::Frame &f) const
    {
        for (const auto &db : dbs)
            if (const dbc::Message *m = db->find(f.id, f.extended))
                return m;
        return nullptr;
    }

    bool holds(const Atom &a, const velk::trace::Frame &f) const
    {
        switch (a.kind) {
        case Atom::Kind::Channel: return f.channel == a.channel;
        case Atom::Kind::Direction: return f.tx == a.tx;
        case Atom::Kind::Error: return f.error;
        case Atom::Kind::Fd: return f.fd;
        case Atom::Kind::Ids: return !f.error && velk::tools::passes(a.ids, f);
        case Atom::Kind::Message: {
            const dbc::Message *m = f.error ? nullptr : message_of(f);
            return m != nullptr && (m->name == a.message || m->short_name == a.message);
        }
        case Atom::Kind::Signal: return signal_holds(a, f);
        }
        return false;
    }

    bool signal_holds(const Atom &a, const velk::trace::Frame &f) const
    {
        const dbc::Message *m = f.error || f.remote ? nullptr : message_of(f);
        if (m == nullptr || (!a.message.empty() && m->name != a.message && m->short_name != a.message))
            return false;
        const dbc::Signal *s = signal_of(*m, a.signal);
        if (s == nullptr)
            return false;
        std::vector<dbc::Value> values(std::max<size_t>(most_signals, m->signals.size()));
        const int n = dbc::decode(*m, f.data.data(), f.len, values.data());
        for (int i = 0; i < n; ++i) {
            const dbc::Value &v = values[static_cast<size_t>(i)];
            if (v.signal != s)
                continue;
            if (v.missing)
                return false;
            if (a.text) {
                const bool same = v.text != nullptr && a.value_text == v.text;
                return a.op == Op::Eq ? same : !same;
            }
            switch (a.op) {
            case Op::Eq: return v.value == a.value;
            case Op::Ne: return v.value != a.value;
            case Op::Lt: return v.value < a.value;
            case Op::Le: return v.value <= a.value;
            case Op::Gt: return v.value > a.value;
            case Op::Ge: return v.value >= a.value;
            }
        }
        return false;
    }
};

std::shared_ptr<const Filter> parse(const std::string &text, std::string *why)
{
    std::vector<Token> tokens;
    if (!tokenize(text, &tokens, why))
        return nullptr;
    auto filter = std::make_shared<Filter>();
    for (const auto &l : gui::databases::all()) {
        filter->dbs.push_back(l.db);
        filter->most_signals = std::max(filter->most_signals, l.db->max_signals());
    }
    filter->groups.emplace_back();
    for (size_t i = 0; i < tokens.size(); ++i) {
        const Token &t = tokens[i];
        if (t.kind != Token::Kind::Word) {
            *why = "\"" + t.s + "\" where a word was expected";
            return nullptr;
        }
        const std::string &w = t.s;
        Atom a{};
        if (same_nocase(w, "and")) {
            continue;
        } else if (same_nocase(w, "or")) {
            if (filter->groups.back().empty()) {
                *why = "\"or\" with nothing before it";
                return nullptr;
            }
            filter->groups.emplace_back();
            continue;
        } else if (i + 1 < tokens.size() && tokens[i + 1].kind == Token::Kind::Op) {
            a.kind = Atom::Kind::Signal;
            const size_t dot = w.rfind('.');
            a.message = dot == std::string::npos ? "" : w.substr(0, dot);
            a.signal = dot == std::string::npos ? w : w.substr(dot + 1);
            bool known = false;
            for (const auto &db : filter->dbs)
                for (const dbc::Message &m : db->messages())
                    known = known || ((a.message.empty() || m.name == a.message || m.short_name == a.message) &&
                                      signal_of(m, a.signal) != nullptr);
            if (!known) {
                *why = "no signal " + w + " in the loaded databases";
                return nullptr;
            }
            if (!parse_op(tokens[i + 1].s, &a.op) || i + 2 >= tokens.size() ||
                tokens[i + 2].kind == Token::Kind::Op) {
                *why = w + " " + tokens[i + 1].s + ": a comparison (==, !=, <, <=, >, >=) and a value expected";
                return nullptr;
            }
            const Token &v = tokens[i + 2];
            char *end = nullptr;
            a.value = std::strtod(v.s.c_str(), &end);
            a.text = v.kind == Token::Kind::Text || v.s.empty() || *end != '\0';
            a.value_text = v.s;
            if (a.text && a.op != Op::Eq && a.op != Op::Ne) {
                *why = w + ": a value's text is compared with == or != only";
                return nullptr;
            }
            i += 2;
        } else if (same_nocase(w, "CAN1") || same_nocase(w, "CAN2")) {
            a.kind = Atom::Kind::Channel;
            a.channel = w.back() - '1';
        } else if (same_nocase(w, "rx") || same_nocase(w, "recv") || same_nocase(w, "tx") || same_nocase(w, "send")) {
            a.kind = Atom::Kind::Direction;
            a.tx = same_nocase(w, "tx") || same_nocase(w, "send");
        } else if (same_nocase(w, "error")) {
            a.kind = Atom::Kind::Error;
        } else if (same_nocase(w, "fd")) {
            a.kind = Atom::Kind::Fd;
        } else if (is_id_list(w)) {
            a.kind = Atom::Kind::Ids;
            if (!parse_ids(w, &a.ids)) {
                *why = "bad identifiers " + w + " (123, 18FF0001, ID:MASK or ID~MASK, separated by commas)";
                return nullptr;
            }
        } else {
            a.kind = Atom::Kind::Message;
            a.message = w;
            bool known = false;
            for (const auto &db : filter->dbs)
                known = known || db->find(std::string_view(w)) != nullptr;
            for (const auto &db : filter->dbs)
                for (const dbc::Message &m : db->messages())
                    known = known || m.short_name == w;
            if (!known) {
                *why = "no message " + w + " in the loaded databases (and no other word of a filter)";
                return nullptr;
            }
        }
        filter->groups.back().push_back(std::move(a));
    }
    if (filter->groups.back().empty()) {
        *why = tokens.empty() ? "an empty filter" : "\"or\" with nothing after it";
        return nullptr;
    }
    return filter;
}

bool matches(const Filter &filter, const velk::trace::Frame &f)
{
    for (const auto &group : filter.groups) {
        bool all = true;
        for (const Atom &a : group)
            if (!(all = filter.holds(a, f)))
                break;
        if (all)
            return true;
    }
    return false;
}

Run::Run(const velk::trace::Index &index, std::shared_ptr<const Filter> filter, uint64_t split_from)
    : index_(index), filter_(std::move(filter)), split_from_(split_from)
{
    thread_ = std::thread(&Run::run, this, kNice);
}

Run::~Run()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

void Run::run(int nice)
{
#ifdef __linux__
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
#else
    (void)nice;
#endif
    const uint64_t whole = index_.done() ? index_.frames() : 0;
    if (whole >= split_from_ && std::thread::hardware_concurrency() > 1) {
        // The second half's matches wait until the first half's are all in,
        // so the list of matches stays in frame order as it grows.
        const uint64_t half = whole / 2;
        std::vector<uint64_t> later;
        std::atomic<uint64_t> later_scanned{0};
        std::string later_error;
        std::thread second([&] {
#ifdef __linux__
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
#endif
            scan(half, whole, &later_error, [&](std::vector<uint64_t> &found, uint64_t n) {
                later.insert(later.end(), found.begin(), found.end());
                found.clear();
                later_scanned.store(n - half);
            });
        });
        std::string error;
        uint64_t reached = 0;
        scan(0, half, &error, [&](std::vector<uint64_t> &found, uint64_t n) {
            std::lock_guard<std::mutex> lock(mutex_);
            matches_.insert(matches_.end(), found.begin(), found.end());
            found.clear();
            reached = n;
            scanned_.store(n + later_scanned.load());
        });
        second.join();
        // The second half's matches count only after a whole first half.
        if (error.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            matches_.insert(matches_.end(), later.begin(), later.end());
        }
        scanned_.store(reached + (error.empty() ? later_scanned.load() : 0));
        error_ = !error.empty() ? error : later_error;
        done_ = true;
        return;
    }
    // Still being indexed (or small): one pass that follows the index.
    scan(0, UINT64_MAX, &error_, [&](std::vector<uint64_t> &found, uint64_t n) {
        std::lock_guard<std::mutex> lock(mutex_);
        matches_.insert(matches_.end(), found.begin(), found.end());
        found.clear();
        scanned_.store(n);
    });
    done_ = true;
}

// Frames [from, to) (UINT64_MAX: to the end, following the index while it
// grows); `publish` takes the matches found so far and the frame reached.
void Run::scan(uint64_t from, uint64_t to, std::string *error,
               const std::function<void(std::vector<uint64_t> &, uint64_t)> &publish)
{
    velk::trace::IndexedReader reader;
    if (!reader.open(index_)) {
        *error = reader.error();
        return;
    }
    std::vector<uint64_t> found;
    velk::trace::Frame f;
    uint64_t n = from;
    while (n < to) {
        const int r = reader.read_following(n, &f, stop_);
        if (r < 0) {
            *error = reader.error();
            break;
        }
        if (r == 0)
            break;
        if (matches(*filter_, f))
            found.push_back(n);
        ++n;
        if (n % 4096 == 0)
            publish(found, n);
    }
    publish(found, n);
}

uint64_t Run::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return matches_.size();
}

bool Run::match(uint64_t i, uint64_t *frame) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= matches_.size())
        return false;
    *frame = matches_[i];
    return true;
}

uint64_t Run::count_between(uint64_t from, uint64_t to) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint64_t>(std::lower_bound(matches_.begin(), matches_.end(), to) -
                                 std::lower_bound(matches_.begin(), matches_.end(), from));
}

uint64_t Run::first_from(uint64_t frame) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint64_t>(std::lower_bound(matches_.begin(), matches_.end(), frame) - matches_.begin());
}

}  // namespace gui::trace_filter
