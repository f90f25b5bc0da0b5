// What the files of the Parquet writer share: the Thrift compact protocol of
// the footer and page headers, the value encodings, page compression, the
// column writer and the footer's records.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lake.h"

namespace velk::lake::detail {

// Numbers of the format's enumerations that the writer uses.
enum PhysicalType : int32_t { kBoolean = 0, kInt32 = 1, kInt64 = 2, kDouble = 5, kByteArray = 6 };
enum Encoding : int32_t { kPlain = 0, kRle = 3, kRleDictionary = 8 };
enum PageType : int32_t { kDataPage = 0, kDictionaryPage = 2 };
enum CodecNumber : int32_t { kUncompressed = 0, kGzipCodec = 2, kZstdCodec = 6 };

// ---- Thrift compact protocol (thrift.cpp) ----

void put_varint(std::string *out, uint64_t v);
inline uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }

// Writes one struct and what nests in it; each field's header holds the
// distance from the previous field's id, so fields go in increasing order.
class Compact {
public:
    enum Type : uint8_t {
        kTrue = 1, kFalse = 2, kByte = 3, kI16 = 4, kI32 = 5, kI64 = 6, kBinary = 8, kList = 9, kStruct = 12
    };

    void i32(int id, int32_t v);
    void i64(int id, int64_t v);
    void i16(int id, int16_t v);
    void i8(int id, int8_t v);
    void boolean(int id, bool v);
    void binary(int id, std::string_view v);
    void begin_struct(int id);
    void end_struct();  // also ends a struct element of a list
    // A list field of n elements; its elements follow with the *_element calls.
    void begin_list(int id, Type element, size_t n);
    void i32_element(int32_t v) { put_varint(&out_, zigzag(v)); }
    void binary_element(std::string_view v);
    void begin_struct_element();
    // Ends the outermost struct; the bytes.
    std::string &finish();
    std::string &bytes() { return out_; }

private:
    void field(int id, Type type);

    std::string out_;
    std::vector<int> last_ = {0};
};

// ---- Encodings (encoding.cpp) ----

// Bits needed for values up to `max`.
int bit_width(uint32_t max);
// The RLE / bit-packing hybrid of levels and dictionary indices: runs of
// eight or more equal values as one repeated value, the rest packed in
// groups of eight, least significant bit first. No length prefix.
void rle_hybrid(const uint32_t *values, size_t n, int width, std::string *out);
// PLAIN booleans: one bit each, least significant first.
void plain_bools(const uint8_t *values, size_t n, std::string *out);
void put_le32(std::string *out, uint32_t v);
void put_le64(std::string *out, uint64_t v);

// ---- Compression (compress.cpp) ----

class Compressor {
public:
    Compressor(Codec codec, int level);
    ~Compressor();
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;
    // *out = the compressed bytes of `in`; false when the library fails.
    bool compress(std::string_view in, std::string *out);
    Codec codec() const { return codec_; }

private:
    Codec codec_;
    int level_;
    void *zstd_ = nullptr;
    void *zlib_ = nullptr;
};

// ---- Column writer (column.cpp) ----

struct Statistics {
    int64_t null_count = 0;
    bool has_range = false;
    std::string min, max;  // PLAIN bytes of the value (without a length for byte arrays)
};

// What the footer says of one column chunk.
struct ChunkMeta {
    int32_t type = 0;
    std::vector<int32_t> encodings;
    std::string name;
    int64_t num_values = 0;
    int64_t uncompressed = 0, compressed = 0;  // page headers included
    int64_t data_page_offset = 0;
    int64_t dictionary_page_offset = -1;  // -1: none
    Statistics stats;
};

struct RowGroupMeta {
    std::vector<ChunkMeta> chunks;
    int64_t num_rows = 0;
    int64_t file_offset = 0;
};

// The values of one column for the row group being written, cut into data
// pages as they come; a dictionary column keeps its distinct values once
// and pages of their indices.
class ColumnWriter {
public:
    ColumnWriter(const Column &column, size_t page_rows, Compressor *compressor);
    void put_int(int64_t v);
    void put_double(double v);
    void put_bytes(std::string_view v);
    void put_bool(bool v);
    void put_null();
    // Values (nulls included) of the row group so far.
    size_t count() const { return count_; }
    // The chunk's pages (the dictionary page first) appended to *out, which
    // goes to the file at `offset`; the writer starts a new chunk.
    bool end_chunk(int64_t offset, std::string *out, ChunkMeta *meta);

private:
    void value_added();
    bool end_page();
    bool put_page(int32_t type, const std::string &body, int32_t values, bool dictionary_page);
    void reset_chunk();

    Column column_;
    size_t page_rows_;
    Compressor *compressor_;
    int32_t physical_;
    // The page being filled.
    std::vector<uint32_t> levels_;   // 1 value, 0 null (optional columns)
    std::vector<uint32_t> indices_;  // dictionary columns
    std::vector<uint8_t> bools_;
    std::string plain_;
    size_t page_count_ = 0;
    // The chunk.
    size_t count_ = 0;
    std::string pages_;
    int64_t uncompressed_ = 0;
    struct Hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    std::unordered_map<std::string, uint32_t, Hash, std::equal_to<>> dict_;
    int64_t last_index_ = -1;
    std::vector<std::string_view> dict_order_;  // views of dict_'s keys
    Statistics stats_;
    int64_t imin_ = 0, imax_ = 0;
    double dmin_ = 0, dmax_ = 0;
    std::string smin_, smax_;
    bool any_ = false;
    std::string page_, packed_, compressed_;
};

// ---- Footer (footer.cpp) ----

// The footer's FileMetaData: schema, row groups, statistics.
std::string file_metadata(const std::vector<Column> &columns, const std::vector<RowGroupMeta> &groups,
                          int64_t num_rows, Codec codec);
// A page header of a data page (values, the encoding of the values) or a
// dictionary page (its entries).
std::string page_header(int32_t type, int32_t uncompressed, int32_t compressed, int32_t values, int32_t encoding);

}  // namespace velk::lake::detail
