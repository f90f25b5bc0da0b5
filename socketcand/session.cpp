// The per-client state machine of the protocol.
#include "session.h"

#include <algorithm>

namespace velk::netd {
namespace {

constexpr size_t kMaxSubscriptions = 256;

bool masked_equal(const NetFrame &a, const NetFrame &b, const NetFrame &mask)
{
    if (a.len != b.len)
        return false;
    for (size_t i = 0; i < a.len; ++i) {
        const uint8_t m = i < mask.len ? mask.data[i] : 0;
        if ((a.data[i] & m) != (b.data[i] & m))
            return false;
    }
    return true;
}

}  // namespace

Session::Subscription *Session::find(uint32_t id, bool extended)
{
    for (Subscription &s : subs_)
        if (s.id == id && s.extended == extended)
            return &s;
    return nullptr;
}

bool Session::send_frame(const NetFrame &f, std::string *out)
{
    if (!host_->send(channel_, f, id_)) {
        ++stats_.refused;
        *out += error_line("frame not sent: the adapter is gone or its queue is full");
        return true;
    }
    ++stats_.tx_frames;
    stats_.tx_bytes += f.len;
    return true;
}

bool Session::handle_bad(const std::string &why, std::string *out)
{
    *out += error_line(why);
    return mode_ != Mode::NoBus;
}

bool Session::handle(const Command &c, int64_t now_us, std::string *out)
{
    if (c.verb == Verb::Echo) {
        *out += echo_line();
        return true;
    }
    if (mode_ == Mode::NoBus) {
        if (c.verb != Verb::Open) {
            *out += error_line("no bus open");
            return false;
        }
        const int ch = host_->open_bus(c.bus);
        if (ch < 0) {
            *out += error_line("could not open bus");
            return false;
        }
        channel_ = ch;
        mode_ = Mode::Bcm;
        *out += ok_line();
        return true;
    }
    switch (c.verb) {
    case Verb::Open: *out += error_line("a bus is already open"); return true;
    case Verb::RawMode:
        mode_ = Mode::Raw;
        *out += ok_line();
        return true;
    case Verb::BcmMode:
        mode_ = Mode::Bcm;
        *out += ok_line();
        return true;
    case Verb::ControlMode:
        mode_ = Mode::Control;
        *out += ok_line();
        return true;
    case Verb::IsotpMode: *out += error_line("isotp mode is not supported"); return true;
    case Verb::Send:
        if (mode_ == Mode::Control)
            break;
        return send_frame(c.frame, out);
    case Verb::Statistics:
        if (mode_ != Mode::Control)
            break;
        stats_ms_ = c.stats_ms;
        next_stats_us_ = now_us + stats_ms_ * 1000;
        return true;
    default: break;
    }
    if (mode_ != Mode::Bcm) {
        *out += error_line("command not allowed in this mode");
        return true;
    }
    switch (c.verb) {
    case Verb::Add:
        if (c.interval_us <= 0)
            return send_frame(c.frame, out);
        // The job sends its first frame at once, on its scheduler.
        host_->jobs().add(id_, channel_, c.frame, c.interval_us);
        return true;
    case Verb::Update:
        if (!host_->jobs().update(id_, channel_, c.frame))
            *out += error_line("no such send job");
        return true;
    case Verb::Delete:
        if (!host_->jobs().remove(id_, channel_, c.id, c.extended))
            *out += error_line("no such send job");
        return true;
    case Verb::Subscribe:
    case Verb::Filter: {
        const uint32_t id = c.verb == Verb::Filter ? c.frame.id : c.id;
        const bool ext = c.verb == Verb::Filter ? c.frame.extended : c.extended;
        Subscription *s = find(id, ext);
        if (s == nullptr) {
            if (subs_.size() >= kMaxSubscriptions) {
                *out += error_line("too many subscriptions");
                return true;
            }
            subs_.push_back(Subscription{});
            s = &subs_.back();
        }
        *s = Subscription{};
        s->id = id;
        s->extended = ext;
        s->interval_us = c.interval_us;
        s->content = c.verb == Verb::Filter;
        s->mask = c.frame;
        return true;
    }
    case Verb::Unsubscribe:
        if (std::erase_if(subs_, [&](const Subscription &s) { return s.id == c.id && s.extended == c.extended; }) == 0)
            *out += error_line("no such subscription");
        return true;
    case Verb::MuxFilter: *out += error_line("muxfilter is not supported"); return true;
    default: *out += error_line("command not allowed in this mode"); return true;
    }
}

bool Session::wants(const NetFrame &f, int64_t now_us)
{
    if (mode_ == Mode::Raw)
        return true;
    if (mode_ != Mode::Bcm)
        return false;
    Subscription *s = find(f.id, f.extended);
    if (s == nullptr)
        return false;
    if (s->content && s->have_last && masked_equal(f, s->last, s->mask))
        return false;
    if (s->sent_once && s->interval_us > 0 && now_us - s->last_sent_us < s->interval_us)
        return false;
    s->have_last = true;
    s->last = f;
    s->sent_once = true;
    s->last_sent_us = now_us;
    return true;
}

std::string Session::statistics_due(int64_t now_us)
{
    if (mode_ != Mode::Control || stats_ms_ <= 0 || now_us < next_stats_us_)
        return {};
    next_stats_us_ = std::max(next_stats_us_ + stats_ms_ * 1000, now_us);
    return stat_line(stats_.rx_bytes, stats_.rx_frames, stats_.tx_bytes, stats_.tx_frames, stats_.dropped);
}

}  // namespace velk::netd
