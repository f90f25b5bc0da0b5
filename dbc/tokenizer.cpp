// The tokenizer of DBC text: names, numbers, quoted strings and single
// characters, with the line and column of each, over whatever spacing and
// line ends the file has.
#include <algorithm>
#include <charconv>

#include "internal.h"

namespace velk::dbc {

namespace {

bool is_name_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// Length of the UTF-8 sequence at s[i], 0 where it is not one.
size_t utf8_length(std::string_view s, size_t i)
{
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    uint32_t cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80)
            return 0;
        cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// Windows-1252 at 0x80-0x9F (0 where it has no character: those bytes are
// taken as Latin-1's control codes).
constexpr uint16_t kCp1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

void append_code_point(std::string *out, uint32_t cp)
{
    if (cp < 0x80) {
        *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out += static_cast<char>(0xC0 | cp >> 6);
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out += static_cast<char>(0xE0 | cp >> 12);
        *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string to_utf8(std::string_view bytes)
{
    bool valid = true;
    for (size_t i = 0; i < bytes.size() && valid;) {
        const size_t n = utf8_length(bytes, i);
        valid = n > 0;
        i += n;
    }
    if (valid)
        return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const uint32_t cp = c >= 0x80 && c < 0xA0 && kCp1252[c - 0x80] != 0 ? kCp1252[c - 0x80] : c;
        append_code_point(&out, cp);
    }
    return out;
}

void Scanner::advance(size_t n)
{
    for (const size_t end = std::min(pos_ + n, t_.size()); pos_ < end; ++pos_) {
        if (t_[pos_] == '\n') {
            ++line_;
            line_start_ = pos_ + 1;
        }
    }
}

void Scanner::blank()
{
    while (pos_ < t_.size()) {
        const char c = t_[pos_];
        if (c == '/' && pos_ + 1 < t_.size() && t_[pos_ + 1] == '/') {
            // A line comment, as several tool chains write them: to the line's end.
            const size_t eol = t_.find('\n', pos_);
            advance((eol == std::string_view::npos ? t_.size() : eol) - pos_);
            continue;
        }
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != '\f' && c != '\v')
            break;
        advance(1);
    }
}

bool Scanner::at_end()
{
    blank();
    return pos_ >= t_.size();
}

int Scanner::line()
{
    blank();
    return line_;
}

int Scanner::column()
{
    blank();
    return static_cast<int>(pos_ - line_start_) + 1;
}

bool Scanner::first_on_line()
{
    blank();
    for (size_t i = line_start_; i < pos_; ++i)
        if (t_[i] != ' ' && t_[i] != '\t' && t_[i] != '\r' && t_[i] != '\f' && t_[i] != '\v')
            return false;
    return true;
}

bool Scanner::same_line()
{
    return !at_end() && line_ == last_line_;
}

bool Scanner::peek(char c)
{
    blank();
    return pos_ < t_.size() && t_[pos_] == c;
}

bool Scanner::accept(char c)
{
    if (!peek(c))
        return false;
    advance(1);
    last_line_ = line_;
    return true;
}

bool Scanner::peek_identifier(std::string_view *s)
{
    blank();
    size_t end = pos_;
    while (end < t_.size() && is_name_char(t_[end]))
        ++end;
    if (end == pos_)
        return false;
    *s = t_.substr(pos_, end - pos_);
    return true;
}

bool Scanner::identifier(std::string_view *s)
{
    if (!peek_identifier(s))
        return false;
    advance(s->size());
    last_line_ = line_;
    return true;
}

bool Scanner::unsigned_number(uint64_t max, uint64_t *v, bool *too_big)
{
    blank();
    *too_big = false;
    size_t end = pos_;
    uint64_t x = 0;
    bool overflow = false;
    while (end < t_.size() && is_digit(t_[end])) {
        const auto d = static_cast<uint64_t>(t_[end] - '0');
        if (x > (UINT64_MAX - d) / 10)
            overflow = true;
        else
            x = x * 10 + d;
        ++end;
    }
    if (end == pos_ || (end < t_.size() && (is_name_char(t_[end]) || t_[end] == '.')))
        return false;
    if (overflow || x > max) {
        *too_big = true;
        return false;
    }
    advance(end - pos_);
    last_line_ = line_;
    *v = x;
    return true;
}

bool Scanner::whole_number(uint64_t *v)
{
    blank();
    const size_t start = pos_;
    const bool minus = pos_ < t_.size() && t_[pos_] == '-';
    if (minus)
        advance(1);
    uint64_t x;
    bool too_big;
    if (!unsigned_number(minus ? uint64_t{1} << 63 : UINT64_MAX, &x, &too_big)) {
        pos_ = start;
        return false;
    }
    *v = minus ? ~x + 1 : x;
    return true;
}

bool Scanner::real(double *v)
{
    blank();
    size_t i = pos_;
    if (i < t_.size() && (t_[i] == '-' || t_[i] == '+'))
        ++i;
    const size_t body = t_.size() > pos_ && t_[pos_] == '+' ? pos_ + 1 : pos_;
    size_t digits = 0;
    while (i < t_.size() && is_digit(t_[i]))
        ++i, ++digits;
    if (i < t_.size() && t_[i] == '.') {
        ++i;
        while (i < t_.size() && is_digit(t_[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < t_.size() && (t_[i] == 'e' || t_[i] == 'E')) {
        size_t e = i + 1;
        if (e < t_.size() && (t_[e] == '-' || t_[e] == '+'))
            ++e;
        if (e < t_.size() && is_digit(t_[e])) {
            while (e < t_.size() && is_digit(t_[e]))
                ++e;
            i = e;
        }
    }
    if (i < t_.size() && (is_name_char(t_[i]) || t_[i] == '.'))
        return false;
    double x = 0;
    const auto r = std::from_chars(t_.data() + body, t_.data() + i, x);
    if (r.ec != std::errc() || r.ptr != t_.data() + i)
        return false;
    advance(i - pos_);
    last_line_ = line_;
    *v = x;
    return true;
}

int Scanner::string(std::string *out)
{
    if (!peek('"'))
        return 0;
    size_t i = pos_ + 1;
    std::string bytes;
    while (i < t_.size() && t_[i] != '"') {
        if (t_[i] == '\\' && i + 1 < t_.size() && (t_[i + 1] == '"' || t_[i + 1] == '\\'))
            ++i;
        else if (t_[i] == '\r' && i + 1 < t_.size() && t_[i + 1] == '\n')
            ++i;  // a line break inside the text reads as "\n" whatever the file's line ends
        bytes += t_[i++];
    }
    if (i >= t_.size())
        return -1;
    advance(i + 1 - pos_);
    last_line_ = line_;
    *out = to_utf8(bytes);
    return 1;
}

std::string Scanner::found()
{
    if (at_end())
        return "the end of the file";
    size_t end = pos_;
    while (end < t_.size() && is_name_char(t_[end]) && end - pos_ < 32)
        ++end;
    if (end == pos_) {
        const auto c = static_cast<unsigned char>(t_[pos_]);
        if (c < 0x20 || c == 0x7F) {
            static const char kHex[] = "0123456789ABCDEF";
            return std::string("byte 0x") + kHex[c >> 4] + kHex[c & 15];
        }
        end = pos_ + utf8_length(t_, pos_);
        if (end == pos_)
            end = pos_ + 1;
    }
    std::string out = "'";
    out += to_utf8(t_.substr(pos_, end - pos_));
    out += '\'';
    return out;
}

Scanner::Skip Scanner::skip_statement(bool (*starts_statement)(std::string_view word))
{
    std::string s;
    for (bool first = true; !at_end(); first = false) {
        std::string_view w;
        if (!first && first_on_line() && peek_identifier(&w) && starts_statement(w))
            return Skip::NextStatement;
        const int r = string(&s);
        if (r < 0)
            return Skip::OpenString;
        if (r > 0)
            continue;
        if (accept(';'))
            return Skip::Semicolon;
        if (peek_identifier(&w))
            advance(w.size());
        else
            advance(1);
    }
    return Skip::End;
}

}  // namespace velk::dbc
