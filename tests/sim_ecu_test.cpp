// The emulator's UDS server on a fake clock: the example ECU file loaded,
// each request answered with exact bytes (sessions, the seed-and-key lock,
// responsePending held back), and ECU files that are wrong said by line.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "ecu.h"

namespace {

using velk::sim::Bytes;

Bytes bytes_of(std::string hex)
{
    std::erase(hex, ' ');
    Bytes v;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        v.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return v;
}

std::string hex_of(const Bytes &v)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < v.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", v[i]);
        s += b;
    }
    return s;
}

// At time t (ms): Q a request arrives, A the next answer due is this one,
// N no answer is due.
struct Step {
    char op;
    uint64_t ms;
    const char *hex;
};

struct Case {
    const char *name;
    std::vector<Step> steps;
};

const std::vector<Case> kCases = {
    {"read the VIN", {{'Q', 0, "22 F1 90"}, {'A', 0, "62 F1 90 56 45 4C 4B 53 49 4D 30 30 30 30 30 30 30 30 30 31"}}},
    {"read two identifiers", {{'Q', 0, "22 01 00 F1 99"}, {'A', 0, "62 01 00 0E 74 F1 99 20 26 12 10"}}},
    {"an unknown identifier", {{'Q', 0, "22 12 34"}, {'A', 0, "7F 22 31"}, {'N', 0, ""}}},
    {"a request cut short", {{'Q', 0, "22 F1"}, {'A', 0, "7F 22 13"}}},
    {"an unknown service", {{'Q', 0, "85 01"}, {'A', 0, "7F 85 11"}}},
    {"responsePending before the value",
     {{'Q', 0, "22 F1 8C"}, {'A', 0, "7F 22 78"}, {'N', 299, ""}, {'A', 300, "62 F1 8C 00 00 12 34"}}},
    {"a long routine repeats responsePending",
     {{'Q', 0, "10 03"}, {'A', 0, "50 03 00 32 01 F4"}, {'Q', 0, "31 01 02 03"}, {'A', 0, "7F 31 78"},
      {'N', 1999, ""}, {'A', 2000, "7F 31 78"}, {'N', 2000, ""}, {'A', 2500, "71 01 02 03 01 02"},
      {'Q', 2200, "31 03 02 03"}, {'A', 2200, "71 03 02 03 01 02"}, {'Q', 2200, "31 02 02 03"},
      {'A', 2200, "71 02 02 03"}, {'Q', 2200, "31 02 02 03"}, {'A', 2200, "7F 31 24"}}},
    {"routines need a session", {{'Q', 0, "31 01 FF 00"}, {'A', 0, "7F 31 7F"}}},
    {"sessions", {{'Q', 0, "10 02"}, {'A', 0, "50 02 00 32 01 F4"}, {'Q', 0, "10 04"}, {'A', 0, "7F 10 12"},
                  {'Q', 0, "10 83"}, {'N', 0, ""}}},
    {"tester present", {{'Q', 0, "3E 00"}, {'A', 0, "7E 00"}, {'Q', 0, "3E 80"}, {'N', 0, ""}}},
    {"write needs the lock open",
     {{'Q', 0, "2E F1 99 20 27 01 01"}, {'A', 0, "7F 2E 7F"}, {'Q', 0, "10 03"}, {'A', 0, "50 03 00 32 01 F4"},
      {'Q', 0, "2E F1 99 20 27 01 01"}, {'A', 0, "7F 2E 33"}, {'Q', 0, "2E F1 90 00"}, {'A', 0, "7F 2E 31"},
      {'Q', 0, "27 02 AA 71 BA B0"}, {'A', 0, "7F 27 24"}, {'Q', 0, "27 01"}, {'A', 0, "67 01 0F D4 1F 15"},
      {'Q', 0, "27 02 AA 71 BA B1"}, {'A', 0, "7F 27 35"}, {'Q', 0, "27 01"}, {'A', 0, "67 01 7C 41 83 BD"},
      {'Q', 0, "27 02 D9 E4 26 18"}, {'A', 0, "67 02"}, {'Q', 0, "27 01"}, {'A', 0, "67 01 00 00 00 00"},
      {'Q', 0, "2E F1 99 20 27"}, {'A', 0, "7F 2E 13"}, {'Q', 0, "2E F1 99 20 27 01 01"}, {'A', 0, "6E F1 99"},
      {'Q', 0, "22 F1 99"}, {'A', 0, "62 F1 99 20 27 01 01"}, {'Q', 0, "11 01"}, {'A', 0, "51 01"},
      {'Q', 0, "27 01"}, {'A', 0, "7F 27 7F"}}},
    {"a security level not offered", {{'Q', 0, "10 03"}, {'A', 0, "50 03 00 32 01 F4"}, {'Q', 0, "27 03"},
                                      {'A', 0, "7F 27 12"}}},
    {"DTCs by status mask", {{'Q', 0, "19 02 08"}, {'A', 0, "59 02 FF 01 23 45 09 C4 56 01 28"},
                             {'Q', 0, "19 01 04"}, {'A', 0, "59 01 FF 01 00 01"},
                             {'Q', 0, "19 0A"}, {'A', 0, "59 0A FF 01 23 45 09 C4 56 01 28 0A 1B 00 04"},
                             {'Q', 0, "19 0A 00"}, {'A', 0, "7F 19 13"}, {'Q', 0, "19 42 00"}, {'A', 0, "7F 19 12"}}},
    {"clear one DTC, then all",
     {{'Q', 0, "14 C4 56 01"}, {'A', 0, "54"}, {'Q', 0, "19 0A"}, {'A', 0, "59 0A FF 01 23 45 09 0A 1B 00 04"},
      {'Q', 0, "14 C4 56 01"}, {'A', 0, "7F 14 31"}, {'Q', 0, "14 FF FF FF"}, {'A', 0, "54"},
      {'Q', 0, "19 01 FF"}, {'A', 0, "59 01 FF 01 00 00"}}},
};

velk::sim::EcuModel example()
{
    velk::sim::EcuModel m;
    std::string error;
    EXPECT_TRUE(velk::sim::load_ecu(VELK_EXAMPLE_ECU, &m, &error)) << error;
    return m;
}

void PrintTo(const Case &c, std::ostream *os)
{
    *os << c.name;
}

class EcuScript : public testing::TestWithParam<Case> {};

TEST_P(EcuScript, AnswersAreExact)
{
    velk::sim::EcuServer server(example());
    for (const Step &s : GetParam().steps) {
        SCOPED_TRACE(std::string(1, s.op) + " " + std::to_string(s.ms) + " " + s.hex);
        const uint64_t t = s.ms * 1000;
        Bytes a;
        switch (s.op) {
        case 'Q': server.request(bytes_of(s.hex), t); break;
        case 'A':
            ASSERT_TRUE(server.next_answer(t, &a));
            EXPECT_EQ(hex_of(a), s.hex);
            break;
        case 'N': EXPECT_FALSE(server.next_answer(t, &a)) << hex_of(a); break;
        default: FAIL();
        }
    }
}

std::string test_name(const char *name)
{
    std::string n;
    for (const char *p = name; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Ecu, EcuScript, testing::ValuesIn(kCases), [](const auto &info) { return test_name(info.param.name); });

TEST(EcuFile, ExampleNamesItsIdentifiersAndPadding)
{
    const velk::sim::EcuModel m = example();
    EXPECT_EQ(m.channel, 0);
    EXPECT_EQ(m.iso.address.rx_id, 0x7E0u);
    EXPECT_EQ(m.iso.address.tx_id, 0x7E8u);
    EXPECT_EQ(m.functional_id, 0x7DF);
    EXPECT_EQ(m.iso.padding, 0xCC);
    EXPECT_EQ(m.iso.min_len, 8);
    EXPECT_EQ(m.dids.size(), 4u);
    EXPECT_EQ(m.routines.at(0x0203).pending_ms, 2500u);
}

TEST(EcuFile, MistakesAreSaidWithTheirLine)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"channel CAN3\n", ":1: expected channel CAN1 or CAN2"},
        {"# fine\nrequest 800\n", ":2: expected request and an identifier (3 hex digits, or 8 for 29 bits)"},
        {"did F190 \"VIN\n", ":1: expected a closing quote"},
        {"did F190 123\n", ":1: expected did, an identifier (4 hex digits) and its value (hex bytes or \"text\")"},
        {"did F190 12 pending\n", ":1: expected writable or pending MS after the value"},
        {"security 02\n", ":1: expected an odd security level (01-7F)"},
        {"dtc 1234 09\n", ":1: expected dtc, its code (6 hex digits) and its status byte"},
        {"routine FF00 result 0\n", ":1: expected hex bytes after result"},
        {"reset now\n", ":1: expected a statement (channel, request, response, functional, padding, secret, security, "
                        "did, dtc, routine)"},
    };
    const std::string path = testing::TempDir() + "/bad_ecu.conf";
    for (const auto &[text, error] : cases) {
        std::ofstream(path) << text;
        velk::sim::EcuModel m;
        std::string why;
        EXPECT_FALSE(velk::sim::load_ecu(path, &m, &why)) << text;
        EXPECT_EQ(why, path + error);
    }
    std::string why;
    velk::sim::EcuModel m;
    EXPECT_FALSE(velk::sim::load_ecu(path + ".none", &m, &why));
    EXPECT_EQ(why, path + ".none: cannot be read");
}

}  // namespace
