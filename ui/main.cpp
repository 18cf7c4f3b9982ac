#include "ui/program.h"

// dialo: the desktop phone.
int main(int argc, char** argv) { return dialo::runDialo(argc, argv); }
