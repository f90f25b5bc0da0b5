// The Thrift compact protocol, as far as the footer and page headers need
// it: field headers by id distance, zigzag varints, lists and nested structs.
#include "internal.h"

namespace velk::lake::detail {

void put_varint(std::string *out, uint64_t v)
{
    while (v >= 0x80) {
        *out += static_cast<char>((v & 0x7F) | 0x80);
        v >>= 7;
    }
    *out += static_cast<char>(v);
}

void Compact::field(int id, Type type)
{
    const int delta = id - last_.back();
    if (delta > 0 && delta <= 15) {
        out_ += static_cast<char>(delta << 4 | type);
    } else {
        out_ += static_cast<char>(type);
        put_varint(&out_, zigzag(id));
    }
    last_.back() = id;
}

void Compact::i32(int id, int32_t v)
{
    field(id, kI32);
    put_varint(&out_, zigzag(v));
}

void Compact::i64(int id, int64_t v)
{
    field(id, kI64);
    put_varint(&out_, zigzag(v));
}

void Compact::i16(int id, int16_t v)
{
    field(id, kI16);
    put_varint(&out_, zigzag(v));
}

void Compact::i8(int id, int8_t v)
{
    field(id, kByte);
    out_ += static_cast<char>(v);
}

// A boolean field has no value bytes: the type of its header is the value.
void Compact::boolean(int id, bool v) { field(id, v ? kTrue : kFalse); }

void Compact::binary(int id, std::string_view v)
{
    field(id, kBinary);
    binary_element(v);
}

void Compact::binary_element(std::string_view v)
{
    put_varint(&out_, v.size());
    out_.append(v);
}

void Compact::begin_struct(int id)
{
    field(id, kStruct);
    last_.push_back(0);
}

void Compact::begin_struct_element() { last_.push_back(0); }

void Compact::end_struct()
{
    out_ += '\0';
    last_.pop_back();
}

void Compact::begin_list(int id, Type element, size_t n)
{
    field(id, kList);
    if (n < 15) {
        out_ += static_cast<char>(n << 4 | element);
    } else {
        out_ += static_cast<char>(0xF0 | element);
        put_varint(&out_, n);
    }
}

std::string &Compact::finish()
{
    out_ += '\0';
    return out_;
}

}  // namespace velk::lake::detail
