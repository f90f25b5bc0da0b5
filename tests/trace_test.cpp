// Trace files: round trips in the three formats, the frame text, readers
// that name the bad line, and the files read by can-utils and python-can.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <sys/stat.h>
#include <unistd.h>

#include "adapter_time.h"
#include "tools_support.h"
#include "trace.h"

namespace {

using velk::test::Child;
using velk::test::lines_of;
using velk::test::read_file;
using velk::test::read_trace;
using velk::test::us_of;
using velk::test::ScratchDir;
using velk::test::write_file;
using velk::trace::Format;
using velk::trace::Frame;
using velk::trace::TimeSource;

constexpr int64_t kStartUs = 1699999999123000;  // a whole millisecond: ASC times count from it

Frame make(int i, int channel, const char *text, bool tx = false)
{
    Frame f;
    std::string why;
    EXPECT_TRUE(velk::trace::parse_frame_text(text, &f, &why)) << text << ": " << why;
    const int64_t us = kStartUs + 456 + int64_t{i} * 1111;
    f.sec = us / 1000000;
    f.usec = static_cast<uint32_t>(us % 1000000);
    f.channel = channel;
    f.tx = tx;
    return f;
}

std::string fd64()
{
    std::string s = "1ABCDEF0##1";
    for (int i = 0; i < 64; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", (i * 7) & 0xFF);
        s += b;
    }
    return s;
}

// Classic, extended, remote, CAN FD with BRS/ESI, 0 and 64 bytes, an error frame.
std::vector<Frame> sample_frames()
{
    std::vector<Frame> v = {
        make(0, 0, "123#DEADBEEF"),         make(1, 1, "1ABCDEF0#0011", true), make(2, 0, "123#R"),
        make(3, 1, "00000456#R5"),          make(4, 0, "7FF#"),                make(5, 1, fd64().c_str()),
        make(6, 0, "123##2"),               make(7, 0, "000##3001122334455667788990011", true),
        make(8, 1, "20000080#0000000000000000"),
    };
    v[1].source = TimeSource::Adapter;
    v[1].has_adapter_time = true;
    v[1].adapter_sec = 16;
    v[1].adapter_usec = 500000;
    v[2].source = TimeSource::Host;
    return v;
}

// What a format keeps of a frame: only CSV says where the time came from.
Frame kept(Frame f, Format format)
{
    if (format != Format::Csv) {
        f.source = TimeSource::Unknown;
        f.has_adapter_time = false;
        f.adapter_sec = f.adapter_usec = 0;
    }
    return f;
}

bool write_all(const std::string &path, Format format, const std::vector<Frame> &frames,
               velk::trace::WriteOptions o = {})
{
    velk::trace::Writer w;
    if (o.start_us < 0)
        o.start_us = kStartUs;
    if (!w.open(path, format, o))
        return false;
    for (const Frame &f : frames)
        if (!w.write(f))
            return false;
    return w.close();
}

int64_t rel_us(const Frame &f, const Frame &first)
{
    return (f.sec - first.sec) * 1000000 + f.usec - first.usec;
}

// The frames of two lists are the same but for where their times start.
void expect_same_relative(const std::vector<Frame> &got, const std::vector<Frame> &want, Format format)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        Frame g = got[i], w = kept(want[i], format);
        EXPECT_EQ(rel_us(g, got[0]), rel_us(w, want[0])) << "frame " << i;
        g.sec = w.sec;
        g.usec = w.usec;
        EXPECT_TRUE(g == w) << "frame " << i << ": " << velk::trace::frame_text(g, true) << " vs "
                            << velk::trace::frame_text(w, true);
    }
}

struct FormatCase {
    Format format;
    const char *file;
};
constexpr FormatCase kFormats[] = {{Format::CandumpLog, "t.log"}, {Format::Asc, "t.asc"}, {Format::Csv, "t.csv"}};

TEST(TraceFiles, FramesWrittenAndReadBackAreIdenticalInEveryFormat)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    for (const FormatCase &c : kFormats) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(write_all(dir.path(c.file), c.format, frames));
        std::string err;
        const auto got = read_trace(dir.path(c.file), c.format, &err);
        EXPECT_EQ(err, "");
        ASSERT_EQ(got.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i)
            EXPECT_TRUE(got[i] == kept(frames[i], c.format))
                << "frame " << i << " " << velk::trace::frame_text(got[i], true);
    }
}

// Text traces compressed by suffix read back as they went in, and gzip's
// and zstd's own programs inflate them to the very bytes of the plain file.
TEST(TraceFiles, CompressedTextTracesReadBackAndInflateWithTheSystemTools)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    velk::trace::WriteOptions o;
    o.start_us = kStartUs;
    for (const FormatCase &c : kFormats) {
        ASSERT_TRUE(write_all(dir.path(c.file), c.format, frames, o));
        for (const char *suffix : {".gz", ".zst"}) {
            const std::string packed = dir.path(std::string(c.file) + suffix);
            SCOPED_TRACE(packed);
            Format f;
            ASSERT_TRUE(velk::trace::format_of(packed, &f));
            EXPECT_EQ(f, c.format);
            ASSERT_TRUE(write_all(packed, c.format, frames, o));
            std::string err;
            const auto got = read_trace(packed, c.format, &err);
            EXPECT_EQ(err, "");
            ASSERT_EQ(got.size(), frames.size());
            for (size_t i = 0; i < frames.size(); ++i)
                EXPECT_TRUE(got[i] == kept(frames[i], c.format)) << "frame " << i;
            Child tool;
            ASSERT_TRUE(velk::test::run(&tool, {std::string(suffix) == ".gz" ? "/usr/bin/gzip" : "/usr/bin/zstd",
                                                "-dc", packed}));
            EXPECT_EQ(tool.status(), 0) << tool.err();
            EXPECT_TRUE(tool.out() == read_file(dir.path(c.file))) << "inflated text differs from the plain file";
        }
    }
    Format f;
    EXPECT_FALSE(velk::trace::format_of("run.blf.gz", &f)) << "BLF compresses inside the format";
    velk::trace::Writer w;
    EXPECT_FALSE(w.open(dir.path("x.blf.zst"), Format::Blf, {}));
}

// A writer killed at any moment leaves a file that reads up to its last
// flush: the text reaches the file in whole lines, a compressed stream gets a
// sync point at each flush; what comes after the cut is left out and said.
TEST(TraceFiles, AFileCutShortReadsUpToTheCutAndSaysSo)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    for (const char *name : {"cut.log", "cut.log.gz", "cut.asc.zst", "cut.blf"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.path(name);
        Format format;
        ASSERT_TRUE(velk::trace::format_of(path, &format));
        velk::trace::Writer w;
        ASSERT_TRUE(w.open(path, format, {}));
        for (size_t i = 0; i < 5; ++i)
            ASSERT_TRUE(w.write(frames[i]));
        ASSERT_TRUE(w.flush());
        const std::string flushed = read_file(path);
        for (size_t i = 5; i < frames.size(); ++i)
            ASSERT_TRUE(w.write(frames[i]));
        ASSERT_TRUE(w.close());
        // What a kill leaves: everything up to the flush (a BLF header as
        // the flush left it), and a few bytes more of a line, a stream or a
        // container cut in the middle.
        const std::string whole = read_file(path);
        ASSERT_GT(whole.size(), flushed.size() + 3);
        ASSERT_TRUE(write_file(path, flushed + whole.substr(flushed.size(), 3)));
        std::vector<std::string> notices;
        velk::trace::ReadOptions ro;
        ro.notice = [&](const std::string &text) { notices.push_back(text); };
        velk::trace::Reader r;
        ASSERT_TRUE(r.open(path, format, ro));
        Frame f;
        size_t n = 0;
        int got;
        for (; (got = r.next(&f)) > 0; ++n)
            EXPECT_TRUE(n < 5 && f == kept(frames[n], format)) << "frame " << n;
        EXPECT_EQ(got, 0) << r.error();
        EXPECT_EQ(n, 5u);
        ASSERT_FALSE(notices.empty());
        EXPECT_TRUE(notices[0].find("cut short") != std::string::npos ||
                    notices[0].find("ends early") != std::string::npos)
            << notices[0];
    }
    // A damaged compressed stream is an error with its place, not an end.
    ASSERT_TRUE(write_file(dir.path("bad.log.gz"), std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03garbage!", 18)));
    velk::trace::Reader r;
    ASSERT_TRUE(r.open(dir.path("bad.log.gz"), Format::CandumpLog, {}));
    Frame f;
    EXPECT_EQ(r.next(&f), -1);
    EXPECT_NE(r.error().find("damaged gzip data"), std::string::npos) << r.error();
}

// A recording in pieces: each a complete file of its format, named with a
// counter before the extension; every frame in exactly one piece, in order;
// a ring keeps the newest.
TEST(TraceFiles, SplitRecordingsKeepEveryFrameInExactlyOnePiece)
{
    EXPECT_EQ(velk::trace::piece_path("/a.b/run.log.zst", 7), "/a.b/run-0007.log.zst");
    EXPECT_EQ(velk::trace::piece_path("run.blf", 12), "run-0012.blf");
    EXPECT_EQ(velk::trace::piece_path("/x.y/run", 1), "/x.y/run-0001");
    ScratchDir dir;
    std::vector<Frame> frames;
    for (int i = 0; i < 600; ++i) {
        Frame f = sample_frames()[static_cast<size_t>(i) % 5];
        const int64_t us = kStartUs + int64_t{i} * 100000;  // one every 100 ms: 60 s
        f.sec = us / 1000000;
        f.usec = static_cast<uint32_t>(us % 1000000);
        f.id = static_cast<uint32_t>(i) & 0x7FF;
        f.extended = false;
        f.source = TimeSource::Unknown;
        f.has_adapter_time = false;
        f.adapter_sec = f.adapter_usec = 0;
        frames.push_back(f);
    }
    struct Case {
        const char *file;
        velk::trace::SplitOptions split;
        int pieces;  // begun
        int kept;    // left on disk
    };
    const Case cases[] = {
        {"time.log", {0, 10000000, 0}, 6, 6},      // 10 s each
        {"size.asc.gz", {1500, 0, 0}, 0, 0},       // by size: counted below
        {"ring.csv.zst", {0, 5000000, 3}, 12, 3},  // 5 s each, the newest 3 kept
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string base = dir.path(c.file);
        Format format;
        ASSERT_TRUE(velk::trace::format_of(base, &format));
        velk::trace::SplitWriter w;
        std::vector<std::string> begun;
        w.on_piece = [&](const std::string &p) { begun.push_back(p); };
        ASSERT_TRUE(w.open(base, format, {}, c.split)) << w.error();
        for (const Frame &f : frames)
            ASSERT_TRUE(w.write(f)) << w.error();
        ASSERT_TRUE(w.close());
        if (c.pieces > 0)
            EXPECT_EQ(static_cast<int>(begun.size()), c.pieces);
        else
            EXPECT_GE(begun.size(), 3u);
        std::vector<Frame> all;
        int on_disk = 0;
        for (size_t k = 0; k < begun.size(); ++k) {
            EXPECT_EQ(begun[k], velk::trace::piece_path(base, static_cast<int>(k) + 1));
            struct stat st;
            if (stat(begun[k].c_str(), &st) != 0)
                continue;
            ++on_disk;
            if (c.split.max_bytes > 0 && k + 1 < begun.size()) {
                // Past the size by at most what a frame and a compressor's sync hold.
                EXPECT_LT(static_cast<uint64_t>(st.st_size), c.split.max_bytes + 1000) << begun[k];
            }
            std::string err;
            const auto piece = read_trace(begun[k], format, &err);
            EXPECT_EQ(err, "") << begun[k];
            all.insert(all.end(), piece.begin(), piece.end());
        }
        EXPECT_EQ(on_disk, c.kept > 0 ? c.kept : static_cast<int>(begun.size()));
        // Every frame of the pieces kept, once, in order: the tail of the stream.
        ASSERT_LE(all.size(), frames.size());
        const size_t skip = frames.size() - all.size();
        if (c.kept == 0 || c.kept == c.pieces) {
            EXPECT_EQ(skip, 0u);
        }
        for (size_t i = 0; i < all.size(); ++i)
            EXPECT_TRUE(all[i] == kept(frames[skip + i], format)) << "frame " << skip + i;
    }
}

// The library's record of a frame to send reads back as the same frame:
// what the transmit list, the tools and the network server send.
TEST(TraceFiles, AFrameAndItsLibraryRecordConvertBothWays)
{
    for (const Frame &f : sample_frames()) {
        if (f.error)
            continue;
        const CAN_FRAME_INFO r = velk::trace::record_of(f);
        EXPECT_EQ(r.CAN_port, f.channel);
        Frame back = velk::trace::frame_of(r);
        // A record carries neither time nor direction.
        Frame want = kept(f, Format::CandumpLog);
        want.sec = 0;
        want.usec = 0;
        want.tx = false;
        EXPECT_TRUE(back == want) << velk::trace::frame_text(f, true) << " came back as "
                                  << velk::trace::frame_text(back, true);
    }
    Frame wide;
    wide.id = 0x1FFFFFFF;
    EXPECT_EQ(velk::trace::record_of(wide).id, 0x7FFu) << "a standard identifier keeps its 11 bits";
}

TEST(TraceFiles, WriterCountsTheBytesOfTheFileAndNoticesItRemoved)
{
    ScratchDir dir;
    for (const FormatCase &c : kFormats) {
        SCOPED_TRACE(c.file);
        velk::trace::Writer w;
        ASSERT_TRUE(w.open(dir.path(c.file), c.format, {}));
        for (const Frame &f : sample_frames())
            ASSERT_TRUE(w.write(f));
        EXPECT_TRUE(w.still_at_path());
        ASSERT_TRUE(w.close());
        struct stat st;
        ASSERT_EQ(stat(dir.path(c.file).c_str(), &st), 0);
        EXPECT_EQ(w.bytes(), static_cast<uint64_t>(st.st_size));
    }
    velk::trace::Writer w;
    ASSERT_TRUE(w.open(dir.path("gone.log"), Format::CandumpLog, {}));
    ASSERT_EQ(unlink(dir.path("gone.log").c_str()), 0);
    EXPECT_FALSE(w.still_at_path());
    EXPECT_NE(w.error().find("gone.log was removed"), std::string::npos) << w.error();
    EXPECT_FALSE(w.write(sample_frames()[0]));
    EXPECT_FALSE(w.close());
}

// The library's time of day of a record received at wall-clock `us`.
std::string time_of_day(int64_t us)
{
    const time_t t = static_cast<time_t>(us / 1000000);
    struct tm tm;
    localtime_r(&t, &tm);
    char b[32];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d:%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(us % 1000000 / 1000));
    return b;
}

// Frames caused at known host times, stamped by an adapter clock that runs
// slow or fast and jumps ahead and back, received after a varying delay;
// every seventh carries only the host's time of day. Each mapped time lies
// between its cause and its receive, and none goes backwards.
TEST(TraceFiles, AdapterClockKeepsEveryTimeBetweenItsCauseAndItsReceive)
{
    for (const int ppm : {-1500, 0, 1500}) {
        SCOPED_TRACE(ppm);
        velk::trace::AdapterClock clock;
        const int64_t w0 = int64_t{time(nullptr)} * 1000000 + 123457;
        int64_t jump = 0, last = 0;
        uint32_t rng = 12345;
        int before_cause = 0, after_receive = 0, backwards = 0, adapter = 0;
        for (int i = 0; i < 6000; ++i) {
            rng ^= rng << 13;
            rng ^= rng >> 17;
            rng ^= rng << 5;
            if (i == 2000)
                jump += 3000000;
            if (i == 4000)
                jump -= 5000000;
            const int64_t cause = w0 + i * 10000LL + rng % 997;
            const int64_t on_bus = cause + 150;
            const int64_t a = 1000000 + (on_bus - w0) + (on_bus - w0) * ppm / 1000000 + jump;
            const int64_t received = on_bus + 100 + rng % 8000;
            const int64_t now = received + (rng >> 8) % 2000;
            const TIME_ST_T ts = i % 7 == 3 ? TIME_ST_T{0, 0}
                                            : TIME_ST_T{static_cast<uint32_t>(a / 1000000),
                                                        static_cast<uint32_t>(a % 1000000)};
            Frame f;
            clock.stamp(ts, time_of_day(received).c_str(), &f, now);
            const int64_t t = us_of(f);
            adapter += f.source == TimeSource::Adapter;
            before_cause += t < cause;
            after_receive += t > now;
            backwards += i > 0 && t < last;
            last = t;
        }
        EXPECT_EQ(adapter, 6000 - 857);
        EXPECT_EQ(before_cause, 0);
        EXPECT_EQ(after_receive, 0);
        EXPECT_EQ(backwards, 0);
    }
}

TEST(TraceFiles, LinesAreLaidOutAsTheFieldsToolsWriteThem)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    velk::trace::WriteOptions o;
    o.time_note = "times: adapter";
    ASSERT_TRUE(write_all(dir.path("t.log"), Format::CandumpLog, frames));
    ASSERT_TRUE(write_all(dir.path("t.asc"), Format::Asc, frames, o));
    ASSERT_TRUE(write_all(dir.path("t.csv"), Format::Csv, frames));
    const auto log = lines_of(read_file(dir.path("t.log")));
    EXPECT_EQ(log[0], "(1699999999.123456) can0 123#DEADBEEF");
    EXPECT_EQ(log[1], "(1699999999.124567) can1 1ABCDEF0#0011 T");
    EXPECT_EQ(log[3], "(1699999999.126789) can1 00000456#R5");
    EXPECT_EQ(log[6], "(1699999999.130122) can0 123##2");
    EXPECT_EQ(log[8], "(1699999999.132344) can1 20000080#0000000000000000");
    const auto asc = lines_of(read_file(dir.path("t.asc")));
    EXPECT_EQ(asc[1], "base hex  timestamps absolute");
    EXPECT_EQ(asc[2], "// times: adapter");
    EXPECT_EQ(asc[3], "internal events logged");
    EXPECT_EQ(asc[4].rfind("Begin Triggerblock ", 0), 0u);
    EXPECT_EQ(asc[6], "   0.000456 1  123             Rx   d 4 DE AD BE EF");
    EXPECT_EQ(asc[8], "   0.002678 1  123             Rx   r 0");
    EXPECT_EQ(asc[12], "   0.007122 CANFD   1 Rx        123                                   0 1 0  0  "
                       "       0    0     5000        0        0        0        0        0");
    EXPECT_EQ(asc[14], "   0.009344 2  ErrorFrame");
    EXPECT_EQ(asc.back(), "End TriggerBlock");
    const auto csv = lines_of(read_file(dir.path("t.csv")));
    EXPECT_EQ(csv[0], "time,time_source,adapter_time,channel,direction,id,extended,remote,fd,brs,esi,error,dlc,"
                      "length,data");
    EXPECT_EQ(csv[2], "1699999999.124567,adapter,16.500000,CAN2,Tx,0x1ABCDEF0,1,0,0,0,0,0,2,2,00 11");
    EXPECT_EQ(csv[3], "1699999999.125678,host,,CAN1,Rx,0x123,0,1,0,0,0,0,0,0,");
}

TEST(TraceFiles, ClassicDlcAboveEightTravelsWhereTheFormatCarriesIt)
{
    ScratchDir dir;
    const std::vector<Frame> frames = {make(0, 0, "123#1122334455667788_C")};
    ASSERT_EQ(frames[0].dlc, 12);
    velk::trace::WriteOptions len8;
    len8.len8_dlc = true;
    ASSERT_TRUE(write_all(dir.path("a.log"), Format::CandumpLog, frames, len8));
    EXPECT_EQ(read_trace(dir.path("a.log"), Format::CandumpLog)[0].dlc, 12);
    ASSERT_TRUE(write_all(dir.path("t.csv"), Format::Csv, frames));
    EXPECT_EQ(read_trace(dir.path("t.csv"), Format::Csv)[0].dlc, 12);
    // Without -8 and in ASC the frame is 8 bytes with DLC 8, as older readers need.
    for (const auto &[name, format] : {std::pair{"b.log", Format::CandumpLog}, std::pair{"t.asc", Format::Asc}}) {
        ASSERT_TRUE(write_all(dir.path(name), format, frames));
        const auto got = read_trace(dir.path(name), format);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dlc, 8) << name;
        EXPECT_EQ(got[0].len, 8) << name;
    }
}

TEST(FrameText, CansendFormsAreParsed)
{
    struct Case {
        const char *text;
        uint32_t id;
        bool extended, remote, fd, brs, esi;
        int dlc, len;
    };
    const Case cases[] = {
        {"123#DEADBEEF", 0x123, false, false, false, false, false, 4, 4},
        {"1ABCDEF0#00.11.22", 0x1ABCDEF0, true, false, false, false, false, 3, 3},
        {"7FF#", 0x7FF, false, false, false, false, false, 0, 0},
        {"123#R", 0x123, false, true, false, false, false, 0, 0},
        {"123#r8", 0x123, false, true, false, false, false, 8, 0},
        {"123##0", 0x123, false, false, true, false, false, 0, 0},
        {"123##F00112233445566778899001122334455", 0x123, false, false, true, true, true, 10, 16},
        {"123#1122334455667788_F", 0x123, false, false, false, false, false, 15, 8},
    };
    for (const Case &c : cases) {
        Frame f;
        std::string why;
        ASSERT_TRUE(velk::trace::parse_frame_text(c.text, &f, &why)) << c.text << ": " << why;
        EXPECT_EQ(f.id, c.id) << c.text;
        EXPECT_EQ(f.extended, c.extended) << c.text;
        EXPECT_EQ(f.remote, c.remote) << c.text;
        EXPECT_EQ(f.fd, c.fd) << c.text;
        EXPECT_EQ(f.brs, c.brs) << c.text;
        EXPECT_EQ(f.esi, c.esi) << c.text;
        EXPECT_EQ(f.dlc, c.dlc) << c.text;
        EXPECT_EQ(f.len, c.len) << c.text;
    }
}

TEST(FrameText, MalformedTextSaysWhatIsWrong)
{
    const std::pair<const char *, const char *> cases[] = {
        {"123DEADBEEF", "no '#'"},
        {"12#00", "3 (11-bit) or 8 (29-bit)"},
        {"800#00", "out of range"},
        {"5FFFFFFF#00", "out of range"},
        {"123#001122334455667788", "more than 8"},
        {"123#0", "pairs of hex digits"},
        {"123#0G", "pairs of hex digits"},
        {"123##", "flags digit"},
        {"123##1001122334455667788", "not one of"},
        {"123#R9", "remote frame length"},
        {"123#0011_C", "needs 8 data bytes"},
        {"123#1122334455667788_7", "9 to F"},
    };
    for (const auto &[text, fragment] : cases) {
        Frame f;
        std::string why;
        EXPECT_FALSE(velk::trace::parse_frame_text(text, &f, &why)) << text;
        EXPECT_NE(why.find(fragment), std::string::npos) << text << ": " << why;
    }
}

TEST(TraceFiles, AFileThatIsNotATraceIsRefusedWithItsLine)
{
    ScratchDir dir;
    const std::tuple<const char *, Format, std::string, const char *> cases[] = {
        {"a.log", Format::CandumpLog, "(1.000000) can0 123#00\n\n(2.000000) can0 123#0\nhello\n",
         ":3: malformed frame"},
        {"b.log", Format::CandumpLog, "(1.000000) can0 123#00\nhello world\n", ":2: not a candump log line"},
        {"c.asc", Format::Asc, "hello\n", ":1: not an ASC trace"},
        {"d.asc", Format::Asc,
         "date Tue Nov 14 10:13:19.123 pm 2023\nbase hex  timestamps absolute\nBegin Triggerblock\n"
         "   0.1 1  123  Rx   d 2 11\n",
         ":4: fewer data bytes"},
        {"e.asc", Format::Asc, "base hex\n   0.1 1  123  Rx   d 1 1G\n", ":2: malformed data byte"},
        {"f.csv", Format::Csv, "time,id\n", ":1: not a velk CSV trace"},
        {"g.log", Format::CandumpLog, std::string("(1.0) can0 1\0#", 14), ":1: binary data"},
        {"h.log", Format::CandumpLog, "\x89LOGG\x01\x02\xfe\xff\n(1.000000) can0 123#00\n",
         ":1: binary data, not a trace"},
        {"i.asc", Format::Asc, "\x89LOGG\x01\x02\xfe\xff\n", ":1: binary data, not a trace"},
    };
    for (const auto &[name, format, text, fragment] : cases) {
        ASSERT_TRUE(write_file(dir.path(name), text));
        std::string err;
        read_trace(dir.path(name), format, &err);
        EXPECT_NE(err.find(std::string(name) + fragment), std::string::npos) << name << ": " << err;
    }
}

TEST(TraceFiles, AscReaderTakesWhatOtherToolsWrite)
{
    // The header date is local time.
    setenv("TZ", "UTC", 1);
    tzset();
    ScratchDir dir;
    // CANoe-style lines: trailing fields, other events, a symbolic name,
    // relative timestamps and a decimal base in a second file.
    ASSERT_TRUE(write_file(dir.path("v.asc"),
                           "date Tue Nov 14 10:13:19.123 pm 2023\n"
                           "base hex  timestamps absolute\n"
                           "no internal events logged\n"
                           "// version 13.0.0\n"
                           "Begin Triggerblock Tue Nov 14 10:13:19.123 pm 2023\n"
                           "   0.000000 Start of measurement\n"
                           "   0.001000 1  Statistic: D 0 R 0 XD 0 XR 0 E 0 O 0 B 0.00%\n"
                           "   0.002000 1  123             Rx   d 2 11 22  Length = 0 BitCount = 0 ID = 291\n"
                           "   0.003000 2  18FEF100x       Tx   d 1 33  Length = 0 BitCount = 0 ID = 419361024x\n"
                           "   0.004000 CANFD   2 Rx        456  EngineData  1 0 9 12"
                           " 00 01 02 03 04 05 06 07 08 09 0A 0B"
                           "   0   0   3000 0 0 0 0 0\n"
                           "   0.005000 CANFD   1 Rx        457                                   0 0 2  0   0   0"
                           "       10 0 0 0 0 0\n"
                           "End TriggerBlock\n"));
    std::string err;
    const auto got = read_trace(dir.path("v.asc"), Format::Asc, &err);
    EXPECT_EQ(err, "");
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(velk::trace::log_line(got[0], "can0", false), "(1699999999.125000) can0 123#1122");
    EXPECT_EQ(velk::trace::log_line(got[1], "can1", false), "(1699999999.126000) can1 18FEF100#33 T");
    EXPECT_EQ(velk::trace::log_line(got[2], "can1", false), "(1699999999.127000) can1 456##1000102030405060708090A0B");
    EXPECT_EQ(velk::trace::log_line(got[3], "can0", false), "(1699999999.128000) can0 457#R2");

    ASSERT_TRUE(write_file(dir.path("d.asc"),
                           "base dec  timestamps relative\n"
                           "   1.500000 1  291             Rx   d 2 17 255\n"
                           "   0.250000 2  291x            Rx   r\n"));
    const auto dec = read_trace(dir.path("d.asc"), Format::Asc, &err);
    EXPECT_EQ(err, "");
    ASSERT_EQ(dec.size(), 2u);
    EXPECT_EQ(velk::trace::log_line(dec[0], "can0", false), "(1.500000) can0 123#11FF");
    EXPECT_EQ(velk::trace::log_line(dec[1], "can1", false), "(1.750000) can1 00000123#R");
}

// ---- the files in the tools people use ----

// Frames every outside reader takes (no classic DLC above 8).
TEST(TraceInterop, CanUtilsConvertOurLogAndOurAsc)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_all(dir.path("ours.log"), Format::CandumpLog, frames));
    ASSERT_TRUE(write_all(dir.path("ours.asc"), Format::Asc, frames));

    Child l2a;
    ASSERT_TRUE(velk::test::run(&l2a, {"log2asc", "-I", dir.path("ours.log"), "can0", "can1"}))
        << "log2asc missing? run scripts/setup";
    ASSERT_EQ(l2a.status(), 0) << l2a.err();
    ASSERT_TRUE(write_file(dir.path("conv.asc"), l2a.out()));
    std::string err;
    expect_same_relative(read_trace(dir.path("conv.asc"), Format::Asc, &err), frames, Format::Asc);
    EXPECT_EQ(err, "");

    Child a2l;
    ASSERT_TRUE(velk::test::run(&a2l, {"asc2log", "-I", dir.path("ours.asc")})) << "asc2log missing? run scripts/setup";
    ASSERT_EQ(a2l.status(), 0) << a2l.err();
    ASSERT_TRUE(write_file(dir.path("conv.log"), a2l.out()));
    expect_same_relative(read_trace(dir.path("conv.log"), Format::CandumpLog, &err), frames, Format::CandumpLog);
    EXPECT_EQ(err, "");
}

// One line per message as python-can reads it.
constexpr const char kPythonDump[] =
    "import sys, can\n"
    "for m in can.LogReader(sys.argv[1]):\n"
    "    print('%.6f %s %X %d %d %d %d %d %d %d %s %d' % (m.timestamp, m.channel, m.arbitration_id,\n"
    "          m.is_extended_id, m.is_remote_frame, m.is_fd, m.bitrate_switch, m.error_state_indicator,\n"
    "          m.is_error_frame, m.dlc, m.data.hex().upper(), m.is_rx))\n";

// The line python-can gives for a frame; `time` as python-can counts it.
std::string python_line(const Frame &f, const std::string &time, const std::string &channel, bool asc)
{
    std::string data;
    for (int i = 0; i < f.len; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", f.data[static_cast<size_t>(i)]);
        data += b;
    }
    char b[256];
    // python-can 4.1 reads an ASC CAN FD line of length 0 as a remote frame,
    // takes error frames as extended and, from .log files, without channel;
    // a data frame's dlc is its length.
    const bool remote = f.remote || (asc && f.fd && f.len == 0);
    const int dlc = f.remote ? f.dlc : f.len;
    std::snprintf(b, sizeof b, "%s %s %X %d %d %d %d %d %d %d %s %d", time.c_str(),
                  f.error && !asc ? "None" : channel.c_str(), f.id, f.extended || f.error, remote, f.fd, f.brs, f.esi,
                  f.error,
                  dlc, data.c_str(), f.error ? 1 : !f.tx);
    return b;
}

TEST(TraceInterop, PythonCanReadsOurLogAndOurAsc)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_all(dir.path("ours.log"), Format::CandumpLog, frames));
    ASSERT_TRUE(write_all(dir.path("ours.asc"), Format::Asc, frames));
    for (const char *name : {"ours.log", "ours.asc"}) {
        SCOPED_TRACE(name);
        const bool asc = std::string(name) == "ours.asc";
        Child py;
        ASSERT_TRUE(velk::test::run(&py, {VELK_PYTHON3, "-c", kPythonDump, dir.path(name)}));
        ASSERT_EQ(py.status(), 0) << py.err() << " (python3-can missing? run scripts/setup)";
        const auto got = lines_of(py.out());
        ASSERT_EQ(got.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            const Frame &f = frames[i];
            // ASC times count from the measurement start; .log times are absolute.
            const int64_t t = asc ? us_of(f) - kStartUs : us_of(f);
            char time[40];
            std::snprintf(time, sizeof time, "%lld.%06lld", static_cast<long long>(t / 1000000),
                          static_cast<long long>(t % 1000000));
            const std::string channel = asc ? std::to_string(f.channel) : "can" + std::to_string(f.channel);
            EXPECT_EQ(got[i], python_line(f, time, channel, asc)) << "frame " << i;
        }
    }
}

// python-can 4.1 writes these messages to ASC and to a candump log.
constexpr const char kPythonWrite[] =
    "import sys, can\n"
    "M = can.Message\n"
    "t = 1700000000\n"
    "msgs = [M(timestamp=t + 0.000100, arbitration_id=0x123, is_extended_id=False, data=bytes.fromhex('DEADBEEF'),\n"
    "          channel=0),\n"
    "        M(timestamp=t + 0.000250, arbitration_id=0x1ABCDEF0, data=bytes(range(8)), channel=1, is_rx=False),\n"
    "        M(timestamp=t + 0.001000, arbitration_id=0x7FF, is_extended_id=False, is_remote_frame=True, dlc=3,\n"
    "          channel=0),\n"
    "        M(timestamp=t + 0.002000, arbitration_id=0x456, is_extended_id=False, is_fd=True, bitrate_switch=True,\n"
    "          error_state_indicator=True, data=bytes(range(12)), channel=1),\n"
    "        M(timestamp=t + 0.002500, arbitration_id=0x42, is_fd=True, data=b'', channel=0),\n"
    "        M(timestamp=t + 1.000000, is_error_frame=True, channel=1),\n"
    "        M(timestamp=t + 2.500001, arbitration_id=0x1, is_extended_id=False, data=b'', channel=0)]\n"
    "for writer, path in ((can.ASCWriter, sys.argv[1]), (can.CanutilsLogWriter, sys.argv[2])):\n"
    "    with writer(path) as w:\n"
    "        for m in msgs:\n"
    "            w.on_message_received(m)\n";

// What python-can writes reads as the messages it was given, but for three
// faults of its writers, pinned here: its ASC header keeps the first
// message's time to the millisecond while the offsets count from the exact
// time (every time reads 100 us early), it writes every ASC error frame on
// channel 1, and its log writer drops a remote frame's DLC. The files say
// so; velk reads what they say.
TEST(TraceInterop, WhatPythonCanWritesReadsAsItsMessages)
{
    ScratchDir dir;
    Child py;
    ASSERT_TRUE(velk::test::run(&py, {VELK_PYTHON3, "-c", kPythonWrite, dir.path("py.asc"), dir.path("py.log")}));
    ASSERT_EQ(py.status(), 0) << py.err();
    const int64_t t0 = 1700000000000000;
    auto frame = [&](int64_t us, int channel, const char *text, bool tx = false) {
        Frame f;
        std::string why;
        EXPECT_TRUE(velk::trace::parse_frame_text(text, &f, &why)) << why;
        velk::trace::Frame g = f;
        g.sec = (t0 + us) / 1000000;
        g.usec = static_cast<uint32_t>((t0 + us) % 1000000);
        g.channel = channel;
        g.tx = tx;
        return g;
    };
    Frame error;
    error.error = true;
    error.channel = 1;
    error.sec = t0 / 1000000 + 1;
    const std::vector<Frame> sent = {
        frame(100, 0, "123#DEADBEEF"),
        frame(250, 1, "1ABCDEF0#0001020304050607", true),
        frame(1000, 0, "7FF#R3"),
        frame(2000, 1, "456##3000102030405060708090A0B"),
        frame(2500, 0, "00000042##0"),
        error,
        frame(2500001, 0, "001#"),
    };
    for (const auto &[name, format] : {std::pair{"py.asc", Format::Asc}, {"py.log", Format::CandumpLog}}) {
        const std::vector<Frame> got = read_trace(dir.path(name), format);
        ASSERT_EQ(got.size(), sent.size()) << name;
        for (size_t i = 0; i < sent.size(); ++i) {
            Frame want = sent[i];
            if (format == Format::Asc) {
                velk::trace::Frame shifted = want;
                const int64_t us = us_of(want) - 100;
                shifted.sec = us / 1000000;
                shifted.usec = static_cast<uint32_t>(us % 1000000);
                want = shifted;
                if (want.error)
                    want.channel = 0;
            } else if (want.remote) {
                want.dlc = 0;
            }
            Frame g = got[i];
            if (g.error) {  // the data an error frame carries differs by format; not compared
                g.len = want.len;
                g.data = want.data;
                g.dlc = want.dlc;
                g.id = want.id;
                g.extended = want.extended;
            }
            EXPECT_TRUE(g == want) << name << " frame " << i << ": " << velk::trace::log_line(got[i], "x", true)
                                   << " at " << us_of(got[i]) << ", want " << velk::trace::log_line(want, "x", true)
                                   << " at " << us_of(want);
        }
    }
}

}  // namespace

// ---- the index: frames by number, every format ----

namespace index_check {

// A trace of every kind of frame a format may hold, on both channels, with
// times that a second file can interleave with (odd and even microseconds).
std::vector<Frame> many_frames(size_t n, int parity)
{
    std::vector<Frame> v;
    v.reserve(n);
    uint32_t seed = 12345 + parity;
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245 + 12345;
        Frame f;
        const int64_t us = kStartUs + static_cast<int64_t>(i) * 202 + parity;
        f.sec = us / 1000000;
        f.usec = static_cast<uint32_t>(us % 1000000);
        f.channel = (seed >> 7) & 1;
        f.tx = ((seed >> 9) & 7) == 0;
        f.extended = ((seed >> 12) & 3) == 0;
        f.id = f.extended ? (seed >> 3) & 0x1FFFFFFF : 0x100 + ((seed >> 16) & 0x3F);
        f.fd = ((seed >> 14) & 3) == 0;
        f.brs = f.fd && ((seed >> 22) & 1);
        f.dlc = static_cast<uint8_t>(f.fd ? (seed >> 24) % 16 : (seed >> 24) % 9);
        f.len = static_cast<uint8_t>(velk::trace::dlc_to_len(f.dlc));
        for (int b = 0; b < f.len; ++b)
            f.data[b] = static_cast<uint8_t>(i * 7 + b);
        v.push_back(f);
    }
    return v;
}

struct IndexCase {
    const char *file;
    bool resumes;  // a place is taken up again without reading from the start
};
constexpr IndexCase kIndexCases[] = {
    {"i.log", true},     {"i.asc", true},  {"i.csv", true},       {"i.blf", true},
    {"i.pcapng", true},  {"i.pcap", true}, {"i.trc", true},       {"i.mf4", true},
    {"i.log.gz", true},  {"i.asc.zst", true}, {"i.trc.gz", true},
};

std::vector<Frame> straight(const std::string &path, std::string *error)
{
    Format format;
    EXPECT_TRUE(velk::trace::format_of(path, &format));
    return read_trace(path, format, error);
}

void expect_index_agrees(const velk::trace::Index &index, const std::vector<Frame> &want, uint32_t seed)
{
    ASSERT_EQ(index.frames(), want.size());
    velk::trace::IndexedReader r;
    ASSERT_TRUE(r.open(index)) << r.error();
    Frame f;
    // Anywhere, in any order; then on from there, and back by one.
    for (int k = 0; k < 150; ++k) {
        seed = seed * 1103515245 + 12345;
        const uint64_t n = (seed >> 8) % want.size();
        ASSERT_EQ(r.read(n, &f), 1) << "frame " << n << ": " << r.error();
        ASSERT_TRUE(f == want[n]) << "frame " << n << ": " << velk::trace::frame_text(f, true) << " vs "
                                  << velk::trace::frame_text(want[n], true);
        if (n + 1 < want.size()) {
            ASSERT_EQ(r.read(n + 1, &f), 1) << r.error();
            ASSERT_TRUE(f == want[n + 1]) << "frame " << n + 1;
        }
        if (n > 0) {
            ASSERT_EQ(r.read(n - 1, &f), 1) << r.error();
            ASSERT_TRUE(f == want[n - 1]) << "frame " << n - 1;
        }
    }
    ASSERT_EQ(r.read(want.size() - 1, &f), 1);
    EXPECT_TRUE(f == want.back());
    EXPECT_EQ(r.read(want.size(), &f), 0);
}

}  // namespace index_check

TEST(TraceIndex, FrameNumberReadThroughTheIndexIsThatFrameOfAStraightReadInEveryFormat)
{
    using namespace index_check;
    ScratchDir dir;
    const auto frames = many_frames(20000, 0);
    for (const IndexCase &c : kIndexCases) {
        SCOPED_TRACE(c.file);
        const std::string path = dir.path(c.file);
        Format format;
        ASSERT_TRUE(velk::trace::format_of(path, &format));
        ASSERT_TRUE(write_all(path, format, frames));
        std::string err;
        const auto want = straight(path, &err);
        ASSERT_EQ(err, "");
        ASSERT_EQ(want.size(), frames.size());

        velk::trace::Index index;
        ASSERT_TRUE(index.start({path}, {}, 5)) << index.error();
        ASSERT_TRUE(index.wait(std::chrono::seconds(60)));
        EXPECT_EQ(index.error(), "");
        expect_index_agrees(index, want, 777);

        // Counts per identifier, against a count of the straight read.
        std::map<uint32_t, uint64_t> counted;
        for (const Frame &f : want)
            ++counted[velk::trace::Index::id_key(f)];
        EXPECT_EQ(index.counts(), counted);
        // Compact: far under 16 bytes a frame, beside the bounded table of counts.
        EXPECT_LT(index.memory(), 16 * want.size() / 4 + counted.size() * 64 + 4096) << index.memory();

        velk::trace::Index::Point p;
        ASSERT_TRUE(index.point_before(15000, &p));
        EXPECT_EQ(p.frame, 15000 / velk::trace::Index::kEvery * velk::trace::Index::kEvery);
        ASSERT_EQ(p.at.size(), 1u);
        EXPECT_EQ(!p.at[0].replay, c.resumes);
        EXPECT_EQ(p.time_us, us_of(want[p.frame]));
    }
}

TEST(TraceIndex, CompressedTextIsTakenUpAtARestartPointRatherThanFromItsStart)
{
    using namespace index_check;
    ScratchDir dir;
    // Several MiB of text: gzip restart points every MiB, zstd frames every 4.
    const auto frames = many_frames(150000, 0);
    for (const char *name : {"big.log.gz", "big.log.zst"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.path(name);
        Format format;
        ASSERT_TRUE(velk::trace::format_of(path, &format));
        ASSERT_TRUE(write_all(path, format, frames));
        velk::trace::Index index;
        ASSERT_TRUE(index.start({path}, {}));
        ASSERT_TRUE(index.wait(std::chrono::seconds(60)));
        EXPECT_EQ(index.error(), "");
        velk::trace::Index::Point p;
        ASSERT_TRUE(index.point_before(frames.size() - 1, &p));
        EXPECT_FALSE(p.at[0].replay);
        EXPECT_NE(p.at[0].inflate, nullptr);
        std::vector<Frame> want = frames;
        for (Frame &f : want)
            f.source = velk::trace::TimeSource::Unknown;
        expect_index_agrees(index, want, 31337);
    }
}

TEST(TraceIndex, GoingToATimeFindsTheFirstFrameAtOrAfterIt)
{
    using namespace index_check;
    ScratchDir dir;
    const auto frames = many_frames(5000, 0);
    const std::string path = dir.path("t.blf");
    ASSERT_TRUE(write_all(path, Format::Blf, frames));
    velk::trace::Index index;
    ASSERT_TRUE(index.start({path}, {}));
    ASSERT_TRUE(index.wait(std::chrono::seconds(60)));
    velk::trace::IndexedReader r;
    ASSERT_TRUE(r.open(index));
    for (size_t n : {size_t{0}, size_t{1}, size_t{1023}, size_t{1024}, size_t{3333}, size_t{4999}}) {
        EXPECT_EQ(r.find_time(us_of(frames[n])), static_cast<int64_t>(n));
        EXPECT_EQ(r.find_time(us_of(frames[n]) - 1), static_cast<int64_t>(n));
    }
    EXPECT_EQ(r.find_time(us_of(frames.back()) + 1), -1);
}

TEST(TraceIndex, SeveralFilesAreOneTraceMergedByTime)
{
    using namespace index_check;
    ScratchDir dir;
    const auto a = many_frames(6000, 0), b = many_frames(4000, 1);
    ASSERT_TRUE(write_all(dir.path("a.blf"), Format::Blf, a));
    ASSERT_TRUE(write_all(dir.path("b.log"), Format::CandumpLog, b));
    std::vector<Frame> want;
    std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(want),
               [](const Frame &x, const Frame &y) { return us_of(x) < us_of(y); });
    velk::trace::Index index;
    ASSERT_TRUE(index.start({dir.path("a.blf"), dir.path("b.log")}, {}));
    ASSERT_TRUE(index.wait(std::chrono::seconds(60)));
    EXPECT_EQ(index.error(), "");
    expect_index_agrees(index, want, 99);
}

TEST(TraceIndex, ADamagedFileIsIndexedUpToTheDamageWithItsError)
{
    using namespace index_check;
    ScratchDir dir;
    const auto frames = many_frames(20000, 0);
    for (const char *name : {"d.blf", "d.log", "d.pcapng", "d.log.gz"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.path(name);
        Format format;
        ASSERT_TRUE(velk::trace::format_of(path, &format));
        ASSERT_TRUE(write_all(path, format, frames));
        // Bytes that are nothing of the format's, half-way through.
        std::string bytes = read_file(path);
        for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 64; ++i)
            bytes[i] = '\x01';
        ASSERT_TRUE(write_file(path, bytes));
        std::string err;
        const auto want = straight(path, &err);
        ASSERT_NE(err, "");
        ASSERT_GT(want.size(), 1000u);
        ASSERT_LT(want.size(), frames.size());

        velk::trace::Index index;
        ASSERT_TRUE(index.start({path}, {}));
        ASSERT_TRUE(index.wait(std::chrono::seconds(60)));
        EXPECT_EQ(index.error(), err);
        expect_index_agrees(index, want, 4242);
    }
}

TEST(TraceIndex, AFileThatCannotBeOpenedSaysSo)
{
    velk::trace::Index index;
    EXPECT_FALSE(index.start({"/nonexistent/x.blf"}, {}));
    EXPECT_NE(index.error().find("/nonexistent/x.blf"), std::string::npos) << index.error();
    EXPECT_TRUE(index.done());
    EXPECT_FALSE(index.start({"x.unknown"}, {}));
    EXPECT_NE(index.error().find("x.unknown"), std::string::npos);
}
