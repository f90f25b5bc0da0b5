#include "databases.h"

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace gui::databases {

namespace {

std::vector<Loaded> loaded;
std::vector<std::function<void()>> listeners;
size_t most_signals = 0;

void changed()
{
    most_signals = 0;
    for (const Loaded &l : loaded)
        most_signals = std::max(most_signals, l.db->max_signals());
    for (const auto &fn : listeners)
        fn();
}

std::string config_dir()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/velk";
    const char *home = std::getenv("HOME");
    return std::string(home != nullptr ? home : ".") + "/.config/velk";
}

// Creates each missing folder of `dir`.
void make_dirs(const std::string &dir)
{
    for (size_t pos = 1; pos <= dir.size(); ++pos)
        if (pos == dir.size() || dir[pos] == '/')
            mkdir(dir.substr(0, pos).c_str(), 0700);
}

// Writes the paths to a new file beside the old one, then renames it, so
// a crash leaves the previous list whole.
void save()
{
    make_dirs(config_dir());
    const std::string path = config_path();
    const std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::trunc);
        if (!out)
            return;
        for (const Loaded &l : loaded)
            out << l.path << '\n';
        if (!out.flush())
            return;
    }
    std::rename(tmp.c_str(), path.c_str());
}

bool load(const std::string &path, std::string *error, Loaded *out)
{
    auto db = std::make_shared<velk::dbc::Database>();
    const velk::dbc::LoadResult r = velk::dbc::load_file(path, db.get());
    if (!r.ok) {
        *error = r.error;
        return false;
    }
    out->path = path;
    out->db = std::move(db);
    out->warnings.clear();
    for (const velk::dbc::Warning &w : r.warnings)
        out->warnings.push_back(w.text);
    return true;
}

}  // namespace

const std::vector<Loaded> &all()
{
    return loaded;
}

const velk::dbc::Message *find(uint32_t id, bool extended)
{
    for (const Loaded &l : loaded)
        if (const velk::dbc::Message *m = l.db->find(id, extended))
            return m;
    return nullptr;
}

size_t max_signals()
{
    return most_signals;
}

bool add(const std::string &path, std::string *error)
{
    Loaded fresh;
    if (!load(path, error, &fresh))
        return false;
    bool replaced = false;
    for (Loaded &l : loaded)
        if (l.path == path) {
            l = fresh;
            replaced = true;
        }
    if (!replaced)
        loaded.push_back(std::move(fresh));
    save();
    changed();
    return true;
}

void remove(size_t index)
{
    if (index >= loaded.size())
        return;
    loaded.erase(loaded.begin() + static_cast<long>(index));
    save();
    changed();
}

void on_change(std::function<void()> fn)
{
    listeners.push_back(std::move(fn));
}

std::string config_path()
{
    return config_dir() + "/databases";
}

void restore(const std::function<void(const std::string &)> &failed)
{
    std::ifstream in(config_path());
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        std::string error;
        Loaded l;
        if (load(line, &error, &l))
            loaded.push_back(std::move(l));
        else
            failed(error);
    }
    changed();
}

}  // namespace gui::databases
