#include "test_support.h"

#include <memory>
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

void OpenAdapter::SetUp()
{
    unmap_all_ports();
    port_ = std::make_unique<SimPort>(kPort);
    ASSERT_TRUE(port_->ok());
    ASSERT_EQ(VELKOpenDevice(kPort), 0);
    port_->sim().clear_host_frames();
}

void OpenAdapter::TearDown()
{
    close_all_ports();
    port_.reset();
}

Bytes frame(std::initializer_list<uint8_t> code_and_args)
{
    return sim::command(code_and_args);
}

}  // namespace velk::test
