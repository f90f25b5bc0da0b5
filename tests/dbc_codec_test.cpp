// Decoding and encoding: every layout a signal can have against the
// bit-by-bit oracle, IEEE floats, multiplexing plain and extended, 64-byte
// CAN FD frames, frames shorter than their message, refusals with their
// messages and the values as text.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dbc.h"
#include "dbc_oracle.h"

namespace {

using velk::dbc::Assignment;
using velk::dbc::Database;
using velk::dbc::Frame;
using velk::dbc::Message;
using velk::dbc::Value;

Database load(const std::string &text)
{
    Database db;
    const velk::dbc::LoadResult r = velk::dbc::load_string(text, "t.dbc", &db);
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.warnings.empty()) << r.warnings[0].text;
    return db;
}

Database example(const char *name)
{
    Database db;
    const velk::dbc::LoadResult r = velk::dbc::load_file(std::string(VELK_DBC_EXAMPLES) + "/" + name, &db);
    EXPECT_TRUE(r.ok) << r.error;
    return db;
}

const char kFdHeader[] =
    "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"StandardCAN_FD\",\"ExtendedCAN_FD\";\n"
    "BA_DEF_DEF_ \"VFrameFormat\" \"ExtendedCAN_FD\";\n";

std::vector<uint8_t> hex(const std::string &h)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(h.substr(i, 2), nullptr, 16)));
    return out;
}

std::string hex_of(const uint8_t *d, int n)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += kDigits[d[i] >> 4];
        s += kDigits[d[i] & 15];
    }
    return s;
}

// Decoded signals as "name=value" ("name missing"), in order.
std::string decoded(const Message &m, const std::vector<uint8_t> &data)
{
    std::vector<Value> v(m.signals.size());
    const int n = velk::dbc::decode(m, data.data(), static_cast<int>(data.size()), v.data());
    std::string s;
    for (int i = 0; i < n; ++i) {
        s += (i > 0 ? " " : "") + v[static_cast<size_t>(i)].signal->name;
        s += v[static_cast<size_t>(i)].missing ? " missing" : "=" + velk::dbc::number_text(v[static_cast<size_t>(i)]);
        if (v[static_cast<size_t>(i)].text != nullptr)
            s += std::string("/") + v[static_cast<size_t>(i)].text;
    }
    return s;
}

std::string encoded(const Message &m, const std::vector<Assignment> &values)
{
    Frame f;
    std::string why;
    if (!velk::dbc::encode(m, values, &f, &why))
        return why;
    return hex_of(f.data, f.len);
}

uint64_t sign_extended(uint64_t raw, int length)
{
    if (length >= 64)
        return raw;
    const uint64_t sign = uint64_t{1} << (length - 1);
    return (raw ^ sign) - sign;
}

// Every start bit, length 1-64, byte order and sign, in 64-byte CAN FD
// messages: encode places exactly the oracle's bits, decode reads the
// oracle's bits back out of a payload full of other bits, and a value one
// beyond the raw width is refused.
TEST(DbcBits, EveryLayoutRoundTripsAgainstTheOracle)
{
    std::mt19937_64 rng(27);
    long checked = 0;
    for (const bool big : {false, true}) {
        for (const bool is_signed : {false, true}) {
            for (int length = 1; length <= 64; ++length) {
                std::string text = kFdHeader;
                std::vector<int> starts;
                for (int start = 0; start < 512; ++start) {
                    if (dbc_oracle::bytes_needed(start, length, big) > 64)
                        continue;
                    const size_t n = starts.size();
                    starts.push_back(start);
                    text += "BO_ " + std::to_string(0x80000000u + n) + " M" + std::to_string(n) + ": 64 X\n SG_ S : " +
                            std::to_string(start) + "|" + std::to_string(length) + "@" + (big ? "0" : "1") +
                            (is_signed ? "-" : "+") + " (1,0) [0|0] \"\" X\n";
                }
                const Database db = load(text);
                ASSERT_EQ(db.messages().size(), starts.size());
                // Values a double holds exactly: the low bits of wide ones cleared.
                const uint64_t mask = length == 64 ? ~uint64_t{0} : (uint64_t{1} << length) - 1;
                const uint64_t exact = length > 53 ? ~((uint64_t{1} << (length - 53)) - 1) : ~uint64_t{0};
                for (size_t k = 0; k < starts.size(); ++k) {
                    const Message &m = db.messages()[k];
                    ASSERT_TRUE(m.fd);
                    const uint64_t raws[] = {0, 1, uint64_t{1} << (length - 1), mask, rng() & mask, rng() & mask};
                    for (uint64_t raw : raws) {
                        raw &= exact & mask;
                        const uint64_t bits = is_signed ? sign_extended(raw, length) : raw;
                        const double phys =
                            is_signed ? static_cast<double>(static_cast<int64_t>(bits)) : static_cast<double>(bits);
                        uint8_t want[64] = {};
                        dbc_oracle::put(want, starts[k], length, big, raw);
                        Frame f;
                        std::string why;
                        ASSERT_TRUE(velk::dbc::encode(m, {{"S", phys}}, &f, &why)) << why;
                        ASSERT_EQ(f.len, 64);
                        ASSERT_EQ(std::memcmp(f.data, want, 64), 0)
                            << m.signals[0].start_bit << "|" << length << " big " << big << " raw " << raw;

                        uint8_t payload[64];
                        for (uint8_t &b : payload)
                            b = static_cast<uint8_t>(rng());
                        dbc_oracle::put(payload, starts[k], length, big, raw);
                        Value v;
                        ASSERT_EQ(velk::dbc::decode(m, payload, 64, &v), 1);
                        ASSERT_FALSE(v.missing);
                        ASSERT_EQ(v.raw, bits) << starts[k] << "|" << length << " big " << big;
                        ASSERT_EQ(v.value, phys);
                        ASSERT_EQ(dbc_oracle::get(payload, starts[k], length, big), raw);
                        ++checked;
                    }
                    if (length <= 52) {
                        const double lo = is_signed ? -std::ldexp(1.0, length - 1) : 0;
                        const double hi = is_signed ? std::ldexp(1.0, length - 1) - 1 : std::ldexp(1.0, length) - 1;
                        Frame f;
                        std::string why;
                        EXPECT_FALSE(velk::dbc::encode(m, {{"S", hi + 1}}, &f, &why));
                        EXPECT_FALSE(velk::dbc::encode(m, {{"S", lo - 1}}, &f, &why));
                        EXPECT_TRUE(velk::dbc::encode(m, {{"S", lo}}, &f, &why)) << why;
                    }
                }
            }
        }
    }
    EXPECT_GT(checked, 700000);
}

// IEEE floats of both widths, both byte orders, aligned or not: the bits of
// the value go out and come back exactly, NaN, infinities and -0 included.
TEST(DbcBits, FloatSignalsKeepTheirBitsExactly)
{
    const Database db = load(std::string(kFdHeader) +
                             "BO_ 2147483649 F: 64 X\n"
                             " SG_ F32LE : 3|32@1- (1,0) [0|0] \"\" X\n"
                             " SG_ F32BE : 63|32@0- (1,0) [0|0] \"\" X\n"
                             " SG_ F64LE : 128|64@1- (1,0) [0|0] \"\" X\n"
                             " SG_ F64BE : 205|64@0- (1,0) [0|0] \"\" X\n"
                             " SG_ Scaled : 384|32@1- (0.5,10) [0|0] \"\" X\n"
                             "SIG_VALTYPE_ 2147483649 F32LE : 1;\nSIG_VALTYPE_ 2147483649 F32BE : 1;\n"
                             "SIG_VALTYPE_ 2147483649 F64LE : 2;\nSIG_VALTYPE_ 2147483649 F64BE : 2;\n"
                             "SIG_VALTYPE_ 2147483649 Scaled : 1;\n");
    const Message &m = db.messages()[0];
    struct Place {
        const char *name;
        int start, length;
        bool big;
    };
    const Place places[] = {{"F32LE", 3, 32, false}, {"F32BE", 63, 32, true}, {"F64LE", 128, 64, false},
                            {"F64BE", 205, 64, true}};
    const double values[] = {0.0, -0.0, 1.5, -3.25e-40, 3.4028234663852886e38, 1e-300, INFINITY, -INFINITY, NAN};
    for (const double x : values) {
        std::vector<Assignment> in;
        for (const Place &p : places)
            in.push_back({p.name, x});
        Frame f;
        std::string why;
        ASSERT_TRUE(velk::dbc::encode(m, in, &f, &why)) << why;
        std::vector<Value> out(m.signals.size());
        ASSERT_EQ(velk::dbc::decode(m, f.data, f.len, out.data()), 5);
        for (size_t i = 0; i < 4; ++i) {
            const Place &p = places[i];
            uint64_t bits;
            if (p.length == 32) {
                const auto g = static_cast<float>(x);
                uint32_t b32;
                std::memcpy(&b32, &g, 4);
                bits = b32;
            } else {
                std::memcpy(&bits, &x, 8);
            }
            EXPECT_EQ(dbc_oracle::get(f.data, p.start, p.length, p.big), bits) << p.name << " " << x;
            EXPECT_EQ(out[i].raw, bits) << p.name;
            const double back = p.length == 32 ? static_cast<double>(static_cast<float>(x)) : x;
            if (std::isnan(x))
                EXPECT_TRUE(std::isnan(out[i].value));
            else
                EXPECT_EQ(out[i].value, back) << p.name;
            EXPECT_EQ(std::signbit(out[i].value), std::signbit(back)) << p.name;
        }
    }
    // A value beyond a 32-bit float is refused; a double takes it.
    Frame f;
    std::string why;
    EXPECT_FALSE(velk::dbc::encode(m, {{"F32LE", 1e300}}, &f, &why));
    EXPECT_EQ(why, "signal F32LE: 1e+300 is beyond a 32-bit float");
    EXPECT_TRUE(velk::dbc::encode(m, {{"F64BE", 1e300}}, &f, &why)) << why;
    // A float with factor and offset: physical = float * 0.5 + 10.
    ASSERT_TRUE(velk::dbc::encode(m, {{"Scaled", 11.5}}, &f, &why)) << why;
    EXPECT_EQ(hex_of(f.data + 48, 4), "00004040");  // 3.0f
    EXPECT_EQ(decoded(m, std::vector<uint8_t>(f.data, f.data + 64)).substr(0, 32),
              "F32LE=0.0 F32BE=0.0 F64LE=0.0 F6");
}

// Multiplexing as the examples write it: a plain M switch with m1/m2/m3,
// and an extended one where SubMode (itself selected by Mode 1-2) selects
// Low or High, and Range follows Mode 3-10 and 20-29.
TEST(DbcMultiplexing, TheSwitchesChooseWhatIsDecodedAndEncoded)
{
    const Database vehicle = example("vehicle.dbc");
    const Database fd = example("fd_body.dbc");
    const Message &diag = *vehicle.find("Diagnostics");
    const Message &mode = *fd.find("ModeData");
    struct Case {
        const Message &m;
        std::vector<Assignment> in;
        const char *payload;
        const char *signals;
    };
    const Case cases[] = {
        {diag, {{"Page", 1}, {"Odometer", 123456.7}, {"TripA", 1.5}}, "0187D612000F0000",
         "Page=1/Odometer Status=0 Odometer=123456.7 TripA=1.5"},
        {diag, {{"Page", "Levels"}, {"FuelLevel", 50}, {"BatteryVoltage", 12.5}, {"AmbientTemp", -5}},
         "027D30D4FB000000", "Page=2/Levels Status=0 FuelLevel=50.0 BatteryVoltage=12.5 AmbientTemp=-5"},
        {diag, {{"Page", 3}, {"VinPart", 13847469359445504.0}}, "0300363534333231",
         "Page=3/Vin Status=0 VinPart=13847469359445504"},
        {diag, {{"Page", 9}, {"Status", 15}}, "F900000000000000", "Page=9 Status=15"},
        {mode, {{"Mode", 0}, {"Idle", 12.5}}, "00007D00000000000000000000000000", "Mode=0/Idle Idle=12.5 Common=0"},
        {mode, {{"Mode", 1}, {"SubMode", 2}, {"Low", -2}}, "0102FEFF000000000000000000000000",
         "Mode=1/Low SubMode=2 Low=-2 Common=0"},
        {mode, {{"Mode", "High"}, {"SubMode", 5}, {"High", 0x12345678}, {"Common", 7}},
         "02051234567800000000000000000007", "Mode=2/High SubMode=5 High=305419896 Common=7"},
        {mode, {{"Mode", 25}, {"Range", 700}}, "190000000000BC020000000000000000", "Mode=25 Range=700 Common=0"},
        {mode, {{"Mode", 11}}, "0B000000000000000000000000000000", "Mode=11 Common=0"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(encoded(c.m, c.in), c.payload) << c.signals;
        EXPECT_EQ(decoded(c.m, hex(c.payload)), c.signals) << c.payload;
    }
    // Signals the switches do not select are refused, naming the switch.
    EXPECT_EQ(encoded(mode, {{"Mode", 0}, {"Low", 1}}),
              "signal Low: not sent with Mode = 0 (its switch SubMode needs Mode 1-2)");
    EXPECT_EQ(encoded(mode, {{"Mode", 1}, {"SubMode", 9}, {"Low", 1}}),
              "signal Low: not sent with SubMode = 9 (it needs SubMode 0-3)");
    EXPECT_EQ(encoded(mode, {{"Mode", 2}, {"Range", 1}}), "signal Range: not sent with Mode = 2 (it needs Mode 3-10, 20-29)");
    EXPECT_EQ(encoded(diag, {{"Odometer", 1}}), "signal Odometer: not sent with Page = 0 (it needs Page 1)");
}

// A frame shorter than its message: the signals that fit are decoded, the
// others (and those of a switch that is itself cut off) are missing.
TEST(DbcDecode, AShortFrameMarksWhatItDoesNotHoldMissing)
{
    const Database db = example("vehicle.dbc");
    const Message &engine = *db.find(0x123, false);
    EXPECT_EQ(decoded(engine, hex("A0390812")),
              "EngineSpeed=1844.0 CoolantTemp=-32 Throttle missing EngineTorque missing Running missing Gear missing "
              "FuelRate missing Counter missing");
    EXPECT_EQ(decoded(engine, {}), decoded(engine, hex("")));
    const Message &diag = *db.find("Diagnostics");
    EXPECT_EQ(decoded(diag, hex("02")), "Page=2/Levels Status=0 FuelLevel missing BatteryVoltage missing AmbientTemp missing");
    EXPECT_EQ(decoded(diag, {}),
              "Page missing Status missing Odometer missing TripA missing FuelLevel missing BatteryVoltage missing "
              "AmbientTemp missing VinPart missing");
    // A longer frame than the message: only the message's bytes count.
    EXPECT_EQ(decoded(*db.find("Totals"), hex("FFFFFFFFFFFFFFFF0102")), "Total=18446744073709551615");
}

// The 64 bytes of a CAN FD message, with its frame format and bit-rate switch.
TEST(DbcEncode, CanFdMessagesFillTheirFrames)
{
    const Database db = example("fd_body.dbc");
    Frame f;
    std::string why;
    ASSERT_TRUE(velk::dbc::encode(*db.find("FusionState"), {{"Crc", 0xBEEF}, {"Flags", 0x5A}, {"Timestamp", 1.5}}, &f,
                                  &why))
        << why;
    EXPECT_TRUE(f.fd && f.brs && !f.extended);
    EXPECT_EQ(f.len, 64);
    EXPECT_EQ(hex_of(f.data + 32, 8), "60E3160000000000");  // 1500000 us
    EXPECT_EQ(hex_of(f.data + 61, 3), "5ABEEF");
    ASSERT_TRUE(velk::dbc::encode(*db.find("ShortFrame"), {{"Distance", 1.5}}, &f, &why)) << why;
    EXPECT_TRUE(f.fd && !f.brs);
    EXPECT_EQ(f.len, 12);
    EXPECT_EQ(hex_of(f.data, 12), "DC0500000000000000000000");
    ASSERT_TRUE(velk::dbc::encode(*db.find("RadarObjects"), {{"Tail", 1}, {"Object1Angle", -0.5}}, &f, &why)) << why;
    EXPECT_TRUE(f.fd && f.brs && f.extended);
    EXPECT_EQ(f.id, 0x101u);
    EXPECT_EQ(hex_of(f.data, 5), "000000FFB0");
    EXPECT_EQ(f.data[63], 1);
    const Database classic = example("vehicle.dbc");
    ASSERT_TRUE(velk::dbc::encode(*classic.find("EEC1"), {}, &f, &why)) << why;
    EXPECT_TRUE(!f.fd && !f.brs && f.extended);
    EXPECT_EQ(f.len, 8);
}

// Values not given: GenSigStartValue (a raw value) or 0; and every refusal
// names the signal and what it takes.
TEST(DbcEncode, DefaultsAndRefusals)
{
    const Database db = example("vehicle.dbc");
    const Message &engine = *db.find("EngineData");
    EXPECT_EQ(encoded(engine, {}), "0000280000000000");  // CoolantTemp 40 raw = 0 degC
    EXPECT_EQ(decoded(engine, hex(encoded(engine, {}))).substr(0, 28), "EngineSpeed=0.0 CoolantTemp=");
    EXPECT_EQ(encoded(*db.find("GearboxData"), {}), "00000D8000000000");  // OilTemp -40 raw, big-endian
    EXPECT_EQ(encoded(engine, {{"EngineSpeed", 1834}, {"Gear", "Drive"}, {"EngineTorque", -0.5}}),
              "50392800FCBF0100");
    struct Refusal {
        const char *message;
        std::vector<Assignment> in;
        const char *why;
    };
    const Refusal refusals[] = {
        {"EngineData", {{"CoolantTemp", 300}}, "signal CoolantTemp: 300 is outside its range [-40|215] degC"},
        {"EngineData", {{"Counter", 16}}, "signal Counter: 16 is outside its range [0|15]"},
        {"EngineData", {{"Speed", 1}}, "message EngineData has no signal Speed"},
        {"EngineData",
         {{"Gear", "Fly"}},
         "signal Gear: no value 'Fly' (it has: Park, Reverse, Neutral, Drive, Sport)"},
        {"EngineData", {{"Counter", "On"}}, "signal Counter: no value 'On' (it has no value texts)"},
        {"EngineData", {{"Gear", 1}, {"Gear", 2}}, "signal Gear: given twice"},
        {"Totals", {{"Total", -1}}, "signal Total: -1 is outside what its 64 bits hold [0|18446744073709551615]"},
        {"OddLayouts", {{"Tiny", 1}}, "signal Tiny: 1 is outside its range [-1|0]"},
        {"OddLayouts", {{"Straddle", 1048576}}, "signal Straddle: 1048576 is outside its range [0|1048575]"},
        {"Deltas", {{"Delta", 1e19}}, "signal Delta: 1e+19 is outside what its 64 bits hold "
                                      "[-9223372036854775808|9223372036854775807]"},
    };
    for (const Refusal &r : refusals)
        EXPECT_EQ(encoded(*db.find(r.message), r.in), r.why);
    const Database zero = load("BO_ 100 A: 3 X\n SG_ Near : 0|8@1+ (0,0) [0|0] \"\" X\n");
    EXPECT_EQ(encoded(zero.messages()[0], {{"Near", 1}}), "signal Near: its factor is 0, so no raw value gives 1");
    // A signal beyond its message's length is left out, and refused when given.
    Database beyond;
    ASSERT_TRUE(velk::dbc::load_string("BO_ 100 A: 2 X\n SG_ Near : 0|8@1+ (1,0) [0|0] \"\" X\n"
                                       " SG_ Far : 16|8@1+ (1,0) [0|0] \"\" X\n",
                                       "t.dbc", &beyond)
                    .ok);
    EXPECT_EQ(encoded(beyond.messages()[0], {{"Near", 1}}), "0100");
    EXPECT_EQ(encoded(beyond.messages()[0], {{"Far", 1}}), "signal Far: lies beyond the 2 bytes of message A");
}

TEST(DbcEncode, AssignmentsFromText)
{
    struct Case {
        const char *text;
        bool ok;
        const char *signal;
        double value;
        const char *value_text;
    };
    const Case cases[] = {
        {"Gear=3", true, "Gear", 3, ""},          {"Gear=Drive", true, "Gear", 0, "Drive"},
        {"T=-2.5e3", true, "T", -2500, ""},      {"T=+7", true, "T", 7, ""},
        {"T=0x10", true, "T", 0, "0x10"},        {"T=nan", true, "T", 0, "nan"},
        {"T=", false, "", 0, ""},                {"=1", false, "", 0, ""},
        {"T", false, "", 0, ""},                 {"Mode=Low speed", true, "Mode", 0, "Low speed"},
    };
    for (const Case &c : cases) {
        Assignment a;
        ASSERT_EQ(velk::dbc::parse_assignment(c.text, &a), c.ok) << c.text;
        if (!c.ok)
            continue;
        EXPECT_EQ(a.signal, c.signal);
        EXPECT_EQ(a.value, c.value) << c.text;
        EXPECT_EQ(a.text, c.value_text) << c.text;
    }
}

// Whole numbers exact (a 64-bit counter, a factor of 2 that overflows 64
// bits falls back to a double), the rest the shortest text that reads back.
TEST(DbcFormat, ValuesAsNumbers)
{
    const Database db = load(
        "BO_ 100 A: 8 X\n"
        " SG_ U64 : 0|64@1+ (1,0) [0|0] \"\" X\n"
        "BO_ 101 B: 8 X\n"
        " SG_ S64x2 : 0|64@1- (2,0) [0|0] \"\" X\n"
        "BO_ 102 C: 8 X\n"
        " SG_ Tenth : 0|16@1+ (0.1,0) [0|0] \"\" X\n"
        " SG_ Offset : 16|8@1+ (1,-40) [0|0] \"\" X\n"
        " SG_ Tiny : 24|8@1+ (1E-007,0) [0|0] \"\" X\n"
        " SG_ Whole : 32|16@1+ (0.5,0) [0|0] \"\" X\n"
        "BO_ 103 D: 8 X\n"
        " SG_ F : 0|32@1- (1,0) [0|0] \"\" X\n"
        "SIG_VALTYPE_ 103 F : 1;\n");
    struct Case {
        uint32_t id;
        const char *payload;
        std::vector<std::string> numbers;  // "" for append_number's false
        std::vector<std::string> texts;
    };
    const Case cases[] = {
        {100, "FFFFFFFFFFFFFFFF", {"18446744073709551615"}, {"18446744073709551615"}},
        {101, "0000000000000080", {"-18446744073709551616.0"}, {"-18446744073709551616.0"}},
        {101, "FFFFFFFFFFFFFFFF", {"-2"}, {"-2"}},
        {101, "FFFFFFFFFFFFFF7F", {"18446744073709551614"}, {"18446744073709551614"}},
        {102, "0100000A18000000", {"0.1", "-40", "1e-06", "12.0"}, {"0.1", "-40", "1e-06", "12.0"}},
        {103, "0000C07F00000000", {""}, {"NaN"}},
        {103, "0000807F00000000", {""}, {"inf"}},
        {103, "000080FF00000000", {""}, {"-inf"}},
        {103, "0000E83F00000000", {"1.8125"}, {"1.8125"}},
    };
    for (const Case &c : cases) {
        const Message &m = *db.find(c.id, false);
        const std::vector<uint8_t> data = hex(c.payload);
        std::vector<Value> v(m.signals.size());
        ASSERT_EQ(velk::dbc::decode(m, data.data(), 8, v.data()), static_cast<int>(c.numbers.size()));
        for (size_t i = 0; i < c.numbers.size(); ++i) {
            std::string s;
            EXPECT_EQ(velk::dbc::append_number(&s, v[i]), !c.numbers[i].empty()) << c.payload;
            EXPECT_EQ(s, c.numbers[i]) << c.payload << " " << i;
            EXPECT_EQ(velk::dbc::number_text(v[i]), c.texts[i]);
        }
    }
}

}  // namespace
