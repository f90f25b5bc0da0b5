// Trace frames of the library's records, and their times.
#include "adapter_time.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "formats.h"

namespace velk::trace {

namespace {

// A frame mapped this far before its receive: the adapter's clock went back
// (or restarted), or frames were held up; the offset is taken afresh.
constexpr int64_t kResyncUs = 100000;
constexpr int64_t kHalfDayUs = int64_t{12} * 3600 * 1000000;

}  // namespace

bool adapter_time_us(const TIME_ST_T &ts, int64_t *us)
{
    if (ts.micro_second >= 1000000 || (ts.second == 0 && ts.micro_second == 0))
        return false;
    *us = int64_t{ts.second} * 1000000 + ts.micro_second;
    return true;
}

int payload_length(const CAN_FRAME_INFO &r)
{
    if (r.rtr != 0)
        return 0;
    const int dlc = r.dlc & 15;
    return r.fdf != 0 ? dlc_to_len(dlc) : (dlc > 8 ? 8 : dlc);
}

Frame frame_of(const CAN_FRAME_INFO &r)
{
    Frame f;
    f.channel = r.CAN_port;
    f.extended = r.id_type == VELK_EID;
    f.remote = r.rtr != 0;
    f.fd = r.fdf != 0;
    f.brs = f.fd && r.brs != 0;
    f.esi = f.fd && r.esi != 0;
    f.dlc = static_cast<uint8_t>(r.dlc & 15);
    f.id = r.id;
    const int len = payload_length(r);
    f.len = static_cast<uint8_t>(len);
    std::memcpy(f.data.data(), r.data, static_cast<size_t>(len));
    return f;
}

CAN_FRAME_INFO record_of(const Frame &f)
{
    CAN_FRAME_INFO r;
    std::memset(&r, 0, sizeof r);
    r.CAN_port = f.channel;
    r.id_type = f.extended ? VELK_EID : VELK_SID;
    r.rtr = f.remote ? VELK_EN_RTR : VELK_DIS_RTR;
    r.dlc = f.dlc;
    r.fdf = f.fd ? VELK_FDF_ON : VELK_FDF_OFF;
    r.brs = f.brs ? VELK_BRS_ON : VELK_BRS_OFF;
    r.esi = f.esi ? 1 : 0;
    r.id = f.id & (f.extended ? 0x1FFFFFFFu : 0x7FFu);
    std::memcpy(r.data, f.data.data(), sizeof r.data);
    return r;
}

int64_t HostTime::of(const char *time_of_day, int64_t now)
{
    unsigned h, m, s, ms;
    if (std::sscanf(time_of_day, "%2u:%2u:%2u:%3u", &h, &m, &s, &ms) != 4 || h > 23 || m > 59 || s > 60)
        return now;
    const unsigned key = (h * 60 + m) * 60 + s;
    if (key != last_key_ || now - last_base_ > kHalfDayUs / 2) {
        const time_t t = static_cast<time_t>(now / 1000000);
        struct tm tm;
        localtime_r(&t, &tm);
        tm.tm_hour = static_cast<int>(h);
        tm.tm_min = static_cast<int>(m);
        tm.tm_sec = static_cast<int>(s);
        tm.tm_isdst = -1;
        int64_t base = int64_t{mktime(&tm)} * 1000000;
        if (base > now + kHalfDayUs)
            base -= 2 * kHalfDayUs;
        else if (base < now - kHalfDayUs)
            base += 2 * kHalfDayUs;
        last_key_ = key;
        last_base_ = base;
    }
    return last_base_ + int64_t{ms} * 1000;
}

int64_t AdapterClock::ordered(int64_t t, int64_t now)
{
    if (t > now)
        t = now;
    if (have_out_ && t < last_out_)
        t = last_out_;
    have_out_ = true;
    last_out_ = t;
    return t;
}

int64_t AdapterClock::host(const char *time_of_day, int64_t now)
{
    const int64_t t = host_.of(time_of_day, now);
    return ordered(t == now ? now : t + 999, now);
}

void AdapterClock::stamp(const TIME_ST_T &ts, const char *time_of_day, Frame *f, int64_t now)
{
    int64_t a;
    if (!adapter_time_us(ts, &a)) {
        detail::set_frame_us(f, host(time_of_day, now));
        f->source = TimeSource::Host;
        return;
    }
    const int64_t bound = now - a;
    if (!have_) {
        offset_ = bound;
        have_ = true;
    } else {
        int64_t grown = offset_;
        if (now > offset_at_)
            grown += (now - offset_at_) * kSlewPpm / 1000000;
        offset_ = std::min(grown, bound);
        if (a < last_a_ || a + offset_ < now - kResyncUs)
            offset_ = bound;
    }
    offset_at_ = now;
    last_a_ = a;
    detail::set_frame_us(f, ordered(a + offset_, now));
    f->source = TimeSource::Adapter;
    f->has_adapter_time = true;
    f->adapter_sec = ts.second;
    f->adapter_usec = ts.micro_second;
}

}  // namespace velk::trace
