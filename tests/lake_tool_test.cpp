// velk_decode --lake, read back by readers velk did not write: DuckDB
// (@duckdb/node-api) and hyparquet, installed with npm by the test command
// (scripts/lake-readers). The lake must say what velk_decode --json says of
// the same traces and databases; bad input fails its own trace only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "dbc.h"
#include "tools_support.h"
#include "trace.h"

namespace fs = std::filesystem;
using velk::test::Child;
using velk::test::ScratchDir;

namespace {

const std::string kVehicle = std::string(VELK_DBC_EXAMPLES) + "/vehicle.dbc";
const std::string kFdBody = std::string(VELK_DBC_EXAMPLES) + "/fd_body.dbc";

std::string readers_dir()
{
    const char *env = std::getenv("VELK_LAKE_READERS");
    return env != nullptr && *env != '\0' ? env : VELK_LAKE_READERS_DEFAULT;
}

bool readers_installed()
{
    return fs::exists(readers_dir() + "/node_modules/@duckdb/node-api") &&
           fs::exists(readers_dir() + "/node_modules/hyparquet") && fs::exists("/usr/bin/node");
}

// A drive of both example databases' messages with random payloads (the
// switches too, so multiplexed pages come and go), both channels, some
// frames sent, a remote frame, from `start_us` on at `step_us`.
void write_trace(const std::string &path, int frames, int64_t start_us, int64_t step_us, uint64_t seed)
{
    std::vector<velk::dbc::Message> messages;
    for (const std::string &file : {kVehicle, kFdBody}) {
        velk::dbc::Database db;
        ASSERT_TRUE(velk::dbc::load_file(file, &db).ok);
        messages.insert(messages.end(), db.messages().begin(), db.messages().end());
    }
    velk::trace::Format format;
    ASSERT_TRUE(velk::trace::format_of(path, &format));
    velk::trace::Writer w;
    ASSERT_TRUE(w.open(path, format, {})) << w.error();
    std::mt19937_64 rng(seed);
    for (int i = 0; i < frames; ++i) {
        const velk::dbc::Message &m = messages[rng() % messages.size()];
        velk::trace::Frame f;
        const int64_t t = start_us + i * step_us;
        f.sec = t / 1000000;
        f.usec = static_cast<uint32_t>(t % 1000000);
        f.channel = static_cast<int>(rng() % 2);
        f.tx = rng() % 5 == 0;
        f.id = m.id;
        f.extended = m.extended;
        f.fd = m.fd || m.length > 8;
        f.brs = f.fd && m.brs;
        f.remote = !f.fd && i % 97 == 5;
        f.len = static_cast<uint8_t>(f.remote ? 0 : m.length);
        f.dlc = static_cast<uint8_t>(f.remote ? m.length : velk::trace::len_to_dlc(f.len));
        for (int b = 0; b < f.len; ++b)
            f.data[static_cast<size_t>(b)] = static_cast<uint8_t>(rng());
        ASSERT_TRUE(w.write(f));
    }
    ASSERT_TRUE(w.close());
}

struct Outcome {
    int status;
    std::string out, err;
};

Outcome run(const std::vector<std::string> &args, int timeout_ms = 120000)
{
    Child c;
    EXPECT_TRUE(velk::test::run(&c, args, timeout_ms)) << args[0];
    return {c.status(), c.out(), c.err()};
}

Outcome decode(std::vector<std::string> args)
{
    args.insert(args.begin(), VELK_DECODE);
    return run(args);
}

// Every file under the lake with its bytes.
std::map<std::string, std::string> lake_files(const std::string &dir)
{
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (const auto &e : fs::recursive_directory_iterator(dir, ec))
        if (e.is_regular_file())
            files[fs::relative(e.path(), dir).string()] = velk::test::read_file(e.path().string());
    return files;
}

// 2026-03-01 23:58 UTC: the traces cross midnight into a second date.
constexpr int64_t kStart = 1772409480000000;

class LakeTool : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(dir_.path("truck7"));
        write_trace(a_, 3000, kStart, 50000, 1);   // 150 s over midnight
        write_trace(b_, 2000, kStart + 7000, 20000, 2);
    }

    ScratchDir dir_;
    const std::string a_ = dir_.path("truck7/a.log");
    const std::string b_ = dir_.path("truck7/b.blf");
    const std::string lake_ = dir_.path("lake");
};

TEST_F(LakeTool, DuckDbAndHyparquetReadWhatJsonSays)
{
    if (!readers_installed())
        GTEST_SKIP() << "no DuckDB and hyparquet in " << readers_dir() << " (scripts/lake-readers installs them)";
    const std::vector<std::string> lake = {"--lake", lake_, "--dbc", kVehicle, "--dbc", kFdBody, "--jobs", "2",
                                           "--row-group", "200", a_, b_};
    Outcome first = decode(lake);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.err.rfind("velk_decode: 2 traces: 5000 frames, ", 0), 0u) << first.err;
    // Running a trace again replaces its files: nothing counts twice. Its
    // new files are gzip, the other trace's stay ZSTD: the readers read both.
    Outcome again = decode({"--lake", lake_, "--dbc", kVehicle, "--dbc", kFdBody, "--compression", "gzip", b_});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.err.rfind("velk_decode: 1 trace: 2000 frames, ", 0), 0u) << again.err;
    for (const auto &[name, bytes] : lake_files(lake_))
        EXPECT_NE(name.find("/device=truck7/date=2026-03-0"), std::string::npos) << name;

    std::vector<std::string> check = {"/usr/bin/node", VELK_LAKE_CHECK, readers_dir(), lake_, "truck7"};
    for (const std::string &trace : {a_, b_}) {
        Outcome json = decode({"--json", "--dbc", kVehicle, "--dbc", kFdBody, trace});
        ASSERT_EQ(json.status, 0) << json.err;
        ASSERT_TRUE(velk::test::write_file(trace + ".jsonl", json.out));
        check.push_back(trace + ".jsonl");
    }
    Outcome readers = run(check, 300000);
    EXPECT_EQ(readers.status, 0) << readers.out << readers.err;
    EXPECT_NE(readers.out.find("5000 frames"), std::string::npos) << readers.out;
}

TEST_F(LakeTool, ATraceRunAgainReplacesItsFilesAndDropsDatesItNoLongerHas)
{
    ASSERT_EQ(decode({"--lake", lake_, "--dbc", kVehicle, "--device", "bench 1", a_}).status, 0);
    const auto before = lake_files(lake_);
    EXPECT_EQ(before.count("frames/device=bench%201/date=2026-03-01/a.log.parquet"), 1u);
    EXPECT_EQ(before.count("frames/device=bench%201/date=2026-03-02/a.log.parquet"), 1u);
    EXPECT_EQ(before.count("signals/message=EngineData/device=bench%201/date=2026-03-02/a.log.parquet"), 1u);

    write_trace(a_, 100, kStart, 1000, 3);  // now all before midnight
    Outcome r = decode({"--lake", lake_ + "/", "--dbc", kVehicle, "--device", "bench 1", "--compression", "gzip", a_});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto after = lake_files(lake_);
    EXPECT_EQ(after.count("frames/device=bench%201/date=2026-03-01/a.log.parquet"), 1u);
    for (const auto &[name, bytes] : after) {
        EXPECT_EQ(name.find("date=2026-03-02"), std::string::npos) << name;
        EXPECT_EQ(bytes.substr(0, 4), "PAR1") << name;
    }
}

TEST_F(LakeTool, BadInputFailsItsOwnTraceAndLeavesTheLakeWhole)
{
    ASSERT_EQ(decode({"--lake", lake_, "--dbc", kVehicle, a_}).status, 0);
    const auto before = lake_files(lake_);

    // A database that does not load: nothing is written.
    ASSERT_TRUE(velk::test::write_file(dir_.path("bad.dbc"), "VERSION \"\"\nBO_ 100 M: 8 X\n SG_ S : 0|8@1+ (1,0\n"));
    Outcome db = decode({"--lake", lake_, "--dbc", dir_.path("bad.dbc"), a_, b_});
    EXPECT_EQ(db.status, 2);
    EXPECT_NE(db.err.find("bad.dbc:4:1: expected ')' after the offset"), std::string::npos) << db.err;
    EXPECT_EQ(lake_files(lake_), before);

    // a.log damaged after its first frames, b.blf whole: b's files come,
    // a's stay as the last good run wrote them.
    std::string text = velk::test::read_file(a_);
    size_t at = 0;
    for (int line = 0; line < 1500; ++line)
        at = text.find('\n', at) + 1;
    text.insert(at, "this is no frame\n");
    ASSERT_TRUE(velk::test::write_file(a_, text));
    Outcome damaged = decode({"--lake", lake_, "--dbc", kVehicle, "--jobs", "2", a_, b_});
    EXPECT_EQ(damaged.status, 2);
    EXPECT_NE(damaged.err.find(a_ + ":1501: "), std::string::npos) << damaged.err;
    EXPECT_NE(damaged.err.find("; its lake files are left as they were\n"), std::string::npos) << damaged.err;
    EXPECT_NE(damaged.err.find("velk_decode: 1 trace: 2000 frames, "), std::string::npos) << damaged.err;
    EXPECT_NE(damaged.err.find(", 1 failed\n"), std::string::npos) << damaged.err;
    const auto after = lake_files(lake_);
    for (const auto &[name, bytes] : before)
        EXPECT_EQ(after.at(name), bytes) << name;
    size_t b_files = 0;
    for (const auto &[name, bytes] : after) {
        b_files += name.find("/b.blf.parquet") != std::string::npos;
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
    }
    EXPECT_GT(b_files, 2u);

    // A file that is no trace at all, and one that is not there.
    Outcome missing = decode({"--lake", lake_, dir_.path("nothing.log"), dir_.path("notes.txt")});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("notes.txt: unknown trace format"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("nothing.log"), std::string::npos) << missing.err;
    EXPECT_NE(missing.err.find("velk_decode: 0 traces: 0 frames"), std::string::npos) << missing.err;
}

TEST(LakeToolUsage, BadOptionsAreRefusedBeforeAnythingIsWritten)
{
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"--lake", "L"}, "velk_decode: --lake needs a TRACE file or more after 'L' (try -h)\n"},
        {{"--lake", "L", "--jobs", "0", "x.log"}, "velk_decode: --jobs takes 1 to 256, not '0' (try -h)\n"},
        {{"--lake", "L", "--compression", "lz4", "x.log"},
         "velk_decode: --compression takes none, gzip or zstd, not 'lz4' (try -h)\n"},
        {{"--lake", "L", "--row-group", "many", "x.log"},
         "velk_decode: --row-group takes 1 to 100000000 rows, not 'many' (try -h)\n"},
        {{"--lake", "L", "--json", "x.log"}, "velk_decode: --lake writes no lines; leave out '--json' (try -h)\n"},
    };
    for (const Case &c : cases) {
        Outcome r = decode(c.args);
        EXPECT_EQ(r.status, 2) << c.args[2];
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(fs::exists("L"));
}

}  // namespace
