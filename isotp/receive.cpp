// The receiving side: single frames, first frames and the consecutive
// frames that follow them, checked for their sequence numbers.
#include <algorithm>

#include "internal.h"

namespace velk::isotp::detail {

RxStep rx_step(RxState *st, const trace::Frame &f, const Pci &p, uint32_t max_len, bool *interrupted)
{
    *interrupted = false;
    switch (p.kind) {
    case Kind::Invalid:
        return RxStep::Malformed;
    case Kind::Flow:
        return RxStep::Ignored;
    case Kind::Single:
    case Kind::First:
        *interrupted = st->active;
        st->active = false;
        st->length = p.length;
        st->data.assign(f.data.begin() + p.data_at, f.data.begin() + p.data_at + p.data_len);
        if (p.kind == Kind::Single)
            return RxStep::Complete;
        if (p.length > max_len) {
            st->data.clear();
            return RxStep::Refused;
        }
        st->data.reserve(p.length);
        st->active = true;
        st->next_sn = 1;
        st->in_block = 0;
        return RxStep::Started;
    case Kind::Consecutive: {
        if (!st->active)
            return RxStep::Ignored;
        if (p.sn != st->next_sn) {
            st->active = false;
            return RxStep::WrongSequence;
        }
        const uint32_t take = std::min<uint32_t>(st->length - uint32_t(st->data.size()), uint32_t(p.data_len));
        st->data.insert(st->data.end(), f.data.begin() + p.data_at, f.data.begin() + p.data_at + take);
        st->next_sn = (st->next_sn + 1) & 0x0F;
        ++st->in_block;
        if (st->data.size() < st->length)
            return RxStep::More;
        st->active = false;
        return RxStep::Complete;
    }
    }
    return RxStep::Malformed;
}

}  // namespace velk::isotp::detail

namespace velk::isotp {

// In the order of the enumeration.
constexpr const char *kErrorNames[] = {
    "none", "timeout N_As", "timeout N_Bs", "timeout N_Cr", "wrong sequence number", "receiver overflow",
    "too many wait frames", "bad flow status", "message too long", "interrupted by a new message",
    "malformed frame", "send failed", "missing frames",
};
static_assert(sizeof kErrorNames / sizeof kErrorNames[0] == size_t(Error::MissingFrames) + 1);

const char *error_name(Error e)
{
    return kErrorNames[size_t(e)];
}

}  // namespace velk::isotp
