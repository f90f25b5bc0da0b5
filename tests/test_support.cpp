#include "test_support.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <thread>

namespace velk::test {

bool wait_until(const std::function<bool()> &cond, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

void unmap_all_ports()
{
    static std::string names[VELK_PORT_COUNT];
    for (int i = 0; i < VELK_PORT_COUNT; ++i) {
        names[i] = "/nonexistent/velk-port-" + std::to_string(i);
        comports[i] = names[i].c_str();
    }
}

void close_all_ports()
{
    while (first != nullptr) {
        COM_NODE *n = first;
        if (n->is_open)
            VELKCloseDevice(n->com_index);
        else
            delete_com_node(n->com_index);
    }
}

int unread_bytes(int com_port)
{
    // The terminal first: bytes a receiving thread reads meanwhile are then
    // found in the buffer. A poll makes the terminal pass on what it has
    // taken from the adapter; FIONREAD alone misses it for a moment after
    // each write.
    COM_NODE *node = chk_is_legal_com(com_port);
    if (node == nullptr)
        return -1;
    struct pollfd p = {node->fd, POLLIN, 0};
    InputCounters in;
    int n = -1;
    if (poll(&p, 1, 0) < 0 || ioctl(node->fd, FIONREAD, &n) != 0 || !input_counters(com_port, &in))
        return -1;
    return n + static_cast<int>(in.buffered);
}

Receiver::Receiver(int com_port)
    : thread_([this, com_port] {
          while (!stop_) {
              CAN_FRAME_INFO f;
              std::memset(&f, 0, sizeof(f));
              if (VELKReceive_CANFD(com_port, &f) == 1) {
                  got_.push_back(f);
                  ++received_;
              } else {
                  wait_port_input(com_port, 10);
              }
          }
      })
{
}

Receiver::~Receiver()
{
    stop();
}

std::vector<CAN_FRAME_INFO> Receiver::stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    return got_;
}

SimPort::SimPort(int index) : index_(index)
{
    if (!sim_.start())
        return;
    path_ = sim_.slave_path();
    comports[index] = path_.c_str();
    ok_ = true;
}

SimPort::~SimPort()
{
    sim_.stop();
}

namespace {

// What a failed open leaves to go on: how long it took and what the adapter
// was sent, frame by frame.
std::string open_failure(sim::Adapter &a, std::chrono::steady_clock::time_point start)
{
    std::ostringstream s;
    s << "the open took "
      << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count()
      << " ms; the adapter got";
    const std::vector<Bytes> got = a.host_frames();
    if (got.empty())
        s << " nothing";
    for (const Bytes &f : got)
        s << " [" << hex(f.data(), f.size()).text << "]";
    return s.str();
}

}  // namespace

void OpenAdapter::SetUp()
{
    unmap_all_ports();
    port_ = std::make_unique<SimPort>(kPort);
    ASSERT_TRUE(port_->ok());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(VELKOpenDevice(kPort), 0) << open_failure(port_->sim(), start);
    port_->sim().clear_host_frames();
}

void OpenAdapter::TearDown()
{
    close_all_ports();
    port_.reset();
}

std::string report_mismatch(const sim::Report &r, const CAN_FRAME_INFO &f)
{
    std::ostringstream s;
    s << "kind 0x" << std::hex << r.kind;
    auto bad = [&](const char *what) {
        s << ": " << what << "; decoded msg_type " << f.msg_type << " port " << f.CAN_port << " id_type "
          << f.id_type << " rtr " << f.rtr << " dlc " << f.dlc << " id 0x" << f.id << ", expected port "
          << r.channel << " extended " << r.extended << " dlc " << std::dec << r.dlc << " id 0x" << std::hex
          << r.id << " second " << std::dec << r.second << " (decoded " << f.timestamp.second << ")";
        return s.str();
    };
    switch (r.kind) {
    case sim::Report::E1:
    case sim::Report::E2:
    case sim::Report::F1: {
        if (f.msg_type != VELK_DATA_TYPE)
            return bad("msg_type");
        if (f.CAN_port != r.channel || f.id_type != (r.extended ? VELK_EID : VELK_SID) || f.rtr != (r.rtr ? 1 : 0) ||
            f.dlc != r.dlc || f.id != r.id)
            return bad("flags or identifier");
        const int n = r.kind == sim::Report::F1 ? dlc_length(r.dlc) : 8;
        if (std::memcmp(f.data, r.data.data(), static_cast<size_t>(n)) != 0)
            return bad("data");
        if (r.kind != sim::Report::E1 &&
            (f.timestamp.second != r.second || f.timestamp.micro_second != r.micro_second))
            return bad("timestamp");
        if (r.kind == sim::Report::F1 &&
            (f.brs != (r.fd_flags & 1) || f.esi != ((r.fd_flags >> 1) & 1) || f.fdf != ((r.fd_flags >> 2) & 1)))
            return bad("fd flags");
        return {};
    }
    case sim::Report::EepromError:
        return f.msg_type == VELK_EEERR_TYPE ? std::string() : bad("msg_type");
    case sim::Report::BusError:
    case sim::Report::BusErrorPsr:
    case sim::Report::BusStatus: {
        const int type = r.kind == sim::Report::BusError      ? VELK_BUSERR_TYPE
                         : r.kind == sim::Report::BusErrorPsr ? VELK_BUSERR_PSR_TYPE
                                                         : VELK_GETBUS_TYPE;
        if (f.msg_type != type)
            return bad("msg_type");
        if (std::memcmp(&f.data_err[0][0], r.status.data(), 12) != 0)
            return bad("status bytes");
        return {};
    }
    }
    return bad("unknown kind");
}

}  // namespace velk::test
