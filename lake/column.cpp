// One column's values of a row group: data pages (definition levels, then
// PLAIN values or dictionary indices), the dictionary page, and the
// statistics engines skip row groups by.
#include <cmath>
#include <cstring>

#include "internal.h"

namespace velk::lake::detail {

namespace {

int32_t physical_of(Kind kind)
{
    switch (kind) {
    case Kind::Bool: return kBoolean;
    case Kind::Int32: return kInt32;
    case Kind::Int64:
    case Kind::Timestamp: return kInt64;
    case Kind::Double: return kDouble;
    case Kind::String:
    case Kind::Binary: return kByteArray;
    }
    return kInt64;
}

std::string plain_double(double v)
{
    std::string s;
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_le64(&s, bits);
    return s;
}

}  // namespace

ColumnWriter::ColumnWriter(const Column &column, size_t page_rows, Compressor *compressor)
    : column_(column), page_rows_(page_rows == 0 ? 1 : page_rows), compressor_(compressor),
      physical_(physical_of(column.kind))
{
    if (column_.kind != Kind::String)
        column_.dictionary = false;
}

void ColumnWriter::value_added()
{
    if (column_.optional)
        levels_.push_back(1);
    ++page_count_;
    ++count_;
    any_ = true;
    if (page_count_ >= page_rows_)
        end_page();
}

void ColumnWriter::put_int(int64_t v)
{
    if (column_.kind == Kind::Double) {
        put_double(static_cast<double>(v));
        return;
    }
    if (column_.kind == Kind::Bool) {
        put_bool(v != 0);
        return;
    }
    if (physical_ == kInt32)
        put_le32(&plain_, static_cast<uint32_t>(v));
    else
        put_le64(&plain_, static_cast<uint64_t>(v));
    if (!any_ || v < imin_)
        imin_ = v;
    if (!any_ || v > imax_)
        imax_ = v;
    value_added();
}

void ColumnWriter::put_double(double v)
{
    if (column_.kind != Kind::Double) {
        put_int(static_cast<int64_t>(v));
        return;
    }
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_le64(&plain_, bits);
    // NaN has no place in an order: statistics leave it out.
    if (!std::isnan(v)) {
        if (!stats_.has_range || v < dmin_)
            dmin_ = v;
        if (!stats_.has_range || v > dmax_)
            dmax_ = v;
        stats_.has_range = true;
    }
    value_added();
}

void ColumnWriter::put_bytes(std::string_view v)
{
    if (physical_ != kByteArray) {
        put_null();
        return;
    }
    if (column_.dictionary) {
        // Names and channels come in long runs of the same value.
        if (last_index_ < 0 || dict_order_[static_cast<size_t>(last_index_)] != v) {
            auto it = dict_.find(v);
            if (it == dict_.end()) {
                it = dict_.emplace(std::string(v), static_cast<uint32_t>(dict_order_.size())).first;
                dict_order_.push_back(it->first);
            }
            last_index_ = static_cast<int64_t>(it->second);
        }
        indices_.push_back(static_cast<uint32_t>(last_index_));
    } else {
        put_le32(&plain_, static_cast<uint32_t>(v.size()));
        plain_.append(v);
        if (column_.kind == Kind::String) {
            if (!any_ || v < smin_)
                smin_.assign(v);
            if (!any_ || v > smax_)
                smax_.assign(v);
        }
    }
    value_added();
}

void ColumnWriter::put_bool(bool v)
{
    if (column_.kind != Kind::Bool) {
        put_int(v ? 1 : 0);
        return;
    }
    bools_.push_back(v ? 1 : 0);
    value_added();
}

void ColumnWriter::put_null()
{
    if (!column_.optional) {
        // A required column holds a value in every row.
        if (physical_ == kByteArray)
            put_bytes({});
        else if (physical_ == kBoolean)
            put_bool(false);
        else if (physical_ == kDouble)
            put_double(0);
        else
            put_int(0);
        return;
    }
    levels_.push_back(0);
    ++stats_.null_count;
    ++page_count_;
    ++count_;
    if (page_count_ >= page_rows_)
        end_page();
}

bool ColumnWriter::put_page(int32_t type, const std::string &body, int32_t values, bool dictionary_page)
{
    if (!compressor_->compress(body, &compressed_))
        return false;
    const int32_t encoding = dictionary_page ? kPlain : column_.dictionary ? kRleDictionary : kPlain;
    const std::string header = page_header(type, static_cast<int32_t>(body.size()),
                                           static_cast<int32_t>(compressed_.size()), values, encoding);
    pages_ += header;
    pages_ += compressed_;
    uncompressed_ += static_cast<int64_t>(header.size() + body.size());
    return true;
}

bool ColumnWriter::end_page()
{
    if (page_count_ == 0)
        return true;
    page_.clear();
    if (column_.optional) {
        // Definition levels of a flat column: bit width 1, with their length.
        packed_.clear();
        rle_hybrid(levels_.data(), levels_.size(), 1, &packed_);
        put_le32(&page_, static_cast<uint32_t>(packed_.size()));
        page_ += packed_;
    }
    if (column_.dictionary) {
        const int width = std::max(1, bit_width(static_cast<uint32_t>(dict_order_.empty() ? 0 : dict_order_.size() - 1)));
        page_ += static_cast<char>(width);
        rle_hybrid(indices_.data(), indices_.size(), width, &page_);
    } else if (column_.kind == Kind::Bool) {
        plain_bools(bools_.data(), bools_.size(), &page_);
    } else {
        page_ += plain_;
    }
    const bool ok = put_page(kDataPage, page_, static_cast<int32_t>(page_count_), false);
    levels_.clear();
    indices_.clear();
    bools_.clear();
    plain_.clear();
    page_count_ = 0;
    return ok;
}

void ColumnWriter::reset_chunk()
{
    count_ = 0;
    pages_.clear();
    uncompressed_ = 0;
    dict_.clear();
    dict_order_.clear();
    last_index_ = -1;
    stats_ = {};
    any_ = false;
}

bool ColumnWriter::end_chunk(int64_t offset, std::string *out, ChunkMeta *meta)
{
    if (!end_page())
        return false;
    *meta = {};
    meta->type = physical_;
    meta->name = column_.name;
    meta->num_values = static_cast<int64_t>(count_);
    std::string dict_page;
    int64_t dict_uncompressed = 0;
    if (column_.dictionary) {
        std::string body;
        for (std::string_view v : dict_order_) {
            put_le32(&body, static_cast<uint32_t>(v.size()));
            body.append(v);
            if (!stats_.has_range || v < smin_)
                smin_.assign(v);
            if (!stats_.has_range || v > smax_)
                smax_.assign(v);
            stats_.has_range = true;
        }
        if (!compressor_->compress(body, &compressed_))
            return false;
        dict_page = page_header(kDictionaryPage, static_cast<int32_t>(body.size()),
                                static_cast<int32_t>(compressed_.size()), static_cast<int32_t>(dict_order_.size()),
                                kPlain);
        dict_uncompressed = static_cast<int64_t>(dict_page.size() + body.size());
        dict_page += compressed_;
        meta->dictionary_page_offset = offset;
        meta->encodings = {kPlain, kRle, kRleDictionary};
    } else {
        meta->encodings = {kPlain, kRle};
    }
    meta->data_page_offset = offset + static_cast<int64_t>(dict_page.size());
    meta->compressed = static_cast<int64_t>(dict_page.size() + pages_.size());
    meta->uncompressed = dict_uncompressed + uncompressed_;
    meta->stats.null_count = stats_.null_count;
    switch (column_.kind) {
    case Kind::Int32:
    case Kind::Int64:
    case Kind::Timestamp:
        if (any_) {
            meta->stats.has_range = true;
            // An INT32's PLAIN bytes are the first four of its value's as INT64.
            const size_t size = physical_ == kInt32 ? 4 : 8;
            put_le64(&meta->stats.min, static_cast<uint64_t>(imin_));
            put_le64(&meta->stats.max, static_cast<uint64_t>(imax_));
            meta->stats.min.resize(size);
            meta->stats.max.resize(size);
        }
        break;
    case Kind::Double:
        if (stats_.has_range) {
            // Zero is written as -0.0 for a minimum and +0.0 for a maximum,
            // so that either sign of zero in the data lies within them.
            meta->stats.has_range = true;
            meta->stats.min = plain_double(dmin_ == 0 ? -0.0 : dmin_);
            meta->stats.max = plain_double(dmax_ == 0 ? 0.0 : dmax_);
        }
        break;
    case Kind::String:
        if (column_.dictionary ? stats_.has_range : any_) {
            meta->stats.has_range = true;
            meta->stats.min = smin_;
            meta->stats.max = smax_;
        }
        break;
    case Kind::Bool:
    case Kind::Binary: break;
    }
    out->append(dict_page);
    out->append(pages_);
    reset_chunk();
    return true;
}

}  // namespace velk::lake::detail
