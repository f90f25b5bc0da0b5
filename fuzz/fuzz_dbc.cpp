// The DBC reader over arbitrary text. A file either loads or fails with
// "name:line:column: ..."; one that loads decodes the input's first bytes
// as every message (each value within its signal's bits, none where the
// frame is too short) and encodes every message from its start values.
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "dbc.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    velk::dbc::Database db;
    const velk::dbc::LoadResult r = velk::dbc::load_string(text, "f.dbc", &db);
    FUZZ_CHECK(r.ok == r.error.empty());
    if (!r.ok) {
        FUZZ_CHECK(r.error.compare(0, 6, "f.dbc:") == 0);
        FUZZ_CHECK(db.messages().empty());
        return 0;
    }
    for (size_t i = 1; i < r.warnings.size(); ++i)
        FUZZ_CHECK(r.warnings[i - 1].line <= r.warnings[i].line);

    const int len = size < 64 ? static_cast<int>(size) : 64;
    std::vector<velk::dbc::Value> values(db.max_signals());
    size_t messages = 0;
    for (const velk::dbc::Message &m : db.messages()) {
        if (++messages > 64)
            break;
        FUZZ_CHECK(db.find(m.id, m.extended) != nullptr);
        const int n = velk::dbc::decode(m, data, len, values.data());
        FUZZ_CHECK(n >= 0 && static_cast<size_t>(n) <= m.signals.size());
        for (int i = 0; i < n; ++i) {
            const velk::dbc::Value &v = values[static_cast<size_t>(i)];
            const velk::dbc::Signal &s = *v.signal;
            FUZZ_CHECK(&s >= m.signals.data() && &s < m.signals.data() + m.signals.size());
            if (i > 0)
                FUZZ_CHECK(&s > values[static_cast<size_t>(i) - 1].signal);  // file order, each once
            if (v.missing) {
                FUZZ_CHECK(v.raw == 0 && v.text == nullptr);
                continue;
            }
            FUZZ_CHECK(s.end <= len);
            const uint64_t high = s.length == 64 ? 0 : ~uint64_t{0} << s.length;
            const bool negative = s.is_signed && s.type == velk::dbc::ValueType::Integer &&
                                  ((v.raw >> (s.length - 1)) & 1) != 0;
            FUZZ_CHECK((v.raw & high) == (negative ? high : 0));
            std::string number;
            velk::dbc::append_number(&number, v);
        }
        velk::dbc::Frame f;
        std::string why;
        FUZZ_CHECK(velk::dbc::encode(m, {}, &f, &why));
        FUZZ_CHECK(f.len >= m.length && f.len <= 64 && (f.fd || f.len <= 8));
    }
    return 0;
}
