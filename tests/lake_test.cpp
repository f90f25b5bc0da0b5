// The Parquet writer against bytes worked out by hand from the format's
// documents: the Thrift compact protocol, the RLE / bit-packing hybrid,
// PLAIN values, dictionary and data pages, statistics, and the temporary
// name a file keeps until it is whole.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "internal.h"
#include "lake.h"
#include "tools_support.h"

using namespace velk::lake;
using namespace velk::lake::detail;

namespace {

std::string bytes(std::initializer_list<int> b)
{
    std::string s;
    for (int v : b)
        s += static_cast<char>(v);
    return s;
}

std::string hex(const std::string &s)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
        out += ' ';
    }
    return out;
}

TEST(LakeThrift, CompactFieldsListsAndNestedStructsAreTheDocumentedBytes)
{
    Compact c;
    c.i32(1, 5);            // delta 1, i32: 0x15, zigzag 10
    c.i64(3, -1);           // delta 2, i64: 0x26, zigzag 1
    c.boolean(4, true);     // the value in the type: 0x11
    c.binary(5, "ab");      // 0x18, length, bytes
    c.i32(21, 1);           // a jump over 15: type alone, then the id's zigzag
    c.begin_struct(22);     // 0x1C; ids count from 0 inside
    c.i16(1, -2);
    c.end_struct();
    c.begin_list(23, Compact::kI32, 3);  // 0x19, size 3 and type in one byte
    c.i32_element(1);
    c.i32_element(2);
    c.i32_element(3);
    EXPECT_EQ(hex(c.finish()), hex(bytes({0x15, 0x0A, 0x26, 0x01, 0x11, 0x18, 0x02, 'a', 'b', 0x05, 0x2A, 0x02, 0x1C,
                                          0x14, 0x03, 0x00, 0x19, 0x35, 0x02, 0x04, 0x06, 0x00})));

    Compact big;
    big.begin_list(1, Compact::kBinary, 20);  // 15 or more: 0xF8, then the size
    EXPECT_EQ(hex(big.bytes()), hex(bytes({0x19, 0xF8, 0x14})));
    std::string v;
    put_varint(&v, 300);
    EXPECT_EQ(hex(v), hex(bytes({0xAC, 0x02})));
}

TEST(LakeEncoding, HybridRunsPackedGroupsAndTheirBoundaries)
{
    struct Case {
        const char *what;
        std::vector<uint32_t> values;
        int width;
        std::string expected;
    };
    const Case cases[] = {
        {"a run of ten ones", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1, bytes({0x14, 0x01})},
        {"eight alternating levels, one packed group", {0, 1, 0, 1, 1, 0, 1, 0}, 1, bytes({0x03, 0x5A})},
        {"three values padded to a group", {2, 0, 1}, 2, bytes({0x03, 0x12, 0x00})},
        // The run of 3s starts inside a group: it fills the group, and the
        // six left are too few for a run of their own.
        {"a run split by a group boundary", {1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3}, 2,
         bytes({0x05, 0xF9, 0xFF, 0xFF, 0x0F})},
        // One group of 5 and seven 7s, then the twelve 7s left as a run.
        {"a group, then a run", {5, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7}, 3,
         bytes({0x03, 0xFD, 0xFF, 0xFF, 0x18, 0x07})},
        {"a run of a wide value: two bytes", std::vector<uint32_t>(8, 0x1234), 13, bytes({0x10, 0x34, 0x12})},
        {"nothing", {}, 1, ""},
    };
    for (const Case &c : cases) {
        std::string out;
        rle_hybrid(c.values.data(), c.values.size(), c.width, &out);
        EXPECT_EQ(hex(out), hex(c.expected)) << c.what;
    }
    EXPECT_EQ(bit_width(0), 0);
    EXPECT_EQ(bit_width(1), 1);
    EXPECT_EQ(bit_width(2), 2);
    EXPECT_EQ(bit_width(255), 8);
    EXPECT_EQ(bit_width(256), 9);

    const uint8_t flags[] = {1, 0, 1, 1, 0, 0, 0, 0, 1};
    std::string packed;
    plain_bools(flags, sizeof flags, &packed);
    EXPECT_EQ(hex(packed), hex(bytes({0x0D, 0x01})));
}

TEST(LakeEncoding, PageHeadersOfDataAndDictionaryPages)
{
    EXPECT_EQ(hex(page_header(kDataPage, 22, 22, 3, kPlain)),
              hex(bytes({0x15, 0x00, 0x15, 0x2C, 0x15, 0x2C, 0x2C, 0x15, 0x06, 0x15, 0x00, 0x15, 0x06, 0x15, 0x06, 0x00,
                         0x00})));
    EXPECT_EQ(hex(page_header(kDictionaryPage, 16, 16, 2, kPlain)),
              hex(bytes({0x15, 0x04, 0x15, 0x20, 0x15, 0x20, 0x4C, 0x15, 0x04, 0x15, 0x00, 0x00, 0x00})));
}

TEST(LakeCompression, PagesComeBackWhole)
{
    std::string page;
    for (int i = 0; i < 5000; ++i)
        page += "EngineSpeed" + std::to_string(i % 37);
    for (Codec codec : {Codec::Gzip, Codec::Zstd}) {
        Compressor c(codec, 3);
        for (int round = 0; round < 2; ++round) {  // the context is reused
            std::string packed;
            ASSERT_TRUE(c.compress(page, &packed));
            EXPECT_LT(packed.size(), page.size() / 4);
            std::string back(page.size(), '\0');
            if (codec == Codec::Zstd) {
                EXPECT_EQ(ZSTD_decompress(back.data(), back.size(), packed.data(), packed.size()), page.size());
            } else {
                z_stream z{};
                ASSERT_EQ(inflateInit2(&z, 15 + 16), Z_OK);  // gzip framing only
                z.next_in = reinterpret_cast<Bytef *>(packed.data());
                z.avail_in = static_cast<uInt>(packed.size());
                z.next_out = reinterpret_cast<Bytef *>(back.data());
                z.avail_out = static_cast<uInt>(back.size());
                EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
                inflateEnd(&z);
            }
            EXPECT_EQ(back, page);
        }
    }
    Codec codec;
    EXPECT_TRUE(codec_of("gzip", &codec));
    EXPECT_EQ(codec, Codec::Gzip);
    EXPECT_FALSE(codec_of("lz4", &codec));
}

Options uncompressed()
{
    Options o;
    o.codec = Codec::None;
    return o;
}

TEST(LakeWriter, AnOptionalDoubleColumnIsLevelsThenPlainValuesWithItsStatistics)
{
    velk::test::ScratchDir dir;
    const std::string path = dir.path("v.parquet");
    Writer w;
    ASSERT_TRUE(w.open(path, {{"v", Kind::Double, true}}, uncompressed())) << w.error();
    w.put(0, 1.5);
    w.end_row();
    w.end_row();  // null
    w.put(0, -2.0);
    w.end_row();
    ASSERT_TRUE(w.close()) << w.error();
    const std::string file = velk::test::read_file(path);
    // Levels 1 0 1 (one packed group, with their length), then 1.5 and -2.0.
    const std::string body = bytes({0x02, 0, 0, 0, 0x03, 0x05, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0, 0, 0, 0, 0, 0, 0, 0xC0});
    EXPECT_EQ(hex(file.substr(0, 4 + 17 + body.size())), hex("PAR1" + page_header(kDataPage, 22, 22, 3, kPlain) + body));
    ASSERT_GE(file.size(), 12u);
    EXPECT_EQ(file.substr(file.size() - 4), "PAR1");
    const auto *end = reinterpret_cast<const uint8_t *>(file.data() + file.size() - 8);
    const uint32_t footer = end[0] | end[1] << 8 | end[2] << 16 | static_cast<uint32_t>(end[3]) << 24;
    EXPECT_EQ(4 + 17 + body.size() + footer + 8, file.size());
    // Statistics: one null, max_value 1.5, min_value -2.0.
    const std::string stats = bytes({0x3C, 0x36, 0x02, 0x28, 0x08, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x18, 0x08, 0, 0, 0, 0, 0,
                                     0, 0, 0xC0, 0x00});
    EXPECT_NE(file.find(stats), std::string::npos) << hex(file);
    EXPECT_NE(file.find("velk version"), std::string::npos);
}

TEST(LakeWriter, ADictionaryColumnHasItsEntriesFirstThenTheirIndices)
{
    velk::test::ScratchDir dir;
    const std::string path = dir.path("c.parquet");
    Writer w;
    ASSERT_TRUE(w.open(path, {{"channel", Kind::String, false, true}}, uncompressed()));
    for (const char *c : {"can0", "can1", "can0"}) {
        w.put(0, c);
        w.end_row();
    }
    ASSERT_TRUE(w.close());
    const std::string dict = bytes({4, 0, 0, 0, 'c', 'a', 'n', '0', 4, 0, 0, 0, 'c', 'a', 'n', '1'});
    const std::string indices = bytes({0x01, 0x03, 0x02});  // bit width 1; 0 1 0 in one group
    const std::string expected = "PAR1" + page_header(kDictionaryPage, 16, 16, 2, kPlain) + dict +
                                 page_header(kDataPage, 3, 3, 3, kRleDictionary) + indices;
    EXPECT_EQ(hex(velk::test::read_file(path).substr(0, expected.size())), hex(expected));
}

TEST(LakeWriter, TheFileKeepsATemporaryNameUntilItIsWhole)
{
    velk::test::ScratchDir dir;
    const std::string path = dir.path("t.parquet");
    const std::string temp = dir.path(".t.parquet." + std::to_string(getpid()) + ".tmp");
    {
        Writer w;
        ASSERT_TRUE(w.open(path, {{"n", Kind::Int64}}, {}));
        w.put(0, int64_t{7});
        w.end_row();
        ASSERT_TRUE(w.finish());
        EXPECT_TRUE(std::filesystem::exists(temp));
        EXPECT_FALSE(std::filesystem::exists(path));
        ASSERT_TRUE(w.commit());
        EXPECT_FALSE(std::filesystem::exists(temp));
        EXPECT_TRUE(std::filesystem::exists(path));
    }
    const std::string kept = velk::test::read_file(path);
    {
        Writer w;  // a second writing that is given up leaves the first file
        ASSERT_TRUE(w.open(path, {{"n", Kind::Int64}}, {}));
        w.put(0, int64_t{8});
        w.end_row();
    }
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_EQ(velk::test::read_file(path), kept);

    Writer bad;
    EXPECT_FALSE(bad.open(dir.path("no/such/folder/x.parquet"), {{"n", Kind::Int64}}, {}));
    EXPECT_NE(bad.error().find("No such file or directory"), std::string::npos) << bad.error();
}

TEST(LakeWriter, RowGroupsSplitAtTheirSizeWithARangeEach)
{
    velk::test::ScratchDir dir;
    const std::string path = dir.path("g.parquet");
    Options o = uncompressed();
    o.row_group_rows = 2;
    Writer w;
    ASSERT_TRUE(w.open(path, {{"time", Kind::Timestamp}}, o));
    for (int64_t t : {10, 20, 30, 40, 50}) {
        w.put(0, t);
        ASSERT_TRUE(w.end_row());
    }
    ASSERT_TRUE(w.close());
    EXPECT_EQ(w.rows(), 5u);
    const std::string file = velk::test::read_file(path);
    // Each group's statistics: max_value then min_value, 8 bytes each.
    for (auto [lo, hi] : {std::pair{10, 20}, {30, 40}, {50, 50}}) {
        const std::string range = bytes({0x28, 0x08, hi, 0, 0, 0, 0, 0, 0, 0, 0x18, 0x08, lo, 0, 0, 0, 0, 0, 0, 0});
        EXPECT_NE(file.find(range), std::string::npos) << lo << ".." << hi;
    }
}

}  // namespace
