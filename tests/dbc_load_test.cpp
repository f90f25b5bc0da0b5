// Loading DBC files: what the examples hold once loaded, what real files
// from other tool chains look like (line ends, Latin-1, spacing), the
// oddities that load with a warning each, and the malformed files that fail
// with the place and what was expected, leaving the database as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbc.h"
#include "dbc_oracle.h"

namespace {

using velk::dbc::Database;
using velk::dbc::LoadResult;
using velk::dbc::Message;
using velk::dbc::Signal;

std::string examples(const char *name)
{
    return std::string(VELK_DBC_EXAMPLES) + "/" + name;
}

const Signal *signal_of(const Message &m, const std::string &name)
{
    for (const Signal &s : m.signals)
        if (s.name == name)
            return &s;
    return nullptr;
}

std::string attribute(const std::vector<velk::dbc::Attribute> &list, const std::string &name)
{
    for (const auto &a : list)
        if (a.name == name)
            return a.value;
    return "(none)";
}

std::string replace_all(std::string s, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

// Every message and signal field that decoding and encoding use.
std::string layout_of(const Database &db)
{
    std::string out;
    for (const Message &m : db.messages()) {
        out += m.name + " " + std::to_string(m.id) + (m.extended ? "x " : " ") + std::to_string(m.length) +
               (m.fd ? " fd" : "") + (m.brs ? " brs" : "") + " " + std::to_string(m.cycle_ms) + "\n";
        for (const Signal &s : m.signals) {
            out += "  " + s.name + " " + std::to_string(s.start_bit) + "|" + std::to_string(s.length) +
                   (s.order == velk::dbc::ByteOrder::BigEndian ? "@0" : "@1") + (s.is_signed ? "-" : "+") + " " +
                   std::to_string(s.factor) + "," + std::to_string(s.offset) + " [" + std::to_string(s.min) + "|" +
                   std::to_string(s.max) + "] '" + s.unit + "' mux " + std::to_string(s.multiplexer) +
                   (s.is_multiplexer ? " switch" : "") + " type " + std::to_string(static_cast<int>(s.type)) +
                   " values " + std::to_string(s.values.size()) + " start " + std::to_string(s.start_value) + "\n";
        }
    }
    return out;
}

TEST(DbcLoad, TheExamplesLoadWithEverythingTheySay)
{
    Database db;
    LoadResult r = velk::dbc::load_file(examples("vehicle.dbc"), &db);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.warnings.empty());
    EXPECT_EQ(db.version(), "1.4");
    EXPECT_EQ(db.comment(), "Demonstration network of a small car, written for velk's tests and examples.");
    ASSERT_EQ(db.nodes().size(), 5u);
    EXPECT_EQ(db.nodes()[0].comment, "Engine control unit");
    EXPECT_EQ(attribute(db.nodes()[0].attributes, "NodeLayerModules"), "CANoeILNLVector.dll");
    EXPECT_EQ(attribute(db.attributes(), "BusType"), "CAN");
    ASSERT_EQ(db.value_tables().size(), 1u);
    EXPECT_EQ(db.value_tables()[0].values[4].text, "Sport");
    EXPECT_EQ(db.messages().size(), 9u);

    const Message &engine = *db.find(0x123, false);
    EXPECT_EQ(engine.name, "EngineData");
    EXPECT_EQ(engine.transmitter, "Engine");
    EXPECT_EQ(engine.cycle_ms, 10);
    EXPECT_FALSE(engine.fd);
    EXPECT_EQ(engine.comment, "Engine state, every 10 ms.\nSecond line of the comment, with a \"quoted\" word.");
    const Signal &speed = engine.signals[0];
    EXPECT_EQ(speed.comment, "Crankshaft speed");
    EXPECT_EQ(speed.receivers, (std::vector<std::string>{"Dashboard", "Gearbox"}));
    EXPECT_EQ(speed.factor, 0.125);
    EXPECT_EQ(speed.max, 8031.875);
    EXPECT_EQ(signal_of(engine, "CoolantTemp")->start_value, 40);
    EXPECT_EQ(signal_of(engine, "Gear")->values[3].text, "Drive");

    const Message *eec1 = db.find(0x0CF004FE, true);
    ASSERT_NE(eec1, nullptr);
    EXPECT_EQ(eec1->name, "EEC1");
    EXPECT_EQ(eec1->transmitters, (std::vector<std::string>{"Engine", "Gateway"}));
    EXPECT_EQ(attribute(eec1->attributes, "VFrameFormat"), "J1939PG");
    EXPECT_EQ(attribute(signal_of(*eec1, "EngineSpeed")->attributes, "SPN"), "190");
    const Signal &nibble = *signal_of(*db.find("OddLayouts"), "Nibble");
    EXPECT_EQ(nibble.values.front().value, 7u);  // sorted by raw bits: 7, then -8 and -1
    EXPECT_EQ(nibble.values.back().text, "MinusOne");

    const Message &diag = *db.find("Diagnostics");
    EXPECT_EQ(diag.switch_order, (std::vector<int>{0}));
    EXPECT_EQ(signal_of(diag, "VinPart")->multiplexer, 0);
    EXPECT_EQ(signal_of(diag, "VinPart")->mux_values[0].lo, 3u);
    EXPECT_EQ(signal_of(diag, "Status")->multiplexer, -1);

    r = velk::dbc::load_file(examples("fd_body.dbc"), &db);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.warnings.empty());
    const Message &fusion = *db.find("FusionState");
    EXPECT_TRUE(fusion.fd && fusion.brs);
    EXPECT_EQ(fusion.length, 64);
    EXPECT_EQ(signal_of(fusion, "PosX")->type, velk::dbc::ValueType::Float32);
    EXPECT_EQ(signal_of(fusion, "Heading")->type, velk::dbc::ValueType::Float64);
    const Message *shortframe = db.find(0x502, false);
    ASSERT_NE(shortframe, nullptr);
    EXPECT_EQ(shortframe->name, "ShortFrameOfTwelveBytesWithoutBitRateSwitch");
    EXPECT_EQ(shortframe->short_name, "ShortFrame");
    EXPECT_EQ(db.find("ShortFrame"), shortframe);
    EXPECT_TRUE(shortframe->fd && !shortframe->brs);
    EXPECT_EQ(shortframe->signals[1].name, "StampOfTheMeasurementInMicrosecondsSinceStart");
    EXPECT_EQ(shortframe->signals[1].short_name, "Stamp");
    const Message &mode = *db.find("ModeData");
    EXPECT_EQ(mode.switch_order, (std::vector<int>{0, 1}));
    EXPECT_EQ(signal_of(mode, "Low")->multiplexer, 1);
    EXPECT_EQ(signal_of(mode, "Range")->mux_values.size(), 2u);
    EXPECT_EQ(signal_of(mode, "SubMode")->multiplexer, 0);
    EXPECT_EQ(db.attribute_definition("VFrameFormat")->enum_values.size(), 16u);
    EXPECT_EQ(db.attribute_definition("CANFD_BRS")->default_value, "1");
}

// Standard and extended identifiers are apart; J1939 matching finds a
// message by parameter group whatever the priority and source address, and
// for PDU format below 240 whatever the destination.
TEST(DbcLoad, MessagesAreFoundByIdentifierNameAndParameterGroup)
{
    Database db;
    ASSERT_TRUE(velk::dbc::load_string("BO_ 291 Std: 8 X\nBO_ 2147483939 Ext: 8 X\n"
                                       "BO_ 2566844926 CCVS: 8 X\nBO_ 2364540158 EEC1: 8 X\nBO_ 2565821950 DM: 8 X\n",
                                       "t.dbc", &db)
                    .ok);
    EXPECT_EQ(db.find(0x123, false)->name, "Std");
    EXPECT_EQ(db.find(0x123, true)->name, "Ext");
    EXPECT_EQ(db.find(0x124, false), nullptr);
    EXPECT_EQ(db.find("Ext")->id, 0x123u);
    EXPECT_EQ(db.find("Nothing"), nullptr);
    struct Case {
        uint32_t id;
        const char *message;
    };
    const Case cases[] = {
        {0x18FEF1FE, "CCVS"},  // exact
        {0x0CFEF100, "CCVS"},  // priority 3, source 00
        {0x18FEF2FE, nullptr}, // another group extension
        {0x19FEF1FE, nullptr}, // another data page
        {0x0CF00417, "EEC1"},
        {0x18EF21FE, "DM"},    // PDU1 (0xEF): destination 0x21 instead of 0x55
        {0x18EE21FE, nullptr},
        {0x123, "Ext"},
    };
    for (const Case &c : cases) {
        const Message *m = db.find_j1939(c.id);
        EXPECT_EQ(m == nullptr ? std::string("(none)") : m->name, c.message == nullptr ? "(none)" : c.message)
            << std::hex << c.id;
    }
}

// What files from other tools hold: CRLF, a byte-order mark, tabs and odd
// spacing, Latin-1 (or Windows-1252) text, no newline at the end, sections
// this reader does not use. The result is the same database.
TEST(DbcLoad, RealWorldFormattingLoadsTheSameDatabase)
{
    Database plain, odd;
    ASSERT_TRUE(velk::dbc::load_file(examples("vehicle.dbc"), &plain).ok);
    std::string text;
    {
        FILE *f = std::fopen(examples("vehicle.dbc").c_str(), "rb");
        ASSERT_NE(f, nullptr);
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        std::fclose(f);
    }
    text = replace_all(text, " SG_ ", "\t SG_\t");
    text = replace_all(text, "|", " | ");
    text = replace_all(text, "(", "( ");
    text = replace_all(text, ":", "  :");
    text = replace_all(text, "\n", "\r\n");
    text = "\xEF\xBB\xBF" + text;
    text += "EV_ Temp: 0 [-40|120] \"\xB0" "C\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\r\n"
            "ENVVAR_DATA_ Data: 8;\r\nSIG_GROUP_ 291 Group 1 : EngineSpeed Gear;\r\n"
            "CAT_DEF_ 1 Cat 0;\r\nCAT_ BO_ 291 1;\r\nFILTER 0 Engine;\r\n"
            "BA_DEF_REL_ BU_SG_REL_ \"Rel\" INT 0 1;\r\nBA_REL_ \"Rel\" BU_SG_REL_ Engine SG_ 291 Gear 1;\r\n"
            "CM_ SG_ 292 OilTemp \"Temperatur in \xB0" "C, gemessen am \x80-Ventil\";";  // no newline at the end
    const LoadResult r = velk::dbc::load_string(text, "odd.dbc", &odd);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.warnings.empty()) << r.warnings[0].text;
    EXPECT_EQ(layout_of(odd), layout_of(plain));
    EXPECT_EQ(odd.find("EngineData")->comment, plain.find("EngineData")->comment);
    EXPECT_EQ(signal_of(*odd.find("GearboxData"), "OilTemp")->comment, "Temperatur in °C, gemessen am €-Ventil");
    ASSERT_EQ(odd.other_sections().size(), 8u);
    EXPECT_EQ(odd.other_sections()[0].keyword, "EV_");
    EXPECT_EQ(odd.other_sections()[0].text.substr(0, 30), "EV_ Temp: 0 [-40|120] \"°C\" 0 ");
    EXPECT_EQ(odd.other_sections()[2].keyword, "SIG_GROUP_");
}

// The oddities of real files: each loads, with one warning on its line and
// the reading a user expects.
TEST(DbcLoad, OdditiesLoadWithAWarningEach)
{
    struct Case {
        const char *text;
        std::vector<std::string> warnings;
    };
    const char kFrameFormats[] =
        "BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"StandardCAN_FD\",\"ExtendedCAN_FD\";\n";
    const Case cases[] = {
        {"BO_ 2048 A: 8 X\n",
         {"t.dbc:1: message A: standard identifier 0x800 is above 0x7FF (bit 31 not set); taken as the 29-bit "
          "identifier 0x800"}},
        {"BO_ 100 A: 8 X\n SG_ S m : 0|4@1+ (1,0) [0|15] \"\" X\n SG_ T m1 : 8|8@1+ (1,0) [0|255] \"\" X\n",
         {"t.dbc:2: signal S: multiplexer switch written 'm'; taken as 'M'"}},
        {"BO_ 100 A: 2 X\n SG_ S : 16|8@1+ (1,0) [0|255] \"\" X\n",
         {"t.dbc:2: signal S lies beyond the 2 bytes of message A (it needs 3); decoded only from frames that long"}},
        {"BA_DEF_ BO_ \"VFrameFormat\" ENUM \"StandardCAN\",\"ExtendedCAN\",\"StandardCAN_FD\",\"ExtendedCAN_FD\";\n"
         "BA_DEF_DEF_ \"VFrameFormat\" \"StandardCAN_FD\";\nBO_ 100 A: 8 X\n",
         {"t.dbc:2: VFrameFormat default StandardCAN_FD on a file of classic messages (none longer than 8 bytes or "
          "set to CAN FD); taken as classic CAN"}},
        {"BO_ 100 A: 12 X\n", {"t.dbc:1: message A is 12 bytes long but not CAN FD by its VFrameFormat; taken as CAN FD"}},
        {"NEW_SECTION_ 1 2 \"a;b\";\nBO_ 100 A: 8 X\n", {"t.dbc:1: unknown section NEW_SECTION_ skipped"}},
        {"CM_ BO_ 5 \"x\";\nVAL_ 6 S 1 \"a\";\nBO_ 7 A: 8 X\nCM_ SG_ 7 T \"y\";\nCM_ BU_ Nobody \"z\";\n",
         {"t.dbc:1: comment of unknown message 5 ignored", "t.dbc:2: VAL_ of signal S of unknown message 6 ignored",
          "t.dbc:4: comment of unknown signal T of message A ignored", "t.dbc:5: comment of unknown node Nobody ignored"}},
        {"BO_ 100 A: 8 X\n SG_ S : 0|16@1+ (1,0) [0|255] \"\" X\nSIG_VALTYPE_ 100 S : 1;\n",
         {"t.dbc:3: signal S: value type 1 needs 32 bits, not 16; read as an integer"}},
        {"BO_ 100 A: 8 X\n SG_ S m1 : 0|16@1+ (1,0) [0|255] \"\" X\n",
         {"t.dbc:2: signal S is multiplexed (m1) but message A has no multiplexer switch; taken as always sent"}},
        {"BU_: A B A\n", {"t.dbc:1: node A listed twice in BU_"}},
        {"BA_ \"Undefined\" 5;\n", {"t.dbc:1: attribute Undefined has no BA_DEF_; kept"}},
    };
    for (const Case &c : cases) {
        Database db;
        const LoadResult r = velk::dbc::load_string(c.text, "t.dbc", &db);
        ASSERT_TRUE(r.ok) << c.text << r.error;
        std::vector<std::string> got;
        for (const auto &w : r.warnings)
            got.push_back(w.text);
        EXPECT_EQ(got, c.warnings) << c.text;
    }
    // What was chosen.
    Database db;
    ASSERT_TRUE(velk::dbc::load_string(cases[0].text, "t.dbc", &db).ok);
    EXPECT_NE(db.find(0x800, true), nullptr);
    ASSERT_TRUE(velk::dbc::load_string(cases[1].text, "t.dbc", &db).ok);
    EXPECT_TRUE(db.messages()[0].signals[0].is_multiplexer);
    EXPECT_EQ(db.messages()[0].signals[1].multiplexer, 0);
    ASSERT_TRUE(velk::dbc::load_string(cases[3].text, "t.dbc", &db).ok);
    EXPECT_FALSE(db.messages()[0].fd);
    ASSERT_TRUE(velk::dbc::load_string(std::string(kFrameFormats) +
                                           "BA_DEF_DEF_ \"VFrameFormat\" \"StandardCAN_FD\";\nBO_ 100 A: 8 X\n"
                                           "BO_ 101 B: 16 X\n",
                                       "t.dbc", &db)
                    .ok);
    EXPECT_TRUE(db.messages()[0].fd);  // a file with a long message keeps its CAN FD default
    ASSERT_TRUE(velk::dbc::load_string(cases[4].text, "t.dbc", &db).ok);
    EXPECT_TRUE(db.messages()[0].fd && db.messages()[0].brs);
    // VECTOR__INDEPENDENT_SIG_MSG and what refers to it drop out silently.
    const LoadResult r = velk::dbc::load_string(
        "BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n SG_ Lost : 0|8@1+ (1,0) [0|0] \"\" Vector__XXX\n"
        "CM_ SG_ 3221225472 Lost \"gone\";\n",
        "t.dbc", &db);
    EXPECT_TRUE(r.ok && r.warnings.empty());
    EXPECT_TRUE(db.messages().empty());
}

// What real files from other tool chains hold beyond the format's
// description: each construct alone, then all of them in one file, loads
// with the warnings it deserves, keeps every message, and decodes each
// signal as the bit-by-bit oracle reads the same bits.
TEST(DbcLoad, RealFileConstructsDecodeAsTheOracleReads)
{
    struct Bits {
        const char *signal;
        int start, length;
        bool big_endian, is_signed;
    };
    struct Expected {
        uint32_t id;
        bool extended;
        const char *message;
        std::vector<Bits> signals;
    };
    struct Case {
        const char *what;
        std::string text;
        std::vector<Expected> messages;
        std::vector<std::string> warnings;
    };
    const Case cases[] = {
        {"line comments",
         "VERSION \"2.0\" // generated\n// a line of its own\nBO_ 100 A: 8 X // after the transmitter\n"
         " SG_ S : 0|8@1+ (1,0) [0|255] \"\" X // after the receivers\nCM_ BO_ 100 \"a // b\"; // after a statement\n",
         {{100, false, "A", {{"S", 0, 8, false, false}}}},
         {}},
        {"VAL_ without ';'",
         "BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n SG_ T : 15|8@0- (1,0) [0|0] \"\" X\n"
         "VAL_ 100 S 90 \"ninety\" 2 \"two\"\nVAL_ 100 T -61 \"low\" CM_ BO_ 100 \"next on the line\";\n"
         "VAL_TABLE_ Table 1 \"one\"\nBO_ 101 B: 8 X\n SG_ U : 8|8@1- (1,0) [0|0] \"\" X\n",
         {{100, false, "A", {{"S", 0, 8, false, false}, {"T", 15, 8, true, true}}},
          {101, false, "B", {{"U", 8, 8, false, true}}}},
         {"t.dbc:4: VAL_ of signal S has no ';'; it ends before the VAL_ on line 5",
          "t.dbc:5: VAL_ of signal T has no ';'; it ends before the CM_ on line 5",
          "t.dbc:6: VAL_TABLE_ of value table Table has no ';'; it ends before the BO_ on line 7"}},
        {"a signal comment without the signal's name",
         "BO_ 304 A: 8 X\n SG_ S : 7|16@0+ (1,0) [0|0] \"\" X\nCM_ SG_ 304 \"About A\";\n",
         {{304, false, "A", {{"S", 7, 16, true, false}}}},
         {"t.dbc:3: signal comment without a signal name taken as the comment of message A"}},
        {"names that begin with a digit",
         "BU_: 2ND_ECU\nBO_ 2147483748 2017_5: 8 2ND_ECU\n SG_ 0_COUNTER : 4|4@1+ (1,0) [0|15] \"\" 2ND_ECU\n"
         " SG_ 1st : 12|12@1- (1,0) [0|0] \"\" 2ND_ECU\nCM_ SG_ 2147483748 0_COUNTER \"counter\";\n"
         "BA_DEF_ SG_ \"X\" INT 0 9;\nBA_ \"X\" SG_ 2147483748 0_COUNTER 3;\nVAL_ 2147483748 0_COUNTER 5 \"five\";\n",
         {{100, true, "2017_5", {{"0_COUNTER", 4, 4, false, false}, {"1st", 12, 12, false, true}}}},
         {}},
        {"a node list and receivers over several lines",
         "BU_:\n\tNEO\n\tMCU\n\n\tGW\nBO_ 100 A: 8 NEO\n SG_ S : 23|16@0- (1,0) [0|0] \"\" MCU,\n   GW\n"
         " SG_ T : 40|8@1+ (1,0) [0|0] \"\" MCU\n  GW\nBO_ 101 B: 8 MCU\n SG_ U : 0|64@1+ (1,0) [0|0] \"\" NEO\n",
         {{100, false, "A", {{"S", 23, 16, true, true}, {"T", 40, 8, false, false}}},
          {101, false, "B", {{"U", 0, 64, false, false}}}},
         {}},
        {"an unknown section without ';' before messages",
         "NEW_SECTION_ 1 2 \"a;b\"\n  3 4\nBO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n"
         "EV_ E: 0 [0|1] \"\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX\nBO_ 101 B: 8 X\n SG_ T : 63|8@0+ (1,0) [0|0] \"\" X\n"
         "FANCY_ 1\n",
         {{100, false, "A", {{"S", 0, 8, false, false}}}, {101, false, "B", {{"T", 63, 8, true, false}}}},
         {"t.dbc:1: unknown section NEW_SECTION_ skipped (it has no ';' and ends before the BO_ on line 3)",
          "t.dbc:5: EV_ has no ';'; it ends before the BO_ on line 6",
          "t.dbc:8: unknown section FANCY_ skipped (it has no ';' and ends with the file)"}},
    };
    const uint8_t payload[8] = {0x5A, 0xC3, 0x96, 0x3C, 0xE1, 0x0F, 0x87, 0x78};
    auto check = [&](const Database &db, const std::vector<Expected> &expected, const std::string &what) {
        for (const Expected &e : expected) {
            const Message *m = db.find(e.id, e.extended);
            ASSERT_NE(m, nullptr) << what << ": " << e.message;
            EXPECT_EQ(m->name, e.message) << what;
            std::vector<velk::dbc::Value> values(m->signals.size());
            ASSERT_EQ(velk::dbc::decode(*m, payload, 8, values.data()), static_cast<int>(e.signals.size())) << what;
            for (const Bits &b : e.signals) {
                const velk::dbc::Value *v = nullptr;
                for (const velk::dbc::Value &x : values)
                    if (x.signal != nullptr && x.signal->name == b.signal)
                        v = &x;
                ASSERT_NE(v, nullptr) << what << ": " << b.signal;
                uint64_t raw = dbc_oracle::get(payload, b.start, b.length, b.big_endian);
                if (b.is_signed && b.length < 64 && (raw >> (b.length - 1) & 1))
                    raw |= ~uint64_t{0} << b.length;
                EXPECT_EQ(v->raw, raw) << what << ": " << b.signal;
            }
        }
    };
    std::string together;
    for (const Case &c : cases) {
        Database db;
        const LoadResult r = velk::dbc::load_string(c.text, "t.dbc", &db);
        ASSERT_TRUE(r.ok) << c.what << ": " << r.error;
        std::vector<std::string> got;
        for (const auto &w : r.warnings)
            got.push_back(w.text);
        EXPECT_EQ(got, c.warnings) << c.what;
        EXPECT_EQ(db.messages().size(), c.messages.size()) << c.what;
        check(db, c.messages, c.what);
    }

    // What each construct says beyond its bits.
    Database db;
    ASSERT_TRUE(velk::dbc::load_string(cases[0].text, "t.dbc", &db).ok);
    EXPECT_EQ(db.version(), "2.0");
    EXPECT_EQ(db.messages()[0].comment, "a // b");
    ASSERT_TRUE(velk::dbc::load_string(cases[1].text, "t.dbc", &db).ok);
    const Message &a = db.messages()[0];
    ASSERT_EQ(a.signals[0].values.size(), 2u);
    EXPECT_EQ(a.signals[0].values[1].text, "ninety");
    EXPECT_EQ(a.signals[1].values[0].text, "low");
    EXPECT_EQ(a.comment, "next on the line");
    EXPECT_EQ(db.value_tables()[0].values[0].text, "one");
    ASSERT_TRUE(velk::dbc::load_string(cases[2].text, "t.dbc", &db).ok);
    EXPECT_EQ(db.messages()[0].comment, "About A");
    EXPECT_EQ(db.messages()[0].signals[0].comment, "");
    ASSERT_TRUE(velk::dbc::load_string(cases[3].text, "t.dbc", &db).ok);
    EXPECT_EQ(db.nodes()[0].name, "2ND_ECU");
    const Signal &counter = db.messages()[0].signals[0];
    EXPECT_EQ(counter.comment, "counter");
    EXPECT_EQ(attribute(counter.attributes, "X"), "3");
    EXPECT_EQ(counter.values[0].text, "five");
    ASSERT_TRUE(velk::dbc::load_string(cases[4].text, "t.dbc", &db).ok);
    ASSERT_EQ(db.nodes().size(), 3u);
    EXPECT_EQ(db.nodes()[2].name, "GW");
    EXPECT_EQ(db.messages()[0].transmitter, "NEO");
    EXPECT_EQ(db.messages()[0].signals[0].receivers, (std::vector<std::string>{"MCU", "GW"}));
    EXPECT_EQ(db.messages()[0].signals[1].receivers, (std::vector<std::string>{"MCU", "GW"}));
    ASSERT_TRUE(velk::dbc::load_string(cases[5].text, "t.dbc", &db).ok);
    ASSERT_EQ(db.other_sections().size(), 3u);
    EXPECT_EQ(db.other_sections()[0].text, "NEW_SECTION_ 1 2 \"a;b\"\n  3 4");
    EXPECT_EQ(db.other_sections()[1].keyword, "EV_");

    // All of them in one file, as a real file mixes them.
    const LoadResult r = velk::dbc::load_file(examples("real_world.dbc"), &db);
    ASSERT_TRUE(r.ok) << r.error;
    std::vector<std::string> got;
    for (const auto &w : r.warnings)
        got.push_back(w.text.substr(w.text.find(".dbc:") + 4));
    EXPECT_EQ(got, (std::vector<std::string>{
                       ":30: unknown section EXTRA_GATEWAY_TABLE_ skipped (it has no ';' and ends before the BO_ on line 31)",
                       ":36: signal comment without a signal name taken as the comment of message 2017_5",
                       ":42: VAL_ of signal Mode has no ';'; it ends before the VAL_ on line 43",
                       ":43: VAL_ of signal 2_Flags has no ';'; it ends with the file"}));
    EXPECT_EQ(db.messages().size(), 2u);
    check(db,
          {{304, false, "2017_5",
            {{"0_COUNTER", 0, 4, false, false}, {"Speed", 8, 16, false, false}, {"Mode", 31, 3, true, false},
             {"2_Flags", 40, 8, false, false}}},
           {0x18FEF100, true, "Engine_2",
            {{"1st_Temp", 7, 8, true, true}, {"Torque", 16, 12, false, true}, {"Load", 39, 10, true, false}}}},
          "real_world.dbc");
    const Message &body = *db.find("2017_5");
    EXPECT_EQ(body.cycle_ms, 20);
    EXPECT_EQ(db.nodes().size(), 3u);
    EXPECT_EQ(signal_of(body, "Speed")->receivers, (std::vector<std::string>{"MCU", "2ND_ECU"}));
    EXPECT_EQ(signal_of(body, "2_Flags")->values.back().text, "All");
    EXPECT_EQ(db.find("Engine_2")->comment, "Engine, see http://example.invalid//engine");
}

// Malformed files fail at the first place that is wrong, with what was
// expected there, and leave the database as it was.
TEST(DbcLoad, MalformedFilesFailWithWhereAndWhat)
{
    struct Case {
        const char *text;
        const char *error;
    };
    const Case cases[] = {
        // truncated
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255", "t.dbc:2:29: expected ']' after the maximum, found the end of the file"},
        {"CM_ \"abc", "t.dbc:1:5: unterminated string (no closing '\"')"},
        {"VAL_ 100 S 1 \"a\" 2", "t.dbc:1:19: expected the value's text in quotes, found the end of the file"},
        {"VAL_ 100 S 1 \"a\" b \"c\";",
         "t.dbc:1:18: expected a value (a whole number) or ';' ending the values of signal S, found 'b'"},
        {"EV_ X : 0 [0|1] \"\" 0 1 DUMMY_NODE_VECTOR0 \"Vector__XXX", "t.dbc:1:43: unterminated string (no closing '\"')"},
        {"VERSION", "t.dbc:1:8: expected the version text in quotes, found the end of the file"},
        {"NEW_ \"x", "t.dbc:1:6: unterminated string (no closing '\"')"},
        // wrong numbers
        {"BO_ 100 123: 8 X\n", "t.dbc:1:9: expected the message name, found '123'"},
        {"BO_ 100 A: 65 X\n", "t.dbc:1:12: expected the message length in bytes (0 to 64), found '65'"},
        {"BO_ 4294967296 A: 8 X\n",
         "t.dbc:1:5: expected the message identifier (a whole number up to 4294967295), found '4294967296'"},
        {"BO_ 2684354560 A: 8 X\n", "t.dbc:1:5: identifier 2684354560 has bits beyond 29 set"},
        {"BO_ 100 A: 8 X\n SG_ S : 600|8@1+ (1,0) [0|255] \"\" X\n", "t.dbc:2:10: start bit 600 is beyond 64 bytes (0 to 511)"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|0@1+ (1,0) [0|255] \"\" X\n", "t.dbc:2:12: signal length 0 is not 1 to 64 bits"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|65@1+ (1,0) [0|255] \"\" X\n", "t.dbc:2:12: signal length 65 is not 1 to 64 bits"},
        {"BO_ 100 A: 64 X\n SG_ S : 511|2@1+ (1,0) [0|3] \"\" X\n", "t.dbc:2:10: signal S does not fit in 64 bytes"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (abc,0) [0|255] \"\" X\n", "t.dbc:2:18: expected the factor (a number), found 'abc'"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1.2.3,0) [0|255] \"\" X\n", "t.dbc:2:18: expected the factor (a number), found '1'"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@2+ (1,0) [0|255] \"\" X\n",
         "t.dbc:2:14: expected the byte order after '@' (0 big-endian, 1 little-endian), found '2'"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@1* (1,0) [0|255] \"\" X\n",
         "t.dbc:2:15: expected '+' (unsigned) or '-' (signed) after the byte order, found '*'"},
        {"SG_MUL_VAL_ 100 S T 3-1;", "t.dbc:1:21: switch value range ends before it begins"},
        {"SIG_VALTYPE_ 100 S : 4;", "t.dbc:1:22: expected the value type (0 integer, 1 float, 2 double), found '4'"},
        // keywords where they do not belong
        {"BO_ 100 A: 8 X EXTRA\n", "t.dbc:1:16: expected the end of the BO_ line after the transmitter, found 'EXTRA'"},
        {"CM_ \"x\";\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n", "t.dbc:2:2: SG_ outside a message (a signal follows its BO_ line)"},
        {"foo\n", "t.dbc:1:1: expected a section keyword (VERSION, BU_, BO_, CM_, BA_DEF_, BA_, VAL_, ...), found 'foo'"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X 7\n",
         "t.dbc:2:36: expected a receiver node name or the end of the SG_ line, found '7'"},
        {"BA_DEF_ XX_ \"A\" INT 0 1;", "t.dbc:1:9: expected the attribute name in quotes, or BU_, BO_, SG_ or EV_ before it, found 'XX_'"},
        {"BA_DEF_ BO_ \"X\" BOOL ;", "t.dbc:1:17: expected the attribute type (INT, HEX, FLOAT, STRING or ENUM), found 'BOOL'"},
        {"CM_ XX_ 1 \"a\";", "t.dbc:1:5: expected the comment text in quotes, or BU_, BO_, SG_ or EV_ before it, found 'XX_'"},
        {"BO_ 100 A: 8 X\n SG_ S x1 : 0|8@1+ (1,0) [0|255] \"\" X\n",
         "t.dbc:2:8: expected ':' or a multiplexer mark (M, m<value>, m<value>M) after the signal name, found 'x1'"},
        {"CM_ \"a\"\nBO_ 1 A: 8 X\n", "t.dbc:2:1: expected ';' after the comment, found 'BO_'"},
        {"\x01\x02", "t.dbc:1:1: expected a section keyword (VERSION, BU_, BO_, CM_, BA_DEF_, BA_, VAL_, ...), found byte 0x01"},
        // duplicate names
        {"BO_ 100 A: 8 X\nBO_ 101 A: 8 X\n", "t.dbc:2:9: duplicate message name A (also on line 1)"},
        {"BO_ 100 A: 8 X\nBO_ 100 B: 8 X\n", "t.dbc:2:5: duplicate message identifier 0x64 (also message A on line 1)"},
        {"BO_ 100 A: 8 X\n SG_ S : 0|8@1+ (1,0) [0|255] \"\" X\n SG_ S : 8|8@1+ (1,0) [0|255] \"\" X\n",
         "t.dbc:3:6: duplicate signal name S in message A (also on line 2)"},
        // a multiplexer that depends on itself
        {"BO_ 100 A: 8 X\n SG_ S M : 0|8@1+ (1,0) [0|255] \"\" X\n SG_ T m1M : 8|8@1+ (1,0) [0|255] \"\" X\n"
         "SG_MUL_VAL_ 100 S T 1-1;\nSG_MUL_VAL_ 100 T S 1-1;\n",
         "t.dbc:4:13: multiplexer loop: signal S of message A depends on itself"},
    };
    for (const Case &c : cases) {
        Database db;
        ASSERT_TRUE(velk::dbc::load_string("BO_ 1 Kept: 8 X\n", "t.dbc", &db).ok);
        const LoadResult r = velk::dbc::load_string(c.text, "t.dbc", &db);
        EXPECT_FALSE(r.ok) << c.text;
        EXPECT_EQ(r.error, c.error) << c.text;
        ASSERT_EQ(db.messages().size(), 1u);
        EXPECT_EQ(db.messages()[0].name, "Kept");
    }
    Database db;
    const LoadResult r = velk::dbc::load_file("/nonexistent/x.dbc", &db);
    EXPECT_EQ(r.error, "cannot open /nonexistent/x.dbc: No such file or directory");
}

}  // namespace
