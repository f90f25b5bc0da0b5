// Apache Parquet files: tables written column by column into row groups of
// data pages, with a Thrift footer that query engines (DuckDB, Spark,
// Trino, polars) read, column statistics so they skip row groups, and a
// temporary name until the file is complete, so that no reader sees half a
// file.
//
//   using namespace velk::lake;
//   Writer w;
//   if (!w.open("run.parquet", {{"time", Kind::Timestamp},
//                               {"channel", Kind::String, false, true},  // dictionary
//                               {"speed", Kind::Double, true}},          // optional
//               {}))
//       fail(w.error());
//   w.put(0, int64_t{1700000000123456});   // a value per column, then end_row();
//   w.put(1, "can0");                      // a column left out is null
//   w.end_row();
//   if (!w.close()) fail(w.error());       // footer written, renamed to run.parquet
//
// finish() and commit() split close(), for a set of files that should
// appear together; abandon() (or the destructor) removes the temporary
// file of a writer not committed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velk::lake {

enum class Codec : uint8_t { None, Gzip, Zstd };
// "none", "gzip" or "zstd".
bool codec_of(std::string_view name, Codec *codec);

// What a column holds: its physical type with its logical type.
enum class Kind : uint8_t {
    Bool,       // BOOLEAN
    Int32,      // INT32, INTEGER(32, signed)
    Int64,      // INT64, INTEGER(64, signed)
    Double,     // DOUBLE
    Timestamp,  // INT64, TIMESTAMP(MICROS, UTC): microseconds since the epoch
    String,     // BYTE_ARRAY, STRING (UTF-8)
    Binary,     // BYTE_ARRAY without a logical type
};

struct Column {
    std::string name;
    Kind kind = Kind::Int64;
    bool optional = false;    // may be null; a required column left out of a row holds 0 or ""
    bool dictionary = false;  // String: few distinct values (names, channels, value texts)
};

struct Options {
    Codec codec = Codec::Zstd;
    int level = 3;  // zstd 1-19, gzip 1-9
    // Rows per row group: the unit an engine skips by its statistics.
    size_t row_group_rows = 131072;
    size_t page_rows = 16384;
    // finish() waits for the bytes to reach the disk, so that a crash
    // cannot leave a short file under the final name (a wait of some
    // milliseconds per file).
    bool sync = false;
};

namespace detail {
class ColumnWriter;
struct RowGroupMeta;
class Compressor;
}  // namespace detail

class Writer {
public:
    Writer();
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Creates a temporary file beside `path` (a name starting with '.',
    // which engines skip). False, with error() saying why, when it cannot.
    bool open(const std::string &path, std::vector<Column> columns, const Options &options);
    // The row's value of column `col`: a number for Int32, Int64, Timestamp
    // and Double (and Bool), bytes for String and Binary.
    void put(int col, int64_t v);
    void put(int col, double v);
    void put(int col, std::string_view bytes);
    void put(int col, const char *text) { put(col, std::string_view(text)); }
    void put_bool(int col, bool v);
    // Ends the row; columns not given in it are null (or zero when required).
    // Writes a row group when it is full: false on a write error.
    bool end_row();
    // The rest of the rows and the footer; the file keeps its temporary name.
    bool finish();
    // Renames the finished file to its path.
    bool commit();
    // finish() and commit().
    bool close() { return finish() && commit(); }
    // Removes the temporary file.
    void abandon();

    uint64_t rows() const { return rows_; }
    uint64_t bytes() const { return offset_; }  // written so far
    const std::string &path() const { return path_; }
    const std::string &error() const { return error_; }

private:
    bool write_row_group();
    bool write(const std::string &bytes);
    bool fail(const std::string &why);

    std::vector<Column> columns_;
    std::vector<std::unique_ptr<detail::ColumnWriter>> writers_;
    std::vector<detail::RowGroupMeta> groups_;
    std::unique_ptr<detail::Compressor> compressor_;
    Options options_;
    std::string path_, temp_, error_;
    int fd_ = -1;
    bool finished_ = false;
    bool failed_ = false;
    uint64_t offset_ = 0;
    uint64_t rows_ = 0;
    size_t group_rows_ = 0;
    std::string buf_;
};

}  // namespace velk::lake
