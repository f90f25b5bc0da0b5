// Opening, closing, pairing and searching over arbitrary replies: a sequence
// of operations on a few port indices, each answered from the fuzzer's bytes
// (and, when the input asks, by a well-behaved adapter once they run out).
// The open-port list must stay a sound list that holds exactly the ports
// that were opened and not yet closed.
#include "check.h"
#include "fake_port.h"
#include "internal.h"

namespace {

void check_list(const bool open[VELK_PORT_COUNT])
{
    int steps = 0;
    COM_NODE *tail = nullptr;
    int open_count[VELK_PORT_COUNT] = {};
    for (COM_NODE *n = first; n != nullptr; n = n->next) {
        FUZZ_CHECK(++steps <= 4 * VELK_PORT_COUNT);  // no cycle, no runaway growth
        FUZZ_CHECK(n->com_index >= 0 && n->com_index < VELK_PORT_COUNT);
        if (n->is_open == 1) {
            FUZZ_CHECK(n->fd == fuzzport::kFd);
            ++open_count[n->com_index];
        }
        tail = n;
    }
    FUZZ_CHECK(last == tail);
    FUZZ_CHECK(previous == tail);
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        FUZZ_CHECK(open_count[i] <= 1);
        FUZZ_CHECK((chk_is_legal_com(i) != nullptr) == open[i]);
    }
}

// Leaves the list empty for the next input.
void close_all()
{
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        if (chk_is_legal_com(i) != nullptr)
            VELKCloseDevice(i);
    }
    while (first != nullptr)
        delete_com_node(first->com_index);
    FUZZ_CHECK(first == nullptr && last == nullptr && previous == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // Byte 0: bits 0-2 the number of operations less one, bit 7 the
    // well-behaved adapter after the stream. Then one byte per operation:
    // bits 0-1 the port index, bits 4-6 the operation.
    size_t ops = (data[0] & 7u) + 1u;
    bool well_behaved = (data[0] & 0x80) != 0;
    if (size < 1 + ops)
        return 0;
    const uint8_t *op = data + 1;
    fuzzport::load(data + 1 + ops, size - 1 - ops, true);
    fuzzport::set_auto_reply(well_behaved, true);

    bool open[VELK_PORT_COUNT] = {};
    for (size_t k = 0; k < ops; ++k) {
        int port = op[k] & 3;
        int rc = 0;
        switch ((op[k] >> 4) & 7) {
        case 0:
        case 1:
            rc = ((op[k] >> 4) & 7) == 0 ? VELKOpenDevice(port) : VELKOpenDeviceSCT(port);
            FUZZ_CHECK(rc == 0 || rc == 1);
            if (open[port])
                FUZZ_CHECK(rc == 1);
            else
                open[port] = rc == 0;
            break;
        case 2:
            rc = VELKCloseDevice(port);
            FUZZ_CHECK(rc == (open[port] ? 0 : 1));
            open[port] = false;
            break;
        case 3: {
            int fd = -1;
            rc = VELKOpenSocketCAN(port, &fd);
            if (open[port])
                FUZZ_CHECK(rc == 1);
            else if (rc == 0)
                FUZZ_CHECK(fd == fuzzport::kFd);
            open[port] = open[port] || rc == 0;
            break;
        }
        case 4: {
            COM_SEARCH_INFO found = VELK_search_com();
            FUZZ_CHECK(found.num >= 0 && found.num <= VELK_PORT_COUNT - 23);
            for (int i = 0; i < found.num; ++i)
                FUZZ_CHECK(found.com[i] >= 23 && found.com[i] < VELK_PORT_COUNT);
            break;
        }
        case 5:
            rc = VELKFlexibleVCOM(port);
            FUZZ_CHECK(rc == 0 || rc == 1);
            break;
        case 6: {
            int s1 = 0, s2 = 0;
            rc = VELKInitCAN(port, op[k] & 4 ? VELK_ACTIVE : VELK_INACTIVE, op[k] & 8 ? VELK_ACTIVE : VELK_INACTIVE);
            FUZZ_CHECK(rc == 0 || rc == 1);
            if (!open[port])
                FUZZ_CHECK(rc == 1 && VELKGetCANStatus(port, &s1, &s2) == 1);
            break;
        }
        default: {
            CAN_FRAME_INFO f;
            std::memset(&f, 0, sizeof(f));
            f.CAN_port = op[k] & 4 ? VELK_CAN_2 : VELK_CAN_1;
            f.id_type = VELK_SID;
            f.dlc = op[k] & 8 ? 15 : 8;
            rc = op[k] & 8 ? VELKSend_CANFD(port, &f) : VELKSend(port, &f);
            FUZZ_CHECK(rc == (open[port] ? 0 : 1));
            break;
        }
        }
        check_list(open);
    }
    fuzzport::set_auto_reply(false);
    close_all();
    return 0;
}
