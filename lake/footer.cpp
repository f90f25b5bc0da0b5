// The footer (FileMetaData) and the page headers, in the Thrift compact
// protocol with the field ids of the format's parquet.thrift.
#include "internal.h"

namespace velk::lake::detail {

namespace {

// ConvertedType numbers, written beside the logical types for older readers.
enum ConvertedType : int32_t { kUtf8 = 0, kTimestampMicros = 10, kInt32Converted = 17, kInt64Converted = 18 };

// SchemaElement fields 1 (type), 3 (repetition), 4 (name), 6 (converted
// type) and 10 (logical type: a union, STRING = 1, TIMESTAMP = 8,
// INTEGER = 10).
void schema_element(Compact *c, const Column &col)
{
    c->begin_struct_element();
    int32_t physical = kInt64;
    switch (col.kind) {
    case Kind::Bool: physical = kBoolean; break;
    case Kind::Int32: physical = kInt32; break;
    case Kind::Int64:
    case Kind::Timestamp: physical = kInt64; break;
    case Kind::Double: physical = kDouble; break;
    case Kind::String:
    case Kind::Binary: physical = kByteArray; break;
    }
    c->i32(1, physical);
    c->i32(3, col.optional ? 1 : 0);
    c->binary(4, col.name);
    switch (col.kind) {
    case Kind::String:
        c->i32(6, kUtf8);
        c->begin_struct(10);
        c->begin_struct(1);
        c->end_struct();
        c->end_struct();
        break;
    case Kind::Timestamp:
        c->i32(6, kTimestampMicros);
        c->begin_struct(10);
        c->begin_struct(8);
        c->boolean(1, true);  // adjusted to UTC
        c->begin_struct(2);   // unit: MICROS
        c->begin_struct(2);
        c->end_struct();
        c->end_struct();
        c->end_struct();
        c->end_struct();
        break;
    case Kind::Int32:
    case Kind::Int64:
        c->i32(6, col.kind == Kind::Int32 ? kInt32Converted : kInt64Converted);
        c->begin_struct(10);
        c->begin_struct(10);
        c->i8(1, col.kind == Kind::Int32 ? 32 : 64);
        c->boolean(2, true);
        c->end_struct();
        c->end_struct();
        break;
    case Kind::Bool:
    case Kind::Double:
    case Kind::Binary: break;
    }
    c->end_struct();
}

int32_t codec_number(Codec codec)
{
    switch (codec) {
    case Codec::None: return kUncompressed;
    case Codec::Gzip: return kGzipCodec;
    case Codec::Zstd: return kZstdCodec;
    }
    return kUncompressed;
}

// ColumnChunk: file_offset (2) and ColumnMetaData (3).
void column_chunk(Compact *c, const ChunkMeta &m, Codec codec)
{
    c->begin_struct_element();
    c->i64(2, m.dictionary_page_offset >= 0 ? m.dictionary_page_offset : m.data_page_offset);
    c->begin_struct(3);
    c->i32(1, m.type);
    c->begin_list(2, Compact::kI32, m.encodings.size());
    for (int32_t e : m.encodings)
        c->i32_element(e);
    c->begin_list(3, Compact::kBinary, 1);
    c->binary_element(m.name);
    c->i32(4, codec_number(codec));
    c->i64(5, m.num_values);
    c->i64(6, m.uncompressed);
    c->i64(7, m.compressed);
    c->i64(9, m.data_page_offset);
    if (m.dictionary_page_offset >= 0)
        c->i64(11, m.dictionary_page_offset);
    // Statistics: null_count (3), max_value (5), min_value (6).
    c->begin_struct(12);
    c->i64(3, m.stats.null_count);
    if (m.stats.has_range) {
        c->binary(5, m.stats.max);
        c->binary(6, m.stats.min);
    }
    c->end_struct();
    c->end_struct();
    c->end_struct();
}

}  // namespace

std::string file_metadata(const std::vector<Column> &columns, const std::vector<RowGroupMeta> &groups,
                          int64_t num_rows, Codec codec)
{
    Compact c;
    c.i32(1, 1);
    c.begin_list(2, Compact::kStruct, columns.size() + 1);
    c.begin_struct_element();  // the root: a group of every column
    c.binary(4, "schema");
    c.i32(5, static_cast<int32_t>(columns.size()));
    c.end_struct();
    for (const Column &col : columns)
        schema_element(&c, col);
    c.i64(3, num_rows);
    c.begin_list(4, Compact::kStruct, groups.size());
    for (size_t g = 0; g < groups.size(); ++g) {
        const RowGroupMeta &rg = groups[g];
        c.begin_struct_element();
        c.begin_list(1, Compact::kStruct, rg.chunks.size());
        int64_t uncompressed = 0, compressed = 0;
        for (const ChunkMeta &m : rg.chunks) {
            column_chunk(&c, m, codec);
            uncompressed += m.uncompressed;
            compressed += m.compressed;
        }
        c.i64(2, uncompressed);
        c.i64(3, rg.num_rows);
        c.i64(5, rg.file_offset);
        c.i64(6, compressed);
        c.i16(7, static_cast<int16_t>(g));
        c.end_struct();
    }
    c.binary(6, "velk version " VELK_VERSION " (build velk)");
    // Every column ordered by its type's own order (TYPE_ORDER), which lets
    // readers trust min_value and max_value.
    c.begin_list(7, Compact::kStruct, columns.size());
    for (size_t i = 0; i < columns.size(); ++i) {
        c.begin_struct_element();
        c.begin_struct(1);
        c.end_struct();
        c.end_struct();
    }
    return c.finish();
}

std::string page_header(int32_t type, int32_t uncompressed, int32_t compressed, int32_t values, int32_t encoding)
{
    Compact c;
    c.i32(1, type);
    c.i32(2, uncompressed);
    c.i32(3, compressed);
    if (type == kDictionaryPage) {
        c.begin_struct(7);
        c.i32(1, values);
        c.i32(2, encoding);
        c.end_struct();
    } else {
        // DataPageHeader: values, their encoding, and the levels' (RLE).
        c.begin_struct(5);
        c.i32(1, values);
        c.i32(2, encoding);
        c.i32(3, kRle);
        c.i32(4, kRle);
        c.end_struct();
    }
    return c.finish();
}

}  // namespace velk::lake::detail
