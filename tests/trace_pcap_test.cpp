// pcap and pcapng traces of SocketCAN frames: round trips, the files read
// by tshark and capinfos, files that Wireshark's tools and scapy write read
// by us, captures of other byte orders and resolutions built byte by byte,
// and damaged files that fail at their byte with every frame before them.
#include <gtest/gtest.h>

#include <cstdio>
#include <cctype>
#include <cstring>

#include "formats.h"
#include "tools_support.h"
#include "trace.h"

namespace {

using velk::test::Child;
using velk::test::data_hex;
using velk::test::frame_at;
using velk::test::lines_of;
using velk::test::read_file;
using velk::test::read_trace;
using velk::test::ScratchDir;
using velk::test::us_of;
using velk::test::write_file;
using velk::test::write_trace;
using velk::trace::Format;
using velk::trace::Frame;

constexpr int64_t kStartUs = 1699999999123456;

std::vector<Frame> sample_frames()
{
    return velk::test::every_kind_of_frame(kStartUs, 1000789);
}

// What pcap keeps: no channel (every frame on can0) and no direction.
Frame in_pcap(Frame f)
{
    f.channel = 0;
    f.tx = false;
    return f;
}

void expect_frames(const std::vector<Frame> &got, const std::vector<Frame> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(got[i] == want[i]) << "frame " << i << ": " << velk::trace::frame_text(got[i], true) << " ch "
                                       << got[i].channel << " tx " << got[i].tx << " at " << us_of(got[i])
                                       << ", want " << velk::trace::frame_text(want[i], true) << " ch "
                                       << want[i].channel << " tx " << want[i].tx << " at " << us_of(want[i]);
}

velk::test::TraceRead read_all(const std::string &path, Format format = Format::Pcapng)
{
    return velk::test::read_everything(path, format);
}

TEST(PcapFiles, FramesWrittenAndReadBackAreIdentical)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_trace(dir.path("t.pcapng"), Format::Pcapng, frames));
    ASSERT_TRUE(write_trace(dir.path("t.pcap"), Format::Pcap, frames));
    expect_frames(read_trace(dir.path("t.pcapng"), Format::Pcapng), frames);
    std::vector<Frame> flat;
    for (const Frame &f : frames)
        flat.push_back(in_pcap(f));
    expect_frames(read_trace(dir.path("t.pcap"), Format::Pcap), flat);
    // Either is read whatever its extension says.
    expect_frames(read_trace(dir.path("t.pcapng"), Format::Pcap), frames);
}

TEST(PcapFiles, WriterCountsItsBytesAndAFileWithoutFramesReadsAsNone)
{
    ScratchDir dir;
    for (const Format format : {Format::Pcapng, Format::Pcap}) {
        const std::string path = dir.path(format == Format::Pcap ? "t.pcap" : "t.pcapng");
        SCOPED_TRACE(path);
        velk::trace::Writer w;
        ASSERT_TRUE(w.open(path, format, {}));
        // The file header; pcapng's section header and an interface block per channel.
        EXPECT_EQ(w.bytes(), format == Format::Pcap ? 24u : 40u + 2 * 40u);
        ASSERT_TRUE(w.close());
        EXPECT_EQ(w.bytes(), read_file(path).size());
        const auto r = read_all(path);
        EXPECT_EQ(r.error, "");
        EXPECT_TRUE(r.frames.empty());
        ASSERT_TRUE(w.open(path, format, {}));
        for (const Frame &f : sample_frames())
            ASSERT_TRUE(w.write(f));
        ASSERT_TRUE(w.flush());
        EXPECT_EQ(w.bytes(), read_file(path).size());
        ASSERT_TRUE(w.close());
    }
}

TEST(PcapFiles, PacketsAreLaidOutAsTheKernelWritesThem)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_trace(dir.path("t.pcap"), Format::Pcap, frames));
    const std::string b = read_file(dir.path("t.pcap"));
    // Records: seven classic (16 + 16 bytes), four CAN FD (16 + 72).
    ASSERT_EQ(b.size(), 24u + 7 * (16 + 16) + 4 * (16 + 72));
    EXPECT_EQ(b.substr(0, 4), std::string("\xD4\xC3\xB2\xA1", 4));
    EXPECT_EQ(b[20], '\xE3');  // 227
    const size_t kAt[] = {24, 56, 88, 120, 152, 184, 272, 360, 448, 480};
    // The first packet: its length twice, the identifier word big-endian, length, padding to 16.
    EXPECT_EQ(b.substr(kAt[0] + 8, 8), std::string("\x10\x00\x00\x00\x10\x00\x00\x00", 8));
    EXPECT_EQ(b.substr(kAt[0] + 16, 16),
              std::string("\x00\x00\x01\x23\x04\x00\x00\x00\xDE\xAD\xBE\xEF\x00\x00\x00\x00", 16));
    // Extended with EFF set; remote with RTR and its DLC.
    EXPECT_EQ(b.substr(kAt[1] + 16, 5), std::string("\x9A\xBC\xDE\xF0\x02", 5));
    EXPECT_EQ(b.substr(kAt[2] + 16, 5), std::string("\x40\x00\x01\x23\x00", 5));
    EXPECT_EQ(b.substr(kAt[3] + 16, 5), std::string("\xC0\x00\x04\x56\x05", 5));
    // CAN FD: 72 bytes, FDF|BRS, FDF|ESI.
    EXPECT_EQ(b.substr(kAt[5] + 8, 4), std::string("\x48\x00\x00\x00", 4));
    EXPECT_EQ(b.substr(kAt[5] + 16, 8), std::string("\x9A\xBC\xDE\xF0\x40\x05\x00\x00", 8));
    EXPECT_EQ(b.substr(kAt[6] + 16, 8), std::string("\x00\x00\x01\x23\x00\x06\x00\x00", 8));
    EXPECT_EQ(b.substr(kAt[7] + 16, 8), std::string("\x00\x00\x00\x00\x0C\x07\x00\x00", 8));
    // The error frame: ERR and the bus-error class, 8 zero bytes.
    EXPECT_EQ(b.substr(kAt[8] + 16, 16), std::string("\x20\x00\x00\x80\x08\x00\x00\x00", 8) + std::string(8, '\0'));
    // A classic DLC above 8 in byte 7 (len8_dlc).
    EXPECT_EQ(b.substr(kAt[9] + 16, 8), std::string("\x00\x00\x03\x21\x08\x00\x00\x0C", 8));
}

std::string can_packet(uint32_t word, const std::string &data, bool word_big = true);

// tshark's fields of every packet, comma-separated. The heuristic
// dissectors that claim CAN payloads are off, so the data stays data.
std::vector<std::string> tshark_fields(const std::string &path)
{
    Child c;
    EXPECT_TRUE(velk::test::run(
        &c, {"tshark", "-r", path, "--disable-protocol", "autosar-nm", "-T", "fields", "-E", "separator=,", "-e",
             "frame.time_epoch", "-e", "frame.interface_name", "-e", "frame.packet_flags_direction", "-e",
             "frame.len", "-e", "can.id", "-e", "can.flags.xtd", "-e", "can.flags.rtr", "-e", "can.flags.err", "-e",
             "can.len", "-e", "canfd.flags.brs", "-e", "canfd.flags.esi", "-e", "data.data", "-e",
             "can.err.buserror"}));
    EXPECT_EQ(c.status(), 0) << c.err() << " (tshark missing? run scripts/setup)";
    return lines_of(c.out());
}

// The line tshark gives for a frame of ours: identifiers in decimal, the
// CAN FD flags only on CAN FD frames, a remote frame's DLC as zero bytes.
std::string tshark_line(const Frame &f, bool ng)
{
    char b[128];
    std::snprintf(b, sizeof b, "%lld.%06u000,%s,%s,%d", static_cast<long long>(f.sec), f.usec,
                  ng ? (f.channel == 1 ? "can1" : "can0") : "", ng ? (f.tx ? "0x00000002" : "0x00000001") : "",
                  f.fd ? 72 : 16);
    std::string s = b;
    if (f.error)
        return s + ",,,,1,8,,,,1";
    std::snprintf(b, sizeof b, ",%u,%d,%s,%s,%d,%s,%s,", f.id, f.extended, f.fd ? "" : f.remote ? "1" : "0",
                  f.fd ? "" : "0", f.remote ? f.dlc : f.len, f.fd ? (f.brs ? "1" : "0") : "",
                  f.fd ? (f.esi ? "1" : "0") : "");
    s += b;
    std::string data = f.remote ? std::string(2u * f.dlc, '0') : data_hex(f);
    for (char &c : data)
        c = static_cast<char>(std::tolower(c));
    return s + data + ",";
}

TEST(PcapInterop, TsharkReadsOurFilesAsWeWroteThem)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    for (const Format format : {Format::Pcapng, Format::Pcap}) {
        const bool ng = format == Format::Pcapng;
        const std::string path = dir.path(ng ? "t.pcapng" : "t.pcap");
        SCOPED_TRACE(path);
        ASSERT_TRUE(write_trace(path, format, frames));
        const auto got = tshark_fields(path);
        ASSERT_EQ(got.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(got[i], tshark_line(frames[i], ng)) << "frame " << i;
    }
}

TEST(PcapInterop, CapinfosSeesOneNamedInterfacePerChannelWithNanosecondTimesAndPcapInMicroseconds)
{
    ScratchDir dir;
    velk::trace::WriteOptions o;
    o.names[0] = "vcan7";
    o.names[1] = "bus_b";
    ASSERT_TRUE(write_trace(dir.path("t.pcapng"), Format::Pcapng, sample_frames(), o));
    Child c;
    ASSERT_TRUE(velk::test::run(&c, {"capinfos", "-M", dir.path("t.pcapng")}));
    ASSERT_EQ(c.status(), 0) << c.err();
    const std::string &out = c.out();
    for (const char *want : {"Number of packets:   11", "Number of interfaces in file: 2", "Name = vcan7",
                             "Name = bus_b", "Time precision = nanoseconds (9)",
                             "Encapsulation = SocketCAN (125 - socketcan)", "File encapsulation:  socketcan",
                             "Number of packets = 6", "Number of packets = 5"})
        EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    ASSERT_TRUE(write_trace(dir.path("t.pcap"), Format::Pcap, sample_frames(), o));
    Child p;
    ASSERT_TRUE(velk::test::run(&p, {"capinfos", "-M", dir.path("t.pcap")}));
    for (const char *want : {"File type:           pcap\n", "File encapsulation:  socketcan",
                             "File timestamp precision:  microseconds (6)", "Number of packets:   11"})
        EXPECT_NE(p.out().find(want), std::string::npos) << want << "\n" << p.out();
    const auto r = read_all(dir.path("t.pcapng"));
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.names.size(), 11u);
    EXPECT_EQ(r.names[0], "vcan7");
    EXPECT_EQ(r.names[1], "bus_b");
    EXPECT_EQ(r.frames[1].channel, -1);  // not in the default map: the caller maps the names
}

// Wireshark's own writers: editcap and tshark convert our files to pcap of
// micro- and nanosecond resolution and back to pcapng; text2pcap writes a
// file from a hex dump. Each reads back as the frames it holds.
TEST(PcapInterop, FilesWiresharkToolsWriteAreReadAsTheyHold)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_trace(dir.path("ours.pcapng"), Format::Pcapng, frames));
    std::vector<Frame> flat;
    for (const Frame &f : frames)
        flat.push_back(in_pcap(f));
    const struct {
        std::vector<std::string> args;
        const char *out;
        bool keeps_channels;
    } kCases[] = {
        {{"editcap", "-F", "pcap", dir.path("ours.pcapng"), dir.path("e.pcap")}, "e.pcap", false},
        {{"editcap", "-F", "nsecpcap", dir.path("ours.pcapng"), dir.path("n.pcap")}, "n.pcap", false},
        {{"tshark", "-r", dir.path("ours.pcapng"), "-F", "pcapng", "-w", dir.path("w.pcapng")}, "w.pcapng", true},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.out);
        Child child;
        ASSERT_TRUE(velk::test::run(&child, c.args));
        ASSERT_EQ(child.status(), 0) << child.err();
        const auto r = read_all(dir.path(c.out));
        EXPECT_EQ(r.error, "");
        // pcap has no direction or interfaces; nanosecond pcap keeps our microseconds.
        expect_frames(r.frames, c.keeps_channels ? frames : flat);
    }

    // text2pcap: packets as offsets and bytes, big-endian identifier words as
    // the kernel has them; the CAN FD one of 9 bytes, a length no frame has.
    std::string fd(72, '\0');
    fd.replace(0, 8, std::string("\x9A\xBC\xDE\xF0\x09\x05\x00\x00", 8));
    for (int i = 0; i < 9; ++i)
        fd[8 + static_cast<size_t>(i)] = static_cast<char>(i + 1);
    std::string dump;
    for (const std::string &packet : {can_packet(0x123, "\xDE\xAD\xBE\xEF"), fd}) {
        for (size_t i = 0; i < packet.size(); i += 16) {
            char line[24];
            std::snprintf(line, sizeof line, "%04zx ", i);
            dump += line;
            for (size_t k = i; k < i + 16 && k < packet.size(); ++k) {
                std::snprintf(line, sizeof line, " %02x", static_cast<uint8_t>(packet[k]));
                dump += line;
            }
            dump += "\n";
        }
    }
    ASSERT_TRUE(write_file(dir.path("dump.txt"), dump));
    for (const char *out : {"t2p.pcap", "t2p.pcapng"}) {
        SCOPED_TRACE(out);
        std::vector<std::string> args = {"text2pcap", "-q", "-l", "227"};
        if (std::string(out) == "t2p.pcapng")
            args.push_back("-n");
        args.push_back(dir.path("dump.txt"));
        args.push_back(dir.path(out));
        Child child;
        ASSERT_TRUE(velk::test::run(&child, args));
        ASSERT_EQ(child.status(), 0) << child.err();
        const auto r = read_all(dir.path(out));
        EXPECT_EQ(r.error, "");
        ASSERT_EQ(r.frames.size(), 2u);
        EXPECT_EQ(velk::trace::frame_text(r.frames[0], true), "123#DEADBEEF");
        EXPECT_EQ(velk::trace::frame_text(r.frames[1], true), "1ABCDEF0##1010203040506070809000000");
        EXPECT_TRUE(r.frames[1].fd && r.frames[1].brs && !r.frames[1].esi);
        EXPECT_EQ(r.frames[1].len, 12);  // 9 bytes given: padded to the next CAN FD length
    }
}

// ---- files built byte by byte: other byte orders, resolutions, damage ----

// Bytes of a capture in a chosen byte order.
class Bytes {
public:
    explicit Bytes(bool big) : big_(big) {}
    Bytes &u8(uint8_t v)
    {
        s_ += static_cast<char>(v);
        return *this;
    }
    Bytes &u16(uint16_t v) { return big_ ? u8(v >> 8).u8(v & 0xFF) : u8(v & 0xFF).u8(v >> 8); }
    Bytes &u32(uint32_t v)
    {
        return big_ ? u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v))
                    : u16(static_cast<uint16_t>(v)).u16(static_cast<uint16_t>(v >> 16));
    }
    Bytes &raw(const std::string &b)
    {
        s_ += b;
        return *this;
    }
    // A pcapng block around `body` (padded to 4 bytes).
    Bytes &block(uint32_t type, std::string body)
    {
        body.resize((body.size() + 3) & ~size_t{3}, '\0');
        const uint32_t len = static_cast<uint32_t>(body.size() + 12);
        return u32(type).u32(len).raw(body).u32(len);
    }
    Bytes sub() const { return Bytes(big_); }
    const std::string &str() const { return s_; }

private:
    bool big_;
    std::string s_;
};

// A classic SocketCAN frame: identifier word in the given order, length, data, padding.
std::string can_packet(uint32_t word, const std::string &data, bool word_big)
{
    Bytes b(word_big);
    b.u32(word).u8(static_cast<uint8_t>(data.size())).u8(0).u8(0).u8(0).raw(data);
    std::string s = b.str();
    s.resize(16, '\0');
    return s;
}

std::string shb(bool big)
{
    return Bytes(big).block(0x0A0D0D0A, Bytes(big).u32(0x1A2B3C4D).u16(1).u16(0).u32(0xFFFFFFFF).u32(0xFFFFFFFF).str())
        .str();
}

std::string idb(bool big, const std::string &name, int tsresol, uint16_t link = 227, int64_t tsoffset = 0)
{
    Bytes o(big);
    o.u16(link).u16(0).u32(0);
    std::string n = name;
    n.resize((n.size() + 3) & ~size_t{3}, '\0');
    o.u16(2).u16(static_cast<uint16_t>(name.size())).raw(n);
    if (tsresol >= 0)
        o.u16(9).u16(1).u8(static_cast<uint8_t>(tsresol)).u8(0).u8(0).u8(0);
    if (tsoffset != 0)
        o.u16(14).u16(8).u32(big ? static_cast<uint32_t>(tsoffset >> 32) : static_cast<uint32_t>(tsoffset))
            .u32(big ? static_cast<uint32_t>(tsoffset) : static_cast<uint32_t>(tsoffset >> 32));
    o.u16(0).u16(0);
    return Bytes(big).block(1, o.str()).str();
}

std::string epb(bool big, uint32_t itf, uint64_t ts, const std::string &packet, uint32_t flags = 0)
{
    Bytes b(big);
    b.u32(itf).u32(static_cast<uint32_t>(ts >> 32)).u32(static_cast<uint32_t>(ts));
    b.u32(static_cast<uint32_t>(packet.size())).u32(static_cast<uint32_t>(packet.size()));
    std::string p = packet;
    p.resize((p.size() + 3) & ~size_t{3}, '\0');
    b.raw(p);
    if (flags != 0)
        b.u16(2).u16(4).u32(flags);
    b.u16(0).u16(0);
    return Bytes(big).block(6, b.str()).str();
}

std::string pcap_header(bool big, bool nano)
{
    return Bytes(big).u32(nano ? 0xA1B23C4D : 0xA1B2C3D4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(227).str();
}

std::string pcap_record(bool big, uint32_t sec, uint32_t frac, const std::string &packet)
{
    return Bytes(big).u32(sec).u32(frac).u32(static_cast<uint32_t>(packet.size()))
        .u32(static_cast<uint32_t>(packet.size())).raw(packet).str();
}

TEST(PcapFiles, EitherByteOrderAndAnyTimeResolutionIsRead)
{
    ScratchDir dir;
    const std::string data = std::string("\x01\x02\x03", 3);
    for (const bool big : {false, true}) {
        SCOPED_TRACE(big ? "big-endian" : "little-endian");
        // Microseconds (no if_tsresol), 2^-20 s, milliseconds with an offset of 100 s, a
        // non-CAN interface between.
        const std::string f = shb(big) + idb(big, "left", -1) + idb(big, "eth0", 9, 1) +
                              idb(big, "right", 0x80 | 20) + idb(big, "late", 3, 227, 100) +
                              epb(big, 0, 1700000000123456ull, can_packet(0x123, data), 2) +
                              epb(big, 1, 5, std::string(60, 'x')) +
                              epb(big, 2, (1700000000ull << 20) | (1u << 19), can_packet(0x80012345, data), 1) +
                              epb(big, 3, 1700000000999ull, can_packet(0x7FF, ""));
        ASSERT_TRUE(write_file(dir.path("b.pcapng"), f));
        const auto r = read_all(dir.path("b.pcapng"));
        EXPECT_EQ(r.error, "");
        ASSERT_EQ(r.frames.size(), 3u);
        EXPECT_EQ(r.names, (std::vector<std::string>{"left", "right", "late"}));
        EXPECT_EQ(us_of(r.frames[0]), 1700000000123456);
        EXPECT_TRUE(r.frames[0].tx);
        EXPECT_EQ(velk::trace::frame_text(r.frames[0], true), "123#010203");
        EXPECT_EQ(us_of(r.frames[1]), 1700000000500000);
        EXPECT_FALSE(r.frames[1].tx);
        EXPECT_EQ(velk::trace::frame_text(r.frames[1], true), "00012345#010203");
        EXPECT_EQ(us_of(r.frames[2]), 1700000100999000);
        ASSERT_EQ(r.notices.size(), 1u);
        EXPECT_NE(r.notices[0].find("1 packets of other link types or protocols skipped"), std::string::npos)
            << r.notices[0];

        // A second section, of the other byte order, starts its interfaces afresh.
        const std::string two = f + shb(!big) + idb(!big, "other", 9) +
                                epb(!big, 0, 1700000002000000001ull, can_packet(0x321, data));
        ASSERT_TRUE(write_file(dir.path("two.pcapng"), two));
        const auto r2 = read_all(dir.path("two.pcapng"));
        EXPECT_EQ(r2.error, "");
        ASSERT_EQ(r2.frames.size(), 4u);
        EXPECT_EQ(r2.names[3], "other");
        EXPECT_EQ(us_of(r2.frames[3]), 1700000002000000);
        EXPECT_EQ(velk::trace::frame_text(r2.frames[3], true), "321#010203");

        const std::string p = pcap_header(big, true) + pcap_record(big, 1700000000, 123456789, can_packet(0x456, data));
        ASSERT_TRUE(write_file(dir.path("n.pcap"), p));
        const auto rp = read_all(dir.path("n.pcap"), Format::Pcap);
        EXPECT_EQ(rp.error, "");
        ASSERT_EQ(rp.frames.size(), 1u);
        EXPECT_EQ(us_of(rp.frames[0]), 1700000000123456);
        EXPECT_EQ(rp.names[0], "can0");
        // A microsecond field of a second or more carries into the seconds.
        const std::string m = pcap_header(big, false) + pcap_record(big, 1700000000, 1500000, can_packet(0x456, data));
        ASSERT_TRUE(write_file(dir.path("m.pcap"), m));
        const auto rm = read_all(dir.path("m.pcap"), Format::Pcap);
        ASSERT_EQ(rm.frames.size(), 1u);
        EXPECT_EQ(us_of(rm.frames[0]), 1700000001500000);
    }
}

// Some capture tools wrote the identifier word in the host's order; the
// first frame that reads sensibly only one way decides, and it is said once.
TEST(PcapFiles, LittleEndianIdentifierWordsAreDetectedAndSaidOnce)
{
    ScratchDir dir;
    const std::string d = "\xAA";
    const std::string p = pcap_header(false, false) + pcap_record(false, 1, 0, can_packet(0x123, d, false)) +
                          pcap_record(false, 2, 0, can_packet(0x80000000 | 0x18DAF110, d, false)) +
                          pcap_record(false, 3, 0, can_packet(0x20000004, std::string(8, '\0'), false));
    ASSERT_TRUE(write_file(dir.path("le.pcap"), p));
    const auto r = read_all(dir.path("le.pcap"), Format::Pcap);
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.frames.size(), 3u);
    EXPECT_EQ(velk::trace::frame_text(r.frames[0], true), "123#AA");
    EXPECT_EQ(velk::trace::frame_text(r.frames[1], true), "18DAF110#AA");
    EXPECT_TRUE(r.frames[2].error);
    ASSERT_EQ(r.notices.size(), 1u);
    EXPECT_EQ(r.notices[0],
              dir.path("le.pcap") +
                  ": identifier words are little-endian (as some capture tools wrote them); read as such");

    // scapy writes them so when told to swap the bytes, as those tools did.
    Child py;
    ASSERT_TRUE(velk::test::run(
        &py, {VELK_PYTHON3, "-c",
              "import sys\n"
              "from scapy.config import conf\n"
              "from scapy.layers.can import CAN\n"
              "from scapy.utils import PcapWriter\n"
              "conf.contribs['CAN']['swap-bytes'] = True\n"
              "w = PcapWriter(sys.argv[1], linktype=227)\n"
              "for i, (ident, flags, data) in enumerate([(0x123, 0, b'\\x01\\x02'), (0x18DAF110, 4, b'\\x03')]):\n"
              "    p = CAN(identifier=ident, flags=flags, length=len(data), data=data)\n"
              "    p.time = 1700000000 + i\n"
              "    w.write(p)\n"
              "w.close()\n",
              dir.path("scapy.pcap")}));
    ASSERT_EQ(py.status(), 0) << py.err() << " (python3-scapy missing? run scripts/setup)";
    const auto s = read_all(dir.path("scapy.pcap"), Format::Pcap);
    EXPECT_EQ(s.error, "");
    ASSERT_EQ(s.frames.size(), 2u);
    EXPECT_EQ(velk::trace::frame_text(s.frames[0], true), "123#0102");
    EXPECT_EQ(velk::trace::frame_text(s.frames[1], true), "18DAF110#03");
    EXPECT_EQ(us_of(s.frames[1]), 1700000001000000);
    EXPECT_EQ(s.notices.size(), 1u);
}

// scapy's writers, an implementation of their own, in either byte order.
TEST(PcapInterop, FilesScapyWritesAreReadAsTheyHold)
{
    ScratchDir dir;
    Child py;
    ASSERT_TRUE(velk::test::run(
        &py, {VELK_PYTHON3, "-c",
              "import sys\n"
              "from scapy.layers.can import CAN\n"
              "from scapy.utils import PcapWriter, PcapNgWriter\n"
              "ps = [CAN(identifier=0x7E0, length=8, data=bytes(range(8))),\n"
              "      CAN(identifier=0x1FFFFFFF, flags='extended', length=0, data=b''),\n"
              "      CAN(identifier=0x100, flags='remote_transmission_request', length=3, data=b'')]\n"
              "for i, p in enumerate(ps):\n"
              "    p.time = 1700000000.25 + i\n"
              "for name, w in (('le.pcap', PcapWriter(sys.argv[1] + '/le.pcap', linktype=227)),\n"
              "                ('be.pcap', PcapWriter(sys.argv[1] + '/be.pcap', linktype=227, endianness='>')),\n"
              "                ('s.pcapng', PcapNgWriter(sys.argv[1] + '/s.pcapng'))):\n"
              "    for p in ps:\n"
              "        w.write(p)\n"
              "    w.close()\n",
              dir.path("")}));
    ASSERT_EQ(py.status(), 0) << py.err() << " (python3-scapy missing? run scripts/setup)";
    for (const char *name : {"le.pcap", "be.pcap"}) {
        SCOPED_TRACE(name);
        const auto r = read_all(dir.path(name), Format::Pcap);
        EXPECT_EQ(r.error, "");
        ASSERT_EQ(r.frames.size(), 3u);
        EXPECT_EQ(velk::trace::frame_text(r.frames[0], true), "7E0#0001020304050607");
        EXPECT_EQ(velk::trace::frame_text(r.frames[1], true), "1FFFFFFF#");
        EXPECT_EQ(velk::trace::frame_text(r.frames[2], true), "100#R3");
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(us_of(r.frames[static_cast<size_t>(i)]), 1700000000250000 + int64_t{i} * 1000000);
        EXPECT_TRUE(r.notices.empty());
    }
    // scapy 2.5's pcapng writer gives every interface link type 1 (Ethernet),
    // whatever its packets are: the file is wrong, not our reading of it. Its
    // packets are skipped and counted, as tshark shows them as Ethernet.
    const auto ng = read_all(dir.path("s.pcapng"));
    EXPECT_EQ(ng.error, "");
    EXPECT_TRUE(ng.frames.empty());
    EXPECT_EQ(ng.notices,
              std::vector<std::string>{dir.path("s.pcapng") + ": 3 packets of other link types or protocols skipped"});
}

// A cooked header (Linux "any" interface): SLL with packet type, address
// and protocol; SLL2 with protocol first. Identifier words in host order.
std::string sll(bool v2, uint16_t protocol, uint8_t type, const std::string &payload)
{
    Bytes b(true);
    if (v2)
        b.u16(protocol).u16(0).u32(3).u16(280).u8(type).u8(0).raw(std::string(8, '\0'));
    else
        b.u16(type).u16(280).u16(0).raw(std::string(8, '\0')).u16(protocol);
    return b.raw(payload).str();
}

TEST(PcapFiles, CookedCapturesOfTheAnyInterfaceAreRead)
{
    ScratchDir dir;
    // BRS without FDF, as older kernels wrote them: the protocol says CAN FD.
    std::string fd = Bytes(false).u32(0x80012345).u8(12).u8(0x01).u16(0).raw(std::string(12, '\x5A')).str();
    fd.resize(72, '\0');
    for (const bool v2 : {false, true}) {
        SCOPED_TRACE(v2 ? "SLL2" : "SLL");
        const uint32_t link = v2 ? 276 : 113;
        std::string p = Bytes(false).u32(0xA1B2C3D4).u16(2).u16(4).u32(0).u32(0).u32(65535).u32(link).str();
        p += pcap_record(false, 1700000000, 1, sll(v2, 0x000C, 4, can_packet(0x123, "\x01\x02", false)));
        p += pcap_record(false, 1700000000, 2, sll(v2, 0x0800, 0, std::string(20, 'x')));
        p += pcap_record(false, 1700000000, 3, sll(v2, 0x000D, 0, fd));
        ASSERT_TRUE(write_file(dir.path("any.pcap"), p));
        const auto r = read_all(dir.path("any.pcap"), Format::Pcap);
        EXPECT_EQ(r.error, "");
        ASSERT_EQ(r.frames.size(), 2u);
        EXPECT_EQ(velk::trace::frame_text(r.frames[0], true), "123#0102");
        EXPECT_TRUE(r.frames[0].tx);
        EXPECT_EQ(velk::trace::frame_text(r.frames[1], true), "00012345##15A5A5A5A5A5A5A5A5A5A5A5A");
        EXPECT_FALSE(r.frames[1].tx);
        EXPECT_EQ(us_of(r.frames[1]), 1700000000000003);
        EXPECT_EQ(r.notices, std::vector<std::string>{dir.path("any.pcap") +
                                                      ": 1 packets of other link types or protocols skipped"});
        // tshark takes the same frames from the same bytes.
        Child c;
        ASSERT_TRUE(velk::test::run(&c, {"tshark", "-r", dir.path("any.pcap"), "-T", "fields", "-E", "separator=,",
                                         "-e", "can.id", "-e", "can.len", "-e", "canfd.flags.brs"}));
        EXPECT_EQ(lines_of(c.out()), (std::vector<std::string>{"291,2,", ",,", "74565,12,1"})) << c.err();
    }
}

TEST(PcapFiles, DamagedFilesFailAtTheirByteAfterEveryFrameBefore)
{
    ScratchDir dir;
    const std::string d = "\x11\x22";
    const std::string head = shb(false) + idb(false, "can0", 9);
    const std::string one = epb(false, 0, 1000, can_packet(0x100, d));
    const size_t at2 = head.size() + one.size();
    const std::string ok = head + one + one;
    const std::string p1 = pcap_header(false, false) + pcap_record(false, 1, 0, can_packet(0x100, d));
    const auto n = [](size_t v) { return std::to_string(v); };
    std::string lying_lengths = ok;
    lying_lengths[at2 + lying_lengths.size() - at2 - 1] = 'x';
    std::string huge = ok;
    huge.replace(at2 + 4, 4, std::string("\xF0\xFF\xFF\xFF", 4));
    std::string past = ok;
    past.replace(at2 + 4, 4, std::string("\x00\x01\x00\x00", 4));
    std::string no_itf = ok;
    no_itf[at2 + 8] = 3;
    std::string pcap_huge = p1 + p1.substr(24);
    pcap_huge.replace(24 + 32 + 8, 4, std::string("\xFF\xFF\xFF\xFF", 4));
    const struct {
        const char *name;
        std::string bytes;
        size_t frames;
        std::string error;
    } kCases[] = {
        {"empty", "", 0, "at byte 0: empty file, not a pcap or pcapng file"},
        {"wrong magic", "GIF89a....", 0, "at byte 0: not a pcap or pcapng file (magic 47 49 46 38)"},
        {"cut in the section header", ok.substr(0, 10), 0, "at byte 0: the file ends inside a section header block"},
        {"cut in a block header", ok.substr(0, at2 + 5), 1,
         "at byte " + n(at2) + ": the file ends inside a block header"},
        {"cut in a block", ok.substr(0, at2 + 30), 1,
         "at byte " + n(at2) + ": block of " + n(one.size()) + " bytes runs past the end of the file (30 bytes left)"},
        {"lengths differ", lying_lengths, 1, "at byte " + n(at2) + ": the block's two lengths differ"},
        {"4 GB block", huge, 1,
         "at byte " + n(at2) + ": block of 4294967280 bytes runs past the end of the file (" + n(one.size()) +
             " bytes left)"},
        {"block past the end", past, 1,
         "at byte " + n(at2) + ": block of 256 bytes runs past the end of the file (" + n(one.size()) + " bytes left)"},
        {"unknown interface", no_itf, 1,
         "at byte " + n(at2) + ": packet on interface 3, which no interface block describes"},
        {"pcap cut in a header", p1 + p1.substr(24, 10), 1, "at byte 56: the file ends inside a packet header"},
        {"pcap cut in a packet", p1 + p1.substr(24, 20), 1,
         "at byte 56: packet of 16 bytes runs past the end of the file (4 bytes left)"},
        {"pcap packet past the end", pcap_huge, 1,
         "at byte 56: packet of 4294967295 bytes runs past the end of the file (16 bytes left)"},
        {"pcap of Ethernet", pcap_header(false, false).substr(0, 20) + std::string("\x01\x00\x00\x00", 4), 0,
         "at byte 20: link type 1, which holds no CAN frames (227, 113 or 276 do)"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.name);
        velk::test::expect_read_fails(dir.path("bad.pcapng"), Format::Pcapng, c.bytes, c.frames, c.error);
    }
    // Through a pipe the size is not known: the same file fails where its bytes end.
    ASSERT_TRUE(write_file(dir.path("cut.pcapng"), ok.substr(0, at2 + 30)));
    FILE *pipe = popen(("cat '" + dir.path("cut.pcapng") + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    auto decoder = velk::trace::detail::make_decoder(Format::Pcapng, pipe, {});
    Frame f;
    std::string name, why;
    EXPECT_EQ(decoder->next(&f, &name, &why), 1);
    EXPECT_EQ(decoder->next(&f, &name, &why), -1);
    EXPECT_EQ(why, "at byte " + n(at2) + ": the file ends inside a block");
    pclose(pipe);
}

}  // namespace
