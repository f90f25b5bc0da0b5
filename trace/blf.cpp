// BLF files: not read or written yet.
#include "formats.h"

namespace velk::trace::detail {

std::unique_ptr<Decoder> blf_decoder(FILE *, const ReadOptions &)
{
    return unsupported_decoder("BLF");
}

std::unique_ptr<Encoder> blf_encoder(const WriteOptions &)
{
    return nullptr;
}

}  // namespace velk::trace::detail
