// Start-up problems of the utility program itself: a missing layout file
// and a missing icon.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

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
    // The program reads one character from a pipe; what it left unread
    // comes out of the pipe afterwards.
    std::string cmd = "cd " + dir + " && { printf 'xy' | { " VELK_UTILITY_PATH " > out.txt 2> err.txt; echo $? > rc.txt; cat > rest.txt; }; }";
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
