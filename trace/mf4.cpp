// MF4 files: not read or written yet.
#include "formats.h"

namespace velk::trace::detail {

std::unique_ptr<Decoder> mf4_decoder(FILE *, const ReadOptions &)
{
    return unsupported_decoder("MF4");
}

std::unique_ptr<Encoder> mf4_encoder(const WriteOptions &)
{
    return nullptr;
}

}  // namespace velk::trace::detail
