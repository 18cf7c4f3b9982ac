#include "platform/process.h"
#include "ui/program.h"

// dialo: the desktop phone.
int main(int argc, char** argv) {
    (void)dialo::keepOutOfCoreDumps();
    return dialo::runDialo(argc, argv);
}
