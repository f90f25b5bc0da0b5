// Start-up of the utility program itself: a missing layout file, a missing
// icon, and a window that opens the same every time.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string make_dir()
{
    char dir[] = "/tmp/velk-layout-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        std::abort();
    return dir;
}

int sh(const std::string &cmd)
{
    int status = system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(Layout, MissingCsLayoutExitsWithStatus1AfterOneCharacter)
{
    std::string dir = make_dir();
    ASSERT_EQ(sh("cp " VELK_UI_DIR "/MainWindow.glade " VELK_UI_DIR "/ED_UI.glade " + dir), 0);
    // The program waits for a key before it exits; the pipe gives it one.
    std::string cmd = "cd " + dir + " && { printf 'x' | " VELK_UTILITY_PATH " > out.txt 2> err.txt; echo $? > rc.txt; }";
    ASSERT_EQ(sh(cmd), 0);
    FILE *rc = fopen((dir + "/rc.txt").c_str(), "r");
    ASSERT_NE(rc, nullptr);
    int code = -1;
    ASSERT_EQ(fscanf(rc, "%d", &code), 1);
    fclose(rc);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(sh("grep -q 'CS_UI.glade' " + dir + "/err.txt"), 0);
    sh("rm -rf " + dir);
}

TEST(Layout, MissingIconIsReportedAndTheWindowStillStarts)
{
    std::string dir = make_dir();
    ASSERT_EQ(sh("cp " VELK_UI_DIR "/MainWindow.glade " VELK_UI_DIR "/CS_UI.glade " VELK_UI_DIR "/ED_UI.glade " + dir), 0);
    std::string out = dir + "/out.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    char arg0[] = VELK_UTILITY_PATH;
    char *argv[] = {arg0, nullptr};
    pid_t pid = -1;
    ASSERT_EQ(chdir(dir.c_str()), 0);
    ASSERT_EQ(posix_spawn(&pid, VELK_UTILITY_PATH, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    // The message comes before the window is shown; the program then runs
    // its main loop until it is stopped.
    const std::string expected = "Get icon from ./icon/CANbus.ico failed !";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string text;
    bool alive = true;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream f(out);
        std::stringstream ss;
        ss << f.rdbuf();
        text = ss.str();
        if (text.find(expected) != std::string::npos)
            break;
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            alive = false;
            break;
        }
    }
    EXPECT_NE(text.find(expected), std::string::npos) << text;
    EXPECT_TRUE(alive);
    if (alive) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    sh("rm -rf " + dir);
}

namespace {

// The listings of gui_layout_probe: title line, then one line per widget.
std::vector<std::vector<std::string>> probe(const char *mode)
{
    std::vector<std::vector<std::string>> listings;
    FILE *p = popen((std::string(VELK_LAYOUT_PROBE_PATH " ") + mode).c_str(), "r");
    if (p == nullptr)
        return listings;
    char line[256];
    while (fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        if (s == "start" || s == "tour")
            listings.emplace_back();
        else if (!listings.empty())
            listings.back().push_back(s);
    }
    EXPECT_EQ(pclose(p), 0) << mode;
    return listings;
}

void expect_same(const std::vector<std::string> &a, const std::vector<std::string> &b, const char *what)
{
    EXPECT_EQ(a.size(), b.size()) << what;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        EXPECT_EQ(a[i], b[i]) << what;
}

}  // namespace

// Two starts, one finding an adapter and one finding none, lay the window
// out alike; what the widgets then show (port and version texts, CAN FD
// lengths, a short payload, busy texts) moves nothing.
TEST(Layout, WindowOpensTheSameEveryTimeAndKeepsItsLayout)
{
    const auto none = probe("none");
    const auto adapter = probe("adapter");
    ASSERT_EQ(none.size(), 1u);
    ASSERT_EQ(adapter.size(), 2u);
    ASSERT_GT(none[0].size(), 100u);
    expect_same(none[0], adapter[0], "start without and with an adapter");
    expect_same(adapter[0], adapter[1], "start and after the tour");
}
