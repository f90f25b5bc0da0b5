// The adapter's wire format in one place, for the library and the emulated
// adapter: command frames and their replies, the data frames the host sends,
// the reports the adapter sends, the configuration record and the nominal
// bit-rate codes with their pauses. The DLC table and the bit rates of the
// codes are in the public header, which programs outside the library use
// too. Tests and fuzz targets keep an oracle of their own, so that a wrong
// entry here fails them instead of being copied into them.
#ifndef VELK_WIRE_H
#define VELK_WIRE_H

#include <cstddef>

#include "lib_velk_2.h"

namespace velk::wire {

// ---- the trailer ----

// Commands, replies, data frames and reports all end with the byte sum of
// what precedes it (modulo 256), CR and LF.
constexpr int kTrailerLen = 3;
constexpr unsigned char kCR = 0x0D;
constexpr unsigned char kLF = 0x0A;

inline unsigned char sum(const unsigned char *p, size_t n)
{
    unsigned char s = 0;
    for (size_t i = 0; i < n; ++i)
        s = static_cast<unsigned char>(s + p[i]);
    return s;
}

// Writes the trailer into the last three of the `len` bytes of a frame.
inline void seal(unsigned char *frame, size_t len)
{
    frame[len - 3] = sum(frame, len - 3);
    frame[len - 2] = kCR;
    frame[len - 1] = kLF;
}

inline bool sealed(const unsigned char *p, size_t len)
{
    return len >= 3 && p[len - 3] == sum(p, len - 3) && p[len - 2] == kCR && p[len - 1] == kLF;
}

// ---- commands and replies ----

// A command's first byte is its code. The reply echoes the code in byte 0,
// byte 1 is a status byte (0 = success), data follow from byte 2.
constexpr int kEcho = 0;
constexpr int kStatus = 1;
constexpr int kReplyData = 2;

struct Command {
    unsigned char code;
    int frame_len;  // trailer included
    int reply_len;  // 0: none is read
};

constexpr Command kCommands[] = {
    {'5', 4, 7},    // firmware version
    {'6', 4, 7},    // build identifier
    {0x60, 4, 7},   // channel status
    {'a', 6, 5},    // start or stop the channels
    {'4', 4, 5},    // reset
    {'0', 6, 5},    // nominal bit-rate codes
    {'3', 6, 5},    // channel modes
    {'8', 5, 5},    // error reporting
    {'1', 13, 5},   // acceptance filter of CAN1
    {'2', 13, 5},   // acceptance filter of CAN2
    {'7', 4, 28},   // configuration
    {'G', 4, 32},   // configuration with the CAN FD settings
    {'J', 8, 5},    // CAN FD data rates, then enables
    {'K', 20, 5},   // timing record set
    {'L', 5, 21},   // timing record query
    {'M', 4, 16},   // virtual COM query
    {'N', 5, 5},    // virtual COM set
    {'b', 4, 0},    // bus error request: answered later by a 0x62 0x02 report
};

constexpr int kMaxReply = 32;

constexpr const Command *command(unsigned char code)
{
    for (const Command &c : kCommands)
        if (c.code == code)
            return &c;
    return nullptr;
}

constexpr int frame_length(unsigned char code)
{
    return command(code) != nullptr ? command(code)->frame_len : 0;
}

constexpr int reply_length(unsigned char code)
{
    return command(code) != nullptr ? command(code)->reply_len : 0;
}

// ---- data frames and reports ----

// Byte 1 of every data frame, both ways, is the flags byte: bits 0-1 the
// channel + 1, bit 2 extended identifier, bit 3 RTR, bits 4-7 the DLC code.
// The CAN FD ones carry the FD flags too: bit 0 BRS, bit 1 ESI, bit 2 FDF.
// Identifiers are big-endian, the adapter's timestamps two little-endian
// words (seconds, microseconds). Offsets of each part; -1: not there.
struct DataLayout {
    unsigned char code;
    int fd_flags_at;
    int stamp_at;
    int id_at;
    int data_at;
};

// Host to adapter: eight data bytes whatever the DLC says, or the CAN FD
// payload raised to eight bytes.
constexpr DataLayout kClassicFrame = {0xE0, -1, -1, 2, 6};
constexpr DataLayout kFdFrame = {0xF0, 2, -1, 3, 7};
// Adapter to host.
constexpr DataLayout kClassicReport = {0xE1, -1, -1, 2, 6};
constexpr DataLayout kStampedReport = {0xE2, -1, 2, 10, 14};
constexpr DataLayout kFdReport = {0xF1, 2, 3, 11, 15};

constexpr unsigned char kFdf = 0x04;

constexpr int kClassicFrameLen = 17;
constexpr int kMaxFdFrameLen = 74;

// Payload bytes a CAN FD frame or report carries for a DLC code: its length,
// at least eight.
inline int fd_payload(int dlc)
{
    const int n = VELKDlcToLength(dlc);
    return n < 8 ? 8 : n;
}

inline int fd_frame_length(int dlc)
{
    return kFdFrame.data_at + fd_payload(dlc) + kTrailerLen;
}

inline int fd_report_length(int dlc)
{
    return kFdReport.data_at + fd_payload(dlc) + kTrailerLen;
}

// Reports by their first two bytes. A data report's second byte is its
// flags byte. The bus-status report 0x62 0x02 starts with 'b', so a first
// byte alone does not tell a report from text.
struct ReportKind {
    unsigned char code;
    int second;  // the second byte required; -1 for the data reports
    int length;  // 0: fd_report_length of the DLC in the flags byte
    int msg_type;
};

constexpr ReportKind kReportKinds[] = {
    {0xE1, -1, 17, VELK_DATA_TYPE},          {0xE2, -1, 25, VELK_DATA_TYPE},
    {0xF1, -1, 0, VELK_DATA_TYPE},           {0x99, 0x01, 9, VELK_EEERR_TYPE},
    {0x99, 0x02, 17, VELK_BUSERR_TYPE},      {0x99, 0x04, 17, VELK_BUSERR_PSR_TYPE},
    {0x62, 0x02, 17, VELK_GETBUS_TYPE},
};

// The longest report: 0xF1 with 64 payload bytes.
constexpr int kMaxReport = 82;

// Status reports (0x99 0x02, 0x99 0x04, 0x62 0x02): six bytes per channel
// from byte 2.
constexpr int kStatusAt = 2;
constexpr int kStatusBytes = 6;

inline bool may_start_report(unsigned char b)
{
    for (const ReportKind &k : kReportKinds)
        if (k.code == b)
            return true;
    return false;
}

// The kind of the report whose first two bytes are r[0] and r[1]; null when
// they start none.
inline const ReportKind *report_kind(const unsigned char *r)
{
    for (const ReportKind &k : kReportKinds)
        if (k.code == r[0] && (k.second < 0 || k.second == r[1]))
            return &k;
    return nullptr;
}

inline int report_length(const unsigned char *r)
{
    const ReportKind *k = report_kind(r);
    if (k == nullptr)
        return 0;
    return k->length > 0 ? k->length : fd_report_length(r[1] >> 4);
}

// ---- the configuration record ----

// The 23 configuration bytes of the '7' and 'G' replies, from reply byte 2,
// which are also the 23 words of the configuration file. Per channel, from
// byte 0 (CAN1) or 11 (CAN2): nominal bit-rate code, mode, filter type,
// filter identifier and filter mask, both big-endian; then the
// error-reporting setting. The 'G' reply follows them with each channel's
// FD enable and data rate.
namespace config {
constexpr int kAt = 2;
constexpr int kBytes = 23;
constexpr int kChannel[2] = {0, 11};
constexpr int kBaud = 0;
constexpr int kMode = 1;
constexpr int kFilterType = 2;
constexpr int kFilterId = 3;
constexpr int kFilterMask = 7;
constexpr int kErrorSetting = 22;
constexpr int fd_enable(int ch)
{
    return kBytes + 2 * ch;
}
constexpr int data_rate(int ch)
{
    return kBytes + 2 * ch + 1;
}
}  // namespace config

// ---- nominal bit-rate codes ----

constexpr int kNominalBitRate[VELK_BIT_RATE_CODES] = VELK_NOMINAL_BIT_RATES;

// The adapter runs CAN FD only from 100 kbit/s nominal, so at 5 to 50 kbit/s
// the longest frame is a classic one: 29-bit identifier, 8 data bytes,
// worst-case stuffing. Start of frame to the end of the CRC is
// 1 + 11 + 1 + 1 + 18 + 1 + 2 + 4 + 64 + 15 = 118 bits, which stuffing can
// stretch by one bit in four after the first; then CRC delimiter, ACK slot
// and delimiter, end of frame and intermission, 13 bits. 160 bits in all.
constexpr int kStuffedBits = 118;
constexpr int kLongestFrameBits = kStuffedBits + (kStuffedBits - 1) / 4 + 13;

// Bus time of that frame in microseconds, rounded up.
constexpr int longest_frame_us(int bits_per_second)
{
    return (kLongestFrameBits * 1000000 + bits_per_second - 1) / bits_per_second;
}

// The custom settings are timings whose rate only the adapter knows. A frame
// lost on the bus is worse than a slow burst, so they get the pause of the
// slowest standard rate (32 ms): enough for a classic frame at any rate from
// 5 kbit/s and for a 64-byte CAN FD frame without bit-rate switch (736 bits)
// from 23 kbit/s.
constexpr int kCustomPauseUs = longest_frame_us(kNominalBitRate[0]);

// The Windows DLLs' send_delay keeps the loop counts their callers know
// (700000 at 100 kbit/s, 40000 at 1 Mbit/s), but the pause is timed: a count
// of 400 is one microsecond. That makes 40000 the 100 us and 60000 the 150 us
// of the Linux build at 1 Mbit/s and 800 kbit/s; every other tuned code
// pauses longer in the DLLs.
constexpr int kDllLoopsPerUs = 400;

constexpr int dll_loops(int us)
{
    return us * kDllLoopsPerUs;
}

// Per code: its name, and the pause before each frame on that channel in
// microseconds (Linux) and as the DLLs' loop count. Codes 4 to 10 are tuned
// for the adapter; the others are derived from the bus time of the longest
// frame.
struct NominalRate {
    const char *name;
    int pause_us;
    int dll_pause;
};

constexpr NominalRate low_rate(const char *name, int code)
{
    return {name, longest_frame_us(kNominalBitRate[code]), dll_loops(longest_frame_us(kNominalBitRate[code]))};
}

constexpr NominalRate kNominalRates[VELK_BIT_RATE_CODES] = {
    low_rate("5 kbit/s", 0),
    low_rate("10 kbit/s", 1),
    low_rate("20 kbit/s", 2),
    low_rate("50 kbit/s", 3),
    {"100 kbit/s", 1050, 700000},
    {"125 kbit/s", 850, 570000},
    {"250 kbit/s", 400, 250000},
    {"500 kbit/s", 200, 120000},
    {"800 kbit/s", 150, 60000},
    {"1 Mbit/s", 100, 40000},
    {"400 kbit/s", 250, 120000},
    {"custom setting 0", kCustomPauseUs, dll_loops(kCustomPauseUs)},
    {"custom setting 1", kCustomPauseUs, dll_loops(kCustomPauseUs)},
};

// The entry of a code; null for codes outside 0 to 12.
constexpr const NominalRate *nominal_rate(int code)
{
    return code >= 0 && code < VELK_BIT_RATE_CODES ? &kNominalRates[code] : nullptr;
}

}  // namespace velk::wire

#endif
