// TRC files: not read or written yet.
#include "formats.h"

namespace velk::trace::detail {

std::unique_ptr<Decoder> trc_decoder(FILE *, const ReadOptions &)
{
    return unsupported_decoder("TRC");
}

std::unique_ptr<Encoder> trc_encoder(const WriteOptions &)
{
    return nullptr;
}

}  // namespace velk::trace::detail
