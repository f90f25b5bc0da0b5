#include "data_files.h"

#include <unistd.h>

#include <climits>

namespace gui {

namespace {

bool readable(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

std::string current_dir()
{
    char buf[PATH_MAX];
    return getcwd(buf, sizeof buf) != nullptr ? std::string(buf) : std::string(".");
}

}  // namespace

std::string installed_data_dir()
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return std::string();
    std::string path(exe, static_cast<size_t>(n));
    // <prefix>/bin/velk_utility -> <prefix>
    for (int i = 0; i < 2; ++i) {
        size_t slash = path.rfind('/');
        if (slash == std::string::npos)
            return std::string();
        path.resize(slash);
    }
    return path + "/share/velk";
}

std::string find_data_file(const char *name, std::string &looked)
{
    std::string local(name);
    if (readable(local))
        return local;
    std::string rel = local.rfind("./", 0) == 0 ? local.substr(2) : local;
    looked = current_dir() + "/" + rel;
    std::string dir = installed_data_dir();
    if (!dir.empty()) {
        std::string installed = dir + "/" + rel;
        if (readable(installed))
            return installed;
        looked += " and " + installed;
    }
    return std::string();
}

}  // namespace gui
