// PEAK TRC traces: round trips of version 2.1 with CAN FD, the lines as
// written, python-can 4.1 reading ours and writing what we read (with the
// faults of its writer pinned), a sample of every version 1.0 to 2.1 with
// the frames it holds, and malformed lines that fail with their number.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "tools_support.h"
#include "trace.h"

namespace {

using velk::test::Child;
using velk::test::data_hex;
using velk::test::frame_at;
using velk::test::lines_of;
using velk::test::read_file;
using velk::test::ScratchDir;
using velk::test::us_of;
using velk::test::write_file;
using velk::test::write_trace;
using velk::trace::Format;
using velk::trace::Frame;

constexpr int64_t kStartUs = 1700000000000000;  // 2023-11-14 22:13:20 UTC
constexpr char kScript[] = VELK_TESTS_DIR "/trace_trc_pythoncan.py";

// TRC start times are local time: the cases below are written for UTC
// unless they say otherwise.
class Zone {
public:
    explicit Zone(const char *tz)
    {
        const char *old = std::getenv("TZ");
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had_;
    std::string old_;
};

std::vector<Frame> sample_frames()
{
    return velk::test::every_kind_of_frame(kStartUs + 250, 1000789);
}

// A frame as the cases below say it: time, the file's channel, direction, cansend text.
std::string describe(const Frame &f, const std::string &name)
{
    char t[48];
    std::snprintf(t, sizeof t, "%lld.%06u %s %s ", static_cast<long long>(f.sec), f.usec, name.c_str(),
                  f.tx ? "Tx" : "Rx");
    return t + velk::trace::frame_text(f, true);
}

// What the Reader gives, each frame described.
struct ReadAll {
    std::vector<std::string> frames;
    std::vector<Frame> raw;
    std::string error;
    std::vector<std::string> notices;
};

ReadAll read_all(const std::string &path)
{
    velk::test::TraceRead t = velk::test::read_everything(path, Format::Trc);
    ReadAll r{{}, t.frames, t.error, t.notices};
    for (size_t i = 0; i < t.frames.size(); ++i)
        r.frames.push_back(describe(t.frames[i], t.names[i]));
    return r;
}

TEST(TrcFiles, FramesWrittenAndReadBackAreIdentical)
{
    Zone utc("UTC");
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_trace(dir.path("t.trc"), Format::Trc, frames));
    const auto r = read_all(dir.path("t.trc"));
    EXPECT_EQ(r.error, "");
    ASSERT_EQ(r.raw.size(), frames.size());
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_TRUE(r.raw[i] == frames[i]) << "frame " << i << ": " << r.frames[i];
    // Times and start in another zone, where the header's local time is not UTC.
    Zone berlin("Europe/Berlin");
    ASSERT_TRUE(write_trace(dir.path("b.trc"), Format::Trc, frames));
    EXPECT_EQ(velk::test::read_trace(dir.path("b.trc"), Format::Trc), frames);
}

TEST(TrcFiles, AFileWithoutFramesHasItsHeaderAndReadsAsNone)
{
    ScratchDir dir;
    velk::trace::Writer w;
    ASSERT_TRUE(w.open(dir.path("e.trc"), Format::Trc, {}));
    ASSERT_TRUE(w.close());
    const std::string text = read_file(dir.path("e.trc"));
    EXPECT_EQ(w.bytes(), text.size());
    EXPECT_EQ(text.compare(0, 19, ";$FILEVERSION=2.1\r\n"), 0) << text;
    const auto r = read_all(dir.path("e.trc"));
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.frames.empty());
}

TEST(TrcFiles, LinesAreLaidOutAsPcanToolsWriteThem)
{
    Zone utc("UTC");
    ScratchDir dir;
    velk::trace::WriteOptions o;
    o.start_us = kStartUs;
    ASSERT_TRUE(write_trace(dir.path("t.trc"), Format::Trc, sample_frames(), o));
    const std::string text = read_file(dir.path("t.trc"));
    const auto lines = lines_of(text);
    size_t crlf = 0;
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 1))
        crlf += at > 0 && text[at - 1] == '\r';
    EXPECT_EQ(crlf, lines.size());
    ASSERT_GE(lines.size(), 14u);
    EXPECT_EQ(lines[0], ";$FILEVERSION=2.1\r");
    // 2023-11-14 22:13:20 is day 45244 and 0.925925925926 of it.
    EXPECT_EQ(lines[1], ";$STARTTIME=45244.925925925926\r");
    EXPECT_EQ(lines[2], ";$COLUMNS=N,O,T,B,I,d,R,L,D\r");
    EXPECT_NE(text.find(";   Start time: 14.11.2023 22:13:20.000.0\r\n"), std::string::npos) << text;
    const std::vector<std::string> body(lines.end() - 11, lines.end());
    EXPECT_EQ(body[0], "      1         0.250 DT  1     0123 Rx -  4    DE AD BE EF\r");
    EXPECT_EQ(body[1], "      2      1001.039 DT  2 1ABCDEF0 Tx -  2    00 11\r");
    EXPECT_EQ(body[2], "      3      2001.828 RR  1     0123 Rx -  0   \r");
    EXPECT_EQ(body[3], "      4      3002.617 RR  2 00000456 Rx -  5   \r");
    EXPECT_EQ(body[4], "      5      4003.406 DT  1     07FF Tx -  0   \r");
    EXPECT_EQ(body[5].substr(0, 50), "      6      5004.195 FB  2 1ABCDEF0 Rx -  15   00");
    EXPECT_EQ(body[6], "      7      6004.984 FE  1     0123 Rx -  0   \r");
    EXPECT_EQ(body[7], "      8      7005.773 BI  1     0000 Tx -  9    00 11 22 33 44 55 66 77 88 99 00 11\r");
    EXPECT_EQ(body[8], "      9      8006.562 ER  2        - Rx -  5    08 01 00 00 00\r");
    EXPECT_EQ(body[9], "     10      9007.351 DT  1     0321 Rx -  12   11 22 33 44 55 66 77 88\r");
    EXPECT_EQ(body[10], "     11     10008.140 FD  2 00000001 Tx -  0   \r");
}

// python-can's lines, as tests/trace_trc_pythoncan.py prints them.
std::vector<std::string> python_read(const std::string &path)
{
    Child py;
    EXPECT_TRUE(velk::test::run(&py, {VELK_PYTHON3, kScript, "read", path}));
    EXPECT_EQ(py.status(), 0) << py.err() << " (python3-can missing? run scripts/setup)";
    return lines_of(py.out());
}

TEST(TrcInterop, PythonCanReadsOurClassicFrames)
{
    Zone utc("UTC");
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_trace(dir.path("t.trc"), Format::Trc, frames));
    // python-can 4.1 reads the DT lines of 2.1 only (remote, CAN FD and error
    // lines are skipped, said in its log) and counts times from $STARTTIME
    // without adding it. It also drops a DT line whose DLC is above 8: it
    // looks for as many data bytes as the DLC says, where a classic frame
    // carries 8 (PCAN writes them so; we are right).
    std::vector<std::string> want;
    for (const Frame &f : frames) {
        if (f.remote || f.fd || f.error || f.dlc > 8)
            continue;
        const int64_t t = us_of(f) - us_of(frames[0]);
        char b[160];
        std::snprintf(b, sizeof b, "%lld.%06lld %d %X %d 0 0 0 %d %s %d", static_cast<long long>(t / 1000000),
                      static_cast<long long>(t % 1000000), f.channel + 1, f.id, f.extended, f.dlc,
                      data_hex(f).c_str(), !f.tx);
        want.push_back(b);
    }
    EXPECT_EQ(python_read(dir.path("t.trc")), want);
}

TEST(TrcInterop, WhatPythonCanWritesIsReadWithItsFaultsPinned)
{
    Zone utc("UTC");
    ScratchDir dir;
    const std::string path = dir.path("p.trc");
    Child py;
    ASSERT_TRUE(velk::test::run(&py, {VELK_PYTHON3, kScript, "write", path}));
    ASSERT_EQ(py.status(), 0) << py.err();
    const std::string text = read_file(path);
    const auto r = read_all(path);
    EXPECT_EQ(r.error, "");
    // The messages of the script; python-can writes offsets to the microsecond.
    const char *kWant[] = {"%lld.%06lld 1 Rx 123#DEADBEEF", "%lld.%06lld 2 Tx 18DAF110#0102030405060708",
                           "%lld.%06lld 1 Rx 00000456#", "%lld.%06lld 2 Rx 7FF#11"};
    const int64_t kOffsetUs[] = {0, 1250, 249750, 1999749};
    ASSERT_EQ(r.raw.size(), 4u);
    // Fault 1: its $STARTTIME is the time of writing plus the first message's
    // time since 1970, written as days "." milliseconds of the day, so the
    // frames land decades after they happened. We take the value as PCAN
    // defines it (a decimal fraction of a day): the times between frames are
    // right, the absolute ones only as right as the header.
    const size_t at = text.find(";$STARTTIME=");
    ASSERT_NE(at, std::string::npos);
    const double days = std::strtod(text.c_str() + at + 12, nullptr);
    const int64_t start = static_cast<int64_t>((days - 25569) * 86400.0 * 1e6);
    EXPECT_GT(start, int64_t{2000000000} * 1000000);  // after 2033: not 2023, when the frames were
    EXPECT_NEAR(static_cast<double>(us_of(r.raw[0])), static_cast<double>(start), 2.0);
    for (size_t i = 0; i < 4; ++i) {
        const int64_t t = us_of(r.raw[0]) + kOffsetUs[i];
        char b[96];
        std::snprintf(b, sizeof b, kWant[i], static_cast<long long>(t / 1000000), static_cast<long long>(t % 1000000));
        EXPECT_EQ(r.frames[i], b) << "frame " << i;
    }
    // Fault 2: a 29-bit identifier is written with 7 digits ("0000456");
    // PCAN writes 8. More than four digits is a 29-bit identifier to both
    // readers, so it still reads as one.
    EXPECT_NE(text.find(" 0000456 Rx"), std::string::npos) << text;
    EXPECT_TRUE(r.raw[2].extended);
    // python-can reads its own file as we do but for the start.
    const auto back = python_read(path);
    ASSERT_EQ(back.size(), 4u);
    EXPECT_EQ(back[2], "0.249750 1 456 1 0 0 0 0  1");
}

struct VersionCase {
    const char *name;
    const char *text;
    std::vector<std::string> frames;
    const char *notice;
};

// Samples of each version, written from the format's public description.
const VersionCase kVersions[] = {
    {"1.0",
     ";##########################################################################\n"
     ";   sample.trc\n"
     ";    Start time: 14.11.2023 22:13:19.123\n"
     ";    Columns: number, offset (ms), identifier, DLC, data\n"
     ";----+- ---+--- ----+--- + -+ -- -- ...\n"
     "     1)      1841 0123 8 00 11 22 33 44 55 66 77\n"
     "     2)      1842 1ABCDEF0 2 AA BB\n"
     "     3)      1843 0008 4 ERROR 00 19 08 08\n"
     "     4)      1844 FFFFFFFF 4 00 00 00 04 ------BUSLIGHT\n"
     "     5)      1845 0100 3 RTR\n",
     {"1700000000.964000 1 Rx 123#0011223344556677", "1700000000.965000 1 Rx 1ABCDEF0#AABB",
      "1700000000.966000 1 Rx 20000080#0000000000000000", "1700000000.968000 1 Rx 100#R3"},
     "1 status, error counter and event lines skipped"},
    {"1.1",
     ";$FILEVERSION=1.1\r\n"
     ";$STARTTIME=45244.925925925926\r\n"
     ";   Columns: number, offset (ms), type, identifier, DLC, data\r\n"
     "     1)      1841.0  Rx         0123  8  00 11 22 33 44 55 66 77\r\n"
     "     2)      1842.5  Tx     1ABCDEF0  2  AA BB\r\n"
     "     3)      1843.0  Warng  FFFFFFFF  4  00 00 00 08 BUSHEAVY\r\n"
     "     4)      1844.0  Rx         0100  3  RTR\r\n"
     "     5)      1845.0  Error      0008  4  00 19 08 08\r\n",
     {"1700000001.841000 1 Rx 123#0011223344556677", "1700000001.842500 1 Tx 1ABCDEF0#AABB",
      "1700000001.844000 1 Rx 100#R3", "1700000001.845000 1 Rx 20000080#0000000000000000"},
     "1 status, error counter and event lines skipped"},
    {"1.2",
     ";$FILEVERSION=1.2\r\n"
     ";$STARTTIME=45244.925925925926\r\n"
     "     1)      1841.001 1  Rx         0123  8  00 11 22 33 44 55 66 77\r\n"
     "     2)      1842.500 2  Tx     1ABCDEF0  2  AA BB\r\n"
     "     3)      1844.000 2  Rx         0100  3  RTR\r\n",
     {"1700000001.841001 1 Rx 123#0011223344556677", "1700000001.842500 2 Tx 1ABCDEF0#AABB",
      "1700000001.844000 2 Rx 100#R3"},
     nullptr},
    {"1.3",
     ";$FILEVERSION=1.3\r\n"
     ";$STARTTIME=45244.925925925926\r\n"
     "     1)      1841.001 1  Rx         0123 -  8  00 11 22 33 44 55 66 77\r\n"
     "     2)      1842.500 2  Tx     1ABCDEF0 -  2  AA BB\r\n"
     "     3)      1843.000 1  Warng  FFFFFFFF -  4  00 00 00 08 BUSHEAVY\r\n"
     "     4)      1844.000 2  Rx         0100 -  3  RTR\r\n",
     {"1700000001.841001 1 Rx 123#0011223344556677", "1700000001.842500 2 Tx 1ABCDEF0#AABB",
      "1700000001.844000 2 Rx 100#R3"},
     "1 status, error counter and event lines skipped"},
    {"2.0",
     ";$FILEVERSION=2.0\r\n"
     ";$STARTTIME=45244.925925925926\r\n"
     ";$COLUMNS=N,O,T,I,d,l,D\r\n"
     "      1      1841.001 DT     0123 Rx 8  00 11 22 33 44 55 66 77\r\n"
     "      2      1842.500 FD 1ABCDEF0 Tx 12 01 02 03 04 05 06 07 08 09 0A 0B 0C\r\n"
     "      3      1843.000 ST          Rx    00 00 00 08\r\n"
     "      4      1844.000 RR     0100 Rx 3\r\n"
     "      5      1845.000 ER        - Rx 5  04 00 02 00 00\r\n"
     "      6      1846.000 EV User event text\r\n"
     "      7      1847.000 EC          Rx    02 10 00\r\n"
     "      8      1848.000 FB     0200 Rx 0\r\n",
     {"1700000001.841001 1 Rx 123#0011223344556677", "1700000001.842500 1 Tx 1ABCDEF0##00102030405060708090A0B0C",
      "1700000001.844000 1 Rx 100#R3", "1700000001.845000 1 Rx 20000080#0000000000000000",
      "1700000001.848000 1 Rx 200##1"},
     "3 status, error counter and event lines skipped"},
    {"2.1",
     ";$FILEVERSION=2.1\r\n"
     ";$STARTTIME=45244.925925925926\r\n"
     ";$COLUMNS=N,O,T,B,I,d,R,L,D\r\n"
     "      1      1841.001 DT  1     0123 Rx -  8    00 11 22 33 44 55 66 77\r\n"
     "      2      1842.500 FE  2 1ABCDEF0 Tx -  9    01 02 03 04 05 06 07 08 09 0A 0B 0C\r\n"
     "      3      1843.000 BI  1     0400 Rx -  1    FF\r\n"
     "      4      1844.000 RR  2     0100 Rx -  3\r\n"
     "      5      1845.000 ER  2        - Tx -  5    04 00 02 00 00\r\n"
     "      6      1846.000 DT  1     0321 Rx -  15   01 02 03 04 05 06 07 08\r\n",
     {"1700000001.841001 1 Rx 123#0011223344556677", "1700000001.842500 2 Tx 1ABCDEF0##20102030405060708090A0B0C",
      "1700000001.843000 1 Rx 400##3FF", "1700000001.844000 2 Rx 100#R3",
      "1700000001.845000 2 Tx 20000080#0000000000000000", "1700000001.846000 1 Rx 321#0102030405060708_F"},
     nullptr},
    {"2.1, columns in another order",
     ";$FILEVERSION=2.1\n"
     ";$STARTTIME=45244.925925925926\n"
     ";$COLUMNS=O,N,B,T,d,I,L,D,R\n"
     "      1001.000  1  2 DT Rx     0123 2 AA BB -\n"
     "      1002.000  2  1 FB Tx 00000042 9 01 02 03 04 05 06 07 08 09 0A 0B 0C -\n",
     {"1700000001.001000 2 Rx 123#AABB", "1700000001.002000 1 Tx 00000042##10102030405060708090A0B0C"}, nullptr},
};

TEST(TrcFiles, EveryVersionReadsAsTheFramesItHolds)
{
    Zone utc("UTC");
    ScratchDir dir;
    for (const VersionCase &c : kVersions) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(write_file(dir.path("v.trc"), c.text));
        const auto r = read_all(dir.path("v.trc"));
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.frames, c.frames);
        if (c.notice == nullptr)
            EXPECT_TRUE(r.notices.empty());
        else
            EXPECT_EQ(r.notices, std::vector<std::string>{dir.path("v.trc") + ": " + c.notice});
    }
}

TEST(TrcFiles, StartTimeIsLocalTimeAsPcanToolsWriteIt)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("z.trc"), ";$FILEVERSION=2.1\r\n;$STARTTIME=45000.5\r\n"
                                              "      1         0.000 DT  1     0123 Rx -  0\r\n"));
    // Day 45000 is 2023-03-15; noon in Berlin (UTC+1 then) is 11:00 UTC.
    Zone berlin("Europe/Berlin");
    const auto r = read_all(dir.path("z.trc"));
    ASSERT_EQ(r.raw.size(), 1u);
    EXPECT_EQ(us_of(r.raw[0]), int64_t{1678878000} * 1000000);
}

TEST(TrcFiles, MalformedLinesFailWithTheirNumberAfterEveryFrameBefore)
{
    Zone utc("UTC");
    ScratchDir dir;
    const std::string head = ";$FILEVERSION=2.1\r\n;$STARTTIME=45244.925925925926\r\n";
    const std::string good = "      1         1.000 DT  1     0123 Rx -  1    AA\r\n";
    const struct {
        std::string text;
        size_t frames;
        const char *error;
    } kCases[] = {
        {head + good + "      2         2.000 DT  1     01X3 Rx -  1    AA\r\n", 1,
         "line 4: identifier '01X3' is not hexadecimal"},
        {head + good + "      2         2.000 DT  1     0800 Rx -  1    AA\r\n", 1,
         "line 4: identifier 0800 out of range"},
        {head + good + "      2         2.000 DT  1     0123 Rx -  4    AA BB CC\r\n", 1,
         "line 4: 3 data bytes where the DLC says 4"},
        {head + good + "      2         2.000 DT  1     0123 Rx -  16   AA\r\n", 1, "line 4: DLC '16' out of range"},
        {head + good + "      2         2.000 DT  1     0123 Rx -  1    AAB\r\n", 1,
         "line 4: data byte 'AAB' is not two hex digits"},
        {head + good + "      2         2.000 ZZ  1     0123 Rx -  1    AA\r\n", 1,
         "line 4: unknown message type 'ZZ'"},
        {head + good + "      2         2.x00 DT  1     0123 Rx -  1    AA\r\n", 1,
         "line 4: time offset '2.x00' is not milliseconds"},
        {head + good + "      2         2.000 DT  0     0123 Rx -  1    AA\r\n", 1,
         "line 4: bus '0' is not a number from 1 to 255"},
        {head + good + "      2         2.000 DT  1     0123 Up -  1    AA\r\n", 1,
         "line 4: direction 'Up' (Rx or Tx)"},
        {head + good + "      2         2.000 DT\r\n", 1, "line 4: expected 8 columns or more, found 3"},
        {head + good + "      2         2.000 DT  1 \x01   0123 Rx -  1    AA\r\n", 1,
         "line 4: binary data, not a TRC trace"},
        {head + good + std::string(70000, ' ') + "\r\n", 1, "line 4: read error or a line longer than 65536 bytes"},
        {";$FILEVERSION=3.0\r\n" + good, 0, "line 1: TRC version 3.0 is not read (1.0 to 2.1 are)"},
        {";$FILEVERSION=2.1\r\n;$STARTTIME=yesterday\r\n" + good, 0,
         "line 2: $STARTTIME must be days since 1899-12-30, such as 45270.4895833333"},
        {head + ";$COLUMNS=N,O,T,B,I,d,R,L,D,Q\r\n" + good, 0, "line 3: $COLUMNS names an unknown column 'Q'"},
        {head + ";$COLUMNS=N,O,T,I,d,R,D\r\n" + good, 0, "line 4: $COLUMNS lacks the length (L or l)"},
        {";$FILEVERSION=2.0\r\n;$COLUMNS=N,O,T,I,d,l,D\r\n      1  1.000 FD 0123 Rx 9 AA AA AA AA AA AA AA AA AA\r\n",
         0, "line 3: no CAN FD frame is 9 bytes long"},
        {";$FILEVERSION=1.1\r\n     1)  1.0  Up  0123  1  AA\r\n", 0,
         "line 2: unknown message type 'Up' (Rx, Tx, Warng or Error)"},
    };
    for (const auto &c : kCases) {
        SCOPED_TRACE(c.error);
        velk::test::expect_read_fails(dir.path("bad.trc"), Format::Trc, c.text, c.frames, c.error);
    }
}

}  // namespace
