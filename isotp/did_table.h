// A table of data identifiers, as velk_uds -D and the utility's Diagnostics
// tab read it: one identifier a line, "DID NAME FORMAT", '#' starts a
// comment; FORMAT says how a value reads (hex, ascii, uint or int, the
// numbers big-endian).
//
//   velk::uds::DidTable t;
//   std::string why;
//   if (!velk::uds::load_did_table("dids.txt", &t, &why)) ...
//   velk::uds::did_value_text(value, t.at(0xF190).format);
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velk::uds {

enum class DidFormat { Hex, Ascii, Uint, Int };

struct DidEntry {
    std::string name;
    DidFormat format = DidFormat::Hex;
};

using DidTable = std::map<uint16_t, DidEntry>;

// Adds the file's identifiers to *table; false, with the file and line that
// is wrong in *why, when it cannot be read as a table.
bool load_did_table(const char *path, DidTable *table, std::string *why);
// The value as its format reads: "VELKSIM0000000001", "3700", "-2",
// "0E 74" (hex, and a number longer than 8 bytes).
std::string did_value_text(const std::vector<uint8_t> &value, DidFormat format);
// "62 F1 90".
std::string hex_bytes_text(const std::vector<uint8_t> &data);

}  // namespace velk::uds
