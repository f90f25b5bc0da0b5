// BLF files: our writer read back by our reader, by python-can 4.1 and by
// tshark; python-can's files read by ours; files built here byte by byte
// from the format's public descriptions (header versions, time units,
// objects spanning containers, every CAN object kind) and damaged ones.
// The tests run in Europe/Berlin: BLF keeps its start time as local time.
#include <gtest/gtest.h>
#include <malloc.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <thread>

#include <unistd.h>

#include "formats.h"
#include "tools_support.h"
#include "trace.h"

// ---- what reading allocates, counted while a test asks ----
namespace {
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_live{0}, g_peak{0}, g_largest{0};
}  // namespace

void *operator new(size_t n)
{
    void *p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr)
        std::abort();  // no exceptions in this code base
    if (g_counting) {
        const size_t live = g_live += malloc_usable_size(p);
        for (size_t peak = g_peak; live > peak && !g_peak.compare_exchange_weak(peak, live);) {
        }
        for (size_t big = g_largest; n > big && !g_largest.compare_exchange_weak(big, n);) {
        }
    }
    return p;
}

void operator delete(void *p) noexcept
{
    if (p != nullptr && g_counting)
        g_live -= std::min<size_t>(g_live, malloc_usable_size(p));
    std::free(p);
}

void operator delete(void *p, size_t) noexcept
{
    operator delete(p);
}

namespace {

using velk::test::Child;
using velk::test::lines_of;
using velk::test::read_file;
using velk::test::ScratchDir;
using velk::test::write_file;
using velk::trace::Format;
using velk::trace::Frame;

const bool kLocalTime = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
}();

// 2023-11-14 23:13:19.123 in Berlin (CET), 22:13:19.123 UTC.
constexpr int64_t kStartUs = 1699999999123000;
constexpr uint16_t kStartTime[8] = {2023, 11, 2, 14, 23, 13, 19, 123};

// ---- frames ----

Frame frame(int64_t us, int channel, const std::string &text, bool tx = false)
{
    Frame f;
    std::string why;
    EXPECT_TRUE(velk::trace::parse_frame_text(text, &f, &why)) << text << ": " << why;
    f.sec = us / 1000000;
    f.usec = static_cast<uint32_t>(us % 1000000);
    f.channel = channel;
    f.tx = tx;
    return f;
}

Frame error_frame(int64_t us, int channel)
{
    Frame f;
    f.sec = us / 1000000;
    f.usec = static_cast<uint32_t>(us % 1000000);
    f.channel = channel;
    f.error = true;
    return f;
}

std::string payload_text(int n, int step)
{
    std::string s;
    for (int i = 0; i < n; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", (i * step + 1) & 0xFF);
        s += b;
    }
    return s;
}

// Every kind BLF carries: classic, extended, remote with a DLC, empty, a
// classic DLC above 8, CAN FD of 1, 3, 12 and 64 bytes with BRS and ESI in
// every mix, error frames, both channels, both directions. The first frame
// is not on a whole millisecond.
std::vector<Frame> sample_frames()
{
    const int64_t t = kStartUs + 456;
    return {
        frame(t, 0, "123#DEADBEEF"),
        frame(t + 1111, 1, "1ABCDEF0#0011", true),
        frame(t + 2222, 0, "123#R"),
        frame(t + 3333, 1, "00000456#R5"),
        frame(t + 4444, 0, "7FF#"),
        frame(t + 5555, 1, "1ABCDEF0##1" + payload_text(64, 7)),
        frame(t + 6666, 0, "123##2"),
        frame(t + 7777, 0, "000##3" + payload_text(12, 3), true),
        error_frame(t + 8888, 1),
        frame(t + 9999, 0, "321#1122334455667788_C"),
        frame(t + 11110, 1, "18DAF110##0AA"),
        frame(t + 12221, 0, "18DAF111##1AABBCC", true),
        error_frame(t + 13332, 0),
        frame(t + 1000000, 1, "7FF#0102030405060708"),
    };
}

// One frame as text with every field a BLF file keeps.
std::string describe(const Frame &f)
{
    char b[256];
    std::snprintf(b, sizeof b, "%lld.%06u ch%d %s%s%s%s%s%s%s dlc %d len %d id %X ", static_cast<long long>(f.sec),
                  f.usec, f.channel, f.tx ? "tx" : "rx", f.extended ? " ext" : "", f.remote ? " rtr" : "",
                  f.fd ? " fd" : "", f.brs ? " brs" : "", f.esi ? " esi" : "", f.error ? " error" : "", f.dlc, f.len,
                  f.id);
    std::string s = b;
    for (int i = 0; i < 64; ++i) {
        std::snprintf(b, sizeof b, "%02X", f.data[static_cast<size_t>(i)]);
        s += b;
    }
    return s;
}

std::vector<std::string> describe(const std::vector<Frame> &frames)
{
    std::vector<std::string> out;
    for (const Frame &f : frames)
        out.push_back(describe(f));
    return out;
}

bool write_blf(const std::string &path, const std::vector<Frame> &frames, int compression = 6)
{
    velk::trace::WriteOptions o;
    o.compression = compression;
    velk::trace::Writer w;
    if (!w.open(path, Format::Blf, o))
        return false;
    for (const Frame &f : frames)
        if (!w.write(f))
            return false;
    return w.close();
}

struct Read {
    std::vector<Frame> frames;
    std::vector<std::string> names;  // the file's channel names
    std::string error;
    std::vector<std::string> notices;
};

Read read_blf(const std::string &path, velk::trace::ReadOptions o = {})
{
    Read out;
    o.notice = [&out](const std::string &text) { out.notices.push_back(text); };
    velk::trace::Reader r;
    if (!r.open(path, Format::Blf, o)) {
        out.error = r.error();
        return out;
    }
    Frame f;
    int n;
    while ((n = r.next(&f)) > 0) {
        out.frames.push_back(f);
        out.names.push_back(r.channel_name());
    }
    if (n < 0)
        out.error = r.error();
    return out;
}

// ---- BLF built by hand ----

std::string u8(unsigned v)
{
    return std::string(1, static_cast<char>(v));
}
std::string u16(unsigned v)
{
    return u8(v & 0xFF) + u8(v >> 8 & 0xFF);
}
std::string u32(uint32_t v)
{
    return u16(v & 0xFFFF) + u16(v >> 16);
}
std::string u64(uint64_t v)
{
    return u32(static_cast<uint32_t>(v)) + u32(static_cast<uint32_t>(v >> 32));
}
std::string zeros(size_t n)
{
    return std::string(n, '\0');
}
std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int v : b)
        s += u8(static_cast<unsigned>(v));
    return s;
}

std::string systemtime(const uint16_t (&t)[8])
{
    std::string s;
    for (uint16_t v : t)
        s += u16(v);
    return s;
}

// The 144-byte file header; `file_size` 0 as a writer leaves it unfinished.
std::string file_header(uint64_t file_size = 0, uint32_t objects = 0)
{
    std::string h = "LOGG" + u32(144) + bytes({0, 0, 0, 0, 2, 6, 8, 1}) + u64(file_size) + u64(0) + u32(objects) +
                    u32(0) + systemtime(kStartTime) + systemtime(kStartTime);
    return h + zeros(144 - h.size());
}

// An object with a version 1 or 2 header and its padding (size % 4).
std::string object(uint32_t type, const std::string &body, uint64_t stamp, uint16_t version = 1, uint32_t flags = 2)
{
    const size_t header = version == 2 ? 40 : 32;
    const size_t size = header + body.size();
    std::string o = "LOBJ" + u16(static_cast<unsigned>(header)) + u16(version) + u32(static_cast<uint32_t>(size)) +
                    u32(type) + u32(flags);
    o += version == 2 ? bytes({0, 0}) + u16(0) + u64(stamp) + u64(0) : u16(0) + u16(0) + u64(stamp);
    return o + body + zeros(size % 4);
}

// `stated`: the uncompressed size the header gives, -1 for the true one.
std::string container(const std::string &data, bool zlib, int64_t stated = -1)
{
    std::string payload = data;
    if (zlib) {
        uLongf n = compressBound(static_cast<uLong>(data.size()));
        payload.resize(n);
        compress2(reinterpret_cast<Bytef *>(payload.data()), &n, reinterpret_cast<const Bytef *>(data.data()),
                  static_cast<uLong>(data.size()), 6);
        payload.resize(n);
    }
    const size_t size = 32 + payload.size();
    return "LOBJ" + u16(16) + u16(1) + u32(static_cast<uint32_t>(size)) + u32(10) + u16(zlib ? 2 : 0) + zeros(6) +
           u32(static_cast<uint32_t>(stated < 0 ? static_cast<int64_t>(data.size()) : stated)) + zeros(4) + payload +
           zeros(size % 4);
}

std::string can_message(unsigned channel, unsigned flags, unsigned dlc, uint32_t id, const std::string &data8)
{
    return u16(channel) + u8(flags) + u8(dlc) + u32(id) + data8 + zeros(8 - data8.size());
}

// CAN_FD_MESSAGE with `stored` of its 64 data bytes.
std::string can_fd(unsigned channel, unsigned flags, unsigned dlc, uint32_t id, unsigned fd_flags, unsigned valid,
                   const std::string &data, size_t stored = 64)
{
    std::string d = data + zeros(64 - data.size());
    return u16(channel) + u8(flags) + u8(dlc) + u32(id) + u32(0) + u8(0) + u8(fd_flags) + u8(valid) + u8(0) + u32(0) +
           d.substr(0, stored);
}

std::string can_fd64(unsigned channel, unsigned dlc, unsigned valid, uint32_t id, uint32_t flags, unsigned dir,
                     const std::string &data, unsigned ext_offset = 0)
{
    return u8(channel) + u8(dlc) + u8(valid) + u8(0) + u32(id) + u32(0) + u32(flags) + zeros(16) + u16(0) + u8(dir) +
           u8(ext_offset) + u32(0) + data;
}

std::string can_error_ext(unsigned channel)
{
    return u16(channel) + zeros(30);
}

std::string can_fd_error64(unsigned channel)
{
    return u8(channel) + zeros(43) + zeros(64);
}

// Reads bytes through the decoder as a pipe gives them: no size known.
Read decode_stream(const std::string &bytes)
{
    Read out;
    FILE *in = fmemopen(const_cast<char *>(bytes.data()), bytes.size(), "rb");
    if (in == nullptr) {
        out.error = "fmemopen failed";
        return out;
    }
    auto dec = velk::trace::detail::blf_decoder(in, {});
    Frame f;
    std::string name, why;
    int n;
    while ((n = dec->next(&f, &name, &why)) > 0) {
        out.frames.push_back(f);
        out.names.push_back(name);
        f = Frame();
    }
    if (n < 0)
        out.error = why;
    else if (const std::string s = dec->summary(); !s.empty())
        out.notices.push_back(s);
    std::fclose(in);
    return out;
}

// Frames read from a file keep the channel the Reader maps; the decoder's
// leave 0: compare without it.
std::vector<std::string> describe_unmapped(std::vector<Frame> frames)
{
    for (Frame &f : frames)
        f.channel = 0;
    return describe(frames);
}

// ---- our writer, our reader ----

struct Header {
    uint64_t file_size, uncompressed;
    uint32_t objects;
    uint16_t start[8], end[8];
};

Header header_of(const std::string &file)
{
    Header h = {};
    auto get = [&file](size_t at, size_t n) {
        uint64_t v = 0;
        for (size_t i = n; i-- > 0;)
            v = v << 8 | static_cast<uint8_t>(file[at + i]);
        return v;
    };
    h.file_size = get(16, 8);
    h.uncompressed = get(24, 8);
    h.objects = static_cast<uint32_t>(get(32, 4));
    for (size_t i = 0; i < 8; ++i) {
        h.start[i] = static_cast<uint16_t>(get(40 + 2 * i, 2));
        h.end[i] = static_cast<uint16_t>(get(56 + 2 * i, 2));
    }
    return h;
}

TEST(BlfFiles, FramesWrittenAndReadBackAreIdenticalAtEveryCompression)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    for (int level : {6, 0, 1, 9}) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(write_blf(dir.path("t.blf"), frames, level));
        const Read got = read_blf(dir.path("t.blf"));
        EXPECT_EQ(got.error, "");
        EXPECT_EQ(describe(got.frames), describe(frames));
        std::vector<std::string> names;
        for (const Frame &f : frames)
            names.push_back(f.channel == 0 ? "1" : "2");
        EXPECT_EQ(got.names, names);
        EXPECT_TRUE(got.notices.empty());

        // The header: sizes and count filled in at the end, local start and
        // end times to the millisecond.
        const std::string file = read_file(dir.path("t.blf"));
        ASSERT_GE(file.size(), 144u);
        EXPECT_EQ(file.substr(0, 8), "LOGG" + u32(144));
        const Header h = header_of(file);
        EXPECT_EQ(h.file_size, file.size());
        EXPECT_EQ(h.objects, frames.size());
        const uint16_t end[8] = {2023, 11, 2, 14, 23, 13, 20, 123};
        EXPECT_EQ(std::vector<uint16_t>(h.start, h.start + 8), std::vector<uint16_t>(kStartTime, kStartTime + 8));
        EXPECT_EQ(std::vector<uint16_t>(h.end, h.end + 8), std::vector<uint16_t>(end, end + 8));
        // One container: its 16 + 16 header bytes beside the objects' own.
        const size_t objects = 7 * 56 + 2 * 64 + (72 + 64) + 72 + (72 + 12) + (72 + 1 + 1) + (72 + 3 + 3);
        EXPECT_EQ(h.uncompressed, 144 + 32 + objects);
        EXPECT_EQ(file.substr(144 + 12, 4), u32(10));
        EXPECT_EQ(file.substr(144 + 16, 2), u16(level == 0 ? 0 : 2));
    }
}

TEST(BlfFiles, ManyFramesFillContainersOfAboutOneHundredTwentyEightKilobytes)
{
    ScratchDir dir;
    std::vector<Frame> frames;
    for (int i = 0; i < 20000; ++i) {
        Frame f = frame(kStartUs + int64_t{i} * 97, i % 2, i % 3 ? "123#0011223344556677" : "1ABCDEF0##1" + payload_text(i % 65 > 12 ? 12 : 0, i));
        frames.push_back(f);
    }
    for (int level : {6, 0}) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(write_blf(dir.path("many.blf"), frames, level));
        const Read got = read_blf(dir.path("many.blf"));
        EXPECT_EQ(got.error, "");
        EXPECT_EQ(describe(got.frames), describe(frames));
        const std::string file = read_file(dir.path("many.blf"));
        size_t at = 144, containers = 0;
        while (at + 32 <= file.size()) {
            ASSERT_EQ(file.substr(at, 4), "LOBJ");
            uint32_t size = 0, stated = 0;  // little-endian, as this machine
            std::memcpy(&size, file.data() + at + 8, 4);
            std::memcpy(&stated, file.data() + at + 24, 4);
            at += size + size % 4;
            // The last one holds what was left.
            if (at < file.size()) {
                EXPECT_GE(stated, 128u * 1024) << "container " << containers;
            }
            EXPECT_LT(stated, 128u * 1024 + 140) << "container " << containers;
            ++containers;
        }
        EXPECT_EQ(at, file.size());
        EXPECT_GE(containers, 8u);
    }
}

TEST(BlfFiles, FlushWritesWhatIsBufferedAsAWholeContainer)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    velk::trace::Writer w;
    ASSERT_TRUE(w.open(dir.path("f.blf"), Format::Blf, {}));
    ASSERT_TRUE(w.write(frames[0]));
    ASSERT_TRUE(w.write(frames[1]));
    ASSERT_TRUE(w.flush());
    // What a reader sees while the file is still being written.
    Read mid = read_blf(dir.path("f.blf"));
    EXPECT_EQ(mid.error, "");
    EXPECT_EQ(describe(mid.frames), describe({frames[0], frames[1]}));
    ASSERT_TRUE(w.write(frames[2]));
    ASSERT_TRUE(w.close());
    const Read got = read_blf(dir.path("f.blf"));
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(describe(got.frames), describe({frames[0], frames[1], frames[2]}));
    EXPECT_EQ(header_of(read_file(dir.path("f.blf"))).objects, 3u);
}

TEST(BlfFiles, AFileWithoutFramesIsAHeaderThatReadsAsEmpty)
{
    ScratchDir dir;
    ASSERT_TRUE(write_blf(dir.path("e.blf"), {}));
    const std::string file = read_file(dir.path("e.blf"));
    EXPECT_EQ(file.size(), 144u);
    EXPECT_EQ(header_of(file).file_size, 144u);
    const Read got = read_blf(dir.path("e.blf"));
    EXPECT_EQ(got.error, "");
    EXPECT_TRUE(got.frames.empty());
}

TEST(BlfFiles, OnAPipeTheHeaderKeepsTheStartTimeAndTheFileReadsBack)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::string piped;
    std::thread drain([&piped, fd = fds[0]] {
        char b[4096];
        ssize_t n;
        while ((n = ::read(fd, b, sizeof b)) > 0)
            piped.append(b, static_cast<size_t>(n));
        ::close(fd);
    });
    FILE *out = fdopen(fds[1], "wb");
    ASSERT_NE(out, nullptr);
    uint64_t written = 0;
    {
        std::string pending;
        velk::trace::detail::Output o(out, &written, &pending);
        auto enc = velk::trace::detail::blf_encoder({});
        ASSERT_TRUE(enc->begin(o));
        for (const Frame &f : frames)
            ASSERT_TRUE(enc->write(o, f));
        ASSERT_TRUE(enc->finish(o));
        ASSERT_TRUE(o.flush());
    }
    std::fclose(out);
    drain.join();
    EXPECT_EQ(piped.size(), written);
    const Header h = header_of(piped);
    EXPECT_EQ(h.file_size, 0u);
    EXPECT_EQ(h.objects, 0u);
    EXPECT_EQ(std::vector<uint16_t>(h.start, h.start + 8), std::vector<uint16_t>(kStartTime, kStartTime + 8));
    ASSERT_TRUE(write_file(dir.path("p.blf"), piped));
    const Read got = read_blf(dir.path("p.blf"));
    EXPECT_EQ(got.error, "");
    EXPECT_EQ(describe(got.frames), describe(frames));
}

// ---- python-can and tshark ----

std::string run_python(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null")
{
    std::vector<std::string> argv = {VELK_PYTHON3, VELK_TESTS_DIR "/blf_python_can.py"};
    argv.insert(argv.end(), args.begin(), args.end());
    Child py;
    EXPECT_TRUE(velk::test::run(&py, argv, 60000, stdin_path));
    EXPECT_EQ(py.status(), 0) << py.err() << " (python3-can missing? run scripts/setup)";
    return py.out();
}

std::string hex(const Frame &f, size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", f.data[i]);
        s += b;
    }
    return s;
}

std::string seconds(int64_t us)
{
    char b[40];
    std::snprintf(b, sizeof b, "%lld.%06lld", static_cast<long long>(us / 1000000), static_cast<long long>(us % 1000000));
    return b;
}

// The line blf_python_can.py prints for a frame BLFReader read well.
std::string python_line(const Frame &f)
{
    char b[300];
    // python-can gives an FD frame's length as its dlc, a classic frame's
    // DLC code as it stands (with at most 8 bytes), channels from 0.
    const int dlc = f.fd ? f.len : f.dlc;
    std::snprintf(b, sizeof b, "%s %d %X %d %d %d %d %d %d %d %s %d", seconds(velk::test::us_of(f)).c_str(),
                  f.channel, f.id, f.extended, f.remote, f.fd, f.brs, f.esi, f.error, dlc, hex(f, f.len).c_str(),
                  !f.tx);
    return b;
}

TEST(BlfInterop, PythonCanReadsOurFilesFieldByField)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    for (int level : {6, 0}) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(write_blf(dir.path("ours.blf"), frames, level));
        const auto got = lines_of(run_python({"read", dir.path("ours.blf")}));
        std::vector<std::string> want;
        for (const Frame &f : frames)
            want.push_back(python_line(f));
        EXPECT_EQ(got, want);
    }
}

// Fields of each frame tshark decodes.
constexpr const char *kTsharkFields[] = {"frame.time_epoch", "frame.interface_name", "frame.p2p_dir",
                                         "frame.protocols",  "can.id",               "can.flags.xtd",
                                         "can.flags.rtr",    "can.len",              "canfd.flags.brs",
                                         "canfd.flags.esi",  "data.data"};

TEST(BlfInterop, TsharkReadsOurFilesFieldByField)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_blf(dir.path("ours.blf"), frames));
    // Its AUTOSAR NM heuristics would take identifier 0 for theirs.
    std::vector<std::string> args = {"tshark", "-r", dir.path("ours.blf"), "--disable-protocol", "autosar-nm",
                                     "-T", "fields", "-E", "separator=/s"};
    for (const char *field : kTsharkFields) {
        args.push_back("-e");
        args.push_back(field);
    }
    Child ts;
    ASSERT_TRUE(velk::test::run(&ts, args, 60000)) << "tshark missing? run scripts/setup";
    ASSERT_EQ(ts.status(), 0) << ts.err();
    std::vector<std::string> want;
    for (const Frame &f : frames) {
        // tshark 4.0 drops BLF error objects (CAN_ERROR_EXT), which are frames
        // of the file all the same: our reader and python-can give them.
        if (f.error)
            continue;
        // tshark 4.0 gives a BLF CAN FD frame as a classic CAN frame of its
        // length, without FD, BRS or ESI; the objects say them (python-can
        // reads them) and tshark's own pcapng CAN FD frames show them.
        std::string data = hex(f, f.len);
        for (char &c : data)
            c = static_cast<char>(std::tolower(c));
        char b[300];
        std::snprintf(b, sizeof b, "%s000 CAN-%d %d %s %u %d %d %d   %s", seconds(velk::test::us_of(f)).c_str(),
                      f.channel + 1, f.tx ? 0 : 1, f.len > 0 ? "can:data" : "can", f.id, f.extended, f.remote,
                      f.remote ? f.dlc : f.len, data.c_str());
        want.push_back(b);
    }
    EXPECT_EQ(lines_of(ts.out()), want);
}

// What blf_python_can.py write takes for a frame.
std::string python_input(const Frame &f)
{
    const std::string data = hex(f, f.len);
    char b[300];
    std::snprintf(b, sizeof b, "%s %d %X %d %d %d %d %d %d %d %s %d", seconds(velk::test::us_of(f)).c_str(),
                  f.channel, f.id, f.extended, f.remote, f.fd, f.brs, f.esi, f.error, f.fd ? f.len : f.dlc,
                  data.empty() ? "-" : data.c_str(), !f.tx);
    return b;
}

struct PythonFile {
    std::vector<std::string> theirs;  // BLFReader's lines
    Read ours;
};

// python-can's BLFWriter writes `frames`; both readers read the file.
PythonFile python_blf(const ScratchDir &dir, const std::vector<Frame> &frames, int level, int container, bool marker,
                      bool flush_all)
{
    std::string input;
    for (const Frame &f : frames)
        input += python_input(f) + "\n";
    EXPECT_TRUE(write_file(dir.path("in.txt"), input));
    EXPECT_EQ(run_python({"write", dir.path("py.blf"), std::to_string(level), std::to_string(container),
                          marker ? "1" : "0", flush_all ? "1" : "0"},
                         dir.path("in.txt")),
              "");
    return {lines_of(run_python({"read", dir.path("py.blf")})), read_blf(dir.path("py.blf"))};
}

std::vector<std::string> python_lines(const std::vector<Frame> &frames)
{
    std::vector<std::string> out;
    for (const Frame &f : frames)
        out.push_back(python_line(f));
    return out;
}

TEST(BlfInterop, WeReadPythonCanFilesAsPythonCanDoes)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    struct Case {
        const char *what;
        int level;
        int container;
        bool marker;
    };
    // Small containers split objects between two or more of them.
    const Case cases[] = {{"zlib", -1, 128 * 1024, false},
                          {"stored", 0, 128 * 1024, false},
                          {"objects across containers", 6, 100, false},
                          {"stored, across containers", 0, 37, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const PythonFile py = python_blf(dir, frames, c.level, c.container, c.marker, true);
        EXPECT_EQ(py.ours.error, "");
        EXPECT_EQ(python_lines(py.ours.frames), py.theirs);
        ASSERT_EQ(py.ours.frames.size(), frames.size());
        // Both read the times python-can wrote: counted from the first
        // message's time rounded to the millisecond for the header, though
        // python-can's writer counted them from that time unrounded.
        for (size_t i = 0; i < frames.size(); ++i)
            EXPECT_EQ(velk::test::us_of(py.ours.frames[i]), velk::test::us_of(frames[i]) - 456) << "frame " << i;
        EXPECT_EQ(py.ours.notices, c.marker ? std::vector<std::string>{dir.path("py.blf") +
                                                                        ": 1 object without a CAN frame skipped: 1 "
                                                                        "of type 96 (GLOBAL_MARKER)"}
                                            : std::vector<std::string>{});
    }
}

TEST(BlfInterop, APythonCanFileCutShortIsAnErrorForUsAndSilentForPythonCan)
{
    // python-can 4.1's BLFWriter writes one container when it stops: with
    // small containers the rest of its messages never reach the file, and
    // its BLFReader drops the object left cut at the end without a word.
    // We deliver the same frames and say where the file ends.
    ScratchDir dir;
    const auto frames = sample_frames();
    const PythonFile py = python_blf(dir, frames, 6, 37, false, false);
    ASSERT_LT(py.theirs.size(), frames.size());
    EXPECT_EQ(python_lines(py.ours.frames), py.theirs);
    EXPECT_NE(py.ours.error.find(": the file ends inside an object of type "), std::string::npos) << py.ours.error;
}

// ---- files built here byte by byte ----

// Every CAN object kind in both header versions and both time units, FD
// objects that store fewer bytes than they count or carry an extension,
// kinds without frames between them, channel 3.
struct Objects {
    std::string stream;  // the objects one after the other, as a container holds them
    std::vector<Frame> frames;
    std::vector<std::string> names;
};

Objects every_kind()
{
    Objects o;
    auto add = [&o](const std::string &obj, int64_t us, const std::string &name, const std::string &text,
                    bool tx = false) {
        o.stream += obj;
        Frame f = text.empty() ? error_frame(kStartUs + us, 0) : frame(kStartUs + us, 0, text, tx);
        f.channel = name == "1" ? 0 : name == "2" ? 1 : -1;
        o.frames.push_back(f);
        o.names.push_back(name);
    };
    // 10 µs units; 1 ns units rounded to the microsecond.
    add(object(1, can_message(1, 0x01, 3, 0x123, bytes({1, 2, 3})), 12345, 1, 1), 123450, "1", "123#010203", true);
    add(object(86, can_message(2, 0x80, 5, 0x80000456, "") + zeros(8), 1234567891, 2, 2), 1234568, "2",
        "00000456#R5");
    o.stream += object(65, u32(0) + u32(4) + u32(0) + "text", 0);
    add(object(100, can_fd(1, 0, 9, 0x7FF, 0x03, 12, bytes({9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2})), 2000000), 2000,
        "1", "7FF##1090807060504030201000102");
    // 32 bytes counted, 20 stored: the rest are zeros, not what follows.
    add(object(100, can_fd(2, 1, 13, 0x80000001, 0x05, 32, std::string(20, '\x11'), 20), 3000000), 3000, "2",
        "00000001##2" + std::string(40, '1') + std::string(24, '0'), true);
    add(object(101, can_fd64(1, 15, 64, 0x100, 0x5000, 1, std::string(64, '\x22')), 4000000), 4000, "1",
        "100##2" + std::string(128, '2'), true);
    add(object(101, can_fd64(2, 15, 64, 0x101, 0x3000, 0, std::string(8, '\x33')), 5000000), 5000, "2",
        "101##1" + std::string(16, '3') + std::string(112, '0'));
    // An extension after 12 bytes of data, where 16 are counted.
    add(object(101, can_fd64(1, 10, 16, 0x102, 0x1000, 0, std::string(12, '\x44') + u32(0xAAAAAAAA) + u32(0xBBBBBBBB),
                             32 + 40 + 12),
               6000000),
        6000, "1", "102##0" + std::string(24, '4') + std::string(8, '0'));
    // Classic frames in the FD objects: remote by their flags.
    add(object(101, can_fd64(3, 2, 0, 0x103, 0x0010, 0, ""), 7000000), 7000, "3", "103#R2");
    add(object(100, can_fd(1, 0x80, 4, 0x104, 0, 0, ""), 8000000), 8000, "1", "104#R4");
    add(object(2, u16(1) + u16(0), 900, 1, 1), 9000, "1", "");
    o.stream += object(999, "", 0);
    add(object(73, can_error_ext(2), 10000000), 10000, "2", "");
    add(object(104, can_fd_error64(1), 11000000), 11000, "1", "");
    return o;
}

const char kEveryKindSkipped[] = "2 objects without a CAN frame skipped: 1 of type 65 (APP_TEXT), 1 of type 999";

TEST(BlfFiles, EveryCanObjectKindIsRead)
{
    ScratchDir dir;
    const Objects o = every_kind();
    for (bool zlib : {true, false}) {
        SCOPED_TRACE(zlib);
        ASSERT_TRUE(write_file(dir.path("k.blf"), file_header() + container(o.stream, zlib)));
        const Read got = read_blf(dir.path("k.blf"));
        EXPECT_EQ(got.error, "");
        EXPECT_EQ(describe(got.frames), describe(o.frames));
        EXPECT_EQ(got.names, o.names);
        EXPECT_EQ(got.notices, std::vector<std::string>{dir.path("k.blf") + ": " + kEveryKindSkipped});
    }
}

TEST(BlfFiles, ObjectsSpanningContainersAreReadWhereverTheyAreCut)
{
    const Objects o = every_kind();
    const std::string &s = o.stream;
    for (size_t cut = 1; cut < s.size(); ++cut) {
        SCOPED_TRACE(cut);
        // A zlib container, then a stored one of one byte, then the rest;
        // and the other way round.
        const size_t one = std::min(cut + 1, s.size());
        const Read a = decode_stream(file_header() + container(s.substr(0, cut), true) +
                                     container(s.substr(cut, one - cut), false) + container(s.substr(one), true));
        ASSERT_EQ(a.error, "");
        ASSERT_EQ(describe_unmapped(a.frames), describe_unmapped(o.frames));
        ASSERT_EQ(a.names, o.names);
        const Read b = decode_stream(file_header() + container(s.substr(0, cut), false) + container(s.substr(cut), true));
        ASSERT_EQ(b.error, "");
        ASSERT_EQ(describe_unmapped(b.frames), describe_unmapped(o.frames));
        ASSERT_EQ(b.notices, std::vector<std::string>{kEveryKindSkipped});
    }
}

TEST(BlfFiles, ObjectsOutsideContainersAndPaddingToFourAreRead)
{
    ScratchDir dir;
    // An object of 73 bytes padded by 3 (to a multiple of four) rather than
    // by 73 % 4; objects outside any container, as older writers left them.
    const std::string fd1 = object(101, can_fd64(1, 1, 1, 0x5, 0x1000, 0, bytes({0x77})), 1000);
    ASSERT_EQ(fd1.size(), 74u);
    const std::string padded = fd1 + zeros(2);
    const std::string plain = object(86, can_message(2, 0, 2, 0x6, bytes({1, 2})) + zeros(8), 2000);
    ASSERT_TRUE(write_file(dir.path("p.blf"), file_header() + container(padded + padded, false) + plain +
                                                  container(padded, true) + plain));
    const Read got = read_blf(dir.path("p.blf"));
    EXPECT_EQ(got.error, "");
    const Frame a = frame(kStartUs + 1, 0, "005##077"), b = frame(kStartUs + 2, 1, "006#0102");
    EXPECT_EQ(describe(got.frames), describe({a, a, b, a, b}));
}

TEST(BlfInterop, PythonCanTakesTheNextObjectsBytesWhereAnFdObjectStoresFewerThanItCounts)
{
    // CAN_FD_MESSAGE_64 counting 64 bytes and storing 8. python-can 4.1
    // reads 64 bytes on, into the next object (its "LOBJ" and header); the
    // bytes not stored are unknown, and zeros are what we give.
    ScratchDir dir;
    const std::string next = object(1, can_message(1, 0, 1, 0x9, bytes({9})), 2000);
    ASSERT_TRUE(write_file(dir.path("s.blf"),
                           file_header() + container(object(101, can_fd64(2, 15, 64, 0x101, 0x1000, 0,
                                                                           std::string(8, '\x33')),
                                                            1000) +
                                                         next,
                                                     true)));
    const Read ours = read_blf(dir.path("s.blf"));
    EXPECT_EQ(ours.error, "");
    ASSERT_EQ(ours.frames.size(), 2u);
    EXPECT_EQ(hex(ours.frames[0], 64), std::string(16, '3') + std::string(112, '0'));
    const auto theirs = lines_of(run_python({"read", dir.path("s.blf")}));
    ASSERT_EQ(theirs.size(), 2u);
    std::string next_hex;
    for (char c : next.substr(0, 56)) {
        char b[3];
        std::snprintf(b, sizeof b, "%02X", static_cast<uint8_t>(c));
        next_hex += b;
    }
    EXPECT_NE(theirs[0].find(" 64 " + std::string(16, '3') + next_hex + " "), std::string::npos) << theirs[0];
    EXPECT_EQ(theirs[1], python_line(ours.frames[1]));
}

// ---- damaged files ----

std::string with_u32(std::string s, size_t at, uint32_t v)
{
    s.replace(at, 4, u32(v));
    return s;
}

// The size an object's header gives (without its padding).
uint32_t size_of(const std::string &object)
{
    uint32_t v = 0;
    for (size_t i = 4; i-- > 0;)
        v = v << 8 | static_cast<uint8_t>(object[8 + i]);
    return v;
}

std::string object_header(uint32_t size, uint32_t type)
{
    return "LOBJ" + u16(32) + u16(1) + u32(size) + u32(type) + zeros(16);
}

TEST(BlfFiles, DamagedFilesSayWhereAfterEveryFrameBefore)
{
    ScratchDir dir;
    // A header as a writer leaves it while writing (no size yet), and one
    // of a finished file: cut short, the first is where its writer stopped
    // (every whole object read, said in a notice), the second is damage.
    const std::string h = file_header();
    const std::string hf = file_header(1 << 20);
    const std::string g1 = object(86, can_message(1, 0, 2, 0x10, bytes({1, 2})) + zeros(8), 1000);
    const std::string g2 = object(86, can_message(2, 0, 2, 0x20, bytes({3, 4})) + zeros(8), 2000);
    ASSERT_EQ(g1.size(), 56u);
    const std::string zc = container(g1 + g2, true);  // at 144
    const std::string sc = container(g1 + g2, false);
    ASSERT_EQ(sc.size(), 144u);
    const std::string end = std::to_string(144 + zc.size());
    const std::string after = std::to_string(144 + zc.size());  // a second container's offset
    std::string corrupt = zc;
    corrupt[32] = '\x55';  // the zlib stream's first byte
    std::string method5 = sc;
    method5[16] = 5;
    const std::string big = object_header(0xFFFFFFFF, 65);
    const std::string deflated = zc.substr(32, size_of(zc) - 32);
    const std::string z1 = container(g1, true);

    struct Case {
        const char *what;
        std::string bytes;
        bool stream;  // read as a pipe gives it, its size unknown
        size_t frames;
        std::string error;
        bool notice = false;  // the file ends early, said in the summary
    };
    const Case cases[] = {
        {"empty", "", false, 0, "at byte 0: the file ends inside its header"},
        {"not BLF", "LOGX" + h.substr(4) + zc, false, 0, "at byte 0: not a BLF file (it does not begin with LOGG)"},
        {"header cut", h.substr(0, 100), false, 0, "at byte 100: the file ends inside its header"},
        {"header size", with_u32(h, 4, 10) + zc, false, 0, "at byte 4: a file header of 10 bytes, not a BLF header's"},
        {"header size huge", with_u32(h, 4, 0xFFFFFFFF) + zc, false, 0,
         "at byte 4: a file header of 4294967295 bytes, not a BLF header's"},
        {"container header cut", hf + sc.substr(0, 20), true, 0, "at byte 144: the file ends inside a container header"},
        {"container past the end", hf + sc.substr(0, 20), false, 0,
         "at byte 144: an object of 144 bytes runs past the end of the file (20 bytes left)"},
        {"stored container cut", hf + sc + sc.substr(0, 98), true, 3,
         "at byte 386: the file ends inside the container at byte 288"},
        {"stored container past the end", hf + sc + sc.substr(0, 98), false, 2,
         "at byte 288: an object of 144 bytes runs past the end of the file (98 bytes left)"},
        {"unfinished, cut inside a container", h + sc + sc.substr(0, 98), false, 2, "", true},
        {"unfinished, cut inside a container, as a stream", h + sc + sc.substr(0, 98), true, 3, "", true},
        {"unfinished, cut inside a compressed container", h + zc + zc.substr(0, zc.size() - 5), false, 2, "", true},
        {"zlib container past the end", hf + zc + zc.substr(0, zc.size() - 5), false, 2,
         "at byte " + after + ": an object of " + std::to_string(size_of(zc)) +
             " bytes runs past the end of the file (" + std::to_string(zc.size() - 5) + " bytes left)"},
        {"corrupt zlib", h + zc + corrupt, false, 2,
         "at byte " + after + ": a container's zlib data is corrupt (incorrect header check)"},
        {"zlib stream cut inside its container", h + "LOBJ" + u16(16) + u16(1) + u32(32 + 10) + u32(10) + u16(2) +
                                                     zeros(6) + u32(112) + zeros(4) + deflated.substr(0, 10) +
                                                     zeros(2),
         false, 0, "at byte 144: a container's zlib data ends before its stream does"},
        {"object of size 0", h + container(g1 + object_header(0, 86), false), false, 1,
         "at byte 232: an object of type 86 says it is 0 bytes with a header of 32"},
        {"object of size 0, compressed", h + container(g1 + object_header(0, 86), true), false, 1,
         "at byte 144 (byte 56 of the container's data): an object of type 86 says it is 0 bytes with a header of 32"},
        {"object smaller than its header", h + container(g1 + object_header(20, 1), false), false, 1,
         "at byte 232: an object of type 1 says it is 20 bytes with a header of 32"},
        {"object too short for its fields", h + container(g1 + object(1, zeros(8), 0), false), false, 1,
         "at byte 232: an object of type 1 of 40 bytes, too short for its fields"},
        {"no object", h + zc + "JUNK" + zeros(12), false, 2, "at byte " + after + ": no BLF object here (LOBJ expected)"},
        {"no object in a container", h + container(g1 + "JUNK" + zeros(28), false), false, 1,
         "at byte 232: no BLF object here (LOBJ expected)"},
        {"object header cut", h + container(g1 + "LOBJ" + zeros(6), false), false, 1,
         "at byte 232: the file ends inside an object header"},
        {"unknown compression", h + method5, false, 0,
         "at byte 144: a container compressed by method 5, which is neither stored (0) nor zlib (2)"},
        {"container claims 4 GB", h + container(g1, true, 0xFFFFFFFF), false, 0,
         "at byte 144: a container says its " + std::to_string(size_of(z1) - 32) +
             " compressed bytes hold 4294967295, more than zlib can make of them"},
        {"container inflates short", h + container(g1 + g2, true, 200), false, 2,
         "at byte 144: a container inflates to 112 bytes, not the 200 its header says"},
        {"container inflates long", h + container(g1 + g2, true, 60), false, 1,
         "at byte 144: a container inflates past the 60 bytes its header says"},
        {"object claims 4 GB", h + container(g1 + big, true), true, 1,
         "at byte 144 (byte 56 of the container's data): the file ends inside an object of type 65 (4294967295 bytes)"},
        {"header says 10 GB", file_header(10000000000) + zc, false, 2,
         "at byte " + end + ": the file ends here, but its header says it holds 10000000000 bytes"},
        {"header counts 4e9 objects", file_header(0, 4000000000) + zc, false, 2,
         "at byte " + end + ": the file ends here, but its header counts 4000000000 objects and it holds 2"},
        {"file cut between containers", file_header(144 + 2 * zc.size()) + zc, true, 2,
         "at byte " + end + ": the file ends here, but its header says it holds " + std::to_string(144 + 2 * zc.size()) +
             " bytes"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Read got;
        if (c.stream) {
            got = decode_stream(c.bytes);
            EXPECT_EQ(got.error, c.error);
        } else {
            ASSERT_TRUE(write_file(dir.path("bad.blf"), c.bytes));
            got = read_blf(dir.path("bad.blf"));
            EXPECT_EQ(got.error, c.error.empty() ? "" : dir.path("bad.blf") + ": " + c.error);
        }
        ASSERT_EQ(got.frames.size(), c.frames);
        EXPECT_EQ(!got.notices.empty() && got.notices[0].find("the file ends early") != std::string::npos, c.notice)
            << (got.notices.empty() ? "" : got.notices[0]);
        const std::vector<std::string> firsts = {"010#0102", "020#0304"};
        for (size_t i = 0; i < c.frames; ++i)
            EXPECT_EQ(velk::trace::frame_text(got.frames[i], false), firsts[i % 2]) << "frame " << i;
    }
}

TEST(BlfFiles, ReadingHoldsAFewHundredKilobytesWhateverTheFileSaysOrHolds)
{
    ScratchDir dir;
    // About 14 MB of frames, then files whose sizes lie by gigabytes. (zlib
    // allocates its inflate state, a fixed 40 KB or so, with malloc.)
    std::vector<Frame> frames;
    for (int i = 0; i < 200000; ++i)
        frames.push_back(frame(kStartUs + i * 10, i % 2, i % 2 ? "1ABCDEF0##1" + payload_text(12, i) : "123#0011223344556677"));
    ASSERT_TRUE(write_blf(dir.path("big.blf"), frames));
    frames.clear();
    frames.shrink_to_fit();
    const std::string g1 = object(86, can_message(1, 0, 2, 0x10, bytes({1, 2})) + zeros(8), 1000);
    ASSERT_TRUE(write_file(dir.path("huge.blf"), file_header(10000000000, 0xFFFFFFFF) + container(g1, true, 0xFFFFFFFF) +
                                                     container(g1 + object_header(0xFFFFFFFF, 65), true)));
    ASSERT_TRUE(write_file(dir.path("huge2.blf"), file_header(10000000000, 0xFFFFFFFF) +
                                                      container(g1 + object_header(0xFFFFFFFF, 101), false)));
    struct Case {
        const char *file;
        size_t frames;
    };
    for (const Case c : {Case{"big.blf", 200000}, Case{"huge.blf", 0}, Case{"huge2.blf", 1}}) {
        SCOPED_TRACE(c.file);
        g_live = g_peak = g_largest = 0;
        g_counting = true;
        velk::trace::Reader r;
        ASSERT_TRUE(r.open(dir.path(c.file), Format::Blf, {}));
        Frame f;
        size_t n = 0;
        while (r.next(&f) > 0)
            ++n;
        r.close();
        g_counting = false;
        EXPECT_EQ(n, c.frames);
        EXPECT_LT(g_peak.load(), 400u * 1024);
        EXPECT_LE(g_largest.load(), 128u * 1024);
    }
}

}  // namespace
