// Entry point of velk_utility; everything else lives in the GUI library so
// that tests can run the same start-up in-process.
#include "guipart.h"

int main(int argc, char **argv)
{
    return velk_utility_main(argc, argv);
}
