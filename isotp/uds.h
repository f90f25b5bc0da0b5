// UDS (ISO 14229) over an ISO-TP connection: the requests of the services a
// bench uses, their responses checked and read, negative responses by name,
// and one request's exchange on a given clock (P2, responsePending and P2*).
//
//   velk::uds::Exchange x({.p2_ms = 50, .p2_star_ms = 5000});
//   const auto req = velk::uds::read_request({0xF190});
//   connection.send(req, now);
//   x.start(req, now);
//   // the caller's loop, until x.done(): frames the connection takes and
//   // every event of the connection go to the exchange, and the time
//   if (connection.on_frame(f, now)) x.on_frame(now);
//   x.on_event(e, now);  x.tick(now);
//   if (x.outcome().status == velk::uds::Status::Positive) ... x.outcome().response
//
// C++ only; no threads, no sleeps, no adapter.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "isotp.h"

namespace velk::uds {

enum Service : uint8_t {
    kSessionControl = 0x10,
    kEcuReset = 0x11,
    kClearDtc = 0x14,
    kReadDtc = 0x19,
    kReadData = 0x22,
    kSecurityAccess = 0x27,
    kWriteData = 0x2E,
    kRoutineControl = 0x31,
    kTesterPresent = 0x3E,
};

constexpr uint8_t kNegativeResponse = 0x7F;
constexpr uint8_t kPositiveOffset = 0x40;
constexpr uint8_t kResponsePending = 0x78;
// A sub-function with this bit asks the server not to answer a success.
constexpr uint8_t kSuppressPositive = 0x80;

// ReadDTCInformation sub-functions.
constexpr uint8_t kDtcCountByMask = 0x01;
constexpr uint8_t kDtcByMask = 0x02;
constexpr uint8_t kDtcSupported = 0x0A;

// "ReadDataByIdentifier" for a request's service byte or its positive
// response's; nullptr for a service not named here.
const char *service_name(uint8_t service);
// "requestOutOfRange"; nullptr for a code the standard does not name.
const char *nrc_name(uint8_t nrc);
// "0x31 requestOutOfRange", "0x95 (unknown)".
std::string nrc_text(uint8_t nrc);
// The DTC status bits by name, lowest first ("testFailed", ...).
extern const char *const kDtcStatusBits[8];
// "testFailed confirmedDTC"; "-" when no bit is set.
std::string dtc_status_text(uint8_t status);
// A three-byte DTC as the fault-code letters read: "P0123-45" (the low byte
// is the failure type).
std::string dtc_text(uint32_t dtc);

std::vector<uint8_t> session_request(uint8_t session);
std::vector<uint8_t> reset_request(uint8_t type);
std::vector<uint8_t> read_request(const std::vector<uint16_t> &dids);
std::vector<uint8_t> write_request(uint16_t did, const std::vector<uint8_t> &value);
// 0x01 and 0x02 take the status mask; 0x0A none.
std::vector<uint8_t> dtc_request(uint8_t sub, uint8_t status_mask);
std::vector<uint8_t> clear_dtc_request(uint32_t group = 0xFFFFFF);
// control: 1 start, 2 stop, 3 results.
std::vector<uint8_t> routine_request(uint8_t control, uint16_t routine, const std::vector<uint8_t> &option);
// level: the odd requestSeed level; the key goes with level + 1.
std::vector<uint8_t> seed_request(uint8_t level);
std::vector<uint8_t> key_request(uint8_t level, const std::vector<uint8_t> &key);
std::vector<uint8_t> tester_present_request(bool suppress);

// A response checked against its request.
enum class Status {
    Waiting,     // the exchange is under way
    Positive,    // a positive response that echoes the request
    Negative,    // a negative response to the request (nrc)
    Pending,     // responsePending: a final response is still to come
    Unexpected,  // an answer that does not fit the request (why)
    Other,       // a negative response to another service: not this request's
    Timeout,     // no response within P2 or P2*
    Transport,   // the ISO-TP layer failed (error)
    Done,        // the request went out and no response was asked for
};

struct Outcome {
    Status status = Status::Waiting;
    uint8_t nrc = 0;
    isotp::Error error = isotp::Error::None;
    std::vector<uint8_t> response;  // the final response, whole
    int pending = 0;                // responsePending answers seen
    std::string why;                // Unexpected and Timeout: what was wrong
};

// Checks `response` against `request`: the positive service byte, the echo
// of the sub-function or identifier.
Outcome check_response(const std::vector<uint8_t> &request, const std::vector<uint8_t> &response);
// One line for a user: "positive", "negative response 0x31 requestOutOfRange",
// "no response within P2 (50 ms)", ...
std::string outcome_text(const Outcome &o);

struct Timing {
    uint32_t p2_ms = 50;         // first answer after the request is out
    uint32_t p2_star_ms = 5000;  // each further wait after a responsePending
};

// One request and its answer on the caller's clock: P2 runs from the
// request being sent, P2* after each responsePending; frames of the answer
// arriving stop the clock until ISO-TP has the message or fails.
class Exchange {
public:
    explicit Exchange(const Timing &timing) : timing_(timing) {}
    // The request was handed to the connection now.
    void start(const std::vector<uint8_t> &request, uint64_t now_us);
    // A frame the connection took (part of an answer under way).
    void on_frame(uint64_t now_us);
    // Every event of the connection.
    void on_event(const isotp::Event &e, uint64_t now_us);
    void tick(uint64_t now_us);
    // UINT64_MAX: no deadline of its own.
    uint64_t deadline() const;
    bool done() const { return outcome_.status != Status::Waiting; }
    const Outcome &outcome() const { return outcome_; }

private:
    void wait(uint32_t ms, uint64_t now_us);

    Timing timing_;
    std::vector<uint8_t> request_;
    bool answer_expected_ = true;
    bool sent_ = false;
    bool receiving_ = false;
    uint32_t waiting_ms_ = 0;
    uint64_t deadline_ = UINT64_MAX;
    Outcome outcome_;
};

// Readers of positive responses; false (and *why) when the bytes do not
// read as the service says.
struct Dtc {
    uint32_t code = 0;
    uint8_t status = 0;
};
struct DtcReport {
    uint8_t availability = 0;  // the status bits the server supports
    uint8_t format = 0;        // 0x01: count only
    uint16_t count = 0;        // 0x01
    std::vector<Dtc> dtcs;     // 0x02, 0x0A
};
bool read_dtc_response(const std::vector<uint8_t> &response, DtcReport *out, std::string *why);

// Each requested identifier's value. `length_of(did)` gives the length of a
// value (-1: not known); only the last identifier's value may be of a length
// not known.
struct DidValue {
    uint16_t did = 0;
    std::vector<uint8_t> value;
};
bool read_data_response(const std::vector<uint8_t> &response, const std::vector<uint16_t> &dids,
                        const std::function<int(uint16_t)> &length_of, std::vector<DidValue> *out,
                        std::string *why);

}  // namespace velk::uds
