#include <cstdio>
#include <cstring>

#include "app/update_check.h"
#include "platform/process.h"
#include "ui/program.h"

// dialo: the desktop phone.
int main(int argc, char** argv) {
    (void)dialo::keepOutOfCoreDumps();
    // Before Qt: it needs no display.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", dialo::versionLine("dialo").c_str());
        return 0;
    }
    return dialo::runDialo(argc, argv);
}
