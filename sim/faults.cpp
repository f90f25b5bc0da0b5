// Faults: how the reply to a command code goes wrong, applied as the reply
// is queued.
#include <algorithm>

#include "sim_internal.h"

namespace velk::sim {

void Adapter::set_fault(uint8_t cmd, Fault f)
{
    std::lock_guard<std::mutex> lk(mu_);
    faults_[cmd] = f;
}

void Adapter::clear_faults()
{
    std::lock_guard<std::mutex> lk(mu_);
    faults_.clear();
}

void Adapter::queue_reply(uint8_t code, Bytes r)
{
    if (r.empty())
        return;
    end_stream_report();
    auto it = faults_.find(code);
    if (it == faults_.end() || it->second.kind == Fault::None || it->second.times == 0) {
        queue(std::move(r), 1, 0);
        return;
    }
    Fault &f = it->second;
    if (f.times > 0)
        --f.times;
    switch (f.kind) {
    case Fault::None:
        break;
    case Fault::WrongEcho:
        r[0] ^= 0x01;
        break;
    case Fault::BadStatus:
        r[1] = 1;
        break;
    case Fault::NoReply:
        return;
    case Fault::Split:
        queue(std::move(r), f.pieces, f.delay_ms);
        return;
    case Fault::Late: {
        Chunk c;
        c.bytes = std::move(r);
        c.not_before_us = now_us() + int64_t{f.delay_ms} * 1000;
        out_.push_back(std::move(c));
        return;
    }
    case Fault::Short:
        r.resize(std::min(r.size(), static_cast<size_t>(std::max(f.bytes, 0))));
        break;
    case Fault::Patch:
        if (f.index >= 0 && static_cast<size_t>(f.index) < r.size())
            r[static_cast<size_t>(f.index)] = f.value;
        break;
    }
    queue(std::move(r), 1, 0);
}

}  // namespace velk::sim
