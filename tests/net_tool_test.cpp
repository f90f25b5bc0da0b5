// The velk_socketcand program: bad usage, loopback by default, a clean stop.
#include <signal.h>

#include <string>
#include <utility>
#include <vector>

#include "adapter.h"
#include "net_support.h"
#include "tools_support.h"

namespace velk::test {
namespace {

// The program's exit status and standard error for `args`.
std::pair<int, std::string> outcome(const std::vector<std::string> &args, std::string *out = nullptr)
{
    Child c;
    EXPECT_TRUE(run(&c, args));
    if (out)
        *out = c.out();
    return {c.status(), c.err()};
}

TEST(NetTool, BadUsageExitsWithTwoAndSaysWhy)
{
    auto r = outcome({VELK_SOCKETCAND});
    EXPECT_EQ(r.first, 2);
    EXPECT_NE(r.second.find("no PORT given"), std::string::npos) << r.second;
    r = outcome({VELK_SOCKETCAND, "-a", "10.0.0.0/33", "0"});
    EXPECT_EQ(r.first, 2);
    EXPECT_NE(r.second.find("bad network"), std::string::npos) << r.second;
    EXPECT_EQ(outcome({VELK_SOCKETCAND, "-N", "can0,can0", "0"}).first, 2);
    r = outcome({VELK_SOCKETCAND, "-l", "300.1.1.1", "-p", "0", "0"});
    EXPECT_EQ(r.first, 1);
    EXPECT_NE(r.second.find("not an IPv4 address"), std::string::npos) << r.second;
    std::string usage;
    EXPECT_EQ(outcome({VELK_SOCKETCAND, "-h"}, &usage).first, 0);
    EXPECT_NE(usage.find("listens on\nloopback (127.0.0.1) only"), std::string::npos) << usage;
}

TEST(NetTool, ListensOnLoopbackServesABusAndStopsCleanlyOnSigterm)
{
    sim::Adapter a;
    ASSERT_TRUE(a.start());
    Child c;
    ASSERT_TRUE(c.start({VELK_SOCKETCAND, "-p", "0", "-N", "left,-", a.slave_path()}));
    ASSERT_TRUE(c.wait_output(", buses left (CAN1)\n", 20000)) << c.out() << c.err();
    const std::string head = "velk_socketcand: listening on 127.0.0.1:";
    const size_t at = c.out().find(head);
    ASSERT_NE(at, std::string::npos) << c.out();
    const int port = std::stoi(c.out().substr(at + head.size()));
    NetClient n;
    ASSERT_TRUE(n.open_bus(port, "left"));
    a.inject(sim::report_e1(0, false, false, 2, 0x12, {0xAB, 0xCD}));
    const std::string f = n.item();
    EXPECT_EQ(f.rfind("< frame 012 ", 0), 0u) << f;
    EXPECT_EQ(f.substr(f.size() - 7), " ABCD >") << f;
    NetClient other;
    ASSERT_TRUE(other.connect_to(port));
    EXPECT_EQ(other.item(), "< hi >");
    other.send_text("< open can1 >");
    EXPECT_EQ(other.item(), "< error could not open bus >");
    c.signal(SIGTERM);
    ASSERT_TRUE(c.wait(10000));
    EXPECT_EQ(c.status(), 0);
    EXPECT_TRUE(n.wait_closed());
}

}  // namespace
}  // namespace velk::test
