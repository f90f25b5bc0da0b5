// MF4 traces: our writer read back by our reader and by an MDF block walker
// of its own (tests/mf4_oracle.py), files that walker builds in the layouts
// loggers write (sorted and not, DT/DZ/DL/HL, SD and VLSD data, times of
// every kind, unfinalized) read by ours, and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools_support.h"
#include "trace.h"

namespace {

using velk::test::Child;
using velk::test::read_file;
using velk::test::read_trace;
using velk::test::ScratchDir;
using velk::test::write_file;
using velk::trace::Format;
using velk::trace::Frame;

constexpr int64_t kStartUs = 1700000000123456;  // the oracle builder's start time

const std::string kOracle = std::string(VELK_TESTS_DIR) + "/mf4_oracle.py";

Frame make(int64_t rel_us, int channel, const char *text, bool tx = false)
{
    Frame f;
    std::string why;
    EXPECT_TRUE(velk::trace::parse_frame_text(text, &f, &why)) << text << ": " << why;
    const int64_t us = kStartUs + rel_us;
    f.sec = us / 1000000;
    f.usec = static_cast<uint32_t>(us % 1000000);
    f.channel = channel;
    f.tx = tx;
    return f;
}

Frame error_frame(int64_t rel_us, int channel, bool tx = false)
{
    Frame f = make(rel_us, channel, "000#");
    f.error = true;
    f.tx = tx;
    return f;
}

// CAN FD, BRS and ESI, 64 bytes.
Frame fd64(int64_t rel_us, int channel)
{
    Frame f = make(rel_us, channel, "1ABCDEF0##3");
    f.dlc = 15;
    f.len = 64;
    for (int i = 0; i < 64; ++i)
        f.data[i] = static_cast<uint8_t>(i * 7);
    return f;
}

// Every kind the format keeps: classic and FD, 11 and 29 bits, remote with
// a DLC, a classic DLC above 8, empty payloads, error frames, both
// directions and channels; times 10 µs apart or more (for 10 µs time units).
std::vector<Frame> sample_frames()
{
    std::vector<Frame> v = {
        make(0, 0, "123#DEADBEEF"),
        make(10, 1, "1ABCDEF0#0011", true),
        make(20, 0, "123#R"),
        make(30, 1, "00000456#R5"),
        make(40, 0, "7FF#"),
        fd64(1000, 1),
        make(1010, 0, "123##2"),
        make(1020, 0, "000##1001122334455667788990011", true),
        make(1030, 1, "20000080#0000000000000000"),
        error_frame(1040, 0),
        make(5000, 0, "321#1122334455667788_D"),
        error_frame(6000, 1, true),
        make(2500000, 1, "18DAF110##0"),
    };
    return v;
}

// One line per frame as the oracle prints and builds them.
std::string oracle_line(const Frame &f)
{
    const char kind = f.error ? 'e' : f.remote ? 'r' : 'd';
    char b[160];
    std::snprintf(b, sizeof b, "%lld %d %c %X %d %d %d %d %d %d %d ",
                  static_cast<long long>(velk::test::us_of(f)), f.channel + 1, kind, f.id, f.extended ? 1 : 0,
                  f.dlc, f.len, f.tx ? 1 : 0, f.fd ? 1 : 0, f.brs ? 1 : 0, f.esi ? 1 : 0);
    std::string s = b;
    if (f.len == 0) {
        s += '-';
    } else {
        for (int i = 0; i < f.len; ++i) {
            std::snprintf(b, sizeof b, "%02X", f.data[i]);
            s += b;
        }
    }
    return s;
}

std::string oracle_lines(const std::vector<Frame> &frames)
{
    std::string s;
    for (const Frame &f : frames)
        s += oracle_line(f) + "\n";
    return s;
}

bool write_mf4(const std::string &path, const std::vector<Frame> &frames, int level = 6, int flush_every = 0)
{
    velk::trace::Writer w;
    velk::trace::WriteOptions o;
    o.compression = level;
    if (!w.open(path, Format::Mf4, o))
        return false;
    for (size_t i = 0; i < frames.size(); ++i) {
        if (!w.write(frames[i]))
            return false;
        if (flush_every > 0 && i % flush_every == 0 && !w.flush())
            return false;
    }
    return w.close();
}

void expect_frames(const std::vector<Frame> &got, const std::vector<Frame> &want)
{
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_EQ(oracle_line(got[i]), oracle_line(want[i])) << "frame " << i;
    for (size_t i = 0; i < want.size(); ++i)
        EXPECT_TRUE(got[i] == want[i]) << "frame " << i;
}

// Goes back to the place before every frame and reads on from there: the
// frames after it are those of a straight read, and no place is reached
// by reading the file again from its start.
void expect_places_resume(const std::string &path, const std::vector<Frame> &want)
{
    velk::trace::Reader r;
    ASSERT_TRUE(r.open(path, Format::Mf4, {})) << r.error();
    std::vector<velk::trace::ResumePoint> places(want.size());
    Frame f;
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_TRUE(r.mark(&places[i]));
        EXPECT_EQ(places[i].replay, i == 0) << "frame " << i;
        ASSERT_EQ(r.next(&f), 1) << r.error();
    }
    velk::trace::Reader back;
    ASSERT_TRUE(back.open(path, Format::Mf4, {}));
    for (size_t i = want.size(); i-- > 0;) {
        ASSERT_TRUE(back.seek(places[i])) << "frame " << i << ": " << back.error();
        for (size_t k = i; k < want.size(); ++k) {
            ASSERT_EQ(back.next(&f), 1) << "frame " << k << " after the place of frame " << i << ": " << back.error();
            ASSERT_TRUE(f == want[k]) << "frame " << k << " after the place of frame " << i;
        }
        EXPECT_EQ(back.next(&f), 0) << back.error();
    }
}

// Many frames: several data blocks of each kind, and a DL list over them.
std::vector<Frame> many_frames(int n)
{
    std::vector<Frame> v;
    uint32_t rng = 99;
    int64_t us = kStartUs;
    for (int i = 0; i < n; ++i) {
        rng ^= rng << 13;
        rng ^= rng >> 17;
        rng ^= rng << 5;
        Frame f;
        us += 10 * (1 + rng % 3);
        f.sec = us / 1000000;
        f.usec = static_cast<uint32_t>(us % 1000000);
        f.channel = static_cast<int>(rng >> 3 & 1);
        f.tx = (rng >> 4 & 1) != 0;
        f.extended = (rng >> 5 & 1) != 0;
        f.id = rng & (f.extended ? 0x1FFFFFFF : 0x7FF);
        if (i % 97 == 5) {
            f.error = true;
            f.id = 0;
            f.extended = false;
        } else if (i % 31 == 7) {
            f.remote = true;
            f.dlc = rng % 9;
        } else {
            f.fd = (rng >> 6 & 1) != 0;
            f.brs = f.fd && (rng >> 7 & 1);
            f.dlc = static_cast<uint8_t>(rng >> 8 & (f.fd ? 15 : 7));
            f.len = static_cast<uint8_t>(velk::trace::dlc_to_len(f.dlc));
            for (int k = 0; k < f.len; ++k)
                f.data[k] = static_cast<uint8_t>(rng >> (k % 24));
        }
        v.push_back(f);
    }
    return v;
}

TEST(Mf4Trace, FramesWrittenReadBackIdenticallyAtEveryCompression)
{
    ScratchDir dir;
    for (const int level : {6, 0, 1, 9}) {
        SCOPED_TRACE(level);
        const std::string path = dir.path("t" + std::to_string(level) + ".mf4");
        ASSERT_TRUE(write_mf4(path, sample_frames(), level));
        expect_frames(read_trace(path, Format::Mf4), sample_frames());
    }
    // Flushes cut blocks short; more than a block of records makes a list.
    const auto many = many_frames(30000);
    ASSERT_TRUE(write_mf4(dir.path("many.mf4"), many, 6, 7001));
    expect_frames(read_trace(dir.path("many.mf4"), Format::Mf4), many);
}

TEST(Mf4Trace, OracleWalksOurFilesToTheSameRecords)
{
    ScratchDir dir;
    struct Case {
        const char *name;
        std::vector<Frame> frames;
        int level;
        int flush_every;
    };
    const Case cases[] = {
        {"deflate", sample_frames(), 6, 0},
        {"stored", sample_frames(), 0, 0},
        {"list", many_frames(30000), 6, 9000},
        {"empty", {}, 6, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.path(std::string(c.name) + ".mf4");
        ASSERT_TRUE(write_mf4(path, c.frames, c.level, c.flush_every));
        Child walk;
        ASSERT_TRUE(velk::test::run(&walk, {VELK_PYTHON3, kOracle, "walk", path}, 120000));
        ASSERT_EQ(walk.status(), 0) << walk.err();
        EXPECT_EQ(walk.out(), oracle_lines(c.frames));
    }
}

// The oracle's lines of a file, or its complaint.
std::string walk_lines(const std::string &path)
{
    Child walk;
    EXPECT_TRUE(velk::test::run(&walk, {VELK_PYTHON3, kOracle, "walk", path}, 120000));
    EXPECT_EQ(walk.status(), 0) << walk.err();
    return walk.out();
}

// While the writer has the file open it is an unfinalized file ("UnFinMF ",
// cycle counts and the last list not kept up): after every flush a copy
// holds every frame so far, also with half a block after it (a writer killed
// inside its next write), by our reader and by the walker. At close it is a
// finalized file.
TEST(Mf4Trace, OpenFilesAreUnfinalizedAndHoldEveryFrameFlushedFinalizedAtClose)
{
    ScratchDir dir;
    const auto frames = many_frames(3000);
    for (const int level : {6, 0}) {
        SCOPED_TRACE(level);
        const std::string path = dir.path("open.mf4"), copy = dir.path("copy.mf4");
        velk::trace::Writer w;
        velk::trace::WriteOptions o;
        o.compression = level;
        ASSERT_TRUE(w.open(path, Format::Mf4, o)) << w.error();
        // Every copy is read; some also with half a block after them and by the walker.
        auto check_copy = [&](size_t n, bool thorough) {
            SCOPED_TRACE(n);
            const std::string bytes = read_file(path);
            ASSERT_GE(bytes.size(), 64u);
            EXPECT_EQ(bytes.substr(0, 8), "UnFinMF ");
            EXPECT_EQ(bytes.substr(60, 4), std::string("\x11\0\0\0", 4));  // cycle counts, last DL list
            const std::vector<Frame> want(frames.begin(), frames.begin() + static_cast<ptrdiff_t>(n));
            for (const std::string &tail : {std::string(), std::string("##DZ\0\0\0\0\x60\0\0\0\0\0\0\0DT", 18)}) {
                if (!thorough && !tail.empty())
                    break;
                ASSERT_TRUE(write_file(copy, bytes + tail));
                std::string err;
                const auto got = read_trace(copy, Format::Mf4, &err);
                EXPECT_EQ(err, "");
                expect_frames(got, want);
            }
            if (thorough) {
                EXPECT_EQ(walk_lines(copy), oracle_lines(want));
            }
        };
        check_copy(0, true);
        for (size_t i = 0; i < frames.size(); ++i) {
            ASSERT_TRUE(w.write(frames[i]));
            // Flushes close together and far apart; more than 16 + 32 blocks
            // of a kind chain three lists.
            if (i == 0 || i == 1 || i % 47 == 20) {
                ASSERT_TRUE(w.flush());
                check_copy(i + 1, i < 2 || i % 1000 == 20 || i + 47 > frames.size());
            }
        }
        ASSERT_TRUE(w.close()) << w.error();
        const std::string bytes = read_file(path);
        EXPECT_EQ(bytes.substr(0, 8), "MDF     ");
        EXPECT_EQ(bytes.substr(60, 4), std::string(4, '\0'));
        expect_frames(read_trace(path, Format::Mf4), frames);
        EXPECT_EQ(walk_lines(path), oracle_lines(frames));
    }
}

// A flush hands over whole blocks: flushing twice a second costs a block
// header, a short deflate stream and a list slot per kind, not more.
TEST(Mf4Trace, FrequentFlushesKeepTheFileSmall)
{
    ScratchDir dir;
    const auto frames = many_frames(20000);
    ASSERT_TRUE(write_mf4(dir.path("once.mf4"), frames, 6));
    ASSERT_TRUE(write_mf4(dir.path("often.mf4"), frames, 6, 20));
    const size_t once = read_file(dir.path("once.mf4")).size(), often = read_file(dir.path("often.mf4")).size();
    const size_t flushes = frames.size() / 20;
    EXPECT_LT(often, once + flushes * 4 * 120) << once << " bytes written at once";
    expect_frames(read_trace(dir.path("often.mf4"), Format::Mf4), frames);
}

// A writer killed (SIGKILL) at any moment leaves a file that holds every
// frame it had flushed, and reads without a complaint.
TEST(Mf4Trace, AWriterKilledLeavesEveryFrameItFlushed)
{
    ScratchDir dir;
    const auto frames = many_frames(400000);
    for (const int flushes : {1, 6, 45}) {
        SCOPED_TRACE(flushes);
        const std::string path = dir.path("killed.mf4");
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(p[0]);
            velk::trace::Writer w;
            if (!w.open(path, Format::Mf4, {}))
                _exit(1);
            for (size_t i = 0; i < frames.size(); ++i) {
                if (!w.write(frames[i]))
                    _exit(1);
                if (i % 300 == 299) {
                    const uint64_t n = i + 1;
                    if (!w.flush() || write(p[1], &n, sizeof n) != sizeof n)
                        _exit(1);
                }
            }
            _exit(0);
        }
        close(p[1]);
        uint64_t flushed = 0, n;
        for (int seen = 0; seen < flushes && read(p[0], &n, sizeof n) == sizeof n; ++seen)
            flushed = n;
        kill(pid, SIGKILL);
        while (read(p[0], &n, sizeof n) == sizeof n)
            flushed = n;
        close(p[0]);
        int status;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer finished before it was killed";
        std::string err;
        const auto got = read_trace(path, Format::Mf4, &err);
        EXPECT_EQ(err, "");
        ASSERT_GE(got.size(), flushed);
        const auto flushed_end = frames.begin() + static_cast<ptrdiff_t>(flushed);
        expect_frames(std::vector<Frame>(got.begin(), got.begin() + static_cast<ptrdiff_t>(flushed)),
                      std::vector<Frame>(frames.begin(), flushed_end));
        // After them perhaps a full block of one kind, written before the
        // next flush: later frames in their order.
        auto later = flushed_end;
        for (size_t i = flushed; i < got.size(); ++i) {
            later = std::find(later, frames.end(), got[i]);
            ASSERT_TRUE(later != frames.end()) << "frame " << i << " was never written after the flush";
            ++later;
        }
        EXPECT_EQ(read_file(path).substr(0, 8), "UnFinMF ");
    }
}

// Offsets of the blocks of one of our files, by their ids, in file order.
std::vector<std::pair<std::string, size_t>> blocks_of(const std::string &bytes)
{
    std::vector<std::pair<std::string, size_t>> v;
    for (size_t at = 64; at + 24 <= bytes.size(); at = (at + 7) / 8 * 8) {
        uint64_t len;
        std::memcpy(&len, bytes.data() + at + 8, 8);
        v.emplace_back(bytes.substr(at + 2, 2), at);
        at += len;
    }
    return v;
}

size_t first_block(const std::string &bytes, const char *id)
{
    for (const auto &[name, at] : blocks_of(bytes))
        if (name == id)
            return at;
    ADD_FAILURE() << "no ##" << id;
    return 0;
}

// The last, in file order: the list a group links to once the file is
// finalized (the lists it filled while open come before).
size_t last_block(const std::string &bytes, const char *id)
{
    size_t found = 0;
    for (const auto &[name, at] : blocks_of(bytes))
        if (name == id)
            found = at;
    EXPECT_NE(found, 0u) << "no ##" << id;
    return found;
}

void put64(std::string *s, size_t at, uint64_t v)
{
    std::memcpy(s->data() + at, &v, 8);
}

// Going back to a place inflates the data block it lies in, not the
// blocks before it: a place past a damaged block is still reached.
TEST(Mf4Trace, APlaceIsTakenUpWithoutReadingTheBlocksBeforeIt)
{
    ScratchDir dir;
    const auto frames = many_frames(30000);
    ASSERT_TRUE(write_mf4(dir.path("t.mf4"), frames, 6, 9000));
    std::string good = read_file(dir.path("t.mf4"));
    velk::trace::Reader r;
    ASSERT_TRUE(r.open(dir.path("t.mf4"), Format::Mf4, {}));
    velk::trace::ResumePoint late;
    Frame f;
    for (size_t i = 0; i < 29990; ++i)
        ASSERT_EQ(r.next(&f), 1) << r.error();
    ASSERT_TRUE(r.mark(&late));
    ASSERT_FALSE(late.replay);

    std::vector<size_t> dz;
    for (const auto &[name, at] : blocks_of(good))
        if (name == "DZ")
            dz.push_back(at);
    ASSERT_GE(dz.size(), 8u);
    // A block written at a flush in the middle: neither a group's first nor its last.
    std::string bad = good;
    const size_t mid = dz[dz.size() / 2];
    // Its deflate data, past the block's header, the ##DZ header and zlib's two bytes.
    for (size_t k = mid + 24 + 24 + 2; k < mid + 24 + 24 + 66; ++k)
        bad[k] = '\xFF';
    ASSERT_TRUE(write_file(dir.path("bad.mf4"), bad));
    std::string err;
    read_trace(dir.path("bad.mf4"), Format::Mf4, &err);
    EXPECT_NE(err.find("##DZ"), std::string::npos) << err;

    velk::trace::Reader back;
    ASSERT_TRUE(back.open(dir.path("bad.mf4"), Format::Mf4, {}));
    ASSERT_TRUE(back.seek(late)) << back.error();
    for (size_t k = 29990; k < frames.size(); ++k) {
        ASSERT_EQ(back.next(&f), 1) << "frame " << k << ": " << back.error();
        ASSERT_TRUE(f == frames[k]) << "frame " << k;
    }
    EXPECT_EQ(back.next(&f), 0);
}

// The walker is no rubber stamp: a count or an offset of ours that lies fails it.
TEST(Mf4Trace, OracleRejectsAFileWhoseCountsOrOffsetsLie)
{
    ScratchDir dir;
    ASSERT_TRUE(write_mf4(dir.path("t.mf4"), many_frames(30000), 6, 9000));
    const std::string good = read_file(dir.path("t.mf4"));
    const size_t cg = first_block(good, "CG");
    const size_t dl = last_block(good, "DL");
    const size_t dz = first_block(good, "DZ");
    uint64_t dl_links;
    std::memcpy(&dl_links, good.data() + dl + 16, 8);
    struct {
        const char *name;
        size_t at;
        uint64_t value;
        const char *why;
    } cases[] = {
        {"cycle count", cg + 24 + 6 * 8 + 8, 1, "data bytes for 1 records"},
        {"list offset", dl + 24 + dl_links * 8 + 8 + 8, 5, "offset 5 of block 1"},
        {"inflated length", dz + 24 + 8, 7, "inflates to"},
        {"empty list slot when finalized", dl + 24 + (dl_links - 1) * 8, 0, "empty slot"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string bad = good;
        put64(&bad, c.at, c.value);
        ASSERT_TRUE(write_file(dir.path("bad.mf4"), bad));
        Child walk;
        ASSERT_TRUE(velk::test::run(&walk, {VELK_PYTHON3, kOracle, "walk", dir.path("bad.mf4")}, 120000));
        EXPECT_EQ(walk.status(), 1);
        EXPECT_NE(walk.err().find(c.why), std::string::npos) << walk.err();
    }
}

// Files in the layouts of loggers and other writers, built by the oracle.
TEST(Mf4Trace, FilesOfEveryLayoutTheOracleBuildsReadToTheirFrames)
{
    ScratchDir dir;
    auto frames = sample_frames();
    ASSERT_TRUE(write_file(dir.path("frames.txt"), oracle_lines(frames)));
    // A start time in local time is read in this zone (UTC+1 all year).
    const char *tz = std::getenv("TZ");
    const std::string saved_tz = tz ? tz : "";
    setenv("TZ", "CET-1", 1);
    tzset();
    const char *layouts[] = {
        "sorted,dt",
        "sorted,dt,local",
        "sorted,dz",
        "sorted,dzt",
        "sorted,dl",
        "sorted,hl",
        "sorted,dz,sd",
        "sorted,hl,sd,t=u32:5",
        "unsorted,dt",
        "unsorted,dzt",
        "unsorted,dl,sd",
        "unsorted,dz,vlsdcg",
        "unsorted,dl,vlsdcg,ide31",
        "sorted,dt,t=u32:5",
        "sorted,dz,t=u48:6",
        "sorted,dz,t=i64:9",
        "sorted,dt,t=u32be:5",
        "sorted,dt,t=f64",
        "sorted,dzt,t=f32",
        "sorted,dt,other",
        "unsorted,dt,other,ide31",
        "unsorted,unfinalized",
        "unsorted,unfinalized,vlsdcg",
        "sorted,unfinalized",
    };
    for (const char *layout : layouts) {
        SCOPED_TRACE(layout);
        const std::string path = dir.path("built.mf4");
        Child build;
        ASSERT_TRUE(velk::test::run(&build, {VELK_PYTHON3, kOracle, "build", layout, dir.path("frames.txt"), path}));
        ASSERT_EQ(build.status(), 0) << build.err();
        std::string err;
        const auto got = read_trace(path, Format::Mf4, &err);
        EXPECT_EQ(err, "");
        expect_frames(got, frames);
        expect_places_resume(path, got);
    }
    if (tz)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

// What is no error but worth saying comes once, at the end: a logger still
// writing (the data block's length 0, the data running to the end of the
// file, its last record cut short there) and groups that hold no frames.
TEST(Mf4Trace, UnfinalizedEndsAndSkippedGroupsAreSaidOnceAtTheEnd)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_file(dir.path("frames.txt"), oracle_lines(frames)));
    const struct {
        const char *layout;
        const char *notice;
    } cases[] = {
        {"unsorted,unfinalized,partial", "the unfinalized file ends inside a record (4 bytes ignored)"},
        {"sorted,dt,other", "1 data group without CAN frames skipped"},
        {"unsorted,dz", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.layout);
        const std::string path = dir.path("n.mf4");
        Child build;
        ASSERT_TRUE(velk::test::run(&build, {VELK_PYTHON3, kOracle, "build", c.layout, dir.path("frames.txt"), path}));
        ASSERT_EQ(build.status(), 0) << build.err();
        velk::trace::Reader r;
        std::vector<std::string> notices;
        velk::trace::ReadOptions o;
        o.notice = [&](const std::string &text) { notices.push_back(text); };
        ASSERT_TRUE(r.open(path, Format::Mf4, o));
        std::vector<Frame> got;
        Frame f;
        int n;
        while ((n = r.next(&f)) > 0)
            got.push_back(f);
        EXPECT_EQ(n, 0) << r.error();
        EXPECT_EQ(r.next(&f), 0);
        expect_frames(got, frames);
        if (c.notice == nullptr)
            EXPECT_TRUE(notices.empty());
        else
            EXPECT_EQ(notices, std::vector<std::string>{path + ": " + c.notice});
    }
}

TEST(Mf4Trace, StandardInputThatCannotSeekIsRead)
{
    ScratchDir dir;
    ASSERT_TRUE(write_mf4(dir.path("t.mf4"), sample_frames()));
    const std::string bytes = read_file(dir.path("t.mf4"));
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int saved = dup(0);
    ASSERT_EQ(dup2(p[0], 0), 0);
    close(p[0]);
    std::thread feed([&] {
        EXPECT_EQ(write(p[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(p[1]);
    });
    std::string err;
    const auto got = read_trace("-", Format::Mf4, &err);
    feed.join();
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(err, "");
    expect_frames(got, sample_frames());
}

TEST(Mf4Trace, WritingWhereTheFileCannotBeRewrittenFailsAtOpen)
{
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int saved = dup(1);
    std::fflush(stdout);
    ASSERT_EQ(dup2(p[1], 1), 1);
    velk::trace::Writer w;
    const bool opened = w.open("-", Format::Mf4, {});
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(p[0]);
    close(p[1]);
    EXPECT_FALSE(opened);
    EXPECT_NE(w.error().find("cannot write standard output: Illegal seek"), std::string::npos) << w.error();
}


struct BadCase {
    std::string name;
    std::string bytes;
    std::string error;  // after "path: "
    size_t frames;      // delivered before it
};

void expect_bad(const ScratchDir &dir, const BadCase &c, const std::vector<Frame> &frames)
{
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(write_file(dir.path("bad.mf4"), c.bytes));
    std::string err;
    const auto got = read_trace(dir.path("bad.mf4"), Format::Mf4, &err);
    EXPECT_EQ(err, dir.path("bad.mf4") + ": " + c.error);
    ASSERT_EQ(got.size(), c.frames) << err;
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(got[i] == frames[i]) << i;
}

// Our files: three data blocks of 1, 10 and 9 frames, damaged in the second.
TEST(Mf4Trace, DamagedLinksAndBlocksFailAtTheirByteAfterTheFramesBeforeThem)
{
    ScratchDir dir;
    std::vector<Frame> frames;
    for (int i = 0; i < 20; ++i)
        frames.push_back(make(i * 10, 0, "123#1122334455667788"));
    for (const int level : {0, 6}) {
        SCOPED_TRACE(level);
        ASSERT_TRUE(write_mf4(dir.path("d.mf4"), frames, level, 10));
        const std::string good = read_file(dir.path("d.mf4"));
        const char *data_id = level == 0 ? "DT" : "DZ";
        std::vector<size_t> data;
        for (const auto &[name, at] : blocks_of(good))
            if (name == data_id)
                data.push_back(at);
        ASSERT_EQ(data.size(), 3u);
        const size_t second = data[1];
        const size_t dl = last_block(good, "DL");
        const size_t hd_dg = 64 + 24;
        auto with = [&](size_t at, uint64_t v) {
            std::string s = good;
            put64(&s, at, v);
            return s;
        };
        const std::string size = std::to_string(good.size());
        const std::string at2 = "at byte " + std::to_string(second) + ": ";
        std::vector<BadCase> cases = {
            {"wrong magic", "XDF" + good.substr(3), "at byte 0: not an MF4 file (no \"MDF     \" identification)", 0},
            {"cut in the identification", good.substr(0, 40),
             "at byte 0: not an MF4 file (shorter than its identification block)", 0},
            {"cut in the header", good.substr(0, 100),
             "at byte 64: ##HD block of 104 bytes runs past the end of the file (100 bytes)", 0},
            {"first group past the end", with(hd_dg, uint64_t{1} << 40),
             "at byte 1099511627776: a link points past the end of the file (" + size + " bytes)", 0},
            {"first group is the header", with(hd_dg, 64), "at byte 64: expected a ##DG block, found ##HD", 0},
            {"list loops", with(dl + 24, dl), "at byte " + std::to_string(dl) + ": the data block list loops", 20},
            {"ten gigabyte block", with(second + 8, 10ull << 30),
             at2 + "##" + data_id + " block of 10737418240 bytes runs past the end of the file (" + size + " bytes)", 11},
            {"list entry past the end", with(dl + 24 + 16, good.size() + 8),
             "at byte " + std::to_string(good.size() + 8) + ": a link points past the end of the file (" + size +
                 " bytes)",
             1},
            {"list entry into other data", with(dl + 24 + 16, second + 8),
             "at byte " + std::to_string(second + 8) + ": no block here (a link points into other data)", 1},
        };
        if (level == 6) {
            std::string corrupt = good;
            corrupt[second + 48] = 0x12;
            cases.push_back({"corrupt deflate", corrupt,
                             at2 + "corrupt deflate data in the ##DZ block: incorrect header check", 1});
            cases.push_back({"inflates short", with(second + 24 + 8, 10 * 24 + 1),
                             at2 + "the ##DZ block inflates to fewer bytes than it says", 11});
            uint64_t zlen;
            std::memcpy(&zlen, good.data() + second + 24 + 16, 8);
            cases.push_back({"inflates to a terabyte", with(second + 24 + 8, uint64_t{1} << 40),
                             at2 + "the ##DZ block says 1099511627776 bytes inflate from " + std::to_string(zlen), 1});
        }
        for (const BadCase &c : cases)
            expect_bad(dir, c, frames);
    }
}

// Files as loggers lay them out, metadata first: cut anywhere in the data,
// every whole record before the cut is read.
TEST(Mf4Trace, TruncatedFilesDeliverEveryRecordBeforeTheCut)
{
    ScratchDir dir;
    const auto frames = sample_frames();
    ASSERT_TRUE(write_file(dir.path("frames.txt"), oracle_lines(frames)));
    for (const char *layout : {"unsorted,dt", "unsorted,dz"}) {
        Child build;
        ASSERT_TRUE(velk::test::run(&build, {VELK_PYTHON3, kOracle, "build", layout, dir.path("frames.txt"),
                                             dir.path("full.mf4")}));
        ASSERT_EQ(build.status(), 0) << build.err();
        const std::string good = read_file(dir.path("full.mf4"));
        const size_t data = blocks_of(good).back().second;
        const std::string at = "at byte " + std::to_string(data) + ": ";
        for (const size_t keep : {size_t{30}, size_t{200}, size_t{500}}) {
            if (data + keep >= good.size())
                continue;
            const std::string cut = good.substr(0, data + keep);
            const std::string size = std::to_string(cut.size());
            const bool dt = std::string(layout).find("dt") != std::string::npos;
            // Records of the unsorted group: id byte, 8 time bytes, then 16 or 72.
            size_t whole = 0, used = 0;
            for (const Frame &f : frames) {
                const size_t n = 1 + 8 + (f.error ? 2 : f.remote ? 8 : 72);
                if (dt && used + n > keep - 24)
                    break;
                used += n;
                ++whole;
            }
            const std::string why =
                dt ? at + "##DT block of " + std::to_string(good.size() - data) +
                         " bytes runs past the end of the file (" + size + " bytes)"
                   : at + "##DZ block of " + std::to_string(good.size() - data) +
                         " bytes runs past the end of the file (" + size + " bytes)";
            if (dt) {
                expect_bad(dir, {std::string(layout) + " cut after " + std::to_string(keep), cut, why, whole}, frames);
                continue;
            }
            // Deflate data cut short: what inflates before the cut is read.
            SCOPED_TRACE(keep);
            ASSERT_TRUE(write_file(dir.path("bad.mf4"), cut));
            std::string err;
            const auto got = read_trace(dir.path("bad.mf4"), Format::Mf4, &err);
            EXPECT_EQ(err, dir.path("bad.mf4") + ": " + why);
            EXPECT_EQ(got.size() > 0, keep > 48 + 100) << err;
            ASSERT_LT(got.size(), frames.size());
            for (size_t i = 0; i < got.size(); ++i)
                EXPECT_TRUE(got[i] == frames[i]) << i;
        }
    }
}

}  // namespace
