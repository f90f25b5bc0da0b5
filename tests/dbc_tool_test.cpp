// velk_decode, the real program: traces decoded to JSON lines and text,
// from files and standard input, its errors; and every signal of the
// examples compared with python3-canmatrix's decoding of the same frames.
#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <regex>

#include "dbc.h"
#include "dbc_oracle.h"
#include "tools_support.h"
#include "trace.h"

namespace {

using velk::test::Child;
using velk::test::lines_of;
using velk::test::ScratchDir;
using velk::test::write_file;

const std::string kVehicle = std::string(VELK_DBC_EXAMPLES) + "/vehicle.dbc";
const std::string kFdBody = std::string(VELK_DBC_EXAMPLES) + "/fd_body.dbc";
const std::string kRealWorld = std::string(VELK_DBC_EXAMPLES) + "/real_world.dbc";

// What a run of velk_decode left.
struct Outcome {
    int code = -1;
    std::string stdout_text, stderr_text;
    int status() const { return code; }
    const std::string &out() const { return stdout_text; }
    const std::string &err() const { return stderr_text; }
};

Outcome decode(const std::vector<std::string> &args, const std::string &stdin_path = "/dev/null")
{
    std::vector<std::string> all = {VELK_DECODE};
    all.insert(all.end(), args.begin(), args.end());
    Child c;
    EXPECT_TRUE(velk::test::run(&c, all, 30000, stdin_path));
    return {c.status(), c.out(), c.err()};
}

const char kTrace[] =
    "(1699999999.123456) can0 123#50392800FCFF0100\n"
    "(1699999999.223456) can1 400#027D30D4FB000000\n"
    "(1699999999.323456) can0 123#A03908\n"
    "(1699999999.423456) can0 7FF#0102\n"
    "(1699999999.523456) can0 00000123#50392800FCFF0100\n"
    "(1699999999.623456) vcan3 18FEF1FE#00C0120F00000000\n"
    "(1699999999.723456) can0 0CF00417#0000000000000000\n"
    "(1699999999.823456) can0 123#R\n"
    "(1699999999.923456) can0 502##0DC0500000000000000000000 T\n"
    "(1700000000.023456) can0 20000080#0000000000000000\n";

const char *const kJson[] = {
    R"({"t": 1699999999.123456, "bus": "can0", "id": 291, "ext": false, "fd": false, "brs": false, "data": "50392800FCFF0100", "message": "EngineData", "signals": {"EngineSpeed": 1834.0, "CoolantTemp": 0, "Throttle": 0.0, "EngineTorque": -0.5, "Running": 1, "Gear": 3, "FuelRate": 0.0, "Counter": 0}, "text": {"Running": "Running", "Gear": "Drive"}, "missing": []})",
    R"({"t": 1699999999.223456, "bus": "can1", "id": 1024, "ext": false, "fd": false, "brs": false, "data": "027D30D4FB000000", "message": "Diagnostics", "signals": {"Page": 2, "Status": 0, "FuelLevel": 50.0, "BatteryVoltage": 12.5, "AmbientTemp": -5}, "text": {"Page": "Levels"}, "missing": []})",
    R"({"t": 1699999999.323456, "bus": "can0", "id": 291, "ext": false, "fd": false, "brs": false, "data": "A03908", "message": "EngineData", "signals": {"EngineSpeed": 1844.0, "CoolantTemp": -32}, "text": {}, "missing": ["Throttle", "EngineTorque", "Running", "Gear", "FuelRate", "Counter"]})",
    R"({"t": 1699999999.423456, "bus": "can0", "id": 2047, "ext": false, "fd": false, "brs": false, "data": "0102", "message": null, "signals": {}, "text": {}, "missing": []})",
    R"({"t": 1699999999.523456, "bus": "can0", "id": 291, "ext": true, "fd": false, "brs": false, "data": "50392800FCFF0100", "message": null, "signals": {}, "text": {}, "missing": []})",
    R"({"t": 1699999999.623456, "bus": "vcan3", "id": 419361278, "ext": true, "fd": false, "brs": false, "data": "00C0120F00000000", "message": "CCVS", "signals": {"ParkingBrake": 0, "WheelBasedSpeed": 18.75, "CruiseActive": 3, "BrakeSwitch": 0}, "text": {"CruiseActive": "NotAvailable"}, "missing": []})",
    R"({"t": 1699999999.723456, "bus": "can0", "id": 217056279, "ext": true, "fd": false, "brs": false, "data": "0000000000000000", "message": null, "signals": {}, "text": {}, "missing": []})",
    R"({"t": 1699999999.823456, "bus": "can0", "id": 291, "ext": false, "fd": false, "brs": false, "data": "", "message": "EngineData", "signals": {}, "text": {}, "missing": [], "remote": true})",
    R"({"t": 1699999999.923456, "bus": "can0", "id": 1282, "ext": false, "fd": true, "brs": false, "data": "DC0500000000000000000000", "message": "ShortFrameOfTwelveBytesWithoutBitRateSwitch", "signals": {"Distance": 1.5, "StampOfTheMeasurementInMicrosecondsSinceStart": 0}, "text": {}, "missing": [], "tx": true})",
    R"({"t": 1700000000.023456, "bus": "can0", "id": 0, "ext": false, "fd": false, "brs": false, "data": "", "message": null, "signals": {}, "text": {}, "missing": [], "error": true})",
};

std::string first_lines(size_t n)
{
    std::string out;
    const auto lines = lines_of(kTrace);
    for (size_t i = 0; i < n && i < lines.size(); ++i)
        out += lines[i] + "\n";
    return out;
}

TEST(VelkDecode, ATraceBecomesOneJsonLinePerFrame)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("run.log"), kTrace));
    Outcome c = decode({"--dbc", kVehicle, "--dbc", kFdBody, "--json", dir.path("run.log")});
    ASSERT_EQ(c.status(), 0) << c.err();
    EXPECT_EQ(c.err(), "");
    EXPECT_EQ(lines_of(c.out()), std::vector<std::string>(std::begin(kJson), std::end(kJson)));

    // J1939 matching: EEC1 at another priority and source address.
    c = decode({"--dbc", kVehicle, "--json", "-j", dir.path("run.log")});
    ASSERT_EQ(c.status(), 0) << c.err();
    const auto lines = lines_of(c.out());
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_NE(lines[6].find(R"("message": "EEC1", "signals": {"TorqueMode": 0, "DriverDemand": -125)"),
              std::string::npos)
        << lines[6];
    EXPECT_NE(lines[4].find(R"("message": null)"), std::string::npos);  // 29-bit 0x123 is no standard 0x123
}

TEST(VelkDecode, TextUnderEachCandumpLineFromFilesAndStandardInput)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("in.log"), first_lines(3)));
    const std::string want =
        "(1699999999.123456) can0 123#50392800FCFF0100\n"
        "  EngineData\n"
        "    EngineSpeed = 1834.0 rpm\n"
        "    CoolantTemp = 0 degC\n"
        "    Throttle = 0.0 %\n"
        "    EngineTorque = -0.5 Nm\n"
        "    Running = 1 \"Running\"\n"
        "    Gear = 3 \"Drive\"\n"
        "    FuelRate = 0.0 l/h\n"
        "    Counter = 0\n"
        "(1699999999.223456) can1 400#027D30D4FB000000\n"
        "  Diagnostics\n"
        "    Page = 2 \"Levels\"\n"
        "    Status = 0\n"
        "    FuelLevel = 50.0 %\n"
        "    BatteryVoltage = 12.5 V\n"
        "    AmbientTemp = -5 degC\n"
        "(1699999999.323456) can0 123#A03908\n"
        "  EngineData\n"
        "    EngineSpeed = 1844.0 rpm\n"
        "    CoolantTemp = -32 degC\n"
        "    Throttle (missing)\n"
        "    EngineTorque (missing)\n"
        "    Running (missing)\n"
        "    Gear (missing)\n"
        "    FuelRate (missing)\n"
        "    Counter (missing)\n";
    Outcome c = decode({"--dbc", kVehicle, dir.path("in.log")});
    ASSERT_EQ(c.status(), 0) << c.err();
    EXPECT_EQ(c.out(), want);
    c = decode({"--dbc", kVehicle, "-"}, dir.path("in.log"));
    ASSERT_EQ(c.status(), 0) << c.err();
    EXPECT_EQ(c.out(), want);
    c = decode({"--dbc", kVehicle}, dir.path("in.log"));
    EXPECT_EQ(c.out(), want);
    // Without a database the frames pass through as candump lines.
    c = decode({dir.path("in.log")});
    EXPECT_EQ(c.out(), "(1699999999.123456) can0 123#50392800FCFF0100\n(1699999999.223456) can1 400#027D30D4FB000000\n"
                       "(1699999999.323456) can0 123#A03908\n");
}

// ASC and CSV files (written here by the trace module) decode the same,
// their channels named can0 and can1.
TEST(VelkDecode, AscAndCsvTracesDecodeTheSame)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("in.log"), first_lines(3)));
    const auto frames = velk::test::read_trace(dir.path("in.log"), velk::trace::Format::CandumpLog);
    for (const auto &[name, format] : {std::pair{"run.asc", velk::trace::Format::Asc}, {"run.csv", velk::trace::Format::Csv}}) {
        velk::trace::Writer w;
        ASSERT_TRUE(w.open(dir.path(name), format, {}));
        for (const auto &f : frames)
            ASSERT_TRUE(w.write(f));
        ASSERT_TRUE(w.close());
        Outcome c = decode({"--dbc", kVehicle, "--json", dir.path(name)});
        ASSERT_EQ(c.status(), 0) << c.err();
        const auto lines = lines_of(c.out());
        ASSERT_EQ(lines.size(), 3u) << name;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(lines[i].substr(lines[i].find("\"bus\"")), std::string(kJson[i]).substr(std::string(kJson[i]).find("\"bus\"")))
                << name;
    }
}

TEST(VelkDecode, BadInputEndsWithStatusTwoAndSaysWhy)
{
    ScratchDir dir;
    ASSERT_TRUE(write_file(dir.path("bad.dbc"), "VERSION \"\"\nBO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0 [0|255] \"\" X\n"));
    ASSERT_TRUE(write_file(dir.path("odd.dbc"), "BO_ 2048 A: 8 X\n"));
    ASSERT_TRUE(write_file(dir.path("run.log"), "(1.0) can0 123#00\nnot a frame\n"));
    ASSERT_TRUE(write_file(dir.path("run.txt"), ""));
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
        std::string out;
    };
    const Case cases[] = {
        {{"--dbc", dir.path("bad.dbc"), dir.path("run.log")},
         2,
         "velk_decode: " + dir.path("bad.dbc") + ":3:22: expected ')' after the offset, found '['\n",
         ""},
        {{"--dbc", dir.path("none.dbc")}, 2, "velk_decode: cannot open " + dir.path("none.dbc") + ": No such file or directory\n", ""},
        {{dir.path("run.txt")},
         2,
         "velk_decode: unknown trace format (use .log, .asc, .csv, .blf, .mf4, .pcapng, .pcap or .trc, or - for "
         "candump lines) '" + dir.path("run.txt") +
             "' (try -h)\n",
         ""},
        {{dir.path("run.log"), "more.log"}, 2, "velk_decode: give one TRACE at most, not 'more.log' (try -h)\n", ""},
        {{"--bogus"}, 2, "velk_decode: unknown option or missing argument '--bogus' (try -h)\n", ""},
        {{"--dbc"}, 2, "velk_decode: unknown option or missing argument '--dbc' (try -h)\n", ""},
        {{"--dbc", dir.path("odd.dbc"), dir.path("run.log")},
         2,
         "velk_decode: warning: " + dir.path("odd.dbc") +
             ":1: message A: standard identifier 0x800 is above 0x7FF (bit 31 not set); taken as the 29-bit "
             "identifier 0x800\n"
             "velk_decode: " + dir.path("odd.dbc") + ": 1 message, 0 signals (loaded with 1 warning)\n"
             "velk_decode: " + dir.path("run.log") +
             ":2: not a candump log line (expected '(seconds) interface frame')\n",
         "(1.000000) can0 123#00\n"},
    };
    for (const Case &c : cases) {
        Outcome r = decode(c.args);
        EXPECT_EQ(r.status(), c.status) << c.args[0];
        EXPECT_EQ(r.err(), c.err);
        EXPECT_EQ(r.out(), c.out);
    }
    Outcome h = decode({"-h"});
    EXPECT_EQ(h.status(), 0);
    EXPECT_NE(h.out().find("Examples:\n  velk_decode --dbc car.dbc run.log\n"), std::string::npos);
}

// Frames for every message of a database: random payloads of the message's
// length, with each switch set (by the test's own bit writer) to values
// around those its signals are selected by, so every branch is reached.
std::string random_trace(const velk::dbc::Database &db, int per_message)
{
    std::mt19937_64 rng(2024);
    std::string out;
    int64_t t = 1700000000000000;
    for (int k = 0; k < per_message; ++k) {
        for (const velk::dbc::Message &m : db.messages()) {
            velk::trace::Frame f;
            f.id = m.id;
            f.extended = m.extended;
            f.fd = m.fd;
            f.brs = m.brs;
            f.len = static_cast<uint8_t>(m.length);
            for (int i = 0; i < m.length; ++i)
                f.data[static_cast<size_t>(i)] = static_cast<uint8_t>(rng());
            for (int sw : m.switch_order) {
                const velk::dbc::Signal &s = m.signals[static_cast<size_t>(sw)];
                uint64_t top = 0;
                for (const velk::dbc::Signal &o : m.signals)
                    if (o.multiplexer == sw)
                        for (const auto &r : o.mux_values)
                            top = std::max(top, r.hi);
                dbc_oracle::put(f.data.data(), s.start_bit, s.length, s.order == velk::dbc::ByteOrder::BigEndian,
                                rng() % (top + 3));
            }
            f.dlc = static_cast<uint8_t>(velk::trace::len_to_dlc(f.len));
            t += 1000;
            f.sec = t / 1000000;
            f.usec = static_cast<uint32_t>(t % 1000000);
            out += velk::trace::log_line(f, "can0", false) + "\n";
        }
    }
    return out;
}

// The same frames decoded by velk_decode and by python3-canmatrix: the same
// messages, signals (multiplexed ones included), values and texts. Where
// they differ, canmatrix is wrong, in two known ways: it looks a value
// description up by the physical value where the file gives it for the raw
// value, so a signal with an offset (StarterMode, offset 1) gets the text of
// raw + 1; and it drops a VAL_ statement without its ';' (real_world.dbc's
// Mode and 2_Flags), so those signals have no texts there.
TEST(VelkDecode, EverySignalAgreesWithCanmatrix)
{
    const std::vector<std::string> start_mode = {"Off", "Cranking", "Running"};
    auto text_of = [&](long raw) -> std::string {
        if (raw >= 0 && raw < 3)
            return "'" + start_mode[static_cast<size_t>(raw)] + "'";
        return raw == 15 ? "'NotAvailable'" : "None";
    };
    const std::vector<std::string> mode = {"Off", "On", "Sport"};
    auto unended_text_of = [&](const std::string &signal, long raw) -> std::string {
        if (signal == "Mode")
            return raw < 3 ? "'" + mode[static_cast<size_t>(raw)] + "'" : "None";
        return raw == 0 ? "'None'" : raw == 255 ? "'All'" : "None";
    };
    ScratchDir dir;
    for (const std::string &path : {kVehicle, kFdBody, kRealWorld}) {
        velk::dbc::Database db;
        ASSERT_TRUE(velk::dbc::load_file(path, &db).ok);
        ASSERT_TRUE(write_file(dir.path("frames.log"), random_trace(db, 150)));
        Outcome ours = decode({"--dbc", path, "--json", dir.path("frames.log")});
        ASSERT_EQ(ours.status(), 0) << ours.err();
        ASSERT_TRUE(write_file(dir.path("ours.jsonl"), ours.out()));
        Child cm;
        ASSERT_TRUE(velk::test::run(&cm, {VELK_PYTHON3, VELK_CANMATRIX_SCRIPT, path, dir.path("frames.log"),
                                          dir.path("ours.jsonl")},
                                    120000));
        ASSERT_EQ(cm.status(), 0) << cm.err();
        auto lines = lines_of(cm.out());
        ASSERT_FALSE(lines.empty());
        const std::string frames = std::to_string(150 * db.messages().size());
        std::smatch done;
        ASSERT_TRUE(std::regex_match(lines.back(), done, std::regex("compared " + frames + " frames, ([0-9]+) signals")))
            << lines.back();
        EXPECT_GT(std::stol(done[1]), 150 * 3 * static_cast<long>(db.messages().size()));
        lines.pop_back();
        const std::regex known(R"(frame \d+ EEC1 StarterMode: text ours (\S+) canmatrix (\S+) \(raw (\d+)\))");
        const std::regex unended(R"(frame \d+ 2017_5 (Mode|2_Flags): text ours (\S+) canmatrix None \(raw (\d+)\))");
        int canmatrix_faults = 0;
        for (const std::string &l : lines) {
            std::smatch m;
            if (path == kRealWorld) {
                ASSERT_TRUE(std::regex_match(l, m, unended)) << l;
                EXPECT_EQ(m[2], unended_text_of(m[1], std::stol(m[3]))) << l;
            } else {
                ASSERT_TRUE(std::regex_match(l, m, known)) << l;
                const long raw = std::stol(m[3]);
                EXPECT_EQ(m[1], text_of(raw)) << l;
                EXPECT_EQ(m[2], text_of(raw + 1)) << l;
            }
            ++canmatrix_faults;
        }
        if (path == kFdBody)
            EXPECT_EQ(canmatrix_faults, 0);
        else
            EXPECT_GT(canmatrix_faults, 20);
    }
}


// velk_send --dbc and velk_dump --dbc, the real programs on an emulated
// adapter pair wired to one bus: the values sent come back decoded.
class DbcOnTheBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sim.start({VELK_SIM, "-A", "2", "--bus", "0.CAN1=1.CAN2", "-v"}));
        ASSERT_TRUE(sim.wait_output("\n", 5000, 2));
        paths = lines_of(sim.out());
        ASSERT_GE(paths.size(), 2u);
    }
    void TearDown() override
    {
        sim.signal(SIGTERM);
        EXPECT_TRUE(sim.wait(30000));
    }

    // velk_dump on the second adapter with `options`, until it has started
    // its channels (the n-th start the emulator logs); its CAN2 is on the bus.
    void start_dump(Child *dump, std::vector<std::string> options, size_t nth)
    {
        options.insert(options.begin(), std::string(VELK_TOOLS_DIR) + "/velk_dump");
        options.push_back(paths[1]);
        ASSERT_TRUE(dump->start(options));
        ASSERT_TRUE(sim.wait_output("port 1 < 61 01 01", 30000, nth)) << dump->err();
    }

    Outcome send(const std::vector<std::string> &args)
    {
        std::vector<std::string> all = {std::string(VELK_TOOLS_DIR) + "/velk_send", "--dbc", kVehicle, "--dbc", kFdBody};
        all.insert(all.end(), args.begin(), args.end());
        Child c;
        EXPECT_TRUE(velk::test::run(&c, all));
        return {c.status(), c.out(), c.err()};
    }

    Child sim;
    std::vector<std::string> paths;
};

TEST_F(DbcOnTheBus, SignalsSentByNameComeBackAsJsonAndText)
{
    const std::vector<std::string> frames = {"EngineData", "EngineSpeed=1834", "Gear=Drive", "ShortFrame",
                                             "Distance=1.5", "7FF#0102"};
    Child dump;
    start_dump(&dump, {"--dbc", kVehicle, "--dbc", kFdBody, "--json", "-n", "3"}, 1);
    const Outcome s = send([&] {
        std::vector<std::string> a = {"-i", "20000", paths[0], "CAN1"};
        a.insert(a.end(), frames.begin(), frames.end());
        return a;
    }());
    ASSERT_EQ(s.status(), 0) << s.err();
    ASSERT_TRUE(dump.wait(30000));
    ASSERT_EQ(dump.status(), 0) << dump.err();
    // CoolantTemp, not given, takes its start value: raw 40, 0 degC.
    const std::vector<std::string> want = {
        R"("bus": "can1", "id": 291, "ext": false, "fd": false, "brs": false, "data": "5039280000800100", "message": "EngineData", "signals": {"EngineSpeed": 1834.0, "CoolantTemp": 0, "Throttle": 0.0, "EngineTorque": 0.0, "Running": 0, "Gear": 3, "FuelRate": 0.0, "Counter": 0}, "text": {"Running": "Stopped", "Gear": "Drive"}, "missing": []})",
        R"("bus": "can1", "id": 1282, "ext": false, "fd": true, "brs": false, "data": "DC0500000000000000000000", "message": "ShortFrameOfTwelveBytesWithoutBitRateSwitch", "signals": {"Distance": 1.5, "StampOfTheMeasurementInMicrosecondsSinceStart": 0}, "text": {}, "missing": []})",
        R"("bus": "can1", "id": 2047, "ext": false, "fd": false, "brs": false, "data": "0102", "message": null, "signals": {}, "text": {}, "missing": []})",
    };
    const auto lines = lines_of(dump.out());
    ASSERT_EQ(lines.size(), want.size()) << dump.out();
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(lines[i].rfind("{\"t\": ", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i].substr(lines[i].find("\"bus\"")), want[i]);
    }

    // The text form: the candump line, the message, a line per signal.
    Child text;
    start_dump(&text, {"--dbc", kVehicle, "-n", "1"}, 2);
    ASSERT_EQ(send({paths[0], "CAN1", "Diagnostics", "Page=Levels", "FuelLevel=50", "BatteryVoltage=12.5"}).status(), 0);
    ASSERT_TRUE(text.wait(30000));
    const auto got = lines_of(text.out());
    ASSERT_EQ(got.size(), 7u) << text.out();
    EXPECT_NE(got[0].find(") can1 400#027D30D400000000"), std::string::npos) << got[0];
    EXPECT_EQ(std::vector<std::string>(got.begin() + 1, got.end()),
              (std::vector<std::string>{"  Diagnostics", "    Page = 2 \"Levels\"", "    Status = 0",
                                        "    FuelLevel = 50.0 %", "    BatteryVoltage = 12.5 V",
                                        "    AmbientTemp = 0 degC"}));
}

// Refusals come before the adapter is opened: the port is never touched.
TEST(DbcSend, ValuesTheDatabaseRefusesEndWithStatusTwoAndTheRange)
{
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"EngineData", "EngineSpeed=9000"}, "EngineSpeed"},
        {{"EngineData", "Gear=Flying"}, "Flying"},
        {{"NoSuchMessage"}, "no message in the databases named 'NoSuchMessage'"},
        {{"Gear=Drive"}, "a signal value needs its MESSAGE before it 'Gear=Drive'"},
        {{"EngineData", "Nope=1"}, "Nope"},
        {{"-c", "ShortFrame"}, "a CAN FD frame cannot be sent with CAN FD off (-c)"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> all = {std::string(VELK_TOOLS_DIR) + "/velk_send", "--dbc", kVehicle, "--dbc", kFdBody};
        size_t at = 0;
        if (c.args[0] == "-c")
            all.push_back("-c"), at = 1;
        all.push_back("/nonexistent/port");
        all.push_back("CAN1");
        all.insert(all.end(), c.args.begin() + static_cast<long>(at), c.args.end());
        Child r;
        ASSERT_TRUE(velk::test::run(&r, all));
        EXPECT_EQ(r.status(), 2) << c.args[0];
        EXPECT_NE(r.err().find(c.err), std::string::npos) << r.err();
        EXPECT_EQ(r.err().find("no device"), std::string::npos) << r.err();
    }
}

}  // namespace
