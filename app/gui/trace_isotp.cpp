#include "trace_isotp.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace gui::trace_isotp {

namespace trace = velk::trace;
namespace isotp = velk::isotp;

namespace {

Row row_of(const isotp::Message &m, uint64_t first)
{
    Row r;
    r.frame = first + m.frame;
    r.start_us = m.start_us;
    r.end_us = m.end_us;
    r.flow_id = m.flow_id;
    r.id = m.id;
    r.length = m.length;
    r.got = static_cast<uint32_t>(m.data.size());
    r.ext = static_cast<int16_t>(m.ext);
    r.channel = static_cast<int8_t>(m.channel);
    r.extended = m.extended_id;
    r.fd = m.fd;
    r.error = m.error;
    std::copy_n(m.data.begin(), std::min(m.data.size(), kKept), r.head.begin());
    return r;
}

}  // namespace

bool parse_ids(const std::string &text, std::vector<std::pair<uint32_t, bool>> *ids, std::string *why)
{
    ids->clear();
    std::stringstream in(text);
    std::string word;
    while (std::getline(in, word, ',')) {
        const size_t a = word.find_first_not_of(" \t"), b = word.find_last_not_of(" \t");
        if (a == std::string::npos)
            continue;
        word = word.substr(a, b - a + 1);
        char *end = nullptr;
        const unsigned long id = std::strtoul(word.c_str(), &end, 16);
        if (*end != '\0' || word.size() > 8 || id > 0x1FFFFFFF) {
            *why = "\"" + word + "\" is no identifier (hex, 123 or 18DA00F1)";
            return false;
        }
        ids->emplace_back(static_cast<uint32_t>(id), word.size() == 8 || id > 0x7FF);
    }
    return true;
}

Messages::Messages(const trace::Index &index, const isotp::ReassemblerOptions &options)
    : index_(index), options_(options)
{
    thread_ = std::thread(&Messages::run, this);
}

Messages::~Messages()
{
    stop_ = true;
    thread_.join();
}

size_t Messages::count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_.size();
}

bool Messages::row(size_t i, Row *r) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (i >= rows_.size())
        return false;
    *r = rows_[i];
    return true;
}

void Messages::run()
{
    trace::IndexedReader reader;
    std::string error;
    if (!reader.open(index_))
        error = reader.error();
    isotp::Reassembler re(options_);
    trace::Frame f;
    isotp::Message m;
    // A message ends after those begun later (a long one beside short
    // ones): each goes in at its first frame's place, near the end.
    const auto take = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        while (re.next(&m)) {
            const Row r = row_of(m, 0);
            const auto at = std::upper_bound(rows_.begin(), rows_.end(), r.frame,
                                             [](uint64_t n, const Row &o) { return n < o.frame; });
            rows_.insert(at, r);
        }
    };
    for (uint64_t n = 0; error.empty() && !stop_; ++n) {
        const int r = reader.read_following(n, &f, stop_);
        if (r < 0)
            error = reader.error();
        if (r <= 0)
            break;
        re.add(f);
        scanned_.store(n + 1);
        take();
    }
    if (!stop_)
        re.finish();
    take();
    error_ = error;
    done_ = true;
}

bool message_data(const trace::Index &index, const isotp::ReassemblerOptions &options, const Row &r,
                  std::vector<uint8_t> *data, std::string *why)
{
    data->clear();
    if (r.got <= kKept) {
        data->assign(r.head.begin(), r.head.begin() + r.got);
        return true;
    }
    // Only this message's identifier, from its first frame on: the
    // frames of the others need not be kept apart.
    isotp::ReassemblerOptions o = options;
    o.ids = {{r.id, r.extended}};
    isotp::Reassembler re(o);
    trace::IndexedReader reader;
    if (!reader.open(index)) {
        *why = reader.error();
        return false;
    }
    trace::Frame f;
    isotp::Message m;
    const int64_t last_us = r.end_us + int64_t(o.n_cr_ms) * 1000;
    for (uint64_t n = r.frame;; ++n) {
        const int got = reader.read(n, &f);
        if (got < 0) {
            *why = reader.error();
            return false;
        }
        if (got == 0 || f.sec * 1000000 + f.usec > last_us)
            re.finish();
        else
            re.add(f);
        while (re.next(&m))
            if (m.frame == 0 && m.channel == r.channel && m.ext == r.ext) {
                *data = std::move(m.data);
                return true;
            }
        if (got == 0 || f.sec * 1000000 + f.usec > last_us)
            break;
    }
    *why = "the message is no longer where the index says";
    return false;
}

}  // namespace gui::trace_isotp
