// ISO-TP messages of an indexed trace, found on a thread of their own over
// the whole file (following an index that still grows): per message only
// what its row shows, a few dozen bytes, never the frames. The data of a
// long message is read again from the file when it is asked for.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "isotp.h"
#include "trace.h"

namespace gui::trace_isotp {

// Bytes of each message's data kept: a short message's all.
constexpr size_t kKept = 16;

struct Row {
    uint64_t frame = 0;  // the number of its single or first frame
    int64_t start_us = 0, end_us = 0;
    int64_t flow_id = -1;  // its flow control's identifier, -1 when none was seen
    uint32_t id = 0;
    uint32_t length = 0;   // as its first frame announced
    uint32_t got = 0;      // bytes that arrived (length when whole)
    int16_t ext = -1;      // its address byte (extended or mixed addressing), or -1
    int8_t channel = 0;
    bool extended = false, fd = false;
    velk::isotp::Error error = velk::isotp::Error::None;
    std::array<uint8_t, kKept> head{};  // its first min(got, kKept) bytes
};

// The identifiers of text like "7E0, 7E8" (hex; eight digits or above 7FF:
// 29-bit); empty text: every identifier. False with *why.
bool parse_ids(const std::string &text, std::vector<std::pair<uint32_t, bool>> *ids, std::string *why);

class Messages {
public:
    Messages(const velk::trace::Index &index, const velk::isotp::ReassemblerOptions &options);
    ~Messages();
    Messages(const Messages &) = delete;
    Messages &operator=(const Messages &) = delete;

    bool done() const { return done_.load(); }
    uint64_t scanned() const { return scanned_.load(); }
    // Messages found so far, in the order of their first frames.
    size_t count() const;
    bool row(size_t i, Row *r) const;
    const velk::isotp::ReassemblerOptions &options() const { return options_; }
    const std::string &error() const { return error_; }  // once done()

private:
    void run();

    const velk::trace::Index &index_;
    velk::isotp::ReassemblerOptions options_;
    std::thread thread_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<uint64_t> scanned_{0};
    mutable std::mutex mutex_;  // rows_
    std::vector<Row> rows_;
    std::string error_;
};

// The whole data of the message of row `r`, read again from the file from
// its first frame; false with *why when the file cannot be read.
bool message_data(const velk::trace::Index &index, const velk::isotp::ReassemblerOptions &options, const Row &r,
                  std::vector<uint8_t> *data, std::string *why);

}  // namespace gui::trace_isotp
