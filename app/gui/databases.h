// The CAN databases of the utility: the DBC files the user chose, in the
// order they were loaded, remembered in the user's configuration directory
// for the next start. The first database that describes an identifier
// names and decodes its frames. GUI thread only.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dbc.h"

namespace gui::databases {

struct Loaded {
    std::string path;
    std::shared_ptr<const velk::dbc::Database> db;
    std::vector<std::string> warnings;  // "file:line: what", of the last load
};

// The databases in load order.
const std::vector<Loaded> &all();
// The message of an identifier in the first database that has it; nullptr
// where none does.
const velk::dbc::Message *find(uint32_t id, bool extended);
// The most signals of any message of any database.
size_t max_signals();

// Loads a file and adds it at the end. A file that does not load changes
// nothing: false, with the parser's "file:line:column: what" in *error.
// A path already loaded is loaded again in its place.
bool add(const std::string &path, std::string *error);
// Removes the database at `index` of all().
void remove(size_t index);

// Called after every change of the set (add, remove, restore).
void on_change(std::function<void()> fn);

// The file that keeps the chosen paths: $XDG_CONFIG_HOME/velk/databases,
// or ~/.config/velk/databases without XDG_CONFIG_HOME.
std::string config_path();
// Loads the paths remembered by the last run; each file that fails to
// load is given to `failed` with its message; it stays in the file until
// the set is next changed.
void restore(const std::function<void(const std::string &)> &failed);

}  // namespace gui::databases
