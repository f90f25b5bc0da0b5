// Messages found in a trace: each channel, identifier and address byte is a
// receiver of its own; flow controls are matched to the message under way
// that still lacks one; gaps longer than N_Cr end a message.
#include <algorithm>

#include "internal.h"

namespace velk::isotp {

using namespace detail;

struct Reassembler::Stream {
    RxState st;
    Message m;
    int64_t last_us = 0;
};

namespace {

int64_t time_us(const trace::Frame &f)
{
    return f.sec * 1000000 + f.usec;
}

}  // namespace

Reassembler::Reassembler(const ReassemblerOptions &options) : options_(options) {}

Reassembler::~Reassembler() = default;

Reassembler::Stream &Reassembler::stream(const Key &key)
{
    std::unique_ptr<Stream> &s = streams_[key];
    if (!s)
        s.reset(new Stream);
    return *s;
}

void Reassembler::close(Stream &s, Error e)
{
    active_.erase(&s);
    s.st.active = false;
    s.m.error = e;
    s.m.data = std::move(s.st.data);
    s.st.data.clear();
    out_.push_back(std::move(s.m));
    s.m = Message{};
}

void Reassembler::add(const trace::Frame &f)
{
    const uint64_t number = added_++;
    if (f.error || f.remote)
        return;
    const int64_t now = time_us(f);
    const int64_t gap_us = int64_t(options_.n_cr_ms) * 1000;
    for (auto it = active_.begin(); it != active_.end();) {
        Stream *s = *it++;
        if (now - s->last_us > gap_us)
            close(*s, Error::TimeoutCr);
    }
    if (!options_.ids.empty() &&
        std::find(options_.ids.begin(), options_.ids.end(), std::make_pair(f.id, f.extended)) == options_.ids.end())
        return;
    const int at = options_.mode == Addressing::Normal ? 0 : 1;
    if (f.len < at + 1)
        return;
    const Pci p = read_pci(f, at);
    if (p.kind == Kind::Invalid)
        return;
    if (p.kind == Kind::Flow) {
        // The flow control of the latest message under way on this channel
        // that has none yet and comes from another identifier.
        Stream *best = nullptr;
        for (Stream *s : active_)
            if (s->m.channel == f.channel && s->m.flow_id < 0 && s->m.id != f.id &&
                (!best || s->m.start_us > best->m.start_us))
                best = s;
        if (best) {
            best->m.flow_id = f.id;
            if (p.status == kOverflow)
                close(*best, Error::Overflow);
        }
        return;
    }
    const int ext = at ? f.data[0] : -1;
    Stream &s = stream({f.channel, f.id, f.extended, ext});
    // A new message before the last one was whole: its end is missing.
    if (s.st.active && p.kind != Kind::Consecutive)
        close(s, Error::MissingFrames);
    bool interrupted = false;
    const RxStep step = rx_step(&s.st, f, p, options_.max_len, &interrupted);
    if (step == RxStep::Ignored)
        return;
    if (p.kind != Kind::Consecutive) {
        s.m.channel = f.channel;
        s.m.id = f.id;
        s.m.extended_id = f.extended;
        s.m.ext = ext;
        s.m.frame = number;
        s.m.start_us = now;
        s.m.length = p.length;
    }
    if (step == RxStep::Started)
        active_.insert(&s);
    s.m.end_us = now;
    s.m.fd = s.m.fd || f.fd;
    s.last_us = now;
    switch (step) {
    case RxStep::Complete:
        close(s, Error::None);
        break;
    case RxStep::Refused:
        close(s, Error::TooLong);
        break;
    case RxStep::WrongSequence:
        close(s, Error::WrongSequence);
        break;
    default:
        break;
    }
}

void Reassembler::finish()
{
    while (!active_.empty())
        close(**active_.begin(), Error::MissingFrames);
}

bool Reassembler::next(Message *m)
{
    if (out_.empty())
        return false;
    *m = std::move(out_.front());
    out_.pop_front();
    return true;
}

}  // namespace velk::isotp
