// Start-up of the utility program itself: a missing layout file, a missing
// icon, a window that opens the same every time, and the installed program,
// which finds its layout files in share/velk of its prefix when started from
// another directory.
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

// Runs `prog` in `dir` with standard input from /dev/null and waits for
// `expected` on its standard output; true when it came and the program still
// runs. The program is stopped afterwards; the output is left in `text`.
bool starts_and_prints(const std::string &prog, const std::string &dir, const std::string &expected,
                       std::string &text)
{
    std::string out = dir + "/out.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string arg0 = prog;
    char *argv[] = {arg0.data(), nullptr};
    pid_t pid = -1;
    if (chdir(dir.c_str()) != 0)
        return false;
    int rc = posix_spawn(&pid, prog.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return false;

    // The message comes before the window is shown; the program then runs
    // its main loop until it is stopped.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
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
    if (alive) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return alive && text.find(expected) != std::string::npos;
}

// Installs the utility's component into a fresh prefix, as a package does.
std::string install_utility()
{
    std::string prefix = make_dir() + "/usr";
    std::string cmd = std::string("\"" VELK_CMAKE "\" --install \"" VELK_BUILD_DIR "\" --component utility --prefix ") +
                      prefix + " > /dev/null";
    return sh(cmd) == 0 ? prefix : std::string();
}

const char kIconMessage[] = "Get icon from ./icon/CANbus.ico failed !";

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
    ASSERT_EQ(sh("cp " VELK_UI_DIR "/MainWindow.glade " VELK_UI_DIR "/CS_UI.glade " VELK_UI_DIR "/ED_UI.glade "
                 VELK_UI_DIR "/DB_UI.glade " + dir), 0);
    std::string text;
    EXPECT_TRUE(starts_and_prints(VELK_UTILITY_PATH, dir, kIconMessage, text)) << text;
    sh("rm -rf " + dir);
}

// The icon message comes after all three layout files were loaded, so
// with the installed icon taken away it shows that they came from
// share/velk: the current directory has none.
TEST(Layout, InstalledProgramLoadsItsLayoutFromShareVelkInAnotherDirectory)
{
    std::string prefix = install_utility();
    ASSERT_FALSE(prefix.empty());
    for (const char *f : {"bin/velk_utility", "share/velk/MainWindow.glade", "share/velk/CS_UI.glade",
                          "share/velk/ED_UI.glade", "share/velk/DB_UI.glade", "share/velk/transmit.glade",
                          "share/velk/diagnostics.glade",
                          "share/velk/icon/CANbus.ico",
                          "share/applications/velk_utility.desktop",
                          "share/icons/hicolor/48x48/apps/velk_utility.png"})
        EXPECT_EQ(access((prefix + "/" + f).c_str(), R_OK), 0) << f;
    ASSERT_EQ(sh("rm " + prefix + "/share/velk/icon/CANbus.ico"), 0);
    std::string dir = make_dir();
    std::string text;
    EXPECT_TRUE(starts_and_prints(prefix + "/bin/velk_utility", dir, kIconMessage, text)) << text;
    EXPECT_EQ(text.find("not found"), std::string::npos) << text;
    sh("rm -rf " + dir + " " + prefix + "/..");
}

TEST(Layout, MissingInstalledLayoutNamesBothPlacesAndExitsWithStatus1)
{
    std::string prefix = install_utility();
    ASSERT_FALSE(prefix.empty());
    ASSERT_EQ(sh("rm " + prefix + "/share/velk/ED_UI.glade"), 0);
    std::string dir = make_dir();
    std::string cmd = "cd " + dir + " && { printf 'x' | " + prefix +
                      "/bin/velk_utility > out.txt 2> err.txt; echo $? > rc.txt; }";
    ASSERT_EQ(sh(cmd), 0);
    std::ifstream rc(dir + "/rc.txt");
    int code = -1;
    rc >> code;
    EXPECT_EQ(code, 1);
    std::ifstream f(dir + "/err.txt");
    std::stringstream ss;
    ss << f.rdbuf();
    std::string err = ss.str();
    EXPECT_NE(err.find("Layout file ED_UI.glade not found"), std::string::npos) << err;
    EXPECT_NE(err.find(dir + "/ED_UI.glade"), std::string::npos) << err;
    EXPECT_NE(err.find(prefix + "/share/velk/ED_UI.glade"), std::string::npos) << err;
    sh("rm -rf " + dir + " " + prefix + "/..");
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

// At the window's default size, with the example database loaded and a
// frame of each of its messages listed, no label, column header,
// placeholder, combo box text or cell of any tab or of By signal… is shown
// in part, and the columns of the frame list and those of a frame's row in
// the monitor are in view.
TEST(Layout, NoTextIsCutAtTheDefaultSizeWithTheExampleDatabase)
{
    FILE *p = popen(VELK_LAYOUT_PROBE_PATH " text", "r");
    ASSERT_NE(p, nullptr);
    std::vector<std::string> cut;
    int checked = 0;
    char line[512];
    while (fgets(line, sizeof line, p) != nullptr) {
        std::string s(line);
        if (!s.empty() && s.back() == '\n')
            s.pop_back();
        if (s.rfind("cut ", 0) == 0)
            cut.push_back(s);
        else
            std::sscanf(s.c_str(), "checked %d texts", &checked);
    }
    EXPECT_EQ(pclose(p), 0);
    EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
    EXPECT_GT(checked, 400) << "the tabs, their rows and By signal… were looked at";
}
