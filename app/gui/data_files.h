// Where the utility finds its layout files and icon: the current directory
// first, as before, then the data directory of the prefix it is installed
// in (share/velk beside the program's bin), so that it starts from a desktop
// menu or from any other directory.
#pragma once

#include <string>

namespace gui {

// The path to open for `name` (a relative name such as "MainWindow.glade"
// or "./icon/CANbus.ico"), or an empty string when it is in neither place;
// `looked` then names the places, for the message.
std::string find_data_file(const char *name, std::string &looked);

// The installed data directory of the running program: <prefix>/share/velk
// when the program is <prefix>/bin/<name>.
std::string installed_data_dir();

}  // namespace gui
