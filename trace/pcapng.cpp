// pcap and pcapng files of link type LINKTYPE_CAN_SOCKETCAN (227): each
// packet is a Linux can_frame (16 bytes) or canfd_frame (72 bytes), the
// identifier word big-endian with the EFF/RTR/ERR flags in its top bits.
// Captures on Linux's "any" interface hold the same frames behind a cooked
// header (LINKTYPE_LINUX_SLL, SLL2), identifier words in the host's order.
//
// pcapng is written with one interface block per channel, named as
// WriteOptions::names says, nanosecond times and the direction in each
// enhanced packet block's flags; pcap with microsecond times, no channel
// and no direction. Either is read, of either byte order and any time
// resolution, whatever the file's extension says.
#include <sys/stat.h>

#include <cstring>

#include "formats.h"

namespace velk::trace::detail {

namespace {

constexpr uint32_t kLinkCan = 227;
constexpr uint32_t kLinkSll = 113;
constexpr uint32_t kLinkSll2 = 276;
constexpr uint16_t kEthPCan = 0x000C;
constexpr uint16_t kEthPCanFd = 0x000D;
constexpr uint8_t kSllOutgoing = 4;
constexpr uint32_t kEff = 0x80000000;
constexpr uint32_t kRtr = 0x40000000;
constexpr uint32_t kErr = 0x20000000;
constexpr uint32_t kErrBusError = 0x80;  // the class of the error frames we write, as candump logs do
constexpr uint8_t kBrs = 0x01;
constexpr uint8_t kEsi = 0x02;
constexpr uint8_t kFdf = 0x04;
constexpr size_t kClassicMtu = 16;
constexpr size_t kFdMtu = 72;

constexpr uint32_t kShb = 0x0A0D0D0A;
constexpr uint32_t kIdb = 1;
constexpr uint32_t kPb = 2;  // the obsolete packet block
constexpr uint32_t kSpb = 3;
constexpr uint32_t kEpb = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kPcapMicro = 0xA1B2C3D4;
constexpr uint32_t kPcapNano = 0xA1B23C4D;

// A block or packet larger than this is no CAN capture's; reading it would
// only hold memory.
constexpr uint32_t kMaxBlock = 16u << 20;
constexpr size_t kMaxInterfaces = 1u << 16;

uint32_t get32(const uint8_t *p, bool big)
{
    return big ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
               : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

uint16_t get16(const uint8_t *p, bool big)
{
    return static_cast<uint16_t>(big ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

void put32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

void put32_big(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

// Whether an identifier word read in one byte order is one the kernel
// writes: an 11-bit identifier without EFF, an error frame of known classes.
bool plausible_word(uint32_t w)
{
    if ((w & kErr) != 0)
        return (w & (kEff | kRtr)) == 0 && (w & 0x1FFFFFFF) <= 0x3FF;
    return (w & kEff) != 0 || (w & 0x1FFFFFFF) <= 0x7FF;
}

// The smallest DLC code of a CAN FD payload of at least `len` bytes.
int dlc_at_least(int len)
{
    int dlc = 0;
    while (dlc < 15 && dlc_to_len(dlc) < len)
        ++dlc;
    return dlc;
}

std::string at(uint64_t offset, const std::string &what)
{
    return "at byte " + std::to_string(offset) + ": " + what;
}

class PcapDecoder : public Decoder {
public:
    explicit PcapDecoder(FILE *file) : file_(file)
    {
        struct stat st;
        if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode))
            size_ = static_cast<int64_t>(st.st_size);
    }

    int next(Frame *f, std::string *name, std::string *why) override;
    std::string summary() const override;
    // Packets and blocks follow each other whole: a place is a block's offset,
    // with what the blocks before told (the interfaces, the byte orders).
    bool mark(ResumePoint *p) const override
    {
        if (kind_ == Kind::Unknown || pos_ <= 4)
            return false;
        p->offset = pos_;
        p->count = interfaces_.size();
        p->flags = static_cast<uint32_t>(word_order_ + 1) | static_cast<uint32_t>(cooked_order_ + 1) << 2 |
                   (big_ ? 0x10u : 0);
        return true;
    }
    bool resume(FILE *file, const ResumePoint &p) override
    {
        // A section or interface begun after the first packet is only known
        // by reading up to it.
        if (kind_ == Kind::Unknown || p.count != interfaces_.size() || big_ != ((p.flags & 0x10) != 0) ||
            fseeko(file, static_cast<off_t>(p.offset), SEEK_SET) != 0)
            return false;
        file_ = file;
        pos_ = p.offset;
        word_order_ = static_cast<int>(p.flags & 3) - 1;
        cooked_order_ = static_cast<int>(p.flags >> 2 & 3) - 1;
        return true;
    }

private:
    struct Interface {
        uint16_t link = 0;
        int64_t offset_s = 0;   // if_tsoffset
        bool binary = false;    // if_tsresol: 2^-exp rather than 10^-exp
        uint8_t exp = 6;
        std::string name;
    };

    // Reads n bytes; false (with *why) when the file ends first.
    bool read(void *dest, size_t n, uint64_t block_at, const char *what, std::string *why);
    bool start(std::string *why);
    int next_pcap(Frame *f, std::string *name, std::string *why);
    int next_pcapng(Frame *f, std::string *name, std::string *why);
    // The rest of a block whose first `consumed` bytes were read: its body
    // into block_, without the trailing length.
    bool read_block(uint64_t at_byte, uint32_t length, size_t consumed, std::string *why);
    uint64_t left(uint64_t from) const
    {
        return static_cast<uint64_t>(size_) > from ? static_cast<uint64_t>(size_) - from : 0;
    }
    bool section_header(uint64_t at_byte, std::string *why);
    bool interface_block(uint64_t at_byte, std::string *why);
    bool time_of(const Interface &itf, uint64_t ts, Frame *f, uint64_t at_byte, std::string *why);
    // 1 a frame, 0 a packet that holds none (counted).
    int packet(uint32_t link, const uint8_t *p, size_t caplen, size_t origlen, Frame *f);
    int decode(const uint8_t *p, size_t caplen, size_t origlen, bool fd, int *word_order, Frame *f);

    FILE *file_;
    int64_t size_ = -1;  // known for a regular file
    uint64_t pos_ = 0;
    enum class Kind { Unknown, Pcap, Pcapng } kind_ = Kind::Unknown;
    bool big_ = false;
    // pcap
    bool nano_ = false;
    // pcapng
    std::vector<Interface> interfaces_;
    std::vector<uint8_t> block_;
    // Identifier words: 0 not known yet (read big-endian), 1 big-endian,
    // -1 little-endian; of SocketCAN packets and of cooked ones apart.
    int word_order_ = 0;
    int cooked_order_ = 0;
    uint32_t pcap_link_ = kLinkCan;
    uint64_t other_links_ = 0;
    uint64_t unusable_ = 0;
};

bool PcapDecoder::read(void *dest, size_t n, uint64_t block_at, const char *what, std::string *why)
{
    const size_t got = std::fread(dest, 1, n, file_);
    pos_ += got;
    if (got == n)
        return true;
    *why = at(block_at, std::string(std::ferror(file_) ? "read error in " : "the file ends inside ") + what);
    return false;
}

bool PcapDecoder::start(std::string *why)
{
    uint8_t m[4];
    const size_t got = std::fread(m, 1, 4, file_);
    pos_ += got;
    if (got < 4) {
        *why = at(0, got == 0 ? "empty file, not a pcap or pcapng file" : "not a pcap or pcapng file (too short)");
        return false;
    }
    if (get32(m, false) == kShb) {
        kind_ = Kind::Pcapng;
        return true;
    }
    for (bool big : {false, true}) {
        const uint32_t magic = get32(m, big);
        if (magic != kPcapMicro && magic != kPcapNano)
            continue;
        big_ = big;
        nano_ = magic == kPcapNano;
        uint8_t h[20];
        if (!read(h, sizeof h, 0, "the pcap file header", why))
            return false;
        if (get16(h, big_) != 2) {
            *why = at(4, "pcap version " + std::to_string(get16(h, big_)) + " (2 is read)");
            return false;
        }
        const uint32_t link = get32(h + 16, big_) & 0xFFFF;
        if (link != kLinkCan && link != kLinkSll && link != kLinkSll2) {
            *why = at(20, "link type " + std::to_string(link) + ", which holds no CAN frames (227, 113 or 276 do)");
            return false;
        }
        pcap_link_ = link;
        kind_ = Kind::Pcap;
        return true;
    }
    char b[64];
    std::snprintf(b, sizeof b, "not a pcap or pcapng file (magic %02X %02X %02X %02X)", m[0], m[1], m[2], m[3]);
    *why = at(0, b);
    return false;
}

int PcapDecoder::next(Frame *f, std::string *name, std::string *why)
{
    if (kind_ == Kind::Unknown && !start(why))
        return -1;
    return kind_ == Kind::Pcap ? next_pcap(f, name, why) : next_pcapng(f, name, why);
}

int PcapDecoder::next_pcap(Frame *f, std::string *name, std::string *why)
{
    for (;;) {
        const uint64_t record_at = pos_;
        uint8_t h[16];
        const size_t got = std::fread(h, 1, sizeof h, file_);
        pos_ += got;
        if (got == 0 && !std::ferror(file_))
            return 0;
        if (got < sizeof h) {
            *why = at(record_at, std::ferror(file_) ? "read error" : "the file ends inside a packet header");
            return -1;
        }
        const uint32_t caplen = get32(h + 8, big_);
        const uint32_t origlen = get32(h + 12, big_);
        if (size_ >= 0 && caplen > left(pos_)) {
            *why = at(record_at, "packet of " + std::to_string(caplen) + " bytes runs past the end of the file (" +
                                     std::to_string(left(pos_)) + " bytes left)");
            return -1;
        }
        if (caplen > kMaxBlock) {
            *why = at(record_at, "packet of " + std::to_string(caplen) + " bytes, larger than any CAN capture holds");
            return -1;
        }
        block_.resize(caplen);
        if (!read(block_.data(), caplen, record_at, "a packet", why))
            return -1;
        if (packet(pcap_link_, block_.data(), caplen, origlen, f) == 0)
            continue;
        // A fraction of a second or more, as sloppy writers leave it, carries into the seconds.
        const uint64_t sub = get32(h + 4, big_);
        set_frame_us(f, int64_t{get32(h, big_)} * 1000000 + static_cast<int64_t>(nano_ ? sub / 1000 : sub));
        *name = "can0";
        return 1;
    }
}

bool PcapDecoder::read_block(uint64_t at_byte, uint32_t length, size_t consumed, std::string *why)
{
    if (length < consumed + 4 || length % 4 != 0) {
        *why = at(at_byte, "block length " + std::to_string(length) + " (a multiple of 4, at least " +
                               std::to_string(consumed + 4) + ")");
        return false;
    }
    if (size_ >= 0 && length > left(at_byte)) {
        *why = at(at_byte, "block of " + std::to_string(length) + " bytes runs past the end of the file (" +
                               std::to_string(left(at_byte)) + " bytes left)");
        return false;
    }
    if (length > kMaxBlock) {
        *why = at(at_byte, "block of " + std::to_string(length) + " bytes, larger than any CAN capture holds");
        return false;
    }
    block_.resize(length - consumed);
    if (!read(block_.data(), block_.size(), at_byte, "a block", why))
        return false;
    if (get32(block_.data() + block_.size() - 4, big_) != length) {
        *why = at(at_byte, "the block's two lengths differ");
        return false;
    }
    block_.resize(block_.size() - 4);
    return true;
}

bool PcapDecoder::section_header(uint64_t at_byte, std::string *why)
{
    if (block_.size() < 12) {
        *why = at(at_byte, "section header block too short");
        return false;
    }
    if (get16(block_.data(), big_) != 1) {
        *why = at(at_byte, "pcapng version " + std::to_string(get16(block_.data(), big_)) + " (1 is read)");
        return false;
    }
    interfaces_.clear();
    return true;
}

bool PcapDecoder::interface_block(uint64_t at_byte, std::string *why)
{
    if (block_.size() < 8) {
        *why = at(at_byte, "interface description block too short");
        return false;
    }
    if (interfaces_.size() >= kMaxInterfaces) {
        *why = at(at_byte, "more than 65536 interfaces in one section");
        return false;
    }
    Interface itf;
    itf.link = get16(block_.data(), big_);
    itf.name = "can" + std::to_string(interfaces_.size());
    size_t i = 8;
    while (i + 4 <= block_.size()) {
        const uint16_t code = get16(&block_[i], big_);
        const uint16_t len = get16(&block_[i + 2], big_);
        i += 4;
        if (code == 0)
            break;
        if (len > block_.size() - i) {
            *why = at(at_byte, "an interface option runs past its block");
            return false;
        }
        const uint8_t *v = &block_[i];
        if (code == 2 && len > 0) {
            itf.name.assign(reinterpret_cast<const char *>(v), len);
            itf.name.resize(std::strlen(itf.name.c_str()));
        } else if (code == 9 && len >= 1) {
            itf.binary = (v[0] & 0x80) != 0;
            itf.exp = v[0] & 0x7F;
        } else if (code == 14 && len >= 8) {
            const uint64_t hi = get32(v, big_), lo = get32(v + 4, big_);
            itf.offset_s = static_cast<int64_t>(big_ ? hi << 32 | lo : lo << 32 | hi);
        }
        i += (len + 3u) & ~3u;
    }
    if (!itf.binary && itf.exp > 38) {
        *why = at(at_byte, "time resolution 10^-" + std::to_string(itf.exp) + " s");
        return false;
    }
    interfaces_.push_back(itf);
    return true;
}

bool PcapDecoder::time_of(const Interface &itf, uint64_t ts, Frame *f, uint64_t at_byte, std::string *why)
{
    using u128 = unsigned __int128;
    u128 us;
    if (itf.binary) {
        us = itf.exp >= 128 ? 0 : (u128{ts} * 1000000) >> itf.exp;
    } else if (itf.exp >= 6) {
        u128 div = 1;
        for (int k = 6; k < itf.exp; ++k)
            div *= 10;
        us = u128{ts} / div;
    } else {
        us = ts;
        for (int k = itf.exp; k < 6; ++k)
            us *= 10;
    }
    constexpr int64_t kLimit = int64_t{1} << 60;
    if (us >= static_cast<u128>(kLimit) || itf.offset_s > kLimit / 1000000 || itf.offset_s < -kLimit / 1000000) {
        *why = at(at_byte, "packet time out of range");
        return false;
    }
    set_frame_us(f, static_cast<int64_t>(us) + itf.offset_s * 1000000);
    return true;
}

int PcapDecoder::next_pcapng(Frame *f, std::string *name, std::string *why)
{
    for (;;) {
        // The first block's type is the magic that start() read.
        const uint64_t block_at = pos_ == 4 ? 0 : pos_;
        uint8_t h[8];
        const size_t skip = block_at == 0 ? 4 : 0;
        put32(h, kShb);
        const size_t got = skip + std::fread(h + skip, 1, sizeof h - skip, file_);
        pos_ += got - skip;
        if (got == 0 && !std::ferror(file_))
            return 0;
        if (got < sizeof h) {
            *why = at(block_at, std::ferror(file_) ? "read error" : "the file ends inside a block header");
            return -1;
        }
        uint32_t type = get32(h, big_);
        if (type == kShb) {
            uint8_t m[4];
            if (!read(m, 4, block_at, "a section header block", why))
                return -1;
            if (get32(m, false) == kByteOrderMagic)
                big_ = false;
            else if (get32(m, true) == kByteOrderMagic)
                big_ = true;
            else {
                *why = at(block_at, "section header block without the byte-order magic");
                return -1;
            }
            // The length is read in the order the magic after it says.
            if (!read_block(block_at, get32(h + 4, big_), 12, why) || !section_header(block_at, why))
                return -1;
            continue;
        }
        if (!read_block(block_at, get32(h + 4, big_), 8, why))
            return -1;
        if (type == kIdb) {
            if (!interface_block(block_at, why))
                return -1;
            continue;
        }
        if (type != kEpb && type != kPb && type != kSpb)
            continue;  // statistics, name resolution and other blocks hold no packet

        const uint8_t *b = block_.data();
        const size_t n = block_.size();
        size_t head = type == kSpb ? 4 : 20;
        if (n < head) {
            *why = at(block_at, "packet block too short");
            return -1;
        }
        const uint32_t itf_id = type == kEpb ? get32(b, big_) : type == kPb ? get16(b, big_) : 0;
        if (itf_id >= interfaces_.size()) {
            *why = at(block_at,
                      "packet on interface " + std::to_string(itf_id) + ", which no interface block describes");
            return -1;
        }
        const Interface &itf = interfaces_[itf_id];
        uint32_t caplen, origlen;
        if (type == kSpb) {
            origlen = get32(b, big_);
            caplen = static_cast<uint32_t>(origlen < n - head ? origlen : n - head);
        } else {
            caplen = get32(b + 12, big_);
            origlen = get32(b + 16, big_);
        }
        if (caplen > n - head) {
            *why = at(block_at, "packet of " + std::to_string(caplen) + " bytes runs past its block");
            return -1;
        }
        if (packet(itf.link, b + head, caplen, origlen, f) == 0)
            continue;
        if (type != kSpb) {
            const uint64_t ts = uint64_t{get32(b + 4, big_)} << 32 | get32(b + 8, big_);
            if (!time_of(itf, ts, f, block_at, why))
                return -1;
            // epb_flags (pack_flags in the obsolete block): inbound 1, outbound 2.
            size_t i = head + ((caplen + 3u) & ~3u);
            while (i + 4 <= n) {
                const uint16_t code = get16(b + i, big_);
                const uint16_t len = get16(b + i + 2, big_);
                i += 4;
                if (code == 0 || len > n - i)
                    break;
                if (code == 2 && len >= 4 && (get32(b + i, big_) & 3) != 0)
                    f->tx = (get32(b + i, big_) & 3) == 2;
                i += (len + 3u) & ~3u;
            }
        }
        *name = itf.name;
        return 1;
    }
}

int PcapDecoder::packet(uint32_t link, const uint8_t *p, size_t caplen, size_t origlen, Frame *f)
{
    if (link == kLinkCan)
        return decode(p, caplen, origlen, false, &word_order_, f);
    if (link != kLinkSll && link != kLinkSll2) {
        ++other_links_;
        return 0;
    }
    // The cooked header: protocol, packet type (outgoing = transmitted), big-endian.
    const size_t head = link == kLinkSll ? 16 : 20;
    if (caplen < head) {
        ++unusable_;
        return 0;
    }
    const uint16_t protocol = get16(p + (link == kLinkSll ? 14 : 0), true);
    const uint8_t type = link == kLinkSll ? p[1] : p[10];
    if (protocol != kEthPCan && protocol != kEthPCanFd) {
        ++other_links_;
        return 0;
    }
    const int r = decode(p + head, caplen - head, origlen > head ? origlen - head : 0, protocol == kEthPCanFd,
                         &cooked_order_, f);
    f->tx = type == kSllOutgoing;
    return r;
}

int PcapDecoder::decode(const uint8_t *p, size_t caplen, size_t origlen, bool fd, int *word_order, Frame *f)
{
    *f = Frame();
    if (caplen < 8) {
        ++unusable_;
        return 0;
    }
    const uint32_t big = get32(p, true), little = get32(p, false);
    if (*word_order == 0) {
        const bool b = plausible_word(big), l = plausible_word(little);
        if (b != l)
            *word_order = b ? 1 : -1;
    }
    const uint32_t w = *word_order < 0 ? little : big;
    if (!plausible_word(w)) {
        ++unusable_;
        return 0;
    }
    const int len = p[4];
    const uint8_t flags = p[5];
    const size_t room = caplen - 8;
    if ((w & kErr) != 0) {
        f->error = true;
        return 1;
    }
    f->fd = fd || origlen == kFdMtu || (flags & kFdf) != 0;
    // A remote frame's length is its DLC: no bytes follow (some writers drop the padding).
    const bool remote = (w & kRtr) != 0 && !f->fd;
    if (len > (f->fd ? 64 : 8) || (!remote && static_cast<size_t>(len) > room)) {
        ++unusable_;
        return 0;
    }
    f->extended = (w & kEff) != 0;
    f->id = w & (f->extended ? 0x1FFFFFFF : 0x7FF);
    if (f->fd) {
        f->brs = (flags & kBrs) != 0;
        f->esi = (flags & kEsi) != 0;
        f->dlc = static_cast<uint8_t>(dlc_at_least(len));
        f->len = static_cast<uint8_t>(dlc_to_len(f->dlc));
        std::memcpy(f->data.data(), p + 8, static_cast<size_t>(len));
        return 1;
    }
    // A classic frame's byte 7 holds the DLC code above 8 (len8_dlc).
    f->dlc = static_cast<uint8_t>(len == 8 && caplen >= 8 && p[7] > 8 && p[7] <= 15 ? p[7] : len);
    if (remote) {
        f->remote = true;
        return 1;
    }
    f->len = static_cast<uint8_t>(len);
    std::memcpy(f->data.data(), p + 8, static_cast<size_t>(len));
    return 1;
}

std::string PcapDecoder::summary() const
{
    std::string s;
    auto add = [&s](const std::string &part) { s += (s.empty() ? "" : "; ") + part; };
    // Cooked captures have them in the host's order by nature: not worth saying.
    if (word_order_ < 0)
        add("identifier words are little-endian (as some capture tools wrote them); read as such");
    if (other_links_ > 0)
        add(std::to_string(other_links_) + " packets of other link types or protocols skipped");
    if (unusable_ > 0)
        add(std::to_string(unusable_) + " packets that hold no CAN frame skipped");
    return s;
}

class PcapEncoder : public Encoder {
public:
    PcapEncoder(Format format, const WriteOptions &options) : ng_(format == Format::Pcapng), options_(options) {}

    bool begin(Output &out) override;
    bool write(Output &out, const Frame &f) override;
    bool flush(Output &) override { return true; }
    bool finish(Output &) override { return true; }

private:
    bool ng_;
    WriteOptions options_;
};

// An option of a pcapng block: code, length, value padded to 4 bytes.
void add_option(std::vector<uint8_t> *b, uint16_t code, const void *value, size_t len)
{
    const size_t at_byte = b->size();
    b->resize(at_byte + 4 + ((len + 3) & ~size_t{3}));
    (*b)[at_byte] = static_cast<uint8_t>(code);
    (*b)[at_byte + 1] = static_cast<uint8_t>(code >> 8);
    (*b)[at_byte + 2] = static_cast<uint8_t>(len);
    (*b)[at_byte + 3] = static_cast<uint8_t>(len >> 8);
    if (len > 0)
        std::memcpy(b->data() + at_byte + 4, value, len);
}

// Type and both lengths around a block's body (little-endian, as written).
bool put_block(Output &out, uint32_t type, std::vector<uint8_t> body)
{
    const uint32_t length = static_cast<uint32_t>(body.size() + 12);
    uint8_t h[8];
    put32(h, type);
    put32(h + 4, length);
    body.resize(body.size() + 4);
    put32(body.data() + body.size() - 4, length);
    return out.put(h, 8) && out.put(body.data(), body.size());
}

bool PcapEncoder::begin(Output &out)
{
    if (!ng_) {
        uint8_t h[24] = {};
        put32(h, kPcapMicro);
        h[4] = 2;  // version 2.4
        h[6] = 4;
        put32(h + 16, 262144);
        put32(h + 20, kLinkCan);
        return out.put(h, sizeof h);
    }
    std::vector<uint8_t> shb(16, 0);
    put32(shb.data(), kByteOrderMagic);
    shb[4] = 1;  // version 1.0
    std::memset(shb.data() + 8, 0xFF, 8);  // section length not given
    add_option(&shb, 4, "velk", 4);          // shb_userappl
    add_option(&shb, 0, nullptr, 0);
    if (!put_block(out, kShb, shb))
        return false;
    for (const std::string &name : options_.names) {
        std::vector<uint8_t> idb(8, 0);
        idb[0] = static_cast<uint8_t>(kLinkCan);
        put32(idb.data() + 4, 262144);
        add_option(&idb, 2, name.data(), name.size());  // if_name
        const uint8_t nanoseconds = 9;
        add_option(&idb, 9, &nanoseconds, 1);  // if_tsresol
        add_option(&idb, 0, nullptr, 0);
        if (!put_block(out, kIdb, idb))
            return false;
    }
    return true;
}

bool PcapEncoder::write(Output &out, const Frame &f)
{
    uint8_t p[kFdMtu] = {};
    const bool fd = f.fd && !f.error && !f.remote;
    uint32_t w;
    if (f.error) {
        w = kErr | kErrBusError;
        p[4] = 8;
    } else {
        w = (f.extended ? kEff | (f.id & 0x1FFFFFFF) : f.id & 0x7FF) | (f.remote ? kRtr : 0);
        p[4] = f.remote ? static_cast<uint8_t>(f.dlc > 8 ? 8 : f.dlc) : f.len;
        if (fd)
            p[5] = static_cast<uint8_t>(kFdf | (f.brs ? kBrs : 0) | (f.esi ? kEsi : 0));
        else if (f.dlc > 8)
            p[7] = f.dlc;
        if (!f.remote)
            std::memcpy(p + 8, f.data.data(), f.len > 64 ? 64 : f.len);
    }
    put32_big(p, w);
    const uint32_t size = fd ? kFdMtu : kClassicMtu;
    int64_t us = frame_us(f);
    if (us < 0)
        us = 0;
    if (!ng_) {
        uint8_t h[16];
        put32(h, static_cast<uint32_t>(us / 1000000));
        put32(h + 4, static_cast<uint32_t>(us % 1000000));
        put32(h + 8, size);
        put32(h + 12, size);
        return out.put(h, sizeof h) && out.put(p, size);
    }
    std::vector<uint8_t> epb(20 + size, 0);
    const uint64_t ns = static_cast<uint64_t>(us) * 1000;
    put32(epb.data(), f.channel == 1 ? 1 : 0);
    put32(epb.data() + 4, static_cast<uint32_t>(ns >> 32));
    put32(epb.data() + 8, static_cast<uint32_t>(ns));
    put32(epb.data() + 12, size);
    put32(epb.data() + 16, size);
    std::memcpy(epb.data() + 20, p, size);
    uint8_t flags[4];
    put32(flags, f.tx ? 2 : 1);
    add_option(&epb, 2, flags, 4);  // epb_flags: the direction
    add_option(&epb, 0, nullptr, 0);
    return put_block(out, kEpb, std::move(epb));
}

}  // namespace

std::unique_ptr<Decoder> pcap_decoder(FILE *file, const ReadOptions &)
{
    return std::make_unique<PcapDecoder>(file);
}

std::unique_ptr<Encoder> pcap_encoder(Format format, const WriteOptions &options)
{
    return std::make_unique<PcapEncoder>(format, options);
}

}  // namespace velk::trace::detail
