// UDS requests and responses, the negative response codes by name and one
// request's exchange with its P2 and P2* times.
#include "uds.h"

#include <cstdio>

namespace velk::uds {

namespace {

struct NrcName {
    uint8_t code;
    const char *name;
};

constexpr NrcName kNrcNames[] = {
    {0x10, "generalReject"},
    {0x11, "serviceNotSupported"},
    {0x12, "subFunctionNotSupported"},
    {0x13, "incorrectMessageLengthOrInvalidFormat"},
    {0x14, "responseTooLong"},
    {0x21, "busyRepeatRequest"},
    {0x22, "conditionsNotCorrect"},
    {0x24, "requestSequenceError"},
    {0x25, "noResponseFromSubnetComponent"},
    {0x26, "failurePreventsExecutionOfRequestedAction"},
    {0x31, "requestOutOfRange"},
    {0x33, "securityAccessDenied"},
    {0x34, "authenticationRequired"},
    {0x35, "invalidKey"},
    {0x36, "exceededNumberOfAttempts"},
    {0x37, "requiredTimeDelayNotExpired"},
    {0x70, "uploadDownloadNotAccepted"},
    {0x71, "transferDataSuspended"},
    {0x72, "generalProgrammingFailure"},
    {0x73, "wrongBlockSequenceCounter"},
    {0x78, "responsePending"},
    {0x7E, "subFunctionNotSupportedInActiveSession"},
    {0x7F, "serviceNotSupportedInActiveSession"},
    {0x81, "rpmTooHigh"},
    {0x82, "rpmTooLow"},
    {0x83, "engineIsRunning"},
    {0x84, "engineIsNotRunning"},
    {0x85, "engineRunTimeTooLow"},
    {0x86, "temperatureTooHigh"},
    {0x87, "temperatureTooLow"},
    {0x88, "vehicleSpeedTooHigh"},
    {0x89, "vehicleSpeedTooLow"},
    {0x8A, "throttlePedalTooHigh"},
    {0x8B, "throttlePedalTooLow"},
    {0x8C, "transmissionRangeNotInNeutral"},
    {0x8D, "transmissionRangeNotInGear"},
    {0x8F, "brakeSwitchNotClosed"},
    {0x90, "shifterLeverNotInPark"},
    {0x91, "torqueConverterClutchLocked"},
    {0x92, "voltageTooHigh"},
    {0x93, "voltageTooLow"},
    {0x94, "resourceTemporarilyNotAvailable"},
};

// Bytes after the service byte that a positive response repeats: the
// sub-function (without its suppress bit), the routine, the identifier.
struct Echo {
    uint8_t service;
    uint8_t length;
    bool sub_function;
};

constexpr Echo kEchoes[] = {
    {kSessionControl, 1, true}, {kEcuReset, 1, true},      {kReadDtc, 1, true},
    {kSecurityAccess, 1, true}, {kTesterPresent, 1, true}, {kRoutineControl, 3, true},
    {kReadData, 2, false},      {kWriteData, 2, false},
};

const Echo *echo_of(uint8_t service)
{
    for (const Echo &e : kEchoes)
        if (e.service == service)
            return &e;
    return nullptr;
}

std::string hex2(uint8_t b)
{
    char s[8];
    std::snprintf(s, sizeof s, "0x%02X", b);
    return s;
}

void put16(std::vector<uint8_t> *v, uint16_t x)
{
    v->push_back(uint8_t(x >> 8));
    v->push_back(uint8_t(x));
}

}  // namespace

const char *service_name(uint8_t service)
{
    static const struct {
        uint8_t service;
        const char *name;
    } kNames[] = {
        {kSessionControl, "DiagnosticSessionControl"},
        {kEcuReset, "ECUReset"},
        {kClearDtc, "ClearDiagnosticInformation"},
        {kReadDtc, "ReadDTCInformation"},
        {kReadData, "ReadDataByIdentifier"},
        {kSecurityAccess, "SecurityAccess"},
        {kWriteData, "WriteDataByIdentifier"},
        {kRoutineControl, "RoutineControl"},
        {kTesterPresent, "TesterPresent"},
    };
    const uint8_t request = service >= kPositiveOffset && service != kNegativeResponse ? service - kPositiveOffset : service;
    for (const auto &n : kNames)
        if (n.service == request)
            return n.name;
    return nullptr;
}

const char *nrc_name(uint8_t nrc)
{
    for (const NrcName &n : kNrcNames)
        if (n.code == nrc)
            return n.name;
    return nullptr;
}

std::string nrc_text(uint8_t nrc)
{
    const char *name = nrc_name(nrc);
    return hex2(nrc) + " " + (name ? name : "(unknown)");
}

const char *const kDtcStatusBits[8] = {
    "testFailed",
    "testFailedThisOperationCycle",
    "pendingDTC",
    "confirmedDTC",
    "testNotCompletedSinceLastClear",
    "testFailedSinceLastClear",
    "testNotCompletedThisOperationCycle",
    "warningIndicatorRequested",
};

std::string dtc_status_text(uint8_t status)
{
    std::string s;
    for (int i = 0; i < 8; ++i) {
        if (status & (1u << i)) {
            s += s.empty() ? "" : " ";
            s += kDtcStatusBits[i];
        }
    }
    return s.empty() ? "-" : s;
}

std::string dtc_text(uint32_t dtc)
{
    // The top two bits name the system: powertrain, chassis, body, network.
    static const char kSystem[] = "PCBU";
    char s[16];
    std::snprintf(s, sizeof s, "%c%01X%03X-%02X", kSystem[(dtc >> 22) & 3], unsigned(dtc >> 20) & 3,
                  unsigned(dtc >> 8) & 0xFFF, unsigned(dtc) & 0xFF);
    return s;
}

std::vector<uint8_t> session_request(uint8_t session)
{
    return {kSessionControl, session};
}

std::vector<uint8_t> reset_request(uint8_t type)
{
    return {kEcuReset, type};
}

std::vector<uint8_t> read_request(const std::vector<uint16_t> &dids)
{
    std::vector<uint8_t> v{kReadData};
    for (uint16_t d : dids)
        put16(&v, d);
    return v;
}

std::vector<uint8_t> write_request(uint16_t did, const std::vector<uint8_t> &value)
{
    std::vector<uint8_t> v{kWriteData};
    put16(&v, did);
    v.insert(v.end(), value.begin(), value.end());
    return v;
}

std::vector<uint8_t> dtc_request(uint8_t sub, uint8_t status_mask)
{
    if (sub == kDtcSupported)
        return {kReadDtc, sub};
    return {kReadDtc, sub, status_mask};
}

std::vector<uint8_t> clear_dtc_request(uint32_t group)
{
    return {kClearDtc, uint8_t(group >> 16), uint8_t(group >> 8), uint8_t(group)};
}

std::vector<uint8_t> routine_request(uint8_t control, uint16_t routine, const std::vector<uint8_t> &option)
{
    std::vector<uint8_t> v{kRoutineControl, control};
    put16(&v, routine);
    v.insert(v.end(), option.begin(), option.end());
    return v;
}

std::vector<uint8_t> seed_request(uint8_t level)
{
    return {kSecurityAccess, level};
}

std::vector<uint8_t> key_request(uint8_t level, const std::vector<uint8_t> &key)
{
    std::vector<uint8_t> v{kSecurityAccess, uint8_t(level + 1)};
    v.insert(v.end(), key.begin(), key.end());
    return v;
}

std::vector<uint8_t> tester_present_request(bool suppress)
{
    return {kTesterPresent, uint8_t(suppress ? kSuppressPositive : 0)};
}

Outcome check_response(const std::vector<uint8_t> &request, const std::vector<uint8_t> &response)
{
    Outcome o;
    o.response = response;
    const uint8_t service = request.empty() ? 0 : request[0];
    if (response.empty()) {
        o.status = Status::Unexpected;
        o.why = "an empty response";
    } else if (response[0] == kNegativeResponse) {
        if (response.size() < 3) {
            o.status = Status::Unexpected;
            o.why = "a negative response of " + std::to_string(response.size()) + " bytes";
        } else if (response[1] != service) {
            o.status = Status::Other;
        } else {
            o.nrc = response[2];
            o.status = o.nrc == kResponsePending ? Status::Pending : Status::Negative;
        }
    } else if (response[0] != uint8_t(service + kPositiveOffset)) {
        o.status = Status::Unexpected;
        o.why = "response " + hex2(response[0]) + " to request " + hex2(service);
    } else {
        o.status = Status::Positive;
        const Echo *e = echo_of(service);
        if (e && request.size() > e->length) {
            if (response.size() <= e->length) {
                o.status = Status::Unexpected;
                o.why = "a response of " + std::to_string(response.size()) + " bytes to request " + hex2(service);
            }
            for (size_t i = 1; o.status == Status::Positive && i <= e->length; ++i) {
                const uint8_t want = i == 1 && e->sub_function ? request[i] & ~kSuppressPositive : request[i];
                if (response[i] != want) {
                    o.status = Status::Unexpected;
                    o.why = "response to " + hex2(service) + " repeats " + hex2(response[i]) + " where the request had " +
                            hex2(want);
                }
            }
        }
    }
    return o;
}

std::string outcome_text(const Outcome &o)
{
    switch (o.status) {
    case Status::Waiting: return "waiting";
    case Status::Positive: return "positive response";
    case Status::Done: return "sent";
    case Status::Negative: return "negative response " + nrc_text(o.nrc);
    case Status::Pending: return "response pending";
    case Status::Other: return "a negative response to another request";
    case Status::Unexpected: return "unexpected answer: " + o.why;
    case Status::Timeout: return o.why;
    case Status::Transport: return std::string("ISO-TP: ") + isotp::error_name(o.error);
    }
    return "?";
}

void Exchange::start(const std::vector<uint8_t> &request, uint64_t now_us)
{
    (void)now_us;
    request_ = request;
    const Echo *e = request.empty() ? nullptr : echo_of(request[0]);
    answer_expected_ = !(e && e->sub_function && request.size() > 1 && (request[1] & kSuppressPositive));
    sent_ = receiving_ = false;
    deadline_ = UINT64_MAX;
    outcome_ = Outcome();
}

void Exchange::wait(uint32_t ms, uint64_t now_us)
{
    waiting_ms_ = ms;
    deadline_ = now_us + uint64_t(ms) * 1000;
}

void Exchange::on_frame(uint64_t now_us)
{
    (void)now_us;
    if (sent_ && !done()) {
        receiving_ = true;
        deadline_ = UINT64_MAX;
    }
}

void Exchange::on_event(const isotp::Event &e, uint64_t now_us)
{
    if (done())
        return;
    switch (e.kind) {
    case isotp::Event::Sent:
        sent_ = true;
        if (!answer_expected_)
            outcome_.status = Status::Done;
        else
            wait(timing_.p2_ms, now_us);
        return;
    case isotp::Event::TxError:
    case isotp::Event::RxError:
        outcome_.status = Status::Transport;
        outcome_.error = e.error;
        return;
    case isotp::Event::Received: break;
    }
    if (!sent_)
        return;
    receiving_ = false;
    Outcome o = check_response(request_, e.data);
    if (o.status == Status::Other) {
        // Not this request's answer; the time left for it starts again.
        wait(waiting_ms_, now_us);
        return;
    }
    o.pending = outcome_.pending;
    if (o.status == Status::Pending) {
        outcome_.pending++;
        wait(timing_.p2_star_ms, now_us);
        return;
    }
    outcome_ = o;
}

void Exchange::tick(uint64_t now_us)
{
    if (done() || receiving_ || now_us < deadline_)
        return;
    outcome_.status = Status::Timeout;
    outcome_.why = outcome_.pending ? "no final response within P2* (" + std::to_string(timing_.p2_star_ms) +
                                          " ms) after responsePending"
                                    : "no response within P2 (" + std::to_string(timing_.p2_ms) + " ms)";
}

uint64_t Exchange::deadline() const
{
    return done() || receiving_ ? UINT64_MAX : deadline_;
}

bool read_dtc_response(const std::vector<uint8_t> &r, DtcReport *out, std::string *why)
{
    *out = DtcReport();
    if (r.size() < 3 || r[0] != kReadDtc + kPositiveOffset) {
        *why = "not a ReadDTCInformation response";
        return false;
    }
    out->availability = r[2];
    if (r[1] == kDtcCountByMask) {
        if (r.size() != 6) {
            *why = "a DTC count of " + std::to_string(r.size()) + " bytes (6 expected)";
            return false;
        }
        out->format = r[3];
        out->count = uint16_t(r[4] << 8 | r[5]);
        return true;
    }
    if ((r.size() - 3) % 4 != 0) {
        *why = "DTC records of 4 bytes expected, " + std::to_string(r.size() - 3) + " bytes given";
        return false;
    }
    for (size_t i = 3; i < r.size(); i += 4)
        out->dtcs.push_back({uint32_t(r[i]) << 16 | uint32_t(r[i + 1]) << 8 | r[i + 2], r[i + 3]});
    return true;
}

bool read_data_response(const std::vector<uint8_t> &r, const std::vector<uint16_t> &dids,
                        const std::function<int(uint16_t)> &length_of, std::vector<DidValue> *out,
                        std::string *why)
{
    out->clear();
    if (r.empty() || r[0] != kReadData + kPositiveOffset) {
        *why = "not a ReadDataByIdentifier response";
        return false;
    }
    size_t at = 1;
    char name[8];
    for (size_t i = 0; i < dids.size(); ++i) {
        std::snprintf(name, sizeof name, "%04X", dids[i]);
        if (r.size() < at + 2 || uint16_t(r[at] << 8 | r[at + 1]) != dids[i]) {
            *why = std::string("identifier ") + name + " missing from the response";
            return false;
        }
        at += 2;
        int len = length_of ? length_of(dids[i]) : -1;
        if (len < 0) {
            if (i + 1 < dids.size()) {
                *why = std::string("the length of ") + name + " is not known, so the identifiers after it cannot be read";
                return false;
            }
            len = int(r.size() - at);
        }
        if (r.size() < at + size_t(len)) {
            *why = std::string("the value of ") + name + " is cut short";
            return false;
        }
        out->push_back({dids[i], std::vector<uint8_t>(r.begin() + long(at), r.begin() + long(at) + len)});
        at += size_t(len);
    }
    if (at != r.size()) {
        *why = std::to_string(r.size() - at) + " bytes after the last identifier";
        return false;
    }
    return true;
}

}  // namespace velk::uds
