// The ECU's services and the thread that serves them over ISO-TP on a
// channel of the emulated adapter.
#include "ecu.h"

#include <algorithm>
#include <chrono>

#include "sim_internal.h"
#include "uds.h"

namespace velk::sim {

namespace {

using namespace velk::uds;

// The server's P2 and P2* as its session answer announces them: 50 ms, and
// 5,000 ms in units of 10 ms.
constexpr uint8_t kTimingRecord[] = {0x00, 0x32, 0x01, 0xF4};
// A held-back answer repeats responsePending this often, well inside P2*.
constexpr uint32_t kPendingEveryMs = 2000;

Bytes negative(uint8_t service, uint8_t nrc)
{
    return {kNegativeResponse, service, nrc};
}

uint32_t be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

// A host data frame (0xE0 or 0xF0 with its trailer) as a frame record.
bool frame_of(const Bytes &b, trace::Frame *f)
{
    const bool fd = b[0] == wire::kFdFrame.code;
    const wire::DataLayout &l = fd ? wire::kFdFrame : wire::kClassicFrame;
    if (b.size() < size_t(l.data_at + wire::kTrailerLen))
        return false;
    *f = trace::Frame();
    f->channel = (b[1] & 3) - 1;
    f->extended = b[1] & 4;
    f->remote = b[1] & 8;
    f->dlc = uint8_t(b[1] >> 4);
    f->fd = fd;
    f->brs = fd && (b[size_t(l.fd_flags_at)] & 1);
    f->id = get_be32(&b[size_t(l.id_at)]);
    f->len = f->remote ? 0 : uint8_t(trace::dlc_to_len(fd ? f->dlc : std::min<int>(f->dlc, 8)));
    if (b.size() < size_t(l.data_at + f->len + wire::kTrailerLen))
        return false;
    std::copy_n(&b[size_t(l.data_at)], f->len, f->data.begin());
    return true;
}

// A frame record as the host data frame that the bus hands on.
Bytes host_frame(const trace::Frame &f, int channel)
{
    const wire::DataLayout &l = f.fd ? wire::kFdFrame : wire::kClassicFrame;
    Bytes b(size_t(l.data_at + std::max<int>(f.len, 8)), 0);
    b[0] = l.code;
    b[1] = uint8_t(f.dlc << 4 | (f.extended ? 4 : 0) | (channel + 1));
    if (f.fd)
        b[size_t(l.fd_flags_at)] = uint8_t(wire::kFdf | (f.brs ? 1 : 0));
    put_be32(&b[size_t(l.id_at)], f.id);
    std::copy_n(f.data.begin(), f.len, &b[size_t(l.data_at)]);
    seal(b);
    return b;
}

}  // namespace

uint32_t ecu_key(uint32_t seed, uint32_t secret)
{
    return seed ^ secret;
}

void EcuServer::request(const Bytes &req, uint64_t now_us)
{
    uint32_t pending_ms = 0;
    const Bytes a = answer(req, &pending_ms);
    if (!a.empty() || pending_ms)
        later(a, req[0], pending_ms, now_us);
}

void EcuServer::later(const Bytes &answer, uint8_t service, uint32_t pending_ms, uint64_t now_us)
{
    for (uint32_t t = 0; t < pending_ms; t += kPendingEveryMs)
        due_.push_back({now_us + uint64_t(t) * 1000, negative(service, kResponsePending)});
    due_.push_back({now_us + uint64_t(pending_ms) * 1000, answer});
}

bool EcuServer::next_answer(uint64_t now_us, Bytes *out)
{
    if (due_.empty() || due_.front().first > now_us)
        return false;
    *out = due_.front().second;
    due_.pop_front();
    return true;
}

uint64_t EcuServer::next_time() const
{
    return due_.empty() ? UINT64_MAX : due_.front().first;
}

// The answer to a request (empty: none); *pending_ms holds it back.
Bytes EcuServer::answer(const Bytes &r, uint32_t *pending_ms)
{
    const uint8_t sid = r[0];
    const uint8_t positive = uint8_t(sid + kPositiveOffset);
    const size_t n = r.size();
    const bool has_sub = sid == kSessionControl || sid == kEcuReset || sid == kReadDtc || sid == kSecurityAccess ||
                         sid == kRoutineControl || sid == kTesterPresent;
    if (has_sub && n < 2)
        return negative(sid, 0x13);
    const uint8_t sub = has_sub ? uint8_t(r[1] & ~kSuppressPositive) : 0;
    const bool quiet = has_sub && (r[1] & kSuppressPositive);
    const bool in_default = session_ == 1;
    switch (sid) {
    case kSessionControl: {
        if (n != 2)
            return negative(sid, 0x13);
        if (sub < 1 || sub > 3)
            return negative(sid, 0x12);
        session_ = sub;
        unlocked_ = seed_level_ = 0;
        if (quiet)
            return {};
        Bytes b{positive, sub};
        b.insert(b.end(), std::begin(kTimingRecord), std::end(kTimingRecord));
        return b;
    }
    case kEcuReset:
        if (n != 2)
            return negative(sid, 0x13);
        if (sub < 1 || sub > 3)
            return negative(sid, 0x12);
        session_ = 1;
        unlocked_ = seed_level_ = 0;
        started_.clear();
        return quiet ? Bytes{} : Bytes{positive, sub};
    case kTesterPresent:
        if (n != 2)
            return negative(sid, 0x13);
        if (sub != 0)
            return negative(sid, 0x12);
        return quiet ? Bytes{} : Bytes{positive, 0};
    case kReadData: {
        if (n < 3 || n % 2 != 1)
            return negative(sid, 0x13);
        Bytes b{positive};
        for (size_t i = 1; i < n; i += 2) {
            const uint16_t did = uint16_t(r[i] << 8 | r[i + 1]);
            const auto d = m_.dids.find(did);
            if (d == m_.dids.end())
                return negative(sid, 0x31);
            b.push_back(r[i]);
            b.push_back(r[i + 1]);
            b.insert(b.end(), d->second.value.begin(), d->second.value.end());
            *pending_ms = std::max(*pending_ms, d->second.pending_ms);
        }
        return b;
    }
    case kWriteData: {
        if (n < 4)
            return negative(sid, 0x13);
        if (in_default)
            return negative(sid, 0x7F);
        const auto d = m_.dids.find(uint16_t(r[1] << 8 | r[2]));
        if (d == m_.dids.end() || !d->second.writable)
            return negative(sid, 0x31);
        if (n - 3 != d->second.value.size())
            return negative(sid, 0x13);
        if (!unlocked_)
            return negative(sid, 0x33);
        d->second.value.assign(r.begin() + 3, r.end());
        return {positive, r[1], r[2]};
    }
    case kSecurityAccess: {
        if (in_default)
            return negative(sid, 0x7F);
        const uint8_t level = sub % 2 ? sub : uint8_t(sub - 1);
        if (std::find(m_.security_levels.begin(), m_.security_levels.end(), level) == m_.security_levels.end())
            return negative(sid, 0x12);
        if (sub % 2) {
            if (n != 2)
                return negative(sid, 0x13);
            if (unlocked_ == level)
                return {positive, sub, 0, 0, 0, 0};
            // A small LCG: a new seed each time, the same run after run.
            seed_state_ = seed_state_ * 1103515245u + 12345u;
            seed_ = seed_state_ | 1;
            seed_level_ = level;
            return {positive, sub, uint8_t(seed_ >> 24), uint8_t(seed_ >> 16), uint8_t(seed_ >> 8), uint8_t(seed_)};
        }
        if (n != 6)
            return negative(sid, 0x13);
        if (seed_level_ != level)
            return negative(sid, 0x24);
        seed_level_ = 0;
        if (be32(&r[2]) != ecu_key(seed_, m_.secret))
            return negative(sid, 0x35);
        unlocked_ = level;
        return {positive, sub};
    }
    case kReadDtc: {
        if (sub != kDtcCountByMask && sub != kDtcByMask && sub != kDtcSupported)
            return negative(sid, 0x12);
        if (n != (sub == kDtcSupported ? 2u : 3u))
            return negative(sid, 0x13);
        const uint8_t mask = sub == kDtcSupported ? 0xFF : r[2];
        Bytes b{positive, sub, 0xFF};
        uint16_t count = 0;
        for (const auto &[code, status] : m_.dtcs) {
            if (sub != kDtcSupported && !(status & mask))
                continue;
            ++count;
            if (sub != kDtcCountByMask)
                b.insert(b.end(), {uint8_t(code >> 16), uint8_t(code >> 8), uint8_t(code), status});
        }
        if (sub == kDtcCountByMask)
            b.insert(b.end(), {0x01, uint8_t(count >> 8), uint8_t(count)});
        return b;
    }
    case kClearDtc: {
        if (n != 4)
            return negative(sid, 0x13);
        const uint32_t group = uint32_t(r[1]) << 16 | uint32_t(r[2]) << 8 | r[3];
        const auto end = std::remove_if(m_.dtcs.begin(), m_.dtcs.end(),
                                        [&](const auto &d) { return group == 0xFFFFFF || d.first == group; });
        if (end == m_.dtcs.end() && group != 0xFFFFFF)
            return negative(sid, 0x31);
        m_.dtcs.erase(end, m_.dtcs.end());
        return {positive};
    }
    case kRoutineControl: {
        if (n < 4)
            return negative(sid, 0x13);
        if (sub < 1 || sub > 3)
            return negative(sid, 0x12);
        if (in_default)
            return negative(sid, 0x7F);
        const uint16_t id = uint16_t(r[2] << 8 | r[3]);
        const auto rt = m_.routines.find(id);
        if (rt == m_.routines.end())
            return negative(sid, 0x31);
        if (sub != 1 && !started_[id])
            return negative(sid, 0x24);
        started_[id] = sub != 2;
        Bytes b{positive, sub, r[2], r[3]};
        if (sub != 2)
            b.insert(b.end(), rt->second.result.begin(), rt->second.result.end());
        if (sub == 1)
            *pending_ms = rt->second.pending_ms;
        return quiet ? Bytes{} : b;
    }
    default: return negative(sid, 0x11);
    }
}

Ecu::~Ecu()
{
    stop();
}

void Ecu::start(Adapter &a, const EcuModel &m)
{
    stop();
    adapter_ = &a;
    stop_ = false;
    const int channel = m.channel;
    a.set_bus_tap([this, channel](int ch, const Bytes &frame) {
        if (ch != channel)
            return;
        std::lock_guard<std::mutex> lk(mu_);
        frames_.push_back(frame);
        cv_.notify_one();
    });
    thread_ = std::thread([this, m] { run(m); });
}

void Ecu::stop()
{
    if (!adapter_)
        return;
    adapter_->set_bus_tap(nullptr);
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
        cv_.notify_one();
    }
    thread_.join();
    adapter_ = nullptr;
    frames_.clear();
}

void Ecu::run(EcuModel m)
{
    isotp::Connection physical(m.iso);
    isotp::Options fo = m.iso;
    fo.address.rx_id = m.functional_id >= 0 ? uint32_t(m.functional_id) : m.iso.address.rx_id;
    isotp::Connection functional(fo);
    EcuServer server(m);
    std::deque<Bytes> answers;
    const auto clock = [] { return uint64_t(now_us()); };
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
        const uint64_t due = std::min({physical.next_deadline(), server.next_time(),
                                       m.functional_id >= 0 ? functional.next_deadline() : UINT64_MAX});
        const auto until = [&] { return stop_ || !frames_.empty(); };
        if (due == UINT64_MAX)
            cv_.wait(lk, until);
        else if (due > clock())
            cv_.wait_for(lk, std::chrono::microseconds(due - clock()), until);
        if (stop_)
            return;
        std::deque<Bytes> frames;
        frames.swap(frames_);
        lk.unlock();
        uint64_t now = clock();
        for (const Bytes &b : frames) {
            trace::Frame f;
            if (!frame_of(b, &f))
                continue;
            if (!physical.on_frame(f, now) && m.functional_id >= 0)
                functional.on_frame(f, now);
        }
        physical.tick(now);
        functional.tick(now);
        isotp::Event e;
        for (isotp::Connection *c : {&physical, &functional})
            while (c->next_event(&e))
                if (e.kind == isotp::Event::Received && !e.data.empty())
                    server.request(e.data, now);
        Bytes a;
        while (server.next_answer(now, &a))
            answers.push_back(a);
        if (!answers.empty() && !physical.sending() && physical.send(answers.front(), now))
            answers.pop_front();
        trace::Frame f;
        // Functional requests come in single frames; a flow control for
        // anything longer is not sent.
        while (functional.next_frame(now, &f))
            functional.sent(now);
        // The bus takes each frame at once: confirmed as it is handed on.
        while (physical.next_frame(now, &f)) {
            adapter_->receive_from_bus(m.channel, host_frame(f, m.channel));
            physical.sent(now = clock());
        }
        lk.lock();
    }
}

}  // namespace velk::sim
