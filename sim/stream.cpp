// The stream generator: a long, reproducible sequence of mixed reports,
// made one report at a time as it is written (so that a stream of any length
// takes no memory for itself), to the host at a given rate in write() chunks
// of random sizes.
#include <algorithm>

#include "sim_internal.h"

namespace velk::sim {

namespace {

// The stream keeps at most this much queued ahead of the pty.
constexpr size_t kStreamBacklog = 16384;

}  // namespace

// xorshift32: small, fast and the same on every platform.
uint32_t StreamGenerator::next()
{
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

StreamGenerator::StreamGenerator(unsigned seed, uint32_t ids) : state_(seed * 2654435761u + 0x9E3779B9u), ids_(ids)
{
    if (state_ == 0)
        state_ = 1;
}

// Report `index` of the sequence; the reports must be asked for in order.
Report StreamGenerator::report(size_t index)
{
    Report r;
    const uint32_t tag = static_cast<uint32_t>(index);
    const uint32_t pick = below(100);
    if (pick < 42)
        r.kind = Report::E2;
    else if (pick < 84)
        r.kind = Report::F1;
    else if (pick < 90)
        r.kind = Report::E1;
    else if (pick < 94)
        r.kind = Report::BusError;
    else if (pick < 97)
        r.kind = Report::BusErrorPsr;
    else if (pick < 99)
        r.kind = Report::BusStatus;
    else
        r.kind = Report::EepromError;

    r.channel = static_cast<int>(below(2));
    r.extended = below(2) != 0;
    const uint32_t pick_id = next();
    if (ids_ > 0)
        r.id = (r.extended ? kStreamExtendedBase : 0) + pick_id % ids_;
    else
        r.id = r.extended ? pick_id & 0x1FFFFFFF : pick_id & 0x7FF;
    r.micro_second = below(1000000);
    r.second = tag;
    for (uint8_t &d : r.data)
        d = static_cast<uint8_t>(next());
    switch (r.kind) {
    case Report::E1:
        r.extended = true;
        r.id = ids_ > 0 ? kStreamExtendedBase + tag % ids_ : tag & 0x1FFFFFFF;
        r.dlc = static_cast<int>(below(9));
        r.second = 0;
        r.micro_second = 0;
        break;
    case Report::E2:
        r.dlc = static_cast<int>(below(9));
        r.rtr = below(8) == 0;
        break;
    case Report::F1:
        r.dlc = static_cast<int>(below(16));
        // FDF set always (the host drops an 0xF1 without it), BRS and ESI vary.
        r.fd_flags = static_cast<uint8_t>(0x04 | below(4));
        break;
    default:
        r.channel = 0;
        r.extended = false;
        r.id = 0;
        r.dlc = 0;
        r.second = 0;
        r.micro_second = 0;
        r.data = {};
        for (uint8_t &s : r.status)
            s = static_cast<uint8_t>(next());
        r.status[0] = static_cast<uint8_t>(tag >> 8);
        r.status[1] = static_cast<uint8_t>(tag);
        r.status[2] |= 0x01;  // never all zero: an all-zero bus error report is not a report
        break;
    }
    if (r.kind == Report::E1 || r.kind == Report::E2 || r.kind == Report::F1) {
        // Bytes beyond the DLC still travel; zero keeps them easy to compare.
        for (size_t k = static_cast<size_t>(dlc_length(r.dlc)); k < r.data.size(); ++k)
            r.data[k] = 0;
    }
    return r;
}

std::vector<Report> stream_sequence(size_t count, unsigned seed)
{
    std::vector<Report> seq;
    seq.reserve(count);
    StreamGenerator gen(seed);
    for (size_t i = 0; i < count; ++i)
        seq.push_back(gen.report(i));
    return seq;
}

void Adapter::stream(size_t count, int rate_per_s, unsigned seed, size_t max_chunk, StreamStamps stamps)
{
    {
        std::lock_guard<std::mutex> lk(mu_);
        stream_gen_ = StreamGenerator(seed, stream_ids_);
        stream_count_ = count;
        stream_next_ = 0;
        stream_rate_ = std::max(rate_per_s, 0);
        stream_start_us_ = now_us();
        stream_max_chunk_ = std::max<size_t>(max_chunk, 1);
        stream_stamps_ = stamps;
        stream_rng_ = seed * 747796405u + 2891336453u;
        if (stream_rng_ == 0)
            stream_rng_ = 1;
        stream_pending_.clear();
    }
    wake();
}

void Adapter::set_stream_ids(uint32_t ids)
{
    std::lock_guard<std::mutex> lk(mu_);
    stream_ids_ = ids;
}

void Adapter::refill_stream(int64_t now)
{
    size_t queued = 0;
    for (const Chunk &c : out_)
        queued += c.bytes.size();
    while (stream_next_ < stream_count_ && queued < kStreamBacklog) {
        if (stream_rate_ > 0 &&
            now < stream_start_us_ + static_cast<int64_t>(stream_next_) * 1000000 / stream_rate_)
            break;
        Report r = stream_gen_.report(stream_next_++);
        const StreamStamps stamps =
            stream_stamps_ == StreamStamps::Index && clock_set_ ? StreamStamps::Clock : stream_stamps_;
        if (stamps != StreamStamps::Index && (r.kind == Report::E2 || r.kind == Report::F1)) {
            const int64_t t = stamps == StreamStamps::WriteTime ? now_us() : clock_us();
            r.second = static_cast<uint32_t>(t / 1000000);
            r.micro_second = static_cast<uint32_t>(t % 1000000);
        }
        const Bytes b = encode(r);
        stream_pending_.insert(stream_pending_.end(), b.begin(), b.end());
        // Cut into write() chunks of random size; the rest goes out when the
        // stream ends or paces itself.
        for (;;) {
            stream_rng_ ^= stream_rng_ << 13;
            stream_rng_ ^= stream_rng_ >> 17;
            stream_rng_ ^= stream_rng_ << 5;
            const size_t len = 1 + stream_rng_ % stream_max_chunk_;
            const bool last = stream_next_ == stream_count_ || stream_rate_ > 0;
            if (stream_pending_.size() < len && !(last && !stream_pending_.empty()))
                break;
            const size_t take = std::min(len, stream_pending_.size());
            Chunk c;
            c.bytes.assign(stream_pending_.begin(), stream_pending_.begin() + static_cast<long>(take));
            stream_pending_.erase(stream_pending_.begin(), stream_pending_.begin() + static_cast<long>(take));
            queued += take;
            out_.push_back(std::move(c));
            if (stream_pending_.empty())
                break;
        }
    }
}

bool Adapter::wait_stream_done(int timeout_ms)
{
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] {
        return stream_next_ == stream_count_ && stream_pending_.empty() && out_.empty();
    });
}

size_t Adapter::reports_streamed()
{
    std::lock_guard<std::mutex> lk(mu_);
    return stream_next_;
}

// The adapter sends a reply or a report of its own only between whole
// reports of its stream: the rest of the one being cut into writes goes first.
void Adapter::end_stream_report()
{
    if (stream_pending_.empty())
        return;
    Chunk c;
    c.bytes.swap(stream_pending_);
    out_.push_back(std::move(c));
}

}  // namespace velk::sim
