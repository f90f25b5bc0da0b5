// pcap and pcapng files: not read or written yet.
#include "formats.h"

namespace velk::trace::detail {

std::unique_ptr<Decoder> pcap_decoder(FILE *, const ReadOptions &)
{
    return unsupported_decoder("pcap");
}

std::unique_ptr<Encoder> pcap_encoder(Format, const WriteOptions &)
{
    return nullptr;
}

}  // namespace velk::trace::detail
